// The pin type a USB terminal type stands for, as the terminal builders pass it to the endpoint
// capability lookup and as output terminals report it.
#pragma once

#include "ntddk.h"

// Microphones, connectors, headsets: the capture endpoint's role. Any IRQL.
ULONG InputTerminalPinType(USHORT TerminalType);
// Speakers, headphones, connectors: the render endpoint's role; USB streaming counts as a
// speaker. Any IRQL.
ULONG OutputTerminalPinType(USHORT TerminalType);
