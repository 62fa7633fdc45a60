// The node-graph side of the class-1 walk: the cycle check a descriptor set must pass before
// its paths are followed, the pin types handed down from each pin-type selector, and the
// software mute (and, on old systems, selector) spliced into streams whose path has no unit.
#include "driver/function/uac1/uac1_device.h"
#include "driver/function/uac1/uac1_walk_internal.h"

#include "driver/topology/nodes/selector_node.h"
#include "driver/topology/nodes/software_mute_node.h"
#include "driver/topology/nodes/usb_entity_node.h"
#include "driver/wave/usb_audio_stream.h"

using namespace uac1walk;

namespace
{

constexpr ULONG ENTITY_KIND_OUTPUT_TERMINAL = 3;

// Depth-first state of one node: not yet seen, on the current path, or finished.
enum VisitState : UCHAR
{
    VISIT_NEW = 0,
    VISIT_ON_PATH = 1,
    VISIT_DONE = 2,
};

struct DfsFrame
{
    ULONG Node; // index into the node array
    ULONG NextSource;
};

// A software node for a splice, with the splice's reference, or null when the pool is out.
template <typename TNode> TNode* NewSoftwareNode(ULONG Id)
{
    TNode* pNode = new (NonPagedPool, UAC1_DEVICE_POOL_TAG) TNode(nullptr, Id);
    if (pNode)
    {
        static_cast<ITopologyNode*>(pNode)->AddRef();
    }
    return pNode;
}

// A spliced node whose set-up succeeded (Status) joins the device's nodes and then the
// stream's; the splice's reference goes either way.
NTSTATUS AdoptSoftwareNode(CUac1Device* Device, CUsbAudioStream* Stream, ITopologyNode* Node, NTSTATUS Status)
{
    if (NT_SUCCESS(Status))
    {
        Status = Device->AddNode(Node);
    }
    if (NT_SUCCESS(Status))
    {
        Status = Stream->AddNode(Node);
    }
    Node->Release();
    return Status;
}

} // namespace

// Descriptors whose units feed each other in a loop describe no signal path; following one
// would never end. The walk is iterative so a long chain cannot exhaust the kernel stack.
NTSTATUS CUac1Device::CheckUpstreamAcyclic(ULONG StartId)
{
    PAGED_CODE();
    const ULONG count = GetNodeCount();
    ITopologyNode* pStart = nullptr;
    if (count == 0 || !NT_SUCCESS(FindNodeById(StartId, &pStart)))
    {
        return STATUS_SUCCESS;
    }
    SIZE_T bytes = count * (sizeof(ITopologyNode*) + sizeof(DfsFrame) + sizeof(UCHAR));
    PUCHAR pBlock = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, UAC1_DEVICE_POOL_TAG));
    PULONG pSources = AllocateSourceScratch();
    NTSTATUS status = pBlock && pSources ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
    {
        ITopologyNode** nodes = reinterpret_cast<ITopologyNode**>(pBlock);
        DfsFrame* stack = reinterpret_cast<DfsFrame*>(pBlock + count * sizeof(ITopologyNode*));
        PUCHAR state = pBlock + count * (sizeof(ITopologyNode*) + sizeof(DfsFrame));
        RtlZeroMemory(state, count);
        ULONG start = count;
        for (ULONG index = 0; index < count; index++)
        {
            GetNode(index, &nodes[index]);
            start = nodes[index] == pStart ? index : start;
        }
        ULONG depth = 0;
        stack[depth++] = {start, 0};
        state[start] = VISIT_ON_PATH;
        while (depth && NT_SUCCESS(status))
        {
            DfsFrame& frame = stack[depth - 1];
            ULONG sources = ReadSources(nodes[frame.Node], pSources);
            if (frame.NextSource >= sources)
            {
                state[frame.Node] = VISIT_DONE;
                depth--;
                continue;
            }
            ITopologyNode* pSource = nullptr;
            if (!NT_SUCCESS(FindNodeById(pSources[frame.NextSource++], &pSource)))
            {
                continue;
            }
            ULONG next = 0;
            while (next < count && nodes[next] != pSource)
            {
                next++;
            }
            if (next == count || state[next] == VISIT_DONE)
            {
                continue;
            }
            if (state[next] == VISIT_ON_PATH)
            {
                DbgPrint("CUac1Device: the descriptors connect terminals and units in a loop, which is no "
                         "signal path\n");
                status = STATUS_UNSUCCESSFUL;
                break;
            }
            state[next] = VISIT_ON_PATH;
            stack[depth++] = {next, 0};
        }
    }
    if (pSources)
    {
        ExFreePoolWithTag(pSources, UAC1_DEVICE_POOL_TAG);
    }
    if (pBlock)
    {
        ExFreePoolWithTag(pBlock, UAC1_DEVICE_POOL_TAG);
    }
    return status;
}

