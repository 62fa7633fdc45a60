// The level-1 to level-3 kernels of the fill, absolute-value, add, subtract and multiply
// families (flip is held to the reversal, into another buffer and in place, by the level table;
// the set's NaN payloads by the vector tests and its checks by the argument table): every
// width and start byte against an element-by-element oracle between guard zones, the saturating
// integer cases, the large-fill seam and the streaming add.
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
    // A float vector on an odd address: same as an aligned one.
    GuardedBuffer<uint8_t> odd(4 * 37 + 1, 0);
    for (int32_t i = 0; i < 37; ++i)
    {
        const float v = i % 3 == 0 ? -0.0f : (i % 3 == 1 ? -INFINITY : BitsFloat(0xFFC00123u));
        memcpy(odd.data() + 1 + 4 * i, &v, 4);
    }
    ASSERT_EQ(SpOk, SpAbsInPlaceF32(reinterpret_cast<float*>(odd.data() + 1), 37));
    for (int32_t i = 0; i < 37; ++i)
    {
        uint32_t bits;
        memcpy(&bits, odd.data() + 1 + 4 * i, 4);
        ASSERT_EQ(i % 3 == 0 ? 0u : (i % 3 == 1 ? 0x7F800000u : 0x7FC00123u), bits) << i;
    }
}

// Long vectors take the streaming stores (add, subtract) and the prefetching in-place multiply;
// a destination off its float alignment takes the unaligned rounds. Each element is the one
// IEEE operation of the formula; subtraction is the second operand minus the first.
TEST_P(SpVectorLevelTest, AddSubtractMultiplyLongAndMisaligned)
{
    TestRng rng(153);
    const int32_t n = 100000;
    std::vector<float> a(n + 8), b(n + 8);
    for (int32_t i = 0; i < n + 8; ++i)
    {
        a[i] = float(rng.Uniform(-1e3, 1e3));
        b[i] = float(rng.Uniform(-1e3, 1e3));
    }
    for (size_t offset : {size_t(0), size_t(4), size_t(2)})
    {
        GuardedBuffer<uint8_t> raw(4 * size_t(n), offset);
        float* d = reinterpret_cast<float*>(raw.data());
        auto check = [&](SpStatus status, auto formula, const char* what)
        {
            ASSERT_EQ(SpOk, status) << what;
            ASSERT_TRUE(raw.GuardsIntact()) << what;
            for (int32_t i = 0; i < n; ++i)
            {
                float got;
                memcpy(&got, raw.data() + 4 * size_t(i), 4);
                ASSERT_EQ(FloatBits(formula(i)), FloatBits(got))
                    << what << " offset " << offset << " at " << i;
            }
        };
        check(
            SpAddF32(a.data() + 1, b.data(), d, n), [&](int32_t i) { return a[i + 1] + b[i]; }, "add");
        check(
            SpSubF32(a.data(), b.data() + 3, d, n), [&](int32_t i) { return b[i + 3] - a[i]; }, "sub");
        check(
            SpMulF32(a.data(), b.data(), d, n), [&](int32_t i) { return a[i] * b[i]; }, "mul");
        memcpy(raw.data(), a.data(), 4 * size_t(n));
        check(
            SpMulInPlaceF32(b.data() + 1, d, n), [&](int32_t i) { return a[i] * b[i + 1]; }, "mul in place");
    }
    // In place with the source as the destination squares.
    std::vector<float> sq(a.begin(), a.begin() + 37);
    ASSERT_EQ(SpOk, SpMulInPlaceF32(sq.data(), sq.data(), 37));
    for (int32_t i = 0; i < 37; ++i)
        ASSERT_EQ(a[i] * a[i], sq[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpVectorLevelTest, ::testing::Values(1, 2, 3), SpLevelName);
