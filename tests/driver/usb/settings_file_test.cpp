// The settings file reader driven as the device's start drives it: a file in the folder that
// stands for "\SystemRoot\", the version check against "IniVersion", and the values that land in
// "Settings". One table row per rule of the file format with the values it must leave; a fixed
// run of random and mutated files checks what must hold for any file.
#include "support/settings_device_fixture.h"

#include "driver/usb/settings_file.h"
#include "driver/core/settings_store.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <sstream>

namespace
{

using settings_test::SettingsMap;
using settings_test::StoredValue;

const std::string kDeviceKey = "USB\\VID_0D8C&PID_0014&REV_0100"; // the default device's first ID
const std::string kIniName = "KESTRINZ4.INI";
const std::string kMap = "[VERSION]\r\nV=5\r\n[QUILLAX]\r\n";
const std::string kHead = kMap + kDeviceKey + " = DEV\r\n"; // version 5, this device in "DEV"
const std::string kDev = kHead + "[DEV]\r\n";

StoredValue U32(ULONG type, uint32_t v)
{
    return StoredValue{type, {UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)}};
}

std::string Repeat(const std::string& text, int count)
{
    std::string all;
    while (count-- > 0)
        all += text;
    return all;
}

// What a rule leaves: "<version>" when the file is not applied, "<version>:" and the values
// when it is (then "IniVersion" holds the version too). Values are "name=hex" (REG_BINARY),
// "name:sz=hex" or name="text" (REG_SZ, UTF-16 without terminator), "Sub\name" in subkey Sub.
struct Expected
{
    ULONG Version = 0;
    bool Applied = false;
    SettingsMap Values;
};

Expected Parse(const std::string& text)
{
    std::istringstream in(text);
    std::string spec;
    Expected expected;
    in >> spec;
    expected.Version = ULONG(std::stoul(spec, nullptr, 0));
    expected.Applied = spec.back() == ':';
    if (expected.Applied)
        expected.Values[{u"", u"INIVERSION"}] = U32(REG_BINARY, expected.Version);
    while (in >> spec)
    {
        size_t equals = spec.find('='), slash = spec.rfind('\\', equals);
        std::string name = spec.substr(0, equals), data = spec.substr(equals + 1);
        bool sz = name.size() > 3 && name.substr(name.size() - 3) == ":sz";
        StoredValue value{sz || data[0] == '"' ? ULONG(REG_SZ) : REG_BINARY, {}};
        name.resize(sz ? name.size() - 3 : name.size());
        for (size_t i = 1; data[0] == '"' && i + 1 < data.size(); ++i)
            value.Data.insert(value.Data.end(), {UCHAR(data[i]), 0});
        for (size_t i = 0; data[0] != '"' && i + 1 < data.size(); i += 2)
            value.Data.push_back(UCHAR(std::stoul(data.substr(i, 2), nullptr, 16)));
        std::string subkey = slash == std::string::npos ? "" : name.substr(0, slash);
        expected.Values[{
            settings_test::Upcase(plat::WideFromUtf8(subkey)),
            settings_test::Upcase(plat::WideFromUtf8(name.substr(subkey.size() + !subkey.empty())))}] = value;
    }
    return expected;
}

// What the device's start does with the file: apply it when it is newer than "IniVersion".
struct Outcome
{
    NTSTATUS PathStatus = STATUS_UNSUCCESSFUL;
    ULONG FileVersion = 0;
    bool Applied = false;
};

Outcome ApplySettingsFile(PDEVICE_OBJECT fdo)
{
    Outcome outcome;
    CSettingsFile* file = new (NonPagedPool, SETTINGS_FILE_POOL_TAG) CSettingsFile(fdo);
    if (!file)
        return outcome;
    outcome.PathStatus = file->BuildIniPath();
    if (NT_SUCCESS(outcome.PathStatus))
    {
        outcome.FileVersion = file->ReadIniVersion();
        ULONG stored = 0;
        AccessSetting(fdo, SETTINGS_OPERATION_READ, &stored, sizeof(stored), u"IniVersion");
        if (stored < outcome.FileVersion && NT_SUCCESS(file->OpenDeviceSection()) &&
            NT_SUCCESS(file->ApplyAll()))
        {
            AccessSetting(fdo, SETTINGS_OPERATION_WRITE, &outcome.FileVersion, sizeof(ULONG), u"IniVersion");
            outcome.Applied = true;
        }
    }
    delete file;
    return outcome;
}

