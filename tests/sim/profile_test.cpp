// Device profiles: the built-in ones against the properties their descriptors must have, real
// dumps loaded both as raw files and as hex text, defaults, and malformed text refused with
// the line that is wrong.
#include "sim/profiles/profile.h"
#include "usb/real_device_corpus.h"
#include "usb/usbd_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <fstream>
#include <random>
#include <set>

namespace
{

using sim::DeviceProfile;
using usbdtest::WalkedDescriptor;

DeviceProfile Builtin(const std::string& name)
{
    DeviceProfile p;
    std::string error;
    EXPECT_TRUE(sim::LoadBuiltinProfile(name, &p, &error)) << error;
    return p;
}

std::vector<uint8_t> Concat(const DeviceProfile& p)
{
    std::vector<uint8_t> bytes = p.DeviceDescriptor();
    bytes.insert(bytes.end(), p.ConfigurationDescriptor().begin(), p.ConfigurationDescriptor().end());
    return bytes;
}

// Hex text of the bytes, laid out differently from any writer in the simulator: seven bytes a
// line, lower case, each line commented.
std::string HexBlock(const std::vector<uint8_t>& bytes)
{
    std::string text = "descriptors   # written by the test\n";
    char b[8];
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        snprintf(b, sizeof(b), "%02x", bytes[i]);
        text += b;
        text += (i % 7 == 6 || i + 1 == bytes.size()) ? "   # some bytes\n" : " ";
    }
    return text + "end\n";
}

// The class-specific audio-control descriptors with their subtypes, and the walk's endpoints.
struct Shape
{
    std::vector<WalkedDescriptor> Walked;
    std::vector<uint8_t> ControlSubtypes;
    std::vector<uint8_t> ControlProtocols; // of the interface each subtype sits in
    size_t ControlClassBytes = 0;
    size_t HeaderTotal = 0;
};

Shape ShapeOf(const std::vector<uint8_t>& cfg)
{
    Shape s;
    s.Walked = usbdtest::Walk(cfg.data(), cfg.size());
    bool inControl = false;
    uint8_t protocol = 0;
    for (const WalkedDescriptor& d : s.Walked)
    {
        if (d.Type == 4)
        {
            inControl = cfg[d.Offset + 5] == 1 && cfg[d.Offset + 6] == 1;
            protocol = cfg[d.Offset + 7];
        }
        else if (inControl && d.Type == 0x24)
        {
            uint8_t subtype = cfg[d.Offset + 2];
            s.ControlSubtypes.push_back(subtype);
            s.ControlProtocols.push_back(protocol);
            s.ControlClassBytes += d.Length;
            if (subtype == 1)
            {
                bool release2 = cfg[d.Offset + 4] == 2;
                s.HeaderTotal = release2 ? (cfg[d.Offset + 6] | cfg[d.Offset + 7] << 8)
                                         : (cfg[d.Offset + 5] | cfg[d.Offset + 6] << 8);
            }
        }
    }
    return s;
}

