// CMiniportTopology set-up: the pin, node and connection records taken from the device's node
// graph, and the PortCls filter descriptor built from them.
#include "driver/topology/miniport/miniport_topology.h"

#include "driver/topology/miniport/miniport_topology_tables.h"
#include "driver/core/pin_type.h"
#include "driver/core/settings_store.h"

namespace
{

// Settings names of the pins' user names: "<word>_<KS pin id, 2 digits>".
const WCHAR kSpdifOutNameWord[] = u"SpdifOutName";
const WCHAR kSpdifInNameWord[] = u"SpdifInName";
const WCHAR kLineInNameWord[] = u"LineInName";
constexpr ULONG kPinNameSettingCch = 50;

// Where the connection walk stands with a node (indexed by KS node id); zero: not reached yet.
constexpr UCHAR WALK_ON_PATH = 1;
constexpr UCHAR WALK_DONE = 2;

template <class T> T* AllocateZeroed(SIZE_T Count)
{
    if (Count == 0 || Count > MAXULONG / sizeof(T))
    {
        return nullptr;
    }
    T* pBlock =
        static_cast<T*>(ExAllocatePoolWithTag(PagedPool, Count * sizeof(T), MINIPORT_TOPOLOGY_POOL_TAG));
    if (pBlock)
    {
        RtlZeroMemory(pBlock, Count * sizeof(T));
    }
    return pBlock;
}

template <class T> VOID FreeBlock(T** Block)
{
    if (*Block)
    {
        ExFreePoolWithTag(*Block, MINIPORT_TOPOLOGY_POOL_TAG);
        *Block = nullptr;
    }
}

} // namespace

// ---- Records ---------------------------------------------------------------------------

