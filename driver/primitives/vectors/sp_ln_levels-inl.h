// Float natural-logarithm kernel of the level builds, written once and instantiated by each
// level's build file. x = m 2^e with m within a factor sqrt(2) of 1; ln x = 2 artanh(s) + e ln 2
// with s = (m - 1) / (m + 1), the series cut after s^9. From 32 elements on, blocks of 8 share
// one division between elements i and i + 4 and run in two passes over a caller's work buffer
// (exponents and quotients first, then the series), so a result's last bit can depend on its
// block partner. Lanes whose exponent leaves the window [-62, 63] are looked at one by one:
// zero, negative, infinite, NaN and denormal inputs get their fixed or exact values there.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

template <class P> struct SpLnKernels
{
    static constexpr int32_t kShortBelow = 32;

    static __m128 F(uint32_t bits) { return _mm_castsi128_ps(_mm_set1_epi32(int32_t(bits))); }
    static __m128i I(uint32_t bits) { return _mm_set1_epi32(int32_t(bits)); }

    // Exponent e and mantissa m of every lane (any bit pattern gives an m within [0.707, 1.415)).
    static __m128 Split(__m128 x, __m128i* e)
    {
        const __m128i b = _mm_castps_si128(x);
        const __m128i k = _mm_srai_epi32(_mm_sub_epi32(_mm_and_si128(b, I(0xFF800000u)), I(0x3F000000u)), 23);
        const __m128i fraction = _mm_and_si128(b, I(0x007FFFFFu));
        const __m128i low = _mm_cmplt_epi32(fraction, I(0x003504F2u));
        *e = _mm_add_epi32(k, low);
        const __m128i exponent =
            _mm_or_si128(_mm_and_si128(low, I(0x3F800000u)), _mm_andnot_si128(low, I(0x3F000000u)));
        return _mm_castsi128_ps(_mm_or_si128(fraction, exponent));
    }

    static __m128 Series(__m128 s, __m128i e)
    {
        const __m128 z = _mm_mul_ps(s, s);
        __m128 p = _mm_add_ps(_mm_mul_ps(F(0x3E7353DAu), z), F(0x3E920CCAu));
        p = _mm_add_ps(_mm_mul_ps(p, z), F(0x3ECCCD95u));
        p = _mm_add_ps(_mm_mul_ps(p, z), F(0x3F2AAAAAu));
        p = _mm_add_ps(_mm_mul_ps(p, z), F(0x40000000u));
        return _mm_add_ps(_mm_mul_ps(p, s), _mm_mul_ps(_mm_cvtepi32_ps(e), F(0x3F317218u)));
    }

    // Lanes whose exponent is outside the window.
    static int32_t Flagged(__m128i e)
    {
        return _mm_movemask_ps(_mm_castsi128_ps(
            _mm_or_si128(_mm_cmplt_epi32(e, _mm_set1_epi32(-62)), _mm_cmpgt_epi32(e, _mm_set1_epi32(63)))));
    }

    // A group of up to four with its own division.
    static __m128 Group(__m128 x)
    {
        __m128i e;
        const __m128 m = Split(x, &e);
        const __m128 one = _mm_set1_ps(1.0f);
        return Series(_mm_div_ps(_mm_sub_ps(m, one), _mm_add_ps(m, one)), e);
    }

    // The value of one flagged element from its input bits; `computed` is its lane's result.
    static float Special(uint32_t bits, float computed, int32_t* code)
    {
        uint32_t out;
        int32_t c = 0;
        if (bits == 0)
        {
            out = 0xFF800000u;
            c = 2;
        }
        else if (bits & 0x80000000u)
        {
            out = 0xFFC00000u;
            c = 4;
        }
        else if (bits > 0x7F800000u)
        {
            out = bits | 0x00400000u; // a NaN comes back quiet, payload kept
        }
        else if (bits == 0x7F800000u)
        {
            out = bits;
        }
        else if (bits < 0x00800000u)
        {
            // A denormal: scaled by 2^24 into the normal range, the same method, 24 ln 2 back.
            float x;
            const uint32_t scaled = bits;
            memcpy(&x, &scaled, 4);
            const __m128 v = _mm_mul_ss(_mm_set_ss(x), _mm_set_ss(16777216.0f));
            __m128i e;
            const __m128 m = Split(v, &e);
            const __m128 one = _mm_set1_ps(1.0f);
            const __m128 r =
                Series(_mm_div_ps(_mm_sub_ps(m, one), _mm_add_ps(m, one)), _mm_sub_epi32(e, I(24)));
            return _mm_cvtss_f32(r);
        }
        else
        {
            return computed; // a positive normal far from 1: its computed value
        }
        if (*code == 0)
        {
            *code = c;
        }
        float f;
        memcpy(&f, &out, 4);
        return f;
    }

    // Writes `count` results at dst from the inputs at src (read before dst is written).
    static void Store(const float* src, float* dst, int32_t count, const float* results, int32_t flagged,
                      int32_t* code)
    {
        float out[8];
        memcpy(out, results, sizeof(float) * size_t(count));
        if (flagged != 0)
        {
            for (int32_t k = 0; k < count; ++k)
            {
                if (flagged & (1 << k))
                {
                    uint32_t bits;
                    memcpy(&bits, src + k, 4);
                    out[k] = Special(bits, results[k], code);
                }
            }
        }
        memcpy(dst, out, sizeof(float) * size_t(count));
    }

    static void Short(const float* src, float* dst, int32_t n, int32_t* code)
    {
        for (int32_t i = 0; i < n; i += 4)
        {
            const int32_t count = n - i < 4 ? n - i : 4;
            float in[4] = {1.0f, 1.0f, 1.0f, 1.0f}, results[4];
            memcpy(in, src + i, sizeof(float) * size_t(count));
            const __m128 x = _mm_loadu_ps(in);
            __m128i e;
            Split(x, &e);
            _mm_storeu_ps(results, Group(x));
            Store(src + i, dst + i, count, results, Flagged(e) & ((1 << count) - 1), code);
        }
    }

    // In place, with `work` (16-byte aligned) holding 8 bytes per element of the block part.
    static int32_t InPlace(float* x, int32_t n, void* work)
    {
        int32_t code = 0;
        if (n < kShortBelow || (reinterpret_cast<uintptr_t>(x) & 3) != 0)
        {
            Short(x, x, n, &code);
            return code;
        }
        const int32_t peel = int32_t(((16 - (reinterpret_cast<uintptr_t>(x) & 15)) & 15) / 4);
        Short(x, x, peel, &code);
        float* p = x + peel;
        const int32_t blockPart = (n - peel) / 8 * 8;
        __m128i* exponents = static_cast<__m128i*>(work);
        __m128* quotients = reinterpret_cast<__m128*>(exponents + blockPart / 4);
        const __m128 one = _mm_set1_ps(1.0f);
        for (int32_t b = 0; b < blockPart; b += 8)
        {
            __m128i ea, eb;
            const __m128 ma = Split(_mm_load_ps(p + b), &ea);
            const __m128 mb = Split(_mm_load_ps(p + b + 4), &eb);
            const __m128 pa = _mm_add_ps(ma, one), pb = _mm_add_ps(mb, one);
            const __m128 d = _mm_div_ps(one, _mm_mul_ps(pa, pb));
            _mm_store_si128(exponents + b / 4, ea);
            _mm_store_si128(exponents + b / 4 + 1, eb);
            _mm_store_ps(reinterpret_cast<float*>(quotients + b / 4),
                         _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(ma, one), pb), d));
            _mm_store_ps(reinterpret_cast<float*>(quotients + b / 4 + 1),
                         _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(mb, one), pa), d));
        }
        for (int32_t b = 0; b < blockPart; b += 8)
        {
            const __m128i ea = _mm_load_si128(exponents + b / 4), eb = _mm_load_si128(exponents + b / 4 + 1);
            const __m128 ra = Series(_mm_load_ps(reinterpret_cast<const float*>(quotients + b / 4)), ea);
            const __m128 rb = Series(_mm_load_ps(reinterpret_cast<const float*>(quotients + b / 4 + 1)), eb);
            const int32_t flagged = Flagged(ea) | Flagged(eb) << 4;
            if (flagged == 0)
            {
                _mm_store_ps(p + b, ra);
                _mm_store_ps(p + b + 4, rb);
            }
            else
            {
                float results[8];
                _mm_storeu_ps(results, ra);
                _mm_storeu_ps(results + 4, rb);
                Store(p + b, p + b, 8, results, flagged, &code);
            }
        }
        Short(p + blockPart, p + blockPart, n - peel - blockPart, &code);
        return code;
    }
};
