// The oracle for the topology filter: terminals, units and control bitmaps read straight from
// the profile's configuration descriptor, turned into the pins, nodes and paths the audio
// stack must see, and the same view read back from the filter for comparison. Paths compare
// as the multiset of node types between two pins, so the order the driver gives the nodes of
// one feature unit does not matter, only which controls the device announces.
#include "e2e_rig.h"

#include "portcls.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

namespace e2e
{
namespace
{

enum Subtype : uint8_t
{
    kInputTerminal = 2,
    kOutputTerminal = 3,
    kMixerUnit = 4,
    kSelectorUnit = 5,
    kFeatureUnit = 6,
};

struct Entity
{
    uint8_t Subtype = 0;
    uint8_t Id = 0;
    uint16_t TerminalType = 0;
    std::vector<uint8_t> Sources;
    std::vector<uint32_t> Controls; // feature unit: master first, then each logical channel
};

struct Descriptors
{
    std::map<uint8_t, Entity> Entities;
    std::vector<uint8_t> StreamingTerminals; // AS_GENERAL terminal link per streaming interface
};

Descriptors Parse(const std::vector<uint8_t>& cfg)
{
    Descriptors out;
    uint8_t cls = 0, subclass = 0;
    int lastStreamingInterface = -1;
    int interfaceNumber = -1;
    for (size_t at = 0; at + 2 <= cfg.size() && cfg[at] >= 2;)
    {
        const uint8_t* d = &cfg[at];
        const uint8_t length = d[0];
        if (at + length > cfg.size())
            break;
        if (d[1] == 0x04 && length >= 9)
        {
            interfaceNumber = d[2];
            cls = d[5];
            subclass = d[6];
        }
        else if (d[1] == 0x24 && cls == 1 && subclass == 1 && length >= 4)
        {
            Entity e;
            e.Subtype = d[2];
            e.Id = d[3];
            if (e.Subtype == kInputTerminal && length >= 12)
                e.TerminalType = uint16_t(d[4] | d[5] << 8);
            else if (e.Subtype == kOutputTerminal && length >= 9)
            {
                e.TerminalType = uint16_t(d[4] | d[5] << 8);
                e.Sources.push_back(d[7]);
            }
            else if ((e.Subtype == kMixerUnit || e.Subtype == kSelectorUnit) && length >= 5u + d[4])
                e.Sources.assign(d + 5, d + 5 + d[4]);
            else if (e.Subtype == kFeatureUnit && length >= 7 && d[5] > 0)
            {
                e.Sources.push_back(d[4]);
                for (size_t c = 0; 6 + (c + 1) * d[5] <= size_t(length - 1); ++c)
                {
                    uint32_t bits = 0;
                    for (size_t b = 0; b < d[5] && b < 4; ++b)
                        bits |= uint32_t(d[6 + c * d[5] + b]) << (8 * b);
                    e.Controls.push_back(bits);
                }
            }
            else
                e.Subtype = 0;
            if (e.Subtype != 0)
                out.Entities[e.Id] = e;
        }
        else if (d[1] == 0x24 && cls == 1 && subclass == 2 && d[2] == 1 && length >= 4 &&
                 interfaceNumber != lastStreamingInterface)
        {
            lastStreamingInterface = interfaceNumber;
            out.StreamingTerminals.push_back(d[3]);
        }
        at += length;
    }
    return out;
}

struct TerminalKind
{
    uint16_t Type;
    const GUID* Category;
    const char* PinTypeName;
};

// USB terminal types as the audio stack names the pins and the driver its endpoints.
const TerminalKind kTerminalKinds[] = {
    {0x0101, &KSCATEGORY_AUDIO, "Stream"},
    {0x0201, &KSNODETYPE_MICROPHONE, "Mic"},
    {0x0202, &KSNODETYPE_DESKTOP_MICROPHONE, "FMic"},
    {0x0301, &KSNODETYPE_SPEAKER, "SPK"},
    {0x0302, &KSNODETYPE_HEADPHONES, "HP"},
    {0x0401, &KSNODETYPE_HANDSET, "HandSet"},
    {0x0402, &KSNODETYPE_HEADSET, "HeadSet"},
    {0x0601, &KSNODETYPE_ANALOG_CONNECTOR, "Aux"},
    {0x0603, &KSNODETYPE_LINE_CONNECTOR, "Line"},
    {0x0605, &KSNODETYPE_SPDIF_INTERFACE, "SPDIF"},
};

const TerminalKind* KindOf(uint16_t type)
{
    for (const TerminalKind& k : kTerminalKinds)
        if (k.Type == type)
            return &k;
    ADD_FAILURE() << "the oracle does not know terminal type 0x" << std::hex << type;
    return &kTerminalKinds[0];
}

// Feature-unit control bits and the node each becomes; delay, bass boost, graphic equaliser
// and the flags have no node of their own.
const struct
{
    int Bit;
    const GUID* Type;
} kControlNodes[] = {
    {0, &KSNODETYPE_MUTE}, {1, &KSNODETYPE_VOLUME}, {2, &KSNODETYPE_TONE},     {3, &KSNODETYPE_TONE},
    {4, &KSNODETYPE_TONE}, {6, &KSNODETYPE_AGC},    {9, &KSNODETYPE_LOUDNESS},
};

std::vector<uint16_t> OutputTypes(const sim::DeviceProfile& profile, const Entity& e)
{
    const sim::TerminalTypesSetting* list = profile.FindTerminalTypes(e.Id);
    return list ? list->Types : std::vector<uint16_t>{e.TerminalType};
}

std::vector<std::string> NodesOf(const sim::DeviceProfile& profile, const Entity& e)
{
    std::vector<std::string> nodes;
    if (e.Subtype == kFeatureUnit)
    {
        uint32_t all = 0;
        for (uint32_t bits : e.Controls)
            all |= bits;
        for (const auto& control : kControlNodes)
            if (all & (1u << control.Bit))
                nodes.push_back(NodeTypeName(*control.Type));
    }
    else if (e.Subtype == kSelectorUnit)
        nodes.push_back(NodeTypeName(e.Sources.size() >= 2 ? KSNODETYPE_MUX : KSNODETYPE_DEV_SPECIFIC));
    else if (e.Subtype == kMixerUnit)
        nodes.push_back(NodeTypeName(KSNODETYPE_SUM));
    else if (e.Subtype == kOutputTerminal && profile.FindTerminalTypes(e.Id) != nullptr)
        nodes.push_back(NodeTypeName(KSNODETYPE_DEV_SPECIFIC)); // the terminal's type switch
    return nodes;
}

// Every way from an input terminal up to entity Id: (input terminal, node types on the way).
void PathsUpstream(const sim::DeviceProfile& profile, const Descriptors& d, uint8_t id, int depth,
                   std::vector<std::pair<uint8_t, std::vector<std::string>>>* out)
{
    auto it = d.Entities.find(id);
    if (it == d.Entities.end() || depth > 32)
        return;
    const Entity& e = it->second;
    if (e.Subtype == kInputTerminal)
    {
        out->push_back({id, {}});
        return;
    }
    std::vector<std::string> mine = NodesOf(profile, e);
    for (uint8_t source : e.Sources)
    {
        std::vector<std::pair<uint8_t, std::vector<std::string>>> below;
        PathsUpstream(profile, d, source, depth + 1, &below);
        for (auto& path : below)
        {
            path.second.insert(path.second.end(), mine.begin(), mine.end());
            out->push_back(path);
        }
    }
}

std::set<uint8_t> InputTerminalsUpstream(const sim::DeviceProfile& profile, const Descriptors& d, uint8_t id)
{
    std::vector<std::pair<uint8_t, std::vector<std::string>>> paths;
    PathsUpstream(profile, d, id, 0, &paths);
    std::set<uint8_t> terminals;
    for (const auto& p : paths)
        terminals.insert(p.first);
    return terminals;
}

// The output terminal a render stream's input terminal leads to.
const Entity* OutputTerminalDownstream(const Descriptors& d, uint8_t id, int depth)
{
    if (depth > 32)
        return nullptr;
    for (const auto& entry : d.Entities)
    {
        const Entity& e = entry.second;
        if (std::find(e.Sources.begin(), e.Sources.end(), id) == e.Sources.end())
            continue;
        if (e.Subtype == kOutputTerminal)
            return &e;
        if (const Entity* found = OutputTerminalDownstream(d, e.Id, depth + 1))
            return found;
    }
    return nullptr;
}

uint16_t CurrentType(const sim::DeviceProfile& profile, const Entity& e)
{
    const sim::TerminalTypesSetting* list = profile.FindTerminalTypes(e.Id);
    return list ? list->Current : e.TerminalType;
}

std::string EndpointName(const sim::DeviceProfile& profile, const Descriptors& d, uint8_t link,
                         std::map<std::string, int>* counters)
{
    auto it = d.Entities.find(link);
    if (it == d.Entities.end())
        return "(no terminal)";
    std::string prefix = "Stream";
    const bool render = it->second.Subtype == kInputTerminal;
    if (render)
    {
        if (const Entity* out = OutputTerminalDownstream(d, link, 0))
            prefix = KindOf(CurrentType(profile, *out))->PinTypeName;
    }
    else
    {
        std::set<uint8_t> inputs;
        for (uint8_t t : InputTerminalsUpstream(profile, d, link))
            if (d.Entities.at(t).TerminalType != 0x0101)
                inputs.insert(t);
        if (inputs.size() == 1)
            prefix = KindOf(d.Entities.at(*inputs.begin()).TerminalType)->PinTypeName;
        else if (inputs.size() > 1)
            prefix = "Rec";
    }
    const std::string key = prefix + (render ? "Out" : "In");
    char name[64];
    std::snprintf(name, sizeof(name), "%s%02d", key.c_str(), (*counters)[key]++);
    return name;
}

template <class T> void Sort(std::vector<T>* items)
{
    std::sort(items->begin(), items->end());
}

} // namespace

bool PinLabel::operator<(const PinLabel& Other) const
{
    int c = std::memcmp(&Category, &Other.Category, sizeof(GUID));
    return c != 0 ? c < 0 : Out < Other.Out;
}

bool PinLabel::operator==(const PinLabel& Other) const
{
    return Category == Other.Category && Out == Other.Out;
}

bool PathSignature::operator<(const PathSignature& Other) const
{
    if (!(From == Other.From))
        return From < Other.From;
    if (!(To == Other.To))
        return To < Other.To;
    return NodeTypes < Other.NodeTypes;
}

bool PathSignature::operator==(const PathSignature& Other) const
{
    return From == Other.From && To == Other.To && NodeTypes == Other.NodeTypes;
}

std::string NodeTypeName(const GUID& Type)
{
    static const struct
    {
        const GUID* Guid;
        const char* Name;
    } kNames[] = {
        {&KSNODETYPE_MUX, "MUX"},           {&KSNODETYPE_SUM, "SUM"},
        {&KSNODETYPE_MUTE, "MUTE"},         {&KSNODETYPE_VOLUME, "VOLUME"},
        {&KSNODETYPE_TONE, "TONE"},         {&KSNODETYPE_AGC, "AGC"},
        {&KSNODETYPE_LOUDNESS, "LOUDNESS"}, {&KSNODETYPE_DEV_SPECIFIC, "DEV_SPECIFIC"},
    };
    for (const auto& n : kNames)
        if (*n.Guid == Type)
            return n.Name;
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-...}", unsigned(Type.Data1));
    return text;
}

