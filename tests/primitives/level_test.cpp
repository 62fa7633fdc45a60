// Every entry stub at every level against level 0 and, where the result is exact or one
// rounding of an exact value, against a scalar reference: one line per stub, run for counts 1
// to 40 and a long run, with source and destination at every start offset 0 to 15 bytes their
// element type allows (every byte for packed 24-bit), between guard zones. Status and bytes must
// match level 0 exactly; the stubs without a reference here (power, exp, ln, reductions) are
// held to their double-precision references by their own tests.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "driver/primitives/sp_lib.h"
#include "sp_convert_reference.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

// One set of sources at a chosen byte offset; every stub reads what it needs.
struct Sources
{
    const float* a;
    const float* b;
    const int16_t* i16;
    const int32_t* i32;
    const uint8_t* i24;
};

struct StubRow
{
    const char* name;
    int32_t dstElementBytes; // destination bytes per count
    int32_t srcAlign;        // the source offsets step by this (the element size)
    bool inPlace;            // the destination starts as a copy of source a
    std::function<SpStatus(const Sources&, uint8_t*, int32_t)> run;
    // Writes the expected output (over a copy of source a for in-place rows); empty: none.
    std::function<void(const Sources&, uint8_t*, int32_t)> ref = {};
    // Levels 1-3 follow kernels of their own whose results differ from level 0's: they are held
    // to the reference of the level (which reads SpCpuLevel) instead of to level 0.
    bool ownResults = false;
    // A count past the table's own, for rows whose kernels switch path on long vectors.
    int32_t longCount = 0;
    // Destinations also at 2-byte offsets (at levels 1-3, against level 0 at the aligned offset
    // below: level 0 takes float-aligned vectors only).
    bool oddOffsets = false;
};

// Reference rows: element i of the output from element i of the sources.
template <typename D, typename F> std::function<void(const Sources&, uint8_t*, int32_t)> Each(F f)
{
    return [f](const Sources& s, uint8_t* o, int32_t n)
    {
        for (int32_t i = 0; i < n; ++i)
        {
            const D v = f(s, i);
            memcpy(o + sizeof(D) * i, &v, sizeof(D));
        }
    };
}

std::function<void(const Sources&, uint8_t*, int32_t)> EachI24(int32_t scale)
{
    return [scale](const Sources& s, uint8_t* o, int32_t n)
    {
        for (int32_t i = 0; i < n; ++i)
        {
            const int32_t v = RefF32ToI24(s.a[i], scale);
            memcpy(o + 3 * i, &v, 3);
        }
    };
}

// The status of a reduction whose float result at *out is the exact sum of x[0..n) divided by
// `divisor` within float rounding and n single-precision roundings of the magnitudes; a value
// outside that turns the status into SpErrBadLength. *out is then cleared.
SpStatus WithinBound(SpStatus status, float* out, const float* x, int32_t n, int32_t divisor)
{
    long double exact = 0, magnitude = 0;
    for (int32_t i = 0; i < n; ++i)
    {
        exact += x[i];
        magnitude += std::fabs(x[i]);
    }
    exact /= divisor;
    const long double bound = (std::fabs(exact) * 0x1p-23L + magnitude * n * 0x1p-24L) / divisor + 1e-38L;
    const bool nan = std::isnan(exact) || std::isnan(magnitude);
    const bool ok = nan ? std::isnan(*out) : std::fabs(*out - exact) <= bound;
    *out = 0.0f;
    return ok ? status : SpErrBadLength;
}

// The same for a dot product accumulated in single precision: within n roundings of the sum
// of the product magnitudes.
SpStatus WithinDotBound(SpStatus status, float* out, const float* a, const float* b, int32_t n)
{
    long double exact = 0, magnitude = 0;
    for (int32_t i = 0; i < n; ++i)
    {
        exact += (long double)a[i] * b[i];
        magnitude += std::fabs((long double)a[i] * b[i]);
    }
    const long double bound = magnitude * (n + 1) * 0x1p-23L + 1e-38L;
    const bool ok = std::isnan(magnitude) ? std::isnan(*out) : std::fabs(*out - exact) <= bound;
    *out = 0.0f;
    return ok ? status : SpErrBadLength;
}

// The status of an element-wise function whose outputs lie within `ulps` of the correctly
// rounded f(x) (NaN for NaN); the outputs are then replaced by that rounding, so that the bytes
// compare across levels and a value out of bounds turns the status into SpErrBadLength.
SpStatus WithinUlps(SpStatus status, float* out, const float* x, int32_t n, int32_t ulps, double (*f)(double))
{
    bool ok = true;
    for (int32_t i = 0; i < n; ++i)
    {
        const float want = float(f(x[i]));
        float got;
        memcpy(&got, out + i, 4);
        ok = ok && (std::isnan(want) ? std::isnan(got) : UlpDistance(want, got) <= ulps);
        memcpy(out + i, &want, 4);
    }
    return ok ? status : SpErrBadLength;
}

