// CUsbDevice: the ASIO companion's streams. Starting opens and starts the stream clients of the
// active rings, stopping takes them back, a power-down suspends them and D0 resumes them, and
// the notifications the streams send move the samples between the transfers and the rings
// under the ring spin lock.
#include "driver/usb/usb_device.h"

#include "driver/core/mutex_lock_hold.h"
#include "driver/wave/cyclic_control.h"

namespace
{

constexpr ULONG ASIO_RING_HEADER_BYTES = sizeof(AsioSharedBufferHeader);
constexpr UCHAR DSD_SILENCE_FILL = 0x96;
constexpr UCHAR ASIO_VENDOR_REQUEST = 7;

} // namespace

// ---- Start and stop ----

VOID CUsbDevice::SendAsioVendorRequest(USHORT Value)
{
    if (!UsbDeviceSendsAsioVendorRequest(m_nVendorId, m_nProductId))
    {
        return;
    }
    const ULONG urbBytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbBytes, USB_DEVICE_POOL_TAG));
    if (!pUrb)
    {
        return;
    }
    RtlZeroMemory(pUrb, urbBytes);
    UsbBuildVendorRequest(pUrb, URB_FUNCTION_VENDOR_DEVICE, USHORT(urbBytes), 0, 0, ASIO_VENDOR_REQUEST,
                          Value, 0, nullptr, nullptr, 0, nullptr);
    // The device streams whether or not it heard: the answer changes nothing.
    SubmitUrbSync(pUrb);
    ExFreePoolWithTag(pUrb, USB_DEVICE_POOL_TAG);
}

// Stops and closes every attached stream client; what was never opened or started refuses
// quietly.
VOID CUsbDevice::CloseClientStreams()
{
    for (ULONG index = 0; index < m_nAsioEndpointTableCount; index++)
    {
        StreamClient* pStreamClient = m_pAsioEndpoints[index].Client;
        ICyclicControl* pControl = nullptr;
        if (pStreamClient && NT_SUCCESS(QueryCyclicControl(index, &pControl)))
        {
            pControl->StopClient(pStreamClient->Registration, nullptr);
            pControl->CloseClient(pStreamClient->Registration);
            pControl->Release();
        }
    }
}

// A failed start is undone completely and reported: the companion must not wait for periods
// that will never come.
NTSTATUS CUsbDevice::StartClientStreams()
{
    if (m_nAsioEndpointCount == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG frame = 0;
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        StreamClient* pStreamClient = m_pAsioEndpoints[index].Client;
        if (!pStreamClient || !m_pAsioRings[index].Active)
        {
            continue;
        }
        WAVEFORMATEXTENSIBLE format;
        ICyclicControl* pControl = nullptr;
        status = BuildClientFormat(index, &format);
        if (NT_SUCCESS(status))
        {
            status = QueryCyclicControl(index, &pControl);
        }
        if (NT_SUCCESS(status))
        {
            ULONG ms = 0;
            status = pControl->OpenClient(pStreamClient->Registration, &ms, &frame);
            pControl->Release();
        }
        if (!NT_SUCCESS(status))
        {
            CloseClientStreams();
            return status;
        }
    }
    const ULONG startFrame = frame + ASIO_START_DELAY_FRAMES;
    // Capture first, so the period clock runs before the first render transfer needs data.
    for (ULONG pass = 0; pass < 2 && NT_SUCCESS(status); pass++)
    {
        const ULONG direction = pass == 0 ? 1 : 0;
        for (ULONG index = 0; index < m_nAsioEndpointCount && NT_SUCCESS(status); index++)
        {
            StreamClient* pStreamClient = m_pAsioEndpoints[index].Client;
            ICyclicControl* pControl = nullptr;
            if (!pStreamClient || !m_pAsioRings[index].Active || m_pAsioRings[index].IsInput != direction)
            {
                continue;
            }
            status = QueryCyclicControl(index, &pControl);
            if (NT_SUCCESS(status))
            {
                ULONG ms = 0;
                status = pControl->StartClient(pStreamClient->Registration, startFrame, &ms, nullptr);
                pControl->Release();
            }
        }
    }
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CUsbDevice: an ASIO stream did not start (0x%08X); every ASIO stream is closed again\n",
                 ULONG(status));
        CloseClientStreams();
        return status;
    }
    m_bAsioStreamsStarted = 1;
    SendAsioVendorRequest(1);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbDevice::StopClientStreams()
{
    if (m_nAsioEndpointCount == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        StreamClient* pStreamClient = m_pAsioEndpoints[index].Client;
        if (!pStreamClient || !m_pAsioRings[index].Active)
        {
            continue;
        }
        ICyclicControl* pControl = nullptr;
        status = QueryCyclicControl(index, &pControl);
        if (!NT_SUCCESS(status))
        {
            break;
        }
        pControl->StopClient(pStreamClient->Registration, nullptr);
        status = pControl->CloseClient(pStreamClient->Registration);
        pControl->Release();
    }
    m_bAsioStreamsStarted = 0;
    SendAsioVendorRequest(0);
    return status;
}

