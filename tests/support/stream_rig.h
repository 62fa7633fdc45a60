// The stream rig on the real objects: the whole driver loaded on the simulated device and
// started through plug and play, each stream object taken from the adapter and driven only
// through ICyclicControl and its clients' notification callbacks, as the wave stream and the
// ASIO path drive it. The simulated device's record of the isochronous traffic is the oracle;
// its fault switches are the only way a test bends the device.
#pragma once

#include "support/driver_rig.h"

#include "driver/wave/cyclic_control.h"
#include "driver/core/dsp_node_if.h"
#include "plat_sched.h"
#include "sim/device/stream_endpoint.h"
#include "sim/host/audio_engine.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace rig
{

constexpr ULONGLONG kMillisecond = 10000; // 100 ns units
constexpr ULONGLONG kSecond = 1000 * kMillisecond;

// A built-in profile's text with each (old, new) pair replaced once, for devices edited for a
// case (speed, formats, endpoints).
inline std::string EditedProfileText(const std::string& name,
                                     const std::vector<std::pair<std::string, std::string>>& edits)
{
    std::string text = sim::BuiltinProfileText(name);
    for (const auto& edit : edits)
    {
        const size_t at = text.find(edit.first);
        EXPECT_NE(at, std::string::npos) << edit.first;
        if (at != std::string::npos)
            text.replace(at, edit.first.size(), edit.second);
    }
    return text;
}

// A format as a client asks for it: extensible, integer PCM unless float is asked for.
inline WAVEFORMATEXTENSIBLE ClientFormat(WORD channels, DWORD rateHz, WORD containerBytes, WORD validBits,
                                         DWORD channelMask, bool isFloat = false)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rateHz;
    f.Format.nBlockAlign = WORD(channels * containerBytes);
    f.Format.nAvgBytesPerSec = rateHz * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = WORD(containerBytes * 8);
    f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    f.Samples.wValidBitsPerSample = validBits;
    f.dwChannelMask = channelMask;
    f.SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

// One client of a stream, as the wave stream (priority 3) or the ASIO path (priority 5) is:
// it fills render buffers from a fixed seed, keeps what capture brings, and counts every
// notification by code. It acts on data codes only while it leads the stream (the record the
// notification names is its own), as a client of a shared stream must.
class StreamTestClient
{
public:
    explicit StreamTestClient(ULONG priority = STREAM_CLIENT_PRIORITY_WAVE, uint32_t seed = 13)
        : Priority(priority), m_Random(seed)
    {
        KeInitializeEvent(&m_Reached, NotificationEvent, FALSE);
    }
    StreamTestClient(const StreamTestClient&) = delete;
    StreamTestClient& operator=(const StreamTestClient&) = delete;

    // Asked at registration.
    ULONG Priority;
    WAVEFORMATEXTENSIBLE Format = ClientFormat(2, 48000, 2, 16, 3);
    ULONG FramesPerTransfer = 10;
    ULONG TransfersInFlight = 3;
    // Render data kept for comparison; off for long runs.
    bool Keep = true;
    // Render buffers left as the stream hands them over (kept all the same), as a client with
    // nothing to play does.
    bool Silent = false;

    NTSTATUS Register(ICyclicControl* stream)
    {
        m_pStream = stream;
        NTSTATUS status = stream->RegisterClient(Priority, &Format, FramesPerTransfer, TransfersInFlight,
                                                 Callback, this, &m_pRecord);
        if (NT_SUCCESS(status))
            m_State = Registered;
        return status;
    }
    NTSTATUS Open()
    {
        ULONG frames = 0;
        NTSTATUS status = m_pStream->OpenClient(Key(), &frames, &OpenFrame);
        if (NT_SUCCESS(status))
            m_State = Opened;
        return status;
    }
    // startFrame 0: a few frames after the one OpenClient reported.
    NTSTATUS Start(ULONG startFrame = 0)
    {
        ULONG frames = 0;
        NTSTATUS status =
            m_pStream->StartClient(Key(), startFrame ? startFrame : OpenFrame + 2, &frames, nullptr);
        if (NT_SUCCESS(status))
            m_State = Started;
        return status;
    }
    NTSTATUS Stop()
    {
        NTSTATUS status = m_pStream->StopClient(Key(), nullptr);
        if (NT_SUCCESS(status))
            m_State = Opened;
        return status;
    }
    NTSTATUS Close()
    {
        NTSTATUS status = m_pStream->CloseClient(Key());
        if (NT_SUCCESS(status))
            m_State = Registered;
        return status;
    }
    NTSTATUS Unregister()
    {
        NTSTATUS status = m_pStream->UnregisterClient(Key());
        if (NT_SUCCESS(status))
        {
            m_State = Gone;
            m_pRecord = nullptr;
        }
        return status;
    }
    // Register, open and start in one go; the first failure is returned.
    NTSTATUS Run(ICyclicControl* stream)
    {
        NTSTATUS status = Register(stream);
        if (NT_SUCCESS(status))
            status = Open();
        if (NT_SUCCESS(status))
            status = Start();
        return status;
    }
    // Steps back from wherever the client stands to unregistered, each step expected to succeed.
    void Leave()
    {
        if (m_State == Started)
        {
            EXPECT_EQ(Stop(), STATUS_SUCCESS) << "StopClient";
        }
        if (m_State == Opened)
        {
            EXPECT_EQ(Close(), STATUS_SUCCESS) << "CloseClient";
        }
        if (m_State == Registered)
        {
            EXPECT_EQ(Unregister(), STATUS_SUCCESS) << "UnregisterClient";
        }
        m_State = Gone;
    }
    // Waits in virtual time until the client has seen `count` completed transfers of its own;
    // false when `timeout` passed first.
    bool WaitDone(LONG count, ULONGLONG timeout = 10 * kSecond)
    {
        {
            std::lock_guard<std::mutex> hold(m_Lock);
            if (m_Done >= count)
                return true;
            m_Target = count;
            KeClearEvent(&m_Reached);
        }
        LARGE_INTEGER wait;
        wait.QuadPart = -LONGLONG(timeout);
        return KeWaitForSingleObject(&m_Reached, Executive, KernelMode, FALSE, &wait) == STATUS_SUCCESS;
    }

    // Runs f under the lock the notifications take.
    template <class F> auto Locked(F f) const
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        return f();
    }

    StreamClient* Record() const { return m_pRecord; }
    PVOID Key() const { return m_pRecord ? m_pRecord->Registration : nullptr; }
    bool IsStarted() const { return m_State == Started; }

    // What the client heard. Count: notifications of a code naming this client; Heard: of any.
    LONG Count(ULONG code) const
    {
        return Locked([&] { return m_Counts[code & 7]; });
    }
    LONG Heard(ULONG code) const
    {
        return Locked([&] { return m_Heard[code & 7]; });
    }
    LONG Restarts() const
    {
        return Locked([&] { return m_Restarts; });
    }
    LONG Done() const { return Count(StreamNotifyTransferDone); }
    std::vector<UCHAR> Written() const
    {
        return Locked([&] { return m_Written; });
    }
    std::vector<UCHAR> Received() const
    {
        return Locked([&] { return m_Received; });
    }
    std::vector<ULONG> DoneBytes() const
    {
        return Locked([&] { return m_DoneBytes; });
    }
    // Render buffers asked for and not yet reported done, at its deepest.
    LONG MaxDepth() const
    {
        return Locked([&] { return m_MaxDepth; });
    }
    // The last configure notification's frames per transfer (restart bit included) and count.
    ULONG ConfiguredFrames() const
    {
        return Locked([&] { return m_ConfiguredFrames; });
    }
    ULONG ConfiguredInFlight() const
    {
        return Locked([&] { return m_ConfiguredInFlight; });
    }
    // Forgets what was heard so far (the counts and the kept data).
    void Forget()
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        std::fill(std::begin(m_Counts), std::end(m_Counts), 0);
        std::fill(std::begin(m_Heard), std::end(m_Heard), 0);
        m_Written.clear();
        m_Received.clear();
        m_DoneBytes.clear();
        m_Done = m_Restarts = m_MaxDepth = 0;
    }

    ULONG OpenFrame = 0; // the current frame OpenClient reported