ExpectedTopology TopologyFromDescriptors(const sim::DeviceProfile& Profile)
{
    const Descriptors d = Parse(Profile.ConfigurationDescriptor());
    ExpectedTopology t;
    for (const auto& entry : d.Entities)
    {
        const Entity& e = entry.second;
        if (e.Subtype == kInputTerminal)
            t.Pins.push_back({*KindOf(e.TerminalType)->Category, false});
        if (e.Subtype == kOutputTerminal)
            for (uint16_t type : OutputTypes(Profile, e))
                t.Pins.push_back({*KindOf(type)->Category, true});
        for (const std::string& node : NodesOf(Profile, e))
            t.NodeTypes.push_back(node);
        if (e.Subtype != kOutputTerminal)
            continue;
        std::vector<std::pair<uint8_t, std::vector<std::string>>> paths;
        PathsUpstream(Profile, d, e.Id, 0, &paths); // the terminal's own type switch included
        for (auto& p : paths)
        {
            Sort(&p.second);
            for (uint16_t type : OutputTypes(Profile, e))
                t.Paths.push_back({{*KindOf(d.Entities.at(p.first).TerminalType)->Category, false},
                                   {*KindOf(type)->Category, true},
                                   p.second});
        }
    }
    std::map<std::string, int> counters;
    for (uint8_t link : d.StreamingTerminals)
        t.EndpointNames.push_back(EndpointName(Profile, d, link, &counters));
    Sort(&t.Pins);
    Sort(&t.NodeTypes);
    Sort(&t.Paths);
    return t;
}

