// The built-in device profiles, as profile text (the format is described in profile.h). Each
// descriptor is one line of hex with a comment; nested lines belong to the interface above.
#include "sim/profiles/profile.h"

#include <map>
#include <mutex>

namespace sim
{

namespace
{

struct BuiltinProfile
{
    const char* Name;
    const char* Text;
};

const char kUac1SpeakerProfile[] =
    R"(# Class-1 speaker: USB streaming -> feature unit (mute, volume) -> speaker, one adaptive
# OUT interface with 16-bit and 24-bit stereo at 44.1 and 48 kHz.
name uac1-speaker
speed full
descriptors
  12 01 10 01 00 00 00 40 F1 FF 01 00 00 01 01 02 03 01  # device: USB 1.10, vendor FFF1, product 0001, strings 1 2 3
  09 02 9F 00 02 01 00 80 32  # configuration 1: 2 interfaces, bus powered, 100 mA
  09 04 00 00 00 01 01 00 00  # interface 0 alt 0: audio control, 0 endpoints
    09 24 01 00 01 28 00 01 01  # AC header: release 1.00, 1 streaming interface
    0C 24 02 01 01 01 00 02 03 00 00 00  # input terminal 1: USB streaming, 2 channels (L R)
    0A 24 06 02 01 01 03 00 00 00  # feature unit 2 <- 1: master mute and volume
    09 24 03 03 01 03 00 02 00  # output terminal 3 <- 2: speaker
  09 04 01 00 00 01 02 00 00  # interface 1 alt 0: audio streaming, no bandwidth
  09 04 01 01 01 01 02 00 00  # interface 1 alt 1: 16-bit stereo
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00  # format type I: 2 channels, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 01 09 C4 00 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 196 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 01 02 01 01 02 00 00  # interface 1 alt 2: 24-bit stereo
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 02 03 18 02 44 AC 00 80 BB 00  # format type I: 2 channels, 3-byte subframes, 24 bits, 44100 48000 Hz
    09 05 01 09 26 01 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 294 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
end
string 1 "Uacsim"
string 2 "Uacsim USB Speaker"
string 3 "SPK0001"
string 0x50 "0100-SPK"          # identification string read at start
control 2 2 min=-12800 max=0 res=128 cur=-2560   # master volume: -50..0 dB, at -10 dB
control 2 1 cur=0                                # master mute off
jack 3 connected
)";

const char kUac1HeadsetProfile[] =
    R"(# Class-1 headset: the speaker path to headphones, and microphone -> feature unit ->
# selector -> USB streaming on a 16-bit mono IN interface; a 2-byte status interrupt endpoint
# on the audio-control interface.
name uac1-headset
speed full
descriptors
  12 01 10 01 00 00 00 40 F1 FF 02 00 00 01 01 02 03 01  # device: USB 1.10, vendor FFF1, product 0002, strings 1 2 3
  09 02 05 01 03 01 00 80 32  # configuration 1: 3 interfaces, bus powered, 100 mA
  09 04 00 00 01 01 01 00 00  # interface 0 alt 0: audio control, 1 endpoint
    0A 24 01 00 01 4E 00 02 01 02  # AC header: release 1.00, 2 streaming interfaces
    0C 24 02 01 01 01 00 02 03 00 00 00  # input terminal 1: USB streaming, 2 channels (L R)
    0A 24 06 02 01 01 03 00 00 00  # feature unit 2 <- 1: master mute and volume
    09 24 03 03 02 03 00 02 00  # output terminal 3 <- 2: headphones
    0C 24 02 04 01 02 00 01 00 00 00 00  # input terminal 4: microphone, 1 channel
    09 24 06 05 04 01 03 00 00  # feature unit 5 <- 4: master mute and volume
    07 24 05 06 01 05 00  # selector unit 6 <- 5
    09 24 03 07 01 01 00 06 00  # output terminal 7 <- 6: USB streaming
    09 05 83 03 02 00 20 00 00  # endpoint 0x83: interrupt IN, 2 bytes (status word), every 32 ms
  09 04 01 00 00 01 02 00 00  # interface 1 alt 0: audio streaming, no bandwidth
  09 04 01 01 01 01 02 00 00  # interface 1 alt 1: 16-bit stereo
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00  # format type I: 2 channels, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 01 09 C4 00 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 196 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 01 02 01 01 02 00 00  # interface 1 alt 2: 24-bit stereo
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 02 03 18 02 44 AC 00 80 BB 00  # format type I: 2 channels, 3-byte subframes, 24 bits, 44100 48000 Hz
    09 05 01 09 26 01 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 294 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 02 00 00 01 02 00 00  # interface 2 alt 0: audio streaming, no bandwidth
  09 04 02 01 01 01 02 00 00  # interface 2 alt 1: 16-bit mono capture
    07 24 01 07 01 01 00  # AS general: terminal 7, delay 1, PCM
    0E 24 02 01 01 02 10 02 44 AC 00 80 BB 00  # format type I: 1 channel, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 82 05 62 00 01 00 00  # endpoint 0x82: isochronous IN, asynchronous, 98 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
end
string 1 "Uacsim"
string 2 "Uacsim USB Headset"
string 3 "HS0001"
string 0x50 "0100-HS"           # identification string read at start
control 2 2 min=-12800 max=0 res=128 cur=-2560   # headphone volume
control 5 2 min=-3072 max=7680 res=256 cur=0     # microphone volume: -12..+30 dB
control 6 1 min=1 max=1 res=1 cur=1              # selector: its only input
jack 3 connected
jack 4 connected
)";

