// Rig of the class-1 stream tests on the simulated device: an IUsbDevice that forwards to the
// bus client's physical device object (with taps on what goes down), a client that fills render
// buffers from a fixed seed and keeps what capture brings, and a fixture that plugs the
// headset profile (edited as a test asks), opens a stream and starts one client on it.
#pragma once

#include "support/graph_test_doubles.h"
#include "support/usb_bus_client.h"

#include "driver/core/usb_device_if.h"
#include "driver/wave/uac1_capture_stream.h"
#include "driver/wave/uac1_render_stream.h"

#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

// IUsbDevice over the bus client's physical device object, as CUsbDevice forwards it.
class CBusUsbDevice : public IUsbDevice
{
public:
    std::function<PDEVICE_OBJECT()> Pdo;
    std::function<NTSTATUS(PURB)> Send;
    std::vector<uint8_t>* Config = nullptr;
    USBD_CONFIGURATION_HANDLE Handle = nullptr;
    std::function<ULONG()> Frame;
    bool HighSpeed = false;
    LONG Active = 0;
    STDMETHODIMP QueryInterface(REFIID Id, PVOID* Out) override
    {
        *Out = IsEqualGUIDAligned(Id, IID_IUsbDevice) ? static_cast<IUsbDevice*>(this) : nullptr;
        return *Out ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(PUSB_CONFIGURATION_DESCRIPTOR) GetConfigurationDescriptor() override
    {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Config->data());
    }
    STDMETHODIMP_(USBD_CONFIGURATION_HANDLE) GetConfigurationHandle() override { return Handle; }
    STDMETHODIMP_(UCHAR) GetControlInterfaceNumber() override { return 0; }
    STDMETHODIMP_(NTSTATUS) SetDevicePresent(BOOLEAN) override { return STATUS_SUCCESS; }
    // Taps on what the driver hands the bus: each IRP as it goes down, each synchronous URB
    // with the bus's answer.
    std::function<void(PIRP)> Calling;
    std::function<void(PURB, NTSTATUS)> Answered;
    STDMETHODIMP_(NTSTATUS) CallLowerDriver(PIRP Irp) override
    {
        if (Calling)
            Calling(Irp);
        return IoCallDriver(Pdo(), Irp);
    }
    STDMETHODIMP_(NTSTATUS) SubmitUrbSync(PURB Urb) override
    {
        const NTSTATUS status = Send(Urb);
        if (Answered)
            Answered(Urb, status);
        return status;
    }
    STDMETHODIMP_(NTSTATUS) GetCurrentFrameNumber(PULONG Number) override
    {
        *Number = Frame();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(PIRP) AllocateIrp() override { return IoAllocateIrp(Pdo()->StackSize, FALSE); }
    STDMETHODIMP_(VOID) FreeIrp(PIRP Irp) override { IoFreeIrp(Irp); }
    STDMETHODIMP_(BOOLEAN) IsHighSpeed() override { return HighSpeed; }
    std::function<bool()> Gone;
    int Resets = 0, Cycles = 0;
    STDMETHODIMP_(BOOLEAN) ResetPort() override { return ++Resets, Gone(); }
    STDMETHODIMP_(BOOLEAN) CyclePort() override { return ++Cycles, Gone(); }
    STDMETHODIMP_(PDEVICE_OBJECT) GetLowerDeviceObject() override { return Pdo(); }
    STDMETHODIMP_(LONG) IncrementActiveCount() override { return ++Active; }
    STDMETHODIMP_(LONG) DecrementActiveCount() override { return --Active; }
    STDMETHODIMP_(NTSTATUS) CreateAudioDevice() override { return STATUS_SUCCESS; }
};

// The client's side: render data from a fixed-seed generator, capture data kept, and how many
// transfers the notifications say are outstanding.
struct ChainClient
{
    std::mt19937 Random{13};
    std::vector<UCHAR> Written, Received;
    std::vector<ULONG> DoneBytes; // per completed transfer, as the notification counts them
    LONG Submitted = 0, Done = 0, MaxDepth = 0, Restarts = 0;
    bool DepthHeld = true, Keep = true;
    LONG Target = 0;
    KEVENT Reached;
};

inline VOID Heard(PVOID Context, PVOID Argument1, PVOID)
{
    auto c = static_cast<ChainClient*>(Context);
    auto n = static_cast<StreamNotification*>(Argument1);
    auto data = static_cast<PUCHAR>(n->Data.Buffer);
    if (n->Code == StreamNotifyRenderData)
    {
        for (ULONGLONG i = 0; i < n->Data.Length; ++i)
            data[i] = UCHAR(c->Random());
        if (c->Keep)
            c->Written.insert(c->Written.end(), data, data + n->Data.Length);
        // From the fourth on, each submission replaces a completed transfer.
        c->DepthHeld = c->DepthHeld && (c->Submitted < 3 || c->Submitted - c->Done == 2);
        c->MaxDepth = std::max(c->MaxDepth, ++c->Submitted - c->Done);
    }
    else if (n->Code == StreamNotifyConfigure)
        c->Restarts += (n->Configure.FramesPerTransfer & STREAM_CONFIGURE_RESTART) != 0;
    else if (n->Code == StreamNotifyCaptureData)
        c->Received.insert(c->Received.end(), data, data + n->Data.Length);
    else if (n->Code == StreamNotifyTransferDone)
    {
        c->DoneBytes.push_back(n->TransferDone.ByteCount);
        if (++c->Done == c->Target)
            KeSetEvent(&c->Reached, IO_NO_INCREMENT, FALSE);
    }
}

class UsbStreamChain : public busclient::UsbBusClient
{
public:
    template <class Stream>
    Stream* Start(const std::string& Speed, ULONG Interface, UCHAR Alt, const WAVEFORMATEXTENSIBLE& Format,
                  ULONG Ms, ULONG InFlight)
    {
        std::string text = sim::BuiltinProfileText("uac1-headset");
        text.replace(text.find("speed full"), 10, "speed " + Speed);
        for (const auto& edit : m_Edits)
            text.replace(text.find(edit.first), edit.first.size(), edit.second);
        Plug(Parse(text));
        SelectConfiguration();
        m_Usb.Pdo = [this] { return Pdo(); };
        m_Usb.Send = [this](PURB Urb) { return SendUrb(Urb); };
        m_Usb.Config = &m_config;
        m_Usb.Handle = m_configHandle;
        m_Usb.Frame = [this] { return m_device->Bus().CurrentFrame(); };
        m_Usb.HighSpeed = Speed == "high";
        m_Usb.Gone = [this] { return m_device->Model().IsVanished(); };
        m_Usb.Resets = m_Usb.Cycles = 0;
        auto stream = gd::Make<Stream>(Interface, 4u);
        m_Stream = stream;
        EXPECT_EQ(stream->Init(Interface == 1 ? STREAM_DIRECTION_RENDER : STREAM_DIRECTION_CAPTURE, &m_Usb),
                  STATUS_SUCCESS);
        EXPECT_EQ(stream->AllocateBuffers(), STATUS_SUCCESS); // as the descriptor walk does
        EXPECT_EQ(m_Node ? stream->AddProcessingNode(m_Node) : STATUS_SUCCESS, STATUS_SUCCESS);
        EXPECT_EQ(stream->AddDataFormat(&Format, Alt), STATUS_SUCCESS);
        KeInitializeEvent(&m_Client.Reached, NotificationEvent, FALSE);
        EXPECT_EQ(stream->RegisterClient(3, &Format, Ms, InFlight, Heard, &m_Client, &m_Record),
                  STATUS_SUCCESS);
        ULONG frames = 0, frame = 0;
        EXPECT_EQ(stream->OpenClient(m_Record->Registration, &frames, &frame), STATUS_SUCCESS);
        EXPECT_EQ(m_Usb.Active, 1);
        EXPECT_EQ(stream->StartClient(m_Record->Registration, frame + 2, nullptr, nullptr), STATUS_SUCCESS);
        return stream;
    }
    static sim::DeviceProfile Parse(const std::string& Text)
    {
        sim::DeviceProfile profile;
        std::string error;
        EXPECT_TRUE(sim::DeviceProfile::Parse(Text, "chain", ".", &profile, &error)) << error;
        return profile;
    }
    // Runs until the client has seen Count completed transfers, then stops, closes and leaves.
    void RunAndClose(LONG Count)
    {
        m_Client.Target = Count;
        if (Count)
            KeWaitForSingleObject(&m_Client.Reached, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(m_Stream->StopClient(m_Record->Registration, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(m_Stream->CloseClient(m_Record->Registration), STATUS_SUCCESS);
        EXPECT_EQ(m_Usb.Active, 0);
        EXPECT_EQ(m_Stream->UnregisterClient(m_Record->Registration), STATUS_SUCCESS);
        m_Stream->Release();
        plat::Settle();
    }
    std::vector<sim::StreamPacketRecord> Packets(bool In)
    {
        std::vector<sim::StreamPacketRecord> data;
        for (const sim::StreamPacketRecord& r : m_device->Streams().Packets())
            if (r.In == In && !r.Feedback)
                data.push_back(r);
        return data;
    }

    CBusUsbDevice m_Usb;
    ChainClient m_Client;
    std::vector<std::pair<std::string, std::string>> m_Edits; // profile text replaced before plugging
    IDspNode* m_Node = nullptr;
    CUsbAudioStream* m_Stream = nullptr;
    StreamClient* m_Record = nullptr;
};
