// Logarithm kernels beside the float one in place, at levels 1-3: the float kernel from source
// to destination gives the in-place kernel's bits at the same alignment (each element shares its
// division with the same partner) and stays within 2 ulp of the double logarithm; the integer
// kernels round ln(x) 2^-s within their float arithmetic, saturate, and give the type's minimum
// and the first special element's code for zero and negative elements.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <climits>
#include <cmath>
#include <vector>

#include "driver/primitives/vectors/sp_ln_levels.h"
#include "driver/primitives/vectors/sp_vector_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{
// clang-format off
#define SP_LEVELS(name, k) const decltype(&k##_L1) name[] = {k##_L1, k##_L2, k##_L3}
SP_LEVELS(kF32, SpLnKernelF32); SP_LEVELS(kInPlace, SpLnInPlaceKernelF32);
SP_LEVELS(kI32, SpLnKernelI32Scaled); SP_LEVELS(kI32InPlace, SpLnInPlaceKernelI32Scaled);
SP_LEVELS(kI32To16, SpLnKernelI32ToI16Scaled); SP_LEVELS(kI16, SpLnKernelI16Scaled);
SP_LEVELS(kI16InPlace, SpLnInPlaceKernelI16Scaled); SP_LEVELS(kFactor, SpScaleFactorF32);
SP_LEVELS(kF64, SpLnKernelF64); SP_LEVELS(kF64ToF32, SpLnKernelF64ToF32);
// clang-format on

class SpLnTypesLevelTest : public ::testing::TestWithParam<int32_t>
{
protected:
    void SetUp() override
    {
        if (!SpLevelRunsHere(GetParam()))
            GTEST_SKIP() << "this processor lacks the instructions of level " << GetParam();
    }
    int32_t L() const { return GetParam() - 1; }
    alignas(16) uint8_t m_work[2048];
};

} // namespace

TEST_P(SpLnTypesLevelTest, FloatFromSourceMatchesInPlaceAndTheLogarithm)
{
    TestRng rng(220);
    std::vector<float> x(120);
    for (float& v : x)
        v = float(std::ldexp(rng.Uniform(1, 2), int(rng.Next32() % 120) - 60));
    for (size_t offset : {0u, 4u, 12u})
    {
        for (size_t n : {size_t(5), size_t(31), size_t(32), size_t(45), x.size()})
        {
            std::vector<float> part(x.begin(), x.begin() + long(n));
            GuardedCopy<float> inPlace(part, offset);
            GuardedBuffer<float> dst(n, offset);
            EXPECT_EQ(0, kF32[L()](part.data() + 0, part.data(), 0, m_work)); // a count of 0 writes nothing
            GuardedCopy<float> src(part, offset);
            EXPECT_EQ(0, kF32[L()](src.data(), dst.data(), int64_t(n), m_work));
            EXPECT_EQ(0, kInPlace[L()](inPlace.data(), int64_t(n), m_work));
            ASSERT_EQ(0, memcmp(dst.data(), inPlace.data(), 4 * n)) << n << " at " << offset;
            for (size_t i = 0; i < n; ++i)
                EXPECT_LE(UlpDistance(float(std::log(double(part[i]))), dst[i]), 2) << part[i];
            EXPECT_TRUE(dst.GuardsIntact());
        }
    }
    // Specials and the first special element's code, in both orders.
    const float in[6] = {2.0f, 0.0f, -1.0f, INFINITY, 1e30f, 10.0f};
    float out[6];
    EXPECT_EQ(2, kF32[L()](in, out, 6, m_work));
    EXPECT_EQ(0x3F317218u, FloatBits(out[0]));
    EXPECT_EQ(0xFF800000u, FloatBits(out[1]));
    EXPECT_EQ(0xFFC00000u, FloatBits(out[2]));
    EXPECT_EQ(0x7F800000u, FloatBits(out[3]));
    EXPECT_FLOAT_EQ(69.07755f, out[4]);
    const float swapped[2] = {-1.0f, 0.0f};
    EXPECT_EQ(4, kF32[L()](swapped, out, 2, m_work));
}

