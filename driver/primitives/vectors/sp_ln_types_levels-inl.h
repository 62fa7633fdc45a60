// The logarithm kernels beside the float one in place, written once and instantiated by each
// level's build file: float from source to destination, and 32- and 16-bit integers whose
// logarithm is multiplied by a factor F (2^-s) and rounded in the caller's mode. They take the
// float kernel's method and its split of the vector (short path below 32 elements or for a pair
// of pointers the blocks cannot serve, a peel to the tested pointer's 16-byte boundary, blocks of
// 8 whose elements i and i + 4 share one division, a short remainder), so every element shares
// its division with the same partner as there. The blocks run in two passes (integer work and
// the division, then the series) with their scratch in the caller's work buffer, after the
// 32-byte head of F and F ln 2 that the integer kernels write first.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/vectors/sp_ln_levels-inl.h"
#include "driver/primitives/vectors/sp_ln_levels.h"

// Where the block loop's first pass keeps each element's exponent e and quotient s until the
// second pass: kernels with a destination of their own keep one of them there (the quotient in
// a 32-bit destination, the exponent as 16 bits in a 16-bit one) and the other in the work
// buffer; in-place kernels keep both in the work buffer.
enum class SpLnScratch
{
    kQuotientInDestination,
    kExponentInDestination,
    kBothInWork,
};