const char kUac1MixerProfile[] =
    R"(# Class-1 mixer: USB playback and a microphone mixed to a speaker through a feature unit with
# every tone control; the microphone (mute, volume, automatic gain) or the line input
# (1-byte control bitmaps) selected for capture; the speaker switches between speaker and
# headphone terminal types and reports its jacks; a 2-byte status interrupt endpoint.
name uac1-mixer
speed full
descriptors
  12 01 10 01 00 00 00 40 F1 FF 06 00 00 01 01 02 03 01  # device: USB 1.10, vendor FFF1, product 0006, strings 1 2 3
  09 02 FE 00 03 01 00 80 32  # configuration 1: 3 interfaces, bus powered, 100 mA
  09 04 00 00 01 01 01 00 00  # interface 0 alt 0: audio control, 1 endpoint
    0A 24 01 00 01 75 00 02 01 02  # AC header: release 1.00, 2 streaming interfaces
    0C 24 02 01 01 01 00 02 03 00 00 00  # input terminal 1: USB streaming, 2 channels (L R)
    0C 24 02 04 01 02 00 01 00 00 00 00  # input terminal 4: microphone, 1 channel
    0C 24 02 07 03 06 00 02 03 00 00 00  # input terminal 7: line connector, 2 channels (L R)
    09 24 06 05 04 01 43 00 00  # feature unit 5 <- 4: master mute, volume, automatic gain
    0A 24 06 0B 07 01 03 00 00 00  # feature unit 11 <- 7: master mute and volume, 1-byte bitmaps
    0D 24 04 08 02 01 05 02 03 00 00 9C 00  # mixer unit 8 <- 1 5: 3 inputs to 2 outputs (L R), programmable 1>1 2>2 3>1 3>2
    0D 24 06 02 08 02 9F 03 02 00 02 00 00  # feature unit 2 <- 8: master mute volume bass mid treble delay bass-boost loudness, volume per channel
    09 24 03 03 01 03 00 02 00  # output terminal 3 <- 2: speaker
    08 24 05 09 02 05 0B 00  # selector unit 9 <- 5 11
    09 24 03 0A 01 01 00 09 00  # output terminal 10 <- 9: USB streaming
    09 05 83 03 02 00 20 00 00  # endpoint 0x83: interrupt IN, 2 bytes (status word), every 32 ms
  09 04 01 00 00 01 02 00 00  # interface 1 alt 0: audio streaming, no bandwidth
  09 04 01 01 01 01 02 00 00  # interface 1 alt 1: 16-bit stereo playback
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00  # format type I: 2 channels, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 01 09 C4 00 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 196 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 02 00 00 01 02 00 00  # interface 2 alt 0: audio streaming, no bandwidth
  09 04 02 01 01 01 02 00 00  # interface 2 alt 1: 16-bit stereo capture
    07 24 01 0A 01 01 00  # AS general: terminal 10, delay 1, PCM
    0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00  # format type I: 2 channels, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 82 05 C4 00 01 00 00  # endpoint 0x82: isochronous IN, asynchronous, 196 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
end
string 1 "Uacsim"
string 2 "Uacsim USB Mixer"
string 3 "MIX0001"
string 0x50 "0100-MIX"          # identification string read at start
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

const char kUac2InterfaceProfile[] =
    R"(# Class-2 multichannel interface at high speed: one clock source, 8-channel render through a
