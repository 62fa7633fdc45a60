// Bulk, interrupt and isochronous transfers: checked against the pipe they name, scheduled in
// (micro)frames of the platform clock, and finished by the bus thread once their last frame
// has passed, with IRP, URB and per-packet status.
#include "usb_bus.h"

#include "clock.h"

#include <algorithm>

namespace plat
{

namespace
{

constexpr ULONGLONG kFrame100ns = 10000;
// How far ahead of the current frame an isochronous transfer may start, as controllers allow.
constexpr LONG kIsoStartFrameRange = 1024;
// A high-speed controller takes at most this many packets in one request.
constexpr ULONG kMaxIsoPackets = 1024;

USBD_STATUS DataStatus(UsbHandshake Outcome)
{
    switch (Outcome)
    {
    case UsbHandshake::Ack:
        return USBD_STATUS_SUCCESS;
    case UsbHandshake::Stall:
        return USBD_STATUS_STALL_PID;
    case UsbHandshake::DeviceGone:
        return USBD_STATUS_DEVICE_GONE;
    default:
        return USBD_STATUS_DEV_NOT_RESPONDING;
    }
}

} // namespace

ULONGLONG UsbBus::NextFrameStart() const
{
    return (KeQueryInterruptTime() / kFrame100ns + 1) * kFrame100ns;
}

bool UsbBus::FindPipe(USBD_PIPE_HANDLE Handle, Pipe* Found)
{
    if (Handle == nullptr)
        return false;
    BusLock lock(&m_lock);
    for (const Pipe& pipe : m_pipes)
    {
        if (pipe.Handle == Handle)
        {
            *Found = pipe;
            return true;
        }
    }
    return false;
}

void UsbBus::HaltPipe(USBD_PIPE_HANDLE Handle)
{
    BusLock lock(&m_lock);
    for (Pipe& pipe : m_pipes)
    {
        if (pipe.Handle == Handle)
            pipe.Halted = true;
    }
}

void UsbBus::CancelPipeTransfers(USBD_PIPE_HANDLE Handle)
{
    {
        BusLock lock(&m_lock);
        for (Request& entry : m_queue)
        {
            if (entry.Kind == RequestKind::Transfer && (Handle == nullptr || entry.PipeHandle == Handle))
            {
                entry.Cancelled = true;
                entry.Due = 0;
            }
        }
        for (Pipe& pipe : m_pipes)
        {
            if (Handle == nullptr || pipe.Handle == Handle)
            {
                pipe.HasNextFrame = false;
                ++pipe.Aborts;
            }
        }
    }
    Wake();
}

// Whether a transfer the bus thread holds may go back on the queue: not when its pipe closed
// or was aborted while the thread had it.
bool UsbBus::StillQueued(const Request& Entry)
{
    BusLock lock(&m_lock);
    for (const Pipe& pipe : m_pipes)
    {
        if (pipe.Handle == Entry.PipeHandle)
            return pipe.Aborts == Entry.PipeAborts;
    }
    return false;
}

void UsbBus::CancelAllTransfers()
{
    CancelPipeTransfers(nullptr);
}

NTSTATUS UsbBus::BulkOrInterruptUrb(PIRP Irp, PURB Urb)
{
    if (Urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = Urb->UrbBulkOrInterruptTransfer;
    Pipe pipe;
    if (!FindPipe(transfer.PipeHandle, &pipe))
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    const bool in = (pipe.Address & 0x80) != 0;
    if ((pipe.Type != UsbdPipeTypeBulk && pipe.Type != UsbdPipeTypeInterrupt) ||
        (USBD_TRANSFER_DIRECTION(transfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN) != in)
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    if (pipe.Halted)
        return FailUrb(Irp, Urb, USBD_STATUS_ENDPOINT_HALTED);
    PUCHAR buffer = nullptr;
    const ULONG length = transfer.TransferBufferLength;
    if (length != 0)
    {
        buffer = static_cast<PUCHAR>(
            transfer.TransferBufferMDL != nullptr
                ? MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL, NormalPagePriority)
                : transfer.TransferBuffer);
        if (buffer == nullptr ||
            (transfer.TransferBufferMDL != nullptr && MmGetMdlByteCount(transfer.TransferBufferMDL) < length))
            return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    }
    Request entry;
    entry.Irp = Irp;
    entry.Urb = Urb;
    entry.Kind = RequestKind::Transfer;
    entry.PipeHandle = pipe.Handle;
    entry.Address = pipe.Address;
    entry.PipeType = pipe.Type;
    entry.In = in;
    entry.Buffer = buffer;
    entry.Length = length;
    entry.MaxPacket = pipe.MaxPacket;
    entry.PipeAborts = pipe.Aborts;
    // The controller polls the endpoint from the next frame on.
    entry.Due = NextFrameStart();
    return Queue(std::move(entry));
}

void UsbBus::FinishBulkOrInterrupt(Request& Entry)
{
    if (!Present())
        return CompleteTransfer(Entry, 0, 0, USBD_STATUS_DEVICE_GONE);
    ULONG bytes = 0;
    UsbHandshake outcome;
    if (Entry.In)
    {
        outcome = m_pDevice->InterruptOrBulkIn(Entry.Address, Entry.Buffer, Entry.Length, &bytes);
        bytes = std::min(bytes, Entry.Length);
    }
    else
    {
        outcome = m_pDevice->InterruptOrBulkOut(Entry.Address, Entry.Buffer, Entry.Length);
        bytes = Entry.Length;
    }
    if (outcome == UsbHandshake::Nak && !StillQueued(Entry))
        return CompleteTransfer(Entry, 0, 0, USBD_STATUS_CANCELED);
    if (outcome == UsbHandshake::Nak)
    {
        // Nothing to move yet: an IN transfer waits for the device to have data, an OUT one
        // is tried again in the next frame.
        Entry.Due = Entry.In ? kNever : NextFrameStart();
        Queue(std::move(Entry));
        return;
    }
    USBD_STATUS status = DataStatus(outcome);
    if (status == USBD_STATUS_STALL_PID)
        HaltPipe(Entry.PipeHandle);
    CompleteTransfer(Entry, status == USBD_STATUS_SUCCESS ? bytes : 0, 0, status);
}

NTSTATUS UsbBus::IsochronousUrb(PIRP Irp, PURB Urb)
{
    const USHORT packetsAt = USHORT(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket));
    if (Urb->UrbHeader.Length < packetsAt)
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
    struct _URB_ISOCH_TRANSFER& transfer = Urb->UrbIsochronousTransfer;
    Pipe pipe;
    if (!FindPipe(transfer.PipeHandle, &pipe))
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    const bool in = (pipe.Address & 0x80) != 0;
    const ULONG count = transfer.NumberOfPackets;
    // A high-speed endpoint with bInterval n is served every 2^(n-1) microframes.
    ULONG packetsPerFrame = 1;
    if (m_pDevice->Speed() == UsbBusSpeed::High)
        packetsPerFrame = 8u >> std::min<ULONG>(std::max<UCHAR>(pipe.Interval, 1) - 1, 3);
    if (pipe.Type != UsbdPipeTypeIsochronous ||
        (USBD_TRANSFER_DIRECTION(transfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN) != in || count == 0 ||
        count > kMaxIsoPackets ||
        Urb->UrbHeader.Length < packetsAt + count * sizeof(USBD_ISO_PACKET_DESCRIPTOR) ||
        count % packetsPerFrame != 0)
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);

    const ULONG length = transfer.TransferBufferLength;
    PUCHAR buffer =
        static_cast<PUCHAR>(transfer.TransferBufferMDL != nullptr
                                ? MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL, NormalPagePriority)
                                : transfer.TransferBuffer);
    if (length == 0 || buffer == nullptr ||
        (transfer.TransferBufferMDL != nullptr && MmGetMdlByteCount(transfer.TransferBufferMDL) < length))
        return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);

    // Packets lie in order inside the buffer; each one's room runs to the next one's offset.
    Request entry;
    for (ULONG i = 0; i < count; ++i)
    {
        const ULONG offset = transfer.IsoPacket[i].Offset;
        const ULONG next = i + 1 < count ? transfer.IsoPacket[i + 1].Offset : length;
        if (offset > length || next > length || next < offset || (!in && next - offset > pipe.MaxPacket))
            return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PARAMETER);
        entry.Packets.emplace_back(offset, next - offset);
    }

    const ULONG current = CurrentFrame();
    const ULONG frames = count / packetsPerFrame;
    ULONG start = 0;
    bool scheduled = true;
    {
        BusLock lock(&m_lock);
        Pipe* live = nullptr;
        for (Pipe& p : m_pipes)
        {
            if (p.Handle == pipe.Handle)
                live = &p;
        }
        if (live == nullptr)
            return FailUrb(Irp, Urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        if (transfer.TransferFlags & USBD_START_ISO_TRANSFER_ASAP)
        {
            // Back to back with the pipe's previous transfer while that is still ahead.
            start = live->HasNextFrame && LONG(live->NextFrame - current) > 0 ? live->NextFrame : current + 1;
        }
        else
        {
            const LONG ahead = LONG(transfer.StartFrame - current);
            // A frame that has begun is too late; one beyond the schedule's reach too early.
            scheduled = ahead >= 1 && ahead <= kIsoStartFrameRange;
            start = transfer.StartFrame;
        }
        if (scheduled)
        {
            live->NextFrame = start + frames;
            live->HasNextFrame = true;
        }
    }
    if (!scheduled)
        return FailUrb(Irp, Urb, USBD_STATUS_BAD_START_FRAME);
    transfer.StartFrame = start;

    entry.Irp = Irp;
    entry.Urb = Urb;
    entry.Kind = RequestKind::Transfer;
    entry.PipeHandle = pipe.Handle;
    entry.Address = pipe.Address;
    entry.PipeType = pipe.Type;
    entry.In = in;
    entry.Buffer = buffer;
    entry.Length = length;
    entry.MaxPacket = pipe.MaxPacket;
    entry.StartFrame = start;
    entry.PacketsPerFrame = packetsPerFrame;
    entry.PipeAborts = pipe.Aborts;
    // Done when the last frame it occupies has passed.
    entry.Due = (ULONGLONG(current) + ULONG(start - current) + frames) * kFrame100ns;
    return Queue(std::move(entry));
}

