// The conversion kernels of the level builds at levels 1 to 3: one table of documented values
// (saturation, NaN, ties, scales, half precision, the rounding shift), the caller's MXCSR as
// each kernel family leaves it, and every count from 1 to 17 at every element offset converting
// each element exactly once between guard zones.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <vector>

#include "driver/primitives/sp_lib.h"
#include "driver/primitives/vectors/sp_kernels.h"
#include "driver/primitives/vectors/sp_move-inl.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

// The level's copy of a kernel.
#define SP_AT(level, name) ((level) == 1 ? name##_L1 : (level) == 2 ? name##_L2 : name##_L3)

uint32_t FBits(float x)
{
    uint32_t b;
    memcpy(&b, &x, 4);
    return b;
}

double NanLowBit()
{
    const uint64_t b = 0x7FF0000000000001ull;
    double x;
    memcpy(&x, &b, 8);
    return x;
}

// Runs a kernel over `in` into a fresh destination of the same count; results widened to int64
// (float results as their bit patterns).
template <typename S, typename D, typename K> std::vector<int64_t> Run(const std::vector<S>& in, K kernel)
{
    std::vector<D> out(in.size());
    kernel(in.data(), out.data(), int32_t(in.size()));
    std::vector<int64_t> wide;
    for (D v : out)
    {
        if constexpr (std::is_same<D, float>::value)
            wide.push_back(FBits(v));
        else if constexpr (std::is_same<D, double>::value)
        {
            int64_t b;
            memcpy(&b, &v, 8);
            wide.push_back(b);
        }
        else
            wide.push_back(int64_t(v));
    }
    return wide;
}

std::vector<int64_t> FloatBits(std::initializer_list<float> v)
{
    std::vector<int64_t> r;
    for (float x : v)
        r.push_back(FBits(x));
    return r;
}

std::vector<int64_t> DoubleBits(std::initializer_list<double> v)
{
    std::vector<int64_t> r;
    for (double x : v)
    {
        int64_t b;
        memcpy(&b, &x, 8);
        r.push_back(b);
    }
    return r;
}

const float kNaN = NAN;
const float kInf = INFINITY;

struct KernelCase
{
    const char* name;
    std::function<std::vector<int64_t>(int)> run;
    std::vector<int64_t> want;
};

