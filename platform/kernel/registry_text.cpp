// The hive's text form (described in plat_registry.h): written from a snapshot of the hive and
// read back into a list of keys that replaces the hive in one step, so a malformed file changes
// nothing. Also the UTF-8 conversions the host side uses.
#include "ntstatus.h"
#include "plat_registry.h"
#include "registry.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace plat
{

// ---- UTF-8 and UTF-16 ----

namespace
{

constexpr char16_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80)
        out += static_cast<char>(cp);
    else if (cp < 0x800)
    {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else if (cp < 0x10000)
    {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t cp)
{
    if (cp < 0x10000)
        out += static_cast<char16_t>(cp);
    else
    {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

// Decodes one UTF-8 sequence at text[*pos]; a bad, overlong or truncated sequence, or an
// encoded surrogate, gives U+FFFD and consumes one byte.
char32_t DecodeUtf8(const std::string& text, size_t* pos)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(*pos);
    size_t extra = 0;
    if (lead < 0x80)
    {
        ++*pos;
        return lead;
    }
    if ((lead & 0xE0) == 0xC0)
        extra = 1;
    else if ((lead & 0xF0) == 0xE0)
        extra = 2;
    else if ((lead & 0xF8) == 0xF0)
        extra = 3;
    char32_t cp = lead & (0x3F >> extra);
    bool valid = extra != 0 && *pos + extra < text.size();
    for (size_t i = 1; valid && i <= extra; ++i)
    {
        valid = (byte(*pos + i) & 0xC0) == 0x80;
        cp = (cp << 6) | (byte(*pos + i) & 0x3F);
    }
    static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (!valid || cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    {
        ++*pos;
        return kReplacement;
    }
    *pos += extra + 1;
    return cp;
}

} // namespace

std::u16string WideFromUtf8(const std::string& text)
{
    std::u16string out;
    for (size_t pos = 0; pos < text.size();)
        AppendUtf16(out, DecodeUtf8(text, &pos));
    return out;
}

std::string Utf8FromWide(const std::u16string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        char16_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))
        {
            AppendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        }
        else
            AppendUtf8(out, IsHighSurrogate(c) || IsLowSurrogate(c) ? kReplacement : c);
    }
    return out;
}

// ---- Writing ----

namespace
{

struct TypeName
{
    ULONG Type;
    const char* Name;
};

// Type, name in the text form.
const TypeName kTypeNames[] = {
    {REG_NONE, "none"},     {REG_SZ, "sz"},       {REG_EXPAND_SZ, "expand_sz"},
    {REG_BINARY, "binary"}, {REG_DWORD, "dword"}, {REG_MULTI_SZ, "multi_sz"},
    {REG_QWORD, "qword"},
};

std::string HexUnit(char16_t unit)
{
    char text[8];
    snprintf(text, sizeof(text), "%%%04X", static_cast<unsigned>(unit));
    return text;
}

// Escapes what the reader could not take literally: the escape and quote characters, control
// characters and unpaired surrogates. Everything else goes out as UTF-8.
std::string Escape(const std::u16string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        char16_t c = text[i];
        if (c == u'%')
            out += "%%";
        else if (c == u'"' || c < 0x20 || c == 0x7F)
            out += HexUnit(c);
        else if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))
        {
            out += Utf8FromWide(text.substr(i, 2));
            ++i;
        }
        else if (IsHighSurrogate(c) || IsLowSurrogate(c))
            out += HexUnit(c);
        else
            out += Utf8FromWide(std::u16string(1, c));
    }
    return out;
}

std::string Quote(const std::u16string& text)
{
    return "\"" + Escape(text) + "\"";
}

std::string HexBytes(const std::vector<UCHAR>& data)
{
    std::string out;
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i)
    {
        snprintf(byte, sizeof(byte), i ? " %02x" : "%02x", data[i]);
        out += byte;
    }
    return out;
}

bool AsUnits(const std::vector<UCHAR>& data, std::u16string* units)
{
    if (data.size() % sizeof(char16_t) != 0)
        return false;
    units->assign(data.size() / sizeof(char16_t), u'\0');
    if (!data.empty())
        std::memcpy(&(*units)[0], data.data(), data.size());
    return true;
}

// The list form of a multi-string, when the data is exactly what that form reads back as.
bool FormatMultiString(const std::vector<UCHAR>& data, std::string* out)
{
    std::u16string units;
    if (!AsUnits(data, &units) || units.empty() || units.back() != u'\0')
        return false;
    units.pop_back();
    if (!units.empty() && units.back() != u'\0')
        return false;
    std::string list;
    for (size_t start = 0; start < units.size();)
    {
        size_t end = units.find(u'\0', start);
        list += (start ? "," : "") + Quote(units.substr(start, end - start));
        start = end + 1;
    }
    *out = list;
    return true;
}

