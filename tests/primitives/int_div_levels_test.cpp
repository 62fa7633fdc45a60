// Integer division kernels with a scale factor at levels 1-3, held to an exact rational oracle:
// (a * 2^-s) / b rounded to nearest with ties to even and clamped to the element type. Where a
// kernel's own rounding may miss an exact half (the 16-bit eight-lane body, the byte loop, the
// four-lane 32-by-16 loop), the half is held to a scalar model or to its two neighbours instead;
// the constant-divisor kernels are held to their one-factor formula.
#include <gtest/gtest.h>
#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "driver/primitives/vectors/sp_int_div_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

// Found by the standard algorithms' lookup, so it lives beside the type.
static bool operator==(SpIc16 x, SpIc16 y)
{
    return x.re == y.re && x.im == y.im;
}

namespace
{
using I128 = __int128;
// clang-format off
const decltype(&SpDivKernelI32Scaled_L1) kI32[] = {SpDivKernelI32Scaled_L1, SpDivKernelI32Scaled_L2, SpDivKernelI32Scaled_L3};
const decltype(&SpDivKernelI16Scaled_L1) kI16[] = {SpDivKernelI16Scaled_L1, SpDivKernelI16Scaled_L2, SpDivKernelI16Scaled_L3};
const decltype(&SpDivKernelIc16Scaled_L1) kIc16[] = {SpDivKernelIc16Scaled_L1, SpDivKernelIc16Scaled_L2, SpDivKernelIc16Scaled_L3};
const decltype(&SpDivConstKernelI16Scaled_L1) kConstI16[] = {SpDivConstKernelI16Scaled_L1, SpDivConstKernelI16Scaled_L2, SpDivConstKernelI16Scaled_L3};
const decltype(&SpDivConstKernelU8Scaled_L1) kConstU8[] = {SpDivConstKernelU8Scaled_L1, SpDivConstKernelU8Scaled_L2, SpDivConstKernelU8Scaled_L3};
const decltype(&SpDivConstKernelIc16Scaled_L1) kConstIc16[] = {SpDivConstKernelIc16Scaled_L1, SpDivConstKernelIc16Scaled_L2, SpDivConstKernelIc16Scaled_L3};
const decltype(&SpDivKernelU8Scaled_L1) kU8[] = {SpDivKernelU8Scaled_L1, SpDivKernelU8Scaled_L2, SpDivKernelU8Scaled_L3};
const decltype(&SpDivConstRevKernelU16_L1) kU16[] = {SpDivConstRevKernelU16_L1, SpDivConstRevKernelU16_L2, SpDivConstRevKernelU16_L3};
const decltype(&SpDivKernelI32ByI16Scaled_L1) kI32By16[] = {SpDivKernelI32ByI16Scaled_L1, SpDivKernelI32ByI16Scaled_L2, SpDivKernelI32ByI16Scaled_L3};
// clang-format on

struct Exact
{
    int64_t value; // rounded and clamped
    bool tie;      // exactly halfway between two integers
    bool nearTie;  // within 2^-40 of its magnitude of a half
};

// n * 2^-s / d exactly; a zero divisor gives the bound by the dividend's sign (0 for 0).
Exact Quotient(I128 n, I128 d, int32_t s, int64_t lo, int64_t hi)
{
    if (d == 0)
        return {n > 0 ? hi : (n < 0 ? lo : 0), false, false};
    (s >= 0 ? d : n) *= I128(1) << std::min(std::abs(s), 90);
    if (d < 0)
        n = -n, d = -d;
    I128 q = n / d, r = n % d;
    if (r < 0)
        q -= 1, r += d;
    const I128 off = 2 * r - d;
    if (off > 0 || (off == 0 && (q & 1)))
        q += 1;
    return {q < lo ? lo : (q > hi ? hi : int64_t(q)), off == 0,
            (off < 0 ? -off : off) * (I128(1) << 40) <= 2 * (n < 0 ? -n : n)};
}

// One lane of the 16-bit body: refined reciprocal estimate, the snap, the conversion.
int32_t ModelI16Body(int16_t a, int16_t b, int32_t s)
{
    const float fa = float(int32_t(a) * (1 << (s < 0 ? -s : 0)));
    const float fb = float(int64_t(b) * (int64_t(1) << std::min(std::max(s, 0), 16)));
    const float r = _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(fb)));
    const float e = 1.0f - fb * r, q0 = fa * r, q1 = q0 + e * q0, q2 = q1 + (e * e) * q1;
    const __m128i snapped =
        _mm_and_si128(_mm_add_epi32(_mm_castps_si128(_mm_set_ss(q2)), _mm_set1_epi32(1)), _mm_set1_epi32(~3));
    return std::min(32767, std::max(-32768, _mm_cvtss_si32(_mm_castsi128_ps(snapped))));
}

