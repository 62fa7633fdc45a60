// The headphone virtualiser's convolution engine and its crosstalk stage.
#include "driver/dsp/headphone_fir.h"

#include "driver/primitives/sp_lib.h"

namespace
{

constexpr LONG FFT_ORDER = 10; // 1,024 points: two 512-sample halves
constexpr float kOutputGain = 2.0f;
// Eight inputs: the back pair folds into the surround speakers with a little of each other.
constexpr float kSurroundSame = 0.95f;
constexpr float kSurroundOther = 0.312f;

// Head responses per speaker: (left ear, right ear) rows of the table.
const LONG kSpeakerRows[HEADPHONE_SPEAKERS][2] = {
    {0, 1}, // front left
    {2, 3}, // front right
    {4, 5}, // centre
    {6, 7}, // left surround
    {8, 9}, // right surround
};

BOOLEAN IsCtcAngle(ULONG Degrees, LONG* Index)
{
    for (LONG i = 0; i < HEADPHONE_CTC_ANGLES; i++)
    {
        if (ULONG(kHeadphoneCtcAngles[i]) == Degrees)
        {
            *Index = i;
            return TRUE;
        }
    }
    return FALSE;
}

} // namespace

CHeadphoneFir::CHeadphoneFir()
    : m_nRoom(LONG(HEADPHONE_UNDEFINED)), m_nAngle(LONG(HEADPHONE_UNDEFINED)), m_nHeadBlocks(-1),
      m_nTailBlocks(-1), m_nCtcAngle(HEADPHONE_UNDEFINED), m_nCtcLength(1), m_pFftSpec(nullptr),
      m_Status(SpOk), m_pSumState(nullptr), m_pDifferenceState(nullptr), m_nHeadPosition(0),
      m_nTailPosition(0)
{
    PAGED_CODE();
    if (SpFftRealCreate(&m_pFftSpec, FFT_ORDER, SpFftDivInvByN, 0) < SpOk)
    {
        m_pFftSpec = nullptr;
    }
    ClearState();
    SelectImpulseResponses(1, 29);
    SetCtcAngle(0);
}

CHeadphoneFir::~CHeadphoneFir()
{
    if (m_pFftSpec)
    {
        SpFftRealFree(m_pFftSpec);
        m_pFftSpec = nullptr;
    }
    FreeCtcStates();
}

VOID CHeadphoneFir::FreeCtcStates()
{
    if (m_pSumState)
    {
        SpFirFree(m_pSumState);
        m_pSumState = nullptr;
    }
    if (m_pDifferenceState)
    {
        SpFirFree(m_pDifferenceState);
        m_pDifferenceState = nullptr;
    }
}

VOID CHeadphoneFir::ClearState()
{
    RtlZeroMemory(m_PreviousInput, sizeof(m_PreviousInput));
    RtlZeroMemory(m_InputRings, sizeof(m_InputRings));
    RtlZeroMemory(m_TailRing, sizeof(m_TailRing));
    RtlZeroMemory(m_Accumulator, sizeof(m_Accumulator));
    RtlZeroMemory(m_SumInput, sizeof(m_SumInput));
    RtlZeroMemory(m_DifferenceInput, sizeof(m_DifferenceInput));
    // The crosstalk stage's delay, or its filters, hold the last samples rendered: kept, they
    // would open the next stream. The filters are made anew only where they run.
    RtlZeroMemory(m_LeftHistory, sizeof(m_LeftHistory));
    RtlZeroMemory(m_RightHistory, sizeof(m_RightHistory));
    if (m_nCtcLength == HEADPHONE_CTC_TAPS && (m_pSumState || m_pDifferenceState))
    {
        CreateCtcStates();
    }
    m_nHeadPosition = 0;
    m_nTailPosition = 0;
}

VOID CHeadphoneFir::SetRoomAndAngle(LONG RoomCode, LONG Degrees)
{
    const LONG room = RoomCode >= 0 && RoomCode <= 2 ? 3 - RoomCode : 2;
    const LONG angle = HeadphoneAngleIndex(Degrees) >= 0 ? Degrees : 24;
    SelectImpulseResponses(room, angle);
}

LONG CHeadphoneFir::SelectImpulseResponses(LONG Room, LONG Degrees)
{
    m_nRoom = Room;
    m_nAngle = Degrees;
    m_nHeadBlocks = -1;
    m_nTailBlocks = -1;
    const LONG angleIndex = HeadphoneAngleIndex(Degrees);
    if (Room < 1 || Room > HEADPHONE_ROOMS || angleIndex < 0)
    {
        return 1; // no responses: the convolution adds nothing
    }
    const LONG set = HeadphoneTailSet(Degrees);
    LoadImpulseResponse(g_HeadphoneHeadTables[Room - 1][angleIndex], HEADPHONE_HEAD_ROWS,
                        HEADPHONE_HEAD_LENGTH, g_HeadphoneTailTables[Room - 1][set], HEADPHONE_TAIL_ROWS,
                        kHeadphoneTailLength[Room - 1][set]);
    return 1;
}

