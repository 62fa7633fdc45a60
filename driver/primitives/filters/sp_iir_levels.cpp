// The level 1-3 IIR states: sizing, layout and coefficient normalisation in caller memory or in
// one block from the library's allocator. The set-up is scalar, so one text serves every level;
// the level word it records keeps a state with the filter of the level that built it.
#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/filters/sp_iir_internal.h"

namespace
{

inline int64_t RoundUp16(int64_t n)
{
    return (n + 15) & ~int64_t(15);
}

// Lays the record out in `memory`, copies or clears the delay line and normalises the taps into
// the taps area and both lane tables. Fails only for a0 equal to zero, clearing *ppState.
SpStatus BuildState(int32_t level, SpIirState** ppState, const float* taps, int32_t order,
                    const float* delayLine, uint8_t* memory, uint32_t tag)
{
    const int64_t n = order;
    auto* base = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(memory) + 15) & ~uintptr_t(15));
    auto* state = reinterpret_cast<SpIirState*>(base);
    const float a0 = taps[n + 1];
    if (a0 == 0.0f)
    {
        *ppState = nullptr;
        return SpErrDivideByZero;
    }
    uint8_t* p = base + SpIirLevelRecordBytes;
    state->Tag = tag;
    state->Level = level;
    state->Taps = reinterpret_cast<float*>(p);
    p += RoundUp16(8 * n + 4);
    state->Delay = reinterpret_cast<float*>(p);
    p += RoundUp16(4 * n + 4);
    state->FfLanes = reinterpret_cast<float*>(p);
    p += 16 * n + 16;
    state->FbLanes = reinterpret_cast<float*>(p);
    p += 16 * n + 48;
    state->Work = reinterpret_cast<float*>(p);
    state->SecondWork = tag == SpIirTagDirect ? nullptr : state->Work + SpIirBlockChunk;
    state->Count = order;
    state->Sections = 0;
    state->Reserved = 0;
    state->OneSample = nullptr;
    state->OwnsMemory = 0;

    for (int64_t k = 0; k < n; ++k)
    {
        state->Delay[k] = delayLine ? delayLine[k] : 0.0f;
    }
    state->Delay[n] = 0.0f;

    const float r = 1.0f / a0;
    float* c = state->Taps;
    float* ff = state->FfLanes;
    for (int64_t k = 0; k <= n; ++k)
    {
        c[k] = taps[k] * r;
        ff[4 * k] = ff[4 * k + 1] = ff[4 * k + 2] = ff[4 * k + 3] = taps[k] * r;
    }
    for (int64_t k = 1; k <= n; ++k)
    {
        c[n + k] = taps[n + 1 + k] * r;
    }

    // The feedback rows in single precision, lane by lane: lane j of row i extends lane j - 1 of
    // the rows by one more step of the recursion.
    float* fb = state->FbLanes;
    const float negR = 0.0f - r;
    for (int64_t i = 0; i < n; ++i)
    {
        fb[4 * i] = taps[n + 2 + i] * negR;
    }
    const float d1 = fb[0];
    const float d2 = n >= 2 ? fb[4] : 0.0f;
    const float d3 = n >= 3 ? fb[8] : 0.0f;
    for (int64_t i = 0; i < n; ++i)
    {
        fb[4 * i + 1] = d1 * fb[4 * i];
    }
    for (int64_t i = 0; i + 1 < n; ++i)
    {
        fb[4 * i + 1] += fb[4 * (i + 1)];
    }
    for (int64_t i = 0; i < n; ++i)
    {
        fb[4 * i + 2] = fb[4 * i + 1] * d1 + d2 * fb[4 * i];
    }
    for (int64_t i = 0; i + 2 < n; ++i)
    {
        fb[4 * i + 2] += fb[4 * (i + 2)];
    }
    for (int64_t i = 0; i < n; ++i)
    {
        fb[4 * i + 3] = (fb[4 * i + 2] * d1 + d2 * fb[4 * i + 1]) + d3 * fb[4 * i];
    }
    for (int64_t i = 0; i + 3 < n; ++i)
    {
        fb[4 * i + 3] += fb[4 * (i + 3)];
    }
    const float h1 = fb[0], h2 = fb[1], h3 = fb[2];
    float* w = fb + 4 * n;
    const float rows[12] = {1.0f, h1, h2, h3, 0.0f, 1.0f, h1, h2, 0.0f, 0.0f, 1.0f, h1};
    for (int k = 0; k < 12; ++k)
    {
        w[k] = rows[k];
    }
    *ppState = state;
    return SpOk;
}

// The order checks every entry shares: below 1, or a state too large for a 32-bit count.
bool OrderFits(int32_t order)
{
    return order >= 1 && SpIirLevelStateBytes(order, SpIirTagDirect) <= INT32_MAX;
}

} // namespace

int64_t SpIirLevelStateBytes(int64_t order, uint32_t tag)
{
    const int64_t work = tag == SpIirTagDirect ? SpIirBlockChunk : 2 * SpIirBlockChunk;
    return 152 + RoundUp16(4 * order + 4) + RoundUp16(8 * order + 4) + 4 * (8 * order + 16 + work);
}

SpStatus SpIirStateSizeAt(int32_t, int32_t order, int32_t* pSize)
{
    if (!pSize)
    {
        return SpErrNullPointer;
    }
    if (!OrderFits(order))
    {
        return SpErrIirOrder;
    }
    *pSize = int32_t(SpIirLevelStateBytes(order, SpIirTagDirect));
    return SpOk;
}

SpStatus SpIirInitAt(int32_t level, SpIirState** ppState, const float* taps, int32_t order,
                     const float* delayLine, uint8_t* buffer)
{
    if (!taps || !ppState || !buffer)
    {
        if (ppState)
        {
            *ppState = nullptr;
        }
        return SpErrNullPointer;
    }
    if (!OrderFits(order))
    {
        *ppState = nullptr;
        return SpErrIirOrder;
    }
    return BuildState(level, ppState, taps, order, delayLine, buffer, SpIirTagDirect);
}

SpStatus SpIirCreateAt(int32_t level, SpIirState** ppState, const float* taps, int32_t order,
                       const float* delayLine)
{
    if (!taps || !ppState)
    {
        if (ppState)
        {
            *ppState = nullptr;
        }
        return SpErrNullPointer;
    }
    *ppState = nullptr;
    if (!OrderFits(order))
    {
        return SpErrIirOrder;
    }
    auto* block =
        static_cast<uint8_t*>(SpAlignedMalloc(int32_t(SpIirLevelStateBytes(order, SpIirTagDirect))));
    if (!block)
    {
        return SpErrNoMemory;
    }
    const SpStatus status = BuildState(level, ppState, taps, order, delayLine, block, SpIirTagDirect);
    if (status != SpOk)
    {
        SpAlignedFree(block);
        return status;
    }
    (*ppState)->OwnsMemory = 1;
    return SpOk;
}
