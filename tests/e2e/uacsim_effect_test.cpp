// `uacsim play --effect` on the effects model, run as a user runs it: a 5.1 or 7.1 file goes through
// the driver's effect nodes to the device, and what the device received (saved with --out) must
// be what a separate pair of effect nodes, with the stream's limiter and packing written out
// here, makes of the file's samples. The reference nodes are driven directly, in the
// pipeline's 10 ms passes, after a lead of silence long enough for their start-up fades.
// With both effects off the device's pair must be the one down-mix of every channel, which
// this file computes from the mix's weights; with one on, files whose one down-mix is the same
// must reach the device the same.
#include "support/node_test_doubles.h"
#include "support/usb_device_test_support.h"

#include "driver/dsp/effect_processor.h"
#include "driver/topology/variants/variant_d_effect_controls.h"
#include "sim/profiles/profile.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

constexpr ULONG kEffectRate = 48000;
constexpr ULONG kPassFrames = kEffectRate / 100; // one 10 ms transfer of the render stream
constexpr ULONG kFileFrames = kEffectRate / 2;
constexpr ULONG kTailFrames = 5 * kPassFrames; // past the effects' latency

std::string BuildDir()
{
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string path(self, n > 0 ? size_t(n) : 0);
    return path.substr(0, path.rfind('/'));
}

std::string TempPath(const std::string& name)
{
    const std::string dir = BuildDir() + "/uacsim-effect-files";
    mkdir(dir.c_str(), 0755);
    // The suite's name too: two instantiations of one parameterised suite give their cases the
    // same name and index, and CTest runs them side by side.
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string test = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : test)
        c = c == '/' ? '_' : c; // an instantiation's prefix and a case's index follow a slash
    return dir + "/" + test + "-" + name;
}

void Put(std::vector<uint8_t>& out, uint32_t value, int bytes)
{
    for (int b = 0; b < bytes; ++b)
        out.push_back(uint8_t(value >> (8 * b)));
}

// A 16- or 24-bit PCM WAV file of the test's own making.
void WriteWav(const std::string& path, WORD channels, WORD bits, ULONG rate,
              const std::vector<int32_t>& samples)
{
    const uint32_t width = bits / 8u;
    std::vector<uint8_t> file{'R', 'I', 'F', 'F'};
    const uint32_t bytes = uint32_t(samples.size() * width);
    Put(file, 36 + bytes, 4);
    file.insert(file.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put(file, 16, 4);
    Put(file, 1, 2);
    Put(file, channels, 2);
    Put(file, rate, 4);
    Put(file, rate * channels * width, 4);
    Put(file, channels * width, 2);
    Put(file, bits, 2);
    file.insert(file.end(), {'d', 'a', 't', 'a'});
    Put(file, bytes, 4);
    for (int32_t s : samples)
        Put(file, uint32_t(s), int(width));
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), long(file.size()));
}

void WriteWav16(const std::string& path, WORD channels, const std::vector<int16_t>& samples)
{
    WriteWav(path, channels, 16, kEffectRate, std::vector<int32_t>(samples.begin(), samples.end()));
}