int16_t Pick16(TestRng& rng)
{
    const uint32_t k = rng.Next32();
    const int16_t edges[] = {0, 1, -1, 2, -2, 3, 32767, -32768};
    return k % 4 == 0 ? edges[(k >> 8) % 8] : (k % 4 == 1 ? int16_t(int32_t(k >> 8) % 9) : int16_t(k >> 16));
}

std::vector<int32_t> Levels()
{
    std::vector<int32_t> levels;
    for (int32_t level = 1; level <= 3; ++level)
        if (SpLevelRunsHere(level))
            levels.push_back(level);
    return levels;
}

// The same operands in every element of several lengths at destination offsets of 0-7 elements, so
// that they fall in the head, the body and the tail: an element-wise kernel over the divisor b, or
// a constant-divisor kernel (kernel null) dividing by b.
template <class T>
bool Everywhere(uint32_t (*kernel)(const T*, const T*, T*, int32_t, int32_t),
                void (*constant)(const T*, T, T*, int32_t, int32_t), int32_t s, T b, T a, T want)
{
    for (int32_t len : {1, 3, 5, 8, 9, 19})
        for (int32_t off = 0; off < 8; ++off)
        {
            std::vector<T> divisors(len, b), src(len, a);
            GuardedBuffer<T> dst(len, off * sizeof(T));
            const uint32_t flag = kernel ? kernel(divisors.data(), src.data(), dst.data(), len, s)
                                         : (constant(src.data(), b, dst.data(), len, s), 0u);
            if (std::count(dst.data(), dst.data() + len, want) != len || !dst.GuardsIntact() ||
                (flag != 0) != (kernel && b == T{}))
                return false;
        }
    return true;
}

// clang-format off
struct Row { int32_t s, b, a, want; };
struct ComplexRow { int32_t s; SpIc16 b, a, want; };
const Row kI32Rows[] = {{0, 0, 7, INT32_MAX}, {0, 0, -7, INT32_MIN}, {0, 0, 0, 0}, {0, -1, INT32_MIN, INT32_MAX}, {1, -1, INT32_MIN, 1 << 30},
    {0, 2, 5, 2}, {0, 2, 7, 4}, {0, 2, -7, -4}, {-1, 2, 3, 3}, {-2, 3, 1, 1}, {-40, 1, 1, INT32_MAX}, {2000, 1, INT32_MAX, 0}};
const Row kI16Rows[] = {{0, 0, 1, 32767}, {-3, 0, -1, -32768}, {-8, 0, 0, 0}, {-8, 0, 1, 32767}, {0, -1, -32768, 32767}, {15, 1, -32768, -1},
    {16, 1, -32768, 0}, {40, 1, 32767, 0}, {0, 2, 5, 2}, {0, 2, 3, 2}, {0, 2, 7, 4}, {-5, 3, 1000, 10667}, {-6, 3, 1000, 21333},
    {-6, 3, 1, 21}, {-300, -1, 1, -32768}};
