// Format conversions, in-place scaling and interleaving, at every level, against a scalar
// reference written from the conversion rules (the factor by repeated halving, rounding by the
// C library), over alignments, lengths around the block sizes, and guard zones.
#include "sp_level_fixture.h"
#include "sp_convert_reference.h"
#include "sp_test_support.h"

#include "driver/primitives/vectors/sp_convert.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{

float kInfinity()
{
    return std::numeric_limits<float>::infinity();
}

// Float inputs that exercise every rule at scale s: ties at the integer grid, the saturation
// edges, NaN, infinities, zeros, denormals and random values around full scale.
std::vector<float> F32Inputs(int32_t scale, size_t count, uint64_t seed)
{
    const double unit = std::ldexp(1.0, std::clamp(scale, -140, 140)); // one integer step
    std::vector<float> special = {0.0f,
                                  -0.0f,
                                  std::numeric_limits<float>::quiet_NaN(),
                                  -std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(),
                                  std::numeric_limits<float>::denorm_min(),
                                  -std::numeric_limits<float>::denorm_min(),
                                  std::numeric_limits<float>::max(),
                                  -std::numeric_limits<float>::max(),
                                  0.49999997f,
                                  -0.49999997f};
    for (double k : {0.5,          1.5,           2.5,          3.5,          -0.5,          -1.5,
                     -2.5,         -3.5,          32766.5,      32767.0,      32767.5,       -32768.0,
                     -32768.5,     -32767.5,      8388606.5,    8388607.0,    -8388608.0,    -8388607.5,
                     2147483520.0, -2147483648.0, 2147483648.0, 4294967296.0, -4294967296.0, 8388608.5})
    {
        special.push_back(static_cast<float>(k * unit));
    }
    std::vector<float> out(count);
    TestRng rng(seed);
    for (size_t i = 0; i < count; ++i)
    {
        if (rng.Next32() % 4 == 0)
        {
            out[i] = special[rng.Next32() % special.size()];
        }
        else
        {
            const double fullScale = (rng.Next32() % 2) ? 32768.0 : 8388608.0;
            out[i] = static_cast<float>(rng.Uniform(-1.1, 1.1) * fullScale * unit);
        }
    }
    return out;
}

const int32_t kLengths[] = {1,  2,  3,  4,  5,  7,  8,  9,  11,  12,  13,
                            15, 16, 17, 31, 32, 33, 64, 65, 127, 129, 1000};
const int32_t kScales[] = {-15, -23, -31, 0, 1, 7, -40, 200, -200, 1100, -1100, INT32_MAX, INT32_MIN};
const int32_t kRoundings[] = {SpRoundZero, SpRoundNearestEven, SpRoundNearestAway, 7, -1};

class SpConvertTest : public SpLevelTest
{
};

} // namespace

// --- float to integer -----------------------------------------------------------------------------------

// I24 takes no rounding; its extra scales sit at and beyond the clamps of the exponent range.
TEST_P(SpConvertTest, FloatToIntegerMatchesReferenceForEveryScaleAndRounding)
{
    std::vector<int32_t> scales(std::begin(kScales), std::end(kScales));
    scales.insert(scales.end(), {3, -127, 126, 127, 128, -128, -300});
    for (int32_t scale : scales)
    {
        const std::vector<float> in = F32Inputs(scale, 301, 1000 + int64_t(scale));
        const int32_t n = int32_t(in.size());
        std::vector<uint8_t> out24(3 * size_t(n));
        ASSERT_EQ(SpOk, SpConvertF32ToI24(in.data(), out24.data(), n, scale));
        for (int32_t i = 0; i < n; ++i)
        {
            const int32_t got = int32_t(uint32_t(out24[3 * i]) << 8 | uint32_t(out24[3 * i + 1]) << 16 |
                                        uint32_t(out24[3 * i + 2]) << 24) >>
                                8;
            ASSERT_EQ(RefF32ToI24(in[i], scale), got) << "x=" << in[i] << " scale=" << scale << " i=" << i;
        }
        for (int32_t rounding : kRoundings)
        {
            std::vector<int16_t> out16(in.size());
            std::vector<int32_t> out32(in.size());
            ASSERT_EQ(SpOk, SpConvertF32ToI16(in.data(), out16.data(), n, rounding, scale));
            ASSERT_EQ(SpOk, SpConvertF32ToI32(in.data(), out32.data(), n, rounding, scale));
            for (int32_t i = 0; i < n; ++i)
            {
                ASSERT_EQ(RefF32ToI16At(Level(), in[i], rounding, scale), out16[i])
                    << "x=" << in[i] << " bits=" << std::hex << FloatBits(in[i]) << std::dec
                    << " scale=" << scale << " rounding=" << rounding << " i=" << i;
                ASSERT_EQ(RefF32ToI32At(Level(), in[i], rounding, scale), out32[i])
                    << "x=" << in[i] << " scale=" << scale << " rounding=" << rounding << " i=" << i;
            }
        }
    }
}

