// The bus's isochronous engine as a streaming driver meets it: start frames, completion on
// the bus thread after the last frame, and IRP, URB and per-packet results under the simulated
// device's stream faults.
#include "usb/isoch_rig.h"

#include <algorithm>

namespace
{

using isochrig::IsochRig;
using isochrig::Transfer;

TEST(IsochEngine, StartFramesAreScheduledOrRefusedAsAHostControllerDoes)
{
    // Offset: explicit start frame - current frame (ASAP when absent); expected likewise, 0: refused.
    const struct
    {
        bool Asap;
        LONG Offset, Expected;
    } cases[] = {{true, 0, 1},  {false, 1, 1},  {false, 1024, 1024},
                 {false, 0, 0}, {false, -5, 0}, {false, 1025, 0}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Offset);
        IsochRig rig;
        rig.Plug("uac1-speaker");
        USBD_PIPE_HANDLE pipe = rig.SelectInterface(1, 1, 1, 0x01);
        const ULONG now = rig.Frame();
        Transfer t;
        t.Build(pipe, false, c.Asap ? USBD_START_ISO_TRANSFER_ASAP : 0, now + c.Offset, {176, 176});
        const NTSTATUS submitted = rig.Submit(&t);
        // A refusal completes at once; an accepted transfer never does, even one due next frame.
        EXPECT_EQ(submitted, c.Expected ? STATUS_PENDING : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(bool(t.Completed), c.Expected == 0);
        EXPECT_EQ(rig.Collect(&t), c.Expected ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(t.Iso().Hdr.Status, c.Expected ? USBD_STATUS_SUCCESS : USBD_STATUS_BAD_START_FRAME);
        if (c.Expected)
        {
            EXPECT_EQ(LONG(t.Iso().StartFrame - now), c.Expected);
            EXPECT_EQ(KeQueryInterruptTime(), (t.Iso().StartFrame + 2) * 10000ull); // after its last frame
            EXPECT_EQ(t.Irql, DISPATCH_LEVEL);
            EXPECT_NE(t.Thread, KeGetCurrentThread());
        }
    }
}

TEST(IsochEngine, PacketUrbAndIrpResultsFollowTheDevice)
{
    const struct
    {
        const char* Name;
        bool In;
        uint64_t FailPacket, FailTransfer;
        bool Vanish;
        NTSTATUS Irp;
        USBD_STATUS Urb, Packet;
        ULONG Failed; // packets
    } cases[] = {
        {"clean OUT", false, 0, 0, false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, 0},
        {"clean IN", true, 0, 0, false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, 0},
        {"one failed OUT packet", false, 3, 0, false, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
         USBD_STATUS_XACT_ERROR, 1},
        {"one failed IN packet", true, 3, 0, false, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
         USBD_STATUS_XACT_ERROR, 1},
        {"failed OUT transfer", false, 0, 1, false, STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED,
         USBD_STATUS_XACT_ERROR, 10},
        {"failed IN transfer", true, 0, 1, false, STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED,
         USBD_STATUS_XACT_ERROR, 10},
        {"vanished device", false, 0, 0, true, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE,
         USBD_STATUS_DEVICE_GONE, 10},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        IsochRig rig;
        rig.Plug("uac1-headset");
        const UCHAR address = c.In ? 0x82 : 0x01;
        USBD_PIPE_HANDLE pipe = rig.SelectInterface(c.In ? 2 : 1, 1, 1, address);
        rig.SetRate(address, 44100);
        // IN: room for 49 mono frames a packet. The fault strikes while the transfer waits.
        Transfer t;
        t.Build(pipe, c.In, USBD_START_ISO_TRANSFER_ASAP, 0, std::vector<ULONG>(10, c.In ? 98 : 176));
        ASSERT_EQ(rig.Submit(&t), STATUS_PENDING);
        sim::StreamFaults faults;
        faults.FailPacketNumber = c.FailPacket;
        faults.FailTransferNumber = c.FailTransfer;
        rig.Device().Streams().SetFaults(faults);
        sim::DeviceFaults gone;
        gone.Vanished = c.Vanish;
        rig.Device().SetFaults(gone);

        EXPECT_EQ(rig.Collect(&t), c.Irp);
        EXPECT_EQ(t.Iso().Hdr.Status, c.Urb);
        EXPECT_EQ(t.Iso().ErrorCount, c.Failed);
        ULONG inBytes = 0;
        for (ULONG i = 0; i < 10; ++i)
        {
            const bool failed = c.Failed == 10 || (c.Failed == 1 && i == 2);
            EXPECT_EQ(t.Iso().IsoPacket[i].Status, failed ? c.Packet : USBD_STATUS_SUCCESS) << i;
            // The device's clock puts the 45th frame of each 10 ms into the tenth packet.
            const ULONG length = failed ? 0 : i == 9 ? 90 : 88;
            EXPECT_EQ(t.Iso().IsoPacket[i].Length, c.In ? length : 176u) << i;
            inBytes += length;
        }
        EXPECT_EQ(t.Iso().TransferBufferLength, c.In ? inBytes : 1760u);
        EXPECT_EQ(rig.Device().Transfers().back().IrpStatus, c.Irp);
    }
}

// An IN packet's length is never taken past the room the driver gave it, whatever the device
// reports: the URB then promises no byte beyond its buffer.
TEST(IsochEngine, AnInPacketIsNeverLongerThanItsRoom)
{
    IsochRig rig;
    rig.Plug("uac1-headset");
    USBD_PIPE_HANDLE pipe = rig.SelectInterface(2, 1, 1, 0x82);
    rig.SetRate(0x82, 44100);
    sim::StreamFaults faults;
    faults.OverstateInLength = 6;
    rig.Device().Streams().SetFaults(faults);
    Transfer t;
    t.Build(pipe, true, USBD_START_ISO_TRANSFER_ASAP, 0, std::vector<ULONG>(10, 98));
    ASSERT_EQ(rig.Submit(&t), STATUS_PENDING);
    ASSERT_EQ(rig.Collect(&t), STATUS_SUCCESS);
    for (ULONG i = 0; i < 10; ++i)
    {
        EXPECT_EQ(t.Iso().IsoPacket[i].Status, USBD_STATUS_SUCCESS) << i;
        EXPECT_EQ(t.Iso().IsoPacket[i].Length, 98u) << i;
    }
    EXPECT_EQ(t.Iso().TransferBufferLength, 980u);
    EXPECT_EQ(t.Buffer.back(), 0) << "nothing written past the last packet's room";
}

TEST(IsochEngine, ADeviceThatStopsCompletingHoldsTransfersUntilAbortedOrReleased)
{
    IsochRig rig;
    rig.Plug("uac1-speaker");
    USBD_PIPE_HANDLE pipe = rig.SelectInterface(1, 1, 1, 0x01);
    sim::StreamFaults stuck;
    stuck.StopCompleting = true;
    rig.Device().Streams().SetFaults(stuck);
    Transfer a, b;
    for (bool release : {false, true})
    {
        for (Transfer* t : {&a, &b})
        {
            t->Build(pipe, false, USBD_START_ISO_TRANSFER_ASAP, 0, std::vector<ULONG>(10, 176));
            ASSERT_EQ(rig.Submit(t), STATUS_PENDING);
        }
        kt::DelayMs(100);
        EXPECT_FALSE(a.Completed || b.Completed);
        URB abort{};
        abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        abort.UrbPipeRequest.PipeHandle = pipe;
        if (release)
            rig.Device().Streams().SetFaults(sim::StreamFaults{}); // late, but they finish
        else
            ASSERT_EQ(rig.SendUrb(&abort), STATUS_SUCCESS);
        for (Transfer* t : {&a, &b})
            EXPECT_EQ(rig.Collect(t), release ? STATUS_SUCCESS : STATUS_CANCELLED);
        EXPECT_EQ(rig.Device().Streams().Packets().size(), release ? 20u : 0u);
    }
}

} // namespace