// What every built-in profile's descriptors must hold together: a walk that covers the
// configuration exactly, an audio-control header whose total counts its class descriptors, one
// alternate setting 0 per interface counted, clocks that offer at least one rate, and data
// endpoints large enough.
TEST(DeviceProfile, BuiltinProfilesHoldTogetherAndCarryTheirLargestPacket)
{
    std::vector<std::string> names = sim::BuiltinProfileNames();
    EXPECT_EQ(names.size(), 12u);
    for (const std::string& name : names)
    {
        SCOPED_TRACE(name);
        DeviceProfile p = Builtin(name);
        EXPECT_EQ(p.Name(), name);
        EXPECT_EQ(p.AudioControlProtocol() == 0x20, name.rfind("uac2", 0) == 0);
        const std::vector<uint8_t>& cfg = p.ConfigurationDescriptor();
        Shape shape = ShapeOf(cfg);
        ASSERT_FALSE(shape.Walked.empty());
        EXPECT_EQ(shape.Walked.back().Offset + shape.Walked.back().Length, cfg.size());
        EXPECT_EQ(shape.HeaderTotal, shape.ControlClassBytes) << "AC header wTotalLength";
        size_t alternateZero = 0;
        for (const WalkedDescriptor& d : shape.Walked)
            alternateZero += d.Type == 4 && cfg[d.Offset + 3] == 0;
        EXPECT_EQ(alternateZero, cfg[4]) << "bNumInterfaces";
        // Every data endpoint of every alternate setting must carry the largest packet its formats
        // need: (rate per (micro)frame rounded up, plus one sample for the fractional carry) x
        // frame bytes.
        const unsigned framesPerSecond = p.Speed() == sim::UsbSpeed::High ? 8000 : 1000;
        unsigned frameBytes = 0, channels = 0, maxRate = 0;
        const bool release2 = p.AudioControlProtocol() == 0x20;
        for (const sim::ClockSetting& clock : p.Clocks())
        {
            EXPECT_FALSE(clock.RatesHz.empty());
            for (uint32_t r : clock.RatesHz)
                maxRate = std::max(maxRate, r);
        }
        int checked = 0;
        for (const WalkedDescriptor& d : shape.Walked)
        {
            const uint8_t* b = &cfg[d.Offset];
            if (d.Type == 0x24 && b[2] == 1 && release2 && d.Length >= 16)
                channels = b[10];
            else if (d.Type == 0x24 && b[2] == 2 && !release2 && d.Length >= 8)
            {
                frameBytes = b[4] * b[5];
                maxRate = 0;
                for (unsigned k = 0; k < b[7]; ++k)
                    maxRate =
                        std::max(maxRate, unsigned(b[8 + 3 * k] | b[9 + 3 * k] << 8 | b[10 + 3 * k] << 16));
            }
            else if (d.Type == 0x24 && b[2] == 2 && release2)
                frameBytes = channels * b[4];
            else if (d.Type == 5 && (b[3] & 0x33) == 0x01) // isochronous data endpoint
            {
                unsigned need = ((maxRate + framesPerSecond - 1) / framesPerSecond + 1) * frameBytes;
                unsigned have = b[4] | (b[5] & 0x07) << 8;
                EXPECT_GE(have, need) << "endpoint 0x" << std::hex << unsigned(b[2]);
                EXPECT_LE(have, p.Speed() == sim::UsbSpeed::High ? 1024u : 1023u);
                ++checked;
            }
        }
        EXPECT_GT(checked, 0);
    }
}

// Each real dump loads the same as a raw file, by a "dump" line and as hex text, with defaults
// for what the descriptors lack.
TEST(DeviceProfile, EveryRealDumpLoadsAlikeInEveryFormWithDefaults)
{
    corpus::ForEachRealDevice(
        [](const std::string& path, const std::vector<uint8_t>& file)
        {
            std::string error;
            DeviceProfile fromDump, fromHex, p;
            ASSERT_TRUE(DeviceProfile::Parse("dump " + corpus::BaseName(path) + "\n", "d",
                                             corpus::RealDevicesDir(), &fromDump, &error))
                << error;
            ASSERT_TRUE(DeviceProfile::Parse(HexBlock(file), "h", ".", &fromHex, &error)) << error;
            ASSERT_TRUE(sim::LoadProfile(path, &p, &error)) << error;
            EXPECT_EQ(Concat(fromDump), file);
            EXPECT_EQ(Concat(fromHex), file);
            EXPECT_EQ(Concat(p), file);
            EXPECT_EQ(fromDump.AudioControlProtocol(), fromHex.AudioControlProtocol());
            std::vector<uint8_t> cfg(file.begin() + 18, file.end());
            // The first audio-control interface decides the release; the file name tells the class.
            bool release2Only = path.find("-uac2.bin") != std::string::npos;
            bool release1Only = path.find("-uac1.bin") != std::string::npos;
            if (release2Only || release1Only)
            {
                EXPECT_EQ(std::make_pair(int(p.AudioControlProtocol()), p.Speed() == sim::UsbSpeed::High),
                          std::make_pair(release2Only ? 0x20 : 0, release2Only));
            }
            // Strings the device descriptor names exist in US English, made from the ids.
            char ids[16];
            snprintf(ids, sizeof(ids), "%04X", p.VendorId());
            for (int field : {14, 15, 16})
            {
                if (file[field] != 0)
                {
                    const sim::ProfileString* s = p.FindString(file[field], 0x0409);
                    ASSERT_NE(s, nullptr) << "string index " << int(file[field]);
                    EXPECT_NE(std::string(s->Text.begin(), s->Text.end()).find(ids), std::string::npos);
                }
            }
            // Each class-2 clock source offers the three default rates.
            Shape shape = ShapeOf(cfg);
            size_t clockSources = 0;
            for (size_t k = 0; k < shape.ControlSubtypes.size(); ++k)
                clockSources += shape.ControlSubtypes[k] == 0x0A && shape.ControlProtocols[k] == 0x20;
            EXPECT_EQ(p.Clocks().size(), clockSources);
            for (const sim::ClockSetting& clock : p.Clocks())
                EXPECT_EQ(clock.RatesHz, (std::vector<uint32_t>{44100, 48000, 96000}));
            EXPECT_TRUE(p.JackConnected(1));
            EXPECT_EQ(p.FeedbackOffsetPpm(), 0);
        });
}

