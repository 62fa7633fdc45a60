// The one rig that loads the driver: the simulated device (sim::SimUsbDevice, with its fault
// switches) as the physical device of the plug-and-play host, the driver loaded and its device
// added, and a teardown that stops and releases what the test made, removes the device, unloads
// the driver and fails the test when anything of it is left (pool, kernel objects, device
// objects, IRPs, threads, timer-resolution raises, bus interface references). Options choose the
// driver's own DriverEntry (PnP start runs StartDevice) or a bare port-class adapter on which the
// test starts CUsbDevice itself, and which audio function creators serve the device.
#pragma once

#include <gtest/gtest.h>

#include "ntddk.h"
#include "object.h"
#include "plat_debug.h"
#include "plat_files.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_portcls.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "portcls.h"
#include "sim/device/usb_sim_device.h"
#include "sim/host/control_panel.h"
#include "sim/host/pnp_manager.h"
#include "sim/profiles/profile.h"

#include "driver/core/device_extension.h"
#include "driver/adapter/driver_entry.h"
#include "driver/usb/usb_device.h"
#include "driver/core/stream_engine_if.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rig
{

struct RigOptions
{
    bool DriverEntry = false;                        // the driver's own entry; else a bare adapter
    const AudioFunctionCreators* Creators = nullptr; // the audio function creators; null: built-in
    bool SystemRoot = false;                         // a host folder stands for "\SystemRoot\"
};

// The whole driver (PnP start runs StartDevice).
inline RigOptions WholeDriver(const AudioFunctionCreators* creators = nullptr)
{
    RigOptions options;
    options.DriverEntry = true;
    options.Creators = creators;
    return options;
}

// A bare port-class adapter on which the test starts CUsbDevice itself.
inline RigOptions BareAdapter(const AudioFunctionCreators* creators = nullptr, bool systemRoot = false)
{
    RigOptions options;
    options.Creators = creators;
    options.SystemRoot = systemRoot;
    return options;
}

inline NTSTATUS BareStartDevice(PDEVICE_OBJECT, PIRP, PRESOURCELIST)
{
    return STATUS_SUCCESS;
}

inline NTSTATUS BareAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driver, pdo, BareStartDevice, 20, sizeof(AdapterDeviceExtension));
}

// A port-class adapter driver whose start does nothing: the test makes CUsbDevice itself.
inline NTSTATUS BareDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    return PcInitializeAdapterDriver(driver, registryPath, BareAddDevice);
}

// One interface record of a select-configuration request as the driver sent it.
struct SelectedInterface
{
    UCHAR Number = 0;
    UCHAR AlternateSetting = 0;
    std::vector<ULONG> MaximumTransferSizes;
};

// Loads a built-in profile, a profile or dump file, or profile text.
inline void LoadAnyProfile(const std::string& nameOrText, sim::DeviceProfile* profile)
{
    std::string error;
    bool loaded = nameOrText.find('\n') == std::string::npos
                      ? sim::LoadProfile(nameOrText, profile, &error)
                      : sim::DeviceProfile::Parse(nameOrText, "test", "", profile, &error);
    ASSERT_TRUE(loaded) << nameOrText.substr(0, 80) << ": " << error;
}

// The descriptor dumps of real devices sit beside the project, never inside it; a checkout
// elsewhere (a second worktree) names their folder in UACSIM_REAL_DEVICES.
inline std::string RealDevicesFolder()
{
    const char* named = std::getenv("UACSIM_REAL_DEVICES");
    return named && *named ? std::string(named) : std::string(UACSIM_SOURCE_DIR) + "/../shared/real-devices";
}

// The shared descriptor dumps of real devices of one release (0 for class 1, -1 for any), or none.
inline std::vector<std::string> RealDumps(int protocol = 0)
{
    const std::string dir = RealDevicesFolder();
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
    std::vector<std::string> kept;
    for (const std::string& path : dumps)
    {
        sim::DeviceProfile profile;
        std::string error;
        if (protocol < 0 ||
            (sim::LoadProfile(path, &profile, &error) && profile.AudioControlProtocol() == protocol))
            kept.push_back(path);
    }
    return kept;
}

// Calls check on every real dump of the release, each under its own trace; false when there are
// none (the caller skips).
inline bool ForEachRealDump(const std::function<void(const std::string& path)>& check, int protocol = 0)
{
    const std::vector<std::string> dumps = RealDumps(protocol);
    for (const std::string& path : dumps)
    {
        SCOPED_TRACE(path);
        check(path);
    }
    return !dumps.empty();
}

class DriverRig : public testing::Test
{
protected:
    explicit DriverRig(RigOptions options = RigOptions()) : m_Options(options) {}

