// Writes the tapped-delay effect's programmes (driver/dsp/tapped_delay_programmes.h) as a C++
// source. The delays, network gains and input filters are the effect's fixed design; the seven
// image filters and the output filters' direct taps are designed here, in double precision, so
// every build writes the same bytes.
//
//   delay_programmes_gen OUT.cpp
#include "driver/dsp/tapped_delay_programmes.h"

#include "tools/gen/gen_output.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace
{

struct FixedValues
{
    double LineTaps[DELAY_LINES][4]; // T of them used
    double InputFilter[DELAY_INPUT_FILTER_VALUES];
};

// Per rate, in the order of kDelayRateShapes.
const FixedValues kFixed[DELAY_PROGRAMME_COUNT] = {
    {{{0.380371, 0.380371}, {0.33606, 0.33606}, {0.350586, 0.350586}, {0.312256, 0.312256}},
     {0.490662, -0.981262, 0.490662, 0.981018, -0.481598}},
    {{{0.507263, 0.253601}, {0.448059, 0.22406}, {0.467407, 0.233704}, {0.416382, 0.208191}},
     {0.489838, -0.979614, 0.489838, 0.979248, -0.47998}},
    {{{0.629761, 0.144836, -0.013855},
      {0.556458, 0.127991, -0.012268},
      {0.580566, 0.133545, -0.012756},
      {0.517212, 0.118958, -0.011353}},
     {0.486023, -0.971893, 0.486023, 0.971283, -0.472626}},
    {{{0.227112, 0.204407, 0.227112, 0.102173},
      {0.200623, 0.180542, 0.200623, 0.090271},
      {0.20929, 0.188354, 0.20929, 0.094177},
      {0.186462, 0.167847, 0.186462, 0.083923}},
     {0.495316, -0.990616, 0.495316, 0.99054, -0.490692}},
    {{{0.237732, 0.22583, 0.237732, 0.059448},
      {0.209961, 0.199463, 0.209961, 0.05249},
      {0.219116, 0.208191, 0.219116, 0.05481},
      {0.19519, 0.185425, 0.19519, 0.048767}},
     {0.494904, -0.989792, 0.494904, 0.989716, -0.489899}},
};

const double kInputMix[DELAY_INPUT_MIX_VALUES] = {-0.551703, 0.618946, 0.551703, 0.618946,
                                                  0.565152,  0.329646, 0.565152, 0.329646};
const double kDirectGains[DELAY_DIRECT_GAINS] = {1.0,      1.0,      0.840663, 1.0,      0.840663, 0.820007,
                                                 0.820007, 0.909973, 1.0,      0.909973, 1.0};
const double kPairWeights[DELAY_PAIR_WEIGHTS] = {0.5, 0.5,  0.5, -0.5, 0.5, 0.5,
                                                 0.5, -0.5, 0.5, 0.5,  0.5, -0.5};
const double kLeftWeights[DELAY_FILTERS] = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
const double kRightWeights[DELAY_FILTERS] = {1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0};
const double kFeedback[DELAY_LINES][DELAY_LINES] = {{-0.152466, -0.100342, 0.298096, 0.93689},
                                                    {-0.905762, 0.21106, -0.367432, -0.007874},
                                                    {0.016296, 0.882202, 0.467712, -0.051697},
                                                    {-0.395081, -0.408752, 0.746582, -0.345642}};

// The image filters. Filter 1 shapes the centre, the others the sum (odd) and difference (even)
// of a channel pair. Each is an exponentially decaying burst with its largest tap first: the
// sum filters keep one sign (a low-pass colouring), the difference filters alternate (a
// high-pass one, which widens the image). The decay is fixed in time, 0.2 ms per e-fold, so
// every rate hears the same filter; the energy of each filter is its stated design value.
constexpr double kImageDecaySeconds = 0.0002;
const double kImageEnergy[DELAY_FILTERS] = {0.25, 0.5, 0.25, 0.35, 0.2, 0.35, 0.2};
const bool kImageAlternates[DELAY_FILTERS] = {false, false, true, false, true, false, true};

std::vector<double> ImageFilter(int filter, int taps, int rateHz)
{
    std::vector<double> h(taps);
    double energy = 0.0;
    for (int j = 1; j <= taps; j++)
    {
        // Tap j acts at a lag of 2j samples.
        const double lagSeconds = 2.0 * j / rateHz;
        const double sign = kImageAlternates[filter] && (j % 2 == 0) ? -1.0 : 1.0;
        h[j - 1] = sign * std::exp(-(lagSeconds - 2.0 / rateHz) / kImageDecaySeconds);
        energy += h[j - 1] * h[j - 1];
    }
    const double scale = std::sqrt(kImageEnergy[filter] / energy);
    for (double& v : h)
        v *= scale;
    return h;
}

// The output filter of each contributing signal: the network's sum at (0.5, 1, 0.5), the direct
// signals with the same shape at these gains, the centre at -3 dB since it reaches both sides.
const double kOutputShape[3] = {0.25, 0.5, 0.25};
const double kOutputGains[DELAY_OUTPUT_SIGNALS] = {2.0, 0.707107, 1.0, 0.707107, 0.707107};

std::vector<double> Programme(const DelayRateShape& shape, const FixedValues& fixed)
{
    std::vector<double> p;
    for (int k = 0; k < DELAY_LINES; k++)
    {
        p.push_back(shape.Delays[k]);
        for (int j = 0; j < shape.TapsPerLine; j++)
            p.push_back(fixed.LineTaps[k][j]);
    }
    p.insert(p.end(), kInputMix, kInputMix + DELAY_INPUT_MIX_VALUES);
    p.insert(p.end(), fixed.InputFilter, fixed.InputFilter + DELAY_INPUT_FILTER_VALUES);
    p.insert(p.end(), kDirectGains, kDirectGains + DELAY_DIRECT_GAINS);
    p.insert(p.end(), kPairWeights, kPairWeights + DELAY_PAIR_WEIGHTS);
    for (int k = 0; k < DELAY_FILTERS; k++)
    {
        p.push_back(shape.FilterTaps[k]);
        const std::vector<double> h = ImageFilter(k, shape.FilterTaps[k], shape.RateHz);
        p.insert(p.end(), h.begin(), h.end());
    }
    p.insert(p.end(), kLeftWeights, kLeftWeights + DELAY_FILTERS);
    p.insert(p.end(), kRightWeights, kRightWeights + DELAY_FILTERS);
    for (int side = 0; side < 2; side++)
    {
        for (int m = 0; m < DELAY_OUTPUT_SIGNALS; m++)
        {
            for (int t = 0; t < 3; t++)
                p.push_back(kOutputGains[m] * kOutputShape[t]);
        }
    }
    for (int k = 0; k < DELAY_LINES; k++)
    {
        p.insert(p.end(), kFeedback[k], kFeedback[k] + DELAY_LINES);
        if (k + 1 < DELAY_LINES)
            p.push_back(shape.Delays[k] + shape.TapsPerLine); // E_k
    }
    return p;
}

} // namespace

