// The ASIO companion as a hostile or unlucky caller meets the driver: a handle shared with a
// second process that maps the rings, a 32-bit caller with an output length past 2 GiB, a
// request whose entry count runs past what arrived, a stop sent by a handle that owns nothing
// while the device sleeps, and every pool allocation of a session refused in turn. The
// stand-in's records (views by process, live pool blocks, IRPs) and the device's own traffic
// are the oracles.
#include "support/stream_rig.h"

#include "sim/host/asio_client.h"

#include "plat_io.h"
#include "plat_pool.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr ULONG kHostileRate = 48000;
constexpr ULONG kHostileBufferFrames = 256;
constexpr ULONG kSecondProcessId = 200;

// One render ring and one capture ring on the headset: every channel of each.
const std::vector<sim::AsioChannelRequest> kHeadsetChannels = {{false, 0}, {false, 1}, {true, 0}};

class AsioHostile : public rig::StreamRig
{
protected:
    void StartHeadset() { ASSERT_EQ(PlugAndStart("uac1-headset-asio"), STATUS_SUCCESS); }

    // A companion set to 48 kHz, 16-bit.
    std::unique_ptr<sim::AsioClient> OpenConfigured()
    {
        std::unique_ptr<sim::AsioClient> client;
        EXPECT_EQ(sim::AsioClient::Open(&client, Pdo()), STATUS_SUCCESS);
        if (client)
        {
            EXPECT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, kHostileRate), STATUS_SUCCESS);
            EXPECT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_TYPE, ASIO_SAMPLE_INT16), STATUS_SUCCESS);
        }
        return client;
    }

    // A map request of Count entries with Entries of them present (render channel 0 each).
    static std::vector<UCHAR> MapRequest(ULONG Count, ULONG Entries)
    {
        std::vector<UCHAR> request(sizeof(AsioBufferRequest) + Entries * sizeof(AsioBufferRequestEntry));
        AsioBufferRequest header = {0, Count, kHostileBufferFrames};
        std::memcpy(request.data(), &header, sizeof(header));
        for (ULONG i = 0; i < Entries; ++i)
        {
            AsioBufferRequestEntry entry = {0, 0};
            std::memcpy(request.data() + sizeof(header) + i * sizeof(entry), &entry, sizeof(entry));
        }
        return request;
    }
};

// ---- Views and the process they belong to ----

enum class HostileEnd
{
    UnmapControl,
    CleanupAndClose,
};

// The rings are mapped from a second process through the shared handle; whatever ends them
// from the first process (its unmap control, or its cleanup and the close from the system
// process) takes the views down in the process that has them, and frees nothing a view shows.
TEST_F(AsioHostile, RingsMappedFromASecondProcessAreUnmappedWhereTheyWereMapped)
{
    StartHeadset();
    for (HostileEnd end : {HostileEnd::UnmapControl, HostileEnd::CleanupAndClose})
    {
        SCOPED_TRACE(end == HostileEnd::UnmapControl ? "unmap control" : "cleanup and close");
        std::unique_ptr<sim::AsioClient> client = OpenConfigured();
        ASSERT_TRUE(client);
        {
            plat::ProcessScope second(kSecondProcessId);
            ASSERT_EQ(client->Map(kHeadsetChannels, kHostileBufferFrames), STATUS_SUCCESS);
        }
        const std::vector<plat::UserMapping> views = plat::MmUserMappings();
        ASSERT_EQ(views.size(), 2u);
        for (const plat::UserMapping& view : views)
            EXPECT_EQ(view.ProcessId, kSecondProcessId);
        ASSERT_EQ(client->Start(), STATUS_SUCCESS);
        RunFor(20 * rig::kMillisecond);
        ASSERT_EQ(client->Stop(), STATUS_SUCCESS);
        if (end == HostileEnd::UnmapControl)
        {
            EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
            EXPECT_EQ(plat::MmUserMappingCount(), 0u);
            ULONG inUse = 1;
            EXPECT_EQ(client->GetValue(IOCTL_ASIO_GET_BUFFERS_IN_USE, &inUse), STATUS_SUCCESS);
            EXPECT_EQ(inUse, 0u);
        }
        EXPECT_EQ(client->Close(), STATUS_SUCCESS);
        EXPECT_EQ(plat::MmUserMappingCount(), 0u);
    }
    // The rings and the process references went with the views: a new owner maps again.
    std::unique_ptr<sim::AsioClient> next = OpenConfigured();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->Map(kHeadsetChannels, kHostileBufferFrames), STATUS_SUCCESS);
    EXPECT_EQ(next->Close(), STATUS_SUCCESS);
}

// ---- Lengths the caller chose ----

