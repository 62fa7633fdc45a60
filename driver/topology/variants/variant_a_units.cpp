// The jack-sensing model's feature units: scaled levels, the volume table and the mute LED.
#include "driver/topology/variants/variant_a_units.h"

#include "usbaudio.h"
#include "driver/core/settings_store.h"
#include "driver/topology/nodes/level_control_node.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/variants/variant_a_nodes.h"

namespace
{

constexpr LONG LEVEL_SILENT = LONG(0x80000000);
constexpr SHORT DEVICE_SILENCE = SHORT(-32768);
constexpr LONG SCALED_STEP = 0x18000;      // 1.5 dB
constexpr LONG VOLUME_TABLE_STEP = 0x4000; // 0.25 dB
constexpr USHORT MAXIMUM_MASK = 0xFFF0;
constexpr ULONG LEVEL_SHIFT = 8;

// The jack-polling model (0x1E7D product 0x3750) forces the mute of its unit 11.
constexpr USHORT JACK_POLLING_VENDOR = 0x1E7D;
constexpr USHORT JACK_POLLING_PRODUCT = 0x3750;
constexpr UCHAR FORCED_MUTE_UNIT = 11;
// Its record units (2, 8, 15) the driver mutes in software on 0x7A31 product 0x0053.
constexpr USHORT SOFT_MUTE_VENDOR = 0x7A31;
constexpr USHORT SOFT_MUTE_PRODUCT = 0x0053;
// And on 0x28DA product 0x268E they carry the chip's state switch.
constexpr USHORT STATE_SWITCH_VENDOR = 0x28DA;
constexpr USHORT STATE_SWITCH_PRODUCT = 0x268E;

// Units by id: 9 and 11 scale by 3/2, 2, 8 and 15 by 3/8, 13 maps through the volume table, 16
// has only its mute.
struct UnitClassRow
{
    UCHAR UnitId;
    VariantAUnitClass Class;
};
// unit  class
const UnitClassRow kUnitClasses[] = {
    {2, VARIANT_A_UNIT_SCALED_3_8}, {8, VARIANT_A_UNIT_SCALED_3_8},  {15, VARIANT_A_UNIT_SCALED_3_8},
    {9, VARIANT_A_UNIT_SCALED_3_2}, {11, VARIANT_A_UNIT_SCALED_3_2}, {13, VARIANT_A_UNIT_VOLUME_TABLE},
    {16, VARIANT_A_UNIT_MUTE_ONLY},
};

// {dB value in 1/256 dB, device value}: the device's steps of 1 device decibel sound like this.
struct VolumeEntry
{
    SHORT Db;
    SHORT Device;
};
const VolumeEntry kVariantAVolumeTable[] = {
    {0, 0},         {-62, -256},    {-128, -512},    {-192, -768},   {-263, -1024},  {-331, -1280},
    {-402, -1536},  {-477, -1792},  {-556, -2048},   {-638, -2304},  {-717, -2560},  {-804, -2816},
    {-894, -3072},  {-989, -3328},  {-1088, -3584},  {-1188, -3840}, {-1298, -4096}, {-1411, -4352},
    {-1529, -4608}, {-1657, -4864}, {-1785, -5120},  {-1920, -5376}, {-2082, -5632}, {-2240, -5888},
    {-2420, -6144}, {-2612, -6400}, {-2816, -6656},  {-3072, -6912}, {-3303, -7168}, {-3584, -7424},
    {-3917, -7680}, {-4301, -7936}, {-4788, -8192},  {-5402, -8448}, {-6221, -8704}, {-7578, -8960},
    {-8500, -9216}, {-8832, -9728}, {-32768, -9728},
};
constexpr ULONG VOLUME_ENTRIES = sizeof(kVariantAVolumeTable) / sizeof(kVariantAVolumeTable[0]);
static_assert(VOLUME_ENTRIES == 39, "the volume table has 39 entries");

LONG Saturate(LONGLONG Value)
{
    return LONG(Value > 0x7FFFFFFF ? 0x7FFFFFFF : (Value < -0x7FFFFFFF ? -0x7FFFFFFF : Value));
}

BOOLEAN IsToneSelector(ULONG Selector)
{
    return Selector >= USB_AUDIO_FU_BASS_CONTROL && Selector <= USB_AUDIO_FU_TREBLE_CONTROL ? TRUE : FALSE;
}

LONG RangeEnd(SHORT Device, BOOLEAN Minimum)
{
    for (ULONG k = 1; k < VOLUME_ENTRIES; k++)
    {
        if (kVariantAVolumeTable[k].Device < Device)
        {
            return kVariantAVolumeTable[Minimum ? k : k - 1].Db;
        }
    }
    return Device;
}

} // namespace

