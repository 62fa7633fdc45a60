// Floating-point square-root kernels of the level builds, written once and instantiated by each
// level's build file. Float: blocks of 16 positive normal elements take the reciprocal-square-root
// estimate refined by one Newton step folded into the root (within 3 ulp); a block holding
// anything else (zero, negative, denormal, infinity, NaN), the alignment steps and the tail take
// the correctly rounded root. Double: blocks of four positive normals take the float estimate of
// the range-reduced element refined by two Newton steps without a division (within 1e-13
// relative). The float tail takes groups of 8, 4 and 2, the double tail a group of 2, and each
// then one last element. Groups count an element as negative by an ordered compare, so never a
// NaN; the single-element steps (alignment and last element) by its bits, the sign set and not
// -0, so there a NaN with its sign bit set counts. The caller's MXCSR word comes back exactly.
// The complex kernels take the half-angle formulas (Fc32 through two refined estimates, Fc64
// through exact roots and one division shared by four elements).
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

// The floating-point environment of a square-root run: the caller's rounding mode stays, the
// bits outside `keep` are cleared and those in `set` are set (exception masks, denormals-are-zero
// off), and whatever the run raised or changed, the caller's word comes back exactly. File-local
// like the level's other helpers, so each level keeps its own copy.
namespace
{
class SpFpEnvGuard
{
public:
    // Float roots: all six exceptions masked, denormals-are-zero off (the estimate would see a
    // denormal as zero).
    static constexpr uint32_t kFloatKeep = 0xFFBFu, kFloatSet = 0x1F80u;
    // Double roots: invalid and denormal exceptions masked, the invalid flag and
    // denormals-are-zero cleared (a denormal gets its own root).
    static constexpr uint32_t kDoubleKeep = 0xFFBEu, kDoubleSet = 0x0180u;

    SpFpEnvGuard(uint32_t keep, uint32_t set) : m_saved(_mm_getcsr())
    {
        const uint32_t work = (m_saved & keep) | set;
        if (work != m_saved)
        {
            _mm_setcsr(work);
        }
    }

    ~SpFpEnvGuard()
    {
        if (_mm_getcsr() != m_saved)
        {
            _mm_setcsr(m_saved);
        }
    }

    SpFpEnvGuard(const SpFpEnvGuard&) = delete;
    SpFpEnvGuard& operator=(const SpFpEnvGuard&) = delete;

private:
    uint32_t m_saved;
};
} // namespace

