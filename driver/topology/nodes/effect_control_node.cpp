// CEffectControlNode: the enable byte of a vendor effect control and its change flags.
#include "driver/topology/nodes/effect_control_node.h"

#include "driver/topology/nodes/feature_unit_if.h"
#include "driver/core/settings_store.h"

CEffectControlNode::CEffectControlNode(PUNKNOWN UnknownOuter, ULONG Id)
    : CEffectNode(UnknownOuter, Id), m_bInitialized(0), m_nLatchedEnable(0), m_lFadeState(EFFECT_FADE_STEADY)
{
    m_lChangeFlags[0] = 0;
    m_lChangeFlags[1] = 0;
    KeInitializeSpinLock(&m_SpinLock);
    RtlZeroMemory(&m_Format, sizeof(m_Format));
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CEffectNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
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

VOID CEffectControlNode::RaiseChangeFlags()
{
    InterlockedCompareExchange(&m_lChangeFlags[0], 1, 0);
    InterlockedCompareExchange(&m_lChangeFlags[1], 1, 0);
}

BOOLEAN CEffectControlNode::TakeChangeFlag(ULONG Index)
{
    if (Index >= RTL_NUMBER_OF(m_lChangeFlags))
    {
        return FALSE;
    }
    return InterlockedCompareExchange(&m_lChangeFlags[Index], 0, 1) == 1;
}

VOID CEffectControlNode::LatchPending()
{
    CNodeQueuedLockHold hold(&m_SpinLock);
    if (InterlockedCompareExchange(&m_lChangeFlags[EFFECT_PENDING_FLAG], 0, 1) == 1)
    {
        m_nLatchedEnable = m_bEnable;
    }
}

NTSTATUS CEffectControlNode::InitEffectControlNode(ITopologyNode* Owner, ULONG Selector,
                                                   PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    m_Binding.Bind(Owner, Selector, SettingsDevice, DeviceLock);
    CControlLockGuard guard(m_Binding);
    InterlockedExchange(&m_lChangeFlags[0], 0);
    InterlockedExchange(&m_lChangeFlags[1], 0);
    IFeatureUnitSwitch* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitSwitch, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    UCHAR value = 0;
    UCHAR device = 0;
    if (NT_SUCCESS(pUnit->GetSwitch(Selector, 0, &device)))
    {
        value = device;
    }
    pUnit->Release();
    m_Binding.AccessSingleValue(SETTINGS_OPERATION_READ, m_nId, &value, sizeof(value));
    m_bEnable = value;
    status = CEffectNode::Init(0);
    if (NT_SUCCESS(status))
    {
        m_bInitialized = 1;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::SetEnable(UCHAR Enable)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    m_Lock.Lock();
    IFeatureUnitSwitch* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitSwitch, reinterpret_cast<PVOID*>(&pUnit));
    if (NT_SUCCESS(status))
    {
        status = pUnit->SetSwitch(m_Binding.GetSelector(), 0, Enable);
        pUnit->Release();
        // The byte is stored before the flags rise: a latch between the two would otherwise
        // consume the flags with the old byte, and the new one would never reach the stream.
        if (NT_SUCCESS(status))
        {
            m_bEnable = Enable;
        }
        RaiseChangeFlags();
        if (NT_SUCCESS(status))
        {
            m_Binding.AccessSingleValue(SETTINGS_OPERATION_WRITE, m_nId, &Enable, sizeof(Enable));
        }
    }
    m_Lock.Unlock();
    return status;
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::GetEnable(PUCHAR Enable)
{
    PAGED_CODE();
    if (!Enable)
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_Lock.Lock();
    *Enable = m_bEnable;
    m_Lock.Unlock();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::RestoreValues()
{
    PAGED_CODE();
    SetEnable(m_bEnable);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::SaveValues()
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    m_Lock.Lock();
    IFeatureUnitSwitch* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IFeatureUnitSwitch, reinterpret_cast<PVOID*>(&pUnit));
    if (NT_SUCCESS(status))
    {
        UCHAR value = 0;
        status = pUnit->GetSwitch(m_Binding.GetSelector(), 0, &value);
        pUnit->Release();
        if (NT_SUCCESS(status))
        {
            m_bEnable = value;
            RaiseChangeFlags();
            m_Binding.AccessSingleValue(SETTINGS_OPERATION_WRITE, m_nId, &value, sizeof(value));
        }
    }
    m_Lock.Unlock();
    return status;
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::Spare1()
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::Spare2()
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::Start(PCWAVEFORMATEXTENSIBLE Format)
{
    if (!Format)
    {
        return STATUS_INVALID_PARAMETER;
    }
    CNodeQueuedLockHold hold(&m_SpinLock);
    m_Format = *Format;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::Reset()
{
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CEffectControlNode::Stop()
{
    return STATUS_SUCCESS;
}
