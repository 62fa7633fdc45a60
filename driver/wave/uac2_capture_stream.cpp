// CUac2CaptureStream: construction and the valid-alternate-settings check.
#include "driver/wave/uac2_capture_stream.h"

CUac2CaptureStream::CUac2CaptureStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId,
                                       ULONG ClockSourceId)
    : CUsbAudioStream(UnknownOuter, InterfaceNumber), m_nPinNodeId(PinNodeId), m_nClockSourceId(ClockSourceId)
{
}

STDMETHODIMP_(BOOLEAN) CUac2CaptureStream::IsAlternateSettingValid(UCHAR AlternateSetting, ULONG SampleRate)
{
    PAGED_CODE();
    return QueryValidAlternateSetting(AlternateSetting);
}
