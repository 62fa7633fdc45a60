// The runner's command line as users meet it: each command with its exit code and what it says.
// One rule holds: 0 the job was done, 2 the command or its input is wrong (options, profile,
// files, a device without what the command needs), 1 the run failed; no input ends the
// process any other way, and nothing a wrong file holds is echoed back raw.
#include <gtest/gtest.h>

#include "sim/profiles/profile.h"
#include "uacsim_run.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{

using uacsim_test::Contains;
using uacsim_test::RunResult;
using uacsim_test::RunUacsim;

// A folder of the files the cases need, removed with everything in it.
class Scratch
{
public:
    Scratch()
    {
        char path[] = "/tmp/uacsim-cli-XXXXXX";
        m_Dir = mkdtemp(path) ? path : "";
    }
    ~Scratch() { std::filesystem::remove_all(m_Dir); }
    std::string operator/(const std::string& Name) const { return m_Dir + "/" + Name; }

private:
    std::string m_Dir;
};

void Put(const std::string& Path, const std::vector<uint8_t>& Bytes)
{
    std::ofstream(Path, std::ios::binary)
        .write(reinterpret_cast<const char*>(Bytes.data()), long(Bytes.size()));
}

void Le(std::vector<uint8_t>* Out, uint32_t Value, int Bytes)
{
    for (int i = 0; i < Bytes; ++i)
        Out->push_back(uint8_t(Value >> (8 * i)));
}

// A 16-bit stereo 48 kHz WAV file of Frames frames of a ramp, whose data chunk announces
// Announced frames; written by hand, apart from the runner's own WAV code.
std::vector<uint8_t> Wav(uint32_t Frames, uint32_t Announced)
{
    std::vector<uint8_t> w = {'R', 'I', 'F', 'F'};
    Le(&w, 36 + Announced * 4, 4);
    for (char c : std::string("WAVEfmt "))
        w.push_back(uint8_t(c));
    Le(&w, 16, 4);
    Le(&w, 1, 2);         // PCM
    Le(&w, 2, 2);         // channels
    Le(&w, 48000, 4);     // rate
    Le(&w, 48000 * 4, 4); // bytes per second
    Le(&w, 4, 2);         // block
    Le(&w, 16, 2);        // bits
    for (char c : std::string("data"))
        w.push_back(uint8_t(c));
    Le(&w, Announced * 4, 4);
    for (uint32_t n = 0; n < Frames * 2; ++n)
        Le(&w, (n * 37 + 1) & 0xFFFF, 2);
    return w;
}

// Every byte a message may hold: printable text and line ends.
bool PlainText(const std::string& Text)
{
    for (unsigned char c : Text)
        if ((c < 0x20 && c != '\n') || c == 0x7F)
            return false;
    return true;
}

