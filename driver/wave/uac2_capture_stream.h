// CUac2CaptureStream: the class-2 capture stream (isochronous IN). Its transfer slots come with the
// streaming work; what it has now is the base stream's format list and clients, and the ids
// of the nodes its interface's terminal names.
#pragma once

#include "driver/wave/usb_audio_stream.h"

class CUac2CaptureStream : public CUsbAudioStream
{
public:
    // PinNodeId: the first node of the terminal that the interface's bTerminalLink names.
    CUac2CaptureStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId, ULONG ClockSourceId);

    ULONG GetPinNodeId() const { return m_nPinNodeId; }
    ULONG GetClockSourceId() const { return m_nClockSourceId; }
    // Asks the interface's valid-alternate-settings control; setting 0 is always valid.
    STDMETHODIMP_(BOOLEAN) IsAlternateSettingValid(UCHAR AlternateSetting, ULONG SampleRate) override;

private:
    ULONG m_nPinNodeId;
    ULONG m_nClockSourceId; // first node of the clock source the terminal uses
};
