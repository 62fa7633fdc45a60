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

ULONG CUac1RenderStream::SizePackets(struct _URB_ISOCH_TRANSFER* Iso, ULONG Packets, ULONG FrameBytes)
{
    const LONG perSecond = LONG(m_nPacketsPerFrame * MS_PER_SECOND);
    const LONG step = LONG(m_nSizingRate) - LONG(m_nBaseFramesPerPacket) * perSecond;
    ULONG frames = 0;
    for (ULONG i = 0; i < Packets; ++i)
    {
        m_nRemainder += step;
        const LONG carry = m_nRemainder / perSecond;
        m_nRemainder -= carry * perSecond;
        const ULONG packetFrames = ULONG(LONG(m_nBaseFramesPerPacket) + carry);
        Iso->IsoPacket[i].Offset = frames * FrameBytes;
        Iso->IsoPacket[i].Length = packetFrames * FrameBytes;
        frames += packetFrames;
    }
    return frames;
}

STDMETHODIMP_(NTSTATUS) CUac1RenderStream::SubmitNextTransfer()
{
    return SubmitClaimed(
        [this](IUsbDevice* UsbDevice, TransferContext* Context, ULONG Packets)
        {
            struct _URB_ISOCH_TRANSFER& iso = Context->Urb->UrbIsochronousTransfer;
            const ULONG blockAlign = m_CurrentFormat.Format.nBlockAlign;
            const ULONG length = SizePackets(&iso, Packets, blockAlign) * blockAlign;
            iso.TransferBufferLength = length;
            Context->ByteLength = length;
            FillRenderBuffer(Context, length);
            return SendTransfer(UsbDevice, Context, USBD_TRANSFER_DIRECTION_OUT, Packets);
        });
}

STDMETHODIMP_(NTSTATUS)
CUac1RenderStream::OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context)
{
    FinishRenderTransfer(Irp->IoStatus.Status, Context, Context->ByteLength, TRUE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
