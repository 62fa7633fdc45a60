// The driver's private KS property set, shared by the topology filter (ids 2 to 4) and the wave
// filters (ids 1 and 5), so both miniports name one identifier.
#pragma once

#include "ntddk.h"

// {1B4400F0-9627-4EE7-A593-B37C034EF0DE}
DEFINE_GUID(KSPROPSETID_VendorAudio, 0x1B4400F0, 0x9627, 0x4EE7, 0xA5, 0x93, 0xB3, 0x7C, 0x03, 0x4E, 0xF0,
            0xDE);