// Positions start again and the period event is installed before a stream runs, so the first
// notification already finds the ring as the companion will see it.
VOID CUsbDevice::ResetClientRings(PKEVENT PeriodEvent)
{
    AsioTransferPlan plan;
    const BOOLEAN planned = m_pAsioOwner && PlanTransfers(&plan);
    const BOOLEAN dsd = m_pAsioOwner && m_pAsioOwner->IoFormat == ASIO_IO_FORMAT_DSD;
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioRingLock, &irql);
    ULONG bytes;
    if (dsd)
    {
        m_nAsioBytesPerSample = 8;
    }
    else if (AsioBytesPerSample(m_nAsioRingSampleType, &bytes))
    {
        m_nAsioBytesPerSample = bytes;
    }
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        if (!m_pAsioEndpoints[index].Ring)
        {
            continue;
        }
        AsioRingState& state = m_pAsioRings[index];
        state.PeriodCount = 0;
        state.DriverPosition = 0;
        state.InitialPosition = 0;
        state.LeadBytes = 0;
        if (!state.IsInput && planned)
        {
            const ULONGLONG perTransfer =
                ULONGLONG(m_nAsioBytesPerSample) * state.Channels * plan.MsPerTransfer * plan.FramesPerMs;
            const ULONGLONG lead = ULONGLONG(plan.Groups - 1 < 2 ? 2 : plan.Groups - 1) * perTransfer;
            // A ring always holds its lead (map refuses one that cannot), so both fit here.
            if (lead + perTransfer <= state.RingBytes)
            {
                if (plan.Groups - 1 < 2)
                {
                    state.DriverPosition = ULONG(state.RingBytes - perTransfer);
                    state.InitialPosition = state.DriverPosition;
                }
                state.LeadBytes = ULONG(lead);
            }
        }
        PublishRing(index);
    }
    if (m_pAsioOwner)
    {
        m_pAsioOwner->PeriodEvent = PeriodEvent;
    }
    KeReleaseSpinLock(&m_AsioRingLock, irql);
}

PKEVENT CUsbDevice::TakePeriodEvent()
{
    if (!m_pAsioOwner)
    {
        return nullptr;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioRingLock, &irql);
    PKEVENT pEvent = static_cast<PKEVENT>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_pAsioOwner->PeriodEvent), nullptr));
    KeReleaseSpinLock(&m_AsioRingLock, irql);
    return pEvent;
}

