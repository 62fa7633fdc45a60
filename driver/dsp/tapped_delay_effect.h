// CTappedDelayEffect: renders a six- or eight-channel stream to two channels with a room
// response (a four-line feedback delay network) and seven short filters that shape the stereo
// image, then quantises each output to 16-bit steps. Every delay, filter memory and filter
// history lives in one ring of floats that advances one slot per sample; the programme chosen
// by the sample rate supplies every delay, count and coefficient.
//
// A plain class: its owner allocates it from non-paged pool with its own tag, zeroed, and
// serialises every call (Process runs under the owner's spin lock). Nothing allocates and
// nothing divides in the sample loop. Every method runs at <= DISPATCH_LEVEL.
#pragma once

#include "ntddk.h"

#include "driver/dsp/tapped_delay_programmes.h"

// The effect object (non-paged), allocated by its owner.
#define TAPPED_DELAY_POOL_TAG MAKE_POOL_TAG('D', 'o', 'H', 'P')

constexpr ULONG TAPPED_DELAY_INPUTS = 8;
constexpr ULONG TAPPED_DELAY_OUTPUTS = 2;

class CTappedDelayEffect
{
public:
    CTappedDelayEffect() {}

    // The 48 kHz programme, one channel, an empty ring.
    VOID Init();
    // Remembers the rate (its programme; 44.1 kHz's when it has none) and channel count minus
    // one for the next Process.
    VOID SetFormat(ULONG RateHz, ULONG ChannelValue);
    BOOLEAN IsPendingValid() const;
    // Makes valid pending values active with an empty ring; invalid ones are dropped.
    VOID ApplyPending();
    // As ApplyPending, then an empty ring: the stream stopped.
    VOID Clear();
    // Renders Frames samples of Inputs (eight pointers; only the stream's channels are read)
    // into Outputs[0] and Outputs[1], which may be Inputs[0] and Inputs[1].
    VOID Process(float* const* Inputs, float* const* Outputs, ULONG Frames);

private:
    // Ring offsets of the active programme, worked out once per Process call.
    struct Layout
    {
        const float* LineTaps[DELAY_LINES];
        LONG LineOffset[DELAY_LINES];
        LONG TapsPerLine;
        const float* InputMix;
        const float* InputFilter;
        const float* DirectGains;
        const float* PairWeights;
        const float* FilterTaps[DELAY_FILTERS];
        LONG FilterCount[DELAY_FILTERS];
        LONG FilterOffset[DELAY_FILTERS];
        const float* LeftWeights;
        const float* RightWeights;
        const float* LeftOutput;
        const float* RightOutput;
        const float* Feedback[DELAY_LINES];
        LONG FeedbackOffset[DELAY_LINES];
        LONG SectionOffset;
        LONG OutputOffset;
    };

    VOID ClearRing(LONG Slots);
    BOOLEAN BuildLayout(Layout* Out) const;
    float ProcessSample(const Layout& L, float* const* Inputs, ULONG Index, float* Right);
    float* Slot(LONG Offset) const;
    const float* Run(LONG Offset, LONG Span) const;

    LONG m_nActiveRateCode = 0;
    ULONG m_nActiveChannelValue = 0;
    LONG m_nPendingRateCode = 0;
    ULONG m_nPendingChannelValue = 0;
    LONG m_nRingLength = 0;
    float* m_pRingBase = nullptr;
    float* m_pRingPosition = nullptr;
    float m_Ring[DELAY_MAX_RING_SLOTS + 1] = {};
};
