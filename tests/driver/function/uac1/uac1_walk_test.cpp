// The class-1 descriptor walk on the simulated stack: entities, node ids and wiring, streams
// with their formats, software nodes, and descriptor sets that must be refused cleanly.
#include "support/uac1_test_support.h"

#include "ksmedia.h"
#include "driver/core/pin_type.h"
#include "driver/wave/uac1_capture_stream.h"
#include "driver/wave/uac1_render_stream.h"

#include <algorithm>
#include <filesystem>
#include <memory>

namespace
{

using namespace u1t;

// The 40 bytes of an extensible PCM record, written out field by field.
std::vector<uint8_t> ExtensibleBytes(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t mask,
                                     uint32_t subformatTag = 1)
{
    uint16_t block = uint16_t(channels * bits / 8);
    uint32_t average = block * rate;
    std::vector<uint8_t> b;
    auto put = [&b](uint64_t value, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            b.push_back(uint8_t(value >> (8 * i)));
    };
    put(0xFFFE, 2);
    put(channels, 2);
    put(rate, 4);
    put(average, 4);
    put(block, 2);
    put(bits, 2);
    put(22, 2);
    put(bits, 2);
    put(mask, 4);
    put(subformatTag, 4);
    const uint8_t tail[] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    b.insert(b.end(), tail, tail + sizeof(tail));
    return b;
}

std::vector<uint8_t> Bytes(const WAVEFORMATEXTENSIBLE& format)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&format);
    return std::vector<uint8_t>(p, p + sizeof(format));
}

class Uac1Walk : public Uac1Rig
{
};