const ComplexRow kIc16Rows[] = {{0, {0, 0}, {5, 7}, {0, 0}}, {0, {1, 1}, {1, 1}, {1, 0}}, {0, {1, 0}, {0, 1}, {0, 1}}, {0, {0, 1}, {1, 0}, {0, -1}},
    {0, {2, 0}, {1, 0}, {0, 0}}, {0, {2, 0}, {3, 0}, {2, 0}}, {0, {-32768, -32768}, {-32768, -32768}, {1, 0}},
    {0, {3, -32768}, {100, -50}, {0, 0}}, {-16, {3, -32768}, {100, -50}, {100, 200}}, {-15, {-1, -1}, {-32768, -32768}, {32767, 0}},
    {-16, {-1, -1}, {-32768, -32768}, {32767, 0}}, {-17, {-1, -1}, {-32768, -32768}, {32767, 0}}, {-40, {1, 0}, {1, -1}, {32767, -32768}}};
const Row kConstI16Rows[] = {{0, -1, -32768, 32767}, {0, -1, 32767, -32767}, {0, 2, 5, 2}, {0, 2, 7, 4}, {0, 2, -5, -2}, {-16, 1, 1, 32767},
    {-16, 1, -1, -32768}, {-16, -1, -32768, 32767}, {15, 1, 16384, 0}, {15, 1, 16385, 1}, {-200, 1, 1, 32767}, {200, 3, 32767, 0}};
const Row kConstU8Rows[] = {{0, 2, 1, 0}, {0, 2, 3, 2}, {0, 2, 255, 128}, {-1, 1, 200, 255}, {-30, 1, 1, 255}, {-30, 1, 0, 0}};
const ComplexRow kConstIc16Rows[] = {{0, {1, 0}, {-32768, 32767}, {-32768, 32767}}, {0, {0, 1}, {1, 2}, {2, -1}}, {0, {0, 1}, {-32768, 0}, {0, 32767}},
    {0, {2, 0}, {5, -5}, {2, -2}}, {0, {2, 0}, {7, 3}, {4, 2}}, {0, {-32768, -32768}, {-32768, -32768}, {1, 0}}, {0, {3, -5}, {100, 200}, {-21, 32}},
    {-16, {-32768, -32768}, {1, 0}, {-1, 1}}, {-15, {-32768, -32768}, {1, 0}, {0, 0}}, {-15, {0, -32768}, {0, 16384}, {-16384, 0}},
    {-16, {7, -32768}, {1, 0}, {0, 2}}, {-16, {-32768, 1}, {1, 1}, {-2, -2}}, {-16, {1, 0}, {1, -1}, {32767, -32768}},
    {-40, {1, 0}, {1, -1}, {32767, -32768}}};
// clang-format on

// The real constant-divisor kernels' own formula: one float factor f = fl(2^-s / c), each result
// rint(fl(x f)) saturated.
int32_t ConstRef(int32_t x, int32_t c, int32_t s, int32_t lo, int32_t hi)
{
    const double q = std::nearbyint(double(float(x) * (std::ldexp(1.0f, -s) / float(c))));
    return q < lo ? lo : (q > hi ? hi : int32_t(q));
}
} // namespace

TEST(SpIntDivLevels, DocumentedQuotientsInHeadBodyAndTail)
{
    using I16 = int16_t;
    using U8 = uint8_t;
    for (int32_t L : Levels())
    {
        // clang-format off
        for (const Row& r : kI32Rows)
            EXPECT_TRUE(Everywhere<int32_t>(kI32[L - 1], nullptr, r.s, r.b, r.a, r.want)) << L << ": " << r.a << "/" << r.b;
        for (const Row& r : kI16Rows)
            EXPECT_TRUE(Everywhere<I16>(kI16[L - 1], nullptr, r.s, I16(r.b), I16(r.a), I16(r.want))) << L << ": " << r.a << "/" << r.b;
        for (const ComplexRow& r : kIc16Rows)
            EXPECT_TRUE(Everywhere<SpIc16>(kIc16[L - 1], nullptr, r.s, r.b, r.a, r.want)) << L << ": s " << r.s;
        for (const Row& r : kConstI16Rows)
            EXPECT_TRUE(Everywhere<I16>(nullptr, kConstI16[L - 1], r.s, I16(r.b), I16(r.a), I16(r.want))) << L << ": " << r.a << "/" << r.b;
        for (const Row& r : kConstU8Rows)
            EXPECT_TRUE(Everywhere<U8>(nullptr, kConstU8[L - 1], r.s, U8(r.b), U8(r.a), U8(r.want))) << L << ": " << r.a << "/" << r.b;
        for (const ComplexRow& r : kConstIc16Rows)
            EXPECT_TRUE(Everywhere<SpIc16>(nullptr, kConstIc16[L - 1], r.s, r.b, r.a, r.want)) << L << ": s " << r.s;
        // clang-format on
    }
}

