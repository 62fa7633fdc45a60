// CIirFilter and CLinearPhaseIir: the virtualiser engine's anti-alias and anti-image low-pass.
// CIirFilter is one third-order Butterworth low-pass (its coefficients chosen by the rate
// factor); CLinearPhaseIir runs a block through one forward and then, reversed, through a
// second, so the result has zero phase and the squared magnitude, delayed by its tail.
//
// Plain classes owned by a CSrcFactor, allocated with VIRTUALIZER_POOL_TAG. Init allocates
// (PASSIVE_LEVEL); Process and Filter run at <= DISPATCH_LEVEL and allocate nothing.
#pragma once

#include "ntddk.h"

#include "driver/dsp/dsp_pool_object.h"

#include "driver/primitives/filters/sp_iir.h"

// Every block, filter state and converter of the headphone virtualiser (non-paged).
#define VIRTUALIZER_POOL_TAG MAKE_POOL_TAG('Z', 'R', 'W', 'P')

// Samples per channel a virtualiser buffer holds at the stream's rate.
constexpr LONG VIRTUALIZER_CHANNEL_SAMPLES_MAX = 1024;
// The backward pass's run-in: the newest samples of a block leave with the next one.
constexpr LONG LINEAR_PHASE_TAIL = 64;

class CIirFilter : public CDspPoolObject
{
public:
    ~CIirFilter();
    // Factor 1 or 2 builds its low-pass; any other factor leaves no state (Filter then copies
    // nothing and reports the primitives' null-state status).
    NTSTATUS Init(LONG Factor);
    float* Filter(float* Destination, const float* Source, LONG Length);
    BOOLEAN HasState() const { return m_pState ? TRUE : FALSE; }

private:
    VOID FreeState();

    SpStatus m_Status = 0;
    SpIirState* m_pState = nullptr;
};

class CLinearPhaseIir : public CDspPoolObject
{
public:
    explicit CLinearPhaseIir(LONG Tail);
    ~CLinearPhaseIir();
    // The two passes for Factor and the work buffers; an error when either cannot be built.
    NTSTATUS Init(LONG Factor);
    // Output[m] is the zero-phase filtered input delayed by the tail; Length <= the maximum.
    VOID Process(float* Output, const float* Input, LONG Length);

private:
    VOID FreeFilters();

    LONG m_nMaxBlock;
    LONG m_nBufferLength;
    LONG m_nTail;
    CIirFilter* m_pForward = nullptr;
    CIirFilter* m_pBackward = nullptr;
    float* m_pX = nullptr; // forward output: the previous block's last tail samples, then this block
    float* m_pY = nullptr;
    float* m_pZ = nullptr;
};
