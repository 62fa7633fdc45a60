// Integer square-root kernels of one level build, included by the vector rows' level body after
// SP_LN is defined. The kernels with 16-bit results take the reciprocal-square-root estimate of
// the element (shifted or pre-scaled by the scale factor), with one Newton step wherever the
// scaled root can pass 1365 (beyond that the bare estimate can miss by more than one half), and
// then correct the truncated candidate with exact integer arithmetic, so every result is the
// nearest integer. Eight elements make one step; the few elements before the destination's
// 16-byte boundary and after the last whole step go through the same step in a padded group, so
// nothing outside the vectors is read or written and no result depends on alignment.
#pragma once

#include <emmintrin.h>
#include <pmmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/vectors/sp_sqrt_levels.h"

namespace
{

struct SpSqrtInt
{
    static uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

    static __m128 Bits(uint32_t bits) { return _mm_castsi128_ps(_mm_set1_epi32(int32_t(bits))); }

    // sqrt(f) from the estimate: bare (f * estimate) or after one Newton step, (-0.5 t)(u - 3).
    // A lane holding 0 would make the estimate infinite, so a group with one takes exact roots.
    static __m128 Root(__m128 f, bool newton)
    {
        if (_mm_movemask_ps(_mm_cmpeq_ps(f, _mm_setzero_ps())) != 0)
        {
            return _mm_sqrt_ps(f);
        }
        const __m128 y0 = _mm_rsqrt_ps(f);
        const __m128 t = _mm_mul_ps(f, y0);
        if (!newton)
        {
            return t;
        }
        const __m128 u = _mm_mul_ps(y0, t);
        return _mm_mul_ps(_mm_mul_ps(Bits(0xBF000000u), t), _mm_sub_ps(u, Bits(0x40400000u)));
    }

    // q^2 of lanes holding 0 <= q < 65536 in their low halves (a q of 32768 or more reads as
    // negative in the multiply-add, which only lanes that saturate anyway reach).
    static __m128i SquareLow(__m128i q) { return _mm_madd_epi16(q, q); }

    // The exact q^2 of lanes holding 0 <= q < 65536, modulo 2^32.
    static __m128i SquareFull(__m128i q)
    {
        const __m128i even = _mm_mul_epu32(q, q);
        const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(q, 32), _mm_srli_epi64(q, 32));
        return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                                  _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
    }

    // Nearest integer to sqrt(X) for 0 <= X < 2^31 from its truncated candidate q: q + 1 when
    // X - q > q^2.
    static __m128i CorrectUp(__m128i x, __m128i q)
    {
        return _mm_sub_epi32(q, _mm_cmpgt_epi32(_mm_sub_epi32(x, q), SquareLow(q)));
    }

    // Nearest integer to sqrt(x) 2^-s (s > 0) from its truncated candidate q, an exact half to
    // even: q + 1 when x + (q & 1) > ((2q + 1) 2^(s-1))^2 (all terms below 2^31).
    static __m128i CorrectDown(__m128i x, __m128i q, int32_t s)
    {
        const __m128i one = _mm_set1_epi32(1);
        const __m128i mid = _mm_sll_epi32(_mm_or_si128(_mm_add_epi32(q, q), one), _mm_cvtsi32_si128(s - 1));
        const __m128i lhs = _mm_add_epi32(x, _mm_and_si128(q, one));
        return _mm_sub_epi32(q, _mm_cmpgt_epi32(lhs, SquareLow(mid)));
    }

    // Eight 32-bit lanes to 16 bits keeping each lane's low half (the lanes hold 0..65535).
    static __m128i NarrowLow(__m128i a, __m128i b)
    {
        a = _mm_srai_epi32(_mm_slli_epi32(a, 16), 16);
        b = _mm_srai_epi32(_mm_slli_epi32(b, 16), 16);
        return _mm_packs_epi32(a, b);
    }

