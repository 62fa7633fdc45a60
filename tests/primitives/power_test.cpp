// Element-wise power at every level: the special-case table, accuracy against a long double
// reference, the grouped and single-element paths, and the caller's SSE control word.
#include "sp_level_fixture.h"
#include "sp_test_support.h"

#include "driver/primitives/vectors/sp_pow.h"

#include <xmmintrin.h>

#include <cmath>
#include <limits>

namespace
{

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

constexpr unsigned kFlagsMask = 0x3F;
constexpr unsigned kInvalidFlag = 0x01;
constexpr unsigned kFtz = 0x8000, kDaz = 0x0040, kRoundUp = 0x4000;

// Runs a test body with a given SSE control word and puts the original back afterwards.
class ScopedCsr
{
public:
    explicit ScopedCsr(unsigned csr) : m_saved(_mm_getcsr()) { _mm_setcsr(csr); }
    ~ScopedCsr() { _mm_setcsr(m_saved); }

private:
    unsigned m_saved;
};

float Pow1(float x, float y, SpStatus* pStatus = nullptr)
{
    float out = 12345.0f;
    const SpStatus status = SpPowF32(&x, &y, &out, 1);
    if (pStatus)
        *pStatus = status;
    return out;
}

class SpPowTest : public SpLevelTest
{
};

} // namespace

TEST_P(SpPowTest, SpecialAndOrdinaryValueTable)
{
    struct Case
    {
        float x, y;
        uint32_t wantBits;
        bool domain;
    };
    const uint32_t one = 0x3F800000u, pinf = 0x7F800000u, ninf = 0xFF800000u, pzero = 0, nzero = 0x80000000u;
    // clang-format off
    const Case cases[] = {
        // x        y          result        domain
        {kNaN,      0.0f,      one,          false},
        {3.0f,      -0.0f,     one,          false},
        {1.0f,      kNaN,      one,          false},
        {1.0f,      kInf,      one,          false},
        {-1.0f,     kInf,      one,          false},
        {-1.0f,     -kInf,     one,          false},
        {0.0f,      -kInf,     pinf,         true},
        {-0.0f,     -kInf,     pinf,         true},
        {2.0f,      kInf,      pinf,         false},
        {-2.0f,     -kInf,     pzero,        false},
        {0.5f,      kInf,      pzero,        false},
        {-0.5f,     -kInf,     pinf,         false},
        {0.0f,      kInf,      pzero,        false},
        {-kInf,     3.0f,      ninf,         false},
        {-kInf,     2.0f,      pinf,         false},
        {-kInf,     0.5f,      pinf,         false},
        {-kInf,     -3.0f,     nzero,        false},
        {-kInf,     -2.5f,     pzero,        false},
        {kInf,      0.1f,      pinf,         false},
        {kInf,      -0.1f,     pzero,        false},
        {-2.0f,     0.5f,      0xFFC00000u,  true},
        {-0.0f,     -3.0f,     ninf,         true},
        {-0.0f,     -2.0f,     pinf,         true},
        {-0.0f,     -0.5f,     pinf,         true},
        {-0.0f,     3.0f,      nzero,        false},
        {-0.0f,     2.0f,      pzero,        false},
        {-0.0f,     16777217.0f, pzero,      false}, // from 2^24 on every float is even
        {0.0f,      -1.0f,     pinf,         true},
        {0.0f,      5.0f,      pzero,        false},
        {0.0f,      0.0f,      one,          false},
        {10.0f,     0.0f,      one,          false},
        {10.0f,     1.0f,      FloatBits(10.0f), false},
        {10.0f,     2.0f,      FloatBits(100.0f), false},
        {10.0f,     -1.0f,     FloatBits(0.1f), false},
        {-2.0f,     3.0f,      FloatBits(-8.0f), false},
        {-2.0f,     2.0f,      FloatBits(4.0f), false},
        {10.0f,     100.0f,    pinf,         false},
        {10.0f,     -100.0f,   pzero,        false},
        {-10.0f,    101.0f,    ninf,         false}, // an odd power of a negative base keeps the sign beyond range
        {-10.0f,    -101.0f,   nzero,        false},
        {2.0f,      -149.0f,   1u,           false}, // the smallest denormal
    };
    // clang-format on
    for (const Case& c : cases)
    {
        SpStatus status = SpOk;
        const float got = Pow1(c.x, c.y, &status);
        EXPECT_EQ(c.wantBits, FloatBits(got)) << c.x << " ^ " << c.y;
        EXPECT_EQ(c.domain ? SpWarnDomain : SpOk, status) << c.x << " ^ " << c.y;
    }
    SpStatus status = SpOk;
    EXPECT_TRUE(std::isnan(Pow1(kNaN, 2.0f, &status)));
    EXPECT_TRUE(std::isnan(Pow1(2.0f, kNaN, &status)));
    EXPECT_EQ(SpOk, status);
}

