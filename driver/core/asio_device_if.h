// IAsioDevice: the private interface of CUsbDevice that serves the user-mode ASIO companion,
// with the device-control codes and the records exchanged with the companion (little-endian,
// fixed offsets) and the header of the shared sample rings.
#pragma once

#include "ntddk.h"
#include "portcls.h"

struct _FILE_OBJECT;
typedef struct _FILE_OBJECT* PFILE_OBJECT;
struct _IRP;
typedef struct _IRP* PIRP;

// ---- Device-control codes: FILE_DEVICE_SOUND, METHOD_BUFFERED, functions 0x800 to 0x816 ----
// (0x812 is not assigned). Queries need read access, settings and actions write access, the
// channel-information and buffer-mapping exchanges both.
constexpr ULONG IOCTL_ASIO_GET_PRODUCT_NAME = 0x1D6000;
constexpr ULONG IOCTL_ASIO_GET_CHANNEL_COUNTS = 0x1D6004;
constexpr ULONG IOCTL_ASIO_GET_CHANNEL_INFO = 0x1DE008;
constexpr ULONG IOCTL_ASIO_GET_SAMPLE_TYPES = 0x1D600C;
constexpr ULONG IOCTL_ASIO_GET_LATENCY_TABLE = 0x1D6010;
constexpr ULONG IOCTL_ASIO_SET_CLIENT_EVENT = 0x1DA014;
constexpr ULONG IOCTL_ASIO_GET_BUFFERS_IN_USE = 0x1D6018;
constexpr ULONG IOCTL_ASIO_SET_SAMPLE_TYPE = 0x1DA01C;
constexpr ULONG IOCTL_ASIO_SET_LATENCY = 0x1DA020;
constexpr ULONG IOCTL_ASIO_GET_LATENCIES = 0x1D6024;
constexpr ULONG IOCTL_ASIO_GET_SAMPLE_RATE = 0x1D6028;
constexpr ULONG IOCTL_ASIO_CAN_SAMPLE_RATE = 0x1DA02C;
constexpr ULONG IOCTL_ASIO_SET_SAMPLE_RATE = 0x1DA030;
constexpr ULONG IOCTL_ASIO_GET_BUFFER_SIZE = 0x1D6034;
constexpr ULONG IOCTL_ASIO_MAP_BUFFERS = 0x1DE038;
constexpr ULONG IOCTL_ASIO_UNMAP_BUFFERS = 0x1DA03C;
constexpr ULONG IOCTL_ASIO_START = 0x1DA040;
constexpr ULONG IOCTL_ASIO_STOP = 0x1DA044;
constexpr ULONG IOCTL_ASIO_CLEAR_CLIENT_EVENT = 0x1DA04C;
constexpr ULONG IOCTL_ASIO_CAN_IO_FORMAT = 0x1DA050;
constexpr ULONG IOCTL_ASIO_SET_IO_FORMAT = 0x1DA054;
constexpr ULONG IOCTL_ASIO_GET_IO_FORMAT = 0x1D6058;

// ---- Values ----
constexpr ULONG ASIO_IO_FORMAT_PCM = 0;
constexpr ULONG ASIO_IO_FORMAT_DSD = 1;
// Rates from 64 x 44,100 Hz upwards are DSD rates, lower ones PCM rates.
constexpr ULONG ASIO_DSD_MIN_SAMPLE_RATE = 2822400;

// Sample-type codes, as the companion's conventions number them.
constexpr ULONG ASIO_SAMPLE_INT16 = 16;
constexpr ULONG ASIO_SAMPLE_INT24 = 17; // packed
constexpr ULONG ASIO_SAMPLE_INT32 = 18;
constexpr ULONG ASIO_SAMPLE_INT32_16 = 24; // 32-bit container, 16 valid bits
constexpr ULONG ASIO_SAMPLE_INT32_18 = 25;
constexpr ULONG ASIO_SAMPLE_INT32_20 = 26;
constexpr ULONG ASIO_SAMPLE_INT32_24 = 27;
constexpr ULONG ASIO_SAMPLE_DSD_INT8_MSB = 33; // one-bit samples, 8 per byte, MSB first

// ---- Records exchanged with the companion ----

struct AsioChannelCounts
{
    ULONG EndpointCount; // ASIO endpoints
    ULONG OutputChannels;
    ULONG InputChannels;
    ULONG Reserved; // 0
};
static_assert(sizeof(AsioChannelCounts) == 16, "AsioChannelCounts is 16 bytes");

