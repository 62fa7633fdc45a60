// CUac2RenderStream: opening on the clock's rate, packet sizing from the feedback average, the
// feedback reads that travel ahead of the data transfers, completion, pipe-reset recovery, the
// valid-alternate-settings check and the stop request of the private DSD format.
#include "driver/wave/uac2_render_stream.h"

#include "driver/core/stream_engine_if.h"
#include "driver/wave/uac2_clock_rate.h"
#include "driver/wave/uac2_feedback.h"

#include "usbdlib.h"

namespace
{

constexpr UCHAR ENDPOINT_DIRECTION_IN = 0x80;
constexpr KPRIORITY TRANSFER_EVENT_INCREMENT = 8;
// The recovery submits this many transfers again; the completions keep the chain going.
constexpr ULONG RECOVERY_SUBMISSIONS = 3;
// The private DSD format's stop request, a vendor request to the streaming interface.
constexpr UCHAR DSD_STOP_REQUEST = 0x10;
#define UAC2_DSD_STOP_POOL_TAG MAKE_POOL_TAG('p', 'm', 'e', 't')

NTSTATUS FeedbackTransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    auto pContext = static_cast<TransferContext*>(Context);
    return static_cast<CUac2RenderStream*>(pContext->Owner)->OnFeedbackComplete(Irp, pContext);
}

} // namespace

CUac2RenderStream::CUac2RenderStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId,
                                     ULONG ClockSourceId)
    : CUsbAudioStream(UnknownOuter, InterfaceNumber), m_nPinNodeId(PinNodeId),
      m_nClockSourceId(ClockSourceId), m_nSizingRate(0), m_nRemainder(0), m_nMaxPacketFrames(0),
      m_nFeedbackPipe(0), m_bFeedbackPipe(FALSE), m_nFeedbackBytes(UAC2_FEEDBACK_BYTES_FULL_SPEED),
      m_FeedbackLock(0)
{
    m_nRingTag = UAC2_STREAM_RING_POOL_TAG;
    KeInitializeSpinLock(&m_FeedbackLock);
    RtlZeroMemory(m_FeedbackFreeSlots, sizeof(m_FeedbackFreeSlots));
    RtlZeroMemory(const_cast<TransferContext**>(m_FeedbackInUseSlots), sizeof(m_FeedbackInUseSlots));
}

CUac2RenderStream::~CUac2RenderStream()
{
    PAGED_CODE();
    if (m_StreamState == STREAM_STATE_RUNNING)
    {
        StopStreaming();
    }
    if (m_StreamState == STREAM_STATE_OPEN)
    {
        CloseStream();
    }
}

// ---- Opening ----

