// The ASIO companion end to end: the simulated companion opens the private interface of the
// real driver on the headset that serves ASIO, queries it, maps the rings, streams render and
// capture through them and leaves again. The device's own record is the oracle: what the
// companion wrote into the render ring leaves the device bit for bit, and the capture ring holds
// the device's known signal sample for sample. Power transitions, a second client and a
// surprise removal happen in the middle of such a session.
#include "support/stream_rig.h"

#include "sim/host/asio_client.h"

#include "plat_io.h"
#include "plat_pool.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace
{

constexpr ULONG kRate = 48000;
constexpr ULONG kRenderFrameBytes = 4;  // stereo, 16-bit
constexpr ULONG kCaptureFrameBytes = 2; // mono, 16-bit
constexpr ULONG kBufferFrames = 256;    // 1 ms transfers, four in flight

// Every render frame carries its own index: left the low 15 bits with the top bit set (never
// silence), right its complement.
void TapeFrame(ULONGLONG index, UCHAR* frame)
{
    const USHORT left = USHORT(0x8000 | (index & 0x7FFF));
    const USHORT right = USHORT(~left);
    frame[0] = UCHAR(left);
    frame[1] = UCHAR(left >> 8);
    frame[2] = UCHAR(right);
    frame[3] = UCHAR(right >> 8);
}

class AsioSession : public rig::StreamRig
{
protected:
    void StartDevice() { ASSERT_EQ(PlugAndStart("uac1-headset-asio"), STATUS_SUCCESS); }

    std::unique_ptr<sim::AsioClient> OpenClient()
    {
        std::unique_ptr<sim::AsioClient> client;
        EXPECT_EQ(sim::AsioClient::Open(&client, Pdo()), STATUS_SUCCESS);
        return client;
    }

    // Render ring 0 gets the tape; capture ring 1 fills m_Captured.
    void Attach(sim::AsioClient& client)
    {
        client.SetRenderSource(
            [this](ULONG, UCHAR* data, ULONG bytes)
            {
                for (ULONG i = 0; i + kRenderFrameBytes <= bytes; i += kRenderFrameBytes)
                {
                    TapeFrame(m_TapeFrames++, data + i);
                    m_Tape.insert(m_Tape.end(), data + i, data + i + kRenderFrameBytes);
                }
            });
        client.SetCaptureSink([this](ULONG, const UCHAR* data, ULONG bytes)
                              { m_Captured.insert(m_Captured.end(), data, data + bytes); });
    }

    // Every render channel and the microphone, at 48 kHz in 16-bit.
    void Configure(sim::AsioClient& client)
    {
        ASSERT_EQ(client.SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, kRate), STATUS_SUCCESS);
        ASSERT_EQ(client.SetValue(IOCTL_ASIO_SET_SAMPLE_TYPE, ASIO_SAMPLE_INT16), STATUS_SUCCESS);
    }

    NTSTATUS MapAll(sim::AsioClient& client, ULONG bufferFrames = kBufferFrames)
    {
        return client.Map({{false, 0}, {false, 1}, {true, 0}}, bufferFrames);
    }

    // The device's OUT stream is the ring's lead-in silence, then the tape, byte for byte.
    void CheckRenderBitExact(ULONG leadIn, size_t minimumBytes)
    {
        const std::vector<uint8_t> out = Streams().OutStream(DataEndpoints(false).at(0));
        ASSERT_GE(out.size(), leadIn + minimumBytes);
        EXPECT_EQ(std::count(out.begin(), out.begin() + leadIn, 0), ptrdiff_t(leadIn))
            << "the lead-in is not silence";
        const size_t compared = std::min(out.size() - leadIn, m_Tape.size());
        EXPECT_GE(compared, minimumBytes);
        size_t firstWrong = compared;
        for (size_t i = 0; i < compared && firstWrong == compared; ++i)
            if (out[leadIn + i] != m_Tape[i])
                firstWrong = i;
        EXPECT_EQ(firstWrong, compared)
            << "the device's byte " << leadIn + firstWrong << " is not what the companion wrote";
    }

    // The captured samples are the device's signal, from the first sample frame it sent. Only
    // what the companion read before it stopped counts: the stop silences what it had not.
    void CheckCaptureBitExact(size_t minimumBytes)
    {
        ASSERT_GE(m_Captured.size(), m_CapturedBeforeStop);
        m_Captured.resize(m_CapturedBeforeStop);
        ASSERT_GE(m_Captured.size(), minimumBytes);
        uint64_t first = 0;
        for (const sim::StreamPacketRecord& r : DataPackets(true))
            if (r.Bytes > 0 && r.Status == USBD_STATUS_SUCCESS)
            {
                first = r.FirstSample;
                break;
            }
        size_t wrong = 0;
        for (size_t i = 0; i + kCaptureFrameBytes <= m_Captured.size(); i += kCaptureFrameBytes)
        {
            const int16_t got = int16_t(m_Captured[i] | (m_Captured[i + 1] << 8));
            wrong += got != sim::StreamSignalSample(first + i / kCaptureFrameBytes, 0);
        }
        EXPECT_EQ(wrong, 0u) << "of " << m_Captured.size() / kCaptureFrameBytes << " captured samples";
    }

    // The headset started and a client opened, set to 48 kHz 16-bit, attached and mapped.
    void OpenMappedClient(std::unique_ptr<sim::AsioClient>* client, ULONG bufferFrames = kBufferFrames)
    {
        ASSERT_NO_FATAL_FAILURE(StartDevice());
        *client = OpenClient();
        ASSERT_TRUE(*client);
        Configure(**client);
        Attach(**client);
        ASSERT_EQ(MapAll(**client, bufferFrames), STATUS_SUCCESS);
    }

    // As OpenMappedClient, and streaming.
    void StartStreamingClient(std::unique_ptr<sim::AsioClient>* client)
    {
        ASSERT_NO_FATAL_FAILURE(OpenMappedClient(client));
        ASSERT_EQ((*client)->Start(), STATUS_SUCCESS);
    }

    // Once stopped, render sends at most the transfers that were already in flight.
    void ExpectRenderStaysStopped()
    {
        const size_t packetsAtStop = DataPackets(false).size();
        RunFor(100 * rig::kMillisecond);
        EXPECT_LE(DataPackets(false).size(), packetsAtStop + 8) << "render kept going after the stop";
    }

    NTSTATUS StopClient(sim::AsioClient& client)
    {
        m_CapturedBeforeStop = size_t(client.Stats().CapturedBytes);
        return client.Stop();
    }

    size_t m_CapturedBeforeStop = 0;
    ULONGLONG m_TapeFrames = 0;
    std::vector<UCHAR> m_Tape;
    std::vector<UCHAR> m_Captured;
};

