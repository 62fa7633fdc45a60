// The sections of the topology report. Filter, node and jack data come through the control
// panel as KS property requests on the topology filter's handle; the endpoint list comes from
// the device's adapter object, since the names of endpoints without a wave filter are nowhere
// else.
#include "tools/uacsim/topology_report.h"
#include "tools/uacsim/commands.h"
#include "tools/uacsim/driver_session.h"

#include "plat_debug.h"
#include "plat_io.h"
#include "plat_portcls.h"
#include "portcls.h"
#include "sim/host/control_panel.h"

#include "driver/core/device_extension.h"
#include "driver/core/topology_node_if.h"
#include "driver/core/stream_engine_if.h"
#include "driver/wave/wave_miniport_creator.h"

#include <cstring>
#include <string>
#include <vector>

namespace uacsim
{
namespace
{

const char16_t kTopologyName[] = u"GlobalTopo";

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return text;
}

// Node types and pin categories, by the names the audio stack gives them.
std::string TypeName(const GUID& g)
{
    static const struct
    {
        const GUID* Guid;
        const char* Name;
    } kNames[] = {
        {&KSNODETYPE_DAC, "DAC"},
        {&KSNODETYPE_ADC, "ADC"},
        {&KSNODETYPE_MUX, "MUX"},
        {&KSNODETYPE_SUM, "SUM"},
        {&KSNODETYPE_MUTE, "MUTE"},
        {&KSNODETYPE_VOLUME, "VOLUME"},
        {&KSNODETYPE_TONE, "TONE"},
        {&KSNODETYPE_AGC, "AGC"},
        {&KSNODETYPE_LOUDNESS, "LOUDNESS"},
        {&KSNODETYPE_DEV_SPECIFIC, "DEV_SPECIFIC"},
        {&KSNODETYPE_MICROPHONE, "MICROPHONE"},
        {&KSNODETYPE_DESKTOP_MICROPHONE, "DESKTOP_MICROPHONE"},
        {&KSNODETYPE_SPEAKER, "SPEAKER"},
        {&KSNODETYPE_HEADPHONES, "HEADPHONES"},
        {&KSNODETYPE_HANDSET, "HANDSET"},
        {&KSNODETYPE_HEADSET, "HEADSET"},
        {&KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, "SPEAKERPHONE"},
        {&KSNODETYPE_TELEPHONE, "TELEPHONE"},
        {&KSNODETYPE_ANALOG_CONNECTOR, "ANALOG_CONNECTOR"},
        {&KSNODETYPE_LINE_CONNECTOR, "LINE_CONNECTOR"},
        {&KSNODETYPE_SPDIF_INTERFACE, "SPDIF_INTERFACE"},
        {&KSNODETYPE_CD_PLAYER, "CD_PLAYER"},
        {&KSNODETYPE_VIDEO_DISC_AUDIO, "VIDEO_DISC_AUDIO"},
        {&KSNODETYPE_HDMI_INTERFACE, "HDMI_INTERFACE"},
        {&KSNODETYPE_DISPLAYPORT_INTERFACE, "DISPLAYPORT_INTERFACE"},
        {&KSCATEGORY_AUDIO, "AUDIO"},
    };
    for (const auto& entry : kNames)
        if (*entry.Guid == g)
            return entry.Name;
    return GuidText(g);
}

std::string Hex(ULONG Value, int Digits)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*lX", Digits, static_cast<unsigned long>(Value));
    return text;
}

std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

std::string Narrow(PCWSTR text)
{
    std::string out;
    for (; text && *text; ++text)
        out.push_back(char(*text));
    return out;
}

bool OpenTopology(PDEVICE_OBJECT Pdo, std::unique_ptr<sim::ControlPanel>* Panel, std::FILE* Out,
                  std::FILE* Err)
{
    NTSTATUS status = sim::ControlPanel::Open(Pdo, kTopologyName, Panel);
    if (!NT_SUCCESS(status))
        Complain(Out, Err, "uacsim: cannot open the topology filter: 0x%08X\n", unsigned(status));
    return NT_SUCCESS(status);
}

