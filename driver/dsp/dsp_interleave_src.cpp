// CDspInterleaveSrc: construction, format checks and the choice of rate stages.
#include "driver/dsp/dsp_interleave_src.h"

#include "driver/dsp/dsp_format.h"

namespace
{

const char INTERLEAVE_SRC_NAME[] = "CDspInterleaveSrc::SetFormat";

enum : UCHAR
{
    FAMILY_44100 = 0,
    FAMILY_48000 = 1,
};

// The rates the chain converts between, with their family and multiple of the family's base.
struct SRC_RATE
{
    ULONG RateHz;
    UCHAR Family;
    UCHAR Multiple;
};

// RateHz, Family, Multiple
const SRC_RATE g_SrcRates[] = {
    {192000, FAMILY_48000, 4}, {176400, FAMILY_44100, 4}, {96000, FAMILY_48000, 2},
    {88200, FAMILY_44100, 2},  {48000, FAMILY_48000, 1},  {44100, FAMILY_44100, 1},
};

const SRC_RATE* FindRate(ULONG RateHz)
{
    for (const SRC_RATE& rate : g_SrcRates)
    {
        if (rate.RateHz == RateHz)
        {
            return &rate;
        }
    }
    return nullptr;
}

bool IsPcmOrFloat(const WAVEFORMATEXTENSIBLE& Format)
{
    const USHORT code = DspFormatCode(Format);
    return code == WAVE_FORMAT_PCM || code == WAVE_FORMAT_IEEE_FLOAT;
}

bool IsSampleSizeInList(USHORT Bits)
{
    return Bits == 16 || Bits == 24 || Bits == 32;
}

BOOLEAN Refuse(PCSTR Message)
{
    DbgPrint(Message, INTERLEAVE_SRC_NAME);
    return FALSE;
}

template <class T> BOOLEAN MakeElement(T** Element)
{
    *Element = new (NonPagedPool, SRC_STAGE_POOL_TAG) T();
    return *Element && (*Element)->Init();
}

} // namespace

void* CDspInterleaveSrc::operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept
{
    PVOID pBlock = ExAllocatePoolWithTag(PoolType, Size, Tag);
    if (pBlock)
    {
        RtlZeroMemory(pBlock, Size);
    }
    return pBlock;
}

void CDspInterleaveSrc::operator delete(void* Block) noexcept
{
    if (Block)
    {
        ExFreePool(Block);
    }
}

void CDspInterleaveSrc::operator delete(void* Block, POOL_TYPE, ULONG) noexcept
{
    CDspInterleaveSrc::operator delete(Block);
}

CDspInterleaveSrc::CDspInterleaveSrc()
    : m_InFormat(), m_OutFormat(), m_pSplit(nullptr), m_pStage2x(nullptr), m_pStage4x(nullptr),
      m_pStageFractional(nullptr), m_pWorkBuffer(nullptr), m_bInitialized(FALSE), m_pFirstElement(nullptr),
      m_pFirstRateStage(nullptr), m_pSecondRateStage(nullptr)
{
}

// Each element comes zeroed from pool, so every stage starts in the down direction.
BOOLEAN CDspInterleaveSrc::Init()
{
    PAGED_CODE();
    // A chain that was built, even in part, keeps its elements: building again would lose them.
    if (m_bInitialized || m_pSplit)
    {
        return FALSE;
    }
    if (!MakeElement(&m_pSplit) || !MakeElement(&m_pStage2x) || !MakeElement(&m_pStage4x) ||
        !MakeElement(&m_pStageFractional))
    {
        return FALSE;
    }
    m_pWorkBuffer = ExAllocatePoolWithTag(NonPagedPool, DSP_INTERLEAVE_SRC_WORK_BYTES, SRC_STAGE_POOL_TAG);
    if (!m_pWorkBuffer)
    {
        return FALSE;
    }
    m_bInitialized = TRUE;
    return TRUE;
}

CDspInterleaveSrc::~CDspInterleaveSrc()
{
    if (m_pWorkBuffer)
    {
        ExFreePoolWithTag(m_pWorkBuffer, SRC_STAGE_POOL_TAG);
    }
    delete m_pSplit;
    delete m_pStageFractional;
    delete m_pStage4x;
    delete m_pStage2x;
}

