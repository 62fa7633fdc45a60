// FIR filters: single-rate (direct and FFT paths) against a double-precision convolution,
// multi-rate against the defining up/filter/down formula, the one-sample filter, the state
// sizes the driver relies on, memory rules and argument checks.
#include <math.h>
#include <string.h>

#include <vector>

#include "driver/primitives/filters/sp_fir.h"
#include "driver/primitives/filters/sp_fir_internal.h"
#include "driver/primitives/filters/sp_iir.h"
#include "tests/primitives/sp_alloc_probe.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

std::vector<float> RandomVector(size_t n, uint64_t seed)
{
    TestRng rng(seed);
    std::vector<float> v(n);
    for (auto& x : v)
    {
        x = float(rng.Uniform(-1, 1));
    }
    return v;
}

double AbsSum(const std::vector<float>& v)
{
    double s = 0;
    for (float x : v)
    {
        s += fabs(x);
    }
    return s;
}

// Single-rate or multi-rate reference over a whole input stream: output n sums
// taps[D n + pd - (U i + pu)] x[i]; x[-1], x[-2], ... come from `past` (newest first).
std::vector<double> ReferenceFir(const std::vector<float>& taps, int up, int upPhase, int down, int downPhase,
                                 const std::vector<float>& x, size_t outputs, const std::vector<float>& past)
{
    const int64_t L = int64_t(taps.size());
    std::vector<double> y(outputs);
    for (size_t n = 0; n < outputs; ++n)
    {
        const int64_t top = int64_t(down) * int64_t(n) + downPhase - upPhase;
        double acc = 0;
        for (int64_t i = top >= 0 ? top / up : -((-top + up - 1) / up); i >= 0 || -i <= int64_t(past.size());
             --i)
        {
            const int64_t t = top - int64_t(up) * i;
            if (t >= L)
            {
                break;
            }
            const double xi = i >= 0 ? x[size_t(i)] : past[size_t(-i - 1)];
            acc += double(taps[size_t(t)]) * xi;
        }
        y[n] = acc;
    }
    return y;
}

std::vector<double> ReferenceConvolution(const std::vector<float>& taps, const std::vector<float>& x,
                                         const std::vector<float>& past = {})
{
    return ReferenceFir(taps, 1, 0, 1, 0, x, x.size(), past);
}

void ExpectNear(const std::vector<float>& got, const std::vector<double>& want, double tolerance)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
    {
        ASSERT_NEAR(got[i], want[i], tolerance) << "output " << i;
    }
}

// Runs a state over x in the given block sizes (cycled), single-rate.
std::vector<float> FilterInBlocks(SpFirState* state, const std::vector<float>& x,
                                  const std::vector<int>& blocks)
{
    std::vector<float> y(x.size());
    size_t done = 0;
    for (size_t b = 0; done < x.size(); ++b)
    {
        const size_t len = std::min<size_t>(x.size() - done, blocks[b % blocks.size()]);
        EXPECT_EQ(SpFirFilter(x.data() + done, y.data() + done, int32_t(len), state), SpOk);
        done += len;
    }
    return y;
}

struct CallerState
{
    std::vector<uint8_t> Buffer;
    SpFirState* State = nullptr;
};

CallerState InitSingle(const std::vector<float>& taps, const float* delayLine = nullptr)
{
    CallerState s;
    int32_t size = 0;
    EXPECT_EQ(SpFirStateSize(int32_t(taps.size()), &size), SpOk);
    s.Buffer.resize(size_t(size));
    EXPECT_EQ(SpFirInit(&s.State, taps.data(), int32_t(taps.size()), delayLine, s.Buffer.data() + 5), SpOk);
    return s;
}

struct CreatedFir
{
    SpFirState* State = nullptr;
    ~CreatedFir()
    {
        if (State)
        {
            SpFirFree(State);
        }
    }
};

struct MultiRateCase
{
    int Taps, Up, UpPhase, Down, DownPhase, Mode;
};

} // namespace

class FirTest : public SpLevelTest
{
};
SP_INSTANTIATE_LEVELS(FirTest);