// The status of a division whose quotients lie within 2 ulp of the correctly rounded b / a (the
// estimate path of levels 1-3); the outputs are then replaced by that rounding.
SpStatus WithinDivBound(SpStatus status, float* out, const float* a, const float* b, int32_t n)
{
    bool ok = true;
    for (int32_t i = 0; i < n; ++i)
    {
        const float want = b[i] / a[i];
        float got;
        memcpy(&got, out + i, 4);
        ok = ok && (std::isnan(want) ? std::isnan(got) : UlpDistance(want, got) <= 2);
        memcpy(out + i, &want, 4);
    }
    return ok ? status : SpErrBadLength;
}

// The status of an order-3 IIR created at the current level and run over x (in place when
// asked), with every output within 2e-5 of the double-precision direct-form recursion.
SpStatus IirWithinReference(const float* x, float* out, int32_t n, bool inPlace)
{
    static const float taps[8] = {0.3f, -0.2f, 0.25f, 0.1f, 1.25f, -0.5f, 0.3f, -0.1f};
    SpIirState* state = nullptr;
    SpStatus status = SpIirCreate(&state, taps, 3, nullptr);
    if (status != SpOk)
        return status;
    if (inPlace)
        memcpy(out, x, 4 * size_t(n));
    status = inPlace ? SpIirFilterInPlace(out, n, state) : SpIirFilter(x, out, n, state);
    SpIirFree(state);
    std::vector<double> y(static_cast<size_t>(n));
    bool ok = true;
    for (int32_t i = 0; i < n; ++i)
    {
        double acc = 0;
        for (int k = 0; k <= 3 && k <= i; ++k)
            acc += double(taps[k]) * x[i - k] - (k ? double(taps[4 + k]) * y[i - k] : 0.0);
        y[i] = acc / taps[4];
        ok = ok && std::fabs(out[i] - y[i]) <= 2e-5 * (1 + std::fabs(y[i]));
    }
    return ok ? status : SpErrBadLength;
}

int32_t LoadI24(const uint8_t* p)
{
    return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
}

// Up-sampling: input k at phase + k x factor, zeros elsewhere.
std::function<void(const Sources&, uint8_t*, int32_t)> SampledUp(int32_t factor, int32_t phase)
{
    return [factor, phase](const Sources& s, uint8_t* o, int32_t n)
    {
        memset(o, 0, 4 * size_t(n) * factor);
        for (int32_t k = 0; k < n; ++k)
            memcpy(o + 4 * (size_t(phase) + size_t(k) * factor), s.a + k, 4);
    };
}

// Down-sampling keeps src[phase + j x factor] and hands back the phase of the next call; a
// wrong length or phase turns the status into SpErrBadLength. The rest of the row's n words stay
// as the guarded destination started, so they are cleared for the comparison.
std::function<SpStatus(const Sources&, uint8_t*, int32_t)> SampledDown(int32_t factor, int32_t phase)
{
    return [factor, phase](const Sources& s, uint8_t* o, int32_t n) -> SpStatus
    {
        const int32_t count = phase < n ? (n - phase + factor - 1) / factor : 0;
        int32_t len = -1, p = phase;
        const SpStatus st = SpSampleDownF32(s.a, n, reinterpret_cast<float*>(o), &len, factor, &p);
        for (size_t i = 4 * size_t(count); i < 4 * size_t(n); ++i)
            if (o[i] != GuardedBuffer<uint8_t>::kGuardByte)
                return SpErrBadLength; // written past the kept samples
        memset(o + 4 * size_t(count), 0, 4 * size_t(n - count));
        return len == count && p == phase + count * factor - n ? st : SpErrBadLength;
    };
}

std::function<void(const Sources&, uint8_t*, int32_t)> KeptSamples(int32_t factor, int32_t phase)
{
    return [factor, phase](const Sources& s, uint8_t* o, int32_t n)
    {
        memset(o, 0, 4 * size_t(n));
        for (int32_t j = 0; phase + j * factor < n; ++j)
            memcpy(o + 4 * size_t(j), s.a + phase + j * factor, 4);
    };
}

