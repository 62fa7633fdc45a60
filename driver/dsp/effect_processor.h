// CEffectProcessor: an eight-channel look-ahead peak limiter with a boost gain. It works in
// place on per-channel float buffers in blocks of 128 samples, holds every channel under the
// ceiling with one gain common to all channels, and delays the signal by 256 samples so that
// the gain applied to a block already knows the peak of the block after it.
//
// A plain class: its owner allocates it from non-paged pool with its own tag, zeroed, and
// frees it after FreeBuffers. It takes no lock; the owner serialises every call. Process and
// Reset run at <= DISPATCH_LEVEL and allocate nothing.
#pragma once

#include "ntddk.h"
#include "mmreg.h"

// The limiter's buffers (non-paged).
#define EFFECT_PROCESSOR_POOL_TAG MAKE_POOL_TAG('D', 'S', 'P', 's')

constexpr ULONG EFFECT_MAX_CHANNELS = 8;
constexpr ULONG EFFECT_BLOCK_SAMPLES = 128;
// Blocks whose peaks hold the gain down: the current one and the 19 before it.
constexpr ULONG EFFECT_PEAK_WINDOW_BLOCKS = 20;
constexpr ULONG EFFECT_PEAK_HISTORY_BLOCKS = 200;
// A release closes this fraction of the distance to the target per sample.
constexpr float EFFECT_RELEASE_DIVISOR = 10240.0f;

class CEffectProcessor
{
public:
    // Mode 0, unit current and target gains, ceiling 1.0, boost 0 until SetGain.
    CEffectProcessor();

    // TRUE at once when already allocated; otherwise allocates every channel's buffers and
    // resets. FALSE when pool runs out: what was allocated stays for FreeBuffers, and the
    // limiter passes samples through unchanged. PASSIVE_LEVEL.
    BOOLEAN AllocateBuffers();
    VOID FreeBuffers();

    // Each parameter change makes the next block reach its target gain within the block.
    VOID SetMode(ULONG Mode);
    VOID SetGain(float Gain); // the boost of every channel; marks a change in mode 0 only
    VOID SetCeiling(float Ceiling);
    // Resets, then keeps a copy of the format: its nChannels channels are processed. A format
    // of more than EFFECT_MAX_CHANNELS channels leaves the limiter passing samples through.
    VOID SetFormat(PCWAVEFORMATEXTENSIBLE Format);

    // Silent buffers, an empty peak history and the block phase at its start; the gains,
    // ceiling and mode stay. Does nothing before AllocateBuffers.
    VOID Reset();
    VOID ResetEntry();

    // Limits Frames samples of each of the format's channels in place (Channels: one float
    // buffer per channel). Calls may be of any length; the stream is the same as one call's.
    VOID Process(float* const* Channels, ULONG Frames);

    // The block step on the newest input half: analyses it, then applies the gain to the
    // half before it.
    VOID ProcessBlock(float** BlockPointers, ULONG Length);
    VOID AnalyzeBlock(ULONG Length);
    // The largest magnitude among Length samples.
    float BlockPeak(const float* Samples, ULONG Length);

private:
    ULONG ChannelCount() const;
    VOID MarkUpdate();
    VOID ApplyGain(ULONG Channel, float Target, ULONG Length);

    WAVEFORMATEXTENSIBLE m_Format;
    float* m_pBlock[EFFECT_MAX_CHANNELS];
    float* m_pInput[EFFECT_MAX_CHANNELS];  // two halves of EFFECT_BLOCK_SAMPLES
    float* m_pOutput[EFFECT_MAX_CHANNELS]; // two halves of EFFECT_BLOCK_SAMPLES
    LONG m_nHalf;                          // the output half being drained; input fills the other
    LONG m_nInputFill;
    LONG m_nOutputPosition; // always equal to the input fill
    float m_fBoostGain[EFFECT_MAX_CHANNELS];
    float m_fCurrentGain[EFFECT_MAX_CHANNELS];
    float m_fTargetGain[EFFECT_MAX_CHANNELS];
    float m_fPeak[EFFECT_MAX_CHANNELS];
    float m_fPeakHistory[EFFECT_MAX_CHANNELS][EFFECT_PEAK_HISTORY_BLOCKS];
    float m_fCeiling;
    LONG m_nHistoryIndex;
    ULONG m_nMode;
    ULONG m_bUpdate[EFFECT_MAX_CHANNELS];
    ULONG m_bAllocated;
};
