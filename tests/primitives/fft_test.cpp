// Complex and real FFT: transforms against a double-precision reference, scaling flags, packed
// layout, sizes of every order, table builders, argument checks and memory rules.
#include <math.h>
#include <string.h>

#include <complex>
#include <vector>

#include "driver/primitives/fft/sp_fft.h"
#include "driver/primitives/fft/sp_fft_internal.h"
#include "tests/primitives/sp_alloc_probe.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

using Cd = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;

// Iterative radix-2 FFT in double with every twiddle from cos/sin of its exact angle.
std::vector<Cd> ReferenceFft(std::vector<Cd> x, int sign)
{
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i)
    {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
        {
            j ^= bit;
        }
        j ^= bit;
        if (i < j)
        {
            std::swap(x[i], x[j]);
        }
    }
    for (size_t len = 2; len <= n; len <<= 1)
    {
        for (size_t k = 0; k < len / 2; ++k)
        {
            const double angle = sign * 2.0 * kPi * double(k) / double(len);
            const Cd w(cos(angle), sin(angle));
            for (size_t base = 0; base < n; base += len)
            {
                const Cd u = x[base + k];
                const Cd v = x[base + k + len / 2] * w;
                x[base + k] = u + v;
                x[base + k + len / 2] = u - v;
            }
        }
    }
    return x;
}

// Relative tolerance for a transform of 2^order points, against the largest reference value.
double Tolerance(int order)
{
    return 4e-7 * (2.0 + order / 4.0);
}

std::vector<SpComplexF32> RandomComplex(size_t n, uint64_t seed)
{
    TestRng rng(seed);
    std::vector<SpComplexF32> x(n);
    for (auto& v : x)
    {
        v.Re = float(rng.Uniform(-1, 1));
        v.Im = float(rng.Uniform(-1, 1));
    }
    return x;
}

std::vector<float> RandomReal(size_t n, uint64_t seed)
{
    TestRng rng(seed);
    std::vector<float> x(n);
    for (auto& v : x)
    {
        v = float(rng.Uniform(-1, 1));
    }
    return x;
}

double MaxAbs(const std::vector<Cd>& v)
{
    double m = 0;
    for (const Cd& c : v)
    {
        m = std::max(m, std::abs(c));
    }
    return m;
}

// The packed layout as bins 0 .. N/2.
std::vector<Cd> Unpack(const float* packed, size_t n)
{
    std::vector<Cd> bins(n / 2 + 1);
    bins[0] = packed[0];
    if (n == 1)
    {
        return bins;
    }
    bins[n / 2] = packed[1];
    for (size_t k = 1; k < n / 2; ++k)
    {
        bins[k] = Cd(packed[2 * k], packed[2 * k + 1]);
    }
    return bins;
}

std::vector<Cd> RealForwardReference(const std::vector<float>& x)
{
    std::vector<Cd> in(x.begin(), x.end());
    std::vector<Cd> full = ReferenceFft(in, -1);
    full.resize(x.size() / 2 + 1);
    return full;
}

// Inverse of a packed spectrum with the upper bins taken as conjugates.
std::vector<double> RealInverseReference(const float* packed, size_t n)
{
    const std::vector<Cd> half = Unpack(packed, n);
    std::vector<Cd> full(n);
    for (size_t k = 0; k < n; ++k)
    {
        full[k] = k <= n / 2 ? half[k] : std::conj(half[n - k]);
    }
    const std::vector<Cd> time = ReferenceFft(full, +1);
    std::vector<double> out(n);
    for (size_t j = 0; j < n; ++j)
    {
        out[j] = time[j].real();
    }
    return out;
}

double RelError(const std::vector<Cd>& got, const std::vector<Cd>& want)
{
    double err = 0;
    for (size_t i = 0; i < want.size(); ++i)
    {
        err = std::max(err, std::abs(got[i] - want[i]));
    }
    const double scale = MaxAbs(want);
    return scale > 0 ? err / scale : err;
}