std::string SpeakerHex()
{
    return HexBlock(Concat(Builtin("uac1-speaker")));
}

TEST(DeviceProfile, ExplicitSettingsAndDefaults)
{
    std::string text = SpeakerHex() + R"(
speed high
string 2 "Grüße € 𝄞"
string 2 lang=0x0407 "Lautsprecher"
control 2 2 channel=1 min=-256 max=256 res=1 cur=-5
feedback-offset-ppm -120
jack 3 disconnected
vendor 0xC0 0x81 0 9 data 9F 01
vendor 0x40 0x07 1 0 stall
)";
    DeviceProfile p;
    std::string error;
    ASSERT_TRUE(DeviceProfile::Parse(text, "custom", ".", &p, &error)) << error;
    EXPECT_EQ(p.Name(), "custom");
    EXPECT_EQ(p.Speed(), sim::UsbSpeed::High);
    EXPECT_EQ(p.FindString(2, 0x0409)->Text, u"Grüße € \U0001D11E");
    EXPECT_EQ(p.FindString(2, 0x0407)->Text, u"Lautsprecher");
    EXPECT_EQ(p.LanguageIds(), (std::vector<uint16_t>{0x0409, 0x0407}));
    // Index 1 and 3 are named by the device descriptor but not given: made from the ids.
    EXPECT_EQ(p.FindString(1, 0x0409)->Text, u"Vendor FFF1");
    EXPECT_EQ(p.FindString(3, 0x0409)->Text, u"FFF10001");
    EXPECT_EQ(p.FindString(0x50, 0x0409), nullptr);

    // (explicit, min, max, res, cur): the line's, and the kind's defaults beside it.
    auto setting = [&](uint8_t entity, uint8_t selector, uint8_t channel)
    {
        sim::ControlSetting c = p.Control(entity, selector, channel);
        return std::vector<int32_t>{c.Explicit, c.Min, c.Max, c.Res, c.Cur};
    };
    EXPECT_EQ(setting(2, 2, 1), (std::vector<int32_t>{1, -256, 256, 1, -5}));
    EXPECT_EQ(setting(2, 2, 0), (std::vector<int32_t>{0, -60 * 256, 0, 256, p.Control(2, 2, 0).Cur}));
    EXPECT_EQ(p.Control(2, 1, 0).Max, 1);
    EXPECT_EQ(p.Control(2, 4, 2).Min, -48);

    EXPECT_EQ(p.FeedbackOffsetPpm(), -120);
    EXPECT_FALSE(p.JackConnected(3));
    EXPECT_TRUE(p.JackConnected(1));
    const sim::VendorRequestAnswer* v = p.FindVendorRequest(0xC0, 0x81, 0, 9);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->Data, (std::vector<uint8_t>{0x9F, 0x01}));
    EXPECT_FALSE(v->Stall);
    ASSERT_NE(p.FindVendorRequest(0x40, 0x07, 1, 0), nullptr);
    EXPECT_TRUE(p.FindVendorRequest(0x40, 0x07, 1, 0)->Stall);
    EXPECT_EQ(p.FindVendorRequest(0x40, 0x07, 0, 0), nullptr);
}

