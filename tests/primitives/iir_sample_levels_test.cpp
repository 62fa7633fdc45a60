// The one-sample IIR steps for double, complex and integer data at levels 1-3. No routine of the
// library builds their states, so the test lays them out from one set of complex taps (a0 = 1),
// in the taps or table layout each member reads, and runs every member against the transposed
// direct form II recurrence in complex double: outputs and final delay lines. The integer members
// are also held to their scaling, rounding and saturation on exact results.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <complex>
#include <vector>

#include "driver/primitives/filters/sp_iir_internal.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

typedef std::complex<double> Cd;

// ---- The reference ----

// Direct form of order n: b0 .. bn, a1 .. an; a cascade: sections of (b0, b1, b2, a1, a2).
struct Filter
{
    std::vector<Cd> b, a; // a[0] unused
};

struct Reference
{
    std::vector<Filter> stages; // one direct form, or the sections of a cascade
    std::vector<std::vector<Cd>> z;

    explicit Reference(const std::vector<Filter>& f) : stages(f)
    {
        for (const Filter& s : f)
            z.emplace_back(s.b.size(), Cd(0));
    }

    Cd Step(Cd x)
    {
        for (size_t k = 0; k < stages.size(); ++k)
        {
            const Filter& f = stages[k];
            std::vector<Cd>& d = z[k];
            const size_t n = f.b.size() - 1;
            const Cd y = f.b[0] * x + d[0];
            for (size_t i = 0; i < n; ++i)
                d[i] = f.b[i + 1] * x - f.a[i + 1] * y + d[i + 1];
            x = y;
        }
        return x;
    }
};

Filter RandomFilter(int n, bool complexTaps, TestRng& rng)
{
    Filter f;
    f.b.resize(size_t(n + 1));
    f.a.resize(size_t(n + 1));
    for (int k = 0; k <= n; ++k)
    {
        f.b[size_t(k)] = Cd(rng.Uniform(-1, 1), complexTaps ? rng.Uniform(-1, 1) : 0.0);
        if (k > 0)
            f.a[size_t(k)] =
                Cd(rng.Uniform(-0.4, 0.4), complexTaps ? rng.Uniform(-0.4, 0.4) : 0.0) / double(n);
    }
    return f;
}

// ---- States laid out as the members read them ----

struct Layout
{
    std::vector<float> taps, table;
    std::vector<double> tapsWide, tableWide;
    std::vector<double> delay; // 16-byte aligned storage for floats or doubles
    SpIirState state = {};
};

void Put(std::vector<float>& v, Cd c)
{
    v.push_back(float(c.real()));
    v.push_back(float(c.imag()));
}

// Two rows of two doubles for a complex coefficient: (cr, ci) and (ci, cr).
void PutRows(std::vector<double>& v, Cd c)
{
    v.insert(v.end(), {c.real(), c.imag(), c.imag(), c.real()});
}

void Finish(Layout& l, size_t delayDoubles)
{
    l.delay.assign(delayDoubles + 2, 0.0);
    l.state.Taps = l.taps.empty() ? reinterpret_cast<float*>(l.tapsWide.data()) : l.taps.data();
    l.state.OneSample = l.table.empty() ? reinterpret_cast<float*>(l.tableWide.data()) : l.table.data();
    l.state.Delay = reinterpret_cast<float*>(l.delay.data());
}

// Real double taps: direct form b0 .. bn, a1 .. an; cascade rows (b0, b0), (b1, b2), (-a1, -a2).
Layout RealDouble(const std::vector<Filter>& f, bool cascade)
{
    Layout l;
    if (!cascade)
    {
        for (const Cd& c : f[0].b)
            l.tapsWide.push_back(c.real());
        for (size_t k = 1; k < f[0].a.size(); ++k)
            l.tapsWide.push_back(f[0].a[k].real());
        l.state.Count = int32_t(f[0].b.size() - 1);
        Finish(l, f[0].b.size());
        return l;
    }
    for (const Filter& s : f)
        l.tableWide.insert(l.tableWide.end(), {s.b[0].real(), s.b[0].real(), s.b[1].real(), s.b[2].real(),
                                               -s.a[1].real(), -s.a[2].real()});
    l.state.Count = int32_t(2 * f.size());
    l.state.Sections = int32_t(f.size());
    Finish(l, 2 * f.size());
    return l;
}

