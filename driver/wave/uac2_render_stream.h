// CUac2RenderStream: the class-2 render stream (isochronous OUT, with the asynchronous feedback
// endpoint). The device runs on its own clock and tells the host its true rate on the feedback
// endpoint: every data transfer sends one feedback read ahead of it, and each read's values
// re-size the packets that follow. The rate itself is set on the clock source entity that the
// interface's terminal uses, not on the endpoint.
#pragma once

#include "driver/wave/usb_audio_stream.h"

class CUac2RenderStream : public CUsbAudioStream
{
public:
    // PinNodeId: the first node of the terminal that the interface's bTerminalLink names;
    // ClockSourceId: the first node of the clock source entity that terminal uses.
    CUac2RenderStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId, ULONG ClockSourceId);
    // A stream still open is closed here, where its feedback transfers are still its own to
    // free. PASSIVE_LEVEL, pageable.
    ~CUac2RenderStream() override;

    ULONG GetPinNodeId() const { return m_nPinNodeId; }
    ULONG GetClockSourceId() const { return m_nClockSourceId; }
    // The rate the packets are sized for now, in 1/65536 Hz (the feedback's fraction kept).
    ULONGLONG GetSizingRate() const { return m_nSizingRate; }

    // Under the engine's mutex, PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) OpenStream(StreamClient* Client, PULONG CurrentFrame) override;
    STDMETHODIMP_(NTSTATUS) SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client) override;
    STDMETHODIMP_(NTSTATUS) FreeTransfers() override;
    // Stops the private DSD format on the device; nothing to send for any other format.
    STDMETHODIMP_(NTSTATUS) AbortPipe() override;
    // The worker's recovery after a failed transfer: the pipes are reset, the setting kept.
    STDMETHODIMP_(NTSTATUS) RecoverStream() override;
    // Asks the interface's valid-alternate-settings control; setting 0 is always valid.
    STDMETHODIMP_(BOOLEAN) IsAlternateSettingValid(UCHAR AlternateSetting, ULONG SampleRate) override;
    // <= DISPATCH_LEVEL; serialised by the submit lock.
    STDMETHODIMP_(NTSTATUS) SubmitNextTransfer() override;
    // DISPATCH_LEVEL, the IRP's completion.
    STDMETHODIMP_(NTSTATUS)
    OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override;
    // DISPATCH_LEVEL, a feedback IRP's completion: takes the device's rate; never resubmits.
    NTSTATUS OnFeedbackComplete(PIRP Irp, TransferContext* Context);

protected:
    NTSTATUS OpenClassResources(IUsbDevice* UsbDevice, StreamClient* Client) override;
    NTSTATUS AbortTransfers() override;
    // With a feedback endpoint a packet may carry one frame over the nominal, fraction or not.
    // PASSIVE_LEVEL, pageable.
    ULONG LargestPacketFrames(ULONG RateHz, ULONG PacketsPerFrame, BOOLEAN FeedbackEndpoint) override;

private:
    TransferContext* AcquireFeedbackSlot();
    VOID ReleaseFeedbackSlot(TransferContext* Context);
    BOOLEAN HasFeedbackPipe() const;
    VOID FindFeedbackPipe();
    // Under the submit lock.
    NTSTATUS SubmitFeedbackTransfer(IUsbDevice* UsbDevice);

    ULONG m_nPinNodeId;
    ULONG m_nClockSourceId;
    // 1/65536 Hz. Written by the feedback completion with one 64-bit store, read once per data
    // transfer under the submit lock.
    ULONGLONG volatile m_nSizingRate;
    LONGLONG m_nRemainder;    // the fraction of a frame carried to the next packet, in 1/(P x 1000 x 65536)
    ULONG m_nMaxPacketFrames; // what a packet slot of the data buffer (and the endpoint) holds
    ULONG m_nFeedbackPipe;    // index in the interface information; valid while HasFeedbackPipe
    BOOLEAN m_bFeedbackPipe;
    ULONG m_nFeedbackBytes; // per value: 3 at full speed, 4 at high speed
    KSPIN_LOCK m_FeedbackLock;
    TransferContext* m_FeedbackFreeSlots[USB_STREAM_MAX_TRANSFERS];
    TransferContext* volatile m_FeedbackInUseSlots[USB_STREAM_MAX_TRANSFERS];
};
