// CStreamEngine: the endpoint's wave subdevice and its physical connection to the topology
// filter, installed while the endpoint's terminal has a connected jack (or cannot tell) and
// removed when it is unplugged.
#include "driver/wave/stream_engine.h"

#include "driver/core/adapter_common.h"
#include "driver/core/pin_type.h"

namespace
{

VOID ReleaseIf(PUNKNOWN pUnknown)
{
    if (pUnknown)
    {
        pUnknown->Release();
    }
}

} // namespace

BOOLEAN FindStreamingTerminalNode(IStreamEngine* Stream, PULONG NodeId)
{
    PAGED_CODE();
    const ULONG wanted =
        Stream->GetKind() != STREAM_DIRECTION_RENDER ? NODE_KIND_OUTPUT_TERMINAL : NODE_KIND_INPUT_TERMINAL;
    BOOLEAN found = FALSE;
    const ULONG count = Stream->GetNodeCount();
    for (ULONG i = 0; i < count; i++)
    {
        ITopologyNode* pNode = nullptr;
        if (!NT_SUCCESS(Stream->GetNode(i, &pNode)) || !pNode || pNode->GetKind() != wanted)
        {
            continue;
        }
        ITerminalNode* pTerminal = nullptr;
        if (!NT_SUCCESS(pNode->QueryInterface(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
        {
            continue;
        }
        ULONG pinType = MAXULONG;
        if (NT_SUCCESS(pTerminal->GetPinType(&pinType)) && pinType == PIN_TYPE_STREAM)
        {
            *NodeId = pNode->GetId();
            found = TRUE;
        }
        pTerminal->Release();
    }
    return found;
}

// Any record of a plugged jack is enough: a headset terminal may list an unused jack first.
BOOLEAN CStreamEngine::IsTerminalConnected(ITerminalNode* Terminal)
{
    ULONG jackCount = 0;
    if (!NT_SUCCESS(Terminal->GetJackCount(&jackCount)))
    {
        return FALSE;
    }
    if (jackCount == 0)
    {
        // No jack information: the endpoint is always there.
        return TRUE;
    }
    const SIZE_T bytes = SIZE_T(jackCount) * sizeof(JackRecord);
    if (bytes > MAXULONG)
    {
        return FALSE;
    }
    JackRecord* pJacks = static_cast<JackRecord*>(ExAllocatePoolWithTag(PagedPool, bytes, STREAM_POOL_TAG));
    if (!pJacks)
    {
        return FALSE;
    }
    RtlZeroMemory(pJacks, bytes);
    BOOLEAN connected = FALSE;
    if (NT_SUCCESS(Terminal->GetJackDescriptions(ULONG(bytes), pJacks)))
    {
        for (ULONG i = 0; i < jackCount && !connected; i++)
        {
            connected = pJacks[i].IsConnected != 0;
        }
    }
    ExFreePoolWithTag(pJacks, STREAM_POOL_TAG);
    return connected;
}

// True when the endpoint should have a wave subdevice. Only the terminals at the jack end of
// the path count: output terminals for render, input terminals for capture; a streaming
// terminal has no jack.
BOOLEAN CStreamEngine::IsJackConnected()
{
    if (!m_pNodes)
    {
        return FALSE;
    }
    const ULONG terminalKind = m_nCapture ? NODE_KIND_INPUT_TERMINAL : NODE_KIND_OUTPUT_TERMINAL;
    BOOLEAN connected = FALSE;
    PPOINTER_LIST_NODE position = m_pNodes->GetHeadPosition();
    PVOID pData;
    while (!connected && m_pNodes->GetNext(&position, &pData))
    {
        ITopologyNode* pNode = static_cast<ITopologyNode*>(pData);
        ITerminalNode* pTerminal = nullptr;
        if (pNode->GetKind() != terminalKind ||
            !NT_SUCCESS(pNode->QueryInterface(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
        {
            continue;
        }
        ULONG pinType = PIN_TYPE_STREAM;
        if (NT_SUCCESS(pTerminal->GetPinType(&pinType)) && pinType != PIN_TYPE_STREAM)
        {
            connected = IsTerminalConnected(pTerminal);
        }
        pTerminal->Release();
    }
    return connected;
}

STDMETHODIMP_(NTSTATUS)
CStreamEngine::UpdateSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN AdapterUnknown)
{
    PAGED_CODE();
    if (!m_pMiniportCreator)
    {
        return STATUS_UNSUCCESSFUL;
    }
    const BOOLEAN connected = IsJackConnected();
    if (connected && !m_pWavePort)
    {
        if (!OffersWaveFormat())
        {
            // Every format the walk left out says why; the endpoint is left out in turn, and the
            // device's other endpoints still start.
            DbgPrint("CStreamEngine: endpoint %ws (streaming interface %u) has no format the wave filter "
                     "can offer, so it gets no wave filter\n",
                     m_pName ? m_pName : u"", m_nStreamId);
            return STATUS_SUCCESS;
        }
        NTSTATUS status = CreateWaveSubdevice(DeviceObject, Irp, AdapterUnknown);
        if (NT_SUCCESS(status))
        {
            status = RegisterPhysicalConnection(DeviceObject);
        }
        return status;
    }
    if (!connected && m_pWavePort)
    {
        return UnregisterSubdevice(DeviceObject, Irp, AdapterUnknown);
    }
    return STATUS_SUCCESS;
}

// The wave filter offers every format of the endpoint but the one-bit ones, which only the ASIO
// path streams.
BOOLEAN CStreamEngine::OffersWaveFormat()
{
    const ULONG count = GetFormatCount();
    for (ULONG i = 0; i < count; i++)
    {
        WAVEFORMATEXTENSIBLE format;
        RtlZeroMemory(&format, sizeof(format));
        if (NT_SUCCESS(GetFormat(i, &format)) &&
            !IsEqualGUIDAligned(format.SubFormat, KSDATAFORMAT_SUBTYPE_DSD))
        {
            return TRUE;
        }
    }
    return FALSE;
}

// A wave filter without its connection would show the audio stack an endpoint that leads
// nowhere, so a failed connection takes the subdevice away again.
NTSTATUS CStreamEngine::RegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject)
{
    NTSTATUS status = m_nCapture
                          ? PcRegisterPhysicalConnection(DeviceObject, m_pTopologyPort, m_nTopologyPin,
                                                         m_pWavePort, STREAM_WAVE_BRIDGE_PIN)
                          : PcRegisterPhysicalConnection(DeviceObject, m_pWavePort, STREAM_WAVE_BRIDGE_PIN,
                                                         m_pTopologyPort, m_nTopologyPin);
    if (!NT_SUCCESS(status))
    {
        WithdrawWaveSubdevice(DeviceObject);
    }
    return status;
}

// Unregisters the subdevice alone; WavePort stays when that fails, so a later removal can retry.
NTSTATUS CStreamEngine::WithdrawWaveSubdevice(PDEVICE_OBJECT DeviceObject)
{
    PUNREGISTERSUBDEVICE pUnregister = nullptr;
    NTSTATUS status =
        m_pWavePort->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&pUnregister));
    if (NT_SUCCESS(status))
    {
        status = pUnregister->UnregisterSubdevice(DeviceObject, m_pWavePort);
        pUnregister->Release();
    }
    if (NT_SUCCESS(status))
    {
        m_pWavePort->Release();
        m_pWavePort = nullptr;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS)
CStreamEngine::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN AdapterUnknown)
{
    PAGED_CODE();
    if (!m_pWavePort)
    {
        return STATUS_SUCCESS;
    }
    PUNKNOWN pSource = m_nCapture ? m_pTopologyPort : m_pWavePort;
    PUNREGISTERPHYSICALCONNECTION pConnection = nullptr;
    PUNREGISTERSUBDEVICE pSubdevice = nullptr;
    NTSTATUS status = pSource ? pSource->QueryInterface(IID_IUnregisterPhysicalConnection,
                                                        reinterpret_cast<PVOID*>(&pConnection))
                              : STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
    {
        status = m_pWavePort->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&pSubdevice));
    }
    if (NT_SUCCESS(status))
    {
        // The connection goes first: it names the subdevice's port.
        if (m_nCapture)
        {
            pConnection->UnregisterPhysicalConnection(DeviceObject, m_pTopologyPort, m_nTopologyPin,
                                                      m_pWavePort, STREAM_WAVE_BRIDGE_PIN);
        }
        else
        {
            pConnection->UnregisterPhysicalConnection(DeviceObject, m_pWavePort, STREAM_WAVE_BRIDGE_PIN,
                                                      m_pTopologyPort, m_nTopologyPin);
        }
        status = pSubdevice->UnregisterSubdevice(DeviceObject, m_pWavePort);
        if (NT_SUCCESS(status))
        {
            m_pWavePort->Release();
            m_pWavePort = nullptr;
        }
    }
    ReleaseIf(pConnection);
    ReleaseIf(pSubdevice);
    return status;
}