    // The walk shared by the kernels with 16-bit results: a padded group up to the destination's
    // 16-byte boundary, whole steps of eight, a padded group for the rest. A padded group repeats
    // its first element in the spare lanes, so they add no zero lane and no negative sign.
    template <typename T, class Step>
    static void Walk16(const T* src, int16_t* dst, int64_t n, const Step& step)
    {
        int64_t i = 0;
        auto partial = [&](int64_t count)
        {
            T in[8];
            memcpy(in, src + i, sizeof(T) * size_t(count));
            for (int64_t k = count; k < 8; ++k)
            {
                in[k] = in[0];
            }
            int16_t out[8];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), step(in));
            memcpy(dst + i, out, 2 * size_t(count));
            i += count;
        };
        const uintptr_t head = Address(dst) & 14;
        if (head != 0)
        {
            const int64_t h = int64_t(8 - head / 2);
            partial(h < n ? h : n);
        }
        const bool aligned = (Address(dst + i) & 15) == 0;
        for (; n - i >= 8; i += 8)
        {
            const __m128i r = step(src + i);
            aligned ? _mm_store_si128(reinterpret_cast<__m128i*>(dst + i), r)
                    : _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), r);
        }
        if (i < n)
        {
            partial(n - i);
        }
    }

    static __m128i Load(const void* p) { return _mm_lddqu_si128(reinterpret_cast<const __m128i*>(p)); }

    // ---- unsigned 16-bit -------------------------------------------------------------------

    static void U16Scaled(const uint16_t* src, uint16_t* dst, int32_t len, int32_t s)
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128 guard = Bits(0x04000000u);      // 2^-119: a zero element keeps a finite estimate
        const int32_t n = s < 0 && s > -16 ? -s : 0; // from -16 on the result is constant
        const __m128i shift = _mm_cvtsi32_si128(2 * n);
        const __m128 down = _mm_set1_ps(s > 0 && s <= 8 ? 1.0f / float(1 << (2 * s)) : 1.0f);
        // s = -8 to -15: the factor 2^n rides on the Newton constant, and X = x 4^n wraps modulo
        // 2^32 where the result saturates anyway.
        const __m128 scaledHalf = _mm_set1_ps(-0.5f * float(1 << (n < 16 ? n : 0)));
        auto lanes = [&](__m128i h) -> __m128i
        {
            if (s > 0)
            {
                const __m128 f = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(h), down), guard);
                const __m128i q = _mm_cvttps_epi32(_mm_mul_ps(f, _mm_rsqrt_ps(f)));
                return CorrectDown(h, q, s);
            }
            const __m128i big = _mm_sll_epi32(h, shift);
            if (n <= 7)
            {
                const __m128 f = _mm_add_ps(_mm_cvtepi32_ps(big), guard);
                const __m128 r = _mm_rsqrt_ps(f);
                __m128 y = _mm_mul_ps(f, r);
                if (n >= 3)
                {
                    const __m128 u = _mm_mul_ps(r, y);
                    y = _mm_mul_ps(_mm_mul_ps(y, _mm_set1_ps(-0.5f)), _mm_sub_ps(u, _mm_set1_ps(3.0f)));
                }
                return CorrectUp(big, _mm_cvttps_epi32(y));
            }
            const __m128 f = _mm_add_ps(_mm_cvtepi32_ps(h), guard);
            const __m128 r = _mm_rsqrt_ps(f);
            const __m128 y0 = _mm_mul_ps(f, r);
            __m128 y =
                _mm_mul_ps(_mm_mul_ps(y0, scaledHalf), _mm_sub_ps(_mm_mul_ps(r, y0), _mm_set1_ps(3.0f)));
            if (n >= 9)
            {
                y = _mm_min_ps(y, _mm_set1_ps(65535.0f));
            }
            const __m128i q = _mm_cvttps_epi32(y);
            const __m128i d = _mm_sub_epi32(big, SquareFull(q));
            __m128i result = _mm_sub_epi32(q, _mm_cmpgt_epi32(d, q));
            if (n >= 9)
            {
                result = _mm_add_epi32(result, _mm_cmpgt_epi32(result, _mm_set1_epi32(65535)));
            }
            return result;
        };
        auto step = [&](const uint16_t* p)
        {
            const __m128i x = Load(p);
            if (s >= 9)
            {
                return zero;
            }
            if (s <= -16)
            {
                return _mm_andnot_si128(_mm_cmpeq_epi16(x, zero), _mm_set1_epi16(-1));
            }
            return NarrowLow(lanes(_mm_unpacklo_epi16(x, zero)), lanes(_mm_unpackhi_epi16(x, zero)));
        };
        Walk16(src, reinterpret_cast<int16_t*>(dst), len, step);
    }

    // ---- signed 32-bit to 16-bit -----------------------------------------------------------

    // The refined estimate with the Newton factor g: (a g)(3 - b), a = f r, b = r a, where f is
    // at least g so zero and negative lanes stay finite.
    static __m128i Estimate(__m128i v, __m128 g, bool clamp)
    {
        const __m128 f = _mm_max_ps(_mm_cvtepi32_ps(v), g);
        const __m128 r = _mm_rsqrt_ps(f);
        const __m128 a = _mm_mul_ps(f, r);
        const __m128 b = _mm_mul_ps(r, a);
        __m128 y = _mm_mul_ps(_mm_mul_ps(a, g), _mm_sub_ps(_mm_set1_ps(3.0f), b));
        if (clamp)
        {
            y = _mm_min_ps(y, _mm_set1_ps(32767.0f));
        }
        return _mm_cvttps_epi32(y);
    }

    struct I32Scale
    {
        int32_t s;
        __m128 g;          // Newton factor: 0.5, or 2^-(s+1) when the scale divides
        __m128i shiftUp;   // 2|s| for s < 0
        __m128i limit;     // largest x whose shifted value stays below 2^31
        __m128i shiftDown; // 2s for s > 0
        __m128i quarter;   // 2^(2s-2) for s > 0
    };

    static I32Scale MakeI32Scale(int32_t s)
    {
        I32Scale c;
        c.s = s;
        c.g = s > 0 && s <= 16 ? Bits(uint32_t(126 - s) << 23) : _mm_set1_ps(0.5f);
        const int64_t up = s < 0 ? -int64_t(s) * 2 : 0;
        c.shiftUp = _mm_cvtsi32_si128(int32_t(up < 32 ? up : 32));
        c.limit = _mm_set1_epi32(up < 32 ? int32_t(2147483647u >> up) : 0);
        c.shiftDown = _mm_cvtsi32_si128(s > 0 && s <= 16 ? 2 * s : 0);
        c.quarter = _mm_set1_epi32(s > 0 && s <= 16 ? int32_t(1u << (2 * s - 2)) : 0);
        return c;
    }

    // Four 32-bit elements to their rounded roots (32-bit lanes, saturated later), one routine
    // per sign of the scale factor.
    static __m128i I32LanesScale0(__m128i x, const I32Scale& c)
    {
        const __m128i negative = _mm_srai_epi32(x, 31);
        return _mm_andnot_si128(negative, CorrectUp(x, Estimate(x, c.g, true)));
    }

    static __m128i I32LanesScaleDown(__m128i x, const I32Scale& c)
    {
        const __m128i negative = _mm_srai_epi32(x, 31);
        const __m128i q = Estimate(x, c.g, false);
        // x - 2^(2s-2) + (q & 1) - (q << 2s) > q^2 << 2s: the midpoint test without overflow.
        __m128i lhs = _mm_sub_epi32(x, c.quarter);
        lhs = _mm_add_epi32(lhs, _mm_and_si128(q, _mm_set1_epi32(1)));
        lhs = _mm_sub_epi32(lhs, _mm_sll_epi32(q, c.shiftDown));
        const __m128i rhs = _mm_sll_epi32(SquareLow(q), c.shiftDown);
        return _mm_andnot_si128(negative, _mm_sub_epi32(q, _mm_cmpgt_epi32(lhs, rhs)));
    }

    static __m128i I32LanesScaleUp(__m128i x, const I32Scale& c)
    {
        const __m128i negative = _mm_srai_epi32(x, 31);
        // Above the limit the shifted value would pass 2^31: 32767^2 - 1 rounds to 32767 there.
        const __m128i over = _mm_cmpgt_epi32(x, c.limit);
        __m128i big = _mm_sll_epi32(x, c.shiftUp);
        big = _mm_or_si128(_mm_andnot_si128(over, big), _mm_and_si128(over, _mm_set1_epi32(1073676288)));
        big = _mm_andnot_si128(negative, big);
        return CorrectUp(big, Estimate(big, c.g, false));
    }

    // ---- signed 64-bit to 16-bit -----------------------------------------------------------

    // ---- signed 64-bit ---------------------------------------------------------------------

    static uint16_t X87Control()
    {
        uint16_t word;
        __asm__ volatile("fnstcw %0" : "=m"(word));
        return word;
    }

    static void SetX87Control(uint16_t word) { __asm__ volatile("fldcw %0" : : "m"(word)); }

    static uint64_t TruncateX87(long double y) { return uint64_t(y); }

    static int64_t I64One(int64_t x, int32_t s, long double factor)
    {
        constexpr int64_t kMax = INT64_MAX;
        if (x <= 0 || s >= 33)
        {
            return 0;
        }
        if (s <= -63)
        {
            return kMax;
        }
        const long double root = __builtin_sqrtl((long double)x);
        if (s == 0)
        {
            const uint64_t t = TruncateX87(root);
            return int64_t(t + (uint64_t(x) - t > t * t ? 1 : 0));
        }
        if (s > 0)
        {
            const uint64_t t = TruncateX87(root);
            const uint64_t q = t >> s;
            const unsigned __int128 mid = (t & ~((uint64_t(1) << s) - 1)) + (uint64_t(1) << (s - 1));
            const unsigned __int128 mid2 = mid * mid;
            if (mid2 == (unsigned __int128)x)
            {
                return int64_t(q + (q & 1));
            }
            return int64_t(q + (mid2 < (unsigned __int128)x ? 1 : 0));
        }
        const long double y = root * factor;
        if (s <= -32 && y >= 9223372036854775807.0L)
        {
            return kMax;
        }
        const uint64_t t = TruncateX87(y);
        const unsigned __int128 big = (unsigned __int128)uint64_t(x) << (-2 * s);
        const unsigned __int128 t2 = (unsigned __int128)t * t + t;
        const uint64_t r = t + (big > t2 ? 1 : 0);
        return r > uint64_t(kMax) ? kMax : int64_t(r);
    }

    static uint32_t I64Scaled(const int64_t* src, int64_t* dst, int32_t len, int32_t s)
    {
        // The roots need at least a 53-bit significand, and the full 64 bits once the scaled
        // root passes 2^53; only the precision field changes, and only for the call.
        const uint16_t saved = X87Control();
        uint16_t word = saved;
        if (s >= -21)
        {
            word = uint16_t(saved | 0x200);
        }
        else if (s >= -62)
        {
            word = uint16_t(saved | 0x300);
        }
        if (word != saved)
        {
            SetX87Control(word);
        }
        const long double factor = s < 0 && s > -63 ? __builtin_ldexpl(1.0L, -s) : 1.0L;
        uint32_t flag = 0;
        for (int64_t i = 0; i < int64_t(len); ++i)
        {
            const int64_t x = src[i];
            flag |= x < 0 ? 1u : 0u;
            dst[i] = I64One(x, s, factor);
        }
        if (word != saved)
        {
            SetX87Control(saved);
        }
        return flag;
    }

    // ---- complex 16-bit without a scale ------------------------------------------------------

    // The refined root of v in single precision (0.5 stands in for a zero in the estimate only,
    // so a zero v still gives 0).
    static __m128 RefinedRoot(__m128 v)
    {
        const __m128 zero = _mm_cmpeq_ps(v, _mm_setzero_ps());
        const __m128 y = _mm_rsqrt_ps(_mm_or_ps(_mm_andnot_ps(zero, v), _mm_and_ps(zero, _mm_set1_ps(0.5f))));
        const __m128 t = _mm_mul_ps(v, y);
        const __m128 u = _mm_mul_ps(y, t);
        return _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(0.5f), t), _mm_sub_ps(_mm_set1_ps(3.0f), u));
    }

    // Four complex 16-bit elements to their roots; the kernel calls it by its level's name
    // (SpSqrtQuadIc16_L<n>), given as `Quad`.
    static __m128i QuadIc16(__m128i z)
    {
        const __m128i one = _mm_set1_epi32(1);
        __m128i n = _mm_madd_epi16(z, z);
        n = _mm_xor_si128(n, _mm_srai_epi32(n, 31)); // (-32768, -32768) wraps; take 2^31 - 1
        // |z| rounded: the refined root with 0.5 standing in for a zero through the whole step.
        const __m128 fn = _mm_cvtepi32_ps(n);
        const __m128 zeroLanes = _mm_cmpeq_ps(fn, _mm_setzero_ps());
        const __m128 v = _mm_or_ps(_mm_andnot_ps(zeroLanes, fn), _mm_and_ps(zeroLanes, _mm_set1_ps(0.5f)));
        const __m128 y = _mm_rsqrt_ps(v);
        const __m128 t = _mm_mul_ps(v, y);
        const __m128 u = _mm_mul_ps(y, t);
        const __m128i m =
            _mm_cvttps_epi32(_mm_mul_ps(_mm_mul_ps(_mm_set1_ps(0.5f), t), _mm_sub_ps(_mm_set1_ps(3.0f), u)));
        const __m128i m2 = _mm_add_epi32(_mm_mullo_epi16(m, m), _mm_slli_epi32(_mm_mulhi_epu16(m, m), 16));
        const __m128i mag = _mm_sub_epi32(m, _mm_cmpgt_epi32(n, _mm_add_epi32(m2, m)));
        const __m128i re = _mm_srai_epi32(_mm_slli_epi32(z, 16), 16);
        const __m128i p = _mm_add_epi32(mag, re);
        const __m128i d = _mm_sub_epi32(mag, re);
        const __m128i p2 = _mm_add_epi32(_mm_srli_epi32(p, 1), _mm_and_si128(p, one));
        const __m128i d2 = _mm_add_epi32(_mm_srli_epi32(d, 1), _mm_and_si128(d, one));
        const __m128i realPart = _mm_cvtps_epi32(RefinedRoot(_mm_cvtepi32_ps(p2)));
        __m128i imagPart = _mm_cvtps_epi32(RefinedRoot(_mm_cvtepi32_ps(d2)));
        const __m128i negative = _mm_srai_epi32(z, 31);
        imagPart = _mm_sub_epi32(_mm_xor_si128(imagPart, negative), negative);
        return _mm_packs_epi32(_mm_unpacklo_epi32(realPart, imagPart),
                               _mm_unpackhi_epi32(realPart, imagPart));
    }

    template <__m128i (*Quad)(__m128i)> static void Ic16(const SpIc16* src, SpIc16* dst, int32_t len)
    {
        const int64_t n = len;
        int64_t i = 0;
        auto partial = [&](int64_t count)
        {
            SpIc16 in[4] = {};
            memcpy(in, src + i, 4 * size_t(count));
            SpIc16 out[4];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Quad(Load(in)));
            memcpy(dst + i, out, 4 * size_t(count));
            i += count;
        };
        const uintptr_t head = Address(dst) & 12;
        if (head != 0)
        {
            const int64_t h = int64_t(4 - head / 4);
            partial(h < n ? h : n);
        }
        const bool aligned = (Address(dst + i) & 15) == 0;
        for (; n - i >= 4; i += 4)
        {
            const __m128i r = Quad(Load(src + i));
            aligned ? _mm_store_si128(reinterpret_cast<__m128i*>(dst + i), r)
                    : _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), r);
        }
        if (i < n)
        {
            partial(n - i);
        }
    }

    // ---- complex 16-bit with a scale, in double precision ------------------------------------

    // 2^(-2s-1) assembled in the exponent field: ((511 - s) mod 2048) 2^53, for -512 <= s <= 510.
    static double HalfScale(int32_t s)
    {
        const uint64_t bits = (uint64_t(511 - int64_t(s)) & 2047u) << 53;
        double f;
        memcpy(&f, &bits, sizeof(f));
        return f;
    }

    // Rounds in the caller's mode after a clamp to the 32-bit range, so a huge part saturates
    // instead of turning into the conversion's "indefinite" -2^31.
    static int32_t Round32(double v)
    {
        v = v > 2147483647.0 ? 2147483647.0 : (v < -2147483648.0 ? -2147483648.0 : v);
        return _mm_cvtsd_si32(_mm_set_sd(v));
    }

    static int16_t Saturate16(int32_t v) { return int16_t(v > 32767 ? 32767 : (v < -32768 ? -32768 : v)); }

    static double Modulus(SpIc16 z)
    {
        // (-32768, -32768) wraps to -2^31, which the absolute value below turns back into 2^31.
        const uint32_t sum = uint32_t(int32_t(z.re) * z.re) + uint32_t(int32_t(z.im) * z.im);
        int32_t n;
        memcpy(&n, &sum, sizeof(n));
        double m = double(n);
        m = m < 0 ? -m : m;
        return __builtin_sqrt(m);
    }

    static SpIc16 Ic16ScaledOne(SpIc16 z, double f, bool stable)
    {
        const double a = Modulus(z);
        const double re = z.re;
        int32_t p, q;
        if (!stable)
        {
            p = Round32(__builtin_sqrt((a + re) * f));
            q = Round32(__builtin_sqrt((a - re) * f));
            q = z.im < 0 ? -q : q; // q >= 0, so -q never wraps
        }
        else
        {
            const double absRe = re < 0 ? -re : re;
            const double absIm = z.im < 0 ? -double(z.im) : double(z.im);
            const double t = __builtin_sqrt((a + absRe) * f);
            const double d = t == 0 ? f : t;
            const double u = (absIm * f) / d;
            double pd = re >= 0 ? t : u;
            double qd = re >= 0 ? u : t;
            pd = pd < 2147483647.0 ? pd : 2147483647.0;
            qd = z.im < 0 ? -qd : qd;
            p = Round32(pd);
            q = Round32(qd);
        }
        return SpIc16{Saturate16(p), Saturate16(q)};
    }

    static void Ic16Scaled(const SpIc16* src, SpIc16* dst, int32_t len, int32_t s, bool stable)
    {
        const double f = HalfScale(s);
        for (int64_t i = 0; i < int64_t(len); ++i)
        {
            dst[i] = Ic16ScaledOne(src[i], f, stable);
        }
    }

    // ---- byte table ------------------------------------------------------------------------

    static void TableU8(const uint8_t* src, uint8_t* dst, int32_t len, const uint8_t* table)
    {
        for (int64_t i = 0; i < int64_t(len); ++i)
        {
            dst[i] = table[src[i]];
        }
    }
};

