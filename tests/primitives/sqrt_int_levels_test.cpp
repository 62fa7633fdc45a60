// Integer square-root kernels at levels 1-3 against exact integer arithmetic: sqrt(x) 2^-s to the
// nearest integer (an exact half to even), saturated, 0 for x <= 0, with the negative flag. The
// 16-bit kernels are swept over every input at every scale that computes a root; the wider
// kernels over random inputs and the boundary values. Complex kernels against the principal root.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

#include <climits>
#include <cmath>
#include <complex>
#include <vector>

#include "driver/primitives/vectors/sp_sqrt_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{
// clang-format off
#define SP_LEVELS(name, k) const decltype(&k##_L1) name[] = {k##_L1, k##_L2, k##_L3}
SP_LEVELS(kI16, SpSqrtKernelI16Scaled); SP_LEVELS(kU16, SpSqrtKernelU16Scaled);
SP_LEVELS(kI32, SpSqrtKernelI32ToI16Scaled); SP_LEVELS(kI64To16, SpSqrtKernelI64ToI16Scaled);
SP_LEVELS(kI64, SpSqrtKernelI64Scaled); SP_LEVELS(kIc16, SpSqrtKernelIc16);
SP_LEVELS(kIc16Scaled, SpSqrtKernelIc16Scaled); SP_LEVELS(kIc16Stable, SpSqrtKernelIc16ScaledStable);
SP_LEVELS(kTable, SpTableLookupKernelU8);
// clang-format on
typedef unsigned __int128 U128;

// Element i of a buffer that may sit at an odd address.
template <typename T> T At(const T* p, size_t i)
{
    T v;
    memcpy(&v, p + i, sizeof(v));
    return v;
}

U128 FloorRoot(U128 x)
{
    U128 r = U128(sqrtl((long double)x));
    while (r * r > x)
        --r;
    while ((r + 1) * (r + 1) <= x)
        ++r;
    return r;
}

// sqrt(x) 2^-s rounded to nearest, ties to even, clamped to `hi`; 0 for x <= 0.
uint64_t RoundedRoot(int64_t x, int32_t s, uint64_t hi)
{
    if (x <= 0)
        return 0;
    if (s <= 0)
    {
        // From 2^126 on the root is at least 2^63, beyond every destination type.
        if (-int64_t(s) * 2 + (64 - __builtin_clzll(uint64_t(x))) > 126)
            return hi;
        const U128 big = U128(x) << (-2 * s);
        const U128 r = FloorRoot(big);
        const U128 n = big - r * r > r ? r + 1 : r;
        return n > hi ? hi : uint64_t(n);
    }
    if (s >= 64)
        return 0;
    const U128 q = FloorRoot(U128(x)) >> s;
    // The midpoint between q and q + 1 at the input's scale, squared: ((2q + 1) 2^(s-1))^2.
    const U128 mid2 = (2 * q + 1) * (2 * q + 1) << (2 * s - 2);
    const U128 n = U128(x) > mid2 ? q + 1 : (U128(x) == mid2 ? q + (q & 1) : q);
    return n > hi ? hi : uint64_t(n);
}

// Every scale that computes a root, and some of each constant range.
std::vector<int32_t> Scales(int32_t lo, int32_t hi)
{
    std::vector<int32_t> s = {INT_MIN, -100, INT_MAX, 100};
    for (int32_t k = lo; k <= hi; ++k)
        s.push_back(k);
    return s;
}

class SpSqrtIntLevelTest : public ::testing::TestWithParam<int32_t>
{
protected:
    void SetUp() override
    {
        if (!SpLevelRunsHere(GetParam()))
            GTEST_SKIP() << "this processor lacks the instructions of level " << GetParam();
    }
    int32_t L() const { return GetParam() - 1; }
};

} // namespace

