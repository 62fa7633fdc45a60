// The level 1-3 complex IIR block kernels (float and 16-bit ends) against a scalar model that
// groups each part of each output the way the kernels are fixed to, over random lane tables,
// compared bit for bit; and an order-1 table built from a complex pole against the recursion it
// unrolls.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <algorithm>
#include <complex>
#include <limits>
#include <vector>

#include "driver/primitives/filters/sp_iir_internal.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

struct ComplexKernels
{
    void (*FeedForward)(const float*, float*, int64_t, const float*, int32_t);
    void (*Feedback)(const float*, float*, int64_t, const float*, int32_t);
    void (*FeedForwardI16)(const int16_t*, float*, int64_t, const float*, int32_t);
    void (*FeedbackI16)(const float*, float*, int64_t, const float*, int32_t, int16_t*, int32_t);
};

ComplexKernels KernelsOf(int32_t level)
{
    switch (level)
    {
    case 1:
        return {SpIirDirectBlockFeedForwardComplexF32_L1, SpIirDirectBlockFeedbackComplexF32_L1,
                SpIirDirectBlockFeedForwardComplexI16_L1, SpIirDirectBlockFeedbackComplexI16_L1};
    case 2:
        return {SpIirDirectBlockFeedForwardComplexF32_L2, SpIirDirectBlockFeedbackComplexF32_L2,
                SpIirDirectBlockFeedForwardComplexI16_L2, SpIirDirectBlockFeedbackComplexI16_L2};
    default:
        return {SpIirDirectBlockFeedForwardComplexF32_L3, SpIirDirectBlockFeedbackComplexF32_L3,
                SpIirDirectBlockFeedForwardComplexI16_L3, SpIirDirectBlockFeedbackComplexI16_L3};
    }
}

// Part c (0 real, 1 imaginary) of feed-forward output j; x holds complex samples.
float ForwardModel(const float* x, const float* ff, int n, int64_t j, int64_t len, int c)
{
    // Tap k on the sample a places into the window: x a, and the swapped sample's part times I.
    auto r = [&](int64_t a, int k) { return x[2 * (j + a) + c] * ff[8 * k]; };
    auto i = [&](int64_t a, int k) { return x[2 * (j + a) + 1 - c] * ff[8 * k + 4 + c]; };
    switch (n)
    {
    case 0:
        return r(0, 0) + i(0, 0);
    case 1:
        return (r(0, 1) + i(0, 1)) + (r(1, 0) + i(1, 0));
    case 2:
        return (r(0, 2) + r(1, 1)) + ((r(2, 0) + i(0, 2)) + (i(1, 1) + i(2, 0)));
    case 3:
        return ((r(0, 3) + r(1, 2)) + (r(2, 1) + r(3, 0))) + ((i(0, 3) + i(1, 2)) + (i(2, 1) + i(3, 0)));
    default:
        break;
    }
    float acc = 0.0f;
    if (j >= len / 2 * 2)
    {
        for (int k = n; k >= 0; --k)
            acc = (acc + r(n - k, k)) + i(n - k, k);
        return acc;
    }
    int64_t a = 0;
    int k = n;
    do
    {
        acc = acc + ((r(a, k) + r(a + 1, k - 1)) + (r(a + 2, k - 2) + r(a + 3, k - 3)));
        acc = acc + ((i(a, k) + i(a + 1, k - 1)) + (i(a + 2, k - 2) + i(a + 3, k - 3)));
        a += 4;
        k -= 4;
    } while (k + 1 >= 4);
    if (k == 2)
    {
        acc = acc + (i(a + 1, 1) + i(a + 2, 0));
        return acc + ((r(a, 2) + r(a + 1, 1)) + (r(a + 2, 0) + i(a, 2)));
    }
    if (k == 1)
        return acc + ((r(a, 1) + r(a + 1, 0)) + (i(a, 1) + i(a + 1, 0)));
    if (k == 0)
        return acc + (r(a, 0) + i(a, 0));
    return acc;
}

