// `uacsim play` and `uacsim record` run as a user runs them, on WAV files this test writes and
// reads with its own minimal RIFF code (so a fault in the runner's libsndfile use cannot cancel
// out). The oracles: for play, the device's received stream that the runner saves with --out
// must be the test's own samples bit for bit; for record, every sample in the file must be the
// simulated device's known signal. Files live under the build tree.
#include "support/stream_rig.h"

#include "sim/device/stream_endpoint.h"
#include "sim/profiles/profile.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

struct Wav
{
    uint16_t Tag = 1;
    uint16_t Channels = 0;
    uint32_t RateHz = 0;
    uint16_t Bits = 0;
    std::vector<uint8_t> Data;
    // WAVE_FORMAT_EXTENSIBLE: written with these (and read back into them) when Extensible.
    bool Extensible = false;
    uint16_t ValidBits = 0;
    uint32_t ChannelMask = 0;
};

std::string BuildDir()
{
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string path(self, n > 0 ? size_t(n) : 0);
    return path.substr(0, path.rfind('/'));
}

// A folder of the build tree for this test's files.
std::string TempPath(const std::string& name)
{
    const std::string dir = BuildDir() + "/uacsim-wav-files";
    mkdir(dir.c_str(), 0755);
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    return dir + "/" + info->name() + "-" + name;
}

void Put(std::vector<uint8_t>& out, uint32_t value, int bytes)
{
    for (int b = 0; b < bytes; ++b)
        out.push_back(uint8_t(value >> (8 * b)));
}

void WriteWav(const std::string& path, const Wav& wav)
{
    const uint32_t block = wav.Channels * wav.Bits / 8u;
    const uint32_t fmtBytes = wav.Extensible ? 40 : 16;
    std::vector<uint8_t> file;
    file.insert(file.end(), {'R', 'I', 'F', 'F'});
    Put(file, uint32_t(20 + fmtBytes + wav.Data.size()), 4);
    file.insert(file.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put(file, fmtBytes, 4);
    Put(file, wav.Extensible ? 0xFFFE : wav.Tag, 2);
    Put(file, wav.Channels, 2);
    Put(file, wav.RateHz, 4);
    Put(file, wav.RateHz * block, 4);
    Put(file, block, 2);
    Put(file, wav.Bits, 2);
    if (wav.Extensible)
    {
        static const uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        Put(file, 22, 2);
        Put(file, wav.ValidBits, 2);
        Put(file, wav.ChannelMask, 4);
        Put(file, wav.Tag, 2);
        file.insert(file.end(), std::begin(kGuidTail), std::end(kGuidTail));
    }
    file.insert(file.end(), {'d', 'a', 't', 'a'});
    Put(file, uint32_t(wav.Data.size()), 4);
    file.insert(file.end(), wav.Data.begin(), wav.Data.end());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), long(file.size()));
}

uint32_t Get(const std::vector<uint8_t>& in, size_t at, int bytes)
{
    uint32_t value = 0;
    for (int b = 0; b < bytes && at + b < in.size(); ++b)
        value |= uint32_t(in[at + b]) << (8 * b);
    return value;
}

// The fmt and data chunks; an extensible format's tag is its sub-format's first two bytes.
bool ReadWav(const std::string& path, Wav* wav)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 || std::memcmp(&file[8], "WAVE", 4) != 0)
        return false;
    bool fmt = false, data = false;
    for (size_t at = 12; at + 8 <= file.size();)
    {
        const uint32_t size = Get(file, at + 4, 4);
        if (std::memcmp(&file[at], "fmt ", 4) == 0)
        {
            wav->Tag = uint16_t(Get(file, at + 8, 2));
            wav->Channels = uint16_t(Get(file, at + 10, 2));
            wav->RateHz = Get(file, at + 12, 4);
            wav->Bits = uint16_t(Get(file, at + 22, 2));
            wav->Extensible = wav->Tag == 0xFFFE && size >= 40;
            if (wav->Extensible)
            {
                wav->ValidBits = uint16_t(Get(file, at + 26, 2));
                wav->ChannelMask = Get(file, at + 28, 4);
                wav->Tag = uint16_t(Get(file, at + 32, 2));
            }
            fmt = true;
        }
        else if (std::memcmp(&file[at], "data", 4) == 0 && at + 8 + size <= file.size())
        {
            wav->Data.assign(file.begin() + long(at + 8), file.begin() + long(at + 8 + size));
            data = true;
        }
        at += 8 + size + (size & 1);
    }
    return fmt && data;
}