private:
    enum State
    {
        Gone,
        Registered,
        Opened,
        Started
    };

    // Runs at DISPATCH_LEVEL from the bus thread's completions and at PASSIVE_LEVEL from the
    // client slots and the worker.
    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto self = static_cast<StreamTestClient*>(context);
        auto n = static_cast<StreamNotification*>(argument1);
        std::lock_guard<std::mutex> hold(self->m_Lock);
        self->m_Heard[n->Code & 7]++;
        if (!self->m_pRecord || !n->Client || n->Client->Registration != self->m_pRecord->Registration)
            return;
        self->m_Counts[n->Code & 7]++;
        auto data = static_cast<PUCHAR>(n->Data.Buffer);
        switch (n->Code)
        {
        case StreamNotifyRenderData:
            self->Fill(data, size_t(n->Data.Length));
            self->m_MaxDepth =
                std::max(self->m_MaxDepth, self->m_Counts[StreamNotifyRenderData] - self->m_Done);
            break;
        case StreamNotifyCaptureData:
            self->m_Received.insert(self->m_Received.end(), data, data + n->Data.Length);
            break;
        case StreamNotifyConfigure:
            self->m_ConfiguredFrames = n->Configure.FramesPerTransfer;
            self->m_ConfiguredInFlight = n->Configure.TransfersInFlight;
            self->m_Restarts += (n->Configure.FramesPerTransfer & STREAM_CONFIGURE_RESTART) != 0;
            break;
        case StreamNotifyTransferDone:
            self->m_DoneBytes.push_back(n->TransferDone.ByteCount);
            if (++self->m_Done >= self->m_Target && self->m_Target)
            {
                self->m_Target = 0;
                KeSetEvent(&self->m_Reached, IO_NO_INCREMENT, FALSE);
            }
            break;
        }
    }

    void Fill(PUCHAR data, size_t length)
    {
        for (size_t i = 0; i < length && !Silent; ++i)
            data[i] = UCHAR(m_Random());
        if (Keep)
            m_Written.insert(m_Written.end(), data, data + length);
    }

    ICyclicControl* m_pStream = nullptr;
    StreamClient* m_pRecord = nullptr;
    State m_State = Gone;
    std::mt19937 m_Random;
    mutable std::mutex m_Lock;
    LONG m_Counts[8] = {}, m_Heard[8] = {};
    LONG m_Done = 0, m_Target = 0, m_Restarts = 0, m_MaxDepth = 0;
    ULONG m_ConfiguredFrames = 0, m_ConfiguredInFlight = 0;
    std::vector<UCHAR> m_Written, m_Received;
    std::vector<ULONG> m_DoneBytes;
    KEVENT m_Reached;
};