TEST_P(SpLnTypesLevelTest, IntegerLogarithmsRoundScaleAndSaturate)
{
    // {x, s, expected 32-bit result}
    const int64_t cases[][3] = {{3, 0, 1},      {20, 0, 3},         {1, 0, 0},
                                {3, -10, 1125}, {2, -15, 22713},    {INT_MAX, -30, 2147483520},
                                {100, 2, 1},    {32767, -13, 85174}};
    for (const auto& c : cases)
    {
        const int32_t s = int32_t(c[1]);
        float f;
        kFactor[L()](s, &f);
        int32_t x32[40], out32[40];
        int16_t x16[40], out16[40];
        for (int32_t i = 0; i < 40; ++i)
            x32[i] = int32_t(c[0]), x16[i] = int16_t(c[0] > 32767 ? 32767 : c[0]);
        EXPECT_EQ(0, kI32[L()](x32, out32, 40, &f, m_work));
        float head[8];
        memcpy(head, m_work, sizeof(head));
        EXPECT_EQ(f, head[0]);
        EXPECT_EQ(f * 0.6931472f, head[4]);
        EXPECT_EQ(0, kI32To16[L()](x32, out16, 40, s, m_work));
        for (int32_t i = 0; i < 40; ++i)
        {
            EXPECT_EQ(c[2], out32[i]) << c[0] << " s " << s << " at " << i;
            EXPECT_EQ(c[2] > 32767 ? 32767 : c[2], out16[i]) << c[0] << " s " << s;
        }
        if (c[0] <= 32767)
        {
            EXPECT_EQ(0, kI16InPlace[L()](x16, 40, s, m_work));
            for (int32_t i = 0; i < 40; ++i)
                EXPECT_EQ(c[2] > 32767 ? 32767 : c[2], x16[i]) << c[0] << " s " << s;
        }
        EXPECT_EQ(0, kI32InPlace[L()](x32, 40, &f, m_work));
        EXPECT_EQ(0, memcmp(x32, out32, sizeof(x32)));
    }
    // Random elements at every offset: within one half plus the float arithmetic's error.
    TestRng rng(221);
    std::vector<int32_t> x(100);
    for (int32_t& v : x)
        v = int32_t(rng.Next32() >> (1 + rng.Next32() % 31));
    x[7] = 0;
    x[9] = -5;
    for (int32_t s : {0, -8, -20})
    {
        for (size_t offset : {0u, 4u, 8u})
        {
            GuardedBuffer<int32_t> dst(x.size(), offset);
            const float f = std::ldexp(1.0f, -s);
            EXPECT_EQ(2, kI32[L()](x.data(), dst.data(), int64_t(x.size()), &f, m_work));
            std::vector<int16_t> small(x.size());
            for (size_t i = 0; i < x.size(); ++i)
                small[i] = int16_t((x[i] >> 16) | 1);
            small[7] = -1;
            small[9] = 0;
            GuardedCopy<int16_t> s16(small, offset / 2);
            GuardedBuffer<int16_t> d16(x.size(), offset / 2);
            EXPECT_EQ(4, kI16[L()](s16.data(), d16.data(), int64_t(x.size()), s, m_work));
            for (size_t i = 0; i < x.size(); ++i)
            {
                const double want = x[i] > 0 ? std::log(double(float(x[i]))) * f : -1e300;
                const double want16 = small[i] > 0 ? std::log(double(small[i])) * f : -1e300;
                if (x[i] > 0)
                    EXPECT_LE(std::fabs(dst[i] - want), 0.5 + 4e-7 * std::fabs(want) + 1e-3) << x[i];
                else
                    EXPECT_EQ(INT_MIN, dst[i]);
                if (small[i] > 0)
                    EXPECT_LE(std::fabs(d16[i] - std::min(want16, 32767.0)),
                              0.5 + 4e-7 * std::fabs(want16) + 1e-3);
                else
                    EXPECT_EQ(-32768, d16[i]);
            }
            EXPECT_TRUE(dst.GuardsIntact());
            EXPECT_TRUE(d16.GuardsIntact());
        }
    }
    float f;
    kFactor[L()](3, &f);
    EXPECT_EQ(0.125f, f);
    kFactor[L()](-2, &f);
    EXPECT_EQ(4.0f, f);
}

