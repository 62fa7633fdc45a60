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

constexpr ULONG VENDOR_SELECTOR_BASE = 0x80;

// The extended control map in the unit's memory: its length (u16) at offset 16, then from byte
// 18 one u32 bitmap per channel with two bits per vendor control.
constexpr USHORT MAP_LENGTH_ADDRESS = 0x0010;
constexpr ULONG MAP_BITMAPS_OFFSET = 18;
constexpr ULONG MAP_ENTRY_BYTES = 4;

constexpr ULONG READABLE_BIT = 1;
constexpr ULONG WRITABLE_BIT = 2;

// Tone levels travel as one signed byte in 1/4 dB, the others as a signed word in 1/256 dB.
constexpr ULONG TONE_SHIFT = 14;
constexpr ULONG LEVEL_SHIFT = 8;
constexpr SHORT WIRE_SILENCE = SHORT(-32768);
// RANGE of one sub-range: u16 wNumSubRanges, then MIN, MAX, RES of the control's size.
constexpr ULONG TONE_RANGE_BYTES = 5;
constexpr ULONG LEVEL_RANGE_BYTES = 8;

constexpr ULONG INPUT_GAIN_PAD_SELECTOR = 12;
constexpr ULONG VENDOR_SWITCH_SELECTOR = 0x90;
constexpr ULONG DSP_VOLUME_SELECTOR = 0x82;

BOOLEAN IsToneSelector(ULONG Selector)
{
    return Selector >= USB_AUDIO_FU_BASS_CONTROL && Selector <= USB_AUDIO_FU_TREBLE_CONTROL ? TRUE : FALSE;
}

LONG Saturate(LONG Value, LONG Lowest, LONG Highest)
{
    return Value < Lowest ? Lowest : (Value > Highest ? Highest : Value);
}

LONG LevelFromWire(ULONG Selector, const UCHAR* Data)
{
    if (IsToneSelector(Selector))
    {
        return LONG(static_cast<signed char>(Data[0])) * (1 << TONE_SHIFT);
    }
    return LONG(SHORT(USHORT(Data[0] | Data[1] << 8))) * (1 << LEVEL_SHIFT);
}

// Levels beyond what the wire carries are held at its ends instead of wrapping round.
ULONG LevelToWire(ULONG Selector, LONG Level, PUCHAR Data)
{
    if (IsToneSelector(Selector))
    {
        Data[0] = UCHAR(static_cast<signed char>(Saturate(Level >> TONE_SHIFT, -128, 127)));
        return 1;
    }
    SHORT wire = Level == LEVEL_SILENCE ? WIRE_SILENCE : SHORT(Saturate(Level >> LEVEL_SHIFT, -32767, 32767));
    Data[0] = UCHAR(USHORT(wire));
    Data[1] = UCHAR(USHORT(wire) >> 8);
    return 2;
}

ULONG ReadUlong(const UCHAR* Bytes)
{
    return ULONG(Bytes[0]) | ULONG(Bytes[1]) << 8 | ULONG(Bytes[2]) << 16 | ULONG(Bytes[3]) << 24;
}

// ---- Control nodes ----

typedef CTopologyNode* (*PFN_NEW_CONTROL_NODE)(ULONG Id, ULONG Kind);
typedef NTSTATUS (*PFN_INIT_CONTROL_NODE)(CTopologyNode* Node, ITopologyNode* Owner, ULONG Selector,
                                          PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock);

CTopologyNode* NewSwitchNode(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, UAC2_ENTITY_POOL_TAG) CBooleanControlNode(nullptr, Id, Kind);
}

CTopologyNode* NewVendorSwitchNode(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, UAC2_ENTITY_POOL_TAG) CVendorSwitchControlNode(nullptr, Id);
}

CTopologyNode* NewVolumeNode(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, UAC2_ENTITY_POOL_TAG) CVolumeControlNode(nullptr, Id);
}

CTopologyNode* NewToneNode(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, UAC2_ENTITY_POOL_TAG) CToneControlNode(nullptr, Id, Kind);
}

CTopologyNode* NewInputGainPadNode(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, UAC2_ENTITY_POOL_TAG) CInputGainPadControlNode(nullptr, Id);
}

CTopologyNode* NewDspVolumeNode(ULONG Id, ULONG Kind)
{
    return new (NonPagedPool, UAC2_ENTITY_POOL_TAG) CDspVolumeControlNode(nullptr, Id);
}