TEST_F(Uac1Walk, SpeakerProfileBuildsEntitiesNodesAndOneRenderStream)
{
    Plug("uac1-speaker");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    CUac1Device* function = Function();
    ASSERT_NE(function, nullptr);
    const ULONG expectedKinds[][2] = {{1, 2}, {2, 6}, {3, 3}};
    for (const auto& entity : expectedKinds)
    {
        CUsbEntityNode* found = nullptr;
        ASSERT_EQ(function->FindChildById(entity[0], &found), STATUS_SUCCESS) << entity[0];
        EXPECT_EQ(found->GetKind(), entity[1]);
    }
    CUsbEntityNode* missing = nullptr;
    EXPECT_EQ(function->FindChildById(4, &missing), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(missing, nullptr);

    // IT1 -> pin node 0; FU2 -> mute 1 and volume 2 (volume takes the input); OT3 -> pin node 3.
    std::vector<NodeInfo> nodes = Nodes();
    ASSERT_EQ(nodes.size(), 4u);
    const ULONG kinds[] = {NODE_KIND_INPUT_TERMINAL, NODE_KIND_MUTE, NODE_KIND_VOLUME,
                           NODE_KIND_OUTPUT_TERMINAL};
    for (ULONG i = 0; i < 4; ++i)
    {
        EXPECT_EQ(nodes[i].Id, i);
        EXPECT_EQ(nodes[i].Kind, kinds[i]) << i;
    }
    EXPECT_EQ(nodes[2].Sources, std::vector<ULONG>{0});
    EXPECT_EQ(nodes[1].Sources, std::vector<ULONG>{2});
    EXPECT_EQ(nodes[3].Sources, std::vector<ULONG>{1});

    ASSERT_EQ(m_pCommon->GetStreamCount(), 1u);
    IStreamEngine* stream = Stream(0);
    EXPECT_EQ(stream->GetKind(), STREAM_DIRECTION_RENDER);
    EXPECT_EQ(stream->GetPinType(), ULONG(PIN_TYPE_SPK));
    EXPECT_EQ(static_cast<CUac1RenderStream*>(stream)->GetPinNodeId(), 0u);
    EXPECT_EQ(StreamNodes(stream).size(), 4u);

    // The edge case of the walk: discrete 44.1 and 48 kHz, two 16-bit channels, byte for byte;
    // then the 24-bit pair of alternate setting 2.
    std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(stream);
    ASSERT_EQ(formats.size(), 4u);
    EXPECT_EQ(Bytes(formats[0]), ExtensibleBytes(2, 44100, 16, 0x3));
    EXPECT_EQ(Bytes(formats[1]), ExtensibleBytes(2, 48000, 16, 0x3));
    EXPECT_EQ(Bytes(formats[2]), ExtensibleBytes(2, 44100, 24, 0x3));
    EXPECT_EQ(Bytes(formats[3]), ExtensibleBytes(2, 48000, 24, 0x3));
}

TEST_F(Uac1Walk, HeadsetProfileBuildsRenderAndMonoCaptureStreams)
{
    Plug("uac1-headset");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    std::vector<NodeInfo> nodes = Nodes();
    // IT1, FU2 (2), OT3, IT4, FU5 (2), SU6, OT7: node ids run in descriptor order.
    const ULONG kinds[] = {0, 2, 3, 1, 0, 2, 3, 4, 1};
    ASSERT_EQ(nodes.size(), RTL_NUMBER_OF(kinds));
    for (ULONG i = 0; i < nodes.size(); ++i)
    {
        EXPECT_EQ(nodes[i].Id, i);
        EXPECT_EQ(nodes[i].Kind, kinds[i]) << i;
    }
    // The selector node takes the microphone unit's output node, the streaming pin the selector.
    EXPECT_EQ(nodes[7].Sources, std::vector<ULONG>{5});
    EXPECT_EQ(nodes[8].Sources, std::vector<ULONG>{7});

    ASSERT_EQ(m_pCommon->GetStreamCount(), 2u);
    IStreamEngine* render = Stream(0);
    IStreamEngine* capture = Stream(1);
    EXPECT_EQ(render->GetKind(), STREAM_DIRECTION_RENDER);
    EXPECT_EQ(render->GetPinType(), ULONG(PIN_TYPE_HP));
    EXPECT_EQ(capture->GetKind(), STREAM_DIRECTION_CAPTURE);
    EXPECT_EQ(capture->GetPinType(), ULONG(PIN_TYPE_MIC));
    EXPECT_EQ(static_cast<CUac1CaptureStream*>(capture)->GetPinNodeId(), 8u);
    std::vector<ULONG> captureIds;
    for (const NodeInfo& node : StreamNodes(capture))
        captureIds.push_back(node.Id);
    std::sort(captureIds.begin(), captureIds.end());
    EXPECT_EQ(captureIds, (std::vector<ULONG>{4, 5, 6, 7, 8}));

    // Mono capture: front centre, then the same rates again without a channel position.
    std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(capture);
    ASSERT_EQ(formats.size(), 4u);
    EXPECT_EQ(Bytes(formats[0]), ExtensibleBytes(1, 44100, 16, 0x4));
    EXPECT_EQ(Bytes(formats[1]), ExtensibleBytes(1, 48000, 16, 0x4));
    EXPECT_EQ(Bytes(formats[2]), ExtensibleBytes(1, 44100, 16, 0));
    EXPECT_EQ(Bytes(formats[3]), ExtensibleBytes(1, 48000, 16, 0));
}

TEST_F(Uac1Walk, MixerProfileRendersThroughTheMixerAndCapturesThroughTheSelector)
{
    Plug("uac1-mixer");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ASSERT_EQ(m_pCommon->GetStreamCount(), 2u);
    IStreamEngine* render = Stream(0);
    IStreamEngine* capture = Stream(1);
    std::vector<NodeInfo> all = Nodes();
    auto kindOf = [&all](ULONG id)
    {
        for (const NodeInfo& node : all)
            if (node.Id == id)
                return node.Kind;
        return ULONG(~0u);
    };
    // Render: from the speaker's pins back to the mixer, which is on the path but not passed.
    bool renderHasMixer = false;
    bool renderHasMic = false;
    for (const NodeInfo& node : StreamNodes(render))
    {
        renderHasMixer = renderHasMixer || node.Kind == NODE_KIND_MIXER;
        renderHasMic = renderHasMic || node.Kind == NODE_KIND_AGC;
    }
    EXPECT_TRUE(renderHasMixer);
    EXPECT_FALSE(renderHasMic);
    // A speaker terminal that switches types has a pin-type selector, which names the stream.
    bool pinTypeNode = false;
    for (const NodeInfo& node : StreamNodes(render))
        pinTypeNode = pinTypeNode || node.Kind == NODE_KIND_PIN_TYPE_SELECTOR;
    EXPECT_TRUE(pinTypeNode);
    EXPECT_EQ(render->GetPinType(), ULONG(PIN_TYPE_SPK));

    // Capture reaches both inputs through the selector: microphone and line.
    bool hasSelector = false;
    ULONG inputs = 0;
    for (const NodeInfo& node : StreamNodes(capture))
    {
        hasSelector = hasSelector || node.Kind == NODE_KIND_SELECTOR;
        inputs += node.Kind == NODE_KIND_INPUT_TERMINAL && kindOf(node.Id) == NODE_KIND_INPUT_TERMINAL;
    }
    EXPECT_TRUE(hasSelector);
    EXPECT_EQ(inputs, 2u);
    EXPECT_EQ(capture->GetPinType(), ULONG(PIN_TYPE_REC));

    std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(capture);
    ASSERT_EQ(formats.size(), 4u);
    EXPECT_EQ(Bytes(formats[0]), ExtensibleBytes(2, 44100, 16, 0x3));
    EXPECT_EQ(Bytes(formats[1]), ExtensibleBytes(2, 48000, 16, 0x3));
    EXPECT_EQ(Bytes(formats[2]), ExtensibleBytes(2, 44100, 16, 0));
    EXPECT_EQ(Bytes(formats[3]), ExtensibleBytes(2, 48000, 16, 0));
}

TEST_F(Uac1Walk, TerminalWiredStraightToTerminalGetsSoftwareMute)
{
    Uac1Builder b;
    b.Control = {Uac1Builder::InputTerminal(1, 0x0101, 2), Uac1Builder::OutputTerminal(3, 0x0301, 1)};
    b.Streams = {
        {Uac1Builder::General(1), Uac1Builder::Format(1, 2, 2, 16, {48000}), Uac1Builder::IsoEndpoint(1)}};
    Plug(b.Profile());
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    std::vector<NodeInfo> nodes = Nodes();
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[2].Id, 2u); // the device's node count when it was made
    EXPECT_EQ(nodes[2].Kind, ULONG(NODE_KIND_MUTE));
    EXPECT_EQ(nodes[2].Sources, std::vector<ULONG>{0});
    EXPECT_EQ(nodes[1].Sources, std::vector<ULONG>{2}); // the speaker now listens to the mute
    EXPECT_EQ(StreamNodes(Stream(0)).size(), 3u);
}

