// The two vendor effect controls of the variant-D feature unit. Control 139 renders the stream
// to stereo through the tapped-delay effect, control 140 through the headphone virtualiser;
// each sits between two peak limiters (A on the effect path, B on the plain down-mix) and
// switches between the two paths with a 2 ms fade out and in whenever its enable byte changes.
// Both are processing nodes of the render stream: they leave the stereo result in the first two
// channels, which are all the variant-D stream sends to the device, and silence in the others, so
// the node that follows sees each input channel only once, in the front pair. The two nodes of
// one unit are paired: a node that is off while the other is on hands the stream on as it came,
// so the effect that is on renders every channel of it, whichever of the two comes first.
#pragma once

#include "driver/topology/nodes/effect_control_node.h"

class CEffectProcessor;
class CTappedDelayEffect;
class CHeadphoneVirtualizer;

// The node objects.
#define VARIANT_D_EFFECT_POOL_TAG MAKE_POOL_TAG('8', '1', '7', '7')
// Their limiters and the virtualiser.
#define VARIANT_D_EFFECT_LIMITER_POOL_TAG MAKE_POOL_TAG('K', 'W', 'I', 'B')
// Their work sets and the tapped-delay effect.
#define VARIANT_D_EFFECT_WORK_POOL_TAG MAKE_POOL_TAG('D', 'o', 'H', 'P')

constexpr ULONG VARIANT_D_DELAY_SELECTOR = 139;
constexpr ULONG VARIANT_D_VIRTUALIZER_SELECTOR = 140;
// A work set holds this many channels of this many samples: what the stream's float buffers hold.
constexpr ULONG VARIANT_D_WORK_CHANNELS = 8;
constexpr ULONG VARIANT_D_WORK_FRAMES = 512;
// The boost of each node's effect path: +9 dB for the delay, +6 dB for the virtualiser.
constexpr float VARIANT_D_DELAY_BOOST = 2.8183f;
constexpr float VARIANT_D_VIRTUALIZER_BOOST = 2.0f;
// Control 140's parameters: the room (0 to 2) and the alternative angle set.
constexpr ULONG VARIANT_D_PARAMETER_ROOM = 0;
constexpr ULONG VARIANT_D_PARAMETER_ANGLE_SET = 1;
constexpr ULONG VARIANT_D_PARAMETER_COUNT = 2;
constexpr ULONG VARIANT_D_ROOM_MAX = 2;

// {AC02E636-CB62-42EF-A97C-5F4C1CDFEC13}
DEFINE_GUID(VARIANT_D_DELAY_EFFECT_NAME, 0xAC02E636, 0xCB62, 0x42EF, 0xA9, 0x7C, 0x5F, 0x4C, 0x1C, 0xDF, 0xEC,
            0x13);
// {C7600B33-1AA6-4383-918D-30D848BBAD3E}
DEFINE_GUID(VARIANT_D_VIRTUALIZER_EFFECT_NAME, 0xC7600B33, 0x1AA6, 0x4383, 0x91, 0x8D, 0x30, 0xD8, 0x48, 0xBB,
            0xAD, 0x3E);

// Down-mixes Frames samples of SourceCount channels in place into channels 0 and 1. Only the
// target of two channels with Flag 1 is defined: four channels give left - 2, right + 3; six give
// left + 0.707 x 2 + 3 + 4 and right + 0.707 x 2 + 3 + 5; eight add 6 and 7 to those. Nothing is
// scaled down and channels 2 and above keep their samples; any other count or target changes
// nothing. Any IRQL.
VOID ConvertChannelCount(float* const* Channels, ULONG SourceCount, ULONG TargetCount, ULONG Frames,
                         UCHAR Flag);

// What both nodes share: the work sets, the two limiters and the processing around the effect.
class CVariantDEffectControl : public CEffectControlNode
{
public:
    CVariantDEffectControl(PUNKNOWN UnknownOuter, ULONG Id);
    ~CVariantDEffectControl() override; // PASSIVE_LEVEL

    // IDspNode. Process: DISPATCH_LEVEL in the stream's submit path (or below it in tests);
    // works in place on the stream's per-channel float buffers, hands back the stereo result
    // in channels 0 and 1 with silence above them (or, while off with its partner on, every
    // channel as it came), and always succeeds. Stop is the flush of a stopped stream: the
    // effect's memory and both limiters start silent again.
    STDMETHODIMP_(NTSTATUS) Reset() override;
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Stop() override;

    // Pairs the two effect nodes of one feature unit. No reference is taken either way: the
    // two are children of one unit and go with it, a reference each way would keep both alive
    // for ever, and whichever goes first unpairs the other in its destructor. PASSIVE_LEVEL,
    // before the stream runs.
    static VOID Pair(CVariantDEffectControl* First, CVariantDEffectControl* Second);

protected:
    // The work sets and both limiters, limiter A with the effect path's boost. FALSE when pool
    // ran out: what was made stays for the destructor. PASSIVE_LEVEL.
    BOOLEAN CreateWorkObjects(float BoostA);
    BOOLEAN HasEffect() const { return m_pEffect != nullptr; }
    // The effect path on the wet set, rendering Channels to stereo in its first two channels.
    // Under the node's spin lock.
    virtual VOID RunEffect(ULONG Channels, ULONG Frames) = 0;
    // The wet set as the effect path wants it, once filled from the input. Under the spin lock.
    virtual VOID PrepareInput(float* const* Input, ULONG Channels, ULONG Frames) {}
    virtual VOID FlushEffect() {}
    // TRUE when the effect path takes every one of Channels channels into its rendering; the
    // partner of a node that does not hands it a down-mix rather than lose the rest.
    virtual BOOLEAN RendersEveryChannel(ULONG Channels) const = 0;

