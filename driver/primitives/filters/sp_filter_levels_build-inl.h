// The filter rows of one level build, included once by the level body with SP_LN and the
// level's kernel templates in scope: the FIR and IIR entries, the named builders and the
// kernels beneath them. Every name here is a thin shell over the shared template or builder.
#include "driver/primitives/filters/sp_fir_complex-inl.h"
#include "driver/primitives/filters/sp_fir_sample-inl.h"
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

SpStatus SP_LN(SpFirCreateState)(SpFirState** ppState, const float* taps, int32_t tapCount,
                                 const void* delayLine, uint32_t tag)
{
    return SpFirCreateStateAt(kLevel, ppState, taps, tapCount, delayLine, tag);
}

SpStatus SP_LN(SpFirCreate)(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine)
{
    const SpStatus status = SpFirCheckCreateArgs(ppState, taps, tapCount);
    return status != SpOk ? status
                          : SP_LN(SpFirCreateState)(ppState, taps, tapCount, delayLine, SpFirTagSingleRate);
}

SpStatus SP_LN(SpFirFilter)(const float* src, float* dst, int32_t len, SpFirState* state)
{
    return SpFirFilterAt(kLevel, src, dst, len, state);
}

// The complex FIR block kernels.
void SP_LN(SP_FIR_COMPLEX_DIRECT)(const float* taps, const float* window, float* dst, int64_t count,
                                  int32_t tapCount)
{
    SpFirComplexKernels<SP_LEVEL_PARAMS>::Direct(taps, window, dst, count, tapCount);
}

int64_t SP_LN(SP_FIR_COMPLEX_MULTI_RATE)(const float* taps, const float* window, float* dst, int64_t count,
                                         const int32_t* index, int32_t upFactor, int32_t start,
                                         int32_t windowLength, int32_t rowLength)
{
    return SpFirComplexKernels<SP_LEVEL_PARAMS>::MultiRate(taps, window, dst, count, index, upFactor, start,
                                                           windowLength, rowLength);
}

// The one-sample FIR row: the generic build's checks, then this level's kernel on a copy of the
// input.
void SP_LN(SpFirFilterSampleKernel)(const float* input, float* output, const float* taps, int64_t tapCount,
                                    float* delayLine, int32_t* pIndex)
{
    SpFirSampleKernels<SP_LEVEL_PARAMS>::Sample(input, output, taps, tapCount, delayLine, pIndex);
}

void SP_LN(SpFirFilterSampleKernelComplexF32)(const float* input, float* output, const float* taps,
                                              int64_t tapCount, float* delayLine, int32_t* pIndex)
{
    SpFirSampleKernels<SP_LEVEL_PARAMS>::SampleComplex(input, output, taps, tapCount, delayLine, pIndex);
}

