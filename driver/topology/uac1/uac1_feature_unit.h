// CUac1FeatureUnit: a class-1 feature unit. It builds one control node per control the unit
// announces (mute, volume, bass, mid, treble, automatic gain, loudness and the two vendor effect
// controls) and turns every value the nodes read or write into a control request to the unit,
// mapping the nodes' channel indexes to the unit's logical channels and the device's units to
// 1/65536 dB.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/core/mutex_lock.h"
#include "driver/topology/nodes/feature_unit_if.h"
#include "driver/topology/nodes/usb_entity_node.h"

// PASSIVE_LEVEL throughout: every value operation waits for its control transfer. The entity
// takes no lock; its control nodes hold the device lock around their calls.
class CUac1FeatureUnit : public IFeatureUnitSwitch, public IFeatureUnitLevel, public CUsbEntityNode
{
public:
    DECLARE_STD_UNKNOWN();

    CUac1FeatureUnit(PUNKNOWN UnknownOuter, ULONG Id);
    ~CUac1FeatureUnit() override;

    // Descriptor: Length bytes received, starting at a class-1 feature-unit descriptor. Device
    // answers IUsbDevice and is kept without a reference; AdapterCommon is the audio function
    // object (a CAudioHal) whose node list gets the control nodes; DeviceLock (may be null) is
    // the lock the nodes share. Reads the unit's vendor control map, then builds the nodes.
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                  CMutexLock* DeviceLock);

    // IFeatureUnitSwitch
    STDMETHODIMP_(NTSTATUS) GetSwitch(ULONG Selector, ULONG Channel, PUCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) GetControlChannelCount(ULONG Selector, PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon* AdapterCommon) override;

    // IFeatureUnitLevel
    STDMETHODIMP_(NTSTATUS) GetLevel(ULONG Selector, ULONG Channel, PLONG Level) override;
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Selector, ULONG Channel, LONG Level) override;
    STDMETHODIMP_(NTSTATUS)
    GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;
    STDMETHODIMP_(NTSTATUS) GetLevelChannelCount(ULONG Selector, PULONG Count) override;

    // A feature unit reports nothing of its own: its nodes re-read their values.
    NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id) override;

    // Whether the unit announces control Selector on any channel, master included.
    BOOLEAN IsFeatureControlPresent(ULONG Selector);

protected:
    // The lock the unit's control nodes share; set by Init.
    CMutexLock* GetDeviceLock() const { return m_pDeviceLock; }
    // The unit's id, kind and one source from its descriptor, as every builder starts.
    NTSTATUS TakeUnitIdentity();

    // The unit's bmaControls entries (master first), 0 when the descriptor is unusable.
    ULONG GetEntryCount();
    // Whether entry Channel (0: master) carries Selector; channels past the last entry do not.
    BOOLEAN ChannelHasControl(ULONG Selector, ULONG Channel);
    NTSTATUS CountControlChannels(ULONG Selector, PULONG Count);
    // The wire channel for the node's channel index Channel, or STATUS_INVALID_PARAMETER.
    NTSTATUS AddressChannel(ULONG Selector, ULONG Channel, PUCHAR WireChannel);
    NTSTATUS ControlRequest(BOOLEAN In, UCHAR Request, ULONG Selector, UCHAR WireChannel, PVOID Data,
                            ULONG Length);
    VOID ReadExtendedControlMap();

    // The Init steps shared with the other release's unit.
    template <class Unit>
    friend NTSTATUS StartFeatureUnit(Unit* pUnit, IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                     const char* UnitClass);

    PUCHAR m_pExtendedControlMap; // null when the device gave none
    ULONG m_nExtendedMapBytes;
    CMutexLock* m_pDeviceLock;
};