TEST_P(FirTest, StateSizesAreThoseTheDriverPlansFor)
{
    const struct
    {
        int Taps;
        int32_t Bytes;
    } single[] = {{20, 16912},  {24, 16976}, {63, 16576 + 256 + 784}, {64, 17616 + 2432 + 2048},
                  {101, 22704}, {256, 37840}};
    // Levels 1-3 add 16 bytes a tap, in groups of four, for the tap quads.
    auto quads = [&](int taps) { return Level() > 0 ? 64 * ((taps + 3) / 4) : 0; };
    // Their FFT of F points also takes the level cores' work area, 4F + 32 bytes.
    auto fftWork = [&](int taps) {
        return Level() == 0 || taps < 64 ? 0 : taps <= 128 ? 4 * 256 + 32 : 4 * 1024 + 32;
    };
    for (const auto& c : single)
    {
        int32_t size = 0;
        ASSERT_EQ(SpFirStateSize(c.Taps, &size), SpOk);
        EXPECT_EQ(size, c.Bytes + quads(c.Taps) + fftWork(c.Taps)) << c.Taps << " taps";
        ASSERT_EQ(SpFirMultiRateStateSize(c.Taps, 1, 1, &size), SpOk);
        EXPECT_EQ(size, c.Bytes + quads(c.Taps) + fftWork(c.Taps)) << c.Taps << " taps, U = D = 1";
    }
    const struct
    {
        int Taps, Up, Down;
        int32_t Bytes;
    } multi[] = {{66, 2, 1, 18272}, {66, 1, 2, 18624}, {132, 4, 1, 19600}, {132, 1, 4, 20640}};
    for (const auto& c : multi)
    {
        int32_t size = 0;
        ASSERT_EQ(SpFirMultiRateStateSize(c.Taps, c.Up, c.Down, &size), SpOk);
        EXPECT_EQ(size, c.Bytes) << c.Taps << " taps " << c.Up << "/" << c.Down;
    }
    // A created 256-tap filter is one 28,864-byte block and one 8,960-byte FFT spec record
    // (each request carries the allocator's 40 bytes of alignment room).
    const std::vector<float> taps = RandomVector(256, 1);
    SpAllocProbe probe;
    CreatedFir fir;
    ASSERT_EQ(SpFirCreate(&fir.State, taps.data(), 256, nullptr), SpOk);
    ASSERT_EQ(probe.RequestedBytes().size(), 2u);
    EXPECT_EQ(probe.RequestedBytes()[0], 8960u + 40u);
    // Levels 1-3 create their own FFT spec, whose work area the block then holds.
    EXPECT_EQ(probe.RequestedBytes()[1], 28864u + 40u + quads(256) + (Level() >= 1 ? 4128u : 0u));
}

TEST_P(FirTest, SingleRateMatchesConvolutionOverMixedBlocks)
{
    const std::vector<int> blocks = {7, 1, 600, 33, 511, 512, 2000, 5, 1500, 4};
    for (int taps : {1, 3, 20, 24, 63, 64, 101, 256})
    {
        SCOPED_TRACE(testing::Message() << taps << " taps");
        const std::vector<float> h = RandomVector(size_t(taps), 10 + taps);
        const std::vector<float> x = RandomVector(6000, 20 + taps);
        const std::vector<double> want = ReferenceConvolution(h, x);
        CreatedFir created;
        ASSERT_EQ(SpFirCreate(&created.State, h.data(), taps, nullptr), SpOk);
        ExpectNear(FilterInBlocks(created.State, x, blocks), want, 2e-6 * AbsSum(h));
        CallerState inCaller = InitSingle(h);
        ExpectNear(FilterInBlocks(inCaller.State, x, blocks), want, 2e-6 * AbsSum(h));
    }
}