TEST(UacsimCommandLine, EachCommandEndsWithItsExitCodeAndMessage)
{
    Scratch d;
    std::filesystem::create_directories(d / "dir/x.bin");
    ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0600), 0);
    const std::vector<uint8_t> tone = Wav(2400, 2400);
    Put(d / "tone.wav", tone);
    Put(d / "tone-as.bin", tone);
    Put(d / "cut.wav", Wav(2400, 4800));
    std::mt19937 random(34);
    std::vector<uint8_t> noise(512);
    for (uint8_t& byte : noise)
        byte = uint8_t(random());
    Put(d / "random.dat", noise);
    Put(d / "huge.profile", std::vector<uint8_t>(2 << 20, '#'));
    std::ofstream(d / "dump-dir.profile") << "dump dir\n";
    // A configuration descriptor cut short of its wTotalLength.
    std::ofstream(d / "short.profile")
        << "descriptors\n12 01 10 01 00 00 00 08 34 12 78 56 00 01 01 02 03 01\n"
           "09 02 40 00 02 01 00 80 32\nend\n";
    const std::string tonePlay = "play " + (d / "tone.wav") + " --device uac1-speaker";
    const std::string record = "record " + (d / "rec.wav") + " --device uac1-headset";

    const struct
    {
        std::string Args;
        int ExitCode;
        std::string Message; // on stderr
        bool NothingRan;     // refused before any device was loaded
    } rows[] = {
        // Files that are not what --device takes.
        {"topology --device " + (d / "dir"), 2,
         "cannot read the profile file " + (d / "dir") + ": it is a directory", true},
        {"topology --device " + (d / "dir/x.bin"), 2,
         "cannot read the dump file " + (d / "dir/x.bin") + ": it is a directory", true},
        {"play " + (d / "tone.wav") + " --device " + (d / "dir"), 2, "it is a directory", true},
        {"topology --device " + (d / "dump-dir.profile"), 2,
         "line 1: cannot read the dump file " + (d / "dir") + ": it is a directory", true},
        {"topology --device " + (d / "tone.wav"), 2,
         (d / "tone.wav") + " is a WAV file, not a device profile", true},
        {"topology --device " + (d / "tone-as.bin"), 2, "is a WAV file, not a descriptor dump", true},
        {"topology --device " + (d / "random.dat"), 2, "is not a profile: it holds binary data, not text",
         true},
        {"topology --device " + (d / "short.profile"), 2, "cannot load device", true},
        {"topology --device no-such-profile", 2, "no built-in profile named 'no-such-profile'", true},
        {"topology --device " + (d / "fifo"), 2, "it is not a regular file", true},
        {"topology --device " + (d / "huge.profile"), 2,
         "it has 2097152 bytes; a profile or descriptor dump has at most 1048576", true},
        // Files the commands cannot read or write: refused before the run.
        {"play " + (d / "dir") + " --device uac1-speaker", 2, "is a directory, not a WAV file", true},
        {"play " + (d / "fifo") + " --device uac1-speaker", 2, "is a pipe or a device, not a WAV file", true},
        {"record /dev/null --device uac1-headset --seconds 1", 2, "'/dev/null': it is not a regular file",
         true},
        {"record " + (d / "no/rec.wav") + " --device uac1-headset --seconds 1", 2,
         "cannot write '" + (d / "no/rec.wav") + "': No such file or directory", true},
        {"record " + (d / "dir") + " --device uac1-headset --seconds 1", 2, "it is a directory", true},
        {tonePlay + " --out " + (d / "no/got.wav"), 2, "--out: cannot write '" + (d / "no/got.wav") + "'",
         true},
        {tonePlay + " --out " + (d / "tone.wav"), 2, "--out names the file being played", true},
        // A device without what the command needs.
        {"record " + (d / "rec.wav") + " --device uac1-speaker --seconds 1", 2,
         "cannot record: the device has no capture endpoint", false},
        // A file cut short plays what it holds, with a warning.
        {"play " + (d / "cut.wav") + " --device uac1-speaker", 0,
         "warning: '" + (d / "cut.wav") + "' announces 4800 frames of samples but holds 2400 frames", false},
        // The command line itself.
        {"", 2, "no command given", true},
        {"frobnicate --device uac1-speaker", 2, "unknown command 'frobnicate'", true},
        {"--device uac1-speaker topology", 2, "the command comes first", true},
        {"topology", 2, "uacsim topology: --device is required", true},
        {"play --device uac1-speaker", 2, "uacsim play: FILE is required", true},
        {record, 2, "--seconds is required", true},
        {record + " --seconds 0", 2, "--seconds: a number of seconds above 0 and at most 86400, not '0'",
         true},
        {record + " --seconds 2x", 2, "not '2x'", true},
        {record + " --seconds 86401", 2, "not '86401'", true},
        {record + " --seconds", 2, "--seconds needs a value", true},
        {"play a.wav b.wav --device uac1-speaker", 2, "one file only: 'a.wav' and 'b.wav'", true},
        {"topology --device uac1-speaker --seconds 1", 2, "uacsim topology: does not take --seconds", true},
        {"topology --device uac1-speaker --loud", 2, "unknown option '--loud'", true},
        {"topology -d uac1-speaker", 2, "unknown option '-d'", true},
        {"devices extra", 2, "uacsim devices: takes no options or files ('extra')", true},
        {tonePlay + " --effect loud", 2, "--effect: virtualiser, delay or off, not 'loud'", true},
        {tonePlay + " --out", 2, "--out needs a value", true},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Args);
        const RunResult run = RunUacsim(row.Args);
        EXPECT_EQ(run.ExitCode, row.ExitCode) << run.Out << run.Err;
        EXPECT_TRUE(Contains(run.Err, row.Message)) << run.Err;
        EXPECT_TRUE(PlainText(run.Err)) << run.Err;
        if (row.NothingRan)
            EXPECT_EQ(run.Out, "");
        else
            EXPECT_TRUE(Contains(run.Out, "device uac1-")) << run.Out;
    }
    // Neither the refused --out nor the cut file's play touched the input.
    std::ifstream in(d / "tone.wav", std::ios::binary);
    EXPECT_TRUE(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) ==
                tone);
    EXPECT_FALSE(std::filesystem::exists(d / "no"));
}

