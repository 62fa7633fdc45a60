// The feature units of variants B and C. The devices answer the level requests in units of
// their own, so each unit class converts between the device's 16-bit values and 1/65536 dB in
// its own way and reports a fixed range; on/off controls are master-only. The six classes share
// the control presence test, the channel handling, the switches and the control-node builder.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/core/mutex_lock.h"
#include "driver/topology/nodes/feature_unit_if.h"
#include "driver/topology/nodes/usb_entity_node.h"

// The variant-B control builder and both variants' input-terminal builders ("2418"); the
// variant-C control builder and output-terminal builder ("8153").
#define VARIANT_B_NODE_POOL_TAG MAKE_POOL_TAG('2', '4', '1', '8')
#define VARIANT_C_NODE_POOL_TAG MAKE_POOL_TAG('8', '1', '5', '3')

// Which conversion a unit applies; one per class.
enum VariantUnitConversion : ULONG
{
    VARIANT_CONVERSION_B_TABLE = 0, // variant B unit 9: volume table
    VARIANT_CONVERSION_B_GAIN = 1,  // variant B units 13, 14: 1.5 dB per device dB, +6 dB
    VARIANT_CONVERSION_B_TRIM = 2,  // variant B units 10-12: 1.5 dB per device dB, +6.5 dB
    VARIANT_CONVERSION_C_WHOLE = 3, // variant C unit 9: whole decibels
    VARIANT_CONVERSION_C_GAIN = 4,  // variant C unit 13: 1.5 dB steps from -13.5 dB
    VARIANT_CONVERSION_C_PLAIN = 5, // variant C unit 10: the class-1 scale
};

// PASSIVE_LEVEL throughout: every value operation waits for its control transfer. The unit
// takes no lock; its control nodes hold the device lock around their calls.
class CVariantFeatureUnit : public IFeatureUnitSwitch, public IFeatureUnitLevel, public CUsbEntityNode
{
public:
    DECLARE_STD_UNKNOWN();

    CVariantFeatureUnit(PUNKNOWN UnknownOuter, ULONG Id, VariantUnitConversion Conversion, ULONG NodeTag);

    // Descriptor as CUac1FeatureUnit::Init takes it. Keeps the descriptor, builds the control
    // nodes and chains them. No request is sent: the device's ranges are fixed.
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                  CMutexLock* DeviceLock);

    // IFeatureUnitSwitch: channel 0 only.
    STDMETHODIMP_(NTSTATUS) GetSwitch(ULONG Selector, ULONG Channel, PUCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) GetControlChannelCount(ULONG Selector, PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon* AdapterCommon) override;

    // IFeatureUnitLevel
    STDMETHODIMP_(NTSTATUS) GetLevel(ULONG Selector, ULONG Channel, PLONG Level) override;
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Selector, ULONG Channel, LONG Level) override;
    // The device is still asked (its failure fails the call), but 2-byte ranges are fixed.
    STDMETHODIMP_(NTSTATUS)
    GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;
    STDMETHODIMP_(NTSTATUS) GetLevelChannelCount(ULONG Selector, PULONG Count) override;

    // A report names the unit: its nodes re-read their values.
    NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id) override;

    // Whether the master or any logical channel announces control Selector.
    BOOLEAN IsControlPresent(ULONG Selector);

    // The unit-9 classes keep the audio function object (no reference).
    IAdapterCommon* GetAudioFunction() { return m_pAudioFunction; }

private:
    BOOLEAN IsFeatureUnitDescriptor();
    ULONG GetEntryCount();
    BOOLEAN ChannelHasControl(ULONG Selector, ULONG Channel);
    // The device channel of node channel Channel, or STATUS_INVALID_PARAMETER.
    NTSTATUS AddressLevelChannel(ULONG Selector, ULONG Channel, PUCHAR WireChannel);
    // Bytes a level of Selector takes on the wire for a read (In) or a write.
    ULONG LevelBytes(ULONG Selector, BOOLEAN In);
    NTSTATUS Request(BOOLEAN In, UCHAR Request, ULONG Selector, UCHAR WireChannel, PVOID Data, ULONG Length);

    VariantUnitConversion m_Conversion;
    ULONG m_nNodeTag;
    IAdapterCommon* m_pAudioFunction;
    CMutexLock* m_pDeviceLock;
};

// The conversions of 2-byte device values (1/256 dB, as sent) and driver levels (1/65536 dB);
// 0x8000 and 0x80000000 (silence) map onto each other in every class. Any IRQL.
LONG VariantLevelFromDevice(VariantUnitConversion Conversion, SHORT DeviceValue);
SHORT VariantLevelToDevice(VariantUnitConversion Conversion, LONG Level);
// The fixed 2-byte range of a class: maximum, minimum, step. Any IRQL.
VOID VariantFixedRange(VariantUnitConversion Conversion, PLONG Maximum, PLONG Minimum, PLONG Step);

// The six classes by the names the walks give them.
class CVariantBFeatureUnit1 : public CVariantFeatureUnit
{
public:
    CVariantBFeatureUnit1(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantFeatureUnit(UnknownOuter, Id, VARIANT_CONVERSION_B_TABLE, VARIANT_B_NODE_POOL_TAG)
    {
    }
};
class CVariantBFeatureUnit2 : public CVariantFeatureUnit
{
public:
    CVariantBFeatureUnit2(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantFeatureUnit(UnknownOuter, Id, VARIANT_CONVERSION_B_GAIN, VARIANT_B_NODE_POOL_TAG)
    {
    }
};
class CVariantBFeatureUnit3 : public CVariantFeatureUnit
{
public:
    CVariantBFeatureUnit3(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantFeatureUnit(UnknownOuter, Id, VARIANT_CONVERSION_B_TRIM, VARIANT_B_NODE_POOL_TAG)
    {
    }
};
class CVariantCFeatureUnit1 : public CVariantFeatureUnit
{
public:
    CVariantCFeatureUnit1(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantFeatureUnit(UnknownOuter, Id, VARIANT_CONVERSION_C_WHOLE, VARIANT_C_NODE_POOL_TAG)
    {
    }
};
class CVariantCFeatureUnit2 : public CVariantFeatureUnit
{
public:
    CVariantCFeatureUnit2(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantFeatureUnit(UnknownOuter, Id, VARIANT_CONVERSION_C_GAIN, VARIANT_C_NODE_POOL_TAG)
    {
    }
};
class CVariantCFeatureUnit3 : public CVariantFeatureUnit
{
public:
    CVariantCFeatureUnit3(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantFeatureUnit(UnknownOuter, Id, VARIANT_CONVERSION_C_PLAIN, VARIANT_C_NODE_POOL_TAG)
    {
    }
};