// ---- signed 32-bit to 16-bit: one eight-element step per sign of the scale factor ------------

using SpSqrtI32Step = __m128i (*)(__m128i a, __m128i b, const SpSqrtInt::I32Scale& c, __m128i* record);

__m128i SP_LN(SpSqrtOctI32ToI16Scale0)(__m128i a, __m128i b, const SpSqrtInt::I32Scale& c, __m128i* record)
{
    *record = _mm_or_si128(*record, _mm_or_si128(a, b));
    return _mm_packs_epi32(SpSqrtInt::I32LanesScale0(a, c), SpSqrtInt::I32LanesScale0(b, c));
}

__m128i SP_LN(SpSqrtOctI32ToI16ScaleDown)(__m128i a, __m128i b, const SpSqrtInt::I32Scale& c, __m128i* record)
{
    *record = _mm_or_si128(*record, _mm_or_si128(a, b));
    return _mm_packs_epi32(SpSqrtInt::I32LanesScaleDown(a, c), SpSqrtInt::I32LanesScaleDown(b, c));
}

__m128i SP_LN(SpSqrtOctI32ToI16ScaleUp)(__m128i a, __m128i b, const SpSqrtInt::I32Scale& c, __m128i* record)
{
    *record = _mm_or_si128(*record, _mm_or_si128(a, b));
    return _mm_packs_epi32(SpSqrtInt::I32LanesScaleUp(a, c), SpSqrtInt::I32LanesScaleUp(b, c));
}