    void SetUp() override
    {
        plat::RegReset();
        plat::ClearDebugLog();
        plat::PcSetVersion(plat::kDefaultPortClsVersion);
        m_Snapshot = plat::TakePoolSnapshot();
        m_Objects = plat::ObLiveObjectCount(nullptr);
        m_Devices = plat::IoLiveDeviceCount();
        m_Irps = plat::IoLiveIrpCount();
        m_Raises = plat::TimerResolutionRaises();
        m_Unmatched = plat::TimerResolutionUnmatchedReleases();
        m_pPreviousCreators = UsbDeviceSetAudioFunctionCreators(m_Options.Creators);
        if (m_Options.SystemRoot)
        {
            char pattern[] = "/tmp/uacsim-rig-XXXXXX";
            ASSERT_NE(mkdtemp(pattern), nullptr);
            m_Folder = pattern;
            plat::SetSystemRootFolder(m_Folder);
        }
        m_Faults = sim::PortFaults();
        std::lock_guard<std::mutex> lock(m_SnoopLock);
        m_Selected.clear();
        m_PortRequests.clear();
        m_bChecked = false;
    }

    void TearDown() override { RemoveAndCheck(); }

    // Plugs the device (a built-in profile name, a profile or dump file, or profile text) into
    // the bus, loads the driver and adds its device.
    void Plug(const std::string& nameOrText)
    {
        sim::DeviceProfile profile;
        LoadAnyProfile(nameOrText, &profile);
        if (!HasFatalFailure())
            PlugProfile(profile);
    }

    void PlugProfile(const sim::DeviceProfile& profile,
                     const sim::PnpDeviceConfig& config = sim::DefaultPnpDeviceConfig())
    {
        m_Profile = profile;
        m_Device = sim::SimUsbDevice::Create(profile);
        m_pDevice = m_Device.get();
        m_pPnp = new sim::PnpManager(config);
        m_Device->AttachTo(*m_pPnp);
        // The rig reads the configuration the driver selects and the hub requests it sends.
        sim::SimUsbDevice* device = m_pDevice;
        m_pPnp->SetPdoHandler(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                              [this, device](PDEVICE_OBJECT pdo, PIRP irp)
                              {
                                  Snoop(irp);
                                  PURB urb = UrbOf(irp);
                                  if (urb && UrbTap)
                                      UrbTap(urb, false);
                                  NTSTATUS status = device->Bus().DispatchInternalDeviceControl(pdo, irp);
                                  if (urb && UrbTap && status != STATUS_PENDING)
                                      UrbTap(urb, true);
                                  return status;
                              });
        // The system made the device's instance key when it enumerated the device.
        ASSERT_EQ(plat::RegCreateKeyPath(InstancePath()), STATUS_SUCCESS);
        AddDriver();
    }

    // The driver's device on a physical device without a bus, with these hardware IDs.
    void AddWithoutBus(
        const std::vector<std::u16string>& hardwareIds = sim::DefaultPnpDeviceConfig().Info.HardwareIds)
    {
        sim::PnpDeviceConfig config = sim::DefaultPnpDeviceConfig();
        config.Info.HardwareIds = hardwareIds;
        m_pPnp = new sim::PnpManager(config);
        AddDriver();
    }

    // CreateUsbDevice and Init on the bare adapter, as StartDevice runs them.
    NTSTATUS StartUsbDevice()
    {
        NTSTATUS status = CreateUsbDevice(&m_pCommon);
        if (!NT_SUCCESS(status))
            return status;
        m_pUsbDevice = static_cast<CUsbDevice*>(m_pCommon);
        return m_pCommon->Init(nullptr, Fdo(), Pdo(), Pdo());
    }

    // Stop comes before the last release: a status thread that still holds a reference of its
    // own must not be the one that drops the last.
    void ReleaseDevice()
    {
        if (m_pCommon)
        {
            m_pCommon->Stop();
            m_pCommon->Release();
        }
        m_pCommon = nullptr;
        m_pUsbDevice = nullptr;
    }

