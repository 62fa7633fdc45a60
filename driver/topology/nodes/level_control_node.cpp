// CVolumeControlNode and its tone and gain-pad forms: load, set, restore, re-read and the
// switch to another pin type's saved levels.
#include "driver/topology/nodes/level_control_node.h"

#include "driver/core/audio_hal.h"
#include "driver/topology/nodes/feature_unit_if.h"
#include "driver/core/settings_store.h"

LONG TruncateLevelToStep(LONG Level, LONG Step)
{
    if (Step <= 0)
    {
        Step = 1;
    }
    return (Level / Step) * Step;
}

LONG CVolumeControlNode::ClampLevel(LONG Level)
{
    if (Level > m_lMaximum)
    {
        return m_lMaximum;
    }
    return Level < m_lMinimum ? m_lMinimum : Level;
}

NTSTATUS CVolumeControlNode::InitLevelControlNode(ITopologyNode* Owner, ULONG Selector,
                                                  PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    m_Binding.Bind(Owner, Selector, SettingsDevice, DeviceLock);
    CControlLockGuard guard(m_Binding);
    IFeatureUnitLevel* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitLevel, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG count = 0;
    LONG maximum = 0, minimum = 0, step = 0;
    status = pUnit->GetLevelChannelCount(Selector, &count);
    if (NT_SUCCESS(status))
    {
        status = pUnit->GetLevelRange(Selector, &maximum, &minimum, &step);
    }
    if (NT_SUCCESS(status))
    {
        // Devices that report a resolution of 0 mean "continuous"; levels are divided by it.
        status = CLevelNode::Init(0, count, maximum, minimum, step == 0 ? 1 : step);
    }
    for (ULONG c = 0; NT_SUCCESS(status) && c < count; c++)
    {
        LONG level = 0;
        LONG device = 0;
        if (NT_SUCCESS(pUnit->GetLevel(Selector, c, &device)))
        {
            level = device;
        }
        m_Binding.AccessChannelValue(SETTINGS_OPERATION_READ, m_nId, NodeReadPinType(), c, &level,
                                     sizeof(level));
        WriteLevel(c, level);
    }
    pUnit->Release();
    return status;
}

STDMETHODIMP_(NTSTATUS) CVolumeControlNode::GetLevel(ULONG Channel, PLONG Level)
{
    PAGED_CODE();
    if (Channel >= m_nChannelCount || !Level || !m_pLevels)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Level = ReadLevel(Channel);
    return STATUS_SUCCESS;
}

VOID CVolumeControlNode::MapLevel(LONG Requested, PLONG Cached, PLONG Device)
{
    if (Requested == LEVEL_SILENCE)
    {
        *Cached = *Device = LEVEL_SILENCE;
        return;
    }
    *Cached = ClampLevel(Requested);
    *Device = TruncateLevelToStep(*Cached, m_lStep);
}

NTSTATUS CVolumeControlNode::SendLevel(ULONG Channel, LONG Cached, LONG Device)
{
    PAGED_CODE();
    IFeatureUnitLevel* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitLevel, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = pUnit->SetLevel(m_Binding.GetSelector(), Channel, Device);
    pUnit->Release();
    if (NT_SUCCESS(status))
    {
        WriteLevel(Channel, Cached);
        m_Binding.AccessChannelValue(SETTINGS_OPERATION_WRITE, m_nId, NodeReadPinType(), Channel, &Cached,
                                     sizeof(Cached));
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVolumeControlNode::SetLevel(ULONG Channel, LONG Level)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    if (Channel >= m_nChannelCount || !m_pLevels)
    {
        return STATUS_INVALID_PARAMETER;
    }
    LONG cached, device;
    MapLevel(Level, &cached, &device);
    return SendLevel(Channel, cached, device);
}

STDMETHODIMP_(NTSTATUS) CVolumeControlNode::SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    NodeWritePinType(PinType);
    ULONG count = 0;
    GetChannelCount(&count);
    for (ULONG c = 0; c < count && m_pLevels; c++)
    {
        LONG level = ReadLevel(c);
        m_Binding.AccessChannelValue(SETTINGS_OPERATION_READ, m_nId, PinType, c, &level, sizeof(level));
        WriteLevel(c, level);
        static_cast<ILevelControl*>(this)->SetLevel(c, level);
    }
    AudioHalNotifyControlChange(Notify, m_nId);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CVolumeControlNode::RestoreValues()
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    if (m_nChannelCount == 0 || !m_pLevels)
    {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG c = 0; c < m_nChannelCount; c++)
    {
        static_cast<ILevelControl*>(this)->SetLevel(c, ReadLevel(c));
    }
    return STATUS_SUCCESS;
}

