// The large-order drivers of one level (included by sp_fft_levels_build-inl.h inside its
// namespace, with that level's names in scope): the pair-list and tiled bit reversals, the row
// gather and scatter of the column passes, the radix-2/4/8 twiddle passes and the driver with its
// recursive step.
//
// A transform of 2^m points is reordered once, then seen as F = 2^f rows of 2^(m - f) points:
// every row is transformed by the in-place core (or, when still too long, by the step again one
// depth down) and left in the four-point block layout; the f column bits are then done in groups
// of B columns gathered into the work area, where radix-8 and radix-4 passes read their factors
// from the depth's table with one cursor that only moves forward. Only the scatter of depth 0
// turns the blocks back into interleaved points.

// ---- Pair-list bit reversal -----------------------------------------------------------------

// In-place reversal of `count` elements by the swap list of order log2(count) (offsets in floats
// of two-point chunks, so chunk = entry / 4): point (h, c, r) of half h, chunk c and lane r goes
// to (r, rev(c), h). Below 4 elements there is nothing to reverse.
template <typename T> void PairReverseInPlace(void* data, int64_t count, const int32_t* list)
{
    if (count < 4)
    {
        return;
    }
    const int64_t half = count / 2;
    const auto at = [half](int64_t h, int64_t c, int64_t r) { return h * half + 2 * c + r; };
    int64_t i = 0;
    for (; list[i] > 0; i += 2)
    {
        const int64_t a = list[i] / 4, b = list[i + 1] / 4;
        T va[2][2], vb[2][2];
        for (int64_t h = 0; h < 2; ++h)
        {
            for (int64_t r = 0; r < 2; ++r)
            {
                va[h][r] = LoadAt<T>(data, at(h, a, r));
                vb[h][r] = LoadAt<T>(data, at(h, b, r));
            }
        }
        for (int64_t h = 0; h < 2; ++h)
        {
            for (int64_t r = 0; r < 2; ++r)
            {
                StoreAt<T>(data, at(r, b, h), va[h][r]);
                StoreAt<T>(data, at(r, a, h), vb[h][r]);
            }
        }
    }
    // The 0 that ended the pairs names chunk 0; the self-paired chunks follow up to the next 0.
    int64_t chunk = 0;
    for (;;)
    {
        const T first = LoadAt<T>(data, at(0, chunk, 1));
        StoreAt<T>(data, at(0, chunk, 1), LoadAt<T>(data, at(1, chunk, 0)));
        StoreAt<T>(data, at(1, chunk, 0), first);
        ++i;
        if (list[i] == 0)
        {
            break;
        }
        chunk = list[i] / 4;
    }
}

// The same mapping written from src into dst, every element once. Below 8 elements: the ends
// straight across and, from 4, the middle two exchanged; no element, nothing written.
template <typename T> void PairReverseCopy(const void* src, void* dst, int64_t count, const int32_t* list)
{
    if (count < 1)
    {
        return; // nothing to copy, and dst may have no room for element 0
    }
    if (count < 8)
    {
        StoreAt<T>(dst, 0, LoadAt<T>(src, 0));
        if (count >= 2)
        {
            StoreAt<T>(dst, count - 1, LoadAt<T>(src, count - 1));
        }
        if (count >= 4)
        {
            StoreAt<T>(dst, 1, LoadAt<T>(src, 2));
            StoreAt<T>(dst, 2, LoadAt<T>(src, 1));
        }
        return;
    }
    const int64_t half = count / 2;
    const auto at = [half](int64_t h, int64_t c, int64_t r) { return h * half + 2 * c + r; };
    int64_t i = 0;
    for (; list[i] > 0; i += 2)
    {
        const int64_t a = list[i] / 4, b = list[i + 1] / 4;
        for (int64_t h = 0; h < 2; ++h)
        {
            for (int64_t r = 0; r < 2; ++r)
            {
                StoreAt<T>(dst, at(r, b, h), LoadAt<T>(src, at(h, a, r)));
                StoreAt<T>(dst, at(r, a, h), LoadAt<T>(src, at(h, b, r)));
            }
        }
    }
    int64_t chunk = 0;
    for (;;)
    {
        for (int64_t h = 0; h < 2; ++h)
        {
            for (int64_t r = 0; r < 2; ++r)
            {
                StoreAt<T>(dst, at(r, chunk, h), LoadAt<T>(src, at(h, chunk, r)));
            }
        }
        ++i;
        if (list[i] == 0)
        {
            break;
        }
        chunk = list[i] / 4;
    }
}

