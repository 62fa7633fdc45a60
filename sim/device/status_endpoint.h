// The simulated device's status-interrupt endpoint: the interrupt-IN endpoint of an
// audio-control interface, on which the device reports controls that changed on the device
// itself. Release 1.0 sends the 2-byte status word (bStatusType with the interrupt-pending bit
// and the audio-control interface as originator, then bOriginator, the entity id); release 2.0
// sends the 6-byte interrupt data message (bInfo, bAttribute CUR, wValue = selector and
// channel, wIndex = entity id and interface). Reports wait in order until the host reads
// them: none is lost while no read is pending.
#pragma once

#include "sim/device/audio_control.h"
#include "sim/profiles/profile.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace sim
{

// Sizes of the reports on the wire.
constexpr size_t kUac1StatusReportBytes = 2;
constexpr size_t kUac2StatusReportBytes = 6;

// The status word's bStatusType: interrupt pending, originator 0 (the audio-control interface).
constexpr uint8_t kUac1StatusInterruptPending = 0x80;
// The interrupt data message's bAttribute for a changed current value.
constexpr uint8_t kUac2AttributeCur = 0x01;

class StatusEndpoint
{
public:
    // Ready is told the endpoint's address whenever a report arrives; it must not be called
    // back into this object's Read synchronously with a lock of the caller held.
    using ReadyFunction = std::function<void(uint8_t EndpointAddress)>;

    // Finds the interrupt-IN endpoint of every audio-control interface in the profile's
    // configuration and reports the changes the control engine announces.
    StatusEndpoint(const DeviceProfile& Profile, AudioControlEngine& Controls, ReadyFunction Ready);
    ~StatusEndpoint();
    StatusEndpoint(const StatusEndpoint&) = delete;
    StatusEndpoint& operator=(const StatusEndpoint&) = delete;

    // Whether the address is a status endpoint of this device.
    bool Serves(uint8_t EndpointAddress) const;
    // The status endpoint of an audio-control interface, or 0 when it has none.
    uint8_t AddressOf(uint8_t ControlInterface) const;

    // Queues the report a change of that control makes, as a change on the device does; false
    // when its interface has no status endpoint.
    bool Report(const ControlChange& Change);
    // Queues any bytes on a status endpoint (a test's malformed or vendor report); false for
    // an address that is not one.
    bool QueueRaw(uint8_t EndpointAddress, std::vector<uint8_t> Report);

    // The bus's read: the oldest report, cut to Capacity; false (NAK) when none waits.
    bool Read(uint8_t EndpointAddress, uint8_t* Data, uint32_t Capacity, uint32_t* Length);

    size_t PendingReports(uint8_t EndpointAddress) const;
    size_t DeliveredReports() const;

    static std::vector<uint8_t> Uac1Report(uint8_t EntityId);
    static std::vector<uint8_t> Uac2Report(const ControlChange& Change);

private:
    struct Endpoint
    {
        uint8_t Address = 0;
        bool Release2 = false;
        std::deque<std::vector<uint8_t>> Reports;
    };

    void ReadConfiguration(const std::vector<uint8_t>& Configuration);
    bool Queue(uint8_t EndpointAddress, std::vector<uint8_t> Report);

    AudioControlEngine& m_controls;
    ReadyFunction m_ready;
    int m_observer = 0;
    mutable std::mutex m_lock;
    std::map<uint8_t, Endpoint> m_byInterface; // audio-control interface -> its status endpoint
    size_t m_delivered = 0;
};

} // namespace sim
