// The conversion kernels of the level builds, by name: SpXxxKernel_L1, _L2 and _L3 for each row
// of the list below (name, kernel body in SpLevelKernels, parameters, arguments). Kernels take
// (source, destination, count of at least 1, then flag, scale or shift), check nothing and
// return nothing; what each computes is documented at its body in sp_kernels-inl.h. Only level
// code calls them.
#pragma once

#include <stdint.h>
#include <xmmintrin.h>

// clang-format off
#define SP_LEVEL_KERNEL_LIST(X)                                                                              \
    X(SpConvertI16ToF32ScaleKernel, I16ToF32Scale, (const int16_t* s, float* d, int32_t n, const float* f), (s, d, n, f)) \
    X(SpConvertI16ToF32Kernel, I16ToF32, (const int16_t* s, float* d, int32_t n), (s, d, n))                 \
    X(SpConvertI16ToF64ScaleKernel, I16ToF64Scale, (const int16_t* s, double* d, int32_t n, const double* f), (s, d, n, f)) \
    X(SpConvertI16ToF64Kernel, I16ToF64, (const int16_t* s, double* d, int32_t n), (s, d, n))                \
    X(SpConvertF32ToF64Kernel, F32ToF64, (const float* s, double* d, int32_t n), (s, d, n))                  \
    X(SpConvertF64ToF32Kernel, F64ToF32, (const double* s, float* d, int32_t n), (s, d, n))                  \
    X(SpConvertI24ToF32Kernel, I24ToF32, (const uint8_t* s, float* d, int32_t n), (s, d, n))                 \
    X(SpConvertI24ToI32Kernel, I24ToI32, (const uint8_t* s, int32_t* d, int32_t n), (s, d, n))               \
    X(SpConvertF32ToI24Kernel, F32ToI24, (const float* s, uint8_t* d, int32_t n), (s, d, n))                 \
    X(SpConvertF32ToI24ScaleKernel, F32ToI24Scale, (const float* s, uint8_t* d, int32_t n, int32_t k), (s, d, n, k)) \
    X(SpConvertI32ToI24Kernel, I32ToI24, (const int32_t* s, uint8_t* d, int32_t n), (s, d, n))               \
    X(SpConvertI32ToI24DownScaleKernel, I32ToI24DownScale, (const int32_t* s, uint8_t* d, int32_t n, int32_t k), (s, d, n, k)) \
    X(SpConvertI32ToI24UpScaleKernel, I32ToI24UpScale, (const int32_t* s, uint8_t* d, int32_t n, int32_t k), (s, d, n, k)) \
    X(SpConvertF32ToI16Kernel, F32ToI16, (const float* s, int16_t* d, int32_t n, int32_t r, int32_t k), (s, d, n, r, k)) \
    X(SpConvertF32ToU16Kernel, F32ToU16, (const float* s, uint16_t* d, int32_t n, int32_t r, int32_t k), (s, d, n, r, k)) \
    X(SpConvertF32ToI8Kernel, F32ToI8, (const float* s, int8_t* d, int32_t n, int32_t r, int32_t k), (s, d, n, r, k)) \
    X(SpConvertF32ToU8Kernel, F32ToU8, (const float* s, uint8_t* d, int32_t n, int32_t r, int32_t k), (s, d, n, r, k)) \
    X(SpConvertF32ToI32Kernel, F32ToI32, (const float* s, int32_t* d, int32_t n, int32_t r, int32_t k), (s, d, n, r, k)) \
    X(SpConvertF64ToI32Kernel, F64ToI32, (const double* s, int32_t* d, int32_t n, int32_t r, int32_t k), (s, d, n, r, k)) \
    X(SpConvertI8ToF32Kernel, IntToF32, (const int8_t* s, float* d, int32_t n), (s, d, n))                   \
    X(SpConvertU8ToF32Kernel, IntToF32, (const uint8_t* s, float* d, int32_t n), (s, d, n))                  \
    X(SpConvertI16ToF32UnscaledKernel, IntToF32, (const int16_t* s, float* d, int32_t n), (s, d, n))         \
    X(SpConvertU16ToF32Kernel, IntToF32, (const uint16_t* s, float* d, int32_t n), (s, d, n))                \
    X(SpConvertI32ToF64Kernel, I32ToF64, (const int32_t* s, double* d, int32_t n), (s, d, n))                \
    X(SpConvertI32ToF32Kernel, IntToF32, (const int32_t* s, float* d, int32_t n), (s, d, n))                 \
    X(SpConvertF32ToI8AwayKernel, F32ToI8Away, (const float* s, int8_t* d, int32_t n, int32_t k), (s, d, n, k)) \
    X(SpConvertF32ToU8AwayKernel, F32ToU8Away, (const float* s, uint8_t* d, int32_t n, int32_t k), (s, d, n, k)) \
    X(SpConvertF32ToI16AwayKernel, F32ToI16Away, (const float* s, int16_t* d, int32_t n, int32_t k), (s, d, n, k)) \
    X(SpConvertF32ToU16AwayKernel, F32ToU16Away, (const float* s, uint16_t* d, int32_t n, int32_t k), (s, d, n, k)) \
    X(SpConvertF32ToI32AwayKernel, F32ToI32Away, (const float* s, int32_t* d, int32_t n, int32_t k), (s, d, n, k)) \
    X(SpConvertF64ToI32AwayKernel, F64ToI32Away, (const double* s, int32_t* d, int32_t n, int32_t k), (s, d, n, k)) \
    X(SpConvertI16ToF16Kernel, I16ToF16, (const int16_t* s, uint16_t* d, int32_t n, int32_t r), (s, d, n, r)) \
    X(SpConvertF16ToI16Kernel, F16ToI16, (const uint16_t* s, int16_t* d, int32_t n, int32_t r, int32_t k), (s, d, n, r, k)) \
    X(SpConvertF16ToF32Kernel, F16ToF32, (const uint16_t* s, float* d, int32_t n), (s, d, n))                \
    X(SpConvertF32ToF16Kernel, F32ToF16, (const float* s, uint16_t* d, int32_t n, int32_t r), (s, d, n, r))  \
    X(SpConvertI64ToI32ShiftKernel, I64ToI32Shift, (const int64_t* s, int32_t* d, int32_t n, int32_t k), (s, d, n, k))
