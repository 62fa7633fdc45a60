// Vector operations at every level against double-precision references: exact where the
// operation is one rounding of an exact result, within an ulp or two for exp and ln, plus the
// operand-order rules and the warnings (resampling is held by resample_levels_test.cpp).
#include "sp_level_fixture.h"
#include "sp_test_support.h"

#include "driver/primitives/vectors/sp_vector.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

std::vector<float> RandomVector(size_t n, uint64_t seed, double lo = -100.0, double hi = 100.0)
{
    TestRng rng(seed);
    std::vector<float> v(n);
    for (float& x : v)
        x = static_cast<float>(rng.Uniform(lo, hi));
    return v;
}

class SpVectorTest : public SpLevelTest
{
};

} // namespace

TEST_P(SpVectorTest, SourceMayBeTheDestination)
{
    std::vector<float> a = {1, 2, 3, 4, 5}, b = {10, 20, 30, 40, 50};
    ASSERT_EQ(SpOk, SpSubF32(a.data(), b.data(), b.data(), 5));
    EXPECT_EQ((std::vector<float>{9, 18, 27, 36, 45}), b);
    ASSERT_EQ(SpOk, SpAddF32(a.data(), a.data(), a.data(), 5));
    EXPECT_EQ((std::vector<float>{2, 4, 6, 8, 10}), a);
}

TEST_P(SpVectorTest, DivisionByZeroGivesSignedInfinityOrNaNAndWarns)
{
    const float divisor[] = {0.0f, 0.0f, -0.0f, 0.0f, 2.0f, -0.0f};
    const float dividend[] = {1.0f, -3.0f, 5.0f, 0.0f, 4.0f, kNaN};
    float out[6];
    ASSERT_EQ(SpWarnDivideByZero, SpDivF32(divisor, dividend, out, 6));
    EXPECT_EQ(kInf, out[0]);
    EXPECT_EQ(-kInf, out[1]);
    EXPECT_EQ(kInf, out[2]); // the sign of a zero divisor does not count
    // 0/0 and NaN/0: level 0's default NaN, the positive quiet NaN at levels 1-3.
    const uint32_t nan = Level() == 0 ? 0xFFC00000u : 0x7FC00000u;
    EXPECT_EQ(nan, FloatBits(out[3]));
    EXPECT_EQ(2.0f, out[4]); // later elements are still computed
    EXPECT_EQ(nan, FloatBits(out[5]));
    ASSERT_EQ(SpOk, SpDivF32(divisor + 4, dividend + 4, out, 1));
}

TEST_P(SpVectorTest, SqrtWarnsOnNegativeAndKeepsZerosAndNaN)
{
    std::vector<float> v = {4.0f, -4.0f, 0.0f, -0.0f, kNaN, 2.0f, -kInf, kInf};
    ASSERT_EQ(SpWarnSqrtNegative, SpSqrtInPlaceF32(v.data(), int32_t(v.size())));
    EXPECT_EQ(2.0f, v[0]);
    EXPECT_EQ(0xFFC00000u, FloatBits(v[1]));
    EXPECT_EQ(0x00000000u, FloatBits(v[2]));
    EXPECT_EQ(0x80000000u, FloatBits(v[3]));
    EXPECT_TRUE(std::isnan(v[4]));
    EXPECT_EQ(float(std::sqrt(2.0)), v[5]);
    EXPECT_EQ(0xFFC00000u, FloatBits(v[6]));
    EXPECT_EQ(kInf, v[7]);
    std::vector<float> w = RandomVector(50, 3, 0.0, 1e6);
    const std::vector<float> in = w;
    ASSERT_EQ(SpOk, SpSqrtInPlaceF32(w.data(), 50));
    // Level 0 rounds every root correctly; levels 1-3 refine an estimate in blocks of 16.
    for (int i = 0; i < 50; ++i)
        ASSERT_LE(UlpDistance(float(std::sqrt(double(in[i]))), w[i]), Level() == 0 ? 0 : 2) << i;
}

