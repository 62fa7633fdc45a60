// CUac2FeatureUnit: control presence and channel addressing from the unit's two-bit control
// fields, the CUR and RANGE requests and their conversions, the vendor control map, the control
// nodes and the unit's part of a status report.
#include "driver/topology/uac2/uac2_feature_unit.h"

#include "usbaudio.h"
#include "driver/core/audio_hal.h"
#include "driver/topology/nodes/boolean_control_node.h"
#include "driver/topology/nodes/dsp_volume_control_node.h"
#include "driver/topology/nodes/level_control_node.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/uac1/uac1_feature_unit_common.h"
#include "driver/topology/uac2/uac2_entity_request.h"

namespace
{

// Descriptor layout: bUnitID at 3, bSourceID at 4, then one u32 bmaControls per channel (master
// first) from byte 5, then iFeature.
constexpr ULONG FU_UNIT_ID_OFFSET = 3;
constexpr ULONG FU_SOURCE_ID_OFFSET = 4;
constexpr ULONG FU_CONTROLS_OFFSET = 5;
constexpr ULONG FU_FIXED_BYTES = 6;
constexpr ULONG FU_ENTRY_BYTES = 4;

// The extended control map in the unit's memory: its length (u16) at offset 16, then from byte
// 18 one u32 bitmap per channel with two bits per vendor control.
constexpr USHORT MAP_LENGTH_ADDRESS = 0x0010;
constexpr ULONG MAP_BITMAPS_OFFSET = 18;
constexpr ULONG MAP_ENTRY_BYTES = 4;

constexpr ULONG READABLE_BIT = 1;
constexpr ULONG WRITABLE_BIT = 2;

// RANGE of one sub-range: u16 wNumSubRanges, then MIN, MAX, RES of the control's size.
constexpr ULONG TONE_RANGE_BYTES = 5;
constexpr ULONG LEVEL_RANGE_BYTES = 8;

constexpr ULONG INPUT_GAIN_PAD_SELECTOR = 12;
constexpr ULONG VENDOR_SWITCH_SELECTOR = 0x90;
constexpr ULONG DSP_VOLUME_SELECTOR = 0x82;

ULONG ReadUlong(const UCHAR* Bytes)
{
    return ULONG(Bytes[0]) | ULONG(Bytes[1]) << 8 | ULONG(Bytes[2]) << 16 | ULONG(Bytes[3]) << 24;
}

// ---- Control nodes ----

CTopologyNode* NewVendorSwitchNode(ULONG Id, ULONG Kind, ULONG Tag)
{
    return new (NonPagedPool, Tag) CVendorSwitchControlNode(nullptr, Id);
}

CTopologyNode* NewInputGainPadNode(ULONG Id, ULONG Kind, ULONG Tag)
{
    return new (NonPagedPool, Tag) CInputGainPadControlNode(nullptr, Id);
}

CTopologyNode* NewDspVolumeNode(ULONG Id, ULONG Kind, ULONG Tag)
{
    return new (NonPagedPool, Tag) CDspVolumeControlNode(nullptr, Id);
}

NTSTATUS InitDspVolumeNode(CTopologyNode* Node, ITopologyNode* Owner, ULONG Selector,
                           PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    return static_cast<CDspVolumeControlNode*>(Node)->InitDspVolumeControlNode(Owner, Selector,
                                                                               SettingsDevice, DeviceLock);
}

// Selector, node kind, node class, set-up; built in this order after the standard controls.
const FeatureControlRow kFeatureControls[] = {
    {INPUT_GAIN_PAD_SELECTOR, NODE_KIND_INPUT_GAIN_PAD, NewInputGainPadNode, InitFeatureLevelNode},
    {VENDOR_SWITCH_SELECTOR, NODE_KIND_VENDOR_SWITCH, NewVendorSwitchNode, InitFeatureSwitchNode},
    {DSP_VOLUME_SELECTOR, NODE_KIND_VOLUME, NewDspVolumeNode, InitDspVolumeNode}, // gain also in software
};
constexpr ULONG FEATURE_CONTROL_COUNT = sizeof(kFeatureControls) / sizeof(kFeatureControls[0]);

const FeatureBuilderNames kBuilderNames = {"CUac2FeatureUnit", "driver"};

// The unit's memory is read with the release's MEM request.
NTSTATUS ReadUnitMemory(PUNKNOWN Device, USHORT Address, UCHAR UnitId, PVOID Buffer, ULONG Length)
{
    return Uac2EntityRead(Device, UAC2_REQUEST_MEM, Address, UnitId, Buffer, Length);
}

// A status report's control selector and the kind of the node that shows that control.
struct StatusKindRow
{
    UCHAR Selector;
    ULONG Kind;
};

// selector                              node kind
const StatusKindRow kStatusKinds[] = {
    {USB_AUDIO_FU_MUTE_CONTROL, NODE_KIND_MUTE},
    {USB_AUDIO_FU_VOLUME_CONTROL, NODE_KIND_VOLUME},
    {USB_AUDIO_FU_BASS_CONTROL, NODE_KIND_BASS},
    {USB_AUDIO_FU_MID_CONTROL, NODE_KIND_MID},
    {USB_AUDIO_FU_TREBLE_CONTROL, NODE_KIND_TREBLE},
    {USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL, NODE_KIND_AGC},
    {USB_AUDIO_FU_LOUDNESS_CONTROL, NODE_KIND_LOUDNESS},
    {DSP_VOLUME_SELECTOR, NODE_KIND_VOLUME}, // shown by the first volume node
};

} // namespace

