// CControlBinding: what ties a control node to the device. Each control node embeds one: the
// owning entity (kept without a reference; the entity holds the node), the feature-unit control
// selector, the functional device object whose settings keep the node's values, and the
// device's value lock. Also the names under which control values are saved.
#pragma once

#include "driver/core/mutex_lock.h"
#include "driver/core/topology_node_if.h"

// Per-channel values are named "Unit<id, 2 digits>_<pin type, 2 wide>_<channel>", e.g. node 5
// on a Stream output, channel 1: "Unit05_ 0_1". The prefix fits in this many characters.
#define CONTROL_VALUE_PREFIX_CCH 19
// Single values (selected input, output pin type, effect enable): "Unit<id, 2 digits>_".
#define CONTROL_VALUE_NAME_CCH 19

NTSTATUS FormatChannelValuePrefix(ULONG NodeId, ULONG PinType, PWSTR Prefix); // any IRQL
NTSTATUS FormatSingleValueName(ULONG NodeId, PWSTR Name);                     // any IRQL

// The plain state of a binding; the node that embeds it calls Bind once, in its Init.
// PASSIVE_LEVEL throughout.
class CControlBinding
{
public:
    CControlBinding();

    VOID Bind(ITopologyNode* Owner, ULONG Selector, PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock);

    // The per-device lock that serialises value operations and status handling. Recursive for
    // its holder, so a locked operation may call another. Without a lock (a node built for a
    // caller that serialises by itself) both do nothing.
    VOID Lock();
    VOID Unlock();

    // An interface of the owning entity, with a reference; fails without an owner.
    NTSTATUS QueryOwner(REFIID InterfaceId, PVOID* Interface);

    // Settings reads and writes; without a settings device they fail and touch nothing.
    NTSTATUS AccessChannelValue(ULONG Operation, ULONG NodeId, ULONG PinType, ULONG Channel, PVOID Data,
                                ULONG Size);
    NTSTATUS AccessSingleValue(ULONG Operation, ULONG NodeId, PVOID Data, ULONG Size);

    ITopologyNode* GetOwner() { return m_pOwner; }
    ULONG GetSelector() { return m_nSelector; }

private:
    ITopologyNode* m_pOwner;
    ULONG m_nSelector;
    PDEVICE_OBJECT m_pSettingsDevice;
    CMutexLock* m_pDeviceLock;
};

// Holds the binding's lock for a scope.
class CControlLockGuard
{
public:
    explicit CControlLockGuard(CControlBinding& Binding) : m_Binding(Binding) { m_Binding.Lock(); }
    ~CControlLockGuard() { m_Binding.Unlock(); }
    CControlLockGuard(const CControlLockGuard&) = delete;
    CControlLockGuard& operator=(const CControlLockGuard&) = delete;

private:
    CControlBinding& m_Binding;
};