// The whole driver on the simulated device with its stream objects at hand. A test plugs a
// device (built-in profile, file, dump or profile text, edited as it likes), starts it, takes
// stream i, and drives clients made with Client(); at teardown the clients leave, the stream
// references go, and the driver rig removes the device and checks that nothing is left.
class StreamRig : public DriverRig
{
protected:
    StreamRig() : DriverRig(WholeDriver()) {}

    void TearDown() override
    {
        LeaveAll();
        UrbTap = nullptr;
        DriverRig::TearDown();
    }

    // Plugs and starts through plug and play; the start's status.
    NTSTATUS PlugAndStart(const std::string& nameOrText)
    {
        sim::DeviceProfile profile;
        LoadAnyProfile(nameOrText, &profile);
        return HasFatalFailure() ? STATUS_UNSUCCESSFUL : PlugAndStart(profile);
    }
    NTSTATUS PlugAndStart(const sim::DeviceProfile& profile)
    {
        PlugProfile(profile);
        if (HasFatalFailure())
            return STATUS_UNSUCCESSFUL;
        NTSTATUS status = Pnp().Start();
        // The status thread's first sweep re-reads every unit; streams begin after it, as a
        // user's would.
        if (NT_SUCCESS(status))
            RunFor(100 * kMillisecond);
        return status;
    }

    static std::string EditedProfile(const std::string& name,
                                     const std::vector<std::pair<std::string, std::string>>& edits)
    {
        return EditedProfileText(name, edits);
    }

    // A built-in profile at a speed ("full" or "high"), edited as EditedProfile does, started.
    void PlugBuiltin(const std::string& name, const std::string& speed = "full",
                     std::vector<std::pair<std::string, std::string>> edits = {})
    {
        sim::DeviceProfile profile;
        LoadAnyProfile(name, &profile);
        const std::string from = profile.Speed() == sim::UsbSpeed::High ? "speed high" : "speed full";
        edits.insert(edits.begin(), {from, "speed " + speed});
        ASSERT_EQ(PlugAndStart(EditedProfile(name, edits)), STATUS_SUCCESS) << plat::DebugLogText();
    }

