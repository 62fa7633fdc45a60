// The simulated device behind the bus stand-in: data and port hooks over the device model,
// port faults, the transfer record, and the hook into the plug-and-play host.
#include "sim/device/usb_sim_device.h"

namespace sim
{

std::shared_ptr<SimUsbDevice> SimUsbDevice::Create(const DeviceProfile& Profile)
{
    std::shared_ptr<SimUsbDevice> device(new SimUsbDevice(Profile));
    device->m_pBus.reset(new plat::UsbBus(device.get()));
    return device;
}

SimUsbDevice::SimUsbDevice(const DeviceProfile& Profile) : m_model(Profile)
{
    m_pStatus.reset(new StatusEndpoint(m_model.Profile(), m_model.AudioControl(),
                                       [this](uint8_t address)
                                       {
                                           if (plat::IUsbBusEvents* events = Events())
                                               events->EndpointReady(address);
                                       }));
    m_pStreams.reset(new StreamEndpoints(m_model, BusSpeedOf(m_model) == plat::UsbBusSpeed::High,
                                         [this]()
                                         {
                                             if (plat::IUsbBusEvents* events = Events())
                                                 events->DeviceStateChanged();
                                         }));
}

SimUsbDevice::~SimUsbDevice()
{
    // The bus goes first: it completes what is queued and stops calling in.
    m_pBus.reset();
}

void SimUsbDevice::AttachTo(PnpManager& Pnp)
{
    std::shared_ptr<SimUsbDevice> self = shared_from_this();
    Pnp.SetPdoHandler(IRP_MJ_INTERNAL_DEVICE_CONTROL, [self](PDEVICE_OBJECT Pdo, PIRP Irp)
                      { return self->m_pBus->DispatchInternalDeviceControl(Pdo, Irp); });
    Pnp.SetPdoHandler(IRP_MJ_PNP,
                      [self](PDEVICE_OBJECT Pdo, PIRP Irp)
                      {
                          NTSTATUS status = STATUS_SUCCESS;
                          return self->m_pBus->DispatchPnp(Pdo, Irp, &status) ? status
                                                                              : PnpManager::kPdoNotHandled;
                      });
}

void SimUsbDevice::Detach(PnpManager& Pnp)
{
    Pnp.SetPdoHandler(IRP_MJ_INTERNAL_DEVICE_CONTROL, {});
    Pnp.SetPdoHandler(IRP_MJ_PNP, {});
}

plat::IUsbBusEvents* SimUsbDevice::Events() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pEvents;
}

void SimUsbDevice::SetFaults(const DeviceFaults& Faults)
{
    m_model.SetFaults(Faults);
    if (plat::IUsbBusEvents* events = Events())
        events->DeviceStateChanged();
}

void SimUsbDevice::SetPortFaults(const PortFaults& Faults)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_portFaults = Faults;
    }
    // A read already waiting on the endpoint meets the stall now.
    if (Faults.StallEndpoint != 0)
        if (plat::IUsbBusEvents* events = Events())
            events->EndpointReady(Faults.StallEndpoint);
}

// Takes the one stall a halting endpoint answers with; the bus keeps the pipe halted after it.
bool SimUsbDevice::TakeStall(uint8_t EndpointAddress)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_portFaults.StallEndpoint == 0 || m_portFaults.StallEndpoint != EndpointAddress)
        return false;
    m_portFaults.StallEndpoint = 0;
    return true;
}

void SimUsbDevice::QueueInData(uint8_t EndpointAddress, std::vector<uint8_t> Data)
{
    // A status endpoint keeps its own queue, in order with the reports of control changes.
    if (m_pStatus->QueueRaw(EndpointAddress, Data))
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_inData[EndpointAddress].push_back(std::move(Data));
    }
    if (plat::IUsbBusEvents* events = Events())
        events->EndpointReady(EndpointAddress);
}

std::vector<plat::UsbBusTransferRecord> SimUsbDevice::Transfers() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_transfers;
}

std::vector<IsoPacketRecord> SimUsbDevice::IsoPackets() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_isoPackets;
}

