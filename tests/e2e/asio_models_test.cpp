// The ASIO interface against what a device offers: the sample types every endpoint shares,
// rings and streams in the type the owner chose, every built-in device that serves ASIO
// streaming both ways bit-exact (the device's packet record is the oracle), and the vendor
// request that the listed models get when the companion's streams start and stop (the
// device's own request log is the oracle).
#include "support/stream_rig.h"

#include "sim/host/asio_client.h"

#include "plat_debug.h"
#include "plat_pool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{

using AsioModels = rig::StreamRig;

constexpr uint8_t kVendorOut = 0x40; // host to device, vendor, device
constexpr uint8_t kAsioVendorRequest = 7;

// The microphone captures 24-bit: the endpoints share 24-bit packed only, and the rings and
// the streams run in it.
TEST_F(AsioModels, TheSharedSampleTypeSizesTheRings)
{
    ASSERT_EQ(PlugAndStart(EditedProfile("uac1-headset-asio", {{"0E 24 02 01 01 02 10 02 44 AC 00 80 BB 00",
                                                                "0E 24 02 01 01 03 18 02 44 AC 00 80 BB 00"},
                                                               {"09 05 82 05 62 00", "09 05 82 05 93 00"}})),
              STATUS_SUCCESS);
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_EQ(sim::AsioClient::Open(&client, Pdo()), STATUS_SUCCESS);
    ULONG requested = 0;
    std::vector<ULONG> types;
    ASSERT_EQ(client->GetSampleTypes(&requested, &types), STATUS_SUCCESS);
    EXPECT_EQ(types, std::vector<ULONG>{ASIO_SAMPLE_INT24});
    // The chosen type streams once no client holds rings: the close makes it the active one.
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_TYPE, ASIO_SAMPLE_INT24), STATUS_SUCCESS);
    ASSERT_EQ(client->Close(), STATUS_SUCCESS);
    ASSERT_EQ(sim::AsioClient::Open(&client, Pdo()), STATUS_SUCCESS);
    AsioChannelInfo info;
    ASSERT_EQ(client->GetChannelInfo(true, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.SampleType, ASIO_SAMPLE_INT24);
    ASSERT_EQ(client->Map({{false, 0}, {false, 1}, {true, 0}}, 256), STATUS_SUCCESS);
    EXPECT_EQ(client->Rings().at(0).Header->RingBytes, 48000u * 6 * 40 / 1000);
    EXPECT_EQ(client->Rings().at(1).Header->RingBytes, 48000u * 3 * 40 / 1000);
    ASSERT_EQ(client->Start(), STATUS_SUCCESS);
    RunFor(100 * rig::kMillisecond);
    EXPECT_EQ(client->Stop(), STATUS_SUCCESS);
    EXPECT_GE(client->Stats().Periods, 80u);
    EXPECT_EQ(client->Stats().LateRenders, 0u);
    const std::vector<uint8_t> out = Streams().OutStream(DataEndpoints(false).at(0));
    EXPECT_GE(out.size(), 80u * 48 * 6) << "render streamed in 24-bit packed";
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

// The headset with an 8-channel speaker beside its 2-channel headphones: a third streaming
// interface (16-bit at 44.1 and 48 kHz) fed by input terminal 8, which drives speaker 9.
const std::vector<std::pair<std::string, std::string>> kEightChannelSpeaker = {
    {"09 02 05 01 03 01", "09 02 52 01 04 01"},
    {"0A 24 01 00 01 4E 00 02 01 02", "0B 24 01 00 01 64 00 03 01 02 03"},
    {"09 24 03 07 01 01 00 06 00", "09 24 03 07 01 01 00 06 00\n"
                                   "    0C 24 02 08 01 01 00 08 FF 00 00 00\n"
                                   "    09 24 03 09 01 03 00 08 00"},
    {"\nend\n", "\n  09 04 03 00 00 01 02 00 00\n"
                "  09 04 03 01 01 01 02 00 00\n"
                "    07 24 01 08 01 01 00\n"
                "    0E 24 02 01 08 02 10 02 44 AC 00 80 BB 00\n"
                "    09 05 03 09 10 03 01 00 00\n"
                "    07 25 01 01 00 00 00\n"
                "end\n"}};
constexpr uint8_t kSpeakerEndpoint = 0x03;

// Render channels are numbered on across the endpoints in the device's order: the headphones
// hold 0 and 1, the speaker 2 to 9, each named after its endpoint with its channel within it.
// Rings follow the same numbering, and the speaker's channels stream on the speaker's endpoint.
TEST_F(AsioModels, ChannelsAreNumberedAcrossTwoAndEightChannelEndpoints)
{
    ASSERT_EQ(PlugAndStart(EditedProfile("uac1-headset-asio", kEightChannelSpeaker)), STATUS_SUCCESS);
    std::vector<std::string> renderNames;
    for (ULONG i = 0; i < StreamCount(); ++i)
    {
        if (Engine(i)->GetKind() != STREAM_DIRECTION_RENDER)
            continue;
        WCHAR name[STREAM_NAME_BUFFER_CHARS] = {};
        ASSERT_EQ(Engine(i)->GetName(name), STATUS_SUCCESS);
        renderNames.emplace_back(name, name + std::char_traits<WCHAR>::length(name));
    }
    ASSERT_EQ(renderNames.size(), 2u);

    std::unique_ptr<sim::AsioClient> client;
    ASSERT_EQ(sim::AsioClient::Open(&client, Pdo()), STATUS_SUCCESS);
    AsioChannelCounts counts;
    ASSERT_EQ(client->GetChannelCounts(&counts), STATUS_SUCCESS);
    EXPECT_EQ(counts.EndpointCount, 3u);
    EXPECT_EQ(counts.OutputChannels, 10u);
    EXPECT_EQ(counts.InputChannels, 1u);

    struct Row
    {
        bool Input;
        ULONG Channel;
        NTSTATUS Status;
        size_t Endpoint; // among the render endpoints
        int Within;
    } const rows[] = {
        {false, 0, STATUS_SUCCESS, 0, 0},
        {false, 1, STATUS_SUCCESS, 0, 1},
        {false, 2, STATUS_SUCCESS, 1, 0},
        {false, 9, STATUS_SUCCESS, 1, 7},
        {false, 10, STATUS_INVALID_PARAMETER, 0, 0},
        {false, 0xFFFFFFFF, STATUS_INVALID_PARAMETER, 0, 0},
        {true, 1, STATUS_INVALID_PARAMETER, 0, 0},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message() << (row.Input ? "input " : "output ") << row.Channel);
        AsioChannelInfo info;
        ASSERT_EQ(client->GetChannelInfo(row.Input, row.Channel, &info), row.Status);
        if (row.Status != STATUS_SUCCESS)
            continue;
        char expected[64];
        std::snprintf(expected, sizeof(expected), "%s_%02d ch", renderNames[row.Endpoint].c_str(),
                      row.Within);
        EXPECT_STREQ(info.Name, expected);
        EXPECT_EQ(info.SampleType, ASIO_SAMPLE_INT16);
        EXPECT_EQ(info.IsActive, 0u);
    }

    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 48000), STATUS_SUCCESS);
    ASSERT_EQ(client->Map({{false, 9}, {true, 0}}, 256), STATUS_SUCCESS);
    // One ring per endpoint in the device's order (headphones, microphone, speaker); the
    // speaker's starts at render channel 2, and the headphones' stays inactive.
    ASSERT_EQ(client->Rings().size(), 3u);
    std::vector<std::vector<ULONG>> rings;
    for (const sim::AsioRingView& ring : client->Rings())
        rings.push_back({ring.Header->Active, ring.Header->IsInput, ring.Header->Channels,
                         ring.Header->FirstChannel, ring.Header->RingBytes});
    EXPECT_EQ(rings, (std::vector<std::vector<ULONG>>{{0, 0, 2, 0, 48000 * 2 * 2 * 40 / 1000},
                                                      {1, 1, 1, 0, 48000 * 1 * 2 * 40 / 1000},
                                                      {1, 0, 8, 2, 48000 * 8 * 2 * 40 / 1000}}));
    client->SetRenderSource([](ULONG, UCHAR* data, ULONG bytes) { std::memset(data, 0x5A, bytes); });
    ASSERT_EQ(client->Start(), STATUS_SUCCESS);
    RunFor(100 * rig::kMillisecond);
    ASSERT_EQ(client->Stop(), STATUS_SUCCESS);
    const std::vector<uint8_t> out = Streams().OutStream(kSpeakerEndpoint);
    EXPECT_GE(std::count(out.begin(), out.end(), 0x5A), 80 * 48 * 16) << "the speaker did not play the ring";
    EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

