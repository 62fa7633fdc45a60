// CUac1Device: the audio function object of a USB Audio Class 1.0 device. It identifies the
// model, walks the audio-control and audio-streaming descriptors into entities, topology nodes
// and stream objects, answers the endpoint capability questions, and keeps a status-interrupt
// thread that turns the device's status reports into re-read values and change events.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "usb.h"
#include "usbdlib.h"
#include "driver/core/audio_hal.h"
#include "driver/core/mutex_lock.h"
#include "driver/core/pointer_list.h"
#include "driver/core/usb_audio_function_if.h"

struct IUsbDevice;
struct Uac1StatusTransfer;
class CUsbAudioStream;
class CUsbEntityNode;

// The object, its child list, the entities and streams of the walks, the status thread's event
// and URBs, and the walk's temporary rate lists.
#define UAC1_DEVICE_POOL_TAG MAKE_POOL_TAG('U', 'A', 'C', '1')
// The select-interface URB of Start and the kept interface information.
#define UAC1_URB_POOL_TAG MAKE_POOL_TAG('U', 'R', 'B', ' ')
// The identification string and its URB.
#define UAC1_PROBE_POOL_TAG MAKE_POOL_TAG('p', 'm', 'e', 't')
// The endpoint name while a subdevice is re-installed.
#define UAC1_NAME_POOL_TAG MAKE_POOL_TAG('T', 'e', 'm', 'p')

// m_StatusPipe while no status thread runs.
constexpr UCHAR UAC1_NO_STATUS_PIPE = 255;
// The class-1 status word: bStatusType, then bOriginator.
constexpr ULONG UAC1_STATUS_WORD_BYTES = 2;
constexpr KPRIORITY UAC1_STATUS_THREAD_PRIORITY = 24;

// Rates a continuous sampling-frequency range is offered at, ascending (uac1_device_tables.cpp).
extern const ULONG StandardSampleRates[];
extern const ULONG StandardSampleRateCount;

// Device-wide capability record of a model, chosen by the identification probe.
struct Uac1ModelCaps
{
    USHORT VendorId;
    USHORT ProductId;
    ULONG Mask;
    ULONG Extra;
    ULONG Flags;
};

// Device-specific rules of class-1 models, one bit each, looked up by vendor and product in the
// quirk table (uac1_device_tables.cpp); generic code asks for a bit, never for an id.
// Output terminal 16, declared a speaker, drives headphones: the walk amends the driver's copy of
// the configuration descriptor, so the entity and every later reader see headphones.
constexpr ULONG UAC1_QUIRK_TERMINAL16_IS_HEADPHONES = 0x00000001;
// The model is refused unless output terminals 16 and 64 both exist.
constexpr ULONG UAC1_QUIRK_NEEDS_OUTPUTS_16_AND_64 = 0x00000002;
// Every endpoint gets the device record, S/PDIF ones included (no Extra), and capture
// microphones add mask bit 23.
constexpr ULONG UAC1_QUIRK_MIC_CAPTURE_MASK_BIT = 0x00000004;
// "3864" bridge with the known firmware: the record's mask is 0x3E00A5.
constexpr ULONG UAC1_QUIRK_BRIDGE_MASK_A5 = 0x00000008;
// "3864" bridge with the known firmware: mask bit 12 cleared.
constexpr ULONG UAC1_QUIRK_BRIDGE_NO_MASK_BIT12 = 0x00000010;
// "3864" bridge with the known firmware: mask bit 2 set and flags 0x40 (flag bit 0 cleared).
constexpr ULONG UAC1_QUIRK_BRIDGE_MASK_BIT2_FLAGS_40 = 0x00000020;

// The quirk bits of every row that matches the device (a row may match any product).
ULONG Uac1DeviceQuirks(USHORT VendorId, USHORT ProductId);

// Models that carry no identification string but are known by their ids; null when unknown.
const Uac1ModelCaps* Uac1FindUnidentifiedModel(USHORT VendorId, USHORT ProductId);
// The record of a "3864" model whose probe byte matched, adjusted by the device's quirks.
VOID Uac1ApplyBridgeModelCaps(ULONG Quirks, EndpointCaps* Caps);
// The "QXR710" probe bytes A and B: FALSE when they fit neither known configuration.
BOOLEAN Uac1ApplyQxrModelCaps(UCHAR ProbeA, UCHAR ProbeB, EndpointCaps* Caps);
// The channel mask of a stream format by channel count and direction.
ULONG Uac1ChannelMask(ULONG Channels, ULONG Capture);
// Names Stream after its current pin type, numbered as StartDevice numbered that type, in Name
// (STREAM_NAME_BUFFER_CHARS characters). PASSIVE_LEVEL.
NTSTATUS Uac1SetStreamName(IStreamEngine* Stream, PDEVICE_OBJECT DeviceObject, PWSTR Name);

