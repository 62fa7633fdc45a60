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
      m_pLimiterB(nullptr), m_pEffect(nullptr), m_pPartner(nullptr), m_lPartnerState(PARTNER_UNSEEN)
{
}

CVariantDEffectControl::~CVariantDEffectControl()
{
    // Taken under the partner's lock: a stream that holds the partner alone may still be
    // asking it about this node.
    if (m_pPartner)
    {
        CNodeQueuedLockHold hold(&m_pPartner->m_SpinLock);
        m_pPartner->m_pPartner = nullptr;
    }
    FreeWorkSet(m_ppDry);
    FreeWorkSet(m_ppWet);
    FreeLimiter(m_pLimiterA);
    FreeLimiter(m_pLimiterB);
}

VOID CVariantDEffectControl::Pair(CVariantDEffectControl* First, CVariantDEffectControl* Second)
{
    PAGED_CODE();
    if (!First || !Second || First == Second)
    {
        return;
    }
    First->m_pPartner = Second;
    Second->m_pPartner = First;
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
    m_lPartnerState = PARTNER_UNSEEN;
    return Reset();
}

BOOLEAN CVariantDEffectControl::IsComplete() const
{
    return m_pEffect && IsWorkSetComplete(m_ppDry) && IsWorkSetComplete(m_ppWet) && m_pLimiterA &&
           m_pLimiterB;
}

// A node whose set-up stopped part-way, a stream of more channels or frames than the work sets
// hold, or no samples: the samples pass as they are.
BOOLEAN CVariantDEffectControl::CanProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) const
{
    const ULONG channels = Format->Format.nChannels;
    return Data && Frames > 0 && Frames <= VARIANT_D_WORK_FRAMES && channels > 0 &&
           channels <= VARIANT_D_WORK_CHANNELS && IsComplete();
}

// The byte the partner's setter stores, not its latched copy: the partner latches only when
// its own Process runs, which may come after this node's in the same pass, and both must
// change over in the same block. A partner that cannot render passes the stream unmixed, so
// this node keeps mixing down for it, as it does for a partner that would drop channels.
BOOLEAN CVariantDEffectControl::IsPartnerOn(ULONG Channels) const
{
    const CVariantDEffectControl* partner = m_pPartner;
    return partner && partner->IsComplete() && partner->RendersEveryChannel(Channels) &&
           *static_cast<const volatile UCHAR*>(&partner->m_bEnable) != 0;
}

// Six to eight channels stay on the effect path for the whole block that takes a change, so
// that switching off fades the effect out before the down-mix comes in; the other counts follow
// the latched byte alone.
CVariantDEffectControl::HandBackSource CVariantDEffectControl::ChooseOutput(ULONG Channels,
                                                                            BOOLEAN Changed) const
{
    if (Channels >= 6)
    {
        return m_nLatchedEnable || Changed ? HAND_BACK_WET : HAND_BACK_DRY;
    }
    return m_nLatchedEnable ? HAND_BACK_WET : HAND_BACK_DRY;
}

// Channel Channel of what Source hands back; null where it is silent. The two stereo paths
// carry nothing above the front pair: the channels there are in it now, folded in by the
// down-mix or rendered by the effect, and left in place the stream's next effect node would mix
// them into the front pair a second time.
const float* CVariantDEffectControl::SourceChannel(HandBackSource Source, float* const* Input,
                                                   ULONG Channel) const
{
    if (Source == HAND_BACK_INPUT)
    {
        return Input[Channel];
    }
    if (Channel >= 2)
    {
        return nullptr;
    }
    return Source == HAND_BACK_WET ? m_ppWet[Channel] : m_ppDry[Channel];
}

VOID CVariantDEffectControl::HandBack(float* const* Input, HandBackSource Source, ULONG Channels,
                                      ULONG Frames)
{
    if (Source == HAND_BACK_INPUT)
    {
        return;
    }
    for (ULONG c = 0; c < Channels; c++)
    {
        const float* source = SourceChannel(Source, Input, c);
        if (source)
        {
            CopySamples(Input[c], source, Frames);
        }
        else
        {
            RtlZeroMemory(Input[c], Frames * sizeof(float));
        }
    }
}