// The miniport creator needs this endpoint's position in the device's stream list.
NTSTATUS CStreamEngine::FindEndpointIndex(PUNKNOWN AdapterUnknown, PULONG Index)
{
    if (!AdapterUnknown)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PADAPTERCOMMON pAdapter = nullptr;
    NTSTATUS status = AdapterUnknown->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&pAdapter));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = STATUS_UNSUCCESSFUL;
    for (ULONG i = 0;; i++)
    {
        IStreamEngine* pStream = nullptr;
        if (!NT_SUCCESS(pAdapter->GetStream(i, &pStream)))
        {
            break;
        }
        if (pStream == static_cast<PSTREAMENGINE>(this))
        {
            *Index = i;
            status = STATUS_SUCCESS;
            break;
        }
    }
    pAdapter->Release();
    return status;
}

// A port that its miniport is bound to holds the miniport, and the miniport holds the port
// and the adapter, until the subdevice's registration ends: a bound port that is never
// registered keeps the whole device alive for ever. So whatever can be known before binding
// is checked first.
NTSTATUS CStreamEngine::CreateWaveSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN AdapterUnknown)
{
    ULONG index = 0;
    NTSTATUS status = FindEndpointIndex(AdapterUnknown, &index);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = CheckTopologyPin();
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PPORT pPort = nullptr;
    PUNKNOWN pMiniport = nullptr;
    status = PcNewPort(&pPort, m_PortClassId);
    if (NT_SUCCESS(status))
    {
        status = m_pMiniportCreator(&pMiniport, m_PortClassId, nullptr, NonPagedPool, index);
    }
    if (NT_SUCCESS(status))
    {
        status = pMiniport ? pPort->Init(DeviceObject, Irp, pMiniport, AdapterUnknown, nullptr)
                           : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status))
    {
        status = RegisterMiniportSubdevice(DeviceObject, pPort, pMiniport);
    }
    if (NT_SUCCESS(status))
    {
        pPort->AddRef();
        m_pWavePort = pPort;
    }
    ReleaseIf(pMiniport);
    ReleaseIf(pPort);
    return status;
}

