// The two level tables: the one place where every public operation's row gets its four
// columns. A row's shape says which levels share one build. Rows whose level builds do not
// exist yet hold the level-0 build in every column; adding a level build only replaces the
// entries named _L0 in that level's column.
#include "sp_level_tables.h"

#include "driver/primitives/fft/sp_fft.h"
#include "driver/primitives/fft/sp_fft_internal.h"
#include "driver/primitives/filters/sp_fir.h"
#include "driver/primitives/filters/sp_fir_internal.h"
#include "driver/primitives/filters/sp_iir.h"
#include "driver/primitives/filters/sp_iir_internal.h"
#include "driver/primitives/level1/sp_fft_level1.h"
#include "driver/primitives/vectors/sp_convert.h"
#include "driver/primitives/vectors/sp_pow.h"
#include "driver/primitives/vectors/sp_vector.h"
#include "driver/primitives/vectors/sp_vector_levels.h"
#include "sp_alloc.h"
#include "sp_level_builds.h"

#define SP_E(fn) reinterpret_cast<SpEntry>(&fn)

// Row shapes, by the builds a row has:
//   SP_ROW_SEPARATE    one build per level                         {c0, c1, c2, c3}
//   SP_ROW_SHARED_23   levels 2 and 3 share a build                {c0, c1, c23, c23}
//   SP_ROW_SHARED_01_23 levels 0-1 share one, levels 2-3 another  {c01, c01, c23, c23}
//   SP_ROW_SHARED_ALL  one build serves all four levels            {c, c, c, c}
#define SP_ROW_SEPARATE(c0, c1, c2, c3)                                                                      \
    {                                                                                                        \
        {                                                                                                    \
            SP_E(c0), SP_E(c1), SP_E(c2), SP_E(c3)                                                           \
        }                                                                                                    \
    }
#define SP_ROW_SHARED_23(c0, c1, c23)                                                                        \
    {                                                                                                        \
        {                                                                                                    \
            SP_E(c0), SP_E(c1), SP_E(c23), SP_E(c23)                                                         \
        }                                                                                                    \
    }
#define SP_ROW_SHARED_01_23(c01, c23)                                                                        \
    {                                                                                                        \
        {                                                                                                    \
            SP_E(c01), SP_E(c01), SP_E(c23), SP_E(c23)                                                       \
        }                                                                                                    \
    }
#define SP_ROW_SHARED_ALL(c)                                                                                 \
    {                                                                                                        \
        {                                                                                                    \
            SP_E(c), SP_E(c), SP_E(c), SP_E(c)                                                               \
        }                                                                                                    \
    }