// The caller's SSE rounding control changes no result: the integer conversions round by
// their own mode. (Unscaled ties-away is the exception by definition: its half is added in
// single precision, under whatever rounding the caller runs.)
TEST_P(SpConvertTest, CallersRoundingControlChangesNoResult)
{
    const unsigned saved = _mm_getcsr();
    for (int32_t scale : {-15, -31, -23, 0, 9, 300})
    {
        const std::vector<float> in = F32Inputs(scale, 203, 500 + int64_t(scale));
        const int32_t n = int32_t(in.size());
        for (int32_t rounding : {SpRoundZero, SpRoundNearestEven, SpRoundNearestAway})
        {
            if (scale == 0 && rounding == SpRoundNearestAway)
                continue;
            std::vector<int16_t> want16(n), got16(n);
            std::vector<int32_t> want32(n), got32(n);
            std::vector<uint8_t> want24(3 * n), got24(3 * n);
            ASSERT_EQ(SpOk, SpConvertF32ToI16(in.data(), want16.data(), n, rounding, scale));
            ASSERT_EQ(SpOk, SpConvertF32ToI32(in.data(), want32.data(), n, rounding, scale));
            ASSERT_EQ(SpOk, SpConvertF32ToI24(in.data(), want24.data(), n, scale));
            for (unsigned mode : {0x2000u, 0x4000u, 0x6000u})
            { // down, up, toward zero
                _mm_setcsr((saved & ~0x6000u) | mode);
                const SpStatus s16 = SpConvertF32ToI16(in.data(), got16.data(), n, rounding, scale);
                const SpStatus s32 = SpConvertF32ToI32(in.data(), got32.data(), n, rounding, scale);
                const SpStatus s24 = SpConvertF32ToI24(in.data(), got24.data(), n, scale);
                _mm_setcsr(saved);
                ASSERT_EQ(SpOk, s16);
                ASSERT_EQ(SpOk, s32);
                ASSERT_EQ(SpOk, s24);
                EXPECT_EQ(want16, got16)
                    << "scale " << scale << " rounding " << rounding << " csr mode " << mode;
                EXPECT_EQ(want32, got32)
                    << "scale " << scale << " rounding " << rounding << " csr mode " << mode;
                EXPECT_EQ(want24, got24) << "scale " << scale << " csr mode " << mode;
            }
        }
    }
}

