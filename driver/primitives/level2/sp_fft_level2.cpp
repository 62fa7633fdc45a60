// The level-2 FFT family (processors with SSSE3): the shared level text compiled for that instruction
// set. The headers come first so that only the kernels' bodies take the target.
#include <immintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_level_builds.h"
#include "driver/primitives/fft/sp_fft_levels.h"

#include "driver/primitives/dispatch/sp_level_target.h"

SP_LEVEL_TARGET_BEGIN("ssse3")

#define SP_FFT_LEVEL 2
#define SP_FFT_SUFFIX L2
#include "driver/primitives/fft/sp_fft_levels_build-inl.h"

SP_LEVEL_TARGET_END