    float** m_ppDry; // VARIANT_D_WORK_CHANNELS buffers of VARIANT_D_WORK_FRAMES floats
    float** m_ppWet;
    CEffectProcessor* m_pLimiterA; // the effect path
    CEffectProcessor* m_pLimiterB; // the down-mix
    PVOID m_pEffect;               // the derived node's effect object, null when none was made

private:
    // What the node hands back for a block: the down-mix, the effect's rendering, or the stream
    // as it came.
    enum HandBackSource
    {
        HAND_BACK_DRY,
        HAND_BACK_WET,
        HAND_BACK_INPUT,
    };
    // What the node knew of its partner at the end of the last block it processed.
    enum PartnerState
    {
        PARTNER_UNSEEN, // no block yet since the stream started
        PARTNER_OFF,
        PARTNER_ON,
    };

    BOOLEAN IsComplete() const;
    BOOLEAN CanProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) const;
    // TRUE when the partner can render all Channels channels of the stream and its enable byte
    // is set. Under the node's spin lock, which the partner's destructor takes to unpair.
    BOOLEAN IsPartnerOn(ULONG Channels) const;
    HandBackSource ChooseOutput(ULONG Channels, BOOLEAN Changed) const;
    const float* SourceChannel(HandBackSource Source, float* const* Input, ULONG Channel) const;
    VOID HandBack(float* const* Input, HandBackSource Source, ULONG Channels, ULONG Frames);
    VOID FadeBack(float* const* Input, HandBackSource From, HandBackSource To, ULONG Channels, ULONG Frames,
                  ULONG RateHz);
    VOID HandBackBlock(float* const* Input, ULONG Channels, ULONG Frames, ULONG RateHz, BOOLEAN Changed);

    CVariantDEffectControl* m_pPartner; // the unit's other effect node, null when it has none
    LONG m_lPartnerState;               // PartnerState, under the spin lock
};

class CVariantDEffectControl139 : public CVariantDEffectControl
{
public:
    CVariantDEffectControl139(PUNKNOWN UnknownOuter, ULONG Id);
    ~CVariantDEffectControl139() override;

    // Unit: the feature unit (answers IFeatureUnitSwitch); SettingsDevice keeps the enable byte;
    // DeviceLock serialises the unit's requests. The status is the enable control's set-up: an
    // effect object the pool cannot hold is left out and the node passes its samples through.
    // PASSIVE_LEVEL.
    NTSTATUS Init(ITopologyNode* Unit, ULONG Selector, PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock);
    using CVariantDEffectControl::Init; // the effect node's own Init stays reachable

    // The effect's rate programme and the limiters' channel count follow the stream. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE Format) override;

    CTappedDelayEffect* Effect() { return static_cast<CTappedDelayEffect*>(m_pEffect); }

protected:
    VOID RunEffect(ULONG Channels, ULONG Frames) override;
    VOID PrepareInput(float* const* Input, ULONG Channels, ULONG Frames) override;
    VOID FlushEffect() override;
    BOOLEAN RendersEveryChannel(ULONG Channels) const override;
};

class CVariantDEffectControl140 : public CVariantDEffectControl
{
public:
    CVariantDEffectControl140(PUNKNOWN UnknownOuter, ULONG Id);
    ~CVariantDEffectControl140() override;

    // As control 139's, then the virtualiser in headphone mode with the saved room and angle set
    // (a saved room outside 0 to 2 keeps the default). PASSIVE_LEVEL.
    NTSTATUS Init(ITopologyNode* Unit, ULONG Selector, PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock);
    using CVariantDEffectControl::Init; // the effect node's own Init stays reachable

    // The virtualiser takes the stream's channels and rate; the limiters run on a 32-bit float
    // copy of the stream's format. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE Format) override;

    // IEffectNode parameters: 0 the room, 1 the angle set. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) GetParameters(ULONG First, ULONG Count, PULONG Values) override;
    STDMETHODIMP_(NTSTATUS) SetParameters(ULONG First, ULONG Count, const ULONG* Values) override;

    CHeadphoneVirtualizer* Virtualizer() { return static_cast<CHeadphoneVirtualizer*>(m_pEffect); }
    const WAVEFORMATEXTENSIBLE& ProcessingFormat() const { return m_ProcessingFormat; }

protected:
    VOID RunEffect(ULONG Channels, ULONG Frames) override;
    BOOLEAN RendersEveryChannel(ULONG Channels) const override;

private:
    VOID LoadSavedParameters();
    VOID ApplyRoom(ULONG Room);
    VOID ApplyAngleSet(ULONG AngleSet);
    NTSTATUS AccessParameter(ULONG Operation, ULONG Index, PULONG Value);

    PDEVICE_OBJECT m_pSettingsDevice;
    WAVEFORMATEXTENSIBLE m_ProcessingFormat;
    WAVEFORMATEX m_VirtualizerFormat;
    ULONG m_nParameters[VARIANT_D_PARAMETER_COUNT];
};
