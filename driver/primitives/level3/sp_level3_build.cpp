// The level-3 build (processors with SSE4.1): the shared level body compiled for that instruction
// set. The headers come first so that only the kernels' bodies take the target.
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

SP_LEVEL_TARGET_BEGIN("sse4.1")

#define SP_LEVEL_SUFFIX L3
#define SP_LEVEL_PARAMS SpLevel3Params
#include "driver/primitives/dispatch/sp_level_build-inl.h"

SP_LEVEL_TARGET_END
