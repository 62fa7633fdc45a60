// CUsbEntityNode: descriptor copy, child list and the wiring of an entity's nodes.
#include "driver/topology/nodes/usb_entity_node.h"

// Node kinds that sit in a chain and take the node before them as their first source; the
// terminals of the input side, selectors, mixers and clocks keep their own sources.
constexpr ULONG CHAINED_KIND_MASK = (1u << 1) | (1u << 2) | (1u << 3) | (1u << 6) | (1u << 7) | (1u << 8) |
                                    (1u << 9) | (1u << 10) | (1u << 11) | (1u << 13) | (1u << 15) |
                                    (1u << 18) | (1u << 19) | (1u << 20) | (1u << 22) | (1u << 23);

// bUnitID or bTerminalID: the same byte in every entity descriptor of both releases.
constexpr ULONG ENTITY_ID_OFFSET = 3;

BOOLEAN NodeKindTakesChainedSource(ULONG Kind)
{
    return Kind < 32 && ((CHAINED_KIND_MASK >> Kind) & 1) ? TRUE : FALSE;
}

namespace
{

// Replaces the first source id and keeps the others.
VOID SetFirstSource(ITopologyNode* Node, ULONG SourceId)
{
    ULONG count = Node->GetSourceCount();
    if (count <= 1)
    {
        Node->SetSourceIdList(1, &SourceId);
        return;
    }
    PULONG pIds =
        static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), USB_ENTITY_POOL_TAG));
    if (!pIds)
    {
        return;
    }
    ULONG room = count;
    if (NT_SUCCESS(Node->GetSourceIdList(&room, pIds)) && room == count)
    {
        pIds[0] = SourceId;
        Node->SetSourceIdList(count, pIds);
    }
    ExFreePoolWithTag(pIds, USB_ENTITY_POOL_TAG);
}

} // namespace

CUsbEntityNode::CUsbEntityNode(PUNKNOWN UnknownOuter, ULONG Id)
    : CTopologyNode(UnknownOuter, Id, NODE_KIND_INPUT_TERMINAL), m_pDevice(nullptr), m_pDescriptor(nullptr),
      m_pChildren(nullptr)
{
}

CUsbEntityNode::~CUsbEntityNode()
{
    PAGED_CODE();
    if (m_pDescriptor)
    {
        ExFreePoolWithTag(m_pDescriptor, USB_ENTITY_POOL_TAG);
        m_pDescriptor = nullptr;
    }
    if (m_pChildren)
    {
        PVOID pData;
        while (m_pChildren->RemoveHead(&pData))
        {
            static_cast<ITopologyNode*>(pData)->Release();
        }
        ExFreePoolWithTag(m_pChildren, USB_ENTITY_POOL_TAG);
        m_pChildren = nullptr;
    }
}

NTSTATUS CUsbEntityNode::SetDescriptor(const VOID* Descriptor, ULONG Length, PUNKNOWN Device)
{
    PAGED_CODE();
    if (!Descriptor || !Device)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG bLength = Length ? *static_cast<const UCHAR*>(Descriptor) : 0;
    if (bLength == 0 || bLength > Length)
    {
        return STATUS_UNSUCCESSFUL;
    }
    PUCHAR pCopy = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, bLength, USB_ENTITY_POOL_TAG));
    if (!pCopy)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!m_pChildren)
    {
        m_pChildren = new (NonPagedPool, USB_ENTITY_POOL_TAG) CPointerList();
        if (!m_pChildren)
        {
            ExFreePoolWithTag(pCopy, USB_ENTITY_POOL_TAG);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    RtlCopyMemory(pCopy, Descriptor, bLength);
    if (m_pDescriptor)
    {
        ExFreePoolWithTag(m_pDescriptor, USB_ENTITY_POOL_TAG);
    }
    m_pDescriptor = pCopy;
    m_pDevice = Device;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbEntityNode::OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id)
{
    PAGED_CODE();
    PVOID pData = nullptr;
    if (!Id || !m_pChildren || m_pChildren->GetCount() != 1 || !m_pChildren->GetHead(&pData))
    {
        return STATUS_UNSUCCESSFUL;
    }
    *Id = static_cast<ITopologyNode*>(pData)->GetId();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbEntityNode::AddChildNode(ITopologyNode* Node)
{
    PAGED_CODE();
    if (!Node)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pChildren)
    {
        return STATUS_UNSUCCESSFUL;
    }
    Node->AddRef();
    if (!m_pChildren->AddHead(Node))
    {
        Node->Release();
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbEntityNode::GetChildCount(PULONG Count)
{
    if (!Count || !m_pChildren)
    {
        return STATUS_UNSUCCESSFUL;
    }
    *Count = m_pChildren->GetCount();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbEntityNode::GetChildAt(ULONG Index, ITopologyNode** Node)
{
    PVOID pData = nullptr;
    if (!Node || !m_pChildren || !m_pChildren->GetAt(Index, &pData))
    {
        return STATUS_UNSUCCESSFUL;
    }
    *Node = static_cast<ITopologyNode*>(pData);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbEntityNode::GetFirstChildId(PULONG Id)
{
    PVOID pData = nullptr;
    if (!Id || !m_pChildren || !m_pChildren->GetTail(&pData))
    {
        return STATUS_UNSUCCESSFUL;
    }
    *Id = static_cast<ITopologyNode*>(pData)->GetId();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbEntityNode::SetFirstChildValue(ULONG Count, const ULONG* Ids)
{
    PAGED_CODE();
    PVOID pData = nullptr;
    if (!Ids || !m_pChildren || !m_pChildren->GetHead(&pData))
    {
        return STATUS_UNSUCCESSFUL;
    }
    ITopologyNode* pHead = static_cast<ITopologyNode*>(pData);
    ULONG kind = pHead->GetKind();
    if (kind == NODE_KIND_SELECTOR || kind == NODE_KIND_MIXER)
    {
        if (Count == pHead->GetSourceCount())
        {
            pHead->SetSourceIdList(Count, Ids);
        }
    }
    else if (Count && NodeKindTakesChainedSource(kind))
    {
        SetFirstSource(pHead, Ids[0]);
    }
    return STATUS_SUCCESS;
}

VOID CUsbEntityNode::ChainChildNodes()
{
    PAGED_CODE();
    if (!m_pChildren || m_pChildren->GetCount() < 2)
    {
        return;
    }
    PPOINTER_LIST_NODE position = m_pChildren->GetHeadPosition();
    PVOID pData = nullptr;
    m_pChildren->GetNext(&position, &pData);
    ULONG previous = static_cast<ITopologyNode*>(pData)->GetId();
    while (m_pChildren->GetNext(&position, &pData))
    {
        ITopologyNode* pChild = static_cast<ITopologyNode*>(pData);
        ULONG kind = pChild->GetKind();
        if (NodeKindTakesChainedSource(kind))
        {
            SetFirstSource(pChild, previous);
        }
        if (kind != NODE_KIND_OUTPUT_TERMINAL)
        {
            previous = pChild->GetId();
        }
    }
}

NTSTATUS CUsbEntityNode::TakeSingleSourceIdentity(ULONG Kind, ULONG SourceOffset)
{
    PAGED_CODE();
    m_nId = m_pDescriptor[ENTITY_ID_OFFSET];
    m_nKind = Kind;
    ULONG source = m_pDescriptor[SourceOffset];
    return SetSourceIdList(1, &source);
}
