// CSrcStage2x and CSrcStage4x: factor-2 and factor-4 rate steps through the multi-rate FIR.
#include "driver/dsp/src_stage_integer.h"

#include "driver/dsp/src_stage_tables.h"
#include "driver/primitives/sp_lib.h"

namespace
{

inline ULONG Smaller(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

} // namespace

CSrcStage2x::CSrcStage2x() : CSrcStageInteger(2, g_SrcTaps2x, SRC_TAPS_2X) {}

CSrcStage4x::CSrcStage4x() : CSrcStageInteger(4, g_SrcTaps4x, SRC_TAPS_4X) {}

ULONG CSrcStageInteger::StateSize(int32_t UpFactor, int32_t DownFactor) const
{
    int32_t bytes = 0;
    if (SpFirMultiRateStateSize(m_nTapCount, UpFactor, DownFactor, &bytes) != SpOk || bytes < 0)
    {
        return 0;
    }
    return ULONG(bytes);
}

ULONG CSrcStageInteger::GetUpStateSize()
{
    return StateSize(int32_t(m_nFactor), 1);
}

ULONG CSrcStageInteger::GetDownStateSize()
{
    return StateSize(1, int32_t(m_nFactor));
}

VOID CSrcStageInteger::Reset()
{
    const bool up = GetDirection() == SrcDirectionUp;
    const int32_t upFactor = up ? int32_t(m_nFactor) : 1;
    const int32_t downFactor = up ? 1 : int32_t(m_nFactor);
    for (ULONG i = 0; i < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; i++)
    {
        SpFirState* pState = nullptr;
        if (IsAllocated() && SpFirMultiRateInit(&pState, m_pTaps, m_nTapCount, upFactor, 0, downFactor, 0,
                                                nullptr, StateMemory(i)) != SpOk)
        {
            pState = nullptr;
        }
        m_pFirState[i] = pState;
    }
    ClearFillPositions();
}

BOOLEAN CSrcStageInteger::Process(ULONG Channel, const float* Data, ULONG* Count)
{
    if (!CanProcess(Channel, Data, Count) || !m_pFirState[Channel])
    {
        return FALSE;
    }
    const ULONG inputs = *Count;
    ULONG consumed = 0;
    float* pOut = m_pBuffer[Channel] + m_nFill[Channel];
    const ULONG steps = GetDirection() == SrcDirectionDown ? Smaller(inputs / m_nFactor, Room(Channel))
                                                           : Smaller(inputs, Room(Channel) / m_nFactor);
    if (steps > 0)
    {
        // One call covers what fits: the filter keeps its own history between calls.
        if (SpFirFilter(Data, pOut, int32_t(steps), m_pFirState[Channel]) != SpOk)
        {
            return FALSE;
        }
        if (GetDirection() == SrcDirectionDown)
        {
            consumed = steps * m_nFactor;
            m_nFill[Channel] += steps;
        }
        else
        {
            SpMulConstInPlaceF32(float(m_nFactor), pOut, int32_t(steps * m_nFactor));
            consumed = steps;
            m_nFill[Channel] += steps * m_nFactor;
        }
    }
    *Count = consumed;
    return TRUE;
}