// Complex float taps: the taps of both forms and, from order 4 or 5 sections, the tables.
Layout ComplexFloat(const std::vector<Filter>& f, bool cascade)
{
    Layout l;
    if (!cascade)
    {
        const Filter& d = f[0];
        const size_t n = d.b.size() - 1;
        for (const Cd& c : d.b)
            Put(l.taps, c);
        for (size_t k = 1; k <= n; ++k)
            Put(l.taps, d.a[k]);
        const float b0r = float(d.b[0].real()), b0i = float(d.b[0].imag());
        l.table = {b0r, b0r, -b0i, b0i};
        for (size_t i = 0; i < n; i += 2)
        {
            // Elements i and i + 1 (' and ''), the second zero past an odd order.
            const Cd b1 = d.b[i + 1], a1 = d.a[i + 1];
            const Cd b2 = i + 2 <= n ? d.b[i + 2] : Cd(0), a2 = i + 2 <= n ? d.a[i + 2] : Cd(0);
            const double rows[16] = {b1.real(),  b1.real(),  b2.real(),  b2.real(),  -b1.imag(), b1.imag(),
                                     -b2.imag(), b2.imag(),  -a1.real(), -a1.imag(), -a2.real(), -a2.imag(),
                                     a1.imag(),  -a1.real(), a2.imag(),  -a2.real()};
            for (double r : rows)
                l.table.push_back(float(r));
        }
        l.state.Count = int32_t(n);
        Finish(l, n + 1);
        return l;
    }
    for (const Filter& s : f)
    {
        for (int k = 0; k < 3; ++k)
            Put(l.taps, s.b[size_t(k)]);
        Put(l.taps, s.a[1]);
        Put(l.taps, s.a[2]);
        const Cd b0 = s.b[0], b1 = s.b[1], b2 = s.b[2], a1 = s.a[1], a2 = s.a[2];
        const double rows[20] = {b0.real(),  b0.imag(), -b0.imag(), b0.real(),  b1.real(),
                                 b1.imag(),  b2.real(), b2.imag(),  -b1.imag(), b1.real(),
                                 -b2.imag(), b2.real(), -a1.real(), -a1.imag(), -a2.real(),
                                 -a2.imag(), a1.imag(), -a1.real(), a2.imag(),  -a2.real()};
        for (double r : rows)
            l.table.push_back(float(r));
    }
    l.state.Count = int32_t(2 * f.size());
    l.state.Sections = int32_t(f.size());
    Finish(l, 2 * f.size());
    return l;
}

// Complex double tables: b0, then b(i + 1) and -a(i + 1) a delay element; or b0, b1, b2, -a1,
// -a2 a section.
Layout ComplexDouble(const std::vector<Filter>& f, bool cascade)
{
    Layout l;
    if (!cascade)
    {
        const Filter& d = f[0];
        const size_t n = d.b.size() - 1;
        PutRows(l.tableWide, d.b[0]);
        for (size_t i = 1; i <= n; ++i)
        {
            PutRows(l.tableWide, d.b[i]);
            PutRows(l.tableWide, -d.a[i]);
        }
        l.state.Count = int32_t(n);
        Finish(l, 2 * (n + 1));
        return l;
    }
    for (const Filter& s : f)
        for (const Cd& c : {s.b[0], s.b[1], s.b[2], -s.a[1], -s.a[2]})
            PutRows(l.tableWide, c);
    l.state.Sections = int32_t(f.size());
    Finish(l, 4 * f.size());
    return l;
}

// ---- The members of one level ----

