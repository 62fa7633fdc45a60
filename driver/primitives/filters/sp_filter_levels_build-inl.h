// The filter rows of one level build, included once by the level body with SP_LN and the
// level's kernel templates in scope: the FIR and IIR entries, the named builders and the
// kernels beneath them. Every name here is a thin shell over the shared template or builder.
#include "driver/primitives/vectors/sp_vector_levels.h"

// The FIR rows: the shared state builders and filter with this level's layout (tap quads after
// the delay area), level word and direct kernel; a state of another level is refused.
void SP_LN(SpFirDirectBlockKernel)(const float* tapQuads, const float* window, float* dst, int64_t count,
                                   int32_t tapCount)
{
    Fir::DirectBlock(tapQuads, window, dst, count, tapCount);
}

SpStatus SP_LN(SpFirStateSize)(int32_t tapCount, int32_t* pSize)
{
    return SpFirStateSizeAt(kLevel, tapCount, pSize);
}

SpStatus SP_LN(SpFirInit)(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine,
                          uint8_t* buffer)
{
    return SpFirInitAt(kLevel, ppState, taps, tapCount, delayLine, buffer);
}

SpStatus SP_LN(SpFirMultiRateStateSize)(int32_t tapCount, int32_t upFactor, int32_t downFactor,
                                        int32_t* pSize)
{
    return SpFirMultiRateStateSizeAt(kLevel, tapCount, upFactor, downFactor, pSize);
}

SpStatus SP_LN(SpFirMultiRateInit)(SpFirState** ppState, const float* taps, int32_t tapCount,
                                   int32_t upFactor, int32_t upPhase, int32_t downFactor, int32_t downPhase,
                                   const float* delayLine, uint8_t* buffer)
{
    return SpFirMultiRateInitAt(kLevel, ppState, taps, tapCount, upFactor, upPhase, downFactor, downPhase,
                                delayLine, buffer);
}

SpStatus SP_LN(SpFirStateBuild)(SpFirState** ppState, const float* taps, int32_t tapCount,
                                const void* delayLine, uint8_t* buffer, uint32_t tag)
{
    return SpFirStateBuildAt(kLevel, ppState, taps, tapCount, delayLine, buffer, tag);
}

int32_t SP_LN(SpFirMultiRateKernel1)(const float* taps, const float* input, float* dst, int32_t count,
                                     const int32_t* index, const int32_t* indexEnd, int32_t start, int32_t t)
{
    return Fir::MultiRate1(taps, input, dst, count, index, indexEnd, start, t);
}

int32_t SP_LN(SpFirMultiRateKernel2)(const float* taps, const float* input, float* dst, int32_t count,
                                     int32_t start, int32_t t, int32_t s)
{
    return Fir::MultiRate2(taps, input, dst, count, start, t, s);
}

int32_t SP_LN(SpFirMultiRateKernel3)(const float* taps, const float* input, float* dst, int32_t count,
                                     const int32_t* index, const int32_t* indexEnd, int32_t start, int32_t t)
{
    return Fir::MultiRate3(taps, input, dst, count, index, indexEnd, start, t);
}

SpStatus SP_LN(SpFirStateSizeCalc)(int32_t tapCount, int32_t* pSize)
{
    return SpFirStateSizeCalcAt(kLevel, tapCount, pSize);
}

SpStatus SP_LN(SpFirMultiRateStateBuildA)(SpFirState** ppState, const float* taps, int32_t tapCount,
                                          int32_t upFactor, int32_t upPhase, int32_t downFactor,
                                          int32_t downPhase, const float* delayLine, uint8_t* buffer)
{
    return SpFirMultiRateBuild(kLevel, true, ppState, taps, tapCount, upFactor, upPhase, downFactor,
                               downPhase, delayLine, buffer);
}

SpStatus SP_LN(SpFirMultiRateStateBuildB)(SpFirState** ppState, const float* taps, int32_t tapCount,
                                          int32_t upFactor, int32_t upPhase, int32_t downFactor,
                                          int32_t downPhase, const float* delayLine, uint8_t* buffer)
{
    return SpFirMultiRateBuild(kLevel, false, ppState, taps, tapCount, upFactor, upPhase, downFactor,
                               downPhase, delayLine, buffer);
}

SpStatus SP_LN(SpFirCreate)(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine)
{
    return SpFirCreateAt(kLevel, ppState, taps, tapCount, delayLine);
}

SpStatus SP_LN(SpFirFilter)(const float* src, float* dst, int32_t len, SpFirState* state)
{
    return SpFirFilterAt(kLevel, src, dst, len, state);
}

// The IIR rows: the shared level state builders with this level's word, and this level's
// filter; a state of another level is refused.
SpStatus SP_LN(SpIirStateSize)(int32_t order, int32_t* pSize)
{
    return SpIirStateSizeAt(kLevel, order, pSize);
}

