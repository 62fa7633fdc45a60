// How the stand-in reports misuse that would crash or hang a real system: it stops the
// process with a message naming the broken rule, so the failure shows up as a failing test.
#pragma once

namespace plat
{

// Prints "platform: fatal: <message>" to stderr and aborts. Never returns.
[[noreturn]] void Fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace plat