#define SP_SAMPLE_MEMBERS(L)                                                                                 \
    {                                                                                                        \
        SpIirDirectOneKernelComplexF32_##L, SpIirBiquadOneKernelComplexF32_##L, SpIirDirectOneKernelF64_##L, \
            SpIirBiquadOneKernelF64_##L, SpIirDirectOneKernelF64F32_##L,                                     \
            SpIirDirectOneKernelF64F32WithY_##L, SpIirBiquadOneKernelF64F32_##L,                             \
            SpIirDirectOneKernelComplexF64_##L, SpIirBiquadOneKernelComplexF64_##L,                          \
            SpIirDirectOneKernelComplexF64F32_##L, SpIirDirectOneKernelComplexF64F32WithY_##L,               \
            SpIirBiquadOneKernelComplexF64F32_##L, SpIirDirectOneKernelI16_##L,                              \
            SpIirDirectOneKernelI16WithY_##L, SpIirBiquadOneKernelI16_##L,                                   \
            SpIirDirectOneKernelComplexI16_##L, SpIirDirectOneKernelComplexI16WithY_##L,                     \
            SpIirBiquadOneKernelComplexI16_##L, SpIirDirectOneKernelF64I16_##L,                              \
            SpIirDirectOneKernelF64I16WithY_##L, SpIirBiquadOneKernelF64I16_##L,                             \
            SpIirDirectOneKernelF64I32_##L, SpIirDirectOneKernelF64I32WithY_##L,                             \
            SpIirBiquadOneKernelF64I32_##L, SpIirDirectOneKernelComplexF64I16_##L,                           \
            SpIirDirectOneKernelComplexF64I16WithY_##L, SpIirBiquadOneKernelComplexF64I16_##L,               \
            SpIirDirectOneKernelComplexF64I32_##L, SpIirDirectOneKernelComplexF64I32WithY_##L,               \
            SpIirBiquadOneKernelComplexF64I32_##L                                                            \
    }

struct Members
{
    void (*DirectC32)(const float*, float*, SpIirState*);
    void (*BiquadC32)(const float*, float*, SpIirState*);
    void (*DirectF64)(const double*, double*, SpIirState*);
    void (*BiquadF64)(const double*, double*, SpIirState*);
    void (*DirectF64F32)(const float*, float*, SpIirState*);
    void (*DirectF64F32WithY)(const float*, float*, double*, SpIirState*);
    void (*BiquadF64F32)(const float*, float*, SpIirState*);
    void (*DirectC64)(const double*, double*, SpIirState*);
    void (*BiquadC64)(const double*, double*, SpIirState*);
    void (*DirectC64F32)(const float*, float*, SpIirState*);
    void (*DirectC64F32WithY)(const float*, float*, double*, SpIirState*);
    void (*BiquadC64F32)(const float*, float*, SpIirState*);
    void (*DirectI16)(const int16_t*, int16_t*, SpIirState*, int32_t);
    void (*DirectI16WithY)(const int16_t*, int16_t*, float*, SpIirState*, int32_t);
    void (*BiquadI16)(const int16_t*, int16_t*, SpIirState*, int32_t);
    void (*DirectC16)(const int16_t*, int16_t*, SpIirState*, int32_t);
    void (*DirectC16WithY)(const int16_t*, int16_t*, float*, SpIirState*, int32_t);
    void (*BiquadC16)(const int16_t*, int16_t*, SpIirState*, int32_t);
    void (*DirectF64I16)(const int16_t*, int16_t*, SpIirState*, int32_t);
    void (*DirectF64I16WithY)(const int16_t*, int16_t*, double*, SpIirState*, int32_t);
    void (*BiquadF64I16)(const int16_t*, int16_t*, SpIirState*, int32_t);
    void (*DirectF64I32)(const int32_t*, int32_t*, SpIirState*, int32_t);
    void (*DirectF64I32WithY)(const int32_t*, int32_t*, double*, SpIirState*, int32_t);
    void (*BiquadF64I32)(const int32_t*, int32_t*, SpIirState*, int32_t);
    void (*DirectC64I16)(const int16_t*, int16_t*, SpIirState*, int32_t);
    void (*DirectC64I16WithY)(const int16_t*, int16_t*, double*, SpIirState*, int32_t);
    void (*BiquadC64I16)(const int16_t*, int16_t*, SpIirState*, int32_t);
    void (*DirectC64I32)(const int32_t*, int32_t*, SpIirState*, int32_t);
    void (*DirectC64I32WithY)(const int32_t*, int32_t*, double*, SpIirState*, int32_t);
    void (*BiquadC64I32)(const int32_t*, int32_t*, SpIirState*, int32_t);
};

const Members kMembers[3] = {SP_SAMPLE_MEMBERS(L1), SP_SAMPLE_MEMBERS(L2), SP_SAMPLE_MEMBERS(L3)};

class IirSampleLevelsTest : public SpLevelTest
{
protected:
    void SetUp() override
    {
        SpLevelTest::SetUp();
        if (Level() == 0 && !IsSkipped())
            GTEST_SKIP() << "the generic build has no one-sample steps for these data";
    }
    const Members& M() const { return kMembers[Level() - 1]; }
};
SP_INSTANTIATE_LEVELS(IirSampleLevelsTest);

