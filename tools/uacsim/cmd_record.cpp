// `uacsim record FILE.wav --device P --seconds S`: records S seconds from the driver's capture
// wave filter into a WAV file, then reports from the simulated device's own record what it
// sent (format, seconds, packets, underruns, position error) and whether the file holds the
// device's known signal bit for bit.
#include "tools/uacsim/commands.h"
#include "tools/uacsim/topology_report.h"
#include "tools/uacsim/wave_job.h"

#include "sim/device/stream_endpoint.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

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

// libsndfile's WAV files count their bytes in 32 bits.
constexpr uint64_t kWavMostBytes = 0xFFFFFFFFull - 1024;

// Frame n of the device's known signal as the pin carries it, worked out from the signal's
// values and the pin's layout alone: each 16-bit value at the top of its container with zeros
// below, an 8-bit container its top byte in offset binary (as every 8-bit client sample is), a
// float the value over 32768.
void ExpectedPinFrame(const WavAudio& Pin, uint64_t SampleFrame, uint8_t* Out)
{
    for (uint32_t c = 0; c < Pin.Channels; ++c, Out += Pin.ContainerBytes)
    {
        const int32_t value = sim::StreamSignalSample(SampleFrame, c);
        if (Pin.Float)
        {
            const float sample = float(value) / 32768.0f;
            std::memcpy(Out, &sample, sizeof(sample));
        }
        else if (Pin.ContainerBytes == 1)
            Out[0] = uint8_t((value + 32768) / 256);
        else
        {
            const int64_t scaled = int64_t(value) * (int64_t(1) << (8 * Pin.ContainerBytes - 16));
            for (uint32_t b = 0; b < Pin.ContainerBytes; ++b)
                Out[b] = uint8_t(uint64_t(scaled) >> (8 * b));
        }
    }
}

// The captured frames against the device's signal, frame by frame as they come; the first
// difference is kept.
class SignalCheck
{
public:
    void Add(const uint8_t* Captured, size_t Bytes, const WavAudio& Pin, uint64_t FirstSample)
    {
        const uint32_t block = Pin.BlockBytes();
        m_Expected.resize(block);
        for (size_t at = 0; m_Mismatch.empty() && block && at + block <= Bytes; at += block, ++m_Frame)
        {
            ExpectedPinFrame(Pin, FirstSample + m_Frame, m_Expected.data());
            if (std::memcmp(m_Expected.data(), Captured + at, block) == 0)
                continue;
            uint32_t b = 0;
            while (m_Expected[b] == Captured[at + b])
                ++b;
            char detail[64];
            std::snprintf(detail, sizeof(detail), ": byte 0x%02X where the signal has 0x%02X",
                          Captured[at + b], m_Expected[b]);
            m_Mismatch = "first difference at frame " + std::to_string(m_Frame) + ", channel " +
                         std::to_string(b / Pin.ContainerBytes) + " (device sample frame " +
                         std::to_string(FirstSample + m_Frame) + ")" + detail;
        }
    }
    const std::string& Mismatch() const { return m_Mismatch; }

private:
    uint64_t m_Frame = 0;
    std::vector<uint8_t> m_Expected;
    std::string m_Mismatch;
};

class Recorder
{
public:
    Recorder(const CommandLine& Line, std::FILE* Out, std::FILE* Err) : m_Line(Line), m_Out(Out), m_Err(Err)
    {
    }
    int Record(DriverSession& Session, const sim::DeviceProfile& Profile);

private:
    void Take(const PinRunner& Runner, bool Last);
    int Report(DriverSession& Session, const PinRunner& Runner, const sim::AudioPinStats& Stats);
    std::string Verify();

    const CommandLine& m_Line;
    std::FILE* m_Out;
    std::FILE* m_Err;
    WavAudio m_Audio; // the pin's format
    uint64_t m_Target = 0;
    WavWriter m_Writer;
    std::string m_WriteError;
    ByteHash m_Written; // what the pin captured, up to the target
    SignalCheck m_Signal;
    bool m_OtherFormat = false;
    // The engine's period thread adds; the runner's thread takes at each step.
    std::mutex m_Lock;
    std::vector<uint8_t> m_Captured;
    std::vector<uint8_t> m_Taking;
};