// From s = 17 up every root is below one half: only the negative record is gathered.
__m128i SpSqrtOctI32ToI16Zero(__m128i a, __m128i b, const SpSqrtInt::I32Scale&, __m128i* record)
{
    *record = _mm_or_si128(*record, _mm_or_si128(a, b));
    return _mm_setzero_si128();
}

uint32_t SpSqrtI32ToI16Scaled(const int32_t* src, int16_t* dst, int64_t n, int32_t s)
{
    __m128i record = _mm_setzero_si128();
    const SpSqrtInt::I32Scale c = SpSqrtInt::MakeI32Scale(s);
    const SpSqrtI32Step step = s == 0   ? SP_LN(SpSqrtOctI32ToI16Scale0)
                               : s < 0  ? SP_LN(SpSqrtOctI32ToI16ScaleUp)
                               : s < 17 ? SP_LN(SpSqrtOctI32ToI16ScaleDown)
                                        : SpSqrtOctI32ToI16Zero;
    SpSqrtInt::Walk16(src, dst, n,
                      [&](const int32_t* p)
                      { return step(SpSqrtInt::Load(p), SpSqrtInt::Load(p + 4), c, &record); });
    return uint32_t(_mm_movemask_epi8(record)) & 0x8888u;
}

// ---- signed 64-bit to 16-bit: four eight-element steps, chosen once per call -----------------

