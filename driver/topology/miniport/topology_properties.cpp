// The topology miniport's node property handlers: levels, on/off controls, the input selector,
// the device-specific nodes (gain pad, switches, pin-type selector, effects) and node names,
// with the reply helpers every handler shares.
#include "driver/topology/miniport/topology_properties.h"

#include "driver/topology/miniport/miniport_topology_tables.h"

namespace
{

constexpr ULONG kAccessGetSetSupport =
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG kAccessSetSupport = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

// Per-channel replies: the description and one members header, then 16 bytes a channel.
constexpr ULONG kChannelReplyFixedBytes = BASIC_SUPPORT_DESCRIPTION_BYTES + sizeof(KSPROPERTY_MEMBERSHEADER);
constexpr ULONG kMaxReplyChannels = (MAXULONG - kChannelReplyFixedBytes) / sizeof(KSPROPERTY_STEPPING_LONG);

// The gain pad's members: size, node name, size of the three range values, then the range.
struct GainPadMembers
{
    KSPROPERTY_MEMBERSHEADER Header;
    ULONG ValuesSize; // 36
    GUID Name;
    ULONG RangeSize; // 12
    LONG Maximum;
    LONG Minimum;
    LONG Step;
};
static_assert(sizeof(GainPadMembers) == 52, "gain pad members are 52 bytes");

// A value list: one value, the GUID that names the node.
struct ValueListMembers
{
    KSPROPERTY_MEMBERSHEADER Header;
    ULONG ValueSize; // 24
    GUID Value;
    ULONG Reserved;
};
static_assert(sizeof(ValueListMembers) == 40, "value list members are 40 bytes");

struct DefaultMembers
{
    KSPROPERTY_MEMBERSHEADER Header;
    KSPROPERTY_BOUNDS_LONG Bounds;
};
static_assert(sizeof(DefaultMembers) == 24, "default members are 24 bytes");

// The channel of an audio node request: the u32 behind the node property.
BOOLEAN RequestChannel(PPCPROPERTY_REQUEST Request, PULONG Channel)
{
    if (!RequestHasInstance(Request, sizeof(ULONG)))
    {
        return FALSE;
    }
    *Channel = *static_cast<PULONG>(Request->Instance);
    return TRUE;
}

// Stepped ranges, one a channel, as the level and on/off replies give them.
VOID WriteSteppedRanges(PUCHAR Members, ULONG Channels, ULONG Step, LONG Minimum, LONG Maximum)
{
    KSPROPERTY_MEMBERSHEADER header = {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG),
                                       Channels, KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL};
    RtlCopyMemory(Members, &header, sizeof(header));
    KSPROPERTY_STEPPING_LONG range = {};
    range.SteppingDelta = Step;
    range.Bounds.SignedMinimum = Minimum;
    range.Bounds.SignedMaximum = Maximum;
    PUCHAR pRange = Members + sizeof(header);
    for (ULONG channel = 0; channel < Channels; channel++, pRange += sizeof(range))
    {
        RtlCopyMemory(pRange, &range, sizeof(range));
    }
}

// The reply of the per-channel properties: the full size grows by one stepped range a channel.
NTSTATUS BeginChannelBasicSupport(PPCPROPERTY_REQUEST Request, ULONG Channels, ULONG PropTypeId,
                                  PUCHAR* Members)
{
    if (Channels > kMaxReplyChannels)
    {
        return STATUS_INVALID_PARAMETER;
    }
    BasicSupportShape shape = {kAccessGetSetSupport,
                               kChannelReplyFixedBytes + Channels * ULONG(sizeof(KSPROPERTY_STEPPING_LONG)),
                               &KSPROPTYPESETID_General,
                               PropTypeId,
                               1,
                               FALSE};
    return BeginBasicSupport(Request, shape, Members);
}

// The replies of general type whose MembersBytes of members (none: 0) follow the description,
// with no member count when they do not fit.
NTSTATUS BeginGeneralBasicSupport(PPCPROPERTY_REQUEST Request, ULONG AccessFlags, ULONG PropTypeId,
                                  ULONG MembersBytes, PUCHAR* Members)
{
    const BasicSupportShape shape = {
        AccessFlags, BASIC_SUPPORT_DESCRIPTION_BYTES + MembersBytes, &KSPROPTYPESETID_General, PropTypeId, 0,
        FALSE};
    return BeginBasicSupport(Request, shape, Members);
}

} // namespace

