// CUac2CaptureStream: the class-2 capture stream (isochronous IN). The rate goes to the clock
// source entity at open; each completed transfer's packets go into the staging ring and to the
// leading client exactly as they came, an empty or failed packet standing for silence.
#pragma once

#include "driver/wave/usb_audio_stream.h"

class CUac2CaptureStream : public CUsbAudioStream
{
public:
    // PinNodeId: the first node of the terminal that the interface's bTerminalLink names;
    // ClockSourceId: the first node of the clock source entity that terminal uses.
    CUac2CaptureStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId, ULONG ClockSourceId);

    ULONG GetPinNodeId() const { return m_nPinNodeId; }
    ULONG GetClockSourceId() const { return m_nClockSourceId; }

    // Under the engine's mutex, PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) OpenStream(StreamClient* Client, PULONG CurrentFrame) override;
    STDMETHODIMP_(NTSTATUS) SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client) override;
    // Asks the interface's valid-alternate-settings control; setting 0 is always valid.
    STDMETHODIMP_(BOOLEAN) IsAlternateSettingValid(UCHAR AlternateSetting, ULONG SampleRate) override;
    // <= DISPATCH_LEVEL; serialised by the submit lock.
    STDMETHODIMP_(NTSTATUS) SubmitNextTransfer() override;
    // DISPATCH_LEVEL, the IRP's completion.
    STDMETHODIMP_(NTSTATUS)
    OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override;
    // The completion's hand-off, under the capture lock. DISPATCH_LEVEL.
    virtual VOID DeliverCaptureData(TransferContext* Context);

protected:
    NTSTATUS OpenClassResources(IUsbDevice* UsbDevice, StreamClient* Client) override;

private:
    VOID DeliverSpan(ULONG Offset, ULONG Length);

    ULONG m_nPinNodeId;
    ULONG m_nClockSourceId;
    KSPIN_LOCK m_CaptureLock; // the staging ring
};
