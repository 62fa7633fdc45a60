// CUac2FeatureUnit: a class-2 feature unit. It builds one control node per control the unit
// announces and turns every value the nodes read or write into a CUR or RANGE request to the
// unit. Each control carries two bits per channel, readable and writable: a read needs the
// first, a write the second, so a read-only control is never written.
#pragma once

#include "driver/topology/uac1/usb_feature_unit.h"

// PASSIVE_LEVEL throughout, as CUsbFeatureUnit.
class CUac2FeatureUnit : public CUsbFeatureUnit
{
public:
    CUac2FeatureUnit(PUNKNOWN UnknownOuter, ULONG Id);

    // As CUac1FeatureUnit::Init, for a class-2 feature-unit descriptor.
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                  CMutexLock* DeviceLock);

    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon* AdapterCommon) override;
    // One RANGE of exactly one sub-range.
    STDMETHODIMP_(NTSTATUS)
    GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;

    // Argument1: the control selector of the report. The first node of the control's kind
    // re-reads its values and gives its id; a unit without that node writes no id.
    NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id) override;

    // Whether either bit of the control is set on any channel, master included.
    BOOLEAN IsUac2FeatureControlPresent(ULONG Selector);

private:
    ULONG GetEntryCount() override;
    ULONG GetMapEntryCount() override;
    // The control's two bits on entry Channel (0: master); 0 past the last entry.
    ULONG ControlBits(ULONG Selector, ULONG Channel);
    BOOLEAN ChannelCarriesControl(ULONG Selector, ULONG Channel) override;
    // A read needs the readable bit on the channel, a write the writable one.
    NTSTATUS AddressControlChannel(ULONG Selector, ULONG Channel, BOOLEAN Write, PUCHAR WireChannel) override;
    NTSTATUS ControlRequest(BOOLEAN In, UCHAR Request, ULONG Selector, UCHAR WireChannel, PVOID Data,
                            ULONG Length) override;
    VOID ReadExtendedControlMap();

    // The Init steps shared with the other release's unit.
    template <class Unit>
    friend NTSTATUS StartFeatureUnit(Unit* pUnit, IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                     const char* UnitClass);
};
