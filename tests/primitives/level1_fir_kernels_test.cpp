// The level-1 multi-rate and complex FIR block kernels against double-precision sums written
// from their contracts, with the positions the multi-rate kernels return, and the multi-rate run
// sums of every level bit for bit against scalar models that add in the kernels' fixed order.
#include <gtest/gtest.h>

#include <stdint.h>

#include <complex>
#include <vector>

#include "driver/primitives/filters/sp_fir_internal.h"
#include "driver/primitives/level1/sp_fir_level1.h"
#include "tests/primitives/sp_level_fixture.h"

namespace
{

typedef std::complex<double> Cx;

std::vector<float> Ramp(size_t n, float scale)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = scale * float(int(i * 37 % 23) - 11) / 11.0f;
    return v;
}

// 16-byte aligned floats.
struct Aligned
{
    std::vector<float> raw;
    float* p;
    explicit Aligned(const std::vector<float>& v) : raw(v.size() + 4)
    {
        p = reinterpret_cast<float*>((uintptr_t(raw.data()) + 15) & ~uintptr_t(15));
        std::copy(v.begin(), v.end(), p);
    }
};

void ExpectNear(double want, float got, const char* what, int k)
{
    EXPECT_NEAR(want, got, 1e-5 * (1.0 + std::fabs(want))) << what << " output " << k;
}

TEST(SpFirLevel1KernelTest, Layout1GroupsFollowTheIncrementsAndWrap)
{
    const int32_t t = 11; // blocks of 8, then the last 3
    const std::vector<float> x = Ramp(200, 1.0f);
    Aligned taps(Ramp(2 * 4 * t, 0.5f));
    const int32_t index[3] = {5, 7, 9}; // a, b, then the wrap w
    std::vector<float> y(16);
    const int32_t end = SpFirMultiRateKernel1_L1(taps.p, x.data(), y.data(), 16, index, index + 2, 3, t);
    // Groups at start + a, + b, + w + a, + b: the tap pointer restarts with the third group.
    const int32_t starts[4] = {8, 15, 29, 36};
    for (int g = 0; g < 4; ++g)
        for (int l = 0; l < 4; ++l)
        {
            double want = 0;
            for (int u = 0; u < t; ++u)
                want += double(x[starts[g] + u]) * taps.p[4 * t * (g % 2) + 4 * u + l];
            ExpectNear(want, y[4 * g + l], "layout 1", 4 * g + l);
        }
    EXPECT_EQ(36 + 9, end);
    EXPECT_EQ(3, SpFirMultiRateKernel1_L1(taps.p, x.data(), y.data(), 0, index, index + 2, 3, t));
}

TEST(SpFirLevel1KernelTest, Layout2StridesEachOutputAndSharesOneRunFromFourTaps)
{
    const std::vector<float> x = Ramp(300, 1.0f);
    for (int32_t t : {2, 3, 4, 7, 14})
    {
        Aligned taps(Ramp(4 * size_t(t), 0.25f));
        std::vector<float> y(8);
        EXPECT_EQ(1 + 2 * 12, SpFirMultiRateKernel2_L1(taps.p, x.data(), y.data(), 8, 1, t, 3)) << t;
        for (int o = 0; o < 8; ++o)
        {
            const int j = o % 4, pos = 1 + 12 * (o / 4) + 3 * j;
            double want = 0;
            for (int u = 0; u < t; ++u)
                want += double(x[pos + u]) * taps.p[(t < 4 ? j * t : 0) + u];
            ExpectNear(want, y[o], "layout 2", o);
        }
    }
}

TEST(SpFirLevel1KernelTest, Layout3WrapsAfterItsLastIndex)
{
    const std::vector<float> x = Ramp(300, 1.0f);
    // From four taps one output at a time, so three indices wrap after every third output; below
    // four, groups of four.
    for (int32_t t : {2, 9})
    {
        const int32_t n = t < 4 ? 4 : 3;
        const int32_t idx[5] = {0, 4, 1, t < 4 ? 6 : 20, 20}; // n entries, then the wrap
        Aligned taps(Ramp(size_t(n) * t, 0.5f));
        std::vector<float> y(12);
        const int32_t end = SpFirMultiRateKernel3_L1(taps.p, x.data(), y.data(), 12, idx, idx + n, 2, t);
        for (int o = 0; o < 12; ++o)
        {
            const int k = o % n, base = 2 + 20 * (o / n);
            double want = 0;
            for (int u = 0; u < t; ++u)
                want += double(x[base + idx[k] + u]) * taps.p[k * t + u];
            ExpectNear(want, y[o], "layout 3", o);
        }
        EXPECT_EQ(2 + 20 * (12 / n), end) << t;
    }
}

