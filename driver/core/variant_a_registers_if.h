// IVariantARegisters: the cached chip registers of the jack-sensing model, as its node classes
// and its render stream program them. The device object keeps the cache and writes each value
// to the chip with a HID output report.
#pragma once

#include "ntddk.h"

// The chip has registers 0 to 5.
constexpr ULONG VARIANT_A_REGISTER_COUNT = 6;

class IVariantARegisters
{
public:
    // New value = (cached AND NOT Mask) OR (Value AND Mask); a mask of 0 sends nothing, an index
    // of 6 or more fails with STATUS_UNSUCCESSFUL. The cache changes only after the chip took
    // the report. PASSIVE_LEVEL: waits for the transfer.
    virtual NTSTATUS WriteMaskedRegister(ULONG Index, USHORT Value, USHORT Mask) = 0;
    // The cached value (0 for an index the chip lacks). Any IRQL.
    virtual USHORT GetCachedRegister(ULONG Index) = 0;

protected:
    ~IVariantARegisters() = default;
};
