// The FFT path of long single-rate FIR filters at every level: a state carries its own level's
// real-FFT spec, its tap spectrum is the transform of the zero-padded taps, long blocks agree
// with the same level's direct form within the documented bound, the created block holds the
// level's work buffer, and the work-buffer query of levels 2 and 3 keeps the common contract.
#include <math.h>

#include <algorithm>
#include <vector>

#include "driver/primitives/fft/sp_fft.h"
#include "driver/primitives/fft/sp_fft_buffer_size.h"
#include "driver/primitives/fft/sp_fft_levels.h"
#include "driver/primitives/filters/sp_fir.h"
#include "driver/primitives/filters/sp_fir_internal.h"
#include "tests/primitives/sp_alloc_probe.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

std::vector<float> Noise(size_t n, uint64_t seed)
{
    TestRng rng(seed);
    std::vector<float> v(n);
    for (float& x : v)
        x = float(rng.Uniform(-1, 1));
    return v;
}

// Owns either kind of state: a created one is freed, one in caller memory just dropped.
struct FirUnderTest
{
    SpFirState* State = nullptr;
    std::vector<uint8_t> Memory;
    FirUnderTest() = default;
    FirUnderTest(const FirUnderTest&) = delete;
    FirUnderTest& operator=(const FirUnderTest&) = delete;
    ~FirUnderTest()
    {
        if (State && Memory.empty())
            SpFirFree(State);
    }

    SpStatus Make(bool created, const std::vector<float>& taps)
    {
        const int32_t n = int32_t(taps.size());
        if (created)
            return SpFirCreate(&State, taps.data(), n, nullptr);
        int32_t size = 0;
        const SpStatus status = SpFirStateSize(n, &size);
        if (status != SpOk)
            return status;
        Memory.assign(size_t(size), 0xCD);
        return SpFirInit(&State, taps.data(), n, nullptr, Memory.data() + 3); // off its alignment
    }
};

std::vector<float> FilterInBlocks(SpFirState* state, const std::vector<float>& x,
                                  const std::vector<int>& blocks)
{
    std::vector<float> y(x.size());
    size_t done = 0;
    for (size_t b = 0; done < x.size(); ++b)
    {
        const size_t len = std::min<size_t>(x.size() - done, size_t(blocks[b % blocks.size()]));
        EXPECT_EQ(SpFirFilter(x.data() + done, y.data() + done, int32_t(len), state), SpOk);
        done += len;
    }
    return y;
}

// The packed spectrum (R0, R(N/2), then Rk, Ik) of the taps zero-padded to n points, in double.
std::vector<double> PackedDft(const std::vector<float>& taps, int32_t n)
{
    std::vector<double> packed(static_cast<size_t>(n));
    for (int32_t k = 0; k <= n / 2; ++k)
    {
        double re = 0, im = 0;
        for (size_t t = 0; t < taps.size(); ++t)
        {
            const double angle = -2.0 * M_PI * double((int64_t(k) * int64_t(t)) % n) / double(n);
            re += double(taps[t]) * cos(angle);
            im += double(taps[t]) * sin(angle);
        }
        if (k == 0)
            packed[0] = re;
        else if (k == n / 2)
            packed[1] = re;
        else
        {
            packed[size_t(2 * k)] = re;
            packed[size_t(2 * k + 1)] = im;
        }
    }
    return packed;
}

class FirFftLevelsTest : public SpLevelTest
{
};
SP_INSTANTIATE_LEVELS(FirFftLevelsTest);

} // namespace

TEST_P(FirFftLevelsTest, StateRunsItsOwnLevelsTransformOfTheTaps)
{
    for (bool created : {true, false})
    {
        for (int taps : {64, 256})
        {
            SCOPED_TRACE(testing::Message()
                         << taps << " taps, " << (created ? "created" : "in caller memory"));
            const std::vector<float> h = Noise(size_t(taps), 70 + taps);
            FirUnderTest fir;
            ASSERT_EQ(fir.Make(created, h), SpOk);
            const SpFirSingleRate& s = fir.State->Single;
            ASSERT_NE(s.FftSpec, nullptr);
            EXPECT_EQ(s.FftSpec->Level, Level());
            EXPECT_EQ(s.FftSpec->Kind, SpFftKindReal);
            const int32_t n = taps == 64 ? 256 : 1024;
            ASSERT_EQ(s.FftLength, n);
            const std::vector<double> want = PackedDft(h, n);
            double peak = 0;
            for (double v : want)
                peak = std::max(peak, fabs(v));
            for (int32_t i = 0; i < n; ++i)
                ASSERT_NEAR(s.TapSpectrum[i], want[size_t(i)], 3e-6 * peak) << "packed element " << i;
        }
    }
}

