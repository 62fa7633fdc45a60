// Integer division kernels with a scale factor at levels 1-3, held to an exact rational oracle:
// (a * 2^-s) / b rounded to nearest with ties to even and clamped to the element type. The 16-bit
// eight-lane body may miss an exact half (the refined estimate), so there a tie is held to a scalar
// model of that body on this processor instead.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "driver/primitives/vectors/sp_int_div_levels.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{
using I128 = __int128;
using I16Kernel = uint32_t (*)(const int16_t*, const int16_t*, int16_t*, int32_t, int32_t);
using I32Kernel = uint32_t (*)(const int32_t*, const int32_t*, int32_t*, int32_t, int32_t);
using Ic16Kernel = uint32_t (*)(const SpIc16*, const SpIc16*, SpIc16*, int32_t, int32_t);
const I16Kernel kI16[] = {SpDivKernelI16Scaled_L1, SpDivKernelI16Scaled_L2, SpDivKernelI16Scaled_L3};
const I32Kernel kI32[] = {SpDivKernelI32Scaled_L1, SpDivKernelI32Scaled_L2, SpDivKernelI32Scaled_L3};
const Ic16Kernel kIc16[] = {SpDivKernelIc16Scaled_L1, SpDivKernelIc16Scaled_L2, SpDivKernelIc16Scaled_L3};
using ConstI16 = void (*)(const int16_t*, int16_t, int16_t*, int32_t, int32_t);
using ConstU8 = void (*)(const uint8_t*, uint8_t, uint8_t*, int32_t, int32_t);
using ConstIc16 = void (*)(const SpIc16*, SpIc16, SpIc16*, int32_t, int32_t);
const ConstI16 kConstI16[] = {SpDivConstKernelI16Scaled_L1, SpDivConstKernelI16Scaled_L2,
                              SpDivConstKernelI16Scaled_L3};
const ConstU8 kConstU8[] = {SpDivConstKernelU8Scaled_L1, SpDivConstKernelU8Scaled_L2,
                            SpDivConstKernelU8Scaled_L3};
const ConstIc16 kConstIc16[] = {SpDivConstKernelIc16Scaled_L1, SpDivConstKernelIc16Scaled_L2,
                                SpDivConstKernelIc16Scaled_L3};
using U8Kernel = uint32_t (*)(const uint8_t*, const uint8_t*, uint8_t*, int32_t, int32_t);
using U16Kernel = uint32_t (*)(const uint16_t*, uint16_t, uint16_t*, int32_t);
using I32By16Kernel = uint32_t (*)(const int16_t*, const int32_t*, int16_t*, int32_t, int32_t);
const U8Kernel kU8[] = {SpDivKernelU8Scaled_L1, SpDivKernelU8Scaled_L2, SpDivKernelU8Scaled_L3};
const U16Kernel kU16[] = {SpDivConstRevKernelU16_L1, SpDivConstRevKernelU16_L2, SpDivConstRevKernelU16_L3};
const I32By16Kernel kI32By16[] = {SpDivKernelI32ByI16Scaled_L1, SpDivKernelI32ByI16Scaled_L2,
                                  SpDivKernelI32ByI16Scaled_L3};

struct Exact
{
    int64_t value; // rounded and clamped
    bool tie;      // exactly halfway between two integers
    bool nearTie;  // within 2^-40 of the quotient's magnitude of a half
};

// n * 2^-s / d exactly; a zero divisor gives the bound by the dividend's sign (0 for 0).
Exact Quotient(I128 n, I128 d, int32_t s, int64_t lo, int64_t hi)
{
    if (d == 0)
        return {n > 0 ? hi : (n < 0 ? lo : 0), false, false};
    if (s >= 0)
        d *= I128(1) << std::min(s, 90);
    else
        n *= I128(1) << std::min(-s, 90);
    if (d < 0)
        n = -n, d = -d;
    I128 q = n / d, r = n % d;
    if (r < 0)
        q -= 1, r += d;
    const I128 off = 2 * r - d;
    if (off > 0 || (off == 0 && (q & 1)))
        q += 1;
    const I128 mag = n < 0 ? -n : n;
    const int64_t v = q < lo ? lo : (q > hi ? hi : int64_t(q));
    return {v, off == 0, (off < 0 ? -off : off) * (I128(1) << 40) <= 2 * mag};
}

