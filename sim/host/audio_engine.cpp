// The simulated audio engine: pins of wave filters and the periods that keep their cyclic
// buffers fed or drained by position.
#include "sim/host/audio_engine.h"

#include "plat_io.h"
#include "plat_sched.h"
#include "timer.h"

#include <algorithm>
#include <cstring>

namespace sim
{

namespace
{

// A METHOD_NEITHER request on the handle, as the audio stack sends it: the request record as
// the input, the value buffer as the output (a set's value too).
IoResult SendNeither(ClientHandle& Handle, ULONG Code, const void* Input, ULONG InputLength, void* Output,
                     ULONG OutputLength)
{
    PFILE_OBJECT file = Handle.FileObject();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(Code, file->DeviceObject, const_cast<void*>(Input), InputLength,
                                             Output, OutputLength, FALSE, &done, &ioStatus);
    if (irp == nullptr)
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    IoCallDriver(file->DeviceObject, irp);
    KeWaitForSingleObject(&done, Executive, UserMode, FALSE, nullptr);
    return {ioStatus.Status, ioStatus.Information};
}

// The data flow of a pin factory, read from the filter.
NTSTATUS PinDataFlow(ClientHandle& Filter, ULONG PinId, KSPIN_DATAFLOW* Flow)
{
    KSP_PIN request = {};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATAFLOW;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = PinId;
    ULONG flow = 0;
    IoResult r = SendNeither(Filter, IOCTL_KS_PROPERTY, &request, sizeof(request), &flow, sizeof(flow));
    *Flow = KSPIN_DATAFLOW(flow);
    return r.Status;
}

// "\{pin string}" and the KSPIN_CONNECT with the format behind it, two bytes a character.
std::u16string PinCreateParameters(ULONG PinId, const std::vector<UCHAR>& DataFormat)
{
    KSPIN_CONNECT connect = {};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = PinId;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    std::vector<UCHAR> bytes(sizeof(connect));
    std::memcpy(bytes.data(), &connect, sizeof(connect));
    bytes.insert(bytes.end(), DataFormat.begin(), DataFormat.end());
    if (bytes.size() % 2)
        bytes.push_back(0);
    std::u16string text = std::u16string(u"\\") + KSSTRING_Pin;
    size_t start = text.size();
    text.resize(start + bytes.size() / 2);
    std::memcpy(&text[start], bytes.data(), bytes.size());
    return text;
}

// The frame size of a wave data format; 1 when the format carries none.
ULONG BlockAlignOf(const std::vector<UCHAR>& DataFormat)
{
    constexpr size_t offset = offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx);
    if (DataFormat.size() < offset + sizeof(WAVEFORMATEX))
        return 1;
    WAVEFORMATEX wave;
    std::memcpy(&wave, DataFormat.data() + offset, sizeof(wave));
    return wave.nBlockAlign ? wave.nBlockAlign : 1;
}

} // namespace

std::vector<UCHAR> WaveDataFormat(WORD Channels, DWORD RateHz, WORD ContainerBits, WORD ValidBits,
                                  const GUID& SubFormat, bool Extensible)
{
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = {};
    size_t size = Extensible ? sizeof(format) : sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    format.DataFormat.FormatSize = ULONG(size);
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.DataFormat.SubFormat = SubFormat;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEX& wave = format.WaveFormatExt.Format;
    wave.nChannels = Channels;
    wave.nSamplesPerSec = RateHz;
    wave.wBitsPerSample = ContainerBits;
    wave.nBlockAlign = WORD(Channels * ContainerBits / 8);
    wave.nAvgBytesPerSec = wave.nBlockAlign * RateHz;
    if (Extensible)
    {
        wave.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        wave.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        format.WaveFormatExt.Samples.wValidBitsPerSample = ValidBits;
        format.WaveFormatExt.SubFormat = SubFormat;
    }
    else
        wave.wFormatTag = IsEqualGUID(SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) ? WAVE_FORMAT_IEEE_FLOAT
                                                                                  : WAVE_FORMAT_PCM;
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&format);
    return std::vector<UCHAR>(bytes, bytes + size);
}

