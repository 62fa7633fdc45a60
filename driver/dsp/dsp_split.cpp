// CDspSplit: the float rewrite of the chain's formats and the channel conversion it feeds.
#include "driver/dsp/dsp_split.h"

#include "ksmedia.h"
#include "driver/dsp/dsp_format.h"

namespace
{

VOID RewriteAsFloat(WAVEFORMATEXTENSIBLE* Format)
{
    if (DspFormatCode(*Format) == WAVE_FORMAT_IEEE_FLOAT)
    {
        return;
    }
    WAVEFORMATEX& f = Format->Format;
    f.nBlockAlign = WORD(f.nChannels * sizeof(float));
    f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
    f.wBitsPerSample = 32;
    if (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
    {
        Format->Samples.wValidBitsPerSample = 32;
        Format->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    }
    else
    {
        f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    }
}

} // namespace

BOOLEAN CDspSplit::Init()
{
    PAGED_CODE();
    if (m_pConversion)
    {
        return FALSE; // a second Init would lose the first conversion
    }
    m_pConversion = new (NonPagedPool, SRC_STAGE_POOL_TAG) CChannelConversion();
    if (!m_pConversion || !m_pConversion->Init())
    {
        return FALSE;
    }
    return CSrcStage::Init();
}

CDspSplit::~CDspSplit()
{
    delete m_pConversion;
}

BOOLEAN CDspSplit::SetFormat(WAVEFORMATEXTENSIBLE* InFormat, WAVEFORMATEXTENSIBLE* OutFormat)
{
    if (!m_pConversion)
    {
        return FALSE;
    }
    m_InFormat = *InFormat;
    m_OutFormat = *OutFormat;
    RewriteAsFloat(InFormat);
    RewriteAsFloat(OutFormat);
    return m_pConversion->SetFormat(InFormat, OutFormat);
}