// Lane L (output L / 2 of the pair, part L % 2) of feedback output j; y holds n history values
// then the outputs, w the work values, all complex.
float FeedbackModel(const float* w, const float* y, const float* fb, int n, int64_t j, int64_t len, int lane)
{
    auto row = [&](int d, int r) { return fb + 16 * (d - 1) + 4 * r; };
    const float* u = fb + 16 * n;
    if (j >= len / 4 * 4)
    {
        const float* at = y + 2 * (n + j);
        auto p = [&](int d) { return at[-2 * d] * row(d, 0)[lane]; };
        auto q = [&](int d) { return at[-2 * d + 1] * row(d, 1)[lane]; };
        const float wk = w[2 * j + lane];
        if (n == 1)
            return p(1) + (wk + q(1));
        if (n == 2)
            return (p(1) + p(2)) + (wk + (q(1) + q(2)));
        float acc = 0.0f;
        for (int d = n; d >= 1; --d)
            acc = acc + (p(d) + q(d));
        return acc + wk;
    }
    const int64_t t = j / 4 * 4;
    const bool high = j - t >= 2;
    const int L = int(2 * ((j - t) % 2) + lane); // lane within the step's vector
    const float* h0 = y + 2 * (n + t);           // h0 - 2d is y[-d] of the step
    auto Y = [&](int d, int half)
    { return h0[-2 * d] * row(d, 2 * half)[L] + h0[-2 * d + 1] * row(d, 2 * half + 1)[L]; };
    const float* ws = w + 2 * t;
    auto wr = [&](int m, const float* rows, int half)
    { return ws[2 * m] * rows[8 * half + L] + ws[2 * m + 1] * rows[8 * half + 4 + L]; };
    const float W = wr(0, u, 0), Wp = wr(0, u, 1), Z1 = wr(1, fb, 0), Z2 = wr(2, u, 0);
    const float M1 = L >= 2 ? ws[2 + L - 2] : 0.0f, M3 = L >= 2 ? ws[6 + L - 2] : 0.0f;
    if (n == 1)
        return high ? (((Y(1, 1) + Wp) + Z1) + Z2) + M3 : (Y(1, 0) + W) + M1;
    if (n == 2)
        return high ? ((((Y(1, 1) + Y(2, 1)) + Wp) + Z1) + Z2) + M3 : ((Y(2, 0) + Y(1, 0)) + W) + M1;
    float acc = 0.0f;
    int d = n;
    do
    {
        acc = acc + (high ? Y(d - 1, 1) + Y(d, 1) : Y(d, 0) + Y(d - 1, 0));
        d -= 2;
    } while (d >= 2);
    if (d == 1)
        acc = acc + Y(1, high ? 1 : 0);
    return high ? (((acc + Wp) + Z1) + Z2) + M3 : (acc + W) + M1;
}

std::vector<float> Random(size_t n, TestRng& rng, double scale)
{
    std::vector<float> v(n);
    for (float& f : v)
        f = float(rng.Uniform(-scale, scale));
    return v;
}

// Random taps in the feed-forward layout: per tap (br x4) then (-bi, bi, -bi, bi).
std::vector<float> ForwardTable(int n, TestRng& rng)
{
    std::vector<float> ff(size_t(8 * (n + 1)));
    for (int k = 0; k <= n; ++k)
    {
        const float br = float(rng.Uniform(-1, 1)), bi = float(rng.Uniform(-1, 1));
        for (int l = 0; l < 4; ++l)
        {
            ff[size_t(8 * k + l)] = br;
            ff[size_t(8 * k + 4 + l)] = l % 2 ? bi : -bi;
        }
    }
    return ff;
}

int16_t Saturate16(float v, int32_t scale)
{
    const double r = nearbyint(double(v) * ldexp(1.0, -scale));
    return int16_t(r < -32768 ? -32768 : (r > 32767 ? 32767 : r));
}

class IirComplexLevelTest : public SpLevelTest
{
protected:
    void SetUp() override
    {
        SpLevelTest::SetUp();
        if (!IsSkipped() && Level() == 0)
            GTEST_SKIP() << "the generic build has no complex block kernels";
    }
};
SP_INSTANTIATE_LEVELS(IirComplexLevelTest);

} // namespace