// c channels of n frames into nc interleaved words, and back; channel k of the interleaving
// rows starts 256k floats into source a, so all channels are aligned together or not at all.
std::function<SpStatus(const Sources&, uint8_t*, int32_t)> Interleaving(int32_t c)
{
    return [c](const Sources& s, uint8_t* o, int32_t n)
    {
        const float* ch[16];
        for (int32_t k = 0; k < c; ++k)
            ch[k] = s.a + 256 * k;
        return SpInterleave32(ch, c, n, reinterpret_cast<float*>(o));
    };
}

std::function<void(const Sources&, uint8_t*, int32_t)> Interleaved(int32_t c)
{
    return [c](const Sources& s, uint8_t* o, int32_t n)
    {
        for (int32_t k = 0; k < c * n; ++k)
            memcpy(o + 4 * k, s.a + 256 * (k % c) + k / c, 4);
    };
}

std::function<SpStatus(const Sources&, uint8_t*, int32_t)> Deinterleaving(int32_t c)
{
    return [c](const Sources& s, uint8_t* o, int32_t n)
    {
        float* ch[16];
        for (int32_t k = 0; k < c; ++k)
            ch[k] = reinterpret_cast<float*>(o) + k * n;
        return SpDeinterleave32(s.a, c, n, ch);
    };
}

std::function<void(const Sources&, uint8_t*, int32_t)> Deinterleaved(int32_t c)
{
    return [c](const Sources& s, uint8_t* o, int32_t n)
    {
        for (int32_t k = 0; k < c * n; ++k)
            memcpy(o + 4 * ((k % c) * n + k / c), s.a + k, 4);
    };
}

using U8 = uint8_t*;
constexpr int32_t kArithLongCount = 262200;
#define SP_F(o) reinterpret_cast<float*>(o)
// A row's call, with the sources s, the destination bytes o and the count n in scope.
#define SP_RUN(call)                                                                                         \
    [](const Sources& s, U8 o, int32_t n)                                                                    \
    {                                                                                                        \
        (void)s;                                                                                             \
        return call;                                                                                         \
    }
// A row's reference: element i of the output, with the sources s and the index i in scope.
#define SP_REF(T, value)                                                                                     \
    Each<T>(                                                                                                 \
        [](const Sources& s, int32_t i)                                                                      \
        {                                                                                                    \
            (void)s;                                                                                         \
            (void)i;                                                                                         \
            return T(value);                                                                                 \
        })

