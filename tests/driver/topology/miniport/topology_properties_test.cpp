// The topology miniport's property and event handlers, reached through the automation tables
// of its filter descriptor as the port reaches them: byte layouts of the basic-support replies
// (checked word by word against layouts written out here), values round-tripped to an entity
// double behind real control nodes, jack descriptions, the private sets, the control-change
// event, and malformed requests that must fail without writing past the caller's buffer.
#include "support/miniport_topology_doubles.h"

#include "driver/topology/nodes/output_pin_type_node.h"
#include "driver/topology/nodes/pin_node.h"
#include "driver/core/pin_type.h"

#include <functional>
#include <string>

namespace
{

using mt::GuidAt;
using mt::Reply;
using mt::TopologyTest;
using mt::Word;

constexpr ULONG kGet = KSPROPERTY_TYPE_GET;
constexpr ULONG kSet = KSPROPERTY_TYPE_SET;
constexpr ULONG kSupport = KSPROPERTY_TYPE_BASICSUPPORT;
constexpr LONG kMinimum = -0x7F0000; // the entity double's range: -127 dB to 0 in 1/256 dB
constexpr LONG kResolution = 0x100;

// The description every basic-support reply starts with, word by word.
void ExpectDescription(const Reply& reply, ULONG access, ULONG fullSize, const GUID& typeSet, ULONG type,
                       ULONG members)
{
    EXPECT_EQ(Word(reply.Bytes, 0), access);
    EXPECT_EQ(Word(reply.Bytes, 4), fullSize);
    EXPECT_TRUE(IsEqualGUID(GuidAt(reply.Bytes, 8), typeSet));
    EXPECT_EQ(Word(reply.Bytes, 24), type);
    EXPECT_EQ(Word(reply.Bytes, 28), 0u) << "property type flags";
    EXPECT_EQ(Word(reply.Bytes, 32), members);
    EXPECT_EQ(Word(reply.Bytes, 36), 0u) << "reserved";
}

void ExpectMembersHeader(const Reply& reply, ULONG flags, ULONG size, ULONG count, ULONG memberFlags)
{
    EXPECT_EQ(Word(reply.Bytes, 40), flags);
    EXPECT_EQ(Word(reply.Bytes, 44), size);
    EXPECT_EQ(Word(reply.Bytes, 48), count);
    EXPECT_EQ(Word(reply.Bytes, 52), memberFlags);
}

// A get whose reply needs `needed` bytes: a size query learns the size, and a reply one byte
// short is refused untouched.
void ExpectSized(const std::function<NTSTATUS(Reply*)>& send, ULONG needed)
{
    Reply query(0);
    EXPECT_EQ(send(&query), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(query.Size, needed);
    Reply shortReply(needed - 1);
    EXPECT_EQ(send(&shortReply), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortReply.Size, needed) << "the size needed, for the next try";
    EXPECT_TRUE(shortReply.Untouched());
}

// Stream in (1) -> volume (2) -> mute (3) -> SPK out (4): KS nodes mute 0, volume 1.
class TopologyProperties : public TopologyTest
{
protected:
    void BuildChain()
    {
        ASSERT_EQ(Build({Input(1, PIN_TYPE_STREAM), Volume(2, 1), Switch(3, NODE_KIND_MUTE, 2),
                         Output(4, PIN_TYPE_SPK, 3)}),
                  STATUS_SUCCESS);
    }
    static constexpr ULONG kMuteNode = 0;
    static constexpr ULONG kVolumeNode = 1;
    static constexpr ULONG kStream = 1;
};

TEST_F(TopologyProperties, BasicSupportRepliesTakeTheirSizeFromTheBuffer)
{
    BuildChain();
    Reply tiny(2);
    EXPECT_EQ(NodeRequest(kVolumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kSupport, &tiny),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tiny.Size, 88u) << "the full size, for the next try";
    EXPECT_TRUE(tiny.Untouched());

    for (ULONG size : {4u, 39u})
    {
        const Reply flags =
            NodeReply(kVolumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kSupport, size);
        EXPECT_EQ(flags.Size, 4u);
        EXPECT_EQ(Word(flags.Bytes, 0), 0x203u);
        EXPECT_EQ(flags.Bytes[4], mt::kCanary);
    }

    const Reply head = NodeReply(kVolumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kSupport, 40);
    EXPECT_EQ(head.Size, 40u);
    ExpectDescription(head, 0x203, 88, KSPROPTYPESETID_General, VT_I4, 1);
    EXPECT_TRUE(head.GuardIntact());

    // Mute lists on and off per channel.
    const Reply full = NodeReply(kMuteNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, kSupport, 88);
    EXPECT_EQ(full.Size, 88u);
    ExpectDescription(full, 0x203, 88, KSPROPTYPESETID_General, VT_BOOL, 1);
    ExpectMembersHeader(full, KSPROPERTY_MEMBER_STEPPEDRANGES, 16, 2,
                        KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL);
    for (size_t at : {56u, 72u})
    {
        EXPECT_EQ(Word(full.Bytes, at), 1u);
        EXPECT_EQ(Word(full.Bytes, at + 4), 0u);
        EXPECT_EQ(Word(full.Bytes, at + 8), 0u);
        EXPECT_EQ(Word(full.Bytes, at + 12), 1u);
    }
    const Reply muteHead = NodeReply(kMuteNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, kSupport, 87);
    EXPECT_EQ(muteHead.Size, 40u);
    EXPECT_EQ(Word(muteHead.Bytes, 32), 1u) << "the members count is set before the size test";
    EXPECT_EQ(muteHead.Bytes[40], mt::kCanary);
}

TEST_F(TopologyProperties, ChannelCountFollowsThePinTypeOfTheOutput)
{
    m_Entity->ChannelCount = 6;
    BuildChain();
    IPinTypeSink* sink = nullptr;
    ASSERT_EQ(NodeAt(kVolumeNode)->QueryInterface(IID_IPinTypeSink, reinterpret_cast<PVOID*>(&sink)),
              STATUS_SUCCESS);
    struct Row
    {
        ULONG PinType;
        ULONG Channels;
    };
    for (Row row : {Row{PIN_TYPE_SPK, 6}, Row{PIN_TYPE_HP, 2}})
    {
        ASSERT_EQ(sink->SetPinType(row.PinType, nullptr), STATUS_SUCCESS);
        const Reply reply =
            NodeReply(kVolumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kSupport, 200);
        EXPECT_EQ(Word(reply.Bytes, 4), 56 + 16 * row.Channels) << "pin type " << row.PinType;
        EXPECT_EQ(Word(reply.Bytes, 48), row.Channels) << "pin type " << row.PinType;
        EXPECT_EQ(reply.Size, 56 + 16 * row.Channels);
    }
    sink->Release();
}

// Values set through a node's property reach the device once and read back through the same
// property; no KSPROPSETID_Audio set raises an event.
TEST_F(TopologyProperties, ValuesRoundTripToTheDevice)
{
    mt::CTestEffectNode* effect = Keep(gd::Make<mt::CTestEffectNode>(2u, GUID_NULL));
    ASSERT_EQ(effect->SetSourceIdList(1, &kStream), STATUS_SUCCESS);
    using Graph = std::vector<ITopologyNode*>;
    const Graph chain = {Input(1, PIN_TYPE_STREAM), Volume(2, 1), Switch(3, NODE_KIND_MUTE, 2),
                         Output(4, PIN_TYPE_SPK, 3)};
    const Graph pad = {Input(1, PIN_TYPE_MIC), GainPad(2, 1), Output(3, PIN_TYPE_STREAM, 2)};
    const Graph vendor = {Input(1, PIN_TYPE_STREAM), Switch(2, NODE_KIND_VENDOR_SWITCH, 1),
                          Output(3, PIN_TYPE_SPK, 2)};
    const Graph control = {Input(1, PIN_TYPE_STREAM), EffectControl(2, 1), Output(3, PIN_TYPE_SPK, 2)};
    const Graph base = {Input(1, PIN_TYPE_STREAM), effect, Output(3, PIN_TYPE_SPK, 2)};
    struct Row
    {
        const char* What;
        const Graph* Nodes;
        ULONG Node, Id, Channel, Value;
        bool Accepted;
        ULONG ReadBack;
        const char* Sent; // what reached the device, if anything
    };
    const ULONG kDev = KSPROPERTY_AUDIO_DEV_SPECIFIC, kMute = KSPROPERTY_AUDIO_MUTE;
    const Row rows[] = {
        {"mute, any non-zero BOOL is on", &chain, kMuteNode, kMute, 0, 0x100, true, 1, "setswitch 1 0 1"},
        {"gain pad", &pad, 0, kDev, 1, ULONG(-0x30000), true, ULONG(-0x30000), "setlevel 12 1 -196608"},
        {"vendor switch, always channel 0", &vendor, 0, kDev, 1, 5, true, 1, "setswitch 1 0 1"},
        {"effect control enable", &control, 0, kDev, 0, 1, true, 1, "setswitch 139 0 1"},
        {"effect enable", &base, 0, kDev, 0, 1, true, 1, nullptr},
        {"effect disable", &base, 0, kDev, 0, 0, true, 0, nullptr},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.What);
        ASSERT_EQ(Build(*row.Nodes), STATUS_SUCCESS);
        gd::Log().clear();
        EXPECT_EQ(NT_SUCCESS(SetU32(row.Node, KSPROPSETID_Audio, row.Id, row.Value, row.Channel)),
                  row.Accepted);
        EXPECT_EQ(GetU32(row.Node, KSPROPSETID_Audio, row.Id, row.Channel), row.ReadBack);
        EXPECT_EQ(gd::LogOf({"setlevel", "setswitch", "setinput"}),
                  row.Sent ? std::vector<std::string>{row.Sent} : std::vector<std::string>{});
        EXPECT_TRUE(m_Port->Events.empty());
        ReleaseMiniport();
    }
}

// Bad values, channels and node kinds are checked end to end; these requests the control
// panel cannot send.
TEST_F(TopologyProperties, RequestsForNodesThatDoNotExistFail)
{
    BuildChain();
    const PCPROPERTY_ITEM* volume = &m_Descriptor->Nodes[kVolumeNode].AutomationTable->Properties[0];
    Reply reply(4);
    EXPECT_EQ(CallHandler(volume, kVolumeNode, kGet, nullptr, 0, &reply), STATUS_INVALID_PARAMETER);
    ULONG channel = 0;
    for (ULONG node : {7u, 0xFFFFFFFFu})
        EXPECT_EQ(CallHandler(volume, node, kGet, &channel, 4, &reply), STATUS_INVALID_PARAMETER) << node;
    const PCPROPERTY_ITEM muxOnLevel = {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, kGet,
                                        PropertyHandlerLevel};
    EXPECT_EQ(CallHandler(&muxOnLevel, kVolumeNode, kGet, &channel, 4, &reply), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(reply.Untouched());
}

TEST_F(TopologyProperties, ControlChangeEvents)
{
    BuildChain();
    m_Adapter->Send(AUDIO_HAL_CLASS_CONTROL_CHANGE, 2, 3);
    m_Adapter->Send(2, AUDIO_HAL_EVENT_VALUE_CHANGED, 3);
    m_Adapter->Send(AUDIO_HAL_CLASS_CONTROL_CHANGE, AUDIO_HAL_EVENT_VALUE_CHANGED, 4);
    m_Adapter->Send(AUDIO_HAL_CLASS_CONTROL_CHANGE, AUDIO_HAL_EVENT_VALUE_CHANGED, 77);
    EXPECT_TRUE(m_Port->Events.empty()) << "event 2, class 2, a terminal, an unknown id";
    AudioHalNotifyControlChange(nullptr, 3); // no callback object: nothing to reach
    m_Adapter->Send(AUDIO_HAL_CLASS_CONTROL_CHANGE, AUDIO_HAL_EVENT_VALUE_CHANGED, 3);
    ASSERT_EQ(m_Port->Events.size(), 1u);
    EXPECT_EQ(m_Port->Events[0].NodeId, kMuteNode);
    GenerateControlChangeEvent(m_Miniport, nullptr, nullptr);
    EXPECT_EQ(m_Port->Events.size(), 1u);
    m_Port->Events.clear();

    // A vendor level set raises exactly one event, for its node.
    ASSERT_EQ(SetU32(kVolumeNode, KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_LEVEL, ULONG(-0x20000), 0),
              STATUS_SUCCESS);
    ASSERT_EQ(m_Port->Events.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(m_Port->Events[0].Set, KSEVENTSETID_AudioControlChange));
    EXPECT_EQ(m_Port->Events[0].NodeFlag, TRUE);
    EXPECT_EQ(m_Port->Events[0].NodeId, kVolumeNode);
    EXPECT_EQ(m_Port->Events[0].PinFlag, FALSE);
    EXPECT_EQ(LONG(GetU32(kVolumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0)), -0x20000);

    EXPECT_EQ(SetU32(kVolumeNode, KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_LEVEL, 0, 9),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Port->Events.size(), 1u) << "a refused set raises nothing";
    EXPECT_EQ(SetU32(kVolumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(m_Port->Events.size(), 1u);

    // Event entries go to the port.
    const PCEVENT_ITEM* item = m_Descriptor->Nodes[kVolumeNode].AutomationTable->Events;
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(IsEqualGUID(*item->Set, KSEVENTSETID_AudioControlChange));
    EXPECT_EQ(item->Flags, ULONG(PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT));
    auto call = [&](ULONG node, ULONG verb, PKSEVENT_ENTRY entry)
    {
        PCEVENT_REQUEST request = {};
        request.MajorTarget = m_Miniport;
        request.Node = node;
        request.EventItem = item;
        request.EventEntry = entry;
        request.Verb = verb;
        return item->Handler(&request);
    };
    PKSEVENT_ENTRY entry = reinterpret_cast<PKSEVENT_ENTRY>(0x1000);
    EXPECT_EQ(call(kVolumeNode, PCEVENT_VERB_ADD, entry), STATUS_SUCCESS);
    EXPECT_EQ(m_Port->Entries, std::vector<PKSEVENT_ENTRY>{entry});
    EXPECT_EQ(call(kVolumeNode, PCEVENT_VERB_ADD, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(call(2, PCEVENT_VERB_ADD, entry), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(call(kVolumeNode, PCEVENT_VERB_REMOVE, entry), STATUS_SUCCESS);
    EXPECT_EQ(call(kVolumeNode, PCEVENT_VERB_SUPPORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(call(kVolumeNode, 3, entry), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Port->Entries.size(), 1u);
}

TEST_F(TopologyProperties, MuxSourceNeedsAWholeValueAndHasNoBasicSupport)
{
    ASSERT_EQ(Build({Input(1, PIN_TYPE_MIC), Input(2, PIN_TYPE_LINE), Selector(3, {1, 2}),
                     Output(4, PIN_TYPE_STREAM, 3)}),
              STATUS_SUCCESS);
    Reply shortValue(2);
    EXPECT_EQ(NodeRequest(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, kGet, &shortValue),
              STATUS_INVALID_PARAMETER);
    Reply support(40);
    EXPECT_EQ(NodeRequest(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, kSupport, &support),
              STATUS_NOT_FOUND)
        << "the port refuses basic support of the selector";
}

TEST_F(TopologyProperties, GainPadAnswersARangeWithItsName)
{
    ASSERT_EQ(Build({Input(1, PIN_TYPE_MIC), GainPad(2, 1), Output(3, PIN_TYPE_STREAM, 2)}), STATUS_SUCCESS);
    const Reply full = NodeReply(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kSupport, 92);
    EXPECT_EQ(full.Size, 92u);
    ExpectDescription(full, 0x203, 92, KSPROPTYPESETID_General, VT_I4, 1);
    ExpectMembersHeader(full, KSPROPERTY_MEMBER_VALUES, 36, 1, 0);
    EXPECT_EQ(Word(full.Bytes, 56), 36u);
    EXPECT_TRUE(IsEqualGUID(GuidAt(full.Bytes, 60), NODENAME_INPUT_GAIN_PAD));
    EXPECT_EQ(Word(full.Bytes, 76), 12u);
    EXPECT_EQ(LONG(Word(full.Bytes, 80)), 0) << "maximum";
    EXPECT_EQ(LONG(Word(full.Bytes, 84)), kMinimum);
    EXPECT_EQ(LONG(Word(full.Bytes, 88)), kResolution);
    EXPECT_TRUE(full.GuardIntact());
    const Reply head = NodeReply(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kSupport, 91);
    EXPECT_EQ(head.Size, 40u);
    EXPECT_EQ(Word(head.Bytes, 32), 0u);
}

TEST_F(TopologyProperties, VendorSwitchesCarryOneValue)
{
    ASSERT_EQ(
        Build({Input(1, PIN_TYPE_STREAM), Switch(2, NODE_KIND_VENDOR_SWITCH, 1), Output(3, PIN_TYPE_SPK, 2)}),
        STATUS_SUCCESS);
    const Reply support = NodeReply(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kSupport, 64);
    EXPECT_EQ(support.Size, 40u);
    ExpectDescription(support, 0x203, 40, KSPROPTYPESETID_General, VT_BOOL, 0);
    Reply shortValue(3);
    EXPECT_EQ(NodeRequest(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kGet, &shortValue),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(shortValue.Untouched());
}

TEST_F(TopologyProperties, PinTypeSelectorListsReadsAndSetsTheOutputType)
{
    ASSERT_EQ(
        Build({Input(1, PIN_TYPE_STREAM), PinTypeSelector(2, 1, {PIN_TYPE_SPK, PIN_TYPE_HP, PIN_TYPE_LINE}),
               Output(3, PIN_TYPE_SPK, 2)}),
        STATUS_SUCCESS);
    ExpectSized(
        [&](Reply* r)
        { return NodeRequest(0, KSPROPSETID_PinTypeSelector, KSPROPERTY_PINTYPESELECTOR_LIST, kGet, r); },
        20);
    const Reply list = NodeReply(0, KSPROPSETID_PinTypeSelector, KSPROPERTY_PINTYPESELECTOR_LIST, kGet, 20);
    EXPECT_EQ(std::vector<ULONG>({Word(list.Bytes, 0), Word(list.Bytes, 4), Word(list.Bytes, 8),
                                  Word(list.Bytes, 12), Word(list.Bytes, 16)}),
              std::vector<ULONG>({20, 3, PIN_TYPE_SPK, PIN_TYPE_HP, PIN_TYPE_LINE}));
    EXPECT_TRUE(list.GuardIntact());

    EXPECT_EQ(GetU32(0, KSPROPSETID_PinTypeSelector, KSPROPERTY_PINTYPESELECTOR_CURRENT),
              ULONG(PIN_TYPE_SPK));
    EXPECT_EQ(SetU32(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, PIN_TYPE_HP), STATUS_SUCCESS);
    EXPECT_EQ(GetU32(0, KSPROPSETID_PinTypeSelector, KSPROPERTY_PINTYPESELECTOR_CURRENT), ULONG(PIN_TYPE_HP));
    EXPECT_EQ(SetU32(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, PIN_TYPE_MIC),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GetU32(0, KSPROPSETID_PinTypeSelector, KSPROPERTY_PINTYPESELECTOR_CURRENT), ULONG(PIN_TYPE_HP));

    const Reply support = NodeReply(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kSupport, 80);
    EXPECT_EQ(support.Size, 80u);
    ExpectDescription(support, 0x202, 80, KSPROPTYPESETID_General, VT_I4, 1);
    ExpectMembersHeader(support, KSPROPERTY_MEMBER_VALUES, 24, 1, 0);
    EXPECT_EQ(Word(support.Bytes, 56), 24u);
    EXPECT_TRUE(IsEqualGUID(GuidAt(support.Bytes, 60), NODENAME_PIN_TYPE_SELECTOR));
    EXPECT_EQ(Word(support.Bytes, 76), 0u);

    const PCPROPERTY_ITEM audioItem = {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kGet,
                                       PropertyHandlerDevSpecific};
    Reply get(4);
    ULONG channel = 0;
    EXPECT_EQ(CallHandler(&audioItem, 0, kGet, &channel, 4, &get), STATUS_INVALID_PARAMETER)
        << "the type is read through the selector set only";
    const PCPROPERTY_ITEM otherSet = {&KSPROPSETID_Jack, 1, kGet, PropertyHandlerDevSpecific};
    EXPECT_EQ(CallHandler(&otherSet, 0, kGet, &channel, 4, &get), STATUS_INVALID_PARAMETER);
    const PCPROPERTY_ITEM currentAsSet = {&KSPROPSETID_PinTypeSelector, KSPROPERTY_PINTYPESELECTOR_CURRENT,
                                          kSet, PropertyHandlerDevSpecific};
    EXPECT_EQ(CallHandler(&currentAsSet, 0, kSet, &channel, 4, &get), STATUS_INVALID_PARAMETER);
}

TEST_F(TopologyProperties, DefaultDevSpecificAcceptsSetsAndHasNothingToRead)
{
    ASSERT_EQ(Build({Input(1, PIN_TYPE_MIC), Selector(2, {1}), Output(3, PIN_TYPE_STREAM, 2)}),
              STATUS_SUCCESS);
    ASSERT_EQ(m_Descriptor->Nodes[0].AutomationTable, &SingleInputSelectorAutomation);
    Reply get(4);
    EXPECT_EQ(NodeRequest(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kGet, &get),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SetU32(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 42), STATUS_SUCCESS);
    const Reply full = NodeReply(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kSupport, 64);
    EXPECT_EQ(full.Size, 64u);
    ExpectDescription(full, 0x202, 64, KSPROPTYPESETID_General, VT_UI4, 1);
    ExpectMembersHeader(full, KSPROPERTY_MEMBER_RANGES, 8, 1, 0);
    EXPECT_EQ(Word(full.Bytes, 56), 0u);
    EXPECT_EQ(Word(full.Bytes, 60), 0xFFFFFFFFu);
    Reply tiny(3);
    EXPECT_EQ(NodeRequest(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kSupport, &tiny),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tiny.Size, 64u);
}

TEST_F(TopologyProperties, NodeNamesFollowTheNodeKind)
{
    const GUID ownName = {0xCAFEF00D, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    ASSERT_EQ(Build({GainPad(10, 0), PinTypeSelector(11, 0, {1}), Switch(12, NODE_KIND_VENDOR_SWITCH, 0),
                     Keep(gd::Make<mt::CTestEffectNode>(13u, ownName)), Switch(14, NODE_KIND_MUTE, 0),
                     Input(1, PIN_TYPE_STREAM), Output(2, PIN_TYPE_SPK, 1)}),
              STATUS_SUCCESS);
    struct Row
    {
        ULONG Id;
        const GUID* Name;
    };
    const Row rows[] = {{10, &NODENAME_INPUT_GAIN_PAD},
                        {11, &NODENAME_PIN_TYPE_SELECTOR},
                        {12, &NODENAME_VENDOR_SWITCH},
                        {13, &KSPROPSETID_EffectNode}};
    for (const Row& row : rows)
    {
        Reply reply(16);
        ASSERT_EQ(NodeRequest(KsNodeOf(row.Id), KSPROPSETID_NodeName, KSPROPERTY_NODENAME_NAME, kGet, &reply),
                  STATUS_SUCCESS)
            << "node " << row.Id;
        EXPECT_EQ(reply.Size, 16u);
        EXPECT_TRUE(IsEqualGUID(GuidAt(reply.Bytes, 0), *row.Name)) << "node " << row.Id;
        Reply shortName(15);
        EXPECT_EQ(
            NodeRequest(KsNodeOf(row.Id), KSPROPSETID_NodeName, KSPROPERTY_NODENAME_NAME, kGet, &shortName),
            STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(shortName.Untouched());
    }
    const PCPROPERTY_ITEM nameItem = {&KSPROPSETID_NodeName, KSPROPERTY_NODENAME_NAME, kGet,
                                      PropertyHandlerNodeName};
    Reply reply(16);
    EXPECT_EQ(CallHandler(&nameItem, KsNodeOf(14), kGet, nullptr, 0, &reply), STATUS_INVALID_PARAMETER)
        << "a mute node has no name";
    EXPECT_EQ(CallHandler(&nameItem, 99, kGet, nullptr, 0, &reply), STATUS_INVALID_PARAMETER);
}

class EffectProperties : public TopologyProperties
{
protected:
    void SetUp() override
    {
        TopologyProperties::SetUp();
        m_Effect = Keep(gd::Make<mt::CTestEffectNode>(2u, kName));
        ASSERT_EQ(m_Effect->SetSourceIdList(1, &kStream), STATUS_SUCCESS);
        ASSERT_EQ(Build({Input(1, PIN_TYPE_STREAM), m_Effect, Output(3, PIN_TYPE_SPK, 2)}), STATUS_SUCCESS);
    }
    NTSTATUS Effect(ULONG id, ULONG verb, std::vector<ULONG> instance, Reply* reply)
    {
        return Send(&EffectNodeAutomation, 0, KSPROPSETID_EffectNode, id, verb, instance.data(),
                    ULONG(instance.size() * sizeof(ULONG)), reply);
    }
    static constexpr GUID kName = {0x0E0E0E0E, 0x1111, 0x2222, {3, 3, 3, 3, 4, 4, 4, 4}};
    mt::CTestEffectNode* m_Effect = nullptr;
};

TEST_F(EffectProperties, NameCountParametersAndEnable)
{
    struct Row
    {
        ULONG Id;
        ULONG Needed;
    };
    for (Row row : {Row{KSPROPERTY_EFFECTNODE_NAME, 16}, Row{KSPROPERTY_EFFECTNODE_PARAMETER_COUNT, 4}})
        ExpectSized([&](Reply* r) { return Effect(row.Id, kGet, {}, r); }, row.Needed);
    Reply name(16);
    ASSERT_EQ(Effect(KSPROPERTY_EFFECTNODE_NAME, kGet, {}, &name), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(GuidAt(name.Bytes, 0), kName));
    EXPECT_TRUE(name.GuardIntact());
    Reply count(4);
    ASSERT_EQ(Effect(KSPROPERTY_EFFECTNODE_PARAMETER_COUNT, kGet, {}, &count), STATUS_SUCCESS);
    EXPECT_EQ(Word(count.Bytes, 0), 2u);

    // Parameter reads check the instance and the reply size.
    ExpectSized([&](Reply* r) { return Effect(KSPROPERTY_EFFECTNODE_PARAMETERS, kGet, {0, 2}, r); }, 16);
    Reply full(16);
    ASSERT_EQ(Effect(KSPROPERTY_EFFECTNODE_PARAMETERS, kGet, {0, 2}, &full), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(
                  {Word(full.Bytes, 0), Word(full.Bytes, 4), Word(full.Bytes, 8), Word(full.Bytes, 12)}),
              std::vector<ULONG>({16, 2, 7, 9}));
    EXPECT_TRUE(full.GuardIntact());
    Reply one(12);
    ASSERT_EQ(Effect(KSPROPERTY_EFFECTNODE_PARAMETERS, kGet, {1, 1}, &one), STATUS_SUCCESS);
    EXPECT_EQ(Word(one.Bytes, 8), 9u);

    const std::vector<std::vector<ULONG>> malformed = {
        {}, {0}, {1, 2}, {2, 1}, {0xFFFFFFFF, 2}, {0, 0x40000000}};
    for (const std::vector<ULONG>& instance : malformed)
    {
        Reply reply(64);
        EXPECT_EQ(Effect(KSPROPERTY_EFFECTNODE_PARAMETERS, kGet, instance, &reply), STATUS_INVALID_PARAMETER)
            << "instance of " << instance.size() << " words";
        EXPECT_TRUE(reply.Untouched());
    }

    ExpectSized([&](Reply* r) { return Effect(KSPROPERTY_EFFECTNODE_PARAMETER_INFO, kGet, {1}, r); }, 12);
    for (const std::vector<ULONG>& instance : {std::vector<ULONG>{}, std::vector<ULONG>{2}})
    {
        Reply reply(12);
        EXPECT_EQ(Effect(KSPROPERTY_EFFECTNODE_PARAMETER_INFO, kGet, instance, &reply),
                  STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(reply.Untouched());
    }
    Reply info(12);
    EXPECT_EQ(Effect(KSPROPERTY_EFFECTNODE_PARAMETER_INFO, kGet, {1}, &info), STATUS_INVALID_PARAMETER)
        << "no effect node describes its parameters";
    EXPECT_TRUE(info.GuardIntact());

    // Parameter writes need exactly their values.
    Reply none(0);
    ASSERT_EQ(Effect(KSPROPERTY_EFFECTNODE_PARAMETERS, kSet, {0, 2, 5, 6}, &none), STATUS_SUCCESS);
    ASSERT_EQ(Effect(KSPROPERTY_EFFECTNODE_PARAMETERS, kSet, {1, 1, 8}, &none), STATUS_SUCCESS);
    EXPECT_EQ(m_Effect->Sets, (std::vector<std::vector<ULONG>>{{0, 2, 5, 6}, {1, 1, 8}}));
    const std::vector<std::vector<ULONG>> badWrites = {
        {0, 2}, {0, 2, 5}, {0, 1, 5, 6}, {1, 2, 5, 6}, {2, 1, 5}, {0xFFFFFFFF, 1, 5}, {0, 0, 5}, {0}, {}};
    for (const std::vector<ULONG>& instance : badWrites)
        EXPECT_EQ(Effect(KSPROPERTY_EFFECTNODE_PARAMETERS, kSet, instance, &none), STATUS_INVALID_PARAMETER)
            << "instance of " << instance.size() << " words";
    EXPECT_EQ(m_Effect->Sets.size(), 2u) << "no badWrites write reached the node";
    const PCPROPERTY_ITEM nameAsSet = {&KSPROPSETID_EffectNode, KSPROPERTY_EFFECTNODE_NAME, kSet,
                                       PropertyHandlerDevSpecific};
    Reply value(16);
    EXPECT_EQ(CallHandler(&nameAsSet, 0, kSet, nullptr, 0, &value), STATUS_INVALID_PARAMETER);
    const PCPROPERTY_ITEM foreign = {&KSPROPSETID_Jack, 1, kGet, PropertyHandlerDevSpecific};
    EXPECT_EQ(CallHandler(&foreign, 0, kGet, nullptr, 0, &value), STATUS_UNSUCCESSFUL);

    // Enable is described as the effect's switch.
    const Reply support = NodeReply(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kSupport, 80);
    ExpectDescription(support, 0x202, 80, KSPROPTYPESETID_General, VT_BOOL, 1);
    EXPECT_TRUE(IsEqualGUID(GuidAt(support.Bytes, 60), KSPROPSETID_EffectNode));
}

TEST_F(TopologyProperties, EffectControlNodeRefusesParameters)
{
    ASSERT_EQ(Build({Input(1, PIN_TYPE_STREAM), EffectControl(2, 1), Output(3, PIN_TYPE_SPK, 2)}),
              STATUS_SUCCESS);
    Reply reply(8);
    std::vector<ULONG> run = {0, 0};
    EXPECT_EQ(Send(&EffectNodeAutomation, 0, KSPROPSETID_EffectNode, KSPROPERTY_EFFECTNODE_PARAMETERS, kGet,
                   run.data(), 8, &reply),
              STATUS_INVALID_PARAMETER);
}

// Pins: Stream 0 (no jacks), SPK 1 (two jacks).
TEST_F(TopologyProperties, JackRepliesAreSizedMappedWordByWordAndCheckTheirPin)
{
    std::vector<JackRecord> jacks = {mt::FullJack(3, 0x00FF00, 1, 2, 0, 0, 0, 1),
                                     mt::FullJack(12, 0x0000FF, 4, 7, 2, 3, JACK_FLAG_NO_PRESENCE_DETECT, 0)};
    ASSERT_EQ(Build({Input(1, PIN_TYPE_STREAM), Output(2, PIN_TYPE_SPK, 1, jacks)}), STATUS_SUCCESS);
    struct Row
    {
        const GUID* Set;
        ULONG Id;
        std::vector<ULONG> Words;
    };
    const Row rows[] = {
        {&KSPROPSETID_VendorAudio,
         KSPROPERTY_VENDORAUDIO_JACKS,
         {64, 2, /* jacks */ 3, 0x00FF00, 1, 2, 0, 0, 1, 12, 0x0000FF, 4, 7, 2, 3, 0}},
        {&KSPROPSETID_Jack,
         KSPROPERTY_JACK_DESCRIPTION2,
         {24, 2, 0, JACKDESC2_PRESENCE_DETECT_CAPABILITY, 0, 0}},
    };
    for (const Row& row : rows)
    {
        const ULONG size = ULONG(4 * row.Words.size());
        ExpectSized([&](Reply* r) { return PinRequest(1, *row.Set, row.Id, kGet, r); }, size);
        const Reply full = PinReply(1, *row.Set, row.Id, kGet, size);
        for (size_t w = 0; w < row.Words.size(); w++)
            EXPECT_EQ(Word(full.Bytes, 4 * w), row.Words[w]) << "word " << w;
        EXPECT_TRUE(full.GuardIntact());
    }

    // Basic support of a pin property is the bare description.
    for (const GUID* set : {&KSPROPSETID_Jack, &KSPROPSETID_PinGuids})
    {
        Reply tiny(3);
        EXPECT_EQ(PinRequest(1, *set, 1, kSupport, &tiny), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(tiny.Size, 0u);
        const Reply full = PinReply(1, *set, 1, kSupport, 48);
        EXPECT_EQ(full.Size, 40u);
        ExpectDescription(full, 0x201, 40, GUID_NULL, 0, 0);
        const Reply flags = PinReply(1, *set, 1, kSupport, 8);
        EXPECT_EQ(flags.Size, 4u);
        EXPECT_EQ(Word(flags.Bytes, 0), 0x201u);
    }

    // Requests the control panel cannot send: a short pin, a set, an id the handler lacks.
    Reply reply(64);
    const PCPROPERTY_ITEM* jackItem = nullptr;
    for (ULONG i = 0; i < FilterAutomation.PropertyCount; i++)
        if (IsEqualGUID(*FilterAutomation.Properties[i].Set, KSPROPSETID_Jack))
            jackItem = &FilterAutomation.Properties[i];
    ASSERT_NE(jackItem, nullptr);
    USHORT shortPin = 1;
    EXPECT_EQ(CallHandler(jackItem, ULONG(-1), kGet, &shortPin, sizeof(shortPin), &reply),
              STATUS_INVALID_DEVICE_REQUEST);
    ULONG pin = 1;
    EXPECT_EQ(CallHandler(jackItem, ULONG(-1), kSet, &pin, sizeof(pin), &reply),
              STATUS_INVALID_DEVICE_REQUEST);
    const PCPROPERTY_ITEM wrongId = {&KSPROPSETID_Jack, KSPROPERTY_JACK_SINK_INFO, kGet, PropertyHandlerJack};
    EXPECT_EQ(CallHandler(&wrongId, ULONG(-1), kGet, &pin, sizeof(pin), &reply),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(reply.Untouched());

    // No memory for the records fails the request.
    plat::FailAllocationsWithTag(MINIPORT_TOPOLOGY_TEMP_POOL_TAG);
    Reply records(64);
    EXPECT_EQ(PinRequest(1, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, kGet, &records),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(records.Size, 0u);
    plat::ClearPoolFailures();
}

TEST_F(TopologyProperties, JackRecordsTheTerminalLeavesUnwrittenReadAsZero)
{
    mt::CSparseJackTerminal* terminal = Keep(gd::Make<mt::CSparseJackTerminal>(2u));
    ULONG type = PIN_TYPE_SPK;
    std::vector<JackRecord> jacks = {mt::FullJack(3, 0x123456, 1, 2, 3, 1, 0, 1)};
    ASSERT_EQ(terminal->Init(1, 1, &type, 1, jacks.data()), STATUS_SUCCESS);
    ASSERT_EQ(Build({Input(1, PIN_TYPE_STREAM), terminal}), STATUS_SUCCESS);
    const Reply full = PinReply(1, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, kGet, 36);
    EXPECT_EQ(Word(full.Bytes, 8), 3u);
    for (size_t w = 3; w < 9; w++)
        EXPECT_EQ(Word(full.Bytes, 4 * w), 0u) << "word " << w << " comes from no jack";
}

TEST_F(TopologyProperties, PinGuidsAreTheTerminalsTwoGuids)
{
    const GUID guids[2] = {{0x01010101, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}},
                           {0x0F0F0F0F, 6, 7, {1, 1, 2, 2, 3, 3, 4, 4}}};
    CInputPinNode* pin = Keep(gd::Make<CInputPinNode>(1u));
    ASSERT_EQ(pin->InitInputPinNode(m_Entity, guids, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Build({pin, Output(2, PIN_TYPE_SPK, 1)}), STATUS_SUCCESS);
    ExpectSized([&](Reply* r)
                { return PinRequest(0, KSPROPSETID_PinGuids, KSPROPERTY_PINGUIDS_GUIDS, kGet, r); },
                32);
    const Reply full = PinReply(0, KSPROPSETID_PinGuids, KSPROPERTY_PINGUIDS_GUIDS, kGet, 32);
    EXPECT_TRUE(IsEqualGUID(GuidAt(full.Bytes, 0), guids[0]));
    EXPECT_TRUE(IsEqualGUID(GuidAt(full.Bytes, 16), guids[1]));
    EXPECT_TRUE(full.GuardIntact());
}

TEST_F(TopologyProperties, VendorVersionIsAConstant)
{
    BuildChain();
    Reply reply = PinReply(0, KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_VERSION, kGet, 4);
    EXPECT_EQ(Word(reply.Bytes, 0), 0x30000u);
    EXPECT_EQ(reply.Size, 4u);
    Reply shortReply(3);
    EXPECT_EQ(PinRequest(0, KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_VERSION, kGet, &shortReply),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(shortReply.Untouched());
    const PCPROPERTY_ITEM wrongId = {&KSPROPSETID_VendorAudio, 1, kGet, PropertyHandlerVendorVersion};
    ULONG pin = 0;
    EXPECT_EQ(CallHandler(&wrongId, ULONG(-1), kGet, &pin, 4, &reply), STATUS_INVALID_DEVICE_REQUEST);
}

// Every item of every table with every verb, short and odd buffers and instances: requests
// may fail, but a success never claims more than the buffer and nothing lands behind it.
TEST_F(TopologyProperties, NoRequestWritesPastItsBuffer)
{
    std::vector<JackRecord> jacks = {mt::FullJack(3, 0, 1, 2, 0, 0, 0, 1)};
    ASSERT_EQ(Build({Input(1, PIN_TYPE_STREAM), Volume(2, 1), Switch(3, NODE_KIND_MUTE, 2),
                     Selector(4, {3, 1}), GainPad(5, 4), Switch(6, NODE_KIND_VENDOR_SWITCH, 5),
                     PinTypeSelector(7, 6, {1, 2}), Keep(gd::Make<mt::CTestEffectNode>(8u, GUID_NULL)),
                     Tone(9, NODE_KIND_TREBLE, 7), Output(10, PIN_TYPE_SPK, 9, jacks)}),
              STATUS_SUCCESS);
    const ULONG verbs[] = {kGet, kSet, kSupport, 0, kGet | kSet, 0x80};
    const ULONG sizes[] = {0, 1, 3, 4, 7, 8, 15, 16, 39, 40, 41, 63, 64, 80, 87, 88, 91, 92};
    const ULONG instances[][4] = {{0, 0, 0, 0}, {1, 1, 5, 5}, {0xFFFFFFFF, 2, 0, 0}, {5, 0xFFFFFFFF, 0, 0}};
    const ULONG instanceSizes[] = {0, 2, 4, 8, 12, 16};
    int successes = 0;
    auto sweep = [&](const PCAUTOMATION_TABLE* table, ULONG node)
    {
        for (ULONG p = 0; table && p < table->PropertyCount; p++)
            for (ULONG verb : verbs)
                for (ULONG size : sizes)
                    for (const auto& instance : instances)
                        for (ULONG instanceSize : instanceSizes)
                        {
                            Reply reply(size);
                            CallHandler(&table->Properties[p], node, verb, instanceSize ? instance : nullptr,
                                        instanceSize, &reply);
                            ASSERT_TRUE(reply.GuardIntact()) << "item " << p << " of node " << node;
                            if (NT_SUCCESS(reply.Status))
                            {
                                successes++;
                                ASSERT_LE(reply.Size, size) << "item " << p << " of node " << node;
                            }
                        }
    };
    sweep(m_Descriptor->AutomationTable, ULONG(-1));
    for (ULONG node = 0; node <= m_Descriptor->NodeCount; node++)
        for (ULONG table = 0; table < m_Descriptor->NodeCount; table++)
            sweep(m_Descriptor->Nodes[table].AutomationTable, node);
    EXPECT_GT(successes, 100) << "the sweep reached working requests too";
}

} // namespace
