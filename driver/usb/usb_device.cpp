// CUsbDevice: creation and teardown, Init and InitHardware, the interface answers, the slots
// forwarded to the audio function object and the private-interface defaults Init sets up.
#include "driver/usb/usb_device.h"

#include "driver/usb/settings_file.h"
#include "driver/core/settings_store.h"

#include "ksmedia.h"

NTSTATUS CreateUsbDevice(PADAPTERCOMMON* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *AdapterCommon = nullptr;
    CUsbDevice* pDevice = new (NonPagedPool, USB_DEVICE_OBJECT_POOL_TAG) CUsbDevice(nullptr);
    if (!pDevice)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *AdapterCommon = static_cast<PADAPTERCOMMON>(pDevice);
    (*AdapterCommon)->AddRef();
    return STATUS_SUCCESS;
}

// The pool block arrives zeroed, so every pointer and count starts null; what needs more than
// zero bytes is set up here rather than in Init, because the destructor waits on the events
// and cancels the timer whether or not Init got that far.
CUsbDevice::CUsbDevice(PUNKNOWN UnknownOuter) : CAudioHal(UnknownOuter)
{
    PAGED_CODE();
    InitializeListHead(&m_AsioClients);
    KeInitializeSpinLock(&m_AsioRingLock);
    AsioStopQueueInitialize(&m_AsioStopQueue);
    KeInitializeSpinLock(&m_IdleLock);
    KeInitializeDpc(&m_IdleDpc, IdleTimerDpc, this);
    KeInitializeTimer(&m_IdleTimer);
    KeInitializeEvent(&m_IdleDoneEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_IdleWorkDoneEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_PowerUpEvent, NotificationEvent, TRUE);
    m_nAsioSampleType = USB_DEVICE_ASIO_DEFAULT_SAMPLE_TYPE;
    m_nAsioRequestedSampleType = USB_DEVICE_ASIO_DEFAULT_SAMPLE_TYPE;
    m_nAsioLatencyIndex = USB_DEVICE_ASIO_DEFAULT_LATENCY_INDEX;
    m_nAsioSampleRate = USB_DEVICE_ASIO_DEFAULT_SAMPLE_RATE;
    RaiseTimerResolution();
}

CUsbDevice::~CUsbDevice()
{
    PAGED_CODE();
    // Nothing of the idle machinery may still run once the members below start to go.
    StopIdleMachinery();
    FreeAsioRingsAtTeardown();
    FreeAsioClients();
    if (m_pAudioFunction)
    {
        // The kept interface pointers hold no reference of their own.
        m_pFunctionAdapterCommon = nullptr;
        m_pFunctionPower = nullptr;
        m_pFunctionInterface = nullptr;
        m_pAudioFunction->Release();
        m_pAudioFunction = nullptr;
    }
    FreeInterfaceInfos();
    if (m_pConfigurationDescriptor)
    {
        ExFreePoolWithTag(m_pConfigurationDescriptor, USB_DEVICE_POOL_TAG);
        m_pConfigurationDescriptor = nullptr;
    }
    if (m_pAsioEndpoints)
    {
        ExFreePoolWithTag(m_pAsioEndpoints, USB_DEVICE_POOL_TAG);
        m_pAsioEndpoints = nullptr;
    }
    if (m_pAsioRings)
    {
        ExFreePoolWithTag(m_pAsioRings, USB_DEVICE_POOL_TAG);
        m_pAsioRings = nullptr;
    }
    if (m_BusInterface.BusContext && m_BusInterface.InterfaceDereference)
    {
        m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
    }
    m_hConfiguration = nullptr;
    ReleaseTimerResolution();
}

