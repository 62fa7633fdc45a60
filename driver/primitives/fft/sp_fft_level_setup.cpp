// Set-up of the level-1 to level-3 FFT specs: the pass plans, the index and twiddle tables laid
// out for them, the large-order sizes and tables, and the size queries, initialisations and
// creates of both kinds. Scalar code, run once per transform record; sizes are 64-bit until they are known
// to fit the 32-bit counts of the interface.
#include "driver/primitives/fft/sp_fft_levels.h"

#include <math.h>

#include "driver/primitives/dispatch/sp_cpu_level.h"
#include "driver/primitives/dispatch/sp_memory.h"

namespace
{

// Column bits split off by the large-order driver at complex orders 17 .. 30, and the group
// exponent that sizes its work area.
const SpFftLargeSplit kLargeSplit[14] = {
    {3, 9},  {4, 10}, {4, 10}, {4, 10}, {5, 13}, {8, 15}, {8, 15},
    {8, 15}, {8, 15}, {8, 15}, {8, 15}, {8, 15}, {8, 15}, {8, 15},
};

void AddPass(SpFftPassPlan* plan, int32_t radix, int64_t span)
{
    plan->Radix[plan->Count] = radix;
    plan->Span[plan->Count] = span;
    ++plan->Count;
}

// Level 1 opens with radix 8 only at the listed sizes, then takes radix 8 whenever 3 or at
// least 5 bits are left, so a last radix-4 pass closes the odd remainders.
bool PlanL1(int32_t order, SpFftPassPlan* plan)
{
    int32_t bits = order - 2;
    int64_t span = 4;
    const int32_t n = order;
    const bool eightFirst = n == 5 || n == 7 || n == 10 || n == 11 || n == 13 || n == 14;
    bool first = true;
    while (bits > 0)
    {
        int32_t radix;
        if (first)
        {
            radix = eightFirst ? 8 : 4;
            first = false;
        }
        else
        {
            radix = (bits == 3 || bits >= 5) ? 8 : 4;
        }
        if (bits < 3 && radix == 8)
        {
            return false;
        }
        AddPass(plan, radix, span);
        bits -= radix == 8 ? 3 : 2;
        span *= radix;
    }
    return bits == 0;
}

// Radix 4 while the bits left are not a multiple of 3, then radix 8 to the end.
bool PlanRadix4Then8(int32_t bits, int64_t span, SpFftPassPlan* plan)
{
    while (bits > 0)
    {
        const int32_t radix = bits % 3 != 0 ? 4 : 8;
        if (bits < 2 || plan->Count == SpFftMaxPasses)
        {
            return false; // one bit cannot be a radix-4 or radix-8 pass
        }
        AddPass(plan, radix, span);
        bits -= radix == 8 ? 3 : 2;
        span *= radix;
    }
    return true;
}

template <int32_t Level> SpFftSizes LargeSizes(int32_t order, bool query)
{
    const SpFftLargeSplit row = SpFftLargeSplitOf(order);
    const int32_t rows = order - row.ColumnBits;
    SpFftSizes sizes;
    if (rows <= SpFftDirectLimit(Level))
    {
        sizes = {SpFftRoundUp32(8 * (int64_t(1) << rows) + 8), 0, SpFftRoundUp32(8 * (int64_t(1) << rows))};
    }
    else
    {
        sizes = LargeSizes<Level>(rows, false);
    }
    sizes.Spec += 8 * (int64_t(1) << order);
    const int64_t group = 8 * (int64_t(1) << row.GroupBits);
    if (sizes.Work < group)
    {
        sizes.Work = group;
    }
    if (query && order >= SpFftTiledLimit(Level) && sizes.Work < 65536)
    {
        sizes.Work = 65536;
    }
    return sizes;
}

// Factor W_M^t = exp(-2 pi i t / M) of M = 2^logM points, looked up in the quarter-wave table
// by quadrant; a negated entry is 0 - x, so a zero stays +0.
void TableFactor(SpFftSine sine, int32_t logM, int64_t t, float* re, float* im)
{
    const int64_t m = int64_t(1) << logM;
    const int64_t d = int64_t(1) << (sine.Order - logM);
    const float* s = sine.Table;
    t &= m - 1;
    if (t <= m / 4)
    {
        *re = s[(m / 4 - t) * d];
        *im = 0.0f - s[t * d];
    }
    else if (t <= m / 2)
    {
        *re = 0.0f - s[(t - m / 4) * d];
        *im = 0.0f - s[(m / 2 - t) * d];
    }
    else if (t <= 3 * m / 4)
    {
        *re = 0.0f - s[(3 * m / 4 - t) * d];
        *im = s[(t - m / 2) * d];
    }
    else
    {
        *re = s[(t - 3 * m / 4) * d];
        *im = s[(m - t) * d];
    }
}

// The column table of one depth: per group of B columns, per pass, per row of the span, per
// four columns, the R - 1 factors W_M^(k j) in block layout, in the order the passes read them.
float* BuildColumnTable(int32_t order, SpFftSine sine, float* out)
{
    const SpFftLargeSplit split = SpFftLargeSplitOf(order);
    const int32_t f = split.ColumnBits;
    const int32_t r = order - f;
    const int64_t columns = int64_t(1) << (split.GroupBits - f);
    for (int64_t b = 0; b * columns < (int64_t(1) << r); ++b)
    {
        int32_t done = 0;
        int64_t spanRows = 1;
        while (done < f)
        {
            const int32_t bits = (f - done == 2 || f - done == 4) ? 2 : 3;
            const int32_t radix = 1 << bits;
            const int32_t logM = r + done + bits;
            for (int64_t u = 0; u < spanRows; ++u)
            {
                for (int64_t c = 0; c < columns; c += 4)
                {
                    const int64_t j0 = b * columns + (u << r) + c;
                    for (int32_t k = 1; k < radix; ++k, out += 8)
                    {
                        for (int32_t l = 0; l < 4; ++l)
                        {
                            TableFactor(sine, logM, k * (j0 + l), out + l, out + 4 + l);
                        }
                    }
                }
            }
            spanRows *= radix;
            done += bits;
        }
    }
    return out;
}

template <int32_t Level>
uint8_t* InitLargeStep(SpFftSpec* spec, int32_t order, SpFftSine sine, int32_t depth, uint8_t* pos)
{
    // The largest order the sizes allow stays within the depths the spec has tables for; a
    // deeper step would write past them, so it builds nothing.
    if (depth < 0 || depth >= SpFftMaxDepth)
    {
        return pos;
    }
    const SpFftLargeSplit split = SpFftLargeSplitOf(order);
    const int32_t rowOrder = order - split.ColumnBits;
    uint8_t* columns;
    if (rowOrder > SpFftDirectLimit(Level))
    {
        columns = InitLargeStep<Level>(spec, rowOrder, sine, depth + 1, pos);
    }
    else
    {
        spec->Radix4 = reinterpret_cast<const float*>(pos);
        columns = Level == SpFftLevel1 ? SpFftBuildRadix4Twiddles_L1(rowOrder, sine, pos)
                                       : SpFftBuildRadix4Twiddles_L2(rowOrder, sine, pos);
        spec->WorkBytes = int32_t(SpFftRoundUp32(8 * (int64_t(1) << rowOrder)));
    }
    spec->ColumnTwiddles[depth] = reinterpret_cast<const float*>(columns);
    BuildColumnTable(order, sine, reinterpret_cast<float*>(columns));
    const int64_t group = 8 * (int64_t(1) << split.GroupBits);
    if (spec->WorkBytes < group)
    {
        spec->WorkBytes = int32_t(group);
    }
    return columns + 8 * (int64_t(1) << order);
}

template <int32_t Level> uint8_t* InitLarge(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos)
{
    auto* table = const_cast<uint32_t*>(reinterpret_cast<const uint32_t*>(spec->BitRev));
    if (order >= SpFftTiledLimit(Level))
    {
        Level == SpFftLevel1 ? SpFftBuildTiledBitRevTable_L1(order, 6, table)
                             : SpFftBuildTiledBitRevTable_L2(order, 6, table);
    }
    else
    {
        Level == SpFftLevel1 ? SpFftBuildBitRevIndexTable_L1(order, table)
                             : SpFftBuildBitRevIndexTable_L2(order, table);
    }
    uint8_t* end = InitLargeStep<Level>(spec, order, sine, 0, pos);
    spec->LargeTwiddles = spec->ColumnTwiddles[0];
    if (order >= SpFftTiledLimit(Level) && spec->WorkBytes < 65536)
    {
        spec->WorkBytes = 65536; // the two tiles of the tiled reordering
    }
    return end;
}

// ---- Spec sizes ----

template <int32_t Level> SpFftSizes RealSizes(int32_t order)
{
    if (order <= 3)
    {
        return {168, 0, 0};
    }
    const int32_t h = order - 1;
    const int64_t halfPoints = int64_t(1) << h;
    const int64_t points = int64_t(1) << order;
    SpFftSizes sizes;
    if (h > SpFftDirectLimit(Level))
    {
        sizes = LargeSizes<Level>(h, true);
    }
    else
    {
        sizes = {SpFftRoundUp32(8 * halfPoints + 8), 0, 8 * halfPoints};
    }
    sizes.Spec += SpFftRoundUp32(halfPoints + 4) + 2 * SpFftRoundUp32(2 * points) + 192;
    sizes.Init = order > 10 ? sizes.Init + SpFftRoundUp32(points + 4) + 32 : 0;
    if (sizes.Work > 0)
    {
        sizes.Work += 32;
    }
    return sizes;
}

template <int32_t Level> SpFftSizes ComplexSizes(int32_t order)
{
    if (order <= 3)
    {
        return {168, 0, 0};
    }
    const int64_t points = int64_t(1) << order;
    const int64_t index = SpFftRoundUp32(points + 4);
    const int64_t init = order > 10 ? index + 32 : 0;
    if (order <= SpFftDirectLimit(Level))
    {
        return {SpFftRoundUp32(8 * points + 8) + index + 192, init, SpFftRoundUp32(8 * points) + 32};
    }
    const SpFftSizes large = LargeSizes<Level>(order, true);
    return {large.Spec + index + 192, init, large.Work + 32};
}

// The index table and core table of a direct order, or the large-order tables, behind the
// header; returns the end.
template <int32_t Level> uint8_t* BuildCoreTables(SpFftSpec* spec, int32_t order, SpFftSine sine)
{
    auto* base = reinterpret_cast<uint8_t*>(spec);
    auto* index = reinterpret_cast<uint32_t*>(base + sizeof(SpFftSpec));
    spec->BitRev = reinterpret_cast<const int32_t*>(index);
    if (order > SpFftDirectLimit(Level))
    {
        uint8_t* pos = SpFftAlignUp32(base + sizeof(SpFftSpec)) + SpFftRoundUp32((int64_t(1) << order) + 4);
        return Level == SpFftLevel1   ? SpFftInitLargeTables_L1(spec, order, sine, pos)
               : Level == SpFftLevel2 ? SpFftInitLargeTables_L2(spec, order, sine, pos)
                                      : SpFftInitLargeTables_L3(spec, order, sine, pos);
    }
    uint8_t* end = Level == SpFftLevel1 ? SpFftBuildBitRevIndexTable_L1(order, index)
                                        : SpFftBuildBitRevIndexTable_L2(order, index);
    spec->Radix4 = reinterpret_cast<const float*>(end);
    end = Level == SpFftLevel1 ? SpFftBuildRadix4Twiddles_L1(order, sine, end)
                               : SpFftBuildRadix4Twiddles_L2(order, sine, end);
    spec->WorkBytes = int32_t(8 * (int64_t(1) << order));
    return end;
}

// Up to order 10 the static table read at the order's stride; above it sines up to N/8 and the
// cosines of the complement beyond, so that no argument exceeds pi/4 where the runtime's sine
// and cosine are most accurate. One body for the three levels.
uint8_t* LevelSineTable(int32_t order, float* table)
{
    const int64_t quarter = (int64_t(1) << order) / 4;
    if (order <= SpFftStaticSineOrder)
    {
        const int64_t stride = int64_t(1) << (SpFftStaticSineOrder - order);
        for (int64_t k = 0; k < quarter; ++k)
        {
            table[k] = SpFftStaticSine.Value[k * stride];
        }
        table[quarter] = 1.0f;
    }
    else
    {
        const double step = 6.283185307179586 / double(int64_t(1) << order);
        for (int64_t k = 0; k <= quarter / 2; ++k)
        {
            table[k] = float(sin(double(k) * step));
        }
        for (int64_t k = quarter / 2 + 1; k <= quarter; ++k)
        {
            table[k] = float(cos(double(quarter - k) * step));
        }
    }
    return SpFftAlignUp32(reinterpret_cast<uint8_t*>(table + quarter + 1));
}

// The sine table a level's set-up reads: the static one up to order 10, else the level's own
// build in the caller's init buffer (nothing keeps it past the set-up).
template <int32_t Level> SpFftSine LevelSine(int32_t order, uint8_t* initBuffer)
{
    if (order <= SpFftStaticSineOrder)
    {
        return {SpFftStaticSine.Value, SpFftStaticSineOrder};
    }
    float* table = reinterpret_cast<float*>(SpFftAlignUp32(initBuffer));
    Level == SpFftLevel1   ? SpFftInitSineTable_L1(order, table)
    : Level == SpFftLevel2 ? SpFftInitSineTable_L2(order, table)
                           : SpFftInitSineTable_L3(order, table);
    return {table, order};
}

template <int32_t Level> SpFftZeroFn LevelZeroBuffer()
{
    return Level == SpFftLevel1 ? SpZeroBuffer_L1 : Level == SpFftLevel2 ? SpZeroBuffer_L2 : SpZeroBuffer_L3;
}

template <int32_t Level>
SpStatus RealInit(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer,
                  uint8_t* initBuffer)
{
    SpFftSpec* spec = nullptr;
    const SpStatus status = SpFftBeginInit(RealSizes<Level>, LevelZeroBuffer<Level>(), SpFftKindReal, ppSpec,
                                           order, flag, hint, specBuffer, initBuffer, &spec);
    if (status != SpOk)
    {
        return status;
    }
    spec->Level = Level;
    if (order >= 4)
    {
        const SpFftSine sine = LevelSine<Level>(order, initBuffer);
        uint8_t* pos = BuildCoreTables<Level>(spec, order - 1, sine);
        spec->RealSplit = reinterpret_cast<const float*>(pos);
        pos = Level == SpFftLevel1   ? SpFftBuildRealSplitTwiddles_L1(order, sine, pos)
              : Level == SpFftLevel2 ? SpFftBuildRealSplitTwiddles_L2(order, sine, pos)
                                     : SpFftBuildRealSplitTwiddles_L3(order, sine, pos);
        spec->RealMerge = reinterpret_cast<const float*>(pos);
        Level == SpFftLevel1 ? SpFftBuildComplexTwiddles_L1(order, sine, pos)
                             : SpFftBuildComplexTwiddles_L2(order, sine, pos);
    }
    *ppSpec = spec;
    return SpOk;
}

template <int32_t Level>
SpStatus ComplexInit(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer,
                     uint8_t* initBuffer)
{
    SpFftSpec* spec = nullptr;
    const SpStatus status = SpFftBeginInit(ComplexSizes<Level>, LevelZeroBuffer<Level>(), SpFftKindComplex,
                                           ppSpec, order, flag, hint, specBuffer, initBuffer, &spec);
    if (status != SpOk)
    {
        return status;
    }
    spec->Level = Level;
    if (order >= 4)
    {
        BuildCoreTables<Level>(spec, order, LevelSine<Level>(order, initBuffer));
    }
    *ppSpec = spec;
    return SpOk;
}

} // namespace

