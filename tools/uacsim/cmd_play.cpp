// `uacsim play FILE.wav --device P [--out GOT.wav]`: plays a WAV file through the driver's
// render wave filter, as the audio stack would, then reports from the simulated device's own
// record what arrived: the format, how long, how many packets, underruns, how far the pin's
// position strayed from the device's count, and whether the file arrived bit for bit.
#include "tools/uacsim/commands.h"
#include "tools/uacsim/topology_report.h"
#include "tools/uacsim/wave_job.h"

#include "sim/host/control_panel.h"

#include <cstring>

namespace uacsim
{
namespace
{

// Where the file's bytes lie in the device's stream: after a lead of silence, followed by the
// silence the engine feeds once the file ends.
struct Arrival
{
    bool Exact = false;
    bool Aligned = false; // the file's first sound was found in the stream
    uint64_t Offset = 0;  // bytes of the lead
    std::string Why;      // when not exact
};

bool AllZero(const std::vector<uint8_t>& Bytes, size_t From, size_t To)
{
    for (size_t i = From; i < To && i < Bytes.size(); ++i)
        if (Bytes[i] != 0)
            return false;
    return true;
}

size_t FirstNonZero(const std::vector<uint8_t>& Bytes)
{
    size_t i = 0;
    while (i < Bytes.size() && Bytes[i] == 0)
        ++i;
    return i;
}

std::string FrameText(uint64_t Frame, uint32_t Channel)
{
    return "frame " + std::to_string(Frame) + ", channel " + std::to_string(Channel);
}

Arrival CheckArrival(const std::vector<uint8_t>& Got, const std::vector<uint8_t>& Sent,
                     const WavAudio& Layout)
{
    Arrival arrival;
    const uint32_t block = Layout.BlockBytes();
    const size_t sentStart = FirstNonZero(Sent);
    const size_t gotStart = FirstNonZero(Got);
    if (sentStart == Sent.size())
    {
        arrival.Exact = AllZero(Got, 0, Got.size()) && Got.size() >= Sent.size();
        arrival.Why = arrival.Exact ? "" : "the file is silence and the device received sound";
        return arrival;
    }
    if (gotStart == Got.size())
    {
        arrival.Why = "the device received only silence";
        return arrival;
    }
    // Align on the first sound: its frame in the device's stream, less its frame in the file.
    const uint64_t gotFrame = gotStart / block, sentFrame = sentStart / block;
    if (gotFrame < sentFrame)
    {
        arrival.Why = "the device received sound before the file has any";
        return arrival;
    }
    arrival.Offset = (gotFrame - sentFrame) * block;
    arrival.Aligned = true;
    if (Got.size() < arrival.Offset + Sent.size())
    {
        arrival.Why = "the device received " + std::to_string((Got.size() - arrival.Offset) / block) +
                      " of the file's " + std::to_string(Sent.size() / block) + " frames";
        return arrival;
    }
    for (size_t i = 0; i < Sent.size(); ++i)
        if (Got[arrival.Offset + i] != Sent[i])
        {
            char detail[96];
            std::snprintf(detail, sizeof(detail), ": byte 0x%02X where the file has 0x%02X",
                          Got[arrival.Offset + i], Sent[i]);
            arrival.Why = "first difference at " +
                          FrameText(i / block, uint32_t(i % block) / Layout.ContainerBytes) + detail;
            return arrival;
        }
    if (!AllZero(Got, arrival.Offset + Sent.size(), Got.size()))
    {
        arrival.Why = "sound after the end of the file";
        return arrival;
    }
    arrival.Exact = true;
    return arrival;
}

// The offered format that carries the file's samples unchanged: same channels, rate, sample
// type and valid bits, in the file's container or a wider one.
const WAVEFORMATEXTENSIBLE* MatchFormat(const WaveEndpoint& Endpoint, const WavAudio& File)
{
    const WAVEFORMATEXTENSIBLE* wider = nullptr;
    for (const WAVEFORMATEXTENSIBLE& format : Endpoint.Formats)
    {
        const WavAudio layout = LayoutOf(format);
        if (layout.Channels != File.Channels || layout.RateHz != File.RateHz || layout.Float != File.Float ||
            layout.ValidBits != File.ValidBits || layout.ContainerBytes < File.ContainerBytes)
            continue;
        if (layout.ContainerBytes == File.ContainerBytes)
            return &format;
        wider = wider ? wider : &format;
    }
    return wider;
}

// Switches the effect nodes as --effect asks: one of them on and the other off, or both off.
// False with a complaint when the device has no such nodes or a switch is refused.
bool SetEffects(DriverSession& Session, const std::string& Effect, std::string* Text, std::string* Error)
{
    std::unique_ptr<sim::ControlPanel> panel;
    NTSTATUS status = sim::ControlPanel::Open(Session.Pnp().Pdo(), u"GlobalTopo", &panel);
    std::vector<sim::NodeInfo> nodes;
    if (NT_SUCCESS(status))
        status = panel->GetNodes(&nodes);
    if (!NT_SUCCESS(status))
    {
        *Error = "cannot read the topology filter's nodes: " + StatusText(status);
        return false;
    }
    for (const char* kind : {"delay", "virtualiser"})
    {
        const sim::NodeInfo* node = nullptr;
        for (const sim::NodeInfo& candidate : nodes)
            if (candidate.HasName && EffectNodeName(candidate.Name) &&
                std::strcmp(EffectNodeName(candidate.Name), kind) == 0)
                node = &candidate;
        if (!node)
        {
            *Error = std::string("the device has no ") + kind +
                     " effect node (only the effects model carries them)";
            return false;
        }
        const LONG on = Effect == kind ? 1 : 0;
        status = panel->SetNodeLong(node->Id, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, -1, on);
        if (!NT_SUCCESS(status))
        {
            *Error = std::string("the ") + kind + " effect node " + std::to_string(node->Id) +
                     " refused its switch: " + StatusText(status);
            return false;
        }
        *Text += std::string(Text->empty() ? "" : ", ") + kind + " " + (on ? "on" : "off") + " (node " +
                 std::to_string(node->Id) + ")";
    }
    return true;
}

class Player
{
public:
    Player(const CommandLine& Line, const WavAudio& File, std::FILE* Out, std::FILE* Err)
        : m_Line(Line), m_File(File), m_Out(Out), m_Err(Err)
    {
    }
    int Play(DriverSession& Session, const sim::DeviceProfile& Profile);

private:
    int Report(DriverSession& Session, const PinRunner& Runner, const sim::AudioPinStats& Stats);
    int WriteOut(const std::vector<uint8_t>& Got, const Arrival& Arrived);
    int WriteDeviceStream(const std::vector<uint8_t>& Got, const sim::StreamFormat& Format);

