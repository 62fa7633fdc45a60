// The level entries that hand their whole vector to a level kernel: the float copy through the
// level's byte copy, and float to 16-, 24- and 32-bit integers through the conversion kernels.
// The conversions are held bit for bit, control word included, to a scalar model of the
// kernels' steps: the exact factor, NaN to 0, the clamps, the rounding by the flag (the 24-bit
// one always to nearest), and the reload of the caller's word (for 16 and 32 bits without
// denormals-are-zero) only when the rounding was forced or the invalid flag raised.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <stdint.h>
#include <string.h>

#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "driver/primitives/fft/sp_fft_levels.h"
#include "driver/primitives/sp_lib.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

constexpr unsigned kCsrInvalid = 0x0001u;
constexpr unsigned kCsrDaz = 0x0040u;
constexpr unsigned kCsrRounding = 0x6000u;
constexpr unsigned kCsrFlush = 0x8000u;
constexpr unsigned kCsrControl = 0xFFC0u;
constexpr unsigned kCsrDefault = 0x1F80u; // every exception masked, nearest, no flushing

class SpLevelEntryTest : public SpLevelTest
{
};

// --- the float copy ----------------------------------------------------------------------------

std::vector<std::pair<int32_t, bool>> g_directions;
void RecordDirection(int32_t level, bool forward)
{
    g_directions.emplace_back(level, forward);
}

// Levels 2 and 3 copy aligned blocks by their byte copy, which picks its direction from the page
// offsets (forward only when the source lies 1 to 160 bytes above the destination); level 1's
// byte copy and level 0's copy choose nothing. Every level copies every byte and no more, long
// copies (the non-temporal path) included.
TEST_P(SpLevelEntryTest, FloatCopyRunsTheLevelsByteCopy)
{
    // Pages of 1024 floats; the source starts one page in, the destination on the first page
    // past the source's end, so the two keep the page offsets the case gives.
    std::vector<float> pages(1024 * 280);
    float* page = pages.data() + (1024 - (reinterpret_cast<uintptr_t>(pages.data()) / 4) % 1024) % 1024;
    const struct
    {
        int32_t SrcOffset, DstOffset, Len; // floats
        bool Forward;
    } cases[] = {
        {16, 0, 100, true},
        {0, 0, 100, false},
        {256, 0, 37, false},
        {8, 0, 0x80000 / 4 + 5, true},
    };
    const SpCopyDirectionHook previous = SpSetCopyDirectionHookForTest(RecordDirection);
    for (const auto& c : cases)
    {
        float* src = page + 1024 + c.SrcOffset;
        float* dst = page + 1024 * (2 + (c.SrcOffset + c.Len) / 1024 + 1) + c.DstOffset;
        ASSERT_LE(dst + c.Len + 1, pages.data() + pages.size());
        for (int32_t i = 0; i < c.Len; ++i)
            src[i] = float(i) * 0.5f - 7.0f;
        const float guard = -123.0f;
        dst[c.Len] = guard;
        g_directions.clear();
        ASSERT_EQ(SpOk, SpCopyF32(src, dst, c.Len));
        ASSERT_EQ(0, memcmp(src, dst, size_t(c.Len) * 4)) << c.Len;
        EXPECT_EQ(FloatBits(guard), FloatBits(dst[c.Len]));
        if (Level() < 2)
        {
            EXPECT_TRUE(g_directions.empty());
            continue;
        }
        ASSERT_FALSE(g_directions.empty()) << "level " << Level() << " did not copy through its byte copy";
        EXPECT_EQ(Level(), g_directions[0].first);
        EXPECT_EQ(c.Forward, g_directions[0].second) << c.SrcOffset << " " << c.DstOffset;
    }
    SpSetCopyDirectionHookForTest(previous);
    float one = 1.0f;
    EXPECT_EQ(SpErrNullPointer, SpCopyF32(nullptr, &one, 0));
    EXPECT_EQ(SpErrBadLength, SpCopyF32(&one, &one, 0));
}

// --- float to integer: the scalar model -------------------------------------------------------

struct Conversion
{
    int32_t Bits;     // 16, 24 or 32
    int32_t Rounding; // SpRoundZero or SpRoundNearestEven (the 24-bit one always rounds to even)
    int32_t Scale;
};

bool IsDenormal(float x)
{
    return x != 0.0f && std::fabs(x) < std::numeric_limits<float>::min();
}

