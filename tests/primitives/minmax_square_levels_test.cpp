// The level-1 to level-3 kernels of the minimum/maximum and square families (the element-wise
// forms and add-product of a constant are held to their rules at every offset by the level table):
// reductions bit for bit against a scalar model of their lane order (NaN and signed zeros included,
// where the order shows), exact integer and double reductions, and the square formulas at every
// offset.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "driver/primitives/sp_lib.h"
#include "driver/primitives/vectors/sp_vector_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

struct Kernels
{
    void (*maxF64)(const double*, int32_t, double*);
    void (*minF64)(const double*, int32_t, double*);
    void (*maxI16)(const int16_t*, int32_t, int16_t*);
    void (*minI16)(const int16_t*, int32_t, int16_t*);
    void (*sqrC32)(const float*, float*, int32_t);
    void (*sqrF64)(const double*, double*, int32_t);
    void (*sqrC64)(const double*, double*, int32_t);
};
#define SP_KERNELS(L)                                                                                        \
    {                                                                                                        \
        SpMaxKernelF64_##L, SpMinKernelF64_##L, SpMaxKernelI16_##L, SpMinKernelI16_##L, SpSqrKernelC32_##L,  \
            SpSqrKernelF64_##L, SpSqrKernelC64_##L                                                           \
    }
const Kernels kKernels[4] = {{}, SP_KERNELS(L1), SP_KERNELS(L2), SP_KERNELS(L3)};

// op(held, newcomer): the newcomer wins unless the held value is strictly larger.
float MaxStep(float a, float b)
{
    return a > b ? a : b;
}

// The float maximum's lane order, element by element, for a vector that starts at address `at`: lane 0 takes
// the head, one aligned group evens the pointer to 32 bytes, four accumulators take the groups of each
// 16-element block.
float ModelMax(const float* src, uintptr_t at, int32_t n)
{
    float lane[4][4];
    for (auto& acc : lane)
        std::fill(acc, acc + 4, src[0]);
    int32_t i = 0;
    auto group = [&](int32_t acc)
    {
        for (int32_t k = 0; k < 4; ++k)
            lane[acc][k] = MaxStep(lane[acc][k], src[i + k]);
        i += 4;
    };
    if (at & 3)
    {
        while (n - i >= 4)
            group(0);
    }
    else
    {
        for (; (at + 4 * uintptr_t(i)) & 15; ++i)
        {
            if (i == n)
                return lane[0][0];
            lane[0][0] = MaxStep(lane[0][0], src[i]);
        }
        if (i == n)
            return lane[0][0];
        if (((at + 4 * uintptr_t(i)) & 31) == 16)
        {
            if (n - i < 4)
            {
                float value = lane[0][0];
                for (; i < n; ++i)
                    value = MaxStep(value, src[i]);
                return value;
            }
            group(0);
        }
        if (n - i >= 16)
        {
            for (int32_t a = 1; a < 4; ++a)
                std::copy(lane[0], lane[0] + 4, lane[a]);
            while (n - i >= 16)
                for (int32_t a = 0; a < 4; ++a)
                    group(a);
            for (int32_t k = 0; k < 4; ++k)
                lane[0][k] = MaxStep(MaxStep(lane[0][k], lane[2][k]), MaxStep(lane[1][k], lane[3][k]));
        }
        while (n - i >= 4)
            group(0);
    }
    float value = MaxStep(MaxStep(lane[0][0], lane[0][2]), MaxStep(lane[0][1], lane[0][3]));
    for (; i < n; ++i)
        value = MaxStep(value, src[i]);
    return value;
}

class SpMinMaxLevelTest : public SpLevelTest
{
};

} // namespace