struct FormatCase
{
    const char* Name;
    std::vector<uint8_t> Format;
    bool Capture;
    std::vector<uint32_t> Rates; // expected, in order
    std::vector<uint32_t> Masks; // expected masks, one per rate pass
    uint16_t Tag;
};

TEST_F(Uac1Walk, FormatTypeDescriptorsExpandAsExpected)
{
    const FormatCase cases[] = {
        {"continuous 8-48k",
         Uac1Builder::Format(1, 2, 2, 16, {8000, 48000}, true),
         false,
         {8000, 11025, 16000, 22050, 32000, 44100, 48000},
         {0x3},
         1},
        {"continuous 44.1k only",
         Uac1Builder::Format(1, 2, 2, 16, {44100, 44100}, true),
         false,
         {44100},
         {0x3},
         1},
        {"continuous reversed",
         Uac1Builder::Format(1, 2, 2, 16, {96000, 88200}, true),
         false,
         {88200, 96000},
         {0x3},
         1},
        {"six channel render", Uac1Builder::Format(1, 6, 2, 16, {48000}), false, {48000}, {0x3F}, 1},
        {"six channel capture", Uac1Builder::Format(1, 6, 2, 16, {48000}), true, {48000}, {0x0}, 1},
        // Full speed carries no 24-bit octets at 48 kHz (1,152 bytes a frame).
        {"eight channel render", Uac1Builder::Format(1, 8, 2, 16, {48000}), false, {48000}, {0x63F}, 1},
        {"IEEE float type I tag", Uac1Builder::Format(1, 2, 4, 32, {48000}), false, {48000}, {0x3}, 3},
        {"IEEE float tag on 2-byte subframes",
         Uac1Builder::Format(1, 2, 2, 16, {48000}),
         false,
         {},
         {0x3},
         3},
        {"undefined type I tag taken as PCM",
         Uac1Builder::Format(1, 2, 2, 16, {48000}),
         false,
         {48000},
         {0x3},
         0},
    };
    for (const FormatCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        Uac1Builder b;
        if (c.Capture)
        {
            b.Control = {Uac1Builder::InputTerminal(1, 0x0201, 2), Uac1Builder::MuteUnit(2, 1),
                         Uac1Builder::OutputTerminal(3, 0x0101, 2)};
            b.Streams = {{Uac1Builder::General(3, c.Tag), c.Format,
                          Uac1Builder::IsoEndpoint(0x82, Uac1Builder::kFullSpeedMaxPacket)}};
        }
        else
        {
            b = SpeakerSet();
            b.Streams = {{Uac1Builder::General(1, c.Tag), c.Format,
                          Uac1Builder::IsoEndpoint(0x01, Uac1Builder::kFullSpeedMaxPacket)}};
        }
        Plug(b.Profile());
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(Stream(0));
        ASSERT_EQ(formats.size(), c.Rates.size() * c.Masks.size());
        size_t at = 0;
        for (uint32_t mask : c.Masks)
            for (uint32_t rate : c.Rates)
            {
                const WAVEFORMATEXTENSIBLE& f = formats[at++];
                EXPECT_EQ(f.Format.nSamplesPerSec, rate);
                EXPECT_EQ(f.dwChannelMask, mask);
                EXPECT_EQ(f.Format.nAvgBytesPerSec, rate * f.Format.nBlockAlign);
                EXPECT_TRUE(IsEqualGUIDAligned(f.SubFormat, c.Tag == 3 ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
                                                                       : KSDATAFORMAT_SUBTYPE_PCM));
            }
        TearDown();
        SetUp();
    }
}