// Every slot runs at PASSIVE_LEVEL unless stated; the walks run once from InitHardware, Start
// and Stop from the plug-and-play and power paths, which serialise them.
class CUac1Device : public IUsbAudioFunction, public CAudioHal
{
public:
    DECLARE_STD_UNKNOWN();

    CUac1Device(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
    ~CUac1Device() override; // pageable

    // IUsbAudioFunction
    STDMETHODIMP_(NTSTATUS) UpdateStreamSubdevices(ULONG EntityId) override;
    STDMETHODIMP_(NTSTATUS) GetCallbackObject(PCALLBACK_OBJECT* CallbackObject) override;
    STDMETHODIMP_(NTSTATUS)
    CreateTopologyNodes(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Length) override;
    STDMETHODIMP_(NTSTATUS)
    CreateStreams(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR StreamingInterface,
                  ULONG Length) override;
    STDMETHODIMP_(NTSTATUS) PostInit() override;

    // IAdapterCommon
    STDMETHODIMP_(NTSTATUS) GetEndpointCaps(ULONG EndpointIndex, EndpointCaps* Caps) override;
    STDMETHODIMP_(NTSTATUS)
    Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT FunctionalDeviceObject, PDEVICE_OBJECT LowerDeviceObject,
         PDEVICE_OBJECT PhysicalDeviceObject) override;
    STDMETHODIMP_(NTSTATUS) Start() override;
    STDMETHODIMP_(NTSTATUS) Stop() override;
    STDMETHODIMP_(NTSTATUS) InitHardware() override;
    STDMETHODIMP_(NTSTATUS) GetEndpointCapsByType(ULONG Capture, ULONG Type, EndpointCaps* Caps) override;

    // IAdapterPowerManagement
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;

    // Entities of the audio-control interface; no reference is added, the last match wins.
    NTSTATUS FindChildById(ULONG Id, CUsbEntityNode** Entity);
    NTSTATUS AddChild(CUsbEntityNode* Entity);
    // A status report named this entity: re-read what it reports, announce the changes.
    NTSTATUS OnStatusInterrupt(ULONG EntityId);

    UCHAR GetControlInterface() const { return m_ControlInterface; }
    BOOLEAN IsStatusThreadRunning() const { return m_StatusPipe != UAC1_NO_STATUS_PIPE; }

protected:
    // Model probe (uac1_device.cpp).
    NTSTATUS ProbeModel(IUsbDevice* UsbDevice);
    NTSTATUS ReadIdString(IUsbDevice* UsbDevice, PURB Urb, PUCHAR Buffer, PULONG CharCount);
    NTSTATUS ReadProbeByte(IUsbDevice* UsbDevice, PURB Urb, UCHAR Request, USHORT Value, PUCHAR Byte);
    VOID ReleaseChildren();
    // The child list of both releases, in the pool of their own Tag: made by Init, freed (with
    // the interface copy and the children) by the destructors.
    NTSTATUS InitWithChildList(ULONG Tag, PRESOURCELIST ResourceList, PDEVICE_OBJECT FunctionalDeviceObject,
                               PDEVICE_OBJECT LowerDeviceObject, PDEVICE_OBJECT PhysicalDeviceObject);
    VOID FreeChildList(ULONG Tag);
    BOOLEAN HasPinTypeChanged(IStreamEngine* Stream);
    // Re-installs a stream whose pin type changed under its new name; class 2 pauses between.
    virtual NTSTATUS RenameAndUpdate(IStreamEngine* Stream);
    NTSTATUS RenameStream(IStreamEngine* Stream);

