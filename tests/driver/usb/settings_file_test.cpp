// The settings file reader driven as the device's start drives it: files in the folder that
// stands for "\SystemRoot\", the version check against "IniVersion", and the values that land in
// "Settings". Beside known vectors, a small reference reader written from the file format is the
// oracle over generated, random and mutated files.
#include "support/settings_device_fixture.h"

#include "driver/usb/settings_file.h"
#include "driver/usb/settings_store.h"

#include <chrono>
#include <cstdint>
#include <random>

namespace
{

using settings_test::SettingsMap;
using settings_test::StoredValue;
using settings_test::Upcase;
using settings_test::WideBytes;

const std::string kDeviceKey = "USB\\VID_0D8C&PID_0014&REV_0100"; // the default device's first ID
const std::string kIniName = "KESTRINZ4.INI";

std::vector<UCHAR> U32(uint32_t v)
{
    return {UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)};
}

std::vector<UCHAR> Wide(const std::string& narrow)
{
    std::vector<UCHAR> bytes;
    for (unsigned char c : narrow)
    {
        bytes.push_back(c);
        bytes.push_back(0);
    }
    return bytes;
}

// A value of "Settings" (or of a subkey); type 0 and no data when absent.
StoredValue At(const SettingsMap& values, const std::u16string& name, const std::u16string& subkey = u"")
{
    auto it = values.find({subkey, name});
    return it == values.end() ? StoredValue{} : it->second;
}

std::u16string Widen(const std::string& narrow)
{
    std::u16string wide;
    for (unsigned char c : narrow)
        wide += char16_t(c);
    return wide;
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

// ---- Reference reader, from the file format ----

namespace reference
{

// Lines end at CR, whose next byte is skipped; a line stops after 4,097 bytes without one.
std::vector<std::string> SplitLines(const std::string& file)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < file.size())
    {
        std::string line;
        bool endedByCr = false;
        while (pos < file.size() && line.size() < 4097)
        {
            if (file[pos] == '\r')
            {
                pos += 2;
                endedByCr = true;
                break;
            }
            line += file[pos++];
        }
        if (endedByCr || !line.empty())
            lines.push_back(line);
    }
    return lines;
}

bool StartsWith(const std::string& line, const std::string& prefix)
{
    return line.compare(0, prefix.size(), prefix) == 0;
}

std::string CutAtNul(const std::string& s)
{
    return s.substr(0, s.find('\0'));
}

uint32_t HexValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - 48u;
    if (c >= 'a' && c <= 'f')
        return c - 87u;
    return uint32_t(c) - 55u;
}

// Sum of digit x base^place, modulo 2^32.
uint32_t Number(const std::string& token)
{
    bool hex = token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
    std::string digits = hex ? token.substr(2) : token;
    uint64_t base = hex ? 16 : 10;
    uint64_t total = 0;
    uint64_t power = 1;
    for (size_t i = digits.size(); i-- > 0;)
    {
        uint64_t digit = hex ? HexValue(uint8_t(digits[i])) : uint32_t(uint8_t(digits[i]) - 48u);
        total = (total + digit * power) & 0xFFFFFFFFull;
        power = (power * base) & 0xFFFFFFFFull;
    }
    return uint32_t(total);
}

struct KeyLine
{
    std::string Name;
    ULONG Type = REG_BINARY;
    std::vector<UCHAR> Bytes;
};
enum class Kind
{
    None,
    Key,
    Bad
};

Kind ParseKeyLine(const std::string& line, bool versionPass, KeyLine* out)
{
    const size_t maxKey = versionPass ? 31 : 127, maxValue = versionPass ? 19 : 79;
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == ';')
        return Kind::None;
    size_t keyEnd = line.find_first_of(" \t=", i);
    std::string key = line.substr(i, keyEnd == std::string::npos ? std::string::npos : keyEnd - i);
    size_t equals = line.find('=', i);
    if (key.size() > maxKey || CutAtNul(key).empty() || equals == std::string::npos)
        return Kind::Bad;
    *out = KeyLine{CutAtNul(key), REG_BINARY, {}};
    size_t p = equals + 1;
    while (true)
    {
        p = line.find_first_not_of(", \t", p);
        if (p == std::string::npos || line[p] == ';')
            break;
        size_t end = line.find_first_of("\t ;,", p);
        std::string token = line.substr(p, end == std::string::npos ? std::string::npos : end - p);
        p = end == std::string::npos ? line.size() : end;
        if (token.size() > maxValue)
            return Kind::Bad;
        std::vector<UCHAR> value;
        bool isString = false;
        if (token.size() == 4 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
            value = {UCHAR(HexValue(uint8_t(token[2])) * 16 + HexValue(uint8_t(token[3])))};
        else if (token[0] >= '0' && token[0] <= '9')
            value = U32(Number(token));
        else if (!versionPass)
            value = Wide(CutAtNul(token)), isString = true;
        else
            value = U32(0);
        out->Bytes.insert(out->Bytes.end(), value.begin(), value.end());
        out->Type = isString ? REG_SZ : REG_BINARY;
    }
    if (!versionPass && out->Bytes.size() > 1024)
        return Kind::Bad;
    return Kind::Key;
}

