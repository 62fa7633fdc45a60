// Helpers of the signal-primitive tests: buffers with guard zones at a chosen alignment, bit
// access to floats and ulp distances.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <cmath>
#include <vector>

// A buffer of `count` elements of T whose first element sits `offsetBytes` past a 64-byte
// boundary, between guard zones of a known pattern, so a write outside the buffer shows.
template <typename T> class GuardedBuffer
{
public:
    static constexpr size_t kGuardBytes = 64;
    static constexpr uint8_t kGuardByte = 0xA5;

    GuardedBuffer(size_t count, size_t offsetBytes)
        : m_count(count), m_storage(kGuardBytes * 3 + offsetBytes + count * sizeof(T), kGuardByte)
    {
        uint8_t* base = m_storage.data();
        const uintptr_t aligned = (reinterpret_cast<uintptr_t>(base) + kGuardBytes + 63) & ~uintptr_t(63);
        m_data = reinterpret_cast<T*>(aligned + offsetBytes);
    }

    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    GuardedBuffer(GuardedBuffer&&) noexcept = default; // the heap block, and m_data, stay put

    T* data() { return m_data; }
    T& operator[](size_t i) { return m_data[i]; }
    size_t size() const { return m_count; }

    // True when every byte outside [data, data + count) still holds the guard pattern.
    bool GuardsIntact() const
    {
        const uint8_t* begin = reinterpret_cast<const uint8_t*>(m_data);
        const uint8_t* end = begin + m_count * sizeof(T);
        for (const uint8_t* p = m_storage.data(); p < begin; ++p)
        {
            if (*p != kGuardByte)
                return false;
        }
        for (const uint8_t* p = end; p < m_storage.data() + m_storage.size(); ++p)
        {
            if (*p != kGuardByte)
                return false;
        }
        return true;
    }

private:
    size_t m_count;
    std::vector<uint8_t> m_storage;
    T* m_data;
};

// A guarded copy of `values` whose first byte sits `offsetBytes` past a 64-byte boundary, and
// its start as T: the level tests' way to put one input at every start offset.
template <typename T> struct GuardedCopy
{
    GuardedCopy(const std::vector<T>& values, size_t offsetBytes)
        : buffer(values.size() * sizeof(T), offsetBytes)
    {
        memcpy(buffer.data(), values.data(), values.size() * sizeof(T));
    }
    T* data() { return reinterpret_cast<T*>(buffer.data()); }
    GuardedBuffer<uint8_t> buffer;
};

inline uint32_t FloatBits(float f)
{
    uint32_t bits;
    memcpy(&bits, &f, sizeof(bits));
    return bits;
}

inline float BitsFloat(uint32_t bits)
{
    float f;
    memcpy(&f, &bits, sizeof(f));
    return f;
}

// Distance in units in the last place between two finite floats of any sign; equal infinities
// are 0 apart, anything else involving NaN or infinity is "far".
inline int64_t UlpDistance(float a, float b)
{
    if (std::isnan(a) || std::isnan(b))
    {
        return (std::isnan(a) && std::isnan(b)) ? 0 : INT64_MAX;
    }
    if (std::isinf(a) || std::isinf(b))
    {
        return a == b ? 0 : INT64_MAX;
    }
    auto ordered = [](float f)
    {
        const int64_t bits = FloatBits(f);
        return (bits & 0x80000000) ? -(bits & 0x7FFFFFFF) : bits;
    };
    const int64_t d = ordered(a) - ordered(b);
    return d < 0 ? -d : d;
}

// Deterministic pseudo-random numbers for sweeps (the seed goes into failure messages).
class TestRng
{
public:
    explicit TestRng(uint64_t seed) : m_state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    uint32_t Next32() { return static_cast<uint32_t>(Next() >> 32); }
    // Uniform in [lo, hi).
    double Uniform(double lo, double hi)
    {
        return lo + (hi - lo) * (static_cast<double>(Next() >> 11) / 9007199254740992.0);
    }

private:
    uint64_t m_state;
};