// The samples of a PCM WAV file of Channels channels and Bits bits; empty when it is not one.
std::vector<int32_t> ReadWav(const std::string& path, WORD channels, WORD bits)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto get = [&](size_t at, int bytes)
    {
        uint32_t v = 0;
        for (int b = 0; b < bytes; ++b)
            v |= uint32_t(file[at + b]) << (8 * b);
        return v;
    };
    const int width = bits / 8;
    std::vector<int32_t> samples;
    for (size_t at = 12; at + 8 <= file.size();)
    {
        const uint32_t size = get(at + 4, 4);
        if (std::string(file.begin() + long(at), file.begin() + long(at) + 4) == "fmt ")
        {
            if (get(at + 8, 2) != 1 || get(at + 10, 2) != channels || get(at + 22, 2) != bits)
                return {};
        }
        else if (std::string(file.begin() + long(at), file.begin() + long(at) + 4) == "data")
        {
            for (size_t i = 0; i + width <= size && at + 8 + i + width <= file.size(); i += width)
                samples.push_back(int32_t(get(at + 8 + i, width) << (32 - 8 * width)) >> (32 - 8 * width));
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return samples;
}

std::vector<int16_t> ReadWav16(const std::string& path, WORD channels)
{
    const std::vector<int32_t> samples = ReadWav(path, channels, 16);
    return std::vector<int16_t>(samples.begin(), samples.end());
}

int RunUacsim(const std::string& args, std::string* out)
{
    const std::string runner = BuildDir() + "/../tools/uacsim/uacsim";
    const std::string outPath = TempPath("stdout.txt");
    const std::string command = "UACSIM_CLOCK=virtual " + runner + " " + args + " >" + outPath + " 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(outPath);
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A fixed-seed signal of 6 (5.1) or 8 (7.1) channels: a different tone on every channel and some noise, at
// about -12 dB.
std::vector<int16_t> FileSamples(WORD kChannels)
{
    std::mt19937 random(1177);
    std::uniform_int_distribution<int> noise(-600, 600);
    std::vector<int16_t> samples;
    for (ULONG n = 0; n < kFileFrames; ++n)
        for (WORD c = 0; c < kChannels; ++c)
            samples.push_back(int16_t(7000.0 * std::sin(2.0 * M_PI * (220.0 + 110.0 * c) * n / kEffectRate) +
                                      noise(random)));
    return samples;
}

// 16 bits toward zero, saturating, as the stream converts.
int16_t ToInteger(float value)
{
    const double scaled = std::trunc(double(value) * 32768.0);
    return int16_t(std::min(32767.0, std::max(-32768.0, scaled)));
}

// The device's stereo stream for the file: lead, file and a silent tail through a delay node and
// a virtualiser node (in that order, as the feature unit builds them) switched as Effect says, in
// 10 ms passes from the stream's start, then through the stream's own limiter (the only step
// the stream runs with flush-to-zero), then the first two channels of each frame.
std::vector<int16_t> Reference(const std::vector<int16_t>& file, WORD kChannels, const std::string& effect,
                               size_t LeadFrames)
{
    nd::CFakeEntity* unit = gd::Make<nd::CFakeEntity>(2u);
    CMutexLock lock;
    CVariantDEffectControl139* delay = gd::Make<CVariantDEffectControl139>(20u);
    CVariantDEffectControl140* virtualiser = gd::Make<CVariantDEffectControl140>(21u);
    EXPECT_EQ(delay->Init(unit, 139, nullptr, &lock), STATUS_SUCCESS);
    EXPECT_EQ(virtualiser->Init(unit, 140, nullptr, &lock), STATUS_SUCCESS);
    CVariantDEffectControl::Pair(delay, virtualiser); // as their feature unit pairs them
    EXPECT_EQ(delay->SetEnable(effect == "delay"), STATUS_SUCCESS);
    EXPECT_EQ(virtualiser->SetEnable(effect == "virtualiser"), STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE format = gd::Pcm(kChannels, kEffectRate, 2, 16, kChannels == 8 ? 0x63F : 0x3F);
    EXPECT_EQ(delay->Start(&format), STATUS_SUCCESS);
    EXPECT_EQ(virtualiser->Start(&format), STATUS_SUCCESS);
    CEffectProcessor limiter;
    EXPECT_TRUE(limiter.AllocateBuffers());
    limiter.SetMode(0);
    limiter.SetGain(1.0f);
    limiter.SetCeiling(1.0f);
    limiter.SetFormat(&format);

    std::vector<std::vector<float>> planes(8, std::vector<float>(512));
    std::vector<float*> pointers;
    for (auto& plane : planes)
        pointers.push_back(plane.data());
    std::vector<int16_t> input(size_t(LeadFrames) * kChannels, 0);
    input.insert(input.end(), file.begin(), file.end());
    input.resize(input.size() + size_t(kTailFrames) * kChannels, 0);
    input.resize(input.size() - input.size() % (size_t(kPassFrames) * kChannels));
    std::vector<int16_t> out;
    const unsigned saved = _mm_getcsr();
    for (size_t at = 0; at < input.size(); at += size_t(kPassFrames) * kChannels)
    {
        int16_t* samples = &input[at];
        auto toFloat = [&]
        {
            for (ULONG n = 0; n < kPassFrames; ++n)
                for (ULONG c = 0; c < kChannels; ++c)
                    planes[c][n] = float(samples[n * kChannels + c] / 32768.0);
        };
        auto toInteger = [&]
        {
            for (ULONG n = 0; n < kPassFrames; ++n)
                for (ULONG c = 0; c < kChannels; ++c)
                    samples[n * kChannels + c] = ToInteger(planes[c][n]);
        };
        toFloat();
        EXPECT_EQ(delay->Process(&format, pointers.data(), kPassFrames), STATUS_SUCCESS);
        EXPECT_EQ(virtualiser->Process(&format, pointers.data(), kPassFrames), STATUS_SUCCESS);
        toInteger();
        toFloat();
        _mm_setcsr((saved & ~0x6000u) | 0x8000u);
        limiter.Process(pointers.data(), kPassFrames);
        _mm_setcsr(saved);
        toInteger();
        for (ULONG n = 0; n < kPassFrames; ++n)
        {
            out.push_back(samples[n * kChannels]);
            out.push_back(samples[n * kChannels + 1]);
        }
    }
    limiter.FreeBuffers();
    nd::Drop(virtualiser);
    nd::Drop(delay);
    nd::Drop(unit);
    return out;
}

size_t FirstSound(const std::vector<int16_t>& samples)
{
    size_t i = 0;
    while (i < samples.size() && samples[i] == 0)
        ++i;
    return i - i % 2;
}

// The stream's lead of silence before the file is found from the delay run: its first sound
// with the effect's reference run from the stream's start marks where the file starts, since
// the effects keep blocks and fades counted from there. Through an effect the runner saves all
// the device received, which then matches to the bit from the stream's first packet on; with
// both effects off the runner judges the mix itself and saves the device's stream from where
// the file starts.
class UacsimEffect : public testing::TestWithParam<WORD>
{
};

TEST_P(UacsimEffect, PlayThroughEachEffectGivesWhatTheEffectNodesMakeOfTheFile)
{
    const WORD kChannels = GetParam();
    const std::vector<int16_t> file = FileSamples(kChannels);
    const std::string wav = TempPath(std::to_string(kChannels) + "ch-in.wav");
    WriteWav16(wav, kChannels, file);
    size_t lead = 0;
    std::vector<std::vector<int16_t>> outputs;
    for (const std::string effect : {"delay", "virtualiser", "off"})
    {
        SCOPED_TRACE(effect);
        const std::string got = TempPath(std::to_string(kChannels) + "ch-" + effect + ".wav");
        std::string report;
        ASSERT_EQ(RunUacsim("play " + wav + " --device uac1-variant-d5 --effect " + effect + " --out " + got,
                            &report),
                  0)
            << report;
        EXPECT_NE(report.find("removed cleanly"), std::string::npos) << report;
        EXPECT_NE(report.find("(0 of a size the format does not allow)"), std::string::npos) << report;
        EXPECT_NE(report.find("underruns:      0 at the device"), std::string::npos) << report;
        const std::vector<int16_t> device = ReadWav16(got, 2);
        ASSERT_LT(FirstSound(device), device.size()) << "the device received only silence";
        if (effect == "delay")
        {
            const size_t unshifted = FirstSound(Reference(file, kChannels, effect, 0));
            ASSERT_GE(FirstSound(device), unshifted);
            lead = (FirstSound(device) - unshifted) / 2;
        }
        const std::vector<int16_t> expected = Reference(file, kChannels, effect, lead);
        size_t from = 0;
        if (effect == "off")
        {
            EXPECT_NE(report.find("bit-exact:      yes"), std::string::npos) << report;
            ASSERT_GE(FirstSound(expected), FirstSound(device));
            from = FirstSound(expected) - FirstSound(device);
        }
        const size_t length = std::min(device.size(), expected.size() - from);
        ASSERT_GE(length, (effect == "off" ? kFileFrames : lead + kFileFrames) * 2)
            << "the device received less than the file";
        size_t first = length;
        int worst = 0;
        for (size_t i = 0; i < length; ++i)
        {
            const int difference = std::abs(int(device[i]) - int(expected[from + i]));
            if (difference != 0 && first == length)
                first = i;
            worst = std::max(worst, difference);
        }
        EXPECT_EQ(first, length) << "first difference at stereo frame " << first / 2 << ", largest " << worst;
        outputs.push_back(device);
    }
    // The three runs are really three different renderings.
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_NE(outputs[0], outputs[2]);
    EXPECT_NE(outputs[1], outputs[2]);
}

INSTANTIATE_TEST_SUITE_P(SurroundIn, UacsimEffect, testing::Values(WORD(6), WORD(8)));

// The room network is fed from the 5.1 and 7.1 channels only: a stereo file through the delay
// effect reaches the device as silence, which the runner explains rather than fails on.
TEST(UacsimEffectStereo, TheDelayEffectLeavesAStereoFileSilentAndTheRunnerSaysWhy)
{
    const std::string wav = TempPath("2ch-in.wav");
    WriteWav16(wav, 2, FileSamples(2));
    const std::string got = TempPath("2ch-delay.wav");
    std::string report;
    ASSERT_EQ(RunUacsim("play " + wav + " --device uac1-variant-d5 --effect delay --out " + got, &report), 0)
        << report;
    EXPECT_NE(report.find("silence, as the delay effect gives for a stream of other than 6 or 8 channels"),
              std::string::npos)
        << report;
    const std::vector<int16_t> device = ReadWav16(got, 2);
    ASSERT_GE(device.size(), size_t(kFileFrames) * 2);
    EXPECT_EQ(FirstSound(device), device.size());
}

TEST(UacsimEffectRefusal, ADeviceWithoutEffectNodesIsRefusedWithItsReason)
{
    const std::string wav = TempPath("in.wav");
    WriteWav16(wav, 2, std::vector<int16_t>(2 * kPassFrames, 1000));
    std::string report;
    EXPECT_EQ(RunUacsim("play " + wav + " --device uac1-headset --effect delay", &report), 2) << report;
    EXPECT_NE(report.find("has no delay effect node"), std::string::npos) << report;
}

// ---- One down-mix of every channel ----

// A stream format of the effects model: on the built-in profile, or on the same device with its
// stereo settings widened to four channels and its 24-bit 5.1 setting to 7.1 at 22.05 and 32 kHz
// (where 7.1 packets of 24-bit samples fit a full-speed endpoint).
struct MixRow
{
    WORD Channels;
    WORD Bits;
    ULONG RateHz;
    bool Widened;
};

std::string RowName(const MixRow& Row)
{
    return std::to_string(Row.Channels) + "ch-" + std::to_string(Row.Bits) + "bit";
}

void PrintTo(const MixRow& Row, std::ostream* Out)
{
    *Out << RowName(Row) << " at " << Row.RateHz << " Hz";
}

// The widened profile's text.
std::string WidenedText()
{
    std::string text = sim::BuiltinProfileText("uac1-variant-d5");
    // Setting bytes (channels, subframe, bits, rates) and the endpoint's wMaxPacketSize.
    const std::pair<const char*, const char*> edits[] = {
        {"0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00", "0E 24 02 01 04 02 10 02 44 AC 00 80 BB 00"},
        {"09 05 01 09 C4 00 01 00 00", "09 05 01 09 88 01 01 00 00"},
        {"0E 24 02 01 02 03 18 02 44 AC 00 80 BB 00", "0E 24 02 01 04 03 18 02 44 AC 00 80 BB 00"},
        {"09 05 01 09 26 01 01 00 00", "09 05 01 09 4C 02 01 00 00"},
        {"0E 24 02 01 06 03 18 02 44 AC 00 80 BB 00", "0E 24 02 01 08 03 18 02 22 56 00 00 7D 00"},
        {"09 05 01 09 72 03 01 00 00", "09 05 01 09 18 03 01 00 00"},
    };
    for (const auto& edit : edits)
        text = udt::Replace(text, edit.first, edit.second);
    return text;
}

std::string WriteProfile(const std::string& name, const std::string& text)
{
    const std::string path = TempPath(name + "-profile.txt");
    std::ofstream(path) << text;
    return path;
}

// The same device whose feature unit announces only the named effect's control, switched on in
// the device: the unit then has that one effect node, which sees the stream as it comes.
std::string OneEffectProfile(const std::string& text, const std::string& effect)
{
    const std::string selector = effect == "delay" ? "139" : "140";
    return WriteProfile("only-" + effect, udt::Replace(text, "vendor-controls 2 139 140",
                                                       "vendor-controls 2 " + selector + "\ncontrol 2 " +
                                                           selector + " max=1 cur=1"));
}

// Each side of the front pair as the mix defines it: the weighted channels, added in this order
// in float, starting from the side's own channel.
struct MixTerm
{
    int Channel;
    float Weight;
};
const std::vector<MixTerm>& MixTerms(WORD Channels, int Side)
{
    // Left, then right, of two, four, six and eight channels.
    static const std::vector<MixTerm> kTerms[][2] = {
        // Stereo is its own mix.
        {{{0, 1.0f}}, {{1, 1.0f}}},
        // The left surround in opposite phase.
        {{{0, 1.0f}, {2, -1.0f}}, {{1, 1.0f}, {3, 1.0f}}},
        // The centre at 0.707, the low-frequency channel, the side's surround.
        {{{0, 1.0f}, {2, 0.707f}, {3, 1.0f}, {4, 1.0f}}, {{1, 1.0f}, {2, 0.707f}, {3, 1.0f}, {5, 1.0f}}},
        // And the side's back surround.
        {{{0, 1.0f}, {2, 0.707f}, {3, 1.0f}, {4, 1.0f}, {6, 1.0f}},
         {{1, 1.0f}, {2, 0.707f}, {3, 1.0f}, {5, 1.0f}, {7, 1.0f}}},
    };
    return kTerms[Channels / 2 - 1][Side];
}

// The front pair of every frame, in the stream's samples, with no limiting: 16 bits back
// toward zero, 24 bits to nearest with ties to even.
std::vector<int32_t> DownMix(const std::vector<int32_t>& samples, const MixRow& row)
{
    const float unit = std::ldexp(1.0f, 1 - row.Bits);
    std::vector<int32_t> pair;
    for (size_t at = 0; at + row.Channels <= samples.size(); at += row.Channels)
        for (int side = 0; side < 2; ++side)
        {
            float sum = 0.0f;
            for (const MixTerm& term : MixTerms(row.Channels, side))
                sum += term.Weight * (float(samples[at + size_t(term.Channel)]) * unit);
            const double scaled = double(sum) / double(unit);
            pair.push_back(int32_t(row.Bits == 24 ? std::nearbyint(scaled) : std::trunc(scaled)));
        }
    return pair;
}

// Every channel a tone of its own and some noise at Level of full scale, from a fixed seed.
std::vector<int32_t> Spread(const MixRow& row, double level)
{
    std::mt19937 random(2024);
    std::uniform_real_distribution<double> noise(-0.02, 0.02);
    const double full = std::ldexp(1.0, row.Bits - 1);
    std::vector<int32_t> samples;
    for (ULONG n = 0; n < row.RateHz / 4; ++n)
        for (WORD c = 0; c < row.Channels; ++c)
            samples.push_back(int32_t(std::lround(
                std::min(full - 1,
                         full * level *
                             (std::sin(2.0 * M_PI * (150.0 + 70.0 * c) * n / row.RateHz) + noise(random))))));
    return samples;
}

class UacsimEffectMix : public testing::TestWithParam<MixRow>
{
protected:
    std::string Text()
    {
        return GetParam().Widened ? WidenedText() : sim::BuiltinProfileText("uac1-variant-d5");
    }
    std::string Device()
    {
        return GetParam().Widened ? WriteProfile("widened", WidenedText()) : "uac1-variant-d5";
    }
    // Plays the samples with the given options (on Device, else the row's profile); the
    // device's pair as the runner saved it.
    std::vector<int32_t> Play(const std::vector<int32_t>& samples, const std::string& name,
                              const std::string& options, std::string* report, std::string device = "")
    {
        if (device.empty())
            device = m_Device;
        const MixRow& row = GetParam();
        const std::string wav = TempPath(RowName(row) + "-" + name + ".wav");
        const std::string got = TempPath(RowName(row) + "-" + name + "-got.wav");
        WriteWav(wav, row.Channels, row.Bits, row.RateHz, samples);
        std::remove(got.c_str());
        EXPECT_EQ(RunUacsim("play " + wav + " --device " + device + " " + options + " --out " + got, report),
                  0)
            << *report;
        EXPECT_NE(report->find("removed cleanly"), std::string::npos) << *report;
        return ReadWav(got, 2, row.Bits);
    }
    void SetUp() override { m_Device = Device(); }
    std::string m_Device;
};

// Where the mix stays under full scale, the device's pair is the one down-mix to the bit (the
// limiters at unity; a stereo file is its own mix); where a loud file's mix passes it, the
// runner's own limiter reference must still match, and the device's pair is no longer the
// plain sum.
TEST_P(UacsimEffectMix, BothEffectsOffGiveTheOneDownMixOfEveryChannel)
{
    const MixRow& row = GetParam();
    const int32_t full = int32_t(1) << (row.Bits - 1);
    for (const double level : {0.18, 0.6})
        for (const std::string options : {"", "--effect off"})
        {
            SCOPED_TRACE("level " + std::to_string(level) +
                         (options.empty() ? ", no --effect" : ", " + options));
            const std::vector<int32_t> samples = Spread(row, level);
            std::string report;
            const std::vector<int32_t> device = Play(samples, "spread", options, &report);
            EXPECT_NE(report.find("bit-exact:      yes"), std::string::npos) << report;
            const std::vector<int32_t> mixed = DownMix(samples, row);
            ASSERT_EQ(device.size(), mixed.size()) << "the runner saves the file's span of the stream";
            const bool passes =
                std::any_of(mixed.begin(), mixed.end(), [&](int32_t v) { return v >= full || v < -full; });
            ASSERT_EQ(passes, level > 0.5 && row.Channels > 2) << "the levels miss the case they are for";
            if (passes)
                EXPECT_FALSE(device == mixed) << "the loud file never reached the limiters";
            else
                EXPECT_TRUE(device == mixed) << "the device's pair is not the one down-mix";
        }
}

// Two files whose one down-mix is the same, one with its sound in the front pair, the other with
// it elsewhere. The low-frequency channel (four channels: the surround pair, the left one in
// opposite phase) must reach the device as the front pair does through either effect, bit for
// bit: a channel that reached the pair a second way would tell them apart. The virtualiser,
// which places 5.1 and 7.1 itself, must render a left surround apart from the front left; it
// cannot place four channels and gets their down-mix. The delay takes no four-channel input.
class UacsimEffectTwins : public UacsimEffectMix
{
};

struct TwinRow
{
    const char* Effect;
    const char* Placement; // "low-frequency" or "left surround"
    bool Same;
};

TEST_P(UacsimEffectTwins, EachChannelReachesTheEffectOnceAndTheVirtualiserPlacesIt)
{
    const MixRow& row = GetParam();
    const bool four = row.Channels == 4;
    const TwinRow twins[] = {
        {"delay", "low-frequency", true},
        {"virtualiser", "low-frequency", true},
        {"virtualiser", "left surround", four},
    };
    std::mt19937 random(77);
    std::uniform_real_distribution<double> noise(-0.05, 0.05);
    const double full = std::ldexp(1.0, row.Bits - 1);
    std::vector<int32_t> tone;
    for (ULONG n = 0; n < row.RateHz / 4; ++n)
        tone.push_back(int32_t(full * (0.3 * std::sin(2.0 * M_PI * 300.0 * n / row.RateHz) + noise(random))));
    // The file with the tone on channel c at Gains[c] of every frame.
    auto file = [&](std::vector<int> gains)
    {
        gains.resize(row.Channels, 0);
        std::vector<int32_t> samples;
        for (int32_t s : tone)
            for (int gain : gains)
                samples.push_back(gain * s);
        return samples;
    };
    for (const TwinRow& twin : twins)
    {
        SCOPED_TRACE(std::string(twin.Effect) + ", " + twin.Placement);
        const bool lowFrequency = std::string(twin.Placement) == "low-frequency";
        if (!lowFrequency && four)
            continue;
        const std::vector<int32_t> front = file(lowFrequency ? std::vector<int>{1, 1} : std::vector<int>{1});
        const std::vector<int32_t> elsewhere =
            file(lowFrequency ? (four ? std::vector<int>{0, 0, -1, 1} : std::vector<int>{0, 0, 0, 1})
                              : std::vector<int>{0, 0, 0, 0, 1});
        const std::string effect = twin.Effect;
        const std::string tag = effect + "-" + (lowFrequency ? "lfe" : "surround");
        std::string report;
        const std::vector<int32_t> fromElsewhere =
            Play(elsewhere, "elsewhere-" + tag, "--effect " + effect, &report);
        const std::vector<int32_t> fromFront = Play(front, "front-" + tag, "--effect " + effect, &report);
        ASSERT_FALSE(fromFront.empty()) << report;
        EXPECT_EQ(fromElsewhere == fromFront, twin.Same)
            << (twin.Same ? "a channel reaches the front pair twice"
                          : "the virtualiser saw only the down-mix");
        auto silent = [](const std::vector<int32_t>& v)
        { return std::all_of(v.begin(), v.end(), [](int32_t x) { return x == 0; }); };
        EXPECT_EQ(silent(fromFront), effect == "delay" && four) << report;
        EXPECT_EQ(silent(fromElsewhere), silent(fromFront)) << report;
    }
}

// With one effect on, its node renders the stream as it came: the device gets what the same
// device makes of the file when its unit announces that effect's control alone (no node of the
// other effect anywhere), to the bit from the stream's first packet on. The delay leaves a
// stereo file silent in both.
class UacsimEffectAlone : public UacsimEffectMix
{
};

TEST_P(UacsimEffectAlone, OneEffectOnGivesWhatThatEffectAloneMakesOfTheFile)
{
    const MixRow& row = GetParam();
    const std::vector<int32_t> samples = Spread(row, 0.18);
    for (const std::string effect : {"virtualiser", "delay"})
    {
        SCOPED_TRACE(effect);
        std::string report, aloneReport;
        const std::vector<int32_t> paired = Play(samples, "paired-" + effect, "--effect " + effect, &report);
        const std::vector<int32_t> alone =
            Play(samples, "alone-" + effect, "", &aloneReport, OneEffectProfile(Text(), effect));
        EXPECT_NE(aloneReport.find(effect + " on"), std::string::npos) << aloneReport;
        EXPECT_EQ(aloneReport.find(effect == "delay" ? "virtualiser" : "delay "), std::string::npos)
            << aloneReport;
        ASSERT_GE(paired.size(), size_t(row.RateHz / 4) * 2) << report;
        ASSERT_EQ(paired.size(), alone.size()) << report << aloneReport;
        size_t first = 0;
        while (first < paired.size() && paired[first] == alone[first])
            ++first;
        EXPECT_EQ(first, paired.size()) << "first difference at stereo frame " << first / 2;
        const bool silent = std::all_of(paired.begin(), paired.end(), [](int32_t v) { return v == 0; });
        EXPECT_EQ(silent, effect == "delay" && row.Channels == 2) << report;
    }
}

const MixRow kSurroundRows[] = {
    {4, 16, 48000, true},  {4, 24, 48000, true},  {6, 16, 48000, false},
    {6, 24, 48000, false}, {8, 16, 48000, false}, {8, 24, 32000, true},
};
const MixRow kStereoRows[] = {{2, 16, 48000, false}, {2, 24, 48000, false}};

INSTANTIATE_TEST_SUITE_P(Surround, UacsimEffectMix, testing::ValuesIn(kSurroundRows));
INSTANTIATE_TEST_SUITE_P(Stereo, UacsimEffectMix, testing::ValuesIn(kStereoRows));
INSTANTIATE_TEST_SUITE_P(Surround, UacsimEffectTwins, testing::ValuesIn(kSurroundRows));
// Every layout either effect renders whole, at 16 and 24 bits.
const MixRow kWholeRows[] = {
    {2, 16, 48000, false}, {2, 24, 48000, false}, {6, 16, 48000, false},
    {6, 24, 48000, false}, {8, 16, 48000, false}, {8, 24, 32000, true},
};
INSTANTIATE_TEST_SUITE_P(Rendered, UacsimEffectAlone, testing::ValuesIn(kWholeRows));

} // namespace
