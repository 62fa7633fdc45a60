// The signal-primitives library as its callers see it: status codes, allocator, fills, format
// conversions, vector operations, power, filters and FFT, and processor-level selection.
#pragma once

#include "driver/primitives/dispatch/sp_status.h"
#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_memory.h"
#include "driver/primitives/dispatch/sp_cpu_level.h"
#include "driver/primitives/vectors/sp_convert.h"
#include "driver/primitives/vectors/sp_vector.h"
#include "driver/primitives/vectors/sp_pow.h"
#include "driver/primitives/filters/sp_iir.h"
#include "driver/primitives/filters/sp_fir.h"
#include "driver/primitives/fft/sp_fft.h"
