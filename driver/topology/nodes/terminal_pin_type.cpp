// InputTerminalPinType and OutputTerminalPinType.
#include "driver/topology/nodes/terminal_pin_type.h"

#include "driver/core/pin_type.h"

namespace
{

// Terminal type, then the input and output pin types; types not listed take the defaults below.
struct TerminalPinTypeRow
{
    USHORT TerminalType;
    ULONG InputPinType;
    ULONG OutputPinType;
};

const TerminalPinTypeRow kTerminalPinTypes[] = {
    {0x0201, PIN_TYPE_MIC, PIN_TYPE_SPK},         // microphone
    {0x0202, PIN_TYPE_FMIC, PIN_TYPE_SPK},        // desktop microphone
    {0x0302, PIN_TYPE_HP, PIN_TYPE_HP},           // headphones
    {0x0401, PIN_TYPE_HANDSET, PIN_TYPE_HANDSET}, // handset
    {0x0402, PIN_TYPE_HEADSET, PIN_TYPE_HEADSET}, // headset
    {0x0601, PIN_TYPE_LINE, PIN_TYPE_LINE},       // analog connector
    {0x0603, PIN_TYPE_LINE, PIN_TYPE_LINE},       // line connector
    {0x0605, PIN_TYPE_SPDIF, PIN_TYPE_SPDIF},     // S/PDIF interface
};
constexpr ULONG TERMINAL_PIN_TYPE_ROWS = sizeof(kTerminalPinTypes) / sizeof(kTerminalPinTypes[0]);

const TerminalPinTypeRow* FindRow(USHORT TerminalType)
{
    for (ULONG i = 0; i < TERMINAL_PIN_TYPE_ROWS; i++)
    {
        if (kTerminalPinTypes[i].TerminalType == TerminalType)
        {
            return &kTerminalPinTypes[i];
        }
    }
    return nullptr;
}

} // namespace

ULONG InputTerminalPinType(USHORT TerminalType)
{
    const TerminalPinTypeRow* row = FindRow(TerminalType);
    return row ? row->InputPinType : PIN_TYPE_LINE;
}

ULONG OutputTerminalPinType(USHORT TerminalType)
{
    const TerminalPinTypeRow* row = FindRow(TerminalType);
    return row ? row->OutputPinType : PIN_TYPE_SPK;
}

NTSTATUS SinglePinTypeCount(PULONG Count)
{
    PAGED_CODE();
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS SetSinglePinType(ITerminalNode* Terminal, ULONG PinType)
{
    PAGED_CODE();
    ULONG current = 0;
    NTSTATUS status = Terminal->GetPinType(&current);
    return NT_SUCCESS(status) && PinType == current ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}
