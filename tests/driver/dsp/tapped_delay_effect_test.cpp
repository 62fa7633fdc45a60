// CTappedDelayEffect against a double-precision model written from the effect's design with
// separate delay lines, filter histories and biquads (no shared ring), sample by sample over
// every programme and any chunking; plus silence, the 16-bit clamp, the first return of an
// impulse through the network, programme changes, and the generated programmes' properties.
#include "driver/dsp/tapped_delay_effect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace
{

const DelayRateShape& ShapeOfRate(int rateHz)
{
    for (const DelayRateShape& s : kDelayRateShapes)
        if (s.RateHz == rateHz)
            return s;
    return kDelayRateShapes[1]; // every other rate runs 44.1 kHz's
}

// A programme read in its stored order, independently of the effect's own walk.
struct Programme
{
    int T = 0;
    std::vector<int> D;
    std::vector<std::vector<double>> LineTaps, Filters, Feedback;
    std::vector<double> Mix, InputFilter, Direct, Pair, LeftW, RightW, LeftOut, RightOut;
    std::vector<int> E;

    explicit Programme(const DelayRateShape& shape)
    {
        const float* p = g_DelayProgrammes[shape.RateCode];
        T = shape.TapsPerLine;
        auto take = [&p](int n)
        {
            std::vector<double> v(p, p + n);
            p += n;
            return v;
        };
        for (int k = 0; k < 4; k++)
        {
            D.push_back(int(*p++));
            LineTaps.push_back(take(T));
        }
        Mix = take(8);
        InputFilter = take(5);
        Direct = take(11);
        Pair = take(12);
        for (int k = 0; k < 7; k++)
        {
            const int n = int(*p++);
            Filters.push_back(take(n));
        }
        LeftW = take(7);
        RightW = take(7);
        LeftOut = take(15);
        RightOut = take(15);
        for (int k = 0; k < 4; k++)
        {
            Feedback.push_back(take(4));
            if (k < 3)
                E.push_back(int(*p++));
        }
    }
};

// The network as designed: s_k reaches line k's tap j D_k + 1 + j samples after it is formed.
struct Model
{
    Programme P;
    int Channels;
    std::vector<std::vector<double>> S;          // feedback values per line, newest last
    std::vector<std::vector<double>> X, Y;       // biquad histories per section: [t-1, t-2]
    std::vector<std::vector<double>> F;          // filter inputs per filter, newest last
    std::vector<std::vector<double>> LSig, RSig; // output signals' [t-1, t-2]

    Model(int rateHz, int channels)
        : P(ShapeOfRate(rateHz)), Channels(channels), S(4), X(4, std::vector<double>(2)),
          Y(4, std::vector<double>(2)), F(7), LSig(5, std::vector<double>(2)), RSig(5, std::vector<double>(2))
    {
    }
    static double Past(const std::vector<double>& h, int lag) // lag >= 1
    {
        return int(h.size()) >= lag ? h[h.size() - lag] : 0.0;
    }
    static double Quantised(double y)
    {
        if (y >= 0.9999847412109375)
            y = 0.999969482421875;
        else if (y < -0.9999847412109375)
            y = -1.0;
        return std::floor(32768.0 * y + 0.5) / 32768.0;
    }
    void Step(const double* in, double* left, double* right)
    {
        double g[4];
        for (int k = 0; k < 4; k++)
        {
            g[k] = 0;
            for (int j = 0; j < P.T; j++)
                g[k] += P.LineTaps[k][j] * Past(S[k], P.D[k] + 1 + j);
        }
        double a = 0, b = 0, ce = 0, ls = 0, rs = 0, lb = 0, rb = 0;
        if (Channels == 6 || Channels == 8)
        {
            a = in[0] + in[3], b = in[1] + in[3], ce = in[2], ls = in[4], rs = in[5];
            if (Channels == 8)
                lb = in[6], rb = in[7];
        }
        const std::vector<double>& m = P.Mix;
        const double x[4] = {m[0] * b + m[1] * rs, m[2] * a + m[3] * ls, m[4] * lb + m[5] * ce,
                             m[6] * rb + m[7] * ce};
        const std::vector<double>& c = P.InputFilter;
        double u[4];
        for (int k = 0; k < 4; k++)
        {
            const double y =
                2 * (c[0] * x[k] + c[1] * X[k][0] + c[2] * X[k][1] + c[3] * Y[k][0] + c[4] * Y[k][1]);
            X[k] = {x[k], X[k][0]};
            Y[k] = {y, Y[k][0]};
            u[k] = y + g[k];
        }
        const std::vector<double>& d = P.Direct;
        const double cc = d[0] * ce, e1 = d[1] * a + d[2] * g[3], e2 = d[3] * b + d[4] * g[0];
        const double lb2 = d[5] * lb, rb2 = d[6] * rb, e3 = d[7] * ls + d[8] * g[1],
                     e4 = d[9] * rs + d[10] * g[2];
        const std::vector<double>& w = P.Pair;
        const double fin[7] = {cc,
                               w[0] * e1 + w[1] * e2,
                               w[2] * e1 + w[3] * e2,
                               w[4] * lb2 + w[5] * rb2,
                               w[6] * lb2 + w[7] * rb2,
                               w[8] * e3 + w[9] * e4,
                               w[10] * e3 + w[11] * e4};
        double zl = 0, zr = 0;
        for (int k = 0; k < 7; k++)
        {
            F[k].push_back(fin[k]);
            double h = 0;
            for (size_t j = 1; j <= P.Filters[k].size(); j++)
                h += P.Filters[k][j - 1] * Past(F[k], int(2 * j + 1)); // the newest is lag 1 here
            zl += P.LeftW[k] * h;
            zr += P.RightW[k] * h;
        }
        const double ls5[5] = {zl, cc, e1, lb2, e3}, rs5[5] = {zr, cc, e2, rb2, e4};
        double yl = 0, yr = 0;
        for (int s = 0; s < 5; s++)
        {
            yl += P.LeftOut[3 * s] * ls5[s] + P.LeftOut[3 * s + 1] * LSig[s][0] +
                  P.LeftOut[3 * s + 2] * LSig[s][1];
            yr += P.RightOut[3 * s] * rs5[s] + P.RightOut[3 * s + 1] * RSig[s][0] +
                  P.RightOut[3 * s + 2] * RSig[s][1];
            LSig[s] = {ls5[s], LSig[s][0]};
            RSig[s] = {rs5[s], RSig[s][0]};
        }
        for (int k = 0; k < 4; k++)
            S[k].push_back(P.Feedback[k][0] * u[0] + P.Feedback[k][1] * u[1] + P.Feedback[k][2] * u[2] +
                           P.Feedback[k][3] * u[3]);
        *left = Quantised(yl);
        *right = Quantised(yr);
    }
};

typedef std::vector<std::vector<float>> Buffers;

Buffers Noise(int channels, int frames, unsigned seed, float amplitude)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    Buffers b(8, std::vector<float>(frames, 0.0f));
    for (int c = 0; c < channels; c++)
        for (float& v : b[c])
            v = dist(rng);
    return b;
}

