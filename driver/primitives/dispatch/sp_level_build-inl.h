// The body of one level build: every level's thin file defines SP_LEVEL_SUFFIX (L1, L2, L3)
// and SP_LEVEL_PARAMS, switches on its instruction set and includes this file once, so the
// three builds are one text compiled three ways. The kernels come from the family folders'
// templates instantiated with this level's parameter block; nothing here calls a public stub.
#include "driver/primitives/dispatch/sp_level_builds.h"
#include "driver/primitives/filters/sp_fir_internal.h"
#include "driver/primitives/filters/sp_fir_kernels-inl.h"
#include "driver/primitives/filters/sp_iir_kernels-inl.h"
#include "driver/primitives/level1/sp_fft_level1.h"
#include "driver/primitives/vectors/sp_convert-inl.h"
#include "driver/primitives/vectors/sp_interleave-inl.h"
#include "driver/primitives/vectors/sp_kernels-inl.h"
#include "driver/primitives/vectors/sp_kernels.h"
#include "driver/primitives/vectors/sp_level_params.h"
#include "driver/primitives/vectors/sp_move-inl.h"
#include "driver/primitives/vectors/sp_pow-inl.h"
#include "driver/primitives/vectors/sp_vector-inl.h"

#define SP_LEVEL_CAT2(a, b) a##_##b
#define SP_LEVEL_CAT(a, b) SP_LEVEL_CAT2(a, b)
#define SP_LN(name) SP_LEVEL_CAT(name, SP_LEVEL_SUFFIX)

namespace
{
using Convert = SpConvertKernels<SP_LEVEL_PARAMS>;
using Interleave = SpInterleaveKernels<SP_LEVEL_PARAMS>;
using Vector = SpVectorKernels<SP_LEVEL_PARAMS>;
using Pow = SpPowKernels<SP_LEVEL_PARAMS>;
using Kernels = SpLevelKernels<SP_LEVEL_PARAMS>;
using Fir = SpFirKernels<SP_LEVEL_PARAMS>;
using Iir = SpIirKernels<SP_LEVEL_PARAMS>;
constexpr int32_t kLevel = SP_LEVEL_PARAMS::kLevel;

// The checks of the entries that hand a whole vector to a kernel: the pointers, then the length.
SpStatus CheckVectorPair(const void* src, const void* dst, int32_t len)
{
    if (!src || !dst)
    {
        return SpErrNullPointer;
    }
    return len < 1 ? SpErrBadLength : SpOk;
}

// Toward zero and nearest-even go to the level's kernel (flag 1 for nearest-even), every other
// mode to the level's half-away kernel. The kernels own the control word: they force nearest
// only when asked and reload the caller's word (denormals-are-zero cleared) when they changed
// the rounding or raised the invalid flag.
template <typename D>
SpStatus ConvertF32ToInt(const float* src, D* dst, int32_t len, int32_t rounding, int32_t scale,
                         void (*kernel)(const float*, D*, int32_t, int32_t, int32_t),
                         void (*away)(const float*, D*, int32_t, int32_t))
{
    const SpStatus status = CheckVectorPair(src, dst, len);
    if (status != SpOk)
    {
        return status;
    }
    if (rounding == SpRoundZero || rounding == SpRoundNearestEven)
    {
        kernel(src, dst, len, rounding == SpRoundNearestEven ? 1 : 0, scale);
    }
    else
    {
        away(src, dst, len, scale);
    }
    return SpOk;
}
} // namespace

SpStatus SP_LN(SpZeroF32)(float* dst, int32_t len)
{
    return Convert::ZeroF32(dst, len);
}

SpStatus SP_LN(SpConvertF32ToI16)(const float* src, int16_t* dst, int32_t len, int32_t rounding,
                                  int32_t scale)
{
    return ConvertF32ToInt(src, dst, len, rounding, scale, SP_LN(SpConvertF32ToI16Kernel),
                           SP_LN(SpConvertF32ToI16AwayKernel));
}

SpStatus SP_LN(SpConvertF32ToI32)(const float* src, int32_t* dst, int32_t len, int32_t rounding,
                                  int32_t scale)
{
    return ConvertF32ToInt(src, dst, len, rounding, scale, SP_LN(SpConvertF32ToI32Kernel),
                           SP_LN(SpConvertF32ToI32AwayKernel));
}

// The 16- and 24-bit to float entries hand the whole vector to their level's kernel: scale 0
// without a factor, any other scale (held to -112..126) as the float 2^-scale built from its
// exponent field.
SpStatus SP_LN(SpConvertI16ToF32)(const int16_t* src, float* dst, int32_t len, int32_t scale)
{
    const SpStatus status = CheckVectorPair(src, dst, len);
    if (status != SpOk)
    {
        return status;
    }
    if (scale == 0)
    {
        SP_LN(SpConvertI16ToF32Kernel)(src, dst, len);
        return SpOk;
    }
    const int32_t s = scale < -112 ? -112 : (scale > 126 ? 126 : scale);
    const uint32_t bits = uint32_t(0x3F800000 - s * (1 << 23));
    float factor;
    memcpy(&factor, &bits, sizeof(factor));
    SP_LN(SpConvertI16ToF32ScaleKernel)(src, dst, len, &factor);
    return SpOk;
}