std::vector<std::vector<uint8_t>> SimUsbDevice::OutData(uint8_t EndpointAddress) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_outData.find(EndpointAddress);
    return it == m_outData.end() ? std::vector<std::vector<uint8_t>>{} : it->second;
}

uint32_t SimUsbDevice::PortResets() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_resets;
}

uint32_t SimUsbDevice::PortCycles() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_cycles;
}

std::vector<std::string> SimUsbDevice::PortLog() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_portLog;
}

uint32_t SimUsbDevice::InPolls(uint8_t EndpointAddress) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_inPolls.find(EndpointAddress);
    return it == m_inPolls.end() ? 0 : it->second;
}

void SimUsbDevice::ClearRecords()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_transfers.clear();
    m_isoPackets.clear();
    m_outData.clear();
    m_portLog.clear();
    m_inPolls.clear();
    m_pStreams->ClearRecords();
}

// ---- The bus's hooks ----

plat::UsbBusSpeed BusSpeedOf(const UsbDeviceModel& Model)
{
    return Model.Profile().Speed() == UsbSpeed::High ? plat::UsbBusSpeed::High : plat::UsbBusSpeed::Full;
}

plat::UsbControlAnswer AnswerControl(UsbDeviceModel& Model, const plat::UsbSetupPacket& Setup,
                                     const std::vector<UCHAR>& OutData)
{
    SetupPacket setup;
    setup.RequestType = Setup.RequestType;
    setup.Request = Setup.Request;
    setup.Value = Setup.Value;
    setup.Index = Setup.Index;
    setup.Length = Setup.Length;
    ControlResult result = Model.HandleControl(setup, OutData);
    plat::UsbControlAnswer answer;
    switch (result.Outcome)
    {
    case ControlOutcome::Ack:
        answer.Outcome = plat::UsbHandshake::Ack;
        break;
    case ControlOutcome::Stall:
        answer.Outcome = plat::UsbHandshake::Stall;
        break;
    case ControlOutcome::DeviceGone:
        answer.Outcome = plat::UsbHandshake::DeviceGone;
        break;
    }
    answer.Data = std::move(result.Data);
    answer.Delay100ns = result.Delay100ns;
    return answer;
}

plat::UsbBusSpeed SimUsbDevice::Speed() const
{
    return BusSpeedOf(m_model);
}

bool SimUsbDevice::IsConnected() const
{
    return !m_model.IsVanished();
}

bool SimUsbDevice::SupportsRemoteWakeup() const
{
    const std::vector<uint8_t>& configuration = m_model.Profile().ConfigurationDescriptor();
    return configuration.size() > 7 && (configuration[7] & 0x20) != 0;
}

plat::UsbControlAnswer SimUsbDevice::Control(const plat::UsbSetupPacket& Setup,
                                             const std::vector<UCHAR>& OutData)
{
    plat::UsbControlAnswer answer = AnswerControl(m_model, Setup, OutData);
    ControlRewrite rewrite;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        rewrite = m_portFaults.RewriteControl;
    }
    if (rewrite)
        rewrite(Setup, &answer);
    return answer;
}

NTSTATUS SimUsbDevice::QueryPortStatus(ULONG* PortStatus)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_portLog.push_back("status");
        if (!m_portFaults.PortStatusAnswers.empty())
        {
            PortStatusAnswer answer = m_portFaults.PortStatusAnswers.front();
            m_portFaults.PortStatusAnswers.erase(m_portFaults.PortStatusAnswers.begin());
            *PortStatus = answer.Bits;
            return answer.Status;
        }
        if (m_portFaults.PortStatusFailures != 0)
        {
            --m_portFaults.PortStatusFailures;
            *PortStatus = 0;
            return m_portFaults.PortStatusFailure;
        }
    }
    *PortStatus = IsConnected() ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
    return STATUS_SUCCESS;
}

NTSTATUS SimUsbDevice::ResetPort()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_portLog.push_back("reset");
        if (!NT_SUCCESS(m_portFaults.ResetFailure))
            return m_portFaults.ResetFailure;
        ++m_resets;
    }
    m_model.ResetPort();
    return STATUS_SUCCESS;
}

