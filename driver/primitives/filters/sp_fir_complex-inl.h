// The complex FIR block kernels of the level builds, written once: the direct form and the
// polyphase multi-rate form for complex float samples (real part first). No operation calls them
// and no builder lays out their tap tables; the callers bring the tables in the layouts below.
// The order of the additions is fixed and decides the rounding; it does not depend on where the
// window or the destination lies.
#pragma once

#include <emmintrin.h>
#include <stdint.h>

template <class P> struct SpFirComplexKernels
{
    // ---- Direct form ----
    //
    // Output n = sum over k of h(k) x(n + L - 1 - k). Tap k is a 32-byte record hr x4, then
    // -hi, hi, -hi, hi: for a vector of two samples X, a(k) = X times the first half and b(k) =
    // X with its parts swapped times the second half, and a(k) + b(k) is the product for both.

    static __m128 Swap(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }

    // One complex float (two floats, any alignment) into lanes 0 and 1, zeros above.
    static __m128 LoadOne(const float* p)
    {
        return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }

    struct Terms
    {
        const float* h; // tap records
        const float* x; // window of the first output of the vector
        int32_t taps;
        bool pair; // two outputs, or one in lanes 0 and 1
        __m128 X(int32_t k) const
        {
            const float* p = x + 2 * int64_t(taps - 1 - k);
            return pair ? _mm_loadu_ps(p) : LoadOne(p);
        }
        __m128 A(int32_t k) const { return _mm_mul_ps(X(k), _mm_load_ps(h + 8 * int64_t(k))); }
        __m128 B(int32_t k) const { return _mm_mul_ps(Swap(X(k)), _mm_load_ps(h + 8 * int64_t(k) + 4)); }
    };

    static __m128 Add(__m128 a, __m128 b) { return _mm_add_ps(a, b); }

    // One to four taps, as fixed per tap count; every output of the form, block or single.
    static __m128 Short(const Terms& t)
    {
        switch (t.taps)
        {
        case 1:
            return Add(t.A(0), t.B(0));
        case 2:
            return Add(Add(t.A(1), t.B(1)), Add(t.A(0), t.B(0)));
        case 3:
            return Add(Add(t.A(2), t.A(1)), Add(Add(t.A(0), t.B(2)), Add(t.B(1), t.B(0))));
        default:
            return Add(Add(Add(t.A(3), t.A(2)), Add(t.A(1), t.A(0))),
                       Add(Add(t.B(3), t.B(2)), Add(t.B(1), t.B(0))));
        }
    }

    // Five taps or more, two outputs in registers: groups of four from the top, then the r
    // lowest taps.
    static __m128 Long(const Terms& t)
    {
        __m128 s = _mm_setzero_ps();
        int32_t k = t.taps - 4;
        for (; k >= 0; k -= 4)
        {
            s = Add(s, Add(Add(t.A(k + 3), t.A(k + 2)), Add(t.A(k + 1), t.A(k))));
            s = Add(s, Add(Add(t.B(k + 3), t.B(k + 2)), Add(t.B(k + 1), t.B(k))));
        }
        switch (t.taps % 4)
        {
        case 1:
            return Add(s, Add(t.A(0), t.B(0)));
        case 2:
            return Add(s, Add(Add(t.A(1), t.A(0)), Add(t.B(1), t.B(0))));
        case 3:
            return Add(Add(s, Add(t.B(1), t.B(0))), Add(Add(t.A(2), t.A(1)), Add(t.A(0), t.B(2))));
        default:
            return s;
        }
    }

    // A lone output of the long form: a running sum adding a(k), then b(k), oldest sample first.
    static __m128 Running(const Terms& t)
    {
        __m128 s = _mm_setzero_ps();
        for (int32_t k = t.taps - 1; k >= 0; --k)
        {
            s = Add(Add(s, t.A(k)), t.B(k));
        }
        return s;
    }

    // The scalar output that brings a destination 8 bytes past a 16-byte boundary onto one.
    static void Peeled(const float* h, const float* x, int32_t taps, float* y)
    {
        float re = 0.0f, im = 0.0f;
        for (int32_t k = taps - 1; k >= 0; --k)
        {
            const float* s = x + 2 * int64_t(taps - 1 - k);
            const float hr = h[8 * int64_t(k)], nhi = h[8 * int64_t(k) + 4];
            re += hr * s[0] + nhi * s[1];
            im += hr * s[1] - nhi * s[0];
        }
        y[0] = re;
        y[1] = im;
    }

    static void Direct(const float* taps, const float* window, float* dst, int64_t count, int32_t tapCount)
    {
        if (count <= 0)
        {
            return;
        }
        const uintptr_t address = reinterpret_cast<uintptr_t>(dst);
        const bool aligned = address % 8 == 0;
        int64_t n = 0;
        if (aligned && address % 16 != 0)
        {
            Peeled(taps, window, tapCount, dst);
            n = 1;
        }
        for (; n + 2 <= count; n += 2)
        {
            const Terms t{taps, window + 2 * n, tapCount, true};
            const __m128 v = tapCount <= 4 ? Short(t) : Long(t);
            aligned ? _mm_store_ps(dst + 2 * n, v) : _mm_storeu_ps(dst + 2 * n, v);
        }
        if (n < count)
        {
            const Terms t{taps, window + 2 * n, tapCount, false};
            const __m128 v = tapCount <= 4 ? Short(t) : Running(t);
            _mm_storel_pi(reinterpret_cast<__m64*>(dst + 2 * n), v);
        }
    }

    // ---- Multi-rate ----
    //
    // Each output is its window of w samples dotted with its row of r taps (w rounded up to
    // even): the real table's row holds (tr, -ti) a tap, the imaginary table, 8 u r floats on,
    // (ti, tr). Window positions are byte offsets from the window base. u = 1: entry 0 is the
    // first window's offset and entry 1 the distance between outputs, and both outputs use row
    // 0. u > 1: 4u entries, each the advance from the previous window start, then the period's
    // closing advance; the rows follow the outputs.

    static float Fold(__m128 v)
    {
        alignas(16) float l[4];
        _mm_store_ps(l, v);
        return (l[0] + l[2]) + (l[1] + l[3]);
    }

    // The real and imaginary sums of one window against one row pair.
    static void Dot(const float* re, const float* im, const float* x, int32_t w, bool highLanes, float* y)
    {
        __m128 sr = _mm_setzero_ps(), si = _mm_setzero_ps();
        int32_t k = 0;
        for (; k + 2 <= w; k += 2)
        {
            const __m128 v = _mm_loadu_ps(x + 2 * k);
            sr = _mm_add_ps(sr, _mm_mul_ps(v, _mm_load_ps(re + 2 * k)));
            si = _mm_add_ps(si, _mm_mul_ps(v, _mm_load_ps(im + 2 * k)));
        }
        if (k < w)
        {
            // The last sample's products go to lanes 0-1, or (real sum, u > 1) lanes 2-3.
            const __m128 v = LoadOne(x + 2 * k);
            const __m128 pr = _mm_mul_ps(v, LoadOne(re + 2 * k));
            const __m128 pi = _mm_mul_ps(v, LoadOne(im + 2 * k));
            sr = _mm_add_ps(sr, highLanes ? _mm_movelh_ps(_mm_setzero_ps(), pr) : pr);
            si = _mm_add_ps(si, pi);
        }
        y[0] = Fold(sr);
        y[1] = Fold(si);
    }

    static int64_t MultiRate(const float* taps, const float* window, float* dst, int64_t count,
                             const int32_t* index, int32_t up, int32_t start, int32_t w, int32_t r)
    {
        const char* base = reinterpret_cast<const char*>(window);
        const int64_t imOffset = 8 * int64_t(up) * r; // floats from the real table to the imaginary
        auto at = [&](int64_t bytes) { return reinterpret_cast<const float*>(base + bytes); };
        if (count <= 0)
        {
            return start;
        }
        if (up == 1)
        {
            const int64_t step = index[1];
            int64_t first = 8 * int64_t(start) + index[0];
            for (int64_t o = 0; o < count; o += 2, first += 2 * step)
            {
                Dot(taps, taps + imOffset, at(first), w, false, dst + 2 * o);
                Dot(taps, taps + imOffset, at(first + step), w, false, dst + 2 * o + 2);
            }
            return (first - index[0]) / 8;
        }
        const int32_t entries = 4 * up;
        int64_t pos = 8 * int64_t(start);
        int32_t e = 0;
        for (int64_t o = 0; o < count; o += 2)
        {
            const int64_t first = pos + index[e], second = first + index[e + 1];
            const float* row = taps + 2 * int64_t(r) * e;
            Dot(row, row + imOffset, at(first), w, true, dst + 2 * o);
            Dot(row + 2 * r, row + 2 * r + imOffset, at(second), w, true, dst + 2 * o + 2);
            pos = second;
            e += 2;
            if (e == entries)
            {
                pos += index[entries];
                e = 0;
            }
        }
        return pos / 8;
    }
};