// clang-format off
const StubRow kStubs[] = {
    {"ZeroF32", 4, 4, false, SP_RUN(SpZeroF32(SP_F(o), n)), SP_REF(float, 0.0f), false, 0, true},
    {"F32ToI16Even", 2, 4, false, SP_RUN(SpConvertF32ToI16(s.a, (int16_t*)o, n, 1, -15)), SP_REF(int16_t, RefF32ToI16(s.a[i], 1, -15))},
    {"F32ToI16Zero", 2, 4, false, SP_RUN(SpConvertF32ToI16(s.a, (int16_t*)o, n, 0, -14)), SP_REF(int16_t, RefF32ToI16(s.a[i], 0, -14))},
    {"F32ToI16Away", 2, 4, false, SP_RUN(SpConvertF32ToI16(s.a, (int16_t*)o, n, 2, 0)), SP_REF(int16_t, RefF32ToI16At(SpCpuLevel, s.a[i], 2, 0)), true},
    {"F32ToI32Even", 4, 4, false, SP_RUN(SpConvertF32ToI32(s.a, (int32_t*)o, n, 1, -31)), SP_REF(int32_t, RefF32ToI32(s.a[i], 1, -31)), false, 0, true},
    {"F32ToI32Away", 4, 4, false, SP_RUN(SpConvertF32ToI32(s.a, (int32_t*)o, n, 2, -30)), SP_REF(int32_t, RefF32ToI32At(SpCpuLevel, s.a[i], 2, -30)), true, 0, true},
    {"I16ToF32", 4, 2, false, SP_RUN(SpConvertI16ToF32(s.i16, SP_F(o), n, 15)), SP_REF(float, RefI16ToF32(s.i16[i], 15)), false, 0, true},
    {"I32ToF32Scaled", 4, 4, false, SP_RUN(SpConvertI32ToF32Scaled(s.i32, SP_F(o), n, 31)), SP_REF(float, RefI32ToF32Scaled(s.i32[i], 31)), false, 0, true},
    {"I24ToF32", 4, 1, false, SP_RUN(SpConvertI24ToF32(s.i24, SP_F(o), n)), SP_REF(float, float(LoadI24(s.i24 + 3 * i))), false, 0, true},
    {"F32ToI24", 3, 4, false, SP_RUN(SpConvertF32ToI24(s.a, o, n, -23)), EachI24(-23)},
    {"F32ToI24Scale0", 3, 4, false, SP_RUN(SpConvertF32ToI24(s.a, o, n, 0)), EachI24(0)},
    {"I32ToF32", 4, 4, false, SP_RUN(SpConvertI32ToF32(s.i32, SP_F(o), n)), SP_REF(float, float(s.i32[i])), false, 0, true},
    {"MoveI32", 4, 4, false, SP_RUN(SpMoveI32(s.i32, (int32_t*)o, n)), SP_REF(int32_t, s.i32[i]), false, 0, true},
    // The add and multiply kernels prefetch past 262,144 floats and stream past 131,072: the long count passes both.
    {"AddInPlace", 4, 4, true, SP_RUN(SpAddInPlaceF32(s.b, SP_F(o), n)), SP_REF(float, s.a[i] + s.b[i]), false, kArithLongCount, true},
    {"DivConstInPlace", 4, 4, true, SP_RUN(SpDivConstInPlaceF32(3.0f, SP_F(o), n)), SP_REF(float, s.a[i] * (1.0f / 3.0f)), false, kArithLongCount, true},
    {"MulConstInPlace", 4, 4, true, SP_RUN(SpMulConstInPlaceF32(-1.5f, SP_F(o), n)), SP_REF(float, s.a[i] * -1.5f), false, kArithLongCount, true},
    {"AddConstInPlace", 4, 4, true, SP_RUN(SpAddConstInPlaceF32(0.1f, SP_F(o), n)), SP_REF(float, s.a[i] + 0.1f), false, 0, true},
    {"Pow", 4, 4, false, SP_RUN(SpPowF32(s.b, s.a, SP_F(o), n))},
    {"Copy", 4, 4, false, SP_RUN(SpCopyF32(s.a, SP_F(o), n)), SP_REF(float, s.a[i])},
    {"MulConst", 4, 4, false, SP_RUN(SpMulConstF32(s.a, 0.3f, SP_F(o), n)), SP_REF(float, s.a[i] * 0.3f), false, kArithLongCount, true},
    {"MulConstInPlaceByTwoBuffers", 4, 4, true, SP_RUN(SpMulConstF32(SP_F(o), 0.3f, SP_F(o), n)), SP_REF(float, s.a[i] * 0.3f), false, kArithLongCount, true},
    {"Set", 4, 4, false, SP_RUN(SpSetF32(-7.25f, SP_F(o), n)), SP_REF(float, -7.25f)},
    {"Flip", 4, 4, false, SP_RUN(SpFlipF32(s.a, SP_F(o), n)), [](const Sources& s, U8 o, int32_t n) { for (int32_t i = 0; i < n; ++i) memcpy(o + 4 * i, s.a + n - 1 - i, 4); }},
    {"Add", 4, 4, false, SP_RUN(SpAddF32(s.a, s.b, SP_F(o), n)), SP_REF(float, s.a[i] + s.b[i]), false, 100000, true},
    {"Sub", 4, 4, false, SP_RUN(SpSubF32(s.a, s.b, SP_F(o), n)), SP_REF(float, s.b[i] - s.a[i]), false, 100000, true},
    {"Mul", 4, 4, false, SP_RUN(SpMulF32(s.a, s.b, SP_F(o), n)), SP_REF(float, s.a[i] * s.b[i]), false, 100000, true},
    {"Div", 4, 4, false, SP_RUN(WithinDivBound(SpDivF32(s.a, s.b, SP_F(o), n), SP_F(o), s.a, s.b, n)), SP_REF(float, s.b[i] / s.a[i]), false, 0, true},
    // Source a holds its zeros at elements 259 and 296: divisors from element 222 see them at 37 and 74.
    {"DivByZero", 4, 4, false, SP_RUN(WithinDivBound(SpDivF32(s.a + 222, s.b, SP_F(o), n), SP_F(o), s.a + 222, s.b, n)), {}, false, 0, true},
    {"Sqr", 4, 4, false, SP_RUN(SpSqrF32(s.a, SP_F(o), n)), SP_REF(float, s.a[i] * s.a[i])},
    {"Sqrt", 4, 4, true, SP_RUN(SpSqrtInPlaceF32(SP_F(o), n))},
    {"Abs", 4, 4, true, SP_RUN(SpAbsInPlaceF32(SP_F(o), n)), SP_REF(float, std::fabs(s.a[i])), false, 0, true},
    {"Exp", 4, 4, true, SP_RUN(WithinUlps(SpExpInPlaceF32(SP_F(o), n), SP_F(o), s.a, n, 4, [](double x) { return std::exp(x); }))},
    {"Ln", 4, 4, true, SP_RUN(WithinUlps(SpLnInPlaceF32(SP_F(o), n), SP_F(o), s.a, n, 2, [](double x) { return x < 0 || std::signbit(x) ? NAN : std::log(x); }))},
    {"MulInPlace", 4, 4, true, SP_RUN(SpMulInPlaceF32(s.b, SP_F(o), n)), SP_REF(float, s.a[i] * s.b[i]), false, 100000, true},
    {"SquareInPlace", 4, 4, true, SP_RUN(SpMulInPlaceF32(SP_F(o), SP_F(o), n)), SP_REF(float, s.a[i] * s.a[i]), false, 100000, true},
    {"FlipInPlace", 4, 4, true, SP_RUN(SpFlipF32(SP_F(o), SP_F(o), n)), [](const Sources& s, U8 o, int32_t n) { for (int32_t i = 0; i < n; ++i) memcpy(o + 4 * i, s.a + n - 1 - i, 4); }},
    {"AddProduct", 4, 4, true, SP_RUN(SpAddProductF32(s.a, s.b, SP_F(o), n)), SP_REF(float, s.a[i] + s.a[i] * s.b[i])},
    {"AddProductConst", 4, 4, true, SP_RUN(SpAddProductConstF32(s.b, 2.5f, SP_F(o), n)), SP_REF(float, s.a[i] + s.b[i] * 2.5f)},
    {"MinEvery", 4, 4, true, SP_RUN(SpMinEveryInPlaceF32(s.b, SP_F(o), n)), SP_REF(float, s.b[i] < s.a[i] ? s.b[i] : s.a[i]), false, 0, true},
    {"MaxEvery", 4, 4, true, SP_RUN(SpMaxEveryInPlaceF32(s.b, SP_F(o), n)), SP_REF(float, s.b[i] > s.a[i] ? s.b[i] : s.a[i]), false, 0, true},
    // Reductions write one float whatever the count.
    {"Max", 0, 4, false, SP_RUN(SpMaxF32(s.a, n, SP_F(o)))},
    {"Min", 0, 4, false, SP_RUN(SpMinF32(s.a, n, SP_F(o)))},
    // Each level sums in its own order: the result is held to the exact sum within a bound, and
    // the row writes 0 in its place so that the bytes compare across levels.
    {"Sum", 0, 4, false, SP_RUN(WithinBound(SpSumF32(s.a, n, SP_F(o), 0), SP_F(o), s.a, n, 1))},
    {"SumFast", 0, 4, false, SP_RUN(WithinBound(SpSumF32(s.a, n, SP_F(o), 1), SP_F(o), s.a, n, 1))},
    {"Mean", 0, 4, false, SP_RUN(WithinBound(SpMeanF32(s.a, n, SP_F(o), 0), SP_F(o), s.a, n, n))},
    {"Dot", 0, 4, false, SP_RUN(WithinDotBound(SpDotProdF32(s.a, s.b, n, SP_F(o)), SP_F(o), s.a, s.b, n))},
    // Two channels of n frames, and eight channels of n frames out of 8n interleaved words.
    {"Interleave2", 8, 4, false, [](const Sources& s, U8 o, int32_t n) { const float* ch[] = {s.a, s.b}; return SpInterleave32(ch, 2, n, SP_F(o)); }, [](const Sources& s, U8 o, int32_t n) { for (int32_t f = 0; f < n; ++f) { memcpy(o + 8 * f, s.a + f, 4); memcpy(o + 8 * f + 4, s.b + f, 4); } }},
    {"Interleave8", 32, 4, false, [](const Sources& s, U8 o, int32_t n) { const float* ch[] = {s.a, s.b, s.a + 1, s.b + 1, s.a + 2, s.b + 2, s.a + 3, s.b + 3}; return SpInterleave32(ch, 8, n, SP_F(o)); }, {}},
    {"Deinterleave2", 8, 4, false, [](const Sources& s, U8 o, int32_t n) { float* ch[] = {SP_F(o), SP_F(o) + n}; return SpDeinterleave32(s.a, 2, n, ch); }, [](const Sources& s, U8 o, int32_t n) { for (int32_t f = 0; f < n; ++f) { memcpy(o + 4 * f, s.a + 2 * f, 4); memcpy(o + 4 * (n + f), s.a + 2 * f + 1, 4); } }},
    {"Deinterleave8", 32, 4, false, [](const Sources& s, U8 o, int32_t n) { float* ch[8]; for (int c = 0; c < 8; ++c) ch[c] = SP_F(o) + c * n; return SpDeinterleave32(s.a, 8, n, ch); }, [](const Sources& s, U8 o, int32_t n) { for (int32_t k = 0; k < 8 * n; ++k) memcpy(o + 4 * ((k % 8) * n + k / 8), s.a + k, 4); }},
    {"Interleave1Channels", 4, 4, false, Interleaving(1), Interleaved(1)},
    {"Deinterleave1Channels", 4, 4, false, Deinterleaving(1), Deinterleaved(1)},
    {"Interleave3Channels", 12, 4, false, Interleaving(3), Interleaved(3)},
    {"Deinterleave3Channels", 12, 4, false, Deinterleaving(3), Deinterleaved(3)},
    {"Interleave4Channels", 16, 4, false, Interleaving(4), Interleaved(4)},
    {"Deinterleave4Channels", 16, 4, false, Deinterleaving(4), Deinterleaved(4)},
    {"Interleave5Channels", 20, 4, false, Interleaving(5), Interleaved(5)},
    {"Deinterleave5Channels", 20, 4, false, Deinterleaving(5), Deinterleaved(5)},
    {"Interleave6Channels", 24, 4, false, Interleaving(6), Interleaved(6)},
    {"Deinterleave6Channels", 24, 4, false, Deinterleaving(6), Deinterleaved(6)},
    {"Interleave10Channels", 40, 4, false, Interleaving(10), Interleaved(10)},
    {"Deinterleave10Channels", 40, 4, false, Deinterleaving(10), Deinterleaved(10)},
    {"SampleUp", 12, 4, false, [](const Sources& s, U8 o, int32_t n) { int32_t len = 0, phase = 1; return SpSampleUpF32(s.a, n, SP_F(o), &len, 3, &phase); }, SampledUp(3, 1), false, 0, true},
    {"SampleUp1", 4, 4, false, [](const Sources& s, U8 o, int32_t n) { int32_t len = 0, phase = 0; return SpSampleUpF32(s.a, n, SP_F(o), &len, 1, &phase); }, SampledUp(1, 0), false, 10000, true},
    {"SampleUp2Long", 8, 4, false, [](const Sources& s, U8 o, int32_t n) { int32_t len = 0, phase = 1; return SpSampleUpF32(s.a, n, SP_F(o), &len, 2, &phase); }, SampledUp(2, 1), false, 10000, true},
    {"SampleUp5", 20, 4, false, [](const Sources& s, U8 o, int32_t n) { int32_t len = 0, phase = 1; return SpSampleUpF32(s.a, n, SP_F(o), &len, 5, &phase); }, SampledUp(5, 1), false, 4097, true},
    {"SampleDown3", 4, 4, false, SampledDown(3, 2), KeptSamples(3, 2), false, 1000, true},
    {"SampleDown4", 4, 4, false, SampledDown(4, 3), KeptSamples(4, 3), false, 0, true},
    {"SampleDown17", 4, 4, false, SampledDown(17, 14), KeptSamples(17, 14), false, 1000, true},
    {"SampleDown", 4, 4, false, [](const Sources& s, U8 o, int32_t n) { int32_t len = 0, phase = 2; return SpSampleDownF32(s.a, n, SP_F(o), &len, 1, &phase); }},
    {"SampleUp2Phase0", 8, 4, false, [](const Sources& s, U8 o, int32_t n) { int32_t len = 0, phase = 0; return SpSampleUpF32(s.a, n, SP_F(o), &len, 2, &phase); }, [](const Sources& s, U8 o, int32_t n) { memset(o, 0, 8 * size_t(n)); for (int32_t k = 0; k < n; ++k) memcpy(o + 8 * k, s.a + k, 4); }},
    {"SampleUp2Phase1", 8, 4, false, [](const Sources& s, U8 o, int32_t n) { int32_t len = 0, phase = 1; return SpSampleUpF32(s.a, n, SP_F(o), &len, 2, &phase); }, [](const Sources& s, U8 o, int32_t n) { memset(o, 0, 8 * size_t(n)); for (int32_t k = 0; k < n; ++k) memcpy(o + 8 * k + 4, s.a + k, 4); }},
    {"SampleDown2", 4, 4, false, [](const Sources& s, U8 o, int32_t n) { int32_t len = 0, phase = 1; SpStatus st = SpSampleDownF32(s.a, n, SP_F(o), &len, 2, &phase); return len == (n / 2) && phase == (n & 1) ? st : SpErrBadLength; }},
    {"IirOrder3", 4, 4, false, SP_RUN(IirWithinReference(s.b, SP_F(o), n, false)), {}, true},
    {"IirOrder3InPlace", 4, 4, false, SP_RUN(IirWithinReference(s.b, SP_F(o), n, true)), {}, true},
    {"SampleDown5", 4, 4, false, [](const Sources& s, U8 o, int32_t n) { int32_t len = 0, phase = 3; SpStatus st = SpSampleDownF32(s.a, n, SP_F(o), &len, 5, &phase); return len == (n > 3 ? (n + 1) / 5 : 0) ? st : SpErrBadLength; }},
}; // clang-format on

