// CUac1CaptureStream: the class-1 capture stream (isochronous IN). Each completed transfer's
// packets go into the staging ring, through the sample pipeline, and to the leading client in
// whole frames.
#pragma once

#include "driver/wave/usb_audio_stream.h"

class CUac1CaptureStream : public CUsbAudioStream
{
public:
    // PinNodeId: the first node of the terminal that the interface's bTerminalLink names.
    CUac1CaptureStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId);

    ULONG GetPinNodeId() const { return m_nPinNodeId; }

    // Under the engine's mutex, PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) OpenStream(StreamClient* Client, PULONG CurrentFrame) override;
    STDMETHODIMP_(NTSTATUS) SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client) override;
    // The worker's restart after a failed transfer; starts the staging ring afresh.
    STDMETHODIMP_(NTSTATUS) RestartStreaming() override;
    // <= DISPATCH_LEVEL; serialised by the submit lock.
    STDMETHODIMP_(NTSTATUS) SubmitNextTransfer() override;
    // DISPATCH_LEVEL, the IRP's completion.
    STDMETHODIMP_(NTSTATUS)
    OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override;

protected:
    // Under the capture lock: the packets into the ring, then the pipeline and the client.
    VOID DeliverCaptureData(TransferContext* Context);
    VOID DeliverStaged();
    VOID DeliverSpan(ULONG Offset, ULONG Length);

    KSPIN_LOCK m_CaptureLock; // the staging ring
    ULONG m_nRingFill;        // bytes in the ring not yet delivered (less than one frame between calls)

private:
    ULONG m_nPinNodeId;
};
