// Four consecutive complex points of interleaved data with their real and imaginary parts in
// separate SSE lanes, for the generic build's loops that run four independent points at once
// with the one-point operations: lane by lane the results are those of the scalar form.
#pragma once

#include <xmmintrin.h>

struct SpFftQuad
{
    __m128 Re;
    __m128 Im;
};

// Points p[0..3] into lanes 0..3.
inline SpFftQuad SpFftLoadQuad(const float* p)
{
    const __m128 lo = _mm_loadu_ps(p);
    const __m128 hi = _mm_loadu_ps(p + 4);
    return {_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)), _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1))};
}

inline void SpFftStoreQuad(float* p, SpFftQuad v)
{
    _mm_storeu_ps(p, _mm_unpacklo_ps(v.Re, v.Im));
    _mm_storeu_ps(p + 4, _mm_unpackhi_ps(v.Re, v.Im));
}

// Points p[3], p[2], p[1], p[0] into lanes 0..3: the mirror partners of an ascending quad.
inline SpFftQuad SpFftLoadQuadReversed(const float* p)
{
    const SpFftQuad v = SpFftLoadQuad(p);
    return {_mm_shuffle_ps(v.Re, v.Re, _MM_SHUFFLE(0, 1, 2, 3)),
            _mm_shuffle_ps(v.Im, v.Im, _MM_SHUFFLE(0, 1, 2, 3))};
}

inline void SpFftStoreQuadReversed(float* p, SpFftQuad v)
{
    SpFftStoreQuad(p, {_mm_shuffle_ps(v.Re, v.Re, _MM_SHUFFLE(0, 1, 2, 3)),
                       _mm_shuffle_ps(v.Im, v.Im, _MM_SHUFFLE(0, 1, 2, 3))});
}
