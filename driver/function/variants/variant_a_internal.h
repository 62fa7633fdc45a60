// What variant A's sources share: the switch and model tables and the HID report requests.
#pragma once

#include "driver/function/variants/variant_a_device.h"

#include <stddef.h>

// A switch by its field: bit n stands for the n-th byte of VariantASwitches.
#define VA_SWITCH_BIT(Field) (1u << offsetof(VariantASwitches, Field))
constexpr ULONG VA_NO_MASK = 0xFFFFFFFF;

struct VariantASwitchRow
{
    PCWSTR Setting;
    UCHAR Default;
    ULONG Offset; // of the switch in VariantASwitches
};

struct VariantAModelRow
{
    USHORT VendorId;
    USHORT ProductId;
    BOOLEAN NeedsProbe; // applies only when the probe bytes matched
    ULONG Set;          // VA_SWITCH_BIT mask of switches set
    ULONG Clear;        // and cleared
    BOOLEAN JackPolling;
    ULONG Mask; // VA_NO_MASK: the record's mask stays
    USHORT Register1;
};

const VariantASwitchRow* VariantASwitchRows(PULONG Count);
// The override row for the device, or null.
const VariantAModelRow* VariantAFindModelRow(USHORT VendorId, USHORT ProductId, BOOLEAN ProbeMatched);
VOID VariantAApplySwitchBits(VariantASwitches* Switches, ULONG Set, ULONG Clear);

// The HID reports of the chip: interface 3, output report 0x0200 (4 bytes, command 0x20) and
// input report 0x0100 (3 bytes).
constexpr USHORT VARIANT_A_HID_INTERFACE = 3;
constexpr UCHAR VARIANT_A_SET_REPORT = 0x09;
constexpr UCHAR VARIANT_A_GET_REPORT = 0x01;
constexpr USHORT VARIANT_A_OUTPUT_REPORT = 0x0200;
constexpr USHORT VARIANT_A_INPUT_REPORT = 0x0100;
constexpr UCHAR VARIANT_A_REGISTER_COMMAND = 0x20;
constexpr ULONG VARIANT_A_INPUT_REPORT_BYTES = 3;
// Report byte 0: the jack-sense line.
constexpr UCHAR VARIANT_A_JACK_SENSE_BIT = 0x10;