CUac2FeatureUnit::CUac2FeatureUnit(PUNKNOWN UnknownOuter, ULONG Id)
    : CUsbFeatureUnit(UnknownOuter, Id, UAC2_ENTITY_POOL_TAG, UAC2_REQUEST_CUR, UAC2_REQUEST_CUR)
{
}

NTSTATUS CUac2FeatureUnit::Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    return Uac1InitEntity(
        this, Descriptor, Length, Device, AdapterCommon, USB_AUDIO_AC_FEATURE_UNIT,
        [&]() -> NTSTATUS
        { return StartFeatureUnit(this, AdapterCommon, DeviceLock, kBuilderNames.UnitClass); });
}

ULONG CUac2FeatureUnit::GetEntryCount()
{
    const UCHAR* d = m_pDescriptor;
    if (!d || d[0] < FU_FIXED_BYTES + FU_ENTRY_BYTES || d[1] != USB_AUDIO_CS_INTERFACE ||
        d[2] != USB_AUDIO_AC_FEATURE_UNIT)
    {
        return 0;
    }
    return (ULONG(d[0]) - FU_FIXED_BYTES) / FU_ENTRY_BYTES;
}

ULONG CUac2FeatureUnit::GetMapEntryCount()
{
    return m_pExtendedControlMap ? (m_nExtendedMapBytes - MAP_BITMAPS_OFFSET) / MAP_ENTRY_BYTES : 0;
}

ULONG CUac2FeatureUnit::ControlBits(ULONG Selector, ULONG Channel)
{
    const ULONG control = Selector & 0x7F;
    if (control == 0 || control > 16)
    {
        return 0;
    }
    const UCHAR* pEntry = nullptr;
    if (Selector >= VENDOR_SELECTOR_BASE)
    {
        if (Channel >= GetMapEntryCount())
        {
            return 0;
        }
        pEntry = m_pExtendedControlMap + MAP_BITMAPS_OFFSET + Channel * MAP_ENTRY_BYTES;
    }
    else
    {
        if (Channel >= GetEntryCount())
        {
            return 0;
        }
        pEntry = m_pDescriptor + FU_CONTROLS_OFFSET + Channel * FU_ENTRY_BYTES;
    }
    return (ReadUlong(pEntry) >> (2 * (control - 1))) & 3;
}

BOOLEAN CUac2FeatureUnit::ChannelCarriesControl(ULONG Selector, ULONG Channel)
{
    return ControlBits(Selector, Channel) != 0;
}

BOOLEAN CUac2FeatureUnit::IsUac2FeatureControlPresent(ULONG Selector)
{
    return AnyChannelCarriesControl(Selector);
}

// Node channel c is logical channel c + 1 when several channels carry the control, else the
// master; a standard control that a single logical channel carries is addressed on channel 1.
NTSTATUS CUac2FeatureUnit::AddressControlChannel(ULONG Selector, ULONG Channel, BOOLEAN Write,
                                                 PUCHAR WireChannel)
{
    const ULONG bit = Write ? WRITABLE_BIT : READABLE_BIT;
    // A vendor control is never moved off the master.
    return FeatureAddressChannel(
        [this, Selector](PULONG Count) { return CountControlChannels(Selector, Count); },
        [this, Selector, bit](ULONG Entry) { return (ControlBits(Selector, Entry) & bit) != 0; }, Channel,
        Selector < VENDOR_SELECTOR_BASE ? TRUE : FALSE, nullptr, WireChannel);
}

