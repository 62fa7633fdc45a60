// Ports and subdevice registration of the stand-in port-class library: PcNewPort hands out the
// topology and WaveCyclic ports (pc_topology_port.cpp, pc_wave_cyclic_port.cpp), and the
// registration log records what the driver registered and removed.
#include "pc_subdevice.h"

#include "pc_port_internal.h"

#include "pc_adapter.h"

#include "plat_fatal.h"
#include "plat_portcls.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace
{

struct Subdevice
{
    std::u16string Name;
    IPort* Port; // referenced while registered
};

struct Connection
{
    PVOID From;
    ULONG FromPin;
    PVOID To;
    ULONG ToPin;

    bool operator==(const Connection& other) const
    {
        return From == other.From && FromPin == other.FromPin && To == other.To && ToPin == other.ToPin;
    }
};

struct DeviceRecord
{
    std::vector<plat::PcRegistrationEntry> Log;
    std::vector<Subdevice> Subdevices;
    std::vector<Connection> Connections;
};

std::mutex g_lock;
std::map<PDEVICE_OBJECT, DeviceRecord> g_devices;
std::map<plat::PcRegistrationOp, NTSTATUS> g_pendingFailures;

// Under g_lock: the injected failure for the operation, or STATUS_SUCCESS.
NTSTATUS TakeInjectedFailure(plat::PcRegistrationOp Op)
{
    auto it = g_pendingFailures.find(Op);
    if (it == g_pendingFailures.end())
        return STATUS_SUCCESS;
    NTSTATUS status = it->second;
    g_pendingFailures.erase(it);
    return status;
}

// The port behind an unknown, without keeping a reference; null when it is no port.
IPort* PortOf(PUNKNOWN Unknown)
{
    if (!Unknown)
        return nullptr;
    IPort* port = nullptr;
    if (!NT_SUCCESS(Unknown->QueryInterface(IID_IPort, reinterpret_cast<PVOID*>(&port))))
        return nullptr;
    port->Release();
    return port;
}

std::u16string NameOf(PCWSTR Name)
{
    std::u16string text;
    for (PCWSTR c = Name; c && *c; ++c)
        text.push_back(*c);
    return text;
}

} // namespace

// Shared by every port's IUnregisterSubdevice.
NTSTATUS plat::pc::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown)
{
    IPort* port = PortOf(Unknown);
    if (!DeviceObject || !port)
        return STATUS_INVALID_PARAMETER;
    IPort* released = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        plat::PcRegistrationEntry entry;
        entry.Op = plat::PcRegistrationOp::UnregisterSubdevice;
        entry.Port = port;
        entry.Status = TakeInjectedFailure(entry.Op);
        DeviceRecord& record = g_devices[DeviceObject];
        auto it = std::find_if(record.Subdevices.begin(), record.Subdevices.end(),
                               [port](const Subdevice& s) { return s.Port == port; });
        if (NT_SUCCESS(entry.Status) && it == record.Subdevices.end())
            entry.Status = STATUS_NOT_FOUND;
        if (NT_SUCCESS(entry.Status))
        {
            entry.Name = it->Name;
            released = it->Port;
            record.Subdevices.erase(it);
        }
        record.Log.push_back(entry);
        if (!NT_SUCCESS(entry.Status))
            return entry.Status;
    }
    plat::pc::OnSubdeviceUnregistered(DeviceObject, released);
    released->Release();
    return STATUS_SUCCESS;
}

NTSTATUS plat::pc::UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin)
{
    Connection connection{PortOf(FromUnknown), FromPin, PortOf(ToUnknown), ToPin};
    if (!DeviceObject || !connection.From || !connection.To)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(g_lock);
    plat::PcRegistrationEntry entry;
    entry.Op = plat::PcRegistrationOp::UnregisterConnection;
    entry.FromPort = connection.From;
    entry.FromPin = FromPin;
    entry.ToPort = connection.To;
    entry.ToPin = ToPin;
    entry.Status = TakeInjectedFailure(entry.Op);
    DeviceRecord& record = g_devices[DeviceObject];
    auto it = std::find(record.Connections.begin(), record.Connections.end(), connection);
    if (NT_SUCCESS(entry.Status) && it == record.Connections.end())
        entry.Status = STATUS_NOT_FOUND;
    if (NT_SUCCESS(entry.Status))
        record.Connections.erase(it);
    record.Log.push_back(entry);
    return entry.Status;
}

NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId)
{
    if (!OutPort)
        return STATUS_INVALID_PARAMETER;
    *OutPort = nullptr;
    if (!IsEqualGUIDAligned(ClassId, CLSID_PortWaveCyclic) &&
        !IsEqualGUIDAligned(ClassId, CLSID_PortTopology))
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(ClassId, CLSID_PortTopology))
        return plat::pc::NewTopologyPort(OutPort);
    return plat::pc::NewWaveCyclicPort(OutPort);
}

NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown)
{
    IPort* port = PortOf(Unknown);
    if (!DeviceObject || !Name || !*Name || !port)
        return STATUS_INVALID_PARAMETER;
    plat::pc::PPCSUBDEVICEPORT subdevice = plat::pc::SubdevicePortOf(port);
    if (subdevice == nullptr || !subdevice->IsBound())
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        plat::PcRegistrationEntry entry;
        entry.Op = plat::PcRegistrationOp::RegisterSubdevice;
        entry.Name = NameOf(Name);
        entry.Port = port;
        entry.Status = TakeInjectedFailure(entry.Op);
        DeviceRecord& record = g_devices[DeviceObject];
        for (const Subdevice& s : record.Subdevices)
        {
            if (NT_SUCCESS(entry.Status) && (s.Name == entry.Name || s.Port == port))
                entry.Status = STATUS_OBJECT_NAME_COLLISION;
        }
        if (NT_SUCCESS(entry.Status))
            entry.Status = plat::pc::OnSubdeviceRegistering(DeviceObject, entry.Name, port);
        if (NT_SUCCESS(entry.Status))
        {
            port->AddRef();
            record.Subdevices.push_back(Subdevice{entry.Name, port});
        }
        record.Log.push_back(entry);
        status = entry.Status;
    }
    // A subdevice that cannot be registered is given up: the port lets go of its miniport, as
    // an unregistered one does, so that the caller's releases take the port, the miniport and
    // what the miniport holds (which usually includes the port itself) away. The caller's own
    // reference keeps the port alive through this call.
    if (!NT_SUCCESS(status))
        subdevice->ReleaseChildren();
    return status;
}

NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                      PUNKNOWN ToUnknown, ULONG ToPin)
{
    Connection connection{PortOf(FromUnknown), FromPin, PortOf(ToUnknown), ToPin};
    if (!DeviceObject || !connection.From || !connection.To)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(g_lock);
    plat::PcRegistrationEntry entry;
    entry.Op = plat::PcRegistrationOp::RegisterConnection;
    entry.FromPort = connection.From;
    entry.FromPin = FromPin;
    entry.ToPort = connection.To;
    entry.ToPin = ToPin;
    entry.Status = TakeInjectedFailure(entry.Op);
    DeviceRecord& record = g_devices[DeviceObject];
    if (NT_SUCCESS(entry.Status) && std::find(record.Connections.begin(), record.Connections.end(),
                                              connection) != record.Connections.end())
        entry.Status = STATUS_OBJECT_NAME_COLLISION;
    if (NT_SUCCESS(entry.Status))
        record.Connections.push_back(connection);
    record.Log.push_back(entry);
    return entry.Status;
}

namespace plat
{

std::vector<PcRegistrationEntry> PcRegistrationLog(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_devices.find(DeviceObject);
    return it == g_devices.end() ? std::vector<PcRegistrationEntry>{} : it->second.Log;
}

std::vector<std::u16string> PcRegisteredSubdevices(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::u16string> names;
    auto it = g_devices.find(DeviceObject);
    if (it != g_devices.end())
        for (const Subdevice& s : it->second.Subdevices)
            names.push_back(s.Name);
    return names;
}

size_t PcRegisteredConnectionCount(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_devices.find(DeviceObject);
    return it == g_devices.end() ? 0 : it->second.Connections.size();
}

void PcFailNextRegistration(PcRegistrationOp Op, NTSTATUS Status)
{
    if (NT_SUCCESS(Status))
        Fatal("PcFailNextRegistration needs a failure status, not 0x%08X", unsigned(Status));
    std::lock_guard<std::mutex> guard(g_lock);
    g_pendingFailures[Op] = Status;
}

void PcReleaseDeviceRegistrations(PDEVICE_OBJECT DeviceObject)
{
    std::vector<Subdevice> subdevices;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_devices.find(DeviceObject);
        if (it == g_devices.end())
            return;
        subdevices = std::move(it->second.Subdevices);
        it->second.Subdevices.clear();
        it->second.Connections.clear();
    }
    for (const Subdevice& s : subdevices)
    {
        plat::pc::OnSubdeviceUnregistered(DeviceObject, s.Port);
        s.Port->Release();
    }
}

void PcForgetDevice(PDEVICE_OBJECT DeviceObject)
{
    std::vector<Subdevice> subdevices;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_devices.find(DeviceObject);
        if (it == g_devices.end())
            return;
        subdevices = std::move(it->second.Subdevices);
        g_devices.erase(it);
    }
    for (const Subdevice& s : subdevices)
    {
        plat::pc::OnSubdeviceUnregistered(DeviceObject, s.Port);
        s.Port->Release();
    }
}

} // namespace plat
