// Tables and sizes of the FFT engine: the static quarter-wave sine table, the size arithmetic of
// every order, and the builders of the bit-reversal, twiddle and column tables. Values are
// computed in double precision and stored as float; sizes are computed in 64 bits so that no
// order can wrap a 32-bit count.
#include <math.h>

#include "driver/primitives/fft/sp_fft_internal.h"

namespace
{

constexpr double kPi = 3.14159265358979323846;

// Build-time sine (the table is constant-initialised, no code runs at load): the Taylor series
// converges to double precision well before its 30th term for arguments up to pi/2.
constexpr double TaylorSin(double x)
{
    double term = x;
    double sum = x;
    for (int k = 1; k < 30; ++k)
    {
        term *= -(x * x) / double((2 * k) * (2 * k + 1));
        sum += term;
    }
    return sum;
}

constexpr SpFftSineTable1024 MakeStaticSine()
{
    SpFftSineTable1024 table{};
    for (int k = 0; k <= 256; ++k)
    {
        table.Value[k] = float(TaylorSin(2.0 * kPi * k / 1024.0));
    }
    table.Value[0] = 0.0f;
    table.Value[256] = 1.0f;
    return table;
}

// Column-transform order of each complex order from 11 to 30.
const int8_t kSplitOrder[20] = {
    0, 0, 5, 6, 7, 8, 8, 8, 10, 10, 10, 10, 8, 8, 10, 10, 10, 10, 10, 10,
};

inline uint32_t ReverseBits(uint32_t x, int32_t bits)
{
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
    x = ((x >> 8) & 0x00FF00FFu) | ((x & 0x00FF00FFu) << 8);
    x = (x >> 16) | (x << 16);
    return bits == 0 ? 0 : x >> (32 - bits);
}

// cos and sin of 2 pi a / 2^order for 0 <= a < 2^order (order >= 2), read from the quarter-wave
// table with the quadrant symmetries.
void CosSin(SpFftSine sine, int32_t order, int64_t a, double* pCos, double* pSin)
{
    const int64_t quarter = int64_t(1) << (order - 2);
    const int64_t stride = int64_t(1) << (sine.Order - order);
    const int64_t r = a & (quarter - 1);
    const double lo = sine.Table[r * stride];
    const double hi = sine.Table[(quarter - r) * stride];
    switch (a >> (order - 2))
    {
    case 0:
        *pSin = lo;
        *pCos = hi;
        break;
    case 1:
        *pSin = hi;
        *pCos = -lo;
        break;
    case 2:
        *pSin = -lo;
        *pCos = -hi;
        break;
    default:
        *pSin = -hi;
        *pCos = lo;
        break;
    }
}

// The inner tables of a column step of order `order`: the core's table for orders up to 10, the
// 1,024-point blocks and combining passes for unsplit orders, else a deeper step.
uint8_t* BuildInnerTables(SpFftSpec* spec, int32_t order, int32_t depth, SpFftSine sine, uint8_t* pos)
{
    if (order <= 10)
    {
        spec->Radix4 = reinterpret_cast<const float*>(pos);
        return SpFftBuildRadix4Twiddles(pos, order, sine);
    }
    if (SpFftSplitOrder(order) == 0)
    {
        spec->Radix4 = reinterpret_cast<const float*>(pos);
        pos = SpFftBuildRadix4Twiddles(pos, 10, sine);
        spec->ComplexTwiddles = reinterpret_cast<const float*>(pos);
        return SpFftBuildComplexTwiddles(pos, order, sine);
    }
    return SpFftInitLargeTablesStep(spec, order, depth + 1, sine, pos);
}

// Column twiddles of a split order: for each group of four columns c, row j holds the four
// factors e^(-2 pi i c rev(j) / M), rows in bit-reversed order to match the sub-transforms.
uint8_t* BuildColumnTwiddles(uint8_t* pos, int32_t order, int32_t split, SpFftSine sine)
{
    const int64_t rows = int64_t(1) << split;
    const int64_t columns = int64_t(1) << (order - split);
    const int64_t mask = (int64_t(1) << order) - 1;
    float* out = reinterpret_cast<float*>(pos);
    for (int64_t group = 0; group < columns / 4; ++group)
    {
        for (int64_t row = 0; row < rows; ++row)
        {
            const int64_t rev = ReverseBits(uint32_t(row), split);
            for (int64_t c = 4 * group; c < 4 * group + 4; ++c)
            {
                double cosv, sinv;
                CosSin(sine, order, (c * rev) & mask, &cosv, &sinv);
                *out++ = float(cosv);
                *out++ = float(-sinv);
            }
        }
    }
    return SpFftAlignUp32(reinterpret_cast<uint8_t*>(out));
}

} // namespace