// Random operands (edges, small divisors, zeros) over lengths 1-40, destination offsets and scale
// factors across every regime; each element against the exact quotient (complex and 32-by-16 away
// from within 2^-40 of a half; the 16-bit body's halves against its model).
TEST(SpIntDivLevels, RandomVectorsAgainstExactQuotient)
{
    TestRng rng(22);
    for (int32_t L : Levels())
        for (int32_t s : {-127, -40, -20, -6, -5, -3, -1, 0, 1, 4, 15, 16, 17, 40})
            for (int32_t len = 1; len <= 40; ++len)
            {
                SCOPED_TRACE(testing::Message() << "level " << L << " s " << s << " len " << len);
                const int32_t off = (len + s + 64) % 8;
                std::vector<int16_t> b16(len), a16(len);
                std::vector<int32_t> b32(len), a32(len);
                std::vector<SpIc16> bc(len), ac(len);
                for (int32_t i = 0; i < len; ++i)
                {
                    b16[i] = Pick16(rng), a16[i] = Pick16(rng), bc[i] = {Pick16(rng), Pick16(rng)};
                    ac[i] = {Pick16(rng), Pick16(rng)}, a32[i] = int32_t(rng.Next32());
                    b32[i] = rng.Next32() % 3 ? int32_t(b16[i]) : int32_t(rng.Next32());
                }
                GuardedBuffer<int16_t> d16(len, 2 * off), d32to16(len, 2 * off);
                GuardedBuffer<int32_t> d32(len, 4 * off);
                GuardedBuffer<SpIc16> dc(len, 4 * off);
                EXPECT_EQ(kI16[L - 1](b16.data(), a16.data(), d16.data(), len, s),
                          std::count(b16.begin(), b16.end(), 0) > 0);
                EXPECT_EQ(kI32[L - 1](b32.data(), a32.data(), d32.data(), len, s),
                          std::count(b32.begin(), b32.end(), 0) > 0);
                EXPECT_EQ(kIc16[L - 1](bc.data(), ac.data(), dc.data(), len, s),
                          std::count(bc.begin(), bc.end(), SpIc16{}) > 0);
                EXPECT_EQ(kI32By16[L - 1](b16.data(), a32.data(), d32to16.data(), len, s) != 0,
                          std::count(b16.begin(), b16.end(), 0) > 0);
                const int32_t head = std::min<int32_t>(len, (16 - (uintptr_t(d16.data()) & 15)) % 16 / 2);
                const int32_t bodyEnd = s >= -5 ? head + (len - head) / 8 * 8 : 0;
                for (int32_t i = 0; i < len; ++i)
                {
                    const Exact e16 = Quotient(a16[i], b16[i], s, -32768, 32767);
                    const bool body = i >= head && i < bodyEnd && b16[i] != 0;
                    EXPECT_EQ(d16[i], e16.tie && body ? ModelI16Body(a16[i], b16[i], s) : e16.value);
                    EXPECT_TRUE(s < -20 || d32[i] == Quotient(a32[i], b32[i], s, INT32_MIN, INT32_MAX).value);
                    const Exact e3216 = Quotient(a32[i], b16[i], s, -32768, 32767);
                    EXPECT_TRUE(e3216.nearTie || d32to16[i] == e3216.value);
                    const I128 m = I128(bc[i].re) * bc[i].re + I128(bc[i].im) * bc[i].im;
                    const bool exactF = (m & (m - 1)) == 0; // a power of two: f, and so the product, exact
                    const Exact re =
                        Quotient(I128(ac[i].re) * bc[i].re + I128(ac[i].im) * bc[i].im, m, s, -32768, 32767);
                    const Exact im =
                        Quotient(I128(ac[i].im) * bc[i].re - I128(ac[i].re) * bc[i].im, m, s, -32768, 32767);
                    EXPECT_TRUE((re.nearTie && !exactF) || dc[i].re == (m == 0 ? 0 : re.value));
                    EXPECT_TRUE((im.nearTie && !exactF) || dc[i].im == (m == 0 ? 0 : im.value));
                }
                EXPECT_TRUE(d16.GuardsIntact() && d32.GuardsIntact() && dc.GuardsIntact() &&
                            d32to16.GuardsIntact());
            }
}

