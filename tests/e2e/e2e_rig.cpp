// The end-to-end rig: plug, load, add, start, and a teardown that checks the driver left
// nothing behind.
#include "e2e_rig.h"

#include "object.h"
#include "plat_debug.h"
#include "plat_io.h"
#include "plat_portcls.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "portcls.h"

#include "driver/adapter/device_extension.h"
#include "driver/adapter/driver_entry.h"
#include "driver/wave/stream_engine_if.h"

#include <algorithm>
#include <dirent.h>
#include <set>

namespace e2e
{

void DriverRig::SetUp()
{
    plat::RegReset();
    plat::ClearDebugLog();
    m_Snapshot = plat::TakePoolSnapshot();
    m_Objects = plat::ObLiveObjectCount(nullptr);
    m_Devices = plat::IoLiveDeviceCount();
    m_Irps = plat::IoLiveIrpCount();
    m_Raises = plat::TimerResolutionRaises();
    m_Unmatched = plat::TimerResolutionUnmatchedReleases();
    m_bChecked = true;
}

void DriverRig::TearDown()
{
    RemoveAndCheck();
}

void DriverRig::LoadOn(const std::string& NameOrPath)
{
    sim::DeviceProfile profile;
    std::string error;
    ASSERT_TRUE(sim::LoadProfile(NameOrPath, &profile, &error)) << NameOrPath << ": " << error;
    LoadOn(profile);
}

void DriverRig::LoadOn(const sim::DeviceProfile& Profile)
{
    m_Profile = Profile;
    m_bChecked = false;
    m_pPnp = std::make_unique<sim::PnpManager>();
    m_pDevice = sim::SimUsbDevice::Create(m_Profile);
    m_pDevice->AttachTo(*m_pPnp);
    ASSERT_EQ(m_pPnp->LoadDriver(DriverEntry), STATUS_SUCCESS);
    m_bLoaded = true;
    ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
    m_bAdded = true;
    m_pFdo = m_pPnp->Fdo();
    ASSERT_NE(m_pFdo, nullptr);
}

NTSTATUS DriverRig::Start()
{
    return m_pPnp->Start();
}

void DriverRig::StartOk()
{
    NTSTATUS status = Start();
    ASSERT_EQ(status, STATUS_SUCCESS) << "driver output:\n" << plat::DebugLogText();
    // A device with a status endpoint re-reads every unit once its status thread runs, on its
    // own time after the start; scenarios begin after that sweep, as a user's would.
    RunFor(100 * kMillisecond);
}

sim::ControlPanel& DriverRig::Panel()
{
    if (!m_pPanel)
    {
        NTSTATUS status = sim::ControlPanel::Open(Pdo(), u"GlobalTopo", &m_pPanel);
        EXPECT_EQ(status, STATUS_SUCCESS) << "the topology filter does not open";
    }
    return *m_pPanel;
}

void DriverRig::Unload()
{
    m_pPanel.reset();
    if (m_pPnp && m_bAdded)
    {
        EXPECT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
        m_bAdded = false;
    }
    if (m_pFdo)
    {
        plat::PcForgetDevice(m_pFdo);
        m_pFdo = nullptr;
    }
    if (m_pPnp && m_bLoaded)
    {
        m_pPnp->UnloadDriver();
        m_bLoaded = false;
    }
    if (m_pDevice && m_pPnp)
        m_pDevice->Detach(*m_pPnp);
    m_pPnp.reset();
    m_pDevice.reset();
    plat::Shutdown();
}

void DriverRig::RemoveAndCheck(bool Surprise)
{
    if (m_bChecked)
        return;
    m_bChecked = true;
    m_pPanel.reset();
    if (Surprise && m_pPnp && m_bAdded)
    {
        EXPECT_EQ(m_pPnp->SurpriseRemove(), STATUS_SUCCESS);
    }
    Unload();
    EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "") << "pool blocks left after removal";
    EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_Objects) << "kernel objects left after removal";
    EXPECT_EQ(plat::IoLiveDeviceCount(), m_Devices) << "device objects left after removal";
    EXPECT_EQ(plat::IoLiveIrpCount(), m_Irps) << "IRPs left after removal";
    EXPECT_EQ(plat::TimerResolutionRaises(), m_Raises) << "timer resolution raised and never released";
    EXPECT_EQ(plat::TimerResolutionUnmatchedReleases(), m_Unmatched) << "timer resolution released too often";
    EXPECT_EQ(plat::LiveSystemThreadCount(), 0u) << "system threads outlive the driver";
}

void DriverRig::RunFor(ULONGLONG Duration100ns)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -LONGLONG(Duration100ns);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

