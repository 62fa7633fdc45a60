// Clients of one stream on the real objects: who leads a shared stream through every hand-over
// between the wave stream (priority 3) and the ASIO path (priority 5), and the refusals of
// registration, open, start, stop and close. The device's own state is the oracle: the
// alternate setting and rate in force, and whose samples cross the bus.
#include "support/stream_rig.h"

#include "plat_pool.h"

#include <functional>
#include <string>
#include <vector>

namespace
{

using rig::StreamTestClient;

class StreamingClients : public rig::StreamRig
{
protected:
    void SetUp() override
    {
        rig::StreamRig::SetUp();
        PlugBuiltin("uac1-headset");
    }
    // The wave client streams 16-bit at 48 kHz (setting 1), the ASIO client 24-bit at 44.1 kHz
    // (setting 2), so the device shows at once who leads.
    StreamTestClient& Wave()
    {
        if (!m_pWave)
            m_pWave = Registered(STREAM_CLIENT_PRIORITY_WAVE, rig::ClientFormat(2, 48000, 2, 16, 3), 21);
        return *m_pWave;
    }
    StreamTestClient& Asio()
    {
        if (!m_pAsio)
            m_pAsio = Registered(STREAM_CLIENT_PRIORITY_ASIO, rig::ClientFormat(2, 44100, 3, 24, 3), 55);
        return *m_pAsio;
    }
    StreamTestClient* Registered(ULONG priority, const WAVEFORMATEXTENSIBLE& format, uint32_t seed)
    {
        StreamTestClient& client = Client(priority, seed);
        client.Format = format;
        client.FramesPerTransfer = priority == STREAM_CLIENT_PRIORITY_WAVE ? 5 : 2;
        client.TransfersInFlight = priority == STREAM_CLIENT_PRIORITY_WAVE ? 3 : 4;
        EXPECT_EQ(client.Register(Stream(0)), STATUS_SUCCESS);
        return &client;
    }
    // Who fills the device's packets over the next 30 ms: "wave", "asio", "none".
    std::string Leader()
    {
        const LONG wave = Wave().Count(StreamNotifyRenderData), asio = Asio().Count(StreamNotifyRenderData);
        const size_t packets = DataPackets(false).size();
        RunForMs(30);
        const bool waveFills = Wave().Count(StreamNotifyRenderData) > wave;
        const bool asioFills = Asio().Count(StreamNotifyRenderData) > asio;
        const bool moving = DataPackets(false).size() > packets + 10;
        if ((waveFills && asioFills) || moving != (waveFills || asioFills))
            return "wave " + std::to_string(waveFills) + " asio " + std::to_string(asioFills) + " packets " +
                   std::to_string(moving);
        return waveFills ? "wave" : asioFills ? "asio" : "none";
    }
    // The render interface's setting and rate as the device holds them: "1@48000", "0".
    std::string DeviceState()
    {
        sim::StreamFormat f;
        if (!Streams().CurrentFormat(0x01, &f) || f.AlternateSetting == 0)
            return "0";
        return std::to_string(f.AlternateSetting) + "@" + std::to_string(f.RateHz);
    }

