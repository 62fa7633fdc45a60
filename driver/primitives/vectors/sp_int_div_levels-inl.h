// Integer division kernels with a scale factor of one level build, included by the vector rows'
// level body after SP_LN is defined. The quotients are formed in floating point where every
// intermediate is exact or correctly rounded; every value is clamped to the element type's range
// in floating point before its conversion, so a huge quotient can never turn into the
// conversion's "integer indefinite" (0x80000000). Scale factors beyond a kernel's exact range are
// pulled back to its edge, where every result is already settled (0, or the bound), so no shift
// or exponent field ever leaves its width.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/vectors/sp_int_div_const_levels-inl.h"
#include "driver/primitives/vectors/sp_int_div_levels.h"
#include "driver/primitives/vectors/sp_int_div_recip_levels-inl.h"

namespace
{

struct SpIntDiv
{
    static int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

    // 2^-s as a double, exact for -1023 <= s <= 1022.
    static double Pow2(int32_t s)
    {
        const uint64_t bits = uint64_t(1023 - s) << 52;
        double d;
        memcpy(&d, &bits, sizeof(d));
        return d;
    }

    // Clamped to [lo, hi], then rounded by the current mode (ties to even as the library leaves it).
    static int32_t Round(double q, double lo, double hi)
    {
        return _mm_cvtsd_si32(_mm_min_sd(_mm_max_sd(_mm_set_sd(q), _mm_set_sd(lo)), _mm_set_sd(hi)));
    }

    static __m128d RoundClampPd(__m128d q, double lo, double hi)
    {
        return _mm_min_pd(_mm_max_pd(q, _mm_set1_pd(lo)), _mm_set1_pd(hi));
    }

    static int32_t ZeroDivisor(int64_t dividend, int32_t lo, int32_t hi)
    {
        return dividend > 0 ? hi : (dividend < 0 ? lo : 0);
    }

    // ---------------------------------------------------------------------------------------------
    // 32-bit: (a * 2^-s) / b in double (exact product, one correctly rounded division).

    static int32_t StepI32(int32_t b, int32_t a, double p, uint32_t* flag)
    {
        if (b == 0)
        {
            *flag = 1;
            return ZeroDivisor(a, INT32_MIN, INT32_MAX);
        }
        return Round(double(a) * p / double(b), -2147483648.0, 2147483647.0);
    }

