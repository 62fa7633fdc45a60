// Feedback values to the render stream's sizing rate, on the values devices report: the
// 44.1 kHz family lands on whole hertz, values far from the nominal rate are ignored, and the
// average of a transfer's values sizes the packets.
#include <gtest/gtest.h>

#include "driver/wave/uac2_feedback.h"
#include "usbdlib.h"

#include <cmath>
#include <vector>

namespace
{

// Count copies of a value in the wire form of its size.
std::vector<UCHAR> Wire(ULONG value, ULONG bytes, ULONG count = 1)
{
    std::vector<UCHAR> data;
    for (ULONG i = 0; i < count; ++i)
        for (ULONG b = 0; b < bytes; ++b)
            data.push_back(UCHAR(value >> (8 * b)));
    return data;
}

// The value a device of that rate reports, rounded to nearest as the simulated one does.
ULONG Reported(double hz, ULONG bytes)
{
    return bytes == 4 ? ULONG(hz / 8000.0 * 65536.0 + 0.5) : ULONG(hz / 1000.0 * 16384.0 + 0.5);
}

TEST(Uac2Feedback, ValuesConvertToTheRateTheyStandFor)
{
    const struct
    {
        ULONG Wire, Bytes, PacketsPerSecond, Hz;
    } cases[] = {
        {0x0B0640, 3, 1000, 44100},   // 44.1 x 16384, snapped: 44,097 without
        {0x00058380, 4, 8000, 44100}, // 5.5125 x 65536 at 8,000 microframes
        {0x00060000, 4, 8000, 48000}, {0x000C0000, 3, 1000, 48000}, {0x00180000, 4, 8000, 192000},
        {0x0002C1F0, 4, 8000, 22060}, // 22,060.5 Hz, not of the family: truncated
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Wire);
        const std::vector<UCHAR> data = Wire(c.Wire, c.Bytes);
        EXPECT_EQ(Uac2FeedbackValueToHz(Uac2ReadFeedbackValue(data.data(), c.Bytes), c.PacketsPerSecond),
                  c.Hz);
    }
    // A rate keeps the fraction of a hertz that the value carries: 22,060.546875 Hz.
    const std::vector<UCHAR> fraction = Wire(0x0002C1F0, 4);
    EXPECT_EQ(Uac2ReadFeedbackRate(fraction.data(), 4, 8000), 0x0002C1F0ull * 8000);
    EXPECT_DOUBLE_EQ(Uac2ReadFeedbackRate(fraction.data(), 4, 8000) / 65536.0, 22060.546875);
    // What devices of the 44.1 kHz family report, for each rate and 500 Hz either side of it,
    // converts to whole hertz.
    const struct
    {
        ULONG Wire, Bytes, Hz;
    } family[] = {
        {0x0B0640, 3, 44100},  {0x0AE640, 3, 43600},  {0x0B2640, 3, 44600},  {0x160CC0, 3, 88200},
        {0x15ECC0, 3, 87700},  {0x162CC0, 3, 88700},  {0x2C1980, 3, 176400}, {0x2BF980, 3, 175900},
        {0x2C3980, 3, 176900}, {0x58380, 4, 44100},   {0x57380, 4, 43600},   {0x59380, 4, 44600},
        {0xB0640, 4, 88200},   {0xAF640, 4, 87700},   {0xB1640, 4, 88700},   {0x160C60, 4, 176400},
        {0x15FC60, 4, 175900}, {0x161C60, 4, 176900},
    };
    for (const auto& f : family)
    {
        const std::vector<UCHAR> data = Wire(f.Wire, f.Bytes);
        const ULONG value = Uac2ReadFeedbackValue(data.data(), f.Bytes);
        EXPECT_EQ(Uac2FeedbackValueToHz(value, f.Bytes == 4 ? 8000 : 1000), f.Hz)
            << f.Bytes << " bytes " << f.Hz;
        // As a rate it is the whole rate, without the fraction that rounding up left in 16.16.
        EXPECT_EQ(Uac2ReadFeedbackRate(data.data(), f.Bytes, f.Bytes == 4 ? 8000 : 1000),
                  Uac2RateFromHz(f.Hz));
        // Unsnapped, each would miss the whole rate.
        EXPECT_NE(Uac2FeedbackValueToHz(f.Bytes == 3 ? f.Wire << 2 : f.Wire, f.Bytes == 4 ? 8000 : 1000),
                  f.Hz);
    }
}

TEST(Uac2Feedback, HighSpeedValuesCountPerMicroframeWhateverTheDataInterval)
{
    // 48 kHz as 16.16 per microframe, on data endpoints served every 1, 2, 4 and 8 microframes.
    const std::vector<UCHAR> data = Wire(6u << 16, 4, 10);
    for (ULONG packetsPerFrame : {8u, 4u, 2u, 1u})
    {
        ULONGLONG rate = 0;
        EXPECT_TRUE(Uac2FeedbackSizingRate(data.data(), 10, 4,
                                           Uac2FeedbackValuesPerSecond(4, packetsPerFrame), 48000, &rate));
        EXPECT_EQ(rate, Uac2RateFromHz(48000)) << packetsPerFrame;
    }
    EXPECT_EQ(Uac2FeedbackValuesPerSecond(3, 1), 1000u); // 10.14 per 1 ms frame
}

