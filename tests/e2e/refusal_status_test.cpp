// Devices the driver refuses for what they are, not for a lack of memory: the start fails with
// STATUS_NOT_SUPPORTED and a message that names the entity, and removal leaves nothing behind.
// Each case is a built-in profile with one thing changed.
#include "e2e_rig.h"

#include "plat_debug.h"

#include <string>
#include <vector>

namespace e2e
{
namespace
{

// A built-in profile's text with one (old, new) replacement.
std::string EditedBuiltin(const std::string& Name, const std::string& From, const std::string& To)
{
    std::string text = sim::BuiltinProfileText(Name);
    const size_t at = text.find(From);
    EXPECT_NE(at, std::string::npos) << From;
    if (at != std::string::npos)
        text.replace(at, From.size(), To);
    return text;
}

std::string ManyRates(unsigned Count)
{
    std::string line = "clock 10";
    for (unsigned i = 0; i < Count; ++i)
        line += " " + std::to_string(8000 + 1000 * i);
    return line;
}

using RefusalStatusE2e = DriverRig;

TEST_F(RefusalStatusE2e, AnUnsupportedDeviceIsRefusedAsSuchNotForMemory)
{
    const struct
    {
        const char* What;
        std::string Profile;
        const char* Says;
    } rows[] = {
        // bmaControls of the master channel without its mute bit, volume kept.
        {"class-1 feature unit without mute",
         EditedBuiltin("uac1-speaker", "0A 24 06 02 01 01 03 00 00 00", "0A 24 06 02 01 01 02 00 00 00"),
         "feature unit 2 has no mute control"},
        {"variant-A unit of its own without mute",
         EditedBuiltin("uac1-variant-a", "0A 24 06 10 13 01 03 00 00 00", "0A 24 06 10 13 01 02 00 00 00"),
         "feature unit 16 has no mute control"},
        {"class-2 feature unit without mute",
         EditedBuiltin("uac2-interface", "12 24 06 05 04 0F 00 00 00", "12 24 06 05 04 0C 00 00 00"),
         "feature unit 5 has no mute control"},
        {"class-2 clock beyond the rate table",
         EditedBuiltin("uac2-interface", "clock 10 44100 48000 96000", ManyRates(31)),
         "clock source 10 offers more than the 30 sampling frequencies the driver takes"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.What);
        plat::ClearDebugLog();
        LoadOn(row.Profile);
        EXPECT_EQ(Start(), STATUS_NOT_SUPPORTED) << plat::DebugLogText();
        EXPECT_NE(plat::DebugLogText().find(row.Says), std::string::npos) << plat::DebugLogText();
        RemoveAndCheck();
        SetUp();
    }
}

// The rate table's own edge: a clock of 30 rates starts.
TEST_F(RefusalStatusE2e, AClockOfThirtyRatesStarts)
{
    LoadOn(EditedBuiltin("uac2-interface", "clock 10 44100 48000 96000", ManyRates(30)));
    EXPECT_EQ(Start(), STATUS_SUCCESS) << plat::DebugLogText();
}

} // namespace
} // namespace e2e
