// The headphone virtualiser: the generated responses' stated shape, the engine against a direct
// double-precision convolution of the same responses (speakers, low-frequency feed, surround
// fold, tail from 1,024 samples on, crosstalk filters or the 255-sample delay), the front
// object's settings and their mapping, the down-mix, and the streams it refuses.
#include "driver/dsp/headphone_virtualizer.h"

#include "plat_pool.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace
{

typedef std::vector<std::vector<double>> Signals;

// The engine and the front object come from pool as their owner allocates them.
template <class T> std::unique_ptr<T> Make()
{
    return std::unique_ptr<T>(new (NonPagedPool, VIRTUALIZER_POOL_TAG) T());
}

const float* HeadRow(int room, int degrees, int row)
{
    return g_HeadphoneHeadTables[room - 1][HeadphoneAngleIndex(degrees)] + row * HEADPHONE_HEAD_LENGTH;
}

int PeakIndex(const float* row, int length)
{
    int best = 0;
    for (int n = 1; n < length; n++)
    {
        if (std::fabs(row[n]) > std::fabs(row[best]))
            best = n;
    }
    return best;
}

double Energy(const float* row, int length)
{
    double e = 0;
    for (int n = 0; n < length; n++)
        e += double(row[n]) * row[n];
    return e;
}

TEST(HeadphoneTables, TheReferenceTableAndTheOthersHaveTheirStatedShape)
{
    // Room 1 at 29 degrees.
    for (auto [a, b] : {std::pair{0, 3}, {1, 2}, {4, 5}, {6, 9}, {7, 8}})
    {
        EXPECT_EQ(0, std::memcmp(HeadRow(1, 29, a), HeadRow(1, 29, b), HEADPHONE_HEAD_LENGTH * sizeof(float)))
            << a;
    }
    struct Peak
    {
        int Row, Index;
        double Value, Energy; // energy < 0: not stated
    };
    for (const Peak& p : {Peak{0, 8, -0.2221, 0.1825}, Peak{1, 19, -0.0431, 0.0147}, Peak{4, 8, -0.1837, -1},
                          Peak{5, 8, -0.1837, -1}, Peak{6, 9, 0.2302, -1}, Peak{7, 20, 0, -1}})
    {
        SCOPED_TRACE(p.Row);
        const float* row = HeadRow(1, 29, p.Row);
        EXPECT_EQ(PeakIndex(row, HEADPHONE_HEAD_LENGTH), p.Index);
        if (p.Value != 0)
        {
            EXPECT_NEAR(row[p.Index], p.Value, 5e-5);
        }
        if (p.Energy > 0)
        {
            EXPECT_NEAR(Energy(row, HEADPHONE_HEAD_LENGTH), p.Energy, 5e-4);
        }
    }
    for (int room = 1; room <= HEADPHONE_ROOMS; room++)
    {
        for (int set = 0; set < HEADPHONE_TAIL_SETS; set++)
        {
            const int length = kHeadphoneTailLength[room - 1][set];
            const float* tail = g_HeadphoneTailTables[room - 1][set];
            for (int n = 0; n < HEADPHONE_TAIL_ROWS * length; n++)
                ASSERT_LT(std::fabs(tail[n]), 0.016f) << room << " " << set << " " << n;
        }
    }
    for (int i = 0; i < HEADPHONE_CTC_ANGLES; i++)
    {
        const int peak = PeakIndex(g_HeadphoneCtcPairs[i][0], HEADPHONE_CTC_TAPS);
        EXPECT_GE(peak, 112);
        EXPECT_LE(peak, 119);
    }
}

// The engine's rendering as designed, by direct convolution in double: speakers from the input
// channels (the low-frequency channel into both fronts, the back pair folded into the surrounds),
// each ear the sum of its head responses plus, 1,024 samples late, its tail over all speakers,
// doubled; then the crosstalk filters or the 255-sample delay; then the engine's block delay.
Signals Model(const Signals& in, int room, int degrees, int ctcDegrees)
{
    const int channels = int(in.size());
    const size_t frames = in[0].size();
    Signals speakers;
    if (channels == 2)
    {
        speakers = {in[0], in[1]};
    }
    else
    {
        speakers.assign(5, std::vector<double>(frames));
        for (size_t n = 0; n < frames; n++)
        {
            double ls = in[4][n], rs = in[5][n];
            if (channels == 8)
            {
                ls = double(0.95f * float(in[4][n]) + 0.312f * float(in[5][n]) + float(in[6][n]));
                rs = double(0.312f * float(in[4][n]) + 0.95f * float(in[5][n]) + float(in[7][n]));
            }
            speakers[0][n] = in[0][n] + in[3][n];
            speakers[1][n] = in[1][n] + in[3][n];
            speakers[2][n] = in[2][n];
            speakers[3][n] = ls;
            speakers[4][n] = rs;
        }
    }
    const int set = HeadphoneTailSet(degrees);
    const int tailLength = kHeadphoneTailLength[room - 1][set];
    const float* tail = g_HeadphoneTailTables[room - 1][set];
    std::vector<double> all(frames, 0.0);
    for (const std::vector<double>& speaker : speakers)
        for (size_t n = 0; n < frames; n++)
            all[n] += speaker[n];
    Signals ears(2, std::vector<double>(frames, 0.0));
    for (int ear = 0; ear < 2; ear++)
    {
        for (size_t k = 0; k < speakers.size(); k++)
        {
            const float* h = HeadRow(room, degrees, int(2 * k) + ear);
            for (size_t n = 0; n < frames; n++)
                for (int j = 0; j < HEADPHONE_HEAD_LENGTH && j <= int(n); j++)
                    ears[ear][n] += h[j] * speakers[k][n - j];
        }
        for (size_t n = 1024; n < frames; n++)
            for (int j = 0; j < tailLength && j <= int(n) - 1024; j++)
                ears[ear][n] += tail[ear * tailLength + j] * all[n - 1024 - j];
        for (double& v : ears[ear])
            v *= 2.0;
    }
    Signals out(2, std::vector<double>(frames, 0.0));
    int index = -1;
    for (int i = 0; i < HEADPHONE_CTC_ANGLES; i++)
        index = kHeadphoneCtcAngles[i] == ctcDegrees ? i : index;
    const int blockDelay = HEADPHONEFIR_N;
    for (size_t n = 0; n < frames; n++)
    {
        if (index < 0)
        {
            const long m = long(n) - blockDelay - HEADPHONE_CTC_DELAY;
            for (int c = 0; c < 2; c++)
                out[c][n] = m >= 0 ? ears[c][m] : 0.0;
            continue;
        }
        const float* d = g_HeadphoneCtcPairs[index][0];
        const float* x = g_HeadphoneCtcPairs[index][1];
        for (int j = 0; j < HEADPHONE_CTC_TAPS; j++)
        {
            const long m = long(n) - blockDelay - j;
            if (m < 0)
                break;
            out[0][n] += d[j] * ears[0][m] + x[j] * ears[1][m];
            out[1][n] += x[j] * ears[0][m] + d[j] * ears[1][m];
        }
    }
    return out;
}

TEST(HeadphoneEngine, RendersAsTheDirectConvolutionOfItsResponses)
{
    struct Case
    {
        int Channels, RoomCode, Degrees, CtcDegrees;
    };
    // Room codes 2, 1, 0 are rooms 1, 2, 3.
    const Case cases[] = {{6, 2, 29, 0}, {2, 2, 29, 0}, {8, 1, 35, 0}, {6, 0, 24, 30}, {2, 2, 31, 10}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << c.Channels << " channels, room code " << c.RoomCode << ", "
                                          << c.Degrees << " degrees, crosstalk " << c.CtcDegrees);
        auto app = Make<CHeadphoneApp>();
        ASSERT_TRUE(app->Configure(44100, 8, 2, 256));
        app->Fir().SetRoomAndAngle(c.RoomCode, c.Degrees);
        app->Fir().SetCtcAngle(ULONG(c.CtcDegrees));
        const int frames = 8 * HEADPHONEFIR_N;
        std::mt19937 rng(unsigned(c.Channels * 100 + c.Degrees));
        std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
        Signals in(c.Channels, std::vector<double>(frames));
        std::vector<std::vector<float>> buffers(c.Channels, std::vector<float>(frames));
        for (int ch = 0; ch < c.Channels; ch++)
            for (int n = 0; n < frames; n++)
                in[ch][n] = buffers[ch][n] = dist(rng);
        for (int at = 0; at < frames; at += 300)
        {
            float* p[8];
            for (int ch = 0; ch < c.Channels; ch++)
                p[ch] = buffers[ch].data() + at;
            app->Process(p, 2, p, c.Channels, std::min(300, frames - at));
        }
        const Signals expected = Model(in, 3 - c.RoomCode, c.Degrees, c.CtcDegrees);
        double worst = 0, scale = 0;
        for (int ch = 0; ch < 2; ch++)
            for (int n = 0; n < frames; n++)
            {
                worst = std::max(worst, std::fabs(buffers[ch][n] - expected[ch][n]));
                scale = std::max(scale, std::fabs(expected[ch][n]));
            }
        EXPECT_GT(scale, 0.1);
        EXPECT_LT(worst, 2e-5 * scale * 64);
    }
}