struct RunResult
{
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

RunResult RunUacsim(const std::string& args)
{
    const std::string runner = BuildDir() + "/../tools/uacsim/uacsim";
    EXPECT_EQ(access(runner.c_str(), X_OK), 0) << "the runner is not built: " << runner;
    const std::string out = TempPath("stdout.txt"), err = TempPath("stderr.txt");
    // Virtual time whatever the environment says, so the run takes no wall-clock time.
    const std::string command = "UACSIM_CLOCK=virtual " + runner + " " + args + " >" + out + " 2>" + err;
    const int status = std::system(command.c_str());
    RunResult run;
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Out = ReadText(out);
    run.Err = ReadText(err);
    return run;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

using ProfileEdits = std::vector<std::pair<std::string, std::string>>;

// A built-in profile with each (old, new) pair replaced once, as a profile file.
std::string EditedProfileFile(const std::string& builtin, const ProfileEdits& edits, const std::string& name)
{
    const std::string path = TempPath(name + ".profile");
    std::ofstream(path) << rig::EditedProfileText(builtin, edits);
    return path;
}

// The class-1 speaker with six channels (mask 0x3F) in both of its formats, as a profile file.
std::string SixChannelSpeaker()
{
    const ProfileEdits edits = {
        {"name uac1-speaker", "name six-channel-speaker"},
        {"09 02 9F 00", "09 02 A3 00"},                   // configuration: 4 bytes more
        {"09 24 01 00 01 28 00", "09 24 01 00 01 2C 00"}, // AC header: likewise
        {"0C 24 02 01 01 01 00 02 03 00", "0C 24 02 01 01 01 00 06 3F 00"},
        {"0A 24 06 02 01 01 03 00 00 00", "0E 24 06 02 01 01 03 00 00 00 00 00 00 00"},
        {"0E 24 02 01 02 02 10", "0E 24 02 01 06 02 10"},
        {"09 05 01 09 C4 00", "09 05 01 09 4C 02"}, // 6 x 2 x 49 bytes
        {"0E 24 02 01 02 03 18", "0E 24 02 01 06 03 18"},
        {"09 05 01 09 26 01", "09 05 01 09 72 03"}, // 6 x 3 x 49 bytes
    };
    return EditedProfileFile("uac1-speaker", edits, "six-channel");
}

// Random samples from a fixed seed: every byte pattern shows up, so swapped bytes, channels or
// frames show in the comparison.
Wav RandomWav(uint16_t channels, uint32_t rateHz, uint16_t bits, double seconds)
{
    Wav wav;
    wav.Channels = channels;
    wav.RateHz = rateHz;
    wav.Bits = bits;
    std::mt19937 random(2026);
    wav.Data.resize(size_t(seconds * rateHz) * channels * bits / 8);
    for (uint8_t& byte : wav.Data)
        byte = uint8_t(random());
    return wav;
}

// Samples moved into wider containers, top-justified over zero bytes.
std::vector<uint8_t> Widen(const std::vector<uint8_t>& data, uint32_t fromBytes, uint32_t toBytes)
{
    std::vector<uint8_t> out;
    for (size_t at = 0; at + fromBytes <= data.size(); at += fromBytes)
    {
        out.insert(out.end(), toBytes - fromBytes, 0);
        out.insert(out.end(), data.begin() + long(at), data.begin() + long(at + fromBytes));
    }
    return out;
}

// play of 16- and packed 24-bit files, stereo and six channels: the device receives the file bit
// for bit, with no underrun, and the runner says so. The file --out writes holds what the device
// received in the device's own format.
TEST(UacsimWav, PlayArrivesBitExactAtTheDevice)
{
    const std::string six = SixChannelSpeaker();
    const struct
    {
        std::string Device;
        uint16_t Channels;
        uint32_t RateHz;
        uint16_t Bits;
        double Seconds;
        uint16_t DeviceBits = 0; // the device's container, when it is wider than the file's
    } rows[] = {
        {"uac1-speaker", 2, 48000, 16, 0.3},
        {"uac1-speaker", 2, 44100, 24, 0.3},
        {six, 6, 48000, 16, 0.3},
        {six, 6, 44100, 24, 0.3},
        {"uac1-headset", 2, 48000, 24, 1.5},
        // Class 2: high speed with asynchronous feedback (24 bits carried in 4-byte samples)
        // and full speed.
        {"uac2-interface", 8, 48000, 24, 0.3, 32},
        {"uac2-interface", 8, 96000, 24, 0.3, 32},
        {"uac2-interface-fs", 8, 44100, 16, 0.3},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Device + " " + std::to_string(row.Channels) + " ch " + std::to_string(row.RateHz) +
                     " Hz " + std::to_string(row.Bits) + " bit");
        const Wav sent = RandomWav(row.Channels, row.RateHz, row.Bits, row.Seconds);
        const std::string in = TempPath("in.wav"), got = TempPath("got.wav");
        WriteWav(in, sent);
        std::remove(got.c_str());
        const RunResult run = RunUacsim("play " + in + " --device " + row.Device + " --out " + got);
        EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
        EXPECT_TRUE(Contains(run.Out, "bit-exact:      yes")) << run.Out;
        EXPECT_TRUE(Contains(run.Out, "underruns:      0 at the device")) << run.Out;
        EXPECT_TRUE(Contains(run.Out, "removed cleanly")) << run.Out;
        // A progress line only for what lasts longer than a second.
        EXPECT_EQ(Contains(run.Err, "playing 1.0 of"), row.Seconds > 1) << run.Err;
        Wav received;
        ASSERT_TRUE(ReadWav(got, &received)) << got;
        const uint16_t deviceBits = row.DeviceBits ? row.DeviceBits : row.Bits;
        EXPECT_EQ(received.Tag, 1);
        EXPECT_EQ(received.Channels, row.Channels);
        EXPECT_EQ(received.RateHz, row.RateHz);
        EXPECT_EQ(received.Bits, deviceBits);
        EXPECT_EQ(received.Extensible ? received.ValidBits : received.Bits, row.Bits);
        const std::vector<uint8_t> expected = Widen(sent.Data, row.Bits / 8u, deviceBits / 8u);
        ASSERT_EQ(received.Data.size(), expected.size());
        EXPECT_TRUE(received.Data == expected) << "the device's stream differs from the file";
    }
}

// Samples of -1 and +1 on every channel at intervals of their own, where a conversion that
// truncates toward zero after an offset of a fraction of a unit would move them.
void PlantUnits(Wav* wav)
{
    const uint32_t width = wav->Bits / 8u;
    for (size_t i = 0; i * width < wav->Data.size(); ++i)
        if (i % 7 == 3 || i % 11 == 5)
        {
            const uint32_t value = i % 7 == 3 ? 0xFFFFFFFFu : 1u;
            for (uint32_t b = 0; b < width; ++b)
                wav->Data[i * width + b] = uint8_t(value >> (8 * b));
        }
}

// The first Keep channels of each frame.
std::vector<uint8_t> FirstChannels(const Wav& wav, uint32_t keep)
{
    const uint32_t width = wav.Bits / 8u, block = wav.Channels * width;
    std::vector<uint8_t> out;
    for (size_t at = 0; at + block <= wav.Data.size(); at += block)
        out.insert(out.end(), wav.Data.begin() + long(at), wav.Data.begin() + long(at + keep * width));
    return out;
}

// The effects model without --effect: its nodes and its stream's limiter run at unity, so the
// device's two channels are the file's front pair bit for bit (samples of -1 included) when
// the other channels are silent; with sound in them the nodes mix it in, which the runner
// judges against its own down-mix. Either way the file it writes is the device's own stereo
// stream, and the position error counts frames of the one clock.
TEST(UacsimWav, EffectsModelWithoutEffectsGivesTheDeviceTheFrontPair)
{
    const struct
    {
        uint16_t Channels, Bits;
        uint32_t RateHz;
        bool SilentRest; // channels 2 and up
    } rows[] = {
        {2, 16, 48000, true}, {2, 24, 44100, true}, {6, 16, 48000, true},
        {8, 16, 44100, true}, {6, 24, 48000, true}, {6, 16, 44100, false},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::to_string(row.Channels) + " ch " + std::to_string(row.Bits) + " bit " +
                     std::to_string(row.RateHz) + " Hz" + (row.SilentRest ? "" : ", sound behind"));
        Wav sent = RandomWav(row.Channels, row.RateHz, row.Bits, 0.3);
        PlantUnits(&sent);
        const uint32_t width = row.Bits / 8u;
        for (size_t i = 0; row.SilentRest && i * width < sent.Data.size(); ++i)
            if (i % row.Channels >= 2)
                std::fill_n(sent.Data.begin() + long(i * width), width, 0);
        const std::string in = TempPath("in.wav"), got = TempPath("got.wav");
        WriteWav(in, sent);
        std::remove(got.c_str());
        const RunResult run = RunUacsim("play " + in + " --device uac1-variant-d5 --out " + got);
        EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
        EXPECT_TRUE(Contains(run.Out, "bit-exact:      yes")) << run.Out;
        std::smatch position;
        const std::regex line(R"(position error: ([-+][\d.]+) \.\. ([-+][\d.]+) ms \(pin position minus the )"
                              R"(device's count, ([-+]\d+) \.\. ([-+]\d+) frames at (\d+) Hz)");
        EXPECT_TRUE(std::regex_search(run.Out, position, line)) << run.Out;
        // Within the 50 ms cyclic buffer, and the same span in both units.
        for (int side = 1; !position.empty() && side <= 2; ++side)
        {
            const long frames = std::stol(position[side + 2]);
            EXPECT_LT(std::labs(frames), long(row.RateHz / 20)) << run.Out;
            EXPECT_NEAR(std::stod(position[side]), 1000.0 * double(frames) / row.RateHz, 0.01) << run.Out;
            EXPECT_EQ(std::stoul(position[5]), row.RateHz);
        }
        Wav received;
        ASSERT_TRUE(ReadWav(got, &received)) << got;
        EXPECT_EQ(received.Channels, 2);
        EXPECT_EQ(received.Bits, row.Bits);
        EXPECT_EQ(received.Data.size() % (2u * width), 0u);
        if (row.SilentRest)
        {
            EXPECT_TRUE(received.Data == FirstChannels(sent, 2))
                << "the device's stream differs from the file";
        }
    }
}