class TappedDelay : public ::testing::Test
{
protected:
    std::unique_ptr<CTappedDelayEffect> Fresh(ULONG rateHz, ULONG channels)
    {
        auto e = std::make_unique<CTappedDelayEffect>();
        e->Init();
        e->SetFormat(rateHz, channels - 1);
        return e;
    }
    // Runs in calls of the given lengths (cycled) with separate output buffers.
    static Buffers Run(CTappedDelayEffect& e, const Buffers& in, const std::vector<int>& chunks)
    {
        const int frames = int(in[0].size());
        Buffers out(2, std::vector<float>(frames));
        for (int at = 0, n = 0; at < frames; n++)
        {
            const int len = std::min(chunks[n % chunks.size()], frames - at);
            float* inputs[8];
            for (int c = 0; c < 8; c++)
                inputs[c] = const_cast<float*>(in[c].data()) + at;
            float* outputs[2] = {out[0].data() + at, out[1].data() + at};
            e.Process(inputs, outputs, ULONG(len));
            at += len;
        }
        return out;
    }
};

// Every programme, six and eight channels, in calls of odd lengths: the outputs are the model's
// but for float against double arithmetic. Before the network's first return that is a rare
// one-step difference where a value lies at a half step; after it the float network drifts from
// the double one by a fraction of a step over thousands of samples (more at the high rates,
// whose tails are longer), so the bound is three steps: a misplaced tap or a wrong lag is off
// by hundreds.
TEST_F(TappedDelay, MatchesTheModelForEveryProgrammeAndChunking)
{
    struct Case
    {
        int RateHz, Channels;
        std::vector<int> Chunks;
    };
    const Case cases[] = {
        {48000, 8, {512}}, {48000, 6, {1, 97, 300}}, {44100, 8, {128, 7}}, {32000, 6, {512}},
        {96000, 8, {333}}, {88200, 6, {512, 1}},     {64000, 8, {256}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << c.RateHz << " Hz, " << c.Channels << " channels");
        const int frames = 2 * ShapeOfRate(c.RateHz).RingSlots + 1000;
        const Buffers in = Noise(c.Channels, frames, 7u + c.RateHz, 0.25f);
        auto effect = Fresh(c.RateHz, c.Channels);
        const Buffers out = Run(*effect, in, c.Chunks);
        Model model(c.RateHz, c.Channels);
        int worst = 0, worstBeforeReturn = 0, nonZero = 0;
        const int firstReturn = ShapeOfRate(c.RateHz).Delays[0] + 1;
        for (int i = 0; i < frames; i++)
        {
            double x[8], l, r;
            for (int ch = 0; ch < 8; ch++)
                x[ch] = in[ch][i];
            model.Step(x, &l, &r);
            const int steps =
                int(std::lround(std::max(std::fabs(out[0][i] - l), std::fabs(out[1][i] - r)) * 32768));
            worst = std::max(worst, steps);
            worstBeforeReturn = i < firstReturn ? std::max(worstBeforeReturn, steps) : worstBeforeReturn;
            nonZero += out[0][i] != 0.0f;
        }
        EXPECT_LE(worstBeforeReturn, 1);
        EXPECT_LE(worst, 3);
        EXPECT_GT(nonZero, frames / 2);
    }
}

