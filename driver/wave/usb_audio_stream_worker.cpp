// CUsbAudioStream: the worker thread, which does at PASSIVE_LEVEL what a completion cannot:
// it tops the chain up when asked and, after a failed transfer, waits for every transfer,
// resets the port, drops to the zero-bandwidth setting, tells the clients to restart and
// restarts the chain at a fresh frame. A port reset that finds the device gone ends it.
#include "driver/wave/usb_audio_stream.h"

#include "driver/core/adapter_common.h"

namespace
{

constexpr LONGLONG RECOVERY_PAUSE_100NS = -100 * 10000; // 100 ms, relative
constexpr KPRIORITY WORKER_EXIT_INCREMENT = 8;
constexpr ULONG WAKE_WORK = 0;

} // namespace

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
        KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
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
