// The pieces of the level-1 to level-3 large-order drivers through their own interfaces: the
// tiled reordering table and the swap-list and tiled reversals against the index permutation,
// the row transfers, the twiddle passes against the small DFTs they stand for, the column tables
// against the sine lookups, one recursive step built and run on its own against a double FFT,
// and the source of an out-of-place transform left untouched.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <complex>
#include <utility>
#include <vector>

#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/fft/sp_fft_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

typedef std::complex<double> Cd;

// One level's kernels under test, so that every case runs the three builds from one table.
struct LevelKernels
{
    int Level;
    void (*Tile)(float*, int64_t, const int32_t*);
    void (*Tiled)(float*, int64_t, const uint32_t*, uint8_t*);
    void (*InPlace)(float*, int64_t, const uint32_t*);
    uint8_t* (*TiledTable)(int32_t, int32_t, uint32_t*);
    void (*Gather)(const float*, void*, int64_t, int64_t, int64_t);
    void (*Scatter)(float*, const void*, int64_t, int64_t, int64_t, int32_t);
    void (*Radix4Fwd)(const float*, float*, int64_t, int64_t, const float*);
    void (*Radix4Inv)(const float*, float*, int64_t, int64_t, const float*);
    void (*Radix8Fwd)(float*, float*, int64_t, int64_t, const float*);
    uint8_t* (*InitStep)(SpFftSpec*, int32_t, SpFftSine, int32_t, uint8_t*);
    void (*FwdStep)(const SpFftSpec*, float*, int32_t, int32_t, float*);
    SpFftSizes (*SizeStep)(int32_t);
    SpStatus (*CopyChecked)(const void*, void*, int32_t);
    SpStatus (*Zero)(void*, int32_t);
    void (*Tile32A)(uint32_t*, int64_t, const int32_t*);
    void (*Tile32B)(uint32_t*, int64_t, const int32_t*);
    void (*Tile64A)(double*, int64_t, const int32_t*);
    void (*Tile64B)(double*, int64_t, const int32_t*);
    void (*Tile128)(void*, int64_t, const int32_t*);
    void (*CopyPairs32)(const uint32_t*, uint32_t*, int64_t, const int32_t*);
    void (*CopyPairs64)(const double*, double*, int64_t, const int32_t*);
    SpStatus (*ComplexCreate)(SpFftSpec**, int32_t, int32_t, int32_t);
    SpStatus (*FwdComplex)(const SpComplexF32*, SpComplexF32*, const SpFftSpec*, uint8_t*);
    void (*Radix2Fwd)(const float*, float*, int64_t, int64_t, const float*);
    void (*Radix2Inv)(const float*, float*, int64_t, int64_t, const float*);
    void (*GatherPlanar)(const float*, const float*, void*, int64_t, int64_t, int64_t);
    void (*ScatterPlanar)(float*, float*, const void*, int64_t, int64_t, int64_t);
};

// The pair-list reversals of the other widths, by their level's names (level 3 has its own).
#define SP_PAIR_WIDTHS_L12(L)                                                                                \
    SpFftBitReverseTile32A_##L, SpFftBitReverseTile32B_##L, SpFftBitReverseTile64A_##L,                      \
        SpFftBitReverseTile64B_##L, SpFftBitReverseTile128_##L, SpFftBitReverseCopyPairs32_##L,              \
        SpFftBitReverseCopyPairs64_##L
#define SP_PAIR_WIDTHS_L3                                                                                    \
    SpFftBitReversePairInPlace4_L3, SpFftBitReversePairInPlace4b_L3, SpFftBitReversePairInPlace8_L3,         \
        SpFftBitReversePairInPlace8b_L3, SpFftBitReversePairInPlace16_L3, SpFftBitReversePairCopy4_L3,       \
        SpFftBitReversePairCopy8_L3

#define SP_LEVEL_KERNELS(N, L, PAIRS)                                                                        \
    {                                                                                                        \
        N, SpFftBitReverseTile_##L, SpFftBitReverseTiled_##L, SpFftBitReverseInPlace_##L,                    \
            N == 1 ? SpFftBuildTiledBitRevTable_L1 : SpFftBuildTiledBitRevTable_L2,                          \
            SpFftLargeGatherBlock_##L, SpFftLargeScatterBlock_##L, SpFftTwiddleRadix4Fwd_##L,                \
            SpFftTwiddleRadix4Inv_##L, SpFftTwiddleRadix8Fwd_##L, SpFftInitLargeTablesStep_##L,              \
            SpFftLargeFwdStep_##L, SpFftGetLargeBufferSizeStep_##L, SpCopyBytesChecked_##L,                  \
            SpZeroBuffer_##L, PAIRS, SpFftComplexCreate_##L, SpFftFwdComplex_##L, SpFftTwiddleRadix2Fwd_##L, \
            SpFftTwiddleRadix2Inv_##L, SpFftLargeGatherPlanarBlock_##L, SpFftLargeScatterPlanarBlock_##L     \
    }

const LevelKernels kLevels[] = {SP_LEVEL_KERNELS(1, L1, SP_PAIR_WIDTHS_L12(L1)),
                                SP_LEVEL_KERNELS(2, L2, SP_PAIR_WIDTHS_L12(L2)),
                                SP_LEVEL_KERNELS(3, L3, SP_PAIR_WIDTHS_L3)};

uint32_t Rev(uint64_t x, int bits)
{
    uint32_t r = 0;
    for (int b = 0; b < bits; ++b)
    {
        r |= uint32_t((x >> b) & 1) << (bits - 1 - b);
    }
    return r;
}

int Log2(int64_t n)
{
    int order = 0;
    while ((int64_t(1) << order) < n)
    {
        ++order;
    }
    return order;
}

// The generic build's swap list of an order, in a buffer of its own.
std::vector<int32_t> SwapList(int order)
{
    std::vector<int32_t> list((size_t(1) << (order > 2 ? order - 2 : 0)) + 16, -1);
    SpFftBuildBitRevTable(reinterpret_cast<uint8_t*>(list.data()), order);
    return list;
}

