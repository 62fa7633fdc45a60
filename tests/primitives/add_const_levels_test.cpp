// Adding a constant in place at every level: each element's own single-precision sum, bit for
// bit, at every start offset (including addresses off a 4-byte boundary), across the 10/11 switch
// to blocks and the peel, and on a vector long enough for the prefetching blocks; nothing written
// outside the vector, and a zero constant leaves everything untouched.
#include <gtest/gtest.h>

#include <string.h>

#include <limits>
#include <vector>

#include "driver/primitives/vectors/sp_convert.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

class AddConstLevelsTest : public SpLevelTest
{
};
SP_INSTANTIATE_LEVELS(AddConstLevelsTest);

std::vector<float> Values(size_t n)
{
    TestRng rng(203);
    std::vector<float> v(n);
    for (float& x : v)
        x = float(rng.Uniform(-1e3, 1e3));
    return v;
}

} // namespace

TEST_P(AddConstLevelsTest, EveryElementGetsItsOwnSumAtEveryOffsetAndLength)
{
    std::vector<size_t> lengths;
    for (size_t n = 1; n <= 40; ++n)
        lengths.push_back(n);
    lengths.push_back(262144 + 8 * 2 + 5); // whole blocks past the prefetch threshold
    const float value = 0.3f;
    for (size_t n : lengths)
    {
        const std::vector<float> x = Values(n);
        for (size_t offset = 0; offset < 16; offset += (n > 40 ? 5 : 1))
        {
            GuardedBuffer<float> v(n, offset);
            memcpy(v.data(), x.data(), 4 * n);
            ASSERT_EQ(SpAddConstInPlaceF32(value, v.data(), int32_t(n)), SpOk);
            for (size_t i = 0; i < n; ++i)
            {
                const float want = x[i] + value;
                ASSERT_EQ(0, memcmp(v.data() + i, &want, 4))
                    << "length " << n << " offset " << offset << " element " << i;
            }
            ASSERT_TRUE(v.GuardsIntact()) << "length " << n << " offset " << offset;
        }
    }
}

TEST_P(AddConstLevelsTest, ZeroConstantChangesNothing)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> v = {nan, -0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f, 9.0f, 10.0f};
    const std::vector<float> before = v;
    for (float zero : {0.0f, -0.0f})
    {
        ASSERT_EQ(SpAddConstInPlaceF32(zero, v.data(), int32_t(v.size())), SpOk);
        EXPECT_EQ(0, memcmp(v.data(), before.data(), 4 * v.size()));
    }
    EXPECT_EQ(SpAddConstInPlaceF32(1.0f, nullptr, 4), SpErrNullPointer);
    EXPECT_EQ(SpAddConstInPlaceF32(1.0f, v.data(), 0), SpErrBadLength);
}
