// The move kernel of the level builds: bytes between buffers that may overlap, in the direction
// that the order of the two addresses gives (upward when the destination lies below the source,
// downward from the end when above), every piece loaded whole before it is stored, so
// overlapping ranges move correctly. Small moves and the edges of large ones go in pieces; the
// bulk of a large move goes in 32-byte blocks written with aligned 16-byte stores, their loads
// chosen by the source's alignment. Level 1 takes its pieces of 32 to 4 bytes largest first and
// its last bytes singly; levels 2 and 3 take one piece per set bit and move 64-byte blocks when
// both ends are 16-byte aligned. The byte count is 64-bit, so 2^30 or more elements move whole.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

void SpMoveI32Kernel_L1(const void* src, void* dst, uint64_t bytes);
void SpMoveI32Kernel_L2(const void* src, void* dst, uint64_t bytes);
void SpMoveI32Kernel_L3(const void* src, void* dst, uint64_t bytes);

template <class P> struct SpMoveKernels
{
    static constexpr bool kSetBits = P::kLevel >= 2;

    // The part still to move: [s, s + n) to [d, d + n). Upward pieces come off its start,
    // downward pieces off its end.
    struct Span
    {
        const uint8_t* s;
        uint8_t* d;
        uint64_t n;
    };

    template <unsigned K> static void Piece(const uint8_t* s, uint8_t* d)
    {
        if constexpr (K == 32)
        {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), a);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), b);
        }
        else if constexpr (K == 16)
        {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
        }
        else
        {
            uint8_t v[K];
            memcpy(v, s, K);
            memcpy(d, v, K);
        }
    }

    template <bool Up, unsigned K> static void Take(Span& m)
    {
        if (Up)
        {
            Piece<K>(m.s, m.d);
            m.s += K;
            m.d += K;
        }
        else
        {
            Piece<K>(m.s + m.n - K, m.d + m.n - K);
        }
        m.n -= K;
    }

    // Sixteen bytes: aligned, as 4-byte pieces at 4 modulo 8, else as 8-byte pieces.
    static __m128i Load16(const uint8_t* s)
    {
        const uintptr_t a = reinterpret_cast<uintptr_t>(s) % 16;
        if (a == 0)
            return _mm_load_si128(reinterpret_cast<const __m128i*>(s));
        if (a % 8 == 4)
        {
            uint32_t w[4];
            memcpy(w, s, 16);
            return _mm_setr_epi32(int32_t(w[0]), int32_t(w[1]), int32_t(w[2]), int32_t(w[3]));
        }
        return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s)),
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + 8)));
    }

    // Fewer than 64 bytes, by the bits of the count: upward 32 down to 1, downward 1 up to 32
    // (levels 2-3); level 1 takes 32, 16, 8, 4 largest first in either direction, then single
    // bytes.
    template <bool Up> static void Small(Span& m)
    {
        const uint64_t n = m.n;
        if (kSetBits && !Up)
        {
            if (n & 1)
                Take<Up, 1>(m);
            if (n & 2)
                Take<Up, 2>(m);
            if (n & 4)
                Take<Up, 4>(m);
            if (n & 8)
                Take<Up, 8>(m);
            if (n & 16)
                Take<Up, 16>(m);
            if (n & 32)
                Take<Up, 32>(m);
            return;
        }
        if (n & 32)
            Take<Up, 32>(m);
        Tail<Up>(m);
    }

    // The destination's moving edge (start upward, end downward) onto a 16-byte boundary.
    template <bool Up> static void AlignDestination(Span& m)
    {
        auto edge = [&m]() { return reinterpret_cast<uintptr_t>(Up ? m.d : m.d + m.n); };
        if (kSetBits)
        {
            if (edge() & 1)
                Take<Up, 1>(m);
            if (edge() & 2)
                Take<Up, 2>(m);
            if (edge() & 4)
                Take<Up, 4>(m);
            if (edge() & 8)
                Take<Up, 8>(m);
            return;
        }
        while (edge() % 4 != 0)
            Take<Up, 1>(m);
        if (edge() % 8 != 0)
            Take<Up, 4>(m);
        if (edge() % 16 != 0)
            Take<Up, 8>(m);
    }

    template <bool Up> static void Block32(Span& m)
    {
        const uint8_t* s = Up ? m.s : m.s + m.n - 32;
        uint8_t* d = Up ? m.d : m.d + m.n - 32;
        const __m128i a = Load16(s), b = Load16(s + 16);
        _mm_store_si128(reinterpret_cast<__m128i*>(d), a);
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 16), b);
        if (Up)
        {
            m.s += 32;
            m.d += 32;
        }
        m.n -= 32;
    }

    template <bool Up> static void Block64Aligned(Span& m)
    {
        const uint8_t* s = Up ? m.s : m.s + m.n - 64;
        uint8_t* d = Up ? m.d : m.d + m.n - 64;
        __m128i v[4];
        for (int k = 0; k < 4; ++k)
            v[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(s) + k);
        for (int k = 0; k < 4; ++k)
            _mm_store_si128(reinterpret_cast<__m128i*>(d) + k, v[k]);
        if (Up)
        {
            m.s += 64;
            m.d += 64;
        }
        m.n -= 64;
    }

    // The remainder below 32 after the blocks: 16, 8, 4, then 2 and 1 (levels 2-3) or single
    // bytes (level 1).
    template <bool Up> static void Tail(Span& m)
    {
        const uint64_t n = m.n;
        if (n & 16)
            Take<Up, 16>(m);
        if (n & 8)
            Take<Up, 8>(m);
        if (n & 4)
            Take<Up, 4>(m);
        if (kSetBits)
        {
            if (n & 2)
                Take<Up, 2>(m);
            if (n & 1)
                Take<Up, 1>(m);
        }
        while (m.n > 0)
            Take<Up, 1>(m);
    }

    template <bool Up> static void Run(Span m)
    {
        if (m.n < 64)
        {
            Small<Up>(m);
            return;
        }
        if (kSetBits && (reinterpret_cast<uintptr_t>(m.s) | reinterpret_cast<uintptr_t>(m.d)) % 16 == 0)
        {
            if (Up)
            {
                while (m.n >= 64)
                    Block64Aligned<Up>(m);
                Small<Up>(m);
            }
            else
            {
                // The odd bytes at the end first, then whole 64-byte blocks down to the start.
                const uint64_t whole = m.n & ~uint64_t(63);
                Span odd = {m.s + whole, m.d + whole, m.n - whole};
                Small<Up>(odd);
                m.n = whole;
                while (m.n >= 64)
                    Block64Aligned<Up>(m);
            }
            return;
        }
        AlignDestination<Up>(m);
        while (m.n >= 32)
            Block32<Up>(m);
        Tail<Up>(m);
    }

    static void Move(const void* src, void* dst, uint64_t bytes)
    {
        const auto* s = static_cast<const uint8_t*>(src);
        auto* d = static_cast<uint8_t*>(dst);
        if (d == s || bytes == 0)
            return;
        if (d < s)
            Run<true>({s, d, bytes});
        else
            Run<false>({s, d, bytes});
    }
};
