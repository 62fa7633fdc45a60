// The kernels under the level-1 to level-3 FFT entries, through their own interfaces: the pass
// plans against their documented table, the twiddle tables' layout, bit identity between the
// cores and levels that share their arithmetic, the bit reversal against the index
// permutation, the pair products against a scalar oracle and the byte copy under every offset.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "driver/primitives/fft/sp_fft_levels.h"
#include "sp_fft_level_spec.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

std::string PlanText(const SpFftPassPlan& plan)
{
    std::string text;
    for (int32_t i = 0; i < plan.Count; ++i)
    {
        text += (i ? ", " : "") + std::to_string(plan.Radix[i]) + "/" + std::to_string(plan.Span[i]);
    }
    return text;
}

std::vector<float> Random(size_t n, uint64_t seed)
{
    TestRng rng(seed);
    std::vector<float> v(n);
    for (float& x : v)
    {
        x = float(rng.Uniform(-1, 1));
    }
    return v;
}

TEST(FftLevelPlans, MatchTheDocumentedTableForOrders4To17)
{
    const char* level1[] = {
        "4/4",                                       // 16 (the straight-line path's arithmetic)
        "8/4",                                       // 32
        "4/4, 4/16",                                 // 64
        "8/4, 4/32",                                 // 128
        "4/4, 4/16, 4/64",                           // 256
        "4/4, 8/16, 4/128",                          // 512
        "8/4, 8/32, 4/256",                          // 1024
        "8/4, 8/32, 8/256",                          // 2048
        "4/4, 8/16, 8/128, 4/1024",                  // 4096
        "8/4, 8/32, 8/256, 4/2048",                  // 8192
        "8/4, 8/32, 8/256, 8/2048",                  // 16384
        "4/4, 8/16, 8/128, 8/1024, 4/8192",          // 32768
        "4/4, 8/16, 8/128, 8/1024, 8/8192",          // 65536
        "4/4, 8/16, 8/128, 8/1024, 4/8192, 4/32768", // 131072
    };
    const char* level2[] = {
        "4/4",
        "8/4",
        "4/4, 4/16",
        "4/4, 8/16",
        "8/4, 8/32",
        "4/4, 4/16, 8/64",
        "4/4, 8/16, 8/128",
        "8/4, 8/32, 8/256",
        "4/4, 4/16, 8/64, 8/512",
        "4/4, 8/16, 8/128, 8/1024",
        "8/4, 8/32, 8/256, 8/2048",
        "4/4, 4/16, 8/64, 8/512, 8/4096",
        "4/4, 8/16, 8/128, 8/1024, 8/8192",
        "8/4, 8/32, 8/256, 8/2048, 8/16384",
    };
    for (int order = 4; order <= 17; ++order)
    {
        SpFftPassPlan plan;
        ASSERT_TRUE(SpFftPassPlan_L1(order, &plan));
        EXPECT_EQ(PlanText(plan), level1[order - 4]) << "level 1, order " << order;
        ASSERT_TRUE(SpFftPassPlan_L2(order, &plan));
        EXPECT_EQ(PlanText(plan), level2[order - 4]) << "level 2, order " << order;
    }
}

// Every plan's records hold n - 4 factors; the level-2 table of order c leads that of c + 3.
TEST(FftLevelPlans, TwiddleTablesHoldTheirPlansFactors)
{
    for (int order = 4; order <= 14; ++order)
    {
        SpFftPassPlan plan;
        ASSERT_TRUE(SpFftPassPlan_L1(order, &plan));
        int64_t factors = 0;
        for (int32_t i = 0; i < plan.Count; ++i)
        {
            factors += (plan.Radix[i] - 1) * plan.Span[i];
        }
        EXPECT_EQ(factors, (int64_t(1) << order) - 4) << order;
    }
    for (int order = 4; order <= 11; ++order)
    {
        FftLevelSpec small(2, order), large(2, order + 3);
        const size_t floats = 2 * ((size_t(1) << order) - 4);
        EXPECT_EQ(0, memcmp(small.p->Radix4, large.p->Radix4, 4 * floats)) << order;
    }
    // The first record of 16 points: w_p(k) = exp(-2 pi i p k / 16), cosines then negated sines.
    FftLevelSpec spec(1, 6);
    for (int p = 1; p <= 3; ++p)
    {
        for (int k = 0; k < 4; ++k)
        {
            EXPECT_NEAR(spec.p->Radix4[8 * (p - 1) + k], cos(2 * M_PI * p * k / 16), 1e-7);
            EXPECT_NEAR(spec.p->Radix4[8 * (p - 1) + 4 + k], -sin(2 * M_PI * p * k / 16), 1e-7);
        }
    }
    uint32_t index[5];
    SpFftBuildBitRevIndexTable_L2(4, index);
    EXPECT_EQ(std::vector<uint32_t>(index, index + 5), (std::vector<uint32_t>{0, 4, 2, 6, 0}));
}