// A client record still open at teardown has its event references dropped with it.
VOID CUsbDevice::FreeAsioClients()
{
    while (!IsListEmpty(&m_AsioClients))
    {
        AsioClient* pClient = CONTAINING_RECORD(RemoveHeadList(&m_AsioClients), AsioClient, Link);
        if (pClient->NotifyEvent)
        {
            ObDereferenceObject(pClient->NotifyEvent);
        }
        if (pClient->PeriodEvent)
        {
            ObDereferenceObject(pClient->PeriodEvent);
        }
        ExFreePoolWithTag(pClient, USB_DEVICE_POOL_TAG);
    }
    m_pAsioOwner = nullptr;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (!Interface)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IUsbDevice))
    {
        *Interface = PVOID(static_cast<PUSBDEVICE>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IAsioDevice))
    {
        *Interface = PVOID(static_cast<PASIODEVICE>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IUsbAudioFunction))
    {
        *Interface = PVOID(m_pFunctionInterface);
        if (!m_pFunctionInterface)
        {
            return STATUS_INVALID_PARAMETER;
        }
    }
    else
    {
        return CAudioHal::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

// ---- Init ----

STDMETHODIMP_(NTSTATUS)
CUsbDevice::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT FunctionalDeviceObject,
                 PDEVICE_OBJECT LowerDeviceObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    m_bDevicePresent = TRUE;
    // The settings file is copied into the settings store before anything below reads settings.
    CSettingsFile* pSettingsFile =
        new (NonPagedPool, SETTINGS_FILE_POOL_TAG) CSettingsFile(FunctionalDeviceObject);
    if (!pSettingsFile)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ApplySettingsFile(pSettingsFile, FunctionalDeviceObject);
    NTSTATUS status =
        CAudioHal::Init(ResourceList, FunctionalDeviceObject, LowerDeviceObject, PhysicalDeviceObject);
    // The device objects are this call's own: a failed base Init has not stored them.
    ReadSelectiveSuspendSetting(PhysicalDeviceObject);
    m_nIdleIrpRefs = 0;
    m_nInProgressCount = 1;
    if (NT_SUCCESS(status) && m_bSelectiveSuspendEnabled)
    {
        ArmIdleTimer();
    }
    delete pSettingsFile;
    return status;
}

VOID CUsbDevice::ApplySettingsFile(CSettingsFile* pSettingsFile, PDEVICE_OBJECT FunctionalDeviceObject)
{
    PAGED_CODE();
    if (!NT_SUCCESS(pSettingsFile->BuildIniPath()))
    {
        return;
    }
    ULONG fileVersion = pSettingsFile->ReadIniVersion();
    ULONG storedVersion = 0;
    AccessSetting(FunctionalDeviceObject, SETTINGS_OPERATION_READ, &storedVersion, sizeof(storedVersion),
                  u"IniVersion");
    if (storedVersion < fileVersion && NT_SUCCESS(pSettingsFile->OpenDeviceSection()) &&
        NT_SUCCESS(pSettingsFile->ApplyAll()))
    {
        AccessSetting(FunctionalDeviceObject, SETTINGS_OPERATION_WRITE, &fileVersion, sizeof(fileVersion),
                      u"IniVersion");
    }
}