// The wave filter is tied to the topology filter at the pin that carries the endpoint's own
// terminal (node 0 when its path has none, as the wave miniport reports it); an endpoint whose
// terminal no topology pin carries gets no wave filter.
NTSTATUS CStreamEngine::CheckTopologyPin()
{
    ULONG nodeId = 0;
    ULONG topologyPin = 0;
    FindStreamingTerminalNode(static_cast<PSTREAMENGINE>(this), &nodeId);
    if (!m_pTopologyMiniportSubdevice ||
        !NT_SUCCESS(m_pTopologyMiniportSubdevice->FindPinId(&nodeId, &topologyPin)))
    {
        DbgPrint("CStreamEngine: endpoint %ws (streaming interface %u): no pin of the topology filter "
                 "carries its terminal node %u, so it gets no wave filter\n",
                 m_pName ? m_pName : u"", m_nStreamId, nodeId);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// Registers the port under the miniport's name, but only once the wave filter's terminal is
// known to map to a topology pin: an unconnectable subdevice is never shown.
NTSTATUS CStreamEngine::RegisterMiniportSubdevice(PDEVICE_OBJECT DeviceObject, PPORT Port, PUNKNOWN Miniport)
{
    PMINIPORTSUBDEVICE pSubdevice = nullptr;
    NTSTATUS status = Miniport->QueryInterface(IID_IMiniportSubdevice, reinterpret_cast<PVOID*>(&pSubdevice));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PWSTR pName = nullptr;
    ULONG nodeId = 0;
    ULONG unused = 0;
    ULONG topologyPin = 0;
    status = pSubdevice->GetSubdeviceName(&pName);
    if (NT_SUCCESS(status) && !pName)
    {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status))
    {
        status = pSubdevice->FindPinId(&nodeId, &unused);
    }
    if (NT_SUCCESS(status) && (!m_pTopologyMiniportSubdevice ||
                               !NT_SUCCESS(m_pTopologyMiniportSubdevice->FindPinId(&nodeId, &topologyPin))))
    {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status))
    {
        status = PcRegisterSubdevice(DeviceObject, pName, Port);
    }
    if (NT_SUCCESS(status))
    {
        m_nTopologyPin = topologyPin;
    }
    pSubdevice->Release();
    return status;
}