std::vector<WaveFilterInfo> AudioPin::EnumerateWaveFilters(PDEVICE_OBJECT Pdo)
{
    std::vector<WaveFilterInfo> filters;
    for (const auto& r : plat::IoListDeviceInterfaces())
    {
        if (r.Pdo != Pdo || !r.Enabled)
            continue;
        if (IsEqualGUID(r.InterfaceClass, KSCATEGORY_RENDER))
            filters.push_back({r.ReferenceString, false});
        else if (IsEqualGUID(r.InterfaceClass, KSCATEGORY_CAPTURE))
            filters.push_back({r.ReferenceString, true});
    }
    return filters;
}

NTSTATUS AudioPin::Open(PDEVICE_OBJECT Pdo, const std::u16string& Filter, ULONG PinId,
                        const std::vector<UCHAR>& DataFormat, std::unique_ptr<AudioPin>* Pin)
{
    Pin->reset();
    std::unique_ptr<ClientHandle> filter;
    NTSTATUS status = ClientHandle::Open(KSCATEGORY_AUDIO, Filter, &filter, Pdo);
    KSPIN_DATAFLOW flow = KSPIN_DATAFLOW_IN;
    if (NT_SUCCESS(status))
        status = PinDataFlow(*filter, PinId, &flow);
    std::unique_ptr<ClientHandle> pin;
    if (NT_SUCCESS(status))
        status = ClientHandle::OpenWithParameters(KSCATEGORY_AUDIO, Filter,
                                                  PinCreateParameters(PinId, DataFormat), &pin, Pdo);
    if (NT_SUCCESS(status))
        Pin->reset(new AudioPin(std::move(filter), std::move(pin), flow == KSPIN_DATAFLOW_OUT, DataFormat));
    return status;
}

AudioPin::AudioPin(std::unique_ptr<ClientHandle> Filter, std::unique_ptr<ClientHandle> Pin, bool Capture,
                   const std::vector<UCHAR>& DataFormat)
    : m_pFilter(std::move(Filter)), m_pPin(std::move(Pin)), m_bCapture(Capture),
      m_BlockAlign(BlockAlignOf(DataFormat)), m_LeadBytes(0), m_LastOffset(0), m_Shift(0), m_Position(0),
      m_Written(0), m_Read(0)
{
    KeInitializeEvent(&m_Quit, NotificationEvent, FALSE);
}

AudioPin::~AudioPin()
{
    Close();
}

void AudioPin::SetRenderSource(RenderSource Source)
{
    m_Source = std::move(Source);
}

void AudioPin::SetCaptureSink(CaptureSink Sink)
{
    m_Sink = std::move(Sink);
}

void AudioPin::SetLeadBytes(ULONG Bytes)
{
    m_LeadBytes = Bytes;
}

IoResult AudioPin::Property(const GUID& Set, ULONG Id, ULONG Verb, void* Value, ULONG ValueSize)
{
    if (!m_pPin)
        return {STATUS_INVALID_HANDLE, 0};
    KSPROPERTY property = {};
    property.Set = Set;
    property.Id = Id;
    property.Flags = Verb;
    return SendNeither(*m_pPin, IOCTL_KS_PROPERTY, &property, sizeof(property), Value, ValueSize);
}

NTSTATUS AudioPin::SetState(KSSTATE State)
{
    ULONG value = State;
    return Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET, &value,
                    sizeof(value))
        .Status;
}

NTSTATUS AudioPin::GetState(KSSTATE* State)
{
    ULONG value = 0;
    NTSTATUS status = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET,
                               &value, sizeof(value))
                          .Status;
    *State = KSSTATE(value);
    return status;
}

NTSTATUS AudioPin::GetPosition(KSAUDIO_POSITION* Position)
{
    *Position = {};
    return Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET, Position,
                    sizeof(*Position))
        .Status;
}

NTSTATUS AudioPin::SetFormat(const std::vector<UCHAR>& DataFormat)
{
    plat::PcPinView before = {}, after = {};
    View(&before);
    std::vector<UCHAR> copy = DataFormat;
    NTSTATUS status = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET,
                               copy.data(), ULONG(copy.size()))
                          .Status;
    if (!NT_SUCCESS(status))
        return status;
    m_BlockAlign = BlockAlignOf(DataFormat);
    // A new cyclic buffer starts empty with its position at 0: what was written into the old
    // one is gone, and the next run starts afresh.
    View(&after);
    if (after.Buffer != before.Buffer || after.BufferSize != before.BufferSize)
        ResetMarks();
    return status;
}