TEST_P(SpSqrtIntLevelTest, SixteenBitKernelsRoundEveryInputAtEveryScale)
{
    std::vector<int16_t> all(65536);
    for (int32_t i = 0; i < 65536; ++i)
        all[size_t(i)] = int16_t(i - 32768);
    std::vector<int16_t> want(65536);
    std::vector<uint16_t> wantU(65536);
    for (int32_t s : Scales(-17, 10))
    {
        for (int32_t i = 0; i < 65536; ++i)
        {
            want[size_t(i)] = int16_t(RoundedRoot(all[size_t(i)], s, 32767));
            wantU[size_t(i)] = uint16_t(RoundedRoot(uint16_t(all[size_t(i)]), s, 65535));
        }
        // An odd destination offset runs the unaligned steps too.
        for (size_t offset : {0u, 6u, 1u})
        {
            GuardedCopy<int16_t> src(all, offset);
            GuardedBuffer<int16_t> dst(all.size(), offset);
            // The integer correction makes the result independent of the caller's rounding and
            // flush modes: each scale and offset runs under another one.
            const uint32_t modes[] = {0x1F80u, 0x3F80u | 0x8040u, 0x5F80u, 0x7F80u | 0x0040u};
            const uint32_t original = _mm_getcsr();
            _mm_setcsr(modes[(uint32_t(s) + offset) & 3]);
            const uint32_t flag = kI16[L()](src.data(), dst.data(), 65536, s);
            _mm_setcsr(original);
            EXPECT_NE(flag, 0u) << s;
            ASSERT_EQ(0, memcmp(dst.data(), want.data(), 2 * want.size()))
                << "s " << s << " offset " << offset;
            EXPECT_EQ(kI16[L()](src.data() + 32768, dst.data(), 32768, s), 0u) << s;
            auto* u = reinterpret_cast<uint16_t*>(src.data());
            auto* v = reinterpret_cast<uint16_t*>(dst.data());
            _mm_setcsr(modes[(uint32_t(s) + offset + 1) & 3]);
            kU16[L()](u, v, 65536, s);
            _mm_setcsr(original);
            for (int32_t i = 0; i < 65536; ++i)
                ASSERT_EQ(At(v, size_t(i)), wantU[size_t(i)]) << "x " << At(u, size_t(i)) << " s " << s;
            ASSERT_TRUE(dst.GuardsIntact());
        }
    }
}

TEST_P(SpSqrtIntLevelTest, WideSourcesRoundTheirRootsExactly)
{
    TestRng rng(230);
    std::vector<int32_t> x32 = {
        0,          1,          2,         3,         9,       25, 100,    1000, 32767 * 32767 + 32767,
        1073741824, 1073741825, 536870911, 536870912, INT_MAX, -1, INT_MIN};
    std::vector<int64_t> x64 = {0,
                                1,
                                2,
                                3,
                                9,
                                25,
                                4095,
                                4096,
                                16383,
                                16384,
                                1073676288,
                                1073676289,
                                int64_t(1) << 33,
                                int64_t(1) << 62,
                                (int64_t(1) << 62) + 1,
                                (int64_t(1) << 62) - 1,
                                INT64_MAX,
                                -1,
                                INT64_MIN};
    while (x32.size() < 300)
        x32.push_back(int32_t(rng.Next32() >> (rng.Next32() % 32)));
    while (x64.size() < 300)
        x64.push_back(int64_t(rng.Next() >> (rng.Next32() % 64)));
    for (size_t offset : {0u, 2u, 8u, 14u})
    {
        for (int32_t s : Scales(-66, 66))
        {
            for (size_t n : {size_t(1), size_t(7), size_t(15), x32.size()})
            {
                std::vector<int32_t> in32(x32.begin(), x32.begin() + long(n));
                GuardedBuffer<int16_t> d32(n, offset);
                const uint32_t f32 = kI32[L()](in32.data(), d32.data(), int32_t(n), s);
                bool neg = false;
                for (size_t i = 0; i < n; ++i)
                {
                    neg |= in32[i] < 0;
                    ASSERT_EQ(d32[i], int16_t(RoundedRoot(in32[i], s, 32767))) << in32[i] << " s " << s;
                }
                EXPECT_EQ(f32 != 0, neg);
                ASSERT_TRUE(d32.GuardsIntact());
            }
            GuardedBuffer<int16_t> d16(x64.size(), offset);
            std::vector<int64_t> d64(x64.size());
            const uint32_t f16 = kI64To16[L()](x64.data(), d16.data(), int32_t(x64.size()), s);
            const uint32_t f64 = kI64[L()](x64.data(), d64.data(), int32_t(x64.size()), s);
            EXPECT_NE(f16, 0u);
            EXPECT_EQ(f64, 1u);
            for (size_t i = 0; i < x64.size(); ++i)
            {
                ASSERT_EQ(d16[i], int16_t(RoundedRoot(x64[i], s, 32767))) << x64[i] << " s " << s;
                ASSERT_EQ(uint64_t(d64[i]), RoundedRoot(x64[i], s, INT64_MAX)) << x64[i] << " s " << s;
            }
            ASSERT_TRUE(d16.GuardsIntact());
        }
    }
}

