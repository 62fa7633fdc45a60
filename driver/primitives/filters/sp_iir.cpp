// Generic build of the IIR filters: state sizing and layout, the direct-form (transposed form II)
// and biquad-cascade recursions, and the entry stubs of their level-table rows.
#include "driver/primitives/filters/sp_iir.h"

#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_level_tables.h"

namespace
{

constexpr int32_t kBuildLevel = 0;

// The record, its alignment slack and room for the wider records of the other builds.
constexpr int64_t kRecordBytes = 112;

inline int64_t RoundUp16(int64_t n)
{
    return (n + 15) & ~int64_t(15);
}

inline uint8_t* AlignUp16(uint8_t* p)
{
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 15) & ~uintptr_t(15));
}

// Bytes of a direct-form state of `order`, or -1 when they do not fit a 32-bit count.
int64_t DirectStateBytes(int32_t order)
{
    int64_t n = order;
    int64_t bytes = kRecordBytes + RoundUp16(4 * (2 * n + 1)) + RoundUp16(4 * (n + 1));
    return bytes > INT32_MAX ? -1 : bytes;
}

// Lays out a direct-form state in `memory` and normalises the coefficients by a0. The record's
// address goes to *ppState before the coefficients are checked, so a failing build clears it.
SpStatus BuildDirectState(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine,
                          uint8_t* memory)
{
    uint8_t* base = AlignUp16(memory);
    auto* state = reinterpret_cast<SpIirState*>(base);
    *ppState = state;

    float* coeffs = reinterpret_cast<float*>(base + RoundUp16(sizeof(SpIirState)));
    float* delay = coeffs + RoundUp16(4 * (2 * int64_t(order) + 1)) / 4;
    state->Tag = SpIirTagDirect;
    state->Level = kBuildLevel;
    state->Taps = coeffs;
    state->Delay = delay;
    state->Count = order;
    state->OwnsMemory = 0;
    state->FfLanes = nullptr;
    state->FbLanes = nullptr;
    state->Sections = 0;
    state->Reserved = 0;
    state->OneSample = nullptr;
    state->Work = nullptr;
    state->SecondWork = nullptr;

    for (int32_t k = 0; k < order; ++k)
    {
        delay[k] = delayLine ? delayLine[k] : 0.0f;
    }
    delay[order] = 0.0f; // lets the last delay update read one word past the filter memory

    const float a0 = taps[order + 1];
    if (a0 == 0.0f)
    {
        *ppState = nullptr;
        return SpErrDivideByZero;
    }
    const float r = 1.0f / a0;
    for (int32_t k = 0; k <= order; ++k)
    {
        coeffs[k] = taps[k] * r;
    }
    for (int32_t k = 1; k <= order; ++k)
    {
        coeffs[order + k] = taps[order + 1 + k] * r;
    }
    return SpOk;
}

// Order 1, or the odd last sample of a higher order: one step of the transposed form.
inline float DirectStep(float x, const float* b, const float* a, float* d, int32_t n)
{
    const float y = b[0] * x + d[0];
    for (int32_t k = 0; k < n - 1; ++k)
    {
        d[k] = b[k + 1] * x - a[k + 1] * y + d[k + 1];
    }
    d[n - 1] = b[n] * x - a[n] * y;
    return y;
}