NTSTATUS AudioPin::GetFormat(std::vector<UCHAR>* DataFormat)
{
    IoResult size =
        Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_GET, nullptr, 0);
    if (size.Status != STATUS_BUFFER_OVERFLOW)
        return size.Status;
    DataFormat->assign(size.Information, 0);
    IoResult r = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_GET,
                          DataFormat->data(), ULONG(DataFormat->size()));
    DataFormat->resize(r.Information);
    return r.Status;
}

NTSTATUS AudioPin::View(plat::PcPinView* View)
{
    return m_pPin ? plat::PcQueryPin(m_pPin->FileObject(), View) : STATUS_INVALID_HANDLE;
}

AudioPinStats AudioPin::Stats()
{
    std::lock_guard<std::mutex> guard(m_StatsLock);
    return m_Stats;
}

NTSTATUS AudioPin::Run()
{
    if (!m_pPin)
        return STATUS_INVALID_HANDLE;
    if (m_pThread)
        return STATUS_SUCCESS;
    // A fresh render stream starts with the lead already written, so the first transfers
    // carry the source's data rather than whatever the buffer held.
    bool fresh = m_Position == 0 && m_Written == 0 && m_Read == 0;
    plat::PcPinView view;
    if (!m_bCapture && fresh && NT_SUCCESS(View(&view)) && view.BufferSize)
    {
        Feed(view, 0, Lead(view.BufferSize));
        m_Written = Lead(view.BufferSize);
    }
    NTSTATUS status = SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status))
        return status;
    KSAUDIO_POSITION position;
    if (!fresh && NT_SUCCESS(View(&view)) && view.BufferSize && view.Buffer &&
        NT_SUCCESS(GetPosition(&position)))
    {
        ULONG offset = ULONG(position.PlayOffset % view.BufferSize);
        if (offset != m_LastOffset)
            Rebase(view, offset);
    }
    StartPeriods();
    return status;
}

NTSTATUS AudioPin::Pause()
{
    StopPeriods();
    if (!m_pPin)
        return STATUS_INVALID_HANDLE;
    NTSTATUS status = SetState(KSSTATE_PAUSE);
    // The marks catch up with where the stream stopped, so that a later run can tell a
    // position the stream started again from the one it kept.
    if (NT_SUCCESS(status))
        Service(false);
    return status;
}

NTSTATUS AudioPin::Stop()
{
    StopPeriods();
    if (!m_pPin)
        return STATUS_INVALID_HANDLE;
    NTSTATUS status = SetState(KSSTATE_STOP);
    ResetMarks();
    return status;
}

NTSTATUS AudioPin::Close()
{
    StopPeriods();
    if (!m_pPin)
        return STATUS_INVALID_HANDLE;
    NTSTATUS status = m_pPin->Close();
    m_pPin.reset();
    m_pFilter.reset();
    return status;
}

// The stream's position restarted at Offset while paused. The marks keep counting; the buffer
// offset of the current position becomes Offset, and render data written ahead of the old
// position moves ahead of the new one.
void AudioPin::Rebase(const plat::PcPinView& View, ULONG Offset)
{
    ULONG size = View.BufferSize;
    std::vector<UCHAR> pending;
    if (!m_bCapture && m_Written > m_Position)
    {
        pending.resize(std::min<ULONGLONG>(m_Written - m_Position, size));
        RingCopy(View, m_Position, pending.data(), pending.size(), false);
    }
    m_Shift = ULONG((Offset + size - m_Position % size) % size);
    m_LastOffset = Offset;
    if (!m_bCapture)
    {
        RingCopy(View, m_Position, pending.data(), pending.size(), true);
        m_Written = m_Position + pending.size();
    }
    else
        m_Read = m_Position;
    std::lock_guard<std::mutex> guard(m_StatsLock);
    ++m_Stats.Restarts;
}

void AudioPin::ResetMarks()
{
    m_LastOffset = 0;
    m_Shift = 0;
    m_Position = m_Written = m_Read = 0;
    std::lock_guard<std::mutex> guard(m_StatsLock);
    m_Stats = AudioPinStats();
}