// Split complex tap records of h.
Aligned SplitTaps(const std::vector<Cx>& h)
{
    std::vector<float> r;
    for (const Cx& c : h)
        for (float v : {c.real(), c.real(), c.real(), c.real(), -c.imag(), c.imag(), -c.imag(), c.imag()})
            r.push_back(v);
    return Aligned(r);
}

// Every tap-count kernel (1 to 4, and the grouped one above) at every destination alignment
// (16-byte, 8 past, 4 past) and window alignment, over counts that leave single outputs behind;
// the window ends where its allocation does, so a read past it is a fault under the sanitizers.
TEST(SpFirLevel1KernelTest, ComplexDirectFormAtEveryTapCountAndAlignment)
{
    {
        const std::vector<float> x = Ramp(80, 1.0f);
        Aligned i = SplitTaps({Cx(0, 1)});
        std::vector<float> y(10);
        SpFirDirectBlockKernelComplex_L1(i.p, x.data(), y.data(), 5, 1);
        for (int k = 0; k < 5; ++k)
        {
            EXPECT_EQ(-x[2 * k + 1], y[2 * k]);
            EXPECT_EQ(x[2 * k], y[2 * k + 1]);
        }
    }
    for (int32_t n : {1, 2, 3, 4, 5, 8, 11})
    {
        std::vector<Cx> h;
        for (int j = 0; j < n; ++j)
            h.emplace_back(0.1 * j - 0.3, 0.05 * j * j - 0.2);
        Aligned taps = SplitTaps(h);
        for (int32_t count : {1, 2, 3, 9, 10, 17})
            for (int windowShift : {0, 2, 1})
                for (int shift : {0, 2, 1})
                {
                    const std::vector<float> samples = Ramp(2 * size_t(count + n - 1), 1.0f);
                    std::vector<float> window(windowShift + samples.size());
                    std::copy(samples.begin(), samples.end(), window.begin() + windowShift);
                    ASSERT_EQ(0u, uintptr_t(window.data()) % 16); // heap blocks are 16-byte aligned
                    const float* x = window.data() + windowShift;
                    std::vector<float> raw(2 * count + 8, 99.0f);
                    float* y =
                        reinterpret_cast<float*>((uintptr_t(raw.data()) + 15) & ~uintptr_t(15)) + shift;
                    SpFirDirectBlockKernelComplex_L1(taps.p, x, y, count, n);
                    for (int k = 0; k < count; ++k)
                    {
                        Cx want = 0;
                        for (int j = 0; j < n; ++j)
                            want += Cx(float(h[n - 1 - j].real()), float(h[n - 1 - j].imag())) *
                                    Cx(x[2 * (k + j)], x[2 * (k + j) + 1]);
                        ExpectNear(want.real(), y[2 * k], "complex direct re", k);
                        ExpectNear(want.imag(), y[2 * k + 1], "complex direct im", k);
                    }
                    EXPECT_EQ(99.0f, y[2 * count]) << n << " taps, " << count << " outputs";
                }
    }
}

