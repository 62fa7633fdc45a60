// CUac1CaptureStream: construction.
#include "driver/wave/uac1_capture_stream.h"

CUac1CaptureStream::CUac1CaptureStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId)
    : CUsbAudioStream(UnknownOuter, InterfaceNumber), m_nPinNodeId(PinNodeId)
{
}
