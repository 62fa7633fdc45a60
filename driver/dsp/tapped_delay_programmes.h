// Programmes of the tapped-delay effect: one read-only sequence of floats per sample rate,
// written at build time by tools/gen/delay_programmes_gen.cpp. This header fixes the shape the
// generator and the effect share (rate codes, delays, tap counts, section sizes), so a
// generator that disagrees with the effect fails to compile or its tests fail.
//
// Plain integers only: the generator includes this header outside the driver's platform.
#pragma once

#include <stdint.h>

// Rate codes index the two tables below; only five of the eighteen codes have a programme.
constexpr int32_t DELAY_RATE_CODES = 18;
constexpr int32_t DELAY_RATE_CODE_48000 = 0;
constexpr int32_t DELAY_RATE_CODE_44100 = 1; // also every rate without a programme of its own
constexpr int32_t DELAY_RATE_CODE_32000 = 2;
constexpr int32_t DELAY_RATE_CODE_96000 = 16;
constexpr int32_t DELAY_RATE_CODE_88200 = 17;

constexpr int32_t DELAY_LINES = 4;
constexpr int32_t DELAY_FILTERS = 7;
constexpr int32_t DELAY_OUTPUT_SIGNALS = 5;
constexpr int32_t DELAY_INPUT_MIX_VALUES = 8;
constexpr int32_t DELAY_INPUT_FILTER_VALUES = 5; // b0 b1 b2 c1 c2, at half scale
constexpr int32_t DELAY_DIRECT_GAINS = 11;
constexpr int32_t DELAY_PAIR_WEIGHTS = 12;
constexpr int32_t DELAY_OUTPUT_FILTER_VALUES = 3 * DELAY_OUTPUT_SIGNALS;
constexpr int32_t DELAY_INPUT_SECTION_SLOTS = 6;
// Left and right output filters share one slot: 11 + 11 - 1.
constexpr int32_t DELAY_OUTPUT_SLOTS = 2 * (2 * DELAY_OUTPUT_SIGNALS + 1) - 1;
constexpr int32_t DELAY_MAX_RING_SLOTS = 7155;

// The per-rate constants a programme is built from.
struct DelayRateShape
{
    int32_t RateHz;
    int32_t RateCode;
    int32_t RingSlots;
    int32_t TapsPerLine;               // T
    int32_t Delays[DELAY_LINES];       // D1..D4
    int32_t FilterTaps[DELAY_FILTERS]; // n1..n7
};

constexpr DelayRateShape kDelayRateShapes[] = {
    {48000, DELAY_RATE_CODE_48000, 3588, 2, {599, 871, 778, 1032}, {16, 16, 16, 20, 20, 18, 18}},
    {44100, DELAY_RATE_CODE_44100, 3307, 2, {550, 800, 715, 948}, {15, 15, 15, 19, 19, 17, 17}},
    {32000, DELAY_RATE_CODE_32000, 2408, 3, {399, 580, 518, 687}, {10, 10, 10, 13, 13, 12, 12}},
    {96000, DELAY_RATE_CODE_96000, 7155, 4, {1199, 1743, 1557, 2064}, {34, 34, 34, 42, 42, 38, 38}},
    {88200, DELAY_RATE_CODE_88200, 6595, 4, {1102, 1602, 1430, 1897}, {32, 32, 32, 40, 40, 36, 36}},
};
constexpr int32_t DELAY_PROGRAMME_COUNT = int32_t(sizeof(kDelayRateShapes) / sizeof(kDelayRateShapes[0]));

// The ring a shape needs: the delay lines with their taps, four input sections, the seven
// filters (an input slot and a tap every second slot) and the output filters.
constexpr int32_t DelayRingSlots(const DelayRateShape& Shape)
{
    int32_t slots =
        DELAY_LINES * Shape.TapsPerLine + DELAY_LINES * DELAY_INPUT_SECTION_SLOTS + DELAY_OUTPUT_SLOTS;
    for (int32_t k = 0; k < DELAY_LINES; k++)
        slots += Shape.Delays[k];
    for (int32_t k = 0; k < DELAY_FILTERS; k++)
        slots += 2 * Shape.FilterTaps[k] + 1;
    return slots;
}

// Floats in a programme of this shape, in programme order.
constexpr int32_t DelayProgrammeFloats(const DelayRateShape& Shape)
{
    int32_t floats = DELAY_LINES * (1 + Shape.TapsPerLine) + DELAY_INPUT_MIX_VALUES +
                     DELAY_INPUT_FILTER_VALUES + DELAY_DIRECT_GAINS + DELAY_PAIR_WEIGHTS + 2 * DELAY_FILTERS +
                     2 * DELAY_OUTPUT_FILTER_VALUES + DELAY_LINES * DELAY_LINES + (DELAY_LINES - 1);
    for (int32_t k = 0; k < DELAY_FILTERS; k++)
        floats += 1 + Shape.FilterTaps[k];
    return floats;
}

// Indexed by rate code; null and 0 where a code has no programme.
extern const float* const g_DelayProgrammes[DELAY_RATE_CODES];
extern const int32_t g_DelayRingSlots[DELAY_RATE_CODES];
