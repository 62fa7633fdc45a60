// Summation kernels beside float at levels 1-3 and the level-1 dot products of the other element
// types: integer results exact against 64-bit arithmetic, floating ones within their accumulation's
// rounding of a long-double reference, complex parts in (real, imaginary) order at every offset,
// scaled results rounded to nearest whatever the caller's mode and saturated.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

#include <climits>
#include <cmath>
#include <vector>

#include "driver/primitives/vectors/sp_sum_dot_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{
// clang-format off
#define SP_LEVELS(name, k) const decltype(&k##_L1) name[] = {k##_L1, k##_L2, k##_L3}
SP_LEVELS(kBlockA, SpSumBlockAlignedF32); SP_LEVELS(kBlockU, SpSumBlockUnalignedF32);
SP_LEVELS(kFastFc32, SpSumFastKernelFc32); SP_LEVELS(kAccFc32, SpSumAccurateKernelFc32);
SP_LEVELS(kF64, SpSumKernelF64); SP_LEVELS(kFc64, SpSumKernelFc64);
SP_LEVELS(kI16, SpSumKernelI16); SP_LEVELS(kIc16, SpSumKernelIc16);
SP_LEVELS(kRound, SpRoundScaledF64ToI32); SP_LEVELS(kRoundC, SpRoundScaledFc64ToIc32);
// clang-format on

class SpSumTypesLevelTest : public ::testing::TestWithParam<int32_t>
{
protected:
    void SetUp() override
    {
        if (!SpLevelRunsHere(GetParam()))
            GTEST_SKIP() << "this processor lacks the instructions of level " << GetParam();
    }
    int32_t L() const { return GetParam() - 1; }
};

} // namespace

TEST_P(SpSumTypesLevelTest, IntegerSumsAreExact)
{
    TestRng rng(240);
    std::vector<int16_t> x(200003);
    for (int16_t& v : x)
        v = int16_t(rng.Next32());
    for (size_t offset : {0u, 2u, 6u, 1u})
    {
        for (size_t n : {size_t(1), size_t(7), size_t(65537), x.size()})
        {
            std::vector<int16_t> part(x.begin(), x.begin() + long(n));
            GuardedCopy<int16_t> src(part, offset);
            int64_t want = 0, re = 0, im = 0;
            for (size_t i = 0; i < n; ++i)
                want += part[i];
            double got = 0, pair[2] = {};
            kI16[L()](src.data(), &got, int32_t(n));
            EXPECT_EQ(double(want), got) << n << " at " << offset;
            for (size_t i = 0; i + 1 < n; i += 2)
                re += part[i], im += part[i + 1];
            kIc16[L()](reinterpret_cast<const SpIc16*>(src.data()), pair, int32_t(n / 2));
            EXPECT_EQ(double(re), pair[0]) << n << " at " << offset;
            EXPECT_EQ(double(im), pair[1]) << n << " at " << offset;
        }
    }
    std::vector<int16_t> low(200000, int16_t(-32768));
    double got = 0;
    kI16[L()](low.data(), &got, 200000);
    EXPECT_EQ(-6553600000.0, got);
}

TEST_P(SpSumTypesLevelTest, FloatingSumsKeepTheirPartsInOrder)
{
    TestRng rng(241);
    for (size_t n : {size_t(1), size_t(2), size_t(5), size_t(17), size_t(40), size_t(32769)})
    {
        std::vector<double> d(2 * n);
        std::vector<float> f(2 * n);
        for (size_t i = 0; i < 2 * n; ++i)
            d[i] = f[i] = float(rng.Uniform(-1, 1) + (i % 2 == 0 ? 3.0 : -5.0)); // re near 3, im near -5
        for (size_t offset : {0u, 4u, 8u, 12u})
        {
            GuardedCopy<double> sd(d, offset);
            GuardedCopy<float> sf(f, offset);
            long double re = 0, im = 0, all = 0;
            for (size_t i = 0; i < n; ++i)
                re += d[2 * i], im += d[2 * i + 1];
            for (size_t i = 0; i < 2 * n; ++i)
                all += d[i];
            double pair[2], one;
            const long double tolD = 1e-15L * 6 * n, tolF = 1e-6L * 6 * n;
            kFc64[L()](sd.data(), int32_t(n), pair);
            EXPECT_NEAR(double(re), pair[0], double(tolD)) << n << " at " << offset;
            EXPECT_NEAR(double(im), pair[1], double(tolD)) << n << " at " << offset;
            kF64[L()](sd.data(), int32_t(2 * n), &one);
            EXPECT_NEAR(double(all), one, double(tolD)) << n << " at " << offset;
            kAccFc32[L()](sf.data(), int32_t(n), pair);
            EXPECT_NEAR(double(re), pair[0], double(tolD)) << n << " at " << offset;
            EXPECT_NEAR(double(im), pair[1], double(tolD)) << n << " at " << offset;
            kFastFc32[L()](sf.data(), int32_t(n), pair);
            EXPECT_NEAR(double(re), pair[0], double(tolF)) << n << " at " << offset;
            EXPECT_NEAR(double(im), pair[1], double(tolF)) << n << " at " << offset;
            // The block routines leave the cursor past the last float read.
            const float* cursor = sf.data();
            float partials[2];
            ((offset & 15) == 0 ? kBlockA : kBlockU)[L()](&cursor, int32_t(n), partials);
            EXPECT_EQ(sf.data() + n, cursor);
            long double first = 0;
            for (size_t i = 0; i < n; ++i)
                first += d[i];
            EXPECT_NEAR(double(first), double(partials[0]) + partials[1], double(tolF));
        }
    }
}

