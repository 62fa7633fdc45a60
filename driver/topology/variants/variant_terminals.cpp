// The variant terminal builders: one pin node per terminal, pin GUIDs from the endpoint
// capabilities of its pin type.
#include "driver/topology/variants/variant_terminals.h"

#include "usbaudio.h"
#include "driver/core/pin_type.h"
#include "driver/topology/nodes/pin_node.h"
#include "driver/topology/nodes/terminal_pin_type.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/variants/variant_feature_unit.h"

namespace
{

// bTerminalID at 3, wTerminalType at 4; an output terminal's bSourceID at 7.
constexpr ULONG TERMINAL_ID_OFFSET = 3;
constexpr ULONG TERMINAL_TYPE_OFFSET = 4;
constexpr ULONG OT_SOURCE_ID_OFFSET = 7;
constexpr ULONG IT_MIN_BYTES = 6;
constexpr ULONG OT_MIN_BYTES = 8;

USHORT TerminalTypeOf(const UCHAR* Descriptor)
{
    return USHORT(Descriptor[TERMINAL_TYPE_OFFSET] | Descriptor[TERMINAL_TYPE_OFFSET + 1] << 8);
}

} // namespace

ULONG VariantInputPinType(USHORT TerminalType)
{
    return TerminalType == USB_AUDIO_TERMINAL_USB_STREAMING ? PIN_TYPE_STREAM
                                                            : InputTerminalPinType(TerminalType);
}

ULONG VariantOutputPinType(USHORT TerminalType)
{
    return TerminalType == USB_AUDIO_TERMINAL_USB_STREAMING ? PIN_TYPE_STREAM
                                                            : OutputTerminalPinType(TerminalType);
}

CVariantBInputTerminal::CVariantBInputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : CVariantInputTerminal(UnknownOuter, Id, VARIANT_B_NODE_POOL_TAG)
{
}

CVariantCInputTerminal::CVariantCInputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : CVariantInputTerminal(UnknownOuter, Id, VARIANT_B_NODE_POOL_TAG)
{
}

CVariantBOutputTerminal::CVariantBOutputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : CVariantOutputTerminal(UnknownOuter, Id, VARIANT_B_NODE_POOL_TAG)
{
}

CVariantCOutputTerminal::CVariantCOutputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : CVariantOutputTerminal(UnknownOuter, Id, VARIANT_C_NODE_POOL_TAG)
{
}

NTSTATUS CVariantInputTerminal::BuildTerminalNodes(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon || !m_pDescriptor)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pDescriptor[0] < IT_MIN_BYTES)
    {
        return STATUS_UNSUCCESSFUL;
    }
    m_nId = m_pDescriptor[TERMINAL_ID_OFFSET];
    m_nKind = USB_AUDIO_AC_INPUT_TERMINAL;
    NTSTATUS status = SetSourceIdList(0, nullptr);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Uac1AddInputPinNode(this, AdapterCommon, VariantInputPinType(TerminalTypeOf(m_pDescriptor)),
                               m_nNodeTag, m_pDeviceLock);
}

NTSTATUS CVariantOutputTerminal::BuildTerminalNodes(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon || !m_pDescriptor)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pDescriptor[0] < OT_MIN_BYTES)
    {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = TakeSingleSourceIdentity(USB_AUDIO_AC_OUTPUT_TERMINAL, OT_SOURCE_ID_OFFSET);
    if (NT_SUCCESS(status))
    {
        status = AllocPinTypeArrays(1);
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    const USHORT type = TerminalTypeOf(m_pDescriptor);
    m_pTerminalTypes[0] = type;
    m_pPinTypes[0] = m_nPinType = VariantOutputPinType(type);
    COutputPinNode* pNode =
        new (NonPagedPool, m_nNodeTag) COutputPinNode(nullptr, AdapterCommon->GetNodeCount(), 0);
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pNode->NonDelegatingAddRef();
    EndpointCaps caps;
    RtlZeroMemory(&caps, sizeof(caps));
    status = AdapterCommon->GetEndpointCapsByType(0, m_nPinType, &caps);
    if (NT_SUCCESS(status))
    {
        status = pNode->InitOutputPinNode(static_cast<ITopologyNode*>(this), &caps, m_pDeviceLock);
    }
    return Uac1AdoptChildNode(AdapterCommon, this, pNode, status);
}
