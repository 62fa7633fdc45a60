// Which level's workers a level build calls, where the results alone cannot tell: every level's
// byte zeroing and multiply in place give the same bits. The primitives test executable is
// linked with the levels' SpZeroBytes_Ln and SpMulConstInPlaceF32_Ln wrapped (tests/CMakeLists.txt),
// so every call from another object passes through a counter here on its way to the real one.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <vector>

#include "driver/primitives/dispatch/sp_memory.h"
#include "driver/primitives/fft/sp_fft_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{
// Calls per level (index 1 to 3) since the last Reset.
int64_t g_zeroBytesCalls[4];
int64_t g_mulConstCalls[4];
} // namespace

// The linker's names of the wrapped routines, as the link options give them.
#define SP_COUNTED_WORKER(Ret, Mangled, Params, Args, Counter, Level)                                        \
    extern "C" Ret __real_##Mangled Params;                                                                  \
    extern "C" Ret __wrap_##Mangled Params                                                                   \
    {                                                                                                        \
        ++Counter[Level];                                                                                    \
        return __real_##Mangled Args;                                                                        \
    }
SP_COUNTED_WORKER(void*, _Z14SpZeroBytes_L1Pvi, (void* p, int32_t n), (p, n), g_zeroBytesCalls, 1)
SP_COUNTED_WORKER(void*, _Z14SpZeroBytes_L2Pvi, (void* p, int32_t n), (p, n), g_zeroBytesCalls, 2)
SP_COUNTED_WORKER(void*, _Z14SpZeroBytes_L3Pvi, (void* p, int32_t n), (p, n), g_zeroBytesCalls, 3)
SP_COUNTED_WORKER(SpStatus, _Z23SpMulConstInPlaceF32_L1fPfi, (float v, float* p, int32_t n), (v, p, n),
                  g_mulConstCalls, 1)
SP_COUNTED_WORKER(SpStatus, _Z23SpMulConstInPlaceF32_L2fPfi, (float v, float* p, int32_t n), (v, p, n),
                  g_mulConstCalls, 2)
SP_COUNTED_WORKER(SpStatus, _Z23SpMulConstInPlaceF32_L3fPfi, (float v, float* p, int32_t n), (v, p, n),
                  g_mulConstCalls, 3)
#undef SP_COUNTED_WORKER