// The rates below are in hertz with their fraction: the oracle is each value's own rate (16.16
// times the values a second), averaged in floating point.
TEST(Uac2Feedback, SizingRateIsTheAverageOfTheValuesNearTheNominalRate)
{
    const double kKept = 12345.5;
    // Ten values of a device of that rate, as a device reports them one by one (rounded).
    auto at = [](double hz, ULONG bytes) { return std::vector<ULONG>(10, Reported(hz, bytes)); };
    auto hzOf = [](ULONG value, ULONG bytes)
    { return bytes == 4 ? value * 8000.0 / 65536.0 : value * 1000.0 / 16384.0; };
    const ULONG k44100 = 0x58380, k44600 = 0x59380; // as devices of the family report them
    // 44.1 kHz at high speed is 361,267.2 in 16.16: a device that counts its clock reports
    // 361,267 eight times in ten and 361,268 twice.
    std::vector<ULONG> counted(10, 361267);
    counted[3] = counted[8] = 361268;
    const struct
    {
        const char* Name;
        std::vector<ULONG> Values; // one per packet, on the wire
        ULONG Bytes, Nominal;
        double ExpectedHz;
    } cases[] = {
        {"nominal", at(48000, 4), 4, 48000, 48000},
        {"+500 ppm", at(48024, 4), 4, 48000, hzOf(Reported(48024, 4), 4)},
        {"-500 ppm, full speed", at(47976, 3), 3, 48000, hzOf(Reported(47976, 3), 3)},
        {"+500 ppm at 44.1 kHz keeps its fraction", at(44122.05, 4), 4, 44100,
         hzOf(Reported(44122.05, 4), 4)},
        {"a counting device's mean is its clock", counted, 4, 44100, 44100.0},
        {"one outlier of 500 Hz moves the rate twice its share",
         {k44100, k44100, k44100, k44100, k44600, k44100, k44100, k44100, k44100, k44100},
         4,
         44100,
         44200},
        {"a value 1,900 Hz off is ignored",
         {Reported(46000, 4), k44100, k44100, k44100, k44100, k44100, k44100, k44100, k44100, k44100},
         4,
         44100,
         44100},
        {"the window's edge is in", at(49000, 4), 4, 48000, 49000},
        {"no value in the window keeps the rate", at(50000, 4), 4, 48000, kKept},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        std::vector<UCHAR> data;
        for (ULONG value : c.Values)
        {
            const std::vector<UCHAR> one = Wire(value, c.Bytes);
            data.insert(data.end(), one.begin(), one.end());
        }
        ULONGLONG rate = ULONGLONG(kKept * 65536);
        const BOOLEAN changed = Uac2FeedbackSizingRate(data.data(), ULONG(c.Values.size()), c.Bytes,
                                                       c.Bytes == 4 ? 8000 : 1000, c.Nominal, &rate);
        // Within the rounding of the average to 1/65536 Hz.
        EXPECT_NEAR(rate / 65536.0, c.ExpectedHz, 1.0 / 65536);
        EXPECT_EQ(changed != FALSE, c.ExpectedHz != kKept);
    }
}

// Packets sized for a rate with a fraction carry, over any run, the frames of that rate to within
// one: 44,100.25 Hz at full speed over 100 s of packets sends 4,410,025 frames, never the
// 4,410,000 of the whole rate.
TEST(Uac2Feedback, PacketsFollowTheFractionOfTheSizingRate)
{
    const struct
    {
        double RateHz;
        ULONG PacketsPerSecond, BaseFrames;
    } cases[] = {{44100.25, 1000, 44}, {47975.95, 8000, 5}, {48024.0703125, 1000, 48}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.RateHz);
        std::vector<UCHAR> urb(GET_ISO_URB_SIZE(10));
        auto& iso = reinterpret_cast<PURB>(urb.data())->UrbIsochronousTransfer;
        const ULONGLONG rate = ULONGLONG(std::llround(c.RateHz * 65536));
        LONGLONG remainder = 0;
        ULONGLONG frames = 0;
        const ULONG transfers = 100 * c.PacketsPerSecond / 10;
        for (ULONG t = 0; t < transfers; ++t)
            frames += Uac2SizeRenderPackets(&iso, 10, rate, c.BaseFrames, c.PacketsPerSecond,
                                            c.BaseFrames + 1, 1, &remainder);
        EXPECT_NEAR(double(frames), rate / 65536.0 * 100, 1.0);
    }
}

} // namespace