// The frame n0 of the device's signal that the file starts with: the first frames must match
// for one n0 within a few of the signal's periods.
int64_t SignalStart(const Wav& wav)
{
    const size_t frames = wav.Data.size() / (2u * wav.Channels);
    for (int64_t n0 = 0; n0 < 48000; ++n0)
    {
        bool match = true;
        for (size_t n = 0; match && n < std::min<size_t>(frames, 200); ++n)
            for (uint32_t c = 0; match && c < wav.Channels; ++c)
                match = int16_t(Get(wav.Data, (n * wav.Channels + c) * 2, 2)) ==
                        sim::StreamSignalSample(n0 + n, c);
        if (match)
            return n0;
    }
    return -1;
}

// record writes exactly the seconds asked for, in the endpoint's format, and every sample is
// the device's signal in order (mono from the headset, stereo from the mixer).
TEST(UacsimWav, RecordWritesTheDeviceSignal)
{
    const struct
    {
        const char* Device;
        uint16_t Channels;
    } rows[] = {{"uac1-headset", 1}, {"uac1-mixer", 2}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Device);
        const std::string path = TempPath(std::string(row.Device) + ".wav");
        std::remove(path.c_str());
        const RunResult run = RunUacsim("record " + path + " --device " + row.Device + " --seconds 0.25");
        EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
        EXPECT_TRUE(Contains(run.Out, "bit-exact:      yes")) << run.Out;
        EXPECT_TRUE(Contains(run.Out, "removed cleanly")) << run.Out;
        Wav wav;
        ASSERT_TRUE(ReadWav(path, &wav)) << path;
        EXPECT_EQ(wav.Tag, 1);
        EXPECT_EQ(wav.Channels, row.Channels);
        EXPECT_EQ(wav.RateHz, 48000u);
        ASSERT_EQ(wav.Bits, 16);
        ASSERT_EQ(wav.Data.size(), 12000u * 2 * row.Channels);
        const int64_t n0 = SignalStart(wav);
        ASSERT_GE(n0, 0) << "the file does not start with the device's signal";
        size_t wrong = 0;
        for (size_t i = 0; i < wav.Data.size() / 2; ++i)
            wrong += int16_t(Get(wav.Data, i * 2, 2)) !=
                     sim::StreamSignalSample(n0 + i / row.Channels, uint32_t(i % row.Channels));
        EXPECT_EQ(wrong, 0u);
    }
}