// A partition's spectrum: its 512 samples, 512 zeros, forward transformed in place.
VOID CHeadphoneFir::TransformPartition(float* Slot, const float* Samples)
{
    SpCopyF32(Samples, Slot, HEADPHONEFIR_N);
    SpZeroF32(Slot + HEADPHONEFIR_N, HEADPHONEFIR_N);
    SpFftFwdRealInPlace(Slot, m_pFftSpec, nullptr);
}

VOID CHeadphoneFir::LoadImpulseResponse(const float* Head, LONG HeadRows, LONG HeadLength, const float* Tail,
                                        LONG TailRows, LONG TailLength)
{
    // Only the ten-row tables exist; their lengths fit the spectra this object holds.
    if (!m_pFftSpec || HeadRows != HEADPHONE_HEAD_ROWS || HeadLength != HEADPHONE_HEAD_LENGTH ||
        TailRows != HEADPHONE_TAIL_ROWS || TailLength % HEADPHONEFIR_N != 0 ||
        TailLength > HEADPHONE_TAIL_LENGTH_MAX)
    {
        return;
    }
    const LONG headBlocks = HeadLength / HEADPHONEFIR_N;
    const LONG tailBlocks = TailLength / HEADPHONEFIR_N;
    for (LONG r = 0; r < HeadRows; r++)
    {
        for (LONG b = 0; b < headBlocks; b++)
        {
            TransformPartition(HeadSpectrum(r, b), Head + r * HeadLength + b * HEADPHONEFIR_N);
        }
    }
    for (LONG c = 0; c < TailRows; c++)
    {
        for (LONG b = 0; b < tailBlocks; b++)
        {
            TransformPartition(TailSpectrum(c, b), Tail + c * TailLength + b * HEADPHONEFIR_N);
        }
    }
    m_nHeadBlocks = headBlocks;
    m_nTailBlocks = tailBlocks;
}

LONG CHeadphoneFir::SetCtcAngle(ULONG Degrees)
{
    if (Degrees == m_nCtcAngle)
    {
        return 1;
    }
    const BOOLEAN wasFiltering = m_nCtcLength == HEADPHONE_CTC_TAPS;
    m_nCtcAngle = Degrees;
    RtlZeroMemory(m_SumTaps, sizeof(m_SumTaps));
    RtlZeroMemory(m_DifferenceTaps, sizeof(m_DifferenceTaps));
    LONG index = 0;
    if (IsCtcAngle(Degrees, &index))
    {
        m_nCtcLength = HEADPHONE_CTC_TAPS;
        const float* direct = g_HeadphoneCtcPairs[index][0];
        const float* cross = g_HeadphoneCtcPairs[index][1];
        for (LONG i = 0; i < HEADPHONE_CTC_TAPS; i++)
        {
            m_SumTaps[i] = direct[i] + cross[i];
            m_DifferenceTaps[i] = direct[i] - cross[i];
        }
    }
    else
    {
        m_nCtcLength = 1;
        m_SumTaps[0] = 1.0f;
        m_DifferenceTaps[0] = 1.0f;
        if (wasFiltering)
        {
            // The delay lines held nothing while the filters ran: start them silent rather
            // than replay a block from before.
            RtlZeroMemory(m_LeftHistory, sizeof(m_LeftHistory));
            RtlZeroMemory(m_RightHistory, sizeof(m_RightHistory));
        }
    }
    CreateCtcStates();
    RtlZeroMemory(m_SumInput, sizeof(m_SumInput));
    RtlZeroMemory(m_DifferenceInput, sizeof(m_DifferenceInput));
    return 1;
}

// Both crosstalk filters with silent delay lines. Without their memory the stage passes the
// signal through its delay instead.
VOID CHeadphoneFir::CreateCtcStates()
{
    FreeCtcStates();
    if (SpFirCreate(&m_pSumState, m_SumTaps, HEADPHONE_CTC_TAPS, nullptr) < SpOk)
    {
        m_pSumState = nullptr;
    }
    if (SpFirCreate(&m_pDifferenceState, m_DifferenceTaps, HEADPHONE_CTC_TAPS, nullptr) < SpOk)
    {
        m_pDifferenceState = nullptr;
    }
}

