// libFuzzer target: one input is a raw descriptor dump (device descriptor, then configuration),
// taken as `uacsim topology` takes a .bin file. The dump becomes a simulated device on its own
// bus; the plug-and-play host loads the driver, adds and starts it, the audio stack's reads of
// every filter's pins, nodes, connections, node properties and jacks follow, and then removal
// and unload. An input fails when anything crashes, trips a sanitizer or one of the platform's
// rule checks, or when the driver leaves pool, kernel objects, device objects, IRPs, threads or
// a raised timer resolution behind. A dump the profile loader refuses ends the input early:
// the runner refuses it too.
#include "ntddk.h"
#include "object.h"
#include "plat_debug.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "plat_portcls.h"
#include "portcls.h"
#include "sim/device/usb_sim_device.h"
#include "sim/host/control_panel.h"
#include "sim/host/pnp_manager.h"
#include "sim/profiles/profile.h"

#include "driver/adapter/driver_entry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr LONGLONG kMillisecond = 10000; // 100 ns units

// The node properties the audio stack asks of a topology filter; each is tried on every node,
// so a node answers the ones it has and refuses the rest.
const ULONG kNodeProperties[] = {
    KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_AUDIO_MUTE,       KSPROPERTY_AUDIO_BASS,
    KSPROPERTY_AUDIO_MID,         KSPROPERTY_AUDIO_TREBLE,     KSPROPERTY_AUDIO_AGC,
    KSPROPERTY_AUDIO_LOUDNESS,    KSPROPERTY_AUDIO_MUX_SOURCE,
};

// Channels asked of each node property: the master channel and the first two.
const LONG kChannels[] = {-1, 0, 1};

// What the platform holds before an input, so that the input can be held to leave it so.
struct PlatformCounts
{
    plat::PoolSnapshot Pool;
    SIZE_T Objects = 0;
    SIZE_T Devices = 0;
    SIZE_T Irps = 0;
    LONG TimerRaises = 0;
    LONG TimerUnmatched = 0;
};

// The per-input reset the test rigs do in SetUp: an empty registry and debug log, no injected
// failures, and the counts the input is checked against.
PlatformCounts ResetPlatform()
{
    plat::RegReset();
    plat::ClearDebugLog();
    plat::ClearPoolFailures();
    PlatformCounts counts;
    counts.Pool = plat::TakePoolSnapshot();
    counts.Objects = plat::ObLiveObjectCount(nullptr);
    counts.Devices = plat::IoLiveDeviceCount();
    counts.Irps = plat::IoLiveIrpCount();
    counts.TimerRaises = plat::TimerResolutionRaises();
    counts.TimerUnmatched = plat::TimerResolutionUnmatchedReleases();
    return counts;
}

void Sleep(LONGLONG duration100ns)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -duration100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

void ReadNodes(sim::ControlPanel& panel, const std::vector<sim::NodeInfo>& nodes)
{
    for (const sim::NodeInfo& node : nodes)
    {
        for (ULONG id : kNodeProperties)
        {
            panel.Property(sim::PropertyTarget::OnNode(node.Id), KSPROPSETID_Audio, id,
                           KSPROPERTY_TYPE_BASICSUPPORT, 256);
            for (LONG channel : kChannels)
            {
                LONG value = 0;
                panel.GetNodeLong(node.Id, KSPROPSETID_Audio, id, channel, &value);
            }
        }
    }
}

// The jack description of every pin: first the size, then the data at that size.
void ReadJacks(sim::ControlPanel& panel, const std::vector<sim::PinInfo>& pins)
{
    for (const sim::PinInfo& pin : pins)
    {
        const sim::PropertyTarget target = sim::PropertyTarget::OnPin(pin.Id);
        sim::PropertyResult size =
            panel.Property(target, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, 0);
        if (size.Status == STATUS_BUFFER_OVERFLOW && size.Information > 0 && size.Information < 0x10000)
        {
            panel.Property(target, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET,
                           ULONG(size.Information));
        }
    }
}

// Every filter the driver registered, read as the audio stack reads it.
void ReadFilters(PDEVICE_OBJECT pdo)
{
    for (const sim::FilterInfo& filter : sim::ControlPanel::EnumerateFilters(pdo))
    {
        std::unique_ptr<sim::ControlPanel> panel;
        if (!NT_SUCCESS(sim::ControlPanel::Open(pdo, filter.Name, &panel)))
        {
            continue;
        }
        std::vector<sim::PinInfo> pins;
        std::vector<sim::NodeInfo> nodes;
        std::vector<KSTOPOLOGY_CONNECTION> connections;
        std::vector<GUID> categories;
        panel->GetCategories(&categories);
        panel->GetConnections(&connections);
        if (NT_SUCCESS(panel->GetNodes(&nodes)))
        {
            ReadNodes(*panel, nodes);
        }
        if (NT_SUCCESS(panel->GetPins(&pins)))
        {
            ReadJacks(*panel, pins);
        }
    }
}

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz_descriptors: %s\ndriver debug output:\n%s\n", what.c_str(),
                 plat::DebugLogText().c_str());
    std::abort();
}