class SettingsFile : public settings_test::SettingsDeviceFixture
{
protected:
    void SetUp() override
    {
        SettingsDeviceFixture::SetUp();
        CreateDevice();
    }
    void StoreVersion(ULONG version)
    {
        ASSERT_EQ(plat::RegSetValue(SettingsPath(), u"IniVersion", REG_BINARY, &version, 4), STATUS_SUCCESS);
    }
};

struct Rule
{
    const char* What;
    std::string File;
    std::string Leaves; // see Parse
};

// clang-format off
const Rule kRules[] = {
    // The version: the first value of the first key line of its section.
    {"a four-character hex value is one byte", "[VERSION]\r\nVersion=0x05\r\n", "5"},
    {"decimal, blanks and a comment", "[VERSION]\r\nVersion = 300 ; note\r\n", "300"},
    {"hex of another length is 32-bit", "[VERSION]\r\nVersion=0x0102\r\n", "0x102"},
    {"comments and blank lines are no key lines", "[VERSION]\r\n; note\r\n\r\n   \r\nV=7\r\n", "7"},
    {"a line without = is skipped", "[VERSION]\r\nno key line\r\nVersion=9\r\n", "9"},
    {"a header ends the search", "[VERSION]\r\n[OTHER]\r\nVersion=7\r\n", "0"},
    {"a word counts as 0", "[VERSION]\r\nVersion=word\r\n", "0"},
    {"one-byte values pack", "[VERSION]\r\nVersion=0x05, 0x06\r\n", "0x605"},
    {"only the first 32-bit value", "[VERSION]\r\nVersion=1, 2\r\n", "1"},
    {"a failed line leaves no bytes", "[VERSION]\r\nV=0x1020304, 12345678901234567890\r\nV=0x05\r\n", "5"},
    {"a key name over 31 characters fails", "[VERSION]\r\n" + std::string(32, 'V') + "=8\r\nV=9\r\n", "9"},
    {"an empty key name counts", "[VERSION]\r\n=6\r\n", "6"},
    {"an indented header is none", "[OTHER]\r\nV=3\r\n [VERSION]\r\nV=7\r\n", "0"},
    {"the last line needs no CR", "[VERSION]\r\nVersion=8", "8"},
    {"an empty file", "", "0"},
    // The device map.
    {"no line for this device", kMap + "USB\\VID_1111&PID_2222=DEV\r\n[DEV]\r\nA=1\r\n", "5"},
    {"a line for a shorter ID", kMap + "USB\\VID_0D8C&PID_0014=DEV\r\n[DEV]\r\nA=1\r\n", "5"},
    {"a header ends the map", kMap + "[MORE]\r\n" + kDeviceKey + "=DEV\r\n[DEV]\r\nA=1\r\n", "5"},
    {"a line outside the map", "[VERSION]\r\nV=5\r\n" + kDeviceKey + "=DEV\r\n[DEV]\r\nA=1\r\n", "5"},
    {"any separator and case, tabs, a comment",
     kMap + "usb\\vid_0d8c&pid_0014&rev_0100\t:\tDEV ; note\r\n[DEV]\r\nA=1\r\n", "5: A=01000000"},
    {"the first line decides, even with an empty name",
     kMap + kDeviceKey + "=\r\n" + kDeviceKey + "=DEV\r\n[DEV]\r\nA=1\r\n", "5:"},
    {"an empty name owns the sections headed []",
     kMap + kDeviceKey + "\r\n[]\r\nA=1\r\n[:Sub]\r\nB=2\r\n", "5: A=01000000 Sub\\B=02000000"},
    {"a name over 49 characters is passed over",
     kMap + kDeviceKey + "=" + std::string(50, 'D') + "\r\n" + kDeviceKey + "=DEV\r\n[DEV]\r\nA=1\r\n", "5: A=01000000"},
    // Sections.
    {"sections after the device's line, in file order",
     "[DEV]\r\nBefore=1\r\n" + kHead + kDeviceKey + "=DEV2\r\n[OTHER]\r\nO=1\r\n [DEV]\r\nIndented=1\r\n[DEV]\r\nA=1\r\n"
     "[DEVX]\r\nNear=1\r\n[DEV2]\r\nL=1\r\n[DEV:Sub]\r\nA=2\r\nB=0x03\r\n[DEV]\r\nA=3\r\n",
     "5: A=03000000 Sub\\A=02000000 Sub\\B=03"},
    {"an empty subkey is Settings itself", kDev + "A=1\r\n[DEV:]\r\nB=2\r\n", "5: A=01000000 B=02000000"},
    {"text after the header's bracket", kHead + "[DEV:Sub] more\r\nA=1\r\n", "5: Sub\\A=01000000"},
    {"an unclosed subkey or one over 79 characters heads nothing",
     kHead + "[DEV:Sub\r\nA=1\r\n[DEV:" + std::string(80, 'S') + "]\r\nB=1\r\n[DEV:" + std::string(79, 'S') + "]\r\nC=1\r\n",
     "5: " + std::string(79, 'S') + "\\C=01000000"},
    // Values.
    {"one-byte hex and 32-bit values pack", kDev + "K = 0x10, 0x20, 300\r\n", "5: K=10202c010000"},
    {"a string", kDev + "K = hello\r\n", "5: K=\"hello\""},
    {"the last value gives the type", kDev + "K = 1, abc\r\n", "5: K:sz=01000000610062006300"},
    {"a number after a string is binary", kDev + "K = abc, 1\r\n", "5: K=61006200630001000000"},
    {"hex digits of either case", kDev + "K=0xAf\r\nL=0X1f\r\n", "5: K=af L=1f"},
    {"any other character counts as c - 55", kDev + "K=0xZZ\r\n", "5: K=53"},
    {"short hex is 0, long hex wraps", kDev + "K=0x\r\nL=0x1\r\nM=0x123456789\r\n", "5: K=00000000 L=01000000 M=89674523"},
    {"decimal wraps and takes any character", kDev + "K=99999999999\r\nL=12a\r\n", "5: K=ffe77648 L=a9000000"},
    {"a comment ends the values", kDev + "K = 5 ; note, 6\r\n", "5: K=05000000"},
    {"commas, blanks and tabs separate", kDev + "K=5,,6\r\nL\t=\t5\t6\r\n", "5: K=0500000006000000 L=0500000006000000"},
    {"anything between the name and =", kDev + "  K junk = 7\r\n", "5: K=07000000"},
    {"no values", kDev + "K =\r\n", "5: K="},
    {"a sign or = inside makes a string", kDev + "K=-1\r\nL=a=b\r\n", "5: K=\"-1\" L=\"a=b\""},
    {"a 79-character string", kDev + "K=" + std::string(79, 's') + "\r\n",
     "5: K=\"" + std::string(79, 's') + "\""},
    {"exactly 1,024 bytes", kDev + "K=" + Repeat("1 ", 256) + "\r\n", "5: K=" + Repeat("01000000", 256)},
    {"an empty name is the unnamed value", kDev + "A=1\r\n=5\r\nC=3\r\n", "5: A=01000000 =05000000 C=03000000"},
    // A key line that does not parse ends its section; the next search starts after it.
    {"over 1,024 bytes", kDev + "A=1\r\nK=" + Repeat("1,", 257) + "\r\nC=3\r\n[DEV:Sub]\r\nE=5\r\n", "5: A=01000000 Sub\\E=05000000"},
    {"no =", kDev + "A=1\r\nNoEquals 5\r\nC=3\r\n[DEV:Sub]\r\nE=5\r\n", "5: A=01000000 Sub\\E=05000000"},
    {"a value over 79 characters", kDev + "A=1\r\nK=" + std::string(80, '7') + "\r\nC=3\r\n", "5: A=01000000"},
    {"a key name over 127 characters", kDev + "A=1\r\n" + std::string(128, 'K') + "=1\r\nC=3\r\n", "5: A=01000000"},
    {"the line right after it can be the next header", kDev + "NoEquals\r\n[DEV:Sub]\r\nE=5\r\n", "5: Sub\\E=05000000"},
    // Lines.
    {"the byte after a CR is skipped", kDev + "A=1\rXB=2\r\nC=3", "5: A=01000000 B=02000000 C=03000000"},
    {"a lone LF is no line end", kDev + "A=1\nB=2\r\n", "5: A=2c9affff"},
    {"a longer line is split after 4,097 bytes", kDev + "A=1" + std::string(4094, ' ') + "B=2\r\n", "5: A=01000000 B=02000000"},
    {"a CR right after the split", kDev + "A=1" + std::string(4094, ' ') + "\r\nB=2\r\n", "5: A=01000000 B=02000000"},
    {"a split line ends the file", kDev + "B=2\r\nA=1" + std::string(4094, ' '), "5: A=01000000 B=02000000"},
    {"4,096 bytes and a CR are one line", kDev + "A=1" + std::string(4093, ' ') + "\r\nB=2\r\n", "5: A=01000000 B=02000000"},
    {"an = after the split", kDev + "A=1\r\nKey" + std::string(4094, ' ') + "=2\r\nB=3\r\n[DEV:Sub]\r\nC=4\r\n",
     "5: A=01000000 Sub\\C=04000000"},
    {"a value cut by the split", kDev + "A=" + std::string(4091, ' ') + "0x1234\r\n", "5: A=12"},
};
// clang-format on

