// Multi-rate polyphase FIR filter of the generic build ("FI03"): the input is up-sampled by U
// (x[i] at position U i + pu of a zero sequence), filtered, and every D-th sample kept from
// position pd, so output n = sum over i of taps[D n + pd - (U i + pu)] x[i]. Four steps (4U
// outputs, 4D inputs) form a period; the state's tables describe one period.
//
// Positions count from the start of the delay area: P history inputs, then the new ones.
// Layout A gives each group of four outputs one window of T inputs and four taps per input;
// layout B gives each output its own window of P inputs and its own P taps.
#include "driver/primitives/filters/sp_fir_internal.h"
#include "driver/primitives/vectors/sp_convert.h"

namespace
{

// Floor and ceiling of a / b for b > 0 and any a.
inline int64_t FloorDiv(int64_t a, int64_t b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}
inline int64_t CeilDiv(int64_t a, int64_t b)
{
    return -FloorDiv(-a, b);
}

struct Geometry
{
    int64_t History;  // P = ceil(L / U)
    int64_t Span;     // R = 3D + L rounded up to a multiple of U
    int64_t Rows;     // T = R / U
    int64_t Capacity; // K
    int64_t Head;     // H
    int32_t Mode;
    int64_t AdvanceBytes;
    int64_t ScratchBytes;
    int64_t Total; // the state size, alignment slack included
};

// The ratio is formed in single precision on purpose: the layout choice must not move.
bool TakesGroups(int64_t taps, int64_t up, int64_t down)
{
    const float ratio = float(taps) / float(3 * down + taps);
    return up == 1 ? ratio > 0.5f : double(ratio) > 0.3;
}

Geometry Measure(int64_t taps, int64_t up, int64_t down, bool groups)
{
    Geometry g;
    g.History = CeilDiv(taps, up);
    g.Span = CeilDiv(3 * down + taps, up) * up;
    g.Rows = g.Span / up;
    g.Capacity = (g.Rows / (4 * down) + 1) * 4 * down + 1;
    g.Head = CeilDiv(g.History, down) * up;
    while (g.Head % (4 * up) != 0)
    {
        g.Head += up;
        g.Capacity += down;
    }
    g.Mode = groups ? SpFirModeGroups : (up == 1 ? SpFirModeSingleTaps : SpFirModeOutputTaps);
    g.AdvanceBytes = SpFirRoundUp16(groups ? 4 * up + 4 : 16 * up + 4);
    g.ScratchBytes =
        4 * (groups ? (4 * g.Span > 4096 ? 4 * g.Span : 4096) : (8 * g.Span > 4096 ? 8 * g.Span : 4096));
    g.Total = SpFirRoundUp16(4 * taps) + 16 * g.Span + g.AdvanceBytes + g.ScratchBytes +
              SpFirRoundUp16(4 * (g.History + g.Capacity) + 4) + SpFirHeaderBytes + 16;
    return g;
}

inline float TapOrZero(const float* taps, int64_t count, int64_t t)
{
    return t >= 0 && t < count ? taps[t] : 0.0f;
}

// Layout A: group g of a period starts its window at input s_g = ceil((4gD + c - L + 1) / U),
// the first input that output 4g reaches (c = pd - pu). The advance table steps from group to
// group, and its last entry takes the period's wrap (4D inputs) into account.
void FillTablesA(SpFirMultiRate& m, const float* taps)
{
    const int64_t L = m.TapCount, U = m.UpFactor, D = m.DownFactor, P = m.HistoryLength, T = m.TapsPerRow;
    const int64_t c = int64_t(m.DownPhase) - m.UpPhase;
    int64_t previous = 0;
    for (int64_t g = 0; g < U; ++g)
    {
        const int64_t start = CeilDiv(4 * g * D + c - L + 1, U);
        m.AdvanceTable[g] = int32_t(g == 0 ? P + start : start - previous);
        previous = start;
        float* row = m.PhaseTaps + 4 * T * g;
        for (int64_t r = 0; r < T; ++r)
        {
            for (int64_t j = 0; j < 4; ++j)
            {
                row[4 * r + j] = TapOrZero(taps, L, D * (4 * g + j) + c - U * (start + r));
            }
        }
    }
    m.AdvanceTable[U] = int32_t(4 * D - previous - P);
}

// Layout B: output k of a period reads the P inputs up to the last one it reaches,
// floor((kD + c) / U); entry k is that window's start, entry 4U the period's advance.
void FillTablesB(SpFirMultiRate& m, const float* taps)
{
    const int64_t L = m.TapCount, U = m.UpFactor, D = m.DownFactor, P = m.HistoryLength;
    const int64_t c = int64_t(m.DownPhase) - m.UpPhase;
    for (int64_t k = 0; k < 4 * U; ++k)
    {
        const int64_t last = FloorDiv(k * D + c, U);
        m.AdvanceTable[k] = int32_t(last + 1);
        float* row = m.PhaseTaps + P * k;
        for (int64_t j = 0; j < P; ++j)
        {
            row[j] = TapOrZero(taps, L, k * D + c - U * (last - P + 1 + j));
        }
    }
    m.AdvanceTable[4 * U] = int32_t(4 * D);
}

// Where a window starting at `pos` reads from and how many valid inputs follow it. Windows that
// reach into the history read the delay area (which then holds the first new inputs); the others
// read the source directly.
struct Window
{
    const float* Base;
    int64_t Valid;
};

struct Inputs
{
    const float* Delay;
    const float* Src;
    int64_t History;
    int64_t DelayEnd; // end of the valid inputs in the delay area
    int64_t End;      // end of all valid inputs
    bool AllInDelay;
};

inline Window Locate(const Inputs& in, int64_t pos)
{
    if (in.AllInDelay || pos < in.History)
    {
        return {in.Delay + pos, in.DelayEnd - pos};
    }
    return {in.Src + (pos - in.History), in.End - pos};
}

// Outputs from the start of a period whose base position is `pos`.
void FilterGroups(const Inputs& in, float* dst, int64_t outputs, const SpFirMultiRate& m, int64_t pos)
{
    const int64_t U = m.UpFactor, T = m.TapsPerRow;
    int64_t group = 0;
    for (int64_t o = 0; o < outputs; o += 4)
    {
        pos += m.AdvanceTable[group];
        const Window w = Locate(in, pos);
        // Rows past the valid inputs carry zero taps for every output that is written.
        const int64_t rows = w.Valid < T ? w.Valid : T;
        const float* row = m.PhaseTaps + 4 * T * group;
        float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int64_t r = 0; r < rows; ++r)
        {
            const float x = w.Base[r];
            acc[0] += x * row[4 * r];
            acc[1] += x * row[4 * r + 1];
            acc[2] += x * row[4 * r + 2];
            acc[3] += x * row[4 * r + 3];
        }
        const int64_t lanes = outputs - o < 4 ? outputs - o : 4;
        for (int64_t j = 0; j < lanes; ++j)
        {
            dst[o + j] = acc[j];
        }
        if (++group == U)
        {
            group = 0;
            pos += m.AdvanceTable[U];
        }
    }
}

