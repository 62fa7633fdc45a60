// Single-rate FIR filter of the generic build ("FI01"): state sizing and layout, the direct form
// for short blocks, overlap-save FFT convolution for long blocks of long filters, the one-sample
// filter, and the entries that dispatch on the state's tag.
#include <string.h>

#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_memory.h"
#include "driver/primitives/filters/sp_fir_internal.h"
#include "driver/primitives/dispatch/sp_level_builds.h"
#include "driver/primitives/fft/sp_fft_buffer_size.h"
#include "driver/primitives/fft/sp_fft_levels.h"
#include "driver/primitives/vectors/sp_convert.h"
#include "driver/primitives/vectors/sp_vector.h"
#include "driver/primitives/vectors/sp_vector_levels.h"

namespace
{

// Blocks of this many samples or fewer always run the direct form.
constexpr int32_t kDirectMaxBlock = SpFirFftMinBlock - 1;

// Header, gap and scratch of every single-rate state, without and with the alignment slack
// that a caller's buffer needs.
constexpr int64_t kFixedCreateBytes = SpFirHeaderBytes + 16 + SpFirScratchBytes;
constexpr int64_t kFixedInitBytes = kFixedCreateBytes + 16;

// The real-FFT operations a state of each level plans, builds and runs its FFT path with: a
// spec is read only by the transforms of the level that laid it out, so the state keeps to
// its own level's column from the size query to the packed product.
struct FirFftOps
{
    SpStatus (*GetSize)(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes, int32_t* pInitBytes,
                        int32_t* pWorkBytes);
    SpStatus (*Init)(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer,
                     uint8_t* initBuffer);
    SpStatus (*Create)(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);
    SpStatus (*GetBufferSize)(const SpFftSpec* spec, int32_t* pSize);
    SpStatus (*Fwd)(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer);
    SpStatus (*Inv)(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer);
    SpStatus (*MulPack)(const float* src, float* srcdst, int32_t len);
};

// Level 0's transforms are reached through the entries that follow the spec's level word.
const FirFftOps kFftOps[4] = {
    {SpFftRealGetSize_L0, SpFftRealInit_L0, SpFftRealCreate_L0, SpFftRealGetBufferSize, SpFftFwdRealToPack,
     SpFftInvPackToReal, SpMulPackInPlaceF32},
    {SpFftRealGetSize_L1, SpFftRealInit_L1, SpFftRealCreate_L1, SpFftRealGetBufferSize, SpFftFwdRealToPack_L1,
     SpFftInvPackToReal_L1, SpMulPackInPlaceF32_L1},
    {SpFftRealGetSize_L2, SpFftRealInit_L2, SpFftRealCreate_L2, SpFftRealGetBufferSize_L2,
     SpFftFwdRealToPack_L2, SpFftInvPackToReal_L2, SpMulPackInPlaceF32_L2},
    {SpFftRealGetSize_L3, SpFftRealInit_L3, SpFftRealCreate_L3, SpFftRealGetBufferSize_L2,
     SpFftFwdRealToPack_L3, SpFftInvPackToReal_L3, SpMulPackInPlaceF32_L3},
};

const FirFftOps& FftOpsOf(int32_t level)
{
    return kFftOps[level >= 0 && level <= 3 ? level : 0];
}

// The FFT a filter of `tapCount` taps uses, if any: order k + 1 for the smallest k >= 2 with
// 2^k above the tap count, so that 2L < F <= 4L.
struct FftPlan
{
    int32_t Order;  // 0: no FFT path
    int32_t Length; // F
    int64_t SpecBytes;
    int64_t InitBytes;
    int64_t WorkBytes;
};

FftPlan PlanFft(int32_t level, int32_t tapCount)
{
    FftPlan plan = {0, 0, 0, 0, 0};
    if (tapCount < SpFirFftMinTaps)
    {
        return plan;
    }
    int32_t k = 2;
    while (k < 31 && (int64_t(1) << k) <= tapCount)
    {
        ++k;
    }
    int32_t specBytes, initBytes, workBytes;
    if (k + 1 > SpFftMaxOrder ||
        FftOpsOf(level).GetSize(k + 1, SpFftDivInvByN, 0, &specBytes, &initBytes, &workBytes) != SpOk)
    {
        return plan;
    }
    plan.Order = k + 1;
    plan.Length = int32_t(1) << (k + 1);
    plan.SpecBytes = specBytes;
    plan.InitBytes = initBytes;
    plan.WorkBytes = workBytes;
    return plan;
}

int64_t TapAreasBytes(int32_t tapCount)
{
    return SpFirRoundUp16(4 * int64_t(tapCount)) + SpFirRoundUp16(12 * int64_t(tapCount) + 16);
}

int64_t InitStateBytes(int32_t level, int32_t tapCount, const FftPlan& plan)
{
    int64_t bytes = TapAreasBytes(tapCount) + SpFirTapQuadBytes(level, tapCount) + kFixedInitBytes;
    if (plan.Order > 0)
    {
        bytes +=
            plan.SpecBytes + plan.InitBytes + plan.WorkBytes + 2 * SpFirRoundUp16(4 * int64_t(plan.Length));
    }
    return bytes;
}

} // namespace