    // A client of the stream with this format and transfer settings, running.
    StreamTestClient& RunClient(ICyclicControl* stream, const WAVEFORMATEXTENSIBLE& format, ULONG ms = 10,
                                ULONG inFlight = 3, ULONG priority = STREAM_CLIENT_PRIORITY_WAVE)
    {
        StreamTestClient& client = Client(priority);
        client.Format = format;
        client.FramesPerTransfer = ms;
        client.TransfersInFlight = inFlight;
        EXPECT_EQ(client.Run(stream), STATUS_SUCCESS);
        return client;
    }

    ULONG StreamCount() { return Adapter() ? Adapter()->GetStreamCount() : 0; }

    // Stream i's engine interface, as the adapter lists it (no reference of the caller's own).
    IStreamEngine* Engine(ULONG index)
    {
        IStreamEngine* engine = nullptr;
        EXPECT_EQ(Adapter()->GetStream(index, &engine), STATUS_SUCCESS) << "stream " << index;
        return engine;
    }

    // Stream i's control interface; the rig holds the reference until teardown.
    ICyclicControl* Stream(ULONG index)
    {
        IStreamEngine* engine = Engine(index);
        ICyclicControl* control = nullptr;
        if (!engine)
            return nullptr;
        EXPECT_EQ(engine->QueryInterface(IID_ICyclicControl, reinterpret_cast<PVOID*>(&control)),
                  STATUS_SUCCESS);
        if (control)
            m_Held.push_back(control);
        return control;
    }

    bool IsCapture(ULONG index) { return Engine(index)->GetKind() != STREAM_DIRECTION_RENDER; }

    // The first stream of the direction, or -1.
    int StreamOf(bool capture)
    {
        for (ULONG i = 0; i < StreamCount(); ++i)
            if (IsCapture(i) == capture)
                return int(i);
        return -1;
    }

    // Whether the interface's first isochronous endpoint sends to the host.
    bool DataEndpointIsIn(ULONG interfaceNumber)
    {
        const std::vector<uint8_t>& c = Profile().ConfigurationDescriptor();
        ULONG current = ~0u;
        for (size_t at = 0; at + 4 <= c.size() && c[at] >= 2; at += c[at])
        {
            if (c[at + 1] == 4)
                current = c[at + 2];
            else if (c[at + 1] == 5 && current == interfaceNumber && (c[at + 3] & 3) == 1)
                return (c[at + 2] & 0x80) != 0;
        }
        return false;
    }

    // The formats stream i offers, in its order.
    std::vector<WAVEFORMATEXTENSIBLE> Formats(ULONG index)
    {
        std::vector<WAVEFORMATEXTENSIBLE> formats;
        IStreamEngine* engine = Engine(index);
        for (ULONG i = 0; engine && i < engine->GetFormatCount(); ++i)
        {
            WAVEFORMATEXTENSIBLE f{};
            EXPECT_EQ(engine->GetFormat(i, &f), STATUS_SUCCESS);
            formats.push_back(f);
        }
        return formats;
    }

    // A client owned by the rig, which makes it leave at teardown.
    StreamTestClient& Client(ULONG priority = STREAM_CLIENT_PRIORITY_WAVE, uint32_t seed = 13)
    {
        m_Clients.push_back(std::make_unique<StreamTestClient>(priority, seed));
        return *m_Clients.back();
    }

    // Every client leaves and the stream references go (before removal, as the audio stack
    // closes its pins first).
    void LeaveAll()
    {
        for (auto& client : m_Clients)
            client->Leave();
        m_Clients.clear();
        for (ICyclicControl* control : m_Held)
            control->Release();
        m_Held.clear();
        for (PUNKNOWN made : m_Made)
            made->Release();
        m_Made.clear();
        plat::Settle();
    }