# feature unit to a line output with an explicit feedback endpoint (16.16), 2-channel capture,
# and a 6-byte interrupt endpoint for the interrupt data messages.
name uac2-interface
speed high
descriptors
  12 01 00 02 EF 02 01 40 F1 FF 03 00 00 01 01 02 03 01  # device: USB 2.00, interface association, vendor FFF1, product 0003
  09 02 1D 01 03 01 00 80 FA  # configuration 1: 3 interfaces, bus powered, 500 mA
  08 0B 00 03 01 00 20 00  # interface association: interfaces 0-2, audio, release 2.0
  09 04 00 00 01 01 01 20 00  # interface 0 alt 0: audio control, release 2.0
    09 24 01 00 02 08 87 00 00  # AC header: release 2.00, category I/O box
    08 24 0A 0A 03 07 00 00  # clock source 10: internal programmable, frequency read-write, validity read-only
    11 24 02 01 01 01 00 0A 08 3F 06 00 00 00 00 00 00  # input terminal 1: USB streaming, clock 10, 8 channels (mask 63F)
    2A 24 06 02 01 0F 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 00  # feature unit 2 <- 1: master mute and volume, volume per channel
    0C 24 03 03 03 06 00 02 0A 00 00 00  # output terminal 3 <- 2: line connector, clock 10
    11 24 02 04 03 06 00 0A 02 03 00 00 00 00 00 00 00  # input terminal 4: line connector, clock 10, 2 channels
    12 24 06 05 04 0F 00 00 00 0C 00 00 00 0C 00 00 00 00  # feature unit 5 <- 4: master mute and volume, volume per channel
    0C 24 03 06 01 01 00 05 0A 00 00 00  # output terminal 6 <- 5: USB streaming, clock 10
    07 05 83 03 06 00 04  # endpoint 0x83: interrupt IN, 6 bytes (interrupt data message), every 1 ms
  09 04 01 00 00 01 02 20 00  # interface 1 alt 0: audio streaming, no bandwidth
  09 04 01 01 02 01 02 20 00  # interface 1 alt 1: 8-channel 24-bit render with feedback
    10 24 01 01 00 01 01 00 00 00 08 3F 06 00 00 00  # AS general: terminal 1, type I, PCM, 8 channels
    06 24 02 01 04 18  # format type I: 4-byte subslots, 24 bits
    07 05 01 05 A0 01 01  # endpoint 0x01: isochronous OUT, asynchronous, 416 bytes, every microframe
    08 25 01 00 00 00 00 00  # CS endpoint: no controls
    07 05 81 11 04 00 04  # endpoint 0x81: isochronous IN, feedback, 4 bytes (16.16), every 1 ms
  09 04 02 00 00 01 02 20 00  # interface 2 alt 0: audio streaming, no bandwidth
  09 04 02 01 01 01 02 20 00  # interface 2 alt 1: 2-channel 24-bit capture
    10 24 01 06 00 01 01 00 00 00 02 03 00 00 00 00  # AS general: terminal 6, type I, PCM, 2 channels
    06 24 02 01 04 18  # format type I: 4-byte subslots, 24 bits
    07 05 82 05 68 00 01  # endpoint 0x82: isochronous IN, asynchronous, 104 bytes
    08 25 01 00 00 00 00 00  # CS endpoint: no controls
end
string 1 "Uacsim"
string 2 "Uacsim USB Audio 8x2"
string 3 "IF0001"
clock 10 44100 48000 96000
feedback-offset-ppm 0
control 2 1 cur=0                                    # render mute off
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
vendor 0x41 0x10 0 1 data       # stop request of the private DSD format: accepted, no data
)";

const char kUac2InterfaceFsProfile[] =
    R"(# The class-2 interface at full speed: one packet per 1 ms frame leaves room for 16-bit
