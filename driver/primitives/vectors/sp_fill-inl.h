// Fill kernels of the level builds for 2-, 4-, 8- and 16-byte elements, written once and
// instantiated by each level's build file. Head and tail use overlapping unaligned stores of the
// same pattern instead of element loops; fills of more than 1 MiB that are also larger than the
// last-level cache bypass it with non-temporal stores and end with a store fence.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/dispatch/sp_cpu_level.h"

template <class P> struct SpFillKernels
{
    // Rows {descriptor byte of CPUID leaf 2, size code}, larger caches first, ended by a zero
    // descriptor. Size = (code >> 4) << ((code & 15) + 18) bytes.
    static constexpr uint8_t SpCacheSizeTable[][2] = {
        {0x4D, 0x16}, {0x4C, 0x34}, {0x4B, 0x15}, {0x47, 0x15}, {0x4E, 0x33}, {0x4A, 0x33},
        {0x49, 0x14}, {0x29, 0x14}, {0x46, 0x14}, {0x48, 0x32}, {0x25, 0x13}, {0x7D, 0x13},
        {0x85, 0x13}, {0x45, 0x13}, {0x23, 0x12}, {0x87, 0x12}, {0x7C, 0x12}, {0x78, 0x12},
        {0x84, 0x12}, {0x44, 0x12}, {0x22, 0x11}, {0x7B, 0x11}, {0x80, 0x11}, {0x86, 0x11},
        {0x3E, 0x11}, {0x7F, 0x11}, {0x83, 0x11}, {0x43, 0x11}, {0x00, 0x00}};
    static constexpr uint64_t kCacheUnknown = ~uint64_t(0);
    static constexpr uint64_t kLargeBytes = 1u << 20;

    // The last-level cache size named by the CPUID leaf-2 descriptors, or kCacheUnknown: only
    // the recognised vendor's descriptors are trusted, and only when one query returns them all.
    static uint64_t SpQueryCacheSize()
    {
        if (!SpIsGenuineIntel())
        {
            return kCacheUnknown;
        }
        uint32_t regs[4];
        SpCpuId(regs, 2, 0);
        if ((regs[0] & 0xFF) != 1)
        {
            return kCacheUnknown;
        }
        uint8_t descriptors[16];
        int32_t count = 0;
        for (int32_t r = 0; r < 4; ++r)
        {
            if (regs[r] & 0x80000000u)
            {
                continue;
            }
            for (int32_t b = r == 0 ? 1 : 0; b < 4; ++b)
            {
                descriptors[count++] = uint8_t(regs[r] >> (8 * b));
            }
        }
        for (int32_t row = 0; SpCacheSizeTable[row][0] != 0; ++row)
        {
            for (int32_t i = 0; i < count; ++i)
            {
                if (descriptors[i] == SpCacheSizeTable[row][0])
                {
                    const uint32_t code = SpCacheSizeTable[row][1];
                    return uint64_t(code >> 4) << ((code & 15) + 18);
                }
            }
        }
        return kCacheUnknown;
    }

    static void Store(uint8_t* p, const void* pattern, size_t bytes) { memcpy(p, pattern, bytes); }

    static __m128i Rotate(__m128i v, int32_t width)
    {
        // Exchanges the two halves of every element of the given width.
        return width == 4 ? _mm_or_si128(_mm_srli_epi32(v, 16), _mm_slli_epi32(v, 16))
                          : _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1));
    }

    // Steps 3 to 5 of the small path: dst on a 16-byte boundary, 0 < bytes.
    static void AlignedBody(uint8_t* dst, uint64_t bytes, __m128i v, int32_t width)
    {
        for (; bytes >= 64; bytes -= 64, dst += 64)
        {
            _mm_store_si128(reinterpret_cast<__m128i*>(dst), v);
            _mm_store_si128(reinterpret_cast<__m128i*>(dst + 16), v);
            _mm_store_si128(reinterpret_cast<__m128i*>(dst + 32), v);
            _mm_store_si128(reinterpret_cast<__m128i*>(dst + 48), v);
        }
        for (; bytes >= 16; bytes -= 16, dst += 16)
        {
            _mm_store_si128(reinterpret_cast<__m128i*>(dst), v);
        }
        Tail(dst, bytes, v, width);
    }

    // Fewer than 16 bytes, a whole number of elements, stored in at most two overlapping moves.
    static void Tail(uint8_t* dst, uint64_t bytes, __m128i v, int32_t width)
    {
        if (bytes == 0)
        {
            return;
        }
        uint8_t pattern[16];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pattern), v);
        if (bytes >= 8)
        {
            if (bytes > 8)
            {
                Store(dst, pattern, 8);
            }
            Store(dst + bytes - 8, pattern, 8);
        }
        else if (bytes >= 4)
        {
            if (bytes > 4)
            {
                Store(dst, pattern, 4);
            }
            Store(dst + bytes - 4, pattern, 4);
        }
        else
        {
            (void)width;
            Store(dst, pattern, bytes);
        }
    }

    static void SmallPath(uint8_t* dst, uint64_t bytes, __m128i v, int32_t width)
    {
        if (bytes < 16)
        {
            Tail(dst, bytes, v, width);
            return;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
        const uint64_t advance = 16 - (reinterpret_cast<uintptr_t>(dst) & 15);
        dst += advance;
        bytes -= advance;
        if (bytes != 0)
        {
            AlignedBody(dst, bytes, v, width);
        }
    }

    static void LargePath(uint8_t* dst, uint64_t count, __m128i v, int32_t width)
    {
        uint8_t pattern[16];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pattern), v);
        while ((reinterpret_cast<uintptr_t>(dst) & 15) != 0)
        {
            Store(dst, pattern, size_t(width));
            dst += width;
            if (--count == 0)
            {
                return;
            }
        }
        const uint64_t cache = SpQueryCacheSize();
        if (cache != kCacheUnknown && count > cache / uint64_t(width))
        {
            const uint64_t perStore = 16 / uint64_t(width);
            for (; count >= perStore; count -= perStore, dst += 16)
            {
                _mm_stream_si128(reinterpret_cast<__m128i*>(dst), v);
            }
            _mm_sfence();
            Tail(dst, count * uint64_t(width), v, width);
            return;
        }
        AlignedBody(dst, count * uint64_t(width), v, width);
    }

    // 2-, 4- and 8-byte elements: `v` holds the value replicated over 16 bytes.
    static void FillNarrow(uint8_t* dst, uint64_t count, __m128i v, int32_t width)
    {
        const uintptr_t misalign = reinterpret_cast<uintptr_t>(dst) & uintptr_t(width - 1);
        if (misalign != 0 && (width == 2 || (misalign & 1) != 0 || (width == 8 && (misalign & 3) != 0)))
        {
            // No 16-byte boundary is reachable in whole elements: element by element.
            LargePath(dst, count, v, width);
            return;
        }
        if (misalign != 0)
        {
            // Half an element off: first and last elements in place, then whole units of the
            // pattern with its halves exchanged from the next element boundary.
            uint8_t pattern[16];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pattern), v);
            Store(dst, pattern, size_t(width));
            Store(dst + uint64_t(width) * (count - 1), pattern, size_t(width));
            v = Rotate(v, width);
            dst += width / 2;
            if (--count == 0)
            {
                return;
            }
        }
        if (count * uint64_t(width) > kLargeBytes)
        {
            LargePath(dst, count, v, width);
            return;
        }
        SmallPath(dst, count * uint64_t(width), v, width);
    }

    static void* Fill16(const uint16_t* pValue, void* dst, uint32_t count)
    {
        FillNarrow(static_cast<uint8_t*>(dst), count, _mm_set1_epi16(int16_t(*pValue)), 2);
        return dst;
    }

    static void* Fill32(const uint32_t* pValue, void* dst, uint32_t count)
    {
        FillNarrow(static_cast<uint8_t*>(dst), count, _mm_set1_epi32(int32_t(*pValue)), 4);
        return dst;
    }

    static void* Fill64(const uint64_t* pValue, void* dst, uint32_t count)
    {
        FillNarrow(static_cast<uint8_t*>(dst), count, _mm_set1_epi64x(int64_t(*pValue)), 8);
        return dst;
    }

    static void* Fill128(const void* pValue, void* dst, uint32_t count)
    {
        __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(pValue));
        uint8_t* p = static_cast<uint8_t*>(dst);
        uint64_t n = count;
        const uintptr_t misalign = reinterpret_cast<uintptr_t>(p) & 15;
        if (misalign != 0 && (misalign & 7) == 0)
        {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
            v = _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 16 * n - 8), v);
            p += 8;
            if (--n == 0)
            {
                return dst;
            }
        }
        else if (misalign != 0)
        {
            for (; n != 0; --n, p += 16)
            {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
            }
            return dst;
        }
        if (n > 65536)
        {
            const uint64_t cache = SpQueryCacheSize();
            if (cache != kCacheUnknown && n > cache / 16)
            {
                for (; n != 0; --n, p += 16)
                {
                    _mm_stream_si128(reinterpret_cast<__m128i*>(p), v);
                }
                _mm_sfence();
                return dst;
            }
        }
        for (; n >= 4; n -= 4, p += 64)
        {
            _mm_store_si128(reinterpret_cast<__m128i*>(p), v);
            _mm_store_si128(reinterpret_cast<__m128i*>(p + 16), v);
            _mm_store_si128(reinterpret_cast<__m128i*>(p + 32), v);
            _mm_store_si128(reinterpret_cast<__m128i*>(p + 48), v);
        }
        for (; n != 0; --n, p += 16)
        {
            _mm_store_si128(reinterpret_cast<__m128i*>(p), v);
        }
        return dst;
    }
};