// Long runs of ordinary samples with a rare special value (NaN, infinity, a saturating or
// -32768 result), so that most sixteen-sample blocks convert without clamps and a few are
// redone, at scales on both sides of every switch between loops, all against the reference.
TEST_P(SpConvertTest, SparseSpecialValuesMatchReferenceInLongRuns)
{
    const uint64_t seed = 0xC0FFEE;
    TestRng rng(seed);
    for (int32_t scale : {-15, -23, -8, 0, 5, -104, -105, -112, 126, 127, INT32_MIN})
    {
        const std::vector<float> special = F32Inputs(scale, 64, 9000 + int64_t(scale));
        const double unit = std::ldexp(1.0, std::clamp(scale, -140, 140));
        for (int32_t len : {16, 17, 33, 200, 1023})
        {
            std::vector<float> in(static_cast<size_t>(len));
            for (float& x : in)
            {
                x = rng.Next32() % 97 == 0 ? special[rng.Next32() % special.size()]
                                           : static_cast<float>(rng.Uniform(-1.0, 1.0) * 8388608.0 * unit);
            }
            for (int32_t rounding : {SpRoundZero, SpRoundNearestEven, SpRoundNearestAway})
            {
                std::vector<int16_t> out(in.size());
                ASSERT_EQ(SpOk, SpConvertF32ToI16(in.data(), out.data(), len, rounding, scale));
                for (int32_t i = 0; i < len; ++i)
                    ASSERT_EQ(RefF32ToI16At(Level(), in[i], rounding, scale), out[i])
                        << "seed=" << seed << " x=" << in[i] << " scale=" << scale << " rounding=" << rounding
                        << " len=" << len << " i=" << i;
            }
            std::vector<uint8_t> out24(in.size() * 3);
            ASSERT_EQ(SpOk, SpConvertF32ToI24(in.data(), out24.data(), len, scale));
            std::vector<int16_t> s16(in.size());
            for (int16_t& v : s16)
                v = int16_t(rng.Next32());
            std::vector<float> back(in.size());
            ASSERT_EQ(SpOk, SpConvertI16ToF32(s16.data(), back.data(), len, scale));
            for (int32_t i = 0; i < len; ++i)
            {
                const int32_t want = RefF32ToI24(in[i], scale);
                ASSERT_EQ(uint8_t(want), out24[3 * i]) << "seed=" << seed << " scale=" << scale << " i=" << i;
                ASSERT_EQ(uint8_t(want >> 8), out24[3 * i + 1]) << "seed=" << seed << " i=" << i;
                ASSERT_EQ(uint8_t(want >> 16), out24[3 * i + 2]) << "seed=" << seed << " i=" << i;
                ASSERT_EQ(FloatBits(RefI16ToF32(s16[i], scale)), FloatBits(back[i]))
                    << "seed=" << seed << " v=" << s16[i] << " scale=" << scale << " i=" << i;
            }
        }
    }
}

// A quiet NaN source leaves the invalid flag as it was, and a zero sample converts to +0.0
// under every rounding control.
TEST_P(SpConvertTest, NaNSourceRaisesNoInvalidFlagAndZeroStaysPositive)
{
    const unsigned saved = _mm_getcsr();
    std::vector<float> in(64, 0.25f);
    in[21] = std::numeric_limits<float>::quiet_NaN();
    in[40] = 1e30f;
    std::vector<int16_t> out16(in.size());
    std::vector<uint8_t> out24(in.size() * 3);
    for (int32_t rounding : {SpRoundZero, SpRoundNearestEven})
    {
        _mm_setcsr(saved & ~0x3Fu);
        const SpStatus s16 = SpConvertF32ToI16(in.data(), out16.data(), 64, rounding, -15);
        const SpStatus s24 = SpConvertF32ToI24(in.data(), out24.data(), 64, -23);
        const unsigned flags = _mm_getcsr() & 0x3Fu;
        _mm_setcsr(saved);
        ASSERT_EQ(SpOk, s16);
        ASSERT_EQ(SpOk, s24);
        EXPECT_EQ(0u, flags & 1u) << "rounding " << rounding;
        EXPECT_EQ(0, out16[21]);
        EXPECT_EQ(32767, out16[40]);
    }
    std::vector<int16_t> zeros(40, 0);
    std::vector<float> f(40, -1.0f);
    for (unsigned mode : {0x0000u, 0x2000u, 0x4000u, 0x6000u})
    {
        _mm_setcsr((saved & ~0x6000u) | mode);
        const SpStatus s = SpConvertI16ToF32(zeros.data(), f.data(), 40, 15);
        _mm_setcsr(saved);
        ASSERT_EQ(SpOk, s);
        for (float x : f)
            ASSERT_EQ(0u, FloatBits(x)) << "csr mode " << mode;
    }
}