uint32_t Version(const std::vector<std::string>& lines)
{
    size_t i = 0;
    while (i < lines.size() && !StartsWith(lines[i], "[VERSION]"))
        ++i;
    for (++i; i < lines.size(); ++i)
    {
        if (StartsWith(lines[i], "["))
            return 0;
        KeyLine key;
        if (ParseKeyLine(lines[i], true, &key) == Kind::Key)
        {
            key.Bytes.resize(std::max<size_t>(key.Bytes.size(), 4));
            return key.Bytes[0] | key.Bytes[1] << 8 | key.Bytes[2] << 16 | uint32_t(key.Bytes[3]) << 24;
        }
    }
    return 0;
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(uint8_t(a[i])) != std::toupper(uint8_t(b[i])))
            return false;
    return true;
}

// The section name of the device's line in the map section; false when it has none.
bool DeviceSection(const std::vector<std::string>& lines, const std::string& deviceKey, std::string* name,
                   size_t* next)
{
    size_t i = 0;
    while (i < lines.size() && !StartsWith(lines[i], "[QUILLAX]"))
        ++i;
    for (++i; i < lines.size(); ++i)
    {
        const std::string& line = lines[i];
        if (StartsWith(line, "["))
            return false;
        if (!EqualNoCase(line.substr(0, deviceKey.size()), deviceKey))
            continue;
        size_t p = line.find_first_not_of(" \t", deviceKey.size());
        if (p == std::string::npos)
            continue;
        p = line.find_first_not_of(" \t", p + 1);
        std::string candidate =
            p == std::string::npos ? "" : line.substr(p, line.find_first_of(" \t;", p) - p);
        if (candidate.empty() || candidate.size() > 49 || CutAtNul(candidate).empty())
            continue;
        *name = CutAtNul(candidate);
        *next = i + 1;
        return true;
    }
    return false;
}

struct Result
{
    uint32_t Version = 0;
    bool Applied = false;
    bool Comparable = true; // false when a subkey would nest keys, which this model leaves out
    SettingsMap Values;
};

// Index of the next header of the section at or after `from`, with its subkey; lines.size()
// when there is none.
size_t NextHeader(const std::vector<std::string>& lines, size_t from, const std::string& name,
                  std::string* subkey)
{
    for (size_t i = from; i < lines.size(); ++i)
    {
        if (StartsWith(lines[i], "[" + name + "]"))
        {
            subkey->clear();
            return i;
        }
        std::string prefix = "[" + name + ":";
        if (!StartsWith(lines[i], prefix))
            continue;
        size_t close = lines[i].find(']', prefix.size());
        if (close == std::string::npos || close - prefix.size() > 79)
            continue;
        *subkey = CutAtNul(lines[i].substr(prefix.size(), close - prefix.size()));
        if (!subkey->empty())
            return i;
    }
    return lines.size();
}

Result Apply(const std::string& file, const std::string& deviceKey, uint32_t storedVersion,
             SettingsMap values)
{
    Result result;
    std::vector<std::string> lines = SplitLines(file);
    result.Version = Version(lines);
    std::string section;
    size_t line = 0;
    if (result.Version > storedVersion && DeviceSection(lines, deviceKey, &section, &line))
    {
        std::string subkey;
        while ((line = NextHeader(lines, line, section, &subkey)) < lines.size())
        {
            if (subkey.find('\\') != std::string::npos)
                result.Comparable = false;
            for (++line; line < lines.size() && !StartsWith(lines[line], "["); ++line)
            {
                KeyLine key;
                Kind kind = ParseKeyLine(lines[line], false, &key);
                if (kind == Kind::Bad)
                {
                    line += 1; // the line after it is where the next search starts
                    break;
                }
                if (kind == Kind::Key)
                    values[{Upcase(Widen(subkey)), Upcase(Widen(key.Name))}] =
                        StoredValue{key.Type, key.Bytes};
            }
        }
        values[{u"", u"INIVERSION"}] = StoredValue{REG_BINARY, U32(result.Version)};
        result.Applied = true;
    }
    result.Values = values;
    return result;
}

} // namespace reference

// ---- Generated files ----

// Files built from the pieces of the format, with the irregular forms mixed in.
class IniGenerator
{
public:
    explicit IniGenerator(uint32_t seed) : m_Rng(seed) {}

