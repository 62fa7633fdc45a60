// The IIR filter of the level builds, written once: the one-sample steps, the direct-form and
// biquad block passes and the chunk walk that joins them. A chunk longer than four times the
// order (four times the section count) is split into a vectorised feed-forward pass into the
// state's work area, a short one-sample start and a feedback pass four outputs at a time; the
// delay line is then rebuilt from the chunk's last inputs and outputs. Each pass reads every
// input it needs before the outputs that could overlap it are written, so in place is exact.
// Results equal the generic build's up to rounding. No pass stores non-temporally.
#pragma once

#include <emmintrin.h>
#include <stdint.h>

#include "driver/primitives/filters/sp_iir_internal.h"

template <class P> struct SpIirKernels
{
    static constexpr int32_t kLevel = P::kLevel;

    static __m128 Splat(float v) { return _mm_set1_ps(v); }
    template <int L> static __m128 Lane(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(L, L, L, L)); }

    // Transposed direct form II, one sample; the last delay word reads the always-zero z[n].
    static void DirectOne(const float* x, float* y, SpIirState* s)
    {
        const int32_t n = s->Count;
        const float* b = s->Taps;
        const float* a = s->Taps + n;
        float* z = s->Delay;
        const float in = *x;
        const float out = b[0] * in + z[0];
        for (int32_t i = 0; i < n; ++i)
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

    // work[j] = sum over m = 0..n of b(n-m) x[j+m], four outputs a vector, taps in fours.
    static void DirectFeedForward(const float* x, float* work, int64_t len, const float* ff, int32_t n)
    {
        const int64_t taps = int64_t(n) + 1;
        int64_t j = 0;
        for (; j + 4 <= len; j += 4)
        {
            __m128 acc = _mm_setzero_ps();
            int64_t i = 0;
            for (; i + 4 <= taps; i += 4)
            {
                const __m128 p0 = _mm_mul_ps(_mm_load_ps(ff + 4 * (n - i)), _mm_loadu_ps(x + j + i));
                const __m128 p1 = _mm_mul_ps(_mm_load_ps(ff + 4 * (n - i - 1)), _mm_loadu_ps(x + j + i + 1));
                const __m128 p2 = _mm_mul_ps(_mm_load_ps(ff + 4 * (n - i - 2)), _mm_loadu_ps(x + j + i + 2));
                const __m128 p3 = _mm_mul_ps(_mm_load_ps(ff + 4 * (n - i - 3)), _mm_loadu_ps(x + j + i + 3));
                acc = _mm_add_ps(acc, _mm_add_ps(_mm_add_ps(p0, p1), _mm_add_ps(p2, p3)));
            }
            for (; i < taps; ++i)
            {
                acc = _mm_add_ps(acc, _mm_mul_ps(_mm_load_ps(ff + 4 * (n - i)), _mm_loadu_ps(x + j + i)));
            }
            _mm_store_ps(work + j, acc);
        }
        for (; j < len; ++j)
        {
            float acc = 0.0f;
            for (int64_t m = 0; m < taps; ++m)
            {
                acc += ff[4 * (n - m)] * x[j + m];
            }
            work[j] = acc;
        }
    }

    // The w terms of a group: w[t]·row n + w[t+1]·row n+1 + w[t+2]·row n+2 + (0, 0, 0, w[t+3]).
    static __m128 WTerms(__m128 w, const float* rows)
    {
        const __m128 w0 = _mm_mul_ps(Lane<0>(w), _mm_load_ps(rows));
        const __m128 w1 = _mm_mul_ps(Lane<1>(w), _mm_load_ps(rows + 4));
        const __m128 w2 = _mm_mul_ps(Lane<2>(w), _mm_load_ps(rows + 8));
        const __m128 w3 = _mm_and_ps(w, _mm_castsi128_ps(_mm_set_epi32(-1, 0, 0, 0)));
        return _mm_add_ps(_mm_add_ps(w0, w1), _mm_add_ps(w2, w3));
    }

    // out[n + j] = work[j] + sum over k = 1..n of dk out[n + j - k]; out[0 .. n-1] hold the history.
    static void DirectFeedback(const float* work, float* out, int64_t len, const float* fb, int32_t n)
    {
        int64_t j = 0;
        for (; j + 4 <= len; j += 4)
        {
            const float* h = out + j; // y[t-n] .. y[t-1], oldest first; y[t-1-i] takes row i
            __m128 acc = _mm_setzero_ps();
            int64_t k = 0;
            for (; k + 4 <= n; k += 4)
            {
                const __m128 h0 = _mm_mul_ps(Splat(h[k]), _mm_load_ps(fb + 4 * (n - 1 - k)));
                const __m128 h1 = _mm_mul_ps(Splat(h[k + 1]), _mm_load_ps(fb + 4 * (n - 2 - k)));
                const __m128 h2 = _mm_mul_ps(Splat(h[k + 2]), _mm_load_ps(fb + 4 * (n - 3 - k)));
                const __m128 h3 = _mm_mul_ps(Splat(h[k + 3]), _mm_load_ps(fb + 4 * (n - 4 - k)));
                acc = _mm_add_ps(acc, _mm_add_ps(_mm_add_ps(h0, h1), _mm_add_ps(h2, h3)));
            }
            for (; k < n; ++k)
            {
                acc = _mm_add_ps(acc, _mm_mul_ps(Splat(h[k]), _mm_load_ps(fb + 4 * (n - 1 - k))));
            }
            acc = _mm_add_ps(acc, WTerms(_mm_load_ps(work + j), fb + 4 * int64_t(n)));
            _mm_storeu_ps(out + n + j, acc);
        }
        for (; j < len; ++j)
        {
            float acc = 0.0f;
            for (int32_t k = n; k >= 1; --k)
            {
                acc += fb[4 * (k - 1)] * out[n + j - k];
            }
            out[n + j] = acc + work[j];
        }
    }

    // work[j] = (b2 src[j] + b1 src[j+1]) + b0 src[j+2]; work may have any alignment here.
    static void BiquadFeedForward(const float* x, float* work, int64_t len, const float* ff)
    {
        const __m128 b0 = _mm_load_ps(ff), b1 = _mm_load_ps(ff + 4), b2 = _mm_load_ps(ff + 8);
        int64_t j = 0;
        for (; j + 4 <= len; j += 4)
        {
            const __m128 v = _mm_add_ps(
                _mm_add_ps(_mm_mul_ps(b2, _mm_loadu_ps(x + j)), _mm_mul_ps(b1, _mm_loadu_ps(x + j + 1))),
                _mm_mul_ps(b0, _mm_loadu_ps(x + j + 2)));
            _mm_storeu_ps(work + j, v);
        }
        for (; j < len; ++j)
        {
            work[j] = (ff[8] * x[j] + ff[4] * x[j + 1]) + ff[0] * x[j + 2];
        }
    }

    // out[2 + j] = work[j] + d1 out[1 + j] + d2 out[j], the history carried in registers.
    static void BiquadFeedback(const float* work, float* out, int64_t len, const float* fb)
    {
        const __m128 r0 = _mm_load_ps(fb), r1 = _mm_load_ps(fb + 4);
        float y2 = out[0], y1 = out[1];
        int64_t j = 0;
        for (; j + 4 <= len; j += 4)
        {
            const __m128 q = _mm_add_ps(_mm_mul_ps(Splat(y2), r1), _mm_mul_ps(Splat(y1), r0));
            const __m128 y = _mm_add_ps(q, WTerms(_mm_load_ps(work + j), fb + 8));
            _mm_storeu_ps(out + 2 + j, y);
            y2 = _mm_cvtss_f32(Lane<2>(y));
            y1 = _mm_cvtss_f32(Lane<3>(y));
        }
        for (; j < len; ++j)
        {
            const float y = (work[j] + fb[4] * y2) + fb[0] * y1;
            out[2 + j] = y;
            y2 = y1;
            y1 = y;
        }
    }

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
        DirectFeedForward(x, s->Work, int64_t(len - n), s->FfLanes, n);
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
        DirectFeedback(s->Work, y, int64_t(len - n), s->FbLanes, n);
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
            BiquadFeedForward(u, s->Work, int64_t(len - 2), ff);
            const float u0 = u[0], u1 = u[1];
            const float y0 = c[0] * u0 + z[0];
            const float y1 = ((z[1] - c[3] * y0) + c[0] * u1) + c[1] * u0;
            const float z0 = ff[8] * u[len - 2] + ff[4] * u[len - 1];
            const float z1 = ff[8] * u[len - 1];
            y[0] = y0;
            y[1] = y1;
            BiquadFeedback(s->Work, y, int64_t(len - 2), fb);
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

    static SpStatus Filter(const float* src, float* dst, int32_t len, SpIirState* s)
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
                const float b0 = s->FfLanes[0];
                for (int32_t i = 0; i < m; ++i)
                {
                    y[i] = x[i] * b0;
                }
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