TEST(HeadphoneEngine, CrosstalkAngleChangesOnlyWhenItDiffers)
{
    auto app = Make<CHeadphoneApp>();
    CHeadphoneFir& fir = app->Fir();
    EXPECT_EQ(fir.CtcAngle(), 0u);
    EXPECT_EQ(fir.Room(), 1);
    EXPECT_EQ(fir.Angle(), 29);
    fir.SetCtcAngle(30);
    const ULONG outstanding = ULONG(plat::PoolAllocationCount());
    fir.SetCtcAngle(30); // nothing rebuilt
    EXPECT_EQ(ULONG(plat::PoolAllocationCount()), outstanding);
    fir.SetRoomAndAngle(7, 33);
    EXPECT_EQ(fir.Room(), 2);
    EXPECT_EQ(fir.Angle(), 24);
    EXPECT_EQ(fir.TailBlocks(), 3072 / 512);
}

// The front object's settings reach the engine as its mode allows.
TEST(HeadphoneVirtualizer, SettingsMapToRoomAngleAndCrosstalk)
{
    auto v = Make<CHeadphoneVirtualizer>();
    ASSERT_NE(v->Engine(), nullptr);
    CHeadphoneFir& fir = v->Engine()->Fir();
    struct MapRow
    {
        ULONG Set, Code;
        LONG Degrees;
    };
    for (const MapRow& r : {MapRow{0, 0, 24},
                            {1, 25, 25},
                            {0, 30, 29},
                            {1, 2, 35},
                            {0, 40, 39},
                            {1, 3, 40},
                            {0, 31, 31},
                            {1, 31, 31},
                            {0, 4, -1},
                            {1, 99, -1}})
        EXPECT_EQ(CHeadphoneVirtualizer::MapAngle(r.Set, r.Code), r.Degrees) << r.Code;

    v->SetHeadphoneAngle(3);
    EXPECT_EQ(fir.Angle(), 39);
    v->SetHeadphoneAltAngles(1);
    EXPECT_EQ(fir.Angle(), 40);
    v->SetHeadphoneRoom(0);
    EXPECT_EQ(fir.Room(), 3);
    v->SetSpeakerRoom(2); // headphone mode: stored only
    v->SetSpeakerAngle(1);
    EXPECT_EQ(fir.Room(), 3);
    EXPECT_EQ(fir.Angle(), 40);
    v->SetCtcAngle(4);
    EXPECT_EQ(v->GetCtcAngle(), 30u);
    EXPECT_EQ(fir.CtcAngle(), 0u); // headphone mode: the stage stays off
    v->SetMode(1);
    EXPECT_EQ(fir.CtcAngle(), 30u);
    EXPECT_EQ(fir.Room(), 3); // the responses wait for a speaker setter
    v->SetSpeakerAltAngles(0);
    EXPECT_EQ(fir.Room(), 1);
    EXPECT_EQ(fir.Angle(), 29);
    v->SetCtcAngle(25);
    EXPECT_EQ(fir.CtcAngle(), 25u); // not a filter angle: the delay
}

