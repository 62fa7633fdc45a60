// CUac1RenderStream: opening, packet sizing, submission and completion of render transfers.
// One render buffer goes: the leading client fills it (code 3), the pipeline processes it in
// place, the URB carries it to the bus, and its completion (code 1) sends the next one.
#include "driver/wave/uac1_render_stream.h"

#include "driver/wave/uac1_sampling_frequency.h"

#include "usbdlib.h"

CUac1RenderStream::CUac1RenderStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId)
    : CUsbAudioStream(UnknownOuter, InterfaceNumber), m_nSizingRate(0), m_nRemainder(0),
      m_nPinNodeId(PinNodeId)
{
}

STDMETHODIMP_(NTSTATUS) CUac1RenderStream::OpenStream(StreamClient* Client, PULONG CurrentFrame)
{
    PAGED_CODE();
    NTSTATUS status = OpenTransferChain(Client, CurrentFrame);
    if (NT_SUCCESS(status))
    {
        m_nSizingRate = Client->Format.Format.nSamplesPerSec;
        m_nRemainder = 0;
    }
    return status;
}

// A device that keeps a rate of its own still plays what it is sent, so a refused rate does not
// stop the stream.
STDMETHODIMP_(NTSTATUS)
CUac1RenderStream::SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client)
{
    PAGED_CODE();
    const NTSTATUS status = SelectSetting(AlternateSetting);
    if (!NT_SUCCESS(status) || !Client || AlternateSetting == 0 || !DataEndpointAddress())
    {
        return status;
    }
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (pUsbDevice)
    {
        SetSamplingFrequencyUac1(pUsbDevice, m_nStreamId, AlternateSetting, DataEndpointAddress(),
                                 Client->Format.Format.nSamplesPerSec);
        pUsbDevice->Release();
    }
    return status;
}

// No transfer is outstanding while the worker restarts the chain.
STDMETHODIMP_(NTSTATUS) CUac1RenderStream::RestartStreaming()
{
    PAGED_CODE();
    m_nRemainder = 0;
    return CUsbAudioStream::RestartStreaming();
}

STDMETHODIMP_(NTSTATUS) CUac1RenderStream::SubmitNextTransfer()
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
        RtlZeroMemory(pContext->Urb, GET_ISO_URB_SIZE(packets));
        struct _URB_ISOCH_TRANSFER& iso = pContext->Urb->UrbIsochronousTransfer;
        const LONG perSecond = LONG(m_nPacketsPerFrame * MS_PER_SECOND);
        const LONG step = LONG(m_nSizingRate) - LONG(m_nBaseFramesPerPacket) * perSecond;
        const ULONG blockAlign = m_CurrentFormat.Format.nBlockAlign;
        ULONG offset = 0;
        for (ULONG i = 0; i < packets; ++i)
        {
            m_nRemainder += step;
            const LONG carry = m_nRemainder / perSecond;
            m_nRemainder -= carry * perSecond;
            const ULONG length = ULONG(LONG(m_nBaseFramesPerPacket) + carry) * blockAlign;
            iso.IsoPacket[i].Offset = offset;
            iso.IsoPacket[i].Length = length;
            offset += length;
        }
        iso.TransferBufferLength = offset;
        pContext->ByteLength = offset;
        RtlZeroMemory(pContext->Data, offset);
        NotifyClient(StreamNotifyRenderData, pContext->Data, offset);
        ProcessBuffer(pContext->Data, offset);
        status = SendTransfer(pUsbDevice, pContext, USBD_TRANSFER_DIRECTION_OUT, packets);
    }
    KeReleaseSpinLock(&m_SubmitLock, oldIrql);
    return status;
}

STDMETHODIMP_(NTSTATUS)
CUac1RenderStream::OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context)
{
    const BOOLEAN running = m_StreamState == STREAM_STATE_RUNNING;
    const NTSTATUS irpStatus = Irp->IoStatus.Status;
    if (running && (irpStatus == STATUS_DEVICE_NOT_CONNECTED || irpStatus == STATUS_NO_SUCH_DEVICE))
    {
        m_bDeviceGone = TRUE;
    }
    NotifyClient(StreamNotifyTransferDone, nullptr, Context->ByteLength);
    BOOLEAN succeeded = NT_SUCCESS(irpStatus);
    struct _URB_ISOCH_TRANSFER& iso = Context->Urb->UrbIsochronousTransfer;
    USBD_STATUS urbStatus = iso.Hdr.Status;
    for (ULONG i = 0; USBD_SUCCESS(urbStatus) && i < iso.NumberOfPackets; ++i)
    {
        if (!USBD_SUCCESS(iso.IsoPacket[i].Status))
        {
            urbStatus = iso.IsoPacket[i].Status;
        }
    }
    succeeded = succeeded && USBD_SUCCESS(urbStatus);
    FinishTransfer(Context, running && irpStatus != STATUS_CANCELLED, succeeded);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
