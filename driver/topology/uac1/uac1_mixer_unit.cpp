// CUac1MixerUnit: the mixer node of a class-1 mixer unit.
#include "driver/topology/uac1/uac1_mixer_unit.h"

#include "usbaudio.h"
#include "driver/core/audio_hal.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/nodes/usb_mixer_node.h"

namespace
{

constexpr ULONG MU_UNIT_ID_OFFSET = 3;

} // namespace

NTSTATUS CUac1MixerUnit::Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                              IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    return Uac1InitEntity(this, Descriptor, Length, Device, AdapterCommon, USB_AUDIO_AC_MIXER_UNIT,
                          [&]() -> NTSTATUS { return BuildMixerNode(AdapterCommon); });
}

NTSTATUS CUac1MixerUnit::BuildMixerNode(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon || !m_pDescriptor)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pDescriptor[0] <= MU_UNIT_ID_OFFSET)
    {
        return STATUS_UNSUCCESSFUL;
    }
    m_nId = m_pDescriptor[MU_UNIT_ID_OFFSET];
    m_nKind = USB_AUDIO_AC_MIXER_UNIT;
    NTSTATUS status = Uac1SetUnitSourceList(m_pDescriptor, static_cast<ITopologyNode*>(this));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    CUsbMixerNode* pNode =
        new (NonPagedPool, UAC1_ENTITY_POOL_TAG) CUsbMixerNode(nullptr, AdapterCommon->GetNodeCount());
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pNode->NonDelegatingAddRef();
    status = pNode->InitMixerNode(static_cast<ITopologyNode*>(this));
    return Uac1AdoptChildNode(AdapterCommon, this, pNode, status);
}
