// The level 1-3 IIR states: sizing, layout and coefficient normalisation in caller memory or in
// one block from the library's allocator. The set-up is scalar, so one text serves every level;
// each level's named builders copy and clear with that level's own vector entries, and the level
// word they record keeps a state with the filter of the level that built it.
#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_level_builds.h"
#include "driver/primitives/filters/sp_iir_internal.h"

namespace
{

inline int64_t RoundUp16(int64_t n)
{
    return (n + 15) & ~int64_t(15);
}

typedef SpStatus (*CopyFn)(const float* src, float* dst, int32_t len);
typedef SpStatus (*ZeroFn)(float* dst, int32_t len);
typedef SpStatus (*NormalizeFn)(const float* taps, SpIirState* state);

// The helpers of one level: a state is laid out with its own level's copies.
struct LevelHelpers
{
    CopyFn Copy;
    ZeroFn Zero;
    NormalizeFn Normalize;
};

LevelHelpers HelpersOf(int32_t level)
{
    switch (level)
    {
    case 1:
        return {SpCopyF32_L1, SpZeroF32_L1, SpIirNormalizeTaps_L1};
    case 2:
        return {SpCopyF32_L2, SpZeroF32_L2, SpIirNormalizeTaps_L2};
    default:
        return {SpCopyF32_L3, SpZeroF32_L3, SpIirNormalizeTaps_L3};
    }
}

// The record and its areas in `memory`, and the delay line; the taps and lane tables are left to
// the normalisation. The record's address is stored before anything can fail.
SpIirState* LayOut(int32_t level, SpIirState** ppState, int32_t order, const float* delayLine,
                   uint8_t* memory, uint32_t tag)
{
    const int64_t n = order;
    auto* base = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(memory) + 15) & ~uintptr_t(15));
    auto* state = reinterpret_cast<SpIirState*>(base);
    *ppState = state;
    uint8_t* p = base + SpIirLevelRecordBytes;
    state->Taps = reinterpret_cast<float*>(p);
    p += RoundUp16(8 * n + 4);
    state->Delay = reinterpret_cast<float*>(p);
    p += RoundUp16(4 * n + 4);
    state->Tag = tag;
    state->Level = level;
    state->Count = order;
    state->Sections = 0;
    state->Reserved = 0;
    state->OwnsMemory = 0;
    state->OneSample = nullptr;
    const LevelHelpers helpers = HelpersOf(level);
    if (n >= 1)
    {
        if (delayLine)
        {
            helpers.Copy(delayLine, state->Delay, order);
        }
        else
        {
            helpers.Zero(state->Delay, order);
        }
    }
    state->Delay[n] = 0.0f;
    state->FfLanes = reinterpret_cast<float*>(p);
    p += 16 * n + 16;
    state->FbLanes = reinterpret_cast<float*>(p);
    p += 16 * n + 48;
    state->Work = reinterpret_cast<float*>(p);
    state->SecondWork = tag == SpIirTagDirect ? nullptr : state->Work + SpIirBlockChunk;
    return state;
}

// Divides every tap by a0 into the taps area and the feed-forward rows, and builds the feedback
// rows: lane j of row i extends lane j - 1 of the rows by one more step of the recursion, in
// single precision, pass by pass over all rows.
SpStatus Normalize(const float* taps, SpIirState* state)
{
    const int64_t n = state->Count;
    const float a0 = taps[n + 1];
    if (a0 == 0.0f)
    {
        return SpErrDivideByZero;
    }
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
    return SpOk;
}

SpStatus StateBuild(int32_t level, SpIirState** ppState, const float* taps, int32_t order,
                    const float* delayLine, uint8_t* memory, uint32_t tag)
{
    SpIirState* state = LayOut(level, ppState, order, delayLine, memory, tag);
    return HelpersOf(level).Normalize(taps, state);
}

// One block from the library's allocator, freed again when the build fails; the caller's
// pointer is null unless a whole state stands behind it.
SpStatus CreateState(int32_t level, SpIirState** ppState, const float* taps, int32_t order,
                     const float* delayLine, uint32_t tag)
{
    *ppState = nullptr;
    auto* block = static_cast<uint8_t*>(SpAlignedMalloc(int32_t(SpIirLevelStateBytes(order, tag))));
    if (!block)
    {
        return SpErrNoMemory;
    }
    const SpStatus status = StateBuild(level, ppState, taps, order, delayLine, block, tag);
    if (status != SpOk)
    {
        SpAlignedFree(block);
        *ppState = nullptr;
        return status;
    }
    (*ppState)->OwnsMemory = 1;
    return SpOk;
}

// The order checks every entry shares: below 1, or a state too large for a 32-bit count.
bool OrderFits(int32_t order)
{
    return order >= 1 && SpIirLevelStateBytes(order, SpIirTagDirect) <= INT32_MAX;
}

} // namespace

SpStatus SpIirStateSizeCalc_L1(int32_t order, int32_t* pSize, uint32_t tag)
{
    *pSize = int32_t(SpIirLevelStateBytes(order, tag));
    return SpOk;
}

SpStatus SpIirStateSizeCalc_L2(int32_t order, int32_t* pSize, uint32_t tag)
{
    *pSize = int32_t(SpIirLevelStateBytes(order, tag));
    return SpOk;
}

#define SP_IIR_DEFINE_LEVEL_BUILDERS(L, level)                                                               \
    SpStatus SpIirNormalizeTaps_##L(const float* taps, SpIirState* state)                                    \
    {                                                                                                        \
        return Normalize(taps, state);                                                                       \
    }                                                                                                        \
    SpStatus SpIirStateBuild_##L(SpIirState** ppState, const float* taps, int32_t order,                     \
                                 const float* delayLine, uint8_t* memory, uint32_t tag)                      \
    {                                                                                                        \
        return StateBuild(level, ppState, taps, order, delayLine, memory, tag);                              \
    }                                                                                                        \
    SpStatus SpIirCreateState_##L(SpIirState** ppState, const float* taps, int32_t order,                    \
                                  const float* delayLine, uint32_t tag)                                      \
    {                                                                                                        \
        return CreateState(level, ppState, taps, order, delayLine, tag);                                     \
    }

SP_IIR_DEFINE_LEVEL_BUILDERS(L1, 1)
SP_IIR_DEFINE_LEVEL_BUILDERS(L2, 2)
SP_IIR_DEFINE_LEVEL_BUILDERS(L3, 3)
#undef SP_IIR_DEFINE_LEVEL_BUILDERS

int64_t SpIirLevelStateBytes(int64_t order, uint32_t tag)
{
    const int64_t work = tag == SpIirTagDirect ? SpIirBlockChunk : 2 * SpIirBlockChunk;
    return 152 + RoundUp16(4 * order + 4) + RoundUp16(8 * order + 4) + 4 * (8 * order + 16 + work);
}

SpStatus SpIirStateSizeAt(int32_t level, int32_t order, int32_t* pSize)
{
    if (!pSize)
    {
        return SpErrNullPointer;
    }
    if (!OrderFits(order))
    {
        return SpErrIirOrder;
    }
    return level == 1 ? SpIirStateSizeCalc_L1(order, pSize, SpIirTagDirect)
                      : SpIirStateSizeCalc_L2(order, pSize, SpIirTagDirect);
}

// A failed build leaves the caller no pointer into a half-built record.
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
    const SpStatus status = StateBuild(level, ppState, taps, order, delayLine, buffer, SpIirTagDirect);
    if (status != SpOk)
    {
        *ppState = nullptr;
    }
    return status;
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
    return CreateState(level, ppState, taps, order, delayLine, SpIirTagDirect);
}