std::string Endpoint(ULONG Node, ULONG Pin)
{
    return Node == PCFILTER_NODE ? "filter pin " + std::to_string(Pin)
                                 : "node " + std::to_string(Node) + " pin " + std::to_string(Pin);
}

// ---- Node values ----

struct Range
{
    LONG Minimum;
    LONG Maximum;
    ULONG Step;
};

// The stepped ranges a basic-support reply lists, one per channel.
std::vector<Range> ReadRanges(sim::ControlPanel& Panel, ULONG Node, ULONG Id)
{
    std::vector<Range> ranges;
    sim::PropertyResult result = Panel.Property(sim::PropertyTarget::OnNode(Node), KSPROPSETID_Audio, Id,
                                                KSPROPERTY_TYPE_BASICSUPPORT, 256);
    if (!NT_SUCCESS(result.Status) || result.Information < sizeof(KSPROPERTY_DESCRIPTION))
        return ranges;
    const UCHAR* bytes = result.Value.data();
    const size_t length = std::min<size_t>(result.Information, result.Value.size());
    KSPROPERTY_DESCRIPTION description;
    std::memcpy(&description, bytes, sizeof(description));
    size_t offset = sizeof(description);
    for (ULONG h = 0; h < description.MembersListCount && offset + sizeof(KSPROPERTY_MEMBERSHEADER) <= length;
         ++h)
    {
        KSPROPERTY_MEMBERSHEADER header;
        std::memcpy(&header, bytes + offset, sizeof(header));
        offset += sizeof(header);
        for (ULONG m = 0; m < header.MembersCount && offset + header.MembersSize <= length; ++m)
        {
            if (header.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES &&
                header.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG))
            {
                KSPROPERTY_STEPPING_LONG step;
                std::memcpy(&step, bytes + offset, sizeof(step));
                ranges.push_back({step.Bounds.SignedMinimum, step.Bounds.SignedMaximum, step.SteppingDelta});
            }
            offset += header.MembersSize;
        }
    }
    return ranges;
}

// Levels travel in 1/65536 dB.
std::string Decibels(LONG Value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f dB", double(Value) / 65536.0);
    return text;
}

void PrintLevelNode(sim::ControlPanel& Panel, ULONG Node, ULONG Id, const char* What, std::FILE* Out)
{
    std::vector<Range> ranges = ReadRanges(Panel, Node, Id);
    const size_t channels = std::max<size_t>(ranges.size(), 1);
    for (size_t c = 0; c < channels; ++c)
    {
        LONG value = 0;
        NTSTATUS status = Panel.GetNodeLong(Node, KSPROPSETID_Audio, Id, LONG(c), &value);
        std::string line =
            "  node " + std::to_string(Node) + " " + What + " channel " + std::to_string(c) + ": ";
        line += NT_SUCCESS(status) ? Decibels(value) : "unreadable (" + Hex(ULONG(status), 8) + ")";
        if (c < ranges.size())
            line += "  range " + Decibels(ranges[c].Minimum) + " .. " + Decibels(ranges[c].Maximum) +
                    " step " + Decibels(LONG(ranges[c].Step));
        std::fprintf(Out, "%s\n", line.c_str());
    }
}

// A tone node carries one or more of the three tone controls; a client learns which from the
// node's basic support, so the report asks for the values of those alone.
void PrintToneNode(sim::ControlPanel& Panel, ULONG Node, std::FILE* Out)
{
    static const struct
    {
        ULONG Id;
        const char* What;
    } kControls[] = {
        {KSPROPERTY_AUDIO_BASS, "bass"},
        {KSPROPERTY_AUDIO_MID, "mid"},
        {KSPROPERTY_AUDIO_TREBLE, "treble"},
    };
    bool any = false;
    for (const auto& control : kControls)
    {
        sim::PropertyResult support = Panel.Property(sim::PropertyTarget::OnNode(Node), KSPROPSETID_Audio,
                                                     control.Id, KSPROPERTY_TYPE_BASICSUPPORT, sizeof(ULONG));
        if (!NT_SUCCESS(support.Status))
            continue;
        PrintLevelNode(Panel, Node, control.Id, control.What, Out);
        any = true;
    }
    if (!any)
        std::fprintf(Out, "  node %lu TONE: no tone control answers\n", static_cast<unsigned long>(Node));
}

