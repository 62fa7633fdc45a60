// The work-buffer query of the level-2 and level-3 real FFTs, under the name those levels'
// callers (the FIR state creation) use.
#pragma once

#include <stdint.h>

#include "driver/primitives/fft/sp_fft.h"

// Same contract as SpFftRealGetBufferSize: the spec's work bytes plus 32 (room to align the
// caller's buffer), or 0 when its transforms need none; a spec that is not a real transform's
// is refused with SpErrStateMismatch.
SpStatus SpFftRealGetBufferSize_L2(const SpFftSpec* spec, int32_t* pSize);
