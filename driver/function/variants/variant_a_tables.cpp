// Variant A's tables: the feature switches with their setting names and defaults, and the
// per-model overrides keyed by vendor and product.
#include "driver/function/variants/variant_a_internal.h"

namespace
{

// setting                    default  switch
const VariantASwitchRow kSwitchRows[] = {
    {u"DisableMicInAAUnit", 0, offsetof(VariantASwitches, DisableMicInAAUnit)},
    {u"DisableLineInAAUnit", 0, offsetof(VariantASwitches, DisableLineInAAUnit)},
    {u"DisableMicInRecUnit", 0, offsetof(VariantASwitches, DisableMicInRecUnit)},
    {u"DisableLineInRecUnit", 0, offsetof(VariantASwitches, DisableLineInRecUnit)},
    {u"DisableStereoMixRecUnit", 1, offsetof(VariantASwitches, DisableStereoMixRecUnit)},
    {u"DisableLineInTerminal", 0, offsetof(VariantASwitches, DisableLineInTerminal)},
    {u"DisableMicInTerminal", 0, offsetof(VariantASwitches, DisableMicInTerminal)},
    {u"DisableSpdifInTerminal", 0, offsetof(VariantASwitches, DisableSpdifInTerminal)},
    {u"SupportHPOut", 1, offsetof(VariantASwitches, SupportHPOut)},
    {u"SupportSpdifOut", 1, offsetof(VariantASwitches, SupportSpdifOut)},
    {u"Disable2ChOutSupported", 0, offsetof(VariantASwitches, Disable2ChOut)},
    {u"Disable4ChOutSupported", 0, offsetof(VariantASwitches, Disable4ChOut)},
    {u"Disable6ChOutSupported", 0, offsetof(VariantASwitches, Disable6ChOut)},
    {u"Disable8ChOutSupported", 0, offsetof(VariantASwitches, Disable8ChOut)},
};

constexpr ULONG SET_LINE_SPDIF = VA_SWITCH_BIT(DisableLineInTerminal) | VA_SWITCH_BIT(DisableSpdifInTerminal);
constexpr ULONG CLEAR_OUTPUTS = VA_SWITCH_BIT(SupportHPOut) | VA_SWITCH_BIT(SupportSpdifOut);

// The rows are tried in order; the first whose ids match (and whose probe condition holds,
// where it has one) applies. Mask NO_MASK keeps the record's mask; Register1 0 keeps it.
// vendor  product probe  set                                   clear           jack  mask      reg 1
const VariantAModelRow kModelRows[] = {
    {0x1E7D, 0x3750, TRUE,
     VA_SWITCH_BIT(DisableLineInRecUnit) | VA_SWITCH_BIT(DisableStereoMixRecUnit) |
         VA_SWITCH_BIT(DisableSpdifInTerminal) | VA_SWITCH_BIT(Disable4ChOut) | VA_SWITCH_BIT(Disable8ChOut),
     CLEAR_OUTPUTS, TRUE, 0x3E0084, 0x3032}, // 0x1E7D product 0x3750: the jack-polling model
    {0x5131, 0x001C, TRUE,
     VA_SWITCH_BIT(DisableStereoMixRecUnit) | VA_SWITCH_BIT(DisableSpdifInTerminal) |
         VA_SWITCH_BIT(Disable2ChOut) | VA_SWITCH_BIT(Disable4ChOut) | VA_SWITCH_BIT(Disable8ChOut),
     CLEAR_OUTPUTS, FALSE, 0, 0},                                                 // 0x5131 product 0x001C
    {0x28DA, 0x268E, FALSE, SET_LINE_SPDIF, CLEAR_OUTPUTS, FALSE, 0x3E09F, 0},    // 0x28DA product 0x268E
    {0x7A31, 0x0163, FALSE, SET_LINE_SPDIF, CLEAR_OUTPUTS, FALSE, VA_NO_MASK, 0}, // 0x7A31 product 0x0163
    {0x7A31, 0x0053, TRUE, SET_LINE_SPDIF | VA_SWITCH_BIT(Disable8ChOut), CLEAR_OUTPUTS, FALSE, VA_NO_MASK,
     0}, // 0x7A31 product 0x0053
    {0x7A31, 0x0078, TRUE, SET_LINE_SPDIF | VA_SWITCH_BIT(Disable8ChOut), CLEAR_OUTPUTS, FALSE, VA_NO_MASK,
     0}, // 0x7A31 product 0x0078
    {0x0A1B, 0x0110, FALSE, SET_LINE_SPDIF | VA_SWITCH_BIT(Disable8ChOut), CLEAR_OUTPUTS, FALSE, VA_NO_MASK,
     0}, // 0x0A1B product 0x0110
    {0x0A6A, 0x0160, FALSE, SET_LINE_SPDIF, CLEAR_OUTPUTS | VA_SWITCH_BIT(Disable8ChOut), FALSE, VA_NO_MASK,
     0}, // 0x0A6A product 0x0160
};

// Any other model that passes the probe.
const VariantAModelRow kOtherModelRow = {0, 0, TRUE, VA_SWITCH_BIT(Disable8ChOut), 0, FALSE, VA_NO_MASK, 0};

} // namespace

const VariantASwitchRow* VariantASwitchRows(PULONG Count)
{
    *Count = sizeof(kSwitchRows) / sizeof(kSwitchRows[0]);
    return kSwitchRows;
}

const VariantAModelRow* VariantAFindModelRow(USHORT VendorId, USHORT ProductId, BOOLEAN ProbeMatched)
{
    for (const VariantAModelRow& row : kModelRows)
    {
        if (row.VendorId == VendorId && row.ProductId == ProductId && (!row.NeedsProbe || ProbeMatched))
        {
            return &row;
        }
    }
    return ProbeMatched ? &kOtherModelRow : nullptr;
}

VOID VariantAApplySwitchBits(VariantASwitches* Switches, ULONG Set, ULONG Clear)
{
    PUCHAR bytes = reinterpret_cast<PUCHAR>(Switches);
    for (ULONG bit = 0; bit < sizeof(VariantASwitches); bit++)
    {
        if (Set & (1u << bit))
        {
            bytes[bit] = 1;
        }
        if (Clear & (1u << bit))
        {
            bytes[bit] = 0;
        }
    }
}