// ---- Tiled bit reversal -----------------------------------------------------------------------

constexpr int64_t kTilePoints = 4096; // 64 rows of 64 points
constexpr int64_t kTileBytes = 8 * kTilePoints;

// One 64 x 64 tile (rows rowStride points apart) into or out of a packed area, 512 bytes a row.
inline void TileIn(const float* data, float* tile, int64_t rowStride)
{
    for (int64_t r = 0; r < 64; ++r)
    {
        memcpy(tile + 128 * r, data + 2 * r * rowStride, 512);
    }
}

inline void TileOut(float* data, const float* tile, int64_t rowStride)
{
    for (int64_t r = 0; r < 64; ++r)
    {
        memcpy(data + 2 * r * rowStride, tile + 128 * r, 512);
    }
}

// The index of a point, read as (row a: top 6 bits, tile t: middle bits, column c: low 6 bits),
// reverses to (rev c, rev t, rev a): tile t trades places with tile rev t, and within the tile
// the 12 bits a c reverse as one. table: the tile entries (64 rev t), then the order-12 swap list.
void TiledReverse(float* data, int64_t points, const uint32_t* table, uint8_t* work)
{
    if (points < kTilePoints)
    {
        return;
    }
    const int64_t tiles = points / kTilePoints;
    const int64_t rowStride = points / 64;
    const auto* swap = reinterpret_cast<const int32_t*>(table + tiles);
    float* first = reinterpret_cast<float*>(work);
    float* second = reinterpret_cast<float*>(work + kTileBytes);
    for (int64_t t = 0; t < tiles; ++t)
    {
        const int64_t d = 64 * t, s = table[t];
        if (s < d)
        {
            continue; // done when tile s was visited
        }
        TileIn(data + 2 * d, first, rowStride);
        PairReverseInPlace<uint64_t>(first, kTilePoints, swap);
        if (s == d)
        {
            TileOut(data + 2 * d, first, rowStride);
            continue;
        }
        TileIn(data + 2 * s, second, rowStride);
        PairReverseInPlace<uint64_t>(second, kTilePoints, swap);
        TileOut(data + 2 * s, first, rowStride);
        TileOut(data + 2 * d, second, rowStride);
    }
}

// Out of place through one tile of work: destination tile t is the reversed source tile at
// entry t, so the source is only read.
void TiledReverseCopy(const float* src, float* dst, int64_t points, const uint32_t* table, uint8_t* work)
{
    const int64_t tiles = points / kTilePoints;
    const int64_t rowStride = points / 64;
    const auto* swap = reinterpret_cast<const int32_t*>(table + tiles);
    float* tile = reinterpret_cast<float*>(work);
    for (int64_t t = 0; t < tiles; ++t)
    {
        TileIn(src + 2 * int64_t(table[t]), tile, rowStride);
        PairReverseInPlace<uint64_t>(tile, kTilePoints, swap);
        TileOut(dst + 2 * 64 * t, tile, rowStride);
    }
}

// ---- Row transfers of the column passes --------------------------------------------------------

// Rows of rowLen points (whole 8-point chunks of 64 bytes), row i at data + i * stride points,
// packed one after another in work. The blocks are moved as they are.
void GatherRows(const float* data, float* work, int64_t stride, int64_t rows, int64_t rowLen)
{
    const int64_t chunks = (rowLen + 7) / 8;
    for (int64_t i = 0; i < rows; ++i)
    {
        const float* from = data + 2 * i * stride;
        for (int64_t c = 0; c < chunks; ++c, from += 16, work += 16)
        {
            for (int v = 0; v < 16; v += 4)
            {
                _mm_store_ps(work + v, _mm_loadu_ps(from + v));
            }
        }
    }
}

