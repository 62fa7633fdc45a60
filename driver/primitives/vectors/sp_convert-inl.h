// Kernels of the format conversions and in-place scaling, written once for every level: each
// level's build file includes this body and instantiates SpConvertKernels<its parameter block>.
// Everything here is a member of that class template, so builds compiled for different
// instruction sets never share (and never merge) a function.
//
// Integer results do not depend on the caller's SSE rounding control: they come from truncating
// conversions plus exact arithmetic on the fraction, or, while the caller runs round-to-nearest,
// from the processor's own nearest conversion, which then yields the same integers. The one
// exception is part of the contract: unscaled ties-away adds its half in single precision.
//
// Scales whose 2^-scale is a normal float run in single precision, where the scaled value is
// exact (or so far out of range that saturation or 0 follows either way); other scales follow
// the double-precision rule literally.
#pragma once

#include <emmintrin.h>
#include <tmmintrin.h>
#include <math.h>
#include <string.h>

#include "driver/primitives/dispatch/sp_memory.h"
#include "driver/primitives/vectors/sp_convert.h"

template <class P> struct SpConvertKernels
{
    // Nearest with ties to even by the processor's own conversion: the mode the float loops
    // use when the caller's SSE rounding control is round-to-nearest, which gives exactly
    // what the exact-arithmetic form gives, at a fraction of the instructions.
    static constexpr int32_t kRoundEvenByHardware = -100;

    static bool RoundToNearestInForce() { return (_mm_getcsr() & 0x6000u) == 0; }

    // An exact difference of zero comes out as -0.0 only while rounding down.
    static bool RoundingDownInForce() { return (_mm_getcsr() & 0x6000u) == 0x2000u; }

    static constexpr unsigned kInvalidFlag = 0x0001u;

    // The clamp-free blocks below hand a NaN or an out-of-range value straight to the
    // processor's conversion, which raises the invalid flag that the clamping code never raises
    // for them. A redone block first puts the flag back as it stood before that block (blocks
    // that were not redone cannot have raised it), then lets the clamping code raise what it
    // raises; the returned state is the one to restore at the next redo.
    static void RestoreInvalidFlag(unsigned invalidBefore)
    {
        const unsigned csr = _mm_getcsr();
        if ((csr & kInvalidFlag) != invalidBefore)
        {
            _mm_setcsr((csr & ~kInvalidFlag) | invalidBefore);
        }
    }

    static unsigned InvalidFlag() { return _mm_getcsr() & kInvalidFlag; }

    // Single elements by bytes: the level builds take float and 32-bit vectors that are only
    // 2-byte aligned, where a typed access would be undefined.
    template <typename T> static T Get(const T* p)
    {
        T v;
        memcpy(&v, p, sizeof(T));
        return v;
    }
    template <typename T, typename V> static void Put(T* p, V v)
    {
        const T t = static_cast<T>(v);
        memcpy(p, &t, sizeof(T));
    }

    // --- scale factors -------------------------------------------------------------------------

    // 2^-scale in double for the float -> 16/32-bit conversions. Beyond +-1100 the factor is
    // already 0 or +inf, so the clamp only keeps -scale representable.
    static double ScaleFactorF64(int32_t scale)
    {
        const int32_t s = scale < -1100 ? -1100 : (scale > 1100 ? 1100 : scale);
        return ldexp(1.0, -s);
    }

    // 2^-scale in single precision from the exponent field; scale already clamped so that the
    // pattern stays a finite float (scale = 127 gives +0.0).
    static float ScaleFactorF32(int32_t scale, int32_t lowest, int32_t highest)
    {
        const int32_t s = scale < lowest ? lowest : (scale > highest ? highest : scale);
        const uint32_t bits = 0x3F800000u - static_cast<uint32_t>(s) * (1u << 23);
        float factor;
        memcpy(&factor, &bits, sizeof(factor));
        return factor;
    }

    // --- one element ---------------------------------------------------------------------------

    // Nearest with ties to even on a value already inside the integer range: the half is added
    // in double, and an exact integer sum marks a tie whose odd result steps toward zero.
    static int32_t RoundEven(double y)
    {
        const double sum = y + (y < 0.0 ? -0.5 : 0.5);
        int32_t r = static_cast<int32_t>(sum);
        if (static_cast<double>(r) == sum && (r & 1) != 0)
        {
            r -= r > 0 ? 1 : -1;
        }
        return r;
    }

    static int32_t RoundAway(double y) { return static_cast<int32_t>(y + (y < 0.0 ? -0.5 : 0.5)); }

    static int32_t RoundInRange(double y, int32_t rounding)
    {
        if (rounding == SpRoundZero)
        {
            return static_cast<int32_t>(y);
        }
        if (rounding == SpRoundNearestEven)
        {
            return RoundEven(y);
        }
        return RoundAway(y);
    }

    static int16_t F32ToI16(float x, double factor, bool scaled, int32_t rounding)
    {
        const double y = scaled ? static_cast<double>(x) * factor : static_cast<double>(x);
        if (y != y)
        {
            return 0;
        }
        if (y >= 32767.0)
        {
            return 32767;
        }
        if (y <= -32768.0)
        {
            return -32768;
        }
        if (!scaled && rounding != SpRoundZero && rounding != SpRoundNearestEven)
        {
            // Unscaled, ties away from zero adds the half in single precision, so x + 0.5 is
            // rounded to float first (the float just below 0.5 gives 1).
            const float sum = x + (x < 0.0f ? -0.5f : 0.5f);
            return static_cast<int16_t>(static_cast<int32_t>(sum));
        }
        return static_cast<int16_t>(RoundInRange(y, rounding));
    }

    static int32_t F32ToI32(float x, double factor, int32_t rounding)
    {
        const double y = static_cast<double>(x) * factor;
        if (y != y)
        {
            return rounding == SpRoundZero || rounding == SpRoundNearestEven ? 0 : INT32_MIN;
        }
        if (y >= 2147483648.0)
        {
            return INT32_MAX;
        }
        if (y <= -2147483648.0)
        {
            return INT32_MIN;
        }
        return RoundInRange(y, rounding);
    }

    static int32_t F32ToI24(float x, float factor)
    {
        const float y = x * factor;
        if (y != y)
        {
            return 0;
        }
        if (y >= 8388607.0f)
        {
            return 8388607;
        }
        if (y <= -8388608.0f)
        {
            return -8388608;
        }
        return RoundEven(static_cast<double>(y));
    }

    static void StoreI24(uint8_t* dst, int32_t v)
    {
        dst[0] = static_cast<uint8_t>(v);
        dst[1] = static_cast<uint8_t>(v >> 8);
        dst[2] = static_cast<uint8_t>(v >> 16);
    }

    static int32_t LoadI24(const uint8_t* src)
    {
        const uint32_t u = static_cast<uint32_t>(src[0]) << 8 | static_cast<uint32_t>(src[1]) << 16 |
                           static_cast<uint32_t>(src[2]) << 24;
        return static_cast<int32_t>(u) >> 8;
    }

    // --- four elements ---------------------------------------------------------------------------

    // Two doubles (already NaN-free and clamped to the target range) to two int32 in the low
    // half, rounded by mode; the same arithmetic as RoundInRange.
    template <int32_t Mode> static __m128i RoundPairF64(__m128d y)
    {
        if (Mode == SpRoundZero)
        {
            return _mm_cvttpd_epi32(y);
        }
        const __m128d signMask = _mm_set1_pd(-0.0);
        const __m128d half = _mm_or_pd(_mm_and_pd(y, signMask), _mm_set1_pd(0.5));
        const __m128d sum = _mm_add_pd(y, half);
        __m128i r = _mm_cvttpd_epi32(sum);
        if (Mode == SpRoundNearestEven)
        {
            const __m128d tie = _mm_cmpeq_pd(_mm_cvtepi32_pd(r), sum);
            const __m128i tie32 = _mm_shuffle_epi32(_mm_castpd_si128(tie), _MM_SHUFFLE(3, 3, 2, 0));
            const __m128i one = _mm_set1_epi32(1);
            const __m128i odd = _mm_cmpeq_epi32(_mm_and_si128(r, one), one);
            const __m128i towardZero = _mm_or_si128(_mm_srai_epi32(r, 31), one); // +1 or -1
            r = _mm_sub_epi32(r, _mm_and_si128(_mm_and_si128(tie32, odd), towardZero));
        }
        return r;
    }

    static __m128d NanMask(__m128d y) { return _mm_cmpunord_pd(y, y); }

    // Two doubles: NaN -> 0, clamped to [lo, hi], then rounded.
    template <int32_t Mode> static __m128i SaturateRoundPairF64(__m128d y, __m128d lo, __m128d hi)
    {
        y = _mm_andnot_pd(_mm_cmpunord_pd(y, y), y);
        y = _mm_min_pd(_mm_max_pd(y, lo), hi);
        return RoundPairF64<Mode>(y);
    }

    // Four floats widened to double and scaled; NaN -> 0, saturated to [lo, hi], rounded.
    template <int32_t Mode> static __m128i F32x4ToI32x4(__m128 x, __m128d factor, __m128d lo, __m128d hi)
    {
        const __m128d yLo = _mm_mul_pd(_mm_cvtps_pd(x), factor);
        const __m128d yHi = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), factor);
        return _mm_unpacklo_epi64(SaturateRoundPairF64<Mode>(yLo, lo, hi),
                                  SaturateRoundPairF64<Mode>(yHi, lo, hi));
    }

    // Unscaled 16-bit with ties away: the half is added in single precision.
    static __m128i F32x4ToI16AwayUnscaled(__m128 x)
    {
        x = _mm_andnot_ps(_mm_cmpunord_ps(x, x), x);
        x = _mm_min_ps(_mm_max_ps(x, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
        const __m128 half = _mm_or_ps(_mm_and_ps(x, _mm_set1_ps(-0.0f)), _mm_set1_ps(0.5f));
        return _mm_cvttps_epi32(_mm_add_ps(x, half));
    }

    // Four floats, NaN-free and clamped to the target range, rounded by mode with exact
    // arithmetic only: the truncation, its fraction (y minus an integer of the same binade is
    // exact) and a step of one away from zero where the fraction calls for it. Nothing here
    // depends on the caller's rounding mode.
    template <int32_t Mode> static __m128i RoundF32x4(__m128 y)
    {
        if (Mode == kRoundEvenByHardware)
        {
            return _mm_cvtps_epi32(y);
        }
        const __m128i t = _mm_cvttps_epi32(y);
        if (Mode == SpRoundZero)
        {
            return t;
        }
        const __m128 frac = _mm_sub_ps(y, _mm_cvtepi32_ps(t));
        const __m128 absFrac = _mm_and_ps(frac, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF)));
        const __m128 half = _mm_set1_ps(0.5f);
        __m128i up;
        if (Mode == SpRoundNearestEven)
        {
            const __m128i one = _mm_set1_epi32(1);
            const __m128i odd = _mm_cmpeq_epi32(_mm_and_si128(t, one), one);
            up = _mm_or_si128(_mm_castps_si128(_mm_cmpgt_ps(absFrac, half)),
                              _mm_and_si128(_mm_castps_si128(_mm_cmpeq_ps(absFrac, half)), odd));
        }
        else
        {
            up = _mm_castps_si128(_mm_cmpge_ps(absFrac, half));
        }
        // A step is only taken for a nonzero fraction, whose sign is the sign of y.
        const __m128i step = _mm_or_si128(_mm_srai_epi32(_mm_castps_si128(frac), 31), _mm_set1_epi32(1));
        return _mm_add_epi32(t, _mm_and_si128(up, step));
    }

    // Four floats scaled in single precision, NaN -> 0, saturated to [lo, hi] (both floats),
    // rounded. While 2^-scale is a normal float the product is exact, or overflows or
    // underflows so far that the double-precision rule saturates or gives 0 all the same.
    template <int32_t Mode> static __m128i ScaledF32x4ToI32x4(__m128 x, __m128 factor, __m128 lo, __m128 hi)
    {
        __m128 y = _mm_mul_ps(x, factor);
        y = _mm_andnot_ps(_mm_cmpunord_ps(y, y), y);
        y = _mm_min_ps(_mm_max_ps(y, lo), hi);
        return RoundF32x4<Mode>(y);
    }

    // Scales whose 2^-scale is a normal float take the single-precision loops.
    static bool FloatScaleExact(int32_t scale) { return scale >= -126 && scale <= 126; }

    // --- loops -----------------------------------------------------------------------------------

    template <int32_t Mode>
    static void F32ToI16Loop(const float* src, int16_t* dst, int32_t len, double factor, int32_t rounding)
    {
        const __m128d f = _mm_set1_pd(factor);
        const __m128d lo = _mm_set1_pd(-32768.0);
        const __m128d hi = _mm_set1_pd(32767.0);
        int32_t i = 0;
        for (; i + 8 <= len; i += 8)
        {
            const __m128i a = F32x4ToI32x4<Mode>(_mm_loadu_ps(src + i), f, lo, hi);
            const __m128i b = F32x4ToI32x4<Mode>(_mm_loadu_ps(src + i + 4), f, lo, hi);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(a, b));
        }
        for (; i < len; ++i)
        {
            Put(dst + i, F32ToI16(Get(src + i), factor, true, rounding));
        }
    }

    template <int32_t Mode>
    static void F32ToI16x8Clamped(const float* src, int16_t* dst, __m128 f, __m128 lo, __m128 hi)
    {
        const __m128i a = ScaledF32x4ToI32x4<Mode>(_mm_loadu_ps(src), f, lo, hi);
        const __m128i b = ScaledF32x4ToI32x4<Mode>(_mm_loadu_ps(src + 4), f, lo, hi);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_packs_epi32(a, b));
    }

    // The processor's conversions (truncating, or nearest under a round-to-nearest caller) turn
    // a NaN and anything past the int32 range into INT32_MIN, which the 16-bit pack makes -32768,
    // and saturate everything else exactly as the clamps would. So a block of sixteen goes
    // without clamps and is kept unless -32768 shows up; then the clamping code redoes it (a
    // true -32768 only costs the redo). The other modes need the clamps for their fraction
    // arithmetic and always take them.
    static constexpr bool ClampFreeMode(int32_t mode)
    {
        return mode == kRoundEvenByHardware || mode == SpRoundZero;
    }

    template <int32_t Mode> static __m128i ConvertF32x4(__m128 y)
    {
        return Mode == SpRoundZero ? _mm_cvttps_epi32(y) : _mm_cvtps_epi32(y);
    }

    static bool AnyInt32Min(__m128i a, __m128i b, __m128i c, __m128i d)
    {
        const __m128i lowest = _mm_set1_epi32(INT32_MIN);
        const __m128i hits =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi32(a, lowest), _mm_cmpeq_epi32(b, lowest)),
                         _mm_or_si128(_mm_cmpeq_epi32(c, lowest), _mm_cmpeq_epi32(d, lowest)));
        return _mm_movemask_epi8(hits) != 0;
    }

    // One block of sixteen without clamps, kept unless -32768 shows up; then only INT32_MIN
    // marks a lane to redo (a true -32768 costs the test), and the clamping code redoes the
    // block after putting the invalid flag back as it stood before it.
    template <int32_t Mode>
    static void F32ToI16Block(const float* src, int16_t* dst, __m128 f, __m128 lo, __m128 hi,
                              unsigned& invalid)
    {
        const __m128i r0 = ConvertF32x4<Mode>(_mm_mul_ps(_mm_loadu_ps(src), f));
        const __m128i r1 = ConvertF32x4<Mode>(_mm_mul_ps(_mm_loadu_ps(src + 4), f));
        const __m128i r2 = ConvertF32x4<Mode>(_mm_mul_ps(_mm_loadu_ps(src + 8), f));
        const __m128i r3 = ConvertF32x4<Mode>(_mm_mul_ps(_mm_loadu_ps(src + 12), f));
        const __m128i p0 = _mm_packs_epi32(r0, r1);
        const __m128i p1 = _mm_packs_epi32(r2, r3);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_min_epi16(p0, p1), _mm_set1_epi16(INT16_MIN))) != 0 &&
            AnyInt32Min(r0, r1, r2, r3))
        {
            RestoreInvalidFlag(invalid);
            F32ToI16x8Clamped<Mode>(src, dst, f, lo, hi);
            F32ToI16x8Clamped<Mode>(src + 8, dst + 8, f, lo, hi);
            invalid = InvalidFlag();
            return;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), p0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8), p1);
    }

    template <int32_t Mode>
    static int32_t F32ToI16ClampFree(const float* src, int16_t* dst, int32_t len, __m128 f, __m128 lo,
                                     __m128 hi)
    {
        const __m128i lowest = _mm_set1_epi16(INT16_MIN);
        unsigned invalid = InvalidFlag();
        int32_t i = 0;
        // Two blocks at a time with one test for both while no -32768 shows up; a pair where
        // one does goes through the single blocks. The conversions of a pair raise nothing that
        // the single blocks would not (a raised flag always comes with INT32_MIN, so a redo).
        for (; i + 2 * P::kConvertBlock <= len; i += 2 * P::kConvertBlock)
        {
            __m128i p[4];
            for (int32_t k = 0; k < 4; ++k)
            {
                const float* in = src + i + 8 * k;
                p[k] = _mm_packs_epi32(ConvertF32x4<Mode>(_mm_mul_ps(_mm_loadu_ps(in), f)),
                                       ConvertF32x4<Mode>(_mm_mul_ps(_mm_loadu_ps(in + 4), f)));
            }
            const __m128i least = _mm_min_epi16(_mm_min_epi16(p[0], p[1]), _mm_min_epi16(p[2], p[3]));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(least, lowest)) != 0)
            {
                F32ToI16Block<Mode>(src + i, dst + i, f, lo, hi, invalid);
                F32ToI16Block<Mode>(src + i + P::kConvertBlock, dst + i + P::kConvertBlock, f, lo, hi,
                                    invalid);
                continue;
            }
            for (int32_t k = 0; k < 4; ++k)
            {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 8 * k), p[k]);
            }
        }
        for (; i + P::kConvertBlock <= len; i += P::kConvertBlock)
        {
            F32ToI16Block<Mode>(src + i, dst + i, f, lo, hi, invalid);
        }
        return i;
    }

    template <int32_t Mode>
    static void F32ToI16FloatLoop(const float* src, int16_t* dst, int32_t len, int32_t scale,
                                  int32_t rounding)
    {
        static_assert(P::kConvertBlock == 16, "the clamp-free blocks convert sixteen samples");
        const float factorF32 = ScaleFactorF32(scale, -126, 126);
        const double factor = static_cast<double>(factorF32);
        const __m128 f = _mm_set1_ps(factorF32);
        const __m128 lo = _mm_set1_ps(-32768.0f);
        const __m128 hi = _mm_set1_ps(32767.0f);
        int32_t i = ClampFreeMode(Mode) ? F32ToI16ClampFree<Mode>(src, dst, len, f, lo, hi) : 0;
        for (; i + 8 <= len; i += 8)
        {
            F32ToI16x8Clamped<Mode>(src + i, dst + i, f, lo, hi);
        }
        for (; i < len; ++i)
        {
            Put(dst + i, F32ToI16(Get(src + i), factor, true, rounding));
        }
    }

    template <int32_t Mode>
    static void F32ToI32FloatLoop(const float* src, int32_t* dst, int32_t len, int32_t scale,
                                  int32_t rounding)
    {
        const float factorF32 = ScaleFactorF32(scale, -126, 126);
        const double factor = static_cast<double>(factorF32);
        const __m128 f = _mm_set1_ps(factorF32);
        const __m128 lo = _mm_set1_ps(-2147483648.0f);
        const __m128 limit = _mm_set1_ps(2147483648.0f);
        const __m128 hi = _mm_set1_ps(2147483520.0f); // the largest float below 2^31
        int32_t i = 0;
        for (; i + 4 <= len; i += 4)
        {
            const __m128 y = _mm_mul_ps(_mm_loadu_ps(src + i), f);
            // The ordered compare raises the invalid flag on a NaN, which the caller must not
            // see: it runs on the value with its NaN lanes cleared by the quiet unordered test.
            const __m128 nanLanes = _mm_cmpunord_ps(y, y);
            const __m128i over = _mm_castps_si128(_mm_cmpge_ps(_mm_andnot_ps(nanLanes, y), limit));
            __m128i r = ScaledF32x4ToI32x4<Mode>(_mm_loadu_ps(src + i), f, lo, hi);
            r = _mm_or_si128(_mm_andnot_si128(over, r), _mm_and_si128(over, _mm_set1_epi32(INT32_MAX)));
            if (Mode == SpRoundNearestAway)
            {
                const __m128i nan = _mm_castps_si128(nanLanes);
                r = _mm_or_si128(_mm_andnot_si128(nan, r), _mm_and_si128(nan, _mm_set1_epi32(INT32_MIN)));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), r);
        }
        for (; i < len; ++i)
        {
            Put(dst + i, F32ToI32(Get(src + i), factor, rounding));
        }
    }

    static void F32ToI16AwayUnscaledLoop(const float* src, int16_t* dst, int32_t len)
    {
        int32_t i = 0;
        for (; i + 8 <= len; i += 8)
        {
            const __m128i a = F32x4ToI16AwayUnscaled(_mm_loadu_ps(src + i));
            const __m128i b = F32x4ToI16AwayUnscaled(_mm_loadu_ps(src + i + 4));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(a, b));
        }
        for (; i < len; ++i)
        {
            Put(dst + i, F32ToI16(Get(src + i), 1.0, false, SpRoundNearestAway));
        }
    }

    template <int32_t Mode>
    static void F32ToI32Loop(const float* src, int32_t* dst, int32_t len, double factor, int32_t rounding)
    {
        const __m128d f = _mm_set1_pd(factor);
        const __m128d lo = _mm_set1_pd(-2147483648.0);
        const __m128d hi = _mm_set1_pd(2147483647.0);
        int32_t i = 0;
        for (; i + 4 <= len; i += 4)
        {
            const __m128 x = _mm_loadu_ps(src + i);
            __m128i r = F32x4ToI32x4<Mode>(x, f, lo, hi);
            if (Mode == SpRoundNearestAway)
            {
                // Ties-away reports a NaN scaled value (a NaN source, or 0 x inf and inf x 0 at
                // extreme scales) as the lowest integer.
                const __m128d nanLo = NanMask(_mm_mul_pd(_mm_cvtps_pd(x), f));
                const __m128d nanHi = NanMask(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), f));
                const __m128i nan = _mm_castps_si128(
                    _mm_shuffle_ps(_mm_castpd_ps(nanLo), _mm_castpd_ps(nanHi), _MM_SHUFFLE(2, 0, 2, 0)));
                r = _mm_or_si128(_mm_andnot_si128(nan, r), _mm_and_si128(nan, _mm_set1_epi32(INT32_MIN)));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), r);
        }
        for (; i < len; ++i)
        {
            Put(dst + i, F32ToI32(Get(src + i), factor, rounding));
        }
    }

    // --- checked bodies (the table entries' work) --------------------------------------------

    static SpStatus ConvertF32ToI16(const float* src, int16_t* dst, int32_t len, int32_t rounding,
                                    int32_t scale)
    {
        if (src == nullptr || dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        if (scale == 0 && rounding != SpRoundZero && rounding != SpRoundNearestEven)
        {
            F32ToI16AwayUnscaledLoop(src, dst, len);
        }
        else if (FloatScaleExact(scale))
        {
            if (rounding == SpRoundZero)
            {
                F32ToI16FloatLoop<SpRoundZero>(src, dst, len, scale, rounding);
            }
            else if (rounding == SpRoundNearestEven && RoundToNearestInForce())
            {
                F32ToI16FloatLoop<kRoundEvenByHardware>(src, dst, len, scale, rounding);
            }
            else if (rounding == SpRoundNearestEven)
            {
                F32ToI16FloatLoop<SpRoundNearestEven>(src, dst, len, scale, rounding);
            }
            else
            {
                F32ToI16FloatLoop<SpRoundNearestAway>(src, dst, len, scale, rounding);
            }
        }
        else
        {
            const double factor = ScaleFactorF64(scale);
            if (rounding == SpRoundZero)
            {
                F32ToI16Loop<SpRoundZero>(src, dst, len, factor, rounding);
            }
            else if (rounding == SpRoundNearestEven)
            {
                F32ToI16Loop<SpRoundNearestEven>(src, dst, len, factor, rounding);
            }
            else
            {
                F32ToI16Loop<SpRoundNearestAway>(src, dst, len, factor, rounding);
            }
        }
        return SpOk;
    }

    static SpStatus ConvertF32ToI32(const float* src, int32_t* dst, int32_t len, int32_t rounding,
                                    int32_t scale)
    {
        if (src == nullptr || dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        if (FloatScaleExact(scale))
        {
            if (rounding == SpRoundZero)
            {
                F32ToI32FloatLoop<SpRoundZero>(src, dst, len, scale, rounding);
            }
            else if (rounding == SpRoundNearestEven && RoundToNearestInForce())
            {
                F32ToI32FloatLoop<kRoundEvenByHardware>(src, dst, len, scale, rounding);
            }
            else if (rounding == SpRoundNearestEven)
            {
                F32ToI32FloatLoop<SpRoundNearestEven>(src, dst, len, scale, rounding);
            }
            else
            {
                F32ToI32FloatLoop<SpRoundNearestAway>(src, dst, len, scale, rounding);
            }
            return SpOk;
        }
        const double factor = ScaleFactorF64(scale);
        if (rounding == SpRoundZero)
        {
            F32ToI32Loop<SpRoundZero>(src, dst, len, factor, rounding);
        }
        else if (rounding == SpRoundNearestEven)
        {
            F32ToI32Loop<SpRoundNearestEven>(src, dst, len, factor, rounding);
        }
        else
        {
            F32ToI32Loop<SpRoundNearestAway>(src, dst, len, factor, rounding);
        }
        return SpOk;
    }

    // Sixteen samples by exponent splicing instead of conversion and multiply: v + 32768 as the
    // low mantissa bits under the exponent of 2^(23 - s) makes the float 2^(23 - s) + (v + 32768)
    // x 2^-s, and subtracting 2^(23 - s) + 2^(15 - s) leaves v x 2^-s exactly (both operands are
    // normal multiples of 2^-s, the difference a representable one). The exponent field holds
    // 150 - s only for s >= -104; v = 0 would give -0.0 under round-down; both stay on the
    // multiply.
    static int32_t I16ToF32Spliced(const int16_t* src, float* dst, int32_t len, int32_t s)
    {
        const __m128i bias = _mm_set1_epi16(INT16_MIN);
        const __m128i exponent = _mm_set1_epi16(static_cast<int16_t>((150 - s) << 7));
        const uint32_t offsetBits = static_cast<uint32_t>(150 - s) << 23 | 0x8000u;
        float offsetF32;
        memcpy(&offsetF32, &offsetBits, sizeof(offsetF32));
        const __m128 offset = _mm_set1_ps(offsetF32);
        int32_t i = 0;
        for (; i + P::kConvertBlock <= len; i += P::kConvertBlock)
        {
            const __m128i v0 =
                _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)), bias);
            const __m128i v1 =
                _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 8)), bias);
            _mm_storeu_ps(dst + i, _mm_sub_ps(_mm_castsi128_ps(_mm_unpacklo_epi16(v0, exponent)), offset));
            _mm_storeu_ps(dst + i + 4,
                          _mm_sub_ps(_mm_castsi128_ps(_mm_unpackhi_epi16(v0, exponent)), offset));
            _mm_storeu_ps(dst + i + 8,
                          _mm_sub_ps(_mm_castsi128_ps(_mm_unpacklo_epi16(v1, exponent)), offset));
            _mm_storeu_ps(dst + i + 12,
                          _mm_sub_ps(_mm_castsi128_ps(_mm_unpackhi_epi16(v1, exponent)), offset));
        }
        return i;
    }

    // 16-bit samples times 2^-s (s already within -112..126), unchecked: single samples until
    // the stores are 16-byte aligned (a destination that is not float-aligned never gets there),
    // the spliced blocks where they apply, blocks of eight by conversion and multiply, then
    // single samples. Every path gives the exact product.
    static void I16ToF32Exact(const int16_t* src, float* dst, int32_t len, int32_t s)
    {
        static_assert(P::kConvertBlock == 16, "the spliced loop converts sixteen samples");
        const float factor = ScaleFactorF32(s, -112, 126);
        const __m128 f = _mm_set1_ps(factor);
        int32_t i = 0;
        for (; i < len && (reinterpret_cast<uintptr_t>(dst + i) & 15) != 0 &&
               (reinterpret_cast<uintptr_t>(dst) & 3) == 0;
             ++i)
        {
            Put(dst + i, static_cast<float>(Get(src + i)) * factor);
        }
        if (s >= -104 && !RoundingDownInForce())
        {
            i += I16ToF32Spliced(src + i, dst + i, len - i, s);
        }
        for (; i + 8 <= len; i += 8)
        {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
            const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
            _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(lo), f));
            _mm_storeu_ps(dst + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(hi), f));
        }
        for (; i < len; ++i)
        {
            Put(dst + i, static_cast<float>(Get(src + i)) * factor);
        }
    }

    static SpStatus ConvertI16ToF32(const int16_t* src, float* dst, int32_t len, int32_t scale)
    {
        if (src == nullptr || dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        I16ToF32Exact(src, dst, len, scale < -112 ? -112 : (scale > 126 ? 126 : scale));
        return SpOk;
    }

    static SpStatus ConvertI32ToF32Scaled(const int32_t* src, float* dst, int32_t len, int32_t scale)
    {
        if (src == nullptr || dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        const float factor = ScaleFactorF32(scale, -96, 126);
        const __m128 f = _mm_set1_ps(factor);
        int32_t i = 0;
        for (; i + 4 <= len; i += 4)
        {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(v), f));
        }
        for (; i < len; ++i)
        {
            Put(dst + i, static_cast<float>(Get(src + i)) * factor);
        }
        return SpOk;
    }

    static SpStatus ConvertI32ToF32(const int32_t* src, float* dst, int32_t len)
    {
        if (src == nullptr || dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        int32_t i = 0;
        for (; i + 4 <= len; i += 4)
        {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            _mm_storeu_ps(dst + i, _mm_cvtepi32_ps(v));
        }
        for (; i < len; ++i)
        {
            Put(dst + i, static_cast<float>(Get(src + i)));
        }
        return SpOk;
    }

    // Four sign-extended 32-bit lanes go out as floats (exact) or as they are, aligned.
    static void StoreLanes(float* out, __m128i v) { _mm_store_ps(out, _mm_cvtepi32_ps(v)); }
    static void StoreLanes(int32_t* out, __m128i v) { _mm_store_si128(reinterpret_cast<__m128i*>(out), v); }

    // Eight samples by SSE2 alone. A 16-byte load that starts one byte before a sample holds
    // that sample in the upper three bytes of its first lane and, 12 bytes on, the sample four
    // places later in its last lane; loads at the samples 0, 1, 2 and 3 of the block (each one
    // byte early) so carry the eight samples, which two rounds of unpacking put in order. Reads
    // one byte before the block and nothing past its 24 bytes.
    template <typename D> static void I24x8(const uint8_t* p, D* out)
    {
        const __m128i l0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1));
        const __m128i l1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
        const __m128i l2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 5));
        const __m128i l3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
        const __m128i first = _mm_unpacklo_epi64(_mm_unpacklo_epi32(l0, l1), _mm_unpacklo_epi32(l2, l3));
        const __m128i second = _mm_unpackhi_epi64(_mm_unpackhi_epi32(l0, l1), _mm_unpackhi_epi32(l2, l3));
        StoreLanes(out, _mm_srai_epi32(first, 8));
        StoreLanes(out + 4, _mm_srai_epi32(second, 8));
    }

    // Sixteen samples with one byte shuffle per four: each 16-byte load at a 12-byte step puts
    // its four samples in the upper three bytes of their lanes, where an arithmetic shift
    // sign-extends them. The last load reads 4 bytes past the block's 48.
    template <typename D> static void I24x16Shuffled(const uint8_t* p, D* out, __m128i spread)
    {
        for (int32_t k = 0; k < 4; ++k)
        {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12 * k));
            StoreLanes(out + 4 * k, _mm_srai_epi32(_mm_shuffle_epi8(v, spread), 8));
        }
    }

    // Sixteen results packed by one byte shuffle per four, stored as four overlapping 16-byte
    // words at a 12-byte step: each store's last 4 bytes are rewritten by the next, and the
    // last one's by whatever is stored after the block, so two samples must follow it.
    static void StoreI24x16(uint8_t* p, __m128i r0, __m128i r1, __m128i r2, __m128i r3)
    {
        const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(r0, pack));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 12), _mm_shuffle_epi8(r1, pack));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 24), _mm_shuffle_epi8(r2, pack));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 36), _mm_shuffle_epi8(r3, pack));
    }

    // Packed 24-bit samples to float or 32-bit integers, unchecked (a count of at least 1). The
    // first sample goes alone so that the byte before every block is inside the source, and
    // single samples follow until the stores are aligned (a destination that is not
    // element-aligned never gets there and takes the single samples throughout); then blocks,
    // then single samples.
    template <typename D> static void I24To(const uint8_t* src, D* dst, int32_t len)
    {
        int32_t i = 0;
        do
        {
            Put(dst + i, static_cast<D>(LoadI24(src + 3 * static_cast<intptr_t>(i))));
            ++i;
        } while (i < len && (reinterpret_cast<uintptr_t>(dst + i) & 15) != 0 &&
                 (reinterpret_cast<uintptr_t>(dst) & 3) == 0);
        if ((reinterpret_cast<uintptr_t>(dst + i) & 15) == 0)
        {
            if constexpr (P::kByteShuffle)
            {
                const __m128i spread = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
                // A block reads 4 bytes past its end: two more samples must follow it.
                for (; len - i >= 18; i += 16)
                {
                    I24x16Shuffled(src + 3 * static_cast<intptr_t>(i), dst + i, spread);
                }
            }
            for (; len - i >= 8; i += 8)
            {
                I24x8(src + 3 * static_cast<intptr_t>(i), dst + i);
            }
        }
        for (; i < len; ++i)
        {
            Put(dst + i, static_cast<D>(LoadI24(src + 3 * static_cast<intptr_t>(i))));
        }
    }

    static SpStatus ConvertI24ToF32(const uint8_t* src, float* dst, int32_t len)
    {
        if (src == nullptr || dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        I24To(src, dst, len);
        return SpOk;
    }

    // Each 64-bit lane becomes v(2k) | v(2k+1) << 24, the six bytes of two samples, stored as
    // two 8-byte words at offsets 0 and 6 of the 12-byte block; the two bytes past the block are
    // rewritten by whatever is stored next, so a sample must follow the block.
    static void StoreI24x4(uint8_t* p, __m128i r, __m128i evenLow24, __m128i oddLow24)
    {
        const __m128i packed =
            _mm_or_si128(_mm_and_si128(r, evenLow24), _mm_srli_epi64(_mm_and_si128(r, oddLow24), 8));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), packed);
        // The high half goes straight from the register (the builtin store carries no alignment).
        _mm_storeh_pi(reinterpret_cast<__m64*>(p + 6), _mm_castsi128_ps(packed));
    }

    // As for 16 bits: without clamps a NaN or a value past the int32 range converts to INT32_MIN
    // and anything else to its nearest integer, so a block whose sixteen integers all fit in 24
    // bits is exactly what the clamping code gives; any other block is redone by it.
    static int32_t F32ToI24ClampFree(const float* src, uint8_t* dst, int32_t len, __m128 f, __m128 lo,
                                     __m128 hi)
    {
        const __m128i evenLow24 = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
        const __m128i oddLow24 = _mm_set_epi32(0x00FFFFFF, 0, 0x00FFFFFF, 0);
        const __m128i half = _mm_set1_epi32(0x00800000);
        const __m128i topByte = _mm_set1_epi32(static_cast<int32_t>(0xFF000000u));
        unsigned invalid = InvalidFlag();
        int32_t i = 0;
        // The shuffled stores write 4 bytes past the block, the others 2: after the block come
        // at least two samples, or one.
        const int32_t after = P::kByteShuffle ? 2 : 1;
        for (; len - i >= P::kConvertBlock + after; i += P::kConvertBlock)
        {
            const __m128i r0 = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(src + i), f));
            const __m128i r1 = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(src + i + 4), f));
            const __m128i r2 = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(src + i + 8), f));
            const __m128i r3 = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(src + i + 12), f));
            // v fits in 24 bits exactly when v + 2^23 has a clear top byte.
            const __m128i biased =
                _mm_or_si128(_mm_or_si128(_mm_add_epi32(r0, half), _mm_add_epi32(r1, half)),
                             _mm_or_si128(_mm_add_epi32(r2, half), _mm_add_epi32(r3, half)));
            uint8_t* p = dst + 3 * static_cast<intptr_t>(i);
            if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(biased, topByte), _mm_setzero_si128())) ==
                0xFFFF)
            {
                if constexpr (P::kByteShuffle)
                {
                    StoreI24x16(p, r0, r1, r2, r3);
                }
                else
                {
                    StoreI24x4(p, r0, evenLow24, oddLow24);
                    StoreI24x4(p + 12, r1, evenLow24, oddLow24);
                    StoreI24x4(p + 24, r2, evenLow24, oddLow24);
                    StoreI24x4(p + 36, r3, evenLow24, oddLow24);
                }
                continue;
            }
            RestoreInvalidFlag(invalid);
            for (int32_t k = 0; k < P::kConvertBlock; k += 4)
            {
                StoreI24x4(p + 3 * k,
                           ScaledF32x4ToI32x4<kRoundEvenByHardware>(_mm_loadu_ps(src + i + k), f, lo, hi),
                           evenLow24, oddLow24);
            }
            invalid = InvalidFlag();
        }
        return i;
    }

    template <int32_t Mode>
    static void F32ToI24Loop(const float* src, uint8_t* dst, int32_t len, float factor)
    {
        static_assert(P::kConvertBlock == 16, "the clamp-free blocks convert sixteen samples");
        const __m128 f = _mm_set1_ps(factor);
        const __m128 lo = _mm_set1_ps(-8388608.0f);
        const __m128 hi = _mm_set1_ps(8388607.0f);
        const __m128i evenLow24 = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
        const __m128i oddLow24 = _mm_set_epi32(0x00FFFFFF, 0, 0x00FFFFFF, 0);
        int32_t i = Mode == kRoundEvenByHardware ? F32ToI24ClampFree(src, dst, len, f, lo, hi) : 0;
        for (; len - i > 4; i += 4)
        {
            StoreI24x4(dst + 3 * static_cast<intptr_t>(i),
                       ScaledF32x4ToI32x4<Mode>(_mm_loadu_ps(src + i), f, lo, hi), evenLow24, oddLow24);
        }
        for (; i < len; ++i)
        {
            StoreI24(dst + 3 * static_cast<intptr_t>(i), F32ToI24(Get(src + i), factor));
        }
    }

    static SpStatus ConvertF32ToI24(const float* src, uint8_t* dst, int32_t len, int32_t scale)
    {
        if (src == nullptr || dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        const float factor = scale != 0 ? ScaleFactorF32(scale, -127, 127) : 1.0f;
        if (RoundToNearestInForce())
        {
            F32ToI24Loop<kRoundEvenByHardware>(src, dst, len, factor);
        }
        else
        {
            F32ToI24Loop<SpRoundNearestEven>(src, dst, len, factor);
        }
        return SpOk;
    }

    static SpStatus ZeroF32(float* dst, int32_t len)
    {
        if (dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        ZeroFloats(dst, len);
        return SpOk;
    }

    static SpStatus AddInPlace(const float* src, float* srcDst, int32_t len)
    {
        if (src == nullptr || srcDst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        int32_t i = 0;
        for (; i + 4 <= len; i += 4)
        {
            if constexpr (P::kPrefetchAhead > 0)
            {
                _mm_prefetch(reinterpret_cast<const char*>(src + i) + P::kPrefetchAhead, _MM_HINT_T0);
            }
            _mm_storeu_ps(srcDst + i, _mm_add_ps(_mm_loadu_ps(srcDst + i), _mm_loadu_ps(src + i)));
        }
        for (; i < len; ++i)
        {
            Put(srcDst + i, Get(srcDst + i) + Get(src + i));
        }
        return SpOk;
    }

    static void MulConstLoop(const float* src, float value, float* dst, int32_t len)
    {
        const __m128 v = _mm_set1_ps(value);
        int32_t i = 0;
        for (; i + 8 <= len; i += 8)
        {
            const __m128 a = _mm_mul_ps(_mm_loadu_ps(src + i), v);
            const __m128 b = _mm_mul_ps(_mm_loadu_ps(src + i + 4), v);
            _mm_storeu_ps(dst + i, a);
            _mm_storeu_ps(dst + i + 4, b);
        }
        for (; i < len; ++i)
        {
            Put(dst + i, Get(src + i) * value);
        }
    }

    static SpStatus DivConst(const float* src, float value, float* dst, int32_t len)
    {
        if (src == nullptr || dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        if (value == 0.0f)
        {
            return SpErrDivideByZero;
        }
        const float r = 1.0f / value;
        if (r == 1.0f)
        {
            if (src != dst)
            {
                memmove(dst, src, static_cast<size_t>(len) * sizeof(float));
            }
        }
        else if (r == 0.0f)
        {
            ZeroFloats(dst, len);
        }
        else
        {
            MulConstLoop(src, r, dst, len);
        }
        return SpOk;
    }

    static SpStatus MulConstInPlace(float value, float* srcDst, int32_t len)
    {
        if (srcDst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        if (value == 1.0f)
        {
            return SpOk;
        }
        if (value == 0.0f)
        {
            ZeroFloats(srcDst, len);
            return SpOk;
        }
        MulConstLoop(srcDst, value, srcDst, len);
        return SpOk;
    }

    static SpStatus AddConstInPlace(float value, float* srcDst, int32_t len)
    {
        if (srcDst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        if (value == 0.0f)
        {
            return SpOk;
        }
        const __m128 v = _mm_set1_ps(value);
        int32_t i = 0;
        for (; i + 4 <= len; i += 4)
        {
            _mm_storeu_ps(srcDst + i, _mm_add_ps(_mm_loadu_ps(srcDst + i), v));
        }
        for (; i < len; ++i)
        {
            Put(srcDst + i, Get(srcDst + i) + value);
        }
        return SpOk;
    }

    static SpStatus MoveI32(const int32_t* src, int32_t* dst, int32_t len)
    {
        if (src == nullptr || dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        memmove(dst, src, static_cast<size_t>(len) * sizeof(int32_t));
        return SpOk;
    }

    // Zeroing by bytes: all-zero bits are +0.0. The count is widened before the multiply so a
    // vector of more than 2^29 floats is zeroed whole.
    static void ZeroFloats(float* dst, int32_t len)
    {
        memset(dst, 0, static_cast<size_t>(len) * sizeof(float));
    }
};
