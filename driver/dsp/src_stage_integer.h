// The conversion chain's integer rate stages: CSrcStage2x and CSrcStage4x change the rate by 2
// or 4 within one rate family (44.1 -> 88.2 -> 176.4 kHz, 48 -> 96 -> 192 kHz) through a
// polyphase multi-rate filter over a symmetric low-pass, up or down by the stage's direction.
#pragma once

#include "driver/dsp/src_stage.h"

// The shared body: the factor and its low-pass.
class CSrcStageInteger : public CSrcStage
{
public:
    ULONG GetUpStateSize() override;
    ULONG GetDownStateSize() override;
    // Down: takes whole groups of Factor inputs, one output each. Up: Factor outputs per input,
    // scaled by Factor to keep the level the zeros between the inputs took away. Stops where
    // the input or the buffer's room runs out.
    BOOLEAN Process(ULONG Channel, const float* Data, ULONG* Count) override;
    // Rebuilds every channel's filter state, from silence, for the stage's direction.
    VOID Reset() override;

protected:
    CSrcStageInteger(ULONG Factor, const float* Taps, int32_t TapCount)
        : m_nFactor(Factor), m_pTaps(Taps), m_nTapCount(TapCount)
    {
    }

private:
    ULONG StateSize(int32_t UpFactor, int32_t DownFactor) const;

    ULONG m_nFactor;
    const float* m_pTaps;
    int32_t m_nTapCount;
};

class CSrcStage2x : public CSrcStageInteger
{
public:
    CSrcStage2x();
};

class CSrcStage4x : public CSrcStageInteger
{
public:
    CSrcStage4x();
};
