// The float logarithm at levels 1-3: documented values and bits (including the last bit that a
// block partner's shared division decides; the accuracy over every binade is the vector tests'
// and the offsets and guard zones the level table's), the special inputs, and the first special element
// across the 256-element chunks choosing the warning.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <cmath>
#include <vector>

#include "driver/primitives/sp_lib.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

class SpLnLevelTest : public SpLevelTest
{
};

} // namespace

TEST_P(SpLnLevelTest, DocumentedValuesAndBlockPartners)
{
    float v[6] = {1.0f, 2.0f, 10.0f, 1e30f, 0.5f, BitsFloat(0x3FB504F2u)};
    ASSERT_EQ(SpOk, SpLnInPlaceF32(v, 6));
    EXPECT_EQ(0u, FloatBits(v[0]));
    EXPECT_EQ(0x3F317218u, FloatBits(v[1]));
    EXPECT_EQ(2.3025851f, v[2]);
    EXPECT_EQ(69.07755f, v[3]);
    EXPECT_EQ(-0.6931472f, v[4]);
    EXPECT_LE(UlpDistance(float(std::log(double(BitsFloat(0x3FB504F2u)))), v[5]), 2);
    // A lone 0.75, and 0.75 beside 1.0 in a block, get one bit pattern; eight 0.75 sharing their
    // divisions get one lower.
    float lone = 0.75f;
    ASSERT_EQ(SpOk, SpLnInPlaceF32(&lone, 1));
    EXPECT_EQ(0xBE934B10u, FloatBits(lone));
    alignas(16) float block[32];
    for (int32_t i = 0; i < 32; ++i)
        block[i] = i < 8 ? 0.75f : (i < 12 ? 1.0f : (i < 16 ? 0.75f : 1.0f));
    ASSERT_EQ(SpOk, SpLnInPlaceF32(block, 32));
    for (int32_t i = 0; i < 8; ++i)
        EXPECT_EQ(0xBE934B0Fu, FloatBits(block[i])) << i;
    for (int32_t i = 12; i < 16; ++i)
        EXPECT_EQ(0xBE934B10u, FloatBits(block[i])) << i;
}

TEST_P(SpLnLevelTest, SpecialInputsAndTheFirstSpecialAcrossChunks)
{
    for (int32_t n : {8, 40})
    {
        std::vector<float> v(n, 3.0f);
        const uint32_t in[] = {0x00000000u, 0x80000000u, 0x7FC12345u, 0x7F812345u, 0x7F800000u, 0x00000123u};
        for (int32_t i = 0; i < 6; ++i)
            v[2 + i] = BitsFloat(in[i]);
        ASSERT_EQ(SpWarnLnZero, SpLnInPlaceF32(v.data(), n));
        EXPECT_EQ(0xFF800000u, FloatBits(v[2]));
        EXPECT_EQ(0xFFC00000u, FloatBits(v[3]));
        EXPECT_EQ(0x7FC12345u, FloatBits(v[4]));
        EXPECT_EQ(0x7FC12345u, FloatBits(v[5])) << "a signalling NaN comes back quiet";
        EXPECT_EQ(0x7F800000u, FloatBits(v[6]));
        EXPECT_LE(UlpDistance(float(std::log(double(BitsFloat(0x123u)))), v[7]), 2);
    }
    std::vector<float> a(600, 2.0f), b(600, 2.0f);
    a[10] = -1.0f;
    a[300] = 0.0f;
    b[10] = 0.0f;
    b[300] = -1.0f;
    EXPECT_EQ(SpWarnLnNegative, SpLnInPlaceF32(a.data(), 600));
    EXPECT_EQ(SpWarnLnZero, SpLnInPlaceF32(b.data(), 600));
    EXPECT_EQ(0xFFC00000u, FloatBits(a[10]));
    EXPECT_EQ(0xFF800000u, FloatBits(a[300]));
    EXPECT_EQ(0x3F317218u, FloatBits(a[599]));
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpLnLevelTest, ::testing::Values(1, 2, 3), SpLevelName);