// Once the device is removed and unplugged and the driver unloaded, no thread of the driver may
// run on. A
// thread on its way out gets the moment it needs (virtual time stands still while any thread
// can run); one still there afterwards is named with what it waits for. Left to the shutdown
// that follows, such a thread would only show up as a deadlock, or not at all while it waits
// with a time-out.
void CheckNoThreadLeft()
{
    Sleep(kMillisecond);
    if (plat::LiveSystemThreadCount() != 0)
    {
        Fail("system threads of the driver outlive its removal:\n" + plat::DescribeThreads());
    }
}

// Plug-in to unload on one device. Loading and adding cannot depend on the descriptors, so
// their failure fails the input; the start may refuse the device.
void RunDriver(const sim::DeviceProfile& profile)
{
    sim::PnpManager pnp;
    std::shared_ptr<sim::SimUsbDevice> device = sim::SimUsbDevice::Create(profile);
    device->AttachTo(pnp);
    if (!NT_SUCCESS(pnp.LoadDriver(DriverEntry)))
    {
        Fail("DriverEntry failed");
    }
    if (!NT_SUCCESS(pnp.AddDevice()))
    {
        Fail("AddDevice failed");
    }
    PDEVICE_OBJECT fdo = pnp.Fdo();
    if (NT_SUCCESS(pnp.Start()))
    {
        // The status thread's first sweep re-reads every unit on its own time after the start.
        Sleep(100 * kMillisecond);
        ReadFilters(pnp.Pdo());
    }
    const NTSTATUS removed = pnp.Remove();
    if (!NT_SUCCESS(removed))
    {
        Fail("removal failed: status " + std::to_string(unsigned(removed)));
    }
    // The library's record of the removed device still holds the topology filter's port.
    plat::PcForgetDevice(fdo);
    pnp.UnloadDriver();
    device->Detach(pnp);
}

void CheckNothingLeft(const PlatformCounts& before)
{
    const std::string leaks = plat::PoolLeaksSince(before.Pool);
    if (!leaks.empty())
    {
        Fail("pool blocks left after removal:\n" + leaks);
    }
    if (plat::ObLiveObjectCount(nullptr) != before.Objects)
    {
        Fail("kernel objects left after removal");
    }
    if (plat::IoLiveDeviceCount() != before.Devices || plat::IoLiveIrpCount() != before.Irps)
    {
        Fail("device objects or IRPs left after removal");
    }
    if (plat::TimerResolutionRaises() != before.TimerRaises ||
        plat::TimerResolutionUnmatchedReleases() != before.TimerUnmatched)
    {
        Fail("timer resolution raises and releases do not match");
    }
}

} // namespace

// libFuzzer's own mutations, for the custom mutator below.
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

// Most mutants are kept in the shape of a dump the profile loader accepts, so that they reach
// the driver instead of stopping at the loader: the configuration is cut before the first
// descriptor the loader would refuse (bLength below 2, running past the end, a runt interface
// or endpoint) and wTotalLength is set to what is left. One mutant in eight stays as mutated,
// for the loader's own checks.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed)
{
    constexpr size_t kDevice = 18;
    constexpr size_t kConfigurationHeader = 9;
    size = LLVMFuzzerMutate(data, size, maxSize);
    if (seed % 8 == 0 || size < kDevice + kConfigurationHeader)
    {
        return size;
    }
    data[0] = kDevice;
    data[1] = 1;
    uint8_t* cfg = data + kDevice;
    const size_t available = std::min<size_t>(size - kDevice, 0xFFFF);
    if (cfg[0] < kConfigurationHeader || cfg[0] > available)
    {
        cfg[0] = kConfigurationHeader;
    }
    cfg[1] = 2;
    size_t end = cfg[0];
    while (available - end >= 2)
    {
        const size_t length = cfg[end];
        const uint8_t type = cfg[end + 1];
        if (length < 2 || length > available - end || (type == 4 && length < 9) || (type == 5 && length < 7))
        {
            break;
        }
        end += length;
    }
    cfg[2] = uint8_t(end);
    cfg[3] = uint8_t(end >> 8);
    return kDevice + end;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sim::DeviceProfile profile;
    std::string error;
    if (!sim::ProfileFromDump(std::vector<uint8_t>(data, data + size), "fuzz", &profile, &error))
    {
        return -1; // not a dump the simulator accepts: keep it out of the corpus
    }
    static plat::ScopedThreadRegistration registration("fuzz");
    const PlatformCounts before = ResetPlatform();
    RunDriver(profile);
    CheckNoThreadLeft();
    // The platform's own threads end between inputs, so one input's timers and work items
    // cannot reach into the next.
    plat::Shutdown();
    CheckNothingLeft(before);
    return 0;
}