void AudioPin::StartPeriods()
{
    KeClearEvent(&m_Quit);
    m_pThread.reset(new plat::HostThread("audio engine", [this] { PeriodLoop(); }));
}

void AudioPin::StopPeriods()
{
    if (!m_pThread)
        return;
    KeSetEvent(&m_Quit, IO_NO_INCREMENT, FALSE);
    m_pThread->Join();
    m_pThread.reset();
}

// One period every kPeriodMs on the platform clock, on a timer's grid so that the time the
// service takes does not stretch the period.
void AudioPin::PeriodLoop()
{
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    LARGE_INTEGER due;
    due.QuadPart = -LONGLONG(kPeriodMs) * 10000;
    KeSetTimerEx(&timer, due, kPeriodMs, nullptr);
    PVOID objects[] = {&m_Quit, &timer};
    while (KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr) !=
           STATUS_WAIT_0)
        Service(true);
    KeCancelTimer(&timer);
}

ULONG AudioPin::Lead(ULONG BufferSize) const
{
    ULONG lead = m_LeadBytes ? std::min(m_LeadBytes, BufferSize) : BufferSize / 2;
    return lead - lead % m_BlockAlign;
}

void AudioPin::RingCopy(const plat::PcPinView& View, ULONGLONG From, UCHAR* Data, ULONGLONG Bytes,
                        bool IntoRing)
{
    UCHAR* buffer = static_cast<UCHAR*>(View.Buffer);
    for (ULONGLONG done = 0; done < Bytes;)
    {
        ULONG offset = ULONG((From + done + m_Shift) % View.BufferSize);
        ULONG piece = ULONG(std::min<ULONGLONG>(Bytes - done, View.BufferSize - offset));
        if (IntoRing)
            std::memcpy(buffer + offset, Data + done, piece);
        else
            std::memcpy(Data + done, buffer + offset, piece);
        done += piece;
    }
}

void AudioPin::Feed(const plat::PcPinView& View, ULONGLONG From, ULONGLONG Bytes)
{
    m_Scratch.assign(Bytes, 0);
    if (m_Source && Bytes)
        m_Source(m_Scratch.data(), ULONG(Bytes));
    RingCopy(View, From, m_Scratch.data(), Bytes, true);
}

void AudioPin::Drain(const plat::PcPinView& View, ULONGLONG From, ULONGLONG Bytes)
{
    m_Scratch.resize(Bytes);
    RingCopy(View, From, m_Scratch.data(), Bytes, false);
    if (m_Sink && Bytes)
        m_Sink(m_Scratch.data(), ULONG(Bytes));
}

// One period (or the catching up at a pause): how far the position moved since the last one (less than a
// buffer, since a period is far shorter than any buffer), then the buffer fed up to the lead ahead of it or
// drained up to it.
void AudioPin::Service(bool Period)
{
    plat::PcPinView view;
    KSAUDIO_POSITION position;
    if (!NT_SUCCESS(View(&view)) || view.BufferSize == 0 || view.Buffer == nullptr ||
        !NT_SUCCESS(GetPosition(&position)))
        return;
    ULONG size = view.BufferSize;
    ULONG offset = ULONG(position.PlayOffset % size);
    m_Position += (offset + size - m_LastOffset % size) % size;
    m_LastOffset = offset;
    AudioPinStats stats = Stats();
    if (!m_bCapture)
    {
        if (m_Position > m_Written)
        {
            ++stats.Underruns;
            m_Written = m_Position;
        }
        ULONGLONG target = m_Position + Lead(size);
        if (target > m_Written)
            Feed(view, m_Written, target - m_Written);
        m_Written = std::max(m_Written, target);
    }
    else
    {
        if (m_Position - m_Read > size)
        {
            ++stats.Overruns;
            m_Read = m_Position - size;
        }
        Drain(view, m_Read, m_Position - m_Read);
        m_Read = m_Position;
    }
    stats.PositionBytes = m_Position;
    stats.WrittenBytes = m_Written;
    stats.ReadBytes = m_Read;
    stats.ServiceCount = view.ServiceCount;
    stats.Periods += Period ? 1 : 0;
    std::lock_guard<std::mutex> guard(m_StatsLock);
    m_Stats = stats;
}

} // namespace sim