struct SpecHolder
{
    SpFftSpec* Spec = nullptr;
    bool Real = false;
    ~SpecHolder()
    {
        if (Spec)
        {
            Real ? SpFftRealFree(Spec) : SpFftComplexFree(Spec);
        }
    }
};

double FlagForwardFactor(int flag, double n)
{
    return flag == SpFftDivFwdByN ? 1.0 / n : flag == SpFftDivBySqrtN ? 1.0 / sqrt(n) : 1.0;
}

double FlagInverseFactor(int flag, double n)
{
    return flag == SpFftDivInvByN ? 1.0 / n : flag == SpFftDivBySqrtN ? 1.0 / sqrt(n) : 1.0;
}

const int32_t kFlags[] = {SpFftDivFwdByN, SpFftDivInvByN, SpFftDivBySqrtN, SpFftNoDivide};

std::vector<Cd> ComplexReference(const std::vector<SpComplexF32>& x)
{
    std::vector<Cd> in(x.size());
    for (size_t i = 0; i < x.size(); ++i)
        in[i] = Cd(x[i].Re, x[i].Im);
    return ReferenceFft(in, -1);
}

// y against a reference transform times `factor`.
void ExpectScaledReference(const std::vector<SpComplexF32>& y, const std::vector<Cd>& ref, int order,
                           double factor)
{
    std::vector<Cd> got(y.size()), want(ref);
    for (size_t i = 0; i < y.size(); ++i)
        got[i] = Cd(y[i].Re, y[i].Im);
    for (Cd& v : want)
        v *= factor;
    EXPECT_LT(RelError(got, want), Tolerance(order));
}

} // namespace

// ---- Complex transform -------------------------------------------------------------------

class FftComplexTest : public SpLevelTest
{
};
SP_INSTANTIATE_LEVELS(FftComplexTest);

// Every flag up to order 14 and no scaling beyond; in place gives the same bits and an
// out-of-place transform leaves its source alone.
TEST_P(FftComplexTest, ForwardMatchesReferenceUnderEveryFlagInPlaceOrNot)
{
    for (int order = 0; order <= 18; ++order)
    {
        const size_t n = size_t(1) << order;
        const auto x = RandomComplex(n, 100 + order);
        const std::vector<Cd> ref = ComplexReference(x);
        for (int32_t flag : kFlags)
        {
            if (order > 14 && flag != SpFftNoDivide)
                continue;
            SCOPED_TRACE(testing::Message() << "order " << order << " flag " << flag);
            SpecHolder h;
            ASSERT_EQ(SpFftComplexCreate(&h.Spec, order, flag, 0), SpOk);
            std::vector<SpComplexF32> src = x, y(n), inPlace = x;
            ASSERT_EQ(SpFftFwdComplex(src.data(), y.data(), h.Spec, nullptr), SpOk);
            ASSERT_EQ(SpFftFwdComplex(inPlace.data(), inPlace.data(), h.Spec, nullptr), SpOk);
            EXPECT_EQ(memcmp(src.data(), x.data(), n * sizeof(SpComplexF32)), 0);
            EXPECT_EQ(memcmp(y.data(), inPlace.data(), n * sizeof(SpComplexF32)), 0);
            ExpectScaledReference(y, ref, order, FlagForwardFactor(flag, double(n)));
        }
    }
}

TEST_P(FftComplexTest, SmallOrdersNeitherNeedNorTouchAWorkBuffer)
{
    for (int order = 0; order <= 3; ++order)
    {
        SpecHolder h;
        ASSERT_EQ(SpFftComplexCreate(&h.Spec, order, SpFftDivFwdByN, 0), SpOk);
        EXPECT_EQ(h.Spec->WorkBytes, 0);
        GuardedBuffer<uint8_t> work(64, 0);
        memset(work.data(), 0x5A, 64);
        const auto x = RandomComplex(size_t(1) << order, order);
        std::vector<SpComplexF32> y(x.size());
        ASSERT_EQ(SpFftFwdComplex(x.data(), y.data(), h.Spec, work.data()), SpOk);
        for (int i = 0; i < 64; ++i)
        {
            ASSERT_EQ(work[i], 0x5A) << "order " << order;
        }
        EXPECT_TRUE(work.GuardsIntact());
    }
}