// Special values; the level table checks ordinary values against the reference.
TEST_P(SpVectorTest, SetMulConstAndAbsOnSpecialValues)
{
    std::vector<float> dst(23, -1.0f);
    ASSERT_EQ(SpOk, SpSetF32(BitsFloat(0x7FA12345u), dst.data(), 23));
    for (float x : dst)
        ASSERT_EQ(0x7FA12345u, FloatBits(x)); // NaN payload kept

    std::vector<float> special = {kInf, kNaN, -3.0f};
    ASSERT_EQ(SpOk, SpMulConstF32(special.data(), 0.0f, dst.data(), 3));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0u, FloatBits(dst[i])) << "zero constant zeroes";
    ASSERT_EQ(SpOk, SpMulConstF32(special.data(), 1.0f, dst.data(), 3));
    EXPECT_TRUE(std::isnan(dst[1]));

    std::vector<float> abs = {-0.0f, -1.5f, BitsFloat(0xFFC00001u), 2.0f, -kInf};
    ASSERT_EQ(SpOk, SpAbsInPlaceF32(abs.data(), 5));
    EXPECT_EQ((std::vector<uint32_t>{0u, FloatBits(1.5f), 0x7FC00001u, FloatBits(2.0f), 0x7F800000u}),
              (std::vector<uint32_t>{FloatBits(abs[0]), FloatBits(abs[1]), FloatBits(abs[2]),
                                     FloatBits(abs[3]), FloatBits(abs[4])}));
}

TEST_P(SpVectorTest, ReductionsAndElementwiseExtremes)
{
    // A cancelling sequence: float accumulation loses the ones, double keeps them.
    std::vector<float> v;
    for (int i = 0; i < 100; ++i)
    {
        v.push_back(1e8f);
        v.push_back(1.0f);
        v.push_back(-1e8f);
    }
    float sum = 0, mean = 0, dp = 0;
    ASSERT_EQ(SpOk, SpSumF32(v.data(), int32_t(v.size()), &sum, 0));
    EXPECT_EQ(100.0f, sum);
    ASSERT_EQ(SpOk, SpMeanF32(v.data(), int32_t(v.size()), &mean, 0));
    EXPECT_EQ(float(100.0 / 300.0), mean);

    // The dot product accumulates in float, in index order at level 0 (levels 1-3 keep sixteen
    // partials, held to their own order by their tests).
    const std::vector<float> ones(v.size(), 1.0f);
    float want = 0.0f;
    for (float x : v)
        want += x;
    ASSERT_EQ(SpOk, SpDotProdF32(v.data(), ones.data(), int32_t(v.size()), &dp));
    if (Level() == 0)
    {
        EXPECT_EQ(want, dp);
    }

    const std::vector<float> r = RandomVector(31, 8);
    float mx = 0, mn = 0;
    ASSERT_EQ(SpOk, SpMaxF32(r.data(), 31, &mx));
    ASSERT_EQ(SpOk, SpMinF32(r.data(), 31, &mn));
    EXPECT_EQ(*std::max_element(r.begin(), r.end()), mx);
    EXPECT_EQ(*std::min_element(r.begin(), r.end()), mn);
    const float zeros[] = {0.0f, -0.0f};
    ASSERT_EQ(SpOk, SpMaxF32(zeros, 2, &mx));
    EXPECT_EQ(0.0f, mx);
}

