// The argument checks of every operation, at every level, as one table: each row is a call with
// one bad argument (or several, to pin which check comes first), the status it must return, and
// nothing may be written: every output buffer, out value and state of the context keeps its
// bytes. States and specs built by another level, or of another kind, are refused the same way.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <vector>

#include "driver/primitives/sp_lib.h"
#include "sp_level_fixture.h"

namespace
{

// Valid inputs, outputs that must not change, and states of the current level (plus copies of
// their records that claim another level or another kind).
struct Ctx
{
    float in[64];
    float out[64];
    int16_t i16[64];
    uint8_t b[256];
    int32_t i32[64];
    int32_t n1 = -1, n2 = -1, n3 = -1;
    float value = -1.0f;
    int32_t phase = 0; // an argument some rows set; not an output
    SpFftSpec* outSpec = nullptr;
    SpFirState* outFir = nullptr;
    SpIirState* outIir = nullptr;
    SpFftSpec* cplx = nullptr;
    SpFftSpec* real = nullptr;
    SpFirState* fir = nullptr;
    SpFirState* multi = nullptr;
    SpIirState* iir = nullptr;
    SpFftSpec foreignReal;
    SpFirState foreignFir;
    SpFirState badLayout;
    SpIirState foreignIir;
    SpIirState badTag;
    std::vector<uint8_t> memory = std::vector<uint8_t>(1 << 16);
    const float* chans[3] = {in, in + 8, nullptr};
    float* outChans[2] = {out, nullptr};

    explicit Ctx(int32_t level)
    {
        for (int i = 0; i < 64; ++i)
        {
            in[i] = float(i + 1);
            out[i] = -9.0f;
            i16[i] = 7;
            i32[i] = 7;
        }
        memset(b, 0x5A, sizeof(b));
        EXPECT_EQ(SpOk, SpFftComplexCreate(&cplx, 5, SpFftNoDivide, 0));
        EXPECT_EQ(SpOk, SpFftRealCreate(&real, 6, SpFftNoDivide, 0));
        EXPECT_EQ(SpOk, SpFirCreate(&fir, in, 16, nullptr));
        EXPECT_EQ(SpOk, SpFirMultiRateInit(&multi, in, 16, 2, 0, 1, 0, nullptr, memory.data()));
        EXPECT_EQ(SpOk, SpIirCreate(&iir, in, 2, nullptr));
        (void)level;
        foreignReal = *real;
        foreignReal.Level = (real->Level + 1) % 4;
        foreignFir = *fir;
        foreignFir.Level = (fir->Level + 1) % 4;
        badLayout = *multi;
        badLayout.Multi.Mode = 7;
        foreignIir = *iir;
        foreignIir.Level = (iir->Level + 1) % 4;
        badTag = *iir;
        badTag.Tag = 0x12345678;
    }
    ~Ctx()
    {
        SpFftComplexFree(cplx);
        SpFftRealFree(real);
        SpFirFree(fir);
        SpIirFree(iir);
    }

