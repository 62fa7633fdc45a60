// CUsbDevice's tables: the audio function creators, the identification strings that pick a
// model, and the per-device quirks of the manufacturer string and the ASIO sample type.
#include "driver/usb/usb_device.h"

#include "driver/function/uac1/uac1_device.h"
#include "driver/function/uac2/uac2_device.h"
#include "driver/function/variants/variant_a_device.h"
#include "driver/function/variants/variant_d_device.h"
#include "driver/function/variants/variant_device.h"

namespace
{

// The creators of the audio function objects. An entry stays null until that object exists in
// the driver; CreateAudioDevice then refuses such a device with STATUS_NOT_SUPPORTED.
const AudioFunctionCreators kAudioFunctionCreators = {
    CreateUac1Device,     // Uac1
    CreateUac2Device,     // Uac2
    CreateVariantADevice, // VariantA
    CreateVariantBDevice, // VariantB
    CreateVariantCDevice, // VariantC
    CreateVariantDDevice, // VariantD
};

const AudioFunctionCreators* g_pAudioFunctionCreators = &kAudioFunctionCreators;

// Leading UTF-16 units of a release-1.0 identification string, and the model they name.
struct ModelIdRow
{
    WCHAR Prefix[4];
    ULONG PrefixChars;
    UsbAudioFunctionKind Kind;
};

// prefix                              chars  model
const ModelIdRow kModelIdRows[] = {
    {{0x000B, 0x0005, 0x0050, 0}, 3, UsbAudioFunctionVariantA},
    {{u'8', u'1', u'4', u'2'}, 4, UsbAudioFunctionVariantB},
    {{u'8', u'1', u'5', u'3'}, 4, UsbAudioFunctionVariantC},
    {{u'8', u'1', u'7', u'7'}, 4, UsbAudioFunctionVariantD},
};

// Variant D: the fifth character of "8177x" picks the model code.
constexpr ULONG VARIANT_D_MODEL_CHAR_INDEX = 4;
constexpr WCHAR VARIANT_D_MODEL_5_CHAR = u'5';
constexpr ULONG VARIANT_D_MODEL_CODE_5 = 5;
constexpr ULONG VARIANT_D_MODEL_CODE_6 = 6;

// Vendor whose manufacturer string is read only for the products below; its other products
// report a string that names the chip maker rather than the product's maker.
constexpr USHORT MFG_STRING_RESTRICTED_VENDOR = 0x7A31;

// product   (vendor MFG_STRING_RESTRICTED_VENDOR)
const USHORT kMfgStringProducts[] = {
    0x0067, // 0x7A31 product 0x0067
    0x0068, // 0x7A31 product 0x0068
    0x0161, // 0x7A31 product 0x0161
};

// vendor  product  sample type: models whose ASIO endpoints carry more than 16 bits
const UsbAsioModelDefault kAsioModelDefaults[] = {
    {0x0B05, 0x17F3, 17}, // 0x0B05 product 0x17F3: 24-bit packed
    {0x0B05, 0x17A8, 27}, // 0x0B05 product 0x17A8: 24 bits in 32
    {0x0B05, 0x17CD, 27}, // 0x0B05 product 0x17CD: 24 bits in 32
    {0x1043, 0x8593, 27}, // 0x1043 product 0x8593: 24 bits in 32
    {0x1043, 0x8592, 27}, // 0x1043 product 0x8592: 24 bits in 32
};

// vendor  product: models that are told by vendor request when the ASIO streams start and stop
struct UsbVendorProductRow
{
    USHORT VendorId;
    USHORT ProductId;
};
const UsbVendorProductRow kAsioVendorRequestModels[] = {
    {0x0B05, 0x17A8}, // 0x0B05 product 0x17A8
    {0x0B05, 0x17CD}, // 0x0B05 product 0x17CD
    {0x0B05, 0x17F3}, // 0x0B05 product 0x17F3
    {0x1043, 0x8593}, // 0x1043 product 0x8593
    {0x1043, 0x8592}, // 0x1043 product 0x8592
};

} // namespace

const AudioFunctionCreators* UsbDeviceAudioFunctionCreators()
{
    return g_pAudioFunctionCreators;
}

const AudioFunctionCreators* UsbDeviceSetAudioFunctionCreators(const AudioFunctionCreators* Creators)
{
    const AudioFunctionCreators* pPrevious = g_pAudioFunctionCreators;
    g_pAudioFunctionCreators = Creators ? Creators : &kAudioFunctionCreators;
    return pPrevious;
}

UsbAudioFunctionKind UsbDeviceIdentifyModel(const WCHAR* Text, ULONG CharCount, ULONG* ModelCode)
{
    for (const ModelIdRow& row : kModelIdRows)
    {
        if (CharCount < row.PrefixChars || !RtlEqualMemory(Text, row.Prefix, row.PrefixChars * sizeof(WCHAR)))
        {
            continue;
        }
        if (row.Kind == UsbAudioFunctionVariantD)
        {
            BOOLEAN bModel5 = CharCount > VARIANT_D_MODEL_CHAR_INDEX &&
                              Text[VARIANT_D_MODEL_CHAR_INDEX] == VARIANT_D_MODEL_5_CHAR;
            *ModelCode = bModel5 ? VARIANT_D_MODEL_CODE_5 : VARIANT_D_MODEL_CODE_6;
        }
        return row.Kind;
    }
    return UsbAudioFunctionUac1;
}

BOOLEAN UsbDeviceReadsManufacturer(USHORT VendorId, USHORT ProductId)
{
    if (VendorId != MFG_STRING_RESTRICTED_VENDOR)
    {
        return TRUE;
    }
    for (USHORT product : kMfgStringProducts)
    {
        if (product == ProductId)
        {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN UsbDeviceSendsAsioVendorRequest(USHORT VendorId, USHORT ProductId)
{
    for (const UsbVendorProductRow& row : kAsioVendorRequestModels)
    {
        if (row.VendorId == VendorId && row.ProductId == ProductId)
        {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN UsbDeviceFindAsioModelDefault(USHORT VendorId, USHORT ProductId, ULONG* SampleType)
{
    for (const UsbAsioModelDefault& row : kAsioModelDefaults)
    {
        if (row.VendorId == VendorId && row.ProductId == ProductId)
        {
            *SampleType = row.SampleType;
            return TRUE;
        }
    }
    return FALSE;
}
