// A run of the driver on a simulated device, from plug-in to a checked teardown.
#include "tools/uacsim/driver_session.h"
#include "tools/uacsim/commands.h"

#include "plat_debug.h"
#include "plat_io.h"
#include "plat_portcls.h"
#include "plat_sched.h"
#include "portcls.h"

#include "driver/adapter/driver_entry.h"

#include <cstdio>

namespace uacsim
{

std::string DriverDebugLines(const char* Indent)
{
    std::string text;
    for (std::string line : plat::DebugLog())
    {
        while (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (!line.empty())
            text += Indent + line + "\n";
    }
    return text;
}

std::string StatusText(NTSTATUS Status)
{
    static const struct
    {
        NTSTATUS Status;
        const char* Name;
    } kNames[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
        {STATUS_DEVICE_CONFIGURATION_ERROR, "STATUS_DEVICE_CONFIGURATION_ERROR"},
        {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
    };
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", unsigned(Status));
    for (const auto& entry : kNames)
        if (entry.Status == Status)
            return std::string(entry.Name) + " (" + hex + ")";
    return hex;
}

DriverSession::DriverSession()
    : m_Snapshot(plat::TakePoolSnapshot()), m_Objects(plat::ObLiveObjectCount(nullptr))
{
}

DriverSession::~DriverSession()
{
    TearDown();
}

// What the driver printed on the way is the one place that says which step of the start
// failed and why (a refused entity, a missing string), so every failed step carries it.
bool DriverSession::Fail(const std::string& Step, NTSTATUS Status, std::string* Error)
{
    const std::string lines = DriverDebugLines("  ");
    *Error = Step + ": " + StatusText(Status) + "\ndriver debug output:\n" +
             (lines.empty() ? "  (none: the driver did not say why)\n" : lines);
    return false;
}

bool DriverSession::Start(const sim::DeviceProfile& Profile, std::string* Error)
{
    // Only this session's messages explain its failure.
    plat::ClearDebugLog();
    m_pPnp = std::make_unique<sim::PnpManager>();
    m_pDevice = sim::SimUsbDevice::Create(Profile);
    m_pDevice->AttachTo(*m_pPnp);
    NTSTATUS status = m_pPnp->LoadDriver(DriverEntry);
    if (!NT_SUCCESS(status))
        return Fail("DriverEntry failed", status, Error);
    m_bLoaded = true;
    status = m_pPnp->AddDevice();
    if (!NT_SUCCESS(status))
        return Fail("AddDevice failed", status, Error);
    m_bAdded = true;
    m_pFdo = m_pPnp->Fdo();
    status = m_pPnp->Start();
    if (!NT_SUCCESS(status))
        return Fail("the device did not start", status, Error);
    return true;
}

// Removal first (the driver takes its wave filters down itself), then the port-class
// library's record of the removed device with the topology filter it still holds, then the
// driver and the bus.
void DriverSession::TearDown()
{
    if (m_pPnp && m_bAdded)
    {
        m_pPnp->Remove();
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

bool DriverSession::Finish(std::string* Error)
{
    NTSTATUS status = m_bAdded ? m_pPnp->Remove() : STATUS_SUCCESS;
    m_bAdded = false;
    TearDown();
    std::string leaks = plat::PoolLeaksSince(m_Snapshot);
    SIZE_T objects = plat::ObLiveObjectCount(nullptr);
    Error->clear();
    if (!NT_SUCCESS(status))
        *Error += "removal failed: " + StatusText(status) + "\n";
    if (!leaks.empty())
        *Error += "pool blocks left after removal:\n" + leaks + "\n";
    if (objects != m_Objects)
        *Error += std::to_string(objects - m_Objects) + " kernel objects left after removal\n";
    return Error->empty();
}

int RunOnDevice(const std::string& Device, bool Realtime, std::FILE* Out, std::FILE* Err,
                const DeviceJob& Job)
{
    sim::DeviceProfile profile;
    std::string error;
    if (!sim::LoadProfile(Device, &profile, &error))
    {
        Complain(Out, Err, "uacsim: cannot load device '%s': %s\n", Device.c_str(), error.c_str());
        return kExitUsage;
    }
    if (Realtime)
        plat::SetClockMode(plat::ClockMode::Real);
    plat::ScopedThreadRegistration registration("uacsim");
    int result = kExitOk;
    DriverSession session;
    std::fprintf(Out, "device %s (%04x:%04x)\n", profile.Name().c_str(), profile.VendorId(),
                 profile.ProductId());
    if (!session.Start(profile, &error))
    {
        Complain(Out, Err, "uacsim: %s", error.c_str());
        result = kExitFailure;
    }
    else
    {
        result = Job(session, profile);
    }
    if (!session.Finish(&error))
    {
        Complain(Out, Err, "uacsim: the driver did not go away cleanly:\n%s", error.c_str());
        result = kExitFailure;
    }
    else if (result == kExitOk)
    {
        std::fprintf(Out, "removed cleanly: no pool blocks or kernel objects left\n");
    }
    return result;
}

} // namespace uacsim