template <class P> struct SpLnTypeKernels
{
    using Ln = SpLnKernels<P>;

    static uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

    // 2^-s as the float 0x3F800000 - (s << 23), in 32-bit arithmetic (exact for -127..126).
    static float ScaleFactor(int32_t s)
    {
        const uint32_t bits = 0x3F800000u - (uint32_t(s) << 23);
        float f;
        memcpy(&f, &bits, 4);
        return f;
    }

    // True when the byte ranges of the source and the destination do not meet.
    static bool Apart(const void* src, const void* dst, int64_t srcBytes, int64_t dstBytes)
    {
        return Address(src) + uint64_t(srcBytes) <= Address(dst) ||
               Address(dst) + uint64_t(dstBytes) <= Address(src);
    }

    // A destination that shares its bytes with the source cannot hold scratch that pass 2 reads
    // next to the source's own bits: each block then runs both passes on scratch of its own.
    template <class First, class Second>
    static void TwoPassInPlace(int64_t at, int64_t count, const First& first, const Second& second)
    {
        for (int64_t j = 0; j < count; j += 8)
        {
            int32_t e[8];
            float q[8];
            first(at + j, e, q);
            second(at + j, e, q);
        }
    }

    // s and e of two vectors from one division: D = 1/((ma + 1)(mb + 1)).
    static void Pair(__m128 xa, __m128 xb, __m128* sa, __m128* sb, __m128i* ea, __m128i* eb)
    {
        const __m128 one = _mm_set1_ps(1.0f);
        const __m128 ma = Ln::Split(xa, ea), mb = Ln::Split(xb, eb);
        const __m128 pa = _mm_add_ps(ma, one), pb = _mm_add_ps(mb, one);
        const __m128 d = _mm_div_ps(one, _mm_mul_ps(pa, pb));
        *sa = _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(ma, one), pb), d);
        *sb = _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(mb, one), pa), d);
    }

    static __m128 OwnQuotient(__m128 x, __m128i* e)
    {
        const __m128 one = _mm_set1_ps(1.0f);
        const __m128 m = Ln::Split(x, e);
        return _mm_div_ps(_mm_sub_ps(m, one), _mm_add_ps(m, one));
    }

    // The split of a vector of n elements into short runs and blocks: `element` bytes per
    // element, `tested` the pointer the blocks align, `fits` whether they can run at all.
    template <class Short, class Blocks>
    static void Walk(int64_t n, const void* tested, size_t element, bool fits, const Short& shortRun,
                     const Blocks& blocks)
    {
        if (n < 32 || !fits)
        {
            shortRun(0, n);
            return;
        }
        const int64_t peel = int64_t(((16 - (Address(tested) & 15)) & 15) / element);
        shortRun(0, peel);
        const int64_t blockPart = (n - peel) / 8 * 8;
        blocks(peel, blockPart);
        shortRun(peel + blockPart, n - peel - blockPart);
    }

    // ---- float, source to destination ------------------------------------------------------

    static int32_t Float(const float* src, float* dst, int64_t n, void* work)
    {
        int32_t code = 0;
        if (n < 1)
        {
            return 0;
        }
        const bool fits =
            (Address(src) & 3) == 0 && (Address(dst) & 3) == 0 && ((Address(src) ^ Address(dst)) & 15) == 0;
        auto shortRun = [&](int64_t at, int64_t count)
        {
            if (count > 0)
            {
                Ln::Short(src + at, dst + at, int32_t(count), &code);
            }
        };
        // Pass 1 keeps e in the work buffer and s in the destination; pass 2 takes them back.
        auto first = [&](int64_t b, int32_t* e, float* sOut)
        {
            __m128 sa, sb;
            __m128i ea, eb;
            Pair(_mm_load_ps(src + b), _mm_load_ps(src + b + 4), &sa, &sb, &ea, &eb);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(e), ea);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(e + 4), eb);
            _mm_storeu_ps(sOut, sa);
            _mm_storeu_ps(sOut + 4, sb);
        };
        auto second = [&](int64_t b, const int32_t* e, const float* sIn)
        {
            const __m128i ea = _mm_loadu_si128(reinterpret_cast<const __m128i*>(e));
            const __m128i eb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(e + 4));
            float results[8];
            _mm_storeu_ps(results, Ln::Series(_mm_loadu_ps(sIn), ea));
            _mm_storeu_ps(results + 4, Ln::Series(_mm_loadu_ps(sIn + 4), eb));
            Ln::Store(src + b, dst + b, 8, results, Ln::Flagged(ea) | Ln::Flagged(eb) << 4, &code);
        };
        auto blocks = [&](int64_t at, int64_t count)
        {
            int32_t* eWork = static_cast<int32_t*>(work);
            if (!Apart(src, dst, n * 4, n * 4))
            {
                TwoPassInPlace(at, count, first, second);
                return;
            }
            for (int64_t j = 0; j < count; j += 8)
            {
                first(at + j, eWork + j, dst + at + j);
            }
            for (int64_t j = 0; j < count; j += 8)
            {
                second(at + j, eWork + j, dst + at + j);
            }
        };
        Walk(n, src, 4, fits, shortRun, blocks);
        return code;
    }

    // ---- integers times F --------------------------------------------------------------------

    // P (s F) + e (F ln 2), clamped to +-2147483520 and rounded in the caller's mode.
    static __m128i Scaled(__m128 s, __m128i e, __m128 f, __m128 fLn2)
    {
        const __m128 z = _mm_mul_ps(s, s);
        __m128 p = _mm_add_ps(_mm_mul_ps(Ln::F(0x3E7353DAu), z), Ln::F(0x3E920CCAu));
        p = _mm_add_ps(_mm_mul_ps(p, z), Ln::F(0x3ECCCD95u));
        p = _mm_add_ps(_mm_mul_ps(p, z), Ln::F(0x3F2AAAAAu));
        p = _mm_add_ps(_mm_mul_ps(p, z), Ln::F(0x40000000u));
        __m128 r = _mm_add_ps(_mm_mul_ps(p, _mm_mul_ps(s, f)), _mm_mul_ps(_mm_cvtepi32_ps(e), fLn2));
        r = _mm_min_ps(_mm_max_ps(r, Ln::F(0xCEFFFFFFu)), Ln::F(0x4EFFFFFFu));
        return _mm_cvtps_epi32(r);
    }

    // Only a converted integer at or below 0 leaves the window (from below).
    static int32_t Low(__m128i e)
    {
        return _mm_movemask_ps(_mm_castsi128_ps(_mm_cmplt_epi32(e, _mm_set1_epi32(-62))));
    }

    // One group's results written as the destination type: a flagged element (0 or negative)
    // takes the type's minimum, and the first one decides the code.
    template <typename S, typename D>
    static void StoreInt(const S* src, D* dst, int64_t count, const int32_t* results, int32_t flagged,
                         int32_t* code)
    {
        D out[8];
        for (int64_t k = 0; k < count; ++k)
        {
            int32_t r = results[k];
            if (flagged & (1 << k))
            {
                S x;
                memcpy(&x, src + k, sizeof(S));
                if (*code == 0)
                {
                    *code = x == 0 ? 2 : 4;
                }
                r = INT32_MIN;
            }
            if (sizeof(D) == 2)
            {
                r = r > 32767 ? 32767 : (r < -32768 ? -32768 : r);
            }
            out[k] = D(r);
        }
        memcpy(dst, out, sizeof(D) * size_t(count));
    }

    template <typename S> static __m128 Load4(const S* p, int64_t count)
    {
        int32_t v[4] = {1, 1, 1, 1};
        for (int64_t k = 0; k < count; ++k)
        {
            S x;
            memcpy(&x, p + k, sizeof(S));
            v[k] = int32_t(x);
        }
        return _mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)));
    }

    template <SpLnScratch kKeep, typename S, typename D>
    static int32_t Integer(const S* src, D* dst, int64_t n, float f, void* work, const void* tested,
                           bool fits)
    {
        const __m128 vf = _mm_set1_ps(f);
        const __m128 fLn2 = _mm_mul_ps(vf, Ln::F(0x3F317218u));
        _mm_store_ps(static_cast<float*>(work), vf);
        _mm_store_ps(static_cast<float*>(work) + 4, fLn2);
        int32_t code = 0;
        if (n < 1)
        {
            return 0;
        }
        auto shortRun = [&](int64_t at, int64_t count)
        {
            for (int64_t i = at; i < at + count; i += 4)
            {
                const int64_t c = at + count - i < 4 ? at + count - i : 4;
                __m128i e;
                const __m128 s = OwnQuotient(Load4(src + i, c), &e);
                int32_t results[4];
                _mm_storeu_si128(reinterpret_cast<__m128i*>(results), Scaled(s, e, vf, fLn2));
                StoreInt(src + i, dst + i, c, results, Low(e) & ((1 << c) - 1), &code);
            }
        };
        // Pass 1 keeps e and s where the kernel's layout puts them (after the head in the work
        // buffer, or in the destination, which pass 2 then overwrites block by block); pass 2
        // takes them back, evaluates and writes.
        auto first = [&](int64_t b, int32_t* e, float* sOut)
        {
            __m128 sa, sb;
            __m128i ea, eb;
            Pair(Load4(src + b, 4), Load4(src + b + 4, 4), &sa, &sb, &ea, &eb);
            if (e == nullptr)
            {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + b), _mm_packs_epi32(ea, eb));
            }
            else
            {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(e), ea);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(e + 4), eb);
            }
            _mm_storeu_ps(sOut, sa);
            _mm_storeu_ps(sOut + 4, sb);
        };
        auto second = [&](int64_t b, const int32_t* e, const float* sIn)
        {
            __m128i ea, eb;
            if (e == nullptr)
            {
                const __m128i e16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + b));
                ea = _mm_srai_epi32(_mm_unpacklo_epi16(e16, e16), 16);
                eb = _mm_srai_epi32(_mm_unpackhi_epi16(e16, e16), 16);
            }
            else
            {
                ea = _mm_loadu_si128(reinterpret_cast<const __m128i*>(e));
                eb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(e + 4));
            }
            int32_t results[8];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(results), Scaled(_mm_loadu_ps(sIn), ea, vf, fLn2));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(results + 4),
                             Scaled(_mm_loadu_ps(sIn + 4), eb, vf, fLn2));
            StoreInt(src + b, dst + b, 8, results, Low(ea) | Low(eb) << 4, &code);
        };
        auto blocks = [&](int64_t at, int64_t count)
        {
            if (kKeep != SpLnScratch::kBothInWork &&
                !Apart(src, dst, n * int64_t(sizeof(S)), n * int64_t(sizeof(D))))
            {
                TwoPassInPlace(at, count, first, second);
                return;
            }
            int32_t* eWork = reinterpret_cast<int32_t*>(static_cast<uint8_t*>(work) + 32);
            float* sWork = reinterpret_cast<float*>(eWork) + (kKeep == SpLnScratch::kBothInWork ? count : 0);
            constexpr bool kQuotientOut = kKeep == SpLnScratch::kQuotientInDestination;
            constexpr bool kExponentOut = kKeep == SpLnScratch::kExponentInDestination;
            for (int64_t j = 0; j < count; j += 8)
            {
                first(at + j, kExponentOut ? nullptr : eWork + j,
                      kQuotientOut ? reinterpret_cast<float*>(dst + at + j) : sWork + j);
            }
            for (int64_t j = 0; j < count; j += 8)
            {
                second(at + j, kExponentOut ? nullptr : eWork + j,
                       kQuotientOut ? reinterpret_cast<const float*>(dst + at + j) : sWork + j);
            }
        };
        Walk(n, tested, sizeof(S), fits, shortRun, blocks);
        return code;
    }

    static bool Whole(const void* p, size_t element) { return (Address(p) & (element - 1)) == 0; }
    static bool InStep(const void* a, const void* b) { return ((Address(a) ^ Address(b)) & 15) == 0; }

    // ---- double ----------------------------------------------------------------------------

    static double D(uint64_t bits)
    {
        double d;
        memcpy(&d, &bits, 8);
        return d;
    }

    // ln x of a positive double that passed the screen: x = m 2^e, m in [1, 2), reduced by the
    // table's reciprocal of m's nearest 1 + j/64 so that r = m c - 1 is small; the sum is ordered
    // so that a result near 1 (where the table and exponent parts cancel exactly) keeps r whole.
    static double LnF64(double x)
    {
        uint64_t bits;
        memcpy(&bits, &x, 8);
        const int32_t h = int32_t(bits >> 32);
        const int32_t j = (((h & 0x000FFE00) >> 9) + 16) >> 5;
        const double* row = SpLnTableF64[j];
        const double m = D((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
        const double e = double((h >> 20) - 1023);
        const double mHi = D((bits & 0x000FFFFFFFE00000ull) | 0x3FF0000000000000ull);
        const double mLo = m - mHi;
        const double rHi = mHi * row[0] - 1.0;
        const double rLo = mLo * row[0];
        const double r = rLo + rHi;
        const double bigH = row[2] + e * D(0x3FE62E42FEFA37FDull);
        const double bigL = row[3] + e * D(0x3D2EF35793C7672Eull);
        double high, extra;
        if (bigH == 0.0)
        {
            high = (bigH + rHi) + rLo;
            extra = 0.0;
        }
        else
        {
            high = bigH + rHi;
            extra = rLo;
        }
        const double z = r * r;
        const double a =
            (D(0x3FC24998090DC54Aull) * z + D(0x3FC9999998867A5Eull)) * z + D(0x3FD55555555555A9ull);
        const double b =
            (D(0xBFC555C54DD57D7Cull) * z + D(0xBFCFFFFFFF201E11ull)) * z + D(0xBFE000000000001Bull);
        const double p = z * (a * r + b);
        return ((p + bigL) + extra) + high;
    }

    // The screen on the high word: sign set gives NaN (code 4), a zero high word -infinity (code
    // 2), the top exponent +infinity or the default quiet NaN; `out` gets the double result.
    static bool ScreenF64(double x, double* out, int32_t* code)
    {
        uint64_t bits;
        memcpy(&bits, &x, 8);
        const int32_t h = int32_t(bits >> 32);
        int32_t c = 0;
        if (h < 0)
        {
            *out = D(0xFFF8000000000000ull);
            c = 4;
        }
        else if (h == 0)
        {
            *out = D(0xFFF0000000000000ull);
            c = 2;
        }
        else if (h >= 0x7FF00000)
        {
            *out = bits == 0x7FF0000000000000ull ? x : D(0x7FF8000000000000ull);
        }
        else
        {
            return false;
        }
        if (*code == 0)
        {
            *code = c;
        }
        return true;
    }

    template <typename D2> static int32_t KernelF64(const double* src, D2* dst, int64_t n)
    {
        int32_t code = 0;
        for (int64_t i = 0; i < n; ++i)
        {
            double x;
            memcpy(&x, src + i, 8);
            double r;
            if (!ScreenF64(x, &r, &code))
            {
                r = LnF64(x);
            }
            if (sizeof(D2) == 4)
            {
                // The special floats are the same values; a computed result is rounded once.
                const float f = _mm_cvtss_f32(_mm_cvtsd_ss(_mm_setzero_ps(), _mm_set_sd(r)));
                memcpy(dst + i, &f, 4);
            }
            else
            {
                memcpy(dst + i, &r, 8);
            }
        }
        return code;
    }
};
