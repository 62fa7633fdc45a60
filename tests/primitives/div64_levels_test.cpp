// Double and complex-double division kernels at levels 1-3: doubles within 4 ulp of the correctly
// rounded quotient (exactly it in a group of eight that holds a zero, subnormal or infinite
// divisor), complex doubles within a few ulp of a long-double reference, and a zero divisor's NaN
// and flag at every position.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "driver/primitives/vectors/sp_div64_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{
// clang-format off
#define SP_LEVELS(name, k) const decltype(&k##_L1) name[] = {k##_L1, k##_L2, k##_L3}
SP_LEVELS(kF64, SpDivKernelF64); SP_LEVELS(kFc64, SpDivKernelFc64);
// clang-format on

uint64_t Bits(double d)
{
    uint64_t b;
    memcpy(&b, &d, 8);
    return b;
}

int64_t Ulps(double a, double b)
{
    const int64_t x = int64_t(Bits(a)), y = int64_t(Bits(b));
    return std::llabs((x < 0 ? INT64_MIN - x : x) - (y < 0 ? INT64_MIN - y : y));
}

class Div64LevelTest : public SpLevelTest
{
};

TEST_P(Div64LevelTest, DoubleQuotients)
{
    TestRng rng(201);
    const double specials[] = {0.0, -0.0, 4e-320, INFINITY, NAN};
    for (int32_t n : {1, 2, 7, 8, 9, 17, 40})
        for (int off = 0; off < 2; ++off)
            for (int special = -1; special < 5; ++special)
            {
                std::vector<double> x(n + 1), y(n + 1), d(n + 1);
                for (int i = 0; i < n + 1; ++i)
                    x[i] = std::ldexp(rng.Uniform(1, 2), int(rng.Next32() % 200) - 100) * (i & 1 ? -1 : 1),
                    y[i] = std::ldexp(rng.Uniform(1, 2), int(rng.Next32() % 200) - 100);
                const int at = int(rng.Next32() % uint32_t(n));
                if (special >= 0)
                    x[off + at] = specials[special];
                const uint32_t flag = kF64[Level() - 1](&x[off], &y[off], &d[off], n);
                EXPECT_EQ(flag != 0, special >= 0 && special < 2) << n;
                // The group of eight an element falls in (-1: the single-element head and tail).
                const int head = (reinterpret_cast<uintptr_t>(&d[off]) & 8) ? 1 : 0, full = (n - head) / 8;
                auto group = [&](int j) { return j < head || (j - head) / 8 >= full ? -1 : (j - head) / 8; };
                for (int i = off; i < off + n; ++i)
                {
                    const int g = group(i - off);
                    const bool exact = g < 0 || (special >= 0 && special < 4 && g == group(at));
                    if (x[i] == 0.0)
                        EXPECT_EQ(Bits(d[i]), 0x7FF8000000000000ull);
                    else if (std::isnan(y[i] / x[i]))
                        EXPECT_TRUE(std::isnan(d[i]));
                    else if (exact)
                        EXPECT_EQ(Bits(d[i]), Bits(y[i] / x[i])) << "n " << n << " i " << i;
                    else
                        EXPECT_LE(Ulps(d[i], y[i] / x[i]), 4) << "n " << n << " i " << i;
                }
            }
}

TEST_P(Div64LevelTest, ComplexDoubleQuotients)
{
    TestRng rng(202);
    for (int32_t n : {1, 2, 3, 8, 9})
        for (int zeroAt = -1; zeroAt < n; ++zeroAt)
        {
            std::vector<double> x(2 * n), y(2 * n), d(2 * n);
            for (double& v : x)
                v = std::ldexp(rng.Uniform(-1, 1), int(rng.Next32() % 100) - 50);
            for (double& v : y)
                v = rng.Uniform(-4, 4);
            if (zeroAt >= 0)
                x[2 * zeroAt] = x[2 * zeroAt + 1] = 0.0;
            EXPECT_EQ(kFc64[Level() - 1](x.data(), y.data(), d.data(), n) != 0, zeroAt >= 0);
            for (int i = 0; i < n; ++i)
            {
                if (i == zeroAt)
                {
                    EXPECT_TRUE(Bits(d[2 * i]) == 0x7FF8000000000000ull &&
                                Bits(d[2 * i + 1]) == Bits(d[2 * i]));
                    continue;
                }
                const std::complex<long double> q = std::complex<long double>(y[2 * i], y[2 * i + 1]) /
                                                    std::complex<long double>(x[2 * i], x[2 * i + 1]);
                EXPECT_LE(std::abs(std::complex<long double>(d[2 * i], d[2 * i + 1]) - q),
                          1e-15L * std::abs(q));
            }
        }
    // A single trailing element with a NaN divisor: NaN in both parts, no flag.
    const double x[] = {NAN, 1.0}, y[] = {1.0, 1.0};
    double d[2];
    EXPECT_EQ(kFc64[Level() - 1](x, y, d, 1), 0u);
    EXPECT_TRUE(std::isnan(d[0]) && std::isnan(d[1]));
}

// The kernels exist at levels 1-3 only.
INSTANTIATE_TEST_SUITE_P(Levels, Div64LevelTest, ::testing::Values(1, 2, 3), SpLevelName);
} // namespace

#undef SP_LEVELS
