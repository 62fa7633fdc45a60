// The virtualiser's block engine: framing, rate steps around the internal rate, and the
// channel copy it shares with the front object.
#include "driver/dsp/audio_app.h"

#include "driver/primitives/sp_lib.h"

namespace
{

// Keeps the filters out of denormal numbers; scaled by the engine's gain.
constexpr float kAntiDenormal = 1e-10f;

float* AllocateSamples(LONG Count)
{
    const SIZE_T bytes = SIZE_T(Count) * sizeof(float);
    float* p = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPool, bytes, VIRTUALIZER_POOL_TAG));
    if (p)
    {
        RtlZeroMemory(p, bytes);
    }
    return p;
}

VOID FreeSamples(float*& Samples)
{
    if (Samples)
    {
        ExFreePoolWithTag(Samples, VIRTUALIZER_POOL_TAG);
        Samples = nullptr;
    }
}

} // namespace

VOID CopyChannels(float* const* Destination, LONG DestinationCount, float* const* Source, LONG SourceCount,
                  LONG Frames)
{
    for (LONG i = 0; i < DestinationCount; i++)
    {
        if (i < SourceCount)
        {
            if (Destination[i] != Source[i])
            {
                SpCopyF32(Source[i], Destination[i], Frames);
            }
        }
        else
        {
            SpZeroF32(Destination[i], Frames);
        }
    }
}

CAudioApp::CAudioApp(LONG RateHz, LONG BlockHint, LONG InputCapacity, LONG OutputCapacity, float Gain)
    : m_nInputCapacity(InputCapacity), m_nOutputCapacity(OutputCapacity), m_fGain(Gain),
      m_nBlockHint(BlockHint)
{
    UNREFERENCED_PARAMETER(RateHz); // Configure gives the rate
}

CAudioApp::~CAudioApp()
{
    FreeStages();
}

BOOLEAN CAudioApp::Configure(LONG StreamRateHz, LONG InputCapacity, LONG OutputCapacity, LONG BlockHint)
{
    PAGED_CODE();
    m_nBlockHint = BlockHint;
    m_nDataLen = VIRTUALIZER_BLOCK_SAMPLES;
    m_nInputCapacity = InputCapacity;
    m_nOutputCapacity = OutputCapacity;
    m_nStreamRate = StreamRateHz;
    m_nInternalRate = VIRTUALIZER_INTERNAL_RATE;
    m_bReady = Setup();
    Reset();
    return m_bReady;
}

BOOLEAN CAudioApp::Setup()
{
    PAGED_CODE();
    FreeStages();
    m_nFill = 0;
    const VirtualizerRateStep step = VirtualizerRateStepFor(m_nStreamRate, m_nInternalRate);
    m_nDirection = step.Direction;
    m_nSrcFactor = step.Factor;
    // Only factors 1 and 2 have low-passes, and a block of the stream's rate must fit the
    // 1,024-sample buffers; the internal block must split evenly when the stream is slower.
    if (m_nStreamRate * 3 <= m_nInternalRate || m_nStreamRate >= 3 * m_nInternalRate ||
        m_nInputCapacity < 0 || m_nOutputCapacity < 0 || m_nInputCapacity > VIRTUALIZER_MAX_CHANNELS ||
        m_nOutputCapacity > VIRTUALIZER_MAX_CHANNELS)
    {
        m_nRealDataLen = 0;
        return FALSE;
    }
    m_nRealDataLen = m_nDirection < 0 ? m_nDataLen / m_nSrcFactor : m_nDataLen * m_nSrcFactor;
    for (LONG i = 0; i < m_nInputCapacity; i++)
    {
        m_pInputBlock[i] = AllocateSamples(m_nRealDataLen);
        m_pInternalInput[i] = AllocateSamples(m_nDataLen);
        m_pInternalOutput[i] = AllocateSamples(m_nDataLen);
        if (!m_pInputBlock[i] || !m_pInternalInput[i] || !m_pInternalOutput[i])
        {
            return FALSE;
        }
        if (m_nDirection != 0)
        {
            m_pConverter[i] = new (NonPagedPool, VIRTUALIZER_POOL_TAG)
                CSrcFactor(m_nStreamRate, m_nInternalRate, m_bLinearPhase);
            if (!m_pConverter[i] || !NT_SUCCESS(m_pConverter[i]->Init()))
            {
                return FALSE;
            }
        }
    }
    for (LONG j = 0; j < m_nOutputCapacity; j++)
    {
        m_pOutputBlock[j] = AllocateSamples(m_nRealDataLen);
        if (!m_pOutputBlock[j])
        {
            return FALSE;
        }
    }
    // Output channel j is converted by converter j and filtered into internal output j.
    return m_nOutputCapacity <= m_nInputCapacity ? TRUE : FALSE;
}