// Accuracy over a sweep: within 1 ulp of the exact value (long double reference).
TEST_P(SpVectorTest, ExpAndLnWithinOneUlpOverRandomSweeps)
{
    const uint64_t seed = 42;
    std::vector<float> x = RandomVector(4000, seed, -87.0, 88.7);
    std::vector<float> e = x;
    ASSERT_EQ(SpOk, SpExpInPlaceF32(e.data(), int32_t(e.size())));
    for (size_t i = 0; i < x.size(); ++i)
    {
        // Levels 1-3 refine a reciprocal estimate once: a few ulp.
        ASSERT_LE(UlpDistance(e[i], float(expl(x[i]))), Level() == 0 ? 1 : 5)
            << "seed " << seed << " x=" << x[i];
    }
    TestRng rng(seed);
    std::vector<float> p(4000);
    for (float& v : p)
        v = BitsFloat(1 + rng.Next32() % 0x7F7FFFFFu); // every positive finite magnitude
    std::vector<float> l = p;
    ASSERT_EQ(SpOk, SpLnInPlaceF32(l.data(), int32_t(l.size())));
    for (size_t i = 0; i < p.size(); ++i)
    {
        ASSERT_LE(UlpDistance(l[i], float(logl(p[i]))), 1) << "seed " << seed << " x=" << p[i];
    }
}

TEST_P(SpVectorTest, ExpRegimesOfShortAndLongVectors)
{
    if (Level() != 0)
        GTEST_SKIP() << "levels 1-3 have one regime for every length (exp_levels_test)";
    const float over = BitsFloat(0x42B17218u); // 88.722839: above ln(FLT_MAX)
    const float below = BitsFloat(0x42B17217u);
    const float flush = BitsFloat(0xC2AEAC50u); // -87.33655
    const float denormal = BitsFloat(0x00000123u);
    std::vector<float> longV = {over, below, flush, -100.0f, denormal, -0.0f, kNaN, kInf, -kInf, 1.0f};
    ASSERT_EQ(SpOk, SpExpInPlaceF32(longV.data(), int32_t(longV.size())));
    EXPECT_EQ(kInf, longV[0]);
    EXPECT_LE(UlpDistance(longV[1], float(expl(below))), 1);
    EXPECT_EQ(0.0f, longV[2]);
    EXPECT_EQ(0.0f, longV[3]);
    EXPECT_EQ(1.0f, longV[4]);
    EXPECT_EQ(1.0f, longV[5]);
    EXPECT_TRUE(std::isnan(longV[6]));
    EXPECT_EQ(kInf, longV[7]);
    EXPECT_EQ(0.0f, longV[8]);
    EXPECT_EQ(float(expl(1.0L)), longV[9]);

    // Fewer than four elements: no flush, the threshold compared in double.
    std::vector<float> shortV = {-100.0f, over, 88.7229f};
    ASSERT_EQ(SpOk, SpExpInPlaceF32(shortV.data(), 3));
    EXPECT_GT(shortV[0], 0.0f); // a denormal result survives
    EXPECT_LE(UlpDistance(shortV[0], float(expl(-100.0L))), 1);
    EXPECT_EQ(kInf, shortV[1]);
    EXPECT_EQ(kInf, shortV[2]);
}

TEST_P(SpVectorTest, LnFirstSpecialElementChoosesTheWarning)
{
    std::vector<float> a = {-1.0f, 0.0f, 1.0f};
    ASSERT_EQ(SpWarnLnNegative, SpLnInPlaceF32(a.data(), 3));
    EXPECT_EQ(0xFFC00000u, FloatBits(a[0]));
    EXPECT_EQ(0xFF800000u, FloatBits(a[1]));
    EXPECT_EQ(0.0f, a[2]);
    std::vector<float> b = {2.0f, 0.0f, -1.0f};
    ASSERT_EQ(SpWarnLnZero, SpLnInPlaceF32(b.data(), 3));
    EXPECT_EQ(0xFFC00000u, FloatBits(b[2]));
    std::vector<float> c = {-0.0f, kNaN, kInf};
    ASSERT_EQ(SpWarnLnNegative, SpLnInPlaceF32(c.data(), 3));
    EXPECT_EQ(0xFFC00000u, FloatBits(c[0]));
    EXPECT_TRUE(std::isnan(c[1]));
    EXPECT_EQ(kInf, c[2]);
}

SP_INSTANTIATE_LEVELS(SpVectorTest);
