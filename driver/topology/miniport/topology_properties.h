// The reply helpers the topology miniport's property handlers share: the one size check of
// every reply a caller may size first, and the basic-support reply in its three sizes.
#pragma once

#include "driver/topology/miniport/miniport_topology.h"

// Bytes of a KSPROPERTY_DESCRIPTION, the first size at which a basic-support reply is more than
// its access flags.
constexpr ULONG BASIC_SUPPORT_DESCRIPTION_BYTES = sizeof(KSPROPERTY_DESCRIPTION);

// The miniport a request was routed to (its major target), or null.
CMiniportTopology* MiniportFromTarget(PUNKNOWN MajorTarget);

// The one size check of a reply of NeededBytes: a size query (ValueSize 0) gets
// STATUS_BUFFER_OVERFLOW and a short buffer STATUS_BUFFER_TOO_SMALL, both with ValueSize set to
// NeededBytes; on success ValueSize is NeededBytes and the caller writes that many bytes.
NTSTATUS CheckReplySize(PPCPROPERTY_REQUEST Request, ULONG NeededBytes); // PASSIVE_LEVEL

// TRUE when Size bytes at Buffer hold at least Needed bytes.
inline BOOLEAN HasBytes(PVOID Buffer, ULONG Size, ULONG Needed)
{
    return Buffer && Size >= Needed;
}

// The shape of one basic-support reply. Below 4 bytes the caller learns the full size (or 0
// where ZeroSizeWhenTooSmall); from 4 bytes it gets the access flags; from 40 the description;
// from FullSize the members too.
struct BasicSupportShape
{
    ULONG AccessFlags;             // KSPROPERTY_TYPE_* verbs
    ULONG FullSize;                // description and members
    const GUID* PropTypeSet;       // KSPROPTYPESETID_General, or GUID_NULL
    ULONG PropTypeId;              // VT_* of the value
    ULONG MembersListCountIfShort; // what the description says when the members do not fit
    BOOLEAN ZeroSizeWhenTooSmall;  // the pin replies report 0 rather than their size
};

// Writes what fits of the reply and sets ValueSize. *Members points behind the description
// when the members fit (the caller then writes FullSize - 40 bytes there), else null.
NTSTATUS BeginBasicSupport(PPCPROPERTY_REQUEST Request, const BasicSupportShape& Shape,
                           PUCHAR* Members); // PASSIVE_LEVEL

// ---- Request predicates ----
// Basic support wins over the other verbs, then get, then set.

inline BOOLEAN IsSet(PPCPROPERTY_REQUEST Request, const GUID& Set)
{
    return IsEqualGUIDAligned(*Request->PropertyItem->Set, Set);
}

inline BOOLEAN IsSetAndId(PPCPROPERTY_REQUEST Request, const GUID& Set, ULONG Id)
{
    return IsSet(Request, Set) && Request->PropertyItem->Id == Id;
}

inline BOOLEAN IsAudioId(PPCPROPERTY_REQUEST Request, ULONG Id)
{
    return IsSetAndId(Request, KSPROPSETID_Audio, Id);
}

inline BOOLEAN IsBasicSupport(PPCPROPERTY_REQUEST Request)
{
    return (Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0;
}

inline BOOLEAN IsGet(PPCPROPERTY_REQUEST Request)
{
    return !IsBasicSupport(Request) && (Request->Verb & KSPROPERTY_TYPE_GET) != 0;
}

inline BOOLEAN IsSetVerb(PPCPROPERTY_REQUEST Request)
{
    return !IsBasicSupport(Request) && !IsGet(Request) && (Request->Verb & KSPROPERTY_TYPE_SET) != 0;
}

inline BOOLEAN RequestHasValue(PPCPROPERTY_REQUEST Request, ULONG Bytes)
{
    return HasBytes(Request->Value, Request->ValueSize, Bytes);
}

inline BOOLEAN RequestHasInstance(PPCPROPERTY_REQUEST Request, ULONG Bytes)
{
    return HasBytes(Request->Instance, Request->InstanceSize, Bytes);
}

// ---- Replies ----

// Basic support of a node set through one value of a list that Name names (VT_I4 or VT_BOOL).
NTSTATUS PropertyValueListSupport(PPCPROPERTY_REQUEST Request, ULONG PropTypeId, const GUID& Name);
// One u32 for a get, and a KSMULTIPLE_ITEM of u32 values; other verbs STATUS_INVALID_PARAMETER.
NTSTATUS PropertyU32Reply(PPCPROPERTY_REQUEST Request, ULONG Value);
NTSTATUS PropertyU32ListReply(PPCPROPERTY_REQUEST Request, const ULONG* Values, ULONG Count);