TEST_F(Uac1Walk, TypeThreePassThroughGivesAc3ThenWmaProPerRate)
{
    Uac1Builder b = SpeakerSet();
    b.Streams = {{Uac1Builder::General(1, 0x2001), Uac1Builder::Format(3, 2, 2, 16, {44100, 48000}),
                  Uac1Builder::IsoEndpoint(0x01)}};
    Plug(b.Profile());
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(Stream(0));
    ASSERT_EQ(formats.size(), 4u);
    EXPECT_EQ(Bytes(formats[0]), ExtensibleBytes(2, 44100, 16, 0x3, 0x92));
    EXPECT_EQ(Bytes(formats[1]), ExtensibleBytes(2, 44100, 16, 0x3, 0x164));
    EXPECT_EQ(Bytes(formats[2]), ExtensibleBytes(2, 48000, 16, 0x3, 0x92));
    EXPECT_EQ(Bytes(formats[3]), ExtensibleBytes(2, 48000, 16, 0x3, 0x164));
}

TEST_F(Uac1Walk, DiscreteRateCountPastTheDescriptorReadsOnlyTheRatesItHolds)
{
    Uac1Builder b = SpeakerSet();
    std::vector<uint8_t> format = Uac1Builder::Format(1, 2, 2, 16, {44100, 48000});
    format[7] = 5; // announces five rates, holds two
    b.Streams = {{Uac1Builder::General(1), format, Uac1Builder::IsoEndpoint(0x01)}};
    Plug(b.Profile());
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(Stream(0));
    ASSERT_EQ(formats.size(), 2u);
    EXPECT_EQ(formats[1].Format.nSamplesPerSec, 48000u);
}