// Points whose real part is their index, in an array `offset` floats past 16-byte alignment.
struct Points
{
    std::vector<float> Storage;
    float* Data;
    Points(int64_t n, int offset) : Storage(size_t(2 * n + 8)), Data(nullptr)
    {
        uintptr_t at = reinterpret_cast<uintptr_t>(Storage.data());
        Data = Storage.data() + ((16 - at % 16) % 16) / 4 + offset;
        for (int64_t i = 0; i < n; ++i)
        {
            Data[2 * i] = float(i);
            Data[2 * i + 1] = float(-i);
        }
    }
};

bool IsReversed(const float* data, int64_t n)
{
    const int bits = Log2(n);
    for (int64_t i = 0; i < n; ++i)
    {
        if (data[2 * i] != float(Rev(i, bits)) || data[2 * i + 1] != -float(Rev(i, bits)))
        {
            return false;
        }
    }
    return true;
}

// Radix-2 FFT in double; checked against the direct sum below.
std::vector<Cd> Fft(std::vector<Cd> x, int sign)
{
    const size_t n = x.size();
    const int bits = Log2(int64_t(n));
    for (size_t i = 0; i < n; ++i)
    {
        const size_t j = Rev(i, bits);
        if (i < j)
        {
            std::swap(x[i], x[j]);
        }
    }
    std::vector<Cd> w(n / 2 + 1);
    for (size_t k = 0; k < n / 2; ++k)
    {
        w[k] = std::polar(1.0, sign * 2.0 * M_PI * double(k) / double(n));
    }
    for (size_t len = 2; len <= n; len *= 2)
    {
        for (size_t i = 0; i < n; i += len)
        {
            for (size_t k = 0; k < len / 2; ++k)
            {
                const Cd a = x[i + k], b = x[i + k + len / 2] * w[k * (n / len)];
                x[i + k] = a + b;
                x[i + k + len / 2] = a - b;
            }
        }
    }
    return x;
}

TEST(FftLargeLevels, ReferenceFftIsTheDirectSum)
{
    TestRng rng(7);
    std::vector<Cd> x(64);
    for (Cd& v : x)
    {
        v = Cd(rng.Uniform(-1, 1), rng.Uniform(-1, 1));
    }
    const std::vector<Cd> fast = Fft(x, -1);
    for (size_t k = 0; k < x.size(); ++k)
    {
        Cd direct = 0;
        for (size_t j = 0; j < x.size(); ++j)
        {
            direct += x[j] * std::polar(1.0, -2.0 * M_PI * double(j * k % 64) / 64.0);
        }
        ASSERT_LT(std::abs(direct - fast[k]), 1e-12);
    }
}

TEST(FftLargeLevels, TiledTablesHoldTheirTileEntriesThenTheOrder12SwapList)
{
    struct Row
    {
        int Level, Order, Tiles;
        uint32_t Entry1, Entry2;
    };
    const Row rows[] = {{1, 20, 256, 8192, 4096}, {2, 19, 128, 4096, 2048}, {3, 19, 128, 4096, 2048}};
    const std::vector<int32_t> swap = SwapList(12);
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Level);
        std::vector<uint32_t> table(row.Tiles + 2048, 0xDEADBEEFu);
        uint8_t* end = kLevels[row.Level - 1].TiledTable(row.Order, 6, table.data());
        EXPECT_EQ(table[0], 0u);
        EXPECT_EQ(table[1], row.Entry1);
        EXPECT_EQ(table[2], row.Entry2);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(end) % 32, 0u);
        EXPECT_EQ(0, memcmp(table.data() + row.Tiles, swap.data(), 4 * (1024 + 1)));
    }
}

// The swap-list reversal of every width on index values: the permutation, its own inverse, and
// the copy forms equal to the in-place ones (4 elements give 0, 2, 1, 3; 2 a plain copy; 0 none).
TEST(FftLargeLevels, SwapListReversalsOfEveryWidthAreThePermutation)
{
    for (const LevelKernels& k : kLevels)
    {
        SCOPED_TRACE(k.Level);
        for (int order : {3, 4, 12})
        {
            SCOPED_TRACE(order);
            const int64_t n = int64_t(1) << order;
            const std::vector<int32_t> list = SwapList(order);
            for (int offset : {0, 1})
            {
                std::vector<uint32_t> u32(n + 1);
                std::vector<double> f64(n + 1);
                std::vector<uint64_t> w128(2 * n + 2);
                for (int64_t i = 0; i < n; ++i)
                {
                    u32[i + offset] = uint32_t(i);
                    f64[i + offset] = double(i);
                    w128[2 * (i + offset)] = uint64_t(i);
                    w128[2 * (i + offset) + 1] = ~uint64_t(i);
                }
                std::vector<uint32_t> a = u32, b = u32, c(n + 1);
                std::vector<double> d = f64, e = f64, g(n + 1);
                k.Tile32A(a.data() + offset, n, list.data());
                k.Tile32B(b.data() + offset, n, list.data());
                k.Tile64A(d.data() + offset, n, list.data());
                k.Tile64B(e.data() + offset, n, list.data());
                k.Tile128(w128.data() + 2 * offset, n, list.data());
                k.CopyPairs32(u32.data() + offset, c.data(), n, list.data());
                k.CopyPairs64(f64.data() + offset, g.data(), n, list.data());
                for (int64_t i = 0; i < n; ++i)
                {
                    const uint32_t want = Rev(i, order);
                    ASSERT_EQ(a[i + offset], want);
                    ASSERT_EQ(b[i + offset], want);
                    ASSERT_EQ(d[i + offset], double(want));
                    ASSERT_EQ(e[i + offset], double(want));
                    ASSERT_EQ(w128[2 * (i + offset)], uint64_t(want));
                    ASSERT_EQ(w128[2 * (i + offset) + 1], ~uint64_t(want));
                    ASSERT_EQ(c[i], want);
                    ASSERT_EQ(g[i], double(want));
                }
                k.Tile32A(a.data() + offset, n, list.data());
                EXPECT_EQ(a, u32);
            }
        }
        const std::vector<int32_t> list = SwapList(2);
        const uint32_t four[4] = {0, 1, 2, 3}, two[2] = {5, 6};
        uint32_t got4[4] = {}, got2[2] = {};
        k.CopyPairs32(four, got4, 4, list.data());
        k.CopyPairs32(two, got2, 2, list.data());
        EXPECT_EQ(got4[1], 2u);
        EXPECT_EQ(got4[2], 1u);
        EXPECT_EQ(got4[3], 3u);
        EXPECT_EQ(got2[0], 5u);
        EXPECT_EQ(got2[1], 6u);
        // No element, nothing written: not even element 0.
        uint32_t none32 = 0xA5A5A5A5u;
        double none64 = -7.0;
        k.CopyPairs32(four, &none32, 0, list.data());
        k.CopyPairs64(reinterpret_cast<const double*>(four), &none64, 0, list.data());
        EXPECT_EQ(none32, 0xA5A5A5A5u);
        EXPECT_EQ(none64, -7.0);
    }
}

