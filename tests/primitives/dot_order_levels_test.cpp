// Level-1 dot products of the element types beside float, bit for bit against scalar models that
// keep every lane of every accumulator as its own variable and follow the documented grouping
// (which elements are peeled, which round feeds which partial, how the partials fold), at every
// start offset of both sources. The models in turn sit within the accumulated rounding bound of
// a long-double sum. Inputs spread over many magnitudes, so a wrong grouping shows in the bits;
// the scaled integer cases cancel large products so that absorbed small ones reach the result.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <cmath>
#include <vector>

#include "driver/primitives/vectors/sp_sum_dot_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

uintptr_t Addr(const void* p)
{
    return reinterpret_cast<uintptr_t>(p);
}

template <typename T> T At(const T* p, int64_t i)
{
    T v;
    memcpy(&v, p + i, sizeof(v));
    return v;
}

// ---- models ---------------------------------------------------------------------------------

void ModelF32Fc32(const float* a, const float* b, int32_t n, float out[2])
{
    float acc[2][4] = {};
    auto single = [&](int64_t i)
    {
        acc[0][0] += At(a, i) * At(b, 2 * i);
        acc[0][1] += At(a, i) * At(b, 2 * i + 1);
        acc[0][2] += 0.0f;
        acc[0][3] += 0.0f;
    };
    auto vec = [&](int k, int64_t i)
    {
        for (int e = 0; e < 2; ++e)
        {
            acc[k][2 * e] += At(a, i + e) * At(b, 2 * (i + e));
            acc[k][2 * e + 1] += At(a, i + e) * At(b, 2 * (i + e) + 1);
        }
    };
    int64_t i = 0;
    const bool peel = Addr(b) % 16 == 8;
    if (peel)
        single(i++);
    const bool wide = Addr(b + 2 * i) % 16 == 0 && (!peel || Addr(a) % 4 == 0);
    const int64_t round = wide ? 12 : 6;
    for (; n - i >= round; i += round)
        for (int64_t k = 0; k < round / 2; ++k)
            vec(int(k % 2), i + 2 * k);
    for (; i < n; ++i)
        single(i);
    float s[4];
    for (int k = 0; k < 4; ++k)
        s[k] = acc[0][k] + acc[1][k];
    out[0] = s[0] + s[2];
    out[1] = s[1] + s[3];
}

void ModelFc32(const float* a, const float* b, int32_t n, float out[2])
{
    bool peel = false;
    if (Addr(a) % 16 != 0 && Addr(b) % 16 == 0)
        std::swap(a, b);
    else if (Addr(a) % 16 != 0 && Addr(b) % 16 != 0 && (Addr(a) % 8 == 0 || Addr(b) % 8 == 0))
    {
        peel = true;
        if (Addr(a) % 8 != 0)
            std::swap(a, b);
    }
    float re[4] = {}, im[4] = {}; // lanes of the a.re * b and a.im * b accumulators
    auto element = [&](int64_t i, int lane)
    {
        const float ar = At(a, 2 * i), ai = At(a, 2 * i + 1), br = At(b, 2 * i), bi = At(b, 2 * i + 1);
        re[lane] += ar * br, re[lane + 1] += ar * bi, im[lane] += ai * br, im[lane + 1] += ai * bi;
    };
    auto single = [&](int64_t i)
    {
        element(i, 0);
        for (float* acc : {re, im})
            acc[2] += 0.0f, acc[3] += 0.0f;
    };
    int64_t i = 0;
    if (peel)
        single(i++);
    for (; n - i >= 2; i += 2)
        element(i, 0), element(i + 1, 2);
    if (i < n)
        single(i);
    out[0] = (re[0] - im[1]) + (re[2] - im[3]);
    out[1] = (re[1] + im[0]) + (re[3] + im[2]);
}

