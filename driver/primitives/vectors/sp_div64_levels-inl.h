// Double and complex-double division kernels of one level build, included by the vector rows'
// level body after SP_LN is defined. Doubles: one division gives the reciprocals of eight divisors
// through their pairwise products, and each quotient's bit pattern is then rounded to a multiple
// of four (a few ulp). That path runs only where every divisor and every product is a normal
// number, so no reciprocal overflows or loses range; any other group of eight divides exactly.
// Complex doubles: one division gives the reciprocals of two squared magnitudes.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/vectors/sp_div64_levels.h"

namespace
{

struct SpDiv64
{
    static double DefaultNan()
    {
        const uint64_t bits = 0x7FF8000000000000ull;
        double d;
        memcpy(&d, &bits, sizeof(d));
        return d;
    }

    static double Exact(double d, double n, uint32_t* flag)
    {
        if (d == 0.0)
        {
            *flag = 1;
            return DefaultNan();
        }
        return n / d;
    }

    // Lane mask of values whose exponent field is neither all zeros nor all ones.
    static int Normal(__m128d v)
    {
        const __m128i e = _mm_and_si128(_mm_castpd_si128(v), _mm_set1_epi64x(0x7FF0000000000000ll));
        const __m128i bad = _mm_or_si128(_mm_cmpeq_epi32(e, _mm_setzero_si128()),
                                         _mm_cmpeq_epi32(e, _mm_set1_epi64x(0x7FF0000000000000ll)));
        // The exponent sits in the high 32-bit half of each lane.
        return (~_mm_movemask_ps(_mm_castsi128_ps(bad)) >> 1) & 5;
    }

    static __m128d RoundPattern(__m128d q)
    {
        const __m128i bits = _mm_add_epi64(_mm_castpd_si128(q), _mm_set1_epi64x(2));
        return _mm_castsi128_pd(_mm_and_si128(bits, _mm_set1_epi64x(~3ll)));
    }

    static uint32_t F64(const double* x, const double* y, double* dst, int64_t len)
    {
        uint32_t flag = 0;
        if ((reinterpret_cast<uintptr_t>(dst) & 8) != 0)
        {
            *dst++ = Exact(*x++, *y++, &flag);
            --len;
        }
        for (; len >= 8; len -= 8, x += 8, y += 8, dst += 8)
        {
            const __m128d x0 = _mm_loadu_pd(x), x1 = _mm_loadu_pd(x + 2), x2 = _mm_loadu_pd(x + 4),
                          x3 = _mm_loadu_pd(x + 6);
            const __m128d p02 = _mm_mul_pd(x0, x2), p13 = _mm_mul_pd(x1, x3), p = _mm_mul_pd(p02, p13);
            const int ok =
                Normal(x0) & Normal(x1) & Normal(x2) & Normal(x3) & Normal(p02) & Normal(p13) & Normal(p);
            if (ok != 5)
            {
                for (int i = 0; i < 8; ++i)
                {
                    dst[i] = Exact(x[i], y[i], &flag);
                }
                continue;
            }
            const __m128d r = _mm_div_pd(_mm_set1_pd(1.0), p);
            const __m128d a = _mm_mul_pd(p13, r), b = _mm_mul_pd(p02, r);
            _mm_storeu_pd(dst, RoundPattern(_mm_mul_pd(_mm_mul_pd(x2, a), _mm_loadu_pd(y))));
            _mm_storeu_pd(dst + 2, RoundPattern(_mm_mul_pd(_mm_mul_pd(x3, b), _mm_loadu_pd(y + 2))));
            _mm_storeu_pd(dst + 4, RoundPattern(_mm_mul_pd(_mm_mul_pd(x0, a), _mm_loadu_pd(y + 4))));
            _mm_storeu_pd(dst + 6, RoundPattern(_mm_mul_pd(_mm_mul_pd(x1, b), _mm_loadu_pd(y + 6))));
        }
        for (; len > 0; --len)
        {
            *dst++ = Exact(*x++, *y++, &flag);
        }
        return flag;
    }

    // One complex quotient from the reciprocal of its squared magnitude.
    static void Complex(const double* x, const double* y, double recip, double* dst)
    {
        const double re = (x[0] * y[0] + y[1] * x[1]) * recip, im = (x[0] * y[1] - x[1] * y[0]) * recip;
        dst[0] = re, dst[1] = im;
    }

    static uint32_t Fc64(const double* x, const double* y, double* dst, int64_t len)
    {
        uint32_t flag = 0;
        for (; len >= 2; len -= 2, x += 4, y += 4, dst += 4)
        {
            const double m0 = x[0] * x[0] + x[1] * x[1], m1 = x[2] * x[2] + x[3] * x[3];
            const double m = m0 * m1;
            double r0, r1;
            if (Normal(_mm_set1_pd(m)) != 0)
            {
                const double r = 1.0 / m;
                r0 = m1 * r, r1 = m0 * r;
            }
            else
            {
                r0 = m0 == 0.0 ? (flag |= 1, DefaultNan()) : 1.0 / m0;
                r1 = m1 == 0.0 ? (flag |= 2, DefaultNan()) : 1.0 / m1;
            }
            Complex(x, y, r0, dst);
            Complex(x + 2, y + 2, r1, dst + 2);
        }
        if (len == 1)
        {
            const double m = x[0] * x[0] + x[1] * x[1];
            if (m == 0.0 || m != m)
            {
                flag |= m == 0.0 ? 1 : 0;
                dst[0] = dst[1] = DefaultNan();
            }
            else
            {
                Complex(x, y, 1.0 / m, dst);
            }
        }
        return flag;
    }
};

} // namespace

uint32_t SP_LN(SpDivKernelF64)(const double* src1, const double* src2, double* dst, int32_t len)
{
    return SpDiv64::F64(src1, src2, dst, len);
}

uint32_t SP_LN(SpDivKernelFc64)(const double* src1, const double* src2, double* dst, int32_t len)
{
    return SpDiv64::Fc64(src1, src2, dst, len);
}