TEST(DeviceProfile, MalformedProfilesAreRefusedWithTheLine)
{
    const std::string hex = SpeakerHex();
    // The speaker's hex block is 26 lines: "descriptors", 25 of bytes, "end".
    const int after = 1 + int(std::count(hex.begin(), hex.end(), '\n'));
    auto bytesWith = [](std::function<void(std::vector<uint8_t>&)> change)
    {
        std::vector<uint8_t> b = Concat(Builtin("uac1-speaker"));
        change(b);
        return HexBlock(b);
    };
    struct Case
    {
        std::string Text;
        std::string Expected; // a part of the message
    };
    const std::string line1 = "line 1: descriptors: ";
    const std::string mixer = sim::BuiltinProfileText("uac1-mixer");
    const std::vector<Case> cases = {
        {hex + "volume 3\n", "line " + std::to_string(after) + ": unknown directive 'volume'"},
        {"descriptors\n12 01 zz\nend\n", "line 2: 'zz' is not a hex byte"},
        {"\n\ndescriptors\n12 01\n", "line 3: the descriptors block opened here has no \"end\""},
        {"end\n", "line 1: \"end\" without a descriptors block"},
        {"name x\n", "the profile has no descriptors"},
        {"# only a comment\n", "the profile has no descriptors"},
        {"descriptors\n12 01 00 02\nend\n",
         line1 + "4 descriptor bytes: the device descriptor alone needs 18"},
        {bytesWith([](std::vector<uint8_t>& b) { b.resize(18 + 5); }),
         line1 + "5 bytes after the device descriptor"},
        {bytesWith([](std::vector<uint8_t>& b) { b[18 + 2] += 10; }),
         line1 + "wTotalLength 169 is larger than the 159"},
        {bytesWith([](std::vector<uint8_t>& b) { b[18 + 2] = 4, b[18 + 3] = 0; }),
         line1 + "wTotalLength 4 is smaller"},
        {bytesWith([](std::vector<uint8_t>& b) { b[18 + 9] = 0; }),
         line1 + "descriptor at configuration offset 9 has bLength 0"},
        {bytesWith([](std::vector<uint8_t>& b) { b[18 + 9] = 8; }),
         line1 + "interface descriptor at configuration offset 9 is only 8 bytes"},
        {bytesWith([](std::vector<uint8_t>& b) { b[18 + 18] = 200; }),
         line1 + "descriptor at configuration offset 18 (bLength 200, type 0x24) runs past"},
        {bytesWith(
             [](std::vector<uint8_t>& b) {
                 b.insert(b.end(), {0, 1});
             }),
         line1 + "2 stray bytes after the configuration"},
        {bytesWith([](std::vector<uint8_t>& b) { b[0] = 0x11; }),
         line1 + "the device descriptor must begin 12 01"},
        {hex + "string 2 \"a\"\nstring 2 \"b\"\n",
         "line " + std::to_string(after + 1) + ": string 0x02 in language 0x0409 given twice"},
        {hex + "string 2 unquoted\n", "unexpected 'unquoted'"},
        {hex + "string 2 \"open\n", "line " + std::to_string(after) + ": string has no closing quote"},
        {hex + "string 2 \"\xC3\"\n", "not valid UTF-8"},
        {hex + "string 2 \"" + std::string(127, 'x') + "\"\n", "127 UTF-16 units"},
        {hex + "string 0 \"x\"\n", "0 is out of range"},
        {hex + "control 9 2 cur=0\n",
         "line " + std::to_string(after) + ": the descriptors have no entity with id 9"},
        {hex + "control 2 2 min=5 max=1\n", "min <= cur <= max"},
        {hex + "control 2 2 gain=1\n", "unexpected 'gain=1'"},
        {hex + "clock 2 48000\n", "the descriptors have no clock source with id 2"},
        {hex + "jack 2 connected\n", "the descriptors have no terminal with id 2"},
        {hex + "jack 3 maybe\n", "jack takes a terminal id"},
        {hex + "vendor 0xA1 1 0 0 data\n", "bmRequestType 0xA1 is not a vendor request"},
        {hex + "vendor 0x40 1 0 0 data 01\n", "a host-to-device request answers with no bytes"},
        {hex + "speed medium\n", "speed is \"full\" or \"high\""},
        {hex + "vendor-controls 2\n", "vendor-controls takes a feature unit id"},
        {hex + "vendor-controls 2 0x80\n", "out of range"},
        {hex + "vendor-controls 2 145\n", "out of range"},
        {hex + "vendor-controls 9 139\n", "the descriptors have no entity with id 9"},
        {hex + "stereo-endpoint 0x81\n", "out of range"},
        {hex + "stereo-endpoint\n", "stereo-endpoint takes one OUT endpoint address"},
        {hex + "feedback-offset-ppm many\n", "'many' is not a number"},
        {hex + hex, "line " + std::to_string(after) + ": descriptors given twice (first on line 1)"},
        {"dump no-such-file.bin\n", "line 1: cannot read the dump file"},
        {mixer + "terminal-types 3\n", "terminal-types takes a terminal id"},
        {mixer + "terminal-types 10 0x0301 current=0x0603\n",
         "current=0x0603 is not one of the listed types"},
        {mixer + "terminal-types 3 0x0301\n", "terminal-types 3 is given twice"},
        {mixer + "terminal-types 2 0x0301\n", "the descriptors have no terminal with id 2"},
        {mixer + "jack-block 3 type=0x0301\n", "this jack block is given twice"},
        {mixer + "jack-block 3 0x3\n", "a jack is <channel mapping>:<configuration word>"},
        {mixer + "jack-block 5 0x1:0\n", "the descriptors have no terminal with id 5"},
        {mixer + "jack-block 10 0x1:0 stall\n", "stall stands alone"},
        {mixer + "jack-block 10 stall 0x1:0\n", "stall stands alone"},
        {mixer + "control 8 1 channel=1 min=5\n", "min <= cur <= max"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Expected);
        DeviceProfile p;
        std::string error;
        EXPECT_FALSE(DeviceProfile::Parse(c.Text, "bad", "/nonexistent", &p, &error));
        EXPECT_NE(error.find(c.Expected), std::string::npos) << "message: " << error;
    }
}

