// CUac1RenderStream: construction.
#include "driver/wave/uac1_render_stream.h"

CUac1RenderStream::CUac1RenderStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId)
    : CUsbAudioStream(UnknownOuter, InterfaceNumber), m_nPinNodeId(PinNodeId)
{
}
