// CEffectNode: the name, enable byte and parameter count every effect node shares.
#include "driver/topology/nodes/effect_node.h"

CEffectNode::CEffectNode(PUNKNOWN UnknownOuter, ULONG Id)
    : CTopologyNode(UnknownOuter, Id, NODE_KIND_EFFECT), m_nParameterCount(0), m_bEnable(0)
{
    RtlZeroMemory(&m_NameGuid, sizeof(m_NameGuid));
}

STDMETHODIMP_(NTSTATUS) CEffectNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_IEffectNode))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = PVOID(static_cast<IEffectNode*>(this));
    static_cast<IEffectNode*>(this)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CEffectNode::GetNameGuid(GUID* Name)
{
    if (!Name)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Name = m_NameGuid;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CEffectNode::SetEnable(UCHAR Enable)
{
    m_bEnable = Enable;
    return STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) CEffectNode::GetEnable(PUCHAR Enable)
{
    if (!Enable)
    {
        return STATUS_UNSUCCESSFUL;
    }
    *Enable = m_bEnable;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CEffectNode::GetParameterCount(PULONG Count)
{
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = m_nParameterCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CEffectNode::GetParameters(ULONG First, ULONG Count, PULONG Values)
{
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) CEffectNode::SetParameters(ULONG First, ULONG Count, const ULONG* Values)
{
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) CEffectNode::Spare()
{
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) CEffectNode::Init(ULONG SourceId)
{
    PAGED_CODE();
    return SetSourceIdList(1, &SourceId);
}