TEST(DeviceProfile, ProfileFilesResolveDumpsBesideThemAndNameThemselves)
{
    const std::vector<std::string> dumps = corpus::RealDeviceDumps();
    if (dumps.empty())
        GTEST_SKIP() << "no real-device corpus";
    // A profile file in a temporary folder that points at a dump by absolute path, plus one
    // setting; and an unreadable path reports the path.
    std::string dir = testing::TempDir();
    std::string path = dir + "/my-device.profile";
    {
        std::ofstream out(path);
        out << "dump " << dumps[0] << "\nfeedback-offset-ppm 7\n";
    }
    DeviceProfile p;
    std::string error;
    ASSERT_TRUE(sim::LoadProfile(path, &p, &error)) << error;
    EXPECT_EQ(p.Name(), "my-device");
    EXPECT_EQ(p.FeedbackOffsetPpm(), 7);
    EXPECT_EQ(Concat(p), corpus::ReadFile(dumps[0]));
    std::remove(path.c_str());
    EXPECT_FALSE(sim::LoadProfile(dir + "/missing.profile", &p, &error));
    EXPECT_NE(error.find("missing.profile"), std::string::npos);
    EXPECT_FALSE(sim::LoadProfile("no-such-builtin", &p, &error));
}

// Mutated real dumps (or built-in descriptors without the corpus): a load either refuses with a
// message or yields descriptors that a careful walk covers exactly.
TEST(DeviceProfile, MutatedDumpsAreRefusedOrSound)
{
    std::vector<std::vector<uint8_t>> seeds;
    for (const std::string& path : corpus::RealDeviceDumps())
        seeds.push_back(corpus::ReadFile(path));
    for (const std::string& name : sim::BuiltinProfileNames())
        seeds.push_back(Concat(Builtin(name)));
    const unsigned seed = 424242;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    int refused = 0, accepted = 0;
    for (const std::vector<uint8_t>& original : seeds)
    {
        for (int m = 0; m < 60; ++m)
        {
            std::vector<uint8_t> bytes = original;
            switch (rng() % 3)
            {
            case 0:
                bytes[rng() % bytes.size()] = uint8_t(rng());
                break;
            case 1:
                bytes.resize(rng() % bytes.size());
                break;
            default:
                bytes[18 + 2 + rng() % 2] = uint8_t(rng());
                break;
            }
            DeviceProfile p;
            std::string error;
            if (!DeviceProfile::FromDescriptorBytes(bytes, "m", &p, &error))
            {
                EXPECT_FALSE(error.empty());
                ++refused;
                continue;
            }
            ++accepted;
            const std::vector<uint8_t>& cfg = p.ConfigurationDescriptor();
            ASSERT_EQ(cfg.size(), usbdtest::TotalLength(cfg.data()));
            auto walked = usbdtest::Walk(cfg.data(), cfg.size());
            ASSERT_FALSE(walked.empty());
            EXPECT_EQ(walked.back().Offset + walked.back().Length, cfg.size());
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(accepted, 0);
}

} // namespace
