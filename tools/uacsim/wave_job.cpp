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
    return layout;
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

DeviceTally TallyDeviceStream(DriverSession& Session, const DeviceStream& Stream)
{
    DeviceTally tally;
    const uint64_t perFrame = std::max<uint32_t>(Stream.Format.PacketsPerFrame, 1);
    bool first = true;
    uint64_t lastSlot = 0;
    for (const sim::StreamPacketRecord& r : Session.Device().Streams().Packets())
    {
        if (r.EndpointAddress != Stream.Address || r.Feedback)
            continue;
        // One slot per packet interval: the frame at full speed, the microframe group at high.
        const uint64_t slot = (uint64_t(r.Frame) * 8 + r.Microframe) * perFrame / 8;
        if (!first && slot > lastSlot + 1)
            tally.Underruns += slot - lastSlot - 1;
        if (r.Bytes == 0 || r.Status != USBD_STATUS_SUCCESS)
            ++tally.Underruns;
        else if (r.In && !tally.AnyData)
        {
            tally.FirstSample = r.FirstSample;
            tally.AnyData = true;
        }
        tally.AnyData = tally.AnyData || r.Bytes > 0;
        tally.SizeErrors += r.SizeError.empty() ? 0 : 1;
        tally.Bytes += r.Status == USBD_STATUS_SUCCESS ? r.Bytes : 0;
        ++tally.Packets;
        first = false;
        lastSlot = slot;
    }
    return tally;
}

PinRunner::PinRunner(DriverSession& Session, const sim::DeviceProfile& Profile, sim::AudioPin& Pin,
                     std::FILE* Err)
    : m_Session(Session), m_Profile(Profile), m_Pin(Pin), m_Err(Err)
{
}

uint64_t PinRunner::DeviceBytes()
{
    sim::StreamEndpoints& streams = m_Session.Device().Streams();
    if (m_Stream.Address == 0 && !FindDeviceStream(m_Session, m_Profile, m_Pin.IsCapture(), &m_Stream))
        return 0;
    if (!(m_Stream.Address & 0x80))
    {
        const uint64_t bytes = streams.OutStream(m_Stream.Address).size();
        const uint32_t deviceBlock = m_Stream.Format.BlockBytes();
        return m_PinBlock && deviceBlock ? bytes / deviceBlock * m_PinBlock : bytes;
    }
    uint64_t bytes = 0;
    for (const sim::StreamPacketRecord& r : streams.Packets())
        if (r.EndpointAddress == m_Stream.Address && !r.Feedback && r.Status == USBD_STATUS_SUCCESS)
            bytes += r.Bytes;
    return bytes;
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
    const bool terminal = isatty(fileno(m_Err)) != 0;
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
    status = m_Pin.Run();
    if (!NT_SUCCESS(status))
    {
        *Error = "the pin did not run: " + StatusText(status);
        return false;
    }
    const bool showProgress = Seconds > 1.0;
    // Sampling the device's record costs a copy of it, so the position is compared with it
    // about 200 times per run, and every step for short runs.
    const uint64_t steps = uint64_t(Seconds * 100) + 1;
    const uint64_t sampleEvery = std::max<uint64_t>(1, steps / 200);
    // The transfers in flight and the buffer drain well within two seconds past the end.
    const uint64_t limit = steps + 200;
    bool finished = false;
    for (uint64_t step = 0; step < limit && !finished; ++step)
    {
        Sleep100ns(kStep100ns);
        if (!Step(view.BufferSize))
            break;
        if (step % sampleEvery == 0)
        {
            const int64_t error = int64_t(m_Position) - int64_t(DeviceBytes());
            m_Error.MostBehind = m_Error.Samples ? std::min(m_Error.MostBehind, error) : error;
            m_Error.MostAhead = m_Error.Samples ? std::max(m_Error.MostAhead, error) : error;
            ++m_Error.Samples;
        }
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

std::string PositionErrorText(const PositionError& Error, uint32_t BytesPerSecond)
{
    char text[160];
    std::snprintf(
        text, sizeof(text), "%+.2f .. %+.2f ms (pin position minus the device's bytes, %llu samples)",
        1000.0 * double(Error.MostBehind) / BytesPerSecond, 1000.0 * double(Error.MostAhead) / BytesPerSecond,
        static_cast<unsigned long long>(Error.Samples));
    return text;
}

} // namespace uacsim
