// The edges of the class-1 transfer chain on the real objects over the simulated headset:
// silence for empty capture packets against a small packet slot, the isochronous URBs as they
// go down to the bus, and a recovery whose alternate setting the device refuses.
#include "support/stream_rig.h"

#include "usbioctl.h"

#include <mutex>

namespace
{

// The header fields of one isochronous URB as the driver handed it to the bus.
struct IsoUrb
{
    USHORT Length;
    ULONG Flags;
    USBD_PIPE_HANDLE Pipe;
    ULONG BufferLength, StartFrame, Packets, PacketSum;
};

class UsbStreamEdges : public rig::StreamRig
{
protected:
    // Taps the IRPs going down for their URBs, and each streaming SELECT_INTERFACE for the
    // handle of the interface's last pipe in the stream's direction.
    void Tap(bool In)
    {
        m_Urbs.clear();
        m_DataPipe = nullptr;
        UrbTap = [this, In](PURB Urb, bool Answered)
        {
            if (!Answered && Urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER)
            {
                const struct _URB_ISOCH_TRANSFER& iso = Urb->UrbIsochronousTransfer;
                ULONG sum = 0;
                for (ULONG i = 0; i < iso.NumberOfPackets; ++i)
                    sum += iso.IsoPacket[i].Length;
                std::lock_guard<std::mutex> hold(m_UrbLock);
                m_Urbs.push_back({iso.Hdr.Length, iso.TransferFlags, iso.PipeHandle, iso.TransferBufferLength,
                                  iso.StartFrame, iso.NumberOfPackets, sum});
                return;
            }
            const USBD_INTERFACE_INFORMATION& info = Urb->UrbSelectInterface.Interface;
            if (!Answered || Urb->UrbHeader.Function != URB_FUNCTION_SELECT_INTERFACE ||
                !USBD_SUCCESS(Urb->UrbHeader.Status) || info.AlternateSetting == 0)
                return;
            for (ULONG p = 0; p < info.NumberOfPipes; ++p)
                if (((info.Pipes[p].EndpointAddress & 0x80) != 0) == In)
                    m_DataPipe = info.Pipes[p].PipeHandle;
        };
    }
    size_t PortRequestsOf(ULONG Code) { return PortRequestCount(Code); }

    std::mutex m_UrbLock;
    std::vector<IsoUrb> m_Urbs;
    USBD_PIPE_HANDLE m_DataPipe = nullptr;
};

// An empty capture packet stands for one packet's worth of silence, the rate / 1000 + 1 frames,
// but never more than the slot the endpoint's wMaxPacketSize gives a packet in whole frames:
// 48 kHz on an endpoint of exactly 48 frames. Overrunning the slot would write past the
// transfer's buffer, which the sanitizer build sees.
TEST_F(UsbStreamEdges, EmptyCapturePacketsBecomeSilenceThatFitsThePacketSlot)
{
    struct Case
    {
        const char* MaxPacket; // wMaxPacketSize of endpoint 0x82, little-endian
        ULONG RateHz;
        ULONG Frames; // of 16-bit mono silence per empty packet
    } cases[] = {{"62 00", 44100, 45}, {"62 00", 48000, 49}, {"60 00", 48000, 48}, {"5A 00", 44100, 45}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.MaxPacket) + " at " + std::to_string(c.RateHz));
        PlugBuiltin("uac1-headset", "full",
                    {{"09 05 82 05 62 00", std::string("09 05 82 05 ") + c.MaxPacket}});
        rig::StreamTestClient& client = RunClient(Stream(1), rig::ClientFormat(1, c.RateHz, 2, 16, 4), 2, 3);
        sim::StreamFaults faults;
        faults.EmptyInEvery = 1;
        SetStreamFaults(faults);
        ASSERT_TRUE(client.WaitDone(40));
        client.Leave();
        const std::vector<ULONG> doneBytes = client.DoneBytes();
        const std::vector<UCHAR> received = client.Received();
        // The first transfers may have been on the bus before every packet came back empty.
        constexpr size_t early = 8;
        ASSERT_GE(doneBytes.size(), 40u);
        size_t before = 0;
        for (size_t i = 0; i < doneBytes.size(); ++i)
        {
            if (i < early)
                before += doneBytes[i];
            else
                EXPECT_EQ(doneBytes[i], 2 * c.Frames * 2) << "transfer " << i;
        }
        ASSERT_GT(received.size(), before);
        EXPECT_TRUE(std::all_of(received.begin() + before, received.end(), [](UCHAR b) { return b == 0; }));
        TearDown();
        SetUp();
    }
}