// Open, query, set rate and type, map, start, stream, stop, unmap, close: the companion's whole
// session, with the rings and the records the interface reports checked against the headset.
TEST_F(AsioSession, TheCompanionsWholeSessionStreamsBitExact)
{
    StartDevice();
    std::unique_ptr<sim::AsioClient> client = OpenClient();
    ASSERT_TRUE(client);

    std::string name;
    EXPECT_EQ(client->GetProductName(&name), STATUS_SUCCESS);
    EXPECT_EQ(name, "Uacsim USB Headset");
    AsioChannelCounts counts;
    ASSERT_EQ(client->GetChannelCounts(&counts), STATUS_SUCCESS);
    EXPECT_EQ(counts.EndpointCount, 2u);
    EXPECT_EQ(counts.OutputChannels, 2u);
    EXPECT_EQ(counts.InputChannels, 1u);
    AsioChannelInfo info;
    ASSERT_EQ(client->GetChannelInfo(false, 1, &info), STATUS_SUCCESS);
    EXPECT_STREQ(info.Name, "HPOut00_01 ch");
    EXPECT_EQ(info.IsActive, 0u);
    EXPECT_EQ(client->GetChannelInfo(true, 1, &info), STATUS_INVALID_PARAMETER);
    // The render endpoint offers 16 and 24 bits, the microphone 16 only.
    ULONG requested = 0;
    std::vector<ULONG> types;
    ASSERT_EQ(client->GetSampleTypes(&requested, &types), STATUS_SUCCESS);
    EXPECT_EQ(types, std::vector<ULONG>{ASIO_SAMPLE_INT16});

    ASSERT_EQ(client->SetNotifyEvent(), STATUS_SUCCESS);
    Configure(*client);
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_LATENCY, 4), STATUS_SUCCESS);
    EXPECT_TRUE(client->TakeNotify()) << "a latency change is announced";
    AsioBufferSize size;
    ASSERT_EQ(client->GetBufferSize(&size), STATUS_SUCCESS);
    EXPECT_EQ(
        std::vector<ULONG>({size.MinimumFrames, size.MaximumFrames, size.PreferredFrames, size.Granularity}),
        std::vector<ULONG>({192, 2400, 960, 1}));
    AsioLatencies latencies;
    ASSERT_EQ(client->GetLatencies(&latencies), STATUS_SUCCESS);
    EXPECT_EQ(latencies.InputFrames, 960u);
    EXPECT_EQ(latencies.OutputFrames, 1920u);

    Attach(*client);
    ASSERT_EQ(MapAll(*client), STATUS_SUCCESS);
    ASSERT_EQ(client->Rings().size(), 2u);
    const AsioSharedBufferHeader& render = *client->Rings()[0].Header;
    const AsioSharedBufferHeader& capture = *client->Rings()[1].Header;
    EXPECT_EQ(std::vector<ULONG>({render.Active, render.IsInput, render.Channels, render.FirstChannel,
                                  render.RingBytes, render.Master}),
              std::vector<ULONG>({1, 0, 2, 0, 7680, 0}));
    EXPECT_EQ(std::vector<ULONG>({capture.Active, capture.IsInput, capture.Channels, capture.FirstChannel,
                                  capture.RingBytes, capture.Master}),
              std::vector<ULONG>({1, 1, 1, 0, 3840, 1}));
    ULONG inUse = 0;
    EXPECT_EQ(client->GetValue(IOCTL_ASIO_GET_BUFFERS_IN_USE, &inUse), STATUS_SUCCESS);
    EXPECT_EQ(inUse, 1u);

    ASSERT_EQ(client->Start(), STATUS_SUCCESS);
    // Four 1 ms transfers of 4-byte frames in flight, positions from the ring's start.
    EXPECT_EQ(render.LeadBytes, 4u * 48 * kRenderFrameBytes);
    EXPECT_EQ(render.InitialPosition, 0u);
    RunFor(500 * rig::kMillisecond);
    ASSERT_EQ(StopClient(*client), STATUS_SUCCESS);
    const sim::AsioClientStats stats = client->Stats();
    // One period per completed capture transfer of 1 ms.
    EXPECT_GE(stats.Periods, 450u);
    EXPECT_LE(stats.Periods, 510u);
    EXPECT_EQ(stats.LateRenders, 0u);
    EXPECT_EQ(capture.PeriodCount, stats.Periods);
    CheckRenderBitExact(client->RenderLeadIn(0), 400 * 48 * kRenderFrameBytes);
    CheckCaptureBitExact(400 * 48 * kCaptureFrameBytes);

    ASSERT_EQ(client->Unmap(), STATUS_SUCCESS);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
    EXPECT_EQ(client->GetValue(IOCTL_ASIO_GET_BUFFERS_IN_USE, &inUse), STATUS_SUCCESS);
    EXPECT_EQ(inUse, 0u);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