VOID CAudioApp::FreeStages()
{
    for (LONG i = 0; i < VIRTUALIZER_MAX_CHANNELS; i++)
    {
        FreeSamples(m_pInputBlock[i]);
        FreeSamples(m_pOutputBlock[i]);
        FreeSamples(m_pInternalInput[i]);
        FreeSamples(m_pInternalOutput[i]);
        delete m_pConverter[i];
        m_pConverter[i] = nullptr;
    }
    m_bReady = FALSE;
}

VOID CAudioApp::Process(float* const* Output, LONG OutputCount, float* const* Input, LONG InputCount,
                        LONG Frames)
{
    if (!m_bReady || !Output || !Input || InputCount < 0 || OutputCount < 0 ||
        InputCount > m_nInputCapacity || OutputCount > m_nOutputCapacity || Frames <= 0)
    {
        return;
    }
    // The callers' cursors: the same array may be both sides, so each stretch is read in full
    // before any of it is written.
    float* in[VIRTUALIZER_MAX_CHANNELS] = {};
    float* out[VIRTUALIZER_MAX_CHANNELS] = {};
    for (LONG i = 0; i < InputCount; i++)
    {
        in[i] = Input[i];
    }
    for (LONG j = 0; j < OutputCount; j++)
    {
        out[j] = Output[j];
    }
    const float offset = m_fGain * kAntiDenormal;
    LONG remaining = Frames;
    LONG chunk = remaining < m_nRealDataLen - m_nFill ? remaining : m_nRealDataLen - m_nFill;
    while (chunk > 0)
    {
        for (LONG i = 0; i < InputCount; i++)
        {
            SpCopyF32(in[i], m_pInputBlock[i] + m_nFill, chunk);
            SpAddConstInPlaceF32(offset, m_pInputBlock[i] + m_nFill, chunk);
            in[i] += chunk;
        }
        for (LONG j = 0; j < OutputCount; j++)
        {
            SpCopyF32(m_pOutputBlock[j] + m_nFill, out[j], chunk);
            out[j] += chunk;
        }
        m_nFill += chunk;
        remaining -= chunk;
        if (m_nFill == m_nRealDataLen)
        {
            ProcessBlock(OutputCount, InputCount);
            m_nFill = 0;
        }
        chunk = remaining < m_nRealDataLen ? remaining : m_nRealDataLen;
    }
}

VOID CAudioApp::ProcessBlock(LONG OutputCount, LONG InputCount)
{
    InputStage(InputCount);
    Filter(m_pInternalOutput, OutputCount, m_pInternalInput, InputCount, m_nDataLen);
    OutputStage(OutputCount);
}

VOID CAudioApp::InputStage(LONG InputCount)
{
    if (m_nDirection == 0)
    {
        CopyChannels(m_pInternalInput, InputCount, m_pInputBlock, InputCount, m_nRealDataLen);
        return;
    }
    for (LONG i = 0; i < InputCount; i++)
    {
        if (m_nDirection < 0)
        {
            m_pConverter[i]->Up(m_pInternalInput[i], m_pInputBlock[i], m_nRealDataLen);
        }
        else
        {
            m_pConverter[i]->Down(m_pInternalInput[i], m_pInputBlock[i], m_nRealDataLen);
        }
    }
}

VOID CAudioApp::OutputStage(LONG OutputCount)
{
    if (m_nDirection == 0)
    {
        CopyChannels(m_pOutputBlock, OutputCount, m_pInternalOutput, OutputCount, m_nRealDataLen);
        return;
    }
    for (LONG j = 0; j < OutputCount; j++)
    {
        if (m_nDirection < 0)
        {
            m_pConverter[j]->Down(m_pOutputBlock[j], m_pInternalOutput[j], m_nDataLen);
        }
        else
        {
            m_pConverter[j]->Up(m_pOutputBlock[j], m_pInternalOutput[j], m_nDataLen);
        }
    }
}