    std::string File()
    {
        std::string file;
        if (Below(8) != 0)
            file += VersionSection();
        int sections = Below(8) + 1;
        int map = Below(8) == 0 ? -1 : Below(std::min(3, sections));
        for (int s = 0; s < sections; ++s)
        {
            if (s == map || Below(12) == 0)
                file += MapSection();
            if (Below(12) == 0)
                file += VersionSection();
            file += DeviceSection();
        }
        return file;
    }

private:
    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_Rng); }
    template <typename T> const T& Pick(const std::vector<T>& items)
    {
        return items[Below(int(items.size()))];
    }

    std::string EndOfLine()
    {
        int what = Below(40);
        if (what == 0)
            return "\n";
        if (what == 1)
            return std::string("\r") + char(' ' + Below(90)); // whatever follows a CR is skipped
        if (what == 2)
            return "\r\r\n";
        return "\r\n";
    }

    std::string Blanks() { return Pick<std::string>({"", "", " ", "\t", "  ", " \t "}); }

    std::string Token()
    {
        static const std::string hex = "0123456789abcdefABCDEFGgZz!~";
        switch (Below(14))
        {
        case 0:
        case 1:
            return std::string("0") + Pick<char>({'x', 'X'}) + hex[Below(int(hex.size()))] +
                   hex[Below(int(hex.size()))];
        case 2:
            return std::to_string(Below(100000));
        case 3:
            return std::to_string(std::uniform_int_distribution<uint64_t>(0, 999999999999ull)(m_Rng));
        case 4:
        {
            std::string t = "0x";
            for (int n = Below(11); n > 0; --n)
                t += hex[Below(int(hex.size()))];
            return t;
        }
        case 5:
            return Pick<std::string>({"0x", "0X", "0", "0x1", "7z", "12a"});
        case 6:
            return Below(4) ? std::to_string(Below(10))
                            : std::string(70 + Below(20), '9'); // around the length limit
        default:
            return Pick<std::string>(
                {"hello", "Mic", "a=b", "x[y]", "-5", "Quill\x80\xff", std::string(78, 's')});
        }
    }

    std::string KeyName()
    {
        int what = Below(30);
        if (what == 0)
            return std::string(120 + Below(15), 'K'); // around the key name limit
        if (what == 1)
            return std::string(28 + Below(6), 'V');
        return Pick<std::string>(
            {"Volume", "volume", "Mute", "IniVersion", "DisableMicInTerminal", "Unit5Volume0", "k"});
    }

    std::string KeyLine()
    {
        int what = Below(25);
        if (what == 0)
            return Blanks() + "; a comment" + EndOfLine();
        if (what == 1)
            return Blanks() + EndOfLine();
        if (what == 2)
            return Below(4) ? "NoEqualsHere 5" + EndOfLine()
                            : KeyName() + std::string(4100, ' ') + "=5" + EndOfLine();
        std::string line =
            Blanks() + KeyName() + Blanks() + Pick<std::string>({"=", " junk =", "=="}) + Blanks();
        int values = what == 3 ? 200 + Below(120) : Below(6); // around the 1,024-byte limit
        for (int v = 0; v < values; ++v)
            line += (v ? Pick<std::string>({",", ", ", " ", "\t", " , ", ",,"}) : "") + Token();
        if (Below(5) == 0)
            line += Blanks() + "; note, 5";
        if (Below(60) == 0)
            line += std::string(4097 - std::min<size_t>(line.size(), 4000), ' ') + "Tail=0x42"; // split line
        return line + EndOfLine();
    }

    std::string Header(const std::string& name)
    {
        int what = Below(12);
        if (what == 0)
            return " [" + name + "]" + EndOfLine(); // indented: no header
        if (what < 4)
            return "[" + name + ":" +
                   Pick<std::string>(
                       {"Sub", "SUB", "x", "", "Sub", "sub", "x", std::string(80, 'S'), "Deep\\Er"}) +
                   Pick<std::string>({"]", "]", "] trailing", ""}) + EndOfLine();
        return "[" + name + "]" + EndOfLine();
    }

    std::string DeviceSection()
    {
        std::string section =
            Header(Pick<std::string>({"DEV", "DEV", "DEV", "dev", "DEV2", "OTHER", "DEVX"}));
        for (int n = Below(8); n > 0; --n)
            section += KeyLine();
        return section;
    }

    std::string VersionSection()
    {
        std::string section = (Below(8) == 0 ? " [VERSION]"
                               : Below(2)    ? "[VERSION]"
                                             : "[VERSION] ;v") +
                              std::string("\r\n");
        if (Below(3) == 0)
            section += "; comment" + EndOfLine();
        if (Below(6) == 0)
            section += Pick<std::string>(
                           {std::string(33, 'v') + "=8", "V=" + std::string(20, '1'), "V=word", "V=0x"}) +
                       EndOfLine();
        section += Pick<std::string>({"Version", "V"}) + Blanks() + "=" + Blanks() +
                   Pick<std::string>({"0x05", "7", "3, 1", "0x0102", "9"}) + EndOfLine();
        return section;
    }

    std::string DeviceLine()
    {
        std::string key = kDeviceKey;
        switch (Below(8))
        {
        case 0:
            for (char& c : key)
                c = char(std::tolower(uint8_t(c)));
            break;
        case 1:
            key = "USB\\VID_0D8C&PID_0014"; // the second ID: not this device's key
            break;
        case 2:
            key = "USB\\VID_1111&PID_2222";
            break;
        default:
            break;
        }
        std::string name = Pick<std::string>({"DEV", "DEV", "DEV", "DEV2", "dev", "", std::string(50, 'N')});
        return key + Blanks() + Pick<std::string>({"=", ":", "X"}) + Blanks() + name +
               Pick<std::string>({"", " ; note", "\tmore"}) + EndOfLine();
    }

    std::string MapSection()
    {
        std::string section = (Below(8) == 0 ? " [QUILLAX]" : "[QUILLAX]") + EndOfLine();
        for (int n = Below(4) + 1; n > 0; --n)
            section += Below(5) == 0 ? "; other" + EndOfLine() : DeviceLine();
        return section;
    }

    std::mt19937 m_Rng;
};