// The pair step of FilterDirect for a fixed order, with the coefficients and the delay line in
// locals: src and dst may alias the record's words as far as the compiler knows, so the
// general loop stores and reloads every delay word, which puts a store-forwarding wait on the
// recursion's critical path. The operations and their order are FilterDirect's, so the
// results are the same to the bit.
template <int32_t N>
void FilterDirectFixed(const float* src, float* dst, int32_t len, const SpIirState* state)
{
    const float* taps = state->Taps;
    float* delay = state->Delay;
    float b[N + 1];
    float a[N + 1];
    float d[N + 1];
#pragma GCC unroll 16
    for (int32_t k = 0; k <= N; ++k)
    {
        b[k] = taps[k];
        a[k] = k == 0 ? 0.0f : taps[N + k];
        d[k] = delay[k];
    }
    int32_t i = 0;
    for (; i + 1 < len; i += 2)
    {
        const float x0 = src[i];
        const float x1 = src[i + 1];
        const float y0 = b[0] * x0 + d[0];
        const float y1 = b[0] * x1 + ((b[1] * x0 - a[1] * y0) + d[1]);
#pragma GCC unroll 16
        for (int32_t k = 0; k < N - 1; ++k)
        {
            d[k] = (b[k + 1] * x1 - a[k + 1] * y1) + ((b[k + 2] * x0 - a[k + 2] * y0) + d[k + 2]);
        }
        d[N - 1] = b[N] * x1 - a[N] * y1;
        dst[i] = y0;
        dst[i + 1] = y1;
    }
#pragma GCC unroll 16
    for (int32_t k = 0; k < N; ++k)
    {
        delay[k] = d[k];
    }
    for (; i < len; ++i)
    {
        dst[i] = DirectStep(src[i], b, a, delay, N);
    }
}

// Transposed direct form II; orders above 1 advance two samples per step, each delay word
// taking both samples' contributions at once (d[n] is 0, so the loop may read it).
void FilterDirect(const float* src, float* dst, int32_t len, const SpIirState* state)
{
    switch (state->Count)
    {
    case 2:
        FilterDirectFixed<2>(src, dst, len, state);
        return;
    case 3:
        FilterDirectFixed<3>(src, dst, len, state);
        return;
    case 4:
        FilterDirectFixed<4>(src, dst, len, state);
        return;
    default:
        break;
    }

    const int32_t n = state->Count;
    const float* b = state->Taps;
    const float* a = state->Taps + n; // a[1] .. a[n]
    float* d = state->Delay;
    int32_t i = 0;
    if (n > 1)
    {
        for (; i + 1 < len; i += 2)
        {
            const float x0 = src[i];
            const float x1 = src[i + 1];
            const float y0 = b[0] * x0 + d[0];
            const float y1 = b[0] * x1 + ((b[1] * x0 - a[1] * y0) + d[1]);
            for (int32_t k = 0; k < n - 1; ++k)
            {
                d[k] = (b[k + 1] * x1 - a[k + 1] * y1) + ((b[k + 2] * x0 - a[k + 2] * y0) + d[k + 2]);
            }
            d[n - 1] = b[n] * x1 - a[n] * y1;
            dst[i] = y0;
            dst[i + 1] = y1;
        }
    }
    for (; i < len; ++i)
    {
        dst[i] = DirectStep(src[i], b, a, d, n);
    }
}

void FilterBiquads(const float* src, float* dst, int32_t len, const SpIirState* state)
{
    const int32_t sections = state->Count / 2;
    for (int32_t i = 0; i < len; ++i)
    {
        float x = src[i];
        const float* c = state->Taps;
        float* w = state->Delay;
        for (int32_t s = 0; s < sections; ++s, c += 5, w += 2)
        {
            const float y = c[0] * x + w[0];
            w[0] = c[1] * x + w[1] - c[3] * y;
            w[1] = c[2] * x - c[4] * y;
            x = y;
        }
        dst[i] = x;
    }
}

// A record this build can filter: a known tag, laid out by this build, with sane counts.
bool IsFilterableState(const SpIirState* state)
{
    if (state->Level != kBuildLevel || !state->Taps || !state->Delay)
    {
        return false;
    }
    if (state->Tag == SpIirTagDirect)
    {
        return state->Count >= 1;
    }
    // No sections is the identity filter.
    return state->Tag == SpIirTagBiquad && state->Count >= 0 && state->Count % 2 == 0;
}

SpStatus FilterChecked(const float* src, float* dst, int32_t len, SpIirState* state)
{
    if (len < 1)
    {
        return SpErrBadLength;
    }
    if (!IsFilterableState(state))
    {
        return SpErrStateMismatch;
    }
    if (state->Tag == SpIirTagDirect)
    {
        FilterDirect(src, dst, len, state);
    }
    else
    {
        FilterBiquads(src, dst, len, state);
    }
    return SpOk;
}

} // namespace

