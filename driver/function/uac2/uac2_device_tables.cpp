// CUac2Device's tables: the class-2 models whose endpoint capabilities follow rules of their own.
#include "driver/function/uac2/uac2_device.h"

namespace
{

struct Uac2QuirkRow
{
    USHORT VendorId;
    USHORT ProductId;
    ULONG Quirks;
};

// vendor  product quirks
const Uac2QuirkRow kUac2QuirkRows[] = {
    {0x0B05, 0x17B1, UAC2_QUIRK_FIXED_HP_MIC_CAPS},    // headset with fixed endpoint records
    {0x0B05, 0x180F, UAC2_QUIRK_CAPTURE_WITHOUT_ASIO}, // capture not offered to the ASIO client
};

} // namespace

ULONG Uac2DeviceQuirks(USHORT VendorId, USHORT ProductId)
{
    ULONG quirks = 0;
    for (const Uac2QuirkRow& row : kUac2QuirkRows)
    {
        if (row.VendorId == VendorId && row.ProductId == ProductId)
        {
            quirks |= row.Quirks;
        }
    }
    return quirks;
}