VariantAUnitClass VariantAFeatureUnitClass(USHORT VendorId, USHORT ProductId, UCHAR UnitId)
{
    if (UnitId == FORCED_MUTE_UNIT && VendorId == JACK_POLLING_VENDOR && ProductId == JACK_POLLING_PRODUCT)
    {
        return VARIANT_A_UNIT_FORCED_MUTE;
    }
    const BOOLEAN recordUnit = UnitId == 2 || UnitId == 8 || UnitId == 15;
    if (recordUnit && VendorId == SOFT_MUTE_VENDOR && ProductId == SOFT_MUTE_PRODUCT)
    {
        return VARIANT_A_UNIT_SOFT_MUTE;
    }
    if (recordUnit && VendorId == STATE_SWITCH_VENDOR && ProductId == STATE_SWITCH_PRODUCT)
    {
        return VARIANT_A_UNIT_STATE_SWITCH;
    }
    for (const UnitClassRow& row : kUnitClasses)
    {
        if (row.UnitId == UnitId)
        {
            return row.Class;
        }
    }
    return VARIANT_A_UNIT_CLASS1;
}

LONG VariantAScaleFromDevice(LONG Level, LONG Numerator, LONG Denominator)
{
    if (Level == LEVEL_SILENT)
    {
        return Level;
    }
    return Level < 0 ? Saturate(LONGLONG(Level) * Numerator / Denominator) : Saturate(LONGLONG(Level) * 3);
}

LONG VariantAScaleToDevice(LONG Level, LONG Numerator, LONG Denominator)
{
    if (Level == LEVEL_SILENT)
    {
        return Level;
    }
    return Level < 0 ? Saturate(LONGLONG(Level) * Denominator / Numerator) : Level / 3;
}

LONG VariantAVolumeFromDevice(SHORT Device)
{
    for (ULONG k = 1; k < VOLUME_ENTRIES; k++)
    {
        if (Device > kVariantAVolumeTable[k].Device)
        {
            return kVariantAVolumeTable[k - 1].Db;
        }
        if (Device == kVariantAVolumeTable[k].Db)
        {
            return kVariantAVolumeTable[k].Device;
        }
    }
    return Device;
}

// A level above 0 dB, before the first entry, counts as entry 0.
SHORT VariantAVolumeToDevice(LONG Level)
{
    const LONG wanted = Level >> LEVEL_SHIFT;
    for (ULONG k = 0; k < VOLUME_ENTRIES; k++)
    {
        if (wanted > kVariantAVolumeTable[k].Db)
        {
            return kVariantAVolumeTable[k == 0 ? 0 : k - 1].Device;
        }
        if (wanted == kVariantAVolumeTable[k].Db)
        {
            return kVariantAVolumeTable[k].Device;
        }
    }
    return SHORT(wanted < -32767 ? -32767 : wanted);
}

// ---- Units 3 and 4 ----