// One lane of the 16-bit body: refined reciprocal estimate, the snap, the conversion.
int32_t ModelI16Body(int16_t a, int16_t b, int32_t s)
{
    const float fa = float(int32_t(a) * (1 << (s < 0 ? -s : 0)));
    const float fb = float(int64_t(b) * (int64_t(1) << std::min(std::max(s, 0), 16)));
    const float r = _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(fb)));
    const float e = 1.0f - fb * r, q0 = fa * r, q1 = q0 + e * q0, q2 = q1 + (e * e) * q1;
    uint32_t bits;
    memcpy(&bits, &q2, 4);
    bits = (bits + 1) & ~3u;
    float snapped;
    memcpy(&snapped, &bits, 4);
    return std::min(32767, std::max(-32768, _mm_cvtss_si32(_mm_set_ss(snapped))));
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

struct Case
{
    int32_t kind; // 0: 32-bit, 1: 16-bit, 2: complex 16-bit
    int32_t s;
    int32_t bRe, bIm, aRe, aIm, re, im;
};

// Runs one case as every element of vectors of lengths 1-19 at destination offsets of 0-7 elements,
// so that it falls in the head, the body and the tail; returns false on the first mismatch.
bool RunCase(int32_t level, const Case& c, int32_t len, int32_t off)
{
    const bool zero = c.bRe == 0 && (c.kind != 2 || c.bIm == 0);
    uint32_t flag = 0;
    bool ok = true;
    if (c.kind == 0)
    {
        std::vector<int32_t> b(len, c.bRe), a(len, c.aRe);
        GuardedBuffer<int32_t> dst(len, 4 * off);
        flag = kI32[level - 1](b.data(), a.data(), dst.data(), len, c.s);
        for (int32_t i = 0; i < len; ++i)
            ok = ok && dst[i] == c.re;
        ok = ok && dst.GuardsIntact();
    }
    else if (c.kind == 1)
    {
        std::vector<int16_t> b(len, int16_t(c.bRe)), a(len, int16_t(c.aRe));
        GuardedBuffer<int16_t> dst(len, 2 * off);
        flag = kI16[level - 1](b.data(), a.data(), dst.data(), len, c.s);
        for (int32_t i = 0; i < len; ++i)
            ok = ok && dst[i] == c.re;
        ok = ok && dst.GuardsIntact();
    }
    else
    {
        std::vector<SpIc16> b(len, SpIc16{int16_t(c.bRe), int16_t(c.bIm)});
        std::vector<SpIc16> a(len, SpIc16{int16_t(c.aRe), int16_t(c.aIm)});
        GuardedBuffer<SpIc16> dst(len, 4 * off);
        flag = kIc16[level - 1](b.data(), a.data(), dst.data(), len, c.s);
        for (int32_t i = 0; i < len; ++i)
            ok = ok && dst[i].re == c.re && dst[i].im == c.im;
        ok = ok && dst.GuardsIntact();
    }
    return ok && flag == (zero ? 1u : 0u);
}

} // namespace