TEST(SpFirLevel1KernelTest, ComplexMultiRatePairsAndPositions)
{
    const std::vector<float> x = Ramp(200, 1.0f);
    auto table = [](int32_t t, int32_t stride, int32_t runs, int32_t pairs)
    {
        std::vector<Cx> h(size_t(runs) * stride);
        for (size_t k = 0; k < h.size(); ++k)
            h[k] = (k % stride) < size_t(t) ? Cx(0.1 * (k % 7) - 0.2, 0.03 * k) : Cx(0, 0);
        std::vector<float> r;
        for (const Cx& c : h)
            r.insert(r.end(), {float(c.real()), float(-c.imag())});
        r.resize(size_t(8) * stride * pairs);
        for (const Cx& c : h)
            r.insert(r.end(), {float(c.imag()), float(c.real())});
        return std::make_pair(h, Aligned(r));
    };
    auto product = [&](const std::vector<Cx>& h, size_t run, int64_t at, int32_t t)
    {
        Cx s = 0;
        for (int32_t u = 0; u < t; ++u)
            s += Cx(float(h[run + u].real()), float(h[run + u].imag())) *
                 Cx(x[2 * (at + u)], x[2 * (at + u) + 1]);
        return s;
    };
    {
        // One pair: offsets 0 and 8 bytes, the filtered value at the base and the next sample.
        auto [h, taps] = table(3, 4, 1, 1);
        const int32_t index[3] = {0, 8, 0};
        std::vector<float> y(8);
        EXPECT_EQ(5 + 4, SpFirMultiRateKernelComplex_L1(taps.p, x.data(), y.data(), 4, index, 1, 5, 3, 4));
        for (int f = 0; f < 8; ++f)
        {
            const Cx want = product(h, 0, 5 + f / 2, 3);
            ExpectNear(f % 2 ? want.imag() : want.real(), y[f], "one pair", f / 2);
        }
    }
    // Two pairs: runs of 3 taps in slots of stride 4, byte offsets, a wrap of 40 bytes.
    auto [h, taps] = table(3, 4, 8, 2);
    const int32_t index[9] = {8, 16, 8, 24, 0, 8, 16, 16, 40};
    std::vector<float> y(20);
    const int32_t end = SpFirMultiRateKernelComplex_L1(taps.p, x.data(), y.data(), 10, index, 2, 1, 3, 4);
    int64_t base = 1;
    size_t run = 0;
    for (int step = 0; step < 5; ++step)
    {
        const int pair = step % 4;
        const int64_t p1 = base + index[2 * pair] / 8, p2 = p1 + index[2 * pair + 1] / 8;
        const Cx w1 = product(h, run, p1, 3), w2 = product(h, run + 4, p2, 3);
        const double want[4] = {w1.real(), w1.imag(), w2.real(), w2.imag()};
        for (int f = 0; f < 4; ++f)
            ExpectNear(want[f], y[4 * step + f], "pairs", 2 * step + f / 2);
        base = p2;
        run += 8;
        if (pair == 3)
        {
            base += 40 / 8;
            run = 0;
        }
    }
    EXPECT_EQ(base, end);
}

} // namespace

namespace
{

// The run sums of the multi-rate kernels as scalar code in the order they are fixed to.
float ModelLayout1Lane(const float* taps, const float* x, int32_t t, int lane)
{
    auto p = [&](int32_t u) { return x[u] * taps[4 * u + lane]; };
    auto four = [&](int32_t u) { return (p(u) + p(u + 1)) + (p(u + 2) + p(u + 3)); };
    float acc = 0.0f;
    int32_t u = 0;
    for (; u + 8 <= t; u += 8)
        acc = (acc + four(u)) + four(u + 4);
    if (u + 4 <= t)
        acc = acc + four(u), u += 4;
    if (t - u == 1)
        return acc + p(u);
    if (t - u == 2)
        return acc + (p(u) + p(u + 1));
    if (t - u == 3)
        return (acc + p(u)) + (p(u + 1) + p(u + 2));
    return acc;
}

float ModelShort(const float* taps, const float* x, int32_t t)
{
    float sum = x[0] * taps[0];
    for (int32_t u = 1; u < t; ++u)
        sum += x[u] * taps[u];
    return sum;
}

// Layout 2 from four taps: four lanes, the remainder in lanes 0-1 and 0 (the others take +0).
float ModelLanes(const float* taps, const float* x, int32_t t)
{
    float l[4];
    for (int k = 0; k < 4; ++k)
        l[k] = x[k] * taps[k];
    int32_t u = 4;
    for (; u + 4 <= t; u += 4)
        for (int k = 0; k < 4; ++k)
            l[k] = l[k] + x[u + k] * taps[u + k];
    const int rest = t - u;
    if (rest >= 2)
        l[0] = l[0] + x[u] * taps[u], l[1] = l[1] + x[u + 1] * taps[u + 1], l[2] += 0.0f, l[3] += 0.0f,
        u += 2;
    if (rest % 2 == 1)
        l[0] = l[0] + x[u] * taps[u], l[1] += 0.0f, l[2] += 0.0f, l[3] += 0.0f;
    return (l[0] + l[2]) + (l[1] + l[3]);
}

// Layout 3 from four taps: two pairs A and B, a left-over pair into A, a single into A's lane 0.
float ModelPairs(const float* taps, const float* x, int32_t t)
{
    float a0 = x[0] * taps[0], a1 = x[1] * taps[1], b0 = x[2] * taps[2], b1 = x[3] * taps[3];
    int32_t u = 4;
    for (; u + 4 <= t; u += 4)
    {
        a0 = a0 + x[u] * taps[u], a1 = a1 + x[u + 1] * taps[u + 1];
        b0 = b0 + x[u + 2] * taps[u + 2], b1 = b1 + x[u + 3] * taps[u + 3];
    }
    if (u + 2 <= t)
        a0 = a0 + x[u] * taps[u], a1 = a1 + x[u + 1] * taps[u + 1], u += 2;
    if (u < t)
        a0 = a0 + x[u] * taps[u], a1 += 0.0f;
    return (a0 + b0) + (a1 + b1);
}

std::vector<float> Noise(size_t n, uint32_t seed)
{
    std::vector<float> v(n);
    for (float& f : v)
    {
        seed = seed * 1664525u + 1013904223u;
        f = float(int32_t(seed >> 8) % 20001 - 10000) / 7919.0f;
    }
    return v;
}

} // namespace