BOOLEAN CDspInterleaveSrc::Reset()
{
    CSrcStage* elements[] = {m_pStage2x, m_pStage4x, m_pStageFractional, m_pSplit};
    for (CSrcStage* element : elements)
    {
        if (element)
        {
            element->Reset();
        }
    }
    return TRUE;
}

// Input first, then output, each message naming the first check that failed. An output sample
// size outside the list is refused without a message.
BOOLEAN CDspInterleaveSrc::CheckFormats(const WAVEFORMATEXTENSIBLE* InFormat,
                                        const WAVEFORMATEXTENSIBLE* OutFormat)
{
    if (!IsPcmOrFloat(*InFormat))
    {
        return Refuse("%s Tag not PCM\n");
    }
    if (InFormat->Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS)
    {
        return Refuse("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n");
    }
    if (!FindRate(InFormat->Format.nSamplesPerSec))
    {
        return Refuse("%s InFormat.Format.nSamplesPerSec not in List\n");
    }
    if (!IsSampleSizeInList(InFormat->Format.wBitsPerSample))
    {
        return Refuse("%s InFormat.Format.wBitsPerSample not in List\n");
    }
    if (!IsPcmOrFloat(*OutFormat))
    {
        return Refuse("%s Output Tag not PCM\n");
    }
    if (OutFormat->Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS)
    {
        return Refuse("%s Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n");
    }
    if (!FindRate(OutFormat->Format.nSamplesPerSec))
    {
        return Refuse("%s OutFormat.Format.nSamplesPerSec not in List\n");
    }
    return IsSampleSizeInList(OutFormat->Format.wBitsPerSample);
}

BOOLEAN CDspInterleaveSrc::SetFormat(const WAVEFORMATEXTENSIBLE* InFormat,
                                     const WAVEFORMATEXTENSIBLE* OutFormat)
{
    if (!InFormat || !OutFormat)
    {
        return Refuse("%s no format\n");
    }
    WAVEFORMATEXTENSIBLE in, out;
    DspCopyFormat(&in, InFormat);
    DspCopyFormat(&out, OutFormat);
    if (!CheckFormats(&in, &out))
    {
        return FALSE;
    }
    if (!m_bInitialized)
    {
        return Refuse("%s chain not built\n");
    }
    m_InFormat = in;
    m_OutFormat = out;
    if (!m_pSplit->SetFormat(&m_InFormat, &m_OutFormat))
    {
        return Refuse("%s m_pSplit->SetFormat False\n");
    }
    Reset();
    m_pFirstRateStage = nullptr;
    m_pSecondRateStage = nullptr;
    m_pFirstElement = m_pSplit;
    ChooseRateStages(in.Format.nSamplesPerSec, out.Format.nSamplesPerSec);
    return TRUE;
}

// The fractional step runs at the lower of the two multiples: before an integer step up and
// after an integer step down, so it never works at a rate above the lower of the pair.
VOID CDspInterleaveSrc::ChooseRateStages(ULONG InRate, ULONG OutRate)
{
    const SRC_RATE* in = FindRate(InRate);
    const SRC_RATE* out = FindRate(OutRate);
    CSrcStage* integer = nullptr;
    if (in->Multiple * 2 == out->Multiple || out->Multiple * 2 == in->Multiple)
    {
        integer = m_pStage2x;
    }
    else if (in->Multiple * 4 == out->Multiple || out->Multiple * 4 == in->Multiple)
    {
        integer = m_pStage4x;
    }
    CSrcStage* fractional = in->Family != out->Family ? m_pStageFractional : nullptr;
    const SRC_DIRECTION fractionalDirection = out->Family == FAMILY_48000 ? SrcDirectionUp : SrcDirectionDown;
    if (out->Multiple > in->Multiple)
    {
        AddRateStage(fractional, fractionalDirection);
        AddRateStage(integer, SrcDirectionUp);
    }
    else
    {
        AddRateStage(integer, SrcDirectionDown);
        AddRateStage(fractional, fractionalDirection);
    }
}

VOID CDspInterleaveSrc::AddRateStage(CSrcStage* Stage, SRC_DIRECTION Direction)
{
    if (!Stage)
    {
        return;
    }
    Stage->SetDirection(Direction);
    Stage->Reset();
    if (!m_pFirstRateStage)
    {
        m_pFirstRateStage = Stage;
    }
    else
    {
        m_pSecondRateStage = Stage;
    }
}