// ---- Plans ----

bool SpFftPassPlan_L1(int32_t order, SpFftPassPlan* plan)
{
    plan->Count = 0;
    return order >= 4 && order <= SpFftMaxOrder && PlanL1(order, plan);
}

bool SpFftPassPlan_L2(int32_t order, SpFftPassPlan* plan)
{
    plan->Count = 0;
    return order >= 4 && order <= SpFftMaxOrder && PlanRadix4Then8(order - 2, 4, plan);
}

bool SpFftPassPlanOf(int32_t level, int32_t order, SpFftPassPlan* plan)
{
    return level == SpFftLevel1 ? SpFftPassPlan_L1(order, plan) : SpFftPassPlan_L2(order, plan);
}

int32_t SpFftDirectLimit(int32_t level)
{
    return level == SpFftLevel1 ? 16 : 17;
}

int32_t SpFftLargeLeafOrder(int32_t level, int32_t order)
{
    int32_t rows = order;
    while (rows > SpFftDirectLimit(level))
    {
        rows -= SpFftLargeSplitOf(rows).ColumnBits;
    }
    return rows;
}

int32_t SpFftTiledLimit(int32_t level)
{
    return level == SpFftLevel1 ? 20 : 19;
}

SpFftLargeSplit SpFftLargeSplitOf(int32_t order)
{
    return kLargeSplit[order - 17];
}

