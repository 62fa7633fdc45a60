// CUac1RenderStream: the class-1 render stream (isochronous OUT). It sizes each packet from the
// sampling rate, carrying the fraction of a frame on from packet to packet and transfer to
// transfer, asks the leading client for the data, runs the sample pipeline over it and keeps
// the chain of transfers full from their completions.
#pragma once

#include "driver/wave/usb_audio_stream.h"

class CUac1RenderStream : public CUsbAudioStream
{
public:
    // PinNodeId: the first node of the terminal that the interface's bTerminalLink names.
    CUac1RenderStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId);

    ULONG GetPinNodeId() const { return m_nPinNodeId; }

    // Under the engine's mutex, PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) OpenStream(StreamClient* Client, PULONG CurrentFrame) override;
    STDMETHODIMP_(NTSTATUS) SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client) override;
    // The worker's restart after a failed transfer; starts the packet sizing afresh.
    STDMETHODIMP_(NTSTATUS) RestartStreaming() override;
    // <= DISPATCH_LEVEL; serialised by the submit lock.
    STDMETHODIMP_(NTSTATUS) SubmitNextTransfer() override;
    // DISPATCH_LEVEL, the IRP's completion.
    STDMETHODIMP_(NTSTATUS)
    OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override;

protected:
    // Lays out one transfer's packets for the sizing rate, carrying the remainder on, each frame
    // FrameBytes long on the bus; returns the frames of the transfer. Under the submit lock.
    ULONG SizePackets(struct _URB_ISOCH_TRANSFER* Iso, ULONG Packets, ULONG FrameBytes);

    ULONG m_nSizingRate; // the rate the packets are sized for
    LONG m_nRemainder;   // the fraction of a frame carried to the next packet, in 1/(P x 1000)

private:
    ULONG m_nPinNodeId;
};