// The tile kernel on 4096 points and the tiled reversal at 2^19 (and at 4096, where it is one
// tile) give the permutation at any alignment; below 4096 the tiled form changes nothing.
TEST(FftLargeLevels, TiledReversalIsThePermutation)
{
    std::vector<uint8_t> workStorage(65536 + 32);
    uint8_t* work = workStorage.data() + (32 - reinterpret_cast<uintptr_t>(workStorage.data()) % 32) % 32;
    const std::vector<int32_t> swap12 = SwapList(12);
    for (const LevelKernels& k : kLevels)
    {
        SCOPED_TRACE(k.Level);
        for (int offset : {0, 1, 2})
        {
            Points tile(4096, offset);
            k.Tile(tile.Data, 4096, swap12.data());
            EXPECT_TRUE(IsReversed(tile.Data, 4096));
        }
        for (int order : {12, 19})
        {
            const int64_t n = int64_t(1) << order;
            std::vector<uint32_t> table((n >> 12) + 2048);
            k.TiledTable(order, 6, table.data());
            Points data(n, order == 12 ? 1 : 0), block(n, 0);
            k.Tiled(data.Data, n, table.data(), work);
            EXPECT_TRUE(IsReversed(data.Data, n)) << order;
            std::vector<uint32_t> index(n / 4 + 8);
            SpFftBuildBitRevIndexTable_L2(order, index.data());
            k.InPlace(block.Data, n, index.data());
            EXPECT_EQ(0, memcmp(block.Data, data.Data, 8 * n)) << order; // the block form agrees
        }
        Points small(2048, 0), same(2048, 0);
        std::vector<uint32_t> table(4, 0);
        k.Tiled(small.Data, 2048, table.data(), work);
        EXPECT_EQ(0, memcmp(small.Data, same.Data, 8 * 2048));
    }
}

TEST(FftLargeLevels, RowTransfersMoveWholeChunksAndInterleaveOnlyWhenAsked)
{
    for (const LevelKernels& k : kLevels)
    {
        SCOPED_TRACE(k.Level);
        const int64_t stride = 40, rows = 3, rowLen = 12; // 12 points move as two chunks of 8
        std::vector<float> data(2 * stride * rows + 64), before;
        for (size_t i = 0; i < data.size(); ++i)
        {
            data[i] = float(i);
        }
        before = data;
        alignas(32) float work[2 * 16 * 3 * 2 + 16];
        for (float& v : work)
        {
            v = -1;
        }
        k.Gather(data.data(), work, stride, rows, rowLen);
        EXPECT_EQ(work[2 * 16 * 3 * 2], -1.0f); // nothing past rows x 2 chunks
        EXPECT_EQ(work[16], data[16]);          // the second chunk of a 12-point row is whole
        EXPECT_EQ(work[32], data[2 * stride]);
        std::fill(data.begin(), data.end(), 0.0f);
        k.Scatter(data.data(), work, stride, rows, rowLen, 0);
        for (int64_t i = 0; i < rows; ++i)
        {
            EXPECT_EQ(0, memcmp(data.data() + 2 * stride * i, before.data() + 2 * stride * i, 64 * 2));
        }
        // Blocks of points 0..7 (four real parts, four imaginary parts) come out interleaved.
        alignas(32) float blocks[16] = {0, 1, 2, 3, 10, 11, 12, 13, 4, 5, 6, 7, 14, 15, 16, 17};
        float out[16];
        k.Scatter(out, blocks, 8, 1, 8, 1);
        for (int p = 0; p < 8; ++p)
        {
            EXPECT_EQ(out[2 * p], float(p));
            EXPECT_EQ(out[2 * p + 1], float(10 + p));
        }
    }
}

// The planar pair: each 8-point chunk of a row goes to the work area as re 0-3, im 0-3, re 4-7,
// im 4-7, whole chunks only, and comes back to the same places; at any array alignment.
TEST(FftLargeLevels, PlanarRowTransfersInterleaveTheArraysByChunk)
{
    const int64_t stride = 40, rows = 3, rowLen = 12; // 12 points move as two chunks of 8
    const int64_t chunks = 2, floats = stride * rows + 16;
    for (const LevelKernels& k : kLevels)
    {
        if (!SpLevelRunsHere(k.Level))
        {
            continue;
        }
        for (int offset : {0, 1})
        {
            SCOPED_TRACE(std::to_string(k.Level) + "/" + std::to_string(offset));
            std::vector<float> re(static_cast<size_t>(floats + 1)), im(static_cast<size_t>(floats + 1));
            for (int64_t i = 0; i <= floats; ++i)
            {
                re[size_t(i)] = float(i);
                im[size_t(i)] = float(-i - 1);
            }
            const float* r = re.data() + offset;
            const float* m = im.data() + offset;
            alignas(32) float work[rows * chunks * 16 + 4];
            std::fill(work, work + rows * chunks * 16 + 4, 99.0f);
            k.GatherPlanar(r, m, work, stride, rows, rowLen);
            for (int64_t i = 0; i < rows; ++i)
            {
                for (int64_t c = 0; c < chunks; ++c)
                {
                    const float* chunk = work + 16 * (i * chunks + c);
                    const int64_t at = i * stride + 8 * c;
                    for (int l = 0; l < 4; ++l)
                    {
                        ASSERT_EQ(chunk[l], r[at + l]);
                        ASSERT_EQ(chunk[4 + l], m[at + l]);
                        ASSERT_EQ(chunk[8 + l], r[at + 4 + l]);
                        ASSERT_EQ(chunk[12 + l], m[at + 4 + l]);
                    }
                }
            }
            EXPECT_EQ(work[rows * chunks * 16], 99.0f); // nothing past the rows' chunks
            std::vector<float> backRe(re.size(), 0.0f), backIm(im.size(), 0.0f);
            k.ScatterPlanar(backRe.data() + offset, backIm.data() + offset, work, stride, rows, rowLen);
            for (int64_t i = 0; i < floats; ++i)
            {
                const bool moved = i % stride < 8 * chunks && i / stride < rows;
                ASSERT_EQ(backRe[size_t(i + offset)], moved ? r[i] : 0.0f) << i;
                ASSERT_EQ(backIm[size_t(i + offset)], moved ? m[i] : 0.0f) << i;
            }
        }
    }
}