TEST_F(SettingsFile, EachRuleOfTheFormatLeavesItsValues)
{
    for (const Rule& rule : kRules)
    {
        SCOPED_TRACE(rule.What);
        plat::RegReset();
        WriteSystemFile(kIniName, rule.File);
        Outcome outcome = ApplySettingsFile(Fdo());
        Expected expected = Parse(rule.Leaves);
        EXPECT_EQ(outcome.PathStatus, STATUS_SUCCESS);
        EXPECT_EQ(outcome.FileVersion, expected.Version);
        EXPECT_EQ(outcome.Applied, expected.Applied);
        EXPECT_EQ(ReadSettings(), expected.Values);
    }
}

// The start's choices: which file ("ModuleName", "\SystemRoot\" leaving it 37 of the path's 49
// characters), which device key (the first hardware ID, upper-cased, cut to 99 characters), and
// whether the file is newer than "IniVersion".
TEST_F(SettingsFile, TheStartChoosesTheFileTheDeviceKeyAndWhetherToApply)
{
    std::string fits = std::string(33, 'm') + ".ini", tooLong = std::string(34, 'm') + ".ini";
    std::string map = kHead + std::string(99, 'H') + "=DEV\r\n[DEV]\r\n";
    WriteSystemFile(fits, map + "From=1\r\n");
    WriteSystemFile(tooLong, map + "From=2\r\n");
    WriteSystemFile(tooLong.substr(0, 37), map + "From=3\r\n"); // what a cut path would open
    WriteSystemFile(kIniName, map + "From=4\r\n");
    std::u16string wideFits = plat::WideFromUtf8(fits), wideTooLong = plat::WideFromUtf8(tooLong);
    struct Case
    {
        const char* What;
        std::vector<UCHAR> ModuleName;   // empty: none stored
        std::vector<std::u16string> Ids; // empty: the default device's
        ULONG Stored;                    // "IniVersion"; 0: none
        NTSTATUS PathStatus;
        int From; // 0: nothing applied
    } cases[] = {
        // clang-format off
        {"the default file", {}, {}, 0, STATUS_SUCCESS, 4},
        {"an older version stored", {}, {}, 4, STATUS_SUCCESS, 4},
        {"the same version stored", {}, {}, 5, STATUS_SUCCESS, 0},
        {"a newer version stored", {}, {}, 6, STATUS_SUCCESS, 0},
        {"a name that fits", settings_test::WideBytes(wideFits + u'\0'), {}, 0, STATUS_SUCCESS, 1},
        {"a name without its terminator", settings_test::WideBytes(wideFits), {}, 0, STATUS_SUCCESS, 1},
        {"a path that does not fit", settings_test::WideBytes(wideTooLong + u'\0'), {}, 0, STATUS_BUFFER_OVERFLOW, 0},
        {"100 bytes without a terminator", std::vector<UCHAR>(100, 'm'), {}, 0, STATUS_BUFFER_OVERFLOW, 0},
        {"over 100 bytes: the default file", std::vector<UCHAR>(102, 'm'), {}, 0, STATUS_SUCCESS, 4},
        {"an empty name", {0, 0}, {}, 0, STATUS_OBJECT_NAME_INVALID, 0},
        {"an ID of 99 characters", {}, {std::u16string(99, u'h')}, 0, STATUS_SUCCESS, 4},
        {"a longer ID is cut to 99", {}, {std::u16string(130, u'h')}, 0, STATUS_SUCCESS, 4},
        {"IDs over 1,000 bytes", {}, {std::u16string(99, u'h'), std::u16string(400, u'x')}, 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"an empty first ID", {}, {u""}, 0, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        // clang-format on
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.What);
        plat::RegReset();
        if (!c.ModuleName.empty())
        {
            ASSERT_EQ(plat::RegSetValue(SettingsPath(), u"ModuleName", REG_SZ, c.ModuleName.data(),
                                        c.ModuleName.size()),
                      STATUS_SUCCESS);
        }
        if (c.Stored)
            StoreVersion(c.Stored);
        plat::IoSetDeviceProperty(
            Pdo(), DevicePropertyHardwareID,
            settings_test::MultiSz(c.Ids.empty() ? std::vector<std::u16string>{plat::WideFromUtf8(kDeviceKey)}
                                                 : c.Ids));
        Outcome outcome = ApplySettingsFile(Fdo());
        EXPECT_EQ(outcome.PathStatus, c.PathStatus);
        EXPECT_EQ(outcome.Applied, c.From != 0);
        SettingsMap values = ReadSettings();
        EXPECT_EQ((values[{u"", u"FROM"}]), c.From ? U32(REG_BINARY, c.From) : StoredValue{});
        EXPECT_EQ((values[{u"", u"INIVERSION"}]), c.From     ? U32(REG_BINARY, 5)
                                                  : c.Stored ? U32(REG_BINARY, c.Stored)
                                                             : StoredValue{});
    }
    plat::IoRemoveDeviceProperty(Pdo(), DevicePropertyHardwareID);
    EXPECT_EQ(ApplySettingsFile(Fdo()).PathStatus, STATUS_OBJECT_NAME_NOT_FOUND);
    plat::SetSystemRootFolder(m_Folder + "/missing");
    EXPECT_FALSE(ApplySettingsFile(Fdo()).Applied) << "no file";
}

