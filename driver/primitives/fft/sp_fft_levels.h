// The FFT family of processor levels 1 to 3: pass plans, table builders, the vector cores and
// drivers, and the level entries behind the FFT rows of the level tables. A spec laid out by a
// level carries that level's word and is read only by that level's transforms: the cores read
// tables built for their own pass plan.
//
// Complex data are interleaved floats (re, im). The cores work on the four-point block layout:
// four consecutive points stored as their four real parts, then their four imaginary parts.
#pragma once

#include <stdint.h>

#include "driver/primitives/dispatch/sp_level_tables.h"
#include "driver/primitives/fft/sp_fft.h"
#include "driver/primitives/fft/sp_fft_internal.h"

enum : int32_t
{
    SpFftLevel1 = 1,
    SpFftLevel2 = 2,
    SpFftLevel3 = 3,
    SpFftMaxPasses = 16,
};

// Butterfly passes after the first (untwiddled radix-4) pass: pass i has radix Radix[i] (2, 4
// or 8) and combines sub-transforms of Span[i] points. The last pass is the final one.
struct SpFftPassPlan
{
    int32_t Count;
    int32_t Radix[SpFftMaxPasses];
    int64_t Span[SpFftMaxPasses];
};

// The pass plan of a core of 2^order points (order >= 4), one function per plan family: level 1,
// and level 2 (which serves level 3). False for an order outside 4 .. 30.
bool SpFftPassPlan_L1(int32_t order, SpFftPassPlan* plan);
bool SpFftPassPlan_L2(int32_t order, SpFftPassPlan* plan);
// The plan of `level` (1 to 3).
bool SpFftPassPlanOf(int32_t level, int32_t order, SpFftPassPlan* plan);

// The largest complex order a level transforms without its large-order driver, and the order
// of the rows that driver finally transforms with the in-place core.
int32_t SpFftDirectLimit(int32_t level);
int32_t SpFftLargeLeafOrder(int32_t level, int32_t order);
// The complex order from which a level's large transforms reorder through 64 x 64 tiles.
int32_t SpFftTiledLimit(int32_t level);

// How the large-order driver splits complex order 17 .. 30: 2^ColumnBits rows of the rest, and
// column groups of 2^GroupBits points (2^(GroupBits - ColumnBits) columns of every row).
struct SpFftLargeSplit
{
    int32_t ColumnBits;
    int32_t GroupBits;
};
SpFftLargeSplit SpFftLargeSplitOf(int32_t order);

// ---- Table builders (scalar set-up code; each returns the next free 32-byte aligned address) --

// n/4 + 1 entries; entry k = 2 rev(k) over the order - 2 low bits, entry n/4 = 0 (the end mark).
uint8_t* SpFftBuildBitRevIndexTable_L1(int32_t order, uint32_t* table);
uint8_t* SpFftBuildBitRevIndexTable_L2(int32_t order, uint32_t* table);
// Records of a plan: per pass, span/4 records of radix - 1 factors exp(-2 pi i p k / (R span)),
// each factor as four cosines then four negated sines for four consecutive k.
uint8_t* SpFftBuildPlanTwiddles(const SpFftPassPlan& plan, int32_t order, SpFftSine sine, uint8_t* pos);
// The core table of 2^order points for `level`'s plan (nothing below order 4).
uint8_t* SpFftBuildRadix4Twiddles_L1(int32_t order, SpFftSine sine, uint8_t* pos);
uint8_t* SpFftBuildRadix4Twiddles_L2(int32_t order, SpFftSine sine, uint8_t* pos);

// Sizes of the large-order tables of complex order `order` at `level`: table, init (0) and work
// bytes. 64-bit, so that no order wraps. The step is the same walk for a row order reached by
// the split, without the tiled reordering's 64 KiB floor.
SpFftSizes SpFftGetLargeBufferSize_L1(int32_t order);
SpFftSizes SpFftGetLargeBufferSize_L2(int32_t order);
SpFftSizes SpFftGetLargeBufferSize_L3(int32_t order);
SpFftSizes SpFftGetLargeBufferSizeStep_L1(int32_t order);
SpFftSizes SpFftGetLargeBufferSizeStep_L2(int32_t order);
SpFftSizes SpFftGetLargeBufferSizeStep_L3(int32_t order);
// The large-order tables behind the spec's bit-reversal pointer: the tiled (or index) reordering
// table there, then at pos the leaf's stage table and one column table per depth, deepest first;
// sets Radix4, ColumnTwiddles and WorkBytes. The step builds one depth and those below it.
uint8_t* SpFftInitLargeTables_L1(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos);
uint8_t* SpFftInitLargeTables_L2(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos);
uint8_t* SpFftInitLargeTables_L3(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos);
uint8_t* SpFftInitLargeTablesStep_L1(SpFftSpec* spec, int32_t order, SpFftSine sine, int32_t depth,
                                     uint8_t* pos);