constexpr int32_t kMaxCount = 200;
constexpr int32_t kLongCount = kArithLongCount; // the longest row count

// Sources from a fixed seed: ordinary values around full scale with ties, zeros, saturating
// values, NaN and infinities sprinkled in, and random integers.
class SourcePool
{
public:
    SourcePool()
    {
        std::mt19937 rng(19);
        std::uniform_real_distribution<float> unit(-1.5f, 1.5f);
        const int32_t n = std::max(8 * kMaxCount, kLongCount) + 64;
        m_a.resize(n);
        m_b.resize(n);
        m_i16.resize(n);
        m_i32.resize(n);
        m_i24.resize(3 * n + 16);
        for (int32_t i = 0; i < n; ++i)
        {
            m_a[i] = unit(rng);
            m_b[i] = 0.25f + std::fabs(unit(rng));
            m_i16[i] = int16_t(rng());
            m_i32[i] = int32_t(rng());
        }
        const float specials[] = {0.5f / 32768, 1.5f / 32768, 2.0f, -2.0f, NAN,
                                  INFINITY,     -INFINITY,    0.0f, -0.0f};
        for (int32_t i = 0; i < n; i += 37)
            m_a[i] = specials[(i / 37) % 9];
        for (auto& byte : m_i24)
            byte = uint8_t(rng());
    }

