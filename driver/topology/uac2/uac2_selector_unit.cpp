// CUac2SelectorUnit and CUac2GenericUnit: the selected input of a class-2 selector unit, and the
// mixer node of a class-2 mixer or extension unit.
#include "driver/topology/uac2/uac2_selector_unit.h"

#include "usbaudio.h"
#include "driver/topology/nodes/usb_mixer_node.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/uac2/uac2_entity_request.h"

namespace
{

constexpr ULONG UNIT_ID_OFFSET = 3;
constexpr ULONG MIXER_PIN_COUNT_OFFSET = 4;     // then baSourceID from byte 5
constexpr ULONG EXTENSION_PIN_COUNT_OFFSET = 6; // after wExtensionCode; baSourceID from byte 7

} // namespace

STDMETHODIMP_(NTSTATUS) CUac2SelectorUnit::GetSelectedInput(PULONG Input)
{
    PAGED_CODE();
    ULONG count = 0;
    if (!Input || !NT_SUCCESS(GetInputCount(&count)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR input = 0;
    NTSTATUS status = Uac2EntityRead(m_pDevice, UAC2_REQUEST_CUR, UAC2_SELECTED_INPUT_VALUE,
                                     m_pDescriptor[UNIT_ID_OFFSET], &input, sizeof(input));
    if (NT_SUCCESS(status))
    {
        *Input = input;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac2SelectorUnit::SetSelectedInput(ULONG Input)
{
    PAGED_CODE();
    ULONG count = 0;
    if (!NT_SUCCESS(GetInputCount(&count)) || Input < 1 || Input > count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR input = UCHAR(Input);
    return Uac2EntityWrite(m_pDevice, UAC2_REQUEST_CUR, UAC2_SELECTED_INPUT_VALUE,
                           m_pDescriptor[UNIT_ID_OFFSET], &input, sizeof(input));
}

NTSTATUS CUac2GenericUnit::InitMixer(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                     IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    return InitUnit(Descriptor, Length, Device, AdapterCommon, USB_AUDIO_AC_MIXER_UNIT);
}

NTSTATUS CUac2GenericUnit::InitExtension(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                         IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    return InitUnit(Descriptor, Length, Device, AdapterCommon, UAC2_AC_EXTENSION_UNIT);
}

NTSTATUS CUac2GenericUnit::InitUnit(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                    IAdapterCommon* AdapterCommon, UCHAR Subtype)
{
    PAGED_CODE();
    return Uac1InitEntity(this, Descriptor, Length, Device, AdapterCommon, Subtype,
                          [&]() -> NTSTATUS
                          {
                              return Subtype == USB_AUDIO_AC_MIXER_UNIT ? BuildMixerNode(AdapterCommon)
                                                                        : BuildExtensionNode(AdapterCommon);
                          });
}

NTSTATUS CUac2GenericUnit::BuildMixerNode(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    return BuildUnitNode(AdapterCommon, USB_AUDIO_AC_MIXER_UNIT, MIXER_PIN_COUNT_OFFSET);
}

NTSTATUS CUac2GenericUnit::BuildExtensionNode(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    return BuildUnitNode(AdapterCommon, UAC2_AC_EXTENSION_UNIT, EXTENSION_PIN_COUNT_OFFSET);
}

// The source count is only trusted when the descriptor holds every id it announces.
NTSTATUS CUac2GenericUnit::BuildUnitNode(IAdapterCommon* AdapterCommon, ULONG Kind, ULONG PinCountOffset)
{
    PAGED_CODE();
    if (!AdapterCommon || !m_pDescriptor)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG length = m_pDescriptor[0];
    if (length <= PinCountOffset || length < PinCountOffset + 1 + ULONG(m_pDescriptor[PinCountOffset]))
    {
        return STATUS_UNSUCCESSFUL;
    }
    m_nId = m_pDescriptor[UNIT_ID_OFFSET];
    m_nKind = Kind;
    const ULONG count = m_pDescriptor[PinCountOffset];
    PULONG pIds = count ? static_cast<PULONG>(
                              ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), UAC2_ENTITY_POOL_TAG))
                        : nullptr;
    if (count && !pIds)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < count; i++)
    {
        pIds[i] = m_pDescriptor[PinCountOffset + 1 + i];
    }
    NTSTATUS status = SetSourceIdList(count, pIds);
    if (pIds)
    {
        ExFreePoolWithTag(pIds, UAC2_ENTITY_POOL_TAG);
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    CUsbMixerNode* pNode =
        new (NonPagedPool, UAC2_ENTITY_POOL_TAG) CUsbMixerNode(nullptr, AdapterCommon->GetNodeCount());
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pNode->NonDelegatingAddRef();
    status = pNode->InitMixerNode(static_cast<ITopologyNode*>(this));
    return Uac1AdoptChildNode(AdapterCommon, this, pNode, status);
}