void ModelF64(const double* a, const double* b, int32_t n, double* out)
{
    double acc[4][2] = {};
    int64_t i = 0, pairs = 3;
    if (Addr(a) % 16 == 0 && Addr(b) % 16 == 0)
        pairs = 4;
    else
    {
        const double* p = Addr(b) % 8 != 0 && Addr(a) % 8 == 0 ? a : b;
        if (Addr(a) % 16 != 0 && Addr(b) % 16 != 0 && Addr(p) % 16 == 8)
            acc[0][0] += At(a, 0) * At(b, 0), i = 1;
    }
    for (; n - i >= 2 * pairs; i += 2 * pairs)
        for (int64_t k = 0; k < pairs; ++k)
            for (int64_t l = 0; l < 2; ++l)
                acc[k][l] += At(a, i + 2 * k + l) * At(b, i + 2 * k + l);
    for (; i < n; ++i)
        acc[0][0] += At(a, i) * At(b, i);
    double w[2];
    for (int l = 0; l < 2; ++l)
        w[l] = (acc[0][l] + acc[1][l]) + (acc[2][l] + acc[3][l]);
    *out = w[0] + w[1];
}

void ModelF64Fc64(const double* a, const double* b, int32_t n, double out[2])
{
    double z[4][2] = {};
    auto add = [&](int k, int64_t i)
    {
        z[k][0] += At(a, i) * At(b, 2 * i);
        z[k][1] += At(a, i) * At(b, 2 * i + 1);
    };
    int64_t i = 0;
    if (Addr(b) % 16 == 0)
        for (; n - i >= 4; i += 4)
            add(0, i), add(1, i + 1), add(2, i + 2), add(3, i + 3);
    else
        for (; n - i >= 3; i += 3)
            add(2, i), add(3, i + 1), add(2, i + 2);
    for (; i < n; ++i)
        add(0, i);
    for (int l = 0; l < 2; ++l)
        out[l] = (z[0][l] + z[1][l]) + (z[2][l] + z[3][l]);
}

int32_t ModelSaturate(double v, double scale)
{
    v *= scale;
    if (v > 2147483647.0)
        return INT32_MAX;
    if (!(v >= -2147483648.0))
        return INT32_MIN;
    return int32_t(std::nearbyint(v));
}

template <typename A>
int32_t ModelScaled(const A* a, const int32_t* b, int32_t n, double scale, int64_t peelTo)
{
    double p[2][2] = {};
    auto product = [&](int64_t i) { return double(At(a, i)) * double(At(b, i)); };
    int64_t i = 0;
    // I16 x I32: singles up to a's 16-byte boundary, rounds of 8 (P0 P1 P0 P1); I32: rounds of 6
    // while 12 remain (P0 P1 P0).
    for (; peelTo > 0 && i < n && (Addr(a) % 2 != 0 || Addr(a + i) % 16 != 0); ++i)
        p[0][0] += product(i);
    const int64_t round = peelTo > 0 ? 8 : 6, keep = peelTo > 0 ? 8 : 12;
    for (; n - i >= keep; i += round)
        for (int64_t k = 0; k < round / 2; ++k)
            for (int64_t l = 0; l < 2; ++l)
                p[k % 2][l] += product(i + 2 * k + l);
    for (; i < n; ++i)
        p[0][0] += product(i);
    return ModelSaturate((p[0][0] + p[1][0]) + (p[0][1] + p[1][1]), scale);
}

void ModelI32Ic32(const int32_t* a, const int32_t* b, int32_t n, double scale, int32_t out[2])
{
    double p[2][2] = {};
    auto add = [&](int k, int64_t i)
    {
        p[k][0] += double(At(a, i)) * double(At(b, 2 * i));
        p[k][1] += double(At(a, i)) * double(At(b, 2 * i + 1));
    };
    int64_t i = 0;
    for (; n - i >= 8; i += 4)
        add(0, i), add(1, i + 1), add(0, i + 2), add(1, i + 3);
    for (; i < n; ++i)
        add(0, i);
    out[0] = ModelSaturate(p[0][0] + p[1][0], scale);
    out[1] = ModelSaturate(p[0][1] + p[1][1], scale);
}

// ---- inputs ---------------------------------------------------------------------------------

// Values over about twelve binary orders of magnitude, of both signs.
std::vector<double> Spread(TestRng& rng, size_t count)
{
    std::vector<double> v(count);
    for (double& x : v)
        x = float(std::ldexp(rng.Uniform(0.5, 1.0), int(rng.Next32() % 13) - 6) *
                  (rng.Next32() & 1 ? 1 : -1));
    return v;
}

template <typename T> std::vector<T> As(const std::vector<double>& v)
{
    return std::vector<T>(v.begin(), v.end());
}

bool SameBits(float x, float y)
{
    return FloatBits(x) == FloatBits(y);
}