void UsbBus::FinishIsochronous(Request& Entry)
{
    struct _URB_ISOCH_TRANSFER& transfer = Entry.Urb->UrbIsochronousTransfer;
    if (!Present())
    {
        for (size_t i = 0; i < Entry.Packets.size(); ++i)
        {
            transfer.IsoPacket[i].Status = USBD_STATUS_DEVICE_GONE;
            if (Entry.In)
                transfer.IsoPacket[i].Length = 0;
        }
        transfer.ErrorCount = ULONG(Entry.Packets.size());
        return CompleteTransfer(Entry, 0, ULONG(Entry.Packets.size()), USBD_STATUS_DEVICE_GONE);
    }
    if (m_pDevice->HoldsIsochronousTransfer(Entry.Address))
    {
        // A device that stopped completing: the transfer waits for an abort, a cancel or the
        // device's change of mind, as on a controller whose schedule no longer advances.
        if (!StillQueued(Entry))
            return CompleteTransfer(Entry, 0, 0, USBD_STATUS_CANCELED);
        Entry.Due = kNever;
        Queue(std::move(Entry));
        return;
    }
    m_pDevice->BeginIsochronousTransfer(Entry.Address, Entry.StartFrame, ULONG(Entry.Packets.size()));
    const ULONG microframesPerPacket = 8 / Entry.PacketsPerFrame;
    ULONG bytes = 0;
    ULONG errors = 0;
    for (size_t i = 0; i < Entry.Packets.size(); ++i)
    {
        const ULONG frame = Entry.StartFrame + ULONG(i) / Entry.PacketsPerFrame;
        const ULONG microframe = m_pDevice->Speed() == UsbBusSpeed::High
                                     ? (ULONG(i) % Entry.PacketsPerFrame) * microframesPerPacket
                                     : 0;
        PUCHAR data = Entry.Buffer + Entry.Packets[i].first;
        const ULONG room = Entry.Packets[i].second;
        USBD_STATUS status;
        if (Entry.In)
        {
            ULONG received = 0;
            status = m_pDevice->IsochronousIn(Entry.Address, frame, microframe, data, room, &received);
            transfer.IsoPacket[i].Length = USBD_SUCCESS(status) ? std::min(received, room) : 0;
            bytes += transfer.IsoPacket[i].Length;
        }
        else
        {
            status = m_pDevice->IsochronousOut(Entry.Address, frame, microframe, data, room);
            bytes += USBD_SUCCESS(status) ? room : 0;
        }
        transfer.IsoPacket[i].Status = status;
        if (USBD_ERROR(status))
            ++errors;
    }
    transfer.ErrorCount = errors;
    if (Entry.In)
        transfer.TransferBufferLength = bytes;
    // The request as a whole fails only when no packet got through.
    CompleteTransfer(Entry, bytes, errors,
                     errors == Entry.Packets.size() ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS);
}

