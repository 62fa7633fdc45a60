// The complex transform's 4- and 8-point kernels give level 0's bits at levels 1 to 3: each
// level's row of the kernel table against row 0 in both forms, and the forward entry under every
// scaling flag against the same entry at level 0, on random points and on the specials that show
// where the scale is applied and how the eighth-turn rotations round.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <complex>
#include <memory>
#include <string>

#include "driver/primitives/fft/sp_fft.h"
#include "driver/primitives/fft/sp_fft_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

// Named inside the anonymous namespace: the file shares a compile batch with the other FFT tests.
namespace
{
namespace fft_small_levels
{

typedef void (*Unscaled)(const float*, float*);
typedef void (*Scaled)(const float*, float*, float);

constexpr int kTrials = 20000;
constexpr int kEntryTrials = 5000;

// Signed zeros, subnormals, the extremes of the normal range, values whose sums overflow
// unless scaled first, infinities and NaNs with payloads of their own.
const uint32_t kSpecialBits[] = {
    0x00000000, 0x80000000, 0x00000001, 0x80000001, 0x000FFFFF, 0x00800000, 0x3F800000,
    0xBF800000, 0x7F16769E, 0xFF16769E, 0x7F7FFFFF, 0xFF7FFFFF, 0x7F800000, 0xFF800000,
    0x7FC00001, 0xFFC12345, 0x7FA00000, 0x3F3504F3, 0xBF3504F4, 0x0DA24260,
};
constexpr uint32_t kSpecialCount = sizeof(kSpecialBits) / sizeof(kSpecialBits[0]);

// Half the trials draw uniform points, as a signal would; the other half mix specials with
// points of any exponent.
void FillInputs(TestRng& rng, int trial, float* x, int floats)
{
    for (int i = 0; i < floats; ++i)
    {
        if (trial % 2 == 0)
        {
            x[i] = float(rng.Uniform(-1, 1));
        }
        else if (rng.Next32() % 3 == 0)
        {
            x[i] = BitsFloat(kSpecialBits[rng.Next32() % kSpecialCount]);
        }
        else
        {
            x[i] = ldexpf(float(rng.Uniform(-1, 1)), int(rng.Next32() % 270) - 140);
        }
    }
}

// Trials whose outputs differ from level 0's, with the first of them in bits. A NaN matches any
// NaN: which input NaN's payload an add passes on follows its operand order, which the compiler
// may turn round where it vectorises a level's kernel; every other output must match bit for bit.
class Differences
{
public:
    void Check(int trial, const float* x, const float* got, const float* want, int floats, float scale)
    {
        for (int i = 0; i < floats; ++i)
        {
            if (std::isnan(want[i]) ? !std::isnan(got[i]) : FloatBits(got[i]) != FloatBits(want[i]))
            {
                if (m_count++ == 0)
                {
                    m_first = Dump(trial, x, got, want, floats, scale);
                }
                return;
            }
        }
    }
    int Count() const { return m_count; }
    const std::string& First() const { return m_first; }

private:
    static std::string Dump(int trial, const float* x, const float* got, const float* want, int floats,
                            float scale)
    {
        char line[96];
        snprintf(line, sizeof(line), "first at trial %d, scale %08X\n", trial, FloatBits(scale));
        std::string text = line;
        for (int i = 0; i < floats; ++i)
        {
            snprintf(line, sizeof(line), "  x[%d] %08X  got %08X  level 0 %08X\n", i, FloatBits(x[i]),
                     FloatBits(got[i]), FloatBits(want[i]));
            text += line;
        }
        return text;
    }

