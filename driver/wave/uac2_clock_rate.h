// What the class-2 streams share: the rate goes to the clock source entity that the streaming
// interface's terminal uses, through that entity's node among the device's nodes.
#pragma once

#include "ntddk.h"
#include "portcls.h"

// The staging ring of a class-2 stream.
#define UAC2_STREAM_RING_POOL_TAG MAKE_POOL_TAG('U', 'S', '2', '0')

// Sets the rate of the clock node with that id (the last of the device's nodes with it) through
// its IClockSourceNode; STATUS_UNSUCCESSFUL when the device has no such node, or the node's own
// failure. PASSIVE_LEVEL, pageable.
NTSTATUS SetClockSourceRateUac2(PUNKNOWN DeviceUnknown, ULONG InterfaceNumber, ULONG ClockNodeId,
                                ULONG RateHz);
