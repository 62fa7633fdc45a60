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
    : CUsbFeatureUnit(UnknownOuter, Id, UAC1_ENTITY_POOL_TAG, USB_AUDIO_GET_CUR, USB_AUDIO_SET_CUR)
{
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

BOOLEAN CUac1FeatureUnit::ChannelCarriesControl(ULONG Selector, ULONG Channel)
{
    return ChannelHasControl(Selector, Channel);
}

// Entries are counted from the length alone: a map of another control size still has them, but
// none of them carries a control.
ULONG CUac1FeatureUnit::GetMapEntryCount()
{
    return m_pExtendedControlMap ? (m_nExtendedMapBytes - MAP_BITMAPS_OFFSET) / MAP_CONTROL_SIZE : 0;
}

BOOLEAN CUac1FeatureUnit::IsFeatureControlPresent(ULONG Selector)
{
    return AnyChannelCarriesControl(Selector);
}

// The device numbers the picked channel in its own surround order.
NTSTATUS CUac1FeatureUnit::AddressChannel(ULONG Selector, ULONG Channel, PUCHAR WireChannel)
{
    return FeatureAddressChannel([this, Selector](PULONG Count)
                                 { return CountControlChannels(Selector, Count); },
                                 [this, Selector](ULONG Entry) { return ChannelHasControl(Selector, Entry); },
                                 Channel, TRUE, DeviceChannelOrder, WireChannel);
}

NTSTATUS CUac1FeatureUnit::AddressControlChannel(ULONG Selector, ULONG Channel, BOOLEAN Write,
                                                 PUCHAR WireChannel)
{
    return AddressChannel(Selector, Channel, WireChannel);
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

// The range is asked of the first logical channel that carries the control (the master when
// none does), in its own channel number: ranges are per channel, not per position.
STDMETHODIMP_(NTSTATUS)
CUac1FeatureUnit::GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution)
{
    PAGED_CODE();
    UCHAR channel = 0;
    NTSTATUS status = RangeChannel(Selector, Maximum, Minimum, Resolution, &channel);
    if (!NT_SUCCESS(status))
    {
        return status;
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