void PrintSwitchNode(sim::ControlPanel& Panel, ULONG Node, ULONG Id, const char* What, std::FILE* Out)
{
    LONG value = 0;
    NTSTATUS status = Panel.GetNodeLong(Node, KSPROPSETID_Audio, Id, 0, &value);
    std::fprintf(Out, "  node %lu %s: ", static_cast<unsigned long>(Node), What);
    if (NT_SUCCESS(status))
        std::fprintf(Out, "%s  range off .. on\n", value ? "on" : "off");
    else
        std::fprintf(Out, "unreadable (0x%08X)\n", unsigned(status));
}

void PrintMuxNode(sim::ControlPanel& Panel, ULONG Node, std::FILE* Out)
{
    sim::PropertyResult result =
        Panel.Property(sim::PropertyTarget::OnNode(Node), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE,
                       KSPROPERTY_TYPE_GET, sizeof(ULONG));
    std::fprintf(Out, "  node %lu MUX source: ", static_cast<unsigned long>(Node));
    if (NT_SUCCESS(result.Status) && result.Value.size() >= sizeof(ULONG))
    {
        ULONG pin = 0;
        std::memcpy(&pin, result.Value.data(), sizeof(pin));
        std::fprintf(Out, "input %lu\n", static_cast<unsigned long>(pin));
    }
    else
    {
        std::fprintf(Out, "unreadable (0x%08X)\n", unsigned(result.Status));
    }
}

void PrintEffectNode(sim::ControlPanel& Panel, ULONG Node, const char* Effect, std::FILE* Out)
{
    LONG enabled = 0;
    NTSTATUS status = Panel.GetNodeLong(Node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, -1, &enabled);
    std::fprintf(Out, "  node %lu %s effect: ", static_cast<unsigned long>(Node), Effect);
    if (NT_SUCCESS(status))
        std::fprintf(Out, "%s\n", enabled ? "on" : "off");
    else
        std::fprintf(Out, "unreadable (0x%08X)\n", unsigned(status));
}

void PrintNode(sim::ControlPanel& Panel, const sim::NodeInfo& Node, std::FILE* Out)
{
    const char* effect = Node.HasName ? EffectNodeName(Node.Name) : nullptr;
    if (effect)
        PrintEffectNode(Panel, Node.Id, effect, Out);
    else if (Node.Type == KSNODETYPE_VOLUME)
        PrintLevelNode(Panel, Node.Id, KSPROPERTY_AUDIO_VOLUMELEVEL, "volume", Out);
    else if (Node.Type == KSNODETYPE_TONE)
        PrintToneNode(Panel, Node.Id, Out);
    else if (Node.Type == KSNODETYPE_MUTE)
        PrintSwitchNode(Panel, Node.Id, KSPROPERTY_AUDIO_MUTE, "mute", Out);
    else if (Node.Type == KSNODETYPE_AGC)
        PrintSwitchNode(Panel, Node.Id, KSPROPERTY_AUDIO_AGC, "automatic gain", Out);
    else if (Node.Type == KSNODETYPE_LOUDNESS)
        PrintSwitchNode(Panel, Node.Id, KSPROPERTY_AUDIO_LOUDNESS, "loudness", Out);
    else if (Node.Type == KSNODETYPE_MUX)
        PrintMuxNode(Panel, Node.Id, Out);
    else
        std::fprintf(Out, "  node %lu %s: no standard value\n", static_cast<unsigned long>(Node.Id),
                     TypeName(Node.Type).c_str());
}

// ---- Endpoints ----

