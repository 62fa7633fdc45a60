// The built-in device profiles, as profile text (the format is described in profile.h). Each
// descriptor is one line of hex with a comment; nested lines belong to the interface above.
// The descriptors many devices share (streaming settings, the headset's microphone path, the
// class-2 interface at either speed) are made by the builders below, so a device's text
// lists only what sets it apart.
#include "sim/profiles/profile.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace sim
{

namespace
{

std::string Hex4(unsigned value)
{
    char text[8];
    snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
    return text;
}

std::string Plural(unsigned count, const char* what)
{
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// One descriptor line: indented by its depth (1 for the device, configuration and interfaces,
// 2 for what an interface holds), its bytes in hex, then what they are.
std::string Descriptor(int depth, const std::vector<unsigned>& bytes, const std::string& what)
{
    std::string line(size_t(depth) * 2, ' ');
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        char hex[4];
        snprintf(hex, sizeof(hex), i == 0 ? "%02X" : " %02X", bytes[i] & 0xFF);
        line += hex;
    }
    return line + "  # " + what + "\n";
}

unsigned Lo(unsigned value)
{
    return value & 0xFF;
}
unsigned Hi(unsigned value)
{
    return (value >> 8) & 0xFF;
}

// The profile's first lines: its name, bus speed and the start of its descriptors.
std::string Heading(const char* name, const char* speed)
{
    return std::string("name ") + name + "\nspeed " + speed + "\ndescriptors\n";
}

std::string Uac1Device(unsigned vendor, unsigned product)
{
    return Descriptor(1,
                      {0x12, 0x01, 0x10, 0x01, 0, 0, 0, 0x40, Lo(vendor), Hi(vendor), Lo(product),
                       Hi(product), 0, 1, 1, 2, 3, 1},
                      "device: USB 1.10, vendor " + Hex4(vendor) + ", product " + Hex4(product) +
                          ", strings 1 2 3");
}

std::string Uac2Device(unsigned product)
{
    return Descriptor(
        1,
        {0x12, 0x01, 0, 0x02, 0xEF, 0x02, 0x01, 0x40, 0xF1, 0xFF, Lo(product), Hi(product), 0, 1, 1, 2, 3, 1},
        "device: USB 2.00, interface association, vendor FFF1, product " + Hex4(product));
}

std::string Configuration(unsigned totalLength, unsigned interfaces, unsigned milliamps)
{
    return Descriptor(1,
                      {0x09, 0x02, Lo(totalLength), Hi(totalLength), interfaces, 1, 0, 0x80, milliamps / 2},
                      "configuration 1: " + Plural(interfaces, "interface") + ", bus powered, " +
                          std::to_string(milliamps) + " mA");
}

// Class 1: the audio-control interface and its header, which lists the streaming interfaces
// (numbered from 1).
std::string Uac1ControlInterface(unsigned endpoints, unsigned totalLength, unsigned streamingInterfaces)
{
    std::vector<unsigned> header = {
        8 + streamingInterfaces, 0x24, 0x01, 0x00, 0x01, Lo(totalLength), Hi(totalLength),
        streamingInterfaces};
    for (unsigned i = 1; i <= streamingInterfaces; ++i)
        header.push_back(i);
    return Descriptor(1, {0x09, 0x04, 0, 0, endpoints, 0x01, 0x01, 0, 0},
                      "interface 0 alt 0: audio control, " + Plural(endpoints, "endpoint")) +
           Descriptor(2, header,
                      "AC header: release 1.00, " + Plural(streamingInterfaces, "streaming interface"));
}

const char kUac1UsbStereoInput[] =
    "    0C 24 02 01 01 01 00 02 03 00 00 00  # input terminal 1: USB streaming, 2 channels (L R)\n";
const char kUac1MicrophoneInput[] =
    "    0C 24 02 04 01 02 00 01 00 00 00 00  # input terminal 4: microphone, 1 channel\n";
const char kUac1StatusEndpoint[] =
    "    09 05 83 03 02 00 20 00 00  # endpoint 0x83: interrupt IN, 2 bytes (status word), every 32 ms\n";

// The headset's capture path: microphone -> feature unit 5 -> selector 6 -> USB streaming
// terminal 7, then the status endpoint that ends its audio-control interface.
std::string Uac1HeadsetMicrophonePath()
{
    return std::string(kUac1MicrophoneInput) +
           "    09 24 06 05 04 01 03 00 00  # feature unit 5 <- 4: master mute and volume\n"
           "    07 24 05 06 01 05 00  # selector unit 6 <- 5\n"
           "    09 24 03 07 01 01 00 06 00  # output terminal 7 <- 6: USB streaming\n" +
           kUac1StatusEndpoint;
}

std::string ZeroBandwidthSetting(unsigned interface, unsigned protocol)
{
    return Descriptor(1, {0x09, 0x04, interface, 0, 0, 0x01, 0x02, protocol, 0},
                      "interface " + std::to_string(interface) + " alt 0: audio streaming, no bandwidth");
}

const std::vector<unsigned> kRates44And48 = {44100, 48000};

// A class-1 PCM setting on one isochronous endpoint: OUT endpoints are adaptive, IN ones
// asynchronous; a packet holds one sample frame more than a 1 ms frame at the highest rate.
struct Uac1Pcm
{
    unsigned Interface;
    unsigned Alt;
    const char* What;
    unsigned Terminal;
    unsigned Channels;
    unsigned SubframeBytes;
    unsigned Endpoint;
    std::vector<unsigned> Rates = kRates44And48;
};

std::string Uac1PcmSetting(const Uac1Pcm& s)
{
    const bool in = (s.Endpoint & 0x80) != 0;
    const unsigned bits = s.SubframeBytes * 8;
    const unsigned maxPacket =
        s.Channels * s.SubframeBytes * (*std::max_element(s.Rates.begin(), s.Rates.end()) / 1000 + 1);
    std::vector<unsigned> format = {
        unsigned(8 + 3 * s.Rates.size()), 0x24, 0x02, 0x01, s.Channels, s.SubframeBytes, bits,
        unsigned(s.Rates.size())};
    std::string rates;
    for (unsigned rate : s.Rates)
    {
        format.insert(format.end(), {rate & 0xFF, (rate >> 8) & 0xFF, (rate >> 16) & 0xFF});
        rates += std::to_string(rate) + " ";
    }
    char endpoint[8];
    snprintf(endpoint, sizeof(endpoint), "0x%02X", s.Endpoint);
    return Descriptor(1, {0x09, 0x04, s.Interface, s.Alt, 0x01, 0x01, 0x02, 0, 0},
                      "interface " + std::to_string(s.Interface) + " alt " + std::to_string(s.Alt) + ": " +
                          s.What) +
           Descriptor(2, {0x07, 0x24, 0x01, s.Terminal, 0x01, 0x01, 0x00},
                      "AS general: terminal " + std::to_string(s.Terminal) + ", delay 1, PCM") +
           Descriptor(2, format,
                      "format type I: " + Plural(s.Channels, "channel") + ", " +
                          std::to_string(s.SubframeBytes) + "-byte subframes, " + std::to_string(bits) +
                          " bits, " + rates + "Hz") +
           Descriptor(
               2, {0x09, 0x05, s.Endpoint, in ? 0x05u : 0x09u, Lo(maxPacket), Hi(maxPacket), 0x01, 0, 0},
               std::string("endpoint ") + endpoint + ": isochronous " +
                   (in ? "IN, asynchronous, " : "OUT, adaptive, ") + std::to_string(maxPacket) + " bytes") +
           Descriptor(2, {0x07, 0x25, 0x01, 0x01, 0, 0, 0}, "CS endpoint: sampling frequency control");
}

std::string Uac1PcmSettings(std::initializer_list<Uac1Pcm> settings)
{
    std::string text = ZeroBandwidthSetting(settings.begin()->Interface, 0);
    for (const Uac1Pcm& s : settings)
        text += Uac1PcmSetting(s);
    return text;
}

// Interface 1 of the speaker and the headset: 16-bit and 24-bit stereo playback.
std::string Uac1StereoPlayback()
{
    return Uac1PcmSettings({{1, 1, "16-bit stereo", 1, 2, 2, 0x01}, {1, 2, "24-bit stereo", 1, 2, 3, 0x01}});
}

// Interface 2 of the headset and its variants: the microphone from terminal 7.
std::string Uac1MonoCapture()
{
    return Uac1PcmSettings({{2, 1, "16-bit mono capture", 7, 1, 2, 0x82}});
}

std::string Strings(const char* product, const char* serial)
{
    return std::string("string 1 \"Uacsim\"\nstring 2 \"") + product + "\"\nstring 3 \"" + serial + "\"\n";
}

// Class 2: the association of every interface, the audio-control interface and its header.
std::string Uac2ControlInterface(unsigned interfaces, unsigned endpoints, unsigned totalLength)
{
    return Descriptor(1, {0x08, 0x0B, 0, interfaces, 0x01, 0, 0x20, 0},
                      "interface association: interfaces 0-" + std::to_string(interfaces - 1) +
                          ", audio, release 2.0") +
           Descriptor(1, {0x09, 0x04, 0, 0, endpoints, 0x01, 0x01, 0x20, 0},
                      "interface 0 alt 0: audio control, release 2.0") +
           Descriptor(2, {0x09, 0x24, 0x01, 0x00, 0x02, 0x08, Lo(totalLength), Hi(totalLength), 0},
                      "AC header: release 2.00, category I/O box");
}

const char kUac2ProgrammableClock[] =
    "    08 24 0A 0A 03 07 00 00  # clock source 10: internal programmable, "
    "frequency read-write, validity read-only\n";

// A class-2 PCM setting on an asynchronous isochronous endpoint, with the explicit feedback
// endpoint 0x81 for render when asked. A packet holds one sample frame more than a
// (micro)frame at the highest rate; feedback is 16.16 at high speed and 10.14 at full speed.
struct Uac2Pcm
{
    unsigned Interface;
    const char* What;
    unsigned Terminal;
    unsigned Channels;
    unsigned ChannelMask;
    unsigned SubslotBytes;
    unsigned Bits;
    unsigned Endpoint;
    bool Feedback;
};

std::string Uac2PcmSetting(const Uac2Pcm& s, bool highSpeed, unsigned maxRate)
{
    const bool in = (s.Endpoint & 0x80) != 0;
    const unsigned bits = s.Bits;
    const unsigned maxPacket = s.Channels * s.SubslotBytes * (maxRate / (highSpeed ? 8000 : 1000) + 1);
    const unsigned everyMs = highSpeed ? 0x04 : 0x01;
    char endpoint[8];
    snprintf(endpoint, sizeof(endpoint), "0x%02X", s.Endpoint);
    std::string text = ZeroBandwidthSetting(s.Interface, 0x20) +
                       Descriptor(1, {0x09, 0x04, s.Interface, 1, s.Feedback ? 2u : 1u, 0x01, 0x02, 0x20, 0},
                                  "interface " + std::to_string(s.Interface) + " alt 1: " + s.What) +
                       Descriptor(2,
                                  {0x10, 0x24, 0x01, s.Terminal, 0, 0x01, 0x01, 0, 0, 0, s.Channels,
                                   s.ChannelMask & 0xFF, (s.ChannelMask >> 8) & 0xFF, 0, 0, 0},
                                  "AS general: terminal " + std::to_string(s.Terminal) + ", type I, PCM, " +
                                      Plural(s.Channels, "channel")) +
                       Descriptor(2, {0x06, 0x24, 0x02, 0x01, s.SubslotBytes, bits},
                                  "format type I: " + std::to_string(s.SubslotBytes) + "-byte subslots, " +
                                      std::to_string(bits) + " bits") +
                       Descriptor(2, {0x07, 0x05, s.Endpoint, 0x05, Lo(maxPacket), Hi(maxPacket), 0x01},
                                  std::string("endpoint ") + endpoint + ": isochronous " +
                                      (in ? "IN" : "OUT") + ", asynchronous, " + std::to_string(maxPacket) +
                                      " bytes, every " + (highSpeed ? "microframe" : "frame")) +
                       Descriptor(2, {0x08, 0x25, 0x01, 0, 0, 0, 0, 0}, "CS endpoint: no controls");
    if (s.Feedback)
    {
        text += highSpeed
                    ? Descriptor(2, {0x07, 0x05, 0x81, 0x11, 0x04, 0x00, everyMs},
                                 "endpoint 0x81: isochronous IN, feedback, 4 bytes (16.16), every 1 ms")
                    : Descriptor(2, {0x07, 0x05, 0x81, 0x11, 0x03, 0x00, everyMs},
                                 "endpoint 0x81: isochronous IN, feedback, 3 bytes (10.14), every 1 ms");
    }
    return text;
}

std::string Uac1SpeakerProfile()
{
    return std::string(
               R"(# Class-1 speaker: USB streaming -> feature unit (mute, volume) -> speaker, one adaptive
# OUT interface with 16-bit and 24-bit stereo at 44.1 and 48 kHz.
)") + Heading("uac1-speaker", "full") +
           Uac1Device(0xFFF1, 0x0001) + Configuration(0x9F, 2, 100) + Uac1ControlInterface(0, 0x28, 1) +
           kUac1UsbStereoInput +
           R"(    0A 24 06 02 01 01 03 00 00 00  # feature unit 2 <- 1: master mute and volume
    09 24 03 03 01 03 00 02 00  # output terminal 3 <- 2: speaker
)" + Uac1StereoPlayback() +
           "end\n" + Strings("Uacsim USB Speaker", "SPK0001") +
           R"(string 0x50 "0100-SPK"          # identification string read at start
control 2 2 min=-12800 max=0 res=128 cur=-2560   # master volume: -50..0 dB, at -10 dB
control 2 1 cur=0                                # master mute off
jack 3 connected
)";
}

