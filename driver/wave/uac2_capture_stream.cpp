// CUac2CaptureStream: opening on the clock's rate, submission of capture transfers, and the
// hand-off of what they bring through the staging ring to the leading client.
#include "driver/wave/uac2_capture_stream.h"

#include "driver/wave/uac2_clock_rate.h"

#include "usbdlib.h"

CUac2CaptureStream::CUac2CaptureStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId,
                                       ULONG ClockSourceId)
    : CUsbAudioStream(UnknownOuter, InterfaceNumber), m_nPinNodeId(PinNodeId),
      m_nClockSourceId(ClockSourceId), m_CaptureLock(0)
{
    m_nRingTag = UAC2_STREAM_RING_POOL_TAG;
    KeInitializeSpinLock(&m_CaptureLock);
}

// A capture stream at a rate the clock refused would deliver its samples at the wrong pace.
NTSTATUS CUac2CaptureStream::OpenClassResources(IUsbDevice* UsbDevice, StreamClient* Client)
{
    PAGED_CODE();
    return SetClockSourceRateUac2(m_pDeviceUnknown, m_nStreamId, m_nClockSourceId,
                                  Client->Format.Format.nSamplesPerSec);
}

STDMETHODIMP_(NTSTATUS) CUac2CaptureStream::OpenStream(StreamClient* Client, PULONG CurrentFrame)
{
    PAGED_CODE();
    return OpenTransferChain(Client, CurrentFrame);
}

STDMETHODIMP_(NTSTATUS)
CUac2CaptureStream::SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client)
{
    PAGED_CODE();
    return SelectSetting(AlternateSetting);
}

STDMETHODIMP_(BOOLEAN) CUac2CaptureStream::IsAlternateSettingValid(UCHAR AlternateSetting, ULONG SampleRate)
{
    PAGED_CODE();
    return QueryValidAlternateSetting(AlternateSetting);
}

STDMETHODIMP_(NTSTATUS) CUac2CaptureStream::SubmitNextTransfer()
{
    return SubmitCaptureTransfer();
}

STDMETHODIMP_(NTSTATUS)
CUac2CaptureStream::OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context)
{
    const NTSTATUS irpStatus = Irp->IoStatus.Status;
    if (NT_SUCCESS(irpStatus))
    {
        DeliverCaptureData(Context);
    }
    FinishCaptureTransfer(irpStatus, Context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The pipeline runs over the ring's bytes in place before the client reads them.
VOID CUac2CaptureStream::DeliverSpan(ULONG Offset, ULONG Length)
{
    ProcessBuffer(m_pRing + Offset, Length);
    NotifyClient(StreamNotifyCaptureData, m_pRing + Offset, Length);
}

// Exactly what the transfer brought goes to the client, from where it was written on: one span,
// or two where it wraps. The ring holds a whole transfer (its slots full), so none of it is
// overwritten before it goes.
VOID CUac2CaptureStream::DeliverCaptureData(TransferContext* Context)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_CaptureLock, &oldIrql);
    if (m_pRing && m_nRingSize)
    {
        const ULONG start = m_nRingWrite;
        ULONG total = 0;
        struct _URB_ISOCH_TRANSFER& iso = Context->Urb->UrbIsochronousTransfer;
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i)
        {
            const ULONG length = CapturePacketBytes(Context, &iso.IsoPacket[i]);
            StageCaptureBytes(Context->Data + iso.IsoPacket[i].Offset, length);
            total += length;
        }
        const ULONG delivered = total < m_nRingSize ? total : m_nRingSize;
        const ULONG from = total < m_nRingSize ? start : m_nRingWrite;
        if (delivered)
        {
            const ULONG first = m_nRingSize - from;
            DeliverSpan(from, delivered < first ? delivered : first);
            if (delivered > first)
            {
                DeliverSpan(0, delivered - first);
            }
            NotifyClient(StreamNotifyTransferDone, nullptr, delivered);
        }
    }
    KeReleaseSpinLock(&m_CaptureLock, oldIrql);
}
