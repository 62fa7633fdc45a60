// Up- and down-sampling kernels for 16-, 64- and 128-bit elements of one level build, included by
// the vector rows' level body after SP_LN is defined. Elements move as bytes (memcpy), so any
// alignment is served; the factor-2 paths interleave zeros, or pick the kept words, in registers
// where the pointers allow. Counts, strides and indices are 64-bit, so factor * n never wraps, and
// every loop stops when its count is used up: nothing is read or written past the vectors.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/vectors/sp_resample_width_levels.h"

namespace
{

struct SpResampleWidth
{
    // General up-sampling: zero the whole output, then scatter the inputs.
    static void Up(const void* src, uint64_t n, void* dst, uint64_t dstCount, uint64_t factor, uint64_t phase,
                   size_t es)
    {
        const uint8_t* s = static_cast<const uint8_t*>(src);
        uint8_t* d = static_cast<uint8_t*>(dst);
        memset(d, 0, size_t(dstCount * es));
        for (uint64_t k = 0, at = phase; k < n && at < dstCount; ++k, at += factor)
        {
            memcpy(d + at * es, s + k * es, es);
        }
    }

    // Factor 2 for 16-bit elements: eight inputs become eight (s, 0) or (0, s) pairs per vector.
    static void UpBy2x16(const uint16_t* src, uint64_t n, uint16_t* dst, uint32_t phase)
    {
        const __m128i z = _mm_setzero_si128();
        for (; n >= 8; n -= 8, src += 8, dst += 16)
        {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                             phase ? _mm_unpacklo_epi16(z, x) : _mm_unpacklo_epi16(x, z));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8),
                             phase ? _mm_unpackhi_epi16(z, x) : _mm_unpackhi_epi16(x, z));
        }
        Up(src, n, dst, 2 * n, 2, phase, 2);
    }

    // Factor 2 for 64- and 128-bit elements: each input and one zero element per store pair.
    static void UpBy2Wide(const void* src, uint64_t n, void* dst, uint32_t phase, size_t es)
    {
        const uint8_t* s = static_cast<const uint8_t*>(src);
        uint8_t* d = static_cast<uint8_t*>(dst);
        const __m128i z = _mm_setzero_si128();
        for (uint64_t k = 0; k < n; ++k, s += es, d += 2 * es)
        {
            if (es == 8)
            {
                const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d), phase ? _mm_unpacklo_epi64(z, x) : x);
            }
            else
            {
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + (phase ? 16 : 0)), x);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + (phase ? 0 : 16)), z);
            }
        }
    }

    // General down-sampling by the running remainder r = n - p.
    static void Down(const void* src, uint64_t n, void* dst, int32_t* pDstLen, uint64_t factor,
                     int32_t* pPhase, size_t es)
    {
        const uint8_t* s = static_cast<const uint8_t*>(src);
        uint8_t* d = static_cast<uint8_t*>(dst);
        int64_t r = int64_t(n) - *pPhase;
        uint64_t at = uint64_t(*pPhase), count = 0;
        for (; r > 0; r -= int64_t(factor), at += factor, ++count)
        {
            memcpy(d + count * es, s + at * es, es);
        }
        *pDstLen = int32_t(count);
        *pPhase = int32_t(-r);
    }

    // Factor 2 for 16-bit elements: the kept (even or odd) words of sixteen inputs in one vector.
    static void DownBy2x16(const uint16_t* src, uint64_t n, uint16_t* dst, int32_t* pDstLen, int32_t* pPhase)
    {
        const uint16_t* s = src + *pPhase;
        int64_t r = int64_t(n) - *pPhase, count = 0;
        for (; r >= 16; r -= 16, s += 16, count += 8)
        {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
            // Sign-extended words fit the signed pack exactly.
            const __m128i ea = _mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                          eb = _mm_srai_epi32(_mm_slli_epi32(b, 16), 16);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + count), _mm_packs_epi32(ea, eb));
        }
        int32_t tailLen = 0, phase = int32_t(r > 0 ? 0 : -r);
        if (r > 0)
        {
            Down(s, uint64_t(r), dst + count, &tailLen, 2, &phase, 2);
        }
        *pDstLen = int32_t(count + tailLen);
        *pPhase = phase;
    }
};

} // namespace

void SP_LN(SpSampleUpKernel16)(const void* src, uint32_t n, void* dst, uint32_t dstCount,
                               uint32_t strideBytes, uint32_t phase)
{
    SpResampleWidth::Up(src, n, dst, dstCount, strideBytes / 2, phase, 2);
}

void SP_LN(SpSampleUpBy2Kernel16)(const uint16_t* src, uint32_t n, uint16_t* dst, uint32_t phase)
{
    SpResampleWidth::UpBy2x16(src, n, dst, phase);
}

void SP_LN(SpSampleUpKernel64)(const void* src, uint32_t n, void* dst, uint32_t strideBytes,
                               uint32_t phaseBytes)
{
    const uint64_t factor = strideBytes / 8;
    SpResampleWidth::Up(src, n, dst, factor * n, factor, phaseBytes / 8, 8);
}

void SP_LN(SpSampleUpBy2Kernel64)(const uint64_t* src, uint32_t n, uint64_t* dst, uint32_t phase)
{
    SpResampleWidth::UpBy2Wide(src, n, dst, phase, 8);
}

void SP_LN(SpSampleUpBy2Kernel128)(const void* src, uint32_t n, void* dst, uint32_t phase)
{
    SpResampleWidth::UpBy2Wide(src, n, dst, phase, 16);
}

void SP_LN(SpSampleDownKernel16)(const uint16_t* src, uint32_t n, uint16_t* dst, int32_t* pDstLen,
                                 uint32_t factor, int32_t* pPhase)
{
    SpResampleWidth::Down(src, n, dst, pDstLen, factor, pPhase, 2);
}

void SP_LN(SpSampleDownBy2Kernel16)(const uint16_t* src, uint32_t n, uint16_t* dst, int32_t* pDstLen,
                                    int32_t* pPhase)
{
    SpResampleWidth::DownBy2x16(src, n, dst, pDstLen, pPhase);
}

void SP_LN(SpSampleDownKernel64)(const uint64_t* src, uint32_t n, uint64_t* dst, int32_t* pDstLen,
                                 uint32_t factor, int32_t* pPhase)
{
    SpResampleWidth::Down(src, n, dst, pDstLen, factor, pPhase, 8);
}

void SP_LN(SpSampleDownBy2Kernel64)(const uint64_t* src, uint32_t n, uint64_t* dst, int32_t* pDstLen,
                                    int32_t* pPhase)
{
    SpResampleWidth::Down(src, n, dst, pDstLen, 2, pPhase, 8);
}

void SP_LN(SpSampleDownKernel128)(const void* src, uint32_t n, void* dst, int32_t* pDstLen, uint32_t factor,
                                  int32_t* pPhase)
{
    SpResampleWidth::Down(src, n, dst, pDstLen, factor, pPhase, 16);
}

void SP_LN(SpSampleDownBy2Kernel128)(const void* src, uint32_t n, void* dst, int32_t* pDstLen,
                                     int32_t* pPhase)
{
    SpResampleWidth::Down(src, n, dst, pDstLen, 2, pPhase, 16);
}
