// Division of an integer vector by one constant with a scale factor, one level build: a single
// factor f = 2^-s / c per call, then one multiplication per element. The factor's product is
// clamped to the element type's range before its conversion, so a quotient beyond the 32-bit range
// still saturates to the bound (the conversion alone would give 0x80000000).
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>
#include <tmmintrin.h>

#include "driver/primitives/vectors/sp_int_div_levels.h"

namespace
{

template <class P> struct SpIntDivConst
{
    // 2^-s as a float, exact for -127 <= s <= 126; beyond, every result is already 0 or the bound.
    static float Pow2F(int32_t s)
    {
        s = s < -127 ? -127 : (s > 126 ? 126 : s);
        const uint32_t bits = uint32_t(127 - s) << 23;
        float f;
        memcpy(&f, &bits, sizeof(f));
        return f;
    }

    static int32_t RoundClampSs(float v, float lo, float hi)
    {
        return _mm_cvtss_si32(_mm_min_ss(_mm_max_ss(_mm_set_ss(v), _mm_set_ss(lo)), _mm_set_ss(hi)));
    }

    static __m128i RoundClampPs(__m128 v, float lo, float hi)
    {
        return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(v, _mm_set1_ps(lo)), _mm_set1_ps(hi)));
    }

    static void I16(const int16_t* src, int16_t c, int16_t* dst, int32_t len, int32_t s)
    {
        const float f = _mm_cvtss_f32(_mm_div_ss(_mm_set_ss(Pow2F(s)), _mm_set_ss(float(c))));
        const __m128 vf = _mm_set1_ps(f);
        int32_t i = 0;
        for (; i < len && (uintptr_t(dst + i) & 14) != 0; ++i)
        {
            dst[i] = int16_t(RoundClampSs(float(src[i]) * f, -32768.0f, 32767.0f));
        }
        for (; len - i >= 8; i += 8)
        {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            const __m128 lo = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16));
            const __m128 hi = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16));
            const __m128i q = _mm_packs_epi32(RoundClampPs(_mm_mul_ps(lo, vf), -32768.0f, 32767.0f),
                                              RoundClampPs(_mm_mul_ps(hi, vf), -32768.0f, 32767.0f));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), q);
        }
        for (; i < len; ++i)
        {
            dst[i] = int16_t(RoundClampSs(float(src[i]) * f, -32768.0f, 32767.0f));
        }
    }

    // Sixteen bytes as four groups of four 32-bit lanes (group g holds bytes 4g..4g+3).
    static void WidenBytes(__m128i x, __m128i* groups)
    {
        if constexpr (P::kByteShuffle)
        {
            __m128i mask = _mm_set_epi64x(int64_t(0xFFFFFF03FFFFFF02ull), int64_t(0xFFFFFF01FFFFFF00ull));
            for (int32_t g = 0; g < 4; ++g)
            {
                groups[g] = _mm_shuffle_epi8(x, mask);
                mask = _mm_add_epi32(mask, _mm_set1_epi32(4));
            }
        }
        else
        {
            const __m128i zero = _mm_setzero_si128();
            const __m128i lo = _mm_unpacklo_epi8(x, zero);
            const __m128i hi = _mm_unpackhi_epi8(x, zero);
            groups[0] = _mm_unpacklo_epi16(lo, zero);
            groups[1] = _mm_unpackhi_epi16(lo, zero);
            groups[2] = _mm_unpacklo_epi16(hi, zero);
            groups[3] = _mm_unpackhi_epi16(hi, zero);
        }
    }

    static void U8(const uint8_t* src, uint8_t c, uint8_t* dst, int32_t len, int32_t s)
    {
        const float f = _mm_cvtss_f32(_mm_div_ss(_mm_set_ss(Pow2F(s)), _mm_set_ss(float(c))));
        const __m128 vf = _mm_set1_ps(f);
        int32_t i = 0;
        for (; i < len && (uintptr_t(dst + i) & 15) != 0; ++i)
        {
            dst[i] = uint8_t(RoundClampSs(float(src[i]) * f, 0.0f, 255.0f));
        }
        for (; len - i >= 16; i += 16)
        {
            __m128i g[4];
            WidenBytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)), g);
            __m128i r[4];
            for (int32_t k = 0; k < 4; ++k)
            {
                r[k] = RoundClampPs(_mm_mul_ps(_mm_cvtepi32_ps(g[k]), vf), 0.0f, 255.0f);
            }
            const __m128i q = _mm_packus_epi16(_mm_packs_epi32(r[0], r[1]), _mm_packs_epi32(r[2], r[3]));
            _mm_store_si128(reinterpret_cast<__m128i*>(dst + i), q);
        }
        for (; i < len; ++i)
        {
            dst[i] = uint8_t(RoundClampSs(float(src[i]) * f, 0.0f, 255.0f));
        }
    }

    // ---------------------------------------------------------------------------------------------
    // Complex 16-bit by a complex constant: P = x.re c.re + x.im c.im and Q = x.im c.re - x.re c.im
    // as exact 32-bit sums (one multiply-add against weights that fit 16 bits), times one double
    // factor per part.
    struct Ic16Setup
    {
        __m128i weights; // (c.re, c.im, w.re, w.im) twice
        double fRe, fIm;
    };

    static Ic16Setup SetupIc16(SpIc16 c, int32_t s)
    {
        s = s < -1023 ? -1023 : (s > 1022 ? 1022 : s);
        const uint64_t bits = uint64_t(1023 - s) << 52;
        double p;
        memcpy(&p, &bits, sizeof(p));
        Ic16Setup setup;
        if (c.re == -32768 && c.im == -32768)
        {
            // D = 2^31: P' = x.re + x.im and Q' = x.im - x.re over -65536.
            setup.weights = _mm_setr_epi16(1, 1, -1, 1, 1, 1, -1, 1);
            setup.fRe = setup.fIm = p / -65536.0;
            return setup;
        }
        const double f = p / double(int32_t(c.re) * c.re + int32_t(c.im) * c.im);
        if (c.im == -32768)
        {
            // -c.im does not fit: weights giving -Q, and the factor's sign turned for that part.
            setup.weights =
                _mm_setr_epi16(c.re, c.im, c.im, int16_t(-c.re), c.re, c.im, c.im, int16_t(-c.re));
            setup.fRe = f;
            setup.fIm = -f;
            return setup;
        }
        setup.weights = _mm_setr_epi16(c.re, c.im, int16_t(-c.im), c.re, c.re, c.im, int16_t(-c.im), c.re);
        setup.fRe = setup.fIm = f;
        return setup;
    }

    // P and Q of two elements (re0, im0, re1, im1 as 32-bit lanes) to four saturated results.
    static __m128i Scale2(__m128i pq, __m128d factor)
    {
        const __m128d lo = _mm_min_pd(
            _mm_max_pd(_mm_mul_pd(_mm_cvtepi32_pd(pq), factor), _mm_set1_pd(-32768.0)), _mm_set1_pd(32767.0));
        const __m128d hi = _mm_min_pd(
            _mm_max_pd(_mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_si128(pq, 8)), factor), _mm_set1_pd(-32768.0)),
            _mm_set1_pd(32767.0));
        return _mm_unpacklo_epi64(_mm_cvtpd_epi32(lo), _mm_cvtpd_epi32(hi));
    }

    static void Ic16One(const SpIc16* src, SpIc16* dst, const Ic16Setup& setup, __m128d factor)
    {
        int32_t v;
        memcpy(&v, src, sizeof(v));
        const __m128i x = _mm_set1_epi32(v);
        const __m128i r = Scale2(_mm_madd_epi16(x, setup.weights), factor);
        const int32_t out = _mm_cvtsi128_si32(_mm_packs_epi32(r, r));
        memcpy(dst, &out, sizeof(out));
    }

    static void Ic16(const SpIc16* src, SpIc16 c, SpIc16* dst, int32_t len, int32_t s)
    {
        const Ic16Setup setup = SetupIc16(c, s);
        const __m128d factor = _mm_setr_pd(setup.fRe, setup.fIm);
        int32_t i = 0;
        for (; i < len && (uintptr_t(dst + i) & 12) != 0; ++i)
        {
            Ic16One(src + i, dst + i, setup, factor);
        }
        for (; len - i >= 4; i += 4)
        {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            const __m128i pq01 = _mm_madd_epi16(_mm_unpacklo_epi32(x, x), setup.weights);
            const __m128i pq23 = _mm_madd_epi16(_mm_unpackhi_epi32(x, x), setup.weights);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                             _mm_packs_epi32(Scale2(pq01, factor), Scale2(pq23, factor)));
        }
        for (; i < len; ++i)
        {
            Ic16One(src + i, dst + i, setup, factor);
        }
    }
};

using SpIntDivConstLevel = SpIntDivConst<SP_LEVEL_PARAMS>;

} // namespace

void SP_LN(SpDivConstKernelI16Scaled)(const int16_t* src, int16_t c, int16_t* dst, int32_t len, int32_t s)
{
    SpIntDivConstLevel::I16(src, c, dst, len, s);
}

void SP_LN(SpDivConstKernelU8Scaled)(const uint8_t* src, uint8_t c, uint8_t* dst, int32_t len, int32_t s)
{
    SpIntDivConstLevel::U8(src, c, dst, len, s);
}

void SP_LN(SpDivConstKernelIc16Scaled)(const SpIc16* src, SpIc16 c, SpIc16* dst, int32_t len, int32_t s)
{
    SpIntDivConstLevel::Ic16(src, c, dst, len, s);
}
