// What the class-1 walk tells about a device it refuses (one debug message that names the entity
// or descriptor and the reason, status unchanged), a quirk row, and the boundaries of the
// identification read and of the capture format list.
#include "support/uac1_test_support.h"

#include "driver/core/pin_type.h"

#include <filesystem>

namespace
{

using namespace u1t;
using B = Uac1Builder;
using Uac1WalkRefusal = Uac1Rig;

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string WithControl(std::vector<std::vector<uint8_t>> control, uint16_t vendor = 0xFFF1)
{
    Uac1Builder b = SpeakerSet();
    b.VendorId = vendor;
    b.ProductId = vendor == 0xFFF1 ? 0x0101 : 0x0A04;
    b.Control = std::move(control);
    return b.Profile();
}

std::string WithStream(std::vector<std::vector<uint8_t>> stream)
{
    Uac1Builder b = SpeakerSet();
    b.Streams = {std::move(stream)};
    return b.Profile();
}

// A shared dump with the identification string the walk needs; empty when the dumps are absent.
std::string Dump(const char* file)
{
    std::filesystem::path path =
        std::filesystem::path(UACSIM_SOURCE_DIR) / ".." / "shared" / "real-devices" / file;
    return std::filesystem::exists(path) ? "dump " + path.string() + "\nstring 0x50 \"0100-DUMP\"\n" : "";
}

// The speaker, and a capture path whose selector takes more microphones at once than the walk's
// path ring holds.
std::string WideCaptureSelector()
{
    Uac1Builder b = SpeakerSet();
    std::vector<uint8_t> microphones;
    for (uint8_t id = 10; id < 31; ++id)
    {
        b.Control.push_back(B::InputTerminal(id, 0x0201, 1));
        microphones.push_back(id);
    }
    b.Control.push_back(B::Selector(40, microphones));
    b.Control.push_back(B::OutputTerminal(41, 0x0101, 40));
    b.Streams.push_back({B::General(41), B::Format(1, 1, 2, 16, {48000}), B::IsoEndpoint(0x82)});
    return b.Profile();
}

TEST_F(Uac1WalkRefusal, EveryRefusalSaysWhyInOneMessage)
{
    const std::vector<uint8_t> it = B::InputTerminal(1, 0x0101, 2), ot = B::OutputTerminal(3, 0x0301, 2);
    const std::string speaker = SpeakerSet().Profile();
    const struct
    {
        std::string Profile;
        NTSTATUS Status;
        const char* Reason;
    } cases[] = {
        {Replace(speaker, "string 0x50 \"0100-B\"\n", ""), STATUS_UNSUCCESSFUL,
         "has no identification string"},
        {WithControl({it, {8, 0x24, 6, 2, 1, 1, 0x02, 0}, ot}), STATUS_NOT_SUPPORTED,
         "feature unit 2 has no mute control"},
        {WithControl({it, {13, 0x24, 7, 2, 1, 0, 1, 1, 2, 3, 0, 0, 0}, ot}), STATUS_UNSUCCESSFUL,
         "processing unit 2 is not supported"},
        {Replace(speaker, "09 04 01 00 00 01 02 00 00", "09 04 01 00 00 01 02 20 00"),
         STATUS_INVALID_PARAMETER,
         "audio-streaming interface 1 is of release 2.0, but the first audio-control interface 0 is a "
         "release-1.0 function whose header lists interface 1 (audio streaming)"},
        {WithControl({it, B::MuteUnit(2, 4), B::MuteUnit(4, 2), ot}), STATUS_UNSUCCESSFUL, "in a loop"},
        // Two input pins need 6 + 2 bytes; the last (iSelector) is missing.
        {WithControl({it, {7, 0x24, 5, 2, 2, 1, 1}, ot}), STATUS_UNSUCCESSFUL,
         "the descriptor of selector unit 2 is too short (7 bytes)"},
        {WithStream({B::General(9), B::Format(1, 2, 2, 16, {48000})}), STATUS_UNSUCCESSFUL,
         "links terminal 9, which the audio-control interface does not define"},
        {WithStream({B::General(1, 0x1002), B::Format(3, 2, 2, 16, {48000})}), STATUS_UNSUCCESSFUL,
         "tag 0x1002, which is no pass-through format"},
        {WithControl({it, B::MuteUnit(2, 1), ot}, 0x1B1C), STATUS_UNSUCCESSFUL,
         "must have output terminal 16"},
        // A limit of the walk, not of memory.
        {WideCaptureSelector(), STATUS_NOT_SUPPORTED,
         "the signal path of streaming interface 2 branches into more than 20 sources at once"},
        {Dump("dev02-uac1.bin"), STATUS_NOT_SUPPORTED, "feature unit 2 has no mute control"},
        {Dump("dev05-uac1.bin"), STATUS_NOT_SUPPORTED, "feature unit 2 has no mute control"},
        {Dump("dev09-uac1.bin"), STATUS_UNSUCCESSFUL, "extension unit 4 is not supported"},
        {Dump("dev21-uac1-2.bin"), STATUS_INVALID_PARAMETER,
         "the first audio-control interface 0 is a release-1.0 function whose header lists interface 1 (MIDI "
         "streaming); interface 3 belongs to the audio function of interfaces 2 to 4 (protocol 0x20) under "
         "its "
         "own interface association"},
    };
    for (const auto& c : cases)
    {
        if (c.Profile.empty())
            continue;
        SCOPED_TRACE(c.Reason);
        Plug(c.Profile);
        EXPECT_EQ(StartUsbDevice(), c.Status);
        ASSERT_EQ(plat::DebugLog().size(), 1u) << plat::DebugLogText();
        EXPECT_NE(plat::DebugLog()[0].find(c.Reason), std::string::npos) << plat::DebugLogText();
        TearDown();
        SetUp();
    }
}

// Vendor 0x1B1C's speaker terminal 16 is its headphone jack; another vendor's stays a speaker.
TEST_F(Uac1WalkRefusal, HeadphoneQuirkAmendsOnlyItsVendorsTerminal)
{
    for (uint16_t vendor : {0x1B1C, 0xFFF1})
    {
        Uac1Builder b = SpeakerSet();
        b.VendorId = vendor;
        b.Control = {B::InputTerminal(1, 0x0101, 2), B::MuteUnit(2, 1), B::OutputTerminal(16, 0x0301, 2)};
        Plug(b.Profile());
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        EXPECT_EQ(Stream(0)->GetPinType(), ULONG(vendor == 0x1B1C ? PIN_TYPE_HP : PIN_TYPE_SPK)) << vendor;
        TearDown();
        SetUp();
    }
}

// Read only as far as it arrived (the sanitizer build fails on any write past the 104-byte
// buffer), the long string still names the bridge model whose record the device gets.
TEST_F(Uac1WalkRefusal, IdentificationLongerThanTheReadBufferIsCutAtTheBytesReceived)
{
    Plug(Replace(SpeakerSet().Profile(), "string 0x50 \"0100-B\"",
                 "string 0x50 \"3864" + std::string(116, 'x') + "\"\nvendor 0xC3 2 0x51 0 data 1F"));
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EndpointCaps caps = {};
    ASSERT_EQ(Function()->GetEndpointCapsByType(0, PIN_TYPE_SPK, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Mask, 0x3E10A0u);
}

// Capture formats below four channels come twice (placed, then unplaced); from four on, once.
TEST_F(Uac1WalkRefusal, CaptureChannelCountBoundaryOfTheFormatList)
{
    for (uint8_t channels : {3, 4})
    {
        Uac1Builder b;
        b.Control = {B::InputTerminal(1, 0x0201, channels), B::MuteUnit(2, 1),
                     B::OutputTerminal(3, 0x0101, 2)};
        b.Streams = {{B::General(3), B::Format(1, channels, 2, 16, {44100, 48000}),
                      B::IsoEndpoint(0x82, B::kFullSpeedMaxPacket)}};
        Plug(b.Profile());
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        EXPECT_EQ(Formats(Stream(0)).size(), channels < 4 ? 4u : 2u) << int(channels);
        TearDown();
        SetUp();
    }
}

} // namespace
