// URBs on the bus: checks as a host controller makes them, the default pipe's requests turned
// into setup packets for the device, and configuration and interface selection with the
// pipes they open. Everything the client hands in is checked before it is used.
#include "usb_bus.h"

#include "usbdlib.h"

#include <algorithm>

namespace plat
{

namespace
{

// Opaque handles: never pointers, never reused, so a stale or made-up handle is recognised.
constexpr ULONG_PTR kHandleBase = 0x00005B0000000000ULL;

// The transfer-buffer fields lie at the same offsets in every default-pipe URB with a data stage.
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) ==
                  offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength),
              "descriptor request buffer length");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer) ==
                  offsetof(struct _URB_CONTROL_TRANSFER, TransferBuffer),
              "vendor request buffer");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBufferMDL) ==
                  offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferMDL),
              "status request buffer list");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) ==
                  offsetof(struct _URB_CONTROL_TRANSFER, TransferFlags),
              "vendor request flags");

constexpr UCHAR kTypeStandard = 0x00;
constexpr UCHAR kTypeClass = 0x20;
constexpr UCHAR kTypeVendor = 0x40;
constexpr UCHAR kDirectionIn = 0x80;

// How a default-pipe URB becomes a setup packet.
enum class SetupLayout
{
    Descriptor, // wValue type and index, wIndex language, IN
    Status,     // GET_STATUS, 2 bytes IN
    Feature,    // SET or CLEAR_FEATURE, no data stage
    VendorClass,
    Raw, // the client's own setup packet
};

struct ControlFunction
{
    USHORT Function;
    UCHAR Type;      // bmRequestType type bits
    UCHAR Recipient; // bmRequestType recipient bits
    UCHAR Request;   // bRequest where the function fixes it
    SetupLayout Layout;
};

// Function, type, recipient, bRequest, layout.
// clang-format off
const ControlFunction kControlFunctions[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kTypeStandard, BMREQUEST_TO_DEVICE, USB_REQUEST_GET_DESCRIPTOR, SetupLayout::Descriptor},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, kTypeStandard, BMREQUEST_TO_INTERFACE, USB_REQUEST_GET_DESCRIPTOR, SetupLayout::Descriptor},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, kTypeStandard, BMREQUEST_TO_ENDPOINT, USB_REQUEST_GET_DESCRIPTOR, SetupLayout::Descriptor},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, kTypeStandard, BMREQUEST_TO_DEVICE, USB_REQUEST_GET_STATUS, SetupLayout::Status},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, kTypeStandard, BMREQUEST_TO_INTERFACE, USB_REQUEST_GET_STATUS, SetupLayout::Status},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, kTypeStandard, BMREQUEST_TO_ENDPOINT, USB_REQUEST_GET_STATUS, SetupLayout::Status},
    {URB_FUNCTION_GET_STATUS_FROM_OTHER, kTypeStandard, BMREQUEST_TO_OTHER, USB_REQUEST_GET_STATUS, SetupLayout::Status},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, kTypeStandard, BMREQUEST_TO_DEVICE, USB_REQUEST_SET_FEATURE, SetupLayout::Feature},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, kTypeStandard, BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_FEATURE, SetupLayout::Feature},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, kTypeStandard, BMREQUEST_TO_ENDPOINT, USB_REQUEST_SET_FEATURE, SetupLayout::Feature},
    {URB_FUNCTION_SET_FEATURE_TO_OTHER, kTypeStandard, BMREQUEST_TO_OTHER, USB_REQUEST_SET_FEATURE, SetupLayout::Feature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, kTypeStandard, BMREQUEST_TO_DEVICE, USB_REQUEST_CLEAR_FEATURE, SetupLayout::Feature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, kTypeStandard, BMREQUEST_TO_INTERFACE, USB_REQUEST_CLEAR_FEATURE, SetupLayout::Feature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, kTypeStandard, BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE, SetupLayout::Feature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, kTypeStandard, BMREQUEST_TO_OTHER, USB_REQUEST_CLEAR_FEATURE, SetupLayout::Feature},
    {URB_FUNCTION_VENDOR_DEVICE, kTypeVendor, BMREQUEST_TO_DEVICE, 0, SetupLayout::VendorClass},
    {URB_FUNCTION_VENDOR_INTERFACE, kTypeVendor, BMREQUEST_TO_INTERFACE, 0, SetupLayout::VendorClass},
    {URB_FUNCTION_VENDOR_ENDPOINT, kTypeVendor, BMREQUEST_TO_ENDPOINT, 0, SetupLayout::VendorClass},
    {URB_FUNCTION_VENDOR_OTHER, kTypeVendor, BMREQUEST_TO_OTHER, 0, SetupLayout::VendorClass},
    {URB_FUNCTION_CLASS_DEVICE, kTypeClass, BMREQUEST_TO_DEVICE, 0, SetupLayout::VendorClass},
    {URB_FUNCTION_CLASS_INTERFACE, kTypeClass, BMREQUEST_TO_INTERFACE, 0, SetupLayout::VendorClass},
    {URB_FUNCTION_CLASS_ENDPOINT, kTypeClass, BMREQUEST_TO_ENDPOINT, 0, SetupLayout::VendorClass},
    {URB_FUNCTION_CLASS_OTHER, kTypeClass, BMREQUEST_TO_OTHER, 0, SetupLayout::VendorClass},
    {URB_FUNCTION_CONTROL_TRANSFER, 0, 0, 0, SetupLayout::Raw},
};
// clang-format on

