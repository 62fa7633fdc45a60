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

// The effects model's records: model code, vendor, products first to last (ANY_PRODUCT: any
// device), mask, extra, flags. The first matching row applies.
struct VariantDCapsRow
{
    ULONG ModelCode;
    USHORT VendorId; // 0: any vendor
    USHORT FirstProduct;
    USHORT LastProduct;
    ULONG Mask;
    ULONG Extra;
    ULONG Flags;
};

// code vendor  products         mask      extra flags
const VariantDCapsRow kVariantDCaps[] = {
    {6, 0x17EF, 0x6073, 0x6073, 0x3E0084, 0, 0x41}, // 0x17EF product 0x6073
    {6, 0x264A, 20483, 20483, 0x3E0084, 0, 0},      // 0x264A product 20483
    {6, 0x2B0D, 0x0080, 0x0084, 0x3E0084, 0, 0x40}, // 0x2B0D products 0x0080-0x0084
    {6, 0x2B0D, 0x0085, 0x0085, 0x3E1080, 0, 0},    // 0x2B0D product 0x0085
    {6, 0x2B0D, 0x0086, 0x008F, 0x3E0084, 0, 0x40}, // 0x2B0D products 0x0086-0x008F
    {6, 0x7A31, 0x0161, 0x0161, 0x3E0084, 0, 0x40}, // 0x7A31 product 0x0161
    {6, 0, 0, ANY_PRODUCT, 0x3E1084, 0, 0},         // any other model-6 device
    {5, 0, 0, ANY_PRODUCT, 0x20006, 8, 0},          // every model-5 device
};

} // namespace

NTSTATUS VariantDModelCaps(ULONG ModelCode, USHORT VendorId, USHORT ProductId, EndpointCaps* Caps)
{
    if (!Caps)
    {
        return STATUS_INVALID_PARAMETER;
    }
    for (const VariantDCapsRow& row : kVariantDCaps)
    {
        if (row.ModelCode == ModelCode && (row.VendorId == 0 || row.VendorId == VendorId) &&
            ProductId >= row.FirstProduct && ProductId <= row.LastProduct)
        {
            RtlZeroMemory(Caps, sizeof(*Caps));
            Caps->Mask = row.Mask;
            Caps->Extra = row.Extra;
            Caps->Flags = row.Flags;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

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