// The headset's descriptors; its variants change only the identity and the device's answers.
std::string Uac1HeadsetDescriptors(unsigned product)
{
    return Uac1Device(0xFFF1, product) + Configuration(0x105, 3, 100) + Uac1ControlInterface(1, 0x4E, 2) +
           kUac1UsbStereoInput +
           R"(    0A 24 06 02 01 01 03 00 00 00  # feature unit 2 <- 1: master mute and volume
    09 24 03 03 02 03 00 02 00  # output terminal 3 <- 2: headphones
)" + Uac1HeadsetMicrophonePath() +
           Uac1StereoPlayback() + Uac1MonoCapture() + "end\n";
}

const char kUac1HeadsetCaptureControls[] =
    R"(control 5 2 min=-3072 max=7680 res=256 cur=0     # microphone volume: -12..+30 dB
control 6 1 min=1 max=1 res=1 cur=1              # selector: its only input
)";

constexpr const char* kUac1HeadsetAbout =
    R"(# Class-1 headset: the speaker path to headphones, and microphone -> feature unit ->
# selector -> USB streaming on a 16-bit mono IN interface; a 2-byte status interrupt endpoint
# on the audio-control interface.
)";

// The headset under a profile name and identification string, with extra profile lines; About
// is the comment that heads the profile, the description `uacsim devices` shows.
std::string Uac1HeadsetProfile(const char* name, const char* identification, const char* extra,
                               const char* about = kUac1HeadsetAbout)
{
    return std::string(about) + Heading(name, "full") + Uac1HeadsetDescriptors(0x0002) +
           Strings("Uacsim USB Headset", "HS0001") + "string 0x50 \"" + identification + "\"" +
           R"(           # identification string read at start
control 2 2 min=-12800 max=0 res=128 cur=-2560   # headphone volume
)" + kUac1HeadsetCaptureControls +
           "jack 3 connected\njack 4 connected\n" + extra;
}

