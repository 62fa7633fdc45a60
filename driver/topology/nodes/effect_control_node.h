// CEffectControlNode: a vendor effect control of a feature unit (selectors 139 and 140). Its
// enable byte is a one-byte device control; every time the byte is sent to or read from the
// device the two change flags rise, and the effect's processing side takes them down again.
#pragma once

#include "driver/topology/nodes/control_binding.h"
#include "driver/core/dsp_node_if.h"
#include "driver/topology/nodes/effect_node.h"

// The two change flags: the processing side takes the first to start a fade and the second to
// latch the enable byte it works with.
constexpr ULONG EFFECT_CHANGE_FLAG = 0;
constexpr ULONG EFFECT_PENDING_FLAG = 1;

// The fade between the dry and the effect path, as the processing side tracks it.
constexpr LONG EFFECT_FADE_STEADY = 1;
constexpr LONG EFFECT_FADE_TO_WET = 2;
constexpr LONG EFFECT_FADE_TO_DRY = 3;

// The node's spin lock held for a scope as an in-stack queued lock, taken the way the caller's
// IRQL allows: the processing side holds it at DISPATCH_LEVEL, the setters below it.
class CNodeQueuedLockHold
{
public:
    explicit CNodeQueuedLockHold(PKSPIN_LOCK Lock) : m_bAtDispatch(KeGetCurrentIrql() >= DISPATCH_LEVEL)
    {
        if (m_bAtDispatch)
        {
            KeAcquireInStackQueuedSpinLockAtDpcLevel(Lock, &m_Handle);
        }
        else
        {
            KeAcquireInStackQueuedSpinLock(Lock, &m_Handle);
        }
    }
    ~CNodeQueuedLockHold()
    {
        if (m_bAtDispatch)
        {
            KeReleaseInStackQueuedSpinLockFromDpcLevel(&m_Handle);
        }
        else
        {
            KeReleaseInStackQueuedSpinLock(&m_Handle);
        }
    }
    CNodeQueuedLockHold(const CNodeQueuedLockHold&) = delete;
    CNodeQueuedLockHold& operator=(const CNodeQueuedLockHold&) = delete;

private:
    KLOCK_QUEUE_HANDLE m_Handle;
    BOOLEAN m_bAtDispatch;
};

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
    using CEffectNode::Start; // the node's own Start() stays reachable
    STDMETHODIMP_(NTSTATUS) Reset() override;
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Stop() override;

    // For the processing side: TRUE when flag Index (0 or 1) was up; it is down afterwards.
    // Any IRQL.
    BOOLEAN TakeChangeFlag(ULONG Index);

    // While the pending flag is up, takes it down and copies the enable byte into the latched
    // enable the processing works with. Takes the node's spin lock; <= DISPATCH_LEVEL.
    VOID LatchPending();
    LONG GetLatchedEnable() const { return m_nLatchedEnable; }

protected:
    VOID RaiseChangeFlags();

    CControlBinding m_Binding;
    LONG volatile m_lChangeFlags[2];
    KSPIN_LOCK m_SpinLock; // the processing side's state: m_Format, the latched enable, effects
    UCHAR m_bInitialized;
    WAVEFORMATEXTENSIBLE m_Format;
    LONG m_nLatchedEnable;      // the enable byte as the processing uses it
    LONG volatile m_lFadeState; // EFFECT_FADE_*
};
