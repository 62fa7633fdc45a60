// CBooleanNode: per-channel on/off bytes, the pin-type-dependent channel count, and the
// interfaces the on/off kinds answer.
#include "driver/topology/nodes/boolean_node.h"

#include "driver/topology/nodes/node_atomic.h"
#include "driver/core/pin_type.h"

BOOLEAN NodePinTypeHasAllChannels(ULONG PinType)
{
    return PinType == PIN_TYPE_STREAM || PinType == PIN_TYPE_SPK || PinType == PIN_TYPE_HDMI ||
           PinType == PIN_TYPE_LINE;
}

ULONG NodeVisibleChannelCount(ULONG ChannelCount, ULONG PinType)
{
    if (!NodePinTypeHasAllChannels(PinType) && ChannelCount > 2)
    {
        return 2;
    }
    return ChannelCount;
}

NTSTATUS NodeQueryControlOrPinTypeSink(REFIID InterfaceId, PVOID* Interface, REFIID ControlId, PVOID Control,
                                       PVOID PinTypeSink)
{
    PAGED_CODE();
    if (IsEqualGUIDAligned(InterfaceId, ControlId))
    {
        *Interface = Control;
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPinTypeSink))
    {
        *Interface = PinTypeSink;
    }
    else
    {
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

CBooleanNode::CBooleanNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind)
    : CTopologyNode(UnknownOuter, Id, Kind), m_nChannelCount(0), m_pValues(nullptr), m_nPinType(0),
      m_nValueTag(BOOLEAN_NODE_POOL_TAG)
{
}

CBooleanNode::~CBooleanNode()
{
    FreeValues();
}

STDMETHODIMP_(NTSTATUS) CBooleanNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    return NodeQueryControlOrPinTypeSink(InterfaceId, Interface, IID_IBooleanControl,
                                         PVOID(static_cast<IBooleanControl*>(this)),
                                         PVOID(static_cast<IPinTypeSink*>(this)));
}

VOID CBooleanNode::FreeValues()
{
    if (m_pValues)
    {
        ExFreePoolWithTag(m_pValues, m_nValueTag);
        m_pValues = nullptr;
    }
}

UCHAR CBooleanNode::ReadValue(ULONG Channel)
{
    return NodeReadByte(m_pValues, Channel);
}

VOID CBooleanNode::WriteValue(ULONG Channel, UCHAR Value)
{
    NodeWriteByte(m_pValues, Channel, Value);
}

ULONG CBooleanNode::NodeReadPinType()
{
    return NodeReadUlong(&m_nPinType);
}

VOID CBooleanNode::NodeWritePinType(ULONG PinType)
{
    NodeWriteUlong(&m_nPinType, PinType);
}

STDMETHODIMP_(NTSTATUS) CBooleanNode::GetValue(ULONG Channel, PUCHAR Value)
{
    if (Channel >= m_nChannelCount || !Value || !m_pValues)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Value = ReadValue(Channel);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CBooleanNode::SetValue(ULONG Channel, UCHAR Value)
{
    if (Channel >= m_nChannelCount || !m_pValues)
    {
        return STATUS_INVALID_PARAMETER;
    }
    WriteValue(Channel, Value);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CBooleanNode::GetChannelCount(PULONG Count)
{
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = NodeVisibleChannelCount(m_nChannelCount, NodeReadPinType());
    return STATUS_SUCCESS;
}

NTSTATUS CBooleanNode::InitValues(ULONG SourceId, ULONG ChannelCount, ULONG Bytes, ULONG Tag)
{
    PAGED_CODE();
    FreeValues();
    m_nChannelCount = 0;
    SIZE_T size = NodeByteArrayBytes(Bytes);
    m_pValues = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, Tag));
    if (!m_pValues)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_nValueTag = Tag;
    RtlZeroMemory(m_pValues, size);
    NTSTATUS status = SetSourceIdList(1, &SourceId);
    if (!NT_SUCCESS(status))
    {
        FreeValues();
        return status;
    }
    m_nChannelCount = ChannelCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CBooleanNode::Init(ULONG SourceId, ULONG ChannelCount)
{
    PAGED_CODE();
    if (ChannelCount >= MAXULONG - 4)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return InitValues(SourceId, ChannelCount, ChannelCount + 1, BOOLEAN_NODE_POOL_TAG);
}

STDMETHODIMP_(NTSTATUS) CBooleanNode::SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify)
{
    NodeWritePinType(PinType);
    return STATUS_SUCCESS;
}