TEST_P(FftComplexTest, ScratchComesFromTheCallerOrFromOneTemporaryBlock)
{
    SpecHolder h;
    ASSERT_EQ(SpFftComplexCreate(&h.Spec, 14, SpFftNoDivide, 0), SpOk);
    ASSERT_GT(h.Spec->WorkBytes, 0);
    const auto x = RandomComplex(1 << 14, 3);
    std::vector<SpComplexF32> withBuffer(x.size()), withoutBuffer(x.size());
    std::vector<uint8_t> work(h.Spec->WorkBytes + 32);
    {
        SpAllocProbe probe;
        ASSERT_EQ(SpFftFwdComplex(x.data(), withBuffer.data(), h.Spec, work.data()), SpOk);
        EXPECT_EQ(probe.Allocations(), 0);
        ASSERT_EQ(SpFftFwdComplex(x.data(), withoutBuffer.data(), h.Spec, nullptr), SpOk);
        EXPECT_EQ(probe.Allocations(), 1);
        EXPECT_EQ(probe.Live(), 0);
    }
    EXPECT_EQ(memcmp(withBuffer.data(), withoutBuffer.data(), x.size() * sizeof(SpComplexF32)), 0);

    SpAllocProbe probe;
    probe.FailFrom(1);
    std::vector<SpComplexF32> untouched(x.size(), SpComplexF32{7.0f, 7.0f});
    EXPECT_EQ(SpFftFwdComplex(x.data(), untouched.data(), h.Spec, nullptr), SpErrNoMemory);
    for (const auto& v : untouched)
    {
        ASSERT_EQ(v.Re, 7.0f);
        ASSERT_EQ(v.Im, 7.0f);
    }
}

// Both kinds: a failed create leaves nothing behind; a created spec owns one block; a spec in
// caller memory works without its init buffer and is never freed, and a second free is refused.
TEST_P(FftComplexTest, FailedCreateLeavesNothingAndCallerMemoryIsNeverFreed)
{
    for (bool real : {false, true})
    {
        SCOPED_TRACE(real ? "real" : "complex");
        const auto create = real ? SpFftRealCreate : SpFftComplexCreate;
        const auto release = real ? SpFftRealFree : SpFftComplexFree;
        SpFftSpec* spec = nullptr;
        for (int failAt : {1, 2})
        {
            SpAllocProbe probe;
            probe.FailFrom(failAt);
            EXPECT_EQ(create(&spec, 11, SpFftNoDivide, 0), SpErrNoMemory) << "fail at " << failAt;
            EXPECT_EQ(probe.Live(), 0);
            EXPECT_EQ(spec, nullptr);
        }
        {
            SpAllocProbe probe;
            ASSERT_EQ(create(&spec, 11, SpFftNoDivide, 0), SpOk);
            EXPECT_EQ(probe.Allocations(), 2); // the spec record and a temporary init buffer
            EXPECT_EQ(probe.Live(), 1);
            EXPECT_EQ(spec->OwnsMemory, 1);
            EXPECT_EQ(release(spec), SpOk);
            EXPECT_EQ(probe.Live(), 0);
        }
        int32_t specBytes, initBytes, workBytes;
        ASSERT_EQ((real ? SpFftRealGetSize : SpFftComplexGetSize)(11, SpFftNoDivide, 0, &specBytes,
                                                                  &initBytes, &workBytes),
                  SpOk);
        std::vector<uint8_t> specBuffer(specBytes), initBuffer(initBytes);
        ASSERT_EQ((real ? SpFftRealInit : SpFftComplexInit)(&spec, 11, SpFftNoDivide, 0, specBuffer.data(),
                                                            initBuffer.data()),
                  SpOk);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(spec) % 32, 0u);
        initBuffer.assign(initBuffer.size(), 0xEE); // the init buffer is only needed during the build
        if (!real)
        {
            const auto x = RandomComplex(2048, 11);
            std::vector<SpComplexF32> y(2048);
            ASSERT_EQ(SpFftFwdComplex(x.data(), y.data(), spec, nullptr), SpOk);
            ExpectScaledReference(y, ComplexReference(x), 11, 1.0);
        }
        SpAllocProbe probe;
        EXPECT_EQ(release(spec), SpOk);
        EXPECT_EQ(spec->Kind, SpFftKindNone);
        EXPECT_EQ(probe.Frees(), 0);
        EXPECT_EQ(release(spec), SpErrStateMismatch);
    }
}

