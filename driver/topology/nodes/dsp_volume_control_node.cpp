// CDspVolumeControlNode: levels that are also applied as float gains on the stream path.
#include "driver/topology/nodes/dsp_volume_control_node.h"

#include "driver/core/audio_hal.h"
#include "driver/topology/nodes/feature_unit_if.h"
#include "driver/topology/nodes/level_helpers.h"
#include "driver/topology/nodes/node_atomic.h"
#include "driver/topology/nodes/node_processing.h"
#include "driver/core/settings_store.h"

CDspVolumeControlNode::CDspVolumeControlNode(PUNKNOWN UnknownOuter, ULONG Id)
    : CVolumeControlNode(UnknownOuter, Id), m_pGains(nullptr), m_nWalkIndex(0), m_nExpectedIndex(0)
{
}

CDspVolumeControlNode::~CDspVolumeControlNode()
{
    if (m_pGains)
    {
        ExFreePoolWithTag(m_pGains, DSP_VOLUME_POOL_TAG);
        m_pGains = nullptr;
    }
}

STDMETHODIMP_(NTSTATUS)
CDspVolumeControlNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CLevelNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IDspNode))
    {
        *Interface = PVOID(static_cast<IDspNode*>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IConnectionIndexSync))
    {
        *Interface = PVOID(static_cast<IConnectionIndexSync*>(this));
    }
    else
    {
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

// The gain follows the requested level within the range; silence stays silence.
VOID CDspVolumeControlNode::UpdateGain(ULONG Channel, LONG Level)
{
    LONG effective = Level == LEVEL_SILENCE ? Level : ClampLevel(Level);
    NodeWriteFloat(&m_pGains[Channel], LevelToGain(effective));
}

NTSTATUS CDspVolumeControlNode::InitDspVolumeControlNode(ITopologyNode* Owner, ULONG Selector,
                                                         PDEVICE_OBJECT SettingsDevice,
                                                         CMutexLock* DeviceLock)
{
    PAGED_CODE();
    NTSTATUS status = InitLevelControlNode(Owner, Selector, SettingsDevice, DeviceLock);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    CControlLockGuard guard(m_Binding);
    SIZE_T size = (SIZE_T(m_nChannelCount) + 1) * sizeof(float);
    float* pGains = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPool, size, DSP_VOLUME_POOL_TAG));
    if (!pGains)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (m_pGains)
    {
        ExFreePoolWithTag(m_pGains, DSP_VOLUME_POOL_TAG);
    }
    m_pGains = pGains;
    for (ULONG c = 0; c <= m_nChannelCount; c++)
    {
        UpdateGain(c, ReadLevel(c));
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::SetLevel(ULONG Channel, LONG Level)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    if (Channel >= m_nChannelCount || !m_pGains)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CVolumeControlNode::SetLevel(Channel, Level);
    if (NT_SUCCESS(status))
    {
        UpdateGain(Channel, Level);
    }
    return status;
}

// The volume node's round reloads and applies the new type's levels (gains included, through
// SetLevel) and reports once; a second round re-applies them and reports again, as listeners
// of the DSP volume have always seen two reports.
STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    CVolumeControlNode::SetPinType(PinType, Notify);
    ULONG count = 0;
    GetChannelCount(&count);
    for (ULONG c = 0; c < count && m_pLevels; c++)
    {
        LONG level = ReadLevel(c);
        m_Binding.AccessChannelValue(SETTINGS_OPERATION_READ, m_nId, PinType, c, &level, sizeof(level));
        SetLevel(c, level);
    }
    AudioHalNotifyControlChange(Notify, m_nId);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::SaveValues()
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    IFeatureUnitLevel* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitLevel, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    for (ULONG c = 0; NT_SUCCESS(status) && c < m_nChannelCount; c++)
    {
        LONG level = 0;
        status = pUnit->GetLevel(m_Binding.GetSelector(), c, &level);
        if (NT_SUCCESS(status))
        {
            status = SetLevel(c, level);
        }
    }
    pUnit->Release();
    return status;
}

STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::Spare1()
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::Spare2()
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::Start(PCWAVEFORMATEXTENSIBLE Format)
{
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::Reset()
{
    return STATUS_SUCCESS;
}

// The gains apply only to the path the downstream selector currently passes. A level that one
// channel carries is the unit's master level (the unit never moves a vendor control off its
// master channel), and a master level turns every channel down, not the first alone.
STDMETHODIMP_(NTSTATUS)
CDspVolumeControlNode::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    if (!m_pGains || NodeReadUlong(&m_nWalkIndex) != NodeReadUlong(&m_nExpectedIndex))
    {
        return STATUS_SUCCESS;
    }
    if (m_nChannelCount == 1)
    {
        return MasterGainProcess(Format, Data, Frames, m_pGains);
    }
    return ChannelGainProcess(Format, Data, Frames, m_pGains, m_nChannelCount);
}

STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::Stop()
{
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::Spare()
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::SetExpectedIndex(ULONG Index)
{
    NodeWriteUlong(&m_nExpectedIndex, Index);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CDspVolumeControlNode::SetWalkIndex(ULONG Index)
{
    NodeWriteUlong(&m_nWalkIndex, Index);
    return STATUS_SUCCESS;
}
