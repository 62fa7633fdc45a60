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
            const __m128i v = _mm_cvtps_epi32(_mm_mul_ps(y, scale));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + k), _mm_packs_epi32(v, v));
        }
        void One(int64_t k, float y) const
        {
            const int32_t v = _mm_cvtss_si32(_mm_mul_ss(_mm_set_ss(y), scale));
            dst[k] = int16_t(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
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