struct RefusedCase
{
    const char* Name;
    Uac1Builder Set;
    NTSTATUS Expected;
};

Uac1Builder With(Uac1Builder b, std::vector<std::vector<uint8_t>> control)
{
    b.Control = std::move(control);
    return b;
}
Uac1Builder WithStream(Uac1Builder b, std::vector<std::vector<uint8_t>> stream)
{
    b.Streams = {std::move(stream)};
    return b;
}

TEST_F(Uac1Walk, MalformedOrUnsupportedDescriptorSetsAreRefusedCleanly)
{
    using B = Uac1Builder;
    const Uac1Builder s = SpeakerSet();
    const std::vector<uint8_t> it = B::InputTerminal(1, 0x0101, 2);
    const std::vector<uint8_t> ot = B::OutputTerminal(3, 0x0301, 2);
    std::vector<uint8_t> shortUnit = B::MuteUnit(2, 1);
    shortUnit.resize(6);
    shortUnit[0] = 6;
    std::vector<uint8_t> shortTerminal = it;
    shortTerminal.resize(8);
    shortTerminal[0] = 8;
    std::vector<uint8_t> selectorPastEnd = B::Selector(2, {1});
    selectorPastEnd[4] = 5;
    std::vector<uint8_t> zeroControlSize = B::MuteUnit(2, 1);
    zeroControlSize[5] = 0;
    const std::vector<uint8_t> processing = {13, 0x24, 7, 2, 1, 0, 1, 1, 2, 3, 0, 0, 0};
    const std::vector<uint8_t> extension = {13, 0x24, 8, 2, 1, 0, 1, 1, 2, 3, 0, 0, 0};
    const RefusedCase cases[] = {
        {"processing unit", With(s, {it, processing, ot}), STATUS_UNSUCCESSFUL},
        {"extension unit", With(s, {it, extension, ot}), STATUS_UNSUCCESSFUL},
        {"cycle between units", With(s, {it, B::MuteUnit(2, 4), B::MuteUnit(4, 2), ot}), STATUS_UNSUCCESSFUL},
        {"cycle through the terminal", With(s, {it, B::MuteUnit(2, 3), ot}), STATUS_UNSUCCESSFUL},
        {"short feature unit", With(s, {it, shortUnit, ot}), STATUS_UNSUCCESSFUL},
        {"short input terminal", With(s, {shortTerminal, B::MuteUnit(2, 1), ot}), STATUS_UNSUCCESSFUL},
        {"selector count past its end", With(s, {it, selectorPastEnd, ot}), STATUS_UNSUCCESSFUL},
        {"feature unit without control size", With(s, {it, zeroControlSize, ot}), STATUS_UNSUCCESSFUL},
        {"format before general", WithStream(s, {B::Format(1, 2, 2, 16, {48000}), B::General(1)}),
         STATUS_INVALID_PARAMETER},
        {"format type II", WithStream(s, {B::General(1), B::Format(2, 2, 2, 16, {48000})}),
         STATUS_INVALID_PARAMETER},
        {"link to a unit", WithStream(s, {B::General(2), B::Format(1, 2, 2, 16, {48000})}),
         STATUS_INVALID_PARAMETER},
        {"link to nothing", WithStream(s, {B::General(9), B::Format(1, 2, 2, 16, {48000})}),
         STATUS_UNSUCCESSFUL},
        {"range above 96 kHz", WithStream(s, {B::General(1), B::Format(1, 2, 2, 16, {44100, 192000}, true)}),
         STATUS_INVALID_PARAMETER},
        {"range without a table rate",
         WithStream(s, {B::General(1), B::Format(1, 2, 2, 16, {50000, 60000}, true)}), STATUS_UNSUCCESSFUL},
        {"type III without pass-through tag",
         WithStream(s, {B::General(1, 0x1002), B::Format(3, 2, 2, 16, {48000})}), STATUS_UNSUCCESSFUL},
        {"zero channels", WithStream(s, {B::General(1), B::Format(1, 0, 2, 16, {48000})}),
         STATUS_INVALID_PARAMETER},
    };
    for (const RefusedCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        Plug(c.Set.Profile());
        EXPECT_EQ(StartUsbDevice(), c.Expected);
        TearDown();
        SetUp();
    }
}

