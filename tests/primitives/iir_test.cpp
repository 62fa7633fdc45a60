// IIR filters: direct form and biquad cascades against a double-precision recursion, state
// carried across blocks, sizes, memory rules and argument checks.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <complex>
#include <vector>

#include "driver/primitives/filters/sp_iir.h"
#include "tests/primitives/sp_alloc_probe.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

// Coefficients b0..bn, a0..an of a random stable filter: poles within radius 0.85, a0 not 1 so
// that the normalisation is exercised.
std::vector<float> StableTaps(int order, TestRng& rng)
{
    std::vector<std::complex<double>> poly = {1.0};
    auto multiply = [&](std::complex<double> root)
    {
        std::vector<std::complex<double>> next(poly.size() + 1, 0.0);
        for (size_t i = 0; i < poly.size(); ++i)
        {
            next[i] += poly[i];
            next[i + 1] -= poly[i] * root;
        }
        poly = next;
    };
    for (int k = 0; k + 1 < order; k += 2)
    {
        const std::complex<double> p = std::polar(rng.Uniform(0.2, 0.85), rng.Uniform(0.1, 3.0));
        multiply(p);
        multiply(std::conj(p));
    }
    if (order % 2 == 1)
    {
        multiply(rng.Uniform(-0.85, 0.85));
    }
    const double a0 = rng.Uniform(0.5, 2.0);
    std::vector<float> taps(2 * order + 2);
    for (int k = 0; k <= order; ++k)
    {
        taps[k] = float(rng.Uniform(-1, 1));
        taps[order + 1 + k] = float(poly[k].real() * a0);
    }
    return taps;
}

// Direct form I in double.
std::vector<double> ReferenceIir(const std::vector<float>& taps, int order, const std::vector<float>& x)
{
    std::vector<double> y(x.size());
    const double a0 = taps[order + 1];
    for (size_t n = 0; n < x.size(); ++n)
    {
        double acc = 0;
        for (int k = 0; k <= order && k <= int(n); ++k)
        {
            acc += double(taps[k]) * x[n - k];
        }
        for (int k = 1; k <= order && k <= int(n); ++k)
        {
            acc -= double(taps[order + 1 + k]) * y[n - k];
        }
        y[n] = acc / a0;
    }
    return y;
}

std::vector<float> RandomSignal(size_t n, TestRng& rng)
{
    std::vector<float> x(n);
    for (auto& v : x)
    {
        v = float(rng.Uniform(-1, 1));
    }
    return x;
}

void ExpectClose(const std::vector<float>& got, const std::vector<double>& want, double tolerance)
{
    double peak = 1.0;
    for (double v : want)
    {
        peak = std::max(peak, fabs(v));
    }
    for (size_t i = 0; i < want.size(); ++i)
    {
        ASSERT_NEAR(got[i], want[i], tolerance * peak) << "sample " << i;
    }
}

struct CreatedIir
{
    SpIirState* State = nullptr;
    ~CreatedIir()
    {
        if (State)
        {
            SpIirFree(State);
        }
    }
};

