// The level-1 to level-3 kernels of the fill and absolute-value families (the float add, subtract,
// multiply, flip and absolute value, long and at 2-byte offsets, are rows of the level table; the
// set's NaN payloads are the vector tests'): every width and start byte against an
// element-by-element oracle between guard zones, the saturating integer cases and the large-fill
// seam.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

#include "driver/primitives/sp_lib.h"
#include "driver/primitives/vectors/sp_vector_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

struct FillKernels
{
    void* (*f16)(const uint16_t*, void*, uint32_t);
    void* (*f32)(const uint32_t*, void*, uint32_t);
    void* (*f64)(const uint64_t*, void*, uint32_t);
    void* (*f128)(const void*, void*, uint32_t);
};
const FillKernels kFill[4] = {{},
                              {SpFill16Kernel_L1, SpFill32Kernel_L1, SpFill64Kernel_L1, SpFill128Kernel_L1},
                              {SpFill16Kernel_L2, SpFill32Kernel_L2, SpFill64Kernel_L2, SpFill128Kernel_L2},
                              {SpFill16Kernel_L3, SpFill32Kernel_L3, SpFill64Kernel_L3, SpFill128Kernel_L3}};

struct OtherKernels
{
    void (*absF64)(const double*, double*, int32_t);
    void (*absI16)(const int16_t*, int16_t*, int32_t);
    void (*absI32)(const int32_t*, int32_t*, int32_t);
};
const OtherKernels kOther[4] = {{},
                                {SpAbsKernelF64_L1, SpAbsKernelI16_L1, SpAbsKernelI32_L1},
                                {SpAbsKernelF64_L2, SpAbsKernelI16_L2, SpAbsKernelI32_L2},
                                {SpAbsKernelF64_L3, SpAbsKernelI16_L3, SpAbsKernelI32_L3}};

// Fills `count` elements of `width` bytes at byte offset `offset` with the level's kernel and
// checks every byte against the pattern and the guards.
void CheckFill(int32_t level, int32_t width, uint32_t offset, uint32_t count)
{
    const uint8_t value[16] = {0x01, 0x80, 0xC0, 0x7F, 0x11, 0x22, 0x33, 0x44,
                               0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xFF};
    GuardedBuffer<uint8_t> dst(size_t(count) * width, offset);
    const FillKernels& k = kFill[level];
    void* returned = nullptr;
    uint16_t v16;
    uint32_t v32;
    uint64_t v64;
    memcpy(&v16, value, 2);
    memcpy(&v32, value, 4);
    memcpy(&v64, value, 8);
    switch (width)
    {
    case 2:
        returned = k.f16(&v16, dst.data(), count);
        break;
    case 4:
        returned = k.f32(&v32, dst.data(), count);
        break;
    case 8:
        returned = k.f64(&v64, dst.data(), count);
        break;
    default:
        returned = k.f128(value, dst.data(), count);
    }
    ASSERT_EQ(dst.data(), returned);
    ASSERT_TRUE(dst.GuardsIntact()) << "width " << width << " offset " << offset << " count " << count;
    std::vector<uint8_t> want(size_t(count) * width);
    for (size_t i = 0; i < want.size(); ++i)
        want[i] = value[i % width];
    ASSERT_EQ(0, memcmp(want.data(), dst.data(), want.size()))
        << "width " << width << " offset " << offset << " count " << count;
}

class SpVectorLevelTest : public SpLevelTest
{
};

// CPUID answers for the large-fill seam: the recognised vendor with one leaf-2 descriptor.
uint8_t g_descriptor = 0;
void FakeCpuId(uint32_t regs[4], uint32_t leaf, uint32_t)
{
    regs[0] = regs[1] = regs[2] = regs[3] = 0;
    if (leaf == 0)
    {
        regs[0] = 2;
        regs[1] = 0x756E6547u;                                   // "Genu"
        regs[3] = 0x49656E69u;                                   // "ineI"
        regs[2] = g_descriptor == 0 ? 0x6C65746Fu : 0x6C65746Eu; // "ntel", or another vendor
    }
    else if (leaf == 2)
    {
        regs[0] = 0x01u | uint32_t(g_descriptor) << 8;
        regs[3] = 0x80000043u; // bit 31: carries no descriptors, so its 0x43 must be ignored
    }
}

} // namespace