// The device must run at the format's rate before a packet of it arrives; a clock that refuses
// the rate fails the open. Every pooled data transfer gets a feedback twin of its own.
NTSTATUS CUac2RenderStream::OpenClassResources(IUsbDevice* UsbDevice, StreamClient* Client)
{
    PAGED_CODE();
    NTSTATUS status = SetClockSourceRateUac2(m_pDeviceUnknown, m_nStreamId, m_nClockSourceId,
                                             Client->Format.Format.nSamplesPerSec);
    for (ULONG i = 0; NT_SUCCESS(status) && i < USB_STREAM_MAX_TRANSFERS; ++i)
    {
        status = AllocateTransfer(UsbDevice, &m_FeedbackFreeSlots[i]);
        if (NT_SUCCESS(status))
        {
            m_FeedbackFreeSlots[i]->SlotIndex = i;
        }
    }
    m_nFeedbackBytes =
        UsbDevice->IsHighSpeed() ? UAC2_FEEDBACK_BYTES_HIGH_SPEED : UAC2_FEEDBACK_BYTES_FULL_SPEED;
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac2RenderStream::OpenStream(StreamClient* Client, PULONG CurrentFrame)
{
    PAGED_CODE();
    NTSTATUS status = OpenTransferChain(Client, CurrentFrame);
    if (NT_SUCCESS(status))
    {
        const ULONG rate = Client->Format.Format.nSamplesPerSec;
        m_nSizingRate = Uac2RateFromHz(rate);
        m_nRemainder = 0;
        // The data buffer holds a packet of one frame over the nominal; a device that reports a
        // rate near the top of the accepted window must not be fed more than that, nor more than
        // its endpoint takes.
        m_nMaxPacketFrames = UsbLargestPacketFrames(rate, m_nPacketsPerFrame, TRUE);
        if (m_nMaxFramesPerPacket && m_nMaxFramesPerPacket < m_nMaxPacketFrames)
        {
            m_nMaxPacketFrames = m_nMaxFramesPerPacket;
        }
    }
    return status;
}

ULONG CUac2RenderStream::LargestPacketFrames(ULONG RateHz, ULONG PacketsPerFrame, BOOLEAN FeedbackEndpoint)
{
    PAGED_CODE();
    return UsbLargestPacketFrames(RateHz, PacketsPerFrame, FeedbackEndpoint);
}

// Only while no transfer is outstanding: every transfer is then in its free slot.
STDMETHODIMP_(NTSTATUS) CUac2RenderStream::FreeTransfers()
{
    CUsbAudioStream::FreeTransfers();
    for (ULONG i = 0; i < USB_STREAM_MAX_TRANSFERS; ++i)
    {
        if (m_FeedbackFreeSlots[i])
        {
            FreeTransfer(m_FeedbackFreeSlots[i]);
            m_FeedbackFreeSlots[i] = nullptr;
        }
    }
    return STATUS_SUCCESS;
}

// ---- The alternate setting ----

BOOLEAN CUac2RenderStream::HasFeedbackPipe() const
{
    return m_bFeedbackPipe && m_pInterfaceInfo && m_nFeedbackPipe < m_pInterfaceInfo->NumberOfPipes;
}

// The feedback endpoint is the last IN pipe of a setting with two pipes or more.
VOID CUac2RenderStream::FindFeedbackPipe()
{
    m_bFeedbackPipe = FALSE;
    for (ULONG p = 0;
         m_pInterfaceInfo && m_pInterfaceInfo->NumberOfPipes >= 2 && p < m_pInterfaceInfo->NumberOfPipes; ++p)
    {
        if (m_pInterfaceInfo->Pipes[p].EndpointAddress & ENDPOINT_DIRECTION_IN)
        {
            m_nFeedbackPipe = p;
            m_bFeedbackPipe = TRUE;
        }
    }
}

// The rate went to the clock at open; the endpoint has no rate of its own.
STDMETHODIMP_(NTSTATUS)
CUac2RenderStream::SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client)
{
    PAGED_CODE();
    const NTSTATUS status = SelectSetting(AlternateSetting);
    FindFeedbackPipe();
    return status;
}

STDMETHODIMP_(BOOLEAN) CUac2RenderStream::IsAlternateSettingValid(UCHAR AlternateSetting, ULONG SampleRate)
{
    PAGED_CODE();
    return QueryValidAlternateSetting(AlternateSetting);
}

// ---- Feedback ----

TransferContext* CUac2RenderStream::AcquireFeedbackSlot()
{
    TransferContext* pTaken = nullptr;
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_FeedbackLock, &oldIrql);
    for (ULONG i = 0; i < USB_STREAM_MAX_TRANSFERS && !pTaken; ++i)
    {
        TransferContext* pFree = m_FeedbackFreeSlots[i];
        if (pFree && !InterlockedCompareExchangePointer(
                         reinterpret_cast<PVOID volatile*>(&m_FeedbackInUseSlots[i]), pFree, nullptr))
        {
            m_FeedbackFreeSlots[i] = nullptr;
            pTaken = pFree;
        }
    }
    KeReleaseSpinLock(&m_FeedbackLock, oldIrql);
    return pTaken;
}

VOID CUac2RenderStream::ReleaseFeedbackSlot(TransferContext* Context)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_FeedbackLock, &oldIrql);
    m_FeedbackFreeSlots[Context->SlotIndex] = Context;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_FeedbackInUseSlots[Context->SlotIndex]),
                               nullptr);
    IoReuseIrp(Context->Irp, STATUS_NOT_SUPPORTED);
    KeReleaseSpinLock(&m_FeedbackLock, oldIrql);
}