SpStatus SP_LN(SpFirFilterSample)(float input, float* pOutput, const float* taps, int32_t tapCount,
                                  float* delayLine, int32_t* pIndex)
{
    const SpStatus status = SpFirCheckSampleArgs(pOutput, taps, tapCount, delayLine, pIndex);
    if (status == SpOk)
    {
        const float copy = input;
        SP_LN(SpFirFilterSampleKernel)(&copy, pOutput, taps, tapCount, delayLine, pIndex);
    }
    return status;
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

// The one-sample steps for other data: each member widens its input exactly, runs the shared
// step of its tap type and stores the result (rounded once to float, or scaled and saturated).
#include "driver/primitives/filters/sp_iir_sample-inl.h"

namespace
{
using IirSample = SpIirSampleKernels<SP_LEVEL_PARAMS>;

inline IirSample::C32 LoadC32(const float* x)
{
    return {x[0], x[1]};
}

inline void StoreC32(IirSample::C32 v, float* y)
{
    y[0] = v.re;
    y[1] = v.im;
}

inline __m128d WidenC32(const float* x)
{
    return _mm_set_pd(double(x[1]), double(x[0]));
}

inline void StoreNarrowC64(__m128d v, float* y)
{
    const __m128 f = _mm_cvtpd_ps(v);
    _mm_storel_pi(reinterpret_cast<__m64*>(y), f);
}

template <class T> inline void StorePair(__m128d v, T* y, double factor)
{
    alignas(16) double d[2];
    _mm_store_pd(d, v);
    if constexpr (sizeof(T) == 2)
    {
        y[0] = IirSample::To16(d[0], factor);
        y[1] = IirSample::To16(d[1], factor);
    }
    else
    {
        y[0] = IirSample::To32(d[0], factor);
        y[1] = IirSample::To32(d[1], factor);
    }
}
} // namespace

void SP_LN(SpIirDirectOneKernelComplexF32)(const float* x, float* y, SpIirState* state)
{
    StoreC32(IirSample::DirectC32(LoadC32(x), state), y);
}

void SP_LN(SpIirBiquadOneKernelComplexF32)(const float* x, float* y, SpIirState* state)
{
    StoreC32(IirSample::BiquadC32(LoadC32(x), state), y);
}

void SP_LN(SpIirDirectOneKernelF64)(const double* x, double* y, SpIirState* state)
{
    *y = IirSample::DirectF64(*x, state);
}

void SP_LN(SpIirBiquadOneKernelF64)(const double* x, double* y, SpIirState* state)
{
    *y = IirSample::BiquadF64(*x, state);
}

void SP_LN(SpIirDirectOneKernelF64F32)(const float* x, float* y, SpIirState* state)
{
    *y = float(IirSample::DirectF64(double(*x), state));
}

void SP_LN(SpIirDirectOneKernelF64F32WithY)(const float* x, float* y, double* yWide, SpIirState* state)
{
    const double v = IirSample::DirectF64(double(*x), state);
    *yWide = v;
    *y = float(v);
}

void SP_LN(SpIirBiquadOneKernelF64F32)(const float* x, float* y, SpIirState* state)
{
    *y = float(IirSample::BiquadF64(double(*x), state));
}

void SP_LN(SpIirDirectOneKernelComplexF64)(const double* x, double* y, SpIirState* state)
{
    _mm_storeu_pd(y, IirSample::DirectC64(_mm_loadu_pd(x), state));
}

void SP_LN(SpIirBiquadOneKernelComplexF64)(const double* x, double* y, SpIirState* state)
{
    _mm_storeu_pd(y, IirSample::BiquadC64(_mm_loadu_pd(x), state));
}

void SP_LN(SpIirDirectOneKernelComplexF64F32)(const float* x, float* y, SpIirState* state)
{
    StoreNarrowC64(IirSample::DirectC64(WidenC32(x), state), y);
}

void SP_LN(SpIirDirectOneKernelComplexF64F32WithY)(const float* x, float* y, double* yWide, SpIirState* state)
{
    const __m128d v = IirSample::DirectC64(WidenC32(x), state);
    _mm_storeu_pd(yWide, v);
    StoreNarrowC64(v, y);
}

void SP_LN(SpIirBiquadOneKernelComplexF64F32)(const float* x, float* y, SpIirState* state)
{
    StoreNarrowC64(IirSample::BiquadC64(WidenC32(x), state), y);
}

// ---- Integer ends ----

void SP_LN(SpIirDirectOneKernelI16)(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale)
{
    float v = float(*x), r;
    Iir::DirectOne(&v, &r, state);
    *y = IirSample::To16(r, IirSample::FactorF32(scale));
}

void SP_LN(SpIirDirectOneKernelI16WithY)(const int16_t* x, int16_t* y, float* yWide, SpIirState* state,
                                         int32_t scale)
{
    float v = float(*x), r;
    Iir::DirectOne(&v, &r, state);
    *yWide = r;
    *y = IirSample::To16(r, IirSample::FactorF32(scale));
}

void SP_LN(SpIirBiquadOneKernelI16)(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale)
{
    float v = float(*x), r;
    Iir::BiquadOne(&v, &r, state);
    *y = IirSample::To16(r, IirSample::FactorF32(scale));
}

void SP_LN(SpIirDirectOneKernelComplexI16)(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale)
{
    const IirSample::C32 r = IirSample::DirectC32({float(x[0]), float(x[1])}, state);
    const float factor = IirSample::FactorF32(scale);
    y[0] = IirSample::To16(r.re, factor);
    y[1] = IirSample::To16(r.im, factor);
}

void SP_LN(SpIirDirectOneKernelComplexI16WithY)(const int16_t* x, int16_t* y, float* yWide, SpIirState* state,
                                                int32_t scale)
{
    const IirSample::C32 r = IirSample::DirectC32({float(x[0]), float(x[1])}, state);
    const float factor = IirSample::FactorF32(scale);
    StoreC32(r, yWide);
    y[0] = IirSample::To16(r.re, factor);
    y[1] = IirSample::To16(r.im, factor);
}

void SP_LN(SpIirBiquadOneKernelComplexI16)(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale)
{
    const IirSample::C32 r = IirSample::BiquadC32({float(x[0]), float(x[1])}, state);
    const float factor = IirSample::FactorF32(scale);
    y[0] = IirSample::To16(r.re, factor);
    y[1] = IirSample::To16(r.im, factor);
}

void SP_LN(SpIirDirectOneKernelF64I16)(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale)
{
    *y = IirSample::To16(IirSample::DirectF64(double(*x), state), IirSample::FactorF64(scale));
}

void SP_LN(SpIirDirectOneKernelF64I16WithY)(const int16_t* x, int16_t* y, double* yWide, SpIirState* state,
                                            int32_t scale)
{
    *yWide = IirSample::DirectF64(double(*x), state);
    *y = IirSample::To16(*yWide, IirSample::FactorF64(scale));
}

void SP_LN(SpIirBiquadOneKernelF64I16)(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale)
{
    *y = IirSample::To16(IirSample::BiquadF64(double(*x), state), IirSample::FactorF64(scale));
}

void SP_LN(SpIirDirectOneKernelF64I32)(const int32_t* x, int32_t* y, SpIirState* state, int32_t scale)
{
    *y = IirSample::To32(IirSample::DirectF64(double(*x), state), IirSample::FactorF64(scale));
}

void SP_LN(SpIirDirectOneKernelF64I32WithY)(const int32_t* x, int32_t* y, double* yWide, SpIirState* state,
                                            int32_t scale)
{
    *yWide = IirSample::DirectF64(double(*x), state);
    *y = IirSample::To32(*yWide, IirSample::FactorF64(scale));
}

void SP_LN(SpIirBiquadOneKernelF64I32)(const int32_t* x, int32_t* y, SpIirState* state, int32_t scale)
{
    *y = IirSample::To32(IirSample::BiquadF64(double(*x), state), IirSample::FactorF64(scale));
}

void SP_LN(SpIirDirectOneKernelComplexF64I16)(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale)
{
    StorePair(IirSample::DirectC64(_mm_set_pd(x[1], x[0]), state), y, IirSample::FactorF64(scale));
}

void SP_LN(SpIirDirectOneKernelComplexF64I16WithY)(const int16_t* x, int16_t* y, double* yWide,
                                                   SpIirState* state, int32_t scale)
{
    const __m128d v = IirSample::DirectC64(_mm_set_pd(x[1], x[0]), state);
    _mm_storeu_pd(yWide, v);
    StorePair(v, y, IirSample::FactorF64(scale));
}

void SP_LN(SpIirBiquadOneKernelComplexF64I16)(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale)
{
    StorePair(IirSample::BiquadC64(_mm_set_pd(x[1], x[0]), state), y, IirSample::FactorF64(scale));
}

void SP_LN(SpIirDirectOneKernelComplexF64I32)(const int32_t* x, int32_t* y, SpIirState* state, int32_t scale)
{
    StorePair(IirSample::DirectC64(_mm_set_pd(x[1], x[0]), state), y, IirSample::FactorF64(scale));
}

void SP_LN(SpIirDirectOneKernelComplexF64I32WithY)(const int32_t* x, int32_t* y, double* yWide,
                                                   SpIirState* state, int32_t scale)
{
    const __m128d v = IirSample::DirectC64(_mm_set_pd(x[1], x[0]), state);
    _mm_storeu_pd(yWide, v);
    StorePair(v, y, IirSample::FactorF64(scale));
}

void SP_LN(SpIirBiquadOneKernelComplexF64I32)(const int32_t* x, int32_t* y, SpIirState* state, int32_t scale)
{
    StorePair(IirSample::BiquadC64(_mm_set_pd(x[1], x[0]), state), y, IirSample::FactorF64(scale));
}