# samples at up to 48 kHz (8 x 2 x 49 = 784 bytes), and the feedback endpoint reports 10.14.
name uac2-interface-fs
speed full
descriptors
  12 01 00 02 EF 02 01 40 F1 FF 04 00 00 01 01 02 03 01  # device: USB 2.00, interface association, vendor FFF1, product 0004
  09 02 1D 01 03 01 00 80 FA  # configuration 1: 3 interfaces, bus powered, 500 mA
  08 0B 00 03 01 00 20 00  # interface association: interfaces 0-2, audio, release 2.0
  09 04 00 00 01 01 01 20 00  # interface 0 alt 0: audio control, release 2.0
    09 24 01 00 02 08 87 00 00  # AC header: release 2.00, category I/O box
    08 24 0A 0A 03 07 00 00  # clock source 10: internal programmable, frequency read-write, validity read-only
    11 24 02 01 01 01 00 0A 08 3F 06 00 00 00 00 00 00  # input terminal 1: USB streaming, clock 10, 8 channels (mask 63F)
    2A 24 06 02 01 0F 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 0C 00 00 00 00  # feature unit 2 <- 1: master mute and volume, volume per channel
    0C 24 03 03 03 06 00 02 0A 00 00 00  # output terminal 3 <- 2: line connector, clock 10
    11 24 02 04 03 06 00 0A 02 03 00 00 00 00 00 00 00  # input terminal 4: line connector, clock 10, 2 channels
    12 24 06 05 04 0F 00 00 00 0C 00 00 00 0C 00 00 00 00  # feature unit 5 <- 4: master mute and volume, volume per channel
    0C 24 03 06 01 01 00 05 0A 00 00 00  # output terminal 6 <- 5: USB streaming, clock 10
    07 05 83 03 06 00 01  # endpoint 0x83: interrupt IN, 6 bytes (interrupt data message), every 1 ms
  09 04 01 00 00 01 02 20 00  # interface 1 alt 0: audio streaming, no bandwidth
  09 04 01 01 02 01 02 20 00  # interface 1 alt 1: 8-channel 16-bit render with feedback
    10 24 01 01 00 01 01 00 00 00 08 3F 06 00 00 00  # AS general: terminal 1, type I, PCM, 8 channels
    06 24 02 01 02 10  # format type I: 2-byte subslots, 16 bits
    07 05 01 05 10 03 01  # endpoint 0x01: isochronous OUT, asynchronous, 784 bytes, every frame
    08 25 01 00 00 00 00 00  # CS endpoint: no controls
    07 05 81 11 03 00 01  # endpoint 0x81: isochronous IN, feedback, 3 bytes (10.14), every 1 ms
  09 04 02 00 00 01 02 20 00  # interface 2 alt 0: audio streaming, no bandwidth
  09 04 02 01 01 01 02 20 00  # interface 2 alt 1: 2-channel 16-bit capture
    10 24 01 06 00 01 01 00 00 00 02 03 00 00 00 00  # AS general: terminal 6, type I, PCM, 2 channels
    06 24 02 01 02 10  # format type I: 2-byte subslots, 16 bits
    07 05 82 05 C4 00 01  # endpoint 0x82: isochronous IN, asynchronous, 196 bytes
    08 25 01 00 00 00 00 00  # CS endpoint: no controls
end
string 1 "Uacsim"
string 2 "Uacsim USB Audio 8x2 FS"
string 3 "IF0002"
clock 10 44100 48000
jack 3 connected
control 2 1 cur=0                                    # render mute off
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
jack 4 connected
)";

const char kUac2ClockSelectorProfile[] =
    R"(# A class-2 device whose terminals take their clock through a clock selector over two clock
# sources. The driver does not support clock selectors: this device exists to be refused.
name uac2-clock-selector
speed high
descriptors
  12 01 00 02 EF 02 01 40 F1 FF 05 00 00 01 01 02 03 01  # device: USB 2.00, interface association, vendor FFF1, product 0005
  09 02 A9 00 02 01 00 80 FA  # configuration 1: 2 interfaces, bus powered, 500 mA
  08 0B 00 02 01 00 20 00  # interface association: interfaces 0-1, audio, release 2.0
  09 04 00 00 00 01 01 20 00  # interface 0 alt 0: audio control, release 2.0
    09 24 01 00 02 08 51 00 00  # AC header: release 2.00, category I/O box
    08 24 0A 0A 03 07 00 00  # clock source 10: internal programmable, frequency read-write, validity read-only
    08 24 0A 0B 01 05 00 00  # clock source 11: internal fixed, frequency and validity read-only
    09 24 0B 0C 02 0A 0B 03 00  # clock selector 12 <- 10 11: selector read-write
    11 24 02 01 01 01 00 0C 02 03 00 00 00 00 00 00 00  # input terminal 1: USB streaming, clock 12, 2 channels (mask 3)
    12 24 06 02 01 0F 00 00 00 0C 00 00 00 0C 00 00 00 00  # feature unit 2 <- 1: master mute and volume, volume per channel
    0C 24 03 03 01 03 00 02 0C 00 00 00  # output terminal 3 <- 2: speaker, clock 12
  09 04 01 00 00 01 02 20 00  # interface 1 alt 0: audio streaming, no bandwidth
  09 04 01 01 02 01 02 20 00  # interface 1 alt 1: 2-channel 24-bit render with feedback
    10 24 01 01 00 01 01 00 00 00 02 03 00 00 00 00  # AS general: terminal 1, type I, PCM, 2 channels
    06 24 02 01 04 18  # format type I: 4-byte subslots, 24 bits
    07 05 01 05 68 00 01  # endpoint 0x01: isochronous OUT, asynchronous, 104 bytes, every microframe
    08 25 01 00 00 00 00 00  # CS endpoint: no controls
    07 05 81 11 04 00 04  # endpoint 0x81: isochronous IN, feedback, 4 bytes (16.16), every 1 ms
