// The float square root at levels 1-3: blocks of 16 positive normals bit for bit against a
// scalar model of the refined estimate (built on this processor's scalar estimate) and within
// 3 ulp of the correctly rounded root; every other block, the alignment steps and the tail
// correctly rounded; the caller's MXCSR word back exactly. The float and double kernels' single-
// element steps count a NaN with its sign bit set as negative.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

#include <cmath>
#include <vector>

#include "driver/primitives/sp_lib.h"
#include "driver/primitives/vectors/sp_sqrt_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

class SpSqrtLevelTest : public SpLevelTest
{
};

// y0 = estimate(x); t = x y0; u = y0 t; r = (3 - u)(0.5 t) (level 3: (u - 3)(-0.5 t), the same
// bits under round-to-nearest).
float ModelRefined(float x)
{
    const float y0 = _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x)));
    const float t = x * y0;
    const float u = y0 * t;
    return (3.0f - u) * (0.5f * t);
}

// The root of a positive float rounded as the control word `word` asks, settled by exact
// comparisons alone: every square below has at most 50 significant bits and every operand is a
// normal double, so no step depends on the rounding, flush or denormal bits in force when the
// optimiser places it (it may move plain arithmetic past a write of the control word).
float RootRoundedAs(float x, uint32_t word)
{
    const uint32_t bits = FloatBits(x);
    const uint32_t exponent = bits >> 23;
    const uint64_t mantissa = exponent == 0 ? (bits & 0x7FFFFFu) : ((bits & 0x7FFFFFu) | 0x800000u);
    uint64_t scaleBits = uint64_t(1023 + (exponent == 0 ? 1 : int32_t(exponent)) - 150) << 52;
    double scale;
    memcpy(&scale, &scaleBits, sizeof(scale));
    const double xd = double(mantissa) * scale;
    auto square = [](float f) { return double(f) * double(f); };
    auto next = [](float f) { return BitsFloat(FloatBits(f) + 1); };
    // Any rounding of the double root lies within one step of the rounded-down root.
    float down = float(std::sqrt(xd));
    while (square(down) > xd)
        down = BitsFloat(FloatBits(down) - 1);
    while (square(next(down)) <= xd)
        down = next(down);
    const float up = square(down) == xd ? down : next(down);
    switch (word & 0x6000u)
    {
    case 0x2000u: // down
    case 0x6000u: // toward zero
        return down;
    case 0x4000u: // up
        return up;
    default:
    {
        // Nearest: the midpoint has 25 significant bits, so its square is exact and never ties.
        const double mid = (double(down) + double(up)) * 0.5;
        return mid * mid < xd ? up : down;
    }
    }
}

// How the float kernel walks a vector whose destination sits `offsetBytes` past a 16-byte
// boundary: single alignment steps up to the boundary, blocks of 16, then at most one group each
// of 8, 4 and 2 and a last single element. For each element, the step that takes it and its width.
struct SqrtWalk
{
    std::vector<int32_t> step, width;
};

SqrtWalk WalkOf(int32_t n, size_t offsetBytes)
{
    SqrtWalk walk{std::vector<int32_t>(n), std::vector<int32_t>(n)};
    int32_t at = 0, step = 0;
    auto take = [&](int32_t width)
    {
        for (int32_t k = 0; k < width; ++k)
        {
            walk.step[at + k] = step;
            walk.width[at + k] = width;
        }
        at += width;
        ++step;
    };
    for (size_t head = (16 - offsetBytes % 16) % 16 / 4; head > 0 && at < n; --head)
        take(1);
    while (n - at >= 16)
        take(16);
    for (int32_t width : {8, 4, 2, 1})
    {
        if (n - at >= width)
            take(width);
    }
    return walk;
}

} // namespace

