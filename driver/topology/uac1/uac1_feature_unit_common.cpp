// The feature units' shared wire formats, control map read and node builder.
#include "driver/topology/uac1/uac1_feature_unit_common.h"

#include "driver/topology/nodes/boolean_control_node.h"
#include "driver/topology/nodes/level_control_node.h"
#include "driver/topology/uac1/uac1_entity_request.h"

namespace
{

constexpr ULONG TONE_SHIFT = 14;
constexpr ULONG LEVEL_SHIFT = 8;
constexpr SHORT WIRE_SILENCE = SHORT(-32768); // 0x8000: minus infinity

LONG Saturate(LONG Value, LONG Lowest, LONG Highest)
{
    return Value < Lowest ? Lowest : (Value > Highest ? Highest : Value);
}

CTopologyNode* NewSwitchNode(ULONG Id, ULONG Kind, ULONG Tag)
{
    return new (NonPagedPool, Tag) CBooleanControlNode(nullptr, Id, Kind);
}

CTopologyNode* NewVolumeNode(ULONG Id, ULONG Kind, ULONG Tag)
{
    return new (NonPagedPool, Tag) CVolumeControlNode(nullptr, Id);
}

CTopologyNode* NewToneNode(ULONG Id, ULONG Kind, ULONG Tag)
{
    return new (NonPagedPool, Tag) CToneControlNode(nullptr, Id, Kind);
}

// Selector, node kind, node class, set-up; built in this order, mute (required) first.
const FeatureControlRow kStandardControls[] = {
    {USB_AUDIO_FU_MUTE_CONTROL, NODE_KIND_MUTE, NewSwitchNode, InitFeatureSwitchNode},
    {USB_AUDIO_FU_VOLUME_CONTROL, NODE_KIND_VOLUME, NewVolumeNode, InitFeatureLevelNode},
    {USB_AUDIO_FU_BASS_CONTROL, NODE_KIND_BASS, NewToneNode, InitFeatureLevelNode},
    {USB_AUDIO_FU_MID_CONTROL, NODE_KIND_MID, NewToneNode, InitFeatureLevelNode},
    {USB_AUDIO_FU_TREBLE_CONTROL, NODE_KIND_TREBLE, NewToneNode, InitFeatureLevelNode},
    {USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL, NODE_KIND_AGC, NewSwitchNode, InitFeatureSwitchNode},
    {USB_AUDIO_FU_LOUDNESS_CONTROL, NODE_KIND_LOUDNESS, NewSwitchNode, InitFeatureSwitchNode},
};
constexpr ULONG STANDARD_CONTROL_COUNT = sizeof(kStandardControls) / sizeof(kStandardControls[0]);

} // namespace

BOOLEAN FeatureIsToneSelector(ULONG Selector)
{
    return Selector >= USB_AUDIO_FU_BASS_CONTROL && Selector <= USB_AUDIO_FU_TREBLE_CONTROL ? TRUE : FALSE;
}

LONG FeatureToneFromWire(UCHAR Data)
{
    return LONG(static_cast<signed char>(Data)) * (1 << TONE_SHIFT);
}

UCHAR FeatureToneToWire(LONG Level)
{
    return UCHAR(static_cast<signed char>(Saturate(Level >> TONE_SHIFT, -128, 127)));
}

LONG FeatureLevelFromWire(ULONG Selector, const UCHAR* Data)
{
    if (FeatureIsToneSelector(Selector))
    {
        return FeatureToneFromWire(Data[0]);
    }
    return LONG(SHORT(USHORT(Data[0] | Data[1] << 8))) * (1 << LEVEL_SHIFT);
}

ULONG FeatureLevelToWire(ULONG Selector, LONG Level, PUCHAR Data)
{
    if (FeatureIsToneSelector(Selector))
    {
        Data[0] = FeatureToneToWire(Level);
        return 1;
    }
    SHORT wire = Level == LEVEL_SILENCE ? WIRE_SILENCE : SHORT(Saturate(Level >> LEVEL_SHIFT, -32767, 32767));
    Data[0] = UCHAR(USHORT(wire));
    Data[1] = UCHAR(USHORT(wire) >> 8);
    return 2;
}

VOID FeatureReadControlMap(PUNKNOWN Device, UCHAR UnitId, PFN_FEATURE_MEMORY_READ Read,
                           USHORT MapLengthAddress, ULONG MinimumBytes, ULONG Tag, PUCHAR* Map,
                           PULONG MapBytes)
{
    PAGED_CODE();
    UCHAR lengthBytes[2] = {};
    if (!NT_SUCCESS(Read(Device, MapLengthAddress, UnitId, lengthBytes, sizeof(lengthBytes))))
    {
        return;
    }
    ULONG total = ULONG(lengthBytes[0]) | ULONG(lengthBytes[1]) << 8;
    if (total < MinimumBytes)
    {
        return;
    }
    PUCHAR pMap = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, total, Tag));
    if (!pMap)
    {
        return;
    }
    RtlZeroMemory(pMap, total);
    if (!NT_SUCCESS(Read(Device, 0, UnitId, pMap, total)))
    {
        ExFreePoolWithTag(pMap, Tag);
        return;
    }
    *Map = pMap;
    *MapBytes = total;
}

// ---- Control nodes ----

NTSTATUS InitFeatureSwitchNode(CTopologyNode* Node, ITopologyNode* Unit, ULONG Selector,
                               PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    return static_cast<CBooleanControlNode*>(Node)->InitControlNode(Unit, Selector, SettingsDevice,
                                                                    DeviceLock);
}

// The tone and input-gain-pad nodes derive from the volume node and share its set-up.
NTSTATUS InitFeatureLevelNode(CTopologyNode* Node, ITopologyNode* Unit, ULONG Selector,
                              PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock)
{
    return static_cast<CVolumeControlNode*>(Node)->InitLevelControlNode(Unit, Selector, SettingsDevice,
                                                                        DeviceLock);
}

ULONG FeatureControlRowCount(ULONG ExtraCount)
{
    return STANDARD_CONTROL_COUNT + ExtraCount;
}

const FeatureControlRow& FeatureControlRowAt(const FeatureControlRow* Extra, ULONG Index)
{
    return Index < STANDARD_CONTROL_COUNT ? kStandardControls[Index] : Extra[Index - STANDARD_CONTROL_COUNT];
}

NTSTATUS AddFeatureControlNode(CUsbEntityNode* Unit, const FeatureControlRow& Row, ULONG Id, ULONG Tag,
                               IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock, PBOOLEAN Allocated)
{
    PAGED_CODE();
    CTopologyNode* pNode = Row.New(Id, Row.Kind, Tag);
    *Allocated = pNode ? TRUE : FALSE;
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pNode->NonDelegatingAddRef();
    NTSTATUS status = Row.Init(pNode, static_cast<ITopologyNode*>(Unit), Row.Selector,
                               AdapterCommon->GetDeviceObject(), DeviceLock);
    return Uac1AdoptChildNode(AdapterCommon, Unit, pNode, status);
}
