// Kernels of the element-wise vector operations, reductions and resampling, written once for
// every level: each level's build file instantiates SpVectorKernels<its parameter block>. All
// of it lives in the class template so builds for different instruction sets never merge.
#pragma once

#include <emmintrin.h>
#include <string.h>

#include "driver/primitives/dispatch/sp_memory.h"
#include "driver/primitives/vectors/sp_vector.h"

template <class P> struct SpVectorKernels
{
    static constexpr uint32_t kDefaultNaN = 0xFFC00000u;

    static float Bits(uint32_t bits)
    {
        float f;
        memcpy(&f, &bits, sizeof(f));
        return f;
    }

    static void CopyFloats(const float* src, float* dst, int32_t len)
    {
        memmove(dst, src, static_cast<size_t>(len) * sizeof(float));
    }

    static void ZeroFloats(float* dst, int32_t len)
    {
        memset(dst, 0, static_cast<size_t>(len) * sizeof(float));
    }

    // Checks shared by the one-source forms: pointers, then length.
    static SpStatus Check(const void* a, const void* b, int32_t len)
    {
        if (a == nullptr || b == nullptr)
        {
            return SpErrNullPointer;
        }
        return len < 1 ? SpErrBadLength : SpOk;
    }

    static SpStatus Check(const void* a, const void* b, const void* c, int32_t len)
    {
        if (a == nullptr || b == nullptr || c == nullptr)
        {
            return SpErrNullPointer;
        }
        return len < 1 ? SpErrBadLength : SpOk;
    }

    static SpStatus Copy(const float* src, float* dst, int32_t len)
    {
        const SpStatus status = Check(src, dst, len);
        if (status == SpOk)
        {
            CopyFloats(src, dst, len);
        }
        return status;
    }

    static SpStatus Set(float value, float* dst, int32_t len)
    {
        if (dst == nullptr)
        {
            return SpErrNullPointer;
        }
        if (len < 1)
        {
            return SpErrBadLength;
        }
        uint32_t bits;
        memcpy(&bits, &value, sizeof(bits));
        SpFill32(bits, dst, len);
        return SpOk;
    }

    static SpStatus MulConst(const float* src, float value, float* dst, int32_t len)
    {
        const SpStatus status = Check(src, dst, len);
        if (status != SpOk)
        {
            return status;
        }
        if (value == 1.0f)
        {
            CopyFloats(src, dst, len);
        }
        else if (value == 0.0f)
        {
            ZeroFloats(dst, len);
        }
        else
        {
            const __m128 v = _mm_set1_ps(value);
            int32_t i = 0;
            for (; i + 4 <= len; i += 4)
            {
                _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_loadu_ps(src + i), v));
            }
            for (; i < len; ++i)
            {
                dst[i] = src[i] * value;
            }
        }
        return SpOk;
    }

    static SpStatus SqrtInPlace(float* srcDst, int32_t len)
    {
        const SpStatus status = Check(srcDst, srcDst, len);
        if (status != SpOk)
        {
            return status;
        }
        SpStatus result = SpOk;
        for (int32_t i = 0; i < len; ++i)
        {
            const float x = srcDst[i];
            if (x > 0.0f)
            {
                srcDst[i] = __builtin_sqrtf(x);
            }
            else if (x < 0.0f)
            {
                srcDst[i] = Bits(kDefaultNaN);
                result = SpWarnSqrtNegative;
            }
        }
        return result;
    }

    static SpStatus AbsInPlace(float* srcDst, int32_t len)
    {
        const SpStatus status = Check(srcDst, srcDst, len);
        if (status != SpOk)
        {
            return status;
        }
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
        int32_t i = 0;
        for (; i + 4 <= len; i += 4)
        {
            _mm_storeu_ps(srcDst + i, _mm_and_ps(_mm_loadu_ps(srcDst + i), magnitude));
        }
        for (; i < len; ++i)
        {
            uint32_t bits;
            memcpy(&bits, &srcDst[i], sizeof(bits));
            srcDst[i] = Bits(bits & 0x7FFFFFFFu);
        }
        return SpOk;
    }

    static SpStatus Max(const float* src, int32_t len, float* pMax)
    {
        const SpStatus status = Check(src, pMax, len);
        if (status != SpOk)
        {
            return status;
        }
        float m = src[0];
        for (int32_t i = 1; i < len; ++i)
        {
            m = src[i] > m ? src[i] : m;
        }
        *pMax = m;
        return SpOk;
    }

    static SpStatus Min(const float* src, int32_t len, float* pMin)
    {
        const SpStatus status = Check(src, pMin, len);
        if (status != SpOk)
        {
            return status;
        }
        float m = src[0];
        for (int32_t i = 1; i < len; ++i)
        {
            m = src[i] < m ? src[i] : m;
        }
        *pMin = m;
        return SpOk;
    }

    static SpStatus Flip(const float* src, float* dst, int32_t len)
    {
        const SpStatus status = Check(src, dst, len);
        if (status != SpOk)
        {
            return status;
        }
        if (src == dst)
        {
            // Reversing a buffer onto itself by the copy loop would mirror its first half;
            // swapping pairs gives the reversal the caller asked for.
            for (int32_t i = 0, j = len - 1; i < j; ++i, --j)
            {
                const float t = dst[i];
                dst[i] = dst[j];
                dst[j] = t;
            }
            return SpOk;
        }
        for (int32_t i = 0; i < len; ++i)
        {
            dst[len - 1 - i] = src[i];
        }
        return SpOk;
    }

    // dst[i] = op(a[i], b[i]) over two sources and a destination that may alias either.
    template <class Op> static SpStatus Binary(const float* a, const float* b, float* dst, int32_t len, Op op)
    {
        const SpStatus status = Check(a, b, dst, len);
        if (status != SpOk)
        {
            return status;
        }
        for (int32_t i = 0; i < len; ++i)
        {
            dst[i] = op(a[i], b[i]);
        }
        return SpOk;
    }

    static SpStatus MulInPlace(const float* src, float* srcDst, int32_t len)
    {
        const SpStatus status = Check(src, srcDst, len);
        if (status != SpOk)
        {
            return status;
        }
        for (int32_t i = 0; i < len; ++i)
        {
            srcDst[i] *= src[i];
        }
        return SpOk;
    }

    static SpStatus Add(const float* src1, const float* src2, float* dst, int32_t len)
    {
        return Binary(src1, src2, dst, len, [](float a, float b) { return a + b; });
    }

    static SpStatus Sub(const float* src1, const float* src2, float* dst, int32_t len)
    {
        return Binary(src1, src2, dst, len, [](float a, float b) { return b - a; });
    }

    static SpStatus Mul(const float* src1, const float* src2, float* dst, int32_t len)
    {
        return Binary(src1, src2, dst, len, [](float a, float b) { return a * b; });
    }

    static SpStatus AddProduct(const float* src1, const float* src2, float* srcDst, int32_t len)
    {
        const SpStatus status = Check(src1, src2, srcDst, len);
        if (status != SpOk)
        {
            return status;
        }
        for (int32_t i = 0; i < len; ++i)
        {
            const float product = src1[i] * src2[i];
            srcDst[i] += product;
        }
        return SpOk;
    }

    static SpStatus Sqr(const float* src, float* dst, int32_t len)
    {
        const SpStatus status = Check(src, dst, len);
        if (status != SpOk)
        {
            return status;
        }
        for (int32_t i = 0; i < len; ++i)
        {
            dst[i] = src[i] * src[i];
        }
        return SpOk;
    }

    static SpStatus Div(const float* src1, const float* src2, float* dst, int32_t len)
    {
        const SpStatus status = Check(src1, src2, dst, len);
        if (status != SpOk)
        {
            return status;
        }
        SpStatus result = SpOk;
        for (int32_t i = 0; i < len; ++i)
        {
            const float divisor = src1[i];
            const float dividend = src2[i];
            if (divisor == 0.0f)
            {
                // The sign of a zero divisor is ignored: only the dividend picks the infinity.
                dst[i] = dividend > 0.0f   ? Bits(0x7F800000u)
                         : dividend < 0.0f ? Bits(0xFF800000u)
                                           : Bits(kDefaultNaN);
                result = SpWarnDivideByZero;
            }
            else
            {
                dst[i] = dividend / divisor;
            }
        }
        return result;
    }

    static SpStatus Sum(const float* src, int32_t len, float* pSum)
    {
        const SpStatus status = Check(src, pSum, len);
        if (status != SpOk)
        {
            return status;
        }
        *pSum = static_cast<float>(SumF64(src, len));
        return SpOk;
    }

    static SpStatus Mean(const float* src, int32_t len, float* pMean)
    {
        const SpStatus status = Check(src, pMean, len);
        if (status != SpOk)
        {
            return status;
        }
        *pMean = static_cast<float>(SumF64(src, len) / static_cast<double>(len));
        return SpOk;
    }

    static double SumF64(const float* src, int32_t len)
    {
        double sum = 0.0;
        for (int32_t i = 0; i < len; ++i)
        {
            sum += static_cast<double>(src[i]);
        }
        return sum;
    }

    static SpStatus MinEveryInPlace(const float* src, float* srcDst, int32_t len)
    {
        const SpStatus status = Check(src, srcDst, len);
        if (status != SpOk)
        {
            return status;
        }
        for (int32_t i = 0; i < len; ++i)
        {
            if (src[i] < srcDst[i])
            {
                srcDst[i] = src[i];
            }
        }
        return SpOk;
    }

    static SpStatus MaxEveryInPlace(const float* src, float* srcDst, int32_t len)
    {
        const SpStatus status = Check(src, srcDst, len);
        if (status != SpOk)
        {
            return status;
        }
        for (int32_t i = 0; i < len; ++i)
        {
            if (src[i] > srcDst[i])
            {
                srcDst[i] = src[i];
            }
        }
        return SpOk;
    }

    static SpStatus DotProd(const float* src1, const float* src2, int32_t len, float* pDp)
    {
        const SpStatus status = Check(src1, src2, pDp, len);
        if (status != SpOk)
        {
            return status;
        }
        float dp = 0.0f;
        for (int32_t i = 0; i < len; ++i)
        {
            const float product = src1[i] * src2[i];
            dp += product;
        }
        *pDp = dp;
        return SpOk;
    }

    static SpStatus AddProductConst(const float* src, float value, float* srcDst, int32_t len)
    {
        const SpStatus status = Check(src, srcDst, len);
        if (status != SpOk)
        {
            return status;
        }
        for (int32_t i = 0; i < len; ++i)
        {
            const float product = src[i] * value;
            srcDst[i] += product;
        }
        return SpOk;
    }

    // --- resampling ------------------------------------------------------------------------------

    static SpStatus CheckResample(const float* src, int32_t srcLen, const float* dst, const int32_t* pDstLen,
                                  int32_t factor, const int32_t* pPhase)
    {
        if (src == nullptr || dst == nullptr || pDstLen == nullptr || pPhase == nullptr)
        {
            return SpErrNullPointer;
        }
        if (srcLen < 1)
        {
            return SpErrBadLength;
        }
        if (factor < 1)
        {
            return SpErrResampleFactor;
        }
        if (*pPhase < 0 || *pPhase >= factor)
        {
            return SpErrResamplePhase;
        }
        return SpOk;
    }

    static SpStatus SampleUp(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                             int32_t* pPhase)
    {
        const SpStatus status = CheckResample(src, srcLen, dst, pDstLen, factor, pPhase);
        if (status != SpOk)
        {
            return status;
        }
        // The output length must itself be a 32-bit length; a product beyond it would wrap.
        const int64_t dstLen = static_cast<int64_t>(factor) * srcLen;
        if (dstLen > INT32_MAX)
        {
            return SpErrBadLength;
        }
        *pDstLen = static_cast<int32_t>(dstLen);
        if (factor == 1)
        {
            CopyFloats(src, dst, srcLen);
            return SpOk;
        }
        ZeroFloats(dst, static_cast<int32_t>(dstLen));
        float* out = dst + *pPhase;
        for (int32_t k = 0; k < srcLen; ++k)
        {
            out[static_cast<intptr_t>(k) * factor] = src[k];
        }
        return SpOk;
    }

    static SpStatus SampleDown(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                               int32_t* pPhase)
    {
        const SpStatus status = CheckResample(src, srcLen, dst, pDstLen, factor, pPhase);
        if (status != SpOk)
        {
            return status;
        }
        if (factor == 1)
        {
            CopyFloats(src, dst, srcLen);
            *pDstLen = srcLen;
            return SpOk;
        }
        const int32_t phase = *pPhase;
        if (phase >= srcLen)
        {
            *pDstLen = 0;
            *pPhase = phase - srcLen;
            return SpOk;
        }
        // 64-bit arithmetic: srcLen + factor can exceed a 32-bit length.
        const int64_t count = (static_cast<int64_t>(srcLen) + factor - phase - 1) / factor;
        for (int64_t j = 0; j < count; ++j)
        {
            dst[j] = src[phase + j * factor];
        }
        *pDstLen = static_cast<int32_t>(count);
        *pPhase = static_cast<int32_t>(phase + factor * count - srcLen);
        return SpOk;
    }
};
