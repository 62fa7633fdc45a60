// CMiniportWaveCyclic: creation, the filter description and data ranges built at Init, the
// stream count that teardown waits on, and the miniport's power and subdevice slots.
#include "driver/wave/miniport_wave_cyclic.h"

#include "driver/core/device_extension.h"
#include "driver/core/topology_node_if.h"
#include "driver/wave/miniport_wave_cyclic_stream.h"
#include "driver/wave/stream_engine.h"

namespace
{

template <typename T> VOID FreeIf(T*& Block)
{
    if (Block)
    {
        ExFreePoolWithTag(Block, MINIPORT_WAVE_POOL_TAG);
        Block = nullptr;
    }
}

template <typename T> VOID ReleaseIf(T*& Object)
{
    if (Object)
    {
        Object->Release();
        Object = nullptr;
    }
}

PVOID AllocateZeroed(SIZE_T Bytes)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, Bytes, MINIPORT_WAVE_POOL_TAG);
    if (block)
    {
        RtlZeroMemory(block, Bytes);
    }
    return block;
}

} // namespace

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter,
                                  POOL_TYPE PoolType, ULONG EndpointIndex)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ClassId);
    if (!Unknown)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Unknown = nullptr;
    CMiniportWaveCyclic* pMiniport =
        new (PoolType, MINIPORT_WAVE_POOL_TAG) CMiniportWaveCyclic(UnknownOuter, EndpointIndex);
    if (!pMiniport)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Unknown = pMiniport->GetNonDelegatingUnknown();
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

// The pool block arrives zeroed; only the endpoint and the idle event need more.
CMiniportWaveCyclic::CMiniportWaveCyclic(PUNKNOWN UnknownOuter, ULONG EndpointIndex)
    : CUnknown(UnknownOuter), m_nEndpointIndex(EndpointIndex)
{
    PAGED_CODE();
    KeInitializeEvent(&m_IdleEvent, NotificationEvent, TRUE);
}

// Teardown holds the device mutex so that it never runs beside a device-wide change, and waits
// for the last stream: a stream reaches back into the port and the stream object.
CMiniportWaveCyclic::~CMiniportWaveCyclic()
{
    PAGED_CODE();
    PKMUTEX pMutex = nullptr;
    if (m_pAdapterCommon)
    {
        PDEVICE_OBJECT pDevice = m_pAdapterCommon->GetDeviceObject();
        if (pDevice)
        {
            pMutex = &GetAdapterExtension(pDevice)->DeviceMutex;
            KeWaitForSingleObject(pMutex, Executive, KernelMode, FALSE, nullptr);
        }
        KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
    }
    FreeEverything();
    if (pMutex)
    {
        KeReleaseMutex(pMutex, FALSE);
    }
}

