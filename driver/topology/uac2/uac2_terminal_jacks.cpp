// The class-2 terminals' jack block and connector state.
#include "driver/topology/uac2/uac2_terminal_jacks.h"

#include "driver/topology/uac1/uac1_terminal_jacks.h"
#include "driver/topology/uac2/uac2_entity_request.h"

namespace
{

constexpr ULONG JACK_ENTRY_BYTES = 8;
constexpr ULONG JACK_HEAD_BYTES = 1 + JACK_ENTRY_BYTES; // the count and the first entry
constexpr ULONG CONNECTOR_STATE_BYTES = 6;              // byte 1: the plugged-in channels
constexpr ULONG JACK_ALWAYS_CONNECTED_MASK = 0x00000F00;

// The class-2 record: the class-1 fields, with the connector control as the only source of
// the plugged-in state (no jack is marked as sensing presence itself).
VOID FillUac2JackRecord(const UCHAR* Entry, JackRecord* Record)
{
    Uac1FillJackRecord(Entry, Record);
    ULONG configuration =
        ULONG(Entry[4]) | ULONG(Entry[5]) << 8 | ULONG(Entry[6]) << 16 | ULONG(Entry[7]) << 24;
    Record->Flags = JACK_FLAG_NO_PRESENCE_DETECT;
    Record->IsConnected = (configuration & JACK_ALWAYS_CONNECTED_MASK) ? 1 : 0;
}

} // namespace

NTSTATUS Uac2ReadJackRecords(PUNKNOWN Device, UCHAR TerminalId, ULONG Tag, PULONG Count, JackRecord** Records)
{
    PAGED_CODE();
    *Count = 0;
    *Records = nullptr;
    UCHAR head[JACK_HEAD_BYTES];
    RtlZeroMemory(head, sizeof(head));
    ULONG received = 0;
    NTSTATUS status = Uac2EntityRequest(Device, TRUE, UAC2_REQUEST_CUR, UAC2_JACK_BLOCK_VALUE, TerminalId,
                                        head, sizeof(head), &received);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (received == 0 || head[0] == 0)
    {
        return STATUS_SUCCESS;
    }
    const ULONG count = head[0];
    const ULONG bytes = count * JACK_ENTRY_BYTES + 1;
    PUCHAR pBlock = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes, UAC2_ENTITY_POOL_TAG));
    JackRecord* pRecords =
        static_cast<JackRecord*>(ExAllocatePoolWithTag(NonPagedPool, count * sizeof(JackRecord), Tag));
    status = pBlock && pRecords ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
    {
        RtlZeroMemory(pBlock, bytes);
        RtlZeroMemory(pRecords, count * sizeof(JackRecord));
        status = Uac2EntityRead(Device, UAC2_REQUEST_CUR, UAC2_JACK_BLOCK_VALUE, TerminalId, pBlock, bytes);
    }
    if (NT_SUCCESS(status) && pBlock[0] != count)
    {
        status = STATUS_UNSUCCESSFUL;
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < count; i++)
    {
        FillUac2JackRecord(pBlock + 1 + i * JACK_ENTRY_BYTES, &pRecords[i]);
    }
    if (pBlock)
    {
        ExFreePoolWithTag(pBlock, UAC2_ENTITY_POOL_TAG);
    }
    if (!NT_SUCCESS(status))
    {
        if (pRecords)
        {
            ExFreePoolWithTag(pRecords, Tag);
        }
        return status;
    }
    *Count = count;
    *Records = pRecords;
    return STATUS_SUCCESS;
}

VOID Uac2FreeJackRecords(ULONG Tag, PULONG Count, JackRecord** Records)
{
    if (*Records)
    {
        ExFreePoolWithTag(*Records, Tag);
        *Records = nullptr;
    }
    *Count = 0;
}

NTSTATUS Uac2CopyJacksWithState(PUNKNOWN Device, UCHAR TerminalId, ULONG Count, const JackRecord* Jacks,
                                PVOID Records)
{
    PAGED_CODE();
    UCHAR state[CONNECTOR_STATE_BYTES];
    RtlZeroMemory(state, sizeof(state));
    ULONG received = 0;
    NTSTATUS status = Uac2EntityRequest(Device, TRUE, UAC2_REQUEST_CUR, UAC2_CONNECTOR_VALUE, TerminalId,
                                        state, sizeof(state), &received);
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
        pOut[i].IsConnected = (pOut[i].ChannelMapping & state[1]) ? 1 : 0;
    }
    return status;
}