// clang-format off
const KernelCase kCases[] = {
    {"I24ToI32 extremes", [](int l) { return Run<uint8_t, int32_t>({0, 0, 0x80, 0xFF, 0xFF, 0x7F}, [l](auto s, auto d, int32_t) { SP_AT(l, SpConvertI24ToI32Kernel)(s, d, 2); }); }, {-8388608, 8388607, 0, 0, 0, 0}},
    {"F32ToI24 saturates, ties to even, NaN gives 0", [](int l) { return Run<float, uint8_t>({8388608.0f, kInf, -kInf, kNaN, 2.5f, 3.5f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, [l](auto s, auto d, int32_t) { SP_AT(l, SpConvertF32ToI24Kernel)(s, d, 6); }); },
     {0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x7F, 0, 0, 0x80, 0, 0, 0, 2, 0, 0, 4, 0, 0}},
    {"F32ToI24 scale 127 is zero", [](int l) { return Run<float, uint8_t>({1e30f, -5e37f, 0}, [l](auto s, auto d, int32_t) { SP_AT(l, SpConvertF32ToI24ScaleKernel)(s, d, 1, 127); }); }, {0, 0, 0}},
    {"I32ToI24 rounding shift 1", [](int l) { return Run<int32_t, int32_t>({1, 3, 5, -1, -3}, [l](auto s, auto d, int32_t n) { uint8_t b[15]; SP_AT(l, SpConvertI32ToI24DownScaleKernel)(s, b, n, 1); SP_AT(l, SpConvertI24ToI32Kernel)(b, d, n); }); }, {0, 2, 2, 0, -2}},
    {"I32ToI24 saturating shift 8", [](int l) { return Run<int32_t, int32_t>({32767, 32768, -32769}, [l](auto s, auto d, int32_t n) { uint8_t b[9]; SP_AT(l, SpConvertI32ToI24UpScaleKernel)(s, b, n, 8); SP_AT(l, SpConvertI24ToI32Kernel)(b, d, n); }); }, {8388352, 8388607, -8388608}},
    {"I32ToI24 clamps", [](int l) { return Run<int32_t, int32_t>({9000000, -9000000, 77}, [l](auto s, auto d, int32_t n) { uint8_t b[9]; SP_AT(l, SpConvertI32ToI24Kernel)(s, b, n); SP_AT(l, SpConvertI24ToI32Kernel)(b, d, n); }); }, {8388607, -8388608, 77}},
    {"F64ToF32 limits", [](int l) { return Run<double, float>({1e300, -HUGE_VAL, double(NAN)}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF64ToF32Kernel)(s, d, n); }); }, FloatBits({3.4028235e38f, -3.4028235e38f, 3.4028235e38f})},
    {"I16ToF64 with factor", [](int l) { return Run<int16_t, double>({-32768, 3}, [l](auto s, auto d, int32_t n) { const double f = 0.5; SP_AT(l, SpConvertI16ToF64ScaleKernel)(s, d, n, &f); }); }, DoubleBits({-16384.0, 1.5})},
    {"I16ToF32 with factor", [](int l) { return Run<int16_t, float>({-32768, 3}, [l](auto s, auto d, int32_t n) { const float f = 0.25f; SP_AT(l, SpConvertI16ToF32ScaleKernel)(s, d, n, &f); }); }, FloatBits({-8192.0f, 0.75f})},
    {"F32ToI16 nearest even", [](int l) { return Run<float, int16_t>({2.5f, 3.5f, -2.5f, 0.5f}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF32ToI16Kernel)(s, d, n, 1, 0); }); }, {2, 4, -2, 0}},
    {"F32ToI16 toward zero", [](int l) { return Run<float, int16_t>({2.9f, -2.9f}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF32ToI16Kernel)(s, d, n, 0, 0); }); }, {2, -2}},
    {"F32ToI16 saturation and NaN", [](int l) { return Run<float, int16_t>({40000.0f, -40000.0f, 3e9f, -3e9f, kInf, -kInf, kNaN, -kNaN}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF32ToI16Kernel)(s, d, n, 1, 0); }); }, {32767, -32768, 32767, -32768, 32767, -32768, 0, 0}},
    {"F32ToI16 scales", [](int l) { return Run<float, int16_t>({3.0f, 20000.0f, 1e30f}, [l](auto s, auto d, int32_t) { SP_AT(l, SpConvertF32ToI16Kernel)(s, d, 1, 1, 1); SP_AT(l, SpConvertF32ToI16Kernel)(s + 1, d + 1, 1, 1, -1); SP_AT(l, SpConvertF32ToI16Kernel)(s + 2, d + 2, 1, 1, 150); }); }, {2, 32767, 0}},
    {"F32ToU16", [](int l) { return Run<float, uint16_t>({-1.0f, 70000.0f, 65535.5f, kInf, kNaN}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF32ToU16Kernel)(s, d, n, 1, 0); }); }, {0, 65535, 65535, 65535, 0}},
    {"F32ToI8 and U8", [](int l) { return Run<float, int16_t>({200.0f, -200.0f, kNaN, -3.0f, 300.0f, kNaN}, [l](auto s, auto d, int32_t) { int8_t a[3]; uint8_t b[3]; SP_AT(l, SpConvertF32ToI8Kernel)(s, a, 3, 1, 0); SP_AT(l, SpConvertF32ToU8Kernel)(s + 3, b, 3, 1, 0); for (int i = 0; i < 3; ++i) { d[i] = a[i]; d[i + 3] = b[i]; } }); }, {127, -128, 0, 0, 255, 0}},
    {"F32ToI32 limits", [](int l) { return Run<float, int32_t>({2147483520.0f, 2147483648.0f, 3e9f, -2147483648.0f, -3e9f, kInf, -kInf, kNaN, -kNaN}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF32ToI32Kernel)(s, d, n, 1, 0); }); }, {2147483520, INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MIN, 0, 0}},
    {"F32ToI32 rounding and scaled test", [](int l) { return Run<float, int32_t>({1.5f, 2.5f, -1.5f, 1.9f, -1.9f, 1.5e9f}, [l](auto s, auto d, int32_t) { SP_AT(l, SpConvertF32ToI32Kernel)(s, d, 3, 1, 0); SP_AT(l, SpConvertF32ToI32Kernel)(s + 3, d + 3, 2, 0, 0); SP_AT(l, SpConvertF32ToI32Kernel)(s + 5, d + 5, 1, 1, -1); }); }, {2, 2, -2, 1, -1, INT32_MAX}},
    {"F64ToI32", [](int l) { return Run<double, int32_t>({2147483647.4, 2147483647.6, 2147483648.0, -2147483648.4, -1e10, HUGE_VAL, NanLowBit()}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF64ToI32Kernel)(s, d, n, 1, 0); }); }, {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN, INT32_MAX, 0}},
    {"F64ToI32 toward zero", [](int l) { return Run<double, int32_t>({2147483647.6, 2147483648.0}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF64ToI32Kernel)(s, d, n, 0, 0); }); }, {INT32_MAX, INT32_MAX}},
    {"widening limits", [](int l) { return Run<int32_t, float>({0, 0, 0, 0, 16777217, 2147483647}, [l](auto s, auto d, int32_t) { const int8_t a[] = {-128, 127}; const uint8_t b = 255; const uint16_t c = 65535; SP_AT(l, SpConvertI8ToF32Kernel)(a, d, 2); SP_AT(l, SpConvertU8ToF32Kernel)(&b, d + 2, 1); SP_AT(l, SpConvertU16ToF32Kernel)(&c, d + 3, 1); SP_AT(l, SpConvertI32ToF32Kernel)(s + 4, d + 4, 2); }); }, FloatBits({-128.0f, 127.0f, 255.0f, 65535.0f, 16777216.0f, 2147483648.0f})},
    {"I32ToF64 and I16 unscaled", [](int l) { return Run<int32_t, double>({INT32_MIN, -32768}, [l](auto s, auto d, int32_t) { SP_AT(l, SpConvertI32ToF64Kernel)(s, d, 1); const int16_t h = -32768; float f; SP_AT(l, SpConvertI16ToF32UnscaledKernel)(&h, &f, 1); d[1] = f; }); }, DoubleBits({-2147483648.0, -32768.0})},
    {"I16 away", [](int l) { return Run<float, int16_t>({2.5f, -2.5f, 0.5f, -0.5f, 32767.5f, -32768.5f, 1e10f, -1e10f, kNaN, -0.0f}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF32ToI16AwayKernel)(s, d, n, 0); }); }, {3, -3, 1, -1, 32767, -32768, 32767, -32768, 32767, 0}},
    {"I16 away scaled", [](int l) { return Run<float, int16_t>({3.0f, 1.25f}, [l](auto s, auto d, int32_t) { SP_AT(l, SpConvertF32ToI16AwayKernel)(s, d, 1, 1); SP_AT(l, SpConvertF32ToI16AwayKernel)(s + 1, d + 1, 1, -1); }); }, {2, 3}},
    {"I32 away", [](int l) { return Run<float, int32_t>({2147483520.0f, 2147483648.0f, kInf, -2147483648.0f, -kInf, 0.49999997f}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF32ToI32AwayKernel)(s, d, n, 0); }); }, {2147483520, INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN, 0}},
    {"U16, U8, I8 and F64 away", [](int l) { return Run<float, int32_t>({65535.4f, 70000.0f, -3.7f, kNaN, -0.7f, 254.5f, 300.0f, -127.5f, 0}, [l](auto s, auto d, int32_t) { uint16_t a[4]; uint8_t b[3]; int8_t c; int32_t e; const double x = -2.5; SP_AT(l, SpConvertF32ToU16AwayKernel)(s, a, 4, 0); SP_AT(l, SpConvertF32ToU8AwayKernel)(s + 4, b, 3, 0); SP_AT(l, SpConvertF32ToI8AwayKernel)(s + 7, &c, 1, 0); SP_AT(l, SpConvertF64ToI32AwayKernel)(&x, &e, 1, 0); for (int i = 0; i < 4; ++i) d[i] = a[i]; for (int i = 0; i < 3; ++i) d[4 + i] = b[i]; d[7] = c; d[8] = e; }); }, {65535, 65535, 0, 0, 0, 255, 255, -128, -3}},
    {"I16ToF16 nearest", [](int l) { return Run<int16_t, uint16_t>({0, 1, -1, 2049, 2051, -32768, 32767}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertI16ToF16Kernel)(s, d, n, 1); }); }, {0, 0x3C00, 0xBC00, 0x6800, 0x6802, 0xF800, 0x7800}},
    {"I16ToF16 truncated", [](int l) { return Run<int16_t, uint16_t>({2049, 2051, 32767}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertI16ToF16Kernel)(s, d, n, 0); }); }, {0x6800, 0x6801, 0x77FF}},
    {"F16ToI16", [](int l) { return Run<uint16_t, int16_t>({0x3800, 0x3E00, 0x7BFF, 0xFC00, 0x7E00, 0, 0x7BFF, 0x7C00, 0x0001, 0x0001}, [l](auto s, auto d, int32_t) { SP_AT(l, SpConvertF16ToI16Kernel)(s, d, 6, 1, 0); SP_AT(l, SpConvertF16ToI16Kernel)(s + 6, d + 6, 2, 1, 17); SP_AT(l, SpConvertF16ToI16Kernel)(s + 8, d + 8, 1, 1, -15); SP_AT(l, SpConvertF16ToI16Kernel)(s + 9, d + 9, 1, 1, -20); }); }, {0, 2, 32767, -32768, 0, 0, 0, 32767, 0, 0}},
    {"F16ToF32", [](int l) { return Run<uint16_t, float>({0x0001, 0x7C00, 0x8000, 0x7E00, 0x3C00}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF16ToF32Kernel)(s, d, n); }); }, {FBits(std::ldexp(1.0f, -24)), 0x7F800000, 0x80000000, 0x7FC00000, 0x3F800000}},
    {"F32ToF16 nearest", [](int l) { return Run<float, uint16_t>({65519.0f, 65520.0f, 1e6f, -0.0f, std::ldexp(1.0f, -24), kNaN}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF32ToF16Kernel)(s, d, n, 1); }); }, {0x7BFF, 0x7C00, 0x7C00, 0x8000, 0x0001, 0x7FFF}},
    {"F32ToF16 truncated", [](int l) { return Run<float, uint16_t>({65520.0f, 1e6f, kNaN}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertF32ToF16Kernel)(s, d, n, 0); }); }, {0x7BFF, 0x7C00, 0x7E00}},
    // Ties away from zero; a tie just below 2^31 saturates instead of wrapping, and the
    // largest magnitudes add their increment without overflow.
    {"I64ToI32 shift", [](int l) { return Run<int64_t, int32_t>({5, -5, 4, -4, 3, -3, int64_t(1) << 40, -(int64_t(1) << 40), 4294967295, INT64_MAX, INT64_MIN}, [l](auto s, auto d, int32_t n) { SP_AT(l, SpConvertI64ToI32ShiftKernel)(s, d, n, 1); }); }, {3, -3, 2, -2, 2, -2, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MAX, INT32_MIN}},
    {"I64ToI32 shift 8 and 32", [](int l) { return Run<int64_t, int32_t>({384, -384, 383, int64_t(1) << 62}, [l](auto s, auto d, int32_t) { SP_AT(l, SpConvertI64ToI32ShiftKernel)(s, d, 3, 8); SP_AT(l, SpConvertI64ToI32ShiftKernel)(s + 3, d + 3, 1, 32); }); }, {2, -2, 1, 1073741824}},
};
// clang-format on

