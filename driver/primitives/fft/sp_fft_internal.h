// What the FFT sources of the generic build share among themselves (and the FIR filter and the
// tests reach through it): table builders, size arithmetic, the bit reversal, the radix-4 cores
// and the large-order drivers. Complex data are interleaved floats (re, im). Nothing here
// checks its arguments: the public operations have done that.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "driver/primitives/fft/sp_fft.h"

// The generic build's level word in every spec record it lays out.
constexpr int32_t SpFftBuildLevel = 0;

// Quarter-wave sine table of 1,024 points: sin(2 pi k / 1024), k = 0 .. 256.
constexpr int32_t SpFftStaticSineOrder = 10;
struct SpFftSineTable1024
{
    float Value[257];
};
extern const SpFftSineTable1024 SpFftStaticSine;

inline int64_t SpFftRoundUp32(int64_t n)
{
    return (n + 31) & ~int64_t(31);
}

inline uint8_t* SpFftAlignUp32(uint8_t* p)
{
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 31) & ~uintptr_t(31));
}

// Bytes of the spec record header, rounded so the first table starts 32-byte aligned.
constexpr int64_t SpFftHeaderBytes = (sizeof(SpFftSpec) + 31) & ~size_t(31);

// Order of the column transforms of a complex order 11 .. 30 (0: not split).
int32_t SpFftSplitOrder(int32_t order);

// Spec record, init and work bytes of one transform; 64-bit because the largest orders need more
// than a 32-bit count can describe.
struct SpFftSizes
{
    int64_t Spec;
    int64_t Init;
    int64_t Work;
};
typedef SpFftSizes (*SpFftSizesOf)(int32_t order);

// Sizes of the large-order tables of complex order m >= 11.
typedef SpFftSizes SpFftLargeSizes;
SpFftLargeSizes SpFftGetLargeBufferSize(int32_t order);

// Fills the header of a spec record at `record` (32-byte aligned, its header already zeroed)
// from the flag; false for a flag outside the table (the kind is then left 0).
bool SpFftFillHeader(SpFftSpec* record, int32_t kind, int32_t order, int32_t flag, int32_t hint);

// The argument checks and answer of a size query, common to the complex and real kinds.
SpStatus SpFftGetSizeOf(SpFftSizesOf sizesOf, int32_t order, int32_t flag, int32_t* pSpecBytes,
                        int32_t* pInitBytes, int32_t* pWorkBytes);

// The zero fill that clears a new record's header: the generic build's or a level's own.
typedef SpStatus (*SpFftZeroFn)(void* buffer, int32_t byteCount);

// The argument checks of an init and the header of its record (placed 32-byte aligned in
// specBuffer, cleared by zeroHeader); orders from 11 on also need initBuffer. On SpOk *pRecord
// receives the record, still without its tables.
SpStatus SpFftBeginInit(SpFftSizesOf sizesOf, SpFftZeroFn zeroHeader, int32_t kind, SpFftSpec** ppSpec,
                        int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer, uint8_t* initBuffer,
                        SpFftSpec** pRecord);

// Create and free of either kind: the record is built in its own block by the kind's init.
typedef SpStatus (*SpFftGetSizeFn)(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,
                                   int32_t* pInitBytes, int32_t* pWorkBytes);
typedef SpStatus (*SpFftInitFn)(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                                uint8_t* specBuffer, uint8_t* initBuffer);
SpStatus SpFftCreateWith(SpFftGetSizeFn getSize, SpFftInitFn init, SpFftSpec** ppSpec, int32_t order,
                         int32_t flag, int32_t hint);
SpStatus SpFftFreeOf(SpFftSpec* spec, int32_t kind);

// The checks before a transform: a record of this kind built by this build, and both arrays.
SpStatus SpFftCheckTransform(const SpFftSpec* spec, int32_t kind, const void* src, const void* dst);

// A sine source: the quarter-wave table of order `Order` (N/4 + 1 entries).
struct SpFftSine
{
    const float* Table;
    int32_t Order;
};
// The static table for orders up to 10, else the table of `order` computed into initBuffer.
SpFftSine SpFftSineFor(int32_t order, uint8_t* initBuffer);

// cos and sin of 2 pi a / 2^order (0 <= a < 2^order, 2 <= order <= sine.Order) from a sine table.
void SpFftCosSin(SpFftSine sine, int32_t order, int64_t a, double* pCos, double* pSin);
// x with its `bits` low bits reversed (the rest dropped).
uint32_t SpFftReverseBits(uint32_t x, int32_t bits);

