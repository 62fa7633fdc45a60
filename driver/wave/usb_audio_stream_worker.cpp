// CUsbAudioStream: the worker thread, which does at PASSIVE_LEVEL what a completion cannot:
// it tops the chain up when asked and, after a failed transfer, waits for every transfer,
// resets the port, drops to the zero-bandwidth setting, tells the clients to restart and
// restarts the chain at a fresh frame. A port reset that finds the device gone ends it. The
// wait for every transfer, which a stop shares, gives up on transfers that never come back.
#include "driver/wave/usb_audio_stream.h"

#include "driver/core/adapter_common.h"

namespace
{

constexpr LONGLONG RECOVERY_PAUSE_100NS = -100 * 10000; // 100 ms, relative
constexpr KPRIORITY WORKER_EXIT_INCREMENT = 8;
constexpr ULONG WAKE_WORK = 0;
constexpr LONGLONG HUNDRED_NS_PER_MS = 10000;
// How long after its last frame a transfer may take to come back before it counts as lost,
// and how long an aborted pipe has to hand its transfers back before each is cancelled.
constexpr ULONG TRANSFER_GRACE_MS = 100;

LARGE_INTEGER RelativeMs(ULONG Milliseconds)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(Milliseconds) * HUNDRED_NS_PER_MS;
    return timeout;
}

} // namespace

// The last transfer out ends at the next start frame on explicit frames; as soon as possible,
// the chain runs back to back from the next frame.
ULONG CUsbAudioStream::TransfersDueMs()
{
    PAGED_CODE();
    ULONG dueMs = m_nFramesPerTransfer * m_nTransfersInFlight + 1;
    ULONG now = 0;
    if (m_bExplicitStartFrames && m_pUsbDevice && NT_SUCCESS(m_pUsbDevice->GetCurrentFrameNumber(&now)))
    {
        const LONG ahead = LONG(m_nNextStartFrame - now);
        dueMs = ahead > LONG(dueMs) ? ULONG(ahead) : dueMs;
    }
    return dueMs + TRANSFER_GRACE_MS;
}

// Waits until no transfer is outstanding. A device that stopped completing (or a controller
// that lost its schedule) would otherwise hold the stream, and every slot behind the engine
// mutex, for ever: once the transfers are overdue the data pipe is aborted, which hands them
// back cancelled; when even that fails (the device has gone, the abort is refused) or does
// not bring them all, each outstanding IRP is cancelled. Callers have stopped resubmission.
VOID CUsbAudioStream::WaitForTransfers()
{
    PAGED_CODE();
    LARGE_INTEGER timeout = RelativeMs(TransfersDueMs());
    if (KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT)
    {
        return;
    }
    DbgPrint("CUsbAudioStream: interface %u, %d transfers overdue: aborting the data pipe\n", m_nStreamId,
             m_nOutstanding);
    const NTSTATUS aborted = AbortTransfers();
    timeout = RelativeMs(TRANSFER_GRACE_MS);
    if (!NT_SUCCESS(aborted) ||
        KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT)
    {
        DbgPrint("CUsbAudioStream: interface %u, abort 0x%08X: cancelling %d transfers\n", m_nStreamId,
                 aborted, m_nOutstanding);
        CancelOutstandingTransfers();
    }
    KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
}

// The IRPs are taken under the pool lock but cancelled outside it: a stack may complete a
// cancelled IRP at once, and its completion takes the pool lock. An IRP that completed in
// between keeps a cancel mark from the attempt; the mark is cleared once all are back, so a
// later start does not send it out cancelled.
VOID CUsbAudioStream::CancelOutstandingTransfers()
{
    PAGED_CODE();
    PIRP irps[USB_STREAM_MAX_TRANSFERS];
    ULONG count = 0;
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_PoolLock, &oldIrql);
    for (ULONG i = 0; i < USB_STREAM_MAX_TRANSFERS; ++i)
    {
        if (m_InUseSlots[i])
        {
            irps[count++] = m_InUseSlots[i]->Irp;
        }
    }
    KeReleaseSpinLock(&m_PoolLock, oldIrql);
    for (ULONG i = 0; i < count; ++i)
    {
        IoCancelIrp(irps[i]);
    }
    KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
    KeAcquireSpinLock(&m_PoolLock, &oldIrql);
    for (ULONG i = 0; i < USB_STREAM_MAX_TRANSFERS; ++i)
    {
        if (m_FreeSlots[i])
        {
            IoReuseIrp(m_FreeSlots[i]->Irp, STATUS_NOT_SUPPORTED);
        }
    }
    KeReleaseSpinLock(&m_PoolLock, oldIrql);
}

