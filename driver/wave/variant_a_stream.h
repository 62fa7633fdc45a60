// CVariantAStream: the render stream of the jack-sensing model. Its formats follow the pin type
// of the endpoint (AC-3 only over S/PDIF, 96 kHz only to headphones and S/PDIF), and each time
// it selects a setting to play it tells the model's chip the sample rate and whether the data
// is PCM.
#pragma once

#include "driver/core/variant_a_registers_if.h"
#include "driver/wave/uac1_render_stream.h"

class CVariantAStream : public CUac1RenderStream
{
public:
    CVariantAStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId);

    // As CUsbAudioStream::Init; Registers is the model's chip (kept without a reference).
    NTSTATUS Init(ULONG Direction, PUNKNOWN DeviceUnknown, IVariantARegisters* Registers);

    // The name, then the formats of the stream's pin type. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) SetName(PCWSTR Name) override;
    // The class-1 selection, then the chip's rate and data-kind bits; a chip that does not take
    // them does not stop the stream. Under the engine's mutex, PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client) override;

private:
    NTSTATUS AddPinTypeFormats(ULONG PinType);
    VOID ProgramChip(PCWAVEFORMATEXTENSIBLE Format);

    IVariantARegisters* m_pRegisters;
};
