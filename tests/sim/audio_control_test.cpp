// The simulated device's audio-class control engine, driven through the device model as the
// bus drives it: each request kind against the profile's values, layouts assembled here byte
// by byte, the engine's faults and its change observers.
#include "sim/device/audio_control.h"
#include "sim/device/device_model.h"
#include "usb/real_device_corpus.h"
#include "usb/usbd_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

namespace
{

using sim::ControlOutcome;
using sim::ControlResult;
using sim::SetupPacket;
using sim::UsbDeviceModel;
using Bytes = std::vector<uint8_t>;

sim::DeviceProfile Builtin(const std::string& name)
{
    sim::DeviceProfile p;
    std::string error;
    EXPECT_TRUE(sim::LoadBuiltinProfile(name, &p, &error)) << error;
    return p;
}

// Little-endian bytes of a value, as the wire carries it; assembled here apart from the engine.
Bytes Le(int64_t value, unsigned size)
{
    Bytes b;
    for (unsigned k = 0; k < size; ++k)
        b.push_back(uint8_t(uint64_t(value) >> (8 * k)));
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Requests to the audio-control interface 0 of the built-in devices.
struct Host
{
    explicit Host(const sim::DeviceProfile& profile) : Device(profile) {}

    ControlResult Get(uint8_t request, uint8_t entity, uint16_t value, uint16_t length = 64,
                      uint8_t type = 0xA1)
    {
        return Device.HandleControl(SetupPacket{type, request, value, uint16_t(entity << 8), length});
    }
    ControlResult Set(uint8_t request, uint8_t entity, uint16_t value, const Bytes& data, uint8_t type = 0x21)
    {
        return Device.HandleControl(
            SetupPacket{type, request, value, uint16_t(entity << 8), uint16_t(data.size())}, data);
    }
    // The value an IN request answered, or a marker when it stalled.
    Bytes Read(uint8_t request, uint8_t entity, uint16_t value, uint16_t length = 64, uint8_t type = 0xA1)
    {
        ControlResult r = Get(request, entity, value, length, type);
        return r.Outcome == ControlOutcome::Ack ? r.Data : Bytes{0xDE, 0xAD};
    }
    sim::AudioControlEngine& Engine() { return Device.AudioControl(); }

    UsbDeviceModel Device;
};

const Bytes kStalled = {0xDE, 0xAD};

constexpr uint8_t kSetCur = 0x01, kGetCur = 0x81, kGetMin = 0x82, kGetMax = 0x83, kGetRes = 0x84;
constexpr uint8_t kCur = 0x01, kRange = 0x02;

uint16_t Cs(uint8_t selector, uint8_t channel)
{
    return uint16_t(selector << 8 | channel);
}

// --- Class 1 -----------------------------------------------------------------------------

TEST(AudioControl, Uac1FeatureControlsAnswerTheProfileInTheirOwnWidths)
{
    sim::DeviceProfile p = Builtin("uac1-mixer");
    Host host(p);
    struct Row
    {
        uint8_t Unit, Selector, Channel;
        unsigned Size;
        bool Switch;
    };
    // unit sel ch size switch
    const Row rows[] = {
        {2, 1, 0, 1, true},  {2, 2, 0, 2, false}, {2, 2, 1, 2, false},  {2, 2, 2, 2, false},
        {2, 3, 0, 1, false}, {2, 4, 0, 1, false}, {2, 5, 0, 1, false},  {2, 8, 0, 2, false},
        {2, 9, 0, 1, true},  {2, 10, 0, 1, true}, {5, 1, 0, 1, true},   {5, 2, 0, 2, false},
        {5, 7, 0, 1, true},  {11, 1, 0, 1, true}, {11, 2, 0, 2, false},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message() << "unit " << int(row.Unit) << " selector " << int(row.Selector)
                                        << " channel " << int(row.Channel));
        const sim::ControlSetting s = p.Control(row.Unit, row.Selector, row.Channel);
        EXPECT_EQ(host.Read(kGetCur, row.Unit, Cs(row.Selector, row.Channel)), Le(s.Cur, row.Size));
        if (row.Switch)
        {
            EXPECT_EQ(host.Read(kGetMin, row.Unit, Cs(row.Selector, row.Channel)), kStalled);
            EXPECT_EQ(host.Read(kGetRes, row.Unit, Cs(row.Selector, row.Channel)), kStalled);
            continue;
        }
        EXPECT_EQ(host.Read(kGetMin, row.Unit, Cs(row.Selector, row.Channel)), Le(s.Min, row.Size));
        EXPECT_EQ(host.Read(kGetMax, row.Unit, Cs(row.Selector, row.Channel)), Le(s.Max, row.Size));
        EXPECT_EQ(host.Read(kGetRes, row.Unit, Cs(row.Selector, row.Channel)), Le(s.Res, row.Size));
    }
    // The profile's own numbers, so a wrong default cannot hide behind a wrong oracle.
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(2, 0)), (Bytes{0x00, 0xF6})); // -10 dB
    EXPECT_EQ(host.Read(kGetMin, 2, Cs(5, 0)), (Bytes{0xE0}));       // -8 dB in 1/4 dB
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(8, 0)), (Bytes{0x80, 0x00})); // 2 ms in 1/64 ms
    EXPECT_EQ(host.Read(kGetCur, 11, Cs(2, 0), 1), (Bytes{0x00}));   // cut to wLength
}