// 2^-scale: for 16 and 32 bits exact at every scale (the kernels' single-precision factor is
// exact up to +-126 and beyond that they scale in double, as the generic build does, by a factor
// held to +-1100); for 24 bits by the exponent field, the scale held to -127..127, 0 for 127.
double ModelFactor(const Conversion& c)
{
    if (c.Bits == 24)
    {
        const int32_t s = c.Scale < -127 ? -127 : (c.Scale > 127 ? 127 : c.Scale);
        return s == 127 ? 0.0 : std::ldexp(1.0, -s);
    }
    return std::ldexp(1.0, -(c.Scale < -1100 ? -1100 : (c.Scale > 1100 ? 1100 : c.Scale)));
}

double RoundHalfEven(double y)
{
    const double lower = std::floor(y);
    const double diff = y - lower;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(lower, 2.0) != 0.0))
        return lower + 1.0;
    return lower;
}

struct ModelResult
{
    int64_t Value;
    bool RaisesInvalid; // the clamp meets a NaN or the conversion leaves the 32-bit range
};

ModelResult ModelOne(float x, const Conversion& c, double factor, bool daz)
{
    const double lo = c.Bits == 16 ? -32768.0 : (c.Bits == 24 ? -8388608.0 : -2147483648.0);
    const double hi = c.Bits == 16 ? 32767.0 : (c.Bits == 24 ? 8388607.0 : 2147483647.0);
    const float v = daz && IsDenormal(x) ? std::copysign(0.0f, x) : x;
    const double y = c.Scale != 0 ? double(v) * factor : double(v);
    if (std::isnan(y))
        return {0, c.Bits != 24};
    const bool outside32 = y >= 2147483648.0 || y < -2147483648.0;
    const bool raises = c.Bits == 16 ? y < -2147483648.0 : (c.Bits == 32 && outside32);
    if (y >= hi)
        return {int64_t(hi), raises};
    if (y <= lo)
        return {int64_t(lo), raises};
    const bool nearest = c.Bits == 24 || c.Rounding == SpRoundNearestEven;
    return {int64_t(nearest ? RoundHalfEven(y) : std::trunc(y)), raises};
}

int64_t ReadOutput(const std::vector<uint8_t>& out, int32_t bits, int32_t i)
{
    if (bits == 16)
    {
        int16_t v;
        memcpy(&v, out.data() + 2 * i, 2);
        return v;
    }
    if (bits == 32)
    {
        int32_t v;
        memcpy(&v, out.data() + 4 * i, 4);
        return v;
    }
    const uint8_t* p = out.data() + 3 * i;
    return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
}

SpStatus Convert(const Conversion& c, const float* src, uint8_t* dst, int32_t n)
{
    switch (c.Bits)
    {
    case 16:
        return SpConvertF32ToI16(src, reinterpret_cast<int16_t*>(dst), n, c.Rounding, c.Scale);
    case 24:
        return SpConvertF32ToI24(src, dst, n, c.Scale);
    default:
        return SpConvertF32ToI32(src, reinterpret_cast<int32_t*>(dst), n, c.Rounding, c.Scale);
    }
}

// The word the caller finds after the call, by the kernels' rule: with the rounding control
// forced (or, 16 and 32 bits, the invalid flag raised where it was clear) the caller's word
// comes back, without denormals-are-zero for 16 and 32 bits and as it was for 24 bits;
// otherwise the control bits stay and the flags only grow. Returns an empty string when `after`
// is what the rule allows.
std::string CheckControlWord(const Conversion& c, unsigned before, unsigned after, bool raised)
{
    const bool forced = (c.Bits == 24 || c.Rounding == SpRoundNearestEven) && (before & kCsrRounding) != 0;
    const bool newInvalid = c.Bits != 24 && raised && (before & kCsrInvalid) == 0;
    char text[160];
    if (forced || newInvalid)
    {
        const unsigned want = c.Bits == 24 ? before : (before & ~kCsrDaz);
        if (after == want)
            return "";
        snprintf(text, sizeof(text), "word %#x after %#x, want %#x", after, before, want);
        return text;
    }
    if ((after & kCsrControl) == (before & kCsrControl) && (after & before & 0x3Fu) == (before & 0x3Fu))
        return "";
    snprintf(text, sizeof(text), "word %#x after %#x, want its control bits kept", after, before);
    return text;
}

