// The bus PDO's dispatch, its port and idle requests, the USBDI bus interface, and the queue
// of pending requests with the bus thread that completes them at DISPATCH_LEVEL.
#include "usb_bus.h"

#include "clock.h"
#include "plat_fatal.h"
#include "plat_sched.h"
#include "thread.h"

#include <algorithm>

namespace plat
{

namespace
{

constexpr ULONGLONG kFrame100ns = 10000;

// USBDI and USB releases the bus reports: a 2.0 host controller stack.
constexpr ULONG kUsbdiVersion = 0x00000600;
constexpr ULONG kSupportedUsbVersion = 0x00000200;

} // namespace

UsbBus::UsbBus(IUsbBusDevice* Device) : m_pDevice(Device)
{
    KeInitializeSpinLock(&m_lock);
    KeInitializeEvent(&m_wake, SynchronizationEvent, FALSE);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, ThreadStart, this);
    if (!NT_SUCCESS(status))
        Fatal("UsbBus: cannot start the bus thread (0x%08x)", unsigned(status));
    PVOID thread = nullptr;
    ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr);
    ZwClose(handle);
    m_pThread = static_cast<PKTHREAD>(thread);
    SetThreadName(m_pThread, "usb-bus");
    m_pDevice->SetBusEvents(this);
}