// The class-2 interface with a one-bit setting beside the PCM one on its capture interface (the
// endpoint the class-2 function offers the companion): 64 samples of each channel in an 8-byte
// subslot per frame, so the clock's 44.1 kHz carries DSD64 (2,822,400 samples a second); the
// clock also takes 46.875 kHz (3,000,000, of neither rate family).
const std::vector<std::pair<std::string, std::string>> kOneBitCapture = {
    {"09 02 1D 01 03", "09 02 4B 01 03"}, // 46 bytes more
    {"clock 10 44100 48000 96000", "clock 10 44100 46875 48000 96000"},
    {"\nend\n", "\n  09 04 02 02 01 01 02 20 00\n"
                "    10 24 01 06 00 01 00 00 00 80 02 03 00 00 00 00\n"
                "    06 24 02 01 08 40\n"
                "    07 05 82 05 68 00 01\n"
                "    08 25 01 00 00 00 00 00\n"
                "end\n"}};

// One-bit rates size the buffers by their family (44.1 kHz times 64 here) and the rings by
// 40 ms of 64-sample groups; the rings start as one-bit silence. A rate of neither family
// has no buffer sizes.
TEST_F(AsioModels, OneBitRatesSizeTheBuffersAndRingsByTheirFamily)
{
    ASSERT_EQ(PlugAndStart(EditedProfile("uac2-interface", kOneBitCapture)), STATUS_SUCCESS)
        << plat::DebugLogText();
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_EQ(sim::AsioClient::Open(&client, Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 2822400), STATUS_INVALID_PARAMETER)
        << "a one-bit rate while the io format is PCM";
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_IO_FORMAT, ASIO_IO_FORMAT_DSD), STATUS_SUCCESS);
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_LATENCY, 0), STATUS_SUCCESS);

    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 3000000), STATUS_SUCCESS);
    AsioBufferSize size;
    EXPECT_EQ(client->GetBufferSize(&size), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 2000000), STATUS_INVALID_PARAMETER)
        << "below the one-bit rates";
    EXPECT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 5644800), STATUS_UNSUCCESSFUL)
        << "a rate no endpoint carries";

    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 2822400), STATUS_SUCCESS);
    ASSERT_EQ(client->GetBufferSize(&size), STATUS_SUCCESS);
    // Shortest 6 ms (index 1), longest 50 ms, preferred index 0 held to index 1; in steps of
    // the rate's multiple of 44.1 kHz.
    const ULONG multiple = 2822400 / 44100;
    EXPECT_EQ(
        std::vector<ULONG>({size.MinimumFrames, size.MaximumFrames, size.PreferredFrames, size.Granularity}),
        std::vector<ULONG>({6 * multiple * 44, 50 * multiple * 44, 6 * multiple * 44, multiple}));
    EXPECT_EQ(std::vector<ULONG>({size.MinimumFrames, size.MaximumFrames, size.Granularity}),
              std::vector<ULONG>({16896, 140800, 64}));
    AsioLatencies latencies;
    ASSERT_EQ(client->GetLatencies(&latencies), STATUS_SUCCESS);
    EXPECT_EQ(latencies.InputFrames, 4 * multiple * 44);
    EXPECT_EQ(latencies.OutputFrames, 4 * multiple * 88);

    AsioChannelInfo info;
    ASSERT_EQ(client->GetChannelInfo(true, 1, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.SampleType, ASIO_SAMPLE_DSD_INT8_MSB);
    ASSERT_EQ(client->Map({{true, 0}, {true, 1}}, size.PreferredFrames), STATUS_SUCCESS);
    ASSERT_EQ(client->Rings().size(), 1u);
    const sim::AsioRingView& ring = client->Rings()[0];
    // 40 ms of 64-sample groups, one byte per 8 samples of each of the two channels.
    const ULONG ringBytes = 2822400 / 64 * 40 / 1000 * 2 * 8;
    EXPECT_EQ(ringBytes, 28224u);
    ASSERT_EQ(ring.Header->RingBytes, ringBytes);
    EXPECT_EQ(std::vector<ULONG>({ring.Header->Active, ring.Header->IsInput, ring.Header->Channels}),
              std::vector<ULONG>({1, 1, 2}));
    EXPECT_EQ(std::count(ring.Samples, ring.Samples + ringBytes, 0x69), ptrdiff_t(ringBytes))
        << "the ring does not start as one-bit silence";

    // The one-bit setting streams into the ring, and the stop leaves one-bit silence behind.
    std::vector<UCHAR> captured;
    client->SetCaptureSink([&captured](ULONG, const UCHAR* data, ULONG bytes)
                           { captured.insert(captured.end(), data, data + bytes); });
    ASSERT_EQ(client->Start(), STATUS_SUCCESS);
    RunFor(100 * rig::kMillisecond);
    ASSERT_EQ(client->Stop(), STATUS_SUCCESS);
    // A buffer of 6 ms of 44 groups a millisecond is moved in 5 ms transfers.
    EXPECT_GE(client->Stats().Periods, 18u);
    EXPECT_LE(client->Stats().Periods, 25u);
    EXPECT_GE(captured.size(), size_t(80 * 44 * 2 * 8));
    const std::vector<sim::StreamPacketRecord> packets = DataPackets(true);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.back().Bytes % 16, 0u) << "whole frames of two 8-byte subslots";
    EXPECT_EQ(std::count(ring.Samples, ring.Samples + ringBytes, 0x96), ptrdiff_t(ringBytes));
    EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