// The radix-2 pair against complex double arithmetic: out0 = a + w b, out1 = a - w b (inverse
// with the conjugate w), two groups reading the same entries from the section's start, src to
// a separate dst and in place alike.
TEST(FftLargeLevels, Radix2PassesAreTheTwoPointButterflyOfTwiddledLegs)
{
    const int64_t span = 8, groups = 2, points = 2 * span * groups;
    TestRng rng(23);
    alignas(32) float in[2 * points], twiddles[2 * span];
    for (float& v : in)
    {
        v = float(rng.Uniform(-1, 1));
    }
    for (int64_t q = 0; q < span; ++q)
    {
        const double angle = rng.Uniform(0, 2 * M_PI);
        twiddles[8 * (q / 4) + q % 4] = float(cos(angle));
        twiddles[8 * (q / 4) + 4 + q % 4] = float(sin(angle));
    }
    const auto point = [](const float* data, int64_t p)
    { return Cd(data[8 * (p / 4) + p % 4], data[8 * (p / 4) + 4 + p % 4]); };
    for (const LevelKernels& k : kLevels)
    {
        if (!SpLevelRunsHere(k.Level))
        {
            continue;
        }
        for (bool inv : {false, true})
        {
            SCOPED_TRACE(std::to_string(k.Level) + (inv ? " inverse" : " forward"));
            alignas(32) float out[2 * points], inPlace[2 * points];
            memcpy(inPlace, in, sizeof(in));
            (inv ? k.Radix2Inv : k.Radix2Fwd)(in, out, span, groups, twiddles);
            (inv ? k.Radix2Inv : k.Radix2Fwd)(inPlace, inPlace, span, groups, twiddles);
            EXPECT_EQ(0, memcmp(out, inPlace, sizeof(out)));
            for (int64_t g = 0; g < groups; ++g)
            {
                for (int64_t q = 0; q < span; ++q)
                {
                    const int64_t leg0 = 2 * span * g + q, leg1 = leg0 + span;
                    Cd w = point(twiddles, q);
                    w = inv ? std::conj(w) : w;
                    const Cd a = point(in, leg0), b = point(in, leg1) * w;
                    EXPECT_LT(std::abs(point(out, leg0) - (a + b)), 1e-6) << g << " " << q;
                    EXPECT_LT(std::abs(point(out, leg1) - (a - b)), 1e-6) << g << " " << q;
                }
            }
        }
    }
}

// Legs in block layout: leg q of span 4 is one block. Returns the point p of leg q.
Cd LegPoint(const float* data, int q, int p)
{
    return Cd(data[8 * q + p], data[8 * q + 4 + p]);
}

TEST(FftLargeLevels, TwiddlePassesAreTheSmallDftsOfTheirLegs)
{
    alignas(32) float ones[8 * 7];
    for (int s = 0; s < 7; ++s)
    {
        for (int l = 0; l < 4; ++l)
        {
            ones[8 * s + l] = 1.0f;
            ones[8 * s + 4 + l] = 0.0f;
        }
    }
    TestRng rng(11);
    for (const LevelKernels& k : kLevels)
    {
        SCOPED_TRACE(k.Level);
        alignas(32) float in[2 * 4 * 8], fwd[2 * 4 * 8], inv[2 * 4 * 8];
        for (float& v : in)
        {
            v = float(rng.Uniform(-1, 1));
        }
        // With unit factors the radix-4 pass is the 4-point DFT of legs 0, 2, 1, 3 (G = 1, L = 4).
        k.Radix4Fwd(in, fwd, 4, 1, ones);
        k.Radix4Inv(in, inv, 4, 1, ones);
        const int logical[4] = {0, 2, 1, 3};
        for (int p = 0; p < 4; ++p)
        {
            for (int out = 0; out < 4; ++out)
            {
                Cd f = 0, i = 0;
                for (int l = 0; l < 4; ++l)
                {
                    f += LegPoint(in, logical[l], p) * std::polar(1.0, -2 * M_PI * l * out / 4);
                    i += LegPoint(in, logical[l], p) * std::polar(1.0, 2 * M_PI * l * out / 4);
                }
                EXPECT_LT(std::abs(LegPoint(fwd, out, p) - f), 1e-6);
                EXPECT_LT(std::abs(LegPoint(inv, out, p) - i), 1e-6);
            }
        }
        // Two groups read the same entries: the second equals a call on it alone.
        alignas(32) float two[2 * 4 * 8], alone[2 * 4 * 4];
        k.Radix4Fwd(in, two, 4, 2, ones);
        k.Radix4Fwd(in + 32, alone, 4, 1, ones);
        EXPECT_EQ(0, memcmp(two + 32, alone, sizeof(alone)));
        // Radix 8: logical input 1 (leg 4) alone gives output 1 = (h, -h) with the cores' h.
        alignas(32) float eight[2 * 4 * 8] = {};
        eight[8 * 4] = 1.0f;
        k.Radix8Fwd(eight, nullptr, 4, 1, ones);
        EXPECT_EQ(eight[8], 0.70710683f);
        EXPECT_EQ(eight[8 + 4], -0.70710683f);
    }
}