uint8_t* SpFftInitLargeTablesStep_L2(SpFftSpec* spec, int32_t order, SpFftSine sine, int32_t depth,
                                     uint8_t* pos);
uint8_t* SpFftInitLargeTablesStep_L3(SpFftSpec* spec, int32_t order, SpFftSine sine, int32_t depth,
                                     uint8_t* pos);
// The tiled reordering table of complex order `order` with 2^k x 2^k tiles: 2^(order - 2k) tile
// entries (entry t = rev(t) << k), then the swap list of order 2k. Returns its aligned end.
uint8_t* SpFftBuildTiledBitRevTable_L1(int32_t order, int32_t k, uint32_t* table);
uint8_t* SpFftBuildTiledBitRevTable_L2(int32_t order, int32_t k, uint32_t* table);
// The real split table (A = cos/2, then B = 1/2 - sin/2) and the merge table (cos, then -sin)
// of real order `order`: blocks of four k from 1 to N/4, four values of each kind a block.
// Return their aligned ends.
uint8_t* SpFftBuildRealSplitTwiddles_L1(int32_t order, SpFftSine sine, uint8_t* table);
uint8_t* SpFftBuildRealSplitTwiddles_L2(int32_t order, SpFftSine sine, uint8_t* table);
uint8_t* SpFftBuildRealSplitTwiddles_L3(int32_t order, SpFftSine sine, uint8_t* table);
uint8_t* SpFftBuildComplexTwiddles_L1(int32_t order, SpFftSine sine, uint8_t* table);
uint8_t* SpFftBuildComplexTwiddles_L2(int32_t order, SpFftSine sine, uint8_t* table);
// The swap list of the generic build, built by the level-2 set-up (it serves level 3).
uint8_t* SpFftBuildBitRevTable_L2(int32_t order, uint32_t* table);
// The quarter-wave sine table of 2^order points (N/4 + 1 entries); returns its aligned end.
uint8_t* SpFftInitSineTable_L1(int32_t order, float* table);
uint8_t* SpFftInitSineTable_L2(int32_t order, float* table);
uint8_t* SpFftInitSineTable_L3(int32_t order, float* table);
// Zeroes bytes at p: SpErrNullPointer for a null p, SpErrBadLength below one byte.
SpStatus SpZeroBuffer_L1(void* p, int32_t bytes);
SpStatus SpZeroBuffer_L2(void* p, int32_t bytes);
SpStatus SpZeroBuffer_L3(void* p, int32_t bytes);

// The cache size a level's byte copy measures its non-temporal limit against (level 1: per core
// sharing it), from CPUID leaf 2 on GenuineIntel processors; 0 when none is described.
int64_t SpCopyCacheBytes(int32_t level);

// ---- Level entries and kernels, one set per level -------------------------------------------

