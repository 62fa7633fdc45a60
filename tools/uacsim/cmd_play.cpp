// `uacsim play FILE.wav --device P [--out GOT.wav]`: plays a WAV file through the driver's
// render wave filter, as the audio stack would, then reports from the simulated device's own
// record what arrived: the format, how long, how many packets, underruns, how far the pin's
// position strayed from the device's count, and whether the file arrived bit for bit.
#include "tools/uacsim/arrival_check.h"
#include "tools/uacsim/commands.h"
#include "tools/uacsim/mix_reference.h"
#include "tools/uacsim/topology_report.h"
#include "tools/uacsim/wave_job.h"

#include "sim/host/control_panel.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace uacsim
{
namespace
{

// 8-bit samples are judged in two's complement, where silence is zero bytes as at every other
// width: a file's and a pin's are offset binary, a device's as its format tag says.
void FlipSignBits(uint8_t* Data, size_t Bytes)
{
    for (size_t i = 0; i < Bytes; ++i)
        Data[i] ^= 0x80;
}

bool SilentSample(const uint8_t* Sample, uint32_t ContainerBytes)
{
    if (ContainerBytes == 1)
        return Sample[0] == 0x80;
    return std::all_of(Sample, Sample + ContainerBytes, [](uint8_t b) { return b == 0; });
}

// The first frame with sound of each of the file's channels (the file's frame count for a
// silent one), read once before the run; the scan stops as soon as every channel has sound.
std::vector<uint64_t> FirstSoundPerChannel(const std::string& Path, std::string* Error)
{
    WavReader reader;
    if (!reader.Open(Path, Error))
        return {};
    const WavAudio& layout = reader.Layout();
    std::vector<uint64_t> first(layout.Channels, reader.Frames());
    uint32_t silent = layout.Channels;
    std::vector<uint8_t> chunk;
    for (uint64_t frame = 0; silent > 0;)
    {
        chunk.clear();
        const uint64_t got = reader.Read(4096, &chunk);
        if (got == 0)
            break;
        for (uint64_t f = 0; f < got; ++f)
            for (uint32_t c = 0; c < layout.Channels; ++c)
            {
                const uint8_t* sample = &chunk[(f * layout.Channels + c) * layout.ContainerBytes];
                if (first[c] != reader.Frames() || SilentSample(sample, layout.ContainerBytes))
                    continue;
                first[c] = frame + f;
                --silent;
            }
        frame += got;
    }
    *Error = reader.Failure();
    return first;
}

// The offered format that carries the file's samples unchanged: samples, never an encoded
// stream, of the same channels, rate, type and valid bits, in the file's container or a wider
// one.
const WAVEFORMATEXTENSIBLE* MatchFormat(const WaveEndpoint& Endpoint, const WavAudio& File)
{
    const WAVEFORMATEXTENSIBLE* wider = nullptr;
    for (const WAVEFORMATEXTENSIBLE& format : Endpoint.Formats)
    {
        const WavAudio layout = LayoutOf(format);
        if (!CarriesSamples(format) || layout.Channels != File.Channels || layout.RateHz != File.RateHz ||
            layout.Float != File.Float || layout.ValidBits != File.ValidBits ||
            layout.ContainerBytes < File.ContainerBytes)
            continue;
        if (layout.ContainerBytes == File.ContainerBytes)
            return &format;
        wider = wider ? wider : &format;
    }
    return wider;
}

// For a file the endpoint does not take: the file it would take where it holds the file's
// channels and rate in the file's container, with fewer valid bits (24 of 32). Empty otherwise.
std::string FileToUse(const WaveEndpoint& Endpoint, const WavAudio& File)
{
    for (const WAVEFORMATEXTENSIBLE& format : Endpoint.Formats)
    {
        const WavAudio layout = LayoutOf(format);
        if (!CarriesPcm(format) || File.Float || layout.Channels != File.Channels ||
            layout.RateHz != File.RateHz || layout.ContainerBytes != File.ContainerBytes ||
            layout.ValidBits >= File.ValidBits)
            continue;
        char mask[16];
        std::snprintf(mask, sizeof(mask), "0x%X", unsigned(layout.ChannelMask));
        const std::string container = std::to_string(layout.ContainerBytes * 8);
        const std::string valid = std::to_string(layout.ValidBits);
        return Endpoint.Name + " takes " + valid + " valid bits in " + container +
               "-bit samples: play a WAVE_FORMAT_EXTENSIBLE file of " + container + "-bit samples with " +
               valid + " valid bits and channel mask " + mask + ", or a packed " + valid + "-bit file";
    }
    return "";
}

// The effect nodes of the device and how they are switched.
struct EffectNodes
{
    uint32_t Count = 0; // the effects model has two
    bool AnyOn = false;
    bool DelayOn = false;
    std::string Text; // "delay off (node 4), virtualiser on (node 3)"
};

// Switches the effect nodes as --effect asks (one of them on and the other off, or both off),
// or without it reads how they are switched. False with a complaint when --effect meets a
// device without both nodes, a switch is refused, or a node's switch cannot be read. A device
// whose topology filter shows no nodes has no effect nodes.
bool SwitchEffects(DriverSession& Session, const std::string& Effect, EffectNodes* Nodes, std::string* Error)
{
    std::unique_ptr<sim::ControlPanel> panel;
    NTSTATUS status = sim::ControlPanel::Open(Session.Pnp().Pdo(), u"GlobalTopo", &panel);
    std::vector<sim::NodeInfo> nodes;
    if (NT_SUCCESS(status))
        status = panel->GetNodes(&nodes);
    if (!NT_SUCCESS(status) && !Effect.empty())
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
        if (!node && Effect.empty())
            continue;
        if (!node)
        {
            *Error = std::string("the device has no ") + kind +
                     " effect node (only the effects model carries them)";
            return false;
        }
        LONG on = Effect == kind ? 1 : 0;
        status = Effect.empty()
                     ? panel->GetNodeLong(node->Id, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, -1, &on)
                     : panel->SetNodeLong(node->Id, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, -1, on);
        if (!NT_SUCCESS(status))
        {
            *Error = std::string("the ") + kind + " effect node " + std::to_string(node->Id) +
                     (Effect.empty() ? " does not say whether it is on: " : " refused its switch: ") +
                     StatusText(status);
            return false;
        }
        ++Nodes->Count;
        Nodes->AnyOn = Nodes->AnyOn || on != 0;
        Nodes->DelayOn = Nodes->DelayOn || (on != 0 && std::strcmp(kind, "delay") == 0);
        Nodes->Text += std::string(Nodes->Text.empty() ? "" : ", ") + kind + " " + (on ? "on" : "off") +
                       " (node " + std::to_string(node->Id) + ")";
    }
    return true;
}

class Player
{
public:
    Player(const CommandLine& Line, const WavAudio& File, uint64_t FileFrames, std::FILE* Out, std::FILE* Err)
        : m_Line(Line), m_File(File), m_FileFrames(FileFrames), m_Out(Out), m_Err(Err)
    {
    }
    int Play(DriverSession& Session, const sim::DeviceProfile& Profile);

private:
    // How the device's stream is judged, decided when its first bytes come.
    enum class Judge
    {
        Exact,       // against the file's samples, as many channels of each frame as the device has
        Mix,         // against the front pair computed here from all the file's channels
        Effects,     // an effect node's output: sound must arrive where the effect gives any
        OtherFormat, // the device streams a format the file cannot be compared with
    };

    void Begin(const DeviceStream& Stream);
    void Receive(const DeviceStream& Stream, const uint8_t* Data, size_t Bytes);
    void Keep(const uint8_t* Data, size_t Bytes);
    void BeginMix(const DeviceStream& Stream);
    size_t ReadMix(uint8_t* To, size_t Bytes);
    int Report(const PinRunner& Runner, const sim::AudioPinStats& Stats);
    int ReportEffects(const sim::StreamFormat& Format, uint32_t PerSecond);

    const CommandLine& m_Line;
    const WavAudio& m_File;
    const uint64_t m_FileFrames;
    std::FILE* m_Out;
    std::FILE* m_Err;
    WavAudio m_Layout; // the pin's format
    EffectNodes m_Effects;
    std::vector<uint64_t> m_FirstSound;

    bool m_Begun = false;
    Judge m_Judge = Judge::Exact;
    PinFeed m_Expected;
    // The mix: the file's frames through the reference, which starts where the stream starts.
    std::unique_ptr<MixReference> m_Mix;
    uint64_t m_MixFirstSound = 0; // the file's first frame whose mix is not silence
    uint64_t m_MixLead = 0;       // the stream's frames before the file's first
    uint64_t m_MixFed = 0;        // frames the reference was given, from the stream's first
    uint64_t m_MixGiven = 0;      // expected frames handed to the check
    bool m_MixStarted = false;
    std::unique_ptr<ArrivalCheck> m_Check;
    Arrival m_Arrival;
    uint64_t m_Received = 0;
    uint64_t m_StreamFirstSound = UINT64_MAX; // byte of the device's stream
    WavWriter m_Writer;
    WavAudio m_DeviceLayout; // the device's format, for the written file
    std::string m_WriteError;
    bool m_EightBit = false;           // the device carries 8-bit samples ...
    bool m_DeviceOffsetBinary = false; // ... in offset binary (its format tag is PCM8)
    std::vector<uint8_t> m_Converted;  // the device's bytes of a PCM8 stream, in two's complement
};

int Player::Play(DriverSession& Session, const sim::DeviceProfile& Profile)
{
    WaveEndpoint endpoint;
    std::string error;
    if (!FindWaveEndpoint(Session, false, &endpoint, &error))
    {
        Complain(m_Out, m_Err, "uacsim: cannot play: %s\n", error.c_str());
        return kExitUsage;
    }
    const WAVEFORMATEXTENSIBLE* format = MatchFormat(endpoint, m_File);
    if (!format)
    {
        const std::string use = FileToUse(endpoint, m_File);
        // Where the driver left formats out at start, its lines say which and why.
        const std::string notes = DriverDebugLines("  ");
        Complain(m_Out, m_Err, "uacsim: %s does not offer the file's format (%s); it offers:\n%s%s%s%s%s",
                 endpoint.Name.c_str(), m_File.Describe().c_str(),
                 OfferedFormatsText(endpoint.Formats).c_str(),
                 use.empty() ? "" : "uacsim: ", use.empty() ? "" : (use + "\n").c_str(),
                 notes.empty() ? "" : "driver debug output at start:\n", notes.c_str());
        return kExitUsage;
    }
    m_Layout = LayoutOf(*format);
    if (!SwitchEffects(Session, m_Line.Effect, &m_Effects, &error))
    {
        if (m_Line.Effect.empty())
            Complain(m_Out, m_Err, "uacsim: cannot play: %s\n", error.c_str());
        else
            Complain(m_Out, m_Err, "uacsim: cannot play through --effect %s: %s\n", m_Line.Effect.c_str(),
                     error.c_str());
        return m_Line.Effect.empty() ? kExitFailure : kExitUsage;
    }
    PinFeed feed;
    m_FirstSound = FirstSoundPerChannel(m_Line.File, &error);
    if (!error.empty() || !feed.Open(m_Line.File, m_Layout.ContainerBytes, m_Layout.Channels, &error))
    {
        Complain(m_Out, m_Err, "uacsim: %s\n", error.c_str());
        return kExitUsage;
    }
    const double seconds = double(m_FileFrames) / m_File.RateHz;
    std::fprintf(m_Out, "playing %s: %s, %.3f s\n  through %s as %s at %u Hz\n", m_Line.File.c_str(),
                 m_File.Describe().c_str(), seconds, endpoint.Name.c_str(), FormatShape(*format).c_str(),
                 m_Layout.RateHz);
    std::unique_ptr<sim::AudioPin> pin;
    NTSTATUS status =
        sim::AudioPin::Open(Session.Pnp().Pdo(), endpoint.Filter, 0, PinDataFormat(*format), &pin);
    if (!NT_SUCCESS(status))
    {
        Complain(m_Out, m_Err, "uacsim: the render pin did not open: %s\n", StatusText(status).c_str());
        return kExitFailure;
    }
    // The file, then silence for as long as the pin keeps asking (8-bit samples are unsigned).
    const int silence = m_Layout.ContainerBytes == 1 ? 0x80 : 0;
    pin->SetRenderSource(
        [&](UCHAR* To, ULONG Bytes)
        {
            const size_t given = feed.Read(To, Bytes);
            std::memset(To + given, silence, Bytes - given);
        });
    const uint32_t perSecond = m_Layout.RateHz * m_Layout.BlockBytes();
    // Done once the position has passed the file by 100 ms: twice the cyclic buffer, so the
    // last of the file has left the device's side of every transfer in flight.
    const uint64_t end = m_FileFrames * m_Layout.BlockBytes() + perSecond / 10;
    PinRunner runner(Session, Profile, *pin, m_Err);
    runner.SetDeviceSink([this](const DeviceStream& Stream, const uint8_t* Data, size_t Bytes)
                         { Receive(Stream, Data, Bytes); });
    const bool ran = runner.Run(
        "playing", seconds, perSecond, [&](uint64_t Position) { return Position >= end; }, &error);
    const sim::AudioPinStats stats = pin->Stats();
    status = pin->Close();
    runner.Finish();
    if (!ran || !NT_SUCCESS(status))
    {
        Complain(m_Out, m_Err, "uacsim: %s\n",
                 ran ? ("the pin did not close: " + StatusText(status)).c_str() : error.c_str());
        return kExitFailure;
    }
    if (!feed.Failure().empty())
    {
        Complain(m_Out, m_Err, "uacsim: %s\n", feed.Failure().c_str());
        return kExitFailure;
    }
    return Report(runner, stats);
}

// The device's first bytes: its format says how the stream is judged and what the output file
// holds, always in the device's own format.
void Player::Begin(const DeviceStream& Stream)
{
    m_Begun = true;
    const sim::StreamFormat& f = Stream.Format;
    m_DeviceLayout.Channels = f.Channels;
    m_DeviceLayout.RateHz = f.RateHz;
    m_DeviceLayout.ContainerBytes = f.SubframeBytes;
    m_DeviceLayout.ValidBits =
        f.Float ? 32 : std::min<uint32_t>((f.BitResolution + 7) / 8 * 8, f.SubframeBytes * 8u);
    m_DeviceLayout.Float = f.Float;
    m_DeviceLayout.ChannelMask = f.Channels == m_Layout.Channels ? m_Layout.ChannelMask : 0;
    m_EightBit = !f.Float && f.SubframeBytes == 1;
    m_DeviceOffsetBinary = m_EightBit && f.Unsigned;
    // The effects model sends the first two channels of each frame the pin carries.
    const bool sameSamples = f.RateHz == m_Layout.RateHz && f.SubframeBytes == m_Layout.ContainerBytes &&
                             f.Float == m_Layout.Float && f.Channels >= 1 && f.Channels <= m_Layout.Channels;
    if (m_Effects.AnyOn)
        m_Judge = Judge::Effects;
    else if (!sameSamples)
        m_Judge = Judge::OtherFormat;
    else if (f.Channels == 2 && m_Layout.Channels > 2)
        m_Judge = Judge::Mix;
    if (m_Judge == Judge::Mix)
        BeginMix(Stream);
    if (m_Judge != Judge::Exact)
        return;
    std::string error;
    if (!m_Expected.Open(m_Line.File, m_Layout.ContainerBytes, f.Channels, &error))
    {
        m_Judge = Judge::OtherFormat;
        m_WriteError = error;
        return;
    }
    const uint64_t firstFrame = *std::min_element(m_FirstSound.begin(), m_FirstSound.begin() + f.Channels);
    const uint32_t block = f.BlockBytes();
    const uint64_t expected = m_Expected.TotalBytes();
    m_Check = std::make_unique<ArrivalCheck>(
        [this](uint8_t* To, size_t Bytes)
        {
            const size_t given = m_Expected.Read(To, Bytes);
            if (m_EightBit)
                FlipSignBits(To, given);
            return given;
        },
        expected, std::min(firstFrame * block, expected), block, f.SubframeBytes,
        [this](const uint8_t* Data, size_t Bytes) { Keep(Data, Bytes); });
}

void Player::BeginMix(const DeviceStream& Stream)
{
    m_Mix = std::make_unique<MixReference>(m_Layout, m_Effects.Count);
    std::string error;
    PinFeed scan;
    if (!scan.Open(m_Line.File, m_Layout.ContainerBytes, m_Layout.Channels, &error) ||
        !m_Expected.Open(m_Line.File, m_Layout.ContainerBytes, m_Layout.Channels, &error))
    {
        m_Judge = Judge::OtherFormat;
        m_WriteError = error;
        return;
    }
    std::vector<uint8_t> frame(m_Layout.BlockBytes()), mixed(m_Mix->DeviceFrameBytes());
    m_MixFirstSound = m_FileFrames;
    for (uint64_t at = 0; at < m_FileFrames && scan.Read(frame.data(), frame.size()) == frame.size(); ++at)
    {
        m_Mix->MixOnly(frame.data(), mixed.data());
        if (std::any_of(mixed.begin(), mixed.end(), [](uint8_t b) { return b != 0; }))
        {
            m_MixFirstSound = at;
            break;
        }
    }
    const uint32_t block = Stream.Format.BlockBytes();
    const uint64_t expected = m_FileFrames * block;
    m_Check = std::make_unique<ArrivalCheck>([this](uint8_t* To, size_t Bytes) { return ReadMix(To, Bytes); },
                                             expected, std::min(m_MixFirstSound * block, expected), block,
                                             Stream.Format.SubframeBytes,
                                             [this](const uint8_t* Data, size_t Bytes) { Keep(Data, Bytes); },
                                             m_Effects.Count ? "the file's down-mix" : "the file");
}

// The check asks only once it has aligned the file's first sound with the stream's: the
// stream's frames before the file's first then follow, which the reference needs, as the
// limiters work in blocks counted from the stream's start. The nodes' start-up fade lies in
// that lead or in the limiters' silent look-ahead, so the reference has none.
size_t Player::ReadMix(uint8_t* To, size_t Bytes)
{
    const uint32_t device = m_Mix->DeviceFrameBytes();
    const uint64_t latency = m_Mix->LatencyFrames();
    if (!m_MixStarted)
    {
        // Where the stream's first sound lies, less the file's: where the file's first frame
        // leaves the device's stream.
        m_MixStarted = true;
        const uint64_t arrives = m_StreamFirstSound / device;
        const uint64_t offset = arrives > m_MixFirstSound ? arrives - m_MixFirstSound : 0;
        m_MixLead = offset > latency ? offset - latency : 0;
    }
    std::vector<uint8_t> frame(m_Layout.BlockBytes()), discarded(device);
    size_t given = 0;
    while (given + device <= Bytes && m_MixGiven < m_FileFrames)
    {
        // The stream's lead, then the file, then the silence that lets the limiters empty.
        const uint64_t at = m_MixFed++;
        std::fill(frame.begin(), frame.end(), 0);
        if (at >= m_MixLead && at - m_MixLead < m_FileFrames)
            m_Expected.Read(frame.data(), frame.size());
        if (at < m_MixLead + latency)
        {
            m_Mix->Run(frame.data(), discarded.data());
            continue;
        }
        m_Mix->Run(frame.data(), To + given);
        given += device;
        ++m_MixGiven;
    }
    return given;
}

void Player::Receive(const DeviceStream& Stream, const uint8_t* Data, size_t Bytes)
{
    if (!m_Begun)
        Begin(Stream);
    if (m_DeviceOffsetBinary)
    {
        m_Converted.assign(Data, Data + Bytes);
        FlipSignBits(m_Converted.data(), Bytes);
        Data = m_Converted.data();
    }
    const size_t first = size_t(std::find_if(Data, Data + Bytes, [](uint8_t b) { return b != 0; }) - Data);
    if (first < Bytes && m_StreamFirstSound == UINT64_MAX)
        m_StreamFirstSound = m_Received + first;
    m_Received += Bytes;
    if (m_Check)
        m_Check->Add(Data, Bytes);
    else
        Keep(Data, Bytes);
}

// What the output file gets, as it is known; null Data: that much silence.
void Player::Keep(const uint8_t* Data, size_t Bytes)
{
    if (m_Line.Out.empty() || !m_WriteError.empty())
        return;
    if (!m_Writer.IsOpen() && !m_Writer.Open(m_Line.Out, m_DeviceLayout, &m_WriteError))
        return;
    if (Data && !m_EightBit)
    {
        m_Writer.Write(Data, Bytes, &m_WriteError);
        return;
    }
    // Silence, or 8-bit samples, which a WAV file holds in offset binary.
    std::vector<uint8_t> piece;
    for (size_t size = 0; Bytes > 0 && m_WriteError.empty(); Bytes -= size)
    {
        size = std::min<size_t>(Bytes, 64 * 1024);
        piece.assign(size, 0);
        if (Data)
        {
            std::copy(Data, Data + size, piece.begin());
            Data += size;
        }
        if (m_EightBit)
            FlipSignBits(piece.data(), size);
        m_Writer.Write(piece.data(), size, &m_WriteError);
    }
}

int Player::Report(const PinRunner& Runner, const sim::AudioPinStats& Stats)
{
    const DeviceStream& stream = Runner.Stream();
    if (stream.Address == 0 || !m_Begun)
    {
        Complain(m_Out, m_Err, "uacsim: the device never streamed\n");
        return kExitFailure;
    }
    if (m_Check)
        m_Arrival = m_Check->Finish();
    const sim::StreamFormat& f = stream.Format;
    const uint32_t perSecond = f.RateHz * f.BlockBytes();
    const DeviceTally& tally = Runner.Tally();
    std::fprintf(m_Out, "device record (endpoint 0x%02X, interface %u alternate setting %u):\n",
                 stream.Address, f.InterfaceNumber, f.AlternateSetting);
    std::fprintf(m_Out, "  format:         %u ch x %u bytes, %u bits%s, %u Hz\n", f.Channels, f.SubframeBytes,
                 f.BitResolution, f.Float ? " float" : "", f.RateHz);
    std::fprintf(m_Out, "  seconds:        %.3f received (the file: %.3f)\n",
                 perSecond ? double(tally.Bytes) / perSecond : 0.0, double(m_FileFrames) / m_File.RateHz);
    std::fprintf(m_Out, "  packets:        %llu (%llu of a size the format does not allow)\n",
                 static_cast<unsigned long long>(tally.Packets),
                 static_cast<unsigned long long>(tally.SizeErrors));
    std::fprintf(m_Out,
                 "  underruns:      %llu at the device (missing or empty packets), %u in the cyclic buffer\n",
                 static_cast<unsigned long long>(tally.Underruns), Stats.Underruns);
    std::fprintf(m_Out, "  position error: %s\n", PositionErrorText(Runner.Error(), f.RateHz).c_str());
    if (!m_Line.Effect.empty() || m_Effects.AnyOn)
        std::fprintf(m_Out, "  effects:        %s\n", m_Effects.Text.c_str());
    bool good = false;
    switch (m_Judge)
    {
    case Judge::Effects:
        good = ReportEffects(f, perSecond) == kExitOk;
        break;
    case Judge::OtherFormat:
        std::fprintf(m_Out, "  bit-exact:      no: the device streams another format than the pin's\n");
        break;
    case Judge::Mix:
    case Judge::Exact:
    {
        good = m_Arrival.Exact;
        std::string what;
        if (m_Judge == Judge::Mix && m_Effects.Count)
            what = " as the file's " + std::to_string(m_File.Channels) +
                   " channels mix down to the device's 2 through the effect nodes' limiters";
        else if (f.Channels < m_File.Channels)
            what = " (their first " + std::to_string(f.Channels) + " channels, as the device streams them)";
        if (good)
            std::fprintf(m_Out, "  bit-exact:      yes, all %llu frames%s, after a lead of %.1f ms\n",
                         static_cast<unsigned long long>(m_FileFrames), what.c_str(),
                         perSecond ? 1000.0 * double(m_Arrival.Offset) / perSecond : 0.0);
        else
            std::fprintf(m_Out, "  bit-exact:      no: %s\n", m_Arrival.Why.c_str());
        break;
    }
    }
    good = good && tally.SizeErrors == 0;
    std::string error = m_WriteError;
    if (error.empty() && m_Writer.IsOpen())
        m_Writer.Close(&error);
    if (!error.empty())
    {
        Complain(m_Out, m_Err, "uacsim: %s\n", error.c_str());
        return kExitFailure;
    }
    if (!m_Line.Out.empty())
    {
        const bool fromFile = (m_Judge == Judge::Exact || m_Judge == Judge::Mix) && m_Arrival.Aligned;
        std::fprintf(m_Out, "wrote %s: %.3f s the device received%s\n", m_Line.Out.c_str(),
                     m_DeviceLayout.RateHz ? double(m_Writer.Frames()) / m_DeviceLayout.RateHz : 0.0,
                     fromFile ? ", from where the file starts" : ", all of it");
    }
    return good ? kExitOk : kExitFailure;
}

// Through an effect the device gets the effect's rendering, which has no reference here: sound
// must arrive once the file has any, and silence where the effect makes none. The node of the
// effect that is off hands the stream on as it came, so the effect that is on renders the file's
// own channels (a four-channel file, which the virtualiser cannot place, as the other node's
// down-mix).
int Player::ReportEffects(const sim::StreamFormat& Format, uint32_t PerSecond)
{
    const bool fileSilent = std::none_of(m_FirstSound.begin(), m_FirstSound.end(),
                                         [&](uint64_t First) { return First < m_FileFrames; });
    // The room network takes its input from the 5.1 and 7.1 channels only: any other stream
    // through the delay effect leaves it silent.
    const bool delayUnfed = m_Effects.DelayOn && m_File.Channels != 6 && m_File.Channels != 8;
    const bool sound = m_StreamFirstSound != UINT64_MAX;
    const uint32_t block = Format.BlockBytes();
    if (sound && block && PerSecond)
        std::fprintf(m_Out, "  effect output:  %llu frames from the first sound at %.1f ms%s\n",
                     static_cast<unsigned long long>((m_Received - m_StreamFirstSound) / block),
                     1000.0 * double(m_StreamFirstSound - m_StreamFirstSound % block) / PerSecond,
                     delayUnfed ? ", where the delay effect gives silence for a stream of other than 6 or 8 "
                                  "channels"
                                : "");
    else
        std::fprintf(m_Out, "  effect output:  silence%s\n",
                     fileSilent   ? ", as the file"
                     : delayUnfed ? ", as the delay effect gives for a stream of other than 6 or 8 channels"
                                  : "");
    return fileSilent || (delayUnfed ? !sound : sound) ? kExitOk : kExitFailure;
}

} // namespace

