// Summation and dot-product kernels for the element types beside float, written once and
// instantiated by each level's build file (the dot products by level 1 only). Floating sums keep
// several partial sums in a fixed order; integer sums and 16-bit dot products are exact: pairwise
// multiply-adds into 32-bit lanes, widened to 64 bits once per vector. A lane of two products of
// -32768 * -32768 wraps to -2^31, so every lane has 1 taken off before it is widened (mapping the
// wrap to 2^31 - 1 and moving every other value by one) and the count of those ones is added back.
#pragma once

#include <emmintrin.h>
#include <pmmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/vectors/sp_sum_dot_levels.h"
#include "driver/primitives/vectors/sp_sum_levels-inl.h"

template <class P> struct SpSumTypeKernels
{
    using Float = SpSumKernels<P>;

    static uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

    template <typename T> static T Get(const T* p)
    {
        T v;
        memcpy(&v, p, sizeof(v));
        return v;
    }

    static __m128d Swap(__m128d v) { return _mm_shuffle_pd(v, v, 1); }

    // The fast float path over 2 len floats: a peeled float goes to lane 0 and the lanes swap, so
    // after the peel lane 0 follows the floats at even block positions; the lanes swap back once
    // at the end when an odd count was peeled.
    static void FastFc32(const float* src, int32_t len, double* pSum)
    {
        const bool aligned = (Address(src) & 3) == 0;
        int64_t n = 2 * int64_t(len);
        __m128d d = _mm_setzero_pd();
        bool odd = false;
        for (; n > 0 && (Address(src) & 12) != 0; --n)
        {
            d = Swap(_mm_add_sd(d, _mm_set_sd(double(Get(src++)))));
            odd = !odd;
        }
        float p[2];
        while (n > 0)
        {
            const int32_t count = n > Float::kFastBlock ? Float::kFastBlock : int32_t(n);
            aligned ? Float::template Block<true>(src, count, p, p + 1)
                    : Float::template Block<false>(src, count, p, p + 1);
            d = _mm_add_pd(d, _mm_set_pd(double(p[1]), double(p[0])));
            n -= count;
        }
        _mm_storeu_pd(pSum, odd ? Swap(d) : d);
    }

    static __m128d Widen(const float* p)
    {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }

    static void AccurateFc32(const float* src, int32_t len, double* pSum)
    {
        __m128d z0 = _mm_setzero_pd(), z1 = z0, z2 = z0, z3 = z0;
        int64_t n = len;
        for (; n >= 4; n -= 4, src += 8)
        {
            z0 = _mm_add_pd(z0, Widen(src));
            z1 = _mm_add_pd(z1, Widen(src + 2));
            z2 = _mm_add_pd(z2, Widen(src + 4));
            z3 = _mm_add_pd(z3, Widen(src + 6));
        }
        z0 = _mm_add_pd(z0, z2);
        z1 = _mm_add_pd(z1, z3);
        if (n >= 2)
        {
            z0 = _mm_add_pd(z0, Widen(src));
            z1 = _mm_add_pd(z1, Widen(src + 2));
            src += 4;
            n -= 2;
        }
        if (n == 1)
        {
            z0 = _mm_add_pd(z0, Widen(src));
        }
        _mm_storeu_pd(pSum, _mm_add_pd(z0, z1));
    }

    static __m128d LoadPd(const double* p, bool aligned)
    {
        return aligned ? _mm_load_pd(p) : _mm_loadu_pd(p);
    }

    static void SumF64(const double* src, int32_t len, double* pSum)
    {
        __m128d a0 = _mm_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
        int64_t n = len;
        if ((Address(src) & 8) != 0)
        {
            a0 = _mm_set_sd(Get(src++));
            --n;
        }
        const bool aligned = (Address(src) & 15) == 0;
        for (; n >= 8; n -= 8, src += 8)
        {
            a0 = _mm_add_pd(a0, LoadPd(src, aligned));
            a1 = _mm_add_pd(a1, LoadPd(src + 2, aligned));
            a2 = _mm_add_pd(a2, LoadPd(src + 4, aligned));
            a3 = _mm_add_pd(a3, LoadPd(src + 6, aligned));
        }
        a0 = _mm_add_pd(_mm_add_pd(a0, a1), _mm_add_pd(a2, a3));
        for (; n >= 2; n -= 2, src += 2)
        {
            a0 = _mm_add_pd(a0, _mm_loadu_pd(src));
        }
        if (n == 1)
        {
            a0 = _mm_add_sd(a0, _mm_set_sd(Get(src)));
        }
        *pSum = _mm_cvtsd_f64(_mm_unpackhi_pd(a0, a0)) + _mm_cvtsd_f64(a0);
    }

    // A vector on an odd 8-byte boundary is read shifted by one part: its pairs hold an imaginary
    // part and the next real part, so the lanes come out swapped.
    static void SumFc64(const double* src, int32_t len, double* pSum)
    {
        __m128d z0 = _mm_setzero_pd(), z1 = z0, z2 = z0, z3 = z0;
        int64_t n = len;
        const bool shifted = (Address(src) & 15) == 8;
        const double* last = src + 2 * (n - 1) + 1;
        if (shifted)
        {
            z0 = _mm_set_pd(Get(src), 0.0);
            ++src;
            --n;
        }
        if ((Address(src) & 15) == 0)
        {
            for (; n >= 4; n -= 4, src += 8)
            {
                z0 = _mm_add_pd(z0, _mm_load_pd(src));
                z1 = _mm_add_pd(z1, _mm_load_pd(src + 2));
                z2 = _mm_add_pd(z2, _mm_load_pd(src + 4));
                z3 = _mm_add_pd(z3, _mm_load_pd(src + 6));
            }
            z0 = _mm_add_pd(_mm_add_pd(z0, z2), _mm_add_pd(z1, z3));
        }
        for (; n >= 1; --n, src += 2)
        {
            z0 = _mm_add_pd(z0, _mm_loadu_pd(src));
        }
        if (shifted)
        {
            z0 = Swap(_mm_add_sd(z0, _mm_set_sd(Get(last))));
        }
        _mm_storeu_pd(pSum, z0);
    }

    // Exact integer sums: 32-bit lanes for at most 65,536 elements, then double.
    static void SumI16(const int16_t* src, double* pSum, int32_t len)
    {
        int64_t n = len;
        int32_t head = 0;
        for (; n > 0 && (Address(src) & 14) != 0; --n)
        {
            head += Get(src++);
        }
        double d0 = head, d1 = 0.0;
        const __m128i ones = _mm_set1_epi16(1);
        while (n > 0)
        {
            const int64_t count = n > 65536 ? 65536 : n;
            __m128i e = _mm_setzero_si128();
            int64_t k = 0;
            for (; k + 8 <= count; k += 8)
            {
                e = _mm_add_epi32(
                    e, _mm_madd_epi16(_mm_lddqu_si128(reinterpret_cast<const __m128i*>(src + k)), ones));
            }
            int32_t lanes[4];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), e);
            for (; k < count; ++k)
            {
                lanes[0] += Get(src + k);
            }
            d0 += double(lanes[0] + lanes[2]);
            d1 += double(lanes[1] + lanes[3]);
            src += count;
            n -= count;
        }
        *pSum = d1 + d0;
    }

    static void SumIc16(const SpIc16* src, double* pSum, int32_t len)
    {
        int64_t n = len;
        double re = 0.0, im = 0.0;
        const __m128i ones = _mm_set1_epi16(1);
        while (n > 0)
        {
            const int64_t count = n > 65536 ? 65536 : n;
            __m128i e = _mm_setzero_si128();
            int64_t k = 0;
            for (; k + 4 <= count; k += 4)
            {
                // (r0 i0 r1 i1 r2 i2 r3 i3) to (r0 r1 i0 i1 r2 r3 i2 i3): the multiply-add pairs like parts.
                __m128i v = _mm_lddqu_si128(reinterpret_cast<const __m128i*>(src + k));
                v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 1, 2, 0));
                v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(3, 1, 2, 0));
                e = _mm_add_epi32(e, _mm_madd_epi16(v, ones));
            }
            int32_t lanes[4];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), e);
            for (; k < count; ++k)
            {
                const SpIc16 z = Get(src + k);
                lanes[0] += z.re;
                lanes[1] += z.im;
            }
            re += double(lanes[0] + lanes[2]);
            im += double(lanes[1] + lanes[3]);
            src += count;
            n -= count;
        }
        pSum[0] = re;
        pSum[1] = im;
    }

    // 2^-s built in the exponent field (0 from s = 1023, +infinity from s = -1024), then clamped
    // from above and below (a NaN passes both and converts to -2^31) and rounded in the caller's mode.
    static int32_t RoundScaled(double v, int32_t s)
    {
        const int64_t e = 1023 - int64_t(s);
        const uint64_t bits = uint64_t(e < 0 ? 0 : (e > 2047 ? 2047 : e)) << 52;
        double factor;
        memcpy(&factor, &bits, sizeof(factor));
        __m128d x = _mm_mul_sd(_mm_set_sd(v), _mm_set_sd(factor));
        x = _mm_min_sd(_mm_set_sd(2147483647.0), x);
        x = _mm_max_sd(_mm_set_sd(-2147483648.0), x);
        return _mm_cvtsd_si32(x);
    }
};

