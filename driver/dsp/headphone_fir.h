// CHeadphoneFir: renders up to five virtual speakers (front left and right, centre, left and
// right surround; the low-frequency channel feeds both fronts) to two ears by uniformly
// partitioned overlap-save convolution with the selected head responses (512-sample blocks,
// 1,024-point real FFTs), adds each ear's reverberant tail, then runs crosstalk cancellation
// for a speaker pair or, with that stage off, an equal 255-sample delay.
// CHeadphoneApp: the virtualiser engine, CAudioApp's framing and rate steps around it.
//
// Both live inside one zeroed block of non-paged pool (VIRTUALIZER_POOL_TAG) that the front
// object allocates. The selection and crosstalk setters allocate filter states from non-paged
// pool (<= DISPATCH_LEVEL, so under the owner's spin lock) and must not overlap Process, which
// runs at <= DISPATCH_LEVEL and allocates nothing.
#pragma once

#include "driver/dsp/audio_app.h"
#include "driver/dsp/headphone_fir_tables.h"
#include "driver/primitives/fft/sp_fft.h"
#include "driver/primitives/filters/sp_fir.h"

constexpr LONG HEADPHONEFIR_N = VIRTUALIZER_BLOCK_SAMPLES;
constexpr LONG HEADPHONE_SPECTRUM = 2 * HEADPHONEFIR_N; // packed real spectrum of 1,024 points
constexpr LONG HEADPHONE_HEAD_PARTS = HEADPHONE_HEAD_LENGTH / HEADPHONEFIR_N;
constexpr LONG HEADPHONE_TAIL_PARTS_MAX = HEADPHONE_TAIL_LENGTH_MAX / HEADPHONEFIR_N;
constexpr LONG HEADPHONE_SPEAKERS = 5;
constexpr LONG HEADPHONE_CTC_DELAY = 255;
constexpr ULONG HEADPHONE_UNDEFINED = 0xFFFFFFFF;

class CHeadphoneFir
{
public:
    CHeadphoneFir();
    ~CHeadphoneFir();

    // Room code 0, 1, 2 selects room 3, 2, 1 (others room 2); an angle without responses
    // selects 24 degrees.
    VOID SetRoomAndAngle(LONG RoomCode, LONG Degrees);
    // Room 1 to 3 and a table angle; a pair outside the tables leaves no responses (silence).
    LONG SelectImpulseResponses(LONG Room, LONG Degrees);
    // 5, 10, 15, 20 or 30 degrees select a filter pair; anything else turns the stage into the
    // delay. The same angle again changes nothing (the filters keep their history).
    LONG SetCtcAngle(ULONG Degrees);
    // One block: Length must be HEADPHONEFIR_N, two outputs, two, six or eight inputs.
    VOID Process(float* const* Output, LONG OutputCount, float* const* Input, LONG InputCount, LONG Length);
    // Forgets everything rendered: the next block sounds as the first one ever. PASSIVE_LEVEL.
    VOID ClearState();

    LONG Room() const { return m_nRoom; }
    LONG Angle() const { return m_nAngle; }
    ULONG CtcAngle() const { return m_nCtcAngle; }
    LONG HeadBlocks() const { return m_nHeadBlocks; }
    LONG TailBlocks() const { return m_nTailBlocks; }

private:
    VOID LoadImpulseResponse(const float* Head, LONG HeadRows, LONG HeadLength, const float* Tail,
                             LONG TailRows, LONG TailLength);
    VOID TransformPartition(float* Slot, const float* Samples);
    VOID FillRings(float* const* Input, LONG InputCount);
    VOID Accumulate(LONG InputCount);
    VOID ApplyCtc(float* Left, float* Right);
    VOID FreeCtcStates();
    VOID CreateCtcStates();
    float* HeadSpectrum(LONG Response, LONG Part)
    {
        return m_HeadSpectra + (Response * HEADPHONE_HEAD_PARTS + Part) * HEADPHONE_SPECTRUM;
    }
    float* TailSpectrum(LONG Ear, LONG Part)
    {
        return m_TailSpectra + (Ear * HEADPHONE_TAIL_PARTS_MAX + Part) * HEADPHONE_SPECTRUM;
    }
    float* RingSlot(LONG Speaker, LONG Slot)
    {
        return m_InputRings + (Speaker * HEADPHONE_HEAD_PARTS + Slot) * HEADPHONE_SPECTRUM;
    }

    LONG m_nRoom;
    LONG m_nAngle;
    LONG m_nHeadBlocks;
    LONG m_nTailBlocks;
    float m_HeadSpectra[HEADPHONE_HEAD_ROWS * HEADPHONE_HEAD_PARTS * HEADPHONE_SPECTRUM];
    float m_TailSpectra[HEADPHONE_TAIL_ROWS * HEADPHONE_TAIL_PARTS_MAX * HEADPHONE_SPECTRUM];
    ULONG m_nCtcAngle;
    LONG m_nCtcLength;
    float m_SumTaps[HEADPHONE_CTC_TAPS];
    float m_DifferenceTaps[HEADPHONE_CTC_TAPS];
    float m_SumInput[3 * HEADPHONE_CTC_TAPS];
    float m_DifferenceInput[3 * HEADPHONE_CTC_TAPS];
    SpFftSpec* m_pFftSpec;
    float m_LeftHistory[3 * HEADPHONE_CTC_TAPS];
    float m_RightHistory[3 * HEADPHONE_CTC_TAPS];
    float m_Product[2 * HEADPHONE_SPECTRUM];
    SpStatus m_Status;
    SpFirState* m_pSumState;
    SpFirState* m_pDifferenceState;
    float m_PreviousInput[VIRTUALIZER_MAX_CHANNELS][HEADPHONEFIR_N];
    float m_InputRings[VIRTUALIZER_MAX_CHANNELS * HEADPHONE_HEAD_PARTS * HEADPHONE_SPECTRUM];
    float m_TailRing[HEADPHONE_TAIL_PARTS_MAX * HEADPHONE_SPECTRUM];
    float m_Accumulator[4][HEADPHONE_SPECTRUM];
    LONG m_nHeadPosition;
    LONG m_nTailPosition;
};

class CHeadphoneApp : public CAudioApp
{
public:
    // Configured for 44.1 kHz, six inputs and two outputs; room 1 at 29 degrees, no crosstalk
    // cancellation.
    CHeadphoneApp();
    ~CHeadphoneApp() override;
    CHeadphoneFir& Fir() { return m_Fir; }

protected:
    VOID Filter(float* const* Output, LONG OutputCount, float* const* Input, LONG InputCount,
                LONG Length) override;
    VOID Reset() override;

private:
    CHeadphoneFir m_Fir;
};
