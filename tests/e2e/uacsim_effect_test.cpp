// `uacsim play --effect` on the effects model, run as a user runs it: a 5.1 or 7.1 file goes through
// the driver's effect nodes to the device, and what the device received (saved with --out) must
// be what a separate pair of effect nodes, with the stream's limiter and packing written out
// here, makes of the file's samples. The reference nodes are driven directly, in the
// pipeline's 10 ms passes, after a lead of silence long enough for their start-up fades.
#include "support/node_test_doubles.h"

#include "driver/dsp/effect_processor.h"
#include "driver/topology/variants/variant_d_effect_controls.h"

#include <xmmintrin.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
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
    std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : test)
        c = c == '/' ? '_' : c; // a parameterised case's name has its index after a slash
    return dir + "/" + test + "-" + name;
}

void Put(std::vector<uint8_t>& out, uint32_t value, int bytes)
{
    for (int b = 0; b < bytes; ++b)
        out.push_back(uint8_t(value >> (8 * b)));
}

// A 16-bit PCM WAV file of the test's own making.
void WriteWav16(const std::string& path, WORD channels, const std::vector<int16_t>& samples)
{
    std::vector<uint8_t> file{'R', 'I', 'F', 'F'};
    const uint32_t bytes = uint32_t(samples.size() * 2);
    Put(file, 36 + bytes, 4);
    file.insert(file.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put(file, 16, 4);
    Put(file, 1, 2);
    Put(file, channels, 2);
    Put(file, kEffectRate, 4);
    Put(file, kEffectRate * channels * 2u, 4);
    Put(file, channels * 2u, 2);
    Put(file, 16, 2);
    file.insert(file.end(), {'d', 'a', 't', 'a'});
    Put(file, bytes, 4);
    for (int16_t s : samples)
        Put(file, uint16_t(s), 2);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), long(file.size()));
}

// The samples of a 16-bit PCM WAV file with Channels channels; empty when it is not one.
std::vector<int16_t> ReadWav16(const std::string& path, WORD channels)
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
    std::vector<int16_t> samples;
    for (size_t at = 12; at + 8 <= file.size();)
    {
        const uint32_t size = get(at + 4, 4);
        if (std::string(file.begin() + long(at), file.begin() + long(at) + 4) == "fmt ")
        {
            if (get(at + 8, 2) != 1 || get(at + 10, 2) != channels || get(at + 22, 2) != 16)
                return {};
        }
        else if (std::string(file.begin() + long(at), file.begin() + long(at) + 4) == "data")
        {
            for (size_t i = 0; i + 1 < size && at + 8 + i + 1 < file.size(); i += 2)
                samples.push_back(int16_t(get(at + 8 + i, 2)));
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return samples;
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

// Neither the down-mix nor the delay path has latency, so the device's first sound with the
// effects off marks where the file starts in its stream: the lead of silence the reference
// needs, since the effects keep blocks and fades counted from the stream's start. Every
// setting then matches to the bit, from the stream's first packet on.
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
    for (const std::string effect : {"off", "delay", "virtualiser"})
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
        if (effect == "off")
        {
            const size_t unshifted = FirstSound(Reference(file, kChannels, effect, 0));
            ASSERT_GE(FirstSound(device), unshifted);
            lead = (FirstSound(device) - unshifted) / 2;
        }
        const std::vector<int16_t> expected = Reference(file, kChannels, effect, lead);
        const size_t length = std::min(device.size(), expected.size());
        ASSERT_GE(length, (lead + kFileFrames) * 2) << "the device received less than the file";
        size_t first = length;
        int worst = 0;
        for (size_t i = 0; i < length; ++i)
        {
            const int difference = std::abs(int(device[i]) - int(expected[i]));
            if (difference != 0 && first == length)
                first = i;
            worst = std::max(worst, difference);
        }
        EXPECT_EQ(first, length) << "first difference at stereo frame " << first / 2 << ", largest " << worst;
        outputs.push_back(device);
    }
    // The three runs are really three different renderings.
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_NE(outputs[0], outputs[1]);
    EXPECT_NE(outputs[0], outputs[2]);
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

} // namespace