struct SpSqrtI64Scale
{
    int32_t s;
    int64_t n;     // 2|s| for s < 0
    int64_t cap;   // the clamp before the estimate: B, or B >> n for s = -1 to -8
    int64_t limit; // s <= -9: the largest element whose shifted value stays at or below B
};

constexpr int64_t kSpSqrtI64Bound = 1073676288; // 32767^2 - 1: from here up every root rounds to 32767

using SpSqrtI64Step = __m128i (*)(const int64_t* p, const SpSqrtI64Scale& c, uint32_t* flag);

// The front of the s <= 0 steps: each element clamped from above, negative ones recorded and
// raised to 0, then shifted as the scale asks, and the estimate corrected on the 32-bit values.
template <class Shift>
__m128i SpSqrtI64Up(const int64_t* p, const SpSqrtI64Scale& c, uint32_t* flag, const Shift& shift)
{
    int32_t v[8];
    for (int32_t k = 0; k < 8; ++k)
    {
        int64_t x;
        memcpy(&x, p + k, 8);
        x = x < c.cap ? x : c.cap;
        if (x < 0)
        {
            *flag = 1;
            x = 0;
        }
        v[k] = int32_t(shift(x));
    }
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 4));
    return _mm_packs_epi32(SpSqrtInt::CorrectUp(a, SpSqrtInt::Estimate(a, half, false)),
                           SpSqrtInt::CorrectUp(b, SpSqrtInt::Estimate(b, half, false)));
}

