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

// |H(f)| in dB, f in cycles per sample of the taps' own rate, scaled by 1/gain.
double ResponseDb(const std::vector<double>& taps, double f, double gain)
{
    std::complex<double> sum = 0;
    for (size_t n = 0; n < taps.size(); n++)
        sum += taps[n] * std::polar(1.0, -2 * M_PI * f * double(n));
    return 20 * std::log10(std::abs(sum) / gain + 1e-300);
}

// The worst response over [from, to], on a fine grid.
double WorstDb(const std::vector<double>& taps, double from, double to, double gain, bool lowest)
{
    double worst = lowest ? 1e9 : -1e9;
    for (int k = 0; k <= 2000; k++)
    {
        const double db = ResponseDb(taps, from + (to - from) * k / 2000, gain);
        worst = lowest ? std::min(worst, db) : std::max(worst, db);
    }
    return worst;
}

TEST(SrcStageTables, IntegerStepsAreSymmetricLowPassesSummingTo1001)
{
    struct Case
    {
        const float* Taps;
        int Count;
        double LowNyquist; // of the low rate, in cycles per sample of the high rate
    } cases[] = {{g_SrcTaps2x, 66, 0.25}, {g_SrcTaps4x, 132, 0.125}};
    for (const Case& c : cases)
    {
        std::vector<double> taps(c.Taps, c.Taps + c.Count);
        double sum = 0;
        for (int n = 0; n < c.Count; n++)
        {
            EXPECT_EQ(c.Taps[n], c.Taps[c.Count - 1 - n]) << c.Count << " taps, tap " << n;
            sum += taps[n];
        }
        EXPECT_NEAR(sum, 1.001, 1e-6) << c.Count;
        EXPECT_GT(WorstDb(taps, 0, 0.75 * c.LowNyquist, 1.001, true), -0.05) << "pass band of " << c.Count;
        EXPECT_LT(WorstDb(taps, 1.1 * c.LowNyquist, 0.5, 1.001, false), -70) << "stop band of " << c.Count;
    }
}

TEST(SrcStageTables, FractionalRowsArePolyphaseBranchesSummingTo1)
{
    struct Case
    {
        const float* Rows;
        int Phases, Taps;
        double PassTo, StopFrom; // in cycles per input sample
    } cases[] = {
        {&g_SrcFractionalUpTaps[0][0], 160, 20, 0.3, 0.5},           // images of a 0.5 band
        {&g_SrcFractionalDownTaps[0][0], 147, 24, 0.3, 147 / 320.0}, // the output's Nyquist
    };
    for (const Case& c : cases)
    {
        std::vector<double> prototype(size_t(c.Phases) * c.Taps);
        for (int r = 0; r < c.Phases; r++)
        {
            double sum = 0;
            for (int k = 0; k < c.Taps; k++)
            {
                sum += c.Rows[r * c.Taps + k];
                prototype[size_t(r) + size_t(k) * c.Phases] = c.Rows[r * c.Taps + k];
            }
            EXPECT_NEAR(sum, 1.0, 1e-6) << c.Phases << " rows, row " << r;
        }
        // Interleaved, the rows are one low-pass at Phases times the input rate with gain Phases.
        const double gain = c.Phases;
        EXPECT_GT(WorstDb(prototype, 0, c.PassTo / c.Phases, gain, true), -1.0) << c.Phases;
        EXPECT_LT(WorstDb(prototype, c.StopFrom / c.Phases, 0.5, gain, false), -55) << c.Phases;
    }
}

} // namespace