// The single-source chain upstream of each pin-type selector follows its pin type (the control
// nodes on it apply that type's channel rule). A chain that comes back to itself fails the walk.
NTSTATUS CUac1Device::PropagatePinTypes()
{
    PAGED_CODE();
    const ULONG count = GetNodeCount();
    for (ULONG index = 0; index < count; index++)
    {
        ITopologyNode* pSelectorNode = nullptr;
        ULONG id = 0;
        ULONG one = 1;
        if (!NT_SUCCESS(GetNode(index, &pSelectorNode)) ||
            pSelectorNode->GetKind() != NODE_KIND_PIN_TYPE_SELECTOR || pSelectorNode->GetSourceCount() == 0 ||
            !NT_SUCCESS(pSelectorNode->GetSourceIdList(&one, &id)))
        {
            continue;
        }
        IPinTypeSelector* pSelector = nullptr;
        if (!NT_SUCCESS(
                pSelectorNode->QueryInterface(IID_IPinTypeSelector, reinterpret_cast<PVOID*>(&pSelector))))
        {
            continue;
        }
        ULONG pinType = 0;
        pSelector->GetPinType(&pinType);
        CIdSet visited(count + 1);
        NTSTATUS status = visited.IsValid() ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        ITopologyNode* pNode = nullptr;
        while (NT_SUCCESS(status) && NT_SUCCESS(FindNodeById(id, &pNode)))
        {
            if (visited.Contains(id) || !visited.Add(id))
            {
                DbgPrint("CUac1Device: the chain behind an output's type switch comes back to itself\n");
                status = STATUS_UNSUCCESSFUL;
                break;
            }
            ULONG sourceCount = 1;
            if (pNode->GetSourceCount() != 1 || pNode->GetKind() == NODE_KIND_INPUT_TERMINAL)
            {
                break;
            }
            IPinTypeSink* pSink = nullptr;
            if (NT_SUCCESS(pNode->QueryInterface(IID_IPinTypeSink, reinterpret_cast<PVOID*>(&pSink))))
            {
                pSink->SetPinType(pinType, nullptr);
                pSelector->AddPinTypeSink(pSink);
                pSink->Release();
            }
            if (!NT_SUCCESS(pNode->GetSourceIdList(&sourceCount, &id)))
            {
                break;
            }
        }
        pSelector->Release();
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUac1Device::SpliceStreamSoftwareNodes(CUsbAudioStream* Stream)
{
    PAGED_CODE();
    const ULONG count = Stream->GetNodeCount();
    if (count == 2)
    {
        return SpliceTwoNodeStream(Stream);
    }
    if (Stream->GetKind() == STREAM_DIRECTION_RENDER)
    {
        return STATUS_SUCCESS;
    }
    ULONG terminals = 0;
    BOOLEAN selector = FALSE;
    ITopologyNode* pOutput = nullptr;
    for (ULONG index = 0; index < count; index++)
    {
        ITopologyNode* pNode = nullptr;
        if (!NT_SUCCESS(Stream->GetNode(index, &pNode)))
        {
            continue;
        }
        ULONG kind = pNode->GetKind();
        terminals += kind == NODE_KIND_INPUT_TERMINAL || kind == NODE_KIND_OUTPUT_TERMINAL;
        selector = selector || kind == NODE_KIND_SELECTOR;
        pOutput = kind == NODE_KIND_OUTPUT_TERMINAL && !pOutput ? pNode : pOutput;
    }
    // Systems before Vista show a capture pin without a selector no input choice at all.
    if (selector || terminals != 2 || !pOutput || RtlIsNtDdiVersionAvailable(NTDDI_VISTA))
    {
        return STATUS_SUCCESS;
    }
    ULONG source = 0;
    ULONG one = 1;
    if (pOutput->GetSourceCount() == 0 || !NT_SUCCESS(pOutput->GetSourceIdList(&one, &source)))
    {
        return STATUS_SUCCESS;
    }
    ULONG selectorId = GetNodeCount();
    NTSTATUS status = CreateSoftwareSelectorNode(Stream, selectorId, source);
    if (NT_SUCCESS(status))
    {
        RepointOutputTerminal(pOutput->GetId(), selectorId);
    }
    return status;
}

// A terminal wired straight to a terminal has no mute of its own; one is done in software.
NTSTATUS CUac1Device::SpliceTwoNodeStream(CUsbAudioStream* Stream)
{
    PAGED_CODE();
    ITopologyNode* pInput = nullptr;
    ITopologyNode* pOutput = nullptr;
    for (ULONG index = 0; index < Stream->GetNodeCount(); index++)
    {
        ITopologyNode* pNode = nullptr;
        if (!NT_SUCCESS(Stream->GetNode(index, &pNode)))
        {
            continue;
        }
        pInput = !pInput && pNode->GetKind() == NODE_KIND_INPUT_TERMINAL ? pNode : pInput;
        pOutput = !pOutput && pNode->GetKind() == NODE_KIND_OUTPUT_TERMINAL ? pNode : pOutput;
    }
    if (!pInput || !pOutput)
    {
        return STATUS_SUCCESS;
    }
    const ULONG muteId = GetNodeCount();
    ULONG last = muteId;
    NTSTATUS status = CreateSoftwareMuteNode(Stream, muteId, pInput->GetId());
    if (NT_SUCCESS(status) && Stream->GetKind() != STREAM_DIRECTION_RENDER &&
        !RtlIsNtDdiVersionAvailable(NTDDI_VISTA))
    {
        last = muteId + 1;
        status = CreateSoftwareSelectorNode(Stream, last, muteId);
    }
    if (NT_SUCCESS(status))
    {
        RepointOutputTerminal(pOutput->GetId(), last);
    }
    return status;
}

NTSTATUS CUac1Device::CreateSoftwareMuteNode(CUsbAudioStream* Stream, ULONG Id, ULONG SourceId)
{
    PAGED_CODE();
    CSoftwareMuteNode* pNode = NewSoftwareNode<CSoftwareMuteNode>(Id);
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = pNode->Init(SourceId, 1);
    return AdoptSoftwareNode(this, Stream, pNode, status);
}

NTSTATUS CUac1Device::CreateSoftwareSelectorNode(CUsbAudioStream* Stream, ULONG Id, ULONG SourceId)
{
    PAGED_CODE();
    CSelectorNode* pNode = NewSoftwareNode<CSelectorNode>(Id);
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = pNode->SetSourceIdList(1, &SourceId);
    return AdoptSoftwareNode(this, Stream, pNode, status);
}

// Only the output terminal whose first node is the stream's is re-pointed; when none is, the
// graph stays as the descriptors drew it.
VOID CUac1Device::RepointOutputTerminal(ULONG OutputNodeId, ULONG SourceId)
{
    PAGED_CODE();
    PPOINTER_LIST_NODE position = m_pChildren->GetHeadPosition();
    PVOID pData;
    while (m_pChildren->GetNext(&position, &pData))
    {
        CUsbEntityNode* pEntity = static_cast<CUsbEntityNode*>(static_cast<ITopologyNode*>(pData));
        ULONG first = 0;
        if (pEntity->GetKind() == ENTITY_KIND_OUTPUT_TERMINAL &&
            NT_SUCCESS(pEntity->GetFirstChildId(&first)) && first == OutputNodeId)
        {
            pEntity->SetFirstChildValue(1, &SourceId);
            return;
        }
    }
}
