// One run of the driver on a simulated device: the device on its own bus behind the
// plug-and-play host, the driver loaded, added and started; then stopped, removed and unloaded
// with a check that nothing of it is left in pool or in the object manager.
#pragma once

#include "ntddk.h"
#include "plat_pool.h"
#include "sim/device/usb_sim_device.h"
#include "sim/host/pnp_manager.h"
#include "sim/profiles/profile.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace uacsim
{

class DriverSession
{
public:
    DriverSession();
    ~DriverSession(); // tears down whatever Start left, without the checks of Finish

    // Plugs the device in and brings the driver up on it; false with the step and status that
    // failed and the driver's debug messages. A failed start leaves the session for Finish to
    // clean up.
    bool Start(const sim::DeviceProfile& Profile, std::string* Error);
    // Removes the device, unloads the driver and checks that nothing is left; false with what
    // went wrong.
    bool Finish(std::string* Error);

    sim::PnpManager& Pnp() { return *m_pPnp; }
    sim::SimUsbDevice& Device() { return *m_pDevice; }
    // The driver's device object (null when AddDevice failed).
    PDEVICE_OBJECT Fdo() const { return m_pFdo; }

private:
    bool Fail(const std::string& Step, NTSTATUS Status, std::string* Error);
    void TearDown();

    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
    std::shared_ptr<sim::SimUsbDevice> m_pDevice;
    std::unique_ptr<sim::PnpManager> m_pPnp;
    PDEVICE_OBJECT m_pFdo = nullptr;
    bool m_bLoaded = false;
    bool m_bAdded = false;
};

// A command's job on a started device: it gets the session and the profile and returns the
// exit code.
using DeviceJob = std::function<int(DriverSession& Session, const sim::DeviceProfile& Profile)>;

// Loads the profile (a built-in name, a profile file or a descriptor dump), prints the device
// line, starts the driver on it, runs Job, then removes the device and checks that nothing of
// the driver is left. A profile that does not load is a usage error; a start or teardown that
// fails is a failure, with the driver's messages.
int RunOnDevice(const std::string& Device, bool Realtime, std::FILE* Out, std::FILE* Err,
                const DeviceJob& Job);

// The driver's debug output so far, a line each behind Indent; empty when it said nothing.
std::string DriverDebugLines(const char* Indent);

// "STATUS_UNSUCCESSFUL (0xC0000001)" for the statuses the driver commonly answers, else hex.
std::string StatusText(NTSTATUS Status);

} // namespace uacsim
