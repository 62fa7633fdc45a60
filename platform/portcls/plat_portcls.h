// Host side of the stand-in port-class library: the log of subdevice and physical-connection
// registrations per device object, the switches that make the next registration fail, and the
// log of content forwards. Only the stand-in, tools and tests include this header; driver code
// sees portcls.h alone.
#pragma once

#include "pc_drm.h"
#include "pc_subdevice.h"
#include "ks.h"

#include <string>
#include <vector>

namespace plat
{

enum class PcRegistrationOp
{
    RegisterSubdevice,
    UnregisterSubdevice,
    RegisterConnection,
    UnregisterConnection,
};

// One call as the library answered it. Ports are identified by their IPort address.
struct PcRegistrationEntry
{
    PcRegistrationOp Op = PcRegistrationOp::RegisterSubdevice;
    std::u16string Name; // subdevices: the name registered (unregister: the name it had)
    PVOID Port = nullptr;
    PVOID FromPort = nullptr; // connections
    ULONG FromPin = 0;
    PVOID ToPort = nullptr;
    ULONG ToPin = 0;
    NTSTATUS Status = STATUS_SUCCESS;
};

// Every call made for the device object, in order, failures included.
std::vector<PcRegistrationEntry> PcRegistrationLog(PDEVICE_OBJECT DeviceObject);
// Names of the subdevices registered now, in registration order.
std::vector<std::u16string> PcRegisteredSubdevices(PDEVICE_OBJECT DeviceObject);
// Connections registered now.
size_t PcRegisteredConnectionCount(PDEVICE_OBJECT DeviceObject);

// The next call of the operation (on any device) fails with Status and changes nothing.
void PcFailNextRegistration(PcRegistrationOp Op, NTSTATUS Status);

// Drops what is still registered for the device (releasing the ports) and its log; tests call
// it to end with no live objects.
void PcForgetDevice(PDEVICE_OBJECT DeviceObject);

// Ends every subdevice and physical connection still registered for the device, releasing the
// ports, but keeps its log for tests to read. The library does this when the device stops or
// is removed, so a restart can register the same names again and nothing outlives the device.
void PcReleaseDeviceRegistrations(PDEVICE_OBJECT DeviceObject);

// One PcForwardContentToDeviceObject call as the library answered it, failures included.
struct PcContentForward
{
    ULONG ContentId = 0;
    PVOID Reserved = nullptr;
    bool HadRecord = false; // false: the caller passed no record, and Record is zeroed
    DRMFORWARD Record = {};
    NTSTATUS Status = STATUS_SUCCESS;
};

// Every forward since the last clear, in order, on any device.
std::vector<PcContentForward> PcContentForwards();
void PcClearContentForwards();

// What the port knows of an open pin of a WaveCyclic filter. Buffer and BufferSize are the pin's
// DMA channel's SystemAddress and BufferSize: the audio stack reaches the cyclic buffer there,
// as the real one maps it. The service fields count the port's service calls for the pin (its
// DPC after the stream's Notify) with the position read in the last one and its IRQL.
struct PcPinView
{
    ULONG PinId = 0;
    bool Capture = false;
    KSSTATE State = KSSTATE_STOP;
    PVOID Buffer = nullptr;
    ULONG BufferSize = 0;
    ULONG FramingSize = 0; // bytes per notification interval, as SetNotificationFreq gave it
    ULONG ServiceCount = 0;
    ULONG ServicedPosition = 0;
    KIRQL ServiceIrql = 0;
};

// The pin opened on the file object. STATUS_INVALID_HANDLE when it is no open pin of a wave
// filter (a filter handle, or a pin whose filter's registration ended).
NTSTATUS PcQueryPin(PFILE_OBJECT PinFile, PcPinView* View);

} // namespace plat
