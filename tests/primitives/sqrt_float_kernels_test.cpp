// Double and complex square-root kernels at levels 1-3. Double: blocks of four positive normals
// bit for bit against a scalar model of the two-step refinement (built on this processor's
// scalar estimate) and within the error that two Newton steps leave from that element's own
// estimate (at most about 6e-14 relative) of the exact root, everything else exact, the negative
// flag raised by a NaN only in a single-element step, the caller's MXCSR word back exactly.
// Complex: the principal root, bit for bit against a scalar model of the four-lane step (complex
// float), and against long-double arithmetic.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

#include <cmath>
#include <complex>
#include <vector>

#include "driver/primitives/vectors/sp_sqrt_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{
// clang-format off
#define SP_LEVELS(name, k) const decltype(&k##_L1) name[] = {k##_L1, k##_L2, k##_L3}
SP_LEVELS(kF64, SpSqrtKernelF64); SP_LEVELS(kFc32, SpSqrtKernelFc32); SP_LEVELS(kFc64, SpSqrtKernelFc64);
// clang-format on

uint64_t DoubleBits(double d)
{
    uint64_t b;
    memcpy(&b, &d, 8);
    return b;
}

// x = m 2^(2k), m in [0.5, 2); y0 = float estimate of m; R = 16 m y2 as the kernel orders it.
double ModelF64(double x)
{
    const uint64_t bits = DoubleBits(x);
    const int32_t e = int32_t(bits >> 52);
    const int32_t em = 0x3FE | (e & 1);
    const uint64_t mBits = (bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(em) << 52);
    double m;
    memcpy(&m, &mBits, 8);
    const double y0 = double(_mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(float(m)))));
    const double t = m * y0, u = t * y0, d = u - 3.0, p = t * d;
    const double q = (d * d) * u - 12.0;
    return std::ldexp(p * q, (e - em) / 2 - 4);
}

float Estimate(float x)
{
    return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x)));
}

// Relative error bound of the refined double root of x, from this processor's own estimate:
// with y0 = (1 + e) / sqrt(m), each Newton step maps e to -(1.5 e^2 + 0.5 e^3); the two steps'
// truncation plus a few ulp of rounding in the eight operations.
long double RefinedBound(double x)
{
    const uint64_t bits = DoubleBits(x);
    const uint64_t mBits = (bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(0x3FE | ((bits >> 52) & 1)) << 52);
    double m;
    memcpy(&m, &mBits, 8);
    long double e = (long double)Estimate(float(m)) * std::sqrt((long double)m) - 1.0L;
    for (int step = 0; step < 2; ++step)
        e = -(1.5L * e * e + 0.5L * e * e * e);
    return std::fabs(e) + 10.0L * 0x1p-53L;
}

// One complex float root as the four-lane step forms it, on this processor's scalar estimate.
void ModelFc32(float a, float b, float* re, float* im)
{
    const float ha = a * 0.5f, hb = b * 0.5f;
    float q = ha * ha + hb * hb;
    const bool zero = q == 0.0f;
    q = zero ? 3.0f : q;
    const float y = Estimate(q), t = q * y, u = y * t;
    const float m = (0.5f * t) * (3.0f - u);
    const float s = std::fabs(ha) + m;
    const float y2 = Estimate(s), u2 = (s * y2) * y2;
    const float r = zero ? 0.0f : (0.5f * y2) * (3.0f - u2);
    const float p = s * r, w = std::fabs(hb) * r;
    const bool ra = 0.0f <= ha, nb = !(0.0f <= hb);
    *re = ra ? p : w;
    *im = (ra ? w : p) * (nb ? -1.0f : 1.0f);
}

class SpSqrtFloatKernelTest : public ::testing::TestWithParam<int32_t>
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

TEST_P(SpSqrtFloatKernelTest, DoubleBlocksTakeTheTwoStepRefinement)
{
    TestRng rng(225);
    for (int32_t n : {1, 2, 3, 4, 5, 11, 40})
    {
        for (size_t offset : {0u, 8u, 24u})
        {
            std::vector<double> x(static_cast<size_t>(n));
            for (double& v : x)
                v = std::ldexp(rng.Uniform(1, 2), int(rng.Next32() % 2000) - 1000);
            GuardedCopy<double> src(x, offset);
            GuardedBuffer<double> dst(x.size(), offset);
            ASSERT_EQ(0u, kF64[L()](src.data(), dst.data(), n));
            const int32_t head = (offset & 8) != 0 ? 1 : 0;
            const int32_t blockEnd = head + (n - head) / 4 * 4;
            for (int32_t i = 0; i < n; ++i)
            {
                const double exact = std::sqrt(x[size_t(i)]);
                const bool refined = i >= head && i < blockEnd;
                ASSERT_EQ(DoubleBits(refined ? ModelF64(x[size_t(i)]) : exact), DoubleBits(dst[size_t(i)]))
                    << n << " " << i;
                // Refined: the truncation error that this element's own estimate leaves after two
                // steps (at most about 6e-14 relative at the estimate's bound); exact elsewhere.
                const long double error =
                    std::fabs((long double)dst[size_t(i)] - std::sqrt((long double)x[size_t(i)]));
                ASSERT_LE(error, (refined ? RefinedBound(x[size_t(i)]) : 0x1p-53L) * exact) << x[size_t(i)];
            }
            ASSERT_TRUE(dst.GuardsIntact());
            kF64[L()](src.data(), src.data(), n); // in place gives the same bits
            ASSERT_EQ(0, memcmp(src.data(), dst.data(), 8 * size_t(n)));
        }
    }
}

