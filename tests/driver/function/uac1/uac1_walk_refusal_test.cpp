// What the class-1 walk tells about a device it refuses (one debug message that names the entity
// or descriptor and the reason, status unchanged), the quirk rows of the models it knows, and the
// boundaries of the identification read and of the capture format list.
#include "support/uac1_test_support.h"

#include "driver/topology/nodes/pin_type.h"

#include <algorithm>
#include <filesystem>

namespace
{

using namespace u1t;
using B = Uac1Builder;

class Uac1WalkRefusal : public Uac1Rig
{
protected:
    // Starts the device from profile text; on a refusal the debug log must hold exactly one line,
    // which names the reason.
    void ExpectRefused(const std::string& profile, NTSTATUS expected, const std::string& reason)
    {
        Plug(profile);
        EXPECT_EQ(StartUsbDevice(), expected);
        const std::vector<std::string> log = plat::DebugLog();
        ASSERT_EQ(log.size(), 1u) << plat::DebugLogText();
        EXPECT_NE(log[0].find(reason), std::string::npos) << log[0];
    }
    void Restart()
    {
        TearDown();
        SetUp();
    }
};

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

Uac1Builder WithControl(std::vector<std::vector<uint8_t>> control)
{
    Uac1Builder b = SpeakerSet();
    b.Control = std::move(control);
    return b;
}

Uac1Builder WithStream(std::vector<std::vector<uint8_t>> stream)
{
    Uac1Builder b = SpeakerSet();
    b.Streams = {std::move(stream)};
    return b;
}

struct RefusalCase
{
    const char* Name;
    std::string Profile;
    NTSTATUS Status;
    const char* Reason;
};

TEST_F(Uac1WalkRefusal, EveryRefusalSaysWhyInOneMessage)
{
    const std::vector<uint8_t> it = B::InputTerminal(1, 0x0101, 2);
    const std::vector<uint8_t> ot = B::OutputTerminal(3, 0x0301, 2);
    const std::vector<uint8_t> volumeOnly = {8, 0x24, 6, 2, 1, 1, 0x02, 0};
    const std::vector<uint8_t> extension = {13, 0x24, 8, 2, 1, 0, 1, 1, 2, 3, 0, 0, 0};
    const std::vector<uint8_t> processing = {13, 0x24, 7, 2, 1, 0, 1, 1, 2, 3, 0, 0, 0};
    Uac1Builder twoOutputModel = SpeakerSet();
    twoOutputModel.VendorId = 0x1B1C;
    twoOutputModel.ProductId = 0x0A04;
    const std::string speaker = SpeakerSet().Profile();
    const RefusalCase cases[] = {
        {"no identification string", Replace(speaker, "string 0x50 \"0100-B\"\n", ""), STATUS_UNSUCCESSFUL,
         "no identification string"},
        {"feature unit without mute", WithControl({it, volumeOnly, ot}).Profile(),
         STATUS_INSUFFICIENT_RESOURCES, "feature unit 2 has no mute control"},
        {"extension unit", WithControl({it, extension, ot}).Profile(), STATUS_UNSUCCESSFUL,
         "extension unit 2 is not supported"},
        {"processing unit", WithControl({it, processing, ot}).Profile(), STATUS_UNSUCCESSFUL,
         "processing unit 2 is not supported"},
        {"release-2.0 streaming interface",
         Replace(speaker, "09 04 01 00 00 01 02 00 00", "09 04 01 00 00 01 02 20 00"),
         STATUS_INVALID_PARAMETER,
         "audio-streaming interface 1 is a release-2.0 interface under a release-1.0"},
        {"units in a loop", WithControl({it, B::MuteUnit(2, 4), B::MuteUnit(4, 2), ot}).Profile(),
         STATUS_UNSUCCESSFUL, "in a loop"},
        {"link to nothing", WithStream({B::General(9), B::Format(1, 2, 2, 16, {48000})}).Profile(),
         STATUS_UNSUCCESSFUL, "links terminal 9, which the audio-control interface does not define"},
        {"format before general", WithStream({B::Format(1, 2, 2, 16, {48000}), B::General(1)}).Profile(),
         STATUS_INVALID_PARAMETER, "format before its general descriptor"},
        {"range above 96 kHz",
         WithStream({B::General(1), B::Format(1, 2, 2, 16, {44100, 192000}, true)}).Profile(),
         STATUS_INVALID_PARAMETER, "up to 96000 Hz only"},
        {"type III without pass-through tag",
         WithStream({B::General(1, 0x1002), B::Format(3, 2, 2, 16, {48000})}).Profile(), STATUS_UNSUCCESSFUL,
         "no pass-through format"},
        {"model without its second output", twoOutputModel.Profile(), STATUS_UNSUCCESSFUL,
         "must have output terminal 16"},
    };
    for (const RefusalCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        ExpectRefused(c.Profile, c.Status, c.Reason);
        Restart();
    }
}

// The shared dumps that are refused, each with the identification string the walk needs.
TEST_F(Uac1WalkRefusal, RefusedSharedDumpsSayWhy)
{
    const std::filesystem::path folder =
        std::filesystem::path(UACSIM_SOURCE_DIR) / ".." / "shared" / "real-devices";
    if (!std::filesystem::is_directory(folder))
        GTEST_SKIP() << "no real-device dumps at " << folder;
    const struct
    {
        const char* File;
        NTSTATUS Status;
        const char* Reason;
    } dumps[] = {
        {"dev02-uac1.bin", STATUS_INSUFFICIENT_RESOURCES, "feature unit 2 has no mute control"},
        {"dev05-uac1.bin", STATUS_INSUFFICIENT_RESOURCES, "feature unit 2 has no mute control"},
        {"dev09-uac1.bin", STATUS_UNSUCCESSFUL, "extension unit 4 is not supported"},
        {"dev21-uac1-2.bin", STATUS_INVALID_PARAMETER, "is a release-2.0 interface under a release-1.0"},
    };
    for (const auto& dump : dumps)
    {
        SCOPED_TRACE(dump.File);
        ExpectRefused("dump " + (folder / dump.File).string() + "\nstring 0x50 \"0100-DUMP\"\n", dump.Status,
                      dump.Reason);
        Restart();
    }
}

// Vendor 0x1B1C's speaker terminal 16 is its headphone jack; another vendor's stays a speaker.
TEST_F(Uac1WalkRefusal, HeadphoneQuirkAmendsOnlyItsVendorsTerminal)
{
    for (uint16_t vendor : {uint16_t(0x1B1C), uint16_t(0xFFF1)})
    {
        SCOPED_TRACE(vendor);
        Uac1Builder b = SpeakerSet();
        b.VendorId = vendor;
        b.Control = {B::InputTerminal(1, 0x0101, 2), B::MuteUnit(2, 1), B::OutputTerminal(16, 0x0301, 2)};
        Plug(b.Profile());
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        const bool amended = vendor == 0x1B1C;
        EXPECT_EQ(Stream(0)->GetPinType(), ULONG(amended ? PIN_TYPE_HP : PIN_TYPE_SPK));
        // The driver's copy of the configuration says so too; the device's own is untouched.
        IUsbDevice* usb = nullptr;
        ASSERT_EQ(m_pCommon->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&usb)), STATUS_SUCCESS);
        const UCHAR* copy = reinterpret_cast<const UCHAR*>(usb->GetConfigurationDescriptor());
        usb->Release();
        std::vector<uint8_t> device = b.Configuration();
        const uint8_t terminal[] = {9, 0x24, 3, 16};
        auto at = std::search(device.begin(), device.end(), terminal, terminal + 4) - device.begin();
        ASSERT_LT(size_t(at), device.size());
        EXPECT_EQ(copy[at + 4] | copy[at + 5] << 8, amended ? 0x0302 : 0x0301);
        EXPECT_EQ(m_pDevice->Model().Profile().ConfigurationDescriptor()[at + 4], 0x01);
        Restart();
    }
}

