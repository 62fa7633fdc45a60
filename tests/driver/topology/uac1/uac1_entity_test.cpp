// The class-1 terminals, selector and mixer units on simulated devices: pin types, jack
// records and jack state, terminal-type selection and its settings, the selector's requests,
// the mixer's sources, and device replies that announce more than they bring.
#include "support/uac1_entity_test_support.h"

#include "driver/core/pin_type.h"
#include "driver/topology/nodes/terminal_pin_type.h"

namespace
{

using uet::Seen;

constexpr uint8_t kVendorIn = 0xC1;
constexpr uint8_t kVendorOut = 0x41;

class Uac1Terminal : public uet::Uac1EntityRig
{
};

TEST(TerminalPinType, TerminalTypesMapToTheEndpointRoles)
{
    const struct
    {
        USHORT Type;
        ULONG Input;
        ULONG Output;
    } rows[] = {{0x0101, PIN_TYPE_LINE, PIN_TYPE_SPK},        {0x0201, PIN_TYPE_MIC, PIN_TYPE_SPK},
                {0x0202, PIN_TYPE_FMIC, PIN_TYPE_SPK},        {0x0301, PIN_TYPE_LINE, PIN_TYPE_SPK},
                {0x0302, PIN_TYPE_HP, PIN_TYPE_HP},           {0x0401, PIN_TYPE_HANDSET, PIN_TYPE_HANDSET},
                {0x0402, PIN_TYPE_HEADSET, PIN_TYPE_HEADSET}, {0x0601, PIN_TYPE_LINE, PIN_TYPE_LINE},
                {0x0603, PIN_TYPE_LINE, PIN_TYPE_LINE},       {0x0605, PIN_TYPE_SPDIF, PIN_TYPE_SPDIF}};
    for (const auto& row : rows)
    {
        EXPECT_EQ(InputTerminalPinType(row.Type), row.Input) << std::hex << row.Type;
        EXPECT_EQ(OutputTerminalPinType(row.Type), row.Output) << std::hex << row.Type;
    }
}

TEST_F(Uac1Terminal, InputTerminalPinTypesFollowTheTerminalType)
{
    Start("uac1-speaker");
    const struct
    {
        USHORT Type;
        ULONG PinType;
    } rows[] = {{0x0101, PIN_TYPE_STREAM},  {0x0204, PIN_TYPE_MIC},          {0x0401, PIN_TYPE_HANDSET},
                {0x0402, PIN_TYPE_HEADSET}, {0x0404, PIN_TYPE_SPEAKERPHONE}, {0x0601, PIN_TYPE_AUX},
                {0x0603, PIN_TYPE_LINE},    {0x0605, PIN_TYPE_SPDIF},        {0x0710, PIN_TYPE_AUX}};
    for (const auto& row : rows)
    {
        std::vector<UCHAR> d = {0x0C, 0x24, 0x02, 0x01, UCHAR(row.Type), UCHAR(row.Type >> 8), 0, 2,
                                3,    0,    0,    0};
        CUac1InputTerminal* terminal = nullptr;
        ASSERT_EQ(Build(d, &terminal), STATUS_SUCCESS) << std::hex << row.Type;
        ULONG type = 99, count = 0;
        ASSERT_EQ(terminal->GetPinType(&type), STATUS_SUCCESS);
        EXPECT_EQ(type, row.PinType) << std::hex << row.Type;
        EXPECT_EQ(terminal->SetPinType(row.PinType), STATUS_SUCCESS);
        EXPECT_EQ(terminal->SetPinType(row.PinType + 1), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(terminal->GetPinTypeCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(count, 1u);
        // The builder asks for the capture endpoint of the terminal type's role.
        EXPECT_EQ(fdt::g_Created.CapsLookups.back(),
                  std::make_pair(ULONG(1), InputTerminalPinType(row.Type)));
    }
    EXPECT_EQ(Kinds(), std::vector<ULONG>(9, NODE_KIND_INPUT_TERMINAL));
}

TEST_F(Uac1Terminal, InputJacksComeFromTheJackBlockAndTheJackState)
{
    Start("uac1-mixer");
    CUac1InputTerminal* mic = nullptr;
    CUac1InputTerminal* line = nullptr;
    CUac1InputTerminal* usb = nullptr;
    ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_INPUT_TERMINAL, 1), &usb), STATUS_SUCCESS);
    EXPECT_TRUE(Requests().empty()); // a streaming terminal has no jacks to ask for
    ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_INPUT_TERMINAL, 4), &mic), STATUS_SUCCESS);
    std::vector<Seen> expected = {
        {kVendorIn, 0x81, 0x02FF, 0x0400, 9, {}}, // jack block head
        {kVendorIn, 0x81, 0x02FF, 0x0400, 9, {}}, // the whole block: 1 x 8 + 1
        {kVendorIn, 0x81, 0x0200, 0x0400, 6, {}}, // jack state, as the pin node copies the jacks
    };
    EXPECT_EQ(Requests(), expected);
    ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_INPUT_TERMINAL, 7), &line), STATUS_SUCCESS);

    JackRecord jack = {};
    ULONG count = 0;
    ASSERT_EQ(mic->GetJackCount(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);
    ASSERT_EQ(mic->GetJackDescriptions(sizeof(jack), &jack), STATUS_SUCCESS);
    // 0x02016000: orange, connection type 1, front; presence is sensed.
    EXPECT_EQ(jack.ChannelMapping, 1u);
    EXPECT_EQ(jack.Color, 0xFF8000u);
    EXPECT_EQ(jack.ConnectionType, 1u);
    EXPECT_EQ(jack.GeoLocation, 2u);
    EXPECT_EQ(jack.GenLocation, 0u);
    EXPECT_EQ(jack.Flags, 0u);
    EXPECT_EQ(jack.IsConnected, 1u);
    ASSERT_TRUE(Model().AudioControl().SetJackConnected(4, false));
    ASSERT_EQ(mic->GetJackDescriptions(sizeof(jack), &jack), STATUS_SUCCESS);
    EXPECT_EQ(jack.IsConnected, 0u);
    EXPECT_EQ(mic->GetJackDescriptions(sizeof(jack) - 1, &jack), STATUS_INVALID_PARAMETER);

    // 0x01012100: grey, rear, wired as always connected: reported plugged in though the jack
    // state says otherwise, and marked as unable to sense.
    ASSERT_EQ(line->GetJackDescriptions(sizeof(jack), &jack), STATUS_SUCCESS);
    EXPECT_EQ(jack.ChannelMapping, 3u);
    EXPECT_EQ(jack.Color, 0x808080u);
    EXPECT_EQ(jack.Flags, JACK_FLAG_NO_PRESENCE_DETECT);
    EXPECT_EQ(jack.IsConnected, 1u);
    // A failed jack-state read is still reported connected for such a jack.
    StallMatching(0x81, 7);
    EXPECT_EQ(line->GetJackDescriptions(sizeof(jack), &jack), STATUS_SUCCESS);

    // The pin node carries the same jacks and refreshes them on a status report.
    ULONG id = 0;
    Model().AudioControl().SetFaults(sim::AudioControlFaults());
    ASSERT_TRUE(Model().AudioControl().SetJackConnected(4, true));
    ASSERT_EQ(mic->OnStatusInterrupt(0, 0, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, 1u);
    ITerminalNode* pin = NodeAs<ITerminalNode>(1, IID_ITerminalNode);
    ASSERT_EQ(pin->GetJackDescriptions(sizeof(jack), &jack), STATUS_SUCCESS);
    EXPECT_EQ(jack.IsConnected, 1u);
    EXPECT_EQ(usb->GetJackDescriptions(sizeof(jack), &jack), STATUS_INVALID_PARAMETER);
}

TEST_F(Uac1Terminal, SwitchableOutputGetsOnePinNodePerTypeAndAPinTypeNode)
{
    Start("uac1-mixer");
    CUac1OutputTerminal* out = nullptr;
    ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_OUTPUT_TERMINAL, 3), &out), STATUS_SUCCESS);
    std::vector<Seen> expected = {
        {kVendorIn, 0x81, 0x0800, 0x0300, 2, {}},            // current terminal type
        {kVendorIn, 0x86, 0x0800, 0x0300, 2, {}},            // list count
        {kVendorIn, 0x86, 0x0800, 0x0300, 14, {}},           // 2 x 6 + 2
        {kVendorOut, 0x81, 0x0800, 0x0300, 2, {0x01, 0x03}}, // speaker selected, its jacks
        {kVendorIn, 0x81, 0x02FF, 0x0300, 9, {}},
        {kVendorIn, 0x81, 0x02FF, 0x0300, 9, {}},
        {kVendorOut, 0x81, 0x0800, 0x0300, 2, {0x02, 0x03}}, // headphones selected, its jacks
        {kVendorIn, 0x81, 0x02FF, 0x0300, 9, {}},
        {kVendorIn, 0x81, 0x02FF, 0x0300, 9, {}},
        {kVendorOut, 0x81, 0x0800, 0x0300, 2, {0x01, 0x03}}, // back to the start type
        {kVendorIn, 0x81, 0x0200, 0x0300, 6, {}},            // the speaker pin's jack state
    };
    EXPECT_EQ(Requests(), expected);
    EXPECT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_OUTPUT_TERMINAL, NODE_KIND_OUTPUT_TERMINAL,
                                           NODE_KIND_PIN_TYPE_SELECTOR}));
    EXPECT_EQ(fdt::g_Created.CapsLookups,
              (std::vector<std::pair<ULONG, ULONG>>{{0, PIN_TYPE_SPK}, {0, PIN_TYPE_HP}}));
    ULONG types[TERMINAL_MAX_PIN_TYPES] = {};
    ULONG count = 0, current = 0;
    ASSERT_EQ(out->GetPinTypeCount(&count), STATUS_SUCCESS);
    ASSERT_EQ(out->GetPinTypes(types), STATUS_SUCCESS);
    ASSERT_EQ(out->GetPinType(&current), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(types[0], ULONG(PIN_TYPE_SPK));
    EXPECT_EQ(types[1], ULONG(PIN_TYPE_HP));
    EXPECT_EQ(current, ULONG(PIN_TYPE_SPK));

    // Each pin index has its own jacks; the one not selected follows "SetJackConnect".
    JackRecord jack = {};
    ASSERT_EQ(out->GetJackDescriptionsAt(0, sizeof(jack), &jack), STATUS_SUCCESS);
    EXPECT_EQ(jack.Color, 0x00FF00u);
    EXPECT_EQ(jack.IsConnected, 1u);
    ASSERT_EQ(out->GetJackDescriptionsAt(1, sizeof(jack), &jack), STATUS_SUCCESS);
    EXPECT_EQ(jack.Color, 0x0000FFu);
    EXPECT_EQ(jack.IsConnected, 0u);
    SaveSetting(u"SetJackConnect", 1);
    ASSERT_EQ(out->GetJackDescriptionsAt(1, sizeof(jack), &jack), STATUS_SUCCESS);
    EXPECT_EQ(jack.IsConnected, 1u);
    EXPECT_EQ(out->GetJackDescriptionsAt(2, sizeof(jack), &jack), STATUS_INVALID_PARAMETER);

    // The pin-type node switches the device and the choice is kept.
    Model().ClearLog();
    IPinTypeSelector* selector = NodeAs<IPinTypeSelector>(2, IID_IPinTypeSelector);
    ASSERT_EQ(selector->SetPinType(PIN_TYPE_HP), STATUS_SUCCESS);
    EXPECT_EQ(Requests().front(), (Seen{kVendorOut, 0x81, 0x0800, 0x0300, 2, {0x02, 0x03}}));
    EXPECT_EQ(Model().AudioControl().CurrentTerminalType(3), 0x0302);
    ULONG saved = 0;
    ASSERT_TRUE(ReadSetting(u"UACUnit03", &saved));
    EXPECT_EQ(saved, ULONG(PIN_TYPE_HP));
    EXPECT_EQ(fdt::g_Created.Updates, std::vector<ULONG>{3});
    EXPECT_EQ(out->SetPinType(PIN_TYPE_LINE), STATUS_UNSUCCESSFUL);
}

