// CUac1FeatureUnit: control presence and channel addressing from the unit's control bitmaps,
// the value requests and their conversions, the vendor control map, and the control nodes.
#include "driver/topology/uac1/uac1_feature_unit.h"

#include "usbaudio.h"
#include "driver/core/audio_hal.h"
#include "driver/topology/nodes/effect_control_node.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/uac1/uac1_feature_unit_common.h"

namespace
{

// Descriptor layout: bUnitID at 3, bSourceID at 4, bControlSize at 5, then one bitmap entry of
// bControlSize bytes per channel (master first), then iFeature.
constexpr ULONG FU_UNIT_ID_OFFSET = 3;
constexpr ULONG FU_SOURCE_ID_OFFSET = 4;
constexpr ULONG FU_CONTROL_SIZE_OFFSET = 5;
constexpr ULONG FU_CONTROLS_OFFSET = 6;
constexpr ULONG FU_FIXED_BYTES = 7; // the fields above and iFeature

// Selectors from here are the vendor's, announced by the extended control map.
constexpr ULONG VENDOR_SELECTOR_BASE = 0x80;

// The extended control map in the unit's memory: its length (u16) is read first, at offset 16.
constexpr USHORT MAP_LENGTH_ADDRESS = 0x0010;
constexpr ULONG MAP_CONTROL_SIZE_OFFSET = 18;
constexpr ULONG MAP_BITMAPS_OFFSET = 19;
constexpr UCHAR MAP_CONTROL_SIZE = 2; // the only bitmap width the vendor controls use

// The device orders its surround channels differently from the channel-mask order the nodes
// use: side and rear pairs change places.
ULONG DeviceChannelOrder(ULONG Channel)
{
    if (Channel == 5 || Channel == 6)
    {
        return Channel + 2;
    }
    if (Channel == 7 || Channel == 8)
    {
        return Channel - 2;
    }
    return Channel;
}

// ---- Control nodes ----

CTopologyNode* NewEffectNode(ULONG Id, ULONG Kind, ULONG Tag)
{
    return new (NonPagedPool, Tag) CEffectControlNode(nullptr, Id);
}

NTSTATUS InitEffectNode(CTopologyNode* Node, ITopologyNode* Owner, ULONG Selector,
                        PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    return static_cast<CEffectControlNode*>(Node)->InitEffectControlNode(Owner, Selector, SettingsDevice,
                                                                         DeviceLock);
}

// Selector, node kind, node class, set-up; built in this order after the standard controls.
const FeatureControlRow kFeatureControls[] = {
    {139, NODE_KIND_EFFECT, NewEffectNode, InitEffectNode}, // vendor effect controls
    {140, NODE_KIND_EFFECT, NewEffectNode, InitEffectNode},
};
constexpr ULONG FEATURE_CONTROL_COUNT = sizeof(kFeatureControls) / sizeof(kFeatureControls[0]);

const FeatureBuilderNames kBuilderNames = {"CUac1FeatureUnit", "driver"};

// The unit's memory is read with a class request.
NTSTATUS ReadUnitMemory(PUNKNOWN Device, USHORT Address, UCHAR UnitId, PVOID Buffer, ULONG Length)
{
    return Uac1EntityRead(Device, UAC1_REQUEST_CLASS, USB_AUDIO_GET_MEM, Address, UnitId, Buffer, Length);
}

} // namespace

CUac1FeatureUnit::CUac1FeatureUnit(PUNKNOWN UnknownOuter, ULONG Id)
    : CUsbEntityNode(UnknownOuter, Id), m_pExtendedControlMap(nullptr), m_nExtendedMapBytes(0),
      m_pDeviceLock(nullptr)
{
}

CUac1FeatureUnit::~CUac1FeatureUnit()
{
    PAGED_CODE();
    if (m_pExtendedControlMap)
    {
        ExFreePoolWithTag(m_pExtendedControlMap, UAC1_ENTITY_POOL_TAG);
        m_pExtendedControlMap = nullptr;
    }
}

STDMETHODIMP_(NTSTATUS) CUac1FeatureUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    return QueryNodeInterface(this, InterfaceId, Interface, IID_IFeatureUnitSwitch,
                              static_cast<IFeatureUnitSwitch*>(this), IID_IFeatureUnitLevel,
                              static_cast<IFeatureUnitLevel*>(this));
}

NTSTATUS CUac1FeatureUnit::Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    return Uac1InitEntity(
        this, Descriptor, Length, Device, AdapterCommon, USB_AUDIO_AC_FEATURE_UNIT,
        [&]() -> NTSTATUS
        { return StartFeatureUnit(this, AdapterCommon, DeviceLock, kBuilderNames.UnitClass); });
}