__m128i SP_LN(SpSqrtOctI64ToI16Scale0)(const int64_t* p, const SpSqrtI64Scale& c, uint32_t* flag)
{
    return SpSqrtI64Up(p, c, flag, [](int64_t x) { return x; });
}

__m128i SP_LN(SpSqrtOctI64ToI16ScaleUp)(const int64_t* p, const SpSqrtI64Scale& c, uint32_t* flag)
{
    return SpSqrtI64Up(p, c, flag, [&](int64_t x) { return x << c.n; });
}

// s <= -9: an element above the limit takes B itself (its shifted value would pass B); from
// n = 32 on only 0 is left below the limit.
__m128i SP_LN(SpSqrtOctI64ToI16ScaleUpFar)(const int64_t* p, const SpSqrtI64Scale& c, uint32_t* flag)
{
    return SpSqrtI64Up(p, c, flag,
                       [&](int64_t x) { return x > c.limit ? kSpSqrtI64Bound : (c.n >= 32 ? 0 : x << c.n); });
}

// s = 1 to 32: the estimate on the element shifted right by 2s (limited to 2^31 - 1), the
// rounding decided on the whole element: x + (q & 1) > ((2q + 1) 2^(s-1))^2.
__m128i SP_LN(SpSqrtOctI64ToI16ScaleDown)(const int64_t* p, const SpSqrtI64Scale& c, uint32_t* flag)
{
    int32_t v[8];
    uint64_t xp[8];
    for (int32_t k = 0; k < 8; ++k)
    {
        int64_t x;
        memcpy(&x, p + k, 8);
        *flag |= x < 0 ? 1u : 0u;
        xp[k] = x < 0 ? 0 : uint64_t(x);
        const uint64_t shifted = 2 * c.s >= 64 ? 0 : xp[k] >> (2 * c.s);
        v[k] = shifted >= 0x80000000ull ? 2147483647 : int32_t(shifted);
    }
    const __m128 half = _mm_set1_ps(0.5f);
    int32_t q[8];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q),
                     SpSqrtInt::Estimate(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)), half, true));
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(q + 4),
        SpSqrtInt::Estimate(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 4)), half, true));
    for (int32_t k = 0; k < 8; ++k)
    {
        const unsigned __int128 odd = 2 * uint64_t(q[k]) + 1;
        const unsigned __int128 mid = (odd << (2 * c.s - 2)) * odd;
        const unsigned __int128 lhs = (unsigned __int128)xp[k] + (uint64_t(q[k]) & 1);
        v[k] = q[k] + (lhs > mid ? 1 : 0);
    }
    return _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 4)));
}

// From s = 33 up every root is below one half: only negative elements are recorded.
__m128i SpSqrtOctI64ToI16Zero(const int64_t* p, const SpSqrtI64Scale&, uint32_t* flag)
{
    for (int32_t k = 0; k < 8; ++k)
    {
        int64_t x;
        memcpy(&x, p + k, 8);
        *flag |= x < 0 ? 1u : 0u;
    }
    return _mm_setzero_si128();
}

uint32_t SpSqrtI64ToI16Scaled(const int64_t* src, int16_t* dst, int64_t len, int32_t s)
{
    SpSqrtI64Scale c;
    c.s = s;
    c.n = s < 0 ? -int64_t(s) * 2 : 0;
    c.cap = s < 0 && s >= -8 ? (kSpSqrtI64Bound >> c.n) : kSpSqrtI64Bound;
    c.limit = c.n < 32 ? (kSpSqrtI64Bound >> c.n) : 0;
    const SpSqrtI64Step step = s == 0    ? SP_LN(SpSqrtOctI64ToI16Scale0)
                               : s >= 33 ? SpSqrtOctI64ToI16Zero
                               : s > 0   ? SP_LN(SpSqrtOctI64ToI16ScaleDown)
                               : s >= -8 ? SP_LN(SpSqrtOctI64ToI16ScaleUp)
                                         : SP_LN(SpSqrtOctI64ToI16ScaleUpFar);
    uint32_t flag = 0;
    SpSqrtInt::Walk16(src, dst, len, [&](const int64_t* p) { return step(p, c, &flag); });
    return flag;
}

