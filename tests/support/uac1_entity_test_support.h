// Rig of the class-1 entity tests: CUsbDevice started on a simulated device (its IUsbDevice is
// the entities' way to the device), the audio-function double as the host that owns the node
// list the builders fill, the descriptors of the device's audio-control interface, and readers of the
// device's request log, which is the tests' oracle.
#pragma once

#include "support/usb_device_test_support.h"

#include "sim/device/audio_control.h"

#include "driver/core/audio_hal.h"
#include "driver/core/usb_audio_function_if.h"
#include "driver/topology/uac1/uac1_feature_unit.h"
#include "driver/topology/uac1/uac1_input_terminal.h"
#include "driver/topology/uac1/uac1_mixer_unit.h"
#include "driver/topology/uac1/uac1_output_terminal.h"
#include "driver/topology/uac1/uac1_selector_unit.h"
#include "usbaudio.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace uet
{

constexpr ULONG HOST_POOL_TAG = MAKE_POOL_TAG('E', 'H', 's', 't');

// One class-specific descriptor of the audio-control interface, by subtype and id.
inline std::vector<UCHAR> FindEntity(const std::vector<uint8_t>& config, UCHAR subtype, UCHAR id)
{
    bool inControl = false;
    for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2; at += config[at])
    {
        const uint8_t* d = &config[at];
        if (d[1] == 0x04 && d[0] >= 7)
            inControl = d[5] == 0x01 && d[6] == 0x01;
        else if (inControl && d[1] == 0x24 && d[0] >= 4 && d[2] == subtype && d[3] == id)
            return std::vector<UCHAR>(d, d + d[0]);
    }
    ADD_FAILURE() << "no entity " << int(subtype) << "/" << int(id);
    return {};
}

// Configuration bytes with one audio-control descriptor replaced; both total lengths follow.
inline std::vector<uint8_t> ReplaceDescriptor(std::vector<uint8_t> config, UCHAR subtype, UCHAR id,
                                              const std::vector<uint8_t>& with)
{
    size_t header = 0;
    for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2; at += config[at])
    {
        const uint8_t* d = &config[at];
        if (d[1] == 0x24 && d[2] == 0x01 && header == 0)
            header = at;
        if (d[1] == 0x24 && d[2] == subtype && d[0] >= 4 && d[3] == id)
        {
            int delta = int(with.size()) - int(d[0]);
            config.erase(config.begin() + at, config.begin() + at + d[0]);
            config.insert(config.begin() + at, with.begin(), with.end());
            uint16_t total = uint16_t(config[2] | config[3] << 8) + delta;
            config[2] = uint8_t(total);
            config[3] = uint8_t(total >> 8);
            uint16_t acTotal = uint16_t(config[header + 5] | config[header + 6] << 8) + delta;
            config[header + 5] = uint8_t(acTotal);
            config[header + 6] = uint8_t(acTotal >> 8);
            return config;
        }
    }
    ADD_FAILURE() << "no descriptor to replace";
    return config;
}

// A request as the device saw it, compared whole.
struct Seen
{
    uint8_t RequestType;
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    uint16_t Length;
    std::vector<uint8_t> Out;
    bool Stalled = false;

    bool operator==(const Seen& o) const
    {
        return RequestType == o.RequestType && Request == o.Request && Value == o.Value && Index == o.Index &&
               Length == o.Length && Out == o.Out && Stalled == o.Stalled;
    }
};

inline void PrintTo(const Seen& s, std::ostream* os)
{
    char text[80];
    std::snprintf(text, sizeof(text), "{%02X %02X %04X %04X len %u", s.RequestType, s.Request, s.Value,
                  s.Index, s.Length);
    *os << text;
    for (uint8_t b : s.Out)
    {
        std::snprintf(text, sizeof(text), " %02X", b);
        *os << text;
    }
    *os << (s.Stalled ? " stall}" : "}");
}

class Uac1EntityRig : public udt::UsbDeviceRig
{
protected:
    void TearDown() override
    {
        for (CUsbEntityNode* entity : m_Entities)
            entity->NonDelegatingRelease();
        m_Entities.clear();
        if (m_pHost)
            m_pHost->NonDelegatingRelease();
        m_pHost = nullptr;
        UsbDeviceRig::TearDown();
    }

    // Plugs the device, starts CUsbDevice on it and makes the host function.
    void Start(const std::string& profile)
    {
        Plug(profile);
        StartHost();
    }
    void StartProfile(const sim::DeviceProfile& profile)
    {
        PlugProfile(profile);
        StartHost();
    }
    void StartHost()
    {
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        m_pHost = new (NonPagedPool, HOST_POOL_TAG) fdt::CFunctionDouble(nullptr);
        ASSERT_NE(m_pHost, nullptr);
        m_pHost->NonDelegatingAddRef();
        ASSERT_EQ(m_pHost->Init(nullptr, Fdo(), Pdo(), Pdo()), STATUS_SUCCESS);
        Model().ClearLog();
    }