STDMETHODIMP_(NTSTATUS) CVariantAScaledFeatureUnit::GetLevel(ULONG Selector, ULONG Channel, PLONG Level)
{
    PAGED_CODE();
    NTSTATUS status = CUac1FeatureUnit::GetLevel(Selector, Channel, Level);
    if (NT_SUCCESS(status))
    {
        *Level = VariantAScaleFromDevice(*Level, m_lNumerator, m_lDenominator);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantAScaledFeatureUnit::SetLevel(ULONG Selector, ULONG Channel, LONG Level)
{
    PAGED_CODE();
    return CUac1FeatureUnit::SetLevel(Selector, Channel,
                                      VariantAScaleToDevice(Level, m_lNumerator, m_lDenominator));
}

STDMETHODIMP_(NTSTATUS)
CVariantAScaledFeatureUnit::GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution)
{
    PAGED_CODE();
    if (!Maximum || !Minimum || !Resolution || GetEntryCount() == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG entries = GetEntryCount();
    UCHAR channel = 0;
    for (ULONG c = 1; c < entries && channel == 0; c++)
    {
        channel = ChannelHasControl(Selector, c) ? UCHAR(c) : 0;
    }
    const BOOLEAN bytes = IsToneSelector(Selector) && !m_bMaskMaximum;
    const UCHAR requests[3] = {USB_AUDIO_GET_MAX, USB_AUDIO_GET_MIN, USB_AUDIO_GET_RES};
    LONG answers[3] = {};
    for (ULONG i = 0; i < 3; i++)
    {
        UCHAR data[2] = {};
        NTSTATUS status = ControlRequest(TRUE, requests[i], Selector, channel, data, bytes ? 1 : 2);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        answers[i] =
            bytes ? LONG(static_cast<signed char>(data[0])) : LONG(SHORT(USHORT(data[0] | data[1] << 8)));
    }
    if (bytes)
    {
        *Maximum = answers[0] * (1 << 14);
        *Minimum = answers[1] * (1 << 14);
        *Resolution = answers[2] * (1 << 14);
        return STATUS_SUCCESS;
    }
    if (m_bMaskMaximum)
    {
        answers[0] = SHORT(USHORT(answers[0]) & MAXIMUM_MASK);
    }
    *Maximum = VariantAScaleFromDevice(answers[0], m_lNumerator, m_lDenominator) * (1 << LEVEL_SHIFT);
    *Minimum = VariantAScaleFromDevice(answers[1], m_lNumerator, m_lDenominator) * (1 << LEVEL_SHIFT);
    *Resolution = SCALED_STEP;
    return STATUS_SUCCESS;
}

// ---- Unit 13: the volume table ----

NTSTATUS CVariantAFeatureUnit1::InitVolumeTableUnit(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                                    IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                                    IVariantARegisters* Registers)
{
    PAGED_CODE();
    if (!AdapterCommon || !Registers)
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_pRegisters = Registers;
    AccessSetting(AdapterCommon->GetDeviceObject(), SETTINGS_OPERATION_READ, &m_NeedMuteLED,
                  sizeof(m_NeedMuteLED), u"NeedMuteLED");
    AccessSetting(AdapterCommon->GetDeviceObject(), SETTINGS_OPERATION_READ, &m_ReverseMuteLED,
                  sizeof(m_ReverseMuteLED), u"ReverseMuteLED");
    return Init(Descriptor, Length, Device, AdapterCommon, DeviceLock);
}

// Register 1 bits 4-5 light the mute LED (0x30) or put it out (0x10).
STDMETHODIMP_(NTSTATUS) CVariantAFeatureUnit1::SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value)
{
    PAGED_CODE();
    NTSTATUS status = CUac1FeatureUnit::SetSwitch(Selector, Channel, Value);
    if (NT_SUCCESS(status) && m_NeedMuteLED && m_pRegisters)
    {
        const UCHAR lit = m_ReverseMuteLED == 1 ? !Value : Value;
        m_pRegisters->WriteMaskedRegister(1, lit ? 0x30 : 0x10, 0x30);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantAFeatureUnit1::GetLevel(ULONG Selector, ULONG Channel, PLONG Level)
{
    PAGED_CODE();
    if (IsToneSelector(Selector))
    {
        return CUac1FeatureUnit::GetLevel(Selector, Channel, Level);
    }
    UCHAR wire = 0;
    NTSTATUS status = Level ? AddressChannel(Selector, Channel, &wire) : STATUS_INVALID_PARAMETER;
    UCHAR data[2] = {};
    if (NT_SUCCESS(status))
    {
        status = ControlRequest(TRUE, USB_AUDIO_GET_CUR, Selector, wire, data, sizeof(data));
    }
    if (NT_SUCCESS(status))
    {
        const SHORT device = SHORT(USHORT(data[0] | data[1] << 8));
        *Level =
            device == DEVICE_SILENCE ? LEVEL_SILENT : VariantAVolumeFromDevice(device) * (1 << LEVEL_SHIFT);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantAFeatureUnit1::SetLevel(ULONG Selector, ULONG Channel, LONG Level)
{
    PAGED_CODE();
    if (IsToneSelector(Selector))
    {
        return CUac1FeatureUnit::SetLevel(Selector, Channel, Level);
    }
    UCHAR wire = 0;
    NTSTATUS status = AddressChannel(Selector, Channel, &wire);
    if (NT_SUCCESS(status))
    {
        const USHORT device = USHORT(Level == LEVEL_SILENT ? DEVICE_SILENCE : VariantAVolumeToDevice(Level));
        UCHAR data[2] = {UCHAR(device), UCHAR(device >> 8)};
        status = ControlRequest(FALSE, USB_AUDIO_SET_CUR, Selector, wire, data, sizeof(data));
    }
    return status;
}

STDMETHODIMP_(NTSTATUS)
CVariantAFeatureUnit1::GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution)
{
    PAGED_CODE();
    if (IsToneSelector(Selector))
    {
        return CUac1FeatureUnit::GetLevelRange(Selector, Maximum, Minimum, Resolution);
    }
    if (!Maximum || !Minimum || !Resolution || GetEntryCount() == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR requests[3] = {USB_AUDIO_GET_MAX, USB_AUDIO_GET_MIN, USB_AUDIO_GET_RES};
    SHORT answers[3] = {};
    for (ULONG i = 0; i < 3; i++)
    {
        UCHAR data[2] = {};
        NTSTATUS status = ControlRequest(TRUE, requests[i], Selector, 1, data, sizeof(data));
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        answers[i] = SHORT(USHORT(data[0] | data[1] << 8));
    }
    *Maximum = RangeEnd(answers[0], FALSE) * (1 << LEVEL_SHIFT);
    *Minimum = RangeEnd(answers[1], TRUE) * (1 << LEVEL_SHIFT);
    *Resolution = VOLUME_TABLE_STEP;
    return STATUS_SUCCESS;
}

// ---- Unit 11 of the jack-polling model ----

STDMETHODIMP_(NTSTATUS) CVariantAFeatureUnit7::GetSwitch(ULONG Selector, ULONG Channel, PUCHAR Value)
{
    PAGED_CODE();
    if (!Value || Channel != 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR data = 0;
    NTSTATUS status = ControlRequest(TRUE, USB_AUDIO_GET_CUR, Selector, 0, &data, sizeof(data));
    if (NT_SUCCESS(status))
    {
        m_LastSwitch = data;
        *Value = data;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantAFeatureUnit7::SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value)
{
    PAGED_CODE();
    if (Channel != 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_LastSwitch = Value;
    UCHAR data = UCHAR(Value | m_ForcedMute);
    return ControlRequest(FALSE, USB_AUDIO_SET_CUR, Selector, 0, &data, sizeof(data));
}

NTSTATUS CVariantAFeatureUnit7::SetForcedMute(UCHAR Mute)
{
    PAGED_CODE();
    m_ForcedMute = Mute;
    return SetSwitch(USB_AUDIO_FU_MUTE_CONTROL, 0, m_LastSwitch);
}

namespace
{

// The three builders of their own: a mute node (Mute), which these units cannot do without, then
// a volume node (Volume, set up by InitVolume) when the unit announces that control and
// InitVolume is given. IdentityStatus is how the builder's own checks and identity step went.
// A volume node the pool cannot hold is left out: the unit works without it. PASSIVE_LEVEL.
template <class Mute, class Volume>
NTSTATUS BuildVariantANodes(CUac1FeatureUnit* Unit, NTSTATUS IdentityStatus, IAdapterCommon* AdapterCommon,
                            CMutexLock* DeviceLock, const char* UnitClass,
                            NTSTATUS (Volume::*InitVolume)(ITopologyNode*, ULONG, PDEVICE_OBJECT,
                                                           CMutexLock*))
{
    if (!NT_SUCCESS(IdentityStatus))
    {
        return IdentityStatus;
    }
    const ULONG id = AdapterCommon->GetNodeCount();
    if (!Unit->IsFeatureControlPresent(USB_AUDIO_FU_MUTE_CONTROL))
    {
        DbgPrint("%s: feature unit %u has no mute control, which this model needs on the unit\n", UnitClass,
                 Unit->GetId());
        return STATUS_NOT_SUPPORTED;
    }
    Mute* pMute = new (NonPagedPool, VARIANT_A_NODE_POOL_TAG) Mute(nullptr, id);
    if (!pMute)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pMute->NonDelegatingAddRef();
    NTSTATUS status = pMute->InitControlNode(static_cast<ITopologyNode*>(Unit), USB_AUDIO_FU_MUTE_CONTROL,
                                             AdapterCommon->GetDeviceObject(), DeviceLock);
    status = Uac1AdoptChildNode(AdapterCommon, Unit, pMute, status);
    if (!NT_SUCCESS(status) || !InitVolume || !Unit->IsFeatureControlPresent(USB_AUDIO_FU_VOLUME_CONTROL))
    {
        return status;
    }
    Volume* pVolume = new (NonPagedPool, VARIANT_A_NODE_POOL_TAG) Volume(nullptr, id + 1);
    if (!pVolume)
    {
        return status;
    }
    pVolume->NonDelegatingAddRef();
    NTSTATUS volumeStatus =
        (pVolume->*InitVolume)(static_cast<ITopologyNode*>(Unit), USB_AUDIO_FU_VOLUME_CONTROL,
                               AdapterCommon->GetDeviceObject(), DeviceLock);
    return Uac1AdoptChildNode(AdapterCommon, Unit, pVolume, volumeStatus);
}

} // namespace

STDMETHODIMP_(NTSTATUS) CVariantAFeatureUnit1::BuildFeatureControls(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    return BuildVariantANodes<CVariantAMuteControl, CVariantAVolumeControl>(
        this, AdapterCommon && GetEntryCount() != 0 ? TakeUnitIdentity() : STATUS_INVALID_PARAMETER,
        AdapterCommon, m_pDeviceLock, "CVariantAFeatureUnit1", &CVariantAVolumeControl::InitVariantAVolume);
}

STDMETHODIMP_(NTSTATUS) CVariantAFeatureUnit2::BuildFeatureControls(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    // Unit 16 has only its mute.
    return BuildVariantANodes<CVariantAMuteSwitchControl, CVolumeControlNode>(
        this, AdapterCommon && GetEntryCount() != 0 ? TakeUnitIdentity() : STATUS_INVALID_PARAMETER,
        AdapterCommon, m_pDeviceLock, "CVariantAFeatureUnit2", nullptr);
}

STDMETHODIMP_(NTSTATUS) CVariantAFeatureUnit5::BuildFeatureControls(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    return BuildVariantANodes<CVariantASoftMuteControl, CVolumeControlNode>(
        this, AdapterCommon && GetEntryCount() != 0 ? TakeUnitIdentity() : STATUS_INVALID_PARAMETER,
        AdapterCommon, m_pDeviceLock, "CVariantAFeatureUnit5", &CVolumeControlNode::InitLevelControlNode);
}

NTSTATUS CVariantAFeatureUnit6::InitWithStateSwitch(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                                    IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                                    IVariantARegisters* Registers)
{
    PAGED_CODE();
    if (!Registers)
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_pRegisters = Registers;
    return Init(Descriptor, Length, Device, AdapterCommon, DeviceLock);
}

// A switch node the pool cannot hold is left out; one that cannot be registered fails the unit.
STDMETHODIMP_(NTSTATUS) CVariantAFeatureUnit6::BuildFeatureControls(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    NTSTATUS status = CUac1FeatureUnit::BuildFeatureControls(AdapterCommon);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    CVariantAStateControl* pState = new (NonPagedPool, VARIANT_A_NODE_POOL_TAG)
        CVariantAStateControl(nullptr, AdapterCommon->GetNodeCount());
    if (!pState)
    {
        return STATUS_SUCCESS;
    }
    pState->NonDelegatingAddRef();
    ULONG unitNode = 0;
    GetFirstChildId(&unitNode);
    status = pState->InitStateControl(unitNode, AdapterCommon->GetDeviceObject(), m_pRegisters);
    return Uac1AdoptChildNode(AdapterCommon, this, pState, status);
}