TEST_P(SpLnTypesLevelTest, DoubleLogarithmThroughTheReciprocalTable)
{
    // The table's defining properties: c a multiple of 2^-12 near 1/(1 + j/64), hi + lo = -ln(c).
    for (int32_t j = 0; j <= 64; ++j)
    {
        const double* row = SpLnTableF64[j];
        EXPECT_EQ(row[0], row[1]);
        EXPECT_EQ(row[0] * 4096.0, std::nearbyint(row[0] * 4096.0));
        EXPECT_LE(std::fabs(row[0] * (1.0 + j / 64.0) - 1.0), 1.0 / 4096.0);
        EXPECT_LE(fabsl((long double)row[2] + row[3] + logl(row[0])), 6e-16L) << j;
        EXPECT_GE(row[3], 0.0);
    }
    TestRng rng(221);
    std::vector<double> x(101);
    for (double& v : x)
        v = std::ldexp(rng.Uniform(0.5, 2), int(rng.Next32() % 2000) - 1000);
    x[3] = 0.9990234375; // j = 64, e = -1: the exact-zero branch
    x[4] = 1.0 + 1e-9;
    std::vector<double> y(x.size());
    std::vector<float> yf(x.size());
    EXPECT_EQ(0, kF64[L()](x.data(), y.data(), int64_t(x.size())));
    EXPECT_EQ(0, kF64ToF32[L()](x.data(), yf.data(), int64_t(x.size())));
    for (size_t i = 0; i < x.size(); ++i)
    {
        const long double want = logl(x[i]);
        // A few ulp of the result, and of ln 2 times the exponent for the large ones.
        EXPECT_LE(fabsl(y[i] - want), 4 * 2.3e-16L * fabsl(want) + 1e-18L) << x[i];
        EXPECT_EQ(FloatBits(float(y[i])), FloatBits(yf[i]));
    }
    // {input, expected result}; specials by their bits, with the code of the first special element.
    const double in[] = {1.0, 2.0, 0.5, 10.0, 3.0, 1e300, 0.9990234375, INFINITY, NAN, std::ldexp(1.0, -1050),
                         0.0, -0.0};
    const double want[] = {0.0,
                           0.693147180559945,
                           -0.693147180559945,
                           2.302585092994045,
                           1.0986122886681098,
                           690.7755278982133,
                           -0.0009770396478266127};
    double out[12];
    float outF[12];
    EXPECT_EQ(2, kF64[L()](in, out, 12));
    EXPECT_EQ(2, kF64ToF32[L()](in, outF, 12));
    for (int32_t i = 0; i < 7; ++i)
        EXPECT_NEAR(want[i], out[i], 4 * 2.3e-16 * std::fabs(want[i]) + 1e-18) << in[i];
    EXPECT_EQ(0.0, out[0]);
    EXPECT_EQ(0x3F317218u, FloatBits(outF[1]));
    EXPECT_TRUE(std::isinf(out[7]) && out[7] > 0);
    uint64_t bits;
    memcpy(&bits, &out[8], 8);
    EXPECT_EQ(0x7FF8000000000000ull, bits);
    EXPECT_EQ(-INFINITY, out[9]);
    EXPECT_EQ(-INFINITY, out[10]);
    memcpy(&bits, &out[11], 8);
    EXPECT_EQ(0xFFF8000000000000ull, bits);
    EXPECT_EQ(0xFFC00000u, FloatBits(outF[11]));
    EXPECT_EQ(4, kF64[L()](in + 11, out, 1));
}

INSTANTIATE_TEST_SUITE_P(Levels, SpLnTypesLevelTest, ::testing::Values(1, 2, 3), SpLevelName);

