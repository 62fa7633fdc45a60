// Up- and down-sampling kernels for 16-, 64- and 128-bit elements at levels 1-3, held to the index
// formula on random bit patterns at every byte offset, with guard bytes around the destination.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/primitives/vectors/sp_resample_width_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{
class ResampleWidthLevelTest : public SpLevelTest
{
};

// clang-format off
#define SP_LEVELS(name, k) static const decltype(&k##_L1) name[] = {k##_L1, k##_L2, k##_L3}
SP_LEVELS(kUp16, SpSampleUpKernel16); SP_LEVELS(kUpBy2x16, SpSampleUpBy2Kernel16);
SP_LEVELS(kUp64, SpSampleUpKernel64); SP_LEVELS(kUpBy2x64, SpSampleUpBy2Kernel64);
SP_LEVELS(kUpBy2x128, SpSampleUpBy2Kernel128);
SP_LEVELS(kDown16, SpSampleDownKernel16); SP_LEVELS(kDownBy2x16, SpSampleDownBy2Kernel16);
SP_LEVELS(kDown64, SpSampleDownKernel64); SP_LEVELS(kDownBy2x64, SpSampleDownBy2Kernel64);
SP_LEVELS(kDown128, SpSampleDownKernel128); SP_LEVELS(kDownBy2x128, SpSampleDownBy2Kernel128);
// clang-format on

// Up-sampling through the kernel for (es, factor); factor 2 takes the factor-2 kernels.
void Up(int l, size_t es, const uint8_t* src, uint32_t n, uint8_t* dst, uint32_t factor, uint32_t phase)
{
    if (es == 2)
        factor == 2
            ? kUpBy2x16[l](reinterpret_cast<const uint16_t*>(src), n, reinterpret_cast<uint16_t*>(dst), phase)
            : kUp16[l](src, n, dst, factor * n, 2 * factor, phase);
    else if (es == 8)
        factor == 2
            ? kUpBy2x64[l](reinterpret_cast<const uint64_t*>(src), n, reinterpret_cast<uint64_t*>(dst), phase)
            : kUp64[l](src, n, dst, 8 * factor, 8 * phase);
    else
        kUpBy2x128[l](src, n, dst, phase);
}

void Down(int l, size_t es, const uint8_t* src, uint32_t n, uint8_t* dst, int32_t* len, uint32_t f,
          int32_t* phase)
{
    auto s16 = reinterpret_cast<const uint16_t*>(src);
    auto s64 = reinterpret_cast<const uint64_t*>(src);
    auto d16 = reinterpret_cast<uint16_t*>(dst);
    auto d64 = reinterpret_cast<uint64_t*>(dst);
    if (es == 2)
        f == 2 ? kDownBy2x16[l](s16, n, d16, len, phase) : kDown16[l](s16, n, d16, len, f, phase);
    else if (es == 8)
        f == 2 ? kDownBy2x64[l](s64, n, d64, len, phase) : kDown64[l](s64, n, d64, len, f, phase);
    else
        f == 2 ? kDownBy2x128[l](src, n, dst, len, phase) : kDown128[l](src, n, dst, len, f, phase);
}

// The output and the phase handed on to the next block follow the index formula, so a stream cut
// into blocks decimates without a seam.
TEST_P(ResampleWidthLevelTest, IndexFormulaAtEveryOffset)
{
    TestRng rng(205);
    std::vector<uint8_t> src(16 * 4200), dst(16 * 7 * 4200 + 64), ref(dst.size());
    for (uint8_t& b : src)
        b = uint8_t(rng.Next32() | 1); // no zero byte, so a missing input cannot pass for a zero
    for (size_t es : {2, 8, 16})
        for (uint32_t factor = 2; factor <= 7; ++factor)
            for (uint32_t n : {1u, 2u, 3u, 7u, 8u, 9u, 16u, 17u, 33u, 40u, 4097u})
                for (int off = 0; off < 16; off += (n > 40 ? 5 : 1))
                {
                    if (es == 16 && factor > 2)
                        break;
                    const uint32_t phase = (n + off) % factor;
                    SCOPED_TRACE(testing::Message()
                                 << es << " bytes, factor " << factor << " n " << n << " +" << off);
                    const size_t outBytes = es * factor * n;
                    std::fill(dst.begin(), dst.end(), 0xA5);
                    ref = dst;
                    memset(&ref[16 + off], 0, outBytes);
                    for (size_t k = 0; k < n; ++k)
                        memcpy(&ref[16 + off + es * (phase + k * factor)], &src[(off * 7) % 16 + es * k], es);
                    Up(Level() - 1, es, &src[(off * 7) % 16], n, &dst[16 + off], factor, phase);
                    ASSERT_EQ(memcmp(dst.data(), ref.data(), outBytes + 64), 0) << "up, phase " << phase;

                    int32_t len = -1, p = int32_t(phase);
                    std::fill(dst.begin(), dst.end(), 0xA5);
                    ref = dst;
                    const uint32_t count = phase < n ? (n - phase + factor - 1) / factor : 0;
                    for (size_t j = 0; j < count; ++j)
                        memcpy(&ref[16 + off + es * j], &src[off + es * (phase + j * factor)], es);
                    Down(Level() - 1, es, &src[off], n, &dst[16 + off], &len, factor, &p);
                    ASSERT_EQ(memcmp(dst.data(), ref.data(), es * n + 64), 0) << "down, phase " << phase;
                    EXPECT_EQ(len, int32_t(count));
                    EXPECT_EQ(p, int32_t(phase + count * factor - n));
                }
}

// The kernels exist at levels 1-3 only.
INSTANTIATE_TEST_SUITE_P(Levels, ResampleWidthLevelTest, ::testing::Values(1, 2, 3), SpLevelName);
} // namespace

#undef SP_LEVELS