SpStatus SpIirStateSize_L0(int32_t order, int32_t* pSize)
{
    if (!pSize)
    {
        return SpErrNullPointer;
    }
    if (order < 1)
    {
        return SpErrIirOrder;
    }
    const int64_t bytes = DirectStateBytes(order);
    if (bytes < 0)
    {
        return SpErrIirOrder;
    }
    *pSize = int32_t(bytes);
    return SpOk;
}

SpStatus SpIirInit_L0(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine,
                      uint8_t* buffer)
{
    if (!taps || !ppState || !buffer)
    {
        if (ppState)
        {
            *ppState = nullptr;
        }
        return SpErrNullPointer;
    }
    if (order < 1 || DirectStateBytes(order) < 0)
    {
        *ppState = nullptr;
        return SpErrIirOrder;
    }
    return BuildDirectState(ppState, taps, order, delayLine, buffer);
}

SpStatus SpIirCreate_L0(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine)
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
    const int64_t bytes = order < 1 ? -1 : DirectStateBytes(order);
    if (bytes < 0)
    {
        return SpErrIirOrder;
    }
    auto* block = static_cast<uint8_t*>(SpAlignedMalloc(int32_t(bytes)));
    if (!block)
    {
        *ppState = nullptr;
        return SpErrNoMemory;
    }
    const SpStatus status = BuildDirectState(ppState, taps, order, delayLine, block);
    if (status != SpOk)
    {
        SpAlignedFree(block);
        *ppState = nullptr;
        return status;
    }
    (*ppState)->OwnsMemory = 1;
    return SpOk;
}

SpStatus SpIirFree_L0(SpIirState* state)
{
    if (!state)
    {
        return SpErrNullPointer;
    }
    if (state->Tag != SpIirTagDirect && state->Tag != SpIirTagBiquad)
    {
        return SpErrStateMismatch;
    }
    if (state->OwnsMemory == 1)
    {
        // A created state starts its block: the build rounds a 32-byte aligned block to itself.
        SpAlignedFree(state);
    }
    return SpOk;
}

SpStatus SpIirFilter_L0(const float* src, float* dst, int32_t len, SpIirState* state)
{
    if (!state || !src || !dst)
    {
        return SpErrNullPointer;
    }
    return FilterChecked(src, dst, len, state);
}

SpStatus SpIirFilterInPlace_L0(float* srcdst, int32_t len, SpIirState* state)
{
    if (!state || !srcdst)
    {
        return SpErrNullPointer;
    }
    return FilterChecked(srcdst, srcdst, len, state);
}

// ---- Entry stubs -------------------------------------------------------------------------

SpStatus SpIirStateSize(int32_t order, int32_t* pSize)
{
    return SpLevelEntry<decltype(&SpIirStateSize_L0)>(SpLevelTable1, SP_T1_IIR_STATE_SIZE)(order, pSize);
}

SpStatus SpIirInit(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine,
                   uint8_t* buffer)
{
    return SpLevelEntry<decltype(&SpIirInit_L0)>(SpLevelTable1, SP_T1_IIR_INIT)(ppState, taps, order,
                                                                                delayLine, buffer);
}

SpStatus SpIirCreate(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine)
{
    return SpLevelEntry<decltype(&SpIirCreate_L0)>(SpLevelTable2, SP_T2_IIR_CREATE)(ppState, taps, order,
                                                                                    delayLine);
}

SpStatus SpIirFree(SpIirState* state)
{
    return SpLevelEntry<decltype(&SpIirFree_L0)>(SpLevelTable2, SP_T2_IIR_FREE)(state);
}

SpStatus SpIirFilter(const float* src, float* dst, int32_t len, SpIirState* state)
{
    return SpLevelEntry<decltype(&SpIirFilter_L0)>(SpLevelTable2, SP_T2_IIR_FILTER)(src, dst, len, state);
}

SpStatus SpIirFilterInPlace(float* srcdst, int32_t len, SpIirState* state)
{
    return SpLevelEntry<decltype(&SpIirFilterInPlace_L0)>(SpLevelTable1,
                                                          SP_T1_IIR_FILTER_IN_PLACE)(srcdst, len, state);
}