// Level 0 has no kernel copies of its own.
class SpLevelKernelTest : public SpLevelTest
{
};

// Restores the caller's MXCSR around a test that changes it.
struct CsrGuard
{
    unsigned saved = _mm_getcsr();
    ~CsrGuard() { _mm_setcsr(saved); }
};

} // namespace

TEST_P(SpLevelKernelTest, DocumentedValues)
{
    for (const KernelCase& c : kCases)
        EXPECT_EQ(c.want, c.run(Level())) << c.name;
}

// Nearest-even kernels under a caller running round-down: the results do not change, the
// caller's mode comes back with denormals-are-zero cleared, and a NaN's invalid flag is not left
// behind; the half-precision kernels leave it; the 24-bit kernel keeps DAZ.
TEST_P(SpLevelKernelTest, CallerControlWordAsEachFamilyLeavesIt)
{
    CsrGuard guard;
    const float in[] = {2.5f, kNaN, 3.5f};
    int16_t out16[3];
    _mm_setcsr((guard.saved & ~0x603Fu) | 0x2000u | 0x0040u); // round down, DAZ, no flags
    SP_AT(Level(), SpConvertF32ToI16Kernel)(in, out16, 3, 1, 0);
    EXPECT_EQ((std::vector<int16_t>{2, 0, 4}), std::vector<int16_t>(out16, out16 + 3));
    EXPECT_EQ(0x2000u, _mm_getcsr() & 0x6041u);

    _mm_setcsr((guard.saved & ~0x603Fu) | 0x2000u | 0x0040u);
    int32_t out32[3];
    SP_AT(Level(), SpConvertF32ToI32AwayKernel)(in, out32, 3, 0);
    EXPECT_EQ(3, out32[0]);
    EXPECT_EQ(0x2000u, _mm_getcsr() & 0x6041u);

    _mm_setcsr((guard.saved & ~0x603Fu) | 0x2000u | 0x0040u);
    uint8_t out24[9];
    SP_AT(Level(), SpConvertF32ToI24Kernel)(in, out24, 3);
    EXPECT_EQ(2, out24[0]);
    EXPECT_EQ(0x2040u, _mm_getcsr() & 0x6040u);

    _mm_setcsr(guard.saved & ~0x003Fu);
    uint16_t half[3];
    SP_AT(Level(), SpConvertF32ToF16Kernel)(in, half, 3, 1);
    EXPECT_EQ(1u, _mm_getcsr() & 1u);
}

// Counts 1 to 17 at every element offset from a 16-byte boundary: a whole-vector call gives
// what element-by-element calls give, and nothing outside the destination changes.
TEST_P(SpLevelKernelTest, EveryCountAndOffsetConvertsEachElementOnce)
{
    const int l = Level();
    for (int32_t n = 1; n <= 17; ++n)
    {
        for (size_t offset = 0; offset < 16; offset += 4)
        {
            GuardedBuffer<float> src(n, offset);
            for (int32_t i = 0; i < n; ++i)
                src[i] = (i % 5 == 4) ? kNaN : float(i) * 4099.75f - 30000.5f;
            GuardedBuffer<int16_t> whole(n, offset / 2);
            GuardedBuffer<uint16_t> half(n, offset / 2);
            GuardedBuffer<double> wide(n, offset * 2 % 16);
            SP_AT(l, SpConvertF32ToI16Kernel)(src.data(), whole.data(), n, 1, 0);
            SP_AT(l, SpConvertF32ToF16Kernel)(src.data(), half.data(), n, 1);
            SP_AT(l, SpConvertF32ToF64Kernel)(src.data(), wide.data(), n);
            for (int32_t i = 0; i < n; ++i)
            {
                int16_t one;
                uint16_t oneHalf;
                SP_AT(l, SpConvertF32ToI16Kernel)(src.data() + i, &one, 1, 1, 0);
                SP_AT(l, SpConvertF32ToF16Kernel)(src.data() + i, &oneHalf, 1, 1);
                ASSERT_EQ(one, whole[i]) << n << " " << offset << " " << i;
                ASSERT_EQ(oneHalf, half[i]) << n << " " << offset << " " << i;
                ASSERT_EQ(FBits(float(wide[i])), FBits(src[i]));
            }
            ASSERT_TRUE(whole.GuardsIntact() && half.GuardsIntact() && wide.GuardsIntact()) << n;
        }
    }
}

// The move kernel against memmove: every count up to 70 and a few long ones, the source at every
// byte offset from a 16-byte boundary, the destination near and far on both sides (overlapping
// and not); the whole buffer must match, so nothing outside the destination changes.
TEST_P(SpLevelKernelTest, MoveKernelMovesOverlappingBytesAsMemmoveDoes)
{
    std::vector<uint8_t> pattern(1024), got, want;
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = uint8_t(i * 131 + 7);
    uint8_t* base = reinterpret_cast<uint8_t*>((uintptr_t(pattern.data()) + 15) & ~uintptr_t(15));
    const size_t origin = size_t(base - pattern.data()) + 320;
    for (uint64_t n = 1; n <= 260; n += n < 70 ? 1 : 63)
        for (size_t offset = 0; offset < 16; ++offset)
            for (int delta : {-300, -33, -16, -5, -4, -1, 1, 2, 4, 8, 17, 32, 64, 300})
            {
                got = want = pattern;
                const size_t from = origin + offset, to = size_t(int64_t(from) + delta);
                memmove(want.data() + to, want.data() + from, n);
                SP_AT(Level(), SpMoveI32Kernel)(got.data() + from, got.data() + to, n);
                ASSERT_EQ(want, got) << "n " << n << " offset " << offset << " delta " << delta;
            }
}

// Long double-precision outputs take the streaming stores; the values are the same.
TEST_P(SpLevelKernelTest, StreamedWideningGivesTheSameValues)
{
    const int32_t n = 209724 * 2 + 3;
    std::vector<int16_t> src(n);
    for (int32_t i = 0; i < n; ++i)
        src[i] = int16_t(i * 7919);
    std::vector<double> dst(n + 1);
    SP_AT(Level(), SpConvertI16ToF64Kernel)(src.data(), dst.data() + 1, n);
    for (int32_t i = 0; i < n; i += 997)
        ASSERT_EQ(double(src[i]), dst[i + 1]) << i;
    ASSERT_EQ(double(src[n - 1]), dst[n]);
}

// --- edges where the kernels used to go wrong, against exact arithmetic ---------------------------