namespace
{

// The dot products of level 1 beside its float kernel (file-local: only level 1 builds them).
struct SpDotTypeKernels
{
    // Forces round-to-nearest for the scaled kernels' own work; the caller's word comes back.
    struct NearestScope
    {
        uint32_t saved = _mm_getcsr();
        bool changed = (saved & 0x6000u) != 0;
        NearestScope()
        {
            if (changed)
            {
                _mm_setcsr(saved & ~0x6000u);
            }
        }
        ~NearestScope()
        {
            if (changed)
            {
                _mm_setcsr(saved);
            }
        }
    };

    template <typename T> static T Get(const T* p)
    {
        T v;
        memcpy(&v, p, sizeof(v));
        return v;
    }

    static int32_t Saturate(double v, double scale)
    {
        v *= scale;
        if (v > 2147483647.0)
        {
            return 2147483647;
        }
        if (!(v >= -2147483648.0))
        {
            return -2147483647 - 1;
        }
        return _mm_cvtsd_si32(_mm_set_sd(v));
    }

    static uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

    // Two floats (one complex float) into lanes 0 and 1, lanes 2 and 3 zero; any alignment.
    static __m128 LoadPair(const float* p)
    {
        return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }

    // Real a times complex b: a[i] twice against (re, im) of b[i], two elements per vector, in
    // two four-lane accumulators; folded as lanes 0 + 2 and 1 + 3. A peeled or left-over element
    // goes alone into lanes 0 and 1 of the first accumulator (zeros into its upper lanes, so an
    // infinite a never meets a 0 there).
    static void F32Fc32(const float* a, const float* b, int32_t n, float* pDp)
    {
        __m128 acc[2] = {_mm_setzero_ps(), _mm_setzero_ps()};
        auto one = [&](int64_t at)
        {
            float x;
            memcpy(&x, a + at, sizeof(x));
            acc[0] = _mm_add_ps(acc[0], _mm_mul_ps(_mm_set_ps(0.0f, 0.0f, x, x), LoadPair(b + 2 * at)));
        };
        int64_t i = 0;
        const bool peel = (Address(b) & 15) == 8;
        if (peel)
        {
            one(0);
            i = 1;
        }
        const bool bAligned = (Address(b + 2 * i) & 15) == 0;
        auto pairOf = [&](int64_t at) // (a, a, a', a') for elements at and at + 1
        {
            const __m128 x = LoadPair(a + at);
            return _mm_unpacklo_ps(x, x);
        };
        if (bAligned && (!peel || (Address(a) & 3) == 0))
        {
            for (; n - i >= 12; i += 12)
            {
                for (int32_t k = 0; k < 6; ++k)
                {
                    acc[k & 1] = _mm_add_ps(acc[k & 1],
                                            _mm_mul_ps(pairOf(i + 2 * k), _mm_load_ps(b + 2 * (i + 2 * k))));
                }
            }
        }
        else
        {
            for (; n - i >= 6; i += 6)
            {
                for (int32_t k = 0; k < 3; ++k)
                {
                    acc[k & 1] = _mm_add_ps(acc[k & 1],
                                            _mm_mul_ps(pairOf(i + 2 * k), _mm_loadu_ps(b + 2 * (i + 2 * k))));
                }
            }
        }
        for (; i < n; ++i)
        {
            one(i);
        }
        float lanes[4];
        _mm_storeu_ps(lanes, _mm_add_ps(acc[0], acc[1]));
        pDp[0] = lanes[0] + lanes[2];
        pDp[1] = lanes[1] + lanes[3];
    }

