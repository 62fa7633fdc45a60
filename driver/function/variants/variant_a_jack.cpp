// CVariantADevice's jack-sense thread: Start and Stop, and the thread that reads the chip's
// input report every 50 ms, keeps the last 30 samples, and switches the forced mute and the
// render gain when the jack has been steadily in one state for the whole history.
#include "driver/function/variants/variant_a_internal.h"

#include "driver/core/usb_device_if.h"

namespace
{

// H[i] is 1 when the sense bit was clear at sample i.
constexpr UCHAR SAMPLE_CLEAR = 1;
constexpr UCHAR SAMPLE_SET = 0;

// The render gain of each state: pass, a quarter, silence.
constexpr ULONG GAIN_MODE_PASS = 0;
constexpr ULONG GAIN_MODE_QUARTER = 1;
constexpr ULONG GAIN_MODE_SILENCE = 2;

BOOLEAN AllSamples(const UCHAR* History, UCHAR Value)
{
    for (ULONG i = 0; i < VARIANT_A_JACK_HISTORY; i++)
    {
        if (History[i] != Value)
        {
            return FALSE;
        }
    }
    return TRUE;
}

} // namespace

// Only the jack-polling model runs anything: the others have no status endpoint to read.
STDMETHODIMP_(NTSTATUS) CVariantADevice::Start()
{
    PAGED_CODE();
    if (!m_JackPolling || m_JackThreadRunning)
    {
        return STATUS_SUCCESS;
    }
    return StartJackThread();
}

STDMETHODIMP_(NTSTATUS) CVariantADevice::Stop()
{
    PAGED_CODE();
    StopJackThread();
    return STATUS_SUCCESS;
}

NTSTATUS CVariantADevice::StartJackThread()
{
    PAGED_CODE();
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_DoneEvent);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE hThread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                           JackThreadStart, this);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CVariantADevice: the jack-sense thread could not be created (0x%08X)\n", status);
        return status;
    }
    status = ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                       reinterpret_cast<PVOID*>(&m_pJackThread), nullptr);
    ZwClose(hThread);
    if (!NT_SUCCESS(status))
    {
        // Without its object the thread could not be waited for: end it now.
        m_pJackThread = nullptr;
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_DoneEvent, Executive, KernelMode, FALSE, nullptr);
        KeClearEvent(&m_StopEvent);
        KeClearEvent(&m_DoneEvent);
        return status;
    }
    KeSetPriorityThread(m_pJackThread, VARIANT_A_JACK_THREAD_PRIORITY);
    m_JackThreadRunning = TRUE;
    return STATUS_SUCCESS;
}

// The thread may have ended by itself after a failed read; its done event is set either way.
VOID CVariantADevice::StopJackThread()
{
    PAGED_CODE();
    if (!m_JackThreadRunning)
    {
        return;
    }
    KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&m_DoneEvent, Executive, KernelMode, FALSE, nullptr);
    if (m_pJackThread)
    {
        KeWaitForSingleObject(m_pJackThread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(m_pJackThread);
        m_pJackThread = nullptr;
    }
    m_JackThreadRunning = FALSE;
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_DoneEvent);
}

VOID CVariantADevice::JackThreadStart(PVOID Context)
{
    static_cast<CVariantADevice*>(Context)->JackThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The report is zeroed before each read, so a short answer cannot pass stale bytes for sense.
NTSTATUS CVariantADevice::ReadJackReport(IUsbDevice* UsbDevice, PURB Urb, PUCHAR Sample)
{
    PAGED_CODE();
    UCHAR report[VARIANT_A_INPUT_REPORT_BYTES] = {};
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(
        Urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, VARIANT_A_GET_REPORT, VARIANT_A_INPUT_REPORT,
        VARIANT_A_HID_INTERFACE, report, nullptr, sizeof(report), nullptr);
    NTSTATUS status = UsbDevice->SubmitUrbSync(Urb);
    if (NT_SUCCESS(status) && Urb->UrbControlVendorClassRequest.TransferBufferLength == 0)
    {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status))
    {
        *Sample = (report[0] & VARIANT_A_JACK_SENSE_BIT) ? SAMPLE_SET : SAMPLE_CLEAR;
    }
    return status;
}

VOID CVariantADevice::StepJackState(const UCHAR* History)
{
    PAGED_CODE();
    ULONG next = m_JackState;
    UCHAR forcedMute = 0;
    ULONG mode = GAIN_MODE_PASS;
    if (AllSamples(History, SAMPLE_SET))
    {
        next = VARIANT_A_JACK_ALL_SET;
        forcedMute = 1;
        mode = GAIN_MODE_PASS;
    }
    else if (AllSamples(History, SAMPLE_CLEAR))
    {
        next = VARIANT_A_JACK_ALL_CLEAR;
        mode = GAIN_MODE_SILENCE;
    }
    else if (m_JackState == VARIANT_A_JACK_ALL_SET)
    {
        next = VARIANT_A_JACK_MIXED;
        mode = GAIN_MODE_QUARTER;
    }
    // Nothing answers for the state without the gain processor; the state waits for it.
    if (next == m_JackState || !m_pJackSink)
    {
        return;
    }
    m_JackState = next;
    m_pJackSink->SetForcedMute(forcedMute);
    m_pJackSink->SetJackGainMode(mode);
}

VOID CVariantADevice::JackThread()
{
    PAGED_CODE();
    IUsbDevice* pUsb = nullptr;
    PURB pUrb = nullptr;
    UCHAR history[VARIANT_A_JACK_HISTORY] = {};
    m_JackState = VARIANT_A_JACK_ALL_SET;
    if (NT_SUCCESS(GetOuterUnknown()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb))))
    {
        pUrb = static_cast<PURB>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_TRANSFER), VARIANT_A_POOL_TAG));
    }
    if (pUrb && NT_SUCCESS(ReadJackReport(pUsb, pUrb, &history[0])))
    {
        LARGE_INTEGER due;
        due.QuadPart = -LONGLONG(VARIANT_A_JACK_PERIOD_MS) * 10000;
        KeSetTimerEx(&m_JackTimer, due, VARIANT_A_JACK_PERIOD_MS, nullptr);
        if (m_pJackSink)
        {
            m_pJackSink->SetForcedMute(1);
        }
        PVOID objects[2] = {&m_JackTimer, &m_StopEvent};
        for (ULONG i = 1;;)
        {
            NTSTATUS wait =
                KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
            if (wait != STATUS_WAIT_0 || !NT_SUCCESS(ReadJackReport(pUsb, pUrb, &history[i])))
            {
                break;
            }
            i = (i + 1) % VARIANT_A_JACK_HISTORY;
            StepJackState(history);
        }
        KeCancelTimer(&m_JackTimer);
    }
    if (pUrb)
    {
        ExFreePoolWithTag(pUrb, VARIANT_A_POOL_TAG);
    }
    if (pUsb)
    {
        pUsb->Release();
    }
    KeSetEvent(&m_DoneEvent, IO_NO_INCREMENT, FALSE);
}
