// Parser and validator of device profile text.
#include "sim/profiles/profile_parser.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace sim
{

namespace
{

constexpr size_t kDeviceDescriptorLength = 18;
constexpr size_t kConfigurationHeaderLength = 9;
constexpr size_t kMaxStringUnits = 126; // bLength is one byte: 2 + 2 x 126 = 254
const std::vector<uint32_t> kDefaultClockRatesHz = {44100, 48000, 96000};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

uint16_t Le16(const std::vector<uint8_t>& b, size_t offset)
{
    return uint16_t(b[offset] | b[offset + 1] << 8);
}

// Splits a line into blank-separated tokens; a double-quoted token may hold blanks and '#'.
bool Tokenize(const std::string& line, std::vector<ProfileToken>* tokens, std::string* error)
{
    size_t i = 0;
    while (i < line.size())
    {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r')
        {
            ++i;
            continue;
        }
        if (c == '#')
        {
            break;
        }
        ProfileToken token;
        if (c == '"')
        {
            token.Quoted = true;
            for (++i; i < line.size() && line[i] != '"'; ++i)
            {
                if (line[i] == '\\' && i + 1 < line.size())
                {
                    ++i;
                    if (line[i] != '"' && line[i] != '\\')
                    {
                        *error = Format("unknown escape \\%c in a string (only \\\" and \\\\)", line[i]);
                        return false;
                    }
                }
                token.Text += line[i];
            }
            if (i >= line.size())
            {
                *error = "string has no closing quote";
                return false;
            }
            ++i;
        }
        else
        {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#')
            {
                token.Text += line[i++];
            }
        }
        tokens->push_back(token);
    }
    return true;
}

bool ParseNumber(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value,
                 std::string* error)
{
    const char* s = text.c_str();
    bool negative = *s == '-';
    if (negative)
    {
        ++s;
    }
    int base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
    {
        base = 16;
        s += 2;
    }
    if (*s == '\0')
    {
        *error = Format("'%s' is not a number", text.c_str());
        return false;
    }
    int64_t v = 0;
    for (; *s != '\0'; ++s)
    {
        int digit = (*s >= '0' && *s <= '9')                 ? *s - '0'
                    : (base == 16 && *s >= 'a' && *s <= 'f') ? *s - 'a' + 10
                    : (base == 16 && *s >= 'A' && *s <= 'F') ? *s - 'A' + 10
                                                             : -1;
        if (digit < 0)
        {
            *error = Format("'%s' is not a number", text.c_str());
            return false;
        }
        v = v * base + digit;
        if (v > (int64_t)1 << 40)
        {
            break;
        }
    }
    v = negative ? -v : v;
    if (v < minimum || v > maximum)
    {
        *error =
            Format("%s is out of range (%lld to %lld)", text.c_str(), (long long)minimum, (long long)maximum);
        return false;
    }
    *value = v;
    return true;
}

bool ParseHexByte(const std::string& text, uint8_t* value, std::string* error)
{
    auto hex = [](char c)
    { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
    if (text.size() != 2 || !hex(text[0]) || !hex(text[1]))
    {
        *error = Format("'%s' is not a hex byte (two hex digits)", text.c_str());
        return false;
    }
    *value = uint8_t(std::stoul(text, nullptr, 16));
    return true;
}

// UTF-8 to UTF-16, refusing malformed sequences.
bool Utf8ToUtf16(const std::string& in, std::u16string* out, std::string* error)
{
    for (size_t i = 0; i < in.size();)
    {
        uint8_t c = uint8_t(in[i]);
        int extra = c < 0x80             ? 0
                    : (c & 0xE0) == 0xC0 ? 1
                    : (c & 0xF0) == 0xE0 ? 2
                    : (c & 0xF8) == 0xF0 ? 3
                                         : -1;
        if (extra < 0 || size_t(extra) > in.size() - i - 1)
        {
            *error = "string is not valid UTF-8";
            return false;
        }
        uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k)
        {
            uint8_t next = uint8_t(in[i + k]);
            if ((next & 0xC0) != 0x80)
            {
                *error = "string is not valid UTF-8";
                return false;
            }
            code = code << 6 | (next & 0x3F);
        }
        i += extra + 1;
        if (code >= 0x10000)
        {
            code -= 0x10000;
            out->push_back(char16_t(0xD800 + (code >> 10)));
            out->push_back(char16_t(0xDC00 + (code & 0x3FF)));
        }
        else
        {
            out->push_back(char16_t(code));
        }
    }
    return true;
}

std::u16string Ascii16(const std::string& s)
{
    return std::u16string(s.begin(), s.end());
}

} // namespace

bool ValidateDescriptorBytes(const std::vector<uint8_t>& bytes, std::string* error)
{
    if (bytes.size() < kDeviceDescriptorLength)
    {
        *error = Format("%zu descriptor bytes: the device descriptor alone needs 18", bytes.size());
        return false;
    }
    if (bytes[0] != kDeviceDescriptorLength || bytes[1] != 1)
    {
        *error = Format("the device descriptor must begin 12 01 (bLength 18, type 1), not %02X %02X",
                        bytes[0], bytes[1]);
        return false;
    }
    const size_t available = bytes.size() - kDeviceDescriptorLength;
    if (available < kConfigurationHeaderLength)
    {
        *error = Format("%zu bytes after the device descriptor: a configuration descriptor needs at least 9",
                        available);
        return false;
    }
    const size_t cfg = kDeviceDescriptorLength;
    if (bytes[cfg] < kConfigurationHeaderLength || bytes[cfg + 1] != 2)
    {
        *error =
            Format("the configuration descriptor must begin with bLength 9 or more and type 2, not %02X %02X",
                   bytes[cfg], bytes[cfg + 1]);
        return false;
    }
    const size_t total = Le16(bytes, cfg + 2);
    if (total < kConfigurationHeaderLength)
    {
        *error = Format("wTotalLength %zu is smaller than the configuration descriptor itself", total);
        return false;
    }
    if (total > available)
    {
        *error =
            Format("wTotalLength %zu is larger than the %zu configuration bytes given", total, available);
        return false;
    }
    for (size_t pos = 0; pos < total;)
    {
        if (total - pos < 2)
        {
            *error = Format("a stray byte at configuration offset %zu, inside wTotalLength %zu", pos, total);
            return false;
        }
        uint8_t length = bytes[cfg + pos];
        uint8_t type = bytes[cfg + pos + 1];
        if (length < 2)
        {
            *error = Format("descriptor at configuration offset %zu has bLength %u", pos, length);
            return false;
        }
        if (pos + length > total)
        {
            *error = Format(
                "descriptor at configuration offset %zu (bLength %u, type 0x%02X) runs past wTotalLength %zu",
                pos, length, type, total);
            return false;
        }
        if ((type == 4 && length < 9) || (type == 5 && length < 7))
        {
            *error = Format("%s descriptor at configuration offset %zu is only %u bytes long",
                            type == 4 ? "interface" : "endpoint", pos, length);
            return false;
        }
        pos += length;
    }
    const size_t rest = available - total;
    if (rest != 0 && !(rest >= kConfigurationHeaderLength && bytes[cfg + total + 1] == 2))
    {
        *error = Format("%zu stray bytes after the configuration descriptor (wTotalLength %zu)", rest, total);
        return false;
    }
    return true;
}

bool ProfileParser::Fail(int line, const std::string& message)
{
    m_error = line > 0 ? Format("line %d: %s", line, message.c_str()) : message;
    return false;
}

bool ProfileParser::Run(const std::string& text, std::string* error)
{
    std::istringstream in(text);
    std::string line;
    bool ok = true;
    while (ok && std::getline(in, line))
    {
        ++m_line;
        std::vector<ProfileToken> tokens;
        std::string message;
        if (!Tokenize(line, &tokens, &message))
        {
            ok = Fail(m_line, message);
        }
        else if (!tokens.empty())
        {
            ok = m_blockLine != 0 ? HexLine(tokens) : Line(tokens);
        }
    }
    if (ok && m_blockLine != 0)
    {
        ok = Fail(m_blockLine, "the descriptors block opened here has no \"end\"");
    }
    ok = ok && Finish();
    if (!ok)
    {
        *error = m_error;
    }
    return ok;
}

bool ProfileParser::Line(const std::vector<ProfileToken>& tokens)
{
    const std::string& directive = tokens[0].Text;
    const size_t args = tokens.size() - 1;
    if (tokens[0].Quoted)
    {
        return Fail(m_line, "a line must begin with a directive, not a quoted string");
    }
    if (directive == "name")
    {
        if (args != 1)
        {
            return Fail(m_line, "name takes one word");
        }
        m_profile->m_name = tokens[1].Text;
        return true;
    }
    if (directive == "descriptors")
    {
        if (args != 0)
        {
            return Fail(m_line, "descriptors takes no arguments; the bytes follow on the next lines");
        }
        if (m_descriptorLine != 0)
        {
            return Fail(m_line, Format("descriptors given twice (first on line %d)", m_descriptorLine));
        }
        m_blockLine = m_line;
        m_block.clear();
        return true;
    }
    if (directive == "dump")
    {
        if (args != 1)
        {
            return Fail(m_line, "dump takes one path");
        }
        if (m_descriptorLine != 0)
        {
            return Fail(m_line, Format("descriptors given twice (first on line %d)", m_descriptorLine));
        }
        std::string path = tokens[1].Text;
        if (!path.empty() && path[0] != '/')
        {
            path = m_baseDir + "/" + path;
        }
        std::vector<uint8_t> bytes;
        std::string why;
        if (!profile_files::ReadBinaryFile(path, &bytes, &why))
        {
            return Fail(m_line, "cannot read the dump file " + path + ": " + why);
        }
        m_descriptorLine = m_line;
        return SetDescriptors(bytes, "dump");
    }
    if (directive == "end")
    {
        return Fail(m_line, "\"end\" without a descriptors block");
    }
    if (directive == "speed")
    {
        return Speed(tokens);
    }
    if (directive == "string")
    {
        return String(tokens);
    }
    if (directive == "control")
    {
        return Control(tokens);
    }
    if (directive == "clock")
    {
        return Clock(tokens);
    }
    if (directive == "feedback-offset-ppm")
    {
        int64_t ppm;
        if (args != 1)
        {
            return Fail(m_line, "feedback-offset-ppm takes one signed number");
        }
        if (!Number(tokens[1].Text, -100000, 100000, &ppm))
        {
            return false;
        }
        m_profile->m_feedbackOffsetPpm = int32_t(ppm);
        return true;
    }
    if (directive == "jack")
    {
        return Jack(tokens);
    }
    if (directive == "vendor")
    {
        return Vendor(tokens);
    }
    if (directive == "terminal-types")
    {
        return TerminalTypes(tokens);
    }
    if (directive == "jack-block")
    {
        return JackBlock(tokens);
    }
    if (directive == "hid-chip")
    {
        int64_t number;
        if (args != 1)
        {
            return Fail(m_line, "hid-chip takes the number of the chip's HID interface");
        }
        if (!Number(tokens[1].Text, 0, 255, &number))
        {
            return false;
        }
        m_profile->m_hidChipInterface = int(number);
        return true;
    }
    if (directive == "vendor-controls")
    {
        return VendorControls(tokens);
    }
    if (directive == "stereo-endpoint")
    {
        int64_t address;
        if (args != 1)
        {
            return Fail(m_line, "stereo-endpoint takes one OUT endpoint address");
        }
        if (!Number(tokens[1].Text, 0x01, 0x0F, &address))
        {
            return false;
        }
        m_profile->m_stereoEndpoints.push_back(uint8_t(address));
        return true;
    }
    return Fail(m_line, "unknown directive '" + directive + "'");
}

bool ProfileParser::VendorControls(const std::vector<ProfileToken>& tokens)
{
    int64_t unit, selector;
    if (tokens.size() < 3)
    {
        return Fail(m_line, "vendor-controls takes a feature unit id and one or more selectors");
    }
    if (!Number(tokens[1].Text, 1, 255, &unit))
    {
        return false;
    }
    std::vector<uint8_t> selectors;
    for (size_t i = 2; i < tokens.size(); ++i)
    {
        // The memory block's bitmaps are 16 bits wide: selectors 0x81 to 0x90.
        if (!Number(tokens[i].Text, 0x81, 0x90, &selector))
        {
            return false;
        }
        selectors.push_back(uint8_t(selector));
    }
    m_references.push_back({m_line, "entity", uint8_t(unit)});
    m_profile->m_vendorControls.emplace_back(uint8_t(unit), selectors);
    return true;
}

bool ProfileParser::HexLine(const std::vector<ProfileToken>& tokens)
{
    if (tokens.size() == 1 && tokens[0].Text == "end" && !tokens[0].Quoted)
    {
        m_descriptorLine = m_blockLine;
        m_blockLine = 0;
        return SetDescriptors(m_block, "descriptors");
    }
    for (const ProfileToken& token : tokens)
    {
        uint8_t value;
        std::string message;
        if (!ParseHexByte(token.Text, &value, &message))
        {
            return Fail(m_line, message);
        }
        m_block.push_back(value);
    }
    return true;
}

bool ProfileParser::SetDescriptors(std::vector<uint8_t> bytes, const char* source)
{
    std::string message;
    if (!ValidateDescriptorBytes(bytes, &message))
    {
        return Fail(m_descriptorLine, std::string(source) + ": " + message);
    }
    size_t total = Le16(bytes, kDeviceDescriptorLength + 2);
    m_profile->m_deviceDescriptor.assign(bytes.begin(), bytes.begin() + kDeviceDescriptorLength);
    m_profile->m_configurationDescriptor.assign(bytes.begin() + kDeviceDescriptorLength,
                                                bytes.begin() + kDeviceDescriptorLength + total);
    return true;
}

bool ProfileParser::Number(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value)
{
    std::string message;
    return ParseNumber(text, minimum, maximum, value, &message) || Fail(m_line, message);
}

bool ProfileParser::Speed(const std::vector<ProfileToken>& tokens)
{
    if (tokens.size() != 2 || (tokens[1].Text != "full" && tokens[1].Text != "high"))
    {
        return Fail(m_line, "speed is \"full\" or \"high\"");
    }
    m_profile->m_speed = tokens[1].Text == "high" ? UsbSpeed::High : UsbSpeed::Full;
    m_speedGiven = true;
    return true;
}

bool ProfileParser::String(const std::vector<ProfileToken>& tokens)
{
    ProfileString entry;
    int64_t value;
    const ProfileToken* text = nullptr;
    if (tokens.size() < 3)
    {
        return Fail(m_line, "string takes an index (1 to 255) and a quoted text");
    }
    if (!Number(tokens[1].Text, 1, 255, &value))
    {
        return false;
    }
    entry.Index = uint8_t(value);
    for (size_t i = 2; i < tokens.size(); ++i)
    {
        if (tokens[i].Quoted && text == nullptr)
        {
            text = &tokens[i];
        }
        else if (!tokens[i].Quoted && tokens[i].Text.compare(0, 5, "lang=") == 0)
        {
            if (!Number(tokens[i].Text.substr(5), 1, 0xFFFF, &value))
            {
                return false;
            }
            entry.LanguageId = uint16_t(value);
        }
        else
        {
            return Fail(m_line, "unexpected '" + tokens[i].Text + "' in a string line");
        }
    }
    std::string message;
    if (text == nullptr)
    {
        return Fail(m_line, "string needs its text in double quotes");
    }
    if (!Utf8ToUtf16(text->Text, &entry.Text, &message))
    {
        return Fail(m_line, message);
    }
    if (entry.Text.size() > kMaxStringUnits)
    {
        return Fail(m_line, Format("string text has %zu UTF-16 units; a descriptor holds at most 126",
                                   entry.Text.size()));
    }
    if (m_profile->FindString(entry.Index, entry.LanguageId) != nullptr)
    {
        return Fail(m_line,
                    Format("string 0x%02X in language 0x%04X given twice", entry.Index, entry.LanguageId));
    }
    m_profile->m_strings.push_back(entry);
    return true;
}

bool ProfileParser::Control(const std::vector<ProfileToken>& tokens)
{
    int64_t entity, selector, value;
    if (tokens.size() < 3)
    {
        return Fail(m_line, "control takes an entity id, a selector and key=value settings");
    }
    if (!Number(tokens[1].Text, 1, 255, &entity) || !Number(tokens[2].Text, 1, 255, &selector))
    {
        return false;
    }
    PendingControl pending{m_line, ControlSetting(), 0};
    ControlSetting& setting = pending.Given;
    setting.EntityId = uint8_t(entity);
    setting.Selector = uint8_t(selector);
    static const char* const kKeys[] = {"min", "max", "res", "cur"};
    for (size_t i = 3; i < tokens.size(); ++i)
    {
        const std::string& t = tokens[i].Text;
        size_t eq = t.find('=');
        std::string key = eq == std::string::npos ? t : t.substr(0, eq);
        int64_t lo = key == "channel" ? 0 : -0x80000000LL;
        int64_t hi = key == "channel" ? 255 : 0x7FFFFFFFLL;
        if (eq == std::string::npos ||
            (key != "channel" && key != "min" && key != "max" && key != "res" && key != "cur"))
        {
            return Fail(m_line, "unexpected '" + t + "' (channel=, min=, max=, res= or cur=)");
        }
        if (!Number(t.substr(eq + 1), lo, hi, &value))
        {
            return false;
        }
        if (key == "channel")
        {
            setting.Channel = uint8_t(value);
            continue;
        }
        int32_t* fields[] = {&setting.Min, &setting.Max, &setting.Res, &setting.Cur};
        for (unsigned k = 0; k < 4; ++k)
        {
            if (key == kKeys[k])
            {
                *fields[k] = int32_t(value);
                pending.GivenMask |= 1u << k;
            }
        }
    }
    for (const PendingControl& other : m_pendingControls)
    {
        if (other.Given.EntityId == setting.EntityId && other.Given.Selector == setting.Selector &&
            other.Given.Channel == setting.Channel)
        {
            return Fail(m_line, "this control is given twice");
        }
    }
    m_pendingControls.push_back(pending);
    m_references.push_back({m_line, "entity", setting.EntityId});
    return true;
}

// Fills in what each control line left out from the default of its entity's kind, which is
// known only once the descriptors are read, and checks the result.
bool ProfileParser::ResolveControls()
{
    for (const PendingControl& pending : m_pendingControls)
    {
        const ControlSetting& given = pending.Given;
        ControlSetting setting = DefaultControlSetting(m_profile->FindEntity(given.EntityId), given.EntityId,
                                                       given.Selector, given.Channel);
        int32_t ControlSetting::*const fields[] = {&ControlSetting::Min, &ControlSetting::Max,
                                                   &ControlSetting::Res, &ControlSetting::Cur};
        for (unsigned k = 0; k < 4; ++k)
        {
            if (pending.GivenMask & (1u << k))
            {
                setting.*fields[k] = given.*fields[k];
            }
        }
        if (setting.Min > setting.Max || setting.Cur < setting.Min || setting.Cur > setting.Max ||
            setting.Res < 0)
        {
            return Fail(
                pending.Line,
                Format("control needs min <= cur <= max and res >= 0 (min %d, cur %d, max %d, res %d)",
                       setting.Min, setting.Cur, setting.Max, setting.Res));
        }
        setting.Explicit = true;
        m_profile->m_controls.push_back(setting);
    }
    return true;
}

bool ProfileParser::Clock(const std::vector<ProfileToken>& tokens)
{
    int64_t id, rate;
    if (tokens.size() < 3)
    {
        return Fail(m_line, "clock takes a clock source id and one or more rates in Hz");
    }
    if (!Number(tokens[1].Text, 1, 255, &id))
    {
        return false;
    }
    ClockSetting clock;
    clock.ClockId = uint8_t(id);
    for (size_t i = 2; i < tokens.size(); ++i)
    {
        const std::string& text = tokens[i].Text;
        const size_t dash = text.find('-');
        if (dash == std::string::npos)
        {
            if (!Number(text, 1, 0xFFFFFFFFLL, &rate))
            {
                return false;
            }
            clock.RatesHz.push_back(uint32_t(rate));
            clock.SubRanges.push_back({uint32_t(rate), uint32_t(rate), 0});
            continue;
        }
        const size_t slash = text.find('/', dash);
        int64_t low, high, step = 0;
        if (!Number(text.substr(0, dash), 1, 0xFFFFFFFFLL, &low) ||
            !Number(text.substr(dash + 1, slash == std::string::npos ? std::string::npos : slash - dash - 1),
                    1, 0xFFFFFFFFLL, &high) ||
            (slash != std::string::npos && !Number(text.substr(slash + 1), 0, 0xFFFFFFFFLL, &step)))
        {
            return false;
        }
        if (low > high)
        {
            return Fail(m_line, Format("clock sub-range %s runs backwards", text.c_str()));
        }
        clock.SubRanges.push_back({uint32_t(low), uint32_t(high), uint32_t(step)});
    }
    for (const ClockSetting& other : m_profile->m_clocks)
    {
        if (other.ClockId == clock.ClockId)
        {
            return Fail(m_line, Format("clock %u is given twice", clock.ClockId));
        }
    }
    m_profile->m_clocks.push_back(clock);
    m_references.push_back({m_line, "clock source", clock.ClockId});
    return true;
}

bool ProfileParser::Jack(const std::vector<ProfileToken>& tokens)
{
    int64_t id;
    if (tokens.size() != 3 || (tokens[2].Text != "connected" && tokens[2].Text != "disconnected"))
    {
        return Fail(m_line, "jack takes a terminal id and \"connected\" or \"disconnected\"");
    }
    if (!Number(tokens[1].Text, 1, 255, &id))
    {
        return false;
    }
    for (const JackSetting& other : m_profile->m_jacks)
    {
        if (other.TerminalId == id)
        {
            return Fail(m_line, Format("jack %lld is given twice", (long long)id));
        }
    }
    m_profile->m_jacks.push_back({uint8_t(id), tokens[2].Text == "connected"});
    m_references.push_back({m_line, "terminal", uint8_t(id)});
    return true;
}

bool ProfileParser::TerminalTypes(const std::vector<ProfileToken>& tokens)
{
    int64_t id, value;
    if (tokens.size() < 3 || !Number(tokens[1].Text, 1, 255, &id))
    {
        return tokens.size() < 3 ? Fail(m_line, "terminal-types takes a terminal id and one or more types")
                                 : false;
    }
    TerminalTypesSetting setting;
    setting.TerminalId = uint8_t(id);
    int current = -1;
    for (size_t i = 2; i < tokens.size(); ++i)
    {
        const std::string& t = tokens[i].Text;
        const bool isCurrent = t.compare(0, 8, "current=") == 0;
        if (!Number(isCurrent ? t.substr(8) : t, 0, 0xFFFF, &value))
        {
            return false;
        }
        if (isCurrent)
        {
            current = int(value);
        }
        else
        {
            setting.Types.push_back(uint16_t(value));
        }
    }
    if (setting.Types.empty())
    {
        return Fail(m_line, "terminal-types needs at least one type");
    }
    if (m_profile->FindTerminalTypes(setting.TerminalId) != nullptr)
    {
        return Fail(m_line, Format("terminal-types %u is given twice", setting.TerminalId));
    }
    // Without current= the type is chosen once the descriptors are known.
    setting.Current = current < 0 ? 0 : uint16_t(current);
    if (current >= 0 &&
        std::find(setting.Types.begin(), setting.Types.end(), setting.Current) == setting.Types.end())
    {
        return Fail(m_line, Format("current=0x%04X is not one of the listed types", current));
    }
    m_profile->m_terminalTypes.push_back(setting);
    m_terminalTypeCurrentGiven.push_back(current >= 0);
    m_references.push_back({m_line, "terminal", setting.TerminalId});
    return true;
}

bool ProfileParser::JackBlock(const std::vector<ProfileToken>& tokens)
{
    int64_t id, value;
    if (tokens.size() < 2)
    {
        return Fail(m_line, "jack-block takes a terminal id, an optional type= and mapping:configuration "
                            "pairs or stall");
    }
    if (!Number(tokens[1].Text, 1, 255, &id))
    {
        return false;
    }
    JackBlockSetting block;
    block.TerminalId = uint8_t(id);
    for (size_t i = 2; i < tokens.size(); ++i)
    {
        const std::string& t = tokens[i].Text;
        if (t.compare(0, 5, "type=") == 0 && i == 2)
        {
            if (!Number(t.substr(5), 0, 0xFFFF, &value))
            {
                return false;
            }
            block.TerminalType = int(value);
            continue;
        }
        if (t == "stall" && i + 1 == tokens.size() && block.Jacks.empty())
        {
            block.Stall = true;
            continue;
        }
        size_t colon = t.find(':');
        int64_t mapping, configuration;
        if (colon == std::string::npos)
        {
            return Fail(m_line,
                        "unexpected '" + t +
                            "' (a jack is <channel mapping>:<configuration word>; stall stands alone)");
        }
        if (!Number(t.substr(0, colon), 0, 0xFFFFFFFFLL, &mapping) ||
            !Number(t.substr(colon + 1), 0, 0xFFFFFFFFLL, &configuration))
        {
            return false;
        }
        block.Jacks.push_back({uint32_t(mapping), uint32_t(configuration)});
    }
    if (block.Jacks.size() > 255)
    {
        return Fail(m_line, "a jack block holds at most 255 jacks");
    }
    for (const JackBlockSetting& other : m_profile->m_jackBlocks)
    {
        if (other.TerminalId == block.TerminalId && other.TerminalType == block.TerminalType)
        {
            return Fail(m_line, "this jack block is given twice");
        }
    }
    m_profile->m_jackBlocks.push_back(block);
    m_references.push_back({m_line, "terminal", block.TerminalId});
    return true;
}

bool ProfileParser::Vendor(const std::vector<ProfileToken>& tokens)
{
    int64_t type, request, value, index;
    if (tokens.size() < 6 || (tokens[5].Text != "stall" && tokens[5].Text != "data"))
    {
        return Fail(
            m_line,
            "vendor takes bmRequestType bRequest wValue wIndex, then \"stall\" or \"data\" and bytes");
    }
    if (!Number(tokens[1].Text, 0, 255, &type) || !Number(tokens[2].Text, 0, 255, &request) ||
        !Number(tokens[3].Text, 0, 0xFFFF, &value) || !Number(tokens[4].Text, 0, 0xFFFF, &index))
    {
        return false;
    }
    if ((type >> 5 & 3) != 2)
    {
        return Fail(m_line, Format("bmRequestType 0x%02X is not a vendor request (bits 6..5 must be 10)",
                                   unsigned(type)));
    }
    VendorRequestAnswer answer{uint8_t(type),   uint8_t(request),          uint16_t(value),
                               uint16_t(index), tokens[5].Text == "stall", {}};
    if (answer.Stall && tokens.size() > 6)
    {
        return Fail(m_line, "a stalled request has no answer bytes");
    }
    for (size_t i = 6; i < tokens.size(); ++i)
    {
        uint8_t byte;
        std::string message;
        if (!ParseHexByte(tokens[i].Text, &byte, &message))
        {
            return Fail(m_line, message);
        }
        answer.Data.push_back(byte);
    }
    if (!(type & 0x80) && !answer.Data.empty())
    {
        return Fail(m_line, "a host-to-device request answers with no bytes");
    }
    if (m_profile->FindVendorRequest(answer.RequestType, answer.Request, answer.Value, answer.Index) !=
        nullptr)
    {
        return Fail(m_line, "this vendor request is given twice");
    }
    m_profile->m_vendorRequests.push_back(answer);
    return true;
}

bool ProfileParser::Finish()
{
    if (m_descriptorLine == 0)
    {
        return Fail(0, "the profile has no descriptors: add a descriptors block or a dump line");
    }
    AnalyseConfiguration();
    if (!CheckReferences() || !ResolveControls() || !ResolveTerminalTypes())
    {
        return false;
    }
    if (!m_speedGiven)
    {
        m_profile->m_speed = m_profile->m_audioControlProtocol == 0x20 ? UsbSpeed::High : UsbSpeed::Full;
    }
    ApplyDefaults();
    return true;
}

// Collects the audio-control entity, terminal and clock-source ids and the release of the
// first audio-control interface. The bytes were validated; the walk and its field reads are
// bounded all the same, and fields past a short class-specific descriptor are not read.
void ProfileParser::AnalyseConfiguration()
{
    bool inControl = false;
    int protocol = -1;
    uint8_t interfaceNumber = 0;
    for (const DescriptorSpan& d : SplitDescriptors(m_profile->m_configurationDescriptor))
    {
        if (d.Type() == 4 && d.Has(9))
        {
            inControl = d.At(5) == 1 && d.At(6) == 1;
            interfaceNumber = d.At(2);
            protocol = inControl ? d.At(7) : protocol;
            if (inControl && m_profile->m_audioControlProtocol < 0)
            {
                m_profile->m_audioControlProtocol = protocol;
            }
            continue;
        }
        if (!inControl || d.Type() != 0x24 || !d.Has(4))
        {
            continue;
        }
        AddEntity(d, interfaceNumber, protocol);
    }
}

void ProfileParser::AddEntity(const DescriptorSpan& d, uint8_t interfaceNumber, int protocol)
{
    const uint8_t subtype = d.Subtype();
    const uint8_t id = d.At(3);
    const uint8_t lastSubtype = protocol == 0x20 ? 0x0D : 0x08;
    if (subtype >= 2 && subtype <= lastSubtype)
    {
        m_profile->m_entityIds.push_back(id);
        ProfileEntity entity;
        entity.InterfaceNumber = interfaceNumber;
        entity.Id = id;
        entity.Subtype = subtype;
        entity.Protocol = protocol;
        const bool hasPins = subtype == 0x04 || subtype == 0x05 || (protocol == 0x20 && subtype == 0x0B);
        entity.InputPins = hasPins ? d.At(4) : 0;
        m_profile->m_entities.push_back(entity);
    }
    if (subtype == 2 || subtype == 3)
    {
        m_profile->m_terminalIds.push_back(id);
    }
    if (protocol == 0x20 && subtype == 0x0A)
    {
        m_clockSources.push_back(id);
    }
}

bool ProfileParser::CheckReferences()
{
    for (const PendingReference& ref : m_references)
    {
        std::string what = ref.What;
        const std::vector<uint8_t>& ids = what == "entity"     ? m_profile->m_entityIds
                                          : what == "terminal" ? m_profile->m_terminalIds
                                                               : m_clockSources;
        bool found = false;
        for (uint8_t id : ids)
        {
            found = found || id == ref.Id;
        }
        if (!found)
        {
            return Fail(ref.Line, Format("the descriptors have no %s with id %u", ref.What, ref.Id));
        }
    }
    return true;
}

// A terminal-types line without current= starts on the descriptor's type when it is listed,
// else on the first listed type.
bool ProfileParser::ResolveTerminalTypes()
{
    for (size_t i = 0; i < m_profile->m_terminalTypes.size(); ++i)
    {
        TerminalTypesSetting& setting = m_profile->m_terminalTypes[i];
        if (m_terminalTypeCurrentGiven[i])
        {
            continue;
        }
        setting.Current = setting.Types[0];
        bool inControl = false;
        for (const DescriptorSpan& d : SplitDescriptors(m_profile->m_configurationDescriptor))
        {
            if (d.Type() == 4 && d.Has(9))
            {
                inControl = d.At(5) == 1 && d.At(6) == 1;
            }
            else if (inControl && d.Type() == 0x24 && d.Has(6) && (d.Subtype() == 2 || d.Subtype() == 3) &&
                     d.At(3) == setting.TerminalId)
            {
                const uint16_t type = d.Le16(4);
                if (std::find(setting.Types.begin(), setting.Types.end(), type) != setting.Types.end())
                {
                    setting.Current = type;
                }
            }
        }
    }
    return true;
}

void ProfileParser::ApplyDefaults()
{
    DeviceProfile& p = *m_profile;
    const uint16_t vid = p.VendorId();
    const uint16_t pid = p.ProductId();
    const DescriptorSpan device(p.m_deviceDescriptor);
    const struct
    {
        uint8_t Index;
        std::string Text;
    } strings[] = {
        {device.At(14), Format("Vendor %04X", vid)},
        {device.At(15), Format("USB Audio Device %04X:%04X", vid, pid)},
        {device.At(16), Format("%04X%04X", vid, pid)},
    };
    for (const auto& s : strings)
    {
        if (s.Index != 0 && p.FindString(s.Index, 0x0409) == nullptr)
        {
            p.m_strings.push_back({s.Index, 0x0409, Ascii16(s.Text)});
        }
    }
    // Clock sources in descriptor order, each with its given rates or the default ones.
    std::vector<ClockSetting> clocks;
    for (uint8_t id : m_clockSources)
    {
        ClockSetting clock{id, kDefaultClockRatesHz, {}};
        for (const ClockSetting& given : p.m_clocks)
        {
            if (given.ClockId == id)
            {
                clock = given;
            }
        }
        clocks.push_back(clock);
    }
    p.m_clocks = clocks;
}

namespace profile_files
{

bool ReadBinaryFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error)
{
    // Plain reads rather than a stream: a stream's buffer throws when the name is a folder,
    // and the reason ("it is a folder", "no such file") belongs in the message.
    // Non-blocking, so that a FIFO given by mistake is refused below rather than waited on.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
    {
        *error = std::strerror(errno);
        return false;
    }
    struct stat info = {};
    bool ok = fstat(fd, &info) == 0;
    if (!ok)
    {
        *error = std::strerror(errno);
    }
    else if (S_ISDIR(info.st_mode))
    {
        *error = "it is a directory";
        ok = false;
    }
    else if (!S_ISREG(info.st_mode))
    {
        *error = "it is not a regular file";
        ok = false;
    }
    else if (info.st_size > off_t(kMaxProfileFileBytes))
    {
        *error = Format("it has %lld bytes; a profile or descriptor dump has at most %zu",
                        static_cast<long long>(info.st_size), kMaxProfileFileBytes);
        ok = false;
    }
    bytes->clear();
    uint8_t chunk[16384];
    while (ok)
    {
        const ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            *error = std::strerror(errno);
            ok = false;
        }
        else if (got == 0)
        {
            break;
        }
        else
        {
            bytes->insert(bytes->end(), chunk, chunk + got);
        }
    }
    close(fd);
    return ok;
}

std::string DirectoryOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string StemOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = file.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
}

bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace profile_files

} // namespace sim
