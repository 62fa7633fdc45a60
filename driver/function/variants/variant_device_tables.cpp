// The model variants' per-device rules, keyed by vendor and product.
#include "driver/function/variants/variant_device.h"

namespace
{

constexpr USHORT ANY_PRODUCT = 0xFFFF;

struct VariantQuirkRow
{
    USHORT VendorId;
    USHORT ProductId; // ANY_PRODUCT: every product of the vendor
    ULONG Quirks;
};

// vendor  product  quirks
const VariantQuirkRow kVariantQuirks[] = {
    {0x1B1C, ANY_PRODUCT,
     VARIANT_QUIRK_TERMINAL6_IS_HEADPHONES},   // 0x1B1C headsets: terminal 6 drives headphones
    {0x1B1C, 0x0A06, VARIANT_QUIRK_C_MASK_24}, // 0x1B1C product 0x0A06
};

} // namespace

ULONG VariantDeviceQuirks(USHORT VendorId, USHORT ProductId)
{
    ULONG quirks = 0;
    for (const VariantQuirkRow& row : kVariantQuirks)
    {
        if (row.VendorId == VendorId && (row.ProductId == ANY_PRODUCT || row.ProductId == ProductId))
        {
            quirks |= row.Quirks;
        }
    }
    return quirks;
}