    // Sources starting `offset` bytes past a 64-byte boundary (rounded down to each element).
    Sources At(int32_t offset)
    {
        Place(m_fa, m_a, offset);
        Place(m_fb, m_b, offset);
        Place(m_f16, m_i16, offset);
        Place(m_f32, m_i32, offset);
        Place(m_f24, m_i24, offset);
        return {m_fa.data, m_fb.data, m_f16.data, m_f32.data, m_f24.data};
    }

private:
    template <typename T> struct Placed
    {
        std::vector<uint8_t> storage;
        const T* data = nullptr;
    };

    template <typename T> static void Place(Placed<T>& p, const std::vector<T>& values, int32_t offset)
    {
        const int32_t at = offset / int32_t(sizeof(T)) * int32_t(sizeof(T));
        p.storage.assign(values.size() * sizeof(T) + 128, 0);
        const uintptr_t base = (reinterpret_cast<uintptr_t>(p.storage.data()) + 63) & ~uintptr_t(63);
        memcpy(reinterpret_cast<void*>(base + at), values.data(), values.size() * sizeof(T));
        p.data = reinterpret_cast<const T*>(base + at);
    }

    std::vector<float> m_a, m_b;
    std::vector<int16_t> m_i16;
    std::vector<int32_t> m_i32;
    std::vector<uint8_t> m_i24;
    Placed<float> m_fa, m_fb;
    Placed<int16_t> m_f16;
    Placed<int32_t> m_f32;
    Placed<uint8_t> m_f24;
};