// Table builders: each builds at `pos` and returns the next free position rounded up to 32.
uint8_t* SpFftInitSineTable(uint8_t* pos, int32_t order);
uint8_t* SpFftBuildBitRevTable(uint8_t* pos, int32_t order);
uint8_t* SpFftBuildRadix4Twiddles(uint8_t* pos, int32_t order, SpFftSine sine);
uint8_t* SpFftBuildComplexTwiddles(uint8_t* pos, int32_t order, SpFftSine sine);
uint8_t* SpFftBuildRealSplitTwiddles(uint8_t* pos, int32_t order, SpFftSine sine);
uint8_t* SpFftInitLargeTables(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos);
// The tables of a complex transform of `order` (>= 4): bit reversal and radix-4 twiddles up to
// order 10, the large-order tables above.
uint8_t* SpFftBuildComplexTables(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos);
uint8_t* SpFftInitLargeTablesStep(SpFftSpec* spec, int32_t order, int32_t depth, SpFftSine sine,
                                  uint8_t* pos);

// Point p of dst receives point rev(p) of src (the copy form writes every point once).
void SpFftBitReverseCopy(const float* src, float* dst, int32_t points, const int32_t* table);
void SpFftBitReverseInPlace(float* data, int32_t points, const int32_t* table);

// In-place decimation-in-time cores of 4 .. 1,024 points on bit-reversed data.
void SpFftRadix4Fwd(float* data, int32_t points, const float* twiddles);
void SpFftRadix4Inv(float* data, int32_t points, const float* twiddles);

// Radix-2 combining passes from blocks of firstBlock points up to `points`.
void SpFftRadix2PassFwd(float* data, int32_t points, int32_t firstBlock, const float* twiddles);
void SpFftRadix2PassInv(float* data, int32_t points, int32_t firstBlock, const float* twiddles);

// Forward complex transform of order >= 4 with its forward scale; in may equal out.
void SpFftComplexFwdCore(const SpFftSpec* spec, const float* in, float* out, int32_t order, float* scratch);

// Transforms of 2,048 points or more: bit reversal, the blocks or column steps, the scale.
void SpFftLargeFwd(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* scratch);
void SpFftLargeInv(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* scratch);
void SpFftLargeFwdStep(const SpFftSpec* spec, float* data, int32_t order, int32_t depth, float* scratch);
void SpFftLargeInvStep(const SpFftSpec* spec, float* data, int32_t order, int32_t depth, float* scratch);

// Forward complex kernels of orders 0 .. 3; src may equal dst.
typedef void (*SpFftComplexKernel)(const float* src, float* dst);
typedef void (*SpFftComplexKernelScaled)(const float* src, float* dst, float scale);
void SpFftComplexKernelOrder0(const float* src, float* dst);
void SpFftComplexKernelOrder1(const float* src, float* dst);
void SpFftComplexKernelOrder2(const float* src, float* dst);
void SpFftComplexKernelOrder3(const float* src, float* dst);
void SpFftComplexKernelOrder0Scaled(const float* src, float* dst, float scale);
void SpFftComplexKernelOrder1Scaled(const float* src, float* dst, float scale);
void SpFftComplexKernelOrder2Scaled(const float* src, float* dst, float scale);
void SpFftComplexKernelOrder3Scaled(const float* src, float* dst, float scale);

// Real kernels of orders 0 .. 3 of the generic build: the packed spectrum and its unnormalised
// inverse; the scaled ones multiply by scale. src may equal dst. Order 0 serves every level.
void SpFftRealKernelOrder0(const float* src, float* dst);
void SpFftRealKernelOrder0Scaled(const float* src, float* dst, float scale);
void SpFftRealKernelOrder1(const float* src, float* dst);
void SpFftRealKernelOrder1Scaled(const float* src, float* dst, float scale);
void SpFftRealKernelFwdOrder2(const float* src, float* dst);
void SpFftRealKernelFwdOrder3(const float* src, float* dst);
void SpFftRealKernelFwdOrder2Scaled(const float* src, float* dst, float scale);
void SpFftRealKernelFwdOrder3Scaled(const float* src, float* dst, float scale);
void SpFftRealKernelInvOrder2(const float* src, float* dst);
void SpFftRealKernelInvOrder3(const float* src, float* dst);
void SpFftRealKernelInvOrder2Scaled(const float* src, float* dst, float scale);
void SpFftRealKernelInvOrder3Scaled(const float* src, float* dst, float scale);

// Multiplies count floats by scale.
void SpFftScale(float* data, int64_t count, float scale);

// Scratch of a transform: the caller's buffer, or a block of the spec's work bytes that the
// caller releases with SpFftReleaseScratch. False when the block cannot be had.
bool SpFftAcquireScratch(const SpFftSpec* spec, uint8_t* buffer, float** pScratch, void** pOwned);
void SpFftReleaseScratch(void* owned);
