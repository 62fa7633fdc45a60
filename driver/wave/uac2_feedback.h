// The asynchronous feedback of a class-2 render endpoint: the device's rate as it reports it,
// turned into the rate that the render stream sizes its packets for. Rates keep the fraction of
// a hertz the feedback carries (in 1/65536 Hz): a device a fraction of a hertz above a whole
// rate, fed at the whole rate, would run its buffer dry within minutes.
#pragma once

#include "ntddk.h"
#include "usb.h"

// Bytes of one feedback value: 10.14 samples per 1 ms frame at full speed, 16.16 samples per
// 125 us microframe at high speed.
constexpr ULONG UAC2_FEEDBACK_BYTES_FULL_SPEED = 3;
constexpr ULONG UAC2_FEEDBACK_BYTES_HIGH_SPEED = 4;
// A value further than this from the nominal rate is a misreading and is ignored.
constexpr ULONG UAC2_FEEDBACK_WINDOW_HZ = 1000;
// Fraction bits of a sizing rate: a 16.16 value times the values a second is the rate it stands
// for, exactly, in these units.
constexpr ULONG UAC2_RATE_FRACTION_BITS = 16;

inline ULONGLONG Uac2RateFromHz(ULONG Hz)
{
    return ULONGLONG(Hz) << UAC2_RATE_FRACTION_BITS;
}

// One value as 16.16, with the 44.1 kHz family snapped to the values that convert to whole
// hertz. Bytes: UAC2_FEEDBACK_BYTES_FULL_SPEED or _HIGH_SPEED. Any IRQL.
ULONG Uac2ReadFeedbackValue(const UCHAR* Data, ULONG Bytes);
// The rate at which a value of that form counts its samples: a 16.16 value is per 125 us
// microframe whatever the data endpoint's interval, a 10.14 one per packet of the data endpoint
// (1 ms at full speed). Any IRQL.
ULONG Uac2FeedbackValuesPerSecond(ULONG Bytes, ULONG DataPacketsPerFrame);
// A 16.16 value in hertz at PacketsPerSecond data packets a second (unsigned 32-bit, as the
// device's own arithmetic would do it). Any IRQL.
ULONG Uac2FeedbackValueToHz(ULONG Value, ULONG PacketsPerSecond);
// The rate the value at Data stands for, in 1/65536 Hz with its fraction; a value of the 44.1 kHz
// family stands for its whole rate exactly. Any IRQL.
ULONGLONG Uac2ReadFeedbackRate(const UCHAR* Data, ULONG Bytes, ULONG PacketsPerSecond);
// The sizing rate (1/65536 Hz) from Count values read back to back: the average of those whose
// whole hertz lie within the window of NominalHz, leaving *SizingRate as it was when none does.
// Returns whether it was changed. Any IRQL.
BOOLEAN Uac2FeedbackSizingRate(const UCHAR* Data, ULONG Count, ULONG Bytes, ULONG PacketsPerSecond,
                               ULONG NominalHz, PULONGLONG SizingRate);

// Lays out Packets render packets of a transfer for SizingRate (1/65536 Hz): each carries
// BaseFrames plus the whole frames that the running Remainder (in 1 / (PacketsPerSecond x 65536)
// frames, signed) has gathered, clamped to 0..MaxFrames. Returns the transfer's bytes. Any IRQL.
ULONG Uac2SizeRenderPackets(struct _URB_ISOCH_TRANSFER* Iso, ULONG Packets, ULONGLONG SizingRate,
                            ULONG BaseFrames, ULONG PacketsPerSecond, ULONG MaxFrames, ULONG BlockAlign,
                            PLONGLONG Remainder);