const ControlFunction* FindControlFunction(USHORT function)
{
    for (const ControlFunction& row : kControlFunctions)
    {
        if (row.Function == function)
            return &row;
    }
    return nullptr;
}

// The client's buffer for Length bytes, from its MDL or its address; false when it names none
// or an MDL shorter than Length.
bool ResolveBuffer(PVOID Buffer, PMDL Mdl, ULONG Length, PUCHAR* Resolved)
{
    *Resolved = nullptr;
    if (Length == 0)
        return true;
    if (Mdl != nullptr)
    {
        if (MmGetMdlByteCount(Mdl) < Length)
            return false;
        *Resolved = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority));
    }
    else
    {
        *Resolved = static_cast<PUCHAR>(Buffer);
    }
    return *Resolved != nullptr;
}

USBD_STATUS HandshakeStatus(UsbHandshake Outcome)
{
    switch (Outcome)
    {
    case UsbHandshake::Ack:
        return USBD_STATUS_SUCCESS;
    case UsbHandshake::Stall:
        return USBD_STATUS_STALL_PID;
    case UsbHandshake::DeviceGone:
        return USBD_STATUS_DEVICE_GONE;
    case UsbHandshake::Nak:
    default:
        return USBD_STATUS_DEV_NOT_RESPONDING;
    }
}

// The descriptor at Position if it lies wholly before End and can advance a walk.
const UCHAR* DescriptorAt(const UCHAR* Position, const UCHAR* End)
{
    if (End - Position < 2 || Position[0] < 2 || Position[0] > End - Position)
        return nullptr;
    return Position;
}

} // namespace

