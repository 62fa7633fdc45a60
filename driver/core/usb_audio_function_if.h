// IUsbAudioFunction: the interface of the audio function objects (class 1, class 2 and the
// variants that keep it) that CUsbDevice aggregates and the descriptor walks drive.
#pragma once

#include "ntddk.h"
#include "portcls.h"

struct _CALLBACK_OBJECT;
typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
struct _USB_CONFIGURATION_DESCRIPTOR;
typedef struct _USB_CONFIGURATION_DESCRIPTOR* PUSB_CONFIGURATION_DESCRIPTOR;
struct _USB_INTERFACE_DESCRIPTOR;
typedef struct _USB_INTERFACE_DESCRIPTOR* PUSB_INTERFACE_DESCRIPTOR;

// {B00C6788-253F-4638-9460-336A8BE6EE9A}
DEFINE_GUID(IID_IUsbAudioFunction, 0xB00C6788, 0x253F, 0x4638, 0x94, 0x60, 0x33, 0x6A, 0x8B, 0xE6, 0xEE,
            0x9A);

// Implemented by CUac1Device, CUac2Device and the variant-A device (variants B, C and D do not
// answer it). CUsbDevice hands it out as the function object's interface; the output pin-type
// node calls UpdateStreamSubdevices after a pin-type change. PASSIVE_LEVEL.
DECLARE_INTERFACE_(IUsbAudioFunction, IUnknown)
{
    // Re-installs the wave subdevices of streams whose pin type changed (EntityId: the terminal
    // entity whose pin type changed).
    STDMETHOD_(NTSTATUS, UpdateStreamSubdevices)(ULONG EntityId) PURE;
    // The control-change callback object ("\Callback\AudioHalAddr%p") of the function object.
    STDMETHOD_(NTSTATUS, GetCallbackObject)(PCALLBACK_OBJECT * CallbackObject) PURE;
    // Walks the audio-control interface's class-specific descriptors into entities and nodes.
    STDMETHOD_(NTSTATUS, CreateTopologyNodes)(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Length) PURE;
    // Walks one audio-streaming interface into a stream object with its formats.
    STDMETHOD_(NTSTATUS, CreateStreams)
    (PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR StreamingInterface, ULONG Length)
        PURE;
    STDMETHOD_(NTSTATUS, PostInit)() PURE;
};
typedef IUsbAudioFunction* PUSBAUDIOFUNCTION;