// A biquad cascade in caller memory: no operation builds one, so the test lays it out, with the
// four-lane tables and work area that the level 1-3 filters read. A section's feedback rows are
// those of an order-2 direct-form state built by the level under test.
struct BiquadCascade
{
    std::vector<float> Coeffs;
    std::vector<float> Delay;
    std::vector<float> Lanes; // FF 12, FB 20, one-sample 8 floats a section, then 2 x 1,024 of work
    SpIirState State = {};
    BiquadCascade(const std::vector<float>& coeffs, int32_t level)
        : Coeffs(coeffs), Delay(coeffs.size() / 5 * 2, 0.0f)
    {
        const int32_t sections = int32_t(coeffs.size() / 5);
        State.Tag = SpIirTagBiquad;
        State.Level = level;
        State.Taps = Coeffs.data();
        State.Delay = Delay.data();
        State.Count = 2 * sections;
        if (level == 0)
        {
            return;
        }
        Lanes.assign(40 * size_t(sections) + 2048, 0.0f);
        State.Sections = sections;
        State.FfLanes = Lanes.data();
        State.FbLanes = State.FfLanes + 12 * sections;
        State.OneSample = State.FbLanes + 20 * sections;
        State.Work = State.OneSample + 8 * sections;
        State.SecondWork = State.Work + 1024;
        std::vector<uint8_t> memory(8192);
        for (int32_t k = 0; k < sections; ++k)
        {
            const float* c = &Coeffs[5 * k];
            const float direct[6] = {c[0], c[1], c[2], 1.0f, c[3], c[4]};
            SpIirState* section = nullptr;
            EXPECT_EQ(SpIirInit(&section, direct, 2, nullptr, memory.data()), SpOk);
            for (int i = 0; i < 12; ++i)
            {
                State.FfLanes[12 * k + i] = c[i / 4];
            }
            memcpy(State.FbLanes + 20 * k, section->FbLanes, 20 * sizeof(float));
            const float row[8] = {c[0], c[1], c[2], 0.0f, -c[3], -c[4], 0.0f, 0.0f};
            memcpy(State.OneSample + 8 * k, row, sizeof(row));
        }
    }
};

} // namespace

class IirTest : public SpLevelTest
{
};
SP_INSTANTIATE_LEVELS(IirTest);

TEST_P(IirTest, DirectFormMatchesReferenceAcrossRandomBlocks)
{
    for (int order = 1; order <= 8; ++order)
    {
        for (uint64_t seed = 1; seed <= 3; ++seed)
        {
            SCOPED_TRACE(testing::Message() << "order " << order << " seed " << seed);
            TestRng rng(order * 100 + seed);
            const std::vector<float> taps = StableTaps(order, rng);
            const std::vector<float> x = RandomSignal(400, rng);
            // Seed 2 builds in caller memory off its alignment and filters in place.
            CreatedIir iir;
            SpIirState* state = nullptr;
            std::vector<uint8_t> buffer;
            if (seed == 2)
            {
                int32_t size = 0;
                ASSERT_EQ(SpIirStateSize(order, &size), SpOk);
                buffer.resize(size_t(size));
                ASSERT_EQ(SpIirInit(&state, taps.data(), order, nullptr, buffer.data() + 3), SpOk);
                EXPECT_EQ(reinterpret_cast<uintptr_t>(state) % 16, 0u);
            }
            else
            {
                ASSERT_EQ(SpIirCreate(&iir.State, taps.data(), order, nullptr), SpOk);
                state = iir.State;
            }
            std::vector<float> y = x;
            for (size_t done = 0; done < x.size();)
            {
                const int32_t block = int32_t(std::min<size_t>(x.size() - done, 1 + rng.Next32() % 37));
                ASSERT_EQ(seed == 2 ? SpIirFilterInPlace(y.data() + done, block, state)
                                    : SpIirFilter(x.data() + done, y.data() + done, block, state),
                          SpOk);
                done += size_t(block);
            }
            ExpectClose(y, ReferenceIir(taps, order, x), 2e-5);
        }
    }
}

