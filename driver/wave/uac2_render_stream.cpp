// CUac2RenderStream: construction and the valid-alternate-settings check.
#include "driver/wave/uac2_render_stream.h"

CUac2RenderStream::CUac2RenderStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId,
                                     ULONG ClockSourceId)
    : CUsbAudioStream(UnknownOuter, InterfaceNumber), m_nPinNodeId(PinNodeId), m_nClockSourceId(ClockSourceId)
{
}

STDMETHODIMP_(BOOLEAN) CUac2RenderStream::IsAlternateSettingValid(UCHAR AlternateSetting, ULONG SampleRate)
{
    PAGED_CODE();
    return QueryValidAlternateSetting(AlternateSetting);
}