    // Removal (or surprise removal, then removal), unload, and the leak checks; once.
    void RemoveAndCheck(bool surprise = false)
    {
        if (m_bChecked)
            return;
        m_bChecked = true;
        m_pPanel.reset();
        ReleaseDevice();
        if (m_pPnp)
        {
            PDEVICE_OBJECT fdo = m_pPnp->Fdo();
            if (fdo && surprise)
            {
                EXPECT_EQ(m_pPnp->SurpriseRemove(), STATUS_SUCCESS);
            }
            if (fdo)
            {
                EXPECT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
            }
            if (m_pFdo)
                plat::PcForgetDevice(m_pFdo);
            m_pPnp->UnloadDriver();
            if (m_Device)
                m_Device->Detach(*m_pPnp);
        }
        delete m_pPnp;
        m_pPnp = nullptr;
        if (m_Device)
        {
            EXPECT_EQ(m_Device->Bus().InterfaceReferenceCount(), 0) << "bus interface references left";
        }
        m_Device.reset();
        m_pDevice = nullptr;
        UsbDeviceSetAudioFunctionCreators(m_pPreviousCreators);
        plat::FailSystemThreadCreations(0);
        plat::ClearPoolFailures();
        plat::PcSetVersion(plat::kDefaultPortClsVersion);
        ExpectNoSystemThreadLeft();
        plat::Shutdown();
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "") << "pool blocks left after removal";
        EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_Objects) << "kernel objects left after removal";
        EXPECT_EQ(plat::IoLiveDeviceCount(), m_Devices) << "device objects left after removal";
        EXPECT_EQ(plat::IoLiveIrpCount(), m_Irps) << "IRPs left after removal";
        EXPECT_EQ(plat::TimerResolutionRaises(), m_Raises) << "timer resolution raised and never released";
        EXPECT_EQ(plat::TimerResolutionUnmatchedReleases(), m_Unmatched)
            << "timer resolution released too often";
        EXPECT_EQ(plat::LiveSystemThreadCount(), 0u) << "system threads outlive the driver";
        EXPECT_EQ(plat::QueuedTimerCount(), 0u) << "timers left queued";
        if (!m_Folder.empty())
        {
            plat::SetSystemRootFolder("");
            std::error_code ignored;
            std::filesystem::remove_all(m_Folder, ignored);
        }
    }

    // After removal no thread of the driver may run on. One on its way out gets the moment it
    // needs (virtual time stands still while any thread can run); one still there is named,
    // before the shutdown, which waits for it, can only report a deadlock.
    static void ExpectNoSystemThreadLeft()
    {
        RunFor(10000);
        if (plat::LiveSystemThreadCount() == 0)
            return;
        const std::string threads = plat::DescribeThreads();
        ADD_FAILURE() << "system threads outlive the removal:\n" << threads;
        std::fprintf(stderr, "system threads outlive the removal:\n%s\n", threads.c_str());
    }

    // ---- The device's faults ----

    sim::PortFaults& Faults() { return m_Faults; }
    void ApplyFaults() { m_pDevice->SetPortFaults(m_Faults); }
    void ScriptPort(std::vector<sim::PortStatusAnswer> answers)
    {
        m_Faults.PortStatusAnswers = std::move(answers);
        ApplyFaults();
    }
    void RewriteControl(sim::ControlRewrite rewrite)
    {
        m_Faults.RewriteControl = std::move(rewrite);
        ApplyFaults();
    }
    // The endpoint halts: its next transfer is answered with a stall.
    void StallEndpoint(uint8_t address)
    {
        m_Faults.StallEndpoint = address;
        ApplyFaults();
        m_Faults.StallEndpoint = 0;
    }

    // ---- What the driver did ----

    PDEVICE_OBJECT Fdo() const { return m_pPnp->Fdo(); }
    PDEVICE_OBJECT Pdo() const { return m_pPnp->Pdo(); }
    sim::PnpManager& Pnp() { return *m_pPnp; }
    sim::SimUsbDevice& Device() { return *m_pDevice; }
    plat::UsbBus& Bus() { return m_pDevice->Bus(); }
    sim::UsbDeviceModel& Model() { return m_pDevice->Model(); }
    sim::AudioControlEngine& Controls() { return Model().AudioControl(); }
    const sim::DeviceProfile& Profile() const { return m_Profile; }
    AdapterDeviceExtension* Extension() { return GetAdapterExtension(m_pFdo); }
    std::u16string SettingsPath() const { return plat::IoDriverKeyPath(Pdo()) + u"\\Settings"; }
    std::u16string InstancePath() const { return plat::IoDeviceInstanceKeyPath(Pdo()); }

    // IUsbDevice of the device, without a reference of the test's own.
    IUsbDevice* Usb()
    {
        IUsbDevice* usb = nullptr;
        EXPECT_EQ(Adapter()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&usb)), STATUS_SUCCESS);
        if (usb)
            usb->Release();
        return usb;
    }

    // The adapter the driver's StartDevice stored, or the one the test made.
    PADAPTERCOMMON Adapter() { return m_pCommon ? m_pCommon : Extension()->AdapterCommon; }

    // The endpoint names the driver gave its streams, in stream order.
    std::vector<std::u16string> EndpointNames()
    {
        std::vector<std::u16string> names;
        PADAPTERCOMMON adapter = Adapter();
        for (ULONG i = 0; adapter && i < adapter->GetStreamCount(); ++i)
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

    // The topology filter, opened on first use.
    sim::ControlPanel& Panel()
    {
        if (!m_pPanel)
        {
            EXPECT_EQ(sim::ControlPanel::Open(Pdo(), u"GlobalTopo", &m_pPanel), STATUS_SUCCESS)
                << "the topology filter does not open";
        }
        return *m_pPanel;
    }
    void ClosePanel() { m_pPanel.reset(); }

    // Lets virtual time run (the status thread, the bus, the idle timer get their turn).
    static void RunFor(ULONGLONG duration100ns)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -LONGLONG(duration100ns);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }

    // The class requests of the device's log (from since on) that match; -1 matches any.
    std::vector<sim::ControlRecord> Requests(int requestType, int request, int entity = -1, int selector = -1,
                                             int channel = -1, uint64_t since = 0)
    {
        std::vector<sim::ControlRecord> found;
        for (const sim::ControlRecord& r : Model().Log())
        {
            const sim::SetupPacket& s = r.Setup;
            if (r.Sequence <= since || (requestType >= 0 && s.RequestType != requestType) ||
                (request >= 0 && s.Request != request) || (entity >= 0 && (s.Index >> 8) != entity) ||
                (selector >= 0 && (s.Value >> 8) != selector) ||
                (channel >= 0 && (s.Value & 0xFF) != channel))
                continue;
            found.push_back(r);
        }
        return found;
    }
    uint64_t LastSequence()
    {
        std::vector<sim::ControlRecord> log = Model().Log();
        return log.empty() ? 0 : log.back().Sequence;
    }

    std::vector<SelectedInterface> Selected()
    {
        std::lock_guard<std::mutex> lock(m_SnoopLock);
        return m_Selected;
    }
    // Internal device-control codes other than URB submissions, in order.
    std::vector<ULONG> PortRequests()
    {
        std::lock_guard<std::mutex> lock(m_SnoopLock);
        return m_PortRequests;
    }

    void WriteSystemFile(const std::string& name, const std::string& bytes) const
    {
        std::ofstream out(m_Folder + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    // Sees each URB the driver sends the bus: before the bus takes it (Answered false) and,
    // when the bus answers at once, after (Answered true). On the sender's thread.
    std::function<void(PURB Urb, bool Answered)> UrbTap;

    RigOptions m_Options;
    sim::PnpManager* m_pPnp = nullptr;
    sim::SimUsbDevice* m_pDevice = nullptr;
    PDEVICE_OBJECT m_pFdo = nullptr;
    PADAPTERCOMMON m_pCommon = nullptr;
    CUsbDevice* m_pUsbDevice = nullptr;
    std::string m_Folder;

private:
    void AddDriver()
    {
        ASSERT_EQ(m_pPnp->LoadDriver(m_Options.DriverEntry ? DriverEntry : BareDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
        m_pFdo = m_pPnp->Fdo();
        ASSERT_NE(m_pFdo, nullptr);
    }

    static PURB UrbOf(PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        return stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB
                   ? static_cast<PURB>(stack->Parameters.Others.Argument1)
                   : nullptr;
    }

    void Snoop(PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        std::lock_guard<std::mutex> lock(m_SnoopLock);
        if (code != IOCTL_INTERNAL_USB_SUBMIT_URB)
        {
            m_PortRequests.push_back(code);
            return;
        }
        auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (!urb || urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION ||
            !urb->UrbSelectConfiguration.ConfigurationDescriptor)
            return;
        m_Selected.clear();
        PUCHAR position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
        PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        while (end - position >= LONG_PTR(offsetof(USBD_INTERFACE_INFORMATION, Pipes)))
        {
            auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
            if (info->Length == 0 || info->Length > end - position)
                break;
            SelectedInterface entry{info->InterfaceNumber, info->AlternateSetting, {}};
            for (ULONG i = 0; i < info->NumberOfPipes; ++i)
                entry.MaximumTransferSizes.push_back(info->Pipes[i].MaximumTransferSize);
            m_Selected.push_back(entry);
            position += info->Length;
        }
    }

    sim::DeviceProfile m_Profile;
    std::shared_ptr<sim::SimUsbDevice> m_Device;
    std::unique_ptr<sim::ControlPanel> m_pPanel;
    sim::PortFaults m_Faults;
    const AudioFunctionCreators* m_pPreviousCreators = nullptr;
    bool m_bChecked = true;
    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
    SIZE_T m_Devices = 0;
    SIZE_T m_Irps = 0;
    LONG m_Raises = 0;
    LONG m_Unmatched = 0;
    std::mutex m_SnoopLock;
    std::vector<SelectedInterface> m_Selected;
    std::vector<ULONG> m_PortRequests;
};

} // namespace rig