// One step at depth 1, built and run on its own: its tables from the step builder, a row of
// order 18 to 22 (levels 2 and 3) or 17 to 22 (level 1) in bit-reversed order, the result left
// in the block layout, which transposed is the row's DFT.
TEST(FftLargeLevels, DepthOneStepOnItsOwnIsTheRowsDft)
{
    for (const LevelKernels& k : kLevels)
    {
        SCOPED_TRACE(k.Level);
        for (int order = SpFftDirectLimit(k.Level) + 1; order <= 22; order += 2)
        {
            SCOPED_TRACE(order);
            const int64_t n = int64_t(1) << order;
            const SpFftSizes sizes = k.SizeStep(order);
            std::vector<uint8_t> memory(size_t(sizes.Spec + sizeof(SpFftSpec) + 64));
            auto* spec = reinterpret_cast<SpFftSpec*>(SpFftAlignUp32(memory.data()));
            memset(spec, 0, sizeof(SpFftSpec));
            std::vector<uint8_t> init(size_t(n + 64));
            const SpFftSine sine = SpFftSineFor(order, init.data());
            uint8_t* tables = SpFftAlignUp32(reinterpret_cast<uint8_t*>(spec + 1));
            uint8_t* end = k.InitStep(spec, order, sine, 1, tables);
            EXPECT_LE(end, tables + sizes.Spec);
            EXPECT_EQ(spec->WorkBytes, sizes.Work);
            EXPECT_NE(spec->ColumnTwiddles[1], nullptr);

            TestRng rng(40 + order);
            std::vector<Cd> x(size_t(n), 0);
            for (Cd& v : x)
            {
                v = Cd(rng.Uniform(-1, 1), rng.Uniform(-1, 1));
            }
            std::vector<float> data(size_t(2 * n));
            for (int64_t i = 0; i < n; ++i)
            {
                const uint32_t r = Rev(i, order);
                data[2 * r] = float(x[i].real());
                data[2 * r + 1] = float(x[i].imag());
            }
            std::vector<uint8_t> work(size_t(sizes.Work + 32));
            k.FwdStep(spec, data.data(), order, 1, reinterpret_cast<float*>(SpFftAlignUp32(work.data())));
            const std::vector<Cd> want = Fft(x, -1);
            double err = 0, norm = 0;
            for (int64_t i = 0; i < n; ++i)
            {
                const int64_t block = i / 4, lane = i % 4;
                const Cd got(data[8 * block + lane], data[8 * block + 4 + lane]);
                err += std::norm(got - want[size_t(i)]);
                norm += std::norm(want[size_t(i)]);
            }
            EXPECT_LT(sqrt(err / norm), 1e-6 * order);
        }
    }
}

// Levels 2 and 3 run one driver, bit for bit; with the forward scale switch set every point is the
// unscaled one times the factor within an ulp (the factor applied once, at the rows).
TEST(FftLargeLevels, LevelsTwoAndThreeAgreeAndTheScaleIsAppliedOnce)
{
    for (int order : {19, 21})
    {
        SCOPED_TRACE(order);
        const size_t n = size_t(1) << order;
        TestRng rng(90 + order);
        std::vector<float> x(2 * n);
        for (float& v : x)
        {
            v = float(rng.Uniform(-1, 1));
        }
        std::vector<float> y[3];
        const struct
        {
            const LevelKernels* K;
            int32_t Flag;
        } runs[3] = {
            {&kLevels[1], SpFftNoDivide}, {&kLevels[2], SpFftNoDivide}, {&kLevels[1], SpFftDivFwdByN}};
        for (int r = 0; r < 3; ++r)
        {
            SpFftSpec* spec = nullptr;
            ASSERT_EQ(runs[r].K->ComplexCreate(&spec, order, runs[r].Flag, 0), SpOk);
            y[r].resize(2 * n);
            ASSERT_EQ(runs[r].K->FwdComplex(reinterpret_cast<const SpComplexF32*>(x.data()),
                                            reinterpret_cast<SpComplexF32*>(y[r].data()), spec, nullptr),
                      SpOk);
            SpFftComplexFree(spec);
        }
        EXPECT_EQ(0, memcmp(y[0].data(), y[1].data(), 8 * n));
        const float scale = 1.0f / float(n);
        for (size_t i = 0; i < 2 * n; ++i)
        {
            const float want = y[0][i] * scale;
            ASSERT_LE(fabsf(y[2][i] - want), fabsf(nextafterf(want, 2 * want) - want) + 1e-30f) << i;
        }
    }
}

// Complex order 26 at level 2 recurses once (rows of 2^18 split again into leaves of 2^14): an
// impulse at point 1 gives exp(-2 pi i k / N), and the forward transform of a spectrum's conjugate,
// scaled by 1/N and conjugated, gives the signal back. About 2 GB; run with UACSIM_SLOW_TESTS=1.
TEST(FftLargeLevels, SlowOrder26RecursesOnceAndRoundTrips)
{
    const char* slow = getenv("UACSIM_SLOW_TESTS");
    if (!slow || !*slow || strcmp(slow, "0") == 0)
    {
        GTEST_SKIP() << "set UACSIM_SLOW_TESTS=1 to run complex order 26";
    }
    const int order = 26;
    const size_t n = size_t(1) << order;
    SpFftSpec* spec = nullptr;
    ASSERT_EQ(SpFftComplexCreate_L2(&spec, order, SpFftNoDivide, 0), SpOk);
    std::vector<float> data(2 * n, 0.0f), out(2 * n);
    data[2] = 1.0f;
    ASSERT_EQ(SpFftFwdComplex_L2(reinterpret_cast<const SpComplexF32*>(data.data()),
                                 reinterpret_cast<SpComplexF32*>(out.data()), spec, nullptr),
              SpOk);
    for (size_t k = 0; k < n; k += 4099)
    {
        const double a = -2 * M_PI * double(k) / double(n);
        ASSERT_NEAR(out[2 * k], cos(a), 1e-5) << k;
        ASSERT_NEAR(out[2 * k + 1], sin(a), 1e-5) << k;
    }
    TestRng rng(26);
    for (float& v : data)
    {
        v = float(rng.Uniform(-1, 1));
    }
    out = data;
    auto* c = reinterpret_cast<SpComplexF32*>(out.data());
    ASSERT_EQ(SpFftFwdComplex_L2(c, c, spec, nullptr), SpOk);
    SpFftComplexFree(spec);
    // The inverse of a forward transform is the forward transform of the conjugate, conjugated.
    for (size_t i = 0; i < n; ++i)
    {
        out[2 * i + 1] = -out[2 * i + 1];
    }
    ASSERT_EQ(SpFftComplexCreate_L2(&spec, order, SpFftDivFwdByN, 0), SpOk);
    ASSERT_EQ(SpFftFwdComplex_L2(c, c, spec, nullptr), SpOk);
    SpFftComplexFree(spec);
    double err = 0, norm = 0;
    for (size_t i = 0; i < n; ++i)
    {
        err += pow(out[2 * i] - data[2 * i], 2) + pow(-out[2 * i + 1] - data[2 * i + 1], 2);
        norm += pow(data[2 * i], 2) + pow(data[2 * i + 1], 2);
    }
    EXPECT_LT(sqrt(err / norm), 1e-6 * order);
}

