// Kernel of the element-wise power, written once for every level. Ordinary elements go through
// a table-driven logarithm and exponential in double precision, rounded to single precision
// once at the end; every other element is settled by the special-case rules. The level builds
// run the same operations two lanes at a time over blocks of eight, so they give the generic
// build's bits.
//
// The tables are computed by the compiler from series (see SpPowTables), not typed in.
#pragma once

#include <emmintrin.h>
#include <string.h>
#include <xmmintrin.h>

#include "driver/primitives/vectors/sp_pow.h"

// 2^(j/128) for j = 0..127, and for the logarithm, with c_k = 1 + (k + 0.5)/128 the midpoints
// of the 128 intervals of the mantissa, ln c_k and 1/c_k.
struct SpPowTables
{
    double Exp2[128];
    double LnC[128];
    double InvC[128];
};

namespace sp_pow_detail
{

constexpr double kLn2 = 0.69314718055994530942;

// e^z for |z| <= ln 2 by its Taylor series (the terms fall below 2^-60 well before 30).
constexpr double ConstExpSmall(double z)
{
    double term = 1.0;
    double sum = 1.0;
    for (int n = 1; n < 30; ++n)
    {
        term *= z / n;
        sum += term;
    }
    return sum;
}

// ln c for c in [1, 2] as 2 atanh((c - 1)/(c + 1)); the ratio is at most 1/3.
constexpr double ConstLn(double c)
{
    const double u = (c - 1.0) / (c + 1.0);
    const double u2 = u * u;
    double power = u;
    double sum = 0.0;
    for (int n = 0; n < 40; ++n)
    {
        sum += power / (2 * n + 1);
        power *= u2;
    }
    return 2.0 * sum;
}

constexpr SpPowTables BuildPowTables()
{
    SpPowTables t = {};
    for (int j = 0; j < 128; ++j)
    {
        t.Exp2[j] = ConstExpSmall(j * (kLn2 / 128.0));
        const double c = 1.0 + (j + 0.5) / 128.0;
        t.LnC[j] = ConstLn(c);
        t.InvC[j] = 1.0 / c;
    }
    return t;
}

} // namespace sp_pow_detail