// Whatever allocation fails, the reader cleans up; one that the reader itself needs fails the
// path or leaves the file unapplied rather than storing the version of a file it skipped.
TEST_F(SettingsFile, OutOfPoolFailsCleanlyAtEveryAllocation)
{
    WriteSystemFile("chosen.ini", kDev + "A=1\r\n[DEV:Sub]\r\nB=2\r\n");
    WriteSystemFile(kIniName, kDev + "A=9\r\n"); // not to be applied when the name cannot be read
    auto chooseFile = [this] { plat::RegSetValue(SettingsPath(), u"ModuleName", REG_SZ, u"chosen.ini", 22); };
    chooseFile();
    ULONGLONG before = plat::PoolAllocationCount();
    ASSERT_TRUE(ApplySettingsFile(Fdo()).Applied);
    ULONG allocations = ULONG(plat::PoolAllocationCount() - before);
    SettingsMap full = ReadSettings();
    ASSERT_EQ(full.size(), 4u);
    for (ULONG n = 1; n <= allocations + 2; ++n)
    {
        plat::RegReset();
        chooseFile();
        if (n <= allocations)
            plat::FailNthAllocation(n);
        else
            plat::FailAllocationsWithTag(n == allocations + 1 ? SETTINGS_FILE_POOL_TAG
                                                              : SETTINGS_FILE_BUFFER_POOL_TAG);
        Outcome outcome = ApplySettingsFile(Fdo());
        plat::ClearPoolFailures();
        SettingsMap values = ReadSettings();
        for (const auto& [key, value] : values)
            EXPECT_EQ(value, full[key]) << "allocation " << n << ": a write that failed is skipped, not cut";
        // Applied: every value, or all but the one write that failed; else none, not even the version.
        EXPECT_EQ(values.size() + 1 >= full.size(), outcome.Applied) << "allocation " << n;
        if (n > allocations)
        {
            EXPECT_FALSE(outcome.Applied) << "tag failure " << n - allocations;
        }
    }
}