std::string Uac1MixerProfile()
{
    return std::string(
               R"(# Class-1 mixer: USB playback and a microphone mixed to a speaker through a feature unit with
# every tone control; the microphone (mute, volume, automatic gain) or the line input
# (1-byte control bitmaps) selected for capture; the speaker switches between speaker and
# headphone terminal types and reports its jacks; a 2-byte status interrupt endpoint.
)") + Heading("uac1-mixer", "full") +
           Uac1Device(0xFFF1, 0x0006) + Configuration(0xFE, 3, 100) + Uac1ControlInterface(1, 0x75, 2) +
           kUac1UsbStereoInput + kUac1MicrophoneInput +
           R"(    0C 24 02 07 03 06 00 02 03 00 00 00  # input terminal 7: line connector, 2 channels (L R)
    09 24 06 05 04 01 43 00 00  # feature unit 5 <- 4: master mute, volume, automatic gain
    0A 24 06 0B 07 01 03 00 00 00  # feature unit 11 <- 7: master mute and volume, 1-byte bitmaps
    0D 24 04 08 02 01 05 02 03 00 00 9C 00  # mixer unit 8 <- 1 5: 3 inputs to 2 outputs (L R), programmable 1>1 2>2 3>1 3>2
    0D 24 06 02 08 02 9F 03 02 00 02 00 00  # feature unit 2 <- 8: master mute volume bass mid treble delay bass-boost loudness, volume per channel
    09 24 03 03 01 03 00 02 00  # output terminal 3 <- 2: speaker
    08 24 05 09 02 05 0B 00  # selector unit 9 <- 5 11
    09 24 03 0A 01 01 00 09 00  # output terminal 10 <- 9: USB streaming
)" + kUac1StatusEndpoint +
           Uac1PcmSettings({{1, 1, "16-bit stereo playback", 1, 2, 2, 0x01}}) +
           Uac1PcmSettings({{2, 1, "16-bit stereo capture", 10, 2, 2, 0x82}}) + "end\n" +
           Strings("Uacsim USB Mixer", "MIX0001") +
           R"(string 0x50 "0100-MIX"          # identification string read at start
