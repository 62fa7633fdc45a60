// Element-wise power at every level: the special-case table, accuracy against a long double
// reference, the grouped and single-element paths, the caller's SSE control word, and levels
// 1-3 bit for bit against level 0 over a table of input regimes.
#include "sp_level_fixture.h"
#include "sp_test_support.h"

#include "driver/primitives/vectors/sp_pow.h"

#include <xmmintrin.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <vector>

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

namespace
{

// One input regime of the level comparison: bases and exponents for a length.
struct Regime
{
    const char* name;
    int32_t len;
    void (*fill)(int32_t len, float* x, float* y);
};

// Bases and exponents whose products stay inside the table method's range.
void Ordinary(int32_t len, float* x, float* y)
{
    TestRng rng(101);
    for (int32_t i = 0; i < len; ++i)
    {
        x[i] = float(rng.Uniform(0.01, 100.0));
        y[i] = float(rng.Uniform(-8.0, 8.0));
    }
}

// One operand per block that the table method cannot take, at a position that walks through the
// block, between ordinary blocks: every kind of special base and exponent, a product past the
// overflow bound, one past the subnormal bound, and bases of exactly 1.
void OneSpecialPerBlock(int32_t len, float* x, float* y)
{
    const float specials[][2] = {
        {0.0f, 2.0f},  {-0.0f, -3.0f}, {-2.0f, 0.5f}, {-2.0f, 3.0f},       {1e-40f, 0.5f},  {kInf, 2.0f},
        {-kInf, 3.0f}, {kNaN, 1.0f},   {3.0f, kNaN},  {10.0f, 50.0f},      {10.0f, -40.0f}, {1.0f, kInf},
        {1.0f, 3e30f}, {5.0f, 0.0f},   {0.5f, -kInf}, {2.7182817f, 88.0f},
    };
    Ordinary(len, x, y);
    const int32_t kinds = int32_t(sizeof(specials) / sizeof(specials[0]));
    for (int32_t block = 1; 8 * block + 8 <= len; block += 2)
    {
        const int32_t k = (block / 2) % kinds;
        const int32_t at = 8 * block + (block / 2) % 8;
        x[at] = specials[k][0];
        y[at] = specials[k][1];
    }
}

// Products on both sides of the screen's bound (|y ln x| about 87.3337) and results at the edges
// of the float range, where the table method and the special rules meet.
void NearTheBound(int32_t len, float* x, float* y)
{
    for (int32_t i = 0; i < len; ++i)
    {
        x[i] = i % 2 == 0 ? 2.7182817f : 0.36787945f;
        y[i] = 87.3337f + float(i - len / 2) * 1e-4f;
    }
}

// Raw bit patterns: every class of float in both operands, in blocks and in the tail.
void AnyBits(int32_t len, float* x, float* y)
{
    TestRng rng(202);
    for (int32_t i = 0; i < len; ++i)
    {
        x[i] = BitsFloat(rng.Next32());
        y[i] = i % 3 == 0 ? float(int32_t(rng.Next32() % 64) - 32) : BitsFloat(rng.Next32());
    }
}

// Powers of bases near 1 by large exponents: products throughout the range.
void BasesNearOne(int32_t len, float* x, float* y)
{
    TestRng rng(303);
    for (int32_t i = 0; i < len; ++i)
    {
        x[i] = float(rng.Uniform(0.999, 1.001));
        y[i] = float(rng.Uniform(-1e5, 1e5));
    }
}

// clang-format off
const Regime kRegimes[] = {
    {"ordinary blocks and a tail of 5", 69, Ordinary},
    {"tail only, 1", 1, Ordinary},
    {"tail only, 7", 7, OneSpecialPerBlock},
    {"one special lane per block", 8 * 64 + 3, OneSpecialPerBlock},
    {"products near the bound", 203, NearTheBound},
    {"any bits", 4096 + 7, AnyBits},
    {"bases near one", 1000, BasesNearOne},
};
// clang-format on

constexpr unsigned kDefaultCsr = 0x1F80;

} // namespace

