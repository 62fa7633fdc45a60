// Standard requests of the simulated device, answered from its profile, and the fault knobs.
#include "sim/device/device_model.h"

#include "sim/device/audio_control.h"
#include "sim/device/register_chip.h"
#include "sim/profiles/descriptor_span.h"

#include <algorithm>

namespace sim
{

namespace
{

constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kTypeVendor = 0x40;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kRecipientEndpoint = 2;

ControlResult Stall()
{
    return ControlResult{ControlOutcome::Stall, {}, 0};
}

ControlResult Answer(std::vector<uint8_t> data, uint16_t length)
{
    if (data.size() > length)
    {
        data.resize(length);
    }
    return ControlResult{ControlOutcome::Ack, std::move(data), 0};
}

ControlResult Ack()
{
    return ControlResult{ControlOutcome::Ack, {}, 0};
}

bool FieldMatches(int wanted, unsigned actual)
{
    return wanted < 0 || unsigned(wanted) == actual;
}

} // namespace

bool RequestFilter::Matches(const SetupPacket& setup) const
{
    return FieldMatches(RequestType, setup.RequestType) && FieldMatches(Request, setup.Request) &&
           FieldMatches(Value, setup.Value) && FieldMatches(Index, setup.Index);
}

UsbDeviceModel::UsbDeviceModel(const DeviceProfile& profile)
    : m_profile(profile), m_audioControl(new AudioControlEngine(profile))
{
    m_classHandler = m_audioControl.get();
    if (profile.HidChipInterface() >= 0)
    {
        m_chip.reset(new RegisterChip(uint8_t(profile.HidChipInterface())));
    }
    BuildInterfaces();
}

UsbDeviceModel::~UsbDeviceModel() = default;

// Interfaces with their alternate settings and endpoints, from the configuration the profile
// validated when it loaded; the walk is bounded all the same, and runt interface or endpoint
// descriptors are skipped rather than read past.
void UsbDeviceModel::BuildInterfaces()
{
    AltSetting* current = nullptr;
    uint8_t currentInterface = 0;
    for (const DescriptorSpan& d : SplitDescriptors(m_profile.ConfigurationDescriptor()))
    {
        if (d.Type() == 4 && d.Has(9))
        {
            currentInterface = d.At(2);
            Interface* iface = FindInterface(currentInterface);
            if (iface == nullptr)
            {
                m_interfaces.push_back(Interface{currentInterface, {}, 0});
                iface = &m_interfaces.back();
            }
            iface->Alternates.push_back(AltSetting{d.At(3), {}});
            current = &iface->Alternates.back();
        }
        else if (d.Type() == 5 && d.Has(7) && current != nullptr)
        {
            ActiveEndpoint ep;
            ep.InterfaceNumber = currentInterface;
            ep.AlternateSetting = current->Number;
            ep.Address = d.At(2);
            ep.Attributes = d.At(3);
            ep.MaxPacketSize = d.Le16(4);
            ep.Interval = d.At(6);
            current->Endpoints.push_back(ep);
        }
    }
}

UsbDeviceModel::Interface* UsbDeviceModel::FindInterface(uint8_t number)
{
    for (Interface& i : m_interfaces)
    {
        if (i.Number == number)
        {
            return &i;
        }
    }
    return nullptr;
}

const UsbDeviceModel::Interface* UsbDeviceModel::FindInterface(uint8_t number) const
{
    return const_cast<UsbDeviceModel*>(this)->FindInterface(number);
}

ControlResult UsbDeviceModel::HandleControl(const SetupPacket& setup, const std::vector<uint8_t>& outData)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    ControlRecord record;
    record.Sequence = ++m_sequence;
    record.Setup = setup;
    record.OutData = outData;

    ControlResult result;
    if (m_faults.Vanished)
    {
        result.Outcome = ControlOutcome::DeviceGone;
    }
    else if (m_faults.StallRequestNumber == record.Sequence ||
             (m_faults.StallMatching && m_faults.StallFilter.Matches(setup)))
    {
        result = Stall();
    }
    else
    {
        result = Dispatch(setup, outData);
    }
    if (result.Outcome != ControlOutcome::DeviceGone && m_faults.Delay100ns != 0 &&
        m_faults.DelayFilter.Matches(setup))
    {
        result.Delay100ns = m_faults.Delay100ns;
    }
    // A handler may not answer with more than the host asked for.
    if (result.Data.size() > setup.Length)
    {
        result.Data.resize(setup.Length);
    }
    record.Outcome = result.Outcome;
    record.InLength = result.Data.size();
    record.Delay100ns = result.Delay100ns;
    m_log.push_back(std::move(record));
    return result;
}