// An identification string longer than the read buffer is read only as far as it arrived
// (the sanitizer build turns any write past the buffer into a failure), and still picks the model.
TEST_F(Uac1WalkRefusal, IdentificationLongerThanTheReadBufferIsCutAtTheBytesReceived)
{
    const std::string text = "3864" + std::string(116, 'x');
    std::string profile = Replace(SpeakerSet().Profile(), "string 0x50 \"0100-B\"",
                                  "string 0x50 \"" + text + "\"\nvendor 0xC3 2 0x51 0 data 1F");
    Plug(profile);
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EndpointCaps caps = {};
    ASSERT_EQ(Function()->GetEndpointCapsByType(0, PIN_TYPE_SPK, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Mask, 0x3E10A0u);
    EXPECT_EQ(caps.Flags, 0x41u);
}

// Capture formats below four channels come twice (placed, then unplaced); from four on, once.
TEST_F(Uac1WalkRefusal, CaptureChannelCountBoundaryOfTheFormatList)
{
    const struct
    {
        uint8_t Channels;
        size_t Formats;
    } cases[] = {{3, 4}, {4, 2}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(int(c.Channels));
        Uac1Builder b;
        b.Control = {B::InputTerminal(1, 0x0201, c.Channels), B::MuteUnit(2, 1),
                     B::OutputTerminal(3, 0x0101, 2)};
        b.Streams = {{B::General(3), B::Format(1, c.Channels, 2, 16, {44100, 48000}), B::IsoEndpoint(0x82)}};
        Plug(b.Profile());
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(Stream(0));
        ASSERT_EQ(formats.size(), c.Formats);
        for (const WAVEFORMATEXTENSIBLE& f : formats)
        {
            EXPECT_EQ(f.Format.nChannels, c.Channels);
            EXPECT_EQ(f.dwChannelMask, 0u); // capture places only one and two channels
        }
        Restart();
    }
}

} // namespace