TEST_P(IirComplexLevelTest, PassesMatchTheGroupedModelBitForBit)
{
    const ComplexKernels k = KernelsOf(Level());
    TestRng rng(7216);
    alignas(16) float work[2 * 64];
    for (int n = 0; n <= 9; ++n)
    {
        const std::vector<float> ff = ForwardTable(n, rng);
        const std::vector<float> fb = Random(size_t(16 * (n + 1)), rng, 0.5);
        for (int64_t len : {0, 1, 2, 3, 4, 5, 7, 8, 9, 13, 17, 30})
        {
            const std::vector<float> x = Random(size_t(2 * (len + n)), rng, 1.0);
            std::vector<int16_t> x16(x.size());
            std::vector<float> wide(x.size());
            for (size_t i = 0; i < x.size(); ++i)
                wide[i] = x16[i] = int16_t(x[i] * 30000.0f);
            // The source a complex sample past a 16-byte boundary as well as on one.
            for (int skew : {0, 1})
            {
                std::vector<float> src(x.size() + 4);
                std::copy(x.begin(), x.end(), src.begin() + 2 * skew);
                k.FeedForward(src.data() + 2 * skew, work, len, ff.data(), n);
                for (int64_t j = 0; j < len; ++j)
                    for (int c = 0; c < 2; ++c)
                        ASSERT_EQ(work[2 * j + c], ForwardModel(x.data(), ff.data(), n, j, len, c))
                            << "order " << n << " len " << len << " output " << j;
            }
            k.FeedForwardI16(x16.data(), work, len, ff.data(), n);
            for (int64_t j = 0; j < len; ++j)
                for (int c = 0; c < 2; ++c)
                    ASSERT_EQ(work[2 * j + c], ForwardModel(wide.data(), ff.data(), n, j, len, c));
            if (n == 0)
                continue;
            const std::vector<float> history = Random(size_t(2 * n), rng, 1.0);
            std::vector<float> want(size_t(2 * (n + len))), out(want.size(), -5.0f),
                out16(want.size(), -5.0f);
            std::copy(history.begin(), history.end(), want.begin());
            std::copy(history.begin(), history.end(), out.begin());
            std::copy(history.begin(), history.end(), out16.begin());
            for (int64_t j = 0; j < len; ++j)
                for (int c = 0; c < 2; ++c)
                    want[size_t(2 * (n + j) + c)] = FeedbackModel(work, want.data(), fb.data(), n, j, len, c);
            k.Feedback(work, out.data(), len, fb.data(), n);
            ASSERT_EQ(0, memcmp(out.data(), want.data(), 4 * want.size())) << "order " << n << " len " << len;
            std::vector<int16_t> dst(want.size(), 77);
            const int32_t scale = n % 3 - 1;
            k.FeedbackI16(work, out16.data(), len, fb.data(), n, dst.data(), scale);
            for (int i = 0; i < 2 * n; ++i)
                ASSERT_EQ(dst[size_t(i)], 77);
            for (int64_t j = 0; j < len; ++j)
            {
                for (int c = 0; c < 2; ++c)
                {
                    const size_t at = size_t(2 * (n + j) + c);
                    ASSERT_EQ(dst[at], Saturate16(want[at], scale)) << "order " << n << " output " << j;
                    // Below order 3 the floats keep only the last step's second pair and the tail.
                    const bool kept = n >= 3 || j >= len / 4 * 4 || (j >= len / 4 * 4 - 2);
                    ASSERT_EQ(out16[at], kept ? want[at] : -5.0f) << "order " << n << " output " << j;
                }
            }
        }
    }
}

// Order 1 with pole c: the table of the unrolled recursion y[t] = w[t] + c y[t-1] turns zero
// work into c y[-1], c^2 y[-1], ... in the steps and the tail alike.
TEST_P(IirComplexLevelTest, OrderOneTableUnrollsTheRecursion)
{
    const ComplexKernels k = KernelsOf(Level());
    const std::complex<double> c(0.6, -0.7), y0(0.9, 0.4);
    auto power = [&](int m) { return std::pow(c, m); };
    alignas(16) float fb[32];
    // P, Q rows from the weights of two consecutive outputs.
    auto rows = [&](float* p, std::complex<double> a, std::complex<double> b)
    {
        const float pr[4] = {float(a.real()), float(a.imag()), float(b.real()), float(b.imag())};
        const float qr[4] = {float(-a.imag()), float(a.real()), float(-b.imag()), float(b.real())};
        memcpy(p, pr, sizeof(pr));
        memcpy(p + 4, qr, sizeof(qr));
    };
    rows(fb, power(1), power(2));
    rows(fb + 8, power(3), power(4));
    rows(fb + 16, power(0), power(1));
    rows(fb + 24, power(2), power(3));
    alignas(16) float work[2 * 11] = {};
    float out[2 * 12] = {float(y0.real()), float(y0.imag())};
    k.Feedback(work, out, 11, fb, 1);
    for (int m = 1; m <= 11; ++m)
    {
        const std::complex<double> want = power(m) * y0;
        EXPECT_NEAR(out[2 * m], want.real(), 1e-5) << m;
        EXPECT_NEAR(out[2 * m + 1], want.imag(), 1e-5) << m;
    }
}

// Both parts of a scaled output beyond the 16-bit range saturate by their own sign, also past
// the 32-bit range, and a NaN part stores 0: order 1 with no feedback passes the work values
// straight through, four in a step and three in the tail.
TEST_P(IirComplexLevelTest, SixteenBitPartsSaturateByTheirSign)
{
    const ComplexKernels k = KernelsOf(Level());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    alignas(16) float fb[32] = {};
    // The rows of a pole at 0: only U and V (w0 into output 0, and w2 into output 2) are not zero.
    fb[16] = 1.0f;
    fb[21] = 1.0f;
    // The NaN comes last: the zero weights of a step would carry it into every lane.
    const float parts[14] = {1e10f, -1e10f, 3e9f, -3e9f, 1, 40000, -40000, 2.5f, -2.5f, 3.5f, 0, 0, nan, -1};
    const int16_t want[14] = {32767, -32768, 32767, -32768, 1, 32767, -32768, 2, -2, 4, 0, 0, 0, -1};
    alignas(16) float work[14];
    memcpy(work, parts, sizeof(parts));
    float out[16] = {};
    int16_t dst[16];
    for (int16_t& d : dst)
        d = 77;
    k.FeedbackI16(work, out, 7, fb, 1, dst, 0);
    EXPECT_EQ(dst[0], 77);
    EXPECT_EQ(dst[1], 77);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(dst[2 + i], want[i]) << "part " << i;
}
