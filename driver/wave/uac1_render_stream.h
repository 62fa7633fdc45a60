// CUac1RenderStream: the class-1 render stream (isochronous OUT). Its transfer slots come with the
// streaming work; what it has now is the base stream's format list and clients, and the ids
// of the nodes its interface's terminal names.
#pragma once

#include "driver/wave/usb_audio_stream.h"

class CUac1RenderStream : public CUsbAudioStream
{
public:
    // PinNodeId: the first node of the terminal that the interface's bTerminalLink names.
    CUac1RenderStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId);

    ULONG GetPinNodeId() const { return m_nPinNodeId; }

private:
    ULONG m_nPinNodeId;
};