// ---- Real transform ----------------------------------------------------------------------

class FftRealTest : public SpLevelTest
{
};
SP_INSTANTIATE_LEVELS(FftRealTest);

// Forward and inverse (of an arbitrary packed spectrum, not one the forward made) under every
// flag up to order 14 and no scaling beyond; the in-place forms give the same bits and the
// out-of-place forms leave their sources alone.
TEST_P(FftRealTest, ForwardAndInverseMatchReferenceUnderEveryFlagInPlaceOrNot)
{
    for (int order = 0; order <= 18; ++order)
    {
        const size_t n = size_t(1) << order;
        const auto x = RandomReal(n, 200 + order);
        const auto spectrum = RandomReal(n, 300 + order);
        const std::vector<Cd> ref = RealForwardReference(x);
        const std::vector<double> refBack = RealInverseReference(spectrum.data(), n);
        for (int32_t flag : kFlags)
        {
            if (order > 14 && flag != SpFftNoDivide)
                continue;
            SCOPED_TRACE(testing::Message() << "order " << order << " flag " << flag);
            SpecHolder h;
            h.Real = true;
            ASSERT_EQ(SpFftRealCreate(&h.Spec, order, flag, 0), SpOk);
            std::vector<float> src = x, y(n), inPlace = x;
            ASSERT_EQ(SpFftFwdRealToPack(src.data(), y.data(), h.Spec, nullptr), SpOk);
            ASSERT_EQ(SpFftFwdRealInPlace(inPlace.data(), h.Spec, nullptr), SpOk);
            EXPECT_EQ(src, x);
            EXPECT_EQ(y, inPlace);
            std::vector<Cd> want = ref;
            for (Cd& v : want)
                v *= FlagForwardFactor(flag, double(n));
            EXPECT_LT(RelError(Unpack(y.data(), n), want), Tolerance(order));

            std::vector<float> back(n), backInPlace = spectrum;
            ASSERT_EQ(SpFftInvPackToReal(spectrum.data(), back.data(), h.Spec, nullptr), SpOk);
            ASSERT_EQ(SpFftInvRealInPlace(backInPlace.data(), h.Spec, nullptr), SpOk);
            EXPECT_EQ(back, backInPlace);
            const double factor = FlagInverseFactor(flag, double(n));
            double err = 0, scale = 0;
            for (size_t j = 0; j < n; ++j)
            {
                err = std::max(err, fabs(back[j] - refBack[j] * factor));
                scale = std::max(scale, fabs(refBack[j] * factor));
            }
            EXPECT_LT(err / scale, Tolerance(order));
        }
    }
}