SpFirLevelHelpers SpFirHelpersOf(int32_t level)
{
    switch (level)
    {
    case 1:
        return {SpZeroF32_L1, SpCopyF32_L1, SpSetI32_L1};
    case 2:
        return {SpZeroF32_L2, SpCopyF32_L2, SpSetI32_L2};
    case 3:
        return {SpZeroF32_L3, SpCopyF32_L3, SpSetI32_L3};
    default:
        return {SpZeroF32_L0, SpCopyF32_L0, SpSetI32};
    }
}

namespace
{

// Header, reversed taps, delay area and history, and for levels 1-3 the tap quads; no FFT path
// yet. Returns the first byte after those areas.
uint8_t* LayOutSingleRate(int32_t level, SpFirState* state, const float* taps, int32_t tapCount,
                          const float* delayLine)
{
    uint8_t* pos = reinterpret_cast<uint8_t*>(state);
    *state = SpFirState{};
    state->Tag = SpFirTagSingleRate;
    state->Level = level;
    SpFirSingleRate& s = state->Single;
    pos += SpFirHeaderBytes;
    s.RevTaps = reinterpret_cast<float*>(pos);
    pos += SpFirRoundUp16(4 * int64_t(tapCount));
    s.Delay = reinterpret_cast<float*>(pos);
    pos += SpFirRoundUp16(12 * int64_t(tapCount) + 16) + 16;
    s.TapCount = tapCount;
    s.AppendLimit = ((tapCount + 3) & ~3) | 1;
    s.FftLength = -1;
    s.HistoryLength = tapCount;
    for (int32_t j = 0; j < tapCount; ++j)
    {
        s.RevTaps[j] = taps[tapCount - 1 - j];
    }
    const SpFirLevelHelpers helpers = SpFirHelpersOf(level);
    helpers.Zero(s.Delay, 3 * tapCount + 4);
    SpFirLoadHistory(s.Delay, tapCount, delayLine);
    if (level > 0)
    {
        // Every tap as one 16-byte vector of four copies; the group's unused rows stay zero.
        s.TapQuads = reinterpret_cast<float*>(pos);
        const int32_t quadFloats = int32_t(SpFirTapQuadBytes(level, tapCount) / 4);
        helpers.Zero(s.TapQuads, quadFloats);
        for (int32_t j = 0; j < tapCount; ++j)
        {
            uint32_t bits;
            memcpy(&bits, &taps[j], sizeof(bits));
            helpers.Set(int32_t(bits), reinterpret_cast<int32_t*>(s.TapQuads + 4 * int64_t(j)), 4);
        }
        pos += SpFirTapQuadBytes(level, tapCount);
    }
    return pos;
}

// The tap spectrum: the taps zero-padded to F and transformed forward by the state's level.
SpStatus ComputeTapSpectrum(int32_t level, SpFirSingleRate& s, const float* taps)
{
    const SpFirLevelHelpers helpers = SpFirHelpersOf(level);
    helpers.Copy(taps, s.TapSpectrum, s.TapCount);
    helpers.Zero(s.TapSpectrum + s.TapCount, s.FftLength - s.TapCount);
    return FftOpsOf(level).Fwd(s.TapSpectrum, s.TapSpectrum, s.FftSpec, s.FftWork);
}

// Tap spectrum, work buffer, block buffer and scratch from `pos` on.
void LayOutFftAreas(SpFirSingleRate& s, uint8_t* pos, int32_t fftLength, int64_t workBytes)
{
    s.FftLength = fftLength;
    s.TapSpectrum = reinterpret_cast<float*>(pos);
    pos += SpFirRoundUp16(4 * int64_t(fftLength));
    s.FftWork = workBytes > 0 ? pos : nullptr;
    s.FftWorkBytes = int32_t(workBytes);
    pos += workBytes;
    s.Block = reinterpret_cast<float*>(pos);
    pos += SpFirRoundUp16(4 * int64_t(fftLength));
    s.Scratch = reinterpret_cast<float*>(pos);
}

// Sums of four consecutive outputs at once, each in the order of the taps; y[i] reads x[i ..
// i + L).
void DirectOutputs(const float* rt, int32_t tapCount, const float* x, float* y, int64_t count)
{
    int64_t i = 0;
    for (; i + 4 <= count; i += 4)
    {
        float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
        const float* w = x + i;
        for (int32_t j = 0; j < tapCount; ++j)
        {
            const float t = rt[j];
            a0 += t * w[j];
            a1 += t * w[j + 1];
            a2 += t * w[j + 2];
            a3 += t * w[j + 3];
        }
        y[i] = a0;
        y[i + 1] = a1;
        y[i + 2] = a2;
        y[i + 3] = a3;
    }
    for (; i < count; ++i)
    {
        float a = 0.0f;
        for (int32_t j = 0; j < tapCount; ++j)
        {
            a += rt[j] * x[i + j];
        }
        y[i] = a;
    }
}

void CopyFloats(const float* src, float* dst, int64_t count)
{
    for (int64_t i = 0; i < count; ++i)
    {
        dst[i] = src[i];
    }
}

void ZeroFloats(float* dst, int64_t count)
{
    for (int64_t i = 0; i < count; ++i)
    {
        dst[i] = 0.0f;
    }
}

const SpFirDirectBlockFn kDirectBlock[4] = {nullptr, SpFirDirectBlockKernel_L1, SpFirDirectBlockKernel_L2,
                                            SpFirDirectBlockKernel_L3};

// The direct form of the state's level: the generic sums over the reversed taps, or the level's
// kernel over its tap quads (the same products, grouped as that kernel fixes).
void Direct(int32_t level, const SpFirSingleRate& s, const float* x, float* y, int64_t count)
{
    if (level == 0)
    {
        DirectOutputs(s.RevTaps, s.TapCount, x, y, count);
        return;
    }
    kDirectBlock[level](s.TapQuads, x, y, count, s.TapCount);
}

void FilterDirect(int32_t level, const float* src, float* dst, int32_t len, SpFirSingleRate& s)
{
    const int32_t taps = s.TapCount;
    float* w = s.Delay;
    if (len <= s.AppendLimit)
    {
        CopyFloats(src, w + taps, len);
        Direct(level, s, w + 1, dst, len);
        SpFirMoveI32(level, reinterpret_cast<const int32_t*>(w + len), reinterpret_cast<int32_t*>(w), taps);
        return;
    }
    // The first outputs straddle the history; the rest read the source directly.
    const int32_t head = (taps + 3) & ~3;
    CopyFloats(src, w + taps, s.AppendLimit);
    Direct(level, s, w + 1, dst, head);
    CopyFloats(src + len - taps, w, taps);
    Direct(level, s, src + head - taps + 1, dst + head, len - head);
}

// b holds F inputs; afterwards b[L-1 ..] holds the outputs of the inputs from b[L-1] on.
SpStatus ConvolveBlock(int32_t level, const float* in, SpFirSingleRate& s)
{
    const FirFftOps& fft = FftOpsOf(level);
    SpStatus status = fft.Fwd(in, s.Block, s.FftSpec, s.FftWork);
    if (status == SpOk)
    {
        status = fft.MulPack(s.TapSpectrum, s.Block, s.FftLength);
    }
    if (status == SpOk)
    {
        status = fft.Inv(s.Block, s.Block, s.FftSpec, s.FftWork);
    }
    return status;
}

// Overlap-save: each transform of F points yields S = F - (L - 1) new outputs.
SpStatus FilterFft(int32_t level, const float* src, float* dst, int32_t len, SpFirSingleRate& s)
{
    const int64_t taps = s.TapCount;
    const int64_t fftLen = s.FftLength;
    const int64_t step = fftLen - (taps - 1);
    float* b = s.Block;
    float* w = s.Delay;
    CopyFloats(w + 1, b, taps - 1);
    if (len <= step)
    {
        CopyFloats(src, b + taps - 1, len);
        CopyFloats(b + len - 1, w, taps);
        ZeroFloats(b + taps - 1 + len, fftLen - (taps - 1 + len));
        const SpStatus status = ConvolveBlock(level, b, s);
        if (status == SpOk)
        {
            CopyFloats(b + taps - 1, dst, len);
        }
        return status;
    }
    CopyFloats(src, b + taps - 1, step);
    SpStatus status = ConvolveBlock(level, b, s);
    if (status != SpOk)
    {
        return status;
    }
    CopyFloats(b + taps - 1, dst, step);
    CopyFloats(src + len - taps, w, taps);
    for (int64_t o = step; o < len; o += step)
    {
        const int64_t left = len - o;
        const float* in = src + o - taps + 1;
        if (left < fftLen)
        {
            const int64_t count = left + taps - 1 < fftLen ? left + taps - 1 : fftLen;
            CopyFloats(in, b, count);
            ZeroFloats(b + count, fftLen - count);
            in = b;
        }
        status = ConvolveBlock(level, in, s);
        if (status != SpOk)
        {
            return status;
        }
        CopyFloats(b + taps - 1, dst + o, left < step ? left : step);
    }
    return SpOk;
}

SpStatus FilterSingleRate(const float* src, float* dst, int32_t len, SpFirState* state)
{
    SpFirSingleRate& s = state->Single;
    if (s.TapCount < 1 || !s.RevTaps || !s.Delay || (state->Level > 0 && !s.TapQuads))
    {
        return SpErrStateMismatch;
    }
    s.HistoryOffset = 0;
    if (len > kDirectMaxBlock && s.FftLength > 0)
    {
        return FilterFft(state->Level, src, dst, len, s);
    }
    FilterDirect(state->Level, src, dst, len, s);
    return SpOk;
}

// 16-bit past samples, newest first, as the float history, oldest first.
void TakeSampleHistory(float* history, int32_t tapCount, const int16_t* samples)
{
    for (int32_t k = 0; k < tapCount; ++k)
    {
        history[tapCount - 1 - k] = float(samples[k]);
    }
}

} // namespace

