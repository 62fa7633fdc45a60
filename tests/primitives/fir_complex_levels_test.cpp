// The complex FIR block kernels of levels 1-3 (no entry calls them; the test builds their
// tables): the direct form against the complex convolution in double and, bit for bit, against a
// scalar model of its fixed sums, at every tap class, count parity, destination and window
// alignment; the multi-rate form against complex dot products in double and a lane model, with
// the positions it returns over several periods.
#include <gtest/gtest.h>

#include <string.h>

#include <complex>
#include <vector>

#include "driver/primitives/filters/sp_fir_internal.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

typedef std::complex<double> Cd;

struct Kernels
{
    decltype(&SpFirDirectBlockKernelComplex_L1) direct;
    decltype(&SpFirMultiRateKernelComplex_L1) multi;
};

const Kernels kKernels[3] = {{SpFirDirectBlockKernelComplex_L1, SpFirMultiRateKernelComplex_L1},
                             {SpFirDirectBlockKernelComplexF32_L2, SpFirMultiRateKernelComplexF32_L2},
                             {SpFirDirectBlockKernelComplexF32_L3, SpFirMultiRateKernelComplexF32_L3}};

class FirComplexLevelsTest : public SpLevelTest
{
protected:
    void SetUp() override
    {
        SpLevelTest::SetUp();
        if (Level() == 0 && !IsSkipped())
            GTEST_SKIP() << "the complex kernels have no generic build";
    }
    const Kernels& K() const { return kKernels[Level() - 1]; }
};
SP_INSTANTIATE_LEVELS(FirComplexLevelsTest);

std::vector<float> Random(size_t n, uint32_t seed)
{
    TestRng rng(seed);
    std::vector<float> v(n);
    for (float& x : v)
        x = float(rng.Uniform(-1.0, 1.0));
    return v;
}

// ---- Direct form ----

// Tap records: hr four times, then -hi, hi, -hi, hi, 16-byte aligned.
std::vector<float> Records(const std::vector<float>& h)
{
    std::vector<float> r;
    for (size_t k = 0; 2 * k < h.size(); ++k)
    {
        const float hr = h[2 * k], hi = h[2 * k + 1];
        r.insert(r.end(), {hr, hr, hr, hr, -hi, hi, -hi, hi});
    }
    return r;
}

// Part c of output n as the kernel sums it; `form` 0 the tap-count form (pairs and, from five
// taps, the register sum), 1 the running sum of a lone long output, 2 the scalar peel.
float Model(const float* h, const float* x, int32_t taps, int c, int form)
{
    auto xr = [&](int k) { return x[2 * (taps - 1 - k)]; };
    auto xi = [&](int k) { return x[2 * (taps - 1 - k) + 1]; };
    auto A = [&](int k) { return h[2 * k] * (c == 0 ? xr(k) : xi(k)); };
    auto B = [&](int k) { return c == 0 ? -h[2 * k + 1] * xi(k) : h[2 * k + 1] * xr(k); };
    if (form == 2)
    {
        float s = 0.0f;
        for (int k = taps - 1; k >= 0; --k)
            s += c == 0 ? h[2 * k] * xr(k) + -h[2 * k + 1] * xi(k) : h[2 * k] * xi(k) - -h[2 * k + 1] * xr(k);
        return s;
    }
    if (form == 1)
    {
        float s = 0.0f;
        for (int k = taps - 1; k >= 0; --k)
            s = (s + A(k)) + B(k);
        return s;
    }
    switch (taps)
    {
    case 1:
        return A(0) + B(0);
    case 2:
        return (A(1) + B(1)) + (A(0) + B(0));
    case 3:
        return (A(2) + A(1)) + ((A(0) + B(2)) + (B(1) + B(0)));
    case 4:
        return ((A(3) + A(2)) + (A(1) + A(0))) + ((B(3) + B(2)) + (B(1) + B(0)));
    default:
        break;
    }
    float s = 0.0f;
    int k = taps - 4;
    for (; k >= 0; k -= 4)
    {
        s = s + ((A(k + 3) + A(k + 2)) + (A(k + 1) + A(k)));
        s = s + ((B(k + 3) + B(k + 2)) + (B(k + 1) + B(k)));
    }
    switch (taps % 4)
    {
    case 1:
        return s + (A(0) + B(0));
    case 2:
        return s + ((A(1) + A(0)) + (B(1) + B(0)));
    case 3:
        return (s + (B(1) + B(0))) + ((A(2) + A(1)) + (A(0) + B(2)));
    default:
        return s;
    }
}