// Class-2 capture (24 bits in 4-byte samples at high speed, 16 bits at full speed): the runner
// reads the file it wrote back and holds every sample against the device's signal.
TEST(UacsimWav, RecordOnClassTwoDevicesWritesTheDeviceSignal)
{
    const struct
    {
        const char* Device;
        uint16_t Bits, ValidBits; // the pin's format, which the file keeps
        bool Extensible;
    } rows[] = {{"uac2-interface", 32, 24, true}, {"uac2-interface-fs", 16, 16, false}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Device);
        const std::string path = TempPath(std::string(row.Device) + ".wav");
        std::remove(path.c_str());
        const RunResult run = RunUacsim("record " + path + " --device " + row.Device + " --seconds 0.25");
        EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
        EXPECT_TRUE(Contains(run.Out, "bit-exact:      yes")) << run.Out;
        EXPECT_TRUE(Contains(run.Out, "read back bit for bit")) << run.Out;
        Wav wav;
        ASSERT_TRUE(ReadWav(path, &wav)) << path;
        EXPECT_EQ(wav.Channels, 2);
        EXPECT_EQ(wav.Bits, row.Bits);
        EXPECT_EQ(wav.Extensible, row.Extensible);
        EXPECT_EQ(wav.Extensible ? wav.ValidBits : wav.Bits, row.ValidBits);
        EXPECT_EQ(wav.ChannelMask, row.Extensible ? 0x3u : 0u);
        EXPECT_EQ(wav.Data.size(), size_t(wav.RateHz / 4) * wav.Channels * (wav.Bits / 8));
    }
}