// Stream pins go to the front (so the last one found comes first), the jack pins behind them
// in device order: the audio stack numbers the streaming side first.
NTSTATUS CMiniportTopology::BuildPinRecords()
{
    PAGED_CODE();
    ULONG count = m_pAdapterCommon->GetNodeCount();
    for (ULONG index = 0; index < count; index++)
    {
        ITopologyNode* pNode = nullptr;
        if (!NT_SUCCESS(m_pAdapterCommon->GetNode(index, &pNode)) || !pNode)
        {
            continue;
        }
        ULONG kind = pNode->GetKind();
        if (kind != NODE_KIND_INPUT_TERMINAL && kind != NODE_KIND_OUTPUT_TERMINAL)
        {
            continue;
        }
        ITerminalNode* pTerminal = nullptr;
        if (!NT_SUCCESS(pNode->QueryInterface(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
        {
            continue;
        }
        ULONG pinType = PIN_TYPE_SPK;
        if (!NT_SUCCESS(pTerminal->GetPinType(&pinType)))
        {
            pinType = PIN_TYPE_SPK; // anything but Stream keeps device order
        }
        pTerminal->Release();
        TopologyPinRecord* pRecord = AllocateZeroed<TopologyPinRecord>(1);
        if (!pRecord)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        pRecord->Node = pNode;
        pNode->AddRef();
        if (pinType == PIN_TYPE_STREAM)
        {
            InsertHeadList(&m_PinList, &pRecord->ListEntry);
        }
        else
        {
            InsertTailList(&m_PinList, &pRecord->ListEntry);
        }
        m_nPinCount++;
    }
    return STATUS_SUCCESS;
}

// Every node but terminals and clock sources, in reverse device order.
NTSTATUS CMiniportTopology::BuildNodeRecords()
{
    PAGED_CODE();
    ULONG count = m_pAdapterCommon->GetNodeCount();
    for (ULONG index = 0; index < count; index++)
    {
        ITopologyNode* pNode = nullptr;
        if (!NT_SUCCESS(m_pAdapterCommon->GetNode(index, &pNode)) || !pNode)
        {
            continue;
        }
        ULONG kind = pNode->GetKind();
        if (kind == NODE_KIND_INPUT_TERMINAL || kind == NODE_KIND_OUTPUT_TERMINAL ||
            kind == NODE_KIND_CLOCK_SOURCE)
        {
            continue;
        }
        TopologyNodeRecord* pRecord = AllocateZeroed<TopologyNodeRecord>(1);
        if (!pRecord)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        pRecord->Node = pNode;
        pNode->AddRef();
        InsertHeadList(&m_NodeList, &pRecord->ListEntry);
        m_nNodeCount++;
    }
    return STATUS_SUCCESS;
}

VOID CMiniportTopology::FreeRecords()
{
    PAGED_CODE();
    while (!IsListEmpty(&m_ConnectionList))
    {
        PLIST_ENTRY entry = RemoveHeadList(&m_ConnectionList);
        ExFreePoolWithTag(CONTAINING_RECORD(entry, TopologyConnectionRecord, ListEntry),
                          MINIPORT_TOPOLOGY_POOL_TAG);
    }
    while (!IsListEmpty(&m_NodeList))
    {
        TopologyNodeRecord* pRecord =
            CONTAINING_RECORD(RemoveHeadList(&m_NodeList), TopologyNodeRecord, ListEntry);
        pRecord->Node->Release();
        ExFreePoolWithTag(pRecord, MINIPORT_TOPOLOGY_POOL_TAG);
    }
    while (!IsListEmpty(&m_PinList))
    {
        TopologyPinRecord* pRecord =
            CONTAINING_RECORD(RemoveHeadList(&m_PinList), TopologyPinRecord, ListEntry);
        pRecord->Node->Release();
        ExFreePoolWithTag(pRecord, MINIPORT_TOPOLOGY_POOL_TAG);
    }
    m_nConnectionCount = 0;
    m_nNodeCount = 0;
    m_nPinCount = 0;
}

// ---- Filter descriptor -----------------------------------------------------------------

NTSTATUS CMiniportTopology::BuildFilterDescriptor()
{
    PAGED_CODE();
    m_pFilterDescriptor = AllocateZeroed<PCFILTER_DESCRIPTOR>(1);
    if (!m_pFilterDescriptor)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = BuildPinDescriptors();
    if (NT_SUCCESS(status))
    {
        status = BuildNodeDescriptors();
    }
    if (NT_SUCCESS(status))
    {
        status = WalkConnections();
    }
    if (NT_SUCCESS(status))
    {
        status = BuildConnections();
    }
    if (!NT_SUCCESS(status))
    {
        FreeDescriptors();
        return status;
    }
    m_pFilterDescriptor->Version = 0;
    m_pFilterDescriptor->AutomationTable = &FilterAutomation;
    m_pFilterDescriptor->PinSize = sizeof(PCPIN_DESCRIPTOR);
    m_pFilterDescriptor->PinCount = m_nPinCount;
    m_pFilterDescriptor->Pins = m_pPinDescriptors;
    m_pFilterDescriptor->NodeSize = sizeof(PCNODE_DESCRIPTOR);
    m_pFilterDescriptor->NodeCount = m_nNodeCount;
    m_pFilterDescriptor->Nodes = m_pNodeDescriptors;
    m_pFilterDescriptor->ConnectionCount = m_nConnectionCount;
    m_pFilterDescriptor->Connections = m_pConnectionDescriptors;
    m_pFilterDescriptor->CategoryCount = TopologyFilterCategoryCount;
    m_pFilterDescriptor->Categories = TopologyFilterCategories;
    return STATUS_SUCCESS;
}

VOID CMiniportTopology::FreeDescriptors()
{
    PAGED_CODE();
    FreeBlock(&m_pFilterDescriptor);
    FreeBlock(&m_pConnectionDescriptors);
    FreeBlock(&m_pNodeDescriptors);
    FreeBlock(&m_pPinDescriptors);
}

// A record's KS pin id is its position in the pin list.
NTSTATUS CMiniportTopology::BuildPinDescriptors()
{
    PAGED_CODE();
    if (m_nPinCount == 0)
    {
        return STATUS_SUCCESS; // the connection walk refuses a filter without output pins
    }
    m_pPinDescriptors = AllocateZeroed<PCPIN_DESCRIPTOR>(m_nPinCount);
    if (!m_pPinDescriptors)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG pinId = 0;
    for (PLIST_ENTRY entry = m_PinList.Flink; entry != &m_PinList; entry = entry->Flink, pinId++)
    {
        TopologyPinRecord* pRecord = CONTAINING_RECORD(entry, TopologyPinRecord, ListEntry);
        pRecord->PinId = pinId;
        ULONG kind = pRecord->Node->GetKind();
        ULONG pinType = PIN_TYPE_STEREOMIX;
        ITerminalNode* pTerminal = nullptr;
        if (NT_SUCCESS(
                pRecord->Node->QueryInterface(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
        {
            if (!NT_SUCCESS(pTerminal->GetPinType(&pinType)))
            {
                pinType = PIN_TYPE_STEREOMIX;
            }
            pTerminal->Release();
        }
        PCPIN_DESCRIPTOR* pPin = &m_pPinDescriptors[pinId];
        pPin->KsPinDescriptor.DataRangesCount = TopologyPinDataRangeCount;
        pPin->KsPinDescriptor.DataRanges = TopologyPinDataRanges;
        pPin->KsPinDescriptor.DataFlow =
            kind == NODE_KIND_OUTPUT_TERMINAL ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
        pPin->KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
        NTSTATUS status = DescribePin(kind, pinType, pPin, pRecord);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// A record's KS node id is its position in the node list.
NTSTATUS CMiniportTopology::BuildNodeDescriptors()
{
    PAGED_CODE();
    if (m_nNodeCount == 0)
    {
        return STATUS_SUCCESS;
    }
    m_pNodeDescriptors = AllocateZeroed<PCNODE_DESCRIPTOR>(m_nNodeCount);
    if (!m_pNodeDescriptors)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG nodeId = 0;
    for (PLIST_ENTRY entry = m_NodeList.Flink; entry != &m_NodeList; entry = entry->Flink, nodeId++)
    {
        TopologyNodeRecord* pRecord = CONTAINING_RECORD(entry, TopologyNodeRecord, ListEntry);
        pRecord->NodeId = nodeId;
        NTSTATUS status = DescribeNode(pRecord, &m_pNodeDescriptors[nodeId]);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// ---- Pins and nodes as KS sees them -------------------------------------------------------

// The settings may give an S/PDIF or line pin a name of its own (a 16-byte GUID).
BOOLEAN CMiniportTopology::ReadPinName(PCWSTR SettingWord, TopologyPinRecord* Record)
{
    PAGED_CODE();
    PDEVICE_OBJECT pDevice = m_pAdapterCommon->GetDeviceObject();
    if (!pDevice)
    {
        return FALSE;
    }
    WCHAR name[kPinNameSettingCch];
    if (!NT_SUCCESS(RtlStringCchPrintfW(name, kPinNameSettingCch, u"%s_%02d", SettingWord, Record->PinId)))
    {
        return FALSE;
    }
    GUID value = {};
    if (!NT_SUCCESS(AccessSetting(pDevice, SETTINGS_OPERATION_READ, &value, sizeof(value), name)))
    {
        return FALSE;
    }
    Record->Name = value;
    return TRUE;
}

NTSTATUS CMiniportTopology::DescribePin(ULONG Kind, ULONG PinType, PPCPIN_DESCRIPTOR Descriptor,
                                        TopologyPinRecord* Record)
{
    PAGED_CODE();
    if (PinType >= TopologyPinTypeRowCount)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const GUID* pCategory = TopologyPinTypeRows[PinType].Category;
    const GUID* pName = TopologyPinTypeRows[PinType].Name;
    // Older systems know neither the Aux connector's name nor a stereo-mix connector.
    if (!RtlIsNtDdiVersionAvailable(TOPOLOGY_NAMED_CONNECTOR_NTDDI))
    {
        if (PinType == PIN_TYPE_AUX)
        {
            pName = nullptr;
        }
        else if (PinType == PIN_TYPE_STEREOMIX)
        {
            pCategory = &KSAUDFNAME_STEREO_MIX;
            pName = nullptr;
        }
    }
    if (PinType == PIN_TYPE_SPDIF)
    {
        BOOLEAN output = Kind == NODE_KIND_OUTPUT_TERMINAL;
        pName = output ? &PINNAME_SPDIF_OUT : &PINNAME_SPDIF_IN;
        if (ReadPinName(output ? kSpdifOutNameWord : kSpdifInNameWord, Record))
        {
            pName = &Record->Name;
        }
    }
    else if (PinType == PIN_TYPE_LINE && Kind == NODE_KIND_INPUT_TERMINAL)
    {
        if (ReadPinName(kLineInNameWord, Record))
        {
            pName = &Record->Name;
        }
    }
    Descriptor->KsPinDescriptor.Category = pCategory;
    Descriptor->KsPinDescriptor.Name = pName;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::DescribeNode(TopologyNodeRecord* Record, PPCNODE_DESCRIPTOR Descriptor)
{
    PAGED_CODE();
    ULONG kind = Record->Node->GetKind();
    Descriptor->Flags = 0;
    if (kind == NODE_KIND_SELECTOR)
    {
        // A selector with a single input selects nothing the user could change.
        BOOLEAN mux = Record->Node->GetSourceCount() >= 2;
        Descriptor->Type = mux ? &KSNODETYPE_MUX : &KSNODETYPE_DEV_SPECIFIC;
        Descriptor->AutomationTable = mux ? &MuxNodeAutomation : &SingleInputSelectorAutomation;
        Descriptor->Name = mux ? nullptr : &KSNODETYPE_DEV_SPECIFIC;
        return STATUS_SUCCESS;
    }
    if (kind == NODE_KIND_EFFECT)
    {
        IEffectNode* pEffect = nullptr;
        NTSTATUS status = Record->Node->QueryInterface(IID_IEffectNode, reinterpret_cast<PVOID*>(&pEffect));
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        status = pEffect->GetNameGuid(&Record->Name);
        pEffect->Release();
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        Descriptor->Type = &KSNODETYPE_DEV_SPECIFIC;
        Descriptor->AutomationTable = &EffectNodeAutomation;
        Descriptor->Name = &Record->Name;
        return STATUS_SUCCESS;
    }
    for (ULONG row = 0; row < TopologyNodeKindRowCount; row++)
    {
        if (TopologyNodeKindRows[row].Kind == kind)
        {
            Descriptor->Type = TopologyNodeKindRows[row].Type;
            Descriptor->AutomationTable = TopologyNodeKindRows[row].Automation;
            Descriptor->Name = TopologyNodeKindRows[row].Name;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

// ---- Connections -------------------------------------------------------------------------
//
// The walk starts at every output-terminal pin and follows source ids upstream. A node's
// output is its KS pin 0 and its inputs are KS pins 1 to n in source order (so a selector's
// input i is its pin i); the filter's own pins appear as PCFILTER_NODE with the KS pin id:
//
//                                       +-----------+
//   Stream pin 0 --> (A) volume -->     | 1         |
//                                       |  (C) MUX  | 0 --> (D) mute --> SPK pin 2
//   Line pin 1 ------------------------>| 2         |
//                                       +-----------+
//
//   (PCFILTER_NODE, 0) -> (A, 1)    (A, 0) -> (C, 1)    (PCFILTER_NODE, 1) -> (C, 2)
//   (C, 0) -> (D, 1)                (D, 0) -> (PCFILTER_NODE, 2)
//
// Each node is walked once: a unit that takes the same source on several inputs, or sources
// shared by several outputs, would otherwise be walked again on every path that reaches it, and
// a chain of such units doubles the work with every link. A node met again while it is still on
// the path being walked closes a loop in the device's descriptors, which cannot be drawn.

NTSTATUS CMiniportTopology::WalkConnections()
{
    PAGED_CODE();
    PLIST_ENTRY cursor = nullptr;
    TopologyPinRecord pin;
    if (!FindFirstOutputTerminalPin(&cursor, &pin))
    {
        DbgPrint("CMiniportTopology: the device has no output terminal, so its topology has no output\n");
        return STATUS_UNSUCCESSFUL;
    }
    PUCHAR pWalkState = m_nNodeCount ? AllocateZeroed<UCHAR>(m_nNodeCount) : nullptr;
    if (m_nNodeCount && !pWalkState)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = STATUS_SUCCESS;
    do
    {
        ITerminalNode* pTerminal = nullptr;
        if (!NT_SUCCESS(pin.Node->QueryInterface(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
        {
            break;
        }
        pTerminal->Release();
        status = WalkOutputPin(&pin, pWalkState);
    } while (NT_SUCCESS(status) && FindFirstOutputTerminalPin(&cursor, &pin));
    FreeBlock(&pWalkState);
    return status;
}

// An output fed by nothing (its descriptor named a source that does not exist, and the walk that
// built the nodes said so) has no connection to draw; the pins that are fed still are.
NTSTATUS CMiniportTopology::WalkOutputPin(TopologyPinRecord* Pin, PUCHAR WalkState)
{
    PAGED_CODE();
    ULONG count = 1;
    ULONG sourceId = 0;
    NTSTATUS status = Pin->Node->GetSourceIdList(&count, &sourceId);
    if (!NT_SUCCESS(status) || count == 0)
    {
        return STATUS_SUCCESS;
    }
    TopologyNodeRecord source;
    TopologyPinRecord sourcePin;
    if (FindNodeRecordById(sourceId, &source))
    {
        status = WalkConnectionsUpstream(&source, WalkState);
        return NT_SUCCESS(status) ? AddConnection(source.NodeId, 0, PCFILTER_NODE, Pin->PinId) : status;
    }
    if (FindPinRecordById(sourceId, &sourcePin))
    {
        return AddConnection(PCFILTER_NODE, sourcePin.PinId, PCFILTER_NODE, Pin->PinId);
    }
    DbgPrint("CMiniportTopology: output pin %u names source %u, which is neither a node nor a pin\n",
             Pin->PinId, sourceId);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CMiniportTopology::WalkConnectionsUpstream(TopologyNodeRecord* Record, PUCHAR WalkState)
{
    PAGED_CODE();
    if (WalkState[Record->NodeId] == WALK_DONE)
    {
        return STATUS_SUCCESS;
    }
    if (WalkState[Record->NodeId] == WALK_ON_PATH)
    {
        DbgPrint("CMiniportTopology: node %u feeds itself through a loop of sources\n",
                 Record->Node->GetId());
        return STATUS_UNSUCCESSFUL;
    }
    WalkState[Record->NodeId] = WALK_ON_PATH;
    NTSTATUS status = WalkNodeSources(Record, WalkState);
    WalkState[Record->NodeId] = WALK_DONE;
    return status;
}

NTSTATUS CMiniportTopology::WalkNodeSources(TopologyNodeRecord* Record, PUCHAR WalkState)
{
    PAGED_CODE();
    ULONG count = Record->Node->GetSourceCount();
    if (count == 0)
    {
        // A node without sources stands for a terminal of its own id.
        TopologyPinRecord pin;
        if (!FindPinRecordById(Record->Node->GetId(), &pin))
        {
            DbgPrint("CMiniportTopology: node %u has no source and no pin of its own\n",
                     Record->Node->GetId());
            return STATUS_UNSUCCESSFUL;
        }
        return AddConnection(PCFILTER_NODE, pin.PinId, Record->NodeId, 1);
    }
    PULONG pSourceIds = AllocateZeroed<ULONG>(count);
    if (!pSourceIds)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = Record->Node->GetSourceIdList(&count, pSourceIds);
    for (ULONG index = 0; NT_SUCCESS(status) && index < count; index++)
    {
        TopologyNodeRecord source;
        TopologyPinRecord pin;
        if (FindNodeRecordById(pSourceIds[index], &source))
        {
            status = WalkConnectionsUpstream(&source, WalkState);
            if (NT_SUCCESS(status))
            {
                status = AddConnection(source.NodeId, 0, Record->NodeId, index + 1);
            }
        }
        else if (FindPinRecordById(pSourceIds[index], &pin))
        {
            status = AddConnection(PCFILTER_NODE, pin.PinId, Record->NodeId, index + 1);
        }
        else
        {
            DbgPrint("CMiniportTopology: node %u names source %u, which is neither a node nor a pin\n",
                     Record->Node->GetId(), pSourceIds[index]);
            status = STATUS_UNSUCCESSFUL;
        }
    }
    ExFreePoolWithTag(pSourceIds, MINIPORT_TOPOLOGY_POOL_TAG);
    return status;
}

NTSTATUS CMiniportTopology::AddConnection(ULONG FromNode, ULONG FromNodePin, ULONG ToNode, ULONG ToNodePin)
{
    PAGED_CODE();
    for (PLIST_ENTRY entry = m_ConnectionList.Flink; entry != &m_ConnectionList; entry = entry->Flink)
    {
        TopologyConnectionRecord* pRecord = CONTAINING_RECORD(entry, TopologyConnectionRecord, ListEntry);
        if (pRecord->FromNode == FromNode && pRecord->FromNodePin == FromNodePin &&
            pRecord->ToNode == ToNode && pRecord->ToNodePin == ToNodePin)
        {
            return STATUS_SUCCESS;
        }
    }
    TopologyConnectionRecord* pRecord = AllocateZeroed<TopologyConnectionRecord>(1);
    if (!pRecord)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pRecord->FromNode = FromNode;
    pRecord->FromNodePin = FromNodePin;
    pRecord->ToNode = ToNode;
    pRecord->ToNodePin = ToNodePin;
    InsertHeadList(&m_ConnectionList, &pRecord->ListEntry);
    m_nConnectionCount++;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::BuildConnections()
{
    PAGED_CODE();
    m_pConnectionDescriptors = AllocateZeroed<PCCONNECTION_DESCRIPTOR>(m_nConnectionCount);
    if (!m_pConnectionDescriptors)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG index = 0;
    for (PLIST_ENTRY entry = m_ConnectionList.Flink; entry != &m_ConnectionList;
         entry = entry->Flink, index++)
    {
        TopologyConnectionRecord* pRecord = CONTAINING_RECORD(entry, TopologyConnectionRecord, ListEntry);
        m_pConnectionDescriptors[index].FromNode = pRecord->FromNode;
        m_pConnectionDescriptors[index].FromNodePin = pRecord->FromNodePin;
        m_pConnectionDescriptors[index].ToNode = pRecord->ToNode;
        m_pConnectionDescriptors[index].ToNodePin = pRecord->ToNodePin;
    }
    return STATUS_SUCCESS;
}