// The named builders: the order-11 sine table (sines up to N/8, cosines of the complement
// above), the level-2 swap list of order 4 and the index table of order 2.
TEST(FftLargeLevels, TableBuildersGiveTheirDocumentedEntries)
{
    const decltype(&SpFftInitSineTable_L1) sines[] = {SpFftInitSineTable_L1, SpFftInitSineTable_L2,
                                                      SpFftInitSineTable_L3};
    for (auto build : sines)
    {
        alignas(32) float table[520];
        memset(table, 0xFF, sizeof(table));
        EXPECT_EQ(reinterpret_cast<uint8_t*>(build(11, table)), reinterpret_cast<uint8_t*>(table + 520));
        EXPECT_EQ(table[256], float(sin(M_PI / 4)));
        EXPECT_EQ(table[257], float(cos(255 * 2 * M_PI / 2048)));
        EXPECT_EQ(table[512], 1.0f);
        EXPECT_EQ(table[0], 0.0f);
    }
    alignas(32) uint32_t swap[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(reinterpret_cast<uint8_t*>(SpFftBuildBitRevTable_L2(4, swap)),
              reinterpret_cast<uint8_t*>(swap + 8));
    EXPECT_EQ(std::vector<uint32_t>(swap, swap + 5), (std::vector<uint32_t>{4, 8, 0, 12, 0}));
    alignas(32) uint32_t index[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    SpFftBuildBitRevIndexTable_L1(2, index);
    EXPECT_EQ(index[0], 0u);
    EXPECT_EQ(index[1], 0u);
    EXPECT_EQ(index[2], 9u);
}

// Every level's sine table is within one float rounding of the exact quarter-wave sine (the
// static table read at its stride up to order 10), and the level's set-ups of both kinds leave
// in the caller's init buffer exactly the table that the level's builder gives.
TEST(FftLargeLevels, SetUpsBuildTheLevelsOwnSineTable)
{
    using RealInit = decltype(&SpFftRealInit_L1);
    using Sizes = decltype(&SpFftRealGetSize_L1);
    const struct
    {
        decltype(&SpFftInitSineTable_L1) Sine;
        Sizes RealSize, ComplexSize;
        RealInit Real, Complex;
    } levels[] = {
        {SpFftInitSineTable_L1, SpFftRealGetSize_L1, SpFftComplexGetSize_L1, SpFftRealInit_L1,
         SpFftComplexInit_L1},
        {SpFftInitSineTable_L2, SpFftRealGetSize_L2, SpFftComplexGetSize_L2, SpFftRealInit_L2,
         SpFftComplexInit_L2},
        {SpFftInitSineTable_L3, SpFftRealGetSize_L3, SpFftComplexGetSize_L3, SpFftRealInit_L3,
         SpFftComplexInit_L3},
    };
    for (const auto& level : levels)
    {
        for (int order = 2; order <= 13; ++order)
        {
            const int64_t quarter = (int64_t(1) << order) / 4;
            std::vector<float> table(size_t(quarter) + 16);
            level.Sine(order, table.data());
            for (int64_t k = 0; k <= quarter; ++k)
            {
                const long double exact = sinl(2.0L * M_PIl * k / (int64_t(1) << order));
                const float got = table[size_t(k)];
                ASSERT_LE(fabsl(got - exact), 0.5L * (nextafterf(got, 2.0f) - got) + 1e-12L)
                    << order << " " << k;
            }
            if (order < 11)
            {
                continue;
            }
            for (int kind = 0; kind < 2; ++kind)
            {
                int32_t specBytes = 0, initBytes = 0, workBytes = 0;
                ASSERT_EQ((kind ? level.ComplexSize : level.RealSize)(order, SpFftNoDivide, 0, &specBytes,
                                                                      &initBytes, &workBytes),
                          SpOk);
                ASSERT_GE(initBytes, int32_t(4 * (quarter + 1)));
                std::vector<uint8_t> spec(static_cast<size_t>(specBytes)),
                    init(static_cast<size_t>(initBytes), 0xFF);
                SpFftSpec* made = nullptr;
                ASSERT_EQ((kind ? level.Complex : level.Real)(&made, order, SpFftNoDivide, 0, spec.data(),
                                                              init.data()),
                          SpOk);
                const uint8_t* start =
                    init.data() + ((32 - reinterpret_cast<uintptr_t>(init.data()) % 32) % 32);
                EXPECT_EQ(0, memcmp(start, table.data(), size_t(4 * (quarter + 1))))
                    << order << " kind " << kind;
            }
        }
    }
}

// Stage-table factors are the lookups themselves, negated as 0 - x: W_64^16 = (+0, -1) in the
// level-2 plan of 64 points (pass 4/16, record 2, factor p = 2, lane 0).
TEST(FftLargeLevels, StageTableZerosStayPositive)
{
    SpFftSpec* spec = nullptr;
    ASSERT_EQ(SpFftComplexCreate_L2(&spec, 6, SpFftNoDivide, 0), SpOk);
    const float re = spec->Radix4[24 + 2 * 24 + 8], im = spec->Radix4[24 + 2 * 24 + 8 + 4];
    EXPECT_EQ(re, 0.0f);
    EXPECT_FALSE(signbit(re));
    EXPECT_EQ(im, -1.0f);
    SpFftComplexFree(spec);
}

// The column table's factors are the sine lookups: order 17 at level 1 holds 7 x 2^14 factors,
// group b entry c for j = 64b + c of M = 2^17.
TEST(FftLargeLevels, ColumnTableHoldsTheFactorsInTheOrderThePassesReadThem)
{
    const int order = 17;
    const SpFftSizes sizes = SpFftGetLargeBufferSizeStep_L1(order);
    std::vector<uint8_t> memory(size_t(sizes.Spec + sizeof(SpFftSpec) + 64));
    auto* spec = reinterpret_cast<SpFftSpec*>(SpFftAlignUp32(memory.data()));
    memset(spec, 0, sizeof(SpFftSpec));
    std::vector<uint8_t> init(size_t((int64_t(1) << order) + 64));
    const SpFftSine sine = SpFftSineFor(order, init.data());
    uint8_t* end = SpFftInitLargeTablesStep_L1(spec, order, sine, 0,
                                               SpFftAlignUp32(reinterpret_cast<uint8_t*>(spec + 1)));
    const float* table = spec->ColumnTwiddles[0];
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(table) + 8 * (int64_t(1) << order), end);
    const double M = double(1 << order);
    for (int b : {0, 1, 255})
    {
        for (int c : {0, 4, 60})
        {
            const float* entry = table + (b * 16 + c / 4) * 7 * 8;
            for (int s = 0; s < 7; ++s)
            {
                for (int l = 0; l < 4; ++l)
                {
                    const double t = double((s + 1) * (64 * b + c + l));
                    EXPECT_NEAR(entry[8 * s + l], cos(2 * M_PI * t / M), 1.2e-7);
                    EXPECT_NEAR(entry[8 * s + 4 + l], -sin(2 * M_PI * t / M), 1.2e-7);
                }
            }
        }
    }
    EXPECT_EQ(spec->WorkBytes, 131072);
}

// The split and merge tables of the levels hold blocks of four k from 1: at real order 4 one
// block, 0.5 cos(pi k / 8) then 0.5 - 0.5 sin(pi k / 8), and cos then -sin for the merge.
TEST(FftLargeLevels, SplitTablesHoldFourAndFourFromKOne)
{
    const SpFftSine sine = SpFftSineFor(4, nullptr);
    const decltype(&SpFftBuildRealSplitTwiddles_L1) splits[] = {
        SpFftBuildRealSplitTwiddles_L1, SpFftBuildRealSplitTwiddles_L2, SpFftBuildRealSplitTwiddles_L3};
    const decltype(&SpFftBuildComplexTwiddles_L1) merges[] = {SpFftBuildComplexTwiddles_L1,
                                                              SpFftBuildComplexTwiddles_L2};
    for (auto build : splits)
    {
        alignas(32) float table[16];
        memset(table, 0xFF, sizeof(table));
        EXPECT_EQ(build(4, sine, reinterpret_cast<uint8_t*>(table)), reinterpret_cast<uint8_t*>(table + 8));
        for (int k = 1; k <= 4; ++k)
        {
            EXPECT_NEAR(table[k - 1], 0.5 * cos(M_PI * k / 8), 1e-7);
            EXPECT_NEAR(table[3 + k], 0.5 - 0.5 * sin(M_PI * k / 8), 1e-7);
        }
        EXPECT_EQ(table[3], 0.0f);
        EXPECT_EQ(table[7], 0.0f);
    }
    for (auto build : merges)
    {
        alignas(32) float table[8];
        build(4, sine, reinterpret_cast<uint8_t*>(table));
        for (int k = 1; k <= 4; ++k)
        {
            EXPECT_NEAR(table[k - 1], cos(M_PI * k / 8), 1e-7);
            EXPECT_NEAR(table[3 + k], -sin(M_PI * k / 8), 1e-7);
        }
    }
}

TEST(FftLargeLevels, CheckedCopyAndZeroBufferTestPointersFirst)
{
    for (const LevelKernels& k : kLevels)
    {
        SCOPED_TRACE(k.Level);
        uint8_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8] = {};
        EXPECT_EQ(k.CopyChecked(nullptr, b, 0), SpErrNullPointer);
        EXPECT_EQ(k.CopyChecked(a, nullptr, 8), SpErrNullPointer);
        EXPECT_EQ(k.CopyChecked(a, b, 0), SpErrBadLength);
        EXPECT_EQ(b[0], 0);
        EXPECT_EQ(k.CopyChecked(a, b, 8), SpOk);
        EXPECT_EQ(0, memcmp(a, b, 8));
        EXPECT_EQ(k.Zero(nullptr, 0), SpErrNullPointer);
        EXPECT_EQ(k.Zero(a, 0), SpErrBadLength);
        EXPECT_EQ(a[0], 1);
        EXPECT_EQ(k.Zero(a, 8), SpOk);
        EXPECT_EQ(0, memcmp(a, std::vector<uint8_t>(8, 0).data(), 8));
    }
}

