// The lifecycle of a stream's clients on the real objects: a stop on a device that stopped
// completing, a failed open that leaves every record where its owner finds it again, the last
// transfers of a stop reported done, and processing objects in the pipeline from the first
// transfer on. The simulated device's record (packets, transfers, selected setting) is the oracle.
#include "support/stream_rig.h"

#include "driver/wave/stream_engine.h"
#include "plat_pool.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

namespace
{

using rig::StreamTestClient;

// The staging ring's pool tag: failing it makes every open of a stream fail, whoever asks.
constexpr ULONG kRingTag = MAKE_POOL_TAG('U', 'S', '1', '0');
// 10 ms per transfer at full speed: one packet per millisecond.
constexpr size_t kPacketsPerTransfer = 10;

// A client's processing object: it sets every sample of every pass to its value and counts the
// passes of each list. It answers for the pipeline interface unless it is told not to.
class FillObject : public IPipelineObject
{
public:
    FillObject(float value, bool pipeline) : m_Value(value), m_bPipeline(pipeline) {}

    STDMETHODIMP QueryInterface(REFIID id, PVOID* out) override
    {
        const bool known = IsEqualGUIDAligned(id, IID_IUnknown) ||
                           (m_bPipeline && IsEqualGUIDAligned(id, IID_IPipelineObject));
        *out = known ? static_cast<IPipelineObject*>(this) : nullptr;
        if (!known)
            return STATUS_INVALID_PARAMETER;
        AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++m_Refs); }
    STDMETHODIMP_(ULONG) Release() override { return ULONG(--m_Refs); }
    STDMETHODIMP_(NTSTATUS) ProcessEarly(PCWAVEFORMATEXTENSIBLE format, PVOID data, ULONG frames) override
    {
        ++Early;
        return Fill(format, data, frames);
    }
    STDMETHODIMP_(NTSTATUS) ProcessLate(PCWAVEFORMATEXTENSIBLE format, PVOID data, ULONG frames) override
    {
        ++Late;
        return Fill(format, data, frames);
    }

    LONG Refs() const { return m_Refs; }
    std::atomic<LONG> Early{0}, Late{0};

private:
    NTSTATUS Fill(PCWAVEFORMATEXTENSIBLE format, PVOID data, ULONG frames)
    {
        auto channels = static_cast<float* const*>(data);
        for (ULONG c = 0; c < format->Format.nChannels; ++c)
            std::fill(channels[c], channels[c] + frames, m_Value);
        return STATUS_SUCCESS;
    }

    const float m_Value;
    const bool m_bPipeline;
    std::atomic<LONG> m_Refs{1};
};

class StreamLifecycle : public rig::StreamRig
{
protected:
    // The headset started, and its stream of the direction with the first 48 kHz format it offers.
    ICyclicControl* Headset(bool capture, WAVEFORMATEXTENSIBLE* format)
    {
        EXPECT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
        for (ULONG i = 0; i < StreamCount(); ++i)
        {
            if (IsCapture(i) != capture)
                continue;
            for (const WAVEFORMATEXTENSIBLE& offered : Formats(i))
            {
                if (offered.Format.nSamplesPerSec == 48000)
                {
                    *format = offered;
                    return Stream(i);
                }
            }
        }
        ADD_FAILURE() << "the headset has no 48 kHz " << (capture ? "capture" : "render") << " stream";
        return nullptr;
    }

    StreamTestClient& NewClient(ULONG priority, const WAVEFORMATEXTENSIBLE& format)
    {
        StreamTestClient& client = Client(priority, 13 + priority);
        client.Format = format;
        return client;
    }

    // A processing object that lives until the fixture goes, after the stream released it.
    FillObject& Object(float value, bool pipeline)
    {
        m_Objects.push_back(std::make_unique<FillObject>(value, pipeline));
        return *m_Objects.back();
    }