NTSTATUS UsbdStatusToNtStatus(USBD_STATUS Status)
{
    switch (Status)
    {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_ERROR_BUSY:
        return STATUS_DEVICE_BUSY;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_NOT_SUPPORTED:
        return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
    case USBD_STATUS_NO_BANDWIDTH:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS UsbBus::FailUrb(PIRP Irp, PURB Urb, USBD_STATUS UrbStatus)
{
    NTSTATUS status = UsbdStatusToNtStatus(UrbStatus);
    Urb->UrbHeader.Status = UrbStatus;
    Irp->IoStatus.Information = 0;
    CompleteIrp(Irp, status);
    return status;
}

NTSTATUS UsbBus::SucceedUrb(PIRP Irp, PURB Urb)
{
    Urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    CompleteIrp(Irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

USBD_PIPE_HANDLE UsbBus::NewHandle()
{
    ULONG_PTR serial = __atomic_fetch_add(&m_nextHandle, 1, __ATOMIC_SEQ_CST);
    return reinterpret_cast<USBD_PIPE_HANDLE>(kHandleBase + (serial << 4));
}

NTSTATUS UsbBus::SubmitUrb(PIRP Irp)
{
    auto urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
    if (urb == nullptr)
    {
        Irp->IoStatus.Information = 0;
        CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    if (urb->UrbHeader.Length < sizeof(struct _URB_HEADER))
        return FailUrb(Irp, urb, USBD_STATUS_INVALID_PARAMETER);
    if (!Present())
        return FailUrb(Irp, urb, USBD_STATUS_DEVICE_GONE);
    return DispatchUrb(Irp, urb);
}

NTSTATUS UsbBus::DispatchUrb(PIRP Irp, PURB Urb)
{
    switch (Urb->UrbHeader.Function)
    {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(Irp, Urb);
    case URB_FUNCTION_SELECT_INTERFACE:
        return SelectInterface(Irp, Urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return PipeRequest(Irp, Urb);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        if (Urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))
            return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
        Urb->UrbGetCurrentFrameNumber.FrameNumber = CurrentFrame();
        return SucceedUrb(Irp, Urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkOrInterruptUrb(Irp, Urb);
    case URB_FUNCTION_ISOCH_TRANSFER:
        return IsochronousUrb(Irp, Urb);
    default:
        if (FindControlFunction(Urb->UrbHeader.Function) != nullptr)
            return ControlUrb(Irp, Urb);
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

// ---- The default pipe ----

NTSTATUS UsbBus::ControlUrb(PIRP Irp, PURB Urb)
{
    const ControlFunction* row = FindControlFunction(Urb->UrbHeader.Function);
    if (Urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_TRANSFER))
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    struct _URB_CONTROL_TRANSFER& transfer = Urb->UrbControlTransfer;
    UsbSetupPacket setup;
    bool in = true;
    bool hasData = row->Layout != SetupLayout::Feature;
    switch (row->Layout)
    {
    case SetupLayout::Descriptor:
        setup.Value = USHORT(Urb->UrbControlDescriptorRequest.DescriptorType << 8 |
                             Urb->UrbControlDescriptorRequest.Index);
        setup.Index = Urb->UrbControlDescriptorRequest.LanguageId;
        break;
    case SetupLayout::Status:
        if (transfer.TransferBufferLength < 2)
            return FailUrb(Irp, Urb, USBD_STATUS_BUFFER_TOO_SMALL);
        transfer.TransferBufferLength = 2;
        setup.Index = Urb->UrbControlGetStatusRequest.Index;
        break;
    case SetupLayout::Feature:
        in = false;
        setup.Value = Urb->UrbControlFeatureRequest.FeatureSelector;
        setup.Index = Urb->UrbControlFeatureRequest.Index;
        break;
    case SetupLayout::VendorClass:
        in = USBD_TRANSFER_DIRECTION(transfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        setup.Value = Urb->UrbControlVendorClassRequest.Value;
        setup.Index = Urb->UrbControlVendorClassRequest.Index;
        break;
    case SetupLayout::Raw:
        in = USBD_TRANSFER_DIRECTION(transfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        // The data stage's direction is the transfer's; a setup packet that says otherwise
        // would have the device and the controller disagree on who talks.
        if (((transfer.SetupPacket[0] & kDirectionIn) != 0) != in)
            return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
        setup.Value = USHORT(transfer.SetupPacket[2] | transfer.SetupPacket[3] << 8);
        setup.Index = USHORT(transfer.SetupPacket[4] | transfer.SetupPacket[5] << 8);
        break;
    }
    if (row->Layout == SetupLayout::Raw)
    {
        setup.RequestType = transfer.SetupPacket[0];
        setup.Request = transfer.SetupPacket[1];
    }
    else
    {
        UCHAR reserved = row->Layout == SetupLayout::VendorClass
                             ? Urb->UrbControlVendorClassRequest.RequestTypeReservedBits
                             : 0;
        setup.RequestType = UCHAR((in ? kDirectionIn : 0) | row->Type | row->Recipient | reserved);
        setup.Request = row->Layout == SetupLayout::VendorClass ? Urb->UrbControlVendorClassRequest.Request
                                                                : row->Request;
    }

    PUCHAR buffer = nullptr;
    ULONG length = hasData ? transfer.TransferBufferLength : 0;
    if (length > 0xFFFF ||
        !ResolveBuffer(transfer.TransferBuffer, transfer.TransferBufferMDL, length, &buffer))
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    setup.Length = USHORT(length);

    std::vector<UCHAR> outData;
    if (!in && length != 0)
        outData.assign(buffer, buffer + length);
    Request entry;
    entry.Irp = Irp;
    entry.Urb = Urb;
    entry.Kind = RequestKind::Control;
    entry.In = in;
    entry.Buffer = buffer;
    entry.Length = length;
    entry.HasDataStage = hasData;
    entry.Answer = m_pDevice->Control(setup, outData);
    if (entry.Answer.Outcome == UsbHandshake::DeviceGone)
        return FailUrb(Irp, Urb, USBD_STATUS_DEVICE_GONE);
    // A device that does not answer holds the request until it is cancelled.
    entry.Due =
        entry.Answer.Outcome == UsbHandshake::Nak ? kNever : KeQueryInterruptTime() + entry.Answer.Delay100ns;
    return Queue(std::move(entry));
}

void UsbBus::FinishControl(Request& Entry)
{
    USBD_STATUS urbStatus = HandshakeStatus(Entry.Answer.Outcome);
    ULONG bytes = 0;
    if (urbStatus == USBD_STATUS_SUCCESS)
    {
        bytes = Entry.Length;
        if (Entry.In)
        {
            bytes = ULONG(std::min<size_t>(Entry.Answer.Data.size(), Entry.Length));
            if (bytes != 0)
                std::memcpy(Entry.Buffer, Entry.Answer.Data.data(), bytes);
        }
    }
    if (Entry.HasDataStage)
        Entry.Urb->UrbControlTransfer.TransferBufferLength = bytes;
    NTSTATUS status = UsbdStatusToNtStatus(urbStatus);
    Entry.Urb->UrbHeader.Status = urbStatus;
    Entry.Irp->IoStatus.Information = 0;
    Record(Entry, bytes, 0, urbStatus, status);
    CompleteIrp(Entry.Irp, status);
}

// A standard request the bus itself sends, answered at once.
USBD_STATUS UsbBus::SendStandard(UCHAR RequestType, UCHAR Request, USHORT Value, USHORT Index)
{
    UsbSetupPacket setup;
    setup.RequestType = RequestType;
    setup.Request = Request;
    setup.Value = Value;
    setup.Index = Index;
    return HandshakeStatus(m_pDevice->Control(setup, {}).Outcome);
}

// ---- Configuration and interfaces ----

// Fills the client's interface record for the interface descriptor at InterfaceDescriptor and
// lists the pipes of its endpoints.
USBD_STATUS UsbBus::OpenPipes(PUSBD_INTERFACE_INFORMATION Info, const UCHAR* InterfaceDescriptor,
                              const UCHAR* ConfigEnd, std::vector<Pipe>* Opened)
{
    auto iface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(InterfaceDescriptor);
    std::vector<const UCHAR*> endpoints;
    for (const UCHAR* d = DescriptorAt(InterfaceDescriptor + InterfaceDescriptor[0], ConfigEnd);
         d != nullptr && d[1] != USB_INTERFACE_DESCRIPTOR_TYPE && endpoints.size() < iface->bNumEndpoints;
         d = DescriptorAt(d + d[0], ConfigEnd))
    {
        if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= 7)
            endpoints.push_back(d);
    }
    if (endpoints.size() != iface->bNumEndpoints)
        return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    if (Info->Length < GET_USBD_INTERFACE_SIZE(endpoints.size()))
        return USBD_STATUS_BUFFER_TOO_SMALL;
    Info->Class = iface->bInterfaceClass;
    Info->SubClass = iface->bInterfaceSubClass;
    Info->Protocol = iface->bInterfaceProtocol;
    Info->InterfaceHandle = NewHandle();
    Info->NumberOfPipes = ULONG(endpoints.size());
    const bool highSpeed = m_pDevice->Speed() == UsbBusSpeed::High;
    for (size_t i = 0; i < endpoints.size(); ++i)
    {
        const UCHAR* e = endpoints[i];
        PUSBD_PIPE_INFORMATION p = &Info->Pipes[i];
        USHORT raw = USHORT(e[4] | e[5] << 8);
        USHORT size = USHORT(raw & 0x7FF);
        if (highSpeed)
            size = USHORT(size * (1 + ((raw >> 11) & 3)));
        if ((p->PipeFlags & USBD_PF_CHANGE_MAX_PACKET) == 0 || p->MaximumPacketSize == 0 ||
            p->MaximumPacketSize > size)
            p->MaximumPacketSize = size;
        p->EndpointAddress = e[2];
        p->Interval = e[6];
        p->PipeType = static_cast<USBD_PIPE_TYPE>(e[3] & 3);
        p->PipeHandle = NewHandle();
        Pipe pipe;
        pipe.Handle = p->PipeHandle;
        pipe.InterfaceNumber = iface->bInterfaceNumber;
        pipe.Address = p->EndpointAddress;
        pipe.Type = p->PipeType;
        pipe.MaxPacket = p->MaximumPacketSize;
        pipe.Interval = p->Interval;
        Opened->push_back(pipe);
    }
    return USBD_STATUS_SUCCESS;
}

NTSTATUS UsbBus::SelectConfiguration(PIRP Irp, PURB Urb)
{
    struct _URB_SELECT_CONFIGURATION& select = Urb->UrbSelectConfiguration;
    const USHORT headerBytes = USHORT(offsetof(struct _URB_SELECT_CONFIGURATION, Interface));
    if (Urb->UrbHeader.Length < headerBytes)
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    CancelAllTransfers();
    if (select.ConfigurationDescriptor == nullptr)
    {
        USBD_STATUS status = SendStandard(0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0);
        if (status != USBD_STATUS_SUCCESS)
            return FailUrb(Irp, Urb, status);
        KIRQL irql;
        KeAcquireSpinLock(&m_lock, &irql);
        m_pipes.clear();
        m_configuration.clear();
        m_configurationValue = 0;
        m_configurationHandle = nullptr;
        m_alternates.clear();
        KeReleaseSpinLock(&m_lock, irql);
        return SucceedUrb(Irp, Urb);
    }
    const UCHAR* config = reinterpret_cast<const UCHAR*>(select.ConfigurationDescriptor);
    const USHORT total = select.ConfigurationDescriptor->wTotalLength;
    if (config[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) || config[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        total < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);

    // One interface record per interface of the configuration, packed after the header.
    std::vector<Pipe> opened;
    std::vector<std::pair<UCHAR, UCHAR>> alternates;
    PUCHAR position = reinterpret_cast<PUCHAR>(&select.Interface);
    PUCHAR end = reinterpret_cast<PUCHAR>(Urb) + Urb->UrbHeader.Length;
    for (UCHAR i = 0; i < select.ConfigurationDescriptor->bNumInterfaces; ++i)
    {
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        if (end - position < LONG_PTR(GET_USBD_INTERFACE_SIZE(0)) ||
            info->Length < GET_USBD_INTERFACE_SIZE(0) || info->Length > end - position)
            return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            select.ConfigurationDescriptor, select.ConfigurationDescriptor, info->InterfaceNumber,
            info->AlternateSetting, -1, -1, -1);
        if (descriptor == nullptr)
            return FailUrb(Irp, Urb, USBD_STATUS_INTERFACE_NOT_FOUND);
        USBD_STATUS status =
            OpenPipes(info, reinterpret_cast<const UCHAR*>(descriptor), config + total, &opened);
        if (status != USBD_STATUS_SUCCESS)
            return FailUrb(Irp, Urb, status);
        alternates.emplace_back(info->InterfaceNumber, info->AlternateSetting);
        position += info->Length;
    }

    const UCHAR value = select.ConfigurationDescriptor->bConfigurationValue;
    USBD_STATUS status = SendStandard(0x00, USB_REQUEST_SET_CONFIGURATION, value, 0);
    if (status == USBD_STATUS_STALL_PID)
        status = USBD_STATUS_SET_CONFIG_FAILED;
    for (size_t i = 0; i < alternates.size() && status == USBD_STATUS_SUCCESS; ++i)
    {
        if (alternates[i].second != 0)
            status = SendStandard(0x01, USB_REQUEST_SET_INTERFACE, alternates[i].second, alternates[i].first);
    }
    if (status != USBD_STATUS_SUCCESS)
        return FailUrb(Irp, Urb, status);
    select.ConfigurationHandle = NewHandle();
    {
        KIRQL irql;
        KeAcquireSpinLock(&m_lock, &irql);
        m_pipes = std::move(opened);
        m_configuration.assign(config, config + total);
        m_configurationValue = value;
        m_configurationHandle = select.ConfigurationHandle;
        m_alternates = std::move(alternates);
        KeReleaseSpinLock(&m_lock, irql);
    }
    return SucceedUrb(Irp, Urb);
}

NTSTATUS UsbBus::SelectInterface(PIRP Irp, PURB Urb)
{
    struct _URB_SELECT_INTERFACE& select = Urb->UrbSelectInterface;
    const USHORT headerBytes = USHORT(offsetof(struct _URB_SELECT_INTERFACE, Interface));
    if (Urb->UrbHeader.Length < headerBytes + GET_USBD_INTERFACE_SIZE(0) ||
        select.Interface.Length < GET_USBD_INTERFACE_SIZE(0) ||
        select.Interface.Length > Urb->UrbHeader.Length - headerBytes)
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    std::vector<UCHAR> config;
    {
        KIRQL irql;
        KeAcquireSpinLock(&m_lock, &irql);
        if (select.ConfigurationHandle != nullptr && select.ConfigurationHandle == m_configurationHandle)
            config = m_configuration;
        KeReleaseSpinLock(&m_lock, irql);
    }
    if (config.empty())
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    auto descriptorHeader = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    const UCHAR number = select.Interface.InterfaceNumber;
    const UCHAR alternate = select.Interface.AlternateSetting;
    PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
        descriptorHeader, descriptorHeader, number, alternate, -1, -1, -1);
    if (descriptor == nullptr)
        return FailUrb(Irp, Urb, USBD_STATUS_INTERFACE_NOT_FOUND);
    std::vector<Pipe> opened;
    USBD_STATUS status = OpenPipes(&select.Interface, reinterpret_cast<const UCHAR*>(descriptor),
                                   config.data() + config.size(), &opened);
    if (status == USBD_STATUS_SUCCESS)
        status = SendStandard(0x01, USB_REQUEST_SET_INTERFACE, alternate, number);
    if (status != USBD_STATUS_SUCCESS)
        return FailUrb(Irp, Urb, status);

    // The interface's old pipes close; what was still queued on them is cancelled.
    std::vector<USBD_PIPE_HANDLE> closed;
    {
        KIRQL irql;
        KeAcquireSpinLock(&m_lock, &irql);
        for (auto it = m_pipes.begin(); it != m_pipes.end();)
        {
            if (it->InterfaceNumber == number)
            {
                closed.push_back(it->Handle);
                it = m_pipes.erase(it);
            }
            else
            {
                ++it;
            }
        }
        m_pipes.insert(m_pipes.end(), opened.begin(), opened.end());
        for (auto& entry : m_alternates)
        {
            if (entry.first == number)
                entry.second = alternate;
        }
        KeReleaseSpinLock(&m_lock, irql);
    }
    for (USBD_PIPE_HANDLE handle : closed)
        CancelPipeTransfers(handle);
    return SucceedUrb(Irp, Urb);
}

NTSTATUS UsbBus::PipeRequest(PIRP Irp, PURB Urb)
{
    if (Urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    Pipe pipe;
    if (!FindPipe(Urb->UrbPipeRequest.PipeHandle, &pipe))
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE)
    {
        CancelPipeTransfers(pipe.Handle);
        // The abort finishes after the transfers it cancelled, on the bus thread.
        Request entry;
        entry.Irp = Irp;
        entry.Urb = Urb;
        entry.Kind = RequestKind::Abort;
        entry.Due = 0;
        return Queue(std::move(entry));
    }
    // Isochronous endpoints have no halt to clear; the others get CLEAR_FEATURE(ENDPOINT_HALT).
    if (Urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE && pipe.Type != UsbdPipeTypeIsochronous)
    {
        USBD_STATUS status = SendStandard(BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE,
                                          USB_FEATURE_ENDPOINT_STALL, pipe.Address);
        if (status != USBD_STATUS_SUCCESS)
            return FailUrb(Irp, Urb, status);
    }
    {
        KIRQL irql;
        KeAcquireSpinLock(&m_lock, &irql);
        for (Pipe& p : m_pipes)
        {
            if (p.Handle == pipe.Handle)
            {
                p.Halted = false;
                p.HasNextFrame = false;
            }
        }
        KeReleaseSpinLock(&m_lock, irql);
    }
    return SucceedUrb(Irp, Urb);
}

} // namespace plat
