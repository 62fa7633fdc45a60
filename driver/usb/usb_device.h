// CUsbDevice: the adapter's common object, one per started device. It owns the USB device (its
// descriptors, configuration and bus interface), offers every other object the way to the USB
// stack (IUsbDevice), picks and aggregates the audio function object that serves the device and
// forwards most of IAdapterCommon to it.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "usb.h"
#include "usbbusif.h"
#include "usbdlib.h"
#include "usbioctl.h"
#include "driver/core/asio_device_if.h"
#include "driver/core/audio_hal.h"
#include "driver/core/mutex_lock.h"
#include "driver/core/usb_audio_function_if.h"
#include "driver/core/usb_device_if.h"

struct StreamClient;
struct StreamNotification;
struct IStreamEngine;
struct ICyclicControl;
class CSettingsFile;

// The object itself ("PcCr"), its descriptors, URBs, interface copies and tables ("USBd"), the
// identification string and its URB ("pmet"), and the manufacturer string ("str ").
#define USB_DEVICE_OBJECT_POOL_TAG MAKE_POOL_TAG('P', 'c', 'C', 'r')
#define USB_DEVICE_POOL_TAG MAKE_POOL_TAG('U', 'S', 'B', 'd')
#define USB_DEVICE_ID_STRING_POOL_TAG MAKE_POOL_TAG('p', 'm', 'e', 't')
#define USB_DEVICE_MFG_STRING_POOL_TAG MAKE_POOL_TAG('s', 't', 'r', ' ')

// English (United States): the only language the driver asks strings in.
constexpr USHORT USB_DEVICE_LANGUAGE_ID = 0x0409;
// String descriptors that identify a release-1.0 model, tried in this order.
constexpr UCHAR USB_DEVICE_ID_STRING_INDEX = 0x50;
constexpr UCHAR USB_DEVICE_ID_STRING_FALLBACK_INDEX = 0x32;
constexpr ULONG USB_DEVICE_ID_STRING_BYTES = 104;
// Product and manufacturer strings: what is asked of the device, the buffer, and the longest
// value written to the registry (in characters, without the terminator).
constexpr ULONG USB_DEVICE_NAME_REQUEST_BYTES = 256;
constexpr ULONG USB_DEVICE_NAME_BUFFER_BYTES = 260;
constexpr ULONG USB_DEVICE_NAME_MAX_CHARS = 49;

// A URB that has not completed after this long (100 ns units, relative) is cancelled.
constexpr LONGLONG USB_DEVICE_URB_TIMEOUT_100NS = -5000000;
// Pause before the port status is asked again after the hub reported no such device.
constexpr LONGLONG USB_DEVICE_PORT_RETRY_DELAY_100NS = -1000000;

// Defaults of the private ASIO interface until the settings say otherwise.
constexpr ULONG USB_DEVICE_ASIO_DEFAULT_SAMPLE_TYPE = 16;
constexpr ULONG USB_DEVICE_ASIO_DEFAULT_LATENCY_INDEX = 4;
constexpr ULONG USB_DEVICE_ASIO_DEFAULT_SAMPLE_RATE = 48000;

// ---- Audio function creators ----

// Every creator allocates its object aggregated into UnknownOuter and hands out its
// non-delegating unknown with one reference. PASSIVE_LEVEL.
typedef NTSTATUS (*PFN_CREATE_AUDIO_FUNCTION)(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId,
                                              USHORT ProductId);
// Variant D also takes the model code (5 or 6) that its identification string chose.
typedef NTSTATUS (*PFN_CREATE_VARIANT_D_FUNCTION)(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId,
                                                  USHORT ProductId, ULONG ModelCode);

struct AudioFunctionCreators
{
    PFN_CREATE_AUDIO_FUNCTION Uac1;         // release 1.0, no known model
    PFN_CREATE_AUDIO_FUNCTION Uac2;         // release 2.0
    PFN_CREATE_AUDIO_FUNCTION VariantA;     // identification 0x000B 0x0005 0x0050
    PFN_CREATE_AUDIO_FUNCTION VariantB;     // identification "8142"
    PFN_CREATE_AUDIO_FUNCTION VariantC;     // identification "8153"
    PFN_CREATE_VARIANT_D_FUNCTION VariantD; // identification "8177"
};