// The 32-bit conversion meets NaN, infinities and values past the integer range in its vector
// blocks and its tail: the invalid flag such an element raises is not left behind when it was
// clear at entry (an ordered compare on the NaN lanes used to leave it at every level), and one
// already set at entry stays set. The results still match the reference.
TEST_P(SpConvertTest, ThirtyTwoBitConversionLeavesTheInvalidFlagAsFound)
{
    const unsigned saved = _mm_getcsr();
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), -kInfinity(), kInfinity(), 3.0e9f,
                              -3.0e9f};
    for (float special : specials)
        for (int32_t at : {2, 9, 37})
            for (int32_t rounding : {SpRoundZero, SpRoundNearestEven, SpRoundNearestAway})
                for (int32_t scale : {0, -31, -200})
                    for (unsigned entryFlag : {0u, 1u})
                    {
                        std::vector<float> in(39, 0.25f);
                        in[at] = special;
                        std::vector<int32_t> out(in.size());
                        _mm_setcsr((saved & ~0x3Fu) | entryFlag);
                        const SpStatus st = SpConvertF32ToI32(in.data(), out.data(), 39, rounding, scale);
                        const unsigned flag = _mm_getcsr() & 1u;
                        _mm_setcsr(saved);
                        ASSERT_EQ(SpOk, st);
                        EXPECT_EQ(entryFlag, flag)
                            << special << " at " << at << " rounding " << rounding << " scale " << scale;
                        EXPECT_EQ(RefF32ToI32At(Level(), special, rounding, scale), out[at]) << special;
                    }
}

// --- documented cases ----------------------------------------------------------------------------------

// One float to one 16- or 32-bit integer. Levels 1-3 differ from level 0 in two places: their
// half-away kernels add the half in single precision at every scale and keep the factor of an
// extreme scale nonzero (so infinity saturates by its sign), and a NaN rounded half away takes
// the bound of its sign instead of the minimum. Any rounding value other than the three rounds
// away. Extreme scales act as the factor 0 or +inf would, in constant time: 0 x inf gives 0.
namespace
{
struct DocCase
{
    float x;
    int32_t rounding, scale, bits;
    int64_t want0, want123;
};
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const int32_t kZero = SpRoundZero, kEven = SpRoundNearestEven, kAway = SpRoundNearestAway;
// clang-format off
const DocCase kDocCases[] = {
    {1.0f, kZero, -15, 16, 32767, 32767},          {-1.0f, kZero, -15, 16, -32768, -32768},
    {0.99999f, kZero, -15, 16, 32767, 32767},      {-0.5f / 32768.0f, kZero, -15, 16, 0, 0},
    {kNaN, kZero, -15, 16, 0, 0},                  {0.5f, kZero, -15, 16, 16384, 16384},
    {2.5f, kEven, 0, 16, 2, 2},                    {3.5f, kEven, 0, 16, 4, 4},
    {-2.5f, kEven, 0, 16, -2, -2},                 {-3.5f, kEven, 0, 16, -4, -4},
    {2.5f, kAway, 0, 16, 3, 3},                    {-2.5f, kAway, 0, 16, -3, -3},
    {2.5f, 5, 0, 16, 3, 3},                        {2.7f, kZero, 0, 16, 2, 2},
    {-2.7f, kZero, 0, 16, -2, -2},                 {0.49999997f, kAway, 0, 16, 1, 1},
    {0.49999997f, kEven, 0, 16, 0, 0},             {0.49999997f * 2.0f, kAway, 1, 16, 0, 1},
    {2147483648.0f, kZero, 0, 32, INT32_MAX, INT32_MAX},  {-2147483648.0f, kZero, 0, 32, INT32_MIN, INT32_MIN},
    {1e20f, kEven, 0, 32, INT32_MAX, INT32_MAX},          {-1e20f, kEven, 0, 32, INT32_MIN, INT32_MIN},
    {kNaN, kZero, 0, 32, 0, 0},                           {kNaN, kEven, 0, 32, 0, 0},
    {2147483520.0f, kEven, 0, 32, 2147483520, 2147483520}, {2147483648.0f, kAway, 0, 32, INT32_MAX, INT32_MAX},
    {-1e20f, kAway, 0, 32, INT32_MIN, INT32_MIN},          {kNaN, kAway, 0, 32, INT32_MIN, INT32_MAX},
    {2147483520.0f, kAway, 0, 32, 2147483520, 2147483520},
    {1.0f, kZero, INT32_MIN, 16, 32767, 32767},   {-1.0f, kZero, INT32_MIN, 16, -32768, -32768},
    {0.0f, kZero, INT32_MIN, 16, 0, 0},           {kInf, kZero, INT32_MIN, 16, 32767, 32767},
    {1.0f, kZero, INT32_MAX, 16, 0, 0},           {kInf, kZero, INT32_MAX, 16, 0, 0},
    {1.0f, kAway, INT32_MAX, 32, 0, 0},           {-1.0f, kAway, INT32_MAX, 32, 0, 0},
    {kInf, kAway, INT32_MAX, 32, INT32_MIN, INT32_MAX},
    {1.0f, kAway, INT32_MIN, 16, 32767, 32767},   {-1.0f, kAway, INT32_MIN, 16, -32768, -32768},
    {0.0f, kAway, INT32_MIN, 16, 0, 0},           {kInf, kAway, INT32_MIN, 16, 32767, 32767},
}; // clang-format on
} // namespace