// Off, the stream is mixed down to two channels by the documented weights; two channels stay,
// one channel leaves the second buffer alone. Streams the engine cannot render are mixed down
// even when the virtualiser is on.
TEST(HeadphoneVirtualizer, DownMixesWhenOffOrGivenAStreamItCannotRender)
{
    struct Case
    {
        bool Enabled;
        WORD Channels;
        DWORD RateHz;
    };
    for (const Case& c : {Case{false, 6, 48000},
                          {false, 8, 48000},
                          {false, 2, 48000},
                          {false, 1, 48000},
                          {true, 1, 48000},
                          {true, 4, 48000},
                          {true, 6, 192000},
                          {true, 8, 11025}})
    {
        SCOPED_TRACE(::testing::Message() << c.Enabled << " " << c.Channels << " " << c.RateHz);
        auto v = Make<CHeadphoneVirtualizer>();
        WAVEFORMATEX format = {WAVE_FORMAT_IEEE_FLOAT, c.Channels, c.RateHz, 0, 0, 32, 0};
        const bool renders =
            (c.Channels == 2 || c.Channels == 6 || c.Channels == 8) && c.RateHz < 132300 && c.RateHz > 14700;
        EXPECT_EQ(v->SetFormat(&format), renders ? 1 : -1);
        v->SetEnable(c.Enabled);
        std::vector<std::vector<float>> b(8, std::vector<float>(64));
        for (int ch = 0; ch < 8; ch++)
            for (int n = 0; n < 64; n++)
                b[ch][n] = float(ch + 1) + 0.01f * n;
        const auto in = b;
        float* p[8];
        for (int ch = 0; ch < 8; ch++)
            p[ch] = b[ch].data();
        v->Process(p, 64);
        for (int n = 0; n < 64; n++)
        {
            double left = in[0][n], right = in[1][n];
            if (c.Channels >= 6)
            {
                const double centre = 0.707f * in[2][n];
                left = (in[0][n] + centre + in[3][n] + in[4][n]) * 0.5;
                right = (in[1][n] + centre + in[3][n] + in[5][n]) * 0.5;
                if (c.Channels == 8)
                {
                    left += 0.5 * in[6][n];
                    right += 0.5 * in[7][n];
                }
            }
            ASSERT_NEAR(b[0][n], left, 1e-5) << n;
            ASSERT_NEAR(b[1][n], right, 1e-5) << n;
        }
        for (int ch = 2; ch < 8; ch++)
            EXPECT_EQ(b[ch], in[ch]);
    }
}

