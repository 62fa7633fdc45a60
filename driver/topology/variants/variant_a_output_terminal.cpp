// CVariantAOutputTerminal: pin types, chip programming and the panel's jacks.
#include "driver/topology/variants/variant_a_output_terminal.h"

#include "usbaudio.h"
#include "driver/core/pin_type.h"
#include "driver/core/settings_store.h"

namespace
{

constexpr ULONG OT_SOURCE_ID_OFFSET = 7;
constexpr ULONG OT_MIN_BYTES = 9;

// Register programming of a pin type: register, value, mask, three writes in this order.
struct RegisterWrite
{
    ULONG Register;
    USHORT Value;
    USHORT Mask;
};
struct PinTypeProgram
{
    ULONG PinType;
    RegisterWrite Writes[3];
};
// pin type      register 2                register 1      register 0
const PinTypeProgram kPrograms[] = {
    {PIN_TYPE_SPK, {{2, 0xE000, 0xFFFF}, {1, 0x0002, 0x0002}, {0, 0x0000, 0x8000}}},
    {PIN_TYPE_HP, {{2, 0xFFE0, 0xFFFF}, {1, 0x0002, 0x0002}, {0, 0x0000, 0x8000}}},
    {PIN_TYPE_SPDIF, {{2, 0xE7F8, 0xFFFF}, {1, 0x0000, 0x0002}, {0, 0x8000, 0x8000}}},
};

// The panel's jacks: channel mapping and colour of each; all 3.5 mm (1) at the rear (1) except
// the optical S/PDIF output (5).
struct PanelJack
{
    ULONG ChannelMapping;
    ULONG Color;
};
const PanelJack kSpeakerJacks[] = {{0x3, 0x00FF00}, {0xC, 0xFF8000}, {0x30, 0}, {0x600, 0}};
const PanelJack kHeadphoneJacks[] = {{0x3, 0x00FF00}};
const PanelJack kSpdifJacks[] = {{0x3, 0}};
constexpr ULONG CONNECTION_3_5MM = 1;
constexpr ULONG CONNECTION_OPTICAL = 5;
constexpr ULONG LOCATION_REAR = 1;
constexpr ULONG SPEAKER_JACKS_SIX_CHANNELS = 3;

const PanelJack* PanelJacks(ULONG PinType, UCHAR EightChannels, PULONG Count)
{
    switch (PinType)
    {
    case PIN_TYPE_SPK:
        *Count = EightChannels ? ARRAYSIZE(kSpeakerJacks) : SPEAKER_JACKS_SIX_CHANNELS;
        return kSpeakerJacks;
    case PIN_TYPE_HP:
        *Count = ARRAYSIZE(kHeadphoneJacks);
        return kHeadphoneJacks;
    case PIN_TYPE_SPDIF:
        *Count = ARRAYSIZE(kSpdifJacks);
        return kSpdifJacks;
    default:
        *Count = 0;
        return nullptr;
    }
}

} // namespace

CVariantAOutputTerminal::CVariantAOutputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : CUac1OutputTerminal(UnknownOuter, Id), m_pRegisters(nullptr), m_pAudioFunction(nullptr),
      m_EightChannelJacks(0)
{
}

NTSTATUS CVariantAOutputTerminal::InitSwitchedOutput(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                                     IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                                     IVariantARegisters* Registers, BOOLEAN SupportSpdif,
                                                     BOOLEAN SupportHeadphones, BOOLEAN EightChannels)
{
    PAGED_CODE();
    if (!Registers || !AdapterCommon)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG types[3];
    ULONG count = 0;
    types[count++] = PIN_TYPE_SPK;
    if (SupportHeadphones)
    {
        types[count++] = PIN_TYPE_HP;
    }
    if (SupportSpdif)
    {
        types[count++] = PIN_TYPE_SPDIF;
    }
    NTSTATUS status = AllocPinTypeArrays(count);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    for (ULONG i = 0; i < count; i++)
    {
        m_pPinTypes[i] = types[i];
    }
    m_pRegisters = Registers;
    m_pAudioFunction = AdapterCommon;
    m_EightChannelJacks = EightChannels ? 1 : 0;
    status = Init(Descriptor, Length, Device, AdapterCommon, DeviceLock);
    if (NT_SUCCESS(status))
    {
        ProgramChip(m_nPinType);
    }
    return status;
}

