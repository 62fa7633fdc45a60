// Debug output of the stand-in: DbgPrint and DbgPrintEx append to one in-memory log and, with
// UACSIM_DEBUG=1 in the environment, echo to stderr.
#include "debug.h"

#include "ntstatus.h"
#include "plat_debug.h"
#include "rtl.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace
{

struct DebugState
{
    std::mutex Lock;
    std::string Text;
    bool Echo;
};

// Never destroyed, so that output from static destructors still lands somewhere.
DebugState& State()
{
    static DebugState* state = []
    {
        DebugState* s = new DebugState;
        const char* env = std::getenv("UACSIM_DEBUG");
        s->Echo = env && env[0] == '1';
        return s;
    }();
    return *state;
}

ULONG Print(PCSTR Format, va_list Args)
{
    char text[DBGPRINT_MAX_BYTES];
    // _vsnprintf leaves no terminator when the text fills or overflows the buffer.
    _vsnprintf(text, sizeof(text) - 1, Format, Args);
    text[sizeof(text) - 1] = 0;
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Text += text;
    if (s.Echo)
    {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
    return STATUS_SUCCESS;
}

} // namespace

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    ULONG status = Print(Format, args);
    va_end(args);
    return status;
}

// Every component and level is recorded: tests want the messages the target's default filter
// would hide.
ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist)
{
    return Print(Format, arglist);
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    ULONG status = Print(Format, args);
    va_end(args);
    return status;
}

namespace plat
{

std::vector<std::string> DebugLog()
{
    std::string text = DebugLogText();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
        {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string DebugLogText()
{
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Text;
}

void ClearDebugLog()
{
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Text.clear();
}

} // namespace plat