// ---- Multi-rate ----

// Rows of r taps for 4u outputs (or one row for u = 1): the real table (tr, -ti), then the
// imaginary table (ti, tr); pad taps past w are zero.
std::vector<float> MultiRateTable(const std::vector<Cd>& taps, int32_t rows, int32_t w, int32_t r)
{
    std::vector<float> t(size_t(4 * rows * r), 0.0f);
    for (int32_t row = 0; row < rows; ++row)
        for (int32_t k = 0; k < w; ++k)
        {
            const Cd c = taps[size_t(row * w + k)];
            const size_t re = size_t(2 * (row * r + k)), im = re + size_t(2 * rows * r);
            t[re] = float(c.real());
            t[re + 1] = float(-c.imag());
            t[im] = float(c.imag());
            t[im + 1] = float(c.real());
        }
    return t;
}

// One output as the kernel forms it: four lanes per part, two samples a step, an odd last sample
// into lanes 0-1 (or, for the real part with u > 1, lanes 2-3).
void LaneModel(const float* re, const float* im, const float* x, int32_t w, bool high, float* y)
{
    float sr[4] = {}, si[4] = {};
    int32_t k = 0;
    for (; k + 2 <= w; k += 2)
        for (int l = 0; l < 4; ++l)
        {
            sr[l] += x[2 * k + l] * re[2 * k + l];
            si[l] += x[2 * k + l] * im[2 * k + l];
        }
    if (k < w)
        for (int l = 0; l < 2; ++l)
        {
            sr[high ? l + 2 : l] += x[2 * k + l] * re[2 * k + l];
            si[l] += x[2 * k + l] * im[2 * k + l];
        }
    y[0] = (sr[0] + sr[2]) + (sr[1] + sr[3]);
    y[1] = (si[0] + si[2]) + (si[1] + si[3]);
}

} // namespace

// Tap counts 1 to 4 and 5 to 12 (r = 0 .. 3), even and odd counts, destinations on, 8 past, 4
// past and 2 past a 16-byte boundary, windows on and off one: every output bit for bit the fixed
// sum of its class and close to the convolution in double; nothing written past the count.
TEST_P(FirComplexLevelsTest, DirectFormFollowsItsFixedSumsAtEveryAlignment)
{
    for (int32_t taps : {1, 2, 3, 4, 5, 6, 7, 8, 9, 12})
    {
        const std::vector<float> h = Random(2 * size_t(taps), uint32_t(taps));
        const std::vector<float> records = Records(h);
        GuardedBuffer<float> table(records.size(), 0);
        memcpy(table.data(), records.data(), 4 * records.size());
        for (int64_t count : {0, 1, 2, 3, 8, 9, 17})
        {
            const std::vector<float> x = Random(2 * size_t(count + taps - 1), uint32_t(100 * taps + count));
            for (size_t windowOffset : {0, 8, 4})
            {
                GuardedBuffer<float> window(x.size(), windowOffset);
                if (!x.empty())
                    memcpy(window.data(), x.data(), 4 * x.size());
                for (size_t dstOffset : {0, 8, 4, 2})
                {
                    GuardedBuffer<float> dst(2 * size_t(count), dstOffset);
                    K().direct(table.data(), window.data(), dst.data(), count, taps);
                    const bool peel = dstOffset == 8 && count > 0;
                    for (int64_t n = 0; n < count; ++n)
                    {
                        // The peel, the pairs, then (long form, odd remainder) the running sum.
                        const int64_t rest = count - (peel ? 1 : 0);
                        const bool lone = taps > 4 && rest % 2 == 1 && n == count - 1;
                        const int form = peel && n == 0 ? 2 : (lone ? 1 : 0);
                        Cd want = 0;
                        for (int32_t k = 0; k < taps; ++k)
                            want +=
                                Cd(h[2 * size_t(k)], h[2 * size_t(k) + 1]) *
                                Cd(x[size_t(2 * (n + taps - 1 - k))], x[size_t(2 * (n + taps - 1 - k) + 1)]);
                        for (int c = 0; c < 2; ++c)
                        {
                            float got; // read by bytes: the destination may lie off 4 bytes
                            memcpy(&got, dst.data() + 2 * n + c, 4);
                            const float model = Model(h.data(), x.data() + 2 * n, taps, c, form);
                            ASSERT_EQ(0, memcmp(&got, &model, 4))
                                << taps << " taps, count " << count << ", output " << n << " part " << c
                                << ", dst +" << dstOffset << ", window +" << windowOffset;
                            ASSERT_NEAR(got, c == 0 ? want.real() : want.imag(), 1e-5 * taps);
                        }
                    }
                    ASSERT_TRUE(dst.GuardsIntact()) << taps << " taps, count " << count;
                }
            }
        }
    }
}

