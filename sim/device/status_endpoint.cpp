// The status-interrupt endpoint: reports built from control changes, queued per endpoint and
// handed to the bus's interrupt-IN reads in order.
#include "sim/device/status_endpoint.h"

#include <algorithm>

namespace sim
{

namespace
{

constexpr uint8_t kInterfaceDescriptor = 4;
constexpr uint8_t kEndpointDescriptor = 5;
constexpr uint8_t kAudioClass = 1;
constexpr uint8_t kAudioControlSubclass = 1;
constexpr uint8_t kRelease2Protocol = 0x20;
constexpr uint8_t kInterruptTransfer = 3;

} // namespace

StatusEndpoint::StatusEndpoint(const DeviceProfile& Profile, AudioControlEngine& Controls,
                               ReadyFunction Ready)
    : m_controls(Controls), m_ready(std::move(Ready))
{
    ReadConfiguration(Profile.ConfigurationDescriptor());
    m_observer = m_controls.AddChangeObserver([this](const ControlChange& change) { Report(change); });
}

StatusEndpoint::~StatusEndpoint()
{
    m_controls.RemoveChangeObserver(m_observer);
}

// The first interrupt-IN endpoint of each audio-control interface is its status endpoint.
void StatusEndpoint::ReadConfiguration(const std::vector<uint8_t>& Configuration)
{
    bool inControl = false;
    uint8_t interfaceNumber = 0;
    bool release2 = false;
    for (size_t at = 0; at + 2 <= Configuration.size();)
    {
        const uint8_t length = Configuration[at];
        if (length < 2 || at + length > Configuration.size())
            break;
        const uint8_t* d = &Configuration[at];
        if (d[1] == kInterfaceDescriptor && length >= 9)
        {
            inControl = d[5] == kAudioClass && d[6] == kAudioControlSubclass;
            interfaceNumber = d[2];
            release2 = d[7] == kRelease2Protocol;
        }
        else if (d[1] == kEndpointDescriptor && length >= 7 && inControl && (d[2] & 0x80) != 0 &&
                 (d[3] & 0x03) == kInterruptTransfer && m_byInterface.count(interfaceNumber) == 0)
        {
            Endpoint endpoint;
            endpoint.Address = d[2];
            endpoint.Release2 = release2;
            m_byInterface[interfaceNumber] = endpoint;
        }
        at += length;
    }
}

std::vector<uint8_t> StatusEndpoint::Uac1Report(uint8_t EntityId)
{
    return {kUac1StatusInterruptPending, EntityId};
}

std::vector<uint8_t> StatusEndpoint::Uac2Report(const ControlChange& Change)
{
    // bInfo 0: a class-specific interface message, not a vendor or endpoint one.
    return {0x00,           kUac2AttributeCur, Change.Channel, Change.Selector, Change.InterfaceNumber,
            Change.EntityId};
}

bool StatusEndpoint::Serves(uint8_t EndpointAddress) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& entry : m_byInterface)
        if (entry.second.Address == EndpointAddress)
            return true;
    return false;
}

uint8_t StatusEndpoint::AddressOf(uint8_t ControlInterface) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_byInterface.find(ControlInterface);
    return it == m_byInterface.end() ? 0 : it->second.Address;
}

bool StatusEndpoint::Report(const ControlChange& Change)
{
    uint8_t address = 0;
    bool release2 = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_byInterface.find(Change.InterfaceNumber);
        if (it == m_byInterface.end())
            return false;
        address = it->second.Address;
        release2 = it->second.Release2;
    }
    return Queue(address, release2 ? Uac2Report(Change) : Uac1Report(Change.EntityId));
}

bool StatusEndpoint::QueueRaw(uint8_t EndpointAddress, std::vector<uint8_t> Report)
{
    return Queue(EndpointAddress, std::move(Report));
}

// The bus is told outside the lock: its read comes back into Read, which takes it.
bool StatusEndpoint::Queue(uint8_t EndpointAddress, std::vector<uint8_t> Report)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = std::find_if(m_byInterface.begin(), m_byInterface.end(),
                               [EndpointAddress](const auto& entry)
                               { return entry.second.Address == EndpointAddress; });
        if (it == m_byInterface.end())
            return false;
        it->second.Reports.push_back(std::move(Report));
    }
    if (m_ready)
        m_ready(EndpointAddress);
    return true;
}

bool StatusEndpoint::Read(uint8_t EndpointAddress, uint8_t* Data, uint32_t Capacity, uint32_t* Length)
{
    *Length = 0;
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& entry : m_byInterface)
    {
        Endpoint& endpoint = entry.second;
        if (endpoint.Address != EndpointAddress)
            continue;
        if (endpoint.Reports.empty())
            return false;
        const std::vector<uint8_t>& report = endpoint.Reports.front();
        *Length = uint32_t(std::min<size_t>(report.size(), Capacity));
        std::copy(report.begin(), report.begin() + *Length, Data);
        endpoint.Reports.pop_front();
        ++m_delivered;
        return true;
    }
    return false;
}

size_t StatusEndpoint::PendingReports(uint8_t EndpointAddress) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& entry : m_byInterface)
        if (entry.second.Address == EndpointAddress)
            return entry.second.Reports.size();
    return 0;
}

size_t StatusEndpoint::DeliveredReports() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_delivered;
}

} // namespace sim
