// CChannelConversion: format checks of the float channel stage.
#include "driver/dsp/channel_conversion.h"

#include "driver/dsp/dsp_format.h"
#include "driver/dsp/src_stage.h"

namespace
{

const char CHANNEL_CONVERSION_NAME[] = "CChannelConversion::SetFormat";

} // namespace

void* CChannelConversion::operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept
{
    PVOID pBlock = ExAllocatePoolWithTag(PoolType, Size, Tag);
    if (pBlock)
    {
        RtlZeroMemory(pBlock, Size);
    }
    return pBlock;
}

void CChannelConversion::operator delete(void* Block) noexcept
{
    if (Block)
    {
        ExFreePool(Block);
    }
}

void CChannelConversion::operator delete(void* Block, POOL_TYPE, ULONG) noexcept
{
    CChannelConversion::operator delete(Block);
}

BOOLEAN CChannelConversion::Init()
{
    if (m_bInitialized)
    {
        return FALSE;
    }
    m_bInitialized = TRUE;
    return TRUE;
}

BOOLEAN CChannelConversion::SetFormat(const WAVEFORMATEXTENSIBLE* InFormat,
                                      const WAVEFORMATEXTENSIBLE* OutFormat)
{
    if (DspFormatCode(*InFormat) != WAVE_FORMAT_IEEE_FLOAT)
    {
        DbgPrint("%s Tag not WAVE_FORMAT_IEEE_FLOAT\n", CHANNEL_CONVERSION_NAME);
        return FALSE;
    }
    if (DspFormatCode(*OutFormat) != WAVE_FORMAT_IEEE_FLOAT)
    {
        DbgPrint("%s Output Tag not WAVE_FORMAT_IEEE_FLOAT\n", CHANNEL_CONVERSION_NAME);
        return FALSE;
    }
    if (InFormat->Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS ||
        OutFormat->Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS)
    {
        DbgPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n",
                 CHANNEL_CONVERSION_NAME);
        return FALSE;
    }
    m_InFormat = *InFormat;
    m_OutFormat = *OutFormat;
    return TRUE;
}
