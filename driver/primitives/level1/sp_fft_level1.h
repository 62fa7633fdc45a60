// The level-1 FFT family: its entries and kernels are declared with the other levels' in
// sp_fft_levels.h; this header stays for the callers that name level 1 alone.
#pragma once

#include "driver/primitives/fft/sp_fft_levels.h"
