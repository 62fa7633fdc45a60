// The ASIO interface against what a device offers: the sample types every endpoint shares,
// rings sized from the type that streams, and the vendor request that the listed models get
// when the companion's streams start and stop (the device's own request log is the oracle).
#include "support/stream_rig.h"

#include "sim/host/asio_client.h"

#include <memory>
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

} // namespace