TEST_P(SpSqrtIntLevelTest, NarrowingInPlaceAndTheCallersX87WordKept)
{
    std::vector<int32_t> v(37);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = int32_t(i * i * 1000 + 7);
    const std::vector<int32_t> in = v;
    kI32[L()](v.data(), reinterpret_cast<int16_t*>(v.data()), int32_t(v.size()), -1);
    const int16_t* out = reinterpret_cast<const int16_t*>(v.data());
    for (size_t i = 0; i < in.size(); ++i)
        EXPECT_EQ(out[i], int16_t(RoundedRoot(in[i], -1, 32767)));
    // The 64-bit kernel changes only the precision field, and only for the call.
    for (uint16_t word : {uint16_t(0x027F), uint16_t(0x037F), uint16_t(0x0C7F)})
    {
        uint16_t before = word, after = 0;
        __asm__ volatile("fldcw %0" : : "m"(before));
        std::vector<int64_t> x = {INT64_MAX, 2, 3, -5}, y(4);
        for (int32_t s : {0, -21, -31, -40})
            kI64[L()](x.data(), y.data(), 4, s);
        __asm__ volatile("fnstcw %0" : "=m"(after));
        const uint16_t standard = 0x037F;
        __asm__ volatile("fldcw %0" : : "m"(standard));
        EXPECT_EQ(after, word);
    }
}

