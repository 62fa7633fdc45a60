// The node kinds through the interfaces the miniport and the builders use: channel bounds,
// pin-type capping, terminals and their jacks, selectors, pin-type selectors, clocks, mixers
// in pin mode, effect and software-mute nodes, and what each answers to QueryInterface.
#include "support/node_test_doubles.h"

#include "driver/topology/nodes/boolean_node.h"
#include "driver/topology/nodes/clock_node.h"
#include "driver/topology/nodes/effect_node.h"
#include "driver/topology/nodes/level_node.h"
#include "driver/topology/nodes/mixer_node.h"
#include "driver/core/pin_type.h"
#include "driver/topology/nodes/pin_type_selector_node.h"
#include "driver/topology/nodes/selector_node.h"
#include "driver/topology/nodes/software_mute_node.h"
#include "driver/topology/nodes/terminal_node.h"

#include <cstring>

namespace
{

using gd::CFakeNode;
using gd::Log;
using gd::Make;
using nd::Drop;

class NodeKinds : public gd::LeakCheckedTest
{
};

template <class I> I* Query(PUNKNOWN unknown, REFIID id)
{
    I* out = nullptr;
    return NT_SUCCESS(unknown->QueryInterface(id, reinterpret_cast<PVOID*>(&out))) ? out : nullptr;
}

// Which of the node interfaces an object answers, as a string of letters.
std::string Answers(PUNKNOWN unknown)
{
    struct Row
    {
        const GUID* Id;
        char Letter;
    };
    // T terminal, B boolean, L level, P pin-type sink, S selector, M mixer, Y pin-type selector,
    // C clock, E effect, D dsp, X connection-index sync; every object must answer ITopologyNode.
    const Row rows[] = {
        {&IID_ITerminalNode, 'T'},    {&IID_IBooleanControl, 'B'},     {&IID_ILevelControl, 'L'},
        {&IID_IPinTypeSink, 'P'},     {&IID_ISelectorNode, 'S'},       {&IID_IMixerNode, 'M'},
        {&IID_IPinTypeSelector, 'Y'}, {&IID_IClockSourceNode, 'C'},    {&IID_IEffectNode, 'E'},
        {&IID_IDspNode, 'D'},         {&IID_IConnectionIndexSync, 'X'}};
    std::string letters;
    PUNKNOWN topology = Query<IUnknown>(unknown, IID_ITopologyNode);
    EXPECT_NE(topology, nullptr);
    if (topology)
        topology->Release();
    for (const Row& row : rows)
    {
        PUNKNOWN out = Query<IUnknown>(unknown, *row.Id);
        if (out)
        {
            letters += row.Letter;
            out->Release();
        }
    }
    return letters;
}

TEST_F(NodeKinds, EachClassAnswersItsOwnInterfaces)
{
    CBooleanNode* mute = New<CMuteNode>(1u);
    CLevelNode* volume = New<CVolumeNode>(2u);
    CInputTerminalNode* input = New<CInputTerminalNode>(3u);
    CSelectorNode* selector = New<CSelectorNode>(4u);
    CMixerNode* mixer = New<CMixerNode>(5u);
    CPinTypeSelectorNode* pinType = New<CPinTypeSelectorNode>(6u);
    CClockNode* clock = New<CClockNode>(7u);
    CEffectNode* effect = New<CEffectNode>(8u);
    CSoftwareMuteNode* soft = New<CSoftwareMuteNode>(9u);
    EXPECT_EQ(Answers(static_cast<IBooleanControl*>(mute)), "BP");
    EXPECT_EQ(Answers(static_cast<ILevelControl*>(volume)), "LP");
    EXPECT_EQ(Answers(static_cast<ITerminalNode*>(input)), "T");
    EXPECT_EQ(Answers(static_cast<ISelectorNode*>(selector)), "S");
    EXPECT_EQ(Answers(static_cast<IMixerNode*>(mixer)), "M");
    EXPECT_EQ(Answers(static_cast<IPinTypeSelector*>(pinType)), "Y");
    EXPECT_EQ(Answers(static_cast<IClockSourceNode*>(clock)), "C");
    EXPECT_EQ(Answers(static_cast<IEffectNode*>(effect)), "E");
    EXPECT_EQ(Answers(static_cast<IDspNode*>(soft)), "BPD");
    PVOID out = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(mute->QueryInterface(IID_IDspNode, &out), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out, nullptr);
}

TEST_F(NodeKinds, BooleanChannelsAreBelowTheCountAndLevelChannelsUpToIt)
{
    CBooleanNode* mute = New<CMuteNode>(1u);
    CLevelNode* volume = New<CVolumeNode>(2u);
    ASSERT_EQ(mute->Init(7, 2), STATUS_SUCCESS);
    ASSERT_EQ(volume->Init(7, 2, 0, -100, 1), STATUS_SUCCESS);
    UCHAR byte = 0;
    LONG level = 0;
    for (ULONG c = 0; c < 4; c++)
    {
        NTSTATUS expectBool = c < 2 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        NTSTATUS expectLevel = c <= 2 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        EXPECT_EQ(mute->SetValue(c, UCHAR(c + 1)), expectBool) << c;
        EXPECT_EQ(mute->GetValue(c, &byte), expectBool) << c;
        EXPECT_EQ(volume->SetLevel(c, LONG(c) - 50), expectLevel) << c;
        EXPECT_EQ(volume->GetLevel(c, &level), expectLevel) << c;
        if (c < 2)
        {
            EXPECT_EQ(byte, c + 1);
        }
        if (c <= 2)
        {
            EXPECT_EQ(level, LONG(c) - 50);
        }
    }
    EXPECT_EQ(mute->GetValue(0, nullptr), STATUS_INVALID_PARAMETER);
    LONG maximum = 1, minimum = 1, step = 0;
    EXPECT_EQ(volume->GetRange(&maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, 0);
    EXPECT_EQ(minimum, -100);
    EXPECT_EQ(step, 1);
    EXPECT_EQ(volume->GetRange(&maximum, nullptr, &step), STATUS_INVALID_PARAMETER);
    ULONG count = 0;
    EXPECT_EQ(mute->GetSourceIdList(&count, nullptr), STATUS_INVALID_PARAMETER);
    ULONG source = 0;
    count = 1;
    EXPECT_EQ(mute->GetSourceIdList(&count, &source), STATUS_SUCCESS);
    EXPECT_EQ(source, 7u);
}

TEST_F(NodeKinds, ChannelCountIsCappedAtTwoExceptForFullChannelPinTypes)
{
    CBooleanNode* mute = New<CMuteNode>(1u);
    CLevelNode* volume = New<CVolumeNode>(2u);
    ASSERT_EQ(mute->Init(0, 6), STATUS_SUCCESS);
    ASSERT_EQ(volume->Init(0, 6, 0, 0, 1), STATUS_SUCCESS);
    for (ULONG type = 0; type < PIN_TYPE_COUNT; type++)
    {
        ULONG expected = (type == 0 || type == 1 || type == 4 || type == 6) ? 6 : 2;
        EXPECT_EQ(mute->SetPinType(type, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(OUT_OF(ULONG, mute, GetChannelCount), expected) << "type " << type;
        EXPECT_EQ(volume->SetPinType(type, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(OUT_OF(ULONG, volume, GetChannelCount), expected) << "type " << type;
    }
    EXPECT_EQ(mute->GetChannelCount(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(NodeKinds, FailedInitAllocationLeavesNothingBehind)
{
    CBooleanNode* mute = New<CMuteNode>(1u);
    CLevelNode* volume = New<CVolumeNode>(2u);
    plat::FailAllocationsWithTag(MAKE_POOL_TAG('M', 'T', 'a', 'g'));
    plat::FailAllocationsWithTag(MAKE_POOL_TAG('V', 'T', 'a', 'g'));
    EXPECT_EQ(mute->Init(0, 2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(volume->Init(0, 2, 0, 0, 1), STATUS_INSUFFICIENT_RESOURCES);
    plat::ClearPoolFailures();
    UCHAR byte;
    EXPECT_EQ(mute->GetValue(0, &byte), STATUS_INVALID_PARAMETER);
    plat::FailAllocationsWithTag(MAKE_POOL_TAG('T', 'o', 'p', 'o'));
    EXPECT_EQ(mute->Init(0, 2), STATUS_INSUFFICIENT_RESOURCES) << "the source list failing frees the values";
    plat::ClearPoolFailures();
    EXPECT_EQ(plat::PoolLiveBlocks(MAKE_POOL_TAG('M', 'T', 'a', 'g')), 0u);
}

TEST_F(NodeKinds, TerminalPinTypesAndJacks)
{
    COutputTerminalNode* output = New<COutputTerminalNode>(4u);
    const ULONG types[] = {PIN_TYPE_SPK, PIN_TYPE_HP, PIN_TYPE_LINE};
    const JackRecord jacks[] = {nd::Jack(3, 0xFF0000), nd::Jack(12, 0x00FF00)};
    EXPECT_EQ(output->Init(9, 0, types, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(output->Init(9, 6, types, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(output->Init(9, 3, nullptr, 0, nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(output->Init(9, 3, types, 2, jacks), STATUS_SUCCESS);
    ULONG list[TERMINAL_MAX_PIN_TYPES] = {};
    EXPECT_EQ(OUT_OF(ULONG, output, GetPinType), ULONG(PIN_TYPE_SPK));
    EXPECT_EQ(output->GetPinTypes(list), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(list, list + 3), std::vector<ULONG>(types, types + 3));
    EXPECT_EQ(output->SetPinType(PIN_TYPE_MIC), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OUT_OF(ULONG, output, GetPinType), ULONG(PIN_TYPE_SPK))
        << "a refused type leaves the current one";
    EXPECT_EQ(output->SetPinType(PIN_TYPE_LINE), STATUS_SUCCESS);
    EXPECT_EQ(OUT_OF(ULONG, output, GetPinType), ULONG(PIN_TYPE_LINE));
    EXPECT_EQ(OUT_OF(ULONG, output, GetJackCount), 2u);
    // Copies the smaller of the room and the records; bytes past it stay as they were.
    for (ULONG room : {40u, 100u})
    {
        UCHAR buffer[100];
        std::memset(buffer, 0xEE, sizeof(buffer));
        EXPECT_EQ(output->GetJackDescriptions(room, buffer), STATUS_SUCCESS);
        ULONG copied = room < 72 ? room : 72;
        EXPECT_EQ(std::memcmp(buffer, jacks, copied), 0) << room;
        EXPECT_EQ(buffer[copied], 0xEE) << room;
    }
    UCHAR buffer[72];
    EXPECT_EQ(output->GetJackDescriptions(0, buffer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(output->GetJackDescriptions(72, nullptr), STATUS_INVALID_PARAMETER);
    GUID guids[2];
    EXPECT_EQ(output->GetPinGuids(guids), STATUS_SUCCESS);
    EXPECT_EQ(output->GetPinGuids(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(output->GetSourceCount(), 1u);
}

TEST_F(NodeKinds, TerminalWithoutJacksSucceedsAndHasNoDescriptions)
{
    CInputTerminalNode* input = New<CInputTerminalNode>(1u);
    const ULONG type = PIN_TYPE_MIC;
    EXPECT_EQ(input->Init(1, &type, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(OUT_OF(ULONG, input, GetJackCount), 0u);
    JackRecord record;
    EXPECT_EQ(input->GetJackDescriptions(sizeof(record), &record), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(input->GetSourceCount(), 0u);
    EXPECT_EQ(input->Init(1, &type, 1, nullptr), STATUS_INVALID_PARAMETER) << "jacks announced but not given";
}

TEST_F(NodeKinds, SelectorAcceptsInputsUpToItsCountAndTellsItsSinksInOrder)
{
    CSelectorNode* selector = Make<CSelectorNode>(4u);
    const ULONG sources[] = {10, 11, 12};
    ASSERT_EQ(selector->SetSourceIdList(3, sources), STATUS_SUCCESS);
    EXPECT_EQ(OUT_OF(ULONG, selector, GetSelectedInput), 1u) << "a new selector selects its first input";
    CFakeNode* first = New<CFakeNode>(20u, ULONG(NODE_KIND_MUTE));
    CFakeNode* refusing = New<CFakeNode>(21u, ULONG(NODE_KIND_MUTE));
    CFakeNode* last = New<CFakeNode>(22u, ULONG(NODE_KIND_MUTE));
    refusing->m_SinkStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(selector->AddSelectorSink(first), STATUS_SUCCESS);
    EXPECT_EQ(selector->AddSelectorSink(refusing), STATUS_SUCCESS);
    EXPECT_EQ(selector->AddSelectorSink(last), STATUS_SUCCESS);
    EXPECT_EQ(selector->AddSelectorSink(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(gd::RefCount(static_cast<IPinTypeSink*>(first)), 2u) << "the selector holds one reference";
    EXPECT_EQ(selector->SetSelectedInput(4), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(selector->SetSelectedInput(3), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{"expect 20 3", "expect 21 3"}));
    EXPECT_EQ(OUT_OF(ULONG, selector, GetSelectedInput), 3u);
    EXPECT_EQ(OUT_OF(ULONG, selector, GetInputCount), 3u);
    Drop(selector);
    EXPECT_EQ(gd::RefCount(static_cast<IPinTypeSink*>(first)), 1u) << "released with the selector";
}

TEST_F(NodeKinds, PinTypeSelectorNotifiesSinksOnlyOnARealChange)
{
    CPinTypeSelectorNode* node = New<CPinTypeSelectorNode>(6u);
    const ULONG types[] = {PIN_TYPE_SPK, PIN_TYPE_HP};
    EXPECT_EQ(node->SetPinType(PIN_TYPE_SPK), STATUS_INVALID_PARAMETER) << "no types yet";
    ASSERT_EQ(node->Init(3, 2, types), STATUS_SUCCESS);
    CFakeNode* a = New<CFakeNode>(30u, ULONG(NODE_KIND_MUTE));
    CFakeNode* b = New<CFakeNode>(31u, ULONG(NODE_KIND_MUTE));
    EXPECT_EQ(node->AddPinTypeSink(a), STATUS_SUCCESS);
    EXPECT_EQ(node->AddPinTypeSink(b), STATUS_SUCCESS);
    EXPECT_EQ(node->SetPinType(PIN_TYPE_SPK), STATUS_SUCCESS);
    EXPECT_EQ(node->IsPinTypeChanged(), 0u) << "a repeat is no change";
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(node->SetPinType(PIN_TYPE_LINE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->SetPinType(PIN_TYPE_HP), STATUS_SUCCESS);
    EXPECT_EQ(node->IsPinTypeChanged(), 1u);
    EXPECT_EQ(Log(), (std::vector<std::string>{"pintype 30 2", "pintype 31 2"}));
    EXPECT_EQ(OUT_OF(ULONG, node, GetPinType), ULONG(PIN_TYPE_HP));
    EXPECT_EQ(node->ClearPinTypeChanged(), STATUS_SUCCESS);
    EXPECT_EQ(node->IsPinTypeChanged(), 0u);
}

TEST_F(NodeKinds, ClockHoldsUpToThirtyRatesAndCopiesOnlyIntoEnoughRoom)
{
    CClockNode* clock = New<CClockNode>(12u);
    std::vector<ULONG> rates(31);
    for (ULONG i = 0; i < 31; i++)
        rates[i] = 8000 + 1000 * i;
    EXPECT_EQ(clock->Init(31, rates.data()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(clock->Init(2, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(clock->Init(30, rates.data()), STATUS_SUCCESS);
    std::vector<ULONG> out(30);
    ULONG room = 29;
    EXPECT_EQ(clock->GetSampleRates(&room, out.data()), STATUS_INVALID_PARAMETER);
    room = 30;
    EXPECT_EQ(clock->GetSampleRates(&room, out.data()), STATUS_SUCCESS);
    EXPECT_EQ(out, std::vector<ULONG>(rates.begin(), rates.begin() + 30));
    EXPECT_EQ(clock->SetSampleRate(48000), STATUS_SUCCESS);
    EXPECT_EQ(OUT_OF(ULONG, clock, GetSampleRate), 48000u);
    EXPECT_EQ(OUT_OF(UCHAR, clock, IsClockValid), 1);
    EXPECT_EQ(clock->GetSourceCount(), 0u);
}

TEST_F(NodeKinds, MixerInPinModeIsAStereoMixTerminalWithoutSources)
{
    CMixerNode* mixer = New<CMixerNode>(5u);
    const ULONG sources[] = {1, 2};
    ASSERT_EQ(mixer->SetSourceIdList(2, sources), STATUS_SUCCESS);
    EXPECT_EQ(Query<ITerminalNode>(static_cast<IMixerNode*>(mixer), IID_ITerminalNode), nullptr);
    EXPECT_EQ(mixer->SetPinMode(1), STATUS_SUCCESS);
    EXPECT_EQ(mixer->GetKind(), 0u);
    EXPECT_EQ(mixer->GetSourceCount(), 0u);
    ITerminalNode* terminal = Query<ITerminalNode>(static_cast<IMixerNode*>(mixer), IID_ITerminalNode);
    ASSERT_NE(terminal, nullptr);
    JackRecord jack = {};
    EXPECT_EQ(OUT_OF(ULONG, terminal, GetPinType), ULONG(PIN_TYPE_STEREOMIX));
    EXPECT_EQ(terminal->GetJackDescriptions(sizeof(jack), &jack), STATUS_SUCCESS);
    const ULONG expected[9] = {3, 0, 7, 14, 1, 1, 0, 1, 0};
    EXPECT_EQ(std::memcmp(&jack, expected, sizeof(expected)), 0);
    terminal->Release();
    EXPECT_EQ(mixer->SetPinMode(0), STATUS_SUCCESS);
    EXPECT_EQ(mixer->GetKind(), 5u);
    ULONG ids[2] = {};
    ULONG count = 2;
    EXPECT_EQ(mixer->GetSourceIdList(&count, ids), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(ids[1], 2u);
    plat::FailAllocationsWithTag(MAKE_POOL_TAG('T', 'o', 'p', 'o'));
    EXPECT_EQ(mixer->SetSourceIdList(2, sources), STATUS_INSUFFICIENT_RESOURCES)
        << "a source list that could not be stored is reported";
    plat::ClearPoolFailures();
}

TEST_F(NodeKinds, EffectBaseKeepsTheByteButCannotEnable)
{
    CEffectNode* effect = New<CEffectNode>(8u);
    EXPECT_EQ(effect->Init(2), STATUS_SUCCESS);
    EXPECT_EQ(effect->SetEnable(1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(OUT_OF(UCHAR, effect, GetEnable), 1);
    EXPECT_EQ(effect->GetEnable(nullptr), STATUS_UNSUCCESSFUL);
    ULONG values[2];
    EXPECT_EQ(effect->GetParameters(0, 1, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(effect->SetParameters(0, 1, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OUT_OF(ULONG, effect, GetParameterCount), 0u);
    EXPECT_EQ(effect->GetSourceCount(), 1u);
}

TEST_F(NodeKinds, SoftwareMuteTakesOneChannelOnly)
{
    CSoftwareMuteNode* soft = New<CSoftwareMuteNode>(9u);
    EXPECT_EQ(soft->Init(0, 2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(soft->Init(0, 1), STATUS_SUCCESS);
    SIZE_T blocks = plat::PoolLiveBlocks(MAKE_POOL_TAG('D', 'S', 'P', 's'));
    EXPECT_EQ(blocks, 1u);
    EXPECT_EQ(soft->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(soft->SetValue(1, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(soft->Spare1(), STATUS_NOT_IMPLEMENTED);
}

} // namespace