// Why an endpoint has no wave filter, as far as the endpoint's own terminals tell.
bool OffersWaveFormat(IStreamEngine* Stream)
{
    for (ULONG i = 0; i < Stream->GetFormatCount(); ++i)
    {
        WAVEFORMATEXTENSIBLE format = {};
        if (NT_SUCCESS(Stream->GetFormat(i, &format)) &&
            !IsEqualGUIDAligned(format.SubFormat, KSDATAFORMAT_SUBTYPE_DSD))
            return true;
    }
    return false;
}

std::string WhyNotInstalled(IStreamEngine* Stream)
{
    if (g_pfnCreateMiniportWaveCyclic == nullptr)
        return "the driver has no wave miniport yet";
    if (!OffersWaveFormat(Stream))
        return "it has no format a wave filter can offer";
    for (ULONG i = 0; i < Stream->GetNodeCount(); ++i)
    {
        ITopologyNode* node = nullptr;
        ITerminalNode* terminal = nullptr;
        if (!NT_SUCCESS(Stream->GetNode(i, &node)) || node == nullptr ||
            !NT_SUCCESS(node->QueryInterface(IID_ITerminalNode, reinterpret_cast<PVOID*>(&terminal))))
            continue;
        ULONG jacks = 0;
        std::vector<JackRecord> records;
        if (NT_SUCCESS(terminal->GetJackCount(&jacks)) && jacks > 0)
        {
            records.resize(jacks);
            if (NT_SUCCESS(terminal->GetJackDescriptions(ULONG(jacks * sizeof(JackRecord)), records.data())))
            {
                bool connected = false;
                for (const JackRecord& record : records)
                    connected = connected || record.IsConnected != 0;
                if (!connected)
                {
                    terminal->Release();
                    return "its jack is not connected";
                }
            }
        }
        terminal->Release();
    }
    return "its installation failed";
}

// The format tag of an entry: the tag itself, or an extensible format's sub-format when that
// is one of the tag-derived GUIDs (the first 32 bits carry the tag).
std::string FormatTagText(const WAVEFORMATEXTENSIBLE& Format)
{
    static const struct
    {
        ULONG Tag;
        const char* Name;
    } kTags[] = {
        {0x0001, "PCM"},
        {0x0003, "IEEE float"},
        {0x0092, "AC-3 over S/PDIF"},
        {0x0164, "WMA Pro over S/PDIF"},
        {0x7A31, "DSD"},
    };
    ULONG tag = Format.Format.wFormatTag;
    if (tag == WAVE_FORMAT_EXTENSIBLE)
    {
        GUID base = KSDATAFORMAT_SUBTYPE_PCM;
        base.Data1 = Format.SubFormat.Data1;
        if (!(base == Format.SubFormat))
            return GuidText(Format.SubFormat);
        tag = Format.SubFormat.Data1;
    }
    for (const auto& entry : kTags)
        if (entry.Tag == tag)
            return std::string(entry.Name) + " (" + Hex(tag, 4) + ")";
    return "tag " + Hex(tag, 4);
}

} // namespace

const char* EffectNodeName(const GUID& Name)
{
    static const struct
    {
        GUID Name;
        const char* Effect;
    } kEffects[] = {
        {{0xAC02E636, 0xCB62, 0x42EF, {0xA9, 0x7C, 0x5F, 0x4C, 0x1C, 0xDF, 0xEC, 0x13}}, "delay"},
        {{0xC7600B33, 0x1AA6, 0x4383, {0x91, 0x8D, 0x30, 0xD8, 0x48, 0xBB, 0xAD, 0x3E}}, "virtualiser"},
    };
    for (const auto& entry : kEffects)
        if (entry.Name == Name)
            return entry.Effect;
    return nullptr;
}