TEST_P(SpSqrtIntLevelTest, ComplexRootsAreThePrincipalRootPartByPart)
{
    // {re, im, s, expected re, expected im} from the principal root, both kernels alike.
    const int32_t cases[][5] = {
        {0, 0, 0, 0, 0},
        {4, 0, 0, 2, 0},
        {-4, 0, 0, 0, 2},
        {0, 4, 0, 1, 1},
        {0, -4, 0, 1, -1},
        {3, 4, 0, 2, 1},
        {3, -4, 0, 2, -1},
        {-3, 4, 0, 1, 2},
        {-3, -4, 0, 1, -2},
        {-32768, -32768, 0, 82, -199},
        {32767, 32767, 0, 199, 82},
        {3, 4, -1, 4, 2},
        {100, 0, 1, 5, 0},
        {9, 0, 1, 2, 0},
        {-32768, 0, -8, 0, 32767},
        {32767, 0, -24, 32767, 0},
        {32767, 32767, 9, 0, 0},
        {-32768, 5, 510, 0, 0},
    };
    for (const auto& c : cases)
    {
        const SpIc16 z{int16_t(c[0]), int16_t(c[1])};
        SpIc16 a[5] = {z, z, z, z, z}, b[5];
        kIc16Scaled[L()](a, b, 5, c[2]);
        EXPECT_EQ(b[4].re, c[3]) << c[0] << "," << c[1] << " s " << c[2];
        EXPECT_EQ(b[0].im, c[4]) << c[0] << "," << c[1] << " s " << c[2];
        kIc16Stable[L()](a, a, 5, c[2]); // in place
        EXPECT_EQ(a[4].re, c[3]) << c[0] << "," << c[1] << " s " << c[2];
        EXPECT_EQ(a[0].im, c[4]) << c[0] << "," << c[1] << " s " << c[2];
        if (c[2] == 0 && !(c[0] == -32768 && c[1] == -32768) && !(c[0] == 32767 && c[1] == 32767))
        {
            SpIc16 r;
            kIc16[L()](&z, &r, 1);
            EXPECT_EQ(r.re, c[3]) << c[0] << "," << c[1];
            EXPECT_EQ(r.im, c[4]) << c[0] << "," << c[1];
        }
    }
    // Random elements: each part within one of the rounded principal root (the unscaled kernel
    // rounds |z| and its half sums to integers on the way) and exact for the stable kernel away
    // from halves; every destination offset.
    TestRng rng(232);
    std::vector<SpIc16> z(203);
    for (SpIc16& e : z)
        e = SpIc16{int16_t(rng.Next32()), int16_t(rng.Next32())};
    z[0] = SpIc16{-32768, -32768};
    for (size_t offset : {0u, 4u, 8u, 12u})
    {
        GuardedCopy<SpIc16> src(z, 0);
        GuardedBuffer<SpIc16> plain(z.size(), offset), stable(z.size(), offset);
        kIc16[L()](src.data(), plain.data(), int32_t(z.size()));
        kIc16Stable[L()](src.data(), stable.data(), int32_t(z.size()), 0);
        for (size_t i = 0; i < z.size(); ++i)
        {
            const std::complex<long double> root = std::sqrt(std::complex<long double>(z[i].re, z[i].im));
            const long double im = z[i].im == 0 ? fabsl(root.imag()) : root.imag();
            EXPECT_LE(fabsl(plain[i].re - root.real()), 1.5L) << i;
            EXPECT_LE(fabsl(plain[i].im - im), 1.5L) << i;
            const long double parts[2] = {root.real(), im};
            const int16_t got[2] = {stable[i].re, stable[i].im};
            for (int32_t k = 0; k < 2; ++k)
            {
                if (fabsl(parts[k] - floorl(parts[k]) - 0.5L) > 1e-6L)
                {
                    EXPECT_EQ(got[k], int16_t(llroundl(parts[k]))) << i;
                }
            }
        }
        EXPECT_TRUE(plain.GuardsIntact());
        EXPECT_TRUE(stable.GuardsIntact());
    }
}