VOID CMiniportWaveCyclic::FreeEverything()
{
    ReleaseIf(m_pPort);
    FreeIf(m_pFilterDescriptor);
    FreeIf(m_pConnectionDescriptors);
    FreeIf(m_pNodeDescriptors);
    FreeIf(m_pPinDescriptors);
    FreeIf(m_pDataRanges);
    FreeIf(m_pDataRangePointers);
    m_nDataRangeCount = 0;
    ReleaseIf(m_pStreamEngine);
    ReleaseIf(m_pAdapterCommon);
    FreeIf(m_pSubdeviceName);
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclic::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IMiniport) ||
        IsEqualGUIDAligned(InterfaceId, IID_IMiniportWaveCyclic))
    {
        *Interface = PVOID(static_cast<IMiniportWaveCyclic*>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IMiniportSubdevice))
    {
        *Interface = PVOID(static_cast<IMiniportSubdevice*>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPowerNotify))
    {
        *Interface = PVOID(static_cast<IPowerNotify*>(this));
    }
    else
    {
        *Interface = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveCyclic::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ResourceList);
    if (!Port || !UnknownAdapter)
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_pPort = Port;
    m_pPort->AddRef();
    m_nDevicePowerState = PowerDeviceD0;
    NTSTATUS status =
        UnknownAdapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&m_pAdapterCommon));
    if (NT_SUCCESS(status))
    {
        status = m_pAdapterCommon->GetStream(m_nEndpointIndex, &m_pStreamEngine);
        if (NT_SUCCESS(status) && !m_pStreamEngine)
        {
            status = STATUS_UNSUCCESSFUL;
        }
        if (NT_SUCCESS(status))
        {
            m_pStreamEngine->AddRef();
        }
    }
    if (NT_SUCCESS(status))
    {
        status = BuildDataRanges();
    }
    if (NT_SUCCESS(status))
    {
        status = BuildFilterDescriptor();
    }
    if (NT_SUCCESS(status))
    {
        status = BuildName();
    }
    if (!NT_SUCCESS(status))
    {
        FreeEverything();
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclic::GetDescription(PPCFILTER_DESCRIPTOR* Description)
{
    PAGED_CODE();
    if (!Description)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Description = m_pFilterDescriptor;
    return m_pFilterDescriptor ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

NTSTATUS CMiniportWaveCyclic::BuildFilterDescriptor()
{
    m_pFilterDescriptor = static_cast<PPCFILTER_DESCRIPTOR>(AllocateZeroed(sizeof(PCFILTER_DESCRIPTOR)));
    m_pPinDescriptors =
        static_cast<PPCPIN_DESCRIPTOR>(AllocateZeroed(WAVE_PIN_COUNT * sizeof(PCPIN_DESCRIPTOR)));
    m_pNodeDescriptors =
        static_cast<PPCNODE_DESCRIPTOR>(AllocateZeroed(WAVE_NODE_COUNT * sizeof(PCNODE_DESCRIPTOR)));
    m_pConnectionDescriptors = static_cast<PPCCONNECTION_DESCRIPTOR>(
        AllocateZeroed(WAVE_CONNECTION_COUNT * sizeof(PCCONNECTION_DESCRIPTOR)));
    if (!m_pFilterDescriptor || !m_pPinDescriptors || !m_pNodeDescriptors || !m_pConnectionDescriptors)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const BOOLEAN capture = m_pStreamEngine->GetKind() != STREAM_DIRECTION_RENDER;
    m_pFilterDescriptor->Version = 0;
    m_pFilterDescriptor->AutomationTable = &g_WaveFilterAutomationTable;
    BuildPins(capture);
    BuildNodeAndConnections(capture);
    m_pFilterDescriptor->CategoryCount = WAVE_CATEGORY_COUNT;
    m_pFilterDescriptor->Categories = capture ? g_WaveCaptureCategories : g_WaveRenderCategories;
    return STATUS_SUCCESS;
}

// Render: the audio stack writes into pin 0 and the sound leaves through bridge pin 1; capture
// runs the other way.
VOID CMiniportWaveCyclic::BuildPins(BOOLEAN Capture)
{
    PCPIN_DESCRIPTOR& streaming = m_pPinDescriptors[WAVE_PIN_STREAMING];
    streaming.MaxGlobalInstanceCount = 1;
    streaming.MaxFilterInstanceCount = 1;
    streaming.MinFilterInstanceCount = 1;
    streaming.KsPinDescriptor.InterfacesCount = 1;
    streaming.KsPinDescriptor.Interfaces = &g_WaveStreamingInterface;
    streaming.KsPinDescriptor.DataRangesCount = m_nDataRangeCount;
    streaming.KsPinDescriptor.DataRanges = m_pDataRangePointers;
    streaming.KsPinDescriptor.DataFlow = Capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    streaming.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    streaming.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    static const PKSDATARANGE s_BridgeRanges[] = {const_cast<PKSDATARANGE>(&g_WaveBridgeDataRange)};
    PCPIN_DESCRIPTOR& bridge = m_pPinDescriptors[WAVE_PIN_BRIDGE];
    bridge.KsPinDescriptor.DataRangesCount = sizeof(s_BridgeRanges) / sizeof(s_BridgeRanges[0]);
    bridge.KsPinDescriptor.DataRanges = s_BridgeRanges;
    bridge.KsPinDescriptor.DataFlow = Capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    bridge.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    bridge.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    m_pFilterDescriptor->PinSize = sizeof(PCPIN_DESCRIPTOR);
    m_pFilterDescriptor->PinCount = WAVE_PIN_COUNT;
    m_pFilterDescriptor->Pins = m_pPinDescriptors;
}

//   render:  [pin 0] --> (1) DAC (0) --> [pin 1]
//   capture: [pin 1] --> (1) ADC (0) --> [pin 0]
VOID CMiniportWaveCyclic::BuildNodeAndConnections(BOOLEAN Capture)
{
    m_pNodeDescriptors[0].Type = Capture ? &KSNODETYPE_ADC : &KSNODETYPE_DAC;
    const ULONG inPin = Capture ? WAVE_PIN_BRIDGE : WAVE_PIN_STREAMING;
    const ULONG outPin = Capture ? WAVE_PIN_STREAMING : WAVE_PIN_BRIDGE;
    // From node, from pin, to node, to pin
    m_pConnectionDescriptors[0] = {PCFILTER_NODE, inPin, 0, 1};
    m_pConnectionDescriptors[1] = {0, 0, PCFILTER_NODE, outPin};
    m_pFilterDescriptor->NodeSize = sizeof(PCNODE_DESCRIPTOR);
    m_pFilterDescriptor->NodeCount = WAVE_NODE_COUNT;
    m_pFilterDescriptor->Nodes = m_pNodeDescriptors;
    m_pFilterDescriptor->ConnectionCount = WAVE_CONNECTION_COUNT;
    m_pFilterDescriptor->Connections = m_pConnectionDescriptors;
}

// A name that does not fit is cut rather than refused: the endpoint still gets its filter.
NTSTATUS CMiniportWaveCyclic::BuildName()
{
    m_pSubdeviceName = static_cast<PWSTR>(AllocateZeroed(WAVE_SUBDEVICE_NAME_BYTES));
    PWSTR pScratch = static_cast<PWSTR>(AllocateZeroed(WAVE_SUBDEVICE_NAME_BYTES));
    if (!m_pSubdeviceName || !pScratch)
    {
        FreeIf(pScratch);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = m_pStreamEngine->GetName(pScratch);
    pScratch[WAVE_SUBDEVICE_NAME_BYTES / sizeof(WCHAR) - 1] = 0;
    _snwprintf(m_pSubdeviceName, WAVE_SUBDEVICE_NAME_BOUND_BYTES / sizeof(WCHAR), u"%s%s", pScratch, u"Wave");
    FreeIf(pScratch);
    return status;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclic::GetSubdeviceName(PWSTR* Name)
{
    PAGED_CODE();
    if (!Name)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Name = m_pSubdeviceName;
    return STATUS_SUCCESS;
}

// The endpoint's terminal node; without one NodeId is left as it was.
STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclic::FindPinId(PULONG NodeId, PULONG PinId)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(PinId);
    ULONG nodeId = 0;
    if (m_pStreamEngine && NodeId && FindStreamingTerminalNode(m_pStreamEngine, &nodeId))
    {
        *NodeId = nodeId;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveCyclic::PowerChangeNotify(POWER_STATE PowerState)
{
    PAGED_CODE();
    const ULONG state = ULONG(PowerState.DeviceState);
    if (state != m_nDevicePowerState && state >= PowerDeviceD0 && state <= PowerDeviceD3)
    {
        m_nDevicePowerState = state;
    }
}

VOID CMiniportWaveCyclic::AddStreamRef()
{
    if (InterlockedIncrement(&m_nStreamCount) == 1)
    {
        KeClearEvent(&m_IdleEvent);
    }
}

VOID CMiniportWaveCyclic::ReleaseStreamRef()
{
    if (InterlockedDecrement(&m_nStreamCount) == 0)
    {
        KeSetEvent(&m_IdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveCyclic::NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                               ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                               PSERVICEGROUP* ServiceGroup)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(PoolType);
    if (!Stream || !DmaChannel || !ServiceGroup)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_bStreamOpen)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PWAVEFORMATEX pWave = nullptr;
    NTSTATUS status = ValidateFormat(DataFormat, &pWave);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    // The stream's data path runs at DISPATCH_LEVEL, whatever pool the port offers.
    CMiniportWaveCyclicStream* pStream =
        new (NonPagedPool, MINIPORT_WAVE_POOL_TAG) CMiniportWaveCyclicStream(OuterUnknown);
    if (!pStream)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pStream->NonDelegatingAddRef();
    status = pStream->Init(this, Pin, Capture, DataFormat, m_pStreamEngine, ServiceGroup);
    if (NT_SUCCESS(status))
    {
        *Stream = static_cast<PMINIPORTWAVECYCLICSTREAM>(pStream);
        (*Stream)->AddRef();
        *DmaChannel = static_cast<PDMACHANNEL>(pStream);
        (*DmaChannel)->AddRef();
    }
    pStream->NonDelegatingRelease();
    return status;
}
