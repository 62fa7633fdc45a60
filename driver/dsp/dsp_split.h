// CDspSplit: the first element of the conversion chain, the point where the stream's interleaved
// samples become per-channel 32-bit float for the rate stages. It keeps the formats as given,
// rewrites the chain's copies as float and hands those to its CChannelConversion. It has no
// filter, and its Process is the base's refusal.
#pragma once

#include "driver/dsp/channel_conversion.h"
#include "driver/dsp/src_stage.h"

class CDspSplit : public CSrcStage
{
public:
    ULONG GetUpStateSize() override { return 4; }
    ULONG GetDownStateSize() override { return 4; }
    ~CDspSplit() override;

    // Creates and initialises the channel conversion, then the stage memory. FALSE at the first
    // failure, or when called a second time. PASSIVE_LEVEL.
    BOOLEAN Init();
    // Keeps both formats as given, rewrites the caller's copies as 32-bit float (a format that is
    // float already stays as it is), and returns what the channel conversion makes of them.
    BOOLEAN SetFormat(WAVEFORMATEXTENSIBLE* InFormat, WAVEFORMATEXTENSIBLE* OutFormat);

    CChannelConversion* GetChannelConversion() const { return m_pConversion; }
    const WAVEFORMATEXTENSIBLE& GetInFormat() const { return m_InFormat; }
    const WAVEFORMATEXTENSIBLE& GetOutFormat() const { return m_OutFormat; }

private:
    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    CChannelConversion* m_pConversion;
};