NTSTATUS InitSwitchNode(CTopologyNode* Node, ITopologyNode* Owner, ULONG Selector,
                        PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    return static_cast<CBooleanControlNode*>(Node)->InitControlNode(Owner, Selector, SettingsDevice,
                                                                    DeviceLock);
}

// The tone and input-gain-pad nodes derive from the volume node and share its set-up.
NTSTATUS InitLevelNode(CTopologyNode* Node, ITopologyNode* Owner, ULONG Selector,
                       PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    return static_cast<CVolumeControlNode*>(Node)->InitLevelControlNode(Owner, Selector, SettingsDevice,
                                                                        DeviceLock);
}

NTSTATUS InitDspVolumeNode(CTopologyNode* Node, ITopologyNode* Owner, ULONG Selector,
                           PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    return static_cast<CDspVolumeControlNode*>(Node)->InitDspVolumeControlNode(Owner, Selector,
                                                                               SettingsDevice, DeviceLock);
}

struct FeatureControlRow
{
    UCHAR Selector;
    ULONG Kind;
    PFN_NEW_CONTROL_NODE New;
    PFN_INIT_CONTROL_NODE Init;
};

// Selector, node kind, node class, set-up; built in this order, mute (required) first.
const FeatureControlRow kFeatureControls[] = {
    {USB_AUDIO_FU_MUTE_CONTROL, NODE_KIND_MUTE, NewSwitchNode, InitSwitchNode},
    {USB_AUDIO_FU_VOLUME_CONTROL, NODE_KIND_VOLUME, NewVolumeNode, InitLevelNode},
    {USB_AUDIO_FU_BASS_CONTROL, NODE_KIND_BASS, NewToneNode, InitLevelNode},
    {USB_AUDIO_FU_MID_CONTROL, NODE_KIND_MID, NewToneNode, InitLevelNode},
    {USB_AUDIO_FU_TREBLE_CONTROL, NODE_KIND_TREBLE, NewToneNode, InitLevelNode},
    {USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL, NODE_KIND_AGC, NewSwitchNode, InitSwitchNode},
    {USB_AUDIO_FU_LOUDNESS_CONTROL, NODE_KIND_LOUDNESS, NewSwitchNode, InitSwitchNode},
    {INPUT_GAIN_PAD_SELECTOR, NODE_KIND_INPUT_GAIN_PAD, NewInputGainPadNode, InitLevelNode},
    {VENDOR_SWITCH_SELECTOR, NODE_KIND_VENDOR_SWITCH, NewVendorSwitchNode, InitSwitchNode},
    {DSP_VOLUME_SELECTOR, NODE_KIND_VOLUME, NewDspVolumeNode, InitDspVolumeNode}, // gain also in software
};
constexpr ULONG FEATURE_CONTROL_COUNT = sizeof(kFeatureControls) / sizeof(kFeatureControls[0]);

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
    : CUsbEntityNode(UnknownOuter, Id), m_pExtendedControlMap(nullptr), m_nExtendedMapBytes(0),
      m_pDeviceLock(nullptr)
{
}

CUac2FeatureUnit::~CUac2FeatureUnit()
{
    PAGED_CODE();
    if (m_pExtendedControlMap)
    {
        ExFreePoolWithTag(m_pExtendedControlMap, UAC2_ENTITY_POOL_TAG);
        m_pExtendedControlMap = nullptr;
    }
}