class SpLevelStubTest : public SpLevelTest
{
};

// Runs one stub at one level into a guarded destination; returns the status and the bytes.
SpStatus RunAt(int32_t level, const StubRow& row, const Sources& s, int32_t count, int32_t dstOffset,
               std::vector<uint8_t>* out, bool* guardsIntact)
{
    const size_t bytes = row.dstElementBytes > 0 ? size_t(row.dstElementBytes) * count : 4;
    GuardedBuffer<uint8_t> dst(bytes, size_t(dstOffset));
    if (row.inPlace)
        memcpy(dst.data(), s.a, bytes);
    SpScopedCpuLevel forced(level);
    const SpStatus status = row.run(s, dst.data(), count);
    out->assign(dst.data(), dst.data() + bytes);
    *guardsIntact = dst.GuardsIntact();
    return status;
}

} // namespace

TEST_P(SpLevelStubTest, EveryStubMatchesLevelZeroAtEveryOffsetAndWritesOnlyItsOutput)
{
    SourcePool pool;
    std::vector<int32_t> counts;
    for (int32_t n = 1; n <= 40; ++n)
        counts.push_back(n);
    counts.push_back(kMaxCount - 1);
    for (const StubRow& row : kStubs)
    {
        std::vector<int32_t> rowCounts = counts;
        if (row.longCount > 0)
            rowCounts.push_back(row.longCount);
        for (int32_t srcOffset = 0; srcOffset < 16; srcOffset += row.srcAlign)
        {
            const Sources s = pool.At(srcOffset);
            // Destination offsets of the element size; packed 24-bit destinations take every byte.
            const int32_t dstStep =
                row.dstElementBytes == 3 ? 1 : (row.dstElementBytes == 2 || row.oddOffsets ? 2 : 4);
            for (int32_t dstOffset = 0; dstOffset < 16; dstOffset += dstStep)
            {
                // Level 0 runs at the float-aligned offset below a 2-byte one.
                const int32_t wantOffset = row.dstElementBytes % 4 == 0 ? dstOffset & ~3 : dstOffset;
                if (wantOffset != dstOffset && Level() == 0)
                    continue;
                for (int32_t count : rowCounts)
                {
                    if (count > kMaxCount && (srcOffset % 8 != 0 || dstOffset % 8 > 2))
                        continue; // long runs: one aligned and one 2-byte destination per source
                    std::vector<uint8_t> want, got;
                    bool wantGuards = false, gotGuards = false;
                    const SpStatus wantStatus = RunAt(0, row, s, count, wantOffset, &want, &wantGuards);
                    const SpStatus gotStatus = RunAt(Level(), row, s, count, dstOffset, &got, &gotGuards);
                    ASSERT_TRUE(gotGuards && wantGuards)
                        << row.name << " count " << count << " offsets " << srcOffset << "/" << dstOffset;
                    ASSERT_EQ(wantStatus, gotStatus) << row.name << " count " << count;
                    if (!row.ownResults || Level() == 0)
                    {
                        ASSERT_EQ(want, got)
                            << row.name << " count " << count << " offsets " << srcOffset << "/" << dstOffset;
                    }
                    if (row.ref)
                    {
                        std::vector<uint8_t> ref(got.size());
                        if (row.inPlace)
                            memcpy(ref.data(), s.a, ref.size());
                        row.ref(s, ref.data(), count);
                        ASSERT_EQ(ref, got) << row.name << " against the reference, count " << count
                                            << " offsets " << srcOffset << "/" << dstOffset;
                    }
                }
            }
        }
    }
}

