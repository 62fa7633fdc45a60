// Float division kernel of the level builds, written once and instantiated by each level's build
// file: dst[i] = src2[i] / src1[i]. A group of divisors that are all normal and below 2^125 in
// magnitude takes the reciprocal estimate refined to within 2 ulp (no divide instruction); a
// group holding a zero, subnormal, infinite or huge divisor takes the exact rule, where a zero
// divisor gives +inf, -inf or NaN 0x7FC00000 by the dividend and raises the flag. Groups are 8
// in the main loop, 4 in the four-step and 2 or 1 in the alignment and tail steps; spare lanes
// hold 1.0 / 1.0. The same object holds the constant-over-vector and complex float divisions.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

template <class P> struct SpDivKernels
{
    static __m128 F(uint32_t bits) { return _mm_castsi128_ps(_mm_set1_epi32(int32_t(bits))); }

    // Lanes whose divisor the estimate cannot serve: zero, subnormal, or magnitude 2^125 and up
    // (infinity included); a NaN divisor is served (the estimate gives NaN).
    static int32_t Screen(__m128 d)
    {
        const __m128i magnitude = _mm_and_si128(_mm_castps_si128(d), _mm_set1_epi32(0x7FFFFFFF));
        const __m128i tiny = _mm_cmplt_epi32(magnitude, _mm_set1_epi32(0x00800000));
        const __m128i huge = _mm_and_si128(_mm_cmpgt_epi32(magnitude, _mm_set1_epi32(0x7DFFFFFF)),
                                           _mm_cmplt_epi32(magnitude, _mm_set1_epi32(0x7F800001)));
        return _mm_movemask_ps(_mm_castsi128_ps(_mm_or_si128(tiny, huge)));
    }

    // r = rcp(d); e = 1 - d r; q0 = n r; q = q0 + (e q0 + q0) e, each step rounded to float.
    static __m128 Estimate(__m128 d, __m128 n)
    {
        const __m128 r = _mm_rcp_ps(d);
        const __m128 e = _mm_sub_ps(_mm_set1_ps(1.0f), _mm_mul_ps(d, r));
        const __m128 q0 = _mm_mul_ps(n, r);
        return _mm_add_ps(q0, _mm_mul_ps(_mm_add_ps(_mm_mul_ps(e, q0), q0), e));
    }

    static __m128 Exact(__m128 d, __m128 n, uint32_t* flag)
    {
        const __m128 zero = _mm_setzero_ps();
        const __m128 isZero = _mm_cmpeq_ps(d, zero);
        const __m128 isNaN = _mm_cmpunord_ps(d, d);
        if (_mm_movemask_ps(isZero) != 0)
        {
            *flag = 1;
        }
        const __m128 special =
            _mm_or_ps(_mm_and_ps(_mm_cmpgt_ps(n, zero), F(0x7F800000u)),
                      _mm_or_ps(_mm_and_ps(_mm_cmplt_ps(n, zero), F(0xFF800000u)),
                                _mm_andnot_ps(_mm_or_ps(_mm_cmpgt_ps(n, zero), _mm_cmplt_ps(n, zero)),
                                              F(0x7FC00000u))));
        const __m128 q = _mm_div_ps(n, _mm_andnot_ps(isZero, d));
        const __m128 bad = _mm_or_ps(isZero, isNaN);
        const __m128 fill = _mm_or_ps(_mm_and_ps(isZero, special), _mm_andnot_ps(isZero, F(0x7FC00000u)));
        return _mm_or_ps(_mm_andnot_ps(bad, q), _mm_and_ps(bad, fill));
    }

    static __m128 Quad(__m128 d, __m128 n, uint32_t* flag)
    {
        return Screen(d) != 0 ? Exact(d, n, flag) : Estimate(d, n);
    }

    // A group of `count` (1, 2 or 4) elements with the spare lanes 1.0 / 1.0.
    static void Group(const float* d, const float* n, float* q, int32_t count, uint32_t* flag)
    {
        float dv[4] = {1.0f, 1.0f, 1.0f, 1.0f}, nv[4] = {1.0f, 1.0f, 1.0f, 1.0f}, qv[4];
        memcpy(dv, d, sizeof(float) * size_t(count));
        memcpy(nv, n, sizeof(float) * size_t(count));
        _mm_storeu_ps(qv, Quad(_mm_loadu_ps(dv), _mm_loadu_ps(nv), flag));
        memcpy(q, qv, sizeof(float) * size_t(count));
    }

    // dst[i] = value / src[i]: the same frame with the dividend broadcast; in a block of eight
    // each group of four decides between the estimate and the exact rule on its own.
    static uint32_t ConstRev(const float* src, float value, float* dst, int32_t len)
    {
        uint32_t flag = 0;
        int32_t i = 0;
        const __m128 n = _mm_set1_ps(value);
        const float nv[4] = {value, value, value, value};
        if (((reinterpret_cast<uintptr_t>(src) | reinterpret_cast<uintptr_t>(dst)) & 3) == 0)
        {
            if ((reinterpret_cast<uintptr_t>(dst) & 4) != 0)
            {
                Group(src, nv, dst, 1, &flag);
                if (++i == len)
                {
                    return flag;
                }
            }
            if ((reinterpret_cast<uintptr_t>(dst + i) & 8) != 0 && len - i >= 2)
            {
                Group(src + i, nv, dst + i, 2, &flag);
                i += 2;
            }
            if ((reinterpret_cast<uintptr_t>(dst + i) & 15) == 0)
            {
                const bool aligned = (reinterpret_cast<uintptr_t>(src + i) & 15) == 0;
                for (; len - i >= 8; i += 8)
                {
                    for (int32_t h = 0; h < 8; h += 4)
                    {
                        const __m128 d = aligned ? _mm_load_ps(src + i + h) : _mm_loadu_ps(src + i + h);
                        _mm_store_ps(dst + i + h, Quad(d, n, &flag));
                    }
                }
            }
        }
        for (; len - i >= 4; i += 4)
        {
            _mm_storeu_ps(dst + i, Quad(_mm_loadu_ps(src + i), n, &flag));
        }
        if (len - i >= 2)
        {
            Group(src + i, nv, dst + i, 2, &flag);
            i += 2;
        }
        if (i < len)
        {
            Group(src + i, nv, dst + i, 1, &flag);
        }
        return flag;
    }

    // Four complex quotients (c + id) / (a + ib) from separated parts: the squared magnitude m
    // inverted by the estimate and one Newton step where it is normal and below 2^125, by a
    // division where it is not; a zero m gives NaN in both parts and its lane in the mask.
    static void QuadComplex(__m128 a, __m128 b, __m128 c, __m128 d, __m128* re, __m128* im, uint32_t* mask)
    {
        const __m128 m = _mm_add_ps(_mm_mul_ps(a, a), _mm_mul_ps(b, b));
        const __m128 nre = _mm_add_ps(_mm_mul_ps(a, c), _mm_mul_ps(d, b));
        const __m128 nim = _mm_sub_ps(_mm_mul_ps(a, d), _mm_mul_ps(b, c));
        const __m128 isZero = _mm_cmpeq_ps(m, _mm_setzero_ps());
        *mask |= uint32_t(_mm_movemask_ps(isZero));
        const __m128 safe = _mm_add_ps(m, _mm_and_ps(isZero, _mm_set1_ps(2.0f)));
        const __m128 r0 = _mm_rcp_ps(safe);
        __m128 r = _mm_mul_ps(r0, _mm_sub_ps(_mm_set1_ps(2.0f), _mm_mul_ps(safe, r0)));
        const int32_t awkward = Screen(safe);
        if (awkward != 0)
        {
            const __m128 lanes = _mm_castsi128_ps(_mm_set_epi32(awkward & 8 ? -1 : 0, awkward & 4 ? -1 : 0,
                                                                awkward & 2 ? -1 : 0, awkward & 1 ? -1 : 0));
            *re =
                _mm_or_ps(_mm_andnot_ps(lanes, _mm_mul_ps(nre, r)), _mm_and_ps(lanes, _mm_div_ps(nre, safe)));
            *im =
                _mm_or_ps(_mm_andnot_ps(lanes, _mm_mul_ps(nim, r)), _mm_and_ps(lanes, _mm_div_ps(nim, safe)));
        }
        else
        {
            *re = _mm_mul_ps(nre, r);
            *im = _mm_mul_ps(nim, r);
        }
        *re = _mm_or_ps(_mm_andnot_ps(isZero, *re), _mm_and_ps(isZero, F(0x7FC00000u)));
        *im = _mm_or_ps(_mm_andnot_ps(isZero, *im), _mm_and_ps(isZero, F(0x7FC00000u)));
    }

    // Four interleaved complex divisors (d0, d1) and dividends (n0, n1) through QuadComplex.
    static void QuadInterleaved(__m128 d0, __m128 d1, __m128 n0, __m128 n1, __m128* re, __m128* im,
                                uint32_t* mask)
    {
        QuadComplex(_mm_shuffle_ps(d0, d1, _MM_SHUFFLE(2, 0, 2, 0)),
                    _mm_shuffle_ps(d0, d1, _MM_SHUFFLE(3, 1, 3, 1)),
                    _mm_shuffle_ps(n0, n1, _MM_SHUFFLE(2, 0, 2, 0)),
                    _mm_shuffle_ps(n0, n1, _MM_SHUFFLE(3, 1, 3, 1)), re, im, mask);
    }

    // `count` (1 to 4) complex elements through QuadComplex, spare lanes 2 + 2i.
    static void ComplexGroup(const float* d, const float* n, float* q, int32_t count, uint32_t* mask)
    {
        float dv[8], nv[8], out[8];
        for (int32_t k = 0; k < 8; ++k)
        {
            dv[k] = nv[k] = 2.0f;
        }
        memcpy(dv, d, 8 * size_t(count));
        memcpy(nv, n, 8 * size_t(count));
        const __m128 d0 = _mm_loadu_ps(dv), d1 = _mm_loadu_ps(dv + 4);
        const __m128 n0 = _mm_loadu_ps(nv), n1 = _mm_loadu_ps(nv + 4);
        __m128 re, im;
        uint32_t lanes = 0;
        QuadInterleaved(d0, d1, n0, n1, &re, &im, &lanes);
        *mask |= lanes & ((1u << count) - 1);
        _mm_storeu_ps(out, _mm_unpacklo_ps(re, im));
        _mm_storeu_ps(out + 4, _mm_unpackhi_ps(re, im));
        memcpy(q, out, 8 * size_t(count));
    }

    // Complex float division dst[i] = src2[i] / src1[i], pairs (re, im); the result is the mask
    // of zero divisors met.
    static uint32_t Complex(const float* src1, const float* src2, float* dst, int32_t len)
    {
        uint32_t mask = 0;
        int32_t i = 0;
        if ((reinterpret_cast<uintptr_t>(dst) & 8) != 0)
        {
            ComplexGroup(src1, src2, dst, 1, &mask);
            i = 1;
        }
        for (; len - i >= 4; i += 4)
        {
            const __m128 d0 = _mm_loadu_ps(src1 + 2 * i), d1 = _mm_loadu_ps(src1 + 2 * i + 4);
            const __m128 n0 = _mm_loadu_ps(src2 + 2 * i), n1 = _mm_loadu_ps(src2 + 2 * i + 4);
            __m128 re, im;
            QuadInterleaved(d0, d1, n0, n1, &re, &im, &mask);
            _mm_storeu_ps(dst + 2 * i, _mm_unpacklo_ps(re, im));
            _mm_storeu_ps(dst + 2 * i + 4, _mm_unpackhi_ps(re, im));
        }
        if (len - i >= 2)
        {
            ComplexGroup(src1 + 2 * i, src2 + 2 * i, dst + 2 * i, 2, &mask);
            i += 2;
        }
        if (i < len)
        {
            ComplexGroup(src1 + 2 * i, src2 + 2 * i, dst + 2 * i, 1, &mask);
        }
        return mask;
    }

    static uint32_t Kernel(const float* src1, const float* src2, float* dst, int32_t len)
    {
        uint32_t flag = 0;
        int32_t i = 0;
        const uintptr_t any = reinterpret_cast<uintptr_t>(src1) | reinterpret_cast<uintptr_t>(src2) |
                              reinterpret_cast<uintptr_t>(dst);
        if ((any & 3) == 0)
        {
            if ((reinterpret_cast<uintptr_t>(dst) & 4) != 0)
            {
                Group(src1, src2, dst, 1, &flag);
                if (++i == len)
                {
                    return flag;
                }
            }
            if ((reinterpret_cast<uintptr_t>(dst + i) & 8) != 0 && len - i >= 2)
            {
                Group(src1 + i, src2 + i, dst + i, 2, &flag);
                i += 2;
            }
            if ((reinterpret_cast<uintptr_t>(dst + i) & 15) == 0)
            {
                const bool aligned =
                    ((reinterpret_cast<uintptr_t>(src1 + i) | reinterpret_cast<uintptr_t>(src2 + i)) & 15) ==
                    0;
                auto load = [aligned](const float* p) { return aligned ? _mm_load_ps(p) : _mm_loadu_ps(p); };
                for (; len - i >= 8; i += 8)
                {
                    const __m128 d0 = load(src1 + i), d1 = load(src1 + i + 4);
                    const __m128 n0 = load(src2 + i), n1 = load(src2 + i + 4);
                    if ((Screen(d0) | Screen(d1)) != 0)
                    {
                        _mm_store_ps(dst + i, Exact(d0, n0, &flag));
                        _mm_store_ps(dst + i + 4, Exact(d1, n1, &flag));
                    }
                    else
                    {
                        _mm_store_ps(dst + i, Estimate(d0, n0));
                        _mm_store_ps(dst + i + 4, Estimate(d1, n1));
                    }
                }
            }
        }
        for (; len - i >= 4; i += 4)
        {
            _mm_storeu_ps(dst + i, Quad(_mm_loadu_ps(src1 + i), _mm_loadu_ps(src2 + i), &flag));
        }
        if (len - i >= 2)
        {
            Group(src1 + i, src2 + i, dst + i, 2, &flag);
            i += 2;
        }
        if (i < len)
        {
            Group(src1 + i, src2 + i, dst + i, 1, &flag);
        }
        return flag;
    }
};