// ---- Tables ----

namespace
{
uint8_t* BuildIndexTable(int32_t order, uint32_t* table)
{
    if (order < 2)
    {
        return reinterpret_cast<uint8_t*>(table);
    }
    const int32_t bits = order - 2;
    const int64_t quads = int64_t(1) << bits;
    for (int64_t k = 0; k < quads; ++k)
    {
        table[k] = 2 * SpFftReverseBits(uint32_t(k), bits);
    }
    table[quads] = 0;
    return SpFftAlignUp32(reinterpret_cast<uint8_t*>(table + quads + 1));
}
} // namespace

uint8_t* SpFftBuildBitRevIndexTable_L1(int32_t order, uint32_t* table)
{
    return BuildIndexTable(order, table);
}

uint8_t* SpFftBuildBitRevIndexTable_L2(int32_t order, uint32_t* table)
{
    return BuildIndexTable(order, table);
}

uint8_t* SpFftBuildPlanTwiddles(const SpFftPassPlan& plan, int32_t order, SpFftSine sine, uint8_t* pos)
{
    const int64_t points = int64_t(1) << order;
    float* out = reinterpret_cast<float*>(pos);
    for (int32_t pass = 0; pass < plan.Count; ++pass)
    {
        const int32_t radix = plan.Radix[pass];
        const int64_t span = plan.Span[pass];
        const int64_t stride = points / (radix * span);
        for (int64_t k0 = 0; k0 < span; k0 += 4)
        {
            for (int32_t p = 1; p < radix; ++p)
            {
                for (int64_t k = k0; k < k0 + 4; ++k)
                {
                    TableFactor(sine, order, p * k * stride, out + (k - k0), out + 4 + (k - k0));
                }
                out += 8;
            }
        }
    }
    return SpFftAlignUp32(reinterpret_cast<uint8_t*>(out));
}