// Each speaker's newest 1,024-sample frame (its previous block, then this one) into its ring
// slot at the head position, transformed. Six or eight inputs: the low-frequency channel feeds
// both fronts. Any other count writes nothing: the block renders what the rings hold.
VOID CHeadphoneFir::FillRings(float* const* Input, LONG InputCount)
{
    const LONG h = m_nHeadPosition;
    if (InputCount == 8)
    {
        float* ls = Input[4];
        float* rs = Input[5];
        for (LONG i = 0; i < HEADPHONEFIR_N; i++)
        {
            const float l = ls[i];
            const float r = rs[i];
            ls[i] = kSurroundSame * l + kSurroundOther * r + Input[6][i];
            rs[i] = kSurroundOther * l + kSurroundSame * r + Input[7][i];
        }
    }
    if (InputCount == 2)
    {
        for (LONG k = 0; k < 2; k++)
        {
            float* slot = RingSlot(k, h);
            SpCopyF32(m_PreviousInput[k], slot, HEADPHONEFIR_N);
            SpCopyF32(Input[k], slot + HEADPHONEFIR_N, HEADPHONEFIR_N);
            SpCopyF32(Input[k], m_PreviousInput[k], HEADPHONEFIR_N);
            SpFftFwdRealInPlace(slot, m_pFftSpec, nullptr);
        }
        return;
    }
    if (InputCount != 6 && InputCount != 8)
    {
        return;
    }
    // Speaker k takes input channel kSource[k]; the fronts also the low-frequency channel 3.
    const LONG kSource[HEADPHONE_SPEAKERS] = {0, 1, 2, 4, 5};
    for (LONG k = 0; k < HEADPHONE_SPEAKERS; k++)
    {
        float* slot = RingSlot(k, h);
        const LONG c = kSource[k];
        SpCopyF32(m_PreviousInput[c], slot, HEADPHONEFIR_N);
        SpCopyF32(Input[c], slot + HEADPHONEFIR_N, HEADPHONEFIR_N);
        if (k < 2)
        {
            SpAddInPlaceF32(m_PreviousInput[3], slot, HEADPHONEFIR_N);
            SpAddInPlaceF32(Input[3], slot + HEADPHONEFIR_N, HEADPHONEFIR_N);
        }
    }
    for (LONG c = 0; c < 6; c++)
    {
        SpCopyF32(Input[c], m_PreviousInput[c], HEADPHONEFIR_N);
    }
    for (LONG k = 0; k < HEADPHONE_SPEAKERS; k++)
    {
        SpFftFwdRealInPlace(RingSlot(k, h), m_pFftSpec, nullptr);
    }
}

VOID CHeadphoneFir::Accumulate(LONG InputCount)
{
    float* left = m_Accumulator[0];
    float* right = m_Accumulator[1];
    SpZeroF32(left, HEADPHONE_SPECTRUM);
    SpZeroF32(right, HEADPHONE_SPECTRUM);
    const LONG speakers = InputCount == 6 || InputCount == 8 ? HEADPHONE_SPEAKERS : 2;
    const LONG H = m_nHeadBlocks;
    for (LONG b = 0; b < H; b++)
    {
        const LONG s = (m_nHeadPosition + b) % H;
        for (LONG k = 0; k < speakers; k++)
        {
            SpMulPackF32(HeadSpectrum(kSpeakerRows[k][0], b), RingSlot(k, s), m_Product, HEADPHONE_SPECTRUM);
            SpAddInPlaceF32(m_Product, left, HEADPHONE_SPECTRUM);
            SpMulPackF32(HeadSpectrum(kSpeakerRows[k][1], b), RingSlot(k, s), m_Product, HEADPHONE_SPECTRUM);
            SpAddInPlaceF32(m_Product, right, HEADPHONE_SPECTRUM);
        }
    }
    const LONG T = m_nTailBlocks;
    for (LONG b = 0; b < T; b++)
    {
        const float* slot = m_TailRing + ((m_nTailPosition + b) % T) * HEADPHONE_SPECTRUM;
        SpMulPackF32(TailSpectrum(0, b), slot, m_Product, HEADPHONE_SPECTRUM);
        SpAddInPlaceF32(m_Product, left, HEADPHONE_SPECTRUM);
        SpMulPackF32(TailSpectrum(1, b), slot, m_Product, HEADPHONE_SPECTRUM);
        SpAddInPlaceF32(m_Product, right, HEADPHONE_SPECTRUM);
    }
}