TEST_P(SpSumTypesLevelTest, ScaledRoundingClampsBeforeConverting)
{
    // {value, s, expected}: halves to even, both bounds, NaN, multipliers of 0 and infinity.
    const struct
    {
        double v;
        int32_t s;
        int32_t want;
    } cases[] = {{5.0, 1, 2},
                 {7.0, 1, 4},
                 {3e9, 0, INT_MAX},
                 {-3e9, 0, INT_MIN},
                 {NAN, 0, INT_MIN},
                 {1.0, -1024, INT_MAX},
                 {-1.0, -1024, INT_MIN},
                 {1e300, 1023, 0},
                 {1.0, -30, 1 << 30},
                 {1.0, INT_MIN, INT_MAX},
                 {1.0, INT_MAX, 0}};
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.want, kRound[L()](&c.v, c.s)) << c.v << " s " << c.s;
        const double pair[2] = {c.v, -c.v};
        int32_t out[2];
        kRoundC[L()](pair, out, c.s);
        EXPECT_EQ(c.want, out[0]);
    }
}

TEST_P(SpSumTypesLevelTest, LengthsBelowOneLeaveTheResult)
{
    const double untouched = -7.5;
    for (int32_t n : {0, -3})
    {
        double r[2] = {untouched, untouched};
        const double d[2] = {1.0, 2.0};
        const float f[2] = {1.0f, 2.0f};
        const int16_t i[2] = {1, 2};
        kF64[L()](d + 1, n, r); // 8 past a 16-byte boundary or not: nothing is read either way
        kFc64[L()](d + 1, n, r);
        kFastFc32[L()](f, n, r);
        kAccFc32[L()](f, n, r);
        kI16[L()](i, r, n);
        kIc16[L()](reinterpret_cast<const SpIc16*>(i), r, n);
        EXPECT_EQ(untouched, r[0]);
        EXPECT_EQ(untouched, r[1]);
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, SpSumTypesLevelTest, ::testing::Values(1, 2, 3), SpLevelName);

TEST(SpDotTypesLevel1, IntegerDotProductsAreExact)
{
    if (!SpLevelRunsHere(1))
        GTEST_SKIP();
    TestRng rng(242);
    std::vector<int16_t> a(203), b(406);
    for (int16_t& v : a)
        v = int16_t(rng.Next32());
    for (int16_t& v : b)
        v = int16_t(rng.Next32());
    a[0] = a[1] = b[0] = b[1] = b[2] = b[3] = -32768; // the wrapping pairs
    for (size_t offset : {0u, 2u, 6u})
    {
        for (int32_t n : {1, 3, 16, 17, 203})
        {
            GuardedCopy<int16_t> x(a, offset);
            int64_t want = 0, re = 0, im = 0, rr = 0, ri = 0;
            for (int32_t i = 0; i < n; ++i)
            {
                want += int64_t(a[size_t(i)]) * b[size_t(i)];
                re += int64_t(a[size_t(i)]) * b[2 * size_t(i)];
                im += int64_t(a[size_t(i)]) * b[2 * size_t(i) + 1];
            }
            int64_t got = 0, pair[2];
            SpDotProdKernelI16ToI64_L1(x.data(), b.data(), n, &got);
            EXPECT_EQ(want, got) << n;
            SpDotProdPeelKernelI16ToI64_L1(x.data(), b.data(), n, &got);
            EXPECT_EQ(want, got) << n;
            SpDotProdKernelI16Ic16ToIc64_L1(x.data(), reinterpret_cast<const SpIc16*>(b.data()), n, pair);
            EXPECT_EQ(re, pair[0]) << n;
            EXPECT_EQ(im, pair[1]) << n;
            const auto* za = reinterpret_cast<const SpIc16*>(b.data());
            for (int32_t i = 0; i < n / 2; ++i)
            {
                const SpIc16 p = za[i], q = za[n / 2 + i];
                rr += int64_t(p.re) * q.re - int64_t(p.im) * q.im;
                ri += int64_t(p.re) * q.im + int64_t(p.im) * q.re;
            }
            SpDotProdKernelIc16ToIc64_L1(za, za + n / 2, n / 2 > 0 ? n / 2 : 1, pair);
            if (n / 2 > 0)
            {
                EXPECT_EQ(rr, pair[0]) << n;
                EXPECT_EQ(ri, pair[1]) << n;
            }
        }
    }
    std::vector<int16_t> low(16, int16_t(-32768));
    int64_t got = 0;
    SpDotProdKernelI16ToI64_L1(low.data(), low.data(), 16, &got);
    EXPECT_EQ(17179869184ll, got);
}

TEST(SpDotTypesLevel1, FloatingAndScaledDotProducts)
{
    if (!SpLevelRunsHere(1))
        GTEST_SKIP();
    TestRng rng(243);
    std::vector<double> a(80), b(160);
    for (double& v : a)
        v = float(rng.Uniform(-2, 2));
    for (double& v : b)
        v = float(rng.Uniform(-2, 2));
    const std::vector<float> af(a.begin(), a.end()), bf(b.begin(), b.end());
    for (int32_t n : {1, 2, 7, 16, 40})
    {
        long double dot = 0, re = 0, im = 0, cre = 0, cim = 0;
        for (int32_t i = 0; i < n; ++i)
        {
            dot += a[size_t(i)] * b[size_t(i)];
            re += a[size_t(i)] * b[2 * size_t(i)], im += a[size_t(i)] * b[2 * size_t(i) + 1];
            cre += a[2 * size_t(i)] * b[2 * size_t(i)] - a[2 * size_t(i) + 1] * b[2 * size_t(i) + 1];
            cim += a[2 * size_t(i)] * b[2 * size_t(i) + 1] + a[2 * size_t(i) + 1] * b[2 * size_t(i)];
        }
        const double tolD = 1e-14 * n, tolF = 1e-5 * n;
        double d, pd[2];
        float pf[2];
        SpDotProdKernelF64_L1(a.data(), b.data(), n, &d);
        EXPECT_NEAR(double(dot), d, tolD);
        SpDotProdKernelF64Fc64_L1(a.data(), b.data(), n, pd);
        EXPECT_NEAR(double(re), pd[0], tolD);
        EXPECT_NEAR(double(im), pd[1], tolD);
        SpDotProdKernelFc64_L1(a.data(), b.data(), n, pd);
        EXPECT_NEAR(double(cre), pd[0], tolD);
        EXPECT_NEAR(double(cim), pd[1], tolD);
        SpDotProdKernelF32Fc32_L1(af.data(), bf.data(), n, pf);
        EXPECT_NEAR(double(re), pf[0], tolF);
        EXPECT_NEAR(double(im), pf[1], tolF);
        SpDotProdKernelFc32_L1(af.data(), bf.data(), n, pf);
        EXPECT_NEAR(double(cre), pf[0], tolF);
        EXPECT_NEAR(double(cim), pf[1], tolF);
    }
    // Scaled: 5 * 0.5 = 2.5 goes to 2 under a caller's round-up mode, which comes back; 3e9
    // saturates; complex parts scale alike.
    const uint32_t original = _mm_getcsr();
    const int32_t five[2] = {5, 1}, one[4] = {1, 0, 0, 0}, big[2] = {60000, 50000};
    const int16_t five16[1] = {5};
    const double half = 0.5, unit = 1.0;
    int32_t out[2] = {};
    _mm_setcsr(original | 0x4000u);
    SpDotProdKernelI32Scaled_L1(five, one, 1, out, &half);
    const uint32_t after = _mm_getcsr();
    _mm_setcsr(original);
    EXPECT_EQ(2, out[0]);
    EXPECT_EQ(original | 0x4000u, after);
    SpDotProdKernelI16I32Scaled_L1(five16, one, 1, out, &half);
    EXPECT_EQ(2, out[0]);
    SpDotProdKernelI32Scaled_L1(big, big, 1, out, &unit);
    EXPECT_EQ(INT_MAX, out[0]);
    SpDotProdKernelI32Ic32Scaled_L1(five, five, 1, out, &half); // 5 * (5 + 1i) / 2
    EXPECT_EQ(12, out[0]);
    EXPECT_EQ(2, out[1]);
    SpDotProdKernelIc32Scaled_L1(five, five, 1, out, &unit); // (5 + i)^2 = 24 + 10i
    EXPECT_EQ(24, out[0]);
    EXPECT_EQ(10, out[1]);
}

#undef SP_LEVELS
