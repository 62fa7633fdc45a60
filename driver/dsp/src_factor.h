// CSrcFactor: one channel's integer-factor rate step between the stream's rate and the
// virtualiser's internal 44.1 kHz. Down low-passes then keeps every factor-th sample; Up inserts
// zeros, low-passes and restores the level. Both low-passes are zero-phase (CLinearPhaseIir).
//
// A plain class owned by CAudioApp, allocated with VIRTUALIZER_POOL_TAG. Init allocates
// (PASSIVE_LEVEL); Down and Up run at <= DISPATCH_LEVEL and allocate nothing.
#pragma once

#include "driver/dsp/linear_phase_iir.h"

constexpr LONG VIRTUALIZER_INTERNAL_RATE = 44100;

// The rate relation both the engine and its converters work out the same way: direction 1
// when the stream is faster than the internal rate (reduce on input), -1 when slower, 0 equal;
// the factor is the integer quotient of the two rates.
struct VirtualizerRateStep
{
    LONG Direction;
    LONG Factor;
};
VirtualizerRateStep VirtualizerRateStepFor(LONG StreamRateHz,
                                           LONG InternalRateHz = VIRTUALIZER_INTERNAL_RATE);

class CSrcFactor : public CDspPoolObject
{
public:
    CSrcFactor(LONG StreamRateHz, LONG InternalRateHz, BOOLEAN LinearPhase);
    ~CSrcFactor();
    NTSTATUS Init();
    // Length samples at the higher rate in, Length / factor out.
    VOID Down(float* Destination, const float* Source, LONG Length);
    // Length samples at the lower rate in, Length x factor out.
    VOID Up(float* Destination, const float* Source, LONG Length);

private:
    LONG m_nInternalRate;
    LONG m_nStreamRate;
    LONG m_nDirection = 0;
    LONG m_nSrcFactor = 1;
    int32_t m_nOutLength = 0;
    int32_t m_nPhase = 0;
    CLinearPhaseIir* m_pReduce = nullptr;
    CLinearPhaseIir* m_pRaise = nullptr;
    float* m_pWork = nullptr;
    // Recorded as given; the engine always asks for the zero-phase filters, which are the only
    // ones this converter has.
    [[maybe_unused]] BOOLEAN m_bLinearPhase;
};