TEST_P(SpSqrtLevelTest, BlocksOfPositiveNormalsTakeTheRefinedEstimate)
{
    TestRng rng(225);
    for (int32_t n : {16, 31, 47, 100})
    {
        for (size_t offset = 0; offset < 16; offset += 4)
        {
            std::vector<float> x(n);
            for (float& v : x)
                v = float(std::ldexp(rng.Uniform(1, 2), int(rng.Next32() % 200) - 100));
            GuardedCopy<float> buf(x, offset);
            ASSERT_EQ(SpOk, SpSqrtInPlaceF32(buf.data(), n));
            ASSERT_TRUE(buf.buffer.GuardsIntact());
            // Elements before the first 16-byte boundary and after the last whole block are exact.
            const int32_t head = int32_t((16 - offset) % 16 / 4);
            const int32_t blockEnd = head + (n - head) / 16 * 16;
            for (int32_t i = 0; i < n; ++i)
            {
                const float exact = std::sqrt(x[i]);
                const bool refined = i >= head && i < blockEnd;
                ASSERT_EQ(FloatBits(refined ? ModelRefined(x[i]) : exact), FloatBits(buf.data()[i]))
                    << n << " " << i;
                ASSERT_LE(UlpDistance(exact, buf.data()[i]), 3) << x[i];
            }
        }
    }
}

// One element a block cannot refine sends the whole block to the exact path.
TEST_P(SpSqrtLevelTest, SpecialElementsAtEveryPositionGiveExactRoots)
{
    const float specials[] = {-1.0f, -0.0f, 0.0f, INFINITY, 1e-40f, -1e-40f, NAN, -NAN};
    for (float special : specials)
    {
        for (int32_t at = 0; at < 32; ++at)
        {
            alignas(16) float v[32];
            for (int32_t i = 0; i < 32; ++i)
                v[i] = 1.0f + 0.37f * float(i);
            v[at] = special;
            float want[32];
            for (int32_t i = 0; i < 32; ++i)
                want[i] = std::sqrt(v[i]);
            const bool negative = special < 0.0f;
            ASSERT_EQ(negative ? SpWarnSqrtNegative : SpOk, SpSqrtInPlaceF32(v, 32))
                << special << " at " << at;
            const int32_t blockStart = at / 16 * 16;
            for (int32_t i = blockStart; i < blockStart + 16; ++i)
            {
                if (std::isnan(want[i]))
                    ASSERT_TRUE(std::isnan(v[i])) << special << " at " << at;
                else
                    ASSERT_EQ(FloatBits(want[i]), FloatBits(v[i]))
                        << special << " at " << at << " element " << i;
            }
            if (negative)
            {
                ASSERT_EQ(0xFFC00000u, FloatBits(v[at]));
            }
        }
    }
}

// The alignment steps and the last element test the bits (sign set, not -0), the groups compare
// with zero: a NaN with its sign bit set warns only when a single-element step takes it. With
// the floats 4 bytes past a 16-byte boundary, elements 0-2 are alignment steps, 3-18 one block
// and 19 the last element; with the doubles 8 bytes past one, element 0 is the alignment step,
// 1-8 two blocks, 9-10 the pair and 11 the last element.
TEST_P(SpSqrtLevelTest, SignedNaNIsNegativeOnlyInTheSingleElementSteps)
{
    const uint64_t doubleSpecialBits[] = {0xFFF8000000000001ull, 0xFFF0000000000001ull, 0xFFF8000000000000ull,
                                          0x7FF8000000000000ull, 0x8000000000000000ull};
    uint32_t (*const kernelF64[])(const double*, double*, int32_t) = {SpSqrtKernelF64_L1, SpSqrtKernelF64_L2,
                                                                      SpSqrtKernelF64_L3};
    alignas(16) double doubles[14];
    double* d = doubles + 1;
    for (uint64_t bits : doubleSpecialBits)
    {
        double special;
        memcpy(&special, &bits, 8);
        for (int32_t at = 0; at < 12; ++at)
        {
            for (int32_t i = 0; i < 12; ++i)
                d[i] = 2.0 + i;
            d[at] = special;
            const bool single = at == 0 || at == 11;
            const bool negative = single && std::signbit(special) && std::isnan(special);
            ASSERT_EQ(negative, kernelF64[Level() - 1](d, d, 12) != 0)
                << std::hex << bits << std::dec << " at " << at;
            ASSERT_EQ(std::isnan(special), std::isnan(d[at]));
        }
    }

    uint32_t negativeNanBits = 0xFFC00001u;
    float negativeNan;
    memcpy(&negativeNan, &negativeNanBits, 4);
    const float specials[] = {negativeNan, -NAN, NAN, -0.0f};
    alignas(16) float storage[24];
    float* v = storage + 1;
    for (float special : specials)
    {
        for (int32_t at = 0; at < 20; ++at)
        {
            for (int32_t i = 0; i < 20; ++i)
                v[i] = 2.0f + float(i);
            v[at] = special;
            const bool single = at < 3 || at == 19;
            const bool warns = single && std::signbit(special) && std::isnan(special);
            ASSERT_EQ(warns ? SpWarnSqrtNegative : SpOk, SpSqrtInPlaceF32(v, 20))
                << std::hex << FloatBits(special) << std::dec << " at " << at;
            ASSERT_EQ(std::isnan(special), std::isnan(v[at]));
        }
    }
}

