// The virtualiser's per-channel integer-factor rate converter.
#include "driver/dsp/src_factor.h"

#include "driver/primitives/sp_lib.h"

namespace
{

constexpr LONG SRC_WORK_SAMPLES = 4 * VIRTUALIZER_CHANNEL_SAMPLES_MAX;

VOID DeleteFilter(CLinearPhaseIir*& Filter)
{
    delete Filter;
    Filter = nullptr;
}

} // namespace

VirtualizerRateStep VirtualizerRateStepFor(LONG StreamRateHz, LONG InternalRateHz)
{
    if (InternalRateHz <= 0)
    {
        return {0, 1};
    }
    if (StreamRateHz > InternalRateHz)
    {
        return {1, StreamRateHz / InternalRateHz};
    }
    if (StreamRateHz < InternalRateHz && StreamRateHz > 0)
    {
        return {-1, InternalRateHz / StreamRateHz};
    }
    return {0, 1};
}

CSrcFactor::CSrcFactor(LONG StreamRateHz, LONG InternalRateHz, BOOLEAN LinearPhase)
    : m_nInternalRate(InternalRateHz), m_nStreamRate(StreamRateHz), m_bLinearPhase(LinearPhase)
{
}

CSrcFactor::~CSrcFactor()
{
    DeleteFilter(m_pReduce);
    DeleteFilter(m_pRaise);
    if (m_pWork)
    {
        ExFreePoolWithTag(m_pWork, VIRTUALIZER_POOL_TAG);
        m_pWork = nullptr;
    }
}

NTSTATUS CSrcFactor::Init()
{
    PAGED_CODE();
    const VirtualizerRateStep step = VirtualizerRateStepFor(m_nStreamRate, m_nInternalRate);
    m_nDirection = step.Direction;
    m_nSrcFactor = step.Factor;
    NTSTATUS status = STATUS_SUCCESS;
    if (m_nDirection != 0)
    {
        DeleteFilter(m_pReduce);
        DeleteFilter(m_pRaise);
        m_pReduce = new (NonPagedPool, VIRTUALIZER_POOL_TAG) CLinearPhaseIir(LINEAR_PHASE_TAIL);
        m_pRaise = new (NonPagedPool, VIRTUALIZER_POOL_TAG) CLinearPhaseIir(LINEAR_PHASE_TAIL);
        status = m_pReduce && m_pRaise ? m_pReduce->Init(m_nSrcFactor) : STATUS_INSUFFICIENT_RESOURCES;
        if (NT_SUCCESS(status))
        {
            status = m_pRaise->Init(m_nSrcFactor);
        }
    }
    if (m_pWork)
    {
        ExFreePoolWithTag(m_pWork, VIRTUALIZER_POOL_TAG);
    }
    m_pWork = static_cast<float*>(
        ExAllocatePoolWithTag(NonPagedPool, SRC_WORK_SAMPLES * sizeof(float), VIRTUALIZER_POOL_TAG));
    if (!m_pWork)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(m_pWork, SRC_WORK_SAMPLES * sizeof(float));
    m_nOutLength = 0;
    m_nPhase = 0;
    return status;
}

VOID CSrcFactor::Down(float* Destination, const float* Source, LONG Length)
{
    if (!m_pReduce || !m_pWork || Length <= 0 || Length % m_nSrcFactor != 0 ||
        Length > VIRTUALIZER_CHANNEL_SAMPLES_MAX)
    {
        return;
    }
    m_pReduce->Process(m_pWork, Source, Length);
    SpSampleDownF32(m_pWork, Length, Destination, &m_nOutLength, m_nSrcFactor, &m_nPhase);
}

VOID CSrcFactor::Up(float* Destination, const float* Source, LONG Length)
{
    const LONG outLength = Length * m_nSrcFactor;
    if (!m_pRaise || !m_pWork || Length <= 0 || outLength > VIRTUALIZER_CHANNEL_SAMPLES_MAX)
    {
        return;
    }
    SpZeroF32(m_pWork, outLength);
    SpSampleUpF32(Source, Length, m_pWork, &m_nOutLength, m_nSrcFactor, &m_nPhase);
    m_pRaise->Process(Destination, m_pWork, outLength);
    SpMulConstInPlaceF32(float(m_nSrcFactor), Destination, outLength);
}
