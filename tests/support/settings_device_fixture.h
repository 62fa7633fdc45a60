// A fixture for the settings tests: the one driver rig with a bare port-class adapter device
// added on a physical device without a bus (so the settings reach the driver key through the
// port-class registry key) and a host folder standing for "\SystemRoot\"; the rig checks that
// every test ends with no pool block, key handle or file handle left behind.
#pragma once

#include <gtest/gtest.h>

#include "support/driver_rig.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace settings_test
{

// A REG_MULTI_SZ as IoGetDeviceProperty hands it out.
inline std::vector<UCHAR> MultiSz(const std::vector<std::u16string>& strings)
{
    std::u16string all;
    for (const std::u16string& s : strings)
        all += s + u'\0';
    all += u'\0';
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(all.data());
    return std::vector<UCHAR>(bytes, bytes + all.size() * sizeof(char16_t));
}

inline std::vector<UCHAR> WideBytes(const std::u16string& text)
{
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(text.data());
    return std::vector<UCHAR>(bytes, bytes + text.size() * sizeof(char16_t));
}

inline std::u16string Upcase(const std::u16string& text)
{
    std::u16string upper = text;
    for (char16_t& c : upper)
        c = RtlUpcaseUnicodeChar(c);
    return upper;
}

// One value as the registry holds it.
struct StoredValue
{
    ULONG Type = 0;
    std::vector<UCHAR> Data;
    bool operator==(const StoredValue& other) const { return Type == other.Type && Data == other.Data; }
};
// (upper-cased subkey below "Settings", empty for "Settings" itself; upper-cased value name).
using SettingsMap = std::map<std::pair<std::u16string, std::u16string>, StoredValue>;

class SettingsDeviceFixture : public rig::DriverRig
{
protected:
    SettingsDeviceFixture() : DriverRig(rig::BareAdapter(nullptr, true)) {}

    // Loads the adapter driver and adds its device on a physical device with these hardware IDs.
    void CreateDevice(
        const std::vector<std::u16string>& hardwareIds = sim::DefaultPnpDeviceConfig().Info.HardwareIds)
    {
        AddWithoutBus(hardwareIds);
    }

    // Every value under "Settings" and its subkeys.
    SettingsMap ReadSettings() const
    {
        SettingsMap values;
        std::u16string root = Upcase(SettingsPath());
        for (const plat::RegKeyRecord& key : plat::RegSnapshot())
        {
            std::u16string path = Upcase(key.Path);
            if (path != root && path.rfind(root + u"\\", 0) != 0)
                continue;
            std::u16string subkey = path == root ? u"" : path.substr(root.size() + 1);
            for (const plat::RegValueRecord& value : key.Values)
                values[{subkey, Upcase(value.Name)}] = StoredValue{value.Type, value.Data};
        }
        return values;
    }
};

} // namespace settings_test