// 2 ms of what the node handed back falling to silence, then 2 ms of what it hands back now
// rising from it, on every channel it hands back: channels above the front pair fall with it
// when the node goes to a stereo result and rise with it when it goes back to the stream as it
// came. A block shorter than 4 ms ends the fade early. Each sample is read before it is written,
// so the stream's own buffers may be either side.
VOID CVariantDEffectControl::FadeBack(float* const* Input, HandBackSource From, HandBackSource To,
                                      ULONG Channels, ULONG Frames, ULONG RateHz)
{
    const ULONG length = 2 * (RateHz / 1000);
    if (length < 2)
    {
        // No room for a ramp: the new path takes over at once.
        HandBack(Input, To, Channels, Frames);
        return;
    }
    const float span = float(length - 1);
    for (ULONG c = 0; c < Channels; c++)
    {
        float* out = Input[c];
        const float* from = SourceChannel(From, Input, c);
        const float* to = SourceChannel(To, Input, c);
        for (ULONG i = 0; i < Frames; i++)
        {
            if (i < length)
            {
                const float fall = 1.0f - float(i) / span;
                out[i] = from ? fall * from[i] : 0.0f;
            }
            else if (i < 2 * length)
            {
                const float rise = float(i - length) / span;
                out[i] = to ? to[i] * rise : 0.0f;
            }
            else
            {
                out[i] = to ? to[i] : 0.0f;
            }
        }
    }
}

// What the node hands back for this block, and how it gets there from what it handed back
// for the last one.
VOID CVariantDEffectControl::HandBackBlock(float* const* Input, ULONG Channels, ULONG Frames, ULONG RateHz,
                                           BOOLEAN Changed)
{
    const BOOLEAN partnerOn = IsPartnerOn(Channels);
    const BOOLEAN partnerWasOn =
        m_lPartnerState == PARTNER_UNSEEN ? partnerOn : m_lPartnerState == PARTNER_ON;
    m_lPartnerState = partnerOn ? PARTNER_ON : PARTNER_OFF;
    const HandBackSource offBefore = partnerWasOn ? HAND_BACK_INPUT : HAND_BACK_DRY;
    const HandBackSource offNow = partnerOn ? HAND_BACK_INPUT : HAND_BACK_DRY;
    const LONG state = m_lFadeState;
    if (state == EFFECT_FADE_TO_WET)
    {
        FadeBack(Input, offBefore, HAND_BACK_WET, Channels, Frames, RateHz);
    }
    else if (state == EFFECT_FADE_TO_DRY)
    {
        // With the partner in play the effect was on the stream, whatever its channel count.
        const HandBackSource from =
            partnerOn || partnerWasOn ? HAND_BACK_WET : ChooseOutput(Channels, Changed);
        FadeBack(Input, from, offNow, Channels, Frames, RateHz);
    }
    else if (!m_nLatchedEnable && offBefore != offNow)
    {
        // The partner switched: the stream it is to render, or the down-mix it leaves to this
        // node, takes over here with a fade of its own. Without it the device would hear the
        // limiter's 256-sample look-ahead appear or vanish, a splice no fade of the partner's
        // covers, and the partner's effect would render the jump.
        FadeBack(Input, offBefore, offNow, Channels, Frames, RateHz);
    }
    else
    {
        HandBack(Input, m_nLatchedEnable ? HAND_BACK_WET : offNow, Channels, Frames);
    }
    if (state == EFFECT_FADE_TO_WET || state == EFFECT_FADE_TO_DRY)
    {
        InterlockedExchange(&m_lFadeState, EFFECT_FADE_STEADY);
    }
}

STDMETHODIMP_(NTSTATUS)
CVariantDEffectControl::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    BOOLEAN changed = InterlockedExchange(&m_lChangeFlags[EFFECT_CHANGE_FLAG], 0) != 0;
    if (changed)
    {
        const BOOLEAN wasOn = m_nLatchedEnable != 0;
        if (m_pEffect)
        {
            LatchPending();
        }
        // The flags also rise when the byte is read back, as after the device reports the switch
        // just made, and when it is set to what it was. Fading then would dip the stream, or
        // jump to the path the node does not play, at whatever moment the report came.
        changed = wasOn != (m_nLatchedEnable != 0);
        if (changed)
        {
            InterlockedExchange(&m_lFadeState, m_nLatchedEnable ? EFFECT_FADE_TO_WET : EFFECT_FADE_TO_DRY);
        }
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
    // Both paths run whatever the node hands back, so neither limiter holds a stale stream
    // when the node turns to it.
    ConvertChannelCount(m_ppDry, channels, 2, Frames, 1);
    m_pLimiterB->Process(m_ppDry, Frames);
    RunEffect(channels, Frames);
    m_pLimiterA->Process(m_ppWet, Frames);
    HandBackBlock(input, channels, Frames, Format->Format.nSamplesPerSec, changed);
    return STATUS_SUCCESS;
}
