// Integer square kernels with a scale factor of one level build, included by the vector rows'
// level body after SP_LN is defined. Each kernel picks its arithmetic once per call from the scale
// factor and runs it on whole 16-byte vectors; the head and the tail put their few elements
// through the same vector arithmetic in a zero-padded vector, so no result depends on alignment or
// length. Every shift count is held below the lane width, and every narrowing sees lanes that are
// already inside the signed range it reads, so no lane wraps.
#pragma once

#include <emmintrin.h>
#include <pmmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/vectors/sp_int_sqr_levels.h"

namespace
{

struct SpIntSqr
{
    // Head (single elements until dst is 16-byte aligned), a main loop of two vectors with its
    // load/store variant chosen once, then the rest through one vector and one padded vector.
    template <class Op>
    static void Run(const uint8_t* src, uint8_t* dst, int64_t bytes, size_t elem, const Op& op)
    {
        if ((reinterpret_cast<uintptr_t>(dst) & (elem - 1)) == 0)
        {
            while (bytes > 0 && (reinterpret_cast<uintptr_t>(dst) & 15) != 0)
            {
                Partial(src, dst, elem, op);
                src += elem, dst += elem, bytes -= int64_t(elem);
            }
        }
        const bool dstAligned = (reinterpret_cast<uintptr_t>(dst) & 15) == 0;
        const bool srcAligned = (reinterpret_cast<uintptr_t>(src) & 15) == 0;
        for (; bytes >= 32; src += 32, dst += 32, bytes -= 32)
        {
            __m128i a, b;
            if (dstAligned && srcAligned)
            {
                a = _mm_load_si128(reinterpret_cast<const __m128i*>(src));
                b = _mm_load_si128(reinterpret_cast<const __m128i*>(src + 16));
            }
            else
            {
                a = _mm_lddqu_si128(reinterpret_cast<const __m128i*>(src));
                b = _mm_lddqu_si128(reinterpret_cast<const __m128i*>(src + 16));
            }
            a = op(a), b = op(b);
            if (dstAligned)
            {
                _mm_store_si128(reinterpret_cast<__m128i*>(dst), a);
                _mm_store_si128(reinterpret_cast<__m128i*>(dst + 16), b);
            }
            else
            {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), a);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), b);
            }
        }
        if (bytes >= 16)
        {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                             op(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src))));
            src += 16, dst += 16, bytes -= 16;
        }
        if (bytes > 0)
        {
            Partial(src, dst, size_t(bytes), op);
        }
    }

    template <class Op> static void Partial(const uint8_t* src, uint8_t* dst, size_t bytes, const Op& op)
    {
        alignas(16) uint8_t lane[16] = {};
        memcpy(lane, src, bytes);
        _mm_store_si128(reinterpret_cast<__m128i*>(lane),
                        op(_mm_load_si128(reinterpret_cast<const __m128i*>(lane))));
        memcpy(dst, lane, bytes);
    }

    static void Zero(void* dst, int64_t bytes) { memset(dst, 0, size_t(bytes)); }

    // Where mask is set, take b; elsewhere a.
    static __m128i Select(__m128i mask, __m128i a, __m128i b)
    {
        return _mm_or_si128(_mm_andnot_si128(mask, a), _mm_and_si128(mask, b));
    }

    // Unsigned 16-bit x > t as a lane mask.
    static __m128i GtU16(__m128i x, uint16_t t)
    {
        return _mm_xor_si128(
            _mm_cmpeq_epi16(_mm_subs_epu16(x, _mm_set1_epi16(int16_t(t))), _mm_setzero_si128()),
            _mm_set1_epi32(-1));
    }

    // Round half to even of v / 2^t for 1 <= t <= 31, arithmetic: the caller keeps v + 2^(t-1) in range.
    static __m128i RheSigned(__m128i v, __m128i t, __m128i bias)
    {
        const __m128i odd = _mm_and_si128(_mm_srl_epi32(v, t), _mm_set1_epi32(1));
        return _mm_sra_epi32(_mm_add_epi32(_mm_add_epi32(v, bias), odd), t);
    }

    // -------------------------------------------------------------------------------------------
    // Signed 16-bit: squares in 32-bit lanes by a multiply-add of each value with a zero partner.
    struct I16Op
    {
        int32_t s;
        __m128i count, bias, limit;
        __m128i operator()(__m128i x) const
        {
            const __m128i z = _mm_setzero_si128();
            const __m128i lo = _mm_unpacklo_epi16(x, z), hi = _mm_unpackhi_epi16(x, z);
            __m128i vl = _mm_madd_epi16(lo, lo), vh = _mm_madd_epi16(hi, hi);
            if (s > 0)
            {
                // Unsigned: v + 2^(s-1) - 1 + bit s stays below 2^31 + 2^30.
                const __m128i one = _mm_set1_epi32(1);
                vl = _mm_srl_epi32(
                    _mm_add_epi32(_mm_add_epi32(vl, bias), _mm_and_si128(_mm_srl_epi32(vl, count), one)),
                    count);
                vh = _mm_srl_epi32(
                    _mm_add_epi32(_mm_add_epi32(vh, bias), _mm_and_si128(_mm_srl_epi32(vh, count), one)),
                    count);
            }
            __m128i w = _mm_packs_epi32(vl, vh);
            if (s < 0)
            {
                w = Select(_mm_cmpgt_epi16(w, limit), _mm_sll_epi16(w, count), _mm_set1_epi16(32767));
            }
            return w;
        }
    };

    static void I16(const int16_t* src, int16_t* dst, int32_t len, int32_t s)
    {
        if (s >= 32)
        {
            Zero(dst, int64_t(len) * 2);
            return;
        }
        // Beyond 16 every nonzero square saturates already, and the 16-bit shift count stays inside its lane.
        const int32_t n = s < 0 ? (s < -16 ? 16 : -s) : s;
        const I16Op op{s, _mm_cvtsi32_si128(n), _mm_set1_epi32(s > 0 ? int32_t((1u << (s - 1)) - 1) : 0),
                       _mm_set1_epi16(int16_t(s < 0 ? (32767 >> n) : 32767))};
        Run(reinterpret_cast<const uint8_t*>(src), reinterpret_cast<uint8_t*>(dst), int64_t(len) * 2, 2, op);
    }

    // -------------------------------------------------------------------------------------------
    // Complex signed 16-bit: A = re^2 - im^2 and B = re*im exact in 32-bit lanes.
    struct Ci16Op
    {
        int32_t s;
        __m128i countA, countB, biasA, biasB;
        __m128i operator()(__m128i x) const
        {
            const __m128i im = _mm_srli_epi32(x, 16);
            const __m128i re = _mm_and_si128(x, _mm_set1_epi32(0xFFFF));
            const __m128i im2 = _mm_madd_epi16(im, im);
            // (re^2 + im^2) wraps for (-32768, -32768); taking im^2 twice cancels the wrap.
            const __m128i a = _mm_sub_epi32(_mm_sub_epi32(_mm_madd_epi16(x, x), im2), im2);
            const __m128i b = _mm_madd_epi16(re, im);
            __m128i ra, rb;
            if (s >= 1)
            {
                ra = _mm_packs_epi32(RheSigned(a, countA, biasA), z());
                rb = _mm_packs_epi32(s == 1 ? b : RheSigned(b, countB, biasB), z());
            }
            else
            {
                ra = _mm_packs_epi32(a, z());
                rb = _mm_packs_epi32(b, z());
                rb = _mm_adds_epi16(rb, rb);
                if (s == -1)
                {
                    ra = _mm_adds_epi16(ra, ra);
                    rb = _mm_adds_epi16(rb, rb);
                }
                else if (s <= -2)
                {
                    ra = _mm_packs_epi32(
                        _mm_sll_epi32(_mm_srai_epi32(_mm_unpacklo_epi16(z(), ra), 16), countA), z());
                    rb = _mm_packs_epi32(
                        _mm_sll_epi32(_mm_srai_epi32(_mm_unpacklo_epi16(z(), rb), 16), countA), z());
                }
            }
            return _mm_unpacklo_epi16(ra, rb);
        }
        static __m128i z() { return _mm_setzero_si128(); }
    };

    static void Ci16(const SpIc16* src, SpIc16* dst, int32_t len, int32_t s)
    {
        if (s >= 32)
        {
            Zero(dst, int64_t(len) * 4);
            return;
        }
        // Beyond 16 every nonzero part saturates already; -32768 * 2^16 still fits the 32-bit lane.
        const int32_t n = s < 0 ? (s < -16 ? 16 : -s) : s;
        const int32_t tb = s > 0 ? s - 1 : 0;
        const Ci16Op op{s, _mm_cvtsi32_si128(n), _mm_cvtsi32_si128(tb > 0 ? tb : 0),
                        _mm_set1_epi32(s > 0 ? int32_t((1u << (s - 1)) - 1) : 0),
                        _mm_set1_epi32(tb > 0 ? int32_t((1u << (tb - 1)) - 1) : 0)};
        Run(reinterpret_cast<const uint8_t*>(src), reinterpret_cast<uint8_t*>(dst), int64_t(len) * 4, 4, op);
    }

    // -------------------------------------------------------------------------------------------
    // Unsigned bytes: squares (at most 65025) in unsigned 16-bit lanes, narrowed only below 32768.
    // Halves occur only for odd scales with an even value below, so the bias b(s) rounds to even.
    struct U8Op
    {
        int32_t s;
        __m128i count, clamp, bias, over;
        __m128i operator()(__m128i x) const
        {
            const __m128i z = _mm_setzero_si128();
            if (s < -7)
            {
                return _mm_xor_si128(_mm_cmpeq_epi8(x, z), _mm_set1_epi32(-1));
            }
            if (s == 16)
            {
                return _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(int8_t(182))), x),
                                     _mm_set1_epi8(1));
            }
            return _mm_packus_epi16(Half(_mm_unpacklo_epi8(x, z)), Half(_mm_unpackhi_epi8(x, z)));
        }
        __m128i Half(__m128i x) const
        {
            if (s <= 0)
            {
                const __m128i m = _mm_min_epi16(x, clamp);
                return _mm_sll_epi16(_mm_mullo_epi16(m, m), count);
            }
            const __m128i sq = _mm_mullo_epi16(x, x);
            if (s <= 9)
            {
                return _mm_srl_epi16(_mm_add_epi16(sq, bias), count);
            }
            // The sum saturates above T(s); the saturated lane is one short, so add it back.
            return _mm_sub_epi16(_mm_srl_epi16(_mm_adds_epu16(sq, bias), count), _mm_cmpgt_epi16(x, over));
        }
    };

    static uint16_t Bias(int32_t s) { return uint16_t((1u << (s - 1)) - (s & 1)); }

    static void U8(const uint8_t* src, uint8_t* dst, int32_t len, int32_t s)
    {
        if (s > 16)
        {
            Zero(dst, len);
            return;
        }
        int32_t over = 255;
        if (s >= 10)
        {
            const uint32_t b = Bias(s);
            while (over > 0 && uint32_t(over) * uint32_t(over) + b > 65535u)
            {
                --over;
            }
        }
        // Below -7 no shift runs (every nonzero byte gives 255), so the count is held there.
        const U8Op op{s, _mm_cvtsi32_si128(s < -7 ? 7 : (s < 0 ? -s : s)), _mm_set1_epi16(s == -7 ? 8 : 16),
                      _mm_set1_epi16(int16_t(s >= 4 && s <= 15 ? Bias(s) : 0)),
                      _mm_set1_epi16(int16_t(over))};
        Run(src, dst, len, 1, op);
    }

    // -------------------------------------------------------------------------------------------
    // Unsigned 16-bit: the square as high and low 16-bit halves, x^2 = 65536 h + l.
    struct U16Op
    {
        int32_t s;
        __m128i count, count2, bias, carryBits, over;
        __m128i operator()(__m128i x) const
        {
            const __m128i z = _mm_setzero_si128(), ones = _mm_set1_epi32(-1);
            if (s < -15)
            {
                return _mm_xor_si128(_mm_cmpeq_epi16(x, z), ones);
            }
            if (s == 32)
            {
                return _mm_srli_epi16(GtU16(x, 46340), 15);
            }
            const __m128i h = _mm_mulhi_epu16(x, x), l = _mm_mullo_epi16(x, x);
            if (s < 0)
            {
                return _mm_or_si128(_mm_sll_epi16(l, count), GtU16Vec(x, over));
            }
            if (s == 0)
            {
                return _mm_or_si128(l, GtU16(x, 255));
            }
            if (s <= 15)
            {
                __m128i lp = l, hp = h;
                if (s >= 4)
                {
                    // The carry into h is tested before the addition: all bits of l from s-1 up set.
                    hp = _mm_sub_epi16(h, _mm_cmpeq_epi16(_mm_or_si128(l, carryBits), ones));
                    lp = _mm_add_epi16(l, bias);
                }
                const __m128i sat = _mm_xor_si128(_mm_cmpeq_epi16(_mm_srl_epi16(hp, count), z), ones);
                return _mm_or_si128(_mm_or_si128(_mm_srl_epi16(lp, count), _mm_sll_epi16(hp, count2)), sat);
            }
            if (s == 16)
            {
                return _mm_add_epi16(h, _mm_srli_epi16(l, 15));
            }
            if (s == 17)
            {
                return _mm_srli_epi16(_mm_sub_epi16(h, _mm_xor_si128(_mm_cmpeq_epi16(l, z), ones)), 1);
            }
            if ((s & 1) == 0)
            {
                return _mm_sub_epi16(_mm_srl_epi16(_mm_adds_epu16(h, bias), count), GtU16Vec(x, over));
            }
            // Odd scales: one less bias where l is 0, which for a square is where x's low byte is 0.
            const __m128i lowZero = _mm_cmpeq_epi16(_mm_and_si128(x, _mm_set1_epi16(0xFF)), z);
            const __m128i v = _mm_adds_epu16(h, _mm_add_epi16(bias, lowZero));
            return _mm_sub_epi16(_mm_srl_epi16(v, count), _mm_cmpeq_epi16(v, ones));
        }
        static __m128i GtU16Vec(__m128i x, __m128i t)
        {
            return _mm_xor_si128(_mm_cmpeq_epi16(_mm_subs_epu16(x, t), _mm_setzero_si128()),
                                 _mm_set1_epi32(-1));
        }
    };

    static void U16(const uint16_t* src, uint16_t* dst, int32_t len, int32_t s)
    {
        if (s > 32)
        {
            Zero(dst, int64_t(len) * 2);
            return;
        }
        __m128i count = _mm_setzero_si128(), count2 = count, bias = count, carryBits = count, over = count;
        if (s < 0 && s >= -15)
        {
            const int32_t n = -s;
            // Largest x whose square shifted left by n stays within 16 bits.
            count = _mm_cvtsi32_si128(n);
            over = _mm_set1_epi16(int16_t((n & 1 ? 181 : 255) >> (n / 2)));
        }
        else if (s >= 1 && s <= 15)
        {
            count = _mm_cvtsi32_si128(s);
            count2 = _mm_cvtsi32_si128(16 - s);
            bias = _mm_set1_epi16(int16_t(Bias(s)));
            carryBits = _mm_set1_epi16(int16_t((1u << (s - 1)) - 1));
        }
        else if (s >= 18)
        {
            const int32_t t = s - 16;
            count = _mm_cvtsi32_si128(t);
            bias = _mm_set1_epi16(int16_t(1u << (t - 1)));
            // Largest x whose high half plus the bias stays within 16 bits (even scales only).
            static const uint16_t kOver[] = {65534, 65531, 65519, 65471, 65279, 64503, 61303};
            over = _mm_set1_epi16(int16_t(kOver[(t - 2) / 2 < 7 ? (t - 2) / 2 : 6]));
        }
        const U16Op op{s, count, count2, bias, carryBits, over};
        Run(reinterpret_cast<const uint8_t*>(src), reinterpret_cast<uint8_t*>(dst), int64_t(len) * 2, 2, op);
    }
};

} // namespace

void SP_LN(SpSqrScaleKernelI16)(const int16_t* src, int16_t* dst, int32_t len, int32_t scale)
{
    SpIntSqr::I16(src, dst, len, scale);
}

void SP_LN(SpSqrScaleKernelCI16)(const SpIc16* src, SpIc16* dst, int32_t len, int32_t scale)
{
    SpIntSqr::Ci16(src, dst, len, scale);
}

void SP_LN(SpSqrScaleKernelU8)(const uint8_t* src, uint8_t* dst, int32_t len, int32_t scale)
{
    SpIntSqr::U8(src, dst, len, scale);
}

void SP_LN(SpSqrScaleKernelU16)(const uint16_t* src, uint16_t* dst, int32_t len, int32_t scale)
{
    SpIntSqr::U16(src, dst, len, scale);
}
