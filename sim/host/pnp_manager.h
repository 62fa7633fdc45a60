// The simulated plug-and-play and power manager: it enumerates one device as a physical device
// object, loads a driver through its entry point, adds the driver's device and drives it through
// start, stop, surprise removal, removal and device power states, each synchronously from the
// caller's point of view (waits go through the platform, so virtual time keeps running).
#pragma once

#include "plat_io.h"

#include <functional>
#include <string>
#include <vector>

namespace sim
{

// What the bus reports about the enumerated device; defaults describe a USB audio function.
struct PnpDeviceConfig
{
    plat::PhysicalDeviceInfo Info;
    bool SurpriseRemovalOK = true;
    std::u16string ServiceName = u"uacsim";
};
PnpDeviceConfig DefaultPnpDeviceConfig();

class PnpManager
{
public:
    // A handler of the physical device's requests of one major function; the USB bus stand-in
    // installs its own for IRP_MJ_INTERNAL_DEVICE_CONTROL and IRP_MJ_PNP (QUERY_INTERFACE).
    // It completes the IRP (or pends it) and returns the status like any dispatch routine; it may
    // return kPdoNotHandled without touching the IRP to leave it to the default handling.
    using PdoHandler = std::function<NTSTATUS(PDEVICE_OBJECT Pdo, PIRP Irp)>;
    static constexpr NTSTATUS kPdoNotHandled = STATUS_NOT_FOUND;

    explicit PnpManager(const PnpDeviceConfig& Config = DefaultPnpDeviceConfig());
    // Removes the device if it is still there, unloads the driver and deletes the physical
    // device object.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    PDEVICE_OBJECT Pdo() const { return m_pPdo; }
    PDRIVER_OBJECT Driver() const { return m_pDriver; }
    // The driver's device on top of the physical device (null before AddDevice or after removal).
    PDEVICE_OBJECT Fdo() const;
    void SetPdoHandler(UCHAR MajorFunction, PdoHandler Handler);

    // Calls DriverEntry with a fresh driver object and the service key path.
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE DriverEntry);
    // The driver's AddDevice on the physical device; STATUS_UNSUCCESSFUL when it attached nothing.
    NTSTATUS AddDevice();
    NTSTATUS Start();
    NTSTATUS QueryStop();
    NTSTATUS CancelStop();
    NTSTATUS Stop();
    NTSTATUS QueryRemove();
    NTSTATUS SurpriseRemove();
    // Removal also disables every interface the driver left enabled, as the system does.
    NTSTATUS Remove();
    // Calls DriverUnload (when set) and frees the driver object. The driver must have deleted
    // every device by then.
    void UnloadDriver();

    // A device power IRP (IRP_MN_SET_POWER or IRP_MN_QUERY_POWER) requested for the physical
    // device and delivered to the top of its stack on a platform thread; returns its status.
    NTSTATUS SetDevicePower(DEVICE_POWER_STATE State);
    NTSTATUS QueryDevicePower(DEVICE_POWER_STATE State);
    // IRP_MN_QUERY_CAPABILITIES: what the stack reports.
    NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* Capabilities);

    // Any plug-and-play request: Setup fills the request's stack location; *Information (when
    // asked) receives IoStatus.Information.
    NTSTATUS SendPnp(UCHAR MinorFunction, const std::function<void(PIO_STACK_LOCATION)>& Setup = {},
                     ULONG_PTR* Information = nullptr);

    // The (major, minor) codes of the requests that reached the physical device, in order.
    std::vector<std::pair<UCHAR, UCHAR>> PdoRequests() const;
    // Device power states the physical device was set to.
    std::vector<DEVICE_POWER_STATE> PdoPowerStates() const;

private:
    struct BusDriver;
    struct LoadedDriver;
    static NTSTATUS PdoDispatch(PDEVICE_OBJECT Device, PIRP Irp);
    NTSTATUS DefaultPdoDispatch(PIRP Irp);
    NTSTATUS RequestPower(UCHAR MinorFunction, DEVICE_POWER_STATE State);
    void DisableInterfaces();

    PnpDeviceConfig m_Config;
    BusDriver* m_pBus;
    LoadedDriver* m_pLoaded;
    PDEVICE_OBJECT m_pPdo;
    PDRIVER_OBJECT m_pDriver;
    bool m_bAdded;
    bool m_bRemoved;
};

} // namespace sim
