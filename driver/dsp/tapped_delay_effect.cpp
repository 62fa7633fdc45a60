// The tapped-delay effect: programme selection, the ring and the per-sample network.
#include "driver/dsp/tapped_delay_effect.h"

namespace
{

static_assert(DELAY_MAX_RING_SLOTS >= 7155, "the ring holds the longest programme");

constexpr bool ShapesMatchTheirRings()
{
    for (const DelayRateShape& shape : kDelayRateShapes)
    {
        if (DelayRingSlots(shape) != shape.RingSlots || shape.RingSlots > DELAY_MAX_RING_SLOTS ||
            shape.RateCode < 0 || shape.RateCode >= DELAY_RATE_CODES)
        {
            return false;
        }
    }
    return true;
}
static_assert(ShapesMatchTheirRings(), "every ring is exactly its delays, sections and filters");

// Output clamp and 16-bit step: at or above the last step below full scale the value becomes
// that step; below -1 it becomes -1.
constexpr float kClampHigh = 0.9999847412109375f;
constexpr float kClampHighValue = 0.999969482421875f;
constexpr float kClampLow = -0.9999847412109375f;

LONG RateCodeOf(ULONG RateHz)
{
    for (const DelayRateShape& shape : kDelayRateShapes)
    {
        if (ULONG(shape.RateHz) == RateHz)
        {
            return shape.RateCode;
        }
    }
    return DELAY_RATE_CODE_44100;
}

const DelayRateShape* ShapeOf(LONG RateCode)
{
    for (const DelayRateShape& shape : kDelayRateShapes)
    {
        if (shape.RateCode == RateCode)
        {
            return &shape;
        }
    }
    return nullptr;
}

// y rounded to the nearest multiple of 1/32768, in units of 1/32768 (halves round up).
float Quantise(float Y)
{
    if (Y >= kClampHigh)
    {
        Y = kClampHighValue;
    }
    else if (Y < kClampLow)
    {
        Y = -1.0f;
    }
    const LONG q = LONG(65536.5f + 32768.0f * Y);
    return float(SHORT(USHORT(q & 0xFFFF)));
}

} // namespace

VOID CTappedDelayEffect::Init()
{
    m_nActiveRateCode = DELAY_RATE_CODE_48000;
    m_nActiveChannelValue = 0;
    m_nPendingRateCode = DELAY_RATE_CODE_48000;
    m_nPendingChannelValue = 0;
    m_nRingLength = g_DelayRingSlots[DELAY_RATE_CODE_48000];
    m_pRingBase = m_Ring;
    m_pRingPosition = m_Ring;
    ClearRing(m_nRingLength);
}

VOID CTappedDelayEffect::SetFormat(ULONG RateHz, ULONG ChannelValue)
{
    m_nPendingRateCode = RateCodeOf(RateHz);
    m_nPendingChannelValue = ChannelValue;
}

BOOLEAN CTappedDelayEffect::IsPendingValid() const
{
    return m_nPendingRateCode >= 0 && m_nPendingRateCode < DELAY_RATE_CODES &&
                   g_DelayProgrammes[m_nPendingRateCode] && m_nPendingChannelValue < TAPPED_DELAY_INPUTS
               ? TRUE
               : FALSE;
}

VOID CTappedDelayEffect::ApplyPending()
{
    if (!IsPendingValid())
    {
        m_nPendingRateCode = m_nActiveRateCode;
        m_nPendingChannelValue = m_nActiveChannelValue;
        return;
    }
    m_nActiveRateCode = m_nPendingRateCode;
    m_nActiveChannelValue = m_nPendingChannelValue;
    m_nRingLength = g_DelayRingSlots[m_nActiveRateCode];
    m_pRingBase = m_Ring;
    m_pRingPosition = m_Ring;
    ClearRing(m_nRingLength);
}

VOID CTappedDelayEffect::Clear()
{
    ApplyPending();
    ClearRing(m_nRingLength);
}

VOID CTappedDelayEffect::ClearRing(LONG Slots)
{
    RtlZeroMemory(m_Ring, SIZE_T(Slots) * sizeof(float));
}

// Offset k is the slot k places before the position, wrapping once at the ring's length.
float* CTappedDelayEffect::Slot(LONG Offset) const
{
    LONG index = LONG(m_pRingPosition - m_pRingBase) - Offset;
    if (index < 0)
    {
        index += m_nRingLength;
    }
    return m_pRingBase + index;
}

// Slots Offset .. Offset + Span as one stretch of memory when they do not cross the ring's
// start: Slot(Offset + j) is then Run(Offset, Span)[-j]. Null when they cross it.
const float* CTappedDelayEffect::Run(LONG Offset, LONG Span) const
{
    LONG index = LONG(m_pRingPosition - m_pRingBase) - Offset;
    if (index < 0)
    {
        index += m_nRingLength;
    }
    return index >= Span ? m_pRingBase + index : nullptr;
}

