// Impulse responses of the headphone virtualiser at 44.1 kHz, written at build time by
// tools/gen/virtualizer_tables_gen.cpp: 27 head tables (one per room and speaker angle, ten
// responses of 1,024 samples each), 9 reverberant tails (two ears each) and the crosstalk
// cancellation filter pairs of five angles. This header fixes their shapes for the generator
// and the convolution alike.
//
// Plain integers only: the generator includes this header outside the driver's platform.
#pragma once

#include <stdint.h>

constexpr int32_t HEADPHONE_ROOMS = 3;
constexpr int32_t HEADPHONE_ANGLES = 9;
constexpr int32_t kHeadphoneAngles[HEADPHONE_ANGLES] = {24, 25, 29, 30, 31, 34, 35, 39, 40};

// Ten responses, in order: front left to the left and right ear, front right to left and right,
// centre to left and right, left surround to left and right, right surround to left and right.
constexpr int32_t HEADPHONE_HEAD_ROWS = 10;
constexpr int32_t HEADPHONE_HEAD_LENGTH = 1024;
constexpr int32_t HEADPHONE_TAIL_ROWS = 2; // left ear, right ear

// Within a room the angles 24 29 34 39 share a tail, 25 30 35 40 another, and 31 has its own.
constexpr int32_t HEADPHONE_TAIL_SETS = 3;
constexpr int32_t kHeadphoneTailLength[HEADPHONE_ROOMS][HEADPHONE_TAIL_SETS] = {
    {3072, 3072, 6144}, // room 1
    {3072, 5120, 6144}, // room 2
    {7168, 7168, 6144}, // room 3
};
constexpr int32_t HEADPHONE_TAIL_LENGTH_MAX = 7168;

constexpr int32_t HEADPHONE_CTC_ANGLES = 5;
constexpr int32_t kHeadphoneCtcAngles[HEADPHONE_CTC_ANGLES] = {5, 10, 15, 20, 30};
constexpr int32_t HEADPHONE_CTC_TAPS = 256;

// Index of an angle in kHeadphoneAngles, or -1.
constexpr int32_t HeadphoneAngleIndex(int32_t Degrees)
{
    for (int32_t i = 0; i < HEADPHONE_ANGLES; i++)
        if (kHeadphoneAngles[i] == Degrees)
            return i;
    return -1;
}

// The tail set of an angle: 0 for 24 29 34 39, 1 for 25 30 35 40, 2 for 31.
constexpr int32_t HeadphoneTailSet(int32_t Degrees)
{
    return Degrees == 31 ? 2 : (Degrees % 5 == 0 ? 1 : 0);
}

// [room - 1][angle index]: HEADPHONE_HEAD_ROWS x HEADPHONE_HEAD_LENGTH floats, row after row.
extern const float* const g_HeadphoneHeadTables[HEADPHONE_ROOMS][HEADPHONE_ANGLES];
// [room - 1][tail set]: HEADPHONE_TAIL_ROWS rows of that set's tail length.
extern const float* const g_HeadphoneTailTables[HEADPHONE_ROOMS][HEADPHONE_TAIL_SETS];
// [angle index]: the direct filter's taps, then the cross filter's.
extern const float g_HeadphoneCtcPairs[HEADPHONE_CTC_ANGLES][2][HEADPHONE_CTC_TAPS];