TEST_P(FftRealTest, ImpulseAndConstantGiveTheirKnownSpectra)
{
    SpecHolder h;
    h.Real = true;
    ASSERT_EQ(SpFftRealCreate(&h.Spec, 10, SpFftDivInvByN, 0), SpOk);
    std::vector<float> impulse(1024, 0.0f);
    impulse[0] = 1.0f;
    ASSERT_EQ(SpFftFwdRealInPlace(impulse.data(), h.Spec, nullptr), SpOk);
    EXPECT_EQ(impulse[0], 1.0f);
    EXPECT_EQ(impulse[1], 1.0f);
    for (size_t k = 1; k < 512; ++k)
    {
        ASSERT_NEAR(impulse[2 * k], 1.0f, 1e-6f) << "bin " << k;
        ASSERT_NEAR(impulse[2 * k + 1], 0.0f, 1e-6f) << "bin " << k;
    }
    std::vector<float> constant(1024, 0.25f);
    ASSERT_EQ(SpFftFwdRealInPlace(constant.data(), h.Spec, nullptr), SpOk);
    EXPECT_NEAR(constant[0], 256.0f, 1e-4f);
    for (size_t i = 1; i < 1024; ++i)
    {
        ASSERT_NEAR(constant[i], 0.0f, 1e-4f) << "element " << i;
    }
}

TEST_P(FftRealTest, BufferSizeTellsWhatKeepsTransformsFromAllocating)
{
    int32_t size = -1;
    SpecHolder small;
    small.Real = true;
    ASSERT_EQ(SpFftRealCreate(&small.Spec, 10, SpFftDivInvByN, 0), SpOk);
    ASSERT_EQ(SpFftRealGetBufferSize(small.Spec, &size), SpOk);
    EXPECT_EQ(size, Level() == 0 ? 0 : 4096 + 32); // the level cores' work area is the half spectrum

    SpecHolder big;
    big.Real = true;
    ASSERT_EQ(SpFftRealCreate(&big.Spec, 15, SpFftDivInvByN, 0), SpOk);
    ASSERT_EQ(SpFftRealGetBufferSize(big.Spec, &size), SpOk);
    ASSERT_GT(size, 0);
    std::vector<uint8_t> work(size);
    std::vector<float> x = RandomReal(1 << 15, 15);
    SpAllocProbe probe;
    ASSERT_EQ(SpFftFwdRealInPlace(x.data(), big.Spec, work.data() + 1), SpOk); // any alignment
    ASSERT_EQ(SpFftInvRealInPlace(x.data(), big.Spec, work.data() + 1), SpOk);
    EXPECT_EQ(probe.Allocations(), 0);
}

TEST_P(FftRealTest, PackedProductMultipliesBinByBin)
{
    const float a[8] = {2, 3, 1, 2, -1, 4, 0.5f, -2};
    const float b[8] = {5, -1, 3, -1, 2, 2, 4, 1};
    float out[8];
    for (int32_t len : {1, 2, 5, 8})
    {
        memset(out, 0x7F, sizeof(out));
        ASSERT_EQ(SpMulPackF32(a, b, out, len), SpOk);
        EXPECT_EQ(out[0], 10.0f);
        int first = 1;
        if (len % 2 == 0)
        {
            EXPECT_EQ(out[1], -3.0f);
            first = 2;
        }
        for (int i = first; i + 1 < len; i += 2)
        {
            EXPECT_EQ(out[i], a[i] * b[i] - a[i + 1] * b[i + 1]) << "len " << len;
            EXPECT_EQ(out[i + 1], a[i] * b[i + 1] + a[i + 1] * b[i]) << "len " << len;
        }
        for (int i = len; i < 8; ++i)
        {
            EXPECT_EQ(FloatBits(out[i]), 0x7F7F7F7Fu) << "element " << i << " written for len " << len;
        }
        float inPlace[8];
        memcpy(inPlace, b, sizeof(b));
        ASSERT_EQ(SpMulPackInPlaceF32(a, inPlace, len), SpOk);
        EXPECT_EQ(memcmp(inPlace, out, len * sizeof(float)), 0);
    }
    EXPECT_EQ(SpMulPackF32(nullptr, b, out, 0), SpErrNullPointer);
    EXPECT_EQ(SpMulPackF32(a, nullptr, out, 4), SpErrNullPointer);
    EXPECT_EQ(SpMulPackF32(a, b, nullptr, 4), SpErrNullPointer);
    EXPECT_EQ(SpMulPackF32(a, b, out, 0), SpErrBadLength);
    EXPECT_EQ(SpMulPackInPlaceF32(a, out, -1), SpErrBadLength);
}

