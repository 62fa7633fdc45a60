// The class-2 streams on the simulated class-2 device: the clock's rate at open, render packets
// sized from the feedback endpoint as the device's clock runs fast, slow or drifts, with its
// render buffer neither running dry nor over; the clamp at the top of the feedback window, the
// pipe-reset recovery after a failed feedback read, the valid-alternate-settings control, the
// DSD stop request, and capture handed over exactly as it came.
#include "support/uac2_stream_rig.h"

#include <numeric>

namespace
{

using u2rig::Format8;
using u2rig::Uac2StreamRig;

constexpr UCHAR kRenderEndpoint = 0x01;
constexpr UCHAR kCaptureEndpoint = 0x82;

class Uac2Stream : public Uac2StreamRig
{
protected:
    // The render stream of the device, its 8-channel formats at every clock rate.
    ICyclicControl* Render(bool highSpeed = true)
    {
        std::vector<WAVEFORMATEXTENSIBLE> formats;
        for (ULONG rate : {44100u, 48000u, 96000u})
            formats.push_back(Format8(rate, highSpeed));
        return MakeStream<CUac2RenderStream>(1, formats);
    }

    // Frames of each OUT data packet in the device's record.
    std::vector<ULONG> OutFrames(ULONG blockBytes)
    {
        std::vector<ULONG> frames;
        for (const sim::StreamPacketRecord& r : DataPackets(false))
            frames.push_back(r.Bytes / blockBytes);
        return frames;
    }
};

TEST_F(Uac2Stream, OpenSetsTheClocksRateAndStreamsOnTheSetting)
{
    Start("uac2-interface");
    ICyclicControl* stream = Render();
    const SIZE_T irps = plat::IoLiveIrpCount();
    rig::StreamTestClient& client = Run(stream, Format8(96000));
    ASSERT_TRUE(client.WaitDone(10));
    // Ten data transfers and ten feedback reads, and the staging ring of a class-2 stream.
    EXPECT_EQ(plat::IoLiveIrpCount() - irps, 20u);
    EXPECT_EQ(plat::PoolLiveBlocks(MAKE_POOL_TAG('U', 'S', '2', '0')), 1u);
    EXPECT_EQ(plat::PoolLiveBlocks(MAKE_POOL_TAG('U', 'S', '1', '0')), 0u);
    // SET CUR of the clock's sampling frequency, 4 bytes, before the setting carries audio.
    const std::vector<sim::ControlRecord> rates = Requests(0x21, 0x01, u2rig::kClockEntity, 0x01);
    ASSERT_EQ(rates.size(), 1u);
    EXPECT_EQ(rates[0].Setup.Index, u2rig::kClockEntity << 8);
    EXPECT_EQ(rates[0].OutData, (std::vector<uint8_t>{0x00, 0x77, 0x01, 0x00})); // 96,000
    EXPECT_EQ(Controls().ClockRateHz(u2rig::kClockEntity), 96000u);
    sim::StreamFormat format;
    ASSERT_TRUE(Streams().CurrentFormat(kRenderEndpoint, &format));
    EXPECT_EQ(format.AlternateSetting, 1);
    EXPECT_EQ(format.RateHz, 96000u);
    EXPECT_TRUE(Streams().SizeErrors().empty()) << Streams().SizeErrors().front();
    // One feedback read of 4 bytes per 1 ms frame travels with the data.
    const std::vector<sim::StreamPacketRecord> feedback = FeedbackPackets();
    ASSERT_FALSE(feedback.empty());
    EXPECT_EQ(feedback.front().Bytes, 4u);
    EXPECT_GE(feedback.size() * 8 + 80, DataPackets(false).size()) << "a value per 1 ms frame";
}

TEST_F(Uac2Stream, AClockTheDeviceRefusesFailsTheOpenAndTheClientStaysRegistered)
{
    Start("uac2-interface");
    ICyclicControl* stream = Render();
    u2rig::CClockNodeDouble::Refuse = true;
    rig::StreamTestClient& client = Client();
    client.Format = Format8(48000);
    ASSERT_EQ(client.Register(stream), STATUS_SUCCESS);
    EXPECT_EQ(client.Open(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Model().AlternateSetting(1), 0) << "no bandwidth taken";
    EXPECT_NE(plat::DebugLogText().find("clock node 2560 did not take 48000 Hz"), std::string::npos)
        << plat::DebugLogText();
    u2rig::CClockNodeDouble::Refuse = false;
    EXPECT_EQ(client.Open(), STATUS_SUCCESS);
    EXPECT_EQ(client.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(client.WaitDone(3));
}

// The device's clock at a fixed offset: after the first feedback the packets carry its rate, with
// one frame more (fast) or less (slow) now and then, and the render buffer holds its level.
struct ClockCase
{
    const char* Profile;
    bool HighSpeed;
    ULONG RateHz;
    int32_t Ppm;
    ULONG Nominal, Odd; // frames of most packets, and of the others
};

const ClockCase kClockCases[] = {
    {"uac2-interface", true, 48000, 500, 6, 7},  // 48,024 Hz: a 7 every 333 microframes
    {"uac2-interface", true, 48000, -500, 6, 5}, // 47,976 Hz: a 5 every 333
    {"uac2-interface-fs", false, 48000, 500, 48, 49}, {"uac2-interface-fs", false, 48000, -500, 48, 47},
    {"uac2-interface", true, 96000, 500, 12, 13},
};

class Uac2StreamClock : public Uac2Stream, public testing::WithParamInterface<ClockCase>
{
};

TEST_P(Uac2StreamClock, RenderPacketsFollowTheDevicesClock)
{
    const ClockCase& c = GetParam();
    Start(c.Profile);
    SetClock(c.Ppm);
    Run(Render(c.HighSpeed), Format8(c.RateHz, c.HighSpeed), false);
    RunForMs(1000);
    Device().ClearRecords();
    const sim::RenderBufferStats before = Streams().RenderBuffer(kRenderEndpoint);
    RunForMs(10000);
    const sim::RenderBufferStats after = Streams().RenderBuffer(kRenderEndpoint);
    const std::vector<ULONG> frames = OutFrames(c.HighSpeed ? 32 : 16);
    const double deviceHz = c.RateHz * (1 + c.Ppm / 1e6);
    const double seconds = (after.LastMicroframe - before.LastMicroframe) / 8000.0;
    const double recorded = frames.size() / (c.HighSpeed ? 8000.0 : 1000.0); // seconds of packets
    const ULONG odd = ULONG(std::count(frames.begin(), frames.end(), c.Odd));
    EXPECT_EQ(odd + std::count(frames.begin(), frames.end(), c.Nominal), frames.size());
    // The host's rate is the device's, to the whole hertz the feedback resolves (it truncates).
    const double resolutionHz = 1.2;
    EXPECT_NEAR(double(odd), std::abs(deviceHz - c.RateHz) * recorded, resolutionHz * recorded + 3);
    EXPECT_NEAR((after.ReceivedFrames - before.ReceivedFrames) / seconds, deviceHz, resolutionHz);
    EXPECT_EQ(after.Underruns, 0u);
    EXPECT_EQ(after.Overflows, 0u);
    EXPECT_TRUE(Streams().SizeErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(Offsets, Uac2StreamClock, testing::ValuesIn(kClockCases));

// Ten virtual minutes of a clock 500 ppm fast, 500 ppm slow, and one that sweeps from -500 to
// +500 ppm: the device plays all along from one priming, and the host sent what its clock asked
// for, 10 s by 10 s and over the whole run.
struct LongCase
{
    const char* Name;
    int32_t Ppm;
    double DriftPpmPerSecond;
};

const LongCase kLongCases[] = {
    {"fast", 500, 0},
    {"slow", -500, 0},
    {"sweep", -500, 1000.0 / 600},
};

class Uac2StreamLong : public Uac2Stream, public testing::WithParamInterface<LongCase>
{
};

TEST_P(Uac2StreamLong, TenMinutesNeitherRunDryNorOver)
{
    const LongCase& c = GetParam();
    Start("uac2-interface");
    SetClock(c.Ppm, c.DriftPpmPerSecond);
    Run(Render(), Format8(48000), false);
    sim::RenderBufferStats last{};
    for (int chunk = 0; chunk < 60; ++chunk)
    {
        RunForMs(10000);
        Device().ClearRecords(); // the packet log would grow by 80,000 packets a chunk
        const sim::RenderBufferStats now = Streams().RenderBuffer(kRenderEndpoint);
        if (chunk > 0)
        {
            // The clock in the middle of the chunk, and the host's rate over it.
            const double ppm = c.Ppm + c.DriftPpmPerSecond * (10.0 * chunk + 5);
            const double hz = (now.ReceivedFrames - last.ReceivedFrames) * 8000.0 /
                              (now.LastMicroframe - last.LastMicroframe);
            EXPECT_NEAR(hz, 48000 * (1 + ppm / 1e6), 1.5) << "10 s from " << 10 * chunk << " s";
        }
        last = now;
    }
    EXPECT_EQ(last.Underruns, 0u);
    EXPECT_EQ(last.Overflows, 0u);
    EXPECT_EQ(last.Primings, 1u);
    // The clock's integral over the run, against what arrived.
    const double seconds = (last.LastMicroframe - last.FirstMicroframe) / 8000.0;
    const double meanPpm = c.Ppm + c.DriftPpmPerSecond * seconds / 2;
    EXPECT_NEAR(double(last.ReceivedFrames), 48000.0 * (1 + meanPpm / 1e6) * seconds, 48000 * 0.025);
    EXPECT_LT(last.MaxFill - last.MinFill, 48000 * 0.015) << "the level wandered";
}

// Minutes of streaming each, under the sanitizers too long for every run: the instantiation's
// name puts them behind the "long" label.
INSTANTIATE_TEST_SUITE_P(LongRun, Uac2StreamLong, testing::ValuesIn(kLongCases));

// A device at the top of the accepted window (1 kHz over 44.1 kHz) asks for packets of up to 46
// frames; each stays within the 45 that a packet slot of the data buffer holds.
TEST_F(Uac2Stream, PacketsStayWithinTheirSlotAtTheTopOfTheFeedbackWindow)
{
    Start("uac2-interface-fs");
    SetClock(22650); // 45,099 Hz as the feedback reads
    Run(Render(false), Format8(44100, false), false);
    RunForMs(1000);
    Device().ClearRecords();
    RunForMs(1000);
    const std::vector<ULONG> frames = OutFrames(16);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(*std::max_element(frames.begin(), frames.end()), 45u);
    EXPECT_GT(std::count(frames.begin(), frames.end(), 45u), LONG(frames.size()) * 9 / 10);
}

// A failed feedback read resets both pipes on the setting in force: no zero-bandwidth setting, no
// restart told to the client, and the stream plays on.
TEST_F(Uac2Stream, AFailedFeedbackReadResetsThePipesAndStreamingGoesOn)
{
    Start("uac2-interface");
    rig::StreamTestClient& client = Run(Render(), Format8(48000), false);
    RunForMs(200);
    client.Forget();
    std::vector<USHORT> functions;
    std::mutex lock;
    UrbTap = [&](PURB urb, bool answered)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!answered && urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER)
            functions.push_back(urb->UrbHeader.Function);
    };
    sim::StreamFaults faults;
    faults.FailFeedbackTransferNumber = 3;
    Streams().SetFaults(faults);
    RunForMs(500);
    Device().ClearRecords();
    RunForMs(500);
    UrbTap = nullptr;
    EXPECT_EQ(functions, (std::vector<USHORT>{URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                                              URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}));
    EXPECT_EQ(client.Restarts(), 0);
    EXPECT_NE(plat::DebugLogText().find("Error_ErrorOccur ntStatus = 0\n"), std::string::npos)
        << plat::DebugLogText();
    EXPECT_GE(DataPackets(false).size(), 3000u) << "streaming again";
}

// One failed OUT packet is the device's business: an asynchronous endpoint is not recovered.
TEST_F(Uac2Stream, AFailedRenderPacketDoesNotRecoverTheStream)
{
    Start("uac2-interface");
    Run(Render(), Format8(48000), false);
    sim::StreamFaults faults;
    faults.Endpoint = kRenderEndpoint;
    faults.FailPacketNumber = 100;
    Streams().SetFaults(faults);
    RunForMs(500);
    EXPECT_EQ(plat::DebugLogText().find("Error_ErrorOccur"), std::string::npos);
}

// The bitmap counts only as far as the device answered: bControlSize bytes, and no more than it
// sent.
TEST_F(Uac2Stream, ValidAlternateSettingsAreReadWithinTheBytesReturned)
{
    Start("uac2-interface");
    ICyclicControl* stream = Render();
    const struct
    {
        std::vector<UCHAR> Answer; // empty: the device's own (bControlSize 2, settings 0 and 1)
        UCHAR Setting;
        bool Valid;
    } cases[] = {
        {{}, 0, true},
        {{}, 1, true},
        {{}, 2, false},
        {{}, 9, false},
        {{1, 0xFF, 0xFF}, 7, true},  // bControlSize 1: eight settings
        {{1, 0xFF, 0xFF}, 9, false}, // ... whatever the bitmap's second byte says
        {{2, 0xFF}, 7, true},        // two bytes claimed, one sent
        {{2, 0xFF}, 9, false},
        {{3}, 1, false}, // no bitmap at all
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(int(c.Setting));
        RewriteControl(
            [&](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
            {
                if (!c.Answer.empty() && setup.RequestType == 0xA1 && setup.Value == 0x0200)
                    answer->Data = c.Answer;
            });
        const uint64_t since = LastSequence();
        EXPECT_EQ(stream->IsAlternateSettingValid(c.Setting, 48000) != FALSE, c.Valid);
        const std::vector<sim::ControlRecord> asked = Requests(0xA1, 0x01, -1, 0x02, -1, since);
        ASSERT_EQ(asked.size(), c.Setting == 0 ? 0u : 1u);
        if (!asked.empty())
        {
            EXPECT_EQ(asked[0].Setup.Value, 0x0200);
            EXPECT_EQ(asked[0].Setup.Index, 1); // the streaming interface
            EXPECT_EQ(asked[0].Setup.Length, 5);
        }
    }
}

// Only the private DSD format is stopped with the vendor request; PCM needs nothing.
TEST_F(Uac2Stream, AbortPipeStopsOnlyTheDsdFormat)
{
    Start("uac2-interface");
    WAVEFORMATEXTENSIBLE dsd = Format8(96000);
    dsd.SubFormat = KSDATAFORMAT_SUBTYPE_DSD;
    ICyclicControl* stream = MakeStream<CUac2RenderStream>(1, {Format8(48000), dsd});
    for (bool isDsd : {false, true})
    {
        SCOPED_TRACE(isDsd ? "DSD" : "PCM");
        rig::StreamTestClient& client = Client();
        client.Format = isDsd ? dsd : Format8(48000);
        ASSERT_EQ(client.Register(stream), STATUS_SUCCESS);
        ASSERT_EQ(client.Open(), STATUS_SUCCESS);
        const uint64_t since = LastSequence();
        EXPECT_EQ(stream->AbortPipe(), STATUS_SUCCESS);
        const std::vector<sim::ControlRecord> stops = Requests(0x41, 0x10, -1, -1, -1, since);
        ASSERT_EQ(stops.size(), isDsd ? 1u : 0u);
        if (isDsd)
        {
            EXPECT_EQ(stops[0].Setup.Value, 0);
            EXPECT_EQ(stops[0].Setup.Index, 1);
            EXPECT_EQ(stops[0].Setup.Length, 0);
        }
        client.Leave();
    }
}

// Capture hands over exactly what each transfer brought: the device's signal frame for frame,
// and an empty packet as one packet of silence one frame over the nominal.
TEST_F(Uac2Stream, CaptureDeliversExactlyWhatTheDeviceSent)
{
    Start("uac2-interface");
    const WAVEFORMATEXTENSIBLE format = rig::ClientFormat(2, 48000, 4, 24, 3);
    ICyclicControl* stream = MakeStream<CUac2CaptureStream>(2, {format});
    sim::StreamFaults faults;
    faults.EmptyInEvery = 50;
    Streams().SetFaults(faults);
    rig::StreamTestClient& client = Run(stream, format);
    ASSERT_TRUE(client.WaitDone(20));
    client.Stop();
    sim::StreamFormat device;
    ASSERT_TRUE(Streams().CurrentFormat(kCaptureEndpoint, &device));
    EXPECT_EQ(Controls().ClockRateHz(u2rig::kClockEntity), 48000u);
    // The oracle: the device's record, packet by packet, in the client's order.
    std::vector<UCHAR> expected;
    size_t empties = 0;
    for (const sim::StreamPacketRecord& r : DataPackets(true))
    {
        if (r.Bytes == 0)
        {
            ++empties;
            expected.insert(expected.end(), (48000 / 8000 + 1) * 8, 0);
            continue;
        }
        for (ULONG f = 0; f < r.Bytes / 8; ++f)
        {
            UCHAR frame[8];
            sim::StreamSignalFrame(device, r.FirstSample + f, frame);
            expected.insert(expected.end(), frame, frame + 8);
        }
    }
    EXPECT_GT(empties, 0u);
    const std::vector<UCHAR> received = client.Received();
    ASSERT_GE(received.size(), 20u * 10 * 48 * 8);
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "the captured bytes differ from the device's";
    const std::vector<ULONG> done = client.DoneBytes();
    EXPECT_EQ(std::accumulate(done.begin(), done.end(), 0ull), received.size());
}

} // namespace
