// The level-1 real FFT: its drivers, the small-order kernels, the packed-spectrum product and
// the work functions they call. A spec laid out for level 1 carries level word 1; the level-1
// entries refuse any other spec, and the other levels' entries refuse these.
#pragma once

#include <stdint.h>

#include "driver/primitives/fft/sp_fft.h"

constexpr int32_t SpFftLevel1 = 1;

// Entries (the level-1 columns of the real-FFT rows) and the drivers under them.
SpStatus SpFftRealCreate_L1(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);
SpStatus SpFftFwdRealInPlace_L1(float* srcdst, const SpFftSpec* spec, uint8_t* buffer);
SpStatus SpFftInvRealInPlace_L1(float* srcdst, const SpFftSpec* spec, uint8_t* buffer);
SpStatus SpFftFwdRealToPack_L1(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer);
SpStatus SpFftInvPackToReal_L1(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer);
SpStatus SpMulPackInPlaceF32_L1(const float* src, float* srcdst, int32_t len);

// Small-order kernels of the kernel table's level-1 column (order 0 is the generic build's).
void SpFftRealKernelOrder1_L1(const float* src, float* dst);
void SpFftRealKernelOrder1Scaled_L1(const float* src, float* dst, float scale);
void SpFftRealKernelFwdOrder2_L1(const float* src, float* dst);
void SpFftRealKernelFwdOrder3_L1(const float* src, float* dst);
void SpFftRealKernelFwdOrder2Scaled_L1(const float* src, float* dst, float scale);
void SpFftRealKernelFwdOrder3Scaled_L1(const float* src, float* dst, float scale);
void SpFftRealKernelInvOrder2_L1(const float* src, float* dst);
void SpFftRealKernelInvOrder3_L1(const float* src, float* dst);
void SpFftRealKernelInvOrder2Scaled_L1(const float* src, float* dst, float scale);
void SpFftRealKernelInvOrder3Scaled_L1(const float* src, float* dst, float scale);

// Work functions. Complex data are interleaved (re, im); M is the point count.
// The byte count is 64-bit: a copy of 2^29 or more floats is whole.
void SpCopyBytes_L1(const void* src, void* dst, int64_t byteCount);
// Reorders while it reads src (src may equal dst), then transforms M <= 2^15 points.
void SpFftRadix4Fwd_L1(const float* src, float* dst, int32_t points, const float* twiddles,
                       const int32_t* bitRev, float* work);
void SpFftRadix4Inv_L1(const float* src, float* dst, int32_t points, const float* twiddles,
                       const int32_t* bitRev, float* work);
void SpFftBitReverseCopy_L1(const float* src, float* dst, int32_t points, const int32_t* bitRev);
void SpFftBitReverseInPlace_L1(float* data, int32_t points, const int32_t* bitRev);
// 2^16 points already in bit-reversed order, in place, unnormalised.
void SpFftOrder16Fwd_L1(float* data, int32_t points, const float* twiddles, float* work, int32_t flag);
void SpFftOrder16Inv_L1(float* data, int32_t points, const float* twiddles, float* work, int32_t flag);
// 2^m points for m >= 17, with the spec's scale for their direction.
void SpFftLargeFwd_L1(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* work);
void SpFftLargeInv_L1(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* work);
void SpFftRealFwdPostProcess_L1(float* data, int32_t points, int32_t sign, const float* split);
void SpFftRealInvPreProcess_L1(const float* src, float* dst, int32_t points, int32_t sign,
                               const float* merge);
void SpSpectrumMulInPlace_L1(const float* src, float* srcdst, int32_t pairs);