ControlResult UsbDeviceModel::Dispatch(const SetupPacket& setup, const std::vector<uint8_t>& outData)
{
    switch (setup.RequestType & kTypeMask)
    {
    case kTypeStandard:
        return Standard(setup);
    case kTypeClass:
        if (m_chip && m_chip->Handles(setup))
        {
            return m_chip->Handle(setup, outData);
        }
        return m_classHandler != nullptr ? m_classHandler->HandleClassRequest(setup, outData) : Stall();
    case kTypeVendor:
        return Vendor(setup, outData);
    default:
        return Stall();
    }
}

ControlResult UsbDeviceModel::Standard(const SetupPacket& setup)
{
    const bool in = (setup.RequestType & kDirectionIn) != 0;
    const uint8_t recipient = setup.RequestType & kRecipientMask;
    switch (setup.Request)
    {
    case 0x00: // GET_STATUS
        return in ? GetStatus(setup) : Stall();
    case 0x01: // CLEAR_FEATURE
    case 0x03: // SET_FEATURE
        return in ? Stall() : Feature(setup);
    case 0x05: // SET_ADDRESS: the bus owns addressing
        return !in && recipient == kRecipientDevice ? Ack() : Stall();
    case 0x06: // GET_DESCRIPTOR
        return in && recipient == kRecipientDevice ? GetDescriptor(setup) : Stall();
    case 0x08: // GET_CONFIGURATION
        return in && recipient == kRecipientDevice ? Answer({m_configuration}, setup.Length) : Stall();
    case 0x09: // SET_CONFIGURATION
        return !in && recipient == kRecipientDevice ? SetConfiguration(setup) : Stall();
    case 0x0A: // GET_INTERFACE
    {
        const Interface* iface = FindInterface(uint8_t(setup.Index));
        if (!in || recipient != kRecipientInterface || m_configuration == 0 || iface == nullptr)
        {
            return Stall();
        }
        return Answer({iface->Current}, setup.Length);
    }
    case 0x0B: // SET_INTERFACE
        return !in && recipient == kRecipientInterface ? SetInterface(setup) : Stall();
    default:
        return Stall();
    }
}

ControlResult UsbDeviceModel::GetDescriptor(const SetupPacket& setup) const
{
    const uint8_t type = uint8_t(setup.Value >> 8);
    const uint8_t index = uint8_t(setup.Value);
    switch (type)
    {
    case 1:
        return index == 0 ? Answer(m_profile.DeviceDescriptor(), setup.Length) : Stall();
    case 2: // only the first configuration is served
        return index == 0 ? Answer(m_profile.ConfigurationDescriptor(), setup.Length) : Stall();
    case 3:
    {
        ControlResult r = StringDescriptor(index, setup.Index);
        if (r.Data.size() > setup.Length)
        {
            r.Data.resize(setup.Length);
        }
        return r;
    }
    default:
        return Stall();
    }
}

ControlResult UsbDeviceModel::StringDescriptor(uint8_t index, uint16_t languageId) const
{
    std::vector<uint8_t> d;
    if (index == 0)
    {
        for (uint16_t id : m_profile.LanguageIds())
        {
            d.push_back(uint8_t(id));
            d.push_back(uint8_t(id >> 8));
        }
    }
    else
    {
        const ProfileString* s = m_profile.FindString(index, languageId);
        if (s == nullptr)
        {
            return Stall();
        }
        for (char16_t unit : s->Text)
        {
            d.push_back(uint8_t(unit));
            d.push_back(uint8_t(unit >> 8));
        }
    }
    d.insert(d.begin(), {uint8_t(d.size() + 2), 3});
    return ControlResult{ControlOutcome::Ack, d, 0};
}

bool UsbDeviceModel::EndpointExists(uint8_t address) const
{
    if ((address & 0x7F) == 0)
    {
        return true;
    }
    for (const ActiveEndpoint& ep : ActiveEndpoints())
    {
        if (ep.Address == address)
        {
            return true;
        }
    }
    return false;
}