#define SP_FFT_DECLARE_LEVEL(L)                                                                              \
    SpStatus SpFftRealGetSize_##L(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,            \
                                  int32_t* pInitBytes, int32_t* pWorkBytes);                                 \
    SpStatus SpFftRealInit_##L(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,                \
                               uint8_t* specBuffer, uint8_t* initBuffer);                                    \
    SpStatus SpFftRealCreate_##L(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);             \
    SpStatus SpFftComplexGetSize_##L(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,         \
                                     int32_t* pInitBytes, int32_t* pWorkBytes);                              \
    SpStatus SpFftComplexInit_##L(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,             \
                                  uint8_t* specBuffer, uint8_t* initBuffer);                                 \
    SpStatus SpFftComplexCreate_##L(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);          \
    SpStatus SpFftFwdComplex_##L(const SpComplexF32* src, SpComplexF32* dst, const SpFftSpec* spec,          \
                                 uint8_t* buffer);                                                           \
    SpStatus SpFftFwdRealToPack_##L(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer);   \
    SpStatus SpFftInvPackToReal_##L(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer);   \
    SpStatus SpFftFwdRealInPlace_##L(float* srcdst, const SpFftSpec* spec, uint8_t* buffer);                 \
    SpStatus SpFftInvRealInPlace_##L(float* srcdst, const SpFftSpec* spec, uint8_t* buffer);                 \
    SpStatus SpMulPackInPlaceF32_##L(const float* src, float* srcdst, int32_t len);                          \
    SpStatus SpMulPackF32_##L(const float* src1, const float* src2, float* dst, int32_t len);                \
    void SpCopyBytes_##L(const void* src, void* dst, int64_t byteCount);                                     \
    SpStatus SpCopyBytesChecked_##L(const void* src, void* dst, int32_t byteCount);                          \
    void SpFftBitReverseTile_##L(float* data, int64_t points, const int32_t* swapList);                      \
    void SpFftBitReverseTiled_##L(float* data, int64_t points, const uint32_t* table, uint8_t* work);        \
    void SpFftLargeGatherBlock_##L(const float* src, void* work, int64_t stride, int64_t rows,               \
                                   int64_t rowLen);                                                          \
    void SpFftLargeScatterBlock_##L(float* dst, const void* work, int64_t stride, int64_t rows,              \
                                    int64_t rowLen, int32_t interleave);                                     \
    void SpFftLargeGatherPlanarBlock_##L(const float* re, const float* im, void* work, int64_t stride,       \
                                         int64_t rows, int64_t rowLen);                                      \
    void SpFftLargeScatterPlanarBlock_##L(float* re, float* im, const void* work, int64_t stride,            \
                                          int64_t rows, int64_t rowLen);                                     \
    void SpFftTwiddleRadix2Fwd_##L(const float* src, float* dst, int64_t span, int64_t groups,               \
                                   const float* twiddles);                                                   \
    void SpFftTwiddleRadix2Inv_##L(const float* src, float* dst, int64_t span, int64_t groups,               \
                                   const float* twiddles);                                                   \
    void SpFftTwiddleRadix4Fwd_##L(const float* src, float* dst, int64_t span, int64_t groups,               \
                                   const float* twiddles);                                                   \
    void SpFftTwiddleRadix4Inv_##L(const float* src, float* dst, int64_t span, int64_t groups,               \
                                   const float* twiddles);                                                   \
    void SpFftTwiddleRadix8Fwd_##L(float* data, float* unused, int64_t span, int64_t groups,                 \
                                   const float* twiddles);                                                   \
    void SpFftTwiddleRadix8Inv_##L(float* data, float* unused, int64_t span, int64_t groups,                 \
                                   const float* twiddles);                                                   \
    void SpFftLargeFwdStep_##L(const SpFftSpec* spec, float* data, int32_t order, int32_t depth,             \
                               float* work);                                                                 \
    void SpFftLargeInvStep_##L(const SpFftSpec* spec, float* data, int32_t order, int32_t depth,             \
                               float* work);                                                                 \
    void SpFftRadix4Fwd_##L(const float* src, float* dst, int64_t points, const float* twiddles,             \
                            const uint32_t* index, float* work);                                             \
    void SpFftRadix4Inv_##L(const float* src, float* dst, int64_t points, const float* twiddles,             \
                            const uint32_t* index, float* work);                                             \
    void SpFftOrder16Fwd_##L(float* data, int64_t points, const float* twiddles, float* work,                \
                             int32_t layout);                                                                \
    void SpFftOrder16Inv_##L(float* data, int64_t points, const float* twiddles, float* work,                \
                             int32_t layout);                                                                \
    void SpFftBitReverseCopy_##L(const float* src, float* dst, int64_t points, const uint32_t* table);       \
    void SpFftBitReverseInPlace_##L(float* data, int64_t points, const uint32_t* table);                     \
    void SpFftLargeFwd_##L(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* work); \
    void SpFftLargeInv_##L(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* work); \
    void SpFftRealFwdPostProcess_##L(float* data, int64_t points, const float* split);                       \
    void SpFftRealInvPreProcess_##L(const float* src, float* dst, int64_t points, const float* merge);       \
    void SpSpectrumMulInPlace_##L(const float* src, float* srcdst, int64_t pairs);                           \
    void SpSpectrumMul_##L(const float* src1, const float* src2, float* dst, int64_t pairs);                 \
    void SpFftRealKernelOrder1_##L(const float* src, float* dst);                                            \
    void SpFftRealKernelOrder1Scaled_##L(const float* src, float* dst, float scale);                         \
    void SpFftRealKernelFwdOrder2_##L(const float* src, float* dst);                                         \
    void SpFftRealKernelFwdOrder3_##L(const float* src, float* dst);                                         \
    void SpFftRealKernelFwdOrder2Scaled_##L(const float* src, float* dst, float scale);                      \
    void SpFftRealKernelFwdOrder3Scaled_##L(const float* src, float* dst, float scale);                      \
    void SpFftRealKernelInvOrder2_##L(const float* src, float* dst);                                         \
    void SpFftRealKernelInvOrder3_##L(const float* src, float* dst);                                         \
    void SpFftRealKernelInvOrder2Scaled_##L(const float* src, float* dst, float scale);                      \
    void SpFftRealKernelInvOrder3Scaled_##L(const float* src, float* dst, float scale);                      \
    void SpFftComplexKernelOrder2_##L(const float* src, float* dst);                                         \
    void SpFftComplexKernelOrder3_##L(const float* src, float* dst);                                         \
    void SpFftComplexKernelOrder2Scaled_##L(const float* src, float* dst, float scale);                      \
    void SpFftComplexKernelOrder3Scaled_##L(const float* src, float* dst, float scale);