SpStatus SP_LN(SpConvertI32ToF32Scaled)(const int32_t* src, float* dst, int32_t len, int32_t scale)
{
    return Convert::ConvertI32ToF32Scaled(src, dst, len, scale);
}

SpStatus SP_LN(SpConvertI24ToF32)(const uint8_t* src, float* dst, int32_t len)
{
    const SpStatus status = CheckVectorPair(src, dst, len);
    if (status != SpOk)
    {
        return status;
    }
    SP_LN(SpConvertI24ToF32Kernel)(src, dst, len);
    return SpOk;
}

// Scale 0 converts without a factor; any other scale goes to the scale kernel unchanged, which
// holds it to -127..127 itself.
SpStatus SP_LN(SpConvertF32ToI24)(const float* src, uint8_t* dst, int32_t len, int32_t scale)
{
    const SpStatus status = CheckVectorPair(src, dst, len);
    if (status != SpOk)
    {
        return status;
    }
    if (scale == 0)
    {
        SP_LN(SpConvertF32ToI24Kernel)(src, dst, len);
    }
    else
    {
        SP_LN(SpConvertF32ToI24ScaleKernel)(src, dst, len, scale);
    }
    return SpOk;
}

void SP_LN(SpMoveI32Kernel)(const void* src, void* dst, uint64_t bytes)
{
    SpMoveKernels<SP_LEVEL_PARAMS>::Move(src, dst, bytes);
}

SpStatus SP_LN(SpMoveI32)(const int32_t* src, int32_t* dst, int32_t len)
{
    const SpStatus status = CheckVectorPair(src, dst, len);
    if (status != SpOk)
    {
        return status;
    }
    SP_LN(SpMoveI32Kernel)(src, dst, 4 * uint64_t(len));
    return SpOk;
}

SpStatus SP_LN(SpConvertI32ToF32)(const int32_t* src, float* dst, int32_t len)
{
    const SpStatus status = CheckVectorPair(src, dst, len);
    if (status != SpOk)
    {
        return status;
    }
    SP_LN(SpConvertI32ToF32Kernel)(src, dst, len);
    return SpOk;
}

SpStatus SP_LN(SpInterleave32)(const float* const* channels, int32_t channelCount, int32_t frames, float* dst)
{
    return Interleave::Interleave(channels, channelCount, frames, dst);
}

SpStatus SP_LN(SpDeinterleave32)(const float* src, int32_t channelCount, int32_t frames,
                                 float* const* channels)
{
    return Interleave::Deinterleave(src, channelCount, frames, channels);
}

// Single bytes up to a 16-byte boundary, aligned 16-byte stores, single bytes after.
void* SP_LN(SpZeroBytes)(void* buffer, int32_t byteCount)
{
    auto* d = static_cast<uint8_t*>(buffer);
    int32_t i = 0;
    for (; i < byteCount && (reinterpret_cast<uintptr_t>(d + i) & 15) != 0; ++i)
    {
        d[i] = 0;
    }
    const __m128i zero = _mm_setzero_si128();
    for (; byteCount - i >= 16; i += 16)
    {
        _mm_store_si128(reinterpret_cast<__m128i*>(d + i), zero);
    }
    for (; i < byteCount; ++i)
    {
        d[i] = 0;
    }
    return buffer;
}

// Every level copies through its own byte-copy kernel, the one its FFT and FIR builds use: its
// short path, its direction choice and its non-temporal stores for long copies.
SpStatus SP_LN(SpCopyF32)(const float* src, float* dst, int32_t len)
{
    const SpStatus status = CheckVectorPair(src, dst, len);
    if (status != SpOk)
    {
        return status;
    }
    SP_LN(SpCopyBytes)(src, dst, 4 * int64_t(len));
    return SpOk;
}

#define SP_LEVEL_KERNEL_DEFINE(name, body, params, args)                                                     \
    void SP_LN(name) params                                                                                  \
    {                                                                                                        \
        Kernels::body args;                                                                                  \
    }
SP_LEVEL_KERNEL_LIST(SP_LEVEL_KERNEL_DEFINE)
#undef SP_LEVEL_KERNEL_DEFINE

__m128 SP_LN(SpScaleFactor)(int32_t scale)
{
    return _mm_set1_ps(Kernels::FiniteFactor(scale));
}

__m128 SP_LN(SpScaleFactorAway)(int32_t scale)
{
    return _mm_set1_ps(Kernels::FiniteFactor(scale));
}

// The two-channel bodies of the interleave entries above, by name.
void SP_LN(SpInterleave2Kernel)(const float* left, const float* right, float* dst, int64_t frames)
{
    Interleave::InterleavePair(left, right, dst, frames);
}

void SP_LN(SpDeinterleave2Kernel)(const float* src, float* left, float* right, int64_t frames)
{
    Interleave::DeinterleavePair(src, left, right, frames);
}

// The FIR and IIR rows and the filter kernels beneath them.
#include "driver/primitives/filters/sp_filter_levels_build-inl.h"

// The vector rows: fills, absolute value, flip, add, subtract and multiply, the arithmetic of
// table 1 (add in place, multiply and divide by a constant) and the power.
#include "driver/primitives/vectors/sp_vector_levels_build-inl.h"

// The add-a-constant row (levels 1 and 2; level 3 takes level 2's).
#include "driver/primitives/vectors/sp_add_const-inl.h"
