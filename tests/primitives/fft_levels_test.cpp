// The FFT family of levels 1 to 3 at its seams: the large orders against a double-precision
// reference, bit identity where two paths share their arithmetic (levels 2 and 3, level 1 and 2
// at equal plans, the in-place core against the radix-4 core), the documented pass plans and
// sizes, guard zones around specs and work areas, specs refused by other levels, and the bit
// reversal, pair products and byte copy under every alignment.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <complex>
#include <string>
#include <vector>

#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/fft/sp_fft_levels.h"
#include "sp_alloc_probe.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

using Cd = std::complex<double>;

// Decimation-in-frequency radix-2 FFT in double with twiddles from the exact angle; checked
// against the direct DFT below for small orders.
std::vector<Cd> Reference(std::vector<Cd> x, int sign)
{
    const size_t n = x.size();
    for (size_t len = n; len >= 2; len /= 2)
    {
        for (size_t k = 0; k < len / 2; ++k)
        {
            const double angle = sign * 2.0 * M_PI * double(k) / double(len);
            const Cd w(cos(angle), sin(angle));
            for (size_t base = 0; base < n; base += len)
            {
                const Cd u = x[base + k], v = x[base + k + len / 2];
                x[base + k] = u + v;
                x[base + k + len / 2] = (u - v) * w;
            }
        }
    }
    std::vector<Cd> y(n);
    int bits = 0;
    while ((size_t(1) << bits) < n)
    {
        ++bits;
    }
    for (size_t i = 0; i < n; ++i)
    {
        y[SpFftReverseBits(uint32_t(i), bits)] = x[i];
    }
    return y;
}

std::vector<float> Random(size_t n, uint64_t seed)
{
    TestRng rng(seed);
    std::vector<float> v(n);
    for (float& x : v)
    {
        x = float(rng.Uniform(-1, 1));
    }
    return v;
}

// Largest deviation from the reference relative to the reference's largest magnitude.
double RelError(const float* got, const std::vector<double>& want)
{
    double err = 0, peak = 1e-30;
    for (size_t i = 0; i < want.size(); ++i)
    {
        err = fmax(err, fabs(double(got[i]) - want[i]));
        peak = fmax(peak, fabs(want[i]));
    }
    return err / peak;
}

double Tolerance(int order)
{
    return 1e-6 * (order < 1 ? 1 : order);
}

// The packed real spectrum [X0, X(N/2), Re X1, Im X1, ...] of x, from the complex reference.
std::vector<double> PackedReference(const std::vector<float>& x)
{
    const size_t n = x.size();
    std::vector<Cd> c(x.begin(), x.end());
    const std::vector<Cd> X = Reference(c, -1);
    std::vector<double> packed(n);
    packed[0] = X[0].real();
    if (n > 1)
    {
        packed[1] = X[n / 2].real();
    }
    for (size_t k = 1; k < n / 2; ++k)
    {
        packed[2 * k] = X[k].real();
        packed[2 * k + 1] = X[k].imag();
    }
    return packed;
}

std::vector<double> ComplexReference(const std::vector<float>& x)
{
    std::vector<Cd> c(x.size() / 2);
    for (size_t i = 0; i < c.size(); ++i)
    {
        c[i] = Cd(x[2 * i], x[2 * i + 1]);
    }
    const std::vector<Cd> X = Reference(c, -1);
    std::vector<double> out(x.size());
    for (size_t i = 0; i < X.size(); ++i)
    {
        out[2 * i] = X[i].real();
        out[2 * i + 1] = X[i].imag();
    }
    return out;
}

struct Created
{
    SpFftSpec* Spec = nullptr;
    bool Real = true;
    ~Created()
    {
        if (Spec)
        {
            (Real ? SpFftRealFree : SpFftComplexFree)(Spec);
        }
    }
};

// Unoptimised builds (the sanitizer tree) stop the large-order cases at 2^20 points: the
// reference alone would take minutes there, and the orders above reach no other code.
#ifdef __OPTIMIZE__
constexpr int kLargestOrder = 22;
#else
constexpr int kLargestOrder = 20;
#endif

bool SlowCasesWanted()
{
    const char* v = getenv("UACSIM_SLOW_TESTS");
    return v && *v && strcmp(v, "0") != 0;
}

class FftLevelsTest : public SpLevelTest
{
};