uint8_t* SpFftBuildRadix4Twiddles_L1(int32_t order, SpFftSine sine, uint8_t* pos)
{
    SpFftPassPlan plan;
    if (!SpFftPassPlan_L1(order, &plan))
    {
        return pos;
    }
    SpFftBuildPlanTwiddles(plan, order, sine, pos);
    return pos + SpFftRoundUp32(8 * (int64_t(1) << order));
}

uint8_t* SpFftBuildRadix4Twiddles_L2(int32_t order, SpFftSine sine, uint8_t* pos)
{
    SpFftPassPlan plan;
    if (!SpFftPassPlan_L2(order, &plan))
    {
        return pos;
    }
    SpFftBuildPlanTwiddles(plan, order, sine, pos);
    return pos + SpFftRoundUp32(8 * (int64_t(1) << order));
}

SpFftSizes SpFftGetLargeBufferSize_L1(int32_t order)
{
    return LargeSizes<SpFftLevel1>(order, true);
}

SpFftSizes SpFftGetLargeBufferSize_L2(int32_t order)
{
    return LargeSizes<SpFftLevel2>(order, true);
}

SpFftSizes SpFftGetLargeBufferSize_L3(int32_t order)
{
    return LargeSizes<SpFftLevel3>(order, true);
}

SpFftSizes SpFftGetLargeBufferSizeStep_L1(int32_t order)
{
    return LargeSizes<SpFftLevel1>(order, false);
}

