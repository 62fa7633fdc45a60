// CBooleanControlNode: load, set, restore and re-read of on/off controls, and their switch to
// another pin type's saved values.
#include "driver/topology/nodes/boolean_control_node.h"

#include "driver/core/audio_hal.h"
#include "driver/topology/nodes/feature_unit_if.h"
#include "driver/core/settings_store.h"

NTSTATUS CBooleanControlNode::InitControlNode(ITopologyNode* Owner, ULONG Selector,
                                              PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    m_Binding.Bind(Owner, Selector, SettingsDevice, DeviceLock);
    CControlLockGuard guard(m_Binding);
    IFeatureUnitSwitch* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitSwitch, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG count = 0;
    status = pUnit->GetControlChannelCount(Selector, &count);
    if (NT_SUCCESS(status))
    {
        status = CBooleanNode::Init(0, count);
    }
    for (ULONG c = 0; NT_SUCCESS(status) && c < count; c++)
    {
        UCHAR value = 0;
        UCHAR device = 0;
        if (NT_SUCCESS(pUnit->GetSwitch(Selector, c, &device)))
        {
            value = device;
        }
        m_Binding.AccessChannelValue(SETTINGS_OPERATION_READ, m_nId, NodeReadPinType(), c, &value,
                                     sizeof(value));
        WriteValue(c, value);
    }
    pUnit->Release();
    return status;
}

STDMETHODIMP_(NTSTATUS) CBooleanControlNode::SetValue(ULONG Channel, UCHAR Value)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    if (Channel >= m_nChannelCount || !m_pValues)
    {
        return STATUS_INVALID_PARAMETER;
    }
    IFeatureUnitSwitch* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitSwitch, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = pUnit->SetSwitch(m_Binding.GetSelector(), Channel, Value);
    pUnit->Release();
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    WriteValue(Channel, Value);
    m_Binding.AccessChannelValue(SETTINGS_OPERATION_WRITE, m_nId, NodeReadPinType(), Channel, &Value,
                                 sizeof(Value));
    return STATUS_SUCCESS;
}

// Each output type keeps its own values: the new type's saved values come into the cache and
// go to the device (through SetValue, so a derived node's variant runs).
STDMETHODIMP_(NTSTATUS) CBooleanControlNode::SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    NodeWritePinType(PinType);
    ULONG count = 0;
    GetChannelCount(&count);
    for (ULONG c = 0; c < count && m_pValues; c++)
    {
        UCHAR value = ReadValue(c);
        m_Binding.AccessChannelValue(SETTINGS_OPERATION_READ, m_nId, PinType, c, &value, sizeof(value));
        WriteValue(c, value);
        static_cast<IBooleanControl*>(this)->SetValue(c, value);
    }
    AudioHalNotifyControlChange(Notify, m_nId);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CBooleanControlNode::RestoreValues()
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    if (m_nChannelCount == 0 || !m_pValues)
    {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG c = 0; c < m_nChannelCount; c++)
    {
        static_cast<IBooleanControl*>(this)->SetValue(c, ReadValue(c));
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CBooleanControlNode::SaveValues()
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    IFeatureUnitSwitch* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitSwitch, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    for (ULONG c = 0; c < m_nChannelCount && m_pValues; c++)
    {
        UCHAR value = 0;
        status = pUnit->GetSwitch(m_Binding.GetSelector(), c, &value);
        if (!NT_SUCCESS(status))
        {
            break;
        }
        WriteValue(c, value);
        m_Binding.AccessChannelValue(SETTINGS_OPERATION_WRITE, m_nId, NodeReadPinType(), c, &value,
                                     sizeof(value));
    }
    pUnit->Release();
    return status;
}