void SpFirLoadHistory(float* history, int32_t count, const float* delayLine)
{
    for (int32_t k = 0; k < count; ++k)
    {
        history[count - 1 - k] = delayLine ? delayLine[k] : 0.0f;
    }
}

SpStatus SpFirMoveI32(int32_t level, const int32_t* src, int32_t* dst, int32_t len)
{
    switch (level)
    {
    case 1:
        return SpMoveI32_L1(src, dst, len);
    case 2:
        return SpMoveI32_L2(src, dst, len);
    case 3:
        return SpMoveI32_L3(src, dst, len);
    default:
        return SpMoveI32_L0(src, dst, len);
    }
}

SpStatus SpFirStateSize_L0(int32_t tapCount, int32_t* pSize)
{
    return SpFirStateSizeAt(0, tapCount, pSize);
}

SpStatus SpFirStateSizeAt(int32_t level, int32_t tapCount, int32_t* pSize)
{
    if (!pSize)
    {
        return SpErrNullPointer;
    }
    if (tapCount < 1)
    {
        return SpErrFirLength;
    }
    if (InitStateBytes(level, tapCount, PlanFft(level, tapCount)) > INT32_MAX)
    {
        return SpErrFirLength; // a state this long cannot be described by a 32-bit size
    }
    return SpFirStateSizeCalcAt(level, tapCount, pSize);
}

