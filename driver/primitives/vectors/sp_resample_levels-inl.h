// Up- and down-sampling kernels of 32-bit elements for the level builds, written once and
// instantiated by each level's build file. They move bit patterns and never look at values.
// Indexes, strides and remainders are 64-bit, and every lead-in stops as soon as its count is
// used up, so nothing is read or written outside the vectors for any length or alignment.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

template <class P> struct SpResampleKernels
{
    static uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }
    static void Move(uint32_t* dst, const uint32_t* src) { memcpy(dst, src, 4); }
    static void Zero(uint32_t* dst) { memset(dst, 0, 4); }

    // Zeroes dstCount elements and puts input k at phase + k * factor (strideBytes = 4 * factor).
    static void UpGeneral(const uint32_t* src, uint32_t n, uint32_t* dst, uint32_t dstCount,
                          uint32_t strideBytes, uint32_t phase)
    {
        uint64_t left = dstCount;
        uint32_t* z = dst;
        for (; left != 0 && (Address(z) & 15) != 0; --left)
        {
            Zero(z++);
        }
        if ((Address(z) & 15) == 0)
        {
            const __m128i zero = _mm_setzero_si128();
            for (; left >= 16; left -= 16, z += 16)
            {
                _mm_store_si128(reinterpret_cast<__m128i*>(z), zero);
                _mm_store_si128(reinterpret_cast<__m128i*>(z + 4), zero);
                _mm_store_si128(reinterpret_cast<__m128i*>(z + 8), zero);
                _mm_store_si128(reinterpret_cast<__m128i*>(z + 12), zero);
            }
        }
        for (; left != 0; --left)
        {
            Zero(z++);
        }
        const uint64_t stride = strideBytes / 4;
        uint32_t* out = dst + phase;
        uint32_t k = 0;
        for (; n - k >= 4; k += 4, out += 4 * stride)
        {
            Move(out, src + k);
            Move(out + stride, src + k + 1);
            Move(out + 2 * stride, src + k + 2);
            Move(out + 3 * stride, src + k + 3);
        }
        for (; k < n; ++k, out += stride)
        {
            Move(out, src + k);
        }
    }

    // Stores 8 outputs (4 inputs interleaved with zeros) at d, which is on an 8-byte boundary.
    static void StorePairs(uint32_t* d, __m128i lo, __m128i hi)
    {
        if ((Address(d) & 15) == 0)
        {
            _mm_store_si128(reinterpret_cast<__m128i*>(d), lo);
            _mm_store_si128(reinterpret_cast<__m128i*>(d + 4), hi);
        }
        else
        {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(d), lo);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 2), _mm_unpackhi_epi64(lo, lo));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 4), hi);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 6), _mm_unpackhi_epi64(hi, hi));
        }
    }

    // Pairs (s, 0) from an 8-byte-aligned d.
    static void UpBy2Phase0(const uint32_t* src, uint32_t n, uint32_t* d)
    {
        uint32_t k = 0;
        if (n != 0 && (Address(src) & 7) == 4)
        {
            Move(d, src);
            Zero(d + 1);
            k = 1;
        }
        const __m128i zero = _mm_setzero_si128();
        for (; n - k >= 8; k += 8)
        {
            for (uint32_t h = 0; h < 8; h += 4)
            {
                const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + k + h));
                const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + k + h + 2));
                StorePairs(d + 2 * (k + h), _mm_unpacklo_epi32(a, zero), _mm_unpacklo_epi32(b, zero));
            }
        }
        for (; k < n; ++k)
        {
            Move(d + 2 * k, src + k);
            Zero(d + 2 * k + 1);
        }
    }

    // Pairs (0, s) from an 8-byte-aligned d.
    static void UpBy2Phase1(const uint32_t* src, uint32_t n, uint32_t* d)
    {
        uint32_t k = 0;
        for (; k < n && (Address(src + k) & 15) != 0; ++k)
        {
            Zero(d + 2 * k);
            Move(d + 2 * k + 1, src + k);
        }
        const __m128i zero = _mm_setzero_si128();
        for (; n - k >= 8; k += 8)
        {
            for (uint32_t h = 0; h < 8; h += 4)
            {
                const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(src + k + h));
                StorePairs(d + 2 * (k + h), _mm_unpacklo_epi32(zero, v), _mm_unpackhi_epi32(zero, v));
            }
        }
        for (; k < n; ++k)
        {
            Zero(d + 2 * k);
            Move(d + 2 * k + 1, src + k);
        }
    }

    static void UpBy2(const uint32_t* src, uint32_t n, uint32_t* dst, uint32_t phase)
    {
        if (((Address(src) | Address(dst)) & 3) != 0)
        {
            for (uint32_t k = 0; k < n; ++k)
            {
                Zero(dst + 2 * k + (phase ^ 1));
                Move(dst + 2 * k + phase, src + k);
            }
            return;
        }
        if ((Address(dst) & 7) == 0)
        {
            phase == 0 ? UpBy2Phase0(src, n, dst) : UpBy2Phase1(src, n, dst);
            return;
        }
        // Four bytes off: the first and last outputs go first, and the rest is the other
        // phase's pattern from the next 8-byte boundary.
        const uint64_t last = 2 * uint64_t(n) - 1;
        if (phase == 0)
        {
            Move(dst, src);
            Zero(dst + last);
            UpBy2Phase1(src + 1, n - 1, dst + 1);
        }
        else
        {
            Zero(dst);
            Move(dst + last, src + n - 1);
            UpBy2Phase0(src, n - 1, dst + 1);
        }
    }

    // dst[j] = src[phase + j * factor] for every index below n; *pPhase becomes the offset of
    // the next kept sample in the following block. r is what remains of the input after the
    // next kept sample; a sample is taken while r > 0.
    static void Down(const uint32_t* src, uint32_t n, uint32_t* dst, int32_t* pDstLen, uint32_t factor,
                     int32_t* pPhase)
    {
        const int64_t f = factor;
        int64_t r = int64_t(n) - *pPhase;
        int64_t at = *pPhase;
        int64_t written = 0;
        for (; r > 0 && (Address(dst + written) & 15) != 0; r -= f, at += f)
        {
            Move(dst + written++, src + at);
        }
        if ((Address(dst + written) & 15) == 0)
        {
            const int32_t block = factor == 2 ? 8 : 16;
            for (; r >= block * f; r -= block * f)
            {
                for (int32_t g = 0; g < block; g += 4, at += 4 * f)
                {
                    uint32_t lanes[4];
                    for (int32_t k = 0; k < 4; ++k)
                    {
                        memcpy(&lanes[k], src + at + k * f, 4);
                    }
                    _mm_store_si128(reinterpret_cast<__m128i*>(dst + written),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes)));
                    written += 4;
                }
            }
        }
        for (; r > 0; r -= f, at += f)
        {
            Move(dst + written++, src + at);
        }
        *pPhase = int32_t(-r);
        *pDstLen = int32_t(written);
    }
};
