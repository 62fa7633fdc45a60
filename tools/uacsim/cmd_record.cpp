// `uacsim record FILE.wav --device P --seconds S`: records S seconds from the driver's capture
// wave filter into a WAV file, then reports from the simulated device's own record what it
// sent (format, seconds, packets, underruns, position error) and whether the file holds the
// device's known signal bit for bit.
#include "tools/uacsim/commands.h"
#include "tools/uacsim/topology_report.h"
#include "tools/uacsim/wave_job.h"

#include "sim/device/stream_endpoint.h"

#include <atomic>
#include <cmath>
#include <cstring>

namespace uacsim
{
namespace
{

// The capture format: the endpoint's first at 48 kHz, else its first.
const WAVEFORMATEXTENSIBLE& ChooseFormat(const WaveEndpoint& Endpoint)
{
    for (const WAVEFORMATEXTENSIBLE& format : Endpoint.Formats)
        if (format.Format.nSamplesPerSec == 48000)
            return format;
    return Endpoint.Formats.front();
}

// Compares the captured frames with the device's signal from its first sent frame on; empty
// when they match.
std::string CompareWithSignal(const std::vector<uint8_t>& Captured, const sim::StreamFormat& Format,
                              uint64_t FirstSample)
{
    const uint32_t block = Format.BlockBytes();
    std::vector<uint8_t> expected(block);
    for (size_t at = 0; at + block <= Captured.size(); at += block)
    {
        const uint64_t frame = at / block;
        sim::StreamSignalFrame(Format, FirstSample + frame, expected.data());
        if (std::memcmp(expected.data(), &Captured[at], block) != 0)
        {
            uint32_t b = 0;
            while (expected[b] == Captured[at + b])
                ++b;
            return "first difference at frame " + std::to_string(frame) + ", channel " +
                   std::to_string(b / Format.SubframeBytes) + " (device sample frame " +
                   std::to_string(FirstSample + frame) + ")";
        }
    }
    return "";
}

class Recorder
{
public:
    Recorder(const CommandLine& Line, std::FILE* Out, std::FILE* Err) : m_Line(Line), m_Out(Out), m_Err(Err)
    {
    }
    int Record(DriverSession& Session, const sim::DeviceProfile& Profile);

private:
    int Report(DriverSession& Session, const PinRunner& Runner, const sim::AudioPinStats& Stats);
    std::string WriteAndVerify();

