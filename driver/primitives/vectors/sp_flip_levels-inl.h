// Flip kernels for 8- and 16-bit elements of one level build, included by the vector rows' level
// body after SP_LN is defined. Whole 16-byte vectors are reversed inside themselves (words by
// shuffles, then the two bytes of each word), then 8- or 4-byte groups, then single elements;
// every access lies inside the vector, whatever the count and the alignment. The in-place kernels
// read both ends of an exchange before writing either.
#pragma once

#include <emmintrin.h>
#include <pmmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/vectors/sp_flip_levels.h"

namespace
{

struct SpFlip
{
    static __m128i Rev16(__m128i x)
    {
        x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0x1B), 0x1B);
        return _mm_shuffle_epi32(x, 0x4E);
    }

    static __m128i Rev8(__m128i x)
    {
        x = Rev16(x);
        return _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
    }

    static __m128i Load(const void* p) { return _mm_lddqu_si128(static_cast<const __m128i*>(p)); }

    static void Store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

    static uint64_t Rev16x4(uint64_t w)
    {
        return (w >> 48) | ((w >> 16) & 0xFFFF0000ull) | ((w << 16) & 0xFFFF00000000ull) | (w << 48);
    }

    static void Flip16(const uint16_t* src, uint16_t* dst, int64_t n)
    {
        const uint16_t* end = src + n;
        for (; n >= 8; n -= 8, dst += 8)
        {
            end -= 8;
            Store(dst, Rev16(Load(end)));
        }
        for (; n >= 4; n -= 4, dst += 4)
        {
            end -= 4;
            uint64_t w;
            memcpy(&w, end, 8);
            w = Rev16x4(w);
            memcpy(dst, &w, 8);
        }
        // Byte copies: a caller may hand the 16-bit kernels an odd address.
        for (; n > 0; --n, ++dst)
        {
            memcpy(dst, --end, 2);
        }
    }

    static void Flip8(const uint8_t* src, uint8_t* dst, int64_t n)
    {
        const uint8_t* end = src + n;
        for (; n >= 16; n -= 16, dst += 16)
        {
            end -= 16;
            Store(dst, Rev8(Load(end)));
        }
        for (; n >= 4; n -= 4, dst += 4)
        {
            end -= 4;
            uint32_t w;
            memcpy(&w, end, 4);
            w = __builtin_bswap32(w);
            memcpy(dst, &w, 4);
        }
        while (n-- > 0)
        {
            *dst++ = *--end;
        }
    }

    static void FlipInPlace16(uint16_t* p, int64_t n)
    {
        uint16_t* q = p + n;
        for (; q - p >= 16; p += 8)
        {
            q -= 8;
            const __m128i a = Load(p), b = Load(q);
            Store(p, Rev16(b));
            Store(q, Rev16(a));
        }
        for (; q - p >= 2; ++p)
        {
            --q;
            uint16_t a, b;
            memcpy(&a, p, 2);
            memcpy(&b, q, 2);
            memcpy(p, &b, 2);
            memcpy(q, &a, 2);
        }
    }

    static void FlipInPlace8(uint8_t* p, int64_t n)
    {
        uint8_t* q = p + n;
        for (; q - p >= 32; p += 16)
        {
            q -= 16;
            const __m128i a = Load(p), b = Load(q);
            Store(p, Rev8(b));
            Store(q, Rev8(a));
        }
        for (; q - p >= 8; p += 4)
        {
            q -= 4;
            uint32_t a, b;
            memcpy(&a, p, 4);
            memcpy(&b, q, 4);
            a = __builtin_bswap32(a), b = __builtin_bswap32(b);
            memcpy(p, &b, 4);
            memcpy(q, &a, 4);
        }
        for (; q - p >= 2; ++p)
        {
            --q;
            const uint8_t t = *p;
            *p = *q;
            *q = t;
        }
    }
};

} // namespace

void SP_LN(SpFlipKernel8)(const uint8_t* src, uint8_t* dst, int32_t len)
{
    SpFlip::Flip8(src, dst, len);
}

void SP_LN(SpFlipKernel16)(const uint16_t* src, uint16_t* dst, int32_t len)
{
    SpFlip::Flip16(src, dst, len);
}

void SP_LN(SpFlipInPlaceKernel8)(uint8_t* srcDst, int32_t len)
{
    SpFlip::FlipInPlace8(srcDst, len);
}

void SP_LN(SpFlipInPlaceKernel16)(uint16_t* srcDst, int32_t len)
{
    SpFlip::FlipInPlace16(srcDst, len);
}