// Every level carries the same three kernels.
TEST(SpFirLevel1KernelTest, MultiRateRunSumsAddInTheirFixedOrder)
{
    const std::vector<float> x = Noise(400, 11);
    struct Kernels
    {
        int32_t level;
        decltype(&SpFirMultiRateKernel1_L1) k1;
        decltype(&SpFirMultiRateKernel2_L1) k2;
        decltype(&SpFirMultiRateKernel3_L1) k3;
    } const levels[] = {
        {1, SpFirMultiRateKernel1_L1, SpFirMultiRateKernel2_L1, SpFirMultiRateKernel3_L1},
        {2, SpFirMultiRateKernel1_L2, SpFirMultiRateKernel2_L2, SpFirMultiRateKernel3_L2},
        {3, SpFirMultiRateKernel1_L3, SpFirMultiRateKernel2_L3, SpFirMultiRateKernel3_L3},
    };
    for (const Kernels& level : levels)
        for (int32_t t = 1; t <= 19; ++t)
        {
            if (!SpLevelRunsHere(level.level))
                continue;
            // Layout 1: two groups a period, increments 3 and 5, wrap 2.
            const Aligned taps1(Noise(size_t(8 * t), uint32_t(t)));
            const int32_t index1[3] = {3, 5, 2};
            float got[24];
            level.k1(taps1.p, x.data(), got, 24, index1, index1 + 2, 1, t);
            int64_t pos = 1;
            for (int g = 0; g < 6; ++g)
            {
                pos += index1[g % 2];
                const float* row = taps1.p + 4 * t * (g % 2);
                for (int lane = 0; lane < 4; ++lane)
                    ASSERT_EQ(got[4 * g + lane], ModelLayout1Lane(row, x.data() + pos, t, lane))
                        << t << " " << g;
                if (g % 2 == 1)
                    pos += index1[2];
            }
            // Layout 2: stride 3.
            const Aligned taps2(Noise(size_t(4 * t), uint32_t(100 + t)));
            level.k2(taps2.p, x.data(), got, 16, 2, t, 3);
            for (int o = 0; o < 16; ++o)
            {
                const float* in = x.data() + 2 + 3 * o;
                const float want =
                    t >= 4 ? ModelLanes(taps2.p, in, t) : ModelShort(taps2.p + (o % 4) * t, in, t);
                ASSERT_EQ(got[o], want) << "layout 2, " << t << " taps, output " << o;
            }
            // Layout 3: four outputs a period with their own runs, period advance 9.
            const Aligned taps3(Noise(size_t(4 * t), uint32_t(200 + t)));
            const int32_t index3[5] = {0, 4, 1, 6, 9};
            level.k3(taps3.p, x.data(), got, 12, index3, index3 + 4, 3, t);
            for (int o = 0; o < 12; ++o)
            {
                const float* in = x.data() + 3 + 9 * (o / 4) + index3[o % 4];
                const float* run = taps3.p + (o % 4) * t;
                const float want = t >= 4 ? ModelPairs(run, in, t) : ModelShort(run, in, t);
                ASSERT_EQ(got[o], want) << "layout 3, " << t << " taps, output " << o;
            }
        }
}
