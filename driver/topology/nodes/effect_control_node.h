// CEffectControlNode: a vendor effect control of a feature unit (selectors 139 and 140). Its
// enable byte is a one-byte device control; every time the byte is sent to or read from the
// device the two change flags rise, and the effect's processing side takes them down again.
#pragma once

#include "driver/topology/nodes/control_binding.h"
#include "driver/core/dsp_node_if.h"
#include "driver/topology/nodes/effect_node.h"

class CEffectControlNode : public IDspNode, public CEffectNode
{
public:
    DECLARE_STD_UNKNOWN();

    CEffectControlNode(PUNKNOWN UnknownOuter, ULONG Id);

    // Clears the flags and loads the enable byte: the device's, replaced by the saved one, 0
    // when neither can be read. PASSIVE_LEVEL.
    NTSTATUS InitEffectControlNode(ITopologyNode* Owner, ULONG Selector, PDEVICE_OBJECT SettingsDevice,
                                   CMutexLock* DeviceLock);

    // The device's status is returned; only a success caches and saves the byte. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) SetEnable(UCHAR Enable) override;
    STDMETHODIMP_(NTSTATUS) GetEnable(PUCHAR Enable) override;
    // Best effort, as for the other control nodes.
    STDMETHODIMP_(NTSTATUS) RestoreValues() override;
    STDMETHODIMP_(NTSTATUS) SaveValues() override;

    // IDspNode: Start keeps the stream's format; the rest does nothing.
    STDMETHODIMP_(NTSTATUS) Spare1() override;
    STDMETHODIMP_(NTSTATUS) Spare2() override;
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE Format) override;
    STDMETHODIMP_(NTSTATUS) Reset() override;
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Stop() override;

    // For the processing side: TRUE when flag Index (0 or 1) was up; it is down afterwards.
    // Any IRQL.
    BOOLEAN TakeChangeFlag(ULONG Index);

protected:
    VOID RaiseChangeFlags();

    CControlBinding m_Binding;
    LONG volatile m_lChangeFlags[2];
    KSPIN_LOCK m_SpinLock; // guards m_Format for the processing side
    UCHAR m_bInitialized;
    WAVEFORMATEXTENSIBLE m_Format;
};