// In the groups only an element below zero is negative; the last element (6) tests the bits, so
// a NaN with its sign bit set counts there.
TEST_P(SpSqrtFloatKernelTest, DoubleSpecialsAreExactAndGroupsCountOnlyBelowZeroAsNegative)
{
    const uint32_t original = _mm_getcsr();
    const double specials[] = {-1.0, -0.0, 0.0, INFINITY, 4e-320, NAN, -NAN};
    for (uint32_t word : {0x1F80u, 0x9FC0u | 0x3Fu, 0x5F80u})
    {
        for (double special : specials)
        {
            for (int32_t at = 0; at < 7; ++at)
            {
                alignas(16) double v[7];
                for (int32_t i = 0; i < 7; ++i)
                    v[i] = 2.0 + i;
                v[at] = special;
                double want[7];
                for (int32_t i = 0; i < 7; ++i)
                    want[i] = std::sqrt(v[i]);
                _mm_setcsr(word);
                const uint32_t flag = kF64[L()](v, v, 7);
                const uint32_t after = _mm_getcsr();
                _mm_setcsr(original);
                EXPECT_EQ(word, after);
                const bool signedNan = std::isnan(special) && std::signbit(special);
                ASSERT_EQ(flag != 0, special < 0 || (at == 6 && signedNan)) << special << " at " << at;
                if (std::isnan(want[at]))
                {
                    ASSERT_TRUE(std::isnan(v[at]));
                }
                else if (special != 4e-320 || (word & 0x6000u) == 0)
                {
                    ASSERT_EQ(DoubleBits(want[at]), DoubleBits(v[at])) << special << " at " << at;
                }
                if (special == -1.0)
                {
                    ASSERT_EQ(0xFFF8000000000000ull, DoubleBits(v[at]));
                }
            }
        }
    }
}

TEST_P(SpSqrtFloatKernelTest, ComplexRootsArePrincipal)
{
    // {re, im, want re, want im}: the listed cases, -0 imaginary parts included.
    const double cases[][4] = {{4, 0, 2, 0}, {-4, 0, 0, 2},  {-4, -0.0, 0, 2}, {0, 0, 0, 0},
                               {3, 4, 2, 1}, {3, -4, 2, -1}, {0, -2, 1, -1}};
    for (const auto& c : cases)
    {
        float zf[10], rf[10];
        double zd[10], rd[10];
        for (int32_t i = 0; i < 5; ++i)
            zf[2 * i] = float(c[0]), zf[2 * i + 1] = float(c[1]), zd[2 * i] = c[0], zd[2 * i + 1] = c[1];
        kFc32[L()](zf, rf, 5);
        kFc64[L()](zd, rd, 5);
        for (int32_t i = 0; i < 5; ++i)
        {
            EXPECT_NEAR(rf[2 * i], c[2], 1e-6) << c[0] << " " << c[1];
            EXPECT_NEAR(rf[2 * i + 1], c[3], 1e-6) << c[0] << " " << c[1];
            EXPECT_EQ(rd[2 * i], c[2]) << c[0] << " " << c[1];
            EXPECT_EQ(rd[2 * i + 1], c[3]) << c[0] << " " << c[1];
            EXPECT_FALSE(std::signbit(rf[2 * i]) || std::signbit(rd[2 * i]));
        }
    }
    TestRng rng(226);
    for (int32_t n : {1, 2, 3, 5, 9, 40})
    {
        for (size_t offset : {0u, 8u, 4u})
        {
            std::vector<float> zf(2 * static_cast<size_t>(n));
            std::vector<double> zd(2 * static_cast<size_t>(n));
            for (size_t i = 0; i < zf.size(); ++i)
                zd[i] = zf[i] = float(std::ldexp(rng.Uniform(-1, 1), int(rng.Next32() % 40) - 20));
            GuardedBuffer<float> rf(zf.size(), offset);
            GuardedBuffer<double> rd(zd.size(), 2 * offset); // doubles stay on 8-byte boundaries
            kFc32[L()](zf.data(), rf.data(), n);
            kFc64[L()](zd.data(), rd.data(), n);
            for (int32_t i = 0; i < n; ++i)
            {
                const std::complex<long double> z(zd[2 * size_t(i)], zd[2 * size_t(i) + 1]);
                const std::complex<long double> root = std::sqrt(z);
                const long double scale = std::sqrt(std::abs(z));
                float re, im;
                ModelFc32(zf[2 * size_t(i)], zf[2 * size_t(i) + 1], &re, &im);
                EXPECT_EQ(FloatBits(re), FloatBits(rf[2 * size_t(i)])) << i;
                EXPECT_EQ(FloatBits(im), FloatBits(rf[2 * size_t(i) + 1])) << i;
                EXPECT_LE(fabsl(rf[2 * size_t(i)] - root.real()), 2e-6L * scale) << i;
                EXPECT_LE(fabsl(rf[2 * size_t(i) + 1] - root.imag()), 2e-6L * scale) << i;
                EXPECT_LE(fabsl(rd[2 * size_t(i)] - root.real()), 1e-15L * scale) << i;
                EXPECT_LE(fabsl(rd[2 * size_t(i) + 1] - root.imag()), 1e-15L * scale) << i;
            }
            EXPECT_TRUE(rf.GuardsIntact());
            EXPECT_TRUE(rd.GuardsIntact());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, SpSqrtFloatKernelTest, ::testing::Values(1, 2, 3), SpLevelName);

#undef SP_LEVELS