    // Complex a times complex b: R collects a.re * b and I collects a.im * b, two elements per
    // vector (a round of four while eight remain, then pairs, then one element in lanes 0 and 1).
    // When neither source is 16-byte aligned, one element is peeled from a source 8 bytes short of
    // a boundary; the sources swap when b is the one to align (the product does not care, the
    // lanes that hold each partial do).
    static void Fc32(const float* a, const float* b, int32_t n, float* pDp)
    {
        const bool aAligned = (Address(a) & 15) == 0, bAligned = (Address(b) & 15) == 0;
        bool peel = false;
        if (!aAligned && bAligned)
        {
            const float* t = a;
            a = b;
            b = t;
        }
        else if (!aAligned && !bAligned)
        {
            if ((Address(a) & 7) == 0)
            {
                peel = true;
            }
            else if ((Address(b) & 7) == 0)
            {
                peel = true;
                const float* t = a;
                a = b;
                b = t;
            }
        }
        __m128 accRe = _mm_setzero_ps(), accIm = accRe;
        auto one = [&](int64_t at)
        {
            const __m128 av = LoadPair(a + 2 * at), bv = LoadPair(b + 2 * at);
            accRe = _mm_add_ps(accRe, _mm_mul_ps(_mm_moveldup_ps(av), bv));
            accIm = _mm_add_ps(accIm, _mm_mul_ps(_mm_movehdup_ps(av), bv));
        };
        auto two = [&](int64_t at)
        {
            const __m128 av = _mm_loadu_ps(a + 2 * at), bv = _mm_loadu_ps(b + 2 * at);
            accRe = _mm_add_ps(accRe, _mm_mul_ps(_mm_moveldup_ps(av), bv));
            accIm = _mm_add_ps(accIm, _mm_mul_ps(_mm_movehdup_ps(av), bv));
        };
        int64_t i = 0;
        if (peel)
        {
            one(0);
            i = 1;
        }
        for (; n - i >= 8; i += 4)
        {
            two(i);
            two(i + 2);
        }
        for (; n - i >= 2; i += 2)
        {
            two(i);
        }
        if (i < n)
        {
            one(i);
        }
        // accIm holds (ai br, ai bi): swapped, it is subtracted in the real lanes, added in the others.
        const __m128 sum = _mm_addsub_ps(accRe, _mm_shuffle_ps(accIm, accIm, _MM_SHUFFLE(2, 3, 0, 1)));
        float lanes[4];
        _mm_storeu_ps(lanes, sum);
        pDp[0] = lanes[0] + lanes[2];
        pDp[1] = lanes[1] + lanes[3];
    }