STDMETHODIMP_(VOID) CUsbAudioStream::StreamWorkerThread()
{
    PVOID objects[2] = {&m_WorkEvent, &m_StopEvent};
    for (;;)
    {
        const NTSTATUS wake =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (wake != STATUS_WAIT_0 + WAKE_WORK)
        {
            break;
        }
        m_Lock.Lock();
        if (m_StreamState == STREAM_STATE_RUNNING)
        {
            const LONG pending =
                InterlockedCompareExchange(&m_PendingFlag, STREAM_PENDING_NONE, STREAM_PENDING_SUBMIT);
            if (pending == STREAM_PENDING_SUBMIT)
            {
                // A gone device submits nothing and answers success: that ends the loop too.
                while (m_StreamState == STREAM_STATE_RUNNING && !m_bDeviceGone &&
                       NT_SUCCESS(SubmitNextTransfer()))
                {
                }
            }
            else if (pending == STREAM_PENDING_FAILED)
            {
                DbgPrint("Error_ErrorOccur, m_StreamState = %d\n", m_StreamState);
                NTSTATUS status = m_StreamState == STREAM_STATE_RUNNING ? RecoverStream() : STATUS_SUCCESS;
                if (status == STATUS_DEVICE_NOT_CONNECTED)
                {
                    KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
                }
                DbgPrint("Error_ErrorOccur ntStatus = %x\n", status);
            }
        }
        m_Lock.Unlock();
    }
    KeSetEvent(&m_ThreadExitEvent, WORKER_EXIT_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The device object stays referenced for the whole recovery, so the device cannot leave under it.
STDMETHODIMP_(NTSTATUS) CUsbAudioStream::RecoverStream()
{
    PAGED_CODE();
    PDEVICE_OBJECT pDeviceObject = nullptr;
    IAdapterCommon* pAdapter = nullptr;
    if (m_pDeviceUnknown &&
        NT_SUCCESS(m_pDeviceUnknown->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&pAdapter))))
    {
        pDeviceObject = pAdapter->GetDeviceObject();
        if (pDeviceObject)
        {
            ObReferenceObject(pDeviceObject);
        }
        pAdapter->Release();
    }
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    NTSTATUS status = pUsbDevice ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    if (pUsbDevice)
    {
        WaitForTransfers(); // failed transfers are not resubmitted while a failure is pending
        InterlockedExchange(&m_PendingFlag, STREAM_PENDING_NONE);
        if (pUsbDevice->ResetPort())
        {
            m_bDeviceGone = TRUE;
            status = STATUS_DEVICE_NOT_CONNECTED;
        }
    }
    if (pUsbDevice && NT_SUCCESS(status))
    {
        LARGE_INTEGER pause;
        pause.QuadPart = RECOVERY_PAUSE_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        status = SelectZeroBandwidthSetting();
        if (NT_SUCCESS(status))
        {
            StreamClient* pClient = m_pStartedClient;
            if (pClient)
            {
                NotifyConfigure(pClient, TRUE);
            }
            status = RestartStreaming();
        }
        if (!NT_SUCCESS(status))
        {
            pUsbDevice->CyclePort(); // one attempt; the port's re-enumeration tells the rest
        }
    }
    if (pUsbDevice)
    {
        pUsbDevice->Release();
    }
    if (pDeviceObject)
    {
        ObDereferenceObject(pDeviceObject);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::RestartStreaming()
{
    PAGED_CODE();
    StreamClient* pClient = m_pStartedClient;
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (!pUsbDevice || !pClient)
    {
        if (pUsbDevice)
        {
            pUsbDevice->Release();
        }
        return STATUS_INVALID_DEVICE_STATE;
    }
    UCHAR setting = 0;
    NTSTATUS status = FindAlternateSetting(&pClient->Format, &setting);
    if (NT_SUCCESS(status))
    {
        status = SelectAlternateSetting(setting, pClient);
    }
    if (NT_SUCCESS(status))
    {
        m_nRingRead = 0;
        m_nRingWrite = 0;
        m_nCaptureRemainder = 0;
        InterlockedExchange(&m_nOutstanding, 0);
        ULONG frame = 0;
        pUsbDevice->GetCurrentFrameNumber(&frame);
        m_nNextStartFrame = frame + USB_STREAM_START_DELAY_FRAMES;
        InterlockedExchange(&m_PendingFlag, STREAM_PENDING_NONE);
        KeClearEvent(&m_WorkEvent);
        for (ULONG i = 0; i < m_nTransfersInFlight; ++i)
        {
            const NTSTATUS submitted = SubmitNextTransfer();
            if (!NT_SUCCESS(submitted))
            {
                status = submitted == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : submitted;
                break;
            }
        }
    }
    pUsbDevice->Release();
    return status;
}
