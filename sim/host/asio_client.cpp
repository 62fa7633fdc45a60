// The simulated ASIO companion: the private I/O controls, the mapped rings and the period
// thread that keeps them written ahead of the driver (render) and read behind it (capture).
#include "sim/host/asio_client.h"

#include "sim/host/io_client.h"

#include "driver/core/device_extension.h"

#include "object.h"
#include "plat_io.h"
#include "plat_sched.h"
#include "timer.h"

#include <algorithm>
#include <cstring>

namespace sim
{

namespace
{

// A ring is written this far short of a whole ring ahead of the driver, so that the client
// never writes where a transfer being filled may be reading.
constexpr ULONG kRenderMarginDivisor = 4;
// The period thread also looks at the rings this often when no period event comes (a
// powered-down device), so that it notices a stop.
constexpr LONGLONG kPeriodWaitLimit = -100 * 10000;

// A user-mode event of the client process: the driver may reference it by its handle.
NTSTATUS CreateUserEvent(PKEVENT* Event, HANDLE* Handle)
{
    PKEVENT event = static_cast<PKEVENT>(plat::ObCreateObject(ExEventObjectType, sizeof(KEVENT)));
    KeInitializeEvent(event, SynchronizationEvent, FALSE);
    NTSTATUS status = plat::ObInsertHandle(event, EVENT_ALL_ACCESS, UserMode, Handle);
    if (!NT_SUCCESS(status))
    {
        ObDereferenceObject(event);
        return status;
    }
    *Event = event;
    return STATUS_SUCCESS;
}

void DestroyUserEvent(PKEVENT* Event, HANDLE* Handle)
{
    if (*Handle)
        ZwClose(*Handle);
    if (*Event)
        ObDereferenceObject(*Event);
    *Handle = nullptr;
    *Event = nullptr;
}

} // namespace

NTSTATUS AsioClient::Open(std::unique_ptr<AsioClient>* Client, PDEVICE_OBJECT Pdo)
{
    Client->reset();
    std::unique_ptr<ClientHandle> handle;
    NTSTATUS status =
        ClientHandle::Open(GUID_DEVINTERFACE_ASIO_PRIVATE, u"QXASIOPrivateInterface", &handle, Pdo);
    if (NT_SUCCESS(status))
        Client->reset(new AsioClient(std::move(handle)));
    return status;
}

AsioClient::AsioClient(std::unique_ptr<ClientHandle> Handle) : m_pHandle(std::move(Handle))
{
    KeInitializeEvent(&m_Quit, NotificationEvent, FALSE);
}

AsioClient::~AsioClient()
{
    Close();
}

IoResult AsioClient::Control(ULONG Code, const void* Input, ULONG InputLength, void* Output,
                             ULONG OutputLength)
{
    if (!m_pHandle || !m_pHandle->IsOpen())
        return {STATUS_INVALID_HANDLE, 0};
    // A companion stops touching its rings before it has them unmapped, and forgets them after.
    if (Code == IOCTL_ASIO_UNMAP_BUFFERS)
        StopPeriods();
    IoResult r = m_pHandle->DeviceControl(Code, Input, InputLength, Output, OutputLength);
    if (Code == IOCTL_ASIO_UNMAP_BUFFERS && NT_SUCCESS(r.Status))
    {
        m_Rings.clear();
        m_Addresses.clear();
    }
    return r;
}

NTSTATUS AsioClient::SetValue(ULONG Code, ULONG Value)
{
    return Control(Code, &Value, sizeof(Value), nullptr, 0).Status;
}

NTSTATUS AsioClient::GetValue(ULONG Code, ULONG* Value)
{
    *Value = 0;
    return Control(Code, nullptr, 0, Value, sizeof(*Value)).Status;
}

NTSTATUS AsioClient::GetProductName(std::string* Name)
{
    Name->clear();
    // Asked with no room, the driver answers with the warning and the length the name needs.
    IoResult size = Control(IOCTL_ASIO_GET_PRODUCT_NAME, nullptr, 0, nullptr, 0);
    if (size.Status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(size.Status) ? STATUS_UNSUCCESSFUL : size.Status;
    std::vector<char> text(size.Information + 1, 0);
    IoResult r = Control(IOCTL_ASIO_GET_PRODUCT_NAME, nullptr, 0, text.data(), ULONG(size.Information));
    if (NT_SUCCESS(r.Status))
        Name->assign(text.data());
    return r.Status;
}

NTSTATUS AsioClient::GetChannelCounts(AsioChannelCounts* Counts)
{
    *Counts = {};
    return Control(IOCTL_ASIO_GET_CHANNEL_COUNTS, nullptr, 0, Counts, sizeof(*Counts)).Status;
}

NTSTATUS AsioClient::GetChannelInfo(bool Input, ULONG Channel, AsioChannelInfo* Info)
{
    *Info = {};
    Info->ChannelIndex = Channel;
    Info->IsInput = Input ? 1 : 0;
    return Control(IOCTL_ASIO_GET_CHANNEL_INFO, Info, sizeof(*Info), Info, sizeof(*Info)).Status;
}

NTSTATUS AsioClient::GetSampleTypes(ULONG* Requested, std::vector<ULONG>* Types)
{
    AsioSampleTypeList list = {};
    IoResult r = Control(IOCTL_ASIO_GET_SAMPLE_TYPES, nullptr, 0, &list, sizeof(list));
    Types->clear();
    if (NT_SUCCESS(r.Status))
    {
        *Requested = list.RequestedType;
        Types->assign(list.Types, list.Types + std::min<ULONG>(list.Count, ASIO_MAX_SAMPLE_TYPES));
    }
    return r.Status;
}

NTSTATUS AsioClient::GetBufferSize(AsioBufferSize* Size)
{
    *Size = {};
    return Control(IOCTL_ASIO_GET_BUFFER_SIZE, nullptr, 0, Size, sizeof(*Size)).Status;
}

NTSTATUS AsioClient::GetLatencies(AsioLatencies* Latencies)
{
    *Latencies = {};
    return Control(IOCTL_ASIO_GET_LATENCIES, nullptr, 0, Latencies, sizeof(*Latencies)).Status;
}

// A handle travels as the process's pointer width says.
NTSTATUS AsioClient::SendHandle(ULONG Code, HANDLE Handle)
{
    ULONGLONG wide = ULONGLONG(ULONG_PTR(Handle));
    return Control(Code, &wide, sizeof(wide), nullptr, 0).Status;
}

NTSTATUS AsioClient::SetNotifyEvent()
{
    if (!m_pNotifyEvent)
    {
        NTSTATUS status = CreateUserEvent(&m_pNotifyEvent, &m_hNotifyEvent);
        if (!NT_SUCCESS(status))
            return status;
    }
    return SendHandle(IOCTL_ASIO_SET_CLIENT_EVENT, m_hNotifyEvent);
}

NTSTATUS AsioClient::ClearNotifyEvent()
{
    return Control(IOCTL_ASIO_CLEAR_CLIENT_EVENT, nullptr, 0, nullptr, 0).Status;
}

bool AsioClient::TakeNotify()
{
    if (!m_pNotifyEvent)
        return false;
    LARGE_INTEGER now = {};
    return KeWaitForSingleObject(m_pNotifyEvent, Executive, UserMode, FALSE, &now) == STATUS_SUCCESS;
}

NTSTATUS AsioClient::Map(const std::vector<AsioChannelRequest>& Channels, ULONG BufferFrames)
{
    AsioChannelCounts counts;
    NTSTATUS status = GetChannelCounts(&counts);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<UCHAR> request(sizeof(AsioBufferRequest) + Channels.size() * sizeof(AsioBufferRequestEntry));
    AsioBufferRequest header = {0, ULONG(Channels.size()), BufferFrames};
    std::memcpy(request.data(), &header, sizeof(header));
    for (size_t i = 0; i < Channels.size(); ++i)
    {
        AsioBufferRequestEntry entry = {Channels[i].Input ? 1u : 0u, Channels[i].Channel};
        std::memcpy(request.data() + sizeof(header) + i * sizeof(entry), &entry, sizeof(entry));
    }
    std::vector<ULONGLONG> addresses(counts.EndpointCount, 0);
    IoResult r = Control(IOCTL_ASIO_MAP_BUFFERS, request.data(), ULONG(request.size()), addresses.data(),
                         ULONG(addresses.size() * sizeof(ULONGLONG)));
    if (!NT_SUCCESS(r.Status))
        return r.Status;
    StopPeriods();
    m_Addresses = addresses;
    m_Rings.clear();
    for (ULONGLONG address : m_Addresses)
    {
        AsioRingView view;
        view.Header = reinterpret_cast<AsioSharedBufferHeader*>(ULONG_PTR(address));
        view.Samples = reinterpret_cast<UCHAR*>(ULONG_PTR(address)) + sizeof(AsioSharedBufferHeader);
        view.Active = view.Header->Active != 0;
        view.Input = view.Header->IsInput != 0;
        view.RingBytes = view.Header->RingBytes;
        m_Rings.push_back(view);
    }
    m_Driver.assign(m_Rings.size(), 0);
    m_Client.assign(m_Rings.size(), 0);
    m_LastPosition.assign(m_Rings.size(), 0);
    return STATUS_SUCCESS;
}

void AsioClient::SetRenderSource(AsioRenderSource Source)
{
    m_Source = std::move(Source);
}

void AsioClient::SetCaptureSink(AsioCaptureSink Sink)
{
    m_Sink = std::move(Sink);
}

// Render rings start full of the source's data from offset 0; the driver starts reading at
// the initial position it publishes at the start, so the stream's data is the source's from
// that offset on.
NTSTATUS AsioClient::Start()
{
    // Already streaming: the request goes as sent, and the rings stay as they are.
    if (m_pThread)
        return SendHandle(IOCTL_ASIO_START, m_hPeriodEvent);
    if (!m_pPeriodEvent)
    {
        NTSTATUS status = CreateUserEvent(&m_pPeriodEvent, &m_hPeriodEvent);
        if (!NT_SUCCESS(status))
            return status;
    }
    for (size_t i = 0; i < m_Rings.size(); ++i)
    {
        const AsioRingView& v = m_Rings[i];
        m_Driver[i] = m_Client[i] = 0;
        m_LastPosition[i] = 0;
        if (v.Active && !v.Input)
        {
            const ULONG fill = v.RingBytes - v.RingBytes / kRenderMarginDivisor;
            std::vector<UCHAR> data(fill, 0);
            if (m_Source)
                m_Source(ULONG(i), data.data(), fill);
            std::memcpy(m_Rings[i].Samples, data.data(), fill);
            m_Client[i] = fill;
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_StatsLock);
        m_Stats = AsioClientStats();
    }
    NTSTATUS status = SendHandle(IOCTL_ASIO_START, m_hPeriodEvent);
    if (!NT_SUCCESS(status))
        return status;
    // The driver's reading starts at the initial position: render data counts from there.
    m_Initial.clear();
    // A driver that starts short of the ring's end reads that much never-written silence first,
    // then the client's data from offset 0, one ring further on.
    for (size_t i = 0; i < m_Rings.size(); ++i)
    {
        const AsioRingView& v = m_Rings[i];
        const ULONG initial = v.RingBytes ? v.Header->InitialPosition % v.RingBytes : 0;
        m_Initial.push_back(initial);
        m_LastPosition[i] = initial;
        m_Driver[i] = initial;
        if (v.Input)
            m_Client[i] = m_Driver[i];
        else if (initial != 0)
            m_Client[i] += v.RingBytes;
    }
    KeClearEvent(&m_Quit);
    m_pThread.reset(new plat::HostThread("asio companion", [this] { PeriodLoop(); }));
    return STATUS_SUCCESS;
}

void AsioClient::StopPeriods()
{
    if (!m_pThread)
        return;
    KeSetEvent(&m_Quit, IO_NO_INCREMENT, FALSE);
    m_pThread->Join();
    m_pThread.reset();
}

NTSTATUS AsioClient::Stop()
{
    NTSTATUS status = Control(IOCTL_ASIO_STOP, nullptr, 0, nullptr, 0).Status;
    StopPeriods();
    return status;
}

void AsioClient::StopAsync()
{
    m_StopStatus = STATUS_PENDING;
    m_pStopThread.reset(new plat::HostThread("asio stop",
                                             [this]
                                             {
                                                 NTSTATUS status =
                                                     Control(IOCTL_ASIO_STOP, nullptr, 0, nullptr, 0).Status;
                                                 m_StopStatus = status;
                                             }));
}

bool AsioClient::StopAnswered()
{
    return m_StopStatus != STATUS_PENDING;
}

size_t AsioClient::CancelPending()
{
    return m_pHandle ? m_pHandle->CancelPendingRequests() : 0;
}

NTSTATUS AsioClient::StopResult()
{
    if (m_pStopThread)
    {
        m_pStopThread->Join();
        m_pStopThread.reset();
    }
    StopPeriods();
    return m_StopStatus;
}

NTSTATUS AsioClient::Unmap()
{
    return Control(IOCTL_ASIO_UNMAP_BUFFERS, nullptr, 0, nullptr, 0).Status;
}

NTSTATUS AsioClient::Cleanup()
{
    StopPeriods();
    return m_pHandle && m_pHandle->IsOpen() ? m_pHandle->Cleanup() : STATUS_INVALID_HANDLE;
}

NTSTATUS AsioClient::Close()
{
    StopPeriods();
    // The handle's cleanup comes while a request may still wait on it, as when a process ends
    // with its stop pending: the driver must answer it then, or the thread never returns.
    if (m_pHandle && m_pHandle->IsOpen())
        m_pHandle->Cleanup();
    if (m_pStopThread)
    {
        m_pStopThread->Join();
        m_pStopThread.reset();
    }
    NTSTATUS status = STATUS_INVALID_HANDLE;
    if (m_pHandle && m_pHandle->IsOpen())
        status = m_pHandle->Close();
    m_pHandle.reset();
    m_Rings.clear();
    m_Addresses.clear();
    DestroyUserEvent(&m_pPeriodEvent, &m_hPeriodEvent);
    DestroyUserEvent(&m_pNotifyEvent, &m_hNotifyEvent);
    return status;
}

ULONG AsioClient::RenderLeadIn(ULONG Ring) const
{
    const ULONG initial = Ring < m_Initial.size() ? m_Initial[Ring] : 0;
    return initial ? m_Rings[Ring].RingBytes - initial : 0;
}

AsioClientStats AsioClient::Stats()
{
    std::lock_guard<std::mutex> guard(m_StatsLock);
    return m_Stats;
}

void AsioClient::PeriodLoop()
{
    PVOID objects[] = {&m_Quit, m_pPeriodEvent};
    for (;;)
    {
        LARGE_INTEGER limit;
        limit.QuadPart = kPeriodWaitLimit;
        NTSTATUS wait =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, UserMode, FALSE, &limit, nullptr);
        if (wait == STATUS_WAIT_0)
            return;
        if (wait == STATUS_WAIT_1)
        {
            std::lock_guard<std::mutex> guard(m_StatsLock);
            if (m_Stats.Periods++ == 0)
                m_Stats.FirstPeriodTime = KeQueryInterruptTime();
        }
        Service();
    }
}

void AsioClient::Service()
{
    for (size_t i = 0; i < m_Rings.size(); ++i)
    {
        const AsioRingView& v = m_Rings[i];
        if (!v.Active || v.RingBytes == 0)
            continue;
        // The driver's progress since the last look, across one wrap at most.
        const ULONG position = v.Header->DriverPosition % v.RingBytes;
        m_Driver[i] += (position + v.RingBytes - m_LastPosition[i]) % v.RingBytes;
        m_LastPosition[i] = position;
        if (v.Input)
            CaptureBehind(ULONG(i));
        else
            RenderAhead(ULONG(i));
    }
}

void AsioClient::RenderAhead(ULONG Ring)
{
    const ULONG ring = m_Rings[Ring].RingBytes;
    const ULONGLONG target = m_Driver[Ring] + ring - ring / kRenderMarginDivisor;
    std::lock_guard<std::mutex> guard(m_StatsLock);
    if (m_Client[Ring] < m_Driver[Ring])
    {
        ++m_Stats.LateRenders;
        m_Client[Ring] = m_Driver[Ring];
    }
    if (target <= m_Client[Ring])
        return;
    const ULONG bytes = ULONG(target - m_Client[Ring]);
    std::vector<UCHAR> data(bytes, 0);
    if (m_Source)
        m_Source(Ring, data.data(), bytes);
    for (ULONG done = 0; done < bytes;)
    {
        const ULONG offset = ULONG((m_Client[Ring] + done) % ring);
        const ULONG piece = std::min(bytes - done, ring - offset);
        std::memcpy(m_Rings[Ring].Samples + offset, data.data() + done, piece);
        done += piece;
    }
    m_Client[Ring] += bytes;
    m_Stats.RenderedBytes += bytes;
}

void AsioClient::CaptureBehind(ULONG Ring)
{
    const ULONG ring = m_Rings[Ring].RingBytes;
    if (m_Driver[Ring] <= m_Client[Ring])
        return;
    const ULONG bytes = ULONG(std::min<ULONGLONG>(m_Driver[Ring] - m_Client[Ring], ring));
    std::vector<UCHAR> data(bytes);
    for (ULONG done = 0; done < bytes;)
    {
        const ULONG offset = ULONG((m_Client[Ring] + done) % ring);
        const ULONG piece = std::min(bytes - done, ring - offset);
        std::memcpy(data.data() + done, m_Rings[Ring].Samples + offset, piece);
        done += piece;
    }
    m_Client[Ring] += bytes;
    if (m_Sink)
        m_Sink(Ring, data.data(), bytes);
    std::lock_guard<std::mutex> guard(m_StatsLock);
    m_Stats.CapturedBytes += bytes;
}

} // namespace sim