// Walks the active programme in its stored order and places each part in the ring: the delay
// lines' taps, then the input sections, the seven filters and the output filters.
BOOLEAN CTappedDelayEffect::BuildLayout(Layout* Out) const
{
    const float* p = g_DelayProgrammes[m_nActiveRateCode];
    const DelayRateShape* shape = ShapeOf(m_nActiveRateCode);
    if (!p || !shape)
    {
        return FALSE;
    }
    // The programme stores each line's delay; its tap count is the rate's.
    Out->TapsPerLine = shape->TapsPerLine;
    LONG offset = 0;
    for (LONG k = 0; k < DELAY_LINES; k++)
    {
        offset += LONG(*p++);
        Out->LineOffset[k] = offset + k * Out->TapsPerLine;
        Out->LineTaps[k] = p;
        p += Out->TapsPerLine;
    }
    offset += DELAY_LINES * Out->TapsPerLine;
    Out->SectionOffset = offset;
    offset += DELAY_LINES * DELAY_INPUT_SECTION_SLOTS;
    Out->InputMix = p;
    p += DELAY_INPUT_MIX_VALUES;
    Out->InputFilter = p;
    p += DELAY_INPUT_FILTER_VALUES;
    Out->DirectGains = p;
    p += DELAY_DIRECT_GAINS;
    Out->PairWeights = p;
    p += DELAY_PAIR_WEIGHTS;
    for (LONG k = 0; k < DELAY_FILTERS; k++)
    {
        Out->FilterCount[k] = LONG(*p++);
        Out->FilterTaps[k] = p;
        p += Out->FilterCount[k];
        Out->FilterOffset[k] = offset;
        offset += 2 * Out->FilterCount[k] + 1;
    }
    Out->OutputOffset = offset;
    Out->LeftWeights = p;
    p += DELAY_FILTERS;
    Out->RightWeights = p;
    p += DELAY_FILTERS;
    Out->LeftOutput = p;
    p += DELAY_OUTPUT_FILTER_VALUES;
    Out->RightOutput = p;
    p += DELAY_OUTPUT_FILTER_VALUES;
    // The first feedback value goes to the ring's last slot; each next one E_k slots further on.
    LONG feedback = m_nRingLength - 1;
    for (LONG k = 0; k < DELAY_LINES; k++)
    {
        Out->Feedback[k] = p;
        p += DELAY_LINES;
        Out->FeedbackOffset[k] = feedback;
        if (k + 1 < DELAY_LINES)
        {
            feedback = (feedback + LONG(*p++)) % m_nRingLength;
        }
    }
    return offset + DELAY_OUTPUT_SLOTS == m_nRingLength ? TRUE : FALSE;
}

VOID CTappedDelayEffect::Process(float* const* Inputs, float* const* Outputs, ULONG Frames)
{
    if (m_nPendingRateCode != m_nActiveRateCode || m_nPendingChannelValue != m_nActiveChannelValue)
    {
        ApplyPending();
    }
    Layout layout;
    if (!Inputs || !Outputs || !Outputs[0] || !Outputs[1] || !BuildLayout(&layout))
    {
        return;
    }
    float* const pRingEnd = m_pRingBase + m_nRingLength;
    for (ULONG i = 0; i < Frames; i++)
    {
        float right = 0.0f;
        const float left = ProcessSample(layout, Inputs, i, &right);
        Outputs[0][i] = left;
        Outputs[1][i] = right;
        if (++m_pRingPosition == pRingEnd)
        {
            m_pRingPosition = m_pRingBase;
        }
    }
    constexpr float kStep = 1.0f / 32768.0f;
    for (ULONG i = 0; i < Frames; i++)
    {
        Outputs[0][i] *= kStep;
        Outputs[1][i] *= kStep;
    }
}