// The generic build runs orders 2 to 4 through code of their own. Padding a filter with zero
// coefficients up to order 6 sends it through the any-order loop, whose extra terms are exact
// zeros: the two runs must agree to the bit, odd block lengths and the delay line included.
TEST_P(IirTest, FixedOrdersGiveTheAnyOrderLoopsBits)
{
    if (Level() != 0)
    {
        GTEST_SKIP() << "the other levels round in their own order";
    }
    constexpr int kPadded = 6;
    for (int order = 2; order <= 4; ++order)
    {
        SCOPED_TRACE(testing::Message() << "order " << order);
        TestRng rng(700 + order);
        const std::vector<float> taps = StableTaps(order, rng);
        std::vector<float> padded(2 * (kPadded + 1), 0.0f);
        std::copy(taps.begin(), taps.begin() + order + 1, padded.begin());
        std::copy(taps.begin() + order + 1, taps.end(), padded.begin() + kPadded + 1);
        const std::vector<float> x = RandomSignal(301, rng);
        CreatedIir fixed, any;
        ASSERT_EQ(SpIirCreate(&fixed.State, taps.data(), order, nullptr), SpOk);
        ASSERT_EQ(SpIirCreate(&any.State, padded.data(), kPadded, nullptr), SpOk);
        std::vector<float> a(x.size()), b(x.size());
        for (size_t done = 0; done < x.size();)
        {
            const int32_t block = int32_t(std::min<size_t>(x.size() - done, 1 + rng.Next32() % 64));
            ASSERT_EQ(SpIirFilter(x.data() + done, a.data() + done, block, fixed.State), SpOk);
            ASSERT_EQ(SpIirFilter(x.data() + done, b.data() + done, block, any.State), SpOk);
            done += size_t(block);
        }
        ASSERT_EQ(0, memcmp(a.data(), b.data(), a.size() * sizeof(float)));
        ASSERT_EQ(0, memcmp(fixed.State->Delay, any.State->Delay, size_t(order) * sizeof(float)));
    }
}

TEST_P(IirTest, GivenDelayLineContinuesAnEarlierRun)
{
    TestRng rng(9);
    const int order = 4;
    const std::vector<float> taps = StableTaps(order, rng);
    const std::vector<float> x = RandomSignal(20, rng);
    CreatedIir first;
    ASSERT_EQ(SpIirCreate(&first.State, taps.data(), order, nullptr), SpOk);
    std::vector<float> y(20), tail(10);
    ASSERT_EQ(SpIirFilter(x.data(), y.data(), 10, first.State), SpOk);
    const std::vector<float> memory(first.State->Delay, first.State->Delay + order);
    ASSERT_EQ(SpIirFilter(x.data() + 10, y.data() + 10, 10, first.State), SpOk);
    CreatedIir second;
    ASSERT_EQ(SpIirCreate(&second.State, taps.data(), order, memory.data()), SpOk);
    ASSERT_EQ(SpIirFilter(x.data() + 10, tail.data(), 10, second.State), SpOk);
    for (int i = 0; i < 10; ++i)
    {
        EXPECT_EQ(tail[i], y[10 + i]) << "sample " << i;
    }
}

TEST_P(IirTest, BiquadCascadeMatchesReference)
{
    TestRng rng(31);
    for (int sections : {1, 2, 4})
    {
        std::vector<float> coeffs;
        std::vector<std::vector<float>> sectionTaps;
        for (int s = 0; s < sections; ++s)
        {
            const std::vector<float> t = StableTaps(2, rng);
            const float a0 = t[3];
            sectionTaps.push_back({t[0] / a0, t[1] / a0, t[2] / a0, 1.0f, t[4] / a0, t[5] / a0});
            coeffs.insert(coeffs.end(), {t[0] / a0, t[1] / a0, t[2] / a0, t[4] / a0, t[5] / a0});
        }
        BiquadCascade cascade(coeffs, Level());
        std::vector<float> x = RandomSignal(300, rng);
        std::vector<float> y(x.size());
        // A block of 5 is at most four per section for 2 and 4 sections: one sample at a time.
        ASSERT_EQ(SpIirFilter(x.data(), y.data(), 5, &cascade.State), SpOk);
        ASSERT_EQ(SpIirFilter(x.data() + 5, y.data() + 5, 132, &cascade.State), SpOk);
        ASSERT_EQ(SpIirFilter(x.data() + 137, y.data() + 137, 163, &cascade.State), SpOk);
        std::vector<float> stage = x;
        std::vector<double> want;
        for (int s = 0; s < sections; ++s)
        {
            want = ReferenceIir(sectionTaps[s], 2, stage);
            for (size_t i = 0; i < stage.size(); ++i)
            {
                stage[i] = float(want[i]);
            }
        }
        ExpectClose(y, want, 5e-5);
        EXPECT_EQ(SpIirFree(&cascade.State), SpOk); // caller memory: nothing to release
    }
}

