// The two level tables of the signal-primitives library: every public operation is one row,
// and column c of a row is the build of that operation for processor level c (SpCpuLevel).
// The public entry stub of a row reads the level and calls that column with its arguments
// unchanged. Both tables are built in one place, sp_level_tables.cpp.
//
// Naming: the level-c build of a public operation SpXxx is SpXxx_L<c>, with the stub's exact
// signature. A build that serves several levels sits in each of their columns.
#pragma once

#include "sp_status.h"

// An entry address; a stub casts it back to its row's function type.
typedef void (*SpEntry)();

struct SpLevelRow
{
    SpEntry Level[4]; // column c = build for level c
};

extern const SpLevelRow SpLevelTable1[25];
extern const SpLevelRow SpLevelTable2[40];

enum SpTable1Row : int
{
    SP_T1_ZERO_F32 = 0,
    SP_T1_CONVERT_F32_TO_I16 = 1,
    SP_T1_CONVERT_F32_TO_I32 = 2,
    SP_T1_CONVERT_I16_TO_F32 = 3,
    SP_T1_CONVERT_I32_TO_F32_SCALED = 4, // levels 0-1 share a build, levels 2-3 share a build
    SP_T1_CONVERT_I24_TO_F32 = 5,
    SP_T1_CONVERT_F32_TO_I24 = 6,
    SP_T1_ADD_IN_PLACE_F32 = 7, // levels 2-3 share a build
    SP_T1_DIV_CONST_IN_PLACE_F32 = 8,
    SP_T1_MOVE_I32 = 9,                // the FIR filter calls the entries directly
    SP_T1_MUL_CONST_IN_PLACE_F32 = 10, // levels 2-3 share a build
    SP_T1_FIR_INIT = 11,
    SP_T1_FIR_STATE_SIZE = 12,
    SP_T1_FIR_MULTI_RATE_INIT = 13,
    SP_T1_FIR_MULTI_RATE_STATE_SIZE = 14,
    SP_T1_FIR_FILTER = 15,
    SP_T1_FIR_FILTER_SAMPLE = 16,
    SP_T1_IIR_FILTER_IN_PLACE = 17,
    SP_T1_IIR_STATE_SIZE = 18, // levels 2-3 share a build
    SP_T1_IIR_INIT = 19,
    SP_T1_CONVERT_I32_TO_F32 = 20,
    SP_T1_ADD_CONST_IN_PLACE_F32 = 21, // levels 2-3 share a build
    SP_T1_INTERLEAVE32 = 22,
    SP_T1_DEINTERLEAVE32 = 23,
    SP_T1_POW_F32 = 24,
    SP_T1_ROW_COUNT = 25
};

enum SpTable2Row : int
{
    SP_T2_COPY_F32 = 0,
    SP_T2_SET_F32 = 1,
    SP_T2_MUL_CONST_F32 = 2,
    SP_T2_SQRT_IN_PLACE_F32 = 3,
    SP_T2_ABS_IN_PLACE_F32 = 4,
    SP_T2_MAX_F32 = 5,
    SP_T2_MIN_F32 = 6,
    SP_T2_FFT_COMPLEX_CREATE = 7,
    SP_T2_FFT_COMPLEX_FREE = 8, // one build for all four levels
    SP_T2_FFT_FWD_COMPLEX = 9,
    SP_T2_MALLOC_F32 = 10, // one build for all four levels
    SP_T2_FREE = 11,       // SpAlignedFree in all four columns
    SP_T2_FLIP_F32 = 12,
    SP_T2_MUL_IN_PLACE_F32 = 13, // levels 2-3 share a build
    SP_T2_ADD_F32 = 14,          // levels 2-3 share a build
    SP_T2_SUB_F32 = 15,          // levels 2-3 share a build
    SP_T2_MUL_F32 = 16,          // levels 2-3 share a build
    SP_T2_ADD_PRODUCT_F32 = 17,  // one build for all four levels
    SP_T2_SQR_F32 = 18,
    SP_T2_DIV_F32 = 19,
    SP_T2_EXP_IN_PLACE_F32 = 20,
    SP_T2_LN_IN_PLACE_F32 = 21,
    SP_T2_SUM_F32 = 22,
    SP_T2_MEAN_F32 = 23,
    SP_T2_MIN_EVERY_IN_PLACE_F32 = 24,
    SP_T2_MAX_EVERY_IN_PLACE_F32 = 25,
    SP_T2_DOT_PROD_F32 = 26,
    SP_T2_FFT_REAL_CREATE = 27,
    SP_T2_FFT_REAL_FREE = 28, // one build for all four levels
    SP_T2_FFT_FWD_REAL_IN_PLACE = 29,
    SP_T2_FFT_INV_REAL_IN_PLACE = 30,
    SP_T2_MUL_PACK_F32 = 31,
    SP_T2_IIR_CREATE = 32,
    SP_T2_IIR_FREE = 33, // one build for all four levels
    SP_T2_IIR_FILTER = 34,
    SP_T2_FIR_CREATE = 35,
    SP_T2_FIR_FREE = 36, // one build for all four levels
    SP_T2_SAMPLE_UP_F32 = 37,
    SP_T2_SAMPLE_DOWN_F32 = 38,
    SP_T2_ADD_PRODUCT_CONST_F32 = 39, // levels 2-3 share a build
    SP_T2_ROW_COUNT = 40
};

// The real-FFT kernels of orders 0 to 3: 16 entries per level in level order; within a level,
// entries 0-3 forward orders 0-3, 4-7 forward scaled, 8-11 inverse, 12-15 inverse scaled. An
// unscaled kernel takes (src, dst), a scaled one (src, dst, scale). Every level's real-FFT
// driver runs its small orders from its own column.
typedef void (*SpFftRealKernelFn)(const float* src, float* dst);
typedef void (*SpFftRealKernelScaledFn)(const float* src, float* dst, float scale);
enum SpFftRealKernelSlot : int
{
    SP_FFT_REAL_KERNEL_FWD = 0,
    SP_FFT_REAL_KERNEL_FWD_SCALED = 4,
    SP_FFT_REAL_KERNEL_INV = 8,
    SP_FFT_REAL_KERNEL_INV_SCALED = 12,
    SP_FFT_REAL_KERNELS_PER_LEVEL = 16
};
extern const SpEntry SpFftRealKernelTable[64];

// Runs the entry of `level` for `order` (0-3) and the direction: the scaled one, with `scale`,
// when `scaled` is set.
inline void SpFftRealRunKernel(int32_t level, bool inverse, int32_t order, const float* src, float* dst,
                               bool scaled, float scale)
{
    const int32_t entry = SP_FFT_REAL_KERNELS_PER_LEVEL * level +
                          (inverse ? SP_FFT_REAL_KERNEL_INV : SP_FFT_REAL_KERNEL_FWD) +
                          (scaled ? SP_FFT_REAL_KERNEL_FWD_SCALED : 0) + order;
    if (scaled)
    {
        reinterpret_cast<SpFftRealKernelScaledFn>(SpFftRealKernelTable[entry])(src, dst, scale);
    }
    else
    {
        reinterpret_cast<SpFftRealKernelFn>(SpFftRealKernelTable[entry])(src, dst);
    }
}

// The entry of `row` for the current level, as the row's function type. The level is not
// range-checked: only level selection writes SpCpuLevel, and it writes 0 to 3.
template <typename Fn> inline Fn SpLevelEntry(const SpLevelRow* table, int row)
{
    return reinterpret_cast<Fn>(table[row].Level[SpCpuLevel]);
}