    static __m128d Product(const double* a, const double* b)
    {
        return _mm_mul_pd(_mm_loadu_pd(a), _mm_loadu_pd(b));
    }

    static __m128d ProductSd(const double* a, const double* b)
    {
        return _mm_mul_sd(_mm_set_sd(Get(a)), _mm_set_sd(Get(b)));
    }

    // Four pairs of double partials: rounds of 8 when both sources are 16-byte aligned; otherwise
    // at most one single product brings the source to align (b, or a when only a can get there)
    // to its boundary and rounds of 6 fill three pairs. Single products go to lane 0 of the first
    // pair. End: (A0 + A1) + (A2 + A3), then lane 0 + lane 1.
    static void F64(const double* a, const double* b, int32_t n, double* pDp)
    {
        __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
        int64_t i = 0;
        if ((Address(a) & 15) == 0 && (Address(b) & 15) == 0)
        {
            for (; n - i >= 8; i += 8)
            {
                for (int32_t k = 0; k < 4; ++k)
                {
                    acc[k] = _mm_add_pd(acc[k],
                                        _mm_mul_pd(_mm_load_pd(a + i + 2 * k), _mm_load_pd(b + i + 2 * k)));
                }
            }
        }
        else
        {
            const double* p = (Address(b) & 7) != 0 && (Address(a) & 7) == 0 ? a : b;
            if ((Address(a) & 15) != 0 && (Address(b) & 15) != 0 && (Address(p) & 15) == 8)
            {
                acc[0] = _mm_add_sd(acc[0], ProductSd(a, b));
                i = 1;
            }
            for (; n - i >= 6; i += 6)
            {
                for (int32_t k = 0; k < 3; ++k)
                {
                    acc[k] = _mm_add_pd(acc[k], Product(a + i + 2 * k, b + i + 2 * k));
                }
            }
        }
        for (; i < n; ++i)
        {
            acc[0] = _mm_add_sd(acc[0], ProductSd(a + i, b + i));
        }
        const __m128d w = _mm_add_pd(_mm_add_pd(acc[0], acc[1]), _mm_add_pd(acc[2], acc[3]));
        *pDp = _mm_cvtsd_f64(w) + _mm_cvtsd_f64(_mm_unpackhi_pd(w, w));
    }