TEST_P(SpMinMaxLevelTest, FloatReductionsFollowTheirLaneOrder)
{
    TestRng rng(151);
    const float specials[] = {NAN, 0.0f, -0.0f, -INFINITY};
    for (int32_t n = 1; n <= 70; ++n)
    {
        for (int32_t trial = 0; trial < 4; ++trial)
        {
            std::vector<float> values(n);
            for (float& v : values)
            {
                const uint32_t r = rng.Next32();
                v = r % 5 == 0 ? specials[(r >> 8) % 4] : float(int32_t(r % 9) - 4);
            }
            for (size_t offset = 0; offset < 32; offset += (trial == 3 ? 1 : 4))
            {
                GuardedCopy<float> src(values, offset);
                float* p = src.data();
                float got = 1.0f;
                ASSERT_EQ(SpOk, SpMaxF32(p, n, &got));
                const uint32_t want = FloatBits(ModelMax(values.data(), reinterpret_cast<uintptr_t>(p), n));
                ASSERT_EQ(want, FloatBits(got)) << n << " at " << offset;
                // The minimum is the maximum of the negated vector, negated: the same lane order.
                std::vector<float> negated(values);
                for (float& v : negated)
                    v = BitsFloat(FloatBits(v) ^ 0x80000000u);
                memcpy(p, negated.data(), 4 * size_t(n));
                ASSERT_EQ(SpOk, SpMinF32(p, n, &got));
                ASSERT_EQ(want ^ 0x80000000u, FloatBits(got)) << "min " << n << " at " << offset;
            }
        }
    }
    // The documented cases: the later zero wins; a NaN that is the last newcomer is the result.
    alignas(16) const float zeros[2] = {0.0f, -0.0f};
    float got = 0.0f;
    ASSERT_EQ(SpOk, SpMaxF32(zeros, 2, &got));
    EXPECT_EQ(0x80000000u, FloatBits(got));
    alignas(16) const float lastNaN[3] = {1.0f, 2.0f, NAN};
    ASSERT_EQ(SpOk, SpMaxF32(lastNaN, 3, &got));
    EXPECT_TRUE(std::isnan(got));
}

TEST_P(SpMinMaxLevelTest, DoubleAndIntegerReductionsAreExact)
{
    TestRng rng(1511);
    const Kernels& k = kKernels[Level()];
    for (int32_t n = 1; n <= 80; ++n)
    {
        std::vector<int16_t> i16(n);
        std::vector<double> f64(n);
        for (int32_t i = 0; i < n; ++i)
        {
            i16[i] = int16_t(rng.Next32());
            f64[i] = rng.Uniform(-1e6, 1e6);
        }
        i16[rng.Next32() % n] = INT16_MIN;
        for (size_t offset = 0; offset < 16; ++offset)
        {
            GuardedCopy<int16_t> a(i16, offset);
            GuardedCopy<double> b(f64, offset);
            int16_t hi = 0, lo = 0;
            double dhi = 0, dlo = 0;
            k.maxI16(a.data(), n, &hi);
            k.minI16(a.data(), n, &lo);
            k.maxF64(b.data(), n, &dhi);
            k.minF64(b.data(), n, &dlo);
            ASSERT_EQ(*std::max_element(i16.begin(), i16.end()), hi) << n << " at " << offset;
            ASSERT_EQ(*std::min_element(i16.begin(), i16.end()), lo) << n << " at " << offset;
            ASSERT_EQ(*std::max_element(f64.begin(), f64.end()), dhi) << n << " at " << offset;
            ASSERT_EQ(*std::min_element(f64.begin(), f64.end()), dlo) << n << " at " << offset;
        }
    }
}

// Complex squares: re*re - im*im and 2*re*im with every product rounded; doubles likewise.
TEST_P(SpMinMaxLevelTest, SquaresOfEveryFloatTypeAtEveryOffset)
{
    const Kernels& k = kKernels[Level()];
    TestRng rng(171);
    for (int32_t n = 1; n <= 20; ++n)
    {
        std::vector<float> c(2 * n);
        std::vector<double> d(2 * n);
        for (int32_t i = 0; i < 2 * n; ++i)
        {
            c[i] = float(rng.Uniform(-100, 100));
            d[i] = rng.Uniform(-100, 100);
        }
        for (size_t offset = 0; offset < 16; offset += 4)
        {
            GuardedBuffer<float> c32(2 * size_t(n), offset);
            GuardedBuffer<double> f64(size_t(n), offset & 8), c64(2 * size_t(n), offset & 8);
            k.sqrC32(c.data(), c32.data(), n);
            k.sqrF64(d.data(), f64.data(), n);
            k.sqrC64(d.data(), c64.data(), n);
            ASSERT_TRUE(c32.GuardsIntact() && f64.GuardsIntact() && c64.GuardsIntact()) << n;
            for (int32_t i = 0; i < n; ++i)
            {
                const float re = c[2 * i], im = c[2 * i + 1], rr = re * re, ii = im * im, ri = re * im;
                ASSERT_EQ(FloatBits(rr - ii), FloatBits(c32[2 * i])) << n << " " << i;
                ASSERT_EQ(FloatBits(ri + ri), FloatBits(c32[2 * i + 1])) << n << " " << i;
                ASSERT_EQ(d[i] * d[i], f64[i]);
                const double dr = d[2 * i], di = d[2 * i + 1], drr = dr * dr, dii = di * di, dri = dr * di;
                ASSERT_EQ(drr - dii, c64[2 * i]);
                ASSERT_EQ(dri + dri, c64[2 * i + 1]);
            }
        }
    }
    const float cases[] = {3, 4, 0, 1, 1, 1, 1e20f, 1e20f};
    float out[8];
    k.sqrC32(cases, out, 4);
    const float want[] = {-7, 24, -1, 0, 0, 2, NAN, INFINITY};
    for (int32_t i = 0; i < 6; ++i)
        EXPECT_EQ(want[i], out[i]) << i;
    EXPECT_TRUE(std::isnan(out[6]));
    EXPECT_EQ(INFINITY, out[7]);
}

