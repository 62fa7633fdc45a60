// The end-to-end rig: the real driver (DriverEntry) loaded by the plug-and-play host on a
// simulated device, with nothing of the driver replaced. Scenarios read as short scripts:
// LoadOn(profile), Start(), act through the host (Panel(), Pnp(), Device()), assert on the
// device's own record. TearDown removes the device, unloads the driver and fails the test when
// anything of the driver is left in pool or in the object manager.
#pragma once

#include <gtest/gtest.h>

#include "ntddk.h"
#include "plat_pool.h"
#include "sim/device/audio_control.h"
#include "sim/device/usb_sim_device.h"
#include "sim/host/control_panel.h"
#include "sim/host/pnp_manager.h"
#include "sim/profiles/profile.h"

#include <memory>
#include <string>
#include <vector>

namespace e2e
{

constexpr ULONGLONG kMillisecond = 10000; // 100 ns units

// Class request codes as they cross the wire.
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kClassInterfaceOut = 0x21;
constexpr uint8_t kClassInterfaceIn = 0xA1;

// Feature-unit control selectors of release 1.0.
constexpr uint8_t kMute = 1, kVolume = 2, kBass = 3, kMid = 4, kTreble = 5, kAgc = 7, kLoudness = 10;

// Levels: the device speaks 1/256 dB, the audio stack 1/65536 dB.
constexpr LONG kDriverUnitsPerDeviceUnit = 256;
inline LONG Db(double decibels)
{
    return LONG(decibels * 65536.0);
}

class DriverRig : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs the device of a built-in profile (or profile file, or dump) in, loads the driver and
    // adds its device. Fails the test when any step fails.
    void LoadOn(const std::string& NameOrPath);
    void LoadOn(const sim::DeviceProfile& Profile);
    NTSTATUS Start();
    // Start, which must succeed, then the device's first status sweep.
    void StartOk();
    // Removal (or surprise removal then removal), unload, and the leak checks; idempotent.
    void RemoveAndCheck(bool Surprise = false);

    sim::PnpManager& Pnp() { return *m_pPnp; }
    sim::SimUsbDevice& Device() { return *m_pDevice; }
    sim::AudioControlEngine& Controls() { return m_pDevice->Model().AudioControl(); }
    const sim::DeviceProfile& Profile() const { return m_Profile; }
    PDEVICE_OBJECT Pdo() const { return m_pPnp->Pdo(); }
    PDEVICE_OBJECT Fdo() const { return m_pFdo; }
    // The topology filter, opened on first use.
    sim::ControlPanel& Panel();
    void ClosePanel() { m_pPanel.reset(); }

    // Lets virtual time run (the status thread, the bus, the idle timer get their turn).
    static void RunFor(ULONGLONG Duration100ns);

    // The endpoint names the driver gave its streams, in stream order.
    std::vector<std::u16string> EndpointNames();

    // The KS node of a type upstream of the first output pin of a category; ~0u when none.
    ULONG NodeUpstreamOf(const GUID& PinCategory, const GUID& NodeType);

    // The class requests of the device's log (from Since on) that match.
    std::vector<sim::ControlRecord> Requests(uint8_t RequestType, uint8_t Request, int Entity = -1,
                                             int Selector = -1, int Channel = -1, uint64_t Since = 0);
    uint64_t LastSequence();

    // A 16-bit level the device holds.
    int32_t DeviceValue(uint8_t Entity, uint8_t Selector, uint8_t Channel);

private:
    void Unload();

    sim::DeviceProfile m_Profile;
    std::unique_ptr<sim::PnpManager> m_pPnp;
    std::shared_ptr<sim::SimUsbDevice> m_pDevice;
    std::unique_ptr<sim::ControlPanel> m_pPanel;
    PDEVICE_OBJECT m_pFdo = nullptr;
    bool m_bLoaded = false;
    bool m_bAdded = false;
    bool m_bChecked = true;

    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
    SIZE_T m_Devices = 0;
    SIZE_T m_Irps = 0;
    LONG m_Raises = 0;
    LONG m_Unmatched = 0;
};

// ---- The oracle: what the descriptors say the topology filter must show ----

// A pin as the audio stack sees it: its category and whether data leaves the filter through it.
struct PinLabel
{
    GUID Category;
    bool Out;
    bool operator<(const PinLabel& Other) const;
    bool operator==(const PinLabel& Other) const;
};

// One path from an input pin to an output pin and the node types met on the way (sorted).
struct PathSignature
{
    PinLabel From;
    PinLabel To;
    std::vector<std::string> NodeTypes;
    bool operator<(const PathSignature& Other) const;
    bool operator==(const PathSignature& Other) const;
};

struct ExpectedTopology
{
    std::vector<PinLabel> Pins;             // sorted
    std::vector<std::string> NodeTypes;     // sorted type names
    std::vector<PathSignature> Paths;       // sorted
    std::vector<std::string> EndpointNames; // in streaming-interface order
};

// Computed from the profile's configuration descriptor (terminals, units, control bitmaps) and
// from the terminal-type lists the profile gives its output terminals.
ExpectedTopology TopologyFromDescriptors(const sim::DeviceProfile& Profile);

// The same view read from the driver's topology filter through the control panel.
ExpectedTopology TopologyFromFilter(sim::ControlPanel& Panel);

std::string NodeTypeName(const GUID& Type);
std::string Describe(const ExpectedTopology& Topology);

// Audio-streaming interfaces of the configuration (each one endpoint of the driver).
size_t StreamingInterfaceCount(const sim::DeviceProfile& Profile);

// The node channels of a feature-unit control as wire channels: node channel i is entry i.
std::vector<uint8_t> WireChannels(const sim::DeviceProfile& Profile, uint8_t FeatureUnit, uint8_t Selector);

// The class-1 descriptor dumps beside the project, or an empty list when there are none.
std::vector<std::string> RealClass1Dumps();

} // namespace e2e