// A stream that starts again (SetFormat) sounds as on a virtualiser that never played: nothing
// of the last stream, not even the crosstalk stage's delay, opens the next, with the stage
// passing (headphone mode) or filtering.
TEST(HeadphoneVirtualizer, ANewStreamStartsFromSilence)
{
    for (const ULONG mode : {0u, 1u})
    {
        SCOPED_TRACE(mode);
        const WAVEFORMATEX format = {WAVE_FORMAT_IEEE_FLOAT, 6, 48000, 0, 0, 32, 0};
        auto played = Make<CHeadphoneVirtualizer>();
        auto fresh = Make<CHeadphoneVirtualizer>();
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
        // Frames of six channels of noise through V in pieces of 240.
        auto play = [&](CHeadphoneVirtualizer& v, int frames)
        {
            std::vector<std::vector<float>> b(6, std::vector<float>(frames));
            for (auto& channel : b)
                for (float& x : channel)
                    x = dist(rng);
            for (int at = 0; at < frames; at += 240)
            {
                float* p[6];
                for (int ch = 0; ch < 6; ch++)
                    p[ch] = b[ch].data() + at;
                v.Process(p, std::min(240, frames - at));
            }
            return std::vector<float>(b[0].begin(), b[0].end());
        };
        for (CHeadphoneVirtualizer* v : {played.get(), fresh.get()})
        {
            v->SetMode(mode);
            v->SetEnable(1);
            ASSERT_EQ(v->SetFormat(&format), 1);
        }
        play(*played, 4800);
        ASSERT_EQ(played->SetFormat(&format), 1);
        const std::mt19937 start = rng;
        const std::vector<float> again = play(*played, 2400);
        rng = start;
        EXPECT_EQ(again, play(*fresh, 2400));
    }
}

TEST(HeadphoneVirtualizer, WithoutItsEngineItStoresSettingsAndMixesDown)
{
    plat::FailNthAllocation(2); // the front object's block is the first, its engine the second
    auto v = Make<CHeadphoneVirtualizer>();
    plat::ClearPoolFailures();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->Engine(), nullptr);
    WAVEFORMATEX format = {WAVE_FORMAT_IEEE_FLOAT, 6, 48000, 0, 0, 32, 0};
    EXPECT_EQ(v->SetFormat(&format), -1);
    v->SetHeadphoneRoom(2);
    EXPECT_EQ(v->GetHeadphoneRoom(), 2u);
    v->SetEnable(1);
    std::vector<std::vector<float>> b(8, std::vector<float>(16, 1.0f));
    float* p[8];
    for (int ch = 0; ch < 8; ch++)
        p[ch] = b[ch].data();
    v->Process(p, 16); // channel count 8 from construction: the eight-channel down-mix
    EXPECT_NEAR(b[0][0], (1 + 0.707 + 1 + 1 + 1) / 2.0, 1e-5);
    v.reset();
    EXPECT_EQ(plat::PoolLiveBlocks(VIRTUALIZER_POOL_TAG), 0u);
}

} // namespace
