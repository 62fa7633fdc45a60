// Unsigned element-wise division through a refined reciprocal estimate, and 32-bit dividends over
// 16-bit divisors, one level build. The eight-lane loops never divide: r = rcp(d), e = 1 - d r,
// q0 = n r, q1 = q0 + e q0, q = q1 + (e e) q1. Every quotient is clamped to the result's range in
// floating point before its conversion.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/vectors/sp_int_div_levels.h"

namespace
{

struct SpIntDivRecip
{
    static __m128 Refine(__m128 n, __m128 d)
    {
        const __m128 r = _mm_rcp_ps(d);
        const __m128 e = _mm_sub_ps(_mm_set1_ps(1.0f), _mm_mul_ps(d, r));
        const __m128 q0 = _mm_mul_ps(n, r);
        const __m128 q1 = _mm_add_ps(q0, _mm_mul_ps(e, q0));
        return _mm_add_ps(q1, _mm_mul_ps(_mm_mul_ps(e, e), q1));
    }

    static float Pow2F(int32_t e)
    {
        const uint32_t bits = uint32_t(127 + e) << 23;
        float f;
        memcpy(&f, &bits, sizeof(f));
        return f;
    }

    static int32_t RoundClamp(float v, float lo, float hi)
    {
        return _mm_cvtss_si32(_mm_min_ss(_mm_max_ss(_mm_set_ss(v), _mm_set_ss(lo)), _mm_set_ss(hi)));
    }

    // ---------------------------------------------------------------------------------------------
    // Bytes: s >= 0 scales the divisor (every quotient is below one half from s = 9 on, so larger s
    // act as 9); s < 0 scales the dividend in float (every nonzero quotient saturates from s = -16
    // down, so smaller s act as -100, far from the float range's edge).

    static uint8_t StepU8(uint8_t d, uint8_t n, int32_t s, float scaleN, uint32_t* flag)
    {
        if (d == 0)
        {
            *flag = 1;
            return n == 0 ? 0 : 255;
        }
        const float fd = float(int32_t(d) << (s > 0 ? s : 0));
        const float fn = float(n) * scaleN;
        return uint8_t(RoundClamp(_mm_cvtss_f32(_mm_div_ss(_mm_set_ss(fn), _mm_set_ss(fd))), 0.0f, 255.0f));
    }