TEST_P(FirTest, ShortBlocksRunTheDirectFormAndLongOnesTheFft)
{
    const std::vector<float> h = RandomVector(256, 3);
    const std::vector<float> x = RandomVector(511 + 512 + 511, 4);
    CreatedFir fir;
    ASSERT_EQ(SpFirCreate(&fir.State, h.data(), 256, nullptr), SpOk);
    EXPECT_EQ(fir.State->Single.FftLength, 1024);
    std::vector<float> y(x.size());
    ASSERT_EQ(SpFirFilter(x.data(), y.data(), 511, fir.State), SpOk);
    ASSERT_EQ(SpFirFilter(x.data() + 511, y.data() + 511, 512, fir.State), SpOk);
    ASSERT_EQ(SpFirFilter(x.data() + 1023, y.data() + 1023, 511, fir.State), SpOk);
    // The generic direct form is the single-precision sum in tap order, oldest input first (the
    // level builds group theirs, held to their own order elsewhere).
    auto directSum = [&](size_t i)
    {
        float acc = 0.0f;
        for (int j = 0; j < 256; ++j)
        {
            const int64_t at = int64_t(i) - 255 + j;
            acc += h[255 - j] * (at >= 0 ? x[size_t(at)] : 0.0f);
        }
        return acc;
    };
    for (size_t i : {size_t(0), size_t(255), size_t(510), size_t(1023), size_t(1300), size_t(1533)})
    {
        if (Level() == 0)
        {
            EXPECT_EQ(y[i], directSum(i)) << "output " << i;
        }
    }
    const std::vector<double> want = ReferenceConvolution(h, x);
    ExpectNear(y, want, 2e-6 * AbsSum(h));

    const std::vector<float> short63 = RandomVector(63, 5);
    CreatedFir direct;
    ASSERT_EQ(SpFirCreate(&direct.State, short63.data(), 63, nullptr), SpOk);
    EXPECT_EQ(direct.State->Single.FftLength, -1);
    EXPECT_EQ(direct.State->Single.FftSpec, nullptr);
    CreatedFir sixtyFour;
    const std::vector<float> h64 = RandomVector(64, 6);
    ASSERT_EQ(SpFirCreate(&sixtyFour.State, h64.data(), 64, nullptr), SpOk);
    EXPECT_EQ(sixtyFour.State->Single.FftLength, 256);
}

TEST_P(FirTest, DelayLineSeedsTheHistory)
{
    for (int taps : {20, 64, 101})
    {
        const std::vector<float> h = RandomVector(size_t(taps), 40 + taps);
        const std::vector<float> past = RandomVector(size_t(taps), 50 + taps); // newest first
        const std::vector<float> x = RandomVector(700, 60 + taps);
        const std::vector<double> want = ReferenceConvolution(h, x, past);
        CreatedFir created;
        ASSERT_EQ(SpFirCreate(&created.State, h.data(), taps, past.data()), SpOk);
        ExpectNear(FilterInBlocks(created.State, x, {100, 600}), want, 2e-6 * AbsSum(h));
        CallerState inCaller = InitSingle(h, past.data());
        ExpectNear(FilterInBlocks(inCaller.State, x, {700}), want, 2e-6 * AbsSum(h));
        if (Level() == 0)
            continue;
        // The level builders and create workers also take the past as 16-bit samples under any
        // tag but "FI01" (reversed and converted); under "FI01" the same past as floats gives the
        // same outputs bit for bit.
        std::vector<int16_t> past16(taps);
        std::vector<float> asFloats(taps);
        for (int k = 0; k < taps; ++k)
            asFloats[k] = past16[k] = int16_t(k * 977 % 4001 - 2000);
        const std::vector<double> wantFromSamples = ReferenceConvolution(h, x, asFloats);
        int32_t size = 0;
        ASSERT_EQ(SpOk, SpFirStateSize(taps, &size));
        const auto build = Level() == 1   ? SpFirStateBuild_L1
                           : Level() == 2 ? SpFirStateBuild_L2
                                          : SpFirStateBuild_L3;
        const auto create = Level() == 1   ? SpFirCreateState_L1
                            : Level() == 2 ? SpFirCreateState_L2
                                           : SpFirCreateState_L3;
        std::vector<float> fromFloats;
        for (const uint32_t tag : {uint32_t(SpFirTagSingleRate), 0u, uint32_t(SpFirTagMultiRate)})
        {
            const void* past = tag == SpFirTagSingleRate ? static_cast<const void*>(asFloats.data())
                                                         : static_cast<const void*>(past16.data());
            std::vector<uint8_t> memory(size_t(size) + 16);
            SpFirState* built = nullptr;
            ASSERT_EQ(SpOk, build(&built, h.data(), taps, past, memory.data(), tag));
            const std::vector<float> y = FilterInBlocks(built, x, {700});
            ExpectNear(y, wantFromSamples, 2e-6 * 2000 * AbsSum(h));
            SpAllocProbe probe;
            CreatedFir owned;
            ASSERT_EQ(SpOk, create(&owned.State, h.data(), taps, past, tag));
            EXPECT_EQ(1, owned.State->Single.OwnsMemory);
            const std::vector<float> z = FilterInBlocks(owned.State, x, {100, 600});
            ExpectNear(z, wantFromSamples, 2e-6 * 2000 * AbsSum(h));
            ASSERT_EQ(SpOk, SpFirFree(owned.State));
            owned.State = nullptr;
            EXPECT_EQ(0, probe.Live()) << "tag " << std::hex << tag;
            if (tag == SpFirTagSingleRate)
                fromFloats = z;
            else
                EXPECT_EQ(0, memcmp(fromFloats.data(), z.data(), 4 * z.size())) << "tag " << std::hex << tag;
        }
    }
}