// Every command's help names every option it takes with what it does, under the command's
// full name; `uacsim help X` is `uacsim X --help`.
TEST(UacsimCommandLine, EachCommandHasHelpForEveryOption)
{
    const struct
    {
        std::string Command;
        std::vector<std::string> Options;
    } rows[] = {
        {"devices", {}},
        {"topology", {"--device P", "--realtime"}},
        {"play", {"FILE", "--device P", "--out GOT.wav", "--effect virtualiser|delay|off", "--realtime"}},
        {"record", {"FILE", "--device P", "--seconds S", "--realtime"}},
        {"asio", {"--device P", "--realtime"}},
    };
    const RunResult all = RunUacsim("--help");
    EXPECT_EQ(all.ExitCode, 0);
    EXPECT_TRUE(Contains(all.Out, "Exit codes: 0")) << all.Out;
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Command);
        EXPECT_TRUE(Contains(all.Out, "\n  " + row.Command + " ")) << all.Out;
        const RunResult help = RunUacsim(row.Command + " --help");
        EXPECT_EQ(help.ExitCode, 0) << help.Err;
        EXPECT_TRUE(Contains(help.Out, "Usage: uacsim " + row.Command)) << help.Out;
        for (const std::string& option : row.Options)
        {
            const size_t at = help.Out.find("  " + option);
            ASSERT_NE(at, std::string::npos) << option << "\n" << help.Out;
            // A description follows the option's name (and REQUIRED), on its line or the next.
            size_t end = help.Out.find_first_not_of(" \n", at + 2 + option.size());
            if (help.Out.compare(end, 8, "REQUIRED") == 0)
                end = help.Out.find_first_not_of(" \n", end + 8);
            EXPECT_TRUE(end != std::string::npos && help.Out[end] >= 'a' && help.Out[end] <= 'z')
                << option << "\n"
                << help.Out;
        }
        EXPECT_EQ(RunUacsim("help " + row.Command).Out, help.Out);
    }
}

// The tone maker answers --help with its help, not a file named "--help", and refuses what it
// cannot write.
TEST(UacsimCommandLine, TheToneMakerHasHelpAndRefusesBadArguments)
{
    Scratch d;
    const struct
    {
        std::string Args;
        int ExitCode;
        std::string Message; // on stdout for exit 0, else on stderr
    } rows[] = {
        {"--help", 0, "Usage: make_tone [OPTIONS] OUT [SECONDS] [RATE] [CHANNELS] [BITS]"},
        {"", 2, "OUT is required"},
        {"t.wav 1 48000 2 20", 2, "BITS"},
        {"t.wav 0", 2, "SECONDS"},
        {"t.wav 1 48000 9", 2, "CHANNELS"},
        {"no/t.wav", 1, "cannot write 'no/t.wav'"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Args);
        const RunResult run = uacsim_test::RunTool("make_tone", row.Args, false, d / "");
        EXPECT_EQ(run.ExitCode, row.ExitCode);
        EXPECT_TRUE(Contains(row.ExitCode == 0 ? run.Out : run.Err, row.Message)) << run.Out << run.Err;
    }
    EXPECT_TRUE(std::filesystem::is_empty(d / "")) << "make_tone wrote a file for a refused command";
    const RunResult made = uacsim_test::RunTool("make_tone", "t.wav 0.1 44100 3 24", false, d / "");
    EXPECT_EQ(made.ExitCode, 0) << made.Err;
    std::ifstream in(d / "t.wav", std::ios::binary);
    const std::string wav((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto le = [&](size_t At, int Bytes)
    {
        uint32_t v = 0;
        for (int i = Bytes - 1; i >= 0 && At + size_t(i) < wav.size(); --i)
            v = v << 8 | uint8_t(wav[At + size_t(i)]);
        return v;
    };
    const size_t fmt = wav.find("fmt "), data = wav.find("data");
    ASSERT_NE(fmt, std::string::npos);
    ASSERT_NE(data, std::string::npos);
    EXPECT_EQ(le(fmt + 10, 2), 3u);     // channels
    EXPECT_EQ(le(fmt + 12, 4), 44100u); // rate
    EXPECT_EQ(le(fmt + 22, 2), 24u);    // bits
    EXPECT_EQ(le(data + 4, 4), 4410u * 3 * 3);
}

} // namespace