// Levels 2 and 3 are one instruction stream; level 1 agrees with them where the plans agree.
TEST(FftLevelIdentity, LevelsWithEqualPlansGiveEqualBits)
{
    if (!SpLevelRunsHere(3))
    {
        GTEST_SKIP() << "needs SSE4.1";
    }
    for (int order = 3; order <= 17; ++order)
    {
        const size_t n = size_t(1) << order;
        const std::vector<float> x = Random(2 * n, order);
        std::vector<float> y[4];
        for (int level = 1; level <= 3; ++level)
        {
            FftLevelSpec spec(level, order);
            y[level].resize(2 * n);
            const auto fwd = level == 1   ? SpFftFwdComplex_L1
                             : level == 2 ? SpFftFwdComplex_L2
                                          : SpFftFwdComplex_L3;
            ASSERT_EQ(fwd(reinterpret_cast<const SpComplexF32*>(x.data()),
                          reinterpret_cast<SpComplexF32*>(y[level].data()), spec.p, nullptr),
                      SpOk);
        }
        EXPECT_EQ(0, memcmp(y[2].data(), y[3].data(), 8 * n)) << "levels 2 and 3, order " << order;
        const bool samePlan =
            order == 3 || order == 4 || order == 5 || order == 6 || order == 11 || order == 14;
        if (samePlan)
        {
            EXPECT_EQ(0, memcmp(y[1].data(), y[2].data(), 8 * n)) << "levels 1 and 2, order " << order;
        }
    }
}

std::vector<float> BitReversed(const std::vector<float>& x, int order)
{
    std::vector<float> y(x.size());
    for (size_t i = 0; i < x.size() / 2; ++i)
    {
        const size_t r = SpFftReverseBits(uint32_t(i), order);
        y[2 * r] = x[2 * i];
        y[2 * r + 1] = x[2 * i + 1];
    }
    return y;
}

// The in-place core on bit-reversed data equals the radix-4 core bit for bit (layout 1), its
// layout 0 holds the same values as blocks, and a misaligned array runs in the work area alike.
TEST(FftLevelIdentity, InPlaceCoreEqualsTheRadix4Core)
{
    for (int level = 1; level <= 2; ++level)
    {
        for (int order : {6, 9, 12, 15})
        {
            SCOPED_TRACE(std::to_string(level) + "/" + std::to_string(order));
            const size_t n = size_t(1) << order;
            FftLevelSpec spec(level, order);
            const auto radix4 = level == 1 ? SpFftRadix4Fwd_L1 : SpFftRadix4Fwd_L2;
            const auto inPlace = level == 1 ? SpFftOrder16Fwd_L1 : SpFftOrder16Fwd_L2;
            const std::vector<float> x = Random(2 * n, 40 + order);
            std::vector<float> work(2 * n + 8);
            float* aligned = reinterpret_cast<float*>((uintptr_t(work.data()) + 15) & ~uintptr_t(15));
            std::vector<float> want(2 * n);
            radix4(x.data(), want.data(), int64_t(n), spec.p->Radix4,
                   reinterpret_cast<const uint32_t*>(spec.p->BitRev), aligned);
            std::vector<float> data = BitReversed(x, order);
            inPlace(data.data(), int64_t(n), spec.p->Radix4, aligned, 1);
            EXPECT_EQ(0, memcmp(data.data(), want.data(), 8 * n));
            std::vector<float> blocks = BitReversed(x, order);
            inPlace(blocks.data(), int64_t(n), spec.p->Radix4, aligned, 0);
            for (size_t p = 0; p < n; ++p)
            {
                const size_t b = p / 4, lane = p % 4;
                ASSERT_EQ(blocks[8 * b + lane], want[2 * p]) << p;
                ASSERT_EQ(blocks[8 * b + 4 + lane], want[2 * p + 1]) << p;
            }
            std::vector<float> shifted(2 * n + 2);
            const std::vector<float> reversed = BitReversed(x, order);
            memcpy(shifted.data() + 2, reversed.data(), 8 * n); // 8 bytes off 16-byte alignment
            float* odd = (uintptr_t(shifted.data() + 2) % 16) ? shifted.data() + 2 : nullptr;
            if (odd)
            {
                inPlace(odd, int64_t(n), spec.p->Radix4, aligned, 1);
                EXPECT_EQ(0, memcmp(odd, want.data(), 8 * n));
            }
        }
    }
}

// Impulses: at point 0 all ones; at point 1 exp(-+2 pi i k/n), forward and inverse.
TEST(FftLevelIdentity, ImpulsesGiveTheirSpectra)
{
    for (int level = 1; level <= 2; ++level)
    {
        for (int order : {3, 4, 5, 10})
        {
            const size_t n = size_t(1) << order;
            FftLevelSpec spec(level, order);
            std::vector<float> work(2 * n + 8);
            float* aligned = reinterpret_cast<float*>((uintptr_t(work.data()) + 15) & ~uintptr_t(15));
            std::vector<float> x(2 * n, 0.0f), y(2 * n);
            x[2] = 1.0f;
            for (int sign : {-1, 1})
            {
                const auto core = level == 1 ? (sign < 0 ? SpFftRadix4Fwd_L1 : SpFftRadix4Inv_L1)
                                             : (sign < 0 ? SpFftRadix4Fwd_L2 : SpFftRadix4Inv_L2);
                core(x.data(), y.data(), int64_t(n), spec.p->Radix4,
                     reinterpret_cast<const uint32_t*>(spec.p->BitRev), aligned);
                for (size_t k = 0; k < n; ++k)
                {
                    ASSERT_NEAR(y[2 * k], cos(2 * M_PI * double(k) / double(n)), 2e-7)
                        << level << " " << order;
                    ASSERT_NEAR(y[2 * k + 1], sign * sin(2 * M_PI * double(k) / double(n)), 2e-7) << k;
                }
            }
        }
    }
}

