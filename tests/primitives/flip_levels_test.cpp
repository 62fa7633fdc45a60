// Flip kernels for 8- and 16-bit elements at levels 1-3, into another buffer and in place, held to
// std::reverse at every source and destination offset (odd ones included) and over lengths around
// every group and vector size, with guard bytes on both sides of the destination.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "driver/primitives/vectors/sp_flip_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{
// clang-format off
#define SP_LEVELS(name, k) const decltype(&k##_L1) name[] = {k##_L1, k##_L2, k##_L3}
SP_LEVELS(kFlip8, SpFlipKernel8); SP_LEVELS(kFlip16, SpFlipKernel16);
SP_LEVELS(kInPlace8, SpFlipInPlaceKernel8); SP_LEVELS(kInPlace16, SpFlipInPlaceKernel16);
// clang-format on

class FlipLevelTest : public SpLevelTest
{
};

// Element-wise reversal of n elements of es bytes.
void Reverse(const uint8_t* src, uint8_t* dst, size_t n, size_t es)
{
    for (size_t i = 0; i < n; ++i)
        memcpy(dst + es * (n - 1 - i), src + es * i, es);
}

TEST_P(FlipLevelTest, ReversesAtEveryOffsetAndLength)
{
    TestRng rng(152);
    alignas(16) uint8_t src[640], dst[640], ref[640];
    for (uint8_t& b : src)
        b = uint8_t(rng.Next32());
    const int l = Level() - 1;
    for (size_t es : {1, 2})
        for (int32_t n = 1; n <= 280; n += (n < 72 ? 1 : 31))
            for (int so = 0; so < 16; ++so)
                for (int dOff = 0; dOff < 16; ++dOff)
                {
                    const size_t bytes = es * size_t(n);
                    uint8_t* out = dst + 16 + dOff;
                    memset(dst, 0xA5, sizeof(dst));
                    memcpy(ref, dst, sizeof(ref));
                    Reverse(src + so, ref + 16 + dOff, size_t(n), es);
                    if (es == 1)
                        kFlip8[l](src + so, out, n);
                    else
                        kFlip16[l](reinterpret_cast<const uint16_t*>(src + so),
                                   reinterpret_cast<uint16_t*>(out), n);
                    ASSERT_EQ(memcmp(dst, ref, sizeof(dst)), 0)
                        << es << "-byte n " << n << " +" << so << " +" << dOff;
                    if (so != 0)
                        continue; // in place depends on the destination's offset only
                    memcpy(out, src, bytes);
                    if (es == 1)
                        kInPlace8[l](out, n);
                    else
                        kInPlace16[l](reinterpret_cast<uint16_t*>(out), n);
                    ASSERT_EQ(memcmp(dst, ref, sizeof(dst)), 0)
                        << es << "-byte in place n " << n << " +" << dOff;
                }
}

// The kernels exist at levels 1-3 only.
INSTANTIATE_TEST_SUITE_P(Levels, FlipLevelTest, ::testing::Values(1, 2, 3), SpLevelName);
} // namespace

#undef SP_LEVELS
