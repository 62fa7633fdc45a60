// CUac2Device: the audio function object of a USB Audio Class 2.0 device. It has the structure
// of the class-1 object and shares its child-entity list, signal-path walks and power handling;
// it walks the class-2 descriptors (clock sources, two-bit controls, clocked terminals), reads
// the 6-byte interrupt data messages and an optional bulk-IN pipe on its status thread, and
// chooses endpoint capabilities by its own rules.
#pragma once

#include "driver/function/uac1/uac1_device.h"

struct Uac2StatusTransfer;

// The object, its child list and the status thread's events, URBs and bulk buffer.
#define UAC2_DEVICE_POOL_TAG MAKE_POOL_TAG('U', 'A', 'C', '2')

// The interrupt data message: bInfo, bAttribute, wValue (channel, selector), wIndex (interface,
// entity).
constexpr ULONG UAC2_STATUS_MESSAGE_BYTES = 6;
// The read kept pending on the optional bulk-IN pipe; its data is not looked at.
constexpr ULONG UAC2_BULK_READ_BYTES = 512;
constexpr KPRIORITY UAC2_STATUS_THREAD_PRIORITY = 16;
// The longest pause "UpdateMiniportDelay" may ask before a re-installed subdevice comes back.
constexpr ULONG UAC2_MAX_MINIPORT_DELAY_MS = 5000;

// Device-specific capability rules of class-2 models, looked up by vendor and product
// (uac2_device_tables.cpp).
// Headphone and microphone endpoints get fixed records whatever the device stores.
constexpr ULONG UAC2_QUIRK_FIXED_HP_MIC_CAPS = 0x00000001;
// Capture endpoints are flagged without the ASIO bit.
constexpr ULONG UAC2_QUIRK_CAPTURE_WITHOUT_ASIO = 0x00000002;
ULONG Uac2DeviceQuirks(USHORT VendorId, USHORT ProductId);

// Every slot runs at PASSIVE_LEVEL unless stated.
class CUac2Device : public CUac1Device
{
public:
    CUac2Device(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
    ~CUac2Device() override; // pageable

    // IUsbAudioFunction
    STDMETHODIMP_(NTSTATUS)
    CreateTopologyNodes(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Length) override;
    STDMETHODIMP_(NTSTATUS)
    CreateStreams(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR StreamingInterface,
                  ULONG Length) override;

    // IAdapterCommon
    STDMETHODIMP_(NTSTATUS)
    Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT FunctionalDeviceObject, PDEVICE_OBJECT LowerDeviceObject,
         PDEVICE_OBJECT PhysicalDeviceObject) override;
    // The status thread only; the nodes are neither started nor stopped here.
    STDMETHODIMP_(NTSTATUS) Start() override;
    STDMETHODIMP_(NTSTATUS) Stop() override;
    STDMETHODIMP_(NTSTATUS) InitHardware() override;
    STDMETHODIMP_(NTSTATUS) GetEndpointCapsByType(ULONG Capture, ULONG Type, EndpointCaps* Caps) override;

    // A status message named this control of this entity: the entity re-reads it; a terminal's
    // connector re-checks every stream's subdevice, any other control is announced for the node
    // the entity names. An entity that names no node announces nothing.
    NTSTATUS OnStatusInterrupt(ULONG EntityId, ULONG ControlSelector, ULONG Channel);

    BOOLEAN HasBulkPipe() const { return m_BulkPipe != UAC1_NO_STATUS_PIPE; }

protected:
    // Descriptor walks (uac2_walk.cpp).
    NTSTATUS CreateUac2Entity(PUCHAR Descriptor, ULONG Length);
    NTSTATUS WalkUac2StreamingInterface(PUSB_INTERFACE_DESCRIPTOR Interface, const UCHAR* End,
                                        const UCHAR** Stop);
    NTSTATUS CreateUac2StreamForTerminal(UCHAR InterfaceNumber, UCHAR TerminalLink, CUsbAudioStream** Stream,
                                         PULONG ClockNodeId);
    NTSTATUS AddUac2FormatType(CUsbAudioStream* Stream, ULONG ClockNodeId, const UCHAR* General,
                               const UCHAR* FormatType, UCHAR AlternateSetting);
    NTSTATUS AddUac2Formats(CUsbAudioStream* Stream, ULONG ClockNodeId, UCHAR FormatType, ULONG Formats,
                            UCHAR AlternateSetting, PCWAVEFORMATEXTENSIBLE Template);
    NTSTATUS SpliceUac2StreamSoftwareNodes(CUsbAudioStream* Stream);

    // Status thread (uac2_device_status.cpp).
    static VOID Uac2StatusThreadStart(PVOID Context);
    VOID Uac2StatusThread();
    BOOLEAN PrepareUac2StatusTransfer(Uac2StatusTransfer* Transfer);
    BOOLEAN RunUac2StatusLoop(Uac2StatusTransfer* Transfer, PUNKNOWN Device);
    VOID HandleStatusMessage(const UCHAR* Message, ULONG Length);
    VOID StopUac2StatusThread();
    VOID EndStatusThreadHere() override;

    // Subdevice updates (uac2_device.cpp).
    NTSTATUS RenameAndUpdate(IStreamEngine* Stream) override;
    VOID PauseForMiniportDelay();

    UCHAR m_BulkPipe;                    // UAC1_NO_STATUS_PIPE: no bulk read
    Uac2StatusTransfer* m_pUac2Transfer; // the thread's own record; only it reads this
    ULONG m_Uac2Quirks;                  // UAC2_QUIRK_*
};

// Allocates (non-paged, "UAC2") and constructs the object aggregated into UnknownOuter and
// hands out its non-delegating unknown with one reference. PASSIVE_LEVEL.
NTSTATUS CreateUac2Device(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
