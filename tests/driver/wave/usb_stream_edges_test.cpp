// The edges of the class-1 transfer chain on the simulated device: silence for empty capture
// packets against a small packet slot, the isochronous URBs as they go down to the bus, and a
// recovery whose alternate setting the device refuses.
#include "support/usb_stream_rig.h"

#include <mutex>

namespace
{

// A stream whose state the test reads.
template <class Base> class CWatchedStream : public Base
{
public:
    using Base::Base;
    LONG State() const { return this->m_StreamState; }
};

// The header fields of one isochronous URB as the driver handed it to the bus.
struct IsoUrb
{
    USHORT Length;
    ULONG Flags;
    USBD_PIPE_HANDLE Pipe;
    ULONG BufferLength, StartFrame, Packets, PacketSum;
};

class UsbStreamEdges : public UsbStreamChain
{
protected:
    // Taps the IRPs going down for their URBs, and each streaming SELECT_INTERFACE for the
    // handle of the interface's last pipe in the stream's direction.
    void Tap(bool In)
    {
        m_Urbs.clear();
        m_DataPipe = nullptr;
        m_Usb.Calling = [this](PIRP Irp)
        {
            auto urb = static_cast<PURB>(IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER)
                return;
            const struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
            ULONG sum = 0;
            for (ULONG i = 0; i < iso.NumberOfPackets; ++i)
                sum += iso.IsoPacket[i].Length;
            std::lock_guard<std::mutex> hold(m_UrbLock);
            m_Urbs.push_back({iso.Hdr.Length, iso.TransferFlags, iso.PipeHandle, iso.TransferBufferLength,
                              iso.StartFrame, iso.NumberOfPackets, sum});
        };
        m_Usb.Answered = [this, In](PURB Urb, NTSTATUS Status)
        {
            const USBD_INTERFACE_INFORMATION& info = Urb->UrbSelectInterface.Interface;
            if (Urb->UrbHeader.Function != URB_FUNCTION_SELECT_INTERFACE || !NT_SUCCESS(Status) ||
                info.AlternateSetting == 0)
                return;
            for (ULONG p = 0; p < info.NumberOfPipes; ++p)
                if (((info.Pipes[p].EndpointAddress & 0x80) != 0) == In)
                    m_DataPipe = info.Pipes[p].PipeHandle;
        };
    }
    void Pause(LONGLONG Ms)
    {
        LARGE_INTEGER wait;
        wait.QuadPart = -Ms * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &wait);
    }

    std::mutex m_UrbLock;
    std::vector<IsoUrb> m_Urbs;
    USBD_PIPE_HANDLE m_DataPipe = nullptr;
};

// An empty capture packet stands for one packet's worth of silence, 44,100 / 1000 + 1 frames,
// but never more than the slot the endpoint's wMaxPacketSize gives a packet in whole frames.
// Overrunning the slot would write past the transfer's buffer, which the sanitizer build sees.
TEST_F(UsbStreamEdges, EmptyCapturePacketsBecomeSilenceThatFitsThePacketSlot)
{
    struct Case
    {
        const char* MaxPacket; // wMaxPacketSize of endpoint 0x82, little-endian
        ULONG Frames;          // of 16-bit mono silence per empty packet
    } cases[] = {{"62 00", 45}, {"58 00", 44}, {"3D 00", 30}, {"03 00", 1}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.MaxPacket);
        m_Client = {};
        m_Edits = {{"09 05 82 05 62 00", std::string("09 05 82 05 ") + c.MaxPacket}};
        Start<CUac1CaptureStream>("full", 2, 1, gd::Pcm(1, 44100, 2, 16, 4), 2, 3);
        sim::StreamFaults faults;
        faults.EmptyInEvery = 1;
        m_device->Streams().SetFaults(faults);
        RunAndClose(40);
        // The first transfers may have been on the bus before every packet came back empty.
        constexpr size_t early = 8;
        ASSERT_GE(m_Client.DoneBytes.size(), 40u);
        size_t before = 0;
        for (size_t i = 0; i < m_Client.DoneBytes.size(); ++i)
        {
            if (i < early)
                before += m_Client.DoneBytes[i];
            else
                EXPECT_EQ(m_Client.DoneBytes[i], 2 * c.Frames * 2) << "transfer " << i;
        }
        ASSERT_GT(m_Client.Received.size(), before);
        EXPECT_TRUE(std::all_of(m_Client.Received.begin() + before, m_Client.Received.end(),
                                [](UCHAR b) { return b == 0; }));
        m_Edits.clear();
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
        m_Client = {};
        Tap(c.In);
        CUsbAudioStream* stream =
            c.In ? static_cast<CUsbAudioStream*>(
                       Start<CUac1CaptureStream>(c.Speed, 2, 1, gd::Pcm(1, 44100, 2, 16, 4), c.Ms, 3))
                 : Start<CUac1RenderStream>(c.Speed, 1, 1, gd::Pcm(2, 44100, 2, 16, 3), c.Ms, 3);
        if (c.Asap) // the same client, restarted without start frames
        {
            EXPECT_EQ(stream->StopStreaming(), STATUS_SUCCESS);
            std::unique_lock<std::mutex> hold(m_UrbLock);
            m_Urbs.clear();
            hold.unlock();
            EXPECT_EQ(stream->StartStreaming(0, FALSE), STATUS_SUCCESS);
        }
        RunAndClose(m_Client.Done + 12);
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
// setting back, cycles the port once and leaves the stream running with nothing in flight:
// the port's re-enumeration rebuilds it.
TEST_F(UsbStreamEdges, ARecoveryWhoseSettingIsRefusedCyclesThePortOnceAndSubmitsNothing)
{
    for (int refused : {0, 1}) // the alternate setting whose SET_INTERFACE the device stalls
    {
        SCOPED_TRACE(refused);
        m_Client = {};
        auto stream =
            Start<CWatchedStream<CUac1RenderStream>>("full", 1, 1, gd::Pcm(2, 48000, 2, 16, 3), 5, 3);
        m_Client.Target = 4;
        KeWaitForSingleObject(&m_Client.Reached, Executive, KernelMode, FALSE, nullptr);
        sim::DeviceFaults stall;
        stall.StallMatching = true;
        stall.StallFilter.Request = USB_REQUEST_SET_INTERFACE;
        stall.StallFilter.Value = refused;
        stall.StallFilter.Index = 1;
        m_device->SetFaults(stall);
        sim::StreamFaults fail;
        fail.FailTransferNumber = 1;
        m_device->Streams().SetFaults(fail);
        Pause(300);
        EXPECT_EQ(m_Usb.Resets, 1);
        EXPECT_EQ(m_Usb.Cycles, 1);
        EXPECT_EQ(stream->State(), LONG(STREAM_STATE_RUNNING));
        EXPECT_EQ(m_Client.Submitted, m_Client.Done);
        const LONG submitted = m_Client.Submitted;
        const size_t packets = Packets(false).size();
        Pause(100);
        EXPECT_EQ(m_Client.Submitted, submitted);
        EXPECT_EQ(Packets(false).size(), packets);
        EXPECT_EQ(m_Usb.Cycles, 1);
        m_device->SetFaults(sim::DeviceFaults{});
        RunAndClose(0);
        TearDown();
        SetUp();
    }
}

} // namespace