VOID CUsbDevice::SilenceRings(ULONG IoFormat)
{
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        if (m_pAsioEndpoints[index].Ring && m_pAsioRings[index].Active)
        {
            RtlFillMemory(static_cast<PUCHAR>(m_pAsioEndpoints[index].Ring) + ASIO_RING_HEADER_BYTES,
                          m_pAsioRings[index].RingBytes,
                          IoFormat == ASIO_IO_FORMAT_DSD ? DSD_SILENCE_FILL : 0);
        }
    }
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::StartAsio(PFILE_OBJECT FileObject, PHANDLE PeriodEvent)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !PeriodEvent || pClient != m_pAsioOwner || !pClient->Running || pClient->PeriodEvent ||
        m_bAsioStreamsStarted)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID event = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(*PeriodEvent, EVENT_MODIFY_STATE, ExEventObjectType, UserMode,
                                                &event, nullptr);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ResetClientRings(static_cast<PKEVENT>(event));
    status = StartClientStreams();
    if (!NT_SUCCESS(status))
    {
        PKEVENT pEvent = TakePeriodEvent();
        if (pEvent)
        {
            ObDereferenceObject(pEvent);
        }
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::StopAsio(PFILE_OBJECT FileObject, PIRP Irp)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    // Only the owner's stop may wait for D0: there is a single place for it, and any other
    // handle's would hold it against the owner's own.
    if (!pClient || pClient != m_pAsioOwner || !pClient->PeriodEvent)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (CurrentPowerState() != PowerDeviceD0)
    {
        // A removed device never returns to D0: a stop parked now would wait for ever, so it is
        // answered as the removal answered the ones parked before it.
        if (m_bAsioRemoved)
        {
            return STATUS_DELETE_PENDING;
        }
        return Irp ? ParkStopIrp(Irp) : STATUS_INVALID_PARAMETER;
    }
    // The streams go first: no completion may signal an event that is on its way out.
    if (m_bAsioStreamsSuspended)
    {
        m_bAsioStreamsSuspended = 0;
    }
    else
    {
        StopClientStreams();
    }
    PKEVENT pEvent = TakePeriodEvent();
    if (pEvent)
    {
        KeClearEvent(pEvent);
        ObDereferenceObject(pEvent);
    }
    SilenceRings(pClient->IoFormat);
    return STATUS_SUCCESS;
}

// ---- The parked stop request ----

