// The level-1 to level-3 kernels of the fill and absolute-value families (the float add, subtract,
// multiply, flip and absolute value, long and at 2-byte offsets, are rows of the level table; the
// set's NaN payloads are the vector tests'): every width and start byte against an
// element-by-element oracle between guard zones, the saturating integer cases and the large-fill
// seam; the 32-bit set entries; and every level held to the accuracy its header states for
// square root, division, exp and ln.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <cmath>
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

// The 32-bit set of each level: pointer before length, nothing written on a refusal, and every
// element the value's bits otherwise.
TEST_P(SpVectorLevelTest, SetI32ChecksThenFills)
{
    SpStatus (*const set[4])(int32_t, int32_t*, int32_t) = {nullptr, SpSetI32_L1, SpSetI32_L2, SpSetI32_L3};
    EXPECT_EQ(SpErrNullPointer, set[Level()](7, nullptr, 0));
    for (int32_t n : {1, 3, 4, 5, 17, 64, 1000})
    {
        for (size_t offset = 0; offset < 16; offset += 2)
        {
            GuardedBuffer<int32_t> dst(size_t(n), offset);
            const std::vector<uint8_t> before(reinterpret_cast<uint8_t*>(dst.data()),
                                              reinterpret_cast<uint8_t*>(dst.data() + n));
            ASSERT_EQ(SpErrBadLength, set[Level()](7, dst.data(), 0));
            ASSERT_EQ(SpErrBadLength, set[Level()](7, dst.data(), -n));
            ASSERT_EQ(0, memcmp(before.data(), dst.data(), before.size()));
            ASSERT_EQ(SpOk, set[Level()](-123456789, dst.data(), n));
            ASSERT_TRUE(dst.GuardsIntact()) << n << " at " << offset;
            for (int32_t i = 0; i < n; ++i)
            {
                int32_t v;
                memcpy(&v, dst.data() + i, 4);
                ASSERT_EQ(-123456789, v) << n << " at " << offset << " element " << i;
            }
        }
    }
}

namespace
{

class SpVectorAccuracyTest : public SpLevelTest
{
};

struct AccuracyRow
{
    const char* name;
    uint32_t first, last;  // float patterns swept, of both signs up to `negativeLast`
    uint32_t negativeLast; // 0: positive arguments only
    int64_t bound0;        // ulp from the rounded double-precision value at level 0
    int64_t bound123;      // and at levels 1-3
    SpStatus (*run)(float*, int32_t);
    double (*reference)(double);
};

// clang-format off
const AccuracyRow kAccuracy[] = {
    // name    first        last         negativeLast  L0  L1-3  operation           reference
    {"sqrt",   0x00000001u, 0x7F7FFFFFu, 0,            0,  3,    SpSqrtInPlaceF32,   [](double x) { return std::sqrt(x); }},
    {"exp",    0x00000000u, 0x42B17217u, 0x42AEA000u,  1,  5,    SpExpInPlaceF32,    [](double x) { return std::exp(x); }},
    {"ln",     0x00000001u, 0x7F7FFFFFu, 0,            1,  4,    SpLnInPlaceF32,     [](double x) { return std::log(x); }},
};
// clang-format on

} // namespace

// Every 499th float pattern of each operation's range, in one vector so that blocks and block
// partners form as they do in use, against the double-precision value rounded once.
TEST_P(SpVectorAccuracyTest, EachLevelKeepsItsStatedAccuracy)
{
    for (const AccuracyRow& row : kAccuracy)
    {
        std::vector<float> x;
        for (uint32_t bits = row.first; bits <= row.last && bits >= row.first; bits += 499)
        {
            x.push_back(BitsFloat(bits));
            if (bits <= row.negativeLast)
                x.push_back(BitsFloat(bits | 0x80000000u));
        }
        std::vector<float> y = x;
        ASSERT_EQ(SpOk, row.run(y.data(), int32_t(y.size()))) << row.name;
        const int64_t bound = Level() == 0 ? row.bound0 : row.bound123;
        for (size_t i = 0; i < x.size(); ++i)
            ASSERT_LE(UlpDistance(float(row.reference(x[i])), y[i]), bound) << row.name << " of " << x[i];
    }
    // Division: quotients of random normal operands over a wide exponent range.
    TestRng rng(499);
    const int32_t n = 200000;
    std::vector<float> a(n), b(n), q(n);
    for (int32_t i = 0; i < n; ++i)
    {
        a[i] = float(std::ldexp(rng.Uniform(1, 2), int(rng.Next32() % 120) - 60));
        b[i] = float(std::ldexp(rng.Uniform(-2, 2), int(rng.Next32() % 120) - 60));
    }
    ASSERT_EQ(SpOk, SpDivF32(a.data(), b.data(), q.data(), n));
    for (int32_t i = 0; i < n; ++i)
        ASSERT_LE(UlpDistance(b[i] / a[i], q[i]), Level() == 0 ? 0 : 2) << b[i] << " / " << a[i];
}

SP_INSTANTIATE_LEVELS(SpVectorAccuracyTest);