// A buffer of 96 frames holds only two transfers: the driver starts reading one transfer short of
// the ring's end, and what the device plays is that silence and then the companion's frames.
TEST_F(AsioSession, AShortBufferStartsOneTransferBeforeTheRingsEnd)
{
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_NO_FATAL_FAILURE(OpenMappedClient(&client, 96));
    ASSERT_EQ(client->Start(), STATUS_SUCCESS);
    const AsioSharedBufferHeader& render = *client->Rings()[0].Header;
    EXPECT_EQ(render.InitialPosition, 7680u - 48 * kRenderFrameBytes);
    EXPECT_EQ(render.LeadBytes, 2u * 48 * kRenderFrameBytes);
    RunFor(200 * rig::kMillisecond);
    ASSERT_EQ(StopClient(*client), STATUS_SUCCESS);
    EXPECT_EQ(client->RenderLeadIn(0), 48 * kRenderFrameBytes);
    CheckRenderBitExact(client->RenderLeadIn(0), 150 * 48 * kRenderFrameBytes);
    CheckCaptureBitExact(150 * 48 * kCaptureFrameBytes);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

// D3 in the middle of a session stops the companion's streams and D0 starts them again; a stop
// asked for while the device is down waits for D0, and a second one meanwhile is refused.
TEST_F(AsioSession, APowerTransitionSuspendsAndResumesTheStreams)
{
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_NO_FATAL_FAILURE(StartStreamingClient(&client));
    RunFor(200 * rig::kMillisecond);

    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    const size_t packetsAtD3 = DataPackets(false).size();
    const ULONG periodsAtD3 = client->Stats().Periods;
    RunFor(200 * rig::kMillisecond);
    EXPECT_LE(DataPackets(false).size(), packetsAtD3 + 8) << "render kept going in D3";
    EXPECT_LE(client->Stats().Periods, periodsAtD3 + 8) << "periods kept coming in D3";

    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    RunFor(200 * rig::kMillisecond);
    EXPECT_GE(client->Stats().Periods, periodsAtD3 + 150) << "the streams did not resume in D0";
    EXPECT_GE(DataPackets(false).size(), packetsAtD3 + 150);

    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    client->StopAsync();
    RunFor(100 * rig::kMillisecond);
    EXPECT_FALSE(client->StopAnswered()) << "a stop in D3 waits for D0";
    EXPECT_EQ(client->Control(IOCTL_ASIO_STOP, nullptr, 0, nullptr, 0).Status, STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(client->StopResult(), STATUS_SUCCESS);
    ExpectRenderStaysStopped();
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
}

// A second client is served every query but cannot map or start while the first owns the
// rings, and maps once the first has left them.
TEST_F(AsioSession, ASecondClientWaitsForTheOwnersRings)
{
    StartDevice();
    std::unique_ptr<sim::AsioClient> first = OpenClient();
    std::unique_ptr<sim::AsioClient> second = OpenClient();
    ASSERT_TRUE(first && second);
    Configure(*first);
    Attach(*first);
    ASSERT_EQ(MapAll(*first), STATUS_SUCCESS);
    ASSERT_EQ(first->Start(), STATUS_SUCCESS);

    AsioChannelCounts counts;
    EXPECT_EQ(second->GetChannelCounts(&counts), STATUS_SUCCESS);
    AsioChannelInfo info;
    ASSERT_EQ(second->GetChannelInfo(false, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.IsActive, 1u) << "another client's rings are in use";
    EXPECT_EQ(MapAll(*second), STATUS_INVALID_PARAMETER);
    ULONGLONG handle = 0;
    EXPECT_EQ(second->Control(IOCTL_ASIO_START, &handle, sizeof(handle), nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second->Control(IOCTL_ASIO_UNMAP_BUFFERS, nullptr, 0, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(first->Control(IOCTL_ASIO_MAP_BUFFERS, nullptr, 0, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    RunFor(100 * rig::kMillisecond);
    EXPECT_GE(first->Stats().Periods, 80u) << "the second client disturbed the first";

    // The owner leaves by closing its handle while streaming: its cleanup stops and unmaps.
    EXPECT_EQ(first->Close(), STATUS_SUCCESS);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
    Attach(*second);
    ASSERT_EQ(MapAll(*second), STATUS_SUCCESS);
    ASSERT_EQ(second->Start(), STATUS_SUCCESS);
    RunFor(100 * rig::kMillisecond);
    EXPECT_GE(second->Stats().Periods, 80u);
    EXPECT_EQ(second->Close(), STATUS_SUCCESS);
}

// The device vanishes mid-stream: the removal stops the companion's streams, the companion's
// requests get answers, and its close frees everything; the rig's teardown finds nothing left.
TEST_F(AsioSession, SurpriseRemovalMidStreamLeavesNothingBehind)
{
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_NO_FATAL_FAILURE(StartStreamingClient(&client));
    RunFor(100 * rig::kMillisecond);
    SurpriseRemove();
    const ULONG periods = client->Stats().Periods;
    RunFor(100 * rig::kMillisecond);
    EXPECT_LE(client->Stats().Periods, periods + 8) << "periods kept coming from a removed device";
    EXPECT_EQ(client->Control(IOCTL_ASIO_STOP, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
}

// A start the device refuses (the microphone's interface stalls its alternate setting) is
// reported, and undone: nothing streams, the period event is given back, and once the device
// answers again the same companion starts and streams.
TEST_F(AsioSession, AStartTheDeviceRefusesIsReportedAndUndone)
{
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_NO_FATAL_FAILURE(OpenMappedClient(&client));
    sim::DeviceFaults stall;
    stall.StallMatching = true;
    stall.StallFilter.RequestType = 0x01; // standard, to an interface
    stall.StallFilter.Request = 0x0B;     // SET_INTERFACE
    stall.StallFilter.Value = 1;
    stall.StallFilter.Index = 2; // the microphone's streaming interface
    SetDeviceFaults(stall);
    EXPECT_FALSE(NT_SUCCESS(client->Start()));
    RunFor(50 * rig::kMillisecond);
    EXPECT_EQ(client->Stats().Periods, 0u);
    EXPECT_TRUE(DataPackets(false).empty()) << "render started although the start failed";
    SetDeviceFaults(sim::DeviceFaults());
    ASSERT_EQ(client->Start(), STATUS_SUCCESS) << "the failed start kept the period event";
    RunFor(100 * rig::kMillisecond);
    EXPECT_GE(client->Stats().Periods, 80u);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

// A stop parked while the device is down is answered when the device goes away, not left
// hanging with the companion waiting on it.
TEST_F(AsioSession, AParkedStopIsAnsweredWhenTheDeviceGoes)
{
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_NO_FATAL_FAILURE(StartStreamingClient(&client));
    RunFor(50 * rig::kMillisecond);
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    client->StopAsync();
    RunFor(50 * rig::kMillisecond);
    EXPECT_FALSE(client->StopAnswered());
    SurpriseRemove();
    EXPECT_EQ(client->StopResult(), STATUS_DELETE_PENDING);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
}

// A stop parked while the device is down and then cancelled by the companion (its cancel of
// the handle's I/O) is answered as cancelled at once and frees its place for the next stop; the
// streams it did not stop resume in D0, and the companion stops and starts them again.
TEST_F(AsioSession, ACancelledParkedStopIsAnsweredAndLeavesTheDeviceUsable)
{
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_NO_FATAL_FAILURE(StartStreamingClient(&client));
    RunFor(50 * rig::kMillisecond);
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    for (int round = 0; round < 2; ++round)
    {
        SCOPED_TRACE(round);
        client->StopAsync();
        RunFor(50 * rig::kMillisecond);
        ASSERT_FALSE(client->StopAnswered())
            << "the stop was not parked (or the cancelled one kept its place)";
        EXPECT_EQ(client->CancelPending(), 1u);
        EXPECT_EQ(client->StopResult(), STATUS_CANCELLED);
    }
    // The companion has stopped looking at its rings; the driver's own count in the capture
    // ring's header shows whether periods come.
    const AsioSharedBufferHeader& capture = *client->Rings()[1].Header;
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    RunFor(50 * rig::kMillisecond);
    const size_t packetsAfterD0 = DataPackets(false).size();
    const ULONG periodsAfterD0 = capture.PeriodCount;
    RunFor(200 * rig::kMillisecond);
    EXPECT_GE(DataPackets(false).size(), packetsAfterD0 + 150) << "render did not resume in D0";
    EXPECT_GE(capture.PeriodCount, periodsAfterD0 + 150) << "capture did not resume in D0";

    ASSERT_EQ(client->Stop(), STATUS_SUCCESS);
    ExpectRenderStaysStopped();
    ASSERT_EQ(client->Start(), STATUS_SUCCESS);
    RunFor(100 * rig::kMillisecond);
    EXPECT_GE(client->Stats().Periods, 80u) << "counted from the new start";
    EXPECT_EQ(client->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
}

// A 32-bit companion gets the rings' addresses as 4-byte values in an output of 4 per endpoint,
// and its event handles travel as 4 bytes.
TEST_F(AsioSession, AThirtyTwoBitCompanionGetsFourByteAddresses)
{
    StartDevice();
    std::unique_ptr<sim::AsioClient> client = OpenClient();
    ASSERT_TRUE(client);
    Configure(*client);
    plat::IoSetIs32bitProcess(true);
    std::vector<UCHAR> request(sizeof(AsioBufferRequest) + sizeof(AsioBufferRequestEntry));
    AsioBufferRequest header = {0, 1, kBufferFrames};
    AsioBufferRequestEntry entry = {0, 0};
    std::memcpy(request.data(), &header, sizeof(header));
    std::memcpy(request.data() + sizeof(header), &entry, sizeof(entry));
    ULONG addresses[3] = {};
    EXPECT_EQ(
        client->Control(IOCTL_ASIO_MAP_BUFFERS, request.data(), ULONG(request.size()), addresses, 12).Status,
        STATUS_INVALID_PARAMETER);
    sim::IoResult r =
        client->Control(IOCTL_ASIO_MAP_BUFFERS, request.data(), ULONG(request.size()), addresses, 8);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 8u);
    const std::vector<plat::UserMapping> views = plat::MmUserMappings();
    ASSERT_EQ(views.size(), 2u);
    for (const plat::UserMapping& view : views)
        EXPECT_TRUE(addresses[0] == ULONG(ULONG_PTR(view.Address)) ||
                    addresses[1] == ULONG(ULONG_PTR(view.Address)));
    ULONGLONG wideHandle = 1;
    EXPECT_EQ(client->Control(IOCTL_ASIO_SET_CLIENT_EVENT, &wideHandle, 8, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    plat::IoSetIs32bitProcess(false);
    EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

// A stop in low memory: closing a stream client needs no memory, so the stop is truthful, and
// the unmap (which detaches the clients from the streams) and the next start find the
// registrations the stop left them, in either order.
TEST_F(AsioSession, AStopInLowMemoryKeepsTheStreamRegistrationsForWhatFollows)
{
    for (bool remap : {false, true})
    {
        SCOPED_TRACE(remap ? "stop, unmap, map, start" : "stop, start, unmap");
        std::unique_ptr<sim::AsioClient> client;
        ASSERT_NO_FATAL_FAILURE(StartStreamingClient(&client));
        RunFor(50 * rig::kMillisecond);
        plat::FailNextAllocationOf(POINTER_LIST_POOL_TAG, sizeof(POINTER_LIST_NODE));
        EXPECT_EQ(StopClient(*client), STATUS_SUCCESS);
        plat::ClearPoolFailures();
        if (remap)
        {
            EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
            ASSERT_EQ(MapAll(*client), STATUS_SUCCESS);
        }
        ASSERT_EQ(client->Start(), STATUS_SUCCESS);
        const ULONGLONG periods = client->Stats().Periods;
        RunFor(100 * rig::kMillisecond);
        EXPECT_GE(client->Stats().Periods, periods + 80u) << "the second start streams";
        EXPECT_EQ(StopClient(*client), STATUS_SUCCESS);
        EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
        EXPECT_EQ(client->Close(), STATUS_SUCCESS);
        client.reset();
        RemoveAndCheck();
        SetUp();
    }
}

} // namespace
