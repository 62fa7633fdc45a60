// What the feature units of every release and variant share: the one-byte tone and two-byte level formats of
// the wire, the counting of the channels that carry a control, the reading of the vendor control map and the
// control-node builder, which makes one node per announced control from a table of rows.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "usbaudio.h"
#include "driver/core/adapter_common.h"
#include "driver/core/mutex_lock.h"
#include "driver/topology/nodes/feature_unit_if.h"
#include "driver/topology/nodes/usb_entity_node.h"

// Bass, mid and treble travel as one signed byte in 1/4 dB; the other levels as a signed word
// in 1/256 dB. Any IRQL.
BOOLEAN FeatureIsToneSelector(ULONG Selector);
LONG FeatureToneFromWire(UCHAR Data);
// Held at the byte's ends instead of wrapping round, so silence is the lowest tone setting.
UCHAR FeatureToneToWire(LONG Level);
// A level of Selector from its wire bytes (one for a tone, two otherwise).
LONG FeatureLevelFromWire(ULONG Selector, const UCHAR* Data);
// Writes Selector's wire bytes of Level and returns how many; silence becomes 0x8000.
ULONG FeatureLevelToWire(ULONG Selector, LONG Level, PUCHAR Data);

// The logical channels 1 to Entries - 1 for which Has(channel) holds; when none does, 1 if the
// master (entry 0) does, else 0.
template <class Has> ULONG FeatureCountControlChannels(ULONG Entries, Has HasControl)
{
    ULONG count = 0;
    for (ULONG channel = 1; channel < Entries; channel++)
    {
        count += HasControl(channel) ? 1 : 0;
    }
    if (count == 0 && HasControl(0))
    {
        count = 1;
    }
    return count;
}

