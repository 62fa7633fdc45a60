// The variant-D effect nodes: what both share (work sets, limiters, the dry and the effect
// path with their fade, flushing) and the down-mix of the dry path.
#include "driver/topology/variants/variant_d_effect_controls.h"

#include "driver/dsp/dsp_format.h"
#include "driver/dsp/effect_processor.h"
#include "driver/primitives/sp_lib.h"

namespace
{

constexpr USHORT FORMAT_CODE_PCM = 1;
constexpr float CENTRE_WEIGHT = 0.707f;

float** NewWorkSet()
{
    const SIZE_T arrayBytes = VARIANT_D_WORK_CHANNELS * sizeof(float*);
    auto sets =
        static_cast<float**>(ExAllocatePoolWithTag(NonPagedPool, arrayBytes, VARIANT_D_EFFECT_WORK_POOL_TAG));
    if (!sets)
    {
        return nullptr;
    }
    RtlZeroMemory(sets, arrayBytes);
    return sets;
}

// Every missing buffer of the set; FALSE at the first the pool cannot hold.
BOOLEAN FillWorkSet(float** Set)
{
    const SIZE_T bytes = VARIANT_D_WORK_FRAMES * sizeof(float);
    for (ULONG c = 0; c < VARIANT_D_WORK_CHANNELS; c++)
    {
        if (!Set[c])
        {
            Set[c] = static_cast<float*>(
                ExAllocatePoolWithTag(NonPagedPool, bytes, VARIANT_D_EFFECT_WORK_POOL_TAG));
            if (!Set[c])
            {
                return FALSE;
            }
            RtlZeroMemory(Set[c], bytes);
        }
    }
    return TRUE;
}

VOID FreeWorkSet(float**& Set)
{
    if (!Set)
    {
        return;
    }
    for (ULONG c = 0; c < VARIANT_D_WORK_CHANNELS; c++)
    {
        if (Set[c])
        {
            ExFreePoolWithTag(Set[c], VARIANT_D_EFFECT_WORK_POOL_TAG);
        }
    }
    ExFreePoolWithTag(Set, VARIANT_D_EFFECT_WORK_POOL_TAG);
    Set = nullptr;
}

BOOLEAN IsWorkSetComplete(float* const* Set)
{
    if (!Set)
    {
        return FALSE;
    }
    for (ULONG c = 0; c < VARIANT_D_WORK_CHANNELS; c++)
    {
        if (!Set[c])
        {
            return FALSE;
        }
    }
    return TRUE;
}

// Null when the pool cannot hold it or its buffers: a limiter without buffers would pass the
// samples through unlimited, and the effect path's boost must never reach the device so.
CEffectProcessor* NewLimiter(float Boost)
{
    CEffectProcessor* pLimiter = new (NonPagedPool, VARIANT_D_EFFECT_LIMITER_POOL_TAG) CEffectProcessor();
    if (!pLimiter)
    {
        return nullptr;
    }
    if (!pLimiter->AllocateBuffers())
    {
        pLimiter->FreeBuffers();
        pLimiter->~CEffectProcessor();
        ExFreePoolWithTag(pLimiter, VARIANT_D_EFFECT_LIMITER_POOL_TAG);
        return nullptr;
    }
    pLimiter->SetMode(0);
    pLimiter->SetGain(Boost);
    pLimiter->SetCeiling(1.0f);
    return pLimiter;
}

VOID FreeLimiter(CEffectProcessor*& Limiter)
{
    if (!Limiter)
    {
        return;
    }
    Limiter->FreeBuffers();
    Limiter->~CEffectProcessor();
    ExFreePoolWithTag(Limiter, VARIANT_D_EFFECT_LIMITER_POOL_TAG);
    Limiter = nullptr;
}

VOID CopySamples(float* Destination, const float* Source, ULONG Frames)
{
    if (Destination != Source)
    {
        RtlCopyMemory(Destination, Source, Frames * sizeof(float));
    }
}

} // namespace