namespace
{

// Depth first from one filter pin along the connections to every output pin it reaches.
void WalkFilter(const std::vector<KSTOPOLOGY_CONNECTION>& connections,
                const std::vector<sim::NodeInfo>& nodes, const std::vector<sim::PinInfo>& pins,
                const PinLabel& from, ULONG node, ULONG pin, std::vector<std::string>* types,
                std::set<ULONG>* onPath, std::vector<PathSignature>* out)
{
    for (const KSTOPOLOGY_CONNECTION& c : connections)
    {
        if (c.FromNode != node || (node == PCFILTER_NODE && c.FromNodePin != pin))
            continue;
        if (c.ToNode == PCFILTER_NODE)
        {
            if (c.ToNodePin >= pins.size())
            {
                ADD_FAILURE() << "a connection ends at pin " << c.ToNodePin << ", which the filter lacks";
                continue;
            }
            const sim::PinInfo& to = pins[c.ToNodePin];
            std::vector<std::string> sorted = *types;
            std::sort(sorted.begin(), sorted.end());
            out->push_back({from, {to.Category, to.DataFlow == KSPIN_DATAFLOW_OUT}, sorted});
            continue;
        }
        if (c.ToNode >= nodes.size() || !onPath->insert(c.ToNode).second)
        {
            ADD_FAILURE() << "a connection leads to node " << c.ToNode
                          << " twice on one path, or past the nodes";
            continue;
        }
        types->push_back(NodeTypeName(nodes[c.ToNode].Type));
        WalkFilter(connections, nodes, pins, from, c.ToNode, 0, types, onPath, out);
        types->pop_back();
        onPath->erase(c.ToNode);
    }
}

} // namespace

