// The scalar reference of the format conversions, written from the conversion rules (the
// factor by repeated halving or doubling, rounding by the C library), shared by the conversion
// tests and the level table.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <cmath>

#include "driver/primitives/vectors/sp_convert.h"

inline double RefFactorF64(int32_t scale)
{
    // Beyond +-1200 repeated halving or doubling has long reached 0 or +inf.
    const int32_t s = std::clamp(scale, -1200, 1200);
    double f = 1.0;
    for (int32_t i = 0; i < s; ++i)
        f *= 0.5;
    for (int32_t i = 0; i < -s; ++i)
        f *= 2.0;
    return f;
}

inline double RefRound(double y, int32_t rounding)
{
    if (rounding == SpRoundZero)
        return std::trunc(y);
    if (rounding == SpRoundNearestEven)
        return std::nearbyint(y); // default mode: ties to even
    return std::round(y);         // ties away from zero
}

inline bool IsAway(int32_t rounding)
{
    return rounding != SpRoundZero && rounding != SpRoundNearestEven;
}

inline int16_t RefF32ToI16(float x, int32_t rounding, int32_t scale)
{
    if (scale == 0 && IsAway(rounding))
    {
        if (std::isnan(x))
            return 0;
        if (x >= 32767.0f)
            return 32767;
        if (x <= -32768.0f)
            return -32768;
        const float sum = x + (x < 0 ? -0.5f : 0.5f); // the half added in single precision
        return static_cast<int16_t>(std::trunc(sum));
    }
    const double y = scale == 0 ? double(x) : double(x) * RefFactorF64(scale);
    if (std::isnan(y))
        return 0;
    if (y >= 32767.0)
        return 32767;
    if (y <= -32768.0)
        return -32768;
    return static_cast<int16_t>(RefRound(y, rounding));
}

inline int32_t RefF32ToI32(float x, int32_t rounding, int32_t scale)
{
    const double y = scale == 0 ? double(x) : double(x) * RefFactorF64(scale);
    if (std::isnan(y))
        return IsAway(rounding) ? INT32_MIN : 0;
    if (y >= 2147483648.0)
        return INT32_MAX;
    if (y <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(RefRound(y, rounding));
}

// Levels 1-3 round half away from zero in their own kernels: the value scaled in single
// precision by a factor held between 2^-149 and 2^127, the half added in single precision, and
// a NaN giving the bound the kernel applies (32767; the 32-bit kernel by the NaN's sign).
inline float RefAwayScaled(float x, int32_t scale)
{
    return scale == 0 ? x : float(double(x) * std::ldexp(1.0, -std::clamp(scale, -127, 149)));
}

inline int16_t RefF32ToI16At(int32_t level, float x, int32_t rounding, int32_t scale)
{
    if (level == 0 || !IsAway(rounding))
        return RefF32ToI16(x, rounding, scale);
    return std::isnan(x) ? int16_t(32767) : RefF32ToI16(RefAwayScaled(x, scale), rounding, 0);
}

inline int32_t RefF32ToI32At(int32_t level, float x, int32_t rounding, int32_t scale)
{
    if (level == 0 || !IsAway(rounding))
        return RefF32ToI32(x, rounding, scale);
    if (std::isnan(x))
        return std::signbit(x) ? INT32_MIN : INT32_MAX;
    return RefF32ToI32(RefAwayScaled(x, scale), rounding, 0);
}

inline int32_t RefF32ToI24(float x, int32_t scale)
{
    float y = x;
    if (scale != 0)
    {
        const int32_t s = std::clamp(scale, -127, 127);
        const float factor = s == 127 ? 0.0f : std::ldexp(1.0f, -s);
        y = x * factor;
    }
    if (std::isnan(y))
        return 0;
    if (y >= 8388607.0f)
        return 8388607;
    if (y <= -8388608.0f)
        return -8388608;
    return static_cast<int32_t>(std::nearbyint(double(y)));
}

inline float RefI16ToF32(int16_t v, int32_t scale)
{
    return static_cast<float>(std::ldexp(double(v), -std::clamp(scale, -112, 126)));
}

inline float RefI32ToF32Scaled(int32_t v, int32_t scale)
{
    return static_cast<float>(std::ldexp(double(static_cast<float>(v)), -std::clamp(scale, -96, 126)));
}
