// What the class-1 entities share: one class-specific or vendor-specific request to an entity of
// the audio-control interface, sent through the device's IUsbDevice and waited for, with the
// number of bytes the device really returned; and the checks of the descriptors they are built
// from.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "driver/core/adapter_common.h"
#include "driver/topology/nodes/usb_entity_node.h"

// Everything the class-1 entities allocate: jack records, pin-type tables, the extended control
// map, temporary reply buffers and the nodes they build.
#define UAC1_ENTITY_POOL_TAG MAKE_POOL_TAG('U', 'A', '1', '0')

// Vendor requests of the class-1 terminals (the terminal id goes in wIndex, as for class requests).
constexpr UCHAR UAC1_VENDOR_TERMINAL_TYPE_REQUEST = 0x81;      // in: current type; out: select one
constexpr UCHAR UAC1_VENDOR_TERMINAL_TYPE_LIST_REQUEST = 0x86; // in: TerminalTypeList
constexpr USHORT UAC1_VENDOR_TERMINAL_TYPE_VALUE = 0x0800;
constexpr USHORT UAC1_VENDOR_JACK_BLOCK_VALUE = 0x02FF; // with request 0x81, in
constexpr USHORT UAC1_VENDOR_JACK_STATE_VALUE = 0x0200; // with request 0x81, in

enum Uac1RequestFunction : ULONG
{
    UAC1_REQUEST_CLASS = 0,  // URB_FUNCTION_CLASS_INTERFACE
    UAC1_REQUEST_VENDOR = 1, // URB_FUNCTION_VENDOR_INTERFACE
};

// One request to entity EntityId. In: device to host. Received (may be null) gets the bytes the
// device returned for a read, Length for a write. The device's status is returned as it is.
// Device must answer IUsbDevice. PASSIVE_LEVEL: waits for the transfer.
NTSTATUS Uac1EntityRequest(PUNKNOWN Device, ULONG Function, BOOLEAN In, UCHAR Request, USHORT Value,
                           UCHAR EntityId, PVOID Buffer, ULONG Length, PULONG Received);

// A read that must bring exactly Length bytes: a shorter reply fails with STATUS_UNSUCCESSFUL, so
// no caller takes bytes the device never sent. PASSIVE_LEVEL.
NTSTATUS Uac1EntityRead(PUNKNOWN Device, ULONG Function, UCHAR Request, USHORT Value, UCHAR EntityId,
                        PVOID Buffer, ULONG Length);

// A write of Length bytes. PASSIVE_LEVEL.
NTSTATUS Uac1EntityWrite(PUNKNOWN Device, ULONG Function, UCHAR Request, USHORT Value, UCHAR EntityId,
                         const VOID* Buffer, ULONG Length);

// Whether Descriptor (Length bytes received) starts with a class-specific interface descriptor
// of subtype Subtype. Its other fields are the entity's own to check. Any IRQL.
BOOLEAN Uac1IsEntityDescriptor(const VOID* Descriptor, ULONG Length, UCHAR Subtype);

struct ITopologyNode;

// The steps every entity's Init starts and ends with: Device and AdapterCommon must be given and
// Descriptor must be a class-specific descriptor of subtype Subtype (else
// STATUS_INVALID_PARAMETER); the entity keeps its copy, BuildNodes (the entity's own set-up and
// node builder, run only once the copy is kept) makes its nodes, and they are chained once all
// of them exist. PASSIVE_LEVEL.
template <class Build>
NTSTATUS Uac1InitEntity(CUsbEntityNode* Entity, const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                        IAdapterCommon* AdapterCommon, UCHAR Subtype, Build BuildNodes)
{
    PAGED_CODE();
    if (!Device || !AdapterCommon || !Uac1IsEntityDescriptor(Descriptor, Length, Subtype))
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = Entity->SetDescriptor(Descriptor, Length, Device);
    if (NT_SUCCESS(status))
    {
        status = BuildNodes();
    }
    if (NT_SUCCESS(status))
    {
        Entity->ChainChildNodes();
    }
    return status;
}

// A mixer's or selector's inputs (bNrInPins at byte 4, the source ids from byte 5) as Node's
// source list. A count that runs past the descriptor's bLength fails with STATUS_UNSUCCESSFUL
// before anything is read. PASSIVE_LEVEL.
NTSTATUS Uac1SetUnitSourceList(const UCHAR* Descriptor, ITopologyNode* Node);

// The last step of every class-1 node builder. Node is new and holds the builder's reference;
// InitStatus is how its set-up went. On success Node joins the adapter's node list and becomes
// Entity's child; the builder's reference is dropped either way, and the first failure is
// returned. PASSIVE_LEVEL.
NTSTATUS Uac1AdoptChildNode(IAdapterCommon* AdapterCommon, CUsbEntityNode* Entity, CTopologyNode* Node,
                            NTSTATUS InitStatus);

class CMutexLock;

// The input pin node of an input terminal, in pool of tag Tag: numbered from the adapter's node
// count and set up with the capture endpoint capabilities of PinType, then adopted as
// Uac1AdoptChildNode does. A node the pool cannot hold: STATUS_INSUFFICIENT_RESOURCES.
// PASSIVE_LEVEL.
NTSTATUS Uac1AddInputPinNode(CUsbEntityNode* Terminal, IAdapterCommon* AdapterCommon, ULONG PinType,
                             ULONG Tag, CMutexLock* DeviceLock);