TEST_P(SpConvertTest, DocumentedFloatToIntegerValues)
{
    for (const DocCase& c : kDocCases)
    {
        int16_t out16 = 99;
        int32_t out32 = 99;
        const SpStatus status = c.bits == 16 ? SpConvertF32ToI16(&c.x, &out16, 1, c.rounding, c.scale)
                                             : SpConvertF32ToI32(&c.x, &out32, 1, c.rounding, c.scale);
        ASSERT_EQ(SpOk, status);
        EXPECT_EQ(Level() == 0 ? c.want0 : c.want123, c.bits == 16 ? out16 : out32)
            << "x=" << c.x << " rounding=" << c.rounding << " scale=" << c.scale << " bits=" << c.bits;
    }
}

TEST_P(SpConvertTest, TwentyFourBitBytePatterns)
{
    const float in[] = {1.0f, -1.0f, 0.0f, 0.5f, std::numeric_limits<float>::quiet_NaN()};
    uint8_t out[15];
    ASSERT_EQ(SpOk, SpConvertF32ToI24(in, out, 5, -23));
    const uint8_t want[] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0, 0, 0, 0x00, 0x00, 0x40, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(want, want + 15), std::vector<uint8_t>(out, out + 15));

    const uint8_t packed[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00};
    float back[4];
    ASSERT_EQ(SpOk, SpConvertI24ToF32(packed, back, 4));
    EXPECT_EQ(-8388608.0f, back[0]);
    EXPECT_EQ(8388607.0f, back[1]);
    EXPECT_EQ(-1.0f, back[2]);
    EXPECT_EQ(1.0f, back[3]);
}

TEST_P(SpConvertTest, ScaleClampsOfIntegerToFloat)
{
    const int16_t one16 = 1;
    const int32_t one32 = 1;
    float out = 0;
    ASSERT_EQ(SpOk, SpConvertI16ToF32(&one16, &out, 1, 200));
    EXPECT_EQ(std::ldexp(1.0f, -126), out);
    ASSERT_EQ(SpOk, SpConvertI16ToF32(&one16, &out, 1, -200));
    EXPECT_EQ(std::ldexp(1.0f, 112), out);
    ASSERT_EQ(SpOk, SpConvertI32ToF32Scaled(&one32, &out, 1, -200));
    EXPECT_EQ(std::ldexp(1.0f, 96), out);
    ASSERT_EQ(SpOk, SpConvertI32ToF32Scaled(&one32, &out, 1, 200));
    EXPECT_EQ(std::ldexp(1.0f, -126), out);
    // 2^24 + 1 is not a float: nearest even gives 2^24.
    const int32_t odd = (1 << 24) + 1;
    ASSERT_EQ(SpOk, SpConvertI32ToF32(&odd, &out, 1));
    EXPECT_EQ(16777216.0f, out);
}