// The kernels whose level-3 members carry names of their own: the planar cores, the bit
// reversals of the other element widths (4, 8 and 16 bytes; block and pair-list forms) and, at
// levels 2 and 3 only, the eight-way decimated cores with their radix-8 combining passes. Each
// macro takes the names of its level's members, then the level suffix.
#define SP_FFT_DECLARE_PLANAR(Fwd, Inv, InPlaceFwd, InPlaceInv, L)                                           \
    void Fwd##_##L(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int64_t points,       \
                   const float* twiddles, const uint32_t* index, float* work);                               \
    void Inv##_##L(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int64_t points,       \
                   const float* twiddles, const uint32_t* index, float* work);                               \
    void InPlaceFwd##_##L(float* re, float* im, int64_t points, const float* twiddles, float* work);         \
    void InPlaceInv##_##L(float* re, float* im, int64_t points, const float* twiddles, float* work);

#define SP_FFT_DECLARE_WIDTHS(InPlace4, Copy4, InPlace8, Copy8, InPlace16, Copy16, L)                        \
    void InPlace4##_##L(uint32_t* data, int64_t count, const uint32_t* table);                               \
    void Copy4##_##L(const uint32_t* src, uint32_t* dst, int64_t count, const uint32_t* table);              \
    void InPlace8##_##L(double* data, int64_t count, const uint32_t* table);                                 \
    void Copy8##_##L(const double* src, double* dst, int64_t count, const uint32_t* table);                  \
    void InPlace16##_##L(void* data, int64_t count, const uint32_t* table);                                  \
    void Copy16##_##L(const void* src, void* dst, int64_t count, const uint32_t* table);

#define SP_FFT_DECLARE_PAIR_WIDTHS(InPlace4, InPlace4b, InPlace8, InPlace8b, InPlace16, Copy4, Copy8, L)     \
    void InPlace4##_##L(uint32_t* data, int64_t count, const int32_t* swapList);                             \
    void InPlace4b##_##L(uint32_t* data, int64_t count, const int32_t* swapList);                            \
    void InPlace8##_##L(double* data, int64_t count, const int32_t* swapList);                               \
    void InPlace8b##_##L(double* data, int64_t count, const int32_t* swapList);                              \
    void InPlace16##_##L(void* data, int64_t count, const int32_t* swapList);                                \
    void Copy4##_##L(const uint32_t* src, uint32_t* dst, int64_t count, const int32_t* swapList);            \
    void Copy8##_##L(const double* src, double* dst, int64_t count, const int32_t* swapList);

#define SP_FFT_DECLARE_DECIM8(Fwd, Inv, FwdPlanar, InvPlanar, CombFwd, CombInv, CombFwdPlanar,               \
                              CombInvPlanar, L)                                                              \
    void Fwd##_##L(const SpComplexF32* src, float* dst, int64_t points, const float* twiddles,               \
                   const uint32_t* index, float* work);                                                      \
    void Inv##_##L(const SpComplexF32* src, float* dst, int64_t points, const float* twiddles,               \
                   const uint32_t* index, float* work);                                                      \
    void FwdPlanar##_##L(const float* srcRe, const float* srcIm, float* dst, int64_t points,                 \
                         const float* twiddles, const uint32_t* index);                                      \
    void InvPlanar##_##L(const float* srcRe, const float* srcIm, float* dst, int64_t points,                 \
                         const float* twiddles, const uint32_t* index);                                      \
    void CombFwd##_##L(float* src, SpComplexF32* dst, int64_t points, int64_t count, const float* twiddles); \
    void CombInv##_##L(float* src, SpComplexF32* dst, int64_t points, int64_t count, const float* twiddles); \
    void CombFwdPlanar##_##L(const float* src, float* dstRe, float* dstIm, int64_t points, int32_t count,    \
                             const float* twiddles);                                                         \
    void CombInvPlanar##_##L(const float* src, float* dstRe, float* dstIm, int64_t points, int32_t count,    \
                             const float* twiddles);