// Back to the rows; interleave 1 turns every block into four interleaved points on the way.
void ScatterRows(float* data, const float* work, int64_t stride, int64_t rows, int64_t rowLen,
                 int32_t interleave)
{
    const int64_t chunks = (rowLen + 7) / 8;
    for (int64_t i = 0; i < rows; ++i)
    {
        float* to = data + 2 * i * stride;
        for (int64_t c = 0; c < chunks; ++c, to += 16, work += 16)
        {
            for (int b = 0; b < 16; b += 8)
            {
                const Block block = {_mm_load_ps(work + b), _mm_load_ps(work + b + 4)};
                if (interleave == 1)
                {
                    StoreInterleaved(to + b, block);
                }
                else
                {
                    StoreBlock(to + b, block);
                }
            }
        }
    }
}

// Separate real and imaginary arrays: each 8-point chunk as re 0-3, im 0-3, re 4-7, im 4-7.
void GatherPlanarRows(const float* re, const float* im, float* work, int64_t stride, int64_t rows,
                      int64_t rowLen)
{
    const int64_t chunks = (rowLen + 7) / 8;
    for (int64_t i = 0; i < rows; ++i)
    {
        for (int64_t c = 0; c < chunks; ++c, work += 16)
        {
            const int64_t at = i * stride + 8 * c;
            _mm_store_ps(work, _mm_loadu_ps(re + at));
            _mm_store_ps(work + 4, _mm_loadu_ps(im + at));
            _mm_store_ps(work + 8, _mm_loadu_ps(re + at + 4));
            _mm_store_ps(work + 12, _mm_loadu_ps(im + at + 4));
        }
    }
}

void ScatterPlanarRows(float* re, float* im, const float* work, int64_t stride, int64_t rows, int64_t rowLen)
{
    const int64_t chunks = (rowLen + 7) / 8;
    for (int64_t i = 0; i < rows; ++i)
    {
        for (int64_t c = 0; c < chunks; ++c, work += 16)
        {
            const int64_t at = i * stride + 8 * c;
            _mm_storeu_ps(re + at, _mm_load_ps(work));
            _mm_storeu_ps(im + at, _mm_load_ps(work + 4));
            _mm_storeu_ps(re + at + 4, _mm_load_ps(work + 8));
            _mm_storeu_ps(im + at + 4, _mm_load_ps(work + 12));
        }
    }
}

// ---- Twiddle passes -----------------------------------------------------------------------------

// Leg 0 plus leg 1 times the factor (forward) or its conjugate (inverse), and minus it.
template <bool Inverse> inline void Radix2(Block* x, const float* rec)
{
    const Block b = Twiddle<Inverse>(x[1], rec);
    const Block a = x[0];
    x[0] = Add(a, b);
    x[1] = Sub(a, b);
}

// groups groups of R legs of `span` points, one after another; every group reads the same
// entries from the section's start, R - 1 factors of four offsets an entry. The legs hold their
// logical inputs in bit-reversed position; the outputs land in natural order. src may be dst.
template <bool Inverse, int R>
void TwiddlePass(const float* src, float* dst, int64_t span, int64_t groups, const float* twiddles)
{
    for (int64_t g = 0; g < groups; ++g)
    {
        const int64_t base = g * R * span;
        const float* rec = twiddles;
        for (int64_t q = 0; q < span; q += 4, rec += 8 * (R - 1))
        {
            Block x[R];
            for (int p = 0; p < R; ++p)
            {
                x[p] = LoadBlock(src + 2 * (base + p * span + q));
            }
            if (R == 2)
            {
                Radix2<Inverse>(x, rec);
            }
            else if (R == 4)
            {
                Radix4<Inverse>(x, rec);
            }
            else
            {
                Radix8<Inverse>(x, rec);
            }
            for (int p = 0; p < R; ++p)
            {
                StoreBlock(dst + 2 * (base + p * span + q), x[p]);
            }
        }
    }
}