STDMETHODIMP_(NTSTATUS) CUac2FeatureUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IFeatureUnitSwitch))
    {
        *Interface = PVOID(static_cast<IFeatureUnitSwitch*>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IFeatureUnitLevel))
    {
        *Interface = PVOID(static_cast<IFeatureUnitLevel*>(this));
    }
    else
    {
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CUac2FeatureUnit::Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    if (!Device || !AdapterCommon || !Uac1IsEntityDescriptor(Descriptor, Length, USB_AUDIO_AC_FEATURE_UNIT))
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = SetDescriptor(Descriptor, Length, Device);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (GetEntryCount() == 0)
    {
        DbgPrint("CUac2FeatureUnit: feature unit %u has no room for the controls of a single channel\n",
                 ULONG(m_pDescriptor[FU_UNIT_ID_OFFSET]));
        return STATUS_UNSUCCESSFUL;
    }
    m_pDeviceLock = DeviceLock;
    ReadExtendedControlMap();
    status = BuildFeatureControls(AdapterCommon);
    if (NT_SUCCESS(status))
    {
        ChainChildNodes();
    }
    return status;
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

BOOLEAN CUac2FeatureUnit::IsUac2FeatureControlPresent(ULONG Selector)
{
    ULONG entries = Selector >= VENDOR_SELECTOR_BASE ? GetMapEntryCount() : GetEntryCount();
    for (ULONG channel = 0; channel < entries; channel++)
    {
        if (ControlBits(Selector, channel))
        {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS CUac2FeatureUnit::CountControlChannels(ULONG Selector, PULONG Count)
{
    if (!Count || GetEntryCount() == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG entries = GetEntryCount();
    if (Selector >= VENDOR_SELECTOR_BASE)
    {
        if (!m_pExtendedControlMap)
        {
            return STATUS_INVALID_PARAMETER;
        }
        entries = GetMapEntryCount();
    }
    ULONG count = 0;
    for (ULONG channel = 1; channel < entries; channel++)
    {
        count += ControlBits(Selector, channel) ? 1 : 0;
    }
    if (count == 0 && ControlBits(Selector, 0))
    {
        count = 1;
    }
    *Count = count;
    return count ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) CUac2FeatureUnit::GetControlChannelCount(ULONG Selector, PULONG Count)
{
    PAGED_CODE();
    return CountControlChannels(Selector, Count);
}

STDMETHODIMP_(NTSTATUS) CUac2FeatureUnit::GetLevelChannelCount(ULONG Selector, PULONG Count)
{
    PAGED_CODE();
    return CountControlChannels(Selector, Count);
}

// Node channel c is logical channel c + 1 when several channels carry the control, else the
// master; a standard control that a single logical channel carries is addressed on channel 1.
NTSTATUS CUac2FeatureUnit::AddressChannel(ULONG Selector, ULONG Channel, ULONG Bit, PUCHAR WireChannel)
{
    ULONG count = 0;
    NTSTATUS status = CountControlChannels(Selector, &count);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (Channel >= count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG channel = count > 1 ? Channel + 1 : Channel;
    if (!(ControlBits(Selector, channel) & Bit))
    {
        if (count > 1 || Selector >= VENDOR_SELECTOR_BASE || !(ControlBits(Selector, channel + 1) & Bit))
        {
            return STATUS_INVALID_PARAMETER;
        }
        channel++;
    }
    *WireChannel = UCHAR(channel);
    return STATUS_SUCCESS;
}

NTSTATUS CUac2FeatureUnit::ControlRequest(BOOLEAN In, UCHAR Request, ULONG Selector, UCHAR WireChannel,
                                          PVOID Data, ULONG Length)
{
    USHORT value = USHORT((Selector & 0xFF) << 8 | WireChannel);
    UCHAR unit = m_pDescriptor[FU_UNIT_ID_OFFSET];
    return In ? Uac2EntityRead(m_pDevice, Request, value, unit, Data, Length)
              : Uac2EntityWrite(m_pDevice, Request, value, unit, Data, Length);
}

STDMETHODIMP_(NTSTATUS) CUac2FeatureUnit::GetSwitch(ULONG Selector, ULONG Channel, PUCHAR Value)
{
    PAGED_CODE();
    UCHAR wire = 0;
    NTSTATUS status =
        Value ? AddressChannel(Selector, Channel, READABLE_BIT, &wire) : STATUS_INVALID_PARAMETER;
    UCHAR data = 0;
    if (NT_SUCCESS(status))
    {
        status = ControlRequest(TRUE, UAC2_REQUEST_CUR, Selector, wire, &data, sizeof(data));
    }
    if (NT_SUCCESS(status))
    {
        *Value = data;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac2FeatureUnit::SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value)
{
    PAGED_CODE();
    UCHAR wire = 0;
    NTSTATUS status = AddressChannel(Selector, Channel, WRITABLE_BIT, &wire);
    if (NT_SUCCESS(status))
    {
        status = ControlRequest(FALSE, UAC2_REQUEST_CUR, Selector, wire, &Value, sizeof(Value));
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac2FeatureUnit::GetLevel(ULONG Selector, ULONG Channel, PLONG Level)
{
    PAGED_CODE();
    UCHAR wire = 0;
    NTSTATUS status =
        Level ? AddressChannel(Selector, Channel, READABLE_BIT, &wire) : STATUS_INVALID_PARAMETER;
    UCHAR data[2] = {};
    if (NT_SUCCESS(status))
    {
        status =
            ControlRequest(TRUE, UAC2_REQUEST_CUR, Selector, wire, data, IsToneSelector(Selector) ? 1 : 2);
    }
    if (NT_SUCCESS(status))
    {
        *Level = LevelFromWire(Selector, data);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac2FeatureUnit::SetLevel(ULONG Selector, ULONG Channel, LONG Level)
{
    PAGED_CODE();
    UCHAR wire = 0;
    NTSTATUS status = AddressChannel(Selector, Channel, WRITABLE_BIT, &wire);
    if (NT_SUCCESS(status))
    {
        UCHAR data[2] = {};
        ULONG length = LevelToWire(Selector, Level, data);
        status = ControlRequest(FALSE, UAC2_REQUEST_CUR, Selector, wire, data, length);
    }
    return status;
}

// One sub-range, asked of the first logical channel that carries the control (the master when
// none does). A reply shorter than one sub-range fails the read, so no bound is taken from
// bytes the device never sent.
STDMETHODIMP_(NTSTATUS)
CUac2FeatureUnit::GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution)
{
    PAGED_CODE();
    if (!Maximum || !Minimum || !Resolution || GetEntryCount() == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = 0;
    NTSTATUS status = CountControlChannels(Selector, &count);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    UCHAR channel = 0;
    for (ULONG c = 1; c <= count && channel == 0; c++)
    {
        channel = ControlBits(Selector, c) ? UCHAR(c) : 0;
    }
    const BOOLEAN tone = IsToneSelector(Selector);
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
    LONG minimum = LevelFromWire(Selector, reply + 2);
    LONG maximum = LevelFromWire(Selector, reply + 2 + size);
    LONG resolution = LevelFromWire(Selector, reply + 2 + 2 * size);
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
    UCHAR lengthBytes[2] = {};
    UCHAR unit = m_pDescriptor[FU_UNIT_ID_OFFSET];
    if (!NT_SUCCESS(Uac2EntityRead(m_pDevice, UAC2_REQUEST_MEM, MAP_LENGTH_ADDRESS, unit, lengthBytes,
                                   sizeof(lengthBytes))))
    {
        return;
    }
    ULONG total = ULONG(lengthBytes[0]) | ULONG(lengthBytes[1]) << 8;
    if (total < MAP_BITMAPS_OFFSET + MAP_ENTRY_BYTES)
    {
        return;
    }
    PUCHAR pMap = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, total, UAC2_ENTITY_POOL_TAG));
    if (!pMap)
    {
        return;
    }
    RtlZeroMemory(pMap, total);
    if (!NT_SUCCESS(Uac2EntityRead(m_pDevice, UAC2_REQUEST_MEM, 0, unit, pMap, total)))
    {
        ExFreePoolWithTag(pMap, UAC2_ENTITY_POOL_TAG);
        return;
    }
    m_pExtendedControlMap = pMap;
    m_nExtendedMapBytes = total;
}

NTSTATUS CUac2FeatureUnit::AddControlNode(ULONG Row, ULONG Id, IAdapterCommon* AdapterCommon,
                                          PBOOLEAN Allocated)
{
    PAGED_CODE();
    const FeatureControlRow& row = kFeatureControls[Row];
    CTopologyNode* pNode = row.New(Id, row.Kind);
    *Allocated = pNode ? TRUE : FALSE;
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pNode->NonDelegatingAddRef();
    NTSTATUS status = row.Init(pNode, static_cast<ITopologyNode*>(this), row.Selector,
                               AdapterCommon->GetDeviceObject(), m_pDeviceLock);
    return Uac1AdoptChildNode(AdapterCommon, this, pNode, status);
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
    m_nId = m_pDescriptor[FU_UNIT_ID_OFFSET];
    m_nKind = USB_AUDIO_AC_FEATURE_UNIT;
    ULONG source = m_pDescriptor[FU_SOURCE_ID_OFFSET];
    NTSTATUS status = SetSourceIdList(1, &source);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    // The unit's other controls hang behind its mute node; a unit without one is refused.
    if (!IsUac2FeatureControlPresent(USB_AUDIO_FU_MUTE_CONTROL))
    {
        DbgPrint("CUac2FeatureUnit: feature unit %u has no mute control, which this driver needs on every "
                 "feature unit\n",
                 ULONG(m_nId));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG id = AdapterCommon->GetNodeCount();
    for (ULONG i = 0; i < FEATURE_CONTROL_COUNT; i++)
    {
        if (!IsUac2FeatureControlPresent(kFeatureControls[i].Selector))
        {
            continue;
        }
        BOOLEAN allocated = FALSE;
        NTSTATUS added = AddControlNode(i, id, AdapterCommon, &allocated);
        // Only the mute node is indispensable; a later node the pool cannot hold is left out.
        if (!allocated && i > 0)
        {
            continue;
        }
        status = added;
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        id++;
    }
    return status;
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