template <class P> struct SpPowKernels
{
    static constexpr SpPowTables kTables = sp_pow_detail::BuildPowTables();

    // ln 2 split so that n x kLn2Hi is exact for the exponents and indices used here.
    static constexpr double kLn2Hi = 0x1.62e42feep-1;
    static constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;
    // |y ln|x|| from here on: the result is beyond double, so surely beyond float.
    static constexpr double kExpLimit = 708.39;

    static constexpr unsigned kMxcsrFlags = 0x003F;
    static constexpr unsigned kMxcsrDaz = 0x0040;
    static constexpr unsigned kMxcsrRounding = 0x6000;
    static constexpr unsigned kMxcsrFtz = 0x8000;

    static uint32_t BitsOf(float x)
    {
        uint32_t bits;
        memcpy(&bits, &x, sizeof(bits));
        return bits;
    }

    static float FromBits(uint32_t bits)
    {
        float f;
        memcpy(&f, &bits, sizeof(f));
        return f;
    }

    static uint64_t BitsOf(double x)
    {
        uint64_t bits;
        memcpy(&bits, &x, sizeof(bits));
        return bits;
    }

    static double FromBits64(uint64_t bits)
    {
        double d;
        memcpy(&d, &bits, sizeof(d));
        return d;
    }

    // --- exponent classification ---------------------------------------------------------------

    // An integer exponent is finite, at least 1 in magnitude and has no fractional bits.
    static bool IsInteger(float y)
    {
        const uint32_t exponent = (BitsOf(y) >> 23) & 0xFF;
        if (exponent < 127 || exponent == 255)
        {
            return false;
        }
        if (exponent >= 150)
        {
            return true;
        }
        const uint32_t fractionMask = (1u << (150 - exponent)) - 1;
        return (BitsOf(y) & fractionMask) == 0;
    }

    // Odd: an integer whose lowest integer bit is set; from 2^24 on every float is even.
    static bool IsOddInteger(float y)
    {
        if (!IsInteger(y))
        {
            return false;
        }
        const uint32_t exponent = (BitsOf(y) >> 23) & 0xFF;
        if (exponent >= 151)
        {
            return false;
        }
        const uint32_t mantissa = (BitsOf(y) & 0x7FFFFFu) | 0x800000u;
        return ((mantissa >> (150 - exponent)) & 1) != 0;
    }

    // --- main path -------------------------------------------------------------------------------

    // ln a for a positive finite nonzero double (every float, denormals included, is normal
    // as a double): exponent x ln 2, the table entry of the leading seven mantissa bits, and a
    // degree-7 series of log(1 + r) with |r| < 1/256.
    static double Ln(double a)
    {
        const uint64_t bits = BitsOf(a);
        const int32_t e = static_cast<int32_t>((bits >> 52) & 0x7FF) - 1023;
        const double m = FromBits64((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
        const int32_t k = static_cast<int32_t>((bits >> 45) & 0x7F);
        const double c = 1.0 + (k + 0.5) / 128.0;
        const double r = (m - c) * kTables.InvC[k];
        const double series =
            r * (1.0 + r * (-1.0 / 2 +
                            r * (1.0 / 3 + r * (-1.0 / 4 + r * (1.0 / 5 + r * (-1.0 / 6 + r * (1.0 / 7)))))));
        return (e * kLn2Hi + kTables.LnC[k]) + (e * kLn2Lo + series);
    }

    // e^t for |t| < 708.39: t = (128 m + j) ln2/128 + r, e^t = 2^m 2^(j/128) e^r.
    static double Exp(double t)
    {
        const double scaled = t * (128.0 / sp_pow_detail::kLn2);
        const int32_t n = static_cast<int32_t>(scaled + (scaled < 0.0 ? -0.5 : 0.5));
        const double r = (t - n * (kLn2Hi / 128.0)) - n * (kLn2Lo / 128.0);
        const double poly =
            1.0 + r * (1.0 + r * (1.0 / 2 + r * (1.0 / 6 + r * (1.0 / 24 + r * (1.0 / 120)))));
        const int32_t j = n & 127;
        const int32_t m = (n - j) / 128;
        // 2^m in two halves so that m near -1022 stays a normal double at each step.
        const double half = FromBits64(static_cast<uint64_t>(1023 + m / 2) << 52);
        const double rest = FromBits64(static_cast<uint64_t>(1023 + (m - m / 2)) << 52);
        return kTables.Exp2[j] * poly * half * rest;
    }

    // An ordinary element: finite nonzero base (negative only with an integer exponent) and a
    // finite nonzero exponent.
    static float MainPath(float x, float y)
    {
        const bool negative = x < 0.0f && IsOddInteger(y);
        const double t = static_cast<double>(y) * Ln(static_cast<double>(x < 0.0f ? -x : x));
        double result;
        if (t >= kExpLimit)
        {
            result = __builtin_inf();
        }
        else if (t <= -kExpLimit)
        {
            result = 0.0;
        }
        else
        {
            result = Exp(t);
        }
        const float r = static_cast<float>(result);
        return negative ? -r : r;
    }

    // --- special cases -----------------------------------------------------------------------------

    static void RaiseInvalid()
    {
        volatile double zero = 0.0;
        volatile double quotient = zero / zero;
        (void)quotient;
    }

    static bool IsOrdinary(float x, float y)
    {
        const uint32_t xm = BitsOf(x) & 0x7FFFFFFFu;
        const uint32_t ym = BitsOf(y) & 0x7FFFFFFFu;
        if (xm == 0 || xm >= 0x7F800000u || ym == 0 || ym >= 0x7F800000u || x == 1.0f)
        {
            return false;
        }
        return x > 0.0f || IsInteger(y);
    }

    // Resolves one element that is not ordinary; *pDomain is set for the domain rows.
    static float Special(float x, float y, bool* pDomain)
    {
        const float inf = __builtin_inff();
        const float ax = x < 0.0f ? -x : x;
        if (y == 0.0f || x == 1.0f)
        {
            return 1.0f;
        }
        if (x == -1.0f && (y == inf || y == -inf))
        {
            return 1.0f;
        }
        if (x != x)
        {
            return x;
        }
        if (y != y)
        {
            return y;
        }
        if (x == 0.0f && y == -inf)
        {
            *pDomain = true;
            return inf;
        }
        if (y == inf || y == -inf)
        {
            return (ax > 1.0f) == (y > 0.0f) ? inf : 0.0f;
        }
        if (x == -inf)
        {
            const bool odd = IsOddInteger(y);
            if (y > 0.0f)
            {
                return odd ? -inf : inf;
            }
            return odd ? -0.0f : 0.0f;
        }
        if (x == inf)
        {
            return y > 0.0f ? inf : 0.0f;
        }
        if (x != 0.0f)
        {
            // A negative finite base with a non-integer exponent.
            *pDomain = true;
            return FromBits(0xFFC00000u);
        }
        const bool negativeZero = (BitsOf(x) >> 31) != 0;
        const bool odd = negativeZero && IsOddInteger(y);
        if (y < 0.0f)
        {
            *pDomain = true;
            return odd ? -inf : inf;
        }
        return odd ? -0.0f : 0.0f;
    }

    static float Element(float x, float y, bool* pDomain)
    {
        return IsOrdinary(x, y) ? MainPath(x, y) : Special(x, y, pDomain);
    }

    // --- level builds: blocks of eight -------------------------------------------------------------

    // A lane leaves the table method when its base is not a positive normal float (b - 0x80800000
    // as a signed word lies above -16777217 exactly for zeros, subnormals, negatives, infinities
    // and NaNs), when its exponent is a NaN, or when |y ln x| reaches about 87.3337 (upper word of
    // the double above 0x4055D55C, infinite and NaN products included): from there on the float
    // result may overflow or fall below the normal range, which the special rules settle.
    static constexpr int32_t kScreenBaseOffset = int32_t(0x80800000u);
    static constexpr int32_t kScreenBaseLimit = -16777217;
    static constexpr int32_t kScreenExponentLimit = 0x7F7FFFFF;
    static constexpr int32_t kScreenProductLimit = 0x4055D55C;

    static __m128d Pair(double lane0, double lane1) { return _mm_set_pd(lane1, lane0); }

    // The lanes of a 32-bit vector whose base or exponent fails the screen (a lane mask).
    static int32_t ScreenOperands(__m128 x, __m128 y)
    {
        const __m128i xb = _mm_castps_si128(x);
        const __m128i yb = _mm_and_si128(_mm_castps_si128(y), _mm_set1_epi32(0x7FFFFFFF));
        const __m128i base = _mm_cmpgt_epi32(_mm_sub_epi32(xb, _mm_set1_epi32(kScreenBaseOffset)),
                                             _mm_set1_epi32(kScreenBaseLimit));
        const __m128i exponent =
            _mm_cmpgt_epi32(_mm_sub_epi32(yb, _mm_set1_epi32(1)), _mm_set1_epi32(kScreenExponentLimit));
        return _mm_movemask_ps(_mm_castsi128_ps(_mm_or_si128(base, exponent)));
    }

    // Nonzero when either product of a pair is too large in magnitude for the table method.
    static int32_t ScreenProduct(__m128d t)
    {
        const __m128i magnitude = _mm_and_si128(_mm_castpd_si128(t), _mm_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
        const __m128i high = _mm_shuffle_epi32(magnitude, _MM_SHUFFLE(3, 3, 1, 1));
        return _mm_movemask_epi8(_mm_cmpgt_epi32(high, _mm_set1_epi32(kScreenProductLimit)));
    }

    // Ln() on two lanes: the same operations in the same order, so the same bits.
    static __m128d LnPair(__m128d a)
    {
        const __m128i bits = _mm_castpd_si128(a);
        const __m128i biased = _mm_and_si128(_mm_srli_epi64(bits, 52), _mm_set1_epi64x(0x7FF));
        const __m128i index = _mm_and_si128(_mm_srli_epi64(bits, 45), _mm_set1_epi64x(0x7F));
        // The low words of the two 64-bit lanes side by side for the 32-bit conversions.
        const __m128d e = _mm_cvtepi32_pd(
            _mm_sub_epi32(_mm_shuffle_epi32(biased, _MM_SHUFFLE(3, 1, 2, 0)), _mm_set1_epi32(1023)));
        const __m128d k = _mm_cvtepi32_pd(_mm_shuffle_epi32(index, _MM_SHUFFLE(3, 1, 2, 0)));
        const int32_t k0 = _mm_cvtsi128_si32(index);
        const int32_t k1 = _mm_cvtsi128_si32(_mm_unpackhi_epi64(index, index));
        const __m128d m =
            _mm_castsi128_pd(_mm_or_si128(_mm_and_si128(bits, _mm_set1_epi64x(0x000FFFFFFFFFFFFFll)),
                                          _mm_set1_epi64x(0x3FF0000000000000ll)));
        const __m128d c =
            _mm_add_pd(_mm_set1_pd(1.0), _mm_div_pd(_mm_add_pd(k, _mm_set1_pd(0.5)), _mm_set1_pd(128.0)));
        const __m128d r = _mm_mul_pd(_mm_sub_pd(m, c), Pair(kTables.InvC[k0], kTables.InvC[k1]));
        __m128d p = _mm_mul_pd(r, _mm_set1_pd(1.0 / 7));
        p = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(-1.0 / 6), p));
        p = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(1.0 / 5), p));
        p = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(-1.0 / 4), p));
        p = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(1.0 / 3), p));
        p = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(-1.0 / 2), p));
        const __m128d series = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(1.0), p));
        const __m128d head =
            _mm_add_pd(_mm_mul_pd(e, _mm_set1_pd(kLn2Hi)), Pair(kTables.LnC[k0], kTables.LnC[k1]));
        return _mm_add_pd(head, _mm_add_pd(_mm_mul_pd(e, _mm_set1_pd(kLn2Lo)), series));
    }

    // 2^(j/128) 2^m of Exp() for the table index n, as the table entry and the two halves of 2^m.
    static void ExpScale(int32_t n, double* pEntry, double* pHalf, double* pRest)
    {
        const int32_t j = n & 127;
        const int32_t m = (n - j) / 128;
        *pEntry = kTables.Exp2[j];
        *pHalf = FromBits64(static_cast<uint64_t>(1023 + m / 2) << 52);
        *pRest = FromBits64(static_cast<uint64_t>(1023 + (m - m / 2)) << 52);
    }

    // Exp() on two lanes whose products passed the screen.
    static __m128d ExpPair(__m128d t)
    {
        const __m128d scaled = _mm_mul_pd(t, _mm_set1_pd(128.0 / sp_pow_detail::kLn2));
        const __m128d negative = _mm_cmplt_pd(scaled, _mm_setzero_pd());
        const __m128d half =
            _mm_or_pd(_mm_and_pd(negative, _mm_set1_pd(-0.5)), _mm_andnot_pd(negative, _mm_set1_pd(0.5)));
        const __m128i n = _mm_cvttpd_epi32(_mm_add_pd(scaled, half));
        const __m128d nd = _mm_cvtepi32_pd(n);
        const __m128d r = _mm_sub_pd(_mm_sub_pd(t, _mm_mul_pd(nd, _mm_set1_pd(kLn2Hi / 128.0))),
                                     _mm_mul_pd(nd, _mm_set1_pd(kLn2Lo / 128.0)));
        __m128d p = _mm_mul_pd(r, _mm_set1_pd(1.0 / 120));
        p = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(1.0 / 24), p));
        p = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(1.0 / 6), p));
        p = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(1.0 / 2), p));
        p = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(1.0), p));
        const __m128d poly = _mm_add_pd(_mm_set1_pd(1.0), p);
        double e0, h0, r0, e1, h1, r1;
        ExpScale(_mm_cvtsi128_si32(n), &e0, &h0, &r0);
        ExpScale(_mm_cvtsi128_si32(_mm_srli_si128(n, 4)), &e1, &h1, &r1);
        return _mm_mul_pd(_mm_mul_pd(_mm_mul_pd(Pair(e0, e1), poly), Pair(h0, h1)), Pair(r0, r1));
    }

    // Eight elements by the table method; false, with nothing stored, when any lane fails the
    // screen. Four independent pairs stay in flight and every store comes after the last test.
    static bool Block8(const float* x, const float* y, float* dst)
    {
        const __m128 xa = _mm_loadu_ps(x), xb = _mm_loadu_ps(x + 4);
        const __m128 ya = _mm_loadu_ps(y), yb = _mm_loadu_ps(y + 4);
        __m128d t[4];
        t[0] = _mm_mul_pd(_mm_cvtps_pd(ya), LnPair(_mm_cvtps_pd(xa)));
        t[1] = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(ya, ya)), LnPair(_mm_cvtps_pd(_mm_movehl_ps(xa, xa))));
        t[2] = _mm_mul_pd(_mm_cvtps_pd(yb), LnPair(_mm_cvtps_pd(xb)));
        t[3] = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(yb, yb)), LnPair(_mm_cvtps_pd(_mm_movehl_ps(xb, xb))));
        const int32_t special = ScreenOperands(xa, ya) | ScreenOperands(xb, yb) | ScreenProduct(t[0]) |
                                ScreenProduct(t[1]) | ScreenProduct(t[2]) | ScreenProduct(t[3]);
        if (special != 0)
        {
            return false;
        }
        __m128 out[4];
        for (int32_t k = 0; k < 4; ++k)
        {
            out[k] = _mm_cvtpd_ps(ExpPair(t[k]));
        }
        _mm_storeu_ps(dst, _mm_movelh_ps(out[0], out[1]));
        _mm_storeu_ps(dst + 4, _mm_movelh_ps(out[2], out[3]));
        return true;
    }

    // One element by the same method and the same three tests; false, with nothing stored, when
    // it fails one.
    static bool Single(float x, float y, float* dst)
    {
        const __m128 xv = _mm_set_ss(x), yv = _mm_set_ss(y);
        const double t = static_cast<double>(y) * Ln(static_cast<double>(x));
        if ((ScreenOperands(xv, yv) & 1) != 0 || ScreenProduct(_mm_set_sd(t)) != 0)
        {
            return false;
        }
        *dst = static_cast<float>(Exp(t));
        return true;
    }

    // Performs the operation that raises one floating-point exception, in double precision and
    // through memory so that the optimiser keeps it: 19 invalid, 18 divide by zero, 12 overflow,
    // 17 underflow; any other code does nothing.
    static void RaiseFpException(int32_t code)
    {
        volatile double a = 0.0, b = 0.0;
        switch (code)
        {
        case 19:
            break;
        case 18:
            a = 1.0;
            break;
        case 12:
            a = b = 1.7976931348623157e+308;
            break;
        case 17:
            a = b = 2.2250738585072014e-308;
            break;
        default:
            return;
        }
        volatile double result = code == 12 || code == 17 ? a * b : a / b;
        (void)result;
    }

    // One element of any kind by the generic rules; a domain element stores the warning and
    // raises the invalid-operation exception through `raise`.
    static void SpecialLane(const float* src1, const float* src2, float* dst, int32_t index,
                            SpStatus* pStatus, void (*raise)(int32_t))
    {
        bool domain = false;
        dst[index] = Element(src1[index], src2[index], &domain);
        if (domain)
        {
            *pStatus = SpWarnDomain;
            raise(19);
        }
    }

    typedef void (*SpecialLanesFn)(const float*, const float*, float*, int32_t, SpStatus*);

    // The level entry: round to nearest with denormals honoured for the call, blocks of eight,
    // then single elements; a block or element that fails the screen goes to `special` lane by
    // lane. When the call had to change the control word, the word read on entry is written
    // back as it was (flags raised meanwhile included, which it drops).
    static SpStatus PowLevel(const float* src1, const float* src2, float* dst, int32_t len,
                             SpecialLanesFn special)
    {
        if (dst == nullptr || src2 == nullptr || src1 == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        const unsigned entryCsr = _mm_getcsr();
        const bool changed = (entryCsr & (kMxcsrFtz | kMxcsrDaz | kMxcsrRounding)) != 0;
        if (changed)
        {
            _mm_setcsr(entryCsr & ~(kMxcsrFtz | kMxcsrDaz | kMxcsrRounding));
        }
        SpStatus status = SpOk;
        int32_t i = 0;
        for (; i + 8 <= len; i += 8)
        {
            if (!Block8(src1 + i, src2 + i, dst + i))
            {
                for (int32_t k = i; k < i + 8; ++k)
                {
                    special(src1, src2, dst, k, &status);
                }
            }
        }
        for (; i < len; ++i)
        {
            if (!Single(src1[i], src2[i], dst + i))
            {
                special(src1, src2, dst, i, &status);
            }
        }
        if (changed)
        {
            _mm_setcsr(entryCsr);
        }
        return status;
    }

    static SpStatus Pow(const float* src1, const float* src2, float* dst, int32_t len)
    {
        if (dst == nullptr || src2 == nullptr || src1 == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        // Round to nearest, no flush-to-zero, no denormals-are-zero for the call; the caller's
        // control bits come back at the end, the flags the call raised stay raised.
        const unsigned callerCsr = _mm_getcsr();
        const unsigned workCsr = callerCsr & ~(kMxcsrFtz | kMxcsrDaz | kMxcsrRounding);
        if (workCsr != callerCsr)
        {
            _mm_setcsr(workCsr);
        }
        bool domain = false;
        int32_t i = 0;
        for (; i + 8 <= len; i += 8)
        {
            for (int32_t k = i; k < i + 8; ++k)
            {
                dst[k] = Element(src1[k], src2[k], &domain);
            }
        }
        for (; i < len; ++i)
        {
            dst[i] = Element(src1[i], src2[i], &domain);
        }
        if (domain)
        {
            RaiseInvalid();
        }
        _mm_setcsr((callerCsr & ~kMxcsrFlags) | (_mm_getcsr() & kMxcsrFlags));
        return domain ? SpWarnDomain : SpOk;
    }
};