// ---- Driver and recursive step -----------------------------------------------------------------

// One row of 2^order points, already in bit-reversed order, transformed in place: its own rows
// by the core (or one depth down), then its column groups. At depth 0 the result is interleaved;
// deeper it stays in blocks for the passes above.
template <bool Inverse>
void LargeStep(const SpFftSpec* spec, float* data, int32_t order, int32_t depth, float* work)
{
    // As deep as the spec has tables for, never deeper (see the builder).
    if (depth < 0 || depth >= SpFftMaxDepth)
    {
        return;
    }
    const SpFftLargeSplit split = SpFftLargeSplitOf(order);
    const int32_t f = split.ColumnBits;
    const int32_t r = order - f;
    const int64_t rowPoints = int64_t(1) << r;
    const int64_t rows = int64_t(1) << f;
    const bool scale = Inverse ? spec->InvScaleOn != 0 : spec->FwdScaleOn != 0;
    for (int64_t a = 0; a < rows; ++a)
    {
        float* row = data + 2 * a * rowPoints;
        if (r > SpFftDirectLimit(kLevel))
        {
            LargeStep<Inverse>(spec, row, r, depth + 1, work);
            continue;
        }
        Order16Core<kLevel, Inverse>(row, rowPoints, spec->Radix4, work, 0);
        if (scale)
        {
            ScaleInPlace(spec->Scale, row, int32_t(2 * rowPoints));
        }
    }
    const int64_t columns = int64_t(1) << (split.GroupBits - f);
    const float* cursor = spec->ColumnTwiddles[depth];
    for (int64_t c0 = 0; c0 < rowPoints; c0 += columns)
    {
        GatherRows(data + 2 * c0, work, rowPoints, rows, columns);
        int32_t done = 0;
        int64_t span = columns, groups = rows;
        while (done < f)
        {
            if (f - done == 2 || f - done == 4)
            {
                groups /= 4;
                TwiddlePass<Inverse, 4>(work, work, span, groups, cursor);
                cursor += 2 * 3 * span;
                span *= 4;
                done += 2;
            }
            else
            {
                groups /= 8;
                TwiddlePass<Inverse, 8>(work, work, span, groups, cursor);
                cursor += 2 * 7 * span;
                span *= 8;
                done += 3;
            }
        }
        ScatterRows(data + 2 * c0, work, rowPoints, rows, columns, depth == 0 ? 1 : 0);
    }
}

// The level's reordering into dst: level 1 tiles from complex order 20, levels 2 and 3 from 19
// (gathering the tiles straight from a separate source at 19 and 20).
void LargeReorder(const SpFftSpec* spec, const float* src, float* dst, int32_t order, uint8_t* work)
{
    const int64_t points = int64_t(1) << order;
    const auto* table = reinterpret_cast<const uint32_t*>(spec->BitRev);
    const bool separate = src != dst;
    if (order >= SpFftTiledLimit(kLevel))
    {
        if (separate && kLevel != SpFftLevel1 && order <= 20)
        {
            TiledReverseCopy(src, dst, points, table, work);
            return;
        }
        if (separate)
        {
            CopyAll(src, dst, 8 * points);
        }
        TiledReverse(dst, points, table, work);
        return;
    }
    if (separate && order == 17)
    {
        BitReverse(src, dst, points, table);
        return;
    }
    if (separate)
    {
        CopyAll(src, dst, 8 * points);
    }
    BitReverse(dst, dst, points, table);
}

template <bool Inverse>
void Large(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* work)
{
    LargeReorder(spec, src, dst, order, reinterpret_cast<uint8_t*>(work));
    LargeStep<Inverse>(spec, dst, order, 0, work);
}