// clang-format off
const SpLevelRow SpLevelTable1[25] = {
    // row: shape(level 0, level 1, level 2, level 3)
    /*  0 */ SP_ROW_SEPARATE(SpZeroF32_L0, SpZeroF32_L1, SpZeroF32_L2, SpZeroF32_L3),
    /*  1 */ SP_ROW_SEPARATE(SpConvertF32ToI16_L0, SpConvertF32ToI16_L1, SpConvertF32ToI16_L2, SpConvertF32ToI16_L3),
    /*  2 */ SP_ROW_SEPARATE(SpConvertF32ToI32_L0, SpConvertF32ToI32_L1, SpConvertF32ToI32_L2, SpConvertF32ToI32_L3),
    /*  3 */ SP_ROW_SEPARATE(SpConvertI16ToF32_L0, SpConvertI16ToF32_L1, SpConvertI16ToF32_L2, SpConvertI16ToF32_L3),
    /*  4 */ SP_ROW_SHARED_01_23(SpConvertI32ToF32Scaled_L0, SpConvertI32ToF32Scaled_L2),
    /*  5 */ SP_ROW_SEPARATE(SpConvertI24ToF32_L0, SpConvertI24ToF32_L1, SpConvertI24ToF32_L2, SpConvertI24ToF32_L3),
    /*  6 */ SP_ROW_SEPARATE(SpConvertF32ToI24_L0, SpConvertF32ToI24_L1, SpConvertF32ToI24_L2, SpConvertF32ToI24_L3),
    /*  7 */ SP_ROW_SHARED_23(SpAddInPlaceF32_L0, SpAddInPlaceF32_L1, SpAddInPlaceF32_L2),
    /*  8 */ SP_ROW_SEPARATE(SpDivConstInPlaceF32_L0, SpDivConstInPlaceF32_L1, SpDivConstInPlaceF32_L2, SpDivConstInPlaceF32_L3),
    /*  9 */ SP_ROW_SEPARATE(SpMoveI32_L0, SpMoveI32_L1, SpMoveI32_L2, SpMoveI32_L3),
    /* 10 */ SP_ROW_SEPARATE(SpMulConstInPlaceF32_L0, SpMulConstInPlaceF32_L1, SpMulConstInPlaceF32_L2, SpMulConstInPlaceF32_L3),
    /* 11 */ SP_ROW_SEPARATE(SpFirInit_L0, SpFirInit_L1, SpFirInit_L2, SpFirInit_L3),
    /* 12 */ SP_ROW_SEPARATE(SpFirStateSize_L0, SpFirStateSize_L1, SpFirStateSize_L2, SpFirStateSize_L3),
    /* 13 */ SP_ROW_SEPARATE(SpFirMultiRateInit_L0, SpFirMultiRateInit_L1, SpFirMultiRateInit_L2, SpFirMultiRateInit_L3),
    /* 14 */ SP_ROW_SEPARATE(SpFirMultiRateStateSize_L0, SpFirMultiRateStateSize_L1, SpFirMultiRateStateSize_L2, SpFirMultiRateStateSize_L3),
    /* 15 */ SP_ROW_SEPARATE(SpFirFilter_L0, SpFirFilter_L1, SpFirFilter_L2, SpFirFilter_L3),
    /* 16 */ SP_ROW_SEPARATE(SpFirFilterSample_L0, SpFirFilterSample_L1, SpFirFilterSample_L2, SpFirFilterSample_L3),
    /* 17 */ SP_ROW_SEPARATE(SpIirFilterInPlace_L0, SpIirFilterInPlace_L1, SpIirFilterInPlace_L2,
                             SpIirFilterInPlace_L3),
    /* 18 */ SP_ROW_SHARED_23(SpIirStateSize_L0, SpIirStateSize_L1, SpIirStateSize_L2),
    /* 19 */ SP_ROW_SEPARATE(SpIirInit_L0, SpIirInit_L1, SpIirInit_L2, SpIirInit_L3),
    /* 20 */ SP_ROW_SEPARATE(SpConvertI32ToF32_L0, SpConvertI32ToF32_L1, SpConvertI32ToF32_L2, SpConvertI32ToF32_L3),
    /* 21 */ SP_ROW_SHARED_23(SpAddConstInPlaceF32_L0, SpAddConstInPlaceF32_L1, SpAddConstInPlaceF32_L2),
    /* 22 */ SP_ROW_SEPARATE(SpInterleave32_L0, SpInterleave32_L1, SpInterleave32_L2, SpInterleave32_L3),
    /* 23 */ SP_ROW_SEPARATE(SpDeinterleave32_L0, SpDeinterleave32_L1, SpDeinterleave32_L2, SpDeinterleave32_L3),
    /* 24 */ SP_ROW_SEPARATE(SpPowF32_L0, SpPowF32_L1, SpPowF32_L2, SpPowF32_L3),
};
// clang-format on

