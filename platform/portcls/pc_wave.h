// Wave side of the stand-in port-class library: the WaveCyclic port and the miniport it drives,
// the miniport's streams with the DMA channel each one hands the port, the rights-management
// interface of a stream, and the service groups through which a stream tells the port that its
// position moved.
#pragma once

#include "ksmedia.h"
#include "pc_drm.h"
#include "pc_port.h"

// {B4C90A28-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IMiniportWaveCyclicStream, 0xB4C90A28, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11,
            0xB5, 0x44);
// {22C6AC61-851B-11D0-9A7F-00AA0038ACFE}
DEFINE_GUID(IID_IDmaChannel, 0x22C6AC61, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
// {22C6AC64-851B-11D0-9A7F-00AA0038ACFE}
DEFINE_GUID(IID_IServiceSink, 0x22C6AC64, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
// {22C6AC65-851B-11D0-9A7F-00AA0038ACFE}
DEFINE_GUID(IID_IServiceGroup, 0x22C6AC65, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
// {1915C967-3299-48CB-A3E4-69FD1D1B306E}
DEFINE_GUID(IID_IDrmAudioStream, 0x1915C967, 0x3299, 0x48CB, 0xA3, 0xE4, 0x69, 0xFD, 0x1D, 0x1B, 0x30, 0x6E);

// ---- Service sinks and groups ----

// Something that wants to hear that service was requested. Called at DISPATCH_LEVEL.
DECLARE_INTERFACE_(IServiceSink, IUnknown)
{
    STDMETHOD_(void, RequestService)() PURE;
};
typedef IServiceSink* PSERVICESINK;

// A sink that passes each request on to all of its members, in the order they were added, at
// the caller's IRQL (<= DISPATCH_LEVEL). The group keeps a reference on each member. Once
// RemoveMember has returned, the member is called no more.
DECLARE_INTERFACE_(IServiceGroup, IServiceSink)
{
    // STATUS_INVALID_PARAMETER for a null sink or one that is a member already.
    STDMETHOD_(NTSTATUS, AddMember)(PSERVICESINK ServiceSink) PURE;
    STDMETHOD_(void, RemoveMember)(PSERVICESINK ServiceSink) PURE;
};
typedef IServiceGroup* PSERVICEGROUP;

// IRQL <= DISPATCH_LEVEL. A new, empty group with one reference.
NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown);

// ---- DMA channels ----

struct _ADAPTER_OBJECT;
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;

// The cyclic buffer of a pin. A miniport that moves the data itself implements the channel
// over its own memory; the port and the audio stack only read SystemAddress and BufferSize
// and never program a DMA controller. Any IRQL.
DECLARE_INTERFACE_(IDmaChannel, IUnknown)
{
    STDMETHOD_(NTSTATUS, AllocateBuffer)(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) PURE;
    STDMETHOD_(void, FreeBuffer)() PURE;
    STDMETHOD_(ULONG, TransferCount)() PURE;
    STDMETHOD_(ULONG, MaximumBufferSize)() PURE;
    STDMETHOD_(ULONG, AllocatedBufferSize)() PURE;
    STDMETHOD_(ULONG, BufferSize)() PURE;
    STDMETHOD_(void, SetBufferSize)(ULONG BufferSize) PURE;
    STDMETHOD_(PVOID, SystemAddress)() PURE;
    STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)() PURE;
    STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)() PURE;
    STDMETHOD_(void, CopyTo)(PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
    STDMETHOD_(void, CopyFrom)(PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
};
typedef IDmaChannel* PDMACHANNEL;

// ---- Streams ----

// One open pin of a wave filter. SetFormat, SetState and SetNotificationFreq at PASSIVE_LEVEL;
// GetPosition, NormalizePhysicalPosition and Silence at any IRQL <= DISPATCH_LEVEL (the port
// reads the position in its service DPC).
DECLARE_INTERFACE_(IMiniportWaveCyclicStream, IUnknown)
{
    STDMETHOD_(NTSTATUS, SetFormat)(PKSDATAFORMAT DataFormat) PURE;
    // The interval (ms) at which the port wants Notify; returns the interval the stream keeps
    // and sets the bytes moved per interval.
    STDMETHOD_(ULONG, SetNotificationFreq)(ULONG Interval, PULONG FramingSize) PURE;
    // The port steps one state at a time: STOP, ACQUIRE, PAUSE, RUN and back.
    STDMETHOD_(NTSTATUS, SetState)(KSSTATE State) PURE;
    // The byte offset in the cyclic buffer the device has reached.
    STDMETHOD_(NTSTATUS, GetPosition)(PULONG Position) PURE;
    STDMETHOD_(NTSTATUS, NormalizePhysicalPosition)(PLONGLONG PhysicalPosition) PURE;
    STDMETHOD_(void, Silence)(PVOID Buffer, ULONG ByteCount) PURE;
};
typedef IMiniportWaveCyclicStream* PMINIPORTWAVECYCLICSTREAM;

// Answered by a stream that carries protected content. PASSIVE_LEVEL.
DECLARE_INTERFACE_(IDrmAudioStream, IUnknown)
{
    STDMETHOD_(NTSTATUS, SetContentId)(ULONG ContentId, PCDRMRIGHTS DrmRights) PURE;
};
typedef IDrmAudioStream* PDRMAUDIOSTREAM;

// ---- Port and miniport ----

// Notify may be called at any IRQL <= DISPATCH_LEVEL, under the stream's own spin lock: the
// port only queues its service DPC, which calls the group's RequestService later.
DECLARE_INTERFACE_(IPortWaveCyclic, IPort)
{
    STDMETHOD_(void, Notify)(PSERVICEGROUP ServiceGroup) PURE;
};
typedef IPortWaveCyclic* PPORTWAVECYCLIC;

// PASSIVE_LEVEL. Init is called once by IPort::Init, then GetDescription. NewStream opens the
// stream of a pin the audio stack creates (Capture: the pin's data flows out of the filter)
// and hands back the stream, its DMA channel and its service group, each with a reference.
DECLARE_INTERFACE_(IMiniportWaveCyclic, IMiniport)
{
    STDMETHOD_(NTSTATUS, Init)
    (PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) PURE;
    STDMETHOD_(NTSTATUS, NewStream)
    (PMINIPORTWAVECYCLICSTREAM * Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
     BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL * DmaChannel, PSERVICEGROUP * ServiceGroup) PURE;
};
typedef IMiniportWaveCyclic* PMINIPORTWAVECYCLIC;