// Runs 48 samples through a member (as complex values; real input for real taps) and the
// reference together; `tol` is relative to the largest reference output.
template <class StepFn>
void ExpectFollows(const std::vector<Filter>& f, Layout& l, StepFn step, double tol, const char* what)
{
    Reference ref(f);
    TestRng rng(99);
    std::vector<Cd> got, want;
    double peak = 1e-30;
    for (int t = 0; t < 48; ++t)
    {
        const double re = rng.Uniform(-1, 1), im = rng.Uniform(-1, 1);
        const Cd x(re, f[0].b[0].imag() == 0.0 ? 0.0 : im);
        want.push_back(ref.Step(x));
        got.push_back(step(x, l));
        peak = std::max(peak, std::abs(want.back()));
    }
    for (size_t t = 0; t < got.size(); ++t)
        ASSERT_LE(std::abs(got[t] - want[t]), tol * peak) << what << " sample " << t;
}

} // namespace

// Double and complex steps, direct form of orders 0 to 9 (odd and even, below and from 4 for the
// complex float tables), against the complex double recurrence, and the delay line left behind.
TEST_P(IirSampleLevelsTest, DirectFormStepsFollowTheRecursion)
{
    const Members& m = M();
    TestRng rng(7211);
    for (int n = 0; n <= 9; ++n)
    {
        const std::vector<Filter> real = {RandomFilter(n, false, rng)};
        const std::vector<Filter> cplx = {RandomFilter(n, true, rng)};
        Layout d = RealDouble(real, false);
        ExpectFollows(
            real, d,
            [&](Cd x, Layout& l)
            {
                const double in = x.real();
                double y;
                m.DirectF64(&in, &y, &l.state);
                return Cd(y);
            },
            1e-13, "double");
        Layout w = RealDouble(real, false);
        ExpectFollows(
            real, w,
            [&](Cd x, Layout& l)
            {
                const float in = float(x.real());
                float y;
                double wide;
                m.DirectF64F32WithY(&in, &y, &wide, &l.state);
                EXPECT_EQ(y, float(wide));
                return Cd(wide);
            },
            1e-6, "float through double taps");
        Layout c = ComplexFloat(cplx, false);
        ExpectFollows(
            cplx, c,
            [&](Cd x, Layout& l)
            {
                const float in[2] = {float(x.real()), float(x.imag())};
                float y[2];
                m.DirectC32(in, y, &l.state);
                return Cd(y[0], y[1]);
            },
            2e-6 * (n + 1), "complex float");
        Layout cd = ComplexDouble(cplx, false);
        ExpectFollows(
            cplx, cd,
            [&](Cd x, Layout& l)
            {
                const double in[2] = {x.real(), x.imag()};
                double y[2];
                m.DirectC64(in, y, &l.state);
                return Cd(y[0], y[1]);
            },
            1e-13, "complex double");
        Layout cw = ComplexDouble(cplx, false);
        ExpectFollows(
            cplx, cw,
            [&](Cd x, Layout& l)
            {
                const float in[2] = {float(x.real()), float(x.imag())};
                float y[2];
                double wide[2];
                m.DirectC64F32WithY(in, y, wide, &l.state);
                EXPECT_EQ(y[0], float(wide[0]));
                EXPECT_EQ(y[1], float(wide[1]));
                return Cd(wide[0], wide[1]);
            },
            1e-6, "complex float through complex double taps");
        // The delay line the complex double step leaves is the recursion's state.
        Reference again(cplx);
        TestRng xs(99);
        for (int t = 0; t < 48; ++t)
        {
            const double re = xs.Uniform(-1, 1), im = xs.Uniform(-1, 1);
            again.Step(Cd(re, im));
        }
        for (int i = 0; i <= n; ++i)
        {
            EXPECT_NEAR(cd.delay[size_t(2 * i)], again.z[0][size_t(i)].real(), 1e-12) << "order " << n;
            EXPECT_NEAR(cd.delay[size_t(2 * i + 1)], again.z[0][size_t(i)].imag(), 1e-12) << "order " << n;
        }
    }
}