end
string 1 "Uacsim"
string 2 "Uacsim USB Clock Selector"
string 3 "CX0001"
clock 10 44100 48000 96000
clock 11 48000
control 11 2 cur=1                                   # the fixed clock is valid
control 12 1 cur=1                                   # clock selector: the programmable clock
control 2 1 cur=0                                    # mute off
control 2 2 min=-16384 max=0 res=256 cur=-2560       # master volume: -64..0 dB, at -10 dB
control 2 2 channel=1 min=-16384 max=0 res=256 cur=0
control 2 2 channel=2 min=-16384 max=0 res=256 cur=0
)";

const char kUac1VariantAProfile[] =
    R"(# Variant A: the jack-sensing model's fixed configuration. USB playback (8, 2, 4 or 6 channels,
# and 2 channels at 96 kHz) is mixed with the microphone and line inputs to the speaker; the
# record selector picks the microphone, line, S/PDIF input or the stereo mix for USB capture.
# A chip with six registers sits behind HID reports on interface 3; the driver rewrites the
# configuration by its feature switches before it walks it.
name uac1-variant-a
speed full
descriptors
  12 01 10 01 00 00 00 40 F1 FF 26 81 00 01 01 02 03 01  # device: USB 1.10, vendor FFF1, product 8126, strings 1 2 3
  09 02 FD 01 03 01 00 80 32  # configuration 1: 3 interfaces, bus powered, 100 mA
  09 04 00 00 00 01 01 00 00  # interface 0 alt 0: audio control, no endpoint
    0A 24 01 00 01 C8 00 02 01 02  # AC header: release 1.00, 2 streaming interfaces
    0C 24 02 01 01 01 00 08 3F 06 00 00  # input terminal 1: USB streaming, 8 channels
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
  09 04 01 00 00 01 02 00 00  # interface 1 alt 0: audio streaming, no bandwidth
  09 04 01 01 01 01 02 00 00  # interface 1 alt 1: 8-channel 16-bit playback
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 08 02 10 02 44 AC 00 80 BB 00  # format type I: 8 channels, 16 bits, 44100 48000 Hz
    09 05 01 09 10 03 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 784 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 01 02 01 01 02 00 00  # interface 1 alt 2: 2-channel 16-bit playback
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00  # format type I: 2 channels, 16 bits, 44100 48000 Hz
    09 05 01 09 C4 00 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 196 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 01 03 01 01 02 00 00  # interface 1 alt 3: 4-channel 16-bit playback
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 04 02 10 02 44 AC 00 80 BB 00  # format type I: 4 channels, 16 bits, 44100 48000 Hz
    09 05 01 09 88 01 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 392 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 01 04 01 01 02 00 00  # interface 1 alt 4: 6-channel 16-bit playback
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 06 02 10 02 44 AC 00 80 BB 00  # format type I: 6 channels, 16 bits, 44100 48000 Hz
    09 05 01 09 4C 02 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 588 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 01 05 01 01 02 00 00  # interface 1 alt 5: 2-channel 16-bit playback at 96 kHz
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0B 24 02 01 02 02 10 01 00 77 01  # format type I: 2 channels, 16 bits, 96000 Hz
    09 05 01 09 84 01 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 388 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 02 00 00 01 02 00 00  # interface 2 alt 0: audio streaming, no bandwidth
  09 04 02 01 01 01 02 00 00  # interface 2 alt 1: 16-bit stereo capture
    07 24 01 07 01 01 00  # AS general: terminal 7, delay 1, PCM
    0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00  # format type I: 2 channels, 16 bits, 44100 48000 Hz
    09 05 82 05 C4 00 01 00 00  # endpoint 0x82: isochronous IN, asynchronous, 196 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
end
string 1 "Uacsim"
string 2 "Uacsim Variant A Sound Box"
string 3 "VA0001"
string 0x50 ")"
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

const char kUac1VariantBProfile[] =
    R"(# Variant B: USB playback -> feature unit 9 (volume table) -> speaker 6; microphone ->
