// CSrcStageFractional: polyphase 147:160 conversion, one output per filter pass.
#include "driver/dsp/src_stage_fractional.h"

#include "driver/dsp/src_stage_tables.h"
#include "driver/primitives/sp_lib.h"

namespace
{

// Phase steps per output, in branches of the direction's table.
constexpr ULONG UP_PHASE_STEP = SRC_FRACTIONAL_DOWN_PHASES;                              // 147 of 160
constexpr ULONG DOWN_PHASE_STEP = SRC_FRACTIONAL_UP_PHASES - SRC_FRACTIONAL_DOWN_PHASES; // 13 of 147

ULONG StateSize(int32_t TapCount)
{
    int32_t bytes = 0;
    if (SpFirStateSize(TapCount, &bytes) != SpOk || bytes < 0)
    {
        return 0;
    }
    return ULONG(bytes);
}

} // namespace

ULONG CSrcStageFractional::GetUpStateSize()
{
    return StateSize(SRC_FRACTIONAL_UP_TAPS);
}

ULONG CSrcStageFractional::GetDownStateSize()
{
    return StateSize(SRC_FRACTIONAL_DOWN_TAPS);
}

VOID CSrcStageFractional::Reset()
{
    const bool up = GetDirection() == SrcDirectionUp;
    const float* firstRow = up ? g_SrcFractionalUpTaps[0] : g_SrcFractionalDownTaps[0];
    const int32_t tapCount = up ? SRC_FRACTIONAL_UP_TAPS : SRC_FRACTIONAL_DOWN_TAPS;
    for (ULONG i = 0; i < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; i++)
    {
        m_nPhase[i] = 0;
        // Silence first, so the state built over the line starts silent too.
        SpZeroF32(m_fDelay[i], int32_t(SRC_FRACTIONAL_DELAY_SAMPLES));
        m_nDelayIndex[i] = 0;
        SpFirState* pState = nullptr;
        if (IsAllocated() && SpFirInit(&pState, firstRow, tapCount, m_fDelay[i], StateMemory(i)) != SpOk)
        {
            pState = nullptr;
        }
        m_pFirState[i] = pState;
    }
    ClearFillPositions();
}

BOOLEAN CSrcStageFractional::Process(ULONG Channel, const float* Data, ULONG* Count)
{
    if (!CanProcess(Channel, Data, Count))
    {
        return FALSE;
    }
    *Count = GetDirection() == SrcDirectionUp ? ProcessUp(Channel, Data, *Count)
                                              : ProcessDown(Channel, Data, *Count);
    return TRUE;
}

float CSrcStageFractional::FilterOne(ULONG Channel, float Input, const float* Taps, int32_t TapCount)
{
    float output = 0.0f;
    SpFirFilterSample(Input, &output, Taps, TapCount, m_fDelay[Channel], &m_nDelayIndex[Channel]);
    return output;
}

// An input stays current until the phase wraps; until then each further output filters it
// again with the next branch, written over its own slot of the delay line.
ULONG CSrcStageFractional::ProcessUp(ULONG Channel, const float* Data, ULONG Count)
{
    ULONG consumed = 0;
    ULONG& phase = m_nPhase[Channel];
    while (consumed < Count && Room(Channel) > 0)
    {
        const int32_t index = m_nDelayIndex[Channel];
        m_pBuffer[Channel][m_nFill[Channel]++] =
            FilterOne(Channel, Data[consumed], g_SrcFractionalUpTaps[phase], SRC_FRACTIONAL_UP_TAPS);
        phase += UP_PHASE_STEP;
        if (phase >= SRC_FRACTIONAL_UP_PHASES)
        {
            phase -= SRC_FRACTIONAL_UP_PHASES;
            consumed++;
        }
        else
        {
            m_nDelayIndex[Channel] = index;
        }
    }
    return consumed;
}

// A phase at or past the wrap marks an input still to be skipped: it goes into the delay line
// without an output as soon as there is one, possibly at the start of the next call.
ULONG CSrcStageFractional::ProcessDown(ULONG Channel, const float* Data, ULONG Count)
{
    ULONG consumed = 0;
    ULONG& phase = m_nPhase[Channel];
    while (consumed < Count)
    {
        if (phase >= SRC_FRACTIONAL_DOWN_PHASES)
        {
            FilterOne(Channel, Data[consumed++], g_SrcFractionalDownTaps[0], SRC_FRACTIONAL_DOWN_TAPS);
            phase -= SRC_FRACTIONAL_DOWN_PHASES;
            continue;
        }
        if (Room(Channel) == 0)
        {
            break;
        }
        m_pBuffer[Channel][m_nFill[Channel]++] =
            FilterOne(Channel, Data[consumed++], g_SrcFractionalDownTaps[phase], SRC_FRACTIONAL_DOWN_TAPS);
        phase += DOWN_PHASE_STEP;
    }
    return consumed;
}