// --- in-place forms -------------------------------------------------------------------------------------

TEST_P(SpConvertTest, MulConstInPlaceSkipsOneAndZeroesOnZero)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> v = {nan, inf, -2.0f, 3.0f, 1e-40f};
    ASSERT_EQ(SpOk, SpMulConstInPlaceF32(1.0f, v.data(), 5));
    EXPECT_TRUE(std::isnan(v[0]));
    EXPECT_EQ(inf, v[1]);
    ASSERT_EQ(SpOk, SpMulConstInPlaceF32(0.0f, v.data(), 5));
    for (float x : v)
        EXPECT_EQ(0u, FloatBits(x));
}

TEST_P(SpConvertTest, AddConstOfZeroTouchesNothing)
{
    std::vector<float> v = {-0.0f, 1.0f, 2.5f, -7.0f, 1e30f};
    ASSERT_EQ(SpOk, SpAddConstInPlaceF32(0.0f, v.data(), 5));
    EXPECT_EQ(0x80000000u, FloatBits(v[0])); // untouched: -0 + 0 would be +0
    ASSERT_EQ(SpOk, SpAddConstInPlaceF32(0.25f, v.data(), 5));
    EXPECT_EQ((std::vector<float>{0.25f, 1.25f, 2.75f, -6.75f, 1e30f}), v);
}

TEST_P(SpConvertTest, DivConstUsesTheReciprocal)
{
    std::vector<float> v = {8388608.0f, -4194304.0f, 3.0f, 1.0f, 12345.0f};
    ASSERT_EQ(SpOk, SpDivConstInPlaceF32(8388608.0f, v.data(), 5));
    EXPECT_EQ(1.0f, v[0]);
    EXPECT_EQ(-0.5f, v[1]);
    // An infinite divisor makes r = 0: the vector becomes zeros, even a NaN element.
    std::vector<float> z = {std::numeric_limits<float>::quiet_NaN(), 5.0f};
    ASSERT_EQ(SpOk, SpDivConstInPlaceF32(std::numeric_limits<float>::infinity(), z.data(), 2));
    EXPECT_EQ(0u, FloatBits(z[0]));
    float out[2];
    EXPECT_EQ(SpOk, SpDivConstF32(v.data(), 1.0f, out, 2));
    EXPECT_EQ(v[1], out[1]);
}

// --- interleave -----------------------------------------------------------------------------------------

// Every channel count's layout is a row of the level table.
TEST_P(SpConvertTest, InterleaveMovesWordsUnreadAndWarnsOnMisalignment)
{
    // Signalling-NaN patterns must pass through untouched.
    GuardedBuffer<float> a(5, 4), b(5, 0);
    for (int f = 0; f < 5; ++f)
    {
        a[f] = BitsFloat(0x7F800001u + f);
        b[f] = BitsFloat(0xFF800001u + f);
    }
    const float* in[] = {a.data(), b.data()};
    GuardedBuffer<float> dst(10, 0);
    EXPECT_EQ(SpWarnMisaligned, SpInterleave32(in, 2, 5, dst.data()));
    for (int f = 0; f < 5; ++f)
    {
        EXPECT_EQ(0x7F800001u + f, FloatBits(dst[2 * f]));
        EXPECT_EQ(0xFF800001u + f, FloatBits(dst[2 * f + 1]));
    }
    GuardedBuffer<float> odd(10, 8);
    float* out[] = {b.data(), a.data()};
    EXPECT_EQ(SpWarnMisaligned, SpDeinterleave32(odd.data(), 2, 5, out));
    const float* aligned[] = {b.data(), b.data()};
    EXPECT_EQ(SpOk, SpInterleave32(aligned, 2, 5, dst.data()));
}

SP_INSTANTIATE_LEVELS(SpConvertTest);
