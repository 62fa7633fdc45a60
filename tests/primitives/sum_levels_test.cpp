// Sum, mean and dot product at levels 1-3: every accumulation order bit for bit against a
// scalar model of its grouping (sixteen float partials per 32,768-element block added in double;
// eight double partials; sixteen float dot partials, aligned by level 1's peel or level 2's
// rounds of 12), at every start offset, and the documented cases where the grouping shows.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

#include "driver/primitives/sp_lib.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

class SpSumLevelTest : public SpLevelTest
{
};

// Fast order: peel to a 16-byte boundary in double; per block, lanes j of four float vectors
// take elements 16r + 4k + j, fold as (V0 + V2) + (V1 + V3), a tail of groups, a pair and one
// into V0; P0 = l0 + l2, P1 = l1 + l3 widened and added into two doubles.
double ModelFast(const float* x, uintptr_t at, int32_t n)
{
    double d0 = 0, d1 = 0;
    int32_t i = 0;
    for (; i < n && ((at + 4 * uintptr_t(i)) & 12) != 0; ++i)
        d0 += x[i];
    if (i == n)
        return d0;
    while (true)
    {
        const int32_t count = std::min(n - i, 32768);
        float v[4][4] = {};
        int32_t k = 0;
        if (count >= 16)
        {
            for (; count - k >= 16; k += 16)
                for (int32_t g = 0; g < 4; ++g)
                    for (int32_t j = 0; j < 4; ++j)
                        v[g][j] += x[i + k + 4 * g + j];
            for (int32_t j = 0; j < 4; ++j)
            {
                v[0][j] += v[2][j];
                v[1][j] += v[3][j];
                v[0][j] += v[1][j];
            }
        }
        for (; count - k >= 4; k += 4)
            for (int32_t j = 0; j < 4; ++j)
                v[0][j] += x[i + k + j];
        if (count - k >= 2)
        {
            v[0][0] += x[i + k];
            v[0][1] += x[i + k + 1];
            k += 2;
        }
        if (k < count)
            v[0][0] += x[i + k];
        d0 += float(v[0][0] + v[0][2]);
        d1 += float(v[0][1] + v[0][3]);
        i += count;
        if (count < 32768)
            return d0 + d1;
    }
}

// Accurate order: one element peeled to 8 bytes, pairs into A0..A3, A0 += A2, A1 += A3, tail
// pairs into A0/A1, A0 += A1, lane 0 + lane 1.
double ModelAccurate(const float* x, uintptr_t at, int32_t n)
{
    double a[4][2] = {};
    int32_t i = 0;
    if (at & 4)
    {
        a[0][0] += x[i++];
        if (i == n)
            return a[0][0];
    }
    for (; n - i >= 8; i += 8)
        for (int32_t g = 0; g < 4; ++g)
            for (int32_t j = 0; j < 2; ++j)
                a[g][j] += x[i + 2 * g + j];
    for (int32_t j = 0; j < 2; ++j)
    {
        a[0][j] += a[2][j];
        a[1][j] += a[3][j];
    }
    if (n - i >= 4)
    {
        for (int32_t j = 0; j < 2; ++j)
        {
            a[0][j] += x[i + j];
            a[1][j] += x[i + 2 + j];
        }
        i += 4;
    }
    if (n - i >= 2)
    {
        a[0][0] += x[i];
        a[0][1] += x[i + 1];
        i += 2;
    }
    if (i < n)
        a[0][0] += x[i];
    return (a[0][0] + a[1][0]) + (a[0][1] + a[1][1]);
}

// The dot product's sixteen partials V[k][lane], filled as each level fills them.
struct DotModel
{
    float v[4][4] = {};
    const float* a;
    const float* b;
    float Product(int32_t i) const { return a[i] * b[i]; }
    void Single(int32_t i) { v[0][0] += Product(i); }
    void Groups(int32_t i, int32_t groups)
    {
        for (int32_t k = 0; k < groups; ++k)
            for (int32_t j = 0; j < 4; ++j)
                v[k][j] += Product(i + 4 * k + j);
    }
    float Finish(int32_t i, int32_t n)
    {
        for (; n - i >= 2; i += 2)
        {
            v[0][0] += Product(i);
            v[0][1] += Product(i + 1);
        }
        if (i < n)
            Single(i);
        float w[4];
        for (int32_t j = 0; j < 4; ++j)
            w[j] = (v[0][j] + v[1][j]) + (v[2][j] + v[3][j]);
        const float x0 = w[0] + w[2], x1 = w[1] + w[3];
        return x1 + x0;
    }
};

// Products are commutative, so a swap of roles only changes which address is aligned.
float ModelDot(int32_t level, const float* a, const float* b, uintptr_t atA, uintptr_t atB, int32_t n)
{
    if (n == 1)
        return a[0] * b[0];
    if (n <= 15)
    {
        float s0 = 0, s1 = 0;
        int32_t i = 0;
        for (; n - i >= 2; i += 2)
        {
            s0 += a[i] * b[i];
            s1 += a[i + 1] * b[i + 1];
        }
        return i < n ? (s1 + a[i] * b[i]) + s0 : s1 + s0;
    }
    DotModel m{{}, a, b};
    auto aligned = [](uintptr_t at, int32_t i) { return ((at + 4 * uintptr_t(i)) & 15) == 0; };
    int32_t i = 0;
    if (level == 1)
    {
        if (!(aligned(atA, 0) && aligned(atB, 0)))
        {
            const uintptr_t p = (atB & 3) && !(atA & 3) ? atA : atB;
            for (; i < n && !aligned(p, i); ++i)
                m.Single(i);
        }
        for (; n - i >= 16; i += 16)
            m.Groups(i, 4);
        return m.Finish(i, n);
    }
    if ((atA | atB) & 3)
        return m.Finish(0, n);
    uintptr_t q = atA;
    if (!aligned(atB, 0))
    {
        if (aligned(atA, 0))
            q = atB;
        else
            for (; !aligned(atB, i); ++i)
                m.Single(i);
    }
    if (aligned(q, i))
    {
        for (; n - i >= 16; i += 16)
            m.Groups(i, 4);
    }
    else
    {
        m.Groups(i, 1);
        for (i += 4; n - i >= 16; i += 12)
            m.Groups(i, 3);
    }
    return m.Finish(i, n);
}

} // namespace

