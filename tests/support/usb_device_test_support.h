// Rig of CUsbDevice: the one driver rig on a bare adapter, with the audio function double
// serving every kind of device. The device model's request log, the requests seen at the
// physical device and the registry are the oracles.
#pragma once

#include <gtest/gtest.h>

#include "support/driver_rig.h"
#include "support/function_double.h"

#include <string>
#include <vector>

namespace udt
{

using fdt::g_Created;
using fdt::g_Script;
using PortAnswer = sim::PortStatusAnswer;
using rig::SelectedInterface;

// Profile text without the lines that start with any of the prefixes.
inline std::string WithoutLines(const std::string& text, const std::vector<std::string>& prefixes)
{
    std::string kept;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        bool drop = false;
        for (const std::string& prefix : prefixes)
            drop = drop || line.rfind(prefix, 0) == 0;
        if (!drop)
            kept += line;
        start = end;
    }
    return kept;
}

// The text of a built-in profile with its "string" lines replaced.
inline std::string ProfileWithStrings(const std::string& builtin, const std::string& strings)
{
    return WithoutLines(sim::BuiltinProfileText(builtin), {"string "}) + strings;
}

// Replaces the first occurrence of `from` (which must be there) in profile text.
inline std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "profile text lacks: " << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

class UsbDeviceRig : public rig::DriverRig
{
protected:
    UsbDeviceRig() : DriverRig(rig::BareAdapter(&fdt::kDoubleCreators)) {}

    void SetUp() override
    {
        fdt::ResetFunctionDouble();
        DriverRig::SetUp();
    }

    std::vector<sim::ControlRecord> Log() { return Model().Log(); }
};

} // namespace udt