// One special element at every position of every length from 1 to 33, at every destination
// alignment. A single-element step calls an element negative by its bits (sign set, not -0), a
// group or block by an ordered compare with zero, so a NaN with its sign bit set warns only in a
// single step. The other elements keep their roots: refined in a block of ordinary values, exact
// elsewhere; and nothing is written outside the vector.
TEST_P(SpSqrtLevelTest, TheNegativeFlagFollowsTheStepThatTakesEachElement)
{
    struct Special
    {
        uint32_t bits;
        bool negativeAlone;   // as a single-element step sees it
        bool negativeInGroup; // as a group or block sees it
        uint32_t root;
    } const specials[] = {
        {0xFFC00001u, true, false, 0xFFC00001u},  // quiet NaN, sign set
        {0xFF800001u, true, false, 0xFFC00001u},  // signalling NaN, sign set: comes back quiet
        {0x7FC00000u, false, false, 0x7FC00000u}, // quiet NaN, sign clear
        {0x80000000u, false, false, 0x80000000u}, // -0
        {0xBF800000u, true, true, 0xFFC00000u},   // -1
    };
    for (const Special& special : specials)
    {
        for (int32_t n = 1; n <= 33; ++n)
        {
            for (size_t offset : {0, 4, 8, 12})
            {
                const SqrtWalk walk = WalkOf(n, offset);
                for (int32_t at = 0; at < n; ++at)
                {
                    std::vector<float> x(n);
                    for (int32_t i = 0; i < n; ++i)
                        x[i] = 1.0f + 0.37f * float(i);
                    x[at] = BitsFloat(special.bits);
                    GuardedCopy<float> buf(x, offset);
                    const bool negative =
                        walk.width[at] == 1 ? special.negativeAlone : special.negativeInGroup;
                    const float* root = buf.data();
                    ASSERT_EQ(negative ? SpWarnSqrtNegative : SpOk, SpSqrtInPlaceF32(buf.data(), n))
                        << std::hex << special.bits << std::dec << " length " << n << " offset " << offset
                        << " at " << at;
                    ASSERT_TRUE(buf.buffer.GuardsIntact()) << "length " << n << " offset " << offset;
                    ASSERT_EQ(special.root, FloatBits(root[at])) << "length " << n << " at " << at;
                    for (int32_t i = 0; i < n; ++i)
                    {
                        if (i == at)
                            continue;
                        const bool refined = walk.width[i] == 16 && walk.step[i] != walk.step[at];
                        ASSERT_EQ(FloatBits(refined ? ModelRefined(x[i]) : std::sqrt(x[i])),
                                  FloatBits(root[i]))
                            << std::hex << special.bits << std::dec << " length " << n << " offset " << offset
                            << " at " << at << " element " << i;
                    }
                }
            }
        }
    }
}

// Whatever the caller's word holds (rounding, flush modes, raised flags), it is the same after
// the call, and denormal inputs still get their exact roots.
TEST_P(SpSqrtLevelTest, TheCallersFloatingPointWordIsKept)
{
    const uint32_t original = _mm_getcsr();
    for (uint32_t word : {0x1F80u, 0x1F81u | 0x8040u, 0x7F80u | 0x21u, 0x3F80u})
    {
        alignas(16) float v[21];
        for (int32_t i = 0; i < 21; ++i)
            v[i] = i % 5 == 0 ? -2.0f : (i % 5 == 1 ? 3e-39f : 2.0f);
        // The root of the denormal under the caller's rounding, with denormals read as such.
        const float want = RootRoundedAs(v[1], word);
        _mm_setcsr(word);
        const SpStatus status = SpSqrtInPlaceF32(v, 21);
        const uint32_t after = _mm_getcsr();
        _mm_setcsr(original);
        EXPECT_EQ(SpWarnSqrtNegative, status);
        EXPECT_EQ(word, after);
        EXPECT_EQ(FloatBits(want), FloatBits(v[1])) << std::hex << word;
    }
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpSqrtLevelTest, ::testing::Values(1, 2, 3), SpLevelName);