    // A pin of the device's render wave filter, opened as the audio stack opens it: integer PCM
    // with the endpoint's speaker positions. Null (and a failure) when it does not open.
    std::unique_ptr<sim::AudioPin> OpenRenderPin(WORD channels, DWORD rateHz, WORD containerBits,
                                                 WORD validBits, DWORD channelMask)
    {
        std::u16string filter;
        for (const sim::WaveFilterInfo& f : sim::AudioPin::EnumerateWaveFilters(Pdo()))
            if (!f.Capture)
                filter = f.Name;
        std::vector<UCHAR> format = sim::WaveDataFormat(channels, rateHz, containerBits, validBits);
        std::memcpy(format.data() + offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt.dwChannelMask),
                    &channelMask, sizeof(channelMask));
        std::unique_ptr<sim::AudioPin> pin;
        EXPECT_EQ(sim::AudioPin::Open(Pdo(), filter, 0, format, &pin), STATUS_SUCCESS);
        return pin;
    }

    // The device vanishes and the system reports it surprise-removed; the clients then leave as
    // their owners would, and teardown completes the removal.
    void SurpriseRemove()
    {
        sim::DeviceFaults gone;
        gone.Vanished = true;
        Device().SetFaults(gone);
        EXPECT_EQ(Pnp().SurpriseRemove(), STATUS_SUCCESS);
    }

    // ---- The device's side ----

    sim::StreamEndpoints& Streams() { return Device().Streams(); }
    void SetStreamFaults(const sim::StreamFaults& faults) { Streams().SetFaults(faults); }
    void SetDeviceFaults(const sim::DeviceFaults& faults) { Device().SetFaults(faults); }

    // The data packets of one direction (feedback left out), in the order the device saw them.
    std::vector<sim::StreamPacketRecord> DataPackets(bool in)
    {
        std::vector<sim::StreamPacketRecord> data;
        for (const sim::StreamPacketRecord& r : Streams().Packets())
            if (r.In == in && !r.Feedback)
                data.push_back(r);
        return data;
    }

    // The isochronous data endpoints of the configuration in one direction.
    std::vector<uint8_t> DataEndpoints(bool in)
    {
        std::vector<uint8_t> found;
        const std::vector<uint8_t>& c = Profile().ConfigurationDescriptor();
        for (size_t at = 0; at + 4 <= c.size() && c[at] >= 2; at += c[at])
        {
            const uint8_t address = c[at + 2], attributes = c[at + 3];
            if (c[at + 1] == 5 && c[at] >= 7 && (attributes & 3) == 1 && ((attributes >> 4) & 3) == 0 &&
                ((address & 0x80) != 0) == in && Streams().Serves(address) &&
                std::find(found.begin(), found.end(), address) == found.end())
                found.push_back(address);
        }
        return found;
    }

    // The data endpoint of the direction whose interface streams now (at a non-zero setting),
    // with its format; 0 when none does.
    uint8_t StreamingEndpoint(bool in, sim::StreamFormat* format = nullptr)
    {
        for (uint8_t address : DataEndpoints(in))
        {
            sim::StreamFormat f;
            if (Streams().CurrentFormat(address, &f) && f.AlternateSetting != 0)
            {
                if (format)
                    *format = f;
                return address;
            }
        }
        return 0;
    }

    static void RunForMs(ULONGLONG ms) { RunFor(ms * kMillisecond); }

    // How often the driver reset or cycled the device's port.
    size_t PortRequestCount(ULONG code)
    {
        const std::vector<ULONG> codes = PortRequests();
        return size_t(std::count(codes.begin(), codes.end(), code));
    }

    // A stream object of the test's own class on the driver's real USB device object, made and
    // set up as the descriptor walk makes the driver's own: for hooks the driver's streams lack
    // (a processing node, a submission the test holds back). Released at teardown.
    template <class T>
    T* MadeStream(ULONG interfaceNumber, const std::vector<std::pair<UCHAR, WAVEFORMATEXTENSIBLE>>& formats,
                  IDspNode* node = nullptr)
    {
        T* stream = new (NonPagedPool, MAKE_POOL_TAG('T', 'e', 's', 't')) T(nullptr, interfaceNumber, 4u);
        EXPECT_NE(stream, nullptr);
        if (!stream)
            return nullptr;
        stream->NonDelegatingAddRef();
        m_Made.push_back(stream->GetNonDelegatingUnknown());
        const ULONG direction =
            DataEndpointIsIn(interfaceNumber) ? STREAM_DIRECTION_CAPTURE : STREAM_DIRECTION_RENDER;
        EXPECT_EQ(stream->Init(direction, Adapter()), STATUS_SUCCESS);
        EXPECT_EQ(stream->AllocateBuffers(), STATUS_SUCCESS);
        if (node)
        {
            EXPECT_EQ(stream->AddProcessingNode(node), STATUS_SUCCESS);
        }
        for (const auto& entry : formats)
            EXPECT_EQ(stream->AddDataFormat(&entry.second, entry.first), STATUS_SUCCESS);
        return stream;
    }

private:
    std::vector<std::unique_ptr<StreamTestClient>> m_Clients;
    std::vector<ICyclicControl*> m_Held;
    std::vector<PUNKNOWN> m_Made;
};

} // namespace rig
