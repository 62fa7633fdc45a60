// Kernels of the exponential and natural logarithm in place, written once for every level. The
// single-precision results come from a double-precision evaluation rounded once, which keeps
// them within an ulp of the exact value.
#pragma once

#include <math.h>
#include <string.h>

#include "driver/primitives/vectors/sp_vector.h"

template <class P> struct SpVectorMathKernels
{
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

    static constexpr uint32_t kPlusInf = 0x7F800000u;
    static constexpr uint32_t kMinusInf = 0xFF800000u;
    static constexpr uint32_t kDefaultNaN = 0xFFC00000u;
    // Largest argument whose e^x is finite in single precision lies just below this pattern.
    static constexpr uint32_t kExpOverflow = 0x42B17218u; // 88.722839
    // At or below this the exact result is below the normal range; the blocked form flushes it.
    static constexpr uint32_t kExpFlush = 0xC2AEAC50u; // -87.33655

    static float ExpF64(float x) { return static_cast<float>(exp(static_cast<double>(x))); }

    // Short vectors: the threshold is compared in double, so the float 88.722839 still goes
    // through the evaluation (which overflows to +inf by itself).
    static void ExpShort(float* srcDst, int32_t len)
    {
        for (int32_t i = 0; i < len; ++i)
        {
            const float x = srcDst[i];
            srcDst[i] = static_cast<double>(x) > 88.72284 ? FromBits(kPlusInf) : ExpF64(x);
        }
    }

    static float ExpBlockedElement(float x)
    {
        const uint32_t bits = BitsOf(x);
        const uint32_t magnitude = bits & 0x7FFFFFFFu;
        if (magnitude > kPlusInf)
        {
            return x; // NaN
        }
        if ((bits >> 31) == 0 && bits >= kExpOverflow)
        {
            return FromBits(kPlusInf);
        }
        if (x <= FromBits(kExpFlush))
        {
            return 0.0f;
        }
        if (magnitude < 0x00800000u)
        {
            return 1.0f; // zero or denormal
        }
        return ExpF64(x);
    }

    static SpStatus ExpInPlace(float* srcDst, int32_t len)
    {
        if (srcDst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        if (len < 4)
        {
            ExpShort(srcDst, len);
            return SpOk;
        }
        for (int32_t i = 0; i < len; ++i)
        {
            srcDst[i] = ExpBlockedElement(srcDst[i]);
        }
        return SpOk;
    }

    static SpStatus LnInPlace(float* srcDst, int32_t len)
    {
        if (srcDst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        SpStatus result = SpOk;
        for (int32_t i = 0; i < len; ++i)
        {
            const uint32_t bits = BitsOf(srcDst[i]);
            if ((bits >> 31) != 0)
            {
                // Negative numbers, -0.0 and NaNs with the sign bit: no real logarithm.
                srcDst[i] = FromBits(kDefaultNaN);
                result = result == SpOk ? SpWarnLnNegative : result;
            }
            else if (bits == 0)
            {
                srcDst[i] = FromBits(kMinusInf);
                result = result == SpOk ? SpWarnLnZero : result;
            }
            else
            {
                srcDst[i] = static_cast<float>(log(static_cast<double>(srcDst[i])));
            }
        }
        return result;
    }
};