NTSTATUS PropertyValueListSupport(PPCPROPERTY_REQUEST Request, ULONG PropTypeId, const GUID& Name)
{
    PUCHAR pMembers = nullptr;
    NTSTATUS status = BeginGeneralBasicSupport(Request, kAccessSetSupport, PropTypeId,
                                               ULONG(sizeof(ValueListMembers)), &pMembers);
    if (NT_SUCCESS(status) && pMembers)
    {
        ValueListMembers members = {};
        members.Header = {KSPROPERTY_MEMBER_VALUES, 24, 1, 0};
        members.ValueSize = 24;
        members.Value = Name;
        RtlCopyMemory(pMembers, &members, sizeof(members));
    }
    return status;
}

NTSTATUS PropertyU32Reply(PPCPROPERTY_REQUEST Request, ULONG Value)
{
    if (!IsGet(Request))
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CheckReplySize(Request, sizeof(ULONG));
    if (NT_SUCCESS(status))
    {
        *static_cast<PULONG>(Request->Value) = Value;
    }
    return status;
}

NTSTATUS PropertyU32ListReply(PPCPROPERTY_REQUEST Request, const ULONG* Values, ULONG Count)
{
    if (!IsGet(Request))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (Count > (MAXULONG - sizeof(KSMULTIPLE_ITEM)) / sizeof(ULONG))
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG size = ULONG(sizeof(KSMULTIPLE_ITEM)) + Count * ULONG(sizeof(ULONG));
    NTSTATUS status = CheckReplySize(Request, size);
    if (NT_SUCCESS(status))
    {
        KSMULTIPLE_ITEM header = {size, Count};
        RtlCopyMemory(Request->Value, &header, sizeof(header));
        RtlCopyMemory(static_cast<PUCHAR>(Request->Value) + sizeof(header), Values, Count * sizeof(ULONG));
    }
    return status;
}

// ---- Shared helpers ----

CMiniportTopology* MiniportFromTarget(PUNKNOWN MajorTarget)
{
    if (!MajorTarget)
    {
        return nullptr;
    }
    // Asked rather than cast, so any interface of the miniport may be the target. The port
    // holds the miniport for as long as it routes requests, so the reference is not kept.
    PMINIPORTTOPOLOGY pMiniport = nullptr;
    if (!NT_SUCCESS(MajorTarget->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&pMiniport))))
    {
        return nullptr;
    }
    pMiniport->Release();
    return static_cast<CMiniportTopology*>(pMiniport);
}

