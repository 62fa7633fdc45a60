// Result codes of the signal-primitives library: 0 success, negative errors (nothing or
// only part was done), positive warnings (the work was done, something noteworthy happened).
#pragma once

#include <stdint.h>

typedef int32_t SpStatus;

enum : SpStatus
{
    SpOk = 0,
    SpWarnMisaligned = 2,        // an interleave/de-interleave buffer is not 16-byte aligned
    SpWarnSqrtNegative = 3,      // square root of a negative element (that element is NaN)
    SpWarnDivideByZero = 6,      // element-wise division by zero
    SpWarnLnZero = 7,            // logarithm of zero
    SpWarnLnNegative = 8,        // logarithm of a negative element
    SpWarnDomain = 19,           // power outside its domain
    SpWarnCpuNotRecognised = 20, // level selection: vendor not recognised
    SpErrCpuType = 21,           // level selection: unknown processor-type code
    SpErrBadLength = -6,
    SpErrNullPointer = -8,
    SpErrNoMemory = -9,
    SpErrDivideByZero = -10,
    SpErrFftOrder = -15,
    SpErrFftFlag = -16,
    SpErrStateMismatch = -17,
    SpErrIirOrder = -25,
    SpErrFirLength = -26,
    SpErrFirRatePhase = -28,
    SpErrFirRateFactor = -29,
    SpErrResamplePhase = -30,
    SpErrResampleFactor = -31,
    SpErrChannelCount = -53,
};

// Processor level that selects the column of the level tables (0 generic, 1 SSE3, 2 SSSE3,
// 3 SSE4.1). Read by every entry stub; only level selection writes it.
extern int32_t SpCpuLevel;