// Byte-level faults the profile loader itself refuses are handed to the walks directly, on a
// started device, inside a buffer the sanitizers watch.
TEST_F(Uac1Walk, WalksRefuseZeroAndOverlongLengthsWithoutReadingPastTheBuffer)
{
    Plug("uac1-speaker");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    CUac1Device* function = Function();
    const std::vector<uint8_t> acInterface = {9, 4, 0, 0, 0, 1, 1, 0, 0};
    const std::vector<std::vector<uint8_t>> tails = {
        {0, 0x24, 2, 9},                      // bLength 0
        {1, 0x24},                            // bLength 1
        {12, 0x24, 2, 9, 1, 1, 0, 2},         // overlong: 12 announced, 8 present
        {9, 0x24, 1, 0, 1, 9, 0, 0, 0, 0xFF}, // header, then one stray byte
    };
    for (const auto& tail : tails)
    {
        std::vector<uint8_t> bytes = acInterface;
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
        std::memcpy(exact.get(), bytes.data(), bytes.size());
        EXPECT_EQ(function->CreateTopologyNodes(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(exact.get()),
                                                ULONG(bytes.size())),
                  STATUS_UNSUCCESSFUL);
    }
    // A wrong class, or an interface shorter than nine bytes.
    std::vector<uint8_t> wrong = {9, 4, 0, 0, 0, 1, 2, 0, 0};
    EXPECT_EQ(function->CreateTopologyNodes(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(wrong.data()), 9),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(function->CreateTopologyNodes(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(wrong.data()), 8),
              STATUS_INVALID_PARAMETER);

    // A streaming interface whose descriptors end in a zero length, inside a configuration.
    std::vector<uint8_t> config = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 1, 0, 0, 1, 2, 0, 0, 0, 0x24, 1};
    config[2] = uint8_t(config.size());
    std::unique_ptr<uint8_t[]> exact(new uint8_t[config.size()]);
    std::memcpy(exact.get(), config.data(), config.size());
    EXPECT_EQ(function->CreateStreams(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(exact.get()),
                                      reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(exact.get() + 9),
                                      ULONG(config.size() - 9)),
              STATUS_UNSUCCESSFUL);
}

// As dumped (no identification string: refused), and with one, so the walk runs.
TEST_F(Uac1Walk, RealClassOneDumpsWalkOrAreRefusedCleanly)
{
    int walked = 0;
    bool any = rig::ForEachRealDump(
        [&](const std::string& path)
        {
            for (bool withString : {false, true})
            {
                SCOPED_TRACE(withString ? "with string" : "as dumped");
                Plug("dump " + path + "\n" + (withString ? "string 0x50 \"0100-DUMP\"\n" : ""));
                NTSTATUS status = StartUsbDevice();
                EXPECT_TRUE(withString || !NT_SUCCESS(status));
                if (NT_SUCCESS(status) && Function())
                {
                    ++walked;
                    EXPECT_GT(Function()->GetStreamCount() + Function()->GetNodeCount(), 0u);
                    EXPECT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
                }
                RemoveAndCheck();
                SetUp();
            }
        });
    if (!any)
        GTEST_SKIP() << "no real-device dumps";
    EXPECT_GT(walked, 0) << "no class-1 dump walked";
}

} // namespace
