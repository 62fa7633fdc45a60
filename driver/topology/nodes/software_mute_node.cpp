// CSoftwareMuteNode: a one-channel mute applied to the samples in software.
#include "driver/topology/nodes/software_mute_node.h"

#include "driver/topology/nodes/node_processing.h"

STDMETHODIMP_(NTSTATUS) CSoftwareMuteNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CBooleanNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_IDspNode))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = PVOID(static_cast<IDspNode*>(this));
    static_cast<IDspNode*>(this)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CSoftwareMuteNode::Init(ULONG SourceId, ULONG ChannelCount)
{
    PAGED_CODE();
    if (ChannelCount != 1)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return InitValues(SourceId, ChannelCount, 2, SOFTWARE_MUTE_POOL_TAG);
}

STDMETHODIMP_(NTSTATUS) CSoftwareMuteNode::Spare1()
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CSoftwareMuteNode::Spare2()
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CSoftwareMuteNode::Start(PCWAVEFORMATEXTENSIBLE Format)
{
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CSoftwareMuteNode::Reset()
{
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CSoftwareMuteNode::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    BOOLEAN muted = m_pValues && ReadValue(0) != 0;
    return SoftwareMuteProcess(Format, Data, Frames, muted);
}

STDMETHODIMP_(NTSTATUS) CSoftwareMuteNode::Stop()
{
    return STATUS_SUCCESS;
}