SpStatus SpFirStateSizeCalcAt(int32_t level, int32_t tapCount, int32_t* pSize)
{
    *pSize = int32_t(InitStateBytes(level, tapCount, PlanFft(level, tapCount)));
    return SpOk;
}

SpStatus SpFirInit_L0(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine,
                      uint8_t* buffer)
{
    return SpFirInitAt(0, ppState, taps, tapCount, delayLine, buffer);
}

// A refused init leaves the caller's pointer null, as a refused create does.
SpStatus SpFirInitAt(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                     const float* delayLine, uint8_t* buffer)
{
    if (!ppState)
    {
        return SpErrNullPointer;
    }
    *ppState = nullptr;
    if (!taps || !buffer)
    {
        return SpErrNullPointer;
    }
    int32_t size = 0;
    const SpStatus status = SpFirStateSizeAt(level, tapCount, &size);
    if (status != SpOk)
    {
        return status;
    }
    return SpFirStateBuildAt(level, ppState, taps, tapCount, delayLine, buffer, SpFirTagSingleRate);
}

// The single-rate builder of every level: the generic layout, plus the tap quads at levels 1-3,
// and for long filters the level's FFT spec, built in the caller's memory behind the areas.
SpStatus SpFirBuildSingleRate(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                              const float* delayLine, uint8_t* buffer)
{
    const FftPlan plan = PlanFft(level, tapCount);
    auto* state = reinterpret_cast<SpFirState*>(SpFirAlignUp16(buffer));
    uint8_t* pos = LayOutSingleRate(level, state, taps, tapCount, delayLine);
    state->Single.Scratch = reinterpret_cast<float*>(pos);
    if (plan.Order > 0)
    {
        SpFftSpec* spec = nullptr;
        uint8_t* init = pos + plan.SpecBytes;
        SpStatus status = FftOpsOf(level).Init(&spec, plan.Order, SpFftDivInvByN, 0, pos, init);
        if (status == SpOk)
        {
            SpFirSingleRate& s = state->Single;
            s.FftSpec = spec;
            LayOutFftAreas(s, init + plan.InitBytes, plan.Length, plan.WorkBytes);
            status = ComputeTapSpectrum(level, s, taps);
        }
        if (status != SpOk)
        {
            // The record is half built: the caller gets no state rather than one whose long
            // blocks would run an FFT that never took its taps.
            *ppState = nullptr;
            return status;
        }
    }
    *ppState = state;
    return SpOk;
}