// dst[rev(i)] = src[i] for every regime (short, tiled), copying or in place; twice is nothing.
TEST(FftLevelKernels, BitReversalIsTheIndexPermutation)
{
    const decltype(&SpFftBitReverseCopy_L1) copies[] = {SpFftBitReverseCopy_L1, SpFftBitReverseCopy_L2,
                                                        SpFftBitReverseCopy_L3};
    const decltype(&SpFftBitReverseInPlace_L1) inPlace[] = {
        SpFftBitReverseInPlace_L1, SpFftBitReverseInPlace_L2, SpFftBitReverseInPlace_L3};
    for (int order : {0, 1, 2, 3, 4, 5, 6, 7, 12, 16, 17, 18, 19})
    {
        const size_t n = size_t(1) << order;
        std::vector<float> x(2 * n);
        for (size_t i = 0; i < n; ++i)
        {
            x[2 * i] = float(i);
            x[2 * i + 1] = -float(i);
        }
        const std::vector<float> want = BitReversed(x, order);
        std::vector<uint32_t> table(n / 4 + 8);
        SpFftBuildBitRevIndexTable_L2(order, table.data());
        for (int l = 0; l < 3; ++l)
        {
            std::vector<float> y(2 * n + 2, 7.0f);
            copies[l](x.data(), y.data() + 2, int64_t(n),
                      table.data()); // 8 bytes off: alignment does not matter
            ASSERT_EQ(0, memcmp(y.data() + 2, want.data(), 8 * n)) << order;
            ASSERT_EQ(y[1], 7.0f);
            std::vector<float> z = x;
            inPlace[l](z.data(), int64_t(n), table.data());
            ASSERT_EQ(z, want) << order;
            inPlace[l](z.data(), int64_t(n), table.data());
            ASSERT_EQ(z, x) << order;
        }
    }
    std::vector<float> eight(16);
    for (int i = 0; i < 8; ++i)
    {
        eight[2 * i] = float(i);
    }
    SpFftBitReverseInPlace_L2(eight.data(), 8, nullptr);
    const float order8[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    for (int i = 0; i < 8; ++i)
    {
        EXPECT_EQ(eight[2 * i], order8[i]);
    }
}

// (ar br - ai bi, ai br + ar bi), each product rounded once, for 0 to 9 pairs at every 8-byte
// offset of the three arrays; the vector body and its tail agree with the scalar oracle.
TEST(FftLevelKernels, PairProductsAreTheScalarProductsBitForBit)
{
    const decltype(&SpSpectrumMul_L1) mul[] = {SpSpectrumMul_L1, SpSpectrumMul_L2, SpSpectrumMul_L3};
    const std::vector<float> a = Random(24, 1), b = Random(24, 2);
    for (int l = 0; l < 3; ++l)
    {
        for (int64_t pairs = 0; pairs <= 9; ++pairs)
        {
            for (int offset = 0; offset < 8; ++offset)
            {
                const int oa = 2 * (offset & 1), ob = offset & 2, od = (offset & 4) / 2;
                std::vector<float> dst(24, 3.0f);
                mul[l](a.data() + oa, b.data() + ob, dst.data() + od, pairs);
                for (int64_t i = 0; i < pairs; ++i)
                {
                    volatile float p1 = a[oa + 2 * i] * b[ob + 2 * i],
                                   p2 = a[oa + 2 * i + 1] * b[ob + 2 * i + 1];
                    volatile float p3 = a[oa + 2 * i + 1] * b[ob + 2 * i],
                                   p4 = a[oa + 2 * i] * b[ob + 2 * i + 1];
                    ASSERT_EQ(dst[od + 2 * i], p1 - p2) << pairs << " " << i;
                    ASSERT_EQ(dst[od + 2 * i + 1], p3 + p4) << pairs << " " << i;
                }
                ASSERT_EQ(dst[od + 2 * pairs], 3.0f);
            }
        }
        float x[2] = {1, 2};
        const float y[2] = {3, 4};
        const decltype(&SpSpectrumMulInPlace_L1) inPlace[] = {
            SpSpectrumMulInPlace_L1, SpSpectrumMulInPlace_L2, SpSpectrumMulInPlace_L3};
        inPlace[l](y, x, 1);
        EXPECT_EQ(x[0], -5.0f);
        EXPECT_EQ(x[1], 10.0f);
    }
}

// Every count around the vector widths and the non-temporal threshold, at every source and
// destination offset: the bytes arrive and the guards stay.
TEST(FftLevelKernels, ByteCopyIsExactAtEveryOffset)
{
    const decltype(&SpCopyBytes_L1) copies[] = {SpCopyBytes_L1, SpCopyBytes_L2, SpCopyBytes_L3};
    std::vector<uint8_t> src((4 << 20) + 64), dst((4 << 20) + 96);
    for (size_t i = 0; i < src.size(); ++i)
    {
        src[i] = uint8_t(i * 131 + 7);
    }
    for (int64_t count : {int64_t(0), int64_t(1), int64_t(15), int64_t(63), int64_t(64), int64_t(65),
                          int64_t(1048575), int64_t(1 << 20), int64_t(4 << 20)})
    {
        const int offsets = count > 4096 ? 4 : 16;
        for (int s = 0; s < offsets; ++s)
        {
            for (int d = 0; d < offsets; ++d)
            {
                const int l = (s + d + int(count)) % 3;
                memset(dst.data(), 0xEE, size_t(count) + 64);
                copies[l](src.data() + s, dst.data() + 16 + d, count);
                ASSERT_EQ(0, memcmp(dst.data() + 16 + d, src.data() + s, size_t(count)))
                    << count << " " << s << " " << d;
                ASSERT_EQ(dst[15 + d], 0xEE);
                ASSERT_EQ(dst[16 + d + count], 0xEE) << count;
            }
        }
    }
}

// The small kernels evaluate their documented formulas: the real order 2 of [1, 2, 3, 4], the
// complex order 2 of an impulse at x1 and order 3's first bin.
TEST(FftLevelKernels, SmallKernelsGiveTheirDocumentedValues)
{
    const float x[4] = {1, 2, 3, 4};
    float y[4], z[4];
    SpFftRealKernelFwdOrder2_L2(x, y);
    EXPECT_EQ(std::vector<float>(y, y + 4), (std::vector<float>{10, -2, -2, 2}));
    SpFftRealKernelInvOrder2_L3(y, z);
    EXPECT_EQ(std::vector<float>(z, z + 4), (std::vector<float>{4, 8, 12, 16}));
    const float impulse4[8] = {0, 0, 1, 0, 0, 0, 0, 0};
    float c4[8];
    SpFftComplexKernelOrder2_L1(impulse4, c4);
    EXPECT_EQ(std::vector<float>(c4, c4 + 8), (std::vector<float>{1, 0, 0, -1, -1, 0, 0, 1}));
    const float impulse8[16] = {0, 0, 1, 0};
    float c8[16];
    SpFftComplexKernelOrder3_L3(impulse8, c8);
    EXPECT_EQ(c8[2], 0.70710677f);
    EXPECT_EQ(c8[3], -0.70710677f);
}

// The scaled small complex kernels of every level's row of the kernel table: the DFT times the
// scale against double arithmetic, one set of bits at every level (scalar code of one
// expression order), with a power-of-two scale exactly the unscaled output scaled, and in place
// alike. The table's level-3 row holds level 2's order-2 kernels.
TEST(FftLevelKernels, ScaledSmallComplexKernelsScaleTheFirstStage)
{
    typedef void (*Scaled)(const float*, float*, float);
    typedef void (*Unscaled)(const float*, float*);
    EXPECT_EQ(SpFftComplexKernelTable[8 * 3 + 2], reinterpret_cast<SpEntry>(&SpFftComplexKernelOrder2_L2));
    EXPECT_EQ(SpFftComplexKernelTable[8 * 3 + 6],
              reinterpret_cast<SpEntry>(&SpFftComplexKernelOrder2Scaled_L2));
    EXPECT_EQ(SpFftComplexKernelTable[8 * 3 + 7],
              reinterpret_cast<SpEntry>(&SpFftComplexKernelOrder3Scaled_L3));
    TestRng rng(31);
    for (int level = 1; level <= 3; ++level)
    {
        if (!SpLevelRunsHere(level))
        {
            continue;
        }
        for (int order : {2, 3})
        {
            SCOPED_TRACE(std::to_string(level) + "/" + std::to_string(order));
            const int n = 1 << order;
            const auto scaled = reinterpret_cast<Scaled>(SpFftComplexKernelTable[8 * level + 4 + order]);
            const auto unscaled = reinterpret_cast<Unscaled>(SpFftComplexKernelTable[8 * level + order]);
            const auto level1 = reinterpret_cast<Scaled>(SpFftComplexKernelTable[8 + 4 + order]);
            for (int trial = 0; trial < 50; ++trial)
            {
                float x[16], y[16], want[16], plain[16];
                for (int i = 0; i < 2 * n; ++i)
                {
                    x[i] = float(rng.Uniform(-4, 4));
                }
                const float scale = trial % 2 ? 0.25f : float(rng.Uniform(0.01, 3));
                scaled(x, y, scale);
                level1(x, want, scale);
                ASSERT_EQ(0, memcmp(y, want, 8 * size_t(n)));
                if (trial % 2)
                {
                    unscaled(x, plain);
                    for (int i = 0; i < 2 * n; ++i)
                    {
                        ASSERT_EQ(y[i], plain[i] * 0.25f) << i;
                    }
                }
                for (int k = 0; k < n; ++k)
                {
                    double re = 0, im = 0;
                    for (int j = 0; j < n; ++j)
                    {
                        const double a = -2 * M_PI * j * k / n;
                        re += x[2 * j] * cos(a) - x[2 * j + 1] * sin(a);
                        im += x[2 * j] * sin(a) + x[2 * j + 1] * cos(a);
                    }
                    ASSERT_NEAR(y[2 * k], re * scale, 1e-5 * n * (1 + scale)) << k;
                    ASSERT_NEAR(y[2 * k + 1], im * scale, 1e-5 * n * (1 + scale)) << k;
                }
                float same[16];
                memcpy(same, x, sizeof(x));
                scaled(same, same, scale);
                ASSERT_EQ(0, memcmp(same, y, 8 * size_t(n)));
            }
        }
    }
}

} // namespace