// The wire channel of node channel Channel. CountChannels(PULONG) counts the channels that carry
// the control, as FeatureCountControlChannels; node channel c is then logical channel c + 1 when
// several do, else the master, and a control that a single logical channel carries is addressed
// on channel 1 when MayTakeNext allows. An entry that does not carry the control (HasControl
// false) fails with STATUS_INVALID_PARAMETER. Order (may be null) renumbers the entry for the
// device.
template <class Count, class Has>
NTSTATUS FeatureAddressChannel(Count CountChannels, Has HasControl, ULONG Channel, BOOLEAN MayTakeNext,
                               ULONG (*Order)(ULONG), PUCHAR WireChannel)
{
    ULONG count = 0;
    NTSTATUS status = CountChannels(&count);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (Channel >= count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG channel = count > 1 ? Channel + 1 : Channel;
    if (!HasControl(channel))
    {
        if (count > 1 || !MayTakeNext || !HasControl(channel + 1))
        {
            return STATUS_INVALID_PARAMETER;
        }
        channel++;
    }
    *WireChannel = UCHAR(Order ? Order(channel) : channel);
    return STATUS_SUCCESS;
}

// The class-1 and class-2 units' own Init steps once their descriptor copy is kept: a unit whose
// descriptor has no room for a single channel's controls is refused, naming it; otherwise the
// unit keeps DeviceLock, reads its vendor control map and builds its nodes (through its builder
// slot, so a variant's builder runs). PASSIVE_LEVEL.
template <class Unit>
NTSTATUS StartFeatureUnit(Unit* pUnit, IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                          const char* UnitClass)
{
    if (pUnit->GetEntryCount() == 0)
    {
        // bUnitID is the descriptor's byte 3 in both releases.
        DbgPrint("%s: feature unit %u has no room for the controls of a single channel\n", UnitClass,
                 ULONG(pUnit->GetDescriptor()[3]));
        return STATUS_UNSUCCESSFUL;
    }
    pUnit->m_pDeviceLock = DeviceLock;
    pUnit->ReadExtendedControlMap();
    return pUnit->BuildFeatureControls(AdapterCommon);
}

// A read of Length bytes of the unit's memory at Address, in the unit's own release.
typedef NTSTATUS (*PFN_FEATURE_MEMORY_READ)(PUNKNOWN Device, USHORT Address, UCHAR UnitId, PVOID Buffer,
                                            ULONG Length);

// The vendor control map: its length (u16) at MapLengthAddress, then the whole block from 0 into
// pool of tag Tag. A device without one, or with a block shorter than MinimumBytes, has none:
// Map stays null. PASSIVE_LEVEL.
VOID FeatureReadControlMap(PUNKNOWN Device, UCHAR UnitId, PFN_FEATURE_MEMORY_READ Read,
                           USHORT MapLengthAddress, ULONG MinimumBytes, ULONG Tag, PUCHAR* Map,
                           PULONG MapBytes);

// ---- Control nodes ----

typedef CTopologyNode* (*PFN_NEW_FEATURE_CONTROL)(ULONG Id, ULONG Kind, ULONG Tag);
typedef NTSTATUS (*PFN_INIT_FEATURE_CONTROL)(CTopologyNode* Node, ITopologyNode* Unit, ULONG Selector,
                                             PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock);

struct FeatureControlRow
{
    UCHAR Selector;
    ULONG Kind;
    PFN_NEW_FEATURE_CONTROL New;
    PFN_INIT_FEATURE_CONTROL Init;
};

// The on/off set-up, and the ranged one that the tone and gain-pad nodes share with volume.
NTSTATUS InitFeatureSwitchNode(CTopologyNode* Node, ITopologyNode* Unit, ULONG Selector,
                               PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock);
NTSTATUS InitFeatureLevelNode(CTopologyNode* Node, ITopologyNode* Unit, ULONG Selector,
                              PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock);

// Every unit builds the standard controls first, mute (required) leading, then its own Extra
// rows. Row Index of that sequence; Index below FeatureControlRowCount(ExtraCount).
ULONG FeatureControlRowCount(ULONG ExtraCount);
const FeatureControlRow& FeatureControlRowAt(const FeatureControlRow* Extra, ULONG Index);

// Who builds, for the messages: the unit's class and what needs the mute ("driver", "model").
struct FeatureBuilderNames
{
    const char* UnitClass;
    const char* Needer;
};

// Node Row for Unit, numbered Id, in Tag pool; Allocated tells whether the pool gave one.
// The node joins the adapter's node list and the unit's children, as Uac1AdoptChildNode.
// PASSIVE_LEVEL.
NTSTATUS AddFeatureControlNode(CUsbEntityNode* Unit, const FeatureControlRow& Row, ULONG Id, ULONG Tag,
                               IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock, PBOOLEAN Allocated);

// The steps after the unit took its id and source. The driver's nodes hang the unit's other
// controls behind its mute, so a unit without one is refused, as not supported: nothing ran
// out. Then one node per row whose control
// (Unit->*Present) announces, the standard rows and then Extra, numbered on from the adapter's
// node count. Only the mute node is
// indispensable: a later node the pool cannot hold is left out; the first failing set-up or
// registration ends the build with its status. PASSIVE_LEVEL.
template <class Unit>
NTSTATUS BuildFeatureControlNodes(Unit* pUnit, BOOLEAN (Unit::*Present)(ULONG),
                                  const FeatureControlRow* Extra, ULONG ExtraCount, ULONG Tag,
                                  IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                  const FeatureBuilderNames& Names)
{
    PAGED_CODE();
    if (!(pUnit->*Present)(USB_AUDIO_FU_MUTE_CONTROL))
    {
        DbgPrint("%s: feature unit %u has no mute control, which this %s needs on every feature unit\n",
                 Names.UnitClass, pUnit->GetId(), Names.Needer);
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status = STATUS_SUCCESS;
    ULONG id = AdapterCommon->GetNodeCount();
    const ULONG rows = FeatureControlRowCount(ExtraCount);
    for (ULONG i = 0; i < rows; i++)
    {
        const FeatureControlRow& row = FeatureControlRowAt(Extra, i);
        if (!(pUnit->*Present)(row.Selector))
        {
            continue;
        }
        BOOLEAN allocated = FALSE;
        NTSTATUS added = AddFeatureControlNode(pUnit, row, id, Tag, AdapterCommon, DeviceLock, &allocated);
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
