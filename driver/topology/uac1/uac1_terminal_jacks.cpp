// The class-1 terminals' jack block and jack state.
#include "driver/topology/uac1/uac1_terminal_jacks.h"

#include "driver/topology/uac1/uac1_entity_request.h"

namespace
{

// Colour (0x00RRGGBB) by bits 12-15 of a jack's configuration word.
const ULONG kJackColorTable[] = {
    0x000000, 0x000000, 0x808080, 0x0000FF, 0x00FF00, 0xFF0000, 0xFF8000, 0xFFFF00,
    0x800080, 0xFF0080, 0x000000, 0x000000, 0x000000, 0x000000, 0xFFFFFF, 0x000000,
};
static_assert(sizeof(kJackColorTable) / sizeof(kJackColorTable[0]) == 16, "one colour per 4-bit code");

constexpr ULONG JACK_ENTRY_BYTES = 8;
constexpr ULONG JACK_HEAD_BYTES = 1 + JACK_ENTRY_BYTES; // the count and the first entry
constexpr ULONG JACK_STATE_BYTES = 6;                   // byte 1: the plugged-in channels
constexpr ULONG JACK_ALWAYS_CONNECTED_MASK = 0x00000F00;

ULONG ReadUlong(const UCHAR* Bytes)
{
    return ULONG(Bytes[0]) | ULONG(Bytes[1]) << 8 | ULONG(Bytes[2]) << 16 | ULONG(Bytes[3]) << 24;
}

// The block whose head announced Count jacks; the device must send all of it, with the same count.
NTSTATUS ReadJackEntries(PUNKNOWN Device, UCHAR TerminalId, ULONG Count, JackRecord* Records)
{
    ULONG bytes = Count * JACK_ENTRY_BYTES + 1;
    PUCHAR pBlock = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes, UAC1_ENTITY_POOL_TAG));
    if (!pBlock)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pBlock, bytes);
    NTSTATUS status = Uac1EntityRead(Device, UAC1_REQUEST_VENDOR, UAC1_VENDOR_TERMINAL_TYPE_REQUEST,
                                     UAC1_VENDOR_JACK_BLOCK_VALUE, TerminalId, pBlock, bytes);
    if (NT_SUCCESS(status) && pBlock[0] != Count)
    {
        status = STATUS_UNSUCCESSFUL;
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < Count; i++)
    {
        Uac1FillJackRecord(pBlock + 1 + i * JACK_ENTRY_BYTES, &Records[i]);
    }
    ExFreePoolWithTag(pBlock, UAC1_ENTITY_POOL_TAG);
    return status;
}

} // namespace

VOID Uac1FillJackRecord(const UCHAR* Entry, JackRecord* Record)
{
    ULONG configuration = ReadUlong(Entry + 4);
    RtlZeroMemory(Record, sizeof(*Record));
    Record->ChannelMapping = ReadUlong(Entry);
    Record->Color = kJackColorTable[(configuration >> 12) & 0xF];
    Record->ConnectionType = (configuration >> 16) & 0xFF;
    Record->GeoLocation = (configuration >> 24) & 0xF;
    Record->GenLocation = (configuration >> 28) & 0xF;
    // A jack wired as always connected has no switch to sense a plug with.
    if (configuration & JACK_ALWAYS_CONNECTED_MASK)
    {
        Record->Flags = JACK_FLAG_NO_PRESENCE_DETECT;
        Record->IsConnected = 1;
    }
}

NTSTATUS Uac1ReadJackRecords(PUNKNOWN Device, UCHAR TerminalId, PULONG Count, JackRecord** Records)
{
    PAGED_CODE();
    *Count = 0;
    *Records = nullptr;
    UCHAR head[JACK_HEAD_BYTES];
    RtlZeroMemory(head, sizeof(head));
    ULONG received = 0;
    NTSTATUS status =
        Uac1EntityRequest(Device, UAC1_REQUEST_VENDOR, TRUE, UAC1_VENDOR_TERMINAL_TYPE_REQUEST,
                          UAC1_VENDOR_JACK_BLOCK_VALUE, TerminalId, head, sizeof(head), &received);
    if (!NT_SUCCESS(status) || received == 0 || head[0] == 0)
    {
        return STATUS_SUCCESS;
    }
    ULONG count = head[0];
    JackRecord* pRecords = static_cast<JackRecord*>(
        ExAllocatePoolWithTag(NonPagedPool, count * sizeof(JackRecord), UAC1_ENTITY_POOL_TAG));
    if (!pRecords)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pRecords, count * sizeof(JackRecord));
    status = ReadJackEntries(Device, TerminalId, count, pRecords);
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(pRecords, UAC1_ENTITY_POOL_TAG);
        return status;
    }
    *Count = count;
    *Records = pRecords;
    return STATUS_SUCCESS;
}

VOID Uac1FreeJackRecords(PULONG Count, JackRecord** Records)
{
    if (*Records)
    {
        ExFreePoolWithTag(*Records, UAC1_ENTITY_POOL_TAG);
        *Records = nullptr;
    }
    *Count = 0;
}

NTSTATUS Uac1CopyJacksWithState(PUNKNOWN Device, UCHAR TerminalId, ULONG Count, const JackRecord* Jacks,
                                PVOID Records)
{
    PAGED_CODE();
    UCHAR state[JACK_STATE_BYTES];
    RtlZeroMemory(state, sizeof(state));
    ULONG received = 0;
    NTSTATUS status =
        Uac1EntityRequest(Device, UAC1_REQUEST_VENDOR, TRUE, UAC1_VENDOR_TERMINAL_TYPE_REQUEST,
                          UAC1_VENDOR_JACK_STATE_VALUE, TerminalId, state, sizeof(state), &received);
    if (NT_SUCCESS(status) && received < 2)
    {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status))
    {
        state[1] = 0;
    }
    JackRecord* pOut = static_cast<JackRecord*>(Records);
    RtlCopyMemory(pOut, Jacks, Count * sizeof(JackRecord));
    for (ULONG i = 0; i < Count; i++)
    {
        if (pOut[i].ChannelMapping & state[1])
        {
            pOut[i].IsConnected = 1;
        }
        else if (!(pOut[i].Flags & JACK_FLAG_NO_PRESENCE_DETECT))
        {
            pOut[i].IsConnected = 0;
        }
        else
        {
            pOut[i].IsConnected = 1;
            status = STATUS_SUCCESS;
        }
    }
    return status;
}