control 2 1 cur=0                                    # speaker mute off
control 2 2 min=-12800 max=0 res=128 cur=-2560       # master volume: -50..0 dB, at -10 dB
control 2 2 channel=1 min=-12800 max=0 res=128 cur=0
control 2 2 channel=2 min=-12800 max=0 res=128 cur=-256
control 2 3 min=-48 max=48 res=4 cur=8               # bass: -12..+12 dB, at +2 dB
control 2 4 min=-48 max=48 res=4 cur=0               # mid
control 2 5 min=-32 max=32 res=2 cur=-4              # treble: -8..+8 dB in 0.5 dB steps, at -1 dB
control 2 8 min=0 max=3200 res=64 cur=128            # delay: 0..50 ms, at 2 ms
control 2 9 cur=0                                    # bass boost off
control 2 10 cur=1                                   # loudness on
control 5 1 cur=0                                    # microphone mute off
control 5 2 min=-3072 max=7680 res=256 cur=1536      # microphone volume: -12..+30 dB, at +6 dB
control 5 7 cur=1                                    # microphone automatic gain on
control 11 2 min=-6144 max=1536 res=384 cur=0        # line volume: -24..+6 dB in 1.5 dB steps
control 8 3 channel=1 min=-12800 max=0 res=256 cur=-3072   # mixer: microphone into left at -12 dB
control 8 3 channel=2 min=-12800 max=0 res=256 cur=-3072   # mixer: microphone into right at -12 dB
control 9 1 cur=2                                    # selector: the line input
terminal-types 3 0x0301 0x0302                       # speaker or headphones, speaker at power-up
jack-block 3 type=0x0301 0x3:0x01014000              # speaker: green, rear
jack-block 3 type=0x0302 0x3:0x02013000              # headphones: blue, front
jack-block 4 0x1:0x02016000                          # microphone: orange, front
jack-block 7 0x3:0x01012100                          # line input: grey, rear, always connected
jack 3 connected
jack 4 connected
jack 7 disconnected
)";
}

