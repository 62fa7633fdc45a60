// CVariantDStream: the render stream of variant D, the model whose effect nodes render every
// stream to stereo inside the sample pipeline. Its endpoint carries two channels while the
// audio stack is offered more, so after the pipeline each transfer runs through the stream's
// own peak limiter and is packed down to the first two channels of each frame; the packets the
// device gets shrink accordingly, and the completion reports the bytes in the client's terms.
#pragma once

#include "driver/wave/uac1_render_stream.h"

class CVariantDStream : public CUac1RenderStream
{
public:
    CVariantDStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId);

    // A one-channel stream has no second channel to fill the device's frame with, and its
    // packed transfer would be longer than the buffer it was built in: it is refused.
    // PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) FindFormat(PWAVEFORMATEX Format) override;
    STDMETHODIMP_(NTSTATUS) OpenStream(StreamClient* Client, PULONG CurrentFrame) override;
    // <= DISPATCH_LEVEL; serialised by the submit lock.
    STDMETHODIMP_(NTSTATUS) SubmitNextTransfer() override;
    // DISPATCH_LEVEL, the IRP's completion.
    STDMETHODIMP_(NTSTATUS)
    OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override;

protected:
    // The device gets the first two samples of each frame. Any IRQL.
    ULONG WireFrameBytes(PCWAVEFORMATEXTENSIBLE Format) const override;

private:
    // Bytes of one stream frame and of the frame the device gets, in the current format.
    ULONG ClientFrameBytes() const;
    ULONG DeviceFrameBytes() const;
    // Under the submit lock; takes the engine's spin lock at DISPATCH_LEVEL for the pass.
    VOID LimitTransfer(PUCHAR Data, ULONG LengthBytes);
    // Packs in place; returns the packed length.
    ULONG PackToStereo(PUCHAR Data, ULONG LengthBytes);
};

// For the variant-D device's stream walk: a render stream of the interface, not yet
// initialised, with the caller's reference; null when pool runs out. PASSIVE_LEVEL.
CVariantDStream* NewVariantDStream(ULONG InterfaceNumber, ULONG PinNodeId, ULONG PoolTag);