namespace
{

struct PlanarKernels
{
    decltype(&SpFftReImFwd_L1) Fwd, Inv;
    decltype(&SpFftReImInPlaceFwd_L1) InPlaceFwd, InPlaceInv;
    decltype(&SpFftRadix4Fwd_L1) Radix4;
};

const PlanarKernels kPlanar[3] = {
    {SpFftReImFwd_L1, SpFftReImInv_L1, SpFftReImInPlaceFwd_L1, SpFftReImInPlaceInv_L1, SpFftRadix4Fwd_L1},
    {SpFftReImFwd_L2, SpFftReImInv_L2, SpFftReImInPlaceFwd_L2, SpFftReImInPlaceInv_L2, SpFftRadix4Fwd_L2},
    {SpFftRadix4FwdPlanar_L3, SpFftRadix4InvPlanar_L3, SpFftInPlaceFwdPlanar_L3, SpFftInPlaceInvPlanar_L3,
     SpFftRadix4Fwd_L3},
};

// The separate-array cores equal the interleaved core of their level bit for bit, at any
// alignment; the in-place form on bit-reversed arrays equals them, and its inverse after a bit
// reversal returns n times the input.
TEST(FftLevelPlanar, SeparateArraysGiveTheInterleavedCoresBits)
{
    for (int level = 1; level <= 3; ++level)
    {
        const PlanarKernels& k = kPlanar[level - 1];
        for (int order = 3; order <= 12; ++order)
        {
            SCOPED_TRACE(std::to_string(level) + "/" + std::to_string(order));
            const size_t n = size_t(1) << order;
            FftLevelSpec spec(level, order);
            const auto* index = reinterpret_cast<const uint32_t*>(spec.p->BitRev);
            const std::vector<float> x = Random(2 * n, 60 + order);
            std::vector<float> work(2 * n + 8);
            float* w = reinterpret_cast<float*>((uintptr_t(work.data()) + 15) & ~uintptr_t(15));
            std::vector<float> want(2 * n);
            k.Radix4(x.data(), want.data(), int64_t(n), spec.p->Radix4, index, w);
            std::vector<float> re(n + 1), im(n + 1), outRe(n + 1), outIm(n + 1);
            for (size_t i = 0; i < n; ++i)
            {
                re[i + 1] = x[2 * i]; // 4 bytes off 16-byte alignment
                im[i + 1] = x[2 * i + 1];
            }
            k.Fwd(re.data() + 1, im.data() + 1, outRe.data() + 1, outIm.data() + 1, int64_t(n),
                  spec.p->Radix4, index, w);
            for (size_t i = 0; i < n; ++i)
            {
                ASSERT_EQ(outRe[i + 1], want[2 * i]) << i;
                ASSERT_EQ(outIm[i + 1], want[2 * i + 1]) << i;
            }
            if (order < 6)
            {
                continue;
            }
            std::vector<float> bre(n), bim(n);
            for (size_t i = 0; i < n; ++i)
            {
                const size_t r = SpFftReverseBits(uint32_t(i), order);
                bre[r] = x[2 * i];
                bim[r] = x[2 * i + 1];
            }
            k.InPlaceFwd(bre.data(), bim.data(), int64_t(n), spec.p->Radix4, w);
            ASSERT_EQ(0, memcmp(bre.data(), outRe.data() + 1, 4 * n));
            ASSERT_EQ(0, memcmp(bim.data(), outIm.data() + 1, 4 * n));
            std::vector<float> rre(n), rim(n);
            for (size_t i = 0; i < n; ++i)
            {
                const size_t r = SpFftReverseBits(uint32_t(i), order);
                rre[r] = bre[i];
                rim[r] = bim[i];
            }
            k.InPlaceInv(rre.data(), rim.data(), int64_t(n), spec.p->Radix4, w);
            for (size_t i = 0; i < n; ++i)
            {
                ASSERT_NEAR(rre[i], float(n) * x[2 * i], 1e-4 * n) << i;
                ASSERT_NEAR(rim[i], float(n) * x[2 * i + 1], 1e-4 * n) << i;
            }
        }
    }
}

// Applied to the indices stored as elements, every width gives rev(i) from the spec's index table;
// twice restores them, and the copy equals the in-place form. The larger orders sit on either side
// of each width's copy-walk switch (131,072 elements at 4 bytes, 65,536 at 8 and 16).
TEST(FftLevelKernels, BitReversalOfEveryElementWidthIsThePermutation)
{
    for (int order : {3, 4, 12, 16, 17, 18})
    {
        const size_t n = size_t(1) << order;
        std::vector<uint32_t> table(n / 4 + 8);
        SpFftBuildBitRevIndexTable_L1(order, table.data());
        std::vector<uint32_t> u(n), uc(n + 1);
        std::vector<double> d(n), dc(n + 1);
        std::vector<uint64_t> w(2 * n), wc(2 * n + 2);
        for (size_t i = 0; i < n; ++i)
        {
            u[i] = uint32_t(i);
            d[i] = double(i);
            w[2 * i] = i;
            w[2 * i + 1] = ~uint64_t(i);
        }
        const std::vector<double> d0 = d;
        SpFftBitReverseCopy32_L2(u.data(), uc.data() + 1, int64_t(n), table.data()); // misaligned destination
        SpFftBitReverseInPlace32_L1(u.data(), int64_t(n), table.data());
        SpFftBitReverseCopy8b_L3(d.data(), dc.data() + 1, int64_t(n), table.data());
        SpFftBitReverseInPlaceF64_L2(d.data(), int64_t(n), table.data());
        SpFftBitReverseCopy128_L1(w.data(), wc.data() + 1, int64_t(n), table.data());
        SpFftBitReverseInPlace16_L3(w.data(), int64_t(n), table.data());
        for (size_t i = 0; i < n; ++i)
        {
            const uint32_t r = SpFftReverseBits(uint32_t(i), order);
            ASSERT_EQ(u[i], r) << order;
            ASSERT_EQ(uc[i + 1], r);
            ASSERT_EQ(d[i], double(r));
            ASSERT_EQ(dc[i + 1], double(r));
            ASSERT_EQ(w[2 * i], r);
            ASSERT_EQ(w[2 * i + 1], ~uint64_t(r));
            ASSERT_EQ(wc[2 * i + 1], r);
            ASSERT_EQ(wc[2 * i + 2], ~uint64_t(r));
        }
        // The 8-byte form moves the same bytes as the complex form.
        std::vector<double> viaComplex(n);
        SpFftBitReverseCopy_L2(reinterpret_cast<const float*>(d0.data()),
                               reinterpret_cast<float*>(viaComplex.data()), int64_t(n), table.data());
        ASSERT_EQ(0, memcmp(viaComplex.data(), d.data(), 8 * n)) << order;
        SpFftBitReverseInPlace4_L3(u.data(), int64_t(n), table.data());
        SpFftBitReverseCopy32_L1(uc.data() + 1, u.data(), int64_t(n), table.data()); // misaligned source
        SpFftBitReverseInPlace128_L2(w.data(), int64_t(n), table.data());
        for (size_t i = 0; i < n; ++i)
        {
            ASSERT_EQ(u[i], uint32_t(i)) << order;
            ASSERT_EQ(w[2 * i], i);
        }
    }
}

} // namespace