// Random bytes drawn mostly from the format's own characters.
std::string RandomBytes(std::mt19937& rng)
{
    static const std::string alphabet = "[]=,;: \t\r\n0xX19aFgZ\\QUILLAXVERSIONDEV";
    std::string bytes;
    size_t length = std::uniform_int_distribution<size_t>(0, rng() % 8 == 0 ? 5000 : 1500)(rng);
    for (size_t i = 0; i < length; ++i)
        bytes += rng() % 10 == 0 ? char(rng()) : alphabet[rng() % alphabet.size()];
    if (rng() % 2)
        bytes = "[VERSION]\r\nV=9\r\n[QUILLAX]\r\n" + kDeviceKey + "=DEV\r\n[DEV]\r\n" + bytes;
    return bytes;
}

std::string Mutate(std::string file, std::mt19937& rng)
{
    for (int n = int(rng() % 8) + 1; n > 0; --n)
    {
        size_t at = file.empty() ? 0 : rng() % file.size();
        switch (rng() % 4)
        {
        case 0:
            if (!file.empty())
                file[at] = char(rng());
            break;
        case 1:
            file.insert(at, 1, "\r\n[]=,;\0"[rng() % 8]);
            break;
        case 2:
            if (!file.empty())
                file.erase(at, 1 + rng() % 16);
            break;
        default:
            file.insert(at, std::string(rng() % 4200, ' '));
            break;
        }
    }
    return file;
}

std::string Printable(const SettingsMap& values)
{
    std::string text;
    for (const auto& [key, value] : values)
    {
        text += plat::Utf8FromWide(key.first) + "|" + plat::Utf8FromWide(key.second) + " type " +
                std::to_string(value.Type) + ":";
        for (UCHAR b : value.Data)
            text += " " + std::to_string(b);
        text += "\n";
    }
    return text;
}

class SettingsFile : public settings_test::SettingsDeviceFixture
{
protected:
    void SetUp() override
    {
        SettingsDeviceFixture::SetUp();
        CreateDevice();
    }

    // A file with the version section, the device map and what follows.
    static std::string Ini(const std::string& body, const std::string& version = "5")
    {
        return "[VERSION]\r\nVersion=" + version + "\r\n[QUILLAX]\r\n" + kDeviceKey + " = DEV\r\n" + body;
    }

    void StoreVersion(uint32_t version)
    {
        ASSERT_EQ(plat::RegSetBinary(SettingsPath(), u"IniVersion", U32(version)), STATUS_SUCCESS);
    }

    // Writes the file, applies it on the current registry and compares with the reference.
    void CheckAgainstReference(const std::string& file, uint32_t stored)
    {
        plat::RegReset();
        if (stored)
            StoreVersion(stored);
        SettingsMap before = ReadSettings();
        WriteSystemFile(kIniName, file);
        Outcome outcome = ApplySettingsFile(Fdo());
        reference::Result expected = reference::Apply(file, kDeviceKey, stored, before);
        ASSERT_EQ(outcome.PathStatus, STATUS_SUCCESS);
        EXPECT_EQ(outcome.FileVersion, expected.Version);
        EXPECT_EQ(outcome.Applied, expected.Applied);
        if (expected.Comparable)
        {
            SettingsMap got = ReadSettings();
            EXPECT_EQ(got, expected.Values) << "got:\n"
                                            << Printable(got) << "expected:\n"
                                            << Printable(expected.Values);
        }
    }

    // Runs generated cases until the count or the time budget is spent; the seed of each case is
    // printed with any failure, and UACSIM_SEED replays a run.
    template <typename MakeFile> void RunCases(const char* what, int count, MakeFile makeFile)
    {
        uint32_t base = 20260101;
        if (const char* seed = std::getenv("UACSIM_SEED"))
            base = uint32_t(std::strtoul(seed, nullptr, 0));
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int run = 0;
        for (; run < count && std::chrono::steady_clock::now() < deadline; ++run)
        {
            uint32_t seed = base + uint32_t(run);
            SCOPED_TRACE(std::string(what) + " seed " + std::to_string(seed) +
                         " (UACSIM_SEED=" + std::to_string(base) + ", case " + std::to_string(run) + ")");
            std::mt19937 rng(seed);
            std::string file = makeFile(seed, rng);
            CheckAgainstReference(file, rng() % 4 == 0 ? 0 : rng() % 6);
            if (HasFailure())
                return;
        }
        EXPECT_GT(run, 0);
    }
};