// Outputs are whole 16-bit steps, clamped to [-1, 32767/32768] however loud the input.
TEST_F(TappedDelay, OutputsAreClampedSixteenBitSteps)
{
    auto effect = Fresh(48000, 8);
    const Buffers in = Noise(8, 4000, 3u, 4.0f);
    const Buffers out = Run(*effect, in, {512});
    bool top = false, bottom = false;
    for (const std::vector<float>& ch : out)
    {
        for (float v : ch)
        {
            ASSERT_LE(v, 32767.0f / 32768.0f);
            ASSERT_GE(v, -1.0f);
            ASSERT_EQ(v * 32768.0f, std::round(v * 32768.0f));
            top = top || v == 32767.0f / 32768.0f;
            bottom = bottom || v == -1.0f;
        }
    }
    EXPECT_TRUE(top);
    EXPECT_TRUE(bottom);
}

// A click on the left of an eight-channel stream at 48 kHz is heard at once on both sides,
// dies away within the image filters' length, and comes back first through line 1, 600
// samples later (delay 599 plus one).
TEST_F(TappedDelay, AnImpulseComesBackThroughTheFirstLine)
{
    auto effect = Fresh(48000, 8);
    Buffers in(8, std::vector<float>(1200, 0.0f));
    in[0][0] = 1.0f;
    const Buffers out = Run(*effect, in, {512});
    EXPECT_NE(out[0][0], 0.0f);
    EXPECT_NE(*std::max_element(out[1].begin(), out[1].begin() + 8), 0.0f);
    for (int i = 45; i < 600; i++)
    {
        ASSERT_EQ(out[0][i], 0.0f) << i;
        ASSERT_EQ(out[1][i], 0.0f) << i;
    }
    EXPECT_NE(out[1][600], 0.0f);
}

// Silence stays silence; a stream of two or four channels feeds nothing into the network, and
// its first two channels (the outputs here) become silence.
TEST_F(TappedDelay, OtherChannelCountsAndSilenceGiveSilence)
{
    for (ULONG channels : {2u, 4u, 8u})
    {
        SCOPED_TRACE(channels);
        auto effect = Fresh(48000, channels);
        Buffers in =
            channels == 8 ? Buffers(8, std::vector<float>(2000, 0.0f)) : Noise(channels, 2000, 5u, 0.5f);
        float* inputs[8];
        for (int c = 0; c < 8; c++)
            inputs[c] = in[c].data();
        float* outputs[2] = {in[0].data(), in[1].data()}; // in place, as the effect node runs it
        effect->Process(inputs, outputs, 2000);
        EXPECT_TRUE(std::all_of(in[0].begin(), in[0].end(), [](float v) { return v == 0.0f; }));
        EXPECT_TRUE(std::all_of(in[1].begin(), in[1].end(), [](float v) { return v == 0.0f; }));
    }
}

