// The runner's command table and its command line, parsed by CLI11: each row becomes a
// subcommand with the options its bits name, so the help of every command lists every option
// it takes, and a bad value is refused with the option's name before anything runs.
#include "tools/uacsim/commands.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace uacsim
{
namespace
{

// One row per command: name, help line, what its file is and whether it is written, options
// taken, options needed, and the function that runs it. A new command is one row here and one cmd_<name>.cpp.
const Command kCommands[] = {
    {"devices", "List the built-in device profiles, with what each simulates.", nullptr, false, 0, 0,
     RunDevices},
    {"topology",
     "Start the driver on the device, print the topology filter, the wave subdevices with their formats, "
     "every node's value and the jacks, then remove the device and check that nothing is left.",
     nullptr, false, kOptionDevice | kOptionRealtime, kOptionDevice, RunTopology},
    {"play",
     "Play a WAV file through the device's first render wave filter and report, from the device's own "
     "record, what arrived and whether it arrived bit for bit.",
     "the WAV file to play", false,
     kOptionFile | kOptionDevice | kOptionOut | kOptionRealtime | kOptionEffect, kOptionFile | kOptionDevice,
     RunPlay},
    {"record",
     "Record from the device's first capture wave filter into a WAV file and check it against the "
     "device's known signal.",
     "the WAV file to write", true, kOptionFile | kOptionDevice | kOptionSeconds | kOptionRealtime,
     kOptionFile | kOptionDevice | kOptionSeconds, RunRecord},
    {"asio",
     "Run a short session of the ASIO companion: a 440 Hz tone through every render ring for 2 s, every "
     "capture ring read, both checked against the device's record.",
     nullptr, false, kOptionDevice | kOptionRealtime, kOptionDevice, RunAsio},
};

constexpr const char* kDeviceHelp =
    "the simulated device: a built-in profile name (see `uacsim devices`), a profile file, or a raw "
    "descriptor dump whose name ends in .bin";

// A day of virtual time at most.
constexpr double kMaxSeconds = 24 * 3600;

std::string CheckSeconds(const std::string& Text)
{
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(Text.c_str(), &end);
    if (Text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0 ||
        value > kMaxSeconds)
        return "a number of seconds above 0 and at most 86400, not '" + Text + "'";
    return "";
}

std::string CheckEffect(const std::string& Text)
{
    if (Text == "virtualiser" || Text == "delay" || Text == "off")
        return "";
    return "virtualiser, delay or off, not '" + Text + "'";
}

// The options of one command, bound to Line, as its row's bits ask.
void AddOptions(CLI::App& Sub, const Command& Cmd, CommandLine* Line)
{
    auto need = [&](CLI::Option* Option, unsigned Bit) { Option->required((Cmd.Needs & Bit) != 0); };
    if (Cmd.Takes & kOptionFile)
    {
        CLI::Option* file = Sub.add_option("FILE", Line->File, Cmd.File)->type_name("");
        if (Cmd.WritesFile)
            file->check(
                CLI::Validator([](std::string& Path) { return WhyNotWritable(Path); }, "", "writable"));
        need(file, kOptionFile);
    }
    if (Cmd.Takes & kOptionDevice)
        need(Sub.add_option("--device", Line->Device, kDeviceHelp)->type_name("P"), kOptionDevice);
    if (Cmd.Takes & kOptionSeconds)
    {
        CLI::Option* seconds = Sub.add_option(
            "--seconds", Line->Seconds,
            "how many seconds to record (above 0, at most 86400 and what a WAV file's 4 GB hold)");
        seconds->type_name("S")->check(CLI::Validator(CheckSeconds, "", "seconds"));
        need(seconds, kOptionSeconds);
    }
    if (Cmd.Takes & kOptionOut)
        Sub.add_option("--out", Line->Out,
                       "write what the device received to this WAV file, in the device's own format: from "
                       "where the file starts in its stream, or all of it through --effect")
            ->type_name("GOT.wav")
            ->check(CLI::Validator([](std::string& Path) { return WhyNotWritable(Path); }, "", "writable"));
    if (Cmd.Takes & kOptionEffect)
        Sub.add_option("--effect", Line->Effect,
                       "on the effects model only: switch the tapped delay or the headphone virtualiser "
                       "on and the other off, or both off")
            ->type_name("virtualiser|delay|off")
            ->check(CLI::Validator(CheckEffect, "", "effect"));
    if (Cmd.Takes & kOptionRealtime)
        Sub.add_flag("--realtime", Line->Realtime,
                     "let deadlines follow the wall clock instead of the virtual clock, which runs "
                     "seconds of streaming in milliseconds");
}

std::unique_ptr<CLI::App> MakeApp(CommandLine* Line)
{
    auto app = std::make_unique<CLI::App>("Runs the driver on a simulated USB audio device.", "uacsim");
    app->require_subcommand(1);
    app->footer("Exit codes: 0 the job was done; 2 the command or its input is wrong (an option, the "
                "profile, the file, or a device without what the command needs); 1 the run failed (the "
                "driver, the audio, or the removal).\n`uacsim COMMAND --help` lists a command's options.\n");
    for (const Command& cmd : kCommands)
    {
        CLI::App* sub = app->add_subcommand(cmd.Name, cmd.About);
        // What a command does not take stays with it, to be named in the command's own words.
        sub->allow_extras();
        sub->callback([Line, &cmd] { Line->Command = cmd.Name; });
        AddOptions(*sub, cmd, Line);
    }
    return app;
}

// The command the arguments named; null when the parse stopped before one.
const CLI::App* ChosenCommand(const CLI::App& App)
{
    for (const CLI::App* sub : App.get_subcommands({}))
        if (sub->parsed())
            return sub;
    return nullptr;
}

// What is wrong with the first argument a command does not take, in its own words.
std::string NotTaken(const Command& Cmd, const std::vector<std::string>& Extras, const CommandLine& Line)
{
    const std::string& arg = Extras.front();
    if (Cmd.Takes == 0)
        return "takes no options or files ('" + arg + "')";
    for (const char* option : {"--device", "--seconds", "--out", "--effect", "--realtime"})
        if (arg == option)
            return "does not take " + arg;
    if (!arg.empty() && arg[0] == '-')
        return "unknown option '" + arg + "'";
    if (Cmd.Takes & kOptionFile)
        return "one file only: '" + Line.File + "' and '" + arg + "'";
    return "takes no file ('" + arg + "')";
}

// The refusal of a command line: the first argument the command does not take when there is
// one, else Why.
std::string Refusal(const CLI::App& App, const CommandLine& Line, const std::string& Why)
{
    const CLI::App* chosen = ChosenCommand(App);
    const std::string command = chosen ? " " + chosen->get_name() : "";
    const std::string why = chosen && !chosen->remaining().empty()
                                ? NotTaken(*FindCommand(chosen->get_name()), chosen->remaining(), Line)
                                : Why;
    return "uacsim" + command + ": " + why + "\nRun 'uacsim" + command + " --help' for its options.\n";
}

} // namespace

const Command* FindCommand(const std::string& Name)
{
    for (const Command& cmd : kCommands)
        if (Name == cmd.Name)
            return &cmd;
    return nullptr;
}

ParseResult ParseCommandLine(const std::vector<std::string>& Args, CommandLine* Line, std::string* Text)
{
    std::vector<std::string> args = Args;
    // `uacsim help` and `uacsim help play` read as `uacsim --help` and `uacsim play --help`.
    if (!args.empty() && args[0] == "help")
    {
        args.erase(args.begin());
        args.push_back("--help");
    }
    if (args.empty())
    {
        *Text = "uacsim: no command given: devices, topology, play, record or asio\n"
                "Run 'uacsim --help' for what each does.\n";
        return ParseResult::Refused;
    }
    if (args[0][0] == '-' && args[0] != "-h" && args[0] != "--help")
    {
        *Text = "uacsim: unknown option '" + args[0] +
                "': the command comes first (devices, topology, play, record or asio)\nRun 'uacsim --help' "
                "for what each does.\n";
        return ParseResult::Refused;
    }
    if (args[0][0] != '-' && !FindCommand(args[0]))
    {
        *Text = "uacsim: unknown command '" + args[0] +
                "': devices, topology, play, record or asio\nRun 'uacsim --help' for what each does.\n";
        return ParseResult::Refused;
    }
    std::unique_ptr<CLI::App> app = MakeApp(Line);
    std::vector<const char*> argv = {"uacsim"};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    try
    {
        app->parse(int(argv.size()), argv.data());
    }
    catch (const CLI::CallForHelp&)
    {
        // The help of the command named, under its full name ("uacsim play").
        *Text = app->help();
        return ParseResult::Help;
    }
    catch (const CLI::ParseError& error)
    {
        // "--out: 1 required GOT.wav missing" is CLI11's way of saying an option lacks its value.
        std::string why = error.what();
        const size_t colon = why.find(": ");
        if (error.get_name() == "ArgumentMismatch" && colon != std::string::npos && why.size() > 8 &&
            why.compare(why.size() - 8, 8, " missing") == 0)
            why = why.substr(0, colon) + " needs a value";
        // An argument the command does not take ("-d", a file name starting with '-') explains
        // a missing option better than the missing option does.
        *Text = Refusal(*app, *Line, why);
        return ParseResult::Refused;
    }
    const CLI::App* chosen = ChosenCommand(*app);
    if (chosen && !chosen->remaining().empty())
    {
        *Text = Refusal(*app, *Line, "");
        return ParseResult::Refused;
    }
    return ParseResult::Run;
}

std::string WhyNotWritable(const std::string& Path)
{
    if (Path.empty())
        return "needs a file name";
    struct stat info = {};
    const bool exists = stat(Path.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        return "cannot write '" + Path + "': it is a directory";
    // A WAV file's header is written last, by seeking back: a device or pipe cannot take one.
    if (exists && !S_ISREG(info.st_mode))
        return "cannot write '" + Path + "': it is not a regular file";
    // Opening is the one test that answers for permissions, read-only file systems and missing
    // folders alike; a file made only to ask is removed again.
    const int fd =
        exists ? open(Path.c_str(), O_WRONLY) : open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0)
        return "cannot write '" + Path + "': " + std::strerror(errno);
    close(fd);
    if (!exists)
        unlink(Path.c_str());
    return "";
}

bool SameFile(const std::string& A, const std::string& B)
{
    struct stat a = {}, b = {};
    return stat(A.c_str(), &a) == 0 && stat(B.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

} // namespace uacsim
