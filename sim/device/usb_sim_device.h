// A simulated USB audio device on a port of the USB bus stand-in: the device model answers the
// default pipe, this adapter answers the bus's data and port hooks, applies the port faults and
// keeps a record of every transfer the bus finished, and plugs the bus into the plug-and-play
// host's physical device object.
#pragma once

#include "sim/device/device_model.h"
#include "sim/device/status_endpoint.h"
#include "sim/device/stream_endpoint.h"
#include "sim/host/pnp_manager.h"
#include "usb_bus.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim
{

// One answer of the hub to a port-status query.
struct PortStatusAnswer
{
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG Bits = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
};

// Rewrites a control transfer's answer on its way back: a device that misreports its
// descriptors or strings (a length that lies, bytes cut short).
using ControlRewrite = std::function<void(const plat::UsbSetupPacket& Setup, plat::UsbControlAnswer* Answer)>;

// Faults of the port and the data endpoints; every knob is off by default.
struct PortFaults
{
    uint32_t PortStatusFailures = 0;                    // fail this many port-status queries ...
    NTSTATUS PortStatusFailure = STATUS_NO_SUCH_DEVICE; // ... with this status
    std::vector<PortStatusAnswer> PortStatusAnswers;    // the next queries get these, in order
    NTSTATUS ResetFailure = STATUS_SUCCESS;             // a reset-port request fails with this status
    uint8_t StallEndpoint = 0;                          // this interrupt or bulk endpoint halts: it
                                                        // answers its next transfer with a stall
    ControlRewrite RewriteControl;                      // answers of the default pipe, rewritten
};

// One isochronous packet as it crossed the bus.
struct IsoPacketRecord
{
    uint8_t EndpointAddress = 0;
    uint32_t Frame = 0;
    uint32_t Microframe = 0; // 0 at full speed
    uint32_t Bytes = 0;
    bool In = false;
};

// A control transfer as the bus hands it over, answered by the device model: the one
// translation between the bus's records and the model's, for every back-end built on a model.
plat::UsbControlAnswer AnswerControl(UsbDeviceModel& Model, const plat::UsbSetupPacket& Setup,
                                     const std::vector<UCHAR>& OutData);

// The bus speed a model's profile runs at.
plat::UsbBusSpeed BusSpeedOf(const UsbDeviceModel& Model);

class SimUsbDevice : public plat::IUsbBusDevice, public std::enable_shared_from_this<SimUsbDevice>
{
public:
    // The device of Profile on a bus of its own (the bus thread starts here, PASSIVE_LEVEL).
    static std::shared_ptr<SimUsbDevice> Create(const DeviceProfile& Profile);
    ~SimUsbDevice() override;

    // Makes the bus answer the host's physical device object; the host keeps the device alive
    // until it goes. Detach leaves the object to the host's default handling again.
    void AttachTo(PnpManager& Pnp);
    void Detach(PnpManager& Pnp);

    UsbDeviceModel& Model() { return m_model; }
    // The status-interrupt endpoints of the audio-control interfaces.
    StatusEndpoint& StatusInterrupt() { return *m_pStatus; }
    // The isochronous endpoints of the streaming interfaces, with their record and faults.
    StreamEndpoints& Streams() { return *m_pStreams; }
    plat::UsbBus& Bus() { return *m_pBus; }

    // Control-side faults (the model's) and port faults; the bus re-checks waiting transfers.
    void SetFaults(const DeviceFaults& Faults);
    void SetPortFaults(const PortFaults& Faults);

    // An interrupt or bulk IN endpoint's next report; a read waiting on it completes with it.
    void QueueInData(uint8_t EndpointAddress, std::vector<uint8_t> Data);

    // The streams' records (IsoPackets, the isochronous transfers among Transfers, and the
    // stream endpoints' own) are kept whole by default. A listener with Keep false sees each
    // streaming packet instead and none of them is kept, so a stream of any length runs in
    // bounded memory. Set while no transfer is in flight.
    void SetStreamListener(StreamPacketListener Listener, bool Keep);

    std::vector<plat::UsbBusTransferRecord> Transfers() const;
    std::vector<IsoPacketRecord> IsoPackets() const;
    std::vector<std::vector<uint8_t>> OutData(uint8_t EndpointAddress) const; // interrupt/bulk OUT
    uint32_t PortResets() const;
    uint32_t PortCycles() const;
    // The hub requests in order: "status", "reset", "cycle".
    std::vector<std::string> PortLog() const;
    // IN tokens the host sent to an interrupt or bulk endpoint, answered or not.
    uint32_t InPolls(uint8_t EndpointAddress) const;
    void ClearRecords();

    // plat::IUsbBusDevice
    plat::UsbBusSpeed Speed() const override;
    bool IsConnected() const override;
    bool SupportsRemoteWakeup() const override;
    plat::UsbControlAnswer Control(const plat::UsbSetupPacket& Setup,
                                   const std::vector<UCHAR>& OutData) override;
    NTSTATUS QueryPortStatus(ULONG* PortStatus) override;
    NTSTATUS ResetPort() override;
    NTSTATUS CyclePort() override;
    USBD_STATUS IsochronousOut(UCHAR EndpointAddress, ULONG Frame, ULONG Microframe, const UCHAR* Data,
                               ULONG Length) override;
    USBD_STATUS IsochronousIn(UCHAR EndpointAddress, ULONG Frame, ULONG Microframe, UCHAR* Data,
                              ULONG Capacity, ULONG* Length) override;
    bool HoldsIsochronousTransfer(UCHAR EndpointAddress) override;
    void BeginIsochronousTransfer(UCHAR EndpointAddress, ULONG StartFrame, ULONG NumberOfPackets) override;
    plat::UsbHandshake InterruptOrBulkOut(UCHAR EndpointAddress, const UCHAR* Data, ULONG Length) override;
    plat::UsbHandshake InterruptOrBulkIn(UCHAR EndpointAddress, UCHAR* Data, ULONG Capacity,
                                         ULONG* Length) override;
    void SetBusEvents(plat::IUsbBusEvents* Events) override;
    void RecordTransfer(const plat::UsbBusTransferRecord& Record) override;

private:
    explicit SimUsbDevice(const DeviceProfile& Profile);
    plat::IUsbBusEvents* Events() const;
    bool TakeStall(uint8_t EndpointAddress);

    UsbDeviceModel m_model;
    mutable std::mutex m_lock; // guards everything below
    plat::IUsbBusEvents* m_pEvents = nullptr;
    PortFaults m_portFaults;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> m_inData;
    std::map<uint8_t, std::vector<std::vector<uint8_t>>> m_outData;
    std::vector<plat::UsbBusTransferRecord> m_transfers;
    std::vector<IsoPacketRecord> m_isoPackets;
    bool m_keepStreamRecords = true;
    uint32_t m_resets = 0;
    uint32_t m_cycles = 0;
    std::vector<std::string> m_portLog;
    std::map<uint8_t, uint32_t> m_inPolls;
    std::unique_ptr<StatusEndpoint> m_pStatus; // reads of its endpoints bypass m_inData
    std::unique_ptr<StreamEndpoints> m_pStreams;
    std::unique_ptr<plat::UsbBus> m_pBus; // last: it calls back into the members above
};

} // namespace sim
