// IAdapterCommon: the device object's interface that StartDevice, the miniports, the
// private ASIO interface and the stream objects use, with the endpoint capability record and
// the control-change record that device objects announce on their callback object.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "ks.h"

// Platform objects the interface passes through without looking inside.
struct _DEVICE_OBJECT;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
struct _IRP;
typedef struct _IRP* PIRP;
struct _CALLBACK_OBJECT;
typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef VOID CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;
struct IResourceList;
typedef IResourceList* PRESOURCELIST;

struct IStreamEngine;
struct ITopologyNode;

// Capabilities of one streaming endpoint, handed unchanged to user-mode clients through the
// wave filter's private property, so every offset is fixed.
struct EndpointCaps
{
    ULONG Mask; // model capability bits, passed through
    ULONG Reserved1[3];
    ULONG Extra; // model value, passed through
    ULONG Reserved2;
    ULONG Flags; // ENDPOINT_CAPS_FLAG_*; other bits passed through
    ULONG Reserved3;
};
static_assert(sizeof(EndpointCaps) == 32, "EndpointCaps is 32 bytes");
static_assert(offsetof(EndpointCaps, Mask) == 0 && offsetof(EndpointCaps, Extra) == 16 &&
                  offsetof(EndpointCaps, Flags) == 24,
              "EndpointCaps field offsets are fixed");

// The endpoint is served by the private ASIO interface.
constexpr ULONG ENDPOINT_CAPS_FLAG_ASIO = 0x00000002;

// Control-change record: Argument1 of ExNotifyCallback on a device object's callback object
// (Argument2 is null). Listeners act on class 1 with event 1 only.
struct AudioHalNotification
{
    ULONG Class;         // AUDIO_HAL_CLASS_CONTROL_CHANGE
    ULONG Event;         // AUDIO_HAL_EVENT_VALUE_CHANGED
    ULONG NodeId;        // ITopologyNode GetId of the node whose value changed
    ULONG Reserved1;     // neither written nor read
    ULONGLONG Reserved2; // 0
};
static_assert(sizeof(AudioHalNotification) == 24, "AudioHalNotification is 24 bytes");
static_assert(offsetof(AudioHalNotification, Class) == 0 && offsetof(AudioHalNotification, Event) == 4 &&
                  offsetof(AudioHalNotification, NodeId) == 8 &&
                  offsetof(AudioHalNotification, Reserved2) == 16,
              "AudioHalNotification field offsets are fixed");

constexpr ULONG AUDIO_HAL_CLASS_CONTROL_CHANGE = 1;
constexpr ULONG AUDIO_HAL_EVENT_VALUE_CHANGED = 1;

// {7284B608-74F9-4B95-A5BB-EC6DDD0B6F58}
DEFINE_GUID(IID_IAdapterCommon, 0x7284B608, 0x74F9, 0x4B95, 0xA5, 0xBB, 0xEC, 0x6D, 0xDD, 0x0B, 0x6F, 0x58);

// Implemented by CAudioHal and overridden by CUsbDevice (which forwards most slots to its
// audio function object) and by the audio function objects. Called by StartDevice, the PnP
// and power handlers, the miniports, the stream objects and the private ASIO interface.
// Lookups return list entries without adding a reference. All slots run at PASSIVE_LEVEL.
DECLARE_INTERFACE_(IAdapterCommon, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetEndpointCaps)(ULONG EndpointIndex, EndpointCaps * Caps) PURE;
    STDMETHOD_(NTSTATUS, GetComponentId)(PKSCOMPONENTID ComponentId) PURE;
    STDMETHOD_(ULONG, GetStreamCount)() PURE;
    STDMETHOD_(NTSTATUS, GetStream)(ULONG Index, IStreamEngine * *Stream) PURE;
    STDMETHOD_(ULONG, GetNodeCount)() PURE;
    STDMETHOD_(NTSTATUS, GetNode)(ULONG Index, ITopologyNode * *Node) PURE;
    STDMETHOD_(PDEVICE_OBJECT, GetDeviceObject)() PURE;
    STDMETHOD_(NTSTATUS, Init)
    (PRESOURCELIST ResourceList, PDEVICE_OBJECT FunctionalDeviceObject, PDEVICE_OBJECT LowerDeviceObject,
     PDEVICE_OBJECT PhysicalDeviceObject) PURE;
    STDMETHOD_(NTSTATUS, Start)() PURE;
    STDMETHOD_(NTSTATUS, Stop)() PURE;
    STDMETHOD_(NTSTATUS, RegisterCallback)
    (PCALLBACK_FUNCTION Callback, PVOID Context, PVOID * Registration) PURE;
    STDMETHOD_(NTSTATUS, UnregisterCallback)(PVOID Registration) PURE;
    STDMETHOD_(NTSTATUS, WakeForAccess)(PIRP Irp) PURE;
    STDMETHOD_(NTSTATUS, InitHardware)() PURE;
    STDMETHOD_(NTSTATUS, BuildConnections)() PURE;
    STDMETHOD_(NTSTATUS, GetEndpointCapsByType)(ULONG Capture, ULONG Type, EndpointCaps * Caps) PURE;
};
typedef IAdapterCommon* PADAPTERCOMMON;
