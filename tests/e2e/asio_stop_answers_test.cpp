// Every IOCTL_ASIO_STOP gets an answer, whatever happens to the device or the handle around it:
// a surprise removal before or after the stop, in D0 and in D3, and the handle's cleanup racing
// the stop for the driver's client lock in either order. A companion that stops synchronously
// on removal and then closes its handle must never hang.
#include "support/stream_rig.h"

#include "sim/host/asio_client.h"

#include "plat_io.h"
#include "plat_sched.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace
{

// Render (both channels) and capture on the headset, 256-frame buffers at 48 kHz, 16-bit.
const std::vector<sim::AsioChannelRequest> kStopTestChannels = {{false, 0}, {false, 1}, {true, 0}};
constexpr ULONG kStopTestBufferFrames = 256;
// Long enough for anything the driver does at once; a stop not answered by then waits.
constexpr ULONGLONG kAnswerWindow = 20 * rig::kMillisecond;

class AsioStopAnswersRig : public rig::StreamRig
{
protected:
    void StartStreamingClient(std::unique_ptr<sim::AsioClient>* client)
    {
        ASSERT_EQ(PlugAndStart("uac1-headset-asio"), STATUS_SUCCESS);
        ASSERT_EQ(sim::AsioClient::Open(client, Pdo()), STATUS_SUCCESS);
        ASSERT_EQ((*client)->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 48000), STATUS_SUCCESS);
        ASSERT_EQ((*client)->SetValue(IOCTL_ASIO_SET_SAMPLE_TYPE, ASIO_SAMPLE_INT16), STATUS_SUCCESS);
        ASSERT_EQ((*client)->Map(kStopTestChannels, kStopTestBufferFrames), STATUS_SUCCESS);
        ASSERT_EQ((*client)->Start(), STATUS_SUCCESS);
        RunFor(kAnswerWindow);
    }

    // The stop's answer, once it has one. A stop still waiting fails the test and is then
    // cancelled, so that the test ends instead of hanging.
    static NTSTATUS AnswerOf(sim::AsioClient* client)
    {
        RunFor(kAnswerWindow);
        EXPECT_TRUE(client->StopAnswered()) << "the stop still waits";
        if (!client->StopAnswered())
            client->CancelPending();
        return client->StopResult();
    }
};

// ---- Removal before and after the stop ----

struct RemovalCase
{
    const char* Name;
    DEVICE_POWER_STATE Power;
    bool RemovalFirst;
    bool WaitsForRemoval; // parked until the removal answers it
    NTSTATUS Answer;
};

const RemovalCase kRemovalCases[] = {
    // name, power state, removal first, waits for the removal, answer
    {"D0StopThenRemoval", PowerDeviceD0, false, false, STATUS_SUCCESS},
    {"D0RemovalThenStop", PowerDeviceD0, true, false, STATUS_SUCCESS},
    {"D3StopThenRemoval", PowerDeviceD3, false, true, STATUS_DELETE_PENDING},
    {"D3RemovalThenStop", PowerDeviceD3, true, false, STATUS_DELETE_PENDING},
};

class AsioStopAndRemoval : public AsioStopAnswersRig, public testing::WithParamInterface<RemovalCase>
{
};

TEST_P(AsioStopAndRemoval, EveryStopIsAnswered)
{
    const RemovalCase& c = GetParam();
    std::unique_ptr<sim::AsioClient> client;
    ASSERT_NO_FATAL_FAILURE(StartStreamingClient(&client));
    if (c.Power != PowerDeviceD0)
    {
        ASSERT_EQ(Pnp().SetDevicePower(c.Power), STATUS_SUCCESS);
    }
    if (c.RemovalFirst)
        SurpriseRemove();
    client->StopAsync();
    RunFor(kAnswerWindow);
    EXPECT_EQ(client->StopAnswered(), !c.WaitsForRemoval);
    if (!c.RemovalFirst)
        SurpriseRemove();
    EXPECT_EQ(AnswerOf(client.get()), c.Answer);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(PowerAndOrder, AsioStopAndRemoval, testing::ValuesIn(kRemovalCases),
                         [](const testing::TestParamInfo<RemovalCase>& info) { return info.param.Name; });

// ---- The handle's cleanup racing the stop ----

struct CleanupRaceCase
{
    const char* Name;
    bool StopFirst; // the stop reaches the client lock before the cleanup does
    NTSTATUS Answer;
};

const CleanupRaceCase kCleanupRaceCases[] = {
    {"StopBeforeCleanup", true, STATUS_CANCELLED},          // parked, then answered by the cleanup
    {"CleanupBeforeStop", false, STATUS_INVALID_PARAMETER}, // the handle owns nothing any more
};

class AsioStopRacingCleanup : public AsioStopAnswersRig, public testing::WithParamInterface<CleanupRaceCase>
{
};

// A second companion's product-name query holds the driver's client lock while the device
// takes its time over the string; the stop and the cleanup queue behind it in the case's order
// and get the lock in that order once the device answers. The device sleeps, so the stop
// parks when it gets the lock.
TEST_P(AsioStopRacingCleanup, TheStopIsAnsweredInEitherOrder)
{
    const CleanupRaceCase& c = GetParam();
    std::unique_ptr<sim::AsioClient> owner, other;
    ASSERT_NO_FATAL_FAILURE(StartStreamingClient(&owner));
    ASSERT_EQ(sim::AsioClient::Open(&other, Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    sim::DeviceFaults slowStrings;
    slowStrings.Delay100ns = 50 * rig::kMillisecond;
    slowStrings.DelayFilter.RequestType = 0x80; // standard, device to host
    slowStrings.DelayFilter.Request = 0x06;     // GET_DESCRIPTOR
    SetDeviceFaults(slowStrings);

    std::atomic<bool> holderDone{false};
    std::string name;
    plat::HostThread holder("name query",
                            [&]
                            {
                                EXPECT_EQ(other->GetProductName(&name), STATUS_SUCCESS);
                                holderDone = true;
                            });
    plat::Settle();
    std::atomic<NTSTATUS> cleanupStatus{STATUS_PENDING};
    std::unique_ptr<plat::HostThread> cleaner;
    auto startCleanup = [&]
    {
        cleaner.reset(new plat::HostThread("cleanup", [&] { cleanupStatus = owner->Cleanup(); }));
        plat::Settle();
    };
    auto startStop = [&]
    {
        owner->StopAsync();
        plat::Settle();
    };
    if (c.StopFirst)
    {
        startStop();
        startCleanup();
    }
    else
    {
        startCleanup();
        startStop();
    }
    ASSERT_FALSE(holderDone) << "the name query no longer holds the lock: the race was not set up";
    EXPECT_FALSE(owner->StopAnswered());
    EXPECT_EQ(cleanupStatus.load(), STATUS_PENDING);

    RunFor(slowStrings.Delay100ns); // the device answers the name; the lock passes on
    EXPECT_EQ(AnswerOf(owner.get()), c.Answer);
    cleaner->Join();
    holder.Join();
    EXPECT_EQ(cleanupStatus.load(), STATUS_SUCCESS);
    EXPECT_EQ(name, "Uacsim USB Headset");
    EXPECT_EQ(plat::MmUserMappingCount(), 0u) << "the cleanup left the owner's views";
    EXPECT_EQ(owner->Close(), STATUS_SUCCESS);
    EXPECT_EQ(other->Close(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Order, AsioStopRacingCleanup, testing::ValuesIn(kCleanupRaceCases),
                         [](const testing::TestParamInfo<CleanupRaceCase>& info) { return info.param.Name; });

} // namespace