// A new rate at a stream start clears the ring and runs the new programme from the first
// sample; an unusable format (nine channels) is dropped and the running one carries on; Clear
// empties the ring.
TEST_F(TappedDelay, FormatChangesAndClearStartFromAnEmptyRing)
{
    const Buffers warm = Noise(8, 5000, 11u, 0.3f);
    const Buffers next = Noise(8, 3000, 12u, 0.3f);

    auto switched = Fresh(48000, 8);
    Run(*switched, warm, {512});
    switched->SetFormat(96000, 7);
    auto fresh96 = Fresh(96000, 8);
    EXPECT_EQ(Run(*switched, next, {512}), Run(*fresh96, next, {512}));

    auto kept = Fresh(48000, 8);
    auto reference = Fresh(48000, 8);
    Run(*kept, warm, {512});
    Run(*reference, warm, {512});
    kept->SetFormat(48000, 8);
    EXPECT_FALSE(kept->IsPendingValid());
    EXPECT_EQ(Run(*kept, next, {512}), Run(*reference, next, {512}));

    auto cleared = Fresh(48000, 8);
    auto fresh48 = Fresh(48000, 8);
    Run(*cleared, warm, {512});
    cleared->Clear();
    EXPECT_EQ(Run(*cleared, next, {512}), Run(*fresh48, next, {512}));
}

// The generated programmes: the fixed design values in place, E_k = D_k + T, the output
// filters' network taps (0.5, 1, 0.5), and the image filters as the generator designs them
// (largest tap first, decaying, energies 0.25 0.5 0.25 0.35 0.2 0.35 0.2, the difference
// filters alternating in sign).
TEST_F(TappedDelay, GeneratedProgrammesHaveTheirStatedShape)
{
    const double energies[7] = {0.25, 0.5, 0.25, 0.35, 0.2, 0.35, 0.2};
    int programmes = 0;
    for (int code = 0; code < DELAY_RATE_CODES; code++)
        programmes += g_DelayProgrammes[code] != nullptr;
    EXPECT_EQ(programmes, 5);
    for (const DelayRateShape& shape : kDelayRateShapes)
    {
        SCOPED_TRACE(shape.RateHz);
        EXPECT_EQ(g_DelayRingSlots[shape.RateCode], shape.RingSlots);
        const Programme p(shape);
        for (int k = 0; k < 4; k++)
        {
            EXPECT_EQ(p.D[k], shape.Delays[k]);
            if (k < 3)
            {
                EXPECT_EQ(p.E[k], shape.Delays[k] + shape.TapsPerLine);
            }
        }
        EXPECT_FLOAT_EQ(float(p.Mix[0]), -0.551703f);
        EXPECT_FLOAT_EQ(float(p.Direct[10]), 1.0f);
        EXPECT_FLOAT_EQ(float(p.Feedback[3][3]), -0.345642f);
        EXPECT_EQ(p.RightW, (std::vector<double>{1, 1, -1, 1, -1, 1, -1}));
        for (const std::vector<double>* out : {&p.LeftOut, &p.RightOut})
        {
            EXPECT_EQ(std::vector<double>(out->begin(), out->begin() + 3),
                      (std::vector<double>{0.5, 1.0, 0.5}));
        }
        for (int k = 0; k < 7; k++)
        {
            const std::vector<double>& h = p.Filters[k];
            ASSERT_EQ(int(h.size()), shape.FilterTaps[k]);
            double energy = 0;
            for (size_t j = 0; j < h.size(); j++)
            {
                energy += h[j] * h[j];
                if (j > 0)
                {
                    EXPECT_LT(std::fabs(h[j]), std::fabs(h[j - 1]));
                    EXPECT_EQ(h[j] * h[j - 1] < 0, k == 2 || k == 4 || k == 6);
                }
            }
            EXPECT_NEAR(energy, energies[k], 1e-5);
        }
    }
}

} // namespace