// A listed model hears vendor request 7 with value 1 when the streams start and 0 when they
// stop; any other device never does.
TEST_F(AsioModels, ListedModelsAreToldWhenTheStreamsStartAndStop)
{
    struct Case
    {
        const char* Ids;
        size_t Requests;
    } const cases[] = {{"05 0B F3 17", 2}, {"43 10 93 85", 2}, {"F1 FF 02 00", 0}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Ids);
        ASSERT_EQ(PlugAndStart(EditedProfile("uac1-headset-asio", {{"F1 FF 02 00", c.Ids}})), STATUS_SUCCESS);
        std::unique_ptr<sim::AsioClient> client;
        ASSERT_EQ(sim::AsioClient::Open(&client, Pdo()), STATUS_SUCCESS);
        // These models start with a wider sample type than the headset's microphone offers.
        ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_TYPE, ASIO_SAMPLE_INT16), STATUS_SUCCESS);
        ASSERT_EQ(client->Close(), STATUS_SUCCESS);
        ASSERT_EQ(sim::AsioClient::Open(&client, Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(client->Map({{false, 0}, {true, 0}}, 256), STATUS_SUCCESS);
        const uint64_t since = LastSequence();
        ASSERT_EQ(client->Start(), STATUS_SUCCESS);
        RunFor(20 * rig::kMillisecond);
        ASSERT_EQ(client->Stop(), STATUS_SUCCESS);
        const std::vector<sim::ControlRecord> sent =
            Requests(kVendorOut, kAsioVendorRequest, -1, -1, -1, since);
        ASSERT_EQ(sent.size(), c.Requests);
        if (c.Requests == 2)
        {
            EXPECT_EQ(sent[0].Setup.Value, 1u);
            EXPECT_EQ(sent[1].Setup.Value, 0u);
            EXPECT_EQ(sent[0].Setup.Length, 0u);
        }
        EXPECT_EQ(client->Close(), STATUS_SUCCESS);
        RemoveAndCheck();
        SetUp();
    }
}