    int m_count = 0;
    std::string m_first;
};

struct SpecFree
{
    void operator()(SpFftSpec* spec) const { SpFftComplexFree(spec); }
};
typedef std::unique_ptr<SpFftSpec, SpecFree> SpecPtr;

class FftSmallComplexLevelsTest : public SpLevelTest
{
};

// Orders 2 and 3, unscaled and scaled, from the level's row of the table the level entries
// dispatch through; every fourth trial runs the level in place.
TEST_P(FftSmallComplexLevelsTest, KernelTableRowsGiveLevelZerosBits)
{
    struct Row
    {
        int Order;
        bool Scaled;
    };
    const Row rows[] = {{2, false}, {2, true}, {3, false}, {3, true}};
    for (const Row& row : rows)
    {
        SCOPED_TRACE("order " + std::to_string(row.Order) + (row.Scaled ? " scaled" : " unscaled"));
        const int slot = row.Order + (row.Scaled ? 4 : 0);
        const SpEntry level0 = SpFftComplexKernelTable[slot];
        const SpEntry level = SpFftComplexKernelTable[8 * Level() + slot];
        const int floats = 2 << row.Order;
        TestRng rng(uint64_t(700 + 10 * row.Order + row.Scaled));
        Differences differences;
        for (int trial = 0; trial < kTrials; ++trial)
        {
            float x[16] = {}, want[16], got[16];
            FillInputs(rng, trial, x, floats);
            const float scale = trial % 8 == 1 ? BitsFloat(kSpecialBits[trial / 8 % kSpecialCount])
                                               : float(rng.Uniform(1e-3, 4));
            memcpy(got, x, sizeof(x));
            const float* in = trial % 4 == 3 ? got : x;
            if (row.Scaled)
            {
                reinterpret_cast<Scaled>(level0)(x, want, scale);
                reinterpret_cast<Scaled>(level)(in, got, scale);
            }
            else
            {
                reinterpret_cast<Unscaled>(level0)(x, want);
                reinterpret_cast<Unscaled>(level)(in, got);
            }
            differences.Check(trial, x, got, want, floats, scale);
        }
        EXPECT_EQ(0, differences.Count()) << "of " << kTrials << " trials\n" << differences.First();
    }
}

// The public forward entry, whose scale comes from the flag (1/N, 1/sqrt(N) or none), on specs
// each level builds for itself.
TEST_P(FftSmallComplexLevelsTest, ForwardEntryGivesLevelZerosBitsUnderEveryFlag)
{
    const int32_t flags[] = {SpFftNoDivide, SpFftDivFwdByN, SpFftDivInvByN, SpFftDivBySqrtN};
    for (int order : {2, 3})
    {
        for (int32_t flag : flags)
        {
            SCOPED_TRACE("order " + std::to_string(order) + " flag " + std::to_string(flag));
            SpFftSpec* raw0 = nullptr;
            SpFftSpec* raw = nullptr;
            {
                SpScopedCpuLevel generic(0);
                ASSERT_EQ(SpFftComplexCreate(&raw0, order, flag, 0), SpOk);
            }
            const SpecPtr spec0(raw0);
            ASSERT_EQ(SpFftComplexCreate(&raw, order, flag, 0), SpOk);
            const SpecPtr spec(raw);
            const int floats = 2 << order;
            TestRng rng(uint64_t(900 + 10 * order + flag));
            Differences differences;
            for (int trial = 0; trial < kEntryTrials; ++trial)
            {
                float x[16] = {}, want[16], got[16];
                FillInputs(rng, trial, x, floats);
                const auto* src = reinterpret_cast<const SpComplexF32*>(x);
                {
                    SpScopedCpuLevel generic(0);
                    ASSERT_EQ(
                        SpFftFwdComplex(src, reinterpret_cast<SpComplexF32*>(want), spec0.get(), nullptr),
                        SpOk);
                }
                ASSERT_EQ(SpFftFwdComplex(src, reinterpret_cast<SpComplexF32*>(got), spec.get(), nullptr),
                          SpOk);
                differences.Check(trial, x, got, want, floats, spec->Scale);
            }
            EXPECT_EQ(0, differences.Count()) << "of " << kEntryTrials << " trials\n" << differences.First();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, FftSmallComplexLevelsTest, ::testing::Values(1, 2, 3), SpLevelName);

// Scaling the first stage keeps a transform of large finite points finite wherever the scaled
// result is: two points of 2e38 sum past the float range, a quarter or an eighth of them does
// not. Checked at level 0 against the DFT in double.
TEST(FftSmallComplex, ScaledTransformOfLargePointsStaysFinite)
{
    SpScopedCpuLevel generic(0);
    for (int order : {2, 3})
    {
        SCOPED_TRACE(order);
        const int n = 1 << order;
        SpFftSpec* spec = nullptr;
        ASSERT_EQ(SpFftComplexCreate(&spec, order, SpFftDivFwdByN, 0), SpOk);
        float x[16] = {}, y[16];
        x[0] = x[2] = 2e38f;
        x[3] = -2e38f;
        ASSERT_EQ(SpFftFwdComplex(reinterpret_cast<const SpComplexF32*>(x),
                                  reinterpret_cast<SpComplexF32*>(y), spec, nullptr),
                  SpOk);
        SpFftComplexFree(spec);
        for (int k = 0; k < n; ++k)
        {
            std::complex<double> sum = 0;
            for (int j = 0; j < n; ++j)
            {
                sum += std::complex<double>(x[2 * j], x[2 * j + 1]) * std::polar(1.0, -2 * M_PI * j * k / n);
            }
            sum /= n;
            EXPECT_NEAR(y[2 * k], sum.real(), 1e-6 * 2e38) << "bin " << k;
            EXPECT_NEAR(y[2 * k + 1], sum.imag(), 1e-6 * 2e38) << "bin " << k;
        }
    }
}

} // namespace fft_small_levels
} // namespace