// The class-2 multichannel interface at either speed. At high speed it takes 24-bit samples
// up to 96 kHz; at full speed one packet per 1 ms frame leaves room for 16-bit samples at up
// to 48 kHz only.
std::string Uac2InterfaceProfile(bool highSpeed)
{
    const unsigned maxRate = highSpeed ? 96000 : 48000;
    const unsigned subslot = highSpeed ? 4 : 2;
    const unsigned everyMs = highSpeed ? 0x04 : 0x01;
    const unsigned bits = highSpeed ? 24 : 16;
    const std::string depth = std::to_string(bits) + "-bit";
    std::string text =
        highSpeed
            ? std::string(
                  R"(# Class-2 multichannel interface at high speed: one clock source, 8-channel render through a
# feature unit to a line output with an explicit feedback endpoint (16.16), 2-channel capture,
# and a 6-byte interrupt endpoint for the interrupt data messages.
)") + Heading("uac2-interface", "high")
            : std::string(
                  R"(# The class-2 interface at full speed: one packet per 1 ms frame leaves room for 16-bit
# samples at up to 48 kHz (8 x 2 x 49 = 784 bytes), and the feedback endpoint reports 10.14.
)") + Heading("uac2-interface-fs", "full");
    text +=
        Uac2Device(highSpeed ? 0x0003 : 0x0004) + Configuration(0x11D, 3, 500) +
        Uac2ControlInterface(3, 1, 0x87) + kUac2ProgrammableClock +
        R"(    11 24 02 01 01 01 00 0A 08 3F 06 00 00 00 00 00 00  # input terminal 1: USB streaming, clock 10, 8 channels (mask 63F)
    2A 24 06 02 01 0F 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 00  # feature unit 2 <- 1: master mute and volume, volume per channel
    0C 24 03 03 03 06 00 02 0A 00 00 00  # output terminal 3 <- 2: line connector, clock 10
    11 24 02 04 03 06 00 0A 02 03 00 00 00 00 00 00 00  # input terminal 4: line connector, clock 10, 2 channels
    12 24 06 05 04 0F 00 00 00 0C 00 00 00 0C 00 00 00 00  # feature unit 5 <- 4: master mute and volume, volume per channel
    0C 24 03 06 01 01 00 05 0A 00 00 00  # output terminal 6 <- 5: USB streaming, clock 10
)" +
        Descriptor(2, {0x07, 0x05, 0x83, 0x03, 0x06, 0x00, everyMs},
                   "endpoint 0x83: interrupt IN, 6 bytes (interrupt data message), every 1 ms") +
        Uac2PcmSetting({1, ("8-channel " + depth + " render with feedback").c_str(), 1, 8, 0x63F, subslot,
                        bits, 0x01, true},
                       highSpeed, maxRate) +
        Uac2PcmSetting(
            {2, ("2-channel " + depth + " capture").c_str(), 6, 2, 0x3, subslot, bits, 0x82, false},
            highSpeed, maxRate) +
        "end\n" +
        Strings(highSpeed ? "Uacsim USB Audio 8x2" : "Uacsim USB Audio 8x2 FS",
                highSpeed ? "IF0001" : "IF0002") +
        (highSpeed ? "clock 10 44100 48000 96000\nfeedback-offset-ppm 0\n" : "clock 10 44100 48000\n") +
        R"(control 2 1 cur=0                                    # render mute off
control 2 2 min=-16384 max=0 res=64 cur=-2048        # render master volume: -64..0 dB in 1/4 dB steps, at -8 dB
control 2 2 channel=1 min=-16384 max=0 res=64 cur=0
control 2 2 channel=2 min=-16384 max=0 res=64 cur=0
control 2 2 channel=3 min=-16384 max=0 res=64 cur=-512
control 2 2 channel=4 min=-16384 max=0 res=64 cur=-512
control 2 2 channel=5 min=-16384 max=0 res=64 cur=-1024
control 2 2 channel=6 min=-16384 max=0 res=64 cur=-1024
control 2 2 channel=7 min=-16384 max=0 res=64 cur=0
control 2 2 channel=8 min=-16384 max=0 res=64 cur=0
control 5 1 cur=0                                    # capture mute off
control 5 2 min=-4096 max=3072 res=128 cur=0         # capture master gain: -16..+12 dB in 1/2 dB steps
control 5 2 channel=1 min=-4096 max=3072 res=128 cur=768
control 5 2 channel=2 min=-4096 max=3072 res=128 cur=768
jack 3 connected
jack 4 connected
)";
    if (highSpeed)
        text +=
            "vendor 0x41 0x10 0 1 data       # stop request of the private DSD format: accepted, no data\n";
    return text;
}