constexpr ULONG ASIO_CHANNEL_NAME_BYTES = 32;

struct AsioChannelInfo
{
    ULONG ChannelIndex;                 // in: within its direction
    ULONG IsInput;                      // in: non-zero for a capture channel
    ULONG IsActive;                     // out: 1 while some client owns mapped buffers
    ULONG ChannelGroup;                 // out: 0
    ULONG SampleType;                   // out
    CHAR Name[ASIO_CHANNEL_NAME_BYTES]; // out: NUL-terminated
};
static_assert(sizeof(AsioChannelInfo) == 52, "AsioChannelInfo is 52 bytes");
static_assert(offsetof(AsioChannelInfo, SampleType) == 16 && offsetof(AsioChannelInfo, Name) == 20,
              "AsioChannelInfo field offsets are fixed");

constexpr ULONG ASIO_MAX_SAMPLE_TYPES = 5;

// 8 + 4 x Count bytes travel; the array has room for every type the driver offers.
struct AsioSampleTypeList
{
    ULONG RequestedType;
    ULONG Count;
    ULONG Types[ASIO_MAX_SAMPLE_TYPES];
};
static_assert(offsetof(AsioSampleTypeList, Types) == 8, "sample types follow the two-word header");

constexpr ULONG ASIO_LATENCY_COUNT = 8;

struct AsioLatencyTable
{
    ULONG CurrentIndex;
    ULONG Count; // ASIO_LATENCY_COUNT
    ULONG Milliseconds[ASIO_LATENCY_COUNT];
};
static_assert(sizeof(AsioLatencyTable) == 40, "AsioLatencyTable is 40 bytes");
static_assert(offsetof(AsioLatencyTable, Milliseconds) == 8, "AsioLatencyTable field offsets are fixed");

struct AsioLatencies
{
    ULONG InputFrames;
    ULONG OutputFrames;
};
static_assert(sizeof(AsioLatencies) == 8, "AsioLatencies is 8 bytes");

struct AsioBufferSize
{
    ULONG MinimumFrames;
    ULONG MaximumFrames;
    ULONG PreferredFrames;
    ULONG Granularity;
};
static_assert(sizeof(AsioBufferSize) == 16, "AsioBufferSize is 16 bytes");

// Input of IOCTL_ASIO_MAP_BUFFERS: this header, then Count entries.
struct AsioBufferRequestEntry
{
    ULONG IsInput;      // non-zero: capture
    ULONG ChannelIndex; // within that direction
};
static_assert(sizeof(AsioBufferRequestEntry) == 8, "AsioBufferRequestEntry is 8 bytes");

struct AsioBufferRequest
{
    ULONG Reserved; // not read
    ULONG Count;    // entries behind this header
    ULONG BufferFrames;
};
static_assert(sizeof(AsioBufferRequest) == 12, "AsioBufferRequest header is 12 bytes");

// Header of a shared ring; the sample area of RingBytes follows at byte 40.
struct AsioSharedBufferHeader
{
    ULONG Active;  // a channel requested at map time lies in this ring
    ULONG IsInput; // 1 capture ring, 0 render ring
    ULONG Channels;
    ULONG FirstChannel; // among the ASIO channels of its direction
    ULONG RingBytes;
    ULONG DriverPosition; // byte offset the driver reads (render) or writes (capture) next
    ULONG InitialPosition;
    ULONG LeadBytes; // render: transfers in flight x bytes per transfer
    ULONG Master;    // completed transfers of this ring set the period event
    ULONG PeriodCount;
};
static_assert(sizeof(AsioSharedBufferHeader) == 40, "AsioSharedBufferHeader is 40 bytes");
static_assert(offsetof(AsioSharedBufferHeader, DriverPosition) == 20 &&
                  offsetof(AsioSharedBufferHeader, LeadBytes) == 28 &&
                  offsetof(AsioSharedBufferHeader, PeriodCount) == 36,
              "AsioSharedBufferHeader field offsets are fixed");

// {DB4D55AC-CB0E-4611-8CEB-16E32336876D}
DEFINE_GUID(IID_IAsioDevice, 0xDB4D55AC, 0xCB0E, 0x4611, 0x8C, 0xEB, 0x16, 0xE3, 0x23, 0x36, 0x87, 0x6D);

