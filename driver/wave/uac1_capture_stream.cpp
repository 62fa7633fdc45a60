// CUac1CaptureStream: opening, submission and completion of capture transfers, and the delivery
// of what they bring through the staging ring to the leading client.
#include "driver/wave/uac1_capture_stream.h"

#include "driver/wave/uac1_sampling_frequency.h"

#include "usbdlib.h"

CUac1CaptureStream::CUac1CaptureStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId)
    : CUsbAudioStream(UnknownOuter, InterfaceNumber), m_CaptureLock(0), m_nRingFill(0), m_nPacketRemainder(0),
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
        m_nPacketRemainder = 0;
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
    m_nPacketRemainder = 0;
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

// The frames the packet at hand carries at the nominal rate, the fraction of a frame carried on
// from packet to packet as the render stream sizes its packets. It runs for every packet, so it
// keeps the pace of a device that spreads its frames the same way.
ULONG CUac1CaptureStream::NextNominalFrames()
{
    const LONG perSecond = LONG(m_nPacketsPerFrame * MS_PER_SECOND);
    m_nPacketRemainder +=
        LONG(m_CurrentFormat.Format.nSamplesPerSec) - LONG(m_nBaseFramesPerPacket) * perSecond;
    const LONG carry = m_nPacketRemainder / perSecond;
    m_nPacketRemainder -= carry * perSecond;
    const ULONG frames = ULONG(LONG(m_nBaseFramesPerPacket) + carry);
    return frames < m_nMaxFramesPerPacket ? frames : m_nMaxFramesPerPacket;
}

// The bytes of one packet's slot that go into the ring, filled with silence where the packet
// brought nothing: an empty packet stands for one packet of silence of the largest size (the
// device sends its samples later); a failed packet, or one that claims more than its slot
// holds, for the frames it took with it, so that what follows keeps its place in time.
ULONG CUac1CaptureStream::PacketBytes(TransferContext* Context, USBD_ISO_PACKET_DESCRIPTOR* Packet)
{
    const ULONG blockAlign = m_CurrentFormat.Format.nBlockAlign;
    const ULONG slot = m_nMaxFramesPerPacket * blockAlign;
    const ULONG nominalFrames = NextNominalFrames();
    if (Packet->Offset > Context->ByteLength || slot > Context->ByteLength - Packet->Offset)
    {
        return 0; // not a slot of this transfer
    }
    ULONG emptyFrames = m_CurrentFormat.Format.nSamplesPerSec / (m_nPacketsPerFrame * MS_PER_SECOND) + 1;
    emptyFrames = emptyFrames < m_nMaxFramesPerPacket ? emptyFrames : m_nMaxFramesPerPacket;
    const BOOLEAN lost = !USBD_SUCCESS(Packet->Status) || Packet->Length > slot;
    if (lost || Packet->Length == 0)
    {
        Packet->Length = (lost ? nominalFrames : emptyFrames) * blockAlign;
        RtlZeroMemory(Context->Data + Packet->Offset, Packet->Length);
    }
    return Packet->Length;
}

// Appends the bytes at the ring's write index, split at the ring's end.
VOID CUac1CaptureStream::StageBytes(const UCHAR* Source, ULONG Length)
{
    while (Length)
    {
        const ULONG room = m_nRingSize - m_nRingWrite;
        const ULONG chunk = Length < room ? Length : room;
        RtlCopyMemory(m_pRing + m_nRingWrite, Source, chunk);
        m_nRingWrite = (m_nRingWrite + chunk) % m_nRingSize;
        Source += chunk;
        Length -= chunk;
    }
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
            const ULONG length = PacketBytes(Context, &iso.IsoPacket[i]);
            StageBytes(Context->Data + iso.IsoPacket[i].Offset, length);
            m_nRingFill += length;
        }
        DeliverStaged();
    }
    KeReleaseSpinLock(&m_CaptureLock, oldIrql);
}