bool SameBits(double x, double y)
{
    return memcmp(&x, &y, sizeof(x)) == 0;
}

constexpr int32_t kLengths[] = {1, 2, 3, 5, 6, 7, 8, 11, 12, 13, 17, 23, 24, 25, 31, 40, 99};

// Offsets in bytes within a 16-byte block for both sources; 2 puts a float or double off its
// natural boundary, so nothing ever becomes aligned.
constexpr size_t kOffsets[] = {0, 4, 8, 12, 2};

} // namespace

TEST(SpDotOrderLevel1, FloatComplexKernelsFollowTheirGroupingAtEveryOffset)
{
    if (!SpLevelRunsHere(1))
        GTEST_SKIP();
    TestRng rng(2411);
    const std::vector<double> a = Spread(rng, 2 * 99), b = Spread(rng, 2 * 99);
    for (size_t offA : kOffsets)
    {
        for (size_t offB : kOffsets)
        {
            GuardedCopy<float> af(As<float>(a), offA), bf(As<float>(b), offB);
            for (int32_t n : kLengths)
            {
                float got[2], want[2];
                long double re = 0, im = 0, mag = 0, cre = 0, cim = 0, cmag = 0;
                for (int32_t i = 0; i < n; ++i)
                {
                    const long double x = a[size_t(i)], br = b[2 * size_t(i)], bi = b[2 * size_t(i) + 1];
                    re += x * br, im += x * bi, mag += std::fabs(x) * (std::fabs(br) + std::fabs(bi));
                    const long double ar = a[2 * size_t(i)], ai = a[2 * size_t(i) + 1];
                    cre += ar * br - ai * bi, cim += ar * bi + ai * br;
                    cmag += (std::fabs(ar) + std::fabs(ai)) * (std::fabs(br) + std::fabs(bi));
                }
                const long double bound = (n + 2) * 6e-8L;
                SCOPED_TRACE(::testing::Message() << "n " << n << ", a +" << offA << ", b +" << offB);
                SpDotProdKernelF32Fc32_L1(af.data(), bf.data(), n, got);
                ModelF32Fc32(af.data(), bf.data(), n, want);
                EXPECT_TRUE(SameBits(want[0], got[0]) && SameBits(want[1], got[1]))
                    << got[0] << " " << got[1] << " against " << want[0] << " " << want[1];
                EXPECT_LE(std::fabs(want[0] - re), bound * mag);
                EXPECT_LE(std::fabs(want[1] - im), bound * mag);
                SpDotProdKernelFc32_L1(af.data(), bf.data(), n, got);
                ModelFc32(af.data(), bf.data(), n, want);
                EXPECT_TRUE(SameBits(want[0], got[0]) && SameBits(want[1], got[1]))
                    << got[0] << " " << got[1] << " against " << want[0] << " " << want[1];
                EXPECT_LE(std::fabs(want[0] - cre), bound * cmag);
                EXPECT_LE(std::fabs(want[1] - cim), bound * cmag);
            }
            EXPECT_TRUE(af.buffer.GuardsIntact() && bf.buffer.GuardsIntact());
        }
    }
}

