// Writes the headphone virtualiser's impulse responses (driver/dsp/headphone_fir_tables.h) as a
// C++ source. They are synthetic, designed here in double precision from a spherical-head
// model: each ear hears a speaker as a band-limited arrival (the far ear later by the head's
// time difference and weaker) followed by early reflections, then a reverberant tail common to
// all speakers; the crosstalk filters invert the head's cross path for a speaker pair. Every
// build writes the same bytes (one fixed generator, no clock, no platform randomness).
//
//   virtualizer_tables_gen OUT.cpp
#include "driver/dsp/headphone_fir_tables.h"

#include "tools/gen/gen_output.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace
{

constexpr double kRate = 44100.0;
constexpr double kHeadRadiusM = 0.0875;
constexpr double kSoundMps = 343.0;

// A small deterministic generator (64-bit LCG, top bits), uniform in [-1, 1).
struct Lcg
{
    uint64_t State;
    explicit Lcg(uint64_t seed) : State(seed * 6364136223846793005ull + 1442695040888963407ull) {}
    double Next()
    {
        State = State * 6364136223846793005ull + 1442695040888963407ull;
        return double(State >> 11) / double(1ull << 52) - 1.0;
    }
};

// The far ear's extra delay for a speaker at Degrees off the median plane (spherical head).
int InterauralSamples(int degrees)
{
    const double theta = degrees * M_PI / 180.0;
    return int(std::lround(kRate * kHeadRadiusM / kSoundMps * (std::sin(theta) + theta)));
}

// One ear's response: the arrival at Peak (value PeakValue, its neighbours at 0.35 of it) and
// decaying reflections from 12 samples after it, scaled so the whole response has Energy.
// Reflections are held below 0.9 of the arrival, so the arrival stays the largest sample; the
// scale that meets the energy with that limit in place is found by bisection.
std::vector<double> EarResponse(int peak, double peakValue, double energy, double decaySamples, uint64_t seed)
{
    Lcg rng(seed);
    std::vector<double> reflections(HEADPHONE_HEAD_LENGTH, 0.0);
    for (int n = peak + 12; n < HEADPHONE_HEAD_LENGTH; n++)
        reflections[n] = rng.Next() * std::exp(-(n - peak - 12) / decaySamples);
    const double limit = 0.9 * std::fabs(peakValue);
    auto build = [&](double scale)
    {
        std::vector<double> h(HEADPHONE_HEAD_LENGTH, 0.0);
        for (int n = 0; n < HEADPHONE_HEAD_LENGTH; n++)
            h[n] = std::max(-limit, std::min(limit, reflections[n] * scale));
        h[peak] = peakValue;
        h[peak - 1] = h[peak + 1] = 0.35 * peakValue;
        return h;
    };
    auto energyOf = [](const std::vector<double>& h)
    {
        double e = 0.0;
        for (double v : h)
            e += v * v;
        return e;
    };
    double low = 0.0, high = 1.0;
    while (energyOf(build(high)) < energy && high < 1e6)
        high *= 2.0;
    for (int i = 0; i < 100; i++)
    {
        const double mid = 0.5 * (low + high);
        (energyOf(build(mid)) < energy ? low : high) = mid;
    }
    return build(0.5 * (low + high));
}

// The five distinct responses of a table (the head is symmetric, so the right speakers mirror
// the left ones). Room 1 at 29 degrees is the reference the others are scaled from: the near
// front ear peaks at sample 8 with -0.2221 and energy 0.1825, the far one 11 samples later with
// -0.0431 and 0.0147; the centre peaks at 8 with -0.1837; the near surround ear at 9 with 0.2302.
struct EarSet
{
    std::vector<double> FrontNear, FrontFar, Centre, SurroundNear, SurroundFar;
};

EarSet Ears(int room, int degrees)
{
    const double spread = (degrees - 29) / 11.0; // -0.45 .. 1
    const double decay = 150.0 * room;           // larger rooms reflect longer
    const double roomEnergy = 1.0 + 0.15 * (room - 1);
    const int itd = InterauralSamples(degrees);
    const uint64_t seed = uint64_t(room * 100 + degrees) * 16;
    EarSet e;
    e.FrontNear = EarResponse(8, -0.2221 * (1.0 + 0.03 * spread), 0.1825 * roomEnergy * (1.0 + 0.06 * spread),
                              decay, seed + 1);
    e.FrontFar = EarResponse(8 + itd, -0.0431 * (1.0 - 0.08 * spread),
                             0.0147 * roomEnergy * (1.0 - 0.15 * spread), decay, seed + 2);
    e.Centre = EarResponse(8, -0.1837, 0.1400 * roomEnergy, decay, seed + 3);
    e.SurroundNear = EarResponse(9, 0.2302, 0.1900 * roomEnergy, decay, seed + 4);
    e.SurroundFar =
        EarResponse(9 + itd, 0.0452 * (1.0 - 0.08 * spread), 0.0160 * roomEnergy, decay, seed + 5);
    return e;
}

std::vector<double> HeadTable(int room, int degrees)
{
    const EarSet e = Ears(room, degrees);
    const std::vector<double>* rows[HEADPHONE_HEAD_ROWS] = {
        &e.FrontNear,   &e.FrontFar,  // front left: left ear near, right ear far
        &e.FrontFar,    &e.FrontNear, // front right
        &e.Centre,      &e.Centre,       &e.SurroundNear, &e.SurroundFar, // left surround
        &e.SurroundFar, &e.SurroundNear,                                  // right surround
    };
    std::vector<double> table;
    for (const std::vector<double>* row : rows)
        table.insert(table.end(), row->begin(), row->end());
    return table;
}

// The reverberant tail of one ear: decorrelated noise under an exponential envelope, at most
// 0.012 in magnitude, decaying by 60 dB over the room's reverberation time.
std::vector<double> Tail(int room, int set, int length)
{
    const double rt60Samples = kRate * (0.12 + 0.08 * room);
    std::vector<double> rows;
    for (int ear = 0; ear < HEADPHONE_TAIL_ROWS; ear++)
    {
        Lcg rng(uint64_t(1000 + room * 10 + set) * 2 + uint64_t(ear));
        for (int n = 0; n < length; n++)
            rows.push_back(0.012 * rng.Next() * std::pow(10.0, -3.0 * n / rt60Samples));
    }
    return rows;
}

// Crosstalk cancellation for a speaker pair at +-Degrees: the cross path is the direct one
// attenuated by g and late by tau, so the inverse is D = 1 / (1 - g^2 z^-2tau) and
// X = -g z^-tau D, regularised by 0.9 per round trip and centred at tap 115 (the filters look
// ahead by that much), both tapered to zero at the end of their 256 taps.
constexpr int kCtcCentre = 115;

void CtcPair(int degrees, std::vector<double>* direct, std::vector<double>* cross)
{
    const double g = 0.85 - 0.01 * degrees;
    const int tau = std::max(
        1, int(std::lround(kRate * kHeadRadiusM / kSoundMps * 2.0 * std::sin(degrees * M_PI / 180.0))));
    direct->assign(HEADPHONE_CTC_TAPS, 0.0);
    cross->assign(HEADPHONE_CTC_TAPS, 0.0);
    double weight = 1.0;
    for (int k = 0; kCtcCentre + 2 * k * tau < HEADPHONE_CTC_TAPS; k++)
    {
        (*direct)[kCtcCentre + 2 * k * tau] = weight;
        if (kCtcCentre + 2 * k * tau + tau < HEADPHONE_CTC_TAPS)
            (*cross)[kCtcCentre + 2 * k * tau + tau] = -g * weight;
        weight *= 0.9 * g * g;
    }
    for (int n = HEADPHONE_CTC_TAPS - 64; n < HEADPHONE_CTC_TAPS; n++)
    {
        const double taper = 0.5 * (1.0 + std::cos(M_PI * (n - (HEADPHONE_CTC_TAPS - 64)) / 64.0));
        (*direct)[n] *= taper;
        (*cross)[n] *= taper;
    }
}

void WriteFloats(FILE* out, const std::vector<double>& values)
{
    for (size_t k = 0; k < values.size(); k++)
        std::fprintf(out, "%s%af,%s", k % 8 == 0 ? "    " : " ",
                     float(values[k]) == 0.0f ? 0.0 : double(float(values[k])),
                     k % 8 == 7 || k + 1 == values.size() ? "\n" : "");
}

} // namespace