NTSTATUS CUac2FeatureUnit::ControlRequest(BOOLEAN In, UCHAR Request, ULONG Selector, UCHAR WireChannel,
                                          PVOID Data, ULONG Length)
{
    USHORT value = USHORT((Selector & 0xFF) << 8 | WireChannel);
    UCHAR unit = m_pDescriptor[FU_UNIT_ID_OFFSET];
    return In ? Uac2EntityRead(m_pDevice, Request, value, unit, Data, Length)
              : Uac2EntityWrite(m_pDevice, Request, value, unit, Data, Length);
}

// One sub-range, asked of the first logical channel that carries the control (the master when
// none does). A reply shorter than one sub-range fails the read, so no bound is taken from
// bytes the device never sent.
STDMETHODIMP_(NTSTATUS)
CUac2FeatureUnit::GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution)
{
    PAGED_CODE();
    UCHAR channel = 0;
    NTSTATUS status = RangeChannel(Selector, Maximum, Minimum, Resolution, &channel);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    const BOOLEAN tone = FeatureIsToneSelector(Selector);
    UCHAR reply[LEVEL_RANGE_BYTES] = {};
    status = ControlRequest(TRUE, UAC2_REQUEST_RANGE, Selector, channel, reply,
                            tone ? TONE_RANGE_BYTES : LEVEL_RANGE_BYTES);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG subRanges = ULONG(reply[0] | reply[1] << 8);
    if (subRanges != 1)
    {
        DbgPrint("CUac2FeatureUnit: control %u of feature unit %u gives %u ranges where the driver takes "
                 "one\n",
                 Selector, ULONG(m_pDescriptor[FU_UNIT_ID_OFFSET]), subRanges);
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG size = tone ? 1 : 2;
    LONG minimum = FeatureLevelFromWire(Selector, reply + 2);
    LONG maximum = FeatureLevelFromWire(Selector, reply + 2 + size);
    LONG resolution = FeatureLevelFromWire(Selector, reply + 2 + 2 * size);
    *Maximum = maximum;
    *Minimum = minimum;
    *Resolution = resolution;
    return STATUS_SUCCESS;
}

// The vendor controls are announced in the unit's memory: its length first, then the whole
// block. A device without one, or with a block too short for a single bitmap, has none.
VOID CUac2FeatureUnit::ReadExtendedControlMap()
{
    PAGED_CODE();
    FeatureReadControlMap(m_pDevice, m_pDescriptor[FU_UNIT_ID_OFFSET], ReadUnitMemory, MAP_LENGTH_ADDRESS,
                          MAP_BITMAPS_OFFSET + MAP_ENTRY_BYTES, UAC2_ENTITY_POOL_TAG, &m_pExtendedControlMap,
                          &m_nExtendedMapBytes);
}

STDMETHODIMP_(NTSTATUS) CUac2FeatureUnit::BuildFeatureControls(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (GetEntryCount() == 0)
    {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = TakeSingleSourceIdentity(USB_AUDIO_AC_FEATURE_UNIT, FU_SOURCE_ID_OFFSET);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return BuildFeatureControlNodes(this, &CUac2FeatureUnit::IsUac2FeatureControlPresent, kFeatureControls,
                                    FEATURE_CONTROL_COUNT, UAC2_ENTITY_POOL_TAG, AdapterCommon, m_pDeviceLock,
                                    kBuilderNames);
}

NTSTATUS CUac2FeatureUnit::OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id)
{
    PAGED_CODE();
    const ULONG selector = Argument1;
    if (!Id || !IsUac2FeatureControlPresent(selector))
    {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG kind = ULONG(-1);
    for (const StatusKindRow& row : kStatusKinds)
    {
        kind = row.Selector == selector ? row.Kind : kind;
    }
    if (kind == ULONG(-1))
    {
        return STATUS_UNSUCCESSFUL;
    }
    // Children sit newest first: the first node of the kind is the last one met.
    ITopologyNode* pFirst = nullptr;
    ULONG count = 0;
    GetChildCount(&count);
    for (ULONG i = 0; i < count; i++)
    {
        ITopologyNode* pChild = nullptr;
        if (NT_SUCCESS(GetChildAt(i, &pChild)) && pChild->GetKind() == kind)
        {
            pFirst = pChild;
        }
    }
    if (pFirst)
    {
        *Id = pFirst->GetId();
        pFirst->SaveValues();
    }
    return STATUS_SUCCESS;
}