ExpectedTopology TopologyFromFilter(sim::ControlPanel& Panel)
{
    ExpectedTopology t;
    std::vector<sim::PinInfo> pins;
    std::vector<sim::NodeInfo> nodes;
    std::vector<KSTOPOLOGY_CONNECTION> connections;
    EXPECT_EQ(Panel.GetPins(&pins), STATUS_SUCCESS);
    EXPECT_EQ(Panel.GetNodes(&nodes), STATUS_SUCCESS);
    EXPECT_EQ(Panel.GetConnections(&connections), STATUS_SUCCESS);
    for (size_t i = 0; i < pins.size(); ++i)
    {
        EXPECT_EQ(pins[i].Id, i);
        EXPECT_TRUE(pins[i].HasCategory) << "pin " << i;
        t.Pins.push_back({pins[i].Category, pins[i].DataFlow == KSPIN_DATAFLOW_OUT});
    }
    for (const sim::NodeInfo& node : nodes)
        t.NodeTypes.push_back(NodeTypeName(node.Type));
    // A node's output is its pin 0 and its inputs are pins 1..n, each fed once: a selector's
    // input number is the pin it selects.
    for (const sim::NodeInfo& node : nodes)
    {
        std::vector<ULONG> inputs;
        for (const KSTOPOLOGY_CONNECTION& c : connections)
        {
            if (c.FromNode == node.Id)
            {
                EXPECT_EQ(c.FromNodePin, 0u) << "node " << node.Id << " sends from pin " << c.FromNodePin;
            }
            if (c.ToNode == node.Id)
                inputs.push_back(c.ToNodePin);
        }
        std::sort(inputs.begin(), inputs.end());
        for (size_t i = 0; i < inputs.size(); ++i)
            EXPECT_EQ(inputs[i], i + 1) << "node " << node.Id << " inputs";
    }
    for (const sim::PinInfo& pin : pins)
    {
        if (pin.DataFlow == KSPIN_DATAFLOW_OUT)
            continue;
        std::vector<std::string> types;
        std::set<ULONG> onPath;
        WalkFilter(connections, nodes, pins, {pin.Category, false}, PCFILTER_NODE, pin.Id, &types, &onPath,
                   &t.Paths);
    }
    Sort(&t.Pins);
    Sort(&t.NodeTypes);
    Sort(&t.Paths);
    return t;
}

std::string Describe(const ExpectedTopology& Topology)
{
    std::ostringstream out;
    out << "pins:";
    for (const PinLabel& p : Topology.Pins)
        out << " {" << std::hex << p.Category.Data1 << std::dec << (p.Out ? " out}" : " in}");
    out << "\nnodes:";
    for (const std::string& n : Topology.NodeTypes)
        out << " " << n;
    out << "\npaths:\n";
    for (const PathSignature& p : Topology.Paths)
    {
        out << "  " << std::hex << p.From.Category.Data1 << " -> " << p.To.Category.Data1 << std::dec << ":";
        for (const std::string& n : p.NodeTypes)
            out << " " << n;
        out << "\n";
    }
    return out.str();
}

size_t StreamingInterfaceCount(const sim::DeviceProfile& Profile)
{
    return Parse(Profile.ConfigurationDescriptor()).StreamingTerminals.size();
}

std::vector<uint8_t> WireChannels(const sim::DeviceProfile& Profile, uint8_t FeatureUnit, uint8_t Selector)
{
    const Descriptors d = Parse(Profile.ConfigurationDescriptor());
    auto it = d.Entities.find(FeatureUnit);
    std::vector<uint8_t> channels;
    if (it == d.Entities.end() || it->second.Subtype != kFeatureUnit)
        return channels;
    const std::vector<uint32_t>& controls = it->second.Controls;
    const uint32_t bit = 1u << (Selector - 1);
    for (size_t c = 1; c < controls.size(); ++c)
        if (controls[c] & bit)
            channels.push_back(uint8_t(c));
    if (channels.empty() && !controls.empty() && (controls[0] & bit))
        channels.push_back(0);
    return channels;
}

} // namespace e2e