// ---- signed 16-bit: one eight-lane step per range of the scale factor, chosen once per call ----

// What the steps read of the scale, prepared by the kernel.
struct SpSqrtI16Scale
{
    int32_t s;
    __m128i shift; // 2|s| for s < 0
    __m128i clamp; // s = -9 to -15: from here up every element saturates, and X stays below 2^31
    __m128 down;   // 4^-s for s = 2 to 8
};

using SpSqrtI16Step = __m128i (*)(__m128i x, const SpSqrtI16Scale& c, __m128i* record);

// The front of every step: the raw inputs into the negative record, x+ = max(x, 0) widened to
// two vectors of 32-bit lanes.
void SpSqrtI16Front(__m128i x, __m128i* record, __m128i half[2])
{
    *record = _mm_or_si128(*record, x);
    const __m128i xp = _mm_max_epi16(x, _mm_setzero_si128());
    half[0] = _mm_unpacklo_epi16(xp, _mm_setzero_si128());
    half[1] = _mm_unpackhi_epi16(xp, _mm_setzero_si128());
}

// Roots of X = x+ 4^|s| (s <= 0), by the bare estimate or with one Newton step, then q + 1
// where X - q > q^2.
template <bool kNewton> __m128i SpSqrtI16Up(__m128i x, const SpSqrtI16Scale& c, __m128i* record)
{
    __m128i h[2];
    SpSqrtI16Front(x, record, h);
    for (__m128i& v : h)
    {
        const __m128i big = _mm_sll_epi32(v, c.shift);
        v = SpSqrtInt::CorrectUp(big, _mm_cvttps_epi32(SpSqrtInt::Root(_mm_cvtepi32_ps(big), kNewton)));
    }
    return _mm_packs_epi32(h[0], h[1]);
}

__m128i SP_LN(SpSqrtOctI16Scale0)(__m128i x, const SpSqrtI16Scale& c, __m128i* record)
{
    return SpSqrtI16Up<false>(x, c, record);
}

// The candidate for sqrt(x) halved, then the midpoint test (an exact half to even).
__m128i SP_LN(SpSqrtOctI16Scale1)(__m128i x, const SpSqrtI16Scale&, __m128i* record)
{
    __m128i h[2];
    SpSqrtI16Front(x, record, h);
    for (__m128i& v : h)
    {
        const __m128i q0 = _mm_cvttps_epi32(SpSqrtInt::Root(_mm_cvtepi32_ps(v), false));
        v = SpSqrtInt::CorrectDown(v, _mm_srli_epi32(q0, 1), 1);
    }
    return _mm_packs_epi32(h[0], h[1]);
}

// s = 2 to 8: the estimate of x+ 4^-s is already the scaled root; the midpoint test rounds it.
__m128i SP_LN(SpSqrtOctI16ScaleDown)(__m128i x, const SpSqrtI16Scale& c, __m128i* record)
{
    __m128i h[2];
    SpSqrtI16Front(x, record, h);
    for (__m128i& v : h)
    {
        const __m128i q = _mm_cvttps_epi32(SpSqrtInt::Root(_mm_mul_ps(_mm_cvtepi32_ps(v), c.down), false));
        v = SpSqrtInt::CorrectDown(v, q, c.s);
    }
    return _mm_packs_epi32(h[0], h[1]);
}

// s = -1 and -2: roots up to 1024, within what the bare estimate resolves.
__m128i SP_LN(SpSqrtOctI16ScaleUp)(__m128i x, const SpSqrtI16Scale& c, __m128i* record)
{
    return SpSqrtI16Up<false>(x, c, record);
}

// s = -3 to -8: roots beyond 1365 (from 29,113 up at s = -3), where the bare estimate can miss
// by more than one half, take one Newton step first.
__m128i SP_LN(SpSqrtOctI16Newton)(__m128i x, const SpSqrtI16Scale& c, __m128i* record)
{
    return SpSqrtI16Up<true>(x, c, record);
}

// s = -9 to -15: inputs clamped first (every one at or above the clamp saturates anyway).
__m128i SP_LN(SpSqrtOctI16ClampNewton)(__m128i x, const SpSqrtI16Scale& c, __m128i* record)
{
    return SpSqrtI16Up<true>(_mm_min_epi16(x, c.clamp), c, record);
}

// 1 to 7 elements: the spare lanes repeat real elements (no spurious zero lane or sign), and
// only `count` results are stored.
void SP_LN(SpSqrtPartialI16)(int64_t count, const int16_t* src, int16_t* dst, SpSqrtI16Step step,
                             const SpSqrtI16Scale& c, __m128i* record)
{
    int16_t in[8], out[8];
    memcpy(in, src, 2 * size_t(count));
    for (int64_t k = count; k < 8; ++k)
    {
        in[k] = in[count >= 4 ? k % 4 : (count >= 2 ? k % 2 : 0)];
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), step(SpSqrtInt::Load(in), c, record));
    memcpy(dst, out, 2 * size_t(count));
}

