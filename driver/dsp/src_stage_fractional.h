// CSrcStageFractional: the 147:160 rate step between the 44.1 kHz and 48 kHz families at any
// multiple. Up, it steps through the 160 polyphase branches 147 at a time, so 147 inputs give
// 160 outputs; down, it steps through the 147 branches 13 at a time and skips one input each
// time the phase wraps, so 160 inputs give 147 outputs. One output is one pass of a short
// direct-form filter over the channel's own delay line.
#pragma once

#include "driver/dsp/src_stage.h"

constexpr ULONG SRC_FRACTIONAL_DELAY_SAMPLES = 48; // twice the longer branch

class CSrcStageFractional : public CSrcStage
{
public:
    ULONG GetUpStateSize() override;
    ULONG GetDownStateSize() override;
    // Consumes inputs until they or the buffer's room run out; an input whose outputs are not
    // all written yet, or a skip that has no input yet, is finished by the next call, so any
    // split of a signal into calls gives the same samples.
    BOOLEAN Process(ULONG Channel, const float* Data, ULONG* Count) override;
    // Phase 0, silent delay lines and each channel's filter state rebuilt from the first
    // branch of the stage's direction.
    VOID Reset() override;

    ULONG GetPhase(ULONG Channel) const { return m_nPhase[Channel]; }

private:
    ULONG ProcessUp(ULONG Channel, const float* Data, ULONG Count);
    ULONG ProcessDown(ULONG Channel, const float* Data, ULONG Count);
    float FilterOne(ULONG Channel, float Input, const float* Taps, int32_t TapCount);

    ULONG m_nPhase[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_fDelay[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][SRC_FRACTIONAL_DELAY_SAMPLES];
    int32_t m_nDelayIndex[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
};