namespace
{

// Two decimated halves and the combining pass give the 8n-point DFT, interleaved or planar, in
// both directions; the inverse uses the conjugate factors.
TEST(FftLevelDecim8, TwoHalvesAndTheCombiningPassGiveTheWholeTransform)
{
    for (int level = 2; level <= 3; ++level)
    {
        for (int order : {6, 7, 10})
        {
            SCOPED_TRACE(std::to_string(level) + "/" + std::to_string(order));
            const int64_t n = int64_t(1) << order, total = 8 * n;
            FftLevelSpec sub(level, order), whole(level, order + 3);
            const float* table = whole.p->Radix4; // leads with the order's own table
            const float* combine = table + 2 * (n - 4);
            const auto* index = reinterpret_cast<const uint32_t*>(sub.p->BitRev);
            const std::vector<float> x = Random(size_t(2 * total), 80 + order);
            std::vector<float> re(static_cast<size_t>(total)), im(static_cast<size_t>(total));
            for (int64_t i = 0; i < total; ++i)
            {
                re[size_t(i)] = x[size_t(2 * i)];
                im[size_t(i)] = x[size_t(2 * i + 1)];
            }
            for (int sign : {-1, 1})
            {
                const auto half = level == 2 ? (sign < 0 ? SpFftDecim8HalfFwd_L2 : SpFftDecim8HalfInv_L2)
                                             : (sign < 0 ? SpFftSubBlocksFwd_L3 : SpFftSubBlocksInv_L3);
                const auto halfReIm =
                    level == 2 ? (sign < 0 ? SpFftDecim8HalfReImFwd_L2 : SpFftDecim8HalfReImInv_L2)
                               : (sign < 0 ? SpFftSubBlocksFwdPlanar_L3 : SpFftSubBlocksInvPlanar_L3);
                const auto comb = level == 2
                                      ? (sign < 0 ? SpFftRadix8CombineFwd_L2 : SpFftRadix8CombineInv_L2)
                                      : (sign < 0 ? SpFftRadix8CombineFwd_L3 : SpFftRadix8CombineInv_L3);
                const auto combReIm =
                    level == 2 ? (sign < 0 ? SpFftRadix8CombineReImFwd_L2 : SpFftRadix8CombineReImInv_L2)
                               : (sign < 0 ? SpFftRadix8CombineFwdPlanar_L3 : SpFftRadix8CombineInvPlanar_L3);
                std::vector<float> work(size_t(8 * n) + 8), y(size_t(2 * total) + 8),
                    z(size_t(2 * total) + 8);
                float* w = reinterpret_cast<float*>((uintptr_t(work.data()) + 15) & ~uintptr_t(15));
                float* ya = reinterpret_cast<float*>((uintptr_t(y.data()) + 15) & ~uintptr_t(15));
                float* za = reinterpret_cast<float*>((uintptr_t(z.data()) + 15) & ~uintptr_t(15));
                const auto* cx = reinterpret_cast<const SpComplexF32*>(x.data());
                half(cx, ya, n, table, index, w);
                half(cx + 4, ya + 8 * n, n, table, index, w);
                halfReIm(re.data(), im.data(), za, n, table, index);
                halfReIm(re.data() + 4, im.data() + 4, za + 8 * n, n, table, index);
                ASSERT_EQ(0, memcmp(ya, za, size_t(8 * total))); // both source forms, one result
                std::vector<float> out(static_cast<size_t>(2 * total)), outRe(static_cast<size_t>(total)),
                    outIm(static_cast<size_t>(total));
                combReIm(za, outRe.data(), outIm.data(), n, int32_t(n), combine);
                // A destination 8 bytes off alignment leaves the source as it was.
                const std::vector<float> before(ya, ya + 2 * total);
                std::vector<float> shifted(static_cast<size_t>(2 * total + 8));
                float* odd = reinterpret_cast<float*>((uintptr_t(shifted.data()) + 15) & ~uintptr_t(15)) + 2;
                comb(ya, reinterpret_cast<SpComplexF32*>(odd), n, n, combine);
                ASSERT_EQ(0, memcmp(before.data(), ya, size_t(8 * total)));
                memcpy(out.data(), odd, size_t(8 * total));
                double err = 0, peak = 0;
                for (int64_t k = 0; k < total; k += 97)
                {
                    double wr = 0, wi = 0;
                    for (int64_t j = 0; j < total; ++j)
                    {
                        const double a = sign * 2 * M_PI * double((j * k) % total) / double(total);
                        wr += x[size_t(2 * j)] * cos(a) - x[size_t(2 * j + 1)] * sin(a);
                        wi += x[size_t(2 * j)] * sin(a) + x[size_t(2 * j + 1)] * cos(a);
                    }
                    err = fmax(err, fmax(fabs(out[size_t(2 * k)] - wr), fabs(out[size_t(2 * k + 1)] - wi)));
                    peak = fmax(peak, fmax(fabs(wr), fabs(wi)));
                    ASSERT_EQ(outRe[size_t(k)], out[size_t(2 * k)]);
                    ASSERT_EQ(outIm[size_t(k)], out[size_t(2 * k + 1)]);
                }
                EXPECT_LT(err / peak, 1e-5) << sign;
            }
        }
    }
}

// The combining pass processes whole groups of four: count 8 of n = 16 writes k = 0..7 of each
// position, count 5 two groups, count 1 one; Y_0 = 1 alone gives ones at every position.
TEST(FftLevelDecim8, CombiningCountsWholeGroupsAndY0AloneGivesOnes)
{
    FftLevelSpec spec(2, 7); // n = 16: the last segment of the order-7 table is the span-16 pass
    const float* records = spec.p->Radix4 + 2 * (16 - 4);
    alignas(16) float src[8 * 16 * 2] = {};
    for (int k = 0; k < 16; ++k)
    {
        src[2 * 4 * (k / 4) + k % 4] = 1.0f; // Y_0[k] = 1 in the block layout
    }
    for (int64_t count : {8, 5, 1})
    {
        std::vector<float> out(2 * 128, 9.0f);
        SpFftRadix8CombineFwd_L2(src, reinterpret_cast<SpComplexF32*>(out.data()), 16, count, records);
        const int64_t done = count <= 4 ? 4 : 8;
        for (int q = 0; q < 8; ++q)
        {
            for (int k = 0; k < 16; ++k)
            {
                const size_t at = size_t(2 * (q * 16 + k));
                if (k < done)
                {
                    ASSERT_EQ(out[at], 1.0f) << q << " " << k;
                    ASSERT_EQ(out[at + 1], 0.0f);
                }
                else
                {
                    ASSERT_EQ(out[at], 9.0f) << count << " " << q << " " << k;
                }
            }
        }
    }
}

} // namespace

