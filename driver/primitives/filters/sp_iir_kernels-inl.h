// The IIR filter of the level builds, written once: the one-sample steps, the direct-form and
// biquad block passes (float, and 16-bit at both ends) and the chunk walk that joins them. A
// chunk longer than four times the order (four times the section count) is split into a
// vectorised feed-forward pass into the state's work area, a short one-sample start and a
// feedback pass four outputs at a time; the delay line is then rebuilt from the chunk's last
// inputs and outputs. Each pass reads every input it needs before the outputs that could overlap
// it are written, so in place is exact. The grouping of every sum below is fixed: it decides the
// rounding, so levels 1-3 agree bit for bit and differ from the generic build in the last bits.
#pragma once

#include <emmintrin.h>
#include <stdint.h>

#include "driver/primitives/filters/sp_iir_internal.h"

template <class P> struct SpIirKernels
{
    static constexpr int32_t kLevel = P::kLevel;

    // y = b0 x through the level's multiply by a constant, which copies for 1 and clears for 0.
    typedef SpStatus (*MulConstFn)(const float* src, float value, float* dst, int32_t len);

    static __m128 Splat(float v) { return _mm_set1_ps(v); }
    template <int L> static __m128 Lane(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(L, L, L, L)); }
    static __m128 Add(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
    static __m128 Mul(__m128 a, __m128 b) { return _mm_mul_ps(a, b); }
    static __m128 Row(const float* rows, int64_t k) { return _mm_load_ps(rows + 4 * k); }

    // ---- Sources of the feed-forward passes: floats as they stand, 16-bit samples widened ----

    struct FloatSource
    {
        const float* x;
        __m128 Four(int64_t i) const { return _mm_loadu_ps(x + i); }
        float One(int64_t i) const { return x[i]; }
    };

    struct I16Source
    {
        const int16_t* x;
        __m128 Four(int64_t i) const
        {
            const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + i));
            return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16));
        }
        float One(int64_t i) const { return float(x[i]); }
    };

    // ---- Feed-forward: work[j] = sum over m = 0..n of b(n-m) x[j+m] ----

    // Four outputs j .. j+3 of order n, the taps from the oldest input on.
    template <class S> static __m128 FeedForwardFour(const S& x, int64_t j, const float* ff, int32_t n)
    {
        auto p = [&](int64_t m) { return Mul(Row(ff, n - m), x.Four(j + m)); };
        switch (n)
        {
        case 0:
            return p(0);
        case 1:
            return Add(p(0), p(1));
        case 2:
            return Add(Add(p(0), p(1)), p(2));
        case 3:
            return Add(Add(p(0), p(1)), Add(p(2), p(3)));
        default:
            break;
        }
        const int64_t taps = int64_t(n) + 1;
        __m128 acc = _mm_setzero_ps();
        int64_t i = 0;
        for (; i + 4 <= taps; i += 4)
        {
            acc = Add(acc, Add(Add(p(i), p(i + 1)), Add(p(i + 2), p(i + 3))));
        }
        switch (taps - i)
        {
        case 1:
            return Add(acc, p(i));
        case 2:
            return Add(acc, Add(p(i), p(i + 1)));
        case 3:
            return Add(Add(acc, p(i + 2)), Add(p(i), p(i + 1)));
        default:
            return acc;
        }
    }

    // One output: orders 0 to 3 as a lane of the vector form, higher orders oldest first from 0.
    template <class S> static float FeedForwardOne(const S& x, int64_t j, const float* ff, int32_t n)
    {
        auto p = [&](int64_t m) { return ff[4 * (n - m)] * x.One(j + m); };
        switch (n)
        {
        case 0:
            return p(0);
        case 1:
            return p(0) + p(1);
        case 2:
            return (p(0) + p(1)) + p(2);
        case 3:
            return (p(0) + p(1)) + (p(2) + p(3));
        default:
            break;
        }
        float acc = 0.0f;
        for (int64_t m = 0; m <= n; ++m)
        {
            acc += p(m);
        }
        return acc;
    }

    template <class S>
    static void FeedForward(const S& x, float* work, int64_t len, const float* ff, int32_t n)
    {
        int64_t j = 0;
        for (; j + 4 <= len; j += 4)
        {
            _mm_store_ps(work + j, FeedForwardFour(x, j, ff, n));
        }
        for (; j < len; ++j)
        {
            work[j] = FeedForwardOne(x, j, ff, n);
        }
    }

    // The biquad section's pass aligns its own output, so work may lie anywhere.
    template <class S> static void BiquadFeedForwardAny(const S& x, float* work, int64_t len, const float* ff)
    {
        int64_t j = 0;
        for (; j < len && (reinterpret_cast<uintptr_t>(work + j) & 15) != 0; ++j)
        {
            work[j] = FeedForwardOne(x, j, ff, 2);
        }
        FeedForward(S{x.x + j}, work + j, len - j, ff, 2);
    }

    // ---- Feedback: out[n + j] = work[j] + sum over k = 1..n of dk out[n + j - k] ----

    // What a feedback pass does with each output besides keeping it as history: nothing for the
    // float filter, a scaled and saturated 16-bit copy for the integer kernels.
    struct NoSink
    {
        void Four(int64_t, __m128) const {}
        void One(int64_t, float) const {}
    };

    // A scaled output held to the 16-bit range before it is rounded, so a value beyond the
    // 32-bit range saturates by its sign instead of turning into the conversion's
    // out-of-range pattern (-32768 whatever its sign); a NaN gives 0. Clamping first rounds
    // every in-range value exactly as rounding and then saturating would.
    static __m128 Bounded16(__m128 y)
    {
        const __m128 ordered = _mm_and_ps(y, _mm_cmpord_ps(y, y));
        return _mm_min_ps(_mm_max_ps(ordered, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
    }

    struct I16Sink
    {
        int16_t* dst; // output k at dst[k]
        __m128 scale;
        static __m128 ScaleOf(int32_t s)
        {
            return _mm_castsi128_ps(_mm_set1_epi32(int32_t(0x3f800000u - uint32_t(s) * (1u << 23))));
        }
        void Four(int64_t k, __m128 y) const
        {
            const __m128i v = _mm_cvtps_epi32(Bounded16(_mm_mul_ps(y, scale)));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + k), _mm_packs_epi32(v, v));
        }
        void One(int64_t k, float y) const
        {
            dst[k] = int16_t(_mm_cvtss_si32(Bounded16(_mm_mul_ss(_mm_set_ss(y), scale))));
        }
    };

    // The w terms of a group: w[t]·row n, w[t+1]·row n+1, w[t+2]·row n+2, (0, 0, 0, w[t+3]).
    struct WTerms
    {
        __m128 w0, w1, w2, w3;
        WTerms(__m128 w, const float* rows)
        {
            w0 = Mul(Lane<0>(w), Row(rows, 0));
            w1 = Mul(Lane<1>(w), Row(rows, 1));
            w2 = Mul(Lane<2>(w), Row(rows, 2));
            w3 = _mm_and_ps(w, _mm_castsi128_ps(_mm_set_epi32(-1, 0, 0, 0)));
        }
    };

    // Four outputs of orders 1 to 4 from the history h[i] = y[t-1-i] (carried in registers).
    static __m128 FeedbackFourShort(const float* h, const WTerms& w, const float* fb, int32_t n)
    {
        auto q = [&](int64_t i) { return Mul(Splat(h[i]), Row(fb, i)); };
        switch (n)
        {
        case 1:
            return Add(Add(q(0), w.w0), Add(Add(w.w1, w.w2), w.w3));
        case 2:
            return Add(Add(q(1), q(0)), Add(Add(w.w0, w.w1), Add(w.w2, w.w3)));
        case 3:
            return Add(Add(Add(q(2), q(1)), w.w3), Add(Add(q(0), w.w0), Add(w.w1, w.w2)));
        default:
            return Add(Add(Add(q(3), q(2)), Add(q(1), q(0))), Add(Add(w.w0, w.w1), Add(w.w2, w.w3)));
        }
    }

    // Four outputs from order 5 on, the history y[t-n] .. y[t-1] read oldest first from `old`.
    static __m128 FeedbackFourLong(const float* old, const WTerms& w, const float* fb, int32_t n)
    {
        auto h = [&](int64_t k) { return Mul(Splat(old[k]), Row(fb, n - 1 - k)); };
        __m128 acc = _mm_setzero_ps();
        int64_t k = 0;
        do
        {
            acc = Add(acc, Add(Add(h(k), h(k + 1)), Add(h(k + 2), h(k + 3))));
            k += 4;
        } while (n - k > 4);
        const __m128 ws = Add(Add(w.w0, w.w1), Add(w.w2, w.w3));
        switch (n - k)
        {
        case 4:
            return Add(acc, Add(Add(Add(h(k), h(k + 1)), Add(h(k + 2), h(k + 3))), ws));
        case 3:
            return Add(Add(acc, w.w3), Add(Add(w.w1, w.w2), Add(Add(h(k), h(k + 1)), Add(h(k + 2), w.w0))));
        case 2:
            return Add(acc, Add(Add(h(k), h(k + 1)), ws));
        default:
            return Add(acc, Add(Add(Add(h(k), w.w0), w.w3), Add(w.w1, w.w2)));
        }
    }

    // One output from lane 0 of the rows; y points at the output's slot, y[-k] is y[t-k].
    static float FeedbackOne(const float* y, float w, const float* fb, int32_t n)
    {
        auto d = [&](int64_t k) { return fb[4 * (k - 1)] * y[-k]; };
        switch (n)
        {
        case 1:
            return d(1) + w;
        case 2:
            return d(1) + (w + d(2));
        case 3:
            return (d(1) + d(2)) + (w + d(3));
        case 4:
            return (d(1) + d(2)) + ((d(3) + d(4)) + w);
        default:
            break;
        }
        float acc = 0.0f;
        for (int64_t k = n; k >= 1; --k)
        {
            acc += d(k);
        }
        return acc + w;
    }

    // keepAll false: only the last group's four outputs and the single outputs reach `out` (the
    // 16-bit biquad kernel's contract); the history then lives in registers alone.
    template <class Sink>
    static void Feedback(const float* work, float* out, int64_t len, const float* fb, int32_t n,
                         const Sink& sink, bool keepAll = true)
    {
        float h[4] = {}; // y[t-1], y[t-2], ... for orders 1 to 4
        for (int32_t i = 0; i < n && i < 4; ++i)
        {
            h[i] = out[n - 1 - i];
        }
        int64_t j = 0;
        for (; j + 4 <= len; j += 4)
        {
            const WTerms w(_mm_load_ps(work + j), fb + 4 * int64_t(n));
            const __m128 y = n <= 4 ? FeedbackFourShort(h, w, fb, n) : FeedbackFourLong(out + j, w, fb, n);
            if (keepAll || j + 8 > len)
            {
                _mm_storeu_ps(out + n + j, y);
            }
            sink.Four(n + j, y);
            alignas(16) float v[4];
            _mm_store_ps(v, y);
            h[0] = v[3], h[1] = v[2], h[2] = v[1], h[3] = v[0];
        }
        for (; j < len; ++j)
        {
            const float y = FeedbackOne(out + n + j, work[j], fb, n);
            out[n + j] = y;
            sink.One(n + j, y);
        }
    }

    // ---- Complex direct form: two complex values (re, im, re, im) a vector ----
    //
    // Feed-forward lanes: per tap k (k samples back) the rows R = (br, br, br, br) and I = (-bi,
    // bi, -bi, bi), so x R + swap(x) I is the complex product of both samples. Feedback lanes: per
    // delay d a block P, Q, P', Q' (the weights of y[-d]'s real and imaginary part in outputs 0-1
    // and 2-3 of a step), then U, V, U', V' for the step's first work value; the other work
    // values reuse those rows.

    static __m128 Swap(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }
    static __m128 HighPair(__m128 v) { return _mm_and_ps(v, _mm_castsi128_ps(_mm_set_epi32(-1, -1, 0, 0))); }

    static __m128 WidenI16(__m128i v)
    {
        return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16));
    }

    struct ComplexF32Source
    {
        const float* x;
        __m128 Pair(int64_t i) const { return _mm_loadu_ps(x + 2 * i); }
        __m128 One(int64_t i) const
        {
            return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 2 * i)));
        }
    };

    struct ComplexI16Source
    {
        const int16_t* x;
        __m128 Pair(int64_t i) const
        {
            return WidenI16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 2 * i)));
        }
        __m128 One(int64_t i) const
        {
            int32_t bits;
            __builtin_memcpy(&bits, x + 2 * i, sizeof(bits));
            return WidenI16(_mm_cvtsi32_si128(bits));
        }
    };

    // Orders 0 to 3, two outputs (or one in lanes 0-1); X(a) the samples a places into the window.
    template <class Load> static __m128 ComplexForwardShort(Load X, const float* ff, int32_t n)
    {
        auto r = [&](int64_t a, int64_t k) { return Mul(X(a), _mm_load_ps(ff + 8 * k)); };
        auto i = [&](int64_t a, int64_t k) { return Mul(Swap(X(a)), _mm_load_ps(ff + 8 * k + 4)); };
        switch (n)
        {
        case 0:
            return Add(r(0, 0), i(0, 0));
        case 1:
            return Add(Add(r(0, 1), i(0, 1)), Add(r(1, 0), i(1, 0)));
        case 2:
            return Add(Add(r(0, 2), r(1, 1)), Add(Add(r(2, 0), i(0, 2)), Add(i(1, 1), i(2, 0))));
        default:
            return Add(Add(Add(r(0, 3), r(1, 2)), Add(r(2, 1), r(3, 0))),
                       Add(Add(i(0, 3), i(1, 2)), Add(i(2, 1), i(3, 0))));
        }
    }

    // Orders 4 and up, two outputs: taps from the highest in groups of four, then the rest.
    template <class Load> static __m128 ComplexForwardLong(Load X, const float* ff, int32_t n)
    {
        auto r = [&](int64_t a, int64_t k) { return Mul(X(a), _mm_load_ps(ff + 8 * k)); };
        auto i = [&](int64_t a, int64_t k) { return Mul(Swap(X(a)), _mm_load_ps(ff + 8 * k + 4)); };
        __m128 acc = _mm_setzero_ps();
        int64_t a = 0, k = n;
        do
        {
            acc = Add(acc, Add(Add(r(a, k), r(a + 1, k - 1)), Add(r(a + 2, k - 2), r(a + 3, k - 3))));
            acc = Add(acc, Add(Add(i(a, k), i(a + 1, k - 1)), Add(i(a + 2, k - 2), i(a + 3, k - 3))));
            a += 4;
            k -= 4;
        } while (k + 1 >= 4);
        switch (k + 1)
        {
        case 3:
            acc = Add(acc, Add(i(a + 1, 1), i(a + 2, 0)));
            return Add(acc, Add(Add(r(a, 2), r(a + 1, 1)), Add(r(a + 2, 0), i(a, 2))));
        case 2:
            return Add(acc, Add(Add(r(a, 1), r(a + 1, 0)), Add(i(a, 1), i(a + 1, 0))));
        case 1:
            return Add(acc, Add(r(a, 0), i(a, 0)));
        default:
            return acc;
        }
    }

    template <class S>
    static void ComplexFeedForward(const S& src, float* work, int64_t len, const float* ff, int32_t n)
    {
        auto pairAt = [&](int64_t j) { return [&src, j](int64_t a) { return src.Pair(j + a); }; };
        auto oneAt = [&](int64_t j) { return [&src, j](int64_t a) { return src.One(j + a); }; };
        auto storeOne = [&](int64_t j, __m128 v)
        { _mm_storel_epi64(reinterpret_cast<__m128i*>(work + 2 * j), _mm_castps_si128(v)); };
        int64_t j = 0;
        if (n <= 3)
        {
            const int64_t step = n <= 1 ? 8 : 4;
            for (; j + step <= len; j += step)
            {
                for (int64_t p = 0; p < step; p += 2)
                {
                    _mm_store_ps(work + 2 * (j + p), ComplexForwardShort(pairAt(j + p), ff, n));
                }
            }
            for (; j < len; ++j)
            {
                storeOne(j, ComplexForwardShort(oneAt(j), ff, n));
            }
            return;
        }
        for (; j + 2 <= len; j += 2)
        {
            _mm_store_ps(work + 2 * j, ComplexForwardLong(pairAt(j), ff, n));
        }
        if (j < len)
        {
            // The odd last output alone, tap by tap from the highest.
            __m128 acc = _mm_setzero_ps();
            for (int64_t k = n; k >= 0; --k)
            {
                const __m128 x = src.One(j + n - k);
                acc = Add(acc, Mul(x, _mm_load_ps(ff + 8 * k)));
                acc = Add(acc, Mul(Swap(x), _mm_load_ps(ff + 8 * k + 4)));
            }
            storeOne(j, acc);
        }
    }

    struct ComplexNoSink
    {
        void Two(int64_t, __m128) const {}
        void One(int64_t, __m128) const {}
    };

    // Both parts of each output times 2^-s, rounded in the current mode and packed with signed
    // saturation; a single output goes the same way, so steps and tails saturate alike.
    struct ComplexI16Sink
    {
        int16_t* dst; // complex output k at dst[2k]
        __m128 scale;
        void Two(int64_t k, __m128 y) const
        {
            const __m128i v = _mm_cvtps_epi32(Bounded16(_mm_mul_ps(y, scale)));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 2 * k), _mm_packs_epi32(v, v));
        }
        void One(int64_t k, __m128 y) const
        {
            const __m128i v = _mm_cvtps_epi32(Bounded16(_mm_mul_ps(y, scale)));
            const int32_t bits = _mm_cvtsi128_si32(_mm_packs_epi32(v, v));
            __builtin_memcpy(dst + 2 * k, &bits, sizeof(bits));
        }
    };

    // keepAll false (the 16-bit kernel below order 3): the steps keep their outputs in registers
    // and only the last step's second pair and the single outputs reach `out`.
    template <class Sink>
    static void ComplexFeedback(const float* work, float* out, int64_t len, const float* fb, int32_t n,
                                const Sink& sink, bool keepAll = true)
    {
        auto row = [&](int64_t d, int r) { return _mm_load_ps(fb + 16 * (d - 1) + 4 * r); };
        const float* u = fb + 16 * int64_t(n);
        // Y_d of a history value: its real part times the P row plus its imaginary part times Q.
        auto y = [&](const float* h, int64_t d, int half)
        { return Add(Mul(Splat(h[0]), row(d, 2 * half)), Mul(Splat(h[1]), row(d, 2 * half + 1))); };
        float h1[2] = {}, h2[2] = {}; // y[-1], y[-2] of orders 1 and 2
        if (n <= 2)
        {
            h1[0] = out[2 * (n - 1)], h1[1] = out[2 * (n - 1) + 1];
            if (n == 2)
            {
                h2[0] = out[0], h2[1] = out[1];
            }
        }
        int64_t j = 0;
        for (; j + 4 <= len; j += 4)
        {
            const __m128 w01 = _mm_load_ps(work + 2 * j), w23 = _mm_load_ps(work + 2 * j + 4);
            auto wRows = [&](__m128 w, int lane, const float* rows, int half)
            {
                const __m128 re = lane == 0 ? Lane<0>(w) : Lane<2>(w),
                             im = lane == 0 ? Lane<1>(w) : Lane<3>(w);
                return Add(Mul(re, _mm_load_ps(rows + 8 * half)), Mul(im, _mm_load_ps(rows + 8 * half + 4)));
            };
            const __m128 W = wRows(w01, 0, u, 0), Wp = wRows(w01, 0, u, 1);
            const __m128 Z1 = wRows(w01, 1, fb, 0), Z2 = wRows(w23, 0, u, 0);
            const __m128 M1 = HighPair(w01), M3 = HighPair(w23);
            __m128 lo, hi;
            if (n == 1)
            {
                lo = Add(Add(y(h1, 1, 0), W), M1);
                hi = Add(Add(Add(Add(y(h1, 1, 1), Wp), Z1), Z2), M3);
            }
            else if (n == 2)
            {
                lo = Add(Add(Add(y(h2, 2, 0), y(h1, 1, 0)), W), M1);
                hi = Add(Add(Add(Add(Add(y(h1, 1, 1), y(h2, 2, 1)), Wp), Z1), Z2), M3);
            }
            else
            {
                lo = _mm_setzero_ps(), hi = _mm_setzero_ps();
                const float* h = out + 2 * j; // y[-n] of this step, oldest first
                int64_t d = n;
                do
                {
                    lo = Add(lo, Add(y(h, d, 0), y(h + 2, d - 1, 0)));
                    hi = Add(hi, Add(y(h + 2, d - 1, 1), y(h, d, 1)));
                    h += 4;
                    d -= 2;
                } while (d >= 2);
                if (d == 1)
                {
                    lo = Add(lo, y(h, 1, 0));
                    hi = Add(hi, y(h, 1, 1));
                }
                lo = Add(Add(lo, W), M1);
                hi = Add(Add(Add(Add(hi, Wp), Z1), Z2), M3);
            }
            if (keepAll || n >= 3 || j + 8 > len)
            {
                if (keepAll || n >= 3)
                {
                    _mm_storeu_ps(out + 2 * (n + j), lo);
                }
                _mm_storeu_ps(out + 2 * (n + j + 2), hi);
            }
            sink.Two(n + j, lo);
            sink.Two(n + j + 2, hi);
            alignas(16) float v[4];
            _mm_store_ps(v, hi);
            h2[0] = v[0], h2[1] = v[1], h1[0] = v[2], h1[1] = v[3];
        }
        for (; j < len; ++j)
        {
            const float* at = out + 2 * (n + j); // at - 2d is y[-d]
            auto p = [&](int64_t d) { return Mul(Splat(at[-2 * d]), row(d, 0)); };
            auto q = [&](int64_t d) { return Mul(Splat(at[-2 * d + 1]), row(d, 1)); };
            const __m128 w =
                _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(work + 2 * j)));
            __m128 v;
            if (n == 1)
            {
                v = Add(p(1), Add(w, q(1)));
            }
            else if (n == 2)
            {
                v = Add(Add(p(1), p(2)), Add(w, Add(q(1), q(2))));
            }
            else
            {
                v = _mm_setzero_ps();
                for (int64_t d = n; d >= 1; --d)
                {
                    v = Add(v, Add(p(d), q(d)));
                }
                v = Add(v, w);
            }
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * (n + j)), _mm_castps_si128(v));
            sink.One(n + j, v);
        }
    }

    // ---- One-sample steps ----

    // Transposed direct form II; the last delay word reads the always-zero z[n]. The updates
    // go in ascending order, four at a time, so each reads the old z[i + 1].
    static void DirectOne(const float* x, float* y, SpIirState* s)
    {
        const int32_t n = s->Count;
        const float* b = s->Taps;
        const float* a = s->Taps + n;
        float* z = s->Delay;
        const float in = *x;
        if (n == 0)
        {
            *y = in * b[0];
            return;
        }
        const float out = b[0] * in + z[0];
        const __m128 vin = Splat(in), vout = Splat(out);
        int32_t i = 0;
        for (; i + 4 <= n; i += 4)
        {
            const __m128 t =
                _mm_sub_ps(Mul(_mm_loadu_ps(b + i + 1), vin), Mul(_mm_loadu_ps(a + i + 1), vout));
            _mm_storeu_ps(z + i, Add(t, _mm_loadu_ps(z + i + 1)));
        }
        for (; i < n; ++i)
        {
            z[i] = (b[i + 1] * in - a[i + 1] * out) + z[i + 1];
        }
        *y = out;
    }

    // Every section in turn, with the one-sample table's negated feedback factors.
    static void BiquadOne(const float* x, float* y, SpIirState* s)
    {
        float v = *x;
        const float* c = s->OneSample;
        float* z = s->Delay;
        for (int32_t k = 0; k < s->Sections; ++k, c += 8, z += 2)
        {
            const float out = c[0] * v + z[0];
            z[0] = (c[1] * v + z[1]) + c[4] * out;
            z[1] = (c[2] * v) + c[5] * out;
            v = out;
        }
        *y = v;
    }

    // ---- The chunk walk ----

    static void DirectChunk(const float* x, float* y, int32_t len, SpIirState* s)
    {
        const int32_t n = s->Count;
        if (len <= 4 * n)
        {
            for (int32_t i = 0; i < len; ++i)
            {
                DirectOne(x + i, y + i, s);
            }
            return;
        }
        const float* b = s->Taps;
        const float* a = s->Taps + n;
        float* z = s->Delay;
        FeedForward(FloatSource{x}, s->Work, int64_t(len - n), s->FfLanes, n);
        for (int32_t i = 0; i < n; ++i)
        {
            DirectOne(x + i, y + i, s);
        }
        for (int32_t j = 0; j < n; ++j)
        {
            float acc = 0.0f;
            for (int32_t m = 0; m < n - j; ++m)
            {
                acc += b[n - m] * x[len - n + j + m];
            }
            z[j] = acc;
        }
        Feedback(s->Work, y, int64_t(len - n), s->FbLanes, n, NoSink{});
        for (int32_t j = 0; j < n; ++j)
        {
            for (int32_t m = 0; m < n - j; ++m)
            {
                z[j] -= a[n - m] * y[len - n + j + m];
            }
        }
    }

    static void BiquadChunk(const float* x, float* y, int32_t len, SpIirState* s)
    {
        const int32_t sections = s->Sections;
        if (len <= 4 * sections)
        {
            for (int32_t i = 0; i < len; ++i)
            {
                BiquadOne(x + i, y + i, s);
            }
            return;
        }
        for (int32_t k = 0; k < sections; ++k)
        {
            const float* u = k == 0 ? x : y;
            const float* c = s->Taps + 5 * k;
            const float* ff = s->FfLanes + 12 * k;
            const float* fb = s->FbLanes + 20 * k;
            float* z = s->Delay + 2 * k;
            BiquadFeedForwardAny(FloatSource{u}, s->Work, int64_t(len - 2), ff);
            const float u0 = u[0], u1 = u[1];
            const float y0 = c[0] * u0 + z[0];
            const float y1 = ((z[1] - c[3] * y0) + c[0] * u1) + c[1] * u0;
            const float z0 = ff[8] * u[len - 2] + ff[4] * u[len - 1];
            const float z1 = ff[8] * u[len - 1];
            y[0] = y0;
            y[1] = y1;
            Feedback(s->Work, y, int64_t(len - 2), fb, 2, NoSink{});
            z[0] = (fb[4] * y[len - 2] + fb[0] * y[len - 1]) + z0;
            z[1] = fb[4] * y[len - 1] + z1;
        }
    }

    // A record this level can filter: laid out by this level, with the tables its tag needs.
    static bool Filterable(const SpIirState* s)
    {
        if (s->Level != kLevel || !s->Taps || !s->Delay)
        {
            return false;
        }
        if (s->Tag == SpIirTagDirect)
        {
            return s->Count >= 0 && s->FfLanes && s->FbLanes && s->Work;
        }
        return s->Sections == 0 || (s->Sections > 0 && s->FfLanes && s->FbLanes && s->OneSample && s->Work);
    }

    static SpStatus Filter(const float* src, float* dst, int32_t len, SpIirState* s, MulConstFn mulConst)
    {
        if (!s || !src || !dst)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        if ((s->Tag != SpIirTagDirect && s->Tag != SpIirTagBiquad) || !Filterable(s))
        {
            return SpErrStateMismatch;
        }
        for (int32_t done = 0; done < len;)
        {
            const int32_t m = len - done < SpIirBlockChunk ? len - done : SpIirBlockChunk;
            const float* x = src + done;
            float* y = dst + done;
            if (s->Tag == SpIirTagDirect && s->Count == 0)
            {
                mulConst(x, s->FfLanes[0], y, m);
            }
            else if (s->Tag == SpIirTagDirect)
            {
                DirectChunk(x, y, m, s);
            }
            else if (s->Sections == 0)
            {
                // No sections is the identity filter.
                if (x != y)
                {
                    for (int32_t i = 0; i < m; ++i)
                    {
                        y[i] = x[i];
                    }
                }
            }
            else
            {
                BiquadChunk(x, y, m, s);
            }
            done += m;
        }
        return SpOk;
    }
};