VOID CVariantAOutputTerminal::ProgramChip(ULONG PinType)
{
    PAGED_CODE();
    for (const PinTypeProgram& program : kPrograms)
    {
        if (program.PinType != PinType)
        {
            continue;
        }
        for (const RegisterWrite& write : program.Writes)
        {
            m_pRegisters->WriteMaskedRegister(write.Register, write.Value, write.Mask);
        }
    }
}

// The list is the switches'; the pin type starts as the speaker and then as saved.
NTSTATUS CVariantAOutputTerminal::BuildTerminalNodes(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon || !m_pDescriptor || m_nPinTypeCount == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pDescriptor[0] < OT_MIN_BYTES)
    {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = TakeSingleSourceIdentity(USB_AUDIO_AC_OUTPUT_TERMINAL, OT_SOURCE_ID_OFFSET);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG saved = PIN_TYPE_SPK;
    AccessPinTypeValue(AdapterCommon->GetDeviceObject(), SETTINGS_OPERATION_READ, &saved);
    // A saved type the switches no longer offer falls back to the speaker.
    m_nPinType = FindPinType(saved) < m_nPinTypeCount ? saved : PIN_TYPE_SPK;
    return BuildPinNodes(AdapterCommon);
}

ULONG CVariantAOutputTerminal::CurrentIndex()
{
    return FindPinType(m_nPinType);
}

STDMETHODIMP_(NTSTATUS) CVariantAOutputTerminal::SetPinType(ULONG PinType)
{
    PAGED_CODE();
    if (FindPinType(PinType) >= m_nPinTypeCount)
    {
        return STATUS_UNSUCCESSFUL;
    }
    m_nPinType = PinType;
    ProgramChip(PinType);
    ULONG value = PinType;
    AccessPinTypeValue(m_pAudioFunction->GetDeviceObject(), SETTINGS_OPERATION_WRITE, &value);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CVariantAOutputTerminal::GetJackCountAt(ULONG PinIndex, PULONG Count)
{
    PAGED_CODE();
    if (!Count || PinIndex >= m_nPinTypeCount)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PanelJacks(m_pPinTypes[PinIndex], m_EightChannelJacks, Count);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CVariantAOutputTerminal::GetJackCount(PULONG Count)
{
    PAGED_CODE();
    return GetJackCountAt(CurrentIndex(), Count);
}

STDMETHODIMP_(NTSTATUS)
CVariantAOutputTerminal::GetJackDescriptionsAt(ULONG PinIndex, ULONG Bytes, PVOID Records)
{
    PAGED_CODE();
    if (!Records || PinIndex >= m_nPinTypeCount)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = 0;
    const ULONG pinType = m_pPinTypes[PinIndex];
    const PanelJack* jacks = PanelJacks(pinType, m_EightChannelJacks, &count);
    if (!jacks || Bytes / sizeof(JackRecord) < count)
    {
        return STATUS_SUCCESS;
    }
    ULONG connectAll = 0;
    AccessSetting(m_pAudioFunction->GetDeviceObject(), SETTINGS_OPERATION_READ, &connectAll,
                  sizeof(connectAll), u"SetJackConnect");
    JackRecord* out = static_cast<JackRecord*>(Records);
    for (ULONG i = 0; i < count; i++)
    {
        RtlZeroMemory(&out[i], sizeof(JackRecord));
        out[i].ChannelMapping = jacks[i].ChannelMapping;
        out[i].Color = jacks[i].Color;
        out[i].ConnectionType = pinType == PIN_TYPE_SPDIF ? CONNECTION_OPTICAL : CONNECTION_3_5MM;
        out[i].GeoLocation = LOCATION_REAR;
        out[i].IsConnected = connectAll != 0 || pinType == m_nPinType ? 1 : 0;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CVariantAOutputTerminal::GetJackDescriptions(ULONG Bytes, PVOID Records)
{
    PAGED_CODE();
    return GetJackDescriptionsAt(CurrentIndex(), Bytes, Records);
}

NTSTATUS CVariantAOutputTerminal::OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id)
{
    PAGED_CODE();
    ULONG count = 0;
    GetChildCount(&count);
    for (ULONG i = 0; i < count && Id; i++)
    {
        ITopologyNode* pChild = nullptr;
        if (NT_SUCCESS(GetChildAt(i, &pChild)) && pChild->GetKind() == NODE_KIND_OUTPUT_TERMINAL)
        {
            *Id = pChild->GetId();
            return pChild->SaveValues();
        }
    }
    return STATUS_UNSUCCESSFUL;
}