// A file the endpoint cannot carry unchanged is refused before anything streams, naming what
// the endpoint offers; so are a device without the direction and bad arguments.
TEST(UacsimWav, WhatCannotBePlayedOrRecordedIsRefusedWithTheReason)
{
    const std::string offered = "2 ch, 16-bit (16 valid), PCM (0x0001), mask 0x3: 44100 48000 Hz\n"
                                "  2 ch, 24-bit (24 valid), PCM (0x0001), mask 0x3: 44100 48000 Hz\n";
    const struct
    {
        uint16_t Channels;
        uint32_t RateHz;
        uint16_t Bits;
        std::string Shape;
    } files[] = {
        {2, 96000, 16, "96000 Hz, 2 ch, 16-bit PCM"},
        {1, 48000, 16, "48000 Hz, 1 ch, 16-bit PCM"},
        {2, 48000, 8, "48000 Hz, 2 ch, 8-bit PCM"},
        {2, 48000, 32, "48000 Hz, 2 ch, 32-bit PCM"},
    };
    for (const auto& file : files)
    {
        SCOPED_TRACE(file.Shape);
        const std::string in = TempPath("refused.wav");
        WriteWav(in, RandomWav(file.Channels, file.RateHz, file.Bits, 0.05));
        const RunResult run = RunUacsim("play " + in + " --device uac1-speaker");
        EXPECT_EQ(run.ExitCode, 2);
        EXPECT_TRUE(Contains(run.Err, "SPKOut00 does not offer the file's format (" + file.Shape +
                                          "); it offers:\n  " + offered))
            << run.Err;
        EXPECT_FALSE(Contains(run.Out, "device record")) << run.Out;
    }
    const struct
    {
        std::string Args;
        int ExitCode;
        std::string Message;
    } rows[] = {
        {"record " + TempPath("none.wav") + " --device uac1-speaker --seconds 1", 2,
         "the device has no capture endpoint"},
        {"record " + TempPath("none.wav") + " --device uac1-headset", 2, "--seconds is required"},
        {"record " + TempPath("none.wav") + " --device uac1-headset --seconds 0", 2, "--seconds: a number"},
        {"record " + TempPath("none.wav") + " --device uac1-headset --seconds 2x", 2, "--seconds: a number"},
        // A day of class-2 capture is more than a WAV file's 4 GB: refused before anything runs.
        {"record " + TempPath("day.wav") + " --device uac2-interface --seconds 86400", 2,
         "--seconds 86400 is more than a WAV file holds: LineIn00 as 48000 Hz, 2 ch, 24-bit PCM in 32-bit "
         "takes at most 11184 s"},
        {"play " + TempPath("missing.wav") + " --device uac1-speaker", 2, "cannot read"},
        {"play --device uac1-speaker", 2, "FILE is required"},
        {"play a.wav b.wav --device uac1-speaker", 2, "one file only"},
        {"topology --device uac1-speaker --seconds 1", 2, "topology: does not take --seconds"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Args);
        const RunResult run = RunUacsim(row.Args);
        EXPECT_EQ(run.ExitCode, row.ExitCode);
        EXPECT_TRUE(Contains(run.Err, row.Message)) << run.Err;
    }
}