ControlResult UsbDeviceModel::GetStatus(const SetupPacket& setup) const
{
    if (setup.Value != 0 || setup.Length != 2)
    {
        return Stall();
    }
    switch (setup.RequestType & kRecipientMask)
    {
    case kRecipientDevice:
    {
        const uint8_t attributes = DescriptorSpan(m_profile.ConfigurationDescriptor()).At(7);
        return Answer({uint8_t((attributes & 0x40) ? 1 : 0), 0}, 2);
    }
    case kRecipientInterface:
        return m_configuration != 0 && FindInterface(uint8_t(setup.Index)) != nullptr ? Answer({0, 0}, 2)
                                                                                      : Stall();
    case kRecipientEndpoint:
    {
        const uint8_t address = uint8_t(setup.Index);
        if (!EndpointExists(address))
        {
            return Stall();
        }
        bool halted =
            std::find(m_haltedEndpoints.begin(), m_haltedEndpoints.end(), address) != m_haltedEndpoints.end();
        return Answer({uint8_t(halted ? 1 : 0), 0}, 2);
    }
    default:
        return Stall();
    }
}

// ENDPOINT_HALT on an active endpoint and the device's remote-wakeup switch; nothing else.
ControlResult UsbDeviceModel::Feature(const SetupPacket& setup)
{
    const bool set = setup.Request == 0x03;
    switch (setup.RequestType & kRecipientMask)
    {
    case kRecipientDevice:
        return setup.Value == 1 ? Ack() : Stall();
    case kRecipientEndpoint:
    {
        const uint8_t address = uint8_t(setup.Index);
        if (setup.Value != 0 || !EndpointExists(address))
        {
            return Stall();
        }
        m_haltedEndpoints.erase(std::remove(m_haltedEndpoints.begin(), m_haltedEndpoints.end(), address),
                                m_haltedEndpoints.end());
        if (set)
        {
            m_haltedEndpoints.push_back(address);
        }
        return Ack();
    }
    default:
        return Stall();
    }
}

ControlResult UsbDeviceModel::SetConfiguration(const SetupPacket& setup)
{
    const uint8_t value = DescriptorSpan(m_profile.ConfigurationDescriptor()).At(5);
    if (setup.Value != 0 && setup.Value != value)
    {
        return Stall();
    }
    m_configuration = uint8_t(setup.Value);
    for (Interface& i : m_interfaces)
    {
        i.Current = 0;
    }
    m_haltedEndpoints.clear();
    return Ack();
}

ControlResult UsbDeviceModel::SetInterface(const SetupPacket& setup)
{
    Interface* iface = FindInterface(uint8_t(setup.Index));
    if (m_configuration == 0 || iface == nullptr || setup.Value > 0xFF)
    {
        return Stall();
    }
    for (const AltSetting& alt : iface->Alternates)
    {
        if (alt.Number == setup.Value)
        {
            iface->Current = alt.Number;
            return Ack();
        }
    }
    return Stall();
}

ControlResult UsbDeviceModel::Vendor(const SetupPacket& setup, const std::vector<uint8_t>& outData)
{
    const VendorRequestAnswer* answer =
        m_profile.FindVendorRequest(setup.RequestType, setup.Request, setup.Value, setup.Index);
    if (answer == nullptr)
    {
        return m_classHandler != nullptr ? m_classHandler->HandleVendorRequest(setup, outData) : Stall();
    }
    if (answer->Stall)
    {
        return Stall();
    }
    return Answer(answer->Data, setup.Length);
}

void UsbDeviceModel::ResetPort()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_configuration = 0;
    for (Interface& i : m_interfaces)
    {
        i.Current = 0;
    }
    m_haltedEndpoints.clear();
}

void UsbDeviceModel::SetFaults(const DeviceFaults& faults)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_faults = faults;
}

DeviceFaults UsbDeviceModel::Faults() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_faults;
}

bool UsbDeviceModel::IsVanished() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_faults.Vanished;
}

void UsbDeviceModel::SetClassHandler(IClassRequestHandler* handler)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_classHandler = handler;
}

std::vector<ControlRecord> UsbDeviceModel::Log() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_log;
}

void UsbDeviceModel::ClearLog()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_log.clear();
}

uint8_t UsbDeviceModel::Configuration() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_configuration;
}

int UsbDeviceModel::AlternateSetting(uint8_t interfaceNumber) const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    const Interface* iface = FindInterface(interfaceNumber);
    return iface == nullptr ? -1 : iface->Current;
}

std::vector<ActiveEndpoint> UsbDeviceModel::ActiveEndpoints() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<ActiveEndpoint> out;
    if (m_configuration == 0)
    {
        return out;
    }
    for (const Interface& i : m_interfaces)
    {
        for (const AltSetting& alt : i.Alternates)
        {
            if (alt.Number == i.Current)
            {
                out.insert(out.end(), alt.Endpoints.begin(), alt.Endpoints.end());
                break;
            }
        }
    }
    return out;
}

} // namespace sim