TEST_P(IirTest, StateSizeCoversRecordCoefficientsAndDelay)
{
    int32_t size = 0;
    for (int order : {1, 2, 4, 7, 100})
    {
        ASSERT_EQ(SpIirStateSize(order, &size), SpOk);
        const int coeffs = (4 * (2 * order + 1) + 15) / 16 * 16;
        const int delay = (4 * (order + 1) + 15) / 16 * 16;
        const int lanes = Level() == 0 ? 112 : 152 + 4 * (8 * order + 16 + 1024);
        EXPECT_EQ(size, lanes + coeffs + delay) << "order " << order;
    }
    ASSERT_EQ(SpIirStateSize(3, &size), SpOk);
    EXPECT_EQ(size, Level() == 0 ? 160 : 4456);
}

TEST_P(IirTest, FailedBuildsLeaveNoStatePointerAndNoMemory)
{
    const float zeroA0[4] = {1.0f, 0.5f, 0.0f, 0.3f};
    SpIirState* dangling = reinterpret_cast<SpIirState*>(uintptr_t(0x10));
    {
        SpAllocProbe probe;
        EXPECT_EQ(SpIirCreate(&dangling, zeroA0, 1, nullptr), SpErrDivideByZero);
        EXPECT_EQ(dangling, nullptr);
        EXPECT_EQ(probe.Allocations(), 1);
        EXPECT_EQ(probe.Live(), 0);
    }
    std::vector<uint8_t> buffer(8192);
    dangling = reinterpret_cast<SpIirState*>(uintptr_t(0x10));
    EXPECT_EQ(SpIirInit(&dangling, zeroA0, 1, nullptr, buffer.data()), SpErrDivideByZero);
    EXPECT_EQ(dangling, nullptr);
    // Refused arguments clear it too: null taps, order 0, a state past 2^31 bytes.
    for (int32_t order : {1, 0, 200000000})
    {
        dangling = reinterpret_cast<SpIirState*>(uintptr_t(0x10));
        EXPECT_NE(order == 1 ? SpIirCreate(&dangling, nullptr, 1, nullptr)
                             : SpIirInit(&dangling, zeroA0, order, nullptr, buffer.data()),
                  SpOk);
        EXPECT_EQ(dangling, nullptr) << "order " << order;
    }

    const float taps[4] = {1.0f, 0.5f, 1.0f, 0.3f};
    SpAllocProbe probe;
    probe.FailFrom(1);
    dangling = reinterpret_cast<SpIirState*>(uintptr_t(0x10));
    EXPECT_EQ(SpIirCreate(&dangling, taps, 1, nullptr), SpErrNoMemory);
    EXPECT_EQ(dangling, nullptr);
    EXPECT_EQ(probe.Live(), 0);
}

TEST_P(IirTest, FreeReleasesOnlyCreatedStates)
{
    const float taps[4] = {1.0f, 0.5f, 1.0f, 0.3f};
    SpAllocProbe probe;
    SpIirState* created = nullptr;
    ASSERT_EQ(SpIirCreate(&created, taps, 1, nullptr), SpOk);
    EXPECT_EQ(created->OwnsMemory, 1);
    EXPECT_EQ(probe.Live(), 1);
    EXPECT_EQ(SpIirFree(created), SpOk);
    EXPECT_EQ(probe.Live(), 0);

    std::vector<uint8_t> buffer(8192);
    SpIirState* inCaller = nullptr;
    ASSERT_EQ(SpIirInit(&inCaller, taps, 1, nullptr, buffer.data()), SpOk);
    EXPECT_EQ(SpIirFree(inCaller), SpOk);
    EXPECT_EQ(probe.Frees(), 1);
}