namespace
{

// x times 2^-scale exactly (long double holds every float and double, and its exponent range
// covers every scale a float can survive), rounded by the rule and saturated to [lo, hi]. A NaN
// value gives `nanResult`.
int64_t ExactScaled(long double x, int32_t scale, int rule, int64_t lo, int64_t hi, int64_t nanResult)
{
    if (std::isnan(x))
        return nanResult;
    const long double y = std::ldexp(x, -std::clamp(scale, -20000, 20000));
    long double r = rule == 0 ? std::trunc(y) : (rule == 1 ? std::nearbyint(y) : std::round(y));
    return r >= (long double)hi ? hi : (r <= (long double)lo ? lo : int64_t(r));
}

// v / 2^shift exactly, ties away from zero, saturated to 32 bits: a power-of-two scaling of a
// 64-bit integer is exact in long double, whose significand holds 64 bits.
int64_t ExactShift(int64_t v, int32_t shift)
{
    const long double r = std::round(std::ldexp((long double)v, -std::clamp(shift, -20000, 20000)));
    return r >= 2147483647.0L ? INT32_MAX : (r <= -2147483648.0L ? INT32_MIN : int64_t(r));
}

enum KernelKind
{
    kI16,       // float to 16-bit, nearest even (flag 1) or toward zero (flag 0); NaN gives 0
    kI32,       // float to 32-bit, the same rules
    kF64I32,    // double to 32-bit, the same rules
    kF64I32Away // double to 32-bit, half away from zero; NaN gives the bound
};

struct EdgeCase
{
    KernelKind kind;
    double x;
    int32_t flag, scale;
    int64_t before; // what the kernel gave before it was mended, for the record
};

int64_t RunEdge(int level, const EdgeCase& c)
{
    int16_t r16 = 0;
    int32_t r32 = 0;
    const float xf = float(c.x);
    switch (c.kind)
    {
    case kI16:
        SP_AT(level, SpConvertF32ToI16Kernel)(&xf, &r16, 1, c.flag, c.scale);
        return r16;
    case kI32:
        SP_AT(level, SpConvertF32ToI32Kernel)(&xf, &r32, 1, c.flag, c.scale);
        return r32;
    case kF64I32:
        SP_AT(level, SpConvertF64ToI32Kernel)(&c.x, &r32, 1, c.flag, c.scale);
        return r32;
    case kF64I32Away:
        SP_AT(level, SpConvertF64ToI32AwayKernel)(&c.x, &r32, 1, c.scale);
        return r32;
    }
    return -1;
}

int64_t ExactEdge(const EdgeCase& c)
{
    // Beyond +-126 the float kernels scale in double by the generic build's factor, which is 0
    // from scale 1075 on: an infinity there is 0 x inf, a NaN, and gives 0 as it does there.
    if ((c.kind == kI16 || c.kind == kI32) && std::isinf(c.x) && c.scale >= 1075)
        return 0;
    const int rule = c.kind == kF64I32Away ? 2 : c.flag != 0 ? 1 : 0;
    if (c.kind == kI16)
        return ExactScaled(c.x, c.scale, rule, -32768, 32767, 0);
    return ExactScaled(c.x, c.scale, rule, INT32_MIN, INT32_MAX, c.kind == kF64I32Away ? INT32_MAX : 0);
}

// A zero or an infinity met an unbounded factor (+inf from scale -128 down, 0 from 150 up), and
// the product 0 x inf was a NaN: it took the bound of the clamp, and the NaN pass, which looked
// at the source, let it stand.
// clang-format off
const EdgeCase kEdges[] = {
    {kI16, 0.0, 1, -128, 32767},          {kI16, -0.0, 0, -200, 32767},        {kI16, 0.0, 1, INT32_MIN, 32767},
    {kI16, -HUGE_VAL, 1, 200, 32767},     {kI16, HUGE_VAL, 0, INT32_MAX, 32767}, {kI16, 1.0, 1, -128, 32767},
    {kI16, -1.5, 1, 150, 0},              {kI16, 3.0, 1, 1, 2},               {kI16, double(NAN), 1, -128, 0},
    {kI32, 0.0, 1, -128, INT32_MIN},      {kI32, 0.0, 0, INT32_MIN, INT32_MIN}, {kI32, -HUGE_VAL, 1, 200, INT32_MIN},
    {kI32, HUGE_VAL, 1, 200, INT32_MIN},  {kI32, -1.0, 0, -130, INT32_MIN},   {kI32, 1.5e9, 1, -1, INT32_MAX},
    {kF64I32, 0.0, 1, -128, INT32_MAX},   {kF64I32, -HUGE_VAL, 0, 200, INT32_MAX}, {kF64I32, 2.5, 1, 0, 2},
    {kF64I32, double(NAN), 0, -300, 0},
    {kF64I32Away, 0.0, 0, -128, INT32_MAX}, {kF64I32Away, -HUGE_VAL, 0, 200, INT32_MAX},
    {kF64I32Away, 0.0, 0, INT32_MIN, INT32_MAX}, {kF64I32Away, -2.5, 0, 0, -3}, {kF64I32Away, 5.0, 0, 1, 3},
};
// clang-format on

} // namespace

TEST_P(SpLevelKernelTest, ScaledEdgesMatchExactArithmetic)
{
    for (const EdgeCase& c : kEdges)
        EXPECT_EQ(ExactEdge(c), RunEdge(Level(), c))
            << "kind " << c.kind << " x " << c.x << " flag " << c.flag << " scale " << c.scale << " (gave "
            << c.before << " before)";
}

// The factor of an extreme scale is formed in bounded time whatever the caller's rounding: toward
// zero, doubling never reaches infinity (it stops at the largest float), so an unbounded loop ran
// the scale's magnitude in steps (2.3 s at INT32_MIN). Every kernel family, one element each.
TEST_P(SpLevelKernelTest, ExtremeScalesUnderEveryRoundingControl)
{
    CsrGuard guard;
    for (unsigned mode : {0x0000u, 0x2000u, 0x4000u, 0x6000u})
        for (int32_t scale : {INT32_MIN, INT32_MIN + 1, -1000, 1000, INT32_MAX})
        {
            _mm_setcsr((guard.saved & ~0x6000u) | mode);
            const float x = -1.0f;
            int16_t r16 = 0, a16 = 0;
            int32_t r32 = 0, a32 = 0;
            SP_AT(Level(), SpConvertF32ToI16Kernel)(&x, &r16, 1, 0, scale);
            SP_AT(Level(), SpConvertF32ToI32Kernel)(&x, &r32, 1, 0, scale);
            SP_AT(Level(), SpConvertF32ToI16AwayKernel)(&x, &a16, 1, scale);
            SP_AT(Level(), SpConvertF32ToI32AwayKernel)(&x, &a32, 1, scale);
            _mm_setcsr(guard.saved);
            const bool big = scale < 0;
            EXPECT_EQ(big ? -32768 : 0, r16) << mode << " " << scale;
            EXPECT_EQ(big ? INT32_MIN : 0, r32) << mode << " " << scale;
            EXPECT_EQ(big ? -32768 : 0, a16) << mode << " " << scale;
            EXPECT_EQ(big ? INT32_MIN : 0, a32) << mode << " " << scale;
        }
}

// Above scale 16 every finite half gives 0 whatever the rounding; the largest finite half at
// scale 17 (0.4998) used to round to 1 under a caller rounding up. Infinities keep their bounds.
TEST_P(SpLevelKernelTest, HalfToIntegerAboveScaleSixteenIsZeroUnderEveryRounding)
{
    CsrGuard guard;
    const uint16_t in[] = {0x7BFF, 0xFBFF, 0x3C00, 0x0001, 0x7C00, 0xFC00, 0x7E00};
    for (unsigned mode : {0x0000u, 0x2000u, 0x4000u, 0x6000u})
        for (int32_t flag : {0, 1})
            for (int32_t scale : {17, 30, INT32_MAX})
            {
                int16_t out[7];
                _mm_setcsr((guard.saved & ~0x6000u) | mode);
                SP_AT(Level(), SpConvertF16ToI16Kernel)(in, out, 7, flag, scale);
                _mm_setcsr(guard.saved);
                EXPECT_EQ((std::vector<int16_t>{0, 0, 0, 0, 32767, -32768, 0}),
                          std::vector<int16_t>(out, out + 7))
                    << "mode " << mode << " flag " << flag << " scale " << scale;
            }
}