    const CommandLine& m_Line;
    std::FILE* m_Out;
    std::FILE* m_Err;
    WavAudio m_Audio; // the pin's format and what it captured
};

int Recorder::Record(DriverSession& Session, const sim::DeviceProfile& Profile)
{
    WaveEndpoint endpoint;
    std::string error;
    if (!FindWaveEndpoint(Session, true, &endpoint, &error) || endpoint.Formats.empty())
    {
        Complain(m_Out, m_Err, "uacsim: cannot record: %s\n",
                 error.empty() ? "the capture endpoint offers no format" : error.c_str());
        return kExitFailure;
    }
    const WAVEFORMATEXTENSIBLE& format = ChooseFormat(endpoint);
    m_Audio = LayoutOf(format);
    const uint32_t block = m_Audio.BlockBytes();
    const uint64_t frames = uint64_t(std::llround(m_Line.Seconds * m_Audio.RateHz));
    const uint64_t target = std::max<uint64_t>(frames, 1) * block;
    std::fprintf(m_Out, "recording %s: %.3f s from %s as %s at %u Hz\n", m_Line.File.c_str(),
                 double(target / block) / m_Audio.RateHz, endpoint.Name.c_str(), FormatShape(format).c_str(),
                 m_Audio.RateHz);
    std::unique_ptr<sim::AudioPin> pin;
    NTSTATUS status =
        sim::AudioPin::Open(Session.Pnp().Pdo(), endpoint.Filter, 0, PinDataFormat(format), &pin);
    if (!NT_SUCCESS(status))
    {
        Complain(m_Out, m_Err, "uacsim: the capture pin did not open: %s\n", StatusText(status).c_str());
        return kExitFailure;
    }
    // The engine's period thread appends; this thread reads the vector only after Stop.
    std::atomic<uint64_t> captured{0};
    m_Audio.Bytes.reserve(size_t(target) + 64 * 1024);
    pin->SetCaptureSink(
        [&](const UCHAR* From, ULONG Bytes)
        {
            m_Audio.Bytes.insert(m_Audio.Bytes.end(), From, From + Bytes);
            captured += Bytes;
        });
    PinRunner runner(Session, Profile, *pin, m_Err);
    const bool ran = runner.Run(
        "recording", m_Line.Seconds, m_Audio.RateHz * block,
        [&](uint64_t) { return captured.load() >= target; }, &error);
    const sim::AudioPinStats stats = pin->Stats();
    status = pin->Close();
    if (!ran || !NT_SUCCESS(status))
    {
        Complain(m_Out, m_Err, "uacsim: %s\n",
                 ran ? ("the pin did not close: " + StatusText(status)).c_str() : error.c_str());
        return kExitFailure;
    }
    m_Audio.Bytes.resize(size_t(target));
    return Report(Session, runner, stats);
}

int Recorder::Report(DriverSession& Session, const PinRunner& Runner, const sim::AudioPinStats& Stats)
{
    const DeviceStream& stream = Runner.Stream();
    if (stream.Address == 0)
    {
        Complain(m_Out, m_Err, "uacsim: the device never streamed\n");
        return kExitFailure;
    }
    const sim::StreamFormat& f = stream.Format;
    const uint32_t perSecond = f.RateHz * f.BlockBytes();
    const DeviceTally tally = TallyDeviceStream(Session, stream);
    std::string mismatch;
    if (f.BlockBytes() != m_Audio.BlockBytes() || f.RateHz != m_Audio.RateHz)
        mismatch = "the device streams another format than the pin's";
    else if (!tally.AnyData)
        mismatch = "the device sent no samples";
    else
        mismatch = CompareWithSignal(m_Audio.Bytes, f, tally.FirstSample);
    std::fprintf(m_Out, "device record (endpoint 0x%02X, interface %u alternate setting %u):\n",
                 stream.Address, f.InterfaceNumber, f.AlternateSetting);
    std::fprintf(m_Out, "  format:         %u ch x %u bytes, %u bits%s, %u Hz\n", f.Channels, f.SubframeBytes,
                 f.BitResolution, f.Float ? " float" : "", f.RateHz);
    std::fprintf(m_Out, "  seconds:        %.3f sent (recorded: %.3f)\n",
                 perSecond ? double(tally.Bytes) / perSecond : 0.0, m_Audio.Seconds());
    std::fprintf(m_Out, "  packets:        %llu\n", static_cast<unsigned long long>(tally.Packets));
    std::fprintf(
        m_Out,
        "  underruns:      %llu at the device (missing or empty packets), %llu frames it produced but never "
        "sent, %u overruns in the cyclic buffer\n",
        static_cast<unsigned long long>(tally.Underruns),
        static_cast<unsigned long long>(Session.Device().Streams().DroppedInFrames(stream.Address)),
        Stats.Overruns);
    std::fprintf(m_Out, "  position error: %s\n", PositionErrorText(Runner.Error(), perSecond).c_str());
    if (mismatch.empty())
        std::fprintf(
            m_Out,
            "  bit-exact:      yes, all %llu frames are the device's signal from its sample frame %llu\n",
            static_cast<unsigned long long>(m_Audio.Frames()),
            static_cast<unsigned long long>(tally.FirstSample));
    else
        std::fprintf(m_Out, "  bit-exact:      no: %s\n", mismatch.c_str());
    const std::string written = WriteAndVerify();
    if (!written.empty())
    {
        Complain(m_Out, m_Err, "uacsim: %s\n", written.c_str());
        return kExitFailure;
    }
    std::fprintf(m_Out, "wrote %s: %.3f s, read back bit for bit\n", m_Line.File.c_str(), m_Audio.Seconds());
    return mismatch.empty() ? kExitOk : kExitFailure;
}

// Writes the file, then reads it back: what libsndfile stored must be what was captured.
std::string Recorder::WriteAndVerify()
{
    std::string error;
    if (!WriteWav(m_Line.File, m_Audio, &error))
        return error;
    WavAudio back;
    if (!ReadWav(m_Line.File, &back, &error))
        return error;
    if (back.Channels != m_Audio.Channels || back.RateHz != m_Audio.RateHz ||
        Repack(back.Bytes, back.ContainerBytes, m_Audio.ContainerBytes) != m_Audio.Bytes)
        return "'" + m_Line.File + "' does not read back as what was recorded";
    return "";
}

} // namespace

int RunRecord(const CommandLine& Line, std::FILE* Out, std::FILE* Err)
{
    Recorder recorder(Line, Out, Err);
    return RunOnDevice(Line.Device, Line.Realtime, Out, Err,
                       [&](DriverSession& Session, const sim::DeviceProfile& Profile)
                       { return recorder.Record(Session, Profile); });
}

} // namespace uacsim
