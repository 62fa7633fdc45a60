// The float exponential at levels 1-3: bit for bit against a scalar model of its formula (built
// on this processor's scalar reciprocal estimate) and within 5 ulp of the correctly rounded e^x
// over a dense sweep of the finite range; the special lanes, exact lengths and the dropped flags.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

#include <cmath>
#include <vector>

#include "driver/primitives/sp_lib.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

class SpExpLevelTest : public SpLevelTest
{
};

// The formula lane by lane: k = round(x log2 e) by the 1.5 x 2^23 trick, a two-part ln 2
// reduction, the Pade approximant P/Q with Q inverted by the estimate and one Newton step.
float ModelExp(float x)
{
    const float round = 12582912.0f;
    const float s = x * BitsFloat(0x3FB8AA3Bu) + round;
    const int32_t k = int16_t(FloatBits(s) & 0xFFFF);
    const float kf = s - round;
    const float r = (kf * -0.693359375f + x) + kf * BitsFloat(0x395E8083u);
    const float t = r * r;
    const float a = t + 10.0f;
    const float b = (a + 50.0f) * r;
    const float c = a * 12.0f;
    const float p = b + c, q = c - b;
    const float y0 = _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(q)));
    const float y = y0 * (2.0f - q * y0);
    return std::ldexp(y * p, k);
}

} // namespace

TEST_P(SpExpLevelTest, MatchesItsModelAndStaysWithinFiveUlp)
{
    // Every 997th float pattern between -87.3 and 88.72 of both signs.
    std::vector<float> x;
    for (uint32_t bits = 0; bits < 0x42B17218u; bits += 997)
    {
        x.push_back(BitsFloat(bits));
        if (bits <= 0x42AEA000u)
            x.push_back(BitsFloat(bits | 0x80000000u));
    }
    std::vector<float> e = x;
    ASSERT_EQ(SpOk, SpExpInPlaceF32(e.data(), int32_t(e.size())));
    int64_t worst = 0;
    for (size_t i = 0; i < x.size(); ++i)
    {
        ASSERT_EQ(FloatBits(ModelExp(x[i])), FloatBits(e[i])) << x[i];
        worst = std::max(worst, UlpDistance(float(std::exp(double(x[i]))), e[i]));
    }
    EXPECT_LE(worst, 5);
}

TEST_P(SpExpLevelTest, SpecialLanesLengthsAndFlags)
{
    const float next = BitsFloat(0x42AE3334u); // just above 87.1
    alignas(16) float v[] = {-87.33650207519531f,
                             -INFINITY,
                             -87.3f,
                             87.1f,
                             next,
                             BitsFloat(0x42B17217u),
                             BitsFloat(0x42B17218u),
                             INFINITY,
                             BitsFloat(0x7FC00000u),
                             BitsFloat(0x7F800001u),
                             BitsFloat(0xFFC00001u),
                             0.0f,
                             1.0f};
    const int32_t n = int32_t(sizeof(v) / sizeof(v[0]));
    _mm_setcsr(_mm_getcsr() & ~0x3Fu);
    ASSERT_EQ(SpOk, SpExpInPlaceF32(v, n));
    EXPECT_EQ(0u, _mm_getcsr() & 0x1Fu) << "overflow and underflow flags dropped";
    EXPECT_EQ(0u, FloatBits(v[0]));
    EXPECT_EQ(0u, FloatBits(v[1]));
    EXPECT_NEAR(1.219e-38, v[2], 0.001e-38);
    EXPECT_TRUE(std::isfinite(v[3]) && std::isfinite(v[4]) && std::isfinite(v[5]));
    EXPECT_LE(UlpDistance(float(std::exp(double(BitsFloat(0x42B17217u)))), v[5]), 5);
    EXPECT_EQ(INFINITY, v[6]);
    EXPECT_EQ(INFINITY, v[7]);
    EXPECT_EQ(0x7FC00000u, FloatBits(v[8]));
    EXPECT_EQ(0x7FC00001u, FloatBits(v[9])) << "a signalling NaN comes back quiet, not infinite";
    EXPECT_EQ(0xFFC00001u, FloatBits(v[10]));
    EXPECT_LE(UlpDistance(1.0f, v[11]), 1);
    EXPECT_LE(UlpDistance(2.7182817f, v[12]), 5);
    // Short lengths write exactly their elements.
    for (int32_t len : {1, 2, 3, 5})
    {
        GuardedBuffer<float> buf(len, 4);
        for (int32_t i = 0; i < len; ++i)
            buf[i] = 0.5f * float(i);
        ASSERT_EQ(SpOk, SpExpInPlaceF32(buf.data(), len));
        ASSERT_TRUE(buf.GuardsIntact()) << len;
        for (int32_t i = 0; i < len; ++i)
            ASSERT_EQ(FloatBits(ModelExp(0.5f * float(i))), FloatBits(buf[i])) << len;
    }
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpExpLevelTest, ::testing::Values(1, 2, 3), SpLevelName);
