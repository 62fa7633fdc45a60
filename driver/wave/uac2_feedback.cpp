// Feedback values of a class-2 render endpoint to the packet sizing rate.
#include "driver/wave/uac2_feedback.h"

#include "usbdlib.h"

namespace
{

// Devices of the 44.1 kHz family report a 16.16 value that truncates to a rate one or two
// hertz low (44,097 Hz for 44,100); the value is replaced by the one that stands for the whole
// rate (the exact value rounded up), so that such a device is fed at the rate it runs at. The
// values of each rate and of 500 Hz either side of it are listed.
struct FeedbackSnapRow
{
    ULONG Bytes;       // the form the device reports in
    ULONG Reported;    // 16.16, after the full-speed form's shift
    ULONG Replacement; // 16.16
};

// form  reported   replacement    rate (Hz)
const FeedbackSnapRow kFeedbackSnapRows[] = {
    {3, 0x2C1900, 2890138},  // 44,100
    {3, 0x2B9900, 2857376},  // 43,600
    {3, 0x2C9900, 2922912},  // 44,600
    {3, 0x583300, 5780280},  // 88,200
    {3, 0x57B300, 5747512},  // 87,700
    {3, 0x58B300, 5813048},  // 88,700
    {3, 0xB06600, 11560552}, // 176,400
    {3, 0xAFE600, 11527784}, // 175,900
    {3, 0xB0E600, 11593320}, // 176,900
    {4, 0x58380, 361268},    // 44,100 at 8,000 microframes a second
    {4, 0x57380, 357172},    // 43,600
    {4, 0x59380, 365364},    // 44,600
    {4, 0xB0640, 722535},    // 88,200
    {4, 0xAF640, 718439},    // 87,700
    {4, 0xB1640, 726631},    // 88,700
    {4, 0x160C60, 1445069},  // 176,400
    {4, 0x15FC60, 1440973},  // 175,900
    {4, 0x161C60, 1449165},  // 176,900
};

// The 10.14 form carries two bits less of fraction than 16.16.
constexpr ULONG FULL_SPEED_FEEDBACK_SHIFT = 2;

} // namespace

ULONG Uac2ReadFeedbackValue(const UCHAR* Data, ULONG Bytes)
{
    ULONG value = ULONG(Data[0]) | ULONG(Data[1]) << 8 | ULONG(Data[2]) << 16;
    if (Bytes == UAC2_FEEDBACK_BYTES_HIGH_SPEED)
    {
        value |= ULONG(Data[3]) << 24;
    }
    else
    {
        value <<= FULL_SPEED_FEEDBACK_SHIFT;
    }
    for (const FeedbackSnapRow& row : kFeedbackSnapRows)
    {
        if (row.Bytes == Bytes && row.Reported == value)
        {
            return row.Replacement;
        }
    }
    return value;
}

// A high-speed data endpoint served every 2nd to 8th microframe still hears of the device's
// rate per microframe; counting such a value per data packet would put every rate outside the
// window and the stream would never follow its device.
ULONG Uac2FeedbackValuesPerSecond(ULONG Bytes, ULONG DataPacketsPerFrame)
{
    return Bytes == UAC2_FEEDBACK_BYTES_HIGH_SPEED ? 8 * 1000 : DataPacketsPerFrame * 1000;
}

ULONG Uac2FeedbackValueToHz(ULONG Value, ULONG PacketsPerSecond)
{
    return (Value >> 16) * PacketsPerSecond + ULONG(ULONGLONG(Value & 0xFFFF) * PacketsPerSecond / 65536);
}

// A single value 500 Hz off among N moves the average by exactly 500 / N; the device then
// means the whole step, and the rate moves by that much once more.
BOOLEAN Uac2FeedbackSizingRate(const UCHAR* Data, ULONG Count, ULONG Bytes, ULONG PacketsPerSecond,
                               ULONG NominalHz, PULONG SizingRateHz)
{
    ULONG sum = 0;
    ULONG accepted = 0;
    for (ULONG i = 0; i < Count; ++i)
    {
        const ULONG hz =
            Uac2FeedbackValueToHz(Uac2ReadFeedbackValue(Data + i * Bytes, Bytes), PacketsPerSecond);
        const LONG offset = LONG(NominalHz) - LONG(hz);
        if (offset >= -LONG(UAC2_FEEDBACK_WINDOW_HZ) && offset <= LONG(UAC2_FEEDBACK_WINDOW_HZ))
        {
            sum += hz;
            ++accepted;
        }
    }
    if (accepted == 0)
    {
        return FALSE;
    }
    const LONG average = LONG(sum) / LONG(accepted);
    const LONG step = LONG(500 / Count);
    const LONG offset = average - LONG(NominalHz);
    *SizingRateHz = ULONG(offset == step || offset == -step ? 2 * average - LONG(NominalHz) : average);
    return TRUE;
}

// Below the nominal rate the remainder runs negative and packets of one frame less appear; a
// rate near the top of the window would ask for more than a packet slot holds, and is cut.
ULONG Uac2SizeRenderPackets(struct _URB_ISOCH_TRANSFER* Iso, ULONG Packets, ULONG SizingRateHz,
                            ULONG BaseFrames, ULONG PacketsPerSecond, ULONG MaxFrames, ULONG BlockAlign,
                            PLONG Remainder)
{
    const LONG perSecond = LONG(PacketsPerSecond);
    const LONG step = LONG(SizingRateHz) - LONG(BaseFrames) * perSecond;
    ULONG offset = 0;
    for (ULONG i = 0; i < Packets; ++i)
    {
        *Remainder += step;
        const LONG carry = *Remainder / perSecond;
        *Remainder -= carry * perSecond;
        LONG frames = LONG(BaseFrames) + carry;
        frames = frames < 0 ? 0 : frames > LONG(MaxFrames) ? LONG(MaxFrames) : frames;
        Iso->IsoPacket[i].Offset = offset;
        Iso->IsoPacket[i].Length = ULONG(frames) * BlockAlign;
        offset += Iso->IsoPacket[i].Length;
    }
    return offset;
}