    // Lets virtual time run, a millisecond at a time, until a transfer of the endpoint failed.
    bool WaitForTransferFailure(uint8_t endpoint)
    {
        for (int ms = 0; ms < 1000; ++ms)
        {
            for (const plat::UsbBusTransferRecord& r : Device().Transfers())
            {
                if (r.EndpointAddress == endpoint && r.ErrorCount != 0)
                    return true;
            }
            RunForMs(1);
        }
        return false;
    }

    // Transfers of the endpoint the bus completed with the status, as the device recorded them.
    size_t Transfers(uint8_t endpoint, NTSTATUS status)
    {
        size_t count = 0;
        for (const plat::UsbBusTransferRecord& r : Device().Transfers())
            count += r.EndpointAddress == endpoint && r.IrpStatus == status;
        return count;
    }

private:
    std::vector<std::unique_ptr<FillObject>> m_Objects;
};

// ---- A stop on a device that stopped completing ----

// What the device does to the transfers out before the client stops.
enum class Trouble
{
    Stuck,         // it stops completing them
    FailsAndStuck, // one fails, and it stops completing the others while the worker recovers
    StuckRemoved,  // it stops completing them, and the system then removes it
    StuckLost,     // it stops completing them, and the hub then reports it gone: the abort
                   // is refused, and each transfer is cancelled
};

struct StuckCase
{
    const char* Name;
    bool Capture;
    Trouble What;
};

const StuckCase kStuckCases[] = {
    {"render, stuck", false, Trouble::Stuck},
    {"capture, stuck", true, Trouble::Stuck},
    {"render, stuck while recovering", false, Trouble::FailsAndStuck},
    {"capture, stuck while recovering", true, Trouble::FailsAndStuck},
    {"render, stuck and removed", false, Trouble::StuckRemoved},
    {"capture, stuck and removed", true, Trouble::StuckRemoved},
    {"render, stuck and lost", false, Trouble::StuckLost},
    {"capture, stuck and lost", true, Trouble::StuckLost},
};

class StreamStuck : public StreamLifecycle, public testing::WithParamInterface<StuckCase>
{
};