TEST(SpIntDivLevels, DocumentedQuotientsInHeadBodyAndTail)
{
    const Case cases[] = {
        {0, 0, 0, 0, 7, 0, INT32_MAX, 0},
        {0, 0, 0, 0, -7, 0, INT32_MIN, 0},
        {0, 0, 0, 0, 0, 0, 0, 0},
        {0, 0, -1, 0, INT32_MIN, 0, INT32_MAX, 0},
        {0, 1, -1, 0, INT32_MIN, 0, 1 << 30, 0},
        {0, 0, 2, 0, 5, 0, 2, 0},
        {0, 0, 2, 0, 7, 0, 4, 0},
        {0, 0, 2, 0, -7, 0, -4, 0},
        {0, -1, 2, 0, 3, 0, 3, 0},
        {0, -2, 3, 0, 1, 0, 1, 0},
        {0, -40, 1, 0, 1, 0, INT32_MAX, 0},
        {0, 2000, 1, 0, INT32_MAX, 0, 0, 0},
        {1, 0, 0, 0, 1, 0, 32767, 0},
        {1, -3, 0, 0, -1, 0, -32768, 0},
        {1, -8, 0, 0, 0, 0, 0, 0},
        {1, 0, -1, 0, -32768, 0, 32767, 0},
        {1, 15, 1, 0, -32768, 0, -1, 0},
        {1, 16, 1, 0, -32768, 0, 0, 0},
        {1, 40, 1, 0, 32767, 0, 0, 0},
        {1, 0, 2, 0, 5, 0, 2, 0},
        {1, 0, 2, 0, 3, 0, 2, 0},
        {1, 0, 2, 0, 7, 0, 4, 0},
        {1, -5, 3, 0, 1000, 0, 10667, 0},
        {1, -6, 3, 0, 1000, 0, 21333, 0},
        {1, -6, 3, 0, 1, 0, 21, 0},
        {1, -300, -1, 0, 1, 0, -32768, 0},
        {2, 0, 0, 0, 5, 7, 0, 0},
        {2, 0, 1, 1, 1, 1, 1, 0},
        {2, 0, 1, 0, 0, 1, 0, 1},
        {2, 0, 0, 1, 1, 0, 0, -1},
        {2, 0, 2, 0, 1, 0, 0, 0},
        {2, 0, 2, 0, 3, 0, 2, 0},
        {2, 0, -32768, -32768, -32768, -32768, 1, 0},
        {2, 0, 3, -32768, 100, -50, 0, 0},
        {2, -16, 3, -32768, 100, -50, 100, 200},
        {2, -15, -1, -1, -32768, -32768, 32767, 0},
        {2, -16, -1, -1, -32768, -32768, 32767, 0},
        {2, -17, -1, -1, -32768, -32768, 32767, 0},
        {2, -40, 1, 0, 1, -1, 32767, -32768},
    };
    for (int32_t level : Levels())
        for (const Case& c : cases)
            for (int32_t len : {1, 2, 3, 5, 8, 9, 19})
                for (int32_t off = 0; off < 8; ++off)
                    ASSERT_TRUE(RunCase(level, c, len, off))
                        << "level " << level << " kind " << c.kind << " s " << c.s << " b " << c.bRe << ","
                        << c.bIm << " a " << c.aRe << "," << c.aIm << " len " << len << " off " << off;
}

