// The two variant-D effect nodes: control 139 with its tapped-delay effect, control 140 with its
// headphone virtualiser, their set-up, stream format, and control 140's room and angle-set
// parameters with their saved values.
#include "driver/topology/variants/variant_d_effect_controls.h"

#include "driver/topology/nodes/control_binding.h"
#include "driver/dsp/dsp_format.h"
#include "driver/dsp/effect_processor.h"
#include "driver/dsp/headphone_virtualizer.h"
#include "driver/dsp/tapped_delay_effect.h"
#include "driver/core/settings_store.h"
#include "driver/primitives/sp_lib.h"

namespace
{

// Keeps a stream from producing denormals in the delay network's feedback when it falls silent.
constexpr float DENORMAL_GUARD = 1e-12f;

constexpr USHORT FORMAT_CODE_IEEE_FLOAT = 3;
constexpr ULONG FLOAT_BYTES = 4;

// The virtualiser's format until a stream starts: stereo float at its own rate.
constexpr ULONG VIRTUALIZER_SETUP_RATE_HZ = 44100;
constexpr USHORT VIRTUALIZER_SETUP_CHANNELS = 2;
constexpr USHORT VIRTUALIZER_SETUP_BITS = 16;
// The virtualiser reads only the channels and rate of this record; the rest is filled in for
// completeness.
constexpr USHORT VIRTUALIZER_SETUP_BLOCK_ALIGN = 4;
// The angle code both modes start with, and the crosstalk angle code of headphone mode (off).
constexpr ULONG VIRTUALIZER_SETUP_ANGLE = 3;
constexpr ULONG VIRTUALIZER_SETUP_CTC = 0;

// A 32-bit float copy of Format: the limiters of control 140 run on the virtualiser's output.
VOID MakeFloatFormat(PCWAVEFORMATEXTENSIBLE Format, WAVEFORMATEXTENSIBLE* Float)
{
    DspCopyFormat(Float, Format);
    if (DspFormatCode(*Float) == FORMAT_CODE_IEEE_FLOAT)
    {
        return;
    }
    WAVEFORMATEX& f = Float->Format;
    f.wBitsPerSample = 32;
    f.nBlockAlign = USHORT(f.nChannels * FLOAT_BYTES);
    f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
    if (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
    {
        Float->Samples.wValidBitsPerSample = 32;
        Float->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    }
    else
    {
        f.wFormatTag = FORMAT_CODE_IEEE_FLOAT;
    }
}

} // namespace

// ---- Control 139: the tapped-delay effect ----

CVariantDEffectControl139::CVariantDEffectControl139(PUNKNOWN UnknownOuter, ULONG Id)
    : CVariantDEffectControl(UnknownOuter, Id)
{
}

CVariantDEffectControl139::~CVariantDEffectControl139()
{
    if (m_pEffect)
    {
        Effect()->~CTappedDelayEffect();
        ExFreePoolWithTag(m_pEffect, TAPPED_DELAY_POOL_TAG);
        m_pEffect = nullptr;
    }
}

NTSTATUS CVariantDEffectControl139::Init(ITopologyNode* Unit, ULONG Selector, PDEVICE_OBJECT SettingsDevice,
                                         CMutexLock* DeviceLock)
{
    PAGED_CODE();
    m_NameGuid = VARIANT_D_DELAY_EFFECT_NAME;
    const NTSTATUS status = InitEffectControlNode(Unit, Selector, SettingsDevice, DeviceLock);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (!CreateWorkObjects(VARIANT_D_DELAY_BOOST))
    {
        DbgPrint("CVariantDEffectControl139: node %u has no memory for its limiters or work buffers; the "
                 "stream passes it unprocessed\n",
                 m_nId);
        return status;
    }
    CTappedDelayEffect* pEffect = new (NonPagedPool, TAPPED_DELAY_POOL_TAG) CTappedDelayEffect();
    if (pEffect)
    {
        pEffect->Init();
        m_pEffect = pEffect;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantDEffectControl139::Start(PCWAVEFORMATEXTENSIBLE Format)
{
    PAGED_CODE();
    if (!Format)
    {
        return STATUS_SUCCESS;
    }
    CEffectControlNode::Start(Format);
    const ULONG channels = Format->Format.nChannels;
    if (m_pEffect && channels > 0)
    {
        Effect()->SetFormat(Format->Format.nSamplesPerSec, channels - 1);
    }
    if (m_pLimiterA)
    {
        m_pLimiterA->SetFormat(Format);
    }
    if (m_pLimiterB)
    {
        m_pLimiterB->SetFormat(Format);
    }
    return STATUS_SUCCESS;
}

VOID CVariantDEffectControl139::PrepareInput(float* const* Input, ULONG Channels, ULONG Frames)
{
    for (ULONG c = 0; c < Channels; c++)
    {
        SpAddConstInPlaceF32(DENORMAL_GUARD, Input[c], LONG(Frames));
    }
}

VOID CVariantDEffectControl139::RunEffect(ULONG Channels, ULONG Frames)
{
    Effect()->Process(m_ppWet, m_ppWet, Frames);
}

// The room network is fed from the 5.1 and 7.1 layouts; it is silent for any other.
BOOLEAN CVariantDEffectControl139::RendersEveryChannel(ULONG Channels) const
{
    return Channels == 6 || Channels == 8;
}

VOID CVariantDEffectControl139::FlushEffect()
{
    Effect()->Clear();
}

// ---- Control 140: the headphone virtualiser ----

CVariantDEffectControl140::CVariantDEffectControl140(PUNKNOWN UnknownOuter, ULONG Id)
    : CVariantDEffectControl(UnknownOuter, Id), m_pSettingsDevice(nullptr)
{
    RtlZeroMemory(&m_ProcessingFormat, sizeof(m_ProcessingFormat));
    RtlZeroMemory(&m_VirtualizerFormat, sizeof(m_VirtualizerFormat));
    m_nParameters[VARIANT_D_PARAMETER_ROOM] = 0;
    m_nParameters[VARIANT_D_PARAMETER_ANGLE_SET] = 0;
}

CVariantDEffectControl140::~CVariantDEffectControl140()
{
    delete Virtualizer();
    m_pEffect = nullptr;
}

NTSTATUS CVariantDEffectControl140::Init(ITopologyNode* Unit, ULONG Selector, PDEVICE_OBJECT SettingsDevice,
                                         CMutexLock* DeviceLock)
{
    PAGED_CODE();
    m_nParameterCount = VARIANT_D_PARAMETER_COUNT;
    m_NameGuid = VARIANT_D_VIRTUALIZER_EFFECT_NAME;
    m_pSettingsDevice = SettingsDevice;
    const NTSTATUS status = InitEffectControlNode(Unit, Selector, SettingsDevice, DeviceLock);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (!CreateWorkObjects(VARIANT_D_VIRTUALIZER_BOOST))
    {
        DbgPrint("CVariantDEffectControl140: node %u has no memory for its limiters or work buffers; the "
                 "stream passes it unprocessed\n",
                 m_nId);
        return status;
    }
    CHeadphoneVirtualizer* pVirtualizer =
        new (NonPagedPool, VARIANT_D_EFFECT_LIMITER_POOL_TAG) CHeadphoneVirtualizer();
    if (!pVirtualizer)
    {
        return status;
    }
    WAVEFORMATEX& f = m_VirtualizerFormat;
    f.wFormatTag = FORMAT_CODE_IEEE_FLOAT;
    f.nChannels = VIRTUALIZER_SETUP_CHANNELS;
    f.nSamplesPerSec = VIRTUALIZER_SETUP_RATE_HZ;
    f.nBlockAlign = VIRTUALIZER_SETUP_BLOCK_ALIGN;
    f.nAvgBytesPerSec = VIRTUALIZER_SETUP_RATE_HZ * f.nBlockAlign;
    f.wBitsPerSample = VIRTUALIZER_SETUP_BITS;
    f.cbSize = 0;
    pVirtualizer->SetFormat(&m_VirtualizerFormat);
    pVirtualizer->SetEnable(1);
    pVirtualizer->SetMode(0);
    pVirtualizer->SetHeadphoneAngle(VIRTUALIZER_SETUP_ANGLE);
    pVirtualizer->SetSpeakerAngle(VIRTUALIZER_SETUP_ANGLE);
    pVirtualizer->SetCtcAngle(VIRTUALIZER_SETUP_CTC);
    m_pEffect = pVirtualizer;
    LoadSavedParameters();
    return status;
}

// A saved room the virtualiser has no responses for is a damaged setting: the default stays,
// rather than a value every later SetParameters would have to compare against.
VOID CVariantDEffectControl140::LoadSavedParameters()
{
    PAGED_CODE();
    CHeadphoneVirtualizer* v = Virtualizer();
    m_nParameters[VARIANT_D_PARAMETER_ROOM] = v->GetHeadphoneRoom();
    m_nParameters[VARIANT_D_PARAMETER_ANGLE_SET] = v->GetHeadphoneAltAngles();
    ULONG room = 0;
    if (NT_SUCCESS(AccessParameter(SETTINGS_OPERATION_READ, VARIANT_D_PARAMETER_ROOM, &room)))
    {
        if (room <= VARIANT_D_ROOM_MAX)
        {
            m_nParameters[VARIANT_D_PARAMETER_ROOM] = room;
        }
        else
        {
            DbgPrint("CVariantDEffectControl140: node %u ignores its saved room %u, which is not 0 to 2\n",
                     m_nId, room);
        }
    }
    AccessParameter(SETTINGS_OPERATION_READ, VARIANT_D_PARAMETER_ANGLE_SET,
                    &m_nParameters[VARIANT_D_PARAMETER_ANGLE_SET]);
    ApplyAngleSet(m_nParameters[VARIANT_D_PARAMETER_ANGLE_SET]);
    ApplyRoom(m_nParameters[VARIANT_D_PARAMETER_ROOM]);
}

NTSTATUS CVariantDEffectControl140::AccessParameter(ULONG Operation, ULONG Index, PULONG Value)
{
    PAGED_CODE();
    if (!m_pSettingsDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    WCHAR prefix[CONTROL_VALUE_NAME_CCH];
    NTSTATUS status = FormatSingleValueName(m_nId, prefix);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return AccessIndexedSetting(m_pSettingsDevice, Operation, Value, sizeof(*Value), prefix, Index);
}

// The room of the mode the virtualiser is in. Each virtualiser call that may rebuild its filter
// states runs under the node's spin lock, so the stream's Process never meets a freed state.
VOID CVariantDEffectControl140::ApplyRoom(ULONG Room)
{
    PAGED_CODE();
    CHeadphoneVirtualizer* v = Virtualizer();
    CNodeQueuedLockHold hold(&m_SpinLock);
    if (v->GetMode() != 0)
    {
        if (v->GetSpeakerRoom() != Room)
        {
            v->SetSpeakerRoom(Room);
        }
    }
    else if (v->GetHeadphoneRoom() != Room)
    {
        v->SetHeadphoneRoom(Room);
    }
}

VOID CVariantDEffectControl140::ApplyAngleSet(ULONG AngleSet)
{
    PAGED_CODE();
    CHeadphoneVirtualizer* v = Virtualizer();
    const ULONG flag = AngleSet ? 1 : 0;
    CNodeQueuedLockHold hold(&m_SpinLock);
    if (v->GetSpeakerAltAngles() != flag)
    {
        v->SetSpeakerAltAngles(flag);
    }
    if (v->GetHeadphoneAltAngles() != flag)
    {
        v->SetHeadphoneAltAngles(flag);
    }
}

STDMETHODIMP_(NTSTATUS) CVariantDEffectControl140::Start(PCWAVEFORMATEXTENSIBLE Format)
{
    PAGED_CODE();
    if (!Format)
    {
        return STATUS_SUCCESS;
    }
    CEffectControlNode::Start(Format);
    m_Lock.Lock();
    MakeFloatFormat(Format, &m_ProcessingFormat);
    if (m_pEffect)
    {
        // The stream has not started submitting: no Process runs while the engine is rebuilt.
        WAVEFORMATEX& f = m_VirtualizerFormat;
        f.wFormatTag = FORMAT_CODE_IEEE_FLOAT;
        f.nChannels = Format->Format.nChannels;
        f.nSamplesPerSec = Format->Format.nSamplesPerSec;
        f.wBitsPerSample = Format->Format.wBitsPerSample;
        f.nBlockAlign = USHORT(f.nChannels * f.wBitsPerSample / 8);
        f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
        f.cbSize = 0;
        Virtualizer()->SetFormat(&m_VirtualizerFormat);
    }
    if (m_pLimiterA)
    {
        m_pLimiterA->SetFormat(&m_ProcessingFormat);
    }
    if (m_pLimiterB)
    {
        m_pLimiterB->SetFormat(&m_ProcessingFormat);
    }
    m_Lock.Unlock();
    return STATUS_SUCCESS;
}

VOID CVariantDEffectControl140::RunEffect(ULONG Channels, ULONG Frames)
{
    Virtualizer()->Process(m_ppWet, LONG(Frames));
}

// The virtualiser places stereo, 5.1 and 7.1 (or mixes them down, at a rate its engine does
// not take); of any other layout it keeps the front pair alone.
BOOLEAN CVariantDEffectControl140::RendersEveryChannel(ULONG Channels) const
{
    return Channels == 2 || Channels == 6 || Channels == 8;
}

STDMETHODIMP_(NTSTATUS) CVariantDEffectControl140::GetParameters(ULONG First, ULONG Count, PULONG Values)
{
    PAGED_CODE();
    if (First > VARIANT_D_PARAMETER_COUNT || Count > VARIANT_D_PARAMETER_COUNT - First || (Count && !Values))
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_Lock.Lock();
    for (ULONG i = 0; i < Count; i++)
    {
        Values[i] = m_nParameters[First + i];
    }
    m_Lock.Unlock();
    return STATUS_SUCCESS;
}

// Every value is checked before any is applied, so a refused room leaves the angle set, the
// virtualiser and the settings as they were.
STDMETHODIMP_(NTSTATUS)
CVariantDEffectControl140::SetParameters(ULONG First, ULONG Count, const ULONG* Values)
{
    PAGED_CODE();
    if (!Values || Count == 0 || First > VARIANT_D_PARAMETER_COUNT ||
        Count > VARIANT_D_PARAMETER_COUNT - First)
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_Lock.Lock();
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < Count; i++)
    {
        const ULONG index = First + i;
        if (index == VARIANT_D_PARAMETER_ROOM && Values[i] != m_nParameters[index] &&
            Values[i] > VARIANT_D_ROOM_MAX)
        {
            status = STATUS_INVALID_PARAMETER;
        }
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < Count; i++)
    {
        const ULONG index = First + i;
        if (m_pEffect && index == VARIANT_D_PARAMETER_ROOM)
        {
            ApplyRoom(Values[i]);
        }
        else if (m_pEffect && Values[i] != m_nParameters[index])
        {
            ApplyAngleSet(Values[i]);
        }
        m_nParameters[index] = Values[i];
        AccessParameter(SETTINGS_OPERATION_WRITE, index, &m_nParameters[index]);
    }
    m_Lock.Unlock();
    return status;
}