// One value per USB frame of the data transfer it travels with; none free is no failure (ten
// are already on their way).
NTSTATUS CUac2RenderStream::SubmitFeedbackTransfer(IUsbDevice* UsbDevice)
{
    TransferContext* pContext = AcquireFeedbackSlot();
    if (!pContext)
    {
        return STATUS_SUCCESS;
    }
    const ULONG packets = m_nFramesPerTransfer;
    RtlZeroMemory(pContext->Urb, GET_ISO_URB_SIZE(packets));
    struct _URB_ISOCH_TRANSFER& iso = pContext->Urb->UrbIsochronousTransfer;
    iso.Hdr.Length = USHORT(GET_ISO_URB_SIZE(packets));
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = m_pInterfaceInfo->Pipes[m_nFeedbackPipe].PipeHandle;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
    iso.StartFrame = 0;
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i)
    {
        iso.IsoPacket[i].Offset = i * m_nFeedbackBytes;
        iso.IsoPacket[i].Length = m_nFeedbackBytes;
    }
    iso.TransferBufferLength = packets * m_nFeedbackBytes;
    iso.TransferBuffer = pContext->Data;
    pContext->ByteLength = packets * m_nFeedbackBytes;
    return PassTransferDown(UsbDevice, pContext, FeedbackTransferCompletion);
}