// Exhaustive where cheap: every 16-bit dividend over chosen divisors and constants, every byte pair
// for the byte kernel and every byte over every constant, every divisor of the 16-bit constant
// kernel (exact, halves to even on every path: 65535 / 2 is 32768).
TEST(SpIntDivLevels, ExhaustiveSweeps)
{
    std::vector<int16_t> x16(65536), b16(65536), d16(65536);
    std::vector<uint8_t> n8(65536 + 8), b8(65536), d8(65536 + 8);
    std::vector<uint16_t> x(65536 + 8), q(65536 + 8);
    for (int32_t i = 0; i < 65536; ++i)
        x16[i] = int16_t(i - 32768), b8[i] = uint8_t(i), n8[i] = uint8_t(i >> 8), x[3 + i] = uint16_t(i + 1);
    for (int32_t L : Levels())
    {
        for (int16_t c : {1, 2, 3, -3, 7, 100, -32768, 32767})
            for (int32_t s = -20; s <= 20; ++s)
            {
                SCOPED_TRACE(testing::Message() << "level " << L << " s " << s << " divisor " << c);
                std::fill(b16.begin(), b16.end(), c);
                kI16[L - 1](b16.data(), x16.data(), d16.data(), 65536, s);
                for (int32_t i = 0; i < 65536 && s >= -9 && s <= 16; ++i)
                {
                    const Exact e = Quotient(x16[i], c, s, -32768, 32767);
                    ASSERT_EQ(d16[i], e.tie && s >= -5 ? ModelI16Body(x16[i], c, s) : e.value);
                }
                kConstI16[L - 1](x16.data() + 1, c, d16.data() + 1, 65535, s);
                for (int32_t i = 1; i < 65536; ++i)
                    ASSERT_EQ(d16[i], ConstRef(x16[i], c, s, -32768, 32767));
            }
        for (int32_t c = 1; c < 256; ++c)
            for (int32_t s = -31; s <= 10; ++s)
            {
                SCOPED_TRACE(testing::Message() << "level " << L << " s " << s << " constant " << c);
                kConstU8[L - 1](b8.data() + c % 8, uint8_t(c), d8.data(), 256, s);
                for (int32_t i = 0; i < 256; ++i)
                    ASSERT_EQ(d8[i], ConstRef(uint8_t(i + c % 8), c, s, 0, 255));
            }
        for (int32_t s : {-200, -30, -9, -1, 0, 1, 3, 8, 9, 12})
        {
            SCOPED_TRACE(testing::Message() << "level " << L << " s " << s);
            const int32_t off = (s + 256) % 8;
            EXPECT_EQ(kU8[L - 1](b8.data(), n8.data(), d8.data() + off, 65536, s), 1u);
            for (int32_t i = 0; i < 65536; ++i)
            {
                const Exact e = Quotient(n8[i], b8[i], s, 0, 255);
                ASSERT_TRUE(e.tie ? std::abs(d8[off + i] - e.value) <= 1 : d8[off + i] == e.value);
            }
        }
        for (uint16_t c : {0, 1, 100, 32767, 32768, 40000, 65535})
        {
            SCOPED_TRACE(testing::Message() << "level " << L << " constant " << c);
            EXPECT_NE(kU16[L - 1](x.data() + 3, c, q.data() + 3, 65536), 0u); // the zero divisor comes last
            EXPECT_EQ(kU16[L - 1](x.data() + 3, c, q.data() + 3, 65535), 0u);
            for (int32_t i = 0; i < 65535; ++i)
                ASSERT_EQ(q[3 + i], Quotient(c, x[3 + i], 0, 0, 65535).value);
        }
    }
}
