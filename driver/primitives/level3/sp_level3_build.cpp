// The level-3 build, selected on processors with SSE4.1: the shared level body compiled as the
// level-2 (SSSE3) instruction stream; its one SSE4.1 instruction, the float square root's bit
// test, is written out there. The headers come first so that only the kernels' bodies take the
// target.
#include <immintrin.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/dispatch/sp_level_builds.h"
#include "driver/primitives/dispatch/sp_memory.h"
#include "driver/primitives/filters/sp_fir_internal.h"
#include "driver/primitives/vectors/sp_convert.h"
#include "driver/primitives/vectors/sp_kernels.h"
#include "driver/primitives/vectors/sp_pow.h"
#include "driver/primitives/vectors/sp_vector.h"

#include "driver/primitives/dispatch/sp_level_target.h"

SP_LEVEL_TARGET_BEGIN("ssse3")

#define SP_LEVEL_SUFFIX L3
#define SP_LEVEL_PARAMS SpLevel3Params
#include "driver/primitives/dispatch/sp_level_build-inl.h"

SP_LEVEL_TARGET_END