    // Everything a refused call must leave alone.
    std::vector<uint8_t> Snapshot() const
    {
        std::vector<uint8_t> s;
        auto add = [&s](const void* p, size_t n)
        { s.insert(s.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n); };
        add(in, sizeof(in));
        add(out, sizeof(out));
        add(i16, sizeof(i16));
        add(b, sizeof(b));
        add(i32, sizeof(i32));
        add(&n1, 12);
        add(&value, 4);
        add(&outSpec, sizeof(void*));
        add(&outFir, sizeof(void*));
        add(&outIir, sizeof(void*));
        add(fir, 160);
        add(iir->Delay, 8);
        add(fir->Single.Delay, 64);
        return s;
    }
};

struct CheckRow
{
    const char* call;
    SpStatus want;
    std::function<SpStatus(Ctx&)> run;
};

using C = Ctx&;

// clang-format off
const CheckRow kChecks[] = {
    // Conversions and in-place forms: pointers, then channel count, then length.
    {"F32ToI16 null src, len 0", SpErrNullPointer, [](C c) { return SpConvertF32ToI16(nullptr, c.i16, 0, 0, 0); }},
    {"F32ToI16 null dst", SpErrNullPointer, [](C c) { return SpConvertF32ToI16(c.in, nullptr, 4, 0, 0); }},
    {"F32ToI16 len 0", SpErrBadLength, [](C c) { return SpConvertF32ToI16(c.in, c.i16, 0, 0, 0); }},
    {"F32ToI16 len -1", SpErrBadLength, [](C c) { return SpConvertF32ToI16(c.in, c.i16, -1, 1, 0); }},
    {"F32ToI32 null dst", SpErrNullPointer, [](C c) { return SpConvertF32ToI32(c.in, nullptr, 4, 2, 0); }},
    {"F32ToI32 len 0", SpErrBadLength, [](C c) { return SpConvertF32ToI32(c.in, c.i32, 0, 1, 0); }},
    {"I16ToF32 null src", SpErrNullPointer, [](C c) { return SpConvertI16ToF32(nullptr, c.out, 4, 0); }},
    {"I16ToF32 len 0", SpErrBadLength, [](C c) { return SpConvertI16ToF32(c.i16, c.out, 0, 0); }},
    {"I32ToF32Scaled len -3", SpErrBadLength, [](C c) { return SpConvertI32ToF32Scaled(c.i32, c.out, -3, 0); }},
    {"I32ToF32 null dst", SpErrNullPointer, [](C c) { return SpConvertI32ToF32(c.i32, nullptr, 4); }},
    {"I24ToF32 null src", SpErrNullPointer, [](C c) { return SpConvertI24ToF32(nullptr, c.out, 4); }},
    {"F32ToI24 len 0", SpErrBadLength, [](C c) { return SpConvertF32ToI24(c.in, c.b, 0, 0); }},
    {"ZeroF32 null, len 0", SpErrNullPointer, [](C) { return SpZeroF32(nullptr, 0); }},
    {"ZeroF32 len 0", SpErrBadLength, [](C c) { return SpZeroF32(c.out, 0); }},
    {"AddInPlace null srcDst", SpErrNullPointer, [](C c) { return SpAddInPlaceF32(c.in, nullptr, 4); }},
    {"AddConstInPlace len 0", SpErrBadLength, [](C c) { return SpAddConstInPlaceF32(1.0f, c.out, 0); }},
    {"MulConstInPlace null", SpErrNullPointer, [](C) { return SpMulConstInPlaceF32(2.0f, nullptr, 4); }},
    {"DivConstInPlace zero", SpErrDivideByZero, [](C c) { return SpDivConstInPlaceF32(0.0f, c.out, 4); }},
    {"DivConstInPlace -zero", SpErrDivideByZero, [](C c) { return SpDivConstInPlaceF32(-0.0f, c.out, 4); }},
    {"DivConst len before zero", SpErrBadLength, [](C c) { return SpDivConstF32(c.in, 0.0f, c.out, 0); }},
    {"MoveI32 nulls, len -5", SpErrNullPointer, [](C) { return SpMoveI32(nullptr, nullptr, -5); }},
    {"Interleave null dst first", SpErrNullPointer, [](C c) { return SpInterleave32(c.chans, 0, 4, nullptr); }},
    {"Interleave null channels", SpErrNullPointer, [](C c) { return SpInterleave32(nullptr, 2, 4, c.out); }},
    {"Interleave 0 channels", SpErrChannelCount, [](C c) { return SpInterleave32(c.chans, 0, 0, c.out); }},
    {"Interleave 0 frames", SpErrBadLength, [](C c) { return SpInterleave32(c.chans, 2, 0, c.out); }},
    {"Interleave null channel", SpErrNullPointer, [](C c) { return SpInterleave32(c.chans, 3, 4, c.out); }},
    {"Deinterleave -1 channels", SpErrChannelCount, [](C c) { return SpDeinterleave32(c.in, -1, 4, c.outChans); }},
    {"Deinterleave null channel", SpErrNullPointer, [](C c) { return SpDeinterleave32(c.in, 2, 4, c.outChans); }},
    {"ZeroBuffer null", SpErrNullPointer, [](C) { return SpZeroBuffer(nullptr, 5); }},
    {"ZeroBuffer len 0", SpErrBadLength, [](C c) { return SpZeroBuffer(c.b, 0); }},
    {"SetI32 null", SpErrNullPointer, [](C) { return SpSetI32(3, nullptr, 0); }},
    {"SetI32 len -1", SpErrBadLength, [](C c) { return SpSetI32(3, c.i32, -1); }},
    // Vector operations and power: pointers (dst first for power), then length.
    {"Add null src2", SpErrNullPointer, [](C c) { return SpAddF32(c.in, nullptr, c.out, 0); }},
    {"Add len 0", SpErrBadLength, [](C c) { return SpAddF32(c.in, c.in, c.out, 0); }},
    {"Max null result", SpErrNullPointer, [](C c) { return SpMaxF32(c.in, 4, nullptr); }},
    {"Sum len -3", SpErrBadLength, [](C c) { return SpSumF32(c.in, -3, &c.value, 0); }},
    {"Dot null result", SpErrNullPointer, [](C c) { return SpDotProdF32(c.in, c.in, 4, nullptr); }},
    {"Exp null", SpErrNullPointer, [](C) { return SpExpInPlaceF32(nullptr, 4); }},
    {"Ln len 0", SpErrBadLength, [](C c) { return SpLnInPlaceF32(c.out, 0); }},
    {"Set null", SpErrNullPointer, [](C) { return SpSetF32(1.0f, nullptr, 4); }},
    {"Set null, len 0", SpErrNullPointer, [](C) { return SpSetF32(1.0f, nullptr, 0); }},
    {"Set len -3", SpErrBadLength, [](C c) { return SpSetF32(1.0f, c.out, -3); }},
    {"Pow null dst", SpErrNullPointer, [](C c) { return SpPowF32(c.in, c.in, nullptr, 1); }},
    {"Pow null src2, len 0", SpErrNullPointer, [](C c) { return SpPowF32(c.in, nullptr, c.out, 0); }},
    {"Pow null src1", SpErrNullPointer, [](C c) { return SpPowF32(nullptr, c.in, c.out, 1); }},
    {"Pow len 0", SpErrBadLength, [](C c) { return SpPowF32(c.in, c.in, c.out, 0); }},
    // Resampling: pointers, length, factor, phase.
    {"SampleUp null phase", SpErrNullPointer, [](C c) { return SpSampleUpF32(c.in, 4, c.out, &c.n1, 3, nullptr); }},
    {"SampleUp len 0, factor 0", SpErrBadLength, [](C c) { c.phase = 3; return SpSampleUpF32(c.in, 0, c.out, &c.n1, 0, &c.phase); }},
    {"SampleUp factor 0", SpErrResampleFactor, [](C c) { c.phase = 3; return SpSampleUpF32(c.in, 4, c.out, &c.n1, 0, &c.phase); }},
    {"SampleUp phase = factor", SpErrResamplePhase, [](C c) { c.phase = 3; return SpSampleUpF32(c.in, 4, c.out, &c.n1, 3, &c.phase); }},
    {"SampleDown phase -1", SpErrResamplePhase, [](C c) { return SpSampleDownF32(c.in, 4, c.out, &c.n1, 3, &c.n1); }},
    {"SampleDown factor -2", SpErrResampleFactor, [](C c) { return SpSampleDownF32(c.in, 4, c.out, &c.n2, -2, &c.n1); }},
    {"SampleUp output past 2^31", SpErrBadLength, [](C c) { c.phase = 0; return SpSampleUpF32(c.in, 2, c.out, &c.n1, INT32_MAX, &c.phase); }},
    // FFT sizes, creation and transforms: order, then pointers, then flag; kind before pointers.
    {"GetSize order -1 first", SpErrFftOrder, [](C) { return SpFftComplexGetSize(-1, 3, 0, nullptr, nullptr, nullptr); }},
    {"GetSize order 31", SpErrFftOrder, [](C c) { return SpFftRealGetSize(31, SpFftNoDivide, 0, &c.n1, &c.n2, &c.n3); }},
    {"GetSize null spec size", SpErrNullPointer, [](C c) { return SpFftRealGetSize(4, 3, 0, nullptr, &c.n2, &c.n3); }},
    {"GetSize null work size", SpErrNullPointer, [](C c) { return SpFftComplexGetSize(4, 3, 0, &c.n1, &c.n2, nullptr); }},
    {"GetSize flag 0", SpErrFftFlag, [](C c) { return SpFftComplexGetSize(4, 0, 0, &c.n1, &c.n2, &c.n3); }},
    {"GetSize flag 3", SpErrFftFlag, [](C c) { return SpFftRealGetSize(4, 3, 0, &c.n1, &c.n2, &c.n3); }},
    {"GetSize flag 16", SpErrFftFlag, [](C c) { return SpFftRealGetSize(4, 16, 0, &c.n1, &c.n2, &c.n3); }},
    {"ComplexCreate null out", SpErrNullPointer, [](C) { return SpFftComplexCreate(nullptr, 4, SpFftNoDivide, 0); }},
    {"ComplexCreate order 31", SpErrFftOrder, [](C c) { return SpFftComplexCreate(&c.outSpec, 31, SpFftNoDivide, 0); }},
    {"ComplexCreate order 29", SpErrNoMemory, [](C c) { return SpFftComplexCreate(&c.outSpec, 29, SpFftNoDivide, 0); }},
    {"ComplexCreate flag 3", SpErrFftFlag, [](C c) { return SpFftComplexCreate(&c.outSpec, 4, 3, 0); }},
    {"RealCreate order 30", SpErrNoMemory, [](C c) { return SpFftRealCreate(&c.outSpec, 30, SpFftNoDivide, 0); }},
    {"RealCreate flag 0", SpErrFftFlag, [](C c) { return SpFftRealCreate(&c.outSpec, 6, 0, 0); }},
    {"RealInit order 12 without init", SpErrNullPointer, [](C c) { return SpFftRealInit(&c.outSpec, 12, SpFftDivInvByN, 0, c.memory.data(), nullptr); }},
    {"ComplexInit null out", SpErrNullPointer, [](C c) { return SpFftComplexInit(nullptr, 11, SpFftNoDivide, 0, c.memory.data(), c.memory.data() + 32768); }},
    {"ComplexInit order 31", SpErrFftOrder, [](C c) { return SpFftComplexInit(&c.outSpec, 31, SpFftNoDivide, 0, c.memory.data(), c.memory.data() + 32768); }},
    {"ComplexInit null spec memory", SpErrNullPointer, [](C c) { return SpFftComplexInit(&c.outSpec, 11, SpFftNoDivide, 0, nullptr, c.memory.data()); }},
    {"ComplexInit order 11 without init", SpErrNullPointer, [](C c) { return SpFftComplexInit(&c.outSpec, 11, SpFftNoDivide, 0, c.memory.data(), nullptr); }},
    {"ComplexInit flag 3", SpErrFftFlag, [](C c) { return SpFftComplexInit(&c.outSpec, 11, 3, 0, c.memory.data(), c.memory.data() + 32768); }},
    {"RealGetBufferSize complex spec", SpErrStateMismatch, [](C c) { return SpFftRealGetBufferSize(c.cplx, &c.n1); }},
    {"RealGetBufferSize null spec", SpErrNullPointer, [](C c) { return SpFftRealGetBufferSize(nullptr, &c.n1); }},
    {"RealGetBufferSize null out", SpErrNullPointer, [](C c) { return SpFftRealGetBufferSize(c.real, nullptr); }},
    {"IirStateSize null", SpErrNullPointer, [](C) { return SpIirStateSize(1, nullptr); }},
    {"IirStateSize order 0", SpErrIirOrder, [](C c) { return SpIirStateSize(0, &c.n1); }},
    {"IirStateSize order INT32_MAX", SpErrIirOrder, [](C c) { return SpIirStateSize(INT32_MAX, &c.n1); }},
    {"IirStateSize past 2^31 bytes", SpErrIirOrder, [](C c) { return SpIirStateSize(200000000, &c.n1); }},
    {"FwdComplex null spec", SpErrNullPointer, [](C c) { return SpFftFwdComplex(reinterpret_cast<const SpComplexF32*>(c.in), reinterpret_cast<SpComplexF32*>(c.out), nullptr, nullptr); }},
    {"FwdComplex real spec, kind first", SpErrStateMismatch, [](C c) { return SpFftFwdComplex(nullptr, reinterpret_cast<SpComplexF32*>(c.out), c.real, nullptr); }},
    {"FwdComplex null src", SpErrNullPointer, [](C c) { return SpFftFwdComplex(nullptr, reinterpret_cast<SpComplexF32*>(c.out), c.cplx, nullptr); }},
    {"ComplexFree null", SpErrNullPointer, [](C) { return SpFftComplexFree(nullptr); }},
    {"ComplexFree real spec", SpErrStateMismatch, [](C c) { return SpFftComplexFree(c.real); }},
    {"FwdRealInPlace null spec", SpErrNullPointer, [](C c) { return SpFftFwdRealInPlace(c.out, nullptr, nullptr); }},
    {"FwdRealInPlace complex spec", SpErrStateMismatch, [](C c) { return SpFftFwdRealInPlace(c.out, c.cplx, nullptr); }},
    {"InvRealInPlace complex spec", SpErrStateMismatch, [](C c) { return SpFftInvRealInPlace(c.out, c.cplx, nullptr); }},
    {"FwdRealInPlace null data", SpErrNullPointer, [](C c) { return SpFftFwdRealInPlace(nullptr, c.real, nullptr); }},
    {"FwdRealToPack null dst", SpErrNullPointer, [](C c) { return SpFftFwdRealToPack(c.in, nullptr, c.real, nullptr); }},
    {"InvPackToReal null src", SpErrNullPointer, [](C c) { return SpFftInvPackToReal(nullptr, c.out, c.real, nullptr); }},
    {"FwdRealInPlace other level's spec", SpErrStateMismatch, [](C c) { return SpFftFwdRealInPlace(c.out, &c.foreignReal, nullptr); }},
    {"RealFree complex spec", SpErrStateMismatch, [](C c) { return SpFftRealFree(c.cplx); }},
    {"RealFree null", SpErrNullPointer, [](C) { return SpFftRealFree(nullptr); }},
    {"MulPackInPlace len -1", SpErrBadLength, [](C c) { return SpMulPackInPlaceF32(c.in, c.out, -1); }},
    // FIR: pointers, then tap count, then factors, then phases; sizes that need more than 31 bits.
    {"FirStateSize null", SpErrNullPointer, [](C) { return SpFirStateSize(16, nullptr); }},
    {"FirStateSize 0 taps", SpErrFirLength, [](C c) { return SpFirStateSize(0, &c.n1); }},
    {"FirStateSize INT32_MAX taps", SpErrFirLength, [](C c) { return SpFirStateSize(INT32_MAX, &c.n1); }},
    {"MultiRateSize null", SpErrNullPointer, [](C) { return SpFirMultiRateStateSize(16, 2, 1, nullptr); }},
    {"MultiRateSize 0 taps, factor 0", SpErrFirLength, [](C c) { return SpFirMultiRateStateSize(0, 0, 1, &c.n1); }},
    {"MultiRateSize up 0", SpErrFirRateFactor, [](C c) { return SpFirMultiRateStateSize(16, 0, 1, &c.n1); }},
    {"MultiRateSize down -4", SpErrFirRateFactor, [](C c) { return SpFirMultiRateStateSize(16, 1, -4, &c.n1); }},
    {"MultiRateSize INT32_MAX taps", SpErrFirLength, [](C c) { return SpFirMultiRateStateSize(INT32_MAX, 2, 1, &c.n1); }},
    {"FirInit null out", SpErrNullPointer, [](C c) { return SpFirInit(nullptr, c.in, 16, nullptr, c.memory.data()); }},
    {"FirInit null taps", SpErrNullPointer, [](C c) { return SpFirInit(&c.outFir, nullptr, 16, nullptr, c.memory.data()); }},
    {"FirInit null memory, 0 taps", SpErrNullPointer, [](C c) { return SpFirInit(&c.outFir, c.in, 0, nullptr, nullptr); }},
    {"FirInit 0 taps", SpErrFirLength, [](C c) { return SpFirInit(&c.outFir, c.in, 0, nullptr, c.memory.data()); }},
    {"MultiRateInit null memory", SpErrNullPointer, [](C c) { return SpFirMultiRateInit(&c.outFir, c.in, 16, 2, 0, 1, 0, nullptr, nullptr); }},
    {"MultiRateInit 0 taps first", SpErrFirLength, [](C c) { return SpFirMultiRateInit(&c.outFir, c.in, 0, 0, 5, 0, 5, nullptr, c.memory.data()); }},
    {"MultiRateInit down 0", SpErrFirRateFactor, [](C c) { return SpFirMultiRateInit(&c.outFir, c.in, 16, 2, 5, 0, 0, nullptr, c.memory.data()); }},
    {"MultiRateInit up phase 2", SpErrFirRatePhase, [](C c) { return SpFirMultiRateInit(&c.outFir, c.in, 16, 2, 2, 1, 0, nullptr, c.memory.data()); }},
    {"MultiRateInit up phase -1", SpErrFirRatePhase, [](C c) { return SpFirMultiRateInit(&c.outFir, c.in, 16, 2, -1, 1, 0, nullptr, c.memory.data()); }},
    {"MultiRateInit down phase 3", SpErrFirRatePhase, [](C c) { return SpFirMultiRateInit(&c.outFir, c.in, 16, 1, 0, 3, 3, nullptr, c.memory.data()); }},
    {"FirCreate null out", SpErrNullPointer, [](C c) { return SpFirCreate(nullptr, c.in, 16, nullptr); }},
    {"FirCreate null taps", SpErrNullPointer, [](C c) { return SpFirCreate(&c.outFir, nullptr, 16, nullptr); }},
    {"FirCreate -5 taps", SpErrFirLength, [](C c) { return SpFirCreate(&c.outFir, c.in, -5, nullptr); }},
    {"FirFilter null state", SpErrNullPointer, [](C c) { return SpFirFilter(c.in, c.out, 8, nullptr); }},
    {"FirFilter null src, len 0", SpErrNullPointer, [](C c) { return SpFirFilter(nullptr, c.out, 0, c.fir); }},
    {"FirFilter null dst", SpErrNullPointer, [](C c) { return SpFirFilter(c.in, nullptr, 8, c.fir); }},
    {"FirFilter len 0", SpErrBadLength, [](C c) { return SpFirFilter(c.in, c.out, 0, c.fir); }},
    {"FirFilter other level's state", SpErrStateMismatch, [](C c) { return SpFirFilter(c.in, c.out, 8, &c.foreignFir); }},
    {"FirFilter layout word 7", SpErrStateMismatch, [](C c) { return SpFirFilter(c.in, c.out, 8, &c.badLayout); }},
    {"FirFilter an IIR state", SpErrStateMismatch, [](C c) { return SpFirFilter(c.in, c.out, 8, reinterpret_cast<SpFirState*>(c.iir)); }},
    {"FirFree an IIR state", SpErrStateMismatch, [](C c) { return SpFirFree(reinterpret_cast<SpFirState*>(c.iir)); }},
    {"FilterSample index = taps", SpErrStateMismatch, [](C c) { c.phase = 8; return SpFirFilterSample(1.0f, &c.value, c.in, 8, c.out, &c.phase); }},
    {"FilterSample index -1", SpErrStateMismatch, [](C c) { return SpFirFilterSample(1.0f, &c.value, c.in, 8, c.out, &c.n1); }},
    {"FilterSample index INT32_MIN", SpErrStateMismatch, [](C c) { c.phase = INT32_MIN; return SpFirFilterSample(1.0f, &c.value, c.in, 8, c.out, &c.phase); }},
    {"FilterSample null output", SpErrNullPointer, [](C c) { return SpFirFilterSample(1.0f, nullptr, c.in, 8, c.out, &c.n1); }},
    {"FilterSample null taps, 0 taps", SpErrNullPointer, [](C c) { return SpFirFilterSample(1.0f, &c.value, nullptr, 0, c.out, &c.n1); }},
    {"FilterSample 0 taps, null line", SpErrFirLength, [](C c) { return SpFirFilterSample(1.0f, &c.value, c.in, 0, nullptr, &c.n1); }},
    {"FilterSample null line", SpErrNullPointer, [](C c) { return SpFirFilterSample(1.0f, &c.value, c.in, 8, nullptr, &c.n1); }},
    {"FilterSample null index", SpErrNullPointer, [](C c) { return SpFirFilterSample(1.0f, &c.value, c.in, 8, c.out, nullptr); }},
    // IIR: pointers, then order; filters refuse other tags and levels.
    {"IirCreate null taps, order 0", SpErrNullPointer, [](C c) { return SpIirCreate(&c.outIir, nullptr, 0, nullptr); }},
    {"IirCreate null out", SpErrNullPointer, [](C c) { return SpIirCreate(nullptr, c.in, 0, nullptr); }},
    {"IirCreate order 0", SpErrIirOrder, [](C c) { return SpIirCreate(&c.outIir, c.in, 0, nullptr); }},
    {"IirInit null memory", SpErrNullPointer, [](C c) { return SpIirInit(&c.outIir, c.in, 1, nullptr, nullptr); }},
    {"IirInit null out", SpErrNullPointer, [](C c) { return SpIirInit(nullptr, c.in, 1, nullptr, c.memory.data()); }},
    {"IirInit order -1", SpErrIirOrder, [](C c) { return SpIirInit(&c.outIir, c.in, -1, nullptr, c.memory.data()); }},
    {"IirInit past 2^31 bytes", SpErrIirOrder, [](C c) { return SpIirInit(&c.outIir, c.in, 200000000, nullptr, c.memory.data()); }},
    {"IirCreate past 2^31 bytes", SpErrIirOrder, [](C c) { return SpIirCreate(&c.outIir, c.in, 200000000, nullptr); }},
    {"IirFilter null state", SpErrNullPointer, [](C c) { return SpIirFilter(c.in, c.out, 4, nullptr); }},
    {"IirFilter null src, len 0", SpErrNullPointer, [](C c) { return SpIirFilter(nullptr, c.out, 0, c.iir); }},
    {"IirFilter len 0", SpErrBadLength, [](C c) { return SpIirFilter(c.in, c.out, 0, c.iir); }},
    {"IirFilterInPlace null data", SpErrNullPointer, [](C c) { return SpIirFilterInPlace(nullptr, 4, c.iir); }},
    {"IirFilterInPlace len -2", SpErrBadLength, [](C c) { return SpIirFilterInPlace(c.out, -2, c.iir); }},
    {"IirFilter unknown tag", SpErrStateMismatch, [](C c) { return SpIirFilter(c.in, c.out, 4, &c.badTag); }},
    {"IirFilterInPlace unknown tag", SpErrStateMismatch, [](C c) { return SpIirFilterInPlace(c.out, 4, &c.badTag); }},
    {"IirFree unknown tag", SpErrStateMismatch, [](C c) { return SpIirFree(&c.badTag); }},
    {"IirFilter other level's state", SpErrStateMismatch, [](C c) { return SpIirFilter(c.in, c.out, 4, &c.foreignIir); }},
    {"IirFree null", SpErrNullPointer, [](C) { return SpIirFree(nullptr); }},
};
// clang-format on

class SpArgumentCheckTest : public SpLevelTest
{
};

} // namespace

TEST_P(SpArgumentCheckTest, EveryRefusedCallReturnsItsStatusAndWritesNothing)
{
    Ctx ctx(Level());
    for (const CheckRow& row : kChecks)
    {
        const std::vector<uint8_t> before = ctx.Snapshot();
        EXPECT_EQ(row.want, row.run(ctx)) << row.call;
        EXPECT_EQ(before, ctx.Snapshot()) << row.call << " wrote something";
    }
}

SP_INSTANTIATE_LEVELS(SpArgumentCheckTest);
