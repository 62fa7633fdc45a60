// ITerminalJacks: the jacks of an output terminal that can take several pin types, kept per
// pin index (the position of the pin type in the terminal's list). The output pin node of
// each pin index reads its own jacks through it.
#pragma once

#include "ntddk.h"
#include "portcls.h"

// {4A017AE4-0F6C-4060-8A59-AC5A500887B4}
DEFINE_GUID(IID_ITerminalJacks, 0x4A017AE4, 0x0F6C, 0x4060, 0x8A, 0x59, 0xAC, 0x5A, 0x50, 0x08, 0x87, 0xB4);

// Implemented by the output-terminal entities of both class releases beside ITerminalNode;
// a terminal that does not answer it has the jacks of ITerminalNode at pin index 0 only.
// Called by the output pin nodes. PASSIVE_LEVEL.
DECLARE_INTERFACE_(ITerminalJacks, IUnknown)
{
    // A pin index not below the pin-type count: STATUS_INVALID_PARAMETER.
    STDMETHOD_(NTSTATUS, GetJackCountAt)(ULONG PinIndex, PULONG Count) PURE;
    // Copies the pin index's jack records (JackRecord each) into Bytes bytes of Records.
    STDMETHOD_(NTSTATUS, GetJackDescriptionsAt)(ULONG PinIndex, ULONG Bytes, PVOID Records) PURE;
};
typedef ITerminalJacks* PTERMINALJACKS;
