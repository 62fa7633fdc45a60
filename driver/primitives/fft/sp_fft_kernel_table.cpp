// The complex FFT kernels of orders 0 to 3, one row of eight per level: slots 0-3 unscaled,
// 4-7 scaled. Orders 0 and 1 are the generic kernels in every row.
#include "driver/primitives/fft/sp_fft_levels.h"

#define SP_E(fn) reinterpret_cast<SpEntry>(&fn)

const SpEntry SpFftComplexKernelTable[32] = {
    // level 0
    SP_E(SpFftComplexKernelOrder0),
    SP_E(SpFftComplexKernelOrder1),
    SP_E(SpFftComplexKernelOrder2),
    SP_E(SpFftComplexKernelOrder3),
    SP_E(SpFftComplexKernelOrder0Scaled),
    SP_E(SpFftComplexKernelOrder1Scaled),
    SP_E(SpFftComplexKernelOrder2Scaled),
    SP_E(SpFftComplexKernelOrder3Scaled),
    // level 1
    SP_E(SpFftComplexKernelOrder0),
    SP_E(SpFftComplexKernelOrder1),
    SP_E(SpFftComplexKernelOrder2_L1),
    SP_E(SpFftComplexKernelOrder3_L1),
    SP_E(SpFftComplexKernelOrder0Scaled),
    SP_E(SpFftComplexKernelOrder1Scaled),
    SP_E(SpFftComplexKernelOrder2Scaled_L1),
    SP_E(SpFftComplexKernelOrder3Scaled_L1),
    // level 2
    SP_E(SpFftComplexKernelOrder0),
    SP_E(SpFftComplexKernelOrder1),
    SP_E(SpFftComplexKernelOrder2_L2),
    SP_E(SpFftComplexKernelOrder3_L2),
    SP_E(SpFftComplexKernelOrder0Scaled),
    SP_E(SpFftComplexKernelOrder1Scaled),
    SP_E(SpFftComplexKernelOrder2Scaled_L2),
    SP_E(SpFftComplexKernelOrder3Scaled_L2),
    // level 3: order 2 is level 2's body
    SP_E(SpFftComplexKernelOrder0),
    SP_E(SpFftComplexKernelOrder1),
    SP_E(SpFftComplexKernelOrder2_L2),
    SP_E(SpFftComplexKernelOrder3_L3),
    SP_E(SpFftComplexKernelOrder0Scaled),
    SP_E(SpFftComplexKernelOrder1Scaled),
    SP_E(SpFftComplexKernelOrder2Scaled_L2),
    SP_E(SpFftComplexKernelOrder3Scaled_L3),
};
