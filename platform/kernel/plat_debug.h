// The debug log of the stand-in: what the driver printed with DbgPrint, for tests to read.
#pragma once

#include <string>
#include <vector>

namespace plat
{

// Lines printed so far, without their newlines; text after the last newline is the last line.
std::vector<std::string> DebugLog();

// Everything printed so far, as printed.
std::string DebugLogText();

void ClearDebugLog();

} // namespace plat
