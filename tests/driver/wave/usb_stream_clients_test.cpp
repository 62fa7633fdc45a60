// The USB stream's clients and states: who leads, which format the stream is opened with, what
// every client is told, and how the stream starts and stops, read from a journal of the stream
// slots the class streams replace and of the notifications the clients receive.
#include "support/graph_test_doubles.h"

#include "driver/core/usb_device_if.h"
#include "driver/wave/uac1_render_stream.h"
#include "plat_sched.h"
#include "sim/profiles/profile.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace
{

using Journal = std::vector<std::string>;

// The device as the client slots see it: only the frame counter.
class CFrameDevice : public IUsbDevice
{
public:
    ULONG Frame = 1000;
    std::vector<UCHAR> Configuration;
    BOOLEAN HighSpeed = FALSE;
    STDMETHODIMP QueryInterface(REFIID Id, PVOID* Out) override
    {
        *Out = IsEqualGUIDAligned(Id, IID_IUsbDevice) ? static_cast<IUsbDevice*>(this) : nullptr;
        return *Out ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(PUSB_CONFIGURATION_DESCRIPTOR) GetConfigurationDescriptor() override
    {
        return Configuration.empty() ? nullptr
                                     : reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Configuration.data());
    }
    STDMETHODIMP_(USBD_CONFIGURATION_HANDLE) GetConfigurationHandle() override { return nullptr; }
    STDMETHODIMP_(UCHAR) GetControlInterfaceNumber() override { return 0; }
    STDMETHODIMP_(NTSTATUS) SetDevicePresent(BOOLEAN) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) CallLowerDriver(PIRP) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) SubmitUrbSync(PURB) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) GetCurrentFrameNumber(PULONG Number) override
    {
        *Number = Frame;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(PIRP) AllocateIrp() override { return nullptr; }
    STDMETHODIMP_(VOID) FreeIrp(PIRP) override {}
    STDMETHODIMP_(BOOLEAN) IsHighSpeed() override { return HighSpeed; }
    STDMETHODIMP_(BOOLEAN) ResetPort() override { return FALSE; }
    STDMETHODIMP_(BOOLEAN) CyclePort() override { return FALSE; }
    STDMETHODIMP_(PDEVICE_OBJECT) GetLowerDeviceObject() override { return nullptr; }
    STDMETHODIMP_(LONG) IncrementActiveCount() override { return 1; }
    STDMETHODIMP_(LONG) DecrementActiveCount() override { return 0; }
    STDMETHODIMP_(NTSTATUS) CreateAudioDevice() override { return STATUS_SUCCESS; }
};

// A class-1 render stream whose transfer slots only report to the journal.
class CJournalStream : public CUac1RenderStream
{
public:
    using CUac1RenderStream::CUac1RenderStream;
    Journal* Log = nullptr;
    CFrameDevice* Device = nullptr;
    int FailingSubmits = 0;

    STDMETHODIMP_(NTSTATUS) OpenStream(StreamClient* Client, PULONG CurrentFrame) override
    {
        if (InterlockedExchange(&m_StreamState, STREAM_STATE_OPEN) != STREAM_STATE_CLOSED)
            return STATUS_INSUFFICIENT_RESOURCES;
        Log->push_back("open " + std::to_string(Client->Format.Format.nSamplesPerSec));
        *CurrentFrame = Device->Frame;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) CloseStream() override
    {
        NTSTATUS status = CUac1RenderStream::CloseStream();
        Log->push_back(NT_SUCCESS(status) ? "close" : "close refused");
        return status;
    }
    STDMETHODIMP_(NTSTATUS) StartStreaming(ULONG StartFrame, ULONG Explicit) override
    {
        NTSTATUS status = CUac1RenderStream::StartStreaming(StartFrame, Explicit);
        Log->push_back(NT_SUCCESS(status) ? "start " + std::to_string(StartFrame) : "start failed");
        return status;
    }
    STDMETHODIMP_(NTSTATUS) StopStreaming() override
    {
        NTSTATUS status = CUac1RenderStream::StopStreaming();
        Log->push_back(NT_SUCCESS(status) ? "stop" : "stop refused");
        return status;
    }
    STDMETHODIMP_(NTSTATUS) SelectAlternateSetting(UCHAR, StreamClient*) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) FreeTransfers() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) SubmitNextTransfer() override
    {
        return FailingSubmits-- > 0 ? STATUS_UNSUCCESSFUL : STATUS_BUFFER_TOO_SMALL;
    }
    ULONG State() const { return m_StreamState; }
};

WAVEFORMATEXTENSIBLE Stereo16(DWORD rate)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format = {WAVE_FORMAT_EXTENSIBLE, 2, rate, rate * 4, 4, 16, 22};
    f.Samples.wValidBitsPerSample = 16;
    f.dwChannelMask = 3;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

struct Client
{
    StreamClient* Record = nullptr;
    Journal* Log = nullptr;
};