namespace
{

AsioStopQueue* StopQueueOf(PIO_CSQ Csq)
{
    return reinterpret_cast<AsioStopQueue*>(Csq);
}

// The one place is taken: a second stop is refused rather than queued behind the first.
NTSTATUS StopQueueInsert(PIO_CSQ Csq, PIRP Irp, PVOID InsertContext)
{
    UNREFERENCED_PARAMETER(InsertContext);
    AsioStopQueue* pQueue = StopQueueOf(Csq);
    if (pQueue->Count != 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    InsertTailList(&pQueue->Irps, &Irp->Tail.Overlay.ListEntry);
    pQueue->Count++;
    return STATUS_SUCCESS;
}

VOID StopQueueRemove(PIO_CSQ Csq, PIRP Irp)
{
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    StopQueueOf(Csq)->Count--;
}

// The next parked request after Irp whose handle is PeekContext (any handle for null).
PIRP StopQueuePeek(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext)
{
    AsioStopQueue* pQueue = StopQueueOf(Csq);
    PLIST_ENTRY entry = Irp ? Irp->Tail.Overlay.ListEntry.Flink : pQueue->Irps.Flink;
    for (; entry != &pQueue->Irps; entry = entry->Flink)
    {
        PIRP pIrp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (!PeekContext || IoGetCurrentIrpStackLocation(pIrp)->FileObject == PeekContext)
        {
            return pIrp;
        }
    }
    return nullptr;
}

VOID StopQueueAcquire(PIO_CSQ Csq, PKIRQL Irql)
{
    KeAcquireSpinLock(&StopQueueOf(Csq)->Lock, Irql);
}

VOID StopQueueRelease(PIO_CSQ Csq, KIRQL Irql)
{
    KeReleaseSpinLock(&StopQueueOf(Csq)->Lock, Irql);
}

VOID CompleteStopIrp(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

VOID StopQueueCompleteCancelled(PIO_CSQ Csq, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Csq);
    CompleteStopIrp(Irp, STATUS_CANCELLED);
}

} // namespace

VOID AsioStopQueueInitialize(AsioStopQueue* Queue)
{
    KeInitializeSpinLock(&Queue->Lock);
    InitializeListHead(&Queue->Irps);
    Queue->Count = 0;
    IoCsqInitializeEx(&Queue->Csq, StopQueueInsert, StopQueueRemove, StopQueuePeek, StopQueueAcquire,
                      StopQueueRelease, StopQueueCompleteCancelled);
}

// Queued and marked pending with its cancel routine in place under the queue's lock; one
// cancelled meanwhile is already answered, and the request is pending either way.
NTSTATUS CUsbDevice::ParkStopIrp(PIRP Irp)
{
    NTSTATUS status = IoCsqInsertIrpEx(&m_AsioStopQueue.Csq, Irp, nullptr, nullptr);
    return NT_SUCCESS(status) ? STATUS_PENDING : status;
}

// The parked request of that handle (of any handle for null); null when there is none or its
// cancel got it first.
PIRP CUsbDevice::TakeParkedStopIrp(PFILE_OBJECT FileObject)
{
    return IoCsqRemoveNextIrp(&m_AsioStopQueue.Csq, FileObject);
}

// Answers the handle's parked requests (every handle's for null) with the status.
VOID CUsbDevice::CompleteParkedStops(PFILE_OBJECT FileObject, NTSTATUS Status)
{
    for (PIRP pIrp = TakeParkedStopIrp(FileObject); pIrp; pIrp = TakeParkedStopIrp(FileObject))
    {
        CompleteStopIrp(pIrp, Status);
    }
}

VOID CUsbDevice::RunParkedStop()
{
    PIRP pIrp = TakeParkedStopIrp(nullptr);
    if (!pIrp)
    {
        return;
    }
    NTSTATUS status = StopAsio(IoGetCurrentIrpStackLocation(pIrp)->FileObject, nullptr);
    pIrp->IoStatus.Information = 0;
    PcCompleteIrp(m_pFunctionalDeviceObject, pIrp, status);
}

// ---- Power and removal ----

VOID CUsbDevice::AsioPowerDown()
{
    if (!m_bAsioStreamsStarted)
    {
        return;
    }
    StopClientStreams();
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioRingLock, &irql);
    if (m_pAsioOwner && m_pAsioOwner->PeriodEvent)
    {
        KeClearEvent(m_pAsioOwner->PeriodEvent);
    }
    KeReleaseSpinLock(&m_AsioRingLock, irql);
    m_bAsioStreamsSuspended = 1;
}

VOID CUsbDevice::AsioPowerUp()
{
    if (!m_bAsioStreamsSuspended || !m_pAsioOwner)
    {
        return;
    }
    ResetClientRings(m_pAsioOwner->PeriodEvent);
    if (NT_SUCCESS(StartClientStreams()))
    {
        m_bAsioStreamsSuspended = 0;
    }
}

// A device on its way out stops its ASIO streams and lets go of the streams themselves; the
// rings stay mapped until the owner's handle is cleaned up in its own process.
VOID CUsbDevice::StopAsioForRemoval()
{
    {
        CMutexLockHold hold(&m_ClientLock);
        if (m_bAsioStreamsStarted)
        {
            StopClientStreams();
        }
        m_bAsioStreamsSuspended = 0;
        DetachClientBuffers();
        // Stops are parked under the client lock: any that got in before this are answered
        // below, and any after it see the flag.
        m_bAsioRemoved = 1;
    }
    CompleteParkedStops(nullptr, STATUS_DELETE_PENDING);
}

// A handle going away answers its own waiting stop: no D0 may ever come to run it. The answer
// is given under the client lock, under which a stop parks, so a stop of the handle still on
// its way in either parked before and is answered here, or comes after the unmap below has
// taken the period event and is refused at once.
STDMETHODIMP_(NTSTATUS) CUsbDevice::CleanupAsioClient(PFILE_OBJECT FileObject)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    CompleteParkedStops(FileObject, STATUS_CANCELLED);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || pClient != m_pAsioOwner)
    {
        return STATUS_SUCCESS;
    }
    return UnmapStreamingBuffers(FileObject);
}