# feature unit 13 (1.5 dB per device decibel) -> USB capture; line input -> feature unit 10 ->
# speaker 16 (monitor). The device's levels are in its own units; the driver maps them.
name uac1-variant-b
speed full
descriptors
  12 01 10 01 00 00 00 40 F1 FF 42 81 00 01 01 02 03 01  # device: USB 1.10, vendor FFF1, product 8142, strings 1 2 3
  09 02 EF 00 03 01 00 80 32  # configuration 1: 3 interfaces, bus powered, 100 mA
  09 04 00 00 01 01 01 00 00  # interface 0 alt 0: audio control, 1 endpoint
    0A 24 01 00 01 66 00 02 01 02  # AC header: release 1.00, 2 streaming interfaces
    0C 24 02 01 01 01 00 02 03 00 00 00  # input terminal 1: USB streaming, 2 channels (L R)
    0A 24 06 09 01 01 07 02 02 00  # feature unit 9 <- 1: master mute volume bass, volume per channel
    09 24 03 06 01 03 00 09 00  # output terminal 6 <- 9: speaker
    0C 24 02 04 01 02 00 01 00 00 00 00  # input terminal 4: microphone, 1 channel
    09 24 06 0D 04 01 03 00 00  # feature unit 13 <- 4: master mute and volume
    09 24 03 07 01 01 00 0D 00  # output terminal 7 <- 13: USB streaming
    0C 24 02 05 03 06 00 02 03 00 00 00  # input terminal 5: line connector, 2 channels (L R)
    0A 24 06 0A 05 01 03 00 00 00  # feature unit 10 <- 5: master mute and volume
    09 24 03 10 01 03 00 0A 00  # output terminal 16 <- 10: speaker (line monitor)
    09 05 83 03 02 00 20 00 00  # endpoint 0x83: interrupt IN, 2 bytes (status word), every 32 ms
  09 04 01 00 00 01 02 00 00  # interface 1 alt 0: audio streaming, no bandwidth
  09 04 01 01 01 01 02 00 00  # interface 1 alt 1: 16-bit stereo
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00  # format type I: 2 channels, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 01 09 C4 00 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 196 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 02 00 00 01 02 00 00  # interface 2 alt 0: audio streaming, no bandwidth
  09 04 02 01 01 01 02 00 00  # interface 2 alt 1: 16-bit mono capture
    07 24 01 07 01 01 00  # AS general: terminal 7, delay 1, PCM
    0E 24 02 01 01 02 10 02 44 AC 00 80 BB 00  # format type I: 1 channel, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 82 05 62 00 01 00 00  # endpoint 0x82: isochronous IN, asynchronous, 98 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
end
string 1 "Uacsim"
string 2 "Uacsim Variant B Headset"
string 3 "VB0001"
string 0x50 "8142-HS"           # identification string: variant B
control 9 2 channel=1 min=-9472 max=0 res=256 cur=-2560  # volume table steps: 0 to -37 device dB
control 9 2 channel=2 min=-9472 max=0 res=256 cur=-2560
control 9 3 min=-48 max=48 res=1 cur=0           # bass: -12..+12 dB in 1/4 dB
control 13 2 min=-7168 max=2816 res=256 cur=0    # microphone gain: -28..+11 device dB
control 10 2 min=-2048 max=4352 res=256 cur=0    # line trim: -8..+17 device dB
jack 6 connected
jack 4 connected
)";

const char kUac1VariantCProfile[] =
    R"(# Variant C on the 0x1B1C headset: the layout of variant B, with output terminal 6 declared a
# speaker though it drives headphones; feature unit 9 in whole decibels, 13 in 1.5 dB steps
# from -13.5 dB, 10 on the class-1 scale.
name uac1-variant-c
speed full
descriptors
  12 01 10 01 00 00 00 40 1C 1B 06 0A 00 01 01 02 03 01  # device: USB 1.10, vendor 1B1C, product 0A06, strings 1 2 3
  09 02 EF 00 03 01 00 80 32  # configuration 1: 3 interfaces, bus powered, 100 mA
  09 04 00 00 01 01 01 00 00  # interface 0 alt 0: audio control, 1 endpoint
    0A 24 01 00 01 66 00 02 01 02  # AC header: release 1.00, 2 streaming interfaces
    0C 24 02 01 01 01 00 02 03 00 00 00  # input terminal 1: USB streaming, 2 channels (L R)
    0A 24 06 09 01 01 03 02 02 00  # feature unit 9 <- 1: master mute and volume, volume per channel
    09 24 03 06 01 03 00 09 00  # output terminal 6 <- 9: speaker
    0C 24 02 04 01 02 00 01 00 00 00 00  # input terminal 4: microphone, 1 channel
    09 24 06 0D 04 01 03 00 00  # feature unit 13 <- 4: master mute and volume
    09 24 03 07 01 01 00 0D 00  # output terminal 7 <- 13: USB streaming
    0C 24 02 05 03 06 00 02 03 00 00 00  # input terminal 5: line connector, 2 channels (L R)
    0A 24 06 0A 05 01 03 00 00 00  # feature unit 10 <- 5: master mute and volume
    09 24 03 10 01 03 00 0A 00  # output terminal 16 <- 10: speaker (line monitor)
    09 05 83 03 02 00 20 00 00  # endpoint 0x83: interrupt IN, 2 bytes (status word), every 32 ms
  09 04 01 00 00 01 02 00 00  # interface 1 alt 0: audio streaming, no bandwidth
  09 04 01 01 01 01 02 00 00  # interface 1 alt 1: 16-bit stereo
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00  # format type I: 2 channels, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 01 09 C4 00 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 196 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 02 00 00 01 02 00 00  # interface 2 alt 0: audio streaming, no bandwidth
  09 04 02 01 01 01 02 00 00  # interface 2 alt 1: 16-bit mono capture
    07 24 01 07 01 01 00  # AS general: terminal 7, delay 1, PCM
    0E 24 02 01 01 02 10 02 44 AC 00 80 BB 00  # format type I: 1 channel, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 82 05 62 00 01 00 00  # endpoint 0x82: isochronous IN, asynchronous, 98 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
