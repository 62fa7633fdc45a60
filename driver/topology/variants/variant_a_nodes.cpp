// CVariantAMuteControl and CVariantAVolumeControl.
#include "driver/topology/variants/variant_a_nodes.h"

#include "driver/core/settings_store.h"
#include "driver/primitives/sp_lib.h"
#include "driver/topology/nodes/node_atomic.h"
#include "driver/topology/nodes/node_processing.h"

namespace
{

// 1/65536 dB to the exponent of 10: level / 65536 / 20.
constexpr float LEVEL_PER_DECADE = 1310720.0f;
constexpr float GAIN_BASE = 10.0f;

} // namespace

// ---- Mute ----

STDMETHODIMP_(NTSTATUS)
CVariantAMuteControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (Interface && IsEqualGUIDAligned(InterfaceId, IID_IDspNode))
    {
        *Interface = PVOID(static_cast<IDspNode*>(this));
        AddRef();
        return STATUS_SUCCESS;
    }
    return CBooleanControlNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

STDMETHODIMP_(NTSTATUS) CVariantAMuteControl::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    const BOOLEAN muted = m_pValues && ReadValue(0) ? TRUE : FALSE;
    return PinGatedMuteProcess(Format, Data, Frames, NodeReadPinType(), muted);
}

// ---- Volume ----

CVariantAVolumeControl::CVariantAVolumeControl(PUNKNOWN UnknownOuter, ULONG Id)
    : CVolumeControlNode(UnknownOuter, Id)
{
    for (ULONG i = 0; i < VARIANT_A_VOLUME_GAINS; i++)
    {
        m_Gains[i] = 1.0f;
    }
}

STDMETHODIMP_(NTSTATUS)
CVariantAVolumeControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (Interface && IsEqualGUIDAligned(InterfaceId, IID_IDspNode))
    {
        *Interface = PVOID(static_cast<IDspNode*>(this));
        AddRef();
        return STATUS_SUCCESS;
    }
    return CVolumeControlNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS CVariantAVolumeControl::InitVariantAVolume(ITopologyNode* Owner, ULONG Selector,
                                                    PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    NTSTATUS status = InitLevelControlNode(Owner, Selector, SettingsDevice, DeviceLock);
    if (NT_SUCCESS(status))
    {
        UpdateGains();
    }
    return status;
}

// gain = 10 ^ (level / 1310720) for every channel at once; silence underflows to 0.
VOID CVariantAVolumeControl::UpdateGains()
{
    int32_t levels[VARIANT_A_VOLUME_GAINS] = {};
    float exponents[VARIANT_A_VOLUME_GAINS];
    float bases[VARIANT_A_VOLUME_GAINS];
    float gains[VARIANT_A_VOLUME_GAINS];
    const ULONG count = m_nChannelCount < VARIANT_A_VOLUME_GAINS ? m_nChannelCount : VARIANT_A_VOLUME_GAINS;
    for (ULONG c = 0; c < count && m_pLevels; c++)
    {
        levels[c] = ReadLevel(c);
    }
    if (SpConvertI32ToF32(levels, exponents, VARIANT_A_VOLUME_GAINS) != 0 ||
        SpDivConstInPlaceF32(LEVEL_PER_DECADE, exponents, VARIANT_A_VOLUME_GAINS) != 0 ||
        SpSetF32(GAIN_BASE, bases, VARIANT_A_VOLUME_GAINS) != 0 ||
        SpPowF32(bases, exponents, gains, VARIANT_A_VOLUME_GAINS) < 0)
    {
        return;
    }
    for (ULONG c = 0; c < VARIANT_A_VOLUME_GAINS; c++)
    {
        NodeWriteFloat(&m_Gains[c], c < count ? gains[c] : 1.0f);
    }
}

float CVariantAVolumeControl::GetGain(ULONG Channel)
{
    return Channel < VARIANT_A_VOLUME_GAINS ? NodeReadFloat(&m_Gains[Channel]) : 1.0f;
}

