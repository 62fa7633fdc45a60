// The bus's isochronous engine as a streaming driver meets it: start frames, completion on
// the bus thread after the last (micro)frame, and IRP, URB and per-packet results under the
// simulated device's faults.
#include "usb/isoch_rig.h"

namespace
{

using isochrig::IsochRig;
using isochrig::Transfer;

constexpr ULONG kFrame100ns = 10000;

TEST(IsochEngine, StartFramesAreScheduledOrRefusedAsAHostControllerDoes)
{
    struct Case
    {
        const char* Name;
        bool Asap;
        LONG Offset;      // explicit: start frame - current frame
        bool QueuedFirst; // a 10-frame ASAP transfer is already queued
        LONG Expected;    // start frame - current frame; 0: refused
    };
    const Case cases[] = {
        {"ASAP on an idle pipe", true, 0, false, 1},
        {"ASAP behind a queued transfer", true, 0, true, 11},
        {"explicit next frame", false, 1, false, 1},
        {"explicit at the far edge of the schedule", false, 1024, false, 1024},
        {"explicit frame already begun", false, 0, false, 0},
        {"explicit frame in the past", false, -5, false, 0},
        {"explicit frame beyond the schedule", false, 1025, false, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        IsochRig rig;
        rig.Plug("uac1-speaker");
        USBD_PIPE_HANDLE pipe = rig.SelectInterface(1, 1, 1, 0x01).PipeHandle;
        const ULONG now = rig.Frame();
        Transfer first;
        if (c.QueuedFirst)
        {
            IsochRig::Build(&first, pipe, false, USBD_START_ISO_TRANSFER_ASAP, 0,
                            std::vector<ULONG>(10, 176));
            ASSERT_EQ(rig.Submit(&first), STATUS_PENDING);
        }
        Transfer t;
        IsochRig::Build(&t, pipe, false, c.Asap ? USBD_START_ISO_TRANSFER_ASAP : 0, now + c.Offset,
                        {176, 176});
        const NTSTATUS submitted = rig.Submit(&t);
        if (c.Expected == 0)
        {
            EXPECT_EQ(submitted, STATUS_UNSUCCESSFUL);
            EXPECT_TRUE(t.Completed); // refused at once, in the caller's context
            EXPECT_EQ(t.Iso().Hdr.Status, USBD_STATUS_BAD_START_FRAME);
        }
        else
        {
            // Even a transfer due next frame completes later, on the bus thread.
            EXPECT_EQ(submitted, STATUS_PENDING);
            EXPECT_FALSE(t.Completed);
            EXPECT_EQ(LONG(t.Iso().StartFrame - now), c.Expected);
            EXPECT_EQ(rig.Collect(&t), STATUS_SUCCESS);
            EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(t.Iso().StartFrame + 2) * kFrame100ns);
            EXPECT_EQ(t.Irql, DISPATCH_LEVEL);
            EXPECT_NE(t.Thread, KeGetCurrentThread());
            EXPECT_EQ(t.Iso().Hdr.Status, USBD_STATUS_SUCCESS);
        }
        if (c.QueuedFirst)
        {
            EXPECT_EQ(rig.Collect(&first), STATUS_SUCCESS);
        }
    }
}

TEST(IsochEngine, PacketUrbAndIrpResultsFollowTheDevice)
{
    struct Case
    {
        const char* Name;
        bool In;
        std::function<void(sim::SimUsbDevice&)> Inject;
        NTSTATUS IrpStatus;
        USBD_STATUS UrbStatus;
        std::vector<ULONG> FailedPackets; // indices; every packet when empty and UrbStatus fails
        USBD_STATUS PacketStatus;
    };
    auto faults = [](std::function<void(sim::StreamFaults&)> set)
    {
        return [set](sim::SimUsbDevice& device)
        {
            sim::StreamFaults f;
            set(f);
            device.Streams().SetFaults(f);
        };
    };
    auto vanish = [](sim::SimUsbDevice& device)
    {
        sim::DeviceFaults gone;
        gone.Vanished = true;
        device.SetFaults(gone);
    };
    const Case cases[] = {
        {"clean OUT", false, [](sim::SimUsbDevice&) {}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, {}, 0},
        {"clean IN", true, [](sim::SimUsbDevice&) {}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, {}, 0},
        {"one failed OUT packet",
         false,
         faults([](sim::StreamFaults& f) { f.FailPacketNumber = 3; }),
         STATUS_SUCCESS,
         USBD_STATUS_SUCCESS,
         {2},
         USBD_STATUS_XACT_ERROR},
        {"one failed IN packet",
         true,
         faults(
             [](sim::StreamFaults& f)
             {
                 f.FailPacketNumber = 7;
                 f.PacketFailure = USBD_STATUS_DATA_OVERRUN;
             }),
         STATUS_SUCCESS,
         USBD_STATUS_SUCCESS,
         {6},
         USBD_STATUS_DATA_OVERRUN},
        {"failed OUT transfer",
         false,
         faults([](sim::StreamFaults& f) { f.FailTransferNumber = 1; }),
         STATUS_UNSUCCESSFUL,
         USBD_STATUS_ISOCH_REQUEST_FAILED,
         {},
         USBD_STATUS_XACT_ERROR},
        {"failed IN transfer",
         true,
         faults([](sim::StreamFaults& f) { f.FailTransferNumber = 1; }),
         STATUS_UNSUCCESSFUL,
         USBD_STATUS_ISOCH_REQUEST_FAILED,
         {},
         USBD_STATUS_XACT_ERROR},
        {"vanished device",
         false,
         vanish,
         STATUS_DEVICE_NOT_CONNECTED,
         USBD_STATUS_DEVICE_GONE,
         {},
         USBD_STATUS_DEVICE_GONE},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        IsochRig rig;
        rig.Plug("uac1-headset");
        const UCHAR address = c.In ? 0x82 : 0x01;
        USBD_PIPE_HANDLE pipe = rig.SelectInterface(c.In ? 2 : 1, 1, 1, address).PipeHandle;
        rig.SetEndpointRate(address, 44100);
        // IN: room for 49 mono 16-bit frames a packet; the device fills 44 or 45. The fault
        // strikes while the transfer waits for its frames.
        Transfer t;
        IsochRig::Build(&t, pipe, c.In, USBD_START_ISO_TRANSFER_ASAP, 0,
                        std::vector<ULONG>(10, c.In ? 98 : 176));
        ASSERT_EQ(rig.Submit(&t), STATUS_PENDING);
        c.Inject(rig.Device());
        EXPECT_EQ(rig.Collect(&t), c.IrpStatus);
        struct _URB_ISOCH_TRANSFER& iso = t.Iso();
        EXPECT_EQ(iso.Hdr.Status, c.UrbStatus);
        const bool all = c.FailedPackets.empty() && USBD_ERROR(c.UrbStatus);
        ULONG errors = 0;
        ULONG inBytes = 0;
        for (ULONG i = 0; i < 10; ++i)
        {
            const bool failed =
                all || std::find(c.FailedPackets.begin(), c.FailedPackets.end(), i) != c.FailedPackets.end();
            errors += failed ? 1 : 0;
            EXPECT_EQ(iso.IsoPacket[i].Status, failed ? c.PacketStatus : USBD_STATUS_SUCCESS) << i;
            if (c.In)
            {
                // The device's clock fills the tenth millisecond with its 45th frame.
                const ULONG expected = failed ? 0 : (i == 9 ? 90 : 88);
                EXPECT_EQ(iso.IsoPacket[i].Length, expected) << i;
                inBytes += iso.IsoPacket[i].Length;
            }
        }
        EXPECT_EQ(iso.ErrorCount, errors);
        if (c.In)
        {
            EXPECT_EQ(iso.TransferBufferLength, inBytes);
        }
        std::vector<plat::UsbBusTransferRecord> transfers = rig.Device().Transfers();
        ASSERT_FALSE(transfers.empty());
        EXPECT_EQ(transfers.back().UrbStatus, c.UrbStatus);
        EXPECT_EQ(transfers.back().IrpStatus, c.IrpStatus);
    }
}

TEST(IsochEngine, ADeviceThatStopsCompletingHoldsTransfersUntilAbortOrRelease)
{
    IsochRig rig;
    rig.Plug("uac1-speaker");
    USBD_PIPE_HANDLE pipe = rig.SelectInterface(1, 1, 1, 0x01).PipeHandle;
    sim::StreamFaults stuck;
    stuck.StopCompleting = true;
    rig.Device().Streams().SetFaults(stuck);

    Transfer a;
    Transfer b;
    for (Transfer* t : {&a, &b})
    {
        IsochRig::Build(t, pipe, false, USBD_START_ISO_TRANSFER_ASAP, 0, std::vector<ULONG>(10, 176));
        ASSERT_EQ(rig.Submit(t), STATUS_PENDING);
    }
    kt::DelayMs(100);
    EXPECT_FALSE(a.Completed);
    EXPECT_FALSE(b.Completed);
    ASSERT_EQ(rig.AbortPipe(pipe), STATUS_SUCCESS);
    for (Transfer* t : {&a, &b})
    {
        EXPECT_EQ(rig.Collect(t), STATUS_CANCELLED);
        EXPECT_EQ(t->Iso().Hdr.Status, USBD_STATUS_CANCELED);
    }
    EXPECT_TRUE(rig.Device().Streams().Packets().empty());

    // Held again, then released: the late transfers finish and the device sees their packets.
    for (Transfer* t : {&a, &b})
    {
        IsochRig::Build(t, pipe, false, USBD_START_ISO_TRANSFER_ASAP, 0, std::vector<ULONG>(10, 176));
        ASSERT_EQ(rig.Submit(t), STATUS_PENDING);
    }
    kt::DelayMs(50);
    EXPECT_FALSE(a.Completed);
    rig.Device().Streams().SetFaults(sim::StreamFaults{});
    EXPECT_EQ(rig.Collect(&a), STATUS_SUCCESS);
    EXPECT_EQ(rig.Collect(&b), STATUS_SUCCESS);
    EXPECT_EQ(rig.Device().Streams().Packets().size(), 20u);
}

TEST(IsochEngine, HighSpeedPacketsFillTheMicroframesTheirIntervalServes)
{
    struct Case
    {
        UCHAR Interface;
        UCHAR Address;
        bool In;
        ULONG Room;
        ULONG PacketsPerFrame; // from bInterval
    };
    const Case cases[] = {
        {1, 0x01, false, 48, 8}, // render data, every microframe
        {2, 0x82, true, 104, 8}, // capture data, every microframe
        {1, 0x81, true, 4, 1},   // feedback, every 8 microframes
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(int(c.Address));
        IsochRig rig;
        rig.Plug("uac2-interface");
        USBD_PIPE_HANDLE pipe =
            rig.SelectInterface(c.Interface, 1, c.Interface == 1 ? 2 : 1, c.Address).PipeHandle;
        Transfer odd;
        IsochRig::Build(&odd, pipe, c.In, USBD_START_ISO_TRANSFER_ASAP, 0,
                        std::vector<ULONG>(c.PacketsPerFrame + c.PacketsPerFrame / 2, c.Room));
        if (c.PacketsPerFrame > 1)
        {
            EXPECT_EQ(rig.SendUrb(odd.Urb()), STATUS_INVALID_PARAMETER); // not whole frames
        }
        const ULONG start = rig.Frame() + 2;
        Transfer t;
        IsochRig::Build(&t, pipe, c.In, 0, start, std::vector<ULONG>(16, c.Room));
        ASSERT_EQ(rig.Submit(&t), STATUS_PENDING);
        EXPECT_EQ(rig.Collect(&t), STATUS_SUCCESS);
        const ULONG frames = 16 / c.PacketsPerFrame;
        EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(start + frames) * kFrame100ns);
        std::vector<sim::IsoPacketRecord> packets = rig.Device().IsoPackets();
        ASSERT_EQ(packets.size(), 16u);
        for (ULONG i = 0; i < 16; ++i)
        {
            EXPECT_EQ(packets[i].Frame, start + i / c.PacketsPerFrame) << i;
            EXPECT_EQ(packets[i].Microframe, (i % c.PacketsPerFrame) * (8 / c.PacketsPerFrame)) << i;
        }
    }
}

} // namespace