SpStatus SpFirStateBuildAt(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                           const void* delayLine, uint8_t* buffer, uint32_t tag)
{
    // Any tag but the single-rate one's brings 16-bit samples: the state is laid out with a
    // silent history, which then takes them, newest first, as floats.
    const bool floats = tag == SpFirTagSingleRate;
    const SpStatus status = SpFirBuildSingleRate(
        level, ppState, taps, tapCount, floats ? static_cast<const float*>(delayLine) : nullptr, buffer);
    if (status == SpOk && !floats && delayLine)
    {
        TakeSampleHistory((*ppState)->Single.Delay, tapCount, static_cast<const int16_t*>(delayLine));
    }
    return status;
}

SpStatus SpFirCreate_L0(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine)
{
    return SpFirCreateAt(0, ppState, taps, tapCount, delayLine);
}

namespace
{

// The level's FFT spec for a long filter and the work-buffer bytes its transforms take; nothing
// is left allocated on failure. A refused spec allocation is reported as memory.
SpStatus CreateFft(int32_t level, const FftPlan& plan, SpFftSpec** pSpec, int32_t* pWorkBytes)
{
    *pSpec = nullptr;
    *pWorkBytes = 0;
    if (plan.Order == 0)
    {
        return SpOk;
    }
    const FirFftOps& fft = FftOpsOf(level);
    SpFftSpec* spec = nullptr;
    SpStatus status = fft.Create(&spec, plan.Order, SpFftDivInvByN, 0);
    if (status != SpOk)
    {
        return status == SpErrNoMemory ? SpErrNoMemory : SpErrNullPointer;
    }
    status = fft.GetBufferSize(spec, pWorkBytes);
    if (status != SpOk)
    {
        SpFftRealFree_L0(spec);
        *pWorkBytes = 0;
        return status;
    }
    *pSpec = spec;
    return SpOk;
}

} // namespace

// Every failure leaves the caller's pointer null and nothing allocated.
SpStatus SpFirCheckCreateArgs(SpFirState** ppState, const float* taps, int32_t tapCount)
{
    if (!ppState)
    {
        return SpErrNullPointer;
    }
    *ppState = nullptr;
    if (!taps)
    {
        return SpErrNullPointer;
    }
    return tapCount < 1 ? SpErrFirLength : SpOk;
}

SpStatus SpFirCreateAt(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                       const float* delayLine)
{
    const SpStatus status = SpFirCheckCreateArgs(ppState, taps, tapCount);
    return status != SpOk ? status
                          : SpFirCreateStateAt(level, ppState, taps, tapCount, delayLine, SpFirTagSingleRate);
}