void FilterOutputTaps(const Inputs& in, float* dst, int64_t outputs, const SpFirMultiRate& m, int64_t base)
{
    const int64_t period = 4 * int64_t(m.UpFactor), P = m.HistoryLength;
    int64_t k = 0;
    for (int64_t o = 0; o < outputs; ++o)
    {
        const Window w = Locate(in, base + m.AdvanceTable[k]);
        const float* row = m.PhaseTaps + P * k;
        float acc = 0.0f;
        for (int64_t j = 0; j < P; ++j)
        {
            acc += w.Base[j] * row[j];
        }
        dst[o] = acc;
        if (++k == period)
        {
            k = 0;
            base += m.AdvanceTable[period];
        }
    }
}

void FilterGeneric(const Inputs& in, float* dst, int64_t outputs, const SpFirMultiRate& m, int64_t base)
{
    if (m.Mode == SpFirModeGroups)
    {
        FilterGroups(in, dst, outputs, m, base);
    }
    else
    {
        FilterOutputTaps(in, dst, outputs, m, base);
    }
}

// One period of the tables (4U outputs, 4D inputs) and the inputs it reads, relative to its
// base position: [Lo, Hi).
struct Period
{
    int64_t Outputs;
    int64_t Advance;
    int64_t Lo;
    int64_t Hi;
};