// Cascades of 1 to 6 sections (the complex float step switches to its table at 5).
TEST_P(IirSampleLevelsTest, CascadeStepsFollowTheRecursion)
{
    const Members& m = M();
    TestRng rng(7214);
    for (int sections = 1; sections <= 6; ++sections)
    {
        std::vector<Filter> real, cplx;
        for (int k = 0; k < sections; ++k)
        {
            real.push_back(RandomFilter(2, false, rng));
            cplx.push_back(RandomFilter(2, true, rng));
        }
        Layout d = RealDouble(real, true);
        ExpectFollows(
            real, d,
            [&](Cd x, Layout& l)
            {
                const double in = x.real();
                double y;
                m.BiquadF64(&in, &y, &l.state);
                return Cd(y);
            },
            1e-13, "double");
        Layout f = RealDouble(real, true);
        ExpectFollows(
            real, f,
            [&](Cd x, Layout& l)
            {
                const float in = float(x.real());
                float y;
                m.BiquadF64F32(&in, &y, &l.state);
                return Cd(y);
            },
            1e-6, "float through double taps");
        Layout c = ComplexFloat(cplx, true);
        ExpectFollows(
            cplx, c,
            [&](Cd x, Layout& l)
            {
                const float in[2] = {float(x.real()), float(x.imag())};
                float y[2];
                m.BiquadC32(in, y, &l.state);
                return Cd(y[0], y[1]);
            },
            4e-6 * sections, "complex float");
        for (bool narrow : {false, true})
        {
            Layout cd = ComplexDouble(cplx, true);
            ExpectFollows(
                cplx, cd,
                [&](Cd x, Layout& l)
                {
                    if (narrow)
                    {
                        const float in[2] = {float(x.real()), float(x.imag())};
                        float y[2];
                        m.BiquadC64F32(in, y, &l.state);
                        return Cd(y[0], y[1]);
                    }
                    const double in[2] = {x.real(), x.imag()};
                    double y[2];
                    m.BiquadC64(in, y, &l.state);
                    return Cd(y[0], y[1]);
                },
                narrow ? 1e-6 : 1e-13, "complex double");
        }
    }
}