    static uint32_t I32(const int32_t* src1, const int32_t* src2, int32_t* dst, int32_t len, int32_t s)
    {
        const double p = Pow2(Clamp(s, -1023, 1022));
        const __m128d vp = _mm_set1_pd(p);
        uint32_t flag = 0;
        int32_t i = 0;
        if ((uintptr_t(dst) & 4) != 0 && len > 0)
        {
            dst[0] = StepI32(src1[0], src2[0], p, &flag);
            i = 1;
        }
        for (; len - i >= 2; i += 2)
        {
            const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src1 + i));
            const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src2 + i));
            if ((_mm_movemask_epi8(_mm_cmpeq_epi32(b, _mm_setzero_si128())) & 0xFF) != 0)
            {
                const int32_t b1 = src1[i + 1];
                const int32_t a1 = src2[i + 1];
                dst[i] = StepI32(src1[i], src2[i], p, &flag);
                dst[i + 1] = StepI32(b1, a1, p, &flag);
                continue;
            }
            const __m128d q = _mm_div_pd(_mm_mul_pd(_mm_cvtepi32_pd(a), vp), _mm_cvtepi32_pd(b));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i),
                             _mm_cvtpd_epi32(RoundClampPd(q, -2147483648.0, 2147483647.0)));
        }
        if (i < len)
        {
            dst[i] = StepI32(src1[i], src2[i], p, &flag);
        }
        return flag;
    }

    // ---------------------------------------------------------------------------------------------
    // 16-bit. s >= 0: the divisor carries 2^s (exact up to s = 16, and every quotient is 0 beyond);
    // -5..-1: the dividend carries 2^-s (at most 2^20, exact in float); below: double precision.

    static int16_t Sat16(int32_t v) { return int16_t(Clamp(v, -32768, 32767)); }

    static int16_t StepI16Float(int16_t b, int16_t a, int32_t shiftA, int32_t shiftB, uint32_t* flag)
    {
        if (b == 0)
        {
            *flag = 1;
            return int16_t(ZeroDivisor(a, -32768, 32767));
        }
        const float fa = float(int32_t(a) * (int32_t(1) << shiftA));
        const float fb = float(int64_t(b) * (int64_t(1) << shiftB));
        return Sat16(_mm_cvtss_si32(_mm_div_ss(_mm_set_ss(fa), _mm_set_ss(fb))));
    }

    static int16_t StepI16Double(int16_t b, int16_t a, double p, uint32_t* flag)
    {
        if (b == 0)
        {
            *flag = 1;
            return int16_t(ZeroDivisor(a, -32768, 32767));
        }
        return int16_t(Round(double(a) * p / double(b), -32768.0, 32767.0));
    }

    static __m128i Widen16Lo(__m128i x) { return _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16); }
    static __m128i Widen16Hi(__m128i x) { return _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16); }

    // r = rcp(B); e = 1 - B r; q0 = A r; q1 = q0 + e q0; q2 = q1 + (e e) q1; then the snap: the
    // pattern plus one with its two low bits cleared, which pulls a q2 a unit or two short of an
    // exact half onto it so that ties to even decide.
    static __m128i QuotientI16(__m128 a, __m128 b)
    {
        const __m128 r = _mm_rcp_ps(b);
        const __m128 e = _mm_sub_ps(_mm_set1_ps(1.0f), _mm_mul_ps(b, r));
        const __m128 q0 = _mm_mul_ps(a, r);
        const __m128 q1 = _mm_add_ps(q0, _mm_mul_ps(e, q0));
        const __m128 q2 = _mm_add_ps(q1, _mm_mul_ps(_mm_mul_ps(e, e), q1));
        const __m128i snapped =
            _mm_and_si128(_mm_add_epi32(_mm_castps_si128(q2), _mm_set1_epi32(1)), _mm_set1_epi32(~3));
        return _mm_cvtps_epi32(_mm_castsi128_ps(snapped));
    }

    static uint32_t I16Float(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len,
                             int32_t shiftA, int32_t shiftB)
    {
        // A zero divisor's lane divides by z instead: the quotient is the dividend times 2^15, which
        // saturates to the bound by its sign (and is 0 for a zero dividend).
        const uint32_t zBits = uint32_t(127 + shiftA - 15) << 23;
        float z;
        memcpy(&z, &zBits, sizeof(z));
        const __m128 vz = _mm_set1_ps(z);
        const __m128i countA = _mm_cvtsi32_si128(shiftA);
        const __m128i countB = _mm_cvtsi32_si128(shiftB);
        uint32_t flag = 0;
        int32_t i = 0;
        for (; i < len && (uintptr_t(dst + i) & 14) != 0; ++i)
        {
            dst[i] = StepI16Float(src1[i], src2[i], shiftA, shiftB, &flag);
        }
        for (; len - i >= 8; i += 8)
        {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src1 + i));
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src2 + i));
            __m128 bLo = _mm_cvtepi32_ps(_mm_sll_epi32(Widen16Lo(b), countB));
            __m128 bHi = _mm_cvtepi32_ps(_mm_sll_epi32(Widen16Hi(b), countB));
            const __m128 aLo = _mm_cvtepi32_ps(_mm_sll_epi32(Widen16Lo(a), countA));
            const __m128 aHi = _mm_cvtepi32_ps(_mm_sll_epi32(Widen16Hi(a), countA));
            const __m128i zero = _mm_cmpeq_epi16(b, _mm_setzero_si128());
            if (_mm_movemask_epi8(zero) != 0)
            {
                flag = 1;
                bLo = _mm_add_ps(bLo, _mm_and_ps(_mm_castsi128_ps(_mm_unpacklo_epi16(zero, zero)), vz));
                bHi = _mm_add_ps(bHi, _mm_and_ps(_mm_castsi128_ps(_mm_unpackhi_epi16(zero, zero)), vz));
            }
            const __m128i q = _mm_packs_epi32(QuotientI16(aLo, bLo), QuotientI16(aHi, bHi));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), q);
        }
        for (; i < len; ++i)
        {
            dst[i] = StepI16Float(src1[i], src2[i], shiftA, shiftB, &flag);
        }
        return flag;
    }

    static __m128i Load2I16(const int16_t* p)
    {
        int32_t v;
        memcpy(&v, p, sizeof(v));
        const __m128i x = _mm_cvtsi32_si128(v);
        return Widen16Lo(x);
    }

    static uint32_t I16Double(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len, int32_t s)
    {
        const double p = Pow2(s);
        const __m128d vp = _mm_set1_pd(p);
        uint32_t flag = 0;
        int32_t i = 0;
        if ((uintptr_t(dst) & 2) != 0 && len > 0)
        {
            dst[0] = StepI16Double(src1[0], src2[0], p, &flag);
            i = 1;
        }
        for (; len - i >= 2; i += 2)
        {
            if (src1[i] == 0 || src1[i + 1] == 0)
            {
                const int16_t b1 = src1[i + 1];
                const int16_t a1 = src2[i + 1];
                const int16_t r0 = StepI16Double(src1[i], src2[i], p, &flag);
                const int16_t r1 = StepI16Double(b1, a1, p, &flag);
                dst[i] = r0;
                dst[i + 1] = r1;
                continue;
            }
            const __m128d q = _mm_div_pd(_mm_mul_pd(_mm_cvtepi32_pd(Load2I16(src2 + i)), vp),
                                         _mm_cvtepi32_pd(Load2I16(src1 + i)));
            const __m128i r = _mm_cvtpd_epi32(RoundClampPd(q, -32768.0, 32767.0));
            const int32_t packed = _mm_cvtsi128_si32(_mm_packs_epi32(r, r));
            memcpy(dst + i, &packed, sizeof(packed));
        }
        if (i < len)
        {
            dst[i] = StepI16Double(src1[i], src2[i], p, &flag);
        }
        return flag;
    }

    static uint32_t I16(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len, int32_t s)
    {
        if (s >= 0)
        {
            return I16Float(src1, src2, dst, len, 0, s > 16 ? 16 : s);
        }
        if (s >= -5)
        {
            return I16Float(src1, src2, dst, len, -s, 0);
        }
        return I16Double(src1, src2, dst, len, s < -127 ? -127 : s);
    }

    // ---------------------------------------------------------------------------------------------
    // Complex 16-bit: m = |b|^2, nr + i ni = a * conj(b), all exact integers (m and nr can reach
    // 2^31); f = 2^-s / m; re = nr f, im = ni f.

    static void StepIc16(SpIc16 b, SpIc16 a, double p, SpIc16* out, uint32_t* flag)
    {
        if (b.re == 0 && b.im == 0)
        {
            *flag = 1;
            out->re = 0;
            out->im = 0;
            return;
        }
        const int64_t m = int64_t(b.re) * b.re + int64_t(b.im) * b.im;
        const int64_t nr = int64_t(a.re) * b.re + int64_t(a.im) * b.im;
        const int64_t ni = int64_t(a.im) * b.re - int64_t(a.re) * b.im;
        const double f = p / double(m);
        out->re = int16_t(Round(double(nr) * f, -32768.0, 32767.0));
        out->im = int16_t(Round(double(ni) * f, -32768.0, 32767.0));
    }

    // Lanes holding -2^31 as a sum that can only be +2^31 (m of (-32768, -32768); nr when both
    // operands are that value), converted to double and put right.
    static __m128d ToDoubleWrapped(__m128i v)
    {
        const __m128d d = _mm_cvtepi32_pd(v);
        const __m128d wrapped = _mm_cmpeq_pd(d, _mm_set1_pd(-2147483648.0));
        return _mm_add_pd(d, _mm_and_pd(wrapped, _mm_set1_pd(4294967296.0)));
    }

    static uint32_t Ic16(const SpIc16* src1, const SpIc16* src2, SpIc16* dst, int32_t len, int32_t s)
    {
        const double p = Pow2(Clamp(s, -1023, 1022));
        const __m128d vp = _mm_set1_pd(p);
        const __m128i lowHalf = _mm_set1_epi32(0x0000FFFF);
        uint32_t flag = 0;
        int32_t i = 0;
        for (; i < len && (uintptr_t(dst + i) & 12) != 0; ++i)
        {
            StepIc16(src1[i], src2[i], p, dst + i, &flag);
        }
        for (; len - i >= 4; i += 4)
        {
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src1 + i));
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src2 + i));
            const __m128i zero = _mm_cmpeq_epi32(b, _mm_setzero_si128());
            if (_mm_movemask_epi8(zero) != 0)
            {
                // A zero divisor's lane divides 0 + 0i by 1 - i: the result is (0, 0).
                flag = 1;
                a = _mm_andnot_si128(zero, a);
                b = _mm_or_si128(_mm_andnot_si128(zero, b),
                                 _mm_and_si128(zero, _mm_set1_epi32(int32_t(0xFFFF0001u))));
            }
            const __m128i m = _mm_madd_epi16(b, b);
            const __m128i nr = _mm_madd_epi16(a, b);
            // ni = ai br - ar bi from the swapped dividend (ai, ar) against b, one part masked at a time,
            // so no part is ever negated (-(-32768) does not fit 16 bits).
            const __m128i aSwap = _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, 0xB1), 0xB1);
            const __m128i ni = _mm_sub_epi32(_mm_madd_epi16(_mm_and_si128(aSwap, lowHalf), b),
                                             _mm_madd_epi16(_mm_andnot_si128(lowHalf, aSwap), b));
            const __m128d fLo = _mm_div_pd(vp, ToDoubleWrapped(m));
            const __m128d fHi = _mm_div_pd(vp, ToDoubleWrapped(_mm_srli_si128(m, 8)));
            const __m128d reLo = RoundClampPd(_mm_mul_pd(ToDoubleWrapped(nr), fLo), -32768.0, 32767.0);
            const __m128d reHi =
                RoundClampPd(_mm_mul_pd(ToDoubleWrapped(_mm_srli_si128(nr, 8)), fHi), -32768.0, 32767.0);
            const __m128d imLo = RoundClampPd(_mm_mul_pd(_mm_cvtepi32_pd(ni), fLo), -32768.0, 32767.0);
            const __m128d imHi =
                RoundClampPd(_mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_si128(ni, 8)), fHi), -32768.0, 32767.0);
            const __m128i re = _mm_unpacklo_epi64(_mm_cvtpd_epi32(reLo), _mm_cvtpd_epi32(reHi));
            const __m128i im = _mm_unpacklo_epi64(_mm_cvtpd_epi32(imLo), _mm_cvtpd_epi32(imHi));
            const __m128i out = _mm_packs_epi32(_mm_unpacklo_epi32(re, im), _mm_unpackhi_epi32(re, im));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), out);
        }
        for (; i < len; ++i)
        {
            StepIc16(src1[i], src2[i], p, dst + i, &flag);
        }
        return flag;
    }
};

} // namespace

uint32_t SP_LN(SpDivKernelI32Scaled)(const int32_t* src1, const int32_t* src2, int32_t* dst, int32_t len,
                                     int32_t s)
{
    return SpIntDiv::I32(src1, src2, dst, len, s);
}

uint32_t SP_LN(SpDivKernelI16Scaled)(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len,
                                     int32_t s)
{
    return SpIntDiv::I16(src1, src2, dst, len, s);
}

uint32_t SP_LN(SpDivKernelIc16Scaled)(const SpIc16* src1, const SpIc16* src2, SpIc16* dst, int32_t len,
                                      int32_t s)
{
    return SpIntDiv::Ic16(src1, src2, dst, len, s);
}
