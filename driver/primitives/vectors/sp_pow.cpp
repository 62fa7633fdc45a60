// Level-0 build of the element-wise power.
#include "sp_pow.h"

#include "sp_level_params.h"
#include "sp_pow-inl.h"

SpStatus SpPowF32_L0(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpPowKernels<SpLevel0Params>::Pow(src1, src2, dst, len);
}