// The count comes from the descriptor's own length; a descriptor too short for one entry and
// iFeature, or with a control size of 0, has none.
ULONG CUac1FeatureUnit::GetEntryCount()
{
    const UCHAR* d = m_pDescriptor;
    if (!d || d[0] < FU_FIXED_BYTES || d[1] != USB_AUDIO_CS_INTERFACE || d[2] != USB_AUDIO_AC_FEATURE_UNIT ||
        d[FU_CONTROL_SIZE_OFFSET] == 0)
    {
        return 0;
    }
    return (ULONG(d[0]) - FU_FIXED_BYTES) / d[FU_CONTROL_SIZE_OFFSET];
}

BOOLEAN CUac1FeatureUnit::ChannelHasControl(ULONG Selector, ULONG Channel)
{
    ULONG bits = 0;
    ULONG width = 0;
    ULONG bit = (Selector & 0x7F) - 1;
    if ((Selector & 0x7F) == 0)
    {
        return FALSE;
    }
    if (Selector >= VENDOR_SELECTOR_BASE)
    {
        if (!m_pExtendedControlMap || m_pExtendedControlMap[MAP_CONTROL_SIZE_OFFSET] != MAP_CONTROL_SIZE ||
            Channel >= (m_nExtendedMapBytes - MAP_BITMAPS_OFFSET) / MAP_CONTROL_SIZE)
        {
            return FALSE;
        }
        const UCHAR* entry = m_pExtendedControlMap + MAP_BITMAPS_OFFSET + Channel * MAP_CONTROL_SIZE;
        bits = ULONG(entry[0]) | ULONG(entry[1]) << 8;
        width = 16;
    }
    else
    {
        if (Channel >= GetEntryCount())
        {
            return FALSE;
        }
        ULONG size = m_pDescriptor[FU_CONTROL_SIZE_OFFSET];
        const UCHAR* entry = m_pDescriptor + FU_CONTROLS_OFFSET + Channel * size;
        bits = size == 1 ? ULONG(entry[0]) : (ULONG(entry[0]) | ULONG(entry[1]) << 8);
        width = size == 1 ? 8 : 16;
    }
    return bit < width && ((bits >> bit) & 1) ? TRUE : FALSE;
}

BOOLEAN CUac1FeatureUnit::IsFeatureControlPresent(ULONG Selector)
{
    ULONG entries = GetEntryCount();
    if (Selector >= VENDOR_SELECTOR_BASE)
    {
        entries = m_pExtendedControlMap ? (m_nExtendedMapBytes - MAP_BITMAPS_OFFSET) / MAP_CONTROL_SIZE : 0;
    }
    for (ULONG channel = 0; channel < entries; channel++)
    {
        if (ChannelHasControl(Selector, channel))
        {
            return TRUE;
        }
    }
    return FALSE;
}

// The logical channels (not the master) that carry the control; a control on the master alone
// counts as one channel.
NTSTATUS CUac1FeatureUnit::CountControlChannels(ULONG Selector, PULONG Count)
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
        entries = (m_nExtendedMapBytes - MAP_BITMAPS_OFFSET) / MAP_CONTROL_SIZE;
    }
    ULONG count = FeatureCountControlChannels(entries, [this, Selector](ULONG Channel)
                                              { return ChannelHasControl(Selector, Channel); });
    *Count = count;
    return count ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) CUac1FeatureUnit::GetControlChannelCount(ULONG Selector, PULONG Count)
{
    PAGED_CODE();
    return CountControlChannels(Selector, Count);
}

STDMETHODIMP_(NTSTATUS) CUac1FeatureUnit::GetLevelChannelCount(ULONG Selector, PULONG Count)
{
    PAGED_CODE();
    return CountControlChannels(Selector, Count);
}

// The device numbers the picked channel in its own surround order.
NTSTATUS CUac1FeatureUnit::AddressChannel(ULONG Selector, ULONG Channel, PUCHAR WireChannel)
{
    return FeatureAddressChannel([this, Selector](PULONG Count)
                                 { return CountControlChannels(Selector, Count); },
                                 [this, Selector](ULONG Entry) { return ChannelHasControl(Selector, Entry); },
                                 Channel, TRUE, DeviceChannelOrder, WireChannel);
}

NTSTATUS CUac1FeatureUnit::ControlRequest(BOOLEAN In, UCHAR Request, ULONG Selector, UCHAR WireChannel,
                                          PVOID Data, ULONG Length)
{
    ULONG function = Selector >= VENDOR_SELECTOR_BASE ? UAC1_REQUEST_VENDOR : UAC1_REQUEST_CLASS;
    USHORT value = USHORT((Selector & 0xFF) << 8 | WireChannel);
    UCHAR unit = m_pDescriptor[FU_UNIT_ID_OFFSET];
    return In ? Uac1EntityRead(m_pDevice, function, Request, value, unit, Data, Length)
              : Uac1EntityWrite(m_pDevice, function, Request, value, unit, Data, Length);
}

