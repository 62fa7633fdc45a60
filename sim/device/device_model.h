// The control side of the simulated USB audio device: it answers setup packets on the default
// pipe from its profile (descriptors, strings, configuration and interface state, vendor
// requests), keeps a log of every request for tests, and applies the faults it is told to.
// It knows nothing of IRPs or URBs: the bus turns URBs into setup packets and results back
// into USBD status, and applies any delay on the platform clock.
#pragma once

#include "sim/profiles/profile.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim
{

struct SetupPacket
{
    uint8_t RequestType = 0; // bmRequestType
    uint8_t Request = 0;     // bRequest
    uint16_t Value = 0;      // wValue
    uint16_t Index = 0;      // wIndex
    uint16_t Length = 0;     // wLength
};

enum class ControlOutcome
{
    Ack,        // completed; IN data in the result
    Stall,      // the device answered with a stall handshake
    DeviceGone, // the device has vanished from the bus: nothing answers
};

struct ControlResult
{
    ControlOutcome Outcome = ControlOutcome::Stall;
    std::vector<uint8_t> Data; // IN: at most wLength bytes
    uint64_t Delay100ns = 0;   // how long the bus holds the completion, on the platform clock
};

// Matches setup packets; -1 in a field matches any value.
struct RequestFilter
{
    int RequestType = -1;
    int Request = -1;
    int Value = -1;
    int Index = -1;

    bool Matches(const SetupPacket& setup) const;
};

// Faults on demand. Every knob is off by default; the device applies them, the driver never
// sees them.
struct DeviceFaults
{
    uint64_t StallRequestNumber = 0; // stall the request with this log sequence number (1 = first)
    bool StallMatching = false;      // stall every request that StallFilter matches
    RequestFilter StallFilter;
    uint64_t Delay100ns = 0; // hold every request that DelayFilter matches this long
    RequestFilter DelayFilter;
    bool Vanished = false; // gone from the bus: every request fails as for a removed device
};

struct ControlRecord
{
    uint64_t Sequence = 0; // 1 for the first request the device saw
    SetupPacket Setup;
    std::vector<uint8_t> OutData;
    ControlOutcome Outcome = ControlOutcome::Stall;
    size_t InLength = 0;
    uint64_t Delay100ns = 0;
};

// An endpoint of an interface's current alternate setting, as the bus needs it to check pipes.
struct ActiveEndpoint
{
    uint8_t InterfaceNumber = 0;
    uint8_t AlternateSetting = 0;
    uint8_t Address = 0;
    uint8_t Attributes = 0;
    uint16_t MaxPacketSize = 0;
    uint8_t Interval = 0;
};

// Class requests (audio entities, endpoints, clocks) are answered by a handler that the class
// behaviour supplies; without one they stall. Vendor requests that the profile does not list
// go to the handler too (class-1 devices extend their terminals with vendor requests).
class IClassRequestHandler
{
public:
    virtual ~IClassRequestHandler() = default;
    // Answers a class request; OutData holds a host-to-device request's data.
    virtual ControlResult HandleClassRequest(const SetupPacket& Setup,
                                             const std::vector<uint8_t>& OutData) = 0;
    virtual ControlResult HandleVendorRequest(const SetupPacket& Setup, const std::vector<uint8_t>& OutData)
    {
        return ControlResult{ControlOutcome::Stall, {}, 0};
    }
};

class AudioControlEngine;
class RegisterChip;

class UsbDeviceModel
{
public:
    // The device answers class requests with an AudioControlEngine over its profile until
    // SetClassHandler replaces it.
    explicit UsbDeviceModel(const DeviceProfile& Profile);
    ~UsbDeviceModel();

    // One control transfer on the default pipe. Thread-safe.
    ControlResult HandleControl(const SetupPacket& Setup, const std::vector<uint8_t>& OutData = {});

    // A port reset: the device is unconfigured again; its log and faults stay.
    void ResetPort();

    void SetFaults(const DeviceFaults& Faults);
    DeviceFaults Faults() const;
    bool IsVanished() const;
    void SetClassHandler(IClassRequestHandler* Handler);
    // The device's own control engine (whether or not it is the current handler).
    AudioControlEngine& AudioControl() { return *m_audioControl; }
    // The register chip behind HID reports, or null when the profile gives the device none.
    RegisterChip* Chip() { return m_chip.get(); }

    std::vector<ControlRecord> Log() const;
    void ClearLog();

    uint8_t Configuration() const;                       // 0 when unconfigured
    int AlternateSetting(uint8_t InterfaceNumber) const; // -1 for an unknown interface
    std::vector<ActiveEndpoint> ActiveEndpoints() const; // empty when unconfigured
    const DeviceProfile& Profile() const { return m_profile; }

private:
    struct AltSetting
    {
        uint8_t Number = 0;
        std::vector<ActiveEndpoint> Endpoints;
    };
    struct Interface
    {
        uint8_t Number = 0;
        std::vector<AltSetting> Alternates;
        uint8_t Current = 0;
    };

    void BuildInterfaces();
    Interface* FindInterface(uint8_t Number);
    const Interface* FindInterface(uint8_t Number) const;
    bool EndpointExists(uint8_t Address) const;
    ControlResult Dispatch(const SetupPacket& Setup, const std::vector<uint8_t>& OutData);
    ControlResult Standard(const SetupPacket& Setup);
    ControlResult GetDescriptor(const SetupPacket& Setup) const;
    ControlResult StringDescriptor(uint8_t Index, uint16_t LanguageId) const;
    ControlResult GetStatus(const SetupPacket& Setup) const;
    ControlResult Feature(const SetupPacket& Setup);
    ControlResult SetConfiguration(const SetupPacket& Setup);
    ControlResult SetInterface(const SetupPacket& Setup);
    ControlResult Vendor(const SetupPacket& Setup, const std::vector<uint8_t>& OutData);

    const DeviceProfile m_profile;
    mutable std::recursive_mutex m_lock; // a class handler may call back in
    std::vector<Interface> m_interfaces;
    std::vector<uint8_t> m_haltedEndpoints;
    uint8_t m_configuration = 0;
    DeviceFaults m_faults;
    std::unique_ptr<AudioControlEngine> m_audioControl;
    std::unique_ptr<RegisterChip> m_chip;
    IClassRequestHandler* m_classHandler = nullptr;
    std::vector<ControlRecord> m_log;
    uint64_t m_sequence = 0;
};

} // namespace sim