SpFftSizes SpFftGetLargeBufferSizeStep_L2(int32_t order)
{
    return LargeSizes<SpFftLevel2>(order, false);
}

SpFftSizes SpFftGetLargeBufferSizeStep_L3(int32_t order)
{
    return LargeSizes<SpFftLevel3>(order, false);
}

uint8_t* SpFftInitLargeTables_L1(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos)
{
    return InitLarge<SpFftLevel1>(spec, order, sine, pos);
}

uint8_t* SpFftInitLargeTables_L2(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos)
{
    return InitLarge<SpFftLevel2>(spec, order, sine, pos);
}

uint8_t* SpFftInitLargeTables_L3(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos)
{
    return InitLarge<SpFftLevel3>(spec, order, sine, pos);
}

uint8_t* SpFftInitLargeTablesStep_L1(SpFftSpec* spec, int32_t order, SpFftSine sine, int32_t depth,
                                     uint8_t* pos)
{
    return InitLargeStep<SpFftLevel1>(spec, order, sine, depth, pos);
}

uint8_t* SpFftInitLargeTablesStep_L2(SpFftSpec* spec, int32_t order, SpFftSine sine, int32_t depth,
                                     uint8_t* pos)
{
    return InitLargeStep<SpFftLevel2>(spec, order, sine, depth, pos);
}