NTSTATUS CheckReplySize(PPCPROPERTY_REQUEST Request, ULONG NeededBytes)
{
    if (Request->ValueSize == 0)
    {
        Request->ValueSize = NeededBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (Request->ValueSize < NeededBytes)
    {
        Request->ValueSize = NeededBytes;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!Request->Value)
    {
        return STATUS_INVALID_PARAMETER;
    }
    Request->ValueSize = NeededBytes;
    return STATUS_SUCCESS;
}

NTSTATUS BeginBasicSupport(PPCPROPERTY_REQUEST Request, const BasicSupportShape& Shape, PUCHAR* Members)
{
    *Members = nullptr;
    if (Request->ValueSize < sizeof(ULONG))
    {
        Request->ValueSize = Shape.ZeroSizeWhenTooSmall ? 0 : Shape.FullSize;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!Request->Value)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (Request->ValueSize < BASIC_SUPPORT_DESCRIPTION_BYTES)
    {
        *static_cast<PULONG>(Request->Value) = Shape.AccessFlags;
        Request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    KSPROPERTY_DESCRIPTION description = {};
    description.AccessFlags = Shape.AccessFlags;
    description.DescriptionSize = Shape.FullSize;
    description.PropTypeSet.Set = *Shape.PropTypeSet;
    description.PropTypeSet.Id = Shape.PropTypeId;
    description.PropTypeSet.Flags = 0;
    BOOLEAN membersFit =
        Shape.FullSize > BASIC_SUPPORT_DESCRIPTION_BYTES && Request->ValueSize >= Shape.FullSize;
    description.MembersListCount = membersFit ? 1 : Shape.MembersListCountIfShort;
    RtlCopyMemory(Request->Value, &description, sizeof(description));
    if (membersFit)
    {
        *Members = static_cast<PUCHAR>(Request->Value) + BASIC_SUPPORT_DESCRIPTION_BYTES;
        Request->ValueSize = Shape.FullSize;
    }
    else
    {
        Request->ValueSize = BASIC_SUPPORT_DESCRIPTION_BYTES;
    }
    return STATUS_SUCCESS;
}

// ---- Entry handlers ----
// Each checks that the item is one it serves and passes the request to the miniport.

namespace
{

// The miniport behind a node request; null when the request names no property item.
CMiniportTopology* NodeRequestMiniport(PPCPROPERTY_REQUEST Request)
{
    CMiniportTopology* pMiniport = Request ? MiniportFromTarget(Request->MajorTarget) : nullptr;
    return pMiniport && Request->PropertyItem ? pMiniport : nullptr;
}

} // namespace

NTSTATUS PropertyHandlerLevel(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    CMiniportTopology* pMiniport = NodeRequestMiniport(Request);
    if (!pMiniport)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsAudioId(Request, KSPROPERTY_AUDIO_VOLUMELEVEL) || IsAudioId(Request, KSPROPERTY_AUDIO_BASS) ||
        IsAudioId(Request, KSPROPERTY_AUDIO_MID) || IsAudioId(Request, KSPROPERTY_AUDIO_TREBLE) ||
        IsSetAndId(Request, KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_LEVEL))
    {
        return pMiniport->PropertyLevel(Request);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS PropertyHandlerOnOff(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    CMiniportTopology* pMiniport = NodeRequestMiniport(Request);
    if (!pMiniport)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsAudioId(Request, KSPROPERTY_AUDIO_MUTE) || IsAudioId(Request, KSPROPERTY_AUDIO_AGC) ||
        IsAudioId(Request, KSPROPERTY_AUDIO_LOUDNESS))
    {
        return pMiniport->PropertyOnOff(Request);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS PropertyHandlerMuxSource(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    CMiniportTopology* pMiniport = NodeRequestMiniport(Request);
    if (!pMiniport || !IsAudioId(Request, KSPROPERTY_AUDIO_MUX_SOURCE))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return pMiniport->PropertyMuxSource(Request);
}

NTSTATUS PropertyHandlerDevSpecific(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    CMiniportTopology* pMiniport = NodeRequestMiniport(Request);
    if (!pMiniport)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return pMiniport->DispatchDevSpecific(Request);
}

NTSTATUS PropertyHandlerNodeName(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    CMiniportTopology* pMiniport = NodeRequestMiniport(Request);
    if (!pMiniport || !IsSetAndId(Request, KSPROPSETID_NodeName, KSPROPERTY_NODENAME_NAME))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return pMiniport->PropertyNodeName(Request);
}

// ---- Node handlers ----

// The node the request names, queried for one of its interfaces (released by the caller).
NTSTATUS CMiniportTopology::QueryNode(PPCPROPERTY_REQUEST Request, REFIID InterfaceId, PVOID* Interface,
                                      PULONG Kind)
{
    PAGED_CODE();
    *Interface = nullptr;
    TopologyNodeRecord record;
    if (Request->Node >= m_nNodeCount || !FindNodeRecordByIndex(Request->Node, &record))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (Kind)
    {
        *Kind = record.Node->GetKind();
    }
    return record.Node->QueryInterface(InterfaceId, Interface);
}

// Picks the node's handler by its kind. Kinds 15, 17, 19 and 20 stand for node interfaces no
// node class here implements: a node of such a kind could not answer any of them.
NTSTATUS CMiniportTopology::DispatchDevSpecific(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    TopologyNodeRecord record;
    if (Request->Node >= m_nNodeCount || !FindNodeRecordByIndex(Request->Node, &record))
    {
        return STATUS_INVALID_PARAMETER;
    }
    switch (record.Node->GetKind())
    {
    case NODE_KIND_INPUT_GAIN_PAD:
        return PropertyDevSpecificLevel(Request);
    case NODE_KIND_PIN_TYPE_SELECTOR:
        return PropertyPinTypeSelector(Request);
    case NODE_KIND_VENDOR_SWITCH:
    case NODE_KIND_VARIANT_A_SWITCH:
        return PropertyDevSpecificSwitch(Request);
    case NODE_KIND_EFFECT:
        return PropertyEffectNode(Request);
    case 15:
    case 17:
    case 19:
    case 20:
        return STATUS_INVALID_PARAMETER;
    default:
        return PropertyDevSpecificDefault(Request);
    }
}

// Get and set of one channel's level, shared by the level and gain-pad handlers.
namespace
{

NTSTATUS LevelGetSet(PPCPROPERTY_REQUEST Request, ILevelControl* Level)
{
    ULONG channel = 0;
    if (!RequestChannel(Request, &channel) || !RequestHasValue(Request, sizeof(LONG)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (IsGet(Request))
    {
        status = Level->GetLevel(channel, static_cast<PLONG>(Request->Value));
    }
    else if (IsSetVerb(Request))
    {
        status = Level->SetLevel(channel, *static_cast<PLONG>(Request->Value));
    }
    if (NT_SUCCESS(status))
    {
        Request->ValueSize = sizeof(LONG);
    }
    return status;
}

NTSTATUS LevelBasicSupport(PPCPROPERTY_REQUEST Request, ILevelControl* Level)
{
    ULONG channels = 0;
    NTSTATUS status = Level->GetChannelCount(&channels);
    PUCHAR pMembers = nullptr;
    if (NT_SUCCESS(status))
    {
        status = BeginChannelBasicSupport(Request, channels, VT_I4, &pMembers);
    }
    if (NT_SUCCESS(status) && pMembers)
    {
        LONG maximum = 0, minimum = 0, step = 0;
        status = Level->GetRange(&maximum, &minimum, &step);
        if (!NT_SUCCESS(status))
        {
            Request->ValueSize = 0;
            return status;
        }
        WriteSteppedRanges(pMembers, channels, ULONG(step), minimum, maximum);
    }
    return status;
}

// Get and set of one channel's on/off value, shared by the on/off and vendor-switch handlers.
// The node keeps a byte; the reply is a 32-bit BOOL, so the get clears the word first.
NTSTATUS SwitchGetSet(PPCPROPERTY_REQUEST Request, IBooleanControl* Switch, ULONG Channel)
{
    if (!RequestHasValue(Request, sizeof(ULONG)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (IsGet(Request))
    {
        *static_cast<PULONG>(Request->Value) = 0;
        status = Switch->GetValue(Channel, static_cast<PUCHAR>(Request->Value));
    }
    else if (IsSetVerb(Request))
    {
        status = Switch->SetValue(Channel, *static_cast<PULONG>(Request->Value) != 0);
    }
    if (NT_SUCCESS(status))
    {
        Request->ValueSize = sizeof(ULONG);
    }
    return status;
}

} // namespace

// Volume and tone levels. The vendor level set is the one way a client changes a level and
// has every other client told at once.
NTSTATUS CMiniportTopology::PropertyLevel(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    ULONG kind = 0;
    auto handle = [&](ILevelControl* pLevel)
    {
        BOOLEAN vendorLevel = IsSetAndId(Request, KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_LEVEL);
        BOOLEAN fits =
            vendorLevel ||
            (IsAudioId(Request, KSPROPERTY_AUDIO_VOLUMELEVEL) && (kind == NODE_KIND_VOLUME || kind == 16)) ||
            (IsAudioId(Request, KSPROPERTY_AUDIO_BASS) && kind == NODE_KIND_BASS) ||
            (IsAudioId(Request, KSPROPERTY_AUDIO_MID) && kind == NODE_KIND_MID) ||
            (IsAudioId(Request, KSPROPERTY_AUDIO_TREBLE) && kind == NODE_KIND_TREBLE);
        if (!fits)
        {
            return STATUS_INVALID_PARAMETER;
        }
        if (IsBasicSupport(Request))
        {
            return LevelBasicSupport(Request, pLevel);
        }
        NTSTATUS status = LevelGetSet(Request, pLevel);
        if (NT_SUCCESS(status) && vendorLevel && IsSetVerb(Request))
        {
            RaiseControlChange(Request->Node);
        }
        return status;
    };
    return OnNode<ILevelControl>(Request, IID_ILevelControl, &kind, handle);
}

// Mute, AGC and loudness: 32-bit BOOLs outward, one byte a channel in the node.
NTSTATUS CMiniportTopology::PropertyOnOff(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    auto handle = [&](IBooleanControl* pSwitch)
    {
        ULONG channel = 0;
        if (IsBasicSupport(Request))
        {
            ULONG channels = 0;
            PUCHAR pMembers = nullptr;
            NTSTATUS status = pSwitch->GetChannelCount(&channels);
            if (NT_SUCCESS(status))
            {
                status = BeginChannelBasicSupport(Request, channels, VT_BOOL, &pMembers);
            }
            if (NT_SUCCESS(status) && pMembers)
            {
                WriteSteppedRanges(pMembers, channels, 1, 0, 1);
            }
            return status;
        }
        if (!RequestChannel(Request, &channel))
        {
            return STATUS_INVALID_PARAMETER;
        }
        return SwitchGetSet(Request, pSwitch, channel);
    };
    return OnNode<IBooleanControl>(Request, IID_IBooleanControl, nullptr, handle);
}

// The selected input counts from 1, as the selector node's KS input pins do.
NTSTATUS CMiniportTopology::PropertyMuxSource(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    auto handle = [&](ISelectorNode* pSelector)
    {
        if (!RequestHasValue(Request, sizeof(ULONG)) || !(IsGet(Request) || IsSetVerb(Request)))
        {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS status = IsGet(Request) ? pSelector->GetSelectedInput(static_cast<PULONG>(Request->Value))
                                         : pSelector->SetSelectedInput(*static_cast<PULONG>(Request->Value));
        if (NT_SUCCESS(status))
        {
            Request->ValueSize = sizeof(ULONG);
        }
        return status;
    };
    return OnNode<ISelectorNode>(Request, IID_ISelectorNode, nullptr, handle);
}

// The input gain pad: a level whose range the audio stack reads from a value list that also
// names the node.
NTSTATUS CMiniportTopology::PropertyDevSpecificLevel(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    auto handle = [&](ILevelControl* pLevel)
    {
        if (!IsBasicSupport(Request))
        {
            return LevelGetSet(Request, pLevel);
        }
        PUCHAR pMembers = nullptr;
        NTSTATUS status = BeginGeneralBasicSupport(Request, kAccessGetSetSupport, VT_I4,
                                                   ULONG(sizeof(GainPadMembers)), &pMembers);
        if (!NT_SUCCESS(status) || !pMembers)
        {
            return status;
        }
        // The range is read only once the whole reply fits; a node that cannot give it leaves
        // the caller nothing.
        GainPadMembers members = {};
        members.Header = {KSPROPERTY_MEMBER_VALUES, 36, 1, 0};
        members.ValuesSize = 36;
        members.Name = NODENAME_INPUT_GAIN_PAD;
        members.RangeSize = 12;
        status = pLevel->GetRange(&members.Maximum, &members.Minimum, &members.Step);
        if (!NT_SUCCESS(status))
        {
            Request->ValueSize = 0;
            return status;
        }
        RtlCopyMemory(pMembers, &members, sizeof(members));
        return status;
    };
    return OnNode<ILevelControl>(Request, IID_ILevelControl, nullptr, handle);
}

// The vendor switches carry one value for the whole node.
NTSTATUS CMiniportTopology::PropertyDevSpecificSwitch(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    auto handle = [&](IBooleanControl* pSwitch)
    {
        if (!IsBasicSupport(Request))
        {
            return SwitchGetSet(Request, pSwitch, 0);
        }
        PUCHAR pMembers = nullptr;
        return BeginGeneralBasicSupport(Request, kAccessGetSetSupport, VT_BOOL, 0, &pMembers);
    };
    return OnNode<IBooleanControl>(Request, IID_IBooleanControl, nullptr, handle);
}

// The output's pin type is written through the audio set and read through the selector set.
NTSTATUS CMiniportTopology::PropertyPinTypeSelector(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    BOOLEAN audioSet = IsSet(Request, KSPROPSETID_Audio);
    if (!audioSet && !IsSet(Request, KSPROPSETID_PinTypeSelector))
    {
        return STATUS_INVALID_PARAMETER;
    }
    auto handle = [&](IPinTypeSelector* pSelector)
    {
        ULONG id = Request->PropertyItem->Id;
        NTSTATUS status = STATUS_INVALID_PARAMETER;
        if (audioSet && id == KSPROPERTY_AUDIO_DEV_SPECIFIC)
        {
            if (IsBasicSupport(Request))
            {
                status = PropertyValueListSupport(Request, VT_I4, NODENAME_PIN_TYPE_SELECTOR);
            }
            else if (IsSetVerb(Request) && RequestHasValue(Request, sizeof(ULONG)))
            {
                status = pSelector->SetPinType(*static_cast<PULONG>(Request->Value));
                if (NT_SUCCESS(status))
                {
                    Request->ValueSize = sizeof(ULONG);
                }
            }
        }
        else if (!audioSet && id == KSPROPERTY_PINTYPESELECTOR_LIST)
        {
            status = PinTypeListReply(Request, pSelector);
        }
        else if (!audioSet && id == KSPROPERTY_PINTYPESELECTOR_CURRENT)
        {
            ULONG pinType = 0;
            status = pSelector->GetPinType(&pinType);
            if (NT_SUCCESS(status))
            {
                status = PropertyU32Reply(Request, pinType);
            }
        }
        return status;
    };
    return OnNode<IPinTypeSelector>(Request, IID_IPinTypeSelector, nullptr, handle);
}

NTSTATUS CMiniportTopology::PinTypeListReply(PPCPROPERTY_REQUEST Request, IPinTypeSelector* Selector)
{
    PAGED_CODE();
    ULONG count = 0;
    NTSTATUS status = Selector->GetPinTypeCount(&count);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (count > TERMINAL_MAX_PIN_TYPES)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The node copies its whole list: the room is what the interface promises it.
    PULONG pTypes = static_cast<PULONG>(
        ExAllocatePoolWithTag(PagedPool, TERMINAL_MAX_PIN_TYPES * sizeof(ULONG), MINIPORT_TOPOLOGY_POOL_TAG));
    if (!pTypes)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pTypes, TERMINAL_MAX_PIN_TYPES * sizeof(ULONG));
    status = Selector->GetPinTypes(pTypes);
    if (NT_SUCCESS(status))
    {
        status = PropertyU32ListReply(Request, pTypes, count);
    }
    ExFreePoolWithTag(pTypes, MINIPORT_TOPOLOGY_POOL_TAG);
    return status;
}

// Any other device-specific node: a set is accepted and changes nothing; there is no value
// to read.
NTSTATUS CMiniportTopology::PropertyDevSpecificDefault(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    if (IsBasicSupport(Request))
    {
        PUCHAR pMembers = nullptr;
        NTSTATUS status = BeginGeneralBasicSupport(Request, kAccessSetSupport, VT_UI4,
                                                   ULONG(sizeof(DefaultMembers)), &pMembers);
        if (NT_SUCCESS(status) && pMembers)
        {
            DefaultMembers members = {};
            members.Header = {KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_BOUNDS_LONG), 1, 0};
            members.Bounds.UnsignedMinimum = 0;
            members.Bounds.UnsignedMaximum = 0xFFFFFFFF;
            RtlCopyMemory(pMembers, &members, sizeof(members));
        }
        return status;
    }
    if (IsGet(Request))
    {
        return STATUS_UNSUCCESSFUL;
    }
    if (IsSetVerb(Request) && RequestHasValue(Request, sizeof(ULONG)))
    {
        Request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CMiniportTopology::PropertyNodeName(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    TopologyNodeRecord record;
    if (!IsGet(Request) || Request->Node >= m_nNodeCount || !FindNodeRecordByIndex(Request->Node, &record) ||
        !RequestHasValue(Request, sizeof(GUID)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG kind = record.Node->GetKind();
    for (ULONG row = 0; row < TopologyNodeNameRowCount; row++)
    {
        if (TopologyNodeNameRows[row].Kind == kind)
        {
            RtlCopyMemory(Request->Value, TopologyNodeNameRows[row].Name, sizeof(GUID));
            Request->ValueSize = sizeof(GUID);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}