namespace
{

struct LevelFft
{
    decltype(&SpZeroBuffer_L1) ZeroBuffer;
    decltype(&SpFftComplexGetSize_L1) ComplexGetSize;
    decltype(&SpFftComplexInit_L1) ComplexInit;
    decltype(&SpFftRealGetSize_L1) RealGetSize;
    decltype(&SpFftRealInit_L1) RealInit;
    decltype(&SpFftComplexCreate_L1) ComplexCreate;
    decltype(&SpFftFwdComplex_L1) FwdComplex;
    decltype(&SpFftRealCreate_L1) RealCreate;
    decltype(&SpFftFwdRealToPack_L1) FwdReal;
    decltype(&SpFftInvPackToReal_L1) InvReal;
};
const LevelFft kLevelFft[4] = {
    {},
    {SpZeroBuffer_L1, SpFftComplexGetSize_L1, SpFftComplexInit_L1, SpFftRealGetSize_L1, SpFftRealInit_L1,
     SpFftComplexCreate_L1, SpFftFwdComplex_L1, SpFftRealCreate_L1, SpFftFwdRealToPack_L1,
     SpFftInvPackToReal_L1},
    {SpZeroBuffer_L2, SpFftComplexGetSize_L2, SpFftComplexInit_L2, SpFftRealGetSize_L2, SpFftRealInit_L2,
     SpFftComplexCreate_L2, SpFftFwdComplex_L2, SpFftRealCreate_L2, SpFftFwdRealToPack_L2,
     SpFftInvPackToReal_L2},
    {SpZeroBuffer_L3, SpFftComplexGetSize_L3, SpFftComplexInit_L3, SpFftRealGetSize_L3, SpFftRealInit_L3,
     SpFftComplexCreate_L3, SpFftFwdComplex_L3, SpFftRealCreate_L3, SpFftFwdRealToPack_L3,
     SpFftInvPackToReal_L3},
};

class SpLevelWorkerTest : public SpLevelTest
{
protected:
    void Reset()
    {
        memset(g_zeroBytesCalls, 0, sizeof g_zeroBytesCalls);
        memset(g_mulConstCalls, 0, sizeof g_mulConstCalls);
    }
    // Calls at this level, with none at any other.
    int64_t OnlyHere(const int64_t (&calls)[4])
    {
        for (int32_t l = 0; l < 4; ++l)
        {
            if (l != Level())
            {
                EXPECT_EQ(0, calls[l]) << "level " << Level() << " called level " << l << "'s worker";
            }
        }
        return calls[Level()];
    }
    // One transform run with an unscaled spec and with a spec of `flag`: only the scaled run
    // multiplies, with this level's worker, and it gives the unscaled result times 2^-order bit
    // for bit (the scale is a power of two).
    void ExpectScaledByThisLevel(bool real, int32_t order, int32_t flag,
                                 const std::function<SpStatus(const SpFftSpec*, float*)>& transform)
    {
        const LevelFft& fft = kLevelFft[Level()];
        const auto create = real ? fft.RealCreate : fft.ComplexCreate;
        const size_t floats = size_t(real ? 1 : 2) << order;
        SpFftSpec* unscaledSpec = nullptr;
        SpFftSpec* scaledSpec = nullptr;
        ASSERT_EQ(SpOk, create(&unscaledSpec, order, SpFftNoDivide, 0));
        ASSERT_EQ(SpOk, create(&scaledSpec, order, flag, 0));
        std::vector<float> plain(floats), scaled(floats);
        Reset();
        ASSERT_EQ(SpOk, transform(unscaledSpec, plain.data()));
        EXPECT_EQ(0, OnlyHere(g_mulConstCalls)) << real << " " << order;
        ASSERT_EQ(SpOk, transform(scaledSpec, scaled.data()));
        EXPECT_LE(1, OnlyHere(g_mulConstCalls)) << real << " " << order;
        const float scale = 1.0f / float(int64_t(1) << order);
        for (size_t i = 0; i < floats; ++i)
            ASSERT_EQ(FloatBits(plain[i] * scale), FloatBits(scaled[i])) << real << " " << order << " " << i;
        const auto release = real ? SpFftRealFree : SpFftComplexFree;
        release(unscaledSpec);
        release(scaledSpec);
    }
};

// The level's zero fill tests its arguments, then zeroes through the level's own byte zeroing;
// a refused call writes and calls nothing. The level's set-ups clear a new spec's header with it:
// once per init, and nothing left of what the memory held before.
TEST_P(SpLevelWorkerTest, ZeroBufferRunsTheLevelsByteZeroing)
{
    const LevelFft& fft = kLevelFft[Level()];
    std::vector<uint8_t> bytes(80, 0xA5);
    Reset();
    EXPECT_EQ(SpErrNullPointer, fft.ZeroBuffer(nullptr, 0));
    EXPECT_EQ(SpErrBadLength, fft.ZeroBuffer(bytes.data(), 0));
    EXPECT_EQ(SpErrBadLength, fft.ZeroBuffer(bytes.data(), -5));
    EXPECT_EQ(0, OnlyHere(g_zeroBytesCalls));
    EXPECT_EQ(std::vector<uint8_t>(80, 0xA5), bytes);
    EXPECT_EQ(SpOk, fft.ZeroBuffer(bytes.data() + 3, 70));
    EXPECT_EQ(1, OnlyHere(g_zeroBytesCalls));
    for (size_t i = 0; i < bytes.size(); ++i)
        ASSERT_EQ(i >= 3 && i < 73 ? 0 : 0xA5, bytes[i]) << i;

    for (const bool real : {false, true})
    {
        int32_t specBytes = 0, initBytes = 0, workBytes = 0;
        const auto getSize = real ? fft.RealGetSize : fft.ComplexGetSize;
        const auto init = real ? fft.RealInit : fft.ComplexInit;
        ASSERT_EQ(SpOk, getSize(3, SpFftNoDivide, 0, &specBytes, &initBytes, &workBytes));
        std::vector<uint8_t> memory(size_t(specBytes), 0xA5);
        SpFftSpec* spec = nullptr;
        Reset();
        ASSERT_EQ(SpOk, init(&spec, 3, SpFftNoDivide, 0, memory.data(), nullptr));
        EXPECT_EQ(1, OnlyHere(g_zeroBytesCalls)) << real;
        EXPECT_EQ(0, spec->FwdScaleOn | spec->InvScaleOn | spec->OwnsMemory | spec->WorkBytes) << real;
        EXPECT_EQ(0.0f, spec->Scale) << real;
        EXPECT_EQ(nullptr, spec->BitRev) << real;
        EXPECT_EQ(nullptr, spec->ColumnTwiddles[SpFftMaxDepth - 1]) << real;
    }
}

// A scaled transform multiplies by the scale with the level's own multiply in place: the complex
// forward below and above the direct limit (the large driver scales each row), the real forward
// and inverse.
TEST_P(SpLevelWorkerTest, ScaledTransformsMultiplyWithTheLevelsOwnWorker)
{
    const LevelFft& fft = kLevelFft[Level()];
    TestRng rng(7201);
    std::vector<float> x(size_t(2) << (SpFftDirectLimit(Level()) + 1));
    for (float& v : x)
        v = float(rng.Uniform(-1, 1));
    const auto* points = reinterpret_cast<const SpComplexF32*>(x.data());
    for (int32_t order : {6, SpFftDirectLimit(Level()) + 1})
    {
        ExpectScaledByThisLevel(
            false, order, SpFftDivFwdByN,
            [&](const SpFftSpec* spec, float* out)
            { return fft.FwdComplex(points, reinterpret_cast<SpComplexF32*>(out), spec, nullptr); });
    }
    ExpectScaledByThisLevel(true, 8, SpFftDivFwdByN,
                            [&](const SpFftSpec* spec, float* out)
                            { return fft.FwdReal(x.data(), out, spec, nullptr); });
    ExpectScaledByThisLevel(true, 8, SpFftDivInvByN,
                            [&](const SpFftSpec* spec, float* out)
                            { return fft.InvReal(x.data(), out, spec, nullptr); });
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpLevelWorkerTest, ::testing::Values(1, 2, 3), SpLevelName);

} // namespace