// Every isochronous URB that reaches the bus: 152 + 12 bytes a packet long, on the data pipe
// the interface's selection returned, its buffer length the packets' lengths (render) or their
// slots (capture), and either ASAP with no start frame or start frames a transfer apart.
TEST_F(UsbStreamEdges, IsochronousUrbHeadersAsTheBusReceivesThem)
{
    struct Case
    {
        bool In;
        const char* Speed;
        ULONG Ms, PerFrame;
        bool Asap;
    } cases[] = {
        {false, "full", 10, 1, false},
        {false, "high", 5, 8, true},
        {true, "full", 2, 1, false},
        {true, "full", 4, 1, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.In ? "capture " : "render ") + c.Speed + (c.Asap ? " asap" : ""));
        PlugBuiltin("uac1-headset", c.Speed);
        Tap(c.In);
        ICyclicControl* stream = Stream(c.In ? 1 : 0);
        rig::StreamTestClient& client = RunClient(
            stream, c.In ? rig::ClientFormat(1, 44100, 2, 16, 4) : rig::ClientFormat(2, 44100, 2, 16, 3),
            c.Ms, 3);
        if (c.Asap) // the same client, restarted without start frames
        {
            EXPECT_EQ(stream->StopStreaming(), STATUS_SUCCESS);
            std::unique_lock<std::mutex> hold(m_UrbLock);
            m_Urbs.clear();
            hold.unlock();
            EXPECT_EQ(stream->StartStreaming(0, FALSE), STATUS_SUCCESS);
        }
        ASSERT_TRUE(client.WaitDone(client.Done() + 12));
        client.Leave();
        UrbTap = nullptr;
        ASSERT_NE(m_DataPipe, nullptr);
        ASSERT_GE(m_Urbs.size(), 12u);
        const ULONG packets = c.Ms * c.PerFrame;
        const ULONG flags = c.In ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
        for (size_t i = 0; i < m_Urbs.size(); ++i)
        {
            const IsoUrb& u = m_Urbs[i];
            SCOPED_TRACE(i);
            EXPECT_EQ(u.Packets, packets);
            EXPECT_EQ(u.Length, 152 + 12 * packets);
            EXPECT_EQ(u.Pipe, m_DataPipe);
            EXPECT_EQ(u.Flags, flags | (c.Asap ? USBD_START_ISO_TRANSFER_ASAP : 0));
            EXPECT_EQ(u.StartFrame, c.Asap ? 0 : m_Urbs[0].StartFrame + ULONG(i) * c.Ms);
            EXPECT_EQ(u.BufferLength, c.In ? packets * 98 : u.PacketSum); // 98: 49 mono frames
        }
        TearDown();
        SetUp();
    }
}

// A recovery that cannot drop to the zero-bandwidth setting, or cannot take the streaming
// setting back, cycles the port once and leaves the stream with nothing in flight: the port's
// re-enumeration rebuilds it, and the client still stops and closes.
TEST_F(UsbStreamEdges, ARecoveryWhoseSettingIsRefusedCyclesThePortOnceAndSubmitsNothing)
{
    for (int refused : {0, 1}) // the alternate setting whose SET_INTERFACE the device stalls
    {
        SCOPED_TRACE(refused);
        PlugBuiltin("uac1-headset");
        rig::StreamTestClient& client = RunClient(Stream(0), rig::ClientFormat(2, 48000, 2, 16, 3), 5, 3);
        ASSERT_TRUE(client.WaitDone(4));
        sim::DeviceFaults stall;
        stall.StallMatching = true;
        stall.StallFilter.Request = USB_REQUEST_SET_INTERFACE;
        stall.StallFilter.Value = refused;
        stall.StallFilter.Index = 1;
        SetDeviceFaults(stall);
        sim::StreamFaults fail;
        fail.FailTransferNumber = 1;
        SetStreamFaults(fail);
        RunForMs(300);
        EXPECT_EQ(PortRequestsOf(IOCTL_INTERNAL_USB_CYCLE_PORT), 1u);
        EXPECT_EQ(client.Count(StreamNotifyRenderData), client.Done());
        const LONG submitted = client.Count(StreamNotifyRenderData);
        const size_t packets = DataPackets(false).size();
        RunForMs(100);
        EXPECT_EQ(client.Count(StreamNotifyRenderData), submitted);
        EXPECT_EQ(DataPackets(false).size(), packets);
        EXPECT_EQ(PortRequestsOf(IOCTL_INTERNAL_USB_CYCLE_PORT), 1u);
        SetDeviceFaults(sim::DeviceFaults{});
        client.Leave();
        TearDown();
        SetUp();
    }
}

} // namespace