TEST_F(SettingsFile, VersionIsTheFirstValueOfTheFirstKeyLineOfItsSection)
{
    struct Case
    {
        const char* File;
        ULONG Version;
    } cases[] = {
        {"[VERSION]\r\nVersion=0x05\r\n", 5},
        {"[VERSION]\r\nVersion = 300 ; comment\r\n", 300},
        {"[VERSION]\r\nVersion=0x0102\r\n", 0x102},
        {"[VERSION]\r\n; note\r\n\r\n   \r\nVersion=7\r\n", 7},
        {"[VERSION]\r\nno key line\r\nVersion=9\r\n", 9},
        {"[VERSION]\r\n[OTHER]\r\nVersion=7\r\n", 0},
        {"[VERSION]\r\nVersion=word\r\n", 0},
        {"[VERSION]\r\nVersion=0x05, 0x06\r\n", 0x0605},
        {"[VERSION]\r\nVersion=1, 2\r\n", 1},
        {"[VERSION]\r\nVersion=12345678901234567890\r\nNext=4\r\n", 4},
        {"[OTHER]\r\nVersion=3\r\n [VERSION]\r\nVersion=7\r\n", 0},
        {"[VERSION]\r\nVersion=8", 8},
        {"", 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.File);
        WriteSystemFile(kIniName, c.File);
        CSettingsFile* file = new (NonPagedPool, SETTINGS_FILE_POOL_TAG) CSettingsFile(Fdo());
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(file->BuildIniPath(), STATUS_SUCCESS);
        EXPECT_EQ(file->ReadIniVersion(), c.Version);
        delete file;
        EXPECT_EQ(reference::Version(reference::SplitLines(c.File)), c.Version) << "the reference agrees";
    }
}

TEST_F(SettingsFile, AppliedOnlyWhenNewerThanTheStoredVersion)
{
    WriteSystemFile(kIniName, Ini("[DEV]\r\nVolume=0x10\r\n"));
    struct Case
    {
        uint32_t Stored; // 0: none stored
        bool Applied;
    } cases[] = {{0, true}, {4, true}, {5, false}, {6, false}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Stored);
        plat::RegReset();
        if (c.Stored)
            StoreVersion(c.Stored);
        Outcome outcome = ApplySettingsFile(Fdo());
        EXPECT_EQ(outcome.FileVersion, 5u);
        EXPECT_EQ(outcome.Applied, c.Applied);
        SettingsMap values = ReadSettings();
        EXPECT_EQ(values.count({u"", u"VOLUME"}), c.Applied ? 1u : 0u);
        EXPECT_EQ(At(values, u"INIVERSION").Data, U32(c.Applied ? 5 : c.Stored));
    }
    plat::RegReset();
    plat::SetSystemRootFolder(m_Folder + "/missing");
    EXPECT_FALSE(ApplySettingsFile(Fdo()).Applied) << "no file";
}

TEST_F(SettingsFile, ADeviceWithoutAMapLineGetsNothing)
{
    const char* files[] = {
        "[VERSION]\r\nV=5\r\n[QUILLAX]\r\nUSB\\VID_1111&PID_2222=DEV\r\n[DEV]\r\nVolume=1\r\n",
        "[VERSION]\r\nV=5\r\n[QUILLAX]\r\nUSB\\VID_0D8C&PID_0014=DEV\r\n[DEV]\r\nVolume=1\r\n",
        "[VERSION]\r\nV=5\r\n[QUILLAX]\r\n[MORE]\r\nUSB\\VID_0D8C&PID_0014&REV_0100=DEV\r\n[DEV]\r\nVolume="
        "1\r\n",
        "[VERSION]\r\nV=5\r\n[QUILLAX]\r\nUSB\\VID_0D8C&PID_0014&REV_0100=\r\n[DEV]\r\nVolume=1\r\n",
        "[VERSION]\r\nV=5\r\nUSB\\VID_0D8C&PID_0014&REV_0100=DEV\r\n[DEV]\r\nVolume=1\r\n",
    };
    for (const char* text : files)
    {
        SCOPED_TRACE(text);
        plat::RegReset();
        WriteSystemFile(kIniName, text);
        Outcome outcome = ApplySettingsFile(Fdo());
        EXPECT_EQ(outcome.FileVersion, 5u);
        EXPECT_FALSE(outcome.Applied);
        EXPECT_EQ(ReadSettings(), SettingsMap{}) << "not even IniVersion";
    }
}