// Levels 1-3 give level 0's bits and status in every regime, whatever the caller's word.
TEST_P(SpPowTest, EveryLevelGivesLevelZerosBitsInEveryRegime)
{
    for (const Regime& regime : kRegimes)
    {
        std::vector<float> x(regime.len), y(regime.len), want(regime.len), got(regime.len);
        regime.fill(regime.len, x.data(), y.data());
        for (unsigned csr : {kDefaultCsr, kDefaultCsr | kFtz | kDaz | kRoundUp})
        {
            SpStatus wantStatus, gotStatus;
            {
                SpScopedCpuLevel level0(0);
                ScopedCsr caller(csr);
                wantStatus = SpPowF32(x.data(), y.data(), want.data(), regime.len);
            }
            {
                ScopedCsr caller(csr);
                gotStatus = SpPowF32(x.data(), y.data(), got.data(), regime.len);
            }
            EXPECT_EQ(wantStatus, gotStatus) << regime.name << " csr " << std::hex << csr;
            for (int32_t i = 0; i < regime.len; ++i)
                ASSERT_EQ(FloatBits(want[i]), FloatBits(got[i]))
                    << regime.name << " element " << i << ": " << x[i] << " ^ " << y[i] << " csr " << std::hex
                    << csr;
        }
    }
}

// The caller's word on return. One the call leaves as it is (round to nearest, no flush or
// denormal bits) keeps the flags the call raised, the invalid flag of a domain element among
// them, at every level. One the call has to change comes back at levels 1-3 exactly as it was
// read on entry, flags included; level 0 gives back its control bits and keeps the new flags.
TEST_P(SpPowTest, ControlWordOnReturn)
{
    struct Case
    {
        unsigned csr;
        bool domain;
    };
    const Case cases[] = {
        {kDefaultCsr, true},
        {kDefaultCsr | 0x20, false},
        {kDefaultCsr | kFtz | 0x20, true},
        {kDefaultCsr | kRoundUp | kDaz, true},
        {kDefaultCsr | 0x6000 | 0x02, false},
    };
    for (const Case& c : cases)
    {
        // Twelve elements: one block of eight and a tail, the domain element in the block.
        float x[12], y[12], out[12];
        for (int32_t i = 0; i < 12; ++i)
        {
            x[i] = 1.5f + float(i);
            y[i] = 0.75f;
        }
        if (c.domain)
            x[5] = -2.0f;
        unsigned after = 0;
        SpStatus status;
        {
            ScopedCsr caller(c.csr);
            status = SpPowF32(x, y, out, 12);
            after = _mm_getcsr();
        }
        EXPECT_EQ(c.domain ? SpWarnDomain : SpOk, status) << std::hex << c.csr;
        const bool changed = (c.csr & (kFtz | kDaz | 0x6000)) != 0;
        EXPECT_EQ(c.csr & ~kFlagsMask, after & ~kFlagsMask) << std::hex << c.csr;
        if (changed && Level() > 0)
        {
            EXPECT_EQ(c.csr, after) << std::hex << c.csr;
        }
        else
        {
            EXPECT_EQ(c.csr & kFlagsMask, after & c.csr & kFlagsMask) << "the caller's flags stay";
            EXPECT_EQ(c.domain ? kInvalidFlag : 0u, after & kInvalidFlag) << std::hex << c.csr;
        }
    }
}

SP_INSTANTIATE_LEVELS(SpPowTest);

// Each level's exception raiser raises exactly the exception of its code, and nothing for any
// other code.
TEST(SpRaiseFpException, EachCodeRaisesItsException)
{
    constexpr unsigned kExceptionFlags = 0x1D; // invalid, divide by zero, overflow, underflow
    const struct
    {
        int32_t code;
        unsigned flag;
    } cases[] = {{19, 0x01}, {18, 0x04}, {12, 0x08}, {17, 0x10}, {0, 0}, {13, 0}, {-19, 0}};
    void (*const raisers[])(int32_t) = {SpRaiseFpException_L1, SpRaiseFpException_L2, SpRaiseFpException_L3};
    for (int32_t level = 1; level <= 3; ++level)
    {
        if (!SpLevelRunsHere(level))
            continue;
        for (const auto& c : cases)
        {
            unsigned after = 0;
            {
                ScopedCsr clean(kDefaultCsr);
                raisers[level - 1](c.code);
                after = _mm_getcsr();
            }
            EXPECT_EQ(c.flag, after & kExceptionFlags) << "level " << level << " code " << c.code;
        }
    }
}