Period PeriodOf(const SpFirMultiRate& m)
{
    const int64_t U = m.UpFactor;
    Period p = {4 * U, 4 * int64_t(m.DownFactor), INT64_MAX, INT64_MIN};
    if (m.Mode == SpFirModeGroups)
    {
        int64_t start = 0;
        for (int64_t g = 0; g < U; ++g)
        {
            start += m.AdvanceTable[g];
            p.Lo = start < p.Lo ? start : p.Lo;
            p.Hi = start + m.TapsPerRow > p.Hi ? start + m.TapsPerRow : p.Hi;
        }
        return p;
    }
    for (int64_t k = 0; k < 4 * U; ++k)
    {
        const int64_t start = m.AdvanceTable[k];
        p.Lo = start < p.Lo ? start : p.Lo;
        p.Hi = start + m.HistoryLength > p.Hi ? start + m.HistoryLength : p.Hi;
    }
    return p;
}

// Which buffer holds every input of the period at `base` whole: 1 the delay area, 2 the source,
// 0 neither (the period straddles them or reaches past the valid inputs).
int32_t RegionOf(const Inputs& in, const Period& p, int64_t base)
{
    if (base + p.Lo >= 0 && base + p.Hi <= in.DelayEnd)
    {
        return 1;
    }
    if (!in.AllInDelay && base + p.Lo >= in.History && base + p.Hi <= in.End)
    {
        return 2;
    }
    return 0;
}

// The block kernels of each level, by layout.
struct MultiRateKernels
{
    int32_t (*Groups)(const float*, const float*, float*, int32_t, const int32_t*, const int32_t*, int32_t,
                      int32_t);
    int32_t (*SingleTaps)(const float*, const float*, float*, int32_t, int32_t, int32_t, int32_t);
    int32_t (*OutputTaps)(const float*, const float*, float*, int32_t, const int32_t*, const int32_t*,
                          int32_t, int32_t);
};

const MultiRateKernels kKernels[4] = {
    {nullptr, nullptr, nullptr},
    {SpFirMultiRateKernel1_L1, SpFirMultiRateKernel2_L1, SpFirMultiRateKernel3_L1},
    {SpFirMultiRateKernel1_L2, SpFirMultiRateKernel2_L2, SpFirMultiRateKernel3_L2},
    {SpFirMultiRateKernel1_L3, SpFirMultiRateKernel2_L3, SpFirMultiRateKernel3_L3},
};

// The level 1-3 filter: runs of whole periods that lie in one buffer go to the layout's block
// kernel of the state's level; a straddling period and the last part period take the generic
// sums.
void FilterLevels(int32_t level, const Inputs& in, float* dst, int64_t outputs, const SpFirMultiRate& m)
{
    const MultiRateKernels& k = kKernels[level];
    const Period p = PeriodOf(m);
    int64_t done = 0, base = 0;
    while (done + p.Outputs <= outputs)
    {
        const int32_t region = RegionOf(in, p, base);
        if (region == 0)
        {
            FilterGeneric(in, dst + done, p.Outputs, m, base);
            done += p.Outputs;
            base += p.Advance;
            continue;
        }
        int64_t n = 1;
        while (done + (n + 1) * p.Outputs <= outputs && RegionOf(in, p, base + n * p.Advance) == region)
        {
            ++n;
        }
        const float* input = region == 1 ? in.Delay : in.Src;
        const int32_t start = int32_t(region == 1 ? base : base - in.History);
        const int32_t count = int32_t(n * p.Outputs);
        const int32_t* index = m.AdvanceTable;
        if (m.Mode == SpFirModeGroups)
        {
            k.Groups(m.PhaseTaps, input, dst + done, count, index, index + m.UpFactor, start, m.TapsPerRow);
        }
        else if (m.Mode == SpFirModeSingleTaps)
        {
            k.SingleTaps(m.PhaseTaps, input, dst + done, count, start + index[0], m.HistoryLength,
                         m.DownFactor);
        }
        else
        {
            k.OutputTaps(m.PhaseTaps, input, dst + done, count, index, index + 4 * m.UpFactor, start,
                         m.HistoryLength);
        }
        done += n * p.Outputs;
        base += n * p.Advance;
    }
    if (done < outputs)
    {
        FilterGeneric(in, dst + done, outputs - done, m, base);
    }
}

bool IsFilterable(const SpFirMultiRate& m)
{
    const bool modeKnown =
        m.Mode == SpFirModeGroups || m.Mode == SpFirModeSingleTaps || m.Mode == SpFirModeOutputTaps;
    return modeKnown && m.UpFactor >= 1 && m.DownFactor >= 1 && m.HistoryLength >= 1 && m.TapsPerRow >= 1 &&
           m.Delay && m.AdvanceTable && m.PhaseTaps;
}

} // namespace