SP_FFT_DECLARE_PLANAR(SpFftReImFwd, SpFftReImInv, SpFftReImInPlaceFwd, SpFftReImInPlaceInv, L1)
SP_FFT_DECLARE_PLANAR(SpFftReImFwd, SpFftReImInv, SpFftReImInPlaceFwd, SpFftReImInPlaceInv, L2)
SP_FFT_DECLARE_PLANAR(SpFftRadix4FwdPlanar, SpFftRadix4InvPlanar, SpFftInPlaceFwdPlanar,
                      SpFftInPlaceInvPlanar, L3)

SP_FFT_DECLARE_WIDTHS(SpFftBitReverseInPlace32, SpFftBitReverseCopy32, SpFftBitReverseInPlaceF64,
                      SpFftBitReverseCopyF64, SpFftBitReverseInPlace128, SpFftBitReverseCopy128, L1)
SP_FFT_DECLARE_WIDTHS(SpFftBitReverseInPlace32, SpFftBitReverseCopy32, SpFftBitReverseInPlaceF64,
                      SpFftBitReverseCopyF64, SpFftBitReverseInPlace128, SpFftBitReverseCopy128, L2)
SP_FFT_DECLARE_WIDTHS(SpFftBitReverseInPlace4, SpFftBitReverseCopy4, SpFftBitReverseInPlace8b,
                      SpFftBitReverseCopy8b, SpFftBitReverseInPlace16, SpFftBitReverseCopy16, L3)

SP_FFT_DECLARE_PAIR_WIDTHS(SpFftBitReverseTile32A, SpFftBitReverseTile32B, SpFftBitReverseTile64A,
                           SpFftBitReverseTile64B, SpFftBitReverseTile128, SpFftBitReverseCopyPairs32,
                           SpFftBitReverseCopyPairs64, L1)
SP_FFT_DECLARE_PAIR_WIDTHS(SpFftBitReverseTile32A, SpFftBitReverseTile32B, SpFftBitReverseTile64A,
                           SpFftBitReverseTile64B, SpFftBitReverseTile128, SpFftBitReverseCopyPairs32,
                           SpFftBitReverseCopyPairs64, L2)
SP_FFT_DECLARE_PAIR_WIDTHS(SpFftBitReversePairInPlace4, SpFftBitReversePairInPlace4b,
                           SpFftBitReversePairInPlace8, SpFftBitReversePairInPlace8b,
                           SpFftBitReversePairInPlace16, SpFftBitReversePairCopy4, SpFftBitReversePairCopy8,
                           L3)

SP_FFT_DECLARE_DECIM8(SpFftDecim8HalfFwd, SpFftDecim8HalfInv, SpFftDecim8HalfReImFwd, SpFftDecim8HalfReImInv,
                      SpFftRadix8CombineFwd, SpFftRadix8CombineInv, SpFftRadix8CombineReImFwd,
                      SpFftRadix8CombineReImInv, L2)
SP_FFT_DECLARE_DECIM8(SpFftSubBlocksFwd, SpFftSubBlocksInv, SpFftSubBlocksFwdPlanar, SpFftSubBlocksInvPlanar,
                      SpFftRadix8CombineFwd, SpFftRadix8CombineInv, SpFftRadix8CombineFwdPlanar,
                      SpFftRadix8CombineInvPlanar, L3)

SP_FFT_DECLARE_LEVEL(L1)
SP_FFT_DECLARE_LEVEL(L2)
SP_FFT_DECLARE_LEVEL(L3)

// Test only: called each time a level-2 or level-3 byte copy of two 16-byte aligned blocks
// picks its direction from their page offsets (forward true), with the level. Null turns it off;
// returns the hook that was in force. Not for driver code.
using SpCopyDirectionHook = void (*)(int32_t level, bool forward);
SpCopyDirectionHook SpSetCopyDirectionHookForTest(SpCopyDirectionHook hook);
extern SpCopyDirectionHook SpCopyDirectionTrace;

// The complex kernels of orders 0 to 3: 8 entries per level (0-3 unscaled, 4-7 scaled).
extern const SpEntry SpFftComplexKernelTable[32];