// Random operands (edges, small divisors, zeros) over lengths 1-40, destination offsets 0-7 and
// scale factors across every regime, also in place; each element against the exact quotient.
TEST(SpIntDivLevels, RandomVectorsAgainstExactQuotient)
{
    TestRng rng(22);
    for (int32_t level : Levels())
        for (int32_t s : {-127, -40, -20, -6, -5, -3, -1, 0, 1, 4, 15, 16, 17, 40})
            for (int32_t len = 1; len <= 40; ++len)
            {
                const int32_t off = (len + s + 64) % 8;
                std::vector<int16_t> b16(len), a16(len);
                std::vector<int32_t> b32(len), a32(len);
                std::vector<SpIc16> bc(len), ac(len);
                for (int32_t i = 0; i < len; ++i)
                {
                    b16[i] = Pick16(rng), a16[i] = Pick16(rng), bc[i] = {Pick16(rng), Pick16(rng)};
                    ac[i] = {Pick16(rng), Pick16(rng)};
                    b32[i] = rng.Next32() % 3 ? int32_t(b16[i]) : int32_t(rng.Next32());
                    a32[i] = int32_t(rng.Next32());
                }
                GuardedBuffer<int16_t> d16(len, 2 * off);
                GuardedBuffer<int32_t> d32(len, 4 * off);
                GuardedBuffer<SpIc16> dc(len, 4 * off);
                const bool z16 = std::count(b16.begin(), b16.end(), 0) > 0;
                const bool z32 = std::count(b32.begin(), b32.end(), 0) > 0;
                const bool zc =
                    std::any_of(bc.begin(), bc.end(), [](SpIc16 v) { return v.re == 0 && v.im == 0; });
                EXPECT_EQ(kI16[level - 1](b16.data(), a16.data(), d16.data(), len, s), z16 ? 1u : 0u);
                EXPECT_EQ(kI32[level - 1](b32.data(), a32.data(), d32.data(), len, s), z32 ? 1u : 0u);
                EXPECT_EQ(kIc16[level - 1](bc.data(), ac.data(), dc.data(), len, s), zc ? 1u : 0u);
                int32_t head = 0;
                while (head < len && ((reinterpret_cast<uintptr_t>(d16.data()) + 2 * head) & 14) != 0)
                    ++head;
                const int32_t bodyEnd = s >= -5 ? head + (len - head) / 8 * 8 : 0;
                for (int32_t i = 0; i < len; ++i)
                {
                    const Exact e16 = Quotient(a16[i], b16[i], s, -32768, 32767);
                    const bool body = i >= head && i < bodyEnd && b16[i] != 0;
                    EXPECT_EQ(d16[i], e16.tie && body ? ModelI16Body(a16[i], b16[i], s) : e16.value)
                        << "level " << level << " s " << s << " " << a16[i] << "/" << b16[i];
                    if (s >= -20)
                    {
                        EXPECT_EQ(d32[i], Quotient(a32[i], b32[i], s, INT32_MIN, INT32_MAX).value)
                            << "level " << level << " s " << s << " " << a32[i] << "/" << b32[i];
                    }
                    const I128 m = I128(bc[i].re) * bc[i].re + I128(bc[i].im) * bc[i].im;
                    const Exact re =
                        Quotient(I128(ac[i].re) * bc[i].re + I128(ac[i].im) * bc[i].im, m, s, -32768, 32767);
                    const Exact im =
                        Quotient(I128(ac[i].im) * bc[i].re - I128(ac[i].re) * bc[i].im, m, s, -32768, 32767);
                    if (!re.nearTie || (re.tie && (m & (m - 1)) == 0))
                    {
                        EXPECT_EQ(dc[i].re, m == 0 ? 0 : re.value)
                            << "level " << level << " s " << s << " i " << i;
                    }
                    if (!im.nearTie || (im.tie && (m & (m - 1)) == 0))
                    {
                        EXPECT_EQ(dc[i].im, m == 0 ? 0 : im.value)
                            << "level " << level << " s " << s << " i " << i;
                    }
                }
                EXPECT_TRUE(d16.GuardsIntact() && d32.GuardsIntact() && dc.GuardsIntact());
                GuardedBuffer<int16_t> inPlace(len, 2 * off);
                std::copy(a16.begin(), a16.end(), inPlace.data());
                kI16[level - 1](b16.data(), inPlace.data(), inPlace.data(), len, s);
                EXPECT_TRUE(std::equal(inPlace.data(), inPlace.data() + len, d16.data()));
            }
}

// Every 16-bit dividend over chosen divisors in each regime, through the aligned body.
TEST(SpIntDivLevels, I16EveryDividend)
{
    std::vector<int16_t> a(65536), b(65536), dst(65536);
    for (int32_t i = 0; i < 65536; ++i)
        a[i] = int16_t(i - 32768);
    for (int32_t level : Levels())
        for (int16_t divisor : {1, 2, 3, -3, 7, 100, -32768, 32767})
            for (int32_t s : {-9, -5, -2, 0, 1, 3, 15})
            {
                std::fill(b.begin(), b.end(), divisor);
                kI16[level - 1](b.data(), a.data(), dst.data(), 65536, s);
                for (int32_t i = 0; i < 65536; ++i)
                {
                    const Exact e = Quotient(a[i], divisor, s, -32768, 32767);
                    ASSERT_EQ(dst[i], e.tie && s >= -5 ? ModelI16Body(a[i], divisor, s) : e.value)
                        << "level " << level << " s " << s << " " << a[i] << "/" << divisor;
                }
            }
}