uint8_t* SpFftInitLargeTablesStep_L3(SpFftSpec* spec, int32_t order, SpFftSine sine, int32_t depth,
                                     uint8_t* pos)
{
    return InitLargeStep<SpFftLevel3>(spec, order, sine, depth, pos);
}

namespace
{
// Tile entries rev(t) << k over the order - 2k middle bits, then the swap list of order 2k built
// by the level's own builder.
uint8_t* BuildTiled(int32_t order, int32_t k, uint32_t* table, uint8_t* (*swapList)(int32_t, uint32_t*))
{
    const int32_t bits = order - 2 * k;
    const int64_t tiles = int64_t(1) << bits;
    for (int64_t t = 0; t < tiles; ++t)
    {
        table[t] = SpFftReverseBits(uint32_t(t), bits) << k;
    }
    return swapList(2 * k, table + tiles);
}

uint8_t* GenericSwapList(int32_t order, uint32_t* table)
{
    return SpFftBuildBitRevTable(reinterpret_cast<uint8_t*>(table), order);
}
} // namespace

uint8_t* SpFftBuildTiledBitRevTable_L1(int32_t order, int32_t k, uint32_t* table)
{
    return BuildTiled(order, k, table, GenericSwapList);
}

uint8_t* SpFftBuildTiledBitRevTable_L2(int32_t order, int32_t k, uint32_t* table)
{
    return BuildTiled(order, k, table, SpFftBuildBitRevTable_L2);
}