// The creators CreateAudioDevice calls; an entry that is null refuses that kind of device.
const AudioFunctionCreators* UsbDeviceAudioFunctionCreators();
// Test hook: installs another table (null restores the built-in one) and returns the one in
// force before. Not for product code.
const AudioFunctionCreators* UsbDeviceSetAudioFunctionCreators(const AudioFunctionCreators* Creators);

// ---- Private-interface records ----

// The lowest PCM rate the rings and transfers are sized from: below it a millisecond holds no
// whole sample frame.
constexpr ULONG ASIO_MIN_SAMPLE_RATE = 1000;
// Every ring holds this many milliseconds of samples behind its header.
constexpr ULONG ASIO_RING_MS = 40;
// Start frames are this far after the frame the streams reported at open.
constexpr ULONG ASIO_START_DELAY_FRAMES = 5;

// The buffer length of a latency index (indexes past the table read its last entry).
ULONG AsioLatencyMilliseconds(ULONG LatencyIndex);
// Bytes per sample of a PCM sample-type code; FALSE for a code the rings cannot carry.
BOOLEAN AsioBytesPerSample(ULONG SampleType, PULONG Bytes);
// The channels an endpoint offers in an io format: the widest of its formats of that kind.
ULONG AsioEndpointChannels(IStreamEngine* Stream, ULONG IoFormat);

// One per handle opened on the ASIO reference string; non-paged, "USBd", zeroed.
struct AsioClient
{
    LIST_ENTRY Link;
    PFILE_OBJECT FileObject; // the lookup key
    PKEVENT NotifyEvent;     // referenced, or null
    PKEVENT PeriodEvent;     // referenced, or null
    ULONG SampleType;
    ULONG LatencyIndex;
    ULONG SampleRate;
    ULONG IoFormat;
    ULONG Running;
};

// One per stream object of the audio function, each pointer null when absent.
struct AsioEndpointEntry
{
    PVOID Ring;        // ring block (kernel address)
    PVOID UserAddress; // its mapping in the companion's process
    PMDL Mdl;
    StreamClient* Client; // the ring's registration with the stream
};
static_assert(sizeof(AsioEndpointEntry) == 32, "AsioEndpointEntry is 32 bytes");

// What the driver knows of one ring, kept apart from the ring's header: the companion can write
// the header at any time, so the driver only ever publishes into it and never reads it back.
// Positions and counters change under the ring spin lock.
struct AsioRingState
{
    ULONG Active;
    ULONG IsInput;
    ULONG Channels;
    ULONG FirstChannel;
    ULONG RingBytes;
    ULONG DriverPosition;
    ULONG InitialPosition;
    ULONG LeadBytes;
    ULONG Master;
    ULONG PeriodCount;
    SIZE_T BlockBytes; // whole pages: the header, the sample area and zeroed padding
};

// The stop request that waits for the device's return to D0: at most one, queued cancel-safe
// so that its cancel, the return to D0, the removal and the handle's cleanup each either take
// it whole or find it gone. The queue routines find the record from its IO_CSQ, its first field.
struct AsioStopQueue
{
    IO_CSQ Csq;
    KSPIN_LOCK Lock;
    LIST_ENTRY Irps; // IRPs by Tail.Overlay.ListEntry
    ULONG Count;
};
VOID AsioStopQueueInitialize(AsioStopQueue* Queue); // any IRQL

// How the companion's buffer length turns into transfers (the owner's rate and io format).
struct AsioTransferPlan
{
    ULONG FramesPerMs;       // sample frames per millisecond (DSD: 64-sample groups)
    ULONG MsPerTransfer;     // 1, 2, 4 or 5
    ULONG Groups;            // the buffer's length in transfers, after grouping
    ULONG TransfersInFlight; // at least 2
};

// Model default of the ASIO sample type, used when none is stored and an endpoint serves ASIO.
struct UsbAsioModelDefault
{
    USHORT VendorId;
    USHORT ProductId;
    ULONG SampleType;
};

// Quirk tables (usb_device_tables.cpp).
// Whether the device is told by vendor request when the ASIO streams start and stop.
BOOLEAN UsbDeviceSendsAsioVendorRequest(USHORT VendorId, USHORT ProductId);
BOOLEAN UsbDeviceFindAsioModelDefault(USHORT VendorId, USHORT ProductId, ULONG* SampleType);
// Whether the manufacturer string of this device is worth reading.
BOOLEAN UsbDeviceReadsManufacturer(USHORT VendorId, USHORT ProductId);