int Recorder::Record(DriverSession& Session, const sim::DeviceProfile& Profile)
{
    WaveEndpoint endpoint;
    std::string error;
    if (!FindWaveEndpoint(Session, true, &endpoint, &error) || endpoint.Formats.empty())
    {
        Complain(m_Out, m_Err, "uacsim: cannot record: %s\n",
                 error.empty() ? "the capture endpoint offers no format" : error.c_str());
        return kExitUsage;
    }
    const WAVEFORMATEXTENSIBLE& format = ChooseFormat(endpoint);
    m_Audio = LayoutOf(format);
    const uint32_t block = m_Audio.BlockBytes();
    // The file stores each sample in the pin's container; the count is checked as a double
    // first, so no number of seconds overflows the frame count.
    const uint64_t fileFrameBytes = uint64_t(m_Audio.BlockBytes());
    const double wanted = std::round(m_Line.Seconds * m_Audio.RateHz);
    if (fileFrameBytes == 0 || !(wanted <= double(kWavMostBytes / fileFrameBytes)))
    {
        Complain(m_Out, m_Err,
                 "uacsim: --seconds %g is more than a WAV file holds: %s as %s takes at most %.0f s\n",
                 m_Line.Seconds, endpoint.Name.c_str(), m_Audio.Describe().c_str(),
                 fileFrameBytes ? std::floor(double(kWavMostBytes / fileFrameBytes) / m_Audio.RateHz) : 0.0);
        return kExitUsage;
    }
    m_Target = std::max<uint64_t>(uint64_t(wanted), 1) * block;
    if (!m_Writer.Open(m_Line.File, m_Audio, &error))
    {
        Complain(m_Out, m_Err, "uacsim: %s\n", error.c_str());
        return kExitUsage;
    }
    std::fprintf(m_Out, "recording %s: %.3f s from %s as %s at %u Hz\n", m_Line.File.c_str(),
                 double(m_Target / block) / m_Audio.RateHz, endpoint.Name.c_str(),
                 FormatShape(format).c_str(), m_Audio.RateHz);
    std::unique_ptr<sim::AudioPin> pin;
    NTSTATUS status =
        sim::AudioPin::Open(Session.Pnp().Pdo(), endpoint.Filter, 0, PinDataFormat(format), &pin);
    if (!NT_SUCCESS(status))
    {
        Complain(m_Out, m_Err, "uacsim: the capture pin did not open: %s\n", StatusText(status).c_str());
        return kExitFailure;
    }
    std::atomic<uint64_t> captured{0};
    pin->SetCaptureSink(
        [&](const UCHAR* From, ULONG Bytes)
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Captured.insert(m_Captured.end(), From, From + Bytes);
            captured += Bytes;
        });
    PinRunner runner(Session, Profile, *pin, m_Err);
    runner.SetStepHook([&]() { Take(runner, false); });
    const bool ran = runner.Run(
        "recording", m_Line.Seconds, m_Audio.RateHz * block,
        [&](uint64_t) { return captured.load() >= m_Target; }, &error);
    const sim::AudioPinStats stats = pin->Stats();
    status = pin->Close();
    runner.SetStepHook([&]() { Take(runner, true); });
    runner.Finish();
    if (!ran || !NT_SUCCESS(status))
    {
        Complain(m_Out, m_Err, "uacsim: %s\n",
                 ran ? ("the pin did not close: " + StatusText(status)).c_str() : error.c_str());
        return kExitFailure;
    }
    return Report(Session, runner, stats);
}