TEST_F(Uac1Terminal, RefusedTerminalTypeSelectionIsReturnedAndChangesNothing)
{
    Start("uac1-mixer");
    CUac1OutputTerminal* out = nullptr;
    ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_OUTPUT_TERMINAL, 3), &out), STATUS_SUCCESS);
    StallMatching(0x81, 3);
    EXPECT_FALSE(NT_SUCCESS(out->SetPinType(PIN_TYPE_HP)));
    ULONG current = 0, saved = 0;
    ASSERT_EQ(out->GetPinType(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, ULONG(PIN_TYPE_SPK));
    EXPECT_FALSE(ReadSetting(u"UACUnit03", &saved));
    EXPECT_EQ(Model().AudioControl().CurrentTerminalType(3), 0x0301);
    // Through the pin-type node the refusal comes back too, and the node keeps its type.
    IPinTypeSelector* selector = NodeAs<IPinTypeSelector>(2, IID_IPinTypeSelector);
    EXPECT_FALSE(NT_SUCCESS(selector->SetPinType(PIN_TYPE_HP)));
    ASSERT_EQ(selector->GetPinType(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, ULONG(PIN_TYPE_SPK));
}

// (saved pin type or -1, "INITOTTYPEBYSEL", the device's type at power-up, the start type).
TEST_F(Uac1Terminal, StartTypeComesFromTheSavedChoiceOrTheDevice)
{
    const struct
    {
        LONG Saved;
        ULONG BySelection;
        USHORT DeviceType;
        ULONG Expected;
    } rows[] = {
        {-1, 0, 0x0302, PIN_TYPE_SPK},            // the descriptor's type (first: nothing saved yet)
        {PIN_TYPE_HP, 0, 0x0301, PIN_TYPE_HP},    // the saved one, though the device says speaker
        {PIN_TYPE_HP, 1, 0x0301, PIN_TYPE_SPK},   // the device decides
        {PIN_TYPE_LINE, 0, 0x0302, PIN_TYPE_SPK}, // a saved type the terminal does not offer
    };
    Start("uac1-mixer");
    for (const auto& row : rows)
    {
        plat::RegCreateKeyPath(SettingsPath());
        if (row.Saved >= 0)
            SaveSetting(u"UACUnit03", ULONG(row.Saved));
        SaveSetting(u"INITOTTYPEBYSEL", row.BySelection);
        ASSERT_TRUE(Model().AudioControl().SetCurrentTerminalType(3, row.DeviceType));
        Model().ClearLog();
        CUac1OutputTerminal* out = nullptr;
        ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_OUTPUT_TERMINAL, 3), &out), STATUS_SUCCESS);
        ULONG current = 99;
        ASSERT_EQ(out->GetPinType(&current), STATUS_SUCCESS);
        EXPECT_EQ(current, row.Expected) << row.Saved << " " << row.BySelection;
        EXPECT_EQ(Model().AudioControl().CurrentTerminalType(3),
                  row.Expected == PIN_TYPE_HP ? 0x0302 : 0x0301);
    }
}

