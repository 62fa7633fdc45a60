// The audio engine against the WaveCyclic port and the wave miniport double, whose stream
// consumes (render) or produces (capture) bytes at its position on the platform clock: the
// engine keeps a render buffer written ahead of that position and drains a capture buffer
// behind it, so what the double consumed is exactly the source's byte stream and what the sink
// got is exactly the double's; a lead shorter than a period shows up as underruns.
#include "support/wave_port_rig.h"

#include <vector>

namespace
{

// The render source's byte at absolute index N; a pattern no multiple of any frame size repeats.
UCHAR SourceByte(ULONGLONG N)
{
    return UCHAR(N * 13 + (N >> 9));
}

struct FlowCase
{
    const char* Name;
    KSPIN_DATAFLOW Flow;
    WORD Channels;
    DWORD RateHz;
    WORD Bits;
    ULONG LeadBytes; // 0: the engine's default
    bool Underruns;
};

class AudioEngine : public doubles::WavePortRig
{
protected:
    // Opens the pin of the case and hands it a counting source or a recording sink.
    std::unique_ptr<sim::AudioPin> OpenCase(const FlowCase& c)
    {
        doubles::WaveMiniportConfig config;
        config.Flow = c.Flow;
        config.MaxChannels = 8;
        config.MinBits = 8;
        config.MaxBits = 32;
        config.MinRate = 8000;
        config.MaxRate = 192000;
        Start(config);
        std::unique_ptr<sim::AudioPin> pin;
        EXPECT_EQ(OpenPin(sim::WaveDataFormat(c.Channels, c.RateHz, c.Bits, c.Bits), &pin), STATUS_SUCCESS);
        if (!pin)
            return pin;
        EXPECT_EQ(pin->IsCapture(), c.Flow == KSPIN_DATAFLOW_OUT);
        EXPECT_EQ(m_Log.Capture, c.Flow == KSPIN_DATAFLOW_OUT) << "NewStream's capture flag";
        pin->SetLeadBytes(c.LeadBytes);
        pin->SetRenderSource(
            [this](UCHAR* data, ULONG bytes)
            {
                for (ULONG i = 0; i < bytes; ++i)
                    data[i] = SourceByte(m_Fed++);
            });
        pin->SetCaptureSink([this](const UCHAR* data, ULONG bytes)
                            { m_Got.insert(m_Got.end(), data, data + bytes); });
        return pin;
    }

    // Bytes the position moves in one period of the engine.
    static ULONGLONG PeriodBytes(const FlowCase& c)
    {
        return ULONGLONG(c.RateHz) * c.Channels * (c.Bits / 8) * sim::AudioPin::kPeriodMs / 1000;
    }

    void CheckRendered(const FlowCase& c, const sim::AudioPinStats& stats)
    {
        ASSERT_FALSE(m_Log.Rendered.empty());
        EXPECT_LE(stats.PositionBytes, m_Log.Rendered.size());
        EXPECT_GE(stats.PositionBytes + PeriodBytes(c), m_Log.Rendered.size());
        if (c.Underruns)
        {
            EXPECT_GE(stats.Underruns, stats.Periods / 2);
            return;
        }
        EXPECT_EQ(stats.Underruns, 0u);
        EXPECT_GE(stats.WrittenBytes, m_Log.Rendered.size()) << "the device consumed what was never written";
        size_t wrong = 0;
        for (size_t i = 0; i < m_Log.Rendered.size(); ++i)
            wrong += m_Log.Rendered[i] != SourceByte(i);
        EXPECT_EQ(wrong, 0u) << "of " << m_Log.Rendered.size() << " bytes";
    }

    void CheckCaptured(const FlowCase& c, const sim::AudioPinStats& stats)
    {
        EXPECT_EQ(stats.Overruns, 0u);
        EXPECT_EQ(stats.ReadBytes, m_Got.size());
        EXPECT_LE(m_Got.size(), m_Log.Captured);
        EXPECT_GE(m_Got.size() + PeriodBytes(c), m_Log.Captured);
        size_t wrong = 0;
        for (size_t i = 0; i < m_Got.size(); ++i)
            wrong += m_Got[i] != doubles::CaptureByte(i);
        EXPECT_EQ(wrong, 0u) << "of " << m_Got.size() << " bytes";
    }

