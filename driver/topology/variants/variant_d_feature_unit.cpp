// CVariantDFeatureUnit: the control builder of the variant-D feature units.
#include "driver/topology/variants/variant_d_feature_unit.h"

#include "usbaudio.h"
#include "driver/topology/variants/variant_d_effect_controls.h"
#include "driver/topology/nodes/boolean_control_node.h"
#include "driver/topology/nodes/level_control_node.h"
#include "driver/topology/uac1/uac1_entity_request.h"

namespace
{

typedef CTopologyNode* (*PFN_NEW_NODE)(ULONG Id, ULONG Kind);
typedef NTSTATUS (*PFN_INIT_NODE)(CTopologyNode* Node, ITopologyNode* Unit, ULONG Selector,
                                  PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock);

CTopologyNode* NewSwitch(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, VARIANT_D_EFFECT_POOL_TAG) CBooleanControlNode(nullptr, Id, Kind);
}

CTopologyNode* NewVolume(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, VARIANT_D_EFFECT_POOL_TAG) CVolumeControlNode(nullptr, Id);
}

CTopologyNode* NewTone(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, VARIANT_D_EFFECT_POOL_TAG) CToneControlNode(nullptr, Id, Kind);
}

CTopologyNode* NewDelayEffect(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, VARIANT_D_EFFECT_POOL_TAG) CVariantDEffectControl139(nullptr, Id);
}

CTopologyNode* NewVirtualizerEffect(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, VARIANT_D_EFFECT_POOL_TAG) CVariantDEffectControl140(nullptr, Id);
}

NTSTATUS InitSwitch(CTopologyNode* Node, ITopologyNode* Unit, ULONG Selector, PDEVICE_OBJECT SettingsDevice,
                    CMutexLock* DeviceLock)
{
    return static_cast<CBooleanControlNode*>(Node)->InitControlNode(Unit, Selector, SettingsDevice,
                                                                    DeviceLock);
}

NTSTATUS InitLevel(CTopologyNode* Node, ITopologyNode* Unit, ULONG Selector, PDEVICE_OBJECT SettingsDevice,
                   CMutexLock* DeviceLock)
{
    return static_cast<CVolumeControlNode*>(Node)->InitLevelControlNode(Unit, Selector, SettingsDevice,
                                                                        DeviceLock);
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

struct ControlRow
{
    UCHAR Selector;
    ULONG Kind;
    PFN_NEW_NODE New;
    PFN_INIT_NODE Init;
};

// Selector, node kind, node class, set-up; built in this order, mute (required) first.
const ControlRow kControls[] = {
    {USB_AUDIO_FU_MUTE_CONTROL, NODE_KIND_MUTE, NewSwitch, InitSwitch},
    {USB_AUDIO_FU_VOLUME_CONTROL, NODE_KIND_VOLUME, NewVolume, InitLevel},
    {USB_AUDIO_FU_BASS_CONTROL, NODE_KIND_BASS, NewTone, InitLevel},
    {USB_AUDIO_FU_MID_CONTROL, NODE_KIND_MID, NewTone, InitLevel},
    {USB_AUDIO_FU_TREBLE_CONTROL, NODE_KIND_TREBLE, NewTone, InitLevel},
    {USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL, NODE_KIND_AGC, NewSwitch, InitSwitch},
    {USB_AUDIO_FU_LOUDNESS_CONTROL, NODE_KIND_LOUDNESS, NewSwitch, InitSwitch},
    {VARIANT_D_DELAY_SELECTOR, NODE_KIND_EFFECT, NewDelayEffect, InitDelayEffect},
    {VARIANT_D_VIRTUALIZER_SELECTOR, NODE_KIND_EFFECT, NewVirtualizerEffect, InitVirtualizerEffect},
};
constexpr ULONG CONTROL_COUNT = sizeof(kControls) / sizeof(kControls[0]);

} // namespace

NTSTATUS CVariantDFeatureUnit::AddControl(ULONG Row, ULONG Id, IAdapterCommon* AdapterCommon,
                                          PBOOLEAN Allocated)
{
    PAGED_CODE();
    const ControlRow& row = kControls[Row];
    CTopologyNode* pNode = row.New(Id, row.Kind);
    *Allocated = pNode ? TRUE : FALSE;
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pNode->NonDelegatingAddRef();
    const NTSTATUS status = row.Init(pNode, static_cast<ITopologyNode*>(this), row.Selector,
                                     AdapterCommon->GetDeviceObject(), GetDeviceLock());
    return Uac1AdoptChildNode(AdapterCommon, this, pNode, status);
}

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
    if (!IsFeatureControlPresent(USB_AUDIO_FU_MUTE_CONTROL))
    {
        DbgPrint(
            "CVariantDFeatureUnit: feature unit %u has no mute control, which this driver needs on every "
            "feature unit\n",
            ULONG(m_nId));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG id = AdapterCommon->GetNodeCount();
    for (ULONG i = 0; i < CONTROL_COUNT; i++)
    {
        if (!IsFeatureControlPresent(kControls[i].Selector))
        {
            continue;
        }
        BOOLEAN allocated = FALSE;
        const NTSTATUS added = AddControl(i, id, AdapterCommon, &allocated);
        // Only the mute node is indispensable; a later node the pool cannot hold is left out.
        if (!allocated && i > 0)
        {
            continue;
        }
        status = added;
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        id++;
    }
    return status;
}
