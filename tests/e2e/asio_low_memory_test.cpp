// A companion session in low memory: every pool allocation of a session (open, map, start,
// stop, unmap or cleanup, close, and the stream clients' open, start, stop and close beneath
// them) is refused once in turn. Whatever each request then answers must be true of what the
// device and the stand-in show (views, the bus traffic, the ring the driver writes), and once
// the handle is closed nothing of the session is left: no view, no pool block.
#include "support/stream_rig.h"

#include "sim/host/asio_client.h"

#include "plat_io.h"
#include "plat_pool.h"

#include <memory>
#include <string>
#include <vector>

namespace
{

// A session never makes this many allocations; the sweep ends at the first it does not reach.
constexpr ULONG kLowMemoryMaxSteps = 400;
// Packets that may still complete after the streams were told to stop.
constexpr size_t kLowMemoryInFlight = 8;

enum class LowMemoryEnd
{
    StopAndUnmap,         // the companion stops, unmaps and closes
    CleanupWhileStreaming // it closes while streaming: the cleanup stops and unmaps
};

class AsioLowMemory : public rig::StreamRig
{
protected:
    // Open, configure, map and start; then the end the case names. Every answer is checked;
    // with Whole set (nothing refused) every request must succeed.
    void RunSession(LowMemoryEnd end, bool Whole)
    {
        std::unique_ptr<sim::AsioClient> client;
        const NTSTATUS open = sim::AsioClient::Open(&client, Pdo());
        EXPECT_TRUE(!Whole || NT_SUCCESS(open)) << "open answered " << std::hex << open;
        if (!NT_SUCCESS(open))
        {
            EXPECT_FALSE(client);
            return;
        }
        client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 48000);
        client->SetValue(IOCTL_ASIO_SET_SAMPLE_TYPE, ASIO_SAMPLE_INT16);
        const NTSTATUS map = client->Map({{false, 0}, {false, 1}, {true, 0}}, 256);
        EXPECT_EQ(plat::MmUserMappingCount(), NT_SUCCESS(map) ? 2u : 0u)
            << "map answered " << std::hex << map;

        const size_t packetsBefore = DataPackets(false).size();
        const NTSTATUS start = client->Start();
        EXPECT_TRUE(!Whole || (NT_SUCCESS(map) && NT_SUCCESS(start)))
            << "with memory enough, map answered " << std::hex << map << " and start " << start;
        EXPECT_TRUE(NT_SUCCESS(map) || !NT_SUCCESS(start)) << "started without rings";
        RunFor(15 * rig::kMillisecond);
        const size_t packetsStarted = DataPackets(false).size();
        if (NT_SUCCESS(start))
        {
            EXPECT_GT(packetsStarted, packetsBefore + 5) << "start succeeded but nothing streams";
            EXPECT_GT(client->Rings().at(1).Header->PeriodCount, 0u) << "start succeeded but no period came";
        }
        else
        {
            EXPECT_LE(packetsStarted, packetsBefore + kLowMemoryInFlight)
                << "start failed (" << std::hex << start << ") but the device streams";
        }

        if (end == LowMemoryEnd::StopAndUnmap)
        {
            const NTSTATUS stop = NT_SUCCESS(start) ? client->Stop() : STATUS_SUCCESS;
            const size_t packetsStopped = DataPackets(false).size();
            RunFor(15 * rig::kMillisecond);
            if (NT_SUCCESS(stop))
            {
                EXPECT_LE(DataPackets(false).size(), packetsStopped + kLowMemoryInFlight)
                    << "stop succeeded but the device streams";
            }
            const NTSTATUS unmap = client->Unmap();
            if (NT_SUCCESS(unmap))
            {
                EXPECT_EQ(plat::MmUserMappingCount(), 0u) << "unmap succeeded but a view is left";
            }
        }
        EXPECT_EQ(client->Close(), STATUS_SUCCESS);
        const size_t packetsClosed = DataPackets(false).size();
        RunFor(15 * rig::kMillisecond);
        EXPECT_LE(DataPackets(false).size(), packetsClosed + kLowMemoryInFlight)
            << "streams outlived the handle";
        EXPECT_EQ(plat::MmUserMappingCount(), 0u) << "a view outlived the handle";
    }

    // The session once with nothing refused (what it allocates only once is allocated now),
    // then once per allocation it makes, that one refused, then once more whole: a refusal
    // must not have cost the device anything for later. Returns the refused sessions.
    ULONG Sweep(LowMemoryEnd end)
    {
        RunSession(end, true);
        ULONG refusedSessions = 0;
        for (ULONG n = 1; n <= kLowMemoryMaxSteps && !HasFatalFailure(); ++n)
        {
            SCOPED_TRACE("allocation " + std::to_string(n) + " refused");
            const plat::PoolSnapshot snapshot = plat::TakePoolSnapshot();
            const ULONGLONG refusedBefore = plat::PoolInjectedFailureCount();
            plat::FailNthAllocation(n);
            RunSession(end, false);
            plat::ClearPoolFailures();
            EXPECT_EQ(plat::PoolLeaksSince(snapshot), "");
            if (plat::PoolInjectedFailureCount() == refusedBefore)
                break;
            ++refusedSessions;
        }
        RunSession(end, true);
        return refusedSessions;
    }
};

TEST_F(AsioLowMemory, EveryAllocationOfASessionRefusedInTurnIsAnsweredTruthfullyAndLeavesNothing)
{
    ASSERT_EQ(PlugAndStart("uac1-headset-asio"), STATUS_SUCCESS);
    for (LowMemoryEnd end : {LowMemoryEnd::StopAndUnmap, LowMemoryEnd::CleanupWhileStreaming})
    {
        SCOPED_TRACE(end == LowMemoryEnd::StopAndUnmap ? "stop and unmap" : "cleanup while streaming");
        const ULONG refused = Sweep(end);
        // The requests, the client record, two rings, two stream clients and their transfers.
        EXPECT_GE(refused, 50u);
        EXPECT_LT(refused, kLowMemoryMaxSteps) << "the sweep never reached the session's end";
    }
}

} // namespace
