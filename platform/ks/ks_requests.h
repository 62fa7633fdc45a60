// What a kernel-streaming client sends to a filter handle: the property and event I/O controls,
// the pin and node request records, the event-data record that names how an enabled event is
// signalled, and the standard pin and topology properties that the port answers itself.
//
// The I/O controls are METHOD_NEITHER, as on Windows: the request record comes as the stack
// location's Type3InputBuffer and the value (for a set too) or the KSEVENTDATA as the IRP's
// UserBuffer. A size query (output length 0) answers STATUS_BUFFER_OVERFLOW with the size in
// IoStatus.Information. IOCTL_KS_DISABLE_EVENT names the event by the address of the
// KSEVENTDATA it was enabled with; an empty input disables every event of the handle.
#pragma once

#include "devioctl.h"
#include "ks.h"

#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_ENABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x001, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_DISABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x002, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_METHOD CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS)
static_assert(IOCTL_KS_PROPERTY == 0x002F0003 && IOCTL_KS_ENABLE_EVENT == 0x002F0007 &&
                  IOCTL_KS_DISABLE_EVENT == 0x002F000B,
              "kernel-streaming I/O control codes");

// The filter itself where a node id or pin connection names "no node".
#define KSFILTER_NODE ((ULONG)0xFFFFFFFF)

// A property addressed to one pin factory of a filter.
typedef struct
{
    KSPROPERTY Property;
    ULONG PinId;
    union
    {
        ULONG Reserved;
        ULONG Flags;
    };
} KSP_PIN, *PKSP_PIN;
static_assert(sizeof(KSP_PIN) == 32, "KSP_PIN is 32 bytes");

typedef KSNODEPROPERTY KSP_NODE, *PKSP_NODE;

// How an enabled event reaches its client. The handles are the client's own (user-mode) handles
// of an event or a semaphore object.
#define KSEVENTF_EVENT_HANDLE 0x00000001
#define KSEVENTF_SEMAPHORE_HANDLE 0x00000002
#define KSEVENTF_EVENT_OBJECT 0x00000004
#define KSEVENTF_SEMAPHORE_OBJECT 0x00000008
#define KSEVENTF_DPC 0x00000010
#define KSEVENTF_WORKITEM 0x00000020
#define KSEVENTF_KSWORKITEM 0x00000080

typedef struct
{
    ULONG NotificationType; // KSEVENTF_*
    union
    {
        struct
        {
            HANDLE Event;
            PVOID Unused;
            LONG_PTR Reserved;
        } EventHandle;
        struct
        {
            HANDLE Semaphore;
            ULONG Reserved;
            LONG Adjustment;
        } SemaphoreHandle;
        struct
        {
            PVOID Unused;
            LONG_PTR Alignment[2];
        } Alignment;
    };
} KSEVENTDATA, *PKSEVENTDATA;
static_assert(sizeof(KSEVENTDATA) == 32, "KSEVENTDATA is 32 bytes");

// ---- Standard properties the port answers for its filter ----

// {8C134960-51AD-11CF-878A-94F801C10000}
DEFINE_GUID(KSPROPSETID_Pin, 0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00);
// {720D4AC0-7533-11D0-A5D6-28DB04C10000}
DEFINE_GUID(KSPROPSETID_Topology, 0x720D4AC0, 0x7533, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

typedef enum
{
    KSPROPERTY_PIN_CINSTANCES,
    KSPROPERTY_PIN_CTYPES,
    KSPROPERTY_PIN_DATAFLOW,
    KSPROPERTY_PIN_DATARANGES,
    KSPROPERTY_PIN_DATAINTERSECTION,
    KSPROPERTY_PIN_INTERFACES,
    KSPROPERTY_PIN_MEDIUMS,
    KSPROPERTY_PIN_COMMUNICATION,
    KSPROPERTY_PIN_GLOBALCINSTANCES,
    KSPROPERTY_PIN_NECESSARYINSTANCES,
    KSPROPERTY_PIN_PHYSICALCONNECTION,
    KSPROPERTY_PIN_CATEGORY,
    KSPROPERTY_PIN_NAME,
    KSPROPERTY_PIN_CONSTRAINEDDATARANGES,
    KSPROPERTY_PIN_PROPOSEDATAFORMAT
} KSPROPERTY_PIN;

typedef enum
{
    KSPROPERTY_TOPOLOGY_CATEGORIES,
    KSPROPERTY_TOPOLOGY_NODES,
    KSPROPERTY_TOPOLOGY_CONNECTIONS,
    KSPROPERTY_TOPOLOGY_NAME
} KSPROPERTY_TOPOLOGY;

// One edge of a filter's graph (KSPROPERTY_TOPOLOGY_CONNECTIONS).
typedef struct
{
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;
static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16, "KSTOPOLOGY_CONNECTION is 16 bytes");

// ---- Pin instances ----

// A pin create names the filter's subdevice, then this string, then the binary KSPIN_CONNECT
// and KSDATAFORMAT (each two bytes one character of the name).
#define KSSTRING_Pin u"{146F1A80-4791-11D0-A5D6-28DB04C10000}"
// {146F1A80-4791-11D0-A5D6-28DB04C10000}
DEFINE_GUID(KSNAME_Pin, 0x146F1A80, 0x4791, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

// Properties of a pin instance's connection, sent on the pin's own handle.
// {1D58C920-AC9B-11CF-A5D6-28DB04C10000}
DEFINE_GUID(KSPROPSETID_Connection, 0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00,
            0x00);

typedef enum
{
    KSPROPERTY_CONNECTION_STATE,
    KSPROPERTY_CONNECTION_PRIORITY,
    KSPROPERTY_CONNECTION_DATAFORMAT,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
    KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT,
    KSPROPERTY_CONNECTION_ACQUIREORDERING,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
    KSPROPERTY_CONNECTION_STARTAT
} KSPROPERTY_CONNECTION;