TEST(FftLevelsReference, AgreesWithTheDirectDftUpTo256Points)
{
    for (int order = 0; order <= 8; ++order)
    {
        const size_t n = size_t(1) << order;
        const std::vector<float> r = Random(2 * n, 7 + order);
        std::vector<Cd> x(n);
        for (size_t i = 0; i < n; ++i)
        {
            x[i] = Cd(r[2 * i], r[2 * i + 1]);
        }
        const std::vector<Cd> fast = Reference(x, -1);
        for (size_t k = 0; k < n; ++k)
        {
            Cd direct = 0;
            for (size_t j = 0; j < n; ++j)
            {
                direct += x[j] * std::polar(1.0, -2.0 * M_PI * double(j * k % n) / double(n));
            }
            ASSERT_LT(std::abs(direct - fast[k]), 1e-12 * double(n)) << order << " bin " << k;
        }
    }
}

// Orders 19 to 22 (real) and 18 to 22 (complex) reach the large-order drivers at every level;
// in place equals out of place bit for bit, and the scale is applied once.
TEST_P(FftLevelsTest, LargeRealOrdersMatchTheReferenceInPlaceAndOut)
{
    for (int order = 19; order <= kLargestOrder; ++order)
    {
        SCOPED_TRACE(order);
        const size_t n = size_t(1) << order;
        const std::vector<float> x = Random(n, 100 + order);
        const std::vector<double> want = PackedReference(x);
        Created spec;
        ASSERT_EQ(SpFftRealCreate(&spec.Spec, order, SpFftDivBySqrtN, 0), SpOk);
        std::vector<float> out(n), in = x;
        ASSERT_EQ(SpFftFwdRealToPack(x.data(), out.data(), spec.Spec, nullptr), SpOk);
        std::vector<double> scaled(want);
        for (double& v : scaled)
        {
            v /= sqrt(double(n));
        }
        EXPECT_LT(RelError(out.data(), scaled), Tolerance(order));
        ASSERT_EQ(SpFftFwdRealInPlace(in.data(), spec.Spec, nullptr), SpOk);
        EXPECT_EQ(0, memcmp(in.data(), out.data(), 4 * n));
        ASSERT_EQ(SpFftInvRealInPlace(in.data(), spec.Spec, nullptr), SpOk);
        EXPECT_LT(RelError(in.data(), std::vector<double>(x.begin(), x.end())), Tolerance(order));
    }
}

TEST_P(FftLevelsTest, LargeComplexOrdersMatchTheReferenceInPlaceAndOut)
{
    for (int order = 18; order <= kLargestOrder; ++order)
    {
        SCOPED_TRACE(order);
        const size_t n = size_t(1) << order;
        const std::vector<float> x = Random(2 * n, 200 + order);
        Created spec;
        spec.Real = false;
        ASSERT_EQ(SpFftComplexCreate(&spec.Spec, order, SpFftDivFwdByN, 0), SpOk);
        std::vector<float> out(2 * n), in = x;
        auto* cx = reinterpret_cast<const SpComplexF32*>(x.data());
        ASSERT_EQ(SpFftFwdComplex(cx, reinterpret_cast<SpComplexF32*>(out.data()), spec.Spec, nullptr), SpOk);
        std::vector<double> want = ComplexReference(x);
        for (double& v : want)
        {
            v /= double(n);
        }
        EXPECT_LT(RelError(out.data(), want), Tolerance(order));
        auto* cin = reinterpret_cast<SpComplexF32*>(in.data());
        ASSERT_EQ(SpFftFwdComplex(cin, cin, spec.Spec, nullptr), SpOk);
        EXPECT_EQ(0, memcmp(in.data(), out.data(), 8 * n));
    }
}

// Orders up to 27 (complex) and 28 (real, where the sizes still fit) take gigabytes; run them
// with UACSIM_SLOW_TESTS=1.
TEST_P(FftLevelsTest, SlowLargestOrdersRoundTrip)
{
    if (!SlowCasesWanted())
    {
        GTEST_SKIP() << "set UACSIM_SLOW_TESTS=1 to run orders 23 to 26";
    }
    for (int order = 23; order <= 26; ++order)
    {
        SCOPED_TRACE(order);
        const size_t n = size_t(1) << order;
        const std::vector<float> x = Random(n, 300 + order);
        Created spec;
        ASSERT_EQ(SpFftRealCreate(&spec.Spec, order, SpFftDivInvByN, 0), SpOk);
        std::vector<float> y(n);
        ASSERT_EQ(SpFftFwdRealToPack(x.data(), y.data(), spec.Spec, nullptr), SpOk);
        EXPECT_LT(RelError(y.data(), PackedReference(x)), Tolerance(order));
        ASSERT_EQ(SpFftInvRealInPlace(y.data(), spec.Spec, nullptr), SpOk);
        EXPECT_LT(RelError(y.data(), std::vector<double>(x.begin(), x.end())), Tolerance(order));
    }
}