    // Real a times complex b in four complex accumulators: with b 16-byte aligned, element k of a
    // round of 4 into Zk; otherwise rounds of 3 with elements 0 and 2 into Z2 and 1 into Z3. The
    // rest go one at a time into Z0. End: (Z0 + Z1) + (Z2 + Z3).
    static void F64Fc64(const double* a, const double* b, int32_t n, double* pDp)
    {
        __m128d z[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
        auto term = [&](int64_t at)
        { return _mm_mul_pd(_mm_set1_pd(Get(a + at)), _mm_loadu_pd(b + 2 * at)); };
        int64_t i = 0;
        if ((Address(b) & 15) == 0)
        {
            for (; n - i >= 4; i += 4)
            {
                for (int32_t k = 0; k < 4; ++k)
                {
                    z[k] = _mm_add_pd(z[k], term(i + k));
                }
            }
        }
        else
        {
            for (; n - i >= 3; i += 3)
            {
                z[2] = _mm_add_pd(z[2], term(i));
                z[3] = _mm_add_pd(z[3], term(i + 1));
                z[2] = _mm_add_pd(z[2], term(i + 2));
            }
        }
        for (; i < n; ++i)
        {
            z[0] = _mm_add_pd(z[0], term(i));
        }
        _mm_storeu_pd(pDp, _mm_add_pd(_mm_add_pd(z[0], z[1]), _mm_add_pd(z[2], z[3])));
    }

    // Complex a times complex b, one element after the other into R = sum a.re b and
    // I = sum a.im b; (R.re - I.im, R.im + I.re) at the end. Swapping the sources changes no bit.
    static void Fc64(const double* a, const double* b, int32_t n, double* pDp)
    {
        __m128d accRe = _mm_setzero_pd(), accIm = accRe;
        for (int64_t i = 0; i < n; ++i)
        {
            const __m128d bv = _mm_loadu_pd(b + 2 * i);
            accRe = _mm_add_pd(accRe, _mm_mul_pd(_mm_set1_pd(Get(a + 2 * i)), bv));
            accIm = _mm_add_pd(accIm, _mm_mul_pd(_mm_set1_pd(Get(a + 2 * i + 1)), bv));
        }
        _mm_storeu_pd(pDp, _mm_addsub_pd(accRe, _mm_shuffle_pd(accIm, accIm, 1)));
    }

    // The scaled integer kernels: each product is formed in double from the two converted
    // elements, and the partials are two-lane doubles summed in a fixed grouping.
    template <typename A> static __m128d ProductPair(const A* a, const int32_t* b)
    {
        return _mm_mul_pd(_mm_set_pd(double(Get(a + 1)), double(Get(a))),
                          _mm_set_pd(double(Get(b + 1)), double(Get(b))));
    }

    template <typename A> static __m128d ProductOne(const A* a, const int32_t* b)
    {
        return _mm_mul_sd(_mm_set_sd(double(Get(a))), _mm_set_sd(double(Get(b))));
    }

    static double Fold(__m128d p0, __m128d p1)
    {
        const __m128d s = _mm_add_pd(p0, p1);
        return _mm_cvtsd_f64(s) + _mm_cvtsd_f64(_mm_unpackhi_pd(s, s));
    }

    // Rounds of 6 while 12 remain: pairs 0,1 and 4,5 into P0, 2,3 into P1; the last 6 to 11 (all
    // of a shorter vector) one at a time into lane 0 of P0.
    static void I32Scaled(const int32_t* a, const int32_t* b, int32_t n, int32_t* pDp, double scale)
    {
        const NearestScope nearest;
        __m128d p0 = _mm_setzero_pd(), p1 = p0;
        int64_t i = 0;
        for (; n - i >= 12; i += 6)
        {
            p0 = _mm_add_pd(p0, ProductPair(a + i, b + i));
            p1 = _mm_add_pd(p1, ProductPair(a + i + 2, b + i + 2));
            p0 = _mm_add_pd(p0, ProductPair(a + i + 4, b + i + 4));
        }
        for (; i < n; ++i)
        {
            p0 = _mm_add_sd(p0, ProductOne(a + i, b + i));
        }
        *pDp = Saturate(Fold(p0, p1), scale);
    }

    // Real a times complex b: rounds of 4 while 8 remain, elements 0 and 2 into P0, 1 and 3 into
    // P1 (each a (re, im) pair); the rest one at a time into P0.
    static void I32Ic32Scaled(const int32_t* a, const int32_t* b, int32_t n, int32_t* pDp, double scale)
    {
        const NearestScope nearest;
        __m128d p[2] = {_mm_setzero_pd(), _mm_setzero_pd()};
        auto term = [&](int64_t at)
        {
            return _mm_mul_pd(_mm_set1_pd(double(Get(a + at))),
                              _mm_set_pd(double(Get(b + 2 * at + 1)), double(Get(b + 2 * at))));
        };
        int64_t i = 0;
        for (; n - i >= 8; i += 4)
        {
            for (int32_t k = 0; k < 4; ++k)
            {
                p[k & 1] = _mm_add_pd(p[k & 1], term(i + k));
            }
        }
        for (; i < n; ++i)
        {
            p[0] = _mm_add_pd(p[0], term(i));
        }
        const __m128d s = _mm_add_pd(p[0], p[1]);
        pDp[0] = Saturate(_mm_cvtsd_f64(s), scale);
        pDp[1] = Saturate(_mm_cvtsd_f64(_mm_unpackhi_pd(s, s)), scale);
    }

    // Complex a times complex b, element after element into R = sum a.re b and I = sum a.im b.
    static void Ic32Scaled(const int32_t* a, const int32_t* b, int32_t n, int32_t* pDp, double scale)
    {
        const NearestScope nearest;
        double rr = 0.0, ri = 0.0, ir = 0.0, ii = 0.0;
        for (int64_t i = 0; i < n; ++i)
        {
            const double ar = Get(a + 2 * i), ai = Get(a + 2 * i + 1);
            const double br = Get(b + 2 * i), bi = Get(b + 2 * i + 1);
            rr += ar * br, ri += ar * bi, ir += ai * br, ii += ai * bi;
        }
        pDp[0] = Saturate(rr - ii, scale);
        pDp[1] = Saturate(ri + ir, scale);
    }

    // Single products until a reaches a 16-byte boundary (all of them when a is at an odd
    // address), then rounds of 8: pairs 0,1 and 4,5 into P0, 2,3 and 6,7 into P1; the rest one
    // at a time. Single products go to lane 0 of P0.
    static void I16I32Scaled(const int16_t* a, const int32_t* b, int32_t n, int32_t* pDp, double scale)
    {
        const NearestScope nearest;
        __m128d p0 = _mm_setzero_pd(), p1 = p0;
        int64_t i = 0;
        const bool reaches = (Address(a) & 1) == 0;
        for (; i < n && (!reaches || (Address(a + i) & 15) != 0); ++i)
        {
            p0 = _mm_add_sd(p0, ProductOne(a + i, b + i));
        }
        for (; n - i >= 8; i += 8)
        {
            p0 = _mm_add_pd(p0, ProductPair(a + i, b + i));
            p1 = _mm_add_pd(p1, ProductPair(a + i + 2, b + i + 2));
            p0 = _mm_add_pd(p0, ProductPair(a + i + 4, b + i + 4));
            p1 = _mm_add_pd(p1, ProductPair(a + i + 6, b + i + 6));
        }
        for (; i < n; ++i)
        {
            p0 = _mm_add_sd(p0, ProductOne(a + i, b + i));
        }
        *pDp = Saturate(Fold(p0, p1), scale);
    }

    // Adds the multiply-add lanes of `v`, less one each, into two 64-bit lanes.
    static __m128i Widen(__m128i acc, __m128i v, int64_t* pBias)
    {
        v = _mm_sub_epi32(v, _mm_set1_epi32(1));
        *pBias += 4;
        const __m128i sign = _mm_srai_epi32(v, 31);
        acc = _mm_add_epi64(acc, _mm_unpacklo_epi32(v, sign));
        return _mm_add_epi64(acc, _mm_unpackhi_epi32(v, sign));
    }

    static int64_t Fold(__m128i acc, int64_t bias)
    {
        int64_t lanes[2];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
        return lanes[0] + lanes[1] + bias;
    }

    static int64_t I16ToI64(const int16_t* a, const int16_t* b, int32_t n)
    {
        __m128i acc = _mm_setzero_si128();
        int64_t bias = 0, i = 0, single = 0;
        for (; i + 8 <= n; i += 8)
        {
            const __m128i x = _mm_lddqu_si128(reinterpret_cast<const __m128i*>(a + i));
            const __m128i y = _mm_lddqu_si128(reinterpret_cast<const __m128i*>(b + i));
            acc = Widen(acc, _mm_madd_epi16(x, y), &bias);
        }
        for (; i < n; ++i)
        {
            single += int64_t(Get(a + i)) * Get(b + i);
        }
        return Fold(acc, bias) + single;
    }

    static void I16Ic16ToIc64(const int16_t* a, const SpIc16* b, int32_t n, int64_t* pDp)
    {
        __m128i acc = _mm_setzero_si128();
        int64_t bias = 0, i = 0, re = 0, im = 0;
        for (; i + 4 <= n; i += 4)
        {
            // (a0 a1 a0 a1 a2 a3 a2 a3) against (r0 r1 i0 i1 r2 r3 i2 i3): lanes re, im, re, im.
            const __m128i x = _mm_shuffle_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + i)),
                                                _MM_SHUFFLE(1, 1, 0, 0));
            __m128i y = _mm_lddqu_si128(reinterpret_cast<const __m128i*>(b + i));
            y = _mm_shufflelo_epi16(y, _MM_SHUFFLE(3, 1, 2, 0));
            y = _mm_shufflehi_epi16(y, _MM_SHUFFLE(3, 1, 2, 0));
            const __m128i v = _mm_sub_epi32(_mm_madd_epi16(x, y), _mm_set1_epi32(1));
            bias += 2;
            const __m128i sign = _mm_srai_epi32(v, 31);
            acc = _mm_add_epi64(acc, _mm_unpacklo_epi32(v, sign));
            acc = _mm_add_epi64(acc, _mm_unpackhi_epi32(v, sign));
        }
        for (; i < n; ++i)
        {
            const SpIc16 z = Get(b + i);
            const int64_t x = Get(a + i);
            re += x * z.re;
            im += x * z.im;
        }
        int64_t lanes[2];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
        pDp[0] = lanes[0] + bias + re;
        pDp[1] = lanes[1] + bias + im;
    }

    static void Ic16ToIc64(const SpIc16* a, const SpIc16* b, int32_t n, int64_t* pDp)
    {
        int64_t rr = 0, ii = 0, ri = 0, ir = 0;
        for (int64_t i = 0; i < n; ++i)
        {
            const SpIc16 x = Get(a + i), y = Get(b + i);
            rr += int64_t(x.re) * y.re, ii += int64_t(x.im) * y.im;
            ri += int64_t(x.re) * y.im, ir += int64_t(x.im) * y.re;
        }
        pDp[0] = rr - ii;
        pDp[1] = ri + ir;
    }
};

} // namespace