// Shift counts outside 1..32 keep the meaning v / 2^shift instead of an undefined shift (shift 0
// computed 1 << -1); checked against exact arithmetic over values at the integer edges.
TEST_P(SpLevelKernelTest, RoundingShiftOfEveryCountMatchesExactArithmetic)
{
    const std::vector<int64_t> values = {0,
                                         1,
                                         -1,
                                         3,
                                         -3,
                                         5,
                                         -5,
                                         INT32_MAX,
                                         INT32_MIN,
                                         4294967295,
                                         -4294967296,
                                         INT64_MAX,
                                         INT64_MIN,
                                         1099511627776,
                                         -1099511627775};
    for (int32_t shift :
         {INT32_MIN, -64, -33, -32, -31, -1, 0, 1, 31, 32, 33, 62, 63, 64, 100, 127, 128, INT32_MAX})
    {
        std::vector<int32_t> got(values.size());
        SP_AT(Level(), SpConvertI64ToI32ShiftKernel)
        (values.data(), got.data(), int32_t(values.size()), shift);
        for (size_t i = 0; i < values.size(); ++i)
            EXPECT_EQ(ExactShift(values[i], shift), got[i]) << values[i] << " shift " << shift;
    }
}

// The widening kernels' vector blocks against the exact value (every 8- and 16-bit integer is a
// float; 32-bit ones round once, to nearest even here): every count up to 40 at every element
// offset of the source and at destinations 0 to 14 bytes past a 16-byte boundary.
template <typename S, typename K> void CheckWidening(K kernel, uint32_t seed)
{
    TestRng rng(seed);
    for (int32_t n = 1; n <= 40; ++n)
        for (size_t srcOffset = 0; srcOffset < 16; srcOffset += sizeof(S))
            for (size_t dstOffset = 0; dstOffset < 16; dstOffset += 2)
            {
                GuardedBuffer<uint8_t> src(n * sizeof(S), srcOffset), dst(4 * size_t(n), dstOffset);
                std::vector<S> values(n);
                for (S& v : values)
                    v = S(rng.Next32());
                memcpy(src.data(), values.data(), n * sizeof(S));
                kernel(reinterpret_cast<const S*>(src.data()), reinterpret_cast<float*>(dst.data()), n);
                for (int32_t i = 0; i < n; ++i)
                {
                    float got;
                    memcpy(&got, dst.data() + 4 * i, 4);
                    ASSERT_EQ(FBits(float(double(values[i]))), FBits(got))
                        << "count " << n << " offsets " << srcOffset << "/" << dstOffset << " element " << i;
                }
                ASSERT_TRUE(dst.GuardsIntact()) << n;
            }
}

TEST_P(SpLevelKernelTest, WideningBlocksGiveTheExactValuesAtEveryOffset)
{
    const int l = Level();
    CheckWidening<int8_t>(SP_AT(l, SpConvertI8ToF32Kernel), 1);
    CheckWidening<uint8_t>(SP_AT(l, SpConvertU8ToF32Kernel), 2);
    CheckWidening<int16_t>(SP_AT(l, SpConvertI16ToF32UnscaledKernel), 3);
    CheckWidening<uint16_t>(SP_AT(l, SpConvertU16ToF32Kernel), 4);
    CheckWidening<int32_t>(SP_AT(l, SpConvertI32ToF32Kernel), 5);
}

// The narrowing kernels' vector blocks against exact arithmetic: the value times 2^-scale
// rounded by the flag and saturated, a NaN giving 0; counts up to 40 at every element offset
// of source and destination, both flags and scales from -200 to 200. Sources stay at least
// 2^-20 in magnitude (or 0), where the kernels' finite factor changes nothing.
template <typename D, typename K> void CheckNarrowing(K kernel, int64_t lo, int64_t hi, uint32_t seed)
{
    TestRng rng(seed);
    const float specials[] = {0.0f,      -0.0f,    kNaN,          -kNaN,  kInf,    -kInf,  0.5f,
                              1.5f,      2.5f,     -2.5f,         127.5f, -128.5f, 255.5f, 32767.5f,
                              -32768.5f, 65535.5f, 2147483520.0f, 3.0e9f, -3.0e9f};
    for (int32_t scale : {0, 3, -15, -200, 200})
        for (int32_t flag : {0, 1})
            for (int32_t n = 1; n <= 40; n += (n < 18 ? 1 : 11))
                for (size_t srcOffset = 0; srcOffset < 16; srcOffset += 4)
                    for (size_t dstOffset = 0; dstOffset < 16; dstOffset += sizeof(D))
                    {
                        std::vector<float> values(n);
                        for (float& v : values)
                            v = rng.Next32() % 3 == 0
                                    ? specials[rng.Next32() % (sizeof(specials) / sizeof(specials[0]))]
                                    : float(std::ldexp(rng.Uniform(-1.0, 1.0), int(rng.Next32() % 61) - 20));
                        GuardedBuffer<uint8_t> src(4 * size_t(n), srcOffset), dst(n * sizeof(D), dstOffset);
                        memcpy(src.data(), values.data(), 4 * size_t(n));
                        kernel(reinterpret_cast<const float*>(src.data()), reinterpret_cast<D*>(dst.data()),
                               n, flag, scale);
                        for (int32_t i = 0; i < n; ++i)
                        {
                            D got;
                            memcpy(&got, dst.data() + i * sizeof(D), sizeof(D));
                            ASSERT_EQ(ExactScaled(values[i], scale, flag != 0 ? 1 : 0, lo, hi, 0),
                                      int64_t(got))
                                << "value " << values[i] << " scale " << scale << " flag " << flag
                                << " count " << n << " offsets " << srcOffset << "/" << dstOffset;
                        }
                        ASSERT_TRUE(dst.GuardsIntact()) << n;
                    }
}

TEST_P(SpLevelKernelTest, NarrowingBlocksMatchExactArithmeticAtEveryOffset)
{
    const int l = Level();
    CheckNarrowing<int16_t>(SP_AT(l, SpConvertF32ToI16Kernel), -32768, 32767, 11);
    CheckNarrowing<uint16_t>(SP_AT(l, SpConvertF32ToU16Kernel), 0, 65535, 12);
    CheckNarrowing<int8_t>(SP_AT(l, SpConvertF32ToI8Kernel), -128, 127, 13);
    CheckNarrowing<uint8_t>(SP_AT(l, SpConvertF32ToU8Kernel), 0, 255, 14);
    CheckNarrowing<int32_t>(SP_AT(l, SpConvertF32ToI32Kernel), INT32_MIN, INT32_MAX, 15);
}

