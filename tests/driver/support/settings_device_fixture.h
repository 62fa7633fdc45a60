// A fixture for the settings tests: a port-class adapter device added on the simulated physical
// device (so the settings reach the driver key through the port-class registry key), a host
// folder standing for "\SystemRoot\", and the checks that every test ends with no pool block,
// key handle or file handle left behind.
#pragma once

#include <gtest/gtest.h>

#include "plat_files.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "portcls.h"
#include "sim/host/pnp_manager.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace settings_test
{

inline NTSTATUS StartDevice(PDEVICE_OBJECT, PIRP, PRESOURCELIST)
{
    return STATUS_SUCCESS;
}

inline NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    return PcAddAdapterDevice(DriverObject, Pdo, StartDevice, 20, PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

inline NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
}

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

class SettingsDeviceFixture : public testing::Test
{
protected:
    void SetUp() override
    {
        plat::RegReset();
        m_Snapshot = plat::TakePoolSnapshot();
        m_Objects = plat::ObLiveObjectCount(nullptr);
        char pattern[] = "/tmp/uacsim-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Folder = pattern;
        plat::SetSystemRootFolder(m_Folder);
    }

    void TearDown() override
    {
        delete m_pPnp;
        m_pPnp = nullptr;
        plat::ClearPoolFailures();
        plat::Shutdown();
        EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_Objects) << "key, file or device objects left";
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
        plat::SetSystemRootFolder("");
        std::error_code ignored;
        std::filesystem::remove_all(m_Folder, ignored);
    }

    // Loads the adapter driver and adds its device on a physical device with these hardware IDs.
    void CreateDevice(
        const std::vector<std::u16string>& hardwareIds = sim::DefaultPnpDeviceConfig().Info.HardwareIds)
    {
        sim::PnpDeviceConfig config = sim::DefaultPnpDeviceConfig();
        config.Info.HardwareIds = hardwareIds;
        m_pPnp = new sim::PnpManager(config);
        ASSERT_EQ(m_pPnp->LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT Fdo() const { return m_pPnp->Fdo(); }
    PDEVICE_OBJECT Pdo() const { return m_pPnp->Pdo(); }
    std::u16string SettingsPath() const { return plat::IoDriverKeyPath(Pdo()) + u"\\Settings"; }

    void WriteSystemFile(const std::string& name, const std::string& bytes) const
    {
        std::ofstream out(m_Folder + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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

    sim::PnpManager* m_pPnp = nullptr;
    std::string m_Folder;
    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
};

} // namespace settings_test
