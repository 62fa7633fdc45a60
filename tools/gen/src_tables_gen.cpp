// Writes the conversion chain's filter taps (driver/dsp/src_stage_tables.h) as a C++ source.
// Every table is a Kaiser-windowed sinc low-pass designed in double precision; the output
// depends only on this program, so every build writes the same bytes.
//
//   src_tables_gen OUT.cpp
#include "driver/dsp/src_stage_tables.h"

#include "tools/gen/gen_output.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace
{

// Modified Bessel function of the first kind, order 0, by its power series: the terms fall
// fast enough for the window shapes used here (beta < 10) to converge well within 60 terms.
double BesselI0(double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 60; k++)
    {
        const double half = x / (2.0 * k);
        term *= half * half;
        sum += term;
    }
    return sum;
}

// A linear-phase low-pass of length taps, cutoff in cycles per sample of its own rate, with a
// Kaiser window of the given beta. Only the first half is computed; the second mirrors it, so
// the taps are exactly symmetric.
std::vector<double> LowPass(int taps, double cutoff, double beta)
{
    std::vector<double> h(taps);
    const double centre = (taps - 1) / 2.0;
    for (int n = 0; n < (taps + 1) / 2; n++)
    {
        const double t = n - centre;
        const double sinc = t == 0.0 ? 1.0 : std::sin(2.0 * M_PI * cutoff * t) / (2.0 * M_PI * cutoff * t);
        const double r = t / centre;
        const double window = BesselI0(beta * std::sqrt(1.0 - r * r)) / BesselI0(beta);
        h[n] = h[taps - 1 - n] = 2.0 * cutoff * sinc * window;
    }
    return h;
}

// The taps scaled to a DC gain of gain, rounded to float, first half mirrored onto the second.
std::vector<float> Scaled(const std::vector<double>& h, double gain)
{
    double sum = 0.0;
    for (double v : h)
        sum += v;
    std::vector<float> out(h.size());
    for (size_t n = 0; n < (h.size() + 1) / 2; n++)
        out[n] = out[h.size() - 1 - n] = float(h[n] * gain / sum);
    return out;
}

// Polyphase rows of a prototype at phases x the input rate: row r holds taps r, r + phases,
// r + 2 phases, ... so that output phase r reads the newest input with its first tap. Each
// row is normalised to unity gain on its own, which keeps DC free of a phase-periodic ripple.
std::vector<std::vector<float>> Polyphase(int phases, int taps, double cutoffPerInput, double beta)
{
    const std::vector<double> h = LowPass(phases * taps, cutoffPerInput / phases, beta);
    std::vector<std::vector<float>> rows(phases, std::vector<float>(taps));
    for (int r = 0; r < phases; r++)
    {
        double sum = 0.0;
        for (int k = 0; k < taps; k++)
            sum += h[r + k * phases];
        for (int k = 0; k < taps; k++)
            rows[r][k] = float(h[r + k * phases] / sum);
    }
    return rows;
}

void WriteRow(FILE* out, const std::vector<float>& row, const char* indent)
{
    for (size_t k = 0; k < row.size(); k++)
    {
        std::fprintf(out, "%s%.8ef,%s", k % 4 == 0 ? indent : " ", double(row[k]),
                     k % 4 == 3 || k + 1 == row.size() ? "\n" : "");
    }
}

void WriteTable(FILE* out, const char* declaration, const std::vector<float>& taps)
{
    std::fprintf(out, "\n%s = {\n", declaration);
    WriteRow(out, taps, "    ");
    std::fprintf(out, "};\n");
}

void WriteTable(FILE* out, const char* declaration, const std::vector<std::vector<float>>& rows)
{
    std::fprintf(out, "\n%s = {\n", declaration);
    for (const std::vector<float>& row : rows)
    {
        std::fprintf(out, "    {\n");
        WriteRow(out, row, "        ");
        std::fprintf(out, "    },\n");
    }
    std::fprintf(out, "};\n");
}

} // namespace

int main(int argc, char** argv)
{
    int failureExit = 0;
    FILE* out = OpenGeneratedSource(argc, argv, "tools/gen/src_tables_gen.cpp", &failureExit);
    if (!out)
    {
        return failureExit;
    }
    // Cutoffs in cycles per sample of the rate named. The integer steps cut at 0.9 of the low
    // rate's Nyquist frequency (0.225 and 0.1125 of the high rate); beta 7 gives about 70 dB in
    // the stop band. The 147:160 steps keep their 20 and 24 input samples per branch,
    // so their pass bands end lower: up cuts at 0.40 of the input rate (the images start at
    // 0.5), down at 0.38 (the output's Nyquist frequency is 0.459 of the input rate).
    const std::vector<float> taps2x = Scaled(LowPass(SRC_TAPS_2X, 0.225, 7.0), 1.001);
    const std::vector<float> taps4x = Scaled(LowPass(SRC_TAPS_4X, 0.1125, 7.0), 1.001);
    const auto up = Polyphase(SRC_FRACTIONAL_UP_PHASES, SRC_FRACTIONAL_UP_TAPS, 0.40, 5.65);
    const auto down = Polyphase(SRC_FRACTIONAL_DOWN_PHASES, SRC_FRACTIONAL_DOWN_TAPS, 0.38, 5.65);

    std::fprintf(out, "#include \"driver/dsp/src_stage_tables.h\"\n");
    WriteTable(out, "const float g_SrcTaps2x[SRC_TAPS_2X]", taps2x);
    WriteTable(out, "const float g_SrcTaps4x[SRC_TAPS_4X]", taps4x);
    WriteTable(out, "const float g_SrcFractionalUpTaps[SRC_FRACTIONAL_UP_PHASES][SRC_FRACTIONAL_UP_TAPS]",
               up);
    WriteTable(out,
               "const float g_SrcFractionalDownTaps[SRC_FRACTIONAL_DOWN_PHASES][SRC_FRACTIONAL_DOWN_TAPS]",
               down);
    return CloseGeneratedSource(out);
}
