// CUac1CaptureStream: opening, submission and completion of capture transfers, and the delivery
// of what they bring through the staging ring to the leading client.
#include "driver/wave/uac1_capture_stream.h"

#include "usbdlib.h"

CUac1CaptureStream::CUac1CaptureStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId)
    : CUsbAudioStream(UnknownOuter, InterfaceNumber), m_CaptureLock(0), m_nRingFill(0),
      m_nPinNodeId(PinNodeId)
{
    KeInitializeSpinLock(&m_CaptureLock);
}

STDMETHODIMP_(NTSTATUS) CUac1CaptureStream::OpenStream(StreamClient* Client, PULONG CurrentFrame)
{
    PAGED_CODE();
    NTSTATUS status = OpenTransferChain(Client, CurrentFrame);
    if (NT_SUCCESS(status))
    {
        m_nRingFill = 0;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS)
CUac1CaptureStream::SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client)
{
    PAGED_CODE();
    return SelectSetting(AlternateSetting, Client);
}

// No transfer is outstanding while the worker restarts the chain.
STDMETHODIMP_(NTSTATUS) CUac1CaptureStream::RestartStreaming()
{
    PAGED_CODE();
    m_nRingFill = 0;
    return CUsbAudioStream::RestartStreaming();
}

// Every packet gets a slot of the largest size the endpoint carries.
STDMETHODIMP_(NTSTATUS) CUac1CaptureStream::SubmitNextTransfer()
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
        pContext = AcquireIrpSlot();
        status = pContext ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    }
    if (pContext)
    {
        const ULONG packets = m_nFramesPerTransfer * m_nPacketsPerFrame;
        const ULONG slot = m_nMaxFramesPerPacket * m_CurrentFormat.Format.nBlockAlign;
        RtlZeroMemory(pContext->Urb, GET_ISO_URB_SIZE(packets));
        struct _URB_ISOCH_TRANSFER& iso = pContext->Urb->UrbIsochronousTransfer;
        for (ULONG i = 0; i < packets; ++i)
        {
            iso.IsoPacket[i].Offset = i * slot;
            iso.IsoPacket[i].Length = 0;
        }
        iso.TransferBufferLength = packets * slot;
        pContext->ByteLength = packets * slot;
        status =
            SendTransfer(pUsbDevice, pContext, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, packets);
    }
    KeReleaseSpinLock(&m_SubmitLock, oldIrql);
    return status;
}

STDMETHODIMP_(NTSTATUS)
CUac1CaptureStream::OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context)
{
    const NTSTATUS irpStatus = Irp->IoStatus.Status;
    if (NT_SUCCESS(irpStatus))
    {
        DeliverCaptureData(Context);
    }
    const BOOLEAN running = m_StreamState == STREAM_STATE_RUNNING && irpStatus != STATUS_CANCELLED;
    const BOOLEAN succeeded =
        NT_SUCCESS(irpStatus) && USBD_SUCCESS(Context->Urb->UrbIsochronousTransfer.Hdr.Status);
    FinishTransfer(Context, running, succeeded);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The pipeline runs over the ring's bytes in place before the client reads them.
VOID CUac1CaptureStream::DeliverSpan(ULONG Offset, ULONG Length)
{
    ProcessBuffer(m_pRing + Offset, Length);
    NotifyClient(StreamNotifyCaptureData, m_pRing + Offset, Length);
}

VOID CUac1CaptureStream::DeliverCaptureData(TransferContext* Context)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_CaptureLock, &oldIrql);
    struct _URB_ISOCH_TRANSFER& iso = Context->Urb->UrbIsochronousTransfer;
    const ULONG blockAlign = m_CurrentFormat.Format.nBlockAlign;
    const ULONG slot = m_nMaxFramesPerPacket * blockAlign;
    // An empty packet stands for one packet's worth of silence, never more than its slot holds.
    ULONG silenceFrames = m_CurrentFormat.Format.nSamplesPerSec / (m_nPacketsPerFrame * MS_PER_SECOND) + 1;
    silenceFrames = silenceFrames < m_nMaxFramesPerPacket ? silenceFrames : m_nMaxFramesPerPacket;
    ULONG copied = 0;
    for (ULONG i = 0; m_pRing && m_nRingSize && i < iso.NumberOfPackets; ++i)
    {
        USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
        if (packet.Offset > Context->ByteLength || packet.Length > Context->ByteLength - packet.Offset ||
            packet.Length > slot)
        {
            continue; // a length the stack could not have filled: nothing of it is trusted
        }
        if (packet.Length == 0 && USBD_SUCCESS(packet.Status))
        {
            packet.Length = silenceFrames * blockAlign;
            RtlZeroMemory(Context->Data + packet.Offset, packet.Length);
        }
        ULONG left = packet.Length;
        PUCHAR pSource = Context->Data + packet.Offset;
        while (left)
        {
            const ULONG room = m_nRingSize - m_nRingWrite;
            const ULONG chunk = left < room ? left : room;
            RtlCopyMemory(m_pRing + m_nRingWrite, pSource, chunk);
            m_nRingWrite = (m_nRingWrite + chunk) % m_nRingSize;
            pSource += chunk;
            left -= chunk;
        }
        copied += packet.Length;
    }
    m_nRingFill += copied;
    if (m_nRingFill > m_nRingSize)
    {
        // More than the ring holds arrived at once: the oldest bytes were overwritten.
        m_nRingRead = (m_nRingRead + m_nRingFill - m_nRingSize) % m_nRingSize;
        m_nRingFill = m_nRingSize;
    }
    const ULONG available = blockAlign ? m_nRingFill - m_nRingFill % blockAlign : 0;
    if (available)
    {
        const ULONG first = m_nRingSize - m_nRingRead;
        if (available > first)
        {
            DeliverSpan(m_nRingRead, first);
            DeliverSpan(0, available - first);
        }
        else
        {
            DeliverSpan(m_nRingRead, available);
        }
        NotifyClient(StreamNotifyTransferDone, nullptr, available);
        m_nRingRead = (m_nRingRead + available) % m_nRingSize;
        m_nRingFill -= available;
    }
    KeReleaseSpinLock(&m_CaptureLock, oldIrql);
}