// Every other case starts from a delay line (the newest (taps + U - 1) / U inputs), the rest
// from silence.
TEST_P(FirTest, MultiRateMatchesTheDefiningFormula)
{
    const MultiRateCase cases[] = {
        {66, 2, 0, 1, 0, SpFirModeGroups},    {66, 1, 0, 2, 0, SpFirModeGroups},
        {132, 4, 0, 1, 0, SpFirModeGroups},   {132, 1, 0, 4, 0, SpFirModeGroups},
        {66, 2, 1, 1, 0, SpFirModeGroups},    {66, 1, 0, 2, 1, SpFirModeGroups},
        {31, 3, 2, 2, 1, SpFirModeGroups},    {40, 2, 1, 3, 2, SpFirModeGroups},
        {5, 4, 3, 3, 2, SpFirModeGroups},     {9, 2, 0, 7, 0, SpFirModeGroups},
        {8, 1, 0, 4, 3, SpFirModeSingleTaps}, {3, 1, 0, 2, 1, SpFirModeSingleTaps},
        {6, 3, 1, 7, 4, SpFirModeOutputTaps}, {10, 2, 1, 9, 5, SpFirModeOutputTaps},
    };
    const int calls[] = {1, 2, 3, 7, 50, 200, 5, 1, 64};
    bool withPast = false;
    for (const MultiRateCase& c : cases)
    {
        withPast = !withPast;
        SCOPED_TRACE(testing::Message() << c.Taps << " taps, up " << c.Up << "+" << c.UpPhase << ", down "
                                        << c.Down << "+" << c.DownPhase);
        const std::vector<float> h = RandomVector(size_t(c.Taps), c.Taps * 7 + c.Up);
        size_t steps = 0;
        for (int len : calls)
        {
            steps += size_t(len);
        }
        const std::vector<float> x = RandomVector(steps * size_t(c.Down), c.Down * 13 + c.Taps);
        const std::vector<float> past =
            withPast ? RandomVector(size_t((c.Taps + c.Up - 1) / c.Up), 80 + c.Taps) : std::vector<float>();
        int32_t size = 0;
        ASSERT_EQ(SpFirMultiRateStateSize(c.Taps, c.Up, c.Down, &size), SpOk);
        std::vector<uint8_t> buffer(static_cast<size_t>(size));
        SpFirState* state = nullptr;
        ASSERT_EQ(SpFirMultiRateInit(&state, h.data(), c.Taps, c.Up, c.UpPhase, c.Down, c.DownPhase,
                                     withPast ? past.data() : nullptr, buffer.data() + 9),
                  SpOk);
        EXPECT_EQ(state->Tag, SpFirTagMultiRate);
        EXPECT_EQ(state->Multi.Mode, c.Mode);
        std::vector<float> y(steps * size_t(c.Up));
        size_t in = 0, out = 0;
        for (int len : calls)
        {
            ASSERT_EQ(SpFirFilter(x.data() + in, y.data() + out, len, state), SpOk);
            in += size_t(len) * c.Down;
            out += size_t(len) * c.Up;
        }
        const std::vector<double> want =
            ReferenceFir(h, c.Up, c.UpPhase, c.Down, c.DownPhase, x, y.size(), past);
        ExpectNear(y, want, 2e-6 * AbsSum(h));
    }
}

TEST_P(FirTest, MultiRateReadsAndWritesTheDocumentedCounts)
{
    const std::vector<float> h = RandomVector(66, 1);
    for (auto [up, down] : {std::pair<int, int>{2, 1}, {1, 2}})
    {
        int32_t size = 0;
        ASSERT_EQ(SpFirMultiRateStateSize(66, up, down, &size), SpOk);
        std::vector<uint8_t> buffer(static_cast<size_t>(size));
        SpFirState* state = nullptr;
        ASSERT_EQ(SpFirMultiRateInit(&state, h.data(), 66, up, 0, down, 0, nullptr, buffer.data()), SpOk);
        GuardedBuffer<float> src(size_t(100 * down), 4);
        GuardedBuffer<float> dst(size_t(100 * up), 8);
        for (size_t i = 0; i < src.size(); ++i)
        {
            src[i] = float(i % 7) - 3.0f;
        }
        ASSERT_EQ(SpFirFilter(src.data(), dst.data(), 100, state), SpOk);
        EXPECT_TRUE(dst.GuardsIntact()) << "up " << up << " down " << down;
        EXPECT_TRUE(src.GuardsIntact());
    }
}