end
string 1 "Uacsim"
string 2 "Uacsim Variant C Headset"
string 3 "VC0001"
string 0x50 "8153-HS"           # identification string: variant C
control 9 2 channel=1 min=-7120 max=-16 res=192 cur=-208  # whole decibels: -37..0 dB
control 9 2 channel=2 min=-7120 max=-16 res=192 cur=-208
control 13 2 min=0 max=5760 res=384 cur=3456     # microphone: -13.5..+9 dB in 1.5 dB
control 10 2 min=0 max=5760 res=384 cur=0        # line: 0..+22.5 dB
jack 6 connected
jack 4 connected
)";

const char kUac1VariantD5Profile[] =
    R"(# Variant D, model code 5: the effects headset. USB playback in stereo, 5.1 or 7.1 through
# feature unit 2, whose memory block announces the two vendor effect controls (139 the tapped
# delay, 140 the headphone virtualiser), to its output; the endpoint carries the first two
# channels of every setting, which the driver's effects fill. Microphone capture as the headset.
name uac1-variant-d5
speed full
descriptors
  12 01 10 01 00 00 00 40 F1 FF 77 81 00 01 01 02 03 01  # device: USB 1.10, vendor FFF1, product 8177, strings 1 2 3
  09 02 95 01 03 01 00 80 32  # configuration 1: 3 interfaces, bus powered, 100 mA
  09 04 00 00 01 01 01 00 00  # interface 0 alt 0: audio control, 1 endpoint
    0A 24 01 00 01 54 00 02 01 02  # AC header: release 1.00, 2 streaming interfaces
    0C 24 02 01 01 01 00 08 3F 06 00 00  # input terminal 1: USB streaming, 8 channels (7.1)
    10 24 06 02 01 01 03 00 00 00 00 00 00 00 00 00  # feature unit 2 <- 1: master mute and volume; effect controls in its memory
    09 24 03 03 01 03 00 02 00  # output terminal 3 <- 2: speaker (a headphone pin would be offered stereo only)
    0C 24 02 04 01 02 00 01 00 00 00 00  # input terminal 4: microphone, 1 channel
    09 24 06 05 04 01 03 00 00  # feature unit 5 <- 4: master mute and volume
    07 24 05 06 01 05 00  # selector unit 6 <- 5
    09 24 03 07 01 01 00 06 00  # output terminal 7 <- 6: USB streaming
    09 05 83 03 02 00 20 00 00  # endpoint 0x83: interrupt IN, 2 bytes (status word), every 32 ms
  09 04 01 00 00 01 02 00 00  # interface 1 alt 0: audio streaming, no bandwidth
  09 04 01 01 01 01 02 00 00  # interface 1 alt 1: 16-bit stereo
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00  # format type I: 2 channels, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 01 09 C4 00 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 196 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 01 02 01 01 02 00 00  # interface 1 alt 2: 16-bit 5.1 (the device gets the first two)
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 06 02 10 02 44 AC 00 80 BB 00  # format type I: 6 channels, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 01 09 4C 02 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 588 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 01 03 01 01 02 00 00  # interface 1 alt 3: 16-bit 7.1 (the device gets the first two)
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 08 02 10 02 44 AC 00 80 BB 00  # format type I: 8 channels, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 01 09 10 03 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 784 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 01 04 01 01 02 00 00  # interface 1 alt 4: 24-bit stereo
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 02 03 18 02 44 AC 00 80 BB 00  # format type I: 2 channels, 3-byte subframes, 24 bits, 44100 48000 Hz
    09 05 01 09 26 01 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 294 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 01 05 01 01 02 00 00  # interface 1 alt 5: 24-bit 5.1 (the device gets the first two)
    07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM
    0E 24 02 01 06 03 18 02 44 AC 00 80 BB 00  # format type I: 6 channels, 3-byte subframes, 24 bits, 44100 48000 Hz
    09 05 01 09 72 03 01 00 00  # endpoint 0x01: isochronous OUT, adaptive, 882 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
  09 04 02 00 00 01 02 00 00  # interface 2 alt 0: audio streaming, no bandwidth
  09 04 02 01 01 01 02 00 00  # interface 2 alt 1: 16-bit mono capture
    07 24 01 07 01 01 00  # AS general: terminal 7, delay 1, PCM
    0E 24 02 01 01 02 10 02 44 AC 00 80 BB 00  # format type I: 1 channel, 2-byte subframes, 16 bits, 44100 48000 Hz
    09 05 82 05 62 00 01 00 00  # endpoint 0x82: isochronous IN, asynchronous, 98 bytes
    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control