// ---- Every built-in device that serves ASIO ----
//
// A companion takes the sample type the device offers, sets it and maps at once, without first
// closing to make it the device's active type. The rings must carry that type: their size, the
// format the streams open in, and the bytes on the bus.

constexpr ULONG kAsioRate = 48000;
constexpr ULONG kAsioBufferFrames = 256; // 1 ms transfers, four in flight

struct AsioProfileCase
{
    const char* Profile;
    ULONG SampleType;        // the one type every ASIO endpoint of the device offers
    ULONG SampleBytes;       // its container, counted here apart from the driver's table
    ULONG RenderChannels;    // 0: no render endpoint serves ASIO
    ULONG CaptureChannels;   //
    uint8_t RenderEndpoint;  // the data endpoints the rings stream on
    uint8_t CaptureEndpoint; //
};

// profile, type, bytes, render channels, capture channels, render endpoint, capture endpoint
const AsioProfileCase kAsioProfiles[] = {
    {"uac1-headset-asio", ASIO_SAMPLE_INT16, 2, 2, 1, 0x01, 0x82},
    {"uac2-interface", ASIO_SAMPLE_INT32_24, 4, 0, 2, 0, 0x82},
    {"uac2-interface-fs", ASIO_SAMPLE_INT16, 2, 0, 2, 0, 0x82},
};