// A 32-bit caller's output length past 2 GiB doubles past 32 bits: it is refused before
// anything is mapped or copied, and the device is left as it was.
TEST_F(AsioHostile, AThirtyTwoBitOutputLengthPastTwoGigabytesIsRefused)
{
    StartHeadset();
    std::unique_ptr<sim::AsioClient> client = OpenConfigured();
    ASSERT_TRUE(client);
    plat::IoSetIs32bitProcess(true);
    const std::vector<UCHAR> request = MapRequest(1, 1);
    ULONG addresses[4] = {};
    const sim::IoResult r = client->Control(IOCTL_ASIO_MAP_BUFFERS, request.data(), ULONG(request.size()),
                                            addresses, 0x80000008u);
    EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
    ULONG inUse = 1;
    EXPECT_EQ(client->GetValue(IOCTL_ASIO_GET_BUFFERS_IN_USE, &inUse), STATUS_SUCCESS);
    EXPECT_EQ(inUse, 0u);
    // The caller's right length still maps: two endpoints, four bytes each.
    EXPECT_EQ(
        client->Control(IOCTL_ASIO_MAP_BUFFERS, request.data(), ULONG(request.size()), addresses, 8).Status,
        STATUS_SUCCESS);
    EXPECT_EQ(plat::MmUserMappingCount(), 2u);
    plat::IoSetIs32bitProcess(false);
    EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

// The entry count is bounded by the bytes after the header: one entry more than arrived is
// refused, the count the entries fill is taken.
TEST_F(AsioHostile, AnEntryCountPastTheRequestIsRefused)
{
    StartHeadset();
    std::unique_ptr<sim::AsioClient> client = OpenConfigured();
    ASSERT_TRUE(client);
    struct
    {
        ULONG Count;
        ULONG Entries;
        NTSTATUS Status;
    } const cases[] = {{2, 1, STATUS_INVALID_PARAMETER},
                       {3, 2, STATUS_INVALID_PARAMETER},
                       {1, 0, STATUS_INVALID_PARAMETER},
                       {1, 1, STATUS_SUCCESS},
                       {2, 2, STATUS_SUCCESS}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE("count " + std::to_string(c.Count) + ", entries " + std::to_string(c.Entries));
        const std::vector<UCHAR> request = MapRequest(c.Count, c.Entries);
        ULONGLONG addresses[2] = {};
        EXPECT_EQ(
            client->Control(IOCTL_ASIO_MAP_BUFFERS, request.data(), ULONG(request.size()), addresses, 16)
                .Status,
            c.Status);
        EXPECT_EQ(plat::MmUserMappingCount(), NT_SUCCESS(c.Status) ? 2u : 0u);
        if (NT_SUCCESS(c.Status))
        {
            EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

// A 44.1 kHz ring holds 40 ms of whole frames at the full rate: 1,764 frames, not 44 a
// millisecond's 1,760.
TEST_F(AsioHostile, AFortyFourPointOneKilohertzRingHoldsFortyMillisecondsOfFrames)
{
    ASSERT_EQ(PlugAndStart("uac2-interface"), STATUS_SUCCESS) << plat::DebugLogText();
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_EQ(sim::AsioClient::Open(&client, Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 44100), STATUS_SUCCESS);
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_TYPE, ASIO_SAMPLE_INT32_24), STATUS_SUCCESS);
    ASSERT_EQ(client->Map({{true, 0}, {true, 1}}, 441), STATUS_SUCCESS) << plat::DebugLogText();
    ASSERT_EQ(client->Rings().size(), 1u);
    const AsioSharedBufferHeader& ring = *client->Rings()[0].Header;
    EXPECT_EQ(ring.Channels, 2u);
    EXPECT_EQ(ring.RingBytes, 1764u * 2 * 4);
    EXPECT_EQ(client->Unmap(), STATUS_SUCCESS);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
}

// ---- The stop that waits for D0 ----

// In D3 a handle that owns nothing cannot take the stop's single place: it is refused at
// once, and the owner's own stop then waits for D0 and stops the streams.
TEST_F(AsioHostile, ANonOwnersStopInD3IsRefusedAndTheOwnersStopWaitsForD0)
{
    StartHeadset();
    std::unique_ptr<sim::AsioClient> owner = OpenConfigured();
    std::unique_ptr<sim::AsioClient> other = OpenConfigured();
    ASSERT_TRUE(owner && other);
    ASSERT_EQ(owner->Map(kHeadsetChannels, kHostileBufferFrames), STATUS_SUCCESS);
    ASSERT_EQ(owner->Start(), STATUS_SUCCESS);
    RunFor(20 * rig::kMillisecond);
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);

    other->StopAsync();
    RunFor(20 * rig::kMillisecond);
    EXPECT_TRUE(other->StopAnswered()) << "a handle that owns nothing parked the stop";
    owner->StopAsync();
    RunFor(20 * rig::kMillisecond);
    EXPECT_FALSE(owner->StopAnswered()) << "the owner's stop in D3 waits for D0";
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(other->StopResult(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(owner->StopResult(), STATUS_SUCCESS);
    const size_t packets = DataPackets(false).size();
    RunFor(100 * rig::kMillisecond);
    EXPECT_LE(DataPackets(false).size(), packets + 8) << "render kept going after the owner's stop";
    EXPECT_EQ(other->Close(), STATUS_SUCCESS);
    EXPECT_EQ(owner->Close(), STATUS_SUCCESS);
}

} // namespace
