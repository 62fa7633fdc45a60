// Third-order low-passes and their forward-backward (zero-phase) pairing.
#include "driver/dsp/linear_phase_iir.h"

#include "driver/primitives/sp_lib.h"

namespace
{

constexpr LONG IIR_ORDER = 3;

// b0..b3 then a0..a3 of the bilinear-transform Butterworth designs: factor 1 cuts at a quarter
// of the rate it runs at, factor 2 at a sixth.
const float kFactorOneTaps[2 * (IIR_ORDER + 1)] = {1.0f / 6, 0.5f, 0.5f,     1.0f / 6,
                                                   1.0f,     0.0f, 1.0f / 3, 0.0f};
const float kFactorTwoTaps[2 * (IIR_ORDER + 1)] = {0.06385592f, 0.19156778f,  0.19156778f, 0.06385592f,
                                                   1.0f,        -0.96577972f, 0.58264416f, -0.10601705f};

} // namespace

CIirFilter::~CIirFilter()
{
    FreeState();
}

VOID CIirFilter::FreeState()
{
    if (m_pState)
    {
        SpIirFree(m_pState);
        m_pState = nullptr;
    }
}

NTSTATUS CIirFilter::Init(LONG Factor)
{
    PAGED_CODE();
    FreeState();
    const float* taps = Factor == 1 ? kFactorOneTaps : Factor == 2 ? kFactorTwoTaps : nullptr;
    if (!taps)
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_Status = SpIirCreate(&m_pState, taps, IIR_ORDER, nullptr);
    if (m_Status < SpOk)
    {
        m_pState = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

float* CIirFilter::Filter(float* Destination, const float* Source, LONG Length)
{
    m_Status = SpIirFilter(Source, Destination, Length, m_pState);
    return Destination;
}

CLinearPhaseIir::CLinearPhaseIir(LONG Tail)
    : m_nMaxBlock(VIRTUALIZER_CHANNEL_SAMPLES_MAX), m_nBufferLength(Tail + VIRTUALIZER_CHANNEL_SAMPLES_MAX),
      m_nTail(Tail)
{
}

CLinearPhaseIir::~CLinearPhaseIir()
{
    FreeFilters();
    if (m_pX)
    {
        ExFreePoolWithTag(m_pX, VIRTUALIZER_POOL_TAG);
        m_pX = m_pY = m_pZ = nullptr;
    }
}

VOID CLinearPhaseIir::FreeFilters()
{
    delete m_pForward;
    delete m_pBackward;
    m_pForward = nullptr;
    m_pBackward = nullptr;
}

NTSTATUS CLinearPhaseIir::Init(LONG Factor)
{
    PAGED_CODE();
    FreeFilters();
    m_pForward = new (NonPagedPool, VIRTUALIZER_POOL_TAG) CIirFilter();
    m_pBackward = new (NonPagedPool, VIRTUALIZER_POOL_TAG) CIirFilter();
    if (!m_pForward || !m_pBackward)
    {
        FreeFilters();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = m_pForward->Init(Factor);
    if (NT_SUCCESS(status))
    {
        status = m_pBackward->Init(Factor);
    }
    if (NT_SUCCESS(status) && !m_pX)
    {
        // X, Y and Z as one block.
        const SIZE_T bytes = SIZE_T(3) * SIZE_T(m_nBufferLength) * sizeof(float);
        m_pX = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPool, bytes, VIRTUALIZER_POOL_TAG));
        if (!m_pX)
        {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
        else
        {
            RtlZeroMemory(m_pX, bytes);
            m_pY = m_pX + m_nBufferLength;
            m_pZ = m_pY + m_nBufferLength;
        }
    }
    if (!NT_SUCCESS(status))
    {
        FreeFilters();
    }
    return status;
}

VOID CLinearPhaseIir::Process(float* Output, const float* Input, LONG Length)
{
    if (!m_pForward || !m_pBackward || !m_pX || Length <= 0 || Length > m_nMaxBlock)
    {
        return;
    }
    const LONG tail = m_nTail;
    m_pForward->Filter(m_pX + tail, Input, Length);
    SpFlipF32(m_pX, m_pY, tail + Length);
    m_pBackward->Filter(m_pZ, m_pY, tail + Length);
    SpFlipF32(m_pZ + tail, Output, Length);
    // The last tail forward-filtered samples open the next block.
    SpCopyF32(m_pX + Length, m_pX, tail);
}