VOID CHeadphoneFir::Process(float* const* Output, LONG OutputCount, float* const* Input, LONG InputCount,
                            LONG Length)
{
    if (!Output || OutputCount != 2 || !Input || Length != HEADPHONEFIR_N || !m_pFftSpec)
    {
        return;
    }
    const BOOLEAN loaded = m_nHeadBlocks > 0 && m_nTailBlocks > 0;
    if (loaded)
    {
        // The tail hears the sum of the speakers' spectra of H blocks ago, which this block's
        // frames are about to overwrite.
        const LONG h = m_nHeadPosition;
        const LONG speakers = InputCount == 6 || InputCount == 8 ? HEADPHONE_SPEAKERS : 2;
        float* tail = m_TailRing + (m_nTailPosition % m_nTailBlocks) * HEADPHONE_SPECTRUM;
        SpCopyF32(RingSlot(0, h), tail, HEADPHONE_SPECTRUM);
        for (LONG k = 1; k < speakers; k++)
        {
            SpAddInPlaceF32(RingSlot(k, h), tail, HEADPHONE_SPECTRUM);
        }
        FillRings(Input, InputCount);
        Accumulate(InputCount);
        SpFftInvRealInPlace(m_Accumulator[0], m_pFftSpec, nullptr);
        SpFftInvRealInPlace(m_Accumulator[1], m_pFftSpec, nullptr);
        // The last half of each circular convolution is the block's linear one.
        SpMulConstF32(m_Accumulator[0] + HEADPHONEFIR_N, kOutputGain, Output[0], HEADPHONEFIR_N);
        SpMulConstF32(m_Accumulator[1] + HEADPHONEFIR_N, kOutputGain, Output[1], HEADPHONEFIR_N);
        m_nHeadPosition = (m_nHeadPosition - 1 + m_nHeadBlocks) % m_nHeadBlocks;
        m_nTailPosition = (m_nTailPosition % m_nTailBlocks - 1 + m_nTailBlocks) % m_nTailBlocks;
    }
    else
    {
        SpZeroF32(Output[0], HEADPHONEFIR_N);
        SpZeroF32(Output[1], HEADPHONEFIR_N);
    }
    ApplyCtc(Output[0], Output[1]);
}

VOID CHeadphoneFir::ApplyCtc(float* Left, float* Right)
{
    if (m_nCtcLength == HEADPHONE_CTC_TAPS && m_pSumState && m_pDifferenceState)
    {
        SpAddF32(Left, Right, m_SumInput, HEADPHONEFIR_N);
        SpSubF32(Right, Left, m_DifferenceInput, HEADPHONEFIR_N); // left - right
        float* sum = m_Product;
        float* difference = m_Product + HEADPHONE_SPECTRUM;
        m_Status = SpFirFilter(m_SumInput, sum, HEADPHONEFIR_N, m_pSumState);
        m_Status = SpFirFilter(m_DifferenceInput, difference, HEADPHONEFIR_N, m_pDifferenceState);
        // With direct filter D and cross filter X: left' = D(left) + X(right), right' = X(left) + D(right).
        SpAddF32(sum, difference, Left, HEADPHONEFIR_N);
        SpSubF32(difference, sum, Right, HEADPHONEFIR_N);
        SpMulConstInPlaceF32(0.5f, Left, HEADPHONEFIR_N);
        SpMulConstInPlaceF32(0.5f, Right, HEADPHONEFIR_N);
        return;
    }
    // The stage off: both ears late by 255 samples, as the filters' centre tap would make them.
    float* histories[2] = {m_LeftHistory, m_RightHistory};
    float* channels[2] = {Left, Right};
    for (LONG c = 0; c < 2; c++)
    {
        float* history = histories[c];
        SpCopyF32(channels[c], history + HEADPHONE_CTC_TAPS, HEADPHONEFIR_N);
        SpCopyF32(history + 1, channels[c], HEADPHONEFIR_N);
        SpCopyF32(history + HEADPHONEFIR_N, history, HEADPHONE_CTC_TAPS);
    }
}

CHeadphoneApp::CHeadphoneApp() : CAudioApp(VIRTUALIZER_INTERNAL_RATE, HEADPHONEFIR_N, 6, 2, 1.0f)
{
    PAGED_CODE();
    Configure(VIRTUALIZER_INTERNAL_RATE, 6, 2, HEADPHONEFIR_N);
}

CHeadphoneApp::~CHeadphoneApp()
{
    FreeStages();
}

VOID CHeadphoneApp::Filter(float* const* Output, LONG OutputCount, float* const* Input, LONG InputCount,
                           LONG Length)
{
    m_Fir.Process(Output, OutputCount, Input, InputCount, Length);
}

VOID CHeadphoneApp::Reset()
{
    m_Fir.ClearState();
}