TEST(SpDotOrderLevel1, DoubleKernelsFollowTheirGroupingAtEveryOffset)
{
    if (!SpLevelRunsHere(1))
        GTEST_SKIP();
    TestRng rng(2412);
    // Doubles with bits below single precision, so every product rounds.
    std::vector<double> a = Spread(rng, 2 * 99), b = Spread(rng, 2 * 99);
    for (double& x : a)
        x *= 1.0 + rng.Uniform(0, 1e-9);
    for (double& x : b)
        x *= 1.0 + rng.Uniform(0, 1e-9);
    for (size_t offA : kOffsets)
    {
        for (size_t offB : kOffsets)
        {
            GuardedCopy<double> ad(a, offA), bd(b, offB);
            for (int32_t n : kLengths)
            {
                SCOPED_TRACE(::testing::Message() << "n " << n << ", a +" << offA << ", b +" << offB);
                long double dot = 0, mag = 0, re = 0, im = 0, cmag = 0;
                for (int32_t i = 0; i < n; ++i)
                {
                    const long double x = a[size_t(i)];
                    dot += x * b[size_t(i)], mag += std::fabs(x * b[size_t(i)]);
                    re += x * b[2 * size_t(i)], im += x * b[2 * size_t(i) + 1];
                    cmag += std::fabs(x) * (std::fabs(b[2 * size_t(i)]) + std::fabs(b[2 * size_t(i) + 1]));
                }
                const long double bound = (n + 2) * 1.2e-16L;
                double got[2], want[2];
                SpDotProdKernelF64_L1(ad.data(), bd.data(), n, got);
                ModelF64(ad.data(), bd.data(), n, want);
                EXPECT_TRUE(SameBits(want[0], got[0])) << got[0] << " against " << want[0];
                EXPECT_LE(std::fabs(want[0] - dot), bound * mag);
                SpDotProdKernelF64Fc64_L1(ad.data(), bd.data(), n, got);
                ModelF64Fc64(ad.data(), bd.data(), n, want);
                EXPECT_TRUE(SameBits(want[0], got[0]) && SameBits(want[1], got[1]))
                    << got[0] << " " << got[1] << " against " << want[0] << " " << want[1];
                EXPECT_LE(std::fabs(want[0] - re), bound * cmag);
                EXPECT_LE(std::fabs(want[1] - im), bound * cmag);
            }
            EXPECT_TRUE(ad.buffer.GuardsIntact() && bd.buffer.GuardsIntact());
        }
    }
}

// Large products of both signs that cancel exactly, with small odd ones in between: whether a
// small product survives depends on which partial it meets, so the result shows the grouping.
TEST(SpDotOrderLevel1, ScaledIntegerKernelsFollowTheirGrouping)
{
    if (!SpLevelRunsHere(1))
        GTEST_SKIP();
    TestRng rng(2413);
    for (int32_t n : {1, 5, 11, 12, 13, 19, 40, 301, 640, 3001})
    {
        std::vector<int32_t> a(size_t(n) * 2), b(size_t(n) * 2);
        std::vector<int16_t> a16(static_cast<size_t>(n));
        const size_t half = size_t(n) / 2;
        for (size_t i = 0; i < size_t(n); ++i)
        {
            a[i] = int32_t(rng.Next32() % 41) - 20;
            b[i] = 2 * int32_t(rng.Next32() % 50) + 1;
            a16[i] = int16_t(a[i]);
        }
        // The first half holds large products; the second half takes each away again.
        for (size_t i = 0; i < half; ++i)
        {
            if (rng.Next32() % 3 == 0)
                continue;
            a[i] = a[half + i] = INT32_MAX - int32_t(rng.Next32() % 64);
            b[i] = INT32_MAX - int32_t(rng.Next32() % 64);
            b[half + i] = -b[i];
            a16[i] = a16[half + i] = int16_t(32767 - int32_t(rng.Next32() % 64));
        }
        for (size_t i = size_t(n); i < a.size(); ++i)
            a[i] = int32_t(rng.Next32()) >> 8, b[i] = int32_t(rng.Next32());
        for (size_t offA : {0u, 2u, 4u, 8u, 12u, 1u})
        {
            GuardedCopy<int32_t> ax(a, offA), bx(b, 4);
            GuardedCopy<int16_t> a16x(a16, offA);
            SCOPED_TRACE(::testing::Message() << "n " << n << ", a +" << offA);
            for (double scale : {1.0, 0x1p-20, 3e-9})
            {
                int32_t got[2], want[2];
                SpDotProdKernelI32Scaled_L1(ax.data(), bx.data(), n, got, &scale);
                EXPECT_EQ(ModelScaled(ax.data(), bx.data(), n, scale, 0), got[0]);
                SpDotProdKernelI16I32Scaled_L1(a16x.data(), bx.data(), n, got, &scale);
                EXPECT_EQ(ModelScaled(a16x.data(), bx.data(), n, scale, 16), got[0]);
                // Interleaved as (re, im), b's second half gives independent imaginary parts.
                SpDotProdKernelI32Ic32Scaled_L1(ax.data(), bx.data(), n, got, &scale);
                ModelI32Ic32(ax.data(), bx.data(), n, scale, want);
                EXPECT_EQ(want[0], got[0]);
                EXPECT_EQ(want[1], got[1]);
            }
            EXPECT_TRUE(ax.buffer.GuardsIntact() && bx.buffer.GuardsIntact() && a16x.buffer.GuardsIntact());
        }
    }
}