// A device that reports what it was last sent has not changed; every channel is compared, so
// a change on any channel is seen even when channel 0 stayed.
STDMETHODIMP_(NTSTATUS) CVolumeControlNode::SaveValues()
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    IFeatureUnitLevel* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitLevel, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    BOOLEAN changed = FALSE;
    for (ULONG c = 0; NT_SUCCESS(status) && c < m_nChannelCount && m_pLevels; c++)
    {
        LONG level = 0;
        status = pUnit->GetLevel(m_Binding.GetSelector(), c, &level);
        if (!NT_SUCCESS(status) || level == TruncateLevelToStep(ReadLevel(c), m_lStep))
        {
            continue;
        }
        WriteLevel(c, level);
        m_Binding.AccessChannelValue(SETTINGS_OPERATION_WRITE, m_nId, NodeReadPinType(), c, &level,
                                     sizeof(level));
        changed = TRUE;
    }
    pUnit->Release();
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return changed ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CVolumeControlNode::ReadBackLevels()
{
    PAGED_CODE();
    IFeatureUnitLevel* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitLevel, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    for (ULONG c = 0; NT_SUCCESS(status) && c < m_nChannelCount && m_pLevels; c++)
    {
        LONG level = 0;
        status = pUnit->GetLevel(m_Binding.GetSelector(), c, &level);
        if (NT_SUCCESS(status))
        {
            WriteLevel(c, level);
            m_Binding.AccessChannelValue(SETTINGS_OPERATION_WRITE, m_nId, NodeReadPinType(), c, &level,
                                         sizeof(level));
        }
    }
    pUnit->Release();
    return status;
}

VOID CToneControlNode::MapLevel(LONG Requested, PLONG Cached, PLONG Device)
{
    if (Requested == LEVEL_SILENCE)
    {
        *Cached = LEVEL_SILENCE;
        *Device = TruncateLevelToStep(m_lMinimum, m_lStep);
        return;
    }
    CVolumeControlNode::MapLevel(Requested, Cached, Device);
}

STDMETHODIMP_(NTSTATUS) CToneControlNode::SaveValues()
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    return ReadBackLevels();
}

VOID CInputGainPadControlNode::MapLevel(LONG Requested, PLONG Cached, PLONG Device)
{
    CVolumeControlNode::MapLevel(Requested == LEVEL_SILENCE ? m_lMinimum : Requested, Cached, Device);
}

STDMETHODIMP_(NTSTATUS) CInputGainPadControlNode::GetLevel(ULONG Channel, PLONG Level)
{
    return CVolumeControlNode::GetLevel(Channel == ALL_CHANNELS ? 0 : Channel, Level);
}

STDMETHODIMP_(NTSTATUS) CInputGainPadControlNode::SetLevel(ULONG Channel, LONG Level)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    ULONG tested = Channel == ALL_CHANNELS ? 0 : Channel;
    if (tested >= m_nChannelCount || !m_pLevels)
    {
        return STATUS_INVALID_PARAMETER;
    }
    LONG cached, device;
    MapLevel(Level, &cached, &device);
    if (Channel != ALL_CHANNELS)
    {
        return SendLevel(Channel, cached, device);
    }
    for (ULONG c = 0; c < m_nChannelCount; c++)
    {
        NTSTATUS status = SendLevel(c, cached, device);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    return STATUS_SUCCESS;
}