// The state and its tap spectrum in one block, the FFT spec (64 taps or more) in its own; the
// delay line holds floats under the tag "FI01" and 16-bit samples under any other.
SpStatus SpFirCreateStateAt(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                            const void* delayLine, uint32_t tag)
{
    const FftPlan plan = PlanFft(level, tapCount);
    if (InitStateBytes(level, tapCount, plan) > INT32_MAX)
    {
        return SpErrFirLength;
    }
    SpFftSpec* spec = nullptr;
    int32_t workBytes = 0;
    SpStatus status = CreateFft(level, plan, &spec, &workBytes);
    if (status != SpOk)
    {
        return status;
    }
    const int64_t bytes = TapAreasBytes(tapCount) + SpFirTapQuadBytes(level, tapCount) +
                          2 * SpFirRoundUp16(4 * int64_t(plan.Length)) + workBytes + kFixedCreateBytes;
    auto* block = static_cast<uint8_t*>(SpAlignedMalloc(int32_t(bytes)));
    if (!block)
    {
        if (spec)
        {
            SpFftRealFree_L0(spec);
        }
        return SpErrNoMemory;
    }
    const bool floats = tag == SpFirTagSingleRate;
    auto* state = reinterpret_cast<SpFirState*>(block);
    uint8_t* pos = LayOutSingleRate(level, state, taps, tapCount,
                                    floats ? static_cast<const float*>(delayLine) : nullptr);
    SpFirSingleRate& s = state->Single;
    if (!floats && delayLine)
    {
        TakeSampleHistory(s.Delay, tapCount, static_cast<const int16_t*>(delayLine));
    }
    s.OwnsMemory = 1;
    s.Scratch = reinterpret_cast<float*>(pos);
    if (spec)
    {
        s.FftSpec = spec;
        LayOutFftAreas(s, pos, plan.Length, workBytes);
        status = ComputeTapSpectrum(level, s, taps);
        if (status != SpOk)
        {
            SpFftRealFree_L0(spec);
            SpAlignedFree(block);
            return status;
        }
    }
    *ppState = state;
    return SpOk;
}

SpStatus SpFirFree_L0(SpFirState* state)
{
    if (!state)
    {
        return SpErrNullPointer;
    }
    if (state->Tag != SpFirTagSingleRate && state->Tag != SpFirTagMultiRate)
    {
        return SpErrStateMismatch;
    }
    // Only single-rate states are ever created; multi-rate ones always live in caller memory.
    if (state->Tag == SpFirTagSingleRate && state->Single.OwnsMemory == 1)
    {
        if (state->Single.FftSpec)
        {
            SpFftRealFree_L0(state->Single.FftSpec);
        }
        SpAlignedFree(state);
    }
    return SpOk;
}

SpStatus SpFirFilter_L0(const float* src, float* dst, int32_t len, SpFirState* state)
{
    return SpFirFilterAt(0, src, dst, len, state);
}

SpStatus SpFirFilterAt(int32_t level, const float* src, float* dst, int32_t len, SpFirState* state)
{
    if (!state || !src || !dst)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    if (state->Level != level)
    {
        return SpErrStateMismatch;
    }
    if (state->Tag == SpFirTagSingleRate)
    {
        return FilterSingleRate(src, dst, len, state);
    }
    if (state->Tag == SpFirTagMultiRate)
    {
        return SpFirMultiRateFilter(src, dst, len, state);
    }
    return SpErrStateMismatch;
}

SpStatus SpFirCheckSampleArgs(const float* pOutput, const float* taps, int32_t tapCount,
                              const float* delayLine, const int32_t* pIndex)
{
    if (!pOutput || !taps)
    {
        return SpErrNullPointer;
    }
    if (tapCount < 1)
    {
        return SpErrFirLength;
    }
    if (!delayLine || !pIndex)
    {
        return SpErrNullPointer;
    }
    if (*pIndex < 0 || *pIndex >= tapCount)
    {
        return SpErrStateMismatch;
    }
    return SpOk;
}

// The doubled delay line keeps the last L inputs contiguous from the index on, oldest first.
SpStatus SpFirFilterSample_L0(float input, float* pOutput, const float* taps, int32_t tapCount,
                              float* delayLine, int32_t* pIndex)
{
    const SpStatus status = SpFirCheckSampleArgs(pOutput, taps, tapCount, delayLine, pIndex);
    if (status != SpOk)
    {
        return status;
    }
    // Single floats by byte copies: a caller's line may lie off its 4-byte alignment.
    int32_t index = *pIndex;
    memcpy(delayLine + index, &input, sizeof(input));
    memcpy(delayLine + index + tapCount, &input, sizeof(input));
    index = index + 1 == tapCount ? 0 : index + 1;
    *pIndex = index;
    double sum = 0.0;
    for (int32_t i = 0; i < tapCount; ++i)
    {
        float tap, sample;
        memcpy(&tap, taps + tapCount - 1 - i, sizeof(tap));
        memcpy(&sample, delayLine + index + i, sizeof(sample));
        sum += double(tap * sample);
    }
    const float output = float(sum);
    memcpy(pOutput, &output, sizeof(output));
    return SpOk;
}