// Blocks of 512 samples or more run the FFT; blocks of 511 or fewer the direct form of the same
// level. Both read the same history, so any split gives the same signal within the bound.
TEST_P(FirFftLevelsTest, LongBlocksAgreeWithTheDirectFormWithinTheBound)
{
    const std::vector<int> longBlocks = {512, 3001, 1537, 700, 2048};
    const std::vector<int> shortBlocks = {511, 97, 256, 5};
    for (bool created : {true, false})
    {
        for (int taps : {64, 100, 127, 128, 256, 512, 700})
        {
            SCOPED_TRACE(testing::Message()
                         << taps << " taps, " << (created ? "created" : "in caller memory"));
            const std::vector<float> h = Noise(size_t(taps), 80 + taps);
            const std::vector<float> x = Noise(9000, 90 + taps);
            FirUnderTest viaFft, direct;
            ASSERT_EQ(viaFft.Make(created, h), SpOk);
            ASSERT_EQ(direct.Make(created, h), SpOk);
            ASSERT_GT(viaFft.State->Single.FftLength, 0);
            const std::vector<float> got = FilterInBlocks(viaFft.State, x, longBlocks);
            const std::vector<float> want = FilterInBlocks(direct.State, x, shortBlocks);
            float peak = 0;
            for (float v : want)
                peak = std::max(peak, fabsf(v));
            for (size_t i = 0; i < x.size(); ++i)
                ASSERT_NEAR(got[i], want[i], 1e-5 * peak) << "output " << i;
        }
    }
}

// A level's entries plan, lay out and run their own FFT whatever level the processor dispatch
// currently stands at: the level tables call them directly.
TEST_P(FirFftLevelsTest, LevelEntriesKeepToTheirLevelWhateverTheDispatchLevel)
{
    const std::vector<float> h = Noise(256, 11);
    const std::vector<float> x = Noise(3000, 12);
    FirUnderTest atLevel;
    ASSERT_EQ(atLevel.Make(false, h), SpOk);
    const std::vector<float> want = FilterInBlocks(atLevel.State, x, {600, 2400});
    SpScopedCpuLevel other(Level() == 0 ? 3 : 0);
    if (!SpLevelRunsHere(SpCpuLevel))
        GTEST_SKIP() << "this processor lacks the instructions of level 3";
    int32_t size = 0;
    ASSERT_EQ(SpFirStateSizeAt(Level(), 256, &size), SpOk);
    EXPECT_EQ(size_t(size), atLevel.Memory.size());
    std::vector<uint8_t> memory(static_cast<size_t>(size));
    SpFirState* state = nullptr;
    ASSERT_EQ(SpFirInitAt(Level(), &state, h.data(), 256, nullptr, memory.data()), SpOk);
    EXPECT_EQ(state->Single.FftSpec->Level, Level());
    std::vector<float> got(x.size());
    ASSERT_EQ(SpFirFilterAt(Level(), x.data(), got.data(), 600, state), SpOk);
    ASSERT_EQ(SpFirFilterAt(Level(), x.data() + 600, got.data() + 600, 2400, state), SpOk);
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_EQ(got[i], want[i]) << "output " << i;
}

