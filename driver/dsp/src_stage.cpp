// CSrcStage: per-channel memory of the conversion chain's elements, and the shared stubs.
#include "driver/dsp/src_stage.h"

void* CSrcStage::operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept
{
    PVOID pBlock = ExAllocatePoolWithTag(PoolType, Size, Tag);
    if (pBlock)
    {
        RtlZeroMemory(pBlock, Size);
    }
    return pBlock;
}

void CSrcStage::operator delete(void* Block) noexcept
{
    if (Block)
    {
        ExFreePool(Block);
    }
}

void CSrcStage::operator delete(void* Block, POOL_TYPE, ULONG) noexcept
{
    CSrcStage::operator delete(Block);
}

ULONG CSrcStage::GetUpStateSize()
{
    return 0;
}

ULONG CSrcStage::GetDownStateSize()
{
    return 0;
}

BOOLEAN CSrcStage::Process(ULONG, const float*, ULONG*)
{
    return FALSE;
}

VOID CSrcStage::Reset()
{
    ClearFillPositions();
}

VOID CSrcStage::ClearFillPositions()
{
    for (ULONG i = 0; i < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; i++)
    {
        m_nFill[i] = 0;
    }
}

// Down state first, then up state, then the buffer: a failure leaves the channel's later
// pointers null, and the destructor frees only what is there.
BOOLEAN CSrcStage::Init()
{
    PAGED_CODE();
    const ULONG upBytes = GetUpStateSize();
    const ULONG downBytes = GetDownStateSize();
    if (m_bAllocated || upBytes == 0 || downBytes == 0)
    {
        return FALSE;
    }
    m_nBufferLength = SRC_STAGE_BUFFER_SAMPLES;
    for (ULONG i = 0; i < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; i++)
    {
        m_pDownState[i] =
            static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, downBytes, SRC_STAGE_CHANNEL_POOL_TAG));
        if (!m_pDownState[i])
        {
            return FALSE;
        }
        m_pUpState[i] =
            static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, upBytes, SRC_STAGE_CHANNEL_POOL_TAG));
        if (!m_pUpState[i])
        {
            return FALSE;
        }
        m_pBuffer[i] = static_cast<float*>(
            ExAllocatePoolWithTag(NonPagedPool, m_nBufferLength * sizeof(float), SRC_STAGE_CHANNEL_POOL_TAG));
        if (!m_pBuffer[i])
        {
            return FALSE;
        }
    }
    m_bAllocated = TRUE;
    return TRUE;
}

CSrcStage::~CSrcStage()
{
    for (ULONG i = 0; i < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; i++)
    {
        if (m_pDownState[i])
        {
            ExFreePoolWithTag(m_pDownState[i], SRC_STAGE_CHANNEL_POOL_TAG);
        }
        if (m_pUpState[i])
        {
            ExFreePoolWithTag(m_pUpState[i], SRC_STAGE_CHANNEL_POOL_TAG);
        }
        if (m_pBuffer[i])
        {
            ExFreePoolWithTag(m_pBuffer[i], SRC_STAGE_CHANNEL_POOL_TAG);
        }
    }
}

// A stage whose Init failed has no buffers, and a count of null or a channel past the last
// would reach outside the per-channel arrays: all are refused before any sample moves.
BOOLEAN CSrcStage::CanProcess(ULONG Channel, const float* Data, const ULONG* Count) const
{
    return m_bAllocated && Channel < MAX_SOFTWARE_DSP_PROCESS_CHANNELS && Count && (Data || *Count == 0);
}
