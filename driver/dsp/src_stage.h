// CSrcStage: the base of the conversion chain's elements. It owns, per channel, the memory of an
// up-direction and a down-direction filter state and a sample buffer that the element's Process
// fills; the derived classes size the states, build them on Reset and filter.
//
// A plain class without reference counting: its owner allocates it zeroed from non-paged pool
// (`new (NonPagedPool, Tag) CSrcStage...`, null when pool runs out) and deletes it. All memory is
// taken by Init at PASSIVE_LEVEL; Reset and Process allocate nothing and run at <= DISPATCH_LEVEL
// under the owner's serialisation.
#pragma once

#include "ntddk.h"

#include "driver/primitives/filters/sp_fir.h"

// Per-channel state memories and sample buffers of every stage.
#define SRC_STAGE_CHANNEL_POOL_TAG MAKE_POOL_TAG('S', 'R', 'C', 'X')
// The chain's element objects and its work buffer.
#define SRC_STAGE_POOL_TAG MAKE_POOL_TAG('D', 'S', 'P', 'S')

#define MAX_SOFTWARE_DSP_PROCESS_CHANNELS 8
constexpr ULONG SRC_STAGE_BUFFER_SAMPLES = 7680; // per channel: 40 ms at 192 kHz

enum SRC_DIRECTION : UCHAR
{
    SrcDirectionDown = 0,
    SrcDirectionUp = 1,
};

class CSrcStage
{
public:
    static void* operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept; // zeroed
    static void operator delete(void* Block) noexcept;
    static void operator delete(void* Block, POOL_TYPE PoolType, ULONG Tag) noexcept;

    virtual ULONG GetUpStateSize();   // bytes of one channel's up-direction state; 0: no filter
    virtual ULONG GetDownStateSize(); // bytes of one channel's down-direction state
    // Takes Count input samples of Channel into its buffer; Count returns how many were
    // consumed. The base has no filter and refuses.
    virtual BOOLEAN Process(ULONG Channel, const float* Data, ULONG* Count);
    // Empties every channel's buffer; derived stages also rebuild their filter states.
    virtual VOID Reset();
    virtual ~CSrcStage(); // frees what Init allocated; PASSIVE_LEVEL

    // Allocates every channel's two state memories and buffer once. FALSE when already
    // allocated, when the stage has no state sizes, or when pool runs out (what was allocated
    // stays for the destructor). PASSIVE_LEVEL.
    BOOLEAN Init();

    VOID SetDirection(SRC_DIRECTION Direction) { m_bDirection = Direction; }
    SRC_DIRECTION GetDirection() const { return SRC_DIRECTION(m_bDirection); }
    BOOLEAN IsAllocated() const { return m_bAllocated; }

    // What the stage has produced, for its reader.
    const float* GetBuffer(ULONG Channel) const { return m_pBuffer[Channel]; }
    ULONG GetFillPosition(ULONG Channel) const { return m_nFill[Channel]; }
    SpFirState* GetFirState(ULONG Channel) const { return m_pFirState[Channel]; }

protected:
    BOOLEAN CanProcess(ULONG Channel, const float* Data, const ULONG* Count) const;
    ULONG Room(ULONG Channel) const { return m_nBufferLength - m_nFill[Channel]; }
    uint8_t* StateMemory(ULONG Channel) const
    {
        return m_bDirection == SrcDirectionUp ? m_pUpState[Channel] : m_pDownState[Channel];
    }
    VOID ClearFillPositions();

    uint8_t* m_pUpState[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    uint8_t* m_pDownState[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    SpFirState* m_pFirState[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float* m_pBuffer[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    ULONG m_nFill[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    ULONG m_nBufferLength;
    UCHAR m_bDirection;
    BOOLEAN m_bAllocated;
};
