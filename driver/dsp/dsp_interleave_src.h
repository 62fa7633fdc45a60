// CDspInterleaveSrc: the wave stream's software sample-rate and channel conversion chain for
// the 44.1 kHz and 48 kHz families at one, two and four times (44,100 to 192,000 Hz) and up to
// eight channels. The split element comes first; behind it at most two rate stages, chosen by
// the pair of rates: an integer step within a family and the 147:160 step between families,
// the latter always at the lower of the two multiples.
//
// A plain class: the wave stream allocates it (`new (NonPagedPool,
// DSP_INTERLEAVE_SRC_POOL_TAG) CDspInterleaveSrc()`), builds it with Init at PASSIVE_LEVEL and
// deletes it. Reset and SetFormat allocate nothing and run at <= DISPATCH_LEVEL under the
// owner's spin lock; the chain has no lock of its own.
#pragma once

#include "driver/dsp/dsp_split.h"
#include "driver/dsp/src_stage_fractional.h"
#include "driver/dsp/src_stage_integer.h"

#define DSP_INTERLEAVE_SRC_POOL_TAG MAKE_POOL_TAG('C', 'C', 'S', 'T')

constexpr ULONG DSP_INTERLEAVE_SRC_WORK_BYTES = 0x1E000;

class CDspInterleaveSrc
{
public:
    static void* operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept; // zeroed
    static void operator delete(void* Block) noexcept;
    static void operator delete(void* Block, POOL_TYPE PoolType, ULONG Tag) noexcept;

    CDspInterleaveSrc();
    ~CDspInterleaveSrc(); // PASSIVE_LEVEL

    // Builds the split element, the three rate stages and the work buffer, in that order.
    // FALSE when already built or at the first failure; what was made stays for the destructor.
    // PASSIVE_LEVEL.
    BOOLEAN Init();
    // Empties every element's buffers and rebuilds the stages' filter states.
    BOOLEAN Reset();
    // Checks both formats, resets the chain and chooses its stages for the pair of rates. FALSE,
    // with a debug message naming the failed check, leaves the earlier choice in place.
    BOOLEAN SetFormat(const WAVEFORMATEXTENSIBLE* InFormat, const WAVEFORMATEXTENSIBLE* OutFormat);

    // The chosen elements, for a reader of the chain: null until a SetFormat succeeds, and a
    // rate stage is null where the pair of rates needs none.
    CSrcStage* GetFirstElement() const { return m_pFirstElement; }
    CSrcStage* GetFirstRateStage() const { return m_pFirstRateStage; }
    CSrcStage* GetSecondRateStage() const { return m_pSecondRateStage; }

    CDspSplit* GetSplit() const { return m_pSplit; }
    CSrcStage2x* GetStage2x() const { return m_pStage2x; }
    CSrcStage4x* GetStage4x() const { return m_pStage4x; }
    CSrcStageFractional* GetStageFractional() const { return m_pStageFractional; }
    // The formats as the rate stages see them: both rewritten as float.
    const WAVEFORMATEXTENSIBLE& GetInFormat() const { return m_InFormat; }
    const WAVEFORMATEXTENSIBLE& GetOutFormat() const { return m_OutFormat; }

private:
    BOOLEAN CheckFormats(const WAVEFORMATEXTENSIBLE* InFormat, const WAVEFORMATEXTENSIBLE* OutFormat);
    VOID ChooseRateStages(ULONG InRate, ULONG OutRate);
    VOID AddRateStage(CSrcStage* Stage, SRC_DIRECTION Direction);

    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    CDspSplit* m_pSplit;
    CSrcStage2x* m_pStage2x;
    CSrcStage4x* m_pStage4x;
    CSrcStageFractional* m_pStageFractional;
    PVOID m_pWorkBuffer;
    BOOLEAN m_bInitialized;
    CSrcStage* m_pFirstElement;
    CSrcStage* m_pFirstRateStage;
    CSrcStage* m_pSecondRateStage;
};