TEST(AudioControl, Uac1SetCurClampsRoundsAndRoundTrips)
{
    Host host(Builtin("uac1-mixer"));
    struct Case
    {
        uint8_t Unit, Selector, Channel;
        unsigned Size;
        int32_t Sent, Kept;
    };
    // volume -50..0 dB in 1/2 dB steps; bass -48..48 step 4; treble -32..32 step 2; delay 0..3200 step 64
    const Case cases[] = {
        {2, 2, 0, 2, -1024, -1024}, {2, 2, 0, 2, -1000, -1024},   {2, 2, 0, 2, -1100, -1152},
        {2, 2, 0, 2, 500, 0},       {2, 2, 0, 2, -20000, -12800}, {2, 2, 0, 2, -32768, -32768},
        {2, 2, 1, 2, -64, 0},       {2, 3, 0, 1, 50, 48},         {2, 3, 0, 1, 7, 8},
        {2, 3, 0, 1, -128, -48},    {2, 5, 0, 1, -3, -2},         {2, 8, 0, 2, 100, 128},
        {2, 1, 0, 1, 1, 1},         {2, 1, 0, 1, 0x7F, 1},        {2, 1, 0, 1, 0, 0},
        {5, 7, 0, 1, 0, 0},         {11, 2, 0, 2, 700, 768},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message()
                     << "unit " << int(c.Unit) << " selector " << int(c.Selector) << " sent " << c.Sent);
        ASSERT_EQ(host.Set(kSetCur, c.Unit, Cs(c.Selector, c.Channel), Le(c.Sent, c.Size)).Outcome,
                  ControlOutcome::Ack);
        EXPECT_EQ(host.Read(kGetCur, c.Unit, Cs(c.Selector, c.Channel)), Le(c.Kept, c.Size));
        int32_t device = 0;
        ASSERT_TRUE(host.Engine().ControlValue(c.Unit, c.Selector, c.Channel, &device));
        EXPECT_EQ(device, c.Kept);
    }
    // A SET of the wrong width stalls and keeps the value.
    ASSERT_EQ(host.Set(kSetCur, 2, Cs(2, 0), Le(-256, 2)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Set(kSetCur, 2, Cs(2, 0), Le(-512, 1)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Set(kSetCur, 2, Cs(2, 0), Le(-512, 4)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Set(kSetCur, 2, Cs(3, 0), Le(4, 2)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(2, 0)), Le(-256, 2));
}

TEST(AudioControl, Uac1ChannelsAreAddressedAsTheDescriptorAnnouncesThem)
{
    Host host(Builtin("uac1-mixer"));
    // Unit 2 has volume on the master and both channels, everything else on the master only.
    const struct
    {
        uint8_t Unit;
        uint16_t Value;
        bool Answers;
    } rows[] = {
        {2, Cs(2, 1), true},   {2, Cs(2, 2), true},   {2, Cs(2, 3), false}, {2, Cs(1, 1), false},
        {2, Cs(3, 2), false},  {2, Cs(7, 0), false},  {2, Cs(6, 0), false}, {2, Cs(2, 0xFF), false},
        {2, Cs(11, 0), false}, {5, Cs(7, 0), true},   {5, Cs(2, 1), false}, {11, Cs(2, 1), false},
        {11, Cs(7, 0), false}, {12, Cs(2, 0), false}, {1, Cs(2, 0), false},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message() << "unit " << int(row.Unit) << " wValue 0x" << std::hex << row.Value);
        EXPECT_EQ(host.Get(kGetCur, row.Unit, row.Value).Outcome,
                  row.Answers ? ControlOutcome::Ack : ControlOutcome::Stall);
    }
    // Channels keep their own values.
    ASSERT_EQ(host.Set(kSetCur, 2, Cs(2, 1), Le(-6400, 2)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(2, 1)), Le(-6400, 2));
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(2, 2)), Le(-256, 2));
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(2, 0)), Le(-2560, 2));
}

TEST(AudioControl, Uac1RequestsWithTheWrongDirectionOrAttributeStall)
{
    Host host(Builtin("uac1-mixer"));
    const SetupPacket bad[] = {
        {0x21, kGetCur, Cs(2, 0), 2 << 8, 2},     // GET code sent host-to-device
        {0xA1, kSetCur, Cs(2, 0), 2 << 8, 2},     // SET code sent device-to-host
        {0xA1, 0x85, 0x0000, 2 << 8, 2},          // GET_MEM
        {0xA1, 0xFF, 0x0000, 2 << 8, 2},          // GET_STAT
        {0xA1, kGetCur, Cs(2, 0), 2 << 8 | 1, 2}, // a streaming interface
        {0xA1, kGetCur, Cs(2, 0), 2 << 8 | 7, 2}, // no such interface
        {0xA3, kGetCur, Cs(2, 0), 2 << 8, 2},     // recipient "other"
        {0xA1, kGetCur, Cs(2, 0), 0x30 << 8, 2},  // no such entity
        {0xA1, kGetCur, 0x0000, 0, 2},            // the interface itself
    };
    for (const SetupPacket& s : bad)
    {
        SCOPED_TRACE(testing::Message()
                     << std::hex << int(s.RequestType) << " " << int(s.Request) << " " << s.Index);
        EXPECT_EQ(host.Device.HandleControl(s, s.RequestType & 0x80 ? Bytes{} : Bytes{0, 0}).Outcome,
                  ControlOutcome::Stall);
    }
    for (uint8_t setOther : {0x02, 0x03, 0x04, 0x05}) // SET_MIN, SET_MAX, SET_RES, SET_MEM
    {
        EXPECT_EQ(host.Set(setOther, 2, Cs(2, 0), Le(0, 2)).Outcome, ControlOutcome::Stall);
    }
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(2, 0)), Le(-2560, 2));
}

TEST(AudioControl, Uac1SelectorAndMixerUnits)
{
    Host host(Builtin("uac1-mixer"));
    // Selector 9 over units 5 and 11, on input 2 at power-up.
    EXPECT_EQ(host.Read(kGetCur, 9, 0), Bytes{2});
    EXPECT_EQ(host.Read(kGetMin, 9, 0), Bytes{1});
    EXPECT_EQ(host.Read(kGetMax, 9, 0), Bytes{2});
    EXPECT_EQ(host.Read(kGetRes, 9, 0), Bytes{1});
    EXPECT_EQ(host.Set(kSetCur, 9, 0, {1}).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Read(kGetCur, 9, 0), Bytes{1});
    for (uint8_t refused : {0, 3, 0xFF})
        EXPECT_EQ(host.Set(kSetCur, 9, 0, {refused}).Outcome, ControlOutcome::Stall) << int(refused);
    EXPECT_EQ(host.Read(kGetCur, 9, 0), Bytes{1});
    EXPECT_EQ(host.Get(kGetCur, 9, 0x0100).Outcome, ControlOutcome::Stall); // class 1 addresses it with 0

    // Mixer 8: USB L R (inputs 1, 2) and the microphone (3) to L R; bitmap 0x9C makes 1>1,
    // 2>2, 3>1 and 3>2 programmable.
    struct Cell
    {
        uint8_t In, Out;
        int32_t Cur;
        bool Programmable;
    };
    const Cell cells[] = {
        {1, 1, 0, true}, {1, 2, -15360, false}, {2, 1, -15360, false},
        {2, 2, 0, true}, {3, 1, -3072, true},   {3, 2, -3072, true},
    };
    for (const Cell& c : cells)
    {
        SCOPED_TRACE(testing::Message() << "in " << int(c.In) << " out " << int(c.Out));
        EXPECT_EQ(host.Read(kGetCur, 8, Cs(c.In, c.Out)), Le(c.Cur, 2));
        EXPECT_EQ(host.Set(kSetCur, 8, Cs(c.In, c.Out), Le(-512, 2)).Outcome,
                  c.Programmable ? ControlOutcome::Ack : ControlOutcome::Stall);
        EXPECT_EQ(host.Read(kGetCur, 8, Cs(c.In, c.Out)), Le(c.Programmable ? -512 : c.Cur, 2));
    }
    EXPECT_EQ(host.Read(kGetMin, 8, Cs(3, 1)), Le(-12800, 2));
    EXPECT_EQ(host.Read(kGetRes, 8, Cs(3, 1)), Le(256, 2));
    for (uint16_t outside : {Cs(4, 1), Cs(1, 3), Cs(0, 1), Cs(1, 0), Cs(0xFF, 0xFF)})
        EXPECT_EQ(host.Get(kGetCur, 8, outside).Outcome, ControlOutcome::Stall) << std::hex << outside;
}