// clang-format off
const SpLevelRow SpLevelTable2[40] = {
    // row: shape(level 0, level 1, level 2, level 3)
    /*  0 */ SP_ROW_SEPARATE(SpCopyF32_L0, SpCopyF32_L1, SpCopyF32_L2, SpCopyF32_L3),
    /*  1 */ SP_ROW_SEPARATE(SpSetF32_L0, SpSetF32_L1, SpSetF32_L2, SpSetF32_L3),
    /*  2 */ SP_ROW_SEPARATE(SpMulConstF32_L0, SpMulConstF32_L1, SpMulConstF32_L2, SpMulConstF32_L3),
    /*  3 */ SP_ROW_SEPARATE(SpSqrtInPlaceF32_L0, SpSqrtInPlaceF32_L1, SpSqrtInPlaceF32_L2, SpSqrtInPlaceF32_L3),
    /*  4 */ SP_ROW_SEPARATE(SpAbsInPlaceF32_L0, SpAbsInPlaceF32_L1, SpAbsInPlaceF32_L2, SpAbsInPlaceF32_L3),
    /*  5 */ SP_ROW_SEPARATE(SpMaxF32_L0, SpMaxF32_L1, SpMaxF32_L2, SpMaxF32_L3),
    /*  6 */ SP_ROW_SEPARATE(SpMinF32_L0, SpMinF32_L1, SpMinF32_L2, SpMinF32_L3),
    /*  7 */ SP_ROW_SEPARATE(SpFftComplexCreate_L0, SpFftComplexCreate_L1, SpFftComplexCreate_L2,
                             SpFftComplexCreate_L3),
    /*  8 */ SP_ROW_SHARED_ALL(SpFftComplexFree_L0),
    /*  9 */ SP_ROW_SEPARATE(SpFftFwdComplex_L0, SpFftFwdComplex_L1, SpFftFwdComplex_L2, SpFftFwdComplex_L3),
    /* 10 */ SP_ROW_SHARED_ALL(SpMallocF32_L0),
    /* 11 */ SP_ROW_SHARED_ALL(SpAlignedFree),
    /* 12 */ SP_ROW_SEPARATE(SpFlipF32_L0, SpFlipF32_L1, SpFlipF32_L2, SpFlipF32_L3),
    /* 13 */ SP_ROW_SHARED_23(SpMulInPlaceF32_L0, SpMulInPlaceF32_L1, SpMulInPlaceF32_L2),
    /* 14 */ SP_ROW_SHARED_23(SpAddF32_L0, SpAddF32_L1, SpAddF32_L2),
    /* 15 */ SP_ROW_SHARED_23(SpSubF32_L0, SpSubF32_L1, SpSubF32_L2),
    /* 16 */ SP_ROW_SHARED_23(SpMulF32_L0, SpMulF32_L1, SpMulF32_L2),
    /* 17 */ SP_ROW_SHARED_ALL(SpAddProductF32_L0),
    /* 18 */ SP_ROW_SEPARATE(SpSqrF32_L0, SpSqrF32_L1, SpSqrF32_L2, SpSqrF32_L3),
    /* 19 */ SP_ROW_SEPARATE(SpDivF32_L0, SpDivF32_L1, SpDivF32_L2, SpDivF32_L3),
    /* 20 */ SP_ROW_SEPARATE(SpExpInPlaceF32_L0, SpExpInPlaceF32_L1, SpExpInPlaceF32_L2, SpExpInPlaceF32_L3),
    /* 21 */ SP_ROW_SEPARATE(SpLnInPlaceF32_L0, SpLnInPlaceF32_L1, SpLnInPlaceF32_L2, SpLnInPlaceF32_L3),
    /* 22 */ SP_ROW_SEPARATE(SpSumF32_L0, SpSumF32_L1, SpSumF32_L2, SpSumF32_L3),
    /* 23 */ SP_ROW_SEPARATE(SpMeanF32_L0, SpMeanF32_L1, SpMeanF32_L2, SpMeanF32_L3),
    /* 24 */ SP_ROW_SEPARATE(SpMinEveryInPlaceF32_L0, SpMinEveryInPlaceF32_L1, SpMinEveryInPlaceF32_L2,
                             SpMinEveryInPlaceF32_L3),
    /* 25 */ SP_ROW_SEPARATE(SpMaxEveryInPlaceF32_L0, SpMaxEveryInPlaceF32_L1, SpMaxEveryInPlaceF32_L2,
                             SpMaxEveryInPlaceF32_L3),
    /* 26 */ SP_ROW_SEPARATE(SpDotProdF32_L0, SpDotProdF32_L1, SpDotProdF32_L2, SpDotProdF32_L3),
    /* 27 */ SP_ROW_SEPARATE(SpFftRealCreate_L0, SpFftRealCreate_L1, SpFftRealCreate_L2, SpFftRealCreate_L3),
    /* 28 */ SP_ROW_SHARED_ALL(SpFftRealFree_L0),
    /* 29 */ SP_ROW_SEPARATE(SpFftFwdRealInPlace_L0, SpFftFwdRealInPlace_L1, SpFftFwdRealInPlace_L2,
                             SpFftFwdRealInPlace_L3),
    /* 30 */ SP_ROW_SEPARATE(SpFftInvRealInPlace_L0, SpFftInvRealInPlace_L1, SpFftInvRealInPlace_L2,
                             SpFftInvRealInPlace_L3),
    /* 31 */ SP_ROW_SEPARATE(SpMulPackF32_L0, SpMulPackF32_L1, SpMulPackF32_L2, SpMulPackF32_L3),
    /* 32 */ SP_ROW_SEPARATE(SpIirCreate_L0, SpIirCreate_L1, SpIirCreate_L2, SpIirCreate_L3),
    /* 33 */ SP_ROW_SHARED_ALL(SpIirFree_L0),
    /* 34 */ SP_ROW_SEPARATE(SpIirFilter_L0, SpIirFilter_L1, SpIirFilter_L2, SpIirFilter_L3),
    /* 35 */ SP_ROW_SEPARATE(SpFirCreate_L0, SpFirCreate_L1, SpFirCreate_L2, SpFirCreate_L3),
    /* 36 */ SP_ROW_SHARED_ALL(SpFirFree_L0),
    /* 37 */ SP_ROW_SEPARATE(SpSampleUpF32_L0, SpSampleUpF32_L1, SpSampleUpF32_L2, SpSampleUpF32_L3),
    /* 38 */ SP_ROW_SEPARATE(SpSampleDownF32_L0, SpSampleDownF32_L1, SpSampleDownF32_L2, SpSampleDownF32_L3),
    /* 39 */ SP_ROW_SHARED_23(SpAddProductConstF32_L0, SpAddProductConstF32_L1, SpAddProductConstF32_L2),
};
// clang-format on

