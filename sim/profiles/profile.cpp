// Device profiles: loading by name, file or raw dump, lookups, and the defaults for what a
// profile leaves out.
#include "sim/profiles/profile.h"

#include "sim/profiles/descriptor_span.h"
#include "sim/profiles/profile_parser.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <sys/stat.h>

namespace sim
{

using profile_files::DirectoryOf;
using profile_files::EndsWith;
using profile_files::ReadBinaryFile;
using profile_files::StemOf;

bool DeviceProfile::Parse(const std::string& text, const std::string& name, const std::string& baseDir,
                          DeviceProfile* profile, std::string* error)
{
    *profile = DeviceProfile();
    profile->m_name = name;
    ProfileParser parser(profile, baseDir);
    return parser.Run(text, error);
}

namespace
{

bool IsWavFile(const std::vector<uint8_t>& bytes)
{
    return bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 &&
           std::memcmp(bytes.data() + 8, "WAVE", 4) == 0;
}

// Profile text is UTF-8 with tabs and line ends; anything else (control bytes, broken UTF-8
// sequences) is some other kind of file, whose bytes make no sense quoted back in a message.
bool IsText(const std::vector<uint8_t>& bytes)
{
    size_t i = 0;
    while (i < bytes.size())
    {
        const uint8_t b = bytes[i];
        size_t follow = 0;
        if (b < 0x80)
        {
            if ((b < 0x20 && b != '\t' && b != '\n' && b != '\r') || b == 0x7F)
            {
                return false;
            }
        }
        else if (b >= 0xC2 && b <= 0xDF)
        {
            follow = 1;
        }
        else if (b >= 0xE0 && b <= 0xEF)
        {
            follow = 2;
        }
        else if (b >= 0xF0 && b <= 0xF4)
        {
            follow = 3;
        }
        else
        {
            return false;
        }
        ++i;
        for (; follow > 0; --follow, ++i)
        {
            if (i >= bytes.size() || (bytes[i] & 0xC0) != 0x80)
            {
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool DeviceProfile::LoadFile(const std::string& path, DeviceProfile* profile, std::string* error)
{
    std::vector<uint8_t> bytes;
    std::string why;
    if (!ReadBinaryFile(path, &bytes, &why))
    {
        *error = "cannot read the profile file " + path + ": " + why;
        return false;
    }
    if (IsWavFile(bytes))
    {
        *error = path + " is a WAV file, not a device profile";
        return false;
    }
    if (!IsText(bytes))
    {
        *error = path + " is not a profile: it holds binary data, not text (a raw descriptor dump is read as "
                        "one only when its name ends in .bin)";
        return false;
    }
    const std::string text(bytes.begin(), bytes.end());
    if (!Parse(text, StemOf(path), DirectoryOf(path), profile, error))
    {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

bool DeviceProfile::FromDescriptorBytes(const std::vector<uint8_t>& bytes, const std::string& name,
                                        DeviceProfile* profile, std::string* error,
                                        const std::string& extraText)
{
    // Validated first so that the message names the bytes rather than a line of made-up text.
    if (!ValidateDescriptorBytes(bytes, error))
    {
        return false;
    }
    std::ostringstream text;
    text << "descriptors\n";
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        char hex[4];
        snprintf(hex, sizeof(hex), "%02X%c", bytes[i], (i % 16 == 15) ? '\n' : ' ');
        text << hex;
    }
    text << "\nend\n" << extraText;
    return Parse(text.str(), name, ".", profile, error);
}

// 0 for a profile that holds no device descriptor yet.
uint16_t DeviceProfile::VendorId() const
{
    return DescriptorSpan(m_deviceDescriptor).Le16(8);
}
uint16_t DeviceProfile::ProductId() const
{
    return DescriptorSpan(m_deviceDescriptor).Le16(10);
}

const ProfileString* DeviceProfile::FindString(uint8_t index, uint16_t languageId) const
{
    for (const ProfileString& s : m_strings)
    {
        if (s.Index == index && s.LanguageId == languageId)
        {
            return &s;
        }
    }
    return nullptr;
}

std::vector<uint16_t> DeviceProfile::LanguageIds() const
{
    std::vector<uint16_t> ids;
    for (const ProfileString& s : m_strings)
    {
        bool seen = false;
        for (uint16_t id : ids)
        {
            seen = seen || id == s.LanguageId;
        }
        if (!seen)
        {
            ids.push_back(s.LanguageId);
        }
    }
    if (ids.empty())
    {
        ids.push_back(0x0409);
    }
    return ids;
}

ControlSetting DeviceProfile::Control(uint8_t entityId, uint8_t selector, uint8_t channel) const
{
    for (const ControlSetting& c : m_controls)
    {
        if (c.EntityId == entityId && c.Selector == selector && c.Channel == channel)
        {
            return c;
        }
    }
    return DefaultControlSetting(FindEntity(entityId), entityId, selector, channel);
}

const ProfileEntity* DeviceProfile::FindEntity(uint8_t id) const
{
    for (const ProfileEntity& e : m_entities)
    {
        if (e.Id == id)
        {
            return &e;
        }
    }
    return nullptr;
}

const TerminalTypesSetting* DeviceProfile::FindTerminalTypes(uint8_t terminalId) const
{
    for (const TerminalTypesSetting& t : m_terminalTypes)
    {
        if (t.TerminalId == terminalId)
        {
            return &t;
        }
    }
    return nullptr;
}

const JackBlockSetting* DeviceProfile::FindJackBlock(uint8_t terminalId, uint16_t terminalType) const
{
    const JackBlockSetting* any = nullptr;
    for (const JackBlockSetting& b : m_jackBlocks)
    {
        if (b.TerminalId != terminalId)
        {
            continue;
        }
        if (b.TerminalType == int(terminalType))
        {
            return &b;
        }
        if (b.TerminalType < 0)
        {
            any = &b;
        }
    }
    return any;
}

std::vector<uint32_t> DeviceProfile::ClockRates(uint8_t clockId) const
{
    for (const ClockSetting& c : m_clocks)
    {
        if (c.ClockId == clockId)
        {
            return c.RatesHz;
        }
    }
    return {};
}

std::vector<ClockSubRange> DeviceProfile::ClockSubRanges(uint8_t clockId) const
{
    for (const ClockSetting& c : m_clocks)
    {
        if (c.ClockId == clockId)
        {
            if (!c.SubRanges.empty())
            {
                return c.SubRanges;
            }
            std::vector<ClockSubRange> ranges;
            for (uint32_t rate : c.RatesHz)
            {
                ranges.push_back({rate, rate, 0});
            }
            return ranges;
        }
    }
    return {};
}

bool DeviceProfile::JackConnected(uint8_t terminalId) const
{
    for (const JackSetting& j : m_jacks)
    {
        if (j.TerminalId == terminalId)
        {
            return j.Connected;
        }
    }
    return true;
}

const VendorRequestAnswer* DeviceProfile::FindVendorRequest(uint8_t requestType, uint8_t request,
                                                            uint16_t value, uint16_t index) const
{
    for (const VendorRequestAnswer& v : m_vendorRequests)
    {
        if (v.RequestType == requestType && v.Request == request && v.Value == value && v.Index == index)
        {
            return &v;
        }
    }
    return nullptr;
}

ControlSetting DefaultControlRange(uint8_t entityId, uint8_t selector, uint8_t channel)
{
    ControlSetting c;
    c.EntityId = entityId;
    c.Selector = selector;
    c.Channel = channel;
    switch (selector)
    {
    case 0x02: // volume
    case 0x0B: // input gain (release 2.0)
        c.Min = -60 * 256;
        c.Max = 0;
        c.Res = 256;
        break;
    case 0x03: // bass, mid, treble: 1/4 dB units
    case 0x04:
    case 0x05:
        c.Min = -48;
        c.Max = 48;
        c.Res = 4;
        break;
    case 0x01: // mute
    case 0x07: // automatic gain
    case 0x09: // bass boost
    case 0x0A: // loudness
    case 0x0D: // phase inverter (release 2.0)
    case 0x0E: // underflow (release 2.0)
    case 0x0F: // overflow (release 2.0)
        c.Min = 0;
        c.Max = 1;
        c.Res = 1;
        break;
    case 0x08: // delay: 1/64 ms units
        c.Min = 0;
        c.Max = 100 * 64;
        c.Res = 64;
        break;
    case 0x0C: // input gain pad (release 2.0): attenuation only
        c.Min = -20 * 256;
        c.Max = 0;
        c.Res = 256;
        break;
    default:
        break;
    }
    return c;
}

ControlSetting DefaultControlSetting(const ProfileEntity* entity, uint8_t entityId, uint8_t selector,
                                     uint8_t channel)
{
    const uint8_t subtype = entity == nullptr ? 0x06 : entity->Subtype;
    const bool release2 = entity != nullptr && entity->Protocol == 0x20;
    ControlSetting c;
    c.EntityId = entityId;
    c.Selector = selector;
    c.Channel = channel;
    if (subtype == 0x05 || (release2 && subtype == 0x0B)) // selector unit, clock selector
    {
        c.Min = 1;
        c.Max = entity->InputPins > 0 ? entity->InputPins : 1;
        c.Res = 1;
        c.Cur = 1;
    }
    else if (subtype == 0x04 && !release2) // mixer: selector is the input channel
    {
        c.Min = -60 * 256;
        c.Max = 0;
        c.Res = 256;
        c.Cur = selector == channel ? 0 : c.Min;
    }
    else if (release2 && subtype == 0x0A) // clock source
    {
        c.Min = 0;
        c.Max = selector == 0x02 ? 1 : 0;
        c.Res = selector == 0x02 ? 1 : 0;
        c.Cur = selector == 0x02 ? 1 : 0;
    }
    else if (subtype == 0x06)
    {
        c = DefaultControlRange(entityId, selector, channel);
    }
    return c;
}

bool LoadBuiltinProfile(const std::string& name, DeviceProfile* profile, std::string* error)
{
    const char* text = BuiltinProfileText(name);
    if (text == nullptr)
    {
        *error = "no built-in profile named '" + name + "'";
        return false;
    }
    if (!DeviceProfile::Parse(text, name, ".", profile, error))
    {
        *error = "built-in profile " + name + ": " + *error;
        return false;
    }
    return true;
}

bool ProfileFromDump(const std::vector<uint8_t>& bytes, const std::string& name, DeviceProfile* profile,
                     std::string* error)
{
    return DeviceProfile::FromDescriptorBytes(bytes, name, profile, error, "string 0x50 \"0100-DUMP\"\n");
}

bool LoadProfile(const std::string& nameOrPath, DeviceProfile* profile, std::string* error)
{
    if (BuiltinProfileText(nameOrPath) != nullptr)
    {
        return LoadBuiltinProfile(nameOrPath, profile, error);
    }
    if (EndsWith(nameOrPath, ".bin"))
    {
        std::vector<uint8_t> bytes;
        std::string why;
        if (!ReadBinaryFile(nameOrPath, &bytes, &why))
        {
            *error = "cannot read the dump file " + nameOrPath + ": " + why;
            return false;
        }
        if (IsWavFile(bytes))
        {
            *error = nameOrPath + " is a WAV file, not a descriptor dump";
            return false;
        }
        if (!ProfileFromDump(bytes, StemOf(nameOrPath), profile, error))
        {
            *error = nameOrPath + ": " + *error;
            return false;
        }
        return true;
    }
    // A bare word that names no file was most likely meant as a built-in name.
    struct stat info = {};
    if (nameOrPath.find_first_of("/.") == std::string::npos && stat(nameOrPath.c_str(), &info) != 0)
    {
        *error = "no built-in profile named '" + nameOrPath + "', and no file of that name";
        return false;
    }
    return DeviceProfile::LoadFile(nameOrPath, profile, error);
}

} // namespace sim

namespace sim
{

std::vector<uint8_t> DeviceProfile::VendorControls(uint8_t UnitId) const
{
    std::vector<uint8_t> selectors;
    for (const auto& unit : m_vendorControls)
    {
        if (unit.first == UnitId)
        {
            selectors.insert(selectors.end(), unit.second.begin(), unit.second.end());
        }
    }
    return selectors;
}

bool DeviceProfile::IsStereoEndpoint(uint8_t EndpointAddress) const
{
    for (uint8_t address : m_stereoEndpoints)
    {
        if (address == EndpointAddress)
        {
            return true;
        }
    }
    return false;
}

} // namespace sim