STDMETHODIMP_(NTSTATUS) CUac1FeatureUnit::GetSwitch(ULONG Selector, ULONG Channel, PUCHAR Value)
{
    PAGED_CODE();
    UCHAR wire = 0;
    NTSTATUS status = Value ? AddressChannel(Selector, Channel, &wire) : STATUS_INVALID_PARAMETER;
    UCHAR data = 0;
    if (NT_SUCCESS(status))
    {
        status = ControlRequest(TRUE, USB_AUDIO_GET_CUR, Selector, wire, &data, sizeof(data));
    }
    if (NT_SUCCESS(status))
    {
        *Value = data;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac1FeatureUnit::SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value)
{
    PAGED_CODE();
    UCHAR wire = 0;
    NTSTATUS status = AddressChannel(Selector, Channel, &wire);
    if (NT_SUCCESS(status))
    {
        status = ControlRequest(FALSE, USB_AUDIO_SET_CUR, Selector, wire, &Value, sizeof(Value));
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac1FeatureUnit::GetLevel(ULONG Selector, ULONG Channel, PLONG Level)
{
    PAGED_CODE();
    UCHAR wire = 0;
    NTSTATUS status = Level ? AddressChannel(Selector, Channel, &wire) : STATUS_INVALID_PARAMETER;
    UCHAR data[2] = {};
    if (NT_SUCCESS(status))
    {
        status = ControlRequest(TRUE, USB_AUDIO_GET_CUR, Selector, wire, data,
                                FeatureIsToneSelector(Selector) ? 1 : 2);
    }
    if (NT_SUCCESS(status))
    {
        *Level = FeatureLevelFromWire(Selector, data);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac1FeatureUnit::SetLevel(ULONG Selector, ULONG Channel, LONG Level)
{
    PAGED_CODE();
    UCHAR wire = 0;
    NTSTATUS status = AddressChannel(Selector, Channel, &wire);
    if (NT_SUCCESS(status))
    {
        UCHAR data[2] = {};
        ULONG length = FeatureLevelToWire(Selector, Level, data);
        status = ControlRequest(FALSE, USB_AUDIO_SET_CUR, Selector, wire, data, length);
    }
    return status;
}

// The range is asked of the first logical channel that carries the control (the master when
// none does), in its own channel number: ranges are per channel, not per position.
STDMETHODIMP_(NTSTATUS)
CUac1FeatureUnit::GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution)
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
        channel = ChannelHasControl(Selector, c) ? UCHAR(c) : 0;
    }
    const UCHAR requests[3] = {USB_AUDIO_GET_MAX, USB_AUDIO_GET_MIN, USB_AUDIO_GET_RES};
    LONG values[3] = {};
    ULONG length = FeatureIsToneSelector(Selector) ? 1 : 2;
    for (ULONG i = 0; i < 3; i++)
    {
        UCHAR data[2] = {};
        status = ControlRequest(TRUE, requests[i], Selector, channel, data, length);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        values[i] = FeatureLevelFromWire(Selector, data);
    }
    *Maximum = values[0];
    *Minimum = values[1];
    *Resolution = values[2];
    return STATUS_SUCCESS;
}

// The vendor controls are announced in the unit's memory: its length first, then the whole
// block. A device without one, or with a block too short for a single bitmap, has none.
VOID CUac1FeatureUnit::ReadExtendedControlMap()
{
    PAGED_CODE();
    FeatureReadControlMap(m_pDevice, m_pDescriptor[FU_UNIT_ID_OFFSET], ReadUnitMemory, MAP_LENGTH_ADDRESS,
                          MAP_BITMAPS_OFFSET + MAP_CONTROL_SIZE, UAC1_ENTITY_POOL_TAG, &m_pExtendedControlMap,
                          &m_nExtendedMapBytes);
}

NTSTATUS CUac1FeatureUnit::TakeUnitIdentity()
{
    PAGED_CODE();
    return TakeSingleSourceIdentity(USB_AUDIO_AC_FEATURE_UNIT, FU_SOURCE_ID_OFFSET);
}

STDMETHODIMP_(NTSTATUS) CUac1FeatureUnit::BuildFeatureControls(IAdapterCommon* AdapterCommon)
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
    NTSTATUS status = TakeUnitIdentity();
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return BuildFeatureControlNodes(this, &CUac1FeatureUnit::IsFeatureControlPresent, kFeatureControls,
                                    FEATURE_CONTROL_COUNT, UAC1_ENTITY_POOL_TAG, AdapterCommon, m_pDeviceLock,
                                    kBuilderNames);
}

NTSTATUS CUac1FeatureUnit::OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id)
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}