// ---- Sizes -------------------------------------------------------------------------------

// The sizes a query reports are enough: a spec and init buffer of exactly those sizes, between
// guard zones, take the spec, a transform through a work buffer of the reported size runs, and
// nothing outside the three buffers is written, for every order up to 20.
TEST(FftSize, ReportedSizesHoldEverythingTheBuildWrites)
{
    for (bool real : {false, true})
    {
        for (int order = 0; order <= 20; ++order)
        {
            int32_t specBytes = -1, initBytes = -1, workBytes = -1;
            auto query = real ? SpFftRealGetSize : SpFftComplexGetSize;
            ASSERT_EQ(query(order, SpFftDivInvByN, 0, &specBytes, &initBytes, &workBytes), SpOk);
            GuardedBuffer<uint8_t> spec(size_t(specBytes), 0), init(size_t(initBytes) + 1, 0),
                work(size_t(workBytes) + 1, 0);
            SpFftSpec* made = nullptr;
            auto build = real ? SpFftRealInit : SpFftComplexInit;
            ASSERT_EQ(
                build(&made, order, SpFftDivInvByN, 0, spec.data(), initBytes > 0 ? init.data() : nullptr),
                SpOk)
                << order;
            std::vector<float> x(size_t(2) << order, 0.5f), y(x.size());
            const SpStatus status =
                real ? SpFftFwdRealToPack(x.data(), y.data(), made, workBytes > 0 ? work.data() : nullptr)
                     : SpFftFwdComplex(reinterpret_cast<const SpComplexF32*>(x.data()),
                                       reinterpret_cast<SpComplexF32*>(y.data()), made,
                                       workBytes > 0 ? work.data() : nullptr);
            EXPECT_EQ(SpOk, status) << order;
            EXPECT_TRUE(spec.GuardsIntact() && init.GuardsIntact() && work.GuardsIntact())
                << (real ? "real" : "complex") << " order " << order;
        }
    }
}

// The documented figures; every other size is exercised by the transforms that run in it.
TEST(FftSize, DocumentedFiguresAndRefusedOrders)
{
    const struct
    {
        bool Real;
        int Order;
        int32_t Spec, Init, Work;
    } rows[] = {{false, 0, 168, 0, 0}, {false, 3, 168, 0, 0}, {false, 10, 9472, 0, 0}, {true, 0, 168, 0, 0},
                {true, 3, 168, 0, 0},  {true, 8, 2432, 0, 0}, {true, 10, 8960, 0, 0}};
    for (const auto& r : rows)
    {
        int32_t s = -1, i = -1, w = -1;
        auto query = r.Real ? SpFftRealGetSize : SpFftComplexGetSize;
        ASSERT_EQ(query(r.Order, SpFftDivInvByN, 0, &s, &i, &w), SpOk) << r.Order;
        EXPECT_EQ((std::vector<int32_t>{r.Spec, r.Init, r.Work}), (std::vector<int32_t>{s, i, w})) << r.Order;
    }
    int32_t s, i, w;
    ASSERT_EQ(SpFftComplexGetSize(11, SpFftNoDivide, 0, &s, &i, &w), SpOk);
    EXPECT_EQ(i, 2112);
    ASSERT_EQ(SpFftRealGetSize(13, SpFftNoDivide, 0, &s, &i, &w), SpOk);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(SpFftComplexGetSize(27, SpFftNoDivide, 0, &s, &i, &w), SpOk);
    for (int order : {28, 29, 30}) // sizes past 2^31 bytes are a shortage of memory, never wrapped
    {
        EXPECT_EQ(SpFftComplexGetSize(order, SpFftNoDivide, 0, &s, &i, &w), SpErrNoMemory);
    }
    EXPECT_EQ(SpFftRealGetSize(30, SpFftNoDivide, 0, &s, &i, &w), SpErrNoMemory);
}