// A failed read is a failed transfer: the worker recovers the pipes. The next data submission
// sends the next read.
NTSTATUS CUac2RenderStream::OnFeedbackComplete(PIRP Irp, TransferContext* Context)
{
    const NTSTATUS irpStatus = Irp->IoStatus.Status;
    if (m_StreamState == STREAM_STATE_RUNNING && irpStatus != STATUS_CANCELLED)
    {
        if (NT_SUCCESS(irpStatus) && USBD_SUCCESS(Context->Urb->UrbIsochronousTransfer.Hdr.Status))
        {
            const ULONG values = m_nFramesPerTransfer;
            const ULONG bytes = Context->ByteLength == values * UAC2_FEEDBACK_BYTES_HIGH_SPEED
                                    ? UAC2_FEEDBACK_BYTES_HIGH_SPEED
                                    : UAC2_FEEDBACK_BYTES_FULL_SPEED;
            ULONGLONG rate = m_nSizingRate;
            if (Uac2FeedbackSizingRate(Context->Data, values, bytes,
                                       Uac2FeedbackValuesPerSecond(bytes, m_nPacketsPerFrame),
                                       m_CurrentFormat.Format.nSamplesPerSec, &rate))
            {
                m_nSizingRate = rate;
            }
        }
        else if (InterlockedExchange(&m_PendingFlag, STREAM_PENDING_FAILED) != STREAM_PENDING_FAILED)
        {
            KeSetEvent(&m_WorkEvent, TRANSFER_EVENT_INCREMENT, FALSE);
        }
    }
    ReleaseFeedbackSlot(Context);
    if (InterlockedDecrement(&m_nOutstanding) == 0)
    {
        KeSetEvent(&m_IdleEvent, TRANSFER_EVENT_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- Data ----

STDMETHODIMP_(NTSTATUS) CUac2RenderStream::SubmitNextTransfer()
{
    IUsbDevice* pUsbDevice = m_pUsbDevice;
    if (!pUsbDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_SubmitLock, &oldIrql);
    NTSTATUS status = STATUS_SUCCESS;
    TransferContext* pContext = nullptr;
    if (!m_bDeviceGone && m_StreamState == STREAM_STATE_RUNNING)
    {
        // A device gone during the feedback read takes the data transfer with it.
        const NTSTATUS feedback = HasFeedbackPipe() ? SubmitFeedbackTransfer(pUsbDevice) : STATUS_SUCCESS;
        if (feedback == STATUS_NO_SUCH_DEVICE || feedback == STATUS_DEVICE_NOT_CONNECTED)
        {
            status = feedback;
        }
        else
        {
            pContext = TakeTransfer(&status);
        }
    }
    if (pContext)
    {
        const ULONG packets = m_nFramesPerTransfer * m_nPacketsPerFrame;
        struct _URB_ISOCH_TRANSFER& iso = pContext->Urb->UrbIsochronousTransfer;
        const ULONG length = Uac2SizeRenderPackets(&iso, packets, m_nSizingRate, m_nBaseFramesPerPacket,
                                                   m_nPacketsPerFrame * MS_PER_SECOND, m_nMaxPacketFrames,
                                                   m_CurrentFormat.Format.nBlockAlign, &m_nRemainder);
        iso.TransferBufferLength = length;
        pContext->ByteLength = length;
        FillRenderBuffer(pContext, length);
        status = SendTransfer(pUsbDevice, pContext, USBD_TRANSFER_DIRECTION_OUT, packets);
    }
    KeReleaseSpinLock(&m_SubmitLock, oldIrql);
    return status;
}

// Only the IRP and URB status decide: the device's clock, not the host's, paces an asynchronous
// endpoint, so a packet it did not take is no reason to stop.
STDMETHODIMP_(NTSTATUS)
CUac2RenderStream::OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context)
{
    FinishRenderTransfer(Irp->IoStatus.Status, Context, Context->ByteLength, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- Pipes ----

// Overdue transfers come back from both pipes; the slot named AbortPipe is the DSD stop.
NTSTATUS CUac2RenderStream::AbortTransfers()
{
    PAGED_CODE();
    NTSTATUS status = CUsbAudioStream::AbortPipe();
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (pUsbDevice && HasFeedbackPipe())
    {
        const NTSTATUS feedback = SendPipeRequest(pUsbDevice, m_nFeedbackPipe, URB_FUNCTION_ABORT_PIPE);
        status = NT_SUCCESS(status) ? feedback : status;
    }
    if (pUsbDevice)
    {
        pUsbDevice->Release();
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac2RenderStream::AbortPipe()
{
    PAGED_CODE();
    StreamClient* pClient = m_pOpenClient;
    if (!pClient || pClient->Format.Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE ||
        !IsEqualGUIDAligned(pClient->Format.SubFormat, KSDATAFORMAT_SUBTYPE_DSD))
    {
        return STATUS_SUCCESS;
    }
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (!pUsbDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const SIZE_T urbBytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbBytes, UAC2_DSD_STOP_POOL_TAG));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (pUrb)
    {
        RtlZeroMemory(pUrb, urbBytes);
        UsbBuildVendorRequest(pUrb, URB_FUNCTION_VENDOR_INTERFACE, USHORT(urbBytes),
                              USBD_TRANSFER_DIRECTION_OUT, 0, DSD_STOP_REQUEST, 0, USHORT(m_nStreamId),
                              nullptr, nullptr, 0, nullptr);
        status = pUsbDevice->SubmitUrbSync(pUrb);
        ExFreePoolWithTag(pUrb, UAC2_DSD_STOP_POOL_TAG);
    }
    pUsbDevice->Release();
    return status;
}

// ---- Recovery ----

// The setting stays: an asynchronous device keeps its clock through a stall, so resetting the
// pipes is enough, and the clients hear of no restart.
STDMETHODIMP_(NTSTATUS) CUac2RenderStream::RecoverStream()
{
    PAGED_CODE();
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (!pUsbDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    WaitForTransfers();
    InterlockedExchange(&m_PendingFlag, STREAM_PENDING_NONE);
    NTSTATUS status = STATUS_SUCCESS;
    if (pUsbDevice->ResetPort())
    {
        m_bDeviceGone = TRUE;
        status = STATUS_DEVICE_NOT_CONNECTED;
    }
    const BOOLEAN pipes = m_pInterfaceInfo && m_nDataPipe < m_pInterfaceInfo->NumberOfPipes;
    if (NT_SUCCESS(status))
    {
        status = pipes
                     ? SendPipeRequest(pUsbDevice, m_nDataPipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)
                     : STATUS_INVALID_DEVICE_STATE;
    }
    if (NT_SUCCESS(status) && HasFeedbackPipe())
    {
        status = SendPipeRequest(pUsbDevice, m_nFeedbackPipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    }
    ULONG frame = 0;
    pUsbDevice->GetCurrentFrameNumber(&frame);
    m_nNextStartFrame = frame + USB_STREAM_START_DELAY_FRAMES;
    for (ULONG i = 0; NT_SUCCESS(status) && i < RECOVERY_SUBMISSIONS; ++i)
    {
        const NTSTATUS submitted = SubmitNextTransfer();
        if (submitted == STATUS_BUFFER_TOO_SMALL)
        {
            break;
        }
        status = NT_SUCCESS(submitted) ? STATUS_SUCCESS : submitted; // pending with the stack
    }
    pUsbDevice->Release();
    return status;
}