namespace
{
// The constant-divisor kernels' own formula: one factor f = fl(2^-s / c) (float for real elements,
// double over the exact |c|^2 for complex), each result rint(fl(x f)) saturated.
int32_t ConstRef(int32_t x, int32_t c, int32_t s, int32_t lo, int32_t hi)
{
    const float f = std::ldexp(1.0f, -s) / float(c);
    const double q = std::nearbyint(double(float(x) * f));
    return q < lo ? lo : (q > hi ? hi : int32_t(q));
}

SpIc16 ConstRefIc16(SpIc16 x, SpIc16 c, int32_t s)
{
    const double f = std::ldexp(1.0, -s) / double(int64_t(c.re) * c.re + int64_t(c.im) * c.im);
    const double p = double(int64_t(x.re) * c.re + int64_t(x.im) * c.im) * f;
    const double q = double(int64_t(x.im) * c.re - int64_t(x.re) * c.im) * f;
    auto sat = [](double v) { return int16_t(std::min(32767.0, std::max(-32768.0, std::nearbyint(v)))); };
    return {sat(p), sat(q)};
}
} // namespace

TEST(SpIntDivLevels, ConstantDivisorDocumentedValues)
{
    struct Real
    {
        int32_t c, s, x, expected;
    };
    const Real i16[] = {{-1, 0, -32768, 32767}, {-1, 0, 32767, -32767},   {2, 0, 5, 2},
                        {2, 0, 7, 4},           {2, 0, -5, -2},           {1, -16, 1, 32767},
                        {1, -16, -1, -32768},   {-1, -16, -32768, 32767}, {1, 15, 16384, 0},
                        {1, 15, 16385, 1},      {1, -200, 1, 32767},      {3, 200, 32767, 0}};
    const Real u8[] = {{2, 0, 1, 0},      {2, 0, 3, 2},     {2, 0, 255, 128},
                       {1, -1, 200, 255}, {1, -30, 1, 255}, {1, -30, 0, 0}};
    struct Complex
    {
        SpIc16 c;
        int32_t s;
        SpIc16 x, expected;
    };
    const Complex ic16[] = {{{1, 0}, 0, {-32768, 32767}, {-32768, 32767}},
                            {{0, 1}, 0, {1, 2}, {2, -1}},
                            {{0, 1}, 0, {-32768, 0}, {0, 32767}},
                            {{2, 0}, 0, {5, -5}, {2, -2}},
                            {{2, 0}, 0, {7, 3}, {4, 2}},
                            {{-32768, -32768}, 0, {-32768, -32768}, {1, 0}},
                            {{-32768, -32768}, -16, {1, 0}, {-1, 1}},
                            {{-32768, -32768}, -15, {1, 0}, {0, 0}},
                            {{0, -32768}, -15, {0, 16384}, {-16384, 0}},
                            {{1, 0}, -16, {1, -1}, {32767, -32768}},
                            {{1, 0}, -40, {1, -1}, {32767, -32768}}};
    for (int32_t level : Levels())
        for (int32_t len : {1, 3, 7, 8, 16, 21})
            for (int32_t off = 0; off < 16; ++off)
            {
                for (const Real& t : i16)
                {
                    std::vector<int16_t> src(len, int16_t(t.x));
                    GuardedBuffer<int16_t> dst(len, 2 * off);
                    kConstI16[level - 1](src.data(), int16_t(t.c), dst.data(), len, t.s);
                    EXPECT_EQ(std::count(dst.data(), dst.data() + len, t.expected), len) << t.c << " " << t.x;
                    EXPECT_TRUE(dst.GuardsIntact());
                }
                for (const Real& t : u8)
                {
                    std::vector<uint8_t> src(len, uint8_t(t.x));
                    GuardedBuffer<uint8_t> dst(len, off);
                    kConstU8[level - 1](src.data(), uint8_t(t.c), dst.data(), len, t.s);
                    EXPECT_EQ(std::count(dst.data(), dst.data() + len, t.expected), len) << t.c << " " << t.x;
                    EXPECT_TRUE(dst.GuardsIntact());
                }
                for (const Complex& t : ic16)
                {
                    std::vector<SpIc16> src(len, t.x);
                    GuardedBuffer<SpIc16> dst(len, 4 * (off % 4));
                    kConstIc16[level - 1](src.data(), t.c, dst.data(), len, t.s);
                    for (int32_t i = 0; i < len; ++i)
                        ASSERT_TRUE(dst[i].re == t.expected.re && dst[i].im == t.expected.im)
                            << "level " << level << " s " << t.s << " element " << i;
                    EXPECT_TRUE(dst.GuardsIntact());
                }
            }
}