TEST(AudioControl, Uac1EndpointSamplingFrequency)
{
    Host host(Builtin("uac1-headset"));
    auto get = [&](uint8_t ep) {
        return host.Device.HandleControl(SetupPacket{0xA2, kGetCur, 0x0100, ep, 3});
    };
    auto set = [&](uint8_t ep, Bytes data) {
        return host.Device.HandleControl(SetupPacket{0x22, kSetCur, 0x0100, ep, uint16_t(data.size())}, data);
    };
    EXPECT_EQ(get(0x01).Data, Le(44100, 3)); // the first rate the formats list
    EXPECT_EQ(set(0x01, Le(48000, 3)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(get(0x01).Data, Le(48000, 3));
    EXPECT_EQ(host.Engine().EndpointRateHz(0x01), 48000u);
    EXPECT_EQ(set(0x82, Le(48000, 3)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Engine().EndpointRateHz(0x82), 48000u);
    EXPECT_EQ(set(0x01, Le(32000, 3)).Outcome, ControlOutcome::Stall); // not offered
    EXPECT_EQ(set(0x01, Le(44100, 4)).Outcome, ControlOutcome::Stall); // 4 bytes
    EXPECT_EQ(get(0x01).Data, Le(48000, 3));
    EXPECT_EQ(get(0x02).Outcome, ControlOutcome::Stall); // no such endpoint
    EXPECT_EQ(get(0x83).Outcome, ControlOutcome::Stall); // the interrupt endpoint has no control
    EXPECT_EQ(host.Device.HandleControl(SetupPacket{0xA2, kGetCur, 0x0200, 0x01, 3}).Outcome,
              ControlOutcome::Stall); // pitch
    EXPECT_EQ(host.Device.HandleControl(SetupPacket{0xA2, kGetMax, 0x0100, 0x01, 3}).Outcome,
              ControlOutcome::Stall);
}

TEST(AudioControl, Uac1TerminalTypeAndJackVendorRequests)
{
    Host host(Builtin("uac1-mixer"));
    const uint8_t in = 0xC1, out = 0x41;
    // Current type, the list (head, then whole), a selection and its refusal.
    EXPECT_EQ(host.Read(0x81, 3, 0x0800, 2, in), Le(0x0301, 2));
    EXPECT_EQ(host.Read(0x86, 3, 0x0800, 2, in), Le(2, 2));
    EXPECT_EQ(
        host.Read(0x86, 3, 0x0800, 2 * 6 + 2, in),
        Cat({Le(2, 2), Le(0x0301, 2), Le(0x0301, 2), Le(0, 2), Le(0x0302, 2), Le(0x0302, 2), Le(0, 2)}));
    // Jack block of the speaker type: count, mapping, configuration.
    EXPECT_EQ(host.Read(0x81, 3, 0x02FF, 9, in), Cat({Bytes{1}, Le(3, 4), Le(0x01014000, 4)}));
    EXPECT_EQ(host.Set(0x81, 3, 0x0800, Le(0x0302, 2), out).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Read(0x81, 3, 0x0800, 2, in), Le(0x0302, 2));
    EXPECT_EQ(host.Engine().CurrentTerminalType(3), 0x0302);
    EXPECT_EQ(host.Read(0x81, 3, 0x02FF, 9, in), Cat({Bytes{1}, Le(3, 4), Le(0x02013000, 4)}));
    EXPECT_EQ(host.Set(0x81, 3, 0x0800, Le(0x0402, 2), out).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Set(0x81, 3, 0x0800, Le(0x0301, 3), out).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Engine().CurrentTerminalType(3), 0x0302);

    // Jack state: channel count and the mask of connected channels, none when unplugged.
    EXPECT_EQ(host.Read(0x81, 3, 0x0200, 6, in), (Bytes{2, 0x03, 0, 0, 0, 0}));
    EXPECT_EQ(host.Read(0x81, 4, 0x0200, 6, in), (Bytes{1, 0x01, 0, 0, 0, 0})); // mono: lowest bit
    EXPECT_EQ(host.Read(0x81, 7, 0x0200, 6, in), (Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(host.Read(0x81, 7, 0x02FF, 64, in), Cat({Bytes{1}, Le(3, 4), Le(0x01012100, 4)}));

    // A terminal the profile gives no extension data for, and units, know none of it.
    EXPECT_EQ(host.Get(0x81, 10, 0x02FF, 9, in).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Get(0x81, 10, 0x0200, 6, in).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Get(0x81, 4, 0x0800, 2, in).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Get(0x81, 2, 0x02FF, 9, in).Outcome, ControlOutcome::Stall);
    Host speaker(Builtin("uac1-speaker"));
    EXPECT_EQ(speaker.Get(0x86, 3, 0x0800, 2, in).Outcome, ControlOutcome::Stall);
}

// The effects model's unit 2: a memory block that announces vendor switches 139 and 140 on the
// master channel (bits 10 and 11), served from any offset, and the switches themselves as
// vendor requests; the other unit has no block and no such switches.
TEST(AudioControl, Uac1MemoryBlockAndVendorSwitches)
{
    Host host(Builtin("uac1-variant-d5"));
    const uint8_t kGetMem = 0x85, in = 0xC1, out = 0x41;
    // 19 bytes of head, then the master's bitmap and one empty bitmap per logical channel (8).
    const uint16_t length = 19 + 2 * 9;
    EXPECT_EQ(host.Read(kGetMem, 2, 0x0010, 2), Le(length, 2));
    Bytes block(16, 0);
    block = Cat({block, Le(length, 2), Bytes{2}, Le(0x0C00, 2), Bytes(16, 0)});
    EXPECT_EQ(host.Read(kGetMem, 2, 0x0000, length), block);
    EXPECT_EQ(host.Read(kGetMem, 2, 0x0013, 2), Le(0x0C00, 2));
    EXPECT_EQ(host.Get(kGetMem, 2, length, 2).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Get(kGetMem, 5, 0x0010, 2).Outcome, ControlOutcome::Stall);

    for (uint8_t selector : {139, 140})
    {
        SCOPED_TRACE(int(selector));
        EXPECT_EQ(host.Read(kGetCur, 2, Cs(selector, 0), 1, in), Bytes{0});
        EXPECT_EQ(host.Set(kSetCur, 2, Cs(selector, 0), Bytes{1}, out).Outcome, ControlOutcome::Ack);
        EXPECT_EQ(host.Read(kGetCur, 2, Cs(selector, 0), 1, in), Bytes{1});
        int32_t value = -1;
        EXPECT_TRUE(host.Engine().ControlValue(2, selector, 0, &value));
        EXPECT_EQ(value, 1);
        // Only the master carries it, only CUR exists, only as a vendor request, one byte.
        EXPECT_EQ(host.Get(kGetCur, 2, Cs(selector, 1), 1, in).Outcome, ControlOutcome::Stall);
        EXPECT_EQ(host.Get(kGetMax, 2, Cs(selector, 0), 1, in).Outcome, ControlOutcome::Stall);
        EXPECT_EQ(host.Get(kGetCur, 2, Cs(selector, 0), 1).Outcome, ControlOutcome::Stall);
        EXPECT_EQ(host.Set(kSetCur, 2, Cs(selector, 0), Bytes{1, 0}, out).Outcome, ControlOutcome::Stall);
        EXPECT_EQ(host.Get(kGetCur, 5, Cs(selector, 0), 1, in).Outcome, ControlOutcome::Stall);
    }
    EXPECT_EQ(host.Get(kGetCur, 2, Cs(141, 0), 1, in).Outcome, ControlOutcome::Stall);
}

// --- Class 2 -----------------------------------------------------------------------------

TEST(AudioControl, Uac2FeatureCurAndRangeBlocks)
{
    sim::DeviceProfile p = Builtin("uac2-interface");
    Host host(p);
    EXPECT_EQ(host.Read(kCur, 2, Cs(2, 0)), Le(-2048, 2));
    EXPECT_EQ(host.Read(kCur, 2, Cs(1, 0)), Bytes{0});
    for (uint8_t channel = 0; channel <= 8; ++channel)
    {
        SCOPED_TRACE(int(channel));
        const sim::ControlSetting s = p.Control(2, 2, channel);
        ASSERT_TRUE(s.Explicit);
        EXPECT_EQ(host.Read(kCur, 2, Cs(2, channel)), Le(s.Cur, 2));
        EXPECT_EQ(host.Read(kRange, 2, Cs(2, channel)),
                  Cat({Le(1, 2), Le(s.Min, 2), Le(s.Max, 2), Le(s.Res, 2)}));
    }
    // The same block written out from the profile text: -64..0 dB in 1/4 dB.
    EXPECT_EQ(host.Read(kRange, 2, Cs(2, 0)), (Bytes{0x01, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x40, 0x00}));
    EXPECT_EQ(host.Read(kRange, 2, Cs(2, 0), 2), (Bytes{0x01, 0x00}));
    EXPECT_EQ(host.Read(kRange, 2, Cs(1, 0)), kStalled); // mute has no range
    EXPECT_EQ(host.Read(kCur, 2, Cs(1, 1)), kStalled);   // mute is on the master only
    EXPECT_EQ(host.Read(kCur, 2, Cs(2, 9)), kStalled);   // eight channels
    EXPECT_EQ(host.Read(0x03, 2, Cs(2, 0)), kStalled);   // MEM
    EXPECT_EQ(host.Get(kRange, 2, Cs(2, 0), 8, 0x21).Outcome, ControlOutcome::Stall); // RANGE out
    ASSERT_EQ(host.Set(kCur, 2, Cs(2, 3), Le(-1000, 2)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Read(kCur, 2, Cs(2, 3)), Le(-1024, 2));
    EXPECT_EQ(host.Read(kCur, 5, Cs(2, 2)), Le(768, 2));
}

// Descriptor bytes with wTotalLength and the audio-control header's total filled in.
std::string Assemble(std::vector<Bytes> descriptors)
{
    Bytes all;
    size_t header = 0, classBytes = 0;
    bool inControl = false;
    for (const Bytes& d : descriptors)
    {
        if (d[1] == 4)
            inControl = d[5] == 1 && d[6] == 1;
        if (inControl && d[1] == 0x24)
        {
            header = header == 0 && d[2] == 1 ? all.size() : header;
            classBytes += d.size();
        }
        all.insert(all.end(), d.begin(), d.end());
    }
    const size_t total = all.size() - 18;
    all[18 + 2] = uint8_t(total);
    all[18 + 3] = uint8_t(total >> 8);
    all[header + 6] = uint8_t(classBytes);
    all[header + 7] = uint8_t(classBytes >> 8);
    std::string text = "descriptors\n";
    for (size_t i = 0; i < all.size(); ++i)
    {
        char hex[4];
        snprintf(hex, sizeof(hex), "%02X%c", all[i], i % 16 == 15 ? '\n' : ' ');
        text += hex;
    }
    return text + "\nend\n";
}

// A class-2 device with what the built-in ones lack: 1-, 2- and 4-byte feature controls, a
// read-only volume, a selector unit, terminals with readable connectors and the terminal
// extensions, an invalid clock and two streaming alternates.
sim::DeviceProfile RichUac2(const std::string& extra = std::string())
{
    const std::vector<Bytes> d = {
        {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0xF1, 0xFF, 0x99, 0x00, 0x00, 0x01, 0x01, 0x02, 0x03,
         0x01},
        {0x09, 0x02, 0, 0, 0x02, 0x01, 0x00, 0x80, 0xFA},
        {0x08, 0x0B, 0x00, 0x02, 0x01, 0x00, 0x20, 0x00},
        {0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x20, 0x00},
        {0x09, 0x24, 0x01, 0x00, 0x02, 0x08, 0, 0, 0x00},
        {0x08, 0x24, 0x0A, 0x0A, 0x03, 0x07, 0x00, 0x00},
        {0x11, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, 0x0A, 0x02, 0x03, 0, 0, 0, 0x00, 0x00, 0x00, 0x00},
        {0x11, 0x24, 0x02, 0x04, 0x03, 0x06, 0x00, 0x0A, 0x02, 0x03, 0, 0, 0, 0x00, 0x04, 0x00, 0x00},
        {0x09, 0x24, 0x05, 0x06, 0x02, 0x01, 0x04, 0x03, 0x00},
        // master: mute rw, volume read-only, bass rw, AGC rw, delay rw, input gain pad rw;
        // channels 1 and 2: volume rw
        {0x12, 0x24, 0x06, 0x02, 0x06, 0x37, 0xF0, 0xC0, 0x00, 0x0C, 0, 0, 0, 0x0C, 0, 0, 0, 0x00},
        {0x0C, 0x24, 0x03, 0x03, 0x01, 0x03, 0x00, 0x02, 0x0A, 0x04, 0x00, 0x00},
        {0x09, 0x04, 0x01, 0x00, 0x00, 0x01, 0x02, 0x20, 0x00},
        {0x09, 0x04, 0x01, 0x01, 0x01, 0x01, 0x02, 0x20, 0x00},
        {0x10, 0x24, 0x01, 0x01, 0x00, 0x01, 0x01, 0, 0, 0, 0x02, 0x03, 0, 0, 0, 0x00},
        {0x06, 0x24, 0x02, 0x01, 0x04, 0x18},
        {0x07, 0x05, 0x01, 0x09, 0x68, 0x00, 0x01},
        {0x08, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},
        {0x09, 0x04, 0x01, 0x02, 0x01, 0x01, 0x02, 0x20, 0x00},
        {0x10, 0x24, 0x01, 0x01, 0x00, 0x01, 0x01, 0, 0, 0, 0x02, 0x03, 0, 0, 0, 0x00},
        {0x06, 0x24, 0x02, 0x01, 0x02, 0x10},
        {0x07, 0x05, 0x01, 0x09, 0x68, 0x00, 0x01},
        {0x08, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},
    };
    const std::string text = Assemble(d) + R"(
clock 10 48000 96000 192000
control 2 2 min=-8192 max=0 res=256 cur=-1024
control 2 2 channel=1 min=-8192 max=1536 res=128 cur=0
control 2 3 min=-24 max=24 res=2 cur=-6
control 2 8 min=0 max=6400 res=64 cur=640
control 2 12 min=-5120 max=0 res=1280 cur=0
control 6 1 cur=2
control 10 2 cur=0
terminal-types 3 0x0301 0x0302 0x0402 current=0x0302
jack-block 3 0x3:0x01014000 0xC:0x02013000
jack 4 disconnected
)" + extra;
    sim::DeviceProfile p;
    std::string error;
    EXPECT_TRUE(sim::DeviceProfile::Parse(text, "rich", ".", &p, &error)) << error;
    return p;
}

TEST(AudioControl, Uac2ParameterLayoutsReadOnlyControlsConnectorsAndJackBlock)
{
    Host host(RichUac2());
    struct Row
    {
        uint16_t Value;
        Bytes Cur, Range; // Range empty: RANGE stalls
    };
    const Row rows[] = {
        {Cs(1, 0), {0}, {}},
        {Cs(2, 0), Le(-1024, 2), Cat({Le(1, 2), Le(-8192, 2), Le(0, 2), Le(256, 2)})},
        {Cs(2, 1), Le(0, 2), Cat({Le(1, 2), Le(-8192, 2), Le(1536, 2), Le(128, 2)})},
        {Cs(3, 0), Le(-6, 1), {0x01, 0x00, 0xE8, 0x18, 0x02}},
        {Cs(7, 0), {0}, {}},
        {Cs(8, 0), Le(640, 4), Cat({Le(1, 2), Le(0, 4), Le(6400, 4), Le(64, 4)})},
        {Cs(12, 0), Le(0, 2), Cat({Le(1, 2), Le(-5120, 2), Le(0, 2), Le(1280, 2)})},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message() << "wValue 0x" << std::hex << row.Value);
        EXPECT_EQ(host.Read(kCur, 2, row.Value), row.Cur);
        EXPECT_EQ(host.Read(kRange, 2, row.Value), row.Range.empty() ? kStalled : row.Range);
    }
    // Volume on the master is read-only: the write stalls and changes nothing; channel 1's is
    // writable.
    EXPECT_EQ(host.Set(kCur, 2, Cs(2, 0), Le(0, 2)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Read(kCur, 2, Cs(2, 0)), Le(-1024, 2));
    EXPECT_EQ(host.Set(kCur, 2, Cs(2, 1), Le(1536, 2)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Set(kCur, 2, Cs(8, 0), Le(1000, 4)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Read(kCur, 2, Cs(8, 0)), Le(1024, 4));
    EXPECT_EQ(host.Set(kCur, 2, Cs(8, 0), Le(64, 2)).Outcome, ControlOutcome::Stall);

    // Selector unit: CUR of the 1-based input and its RANGE.
    EXPECT_EQ(host.Read(kCur, 6, 0x0100), Bytes{2});
    EXPECT_EQ(host.Read(kRange, 6, 0x0100), (Bytes{1, 0, 1, 2, 1}));
    EXPECT_EQ(host.Set(kCur, 6, 0x0100, {1}).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Set(kCur, 6, 0x0100, {3}).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Read(kCur, 6, 0x0100), Bytes{1});
    EXPECT_EQ(host.Read(kCur, 6, 0x0000), kStalled);

    // Connector cluster: channels and the mask of connected channels; none while unplugged.
    EXPECT_EQ(host.Read(kCur, 3, 0x0200, 6), (Bytes{2, 0x03, 0, 0, 0, 0}));
    EXPECT_EQ(host.Read(kCur, 4, 0x0200, 6), (Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(host.Read(kCur, 1, 0x0200, 6), kStalled); // connector not announced
    ASSERT_TRUE(host.Engine().SetJackConnected(4, true));
    EXPECT_EQ(host.Read(kCur, 4, 0x0200, 6), (Bytes{2, 0x03, 0, 0, 0, 0}));

    EXPECT_EQ(host.Read(kCur, 3, 0x0800, 2), Le(0x0302, 2));
    EXPECT_EQ(host.Read(kRange, 3, 0x0800, 2), Le(3, 2));
    EXPECT_EQ(host.Read(kRange, 3, 0x0800, 3 * 6 + 2),
              Cat({Le(3, 2), Le(0x0301, 2), Le(0x0301, 2), Le(0, 2), Le(0x0302, 2), Le(0x0302, 2), Le(0, 2),
                   Le(0x0402, 2), Le(0x0402, 2), Le(0, 2)}));
    EXPECT_EQ(host.Set(kCur, 3, 0x0800, Le(0x0402, 2)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Read(kCur, 3, 0x0800, 2), Le(0x0402, 2));
    EXPECT_EQ(host.Set(kCur, 3, 0x0800, Le(0x0603, 2)).Outcome, ControlOutcome::Stall);

    const Bytes block = Cat({Bytes{2}, Le(0x3, 4), Le(0x01014000, 4), Le(0xC, 4), Le(0x02013000, 4)});
    EXPECT_EQ(host.Read(kCur, 3, 0x02FF, 9), Bytes(block.begin(), block.begin() + 9));
    EXPECT_EQ(host.Read(kCur, 3, 0x02FF, 2 * 8 + 1), block);
    // Class-2 devices take no vendor form of these requests.
    EXPECT_EQ(host.Get(0x81, 3, 0x02FF, 9, 0xC1).Outcome, ControlOutcome::Stall);
}

// A terminal that announces its connector but whose profile gives no jack block reports one
// jack over its own channels, sensed through the connector; "jack-block <id> stall" makes the
// device refuse it on purpose. Class 1 announces through the profile's jack line, class 2
// through bmControls.
TEST(AudioControl, AnAnnouncedConnectorWithoutAJackBlockReportsTheTerminalsOwnJack)
{
    struct Row
    {
        const char* Profile;
        const char* Extra;
        uint8_t Terminal;
        uint8_t RequestType; // vendor for class 1, class for class 2
        Bytes Expected;      // empty: stalls
    };
    const Bytes stereo = Cat({Bytes{1}, Le(0x3, 4), Le(0, 4)});
    const Row rows[] = {
        {"uac1-speaker", "", 3, 0xC1, stereo},                 // jack line, no block
        {"uac1-speaker", "jack-block 3 stall\n", 3, 0xC1, {}}, // refused on purpose
        {"uac1-headset", "", 7, 0xC1, {}},                     // no jack line: nothing announced
        {"uac2-interface", "", 4, 0xA1, {}},                   // connector not announced
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::string(row.Profile) + " " + row.Extra);
        sim::DeviceProfile p;
        std::string error;
        ASSERT_TRUE(sim::DeviceProfile::Parse(std::string(sim::BuiltinProfileText(row.Profile)) + row.Extra,
                                              "t", ".", &p, &error))
            << error;
        Host host(p);
        const Bytes got =
            host.Read(row.RequestType == 0xC1 ? 0x81 : kCur, row.Terminal, 0x02FF, 9, row.RequestType);
        EXPECT_EQ(got, row.Expected.empty() ? kStalled : row.Expected);
    }
    // Class 2: the rich device's terminal 4 announces its connector without a block; its jack
    // follows the plug through the connector, and a stall line refuses only the block.
    Host rich(RichUac2());
    EXPECT_EQ(rich.Read(kCur, 4, 0x02FF, 9), stereo);
    EXPECT_EQ(rich.Read(kCur, 4, 0x0200, 6), (Bytes{0, 0, 0, 0, 0, 0})); // "jack 4 disconnected"
    Host refusing(RichUac2("jack-block 4 stall\n"));
    EXPECT_EQ(refusing.Read(kCur, 4, 0x02FF, 9), kStalled);
    EXPECT_EQ(refusing.Read(kCur, 4, 0x0200, 6), (Bytes{0, 0, 0, 0, 0, 0}));
}

// A clock can list continuous and stepped sub-ranges beside its single rates, in the order the
// profile gives them; a rate inside one (on its step) is taken like a listed one.
TEST(AudioControl, Uac2ClockSubRangesAnswerInProfileOrderAndTakeRatesInside)
{
    std::string text = sim::BuiltinProfileText("uac2-interface");
    const std::string clock = "clock 10 44100 48000 96000";
    text.replace(text.find(clock), clock.size(), "clock 10 44100 88200-96000 8000-32000/8000");
    sim::DeviceProfile profile;
    std::string error;
    ASSERT_TRUE(sim::DeviceProfile::Parse(text, "ranges", ".", &profile, &error)) << error;
    Host host(profile);
    EXPECT_EQ(host.Read(kRange, 10, 0x0100, 3 * 12 + 2),
              Cat({Le(3, 2), Le(44100, 4), Le(44100, 4), Le(0, 4), Le(88200, 4), Le(96000, 4), Le(0, 4),
                   Le(8000, 4), Le(32000, 4), Le(8000, 4)}));
    EXPECT_EQ(host.Read(kCur, 10, 0x0100, 4), Le(44100, 4));
    struct Row
    {
        uint32_t Rate;
        bool Taken;
    };
    const Row rows[] = {{90000, true}, {96000, true},  {96001, false},
                        {24000, true}, {20000, false}, {48000, false}};
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Rate);
        EXPECT_EQ(host.Set(kCur, 10, 0x0100, Le(row.Rate, 4)).Outcome,
                  row.Taken ? ControlOutcome::Ack : ControlOutcome::Stall);
    }
    EXPECT_EQ(host.Engine().ClockRateHz(10), 24000u);
    // A range that runs backwards is no range.
    text.replace(text.find("88200-96000"), 11, "96000-88200");
    EXPECT_FALSE(sim::DeviceProfile::Parse(text, "backwards", ".", &profile, &error));
    EXPECT_NE(error.find("runs backwards"), std::string::npos) << error;
}

TEST(AudioControl, Uac2ClockFrequencyValiditySelectorAndValidAlternateSettings)
{
    Host host(Builtin("uac2-interface"));
    EXPECT_EQ(host.Read(kCur, 10, 0x0100, 4), Le(44100, 4));
    const Bytes range = Cat({Le(3, 2), Le(44100, 4), Le(44100, 4), Le(0, 4), Le(48000, 4), Le(48000, 4),
                             Le(0, 4), Le(96000, 4), Le(96000, 4), Le(0, 4)});
    EXPECT_EQ(host.Read(kRange, 10, 0x0100, 14), Bytes(range.begin(), range.begin() + 14));
    EXPECT_EQ(host.Read(kRange, 10, 0x0100, 3 * 12 + 2), range);
    EXPECT_EQ(host.Set(kCur, 10, 0x0100, Le(96000, 4)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Read(kCur, 10, 0x0100, 4), Le(96000, 4));
    EXPECT_EQ(host.Engine().ClockRateHz(10), 96000u);
    EXPECT_EQ(host.Set(kCur, 10, 0x0100, Le(32000, 4)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Set(kCur, 10, 0x0100, Le(48000, 3)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Engine().ClockRateHz(10), 96000u);

    EXPECT_EQ(host.Read(kCur, 10, 0x0200, 1), Bytes{1});
    EXPECT_EQ(host.Set(kCur, 10, 0x0200, {0}).Outcome, ControlOutcome::Stall); // validity is read-only
    EXPECT_EQ(host.Read(kRange, 10, 0x0200), kStalled);
    ASSERT_TRUE(host.Engine().SetClockValid(10, false));
    EXPECT_EQ(host.Read(kCur, 10, 0x0200, 1), Bytes{0});

    // The rich device's clock starts invalid, on its first rate, from its profile.
    Host rich(RichUac2());
    EXPECT_EQ(rich.Read(kCur, 10, 0x0200, 1), Bytes{0});
    EXPECT_EQ(rich.Read(kCur, 10, 0x0100, 4), Le(48000, 4));

    // A fixed clock refuses a rate; the clock selector switches between its two sources.
    Host selector(Builtin("uac2-clock-selector"));
    EXPECT_EQ(selector.Read(kCur, 11, 0x0100, 4), Le(48000, 4));
    EXPECT_EQ(selector.Set(kCur, 11, 0x0100, Le(48000, 4)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(selector.Read(kCur, 12, 0x0100, 1), Bytes{1});
    EXPECT_EQ(selector.Set(kCur, 12, 0x0100, {2}).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(selector.Read(kCur, 12, 0x0100, 1), Bytes{2});
    EXPECT_EQ(selector.Set(kCur, 12, 0x0100, {3}).Outcome, ControlOutcome::Stall);

    auto valid = [&](uint16_t index, uint16_t length) {
        return host.Device.HandleControl(SetupPacket{0xA1, kCur, 0x0200, index, length});
    };
    EXPECT_EQ(valid(1, 5).Data, (Bytes{2, 0x03, 0x00}));
    EXPECT_EQ(valid(2, 5).Data, (Bytes{2, 0x03, 0x00}));
    EXPECT_EQ(valid(1, 1).Data, Bytes{2});
    EXPECT_EQ(rich.Device.HandleControl(SetupPacket{0xA1, kCur, 0x0200, 1, 5}).Data, (Bytes{2, 0x07, 0x00}));
    EXPECT_EQ(valid(3, 5).Outcome, ControlOutcome::Stall);      // no such interface
    EXPECT_EQ(valid(0x0501, 5).Outcome, ControlOutcome::Stall); // an entity on a streaming interface
    EXPECT_EQ(host.Device.HandleControl(SetupPacket{0xA1, kCur, 0x0100, 1, 1}).Outcome,
              ControlOutcome::Stall);
    EXPECT_EQ(host.Device.HandleControl(SetupPacket{0x21, kCur, 0x0200, 1, 3}, {2, 1, 0}).Outcome,
              ControlOutcome::Stall);
    // Class-1 streaming interfaces have no such control.
    Host speaker(Builtin("uac1-speaker"));
    EXPECT_EQ(speaker.Device.HandleControl(SetupPacket{0xA1, kCur, 0x0200, 1, 5}).Outcome,
              ControlOutcome::Stall);
}

// --- Faults and observers ----------------------------------------------------------------

sim::AudioControlFaults Stall(const sim::ControlRequestMatch& match)
{
    sim::AudioControlFaults faults;
    faults.StallMatching = true;
    faults.StallMatch = match;
    return faults;
}

// A change as (entity, selector, channel, interface).
using ChangeKey = std::tuple<int, int, int, int>;
std::vector<ChangeKey> Keys(const std::vector<sim::ControlChange>& changes)
{
    std::vector<ChangeKey> keys;
    for (const sim::ControlChange& c : changes)
        keys.emplace_back(c.EntityId, c.Selector, c.Channel, c.InterfaceNumber);
    return keys;
}

TEST(AudioControl, FaultsStallOrShortenTheNamedRequestsOnly)
{
    Host host(Builtin("uac1-mixer"));
    const Bytes volume = host.Read(kGetCur, 2, Cs(2, 0));
    // Off by default: the same request answers the same with a default record installed.
    host.Engine().SetFaults(sim::AudioControlFaults());
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(2, 0)), volume);

    // Matches name bmRequestType, bRequest, the target, the selector and the channel; -1 is any.
    host.Engine().SetFaults(Stall({-1, kSetCur, 2, 2, -1}));
    EXPECT_EQ(host.Set(kSetCur, 2, Cs(2, 0), Le(0, 2)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Set(kSetCur, 2, Cs(2, 1), Le(-128, 2)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(2, 0)), volume); // the stalled SET changed nothing
    EXPECT_EQ(host.Set(kSetCur, 2, Cs(1, 0), {1}).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Set(kSetCur, 5, Cs(2, 0), Le(0, 2)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(host.Engine().Faults().StallMatch.Target, 2);

    // Stall by channel, and for an endpoint by its address.
    host.Engine().SetFaults(Stall({-1, -1, -1, -1, 2}));
    EXPECT_EQ(host.Get(kGetCur, 2, Cs(2, 2)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(host.Get(kGetCur, 2, Cs(2, 1)).Outcome, ControlOutcome::Ack);
    host.Engine().SetFaults(Stall({-1, -1, 0x82, -1, -1}));
    EXPECT_EQ(host.Device.HandleControl(SetupPacket{0xA2, kGetCur, 0x0100, 0x82, 3}).Outcome,
              ControlOutcome::Stall);
    EXPECT_EQ(host.Device.HandleControl(SetupPacket{0xA2, kGetCur, 0x0100, 0x01, 3}).Outcome,
              ControlOutcome::Ack);

    // A short reply: the jack block head comes back with 3 of its 9 bytes, and the device's
    // log records what went out.
    sim::AudioControlFaults faults;
    faults.ShortReplyMatching = true;
    faults.ShortMatch = {-1, -1, -1, 0x02, 0xFF};
    faults.ShortReplyBytes = 3;
    host.Engine().SetFaults(faults);
    host.Device.ClearLog();
    ControlResult head = host.Get(0x81, 3, 0x02FF, 9, 0xC1);
    EXPECT_EQ(head.Outcome, ControlOutcome::Ack);
    EXPECT_EQ(head.Data, Cat({Bytes{1}, Bytes{3, 0}}));
    EXPECT_EQ(host.Device.Log().back().InLength, 3u);
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(2, 0)).size(), 2u); // other requests whole
    EXPECT_EQ(host.Set(kSetCur, 2, Cs(2, 0xFF), Le(0, 2)).Outcome, ControlOutcome::Stall); // OUT: untouched
}

TEST(AudioControl, ObserversHearChangesMadeOnTheDeviceOnly)
{
    Host host(Builtin("uac1-mixer"));
    std::vector<sim::ControlChange> first, second;
    int32_t seenByObserver = 0;
    const int a = host.Engine().AddChangeObserver(
        [&](const sim::ControlChange& c)
        {
            first.push_back(c);
            // Observers may read the device back: the engine's lock is not held.
            host.Engine().ControlValue(c.EntityId, c.Selector, c.Channel, &seenByObserver);
        });
    host.Engine().AddChangeObserver([&](const sim::ControlChange& c) { second.push_back(c); });
    ASSERT_GT(a, 0);

    ASSERT_TRUE(host.Engine().ChangeControl(2, 2, 1, -1000)); // a knob: clamped and rounded
    EXPECT_EQ(Keys(first), (std::vector<ChangeKey>{{2, 2, 1, 0}}));
    EXPECT_EQ(seenByObserver, -1024);
    EXPECT_EQ(host.Read(kGetCur, 2, Cs(2, 1)), Le(-1024, 2));
    EXPECT_EQ(second.size(), 1u);

    EXPECT_TRUE(host.Engine().ChangeControl(2, 2, 1, -1024)); // no change, no report
    EXPECT_EQ(host.Set(kSetCur, 2, Cs(2, 1), Le(-2048, 2)).Outcome, ControlOutcome::Ack); // the host's own
    EXPECT_EQ(first.size(), 1u);
    EXPECT_FALSE(host.Engine().ChangeControl(2, 7, 0, 1));  // not announced
    EXPECT_FALSE(host.Engine().SetJackConnected(2, false)); // not a terminal

    ASSERT_TRUE(host.Engine().SetJackConnected(7, true));
    ASSERT_TRUE(host.Engine().SetCurrentTerminalType(3, 0x0302));
    EXPECT_FALSE(host.Engine().SetCurrentTerminalType(3, 0x0603));
    EXPECT_EQ(Keys(first), (std::vector<ChangeKey>{{2, 2, 1, 0}, {7, 2, 0, 0}, {3, 8, 0, 0}}));
    EXPECT_TRUE(host.Engine().JackConnected(7));

    host.Engine().RemoveChangeObserver(a);
    ASSERT_TRUE(host.Engine().ChangeControl(5, 7, 0, 0));
    EXPECT_EQ(first.size(), 3u);
    EXPECT_EQ(Keys(second), (std::vector<ChangeKey>{{2, 2, 1, 0}, {7, 2, 0, 0}, {3, 8, 0, 0}, {5, 7, 0, 0}}));

    Host clock(Builtin("uac2-interface"));
    std::vector<sim::ControlChange> clockChanges;
    clock.Engine().AddChangeObserver([&](const sim::ControlChange& c) { clockChanges.push_back(c); });
    ASSERT_TRUE(clock.Engine().SetClockValid(10, false));
    EXPECT_TRUE(clock.Engine().SetClockValid(10, false));
    EXPECT_EQ(Keys(clockChanges), (std::vector<ChangeKey>{{10, 2, 0, 0}}));
    EXPECT_FALSE(clock.Engine().ClockValid(10));
}

// --- Every profile -----------------------------------------------------------------------

// The width of a feature control by selector, as the two releases lay them out.
unsigned FeatureWidth(uint8_t selector, bool release2)
{
    switch (selector)
    {
    case 2:
    case 11:
    case 12:
        return 2;
    case 8:
        return release2 ? 4 : 2;
    case 16:
        return 4;
    default:
        return 1;
    }
}

// Reads every control the descriptors announce and checks the width (and, where the profile
// names the control, the value). Returns how many controls answered.
int CheckEveryAnnouncedControl(const sim::DeviceProfile& p)
{
    Host host(p);
    const std::vector<uint8_t>& cfg = p.ConfigurationDescriptor();
    int answered = 0;
    int interfaceNumber = -1;
    bool release2 = false;
    for (const usbdtest::WalkedDescriptor& w : usbdtest::Walk(cfg.data(), cfg.size()))
    {
        const uint8_t* d = &cfg[w.Offset];
        if (w.Type == 4)
        {
            interfaceNumber = d[5] == 1 && d[6] == 1 ? d[2] : -1;
            release2 = d[7] == 0x20;
            continue;
        }
        if (interfaceNumber < 0 || w.Type != 0x24 || d[2] != 6 || w.Length < 7)
            continue;
        const unsigned size = release2 ? 4 : d[5];
        const size_t first = release2 ? 5 : 6;
        for (size_t channel = 0; size > 0 && first + (channel + 1) * size <= size_t(w.Length) - 1; ++channel)
        {
            uint32_t map = 0;
            for (unsigned k = 0; k < size && k < 4; ++k)
                map |= uint32_t(d[first + channel * size + k]) << (8 * k);
            for (uint8_t s = 1; s <= (release2 ? 16 : 10); ++s)
            {
                const bool present =
                    release2 ? ((map >> (2 * (s - 1))) & 1) != 0 : ((map >> (s - 1)) & 1) != 0;
                if (!present || s == 6)
                    continue;
                SCOPED_TRACE(testing::Message() << p.Name() << " unit " << int(d[3]) << " selector " << int(s)
                                                << " channel " << channel);
                ControlResult r = host.Device.HandleControl(
                    SetupPacket{0xA1, uint8_t(release2 ? kCur : kGetCur), Cs(s, uint8_t(channel)),
                                uint16_t(d[3] << 8 | interfaceNumber), 64});
                EXPECT_EQ(r.Outcome, ControlOutcome::Ack);
                EXPECT_EQ(r.Data.size(), FeatureWidth(s, release2));
                const sim::ControlSetting setting = p.Control(d[3], s, uint8_t(channel));
                if (setting.Explicit && r.Outcome == ControlOutcome::Ack)
                {
                    EXPECT_EQ(r.Data, Le(setting.Cur, FeatureWidth(s, release2)));
                }
                answered += r.Outcome == ControlOutcome::Ack;
            }
        }
    }
    return answered;
}

TEST(AudioControl, EveryBuiltinProfileAnswersEveryControlItDeclares)
{
    for (const std::string& name : sim::BuiltinProfileNames())
    {
        SCOPED_TRACE(name);
        sim::DeviceProfile p = Builtin(name);
        EXPECT_GT(CheckEveryAnnouncedControl(p), 0);
        Host host(p);
        // Every control line: its value read back through the request its entity takes.
        for (const sim::ControlSetting& c : p.Controls())
        {
            SCOPED_TRACE(testing::Message()
                         << "control " << int(c.EntityId) << " " << int(c.Selector) << " " << int(c.Channel));
            const sim::ProfileEntity* e = p.FindEntity(c.EntityId);
            ASSERT_NE(e, nullptr);
            const bool release2 = e->Protocol == 0x20;
            if (e->Subtype == 0x0A)
            {
                EXPECT_EQ(host.Engine().ClockValid(c.EntityId), c.Cur != 0);
                continue;
            }
            int32_t value = 0;
            ASSERT_TRUE(host.Engine().ControlValue(c.EntityId, c.Selector, c.Channel, &value));
            EXPECT_EQ(value, c.Cur);
            const uint16_t wValue = e->Subtype == 0x05 && !release2 ? 0 : Cs(c.Selector, c.Channel);
            ControlResult r = host.Get(release2 ? kCur : kGetCur, c.EntityId, wValue);
            ASSERT_EQ(r.Outcome, ControlOutcome::Ack);
            const unsigned width = e->Subtype == 0x06   ? FeatureWidth(c.Selector, release2)
                                   : e->Subtype == 0x04 ? 2
                                                        : 1;
            EXPECT_EQ(r.Data, Le(c.Cur, width));
        }
        for (const sim::ClockSetting& clock : p.Clocks())
            EXPECT_EQ(host.Read(kCur, clock.ClockId, 0x0100, 4), Le(clock.RatesHz[0], 4));
    }
}

TEST(AudioControl, RealDevicesAnswerTheirControlsWithDefaults)
{
    int total = 0;
    corpus::ForEachRealDevice(
        [&](const std::string&, const std::vector<uint8_t>& file)
        {
            sim::DeviceProfile p;
            std::string error;
            ASSERT_TRUE(sim::DeviceProfile::FromDescriptorBytes(file, "dump", &p, &error)) << error;
            total += CheckEveryAnnouncedControl(p);
        });
    EXPECT_TRUE(total > 0 || corpus::RealDeviceDumps().empty());
}

// --- Profile lines for the controls -------------------------------------------------------

TEST(ControlProfile, DefaultsFollowTheKindOfTheEntityAndLinesAddTypesAndJackBlocks)
{
    sim::DeviceProfile p = Builtin("uac1-mixer");
    sim::ControlSetting selector = p.Control(9, 1, 0);
    EXPECT_EQ(selector.Min, 1);
    EXPECT_EQ(selector.Max, 2); // two input pins
    EXPECT_EQ(selector.Cur, 2); // the profile's line
    sim::ControlSetting diagonal = p.Control(8, 2, 2);
    EXPECT_FALSE(diagonal.Explicit);
    EXPECT_EQ(diagonal.Cur, 0);
    EXPECT_EQ(p.Control(8, 1, 2).Cur, -60 * 256);
    EXPECT_EQ(p.Control(2, 8, 1).Max, 100 * 64); // delay
    EXPECT_EQ(p.Control(5, 7, 0).Max, 1);
    sim::DeviceProfile clocks = Builtin("uac2-clock-selector");
    EXPECT_EQ(clocks.Control(10, 2, 0).Cur, 1);
    EXPECT_EQ(clocks.Control(12, 1, 0).Max, 2);
    // A line that gives only the current value keeps the kind's range.
    std::string error;
    sim::DeviceProfile custom;
    ASSERT_TRUE(sim::DeviceProfile::Parse(std::string(sim::BuiltinProfileText("uac1-mixer")) +
                                              "control 8 2 channel=1 cur=-256\n",
                                          "x", ".", &custom, &error))
        << error;
    EXPECT_EQ(custom.Control(8, 2, 1).Min, -60 * 256);
    EXPECT_EQ(custom.Control(8, 2, 1).Cur, -256);

    const sim::TerminalTypesSetting* types = p.FindTerminalTypes(3);
    ASSERT_NE(types, nullptr);
    EXPECT_EQ(types->Types, (std::vector<uint16_t>{0x0301, 0x0302}));
    EXPECT_EQ(types->Current, 0x0301); // the descriptor's type
    ASSERT_NE(p.FindJackBlock(3, 0x0302), nullptr);
    EXPECT_EQ(p.FindJackBlock(3, 0x0302)->Jacks[0].Configuration, 0x02013000u);
    EXPECT_EQ(p.FindJackBlock(3, 0x0603), nullptr); // only typed blocks for terminal 3
    EXPECT_EQ(p.FindJackBlock(4, 0x1234)->Jacks[0].ChannelMapping, 1u);
    EXPECT_EQ(p.FindJackBlock(10, 0x0101), nullptr);

    const std::string base = sim::BuiltinProfileText("uac1-mixer");
    sim::DeviceProfile q;
    ASSERT_TRUE(sim::DeviceProfile::Parse(base + "jack-block 10\n", "ok", ".", &q, &error)) << error;
    EXPECT_TRUE(q.FindJackBlock(10, 0x0101)->Jacks.empty());
    Host host(q);
    EXPECT_EQ(host.Read(0x81, 10, 0x02FF, 9, 0xC1), Bytes{0}); // a block of count 0
}

} // namespace