std::vector<float> SpecialInputs()
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    uint32_t payload = 0xFFC01234u; // a negative NaN with a payload
    float negNan;
    memcpy(&negNan, &payload, 4);
    std::vector<float> v = {0.0f,        -0.0f,        0.5f,         1.5f,          2.5f,       -2.5f,
                            3.5f,        2.9f,         -2.9f,        -0.5f,         nan,        -nan,
                            negNan,      inf,          -inf,         32766.5f,      32767.4f,   40000.0f,
                            -40000.0f,   -32768.6f,    3.0e9f,       -3.0e9f,       8388606.5f, 8388607.5f,
                            -8388608.5f, 2147483520.f, 2147483648.f, -2147483648.f, 1.0e-40f,   -1.0e-40f,
                            3.4e38f,     -3.4e38f,     1.0e-30f,     0.99999f,      -1.0f,      1.0f};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> wide(-70000.0f, 70000.0f);
    std::uniform_real_distribution<float> unit(-1.25f, 1.25f);
    for (int32_t i = 0; i < 60; ++i)
        v.push_back(i % 2 ? wide(rng) : unit(rng));
    return v;
}

// Every value at every scale, rounding flag and caller word, at several lengths and destination
// offsets (the prologue, the blocks and the tail); the results bit for bit, and at levels 1-3
// the caller's word as the kernels leave it.
TEST_P(SpLevelEntryTest, FloatToIntegerEntriesFollowTheKernelSteps)
{
    const unsigned saved = _mm_getcsr();
    const std::vector<float> all = SpecialInputs();
    std::vector<float> clean;
    for (float x : all)
        if (std::isfinite(x) && std::fabs(x) < 30000.0f)
            clean.push_back(x);
    const std::vector<float>* inputs[] = {&all, &clean};
    const int32_t scales[] = {0, 1, -1, -15, -23, -31, 15, 127, 149, 150, -127, -128, 300};
    const unsigned words[] = {kCsrDefault,
                              kCsrDefault | 0x6000u, // toward zero
                              kCsrDefault | 0x2000u, // down
                              kCsrDefault | kCsrDaz,
                              kCsrDefault | kCsrDaz | 0x4000u, // up
                              kCsrDefault | kCsrInvalid | kCsrDaz,
                              kCsrDefault | kCsrFlush | kCsrDaz};
    for (int32_t bits : {16, 24, 32})
        for (int32_t rounding : {SpRoundZero, SpRoundNearestEven})
        {
            if (bits == 24 && rounding == SpRoundZero)
                continue;
            for (int32_t scale : scales)
                for (unsigned before : words)
                    for (const std::vector<float>* input : inputs)
                        for (int32_t offset : {0, 1, 3})
                        {
                            const Conversion c{bits, rounding, scale};
                            const int32_t n = int32_t(input->size()) - offset;
                            const int32_t width = bits / 8;
                            GuardedBuffer<uint8_t> out(size_t(n) * width, size_t(offset) * width);
                            const double factor = ModelFactor(c);
                            _mm_setcsr(before);
                            const SpStatus status = Convert(c, input->data() + offset, out.data(), n);
                            const unsigned after = _mm_getcsr();
                            _mm_setcsr(kCsrDefault);
                            ASSERT_EQ(SpOk, status);
                            ASSERT_TRUE(out.GuardsIntact()) << bits << " n " << n;
                            std::vector<uint8_t> got(out.data(), out.data() + size_t(n) * width);
                            // Forcing nearest also clears denormals-are-zero for the call.
                            const bool forced = Level() > 0 && bits != 24 && rounding == SpRoundNearestEven &&
                                                (before & kCsrRounding) != 0;
                            const bool daz = (before & kCsrDaz) != 0 && !forced;
                            bool raised = false;
                            for (int32_t i = 0; i < n; ++i)
                            {
                                const float x = (*input)[offset + i];
                                const ModelResult want = ModelOne(x, c, factor, daz);
                                raised = raised || want.RaisesInvalid;
                                ASSERT_EQ(want.Value, ReadOutput(got, bits, i))
                                    << bits << "-bit, x " << x << " (bits " << std::hex << FloatBits(x)
                                    << std::dec << ") scale " << scale << " rounding " << rounding << " word "
                                    << std::hex << before;
                            }
                            if (Level() > 0)
                            {
                                const std::string problem = CheckControlWord(c, before, after, raised);
                                ASSERT_TRUE(problem.empty())
                                    << bits << "-bit, scale " << scale << " rounding " << rounding << ", "
                                    << (input == &all ? "special" : "ordinary") << " values from " << offset
                                    << ": " << problem;
                            }
                        }
        }
    _mm_setcsr(saved);
}

SP_INSTANTIATE_LEVELS(SpLevelEntryTest);

} // namespace