// The integer members through an order-0 direct form (y = b0 x) and a one-section cascade that
// passes its input through times b0: exact results, so scaling, ties to even and saturation show
// alone; the WithY members keep the unscaled y whatever the integer output does.
TEST_P(IirSampleLevelsTest, IntegerEndsScaleRoundAndSaturate)
{
    const Members& m = M();
    struct Case
    {
        double b0;
        int32_t x, scale;
        int64_t want; // before 16- or 32-bit saturation
    };
    const Case cases[] = {
        {1, 3, 1, 2},
        {1, 5, 1, 2},
        {1, 7, 1, 4},
        {1, -5, 1, -2},
        {1, 300, -2, 1200},
        {4, 10000, 0, 40000},
        {-4, 10000, 0, -40000},
        {1, 123, 0, 123},
        {2.5, 1, 0, 2},
        {3.5, 1, 0, 4},
        {-2.5, 1, 0, -2},
        {65536, 30000, 0, int64_t(30000) * 65536},
        {1e6, -30000, 0, int64_t(-3e10)},
    };
    auto sat = [](int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : (v > hi ? hi : v); };
    for (const Case& c : cases)
    {
        Filter f;
        f.b = {Cd(c.b0)};
        f.a = {Cd(0)};
        Filter section;
        section.b = {Cd(c.b0), Cd(0), Cd(0)};
        section.a = {Cd(0), Cd(0), Cd(0)};
        const int16_t x16 = int16_t(c.x);
        const int16_t pair16[2] = {x16, int16_t(-c.x)};
        const int32_t pair32[2] = {c.x, -c.x};
        const int64_t w16 = sat(c.want, -32768, 32767), n16 = sat(-c.want, -32768, 32767);
        const int64_t w32 = sat(c.want, INT32_MIN, INT32_MAX), n32 = sat(-c.want, INT32_MIN, INT32_MAX);
        const double y = c.b0 * c.x;
        SCOPED_TRACE(testing::Message() << "b0 " << c.b0 << " x " << c.x << " s " << c.scale);

        // 16-bit data with float taps (the float steps' state: taps and the one-sample rows).
        std::vector<float> taps = {float(c.b0), 0.0f};
        alignas(16) float rows[8] = {float(c.b0), 0, 0, 0, 0, 0, 0, 0};
        alignas(16) float delay[4] = {};
        SpIirState s = {};
        s.Taps = taps.data();
        s.Delay = delay;
        s.OneSample = rows;
        s.Sections = 1;
        int16_t out16 = 0, outPair16[2] = {};
        float yFloat = 0;
        m.DirectI16(&x16, &out16, &s, c.scale);
        EXPECT_EQ(out16, w16);
        m.DirectI16WithY(&x16, &out16, &yFloat, &s, c.scale);
        EXPECT_EQ(out16, w16);
        EXPECT_EQ(yFloat, float(y));
        m.BiquadI16(&x16, &out16, &s, c.scale);
        EXPECT_EQ(out16, w16);

        // Complex 16-bit data with complex float taps.
        Layout cf = ComplexFloat({f}, false);
        float yPair[2] = {};
        m.DirectC16(pair16, outPair16, &cf.state, c.scale);
        EXPECT_EQ(outPair16[0], w16);
        EXPECT_EQ(outPair16[1], n16);
        m.DirectC16WithY(pair16, outPair16, yPair, &cf.state, c.scale);
        EXPECT_EQ(yPair[0], float(y));
        Layout cfs = ComplexFloat({section}, true);
        m.BiquadC16(pair16, outPair16, &cfs.state, c.scale);
        EXPECT_EQ(outPair16[0], w16);
        EXPECT_EQ(outPair16[1], n16);

        // Double taps, 16- and 32-bit data.
        Layout rd = RealDouble({f}, false), rs = RealDouble({section}, true);
        double yWide = 0;
        int32_t out32 = 0, outPair32[2] = {};
        m.DirectF64I16(&x16, &out16, &rd.state, c.scale);
        EXPECT_EQ(out16, w16);
        m.DirectF64I16WithY(&x16, &out16, &yWide, &rd.state, c.scale);
        EXPECT_EQ(yWide, y);
        m.BiquadF64I16(&x16, &out16, &rs.state, c.scale);
        EXPECT_EQ(out16, w16);
        m.DirectF64I32(&c.x, &out32, &rd.state, c.scale);
        EXPECT_EQ(out32, w32);
        m.DirectF64I32WithY(&c.x, &out32, &yWide, &rd.state, c.scale);
        EXPECT_EQ(out32, w32);
        EXPECT_EQ(yWide, y);
        m.BiquadF64I32(&c.x, &out32, &rs.state, c.scale);
        EXPECT_EQ(out32, w32);

        // Complex double taps, complex 16- and 32-bit data.
        Layout cd = ComplexDouble({f}, false), cs = ComplexDouble({section}, true);
        double yPairWide[2] = {};
        m.DirectC64I16(pair16, outPair16, &cd.state, c.scale);
        EXPECT_EQ(outPair16[0], w16);
        EXPECT_EQ(outPair16[1], n16);
        m.DirectC64I16WithY(pair16, outPair16, yPairWide, &cd.state, c.scale);
        EXPECT_EQ(yPairWide[0], y);
        m.BiquadC64I16(pair16, outPair16, &cs.state, c.scale);
        EXPECT_EQ(outPair16[1], n16);
        m.DirectC64I32(pair32, outPair32, &cd.state, c.scale);
        EXPECT_EQ(outPair32[0], w32);
        EXPECT_EQ(outPair32[1], n32);
        m.DirectC64I32WithY(pair32, outPair32, yPairWide, &cd.state, c.scale);
        EXPECT_EQ(yPairWide[1], -y);
        m.BiquadC64I32(pair32, outPair32, &cs.state, c.scale);
        EXPECT_EQ(outPair32[0], w32);
        EXPECT_EQ(outPair32[1], n32);
    }
}

// A scale change between samples touches only the output: the delay line holds unscaled values,
// so a 16-bit member over a real filter gives the float step's output times 2^-s, rounded.
TEST_P(IirSampleLevelsTest, IntegerMembersKeepAnUnscaledDelayLine)
{
    const Members& m = M();
    TestRng rng(7210);
    const std::vector<Filter> f = {RandomFilter(3, false, rng)};
    Layout a = RealDouble(f, false), b = RealDouble(f, false);
    for (int t = 0; t < 40; ++t)
    {
        const int16_t x = int16_t(rng.Uniform(-20000, 20000));
        const int32_t scale = t % 3 - 1;
        double exact = 0;
        int16_t got = 0;
        const double in = x;
        m.DirectF64(&in, &exact, &a.state);
        m.DirectF64I16(&x, &got, &b.state, scale);
        const double want = nearbyint(std::min(32767.0, std::max(-32768.0, ldexp(exact, -scale))));
        ASSERT_EQ(got, want) << "sample " << t;
    }
}