std::string FormatShape(const WAVEFORMATEXTENSIBLE& Format)
{
    const bool extensible = Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    const unsigned valid = extensible ? Format.Samples.wValidBitsPerSample : Format.Format.wBitsPerSample;
    std::string shape = std::to_string(Format.Format.nChannels) + " ch, " +
                        std::to_string(Format.Format.wBitsPerSample) + "-bit (" + std::to_string(valid) +
                        " valid), " + FormatTagText(Format);
    if (extensible)
        shape += ", mask " + Hex(Format.dwChannelMask, 1);
    return shape;
}

namespace
{

// The endpoint's format list in list order, one line per run of entries that differ only in rate.
void PrintFormats(IStreamEngine* Stream, std::FILE* Out)
{
    const ULONG count = Stream->GetFormatCount();
    if (count == 0)
    {
        std::fprintf(Out, "    (no formats)\n");
        return;
    }
    std::string shape;
    std::string rates;
    auto flush = [&]()
    {
        if (!shape.empty())
            std::fprintf(Out, "    %s:%s Hz\n", shape.c_str(), rates.c_str());
    };
    for (ULONG i = 0; i < count; ++i)
    {
        WAVEFORMATEXTENSIBLE format = {};
        if (!NT_SUCCESS(Stream->GetFormat(i, &format)))
        {
            flush();
            shape.clear();
            std::fprintf(Out, "    format %lu: unreadable\n", static_cast<unsigned long>(i));
            continue;
        }
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
}

} // namespace

bool PrintTopologyFilter(PDEVICE_OBJECT Pdo, std::FILE* Out, std::FILE* Err)
{
    std::unique_ptr<sim::ControlPanel> panel;
    if (!OpenTopology(Pdo, &panel, Out, Err))
        return false;
    std::vector<sim::PinInfo> pins;
    std::vector<sim::NodeInfo> nodes;
    std::vector<KSTOPOLOGY_CONNECTION> connections;
    NTSTATUS status = panel->GetPins(&pins);
    if (NT_SUCCESS(status))
        status = panel->GetNodes(&nodes);
    if (NT_SUCCESS(status))
        status = panel->GetConnections(&connections);
    if (!NT_SUCCESS(status))
    {
        Complain(Out, Err, "uacsim: cannot read the topology filter: 0x%08X\n", unsigned(status));
        return false;
    }
    std::fprintf(Out, "topology filter %s\n  pins:\n", Narrow(kTopologyName).c_str());
    for (const sim::PinInfo& pin : pins)
        std::fprintf(Out, "    %lu %-3s %s\n", static_cast<unsigned long>(pin.Id),
                     pin.DataFlow == KSPIN_DATAFLOW_IN ? "in" : "out",
                     pin.HasCategory ? TypeName(pin.Category).c_str() : "(no category)");
    std::fprintf(Out, "  nodes:\n");
    for (const sim::NodeInfo& node : nodes)
        std::fprintf(Out, "    %lu %s\n", static_cast<unsigned long>(node.Id), TypeName(node.Type).c_str());
    std::fprintf(Out, "  connections:\n");
    for (const KSTOPOLOGY_CONNECTION& c : connections)
        std::fprintf(Out, "    %s -> %s\n", Endpoint(c.FromNode, c.FromNodePin).c_str(),
                     Endpoint(c.ToNode, c.ToNodePin).c_str());
    return true;
}

void PrintWaveSubdevices(PDEVICE_OBJECT Fdo, std::FILE* Out)
{
    std::fprintf(Out, "wave subdevices:\n");
    PADAPTERCOMMON adapter = GetAdapterExtension(Fdo)->AdapterCommon;
    const ULONG count = adapter ? adapter->GetStreamCount() : 0;
    if (count == 0)
        std::fprintf(Out, "  (the device has no streaming endpoints)\n");
    std::vector<std::u16string> registered = plat::PcRegisteredSubdevices(Fdo);
    for (ULONG i = 0; i < count; ++i)
    {
        IStreamEngine* stream = nullptr;
        WCHAR name[STREAM_NAME_BUFFER_CHARS] = {};
        if (!NT_SUCCESS(adapter->GetStream(i, &stream)) || stream == nullptr ||
            !NT_SUCCESS(stream->GetName(name)))
        {
            std::fprintf(Out, "  endpoint %lu: unreadable\n", static_cast<unsigned long>(i));
            continue;
        }
        const std::string endpoint = Narrow(name);
        std::string subdevice;
        for (const std::u16string& r : registered)
            if (Narrow(r).rfind(endpoint, 0) == 0)
                subdevice = Narrow(r);
        const std::string state =
            subdevice.empty() ? "not installed: " + WhyNotInstalled(stream) : "installed as " + subdevice;
        std::fprintf(Out, "  endpoint %lu %-7s %-12s %s\n", static_cast<unsigned long>(i),
                     stream->GetKind() == STREAM_DIRECTION_RENDER ? "render" : "capture", endpoint.c_str(),
                     state.c_str());
        PrintFormats(stream, Out);
    }
    // A started device prints nothing unless the driver left something out (a setting it does
    // not stream, a format whose packets do not fit its endpoint): those lines are the only
    // place that says why an endpoint offers less than its descriptors.
    const std::string notes = DriverDebugLines("    ");
    if (!notes.empty())
        std::fprintf(Out, "  driver debug output at start:\n%s", notes.c_str());
}

bool PrintNodeValues(PDEVICE_OBJECT Pdo, std::FILE* Out, std::FILE* Err)
{
    std::unique_ptr<sim::ControlPanel> panel;
    std::vector<sim::NodeInfo> nodes;
    if (!OpenTopology(Pdo, &panel, Out, Err) || !NT_SUCCESS(panel->GetNodes(&nodes)))
        return false;
    std::fprintf(Out, "node values:\n");
    for (const sim::NodeInfo& node : nodes)
        PrintNode(*panel, node, Out);
    return true;
}

bool PrintJacks(PDEVICE_OBJECT Pdo, std::FILE* Out, std::FILE* Err)
{
    std::unique_ptr<sim::ControlPanel> panel;
    std::vector<sim::PinInfo> pins;
    if (!OpenTopology(Pdo, &panel, Out, Err) || !NT_SUCCESS(panel->GetPins(&pins)))
        return false;
    std::fprintf(Out, "jacks:\n");
    bool any = false;
    for (const sim::PinInfo& pin : pins)
    {
        sim::PropertyTarget target = sim::PropertyTarget::OnPin(pin.Id);
        sim::PropertyResult size =
            panel->Property(target, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, 0);
        if (size.Status != STATUS_BUFFER_OVERFLOW || size.Information < sizeof(KSMULTIPLE_ITEM))
            continue;
        sim::PropertyResult reply = panel->Property(target, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION,
                                                    KSPROPERTY_TYPE_GET, ULONG(size.Information));
        if (!NT_SUCCESS(reply.Status) || reply.Value.size() < sizeof(KSMULTIPLE_ITEM))
            continue;
        KSMULTIPLE_ITEM header;
        std::memcpy(&header, reply.Value.data(), sizeof(header));
        for (ULONG j = 0; j < header.Count; ++j)
        {
            const size_t offset = sizeof(header) + j * sizeof(KSJACK_DESCRIPTION);
            if (offset + sizeof(KSJACK_DESCRIPTION) > reply.Value.size())
                break;
            KSJACK_DESCRIPTION jack;
            std::memcpy(&jack, reply.Value.data() + offset, sizeof(jack));
            std::fprintf(
                Out,
                "  pin %lu jack %lu: %s, channels 0x%lX, colour #%06lX, connection type %d, location %d\n",
                static_cast<unsigned long>(pin.Id), static_cast<unsigned long>(j),
                jack.IsConnected ? "connected" : "unplugged", static_cast<unsigned long>(jack.ChannelMapping),
                static_cast<unsigned long>(jack.Color), int(jack.ConnectionType), int(jack.GeoLocation));
            any = true;
        }
    }
    if (!any)
        std::fprintf(Out, "  (no pin describes a jack)\n");
    return true;
}

} // namespace uacsim