// Every 16-bit value and every byte over sets of constants and scale factors; random complex vectors
// over every constant arrangement, lengths 1-40 and destination offsets.
TEST(SpIntDivLevels, ConstantDivisorAgainstFormula)
{
    std::vector<int16_t> x16(65536), d16(65536);
    for (int32_t i = 0; i < 65536; ++i)
        x16[i] = int16_t(i - 32768);
    std::vector<uint8_t> x8(256 + 7), d8(256 + 7);
    for (int32_t i = 0; i < 256 + 7; ++i)
        x8[i] = uint8_t(i);
    TestRng rng(216);
    for (int32_t level : Levels())
    {
        for (int16_t c : {1, -1, 2, 3, -7, 100, 32767, -32768})
            for (int32_t s = -20; s <= 20; ++s)
            {
                kConstI16[level - 1](x16.data() + 1, c, d16.data() + 1, 65535, s);
                for (int32_t i = 1; i < 65536; ++i)
                    ASSERT_EQ(d16[i], ConstRef(x16[i], c, s, -32768, 32767))
                        << x16[i] << "/" << c << " s " << s;
            }
        for (int32_t c = 1; c < 256; ++c)
            for (int32_t s = -31; s <= 10; ++s)
            {
                kConstU8[level - 1](x8.data() + c % 8, uint8_t(c), d8.data(), 256, s);
                for (int32_t i = 0; i < 256; ++i)
                    ASSERT_EQ(d8[i], ConstRef(x8[i + c % 8], c, s, 0, 255))
                        << "level " << level << " c " << c;
            }
        for (SpIc16 c :
             {SpIc16{3, -5}, SpIc16{-32768, -32768}, SpIc16{7, -32768}, SpIc16{-32768, 1}, SpIc16{0, 1}})
            for (int32_t s : {-30, -16, -5, 0, 3, 20})
                for (int32_t len = 1; len <= 40; ++len)
                {
                    std::vector<SpIc16> src(len);
                    for (SpIc16& v : src)
                        v = {Pick16(rng), Pick16(rng)};
                    GuardedBuffer<SpIc16> dst(len, 4 * (len % 4));
                    kConstIc16[level - 1](src.data(), c, dst.data(), len, s);
                    for (int32_t i = 0; i < len; ++i)
                    {
                        const SpIc16 e = ConstRefIc16(src[i], c, s);
                        ASSERT_TRUE(dst[i].re == e.re && dst[i].im == e.im)
                            << "level " << level << " s " << s;
                    }
                    EXPECT_TRUE(dst.GuardsIntact());
                }
    }
}

