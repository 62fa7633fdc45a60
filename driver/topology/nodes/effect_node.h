// CEffectNode: the base of the effect nodes. It names the effect by a GUID, keeps an enable
// byte and a parameter count, and carries the lock its derived classes guard their state with;
// the derived classes implement enabling and the parameters.
#pragma once

#include "driver/core/mutex_lock.h"
#include "driver/core/topology_node.h"

// PASSIVE_LEVEL throughout.
class CEffectNode : public IEffectNode, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();

    CEffectNode(PUNKNOWN UnknownOuter, ULONG Id);

    // IEffectNode. The base cannot enable anything: SetEnable keeps the byte and fails, and
    // the parameter slots refuse.
    STDMETHODIMP_(NTSTATUS) GetNameGuid(GUID* Name) override;
    STDMETHODIMP_(NTSTATUS) SetEnable(UCHAR Enable) override;
    STDMETHODIMP_(NTSTATUS) GetEnable(PUCHAR Enable) override;
    STDMETHODIMP_(NTSTATUS) GetParameterCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetParameters(ULONG First, ULONG Count, PULONG Values) override;
    STDMETHODIMP_(NTSTATUS) SetParameters(ULONG First, ULONG Count, const ULONG* Values) override;
    STDMETHODIMP_(NTSTATUS) Spare() override;
    STDMETHODIMP_(NTSTATUS) Init(ULONG SourceId) override;

protected:
    GUID m_NameGuid;
    ULONG m_nParameterCount;
    UCHAR m_bEnable;
    CMutexLock m_Lock;
};