    const CommandLine& m_Line;
    const WavAudio& m_File;
    std::FILE* m_Out;
    std::FILE* m_Err;
    WavAudio m_Layout;     // the pin's format; its Bytes are the file's samples in that layout
    std::string m_Effects; // what --effect switched, for the report
};

int Player::Play(DriverSession& Session, const sim::DeviceProfile& Profile)
{
    WaveEndpoint endpoint;
    std::string error;
    if (!FindWaveEndpoint(Session, false, &endpoint, &error))
    {
        Complain(m_Out, m_Err, "uacsim: cannot play: %s\n", error.c_str());
        return kExitFailure;
    }
    const WAVEFORMATEXTENSIBLE* format = MatchFormat(endpoint, m_File);
    if (!format)
    {
        Complain(m_Out, m_Err, "uacsim: %s does not offer the file's format (%s); it offers:\n%s",
                 endpoint.Name.c_str(), m_File.Describe().c_str(),
                 OfferedFormatsText(endpoint.Formats).c_str());
        return kExitUsage;
    }
    m_Layout = LayoutOf(*format);
    m_Layout.Bytes = Repack(m_File.Bytes, m_File.ContainerBytes, m_Layout.ContainerBytes);
    if (!m_Line.Effect.empty() && !SetEffects(Session, m_Line.Effect, &m_Effects, &error))
    {
        Complain(m_Out, m_Err, "uacsim: cannot play through --effect %s: %s\n", m_Line.Effect.c_str(),
                 error.c_str());
        return kExitUsage;
    }
    std::fprintf(m_Out, "playing %s: %s, %.3f s\n  through %s as %s at %u Hz\n", m_Line.File.c_str(),
                 m_File.Describe().c_str(), m_File.Seconds(), endpoint.Name.c_str(),
                 FormatShape(*format).c_str(), m_Layout.RateHz);
    std::unique_ptr<sim::AudioPin> pin;
    NTSTATUS status =
        sim::AudioPin::Open(Session.Pnp().Pdo(), endpoint.Filter, 0, PinDataFormat(*format), &pin);
    if (!NT_SUCCESS(status))
    {
        Complain(m_Out, m_Err, "uacsim: the render pin did not open: %s\n", StatusText(status).c_str());
        return kExitFailure;
    }
    // The file, then silence for as long as the pin keeps asking.
    uint64_t fed = 0;
    const std::vector<uint8_t>& data = m_Layout.Bytes;
    pin->SetRenderSource(
        [&](UCHAR* To, ULONG Bytes)
        {
            const uint64_t take = fed < data.size() ? std::min<uint64_t>(Bytes, data.size() - fed) : 0;
            if (take)
                std::memcpy(To, data.data() + fed, size_t(take));
            std::memset(To + take, 0, size_t(Bytes - take));
            fed += Bytes;
        });
    const uint32_t perSecond = m_Layout.RateHz * m_Layout.BlockBytes();
    // Done once the position has passed the file by 100 ms: twice the cyclic buffer, so the
    // last of the file has left the device's side of every transfer in flight.
    const uint64_t end = data.size() + perSecond / 10;
    PinRunner runner(Session, Profile, *pin, m_Err);
    if (!m_Line.Effect.empty())
        runner.SetPinBlockBytes(m_Layout.BlockBytes());
    const bool ran = runner.Run(
        "playing", m_File.Seconds(), perSecond, [&](uint64_t Position) { return Position >= end; }, &error);
    const sim::AudioPinStats stats = pin->Stats();
    status = pin->Close();
    if (!ran || !NT_SUCCESS(status))
    {
        Complain(m_Out, m_Err, "uacsim: %s\n",
                 ran ? ("the pin did not close: " + StatusText(status)).c_str() : error.c_str());
        return kExitFailure;
    }
    return Report(Session, runner, stats);
}

int Player::Report(DriverSession& Session, const PinRunner& Runner, const sim::AudioPinStats& Stats)
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
    const std::vector<uint8_t> got = Session.Device().Streams().OutStream(stream.Address);
    Arrival arrived;
    const bool effects = !m_Line.Effect.empty();
    // Through effects the device gets their output, which only a reference can judge.
    if (!effects && (f.BlockBytes() != m_Layout.BlockBytes() || f.RateHz != m_Layout.RateHz))
        arrived.Why = "the device streams another format than the pin's";
    else if (!effects)
        arrived = CheckArrival(got, m_Layout.Bytes, m_Layout);
    std::fprintf(m_Out, "device record (endpoint 0x%02X, interface %u alternate setting %u):\n",
                 stream.Address, f.InterfaceNumber, f.AlternateSetting);
    std::fprintf(m_Out, "  format:         %u ch x %u bytes, %u bits%s, %u Hz\n", f.Channels, f.SubframeBytes,
                 f.BitResolution, f.Float ? " float" : "", f.RateHz);
    std::fprintf(m_Out, "  seconds:        %.3f received (the file: %.3f)\n",
                 perSecond ? double(tally.Bytes) / perSecond : 0.0, m_File.Seconds());
    std::fprintf(m_Out, "  packets:        %llu (%llu of a size the format does not allow)\n",
                 static_cast<unsigned long long>(tally.Packets),
                 static_cast<unsigned long long>(tally.SizeErrors));
    std::fprintf(m_Out,
                 "  underruns:      %llu at the device (missing or empty packets), %u in the cyclic buffer\n",
                 static_cast<unsigned long long>(tally.Underruns), Stats.Underruns);
    std::fprintf(m_Out, "  position error: %s\n", PositionErrorText(Runner.Error(), perSecond).c_str());
    if (effects)
    {
        // Sound must arrive once the file has any; what it is, only a reference can say.
        const bool fileSilent = FirstNonZero(m_Layout.Bytes) == m_Layout.Bytes.size();
        // The room network takes its input from the 5.1 and 7.1 channels only: any other stream
        // through the delay effect leaves it silent.
        const bool delayUnfed = m_Line.Effect == "delay" && m_File.Channels != 6 && m_File.Channels != 8;
        const size_t first = FirstNonZero(got);
        const uint32_t block = f.BlockBytes();
        arrived.Exact = fileSilent || delayUnfed || first < got.size();
        std::fprintf(m_Out, "  effects:        %s\n", m_Effects.c_str());
        if (first < got.size() && block && perSecond)
            std::fprintf(m_Out, "  effect output:  %llu frames from the first sound at %.1f ms\n",
                         static_cast<unsigned long long>((got.size() - first) / block),
                         1000.0 * double(first - first % block) / perSecond);
        else
            std::fprintf(m_Out, "  effect output:  silence%s\n",
                         fileSilent ? ", as the file"
                         : delayUnfed
                             ? ", as the delay effect gives for a stream of other than 6 or 8 channels"
                             : "");
        const int written = m_Line.Out.empty() ? kExitOk : WriteDeviceStream(got, f);
        return arrived.Exact && tally.SizeErrors == 0 ? written : kExitFailure;
    }
    if (arrived.Exact)
        std::fprintf(m_Out, "  bit-exact:      yes, all %llu frames, after a lead of %.1f ms\n",
                     static_cast<unsigned long long>(m_Layout.Frames()),
                     perSecond ? 1000.0 * double(arrived.Offset) / perSecond : 0.0);
    else
        std::fprintf(m_Out, "  bit-exact:      no: %s\n", arrived.Why.c_str());
    const int written = m_Line.Out.empty() ? kExitOk : WriteOut(got, arrived);
    return arrived.Exact ? written : kExitFailure;
}

// What the device received, from where the file starts in its stream and as long as the file,
// or the whole stream when the file could not be found in it.
int Player::WriteOut(const std::vector<uint8_t>& Got, const Arrival& Arrived)
{
    WavAudio received = m_Layout;
    const bool aligned = Arrived.Aligned && Arrived.Offset <= Got.size();
    const size_t from = aligned ? size_t(Arrived.Offset) : 0;
    const size_t length = aligned ? std::min(m_Layout.Bytes.size(), Got.size() - from) : Got.size();
    received.Bytes.assign(Got.begin() + long(from), Got.begin() + long(from + length));
    received.Bytes.resize(received.Bytes.size() - received.Bytes.size() % received.BlockBytes());
    std::string error;
    if (!WriteWav(m_Line.Out, received, &error))
    {
        Complain(m_Out, m_Err, "uacsim: %s\n", error.c_str());
        return kExitFailure;
    }
    std::fprintf(m_Out, "wrote %s: %.3f s the device received%s\n", m_Line.Out.c_str(), received.Seconds(),
                 aligned ? ", from where the file starts" : ", all of it");
    return kExitOk;
}

// Everything the device received, lead included, in the device's own format.
int Player::WriteDeviceStream(const std::vector<uint8_t>& Got, const sim::StreamFormat& Format)
{
    WavAudio received;
    received.Channels = Format.Channels;
    received.RateHz = Format.RateHz;
    received.ContainerBytes = Format.SubframeBytes;
    received.ValidBits = Format.BitResolution;
    received.Float = Format.Float;
    received.Bytes = Got;
    received.Bytes.resize(Got.size() - (received.BlockBytes() ? Got.size() % received.BlockBytes() : 0));
    std::string error;
    if (!WriteWav(m_Line.Out, received, &error))
    {
        Complain(m_Out, m_Err, "uacsim: %s\n", error.c_str());
        return kExitFailure;
    }
    std::fprintf(m_Out, "wrote %s: %.3f s the device received, all of it\n", m_Line.Out.c_str(),
                 received.Seconds());
    return kExitOk;
}

} // namespace

int RunPlay(const CommandLine& Line, std::FILE* Out, std::FILE* Err)
{
    WavAudio file;
    std::string error;
    if (!ReadWav(Line.File, &file, &error))
    {
        Complain(Out, Err, "uacsim: %s\n", error.c_str());
        return kExitUsage;
    }
    Player player(Line, file, Out, Err);
    return RunOnDevice(Line.Device, Line.Realtime, Out, Err,
                       [&](DriverSession& Session, const sim::DeviceProfile& Profile)
                       { return player.Play(Session, Profile); });
}

} // namespace uacsim
