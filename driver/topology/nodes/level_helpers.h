// Level helpers: the table-driven power function with which level nodes turn levels in
// 1/65536 dB into linear gains once, when a level is set, rather than per buffer.
#pragma once

#include "ntddk.h"

// Rounds half away from zero; values beyond the 32-bit range saturate. Any IRQL.
LONG RoundToInt(double Value);

// base^x for base 2 (x rounded to a whole exponent 0 to 15; any other exponent gives 0.0) and
// base 10 (exponent in steps of 1/200, exact to the table at every whole power of ten); every
// other base, and a NaN exponent, gives 0.0. Any IRQL; allocates nothing.
double FastPow(double Base, double X);
float FastPowF(float Base, float X);

// The linear gain of a level in 1/65536 dB; 0x80000000 (silence) gives 0.0. Any IRQL.
float LevelToGain(LONG Level);

// Entry k = 2^k and entry k = 10^(k/200), each correctly rounded; exposed for the tests.
struct FastPowTable
{
    double Entry[201];
};
extern const double FastPowBase2Table[16];
extern const FastPowTable FastPowBase10Table;
