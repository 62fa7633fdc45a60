// Complex and real fast Fourier transforms of the signal-primitives library: the spec
// record that holds a transform's tables, its size queries, builders and the transforms. Every
// operation here is resident and callable at IRQL <= DISPATCH_LEVEL; none takes a lock.
//
// Accuracy: float arithmetic on tables computed in double precision; a transform of up to 2^18
// points stays within 3e-6 of the exact result, relative to its largest output. Results need
// not be bit-identical between levels.
#pragma once

#include <stdint.h>

#include "driver/primitives/dispatch/sp_status.h"

// Normalisation flags: which direction, if any, divides by N (or both by sqrt(N)).
enum : int32_t
{
    SpFftDivFwdByN = 1,
    SpFftDivInvByN = 2,
    SpFftDivBySqrtN = 4,
    SpFftNoDivide = 8,
};

// Kind word of a spec record; 0 after a free or a rejected flag.
enum : int32_t
{
    SpFftKindNone = 0,
    SpFftKindComplex = 4,
    SpFftKindReal = 6,
};

enum : int32_t
{
    SpFftMaxOrder = 30,
    SpFftMaxDepth = 3, // recursion depths of the large-order column transforms
};

struct SpComplexF32
{
    float Re;
    float Im;
};

// A transform's header; its tables follow it in the same block, each on a 32-byte boundary.
struct SpFftSpec
{
    int32_t Kind;                               // SpFftKindComplex or SpFftKindReal
    int32_t Order;                              // n: the transform has 2^n points
    int32_t FwdScaleOn;                         // 1: the forward transform multiplies by Scale
    int32_t InvScaleOn;                         // 1: the inverse transform multiplies by Scale
    float Scale;                                // 1/N or 1/sqrt(N); 0 for SpFftNoDivide
    int32_t Hint;                               // kept for the caller, never read
    int32_t WorkBytes;                          // scratch a transform needs (0 up to 4,096 points)
    int32_t OwnsMemory;                         // 1: made by a create, freed by the free
    int32_t Level;                              // the build that laid out the tables
    const int32_t* BitRev;                      // swap-pair bit-reversal table
    const float* Radix4;                        // radix-4 twiddles of the core (innermost order)
    const float* ComplexTwiddles;               // radix-2 combining passes (2,048 / 4,096 points)
    const float* LargeTwiddles;                 // levels 1-3: combining passes above the runs
    const float* RealSplit;                     // forward real split twiddles
    const float* RealMerge;                     // inverse real merge twiddles
    const float* ColumnRadix4[SpFftMaxDepth];   // radix-4 twiddles of each depth's columns
    const float* ColumnTwiddles[SpFftMaxDepth]; // column twiddles of each depth
};
static_assert(sizeof(SpFftSpec) == 136, "the tables start behind a 136-byte header");

// ---- Complex transform -------------------------------------------------------------------

// Bytes of the spec record, of the temporary init buffer and of the transform's work buffer,
// for the current processor level's layout (the _L0 forms: the generic build's). Orders whose
// sizes do not fit a 32-bit count are refused with SpErrNoMemory, nothing written.
SpStatus SpFftComplexGetSize_L0(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,
                                int32_t* pInitBytes, int32_t* pWorkBytes);
SpStatus SpFftComplexGetSize(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,
                             int32_t* pInitBytes, int32_t* pWorkBytes);

// Builds a complex spec record in caller memory (specBuffer of the queried size; initBuffer
// of the queried init size for orders 11 and above, read only during the call), laid out for
// the current processor level, whose transforms alone accept it.
SpStatus SpFftComplexInit_L0(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                             uint8_t* specBuffer, uint8_t* initBuffer);
SpStatus SpFftComplexInit(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer,
                          uint8_t* initBuffer);

// Public entries (level-table rows) and their generic builds.
SpStatus SpFftComplexCreate(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);
SpStatus SpFftComplexCreate_L0(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);
SpStatus SpFftComplexFree(SpFftSpec* spec);
SpStatus SpFftComplexFree_L0(SpFftSpec* spec); // one build for every level
// Forward transform of 2^order points; src may equal dst. buffer: scratch of
// SpFftSpec::WorkBytes + 32 bytes, or null to let the call allocate it.
SpStatus SpFftFwdComplex(const SpComplexF32* src, SpComplexF32* dst, const SpFftSpec* spec, uint8_t* buffer);
SpStatus SpFftFwdComplex_L0(const SpComplexF32* src, SpComplexF32* dst, const SpFftSpec* spec,
                            uint8_t* buffer);

// ---- Real transform ----------------------------------------------------------------------
//
// Packed spectrum of N = 2^n real samples (N floats): R0, R(N/2), then Rk, Ik for k = 1 .. N/2-1.

SpStatus SpFftRealGetSize_L0(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,
                             int32_t* pInitBytes, int32_t* pWorkBytes);
SpStatus SpFftRealInit_L0(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer,
                          uint8_t* initBuffer);
SpStatus SpFftRealGetSize(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes, int32_t* pInitBytes,
                          int32_t* pWorkBytes);
SpStatus SpFftRealInit(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer,
                       uint8_t* initBuffer);
// Bytes of scratch a caller passes so that no transform allocates (0 when none is needed).
SpStatus SpFftRealGetBufferSize(const SpFftSpec* spec, int32_t* pSize);

SpStatus SpFftRealCreate(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);
SpStatus SpFftRealCreate_L0(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);
SpStatus SpFftRealFree(SpFftSpec* spec);
SpStatus SpFftRealFree_L0(SpFftSpec* spec); // one build for every level

// Real samples to packed spectrum and back; src may equal dst.
SpStatus SpFftFwdRealToPack(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer);
SpStatus SpFftInvPackToReal(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer);
SpStatus SpFftFwdRealInPlace(float* srcdst, const SpFftSpec* spec, uint8_t* buffer);
SpStatus SpFftFwdRealInPlace_L0(float* srcdst, const SpFftSpec* spec, uint8_t* buffer);
SpStatus SpFftInvRealInPlace(float* srcdst, const SpFftSpec* spec, uint8_t* buffer);
SpStatus SpFftInvRealInPlace_L0(float* srcdst, const SpFftSpec* spec, uint8_t* buffer);

// Bin-by-bin product of two packed spectra of len floats. Exact (one rounding per product term).
SpStatus SpMulPackF32(const float* src1, const float* src2, float* dst, int32_t len);
SpStatus SpMulPackF32_L0(const float* src1, const float* src2, float* dst, int32_t len);
SpStatus SpMulPackInPlaceF32(const float* src, float* srcdst, int32_t len);