// Every client hears every notification; each journals the ones about itself, once.
VOID Heard(PVOID Context, PVOID Argument1, PVOID)
{
    auto self = static_cast<Client*>(Context);
    auto n = static_cast<StreamNotification*>(Argument1);
    if (n->Code == StreamNotifyConfigure && self->Record &&
        n->Client->Registration == self->Record->Registration)
        self->Log->push_back("cfg " + std::to_string(n->Client->Priority) +
                             ((n->Configure.FramesPerTransfer & STREAM_CONFIGURE_RESTART) ? " restart" : ""));
}

class UsbStreamLeadership : public gd::LeakCheckedTest
{
public:
    void SetUp() override
    {
        gd::LeakCheckedTest::SetUp();
        m_Stream = gd::Make<CJournalStream>(1u, 4u);
        m_Stream->Log = &m_Log;
        m_Stream->Device = &m_Device;
        ASSERT_EQ(m_Stream->Init(STREAM_DIRECTION_RENDER, &m_Device), STATUS_SUCCESS);
        const WAVEFORMATEXTENSIBLE wave = Stereo16(48000), asio = Stereo16(44100);
        ASSERT_EQ(m_Stream->AddDataFormat(&wave, 1), STATUS_SUCCESS);
        ASSERT_EQ(m_Stream->AddDataFormat(&asio, 2), STATUS_SUCCESS);
        Register(&m_Wave, 3, wave, 5, 3);
        Register(&m_Asio, 5, asio, 2, 4);
    }
    void TearDown() override
    {
        for (Client* c : {&m_Wave, &m_Asio})
            EXPECT_EQ(m_Stream->UnregisterClient(c->Record->Registration), STATUS_SUCCESS);
        m_Stream->Release();
        plat::Settle();
        gd::LeakCheckedTest::TearDown();
    }
    void Register(Client* c, ULONG priority, const WAVEFORMATEXTENSIBLE& format, ULONG ms, ULONG count)
    {
        c->Log = &m_Log;
        ASSERT_EQ(m_Stream->RegisterClient(priority, &format, ms, count, Heard, c, &c->Record),
                  STATUS_SUCCESS);
    }
    NTSTATUS Open(Client& c)
    {
        ULONG frames = 0, frame = 0;
        return m_Stream->OpenClient(c.Record->Registration, &frames, &frame);
    }
    NTSTATUS Start(Client& c) { return m_Stream->StartClient(c.Record->Registration, 2, nullptr, nullptr); }
    NTSTATUS Stop(Client& c) { return m_Stream->StopClient(c.Record->Registration, nullptr); }
    NTSTATUS Close(Client& c) { return m_Stream->CloseClient(c.Record->Registration); }

    plat::ScopedThreadRegistration m_Registration{"usb-stream-clients-test"};
    Journal m_Log;
    CFrameDevice m_Device;
    CJournalStream* m_Stream = nullptr;
    Client m_Wave, m_Asio;
};