VOID ConvertChannelCount(float* const* Channels, ULONG SourceCount, ULONG TargetCount, ULONG Frames,
                         UCHAR Flag)
{
    if (!Channels || TargetCount != 2 || Flag != 1)
    {
        return;
    }
    float* left = Channels[0];
    float* right = Channels[1];
    switch (SourceCount)
    {
    case 4:
        // The left surround enters the left side in opposite phase.
        for (ULONG i = 0; i < Frames; i++)
        {
            left[i] = left[i] - Channels[2][i];
            right[i] = right[i] + Channels[3][i];
        }
        break;
    case 6:
    case 8:
        // Summed term by term in channel order, as the mix is defined: float addition is not
        // associative, and another grouping differs in the last bit.
        for (ULONG i = 0; i < Frames; i++)
        {
            float l = left[i] + CENTRE_WEIGHT * Channels[2][i] + Channels[3][i] + Channels[4][i];
            float r = right[i] + CENTRE_WEIGHT * Channels[2][i] + Channels[3][i] + Channels[5][i];
            if (SourceCount == 8)
            {
                l += Channels[6][i];
                r += Channels[7][i];
            }
            left[i] = l;
            right[i] = r;
        }
        break;
    default:
        break;
    }
}

// ---- What both nodes share ----

CVariantDEffectControl::CVariantDEffectControl(PUNKNOWN UnknownOuter, ULONG Id)
    : CEffectControlNode(UnknownOuter, Id), m_ppDry(nullptr), m_ppWet(nullptr), m_pLimiterA(nullptr),
      m_pLimiterB(nullptr), m_pEffect(nullptr)
{
}

CVariantDEffectControl::~CVariantDEffectControl()
{
    FreeWorkSet(m_ppDry);
    FreeWorkSet(m_ppWet);
    FreeLimiter(m_pLimiterA);
    FreeLimiter(m_pLimiterB);
}

BOOLEAN CVariantDEffectControl::CreateWorkObjects(float BoostA)
{
    PAGED_CODE();
    float*** sets[2] = {&m_ppDry, &m_ppWet};
    for (float*** set : sets)
    {
        if (!*set)
        {
            *set = NewWorkSet();
        }
        if (!*set || !FillWorkSet(*set))
        {
            return FALSE;
        }
    }
    if (!m_pLimiterA)
    {
        m_pLimiterA = NewLimiter(BoostA);
    }
    if (m_pLimiterA && !m_pLimiterB)
    {
        m_pLimiterB = NewLimiter(1.0f);
    }
    return m_pLimiterA && m_pLimiterB;
}

STDMETHODIMP_(NTSTATUS) CVariantDEffectControl::Reset()
{
    if (m_pLimiterA)
    {
        m_pLimiterA->Reset();
    }
    if (m_pLimiterB)
    {
        m_pLimiterB->Reset();
    }
    return STATUS_SUCCESS;
}

// Called only once the stream has stopped submitting, so no Process runs beside it.
STDMETHODIMP_(NTSTATUS) CVariantDEffectControl::Stop()
{
    if (m_pEffect)
    {
        FlushEffect();
    }
    return Reset();
}

// A node whose set-up stopped part-way, a stream of more channels or frames than the work sets
// hold, or no samples: the samples pass as they are.
BOOLEAN CVariantDEffectControl::CanProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    const ULONG channels = Format->Format.nChannels;
    return Data && Frames > 0 && Frames <= VARIANT_D_WORK_FRAMES && channels > 0 &&
           channels <= VARIANT_D_WORK_CHANNELS && IsWorkSetComplete(m_ppDry) && IsWorkSetComplete(m_ppWet) &&
           m_pLimiterA && m_pLimiterB;
}

// Six to eight channels stay on the effect path for the whole block that takes a change, so
// that switching off fades the effect out before the down-mix comes in; the other counts follow
// the latched byte alone.
float* const* CVariantDEffectControl::ChooseOutput(ULONG Channels, BOOLEAN Changed)
{
    if (Channels >= 6)
    {
        return m_nLatchedEnable || Changed ? m_ppWet : m_ppDry;
    }
    return m_nLatchedEnable ? m_ppWet : m_ppDry;
}

