// Feedback values of a class-2 render endpoint to the packet sizing rate.
#include "driver/wave/uac2_feedback.h"

#include "usbdlib.h"

namespace
{

// Devices of the 44.1 kHz family report a 16.16 value that truncates to a rate one or two
// hertz low (44,097 Hz for 44,100); such a value stands for the whole rate. In 16.16 it is
// replaced by the exact value rounded up, and as a rate it is the whole rate itself. The values
// of each rate and of 500 Hz either side of it are listed.
struct FeedbackSnapRow
{
    ULONG Bytes;       // the form the device reports in
    ULONG Reported;    // 16.16, after the full-speed form's shift
    ULONG Replacement; // 16.16
    ULONG RateHz;      // what it stands for, at the form's own values a second
};

// form, reported, replacement, rate (Hz)
const FeedbackSnapRow kFeedbackSnapRows[] = {
    {3, 0x2C1900, 2890138, 44100},   {3, 0x2B9900, 2857376, 43600},   {3, 0x2C9900, 2922912, 44600},
    {3, 0x583300, 5780280, 88200},   {3, 0x57B300, 5747512, 87700},   {3, 0x58B300, 5813048, 88700},
    {3, 0xB06600, 11560552, 176400}, {3, 0xAFE600, 11527784, 175900}, {3, 0xB0E600, 11593320, 176900},
    {4, 0x58380, 361268, 44100},     {4, 0x57380, 357172, 43600},     {4, 0x59380, 365364, 44600},
    {4, 0xB0640, 722535, 88200},     {4, 0xAF640, 718439, 87700},     {4, 0xB1640, 726631, 88700},
    {4, 0x160C60, 1445069, 176400},  {4, 0x15FC60, 1440973, 175900},  {4, 0x161C60, 1449165, 176900},
};

// The 10.14 form carries two bits less of fraction than 16.16.
constexpr ULONG FULL_SPEED_FEEDBACK_SHIFT = 2;
// The values a second each form's table rows were drawn up for: 1 ms frames, 125 us microframes.
constexpr ULONG FULL_SPEED_VALUES_PER_SECOND = 1000;
constexpr ULONG HIGH_SPEED_VALUES_PER_SECOND = 8000;

// The value as 16.16, before any snapping.
ULONG ReadWireValue(const UCHAR* Data, ULONG Bytes)
{
    ULONG value = ULONG(Data[0]) | ULONG(Data[1]) << 8 | ULONG(Data[2]) << 16;
    if (Bytes == UAC2_FEEDBACK_BYTES_HIGH_SPEED)
    {
        return value | ULONG(Data[3]) << 24;
    }
    return value << FULL_SPEED_FEEDBACK_SHIFT;
}

const FeedbackSnapRow* FindSnapRow(ULONG Value, ULONG Bytes)
{
    for (const FeedbackSnapRow& row : kFeedbackSnapRows)
    {
        if (row.Bytes == Bytes && row.Reported == Value)
        {
            return &row;
        }
    }
    return nullptr;
}

} // namespace

ULONG Uac2ReadFeedbackValue(const UCHAR* Data, ULONG Bytes)
{
    const ULONG value = ReadWireValue(Data, Bytes);
    const FeedbackSnapRow* pRow = FindSnapRow(value, Bytes);
    return pRow ? pRow->Replacement : value;
}

ULONGLONG Uac2ReadFeedbackRate(const UCHAR* Data, ULONG Bytes, ULONG PacketsPerSecond)
{
    const ULONG value = ReadWireValue(Data, Bytes);
    const FeedbackSnapRow* pRow = FindSnapRow(value, Bytes);
    const ULONG rowValuesPerSecond =
        Bytes == UAC2_FEEDBACK_BYTES_HIGH_SPEED ? HIGH_SPEED_VALUES_PER_SECOND : FULL_SPEED_VALUES_PER_SECOND;
    if (pRow && PacketsPerSecond == rowValuesPerSecond)
    {
        return Uac2RateFromHz(pRow->RateHz);
    }
    return ULONGLONG(pRow ? pRow->Replacement : value) * PacketsPerSecond;
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
// means the whole step, and the rate moves by that much once more. The window and the step are
// judged on whole hertz, the average keeps its fraction.
BOOLEAN Uac2FeedbackSizingRate(const UCHAR* Data, ULONG Count, ULONG Bytes, ULONG PacketsPerSecond,
                               ULONG NominalHz, PULONGLONG SizingRate)
{
    ULONGLONG sum = 0;
    ULONG accepted = 0;
    for (ULONG i = 0; i < Count; ++i)
    {
        const ULONGLONG rate = Uac2ReadFeedbackRate(Data + i * Bytes, Bytes, PacketsPerSecond);
        const LONGLONG offset = LONGLONG(NominalHz) - LONGLONG(rate >> UAC2_RATE_FRACTION_BITS);
        if (offset >= -LONGLONG(UAC2_FEEDBACK_WINDOW_HZ) && offset <= LONGLONG(UAC2_FEEDBACK_WINDOW_HZ))
        {
            sum += rate;
            ++accepted;
        }
    }
    if (accepted == 0)
    {
        return FALSE;
    }
    const ULONGLONG average = (sum + accepted / 2) / accepted;
    const LONGLONG step = LONGLONG(500 / Count);
    const LONGLONG offset = LONGLONG(average >> UAC2_RATE_FRACTION_BITS) - LONGLONG(NominalHz);
    *SizingRate = offset == step || offset == -step ? 2 * average - Uac2RateFromHz(NominalHz) : average;
    return TRUE;
}

// Below the nominal rate the remainder runs negative and packets of one frame less appear; a
// rate near the top of the window would ask for more than a packet slot holds, and is cut. The
// remainder keeps the rate's fraction, so the frames sent follow the rate over any length of
// time to within one frame.
ULONG Uac2SizeRenderPackets(struct _URB_ISOCH_TRANSFER* Iso, ULONG Packets, ULONGLONG SizingRate,
                            ULONG BaseFrames, ULONG PacketsPerSecond, ULONG MaxFrames, ULONG BlockAlign,
                            PLONGLONG Remainder)
{
    const LONGLONG perSecond = LONGLONG(Uac2RateFromHz(PacketsPerSecond));
    const LONGLONG step = LONGLONG(SizingRate) - LONGLONG(BaseFrames) * perSecond;
    ULONG offset = 0;
    for (ULONG i = 0; i < Packets; ++i)
    {
        *Remainder += step;
        const LONGLONG carry = *Remainder / perSecond;
        *Remainder -= carry * perSecond;
        LONGLONG frames = LONGLONG(BaseFrames) + carry;
        frames = frames < 0 ? 0 : frames > LONGLONG(MaxFrames) ? LONGLONG(MaxFrames) : frames;
        Iso->IsoPacket[i].Offset = offset;
        Iso->IsoPacket[i].Length = ULONG(frames) * BlockAlign;
        offset += Iso->IsoPacket[i].Length;
    }
    return offset;
}
