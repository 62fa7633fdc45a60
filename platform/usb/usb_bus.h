// The USB bus stand-in: what the hub and host controller do for the one device on a port, as
// the physical device object under the client driver. It answers internal device-control
// requests (URBs, port status, reset, cycle, idle notification) and the plug-and-play
// requests of a bus PDO (the USBDI bus interface among them), checks every URB as a host
// controller does, and completes queued transfers on its own platform thread at
// DISPATCH_LEVEL once the frames they occupy have passed on the platform clock.
#pragma once

#include "clock.h"
#include "io.h"
#include "thread.h"
#include "usb_bus_device.h"
#include "usbbusif.h"
#include "usbioctl.h"

#include <cstdint>
#include <list>
#include <vector>

namespace plat
{

// The NTSTATUS a client sees beside a URB's USBD status.
NTSTATUS UsbdStatusToNtStatus(USBD_STATUS Status);

class UsbBus : private IUsbBusEvents
{
public:
    // Starts the bus thread (PASSIVE_LEVEL). Device must outlive the bus.
    explicit UsbBus(IUsbBusDevice* Device);
    // Completes whatever is still queued with STATUS_CANCELLED and joins the bus thread.
    ~UsbBus() override;
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Dispatch routines of the PDO. Each completes or pends the IRP and returns its status.
    NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT Pdo, PIRP Irp);
    // Returns false, leaving the IRP alone, for plug-and-play requests a bus answers with the
    // status already in the IRP (the host's default handling then completes them).
    bool DispatchPnp(PDEVICE_OBJECT Pdo, PIRP Irp, NTSTATUS* Status);

    // The host decides the device may suspend: calls the pending idle request's callback on
    // the calling thread (PASSIVE_LEVEL). False when no idle request waits or its callback ran.
    bool SignalIdle();

    // The frame counter: 1 ms frames since the platform started, at either speed.
    ULONG CurrentFrame() const;

    // For tests: requests queued on the bus, USBDI interface references not yet dropped, and
    // how often the port was cycled.
    SIZE_T PendingRequestCount();
    LONG InterfaceReferenceCount() const { return m_interfaceRefs; }
    ULONG CycleCount() const { return m_cycles; }

private:
    enum class RequestKind
    {
        Control,
        Transfer, // bulk, interrupt or isochronous
        Abort,    // an abort-pipe URB, finished after the transfers it cancelled
        Idle,
    };

    struct Pipe
    {
        USBD_PIPE_HANDLE Handle = nullptr;
        UCHAR InterfaceNumber = 0;
        UCHAR Address = 0;
        USBD_PIPE_TYPE Type = UsbdPipeTypeControl;
        USHORT MaxPacket = 0; // bytes per (micro)frame, high-bandwidth multiplier included
        UCHAR Interval = 0;   // bInterval as the descriptor gives it
        bool Halted = false;
        bool HasNextFrame = false;
        ULONG NextFrame = 0; // where an ASAP isochronous transfer continues
        ULONG Aborts = 0;    // bumped by every abort, so a transfer in flight can tell
    };

    struct Request
    {
        PIRP Irp = nullptr;
        PURB Urb = nullptr;
        RequestKind Kind = RequestKind::Control;
        ULONGLONG Sequence = 0;
        ULONGLONG Due = 0; // interrupt time at which it completes; kNever while it waits
        bool Cancelled = false;
        USBD_PIPE_HANDLE PipeHandle = nullptr;
        UCHAR Address = 0;
        USBD_PIPE_TYPE PipeType = UsbdPipeTypeControl;
        bool In = false;
        PUCHAR Buffer = nullptr;  // the client's transfer buffer, resolved at submission
        ULONG Length = 0;         // its length in bytes
        bool HasDataStage = true; // control: the URB has buffer fields (feature requests have none)
        USHORT MaxPacket = 0;
        ULONG StartFrame = 0;
        ULONG PacketsPerFrame = 1;
        ULONG PipeAborts = 0;                         // the pipe's abort count when the transfer was queued
        std::vector<std::pair<ULONG, ULONG>> Packets; // isochronous: (offset, bytes) checked at submission
        UsbControlAnswer Answer;                      // control: the device's answer, delivered at completion
        bool IdleCalled = false;
    };

    static constexpr ULONGLONG kNever = ~0ULL;

    // The bus's spin lock, held only around its own bookkeeping.
    class BusLock
    {
    public:
        explicit BusLock(PKSPIN_LOCK Lock) : m_pLock(Lock) { KeAcquireSpinLock(m_pLock, &m_irql); }
        ~BusLock() { KeReleaseSpinLock(m_pLock, m_irql); }
        BusLock(const BusLock&) = delete;
        BusLock& operator=(const BusLock&) = delete;

    private:
        PKSPIN_LOCK m_pLock;
        KIRQL m_irql;
    };

