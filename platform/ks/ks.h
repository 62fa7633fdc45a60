// Kernel-streaming structures and constants of the stand-in: property, method and event
// identifiers, data formats and ranges, pin descriptors and the property reply records, laid
// out as on x86-64 Windows. The identifiers (GUIDs) live in ksmedia.h.
#pragma once

#include "ntdef.h"

typedef struct
{
    union
    {
        struct
        {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
} KSIDENTIFIER, *PKSIDENTIFIER;
typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE, KSPIN_MEDIUM, *PKSPIN_MEDIUM;
static_assert(sizeof(KSIDENTIFIER) == 24, "KSIDENTIFIER is 24 bytes");

// Verbs of a property request (KSPROPERTY.Flags).
#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET 0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW 0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE 0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

// Verbs of an event request (KSEVENT.Flags).
#define KSEVENT_TYPE_ENABLE 0x00000001
#define KSEVENT_TYPE_ONESHOT 0x00000002
#define KSEVENT_TYPE_ENABLEBUFFERED 0x00000004
#define KSEVENT_TYPE_SETSUPPORT 0x00000100
#define KSEVENT_TYPE_BASICSUPPORT 0x00000200
#define KSEVENT_TYPE_QUERYBUFFER 0x00000400
#define KSEVENT_TYPE_TOPOLOGY 0x10000000

// A property addressed to one node of a filter.
typedef struct
{
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
} KSNODEPROPERTY, *PKSNODEPROPERTY;
static_assert(sizeof(KSNODEPROPERTY) == 32, "KSNODEPROPERTY is 32 bytes");
static_assert(offsetof(KSNODEPROPERTY, NodeId) == 24, "KSNODEPROPERTY field offsets are fixed");

// An event enabled on one node of a filter. The entry that the port keeps for an enabled
// event is opaque to miniports.
typedef struct
{
    KSEVENT Event;
    ULONG NodeId;
    ULONG Reserved;
} KSE_NODE, *PKSE_NODE;
struct _KSEVENT_ENTRY;
typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;

typedef struct
{
    ULONG Size;  // bytes, this header included
    ULONG Count; // items that follow the header
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;
static_assert(sizeof(KSMULTIPLE_ITEM) == 8, "KSMULTIPLE_ITEM is 8 bytes");

// Basic-support replies: the description, then optional member lists, each a header followed
// by its values, ranges or stepped ranges.
typedef struct
{
    ULONG AccessFlags;     // KSPROPERTY_TYPE_* verbs the property supports
    ULONG DescriptionSize; // bytes of this record and the member lists behind it
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "KSPROPERTY_DESCRIPTION is 40 bytes");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8 &&
                  offsetof(KSPROPERTY_DESCRIPTION, MembersListCount) == 32,
              "KSPROPERTY_DESCRIPTION field offsets are fixed");

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003

#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM 0x00000004

typedef struct
{
    ULONG MembersFlags; // KSPROPERTY_MEMBER_RANGES, _STEPPEDRANGES or _VALUES
    ULONG MembersSize;  // bytes of one member
    ULONG MembersCount;
    ULONG Flags; // KSPROPERTY_MEMBER_FLAG_*
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16, "KSPROPERTY_MEMBERSHEADER is 16 bytes");

typedef union
{
    struct
    {
        LONG SignedMinimum;
        LONG SignedMaximum;
    };
    struct
    {
        ULONG UnsignedMinimum;
        ULONG UnsignedMaximum;
    };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;
static_assert(sizeof(KSPROPERTY_BOUNDS_LONG) == 8, "KSPROPERTY_BOUNDS_LONG is 8 bytes");

typedef struct
{
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16, "KSPROPERTY_STEPPING_LONG is 16 bytes");
static_assert(offsetof(KSPROPERTY_STEPPING_LONG, Bounds) == 8,
              "KSPROPERTY_STEPPING_LONG field offsets are fixed");

// Variant types named by a property description's PropTypeSet.Id.
#define VT_I4 3
#define VT_BOOL 11
#define VT_UI4 19

// A data format, and a data range with the same header.
typedef union
{
    struct
    {
        ULONG FormatSize; // bytes, the format-specific part behind this header included
        ULONG Flags;      // KSDATAFORMAT_*
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT is 64 bytes");
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16 && offsetof(KSDATAFORMAT, Specifier) == 48,
              "KSDATAFORMAT field offsets are fixed");

#define KSDATAFORMAT_BIT_TEMPORAL_COMPRESSION 0
#define KSDATAFORMAT_TEMPORAL_COMPRESSION (1 << KSDATAFORMAT_BIT_TEMPORAL_COMPRESSION)
#define KSDATAFORMAT_BIT_ATTRIBUTES 1
#define KSDATAFORMAT_ATTRIBUTES (1 << KSDATAFORMAT_BIT_ATTRIBUTES)

typedef enum
{
    KSSTATE_STOP,
    KSSTATE_ACQUIRE,
    KSSTATE_PAUSE,
    KSSTATE_RUN
} KSSTATE,
    *PKSSTATE;

typedef enum
{
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT
} KSPIN_DATAFLOW,
    *PKSPIN_DATAFLOW;

typedef enum
{
    KSPIN_COMMUNICATION_NONE,
    KSPIN_COMMUNICATION_SINK,
    KSPIN_COMMUNICATION_SOURCE,
    KSPIN_COMMUNICATION_BOTH,
    KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION,
    *PKSPIN_COMMUNICATION;
static_assert(sizeof(KSSTATE) == 4 && sizeof(KSPIN_DATAFLOW) == 4 && sizeof(KSPIN_COMMUNICATION) == 4,
              "KS enumerations are 32-bit");

#define KSINTERFACE_STANDARD_STREAMING 0
#define KSMEDIUM_TYPE_ANYINSTANCE 0

#define KSPRIORITY_NORMAL 0x40000000

typedef struct
{
    ULONG PriorityClass;
    ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

// What a pin create carries: the pin factory, how it is connected, and (right behind this
// record) the KSDATAFORMAT of the connection. PinToHandle is null for a sink pin, which is
// what every pin a port instantiates here is.
typedef struct
{
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    HANDLE PinToHandle;
    KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;
static_assert(sizeof(KSPIN_CONNECT) == 72, "KSPIN_CONNECT is 72 bytes");
static_assert(offsetof(KSPIN_CONNECT, PinId) == 48 && offsetof(KSPIN_CONNECT, Priority) == 64,
              "KSPIN_CONNECT field offsets are fixed");

// What a filter declares about one of its pin factories.
typedef struct
{
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    union
    {
        LONGLONG Reserved;
        struct
        {
            ULONG ConstrainedDataRangesCount;
            PKSDATARANGE* ConstrainedDataRanges;
        };
    };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88, "KSPIN_DESCRIPTOR is 88 bytes");
static_assert(offsetof(KSPIN_DESCRIPTOR, DataFlow) == 48 && offsetof(KSPIN_DESCRIPTOR, Category) == 56,
              "KSPIN_DESCRIPTOR field offsets are fixed");

// Identifies the hardware behind a filter (KSPROPERTY_GENERAL_COMPONENTID).
typedef struct
{
    GUID Manufacturer;
    GUID Product;
    GUID Component;
    GUID Name;
    ULONG Version;
    ULONG Revision;
} KSCOMPONENTID, *PKSCOMPONENTID;
static_assert(sizeof(KSCOMPONENTID) == 72, "KSCOMPONENTID is 72 bytes");
static_assert(offsetof(KSCOMPONENTID, Version) == 64, "KSCOMPONENTID field offsets are fixed");

#define KSPROPERTY_GENERAL_COMPONENTID 0
