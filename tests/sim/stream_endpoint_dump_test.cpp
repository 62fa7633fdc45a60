// The streaming endpoints read what a dump's streaming interfaces say, and nothing beyond each
// descriptor: a runt class descriptor that ends a hostile dump once made the reader take its
// subtype from the byte behind the configuration (the address sanitizer of `make check` sees
// any such read). The formats of well-formed settings, float among them, come out as written.
#include "sim/device/device_model.h"
#include "sim/device/stream_endpoint.h"
#include "sim/profiles/profile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// A device descriptor, then a configuration of the given descriptors with its total length.
Bytes Dump(const std::vector<Bytes>& descriptors)
{
    Bytes dump = {18, 1, 0x10, 0x01, 0, 0, 0, 8, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01,
                  0,  0, 0,    1,    9, 2, 0, 0, 2,    1,    0,    0x80, 50};
    for (const Bytes& d : descriptors)
        for (uint8_t byte : d)
            dump.push_back(byte);
    const size_t total = dump.size() - 18;
    dump[20] = uint8_t(total);
    dump[21] = uint8_t(total >> 8);
    return dump;
}

const Bytes kControl = {9, 4, 0, 0, 0, 1, 1, 0, 0};
const Bytes kStreamingAlt0 = {9, 4, 1, 0, 0, 1, 2, 0, 0};
const Bytes kStreamingAlt1 = {9, 4, 1, 1, 1, 1, 2, 0, 0};
const Bytes kStreamingAlt1Release2 = {9, 4, 1, 1, 1, 1, 2, 0x20, 0};
const Bytes kOutEndpoint = {9, 5, 0x01, 0x09, 0xC4, 0x00, 1, 0, 0};
const Bytes kRuntClassDescriptor = {2, 0x24};

struct Expected
{
    bool Served;      // endpoint 0x01 streams
    uint8_t Channels; // of alternate setting 1, when served
    uint8_t SubframeBytes;
    bool Float;
};

TEST(StreamEndpointDump, ReadsEachDescriptorOnlyWithinItsOwnBytes)
{
    const struct
    {
        const char* Name;
        Bytes Dump;
        Expected Want;
    } kCases[] = {
        // The dump that once overran: its configuration ends in a 2-byte class descriptor inside
        // a class-1 streaming interface.
        {"runt class descriptor ending a class-1 dump",
         FromHex("1201008303010904240104240124010202020902140003022406000904240124010202020224"),
         {false, 0, 0, false}},
        {"runt class descriptor ending a class-2 streaming interface",
         Dump({kControl, kStreamingAlt0, kStreamingAlt1Release2, kOutEndpoint, kRuntClassDescriptor}),
         {true, 0, 0, false}},
        {"runt class descriptor after a whole class-1 setting",
         Dump({kControl,
               kStreamingAlt0,
               kStreamingAlt1,
               {7, 0x24, 1, 1, 1, 1, 0},
               {11, 0x24, 2, 1, 2, 2, 16, 1, 0x80, 0xBB, 0},
               kOutEndpoint,
               kRuntClassDescriptor}),
         {true, 2, 2, false}},
        {"class-1 float setting",
         Dump({kControl,
               kStreamingAlt0,
               kStreamingAlt1,
               {7, 0x24, 1, 1, 1, 3, 0},
               {11, 0x24, 2, 1, 2, 4, 32, 1, 0x80, 0xBB, 0},
               kOutEndpoint}),
         {true, 2, 4, true}},
        {"general descriptor cut before its format tag",
         Dump({kControl,
               kStreamingAlt0,
               kStreamingAlt1,
               {5, 0x24, 1, 1, 1},
               {11, 0x24, 2, 1, 2, 4, 32, 1, 0x80, 0xBB, 0},
               kOutEndpoint}),
         {true, 2, 4, false}},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.Name);
        sim::DeviceProfile profile;
        std::string error;
        ASSERT_TRUE(sim::ProfileFromDump(c.Dump, "dump", &profile, &error)) << error;
        sim::UsbDeviceModel model(profile);
        sim::StreamEndpoints streams(model, false, nullptr);
        ASSERT_EQ(streams.Serves(0x01), c.Want.Served);
        if (!c.Want.Served)
            continue;
        model.HandleControl(sim::SetupPacket{0x00, 9, 1, 0, 0});
        model.HandleControl(sim::SetupPacket{0x01, 11, 1, 1, 0});
        sim::StreamFormat format;
        ASSERT_TRUE(streams.CurrentFormat(0x01, &format));
        EXPECT_EQ(format.Channels, c.Want.Channels);
        EXPECT_EQ(format.SubframeBytes, c.Want.SubframeBytes);
        EXPECT_EQ(format.Float, c.Want.Float);
        EXPECT_EQ(format.MaxPacketBytes, 196);
    }
}

} // namespace
