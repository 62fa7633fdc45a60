// The one-sample FIR filter at every level against a double-precision convolution, with the
// delay line at several alignments; below 17 taps the level kernels against the plain
// single-precision sum bit for bit; the doubled line's invariant and the index wrap; the
// argument checks (nothing changes on an error); and the complex kernel against complex
// arithmetic in double.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <complex>
#include <vector>

#include "driver/primitives/filters/sp_fir.h"
#include "driver/primitives/filters/sp_fir_internal.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

class FirSampleLevelsTest : public SpLevelTest
{
};
SP_INSTANTIATE_LEVELS(FirSampleLevelsTest);

typedef void (*SampleKernelFn)(const float*, float*, const float*, int64_t, float*, int32_t*);

SampleKernelFn ComplexKernelOf(int32_t level)
{
    return level == 1
               ? SpFirFilterSampleKernelComplexF32_L1
               : (level == 2 ? SpFirFilterSampleKernelComplexF32_L2 : SpFirFilterSampleKernelComplexF32_L3);
}

std::vector<float> Random(size_t n, uint32_t seed)
{
    TestRng rng(seed);
    std::vector<float> v(n);
    for (float& x : v)
        x = float(rng.Uniform(-1.0, 1.0));
    return v;
}

} // namespace

// Every tap count around the switch to lane sums, a delay line on and off 16-byte boundaries
// (and off 4 bytes), against y[t] = sum of h[k] x[t - k] in double; below 17 taps at levels
// 1-3 the output is the single-precision running sum in window order, bit for bit.
TEST_P(FirSampleLevelsTest, FollowsTheConvolutionAtEveryTapCountAndAlignment)
{
    for (int32_t n : {1, 2, 3, 4, 5, 15, 16, 17, 18, 19, 20, 23, 24, 31, 33, 64})
    {
        const std::vector<float> h = Random(size_t(n), uint32_t(n));
        const std::vector<float> x = Random(3 * size_t(n) + 40, uint32_t(n) + 100);
        for (size_t offset : {0, 4, 8, 12, 2})
        {
            GuardedBuffer<float> line(2 * size_t(n), offset);
            memset(line.data(), 0, 8 * size_t(n));
            int32_t index = 0;
            double absSum = 0.0;
            for (float t : h)
                absSum += fabs(t);
            for (size_t t = 0; t < x.size(); ++t)
            {
                float y = -9.0f;
                ASSERT_EQ(SpFirFilterSample(x[t], &y, h.data(), n, line.data(), &index), SpOk);
                double want = 0.0;
                float plain = 0.0f;
                for (int32_t k = n - 1; k >= 0; --k)
                {
                    const float in = t >= size_t(k) ? x[t - size_t(k)] : 0.0f;
                    want += double(h[size_t(k)]) * in;
                    plain += in * h[size_t(k)];
                }
                ASSERT_NEAR(y, want, 4.0 * n * 1.2e-7 * absSum) << "taps " << n << " sample " << t;
                if (Level() > 0 && n < 17)
                {
                    ASSERT_EQ(y, plain) << "taps " << n << " sample " << t;
                }
                ASSERT_EQ(index, int32_t((t + 1) % size_t(n)));
                // Slot i and slot i + n hold the same bytes (the line may lie off 4 bytes).
                ASSERT_EQ(0, memcmp(line.data(), line.data() + n, 4 * size_t(n)));
            }
            EXPECT_TRUE(line.GuardsIntact()) << "taps " << n << " offset " << offset;
        }
    }
}

// One tap: +0.0 + x h0, so a negative zero product stores +0.0, and the index stays 0.
TEST_P(FirSampleLevelsTest, OneTapIsOneProductFromPositiveZero)
{
    const float h = -2.0f;
    float line[2] = {0, 0};
    int32_t index = 0;
    float y = 1.0f;
    ASSERT_EQ(SpFirFilterSample(0.0f, &y, &h, 1, line, &index), SpOk);
    EXPECT_FALSE(signbit(y));
    EXPECT_EQ(index, 0);
    ASSERT_EQ(SpFirFilterSample(1.5f, &y, &h, 1, line, &index), SpOk);
    EXPECT_EQ(y, -3.0f);
    EXPECT_EQ(line[0], 1.5f);
    EXPECT_EQ(line[1], 1.5f);
}

// Null pointers before the tap count, the tap count before the delay line, and an index that
// belongs to no line of this many taps: each refused with nothing written.
TEST_P(FirSampleLevelsTest, RefusesBadArgumentsWritingNothing)
{
    const float taps[4] = {1, 2, 3, 4};
    struct Case
    {
        bool output, taps, line, index;
        int32_t tapCount, indexValue;
        SpStatus want;
    };
    const Case cases[] = {
        {false, true, true, true, 4, 0, SpErrNullPointer},
        {true, false, true, true, 0, 0, SpErrNullPointer},
        {true, true, true, true, 0, 0, SpErrFirLength},
        {true, true, false, true, 0, 0, SpErrFirLength},
        {true, true, false, true, 4, 0, SpErrNullPointer},
        {true, true, true, false, 4, 0, SpErrNullPointer},
        {true, true, true, true, 4, 4, SpErrStateMismatch},
        {true, true, true, true, 4, -1, SpErrStateMismatch},
        {true, true, true, true, 4, 3, SpOk},
    };
    for (const Case& c : cases)
    {
        float line[8] = {5, 5, 5, 5, 5, 5, 5, 5};
        int32_t index = c.indexValue;
        float y = 7.0f;
        const SpStatus status =
            SpFirFilterSample(1.0f, c.output ? &y : nullptr, c.taps ? taps : nullptr, c.tapCount,
                              c.line ? line : nullptr, c.index ? &index : nullptr);
        EXPECT_EQ(status, c.want) << "taps " << c.tapCount << " index " << c.indexValue;
        if (status != SpOk)
        {
            EXPECT_EQ(y, 7.0f);
            EXPECT_EQ(index, c.indexValue);
            for (float v : line)
                EXPECT_EQ(v, 5.0f);
        }
    }
}

// The complex kernel (no entry calls it) against the complex convolution in double.
TEST_P(FirSampleLevelsTest, ComplexKernelFollowsTheComplexConvolution)
{
    if (Level() == 0)
        GTEST_SKIP() << "the complex kernel has no generic build";
    const SampleKernelFn kernel = ComplexKernelOf(Level());
    for (int32_t n : {1, 2, 3, 4, 5, 6, 7, 9, 17})
    {
        const std::vector<float> h = Random(2 * size_t(n), uint32_t(n) + 7);
        const std::vector<float> x = Random(2 * (2 * size_t(n) + 9), uint32_t(n) + 70);
        std::vector<float> line(4 * size_t(n), 0.0f);
        int32_t index = 0;
        for (size_t t = 0; 2 * t < x.size(); ++t)
        {
            float y[2] = {-9, -9};
            kernel(&x[2 * t], y, h.data(), n, line.data(), &index);
            std::complex<double> want = 0.0;
            for (int32_t k = 0; k < n && size_t(k) <= t; ++k)
                want += std::complex<double>(h[2 * size_t(k)], h[2 * size_t(k) + 1]) *
                        std::complex<double>(x[2 * (t - size_t(k))], x[2 * (t - size_t(k)) + 1]);
            ASSERT_NEAR(y[0], want.real(), 1e-5 * n) << "taps " << n << " sample " << t;
            ASSERT_NEAR(y[1], want.imag(), 1e-5 * n) << "taps " << n << " sample " << t;
            ASSERT_EQ(index, int32_t((t + 1) % size_t(n)));
        }
    }
}