TEST_P(StreamStuck, StopAbortsTransfersThatNeverComeBack)
{
    const StuckCase& c = GetParam();
    WAVEFORMATEXTENSIBLE format{};
    ICyclicControl* stream = Headset(c.Capture, &format);
    ASSERT_NE(stream, nullptr);
    StreamTestClient& client = NewClient(STREAM_CLIENT_PRIORITY_WAVE, format);
    ASSERT_EQ(client.Run(stream), STATUS_SUCCESS);
    ASSERT_TRUE(client.WaitDone(5));
    const uint8_t endpoint = StreamingEndpoint(c.Capture);
    ASSERT_NE(endpoint, 0);

    if (c.What == Trouble::FailsAndStuck)
    {
        sim::StreamFaults fail;
        fail.FailTransferNumber = 1;
        SetStreamFaults(fail);
        ASSERT_TRUE(WaitForTransferFailure(endpoint));
    }
    sim::StreamFaults stuck;
    stuck.StopCompleting = true;
    SetStreamFaults(stuck);
    RunForMs(100); // every transfer out is held by now
    if (c.What == Trouble::StuckRemoved)
    {
        EXPECT_EQ(Pnp().SurpriseRemove(), STATUS_SUCCESS);
    }
    if (c.What == Trouble::StuckLost)
    {
        // Leaving D0 asks the hub, which no longer sees the device.
        ScriptPort({sim::PortStatusAnswer{STATUS_SUCCESS, 0}});
        EXPECT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    }
    EXPECT_EQ(client.Stop(), STATUS_SUCCESS);

    // Every transfer the client filled was reported done.
    if (!c.Capture)
    {
        EXPECT_EQ(client.Count(StreamNotifyTransferDone), client.Count(StreamNotifyRenderData));
    }
    const bool removed = c.What == Trouble::StuckRemoved;
    if (c.What == Trouble::StuckLost)
    {
        const size_t cancelled = Transfers(endpoint, STATUS_CANCELLED);
        EXPECT_GE(cancelled, 1u);
        EXPECT_LE(cancelled, size_t(client.TransfersInFlight));
        EXPECT_NE(plat::DebugLogText().find("cancelling"), std::string::npos);
        // The removal at teardown refuses the status read's abort too: it cancels that read.
    }
    else if (!removed)
    {
        // The held transfers came back cancelled, at most a chain of them each time the pipe
        // was aborted (a removal fails them on the bus instead, without a record), and they are
        // fit to go out again once the device answers.
        const size_t cancelled = Transfers(endpoint, STATUS_CANCELLED);
        const size_t aborts = c.What == Trouble::FailsAndStuck ? 2 : 1;
        EXPECT_GE(cancelled, aborts);
        EXPECT_LE(cancelled, aborts * client.TransfersInFlight);
        SetStreamFaults(sim::StreamFaults());
        const size_t before = DataPackets(c.Capture).size();
        ASSERT_EQ(client.Start(), STATUS_SUCCESS);
        EXPECT_TRUE(client.WaitDone(client.Done() + 5));
        EXPECT_GE(DataPackets(c.Capture).size(), before + 5 * kPacketsPerTransfer);
        EXPECT_EQ(Transfers(endpoint, STATUS_CANCELLED), cancelled);
        EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
    }
    client.Leave();
    if (c.What == Trouble::Stuck || c.What == Trouble::FailsAndStuck)
    {
        EXPECT_EQ(StreamingEndpoint(c.Capture), 0) << "the interface still holds bandwidth";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamStuck, testing::ValuesIn(kStuckCases));

// ---- Every filled transfer is reported done ----

// How the leading client stops leading: it is the only one and stops, or it hands the stream
// back to a lower client by stopping or by closing while started.
enum class Leaving
{
    OnlyStops,
    LeaderStops,
    LeaderCloses,
};

struct DoneCase
{
    const char* Name;
    bool Capture;
    Leaving How;
};

const DoneCase kDoneCases[] = {
    {"render, the only client stops", false, Leaving::OnlyStops},
    {"render, the leader stops, the next takes over", false, Leaving::LeaderStops},
    {"render, the leader closes while started", false, Leaving::LeaderCloses},
    {"capture, the only client stops", true, Leaving::OnlyStops},
    {"capture, the leader stops, the next takes over", true, Leaving::LeaderStops},
};

class StreamDone : public StreamLifecycle, public testing::WithParamInterface<DoneCase>
{
};

TEST_P(StreamDone, EveryFilledTransferIsReportedDone)
{
    const DoneCase& c = GetParam();
    WAVEFORMATEXTENSIBLE format{};
    ICyclicControl* stream = Headset(c.Capture, &format);
    ASSERT_NE(stream, nullptr);
    const plat::PoolSnapshot closed = plat::TakePoolSnapshot();
    StreamTestClient& wave = NewClient(STREAM_CLIENT_PRIORITY_WAVE, format);
    ASSERT_EQ(wave.Run(stream), STATUS_SUCCESS);
    ASSERT_TRUE(wave.WaitDone(4));
    StreamTestClient* leader = &wave;
    if (c.How != Leaving::OnlyStops)
    {
        // The higher client takes the stream over, and gives it back.
        StreamTestClient& asio = NewClient(STREAM_CLIENT_PRIORITY_ASIO, format);
        ASSERT_EQ(asio.Run(stream), STATUS_SUCCESS);
        ASSERT_TRUE(asio.WaitDone(4));
        leader = &asio;
        EXPECT_EQ(c.How == Leaving::LeaderStops ? asio.Stop() : asio.Close(), STATUS_SUCCESS);
        EXPECT_TRUE(wave.WaitDone(wave.Done() + 4)) << "the lower client does not stream again";
        EXPECT_EQ(wave.Stop(), STATUS_SUCCESS);
    }
    else
    {
        EXPECT_EQ(wave.Stop(), STATUS_SUCCESS);
    }

    // Render: each client was told of every transfer it filled, the leader of its last ones
    // too, and every filled transfer reached the device: nothing went out unfilled. Capture:
    // everything the device sent reached the client that led when it arrived, the last
    // transfers of each leader's stop too.
    LONG filled = 0;
    size_t received = 0;
    for (StreamTestClient* client : {&wave, leader})
    {
        const char* who = client == &wave ? "wave client" : "leader";
        EXPECT_GT(client->Count(StreamNotifyTransferDone), 0) << who;
        if (!c.Capture)
        {
            EXPECT_EQ(client->Count(StreamNotifyTransferDone), client->Count(StreamNotifyRenderData)) << who;
        }
        filled += client->Count(StreamNotifyRenderData);
        received += client->Received().size();
        if (leader == &wave)
            break;
    }
    if (c.Capture)
    {
        size_t sent = 0;
        for (const sim::StreamPacketRecord& r : DataPackets(true))
            sent += r.Bytes;
        EXPECT_EQ(received, sent);
    }
    else
    {
        EXPECT_EQ(DataPackets(false).size(), size_t(filled) * kPacketsPerTransfer);
    }
    // Once every client has gone, the stream holds nothing that opening took, the record of
    // the zero-bandwidth setting included.
    wave.Leave();
    leader->Leave();
    EXPECT_EQ(plat::PoolLeaksSince(closed), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamDone, testing::ValuesIn(kDoneCases));

// ---- A failed open takes out the record that failed ----

struct OpenFailCase
{
    const char* Name;
    ULONG Priority; // of the client whose open fails, against the open wave (3) and ASIO (5) clients
};

const OpenFailCase kOpenFailCases[] = {
    {"below the open head", 4},
    {"below every open client", 1},
    {"the new head", 6},
};

class StreamOpenFails : public StreamLifecycle, public testing::WithParamInterface<OpenFailCase>
{
};

// The stream cannot be opened for anyone (its ring cannot be had): the wave client's start
// fails, which leaves the stream closed and both older clients open; a third client's open then
// fails too. Afterwards every client is where its own calls put it, so each can walk on.
TEST_P(StreamOpenFails, EveryRecordStaysWhereItsClientLeftIt)
{
    const OpenFailCase& c = GetParam();
    WAVEFORMATEXTENSIBLE format{};
    ICyclicControl* stream = Headset(false, &format);
    ASSERT_NE(stream, nullptr);
    StreamTestClient& wave = NewClient(STREAM_CLIENT_PRIORITY_WAVE, format);
    StreamTestClient& asio = NewClient(STREAM_CLIENT_PRIORITY_ASIO, format);
    StreamTestClient& late = NewClient(c.Priority, format);
    for (StreamTestClient* client : {&wave, &asio})
    {
        ASSERT_EQ(client->Register(stream), STATUS_SUCCESS);
        ASSERT_EQ(client->Open(), STATUS_SUCCESS);
    }
    ASSERT_EQ(late.Register(stream), STATUS_SUCCESS);

    plat::FailAllocationsWithTag(kRingTag);
    EXPECT_EQ(wave.Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(late.Open(), STATUS_INSUFFICIENT_RESOURCES);
    plat::ClearPoolFailures();
    EXPECT_EQ(StreamingEndpoint(false), 0) << "a failed open keeps the bandwidth";

    // The failed client is registered and nothing else: it opens now.
    EXPECT_EQ(late.Open(), STATUS_SUCCESS);
    // The older clients stayed open: the ASIO client starts and streams, then all leave.
    ASSERT_EQ(asio.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(asio.WaitDone(3));
    EXPECT_NE(StreamingEndpoint(false), 0);
    EXPECT_EQ(asio.Stop(), STATUS_SUCCESS);
    for (StreamTestClient* client : {&asio, &wave, &late})
    {
        EXPECT_EQ(client->Close(), STATUS_SUCCESS);
        EXPECT_EQ(client->Unregister(), STATUS_SUCCESS);
    }
    EXPECT_EQ(StreamingEndpoint(false), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamOpenFails, testing::ValuesIn(kOpenFailCases));

// ---- Processing objects of the pipeline ----

struct ObjectCase
{
    const char* Name;
    bool Capture;
    ULONG Priority;
    bool Late; // which list the object joins: late (list C) or early (list B)
};

// Render: priority 1 runs late and 2 early; capture the other way round.
const ObjectCase kObjectCases[] = {
    {"render, priority 2, early", false, 2, false},
    {"render, priority 1, late", false, 1, true},
    {"capture, priority 1, early", true, 1, false},
    {"capture, priority 2, late", true, 2, true},
};

class StreamObject : public StreamLifecycle, public testing::WithParamInterface<ObjectCase>
{
};

// 16-bit samples: 0.25 is 0x2000, -0.5 is 0xC000.
TEST_P(StreamObject, ProcessesEveryTransferFromTheFirst)
{
    const ObjectCase& c = GetParam();
    WAVEFORMATEXTENSIBLE format{};
    ICyclicControl* stream = Headset(c.Capture, &format);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(format.Format.wBitsPerSample, 16);
    const int16_t expected = c.Late ? int16_t(-0x4000) : int16_t(0x2000);
    FillObject& object = Object(c.Late ? -0.5f : 0.25f, true);
    StreamTestClient& client = NewClient(c.Priority, format);
    ASSERT_EQ(client.Register(stream), STATUS_SUCCESS);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    const uint8_t endpoint = StreamingEndpoint(c.Capture);
    ULONG frames = 0;
    ASSERT_EQ(stream->StartClient(client.Key(), client.OpenFrame + 2, &frames, &object), STATUS_SUCCESS);
    EXPECT_EQ(object.Refs(), 2) << "the pipeline holds one reference";
    EXPECT_TRUE(client.WaitDone(5));
    EXPECT_EQ(stream->StopClient(client.Key(), &object), STATUS_SUCCESS);
    EXPECT_EQ(object.Refs(), 1) << "the pipeline keeps a reference after the stop";
    EXPECT_GT(c.Late ? object.Late.load() : object.Early.load(), 0);
    EXPECT_EQ(c.Late ? object.Early.load() : object.Late.load(), 0);

    // Every sample that crossed into (render) or out of (capture) the pipeline is the object's.
    std::vector<uint8_t> bytes;
    if (c.Capture)
    {
        const std::vector<UCHAR> received = client.Received();
        bytes.assign(received.begin(), received.end());
    }
    else
    {
        bytes = Streams().OutStream(endpoint);
    }
    ASSERT_GE(bytes.size(), 5 * 480u);
    size_t wrong = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        wrong += int16_t(bytes[i] | bytes[i + 1] << 8) != expected;
    EXPECT_EQ(wrong, 0u) << "of " << bytes.size() / 2 << " samples";
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamObject, testing::ValuesIn(kObjectCases));

// An object without the pipeline interface could never be called: the start is refused, and
// the client stays open, fit to start without it.
TEST_F(StreamLifecycle, StartRefusesAnObjectWithoutThePipelineInterface)
{
    WAVEFORMATEXTENSIBLE format{};
    ICyclicControl* stream = Headset(false, &format);
    ASSERT_NE(stream, nullptr);
    FillObject& object = Object(0.25f, false);
    StreamTestClient& client = NewClient(2, format);
    ASSERT_EQ(client.Register(stream), STATUS_SUCCESS);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    ULONG frames = 0;
    EXPECT_EQ(stream->StartClient(client.Key(), client.OpenFrame + 2, &frames, &object),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object.Refs(), 1);
    EXPECT_TRUE(DataPackets(false).empty()) << "the stream started without the object";
    EXPECT_EQ(client.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(client.WaitDone(2));
}

} // namespace
