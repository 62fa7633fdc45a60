// CUac1FeatureUnit: a class-1 feature unit. It builds one control node per control the unit
// announces (mute, volume, bass, mid, treble, automatic gain, loudness and the two vendor effect
// controls) and turns every value the nodes read or write into a control request to the unit,
// mapping the nodes' channel indexes to the unit's logical channels and the device's units to
// 1/65536 dB.
#pragma once

#include "driver/topology/uac1/usb_feature_unit.h"

// PASSIVE_LEVEL throughout, as CUsbFeatureUnit.
class CUac1FeatureUnit : public CUsbFeatureUnit
{
public:
    CUac1FeatureUnit(PUNKNOWN UnknownOuter, ULONG Id);

    // Descriptor: Length bytes received, starting at a class-1 feature-unit descriptor. Device
    // answers IUsbDevice and is kept without a reference; AdapterCommon is the audio function
    // object (a CAudioHal) whose node list gets the control nodes; DeviceLock (may be null) is
    // the lock the nodes share. Reads the unit's vendor control map, then builds the nodes.
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                  CMutexLock* DeviceLock);

    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon* AdapterCommon) override;
    // GET_MAX, GET_MIN and GET_RES of one channel.
    STDMETHODIMP_(NTSTATUS)
    GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;

    // A feature unit reports nothing of its own: its nodes re-read their values.
    NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id) override;

    // Whether the unit announces control Selector on any channel, master included.
    BOOLEAN IsFeatureControlPresent(ULONG Selector);

protected:
    // The unit's id, kind and one source from its descriptor, as every builder starts.
    NTSTATUS TakeUnitIdentity();

    // The unit's bmaControls entries (master first), 0 when the descriptor is unusable.
    ULONG GetEntryCount() override;
    ULONG GetMapEntryCount() override;
    // Whether entry Channel (0: master) carries Selector; channels past the last entry do not.
    BOOLEAN ChannelHasControl(ULONG Selector, ULONG Channel);
    BOOLEAN ChannelCarriesControl(ULONG Selector, ULONG Channel) override;
    // The wire channel for the node's channel index Channel, or STATUS_INVALID_PARAMETER.
    NTSTATUS AddressChannel(ULONG Selector, ULONG Channel, PUCHAR WireChannel);
    // Reads and writes take the same channel.
    NTSTATUS AddressControlChannel(ULONG Selector, ULONG Channel, BOOLEAN Write, PUCHAR WireChannel) override;
    // Vendor controls travel as vendor requests, the others as class requests.
    NTSTATUS ControlRequest(BOOLEAN In, UCHAR Request, ULONG Selector, UCHAR WireChannel, PVOID Data,
                            ULONG Length) override;
    VOID ReadExtendedControlMap();

    // The Init steps shared with the other release's unit.
    template <class Unit>
    friend NTSTATUS StartFeatureUnit(Unit* pUnit, IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                     const char* UnitClass);
};