TEST_F(SettingsFile, ValuesPackAsBinaryOrAsAWideString)
{
    struct Case
    {
        std::string Line;
        ULONG Type;
        std::vector<UCHAR> Data;
    } cases[] = {
        {"K = 0x10, 0x20, 300", REG_BINARY, {0x10, 0x20, 0x2C, 0x01, 0, 0}},
        {"K = hello", REG_SZ, Wide("hello")},
        {"K = 1, abc", REG_SZ, {1, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0}},
        {"K = abc, 1", REG_BINARY, {'a', 0, 'b', 0, 'c', 0, 1, 0, 0, 0}},
        {"K=0xAf", REG_BINARY, {0xAF}},
        {"K=0X1f", REG_BINARY, {0x1F}},
        {"K=0xZZ", REG_BINARY, {UCHAR((35 * 16 + 35) & 0xFF)}}, // 'Z' counts as 90 - 55
        {"K=0x", REG_BINARY, U32(0)},
        {"K=0x1", REG_BINARY, U32(1)},
        {"K=0x123456789", REG_BINARY, U32(0x23456789)},
        {"K=99999999999", REG_BINARY, U32(uint32_t(99999999999ull))},
        {"K=12a", REG_BINARY, U32(1 * 100 + 2 * 10 + ('a' - 48))},
        {"K = 5 ; comment, 6", REG_BINARY, U32(5)},
        {"K=5,,6", REG_BINARY, {5, 0, 0, 0, 6, 0, 0, 0}},
        {"K\t=\t5\t6", REG_BINARY, {5, 0, 0, 0, 6, 0, 0, 0}},
        {"  K junk = 7", REG_BINARY, U32(7)},
        {"K =", REG_BINARY, {}},
        {"K=-1", REG_SZ, Wide("-1")},
        {"K=a=b", REG_SZ, Wide("a=b")},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Line);
        plat::RegReset();
        WriteSystemFile(kIniName, Ini("[DEV]\r\n" + c.Line + "\r\n"));
        ASSERT_TRUE(ApplySettingsFile(Fdo()).Applied);
        SettingsMap values = ReadSettings();
        EXPECT_EQ(At(values, u"K"), (StoredValue{c.Type, c.Data}));
    }
}

TEST_F(SettingsFile, PlainAndSubkeySectionsAreAppliedInFileOrderAfterTheMapLine)
{
    WriteSystemFile(kIniName,
                    "[DEV]\r\nBefore=1\r\n"
                    "[VERSION]\r\nV=5\r\n"
                    "[QUILLAX]\r\nusb\\vid_0d8c&pid_0014&rev_0100\t:\tDEV ; any separator, any case\r\n" +
                        kDeviceKey +
                        "=DEV2\r\n"
                        "[OTHER]\r\nOther=1\r\n"
                        " [DEV]\r\nIndented=1\r\n"
                        "[DEV]\r\nA=1\r\n"
                        "[DEVX]\r\nNear=1\r\n"
                        "[DEV2]\r\nSecondLine=1\r\n"
                        "[DEV:Sub]\r\nA=2\r\nB=0x03\r\n"
                        "[DEV]\r\nA=3\r\n");
    ASSERT_TRUE(ApplySettingsFile(Fdo()).Applied);
    SettingsMap expected = {
        {{u"", u"A"}, {REG_BINARY, U32(3)}},
        {{u"SUB", u"A"}, {REG_BINARY, U32(2)}},
        {{u"SUB", u"B"}, {REG_BINARY, {3}}},
        {{u"", u"INIVERSION"}, {REG_BINARY, U32(5)}},
    };
    EXPECT_EQ(ReadSettings(), expected);
    EXPECT_TRUE(plat::RegKeyExists(SettingsPath() + u"\\Sub"));
}

TEST_F(SettingsFile, AKeyLineThatDoesNotParseEndsItsSection)
{
    std::string tooMany = "Big=";
    for (int i = 0; i < 257; ++i)
        tooMany += "1,"; // 1,028 bytes
    std::string exactly = "Full=";
    for (int i = 0; i < 256; ++i)
        exactly += "1 "; // 1,024 bytes
    struct Case
    {
        std::string Bad;
    } cases[] = {
        {tooMany}, {"NoEquals 5"}, {"Long=" + std::string(80, '7')}, {std::string(128, 'K') + "=1"}, {"=5"}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Bad.substr(0, 40));
        plat::RegReset();
        WriteSystemFile(kIniName, Ini("[DEV]\r\nA=1\r\n" + exactly + "\r\n" + c.Bad +
                                      "\r\nC=3\r\nD=4\r\n[DEV:Sub]\r\nE=5\r\n"));
        ASSERT_TRUE(ApplySettingsFile(Fdo()).Applied);
        SettingsMap values = ReadSettings();
        EXPECT_EQ(values.count({u"", u"A"}), 1u);
        EXPECT_EQ(At(values, u"FULL").Data.size(), 1024u);
        EXPECT_EQ(values.count({u"", u"C"}) + values.count({u"", u"D"}), 0u) << "the section ended";
        EXPECT_EQ(values.count({u"SUB", u"E"}), 1u) << "the next section is still found";
        EXPECT_EQ(values.size(), 4u);
    }
    // The line after a failed one is where the search for the next section starts.
    plat::RegReset();
    WriteSystemFile(kIniName, Ini("[DEV]\r\nNoEquals\r\n[DEV:Sub]\r\nE=5\r\n"));
    ASSERT_TRUE(ApplySettingsFile(Fdo()).Applied);
    EXPECT_EQ(ReadSettings().count({u"SUB", u"E"}), 1u);
}

