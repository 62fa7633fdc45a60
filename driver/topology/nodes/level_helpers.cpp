// FastPow and its tables. The base-10 table is computed by the compiler in quadruple precision
// (series for ln 10 and exp), so each entry is the correctly rounded double and no table of
// digits is typed by hand.
#include "driver/topology/nodes/level_helpers.h"

namespace
{

typedef __float128 QUAD;

constexpr ULONG BASE10_STEPS = 200;
// Beyond these exponents the result has left the double range either way.
constexpr double BASE10_MAX_EXPONENT = 400.0;

constexpr QUAD QuadAtanh(QUAD X)
{
    QUAD square = X * X;
    QUAD term = X;
    QUAD sum = 0;
    for (int n = 1; n < 240; n += 2)
    {
        sum += term / n;
        term *= square;
    }
    return sum;
}

// ln 10 = 3 ln 2 + ln 1.25, with ln x = 2 atanh((x - 1) / (x + 1)).
constexpr QUAD QuadLn10()
{
    return 3 * (2 * QuadAtanh(QUAD(1) / 3)) + 2 * QuadAtanh(QUAD(1) / 9);
}

constexpr QUAD QuadExp(QUAD X)
{
    QUAD sum = 1;
    QUAD term = 1;
    for (int n = 1; n < 80; n++)
    {
        term = term * X / n;
        sum += term;
    }
    return sum;
}

static_assert(RTL_NUMBER_OF(FastPowTable::Entry) == BASE10_STEPS + 1, "one entry per step and both ends");

constexpr FastPowTable MakeBase10Table()
{
    FastPowTable table = {};
    QUAD ln10 = QuadLn10();
    for (ULONG k = 0; k <= BASE10_STEPS; k++)
    {
        table.Entry[k] = double(QuadExp(ln10 * k / BASE10_STEPS));
    }
    return table;
}

double Base10Pow(double X)
{
    if (X > BASE10_MAX_EXPONENT)
    {
        X = BASE10_MAX_EXPONENT;
    }
    else if (X < -BASE10_MAX_EXPONENT)
    {
        return 0.0;
    }
    LONG whole = LONG(X);
    double fraction = X - whole;
    double value;
    if (X >= 0.0)
    {
        value = FastPowBase10Table.Entry[RoundToInt(fraction * BASE10_STEPS)];
        for (LONG i = 0; i < whole; i++)
        {
            value *= 10.0;
        }
    }
    else
    {
        value = FastPowBase10Table.Entry[RoundToInt((fraction + 1.0) * BASE10_STEPS)];
        for (LONG i = 0; i < 1 - whole; i++)
        {
            value /= 10.0;
        }
    }
    return value;
}

} // namespace

const double FastPowBase2Table[16] = {1.0,   2.0,   4.0,    8.0,    16.0,   32.0,   64.0,    128.0,
                                      256.0, 512.0, 1024.0, 2048.0, 4096.0, 8192.0, 16384.0, 32768.0};

constexpr FastPowTable FastPowBase10Table = MakeBase10Table();
static_assert(FastPowBase10Table.Entry[0] == 1.0 && FastPowBase10Table.Entry[BASE10_STEPS] == 10.0,
              "whole powers are exact");

LONG RoundToInt(double Value)
{
    if (Value >= 2147483647.0)
    {
        return MAXLONG;
    }
    if (Value <= -2147483648.0)
    {
        return -MAXLONG - 1;
    }
    return Value >= 0.0 ? LONG(Value + 0.5) : LONG(Value - 0.5);
}

double FastPow(double Base, double X)
{
    if (X != X)
    {
        return 0.0;
    }
    if (Base == 2.0)
    {
        LONG exponent = RoundToInt(X);
        return exponent >= 0 && exponent < LONG(RTL_NUMBER_OF(FastPowBase2Table))
                   ? FastPowBase2Table[exponent]
                   : 0.0;
    }
    if (Base == 10.0)
    {
        return Base10Pow(X);
    }
    return 0.0;
}

float FastPowF(float Base, float X)
{
    return float(FastPow(double(Base), double(X)));
}

// In single precision up to the call, as the gains have always been computed.
float LevelToGain(LONG Level)
{
    float exponent = float(Level) * 1.5258789e-5f / 20.0f;
    return FastPowF(10.0f, exponent);
}