    // usb_bus.cpp: requests other than URBs, the queue and the thread.
    NTSTATUS PortStatus(PIRP Irp);
    NTSTATUS ResetPort(PIRP Irp);
    NTSTATUS CyclePort(PIRP Irp);
    NTSTATUS IdleNotification(PIRP Irp);
    NTSTATUS QueryInterface(PIRP Irp);
    void QueryCapabilities(PIRP Irp);
    void FailEverything(NTSTATUS Status, USBD_STATUS UrbStatus);
    bool Present() const;
    NTSTATUS Queue(Request&& Entry);
    void Wake();
    static VOID CancelRoutine(PDEVICE_OBJECT Device, PIRP Irp);
    void CancelRequest(PIRP Irp);
    static VOID ThreadStart(PVOID Context);
    void ThreadLoop();
    bool TakeDue(std::vector<Request>* Due, ULONGLONG* NextDue);
    void Finish(Request& Entry);
    static void CompleteIrp(PIRP Irp, NTSTATUS Status);

    // usb_bus_urb.cpp: URB decoding and the default pipe.
    NTSTATUS SubmitUrb(PIRP Irp);
    NTSTATUS DispatchUrb(PIRP Irp, PURB Urb);
    NTSTATUS ControlUrb(PIRP Irp, PURB Urb);
    NTSTATUS SelectConfiguration(PIRP Irp, PURB Urb);
    NTSTATUS SelectInterface(PIRP Irp, PURB Urb);
    NTSTATUS PipeRequest(PIRP Irp, PURB Urb);
    NTSTATUS FailUrb(PIRP Irp, PURB Urb, USBD_STATUS UrbStatus);
    NTSTATUS SucceedUrb(PIRP Irp, PURB Urb);
    USBD_STATUS SendStandard(UCHAR RequestType, UCHAR Request, USHORT Value, USHORT Index);
    USBD_PIPE_HANDLE NewHandle();
    USBD_STATUS OpenPipes(PUSBD_INTERFACE_INFORMATION Info, const UCHAR* InterfaceDescriptor,
                          const UCHAR* ConfigEnd, std::vector<Pipe>* Opened);
    void FinishControl(Request& Entry);

    // usb_bus_transfer.cpp: bulk, interrupt and isochronous transfers.
    NTSTATUS BulkOrInterruptUrb(PIRP Irp, PURB Urb);
    NTSTATUS IsochronousUrb(PIRP Irp, PURB Urb);
    bool FindPipe(USBD_PIPE_HANDLE Handle, Pipe* Found);
    bool StillQueued(const Request& Entry);
    void CancelPipeTransfers(USBD_PIPE_HANDLE Handle);
    void CancelAllTransfers();
    void FinishBulkOrInterrupt(Request& Entry);
    void FinishIsochronous(Request& Entry);
    void Record(const Request& Entry, ULONG Bytes, ULONG ErrorCount, USBD_STATUS UrbStatus,
                NTSTATUS IrpStatus);
    ULONGLONG NextFrameStart() const;
    void HaltPipe(USBD_PIPE_HANDLE Handle);
    void CompleteTransfer(Request& Entry, ULONG Bytes, ULONG ErrorCount, USBD_STATUS UrbStatus);

    // IUsbBusEvents
    void EndpointReady(UCHAR EndpointAddress) override;
    void DeviceStateChanged() override;

    // The USBDI bus interface.
    static VOID InterfaceReference(PVOID Context);
    static VOID InterfaceDereference(PVOID Context);
    static VOID GetUsbdiVersion(PVOID BusContext, PUSBD_VERSION_INFORMATION Version, PULONG HcdCapabilities);
    static NTSTATUS QueryBusTime(PVOID BusContext, PULONG CurrentUsbFrame);
    static NTSTATUS SubmitIsoOutUrb(PVOID BusContext, PURB Urb);
    static NTSTATUS QueryBusInformation(PVOID BusContext, ULONG Level, PVOID Buffer, PULONG Length,
                                        PULONG ActualLength);
    static BOOLEAN IsDeviceHighSpeed(PVOID BusContext);

    IUsbBusDevice* m_pDevice;
    KSPIN_LOCK m_lock;          // guards everything below; never held across a device call
    std::list<Request> m_queue; // in submission order
    ULONGLONG m_sequence = 0;
    std::vector<Pipe> m_pipes;
    std::vector<UCHAR> m_configuration; // the selected configuration descriptor
    UCHAR m_configurationValue = 0;
    USBD_CONFIGURATION_HANDLE m_configurationHandle = nullptr;
    std::vector<std::pair<UCHAR, UCHAR>> m_alternates; // (interface, alternate setting) selected
    ULONG_PTR m_nextHandle = 1;
    bool m_removed = false;  // between remove (or surprise removal) and the next start
    bool m_detached = false; // the port was cycled: the device is no longer this PDO's
    bool m_stop = false;
    volatile LONG m_interfaceRefs = 0;
    volatile ULONG m_cycles = 0;
    KEVENT m_wake;
    PKTHREAD m_pThread = nullptr;
};

} // namespace plat