// ---- Any file ----

// A file of this device's sections, every key name used once, with the format's irregular forms.
std::string ShapedFile(std::mt19937& rng)
{
    auto pick = [&](std::initializer_list<const char*> items)
    { return std::string(items.begin()[rng() % items.size()]); };
    std::string file = rng() % 8 ? "[VERSION]\r\nV=" + std::to_string(rng() % 6) + "\r\n" : "";
    file += kHead;
    int names = 0;
    for (int s = int(rng() % 6); s >= 0; --s)
    {
        file += pick({"[DEV]", "[DEV]", "[DEV:Sub]", "[DEV:]", "[OTHER]", " [DEV]", "[DEV:Sub"}) + "\r\n";
        for (int k = int(rng() % 8); k > 0; --k)
        {
            file += pick({"", " ", "\t"}) + "K" + std::to_string(names++) + pick({"=", " = ", " x=", "\t"});
            for (int v = int(rng() % 4); v > 0; --v)
                file += pick({"0x1F", "7", "0x123", "word", "-1", "99999999999", "0xZZ"}) +
                        pick({",", " ", "\t", ", "});
            if (rng() % 40 == 0)
                file += std::string(4000 + rng() % 200, ' ');
            file += rng() % 30 ? pick({"\r\n", "\r\n", "; note\r\n", "\rx"}) : "\n";
        }
    }
    return file;
}