namespace
{

// A processor as CPUID describes it: vendor, highest leaf, leaf-4 core field, leaf-2 registers.
struct FakeCpu
{
    bool Intel;
    uint32_t CoresField;
    uint32_t Leaf2[4];
};
FakeCpu g_fakeCpu;

void FakeCpuId(uint32_t regs[4], uint32_t leaf, uint32_t)
{
    regs[0] = regs[1] = regs[2] = regs[3] = 0;
    if (leaf == 0)
    {
        regs[0] = 4;
        regs[1] = g_fakeCpu.Intel ? 0x756E6547u : 0x68747541u; // "Genu" or "Auth"
        regs[3] = g_fakeCpu.Intel ? 0x49656E69u : 0x69746E65u;
        regs[2] = g_fakeCpu.Intel ? 0x6C65746Eu : 0x444D4163u;
    }
    else if (leaf == 2)
    {
        memcpy(regs, g_fakeCpu.Leaf2, sizeof(g_fakeCpu.Leaf2));
    }
    else if (leaf == 4)
    {
        regs[0] = g_fakeCpu.CoresField << 26;
    }
}

class FakeCpuScope
{
public:
    explicit FakeCpuScope(const FakeCpu& cpu) : m_saved(SpSetCpuIdForTest(FakeCpuId)) { g_fakeCpu = cpu; }
    ~FakeCpuScope() { SpSetCpuIdForTest(m_saved); }

private:
    SpCpuIdFn m_saved;
};

// The cache size comes from the first listed leaf-2 descriptor on GenuineIntel processors only,
// per core sharing it at level 1; then copies long enough to stream give the same bytes.
TEST(FftLevelKernels, ByteCopyStreamsPastHalfTheDescribedCache)
{
    const struct
    {
        FakeCpu Cpu;
        int64_t Level1, Level2;
    } rows[] = {
        {{true, 1, {0x00004301u, 0, 0, 0}}, 262144, 524288},                       // 512 KiB, two cores
        {{true, 0, {0x00000001u, 0x80000049u, 0x00000048u, 0}}, 3145728, 3145728}, // EBX empty: 3 MiB
        {{true, 0, {0x00004D02u, 0, 0, 0}}, 0, 0},                                 // leaf 2 asked twice
        {{false, 0, {0x00004301u, 0, 0, 0}}, 0, 0},                                // another vendor
        {{true, 0, {0x00000001u, 0, 0, 0}}, 0, 0},                                 // no listed descriptor
    };
    std::vector<uint8_t> src((4 << 20) + 64), dst((4 << 20) + 64);
    for (size_t i = 0; i < src.size(); ++i)
    {
        src[i] = uint8_t(i * 7 + 3);
    }
    for (const auto& r : rows)
    {
        FakeCpuScope cpu(r.Cpu);
        EXPECT_EQ(SpCopyCacheBytes(1), r.Level1);
        EXPECT_EQ(SpCopyCacheBytes(2), r.Level2);
        for (int offset : {0, 8})
        {
            memset(dst.data(), 0, dst.size());
            const int64_t count = (4 << 20) - 5;
            (offset ? SpCopyBytes_L1 : SpCopyBytes_L2)(src.data() + 3, dst.data() + 16 + offset, count);
            ASSERT_EQ(0, memcmp(dst.data() + 16 + offset, src.data() + 3, size_t(count)));
            ASSERT_EQ(dst[15 + offset], 0);
            ASSERT_EQ(dst[16 + offset + count], 0);
        }
    }
}

} // namespace