TEST_F(UsbStreamLeadership, LeadershipFollowsPriorityThroughEveryHandOver)
{
    struct Case
    {
        const char* Name;
        std::function<void(UsbStreamLeadership&)> Script;
        Journal Expected;
    };
    // The wave client runs at 48 kHz; the ASIO client (priority 5) at 44.1 kHz. A stale start
    // frame (2) becomes the current frame + 2; a restart runs from the reopened frame + 5.
    const Journal waveRunning = {"open 48000", "cfg 3 restart", "start 1002"};
    auto plus = [&](Journal more)
    {
        Journal all = waveRunning;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const Case cases[] = {
        {"ASIO takes over the running wave stream and hands it back",
         [](UsbStreamLeadership& t)
         {
             t.Open(t.m_Wave), t.Start(t.m_Wave), t.Open(t.m_Asio), t.Start(t.m_Asio), t.Stop(t.m_Asio),
                 t.Close(t.m_Asio), t.Stop(t.m_Wave), t.Close(t.m_Wave);
         },
         plus({"stop", "close", "open 44100", "cfg 5 restart", "start 1002", "stop", "close", "open 48000",
               "cfg 3 restart", "start 1005", "stop", "close"})},
        {"a pause and run cycle streams again",
         [](UsbStreamLeadership& t)
         { t.Open(t.m_Wave), t.Start(t.m_Wave), t.Stop(t.m_Wave), t.Start(t.m_Wave), t.Close(t.m_Wave); },
         plus({"stop", "cfg 3 restart", "start 1002", "stop", "close"})},
        {"closing an opened, never started ASIO client restarts the wave stream",
         [](UsbStreamLeadership& t)
         { t.Open(t.m_Wave), t.Start(t.m_Wave), t.Open(t.m_Asio), t.Close(t.m_Asio), t.Close(t.m_Wave); },
         plus({"stop", "close", "open 44100", "close", "open 48000", "cfg 3 restart", "start 1005", "stop",
               "close"})},
        {"a failed ASIO start gives the stream back to the wave client",
         [](UsbStreamLeadership& t)
         {
             t.Open(t.m_Wave), t.Start(t.m_Wave), t.Open(t.m_Asio);
             t.m_Stream->FailingSubmits = 1;
             EXPECT_EQ(t.Start(t.m_Asio), STATUS_UNSUCCESSFUL);
             t.Close(t.m_Asio), t.Close(t.m_Wave);
         },
         plus({"stop", "close", "open 44100", "cfg 5 restart", "start failed", "close", "open 48000",
               "cfg 3 restart", "start 1005", "stop", "close"})},
        {"a failed start with nobody else closes the stream",
         [](UsbStreamLeadership& t)
         {
             t.Open(t.m_Wave);
             t.m_Stream->FailingSubmits = 1;
             EXPECT_EQ(t.Start(t.m_Wave), STATUS_UNSUCCESSFUL);
             EXPECT_EQ(t.m_Stream->State(), STREAM_STATE_CLOSED);
             t.Close(t.m_Wave);
         },
         {"open 48000", "cfg 3 restart", "start failed", "close"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        m_Log.clear();
        c.Script(*this);
        EXPECT_EQ(m_Log, c.Expected);
        EXPECT_EQ(m_Stream->State(), STREAM_STATE_CLOSED);
        EXPECT_EQ(m_Wave.Record->Active + m_Asio.Record->Active, 0);
    }
}

TEST_F(UsbStreamLeadership, RefusalsLeaveClientsWhereTheyWere)
{
    // Open clients are not registered ones, and equal priorities never share the lead.
    ASSERT_EQ(Open(m_Wave), STATUS_SUCCESS);
    EXPECT_EQ(m_Stream->UnregisterClient(m_Wave.Record->Registration), STATUS_UNSUCCESSFUL);
    Client twin;
    const WAVEFORMATEXTENSIBLE wave = Stereo16(48000);
    Register(&twin, 3, wave, 5, 3);
    EXPECT_EQ(Open(twin), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Start(twin), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Stop(m_Wave), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Stream->UnregisterClient(twin.Record->Registration), STATUS_SUCCESS);
    EXPECT_EQ(Close(m_Wave), STATUS_SUCCESS);
    EXPECT_EQ(Close(m_Wave), STATUS_INVALID_PARAMETER);

    struct Refusal
    {
        DWORD Rate;
        ULONG Ms, Count;
        PCALLBACK_FUNCTION Callback;
    };
    const Refusal refusals[] = {{48000, 0, 3, Heard},  {48000, 41, 3, Heard},  {48000, 5, 0, Heard},
                                {48000, 5, 11, Heard}, {48000, 5, 3, nullptr}, {96000, 5, 3, Heard}};
    for (const Refusal& r : refusals)
    {
        const WAVEFORMATEXTENSIBLE format = Stereo16(r.Rate);
        StreamClient* record = reinterpret_cast<StreamClient*>(1);
        EXPECT_FALSE(
            NT_SUCCESS(m_Stream->RegisterClient(3, &format, r.Ms, r.Count, r.Callback, &twin, &record)));
        EXPECT_EQ(record, nullptr);
    }

    // Formats find their alternate setting: extensible byte for byte, plain by its numbers.
    UCHAR alternate = 0;
    WAVEFORMATEXTENSIBLE extensible = Stereo16(44100);
    EXPECT_EQ(m_Stream->FindAlternateSetting(&extensible, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 2);
    WAVEFORMATEXTENSIBLE plain = Stereo16(48000);
    plain.Format.wFormatTag = WAVE_FORMAT_PCM;
    plain.Format.cbSize = 0;
    EXPECT_EQ(m_Stream->FindAlternateSetting(&plain, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 1);
    extensible.dwChannelMask = 0x30;
    EXPECT_EQ(m_Stream->FindAlternateSetting(&extensible, &alternate), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbStreamLeadership, PacketsPerFrameFollowTheDataEndpointsInterval)
{
    sim::DeviceProfile profile;
    std::string error;
    ASSERT_TRUE(sim::LoadBuiltinProfile("uac2-interface", &profile, &error)) << error;
    const std::vector<UCHAR> config = profile.ConfigurationDescriptor();
    const UCHAR dataEndpoint[] = {0x07, 0x05, 0x01, 0x05}; // interface 1's isochronous OUT
    const size_t at =
        std::search(config.begin(), config.end(), dataEndpoint, dataEndpoint + 4) - config.begin();
    ASSERT_LT(at + 6, config.size());
    // Interval, speed, alternate setting: packets per frame (the feedback endpoint never counts).
    const struct
    {
        UCHAR Interval;
        BOOLEAN High;
        UCHAR Alternate;
        ULONG Packets;
    } cases[] = {{1, TRUE, 1, 8}, {2, TRUE, 1, 4},  {3, TRUE, 1, 2}, {4, TRUE, 1, 1},
                 {5, TRUE, 1, 1}, {1, FALSE, 1, 1}, {1, TRUE, 0, 1}};
    for (const auto& c : cases)
    {
        m_Device.Configuration = config;
        m_Device.Configuration[at + 6] = c.Interval;
        m_Device.HighSpeed = c.High;
        EXPECT_EQ(m_Stream->GetPacketsPerFrame(c.Alternate), c.Packets) << int(c.Interval) << int(c.High);
    }
}

} // namespace