namespace
{
// cos and sin of 2 pi k / 2^order for 0 <= k <= N/4, straight from the quarter-wave table.
void QuarterCosSin(SpFftSine sine, int32_t order, int64_t k, float* c, float* s)
{
    const int64_t quarter = (int64_t(1) << order) / 4;
    const int64_t d = int64_t(1) << (sine.Order - order);
    *c = sine.Table[(quarter - k) * d];
    *s = sine.Table[k * d];
}

// Blocks of four k from 1 to N/4: four values of the first kind, then four of the second.
template <bool Split> uint8_t* BuildSplitBlocks(int32_t order, SpFftSine sine, uint8_t* table)
{
    const int64_t quarter = (int64_t(1) << order) / 4;
    float* out = reinterpret_cast<float*>(table);
    for (int64_t k0 = 1; k0 <= quarter; k0 += 4, out += 8)
    {
        for (int64_t l = 0; l < 4; ++l)
        {
            float c, s;
            QuarterCosSin(sine, order, k0 + l, &c, &s);
            if (Split)
            {
                out[l] = c * 0.5f;
                out[4 + l] = float(0.5 - 0.5 * double(s));
            }
            else
            {
                out[l] = c;
                out[4 + l] = 0.0f - s;
            }
        }
    }
    return SpFftAlignUp32(reinterpret_cast<uint8_t*>(out));
}
} // namespace

uint8_t* SpFftBuildRealSplitTwiddles_L1(int32_t order, SpFftSine sine, uint8_t* table)
{
    return BuildSplitBlocks<true>(order, sine, table);
}

uint8_t* SpFftBuildRealSplitTwiddles_L2(int32_t order, SpFftSine sine, uint8_t* table)
{
    return BuildSplitBlocks<true>(order, sine, table);
}

uint8_t* SpFftBuildRealSplitTwiddles_L3(int32_t order, SpFftSine sine, uint8_t* table)
{
    return BuildSplitBlocks<true>(order, sine, table);
}

uint8_t* SpFftBuildComplexTwiddles_L1(int32_t order, SpFftSine sine, uint8_t* table)
{
    return BuildSplitBlocks<false>(order, sine, table);
}

uint8_t* SpFftBuildComplexTwiddles_L2(int32_t order, SpFftSine sine, uint8_t* table)
{
    return BuildSplitBlocks<false>(order, sine, table);
}

uint8_t* SpFftBuildBitRevTable_L2(int32_t order, uint32_t* table)
{
    return GenericSwapList(order, table);
}

SpCopyDirectionHook SpCopyDirectionTrace = nullptr;

SpCopyDirectionHook SpSetCopyDirectionHookForTest(SpCopyDirectionHook hook)
{
    const SpCopyDirectionHook previous = SpCopyDirectionTrace;
    SpCopyDirectionTrace = hook;
    return previous;
}

uint8_t* SpFftInitSineTable_L1(int32_t order, float* table)
{
    return LevelSineTable(order, table);
}

uint8_t* SpFftInitSineTable_L2(int32_t order, float* table)
{
    return LevelSineTable(order, table);
}

uint8_t* SpFftInitSineTable_L3(int32_t order, float* table)
{
    return LevelSineTable(order, table);
}

namespace
{
// The level's checks, then its own byte zeroing.
SpStatus ZeroBuffer(void* (*zeroBytes)(void*, int32_t), void* p, int32_t bytes)
{
    if (!p)
    {
        return SpErrNullPointer;
    }
    if (bytes < 1)
    {
        return SpErrBadLength;
    }
    zeroBytes(p, bytes);
    return SpOk;
}
} // namespace

SpStatus SpZeroBuffer_L1(void* p, int32_t bytes)
{
    return ZeroBuffer(SpZeroBytes_L1, p, bytes);
}

SpStatus SpZeroBuffer_L2(void* p, int32_t bytes)
{
    return ZeroBuffer(SpZeroBytes_L2, p, bytes);
}

SpStatus SpZeroBuffer_L3(void* p, int32_t bytes)
{
    return ZeroBuffer(SpZeroBytes_L3, p, bytes);
}

// ---- Size queries, initialisations and creates ----