// Out of place the source is only read, whichever reordering the order takes (the in-place
// reversal after a copy at 18, tiles gathered from the source at 19 and 20 on levels 2 and 3,
// a copy and the tiled reversal from 21), and the result equals the in-place one.
TEST(FftLargeLevels, OutOfPlaceLeavesTheSourceAndEqualsInPlace)
{
    for (const LevelKernels& k : kLevels)
    {
        SCOPED_TRACE(k.Level);
        for (int order = 18; order <= 21; ++order)
        {
            SCOPED_TRACE(order);
            const size_t n = size_t(1) << order;
            TestRng rng(70 + order);
            std::vector<float> x(2 * n);
            for (float& v : x)
            {
                v = float(rng.Uniform(-1, 1));
            }
            const std::vector<float> kept = x;
            SpFftSpec* spec = nullptr;
            ASSERT_EQ(k.ComplexCreate(&spec, order, SpFftNoDivide, 0), SpOk);
            std::vector<float> out(2 * n), in = x;
            ASSERT_EQ(k.FwdComplex(reinterpret_cast<const SpComplexF32*>(x.data()),
                                   reinterpret_cast<SpComplexF32*>(out.data()), spec, nullptr),
                      SpOk);
            EXPECT_EQ(x, kept);
            auto* cin = reinterpret_cast<SpComplexF32*>(in.data());
            ASSERT_EQ(k.FwdComplex(cin, cin, spec, nullptr), SpOk);
            EXPECT_EQ(0, memcmp(in.data(), out.data(), 8 * n));
            SpFftComplexFree(spec);
        }
    }
}