TEST_P(FirTest, OneSampleFilterFollowsTheBlockFilter)
{
    float line1[2] = {0, 0};
    int32_t index = 0;
    float out = 0;
    const float tap = 0.75f;
    for (float input : {1.0f, -2.0f, 3.5f})
    {
        ASSERT_EQ(SpFirFilterSample(input, &out, &tap, 1, line1, &index), SpOk);
        EXPECT_EQ(out, input * tap);
        EXPECT_EQ(index, 0);
    }
    for (int taps : {20, 24})
    {
        const std::vector<float> h = RandomVector(size_t(taps), taps);
        const std::vector<float> x = RandomVector(500, taps + 1);
        std::vector<float> line(size_t(2 * taps), 0.0f);
        index = 0;
        std::vector<float> y(x.size());
        for (size_t i = 0; i < x.size(); ++i)
        {
            ASSERT_EQ(SpFirFilterSample(x[i], &y[i], h.data(), taps, line.data(), &index), SpOk);
            ASSERT_GE(index, 0);
            ASSERT_LT(index, taps);
        }
        ExpectNear(y, ReferenceConvolution(h, x), 1e-6 * AbsSum(h));
    }
}

// Equal factors build a single-rate state.
TEST_P(FirTest, EqualFactorsBuildASingleRateState)
{
    const std::vector<float> h = RandomVector(16, 3);
    std::vector<uint8_t> buffer(40000);
    SpFirState* state = nullptr;
    ASSERT_EQ(SpFirMultiRateInit(&state, h.data(), 16, 1, 0, 1, 0, nullptr, buffer.data()), SpOk);
    EXPECT_EQ(state->Tag, SpFirTagSingleRate);
}

TEST_P(FirTest, CreateAndFreeOwnExactlyTheirBlocks)
{
    const std::vector<float> h = RandomVector(256, 5);
    SpFirState* state = nullptr;
    SpFirState* const stale = reinterpret_cast<SpFirState*>(uintptr_t(0x40));
    // Any refused allocation (the FFT spec record, then the state block) is reported as memory,
    // nothing stays allocated and the caller's pointer is cleared, as for any other failure.
    const struct
    {
        int32_t failFrom;
        int32_t taps;
        const float* h;
        SpStatus want;
    } failures[] = {
        {1, 256, h.data(), SpErrNoMemory}, {2, 256, h.data(), SpErrNoMemory},
        {1, 20, h.data(), SpErrNoMemory},  {0, 20, nullptr, SpErrNullPointer},
        {0, 0, h.data(), SpErrFirLength},
    };
    for (const auto& f : failures)
    {
        SpAllocProbe probe;
        if (f.failFrom > 0)
            probe.FailFrom(f.failFrom);
        state = stale;
        EXPECT_EQ(SpFirCreate(&state, f.h, f.taps, nullptr), f.want) << f.failFrom << " " << f.taps;
        EXPECT_EQ(state, nullptr);
        EXPECT_EQ(probe.Live(), 0);
    }
    SpAllocProbe probe;
    ASSERT_EQ(SpFirCreate(&state, h.data(), 256, nullptr), SpOk);
    EXPECT_EQ(state->Single.OwnsMemory, 1);
    EXPECT_EQ(probe.Live(), 2);
    std::vector<float> x = RandomVector(1024, 6), y(1024);
    ASSERT_EQ(SpFirFilter(x.data(), y.data(), 1024, state), SpOk);
    EXPECT_EQ(probe.Allocations(), 2); // filtering allocates nothing
    EXPECT_EQ(SpFirFree(state), SpOk);
    EXPECT_EQ(probe.Live(), 0);

    CallerState inCaller = InitSingle(h);
    EXPECT_EQ(inCaller.State->Single.OwnsMemory, 0);
    EXPECT_EQ(SpFirFree(inCaller.State), SpOk);
    EXPECT_EQ(inCaller.State->Tag, SpFirTagSingleRate);
    EXPECT_EQ(probe.Frees(), 2);
    EXPECT_EQ(SpFirFree(nullptr), SpErrNullPointer);
}