int main(int argc, char** argv)
{
    int failureExit = 0;
    FILE* out = OpenGeneratedSource(argc, argv, "tools/gen/virtualizer_tables_gen.cpp", &failureExit);
    if (!out)
    {
        return failureExit;
    }
    std::fprintf(out, "#include \"driver/dsp/headphone_fir_tables.h\"\n");
    for (int room = 1; room <= HEADPHONE_ROOMS; room++)
    {
        for (int degrees : kHeadphoneAngles)
        {
            std::fprintf(out, "\nstatic const float kHead%d_%d[%d] = {\n", room, degrees,
                         HEADPHONE_HEAD_ROWS * HEADPHONE_HEAD_LENGTH);
            WriteFloats(out, HeadTable(room, degrees));
            std::fprintf(out, "};\n");
        }
        for (int set = 0; set < HEADPHONE_TAIL_SETS; set++)
        {
            const int length = kHeadphoneTailLength[room - 1][set];
            std::fprintf(out, "\nstatic const float kTail%d_%d[%d] = {\n", room, set,
                         HEADPHONE_TAIL_ROWS * length);
            WriteFloats(out, Tail(room, set, length));
            std::fprintf(out, "};\n");
        }
    }
    std::fprintf(out, "\nconst float* const g_HeadphoneHeadTables[HEADPHONE_ROOMS][HEADPHONE_ANGLES] = {\n");
    for (int room = 1; room <= HEADPHONE_ROOMS; room++)
    {
        std::fprintf(out, "    {");
        for (int degrees : kHeadphoneAngles)
            std::fprintf(out, "kHead%d_%d, ", room, degrees);
        std::fprintf(out, "},\n");
    }
    std::fprintf(
        out, "};\n\nconst float* const g_HeadphoneTailTables[HEADPHONE_ROOMS][HEADPHONE_TAIL_SETS] = {\n");
    for (int room = 1; room <= HEADPHONE_ROOMS; room++)
        std::fprintf(out, "    {kTail%d_0, kTail%d_1, kTail%d_2},\n", room, room, room);
    std::fprintf(out,
                 "};\n\nconst float g_HeadphoneCtcPairs[HEADPHONE_CTC_ANGLES][2][HEADPHONE_CTC_TAPS] = {\n");
    for (int degrees : kHeadphoneCtcAngles)
    {
        std::vector<double> direct, cross;
        CtcPair(degrees, &direct, &cross);
        std::fprintf(out, "    {{\n");
        WriteFloats(out, direct);
        std::fprintf(out, "    }, {\n");
        WriteFloats(out, cross);
        std::fprintf(out, "    }},\n");
    }
    std::fprintf(out, "};\n");
    return CloseGeneratedSource(out);
}