// The 16- and 24-bit widening kernels of the level builds against the exact value (integers,
// and their products with a power of two, are exact in float): every count up to 40 at every
// source offset (every byte for packed 24-bit) and destinations at 2-byte steps.
TEST_P(SpLevelKernelTest, SixteenAndTwentyFourBitWideningMatchesExactValues)
{
    const int l = Level();
    TestRng rng(21);
    for (int32_t n = 1; n <= 40; ++n)
        for (size_t srcOffset = 0; srcOffset < 16; ++srcOffset)
            for (size_t dstOffset = 0; dstOffset < 16; dstOffset += 2)
            {
                std::vector<uint8_t> bytes(3 * size_t(n));
                for (uint8_t& b : bytes)
                    b = uint8_t(rng.Next32());
                GuardedBuffer<uint8_t> i24(bytes.size(), srcOffset),
                    i16(2 * size_t(n), srcOffset & ~size_t(1));
                memcpy(i24.data(), bytes.data(), bytes.size());
                memcpy(i16.data(), bytes.data(), 2 * size_t(n));
                GuardedBuffer<uint8_t> f24(4 * size_t(n), dstOffset), n24(4 * size_t(n), dstOffset),
                    f16(4 * size_t(n), dstOffset), s16(4 * size_t(n), dstOffset);
                const float factor = 0.125f;
                SP_AT(l, SpConvertI24ToF32Kernel)(i24.data(), reinterpret_cast<float*>(f24.data()), n);
                SP_AT(l, SpConvertI24ToI32Kernel)(i24.data(), reinterpret_cast<int32_t*>(n24.data()), n);
                SP_AT(l, SpConvertI16ToF32Kernel)
                (reinterpret_cast<const int16_t*>(i16.data()), reinterpret_cast<float*>(f16.data()), n);
                SP_AT(l, SpConvertI16ToF32ScaleKernel)
                (reinterpret_cast<const int16_t*>(i16.data()), reinterpret_cast<float*>(s16.data()), n,
                 &factor);
                const float third = 0.3f; // not a power of two: the multiply blocks
                GuardedBuffer<uint8_t> t16(4 * size_t(n), dstOffset);
                SP_AT(l, SpConvertI16ToF32ScaleKernel)
                (reinterpret_cast<const int16_t*>(i16.data()), reinterpret_cast<float*>(t16.data()), n,
                 &third);
                for (int32_t i = 0; i < n; ++i)
                {
                    const int32_t v24 =
                        int32_t(uint32_t(bytes[3 * i]) << 8 | uint32_t(bytes[3 * i + 1]) << 16 |
                                uint32_t(bytes[3 * i + 2]) << 24) >>
                        8;
                    const int32_t v16 = int16_t(uint16_t(bytes[2 * i] | bytes[2 * i + 1] << 8));
                    float f;
                    int32_t k;
                    memcpy(&f, f24.data() + 4 * i, 4);
                    memcpy(&k, n24.data() + 4 * i, 4);
                    ASSERT_EQ(double(v24), double(f))
                        << n << " " << srcOffset << "/" << dstOffset << " " << i;
                    ASSERT_EQ(v24, k) << n << " " << srcOffset << "/" << dstOffset << " " << i;
                    memcpy(&f, f16.data() + 4 * i, 4);
                    ASSERT_EQ(double(v16), double(f))
                        << n << " " << srcOffset << "/" << dstOffset << " " << i;
                    memcpy(&f, s16.data() + 4 * i, 4);
                    ASSERT_EQ(std::ldexp(double(v16), -3), double(f)) << n << " " << i;
                    memcpy(&f, t16.data() + 4 * i, 4);
                    ASSERT_EQ(FBits(float(double(v16) * double(third))), FBits(f)) << n << " " << i;
                }
                ASSERT_TRUE(f24.GuardsIntact() && n24.GuardsIntact() && f16.GuardsIntact() &&
                            s16.GuardsIntact() && t16.GuardsIntact());
            }
}

// The packed 24-bit narrowing kernels against exact arithmetic at every count up to 40, every
// source offset and every destination byte offset: saturation to 24 bits, nearest-even for the
// float kernels whatever the caller's rounding (a NaN gives 0, as in the generic build), the
// rounding right shift with ties to even (counts 0 and 40 too, which used to
// shift by -1) and the saturating left shift (from 24 on every nonzero value saturates by its
// sign: -1 used to give 0).
TEST_P(SpLevelKernelTest, PackedTwentyFourBitNarrowingMatchesExactArithmetic)
{
    CsrGuard guard;
    const int l = Level();
    TestRng rng(31);
    const auto exact = [](long double v) {
        return v != v ? 0 : v >= 8388607.0L ? 8388607 : v <= -8388608.0L ? -8388608 : int32_t(v);
    };
    for (int32_t n = 1; n <= 40; n += (n < 20 ? 1 : 7))
        for (size_t srcOffset = 0; srcOffset < 16; srcOffset += 4)
            for (size_t dstOffset = 0; dstOffset < 16; ++dstOffset)
            {
                std::vector<int32_t> ints(n);
                std::vector<float> floats(n);
                for (int32_t i = 0; i < n; ++i)
                {
                    ints[i] = rng.Next32() % 4 == 0 ? int32_t(rng.Next32() % 7) - 3
                                                    : int32_t(rng.Next32()) >> (rng.Next32() % 24);
                    floats[i] = i % 11 == 5
                                    ? kNaN
                                    : float(rng.Uniform(-1.2, 1.2) * 8388608.0 / (1 << (rng.Next32() % 8)));
                }
                GuardedBuffer<uint8_t> is(4 * size_t(n), srcOffset), fs(4 * size_t(n), srcOffset);
                memcpy(is.data(), ints.data(), 4 * size_t(n));
                memcpy(fs.data(), floats.data(), 4 * size_t(n));
                const auto* ip = reinterpret_cast<const int32_t*>(is.data());
                const auto* fp = reinterpret_cast<const float*>(fs.data());
                for (int which = 0; which < 9; ++which)
                {
                    const int32_t shift = which == 3   ? 8
                                          : which == 4 ? 24
                                          : which == 6 ? 31
                                          : which == 7 ? 0
                                          : which == 8 ? 40
                                                       : 3;
                    GuardedBuffer<uint8_t> out(3 * size_t(n), dstOffset);
                    _mm_setcsr((guard.saved & ~0x6000u) | 0x4000u); // the caller rounds up
                    if (which == 0)
                        SP_AT(l, SpConvertF32ToI24Kernel)(fp, out.data(), n);
                    else if (which == 1)
                        SP_AT(l, SpConvertF32ToI24ScaleKernel)(fp, out.data(), n, -2);
                    else if (which == 2)
                        SP_AT(l, SpConvertI32ToI24Kernel)(ip, out.data(), n);
                    else if (which >= 5)
                        SP_AT(l, SpConvertI32ToI24DownScaleKernel)(ip, out.data(), n, shift);
                    else
                        SP_AT(l, SpConvertI32ToI24UpScaleKernel)(ip, out.data(), n, shift);
                    _mm_setcsr(guard.saved);
                    for (int32_t i = 0; i < n; ++i)
                    {
                        int32_t want;
                        if (which == 0 || which == 1)
                            want =
                                exact(std::nearbyint(std::ldexp((long double)floats[i], which == 1 ? 2 : 0)));
                        else if (which == 2)
                            want = exact(ints[i]);
                        else if (which >= 5)
                            want = exact(std::nearbyint(std::ldexp((long double)ints[i], -shift)));
                        else
                            want = exact(std::ldexp((long double)ints[i], shift));
                        const int32_t got =
                            int32_t(uint32_t(out[3 * i]) << 8 | uint32_t(out[3 * i + 1]) << 16 |
                                    uint32_t(out[3 * i + 2]) << 24) >>
                            8;
                        ASSERT_EQ(want, got) << "kernel " << which << " count " << n << " offsets "
                                             << srcOffset << "/" << dstOffset << " element " << i;
                    }
                    ASSERT_TRUE(out.GuardsIntact()) << which << " " << n;
                }
            }
}