template <class P> struct SpSqrtKernels
{
    static uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

    // Correctly rounded roots of a group (negative elements give the default NaN 0xFFC00000,
    // -0 stays -0, NaN comes back quiet); the mask of elements below zero is the flag.
    static uint32_t Exact(__m128 x, __m128* root)
    {
        *root = _mm_sqrt_ps(x);
        return uint32_t(_mm_movemask_ps(_mm_cmplt_ps(x, _mm_setzero_ps())));
    }

    // The single-element steps' test: the sign bit set and the value not -0 (a NaN with its sign
    // bit set is negative here, unlike in a group).
    static uint32_t NegativeBits(uint32_t bits) { return (bits >> 31) & uint32_t(bits != 0x80000000u); }

    // The level-3 screen's all-bits test, its one SSE4.1 instruction, written out: the level
    // builds are compiled for SSSE3, for which the compiler issues no SSE4.1 instruction itself.
    static bool AnyBitSet(__m128i v)
    {
        bool zero;
        __asm__("ptest %1, %1" : "=@ccz"(zero) : "x"(v));
        return !zero;
    }

    static __m128 Refine(__m128 x, __m128* screen)
    {
        const __m128 y0 = _mm_rsqrt_ps(x);
        const __m128 t = _mm_mul_ps(x, y0);
        const __m128 u = _mm_mul_ps(y0, t);
        if constexpr (P::kLevel >= 3)
        {
            const __m128 h = _mm_mul_ps(_mm_set1_ps(-0.5f), t);
            *screen = h;
            return _mm_mul_ps(_mm_sub_ps(u, _mm_set1_ps(3.0f)), h);
        }
        else
        {
            *screen = u;
            return _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(3.0f), u), _mm_mul_ps(_mm_set1_ps(0.5f), t));
        }
    }

    static uint32_t Kernel(const float* src, float* dst, int32_t len)
    {
        const SpFpEnvGuard environment(SpFpEnvGuard::kFloatKeep, SpFpEnvGuard::kFloatSet);
        uint32_t flag = 0;
        int32_t i = 0;
        auto one = [&](int32_t at)
        {
            __m128 root;
            float x;
            uint32_t bits;
            memcpy(&x, src + at, 4);
            memcpy(&bits, src + at, 4);
            Exact(_mm_set_ss(x), &root);
            flag |= NegativeBits(bits);
            x = _mm_cvtss_f32(root);
            memcpy(dst + at, &x, 4);
        };
        for (; i < len && (Address(dst + i) & 12) != 0; ++i)
        {
            one(i);
        }
        const bool alignedDst = (Address(dst + i) & 15) == 0;
        const bool alignedSrc = alignedDst && (Address(src + i) & 15) == 0;
        for (; len - i >= 16; i += 16)
        {
            __m128 x[4], r[4], screen[4];
            for (int32_t k = 0; k < 4; ++k)
            {
                x[k] = alignedSrc ? _mm_load_ps(src + i + 4 * k) : _mm_loadu_ps(src + i + 4 * k);
                r[k] = Refine(x[k], &screen[k]);
            }
            bool exact;
            if constexpr (P::kLevel >= 3)
            {
                __m128i bad = _mm_setzero_si128();
                for (int32_t k = 0; k < 4; ++k)
                {
                    const __m128i bits = _mm_castps_si128(x[k]);
                    const __m128i exponent = _mm_and_si128(bits, _mm_set1_epi32(0x7F800000));
                    const __m128i fraction = _mm_and_si128(bits, _mm_set1_epi32(0x007FFFFF));
                    const __m128i denormal = _mm_andnot_si128(_mm_cmpeq_epi32(fraction, _mm_setzero_si128()),
                                                              _mm_cmpeq_epi32(exponent, _mm_setzero_si128()));
                    bad = _mm_or_si128(bad, _mm_castps_si128(_mm_cmpunord_ps(screen[k], screen[k])));
                    bad = _mm_or_si128(bad, denormal);
                }
                exact = AnyBitSet(bad);
            }
            else
            {
                const __m128 low = _mm_min_ps(_mm_min_ps(x[0], x[1]), _mm_min_ps(x[2], x[3]));
                __m128 nan = _mm_cmplt_ps(low, _mm_castsi128_ps(_mm_set1_epi32(0x00800000)));
                for (int32_t k = 0; k < 4; ++k)
                {
                    nan = _mm_or_ps(nan, _mm_cmpunord_ps(screen[k], screen[k]));
                }
                exact = _mm_movemask_ps(nan) != 0;
            }
            if (exact)
            {
                for (int32_t k = 0; k < 4; ++k)
                {
                    flag |= Exact(x[k], &r[k]);
                }
            }
            for (int32_t k = 0; k < 4; ++k)
            {
                alignedDst ? _mm_store_ps(dst + i + 4 * k, r[k]) : _mm_storeu_ps(dst + i + 4 * k, r[k]);
            }
        }
        for (int32_t step = 8; step >= 4; step /= 2)
        {
            if (len - i >= step)
            {
                __m128 r[2];
                for (int32_t k = 0; k < step / 4; ++k)
                {
                    flag |= Exact(_mm_loadu_ps(src + i + 4 * k), &r[k]);
                }
                for (int32_t k = 0; k < step / 4; ++k)
                {
                    _mm_storeu_ps(dst + i + 4 * k, r[k]);
                }
                i += step;
            }
        }
        if (len - i >= 2)
        {
            // The pair rides in the low lanes of a vector whose upper lanes are zero: those lanes
            // add no negative lane, and the pair is a group, so a NaN here is not negative.
            __m128 r;
            flag |= Exact(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + i))), &r);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i), _mm_castps_si128(r));
            i += 2;
        }
        if (i < len)
        {
            one(i);
        }
        return flag;
    }

    // ---- double ----------------------------------------------------------------------------

    // Correctly rounded roots of two doubles; the mask of elements below zero (never a NaN).
    static uint32_t ExactF64(__m128d x, __m128d* root)
    {
        *root = _mm_sqrt_pd(x);
        return uint32_t(_mm_movemask_pd(_mm_cmplt_pd(x, _mm_setzero_pd())));
    }

    // The double single-element steps' test, as the float one: sign bit set and not -0.
    static uint32_t NegativeBitsF64(uint64_t bits)
    {
        return uint32_t(bits >> 63) & uint32_t(bits != 0x8000000000000000ull);
    }

    // Two positive normal doubles: x = m 2^(2k) with m in [0.5, 2); R = 16 m y2 from the float
    // estimate y0 of m after two Newton steps, then the exponent of R moved by k - 4.
    static __m128d RefineF64(__m128d x)
    {
        const __m128i bits = _mm_castpd_si128(x);
        const __m128i low53 = _mm_set_epi32(0x001FFFFF, -1, 0x001FFFFF, -1);
        const __m128i half = _mm_castpd_si128(_mm_set1_pd(0.5));
        const __m128i mBits = _mm_or_si128(_mm_and_si128(bits, low53), half);
        const __m128d m = _mm_castsi128_pd(mBits);
        // The upper words differ by 2k exponent steps; halving them gives k steps (lower words 0).
        const __m128i k =
            _mm_and_si128(_mm_srai_epi32(_mm_sub_epi32(bits, mBits), 1), _mm_set_epi32(-1, 0, -1, 0));
        __m128 mf = _mm_cvtpd_ps(m);
        mf = _mm_movelh_ps(mf, _mm_set1_ps(1.0f));
        const __m128d y0 = _mm_cvtps_pd(_mm_rsqrt_ps(mf));
        const __m128d t = _mm_mul_pd(m, y0);
        const __m128d u = _mm_mul_pd(t, y0);
        const __m128d d = _mm_sub_pd(u, _mm_set1_pd(3.0));
        const __m128d p = _mm_mul_pd(t, d);
        __m128d q = _mm_mul_pd(d, d);
        q = _mm_mul_pd(q, u);
        q = _mm_sub_pd(q, _mm_set1_pd(12.0));
        const __m128d r = _mm_mul_pd(p, q);
        const __m128i moved =
            _mm_sub_epi64(_mm_add_epi64(_mm_castpd_si128(r), k), _mm_set1_epi64x(int64_t(1) << 54));
        return _mm_castsi128_pd(moved);
    }

    static bool AllPositiveNormalF64(__m128d a, __m128d b)
    {
        const __m128d lo = _mm_set1_pd(2.2250738585072014e-308);
        const __m128d hi = _mm_set1_pd(1.7976931348623157e308);
        const __m128d okA = _mm_and_pd(_mm_cmpge_pd(a, lo), _mm_cmple_pd(a, hi));
        const __m128d okB = _mm_and_pd(_mm_cmpge_pd(b, lo), _mm_cmple_pd(b, hi));
        return _mm_movemask_pd(_mm_and_pd(okA, okB)) == 3;
    }

    static uint32_t KernelF64(const double* src, double* dst, int32_t len)
    {
        const SpFpEnvGuard environment(SpFpEnvGuard::kDoubleKeep, SpFpEnvGuard::kDoubleSet);
        uint32_t flag = 0;
        const int64_t n = len;
        int64_t i = 0;
        auto one = [&](int64_t at)
        {
            double x;
            uint64_t bits;
            memcpy(&x, src + at, 8);
            memcpy(&bits, src + at, 8);
            __m128d root;
            ExactF64(_mm_set_sd(x), &root);
            flag |= NegativeBitsF64(bits);
            x = _mm_cvtsd_f64(root);
            memcpy(dst + at, &x, 8);
        };
        if ((Address(dst) & 8) != 0)
        {
            one(0);
            i = 1;
        }
        const bool alignedDst = (Address(dst + i) & 15) == 0;
        const bool alignedSrc = alignedDst && (Address(src + i) & 15) == 0;
        for (; n - i >= 4; i += 4)
        {
            __m128d a = alignedSrc ? _mm_load_pd(src + i) : _mm_loadu_pd(src + i);
            __m128d b = alignedSrc ? _mm_load_pd(src + i + 2) : _mm_loadu_pd(src + i + 2);
            if (AllPositiveNormalF64(a, b))
            {
                a = RefineF64(a);
                b = RefineF64(b);
            }
            else
            {
                flag |= ExactF64(a, &a);
                flag |= ExactF64(b, &b);
            }
            alignedDst ? _mm_store_pd(dst + i, a) : _mm_storeu_pd(dst + i, a);
            alignedDst ? _mm_store_pd(dst + i + 2, b) : _mm_storeu_pd(dst + i + 2, b);
        }
        if (n - i >= 2)
        {
            __m128d r;
            flag |= ExactF64(_mm_loadu_pd(src + i), &r);
            _mm_storeu_pd(dst + i, r);
            i += 2;
        }
        if (i < n)
        {
            one(i);
        }
        return flag;
    }

    // ---- complex float -----------------------------------------------------------------------

    // Four complex floats as two vectors of two interleaved elements: the real and imaginary
    // parts of their principal roots, and the mask of lanes whose halved squared modulus is 0.
    // The kernel calls it by its level's name (SpSqrtQuadFc32_L<n>), given as `Quad`.
    static uint32_t QuadFc32(__m128 v0, __m128 v1, __m128* pRe, __m128* pIm)
    {
        const __m128 half = _mm_set1_ps(0.5f);
        const __m128 three = _mm_set1_ps(3.0f);
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
        const __m128 sign = _mm_castsi128_ps(_mm_set1_epi32(int32_t(0x80000000u)));
        v0 = _mm_mul_ps(v0, half);
        v1 = _mm_mul_ps(v1, half);
        const __m128 a = _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 b = _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1));
        __m128 q = _mm_add_ps(_mm_mul_ps(a, a), _mm_mul_ps(b, b));
        const __m128 zero = _mm_setzero_ps();
        const __m128 nb = _mm_cmpnle_ps(zero, b); // not (0 <= B): a NaN counts as negative
        const __m128 ra = _mm_cmple_ps(zero, a);
        const __m128 zeroLanes = _mm_cmpeq_ps(q, zero);
        const uint32_t zeroMask = uint32_t(_mm_movemask_ps(zeroLanes));
        // A zero lane takes 3 for its estimates so nothing turns infinite; its R is 0 afterwards,
        // which makes both of its parts zero.
        q = _mm_or_ps(_mm_andnot_ps(zeroLanes, q), _mm_and_ps(zeroLanes, three));
        const __m128 y = _mm_rsqrt_ps(q);
        const __m128 t = _mm_mul_ps(q, y);
        const __m128 u = _mm_mul_ps(y, t);
        const __m128 m = _mm_mul_ps(_mm_mul_ps(half, t), _mm_sub_ps(three, u));
        const __m128 s = _mm_add_ps(_mm_and_ps(a, magnitude), m);
        const __m128 y2 = _mm_rsqrt_ps(s);
        const __m128 u2 = _mm_mul_ps(_mm_mul_ps(s, y2), y2);
        const __m128 r = _mm_andnot_ps(zeroLanes, _mm_mul_ps(_mm_mul_ps(half, y2), _mm_sub_ps(three, u2)));
        const __m128 p = _mm_mul_ps(s, r);
        const __m128 w = _mm_mul_ps(_mm_and_ps(b, magnitude), r);
        *pRe = _mm_or_ps(_mm_and_ps(ra, p), _mm_andnot_ps(ra, w));
        const __m128 im = _mm_or_ps(_mm_and_ps(ra, w), _mm_andnot_ps(ra, p));
        *pIm = _mm_mul_ps(im, _mm_or_ps(_mm_set1_ps(1.0f), _mm_and_ps(sign, nb)));
        return zeroMask;
    }

    template <uint32_t (*Quad)(__m128, __m128, __m128*, __m128*)>
    static void KernelFc32(const float* src, float* dst, int32_t len)
    {
        const int64_t n = len;
        int64_t i = 0;
        // One element alone: its spare lanes hold 3 + 3i, never zero.
        auto one = [&](int64_t at)
        {
            float pair[4] = {3.0f, 3.0f, 3.0f, 3.0f};
            memcpy(pair, src + 2 * at, 8);
            __m128 re, im;
            Quad(_mm_loadu_ps(pair), _mm_set1_ps(3.0f), &re, &im);
            const __m128 out = _mm_unpacklo_ps(re, im);
            _mm_storel_pi(reinterpret_cast<__m64*>(pair), out);
            memcpy(dst + 2 * at, pair, 8);
        };
        if ((Address(dst) & 8) != 0)
        {
            one(0);
            i = 1;
        }
        const bool alignedDst = (Address(dst + 2 * i) & 15) == 0;
        const bool alignedSrc = alignedDst && (Address(src + 2 * i) & 15) == 0;
        for (; n - i >= 4; i += 4)
        {
            const float* s = src + 2 * i;
            const __m128 v0 = alignedSrc ? _mm_load_ps(s) : _mm_loadu_ps(s);
            const __m128 v1 = alignedSrc ? _mm_load_ps(s + 4) : _mm_loadu_ps(s + 4);
            __m128 re, im;
            Quad(v0, v1, &re, &im);
            const __m128 lo = _mm_unpacklo_ps(re, im);
            const __m128 hi = _mm_unpackhi_ps(re, im);
            float* d = dst + 2 * i;
            alignedDst ? _mm_store_ps(d, lo) : _mm_storeu_ps(d, lo);
            alignedDst ? _mm_store_ps(d + 4, hi) : _mm_storeu_ps(d + 4, hi);
        }
        if (n - i >= 2)
        {
            const __m128 v = _mm_loadu_ps(src + 2 * i);
            __m128 re, im;
            Quad(v, v, &re, &im);
            _mm_storeu_ps(dst + 2 * i, _mm_unpacklo_ps(re, im));
            i += 2;
        }
        if (i < n)
        {
            one(i);
        }
    }

    // ---- complex double ----------------------------------------------------------------------

    struct HalfAngleF64
    {
        __m128d t;    // the root of S = |A| + |z|/2
        __m128d tDiv; // t, or 1 where S = 0 (so the division below stays finite)
        __m128d absB; // |b|/2
        __m128d ra;   // lanes whose real part is not below 0 (a NaN counts as not below)
        __m128d nb;   // lanes whose imaginary part is below 0
    };

    static HalfAngleF64 FrontFc64(__m128d a, __m128d b)
    {
        const __m128d half = _mm_set1_pd(0.5);
        const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
        a = _mm_mul_pd(a, half);
        b = _mm_mul_pd(b, half);
        HalfAngleF64 h;
        const __m128d m = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(a, a), _mm_mul_pd(b, b)));
        const __m128d s = _mm_add_pd(_mm_and_pd(a, magnitude), m);
        h.t = _mm_sqrt_pd(s);
        const __m128d zero = _mm_cmpeq_pd(s, _mm_setzero_pd());
        h.tDiv = _mm_or_pd(_mm_andnot_pd(zero, h.t), _mm_and_pd(zero, _mm_set1_pd(1.0)));
        h.absB = _mm_and_pd(b, magnitude);
        h.ra = _mm_cmpnlt_pd(a, _mm_setzero_pd());
        h.nb = _mm_cmplt_pd(b, _mm_setzero_pd());
        return h;
    }

    // Two roots from their front and the reciprocal of their tDiv.
    static void BackFc64(const HalfAngleF64& h, __m128d reciprocal, __m128d* pRe, __m128d* pIm)
    {
        const __m128d w = _mm_mul_pd(h.absB, reciprocal);
        *pRe = _mm_or_pd(_mm_and_pd(h.ra, h.t), _mm_andnot_pd(h.ra, w));
        const __m128d im = _mm_or_pd(_mm_and_pd(h.ra, w), _mm_andnot_pd(h.ra, h.t));
        const __m128d sign =
            _mm_and_pd(h.nb, _mm_castsi128_pd(_mm_set1_epi64x(int64_t(0x8000000000000000ull))));
        *pIm = _mm_mul_pd(im, _mm_or_pd(_mm_set1_pd(1.0), sign));
    }

    static void StoreFc64(double* d, __m128d re, __m128d im)
    {
        const double out[4] = {_mm_cvtsd_f64(re), _mm_cvtsd_f64(im), _mm_cvtsd_f64(_mm_unpackhi_pd(re, re)),
                               _mm_cvtsd_f64(_mm_unpackhi_pd(im, im))};
        memcpy(d, out, sizeof(out));
    }

    static void KernelFc64(const double* src, double* dst, int32_t len)
    {
        const int64_t n = len;
        int64_t i = 0;
        const bool alignedSrc = (Address(src) & 15) == 0;
        auto load = [&](const double* p) { return alignedSrc ? _mm_load_pd(p) : _mm_loadu_pd(p); };
        for (; n - i >= 4; i += 4)
        {
            const double* s = src + 2 * i;
            const __m128d e0 = load(s), e1 = load(s + 2), e2 = load(s + 4), e3 = load(s + 6);
            const HalfAngleF64 h0 = FrontFc64(_mm_unpacklo_pd(e0, e1), _mm_unpackhi_pd(e0, e1));
            const HalfAngleF64 h1 = FrontFc64(_mm_unpacklo_pd(e2, e3), _mm_unpackhi_pd(e2, e3));
            // One division serves both pairs: 1/(t0 t1) times the partner's t.
            const __m128d d = _mm_div_pd(_mm_set1_pd(1.0), _mm_mul_pd(h0.tDiv, h1.tDiv));
            __m128d re, im;
            BackFc64(h0, _mm_mul_pd(h1.tDiv, d), &re, &im);
            StoreFc64(dst + 2 * i, re, im);
            BackFc64(h1, _mm_mul_pd(h0.tDiv, d), &re, &im);
            StoreFc64(dst + 2 * i + 4, re, im);
        }
        if (n - i >= 2)
        {
            const __m128d e0 = _mm_loadu_pd(src + 2 * i), e1 = _mm_loadu_pd(src + 2 * i + 2);
            const HalfAngleF64 h = FrontFc64(_mm_unpacklo_pd(e0, e1), _mm_unpackhi_pd(e0, e1));
            __m128d re, im;
            BackFc64(h, _mm_div_pd(_mm_set1_pd(1.0), h.tDiv), &re, &im);
            StoreFc64(dst + 2 * i, re, im);
            i += 2;
        }
        if (i < n)
        {
            const __m128d e = _mm_loadu_pd(src + 2 * i);
            const HalfAngleF64 h = FrontFc64(e, _mm_unpackhi_pd(e, e));
            __m128d re, im;
            BackFc64(h, _mm_div_sd(_mm_set1_pd(1.0), h.tDiv), &re, &im);
            const double out[2] = {_mm_cvtsd_f64(re), _mm_cvtsd_f64(im)};
            memcpy(dst + 2 * i, out, sizeof(out));
        }
    }
};