// Every row has its entries; a row added to an enumeration must be added here too.
static_assert(sizeof(SpLevelTable1) / sizeof(SpLevelTable1[0]) == SP_T1_ROW_COUNT, "SpLevelTable1 rows");
static_assert(sizeof(SpLevelTable2) / sizeof(SpLevelTable2[0]) == SP_T2_ROW_COUNT, "SpLevelTable2 rows");

// One level's 16 real-FFT kernels from the builds named with `suffix` (empty for the generic
// build); the order-0 pair is shared by every level and both directions.
#define SP_FFT_REAL_KERNELS(suffix)                                                                          \
    SP_E(SpFftRealKernelOrder0), SP_E(SpFftRealKernelOrder1##suffix),                                        \
        SP_E(SpFftRealKernelFwdOrder2##suffix), SP_E(SpFftRealKernelFwdOrder3##suffix),                      \
        SP_E(SpFftRealKernelOrder0Scaled), SP_E(SpFftRealKernelOrder1Scaled##suffix),                        \
        SP_E(SpFftRealKernelFwdOrder2Scaled##suffix), SP_E(SpFftRealKernelFwdOrder3Scaled##suffix),          \
        SP_E(SpFftRealKernelOrder0), SP_E(SpFftRealKernelOrder1##suffix),                                    \
        SP_E(SpFftRealKernelInvOrder2##suffix), SP_E(SpFftRealKernelInvOrder3##suffix),                      \
        SP_E(SpFftRealKernelOrder0Scaled), SP_E(SpFftRealKernelOrder1Scaled##suffix),                        \
        SP_E(SpFftRealKernelInvOrder2Scaled##suffix), SP_E(SpFftRealKernelInvOrder3Scaled##suffix)

// Level 3 has its own order-3 kernels; its orders 1 and 2 are level 2's bodies.
const SpEntry SpFftRealKernelTable[64] = {
    SP_FFT_REAL_KERNELS(),    // level 0
    SP_FFT_REAL_KERNELS(_L1), // level 1
    SP_FFT_REAL_KERNELS(_L2), // level 2
    SP_E(SpFftRealKernelOrder0),
    SP_E(SpFftRealKernelOrder1_L2),
    SP_E(SpFftRealKernelFwdOrder2_L2),
    SP_E(SpFftRealKernelFwdOrder3_L3),
    SP_E(SpFftRealKernelOrder0Scaled),
    SP_E(SpFftRealKernelOrder1Scaled_L2),
    SP_E(SpFftRealKernelFwdOrder2Scaled_L2),
    SP_E(SpFftRealKernelFwdOrder3Scaled_L3),
    SP_E(SpFftRealKernelOrder0),
    SP_E(SpFftRealKernelOrder1_L2),
    SP_E(SpFftRealKernelInvOrder2_L2),
    SP_E(SpFftRealKernelInvOrder3_L3),
    SP_E(SpFftRealKernelOrder0Scaled),
    SP_E(SpFftRealKernelOrder1Scaled_L2),
    SP_E(SpFftRealKernelInvOrder2Scaled_L2),
    SP_E(SpFftRealKernelInvOrder3Scaled_L3), // level 3
};