// One tap of 0 + 1i turns each sample (re, im) into (-im, re).
TEST_P(FirComplexLevelsTest, DirectFormWithTapIRotatesEverySample)
{
    alignas(16) const float table[8] = {0, 0, 0, 0, -1, 1, -1, 1};
    const std::vector<float> x = Random(22, 5);
    std::vector<float> y(22);
    K().direct(table, x.data(), y.data(), 11, 1);
    for (int n = 0; n < 11; ++n)
    {
        EXPECT_EQ(y[size_t(2 * n)], -x[size_t(2 * n + 1)]);
        EXPECT_EQ(y[size_t(2 * n + 1)], x[size_t(2 * n)]);
    }
}

// u = 1 with windows one sample apart is a single-rate complex FIR two outputs at a time; u > 1
// walks its 4u rows and advances, wrapping once a period. Window lengths 1, 3, 8 and 9 (odd
// windows put their last products in their own lanes).
TEST_P(FirComplexLevelsTest, MultiRateDotsItsWindowsAndReturnsThePosition)
{
    const std::vector<float> x = Random(2 * 400, 77);
    GuardedBuffer<float> window(x.size(), 8);
    memcpy(window.data(), x.data(), 4 * x.size());
    for (int32_t up : {1, 3})
    {
        for (int32_t w : {1, 3, 8, 9})
        {
            const int32_t r = (w + 1) & ~1, rows = 4 * up;
            std::vector<Cd> taps(size_t(rows * w));
            TestRng rng(uint32_t(w * 10 + up));
            for (Cd& c : taps)
                c = Cd(rng.Uniform(-1, 1), rng.Uniform(-1, 1));
            const std::vector<float> t = MultiRateTable(taps, rows, w, r);
            GuardedBuffer<float> table(t.size(), 0);
            memcpy(table.data(), t.data(), 4 * t.size());
            // u = 1: entry 0 the first window (16 bytes on), entry 1 one sample; u > 1: advances
            // of 1, 2 or 3 samples and a closing advance of 5.
            std::vector<int32_t> index = {16, 8};
            if (up > 1)
            {
                index.clear();
                for (int32_t e = 0; e < rows; ++e)
                    index.push_back(8 * (1 + e % 3));
                index.push_back(40);
            }
            const int32_t start = 3;
            EXPECT_EQ(K().multi(table.data(), window.data(), nullptr, 0, index.data(), up, start, w, r),
                      start);
            const int64_t count = 2 * rows + 6; // more than a period, ending inside the next one
            GuardedBuffer<float> dst(2 * size_t(count), 4);
            const int64_t end =
                K().multi(table.data(), window.data(), dst.data(), count, index.data(), up, start, w, r);
            int64_t pos = up == 1 ? start + 2 : start; // complex samples
            int32_t e = 0;
            for (int64_t o = 0; o < count; ++o)
            {
                const int32_t row = up == 1 ? 0 : e;
                if (up == 1)
                    pos = start + 2 + o;
                else
                    pos += index[size_t(e)] / 8;
                Cd want = 0;
                for (int32_t k = 0; k < w; ++k)
                    want += taps[size_t(row * w + k)] *
                            Cd(x[size_t(2 * (pos + k))], x[size_t(2 * (pos + k) + 1)]);
                float model[2];
                LaneModel(t.data() + 2 * row * r, t.data() + 2 * (rows + row) * r, x.data() + 2 * pos, w,
                          up > 1, model);
                EXPECT_EQ(dst[size_t(2 * o)], model[0]) << "u " << up << " w " << w << " output " << o;
                EXPECT_EQ(dst[size_t(2 * o + 1)], model[1]) << "u " << up << " w " << w << " output " << o;
                EXPECT_NEAR(dst[size_t(2 * o)], want.real(), 1e-5 * w);
                EXPECT_NEAR(dst[size_t(2 * o + 1)], want.imag(), 1e-5 * w);
                if (up > 1 && ++e == rows)
                {
                    e = 0;
                    pos += index[size_t(rows)] / 8;
                }
            }
            EXPECT_EQ(end, up == 1 ? start + count : pos) << "u " << up << " w " << w;
            EXPECT_TRUE(dst.GuardsIntact());
        }
    }
}