STDMETHODIMP_(NTSTATUS) CVariantAVolumeControl::SetLevel(ULONG Channel, LONG Level)
{
    PAGED_CODE();
    NTSTATUS status = CVolumeControlNode::SetLevel(Channel, Level);
    if (NT_SUCCESS(status))
    {
        UpdateGains();
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantAVolumeControl::SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify)
{
    PAGED_CODE();
    NTSTATUS status = CVolumeControlNode::SetPinType(PinType, Notify);
    UpdateGains();
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantAVolumeControl::SaveValues()
{
    PAGED_CODE();
    NTSTATUS status = CVolumeControlNode::SaveValues();
    UpdateGains();
    return status;
}

STDMETHODIMP_(NTSTATUS)
CVariantAVolumeControl::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    const ULONG count = m_nChannelCount < VARIANT_A_VOLUME_GAINS ? m_nChannelCount : VARIANT_A_VOLUME_GAINS;
    return PinGatedGainProcess(Format, Data, Frames, NodeReadPinType(), m_Gains, count);
}

// ---- The S/PDIF input's mute ----

STDMETHODIMP_(NTSTATUS)
CVariantAMuteSwitchControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (Interface && IsEqualGUIDAligned(InterfaceId, IID_IDspNode))
    {
        *Interface = PVOID(static_cast<IDspNode*>(this));
    }
    else if (Interface && IsEqualGUIDAligned(InterfaceId, IID_IConnectionIndexSync))
    {
        *Interface = PVOID(static_cast<IConnectionIndexSync*>(this));
    }
    else
    {
        return CBooleanControlNode::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CVariantAMuteSwitchControl::SetExpectedIndex(ULONG Index)
{
    NodeWriteUlong(&m_nExpectedIndex, Index);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CVariantAMuteSwitchControl::SetWalkIndex(ULONG Index)
{
    NodeWriteUlong(&m_nWalkIndex, Index);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CVariantAMuteSwitchControl::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    const BOOLEAN muted = m_pValues && ReadValue(0) ? TRUE : FALSE;
    return GatedMuteProcess(Format, Data, Frames, NodeReadUlong(&m_nExpectedIndex), muted);
}

// ---- The record units' software mute ----

STDMETHODIMP_(NTSTATUS)
CVariantASoftMuteControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (Interface && IsEqualGUIDAligned(InterfaceId, IID_IDspNode))
    {
        *Interface = PVOID(static_cast<IDspNode*>(this));
        AddRef();
        return STATUS_SUCCESS;
    }
    return CBooleanControlNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

STDMETHODIMP_(NTSTATUS) CVariantASoftMuteControl::SetValue(ULONG Channel, UCHAR Value)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    if (Channel >= m_nChannelCount || !m_pValues)
    {
        return STATUS_INVALID_PARAMETER;
    }
    WriteValue(Channel, Value);
    m_Binding.AccessChannelValue(SETTINGS_OPERATION_WRITE, m_nId, NodeReadPinType(), Channel, &Value,
                                 sizeof(Value));
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CVariantASoftMuteControl::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    const BOOLEAN muted = m_pValues && ReadValue(0) ? TRUE : FALSE;
    return SoftwareMuteProcess(Format, Data, Frames, muted);
}

// ---- The 0x28DA model's state switch ----

namespace
{

constexpr ULONG STATE_REGISTER = 1;
constexpr USHORT STATE_MASK = 0x30;
constexpr USHORT STATE_ON = 0x10;
constexpr USHORT STATE_OFF = 0x30;
constexpr ULONG STATE_NAME_CCH = 32;

} // namespace

NTSTATUS CVariantAStateControl::InitStateControl(ULONG SourceId, PDEVICE_OBJECT SettingsDevice,
                                                 IVariantARegisters* Registers)
{
    PAGED_CODE();
    m_pRegisters = Registers;
    m_pSettingsDevice = SettingsDevice;
    NTSTATUS status = Init(SourceId, 1);
    UCHAR saved = 0;
    if (NT_SUCCESS(status) && NT_SUCCESS(AccessSaved(SETTINGS_OPERATION_READ, &saved)))
    {
        WriteValue(0, saved);
    }
    return status;
}

// "Unit" with the node id and the pin type, then the channel.
NTSTATUS CVariantAStateControl::AccessSaved(ULONG Operation, PUCHAR Value)
{
    PAGED_CODE();
    if (!m_pSettingsDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    WCHAR prefix[STATE_NAME_CCH];
    NTSTATUS status = RtlStringCchPrintfW(prefix, STATE_NAME_CCH, u"Unit%02d_%2d_", m_nId, NodeReadPinType());
    return NT_SUCCESS(status)
               ? AccessIndexedSetting(m_pSettingsDevice, Operation, Value, sizeof(*Value), prefix, 0)
               : status;
}

STDMETHODIMP_(NTSTATUS) CVariantAStateControl::GetValue(ULONG Channel, PUCHAR Value)
{
    PAGED_CODE();
    return Channel == 0 ? CVariantASwitchNode::GetValue(Channel, Value) : STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) CVariantAStateControl::SetValue(ULONG Channel, UCHAR Value)
{
    PAGED_CODE();
    if (Channel != 0 || !m_pRegisters || !m_pValues)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status =
        m_pRegisters->WriteMaskedRegister(STATE_REGISTER, Value ? STATE_ON : STATE_OFF, STATE_MASK);
    if (NT_SUCCESS(status))
    {
        WriteValue(0, Value);
        AccessSaved(SETTINGS_OPERATION_WRITE, &Value);
    }
    return status;
}
