// CAudioApp: the block engine under the headphone virtualiser. It collects per-channel samples
// at the stream's rate in pieces of any length into fixed blocks, brings each block to the
// internal 44.1 kHz by an integer factor, hands it to Filter (the derived engine's work), brings
// the result back and returns it one block later. The first block after Configure is silence.
//
// A plain class; every buffer and converter is its own, from non-paged pool with
// VIRTUALIZER_POOL_TAG. Configure allocates (PASSIVE_LEVEL); Process runs at <= DISPATCH_LEVEL
// under its owner's lock and allocates nothing.
#pragma once

#include "driver/dsp/src_factor.h"

constexpr LONG VIRTUALIZER_MAX_CHANNELS = 8;
constexpr LONG VIRTUALIZER_BLOCK_SAMPLES = 512; // the internal block

// Copies source channel i into destination channel i (unless they are one buffer) for every
// destination below the source count, and zero-fills the remaining destinations.
VOID CopyChannels(float* const* Destination, LONG DestinationCount, float* const* Source, LONG SourceCount,
                  LONG Frames);

class CAudioApp : public CDspPoolObject
{
public:
    CAudioApp(LONG RateHz, LONG BlockHint, LONG InputCapacity, LONG OutputCapacity, float Gain);
    virtual ~CAudioApp();

    // Rebuilds every buffer and converter for the stream's rate and clears the derived
    // engine's history (Reset). FALSE, and Process does nothing until a later Configure
    // succeeds, for rates the engine cannot hold (only factors 1 and 2 have filters:
    // 44,100 / 3 < rate < 3 x 44,100), capacities above eight channels, or no pool.
    BOOLEAN Configure(LONG StreamRateHz, LONG InputCapacity, LONG OutputCapacity, LONG BlockHint);
    // Returns Frames samples of OutputCount channels computed from the input a block earlier.
    // Output and Input may be the same array: each stretch is read before it is written.
    VOID Process(float* const* Output, LONG OutputCount, float* const* Input, LONG InputCount, LONG Frames);
    VOID FreeStages();

    LONG BlockLength() const { return m_nRealDataLen; }
    BOOLEAN IsConfigured() const { return m_bReady; }

protected:
    virtual VOID Filter(float* const* Output, LONG OutputCount, float* const* Input, LONG InputCount,
                        LONG Length)
    {
    }
    virtual VOID Reset() {}

private:
    BOOLEAN Setup();
    VOID ProcessBlock(LONG OutputCount, LONG InputCount);
    VOID InputStage(LONG InputCount);
    VOID OutputStage(LONG OutputCount);

    LONG m_nStreamRate = 0;
    LONG m_nRealDataLen = 0;
    LONG m_nInternalRate = VIRTUALIZER_INTERNAL_RATE;
    LONG m_nDataLen = VIRTUALIZER_BLOCK_SAMPLES;
    LONG m_nInputCapacity;
    LONG m_nOutputCapacity;
    float m_fGain;
    LONG m_nFill = 0;
    float* m_pInputBlock[VIRTUALIZER_MAX_CHANNELS] = {};
    float* m_pOutputBlock[VIRTUALIZER_MAX_CHANNELS] = {};
    LONG m_nBlockHint;
    LONG m_nDirection = 0;
    LONG m_nSrcFactor = 1;
    CSrcFactor* m_pConverter[VIRTUALIZER_MAX_CHANNELS] = {};
    float* m_pInternalInput[VIRTUALIZER_MAX_CHANNELS] = {};
    float* m_pInternalOutput[VIRTUALIZER_MAX_CHANNELS] = {};
    BOOLEAN m_bLinearPhase = TRUE;
    BOOLEAN m_bReady = FALSE;
};