// Every class-1 dump of a real device that starts: play of a file in the render endpoint's first
// offered PCM format arrives bit-exact, and record gives the device's signal. The format comes
// from the refusal of a file the endpoint does not offer, so the refusal's list is checked too.
TEST(UacsimWav, RealDevicesPlayAndRecordBitExact)
{
    int played = 0, recorded = 0;
    const bool any = rig::ForEachRealDump(
        [&](const std::string& dump)
        {
            const std::string in = TempPath("probe.wav");
            WriteWav(in, RandomWav(3, 8000, 16, 0.01));
            const RunResult probe = RunUacsim("play " + in + " --device " + dump);
            if (Contains(probe.Err, "did not start") || Contains(probe.Err, "no render endpoint"))
                return;
            std::smatch offered;
            const std::regex line(R"(\n  (\d+) ch, (16|24)-bit \(\2 valid\), PCM \(0x0001\)[^:]*: (\d+))");
            ASSERT_TRUE(std::regex_search(probe.Err, offered, line)) << probe.Err;
            const Wav sent = RandomWav(uint16_t(std::stoi(offered[1])), uint32_t(std::stoul(offered[3])),
                                       uint16_t(std::stoi(offered[2])), 0.2);
            WriteWav(in, sent);
            const std::string got = TempPath("got.wav");
            const RunResult run = RunUacsim("play " + in + " --device " + dump + " --out " + got);
            EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
            Wav received;
            ASSERT_TRUE(ReadWav(got, &received));
            EXPECT_TRUE(received.Data == sent.Data) << "the device's stream differs from the file";
            ++played;
        });
    if (!any)
        GTEST_SKIP() << "no class-1 descriptor dumps beside the project";
    rig::ForEachRealDump(
        [&](const std::string& dump)
        {
            const RunResult run =
                RunUacsim("record " + TempPath("rec.wav") + " --device " + dump + " --seconds 0.1");
            if (Contains(run.Err, "did not start") || Contains(run.Err, "no capture endpoint"))
                return;
            EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
            EXPECT_TRUE(Contains(run.Out, "bit-exact:      yes")) << run.Out;
            ++recorded;
        });
    EXPECT_GT(played, 0);
    EXPECT_GT(recorded, 0);
}

