// The simulated ASIO companion: a user-mode client of the driver's private ASIO interface. It
// opens the private device name, sends the private I/O controls as the companion does, maps the
// shared rings into its (simulated) process, and while started keeps its render rings written
// ahead of the driver and its capture rings read behind it on every period event, from a
// caller's sample source and into a caller's sink. Every wait goes through the platform, so
// virtual time keeps going.
#pragma once

#include "sim/host/io_client.h"

#include "driver/core/asio_device_if.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat
{
class HostThread;
}

namespace sim
{

// One ring as the companion sees it after the map: its header and sample area at the user
// address the driver returned.
struct AsioRingView
{
    AsioSharedBufferHeader* Header = nullptr;
    UCHAR* Samples = nullptr;
    // What the header said at the map, kept by the companion: it goes on from these whatever
    // later happens to the header.
    bool Active = false;
    bool Input = false;
    ULONG RingBytes = 0;
};

// A channel the companion asks for at map time.
struct AsioChannelRequest
{
    bool Input;
    ULONG Channel; // within its direction
};

struct AsioClientStats
{
    ULONG Periods = 0;             // period events seen
    ULONGLONG RenderedBytes = 0;   // bytes written into the render rings
    ULONGLONG CapturedBytes = 0;   // bytes read out of the capture rings
    ULONG LateRenders = 0;         // periods that found the driver past what was written
    ULONGLONG FirstPeriodTime = 0; // interrupt time of the first period event (100 ns)
};

// Render: fill Bytes bytes of ring Ring (its index among the mapped rings). Capture: Bytes bytes
// of ring Ring, in order.
using AsioRenderSource = std::function<void(ULONG Ring, UCHAR* Data, ULONG Bytes)>;
using AsioCaptureSink = std::function<void(ULONG Ring, const UCHAR* Data, ULONG Bytes)>;

class AsioClient
{
public:
    // Opens the device's enabled ASIO interface (on Pdo only, when given).
    static NTSTATUS Open(std::unique_ptr<AsioClient>* Client, PDEVICE_OBJECT Pdo = nullptr);
    ~AsioClient();
    AsioClient(const AsioClient&) = delete;
    AsioClient& operator=(const AsioClient&) = delete;

    // Any private I/O control, as sent.
    IoResult Control(ULONG Code, const void* Input, ULONG InputLength, void* Output, ULONG OutputLength);
    // The 4-byte settings (sample type, latency, rates, io format) and queries.
    NTSTATUS SetValue(ULONG Code, ULONG Value);
    NTSTATUS GetValue(ULONG Code, ULONG* Value);

    NTSTATUS GetProductName(std::string* Name);
    NTSTATUS GetChannelCounts(AsioChannelCounts* Counts);
    NTSTATUS GetChannelInfo(bool Input, ULONG Channel, AsioChannelInfo* Info);
    NTSTATUS GetSampleTypes(ULONG* Requested, std::vector<ULONG>* Types);
    NTSTATUS GetBufferSize(AsioBufferSize* Size);
    NTSTATUS GetLatencies(AsioLatencies* Latencies);

    // Registers a notify event of the client's own; NotifyCount counts how often it was set.
    NTSTATUS SetNotifyEvent();
    NTSTATUS ClearNotifyEvent();
    bool TakeNotify(); // true when the notify event was set since the last call

    // Maps the rings for the channels with a buffer of BufferFrames frames.
    NTSTATUS Map(const std::vector<AsioChannelRequest>& Channels, ULONG BufferFrames);
    const std::vector<AsioRingView>& Rings() const { return m_Rings; }
    const std::vector<ULONGLONG>& UserAddresses() const { return m_Addresses; }

    void SetRenderSource(AsioRenderSource Source);
    void SetCaptureSink(AsioCaptureSink Sink);

    // Render rings are written from the source before the start, then the period thread keeps
    // them ahead; Stop ends the thread after the driver answered (the request may stay pending
    // while the device is powered down: StopAsync sends it from a thread of its own).
    NTSTATUS Start();
    NTSTATUS Stop();
    void StopAsync();
    NTSTATUS StopResult(); // waits for the asynchronous stop's answer
    bool StopAnswered();
    // Cancels the requests still waiting on the handle (a parked stop), as the companion's
    // cancel of its I/O does; StopResult then gives the driver's answer. Returns their number.
    size_t CancelPending();
    NTSTATUS Unmap();
    // The handle's cleanup alone, as when the process's last handle goes while a request of it
    // is still on its way in; Close then sends only the close.
    NTSTATUS Cleanup();
    // Cleanup then close, as the process's last handle goes.
    NTSTATUS Close();

    AsioClientStats Stats();
    // Render: the silent bytes the device gets before the source's first byte (the driver starts
    // reading short of the ring's end when the buffer is short). Valid after Start.
    ULONG RenderLeadIn(ULONG Ring) const;
    PFILE_OBJECT FileObject() const { return m_pHandle ? m_pHandle->FileObject() : nullptr; }

private:
    explicit AsioClient(std::unique_ptr<ClientHandle> Handle);
    NTSTATUS SendHandle(ULONG Code, HANDLE Handle);
    void PeriodLoop();
    void Service();
    void RenderAhead(ULONG Ring);
    void CaptureBehind(ULONG Ring);
    void StopPeriods();

    std::unique_ptr<ClientHandle> m_pHandle;
    std::vector<AsioRingView> m_Rings;
    std::vector<ULONGLONG> m_Addresses;
    AsioRenderSource m_Source;
    AsioCaptureSink m_Sink;

    // Per ring, as absolute byte counts: what the driver has moved, what the client wrote or
    // read, and the driver position last seen.
    std::vector<ULONGLONG> m_Driver;
    std::vector<ULONGLONG> m_Client;
    std::vector<ULONG> m_LastPosition;
    std::vector<ULONG> m_Initial; // the initial position the driver published at the start

    PKEVENT m_pPeriodEvent = nullptr;
    HANDLE m_hPeriodEvent = nullptr;
    PKEVENT m_pNotifyEvent = nullptr;
    HANDLE m_hNotifyEvent = nullptr;
    KEVENT m_Quit;
    std::unique_ptr<plat::HostThread> m_pThread;
    std::unique_ptr<plat::HostThread> m_pStopThread;
    NTSTATUS m_StopStatus = STATUS_PENDING;
    std::mutex m_StatsLock;
    AsioClientStats m_Stats;
};

} // namespace sim