// The half-away kernels' vector blocks against exact rounding half away from zero (half up for
// the unsigned targets, whose negatives give 0), on quarter steps where every addition of the
// half is exact; a NaN gives the bound the kernel applies. Every count up to 40 at every element
// offset of source and destination.
template <typename D, typename K>
void CheckAway(K kernel, int64_t lo, int64_t hi, int64_t nanResult, uint32_t seed)
{
    TestRng rng(seed);
    for (int32_t scale : {0, 2, -1})
        for (int32_t n = 1; n <= 40; n += (n < 18 ? 1 : 11))
            for (size_t srcOffset = 0; srcOffset < 16; srcOffset += 4)
                for (size_t dstOffset = 0; dstOffset < 16; dstOffset += sizeof(D))
                {
                    std::vector<float> values(n);
                    for (float& v : values)
                        v = rng.Next32() % 9 == 0
                                ? kNaN
                                : float(int64_t(rng.Next32() % uint32_t(6 * (hi - lo) + 8)) -
                                        int64_t(3 * (hi - lo) + 4)) /
                                      4.0f;
                    GuardedBuffer<uint8_t> src(4 * size_t(n), srcOffset), dst(n * sizeof(D), dstOffset);
                    memcpy(src.data(), values.data(), 4 * size_t(n));
                    kernel(reinterpret_cast<const float*>(src.data()), reinterpret_cast<D*>(dst.data()), n,
                           scale);
                    for (int32_t i = 0; i < n; ++i)
                    {
                        D got;
                        memcpy(&got, dst.data() + i * sizeof(D), sizeof(D));
                        const int64_t want =
                            std::isnan(values[i])
                                ? nanResult
                                : ExactScaled(lo == 0 ? std::max(0.0L, (long double)values[i]) : values[i],
                                              scale, 2, lo, hi, 0);
                        ASSERT_EQ(want, int64_t(got))
                            << "value " << values[i] << " scale " << scale << " count " << n << " offsets "
                            << srcOffset << "/" << dstOffset;
                    }
                    ASSERT_TRUE(dst.GuardsIntact()) << n;
                }
}

TEST_P(SpLevelKernelTest, HalfAwayBlocksMatchExactRoundingAtEveryOffset)
{
    const int l = Level();
    CheckAway<int8_t>(SP_AT(l, SpConvertF32ToI8AwayKernel), -128, 127, 127, 41);
    CheckAway<uint8_t>(SP_AT(l, SpConvertF32ToU8AwayKernel), 0, 255, 255, 42);
    CheckAway<int16_t>(SP_AT(l, SpConvertF32ToI16AwayKernel), -32768, 32767, 32767, 43);
    CheckAway<uint16_t>(SP_AT(l, SpConvertF32ToU16AwayKernel), 0, 65535, 0, 44);
}

// The double-precision kernels' blocks against their exact values: 16-bit integers to double
// (times 0.5), and doubles narrowed to float after the limit to the float range (a NaN gives the
// largest float), every count up to 40 at every element offset of both buffers.
TEST_P(SpLevelKernelTest, DoublePrecisionBlocksMatchExactValuesAtEveryOffset)
{
    const int l = Level();
    TestRng rng(51);
    const double half = 0.5;
    for (int32_t n = 1; n <= 40; ++n)
        for (size_t srcOffset = 0; srcOffset < 16; srcOffset += 2)
            for (size_t dstOffset = 0; dstOffset < 16; dstOffset += 4)
            {
                std::vector<int16_t> words(n);
                std::vector<double> wide(n);
                for (int32_t i = 0; i < n; ++i)
                {
                    words[i] = int16_t(rng.Next32());
                    wide[i] = i % 13 == 7
                                  ? double(NAN)
                                  : rng.Uniform(-1.0, 1.0) * std::ldexp(1.0, int(rng.Next32() % 300) - 150);
                }
                GuardedBuffer<uint8_t> w(2 * size_t(n), srcOffset), x(8 * size_t(n), srcOffset & ~size_t(7));
                memcpy(w.data(), words.data(), 2 * size_t(n));
                memcpy(x.data(), wide.data(), 8 * size_t(n));
                GuardedBuffer<uint8_t> toWide(8 * size_t(n), dstOffset), toFloat(4 * size_t(n), dstOffset);
                SP_AT(l, SpConvertI16ToF64ScaleKernel)
                (reinterpret_cast<const int16_t*>(w.data()), reinterpret_cast<double*>(toWide.data()), n,
                 &half);
                SP_AT(l, SpConvertF64ToF32Kernel)
                (reinterpret_cast<const double*>(x.data()), reinterpret_cast<float*>(toFloat.data()), n);
                for (int32_t i = 0; i < n; ++i)
                {
                    double gotWide;
                    float gotFloat;
                    memcpy(&gotWide, toWide.data() + 8 * i, 8);
                    memcpy(&gotFloat, toFloat.data() + 4 * i, 4);
                    ASSERT_EQ(words[i] * 0.5, gotWide)
                        << n << " " << srcOffset << "/" << dstOffset << " " << i;
                    const float want = std::isnan(wide[i])
                                           ? FLT_MAX
                                           : float(std::clamp(wide[i], -double(FLT_MAX), double(FLT_MAX)));
                    ASSERT_EQ(FBits(want), FBits(gotFloat)) << wide[i] << " count " << n << " element " << i;
                }
                ASSERT_TRUE(toWide.GuardsIntact() && toFloat.GuardsIntact()) << n;
            }
}

// Doubles to 32-bit integers (both flags, several scales) and 32-bit integers to double against
// exact arithmetic, every count up to 40 at destinations on either side of an 8-byte boundary.
TEST_P(SpLevelKernelTest, DoubleAndThirtyTwoBitBlocksMatchExactArithmetic)
{
    const int l = Level();
    TestRng rng(61);
    for (int32_t n = 1; n <= 40; ++n)
        for (size_t dstOffset = 0; dstOffset < 16; dstOffset += 4)
            for (int32_t scale : {0, -1, 3, 200})
                for (int32_t flag : {0, 1})
                {
                    std::vector<double> x(n);
                    std::vector<int32_t> ints(n);
                    for (int32_t i = 0; i < n; ++i)
                    {
                        x[i] = i % 9 == 4 ? double(NAN)
                                          : rng.Uniform(-1.5, 1.5) * std::ldexp(1.0, int(rng.Next32() % 34));
                        ints[i] = int32_t(rng.Next32());
                    }
                    GuardedBuffer<uint8_t> out(4 * size_t(n), dstOffset),
                        wide(8 * size_t(n), dstOffset * 2 % 16);
                    SP_AT(l, SpConvertF64ToI32Kernel)
                    (x.data(), reinterpret_cast<int32_t*>(out.data()), n, flag, scale);
                    SP_AT(l, SpConvertI32ToF64Kernel)(ints.data(), reinterpret_cast<double*>(wide.data()), n);
                    for (int32_t i = 0; i < n; ++i)
                    {
                        int32_t got;
                        double gotWide;
                        memcpy(&got, out.data() + 4 * i, 4);
                        memcpy(&gotWide, wide.data() + 8 * i, 8);
                        ASSERT_EQ(ExactScaled(x[i], scale, flag, INT32_MIN, INT32_MAX, 0), got)
                            << x[i] << " scale " << scale << " flag " << flag << " count " << n << " element "
                            << i;
                        ASSERT_EQ(double(ints[i]), gotWide) << n << " " << i;
                    }
                    ASSERT_TRUE(out.GuardsIntact() && wide.GuardsIntact()) << n;
                }
}