// Every small count and the joined, unaligned and directed loops, at every source and destination
// offset in 16, on every level: the bytes arrive once and the guards stay. Then two aligned
// blocks a page apart with the source's page offset equal to, 64 above and 512 above the
// destination's (backward, forward, backward) give the same bytes.
TEST(FftLargeLevels, ByteCopiesGiveTheBytesWhateverTheirPath)
{
    const decltype(&SpCopyBytes_L1) copies[] = {SpCopyBytes_L1, SpCopyBytes_L2, SpCopyBytes_L3};
    std::vector<uint8_t> src(4 * 4096 + 64), dst(4 * 4096 + 96);
    for (size_t i = 0; i < src.size(); ++i)
    {
        src[i] = uint8_t(i * 131 + 7);
    }
    std::vector<int64_t> counts;
    for (int64_t n = 1; n <= 200; ++n)
    {
        counts.push_back(n);
    }
    counts.push_back(1000);
    counts.push_back(4099);
    uint8_t* src0 = src.data() + (16 - reinterpret_cast<uintptr_t>(src.data()) % 16) % 16;
    uint8_t* dst0 = dst.data() + 16 + (16 - reinterpret_cast<uintptr_t>(dst.data() + 16) % 16) % 16;
    for (int l = 0; l < 3; ++l)
    {
        SCOPED_TRACE(l + 1);
        for (int64_t count : counts)
        {
            for (int so = 0; so < 16; ++so)
            {
                for (int d = 0; d < 16; ++d)
                {
                    memset(dst0 - 16, 0xEE, size_t(count) + 64);
                    copies[l](src0 + so, dst0 + d, count);
                    ASSERT_EQ(0, memcmp(dst0 + d, src0 + so, size_t(count)))
                        << count << " " << so << " " << d;
                    ASSERT_EQ(dst0[d - 1], 0xEE);
                    ASSERT_EQ(dst0[d + count], 0xEE) << count;
                }
            }
        }
    }
    std::vector<uint8_t> pages(5 * 4096);
    uint8_t* page = pages.data() + (4096 - reinterpret_cast<uintptr_t>(pages.data()) % 4096) % 4096;
    for (int l = 0; l < 3; ++l)
    {
        for (int above : {0, 64, 512})
        {
            for (int64_t count : {int64_t(64), int64_t(127), int64_t(4096 + 57)})
            {
                uint8_t* to = page;
                const uint8_t* from = src0; // copied to the page past the destination first
                uint8_t* at = page + 2 * 4096 + above;
                memcpy(at, from, size_t(count));
                memset(to, 0xEE, size_t(count) + 16);
                copies[l](at, to, count);
                ASSERT_EQ(0, memcmp(to, from, size_t(count))) << l << " " << above << " " << count;
                ASSERT_EQ(to[count], 0xEE);
            }
        }
    }
}

std::vector<std::pair<int32_t, bool>> g_copyDirections;

void RecordCopyDirection(int32_t level, bool forward)
{
    g_copyDirections.emplace_back(level, forward);
}

// Aligned blocks at levels 2 and 3 go forward only when the source's page offset lies 1 to 160
// bytes above the destination's (or wraps more than 3,936 below it), and backward otherwise;
// level 1 and a misaligned source never choose. The bytes are right whichever way.
TEST(FftLargeLevels, AlignedByteCopiesChooseTheirDirectionFromThePageOffsets)
{
    std::vector<uint8_t> pages(6 * 4096);
    uint8_t* page = pages.data() + (4096 - reinterpret_cast<uintptr_t>(pages.data()) % 4096) % 4096;
    for (size_t i = 0; i < 4096; ++i)
    {
        page[3 * 4096 + i] = uint8_t(i * 37 + 1);
    }
    const struct
    {
        int32_t SrcOffset, DstOffset;
        bool Forward;
    } cases[] = {
        {0, 0, false},  {64, 0, true},    {160, 0, true},  {176, 0, false}, {512, 0, false},
        {0, 64, false}, {0, 3936, false}, {0, 3952, true}, {16, 32, false},
    };
    const SpCopyDirectionHook previous = SpSetCopyDirectionHookForTest(RecordCopyDirection);
    for (const auto& c : cases)
    {
        const uint8_t* from = page + 3 * 4096 + c.SrcOffset;
        uint8_t* to = page + c.DstOffset;
        const int64_t count = 100;
        for (auto copy : {SpCopyBytes_L1, SpCopyBytes_L2, SpCopyBytes_L3})
        {
            memset(page, 0xEE, 2 * 4096);
            g_copyDirections.clear();
            copy(from, to, count);
            ASSERT_EQ(0, memcmp(to, from, size_t(count)));
            ASSERT_EQ(to[count], 0xEE);
            if (copy == SpCopyBytes_L1)
            {
                EXPECT_TRUE(g_copyDirections.empty());
                continue;
            }
            ASSERT_EQ(g_copyDirections.size(), 1u) << c.SrcOffset << " " << c.DstOffset;
            EXPECT_EQ(g_copyDirections[0].first, copy == SpCopyBytes_L2 ? 2 : 3);
            EXPECT_EQ(g_copyDirections[0].second, c.Forward) << c.SrcOffset << " " << c.DstOffset;
        }
    }
    g_copyDirections.clear();
    SpCopyBytes_L2(page + 3 * 4096 + 4, page, 200); // a source at 4 mod 16 is joined, not directed
    EXPECT_TRUE(g_copyDirections.empty());
    SpSetCopyDirectionHookForTest(previous);
}

} // namespace