// The block loop's scratch fits the work buffer that the kernel's layout asks of its caller (32
// bytes of head for the integer kernels, then 4 bytes per block element with a destination of
// its own, 8 in place) and fills it to the end; a destination that is the source itself gives
// the bits of a separate one, special elements included.
TEST_P(SpLnTypesLevelTest, TwoPassScratchFitsTheWorkBufferAndAnAliasedDestination)
{
    constexpr int64_t kN = 100, kBlockPart = 96; // 16-byte aligned arrays: no peel
    std::vector<int32_t> x(kN);
    TestRng rng(222);
    for (int32_t& v : x)
        v = int32_t(rng.Next32() >> (1 + rng.Next32() % 31));
    x[40] = 0;
    x[50] = -7;
    const float f = 0.25f;
    auto sized = [](int64_t bytes) { return GuardedBuffer<uint8_t>(size_t(bytes), 0); };
    auto filledToEnd = [](GuardedBuffer<uint8_t>& w)
    { return w.GuardsIntact() && w[w.size() - 1] != GuardedBuffer<uint8_t>::kGuardByte; };

    GuardedCopy<int32_t> src(x, 0);
    std::vector<int32_t> want32(kN), got32(kN);
    std::vector<int16_t> want16(kN);
    ASSERT_EQ(2, kI32[L()](src.data(), want32.data(), kN, &f, m_work));
    GuardedBuffer<uint8_t> w1 = sized(32 + 4 * kBlockPart);
    GuardedBuffer<int32_t> dst(kN, 0);
    ASSERT_EQ(2, kI32[L()](src.data(), dst.data(), kN, &f, w1.data()));
    EXPECT_TRUE(filledToEnd(w1));
    EXPECT_EQ(0, memcmp(want32.data(), dst.data(), 4 * kN));
    GuardedCopy<int32_t> same(x, 0);
    ASSERT_EQ(2, kI32[L()](same.data(), same.data(), kN, &f, m_work));
    EXPECT_EQ(0, memcmp(want32.data(), same.data(), 4 * kN));
    GuardedBuffer<uint8_t> w2 = sized(32 + 8 * kBlockPart);
    GuardedCopy<int32_t> inPlace(x, 0);
    ASSERT_EQ(2, kI32InPlace[L()](inPlace.data(), kN, &f, w2.data()));
    EXPECT_TRUE(filledToEnd(w2));
    EXPECT_EQ(0, memcmp(want32.data(), inPlace.data(), 4 * kN));

    ASSERT_EQ(2, kI32To16[L()](src.data(), want16.data(), kN, -4, m_work));
    GuardedBuffer<uint8_t> w3 = sized(32 + 4 * kBlockPart);
    GuardedBuffer<int16_t> dst16(kN, 0);
    ASSERT_EQ(2, kI32To16[L()](src.data(), dst16.data(), kN, -4, w3.data()));
    EXPECT_TRUE(filledToEnd(w3));
    EXPECT_EQ(0, memcmp(want16.data(), dst16.data(), 2 * kN));

    std::vector<float> xf(kN);
    for (int64_t i = 0; i < kN; ++i)
        xf[size_t(i)] = float(x[size_t(i)]);
    GuardedCopy<float> fSrc(xf, 0), fSame(xf, 0), fInPlace(xf, 0);
    GuardedBuffer<float> fDst(kN, 0);
    GuardedBuffer<uint8_t> w4 = sized(4 * kBlockPart);
    const int32_t code = kInPlace[L()](fInPlace.data(), kN, m_work);
    EXPECT_EQ(code, kF32[L()](fSrc.data(), fDst.data(), kN, w4.data()));
    EXPECT_TRUE(filledToEnd(w4));
    EXPECT_EQ(0, memcmp(fInPlace.data(), fDst.data(), 4 * kN));
    EXPECT_EQ(code, kF32[L()](fSame.data(), fSame.data(), kN, m_work));
    EXPECT_EQ(0, memcmp(fInPlace.data(), fSame.data(), 4 * kN));
}

#undef SP_LEVELS