// Bytes changed, inserted (blanks enough to split a line among them) or removed.
std::string Mutated(std::string file, std::mt19937& rng)
{
    for (int n = int(rng() % 8) + 1; n > 0 && !file.empty(); --n)
    {
        size_t at = rng() % file.size(), what = rng() % 4;
        if (what == 0)
            file[at] = char(rng());
        else if (what == 1)
            file.insert(at, 1, "\r\n[]=,;\0"[rng() % 8]);
        else
            what == 2 ? file.erase(at, 1 + rng() % 16) : file.insert(at, std::string(rng() % 4200, ' '));
    }
    return file;
}

// The oracle is what holds for any file: no access out of bounds (under the sanitizers) and no
// leak (the fixture); the version stored only by an applied file newer than the stored one and
// nothing written otherwise; each key line written at most once; values within the format's
// limits. Shaped files name each key once, so every write must leave a value of its own.
TEST_F(SettingsFile, AnyFileIsReadInBoundsAndAppliedAtMostOnce)
{
    std::mt19937 rng(20261207);
    int applied = 0;
    for (int run = 0; run < 400; ++run)
    {
        SCOPED_TRACE("case " + std::to_string(run));
        bool shaped = run % 2 == 0;
        std::string file = shaped ? ShapedFile(rng) : Mutated(ShapedFile(rng), rng);
        ULONG stored = rng() % 4; // 0: none
        plat::RegReset();
        if (stored)
            StoreVersion(stored);
        SettingsMap before = ReadSettings();
        WriteSystemFile(kIniName, file);
        plat::RegResetCounters();
        Outcome outcome = ApplySettingsFile(Fdo());
        SIZE_T writes = plat::RegGetCounters().SetValueCalls;
        SettingsMap after = ReadSettings();
        ASSERT_EQ(outcome.PathStatus, STATUS_SUCCESS);
        if (!outcome.Applied)
        {
            EXPECT_EQ(writes, 0u);
            EXPECT_EQ(after, before);
            continue;
        }
        EXPECT_GT(outcome.FileVersion, stored);
        ++applied;
        EXPECT_EQ((after[{u"", u"INIVERSION"}]), U32(REG_BINARY, outcome.FileVersion));
        EXPECT_LE(writes, size_t(std::count(file.begin(), file.end(), '=')) + 1) << "one write per key line";
        if (shaped)
        {
            EXPECT_EQ(writes, after.size()) << "a key line written twice";
        }
        for (const auto& [key, value] : after)
        {
            EXPECT_LE(key.first.size(), size_t(INI_SUBKEY_CHARS));
            EXPECT_LE(key.second.size(), size_t(INI_APPLY_KEY_CHARS));
            EXPECT_TRUE(value.Type == REG_BINARY || value.Type == REG_SZ);
            EXPECT_LE(value.Data.size(), size_t(INI_MAX_VALUE_BYTES));
        }
        if (HasFailure())
            break;
    }
    EXPECT_GT(applied, 150) << "the run applies enough files to mean something";
}

} // namespace
