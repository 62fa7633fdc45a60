// The jacks of the class-2 terminals: the jack block a terminal reports with a class request (a
// count, then per jack its channel mapping and configuration word), turned into jack records,
// and the connector state that says which of them are plugged in.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "driver/core/topology_node_if.h"

// Reads the jack block of terminal TerminalId into *Records (Count records allocated with Tag,
// null when there are none). A refused read of the head or of the block, or a block whose
// count differs from its head's, fails and leaves no records; a count of 0 gives no records.
// PASSIVE_LEVEL.
NTSTATUS Uac2ReadJackRecords(PUNKNOWN Device, UCHAR TerminalId, ULONG Tag, PULONG Count,
                             JackRecord** Records);

// Frees what Uac2ReadJackRecords allocated; Count becomes 0. PASSIVE_LEVEL.
VOID Uac2FreeJackRecords(ULONG Tag, PULONG Count, JackRecord** Records);

// Copies Count jacks into Records, each connected exactly while the connector state has a
// channel of its mapping plugged in. A refused or short state read is returned, with every jack
// copied as unplugged. PASSIVE_LEVEL.
NTSTATUS Uac2CopyJacksWithState(PUNKNOWN Device, UCHAR TerminalId, ULONG Count, const JackRecord* Jacks,
                                PVOID Records);
