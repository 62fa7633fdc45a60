// The end-to-end rig: the one driver rig with the real driver (DriverEntry), nothing of it
// replaced. Scenarios read as short scripts: LoadOn(profile), Start(), act through the host
// (Panel(), Pnp(), Device()), assert on the device's own record. TearDown removes the device,
// unloads the driver and fails the test when anything of the driver is left behind.
#pragma once

#include <gtest/gtest.h>

#include "support/driver_rig.h"

#include "sim/device/audio_control.h"

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

class DriverRig : public rig::DriverRig
{
protected:
    DriverRig() : rig::DriverRig(rig::WholeDriver()) {}

    // Plugs the device of a built-in profile (or profile file, or dump) in, loads the driver and
    // adds its device. Fails the test when any step fails.
    void LoadOn(const std::string& NameOrPath) { Plug(NameOrPath); }
    void LoadOn(const sim::DeviceProfile& Profile) { PlugProfile(Profile); }
    NTSTATUS Start() { return Pnp().Start(); }
    // Start, which must succeed, then the device's first status sweep.
    void StartOk();

    // The KS node of a type upstream of the first output pin of a category; ~0u when none.
    ULONG NodeUpstreamOf(const GUID& PinCategory, const GUID& NodeType);

    // A 16-bit level the device holds.
    int32_t DeviceValue(uint8_t Entity, uint8_t Selector, uint8_t Channel);
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

// The formats every endpoint of the started device offers, in list order, one run of entries
// that differ only in rate at a time: "SPKOut00 2x16 0x3: 44100 48000 | MicIn00 1x16/16 0x4: ...",
// with the valid bits after a slash where they differ and a sub-format other than PCM as its tag.
std::string OfferedFormats(PADAPTERCOMMON Adapter);

// Audio-streaming interfaces of the configuration (each one endpoint of the driver).
size_t StreamingInterfaceCount(const sim::DeviceProfile& Profile);

// The node channels of a feature-unit control as wire channels: node channel i is entry i.
std::vector<uint8_t> WireChannels(const sim::DeviceProfile& Profile, uint8_t FeatureUnit, uint8_t Selector);

} // namespace e2e