NTSTATUS SimUsbDevice::CyclePort()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_portLog.push_back("cycle");
        ++m_cycles;
    }
    m_model.ResetPort();
    return STATUS_SUCCESS;
}

USBD_STATUS SimUsbDevice::IsochronousOut(UCHAR EndpointAddress, ULONG Frame, ULONG Microframe,
                                         const UCHAR* Data, ULONG Length)
{
    if (!IsConnected())
        return USBD_STATUS_DEVICE_GONE;
    const USBD_STATUS status = m_pStreams->Out(EndpointAddress, Frame, Microframe, Data, Length);
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_keepStreamRecords)
        m_isoPackets.push_back(IsoPacketRecord{EndpointAddress, Frame, Microframe, Length, false});
    return status;
}

USBD_STATUS SimUsbDevice::IsochronousIn(UCHAR EndpointAddress, ULONG Frame, ULONG Microframe, UCHAR* Data,
                                        ULONG Capacity, ULONG* Length)
{
    *Length = 0;
    if (!IsConnected())
        return USBD_STATUS_DEVICE_GONE;
    uint32_t length = 0;
    const USBD_STATUS status = m_pStreams->In(EndpointAddress, Frame, Microframe, Data, Capacity, &length);
    *Length = length;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_keepStreamRecords)
        m_isoPackets.push_back(IsoPacketRecord{EndpointAddress, Frame, Microframe, length, true});
    return status;
}

bool SimUsbDevice::HoldsIsochronousTransfer(UCHAR EndpointAddress)
{
    return m_pStreams->HoldsTransfer(EndpointAddress);
}

void SimUsbDevice::BeginIsochronousTransfer(UCHAR EndpointAddress, ULONG, ULONG)
{
    m_pStreams->BeginTransfer(EndpointAddress);
}

plat::UsbHandshake SimUsbDevice::InterruptOrBulkOut(UCHAR EndpointAddress, const UCHAR* Data, ULONG Length)
{
    if (!IsConnected())
        return plat::UsbHandshake::DeviceGone;
    if (TakeStall(EndpointAddress))
        return plat::UsbHandshake::Stall;
    std::lock_guard<std::mutex> guard(m_lock);
    m_outData[EndpointAddress].emplace_back(Data, Data + Length);
    return plat::UsbHandshake::Ack;
}

plat::UsbHandshake SimUsbDevice::InterruptOrBulkIn(UCHAR EndpointAddress, UCHAR* Data, ULONG Capacity,
                                                   ULONG* Length)
{
    *Length = 0;
    if (!IsConnected())
        return plat::UsbHandshake::DeviceGone;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_inPolls[EndpointAddress];
    }
    if (TakeStall(EndpointAddress))
        return plat::UsbHandshake::Stall;
    if (m_pStatus->Serves(EndpointAddress))
    {
        uint32_t length = 0;
        bool sent = m_pStatus->Read(EndpointAddress, Data, Capacity, &length);
        *Length = length;
        return sent ? plat::UsbHandshake::Ack : plat::UsbHandshake::Nak;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_inData.find(EndpointAddress);
    if (it == m_inData.end() || it->second.empty())
        return plat::UsbHandshake::Nak;
    std::vector<uint8_t> report = std::move(it->second.front());
    it->second.pop_front();
    *Length = ULONG(std::min<size_t>(report.size(), Capacity));
    std::copy(report.begin(), report.begin() + *Length, Data);
    return plat::UsbHandshake::Ack;
}

void SimUsbDevice::SetBusEvents(plat::IUsbBusEvents* Events)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_pEvents = Events;
}

void SimUsbDevice::RecordTransfer(const plat::UsbBusTransferRecord& Record)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_keepStreamRecords || Record.PipeType != UsbdPipeTypeIsochronous)
        m_transfers.push_back(Record);
}

void SimUsbDevice::SetStreamListener(StreamPacketListener Listener, bool Keep)
{
    m_pStreams->SetPacketListener(std::move(Listener), Keep);
    std::lock_guard<std::mutex> guard(m_lock);
    m_keepStreamRecords = Keep;
}

} // namespace sim
