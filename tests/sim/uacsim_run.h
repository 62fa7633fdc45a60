// The command-line runner and the tone maker run as a user runs them, from the tests of
// tests/sim: the built tool (build/tools/uacsim/, beside the test executables' folder) on the
// virtual clock, its exit code, its report and its complaints.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace uacsim_test
{

struct RunResult
{
    int ExitCode = -1; // -1 when the runner did not exit (a signal, an abort); 124 when it hung
    std::string Out;
    std::string Err;
};

// A tool of tools/uacsim in the build tree: "uacsim" or "make_tone".
inline std::string ToolPath(const std::string& Tool = "uacsim")
{
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    const std::string path(self, n > 0 ? size_t(n) : 0);
    return path.substr(0, path.rfind('/')) + "/../tools/uacsim/" + Tool;
}

inline std::string ReadAll(const std::string& Path)
{
    std::ifstream in(Path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs Tool with Args from the folder Cwd (the test's own when empty). Merged: stderr goes
// where stdout goes, as in `uacsim ... 2>&1 | less`.
inline RunResult RunTool(const std::string& Tool, const std::string& Args, bool Merged = false,
                         const std::string& Cwd = "")
{
    const std::string tool = ToolPath(Tool);
    EXPECT_EQ(access(tool.c_str(), X_OK), 0) << "the tool is not built: " << tool;
    char outPath[] = "/tmp/uacsim-out-XXXXXX";
    char errPath[] = "/tmp/uacsim-err-XXXXXX";
    close(mkstemp(outPath));
    close(mkstemp(errPath));
    // Virtual time whatever the environment says, so the run takes no wall-clock time; a run
    // that waits on something all the same ends as exit code 124 instead of holding the test.
    const std::string command = (Cwd.empty() ? "" : "cd " + Cwd + " && ") +
                                "UACSIM_CLOCK=virtual timeout 60 " + tool + " " + Args + " >" + outPath +
                                (Merged ? " 2>&1" : std::string(" 2>") + errPath);
    const int status = std::system(command.c_str());
    RunResult run;
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Out = ReadAll(outPath);
    run.Err = ReadAll(errPath);
    unlink(outPath);
    unlink(errPath);
    return run;
}

inline RunResult RunUacsim(const std::string& Args, bool Merged = false)
{
    return RunTool("uacsim", Args, Merged);
}

inline bool Contains(const std::string& Text, const std::string& Part)
{
    return Text.find(Part) != std::string::npos;
}

} // namespace uacsim_test
