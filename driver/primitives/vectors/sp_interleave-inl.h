// Kernels of interleave and de-interleave of 32-bit channel buffers, written once for every
// level: each level's build file instantiates SpInterleaveKernels<its parameter block>. The
// words are moved unread, through float registers only as containers, so any 32-bit sample
// format passes bit for bit.
#pragma once

#include <emmintrin.h>
#include <string.h>

#include "driver/primitives/vectors/sp_convert.h"

template <class P> struct SpInterleaveKernels
{
    // Transposes four channels of four frames: rows in a..d become frames out.
    static void Transpose4(__m128& a, __m128& b, __m128& c, __m128& d)
    {
        const __m128 t0 = _mm_unpacklo_ps(a, b);
        const __m128 t1 = _mm_unpackhi_ps(a, b);
        const __m128 t2 = _mm_unpacklo_ps(c, d);
        const __m128 t3 = _mm_unpackhi_ps(c, d);
        a = _mm_movelh_ps(t0, t2);
        b = _mm_movehl_ps(t2, t0);
        c = _mm_movelh_ps(t1, t3);
        d = _mm_movehl_ps(t3, t1);
    }

    static bool Misaligned(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) != 0; }

    // Frames [0, n) of channels [c0, c0 + 4) into an interleaved buffer of `stride` words.
    static void InterleaveQuad(const float* const* channels, int32_t c0, int32_t stride, int32_t frames,
                               float* dst)
    {
        const float* s0 = channels[c0];
        const float* s1 = channels[c0 + 1];
        const float* s2 = channels[c0 + 2];
        const float* s3 = channels[c0 + 3];
        int32_t f = 0;
        for (; f + 4 <= frames; f += 4)
        {
            __m128 a = _mm_loadu_ps(s0 + f), b = _mm_loadu_ps(s1 + f), c = _mm_loadu_ps(s2 + f),
                   d = _mm_loadu_ps(s3 + f);
            Transpose4(a, b, c, d);
            float* out = dst + static_cast<intptr_t>(f) * stride + c0;
            _mm_storeu_ps(out, a);
            _mm_storeu_ps(out + stride, b);
            _mm_storeu_ps(out + 2 * stride, c);
            _mm_storeu_ps(out + 3 * stride, d);
        }
        for (; f < frames; ++f)
        {
            float* out = dst + static_cast<intptr_t>(f) * stride + c0;
            out[0] = s0[f];
            out[1] = s1[f];
            out[2] = s2[f];
            out[3] = s3[f];
        }
    }

    static void DeinterleaveQuad(const float* src, int32_t c0, int32_t stride, int32_t frames,
                                 float* const* channels)
    {
        float* d0 = channels[c0];
        float* d1 = channels[c0 + 1];
        float* d2 = channels[c0 + 2];
        float* d3 = channels[c0 + 3];
        int32_t f = 0;
        for (; f + 4 <= frames; f += 4)
        {
            const float* in = src + static_cast<intptr_t>(f) * stride + c0;
            __m128 a = _mm_loadu_ps(in), b = _mm_loadu_ps(in + stride), c = _mm_loadu_ps(in + 2 * stride),
                   d = _mm_loadu_ps(in + 3 * stride);
            Transpose4(a, b, c, d);
            _mm_storeu_ps(d0 + f, a);
            _mm_storeu_ps(d1 + f, b);
            _mm_storeu_ps(d2 + f, c);
            _mm_storeu_ps(d3 + f, d);
        }
        for (; f < frames; ++f)
        {
            const float* in = src + static_cast<intptr_t>(f) * stride + c0;
            d0[f] = in[0];
            d1[f] = in[1];
            d2[f] = in[2];
            d3[f] = in[3];
        }
    }

    // Eight frames a step: two vectors of each channel paired element by element into four
    // vectors of frames. Aligned accesses when all three buffers are 16-byte aligned, chosen once.
    template <bool Aligned>
    static void InterleavePairSteps(const float* s0, const float* s1, float* dst, int64_t& f, int64_t frames)
    {
        for (; frames - f >= 8; f += 8)
        {
            const __m128 a0 = Aligned ? _mm_load_ps(s0 + f) : _mm_loadu_ps(s0 + f);
            const __m128 a1 = Aligned ? _mm_load_ps(s0 + f + 4) : _mm_loadu_ps(s0 + f + 4);
            const __m128 b0 = Aligned ? _mm_load_ps(s1 + f) : _mm_loadu_ps(s1 + f);
            const __m128 b1 = Aligned ? _mm_load_ps(s1 + f + 4) : _mm_loadu_ps(s1 + f + 4);
            float* out = dst + 2 * f;
            if (Aligned)
            {
                _mm_store_ps(out, _mm_unpacklo_ps(a0, b0));
                _mm_store_ps(out + 4, _mm_unpackhi_ps(a0, b0));
                _mm_store_ps(out + 8, _mm_unpacklo_ps(a1, b1));
                _mm_store_ps(out + 12, _mm_unpackhi_ps(a1, b1));
            }
            else
            {
                _mm_storeu_ps(out, _mm_unpacklo_ps(a0, b0));
                _mm_storeu_ps(out + 4, _mm_unpackhi_ps(a0, b0));
                _mm_storeu_ps(out + 8, _mm_unpacklo_ps(a1, b1));
                _mm_storeu_ps(out + 12, _mm_unpackhi_ps(a1, b1));
            }
        }
    }

    // Words move by bytes one at a time: the buffers need not even be float-aligned.
    static void CopyWord(float* to, const float* from) { memcpy(to, from, sizeof(float)); }

    static void InterleavePair(const float* s0, const float* s1, float* dst, int64_t frames)
    {
        int64_t f = 0;
        if (Misaligned(s0) || Misaligned(s1) || Misaligned(dst))
        {
            InterleavePairSteps<false>(s0, s1, dst, f, frames);
        }
        else
        {
            InterleavePairSteps<true>(s0, s1, dst, f, frames);
        }
        for (; f < frames; ++f)
        {
            CopyWord(dst + 2 * f, s0 + f);
            CopyWord(dst + 2 * f + 1, s1 + f);
        }
    }

    // Four frames a half step, two per step: 32 bytes of frames split into a vector of each
    // channel. Aligned accesses when all three buffers are 16-byte aligned, chosen once.
    template <bool Aligned>
    static void DeinterleavePairSteps(const float* src, float* d0, float* d1, int64_t& f, int64_t frames)
    {
        for (; frames - f >= 8; f += 8)
        {
            const float* in = src + 2 * f;
            const __m128 a = Aligned ? _mm_load_ps(in) : _mm_loadu_ps(in);
            const __m128 b = Aligned ? _mm_load_ps(in + 4) : _mm_loadu_ps(in + 4);
            const __m128 c = Aligned ? _mm_load_ps(in + 8) : _mm_loadu_ps(in + 8);
            const __m128 d = Aligned ? _mm_load_ps(in + 12) : _mm_loadu_ps(in + 12);
            const __m128 l0 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 r0 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
            const __m128 l1 = _mm_shuffle_ps(c, d, _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 r1 = _mm_shuffle_ps(c, d, _MM_SHUFFLE(3, 1, 3, 1));
            if (Aligned)
            {
                _mm_store_ps(d0 + f, l0);
                _mm_store_ps(d0 + f + 4, l1);
                _mm_store_ps(d1 + f, r0);
                _mm_store_ps(d1 + f + 4, r1);
            }
            else
            {
                _mm_storeu_ps(d0 + f, l0);
                _mm_storeu_ps(d0 + f + 4, l1);
                _mm_storeu_ps(d1 + f, r0);
                _mm_storeu_ps(d1 + f + 4, r1);
            }
        }
        for (; frames - f >= 4; f += 4)
        {
            const __m128 a = _mm_loadu_ps(src + 2 * f);
            const __m128 b = _mm_loadu_ps(src + 2 * f + 4);
            _mm_storeu_ps(d0 + f, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
            _mm_storeu_ps(d1 + f, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        }
    }

    static void DeinterleavePair(const float* src, float* d0, float* d1, int64_t frames)
    {
        int64_t f = 0;
        if (Misaligned(src) || Misaligned(d0) || Misaligned(d1))
        {
            DeinterleavePairSteps<false>(src, d0, d1, f, frames);
        }
        else
        {
            DeinterleavePairSteps<true>(src, d0, d1, f, frames);
        }
        for (; f < frames; ++f)
        {
            CopyWord(d0 + f, src + 2 * f);
            CopyWord(d1 + f, src + 2 * f + 1);
        }
    }

    static SpStatus Interleave(const float* const* channels, int32_t channelCount, int32_t frames, float* dst)
    {
        if (channels == nullptr || dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (channelCount < 1)
        {
            return SpErrChannelCount;
        }
        if (frames < 1)
        {
            return SpErrBadLength;
        }
        bool misaligned = Misaligned(dst);
        for (int32_t c = 0; c < channelCount; ++c)
        {
            if (channels[c] == nullptr)
            {
                return SpErrNullPointer;
            }
            misaligned = misaligned || Misaligned(channels[c]);
        }
        if (channelCount == 1)
        {
            memmove(dst, channels[0], static_cast<size_t>(frames) * sizeof(float));
        }
        else if (channelCount == 2)
        {
            InterleavePair(channels[0], channels[1], dst, frames);
        }
        else
        {
            int32_t c = 0;
            for (; c + 4 <= channelCount; c += 4)
            {
                InterleaveQuad(channels, c, channelCount, frames, dst);
            }
            for (; c < channelCount; ++c)
            {
                const float* s = channels[c];
                for (int32_t f = 0; f < frames; ++f)
                {
                    dst[static_cast<intptr_t>(f) * channelCount + c] = s[f];
                }
            }
        }
        return misaligned ? SpWarnMisaligned : SpOk;
    }

    static SpStatus Deinterleave(const float* src, int32_t channelCount, int32_t frames,
                                 float* const* channels)
    {
        if (src == nullptr || channels == nullptr)
        {
            return SpErrNullPointer;
        }
        if (channelCount < 1)
        {
            return SpErrChannelCount;
        }
        if (frames < 1)
        {
            return SpErrBadLength;
        }
        bool misaligned = Misaligned(src);
        for (int32_t c = 0; c < channelCount; ++c)
        {
            if (channels[c] == nullptr)
            {
                return SpErrNullPointer;
            }
            misaligned = misaligned || Misaligned(channels[c]);
        }
        if (channelCount == 1)
        {
            memmove(channels[0], src, static_cast<size_t>(frames) * sizeof(float));
        }
        else if (channelCount == 2)
        {
            DeinterleavePair(src, channels[0], channels[1], frames);
        }
        else
        {
            int32_t c = 0;
            for (; c + 4 <= channelCount; c += 4)
            {
                DeinterleaveQuad(src, c, channelCount, frames, channels);
            }
            for (; c < channelCount; ++c)
            {
                float* d = channels[c];
                for (int32_t f = 0; f < frames; ++f)
                {
                    d[f] = src[static_cast<intptr_t>(f) * channelCount + c];
                }
            }
        }
        return misaligned ? SpWarnMisaligned : SpOk;
    }
};