    // A plugged device whose configuration has one descriptor replaced.
    void StartWith(const std::string& builtin, UCHAR subtype, UCHAR id, const std::vector<uint8_t>& with)
    {
        sim::DeviceProfile base;
        std::string error;
        ASSERT_TRUE(sim::LoadBuiltinProfile(builtin, &base, &error)) << error;
        std::vector<uint8_t> bytes = base.DeviceDescriptor();
        std::vector<uint8_t> config = ReplaceDescriptor(base.ConfigurationDescriptor(), subtype, id, with);
        bytes.insert(bytes.end(), config.begin(), config.end());
        sim::DeviceProfile profile;
        ASSERT_TRUE(sim::DeviceProfile::FromDescriptorBytes(bytes, builtin + "-edited", &profile, &error))
            << error;
        StartProfile(profile);
    }

    std::vector<UCHAR> Descriptor(UCHAR subtype, UCHAR id)
    {
        return FindEntity(Model().Profile().ConfigurationDescriptor(), subtype, id);
    }

    // Creates an entity as the descriptor walk does and initialises it; the rig releases it.
    template <class T> NTSTATUS Build(const std::vector<UCHAR>& descriptor, T** out = nullptr)
    {
        return BuildBytes<T>(descriptor.data(), ULONG(descriptor.size()), out);
    }
    template <class T> NTSTATUS BuildBytes(const UCHAR* bytes, ULONG length, T** out = nullptr)
    {
        T* entity = new (NonPagedPool, HOST_POOL_TAG) T(nullptr, 0);
        EXPECT_NE(entity, nullptr);
        entity->NonDelegatingAddRef();
        m_Entities.push_back(entity);
        if (out)
            *out = entity;
        return InitEntity(entity, bytes, length);
    }

    NTSTATUS InitEntity(CUac1MixerUnit* entity, const UCHAR* bytes, ULONG length)
    {
        return entity->Init(bytes, length, m_pCommon, m_pHost);
    }
    template <class T> NTSTATUS InitEntity(T* entity, const UCHAR* bytes, ULONG length)
    {
        return entity->Init(bytes, length, m_pCommon, m_pHost, &m_Lock);
    }

    ITopologyNode* Node(ULONG index)
    {
        ITopologyNode* node = nullptr;
        EXPECT_EQ(m_pHost->GetNode(index, &node), STATUS_SUCCESS) << index;
        return node;
    }
    template <class I> I* NodeAs(ULONG index, REFIID iid)
    {
        I* out = nullptr;
        ITopologyNode* node = Node(index);
        if (node && NT_SUCCESS(node->QueryInterface(iid, reinterpret_cast<PVOID*>(&out))))
            out->Release(); // the node list keeps it alive
        EXPECT_NE(out, nullptr) << "node " << index;
        return out;
    }
    std::vector<ULONG> Kinds()
    {
        std::vector<ULONG> kinds;
        for (ULONG i = 0; i < m_pHost->GetNodeCount(); ++i)
            kinds.push_back(Node(i)->GetKind());
        return kinds;
    }

    // The requests the device saw since the last ClearLog, setup and data, with their outcome.
    std::vector<Seen> Requests()
    {
        std::vector<Seen> seen;
        for (const sim::ControlRecord& r : Log())
            seen.push_back(Seen{r.Setup.RequestType, r.Setup.Request, r.Setup.Value, r.Setup.Index,
                                r.Setup.Length, r.OutData, r.Outcome == sim::ControlOutcome::Stall});
        return seen;
    }

    int32_t DeviceValue(uint8_t entity, uint8_t selector, uint8_t channel)
    {
        int32_t value = 0x7EEEEEEE;
        EXPECT_TRUE(Model().AudioControl().ControlValue(entity, selector, channel, &value));
        return value;
    }

    void StallMatching(int request, int target, int selector = -1, int channel = -1)
    {
        sim::AudioControlFaults faults;
        faults.StallMatching = true;
        faults.StallMatch.Request = request;
        faults.StallMatch.Target = target;
        faults.StallMatch.Selector = selector;
        faults.StallMatch.Channel = channel;
        Model().AudioControl().SetFaults(faults);
    }

    void SaveSetting(const char16_t* name, ULONG value)
    {
        plat::RegCreateKeyPath(SettingsPath());
        ASSERT_EQ(plat::RegSetValue(SettingsPath(), name, REG_BINARY, &value, sizeof(value)), STATUS_SUCCESS);
    }
    bool ReadSetting(const char16_t* name, ULONG* value)
    {
        ULONG type = 0;
        std::vector<UCHAR> data;
        if (!NT_SUCCESS(plat::RegGetValue(SettingsPath(), name, &type, &data)) ||
            data.size() != sizeof(ULONG))
            return false;
        std::memcpy(value, data.data(), sizeof(ULONG));
        return true;
    }

    fdt::CFunctionDouble* m_pHost = nullptr;
    CMutexLock m_Lock;
    std::vector<CUsbEntityNode*> m_Entities;
};

// Levels: the device's 1/256 dB, the nodes' 1/65536 dB.
constexpr LONG Db256(int value)
{
    return LONG(value) * 256;
}

} // namespace uet