std::string AsioProfileName(const testing::TestParamInfo<AsioProfileCase>& info)
{
    std::string name = info.param.Profile;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

class AsioProfiles : public rig::StreamRig, public testing::WithParamInterface<AsioProfileCase>
{
protected:
    // The device started and a client opened that took the offered type and mapped every
    // channel, its rings feeding m_Written and m_Read.
    void OpenMappedClient(const AsioProfileCase& c, std::unique_ptr<sim::AsioClient>* client)
    {
        ASSERT_EQ(PlugAndStart(c.Profile), STATUS_SUCCESS) << plat::DebugLogText();
        ASSERT_EQ(sim::AsioClient::Open(client, Pdo()), STATUS_SUCCESS);
        ULONG requested = 0;
        std::vector<ULONG> types;
        ASSERT_EQ((*client)->GetSampleTypes(&requested, &types), STATUS_SUCCESS);
        ASSERT_EQ(types, std::vector<ULONG>{c.SampleType});
        ASSERT_EQ((*client)->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, kAsioRate), STATUS_SUCCESS);
        ASSERT_EQ((*client)->SetValue(IOCTL_ASIO_SET_SAMPLE_TYPE, c.SampleType), STATUS_SUCCESS);
        AsioChannelInfo info;
        ASSERT_EQ((*client)->GetChannelInfo(c.RenderChannels == 0, 0, &info), STATUS_SUCCESS);
        EXPECT_EQ(info.SampleType, c.SampleType) << "the channels do not say what the rings will carry";

        std::vector<sim::AsioChannelRequest> channels;
        for (ULONG ch = 0; ch < c.RenderChannels; ++ch)
            channels.push_back({false, ch});
        for (ULONG ch = 0; ch < c.CaptureChannels; ++ch)
            channels.push_back({true, ch});
        (*client)->SetRenderSource(
            [this](ULONG ring, UCHAR* data, ULONG bytes)
            {
                for (ULONG i = 0; i < bytes; ++i)
                    data[i] = UCHAR(m_Random());
                m_Written[ring].insert(m_Written[ring].end(), data, data + bytes);
            });
        (*client)->SetCaptureSink([this](ULONG ring, const UCHAR* data, ULONG bytes)
                                  { m_Read[ring].insert(m_Read[ring].end(), data, data + bytes); });
        ASSERT_EQ((*client)->Map(channels, kAsioBufferFrames), STATUS_SUCCESS) << plat::DebugLogText();
    }

    // What the device sent on the endpoint, frame by frame from each successful packet's own
    // first sample, in a container of the given width.
    std::vector<UCHAR> DeviceSignal(uint8_t endpoint, ULONG channels, ULONG sampleBytes)
    {
        sim::StreamFormat format;
        format.Channels = uint8_t(channels);
        format.SubframeBytes = uint8_t(sampleBytes);
        format.BitResolution = uint8_t(8 * sampleBytes);
        std::vector<UCHAR> expected;
        std::vector<uint8_t> frame(format.BlockBytes());
        for (const sim::StreamPacketRecord& r : DataPackets(true))
        {
            if (r.EndpointAddress != endpoint || r.Status != USBD_STATUS_SUCCESS)
                continue;
            for (uint32_t f = 0; f < r.Bytes / format.BlockBytes(); ++f)
            {
                sim::StreamSignalFrame(format, r.FirstSample + f, frame.data());
                expected.insert(expected.end(), frame.begin(), frame.end());
            }
        }
        return expected;
    }

    std::mt19937 m_Random{32};
    std::vector<UCHAR> m_Written[2];
    std::vector<UCHAR> m_Read[2];
};