UsbBus::~UsbBus()
{
    m_pDevice->SetBusEvents(nullptr);
    FailEverything(STATUS_CANCELLED, USBD_STATUS_CANCELED);
    {
        BusLock lock(&m_lock);
        m_stop = true;
    }
    Wake();
    KeWaitForSingleObject(m_pThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(m_pThread);
}

ULONG UsbBus::CurrentFrame() const
{
    return ULONG(KeQueryInterruptTime() / kFrame100ns);
}

bool UsbBus::Present() const
{
    bool attached;
    {
        BusLock lock(const_cast<PKSPIN_LOCK>(&m_lock));
        attached = !m_removed && !m_detached;
    }
    return attached && m_pDevice->IsConnected();
}

SIZE_T UsbBus::PendingRequestCount()
{
    BusLock lock(&m_lock);
    return m_queue.size();
}

// ---- Dispatch ----

NTSTATUS UsbBus::DispatchInternalDeviceControl(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(Irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return PortStatus(Irp);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return ResetPort(Irp);
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        return CyclePort(Irp);
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
        return IdleNotification(Irp);
    default:
        Irp->IoStatus.Information = 0;
        CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

bool UsbBus::DispatchPnp(PDEVICE_OBJECT, PIRP Irp, NTSTATUS* Status)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction)
    {
    case IRP_MN_QUERY_INTERFACE:
        *Status = QueryInterface(Irp);
        return *Status != STATUS_NOT_FOUND;
    case IRP_MN_QUERY_CAPABILITIES:
        QueryCapabilities(Irp);
        *Status = STATUS_SUCCESS;
        CompleteIrp(Irp, STATUS_SUCCESS);
        return true;
    case IRP_MN_START_DEVICE:
    {
        BusLock lock(&m_lock);
        m_removed = false;
        break;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        // Whatever the client left queued cannot finish any more.
        FailEverything(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        {
            BusLock lock(&m_lock);
            m_removed = true;
            m_pipes.clear();
            m_configurationHandle = nullptr;
        }
        break;
    default:
        break;
    }
    return false; // the host's bus driver completes what is left
}

// ---- Port requests ----

NTSTATUS UsbBus::PortStatus(PIRP Irp)
{
    auto portStatus = static_cast<PULONG>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
    if (portStatus == nullptr)
    {
        CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    bool detached;
    {
        BusLock lock(&m_lock);
        detached = m_detached;
    }
    ULONG bits = 0;
    NTSTATUS status = detached ? STATUS_SUCCESS : m_pDevice->QueryPortStatus(&bits);
    *portStatus = NT_SUCCESS(status) ? bits : 0;
    CompleteIrp(Irp, status);
    return status;
}

NTSTATUS UsbBus::ResetPort(PIRP Irp)
{
    if (!Present())
    {
        CompleteIrp(Irp, STATUS_DEVICE_NOT_CONNECTED);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    CancelAllTransfers();
    NTSTATUS status = m_pDevice->ResetPort();
    if (NT_SUCCESS(status))
    {
        // The hub restores the configuration and the interfaces' settings, so the client's
        // pipe handles stay valid across the reset.
        UCHAR configuration;
        std::vector<std::pair<UCHAR, UCHAR>> alternates;
        {
            BusLock lock(&m_lock);
            configuration = m_configurationValue;
            alternates = m_alternates;
            for (Pipe& pipe : m_pipes)
            {
                pipe.Halted = false;
                pipe.HasNextFrame = false;
            }
        }
        if (configuration != 0)
            SendStandard(0x00, USB_REQUEST_SET_CONFIGURATION, configuration, 0);
        for (const auto& alternate : alternates)
        {
            if (alternate.second != 0)
                SendStandard(0x01, USB_REQUEST_SET_INTERFACE, alternate.second, alternate.first);
        }
    }
    CompleteIrp(Irp, status);
    return status;
}

NTSTATUS UsbBus::CyclePort(PIRP Irp)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (Present())
        status = m_pDevice->CyclePort();
    if (NT_SUCCESS(status))
    {
        // The device comes back as a new PDO; this one has lost it for good.
        FailEverything(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        BusLock lock(&m_lock);
        m_detached = true;
        m_pipes.clear();
        m_configurationHandle = nullptr;
        __atomic_add_fetch(&m_cycles, 1, __ATOMIC_SEQ_CST);
    }
    CompleteIrp(Irp, status);
    return status;
}

NTSTATUS UsbBus::IdleNotification(PIRP Irp)
{
    auto info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.Type3InputBuffer);
    if (info == nullptr || info->IdleCallback == nullptr)
    {
        CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    if (!Present())
    {
        CompleteIrp(Irp, STATUS_DEVICE_NOT_CONNECTED);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    // One idle request per device at a time.
    bool busy = false;
    {
        BusLock lock(&m_lock);
        busy = std::any_of(m_queue.begin(), m_queue.end(),
                           [](const Request& entry)
                           { return entry.Kind == RequestKind::Idle && !entry.Cancelled; });
    }
    if (busy)
    {
        CompleteIrp(Irp, STATUS_DEVICE_BUSY);
        return STATUS_DEVICE_BUSY;
    }
    Request entry;
    entry.Irp = Irp;
    entry.Kind = RequestKind::Idle;
    entry.Due = kNever;
    return Queue(std::move(entry));
}

bool UsbBus::SignalIdle()
{
    USB_IDLE_CALLBACK_INFO info{};
    {
        BusLock lock(&m_lock);
        auto it =
            std::find_if(m_queue.begin(), m_queue.end(),
                         [](const Request& entry) {
                             return entry.Kind == RequestKind::Idle && !entry.Cancelled && !entry.IdleCalled;
                         });
        if (it == m_queue.end())
            return false;
        it->IdleCalled = true;
        // The callback record belongs to the client until its request completes, which
        // cannot happen before the callback returns: it is copied under the lock anyway.
        info = *static_cast<PUSB_IDLE_CALLBACK_INFO>(
            IoGetCurrentIrpStackLocation(it->Irp)->Parameters.DeviceIoControl.Type3InputBuffer);
    }
    info.IdleCallback(info.IdleContext);
    return true;
}

// ---- Plug and play ----

NTSTATUS UsbBus::QueryInterface(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
    if (type == nullptr || !IsEqualGUID(*type, USB_BUS_INTERFACE_USBDI_GUID))
        return STATUS_NOT_FOUND;
    USHORT version = stack->Parameters.QueryInterface.Version;
    USHORT size = stack->Parameters.QueryInterface.Size;
    auto target = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(stack->Parameters.QueryInterface.Interface);
    USHORT needed = version == USB_BUSIF_USBDI_VERSION_0 ? USHORT(sizeof(USB_BUS_INTERFACE_USBDI_V0))
                                                         : USHORT(sizeof(USB_BUS_INTERFACE_USBDI_V1));
    NTSTATUS status = STATUS_SUCCESS;
    if (version > USB_BUSIF_USBDI_VERSION_1)
        status = STATUS_NOT_SUPPORTED;
    else if (target == nullptr || size < needed)
        status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status))
    {
        USB_BUS_INTERFACE_USBDI_V1 answer{};
        answer.Size = needed;
        answer.Version = version;
        answer.BusContext = this;
        answer.InterfaceReference = InterfaceReference;
        answer.InterfaceDereference = InterfaceDereference;
        answer.GetUSBDIVersion = GetUsbdiVersion;
        answer.QueryBusTime = QueryBusTime;
        answer.SubmitIsoOutUrb = SubmitIsoOutUrb;
        answer.QueryBusInformation = QueryBusInformation;
        answer.IsDeviceHighSpeed = IsDeviceHighSpeed;
        std::memcpy(target, &answer, needed);
        // An interface handed out carries a reference for its receiver.
        InterfaceReference(this);
    }
    CompleteIrp(Irp, status);
    return status;
}

void UsbBus::QueryCapabilities(PIRP Irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    caps->DeviceD1 = 0;
    caps->DeviceD2 = 1;
    caps->Removable = 1;
    caps->UniqueID = 0;
    caps->SurpriseRemovalOK = 1;
    caps->Address = 1; // the port number
    caps->UINumber = 1;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s)
        caps->DeviceState[s] = PowerDeviceD3;
    if (m_pDevice->SupportsRemoteWakeup())
    {
        caps->WakeFromD2 = 1;
        caps->DeviceWake = PowerDeviceD2;
        caps->SystemWake = PowerSystemSleeping3;
    }
    else
    {
        caps->DeviceWake = PowerDeviceUnspecified;
        caps->SystemWake = PowerSystemUnspecified;
    }
}

VOID UsbBus::InterfaceReference(PVOID Context)
{
    __atomic_add_fetch(&static_cast<UsbBus*>(Context)->m_interfaceRefs, 1, __ATOMIC_SEQ_CST);
}

VOID UsbBus::InterfaceDereference(PVOID Context)
{
    auto bus = static_cast<UsbBus*>(Context);
    if (__atomic_sub_fetch(&bus->m_interfaceRefs, 1, __ATOMIC_SEQ_CST) < 0)
        Fatal("USBDI bus interface: InterfaceDereference without a matching reference");
}

VOID UsbBus::GetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION Version, PULONG HcdCapabilities)
{
    if (Version != nullptr)
    {
        Version->USBDI_Version = kUsbdiVersion;
        Version->Supported_USB_Version = kSupportedUsbVersion;
    }
    if (HcdCapabilities != nullptr)
        *HcdCapabilities = 0;
}

NTSTATUS UsbBus::QueryBusTime(PVOID BusContext, PULONG CurrentUsbFrame)
{
    if (BusContext == nullptr || CurrentUsbFrame == nullptr)
        return STATUS_INVALID_PARAMETER;
    *CurrentUsbFrame = static_cast<UsbBus*>(BusContext)->CurrentFrame();
    return STATUS_SUCCESS;
}

NTSTATUS UsbBus::SubmitIsoOutUrb(PVOID, PURB)
{
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS UsbBus::QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG)
{
    return STATUS_NOT_SUPPORTED;
}

BOOLEAN UsbBus::IsDeviceHighSpeed(PVOID BusContext)
{
    return static_cast<UsbBus*>(BusContext)->m_pDevice->Speed() == UsbBusSpeed::High;
}

// ---- The queue ----

void UsbBus::CompleteIrp(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    KeLowerIrql(irql);
}

void UsbBus::Wake()
{
    KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);
}

// Pends the IRP with a cancel routine, or completes it cancelled when its owner cancelled it
// before the routine was in place.
NTSTATUS UsbBus::Queue(Request&& Entry)
{
    PIRP irp = Entry.Irp;
    irp->Tail.Overlay.DriverContext[0] = this;
    IoMarkIrpPending(irp);
    {
        BusLock lock(&m_lock);
        Entry.Sequence = ++m_sequence;
        m_queue.push_back(std::move(Entry));
        if (m_queue.back().Kind != RequestKind::Abort)
            IoSetCancelRoutine(irp, CancelRoutine);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
        {
            m_queue.back().Cancelled = true;
            m_queue.back().Due = 0;
        }
    }
    Wake();
    return STATUS_PENDING;
}

VOID UsbBus::CancelRoutine(PDEVICE_OBJECT, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    static_cast<UsbBus*>(Irp->Tail.Overlay.DriverContext[0])->CancelRequest(Irp);
}

// The cancelled request completes on the bus thread, as the controller only lets go of a
// transfer at a frame boundary.
void UsbBus::CancelRequest(PIRP Irp)
{
    {
        BusLock lock(&m_lock);
        for (Request& entry : m_queue)
        {
            if (entry.Irp == Irp)
            {
                entry.Cancelled = true;
                entry.Due = 0;
            }
        }
    }
    Wake();
}

void UsbBus::FailEverything(NTSTATUS Status, USBD_STATUS UrbStatus)
{
    std::vector<Request> failed;
    {
        BusLock lock(&m_lock);
        for (Request& entry : m_queue)
            failed.push_back(std::move(entry));
        m_queue.clear();
    }
    for (Request& entry : failed)
    {
        IoSetCancelRoutine(entry.Irp, nullptr);
        if (entry.Urb != nullptr)
            entry.Urb->UrbHeader.Status = UrbStatus;
        entry.Irp->IoStatus.Information = 0;
        CompleteIrp(entry.Irp, Status);
    }
}

VOID UsbBus::ThreadStart(PVOID Context)
{
    static_cast<UsbBus*>(Context)->ThreadLoop();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void UsbBus::ThreadLoop()
{
    for (;;)
    {
        std::vector<Request> due;
        ULONGLONG nextDue = kNever;
        if (!TakeDue(&due, &nextDue))
            return;
        for (Request& entry : due)
            Finish(entry);
        if (!due.empty())
            continue;
        if (nextDue == kNever)
        {
            KeWaitForSingleObject(&m_wake, Executive, KernelMode, FALSE, nullptr);
            continue;
        }
        ULONGLONG now = KeQueryInterruptTime();
        if (nextDue > now)
        {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -LONGLONG(nextDue - now);
            KeWaitForSingleObject(&m_wake, Executive, KernelMode, FALSE, &timeout);
        }
    }
}

// Moves the requests whose time has come out of the queue, in (due, submission) order.
bool UsbBus::TakeDue(std::vector<Request>* Due, ULONGLONG* NextDue)
{
    ULONGLONG now = KeQueryInterruptTime();
    BusLock lock(&m_lock);
    if (m_stop)
        return false;
    for (auto it = m_queue.begin(); it != m_queue.end();)
    {
        if (it->Due <= now)
        {
            Due->push_back(std::move(*it));
            it = m_queue.erase(it);
            continue;
        }
        *NextDue = std::min(*NextDue, it->Due);
        ++it;
    }
    std::stable_sort(Due->begin(), Due->end(),
                     [](const Request& a, const Request& b)
                     { return a.Due != b.Due ? a.Due < b.Due : a.Sequence < b.Sequence; });
    return true;
}

void UsbBus::Finish(Request& Entry)
{
    // A cancel routine that is running now has lost the race: the request is ours, and it
    // was cancelled.
    if (Entry.Kind != RequestKind::Abort && IoSetCancelRoutine(Entry.Irp, nullptr) == nullptr)
        Entry.Cancelled = true;
    if (Entry.Cancelled)
    {
        if (Entry.Urb != nullptr)
        {
            Entry.Urb->UrbHeader.Status = USBD_STATUS_CANCELED;
            if (Entry.Kind == RequestKind::Transfer)
                Record(Entry, 0, 0, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        }
        Entry.Irp->IoStatus.Information = 0;
        CompleteIrp(Entry.Irp, STATUS_CANCELLED);
        return;
    }
    switch (Entry.Kind)
    {
    case RequestKind::Control:
        FinishControl(Entry);
        break;
    case RequestKind::Transfer:
        if (Entry.PipeType == UsbdPipeTypeIsochronous)
            FinishIsochronous(Entry);
        else
            FinishBulkOrInterrupt(Entry);
        break;
    case RequestKind::Abort:
        Entry.Urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        CompleteIrp(Entry.Irp, STATUS_SUCCESS);
        break;
    case RequestKind::Idle:
        // Idle requests wait for ever; only a cancel or a removal ends them.
        break;
    }
}

} // namespace plat
