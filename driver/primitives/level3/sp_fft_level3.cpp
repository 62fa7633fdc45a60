// The level-3 FFT family, selected on processors with SSE4.1: the shared level text compiled as the
// level-2 (SSSE3) instruction stream, so a level forced on an SSSE3 processor still runs. The
// headers come first so that only the kernels' bodies take the target.
#include <immintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_level_builds.h"
#include "driver/primitives/fft/sp_fft_levels.h"

#include "driver/primitives/dispatch/sp_level_target.h"

SP_LEVEL_TARGET_BEGIN("ssse3")

#define SP_FFT_LEVEL 3
#define SP_FFT_SUFFIX L3
#include "driver/primitives/fft/sp_fft_levels_build-inl.h"

SP_LEVEL_TARGET_END