// The element-wise minimum and maximum keep srcdst unless src is strictly below (above) it, so a
// NaN on either side and equal zeros of either sign leave srcdst as it was, on every path: the
// single elements of an unaligned srcdst, the alignment steps, the blocks of 32, 16, 8 and 4, and
// the two- and one-element stages. Add-product keeps the sign of zero sums: (-0 x c) + -0 is -0.
TEST_P(SpMinMaxLevelTest, ElementwiseNaNAndSignedZerosFollowTheStrictCompare)
{
    uint32_t payloadBits = 0x7FC01234u;
    float payloadNan;
    memcpy(&payloadNan, &payloadBits, 4);
    // {src, srcdst} pairs, cycled over the vector.
    const float pairs[][2] = {{1.0f, NAN},        {NAN, 1.0f},        {-0.0f, 0.0f},  {0.0f, -0.0f},
                              {payloadNan, -NAN}, {-NAN, payloadNan}, {-1.0f, -0.0f}, {INFINITY, NAN},
                              {-INFINITY, -0.0f}, {2.0f, 2.0f},       {NAN, -0.0f}};
    const int32_t pairCount = int32_t(sizeof(pairs) / sizeof(pairs[0]));
    for (int32_t n : {1, 2, 3, 63, 75})
    {
        for (size_t offset : {0u, 4u, 8u, 12u, 2u})
        {
            std::vector<float> src(static_cast<size_t>(n) + 1), before(static_cast<size_t>(n));
            for (int32_t i = 0; i < n; ++i)
            {
                src[size_t(i) + 1] = pairs[(i + n) % pairCount][0];
                before[size_t(i)] = pairs[(i + n) % pairCount][1];
            }
            const float* from = src.data() + 1; // 4 bytes off whatever alignment srcdst has
            for (int32_t op = 0; op < 3; ++op)
            {
                GuardedCopy<float> dst(before, offset);
                const SpStatus status = op == 0   ? SpMinEveryInPlaceF32(from, dst.data(), n)
                                        : op == 1 ? SpMaxEveryInPlaceF32(from, dst.data(), n)
                                                  : SpAddProductConstF32(from, -2.5f, dst.data(), n);
                ASSERT_EQ(SpOk, status);
                ASSERT_TRUE(dst.buffer.GuardsIntact());
                for (int32_t i = 0; i < n; ++i)
                {
                    const float a = from[i], b = before[size_t(i)];
                    float got;
                    memcpy(&got, dst.data() + i, 4);
                    if (op == 2)
                    {
                        const float want = a * -2.5f + b;
                        if (std::isnan(want))
                            ASSERT_TRUE(std::isnan(got)) << i;
                        else
                            ASSERT_EQ(FloatBits(want), FloatBits(got)) << "add product " << a << " " << b;
                        continue;
                    }
                    const float want = op == 0 ? (a < b ? a : b) : (a > b ? a : b);
                    ASSERT_EQ(FloatBits(want), FloatBits(got))
                        << (op == 0 ? "min" : "max") << " of " << a << " and " << b << ", n " << n
                        << " offset " << offset << " element " << i;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpMinMaxLevelTest, ::testing::Values(1, 2, 3), SpLevelName);
