// CVariantDFeatureUnit: the control builder of the variant-D feature units.
#include "driver/topology/variants/variant_d_feature_unit.h"

#include "usbaudio.h"
#include "driver/topology/variants/variant_d_effect_controls.h"
#include "driver/topology/uac1/uac1_feature_unit_common.h"

namespace
{

CTopologyNode* NewDelayEffect(ULONG Id, ULONG Kind, ULONG Tag)
{
    return new (NonPagedPool, Tag) CVariantDEffectControl139(nullptr, Id);
}

CTopologyNode* NewVirtualizerEffect(ULONG Id, ULONG Kind, ULONG Tag)
{
    return new (NonPagedPool, Tag) CVariantDEffectControl140(nullptr, Id);
}

NTSTATUS InitDelayEffect(CTopologyNode* Node, ITopologyNode* Unit, ULONG Selector,
                         PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    return static_cast<CVariantDEffectControl139*>(Node)->Init(Unit, Selector, SettingsDevice, DeviceLock);
}

NTSTATUS InitVirtualizerEffect(CTopologyNode* Node, ITopologyNode* Unit, ULONG Selector,
                               PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    return static_cast<CVariantDEffectControl140*>(Node)->Init(Unit, Selector, SettingsDevice, DeviceLock);
}

// Selector, node kind, node class, set-up; built in this order after the standard controls.
const FeatureControlRow kControls[] = {
    {VARIANT_D_DELAY_SELECTOR, NODE_KIND_EFFECT, NewDelayEffect, InitDelayEffect},
    {VARIANT_D_VIRTUALIZER_SELECTOR, NODE_KIND_EFFECT, NewVirtualizerEffect, InitVirtualizerEffect},
};
constexpr ULONG CONTROL_COUNT = sizeof(kControls) / sizeof(kControls[0]);

const FeatureBuilderNames kBuilderNames = {"CVariantDFeatureUnit", "driver"};

// The effect nodes among the unit's children are the rows above; a unit with both pairs them,
// so that the one that is off hands the stream on to the one that is on.
VOID PairEffectNodes(CUsbEntityNode* Unit)
{
    CVariantDEffectControl* effects[CONTROL_COUNT] = {};
    ULONG found = 0;
    ULONG children = 0;
    if (!NT_SUCCESS(Unit->GetChildCount(&children)))
    {
        return;
    }
    for (ULONG i = 0; i < children; i++)
    {
        ITopologyNode* pChild = nullptr;
        if (NT_SUCCESS(Unit->GetChildAt(i, &pChild)) && pChild->GetKind() == NODE_KIND_EFFECT &&
            found < CONTROL_COUNT)
        {
            effects[found++] = static_cast<CVariantDEffectControl*>(pChild);
        }
    }
    if (found == 2)
    {
        CVariantDEffectControl::Pair(effects[0], effects[1]);
    }
}

} // namespace

STDMETHODIMP_(NTSTATUS) CVariantDFeatureUnit::BuildFeatureControls(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon || !m_pDescriptor)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = TakeUnitIdentity();
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = BuildFeatureControlNodes(
        static_cast<CUac1FeatureUnit*>(this), &CUac1FeatureUnit::IsFeatureControlPresent, kControls,
        CONTROL_COUNT, VARIANT_D_EFFECT_POOL_TAG, AdapterCommon, GetDeviceLock(), kBuilderNames);
    if (NT_SUCCESS(status))
    {
        PairEffectNodes(this);
    }
    return status;
}