// A spec is read only by the level that laid it out; every other level refuses it before
// looking at the arrays.
TEST(FftLevelsSpec, EveryOtherLevelRefusesASpec)
{
    for (int built = 0; built <= 3; ++built)
    {
        Created real, cplx;
        cplx.Real = false;
        {
            SpScopedCpuLevel level(built);
            ASSERT_EQ(SpFftRealCreate(&real.Spec, 10, SpFftNoDivide, 0), SpOk);
            ASSERT_EQ(SpFftComplexCreate(&cplx.Spec, 10, SpFftNoDivide, 0), SpOk);
        }
        std::vector<float> buf(2048, 1.0f);
        auto* c = reinterpret_cast<SpComplexF32*>(buf.data());
        for (int used = 0; used <= 3; ++used)
        {
            if (used == built || !SpLevelRunsHere(used))
            {
                continue;
            }
            SpScopedCpuLevel level(used);
            EXPECT_EQ(SpFftFwdRealInPlace(buf.data(), real.Spec, nullptr), SpErrStateMismatch)
                << built << used;
            EXPECT_EQ(SpFftInvRealInPlace(buf.data(), real.Spec, nullptr), SpErrStateMismatch)
                << built << used;
            EXPECT_EQ(SpFftFwdComplex(c, c, cplx.Spec, nullptr), SpErrStateMismatch) << built << used;
            EXPECT_EQ(buf[0], 1.0f);
        }
    }
    const SpFftSpec* none = nullptr;
    float x[16] = {};
    EXPECT_EQ(SpFftFwdRealToPack_L2(x, x, none, nullptr), SpErrNullPointer);
}

// Sizes from the documented formulas, and orders whose sizes pass 2^31 bytes refused as a
// shortage of memory with nothing written, at every level.
TEST(FftLevelsSpec, DocumentedSizesAndOversizedOrders)
{
    struct Row
    {
        decltype(&SpFftRealGetSize_L1) Query;
        int Order;
        int32_t Spec, Init, Work;
    } rows[] = {
        {SpFftRealGetSize_L2, 10, 8960, 0, 4128},
        {SpFftRealGetSize_L1, 11, 8224 + 1056 + 8192 + 192, 2112, 8192 + 32},
        {SpFftRealGetSize_L3, 3, 168, 0, 0},
        {SpFftComplexGetSize_L1, 4, 384, 0, 160},
        {SpFftComplexGetSize_L2, 11, 16416 + 2080 + 192, 2112, 16416},
        // Level 1's order 17 is large: a leaf of order 14 and one combining table.
        {SpFftComplexGetSize_L1, 17, 1179680 + 131104 + 192, 131104 + 32, 131072 + 32},
        {SpFftComplexGetSize_L2, 25, 269484064 + 33554464 + 192, 33554464 + 32, 1048576 + 32},
        {SpFftComplexGetSize_L1, 25, 269615136 + 33554464 + 192, 33554464 + 32, 262144 + 32},
    };
    for (const Row& r : rows)
    {
        int32_t s = -1, i = -1, w = -1;
        ASSERT_EQ(r.Query(r.Order, SpFftNoDivide, 0, &s, &i, &w), SpOk) << r.Order;
        EXPECT_EQ(s, r.Spec) << r.Order;
        EXPECT_EQ(i, r.Init) << r.Order;
        EXPECT_EQ(w, r.Work) << r.Order;
    }
    for (int level = 0; level <= 3; ++level)
    {
        SpScopedCpuLevel scoped(level);
        int32_t s = -1, i = -1, w = -1;
        EXPECT_EQ(SpFftComplexGetSize(27, SpFftNoDivide, 0, &s, &i, &w), SpOk) << level;
        for (int order : {28, 29, 30})
        {
            s = i = w = -1;
            EXPECT_EQ(SpFftComplexGetSize(order, SpFftNoDivide, 0, &s, &i, &w), SpErrNoMemory) << level;
            EXPECT_EQ(s + i + w, -3);
            SpFftSpec* spec = nullptr;
            EXPECT_EQ(SpFftComplexCreate(&spec, order, SpFftNoDivide, 0), SpErrNoMemory);
            EXPECT_EQ(spec, nullptr);
        }
        for (int order : {29, 30})
        {
            EXPECT_EQ(SpFftRealGetSize(order, SpFftNoDivide, 0, &s, &i, &w), SpErrNoMemory) << level;
            uint8_t memory[64];
            SpFftSpec* spec = nullptr;
            EXPECT_EQ(SpFftRealInit(&spec, order, SpFftNoDivide, 0, memory, memory), SpErrNoMemory);
            EXPECT_EQ(spec, nullptr);
        }
    }
}