// The data in the type's own form, or in the hex form when that form cannot spell it exactly.
std::string FormatData(ULONG type, const std::vector<UCHAR>& data)
{
    std::u16string units;
    std::string text;
    char number[24];
    switch (type)
    {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (!AsUnits(data, &units))
            break;
        if (!units.empty() && units.back() == u'\0')
            return Quote(units.substr(0, units.size() - 1));
        return "raw" + Quote(units);
    case REG_MULTI_SZ:
        if (FormatMultiString(data, &text))
            return text;
        break;
    case REG_DWORD:
    {
        if (data.size() != sizeof(ULONG))
            break;
        ULONG dword;
        std::memcpy(&dword, data.data(), sizeof(dword));
        snprintf(number, sizeof(number), "0x%08x", static_cast<unsigned>(dword));
        return number;
    }
    case REG_QWORD:
    {
        if (data.size() != sizeof(ULONGLONG))
            break;
        ULONGLONG qword;
        std::memcpy(&qword, data.data(), sizeof(qword));
        snprintf(number, sizeof(number), "0x%016llx", static_cast<unsigned long long>(qword));
        return number;
    }
    case REG_BINARY:
        return HexBytes(data);
    }
    return "hex:" + HexBytes(data);
}

std::string FormatType(ULONG type)
{
    for (const TypeName& entry : kTypeNames)
        if (entry.Type == type)
            return entry.Name;
    char number[16];
    snprintf(number, sizeof(number), "0x%08x", static_cast<unsigned>(type));
    return number;
}