namespace
{

// The split and merge run four pairs a vector and the rest one by one; both give the pair
// formula's bits, so every half length from 8 to 64 (vector body, tail, both) matches a scalar
// evaluation, and the three levels agree.
TEST(FftLevelKernels, SplitAndMergeVectorBodyAndTailGiveThePairFormula)
{
    for (int order = 4; order <= 7; ++order)
    {
        const int64_t m = int64_t(1) << (order - 1);
        SpFftSpec* spec = nullptr;
        ASSERT_EQ(SpFftRealCreate_L2(&spec, order, SpFftNoDivide, 0), SpOk);
        const float* split = spec->RealSplit;
        const float* merge = spec->RealMerge;
        const std::vector<float> z = Random(size_t(2 * m), order);
        std::vector<float> want = z, wantMerge(size_t(2 * m));
        for (int64_t k = 1; k < m / 2; ++k)
        {
            const float xr = z[2 * k], xi = z[2 * k + 1], yr = z[2 * (m - k)], yi = z[2 * (m - k) + 1];
            const float* block = split + 8 * ((k - 1) / 4);
            const float p = block[(k - 1) % 4], q = block[4 + (k - 1) % 4];
            const float t = q * (xr - yr) + p * (xi + yi), u = q * (xi + yi) - p * (xr - yr);
            want[2 * k] = yr + t;
            want[2 * k + 1] = u - yi;
            want[2 * (m - k)] = xr - t;
            want[2 * (m - k) + 1] = u - xi;
            const float* mergeBlock = merge + 8 * ((k - 1) / 4);
            const float c = mergeBlock[(k - 1) % 4], s = mergeBlock[4 + (k - 1) % 4];
            const float t1 = s * (xr - yr) - c * (xi + yi), t2 = c * (xr - yr) + s * (xi + yi);
            wantMerge[2 * k] = xr + yr + t1;
            wantMerge[2 * k + 1] = xi - yi + t2;
            wantMerge[2 * (m - k)] = xr + yr - t1;
            wantMerge[2 * (m - k) + 1] = t2 - (xi - yi);
        }
        want[2 * (m / 2) + 1] = -want[2 * (m / 2) + 1];
        wantMerge[2 * (m / 2)] = 2.0f * z[2 * (m / 2)];
        wantMerge[2 * (m / 2) + 1] = -2.0f * z[2 * (m / 2) + 1];
        const decltype(&SpFftRealFwdPostProcess_L1) posts[] = {
            SpFftRealFwdPostProcess_L1, SpFftRealFwdPostProcess_L2, SpFftRealFwdPostProcess_L3};
        const decltype(&SpFftRealInvPreProcess_L1) pres[] = {
            SpFftRealInvPreProcess_L1, SpFftRealInvPreProcess_L2, SpFftRealInvPreProcess_L3};
        for (int l = 0; l < 3; ++l)
        {
            std::vector<float> got = z, merged(size_t(2 * m));
            posts[l](got.data(), m, split);
            pres[l](z.data(), merged.data(), m, merge);
            for (int64_t i = 2; i < 2 * m; ++i)
            {
                ASSERT_EQ(got[size_t(i)], want[size_t(i)]) << order << " split " << i;
                ASSERT_EQ(merged[size_t(i)], wantMerge[size_t(i)]) << order << " merge " << i;
            }
        }
        SpFftRealFree(spec);
    }
}

} // namespace