int RunPlay(const CommandLine& Line, std::FILE* Out, std::FILE* Err)
{
    if (!Line.Out.empty() && SameFile(Line.Out, Line.File))
    {
        Complain(Out, Err, "uacsim: --out names the file being played ('%s'): writing it would destroy it\n",
                 Line.Out.c_str());
        return kExitUsage;
    }
    // A folder or a pipe would leave libsndfile failing oddly or waiting for a writer.
    std::error_code notFound;
    const std::filesystem::file_status input = std::filesystem::status(Line.File, notFound);
    if (std::filesystem::exists(input) && !std::filesystem::is_regular_file(input))
    {
        Complain(Out, Err, "uacsim: '%s' is %s, not a WAV file\n", Line.File.c_str(),
                 std::filesystem::is_directory(input) ? "a directory" : "a pipe or a device");
        return kExitUsage;
    }
    WavReader file;
    std::string error;
    if (!file.Open(Line.File, &error))
    {
        Complain(Out, Err, "uacsim: %s\n", error.c_str());
        return kExitUsage;
    }
    const std::string shortData = WavShortDataWarning(Line.File);
    if (!shortData.empty())
        Complain(Out, Err, "uacsim: warning: %s\n", shortData.c_str());
    Player player(Line, file.Layout(), file.Frames(), Out, Err);
    return RunOnDevice(Line.Device, Line.Realtime, Out, Err,
                       [&](DriverSession& Session, const sim::DeviceProfile& Profile)
                       { return player.Play(Session, Profile); });
}

} // namespace uacsim