TEST_F(Uac1Terminal, StatusReportFollowsATypeTheDeviceSwitchedToItself)
{
    Start("uac1-mixer");
    CUac1OutputTerminal* out = nullptr;
    ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_OUTPUT_TERMINAL, 3), &out), STATUS_SUCCESS);
    ASSERT_TRUE(Model().AudioControl().SetCurrentTerminalType(3, 0x0302));
    ULONG id = 0, current = 0, saved = 0;
    ASSERT_EQ(out->OnStatusInterrupt(0, 0, &id), STATUS_SUCCESS);
    ASSERT_EQ(out->GetPinType(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, ULONG(PIN_TYPE_HP));
    ASSERT_TRUE(ReadSetting(u"UACUnit03", &saved));
    EXPECT_EQ(saved, ULONG(PIN_TYPE_HP));
    ASSERT_EQ(NodeAs<IPinTypeSelector>(2, IID_IPinTypeSelector)->GetPinType(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, ULONG(PIN_TYPE_HP));
}

TEST_F(Uac1Terminal, OutputWithoutATypeListOffersItsDescriptorTypeOnly)
{
    Start("uac1-headset");
    CUac1OutputTerminal* hp = nullptr;
    CUac1OutputTerminal* usb = nullptr;
    ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_OUTPUT_TERMINAL, 3), &hp), STATUS_SUCCESS);
    ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_OUTPUT_TERMINAL, 7), &usb), STATUS_SUCCESS);
    EXPECT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_OUTPUT_TERMINAL, NODE_KIND_OUTPUT_TERMINAL}));
    ULONG type = 0, count = 0;
    ASSERT_EQ(hp->GetPinType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(PIN_TYPE_HP));
    ASSERT_EQ(usb->GetPinType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(PIN_TYPE_STREAM));
    ASSERT_EQ(usb->GetJackCountAt(0, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    ULONG sources[1] = {}, room = 1;
    ASSERT_EQ(usb->GetSourceIdList(&room, sources), STATUS_SUCCESS);
    EXPECT_EQ(sources[0], 6u);
}

// Device replies that announce more than they carry fail the build instead of being read past.
TEST_F(Uac1Terminal, RepliesShorterThanTheirCountsFailTheBuild)
{
    Start("uac1-mixer");
    sim::AudioControlFaults faults;
    faults.ShortReplyMatching = true;
    faults.ShortMatch.Request = 0x86;
    faults.ShortMatch.Target = 3;
    faults.ShortReplyBytes = 8; // the list head says 2 types; one entry arrives
    Model().AudioControl().SetFaults(faults);
    EXPECT_EQ(Build<CUac1OutputTerminal>(Descriptor(USB_AUDIO_AC_OUTPUT_TERMINAL, 3)), STATUS_UNSUCCESSFUL);

    // The jack block's head says 1 jack; the block itself comes back with the count alone.
    RewriteControl(
        [](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
        {
            if (setup.Value == 0x02FF && (setup.Index >> 8) == 4 && setup.Length == 9 &&
                answer->Data.size() == 9)
            {
                static int calls = 0;
                if (++calls % 2 == 0)
                    answer->Data.resize(1);
            }
        });
    Model().AudioControl().SetFaults(sim::AudioControlFaults());
    EXPECT_EQ(Build<CUac1InputTerminal>(Descriptor(USB_AUDIO_AC_INPUT_TERMINAL, 4)), STATUS_UNSUCCESSFUL);
    RewriteControl(nullptr);
    EXPECT_EQ(m_pHost->GetNodeCount(), 0u);
}

TEST_F(Uac1Terminal, MalformedTerminalAndUnitDescriptorsFailBeforeAnythingIsRead)
{
    Start("uac1-mixer");
    struct Row
    {
        const char* Name;
        int Kind; // 2 input, 3 output, 4 mixer, 5 selector
        std::vector<UCHAR> Bytes;
        NTSTATUS Expected;
    };
    const Row rows[] = {
        {"input terminal without its type", 2, {0x05, 0x24, 0x02, 0x04, 0x01}, STATUS_UNSUCCESSFUL},
        {"output terminal without its source",
         3,
         {0x07, 0x24, 0x03, 0x03, 0x01, 0x03, 0x00},
         STATUS_UNSUCCESSFUL},
        {"selector with more inputs than bytes",
         5,
         {0x07, 0x24, 0x05, 0x09, 0x05, 0x05, 0x0B},
         STATUS_UNSUCCESSFUL},
        {"mixer with more inputs than bytes",
         4,
         {0x07, 0x24, 0x04, 0x08, 0x09, 0x01, 0x05},
         STATUS_UNSUCCESSFUL},
        {"bLength 0", 5, {0x00, 0x24, 0x05, 0x09, 0x01, 0x05, 0x00}, STATUS_UNSUCCESSFUL},
        {"mixer bytes given to a selector",
         5,
         {0x07, 0x24, 0x04, 0x08, 0x01, 0x01, 0x00},
         STATUS_INVALID_PARAMETER},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Name);
        Model().ClearLog();
        NTSTATUS status = row.Kind == 2   ? Build<CUac1InputTerminal>(row.Bytes)
                          : row.Kind == 3 ? Build<CUac1OutputTerminal>(row.Bytes)
                          : row.Kind == 4 ? Build<CUac1MixerUnit>(row.Bytes)
                                          : Build<CUac1SelectorUnit>(row.Bytes);
        EXPECT_EQ(status, row.Expected);
        EXPECT_TRUE(Requests().empty());
    }
    EXPECT_EQ(m_pHost->GetNodeCount(), 0u);
}

class Uac1Unit : public uet::Uac1EntityRig
{
};

TEST_F(Uac1Unit, SelectorReadsAndSelectsItsInputWithClassRequests)
{
    Start("uac1-mixer");
    CUac1SelectorUnit* unit = nullptr;
    ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_SELECTOR_UNIT, 9), &unit), STATUS_SUCCESS);
    EXPECT_EQ(unit->GetId(), 9u);
    EXPECT_EQ(unit->GetKind(), ULONG(USB_AUDIO_AC_SELECTOR_UNIT));
    ULONG sources[3] = {}, room = 3;
    ASSERT_EQ(unit->GetSourceIdList(&room, sources), STATUS_SUCCESS);
    ASSERT_EQ(room, 2u);
    EXPECT_EQ(sources[0], 5u);
    EXPECT_EQ(sources[1], 11u);
    EXPECT_EQ(Requests(), (std::vector<Seen>{{0xA1, 0x81, 0x0000, 0x0900, 1, {}}}));

    ISelectorNode* node = NodeAs<ISelectorNode>(0, IID_ISelectorNode);
    EXPECT_EQ(Node(0)->GetKind(), ULONG(NODE_KIND_SELECTOR));
    ULONG input = 0;
    ASSERT_EQ(node->GetSelectedInput(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 2u); // the profile's line input
    Model().ClearLog();
    ASSERT_EQ(node->SetSelectedInput(1), STATUS_SUCCESS);
    EXPECT_EQ(unit->SetSelectedInput(3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->SetSelectedInput(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Requests(), (std::vector<Seen>{{0x21, 0x01, 0x0000, 0x0900, 1, {0x01}}}));
    EXPECT_EQ(uet::Uac1EntityRig::DeviceValue(9, 1, 0), 1);

    StallMatching(0x01, 9);
    EXPECT_FALSE(NT_SUCCESS(node->SetSelectedInput(2)));
    ASSERT_EQ(node->GetSelectedInput(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 1u);
}

TEST_F(Uac1Unit, MixerGetsOneMixerNodeWithASlotPerInput)
{
    Start("uac1-mixer");
    CUac1MixerUnit* unit = nullptr;
    ASSERT_EQ(Build(Descriptor(USB_AUDIO_AC_MIXER_UNIT, 8), &unit), STATUS_SUCCESS);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(unit->GetId(), 8u);
    EXPECT_EQ(unit->GetKind(), ULONG(USB_AUDIO_AC_MIXER_UNIT));
    EXPECT_EQ(unit->GetSourceCount(), 2u);
    ASSERT_EQ(Kinds(), std::vector<ULONG>{NODE_KIND_MIXER});
    EXPECT_EQ(Node(0)->GetSourceCount(), 2u);
    ULONG id = 99;
    EXPECT_EQ(unit->OnStatusInterrupt(0, 0, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, 0u);
}

} // namespace