TEST_P(SpSumLevelTest, DotProductsFollowTheirLevelsOrderAtEveryOffset)
{
    TestRng rng(241);
    for (int32_t n : {1, 2, 3, 4, 15, 16, 17, 31, 32, 33, 47, 100, 1001})
    {
        std::vector<float> a(n), b(n);
        for (int32_t i = 0; i < n; ++i)
        {
            a[i] = float(rng.Uniform(-1, 1) * (1 + rng.Next32() % 100));
            b[i] = float(rng.Uniform(-1, 1));
        }
        for (size_t offA = 0; offA < 16; ++offA)
        {
            for (size_t offB = 0; offB < 16; ++offB)
            {
                GuardedCopy<float> ba(a, offA), bb(b, offB);
                const float *pa = ba.data(), *pb = bb.data();
                float dp = 0;
                ASSERT_EQ(SpOk, SpDotProdF32(pa, pb, n, &dp));
                const float want = ModelDot(Level(), a.data(), b.data(), reinterpret_cast<uintptr_t>(pa),
                                            reinterpret_cast<uintptr_t>(pb), n);
                ASSERT_EQ(FloatBits(want), FloatBits(dp)) << n << " at " << offA << "/" << offB;
            }
        }
    }
    // Three elements: (a1 b1 + a2 b2) + a0 b0, each step rounded to float.
    const float a3[3] = {1e8f, 1.0f, -1e8f}, b3[3] = {1.0f, 1.0f, 1.0f};
    float dp = 0;
    ASSERT_EQ(SpOk, SpDotProdF32(a3, b3, 3, &dp));
    EXPECT_EQ((1.0f + -1e8f) + 1e8f, dp);
}

TEST_P(SpSumLevelTest, BothOrdersMatchTheirModelsAtEveryOffset)
{
    TestRng rng(240);
    std::vector<int32_t> lengths;
    for (int32_t n = 1; n <= 40; ++n)
        lengths.push_back(n);
    for (int32_t n : {32767, 32768, 32769, 70000})
        lengths.push_back(n);
    for (int32_t n : lengths)
    {
        std::vector<float> x(n);
        for (float& v : x)
            v = float(rng.Uniform(-1, 1) * (1 + (rng.Next32() % 1000)));
        for (size_t offset = 0; offset < 16; offset += (n > 40 ? 4 : 1))
        {
            GuardedCopy<float> buf(x, offset);
            const float* p = buf.data();
            const uintptr_t at = reinterpret_cast<uintptr_t>(p);
            float fast = 0, accurate = 0, mean = 0;
            ASSERT_EQ(SpOk, SpSumF32(p, n, &fast, 1));
            ASSERT_EQ(SpOk, SpSumF32(p, n, &accurate, 7));
            ASSERT_EQ(SpOk, SpMeanF32(p, n, &mean, 1));
            ASSERT_EQ(FloatBits(float(ModelFast(x.data(), at, n))), FloatBits(fast)) << n << " at " << offset;
            ASSERT_EQ(FloatBits(float(ModelAccurate(x.data(), at, n))), FloatBits(accurate))
                << n << " at " << offset;
            ASSERT_EQ(FloatBits(float(double(float(ModelFast(x.data(), at, n))) / n)), FloatBits(mean)) << n;
        }
    }
}

TEST_P(SpSumLevelTest, DocumentedCases)
{
    // The mean divides the float-rounded sum: 1 - 2^-25 + 2^-30 rounds to 1 first.
    const float three[3] = {1.0f, -0x1p-25f, 0x1p-30f};
    float mean = 0;
    for (int32_t hint : {0, 1})
    {
        ASSERT_EQ(SpOk, SpMeanF32(three, 3, &mean, hint));
        EXPECT_EQ(0.3333333432674408, double(mean));
    }
    const float seven[3] = {1, 2, 4};
    ASSERT_EQ(SpOk, SpMeanF32(seven, 3, &mean, 1));
    EXPECT_EQ(float(7.0 / 3.0), mean);
    // 65,536 x 0.1 from a 16-byte boundary: two single-precision blocks, or every element in
    // double.
    alignas(16) static float tenths[65536];
    std::fill(tenths, tenths + 65536, 0.1f);
    float fast = 0, accurate = 0;
    ASSERT_EQ(SpOk, SpSumF32(tenths, 65536, &fast, 1));
    ASSERT_EQ(SpOk, SpSumF32(tenths, 65536, &accurate, 0));
    EXPECT_EQ(float(65536 * double(0.1f)), accurate);
    EXPECT_NE(accurate, fast); // the float blocks lose bits the double sum keeps
    EXPECT_NEAR(6553.6, fast, 0.5);
    float before = 5.0f;
    EXPECT_EQ(SpErrNullPointer, SpSumF32(nullptr, 0, &before, 0));
    EXPECT_EQ(SpErrBadLength, SpMeanF32(tenths, 0, &before, 1));
    EXPECT_EQ(5.0f, before);
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpSumLevelTest, ::testing::Values(1, 2, 3), SpLevelName);
