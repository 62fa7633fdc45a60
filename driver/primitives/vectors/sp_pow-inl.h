// Kernel of the element-wise power, written once for every level. Ordinary elements go through
// a table-driven logarithm and exponential in double precision, rounded to single precision
// once at the end; every other element is settled by the special-case rules.
//
// The tables are computed by the compiler from series (see SpPowTables), not typed in.
#pragma once

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