// play takes a format that carries the file's samples: never an encoded pass-through format of
// the same shape, and a WAVE_FORMAT_EXTENSIBLE file of 24 valid bits in 32-bit samples where
// the endpoint offers exactly that (--out writes that format back). What it cannot play it
// refuses with exit 2 and a reason of its own, naming the file to use where one would do.
TEST(UacsimWav, PlayChoosesAFormatThatCarriesTheFilesSamples)
{
    // The speaker's 16-bit setting turned into a type III one: AC-3 and WMA Pro at 16 bits,
    // PCM only at 24.
    const std::string encoded =
        EditedProfileFile("uac1-speaker", {{"0E 24 02 01 02 02 10", "0E 24 02 03 02 02 10"}}, "encoded");
    // The speaker's 16-bit endpoint cut to 180 bytes: 45 frames hold 44.1 kHz but not 48 kHz.
    const std::string narrow =
        EditedProfileFile("uac1-speaker", {{"09 05 01 09 C4 00", "09 05 01 09 B4 00"}}, "narrow");
    Wav extensible = RandomWav(8, 48000, 32, 0.2);
    for (size_t i = 0; i < extensible.Data.size(); i += 4)
        extensible.Data[i] = 0; // below the 24 valid bits
    extensible.Extensible = true;
    extensible.ValidBits = 24;
    extensible.ChannelMask = 0x63F;
    Wav noRate = RandomWav(2, 48000, 16, 0.05);
    noRate.RateHz = 0;
    Wav noChannels = RandomWav(2, 48000, 16, 0.05);
    noChannels.Channels = 0;
    const struct
    {
        const char* Name;
        std::string Device;
        Wav File;
        int ExitCode;
        std::string Says; // in the report (exit 0) or the complaint
    } rows[] = {
        {"pcm-beside-encoded", encoded, RandomWav(2, 48000, 16, 0.1), 2,
         "SPKOut00 does not offer the file's format (48000 Hz, 2 ch, 16-bit PCM); it offers:\n"
         "  2 ch, 16-bit (16 valid), AC-3 over S/PDIF (0x0092), mask 0x3: 44100 Hz\n"},
        {"extensible-24-in-32", "uac2-interface", extensible, 0,
         "through LineOut00 as 8 ch, 32-bit (24 valid), PCM (0x0001), mask 0x63F at 48000 Hz"},
        {"plain-32", "uac2-interface", RandomWav(8, 48000, 32, 0.1), 2,
         "uacsim: LineOut00 takes 24 valid bits in 32-bit samples: play a WAVE_FORMAT_EXTENSIBLE file of "
         "32-bit samples with 24 valid bits and channel mask 0x63F, or a packed 24-bit file\n"},
        {"packets-too-small", narrow, RandomWav(2, 48000, 16, 0.1), 2,
         "  2 ch, 16-bit (16 valid), PCM (0x0001), mask 0x3: 44100 Hz\n"
         "  2 ch, 24-bit (24 valid), PCM (0x0001), mask 0x3: 44100 48000 Hz\n"
         "driver debug output at start:\n"
         "  CUsbAudioStream: endpoint 0x01 of alternate setting 1 of streaming interface 1 takes packets of "
         "180 bytes; a packet of 48000 Hz, 2 x 16-bit (mask 0x3) takes 192: the format is not offered\n"},
        {"rate-0", "uac1-speaker", noRate, 2, "gives a sample rate of 0 Hz in its format chunk"},
        {"channels-0", "uac1-speaker", noChannels, 2, "gives 0 channels in its format chunk"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        const std::string in = TempPath(std::string(row.Name) + ".wav"), got = TempPath("got.wav");
        WriteWav(in, row.File);
        std::remove(got.c_str());
        const RunResult run = RunUacsim("play " + in + " --device " + row.Device + " --out " + got);
        EXPECT_EQ(run.ExitCode, row.ExitCode) << run.Out << run.Err;
        EXPECT_TRUE(Contains(row.ExitCode ? run.Err : run.Out, row.Says)) << run.Out << run.Err;
        EXPECT_FALSE(Contains(run.Err, "SF_INFO")) << run.Err;
        if (row.ExitCode != 0)
        {
            EXPECT_FALSE(Contains(run.Out, "device record")) << run.Out;
            continue;
        }
        EXPECT_TRUE(Contains(run.Out, "bit-exact:      yes")) << run.Out;
        Wav received;
        ASSERT_TRUE(ReadWav(got, &received)) << got;
        EXPECT_TRUE(received.Extensible);
        EXPECT_EQ(received.Tag, 1);
        EXPECT_EQ(received.Bits, 32);
        EXPECT_EQ(received.ValidBits, 24);
        EXPECT_EQ(received.ChannelMask, 0x63Fu);
        EXPECT_TRUE(received.Data == row.File.Data) << "the device's stream differs from the file";
    }
}

// 8-bit files through a device whose 8-bit settings carry either format tag (PCM: two's
// complement; PCM8: offset binary): play arrives bit-exact and --out gives the file back, and
// record writes the device's signal as a WAV file's offset-binary bytes, worked out here from
// the signal's 16-bit values.
TEST(UacsimWav, EightBitFilesPlayAndRecordWhateverTheDevicesFormatTag)
{
    const ProfileEdits eightBit = {{"0E 24 02 01 02 02 10 02", "0E 24 02 01 02 01 08 02"},
                                   {"0E 24 02 01 01 02 10 02", "0E 24 02 01 01 01 08 02"}};
    const ProfileEdits pcm8Tags = {{"07 24 01 01 01 01 00", "07 24 01 01 01 02 00"},
                                   {"07 24 01 07 01 01 00", "07 24 01 07 01 02 00"}};
    for (const bool pcm8 : {false, true})
    {
        SCOPED_TRACE(pcm8 ? "PCM8" : "PCM");
        ProfileEdits edits = eightBit;
        if (pcm8)
            edits.insert(edits.end(), pcm8Tags.begin(), pcm8Tags.end());
        const std::string device = EditedProfileFile("uac1-headset", edits, pcm8 ? "pcm8" : "pcm");
        const Wav sent = RandomWav(2, 48000, 8, 0.2);
        const std::string in = TempPath("in8.wav"), got = TempPath("got8.wav"), rec = TempPath("rec8.wav");
        WriteWav(in, sent);
        RunResult run = RunUacsim("play " + in + " --device " + device + " --out " + got);
        EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
        EXPECT_TRUE(Contains(run.Out, "bit-exact:      yes")) << run.Out;
        Wav received;
        ASSERT_TRUE(ReadWav(got, &received)) << got;
        EXPECT_EQ(received.Bits, 8);
        EXPECT_TRUE(received.Data == sent.Data) << "the device's stream differs from the file";

        run = RunUacsim("record " + rec + " --device " + device + " --seconds 0.2");
        EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
        EXPECT_TRUE(Contains(run.Out, "bit-exact:      yes")) << run.Out;
        Wav wav;
        ASSERT_TRUE(ReadWav(rec, &wav)) << rec;
        ASSERT_EQ(wav.Bits, 8);
        ASSERT_EQ(wav.Channels, 1);
        auto top = [](int64_t n) { return uint8_t((sim::StreamSignalSample(uint64_t(n), 0) + 32768) / 256); };
        // The frame of the signal the file starts with (its first frames match there), then
        // every frame against it.
        auto wrongFrom = [&](int64_t n0, size_t frames)
        {
            size_t wrong = 0;
            for (size_t i = 0; i < std::min(frames, wav.Data.size()); ++i)
                wrong += wav.Data[i] != top(n0 + int64_t(i));
            return wrong;
        };
        int64_t n0 = 0;
        while (n0 < 4800 && wrongFrom(n0, 200) != 0)
            ++n0;
        ASSERT_LT(n0, 4800) << "the file does not start with the device's signal";
        EXPECT_EQ(wrongFrom(n0, wav.Data.size()), 0u);
    }
}

} // namespace