int main(int argc, char** argv)
{
    int failureExit = 0;
    FILE* out = OpenGeneratedSource(argc, argv, "tools/gen/delay_programmes_gen.cpp", &failureExit);
    if (!out)
    {
        return failureExit;
    }
    std::fprintf(out, "#include \"driver/dsp/tapped_delay_programmes.h\"\n");
    for (int i = 0; i < DELAY_PROGRAMME_COUNT; i++)
    {
        const DelayRateShape& shape = kDelayRateShapes[i];
        const std::vector<double> p = Programme(shape, kFixed[i]);
        if (int(p.size()) != DelayProgrammeFloats(shape) || DelayRingSlots(shape) != shape.RingSlots)
        {
            std::fprintf(stderr, "programme for %d Hz has the wrong shape\n", shape.RateHz);
            std::fclose(out);
            return 1;
        }
        std::fprintf(out, "\nstatic const float kProgramme%d[%d] = {\n", shape.RateHz, int(p.size()));
        for (size_t k = 0; k < p.size(); k++)
        {
            std::fprintf(out, "%s%.9ef,%s", k % 6 == 0 ? "    " : " ", p[k],
                         k % 6 == 5 || k + 1 == p.size() ? "\n" : "");
        }
        std::fprintf(out, "};\n");
    }
    std::fprintf(out, "\nconst float* const g_DelayProgrammes[DELAY_RATE_CODES] = {\n");
    for (int code = 0; code < DELAY_RATE_CODES; code++)
    {
        int rate = 0;
        for (const DelayRateShape& shape : kDelayRateShapes)
            rate = shape.RateCode == code ? shape.RateHz : rate;
        if (rate)
            std::fprintf(out, "    kProgramme%d,\n", rate);
        else
            std::fprintf(out, "    nullptr,\n");
    }
    std::fprintf(out, "};\n\nconst int32_t g_DelayRingSlots[DELAY_RATE_CODES] = {\n");
    for (int code = 0; code < DELAY_RATE_CODES; code++)
    {
        int slots = 0;
        for (const DelayRateShape& shape : kDelayRateShapes)
            slots = shape.RateCode == code ? shape.RingSlots : slots;
        std::fprintf(out, "    %d,\n", slots);
    }
    std::fprintf(out, "};\n");
    return CloseGeneratedSource(out);
}