std::string Uac2ClockSelectorProfile()
{
    return std::string(
               R"(# A class-2 device whose terminals take their clock through a clock selector over two clock
# sources. The driver does not support clock selectors: this device exists to be refused.
)") + Heading("uac2-clock-selector", "high") +
           Uac2Device(0x0005) + Configuration(0xA9, 2, 500) + Uac2ControlInterface(2, 0, 0x51) +
           kUac2ProgrammableClock +
           R"(    08 24 0A 0B 01 05 00 00  # clock source 11: internal fixed, frequency and validity read-only
    09 24 0B 0C 02 0A 0B 03 00  # clock selector 12 <- 10 11: selector read-write
    11 24 02 01 01 01 00 0C 02 03 00 00 00 00 00 00 00  # input terminal 1: USB streaming, clock 12, 2 channels (mask 3)
    12 24 06 02 01 0F 00 00 00 0C 00 00 00 0C 00 00 00 00  # feature unit 2 <- 1: master mute and volume, volume per channel
    0C 24 03 03 01 03 00 02 0C 00 00 00  # output terminal 3 <- 2: speaker, clock 12
)" + Uac2PcmSetting({1, "2-channel 24-bit render with feedback", 1, 2, 0x3, 4, 24, 0x01, true}, true, 96000) +
           "end\n" + Strings("Uacsim USB Clock Selector", "CX0001") +
           R"(clock 10 44100 48000 96000
clock 11 48000
control 11 2 cur=1                                   # the fixed clock is valid
control 12 1 cur=1                                   # clock selector: the programmable clock
control 2 1 cur=0                                    # mute off
control 2 2 min=-16384 max=0 res=256 cur=-2560       # master volume: -64..0 dB, at -10 dB
control 2 2 channel=1 min=-16384 max=0 res=256 cur=0
control 2 2 channel=2 min=-16384 max=0 res=256 cur=0
)";
}

std::string Uac1VariantAProfile()
{
    return std::string(
               R"(# Variant A: the jack-sensing model's fixed configuration. USB playback (8, 2, 4 or 6 channels,
# and 2 channels at 96 kHz) is mixed with the microphone and line inputs to the speaker; the
# record selector picks the microphone, line, S/PDIF input or the stereo mix for USB capture.
# A chip with six registers sits behind HID reports on interface 3; the driver rewrites the
# configuration by its feature switches before it walks it, and offers 2, 4 and 6 channels at
# 44.1 and 48 kHz on the speaker (no 8 channels for an unlisted model, no 96 kHz on a speaker).
)") + Heading("uac1-variant-a", "full") +
           Uac1Device(0xFFF1, 0x8126) + Configuration(0x1FD, 3, 100) + Uac1ControlInterface(0, 0xC8, 2) +
           R"(    0C 24 02 01 01 01 00 08 3F 06 00 00  # input terminal 1: USB streaming, 8 channels
    0C 24 02 05 01 02 00 02 03 00 00 00  # input terminal 5: microphone, 2 channels
    0A 24 06 08 05 01 03 00 00 00  # feature unit 8 <- 5: microphone to the record selector
    0A 24 06 09 05 01 03 00 00 00  # feature unit 9 <- 5: microphone to the mixer
    19 24 04 0A 03 01 09 0B 08 3F 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00  # mixer unit 10 <- 1 9 11: 12 inputs to 8 outputs
    10 24 06 0D 0A 01 03 02 02 02 02 02 02 02 02 00  # feature unit 13 <- 10: master mute and volume, volume per channel
    09 24 03 03 01 03 00 0D 00  # output terminal 3 <- 13: speaker
    0D 24 06 0C 0A 02 03 00 00 00 00 00 00  # feature unit 12 <- 10: stereo mix (2-byte bitmaps)
    09 24 03 07 01 01 00 06 00  # output terminal 7 <- 6: USB streaming (record)
    0A 24 05 06 04 08 0F 10 02 00  # selector unit 6 <- 8 15 16 2: record source
    0C 24 02 12 03 06 00 02 03 00 00 00  # input terminal 18: line connector, 2 channels
    0A 24 06 0F 12 01 03 00 00 00  # feature unit 15 <- 18: line to the record selector
    0A 24 06 0B 12 01 03 00 00 00  # feature unit 11 <- 18: line to the mixer
    0C 24 02 13 05 06 00 02 03 00 00 00  # input terminal 19: S/PDIF interface, 2 channels
    0A 24 06 02 0C 01 03 00 00 00  # feature unit 2 <- 12: stereo mix to the record selector
    0A 24 06 10 13 01 03 00 00 00  # feature unit 16 <- 19: S/PDIF to the record selector
)" +
           Uac1PcmSettings({{1, 1, "8-channel 16-bit playback", 1, 8, 2, 0x01},
                            {1, 2, "2-channel 16-bit playback", 1, 2, 2, 0x01},
                            {1, 3, "4-channel 16-bit playback", 1, 4, 2, 0x01},
                            {1, 4, "6-channel 16-bit playback", 1, 6, 2, 0x01},
                            {1, 5, "2-channel 16-bit playback at 96 kHz", 1, 2, 2, 0x01, {96000}}}) +
           Uac1PcmSettings({{2, 1, "16-bit stereo capture", 7, 2, 2, 0x82}}) + "end\n" +
           Strings("Uacsim Variant A Sound Box", "VA0001") +
           R"(string 0x50 ")"
           "\x0B\x05"
           R"(P-SB"  # identification string: variant A, two control characters first