// Map, start, stream 300 ms, stop: every ring is 40 ms of the chosen type, render leaves the
// device byte for byte after its lead-in, and capture is the device's signal in that type.
TEST_P(AsioProfiles, TheTypeTheCompanionSetStreamsBitExactBothWays)
{
    const AsioProfileCase& c = GetParam();
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_NO_FATAL_FAILURE(OpenMappedClient(c, &client));
    const size_t rings = (c.RenderChannels ? 1 : 0) + (c.CaptureChannels ? 1 : 0);
    ASSERT_EQ(client->Rings().size(), rings);
    for (const sim::AsioRingView& ring : client->Rings())
    {
        const ULONG channels = ring.Input ? c.CaptureChannels : c.RenderChannels;
        EXPECT_EQ(ring.RingBytes, kAsioRate / 1000 * 40 * channels * c.SampleBytes) << "input " << ring.Input;
    }

    ASSERT_EQ(client->Start(), STATUS_SUCCESS) << plat::DebugLogText();
    RunFor(300 * rig::kMillisecond);
    std::vector<size_t> readBeforeStop;
    for (const std::vector<UCHAR>& read : m_Read)
        readBeforeStop.push_back(read.size());
    ASSERT_EQ(client->Stop(), STATUS_SUCCESS);
    const sim::AsioClientStats stats = client->Stats();
    EXPECT_GE(stats.Periods, 250u);
    EXPECT_EQ(stats.LateRenders, 0u);

    for (ULONG r = 0; r < rings; ++r)
    {
        const sim::AsioRingView& ring = client->Rings()[r];
        if (!ring.Input)
        {
            const std::vector<uint8_t> out = Streams().OutStream(c.RenderEndpoint);
            const ULONG leadIn = client->RenderLeadIn(r);
            ASSERT_GE(out.size(), leadIn);
            EXPECT_EQ(std::count(out.begin(), out.begin() + leadIn, 0), ptrdiff_t(leadIn));
            const size_t compared = std::min(out.size() - leadIn, m_Written[r].size());
            EXPECT_GE(compared, 250u * 48 * c.RenderChannels * c.SampleBytes);
            EXPECT_TRUE(
                std::equal(m_Written[r].begin(), m_Written[r].begin() + compared, out.begin() + leadIn))
                << "the device did not play what the companion wrote";
            continue;
        }
        std::vector<UCHAR> read = m_Read[r];
        read.resize(readBeforeStop[r]);
        const std::vector<UCHAR> expected = DeviceSignal(c.CaptureEndpoint, c.CaptureChannels, c.SampleBytes);
        EXPECT_GE(read.size(), 250u * 48 * c.CaptureChannels * c.SampleBytes);
        ASSERT_LE(read.size(), expected.size());
        EXPECT_TRUE(std::equal(read.begin(), read.end(), expected.begin()))
            << "the capture ring is not the device's signal";
    }
    EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BuiltIn, AsioProfiles, testing::ValuesIn(kAsioProfiles), AsioProfileName);

// The owner stores another type while its rings stream: the rings keep the type they were
// mapped in, and so does the start that a return to D0 makes.
TEST_F(AsioProfiles, TheRingsKeepTheirTypeThroughAPowerCycle)
{
    const AsioProfileCase& c = kAsioProfiles[1];
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_NO_FATAL_FAILURE(OpenMappedClient(c, &client));
    ASSERT_EQ(client->Start(), STATUS_SUCCESS) << plat::DebugLogText();
    RunFor(100 * rig::kMillisecond);
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_TYPE, ASIO_SAMPLE_INT16), STATUS_SUCCESS);
    AsioChannelInfo info;
    ASSERT_EQ(client->GetChannelInfo(true, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.SampleType, c.SampleType) << "the channels no longer say what the rings carry";

    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    RunFor(100 * rig::kMillisecond);
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    const ULONG periodsAtD0 = client->Stats().Periods;
    const size_t packetsAtD0 = DataPackets(true).size();
    RunFor(200 * rig::kMillisecond);
    EXPECT_GE(client->Stats().Periods, periodsAtD0 + 150) << "the streams did not resume in D0";
    sim::StreamFormat format;
    ASSERT_TRUE(Streams().CurrentFormat(c.CaptureEndpoint, &format));
    EXPECT_EQ(format.SubframeBytes, c.SampleBytes);
    const std::vector<sim::StreamPacketRecord> packets = DataPackets(true);
    ASSERT_GT(packets.size(), packetsAtD0);
    EXPECT_EQ(packets.back().Bytes % (c.CaptureChannels * c.SampleBytes), 0u);
    EXPECT_EQ(client->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

} // namespace
