// Finite-impulse-response filters of the signal-primitives library: a single-rate filter ("FI01")
// with a direct form for short blocks and overlap-save FFT convolution for long blocks of long
// filters, a polyphase multi-rate filter ("FI03") that up-samples by U, filters and down-samples
// by D in one pass, and a one-sample filter over a caller-held delay line. Every operation is
// resident and callable at IRQL <= DISPATCH_LEVEL; filtering never allocates.
//
// Accuracy: single-precision products and sums; the FFT path agrees with the direct form to
// about 1e-5 of the output's magnitude.
#pragma once

#include <stdint.h>

#include "driver/primitives/dispatch/sp_status.h"
#include "driver/primitives/fft/sp_fft.h"

enum : uint32_t
{
    SpFirTagSingleRate = 0x46493031, // "FI01"
    SpFirTagMultiRate = 0x46493033,  // "FI03"
};

// Multi-rate layouts: A shares one window among four outputs; B gives each output its own.
enum : int32_t
{
    SpFirModeGroups = 1,     // layout A
    SpFirModeSingleTaps = 2, // layout B, U = 1
    SpFirModeOutputTaps = 3, // layout B, U > 1
};

enum : int32_t
{
    SpFirFftMinTaps = 64,      // shorter filters never take the FFT path
    SpFirFftMinBlock = 512,    // shorter blocks run the direct form
    SpFirScratchBytes = 16384, // reserved for the processor-specific builds
};

struct SpFirSingleRate
{
    float* RevTaps;        // L taps, last first
    float* Delay;          // 3L + 4 floats; the first L are the history, oldest first
    int32_t TapCount;      // L
    int32_t AppendLimit;   // Q: L rounded up to 4, with bit 0 set
    SpFftSpec* FftSpec;    // real FFT of length F, or null
    float* TapSpectrum;    // packed spectrum of the zero-padded taps (F floats)
    int32_t FftLength;     // F, or -1 without an FFT path
    int32_t HistoryOffset; // 0 after every block
    int32_t HistoryLength; // L
    float* Block;          // F floats of overlap-save block
    uint8_t* FftWork;      // transform scratch, null when none is needed
    int32_t FftWorkBytes;
    float* Scratch;     // SpFirScratchBytes
    int32_t OwnsMemory; // 1: made by SpFirCreate
    float* TapQuads;    // levels 1-3: each tap four times, natural order, 16-byte aligned; else null
};

struct SpFirMultiRate
{
    float* RevTaps;        // L taps, last first
    float* Delay;          // P + K + 1 floats: P history inputs, oldest first, then K new
    int32_t TapCount;      // L
    int32_t UpFactor;      // U
    int32_t Capacity;      // K: new inputs the delay area takes in one call
    int32_t DownFactor;    // D
    int32_t HeadCount;     // H: outputs computed over the delay area in a long call
    SpFftSpec* FftSpec;    // always null
    int32_t FftLength;     // always -1
    int32_t HistoryOffset; // 0
    int32_t* AdvanceTable; // A: U + 1 group advances; B: 4U window starts, then the period advance
    float* PhaseTaps;      // A: U groups of T rows of four taps; B: 4U rows of P taps
    int32_t TapsPerRow;    // T
    int32_t Mode;          // SpFirModeGroups, SpFirModeSingleTaps or SpFirModeOutputTaps
    int32_t HistoryLength; // P = ceil(L / U)
    float* Scratch;        // at least SpFirScratchBytes
    int32_t OwnsMemory;    // always 0
    int32_t UpPhase;       // pu
    int32_t DownPhase;     // pd
};

struct SpFirState
{
    uint32_t Tag;  // SpFirTagSingleRate or SpFirTagMultiRate
    int32_t Level; // the build that laid the record out; other builds refuse it
    union
    {
        SpFirSingleRate Single; // FI01
        SpFirMultiRate Multi;   // FI03
    };
};

// Caller memory: size query, then init into a buffer of that size. delayLine: past inputs,
// newest first (L of them single-rate, ceil(L/U) multi-rate), or null for silence.
SpStatus SpFirStateSize(int32_t tapCount, int32_t* pSize);
SpStatus SpFirStateSize_L0(int32_t tapCount, int32_t* pSize);
SpStatus SpFirInit(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine,
                   uint8_t* buffer);
SpStatus SpFirInit_L0(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine,
                      uint8_t* buffer);
SpStatus SpFirMultiRateStateSize(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize);
SpStatus SpFirMultiRateStateSize_L0(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize);
SpStatus SpFirMultiRateInit(SpFirState** ppState, const float* taps, int32_t tapCount, int32_t upFactor,
                            int32_t upPhase, int32_t downFactor, int32_t downPhase, const float* delayLine,
                            uint8_t* buffer);
SpStatus SpFirMultiRateInit_L0(SpFirState** ppState, const float* taps, int32_t tapCount, int32_t upFactor,
                               int32_t upPhase, int32_t downFactor, int32_t downPhase, const float* delayLine,
                               uint8_t* buffer);

// Library memory: one block for the state and, for 64 taps or more, one for its FFT.
SpStatus SpFirCreate(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine);
SpStatus SpFirCreate_L0(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine);
SpStatus SpFirFree(SpFirState* state);
SpStatus SpFirFree_L0(SpFirState* state); // one build for every level

// Single-rate: len samples in, len out. Multi-rate: len steps, D x len in, U x len out.
// src and dst must not overlap.
SpStatus SpFirFilter(const float* src, float* dst, int32_t len, SpFirState* state);
SpStatus SpFirFilter_L0(const float* src, float* dst, int32_t len, SpFirState* state);

// One sample through taps over a caller-held delay line of 2 x tapCount floats (zeroed at
// start) and its index (0 at start, kept in 0 .. tapCount-1).
SpStatus SpFirFilterSample(float input, float* pOutput, const float* taps, int32_t tapCount, float* delayLine,
                           int32_t* pIndex);
SpStatus SpFirFilterSample_L0(float input, float* pOutput, const float* taps, int32_t tapCount,
                              float* delayLine, int32_t* pIndex);