    static uint32_t U8(const uint8_t* src1, const uint8_t* src2, uint8_t* dst, int32_t len, int32_t s)
    {
        s = s > 9 ? 9 : (s < -100 ? -100 : s);
        const float scaleN = s < 0 ? Pow2F(-s) : 1.0f;
        // A zero divisor's lane divides by z instead, which makes the quotient the dividend times 2^15.
        const __m128 z = _mm_set1_ps(Pow2F((s < 0 ? -s : 0) - 15));
        const __m128i shiftD = _mm_cvtsi32_si128(s > 0 ? s : 0);
        const __m128 vScaleN = _mm_set1_ps(scaleN);
        const __m128i zero = _mm_setzero_si128();
        uint32_t flag = 0;
        int32_t i = 0;
        for (; i < len && (uintptr_t(dst + i) & 7) != 0; ++i)
        {
            dst[i] = StepU8(src1[i], src2[i], s, scaleN, &flag);
        }
        for (; len - i >= 8; i += 8)
        {
            const __m128i d16 =
                _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src1 + i)), zero);
            const __m128i n16 =
                _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src2 + i)), zero);
            const __m128i isZero = _mm_cmpeq_epi16(d16, zero);
            __m128 dLo = _mm_cvtepi32_ps(_mm_sll_epi32(_mm_unpacklo_epi16(d16, zero), shiftD));
            __m128 dHi = _mm_cvtepi32_ps(_mm_sll_epi32(_mm_unpackhi_epi16(d16, zero), shiftD));
            const __m128 nLo = _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(n16, zero)), vScaleN);
            const __m128 nHi = _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(n16, zero)), vScaleN);
            if (_mm_movemask_epi8(isZero) != 0)
            {
                flag = 1;
                dLo = _mm_add_ps(dLo, _mm_and_ps(_mm_castsi128_ps(_mm_unpacklo_epi16(isZero, isZero)), z));
                dHi = _mm_add_ps(dHi, _mm_and_ps(_mm_castsi128_ps(_mm_unpackhi_epi16(isZero, isZero)), z));
            }
            const __m128 lo = _mm_min_ps(_mm_max_ps(Refine(nLo, dLo), _mm_setzero_ps()), _mm_set1_ps(255.0f));
            const __m128 hi = _mm_min_ps(_mm_max_ps(Refine(nHi, dHi), _mm_setzero_ps()), _mm_set1_ps(255.0f));
            const __m128i q = _mm_packs_epi32(_mm_cvtps_epi32(lo), _mm_cvtps_epi32(hi));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(q, q));
        }
        for (; i < len; ++i)
        {
            dst[i] = StepU8(src1[i], src2[i], s, scaleN, &flag);
        }
        return flag;
    }

    // ---------------------------------------------------------------------------------------------
    // constant / x for unsigned 16-bit x. The estimate lands within one of the nearest integer k;
    // the residual c - k x (exact in float: k x stays below 2^18) then moves k to the quotient
    // rounded to nearest with ties to even, so the vector lanes give what the exact division gives
    // (65535 / 2 is 32768 on every path).

    static uint16_t StepU16(uint16_t x, uint16_t c, uint32_t* flag)
    {
        if (x == 0)
        {
            *flag = 1;
            return 65535;
        }
        return uint16_t(_mm_cvtss_si32(_mm_div_ss(_mm_set_ss(float(c)), _mm_set_ss(float(x)))));
    }

    static __m128i ExactRound(__m128 c, __m128 x)
    {
        __m128i k = _mm_cvtps_epi32(Refine(c, x));
        const __m128 r = _mm_sub_ps(c, _mm_mul_ps(_mm_cvtepi32_ps(k), x));
        const __m128 twice = _mm_add_ps(r, r);
        const __m128 negX = _mm_sub_ps(_mm_setzero_ps(), x);
        const __m128 odd =
            _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(k, _mm_set1_epi32(1)), _mm_set1_epi32(1)));
        const __m128 up = _mm_or_ps(_mm_cmpgt_ps(twice, x), _mm_and_ps(_mm_cmpeq_ps(twice, x), odd));
        const __m128 down = _mm_or_ps(_mm_cmplt_ps(twice, negX), _mm_and_ps(_mm_cmpeq_ps(twice, negX), odd));
        k = _mm_sub_epi32(k, _mm_castps_si128(up));
        return _mm_add_epi32(k, _mm_castps_si128(down));
    }

    static uint32_t U16(const uint16_t* src, uint16_t c, uint16_t* dst, int32_t len)
    {
        const __m128 vc = _mm_set1_ps(float(c));
        const __m128i zero = _mm_setzero_si128();
        const __m128i bias = _mm_set1_epi32(32768);
        uint32_t flag = 0;
        int32_t i = 0;
        for (; i < len && (uintptr_t(dst + i) & 14) != 0; ++i)
        {
            dst[i] = StepU16(src[i], c, &flag);
        }
        for (; len - i >= 8; i += 8)
        {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            const __m128i isZero = _mm_cmpeq_epi16(x, zero);
            x = _mm_sub_epi16(x, isZero); // a zero divisor becomes 1; its lane is replaced below
            const __m128i lo = ExactRound(vc, _mm_cvtepi32_ps(_mm_unpacklo_epi16(x, zero)));
            const __m128i hi = ExactRound(vc, _mm_cvtepi32_ps(_mm_unpackhi_epi16(x, zero)));
            // 0..65535 narrowed through the signed range: less 32768, saturate, then flip the top bit.
            __m128i q = _mm_packs_epi32(_mm_sub_epi32(lo, bias), _mm_sub_epi32(hi, bias));
            q = _mm_xor_si128(q, _mm_set1_epi16(int16_t(0x8000)));
            q = _mm_or_si128(q, isZero);
            flag |= uint32_t(_mm_movemask_epi8(isZero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), q);
        }
        for (; i < len; ++i)
        {
            dst[i] = StepU16(src[i], c, &flag);
        }
        return flag;
    }

    // ---------------------------------------------------------------------------------------------
    // 32-bit dividends over 16-bit divisors into 16-bit results. Scale factors below -64 act as -64,
    // where every nonzero quotient already saturates and no reciprocal can overflow.

    static int16_t StepI32ByI16(int16_t d, int32_t n, double p, uint32_t* flag)
    {
        if (d == 0)
        {
            *flag = 1;
            return int16_t(n > 0 ? 32767 : (n < 0 ? -32768 : 0));
        }
        const double q = double(n) / double(d) * p;
        return int16_t(
            _mm_cvtsd_si32(_mm_min_sd(_mm_max_sd(_mm_set_sd(q), _mm_set_sd(-32768.0)), _mm_set_sd(32767.0))));
    }

    static __m128i Clamp2(__m128d q)
    {
        return _mm_cvtpd_epi32(_mm_min_pd(_mm_max_pd(q, _mm_set1_pd(-32768.0)), _mm_set1_pd(32767.0)));
    }

    static uint32_t I32ByI16(const int16_t* src1, const int32_t* src2, int16_t* dst, int32_t len, int32_t s)
    {
        s = s < -64 ? -64 : (s > 1022 ? 1022 : s);
        const uint64_t bits = uint64_t(1023 - s) << 52;
        double p;
        memcpy(&p, &bits, sizeof(p));
        const __m128d vp = _mm_set1_pd(p);
        const __m128i zero = _mm_setzero_si128();
        uint32_t flag = 0;
        int32_t i = 0;
        for (; i < len && (uintptr_t(dst + i) & 6) != 0; ++i)
        {
            dst[i] = StepI32ByI16(src1[i], src2[i], p, &flag);
        }
        for (; len - i >= 4; i += 4)
        {
            __m128i d = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src1 + i));
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src2 + i));
            const __m128i isZero16 = _mm_cmpeq_epi16(d, zero);
            d = _mm_sub_epi16(d, isZero16); // zero divisors become 1
            const __m128i d32 = _mm_srai_epi32(_mm_unpacklo_epi16(d, d), 16);
            const __m128d d01 = _mm_cvtepi32_pd(d32);
            const __m128d d23 = _mm_cvtepi32_pd(_mm_srli_si128(d32, 8));
            // (t0, t1) = 2^-s / (d0 d2, d1 d3); 2^-s / d0 = d2 t0 and so on.
            const __m128d t = _mm_div_pd(vp, _mm_mul_pd(d01, d23));
            const __m128d q01 = _mm_mul_pd(_mm_cvtepi32_pd(a), _mm_mul_pd(d23, t));
            const __m128d q23 = _mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_si128(a, 8)), _mm_mul_pd(d01, t));
            __m128i q = _mm_unpacklo_epi64(Clamp2(q01), Clamp2(q23));
            const __m128i isZero = _mm_unpacklo_epi16(isZero16, isZero16);
            if (_mm_movemask_epi8(isZero) != 0)
            {
                flag = 1;
                const __m128i bound =
                    _mm_sub_epi32(_mm_and_si128(_mm_cmpgt_epi32(a, zero), _mm_set1_epi32(32767)),
                                  _mm_and_si128(_mm_cmplt_epi32(a, zero), _mm_set1_epi32(32768)));
                q = _mm_or_si128(_mm_andnot_si128(isZero, q), _mm_and_si128(isZero, bound));
            }
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(q, q));
        }
        for (; i < len; ++i)
        {
            dst[i] = StepI32ByI16(src1[i], src2[i], p, &flag);
        }
        return flag;
    }
};

} // namespace

uint32_t SP_LN(SpDivKernelU8Scaled)(const uint8_t* src1, const uint8_t* src2, uint8_t* dst, int32_t len,
                                    int32_t s)
{
    return SpIntDivRecip::U8(src1, src2, dst, len, s);
}

uint32_t SP_LN(SpDivConstRevKernelU16)(const uint16_t* src, uint16_t c, uint16_t* dst, int32_t len)
{
    return SpIntDivRecip::U16(src, c, dst, len);
}

uint32_t SP_LN(SpDivKernelI32ByI16Scaled)(const int16_t* src1, const int32_t* src2, int16_t* dst, int32_t len,
                                          int32_t s)
{
    return SpIntDivRecip::I32ByI16(src1, src2, dst, len, s);
}