// ---- The data path ----

VOID CUsbDevice::OnClientNotification(PVOID CallbackContext, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Argument2);
    if (CallbackContext && Argument1)
    {
        static_cast<CUsbDevice*>(CallbackContext)
            ->HandleClientNotification(static_cast<const StreamNotification*>(Argument1));
    }
}

// The registration is looked up under the ring lock, which detaching takes to clear it, and
// every copy and count happens under that same hold.
VOID CUsbDevice::HandleClientNotification(const StreamNotification* Notification)
{
    if (!Notification->Client || !Notification->Client->Active)
    {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioRingLock, &irql);
    for (ULONG index = 0; index < m_nAsioEndpointTableCount; index++)
    {
        if (m_pAsioEndpoints[index].Client != Notification->Client || !m_pAsioEndpoints[index].Ring)
        {
            continue;
        }
        switch (Notification->Code)
        {
        case StreamNotifyTransferDone:
            SignalPeriod(index);
            break;
        case StreamNotifyRenderData:
            CopyRing(index, Notification->Data.Buffer, Notification->Data.Length, FALSE);
            break;
        case StreamNotifyCaptureData:
            CopyRing(index, Notification->Data.Buffer, Notification->Data.Length, TRUE);
            break;
        default:
            break;
        }
        break;
    }
    KeReleaseSpinLock(&m_AsioRingLock, irql);
}

// At most two block moves; a request of a whole ring or more moves nothing.
VOID CUsbDevice::CopyRing(ULONG Index, PVOID Buffer, ULONGLONG Length, BOOLEAN IntoRing)
{
    AsioRingState& state = m_pAsioRings[Index];
    if (!Buffer || Length >= state.RingBytes || state.DriverPosition >= state.RingBytes)
    {
        return;
    }
    PUCHAR pSamples = static_cast<PUCHAR>(m_pAsioEndpoints[Index].Ring) + ASIO_RING_HEADER_BYTES;
    const ULONG length = ULONG(Length);
    const ULONG room = state.RingBytes - state.DriverPosition;
    const ULONG first = room < length ? room : length;
    PUCHAR pBuffer = static_cast<PUCHAR>(Buffer);
    if (IntoRing)
    {
        RtlCopyMemory(pSamples + state.DriverPosition, pBuffer, first);
        RtlCopyMemory(pSamples, pBuffer + first, length - first);
    }
    else
    {
        RtlCopyMemory(pBuffer, pSamples + state.DriverPosition, first);
        RtlCopyMemory(pBuffer + first, pSamples, length - first);
    }
    state.DriverPosition = ULONG((ULONGLONG(state.DriverPosition) + length) % state.RingBytes);
    static_cast<AsioSharedBufferHeader*>(m_pAsioEndpoints[Index].Ring)->DriverPosition = state.DriverPosition;
}

VOID CUsbDevice::SignalPeriod(ULONG Index)
{
    AsioRingState& state = m_pAsioRings[Index];
    state.PeriodCount++;
    static_cast<AsioSharedBufferHeader*>(m_pAsioEndpoints[Index].Ring)->PeriodCount = state.PeriodCount;
    if (state.Master && m_pAsioOwner && m_pAsioOwner->PeriodEvent)
    {
        KeSetEvent(m_pAsioOwner->PeriodEvent, IO_SOUND_INCREMENT, FALSE);
    }
}

// Normally the owner's handle cleanup has unmapped long before the device goes; a device torn
// down with rings still out lets go of them here rather than leak them.
VOID CUsbDevice::FreeAsioRingsAtTeardown()
{
    CompleteParkedStops(nullptr, STATUS_DELETE_PENDING);
    if (!m_pAsioEndpoints || !m_pAsioRings)
    {
        return;
    }
    DetachClientBuffers();
    FreeRings();
    if (m_pAsioOwner)
    {
        m_pAsioOwner->Running = 0;
    }
}
