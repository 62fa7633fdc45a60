// The shared half of `play` and `record`. The endpoint list comes from the device's adapter
// object, as the topology report's does; the pin itself is opened and run only through the
// wave filter, as the audio stack would.
#include "tools/uacsim/wave_job.h"
#include "tools/uacsim/topology_report.h"

#include "plat_portcls.h"
#include "plat_sched.h"

#include "driver/core/device_extension.h"
#include "driver/core/stream_engine_if.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace uacsim
{
namespace
{

constexpr ULONGLONG kStep100ns = 10 * 10000; // 10 ms: well inside the 50 ms cyclic buffer

std::string Narrow(PCWSTR Text)
{
    std::string out;
    for (; Text && *Text; ++Text)
        out += *Text < 0x80 ? char(*Text) : '?';
    return out;
}

std::string Narrow(const std::u16string& Text)
{
    return Narrow(reinterpret_cast<PCWSTR>(Text.c_str()));
}

bool IsFloat(const WAVEFORMATEXTENSIBLE& Format)
{
    return Format.Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
           (Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
            Format.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

void Sleep100ns(ULONGLONG Duration)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -LONGLONG(Duration);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

} // namespace

bool FindWaveEndpoint(DriverSession& Session, bool Capture, WaveEndpoint* Endpoint, std::string* Error)
{
    PADAPTERCOMMON adapter = GetAdapterExtension(Session.Fdo())->AdapterCommon;
    const std::vector<sim::WaveFilterInfo> filters = sim::AudioPin::EnumerateWaveFilters(Session.Pnp().Pdo());
    const char* direction = Capture ? "capture" : "render";
    std::string seen;
    for (ULONG i = 0; adapter && i < adapter->GetStreamCount(); ++i)
    {
        IStreamEngine* stream = nullptr;
        WCHAR name[STREAM_NAME_BUFFER_CHARS] = {};
        if (!NT_SUCCESS(adapter->GetStream(i, &stream)) || !stream || !NT_SUCCESS(stream->GetName(name)) ||
            (stream->GetKind() != STREAM_DIRECTION_RENDER) != Capture)
            continue;
        const std::string endpoint = Narrow(name);
        seen += (seen.empty() ? "" : ", ") + endpoint;
        for (const sim::WaveFilterInfo& filter : filters)
        {
            if (filter.Capture != Capture || Narrow(filter.Name).rfind(endpoint, 0) != 0)
                continue;
            Endpoint->Name = endpoint;
            Endpoint->Filter = filter.Name;
            Endpoint->Formats.clear();
            for (ULONG f = 0; f < stream->GetFormatCount(); ++f)
            {
                WAVEFORMATEXTENSIBLE format = {};
                if (NT_SUCCESS(stream->GetFormat(f, &format)))
                    Endpoint->Formats.push_back(format);
            }
            return true;
        }
    }
    *Error = seen.empty() ? std::string("the device has no ") + direction + " endpoint"
                          : std::string("no ") + direction + " endpoint has a wave filter (" + seen +
                                "; `uacsim topology` says why)";
    return false;
}

std::string OfferedFormatsText(const std::vector<WAVEFORMATEXTENSIBLE>& Formats)
{
    std::string text, shape, rates;
    auto flush = [&]()
    {
        if (!shape.empty())
            text += "  " + shape + ":" + rates + " Hz\n";
    };
    for (const WAVEFORMATEXTENSIBLE& format : Formats)
    {
        const std::string next = FormatShape(format);
        if (next != shape)
        {
            flush();
            shape = next;
            rates.clear();
        }
        rates += " " + std::to_string(format.Format.nSamplesPerSec);
    }
    flush();
    return text.empty() ? "  (no formats)\n" : text;
}

WavAudio LayoutOf(const WAVEFORMATEXTENSIBLE& Format)
{
    WavAudio layout;
    layout.Channels = Format.Format.nChannels;
    layout.RateHz = Format.Format.nSamplesPerSec;
    layout.ContainerBytes = Format.Format.wBitsPerSample / 8u;
    layout.ValidBits =
        Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && Format.Samples.wValidBitsPerSample
            ? Format.Samples.wValidBitsPerSample
            : Format.Format.wBitsPerSample;
    layout.Float = IsFloat(Format);
    layout.ChannelMask = Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? Format.dwChannelMask : 0;
    return layout;
}

bool CarriesPcm(const WAVEFORMATEXTENSIBLE& Format)
{
    return Format.Format.wFormatTag == WAVE_FORMAT_PCM ||
           (Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
            Format.SubFormat == KSDATAFORMAT_SUBTYPE_PCM);
}

bool CarriesSamples(const WAVEFORMATEXTENSIBLE& Format)
{
    return CarriesPcm(Format) || IsFloat(Format);
}

std::vector<UCHAR> PinDataFormat(const WAVEFORMATEXTENSIBLE& Format)
{
    const WavAudio layout = LayoutOf(Format);
    const bool extensible = Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    std::vector<UCHAR> data = sim::WaveDataFormat(
        WORD(layout.Channels), layout.RateHz, WORD(layout.ContainerBytes * 8), WORD(layout.ValidBits),
        layout.Float ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM, extensible);
    // The offered wave format itself, speaker mask and all, as the audio stack would take it
    // from the filter's intersection.
    std::memcpy(data.data() + sizeof(KSDATAFORMAT), &Format,
                extensible ? sizeof(Format) : sizeof(WAVEFORMATEX));
    return data;
}

std::vector<uint8_t> Repack(const std::vector<uint8_t>& Bytes, uint32_t FromContainer, uint32_t ToContainer)
{
    if (FromContainer == ToContainer || FromContainer == 0)
        return Bytes;
    const size_t samples = Bytes.size() / FromContainer;
    std::vector<uint8_t> out(samples * ToContainer, 0);
    for (size_t i = 0; i < samples; ++i)
    {
        const uint8_t* from = &Bytes[i * FromContainer];
        uint8_t* to = &out[i * ToContainer];
        // Both top-justified: the high bytes line up at the end of each container.
        const uint32_t common = std::min(FromContainer, ToContainer);
        for (uint32_t b = 0; b < common; ++b)
            to[ToContainer - 1 - b] = from[FromContainer - 1 - b];
    }
    return out;
}

bool PinFeed::Open(const std::string& Path, uint32_t Container, uint32_t Keep, std::string* Error)
{
    if (!m_Reader.Open(Path, Error))
        return false;
    m_Container = Container;
    m_Keep = std::min(Keep, m_Reader.Layout().Channels);
    m_Buffer.clear();
    m_At = 0;
    return true;
}

size_t PinFeed::Read(uint8_t* To, size_t Bytes)
{
    constexpr uint64_t kFrames = 4096;
    const WavAudio& file = m_Reader.Layout();
    const size_t keepBytes = size_t(m_Keep) * m_Container;
    const size_t pinFrame = size_t(file.Channels) * m_Container;
    size_t given = 0;
    while (given < Bytes)
    {
        if (m_At == m_Buffer.size())
        {
            m_Raw.clear();
            const uint64_t frames = m_Reader.Read(kFrames, &m_Raw);
            if (frames == 0)
                break;
            m_Buffer = Repack(m_Raw, file.ContainerBytes, m_Container);
            // Frame by frame from the front: each kept part lands at or before its source.
            for (size_t f = 0; keepBytes < pinFrame && f < frames; ++f)
                std::memmove(&m_Buffer[f * keepBytes], &m_Buffer[f * pinFrame], keepBytes);
            m_Buffer.resize(size_t(frames) * keepBytes);
            m_At = 0;
        }
        const size_t piece = std::min(Bytes - given, m_Buffer.size() - m_At);
        std::memcpy(To + given, &m_Buffer[m_At], piece);
        m_At += piece;
        given += piece;
    }
    return given;
}

bool FindDeviceStream(DriverSession& Session, const sim::DeviceProfile& Profile, bool In,
                      DeviceStream* Stream)
{
    sim::StreamEndpoints& streams = Session.Device().Streams();
    const std::vector<uint8_t>& c = Profile.ConfigurationDescriptor();
    for (size_t at = 0; at + 4 <= c.size() && c[at] >= 2; at += c[at])
    {
        if (c[at + 1] != 5 || c[at] < 7)
            continue;
        const uint8_t address = c[at + 2], attributes = c[at + 3];
        // Isochronous data endpoints only, not feedback ones.
        if ((attributes & 3) != 1 || ((attributes >> 4) & 3) != 0 || ((address & 0x80) != 0) != In ||
            !streams.Serves(address))
            continue;
        sim::StreamFormat format;
        if (streams.CurrentFormat(address, &format) && format.AlternateSetting != 0)
        {
            Stream->Address = address;
            Stream->Format = format;
            return true;
        }
    }
    return false;
}

void DeviceTally::Add(const sim::StreamPacketRecord& Record, const sim::StreamFormat& Format)
{
    const uint64_t perFrame = std::max<uint32_t>(Format.PacketsPerFrame, 1);
    // One slot per packet interval: the frame at full speed, the microframe group at high.
    const uint64_t slot = (uint64_t(Record.Frame) * 8 + Record.Microframe) * perFrame / 8;
    if (m_Started && slot > m_LastSlot + 1)
        Underruns += slot - m_LastSlot - 1;
    if (Record.Bytes == 0 || Record.Status != USBD_STATUS_SUCCESS)
        ++Underruns;
    else if (Record.In && !AnyData)
    {
        FirstSample = Record.FirstSample;
        AnyData = true;
    }
    AnyData = AnyData || Record.Bytes > 0;
    SizeErrors += Record.SizeError.empty() ? 0 : 1;
    Bytes += Record.Status == USBD_STATUS_SUCCESS ? Record.Bytes : 0;
    ++Packets;
    m_Started = true;
    m_LastSlot = slot;
}

PinRunner::PinRunner(DriverSession& Session, const sim::DeviceProfile& Profile, sim::AudioPin& Pin,
                     std::FILE* Err)
    : m_Session(Session), m_Profile(Profile), m_Pin(Pin), m_Err(Err), m_Terminal(isatty(fileno(Err)) != 0)
{
}

PinRunner::~PinRunner()
{
    if (m_Listening)
        m_Session.Device().SetStreamListener(nullptr, true);
}

// On the bus thread, under the device's lock: only the data packets of the pin's direction,
// copied for the runner's thread to take.
void PinRunner::Listen(const sim::StreamPacketRecord& Record, const uint8_t* Data)
{
    if (Record.Feedback || Record.In != m_Pin.IsCapture())
        return;
    std::lock_guard<std::mutex> guard(m_PendingLock);
    Pending pending;
    pending.Record = Record;
    pending.DataAt = m_PendingData.size();
    m_Pending.push_back(pending);
    if (Data)
        m_PendingData.insert(m_PendingData.end(), Data, Data + Record.Bytes);
}

void PinRunner::HandOn()
{
    {
        std::lock_guard<std::mutex> guard(m_PendingLock);
        m_Taken.swap(m_Pending);
        m_TakenData.swap(m_PendingData);
    }
    if (!m_Taken.empty() && m_Stream.Address == 0)
        FindDeviceStream(m_Session, m_Profile, m_Pin.IsCapture(), &m_Stream);
    for (const Pending& pending : m_Taken)
    {
        const sim::StreamPacketRecord& r = pending.Record;
        if (m_Stream.Address == 0 || r.EndpointAddress != m_Stream.Address)
            continue;
        m_Tally.Add(r, m_Stream.Format);
        const bool carried = r.Status == USBD_STATUS_SUCCESS && r.Bytes > 0;
        if (carried && m_Sink)
            m_Sink(m_Stream, m_TakenData.data() + pending.DataAt, r.Bytes);
    }
    m_Taken.clear();
    m_TakenData.clear();
    if (m_Hook)
        m_Hook();
}

void PinRunner::Finish()
{
    if (!m_Listening)
        return;
    m_Session.Device().SetStreamListener(nullptr, true);
    m_Listening = false;
    HandOn();
}

// Follows the position across wraps of the buffer; false when the pin no longer answers.
bool PinRunner::Step(uint32_t BufferSize)
{
    KSAUDIO_POSITION position = {};
    if (!NT_SUCCESS(m_Pin.GetPosition(&position)))
        return false;
    const uint32_t offset = uint32_t(position.PlayOffset % BufferSize);
    m_Position += (offset + BufferSize - m_LastOffset) % BufferSize;
    m_LastOffset = offset;
    return true;
}

void PinRunner::Progress(const char* Verb, double Done, double Total, bool Last)
{
    // A terminal sees one line that updates; a pipe or file gets a line per whole second.
    const bool terminal = m_Terminal;
    const int second = int(std::min(Done, Total));
    if (!terminal && second == m_LastSecond)
        return;
    m_LastSecond = second;
    std::fprintf(m_Err, "%s%s %.1f of %.1f s%s", terminal ? "\r" : "", Verb, std::min(Done, Total), Total,
                 terminal && !Last ? "" : "\n");
    std::fflush(m_Err);
}

bool PinRunner::Run(const char* Verb, double Seconds, uint32_t BytesPerSecond,
                    const std::function<bool(uint64_t)>& Done, std::string* Error)
{
    plat::PcPinView view;
    NTSTATUS status = m_Pin.View(&view);
    if (!NT_SUCCESS(status) || view.BufferSize == 0)
    {
        *Error = "the pin has no cyclic buffer: " + StatusText(status);
        return false;
    }
    sim::StreamEndpoints& streams = m_Session.Device().Streams();
    m_Session.Device().SetStreamListener(
        [this](const sim::StreamPacketRecord& Record, const uint8_t* Data) { Listen(Record, Data); }, false);
    m_Listening = true;
    status = m_Pin.Run();
    if (!NT_SUCCESS(status))
    {
        *Error = "the pin did not run: " + StatusText(status);
        return false;
    }
    const bool showProgress = Seconds > 1.0;
    // The transfers in flight and the buffer drain well within two seconds past the end.
    const uint64_t limit = uint64_t(Seconds * 100) + 1 + 200;
    const uint32_t pinBlock = std::max<uint32_t>(m_Pin.BlockAlign(), 1);
    bool finished = false;
    for (uint64_t step = 0; step < limit && !finished; ++step)
    {
        Sleep100ns(kStep100ns);
        if (!Step(view.BufferSize))
            break;
        HandOn();
        const uint32_t deviceBlock = m_Stream.Format.BlockBytes();
        const uint64_t deviceFrames =
            m_Stream.Address && deviceBlock ? streams.DataBytes(m_Stream.Address) / deviceBlock : 0;
        const int64_t error = int64_t(m_Position / pinBlock) - int64_t(deviceFrames);
        m_Error.MostBehind = m_Error.Readings ? std::min(m_Error.MostBehind, error) : error;
        m_Error.MostAhead = m_Error.Readings ? std::max(m_Error.MostAhead, error) : error;
        ++m_Error.Readings;
        finished = Done(m_Position);
        if (showProgress)
            Progress(Verb, double(m_Position) / BytesPerSecond, Seconds, finished);
    }
    status = m_Pin.Stop();
    if (!finished)
    {
        *Error = "the stream stalled: its position stopped at " +
                 std::to_string(double(m_Position) / BytesPerSecond) + " s";
        return false;
    }
    if (!NT_SUCCESS(status))
    {
        *Error = "the pin did not stop: " + StatusText(status);
        return false;
    }
    return true;
}

std::string PositionErrorText(const PositionError& Error, uint32_t RateHz)
{
    char text[200];
    const double perMs = RateHz ? RateHz / 1000.0 : 1.0;
    std::snprintf(text, sizeof(text),
                  "%+.2f .. %+.2f ms (pin position minus the device's count, %+lld .. %+lld frames at %u Hz; "
                  "%llu readings)",
                  double(Error.MostBehind) / perMs, double(Error.MostAhead) / perMs,
                  static_cast<long long>(Error.MostBehind), static_cast<long long>(Error.MostAhead), RateHz,
                  static_cast<unsigned long long>(Error.Readings));
    return text;
}

} // namespace uacsim