// The half-precision kernels over every 16-bit pattern in one call (the block loops) at two
// destination offsets, against values decoded and encoded with integer arithmetic: every half
// widens to its exact float (a NaN to the quiet NaN with its payload moved up), every finite half
// narrows back to itself with rounding and midpoints between neighbours go to the even one,
// and every 16-bit integer narrows to its value rounded to eleven significant bits.
namespace
{

double HalfValue(uint16_t h)
{
    const int e = (h >> 10) & 31, m = h & 1023;
    const double magnitude = e == 0 ? std::ldexp(double(m), -24) : std::ldexp(double(1024 + m), e - 25);
    return (h & 0x8000) ? -magnitude : magnitude;
}

uint16_t HalfOfInteger(int32_t v, bool nearest)
{
    const uint16_t sign = v < 0 ? 0x8000 : 0;
    uint32_t r = uint32_t(v < 0 ? -v : v);
    int e = 0;
    while ((r >> e) >= 2048)
        ++e;
    if (e > 0)
    {
        const uint32_t rest = r & ((1u << e) - 1), halfway = 1u << (e - 1);
        r >>= e;
        if (nearest && (rest > halfway || (rest == halfway && (r & 1))))
            ++r;
        r <<= e;
    }
    if (r == 0)
        return sign;
    int top = 31 - __builtin_clz(r); // r = 1.m x 2^top
    return uint16_t(sign | (top + 15) << 10 |
                    ((r << (10 - std::min(top, 10))) >> std::max(top - 10, 0) & 1023));
}

} // namespace

TEST_P(SpLevelKernelTest, HalfPrecisionOverEveryPatternMatchesIntegerDecoding)
{
    const int l = Level();
    std::vector<uint16_t> halves(65536);
    std::vector<int16_t> ints(65536);
    for (uint32_t k = 0; k < 65536; ++k)
    {
        halves[k] = uint16_t(k);
        ints[k] = int16_t(k);
    }
    for (size_t dstOffset : {0, 6})
    {
        GuardedBuffer<uint8_t> wide(4 * 65536, dstOffset * 2), back(2 * 65536, dstOffset),
            mid(2 * 65536, dstOffset);
        SP_AT(l, SpConvertF16ToF32Kernel)(halves.data(), reinterpret_cast<float*>(wide.data()), 65536);
        std::vector<float> widened(65536), midpoints(65536);
        memcpy(widened.data(), wide.data(), 4 * 65536);
        for (uint32_t k = 0; k < 65536; ++k)
        {
            const uint16_t h = uint16_t(k);
            if ((h & 0x7FFF) > 0x7C00)
                ASSERT_EQ(uint32_t(h & 0x8000) << 16 | 0x7FC00000u | uint32_t(h & 0x3FF) << 13,
                          FBits(widened[k]))
                    << k;
            else if ((h & 0x7FFF) == 0x7C00)
                ASSERT_EQ((h & 0x8000) ? 0xFF800000u : 0x7F800000u, FBits(widened[k])) << k;
            else
                ASSERT_EQ(HalfValue(h), double(widened[k])) << k;
            // Halfway to the next half up in magnitude (below the largest finite one).
            midpoints[k] =
                (h & 0x7FFF) < 0x7BFF ? float((HalfValue(h) + HalfValue(uint16_t(h + 1))) / 2) : 0.0f;
        }
        SP_AT(l, SpConvertF32ToF16Kernel)(widened.data(), reinterpret_cast<uint16_t*>(back.data()), 65536, 1);
        SP_AT(l, SpConvertF32ToF16Kernel)
        (midpoints.data(), reinterpret_cast<uint16_t*>(mid.data()), 65536, 1);
        for (uint32_t k = 0; k < 65536; ++k)
        {
            uint16_t got, gotMid;
            memcpy(&got, back.data() + 2 * k, 2);
            memcpy(&gotMid, mid.data() + 2 * k, 2);
            if ((k & 0x7FFF) <= 0x7C00)
            {
                ASSERT_EQ(uint16_t(k), got) << k;
            }
            if ((k & 0x7FFF) < 0x7BFF)
            {
                ASSERT_EQ((k & 1) ? uint16_t(k + 1) : uint16_t(k), gotMid) << k;
            }
        }
        for (int32_t flag : {0, 1})
        {
            GuardedBuffer<uint8_t> out(2 * 65536, dstOffset);
            SP_AT(l, SpConvertI16ToF16Kernel)
            (ints.data(), reinterpret_cast<uint16_t*>(out.data()), 65536, flag);
            for (uint32_t k = 0; k < 65536; ++k)
            {
                uint16_t got;
                memcpy(&got, out.data() + 2 * k, 2);
                ASSERT_EQ(HalfOfInteger(ints[k], flag != 0), got) << ints[k] << " flag " << flag;
            }
            ASSERT_TRUE(out.GuardsIntact());
        }
        ASSERT_TRUE(wide.GuardsIntact() && back.GuardsIntact() && mid.GuardsIntact());
    }
}

// Half to 16-bit integer over every pattern at scales around the vector path's limits, both
// flags: the exact value times 2^-scale rounded (nearest even or toward zero) and saturated; a
// NaN gives 0, an infinity its bound, and above scale 16 every finite half gives 0.
TEST_P(SpLevelKernelTest, HalfToIntegerOverEveryPatternMatchesExactArithmetic)
{
    const int l = Level();
    std::vector<uint16_t> halves(65536);
    for (uint32_t k = 0; k < 65536; ++k)
        halves[k] = uint16_t(k);
    for (int32_t scale : {-127, -126, -20, -15, 0, 1, 5, 16, 17})
        for (int32_t flag : {0, 1})
        {
            GuardedBuffer<uint8_t> out(2 * 65536, 6);
            SP_AT(l, SpConvertF16ToI16Kernel)
            (halves.data(), reinterpret_cast<int16_t*>(out.data()), 65536, flag, scale);
            for (uint32_t k = 0; k < 65536; ++k)
            {
                const uint16_t h = uint16_t(k);
                int64_t want;
                if ((h & 0x7FFF) > 0x7C00)
                    want = 0;
                else if ((h & 0x7FFF) == 0x7C00)
                    want = (h & 0x8000) ? -32768 : 32767;
                else if (scale > 16)
                    want = 0;
                else
                    want = ExactScaled((long double)HalfValue(h), scale, flag != 0 ? 1 : 0, -32768, 32767, 0);
                int16_t got;
                memcpy(&got, out.data() + 2 * k, 2);
                ASSERT_EQ(want, got) << "half " << k << " scale " << scale << " flag " << flag;
            }
            ASSERT_TRUE(out.GuardsIntact());
        }
}

// Doubles rounded half away from zero to 32-bit integers, on quarter steps where adding the half
// is exact, every count up to 40 on either side of an 8-byte destination boundary: the exact
// rounding, saturated; a NaN gives the upper bound the kernel applies.
TEST_P(SpLevelKernelTest, DoubleHalfAwayBlocksMatchExactRounding)
{
    const int l = Level();
    TestRng rng(71);
    for (int32_t scale : {0, 2, -1})
        for (int32_t n = 1; n <= 40; ++n)
            for (size_t dstOffset : {0, 4, 8, 12})
            {
                std::vector<double> x(n);
                for (double& v : x)
                    v = rng.Next32() % 11 == 0 ? double(NAN) : double(int64_t(rng.Next()) >> 29) / 4.0;
                GuardedBuffer<uint8_t> out(4 * size_t(n), dstOffset);
                SP_AT(l, SpConvertF64ToI32AwayKernel)
                (x.data(), reinterpret_cast<int32_t*>(out.data()), n, scale);
                for (int32_t i = 0; i < n; ++i)
                {
                    int32_t got;
                    memcpy(&got, out.data() + 4 * i, 4);
                    const int64_t want =
                        std::isnan(x[i]) ? INT32_MAX : ExactScaled(x[i], scale, 2, INT32_MIN, INT32_MAX, 0);
                    ASSERT_EQ(want, got) << x[i] << " scale " << scale << " count " << n << " element " << i;
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
}

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpLevelKernelTest, ::testing::Values(1, 2, 3), SpLevelName);
