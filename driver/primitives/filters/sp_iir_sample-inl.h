// The one-sample IIR steps of the level builds for data other than float with float taps: double
// taps (for double or float data), complex float taps and complex double taps, and the integer
// members that put 16- or 32-bit ends on those steps and on the float ones. Every step is the
// transposed direct form II recurrence, the direct form (tag II01, order n) or a cascade of
// second-order sections (II02); what differs is where the coefficients come from (the plain taps
// or a one-sample table the caller lays out beside them) and the grouping of the sums, which is
// fixed below because it decides the rounding. No operation of the library calls these steps and
// none builds their states; the record is SpIirState with the tap type's elements behind its
// pointers (the delay line and tables 16-byte aligned).
//
// Integer outputs are y times 2^-s, the factor formed from its exponent bits, rounded in the
// current mode and saturated by sign; a NaN stores 0. The delay line only ever holds the
// unscaled values, so a change of s between calls leaves the filter undisturbed.
#pragma once

#include <emmintrin.h>
#include <pmmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/filters/sp_iir_internal.h"
#include "driver/primitives/filters/sp_iir_kernels-inl.h"

template <class P> struct SpIirSampleKernels
{
    struct C32
    {
        float re, im;
    };
    struct C64
    {
        double re, im;
    };

    static const double* Doubles(const float* p) { return reinterpret_cast<const double*>(p); }
    static double* Doubles(float* p) { return reinterpret_cast<double*>(p); }

    // ---- Double taps ----

    // Taps b0 .. bn, a1 .. an. The updates run in ascending order, each reading the old z[i + 1].
    static double DirectF64(double x, SpIirState* s)
    {
        const int32_t n = s->Count;
        const double* b = Doubles(s->Taps);
        const double* a = b + n;
        double* z = Doubles(s->Delay);
        if (n == 0)
        {
            return b[0] * x;
        }
        const double y = (b[0] * x) + z[0];
        for (int32_t i = 0; i < n; ++i)
        {
            z[i] = ((b[i + 1] * x) - (a[i + 1] * y)) + z[i + 1];
        }
        return y;
    }

    // Table rows a section: (b0, b0), (b1, b2), (-a1, -a2); the order field holds 2S and at
    // least one section runs.
    static double BiquadF64(double x, SpIirState* s)
    {
        const double* c = Doubles(s->OneSample);
        double* z = Doubles(s->Delay);
        const int32_t sections = s->Count / 2 > 1 ? s->Count / 2 : 1;
        for (int32_t k = 0; k < sections; ++k, c += 6, z += 2)
        {
            const double y = (x * c[0]) + z[0];
            z[0] = x * c[2] + (c[4] * y + z[1]);
            z[1] = x * c[3] + c[5] * y;
            x = y;
        }
        return x;
    }

    // ---- Complex float taps ----

    // b x with the imaginary product written as bi (0 - xi), as the taps path forms it.
    static C32 Product(float br, float bi, C32 x)
    {
        return {br * x.re + bi * (0.0f - x.im), br * x.im + bi * x.re};
    }

    // Below order 4 the taps (b0 .. bn, a1 .. an, each real then imaginary); from order 4 the
    // table: (b0r, b0r, -b0i, b0i), then four rows of four a pair of delay elements.
    static C32 DirectC32(C32 x, SpIirState* s)
    {
        const int32_t n = s->Count;
        const float* b = s->Taps;
        const float* a = b + 2 * n;
        C32* z = reinterpret_cast<C32*>(s->Delay);
        if (n == 0)
        {
            return Product(b[0], b[1], x);
        }
        if (n < 4)
        {
            const C32 bx = Product(b[0], b[1], x);
            const C32 y = {bx.re + z[0].re, bx.im + z[0].im};
            for (int32_t i = 0; i < n; ++i)
            {
                const C32 p = Product(b[2 * i + 2], b[2 * i + 3], x);
                const C32 q = Product(a[2 * i + 2], a[2 * i + 3], y);
                z[i] = {(p.re - q.re) + z[i + 1].re, (p.im - q.im) + z[i + 1].im};
            }
            return y;
        }
        return DirectC32Table(x, s);
    }

    static C32 DirectC32Table(C32 x, SpIirState* s)
    {
        const int32_t n = s->Count;
        const float* t = s->OneSample;
        float* z = s->Delay;
        const __m128 xx = _mm_set_ps(x.im, x.re, x.im, x.re);
        const __m128 xs = _mm_set_ps(x.re, x.im, x.re, x.im);
        const float yr = (z[0] + t[0] * x.re) + t[2] * x.im;
        const float yi = (z[1] + t[1] * x.im) + t[3] * x.re;
        const __m128 vr = _mm_set1_ps(yr), vi = _mm_set1_ps(yi);
        t += 4;
        for (int32_t i = 0; i < n; i += 2, t += 16)
        {
            const __m128 v = _mm_add_ps(
                _mm_add_ps(_mm_mul_ps(_mm_load_ps(t), xx), _mm_mul_ps(_mm_load_ps(t + 4), xs)),
                _mm_add_ps(_mm_mul_ps(_mm_load_ps(t + 8), vr), _mm_mul_ps(_mm_load_ps(t + 12), vi)));
            if (i + 1 < n)
            {
                // Add the next pair, z[i + 1] and z[i + 2] (the last pair reads the zero z[n]).
                _mm_storeu_ps(z + 2 * i, _mm_add_ps(v, _mm_loadu_ps(z + 2 * i + 2)));
            }
            else
            {
                // An odd last element adds nothing: its successor is the zero z[n].
                _mm_storel_pi(reinterpret_cast<__m64*>(z + 2 * i), v);
            }
        }
        return {yr, yi};
    }

    // Below 5 sections the taps (b0, b1, b2, a1, a2 a section, each real then imaginary); from 5
    // the table of five rows of four a section. The order field holds 2S.
    static C32 BiquadC32(C32 x, SpIirState* s)
    {
        const int32_t sections = s->Count / 2;
        if (sections >= 5)
        {
            return BiquadC32Table(x, s, sections);
        }
        const float* c = s->Taps;
        float* z = s->Delay;
        for (int32_t k = 0; k < sections; ++k, c += 10, z += 4)
        {
            const float xr = x.re, xi = x.im, nxi = 0.0f - xi;
            const float yr = (c[0] * xr + z[0]) + c[1] * nxi;
            const float yi = (c[0] * xi + z[1]) + c[1] * xr;
            z[0] = ((c[2] * xr + z[2]) + c[3] * nxi) - (c[6] * yr - c[7] * yi);
            z[1] = ((c[2] * xi + z[3]) + c[3] * xr) - (c[7] * yr + c[6] * yi);
            z[2] = (c[4] * xr + c[5] * nxi) - (c[8] * yr - c[9] * yi);
            z[3] = (c[4] * xi + c[5] * xr) - (c[9] * yr + c[8] * yi);
            x = {yr, yi};
        }
        return x;
    }

    static C32 BiquadC32Table(C32 x, SpIirState* s, int32_t sections)
    {
        const float* t = s->OneSample;
        float* z = s->Delay;
        for (int32_t k = 0; k < sections; ++k, t += 20, z += 4)
        {
            const float yr = (t[0] * x.re + t[2] * x.im) + z[0];
            const float yi = (t[1] * x.re + t[3] * x.im) + z[1];
            const __m128 z1 = _mm_set_ps(0.0f, 0.0f, z[3], z[2]);
            const __m128 bx = _mm_add_ps(_mm_mul_ps(_mm_load_ps(t + 4), _mm_set1_ps(x.re)),
                                         _mm_mul_ps(_mm_load_ps(t + 8), _mm_set1_ps(x.im)));
            const __m128 ay = _mm_add_ps(_mm_mul_ps(_mm_load_ps(t + 12), _mm_set1_ps(yr)),
                                         _mm_mul_ps(_mm_load_ps(t + 16), _mm_set1_ps(yi)));
            _mm_storeu_ps(z, _mm_add_ps(_mm_add_ps(z1, bx), ay));
            x = {yr, yi};
        }
        return x;
    }

    // ---- Complex double taps ----

    // A coefficient as two rows, (cr, ci) against (xr, xr) and (ci, cr) against (xi, xi), joined
    // by one subtract-add: (cr xr - ci xi, ci xr + cr xi).
    static __m128d Times(const double* rows, __m128d x)
    {
        return _mm_addsub_pd(_mm_mul_pd(_mm_load_pd(rows), _mm_unpacklo_pd(x, x)),
                             _mm_mul_pd(_mm_load_pd(rows + 2), _mm_unpackhi_pd(x, x)));
    }

    // Table: b0 (two rows), then four rows a delay element: b(i + 1), then -a(i + 1).
    static __m128d DirectC64(__m128d x, SpIirState* s)
    {
        const int32_t n = s->Count;
        const double* t = Doubles(s->OneSample);
        double* z = Doubles(s->Delay);
        if (n == 0)
        {
            return Times(t, x);
        }
        const __m128d y = _mm_add_pd(_mm_load_pd(z), Times(t, x));
        t += 4;
        for (int32_t i = 0; i < n; ++i, t += 8)
        {
            _mm_store_pd(z + 2 * i,
                         _mm_add_pd(_mm_load_pd(z + 2 * i + 2), _mm_add_pd(Times(t, x), Times(t + 4, y))));
        }
        return y;
    }

    // Table: ten rows a section, b0, b1, b2, -a1, -a2; at least one section runs.
    static __m128d BiquadC64(__m128d x, SpIirState* s)
    {
        const double* t = Doubles(s->OneSample);
        double* z = Doubles(s->Delay);
        const int32_t sections = s->Sections > 1 ? s->Sections : 1;
        for (int32_t k = 0; k < sections; ++k, t += 20, z += 4)
        {
            const __m128d y =
                _mm_addsub_pd(_mm_add_pd(_mm_mul_pd(_mm_load_pd(t), _mm_unpacklo_pd(x, x)), _mm_load_pd(z)),
                              _mm_mul_pd(_mm_load_pd(t + 2), _mm_unpackhi_pd(x, x)));
            _mm_store_pd(z, _mm_add_pd(Times(t + 12, y), _mm_add_pd(_mm_load_pd(z + 2), Times(t + 4, x))));
            _mm_store_pd(z + 2, _mm_add_pd(Times(t + 16, y), Times(t + 8, x)));
            x = y;
        }
        return x;
    }

    // ---- Integer ends ----

    static float FactorF32(int32_t s)
    {
        const uint32_t bits = 0x3f800000u - uint32_t(s) * (1u << 23);
        float f;
        memcpy(&f, &bits, sizeof(f));
        return f;
    }

    static double FactorF64(int32_t s)
    {
        const uint64_t bits = 0x3ff0000000000000ull - uint64_t(int64_t(s)) * (1ull << 52);
        double f;
        memcpy(&f, &bits, sizeof(f));
        return f;
    }

    // The bounds are applied before the rounding, which gives every in-range value the result of
    // rounding and then saturating, and keeps values past the 32-bit range on their own side.
    static int16_t To16(float y, float factor)
    {
        return int16_t(
            _mm_cvtss_si32(SpIirKernels<P>::Bounded16(_mm_mul_ss(_mm_set_ss(y), _mm_set_ss(factor)))));
    }

    template <class T> static T Bounded(double v, double lo, double hi)
    {
        if (v != v)
        {
            return 0;
        }
        v = v > hi ? hi : v;
        v = v < lo ? lo : v;
        return T(_mm_cvtsd_si32(_mm_set_sd(v)));
    }

    static int16_t To16(double y, double factor) { return Bounded<int16_t>(y * factor, -32768.0, 32767.0); }
    static int32_t To32(double y, double factor)
    {
        return Bounded<int32_t>(y * factor, -2147483648.0, 2147483647.0);
    }
};