VOID CUsbDevice::ReadSelectiveSuspendSetting(PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    ULONG enabled = 0;
    NTSTATUS status = ReadSelectiveSuspendSettings(
        PhysicalDeviceObject, SETTINGS_SELECTOR_SELECTIVE_SUSPEND_ENABLED, sizeof(enabled), &enabled);
    m_bSelectiveSuspendEnabled = NT_SUCCESS(status) && enabled != 0;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::InitHardware()
{
    PAGED_CODE();
    m_nIrpStackSize = CCHAR(m_pFunctionalDeviceObject->StackSize + 1);
    NTSTATUS status = ReadDescriptors();
    if (NT_SUCCESS(status))
    {
        status = SelectConfiguration();
    }
    if (NT_SUCCESS(status))
    {
        status = QueryBusInterface();
    }
    if (NT_SUCCESS(status))
    {
        status = CreateAudioDevice();
    }
    if (NT_SUCCESS(status))
    {
        status = m_pFunctionAdapterCommon->Init(nullptr, m_pFunctionalDeviceObject, m_pLowerDeviceObject,
                                                m_pPhysicalDeviceObject);
    }
    if (NT_SUCCESS(status))
    {
        status = UpdateDeviceStrings();
    }
    if (NT_SUCCESS(status))
    {
        status = AllocateAsioEndpointTable();
    }
    if (NT_SUCCESS(status))
    {
        ReadAsioDefaults();
        ApplyAsioModelDefault();
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::BuildConnections()
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}

// ---- Private-interface defaults ----

NTSTATUS CUsbDevice::AllocateAsioEndpointTable()
{
    PAGED_CODE();
    ULONG count = m_pFunctionAdapterCommon->GetStreamCount();
    if (count == 0)
    {
        return STATUS_SUCCESS;
    }
    SIZE_T bytes = SIZE_T(count) * sizeof(AsioEndpointEntry);
    SIZE_T ringBytes = SIZE_T(count) * sizeof(AsioRingState);
    m_pAsioEndpoints =
        static_cast<AsioEndpointEntry*>(ExAllocatePoolWithTag(NonPagedPool, bytes, USB_DEVICE_POOL_TAG));
    m_pAsioRings =
        static_cast<AsioRingState*>(ExAllocatePoolWithTag(NonPagedPool, ringBytes, USB_DEVICE_POOL_TAG));
    if (!m_pAsioEndpoints || !m_pAsioRings)
    {
        // The destructor frees whichever of the two arrived.
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(m_pAsioEndpoints, bytes);
    RtlZeroMemory(m_pAsioRings, ringBytes);
    m_nAsioEndpointTableCount = count;
    return STATUS_SUCCESS;
}

// An absent value keeps the default already in place.
VOID CUsbDevice::ReadAsioDefaults()
{
    PAGED_CODE();
    m_nAsioSampleType = USB_DEVICE_ASIO_DEFAULT_SAMPLE_TYPE;
    m_nAsioRequestedSampleType = USB_DEVICE_ASIO_DEFAULT_SAMPLE_TYPE;
    m_nAsioLatencyIndex = USB_DEVICE_ASIO_DEFAULT_LATENCY_INDEX;
    m_nAsioSampleRate = USB_DEVICE_ASIO_DEFAULT_SAMPLE_RATE;
    PDEVICE_OBJECT pFdo = m_pFunctionalDeviceObject;
    AccessSetting(pFdo, SETTINGS_OPERATION_READ, &m_nAsioSampleType, sizeof(ULONG), u"ASIOMLDataBitDepth");
    AccessSetting(pFdo, SETTINGS_OPERATION_READ, &m_nAsioRequestedSampleType, sizeof(ULONG),
                  u"ASIOMLDataBitDepth");
    AccessSetting(pFdo, SETTINGS_OPERATION_READ, &m_nAsioLatencyIndex, sizeof(ULONG), u"ASIOMLDataLatency");
    AccessSetting(pFdo, SETTINGS_OPERATION_READ, &m_nAsioSampleRate, sizeof(ULONG), u"ASIOMLSampleRate");
    // A stored value the interface could not work with (a rate that gives no frame per
    // millisecond, an index past the latency table, a sample type no ring is sized for) is
    // replaced by the default rather than divided by or indexed with later.
    ULONG bytes;
    if (!AsioBytesPerSample(m_nAsioSampleType, &bytes))
    {
        m_nAsioSampleType = USB_DEVICE_ASIO_DEFAULT_SAMPLE_TYPE;
    }
    if (!AsioBytesPerSample(m_nAsioRequestedSampleType, &bytes))
    {
        m_nAsioRequestedSampleType = USB_DEVICE_ASIO_DEFAULT_SAMPLE_TYPE;
    }
    if (m_nAsioLatencyIndex >= ASIO_LATENCY_COUNT)
    {
        m_nAsioLatencyIndex = USB_DEVICE_ASIO_DEFAULT_LATENCY_INDEX;
    }
    if (m_nAsioSampleRate < ASIO_MIN_SAMPLE_RATE)
    {
        m_nAsioSampleRate = USB_DEVICE_ASIO_DEFAULT_SAMPLE_RATE;
    }
}

// A model whose ASIO endpoints stream wider samples than 16 bits starts with its own sample
// type the first time, and keeps it from then on through the stored value.
VOID CUsbDevice::ApplyAsioModelDefault()
{
    PAGED_CODE();
    ULONG count = m_pFunctionAdapterCommon->GetStreamCount();
    for (ULONG index = 0; index < count; index++)
    {
        EndpointCaps caps;
        RtlZeroMemory(&caps, sizeof(caps));
        if (!NT_SUCCESS(m_pFunctionAdapterCommon->GetEndpointCaps(index, &caps)) ||
            !(caps.Flags & ENDPOINT_CAPS_FLAG_ASIO))
        {
            continue;
        }
        ULONG stored = 0;
        if (AccessSetting(m_pFunctionalDeviceObject, SETTINGS_OPERATION_READ, &stored, sizeof(stored),
                          u"ASIOMLDataBitDepth") != STATUS_OBJECT_NAME_NOT_FOUND)
        {
            continue;
        }
        ULONG sampleType = USB_DEVICE_ASIO_DEFAULT_SAMPLE_TYPE;
        if (UsbDeviceFindAsioModelDefault(m_nVendorId, m_nProductId, &sampleType))
        {
            AccessSetting(m_pFunctionalDeviceObject, SETTINGS_OPERATION_WRITE, &sampleType,
                          sizeof(sampleType), u"ASIOMLDataBitDepth");
        }
        m_nAsioSampleType = sampleType;
        m_nAsioRequestedSampleType = sampleType;
        return;
    }
}

// ---- IAdapterCommon ----

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetComponentId(PKSCOMPONENTID ComponentId)
{
    PAGED_CODE();
    if (!ComponentId)
    {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(ComponentId, sizeof(*ComponentId));
    INIT_USBAUDIO_MID(&ComponentId->Manufacturer, m_nVendorId);
    INIT_USBAUDIO_PID(&ComponentId->Product, m_nProductId);
    ComponentId->Name = KSCOMPONENTID_USBAUDIO;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetEndpointCaps(ULONG EndpointIndex, EndpointCaps* Caps)
{
    PAGED_CODE();
    if (!m_pFunctionAdapterCommon)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return m_pFunctionAdapterCommon->GetEndpointCaps(EndpointIndex, Caps);
}

STDMETHODIMP_(ULONG) CUsbDevice::GetStreamCount()
{
    return m_pFunctionAdapterCommon ? m_pFunctionAdapterCommon->GetStreamCount() : 0;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetStream(ULONG Index, IStreamEngine** Stream)
{
    PAGED_CODE();
    if (!m_pFunctionAdapterCommon)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return m_pFunctionAdapterCommon->GetStream(Index, Stream);
}

STDMETHODIMP_(ULONG) CUsbDevice::GetNodeCount()
{
    return m_pFunctionAdapterCommon ? m_pFunctionAdapterCommon->GetNodeCount() : 0;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetNode(ULONG Index, ITopologyNode** Node)
{
    PAGED_CODE();
    if (!m_pFunctionAdapterCommon)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return m_pFunctionAdapterCommon->GetNode(Index, Node);
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::Start()
{
    PAGED_CODE();
    return m_pFunctionAdapterCommon ? m_pFunctionAdapterCommon->Start() : STATUS_INVALID_DEVICE_STATE;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::Stop()
{
    PAGED_CODE();
    // The ASIO path leaves the streams before they stop for good.
    if (m_pAsioEndpoints)
    {
        StopAsioForRemoval();
    }
    return m_pFunctionAdapterCommon ? m_pFunctionAdapterCommon->Stop() : STATUS_INVALID_DEVICE_STATE;
}

// Control-change listeners belong on the function object's callback object: that is where its
// nodes and status handler announce changes.
STDMETHODIMP_(NTSTATUS)
CUsbDevice::RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration)
{
    PAGED_CODE();
    if (!m_pFunctionAdapterCommon)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return m_pFunctionAdapterCommon->RegisterCallback(Callback, Context, Registration);
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::UnregisterCallback(PVOID Registration)
{
    PAGED_CODE();
    if (!m_pFunctionAdapterCommon)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return m_pFunctionAdapterCommon->UnregisterCallback(Registration);
}

// ---- IUsbDevice: state ----

STDMETHODIMP_(PUSB_CONFIGURATION_DESCRIPTOR) CUsbDevice::GetConfigurationDescriptor()
{
    return m_pConfigurationDescriptor;
}

STDMETHODIMP_(USBD_CONFIGURATION_HANDLE) CUsbDevice::GetConfigurationHandle()
{
    return m_hConfiguration;
}

STDMETHODIMP_(UCHAR) CUsbDevice::GetControlInterfaceNumber()
{
    return m_nControlInterfaceNumber;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::SetDevicePresent(BOOLEAN Present)
{
    m_bDevicePresent = Present;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(BOOLEAN) CUsbDevice::IsHighSpeed()
{
    return m_bHighSpeed;
}

STDMETHODIMP_(PDEVICE_OBJECT) CUsbDevice::GetLowerDeviceObject()
{
    return m_pLowerDeviceObject;
}

STDMETHODIMP_(LONG) CUsbDevice::IncrementActiveCount()
{
    return InterlockedIncrement(&m_nActiveCount);
}

STDMETHODIMP_(LONG) CUsbDevice::DecrementActiveCount()
{
    return InterlockedDecrement(&m_nActiveCount);
}