// One sample of the network, every offset taken from the current position. Returns the left
// output (in 16-bit steps) and stores the right one.
float CTappedDelayEffect::ProcessSample(const Layout& L, float* const* Inputs, ULONG Index, float* Right)
{
    float g[DELAY_LINES];
    for (LONG k = 0; k < DELAY_LINES; k++)
    {
        float sum = 0.0f;
        const float* run = Run(L.LineOffset[k], L.TapsPerLine - 1);
        for (LONG j = 0; j < L.TapsPerLine; j++)
        {
            sum += L.LineTaps[k][j] * (run ? run[-j] : *Slot(L.LineOffset[k] + j));
        }
        g[k] = sum;
    }

    float a = 0.0f, b = 0.0f, ce = 0.0f, ls = 0.0f, rs = 0.0f, lb = 0.0f, rb = 0.0f;
    if (m_nActiveChannelValue == 5 || m_nActiveChannelValue == 7)
    {
        a = Inputs[0][Index] + Inputs[3][Index];
        b = Inputs[1][Index] + Inputs[3][Index];
        ce = Inputs[2][Index];
        ls = Inputs[4][Index];
        rs = Inputs[5][Index];
        if (m_nActiveChannelValue == 7)
        {
            lb = Inputs[6][Index];
            rb = Inputs[7][Index];
        }
    }
    const float* m = L.InputMix;
    const float x[DELAY_LINES] = {m[0] * b + m[1] * rs, m[2] * a + m[3] * ls, m[4] * lb + m[5] * ce,
                                  m[6] * rb + m[7] * ce};

    // Each input section's six slots: x, x', x'' (then y), y', y'' (then 0), and a zero.
    const float* f = L.InputFilter;
    float u[DELAY_LINES];
    for (LONG k = 0; k < DELAY_LINES; k++)
    {
        const LONG base = L.SectionOffset + k * DELAY_INPUT_SECTION_SLOTS;
        *Slot(base) = x[k];
        const float y = 2.0f * (f[0] * x[k] + f[1] * *Slot(base + 1) + f[2] * *Slot(base + 2) +
                                f[3] * *Slot(base + 3) + f[4] * *Slot(base + 4));
        *Slot(base + 2) = y;
        *Slot(base + 4) = 0.0f;
        u[k] = y + g[k];
    }

    const float* d = L.DirectGains;
    const float cc = d[0] * ce;
    const float e1 = d[1] * a + d[2] * g[3];
    const float e2 = d[3] * b + d[4] * g[0];
    const float lb2 = d[5] * lb;
    const float rb2 = d[6] * rb;
    const float e3 = d[7] * ls + d[8] * g[1];
    const float e4 = d[9] * rs + d[10] * g[2];

    const float* w = L.PairWeights;
    const float fin[DELAY_FILTERS] = {cc,
                                      w[0] * e1 + w[1] * e2,
                                      w[2] * e1 + w[3] * e2,
                                      w[4] * lb2 + w[5] * rb2,
                                      w[6] * lb2 + w[7] * rb2,
                                      w[8] * e3 + w[9] * e4,
                                      w[10] * e3 + w[11] * e4};
    // Only even lags: each filter's input 2, 4, ... 2n samples ago, all from earlier samples
    // and each filter in its own stretch of the ring, so the seven sums are independent. They
    // advance side by side, each still adding its terms from the first lag on, so every sum
    // has the bits it would have alone; a filter whose lags cross the ring's start finishes
    // through the wrapping lookup.
    const float* runs[DELAY_FILTERS];
    float h[DELAY_FILTERS];
    LONG together = L.FilterCount[0];
    for (LONG k = 0; k < DELAY_FILTERS; k++)
    {
        *Slot(L.FilterOffset[k]) = fin[k];
        runs[k] = Run(L.FilterOffset[k], 2 * L.FilterCount[k]);
        together = !runs[k] ? 0 : L.FilterCount[k] < together ? L.FilterCount[k] : together;
        h[k] = 0.0f;
    }
    for (LONG j = 1; j <= together; j++)
    {
        for (LONG k = 0; k < DELAY_FILTERS; k++)
        {
            h[k] += L.FilterTaps[k][j - 1] * runs[k][-2 * j];
        }
    }
    float zl = 0.0f, zr = 0.0f;
    for (LONG k = 0; k < DELAY_FILTERS; k++)
    {
        for (LONG j = together + 1; j <= L.FilterCount[k]; j++)
        {
            h[k] += L.FilterTaps[k][j - 1] * (runs[k] ? runs[k][-2 * j] : *Slot(L.FilterOffset[k] + 2 * j));
        }
        zl += L.LeftWeights[k] * h[k];
        zr += L.RightWeights[k] * h[k];
    }

    // Each output signal: its current value and the two before it; signal m's oldest value
    // sits where signal m + 1 is written next, so each is read before the next is stored.
    const float leftSignals[DELAY_OUTPUT_SIGNALS] = {zl, cc, e1, lb2, e3};
    const float rightSignals[DELAY_OUTPUT_SIGNALS] = {zr, cc, e2, rb2, e4};
    float outputs[2] = {};
    for (LONG side = 0; side < 2; side++)
    {
        const float* signals = side ? rightSignals : leftSignals;
        const float* taps = side ? L.RightOutput : L.LeftOutput;
        const LONG base = L.OutputOffset + side * (2 * DELAY_OUTPUT_SIGNALS);
        float y = 0.0f;
        for (LONG s = 0; s < DELAY_OUTPUT_SIGNALS; s++)
        {
            const LONG slot = base + 2 * s;
            y += taps[3 * s] * signals[s] + taps[3 * s + 1] * *Slot(slot + 1) +
                 taps[3 * s + 2] * *Slot(slot + 2);
            *Slot(slot) = signals[s];
        }
        outputs[side] = Quantise(y);
    }

    for (LONG k = 0; k < DELAY_LINES; k++)
    {
        const float* row = L.Feedback[k];
        *Slot(L.FeedbackOffset[k]) = row[0] * u[0] + row[1] * u[1] + row[2] * u[2] + row[3] * u[3];
    }
    *Right = outputs[1];
    return outputs[0];
}