    StreamTestClient* m_pWave = nullptr;
    StreamTestClient* m_pAsio = nullptr;
};

// One step of a hand-over script and what follows it: who leads, the device's setting, how
// many restarts (configure with the restart bit) each client has been told of so far, and the
// step's status. "start late" asks for a start frame the bus refuses, so the start fails.
struct Step
{
    const char* Action; // "open wave", "start asio", ...
    const char* Leader; // "wave", "asio", "none"
    const char* Device; // setting@rate, or "0"
    LONG WaveRestarts, AsioRestarts;
    NTSTATUS Status = STATUS_SUCCESS;
};

TEST_F(StreamingClients, LeadershipFollowsPriorityThroughEveryHandOver)
{
    struct Script
    {
        const char* Name;
        std::vector<Step> Steps;
    };
    // The stream leads in the format of its open list's head; it runs while a started client
    // leads. Each row: action, leader, device setting, restarts told to wave and to ASIO.
    const Script scripts[] = {
        {"ASIO takes over the running wave stream and hands it back",
         {{"open wave", "none", "1@48000", 0, 0},
          {"start wave", "wave", "1@48000", 1, 0},
          {"open asio", "none", "2@44100", 1, 0},
          {"start asio", "asio", "2@44100", 1, 1},
          {"stop asio", "wave", "1@48000", 2, 1},
          {"close asio", "wave", "1@48000", 2, 1},
          {"stop wave", "none", "1@48000", 2, 1},
          {"close wave", "none", "0", 2, 1}}},
        {"an opened, never started ASIO client hands the stream back when it closes",
         {{"open wave", "none", "1@48000", 0, 0},
          {"start wave", "wave", "1@48000", 1, 0},
          {"open asio", "none", "2@44100", 1, 0},
          {"close asio", "wave", "1@48000", 2, 0},
          {"close wave", "none", "0", 2, 0}}},
        {"the wave client comes and goes under a running ASIO client",
         {{"open asio", "none", "2@44100", 0, 0},
          {"start asio", "asio", "2@44100", 0, 1},
          {"open wave", "asio", "2@44100", 0, 1},
          {"start wave", "asio", "2@44100", 0, 1},
          {"stop wave", "asio", "2@44100", 0, 1},
          {"start wave", "asio", "2@44100", 0, 1},
          {"stop asio", "wave", "1@48000", 1, 1},
          {"close asio", "wave", "1@48000", 1, 1},
          {"stop wave", "none", "1@48000", 1, 1},
          {"close wave", "none", "0", 1, 1}}},
        {"a failed ASIO start gives the stream back to the wave client",
         {{"open wave", "none", "1@48000", 0, 0},
          {"start wave", "wave", "1@48000", 1, 0},
          {"open asio", "none", "2@44100", 1, 0},
          {"start late asio", "wave", "1@48000", 2, 1, STATUS_UNSUCCESSFUL},
          {"close asio", "wave", "1@48000", 2, 1},
          {"close wave", "none", "0", 2, 1}}},
        {"a failed start with nobody else closes the stream",
         {{"open wave", "none", "1@48000", 0, 0},
          {"start late wave", "none", "0", 1, 0, STATUS_UNSUCCESSFUL},
          {"close wave", "none", "0", 1, 0}}},
        {"the wave stream pauses and runs again",
         {{"open wave", "none", "1@48000", 0, 0},
          {"start wave", "wave", "1@48000", 1, 0},
          {"stop wave", "none", "1@48000", 1, 0},
          {"start wave", "wave", "1@48000", 2, 0},
          {"close wave", "none", "0", 2, 0}}},
    };
    for (const Script& script : scripts)
    {
        SCOPED_TRACE(script.Name);
        for (const Step& step : script.Steps)
        {
            SCOPED_TRACE(step.Action);
            const std::string action = step.Action;
            StreamTestClient& client = action.find("wave") != std::string::npos ? Wave() : Asio();
            const std::string verb = action.substr(0, action.find(' '));
            const bool late = action.find("late") != std::string::npos;
            const NTSTATUS status = verb == "open"    ? client.Open()
                                    : verb == "start" ? client.Start(late ? client.OpenFrame + 100000 : 0)
                                    : verb == "stop"  ? client.Stop()
                                                      : client.Close();
            ASSERT_EQ(status, step.Status);
            EXPECT_EQ(Leader(), step.Leader);
            EXPECT_EQ(DeviceState(), step.Device);
            EXPECT_EQ(Wave().Restarts(), step.WaveRestarts);
            EXPECT_EQ(Asio().Restarts(), step.AsioRestarts);
        }
        // Every packet fit the format in force when it went out.
        EXPECT_EQ(Streams().SizeErrors(), std::vector<std::string>{});
        LeaveAll();
        m_pWave = m_pAsio = nullptr;
        Streams().ClearRecords();
    }
}

// A client of the priority an open client already has never shares the lead, and every slot
// refuses a client that is not where the slot needs it; the refused client stays where it was.
TEST_F(StreamingClients, SlotsRefuseClientsThatAreNotWhereTheyNeedToBe)
{
    StreamTestClient& twin =
        Registered(STREAM_CLIENT_PRIORITY_WAVE, rig::ClientFormat(2, 44100, 2, 16, 3), 7)[0];
    struct Refusal
    {
        const char* Name;
        std::function<NTSTATUS()> Act;
        NTSTATUS Status;
    };
    ASSERT_EQ(Wave().Open(), STATUS_SUCCESS);
    const Refusal refusals[] = {
        {"unregister an open client", [&] { return Wave().Unregister(); }, STATUS_UNSUCCESSFUL},
        {"open a second client of the same priority", [&] { return twin.Open(); }, STATUS_INVALID_PARAMETER},
        {"start a client that is not open", [&] { return twin.Start(); }, STATUS_INVALID_PARAMETER},
        {"stop a client that is not started", [&] { return Wave().Stop(); }, STATUS_INVALID_PARAMETER},
        {"close a client that is not open", [&] { return twin.Close(); }, STATUS_INVALID_PARAMETER},
        {"open an unknown key",
         [&]
         {
             ULONG a, b;
             return Stream(0)->OpenClient(&a, &a, &b);
         },
         STATUS_INVALID_PARAMETER},
        {"unregister an unknown key", [&] { return Stream(0)->UnregisterClient(nullptr); },
         STATUS_UNSUCCESSFUL},
    };
    for (const Refusal& r : refusals)
    {
        EXPECT_EQ(r.Act(), r.Status) << r.Name;
        EXPECT_EQ(DeviceState(), "1@48000") << r.Name;
    }
    // The first client still leads and streams; the twin can be opened once the first closes.
    ASSERT_EQ(Wave().Start(), STATUS_SUCCESS);
    EXPECT_EQ(Leader(), "wave");
    ASSERT_EQ(Wave().Stop(), STATUS_SUCCESS);
    ASSERT_EQ(Wave().Close(), STATUS_SUCCESS);
    EXPECT_EQ(DeviceState(), "0");
    ASSERT_EQ(twin.Open(), STATUS_SUCCESS);
    EXPECT_EQ(DeviceState(), "1@44100");
}

// Registration refuses what the stream cannot serve and keeps nothing of it; a plain PCM format
// finds the setting whose numbers it has.
TEST_F(StreamingClients, RegistrationRefusesWhatTheStreamCannotServe)
{
    struct Case
    {
        const char* Name;
        WAVEFORMATEXTENSIBLE Format;
        ULONG Ms, InFlight;
        bool Callback;
        ULONG FailTag; // an allocation tag that fails, or 0
        bool Registers;
    };
    WAVEFORMATEXTENSIBLE plain = rig::ClientFormat(2, 44100, 3, 24, 3);
    plain.Format.wFormatTag = WAVE_FORMAT_PCM;
    plain.Format.cbSize = 0;
    const WAVEFORMATEXTENSIBLE good = rig::ClientFormat(2, 48000, 2, 16, 3);
    const Case cases[] = {
        {"a rate the device lacks", rig::ClientFormat(2, 96000, 2, 16, 3), 10, 3, true, 0, false},
        {"a channel mask the device lacks", rig::ClientFormat(2, 48000, 2, 16, 0x30), 10, 3, true, 0, false},
        {"no milliseconds per transfer", good, 0, 3, true, 0, false},
        {"41 ms per transfer", good, 41, 3, true, 0, false},
        {"no transfers in flight", good, 10, 0, true, 0, false},
        {"eleven transfers in flight", good, 10, 11, true, 0, false},
        {"no callback", good, 10, 3, false, 0, false},
        {"no memory for the record", good, 10, 3, true, MAKE_POOL_TAG('U', 'S', 'B', 'S'), false},
        {"40 ms per transfer, ten in flight", good, 40, 10, true, 0, true},
        {"plain PCM finds the 24-bit setting", plain, 10, 3, true, 0, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        const plat::PoolUsage before = plat::PoolUsageForTag(MAKE_POOL_TAG('U', 'S', 'B', 'S'));
        StreamClient* record = reinterpret_cast<StreamClient*>(1);
        if (c.FailTag)
            plat::FailAllocationsWithTag(c.FailTag);
        const NTSTATUS status = Stream(0)->RegisterClient(
            STREAM_CLIENT_PRIORITY_WAVE, &c.Format, c.Ms, c.InFlight,
            c.Callback ? [](PVOID, PVOID, PVOID) {} : PCALLBACK_FUNCTION(nullptr), nullptr, &record);
        plat::ClearPoolFailures();
        EXPECT_EQ(NT_SUCCESS(status), c.Registers) << std::hex << status;
        if (!c.Registers)
        {
            EXPECT_EQ(record, nullptr);
            EXPECT_EQ(plat::PoolUsageForTag(MAKE_POOL_TAG('U', 'S', 'B', 'S')).LiveBlocks, before.LiveBlocks);
            continue;
        }
        ULONG frames = 0, frame = 0;
        ASSERT_EQ(Stream(0)->OpenClient(record->Registration, &frames, &frame), STATUS_SUCCESS);
        EXPECT_EQ(DeviceState(), std::string(c.Format.Format.wBitsPerSample == 24 ? "2@" : "1@") +
                                     std::to_string(c.Format.Format.nSamplesPerSec));
        EXPECT_EQ(Stream(0)->CloseClient(record->Registration), STATUS_SUCCESS);
        EXPECT_EQ(Stream(0)->UnregisterClient(record->Registration), STATUS_SUCCESS);
    }
}

// An open that the device or the pool refuses leaves the client registered, gives the bandwidth
// back, keeps nothing, and a later open streams.
TEST_F(StreamingClients, AFailedOpenLeavesTheClientRegisteredAndTheDeviceIdle)
{
    struct Case
    {
        const char* Name;
        ULONG FailTag; // allocations of this tag fail, or 0
        bool StallSetInterface;
    };
    const Case cases[] = {
        {"the device stalls the streaming setting", 0, true},
        {"no memory for the transfers", MAKE_POOL_TAG('U', 'R', 'B', ' '), false},
        {"no memory for the staging ring", MAKE_POOL_TAG('U', 'S', '1', '0'), false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        StreamTestClient& client = Wave();
        if (c.StallSetInterface)
        {
            sim::DeviceFaults stall;
            stall.StallMatching = true;
            stall.StallFilter.Request = USB_REQUEST_SET_INTERFACE;
            stall.StallFilter.Value = 1;
            stall.StallFilter.Index = 1;
            SetDeviceFaults(stall);
        }
        if (c.FailTag)
            plat::FailAllocationsWithTag(c.FailTag);
        EXPECT_NE(client.Open(), STATUS_SUCCESS);
        plat::ClearPoolFailures();
        SetDeviceFaults(sim::DeviceFaults{});
        EXPECT_EQ(DeviceState(), "0");
        EXPECT_EQ(client.Close(), STATUS_INVALID_PARAMETER) << "the client is not open";
        ASSERT_EQ(client.Open(), STATUS_SUCCESS);
        ASSERT_EQ(client.Start(), STATUS_SUCCESS);
        EXPECT_EQ(Leader(), "wave");
        client.Leave();
        m_pWave = nullptr;
    }
}

// The device goes while streams run: nothing more reaches the bus, every client still stops,
// closes and leaves, and removal leaves nothing of the driver behind (the rig's teardown).
TEST_F(StreamingClients, SurpriseRemovalWhileStreamingLeavesNothingBehind)
{
    struct Case
    {
        const char* Name;
        bool Wave, Asio, Capture;
    } cases[] = {
        {"the wave client renders", true, false, false},
        {"the ASIO client leads a shared render stream", true, true, false},
        {"the microphone captures", false, false, true},
        {"render and capture at once", true, false, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        if (c.Wave)
        {
            ASSERT_EQ(Wave().Open() | Wave().Start(), STATUS_SUCCESS);
        }
        if (c.Asio)
        {
            ASSERT_EQ(Asio().Open() | Asio().Start(), STATUS_SUCCESS);
        }
        StreamTestClient* microphone =
            c.Capture ? &RunClient(Stream(1), rig::ClientFormat(1, 48000, 2, 16, 4), 10, 3) : nullptr;
        RunForMs(50);
        EXPECT_FALSE(Streams().Packets().empty());
        SurpriseRemove();
        RunForMs(50);
        const size_t packets = Streams().Packets().size();
        const LONG heard = Wave().Heard(StreamNotifyRenderData) +
                           (microphone ? microphone->Heard(StreamNotifyCaptureData) : 0);
        RunForMs(200);
        EXPECT_EQ(Streams().Packets().size(), packets) << "packets after removal";
        EXPECT_EQ(Wave().Heard(StreamNotifyRenderData) +
                      (microphone ? microphone->Heard(StreamNotifyCaptureData) : 0),
                  heard);
        LeaveAll();
        m_pWave = m_pAsio = nullptr;
        TearDown();
        SetUp();
    }
}

// The first transfer goes out at the frame the client asks for; a frame already past becomes
// the current frame plus two, and a hand-back restarts five frames after the reopening.
TEST_F(StreamingClients, StreamsStartAtTheFrameTheClientAsksFor)
{
    auto firstFrame = [&] { return DataPackets(false).empty() ? 0u : DataPackets(false)[0].Frame; };
    ASSERT_EQ(Wave().Open(), STATUS_SUCCESS);
    ASSERT_EQ(Wave().Start(Wave().OpenFrame + 7), STATUS_SUCCESS);
    RunForMs(20);
    EXPECT_EQ(firstFrame(), Wave().OpenFrame + 7);
    ASSERT_EQ(Wave().Stop(), STATUS_SUCCESS);
    Streams().ClearRecords();
    ULONG now = 0;
    ASSERT_EQ(Usb()->GetCurrentFrameNumber(&now), STATUS_SUCCESS);
    ASSERT_EQ(Wave().Start(2), STATUS_SUCCESS);
    RunForMs(20);
    EXPECT_EQ(firstFrame(), now + 2);
    // The ASIO client takes the stream and gives it back when it stops.
    ASSERT_EQ(Asio().Open() | Asio().Start(), STATUS_SUCCESS);
    RunForMs(20);
    Streams().ClearRecords();
    ASSERT_EQ(Asio().Stop(), STATUS_SUCCESS);
    RunForMs(20);
    // The stream reopens once the ASIO client's last transfer is back, the frame after its last
    // packet; the wave client's packets (48 frames of 4 bytes) follow five frames on.
    const std::vector<sim::StreamPacketRecord> packets = DataPackets(false);
    const auto wave = std::find_if(packets.begin(), packets.end(),
                                   [](const sim::StreamPacketRecord& r) { return r.Bytes == 192; });
    ASSERT_TRUE(wave != packets.begin() && wave != packets.end());
    EXPECT_EQ(wave->Frame, (wave - 1)->Frame + 1 + 5);
}

} // namespace
