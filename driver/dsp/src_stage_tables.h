// Filter taps of the conversion chain's rate stages. The values are written at build time by
// tools/gen/src_tables_gen.cpp into the build tree; this header fixes their shapes for both the
// generator and the stages, so a generator that disagrees fails to compile.
//
// Plain integers only: the generator includes this header outside the driver's platform.
#pragma once

#include <stdint.h>

// Symmetric low-passes at the high rate of a 2x and a 4x step, their taps summing to 1.001.
constexpr int32_t SRC_TAPS_2X = 66;
constexpr int32_t SRC_TAPS_4X = 132;

// Polyphase branches of the 147:160 step. Row r serves phase r; each row sums to 1.
constexpr int32_t SRC_FRACTIONAL_UP_PHASES = 160; // 44.1 kHz family -> 48 kHz family
constexpr int32_t SRC_FRACTIONAL_UP_TAPS = 20;
constexpr int32_t SRC_FRACTIONAL_DOWN_PHASES = 147; // 48 kHz family -> 44.1 kHz family
constexpr int32_t SRC_FRACTIONAL_DOWN_TAPS = 24;

extern const float g_SrcTaps2x[SRC_TAPS_2X];
extern const float g_SrcTaps4x[SRC_TAPS_4X];
extern const float g_SrcFractionalUpTaps[SRC_FRACTIONAL_UP_PHASES][SRC_FRACTIONAL_UP_TAPS];
extern const float g_SrcFractionalDownTaps[SRC_FRACTIONAL_DOWN_PHASES][SRC_FRACTIONAL_DOWN_TAPS];
