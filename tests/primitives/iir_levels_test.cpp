// The IIR filters of every level against a double-precision direct-form recursion: block splits
// on both sides of the block-pass threshold and of the 1,024-sample chunk, sources and
// destinations at every float offset in a 16-byte block, in place, and the delay line after each
// block against the transposed-form state that the recursion implies. States stay with the level
// that built them; a cascade without sections passes its input through.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <vector>

#include "driver/primitives/filters/sp_iir.h"
#include "driver/primitives/filters/sp_iir_internal.h"
#include "tests/primitives/sp_alloc_probe.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

// b0..bn, a0..an of a filter with real poles inside radius 0.8 and a0 not 1.
std::vector<double> RealPoleTaps(int n, TestRng& rng)
{
    std::vector<double> a = {1.0};
    for (int k = 0; k < n; ++k)
    {
        const double p = rng.Uniform(-0.8, 0.8);
        a.push_back(0.0);
        for (int i = int(a.size()) - 1; i > 0; --i)
            a[i] -= p * a[i - 1];
    }
    std::vector<double> taps(2 * n + 2);
    for (int k = 0; k <= n; ++k)
    {
        taps[k] = rng.Uniform(-1, 1);
        taps[n + 1 + k] = 1.5 * a[k];
    }
    return taps;
}

class IirLevelsTest : public SpLevelTest
{
};
SP_INSTANTIATE_LEVELS(IirLevelsTest);

} // namespace

TEST_P(IirLevelsTest, DirectFormFollowsTheRecursionAcrossSplitsOffsetsAndInPlace)
{
    TestRng rng(2101);
    const int32_t total = 2600;
    for (int n : {1, 2, 3, 4, 5, 8})
    {
        const std::vector<double> t = RealPoleTaps(n, rng);
        std::vector<float> taps(t.begin(), t.end());
        std::vector<float> x(total);
        for (float& v : x)
            v = float(rng.Uniform(-1, 1));
        // Direct form I in double, on the float taps.
        std::vector<double> y(total);
        for (int32_t i = 0; i < total; ++i)
        {
            double acc = 0;
            for (int k = 0; k <= n && k <= i; ++k)
                acc += double(taps[k]) * x[i - k] - (k ? double(taps[n + 1 + k]) * y[i - k] : 0.0);
            y[i] = acc / taps[n + 1];
        }
        // 4n samples one at a time, 4n + 1 through the passes, then odd blocks and two chunks.
        const int32_t splits[] = {4 * n, 4 * n + 1, 3, 1031, 5, total - 8 * n - 1040};
        for (int32_t offset = 0; offset < 4; ++offset)
        {
            std::vector<float> src(total + 8), out(total + 8, -7.0f), inPlace(total + 8);
            memcpy(&src[offset], x.data(), 4 * size_t(total));
            memcpy(&inPlace[3 - offset], x.data(), 4 * size_t(total));
            SpIirState *state = nullptr, *other = nullptr;
            ASSERT_EQ(SpIirCreate(&state, taps.data(), n, nullptr), SpOk);
            ASSERT_EQ(SpIirCreate(&other, taps.data(), n, nullptr), SpOk);
            float* dst = &out[3 - offset];
            int32_t at = 0;
            for (int32_t len : splits)
            {
                ASSERT_EQ(SpIirFilter(&src[offset] + at, dst + at, len, state), SpOk);
                ASSERT_EQ(SpIirFilterInPlace(&inPlace[3 - offset] + at, len, other), SpOk);
                at += len;
                // z_j = sum over i > j of (b_i x[t + j + 1 - i] - a_i y[t + j + 1 - i]) / a0.
                for (int j = 0; j < n; ++j)
                {
                    double z = 0;
                    for (int i = j + 1; i <= n && at + j - i >= 0; ++i)
                        z += double(taps[i]) * x[at + j - i] - double(taps[n + 1 + i]) * y[at + j - i];
                    ASSERT_NEAR(state->Delay[j], z / taps[n + 1], 2e-5) << "order " << n << " after " << at;
                }
            }
            for (int32_t i = 0; i < total; ++i)
                ASSERT_NEAR(dst[i], y[i], 2e-5 * (1 + fabs(y[i]))) << "order " << n << " sample " << i;
            EXPECT_EQ(0, memcmp(dst, &inPlace[3 - offset], 4 * size_t(total))) << "in place, order " << n;
            EXPECT_EQ(-7.0f, dst[total]);
            if (offset < 3)
            {
                EXPECT_EQ(-7.0f, dst[-1]);
            }
            SpIirFree(state);
            SpIirFree(other);
        }
    }
}

TEST_P(IirLevelsTest, StatesBelongToTheirLevelAndOneFreeReleasesThemAll)
{
    const float taps[6] = {0.5f, 0.25f, 0.125f, 2.0f, -0.5f, 0.25f};
    SpAllocProbe probe;
    SpIirState* state = nullptr;
    ASSERT_EQ(SpIirCreate(&state, taps, 2, nullptr), SpOk);
    EXPECT_EQ(state->Level, Level());
    EXPECT_EQ(state->Taps[0], 0.25f);
    for (int32_t other = 0; other < 4; ++other)
    {
        if (other == Level() || !SpLevelRunsHere(other))
            continue;
        SpScopedCpuLevel forced(other);
        float y[8] = {};
        const float x[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_EQ(SpIirFilter(x, y, 8, state), SpErrStateMismatch) << "level " << other;
        EXPECT_EQ(SpIirFilterInPlace(y, 8, state), SpErrStateMismatch) << "level " << other;
        EXPECT_EQ(y[0], 0.0f);
    }
    SpScopedCpuLevel freeing((Level() + 1) % 4);
    EXPECT_EQ(SpIirFree(state), SpOk);
    EXPECT_EQ(probe.Live(), 0);
    // A biquad cascade's record holds a second work area of 1,024 floats.
    EXPECT_EQ(SpIirLevelStateBytes(3, SpIirTagBiquad), 8552);
}

TEST_P(IirLevelsTest, CascadeWithoutSectionsPassesItsInputThrough)
{
    float taps[5] = {}, delay[2] = {};
    SpIirState cascade = {};
    cascade.Tag = SpIirTagBiquad;
    cascade.Level = Level();
    cascade.Taps = taps;
    cascade.Delay = delay;
    std::vector<float> x(1500), y(1500, 0.0f);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = float(i) - 700.5f;
    ASSERT_EQ(SpIirFilter(x.data(), y.data(), 1500, &cascade), SpOk);
    EXPECT_EQ(x, y);
    ASSERT_EQ(SpIirFilterInPlace(y.data(), 1500, &cascade), SpOk);
    EXPECT_EQ(x, y);
}