std::string FormatPath(const std::u16string& path)
{
    std::string out;
    for (size_t start = 1; start <= path.size();)
    {
        size_t end = std::min(path.find(u'\\', start), path.size());
        out += "\\" + Escape(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The keys every hive has; they need no line of their own.
bool IsRootKey(const std::u16string& path)
{
    return path == u"\\REGISTRY" || path == u"\\REGISTRY\\MACHINE" || path == u"\\REGISTRY\\USER";
}

bool IsChildOf(const std::u16string& path, const std::u16string& parent)
{
    return path.size() > parent.size() && path.compare(0, parent.size(), parent) == 0 &&
           path[parent.size()] == u'\\';
}

} // namespace

std::string RegSaveHiveText()
{
    std::vector<RegKeyRecord> keys = RegSnapshot(false);
    std::string out = "# Registry hive of the uacsim platform (format: platform/kernel/plat_registry.h)\n";
    for (size_t i = 0; i < keys.size(); ++i)
    {
        const RegKeyRecord& key = keys[i];
        bool hasChildren = i + 1 < keys.size() && IsChildOf(keys[i + 1].Path, key.Path);
        // Parents are implied by their children, and the three roots always exist.
        if (key.Values.empty() && (hasChildren || IsRootKey(key.Path)))
            continue;
        out += "\n[" + FormatPath(key.Path) + "]\n";
        for (const RegValueRecord& value : key.Values)
            out += Quote(value.Name) + " = " + FormatType(value.Type) + ":" +
                   FormatData(value.Type, value.Data) + "\n";
    }
    return out;
}

// ---- Reading ----

namespace
{

// A cursor over one line of the file; every Parse... helper returns false with a message set.
class LineParser
{
public:
    explicit LineParser(const std::string& line) : m_Line(line) {}

    bool AtEnd()
    {
        SkipBlanks();
        return m_nPos == m_Line.size();
    }
    bool Take(const char* token)
    {
        SkipBlanks();
        size_t length = std::strlen(token);
        if (m_Line.compare(m_nPos, length, token) != 0)
            return false;
        m_nPos += length;
        return true;
    }
    const std::string& Error() const { return m_Error; }

    bool ParseQuoted(std::u16string* text);
    bool ParseKeyPath(std::u16string* path);
    bool ParseType(ULONG* type);
    bool ParseData(ULONG type, std::vector<UCHAR>* data);

private:
    bool Fail(const std::string& message)
    {
        if (m_Error.empty())
            m_Error = message;
        return false;
    }
    void SkipBlanks()
    {
        while (m_nPos < m_Line.size() && (m_Line[m_nPos] == ' ' || m_Line[m_nPos] == '\t'))
            ++m_nPos;
    }
    bool Unescape(const std::string& raw, std::u16string* text);
    bool ParseNumber(int bits, ULONGLONG* value);
    bool ParseHexBytes(std::vector<UCHAR>* data);
    bool ParseStringData(std::vector<UCHAR>* data);
    bool ParseMultiStringData(std::vector<UCHAR>* data);

    const std::string& m_Line;
    size_t m_nPos = 0;
    std::string m_Error;
};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool LineParser::Unescape(const std::string& raw, std::u16string* text)
{
    text->clear();
    std::string run; // literal UTF-8 since the last escape
    for (size_t i = 0; i < raw.size(); ++i)
    {
        if (raw[i] != '%')
        {
            run += raw[i];
            continue;
        }
        *text += WideFromUtf8(run);
        run.clear();
        if (i + 1 < raw.size() && raw[i + 1] == '%')
        {
            *text += u'%';
            ++i;
            continue;
        }
        unsigned unit = 0;
        for (size_t k = 1; k <= 4; ++k)
        {
            int digit = i + k < raw.size() ? HexDigit(raw[i + k]) : -1;
            if (digit < 0)
                return Fail("'%' must be followed by '%' or four hex digits");
            unit = unit * 16 + static_cast<unsigned>(digit);
        }
        *text += static_cast<char16_t>(unit);
        i += 4;
    }
    *text += WideFromUtf8(run);
    return true;
}

bool LineParser::ParseQuoted(std::u16string* text)
{
    if (!Take("\""))
        return Fail("expected a quoted string");
    size_t end = m_Line.find('"', m_nPos);
    if (end == std::string::npos)
        return Fail("unterminated quoted string");
    std::string raw = m_Line.substr(m_nPos, end - m_nPos);
    m_nPos = end + 1;
    return Unescape(raw, text);
}

// "[\A\B]": the components are unescaped one by one, so an escaped character never splits one.
bool LineParser::ParseKeyPath(std::u16string* path)
{
    SkipBlanks();
    size_t end = m_Line.find_last_not_of(" \t");
    if (m_Line[m_nPos] != '[' || end == std::string::npos || m_Line[end] != ']' || end < m_nPos + 2 ||
        m_Line[m_nPos + 1] != '\\')
        return Fail("a key line reads [\\REGISTRY\\...]");
    std::string inner = m_Line.substr(m_nPos + 2, end - m_nPos - 2);
    m_nPos = end + 1;
    path->clear();
    for (size_t start = 0; start <= inner.size();)
    {
        size_t stop = std::min(inner.find('\\', start), inner.size());
        std::u16string component;
        if (stop == start)
            return Fail("empty key name in path");
        if (!Unescape(inner.substr(start, stop - start), &component))
            return false;
        *path += u"\\" + component;
        start = stop + 1;
    }
    return true;
}

bool LineParser::ParseType(ULONG* type)
{
    SkipBlanks();
    size_t colon = m_Line.find(':', m_nPos);
    if (colon == std::string::npos)
        return Fail("expected type:data after '='");
    std::string name = m_Line.substr(m_nPos, colon - m_nPos);
    for (const TypeName& entry : kTypeNames)
        if (name == entry.Name)
        {
            *type = entry.Type;
            m_nPos = colon + 1;
            return true;
        }
    ULONGLONG number = 0;
    if (!ParseNumber(32, &number) || m_nPos != colon)
        return Fail("unknown value type '" + name + "'");
    *type = static_cast<ULONG>(number);
    m_nPos = colon + 1;
    return true;
}

// 0x followed by hex digits, or decimal digits; no wider than `bits`.
bool LineParser::ParseNumber(int bits, ULONGLONG* value)
{
    SkipBlanks();
    bool hex = m_Line.compare(m_nPos, 2, "0x") == 0 || m_Line.compare(m_nPos, 2, "0X") == 0;
    size_t pos = m_nPos + (hex ? 2 : 0);
    unsigned base = hex ? 16 : 10;
    ULONGLONG limit = bits == 64 ? ~0ULL : (1ULL << bits) - 1;
    ULONGLONG number = 0;
    size_t digits = 0;
    for (; pos < m_Line.size(); ++pos, ++digits)
    {
        int digit = HexDigit(m_Line[pos]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base)
            break;
        if (number > (limit - static_cast<unsigned>(digit)) / base)
            return Fail("number does not fit in " + std::to_string(bits) + " bits");
        number = number * base + static_cast<unsigned>(digit);
    }
    if (digits == 0)
        return Fail("expected a number");
    m_nPos = pos;
    *value = number;
    return true;
}

bool LineParser::ParseHexBytes(std::vector<UCHAR>* data)
{
    data->clear();
    while (!AtEnd())
    {
        int high = HexDigit(m_Line[m_nPos]);
        int low = m_nPos + 1 < m_Line.size() ? HexDigit(m_Line[m_nPos + 1]) : -1;
        bool separated =
            m_nPos + 2 >= m_Line.size() || m_Line[m_nPos + 2] == ' ' || m_Line[m_nPos + 2] == '\t';
        if (high < 0 || low < 0 || !separated)
            return Fail("hex data is pairs of hex digits separated by blanks");
        data->push_back(static_cast<UCHAR>(high * 16 + low));
        m_nPos += 2;
    }
    return true;
}

void AppendUnits(std::vector<UCHAR>* data, const std::u16string& units)
{
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(units.data());
    data->insert(data->end(), bytes, bytes + units.size() * sizeof(char16_t));
}

bool LineParser::ParseStringData(std::vector<UCHAR>* data)
{
    bool raw = Take("raw");
    std::u16string text;
    if (!ParseQuoted(&text))
        return false;
    if (!raw)
        text += u'\0';
    AppendUnits(data, text);
    return true;
}

bool LineParser::ParseMultiStringData(std::vector<UCHAR>* data)
{
    std::u16string units;
    for (bool first = true; !AtEnd(); first = false)
    {
        std::u16string item;
        if ((!first && !Take(",")) || !ParseQuoted(&item))
            return Fail("a multi_sz is a comma-separated list of quoted strings");
        units += item + u'\0';
    }
    units += u'\0';
    AppendUnits(data, units);
    return true;
}

bool LineParser::ParseData(ULONG type, std::vector<UCHAR>* data)
{
    data->clear();
    ULONGLONG number = 0;
    bool parsed = false;
    if (Take("hex:"))
        parsed = ParseHexBytes(data);
    else if (type == REG_SZ || type == REG_EXPAND_SZ)
        parsed = ParseStringData(data);
    else if (type == REG_MULTI_SZ)
        parsed = ParseMultiStringData(data);
    else if (type == REG_BINARY)
        parsed = ParseHexBytes(data);
    else if (type == REG_DWORD || type == REG_QWORD)
    {
        int bits = type == REG_DWORD ? 32 : 64;
        parsed = ParseNumber(bits, &number);
        const UCHAR* bytes =
            reinterpret_cast<const UCHAR*>(&number); // the host is little-endian, as the target
        data->assign(bytes, bytes + bits / 8);
    }
    else
        return Fail("data of this type is written hex:XX XX ...");
    if (parsed && !AtEnd())
        return Fail("unexpected text after the data");
    return parsed;
}

// One line into the key list; false with *error on a syntax error.
bool ParseLine(const std::string& line, std::vector<RegKeyRecord>* keys, std::string* error)
{
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#' || line[first] == ';')
        return true;
    LineParser parser(line);
    bool ok = true;
    if (line[first] == '[')
    {
        RegKeyRecord key;
        ok = parser.ParseKeyPath(&key.Path) && parser.AtEnd();
        if (ok)
            keys->push_back(std::move(key));
    }
    else if (keys->empty())
    {
        *error = "a value line before the first [key] line";
        return false;
    }
    else
    {
        RegValueRecord value;
        ok = parser.ParseQuoted(&value.Name) && parser.Take("=") && parser.ParseType(&value.Type) &&
             parser.ParseData(value.Type, &value.Data);
        if (ok)
            keys->back().Values.push_back(std::move(value));
        else if (parser.Error().empty())
            *error = "a value line reads \"name\" = type:data";
    }
    if (!ok && error->empty())
        *error = parser.Error().empty() ? "unexpected text" : parser.Error();
    return ok;
}

} // namespace

NTSTATUS RegLoadHiveText(const std::string& text, std::string* error)
{
    std::vector<RegKeyRecord> keys;
    std::istringstream lines(text);
    std::string line;
    for (size_t number = 1; std::getline(lines, line); ++number)
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        std::string message;
        if (!ParseLine(line, &keys, &message))
        {
            if (error)
                *error = "line " + std::to_string(number) + ": " + message;
            return STATUS_DATA_ERROR;
        }
    }
    NTSTATUS status = RegReplaceHive(keys);
    if (!NT_SUCCESS(status) && error)
        *error = "a key path or value name is not valid in the registry";
    return status;
}

NTSTATUS RegLoadHive(const std::string& filePath, std::string* error)
{
    std::ifstream file(filePath, std::ios::binary);
    if (!file)
    {
        if (error)
            *error = "cannot open " + filePath;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad())
    {
        if (error)
            *error = "cannot read " + filePath;
        return STATUS_UNSUCCESSFUL;
    }
    return RegLoadHiveText(text.str(), error);
}

// Written beside the target and renamed over it, so a failed save leaves the old file whole.
NTSTATUS RegSaveHive(const std::string& filePath, std::string* error)
{
    std::string temporary = filePath + ".tmp";
    std::string text = RegSaveHiveText();
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text;
        file.flush();
        if (!file)
        {
            std::remove(temporary.c_str());
            if (error)
                *error = "cannot write " + temporary;
            return STATUS_UNSUCCESSFUL;
        }
    }
    if (std::rename(temporary.c_str(), filePath.c_str()) != 0)
    {
        std::remove(temporary.c_str());
        if (error)
            *error = "cannot replace " + filePath;
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

} // namespace plat