    // Descriptor walks (uac1_walk.cpp).
    NTSTATUS ParseAudioControlInterface();
    NTSTATUS ParseAudioStreamingInterfaces();
    NTSTATUS CreateEntity(PUCHAR Descriptor, ULONG Length);
    VOID AmendOutputTerminal(PUCHAR Descriptor);
    NTSTATUS WireEntities();
    NTSTATUS CheckRequiredOutputTerminals();
    NTSTATUS CheckFirstStreamingInterface(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                          PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length);
    NTSTATUS CheckNextStreamingInterface(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length);
    NTSTATUS WalkStreamingInterface(PUSB_INTERFACE_DESCRIPTOR Interface, const UCHAR* End,
                                    const UCHAR** Stop);
    NTSTATUS AddStreamFormats(CUsbAudioStream* Stream, UCHAR InterfaceNumber, const UCHAR* Descriptor,
                              USHORT FormatTag, UCHAR AlternateSetting);
    NTSTATUS CreateStreamForTerminal(UCHAR InterfaceNumber, UCHAR TerminalLink, CUsbAudioStream** Stream);
    // The render stream object of a streaming interface, initialised; *Stream holds the
    // caller's reference whenever it is not null, also when the set-up failed. Model variants
    // make their own class.
    virtual NTSTATUS CreateRenderStreamObject(UCHAR InterfaceNumber, ULONG PinNodeId,
                                              CUsbAudioStream** Stream);
    NTSTATUS ConnectStreamPaths(CUsbAudioStream* Stream, ULONG PinNodeId);
    NTSTATUS SearchUpstream(ULONG StartId, ULONG TargetId, PBOOLEAN Found);
    NTSTATUS AddPathNodesToStream(CUsbAudioStream* Stream, ULONG StartId);
    NTSTATUS CheckUpstreamAcyclic(ULONG StartId);
    NTSTATUS PropagatePinTypes();
    NTSTATUS SpliceStreamSoftwareNodes(CUsbAudioStream* Stream);
    NTSTATUS SpliceTwoNodeStream(CUsbAudioStream* Stream);
    NTSTATUS CreateSoftwareMuteNode(CUsbAudioStream* Stream, ULONG Id, ULONG SourceId);
    NTSTATUS CreateSoftwareSelectorNode(CUsbAudioStream* Stream, ULONG Id, ULONG SourceId);
    VOID RepointOutputTerminal(ULONG OutputNodeId, ULONG SourceId);

    // Formats (uac1_formats.cpp).
    NTSTATUS AddFormatTypeDescriptor(CUsbAudioStream* Stream, const UCHAR* Descriptor, USHORT FormatTag,
                                     UCHAR AlternateSetting);
    NTSTATUS AddUac1Formats(CUsbAudioStream* Stream, const UCHAR* Descriptor, USHORT FormatTag,
                            UCHAR AlternateSetting, PCWAVEFORMATEXTENSIBLE Template);

    // Status thread (uac1_device_status.cpp).
    static VOID StatusThreadStart(PVOID Context);
    VOID StatusThread();
    BOOLEAN PrepareStatusTransfer(Uac1StatusTransfer* Transfer);
    VOID SweepEntities();
    BOOLEAN RunStatusLoop(Uac1StatusTransfer* Transfer, PUNKNOWN Device);
    // The thread let go of the device's last reference and runs the destructor: it takes back
    // its own reads. Each release's thread keeps its own record.
    virtual VOID EndStatusThreadHere();
    NTSTATUS StartStatusThread();
    NTSTATUS SelectControlInterface(IUsbDevice* UsbDevice, PUSB_INTERFACE_DESCRIPTOR Interface,
                                    PBOOLEAN UrbAllocated);
    VOID FreeInterfaceInfo();
    // The steps of Start and Stop both releases share. SelectStatusInterface selects alternate
    // setting 0 of the audio-control interface; *Selected tells that m_pInterfaceInfo holds its
    // pipes to scan (FALSE, with success, for an interface without endpoints or when the URB could
    // not be had). LaunchOwnStatusThread starts Routine; on failure nothing of the thread is left.
    // StopOwnStatusThread ends a running thread, from any thread, and forgets the pipes.
    NTSTATUS SelectStatusInterface(PBOOLEAN Selected);
    NTSTATUS LaunchOwnStatusThread(PKSTART_ROUTINE Routine, KPRIORITY Priority);
    VOID StopOwnStatusThread();

    UCHAR m_ControlInterface;
    PUSBD_INTERFACE_INFORMATION m_pInterfaceInfo; // "URB ", null while no status thread runs
    UCHAR m_StatusPipe;                           // UAC1_NO_STATUS_PIPE: no status thread
    PKTHREAD m_pStatusThread;                     // referenced while the thread may run
    Uac1StatusTransfer* m_pStatusTransfer;        // the thread's own record; only it reads this
    KEVENT m_StopEvent;                           // notification: the thread is to end
    KEVENT m_DoneEvent;                           // notification: the thread has ended
    USHORT m_VendorId;
    USHORT m_ProductId;
    ULONG m_Quirks;            // UAC1_QUIRK_*, from the ids at construction
    CPointerList* m_pChildren; // entities (ITopologyNode), one reference each
    CMutexLock m_DeviceLock;   // serialises the control nodes' requests with the status thread
};

// Allocates (non-paged, "UAC1") and constructs the object aggregated into UnknownOuter and
// hands out its non-delegating unknown with one reference. PASSIVE_LEVEL.
NTSTATUS CreateUac1Device(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
