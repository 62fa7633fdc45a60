// Infinite-impulse-response filters of the signal-primitives library: a state record holding the
// normalised coefficients and the delay line that carries a filter from one block to the next.
// Every operation is resident and callable at IRQL <= DISPATCH_LEVEL; filtering never allocates.
//
// Accuracy: single precision; the generic build regroups the additions of two consecutive
// samples, so results may differ from a one-sample recursion in the last bits.
#pragma once

#include <stdint.h>

#include "driver/primitives/dispatch/sp_status.h"

enum : uint32_t
{
    SpIirTagDirect = 0x49493031, // "II01": direct form of order n
    SpIirTagBiquad = 0x49493032, // "II02": cascade of biquad sections
};

// One record for every level: the generic build reads the leading fields only; the level 1-3
// builds also read the four-lane tables and the work area that their block passes need.
struct SpIirState
{
    uint32_t Tag;       // SpIirTagDirect or SpIirTagBiquad
    int32_t Level;      // the build that laid the record out; other builds refuse it
    float* Taps;        // II01: b0..bn, a1..an over a0; II02: b0 b1 b2 a1 a2 per section
    float* Delay;       // II01: n + 1 words, the last always 0; II02: two words per section
    int32_t Count;      // II01: the order n; II02: the delay-line length (2 x sections)
    int32_t OwnsMemory; // 1: made by SpIirCreate, released by SpIirFree
    // Levels 1-3 only.
    float* FfLanes;    // II01: b0..bn, each in four lanes; II02: 12 floats a section
    float* FbLanes;    // II01: n + 3 rows of four (see sp_iir_internal.h); II02: 20 floats a section
    int32_t Sections;  // II02: the section count; 0 in an II01 state
    int32_t Reserved;  // keeps the pointers below 8-byte aligned
    float* OneSample;  // II02: b0 b1 b2 - -a1 -a2 - - a section, 16-byte aligned
    float* Work;       // 1,024 floats for the block passes
    float* SecondWork; // II02: 1,024 floats behind Work; null for II01
};

// taps: 2n + 2 floats b0..bn then a0..an. delayLine: n floats of filter memory, or null for silence.
SpStatus SpIirStateSize(int32_t order, int32_t* pSize);
SpStatus SpIirStateSize_L0(int32_t order, int32_t* pSize);
SpStatus SpIirInit(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine,
                   uint8_t* buffer);
SpStatus SpIirInit_L0(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine,
                      uint8_t* buffer);
SpStatus SpIirCreate(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine);
SpStatus SpIirCreate_L0(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine);
SpStatus SpIirFree(SpIirState* state);
SpStatus SpIirFree_L0(SpIirState* state); // one build for every level

SpStatus SpIirFilter(const float* src, float* dst, int32_t len, SpIirState* state);
SpStatus SpIirFilter_L0(const float* src, float* dst, int32_t len, SpIirState* state);
SpStatus SpIirFilterInPlace(float* srcdst, int32_t len, SpIirState* state);
SpStatus SpIirFilterInPlace_L0(float* srcdst, int32_t len, SpIirState* state);
