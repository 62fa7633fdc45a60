// A complex FFT spec of one level (1 to 3), made by that level's create and freed at the end of
// the scope: the FFT level tests hand its tables to the level's kernels.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>

#include "driver/primitives/fft/sp_fft_levels.h"

struct FftLevelSpec
{
    SpFftSpec* p = nullptr;
    FftLevelSpec(int level, int order)
    {
        const auto create = level == 1   ? SpFftComplexCreate_L1
                            : level == 2 ? SpFftComplexCreate_L2
                                         : SpFftComplexCreate_L3;
        EXPECT_EQ(create(&p, order, SpFftNoDivide, 0), SpOk);
    }
    ~FftLevelSpec() { SpFftComplexFree(p); }
    FftLevelSpec(const FftLevelSpec&) = delete;
    FftLevelSpec& operator=(const FftLevelSpec&) = delete;
    const uint32_t* Index() const { return reinterpret_cast<const uint32_t*>(p->BitRev); }
};
