// What the USB bus stand-in needs of the device plugged into its port: answers to setup
// packets, data for and from the non-control endpoints, the port's state, and a place to
// record every transfer the bus finished. The simulated device implements it; the bus knows
// nothing else of the device, and the device nothing of IRPs or URBs.
#pragma once

#include "ntdef.h"
#include "usbdi.h"

#include <vector>

namespace plat
{

enum class UsbBusSpeed
{
    Full, // 1 ms frames
    High, // 125 us microframes, counted in 1 ms frames as the host does
};

struct UsbSetupPacket
{
    UCHAR RequestType = 0; // bmRequestType
    UCHAR Request = 0;     // bRequest
    USHORT Value = 0;      // wValue
    USHORT Index = 0;      // wIndex
    USHORT Length = 0;     // wLength
};

// How a transaction on the wire ended.
enum class UsbHandshake
{
    Ack,        // done; IN data (if any) delivered
    Nak,        // interrupt or bulk IN: the device has nothing to send yet
    Stall,      // the endpoint answered with a stall handshake
    DeviceGone, // nothing answers any more
};

struct UsbControlAnswer
{
    UsbHandshake Outcome = UsbHandshake::Stall;
    std::vector<UCHAR> Data;  // IN: at most wLength bytes
    ULONGLONG Delay100ns = 0; // how long the bus holds the completion, on the platform clock
};

// One transfer as the bus finished it, for the device's record.
struct UsbBusTransferRecord
{
    USBD_PIPE_TYPE PipeType = UsbdPipeTypeControl;
    UCHAR EndpointAddress = 0;
    bool In = false;
    ULONG RequestedBytes = 0; // buffer length the client gave
    ULONG Bytes = 0;          // bytes that crossed the bus
    ULONG StartFrame = 0;     // isochronous: first frame; others: frame of completion
    ULONG NumberOfPackets = 0;
    ULONG ErrorCount = 0; // isochronous packets that failed
    USBD_STATUS UrbStatus = USBD_STATUS_SUCCESS;
    NTSTATUS IrpStatus = STATUS_SUCCESS;
};

// Calls from the device to the bus. Thread-safe; never call them while holding a lock that a
// call of IUsbBusDevice takes.
class IUsbBusEvents
{
public:
    virtual ~IUsbBusEvents() = default;
    // An interrupt or bulk IN endpoint that answered Nak has data now.
    virtual void EndpointReady(UCHAR EndpointAddress) = 0;
    // The device's presence changed (it vanished or came back): waiting transfers re-check.
    virtual void DeviceStateChanged() = 0;
};

class IUsbBusDevice
{
public:
    virtual ~IUsbBusDevice() = default;

    virtual UsbBusSpeed Speed() const = 0;
    // False once the device vanished from the port.
    virtual bool IsConnected() const = 0;
    // Whether the device's configuration declares remote wake-up.
    virtual bool SupportsRemoteWakeup() const = 0;

    // One control transfer on the default pipe; OutData holds the host-to-device data stage.
    virtual UsbControlAnswer Control(const UsbSetupPacket& Setup, const std::vector<UCHAR>& OutData) = 0;

    // The hub's answer to a port-status query: STATUS_SUCCESS with USBD_PORT_* bits, or the
    // failure the hub reports.
    virtual NTSTATUS QueryPortStatus(ULONG* PortStatus) = 0;
    // The port was reset (the device is unconfigured afterwards) or cycled (unplugged and
    // plugged in again); the result is the request's status.
    virtual NTSTATUS ResetPort() = 0;
    virtual NTSTATUS CyclePort() = 0;

    // One isochronous packet in (Frame, Microframe); Microframe is 0 at full speed. OUT
    // returns the packet's status; IN fills at most Capacity bytes and sets *Length.
    virtual USBD_STATUS IsochronousOut(UCHAR EndpointAddress, ULONG Frame, ULONG Microframe,
                                       const UCHAR* Data, ULONG Length) = 0;
    virtual USBD_STATUS IsochronousIn(UCHAR EndpointAddress, ULONG Frame, ULONG Microframe, UCHAR* Data,
                                      ULONG Capacity, ULONG* Length) = 0;

    // Asked once each time the bus comes to finish an isochronous transfer, before any of its
    // packets: true keeps the transfer with the bus (a device that stops completing) until
    // the pipe is aborted, the IRP cancelled or the device calls DeviceStateChanged. Then,
    // for a transfer the bus goes on with, BeginIsochronousTransfer announces the packets
    // that follow, so that the device can treat one transfer as a whole.
    virtual bool HoldsIsochronousTransfer(UCHAR EndpointAddress) { return false; }
    virtual void BeginIsochronousTransfer(UCHAR EndpointAddress, ULONG StartFrame, ULONG NumberOfPackets) {}

    // Interrupt and bulk data. IN answers Nak while the endpoint has nothing; the device then
    // calls IUsbBusEvents::EndpointReady when it has.
    virtual UsbHandshake InterruptOrBulkOut(UCHAR EndpointAddress, const UCHAR* Data, ULONG Length) = 0;
    virtual UsbHandshake InterruptOrBulkIn(UCHAR EndpointAddress, UCHAR* Data, ULONG Capacity,
                                           ULONG* Length) = 0;

    // The bus to notify (null when the bus goes away).
    virtual void SetBusEvents(IUsbBusEvents* Events) = 0;
    // Every transfer on a non-control pipe, and every control transfer, as it completes.
    virtual void RecordTransfer(const UsbBusTransferRecord& Record) = 0;
};

} // namespace plat