TEST_F(SettingsFile, LinesEndAtCrAndTheByteAfterItIsSkipped)
{
    plat::RegReset();
    WriteSystemFile(kIniName, Ini("[DEV]\r\nA=1\rXB=2\r\nC=3"));
    ASSERT_TRUE(ApplySettingsFile(Fdo()).Applied);
    SettingsMap values = ReadSettings();
    EXPECT_EQ(At(values, u"A").Data, U32(1));
    EXPECT_EQ(At(values, u"B").Data, U32(2)) << "X was taken for the LF";
    EXPECT_EQ(At(values, u"C").Data, U32(3)) << "the last line needs no CR";

    // A lone LF is no line end: "1\nB=2" is one decimal value.
    plat::RegReset();
    WriteSystemFile(kIniName, Ini("[DEV]\r\nA=1\nB=2\r\n"));
    ASSERT_TRUE(ApplySettingsFile(Fdo()).Applied);
    values = ReadSettings();
    EXPECT_EQ(At(values, u"A").Data, (std::vector<UCHAR>{0x2C, 0x9A, 0xFF, 0xFF}));
    EXPECT_EQ(values.count({u"", u"B"}), 0u);
}

TEST_F(SettingsFile, ALineLongerThan4096BytesIsSplitAfter4097)
{
    struct Case
    {
        const char* What;
        std::string Body;
        SettingsMap Expected;
    } cases[] = {
        {"the rest of the line reads as the next line",
         "[DEV]\r\nA=1" + std::string(4094, ' ') + "B=2\r\n",
         {{{u"", u"A"}, {REG_BINARY, U32(1)}}, {{u"", u"B"}, {REG_BINARY, U32(2)}}}},
        {"a CR right after the split makes an empty line",
         "[DEV]\r\nA=1" + std::string(4094, ' ') + "\r\nB=2\r\n",
         {{{u"", u"A"}, {REG_BINARY, U32(1)}}, {{u"", u"B"}, {REG_BINARY, U32(2)}}}},
        {"a split line at the end of the file has no terminator",
         "[DEV]\r\nB=2\r\nA=1" + std::string(4094, ' '),
         {{{u"", u"A"}, {REG_BINARY, U32(1)}}, {{u"", u"B"}, {REG_BINARY, U32(2)}}}},
        {"4,096 bytes and CR are one line",
         "[DEV]\r\nA=1" + std::string(4093, ' ') + "\r\nB=2\r\n",
         {{{u"", u"A"}, {REG_BINARY, U32(1)}}, {{u"", u"B"}, {REG_BINARY, U32(2)}}}},
        {"a key whose \"=\" falls after the split does not parse",
         "[DEV]\r\nA=1\r\nKey" + std::string(4094, ' ') + "=2\r\nB=3\r\n[DEV:Sub]\r\nC=4\r\n",
         {{{u"", u"A"}, {REG_BINARY, U32(1)}}, {{u"SUB", u"C"}, {REG_BINARY, U32(4)}}}},
        {"a value cut by the split",
         "[DEV]\r\nA=" + std::string(4091, ' ') + "0x1234\r\n",
         {{{u"", u"A"}, {REG_BINARY, {0x12}}}}}, // "0x12", then "34" is a line without "="
    };
    for (Case& c : cases)
    {
        SCOPED_TRACE(c.What);
        plat::RegReset();
        std::string file = Ini(c.Body);
        WriteSystemFile(kIniName, file);
        ASSERT_TRUE(ApplySettingsFile(Fdo()).Applied);
        c.Expected[{u"", u"INIVERSION"}] = StoredValue{REG_BINARY, U32(5)};
        EXPECT_EQ(ReadSettings(), c.Expected);
        EXPECT_EQ(reference::Apply(file, kDeviceKey, 0, {}).Values, c.Expected) << "the reference agrees";
    }
}

TEST_F(SettingsFile, ModuleNameChoosesTheFileAndAPathThatDoesNotFitReadsNothing)
{
    // "\SystemRoot\" leaves 37 characters of the 49 that the path holds.
    std::string fits = std::string(33, 'm') + ".ini";
    std::string tooLong = std::string(34, 'm') + ".ini";
    WriteSystemFile(fits, Ini("[DEV]\r\nFrom=1\r\n"));
    WriteSystemFile(tooLong, Ini("[DEV]\r\nFrom=2\r\n"));
    WriteSystemFile(tooLong.substr(0, 37), Ini("[DEV]\r\nFrom=3\r\n")); // what a cut path would open
    WriteSystemFile(kIniName, Ini("[DEV]\r\nFrom=4\r\n"));
    struct Case
    {
        const char* What;
        std::vector<UCHAR> Stored; // empty: no "ModuleName"
        NTSTATUS PathStatus;
        int From; // 0: nothing applied
    } cases[] = {
        {"the default", {}, STATUS_SUCCESS, 4},
        {"a name that fits", WideBytes(Widen(fits) + u'\0'), STATUS_SUCCESS, 1},
        {"a name without its terminator", WideBytes(Widen(fits)), STATUS_SUCCESS, 1},
        {"one character too many", WideBytes(Widen(tooLong) + u'\0'), STATUS_BUFFER_OVERFLOW, 0},
        {"100 bytes without a terminator", std::vector<UCHAR>(100, 'm'), STATUS_BUFFER_OVERFLOW, 0},
        {"longer than 100 bytes", std::vector<UCHAR>(102, 'm'), STATUS_UNSUCCESSFUL, 0},
        {"empty", {0, 0}, STATUS_OBJECT_NAME_INVALID, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.What);
        plat::RegReset();
        if (!c.Stored.empty())
        {
            ASSERT_EQ(
                plat::RegSetValue(SettingsPath(), u"ModuleName", REG_SZ, c.Stored.data(), c.Stored.size()),
                STATUS_SUCCESS);
        }
        Outcome outcome = ApplySettingsFile(Fdo());
        EXPECT_EQ(outcome.PathStatus, c.PathStatus);
        SettingsMap values = ReadSettings();
        EXPECT_EQ(At(values, u"FROM").Data, c.From ? U32(c.From) : std::vector<UCHAR>{});
    }
}