vendor 0xC3 0x81 0 9 data 9F       # probe byte A
vendor 0xC3 0x81 0 8 data 83       # probe byte B (0x03 once masked with 0x63)
hid-chip 3
control 13 2 channel=1 min=-9728 max=0 res=256 cur=-2560
control 13 2 channel=2 min=-9728 max=0 res=256 cur=-2560
control 13 2 channel=3 min=-9728 max=0 res=256 cur=-2560
control 13 2 channel=4 min=-9728 max=0 res=256 cur=-2560
control 13 2 channel=5 min=-9728 max=0 res=256 cur=-2560
control 13 2 channel=6 min=-9728 max=0 res=256 cur=-2560
control 13 2 channel=7 min=-9728 max=0 res=256 cur=-2560
control 13 2 channel=8 min=-9728 max=0 res=256 cur=-2560
control 6 1 min=1 max=4 res=1 cur=1
jack 3 connected
)";
}

// Variants B and C share one layout and the same jacks; what sets them apart is their identity,
// feature unit 9's controls and the levels of their controls, all in their own units.
struct VariantBc
{
    const char* Comment;
    const char* Name;
    unsigned Vendor;
    unsigned Product;
    unsigned Unit9Controls;
    const char* Unit9What;
    const char* ProductString;
    const char* Serial;
    const char* Settings; // the identification string and the controls
};

std::string Uac1VariantBcProfile(const VariantBc& v)
{
    return std::string(v.Comment) + Heading(v.Name, "full") + Uac1Device(v.Vendor, v.Product) +
           Configuration(0xEF, 3, 100) + Uac1ControlInterface(1, 0x66, 2) + kUac1UsbStereoInput +
           Descriptor(2, {0x0A, 0x24, 0x06, 0x09, 0x01, 0x01, v.Unit9Controls, 0x02, 0x02, 0x00},
                      std::string("feature unit 9 <- 1: ") + v.Unit9What) +
           "    09 24 03 06 01 03 00 09 00  # output terminal 6 <- 9: speaker\n" + kUac1MicrophoneInput +
           R"(    09 24 06 0D 04 01 03 00 00  # feature unit 13 <- 4: master mute and volume
    09 24 03 07 01 01 00 0D 00  # output terminal 7 <- 13: USB streaming
    0C 24 02 05 03 06 00 02 03 00 00 00  # input terminal 5: line connector, 2 channels (L R)
    0A 24 06 0A 05 01 03 00 00 00  # feature unit 10 <- 5: master mute and volume
    09 24 03 10 01 03 00 0A 00  # output terminal 16 <- 10: speaker (line monitor)
)" + kUac1StatusEndpoint +
           Uac1PcmSettings({{1, 1, "16-bit stereo", 1, 2, 2, 0x01}}) + Uac1MonoCapture() + "end\n" +
           Strings(v.ProductString, v.Serial) + v.Settings + "jack 6 connected\njack 4 connected\n";
}

const VariantBc kVariantB = {
    R"(# Variant B: USB playback -> feature unit 9 (volume table) -> speaker 6; microphone ->
# feature unit 13 (1.5 dB per device decibel) -> USB capture; line input -> feature unit 10 ->
# speaker 16 (monitor). The device's levels are in its own units; the driver maps them.
)",
    "uac1-variant-b",
    0xFFF1,
    0x8142,
    0x07,
    "master mute volume bass, volume per channel",
    "Uacsim Variant B Headset",
    "VB0001",
    R"(string 0x50 "8142-HS"           # identification string: variant B
control 9 2 channel=1 min=-9472 max=0 res=256 cur=-2560  # volume table steps: 0 to -37 device dB
control 9 2 channel=2 min=-9472 max=0 res=256 cur=-2560
control 9 3 min=-48 max=48 res=1 cur=0           # bass: -12..+12 dB in 1/4 dB
control 13 2 min=-7168 max=2816 res=256 cur=0    # microphone gain: -28..+11 device dB
control 10 2 min=-2048 max=4352 res=256 cur=0    # line trim: -8..+17 device dB
)",
};

const VariantBc kVariantC = {
    R"(# Variant C on the 0x1B1C headset: the layout of variant B, with output terminal 6 declared a
# speaker though it drives headphones; feature unit 9 in whole decibels, 13 in 1.5 dB steps
# from -13.5 dB, 10 on the class-1 scale.
)",
    "uac1-variant-c",
    0x1B1C,
    0x0A06,
    0x03,
    "master mute and volume, volume per channel",
    "Uacsim Variant C Headset",
    "VC0001",
    R"(string 0x50 "8153-HS"           # identification string: variant C
control 9 2 channel=1 min=-7120 max=-16 res=192 cur=-208  # whole decibels: -37..0 dB
control 9 2 channel=2 min=-7120 max=-16 res=192 cur=-208
control 13 2 min=0 max=5760 res=384 cur=3456     # microphone: -13.5..+9 dB in 1.5 dB
control 10 2 min=0 max=5760 res=384 cur=0        # line: 0..+22.5 dB
)",
};