uint32_t SpSqrtI16Scaled(const int16_t* src, int16_t* dst, int64_t n, int32_t s)
{
    __m128i record = _mm_setzero_si128();
    SpSqrtI16Scale c;
    c.s = s;
    c.shift = _mm_cvtsi32_si128(s < 0 && s > -16 ? -2 * s : 0);
    c.clamp = _mm_set1_epi16(s <= -9 && s >= -15 ? int16_t(65535 >> (-2 * s - 15)) : int16_t(32767));
    c.down = _mm_set1_ps(s >= 2 && s <= 8 ? 1.0f / float(1 << (2 * s)) : 1.0f);
    SpSqrtI16Step step = nullptr;
    if (s == 0)
    {
        step = SP_LN(SpSqrtOctI16Scale0);
    }
    else if (s == 1)
    {
        step = SP_LN(SpSqrtOctI16Scale1);
    }
    else if (s >= 2 && s <= 8)
    {
        step = SP_LN(SpSqrtOctI16ScaleDown);
    }
    else if (s == -1 || s == -2)
    {
        step = SP_LN(SpSqrtOctI16ScaleUp);
    }
    else if (s <= -3 && s >= -8)
    {
        step = SP_LN(SpSqrtOctI16Newton);
    }
    else if (s <= -9 && s >= -15)
    {
        step = SP_LN(SpSqrtOctI16ClampNewton);
    }
    if (step == nullptr)
    {
        // Constant results: 0 from s = 9 up; from s = -16 down 32767 for every element above 0.
        for (int64_t i = 0; i < n; ++i)
        {
            int16_t x;
            memcpy(&x, src + i, 2);
            record = _mm_or_si128(record, _mm_cvtsi32_si128(x));
            x = s > 0 ? 0 : (x > 0 ? 32767 : 0);
            memcpy(dst + i, &x, 2);
        }
        return uint32_t(_mm_movemask_epi8(record)) & 0xAAAAu;
    }
    int64_t i = 0;
    const uintptr_t head = SpSqrtInt::Address(dst) & 14;
    if (head != 0)
    {
        const int64_t h = int64_t(8 - head / 2) < n ? int64_t(8 - head / 2) : n;
        SP_LN(SpSqrtPartialI16)(h, src, dst, step, c, &record);
        i = h;
    }
    const bool aligned = (SpSqrtInt::Address(dst + i) & 15) == 0;
    for (; n - i >= 8; i += 8)
    {
        const __m128i r = step(SpSqrtInt::Load(src + i), c, &record);
        aligned ? _mm_store_si128(reinterpret_cast<__m128i*>(dst + i), r)
                : _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), r);
    }
    if (i < n)
    {
        SP_LN(SpSqrtPartialI16)(n - i, src + i, dst + i, step, c, &record);
    }
    return uint32_t(_mm_movemask_epi8(record)) & 0xAAAAu;
}

} // namespace

uint32_t SP_LN(SpSqrtKernelI16Scaled)(const int16_t* src, int16_t* dst, int32_t len, int32_t s)
{
    if (len < 1)
    {
        return 0;
    }
    return SpSqrtI16Scaled(src, dst, len, s);
}

void SP_LN(SpSqrtKernelU16Scaled)(const uint16_t* src, uint16_t* dst, int32_t len, int32_t s)
{
    if (len < 1)
    {
        return;
    }
    SpSqrtInt::U16Scaled(src, dst, len, s);
}

// The four-element step of the complex 16-bit root under its level's name; the kernel calls it
// by that name (and inlines it).
__m128i SP_LN(SpSqrtQuadIc16)(__m128i z)
{
    return SpSqrtInt::QuadIc16(z);
}

void SP_LN(SpSqrtKernelIc16)(const SpIc16* src, SpIc16* dst, int32_t len)
{
    if (len < 1)
    {
        return;
    }
    SpSqrtInt::Ic16<SP_LN(SpSqrtQuadIc16)>(src, dst, len);
}

void SP_LN(SpSqrtKernelIc16Scaled)(const SpIc16* src, SpIc16* dst, int32_t len, int32_t s)
{
    if (len < 1)
    {
        return;
    }
    SpSqrtInt::Ic16Scaled(src, dst, len, s, false);
}

void SP_LN(SpSqrtKernelIc16ScaledStable)(const SpIc16* src, SpIc16* dst, int32_t len, int32_t s)
{
    if (len < 1)
    {
        return;
    }
    SpSqrtInt::Ic16Scaled(src, dst, len, s, true);
}

uint32_t SP_LN(SpSqrtKernelI32ToI16Scaled)(const int32_t* src, int16_t* dst, int32_t len, int32_t s)
{
    if (len < 1)
    {
        return 0;
    }
    return SpSqrtI32ToI16Scaled(src, dst, len, s);
}

uint32_t SP_LN(SpSqrtKernelI64ToI16Scaled)(const int64_t* src, int16_t* dst, int32_t len, int32_t s)
{
    if (len < 1)
    {
        return 0;
    }
    return SpSqrtI64ToI16Scaled(src, dst, len, s);
}

uint32_t SP_LN(SpSqrtKernelI64Scaled)(const int64_t* src, int64_t* dst, int32_t len, int32_t s)
{
    if (len < 1)
    {
        return 0;
    }
    return SpSqrtInt::I64Scaled(src, dst, len, s);
}

void SP_LN(SpTableLookupKernelU8)(const uint8_t* src, uint8_t* dst, int32_t len, const uint8_t* table)
{
    if (len < 1)
    {
        return;
    }
    SpSqrtInt::TableU8(src, dst, len, table);
}