// What the pin captured since the last step, up to the target: into the file, and against the
// device's signal once the device's first frame is known. Until then it waits, a second at most.
void Recorder::Take(const PinRunner& Runner, bool Last)
{
    const DeviceStream& stream = Runner.Stream();
    const bool known = stream.Address != 0 && Runner.Tally().AnyData;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (!known && !Last && m_Captured.size() < uint64_t(m_Audio.RateHz) * m_Audio.BlockBytes())
            return;
        m_Taking.swap(m_Captured);
    }
    const size_t take = size_t(std::min<uint64_t>(m_Taking.size(), m_Target - m_Written.Bytes));
    const sim::StreamFormat& f = stream.Format;
    m_OtherFormat = m_OtherFormat || (stream.Address &&
                                      (f.BlockBytes() != m_Audio.BlockBytes() || f.RateHz != m_Audio.RateHz));
    if (known && !m_OtherFormat)
        m_Signal.Add(m_Taking.data(), take, m_Audio, Runner.Tally().FirstSample);
    if (m_WriteError.empty())
        m_Writer.Write(m_Taking.data(), take, &m_WriteError);
    m_Written.Add(m_Taking.data(), take);
    m_Taking.clear();
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
    const DeviceTally& tally = Runner.Tally();
    const double recorded = double(m_Written.Bytes / m_Audio.BlockBytes()) / m_Audio.RateHz;
    std::string mismatch;
    if (m_OtherFormat)
        mismatch = "the device streams another format than the pin's";
    else if (!tally.AnyData)
        mismatch = "the device sent no samples";
    else
        mismatch = m_Signal.Mismatch();
    std::fprintf(m_Out, "device record (endpoint 0x%02X, interface %u alternate setting %u):\n",
                 stream.Address, f.InterfaceNumber, f.AlternateSetting);
    std::fprintf(m_Out, "  format:         %u ch x %u bytes, %u bits%s, %u Hz\n", f.Channels, f.SubframeBytes,
                 f.BitResolution, f.Float ? " float" : "", f.RateHz);
    std::fprintf(m_Out, "  seconds:        %.3f sent (recorded: %.3f)\n",
                 perSecond ? double(tally.Bytes) / perSecond : 0.0, recorded);
    std::fprintf(m_Out, "  packets:        %llu\n", static_cast<unsigned long long>(tally.Packets));
    std::fprintf(
        m_Out,
        "  underruns:      %llu at the device (missing or empty packets), %llu frames it produced but never "
        "sent, %u overruns in the cyclic buffer\n",
        static_cast<unsigned long long>(tally.Underruns),
        static_cast<unsigned long long>(Session.Device().Streams().DroppedInFrames(stream.Address)),
        Stats.Overruns);
    std::fprintf(m_Out, "  position error: %s\n", PositionErrorText(Runner.Error(), f.RateHz).c_str());
    if (mismatch.empty())
        std::fprintf(
            m_Out,
            "  bit-exact:      yes, all %llu frames are the device's signal from its sample frame %llu\n",
            static_cast<unsigned long long>(m_Written.Bytes / m_Audio.BlockBytes()),
            static_cast<unsigned long long>(tally.FirstSample));
    else
        std::fprintf(m_Out, "  bit-exact:      no: %s\n", mismatch.c_str());
    const std::string written = Verify();
    if (!written.empty())
    {
        Complain(m_Out, m_Err, "uacsim: %s\n", written.c_str());
        return kExitFailure;
    }
    std::fprintf(m_Out, "wrote %s: %.3f s, read back bit for bit\n", m_Line.File.c_str(), recorded);
    return mismatch.empty() ? kExitOk : kExitFailure;
}

// Closes the file, then reads it back: what libsndfile stored must be what was captured.
std::string Recorder::Verify()
{
    std::string error = m_WriteError;
    if (!error.empty() || !m_Writer.Close(&error))
        return error;
    PinFeed back;
    if (!back.Open(m_Line.File, m_Audio.ContainerBytes, m_Audio.Channels, &error))
        return error;
    ByteHash read;
    std::vector<uint8_t> chunk(64 * 1024);
    for (size_t got = 0; (got = back.Read(chunk.data(), chunk.size())) > 0;)
        read.Add(chunk.data(), got);
    if (!back.Failure().empty())
        return back.Failure();
    if (read.Bytes != m_Written.Bytes || read.Value != m_Written.Value)
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