TEST_F(SettingsFile, HardwareIdsThatDoNotFitFailThePath)
{
    WriteSystemFile(kIniName,
                    "[VERSION]\r\nV=5\r\n[QUILLAX]\r\n" + std::string(99, 'H') + "=DEV\r\n[DEV]\r\nA=1\r\n");
    struct Case
    {
        const char* What;
        std::vector<std::u16string> Ids;
        NTSTATUS PathStatus;
    } cases[] = {
        {"99 characters fit", {std::u16string(99, u'h')}, STATUS_SUCCESS},
        {"100 do not", {std::u16string(100, u'h')}, STATUS_BUFFER_OVERFLOW},
        {"the list must fit in 1,000 bytes",
         {std::u16string(99, u'h'), std::u16string(400, u'x')},
         STATUS_BUFFER_TOO_SMALL},
        {"an empty first ID", {u""}, STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.What);
        plat::RegReset();
        plat::IoSetDeviceProperty(Pdo(), DevicePropertyHardwareID, settings_test::MultiSz(c.Ids));
        Outcome outcome = ApplySettingsFile(Fdo());
        EXPECT_EQ(outcome.PathStatus, c.PathStatus);
        EXPECT_EQ(outcome.Applied, c.PathStatus == STATUS_SUCCESS)
            << "the key is upper-cased before matching";
    }
    plat::IoRemoveDeviceProperty(Pdo(), DevicePropertyHardwareID);
    EXPECT_EQ(ApplySettingsFile(Fdo()).PathStatus, STATUS_OBJECT_NAME_NOT_FOUND);
}

// Whatever allocation fails, the reader cleans up; one that the reader itself needs fails the
// path or leaves the file unapplied rather than storing the version of a file it skipped.
TEST_F(SettingsFile, OutOfPoolFailsCleanlyAtEveryAllocation)
{
    WriteSystemFile(kIniName, Ini("[DEV]\r\nA=1\r\n[DEV:Sub]\r\nB=2\r\n"));
    ULONGLONG before = plat::PoolAllocationCount();
    ASSERT_TRUE(ApplySettingsFile(Fdo()).Applied);
    ULONG allocations = ULONG(plat::PoolAllocationCount() - before);
    SettingsMap full = ReadSettings();
    ASSERT_EQ(full.size(), 3u);
    for (ULONG n = 1; n <= allocations; ++n)
    {
        plat::RegReset();
        plat::FailNthAllocation(n);
        Outcome outcome = ApplySettingsFile(Fdo());
        plat::ClearPoolFailures();
        // A write that failed is skipped; what was written is whole.
        for (const auto& [key, value] : ReadSettings())
            EXPECT_EQ(value, At(full, key.second, key.first)) << "allocation " << n;
        if (!outcome.Applied)
        {
            EXPECT_EQ(ReadSettings(), SettingsMap{}) << "allocation " << n;
        }
    }
    for (ULONG tag : {ULONG(SETTINGS_FILE_POOL_TAG), ULONG(SETTINGS_FILE_BUFFER_POOL_TAG)})
    {
        plat::RegReset();
        plat::FailAllocationsWithTag(tag);
        Outcome outcome = ApplySettingsFile(Fdo());
        plat::ClearPoolFailures();
        EXPECT_FALSE(outcome.Applied);
        EXPECT_EQ(ReadSettings(), SettingsMap{});
    }
}

TEST_F(SettingsFile, GeneratedFilesMatchTheReferenceReader)
{
    RunCases("generated", 150, [](uint32_t seed, std::mt19937&) { return IniGenerator(seed).File(); });
}

TEST_F(SettingsFile, RandomAndMutatedFilesStayInBoundsAndMatchTheReferenceReader)
{
    RunCases("fuzz", 200,
             [](uint32_t seed, std::mt19937& rng)
             { return seed % 2 ? RandomBytes(rng) : Mutate(IniGenerator(seed).File(), rng); });
}

} // namespace
