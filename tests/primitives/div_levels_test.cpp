// Float division at levels 1-3: quotients bit for bit against a scalar model of the refined
// reciprocal estimate (this processor's scalar estimate) in groups without an awkward divisor,
// correctly rounded in groups with one, within 2 ulp of the exact quotient; zero divisors by the
// dividend's sign with the warning; every alignment path.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

#include <cmath>
#include <complex>
#include <vector>

#include "driver/primitives/sp_lib.h"
#include "sp_level_fixture.h"
#include "driver/primitives/vectors/sp_vector_levels.h"
#include "sp_test_support.h"

namespace
{

class SpDivLevelTest : public SpLevelTest
{
};

float ModelEstimate(float d, float n)
{
    const float r = _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(d)));
    const float e = 1.0f - d * r;
    const float q0 = n * r;
    return q0 + (e * q0 + q0) * e;
}

// The groups the kernel forms for a destination at `at` (4-byte aligned pointers): one, then
// two to reach 16 bytes, eights, a four, a two and a one.
std::vector<int32_t> GroupSizes(uintptr_t at, int32_t n)
{
    std::vector<int32_t> sizes;
    int32_t i = 0;
    if (at & 4)
    {
        sizes.push_back(1);
        ++i;
    }
    if (i < n && ((at + 4 * i) & 8) && n - i >= 2)
    {
        sizes.push_back(2);
        i += 2;
    }
    if (((at + 4 * i) & 15) == 0)
        for (; n - i >= 8; i += 8)
            sizes.push_back(8);
    for (; n - i >= 4; i += 4)
        sizes.push_back(4);
    if (n - i >= 2)
    {
        sizes.push_back(2);
        i += 2;
    }
    if (i < n)
        sizes.push_back(1);
    return sizes;
}

bool Awkward(float d)
{
    const uint32_t m = FloatBits(d) & 0x7FFFFFFFu;
    return m < 0x00800000u || (m >= 0x7E000000u && m <= 0x7F800000u);
}

} // namespace

TEST_P(SpDivLevelTest, GroupsFollowTheEstimateOrTheExactRule)
{
    TestRng rng(201);
    for (int32_t n : {1, 2, 3, 5, 8, 13, 31, 64})
    {
        for (size_t offset = 0; offset < 16; offset += 4)
        {
            std::vector<float> d(n), num(n);
            for (int32_t i = 0; i < n; ++i)
            {
                d[i] = float(std::ldexp(rng.Uniform(1, 2), int(rng.Next32() % 200) - 100)) * (i % 3 ? 1 : -1);
                num[i] = float(rng.Uniform(-1e3, 1e3));
            }
            if (n > 4)
                d[rng.Next32() % n] = rng.Next32() % 2 ? 0.0f : BitsFloat(0x7E800000u); // one awkward divisor
            GuardedBuffer<float> q(n, offset);
            const SpStatus status = SpDivF32(d.data(), num.data(), q.data(), n);
            ASSERT_TRUE(q.GuardsIntact());
            bool zero = false;
            int32_t i = 0;
            for (int32_t size : GroupSizes(reinterpret_cast<uintptr_t>(q.data()), n))
            {
                bool exact = false;
                for (int32_t k = i; k < i + size; ++k)
                    exact = exact || Awkward(d[k]);
                for (int32_t k = i; k < i + size; ++k)
                {
                    zero = zero || d[k] == 0.0f;
                    const float want = d[k] == 0.0f ? (num[k] > 0 ? INFINITY : -INFINITY)
                                                    : (exact ? num[k] / d[k] : ModelEstimate(d[k], num[k]));
                    ASSERT_EQ(FloatBits(want), FloatBits(q[k])) << n << " at " << offset << " element " << k;
                    if (d[k] != 0.0f)
                    {
                        ASSERT_LE(UlpDistance(num[k] / d[k], q[k]), 2) << num[k] << " / " << d[k];
                    }
                }
                i += size;
            }
            ASSERT_EQ(n, i);
            ASSERT_EQ(zero ? SpWarnDivideByZero : SpOk, status);
        }
    }
}