// clang-format on

#define SP_LEVEL_KERNEL_DECLARE(name, body, params, args)                                                    \
    void name##_L1 params;                                                                                   \
    void name##_L2 params;                                                                                   \
    void name##_L3 params;
SP_LEVEL_KERNEL_LIST(SP_LEVEL_KERNEL_DECLARE)
#undef SP_LEVEL_KERNEL_DECLARE

// 2^-scale in all four lanes, for a nonzero scale: SpScaleFactor_L<n> is the factor of the
// nearest-even and toward-zero float-to-integer kernels, SpScaleFactorAway_L<n> that of the
// half-away kernels. Both are formed by repeated halving or doubling in single precision under
// the caller's rounding mode, with the scale held to -127..149 so that the factor stays finite
// (and nonzero while denormals are kept).
#define SP_LEVEL_SCALE_FACTOR_DECLARE(L)                                                                     \
    __m128 SpScaleFactor_##L(int32_t scale);                                                                 \
    __m128 SpScaleFactorAway_##L(int32_t scale);                                                             \
    void SpInterleave2Kernel_##L(const float* left, const float* right, float* dst, int64_t frames);         \
    void SpDeinterleave2Kernel_##L(const float* src, float* left, float* right, int64_t frames);
SP_LEVEL_SCALE_FACTOR_DECLARE(L1)
SP_LEVEL_SCALE_FACTOR_DECLARE(L2)
SP_LEVEL_SCALE_FACTOR_DECLARE(L3)
#undef SP_LEVEL_SCALE_FACTOR_DECLARE
