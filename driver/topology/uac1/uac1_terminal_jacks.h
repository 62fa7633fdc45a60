// The jacks of the class-1 terminals: the jack block a terminal reports with a vendor request (a
// count, then per jack its channel mapping and configuration word), turned into jack records,
// and the jack state that says which of them are plugged in.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "driver/core/topology_node_if.h"

// Reads the jack block of terminal TerminalId into *Records (Count records, UAC1_ENTITY_POOL_TAG,
// null when there are none). A refused or empty first read means the terminal has no jacks and
// succeeds; a refused second read, or a reply shorter than the count it announces, fails and
// leaves no records. PASSIVE_LEVEL.
NTSTATUS Uac1ReadJackRecords(PUNKNOWN Device, UCHAR TerminalId, PULONG Count, JackRecord** Records);

// Frees what Uac1ReadJackRecords allocated; Count becomes 0. PASSIVE_LEVEL.
VOID Uac1FreeJackRecords(PULONG Count, JackRecord** Records);

// One 8-byte block entry (u32 channel mapping, u32 configuration word) as a jack record.
VOID Uac1FillJackRecord(const UCHAR* Entry, JackRecord* Record);

// Copies Count jacks into Records, each marked connected while the device's jack state says a
// channel of its mapping is plugged in. A jack without presence detection is always connected,
// and the copy then succeeds even when the jack state could not be read; otherwise a refused
// jack-state read is returned (the jacks are copied as unplugged). PASSIVE_LEVEL.
NTSTATUS Uac1CopyJacksWithState(PUNKNOWN Device, UCHAR TerminalId, ULONG Count, const JackRecord* Jacks,
                                PVOID Records);
