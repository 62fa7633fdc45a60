// IStreamEngine: what StartDevice, the remove and power handlers, the wave miniport and the
// private ASIO interface see of a streaming endpoint (a stream object): its name, formats and
// nodes, its wave subdevice and the sample pipeline that the USB transfer paths run.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "ksmedia.h"

struct _DEVICE_OBJECT;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
struct _IRP;
typedef struct _IRP* PIRP;
typedef VOID CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

struct ITopologyNode;

// Endpoint names ("SPKOut00", ...) are at most 50 characters; buffers that hold one, the
// terminator included, have 51.
constexpr ULONG STREAM_NAME_MAX_CHARS = 50;
constexpr ULONG STREAM_NAME_BUFFER_CHARS = STREAM_NAME_MAX_CHARS + 1;

constexpr ULONG STREAM_DIRECTION_RENDER = 0;
constexpr ULONG STREAM_DIRECTION_CAPTURE = 1;

// The driver's own sub-format for one-bit (DSD) streams; only the ASIO path streams it.
DEFINE_WAVEFORMATEX_GUID(KSDATAFORMAT_SUBTYPE_DSD, 0x7A31);

// Creates the wave-cyclic miniport of one endpoint (EndpointIndex: the endpoint's index in the
// device's stream list); STATUS_INSUFFICIENT_RESOURCES when out of memory.
typedef NTSTATUS (*PFNCREATEWAVEMINIPORT)(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter,
                                          POOL_TYPE PoolType, ULONG EndpointIndex);

// {3D64C291-9F42-43E5-A468-2C5DC9BB2353}
DEFINE_GUID(IID_IStreamEngine, 0x3D64C291, 0x9F42, 0x43E5, 0xA4, 0x68, 0x2C, 0x5D, 0xC9, 0xBB, 0x23, 0x53);

// Implemented by CStreamEngine, the base of the USB stream objects. Set-up, subdevice and
// power slots run at PASSIVE_LEVEL; the pipeline slots (ProcessBuffer and after) run at
// DISPATCH_LEVEL in the transfer paths.
DECLARE_INTERFACE_(IStreamEngine, IUnknown)
{
    // STREAM_DIRECTION_RENDER, or non-zero for capture.
    STDMETHOD_(ULONG, GetKind)() PURE;
    STDMETHOD_(ULONG, GetPinType)() PURE;
    STDMETHOD_(NTSTATUS, SetName)(PCWSTR Name) PURE;
    // Buffer: at least STREAM_NAME_BUFFER_CHARS characters.
    STDMETHOD_(NTSTATUS, GetName)(PWSTR Buffer) PURE;
    STDMETHOD_(ULONG, GetFormatCount)() PURE;
    STDMETHOD_(NTSTATUS, GetFormat)(ULONG Index, PWAVEFORMATEXTENSIBLE Format) PURE;
    STDMETHOD_(ULONG, GetNodeCount)() PURE;
    // The entry itself, no reference added.
    STDMETHOD_(NTSTATUS, GetNode)(ULONG Index, ITopologyNode * *Node) PURE;
    STDMETHOD_(NTSTATUS, SetMiniportCreator)(PFNCREATEWAVEMINIPORT Creator, REFCLSID PortClassId) PURE;
    STDMETHOD_(NTSTATUS, SetTopologyPort)(PUNKNOWN TopologyPort, PUNKNOWN TopologyMiniport) PURE;
    // Installs or removes the wave subdevice as the terminal's jack state asks.
    STDMETHOD_(NTSTATUS, UpdateSubdevice)
    (PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN AdapterUnknown) PURE;
    STDMETHOD_(NTSTATUS, UnregisterSubdevice)
    (PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN AdapterUnknown) PURE;
    // Format: a WAVEFORMATEX, or a WAVEFORMATEXTENSIBLE when its tag says so; a plain format
    // that matches is rewritten in place to the offered one.
    STDMETHOD_(NTSTATUS, FindFormat)(PWAVEFORMATEX Format) PURE;
    STDMETHOD_(NTSTATUS, RegisterCallback)
    (PCALLBACK_FUNCTION Callback, PVOID Context, PVOID * Registration) PURE;
    STDMETHOD_(NTSTATUS, UnregisterCallback)(PVOID Registration) PURE;
    // NewState: the device power state, 1 (D0) to 4 (D3).
    STDMETHOD_(NTSTATUS, PowerChangeState)(ULONG NewState) PURE;
    STDMETHOD_(NTSTATUS, ProcessBuffer)(PVOID Buffer, ULONG LengthBytes) PURE;
    STDMETHOD_(NTSTATUS, ProcessNodes)(PVOID Buffer, ULONG LengthBytes) PURE;
    // FormatCode: the wave format tag (or the sub-format's first 16 bits); 1 hands the nodes
    // the float channel buffers, anything else the interleaved buffer itself.
    STDMETHOD_(NTSTATUS, ProcessNodesFloat)(PVOID Buffer, ULONG Frames, USHORT FormatCode) PURE;
    STDMETHOD_(NTSTATUS, ProcessListB)(PVOID Buffer, ULONG LengthBytes) PURE;
    STDMETHOD_(NTSTATUS, ProcessListBFloat)(ULONG Frames) PURE;
    STDMETHOD_(NTSTATUS, ProcessListC)(PVOID Buffer, ULONG LengthBytes) PURE;
    STDMETHOD_(NTSTATUS, ProcessListCFloat)(ULONG Frames) PURE;
    STDMETHOD_(NTSTATUS, Init)(ULONG Capture) PURE;
};
typedef IStreamEngine* PSTREAMENGINE;
