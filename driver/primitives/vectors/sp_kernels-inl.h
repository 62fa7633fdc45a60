// The conversion kernels that every level build carries beside its table entries: widening and
// narrowing between floats, doubles, halves and 8-, 16-, 24-, 32- and 64-bit integers, with
// power-of-two scales, three rounding rules and saturation. Written once; each level's body
// instantiates SpLevelKernels<its parameter block>. The kernels trust their arguments (non-null
// pointers, a count of at least 1): their callers check.
//
// Rounding that depends on the processor's mode goes through the conversion instructions
// (cvtss2si, cvtsd2si, cvtsd2ss, cvtsi2ss), never through C casts, so the caller's MXCSR
// rounding control applies where a kernel says it does.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/vectors/sp_convert-inl.h"

template <class P> struct SpLevelKernels
{
    static constexpr unsigned kInvalid = 0x0001u;
    static constexpr unsigned kDaz = 0x0040u;
    static constexpr unsigned kRounding = 0x6000u;

    static uint32_t Bits(float x)
    {
        uint32_t b;
        memcpy(&b, &x, 4);
        return b;
    }
    static float Float(uint32_t b)
    {
        float x;
        memcpy(&x, &b, 4);
        return x;
    }
    // Element access by bytes: callers may hand over buffers that are only 2-byte aligned.
    template <typename T> static T Get(const T* p)
    {
        T v;
        memcpy(&v, p, sizeof(T));
        return v;
    }
    template <typename T, typename V> static void Put(T* p, V v)
    {
        const T t = T(v);
        memcpy(p, &t, sizeof(T));
    }
    static bool Misaligned16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) != 0; }
    static bool Misaligned4(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 3) != 0; }
    // Reads ahead of the source at the levels that prefetch; never changes a result.
    static void Prefetch(const void* p)
    {
        if constexpr (P::kPrefetchAhead > 0)
            _mm_prefetch(static_cast<const char*>(p) + P::kPrefetchAhead, _MM_HINT_T0);
    }
    static uint64_t Bits64(double x)
    {
        uint64_t b;
        memcpy(&b, &x, 8);
        return b;
    }

    // min/max with the processor's rule: a NaN in either operand gives the second operand.
    static float MinSs(float v, float bound)
    {
        return _mm_cvtss_f32(_mm_min_ss(_mm_set_ss(v), _mm_set_ss(bound)));
    }
    static float MaxSs(float v, float bound)
    {
        return _mm_cvtss_f32(_mm_max_ss(_mm_set_ss(v), _mm_set_ss(bound)));
    }
    static double MinSd(double v, double bound)
    {
        return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(v), _mm_set_sd(bound)));
    }
    static double MaxSd(double v, double bound)
    {
        return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(v), _mm_set_sd(bound)));
    }
    // Float to int32: by the current mode, or truncated; out of range and NaN give INT32_MIN.
    static int32_t Cvt(float v, bool nearest)
    {
        return nearest ? _mm_cvtss_si32(_mm_set_ss(v)) : _mm_cvttss_si32(_mm_set_ss(v));
    }
    static int32_t CvtD(double v, bool nearest)
    {
        return nearest ? _mm_cvtsd_si32(_mm_set_sd(v)) : _mm_cvttsd_si32(_mm_set_sd(v));
    }
    static int32_t Sat(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }
    static int32_t Sat(int64_t v, int32_t lo, int32_t hi)
    {
        return v < lo ? lo : (v > hi ? hi : static_cast<int32_t>(v));
    }

    // 2^-scale by repeated halving or doubling in single precision, under the caller's mode:
    // exact from -127 to 149, 0 above, +inf below -127 (round to nearest). Every mode reaches a
    // fixed point within 300 steps (0, the smallest denormal, +inf or the largest float), so the
    // scale is bounded there: the same factor, and no call runs for billions of steps.
    static float ScaleFactor(int32_t scale)
    {
        const int32_t s = scale < -300 ? -300 : (scale > 300 ? 300 : scale);
        float f = 1.0f;
        for (int32_t i = 0; i < s; ++i)
            f = f * 0.5f;
        for (int32_t i = 0; i > s; --i)
            f = f * 2.0f;
        return f;
    }

    // The factor the float-to-integer kernels apply: finite, and nonzero unless the caller
    // flushes denormals (scales from 127 on give a denormal factor). An unbounded one
    // (infinity from scale -128 down, 0 from 150 up) would turn 0 x infinity or infinity x 0 into
    // a NaN and so a zero or an infinity into a bound or a silent 0. The bound changes no other
    // finite element's result but that of denormal sources at scales below -127, which the
    // unbounded factor saturates and this one rounds as their value times 2^127.
    static float FiniteFactor(int32_t scale)
    {
        return ScaleFactor(scale < -127 ? -127 : (scale > 149 ? 149 : scale));
    }

    static void StoreI24(uint8_t* d, int32_t v)
    {
        d[0] = static_cast<uint8_t>(v);
        d[1] = static_cast<uint8_t>(v >> 8);
        d[2] = static_cast<uint8_t>(v >> 16);
    }
    static int32_t LoadI24(const uint8_t* s)
    {
        return static_cast<int32_t>(static_cast<uint32_t>(s[0]) << 8 | static_cast<uint32_t>(s[1]) << 16 |
                                    static_cast<uint32_t>(s[2]) << 24) >>
               8;
    }

    // --- widening and narrowing between float formats ---------------------------------------------

    // Single elements to the destination's 16-byte alignment, then blocks of eight: each word
    // placed in the upper half of a 32-bit lane and shifted down with its sign, converted
    // exactly and, with a factor, multiplied in single precision; then single elements.
    template <bool Scaled> static void I16ToF32Blocks(const int16_t* s, float* d, int32_t n, float f)
    {
        const auto one = [&](int32_t i)
        {
            const float v = _mm_cvtss_f32(_mm_cvtsi32_ss(_mm_setzero_ps(), Get(s + i)));
            Put(d + i, Scaled ? v * f : v);
        };
        int32_t i = 0;
        for (; i < n && Misaligned16(d + i) && !Misaligned4(d); ++i)
            one(i);
        const __m128 fv = _mm_set1_ps(f);
        for (; n - i >= 8; i += 8)
        {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            __m128 a = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16));
            __m128 b = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16));
            if (Scaled)
            {
                a = _mm_mul_ps(a, fv);
                b = _mm_mul_ps(b, fv);
            }
            _mm_storeu_ps(d + i, a);
            _mm_storeu_ps(d + i + 4, b);
        }
        for (; i < n; ++i)
            one(i);
    }
    // A factor that is a power of two in the entry's range (2^-s, s from -112 to 126) takes the
    // entry's own body, whose spliced blocks give the same exact products faster.
    static void I16ToF32Scale(const int16_t* s, float* d, int32_t n, const float* factor)
    {
        const uint32_t bits = Bits(*factor);
        const int32_t exponent = int32_t(bits >> 23);
        if ((bits & 0x007FFFFFu) == 0 && exponent >= 127 - 126 && exponent <= 127 + 112)
            SpConvertKernels<P>::I16ToF32Exact(s, d, n, 127 - exponent);
        else
            I16ToF32Blocks<true>(s, d, n, *factor);
    }
    static void I16ToF32(const int16_t* s, float* d, int32_t n)
    {
        SpConvertKernels<P>::I16ToF32Exact(s, d, n, 0);
    }

    // Long double-precision outputs bypass the caches: the level's threshold is the element
    // count whose source and destination bytes fill kStreamBytes. Single elements until the
    // destination is 16-byte aligned, one choice of block loop (streaming stores and a store
    // fence above the threshold, ordinary aligned stores below; unaligned ones for a
    // destination that never aligns), blocks of eight, then single elements.
    template <typename S, typename Widen, typename Widen8>
    static void ToF64(const S* s, double* d, int32_t n, Widen widen, Widen8 widen8)
    {
        int32_t i = 0;
        const bool alignable = (reinterpret_cast<uintptr_t>(d) & 7) == 0;
        for (; i < n && alignable && Misaligned16(d + i); ++i)
            Put(d + i, widen(Get(s + i)));
        __m128d v[4];
        const int64_t threshold = P::kStreamBytes / int64_t(sizeof(S) + 8);
        if (!alignable)
        {
            for (; n - i >= 8; i += 8)
            {
                widen8(s + i, v);
                for (int32_t k = 0; k < 4; ++k)
                    _mm_storeu_pd(d + i + 2 * k, v[k]);
            }
        }
        else if (int64_t(n - i) - 8 > threshold)
        {
            for (; n - i >= 8; i += 8)
            {
                widen8(s + i, v);
                for (int32_t k = 0; k < 4; ++k)
                    _mm_stream_pd(d + i + 2 * k, v[k]);
            }
            _mm_sfence();
        }
        else
        {
            for (; n - i >= 8; i += 8)
            {
                widen8(s + i, v);
                for (int32_t k = 0; k < 4; ++k)
                    _mm_store_pd(d + i + 2 * k, v[k]);
            }
        }
        for (; i < n; ++i)
            Put(d + i, widen(Get(s + i)));
    }
    // Eight words widened with their sign to two vectors of four 32-bit lanes.
    static void I16x8ToF64(const int16_t* p, __m128d* out, double factor, bool scaled)
    {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(w, w), 16);
        const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(w, w), 16);
        out[0] = _mm_cvtepi32_pd(lo);
        out[1] = _mm_cvtepi32_pd(_mm_unpackhi_epi64(lo, lo));
        out[2] = _mm_cvtepi32_pd(hi);
        out[3] = _mm_cvtepi32_pd(_mm_unpackhi_epi64(hi, hi));
        if (scaled)
        {
            const __m128d f = _mm_set1_pd(factor);
            for (int32_t k = 0; k < 4; ++k)
                out[k] = _mm_mul_pd(out[k], f);
        }
    }
    static void I16ToF64Scale(const int16_t* s, double* d, int32_t n, const double* factor)
    {
        const double f = *factor;
        ToF64(
            s, d, n, [f](int16_t v) { return double(v) * f; },
            [f](const int16_t* p, __m128d* out) { I16x8ToF64(p, out, f, true); });
    }
    static void I16ToF64(const int16_t* s, double* d, int32_t n)
    {
        ToF64(
            s, d, n, [](int16_t v) { return double(v); },
            [](const int16_t* p, __m128d* out) { I16x8ToF64(p, out, 1.0, false); });
    }
    static void F32ToF64(const float* s, double* d, int32_t n)
    {
        ToF64(
            s, d, n, [](float v) { return double(v); },
            [](const float* p, __m128d* out)
            {
                for (int32_t k = 0; k < 4; ++k)
                    out[k] = _mm_cvtps_pd(
                        _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 2 * k))));
            });
    }

    // Limited to the float range first (NaN gives +FLT_MAX, the minimum returning its bound),
    // then narrowed by the current mode: single elements while the source is not 16-byte
    // aligned, then blocks of eight, then single elements.
    static void F64ToF32(const double* s, float* d, int32_t n)
    {
        const double hi = 3.4028234663852886e+38;
        const auto one = [&](int32_t i)
        {
            const double v = MaxSd(MinSd(Get(s + i), hi), -hi);
            Put(d + i, _mm_cvtss_f32(_mm_cvtsd_ss(_mm_setzero_ps(), _mm_set_sd(v))));
        };
        int32_t i = 0;
        for (; i < n && Misaligned16(s + i) && (reinterpret_cast<uintptr_t>(s) & 7) == 0; ++i)
            one(i);
        const __m128d hiV = _mm_set1_pd(hi), loV = _mm_set1_pd(-hi);
        for (; n - i >= 8; i += 8)
        {
            Prefetch(s + i);
            for (int32_t k = 0; k < 8; k += 4)
            {
                const __m128 a = _mm_cvtpd_ps(_mm_max_pd(_mm_min_pd(_mm_loadu_pd(s + i + k), hiV), loV));
                const __m128 b = _mm_cvtpd_ps(_mm_max_pd(_mm_min_pd(_mm_loadu_pd(s + i + k + 2), hiV), loV));
                _mm_storeu_ps(d + i + k, _mm_movelh_ps(a, b));
            }
        }
        for (; i < n; ++i)
            one(i);
    }

    // --- packed 24-bit -------------------------------------------------------------------------

    // The first element singly, single elements to the destination's alignment, blocks of
    // eight (sixteen with the byte shuffle), single elements: the 24-bit entry's own body.
    static void I24ToF32(const uint8_t* s, float* d, int32_t n) { SpConvertKernels<P>::I24To(s, d, n); }
    static void I24ToI32(const uint8_t* s, int32_t* d, int32_t n) { SpConvertKernels<P>::I24To(s, d, n); }
    // Packed 24-bit destinations: single elements while the source is not 16-byte aligned
    // (one that is not element-aligned never is), then blocks of four whose 4-byte lanes are
    // stored at a 3-byte step (each block writes 2 bytes past its 12, so a block runs only
    // while one more element follows), then single elements stored as exactly three bytes.
    template <typename S, typename One, typename Block>
    static void ToI24Blocks(const S* s, uint8_t* d, int32_t n, One one, Block block)
    {
        using Convert = SpConvertKernels<P>;
        const __m128i evenLow24 = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
        const __m128i oddLow24 = _mm_set_epi32(0x00FFFFFF, 0, 0x00FFFFFF, 0);
        int32_t i = 0;
        for (; i < n && Misaligned16(s + i) && !Misaligned4(s); ++i)
            StoreI24(d + 3 * intptr_t(i), one(Get(s + i)));
        for (; n - i >= 9; i += 8)
        {
            Prefetch(s + i);
            const __m128i a = block(s + i);
            const __m128i b = block(s + i + 4);
            Convert::StoreI24x4(d + 3 * intptr_t(i), a, evenLow24, oddLow24);
            Convert::StoreI24x4(d + 3 * intptr_t(i) + 12, b, evenLow24, oddLow24);
        }
        for (; n - i >= 5; i += 4)
            Convert::StoreI24x4(d + 3 * intptr_t(i), block(s + i), evenLow24, oddLow24);
        for (; i < n; ++i)
            StoreI24(d + 3 * intptr_t(i), one(Get(s + i)));
    }

    // Nearest with ties to even whatever the caller's rounding control. A NaN gives 0, as in the
    // generic build: it is taken as 0.0 before the clamp, which alone would make it full-scale
    // negative (the maximum returns its bound for a NaN operand) and raise the invalid flag. A
    // call that had to change the rounding control puts the caller's word back as it found it.
    static void F32ToI24Factor(const float* s, uint8_t* d, int32_t n, float factor, bool scaled)
    {
        const unsigned saved = _mm_getcsr();
        if ((saved & kRounding) != 0)
            _mm_setcsr(saved & ~kRounding);
        const __m128 f = _mm_set1_ps(factor);
        const __m128 lo = _mm_set1_ps(-8388608.0f);
        const __m128 hi = _mm_set1_ps(8388607.0f);
        ToI24Blocks(
            s, d, n,
            [&](float x)
            {
                const float v = scaled ? x * factor : x;
                return Cvt(MinSs(MaxSs(v != v ? 0.0f : v, -8388608.0f), 8388607.0f), true);
            },
            [&](const float* p)
            {
                __m128 v = scaled ? _mm_mul_ps(_mm_loadu_ps(p), f) : _mm_loadu_ps(p);
                v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
                return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(v, lo), hi));
            });
        if ((saved & kRounding) != 0)
            _mm_setcsr(saved);
    }
    static void F32ToI24(const float* s, uint8_t* d, int32_t n) { F32ToI24Factor(s, d, n, 1.0f, false); }
    static void F32ToI24Scale(const float* s, uint8_t* d, int32_t n, int32_t scale)
    {
        const int32_t c = scale < -127 ? -127 : (scale > 127 ? 127 : scale);
        F32ToI24Factor(s, d, n, Float(uint32_t(127 - c) << 23), true);
    }

    // Lanes above hi become hi and lanes below lo become lo.
    static __m128i ClampI32(__m128i v, __m128i lo, __m128i hi)
    {
        const __m128i over = _mm_cmpgt_epi32(v, hi);
        v = _mm_or_si128(_mm_andnot_si128(over, v), _mm_and_si128(over, hi));
        const __m128i under = _mm_cmpgt_epi32(lo, v);
        return _mm_or_si128(_mm_andnot_si128(under, v), _mm_and_si128(under, lo));
    }
    static void I32ToI24(const int32_t* s, uint8_t* d, int32_t n)
    {
        const __m128i lo = _mm_set1_epi32(-8388608);
        const __m128i hi = _mm_set1_epi32(8388607);
        ToI24Blocks(
            s, d, n, [](int32_t x) { return Sat(x, -8388608, 8388607); },
            [&](const int32_t* p)
            { return ClampI32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), lo, hi); });
    }
    // x / 2^shift, ties to even, saturated. One element in 64 bits so no intermediate overflows;
    // four lanes as the floor quotient q and its remainder, q + 1 where the remainder passes the
    // half or meets it with q odd (the same value, and nothing overflows 32 bits). The callers
    // shift by 1 to 31; a count below 1 shifts nothing and from 32 on every quotient rounds to 0.
    static void I32ToI24DownScale(const int32_t* s, uint8_t* d, int32_t n, int32_t shift)
    {
        if (shift < 1)
        {
            I32ToI24(s, d, n);
            return;
        }
        const int32_t k = shift > 40 ? 40 : shift;
        const auto one = [k](int32_t v)
        {
            const int64_t x = v;
            const int64_t r = (x + (int64_t(1) << (k - 1)) - 1 + ((x >> k) & 1)) >> k;
            return Sat(r, -8388608, 8388607);
        };
        if (k > 31)
        {
            for (int32_t i = 0; i < n; ++i)
                StoreI24(d + 3 * intptr_t(i), one(Get(s + i)));
            return;
        }
        const __m128i count = _mm_cvtsi32_si128(k);
        const __m128i half = _mm_set1_epi32(int32_t(1u << (k - 1)));
        const __m128i oneLane = _mm_set1_epi32(1);
        const __m128i lo = _mm_set1_epi32(-8388608), hi = _mm_set1_epi32(8388607);
        ToI24Blocks(s, d, n, one,
                    [&](const int32_t* p)
                    {
                        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                        const __m128i q = _mm_sra_epi32(x, count);
                        const __m128i rem = _mm_sub_epi32(x, _mm_sll_epi32(q, count));
                        const __m128i odd = _mm_and_si128(q, oneLane);
                        const __m128i up = _mm_or_si128(
                            _mm_cmpgt_epi32(rem, half),
                            _mm_and_si128(_mm_cmpeq_epi32(rem, half), _mm_cmpeq_epi32(odd, oneLane)));
                        return ClampI32(_mm_sub_epi32(q, up), lo, hi); // up is -1 where q steps up
                    });
    }
    // x times 2^shift, saturated. From shift 24 on every nonzero value saturates by its sign (the
    // bounds shifted down are 0 and -1, and -1 shifted up would wrap to 0 in 24 bits); a count
    // below 1 shifts nothing.
    static void I32ToI24UpScale(const int32_t* s, uint8_t* d, int32_t n, int32_t shift)
    {
        if (shift > 23)
        {
            for (int32_t i = 0; i < n; ++i)
            {
                const int32_t x = Get(s + i);
                StoreI24(d + 3 * intptr_t(i), x > 0 ? 8388607 : (x < 0 ? -8388608 : 0));
            }
            return;
        }
        const int32_t k = shift < 0 ? 0 : shift;
        const int32_t hi = 8388607 >> k;
        const int32_t lo = -8388608 >> k;
        const __m128i hiV = _mm_set1_epi32(hi), loV = _mm_set1_epi32(lo);
        const __m128i count = _mm_cvtsi32_si128(k);
        ToI24Blocks(
            s, d, n,
            [&](int32_t x) { return x > hi ? 8388607 : (x < lo ? -8388608 : int32_t(uint32_t(x) << k)); },
            [&](const int32_t* p)
            {
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                const __m128i over = _mm_cmpgt_epi32(x, hiV);
                const __m128i under = _mm_cmpgt_epi32(loV, x);
                __m128i r = _mm_sll_epi32(x, count);
                r = _mm_or_si128(_mm_andnot_si128(over, r), _mm_and_si128(over, _mm_set1_epi32(8388607)));
                return _mm_or_si128(_mm_andnot_si128(under, r),
                                    _mm_and_si128(under, _mm_set1_epi32(-8388608)));
            });
    }

    // --- float to 8-, 16- and 32-bit, nearest-even or toward zero ------------------------------

    // The frame of these kernels: the finite factor under the caller's mode, round-to-nearest
    // forced only when asked for and not already in force; at the end the caller's word comes
    // back (denormals-are-zero cleared, as the hardware reload does) when the mode was changed
    // or the invalid flag was raised, and elements whose scaled value is a NaN, which the clamp
    // turned into a bound, are set to 0 (`zeroNans`) when the invalid flag is up, raised by the
    // call or already set by the caller.
    template <typename Convert, typename ZeroNans>
    static void FloatFrame(int32_t rounding, int32_t scale, bool nanPass, Convert convert, ZeroNans zeroNans)
    {
        const unsigned saved = _mm_getcsr();
        const float factor = scale != 0 ? FiniteFactor(scale) : 1.0f;
        if (rounding != 0 && (saved & kRounding) != 0)
            _mm_setcsr(saved & 0x9FBFu);
        convert(factor, rounding != 0);
        const unsigned now = _mm_getcsr();
        if (((now ^ saved) & (kInvalid | kRounding)) != 0)
            _mm_setcsr(saved & ~kDaz);
        if (nanPass && (now & kInvalid) != 0)
            zeroNans(factor);
    }

    // The NaN pass of the float kernels: dst[i] = 0 wherever src[i] times the factor of `scale`
    // is a NaN. Four sources a step by their bits, which raises no flag now that the caller's word
    // is back, and the rare NaN lanes one by one; at the wide scales element by element.
    template <typename D> static void ZeroNanResults(const float* s, D* d, int32_t n, int32_t scale)
    {
        int32_t i = 0;
        if (!WideScale(scale))
        {
            const __m128i magnitude = _mm_set1_epi32(0x7FFFFFFF);
            const __m128i infinity = _mm_set1_epi32(0x7F800000);
            for (; n - i >= 4; i += 4)
            {
                const __m128i bits =
                    _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)), magnitude);
                const int mask = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(bits, infinity)));
                for (int32_t k = 0; mask != 0 && k < 4; ++k)
                {
                    if ((mask >> k) & 1)
                        Put(d + i + k, D(0));
                }
            }
        }
        for (; i < n; ++i)
        {
            if (ScaledIsNan(Get(s + i), scale))
                Put(d + i, D(0));
        }
    }

    static bool IsNanF32(float v) { return (Bits(v) & 0x7FFFFFFFu) > 0x7F800000u; }
    static bool IsNanF64(double v)
    {
        const uint64_t b = Bits64(v);
        const uint32_t upper = uint32_t(b >> 32) & 0x7FFFFFFFu;
        return upper > 0x7FF00000u || (upper == 0x7FF00000u && uint32_t(b) != 0);
    }

    // Eight results narrowed as the hardware packs do: signed 32 to 16 bits, then for the 8-bit
    // targets 16 to 8 bits (unsigned for U8); unsigned 16-bit through the signed pack with a
    // bias of 32768 and the top bit flipped back.
    template <typename D> static void Narrow8(D* d, __m128i a, __m128i b)
    {
        if constexpr (sizeof(D) == 2 && D(-1) > D(0))
        {
            const __m128i bias = _mm_set1_epi32(32768);
            const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(a, bias), _mm_sub_epi32(b, bias));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_xor_si128(packed, _mm_set1_epi16(INT16_MIN)));
        }
        else if constexpr (sizeof(D) == 2)
        {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_packs_epi32(a, b));
        }
        else
        {
            const __m128i words = _mm_packs_epi32(a, b);
            const __m128i bytes =
                D(-1) < D(0) ? _mm_packs_epi16(words, words) : _mm_packus_epi16(words, words);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(d), bytes);
        }
    }

    // Scales beyond +-126 have no normal single-precision factor: 2^-127 and below are denormal
    // (0 under flush-to-zero) and 2^127 is the last finite one, so a single product would round
    // denormal sources or lose what a second factor brings back. There the value is scaled in
    // double by the generic build's factor (0 from 1075 on, infinity from -1024 down), which
    // gives its results at every scale. Every caller of the library passes -31..15.
    static bool WideScale(int32_t scale) { return scale < -126 || scale > 126; }
    static double WideFactor(int32_t scale)
    {
        return ldexp(1.0, -(scale < -1100 ? -1100 : (scale > 1100 ? 1100 : scale)));
    }
    // Whether x times the factor of `scale` is a NaN, from the bits of x alone, so that the NaN
    // pass raises no flag after the caller's word is back: x a NaN, or at the wide scales an
    // infinity times 0 or a zero times infinity.
    static bool ScaledIsNan(float x, int32_t scale)
    {
        const uint32_t b = Bits(x) & 0x7FFFFFFFu;
        return b > 0x7F800000u || (b == 0x7F800000u && scale >= 1075) || (b == 0 && scale <= -1024);
    }

    // The blocks of the 8- and 16-bit kernels, one loop for each of the four code paths (rounding
    // by the mode or toward zero, with or without the factor): eight elements a block, two blocks
    // a pass. Returns where the single elements take over.
    template <bool Nearest, bool Scaled, typename D>
    static int32_t SmallBlocks(const float* s, D* d, int32_t i, int32_t n, __m128 fv, __m128 bv)
    {
        constexpr bool kUnsigned16 = sizeof(D) == 2 && D(-1) > D(0);
        const auto convert4 = [&](const float* p)
        {
            __m128 v = _mm_loadu_ps(p);
            if constexpr (Scaled)
                v = _mm_mul_ps(v, fv);
            v = kUnsigned16 ? _mm_max_ps(v, _mm_setzero_ps()) : _mm_min_ps(v, bv);
            return Nearest ? _mm_cvtps_epi32(v) : _mm_cvttps_epi32(v);
        };
        for (; n - i >= 16; i += 16)
        {
            Prefetch(s + i);
            const __m128i a = convert4(s + i), b = convert4(s + i + 4);
            const __m128i c = convert4(s + i + 8), e = convert4(s + i + 12);
            Narrow8(d + i, a, b);
            Narrow8(d + i + 8, c, e);
        }
        for (; n - i >= 8; i += 8)
            Narrow8(d + i, convert4(s + i), convert4(s + i + 4));
        return i;
    }

    // Single elements until the 16-bit kernels' destination or the 8-bit kernels' source is
    // 16-byte aligned (one that is not element-aligned never is: its elements go in blocks as
    // they lie), blocks of eight with the clamp, the conversion and the packs, then single
    // elements; every path computes what the single-element code computes.
    template <typename D>
    static void F32ToSmall(const float* s, D* d, int32_t n, int32_t rounding, int32_t scale, float bound,
                           int32_t lo, int32_t hi, bool nanPass)
    {
        const bool unsigned16 = lo == 0 && hi == 65535;
        const auto put = [&](int32_t i, int32_t r)
        {
            Put(d + i, unsigned16 ? D(uint16_t(Sat(int32_t(uint32_t(r) - 32768u), -32768, 32767) ^ 0x8000))
                                  : D(Sat(Sat(r, -32768, 32767), lo, hi)));
        };
        FloatFrame(
            rounding, scale, nanPass,
            [&](float f, bool nearest)
            {
                if (WideScale(scale))
                {
                    const double wide = WideFactor(scale);
                    for (int32_t i = 0; i < n; ++i)
                    {
                        const double v = double(Get(s + i)) * wide;
                        put(i, CvtD(unsigned16 ? MaxSd(v, 0.0) : MinSd(v, double(bound)), nearest));
                    }
                    return;
                }
                const auto one = [&](int32_t i)
                {
                    const float v = scale != 0 ? Get(s + i) * f : Get(s + i);
                    put(i, Cvt(unsigned16 ? MaxSs(v, 0.0f) : MinSs(v, bound), nearest));
                };
                const auto peel = [&](int32_t i)
                {
                    return sizeof(D) == 2 ? Misaligned16(d + i) && reinterpret_cast<uintptr_t>(d) % 2 == 0
                                          : Misaligned16(s + i) && !Misaligned4(s);
                };
                int32_t i = 0;
                for (; i < n && peel(i); ++i)
                    one(i);
                const __m128 fv = _mm_set1_ps(f);
                const __m128 bv = _mm_set1_ps(bound);
                if (nearest)
                    i = scale != 0 ? SmallBlocks<true, true>(s, d, i, n, fv, bv)
                                   : SmallBlocks<true, false>(s, d, i, n, fv, bv);
                else
                    i = scale != 0 ? SmallBlocks<false, true>(s, d, i, n, fv, bv)
                                   : SmallBlocks<false, false>(s, d, i, n, fv, bv);
                for (; i < n; ++i)
                    one(i);
            },
            [&](float) { ZeroNanResults(s, d, n, scale); });
    }
    static void F32ToI16(const float* s, int16_t* d, int32_t n, int32_t rounding, int32_t scale)
    {
        F32ToSmall(s, d, n, rounding, scale, 32767.0f, -32768, 32767, true);
    }
    static void F32ToU16(const float* s, uint16_t* d, int32_t n, int32_t rounding, int32_t scale)
    {
        F32ToSmall(s, d, n, rounding, scale, 0.0f, 0, 65535, false);
    }
    static void F32ToI8(const float* s, int8_t* d, int32_t n, int32_t rounding, int32_t scale)
    {
        F32ToSmall(s, d, n, rounding, scale, 127.0f, -128, 127, true);
    }
    static void F32ToU8(const float* s, uint8_t* d, int32_t n, int32_t rounding, int32_t scale)
    {
        F32ToSmall(s, d, n, rounding, scale, 255.0f, 0, 255, true);
    }

    // 2^31 and up convert to INT32_MIN; the bit test on the scaled value turns them into the max.
    static void F32ToI32(const float* s, int32_t* d, int32_t n, int32_t rounding, int32_t scale)
    {
        FloatFrame(
            rounding, scale, true,
            [&](float f, bool nearest)
            {
                if (WideScale(scale))
                {
                    const double wide = WideFactor(scale);
                    for (int32_t i = 0; i < n; ++i)
                        Put(d + i, CvtD(MinSd(double(Get(s + i)) * wide, 2147483647.0), nearest));
                    return;
                }
                const auto one = [&](int32_t i)
                {
                    const float v = scale != 0 ? Get(s + i) * f : Get(s + i);
                    const int32_t r = Cvt(v, nearest);
                    Put(d + i, int32_t(Bits(v)) > 0x4EFFFFFF ? ~r : r);
                };
                int32_t i = 0;
                for (; i < n && Misaligned16(d + i) && !Misaligned4(d); ++i)
                    one(i);
                const __m128 fv = _mm_set1_ps(f);
                const __m128i top = _mm_set1_epi32(0x4EFFFFFF);
                for (; n - i >= 8; i += 8)
                {
                    Prefetch(s + i);
                    for (int32_t k = 0; k < 8; k += 4)
                    {
                        __m128 v = _mm_loadu_ps(s + i + k);
                        if (scale != 0)
                            v = _mm_mul_ps(v, fv);
                        const __m128i r = nearest ? _mm_cvtps_epi32(v) : _mm_cvttps_epi32(v);
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + k),
                                         _mm_xor_si128(r, _mm_cmpgt_epi32(_mm_castps_si128(v), top)));
                    }
                }
                for (; i < n; ++i)
                    one(i);
            },
            [&](float) { ZeroNanResults(s, d, n, scale); });
    }
    static void F64ToI32(const double* s, int32_t* d, int32_t n, int32_t rounding, int32_t scale)
    {
        FloatFrame(
            rounding, scale, true,
            [&](float f, bool nearest)
            {
                // At most one element to put the destination on an 8-byte boundary, then blocks
                // of four stored as pairs, then single elements.
                const auto one = [&](int32_t i)
                {
                    const double v = scale != 0 ? Get(s + i) * double(f) : Get(s + i);
                    Put(d + i, CvtD(MinSd(v, 2147483647.0), nearest));
                };
                int32_t i = 0;
                if ((reinterpret_cast<uintptr_t>(d) & 7) == 4)
                    one(i++);
                const __m128d fv = _mm_set1_pd(double(f));
                const __m128d top = _mm_set1_pd(2147483647.0);
                const auto pair = [&](const double* p)
                {
                    __m128d v = _mm_loadu_pd(p);
                    if (scale != 0)
                        v = _mm_mul_pd(v, fv);
                    v = _mm_min_pd(v, top);
                    return nearest ? _mm_cvtpd_epi32(v) : _mm_cvttpd_epi32(v);
                };
                for (; n - i >= 4; i += 4)
                {
                    Prefetch(s + i);
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + i), pair(s + i));
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + i + 2), pair(s + i + 2));
                }
                for (; i < n; ++i)
                    one(i);
            },
            [&](float f)
            {
                for (int32_t i = 0; i < n; ++i)
                {
                    if (IsNanF64(scale != 0 ? Get(s + i) * double(f) : Get(s + i)))
                        Put(d + i, 0);
                }
            });
    }

    // --- integer to float and double, unscaled -------------------------------------------------

    // Four elements widened to 32-bit lanes, by sign or zero extension.
    template <typename S> static __m128i Widen4(const S* p)
    {
        const __m128i zero = _mm_setzero_si128();
        if constexpr (sizeof(S) == 4)
        {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        }
        else if constexpr (sizeof(S) == 2)
        {
            const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
            return S(-1) < S(0) ? _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16) : _mm_unpacklo_epi16(v, zero);
        }
        else
        {
            int32_t bytes;
            memcpy(&bytes, p, 4);
            const __m128i v = _mm_cvtsi32_si128(bytes);
            if constexpr (S(-1) < S(0))
            {
                const __m128i b = _mm_unpacklo_epi8(v, v);
                return _mm_srai_epi32(_mm_unpacklo_epi16(b, b), 24);
            }
            else
            {
                return _mm_unpacklo_epi16(_mm_unpacklo_epi8(v, zero), zero);
            }
        }
    }

    // Single elements until the destination is 16-byte aligned, then blocks of eight with
    // aligned stores (unaligned ones for a destination that is not float-aligned), then single
    // elements. The 32-bit conversion rounds by the caller's mode in every path alike.
    template <typename S> static void IntToF32(const S* s, float* d, int32_t n)
    {
        int32_t i = 0;
        const bool floatAligned = (reinterpret_cast<uintptr_t>(d) & 3) == 0;
        for (; i < n && floatAligned && (reinterpret_cast<uintptr_t>(d + i) & 15) != 0; ++i)
            Put(d + i, _mm_cvtss_f32(_mm_cvtsi32_ss(_mm_setzero_ps(), int32_t(Get(s + i)))));
        if (floatAligned)
        {
            for (; n - i >= 8; i += 8)
            {
                _mm_store_ps(d + i, _mm_cvtepi32_ps(Widen4(s + i)));
                _mm_store_ps(d + i + 4, _mm_cvtepi32_ps(Widen4(s + i + 4)));
            }
        }
        for (; n - i >= 8; i += 8)
        {
            _mm_storeu_ps(d + i, _mm_cvtepi32_ps(Widen4(s + i)));
            _mm_storeu_ps(d + i + 4, _mm_cvtepi32_ps(Widen4(s + i + 4)));
        }
        for (; i < n; ++i)
            Put(d + i, _mm_cvtss_f32(_mm_cvtsi32_ss(_mm_setzero_ps(), int32_t(Get(s + i)))));
    }
    // At most one element to put the destination on a 16-byte boundary, blocks of four read as
    // pairs, then single elements; every 32-bit integer is exact in double.
    static void I32ToF64(const int32_t* s, double* d, int32_t n)
    {
        const auto one = [&](int32_t i)
        { Put(d + i, _mm_cvtsd_f64(_mm_cvtsi32_sd(_mm_setzero_pd(), Get(s + i)))); };
        int32_t i = 0;
        if ((reinterpret_cast<uintptr_t>(d) & 15) == 8)
            one(i++);
        for (; n - i >= 4; i += 4)
        {
            const __m128d a = _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + i)));
            const __m128d b = _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + i + 2)));
            _mm_storeu_pd(d + i, a);
            _mm_storeu_pd(d + i + 2, b);
        }
        for (; i < n; ++i)
            one(i);
    }

    // --- half away from zero ---------------------------------------------------------------------

    // The sign kept apart: |v| + 0.5 with the sign put back, then truncated. The NaN results
    // are the bounds the clamps give; there is no NaN pass.
    static float AddHalfAway(float v)
    {
        return Float(Bits(Float(Bits(v) & 0x7FFFFFFFu) + 0.5f) | (Bits(v) & 0x80000000u));
    }

    template <typename Run> static void AwayFrame(bool towardZero, Run run)
    {
        const unsigned saved = _mm_getcsr();
        if (towardZero && (saved & kRounding) != kRounding)
            _mm_setcsr((saved | kRounding) & ~kDaz);
        run();
        const unsigned now = _mm_getcsr();
        if (((now ^ saved) & (kInvalid | kRounding)) != 0)
            _mm_setcsr(saved & ~kDaz);
    }

    template <typename D>
    static void F32ToSmallAway(const float* s, D* d, int32_t n, int32_t scale, int32_t lo, int32_t hi)
    {
        const float factor = scale != 0 ? FiniteFactor(scale) : 1.0f;
        const bool unsigned16 = lo == 0 && hi == 65535;
        const auto one = [&](int32_t i)
        {
            const float v = scale != 0 ? Get(s + i) * factor : Get(s + i);
            int32_t r;
            if (unsigned16)
                r = int32_t(
                    (uint32_t(
                         Sat(int32_t(uint32_t(_mm_cvttss_si32(_mm_set_ss(MaxSs(v, 0.0f) + 0.5f))) - 32768u),
                             -32768, 32767)) &
                     0xFFFFu) ^
                    0x8000u);
            else if (lo == 0)
                r = Sat(_mm_cvttss_si32(_mm_set_ss(MinSs(v, float(hi)) + 0.5f)), -32768, 32767);
            else
                r = Sat(_mm_cvttss_si32(_mm_set_ss(AddHalfAway(MinSs(v, float(hi))))), -32768, 32767);
            Put(d + i, D(Sat(r, unsigned16 ? 0 : lo, hi)));
        };
        // The same steps four lanes at a time: bound, the half (the sign kept apart for the
        // signed targets), truncation, and the packs of the non-away kernels.
        const __m128 f = _mm_set1_ps(factor);
        const __m128 bound = _mm_set1_ps(float(hi));
        const __m128 half = _mm_set1_ps(0.5f);
        const __m128 sign = _mm_set1_ps(-0.0f);
        const auto convert4 = [&](const float* p)
        {
            __m128 v = _mm_loadu_ps(p);
            if (scale != 0)
                v = _mm_mul_ps(v, f);
            if (unsigned16)
                return _mm_cvttps_epi32(_mm_add_ps(_mm_max_ps(v, _mm_setzero_ps()), half));
            v = _mm_min_ps(v, bound);
            if (lo == 0)
                return _mm_cvttps_epi32(_mm_add_ps(v, half));
            const __m128 magnitude = _mm_add_ps(_mm_andnot_ps(sign, v), half);
            return _mm_cvttps_epi32(_mm_or_ps(magnitude, _mm_and_ps(sign, v)));
        };
        AwayFrame(false,
                  [&]
                  {
                      int32_t i = 0;
                      for (; i < n && Misaligned16(s + i) && !Misaligned4(s); ++i)
                          one(i);
                      for (; n - i >= 8; i += 8)
                      {
                          Prefetch(s + i);
                          Narrow8(d + i, convert4(s + i), convert4(s + i + 4));
                      }
                      for (; i < n; ++i)
                          one(i);
                  });
    }
    static void F32ToI8Away(const float* s, int8_t* d, int32_t n, int32_t scale)
    {
        F32ToSmallAway(s, d, n, scale, -128, 127);
    }
    static void F32ToU8Away(const float* s, uint8_t* d, int32_t n, int32_t scale)
    {
        F32ToSmallAway(s, d, n, scale, 0, 255);
    }
    static void F32ToI16Away(const float* s, int16_t* d, int32_t n, int32_t scale)
    {
        F32ToSmallAway(s, d, n, scale, -32768, 32767);
    }
    static void F32ToU16Away(const float* s, uint16_t* d, int32_t n, int32_t scale)
    {
        F32ToSmallAway(s, d, n, scale, 0, 65535);
    }
    // The scaling and the half are added toward zero, so no magnitude is pushed across an
    // integer by the addition's own rounding.
    static void F32ToI32Away(const float* s, int32_t* d, int32_t n, int32_t scale)
    {
        const float factor = scale != 0 ? FiniteFactor(scale) : 1.0f;
        const auto one = [&](int32_t i)
        {
            const float v = AddHalfAway(scale != 0 ? Get(s + i) * factor : Get(s + i));
            const int32_t r = _mm_cvttss_si32(_mm_set_ss(v));
            Put(d + i, int32_t(Bits(v)) > 0x4EFFFFFF ? ~r : r);
        };
        const __m128 f = _mm_set1_ps(factor);
        const __m128 half = _mm_set1_ps(0.5f);
        const __m128 sign = _mm_set1_ps(-0.0f);
        const __m128i top = _mm_set1_epi32(0x4EFFFFFF);
        AwayFrame(true,
                  [&]
                  {
                      int32_t i = 0;
                      for (; i < n && Misaligned16(d + i) && !Misaligned4(d); ++i)
                          one(i);
                      for (; n - i >= 8; i += 8)
                      {
                          Prefetch(s + i);
                          for (int32_t k = 0; k < 8; k += 4)
                          {
                              __m128 v = _mm_loadu_ps(s + i + k);
                              if (scale != 0)
                                  v = _mm_mul_ps(v, f);
                              v = _mm_or_ps(_mm_add_ps(_mm_andnot_ps(sign, v), half), _mm_and_ps(sign, v));
                              const __m128i r = _mm_cvttps_epi32(v);
                              _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + k),
                                               _mm_xor_si128(r, _mm_cmpgt_epi32(_mm_castps_si128(v), top)));
                          }
                      }
                      for (; i < n; ++i)
                          one(i);
                  });
    }
    // At most one element to put the destination on an 8-byte boundary, blocks of four as
    // pairs (bound, magnitude plus one half with the sign put back, truncation), single elements.
    static void F64ToI32Away(const double* s, int32_t* d, int32_t n, int32_t scale)
    {
        const double factor = scale != 0 ? double(FiniteFactor(scale)) : 1.0;
        const auto one = [&](int32_t i)
        {
            const double v = MinSd(scale != 0 ? Get(s + i) * factor : Get(s + i), 2147483647.0);
            const double m = (v < 0.0 ? -v : v) + 0.5;
            Put(d + i, _mm_cvttsd_si32(_mm_set_sd(v < 0.0 ? -m : m)));
        };
        const __m128d f = _mm_set1_pd(factor);
        const __m128d bound = _mm_set1_pd(2147483647.0);
        const __m128d half = _mm_set1_pd(0.5);
        const __m128d sign = _mm_set1_pd(-0.0);
        const auto pair = [&](const double* p)
        {
            __m128d v = _mm_loadu_pd(p);
            if (scale != 0)
                v = _mm_mul_pd(v, f);
            v = _mm_min_pd(v, bound);
            const __m128d negative = _mm_and_pd(_mm_cmplt_pd(v, _mm_setzero_pd()), sign);
            return _mm_cvttpd_epi32(_mm_or_pd(_mm_add_pd(_mm_andnot_pd(sign, v), half), negative));
        };
        AwayFrame(false,
                  [&]
                  {
                      int32_t i = 0;
                      if ((reinterpret_cast<uintptr_t>(d) & 7) == 4)
                          one(i++);
                      for (; n - i >= 4; i += 4)
                      {
                          _mm_storel_epi64(reinterpret_cast<__m128i*>(d + i), pair(s + i));
                          _mm_storel_epi64(reinterpret_cast<__m128i*>(d + i + 2), pair(s + i + 2));
                      }
                      for (; i < n; ++i)
                          one(i);
                  });
    }

    // --- half precision ------------------------------------------------------------------------

    // Rounds a float pattern at its 13th bit, nearest with ties to even.
    static uint32_t RoundAt13(uint32_t b) { return b + 0xFFFu + ((b >> 13) & 1u); }

    // Single elements to the destination's 16-byte alignment, blocks of eight, single elements;
    // the half-precision kernels narrow their 32-bit lanes to 16 bits by a sign-extending shift
    // and the signed pack, which keeps the low 16 bits of every lane.
    template <typename One, typename Block8>
    static void HalfBlocks(uint16_t* d, int32_t n, One one, Block8 block8)
    {
        int32_t i = 0;
        for (; i < n && Misaligned16(d + i) && reinterpret_cast<uintptr_t>(d) % 2 == 0; ++i)
            one(i);
        for (; n - i >= 8; i += 8)
            block8(i);
        for (; i < n; ++i)
            one(i);
    }
    static __m128i Low16(__m128i a, __m128i b)
    {
        return _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                               _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
    }

    static void I16ToF16(const int16_t* s, uint16_t* d, int32_t n, int32_t rounding)
    {
        const auto one = [&](int32_t i)
        {
            uint32_t b = Bits(float(Get(s + i)));
            const uint32_t sign = b & 0x80000000u;
            b &= 0x7FFFFFFFu;
            if (rounding != 0)
                b = RoundAt13(b);
            const uint32_t biased = b >= 0x38000000u ? b - 0x38000000u : 0;
            Put(d + i, uint16_t((biased >> 13) | (sign >> 16)));
        };
        const auto four = [&](__m128i v)
        {
            __m128i b = _mm_castps_si128(_mm_cvtepi32_ps(v));
            const __m128i sign = _mm_and_si128(b, _mm_set1_epi32(INT32_MIN));
            b = _mm_and_si128(b, _mm_set1_epi32(0x7FFFFFFF));
            if (rounding != 0)
                b = _mm_add_epi32(_mm_add_epi32(b, _mm_set1_epi32(0xFFF)),
                                  _mm_and_si128(_mm_srli_epi32(b, 13), _mm_set1_epi32(1)));
            const __m128i normal = _mm_cmpgt_epi32(b, _mm_set1_epi32(0x37FFFFFF));
            const __m128i biased = _mm_and_si128(_mm_sub_epi32(b, _mm_set1_epi32(0x38000000)), normal);
            return _mm_or_si128(_mm_srli_epi32(biased, 13), _mm_srli_epi32(sign, 16));
        };
        HalfBlocks(d, n, one,
                   [&](int32_t i)
                   {
                       const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
                       const __m128i lo = four(_mm_srai_epi32(_mm_unpacklo_epi16(w, w), 16));
                       const __m128i hi = four(_mm_srai_epi32(_mm_unpackhi_epi16(w, w), 16));
                       _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), Low16(lo, hi));
                   });
    }

    static float F16ToF32One(uint16_t h)
    {
        uint32_t b = uint32_t(h & 0x8000u) << 16 | uint32_t(h & 0x7FFFu) << 13;
        if ((h & 0x7C00u) == 0x7C00u)
            b |= 0x7F000000u;
        return Float(b) * Float(0x77800000u); // 2^112 rebiases, subnormals included
    }
    // Single elements to the destination's 16-byte alignment, blocks of eight through the same
    // pattern and multiply four lanes at a time, single elements.
    static void F16ToF32(const uint16_t* s, float* d, int32_t n)
    {
        const auto four = [](__m128i w)
        {
            const __m128i sign = _mm_slli_epi32(_mm_and_si128(w, _mm_set1_epi32(0x8000)), 16);
            __m128i b = _mm_or_si128(sign, _mm_slli_epi32(_mm_and_si128(w, _mm_set1_epi32(0x7FFF)), 13));
            const __m128i exponent = _mm_set1_epi32(0x7C00);
            const __m128i special = _mm_cmpeq_epi32(_mm_and_si128(w, exponent), exponent);
            b = _mm_or_si128(b, _mm_and_si128(special, _mm_set1_epi32(0x7F000000)));
            return _mm_mul_ps(_mm_castsi128_ps(b), _mm_castsi128_ps(_mm_set1_epi32(0x77800000)));
        };
        int32_t i = 0;
        for (; i < n && Misaligned16(d + i) && !Misaligned4(d); ++i)
            Put(d + i, F16ToF32One(Get(s + i)));
        for (; n - i >= 8; i += 8)
        {
            const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            _mm_storeu_ps(d + i, four(_mm_unpacklo_epi16(h, _mm_setzero_si128())));
            _mm_storeu_ps(d + i + 4, four(_mm_unpackhi_epi16(h, _mm_setzero_si128())));
        }
        for (; i < n; ++i)
            Put(d + i, F16ToF32One(Get(s + i)));
    }

    // value x 2^-scale, rounded (truncated or by the current mode) and saturated; NaN gives 0,
    // infinities the bound of their sign. Above scale 16 every finite half is below one half
    // (65504 x 2^-17), so it gives 0 whatever the rounding: a caller rounding up would otherwise
    // turn any positive half into 1.
    static void F16ToI16(const uint16_t* s, int16_t* d, int32_t n, int32_t rounding, int32_t scale)
    {
        const auto one = [&](int32_t i)
        {
            const uint16_t h = Get(s + i);
            const uint32_t mag = h & 0x7FFFu;
            const bool negative = (h & 0x8000u) != 0;
            if (mag > 0x7C00u)
                Put(d + i, 0);
            else if (mag == 0x7C00u)
                Put(d + i, negative ? -32768 : 32767);
            else if (scale > 16)
                Put(d + i, 0);
            else
            {
                // Exact: eleven significant bits times a power of two stay inside the double range.
                const int32_t c = scale < -200 ? -200 : (scale > 200 ? 200 : scale);
                const double y = double(F16ToF32One(h)) * __builtin_ldexp(1.0, -c);
                Put(d + i,
                    int16_t(y >= 32768.0
                                ? 32767
                                : (y <= -32769.0 ? -32768 : Sat(CvtD(y, rounding != 0), -32768, 32767))));
            }
        };
        int32_t i = 0;
        if (scale >= -126 && scale <= 16)
        {
            // Four lanes in single precision, where the value times 2^-scale is exact or beyond
            // the 16-bit range (so it saturates either way): infinities and NaNs go through the
            // arithmetic as zeros and take their results afterwards, the value is held to the
            // 16-bit range before the conversion (which then rounds as the single element does).
            const __m128 factor = _mm_castsi128_ps(_mm_set1_epi32(int32_t(uint32_t(127 - scale) << 23)));
            const auto four = [&](__m128i w)
            {
                const __m128i magnitude = _mm_and_si128(w, _mm_set1_epi32(0x7FFF));
                const __m128i special = _mm_cmpgt_epi32(magnitude, _mm_set1_epi32(0x7BFF));
                const __m128i nan = _mm_cmpgt_epi32(magnitude, _mm_set1_epi32(0x7C00));
                const __m128i finite = _mm_andnot_si128(special, w);
                const __m128i sign = _mm_slli_epi32(_mm_and_si128(finite, _mm_set1_epi32(0x8000)), 16);
                const __m128i bits =
                    _mm_or_si128(sign, _mm_slli_epi32(_mm_and_si128(finite, _mm_set1_epi32(0x7FFF)), 13));
                __m128 y = _mm_mul_ps(
                    _mm_mul_ps(_mm_castsi128_ps(bits), _mm_castsi128_ps(_mm_set1_epi32(0x77800000))), factor);
                y = _mm_min_ps(_mm_max_ps(y, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
                __m128i r = rounding != 0 ? _mm_cvtps_epi32(y) : _mm_cvttps_epi32(y);
                const __m128i negative =
                    _mm_cmpeq_epi32(_mm_and_si128(w, _mm_set1_epi32(0x8000)), _mm_set1_epi32(0x8000));
                const __m128i bound = _mm_or_si128(_mm_and_si128(negative, _mm_set1_epi32(-32768)),
                                                   _mm_andnot_si128(negative, _mm_set1_epi32(32767)));
                r = _mm_or_si128(_mm_andnot_si128(special, r), _mm_and_si128(special, bound));
                return _mm_andnot_si128(nan, r);
            };
            for (; i < n && Misaligned16(d + i) && reinterpret_cast<uintptr_t>(d) % 2 == 0; ++i)
                one(i);
            for (; n - i >= 8; i += 8)
            {
                const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
                const __m128i zero = _mm_setzero_si128();
                _mm_storeu_si128(
                    reinterpret_cast<__m128i*>(d + i),
                    _mm_packs_epi32(four(_mm_unpacklo_epi16(h, zero)), four(_mm_unpackhi_epi16(h, zero))));
            }
        }
        for (; i < n; ++i)
            one(i);
    }

    static void F32ToF16(const float* s, uint16_t* d, int32_t n, int32_t rounding)
    {
        const auto one = [&](int32_t i)
        {
            const uint32_t sign = Bits(Get(s + i)) & 0x80000000u;
            const float mag = _mm_cvtss_f32(
                _mm_min_ss(_mm_set_ss(65536.0f), _mm_set_ss(Float(Bits(Get(s + i)) & 0x7FFFFFFFu))));
            const uint32_t b = Bits(mag * Float(0x07800000u)); // 2^-112
            const uint32_t h = rounding != 0 ? uint32_t(Sat(int32_t(RoundAt13(b) >> 13), -32768, 32767))
                                             : (b >> 13) & 0x7FFFu;
            Put(d + i, uint16_t(h | (sign >> 16)));
        };
        // Four lanes: the magnitude's 16-bit result (saturated by the pack, as the single
        // element saturates it) and the sign as -32768 or 0, joined after the packs.
        const auto four = [&](const float* p, __m128i& sign16)
        {
            const __m128i x = _mm_castps_si128(_mm_loadu_ps(p));
            sign16 = _mm_srai_epi32(_mm_and_si128(x, _mm_set1_epi32(INT32_MIN)), 16);
            const __m128 mag = _mm_min_ps(_mm_set1_ps(65536.0f),
                                          _mm_castsi128_ps(_mm_and_si128(x, _mm_set1_epi32(0x7FFFFFFF))));
            const __m128i b = _mm_castps_si128(_mm_mul_ps(mag, _mm_castsi128_ps(_mm_set1_epi32(0x07800000))));
            if (rounding != 0)
                return _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(b, _mm_set1_epi32(0xFFF)),
                                                    _mm_and_si128(_mm_srli_epi32(b, 13), _mm_set1_epi32(1))),
                                      13);
            return _mm_and_si128(_mm_srli_epi32(b, 13), _mm_set1_epi32(0x7FFF));
        };
        HalfBlocks(d, n, one,
                   [&](int32_t i)
                   {
                       __m128i signLo, signHi;
                       const __m128i lo = four(s + i, signLo);
                       const __m128i hi = four(s + i + 4, signHi);
                       _mm_storeu_si128(
                           reinterpret_cast<__m128i*>(d + i),
                           _mm_or_si128(_mm_packs_epi32(lo, hi), _mm_packs_epi32(signLo, signHi)));
                   });
    }

    // --- 64-bit to 32-bit with a rounding shift --------------------------------------------------

    // v / 2^shift, ties away from zero, the sum formed in 128 bits so no value overflows; a
    // rounded quotient outside the 32-bit range saturates (a tie just below 2^31 rounds up to it
    // and then to the maximum, never wraps to the minimum). The callers shift by 1 to 32; any
    // other count keeps the same meaning instead of an undefined shift: 0 saturates the value
    // itself, a negative count multiplies by 2^-shift (every nonzero value saturates from -32
    // on), and from 127 on every quotient is below one half and gives 0.
    static void I64ToI32Shift(const int64_t* s, int32_t* d, int32_t n, int32_t shift)
    {
        const int32_t k = shift < -32 ? -32 : (shift > 127 ? 127 : shift);
        for (int32_t i = 0; i < n; ++i)
        {
            const __int128 v = Get(s + i);
            __int128 q;
            if (k > 0)
                q = (v + (__int128(1) << (k - 1)) - (v < 0 ? 1 : 0)) >> k;
            else
                q = v * (__int128(1) << -k);
            Put(d + i, q > INT32_MAX ? INT32_MAX : (q < INT32_MIN ? INT32_MIN : int32_t(q)));
        }
    }
};
