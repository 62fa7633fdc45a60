// CUac1Device's tables: the rates a continuous range is offered at, the quirks of the class-1
// models the driver knows, the capability records of the models the identification probe
// recognises, and the channel masks of stream formats.
#include "driver/function/uac1/uac1_device.h"

const ULONG StandardSampleRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};
const ULONG StandardSampleRateCount = RTL_NUMBER_OF(StandardSampleRates);

namespace
{

// A row with this product matches every product of its vendor.
constexpr USHORT ANY_PRODUCT = 0xFFFF;

struct Uac1QuirkRow
{
    USHORT VendorId;
    USHORT ProductId; // ANY_PRODUCT: every product of the vendor
    ULONG Quirks;
};

// vendor  product      quirks (UAC1_QUIRK_*, uac1_device.h)
const Uac1QuirkRow kUac1Quirks[] = {
    {0x1B1C, ANY_PRODUCT, UAC1_QUIRK_TERMINAL16_IS_HEADPHONES}, // 0x1B1C, every product
    {0x1B1C, 0x0A04, UAC1_QUIRK_NEEDS_OUTPUTS_16_AND_64},       // 0x1B1C product 0x0A04
    {0x7A31, 0x0058, UAC1_QUIRK_MIC_CAPTURE_MASK_BIT},          // 0x7A31 product 0x0058
    {0x09DA, 0x2701, UAC1_QUIRK_BRIDGE_MASK_A5},                // 0x09DA product 0x2701
    {0x09DA, 0x2702, UAC1_QUIRK_BRIDGE_MASK_A5},                // 0x09DA product 0x2702
    {0x09DA, 0x2703, UAC1_QUIRK_BRIDGE_MASK_A5},                // 0x09DA product 0x2703
    {0x7A31, 0x0065, UAC1_QUIRK_BRIDGE_NO_MASK_BIT12},          // 0x7A31 product 0x0065
    {0x251F, 0x3001,
     UAC1_QUIRK_BRIDGE_NO_MASK_BIT12 | UAC1_QUIRK_BRIDGE_MASK_BIT2_FLAGS_40}, // 0x251F product 0x3001
};

// vendor  product  mask      extra  flags: devices without an identification string
const Uac1ModelCaps kUnidentifiedModels[] = {
    {0x1B1C, 0x0A04, 0x00000024, 0, 0},  // 0x1B1C product 0x0A04
    {0x047F, 0xD957, 0x003C0264, 12, 0}, // 0x047F product 0xD957
};

// The "3864" bridge chip when its probe byte says the firmware is the known one.
constexpr ULONG BRIDGE_MASK = 0x003E10A0;
constexpr ULONG BRIDGE_FLAGS = 0x41;
// The values the bridge quirks put in the record.
constexpr ULONG BRIDGE_MASK_A5 = 0x003E00A5;
constexpr ULONG BRIDGE_MASK_BIT12 = 0x00001000;
constexpr ULONG BRIDGE_MASK_BIT2 = 0x00000004;
constexpr ULONG BRIDGE_FLAGS_40 = 0x40;

// "QXR710": probe byte A's bits 1-3 name the configuration; probe byte B's bit 1 must be clear.
constexpr ULONG QXR_MASK = 0x0003E087;
constexpr UCHAR QXR_CONFIG_BITS = 0x0E;
constexpr UCHAR QXR_CONFIG_PLAIN = 0x08;
constexpr UCHAR QXR_CONFIG_ASIO = 0x0E;
constexpr UCHAR QXR_B_REFUSED_BIT = 0x02;

// channels  render mask  capture mask
struct ChannelMaskRow
{
    ULONG Channels;
    ULONG RenderMask;
    ULONG CaptureMask;
};
const ChannelMaskRow kChannelMasks[] = {
    {1, 0x004, 0x4}, // front centre
    {2, 0x003, 0x3}, // front left, right
    {4, 0x033, 0x0}, // front and back pairs
    {6, 0x03F, 0x0}, // 5.1
    {8, 0x63F, 0x0}, // 7.1 with side pair
};

} // namespace

ULONG Uac1DeviceQuirks(USHORT VendorId, USHORT ProductId)
{
    ULONG quirks = 0;
    for (const Uac1QuirkRow& row : kUac1Quirks)
    {
        if (row.VendorId == VendorId && (row.ProductId == ANY_PRODUCT || row.ProductId == ProductId))
        {
            quirks |= row.Quirks;
        }
    }
    return quirks;
}

const Uac1ModelCaps* Uac1FindUnidentifiedModel(USHORT VendorId, USHORT ProductId)
{
    for (const Uac1ModelCaps& row : kUnidentifiedModels)
    {
        if (row.VendorId == VendorId && row.ProductId == ProductId)
        {
            return &row;
        }
    }
    return nullptr;
}

VOID Uac1ApplyBridgeModelCaps(ULONG Quirks, EndpointCaps* Caps)
{
    Caps->Mask = (Quirks & UAC1_QUIRK_BRIDGE_MASK_A5) ? BRIDGE_MASK_A5 : BRIDGE_MASK;
    Caps->Flags = BRIDGE_FLAGS;
    if (Quirks & UAC1_QUIRK_BRIDGE_NO_MASK_BIT12)
    {
        Caps->Mask &= ~BRIDGE_MASK_BIT12;
    }
    if (Quirks & UAC1_QUIRK_BRIDGE_MASK_BIT2_FLAGS_40)
    {
        Caps->Mask |= BRIDGE_MASK_BIT2;
        Caps->Flags = BRIDGE_FLAGS_40;
    }
}

BOOLEAN Uac1ApplyQxrModelCaps(UCHAR ProbeA, UCHAR ProbeB, EndpointCaps* Caps)
{
    if (ProbeB & QXR_B_REFUSED_BIT)
    {
        return FALSE;
    }
    UCHAR config = ProbeA & QXR_CONFIG_BITS;
    if (config == QXR_CONFIG_PLAIN)
    {
        Caps->Mask = QXR_MASK;
        return TRUE;
    }
    if (config == QXR_CONFIG_ASIO)
    {
        Caps->Mask = QXR_MASK;
        Caps->Flags = ENDPOINT_CAPS_FLAG_ASIO;
        return TRUE;
    }
    return FALSE;
}

ULONG Uac1ChannelMask(ULONG Channels, ULONG Capture)
{
    for (const ChannelMaskRow& row : kChannelMasks)
    {
        if (row.Channels == Channels)
        {
            return Capture ? row.CaptureMask : row.RenderMask;
        }
    }
    return 0;
}