std::string Uac1VariantD5Profile()
{
    return std::string(
               R"(# Variant D, model code 5: the effects headset. USB playback in stereo, 5.1 or 7.1 through
# feature unit 2, whose memory block announces the two vendor effect controls (139 the tapped
# delay, 140 the headphone virtualiser), to its output; the endpoint carries the first two
# channels of every setting, which the driver's effects fill. Microphone capture as the headset.
)") + Heading("uac1-variant-d5", "full") +
           Uac1Device(0xFFF1, 0x8177) + Configuration(0x195, 3, 100) + Uac1ControlInterface(1, 0x54, 2) +
           R"(    0C 24 02 01 01 01 00 08 3F 06 00 00  # input terminal 1: USB streaming, 8 channels (7.1)
    10 24 06 02 01 01 03 00 00 00 00 00 00 00 00 00  # feature unit 2 <- 1: master mute and volume; effect controls in its memory
    09 24 03 03 01 03 00 02 00  # output terminal 3 <- 2: speaker (a headphone pin would be offered stereo only)
)" + Uac1HeadsetMicrophonePath() +
           Uac1PcmSettings({{1, 1, "16-bit stereo", 1, 2, 2, 0x01},
                            {1, 2, "16-bit 5.1 (the device gets the first two)", 1, 6, 2, 0x01},
                            {1, 3, "16-bit 7.1 (the device gets the first two)", 1, 8, 2, 0x01},
                            {1, 4, "24-bit stereo", 1, 2, 3, 0x01},
                            {1, 5, "24-bit 5.1 (the device gets the first two)", 1, 6, 3, 0x01}}) +
           Uac1MonoCapture() + "end\n" + Strings("Uacsim Variant D Effects Headset", "VD0005") +
           R"(string 0x50 "81775-HS"          # identification string: variant D, model code 5
vendor-controls 2 139 140                        # the delay and virtualiser switches
stereo-endpoint 0x01
control 2 2 min=-12800 max=0 res=128 cur=0       # headphone volume at 0 dB
)" + kUac1HeadsetCaptureControls +
           "jack 3 connected\njack 4 connected\n";
}

struct BuiltinProfile
{
    const char* Name;
    std::string (*Text)();
};

const BuiltinProfile kBuiltinProfiles[] = {
    {"uac1-speaker", Uac1SpeakerProfile},
    {"uac1-headset", [] { return Uac1HeadsetProfile("uac1-headset", "0100-HS", ""); }},
    {"uac1-mixer", Uac1MixerProfile},
    {"uac2-interface", [] { return Uac2InterfaceProfile(true); }},
    {"uac2-interface-fs", [] { return Uac2InterfaceProfile(false); }},
    {"uac2-clock-selector", Uac2ClockSelectorProfile},
    {"uac1-variant-a", Uac1VariantAProfile},
    {"uac1-variant-b", [] { return Uac1VariantBcProfile(kVariantB); }},
    {"uac1-variant-c", [] { return Uac1VariantBcProfile(kVariantC); }},
    {"uac1-variant-d5", Uac1VariantD5Profile},
    // Variant D's model 6: the headset answering the variant's identification string (any
    // other fifth character: model code 6), so the adapter's choice of audio function can be
    // driven from a profile.
    {"uac1-variant-d6",
     []
     {
         return Uac1HeadsetProfile("uac1-variant-d6", "81776-HS", "",
                                   R"(# Variant D, model code 6: the headset's layout answering variant D's
# identification string, without the effects model's vendor effect controls.
)");
     }},
    // The model whose configuration bytes (vendor request 0, values 0x1A and 0x20) ask for the
    // ASIO interface on its endpoints: the headset's render and capture through the companion.
    {"uac1-headset-asio",
     []
     {
         return Uac1HeadsetProfile(
             "uac1-headset-asio", "QXR710", "vendor 0xC3 0 0x1A 0 data 0E\nvendor 0xC3 0 0x20 0 data 01\n",
             R"(# The class-1 headset whose configuration bytes ask for the ASIO interface on
# both endpoints: render and capture through the ASIO companion (`uacsim asio`).
)");
     }},
};

// Every built-in text, made once and kept for the life of the process: callers hold on to the
// pointers BuiltinProfileText hands out.
const std::vector<std::string>& BuiltinTexts()
{
    static const std::vector<std::string> texts = []
    {
        std::vector<std::string> made;
        for (const BuiltinProfile& profile : kBuiltinProfiles)
            made.push_back(profile.Text());
        return made;
    }();
    return texts;
}

} // namespace

std::vector<std::string> BuiltinProfileNames()
{
    std::vector<std::string> names;
    for (const BuiltinProfile& profile : kBuiltinProfiles)
    {
        names.push_back(profile.Name);
    }
    return names;
}

const char* BuiltinProfileText(const std::string& name)
{
    for (size_t i = 0; i < std::size(kBuiltinProfiles); ++i)
    {
        if (name == kBuiltinProfiles[i].Name)
        {
            return BuiltinTexts()[i].c_str();
        }
    }
    return nullptr;
}

} // namespace sim