// Audio functions by model, as the identification string picks them.
enum UsbAudioFunctionKind
{
    UsbAudioFunctionUac1,
    UsbAudioFunctionUac2,
    UsbAudioFunctionVariantA,
    UsbAudioFunctionVariantB,
    UsbAudioFunctionVariantC,
    UsbAudioFunctionVariantD,
};
// The model of a release-1.0 identification string of CharCount UTF-16 units; *ModelCode is set
// for variant D (5 or 6).
UsbAudioFunctionKind UsbDeviceIdentifyModel(const WCHAR* Text, ULONG CharCount, ULONG* ModelCode);

// ---- CUsbDevice ----

class CUsbDevice : public CAudioHal, public IUsbDevice, public IAsioDevice
{
public:
    DECLARE_STD_UNKNOWN();

    explicit CUsbDevice(PUNKNOWN UnknownOuter); // PASSIVE_LEVEL
    ~CUsbDevice() override;                     // PASSIVE_LEVEL, pageable

    // IAdapterCommon: most slots go to the audio function object; without one they fail with
    // STATUS_INVALID_DEVICE_STATE (counts are 0). PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) GetEndpointCaps(ULONG EndpointIndex, EndpointCaps* Caps) override;
    STDMETHODIMP_(NTSTATUS) GetComponentId(PKSCOMPONENTID ComponentId) override;
    STDMETHODIMP_(ULONG) GetStreamCount() override;
    STDMETHODIMP_(NTSTATUS) GetStream(ULONG Index, IStreamEngine** Stream) override;
    STDMETHODIMP_(ULONG) GetNodeCount() override;
    STDMETHODIMP_(NTSTATUS) GetNode(ULONG Index, ITopologyNode** Node) override;
    STDMETHODIMP_(NTSTATUS)
    Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT FunctionalDeviceObject, PDEVICE_OBJECT LowerDeviceObject,
         PDEVICE_OBJECT PhysicalDeviceObject) override;
    STDMETHODIMP_(NTSTATUS) Start() override;
    STDMETHODIMP_(NTSTATUS) Stop() override;
    STDMETHODIMP_(NTSTATUS)
    RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) override;
    STDMETHODIMP_(NTSTATUS) UnregisterCallback(PVOID Registration) override;
    STDMETHODIMP_(NTSTATUS) InitHardware() override;
    STDMETHODIMP_(NTSTATUS) BuildConnections() override;
    // Brings a selectively suspended device back before a request is served; waits at most
    // 0.5 s for the idle request to go and 0.5 s for D0. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) WakeForAccess(PIRP Irp) override;

    // IAdapterPowerManagement (usb_device_power.cpp); the capabilities are CAudioHal's.
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;               // PASSIVE_LEVEL
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery) override; // PASSIVE_LEVEL

    // Sends the USB idle request: STATUS_POWER_STATE_INVALID outside D0, STATUS_DEVICE_BUSY
    // while one is pending, STATUS_UNSUCCESSFUL when the device became busy. PASSIVE_LEVEL.
    NTSTATUS SubmitIdleRequest();

    // IUsbDevice
    STDMETHODIMP_(PUSB_CONFIGURATION_DESCRIPTOR) GetConfigurationDescriptor() override; // any IRQL
    STDMETHODIMP_(USBD_CONFIGURATION_HANDLE) GetConfigurationHandle() override;         // any IRQL
    STDMETHODIMP_(UCHAR) GetControlInterfaceNumber() override;                          // any IRQL
    STDMETHODIMP_(NTSTATUS) SetDevicePresent(BOOLEAN Present) override;                 // any IRQL
    STDMETHODIMP_(NTSTATUS) CallLowerDriver(PIRP Irp) override;                         // <= DISPATCH_LEVEL
    STDMETHODIMP_(NTSTATUS) SubmitUrbSync(PURB Urb) override;                           // PASSIVE_LEVEL
    STDMETHODIMP_(NTSTATUS) GetCurrentFrameNumber(PULONG FrameNumber) override;         // <= DISPATCH_LEVEL
    STDMETHODIMP_(PIRP) AllocateIrp() override;                                         // <= DISPATCH_LEVEL
    STDMETHODIMP_(VOID) FreeIrp(PIRP Irp) override;                                     // <= DISPATCH_LEVEL
    STDMETHODIMP_(BOOLEAN) IsHighSpeed() override;                                      // any IRQL
    STDMETHODIMP_(BOOLEAN) ResetPort() override;                                        // PASSIVE_LEVEL
    STDMETHODIMP_(BOOLEAN) CyclePort() override;                                        // PASSIVE_LEVEL
    STDMETHODIMP_(PDEVICE_OBJECT) GetLowerDeviceObject() override;                      // any IRQL
    STDMETHODIMP_(LONG) IncrementActiveCount() override;                                // any IRQL
    STDMETHODIMP_(LONG) DecrementActiveCount() override;                                // any IRQL
    STDMETHODIMP_(NTSTATUS) CreateAudioDevice() override;                               // PASSIVE_LEVEL

    // IAsioDevice (usb_device_asio*.cpp). PASSIVE_LEVEL, each under
    // the client lock for its whole run.
    STDMETHODIMP_(NTSTATUS) OpenAsioClient(PFILE_OBJECT FileObject) override;
    STDMETHODIMP_(NTSTATUS) Spare(PFILE_OBJECT FileObject) override;
    STDMETHODIMP_(NTSTATUS) CloseAsioClient(PFILE_OBJECT FileObject) override;
    STDMETHODIMP_(NTSTATUS) GetProductName(PFILE_OBJECT FileObject, PCHAR Buffer, PULONG Length) override;
    STDMETHODIMP_(NTSTATUS)
    GetChannelCounts(PFILE_OBJECT FileObject, AsioChannelCounts* Counts, ULONG OutputLength) override;
    STDMETHODIMP_(NTSTATUS)
    GetChannelInfo(PFILE_OBJECT FileObject, AsioChannelInfo* Info, ULONG OutputLength) override;
    STDMETHODIMP_(NTSTATUS) SetClientEvent(PFILE_OBJECT FileObject, PHANDLE Event) override;
    STDMETHODIMP_(NTSTATUS) ClearClientEvent(PFILE_OBJECT FileObject) override;
    STDMETHODIMP_(NTSTATUS) GetBuffersInUse(PFILE_OBJECT FileObject, PULONG InUse) override;
    STDMETHODIMP_(NTSTATUS)
    GetSampleTypes(PFILE_OBJECT FileObject, AsioSampleTypeList* List, PULONG Length) override;
    STDMETHODIMP_(NTSTATUS)
    GetLatencyTable(PFILE_OBJECT FileObject, AsioLatencyTable* Table, PULONG Length) override;
    STDMETHODIMP_(NTSTATUS) SetSampleType(PFILE_OBJECT FileObject, ULONG SampleType) override;
    STDMETHODIMP_(NTSTATUS) SetLatency(PFILE_OBJECT FileObject, ULONG LatencyIndex) override;
    STDMETHODIMP_(NTSTATUS) GetLatencies(PFILE_OBJECT FileObject, AsioLatencies* Latencies) override;
    STDMETHODIMP_(NTSTATUS) GetSampleRate(PFILE_OBJECT FileObject, PULONG SampleRate) override;
    STDMETHODIMP_(NTSTATUS) CanSampleRate(PFILE_OBJECT FileObject, const ULONG* SampleRate) override;
    STDMETHODIMP_(NTSTATUS) SetSampleRate(PFILE_OBJECT FileObject, const ULONG* SampleRate) override;
    STDMETHODIMP_(NTSTATUS) GetBufferSize(PFILE_OBJECT FileObject, AsioBufferSize* Size) override;
    STDMETHODIMP_(NTSTATUS)
    MapStreamingBuffers(PFILE_OBJECT FileObject, const AsioBufferRequest* Request, ULONG RequestLength,
                        PVOID UserAddresses, PULONG OutputLength) override;
    // Runs in the process that mapped the rings: the cleanup of the owner's handle calls it.
    STDMETHODIMP_(NTSTATUS) UnmapStreamingBuffers(PFILE_OBJECT FileObject) override;
    STDMETHODIMP_(NTSTATUS) StartAsio(PFILE_OBJECT FileObject, PHANDLE PeriodEvent) override;
    STDMETHODIMP_(NTSTATUS) StopAsio(PFILE_OBJECT FileObject, PIRP Irp) override;
    STDMETHODIMP_(NTSTATUS) CanIoFormat(PFILE_OBJECT FileObject, const ULONG* IoFormat) override;
    STDMETHODIMP_(NTSTATUS) SetIoFormat(PFILE_OBJECT FileObject, const ULONG* IoFormat) override;
    STDMETHODIMP_(NTSTATUS) GetIoFormat(PFILE_OBJECT FileObject, PULONG IoFormat) override;
    STDMETHODIMP_(NTSTATUS) CleanupAsioClient(PFILE_OBJECT FileObject) override;

    // The notification callback registered with every stream a ring is attached to; runs in the
    // stream's completion and worker contexts, at DISPATCH_LEVEL or below.
    static CALLBACK_FUNCTION OnClientNotification;

    // State of the private ASIO interface as Init left it (for the interface and for tests).
    ULONG AsioSampleType() const { return m_nAsioSampleType; }
    ULONG AsioRequestedSampleType() const { return m_nAsioRequestedSampleType; }
    ULONG AsioLatencyIndex() const { return m_nAsioLatencyIndex; }
    ULONG AsioSampleRate() const { return m_nAsioSampleRate; }
    ULONG AsioEndpointTableCount() const { return m_nAsioEndpointTableCount; }

