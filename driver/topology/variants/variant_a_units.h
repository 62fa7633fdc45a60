// The jack-sensing model's audio-control entities that differ from class 1: the input terminal
// with its simpler builder, the feature units whose levels the device scales (3/2 and 3/8 of
// a decibel per step below 0 dB, a third above), and the output feature unit that maps its
// levels through the model's volume table and drives the chip's mute LED.
#pragma once

#include "driver/core/variant_a_registers_if.h"
#include "driver/topology/uac1/uac1_feature_unit.h"
#include "driver/topology/variants/variant_terminals.h"

#define VARIANT_A_NODE_POOL_TAG MAKE_POOL_TAG('8', '1', '2', '6')

// The class each feature unit gets, by model and bUnitID.
enum VariantAUnitClass : ULONG
{
    VARIANT_A_UNIT_CLASS1 = 0,
    VARIANT_A_UNIT_SCALED_3_2 = 1,   // units 9 and 11
    VARIANT_A_UNIT_SCALED_3_8 = 2,   // units 2, 8 and 15
    VARIANT_A_UNIT_VOLUME_TABLE = 3, // unit 13
    VARIANT_A_UNIT_FORCED_MUTE = 4,  // unit 11 of the jack-polling model
    VARIANT_A_UNIT_MUTE_ONLY = 5,    // unit 16, the S/PDIF input's
    VARIANT_A_UNIT_SOFT_MUTE = 6,    // units 2, 8 and 15 of the models whose chip cannot mute them
    VARIANT_A_UNIT_STATE_SWITCH = 7, // units 2, 8 and 15 of the model with a state switch
};
VariantAUnitClass VariantAFeatureUnitClass(USHORT VendorId, USHORT ProductId, UCHAR UnitId);

// Level scaling of units 3 and 4 (driver levels, 1/65536 dB; silence passes unchanged). Any IRQL.
LONG VariantAScaleFromDevice(LONG Level, LONG NegativeNumerator, LONG NegativeDenominator);
LONG VariantAScaleToDevice(LONG Level, LONG NegativeNumerator, LONG NegativeDenominator);
// The volume table of unit 13, both ways (device 1/256 dB values, driver values before the
// shift by 8). Any IRQL.
LONG VariantAVolumeFromDevice(SHORT Device);
SHORT VariantAVolumeToDevice(LONG Level);

class CVariantAInputTerminal : public CVariantInputTerminal
{
public:
    CVariantAInputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantInputTerminal(UnknownOuter, Id, VARIANT_A_NODE_POOL_TAG)
    {
    }
};

// Units whose device levels are a fixed fraction of the driver's below 0 dB and a third above.
// PASSIVE_LEVEL throughout.
class CVariantAScaledFeatureUnit : public CUac1FeatureUnit
{
public:
    CVariantAScaledFeatureUnit(PUNKNOWN UnknownOuter, ULONG Id, LONG Numerator, LONG Denominator,
                               BOOLEAN MaskMaximum)
        : CUac1FeatureUnit(UnknownOuter, Id), m_lNumerator(Numerator), m_lDenominator(Denominator),
          m_bMaskMaximum(MaskMaximum)
    {
    }

    STDMETHODIMP_(NTSTATUS) GetLevel(ULONG Selector, ULONG Channel, PLONG Level) override;
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Selector, ULONG Channel, LONG Level) override;
    // The device's maximum and minimum, scaled; the step is fixed at 1.5 dB.
    STDMETHODIMP_(NTSTATUS)
    GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;

private:
    LONG m_lNumerator;
    LONG m_lDenominator;
    BOOLEAN m_bMaskMaximum; // unit 3: the maximum's low four bits are not part of it
};

class CVariantAFeatureUnit3 : public CVariantAScaledFeatureUnit
{
public:
    CVariantAFeatureUnit3(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantAScaledFeatureUnit(UnknownOuter, Id, 3, 2, TRUE)
    {
    }
};

class CVariantAFeatureUnit4 : public CVariantAScaledFeatureUnit
{
public:
    CVariantAFeatureUnit4(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantAScaledFeatureUnit(UnknownOuter, Id, 3, 8, FALSE)
    {
    }
};

// Units 2, 8 and 15 where the driver mutes in software: a software mute, then the volume.
class CVariantAFeatureUnit5 : public CVariantAFeatureUnit4
{
public:
    CVariantAFeatureUnit5(PUNKNOWN UnknownOuter, ULONG Id) : CVariantAFeatureUnit4(UnknownOuter, Id) {}

    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon* AdapterCommon) override;
};

// Units 2, 8 and 15 of the model with a chip state switch: the class-1 nodes, then the switch.
class CVariantAFeatureUnit6 : public CVariantAFeatureUnit4
{
public:
    CVariantAFeatureUnit6(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantAFeatureUnit4(UnknownOuter, Id), m_pRegisters(nullptr)
    {
    }

    NTSTATUS InitWithStateSwitch(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                 IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                 IVariantARegisters* Registers);
    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon* AdapterCommon) override;

private:
    IVariantARegisters* m_pRegisters;
};

// Unit 11 of the jack-polling model: a master-only mute that the jack-sense thread can force
// on whatever the user set.
class CVariantAFeatureUnit7 : public CVariantAFeatureUnit3
{
public:
    CVariantAFeatureUnit7(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantAFeatureUnit3(UnknownOuter, Id), m_ForcedMute(0), m_LastSwitch(0)
    {
    }

    // Channel 0 only. The device gets the user's value ORed with the forced mute.
    STDMETHODIMP_(NTSTATUS) GetSwitch(ULONG Selector, ULONG Channel, PUCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value) override;
    // Stores the forced mute and sends the user's last value again with it.
    NTSTATUS SetForcedMute(UCHAR Mute);

private:
    UCHAR m_ForcedMute;
    UCHAR m_LastSwitch;
};

// Unit 16, the S/PDIF input's: only a mute node, which also gates the captured samples.
class CVariantAFeatureUnit2 : public CUac1FeatureUnit
{
public:
    CVariantAFeatureUnit2(PUNKNOWN UnknownOuter, ULONG Id) : CUac1FeatureUnit(UnknownOuter, Id) {}

    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon* AdapterCommon) override;
};

// The output unit: levels through the volume table, the chip's mute LED after each mute.
class CVariantAFeatureUnit1 : public CUac1FeatureUnit
{
public:
    CVariantAFeatureUnit1(PUNKNOWN UnknownOuter, ULONG Id)
        : CUac1FeatureUnit(UnknownOuter, Id), m_NeedMuteLED(0), m_ReverseMuteLED(0), m_pRegisters(nullptr)
    {
    }

    // Reads "NeedMuteLED" and "ReverseMuteLED" first; Registers is the device's chip.
    NTSTATUS InitVolumeTableUnit(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                 IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                 IVariantARegisters* Registers);

    STDMETHODIMP_(NTSTATUS) SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) GetLevel(ULONG Selector, ULONG Channel, PLONG Level) override;
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Selector, ULONG Channel, LONG Level) override;
    STDMETHODIMP_(NTSTATUS)
    GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;
    // Only a mute and a volume node, both of which also act on S/PDIF samples.
    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon* AdapterCommon) override;

private:
    UCHAR m_NeedMuteLED;
    UCHAR m_ReverseMuteLED;
    IVariantARegisters* m_pRegisters;
};