TEST_P(SpVectorLevelTest, FillsEveryWidthAtEveryStartByte)
{
    for (int32_t width : {2, 4, 8, 16})
    {
        for (uint32_t offset = 0; offset < 16; ++offset)
        {
            for (uint32_t count = 1; count <= 70; ++count)
                CheckFill(Level(), width, offset, count);
        }
        // Both sides of the 1 MiB threshold.
        const uint32_t threshold = (1u << 20) / uint32_t(width);
        for (uint32_t count : {threshold, threshold + 1})
        {
            for (uint32_t offset : {0u, 1u, 2u, 4u, 8u})
                CheckFill(Level(), width, offset, count);
        }
    }
}

// Large fills on a processor reporting a 512 KiB cache stream past it, with a 16 MiB cache or
// another vendor they do not; only the bytes can be seen, and they must be the same.
TEST_P(SpVectorLevelTest, LargeFillsGiveTheSameBytesWhateverTheCache)
{
    for (uint8_t descriptor : {uint8_t(0x43), uint8_t(0x4D), uint8_t(0)})
    {
        g_descriptor = descriptor;
        SpSetCpuIdForTest(FakeCpuId);
        for (int32_t width : {2, 4, 8, 16})
            CheckFill(Level(), width, width == 16 ? 8 : 2, (1u << 20) / uint32_t(width) + 1);
        CheckFill(Level(), 4, 0, 262145);
        SpSetCpuIdForTest(nullptr);
    }
}

// Integer absolute values saturate at every level; doubles only lose their sign bit.
TEST_P(SpVectorLevelTest, AbsoluteValuesOfEveryTypeAtEveryOffset)
{
    TestRng rng(150);
    const OtherKernels& k = kOther[Level()];
    for (int32_t n = 1; n <= 40; ++n)
    {
        for (size_t offset = 0; offset < 16; offset += 2)
        {
            std::vector<int16_t> s16(n);
            std::vector<int32_t> s32(n);
            std::vector<uint64_t> s64(n);
            for (int32_t i = 0; i < n; ++i)
            {
                s16[i] = i % 5 == 0 ? INT16_MIN : int16_t(rng.Next32());
                s32[i] = i % 5 == 1 ? INT32_MIN : int32_t(rng.Next32());
                s64[i] = i % 7 == 2 ? 0xFFF0000000000001ull : rng.Next();
            }
            GuardedBuffer<int16_t> d16(n, offset);
            GuardedBuffer<int32_t> d32(n, offset & ~size_t(3));
            GuardedBuffer<double> d64(n, offset & ~size_t(7));
            k.absI16(s16.data(), d16.data(), n);
            k.absI32(s32.data(), d32.data(), n);
            k.absF64(reinterpret_cast<const double*>(s64.data()), d64.data(), n);
            ASSERT_TRUE(d16.GuardsIntact() && d32.GuardsIntact() && d64.GuardsIntact()) << n;
            for (int32_t i = 0; i < n; ++i)
            {
                ASSERT_EQ(s16[i] == INT16_MIN ? INT16_MAX : std::abs(s16[i]), d16[i]) << n << " " << i;
                ASSERT_EQ(s32[i] == INT32_MIN ? INT32_MAX : std::abs(s32[i]), d32[i]) << n << " " << i;
                uint64_t bits;
                memcpy(&bits, &d64[i], 8);
                ASSERT_EQ(s64[i] & 0x7FFFFFFFFFFFFFFFull, bits) << n << " " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpVectorLevelTest, ::testing::Values(1, 2, 3), SpLevelName);