void SpFftCosSin(SpFftSine sine, int32_t order, int64_t a, double* pCos, double* pSin)
{
    CosSin(sine, order, a, pCos, pSin);
}

uint32_t SpFftReverseBits(uint32_t x, int32_t bits)
{
    return ReverseBits(x, bits);
}

extern const SpFftSineTable1024 SpFftStaticSine;
const SpFftSineTable1024 SpFftStaticSine = MakeStaticSine();

int32_t SpFftSplitOrder(int32_t order)
{
    return order < 11 ? 0 : kSplitOrder[order - 11];
}

SpFftLargeSizes SpFftGetLargeBufferSize(int32_t order)
{
    const int64_t points = int64_t(1) << order;
    const int32_t split = SpFftSplitOrder(order);
    if (split == 0)
    {
        return {SpFftRoundUp32(2 * points) + 8224, 0, 0};
    }
    const int32_t inner = order - split;
    const int64_t rows = int64_t(1) << split;
    SpFftLargeSizes sizes;
    if (inner <= 10)
    {
        sizes = {SpFftRoundUp32(8 * (int64_t(1) << inner) + 8), 0, 0};
    }
    else
    {
        sizes = SpFftGetLargeBufferSize(inner);
    }
    sizes.Spec += 8 * points + SpFftRoundUp32(8 * rows + 8);
    sizes.Init += SpFftRoundUp32(rows + 4) + 32 * rows;
    if (sizes.Work < 32 * rows)
    {
        sizes.Work = 32 * rows;
    }
    return sizes;
}

bool SpFftFillHeader(SpFftSpec* record, int32_t kind, int32_t order, int32_t flag, int32_t hint)
{
    record->Order = order;
    record->Hint = hint;
    record->Level = SpFftBuildLevel;
    const double points = double(int64_t(1) << order);
    switch (flag)
    {
    case SpFftDivFwdByN:
        record->FwdScaleOn = 1;
        record->Scale = 1.0f / float(points);
        break;
    case SpFftDivInvByN:
        record->InvScaleOn = 1;
        record->Scale = 1.0f / float(points);
        break;
    case SpFftDivBySqrtN:
        record->FwdScaleOn = 1;
        record->InvScaleOn = 1;
        record->Scale = float(1.0 / sqrt(points));
        break;
    case SpFftNoDivide:
        break;
    default:
        return false;
    }
    record->Kind = kind;
    return true;
}

SpFftSine SpFftSineFor(int32_t order, uint8_t* initBuffer)
{
    if (order <= SpFftStaticSineOrder)
    {
        return {SpFftStaticSine.Value, SpFftStaticSineOrder};
    }
    uint8_t* table = SpFftAlignUp32(initBuffer);
    SpFftInitSineTable(table, order);
    return {reinterpret_cast<const float*>(table), order};
}

// Entries up to N/8 as sines and the rest as cosines of the complementary angle keep every
// argument below pi/4, where the library sine and cosine are most accurate.
uint8_t* SpFftInitSineTable(uint8_t* pos, int32_t order)
{
    const int64_t points = int64_t(1) << order;
    float* table = reinterpret_cast<float*>(pos);
    for (int64_t k = 0; k <= points / 8; ++k)
    {
        table[k] = float(sin(2.0 * kPi * double(k) / double(points)));
    }
    for (int64_t k = points / 8 + 1; k <= points / 4; ++k)
    {
        table[k] = float(cos(2.0 * kPi * double(points / 4 - k) / double(points)));
    }
    return SpFftAlignUp32(pos + 4 * (points / 4 + 1));
}