// Implemented by CUsbDevice; called only by the device-control, create and close handlers for
// handles opened on the ASIO reference string, with the caller's file object first. Every
// operation holds the device's client lock for its whole run; PASSIVE_LEVEL.
DECLARE_INTERFACE_(IAsioDevice, IUnknown)
{
    STDMETHOD_(NTSTATUS, OpenAsioClient)(PFILE_OBJECT FileObject) PURE;
    STDMETHOD_(NTSTATUS, Spare)(PFILE_OBJECT FileObject) PURE; // STATUS_UNSUCCESSFUL, never called
    STDMETHOD_(NTSTATUS, CloseAsioClient)(PFILE_OBJECT FileObject) PURE;
    STDMETHOD_(NTSTATUS, GetProductName)(PFILE_OBJECT FileObject, PCHAR Buffer, PULONG Length) PURE;
    STDMETHOD_(NTSTATUS, GetChannelCounts)
    (PFILE_OBJECT FileObject, AsioChannelCounts * Counts, ULONG OutputLength) PURE;
    STDMETHOD_(NTSTATUS, GetChannelInfo)
    (PFILE_OBJECT FileObject, AsioChannelInfo * Info, ULONG OutputLength) PURE;
    STDMETHOD_(NTSTATUS, SetClientEvent)(PFILE_OBJECT FileObject, PHANDLE Event) PURE;
    STDMETHOD_(NTSTATUS, ClearClientEvent)(PFILE_OBJECT FileObject) PURE;
    STDMETHOD_(NTSTATUS, GetBuffersInUse)(PFILE_OBJECT FileObject, PULONG InUse) PURE;
    STDMETHOD_(NTSTATUS, GetSampleTypes)
    (PFILE_OBJECT FileObject, AsioSampleTypeList * List, PULONG Length) PURE;
    STDMETHOD_(NTSTATUS, GetLatencyTable)
    (PFILE_OBJECT FileObject, AsioLatencyTable * Table, PULONG Length) PURE;
    STDMETHOD_(NTSTATUS, SetSampleType)(PFILE_OBJECT FileObject, ULONG SampleType) PURE;
    STDMETHOD_(NTSTATUS, SetLatency)(PFILE_OBJECT FileObject, ULONG LatencyIndex) PURE;
    STDMETHOD_(NTSTATUS, GetLatencies)(PFILE_OBJECT FileObject, AsioLatencies * Latencies) PURE;
    STDMETHOD_(NTSTATUS, GetSampleRate)(PFILE_OBJECT FileObject, PULONG SampleRate) PURE;
    STDMETHOD_(NTSTATUS, CanSampleRate)(PFILE_OBJECT FileObject, const ULONG* SampleRate) PURE;
    STDMETHOD_(NTSTATUS, SetSampleRate)(PFILE_OBJECT FileObject, const ULONG* SampleRate) PURE;
    STDMETHOD_(NTSTATUS, GetBufferSize)(PFILE_OBJECT FileObject, AsioBufferSize * Size) PURE;
    // The request's length travels with it so the entries can be bounded by what arrived.
    STDMETHOD_(NTSTATUS, MapStreamingBuffers)
    (PFILE_OBJECT FileObject, const AsioBufferRequest* Request, ULONG RequestLength, PVOID UserAddresses,
     PULONG OutputLength) PURE;
    STDMETHOD_(NTSTATUS, UnmapStreamingBuffers)(PFILE_OBJECT FileObject) PURE;
    STDMETHOD_(NTSTATUS, StartAsio)(PFILE_OBJECT FileObject, PHANDLE PeriodEvent) PURE;
    STDMETHOD_(NTSTATUS, StopAsio)(PFILE_OBJECT FileObject, PIRP Irp) PURE; // may return STATUS_PENDING
    STDMETHOD_(NTSTATUS, CanIoFormat)(PFILE_OBJECT FileObject, const ULONG* IoFormat) PURE;
    STDMETHOD_(NTSTATUS, SetIoFormat)(PFILE_OBJECT FileObject, const ULONG* IoFormat) PURE;
    STDMETHOD_(NTSTATUS, GetIoFormat)(PFILE_OBJECT FileObject, PULONG IoFormat) PURE;
    // The handle's last user reference is gone (IRP_MJ_CLEANUP): its waiting requests are
    // answered and, when it owns the rings, they are unmapped. The unmap's status.
    STDMETHOD_(NTSTATUS, CleanupAsioClient)(PFILE_OBJECT FileObject) PURE;
};
typedef IAsioDevice* PASIODEVICE;