TEST_P(SpDivLevelTest, NaNAndOutOfRangeDivisors)
{
    // (zero divisors are the vector tests', 2-byte-off destinations the level table's)
    alignas(16) const float d[] = {NAN, 3e38f, 1e-40f, INFINITY};
    alignas(16) const float n[] = {1.0f, 3e38f, 1e-40f, 5.0f};
    // Huge, subnormal and infinite divisors take the exact rule even beside ordinary ones.
    alignas(16) float r[4];
    ASSERT_EQ(SpOk, SpDivF32(d, n, r, 4));
    EXPECT_TRUE(std::isnan(r[0])) << "a NaN divisor without a zero: NaN, no warning";
    EXPECT_EQ(1.0f, r[1]);
    EXPECT_EQ(1.0f, r[2]);
    EXPECT_EQ(0.0f, r[3]);
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpDivLevelTest, ::testing::Values(1, 2, 3), SpLevelName);

// A constant over a vector: the same rule with each group of four deciding alone; complex
// quotients within 1e-6 of the exact ones, a zero divisor NaN in both parts and flagged.
TEST_P(SpDivLevelTest, ConstantOverVectorAndComplexQuotients)
{
    const int32_t level = Level();
    using ConstRev = uint32_t (*)(const float*, const float*, float*, int32_t);
    using Complex = uint32_t (*)(const float*, const float*, float*, int32_t);
    const ConstRev constRev[] = {nullptr, SpDivConstRevKernelF32_L1, SpDivConstRevKernelF32_L2,
                                 SpDivConstRevKernelF32_L3};
    const Complex complex[] = {nullptr, SpDivKernelFc32_L1, SpDivKernelFc32_L2, SpDivKernelFc32_L3};
    alignas(16) float d[16];
    for (int32_t i = 0; i < 16; ++i)
        d[i] = 1.5f + float(i);
    d[2] = 0.0f; // the first group of four is exact, the second takes the estimate
    alignas(16) float q[16];
    const float value = 7.0f;
    ASSERT_EQ(1u, constRev[level](d, &value, q, 16));
    EXPECT_EQ(0x7F800000u, FloatBits(q[2]));
    for (int32_t i : {0, 1, 3})
        EXPECT_EQ(FloatBits(7.0f / d[i]), FloatBits(q[i])) << i;
    for (int32_t i = 4; i < 8; ++i)
        EXPECT_EQ(FloatBits(ModelEstimate(d[i], 7.0f)), FloatBits(q[i])) << i;

    TestRng rng(2011);
    for (int32_t n : {1, 2, 3, 5, 9})
    {
        for (size_t offset : {size_t(0), size_t(8)})
        {
            std::vector<float> a(2 * n), b(2 * n);
            for (float& v : a)
                v = float(rng.Uniform(-10, 10));
            for (float& v : b)
                v = float(rng.Uniform(-10, 10));
            GuardedBuffer<float> out(2 * size_t(n), offset);
            ASSERT_EQ(0u, complex[level](a.data(), b.data(), out.data(), n));
            ASSERT_TRUE(out.GuardsIntact());
            for (int32_t i = 0; i < n; ++i)
            {
                const std::complex<long double> want = std::complex<long double>(b[2 * i], b[2 * i + 1]) /
                                                       std::complex<long double>(a[2 * i], a[2 * i + 1]);
                EXPECT_NEAR(double(want.real()), out[2 * i], 1e-6 * double(std::abs(want))) << n << " " << i;
                EXPECT_NEAR(double(want.imag()), out[2 * i + 1], 1e-6 * double(std::abs(want)))
                    << n << " " << i;
            }
        }
    }
    const float zero[2] = {0.0f, 0.0f}, one[2] = {1.0f, 1.0f};
    float z[2];
    EXPECT_NE(0u, complex[level](zero, one, z, 1));
    EXPECT_TRUE(std::isnan(z[0]) && std::isnan(z[1]));
}