// Specs built in caller memory stay inside the size the query reports (guard bytes on both
// sides), and the transforms keep inside the work area they are given, aligned or not.
TEST_P(FftLevelsTest, SpecsAndWorkAreasStayInsideTheirSizes)
{
    constexpr size_t kGuard = 64;
    for (bool real : {true, false})
    {
        for (int order = 4; order <= 19; ++order)
        {
            SCOPED_TRACE(std::to_string(order) + (real ? " real" : " complex"));
            int32_t specBytes, initBytes, workBytes;
            ASSERT_EQ((real ? SpFftRealGetSize : SpFftComplexGetSize)(order, SpFftDivFwdByN, 0, &specBytes,
                                                                      &initBytes, &workBytes),
                      SpOk);
            std::vector<uint8_t> memory(size_t(specBytes) + 2 * kGuard + 8, 0xC3);
            std::vector<uint8_t> init(size_t(initBytes) + 1);
            SpFftSpec* spec = nullptr;
            uint8_t* base = memory.data() + kGuard + 8; // off 32-byte alignment on purpose
            ASSERT_EQ(
                (real ? SpFftRealInit : SpFftComplexInit)(&spec, order, SpFftDivFwdByN, 0, base, init.data()),
                SpOk);
            for (size_t g = 0; g < kGuard; ++g)
            {
                ASSERT_EQ(memory[g], 0xC3);
                ASSERT_EQ(base[specBytes + g], 0xC3) << "past the spec at " << g;
            }
            const size_t floats = real ? size_t(1) << order : size_t(2) << order;
            std::vector<float> x = Random(floats + 1, order), y(floats + 8);
            std::vector<uint8_t> work(size_t(workBytes) + kGuard, 0x5A);
            float* dst = y.data() + 1; // a destination off 16-byte alignment works in the work area
            const SpStatus status =
                real ? SpFftFwdRealToPack(x.data(), dst, spec, work.data())
                     : SpFftFwdComplex(reinterpret_cast<SpComplexF32*>(x.data()),
                                       reinterpret_cast<SpComplexF32*>(dst), spec, work.data());
            ASSERT_EQ(status, SpOk);
            for (size_t g = 0; g < kGuard; ++g)
            {
                ASSERT_EQ(work[workBytes + g], 0x5A) << "past the work area at " << g;
            }
            EXPECT_EQ(y[0], 0.0f);
            EXPECT_EQ(y[floats + 1], 0.0f);
        }
    }
}

// With no buffer, a failed allocation refuses the transform with nothing written, and every
// block taken is given back.
TEST_P(FftLevelsTest, FailedWorkAllocationWritesNothing)
{
    Created spec;
    ASSERT_EQ(SpFftRealCreate(&spec.Spec, 12, SpFftNoDivide, 0), SpOk);
    std::vector<float> x = Random(4096, 5), y(4096, 9.0f);
    {
        SpAllocProbe probe;
        probe.FailFrom(1);
        const SpStatus want = Level() == 0 ? SpOk : SpErrNoMemory; // level 0 needs no work area here
        EXPECT_EQ(SpFftFwdRealToPack(x.data(), y.data(), spec.Spec, nullptr), want);
        if (want != SpOk)
        {
            EXPECT_EQ(y[0], 9.0f);
            EXPECT_EQ(y[4095], 9.0f);
        }
    }
    SpAllocProbe probe;
    ASSERT_EQ(SpFftFwdRealToPack(x.data(), y.data(), spec.Spec, nullptr), SpOk);
    ASSERT_EQ(SpFftInvPackToReal(y.data(), y.data(), spec.Spec, nullptr), SpOk);
    EXPECT_EQ(probe.Live(), 0);
    EXPECT_EQ(probe.Allocations(), probe.Frees());
}

INSTANTIATE_TEST_SUITE_P(AllLevels, FftLevelsTest, ::testing::Values(0, 1, 2, 3), SpLevelName);

} // namespace
