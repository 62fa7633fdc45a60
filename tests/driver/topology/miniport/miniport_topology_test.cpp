// The topology miniport over small node graphs of the real node classes: pin and node order,
// data flow, the connections of the filter graph, the pin and node descriptions (with the
// settings names and both sides of the system-version check), the subdevice interface, the
// control-change callback's life, and failures at every allocation of Init. The filter read
// through the stand-in's real topology port is the end-to-end tests' part.
#include "support/miniport_topology_doubles.h"
#include "support/settings_device_fixture.h"

#include "driver/core/device_extension.h"
#include "driver/core/pin_type.h"

#include <functional>
#include <set>
#include <string>
#include <tuple>

namespace
{

using mt::TopologyTest;
using Edge = std::tuple<ULONG, ULONG, ULONG, ULONG>;
constexpr ULONG F = PCFILTER_NODE;

std::multiset<Edge> EdgesOf(const PCFILTER_DESCRIPTOR* descriptor)
{
    std::multiset<Edge> edges;
    for (ULONG i = 0; i < descriptor->ConnectionCount; i++)
    {
        const PCCONNECTION_DESCRIPTOR& c = descriptor->Connections[i];
        edges.insert(Edge{c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
    }
    return edges;
}

CMiniportTopology* Object(PMINIPORTTOPOLOGY miniport)
{
    return static_cast<CMiniportTopology*>(miniport);
}

ULONG PinOf(PMINIPORTTOPOLOGY miniport, ULONG nodeId)
{
    IMiniportSubdevice* subdevice = nullptr;
    EXPECT_EQ(miniport->QueryInterface(IID_IMiniportSubdevice, reinterpret_cast<PVOID*>(&subdevice)),
              STATUS_SUCCESS);
    ULONG pin = 0xBAD;
    NTSTATUS status = subdevice->FindPinId(&nodeId, &pin);
    subdevice->Release();
    return NT_SUCCESS(status) ? pin : 0xFFFFFFFE;
}

TEST_F(TopologyTest, ChainOfTwoNodesGivesTwoPinsAndThreeConnections)
{
    ITopologyNode* stream = Input(1, PIN_TYPE_STREAM);
    ITopologyNode* a = Volume(2, 1);
    ITopologyNode* b = Switch(3, NODE_KIND_MUTE, 2);
    ITopologyNode* spk = Output(4, PIN_TYPE_SPK, 3);
    ASSERT_EQ(Build({stream, a, b, spk}), STATUS_SUCCESS);

    EXPECT_EQ(m_Descriptor->Version, 0u);
    EXPECT_EQ(m_Descriptor->AutomationTable, &FilterAutomation);
    EXPECT_EQ(m_Descriptor->PinSize, 112u);
    EXPECT_EQ(m_Descriptor->NodeSize, 32u);
    ASSERT_EQ(m_Descriptor->PinCount, 2u);
    EXPECT_EQ(PinOf(m_Miniport, 1), 0u);
    EXPECT_EQ(PinOf(m_Miniport, 4), 1u);
    EXPECT_EQ(m_Descriptor->Pins[0].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(m_Descriptor->Pins[1].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
    ASSERT_EQ(m_Descriptor->NodeCount, 2u);
    EXPECT_EQ(m_Descriptor->Nodes[0].Type, &KSNODETYPE_MUTE) << "B, the later node, comes first";
    EXPECT_EQ(m_Descriptor->Nodes[1].Type, &KSNODETYPE_VOLUME);
    EXPECT_EQ(EdgesOf(m_Descriptor), (std::multiset<Edge>{{F, 0, 1, 1}, {1, 0, 0, 1}, {0, 0, F, 1}}));
    EXPECT_EQ(m_Descriptor->ConnectionCount, 3u);
}

TEST_F(TopologyTest, FilterAndPinDescriptorsCarryTheFixedFields)
{
    ASSERT_EQ(Build({Input(1, PIN_TYPE_STREAM), Output(2, PIN_TYPE_SPK, 1)}), STATUS_SUCCESS);
    ASSERT_EQ(m_Descriptor->CategoryCount, 3u);
    EXPECT_TRUE(IsEqualGUID(m_Descriptor->Categories[0], KSCATEGORY_AUDIO));
    EXPECT_TRUE(IsEqualGUID(m_Descriptor->Categories[1], KSCATEGORY_TOPOLOGY));
    EXPECT_TRUE(IsEqualGUID(m_Descriptor->Categories[2], GUID_DEVINTERFACE_ENUM_PRIVATE));
    EXPECT_EQ(m_Descriptor->NodeCount, 0u);
    EXPECT_EQ(EdgesOf(m_Descriptor), (std::multiset<Edge>{{F, 0, F, 1}})) << "pin straight to pin";
    for (ULONG p = 0; p < 2; p++)
    {
        const PCPIN_DESCRIPTOR& pin = m_Descriptor->Pins[p];
        EXPECT_EQ(pin.MaxGlobalInstanceCount + pin.MaxFilterInstanceCount + pin.MinFilterInstanceCount, 0u);
        EXPECT_EQ(pin.AutomationTable, nullptr);
        EXPECT_EQ(pin.KsPinDescriptor.InterfacesCount + pin.KsPinDescriptor.MediumsCount, 0u);
        EXPECT_EQ(pin.KsPinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
        ASSERT_EQ(pin.KsPinDescriptor.DataRangesCount, 1u);
        const KSDATARANGE* range = pin.KsPinDescriptor.DataRanges[0];
        EXPECT_EQ(range->FormatSize, 64u);
        EXPECT_EQ(range->Flags + range->SampleSize + range->Reserved, 0u);
        EXPECT_TRUE(IsEqualGUID(range->MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
        EXPECT_TRUE(IsEqualGUID(range->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
        EXPECT_TRUE(IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_NONE));
    }
}

TEST_F(TopologyTest, StreamPinsComeFirstLastFoundFirstThenTheOthersInDeviceOrder)
{
    std::vector<ITopologyNode*> nodes = {Output(10, PIN_TYPE_SPK, 11), Input(11, PIN_TYPE_STREAM),
                                         Input(12, PIN_TYPE_MIC),      Input(13, PIN_TYPE_STREAM),
                                         Output(14, PIN_TYPE_HP, 13),  Output(15, PIN_TYPE_STREAM, 12)};
    ASSERT_EQ(Build(nodes), STATUS_SUCCESS);
    // Expected order: Stream pins 15, 13, 11 (reversed), then 10, 12, 14.
    const ULONG order[] = {15, 13, 11, 10, 12, 14};
    for (ULONG pin = 0; pin < 6; pin++)
        EXPECT_EQ(PinOf(m_Miniport, order[pin]), pin) << "node " << order[pin];
    const KSPIN_DATAFLOW flows[] = {KSPIN_DATAFLOW_OUT, KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_IN,
                                    KSPIN_DATAFLOW_OUT, KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT};
    for (ULONG pin = 0; pin < 6; pin++)
        EXPECT_EQ(m_Descriptor->Pins[pin].KsPinDescriptor.DataFlow, flows[pin]) << "pin " << pin;
    EXPECT_EQ(EdgesOf(m_Descriptor), (std::multiset<Edge>{{F, 2, F, 3}, {F, 1, F, 5}, {F, 4, F, 0}}));
    ULONG unknownNode = 99, pin = 0xBAD;
    IMiniportSubdevice* subdevice = nullptr;
    ASSERT_EQ(m_Miniport->QueryInterface(IID_IMiniportSubdevice, reinterpret_cast<PVOID*>(&subdevice)),
              STATUS_SUCCESS);
    EXPECT_EQ(subdevice->FindPinId(&unknownNode, &pin), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pin, 0u);
    subdevice->Release();
}

TEST_F(TopologyTest, SelectorInputsAreNodePinsFromOneAndSharedPathsAppearOnce)
{
    // Stream(1) -> volume A(2) -> MUX C(4) input 1; Line(3) -> C input 2; C -> mute D(5) -> SPK(6);
    // C also feeds the HP output (7) directly.
    std::vector<ITopologyNode*> nodes = {Input(1, PIN_TYPE_STREAM), Volume(2, 1),
                                         Input(3, PIN_TYPE_LINE),   Selector(4, {2, 3}),
                                         Switch(5, 2, 4),           Output(6, PIN_TYPE_SPK, 5),
                                         Output(7, PIN_TYPE_HP, 4)};
    ASSERT_EQ(Build(nodes), STATUS_SUCCESS);
    ULONG a = KsNodeOf(2), c = KsNodeOf(4), d = KsNodeOf(5);
    EXPECT_EQ(std::make_tuple(a, c, d), std::make_tuple(2u, 1u, 0u));
    ULONG stream = PinOf(m_Miniport, 1), line = PinOf(m_Miniport, 3), spk = PinOf(m_Miniport, 6),
          hp = PinOf(m_Miniport, 7);
    EXPECT_EQ(
        EdgesOf(m_Descriptor),
        (std::multiset<Edge>{
            {F, stream, a, 1}, {a, 0, c, 1}, {F, line, c, 2}, {c, 0, d, 1}, {d, 0, F, spk}, {c, 0, F, hp}}));
    EXPECT_EQ(m_Descriptor->Nodes[c].Type, &KSNODETYPE_MUX);
}

// A failed Init registers nothing, keeps no reference on the port and has no description.
TEST_F(TopologyTest, InitFailsWithoutAnOutputOnSourcesThatNameNothingOrLoopAndWithoutEvents)
{
    struct Row
    {
        const char* Name;
        std::vector<ITopologyNode*> Nodes;
        NTSTATUS Expected;
        bool PortEvents;
    };
    const Row rows[] = {
        {"no output pin", {Input(1, PIN_TYPE_MIC), Volume(2, 1)}, STATUS_UNSUCCESSFUL, true},
        {"unknown source",
         {Input(1, PIN_TYPE_STREAM), Output(2, PIN_TYPE_SPK, 99)},
         STATUS_UNSUCCESSFUL,
         true},
        {"unknown upstream", {Volume(3, 98), Output(4, PIN_TYPE_SPK, 3)}, STATUS_UNSUCCESSFUL, true},
        {"loop", {Volume(5, 6), Volume(6, 5), Output(7, PIN_TYPE_SPK, 6)}, STATUS_UNSUCCESSFUL, true},
        {"Rec pin type",
         {Input(8, PIN_TYPE_REC), Output(9, PIN_TYPE_SPK, 8)},
         STATUS_INVALID_PARAMETER,
         true},
        {"no event list",
         {Input(1, PIN_TYPE_STREAM), Output(2, PIN_TYPE_SPK, 1)},
         STATUS_INVALID_PARAMETER,
         false},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(Build(row.Nodes, row.PortEvents), row.Expected) << row.Name;
        EXPECT_EQ(m_Adapter->Registrations, 0) << row.Name;
        PPCFILTER_DESCRIPTOR descriptor = nullptr;
        EXPECT_EQ(m_Miniport->GetDescription(&descriptor), STATUS_DEVICE_CONFIGURATION_ERROR) << row.Name;
        EXPECT_EQ(gd::RefCount(m_Port), 1u) << row.Name;
        ReleaseMiniport();
    }
}

TEST_F(TopologyTest, MiniportAnswersItsInterfacesAndNamesItsSubdevice)
{
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPool), STATUS_SUCCESS);
    PMINIPORTTOPOLOGY miniport = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport)),
              STATUS_SUCCESS);
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(miniport->GetDescription(&descriptor), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(descriptor, nullptr);
    EXPECT_EQ(miniport->DataRangeIntersection(0, nullptr, nullptr, 0, nullptr, nullptr),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(miniport->Init(unknown, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    const GUID answered[] = {IID_IUnknown, IID_IMiniport, IID_IPowerNotify, IID_IMiniportSubdevice};
    for (const GUID& id : answered)
    {
        PUNKNOWN part = nullptr;
        EXPECT_EQ(unknown->QueryInterface(id, reinterpret_cast<PVOID*>(&part)), STATUS_SUCCESS);
        if (part)
            part->Release();
    }
    PUNKNOWN none = reinterpret_cast<PUNKNOWN>(1);
    EXPECT_EQ(unknown->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&none)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none, nullptr);
    miniport->Release();
    EXPECT_EQ(unknown->Release(), 0u);

    ASSERT_EQ(Build({Input(1, PIN_TYPE_STREAM), Output(2, PIN_TYPE_SPK, 1)}), STATUS_SUCCESS);
    IMiniportSubdevice* subdevice = nullptr;
    ASSERT_EQ(m_Miniport->QueryInterface(IID_IMiniportSubdevice, reinterpret_cast<PVOID*>(&subdevice)),
              STATUS_SUCCESS);
    PWSTR name = nullptr;
    EXPECT_EQ(subdevice->GetSubdeviceName(&name), STATUS_SUCCESS);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::u16string(name), u"GlobalTopo");
    EXPECT_EQ(subdevice->GetSubdeviceName(nullptr), STATUS_INVALID_PARAMETER);
    subdevice->Release();
    EXPECT_EQ(m_Miniport->Init(static_cast<IAdapterCommon*>(m_Adapter), nullptr, m_Port),
              STATUS_INVALID_DEVICE_STATE)
        << "a second Init would orphan the first graph";
}

TEST_F(TopologyTest, ARefusedRegistrationFailsInitAndFreesTheDescriptor)
{
    std::vector<ITopologyNode*> nodes = {Input(1, PIN_TYPE_STREAM), Output(2, PIN_TYPE_SPK, 1)};
    m_Adapter = gd::Make<mt::CTestAdapter>();
    m_Adapter->Nodes = nodes;
    m_Adapter->RegisterStatus = STATUS_INSUFFICIENT_RESOURCES;
    ASSERT_EQ(m_Adapter->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    m_Port = gd::Make<mt::CFakeTopologyPort>(true);
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, PagedPool), STATUS_SUCCESS);
    ASSERT_EQ(unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&m_Miniport)),
              STATUS_SUCCESS);
    unknown->Release();
    EXPECT_EQ(m_Miniport->Init(static_cast<IAdapterCommon*>(m_Adapter), nullptr, m_Port),
              STATUS_INSUFFICIENT_RESOURCES);
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(m_Miniport->GetDescription(&descriptor), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(gd::RefCount(m_Port), 1u);
    EXPECT_EQ(m_Adapter->Unregistrations, 0);
}

TEST_F(TopologyTest, ControlChangeCallbackLivesFromInitToTheDestructor)
{
    ITopologyNode* volume = Volume(2, 1);
    ASSERT_EQ(
        Build({Input(1, PIN_TYPE_STREAM), volume, Switch(3, NODE_KIND_MUTE, 2), Output(4, PIN_TYPE_SPK, 3)}),
        STATUS_SUCCESS);
    EXPECT_EQ(m_Adapter->Registrations, 1);
    m_Adapter->Send(AUDIO_HAL_CLASS_CONTROL_CHANGE, AUDIO_HAL_EVENT_VALUE_CHANGED, 2);
    ASSERT_EQ(m_Port->Events.size(), 1u);
    const mt::CFakeTopologyPort::Event& event = m_Port->Events[0];
    EXPECT_TRUE(IsEqualGUID(event.Set, KSEVENTSETID_AudioControlChange));
    EXPECT_EQ(event.Id, ULONG(KSEVENT_CONTROL_CHANGE));
    EXPECT_EQ(event.PinFlag, FALSE);
    EXPECT_EQ(event.PinId, 0xFFFFFFFFu);
    EXPECT_EQ(event.NodeFlag, TRUE);
    EXPECT_EQ(event.NodeId, 1u) << "the volume is the second KS node";

    m_Miniport->Release();
    m_Miniport = nullptr;
    EXPECT_EQ(m_Adapter->Unregistrations, 1);
    m_Adapter->Send(AUDIO_HAL_CLASS_CONTROL_CHANGE, AUDIO_HAL_EVENT_VALUE_CHANGED, 2);
    EXPECT_EQ(m_Port->Events.size(), 1u) << "nothing reaches a destroyed miniport";
    EXPECT_EQ(gd::RefCount(m_Port), 1u);
}

TEST_F(TopologyTest, PowerChangeNotifyKeepsOnlyDeviceStates)
{
    ASSERT_EQ(Build({Input(1, PIN_TYPE_STREAM), Output(2, PIN_TYPE_SPK, 1)}), STATUS_SUCCESS);
    IPowerNotify* notify = nullptr;
    ASSERT_EQ(m_Miniport->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&notify)),
              STATUS_SUCCESS);
    EXPECT_EQ(Object(m_Miniport)->GetPowerState(), PowerDeviceD0);
    const ULONG states[] = {4, 0, 5, 2, 1};
    const DEVICE_POWER_STATE kept[] = {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1,
                                       PowerDeviceD0};
    for (size_t i = 0; i < 5; i++)
    {
        POWER_STATE state;
        state.DeviceState = DEVICE_POWER_STATE(states[i]);
        notify->PowerChangeNotify(state);
        EXPECT_EQ(Object(m_Miniport)->GetPowerState(), kept[i]) << "after " << states[i];
    }
    notify->Release();
}

struct NodeKindRow
{
    const char* Name;
    const GUID* Type;
    const PCAUTOMATION_TABLE* Automation;
    const GUID* NodeName;
};

TEST_F(TopologyTest, NodesAreDescribedByKindAndClockSourcesAreNone)
{
    const GUID effectName = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
    CVariantASwitchNode* variantA = Keep(gd::Make<CVariantASwitchNode>(23u));
    ASSERT_EQ(variantA->Init(0, 1), STATUS_SUCCESS);
    // Device order; the KS node list is its reverse.
    std::vector<std::pair<ITopologyNode*, NodeKindRow>> nodes = {
        {Switch(10, NODE_KIND_MUTE, 0), {"mute", &KSNODETYPE_MUTE, &MuteNodeAutomation, nullptr}},
        {Volume(11, 0), {"volume", &KSNODETYPE_VOLUME, &VolumeNodeAutomation, nullptr}},
        {Selector(12, {0, 0}), {"mux", &KSNODETYPE_MUX, &MuxNodeAutomation, nullptr}},
        {Selector(13, {0}),
         {"single selector", &KSNODETYPE_DEV_SPECIFIC, &SingleInputSelectorAutomation,
          &KSNODETYPE_DEV_SPECIFIC}},
        {Mixer(14, {0, 0}), {"mixer", &KSNODETYPE_SUM, nullptr, nullptr}},
        {Switch(15, NODE_KIND_AGC, 0), {"agc", &KSNODETYPE_AGC, &AgcNodeAutomation, nullptr}},
        {Switch(16, NODE_KIND_LOUDNESS, 0),
         {"loudness", &KSNODETYPE_LOUDNESS, &LoudnessNodeAutomation, nullptr}},
        {GainPad(17, 0),
         {"gain pad", &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODENAME_INPUT_GAIN_PAD}},
        {Tone(18, NODE_KIND_BASS, 0), {"bass", &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_BASS}},
        {Tone(19, NODE_KIND_MID, 0), {"mid", &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_MIDRANGE}},
        {Tone(20, NODE_KIND_TREBLE, 0),
         {"treble", &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_TREBLE}},
        {PinTypeSelector(21, 0, {1, 2}),
         {"pin-type selector", &KSNODETYPE_DEV_SPECIFIC, &PinTypeSelectorAutomation,
          &NODENAME_PIN_TYPE_SELECTOR}},
        {Switch(22, NODE_KIND_VENDOR_SWITCH, 0),
         {"vendor switch", &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODENAME_VENDOR_SWITCH}},
        {variantA,
         {"variant A switch", &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation,
          &NODENAME_VARIANT_A_SWITCH}},
        {Keep(gd::Make<mt::CTestEffectNode>(24u, effectName)),
         {"effect", &KSNODETYPE_DEV_SPECIFIC, &EffectNodeAutomation, nullptr}},
    };
    std::vector<ITopologyNode*> device;
    for (auto& entry : nodes)
        device.push_back(entry.first);
    device.push_back(Keep(gd::Make<gd::CFakeNode>(5u, ULONG(NODE_KIND_CLOCK_SOURCE))));
    device.push_back(Input(1, PIN_TYPE_STREAM));
    device.push_back(Output(2, PIN_TYPE_SPK, 1));
    ASSERT_EQ(Build(device), STATUS_SUCCESS);
    ASSERT_EQ(m_Descriptor->NodeCount, ULONG(nodes.size())) << "clock sources and terminals are no nodes";
    for (size_t i = 0; i < nodes.size(); i++)
    {
        const NodeKindRow& row = nodes[i].second;
        const PCNODE_DESCRIPTOR& node = m_Descriptor->Nodes[nodes.size() - 1 - i];
        EXPECT_EQ(node.Flags, 0u) << row.Name;
        EXPECT_EQ(node.Type, row.Type) << row.Name;
        EXPECT_EQ(node.AutomationTable, row.Automation) << row.Name;
        if (i + 1 < nodes.size())
        {
            EXPECT_EQ(node.Name, row.NodeName) << row.Name;
        }
    }
    ASSERT_NE(m_Descriptor->Nodes[0].Name, nullptr);
    EXPECT_TRUE(IsEqualGUID(*m_Descriptor->Nodes[0].Name, effectName)) << "the effect node's own name";
}

struct PinTypeRow
{
    ULONG PinType;
    const GUID* Category;
    const GUID* Name;
};

// One input and one output pin per type; input pins of kind 0, output pins of kind 1.
void ExpectPins(const PCFILTER_DESCRIPTOR* descriptor, const std::vector<PinTypeRow>& rows,
                const std::function<ULONG(ULONG)>& pinOf, ULONG firstId)
{
    for (const PinTypeRow& row : rows)
    {
        const KSPIN_DESCRIPTOR& pin = descriptor->Pins[pinOf(firstId + row.PinType)].KsPinDescriptor;
        EXPECT_TRUE(IsEqualGUID(*pin.Category, *row.Category)) << "pin type " << row.PinType;
        if (row.Name)
        {
            ASSERT_NE(pin.Name, nullptr) << "pin type " << row.PinType;
            EXPECT_TRUE(IsEqualGUID(*pin.Name, *row.Name)) << "pin type " << row.PinType;
        }
        else
        {
            EXPECT_EQ(pin.Name, nullptr) << "pin type " << row.PinType;
        }
    }
}

TEST_F(TopologyTest, PinsAreDescribedByPinTypeWithTheDefaultNames)
{
    // Inputs of every type below Rec (ids 100 + type), each feeding an output of the same type
    // (ids 200 + type), so the S/PDIF and line pins show both directions.
    std::vector<ITopologyNode*> device;
    for (ULONG type = 0; type < PIN_TYPE_REC; type++)
        device.push_back(Input(100 + type, type));
    for (ULONG type = 0; type < PIN_TYPE_REC; type++)
        device.push_back(Output(200 + type, type, 100 + type));
    ASSERT_EQ(Build(device), STATUS_SUCCESS);
    const std::vector<PinTypeRow> common = {
        {PIN_TYPE_STREAM, &KSCATEGORY_AUDIO, nullptr},
        {PIN_TYPE_SPK, &KSNODETYPE_SPEAKER, nullptr},
        {PIN_TYPE_HP, &KSNODETYPE_HEADPHONES, nullptr},
        {PIN_TYPE_HDMI, &KSNODETYPE_HDMI_INTERFACE, &PINNAME_HDMI},
        {PIN_TYPE_DISPLAYPORT, &KSNODETYPE_DISPLAYPORT_INTERFACE, &PINNAME_DISPLAYPORT},
        {PIN_TYPE_LINE, &KSNODETYPE_LINE_CONNECTOR, nullptr},
        {PIN_TYPE_MIC, &KSNODETYPE_MICROPHONE, nullptr},
        {PIN_TYPE_AUX, &KSNODETYPE_ANALOG_CONNECTOR, &PINNAME_AUX},
        {PIN_TYPE_CD, &KSNODETYPE_CD_PLAYER, nullptr},
        {PIN_TYPE_VIDEO, &KSNODETYPE_VIDEO_DISC_AUDIO, nullptr},
        {PIN_TYPE_FMIC, &KSNODETYPE_DESKTOP_MICROPHONE, nullptr},
        {PIN_TYPE_TELEPHONE, &KSNODETYPE_TELEPHONE, nullptr},
        {PIN_TYPE_HANDSET, &KSNODETYPE_HANDSET, nullptr},
        {PIN_TYPE_HEADSET, &KSNODETYPE_HEADSET, nullptr},
        {PIN_TYPE_SPEAKERPHONE, &KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, nullptr},
        {PIN_TYPE_STEREOMIX, &KSNODETYPE_ANALOG_CONNECTOR, &PINNAME_STEREO_MIX},
        {PIN_TYPE_FHP, &KSNODETYPE_HEADPHONES, nullptr},
    };
    auto pinOf = [this](ULONG id) { return PinOf(m_Miniport, id); };
    ExpectPins(m_Descriptor, common, pinOf, 100);
    ExpectPins(m_Descriptor, common, pinOf, 200);
    ExpectPins(m_Descriptor, {{PIN_TYPE_SPDIF, &KSNODETYPE_SPDIF_INTERFACE, &PINNAME_SPDIF_IN}}, pinOf, 100);
    ExpectPins(m_Descriptor, {{PIN_TYPE_SPDIF, &KSNODETYPE_SPDIF_INTERFACE, &PINNAME_SPDIF_OUT}}, pinOf, 200);
}

TEST_F(TopologyTest, AuxAndStereoMixPinsFollowTheSystemVersion)
{
    struct Row
    {
        ULONG Version;
        const GUID* StereoMixCategory;
        bool Named;
    };
    const Row rows[] = {{0x0A000000, &KSNODETYPE_ANALOG_CONNECTOR, true},
                        {0x06000000, &KSNODETYPE_ANALOG_CONNECTOR, true},
                        {0x05010000, &KSAUDFNAME_STEREO_MIX, false}};
    for (const Row& row : rows)
    {
        plat::SetNtDdiVersion(row.Version);
        ASSERT_EQ(Build({Input(1, PIN_TYPE_AUX), Input(2, PIN_TYPE_STEREOMIX), Output(3, PIN_TYPE_SPK, 1)}),
                  STATUS_SUCCESS);
        auto pinOf = [this](ULONG id) { return PinOf(m_Miniport, id); };
        ExpectPins(
            m_Descriptor,
            {{PIN_TYPE_AUX, &KSNODETYPE_ANALOG_CONNECTOR, row.Named ? &PINNAME_AUX : nullptr},
             {PIN_TYPE_STEREOMIX, row.StereoMixCategory, row.Named ? &PINNAME_STEREO_MIX : nullptr}},
            [&](ULONG id) { return pinOf(id == PIN_TYPE_AUX ? 1 : 2); }, 0);
        ReleaseMiniport();
    }
}

TEST_F(TopologyTest, EveryAllocationFailureOfInitFailsCleanly)
{
    std::vector<ITopologyNode*> nodes = {Input(1, PIN_TYPE_STREAM), Volume(2, 1), Selector(3, {2, 1}),
                                         Output(4, PIN_TYPE_SPK, 3)};
    ULONG failures = 0;
    for (ULONG n = 1; n < 64; n++)
    {
        m_Adapter = gd::Make<mt::CTestAdapter>();
        m_Adapter->Nodes = nodes;
        ASSERT_EQ(m_Adapter->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
        m_Port = gd::Make<mt::CFakeTopologyPort>(true);
        PUNKNOWN unknown = nullptr;
        ASSERT_EQ(CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPool),
                  STATUS_SUCCESS);
        ASSERT_EQ(unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&m_Miniport)),
                  STATUS_SUCCESS);
        unknown->Release();
        plat::FailNthAllocation(n);
        NTSTATUS status = m_Miniport->Init(static_cast<IAdapterCommon*>(m_Adapter), nullptr, m_Port);
        bool injected = plat::PoolInjectedFailureCount() > failures;
        failures = ULONG(plat::PoolInjectedFailureCount());
        plat::ClearPoolFailures();
        if (!injected)
        {
            EXPECT_EQ(status, STATUS_SUCCESS);
            ReleaseMiniport();
            EXPECT_GT(n, 5u) << "Init allocates descriptor, arrays, records and name";
            return;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        EXPECT_EQ(m_Adapter->Registrations, 0) << "allocation " << n;
        PPCFILTER_DESCRIPTOR descriptor = nullptr;
        EXPECT_EQ(m_Miniport->GetDescription(&descriptor), STATUS_DEVICE_CONFIGURATION_ERROR);
        ReleaseMiniport();
    }
    ADD_FAILURE() << "Init never succeeded";
}

// S/PDIF and line pins named from the settings of a device on the stand-in.
class TopologySettings : public mt::TopologyHarness<settings_test::SettingsDeviceFixture>
{
};

TEST_F(TopologySettings, SpdifAndLineInputPinsTakeTheirNamesFromTheSettings)
{
    CreateDevice();
    const GUID spdifOut = {0xA1A2A3A4, 0xB1B2, 0xC1C2, {1, 2, 3, 4, 5, 6, 7, 8}};
    const GUID lineIn = {0xD1D2D3D4, 0xE1E2, 0xF1F2, {8, 7, 6, 5, 4, 3, 2, 1}};
    // Pins: Stream 0 (node 1), Line in 1 (node 2), S/PDIF out 2 (node 3), line out 3 (node 4).
    ASSERT_EQ(plat::RegSetValue(SettingsPath(), u"SpdifOutName_02", REG_BINARY, &spdifOut, sizeof(spdifOut)),
              STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetValue(SettingsPath(), u"LineInName_01", REG_BINARY, &lineIn, sizeof(lineIn)),
              STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetValue(SettingsPath(), u"SpdifOutName_03", REG_BINARY, &lineIn, sizeof(lineIn)),
              STATUS_SUCCESS);
    ASSERT_EQ(Build({Input(1, PIN_TYPE_STREAM), Input(2, PIN_TYPE_LINE), Output(3, PIN_TYPE_SPDIF, 1),
                     Output(4, PIN_TYPE_LINE, 2)},
                    true, Fdo()),
              STATUS_SUCCESS);
    ASSERT_EQ(PinOf(m_Miniport, 3), 2u);
    const KSPIN_DESCRIPTOR* pins[4];
    for (ULONG p = 0; p < 4; p++)
        pins[p] = &m_Descriptor->Pins[p].KsPinDescriptor;
    ASSERT_NE(pins[2]->Name, nullptr);
    EXPECT_TRUE(IsEqualGUID(*pins[2]->Name, spdifOut));
    ASSERT_NE(pins[1]->Name, nullptr);
    EXPECT_TRUE(IsEqualGUID(*pins[1]->Name, lineIn));
    EXPECT_EQ(pins[3]->Name, nullptr) << "a line output has no name, whatever the settings hold";
    EXPECT_EQ(pins[0]->Name, nullptr);
}

} // namespace
