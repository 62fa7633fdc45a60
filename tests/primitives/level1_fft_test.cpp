// The level-1 real FFT against its documented values: the order-3 impulse, the in-place and
// copying bit reversals of the 2^16 path, the refusal of other levels' specs, the work buffer
// taken from its first 32-byte boundary, and the packed product's DC, Nyquist and pairs. The
// transforms of every order against the reference and their round trips are the FFT tests'
// level-1 rows (the pack transforms follow the spec's level).
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <math.h>

#include <vector>

#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_level_tables.h"
#include "driver/primitives/level1/sp_fft_level1.h"
#include "sp_level_fixture.h"

namespace
{

struct Spec
{
    SpFftSpec* p = nullptr;
    Spec(int32_t order, int32_t flag = SpFftNoDivide)
    {
        EXPECT_EQ(SpOk, SpFftRealCreate_L1(&p, order, flag, 0));
    }
    ~Spec() { SpFftRealFree_L0(p); }
};

std::vector<float> Noise(size_t n)
{
    std::vector<float> v(n);
    uint32_t s = 12345;
    for (float& x : v)
    {
        s = s * 1664525u + 1013904223u;
        x = float(int32_t(s >> 8) - (1 << 23)) / float(1 << 23);
    }
    return v;
}

TEST(SpFftLevel1Test, ImpulseOfOrder3AndSmallKernels)
{
    Spec spec(3);
    const float x[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    float y[8];
    ASSERT_EQ(SpOk, SpFftFwdRealToPack_L1(x, y, spec.p, nullptr));
    const float want[8] = {1, 1, 1, 0, 1, 0, 1, 0};
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(want[k], y[k]) << k;
    // Order 1 gives sum and difference; order 0 with 1/N scaling the element itself.
    Spec one(1), zero(0, SpFftDivFwdByN);
    const float p[2] = {3, 5};
    ASSERT_EQ(SpOk, SpFftFwdRealToPack_L1(p, y, one.p, nullptr));
    EXPECT_EQ(8.0f, y[0]);
    EXPECT_EQ(-2.0f, y[1]);
    ASSERT_EQ(SpOk, SpFftFwdRealToPack_L1(p, y, zero.p, nullptr));
    EXPECT_EQ(3.0f, y[0]);
}

// Every entry of every level's column of the small-order kernel table against a double-precision
// packed transform (forward with the negative exponent, inverse unnormalised, the scaled entries
// times their scale), on noise and on the impulse whose order-3 spectrum is 1,1,1,0,1,0,1,0.
TEST(SpFftLevel1Test, KernelTableEntriesGiveThePackedTransforms)
{
    // Packed value p (DC, Nyquist, then re and im of bins 1 .. n/2 - 1) against sample m.
    auto basis = [](int32_t p, int32_t m, int32_t n)
    {
        const double w = 2 * 3.14159265358979323846 * (p < 2 ? p * n / 2 : p / 2) * m / n;
        return p >= 2 && p % 2 ? -sin(w) : cos(w);
    };
    for (const std::vector<float>& x : {Noise(8), std::vector<float>{1, 0, 0, 0, 0, 0, 0, 0}})
        for (int32_t entry = 0; entry < 64; ++entry)
        {
            const int32_t slot = entry % 16, order = slot % 4, n = 1 << order;
            const bool scaled = (slot / 4) % 2 == 1, inverse = slot >= 8;
            const float scale = scaled ? 0.375f : 1.0f;
            float y[8];
            SpFftRealRunKernel(entry / 16, inverse, order, x.data(), y, scaled, scale);
            for (int32_t i = 0; i < n; ++i)
            {
                double want = 0;
                for (int32_t t = 0; t < n; ++t)
                    want += x[t] * (inverse ? (t < 2 ? 1 : 2) * basis(t, i, n) : basis(i, t, n));
                EXPECT_NEAR(scale * want, y[i], 1e-5) << "entry " << entry << " value " << i;
            }
        }
}

TEST(SpFftLevel1Test, InPlaceAndCopyingReversalGiveOneSpectrumAtOrder17)
{
    Spec spec(17);
    const std::vector<float> x = Noise(size_t(1) << 17);
    std::vector<float> out(x.size()), in = x;
    ASSERT_EQ(SpOk, SpFftFwdRealToPack_L1(x.data(), out.data(), spec.p, nullptr));
    ASSERT_EQ(SpOk, SpFftFwdRealToPack_L1(in.data(), in.data(), spec.p, nullptr));
    EXPECT_EQ(0, memcmp(out.data(), in.data(), 4 * x.size()));
}

TEST(SpFftLevel1Test, ForeignSpecsAreRefusedBeforeThePointers)
{
    Spec mine(5);
    SpFftSpec complexSpec = *mine.p;
    complexSpec.Kind = SpFftKindComplex;
    float buf[32] = {};
    EXPECT_EQ(SpErrStateMismatch, SpFftFwdRealToPack_L1(nullptr, nullptr, &complexSpec, nullptr));
    EXPECT_EQ(SpErrNullPointer, SpFftInvPackToReal_L1(nullptr, buf, nullptr, nullptr));
    EXPECT_EQ(SpErrNullPointer, SpFftFwdRealToPack_L1(buf, nullptr, mine.p, nullptr));
    // A level-0 spec at the level-1 entry, and a level-1 spec at the level-0 and level-2 entries.
    SpFftSpec* generic = nullptr;
    ASSERT_EQ(SpOk, SpFftRealCreate_L0(&generic, 5, SpFftNoDivide, 0));
    EXPECT_EQ(SpErrStateMismatch, SpFftFwdRealInPlace_L1(buf, generic, nullptr));
    SpFftRealFree_L0(generic);
    for (int32_t level : {0, 2})
    {
        SpScopedCpuLevel at(level);
        EXPECT_EQ(SpErrStateMismatch, SpFftInvRealInPlace(buf, mine.p, nullptr)) << level;
    }
}

TEST(SpFftLevel1Test, WorkBufferStartsAtItsFirst32ByteBoundary)
{
    Spec spec(18);
    int32_t bytes = 0;
    ASSERT_EQ(SpOk, SpFftRealGetBufferSize(spec.p, &bytes));
    ASSERT_GT(bytes, 32);
    std::vector<uint8_t> raw(size_t(bytes) + 64, 0xA5);
    uint8_t* base = reinterpret_cast<uint8_t*>((uintptr_t(raw.data()) + 31) & ~uintptr_t(31));
    const std::vector<float> x = Noise(size_t(1) << 18);
    // A destination off 16-byte alignment runs the cores in the work area.
    std::vector<float> storage(x.size() + 1), ref(x.size());
    float* y = storage.data() + (uintptr_t(storage.data()) % 16 == 0 ? 1 : 0);
    ASSERT_EQ(SpOk, SpFftFwdRealToPack_L1(x.data(), y, spec.p, base + 8));
    for (int i = 8; i < 32; ++i)
        EXPECT_EQ(0xA5, base[i]) << i;
    EXPECT_NE(0, memcmp(base + 32, std::vector<uint8_t>(64, 0xA5).data(), 64));
    ASSERT_EQ(SpOk, SpFftFwdRealToPack_L1(x.data(), ref.data(), spec.p, nullptr));
    EXPECT_EQ(0, memcmp(y, ref.data(), 4 * ref.size()));
}

TEST(SpFftLevel1Test, PackedProductTakesDcNyquistThenPairs)
{
    const float src[4] = {2, 3, 4, 5};
    // Length 1: DC only; 2: DC and Nyquist; 3: DC, then one pair from the second float; 4: DC,
    // Nyquist and one pair.
    const float want[4][4] = {{14, 11, 13, 17},
                              {14, 33, 13, 17},
                              {14, 3 * 11 - 4 * 13, 3 * 13 + 4 * 11, 17},
                              {14, 33, 4 * 13 - 5 * 17, 4 * 17 + 5 * 13}};
    for (int32_t len = 1; len <= 4; ++len)
    {
        float d[4] = {7, 11, 13, 17};
        ASSERT_EQ(SpOk, SpMulPackInPlaceF32_L1(src, d, len));
        EXPECT_EQ(0, memcmp(want[len - 1], d, sizeof(d))) << len;
    }
    EXPECT_EQ(SpErrNullPointer, SpMulPackInPlaceF32_L1(nullptr, nullptr, 0));
    EXPECT_EQ(SpErrBadLength, SpMulPackInPlaceF32_L1(src, const_cast<float*>(src), 0));
}

} // namespace