bool SpFirMultiRateTakesGroups(int32_t tapCount, int32_t upFactor, int32_t downFactor)
{
    return TakesGroups(tapCount, upFactor, downFactor);
}

SpStatus SpFirMultiRateSizeOf(bool groups, int32_t tapCount, int32_t upFactor, int32_t downFactor,
                              int32_t* pSize)
{
    const Geometry g = Measure(tapCount, upFactor, downFactor, groups);
    if (g.Total > INT32_MAX)
    {
        return SpErrFirLength; // a state this long cannot be described by a 32-bit size
    }
    *pSize = int32_t(g.Total);
    return SpOk;
}

SpStatus SpFirMultiRateSizeCalc(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize)
{
    return TakesGroups(tapCount, upFactor, downFactor)
               ? SpFirMultiRateStateSizeCalcA(tapCount, upFactor, downFactor, pSize)
               : SpFirMultiRateStateSizeCalcB(tapCount, upFactor, downFactor, pSize);
}

SpStatus SpFirMultiRateStateSizeCalcA(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize)
{
    return SpFirMultiRateSizeOf(true, tapCount, upFactor, downFactor, pSize);
}

SpStatus SpFirMultiRateStateSizeCalcB(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize)
{
    return SpFirMultiRateSizeOf(false, tapCount, upFactor, downFactor, pSize);
}

SpStatus SpFirMultiRateStateSizeCalcA_L2(int32_t tapCount, int32_t upFactor, int32_t downFactor,
                                         int32_t* pSize)
{
    return SpFirMultiRateSizeOf(true, tapCount, upFactor, downFactor, pSize);
}

SpStatus SpFirMultiRateStateSizeCalcB_L2(int32_t tapCount, int32_t upFactor, int32_t downFactor,
                                         int32_t* pSize)
{
    return SpFirMultiRateSizeOf(false, tapCount, upFactor, downFactor, pSize);
}

SpStatus SpFirMultiRateBuild(int32_t level, bool groups, SpFirState** ppState, const float* taps,
                             int32_t tapCount, int32_t upFactor, int32_t upPhase, int32_t downFactor,
                             int32_t downPhase, const float* delayLine, uint8_t* buffer)
{
    const Geometry g = Measure(tapCount, upFactor, downFactor, groups);
    if (g.Total > INT32_MAX)
    {
        return SpErrFirLength;
    }
    auto* state = reinterpret_cast<SpFirState*>(SpFirAlignUp16(buffer));
    *state = SpFirState{};
    state->Tag = SpFirTagMultiRate;
    state->Level = level;
    SpFirMultiRate& m = state->Multi;
    uint8_t* pos = reinterpret_cast<uint8_t*>(state) + SpFirHeaderBytes;
    m.RevTaps = reinterpret_cast<float*>(pos);
    pos += SpFirRoundUp16(4 * int64_t(tapCount));
    m.PhaseTaps = reinterpret_cast<float*>(pos);
    pos += 16 * g.Span;
    m.AdvanceTable = reinterpret_cast<int32_t*>(pos);
    pos += g.AdvanceBytes;
    m.Scratch = reinterpret_cast<float*>(pos);
    pos += g.ScratchBytes;
    m.Delay = reinterpret_cast<float*>(pos);
    m.TapCount = tapCount;
    m.UpFactor = upFactor;
    m.Capacity = int32_t(g.Capacity);
    m.DownFactor = downFactor;
    m.HeadCount = int32_t(g.Head);
    m.FftLength = -1;
    m.TapsPerRow = int32_t(g.Rows);
    m.Mode = g.Mode;
    m.HistoryLength = int32_t(g.History);
    m.UpPhase = upPhase;
    m.DownPhase = downPhase;
    for (int32_t j = 0; j < tapCount; ++j)
    {
        m.RevTaps[j] = taps[tapCount - 1 - j];
    }
    SpFirHelpersOf(level).Zero(m.Delay, int32_t(g.History + g.Capacity + 1));
    SpFirLoadHistory(m.Delay, m.HistoryLength, delayLine);
    if (g.Mode == SpFirModeGroups)
    {
        FillTablesA(m, taps);
    }
    else
    {
        FillTablesB(m, taps);
    }
    *ppState = state;
    return SpOk;
}

