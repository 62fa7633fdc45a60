// The level conversions and fixed ranges of the variant-B and variant-C feature units, and
// variant B's volume table.
#include "driver/topology/variants/variant_feature_unit.h"

namespace
{

constexpr SHORT DEVICE_SILENCE = SHORT(-32768);
constexpr LONG LEVEL_SILENT = LONG(0x80000000);
constexpr LONG DB = 0x10000; // 1 dB in driver units

// {dB value in 1/256 dB, device value}: what the device's volume steps really sound like.
struct VolumeTableEntry
{
    SHORT Db;
    SHORT Device;
};

// k = 0 to 37; the device value of entry k is -256 x k.
const VolumeTableEntry kVariantBVolumeTable[] = {
    {0, 0},         {-192, -256},    {-256, -512},   {-320, -768},   {-386, -1024},  {-455, -1280},
    {-527, -1536},  {-599, -1792},   {-676, -2048},  {-752, -2304},  {-835, -2560},  {-916, -2816},
    {-1006, -3072}, {-1096, -3328},  {-1193, -3584}, {-1290, -3840}, {-1395, -4096}, {-1503, -4352},
    {-1618, -4608}, {-1736, -4864},  {-1866, -5120}, {-1999, -5376}, {-2145, -5632}, {-2296, -5888},
    {-2465, -6144}, {-2637, -6400},  {-2816, -6656}, {-3046, -6912}, {-3277, -7168}, {-3533, -7424},
    {-3840, -7680}, {-4198, -7936},  {-4582, -8192}, {-5120, -8448}, {-5767, -8704}, {-6707, -8960},
    {-8294, -9216}, {-32768, -9472},
};
constexpr ULONG VOLUME_TABLE_ENTRIES = sizeof(kVariantBVolumeTable) / sizeof(kVariantBVolumeTable[0]);
static_assert(VOLUME_TABLE_ENTRIES == 38, "variant B's volume table has 38 entries");

// maximum, minimum, step (1/65536 dB) of each class's 2-byte levels, in VariantUnitConversion order.
struct FixedRange
{
    LONG Maximum;
    LONG Minimum;
    LONG Step;
};
const FixedRange kFixedRanges[] = {
    {0, -33 * DB, 0x2000},         // B unit 9: 0 to -33 dB in 0.125 dB
    {0x168000, -36 * DB, 0x18000}, // B units 13, 14: +22.5 to -36 dB in 1.5 dB
    {0x210000, -6 * DB, 0x18000},  // B units 10-12: +33 to -6 dB in 1.5 dB
    {0, -37 * DB, DB},             // C unit 9: 0 to -37 dB in 1 dB
    {0x90001, -0xD8000, 0x18000},  // C unit 13: +9 to -13.5 dB in 1.5 dB
    {0x168000, 0, 0x18000},        // C unit 10: +22.5 to 0 dB in 1.5 dB
};

// A computed device value never lands on the silence code by accident.
SHORT SaturateWord(LONGLONG Value)
{
    return SHORT(Value > 32767 ? 32767 : (Value < -32767 ? -32767 : Value));
}

LONG FromTable(SHORT Device)
{
    for (ULONG k = 1; k < VOLUME_TABLE_ENTRIES; k++)
    {
        if (kVariantBVolumeTable[k].Device < Device)
        {
            return LONG(kVariantBVolumeTable[k - 1].Db) * 256;
        }
    }
    return LONG(Device) * 256;
}

SHORT ToTable(LONG Level)
{
    const LONG wanted = Level >> 8;
    for (ULONG k = 0; k < VOLUME_TABLE_ENTRIES; k++)
    {
        if (kVariantBVolumeTable[k].Db <= wanted)
        {
            return kVariantBVolumeTable[k].Device;
        }
    }
    return SaturateWord(wanted);
}

} // namespace

LONG VariantLevelFromDevice(VariantUnitConversion Conversion, SHORT DeviceValue)
{
    if (DeviceValue == DEVICE_SILENCE)
    {
        return LEVEL_SILENT;
    }
    const LONG r = DeviceValue;
    switch (Conversion)
    {
    case VARIANT_CONVERSION_B_TABLE:
        return FromTable(DeviceValue);
    case VARIANT_CONVERSION_B_GAIN:
        return LONG(SHORT(((r >> 8) + 4) * 384)) * 256;
    case VARIANT_CONVERSION_B_TRIM:
        return LONG(SHORT((r >> 8) * 384 + 1664)) * 256;
    case VARIANT_CONVERSION_C_WHOLE:
        return ((r + 16) / 192) * DB;
    case VARIANT_CONVERSION_C_GAIN:
        return ((r - 3456) / 384) * 0x18000;
    default:
        return r * 256;
    }
}

SHORT VariantLevelToDevice(VariantUnitConversion Conversion, LONG Level)
{
    if (Level == LEVEL_SILENT)
    {
        return DEVICE_SILENCE;
    }
    const LONGLONG v = Level;
    switch (Conversion)
    {
    case VARIANT_CONVERSION_B_TABLE:
        return ToTable(Level);
    case VARIANT_CONVERSION_B_GAIN:
        return SaturateWord(((v + 0x240000) / 0x18000 - 28) * 256);
    case VARIANT_CONVERSION_B_TRIM:
        // The inverse of the read conversion: 1.5 dB per device decibel above +6.5 dB.
        return SaturateWord((((v >> 8) - 1664) / 384) * 256);
    case VARIANT_CONVERSION_C_WHOLE:
        return SaturateWord(-16 - ((-v) >> 16) * 192);
    case VARIANT_CONVERSION_C_GAIN:
    {
        // Below the range the sum would go negative; held at the range's ends the step count
        // stays within what the device takes.
        const FixedRange& range = kFixedRanges[VARIANT_CONVERSION_C_GAIN];
        const LONGLONG clamped = v > range.Maximum ? range.Maximum : (v < range.Minimum ? range.Minimum : v);
        return SaturateWord(((clamped + 0xD8000) / 0x18000) * 384);
    }
    default:
        return SaturateWord(v >> 8);
    }
}

VOID VariantFixedRange(VariantUnitConversion Conversion, PLONG Maximum, PLONG Minimum, PLONG Step)
{
    const FixedRange& range =
        kFixedRanges[Conversion < VARIANT_CONVERSION_C_PLAIN ? Conversion : VARIANT_CONVERSION_C_PLAIN];
    *Maximum = range.Maximum;
    *Minimum = range.Minimum;
    *Step = range.Step;
}
