// Kernels of the absolute-value, square, flip, add, subtract and multiply families (add in place
// and multiply by a constant included) for the level builds, written once and instantiated by
// each level's build file. The destination decides the alignment; every element is loaded before its result
// is stored, so a destination that is the same buffer as a source is exact. Every path gives the same bits as
// the element-by-element formula: one IEEE operation per element, or a bit move.
#pragma once

#include <emmintrin.h>
#include <pmmintrin.h>
#include <stdint.h>
#include <string.h>
#include <tmmintrin.h>
#include <xmmintrin.h>

template <class P> struct SpArithKernels
{
    static bool Aligned16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) == 0; }

    // Element moves by bytes: a float vector may start off its 4-byte alignment.
    static float Get(const float* p)
    {
        float v;
        memcpy(&v, p, sizeof(v));
        return v;
    }
    static void Put(float* p, float v) { memcpy(p, &v, sizeof(v)); }

    // --- absolute value ------------------------------------------------------------------------------

    static __m128i Load(const void* p, int32_t mode)
    {
        const __m128i* v = static_cast<const __m128i*>(p);
        // 0: aligned; 1: plain unaligned; 2: the unaligned load that splits across cache lines.
        return mode == 0 ? _mm_load_si128(v) : mode == 1 ? _mm_loadu_si128(v) : _mm_lddqu_si128(v);
    }

    // One loop shape for every element type: single elements until dst is on a 16-byte
    // boundary (looking only at its address bits from the element size up to 8, so a dst that
    // is not element-aligned never gets there), blocks of `block` elements, then the tail in
    // halving steps. `vop` works on a 16-byte vector, `sop` on one element.
    template <class T, class VOp, class SOp>
    static void MapLoop(const T* src, T* dst, int32_t len, int32_t block, bool plainLoadAt8, VOp vop, SOp sop)
    {
        const uintptr_t headBits = 15u & ~uintptr_t(sizeof(T) - 1);
        int32_t n = len;
        while ((reinterpret_cast<uintptr_t>(dst) & headBits) != 0)
        {
            // Byte moves: a destination off its element alignment is allowed here.
            T x;
            memcpy(&x, src++, sizeof(T));
            x = sop(x);
            memcpy(dst++, &x, sizeof(T));
            if (--n == 0)
            {
                return;
            }
        }
        constexpr int32_t perVector = int32_t(16 / sizeof(T));
        const int32_t vectors = block / perVector;
        int32_t loadMode = 1;
        if (Aligned16(dst) && Aligned16(src))
        {
            loadMode = 0;
        }
        else if (Aligned16(dst))
        {
            loadMode = plainLoadAt8 && (reinterpret_cast<uintptr_t>(src) & 7) == 0 ? 1 : 2;
        }
        const bool alignedStore = Aligned16(dst);
        for (; n >= block; n -= block, src += block, dst += block)
        {
            __m128i r[4];
            for (int32_t k = 0; k < vectors; ++k)
            {
                r[k] = vop(Load(src + k * perVector, loadMode));
            }
            for (int32_t k = 0; k < vectors; ++k)
            {
                __m128i* out = reinterpret_cast<__m128i*>(dst + k * perVector);
                alignedStore ? _mm_store_si128(out, r[k]) : _mm_storeu_si128(out, r[k]);
            }
        }
        for (int32_t step = block / 2; step >= 1; step /= 2)
        {
            if (n < step)
            {
                continue;
            }
            if (step >= perVector)
            {
                __m128i r[4];
                for (int32_t k = 0; k < step / perVector; ++k)
                {
                    r[k] = vop(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k * perVector)));
                }
                for (int32_t k = 0; k < step / perVector; ++k)
                {
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k * perVector), r[k]);
                }
            }
            else
            {
                T r[8];
                memcpy(r, src, sizeof(T) * size_t(step));
                for (int32_t k = 0; k < step; ++k)
                {
                    r[k] = sop(r[k]);
                }
                memcpy(dst, r, sizeof(T) * size_t(step));
            }
            src += step;
            dst += step;
            n -= step;
        }
    }

    static void AbsF32(const float* src, float* dst, int32_t len)
    {
        const __m128i mask = _mm_set1_epi32(0x7FFFFFFF);
        MapLoop(
            reinterpret_cast<const uint32_t*>(src), reinterpret_cast<uint32_t*>(dst), len, 16, false,
            [mask](__m128i v) { return _mm_and_si128(v, mask); }, [](uint32_t x) { return x & 0x7FFFFFFFu; });
    }

    static void AbsF64(const double* src, double* dst, int32_t len)
    {
        const __m128i mask = _mm_set1_epi64x(0x7FFFFFFFFFFFFFFFll);
        MapLoop(
            reinterpret_cast<const uint64_t*>(src), reinterpret_cast<uint64_t*>(dst), len, 8, false,
            [mask](__m128i v) { return _mm_and_si128(v, mask); },
            [](uint64_t x) { return x & 0x7FFFFFFFFFFFFFFFull; });
    }

    // Integer absolute values saturate: the most negative value gives the most positive one.
    static int16_t AbsScalarI16(int16_t x) { return x == INT16_MIN ? INT16_MAX : int16_t(x < 0 ? -x : x); }
    static int32_t AbsScalarI32(int32_t x) { return x == INT32_MIN ? INT32_MAX : (x < 0 ? -x : x); }

    static void AbsI16(const int16_t* src, int16_t* dst, int32_t len)
    {
        MapLoop(
            src, dst, len, 16, true,
            [](__m128i v)
            {
                if constexpr (P::kLevel >= 2)
                {
                    return _mm_abs_epi16(_mm_max_epi16(v, _mm_set1_epi16(-32767)));
                }
                else
                {
                    const __m128i m = _mm_srai_epi16(v, 15);
                    return _mm_subs_epi16(_mm_xor_si128(v, m), m);
                }
            },
            AbsScalarI16);
    }

    static void AbsI32(const int32_t* src, int32_t* dst, int32_t len)
    {
        MapLoop(
            src, dst, len, 8, true,
            [](__m128i v)
            {
                if constexpr (P::kLevel >= 2)
                {
                    const __m128i a = _mm_abs_epi32(v);
                    return _mm_xor_si128(a, _mm_srai_epi32(a, 31));
                }
                else
                {
                    const __m128i m = _mm_srai_epi32(v, 31);
                    const __m128i isMin = _mm_cmpeq_epi32(v, _mm_set1_epi32(INT32_MIN));
                    return _mm_sub_epi32(_mm_xor_si128(v, m), _mm_xor_si128(m, isMin));
                }
            },
            AbsScalarI32);
    }

    // --- square --------------------------------------------------------------------------------------

    // Every path computes an element the same way: one rounded product, or for a complex
    // element re*re - im*im and re*im + re*im with every product rounded (no fused operation).
    struct Complex32
    {
        float re, im;
    };
    struct Complex64
    {
        double re, im;
    };
    template <class C> static C SqrComplex(C x)
    {
        const auto rr = x.re * x.re;
        const auto ii = x.im * x.im;
        const auto ri = x.re * x.im;
        return C{rr - ii, ri + ri};
    }

    static void SqrF32(const float* src, float* dst, int32_t len)
    {
        MapLoop(
            src, dst, len, 8, true,
            [](__m128i v)
            {
                const __m128 x = _mm_castsi128_ps(v);
                return _mm_castps_si128(_mm_mul_ps(x, x));
            },
            [](float x) { return x * x; });
    }

    static void SqrC32(const Complex32* src, Complex32* dst, int32_t len)
    {
        MapLoop(
            src, dst, len, 4, true,
            [](__m128i v)
            {
                const __m128 x = _mm_castsi128_ps(v);
                const __m128 re = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 0, 2, 0));
                const __m128 im = _mm_shuffle_ps(x, x, _MM_SHUFFLE(3, 1, 3, 1));
                const __m128 real = _mm_sub_ps(_mm_mul_ps(re, re), _mm_mul_ps(im, im));
                const __m128 ri = _mm_mul_ps(re, im);
                return _mm_castps_si128(_mm_unpacklo_ps(real, _mm_add_ps(ri, ri)));
            },
            SqrComplex<Complex32>);
    }

    static void SqrF64(const double* src, double* dst, int32_t len)
    {
        MapLoop(
            src, dst, len, 4, true,
            [](__m128i v)
            {
                const __m128d x = _mm_castsi128_pd(v);
                return _mm_castpd_si128(_mm_mul_pd(x, x));
            },
            [](double x) { return x * x; });
    }

    static void SqrC64(const Complex64* src, Complex64* dst, int32_t len)
    {
        MapLoop(
            src, dst, len, 2, true,
            [](__m128i v)
            {
                const __m128d x = _mm_castsi128_pd(v);
                const __m128d re = _mm_unpacklo_pd(x, x);
                const __m128d im = _mm_unpackhi_pd(x, x);
                const __m128d real = _mm_sub_pd(_mm_mul_pd(re, re), _mm_mul_pd(im, im));
                const __m128d ri = _mm_mul_pd(re, im);
                return _mm_castpd_si128(_mm_shuffle_pd(real, _mm_add_pd(ri, ri), 0));
            },
            SqrComplex<Complex64>);
    }

    // --- flip ----------------------------------------------------------------------------------------

    // Two neighbouring elements as one 8-byte group, exchanged inside it.
    static uint64_t Pair(const uint32_t* p)
    {
        uint64_t g;
        memcpy(&g, p, 8);
        return g << 32 | g >> 32;
    }

    // dst[i] = src[len-1-i]: dst filled forward while src is read backward from its end.
    static void Flip32(const uint32_t* src, uint32_t* dst, int32_t len)
    {
        const uint32_t* end = src + len;
        int32_t n = len;
        if (n >= 16 && Aligned16(dst))
        {
            const int32_t mode = Aligned16(end) ? 0 : 2;
            for (; n >= 16; n -= 16, end -= 16, dst += 16)
            {
                for (int32_t k = 0; k < 4; ++k)
                {
                    const __m128i v = Load(end - 4 * (k + 1), mode);
                    _mm_store_si128(reinterpret_cast<__m128i*>(dst + 4 * k), _mm_shuffle_epi32(v, 0x1B));
                }
            }
            if (n == 0)
            {
                return;
            }
        }
        else if ((reinterpret_cast<uintptr_t>(dst) & 7) == 4)
        {
            memcpy(dst++, --end, 4);
            if (--n == 0)
            {
                return;
            }
        }
        for (; n >= 8; n -= 8, end -= 8, dst += 8)
        {
            uint64_t g[4];
            for (int32_t k = 0; k < 4; ++k)
            {
                g[k] = Pair(end - 2 * (k + 1));
            }
            memcpy(dst, g, sizeof(g));
        }
        for (; n >= 2; n -= 2, end -= 2, dst += 2)
        {
            const uint64_t g = Pair(end - 2);
            memcpy(dst, &g, 8);
        }
        if (n == 1)
        {
            memcpy(dst, end - 1, 4);
        }
    }

    static void SwapElements(uint32_t* p, uint32_t* q, int32_t pairs)
    {
        for (int32_t i = 0; i < pairs; ++i)
        {
            // Byte moves: an in-place vector may start off its element alignment.
            uint32_t a, b;
            memcpy(&a, p + i, 4);
            memcpy(&b, q - 1 - i, 4);
            memcpy(p + i, &b, 4);
            memcpy(q - 1 - i, &a, 4);
        }
    }

    // Exchanges 8-byte groups (two elements each, reversed inside) between the ends.
    static void SwapGroups(uint32_t*& p, uint32_t*& q, int32_t& pairs)
    {
        for (; pairs >= 2; pairs -= 2, p += 2, q -= 2)
        {
            const uint64_t front = Pair(p);
            const uint64_t back = Pair(q - 2);
            memcpy(p, &back, 8);
            memcpy(q - 2, &front, 8);
        }
    }

    // Reverses in place: pairs (p[i], q[-1-i]) exchanged; an odd length keeps its middle.
    static void FlipInPlace32(uint32_t* p, int32_t len)
    {
        uint32_t* q = p + len;
        int32_t pairs = len / 2;
        if ((len & 1) != 0 || (reinterpret_cast<uintptr_t>(p) & 3) != 0 || pairs < 8)
        {
            SwapElements(p, q, pairs);
            return;
        }
        const uintptr_t a = (16 - (reinterpret_cast<uintptr_t>(p) & 15)) & 15;
        const uintptr_t b = reinterpret_cast<uintptr_t>(q) & 15;
        if (a == b)
        {
            // Both ends reach a 16-byte boundary together: whole vectors from each end.
            const int32_t lead = int32_t(b / 4);
            SwapElements(p, q, lead);
            p += lead;
            q -= lead;
            pairs -= lead;
            for (; pairs >= 8; pairs -= 8, p += 8, q -= 8)
            {
                __m128i* front = reinterpret_cast<__m128i*>(p);
                __m128i* back = reinterpret_cast<__m128i*>(q - 8);
                const __m128i f0 = _mm_load_si128(front), f1 = _mm_load_si128(front + 1);
                const __m128i b0 = _mm_load_si128(back), b1 = _mm_load_si128(back + 1);
                _mm_store_si128(front, _mm_shuffle_epi32(b1, 0x1B));
                _mm_store_si128(front + 1, _mm_shuffle_epi32(b0, 0x1B));
                _mm_store_si128(back, _mm_shuffle_epi32(f1, 0x1B));
                _mm_store_si128(back + 1, _mm_shuffle_epi32(f0, 0x1B));
            }
        }
        else if ((reinterpret_cast<uintptr_t>(p) & 7) == 4)
        {
            SwapElements(p, q, 1);
            ++p;
            --q;
            --pairs;
        }
        SwapGroups(p, q, pairs);
        SwapElements(p, q, pairs);
    }

    // --- add, subtract, multiply ---------------------------------------------------------------------

    struct AddOp
    {
        static constexpr bool kStream = true;
        static __m128 V(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
        static float S(float a, float b) { return a + b; }
    };
    struct SubOp
    {
        static constexpr bool kStream = true;
        static __m128 V(__m128 a, __m128 b) { return _mm_sub_ps(b, a); }
        static float S(float a, float b) { return b - a; }
    };
    struct MulOp
    {
        static constexpr bool kStream = false;
        static __m128 V(__m128 a, __m128 b) { return _mm_mul_ps(a, b); }
        static float S(float a, float b) { return a * b; }
    };

    // Above this many rounds of 8 the result is more than the caches hold: stream it out.
    static constexpr int32_t kStreamRounds = 10922;

    template <bool kAlignedA> static __m128 LoadPs(const float* p)
    {
        return kAlignedA ? _mm_load_ps(p) : _mm_loadu_ps(p);
    }

    // Rounds of 8 elements; the store is aligned, streaming or unaligned.
    template <class Op, bool kA, bool kB, int kStore>
    static void Rounds(const float* a, const float* b, float* dst, int32_t rounds)
    {
        for (int32_t r = 0; r < rounds; ++r, a += 8, b += 8, dst += 8)
        {
            const __m128 x0 = Op::V(LoadPs<kA>(a), LoadPs<kB>(b));
            const __m128 x1 = Op::V(LoadPs<kA>(a + 4), LoadPs<kB>(b + 4));
            if (kStore == 0)
            {
                _mm_store_ps(dst, x0);
                _mm_store_ps(dst + 4, x1);
            }
            else if (kStore == 1)
            {
                _mm_stream_ps(dst, x0);
                _mm_stream_ps(dst + 4, x1);
            }
            else
            {
                _mm_storeu_ps(dst, x0);
                _mm_storeu_ps(dst + 4, x1);
            }
        }
    }

    template <class Op, int kStore>
    static void RoundsAnyLoad(const float* a, const float* b, float* dst, int32_t rounds)
    {
        const bool alignedA = Aligned16(a), alignedB = Aligned16(b);
        if (alignedA && alignedB)
            Rounds<Op, true, true, kStore>(a, b, dst, rounds);
        else if (alignedA)
            Rounds<Op, true, false, kStore>(a, b, dst, rounds);
        else if (alignedB)
            Rounds<Op, false, true, kStore>(a, b, dst, rounds);
        else
            Rounds<Op, false, false, kStore>(a, b, dst, rounds);
    }

    template <class Op> static void Binary(const float* a, const float* b, float* dst, int32_t len, Op)
    {
        int32_t i = 0;
        if (len >= 11)
        {
            if ((reinterpret_cast<uintptr_t>(dst) & 3) != 0)
            {
                const int32_t rounds = len / 8;
                RoundsAnyLoad<Op, 2>(a, b, dst, rounds);
                i = rounds * 8;
            }
            else
            {
                for (; !Aligned16(dst + i); ++i)
                {
                    Put(dst + i, Op::S(Get(a + i), Get(b + i)));
                }
                const int32_t rounds = (len - i) / 8;
                if (Op::kStream && rounds > kStreamRounds)
                {
                    RoundsAnyLoad<Op, 1>(a + i, b + i, dst + i, rounds);
                    // Streaming stores are weakly ordered: make them visible before returning.
                    _mm_sfence();
                }
                else
                {
                    RoundsAnyLoad<Op, 0>(a + i, b + i, dst + i, rounds);
                }
                i += rounds * 8;
            }
        }
        for (; i < len; ++i)
        {
            Put(dst + i, Op::S(Get(a + i), Get(b + i)));
        }
    }

    // --- add in place, multiply by a constant ----------------------------------------------------------

    // From this many elements on, the peel to a 16-byte boundary (at most 3) still leaves one
    // whole block of 8.
    static constexpr int32_t kPeelMinimum = 11;
    // Multiply-in-place block parts longer than this (1 MiB of floats) prefetch past the caches.
    static constexpr int64_t kPrefetchNtaElements = 0x40000;
    // Multiply-by-constant runs of more blocks than this (512 KiB) stream their stores.
    static constexpr int32_t kStreamBlocks = 16384;

    static void PrefetchT0(const float* p)
    {
        _mm_prefetch(reinterpret_cast<const char*>(p) + 64, _MM_HINT_T0);
    }
    static void PrefetchNta(const float* p)
    {
        _mm_prefetch(reinterpret_cast<const char*>(p) + 64, _MM_HINT_NTA);
    }

    template <bool kAligned> static void StorePs(float* p, __m128 v)
    {
        kAligned ? _mm_store_ps(p, v) : _mm_storeu_ps(p, v);
    }

    // The shape of the in-place kernels: short vectors element by element; a vector off its
    // 4-byte alignment in unaligned blocks of 8 from its start; otherwise single elements up to
    // a 16-byte boundary, aligned blocks of 8, and the rest singly. `blocks(i, count, aligned)`
    // runs count blocks from element i.
    template <class Single, class Blocks>
    static void InPlaceShape(const float* srcDst, int32_t len, Single single, Blocks blocks)
    {
        int32_t i = 0;
        if (len >= kPeelMinimum)
        {
            const uintptr_t address = reinterpret_cast<uintptr_t>(srcDst);
            const bool elementAligned = (address & 3) == 0;
            const int32_t peel = elementAligned ? int32_t((4 - (address & 15) / 4) & 3) : 0;
            for (; i < peel; ++i)
            {
                single(i);
            }
            const int32_t count = (len - i) / 8;
            blocks(i, count, elementAligned);
            i += 8 * count;
        }
        for (; i < len; ++i)
        {
            single(i);
        }
    }

    // Level 1 issues the prefetch ahead of a block's arithmetic, the shared level-2/3 build after it.
    template <bool kAlignedDst, bool kAlignedSrc>
    static void AddBlocks(const float* src, float* srcDst, int32_t count)
    {
        for (int32_t b = 0; b < count; ++b, src += 8, srcDst += 8)
        {
            if constexpr (P::kLevel == 1)
            {
                PrefetchT0(src);
            }
            const __m128 x0 = _mm_add_ps(LoadPs<kAlignedDst>(srcDst), LoadPs<kAlignedSrc>(src));
            const __m128 x1 = _mm_add_ps(LoadPs<kAlignedDst>(srcDst + 4), LoadPs<kAlignedSrc>(src + 4));
            StorePs<kAlignedDst>(srcDst, x0);
            StorePs<kAlignedDst>(srcDst + 4, x1);
            if constexpr (P::kLevel != 1)
            {
                PrefetchT0(src);
            }
        }
    }

    // srcDst[i] += src[i]; every block prefetches the source 64 bytes ahead.
    static void AddInPlace(const float* src, float* srcDst, int32_t len)
    {
        InPlaceShape(
            srcDst, len, [=](int32_t i) { Put(srcDst + i, Get(srcDst + i) + Get(src + i)); },
            [=](int32_t i, int32_t count, bool aligned)
            {
                if (!aligned)
                    AddBlocks<false, false>(src + i, srcDst + i, count);
                else if (Aligned16(src + i))
                    AddBlocks<true, true>(src + i, srcDst + i, count);
                else
                    AddBlocks<true, false>(src + i, srcDst + i, count);
            });
    }

    template <bool kAligned, bool kPrefetch>
    static void MulConstInPlaceBlocks(__m128 v, float* srcDst, int32_t count)
    {
        for (int32_t b = 0; b < count; ++b, srcDst += 8)
        {
            if constexpr (kPrefetch && P::kLevel == 1)
            {
                PrefetchNta(srcDst);
            }
            const __m128 x0 = _mm_mul_ps(LoadPs<kAligned>(srcDst), v);
            const __m128 x1 = _mm_mul_ps(LoadPs<kAligned>(srcDst + 4), v);
            StorePs<kAligned>(srcDst, x0);
            StorePs<kAligned>(srcDst + 4, x1);
            if constexpr (kPrefetch && P::kLevel != 1)
            {
                PrefetchNta(srcDst);
            }
        }
    }

    // srcDst[i] *= value; a block part past 1 MiB prefetches ahead with the non-temporal hint, so
    // a vector that outgrows the caches does not evict everything else on its way through.
    static void MulConstInPlace(float value, float* srcDst, int32_t len)
    {
        const __m128 v = _mm_set1_ps(value);
        InPlaceShape(
            srcDst, len, [=](int32_t i) { Put(srcDst + i, Get(srcDst + i) * value); },
            [=](int32_t i, int32_t count, bool aligned)
            {
                const bool prefetch = 8 * int64_t(count) > kPrefetchNtaElements;
                if (aligned)
                    prefetch ? MulConstInPlaceBlocks<true, true>(v, srcDst + i, count)
                             : MulConstInPlaceBlocks<true, false>(v, srcDst + i, count);
                else
                    prefetch ? MulConstInPlaceBlocks<false, true>(v, srcDst + i, count)
                             : MulConstInPlaceBlocks<false, false>(v, srcDst + i, count);
            });
    }

    // kStore: 0 aligned, 1 streaming, 2 unaligned. Level 1 stores each product as it forms, the
    // shared level-2/3 build forms both first.
    template <bool kAlignedSrc, int kStore>
    static void MulConstBlocks(const float* src, __m128 v, float* dst, int32_t count)
    {
        auto store = [](float* p, __m128 x)
        {
            if (kStore == 0)
                _mm_store_ps(p, x);
            else if (kStore == 1)
                _mm_stream_ps(p, x);
            else
                _mm_storeu_ps(p, x);
        };
        for (int32_t b = 0; b < count; ++b, src += 8, dst += 8)
        {
            if constexpr (P::kLevel == 1)
            {
                store(dst, _mm_mul_ps(LoadPs<kAlignedSrc>(src), v));
                store(dst + 4, _mm_mul_ps(LoadPs<kAlignedSrc>(src + 4), v));
            }
            else
            {
                const __m128 x0 = _mm_mul_ps(LoadPs<kAlignedSrc>(src), v);
                const __m128 x1 = _mm_mul_ps(LoadPs<kAlignedSrc>(src + 4), v);
                store(dst, x0);
                store(dst + 4, x1);
            }
        }
    }

    // dst[i] = src[i] x value, src and dst the same buffer or apart. Once dst is on a 16-byte
    // boundary, a source out of step with it is read unaligned and written with streaming stores
    // whatever the length, an aligned one streams only past 512 KiB.
    static void MulConst(const float* src, float value, float* dst, int32_t len)
    {
        const __m128 v = _mm_set1_ps(value);
        int32_t i = 0;
        if (len >= kPeelMinimum)
        {
            if ((reinterpret_cast<uintptr_t>(dst) & 3) != 0)
            {
                const int32_t count = len / 8;
                Aligned16(src) ? MulConstBlocks<true, 2>(src, v, dst, count)
                               : MulConstBlocks<false, 2>(src, v, dst, count);
                i = 8 * count;
            }
            else
            {
                for (; !Aligned16(dst + i); ++i)
                {
                    Put(dst + i, Get(src + i) * value);
                }
                const int32_t count = (len - i) / 8;
                const bool alignedSrc = Aligned16(src + i);
                if (alignedSrc && count <= kStreamBlocks)
                {
                    MulConstBlocks<true, 0>(src + i, v, dst + i, count);
                }
                else
                {
                    alignedSrc ? MulConstBlocks<true, 1>(src + i, v, dst + i, count)
                               : MulConstBlocks<false, 1>(src + i, v, dst + i, count);
                    // Streaming stores are weakly ordered: make them visible before returning.
                    _mm_sfence();
                }
                i += 8 * count;
            }
        }
        for (; i < len; ++i)
        {
            Put(dst + i, Get(src + i) * value);
        }
    }

    static void MulInPlace(const float* src, float* srcDst, int32_t len)
    {
        int32_t i = 0;
        if (len >= 11)
        {
            const bool unalignedDst = (reinterpret_cast<uintptr_t>(srcDst) & 3) != 0;
            if (!unalignedDst)
            {
                for (; !Aligned16(srcDst + i); ++i)
                {
                    Put(srcDst + i, Get(srcDst + i) * Get(src + i));
                }
            }
            const bool alignedSrc = !unalignedDst && Aligned16(src + i);
            for (; i + 8 <= len; i += 8)
            {
                _mm_prefetch(reinterpret_cast<const char*>(src + i + 16), _MM_HINT_T0);
                const __m128 s0 = alignedSrc ? _mm_load_ps(src + i) : _mm_loadu_ps(src + i);
                const __m128 s1 = alignedSrc ? _mm_load_ps(src + i + 4) : _mm_loadu_ps(src + i + 4);
                if (unalignedDst)
                {
                    _mm_storeu_ps(srcDst + i, _mm_mul_ps(_mm_loadu_ps(srcDst + i), s0));
                    _mm_storeu_ps(srcDst + i + 4, _mm_mul_ps(_mm_loadu_ps(srcDst + i + 4), s1));
                }
                else
                {
                    _mm_store_ps(srcDst + i, _mm_mul_ps(_mm_load_ps(srcDst + i), s0));
                    _mm_store_ps(srcDst + i + 4, _mm_mul_ps(_mm_load_ps(srcDst + i + 4), s1));
                }
            }
        }
        for (; i < len; ++i)
        {
            Put(srcDst + i, Get(srcDst + i) * Get(src + i));
        }
    }
};