void UsbBus::CompleteTransfer(Request& Entry, ULONG Bytes, ULONG ErrorCount, USBD_STATUS UrbStatus)
{
    NTSTATUS status = UsbdStatusToNtStatus(UrbStatus);
    if (Entry.PipeType != UsbdPipeTypeIsochronous)
        Entry.Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Bytes;
    Entry.Urb->UrbHeader.Status = UrbStatus;
    Entry.Irp->IoStatus.Information = 0;
    Record(Entry, Bytes, ErrorCount, UrbStatus, status);
    CompleteIrp(Entry.Irp, status);
}

void UsbBus::Record(const Request& Entry, ULONG Bytes, ULONG ErrorCount, USBD_STATUS UrbStatus,
                    NTSTATUS IrpStatus)
{
    UsbBusTransferRecord record;
    record.PipeType = Entry.PipeType;
    record.EndpointAddress = Entry.Address;
    record.In = Entry.In;
    record.RequestedBytes = Entry.Length;
    record.Bytes = Bytes;
    record.StartFrame = Entry.PipeType == UsbdPipeTypeIsochronous ? Entry.StartFrame : CurrentFrame();
    record.NumberOfPackets = ULONG(Entry.Packets.size());
    record.ErrorCount = ErrorCount;
    record.UrbStatus = UrbStatus;
    record.IrpStatus = IrpStatus;
    m_pDevice->RecordTransfer(record);
}

void UsbBus::EndpointReady(UCHAR EndpointAddress)
{
    {
        BusLock lock(&m_lock);
        for (Request& entry : m_queue)
        {
            if (entry.Kind == RequestKind::Transfer && entry.Address == EndpointAddress &&
                entry.Due == kNever)
                entry.Due = NextFrameStart();
        }
    }
    Wake();
}

void UsbBus::DeviceStateChanged()
{
    {
        BusLock lock(&m_lock);
        for (Request& entry : m_queue)
        {
            if (entry.Kind == RequestKind::Transfer && entry.Due == kNever)
                entry.Due = 0;
        }
    }
    Wake();
}

} // namespace plat
