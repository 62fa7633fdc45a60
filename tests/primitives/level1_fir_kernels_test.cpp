// The level-1 multi-rate FIR block kernels against double-precision sums written from their
// contracts, with the positions they return, and the multi-rate run sums of every level bit for
// bit against scalar models that add in the kernels' fixed order.
#include <gtest/gtest.h>

#include <stdint.h>

#include <complex>
#include <vector>

#include "driver/primitives/filters/sp_fir_internal.h"
#include "tests/primitives/sp_level_fixture.h"

namespace
{

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
