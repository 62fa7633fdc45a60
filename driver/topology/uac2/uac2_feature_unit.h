// CUac2FeatureUnit: a class-2 feature unit. It builds one control node per control the unit
// announces and turns every value the nodes read or write into a CUR or RANGE request to the
// unit. Each control carries two bits per channel, readable and writable: a read needs the
// first, a write the second, so a read-only control is never written.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/core/mutex_lock.h"
#include "driver/topology/nodes/feature_unit_if.h"
#include "driver/topology/nodes/usb_entity_node.h"

// PASSIVE_LEVEL throughout: every value operation waits for its control transfer. The entity
// takes no lock; its control nodes hold the device lock around their calls.
class CUac2FeatureUnit : public IFeatureUnitSwitch, public IFeatureUnitLevel, public CUsbEntityNode
{
public:
    DECLARE_STD_UNKNOWN();

    CUac2FeatureUnit(PUNKNOWN UnknownOuter, ULONG Id);
    ~CUac2FeatureUnit() override;

    // As CUac1FeatureUnit::Init, for a class-2 feature-unit descriptor.
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                  CMutexLock* DeviceLock);

    // IFeatureUnitSwitch
    STDMETHODIMP_(NTSTATUS) GetSwitch(ULONG Selector, ULONG Channel, PUCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) GetControlChannelCount(ULONG Selector, PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon* AdapterCommon) override;

    // IFeatureUnitLevel. GetLevelRange asks one RANGE of exactly one sub-range.
    STDMETHODIMP_(NTSTATUS) GetLevel(ULONG Selector, ULONG Channel, PLONG Level) override;
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Selector, ULONG Channel, LONG Level) override;
    STDMETHODIMP_(NTSTATUS)
    GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;
    STDMETHODIMP_(NTSTATUS) GetLevelChannelCount(ULONG Selector, PULONG Count) override;

    // Argument1: the control selector of the report. The first node of the control's kind
    // re-reads its values and gives its id; a unit without that node writes no id.
    NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id) override;

    // Whether either bit of the control is set on any channel, master included.
    BOOLEAN IsUac2FeatureControlPresent(ULONG Selector);

private:
    ULONG GetEntryCount();
    ULONG GetMapEntryCount();
    // The control's two bits on entry Channel (0: master); 0 past the last entry.
    ULONG ControlBits(ULONG Selector, ULONG Channel);
    NTSTATUS CountControlChannels(ULONG Selector, PULONG Count);
    // The wire channel for node channel Channel; Bit is the readable (1) or writable (2) bit.
    NTSTATUS AddressChannel(ULONG Selector, ULONG Channel, ULONG Bit, PUCHAR WireChannel);
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