#define SP_FFT_DEFINE_SETUP(L, Level)                                                                        \
    SpStatus SpFftRealGetSize_##L(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,            \
                                  int32_t* pInitBytes, int32_t* pWorkBytes)                                  \
    {                                                                                                        \
        return SpFftGetSizeOf(RealSizes<Level>, order, flag, pSpecBytes, pInitBytes, pWorkBytes);            \
    }                                                                                                        \
    SpStatus SpFftRealInit_##L(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,                \
                               uint8_t* specBuffer, uint8_t* initBuffer)                                     \
    {                                                                                                        \
        return RealInit<Level>(ppSpec, order, flag, hint, specBuffer, initBuffer);                           \
    }                                                                                                        \
    SpStatus SpFftRealCreate_##L(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint)              \
    {                                                                                                        \
        return SpFftCreateWith(SpFftRealGetSize_##L, SpFftRealInit_##L, ppSpec, order, flag, hint);          \
    }                                                                                                        \
    SpStatus SpFftComplexGetSize_##L(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,         \
                                     int32_t* pInitBytes, int32_t* pWorkBytes)                               \
    {                                                                                                        \
        return SpFftGetSizeOf(ComplexSizes<Level>, order, flag, pSpecBytes, pInitBytes, pWorkBytes);         \
    }                                                                                                        \
    SpStatus SpFftComplexInit_##L(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,             \
                                  uint8_t* specBuffer, uint8_t* initBuffer)                                  \
    {                                                                                                        \
        return ComplexInit<Level>(ppSpec, order, flag, hint, specBuffer, initBuffer);                        \
    }                                                                                                        \
    SpStatus SpFftComplexCreate_##L(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint)           \
    {                                                                                                        \
        return SpFftCreateWith(SpFftComplexGetSize_##L, SpFftComplexInit_##L, ppSpec, order, flag, hint);    \
    }

SP_FFT_DEFINE_SETUP(L1, SpFftLevel1)
SP_FFT_DEFINE_SETUP(L2, SpFftLevel2)
SP_FFT_DEFINE_SETUP(L3, SpFftLevel3)

// ---- Cache size for the non-temporal copies ----

namespace
{

// CPUID leaf-2 descriptors of the last-level caches, searched in this order; a code gives
// (code >> 4) << ((code & 15) + 18) bytes.
struct CacheRow
{
    uint8_t Descriptor;
    uint8_t Code;
};
const CacheRow kCacheDescriptors[] = {
    {0x4D, 0x16}, {0x4C, 0x34}, {0x4B, 0x15}, {0x47, 0x15}, {0x4E, 0x33}, {0x4A, 0x33}, {0x49, 0x14},
    {0x29, 0x14}, {0x46, 0x14}, {0x48, 0x32}, {0x25, 0x13}, {0x7D, 0x13}, {0x85, 0x13}, {0x45, 0x13},
    {0x23, 0x12}, {0x87, 0x12}, {0x7C, 0x12}, {0x78, 0x12}, {0x84, 0x12}, {0x44, 0x12}, {0x22, 0x11},
    {0x7B, 0x11}, {0x80, 0x11}, {0x86, 0x11}, {0x3E, 0x11}, {0x7F, 0x11}, {0x83, 0x11}, {0x43, 0x11},
};

} // namespace

int64_t SpCopyCacheBytes(int32_t level)
{
    if (!SpIsGenuineIntel())
    {
        return 0; // other vendors' leaf 2 does not describe their caches
    }
    uint32_t regs[4];
    SpCpuId(regs, 0, 0);
    int64_t divisor = 1;
    if (level == SpFftLevel1 && regs[0] >= 4)
    {
        SpCpuId(regs, 4, 0);
        divisor = int64_t(regs[0] >> 26) + 1; // the cores that share the cache
    }
    SpCpuId(regs, 2, 0);
    if ((regs[0] & 0xFF) != 1)
    {
        return 0;
    }
    uint8_t bytes[16] = {};
    for (int r = 0; r < 4; ++r)
    {
        if ((regs[r] & 0x80000000u) == 0)
        {
            for (int b = r == 0 ? 1 : 0; b < 4; ++b)
            {
                bytes[4 * r + b] = uint8_t(regs[r] >> (8 * b));
            }
        }
    }
    for (const CacheRow& row : kCacheDescriptors)
    {
        for (uint8_t byte : bytes)
        {
            if (byte == row.Descriptor)
            {
                return (int64_t(row.Code >> 4) << ((row.Code & 15) + 18)) / divisor;
            }
        }
    }
    return 0;
}