SpStatus SP_LN(SpIirInit)(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine,
                          uint8_t* buffer)
{
    return SpIirInitAt(kLevel, ppState, taps, order, delayLine, buffer);
}

SpStatus SP_LN(SpIirCreate)(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine)
{
    return SpIirCreateAt(kLevel, ppState, taps, order, delayLine);
}

SpStatus SP_LN(SpIirFilter)(const float* src, float* dst, int32_t len, SpIirState* state)
{
    return Iir::Filter(src, dst, len, state, SP_LN(SpMulConstF32));
}

SpStatus SP_LN(SpIirFilterInPlace)(float* srcdst, int32_t len, SpIirState* state)
{
    if (!state || !srcdst)
    {
        return SpErrNullPointer;
    }
    return Iir::Filter(srcdst, srcdst, len, state, SP_LN(SpMulConstF32));
}

// The IIR kernels under the names the level filter is built from.
void SP_LN(SpIirDirectOneKernel)(const float* x, float* y, SpIirState* state)
{
    Iir::DirectOne(x, y, state);
}

void SP_LN(SpIirBiquadOneKernel)(const float* x, float* y, SpIirState* state)
{
    Iir::BiquadOne(x, y, state);
}

void SP_LN(SpIirDirectBlockFeedForward)(const float* src, float* work, int64_t len, const float* ffLanes,
                                        int32_t order)
{
    Iir::FeedForward(Iir::FloatSource{src}, work, len, ffLanes, order);
}

void SP_LN(SpIirDirectBlockFeedback)(const float* work, float* out, int64_t len, const float* fbLanes,
                                     int32_t order)
{
    Iir::Feedback(work, out, len, fbLanes, order, Iir::NoSink{});
}

void SP_LN(SpIirBiquadBlockFeedForward)(const float* src, float* work, int64_t len, const float* ffLanes)
{
    Iir::BiquadFeedForwardAny(Iir::FloatSource{src}, work, len, ffLanes);
}

void SP_LN(SpIirBiquadBlockFeedback)(const float* work, float* out, int64_t len, const float* fbLanes)
{
    Iir::Feedback(work, out, len, fbLanes, 2, Iir::NoSink{});
}

void SP_LN(SpIirDirectBlockFeedForwardI16)(const int16_t* src, float* work, int64_t len, const float* ffLanes,
                                           int32_t order)
{
    Iir::FeedForward(Iir::I16Source{src}, work, len, ffLanes, order);
}

void SP_LN(SpIirDirectBlockFeedbackI16)(const float* work, float* out, int64_t len, const float* fbLanes,
                                        int32_t order, int16_t* dst, int32_t scale)
{
    Iir::Feedback(work, out, len, fbLanes, order, Iir::I16Sink{dst, Iir::I16Sink::ScaleOf(scale)});
}

void SP_LN(SpIirBiquadBlockFeedForwardI16)(const int16_t* src, float* work, int64_t len, const float* ffLanes)
{
    Iir::FeedForward(Iir::I16Source{src}, work, len, ffLanes, 2);
}

void SP_LN(SpIirBiquadBlockFeedbackI16)(const float* work, float* out, int64_t len, const float* fbLanes,
                                        int16_t* dst, int32_t scale)
{
    Iir::Feedback(work, out, len, fbLanes, 2, Iir::I16Sink{dst, Iir::I16Sink::ScaleOf(scale)}, false);
}

void SP_LN(SpIirDirectBlockFeedForwardComplexF32)(const float* src, float* work, int64_t len,
                                                  const float* ffLanes, int32_t order)
{
    Iir::ComplexFeedForward(Iir::ComplexF32Source{src}, work, len, ffLanes, order);
}

void SP_LN(SpIirDirectBlockFeedbackComplexF32)(const float* work, float* out, int64_t len,
                                               const float* fbLanes, int32_t order)
{
    Iir::ComplexFeedback(work, out, len, fbLanes, order, Iir::ComplexNoSink{});
}

void SP_LN(SpIirDirectBlockFeedForwardComplexI16)(const int16_t* src, float* work, int64_t len,
                                                  const float* ffLanes, int32_t order)
{
    Iir::ComplexFeedForward(Iir::ComplexI16Source{src}, work, len, ffLanes, order);
}

void SP_LN(SpIirDirectBlockFeedbackComplexI16)(const float* work, float* out, int64_t len,
                                               const float* fbLanes, int32_t order, int16_t* dst,
                                               int32_t scale)
{
    Iir::ComplexFeedback(work, out, len, fbLanes, order,
                         Iir::ComplexI16Sink{dst, Iir::I16Sink::ScaleOf(scale)}, false);
}