// Swap pairs over the middle order - 2 bits: pairs x < rev(x) from the front, a 0 word, then the
// self-reversed x >= 1 (descending), and a closing 0 word. Offsets are in floats (4x = point 2x).
uint8_t* SpFftBuildBitRevTable(uint8_t* pos, int32_t order)
{
    if (order < 2)
    {
        return pos;
    }
    const int32_t bits = order - 2;
    const int64_t quads = int64_t(1) << bits;
    int32_t* words = reinterpret_cast<int32_t*>(pos);
    int64_t front = 0;
    for (int64_t x = 1; x < quads; ++x)
    {
        const int64_t y = ReverseBits(uint32_t(x), bits);
        if (x < y)
        {
            words[front++] = int32_t(4 * x);
            words[front++] = int32_t(4 * y);
        }
    }
    words[front] = 0;
    int64_t back = quads - 1;
    for (int64_t x = 1; x < quads; ++x)
    {
        if (int64_t(ReverseBits(uint32_t(x), bits)) == x)
        {
            words[back--] = int32_t(4 * x);
        }
    }
    words[quads] = 0;
    return SpFftAlignUp32(pos + 4 * (quads + 1));
}

// Entry k: w^k, w^2k, w^3k with w = e^(-2 pi i / M), each as (cos, -sin); k = 0 .. M/4.
uint8_t* SpFftBuildRadix4Twiddles(uint8_t* pos, int32_t order, SpFftSine sine)
{
    const int64_t entries = (int64_t(1) << order) / 4 + 1;
    float* out = reinterpret_cast<float*>(pos);
    for (int64_t k = 0; k < entries; ++k)
    {
        for (int64_t j = 1; j <= 3; ++j)
        {
            double cosv, sinv;
            CosSin(sine, order, j * k, &cosv, &sinv);
            *out++ = float(cosv);
            *out++ = float(-sinv);
        }
    }
    return SpFftAlignUp32(reinterpret_cast<uint8_t*>(out));
}

// Entry k: (cos 2 pi k / M, -sin 2 pi k / M), k = 0 .. M/4 - 1.
uint8_t* SpFftBuildComplexTwiddles(uint8_t* pos, int32_t order, SpFftSine sine)
{
    const int64_t entries = (int64_t(1) << order) / 4;
    float* out = reinterpret_cast<float*>(pos);
    for (int64_t k = 0; k < entries; ++k)
    {
        double cosv, sinv;
        CosSin(sine, order, k, &cosv, &sinv);
        *out++ = float(cosv);
        *out++ = float(-sinv);
    }
    return SpFftAlignUp32(reinterpret_cast<uint8_t*>(out));
}

// Entry k: (cos(theta) / 2, (1 - sin(theta)) / 2), theta = 2 pi k / N, k = 0 .. N/4 - 1.
uint8_t* SpFftBuildRealSplitTwiddles(uint8_t* pos, int32_t order, SpFftSine sine)
{
    const int64_t entries = (int64_t(1) << order) / 4;
    float* out = reinterpret_cast<float*>(pos);
    for (int64_t k = 0; k < entries; ++k)
    {
        double cosv, sinv;
        CosSin(sine, order, k, &cosv, &sinv);
        *out++ = float(0.5 * cosv);
        *out++ = float(0.5 - 0.5 * sinv);
    }
    return SpFftAlignUp32(reinterpret_cast<uint8_t*>(out));
}

uint8_t* SpFftInitLargeTables(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos)
{
    spec->BitRev = reinterpret_cast<const int32_t*>(pos);
    SpFftBuildBitRevTable(pos, order);
    pos += SpFftRoundUp32((int64_t(1) << order) + 4);
    spec->WorkBytes = 0;
    if (SpFftSplitOrder(order) == 0)
    {
        return BuildInnerTables(spec, order, -1, sine, pos);
    }
    return SpFftInitLargeTablesStep(spec, order, 0, sine, pos);
}

uint8_t* SpFftInitLargeTablesStep(SpFftSpec* spec, int32_t order, int32_t depth, SpFftSine sine, uint8_t* pos)
{
    const int32_t split = SpFftSplitOrder(order);
    pos = BuildInnerTables(spec, order - split, depth, sine, pos);
    spec->ColumnRadix4[depth] = reinterpret_cast<const float*>(pos);
    pos = SpFftBuildRadix4Twiddles(pos, split, sine);
    spec->ColumnTwiddles[depth] = reinterpret_cast<const float*>(pos);
    pos = BuildColumnTwiddles(pos, order, split, sine);
    const int64_t work = 32 * (int64_t(1) << split);
    if (spec->WorkBytes < work)
    {
        spec->WorkBytes = int32_t(work);
    }
    return pos;
}