TEST_P(SpSqrtIntLevelTest, ByteTableMapsEveryLength)
{
    uint8_t table[256];
    for (int32_t i = 0; i < 256; ++i)
        table[i] = uint8_t(255 - i);
    std::vector<uint8_t> in(40);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = uint8_t(i * 37);
    for (size_t offset : {0u, 1u, 3u})
    {
        for (int32_t n : {1, 7, 40})
        {
            GuardedBuffer<uint8_t> dst(size_t(n), offset);
            kTable[L()](in.data(), dst.data(), n, table);
            for (int32_t i = 0; i < n; ++i)
                EXPECT_EQ(dst[size_t(i)], uint8_t(255 - in[size_t(i)]));
            EXPECT_TRUE(dst.GuardsIntact());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, SpSqrtIntLevelTest, ::testing::Values(1, 2, 3), SpLevelName);

// Every length from 1 to 40 at every destination offset, with guards: the padded head and tail
// groups write exactly their elements and compute the same values as the whole steps.
TEST_P(SpSqrtIntLevelTest, EveryLengthAndOffsetWritesExactlyItsElements)
{
    TestRng rng(227);
    std::vector<int16_t> x16(40);
    std::vector<int32_t> x32(40);
    std::vector<int64_t> x64(40);
    for (size_t i = 0; i < 40; ++i)
    {
        x16[i] = int16_t(rng.Next32());
        x32[i] = int32_t(rng.Next32() >> (rng.Next32() % 32));
        x64[i] = int64_t(rng.Next() >> (rng.Next32() % 64));
    }
    for (int32_t n = 1; n <= 40; ++n)
    {
        for (size_t offset = 0; offset < 16; ++offset)
        {
            const int32_t s = int32_t(offset % 5) - 2;
            GuardedBuffer<int16_t> a(size_t(n), offset), b(size_t(n), offset), c(size_t(n), offset);
            kI16[L()](x16.data(), a.data(), n, s);
            kI32[L()](x32.data(), b.data(), n, s);
            kI64To16[L()](x64.data(), c.data(), n, s);
            GuardedBuffer<uint16_t> u(size_t(n), offset);
            kU16[L()](reinterpret_cast<const uint16_t*>(x16.data()), u.data(), n, s);
            for (int32_t i = 0; i < n; ++i)
            {
                ASSERT_EQ(At(a.data(), size_t(i)), int16_t(RoundedRoot(x16[size_t(i)], s, 32767)))
                    << n << " +" << offset;
                ASSERT_EQ(At(b.data(), size_t(i)), int16_t(RoundedRoot(x32[size_t(i)], s, 32767)))
                    << n << " +" << offset;
                ASSERT_EQ(At(c.data(), size_t(i)), int16_t(RoundedRoot(x64[size_t(i)], s, 32767)))
                    << n << " +" << offset;
                ASSERT_EQ(At(u.data(), size_t(i)), uint16_t(RoundedRoot(uint16_t(x16[size_t(i)]), s, 65535)))
                    << n;
            }
            ASSERT_TRUE(a.GuardsIntact() && b.GuardsIntact() && c.GuardsIntact() && u.GuardsIntact())
                << n << " +" << offset;
            if (offset % 4 == 0)
            {
                GuardedBuffer<SpIc16> z(size_t(n), offset), whole(40, 0);
                const auto* src = reinterpret_cast<const SpIc16*>(x32.data());
                kIc16[L()](src, z.data(), n);
                kIc16[L()](src, whole.data(), 40);
                ASSERT_EQ(0, memcmp(z.data(), whole.data(), 4 * size_t(n))) << n << " +" << offset;
                ASSERT_TRUE(z.GuardsIntact());
            }
        }
    }
}

TEST_P(SpSqrtIntLevelTest, LengthsBelowOneTouchNothing)
{
    for (int32_t n : {0, -1, INT_MIN})
    {
        GuardedBuffer<uint8_t> in(0, 8), out(0, 2);
        auto* s16 = reinterpret_cast<int16_t*>(in.data());
        auto* d16 = reinterpret_cast<int16_t*>(out.data());
        EXPECT_EQ(0u, kI16[L()](s16, d16, n, 0));
        kU16[L()](reinterpret_cast<uint16_t*>(s16), reinterpret_cast<uint16_t*>(d16), n, 0);
        EXPECT_EQ(0u, kI32[L()](reinterpret_cast<int32_t*>(in.data()), d16, n, 0));
        EXPECT_EQ(0u, kI64To16[L()](reinterpret_cast<int64_t*>(in.data()), d16, n, 0));
        EXPECT_EQ(0u, kI64[L()](reinterpret_cast<int64_t*>(in.data()), reinterpret_cast<int64_t*>(out.data()),
                                n, 0));
        kIc16[L()](reinterpret_cast<SpIc16*>(in.data()), reinterpret_cast<SpIc16*>(d16), n);
        kIc16Scaled[L()](reinterpret_cast<SpIc16*>(in.data()), reinterpret_cast<SpIc16*>(d16), n, 0);
        EXPECT_TRUE(in.GuardsIntact());
        EXPECT_TRUE(out.GuardsIntact());
    }
}

#undef SP_LEVELS