// 2 ms of the old path falling to silence, then 2 ms of the new one rising from it, on the two
// channels the device plays. A block shorter than 4 ms ends the fade early.
VOID CVariantDEffectControl::Fade(float* const* Output, ULONG Frames, ULONG RateHz, LONG State)
{
    const ULONG length = 2 * (RateHz / 1000);
    for (ULONG c = 0; c < 2; c++)
    {
        float* out = Output[c];
        const float* dry = m_ppDry[c];
        if (length < 2)
        {
            // No room for a ramp: the new path takes over at once.
            if (State == EFFECT_FADE_TO_DRY)
            {
                CopySamples(out, dry, Frames);
            }
            continue;
        }
        const float span = float(length - 1);
        for (ULONG i = 0; i < Frames; i++)
        {
            if (i < length)
            {
                const float fall = 1.0f - float(i) / span;
                out[i] = State == EFFECT_FADE_TO_WET ? fall * dry[i] : out[i] * fall;
            }
            else if (i < 2 * length)
            {
                const float rise = float(i - length) / span;
                out[i] = State == EFFECT_FADE_TO_WET ? out[i] * rise : dry[i] * rise;
            }
            else if (State == EFFECT_FADE_TO_DRY)
            {
                out[i] = dry[i];
            }
            else
            {
                break;
            }
        }
    }
}

// Only the stereo result goes back. The channels above the front pair are in it now, folded in
// by the down-mix or rendered by the effect; left in place, the stream's next effect node would
// mix them into the front pair a second time. The stream sends only the front pair to the device.
VOID CVariantDEffectControl::HandBack(float* const* Input, float* const* Output, ULONG Channels, ULONG Frames)
{
    for (ULONG c = 0; c < Channels; c++)
    {
        if (c < 2)
        {
            CopySamples(Input[c], Output[c], Frames);
        }
        else
        {
            RtlZeroMemory(Input[c], Frames * sizeof(float));
        }
    }
}

STDMETHODIMP_(NTSTATUS)
CVariantDEffectControl::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    const BOOLEAN changed = InterlockedExchange(&m_lChangeFlags[EFFECT_CHANGE_FLAG], 0) != 0;
    if (changed)
    {
        if (m_pEffect)
        {
            LatchPending();
        }
        InterlockedExchange(&m_lFadeState, m_nLatchedEnable ? EFFECT_FADE_TO_WET : EFFECT_FADE_TO_DRY);
    }
    if (!m_pEffect || !Format || DspFormatCode(*Format) != FORMAT_CODE_PCM ||
        !CanProcess(Format, Data, Frames))
    {
        return STATUS_SUCCESS;
    }
    CNodeQueuedLockHold hold(&m_SpinLock);
    float* const* input = static_cast<float* const*>(Data);
    const ULONG channels = Format->Format.nChannels;
    for (ULONG c = 0; c < channels; c++)
    {
        CopySamples(m_ppDry[c], input[c], Frames);
        CopySamples(m_ppWet[c], input[c], Frames);
    }
    // Only the effect path gets its input prepared: the dry path must give back what it was
    // given, and an offset of a fraction of a unit moves a 16-bit sample of -1 to 0 once the
    // stream converts back with truncation.
    PrepareInput(m_ppWet, channels, Frames);
    ConvertChannelCount(m_ppDry, channels, 2, Frames, 1);
    m_pLimiterB->Process(m_ppDry, Frames);
    RunEffect(channels, Frames);
    m_pLimiterA->Process(m_ppWet, Frames);
    float* const* output = ChooseOutput(channels, changed);
    const LONG state = m_lFadeState;
    if (state == EFFECT_FADE_TO_WET || state == EFFECT_FADE_TO_DRY)
    {
        Fade(output, Frames, Format->Format.nSamplesPerSec, state);
        InterlockedExchange(&m_lFadeState, EFFECT_FADE_STEADY);
    }
    HandBack(input, output, channels, Frames);
    return STATUS_SUCCESS;
}