// Every byte over every byte at scale factors across both scaling directions: the exact quotient,
// where the eight-lane loop may take either neighbour of an exact half; the single-element steps
// (lengths below eight at an 8-byte boundary) round halves to even.
TEST(SpIntDivLevels, UnsignedBytesEveryPair)
{
    std::vector<uint8_t> d(65536), n(65536), q(65536 + 8);
    for (int32_t i = 0; i < 65536; ++i)
        d[i] = uint8_t(i), n[i] = uint8_t(i >> 8);
    for (int32_t level : Levels())
    {
        for (int32_t s : {-200, -30, -9, -1, 0, 1, 3, 8, 9, 12})
        {
            const int32_t off = (s + 256) % 8;
            EXPECT_EQ(kU8[level - 1](d.data(), n.data(), q.data() + off, 65536, s), 1u);
            for (int32_t i = 0; i < 65536; ++i)
            {
                const Exact e = Quotient(n[i], d[i], s, 0, 255);
                ASSERT_TRUE(e.tie ? std::abs(q[off + i] - e.value) <= 1 : q[off + i] == e.value)
                    << "level " << level << " s " << s << " " << int(n[i]) << "/" << int(d[i]);
            }
        }
        const uint8_t div[] = {2, 2, 0, 0, 3, 1, 1}, num[] = {7, 5, 0, 9, 100, 200, 255};
        const int32_t s[] = {0, 0, 0, 0, -1, -1, 1}, want[] = {4, 2, 0, 255, 67, 255, 128};
        alignas(8) uint8_t out[8];
        for (int32_t k = 0; k < 7; ++k)
        {
            EXPECT_EQ(kU8[level - 1](div + k, num + k, out, 1, s[k]), div[k] == 0 ? 1u : 0u);
            EXPECT_EQ(out[0], want[k]) << "level " << level << " case " << k;
        }
    }
}

// A constant over every unsigned 16-bit divisor: exact, halves to even on every path.
TEST(SpIntDivLevels, ConstantOverUnsigned16EveryDivisor)
{
    std::vector<uint16_t> x(65536 + 8), q(65536 + 8);
    for (int32_t level : Levels())
        for (uint16_t c : {0, 1, 100, 32767, 32768, 40000, 65535})
            for (int32_t off : {0, 3})
            {
                for (int32_t i = 0; i < 65536; ++i)
                    x[off + i] = uint16_t(i + 1); // the zero divisor comes last
                EXPECT_NE(kU16[level - 1](x.data() + off, c, q.data() + off, 65536), 0u);
                for (int32_t i = 0; i < 65536; ++i)
                {
                    const uint16_t v = x[off + i];
                    ASSERT_EQ(q[off + i], v == 0 ? 65535 : Quotient(c, v, 0, 0, 65535).value)
                        << "level " << level << " " << c << "/" << v;
                }
                EXPECT_EQ(kU16[level - 1](x.data() + off, c, q.data() + off, 65535), 0u);
            }
}

// 32-bit dividends over 16-bit divisors against the exact quotient (away from within 2^-40 of a
// half, where the four-lane loop's three roundings may differ), every length 1-40 and offset.
TEST(SpIntDivLevels, I32ByI16AgainstExactQuotient)
{
    TestRng rng(218);
    for (int32_t level : Levels())
        for (int32_t s : {-100, -40, -16, -1, 0, 1, 5, 16, 31, 40})
            for (int32_t len = 1; len <= 40; ++len)
            {
                std::vector<int16_t> d(len);
                std::vector<int32_t> n(len);
                for (int32_t i = 0; i < len; ++i)
                    d[i] = Pick16(rng), n[i] = rng.Next32() % 2 ? int32_t(rng.Next32()) : Pick16(rng);
                GuardedBuffer<int16_t> q(len, 2 * (len % 8));
                const bool zero = std::count(d.begin(), d.end(), 0) > 0;
                EXPECT_EQ(kI32By16[level - 1](d.data(), n.data(), q.data(), len, s) != 0, zero);
                for (int32_t i = 0; i < len; ++i)
                {
                    const Exact e = Quotient(n[i], d[i], s, -32768, 32767);
                    if (!e.nearTie || d[i] == 0)
                    {
                        ASSERT_EQ(q[i], e.value)
                            << "level " << level << " s " << s << " " << n[i] << "/" << d[i];
                    }
                }
                EXPECT_TRUE(q.GuardsIntact());
            }
}
