// Port-class filter descriptors and automation tables of the stand-in: what a miniport hands its
// port through GetDescription (pins, nodes, connections, categories) and the property and event
// items, with the request records the port fills when it calls their handlers. Laid out as on
// x86-64 Windows.
#pragma once

#include "io.h"
#include "ks.h"
#include "ks_requests.h"
#include "unknown.h"

// The filter itself in a connection's FromNode or ToNode.
#define PCFILTER_NODE KSFILTER_NODE

// ---- Automation ----

struct _PCPROPERTY_REQUEST;
struct _PCMETHOD_REQUEST;
struct _PCEVENT_REQUEST;
typedef NTSTATUS (*PCPFNPROPERTY_HANDLER)(struct _PCPROPERTY_REQUEST* PropertyRequest);
typedef NTSTATUS (*PCPFNMETHOD_HANDLER)(struct _PCMETHOD_REQUEST* MethodRequest);
typedef NTSTATUS (*PCPFNEVENT_HANDLER)(struct _PCEVENT_REQUEST* EventRequest);

// The verbs an item supports; a request with another verb never reaches its handler.
#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES
#define PCPROPERTY_ITEM_FLAG_SERIALIZERAW KSPROPERTY_TYPE_SERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW KSPROPERTY_TYPE_UNSERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_SERIALIZESIZE KSPROPERTY_TYPE_SERIALIZESIZE
#define PCPROPERTY_ITEM_FLAG_SERIALIZE                                                                       \
    (PCPROPERTY_ITEM_FLAG_SERIALIZERAW | PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW |                               \
     PCPROPERTY_ITEM_FLAG_SERIALIZESIZE)

#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT

typedef struct
{
    const GUID* Set;
    ULONG Id;
    ULONG Flags; // PCPROPERTY_ITEM_FLAG_*
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;
static_assert(sizeof(PCPROPERTY_ITEM) == 24, "PCPROPERTY_ITEM is 24 bytes");

typedef struct
{
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;
static_assert(sizeof(PCMETHOD_ITEM) == 24, "PCMETHOD_ITEM is 24 bytes");

typedef struct
{
    const GUID* Set;
    ULONG Id;
    ULONG Flags; // PCEVENT_ITEM_FLAG_*
    PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;
static_assert(sizeof(PCEVENT_ITEM) == 24, "PCEVENT_ITEM is 24 bytes");

// Item sizes may exceed the records above (a miniport may append its own fields to each item);
// the port steps through the arrays by the sizes given.
typedef struct
{
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;
static_assert(sizeof(PCAUTOMATION_TABLE) == 56, "PCAUTOMATION_TABLE is 56 bytes");

#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable)                                       \
    const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                                    \
                                                sizeof(PropertyTable) / sizeof(PropertyTable[0]),            \
                                                (const PCPROPERTY_ITEM*)PropertyTable,                       \
                                                0,                                                           \
                                                0,                                                           \
                                                nullptr,                                                     \
                                                0,                                                           \
                                                0,                                                           \
                                                nullptr,                                                     \
                                                0}

#define DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(AutomationTable, PropertyTable, EventTable)                     \
    const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                                    \
                                                sizeof(PropertyTable) / sizeof(PropertyTable[0]),            \
                                                (const PCPROPERTY_ITEM*)PropertyTable,                       \
                                                0,                                                           \
                                                0,                                                           \
                                                nullptr,                                                     \
                                                sizeof(EventTable[0]),                                       \
                                                sizeof(EventTable) / sizeof(EventTable[0]),                  \
                                                (const PCEVENT_ITEM*)EventTable,                             \
                                                0}

// ---- Filter descriptors ----

typedef struct
{
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable; // of the pin's instances; may be null
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112, "PCPIN_DESCRIPTOR is 112 bytes");
static_assert(offsetof(PCPIN_DESCRIPTOR, KsPinDescriptor) == 24, "KSPIN_DESCRIPTOR at byte 24");

typedef struct
{
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable; // may be null
    const GUID* Type;                          // KSNODETYPE_*
    const GUID* Name;                          // may be null
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32, "PCNODE_DESCRIPTOR is 32 bytes");

// An edge of the filter's graph: a node's output pin 0 to another node's input pin n (n from
// 1), with PCFILTER_NODE and a pin id standing for one of the filter's pins.
typedef struct
{
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTION_DESCRIPTOR;
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16, "PCCONNECTION_DESCRIPTOR is 16 bytes");

typedef struct
{
    ULONG Version;                             // 0
    const PCAUTOMATION_TABLE* AutomationTable; // of the filter; may be null
    ULONG PinSize;                             // bytes per pin descriptor, at least 112
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize; // bytes per node descriptor, at least 32
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80, "PCFILTER_DESCRIPTOR is 80 bytes");

// ---- Requests handed to the handlers ----

// Node is 0xFFFFFFFF (ULONG_MAX) for a request on the filter or a pin. Instance points at what follows the
// property record (KSPROPERTY, or KSNODEPROPERTY for a node request): for a pin request the pin
// id, for an audio node request the channel. A handler answering a size query (ValueSize 0) or
// a short buffer sets ValueSize to the size it needs; on success ValueSize is the size written.
typedef struct _PCPROPERTY_REQUEST
{
    PUNKNOWN MajorTarget; // the miniport
    PVOID MinorTarget;    // the stream of a pin instance, else null
    ULONG Node;
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb; // KSPROPERTY_TYPE_* of the request
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
} PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;

typedef struct _PCMETHOD_REQUEST
{
    PUNKNOWN MajorTarget;
    PVOID MinorTarget;
    ULONG Node;
    const PCMETHOD_ITEM* MethodItem;
    ULONG Verb;
} PCMETHOD_REQUEST, *PPCMETHOD_REQUEST;

#define PCEVENT_VERB_NONE 0
#define PCEVENT_VERB_ADD 1
#define PCEVENT_VERB_REMOVE 2
#define PCEVENT_VERB_SUPPORT 4

// On PCEVENT_VERB_ADD the handler keeps EventEntry with IPortEvents::AddEventToEventList when
// it accepts the event; the entry is the port's and stays opaque to the miniport.
typedef struct _PCEVENT_REQUEST
{
    PUNKNOWN MajorTarget;
    PVOID MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM* EventItem;
    PKSEVENT_ENTRY EventEntry;
    ULONG Verb; // PCEVENT_VERB_*
    PIRP Irp;
} PCEVENT_REQUEST, *PPCEVENT_REQUEST;
