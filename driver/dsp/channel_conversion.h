// CChannelConversion: the channel stage of the conversion chain's split element. It accepts a
// pair of 32-bit float formats of at most eight channels each and keeps them.
//
// A plain class: its owner allocates it zeroed from non-paged pool and deletes it. No lock of
// its own; SetFormat runs at <= DISPATCH_LEVEL under the owner's serialisation.
#pragma once

#include "ntddk.h"
#include "mmreg.h"

class CChannelConversion
{
public:
    static void* operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept; // zeroed
    static void operator delete(void* Block) noexcept;
    static void operator delete(void* Block, POOL_TYPE PoolType, ULONG Tag) noexcept;

    // TRUE once; FALSE when already initialised.
    BOOLEAN Init();
    // FALSE, with a debug message naming the failed check, unless both formats are float with
    // at most MAX_SOFTWARE_DSP_PROCESS_CHANNELS channels.
    BOOLEAN SetFormat(const WAVEFORMATEXTENSIBLE* InFormat, const WAVEFORMATEXTENSIBLE* OutFormat);

    const WAVEFORMATEXTENSIBLE& GetInFormat() const { return m_InFormat; }
    const WAVEFORMATEXTENSIBLE& GetOutFormat() const { return m_OutFormat; }

private:
    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    BOOLEAN m_bInitialized;
};
