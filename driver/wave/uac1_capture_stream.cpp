// CUac1CaptureStream: opening, submission and completion of capture transfers, and the delivery
// of what they bring through the staging ring to the leading client.
#include "driver/wave/uac1_capture_stream.h"

#include "driver/wave/uac1_sampling_frequency.h"

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

// A capture stream at a rate the device refused would deliver its samples at the wrong pace,
// so the refusal fails the selection, and the interface gives back the bandwidth it took.
STDMETHODIMP_(NTSTATUS)
CUac1CaptureStream::SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client)
{
    PAGED_CODE();
    NTSTATUS status = SelectSetting(AlternateSetting);
    if (!NT_SUCCESS(status) || !Client || !DataEndpointAddress())
    {
        return status;
    }
    const UCHAR endpoint = DataEndpointAddress();
    const ULONG rateHz = Client->Format.Format.nSamplesPerSec;
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    status = pUsbDevice
                 ? SetSamplingFrequencyUac1(pUsbDevice, m_nStreamId, AlternateSetting, endpoint, rateHz)
                 : STATUS_INVALID_DEVICE_STATE;
    if (pUsbDevice)
    {
        pUsbDevice->Release();
    }
    if (!NT_SUCCESS(status))
    {
        DbgPrint("Capture endpoint 0x%02x of interface %u refused %u Hz: 0x%08x\n", endpoint, m_nStreamId,
                 rateHz, status);
        GiveBackBandwidth();
    }
    return status;
}

// No transfer is outstanding while the worker restarts the chain.
STDMETHODIMP_(NTSTATUS) CUac1CaptureStream::RestartStreaming()
{
    PAGED_CODE();
    m_nRingFill = 0;
    return CUsbAudioStream::RestartStreaming();
}

STDMETHODIMP_(NTSTATUS) CUac1CaptureStream::SubmitNextTransfer()
{
    return SubmitCaptureTransfer();
}

STDMETHODIMP_(NTSTATUS)
CUac1CaptureStream::OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context)
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
VOID CUac1CaptureStream::DeliverSpan(ULONG Offset, ULONG Length)
{
    ProcessBuffer(m_pRing + Offset, Length);
    NotifyClient(StreamNotifyCaptureData, m_pRing + Offset, Length);
}

// Whole frames from the read index on go to the client, in two spans where they wrap.
VOID CUac1CaptureStream::DeliverStaged()
{
    const ULONG blockAlign = m_CurrentFormat.Format.nBlockAlign;
    if (m_nRingFill > m_nRingSize)
    {
        // More than the ring holds arrived at once: the oldest bytes were overwritten.
        m_nRingRead = (m_nRingRead + m_nRingFill - m_nRingSize) % m_nRingSize;
        m_nRingFill = m_nRingSize;
    }
    const ULONG available = blockAlign ? m_nRingFill - m_nRingFill % blockAlign : 0;
    if (!available)
    {
        return;
    }
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

VOID CUac1CaptureStream::DeliverCaptureData(TransferContext* Context)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_CaptureLock, &oldIrql);
    if (m_pRing && m_nRingSize)
    {
        struct _URB_ISOCH_TRANSFER& iso = Context->Urb->UrbIsochronousTransfer;
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i)
        {
            const ULONG length = CapturePacketBytes(Context, &iso.IsoPacket[i]);
            StageCaptureBytes(Context->Data + iso.IsoPacket[i].Offset, length);
            m_nRingFill += length;
        }
        DeliverStaged();
    }
    KeReleaseSpinLock(&m_CaptureLock, oldIrql);
}
