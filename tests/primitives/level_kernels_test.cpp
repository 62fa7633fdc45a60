// The conversion kernels of the level builds at levels 1 to 3: one table of documented values
// (saturation, NaN, ties, scales, half precision, the rounding shift), the caller's MXCSR as
// each kernel family leaves it, and every count from 1 to 17 at every element offset converting
// each element exactly once between guard zones.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

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
    {"F32ToI24 saturates, ties to even", [](int l) { return Run<float, uint8_t>({8388608.0f, kInf, -kInf, kNaN, 2.5f, 3.5f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, [l](auto s, auto d, int32_t) { SP_AT(l, SpConvertF32ToI24Kernel)(s, d, 6); }); },
     {0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x7F, 0, 0, 0x80, 0, 0, 0x80, 2, 0, 0, 4, 0, 0}},
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

INSTANTIATE_TEST_SUITE_P(Levels1To3, SpLevelKernelTest, ::testing::Values(1, 2, 3), SpLevelName);
