// The generated filter tables against the properties the stages rely on: symmetric low-passes
// summing to 1.001 for the integer steps, polyphase rows summing to 1 for the 147:160 step, and
// for each the pass and stop bands, from a DFT of the taps in double.
#include "driver/dsp/src_stage_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace
{

// The lowest (or highest) |H(f)| / gain in dB over [from, to], f in cycles per tap.
double WorstDb(const std::vector<double>& taps, double from, double to, double gain, bool lowest)
{
    double worst = lowest ? 1e9 : -1e9;
    for (int k = 0; k <= 2000; k++)
    {
        std::complex<double> sum = 0;
        for (size_t n = 0; n < taps.size(); n++)
            sum += taps[n] * std::polar(1.0, -2 * M_PI * (from + (to - from) * k / 2000) * double(n));
        const double db = 20 * std::log10(std::abs(sum) / gain + 1e-300);
        worst = lowest ? std::min(worst, db) : std::max(worst, db);
    }
    return worst;
}

// A table is Phases rows of Taps; interleaved (row r holds taps r, r + Phases, ...) the rows form
// one low-pass at Phases times the rate of the rows' inputs. Bands in cycles per such input: the
// high rate for the integer steps.
TEST(SrcStageTables, RowsSumAsStatedAndFormLowPasses)
{
    struct Case
    {
        const float* Rows;
        int Phases, Taps;
        double RowSum, PassTo, StopFrom, StopDb;
    } cases[] = {
        {g_SrcTaps2x, 1, 66, 1.001, 0.75 * 0.25, 1.1 * 0.25, -70},
        {g_SrcTaps4x, 1, 132, 1.001, 0.75 * 0.125, 1.1 * 0.125, -70},
        {&g_SrcFractionalUpTaps[0][0], 160, 20, 1.0, 0.3, 0.5, -55},           // images of a 0.5 band
        {&g_SrcFractionalDownTaps[0][0], 147, 24, 1.0, 0.3, 147 / 320.0, -55}, // the output's Nyquist
    };
    for (const Case& c : cases)
    {
        std::vector<double> prototype(size_t(c.Phases) * c.Taps);
        for (int r = 0; r < c.Phases; r++)
        {
            double sum = 0;
            for (int k = 0; k < c.Taps; k++)
                sum += prototype[size_t(r) + size_t(k) * c.Phases] = c.Rows[r * c.Taps + k];
            EXPECT_NEAR(sum, c.RowSum, 1e-6) << c.Taps << " taps, row " << r;
        }
        for (size_t n = 0; c.Phases == 1 && n < prototype.size(); n++)
            EXPECT_EQ(prototype[n], prototype[prototype.size() - 1 - n]) << c.Taps << " taps: symmetric";
        const double gain = c.Phases * c.RowSum;
        EXPECT_GT(WorstDb(prototype, 0, c.PassTo / c.Phases, gain, true), -0.05) << c.Taps;
        EXPECT_LT(WorstDb(prototype, c.StopFrom / c.Phases, 0.5, gain, false), c.StopDb) << c.Taps;
    }
}

} // namespace