TEST_P(SpPowTest, WithinOneUlpOverRandomSweep)
{
    const uint64_t seed = 7;
    TestRng rng(seed);
    const int32_t n = 3000;
    std::vector<float> x(n), y(n), out(n);
    for (int32_t i = 0; i < n; ++i)
    {
        x[i] = float(rng.Uniform(1e-3, 1e3));
        y[i] = float(rng.Uniform(-12.0, 12.0));
        if (i % 5 == 0)
            y[i] = std::round(y[i]); // integer exponents,
        if (i % 10 == 0)
            x[i] = -x[i]; // some with negative bases
        if (i % 17 == 0)
            x[i] = BitsFloat(1 + rng.Next32() % 0x7FFFFF); // denormal bases
    }
    ASSERT_EQ(SpOk, SpPowF32(x.data(), y.data(), out.data(), n));
    for (int32_t i = 0; i < n; ++i)
    {
        const float want = float(powl(x[i], y[i]));
        ASSERT_LE(UlpDistance(out[i], want), 1) << "seed " << seed << ": " << x[i] << " ^ " << y[i];
    }
}

// Thirteen elements: one group of eight and five single elements; both paths must agree.
TEST_P(SpPowTest, SingleElementTailAgreesWithGroupPath)
{
    std::vector<float> x(13), y(13), whole(13);
    for (int i = 0; i < 13; ++i)
    {
        x[i] = 0.75f + i * 0.5f;
        y[i] = -2.25f + i * 0.375f;
    }
    x[10] = -0.0f;
    y[10] = -1.0f;
    ASSERT_EQ(SpWarnDomain, SpPowF32(x.data(), y.data(), whole.data(), 13));
    for (int i = 0; i < 13; ++i)
    {
        float single[8];
        // The same element in a group position (index 3 of 8) and alone.
        std::vector<float> gx(8, 2.0f), gy(8, 1.0f);
        gx[3] = x[i];
        gy[3] = y[i];
        const SpStatus status = SpPowF32(gx.data(), gy.data(), single, 8);
        ASSERT_TRUE(status == SpOk || status == SpWarnDomain) << status;
        EXPECT_EQ(FloatBits(single[3]), FloatBits(whole[i])) << "element " << i;
    }
}

TEST_P(SpPowTest, CallerControlWordIsRestoredAndResultsDoNotDependOnIt)
{
    const float x[] = {1.1f, 3.0f, 0.2f, 7.5f, BitsFloat(0x00000321u), 0.999f, 2.0f, 10.0f, 1e-20f};
    const float y[] = {3.3f, -0.5f, 2.2f, 1.0f / 3.0f, 0.25f, 1000.0f, -130.0f, -1.0f, 1.5f};
    float plain[9], modified[9];
    unsigned callerCsr = 0;
    {
        ScopedCsr csr(0x1F80); // the default: every exception masked, round to nearest
        ASSERT_EQ(SpOk, SpPowF32(x, y, plain, 9));
    }
    {
        const unsigned custom = 0x1F80 | kFtz | kDaz | kRoundUp;
        ScopedCsr csr(custom);
        ASSERT_EQ(SpOk, SpPowF32(x, y, modified, 9));
        callerCsr = _mm_getcsr();
        EXPECT_EQ(custom, callerCsr & ~kFlagsMask) << "control bits restored";
    }
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(FloatBits(plain[i]), FloatBits(modified[i])) << i;
    EXPECT_GT(plain[6], 0.0f) << "a denormal result survives flush-to-zero of the caller";
}

TEST_P(SpPowTest, DomainCaseRaisesInvalidFlagOthersDoNot)
{
    {
        ScopedCsr csr(0x1F80);
        const float x[] = {4.0f, 9.0f}, y[] = {0.5f, 2.0f};
        float out[2];
        ASSERT_EQ(SpOk, SpPowF32(x, y, out, 2));
        EXPECT_EQ(0u, _mm_getcsr() & kInvalidFlag);
    }
    {
        ScopedCsr csr(0x1F80);
        const float x[] = {4.0f, -2.0f}, y[] = {0.5f, 0.5f};
        float out[2];
        ASSERT_EQ(SpWarnDomain, SpPowF32(x, y, out, 2));
        EXPECT_EQ(2.0f, out[0]);
        EXPECT_EQ(kInvalidFlag, _mm_getcsr() & kInvalidFlag);
        EXPECT_EQ(0x1F80u, _mm_getcsr() & ~kFlagsMask);
    }
}

SP_INSTANTIATE_LEVELS(SpPowTest);