SpStatus SpFirMultiRateFilter(const float* src, float* dst, int32_t len, SpFirState* state)
{
    SpFirMultiRate& m = state->Multi;
    if (!IsFilterable(m))
    {
        return SpErrStateMismatch;
    }
    const int64_t P = m.HistoryLength;
    const int64_t inputs = int64_t(m.DownFactor) * len;
    const int64_t outputs = int64_t(m.UpFactor) * len;
    Inputs in;
    in.Delay = m.Delay;
    in.Src = src;
    in.History = P;
    in.End = P + inputs;
    in.AllInDelay = inputs <= m.Capacity;
    const int64_t appended = in.AllInDelay ? inputs : m.Capacity;
    in.DelayEnd = P + appended;
    for (int64_t i = 0; i < appended; ++i)
    {
        m.Delay[P + i] = src[i];
    }
    // The kernels count positions in 32 bits; longer calls take the generic sums.
    if (state->Level >= 1 && state->Level <= 3 && in.End < INT32_MAX)
    {
        FilterLevels(state->Level, in, dst, outputs, m);
    }
    else
    {
        FilterGeneric(in, dst, outputs, m, 0);
    }
    // The last P inputs are the next call's history.
    const float* last = in.AllInDelay ? m.Delay + inputs : src + inputs - P;
    SpFirMoveI32(state->Level, reinterpret_cast<const int32_t*>(last), reinterpret_cast<int32_t*>(m.Delay),
                 int32_t(P));
    m.HistoryOffset = 0;
    return SpOk;
}

SpStatus SpFirMultiRateStateSize_L0(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize)
{
    return SpFirMultiRateStateSizeAt(0, tapCount, upFactor, downFactor, pSize);
}

SpStatus SpFirMultiRateStateSizeAt(int32_t level, int32_t tapCount, int32_t upFactor, int32_t downFactor,
                                   int32_t* pSize)
{
    if (!pSize)
    {
        return SpErrNullPointer;
    }
    if (tapCount < 1)
    {
        return SpErrFirLength;
    }
    if (upFactor < 1 || downFactor < 1)
    {
        return SpErrFirRateFactor;
    }
    if (upFactor == 1 && downFactor == 1)
    {
        return SpFirStateSizeAt(level, tapCount, pSize);
    }
    const bool groups = TakesGroups(tapCount, upFactor, downFactor);
    if (level >= 2)
    {
        return groups ? SpFirMultiRateStateSizeCalcA_L2(tapCount, upFactor, downFactor, pSize)
                      : SpFirMultiRateStateSizeCalcB_L2(tapCount, upFactor, downFactor, pSize);
    }
    return groups ? SpFirMultiRateStateSizeCalcA(tapCount, upFactor, downFactor, pSize)
                  : SpFirMultiRateStateSizeCalcB(tapCount, upFactor, downFactor, pSize);
}

SpStatus SpFirMultiRateInit_L0(SpFirState** ppState, const float* taps, int32_t tapCount, int32_t upFactor,
                               int32_t upPhase, int32_t downFactor, int32_t downPhase, const float* delayLine,
                               uint8_t* buffer)
{
    return SpFirMultiRateInitAt(0, ppState, taps, tapCount, upFactor, upPhase, downFactor, downPhase,
                                delayLine, buffer);
}

SpStatus SpFirMultiRateInitAt(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                              int32_t upFactor, int32_t upPhase, int32_t downFactor, int32_t downPhase,
                              const float* delayLine, uint8_t* buffer)
{
    if (!ppState || !taps || !buffer)
    {
        return SpErrNullPointer;
    }
    if (tapCount < 1)
    {
        return SpErrFirLength;
    }
    if (upFactor < 1 || downFactor < 1)
    {
        return SpErrFirRateFactor;
    }
    if (upPhase < 0 || upPhase >= upFactor || downPhase < 0 || downPhase >= downFactor)
    {
        return SpErrFirRatePhase;
    }
    if (upFactor == 1 && downFactor == 1)
    {
        return SpFirInitAt(level, ppState, taps, tapCount, delayLine, buffer);
    }
    return SpFirMultiRateBuild(level, TakesGroups(tapCount, upFactor, downFactor), ppState, taps, tapCount,
                               upFactor, upPhase, downFactor, downPhase, delayLine, buffer);
}
