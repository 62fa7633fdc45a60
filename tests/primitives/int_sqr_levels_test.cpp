// Integer square kernels with a scale factor at levels 1-3, held to exact integer arithmetic:
// x^2 * 2^-s (complex: re^2 - im^2 and 2*re*im) rounded to nearest with ties to even and saturated
// to the element type, for every scale factor.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "driver/primitives/vectors/sp_int_sqr_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{
// clang-format off
#define SP_LEVELS(name, k) const decltype(&k##_L1) name[] = {k##_L1, k##_L2, k##_L3}
SP_LEVELS(kI16, SpSqrScaleKernelI16); SP_LEVELS(kCi16, SpSqrScaleKernelCI16);
SP_LEVELS(kU8, SpSqrScaleKernelU8); SP_LEVELS(kU16, SpSqrScaleKernelU16);
// clang-format on
const int32_t kFarScales[] = {INT_MIN, -100, -41, 41, 62, 100, INT_MAX};

// v * 2^-s rounded half to even, clamped to [lo, hi]; |v| < 2^41.
int64_t Scaled(int64_t v, int32_t s, int64_t lo, int64_t hi)
{
    __int128 q = 0;
    if (s <= 0)
        q = v == 0 ? 0 : (s < -40 ? (v > 0 ? hi : lo) : __int128(v) * (__int128(1) << -s));
    else if (s < 62)
    {
        const __int128 d = __int128(1) << s;
        q = v >= 0 ? __int128(v) / d : -((-__int128(v) + d - 1) / d);
        const __int128 r2 = 2 * (__int128(v) - q * d);
        q += (r2 > d || (r2 == d && (q & 1))) ? 1 : 0;
    }
    return q < lo ? lo : (q > hi ? hi : int64_t(q));
}

// One element by the rule; kind 0: int16, 1: byte, 2: uint16, 3: complex int16.
void Expected(int kind, const uint8_t* p, uint8_t* q, int32_t s)
{
    int16_t r[2];
    memcpy(r, p, kind == 1 ? 1 : (kind == 3 ? 4 : 2));
    const int64_t lo = kind == 0 || kind == 3 ? -32768 : 0,
                  hi = kind == 1 ? 255 : (kind == 2 ? 65535 : 32767);
    const int64_t x = kind == 1 ? *p : (kind == 2 ? uint16_t(r[0]) : r[0]), y = kind == 3 ? r[1] : 0;
    r[0] = int16_t(Scaled(x * x - y * y, s, lo, hi)), r[1] = int16_t(Scaled(2 * x * y, s, lo, hi));
    memcpy(q, r, kind == 1 ? 1 : (kind == 3 ? 4 : 2));
}

const size_t kSize[] = {2, 1, 2, 4};

void Square(int level, int kind, const uint8_t* src, uint8_t* dst, int32_t n, int32_t s)
{
    if (kind == 0)
        kI16[level - 1](reinterpret_cast<const int16_t*>(src), reinterpret_cast<int16_t*>(dst), n, s);
    else if (kind == 1)
        kU8[level - 1](src, dst, n, s);
    else if (kind == 2)
        kU16[level - 1](reinterpret_cast<const uint16_t*>(src), reinterpret_cast<uint16_t*>(dst), n, s);
    else
        kCi16[level - 1](reinterpret_cast<const SpIc16*>(src), reinterpret_cast<SpIc16*>(dst), n, s);
}

class IntSqrLevelTest : public SpLevelTest
{
};

// Every byte and 16-bit value (and 65,536 complex values: every pair of edge parts, the rest
// random) at every scale factor from -44 to 44 and the far ones, one element past alignment.
TEST_P(IntSqrLevelTest, EveryValueAtEveryScale)
{
    TestRng rng(22);
    const int16_t edges[] = {0, 1, -1, 3, 4, 5, 100, 181, 182, -182, 32767, -32768, -32767};
    std::vector<uint8_t> src(4 * 65537), dst(src.size()), ref(src.size());
    std::vector<int32_t> scales(std::begin(kFarScales), std::end(kFarScales));
    for (int32_t s = -44; s <= 44; ++s)
        scales.push_back(s);
    for (int kind = 0; kind < 4; ++kind)
    {
        const size_t es = kSize[kind], n = kind == 1 ? 256 : 65536;
        for (size_t i = 0; i < n; ++i)
        {
            const uint32_t k = kind == 3 && i < 169
                                   ? uint32_t(uint16_t(edges[i % 13])) | uint32_t(edges[i / 13]) << 16
                                   : (kind == 3 ? rng.Next32() >> (rng.Next32() & 8) : uint32_t(i));
            memcpy(&src[es * (i + 1)], &k, es);
        }
        for (int32_t s : scales)
        {
            Square(Level(), kind, src.data() + es, dst.data() + es, int32_t(n), s);
            for (size_t i = 1; i <= n; ++i)
                Expected(kind, &src[es * i], &ref[es * i], s);
            ASSERT_EQ(memcmp(&dst[es], &ref[es], es * n), 0) << "kind " << kind << " s " << s;
        }
    }
}

// Lengths 1-40 at every source and destination offset (odd ones included) and in place: the
// element rule everywhere, nothing written outside the destination.
TEST_P(IntSqrLevelTest, OffsetsLengthsGuardsAndInPlace)
{
    TestRng rng(7);
    alignas(16) uint8_t src[256], dst[256], ref[256];
    for (uint8_t& b : src)
        b = uint8_t(rng.Next32());
    for (int32_t s : {-3, 0, 1, 5, 12, 19, 24})
        for (int kind = 0; kind < 4; ++kind)
            for (int so = 0; so < 16; ++so)
                for (int dOff = 0; dOff < 16; ++dOff)
                    for (int32_t n = 1; n <= 40; ++n)
                    {
                        const size_t es = kSize[kind];
                        uint8_t* out = dst + 16 + dOff;
                        memset(dst, 0xA5, sizeof(dst));
                        memcpy(ref, dst, sizeof(ref));
                        for (size_t i = 0; i < size_t(n); ++i)
                            Expected(kind, src + so + es * i, ref + 16 + dOff + es * i, s);
                        Square(Level(), kind, src + so, out, n, s);
                        ASSERT_EQ(memcmp(dst, ref, sizeof(dst)), 0)
                            << kind << " s" << s << " +" << so << " +" << dOff;
                        memcpy(out, src + so, es * size_t(n));
                        Square(Level(), kind, out, out, n, s);
                        ASSERT_EQ(memcmp(dst, ref, sizeof(dst)), 0)
                            << "in place " << kind << " s" << s << " +" << dOff;
                    }
}

// The kernels exist at levels 1-3 only.
INSTANTIATE_TEST_SUITE_P(Levels, IntSqrLevelTest, ::testing::Values(1, 2, 3), SpLevelName);
} // namespace

#undef SP_LEVELS