// A created long filter is two blocks: its level's spec, and the state with the work buffer
// that spec's transforms take (T + D + R + 2F + B + 16,560 bytes). Neither grows while it filters.
TEST_P(FirFftLevelsTest, CreatedStateHoldsItsLevelsWorkBuffer)
{
    const std::vector<float> h = Noise(512, 5);
    int32_t specBytes = 0, initBytes = 0, workBytes = 0;
    const auto getSize = Level() == 0   ? SpFftRealGetSize_L0
                         : Level() == 1 ? SpFftRealGetSize_L1
                         : Level() == 2 ? SpFftRealGetSize_L2
                                        : SpFftRealGetSize_L3;
    ASSERT_EQ(getSize(11, SpFftDivInvByN, 0, &specBytes, &initBytes, &workBytes), SpOk);
    SpAllocProbe probe;
    FirUnderTest fir;
    ASSERT_EQ(fir.Make(true, h), SpOk);
    // Spec, the spec's temporary init buffer (orders above 10), state block; each request
    // carries the allocator's 40 bytes of alignment room.
    ASSERT_EQ(probe.RequestedBytes().size(), 3u);
    EXPECT_EQ(probe.Live(), 2);
    EXPECT_EQ(probe.RequestedBytes()[0], size_t(specBytes) + 40);
    EXPECT_EQ(probe.RequestedBytes()[1], size_t(initBytes) + 40);
    const size_t T = 2048, D = 6160, R = Level() > 0 ? 4 * T : 0, F = 4 * 2048;
    // Levels 1-3 transform 2,048 points through a work area of 4 F + 32 bytes; level 0 needs none.
    const size_t B = Level() > 0 ? 4 * 2048 + 32 : 0;
    EXPECT_EQ(probe.RequestedBytes()[2], T + D + R + 2 * F + B + 16560 + 40);
    EXPECT_EQ(fir.State->Single.FftWorkBytes, int32_t(B));
    EXPECT_EQ(fir.State->Single.FftWork != nullptr, B > 0);
    const std::vector<float> x = Noise(4096, 6);
    FilterInBlocks(fir.State, x, {4096});
    EXPECT_EQ(probe.Allocations(), 3); // filtering allocates nothing
}

// Failures at each step of a create leave the pointer null and nothing allocated; a refused
// init leaves the pointer null too.
TEST_P(FirFftLevelsTest, RefusedCreateOrInitLeavesNothingBehind)
{
    const std::vector<float> h = Noise(512, 7);
    SpFirState* const stale = reinterpret_cast<SpFirState*>(uintptr_t(0x40));
    for (int failFrom : {1, 2, 3})
    {
        SpAllocProbe probe;
        probe.FailFrom(failFrom);
        SpFirState* state = stale;
        EXPECT_EQ(SpFirCreate(&state, h.data(), 512, nullptr), SpErrNoMemory) << "allocation " << failFrom;
        EXPECT_EQ(state, nullptr);
        EXPECT_EQ(probe.Live(), 0);
    }
    std::vector<uint8_t> memory(64);
    SpFirState* state = stale;
    EXPECT_EQ(SpFirInit(&state, h.data(), 0, nullptr, memory.data()), SpErrFirLength);
    EXPECT_EQ(state, nullptr);
    state = stale;
    EXPECT_EQ(SpFirInit(&state, h.data(), 512, nullptr, nullptr), SpErrNullPointer);
    EXPECT_EQ(state, nullptr);
}

TEST(FftRealBufferSizeL2, AnswersAsTheCommonQuery)
{
    SpScopedCpuLevel level(2);
    if (!SpLevelRunsHere(2))
        GTEST_SKIP() << "this processor lacks the instructions of level 2";
    SpFftSpec* real = nullptr;
    SpFftSpec* complex = nullptr;
    ASSERT_EQ(SpFftRealCreate_L2(&real, 11, SpFftDivInvByN, 0), SpOk);
    ASSERT_EQ(SpFftComplexCreate_L2(&complex, 10, SpFftDivInvByN, 0), SpOk);
    int32_t size = -1;
    EXPECT_EQ(SpFftRealGetBufferSize_L2(real, &size), SpOk);
    EXPECT_EQ(size, 4 * 2048 + 32);
    size = -1;
    EXPECT_EQ(SpFftRealGetBufferSize_L2(complex, &size), SpErrStateMismatch);
    EXPECT_EQ(size, -1);
    EXPECT_EQ(SpFftRealGetBufferSize_L2(nullptr, &size), SpErrNullPointer);
    EXPECT_EQ(SpFftRealGetBufferSize_L2(real, nullptr), SpErrNullPointer);
    SpFftSpec* small = nullptr;
    ASSERT_EQ(SpFftRealCreate_L2(&small, 3, SpFftDivInvByN, 0), SpOk);
    EXPECT_EQ(SpFftRealGetBufferSize_L2(small, &size), SpOk);
    EXPECT_EQ(size, 0); // the order-3 kernel needs no scratch
    SpFftRealFree_L0(small);
    SpFftComplexFree_L0(complex);
    SpFftRealFree_L0(real);
}