private:
    // Init and InitHardware steps (usb_device.cpp).
    VOID ApplySettingsFile(CSettingsFile* pSettingsFile, PDEVICE_OBJECT FunctionalDeviceObject);
    VOID ReadSelectiveSuspendSetting(PDEVICE_OBJECT PhysicalDeviceObject);
    NTSTATUS AllocateAsioEndpointTable();
    VOID ReadAsioDefaults();
    VOID ApplyAsioModelDefault();
    VOID FreeAsioClients();

    // Private ASIO interface: clients and endpoints (usb_device_asio.cpp). PASSIVE_LEVEL, under
    // the client lock.
    AsioClient* FindAsioClient(PFILE_OBJECT FileObject);
    // The walk over the ASIO endpoints: the next one below Count from *Index on, TRUE with *Index
    // at it and its stream; FALSE past the last (*Status success) or when its stream cannot be
    // had (*Status the failure, which ends the operation).
    BOOLEAN NextAsioStream(PULONG Index, ULONG Count, IStreamEngine** Stream, PNTSTATUS Status);
    NTSTATUS CheckIoFormatOnEndpoints(ULONG IoFormat, ULONG SampleRate, BOOLEAN TestRate);
    NTSTATUS CollectSampleTypes(ULONG* Mask, ULONG* EndpointCount);
    VOID SetNotifyEvents();

    // Private ASIO interface: rings (usb_device_asio_rings.cpp) and their streams
    // (usb_device_asio_streams.cpp).
    NTSTATUS MapRings(AsioClient* Client);                                 // PASSIVE_LEVEL
    VOID ActivateRequestedRings(const AsioBufferRequest* Request);         // PASSIVE_LEVEL
    NTSTATUS CheckRingsHoldLead();                                         // PASSIVE_LEVEL
    VOID ChooseMasterRing();                                               // PASSIVE_LEVEL
    VOID FreeRings();                                                      // PASSIVE_LEVEL
    VOID UnmapRingViews();                                                 // PASSIVE_LEVEL
    BOOLEAN RingsOutstanding();                                            // PASSIVE_LEVEL
    VOID PublishRing(ULONG Index);                                         // any IRQL, ring lock held
    BOOLEAN PlanTransfers(AsioTransferPlan* Plan);                         // any IRQL
    NTSTATUS BuildClientFormat(ULONG Index, PWAVEFORMATEXTENSIBLE Format); // PASSIVE_LEVEL
    NTSTATUS AttachClientBuffers();                                        // PASSIVE_LEVEL
    NTSTATUS DetachClientBuffers();                                        // PASSIVE_LEVEL
    NTSTATUS StartClientStreams();                                         // PASSIVE_LEVEL
    NTSTATUS StopClientStreams();                                          // PASSIVE_LEVEL
    VOID CloseClientStreams();                                             // PASSIVE_LEVEL
    VOID ResetClientRings(PKEVENT PeriodEvent);                            // <= DISPATCH_LEVEL
    PKEVENT TakePeriodEvent();                                             // <= DISPATCH_LEVEL
    VOID SilenceRings(ULONG IoFormat);                                     // PASSIVE_LEVEL
    VOID SendAsioVendorRequest(USHORT Value);                              // PASSIVE_LEVEL
    NTSTATUS QueryCyclicControl(ULONG Index, ICyclicControl** Control);    // PASSIVE_LEVEL
    NTSTATUS ParkStopIrp(PIRP Irp);                                        // PASSIVE_LEVEL
    PIRP TakeParkedStopIrp(PFILE_OBJECT FileObject);                       // <= DISPATCH_LEVEL
    VOID CompleteParkedStops(PFILE_OBJECT FileObject, NTSTATUS Status);    // <= DISPATCH_LEVEL
    VOID AsioPowerDown();                                                  // PASSIVE_LEVEL, client lock held
    VOID AsioPowerUp();                                                    // PASSIVE_LEVEL, client lock held
    VOID RunParkedStop();                                                  // PASSIVE_LEVEL
    VOID StopAsioForRemoval();                                             // PASSIVE_LEVEL
    VOID FreeAsioRingsAtTeardown();                                        // PASSIVE_LEVEL
    VOID HandleClientNotification(const StreamNotification* Notification); // <= DISPATCH_LEVEL
    // Ring lock held.
    VOID CopyRing(ULONG Index, PVOID Buffer, ULONGLONG Length, BOOLEAN IntoRing); // <= DISPATCH_LEVEL
    VOID SignalPeriod(ULONG Index);                                               // <= DISPATCH_LEVEL

    // Descriptors and configuration (usb_device_config.cpp). PASSIVE_LEVEL.
    NTSTATUS ReadDescriptors();
    NTSTATUS ReadDeviceDescriptor(PURB Urb);
    NTSTATUS ReadConfigurationDescriptor(PURB Urb);
    NTSTATUS SelectConfiguration();
    NTSTATUS KeepInterfaceInfos(PUSBD_INTERFACE_LIST_ENTRY List, ULONG Count);
    VOID FreeInterfaceInfos();
    NTSTATUS IdentifyModel(UsbAudioFunctionKind* Kind, ULONG* ModelCode);
    NTSTATUS CallCreator(UsbAudioFunctionKind Kind, ULONG ModelCode);
    NTSTATUS QueryFunctionInterfaces();

    // Strings (usb_device_strings.cpp). PASSIVE_LEVEL.
    NTSTATUS ReadStringDescriptor(UCHAR Index, PVOID Buffer, ULONG RequestBytes, ULONG PoolTag,
                                  PULONG CharCount);
    NTSTATUS UpdateDeviceStrings();
    VOID WriteNameString(UCHAR Index, ULONG PoolTag, ULONG Selector);

    // The lower device (usb_device_urb.cpp).
    NTSTATUS QueryBusInterface();                                     // PASSIVE_LEVEL
    NTSTATUS SendPortRequest(ULONG IoControlCode, PULONG PortStatus); // PASSIVE_LEVEL
    static IO_COMPLETION_ROUTINE SyncCompletionRoutine;               // DISPATCH_LEVEL

    // Power and selective suspend (usb_device_power.cpp).
    BOOLEAN CanIdle() const;                             // any IRQL
    DEVICE_POWER_STATE CurrentPowerState() const;        // any IRQL
    VOID RaiseTimerResolution();                         // PASSIVE_LEVEL
    VOID ReleaseTimerResolution();                       // PASSIVE_LEVEL
    VOID ArmIdleTimer();                                 // <= DISPATCH_LEVEL
    VOID QueueIdleWorkItem();                            // DISPATCH_LEVEL
    VOID FinishIdleWork();                               // <= DISPATCH_LEVEL
    VOID CancelIdleRequest();                            // <= DISPATCH_LEVEL
    VOID ReleaseIdleIrp(PIRP Irp, BOOLEAN Taken);        // <= DISPATCH_LEVEL
    VOID RequestPowerUp();                               // <= DISPATCH_LEVEL
    VOID StopIdleMachinery();                            // PASSIVE_LEVEL
    static KDEFERRED_ROUTINE IdleTimerDpc;               // DISPATCH_LEVEL
    static IO_WORKITEM_ROUTINE IdleWorkItem;             // PASSIVE_LEVEL
    static IO_COMPLETION_ROUTINE IdleRequestComplete;    // <= DISPATCH_LEVEL
    static VOID IdleNotificationCallback(PVOID Context); // PASSIVE_LEVEL
    static REQUEST_POWER_COMPLETE IdlePowerDownComplete; // <= DISPATCH_LEVEL
    static REQUEST_POWER_COMPLETE PowerUpComplete;       // <= DISPATCH_LEVEL

    PUSB_CONFIGURATION_DESCRIPTOR m_pConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE m_hConfiguration;
    PUSBD_INTERFACE_INFORMATION* m_ppInterfaceInfos;
    PUNKNOWN m_pAudioFunction;                // holds the function object's one reference
    PADAPTERCOMMON m_pFunctionAdapterCommon;  // no reference
    PADAPTERPOWERMANAGEMENT m_pFunctionPower; // no reference
    PUSBAUDIOFUNCTION m_pFunctionInterface;   // no reference; null when the object has none
    USHORT m_nVendorId;
    USHORT m_nProductId;
    UCHAR m_nManufacturerIndex;
    UCHAR m_nProductIndex;
    ULONG m_nInterfaceCount;
    BOOLEAN volatile m_bDevicePresent;
    UCHAR m_nControlInterfaceNumber;
    BOOLEAN m_bHighSpeed;
    USB_BUS_INTERFACE_USBDI_V1 m_BusInterface;
    CCHAR m_nIrpStackSize;
    CMutexLock m_ClientLock; // private-interface operations and power changes

    // Private ASIO interface.
    KSPIN_LOCK m_AsioRingLock;
    ULONG m_nAsioEndpointCount;
    LIST_ENTRY m_AsioClients; // AsioClient, newest first; under m_ClientLock
    AsioClient* m_pAsioOwner;
    ULONG m_nAsioBuffersInUse;
    ULONG m_nAsioSampleType;
    ULONG m_nAsioRequestedSampleType;
    ULONG m_nAsioLatencyIndex;
    ULONG m_nAsioSampleRate;
    ULONG m_nAsioRingSampleType; // the owner's own type when it mapped: what the rings carry
    ULONG m_nAsioBytesPerSample;
    ULONG m_nAsioBufferFrames;
    AsioEndpointEntry* m_pAsioEndpoints;
    AsioRingState* m_pAsioRings; // one per endpoint entry; kernel-private
    ULONG m_nAsioEndpointTableCount;
    UCHAR m_bAsioStreamsStarted;
    UCHAR m_bAsioStreamsSuspended;
    UCHAR m_bAsioRemoved; // the device is going: no return to D0 will run a parked stop
    AsioStopQueue m_AsioStopQueue;
    // The process the rings are mapped into (referenced), where every path unmaps them.
    PEPROCESS m_pAsioRingProcess;

    ULONG volatile m_nPortCycled;
    CMutexLock m_PortLock; // serialises ResetPort

    // Selective suspend. The constructor sets up the lock, events, timer and DPC, so that the
    // destructor's waits hold whatever point Init reached.
    PUSB_IDLE_CALLBACK_INFO m_pIdleCallbackInfo;
    PIRP volatile m_pIdleIrp;
    ULONG volatile m_nIdlePending;
    ULONG volatile m_nIdleIrpRefs;
    KSPIN_LOCK m_IdleLock;
    KEVENT m_IdleDoneEvent;
    KEVENT m_PowerUpEvent;
    KTIMER m_IdleTimer;
    KDPC m_IdleDpc;
    KEVENT m_IdleWorkDoneEvent;
    LONG volatile m_nInProgressCount;
    LONG volatile m_nActiveCount;
    BOOLEAN m_bSelectiveSuspendEnabled;
    // The 1 ms timer resolution is held from creation and in D0 only; the flag keeps raises
    // and releases paired across any order of power states. Under m_ClientLock after Init.
    BOOLEAN m_bTimerResolutionHeld;
    // Teardown has begun: the idle timer is no longer re-armed and no idle work is queued.
    // Under m_IdleLock.
    BOOLEAN m_bIdleStopping;
    // An idle work item is queued or running (one at a time). Under m_IdleLock.
    BOOLEAN m_bIdleWorkQueued;
    // D0 requests in flight after a failed idle request; m_PowerUpEvent is clear while
    // non-zero. Under m_IdleLock.
    ULONG m_nPowerUpRequests;
};

// Allocates (non-paged, "PcCr", zeroed) and constructs the device object and hands out its
// IAdapterCommon with one reference. PASSIVE_LEVEL.
NTSTATUS CreateUsbDevice(PADAPTERCOMMON* AdapterCommon);