SP_INSTANTIATE_LEVELS(SpLevelStubTest);

// A FIR state records the level that laid it out; at levels 1-3 it carries every tap four times
// in natural order, filters as level 0 does up to rounding through the direct form and the FFT
// path, and an entry of any other level refuses it without writing.
TEST_P(SpLevelStubTest, FirStatesBelongToTheirLevel)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (int32_t taps : {1, 5, 63, 64, 130})
    {
        std::vector<float> h(taps), x(1500), want(1500), got(1500);
        std::vector<uint8_t> memory[2];
        for (float& v : h)
            v = unit(rng);
        for (float& v : x)
            v = unit(rng);
        auto run = [&](int32_t level, std::vector<float>* y) -> SpFirState*
        {
            SpScopedCpuLevel forced(level);
            int32_t size = 0;
            EXPECT_EQ(SpOk, SpFirStateSize(taps, &size));
            std::vector<uint8_t>& buffer = memory[level == 0 ? 0 : 1];
            buffer.assign(size_t(size), 0);
            SpFirState* state = nullptr;
            EXPECT_EQ(SpOk, SpFirInit(&state, h.data(), taps, nullptr, buffer.data()));
            // Blocks on both sides of the FFT threshold, and one of a single sample.
            EXPECT_EQ(SpOk, SpFirFilter(x.data(), y->data(), 300, state));
            EXPECT_EQ(SpOk, SpFirFilter(x.data() + 300, y->data() + 300, 1, state));
            EXPECT_EQ(SpOk, SpFirFilter(x.data() + 301, y->data() + 301, 1199, state));
            return state;
        };
        run(0, &want);
        SpFirState* state = run(Level(), &got);
        // The level kernels group their sums, so they agree with level 0 up to rounding.
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_NEAR(want[i], got[i], 1e-5f * (1.0f + std::max(want[i], -want[i])))
                << taps << " taps, output " << i;
        EXPECT_EQ(Level(), state->Level);
        if (Level() > 0)
        {
            ASSERT_NE(nullptr, state->Single.TapQuads);
            for (int32_t i = 0; i < 4 * taps; ++i)
                ASSERT_EQ(h[i / 4], state->Single.TapQuads[i]) << i;
            EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(state->Single.TapQuads) & 15);
        }
        else
        {
            EXPECT_EQ(nullptr, state->Single.TapQuads);
        }
        {
            SpScopedCpuLevel other((Level() + 1) % 4);
            float y = 123.0f;
            EXPECT_EQ(SpErrStateMismatch, SpFirFilter(x.data(), &y, 1, state));
            EXPECT_EQ(123.0f, y);
        }
    }
}