std::vector<std::u16string> DriverRig::EndpointNames()
{
    std::vector<std::u16string> names;
    PADAPTERCOMMON adapter = GetAdapterExtension(Fdo())->AdapterCommon;
    if (adapter == nullptr)
        return names;
    for (ULONG i = 0; i < adapter->GetStreamCount(); ++i)
    {
        IStreamEngine* stream = nullptr;
        WCHAR name[STREAM_NAME_BUFFER_CHARS] = {};
        if (NT_SUCCESS(adapter->GetStream(i, &stream)) && stream && NT_SUCCESS(stream->GetName(name)))
            names.push_back(name);
        else
            names.push_back(u"(unreadable)");
    }
    return names;
}

// Follows the connections away from the pin (upstream from an output pin, downstream from an
// input pin) breadth first.
ULONG DriverRig::NodeUpstreamOf(const GUID& PinCategory, const GUID& NodeType)
{
    std::vector<sim::PinInfo> pins;
    std::vector<sim::NodeInfo> nodes;
    std::vector<KSTOPOLOGY_CONNECTION> connections;
    sim::ControlPanel& panel = Panel();
    if (!NT_SUCCESS(panel.GetPins(&pins)) || !NT_SUCCESS(panel.GetNodes(&nodes)) ||
        !NT_SUCCESS(panel.GetConnections(&connections)))
        return ~0u;
    for (const sim::PinInfo& pin : pins)
    {
        if (!pin.HasCategory || pin.Category != PinCategory)
            continue;
        const bool upstream = pin.DataFlow == KSPIN_DATAFLOW_OUT;
        std::vector<std::pair<ULONG, ULONG>> frontier = {{PCFILTER_NODE, pin.Id}};
        std::set<ULONG> seen;
        while (!frontier.empty())
        {
            std::vector<std::pair<ULONG, ULONG>> next;
            for (const auto& at : frontier)
                for (const KSTOPOLOGY_CONNECTION& c : connections)
                {
                    const bool hit = upstream ? (c.ToNode == at.first &&
                                                 (at.first != PCFILTER_NODE || c.ToNodePin == at.second))
                                              : (c.FromNode == at.first &&
                                                 (at.first != PCFILTER_NODE || c.FromNodePin == at.second));
                    const ULONG other = upstream ? c.FromNode : c.ToNode;
                    if (!hit || other == PCFILTER_NODE || !seen.insert(other).second)
                        continue;
                    if (other < nodes.size() && nodes[other].Type == NodeType)
                        return other;
                    next.push_back({other, 0});
                }
            frontier = next;
        }
        return ~0u;
    }
    return ~0u;
}

std::vector<sim::ControlRecord> DriverRig::Requests(uint8_t RequestType, uint8_t Request, int Entity,
                                                    int Selector, int Channel, uint64_t Since)
{
    std::vector<sim::ControlRecord> found;
    for (const sim::ControlRecord& r : m_pDevice->Model().Log())
    {
        if (r.Sequence <= Since || r.Setup.RequestType != RequestType || r.Setup.Request != Request)
            continue;
        if ((Entity >= 0 && (r.Setup.Index >> 8) != Entity) ||
            (Selector >= 0 && (r.Setup.Value >> 8) != Selector) ||
            (Channel >= 0 && (r.Setup.Value & 0xFF) != Channel))
            continue;
        found.push_back(r);
    }
    return found;
}

uint64_t DriverRig::LastSequence()
{
    std::vector<sim::ControlRecord> log = m_pDevice->Model().Log();
    return log.empty() ? 0 : log.back().Sequence;
}

int32_t DriverRig::DeviceValue(uint8_t Entity, uint8_t Selector, uint8_t Channel)
{
    int32_t value = 0;
    EXPECT_TRUE(Controls().ControlValue(Entity, Selector, Channel, &value));
    return value;
}

std::vector<std::string> RealClass1Dumps()
{
    const std::string dir = std::string(UACSIM_SOURCE_DIR) + "/../shared/real-devices";
    std::vector<std::string> dumps;
    if (DIR* d = opendir(dir.c_str()))
    {
        while (dirent* entry = readdir(d))
        {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0)
                dumps.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    std::sort(dumps.begin(), dumps.end());
    std::vector<std::string> class1;
    for (const std::string& path : dumps)
    {
        sim::DeviceProfile profile;
        std::string error;
        if (sim::LoadProfile(path, &profile, &error) && profile.AudioControlProtocol() == 0)
            class1.push_back(path);
    }
    return class1;
}

} // namespace e2e
