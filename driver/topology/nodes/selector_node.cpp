// CSelectorNode: the selected input and the sinks that follow it.
#include "driver/topology/nodes/selector_node.h"

#include "driver/topology/nodes/node_atomic.h"

CSelectorNode::CSelectorNode(PUNKNOWN UnknownOuter, ULONG Id)
    : CTopologyNode(UnknownOuter, Id, NODE_KIND_SELECTOR), m_nSelectedInput(1), m_pSinks(nullptr)
{
}

CSelectorNode::~CSelectorNode()
{
    PAGED_CODE();
    if (m_pSinks)
    {
        PVOID pData;
        while (m_pSinks->RemoveHead(&pData))
        {
            static_cast<IConnectionIndexSync*>(pData)->Release();
        }
        ExFreePoolWithTag(m_pSinks, SELECTOR_NODE_POOL_TAG);
        m_pSinks = nullptr;
    }
}

STDMETHODIMP_(NTSTATUS) CSelectorNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_ISelectorNode))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = PVOID(static_cast<ISelectorNode*>(this));
    static_cast<ISelectorNode*>(this)->AddRef();
    return STATUS_SUCCESS;
}

BOOLEAN CSelectorNode::CreateSinkList()
{
    if (!m_pSinks)
    {
        m_pSinks = new (NonPagedPool, SELECTOR_NODE_POOL_TAG) CPointerList();
    }
    return m_pSinks != nullptr;
}

STDMETHODIMP_(NTSTATUS) CSelectorNode::GetSelectedInput(PULONG Input)
{
    if (!Input)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Input = NodeReadUlong(&m_nSelectedInput);
    return STATUS_SUCCESS;
}

// The sinks are told in list order; a sink that fails leaves the later ones on the old input,
// but the selection itself has happened.
STDMETHODIMP_(NTSTATUS) CSelectorNode::SetSelectedInput(ULONG Input)
{
    PAGED_CODE();
    if (Input > m_nSourceCount)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NodeWriteUlong(&m_nSelectedInput, Input);
    PPOINTER_LIST_NODE position = m_pSinks ? m_pSinks->GetHeadPosition() : nullptr;
    PVOID pData;
    while (m_pSinks && m_pSinks->GetNext(&position, &pData))
    {
        if (!NT_SUCCESS(static_cast<IConnectionIndexSync*>(pData)->SetExpectedIndex(Input)))
        {
            break;
        }
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CSelectorNode::GetInputCount(PULONG Count)
{
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = m_nSourceCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CSelectorNode::AddSelectorSink(IConnectionIndexSync* Sink)
{
    PAGED_CODE();
    if (!Sink)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!CreateSinkList())
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Sink->AddRef();
    if (!m_pSinks->AddTail(Sink))
    {
        Sink->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CSelectorNode::SetSourceIdList(ULONG Count, const ULONG* Ids)
{
    PAGED_CODE();
    if (!CreateSinkList())
    {
        return STATUS_UNSUCCESSFUL;
    }
    return CTopologyNode::SetSourceIdList(Count, Ids);
}