    ULONGLONG m_Fed = 0;
    std::vector<UCHAR> m_Got;
};

const FlowCase kCases[] = {
    // name, flow, channels, rate, bits, lead, underruns
    {"render 48 kHz stereo 16-bit", KSPIN_DATAFLOW_IN, 2, 48000, 16, 0, false},
    {"render 44.1 kHz stereo 24-bit", KSPIN_DATAFLOW_IN, 2, 44100, 24, 0, false},
    {"render 96 kHz 8 channels 32-bit", KSPIN_DATAFLOW_IN, 8, 96000, 32, 0, false},
    {"render with a lead shorter than a period", KSPIN_DATAFLOW_IN, 2, 48000, 16, 960, true},
    {"capture 48 kHz stereo 16-bit", KSPIN_DATAFLOW_OUT, 2, 48000, 16, 0, false},
    {"capture 44.1 kHz mono 24-bit", KSPIN_DATAFLOW_OUT, 1, 44100, 24, 0, false},
};

TEST_F(AudioEngine, KeepsTheBufferFedAheadOrDrainedBehindThePosition)
{
    for (const FlowCase& c : kCases)
    {
        SCOPED_TRACE(c.Name);
        std::unique_ptr<sim::AudioPin> pin = OpenCase(c);
        ASSERT_TRUE(pin);
        ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
        Sleep(300);
        ASSERT_EQ(pin->Pause(), STATUS_SUCCESS);
        sim::AudioPinStats stats = pin->Stats();
        EXPECT_GE(stats.Periods, 29u);
        EXPECT_LE(stats.Periods, 30u);
        EXPECT_GT(stats.ServiceCount, 0u);
        if (c.Flow == KSPIN_DATAFLOW_IN)
            CheckRendered(c, stats);
        else
            CheckCaptured(c, stats);
        EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
        pin.reset();
        TearDown();
        m_Log = doubles::WaveMiniportLog();
        m_Fed = 0;
        m_Got.clear();
    }
}

TEST_F(AudioEngine, APauseAndRunCycleKeepsAudioFlowingInOrder)
{
    // Whether the stream keeps its position across a pause or starts it again at 0, the
    // device gets the source's bytes in order.
    for (bool restart : {false, true})
    {
        SCOPED_TRACE(restart ? "position restarts" : "position kept");
        doubles::WaveMiniportConfig config;
        config.RestartOnRun = restart;
        Start(config);
        std::unique_ptr<sim::AudioPin> pin;
        ASSERT_EQ(OpenPin(sim::WaveDataFormat(2, 48000, 16, 16), &pin), STATUS_SUCCESS);
        pin->SetRenderSource(
            [this](UCHAR* data, ULONG bytes)
            {
                for (ULONG i = 0; i < bytes; ++i)
                    data[i] = SourceByte(m_Fed++);
            });
        for (int cycle = 0; cycle < 3; ++cycle)
        {
            ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
            Sleep(110); // the pause finds the position inside the buffer, not at its start
            ASSERT_EQ(pin->Pause(), STATUS_SUCCESS);
            Sleep(30); // paused: the position stands
        }
        sim::AudioPinStats stats = pin->Stats();
        CheckRendered(kCases[0], stats);
        EXPECT_EQ(m_Log.Rendered.size(), 3u * 22 * 960); // 22 ticks of 5 ms a cycle
        EXPECT_EQ(stats.Restarts, restart ? 2u : 0u);
        pin.reset();
        TearDown();
        m_Log = doubles::WaveMiniportLog();
        m_Fed = 0;
    }
}

TEST_F(AudioEngine, StopStartsThePositionAndTheMarksAgain)
{
    const FlowCase capture = kCases[4];
    std::unique_ptr<sim::AudioPin> pin = OpenCase(capture);
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    Sleep(50);
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin->Stats().ReadBytes, 0u);
    KSAUDIO_POSITION position;
    ASSERT_EQ(pin->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position.PlayOffset, 0u);
    // The next run reads from the start of the buffer again, where the device writes next.
    m_Got.clear();
    ULONGLONG before = m_Log.Captured;
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    Sleep(100);
    ASSERT_EQ(pin->Pause(), STATUS_SUCCESS);
    ASSERT_FALSE(m_Got.empty());
    size_t wrong = 0;
    for (size_t i = 0; i < m_Got.size(); ++i)
        wrong += m_Got[i] != doubles::CaptureByte(before + i);
    EXPECT_EQ(wrong, 0u);
}

TEST_F(AudioEngine, AFormatWithANewBufferStartsTheRenderStreamAfresh)
{
    std::unique_ptr<sim::AudioPin> pin = OpenCase(kCases[0]);
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    Sleep(55);
    ASSERT_EQ(pin->Pause(), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetFormat(sim::WaveDataFormat(2, 44100, 16, 16)), STATUS_SUCCESS);
    EXPECT_EQ(pin->Stats().PositionBytes, 0u);
    // The device plays the new buffer from its start, which the run fills first.
    size_t before = m_Log.Rendered.size();
    ULONGLONG fed = m_Fed;
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    Sleep(55);
    ASSERT_EQ(pin->Pause(), STATUS_SUCCESS);
    sim::AudioPinStats stats = pin->Stats();
    EXPECT_EQ(stats.Underruns, 0u);
    EXPECT_EQ(stats.Restarts, 0u);
    ASSERT_EQ(m_Log.Rendered.size() - before,
              11u * 880); // eleven ticks of 880 bytes: 5 ms of 44.1 kHz stereo in whole frames
    size_t wrong = 0;
    for (size_t i = before; i < m_Log.Rendered.size(); ++i)
        wrong += m_Log.Rendered[i] != SourceByte(fed + i - before);
    EXPECT_EQ(wrong, 0u);
}

TEST_F(AudioEngine, EnumeratesWaveFiltersByDirection)
{
    FlowCase capture = kCases[4];
    std::unique_ptr<sim::AudioPin> pin = OpenCase(capture);
    std::vector<sim::WaveFilterInfo> filters = sim::AudioPin::EnumerateWaveFilters(m_pPnp->Pdo());
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0].Name, kFilter);
    EXPECT_TRUE(filters[0].Capture);
    EXPECT_TRUE(sim::AudioPin::EnumerateWaveFilters(nullptr).empty());
}

} // namespace
