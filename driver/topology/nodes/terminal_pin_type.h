// The pin type a USB terminal type stands for, as the terminal builders pass it to the endpoint
// capability lookup and as output terminals report it.
#pragma once

#include "ntddk.h"
#include "driver/core/topology_node_if.h"

// Microphones, connectors, headsets: the capture endpoint's role. Any IRQL.
ULONG InputTerminalPinType(USHORT TerminalType);
// Speakers, headphones, connectors: the render endpoint's role; USB streaming counts as a
// speaker. Any IRQL.
ULONG OutputTerminalPinType(USHORT TerminalType);

// The pin-type slots of a terminal that has one pin type, its current one: the count is 1, and
// setting succeeds for that type alone (STATUS_INVALID_PARAMETER for any other, or when the
// terminal cannot say its type). PASSIVE_LEVEL.
NTSTATUS SinglePinTypeCount(PULONG Count);
NTSTATUS SetSinglePinType(ITerminalNode* Terminal, ULONG PinType);