end
string 1 "Uacsim"
string 2 "Uacsim Variant D Effects Headset"
string 3 "VD0005"
string 0x50 "81775-HS"          # identification string: variant D, model code 5
vendor-controls 2 139 140                        # the delay and virtualiser switches
stereo-endpoint 0x01
control 2 2 min=-12800 max=0 res=128 cur=0       # headphone volume at 0 dB
control 5 2 min=-3072 max=7680 res=256 cur=0     # microphone volume: -12..+30 dB
control 6 1 min=1 max=1 res=1 cur=1              # selector: its only input
jack 3 connected
jack 4 connected
)";

const BuiltinProfile kBuiltinProfiles[] = {
    {"uac1-speaker", kUac1SpeakerProfile},
    {"uac1-headset", kUac1HeadsetProfile},
    {"uac1-mixer", kUac1MixerProfile},
    {"uac2-interface", kUac2InterfaceProfile},
    {"uac2-interface-fs", kUac2InterfaceFsProfile},
    {"uac2-clock-selector", kUac2ClockSelectorProfile},
    {"uac1-variant-a", kUac1VariantAProfile},
    {"uac1-variant-b", kUac1VariantBProfile},
    {"uac1-variant-c", kUac1VariantCProfile},
    {"uac1-variant-d5", kUac1VariantD5Profile},
};

// Variant D's model 6: the headset answering the variant's identification string, so the
// adapter's choice of audio function can be driven from a profile. Variant A's text starts
// with two control characters, as the device reports it.
struct VariantProfile
{
    const char* Name;
    const char* IdentificationString;
    const char* Extra; // profile lines appended to the headset's
};

const VariantProfile kVariantProfiles[] = {
    {"uac1-variant-d6", "81776-HS", ""}, // any other fifth character: model code 6
    // The model whose configuration bytes (vendor request 0, values 0x1A and 0x20) ask for the
    // ASIO interface on its endpoints: the headset's render and capture through the companion.
    {"uac1-headset-asio", "QXR710", "vendor 0xC3 0 0x1A 0 data 0E\nvendor 0xC3 0 0x20 0 data 01\n"},
};

// The headset's text with the variant's name and identification string in place of its own.
std::string VariantProfileText(const VariantProfile& variant)
{
    std::string text = kUac1HeadsetProfile;
    const std::string name = "name uac1-headset";
    const std::string id = "string 0x50 \"0100-HS\"";
    text.replace(text.find(name), name.size(), std::string("name ") + variant.Name);
    text.replace(text.find(id), id.size(),
                 std::string("string 0x50 \"") + variant.IdentificationString + "\"");
    text += variant.Extra;
    return text;
}

} // namespace

std::vector<std::string> BuiltinProfileNames()
{
    std::vector<std::string> names;
    for (const BuiltinProfile& profile : kBuiltinProfiles)
    {
        names.push_back(profile.Name);
    }
    for (const VariantProfile& variant : kVariantProfiles)
    {
        names.push_back(variant.Name);
    }
    return names;
}

const char* BuiltinProfileText(const std::string& name)
{
    for (const BuiltinProfile& profile : kBuiltinProfiles)
    {
        if (name == profile.Name)
        {
            return profile.Text;
        }
    }
    // Variant texts are made once and kept for the life of the process, like the others.
    static std::mutex lock;
    static std::map<std::string, std::string> variantTexts;
    for (const VariantProfile& variant : kVariantProfiles)
    {
        if (name == variant.Name)
        {
            std::lock_guard<std::mutex> guard(lock);
            auto it = variantTexts.find(name);
            if (it == variantTexts.end())
            {
                it = variantTexts.emplace(name, VariantProfileText(variant)).first;
            }
            return it->second.c_str();
        }
    }
    return nullptr;
}

} // namespace sim
