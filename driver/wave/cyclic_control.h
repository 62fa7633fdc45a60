// ICyclicControl: the control interface of a USB stream object, through which its clients
// (the wave stream and the private ASIO path) register, open, start and stop, with the client
// record, the notification record the stream sends them, and the entries of its format list.
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

struct TransferContext;

constexpr ULONG STREAM_CLIENT_PRIORITY_WAVE = 3;
constexpr ULONG STREAM_CLIENT_PRIORITY_ASIO = 5;

// m_StreamState of a USB stream, changed by interlocked exchange.
constexpr ULONG STREAM_STATE_CLOSED = 0;
constexpr ULONG STREAM_STATE_OPEN = 1;
constexpr ULONG STREAM_STATE_RUNNING = 2;

// One client registered with a stream (non-paged pool, tag "USBS"). The registration handle
// of its callback is the client's key in every ICyclicControl slot.
struct StreamClient
{
    ULONG Priority;          // the higher leads the stream
    PVOID Registration;      // ExRegisterCallback handle on the stream's callback object
    ULONG FramesPerTransfer; // milliseconds of audio per transfer
    ULONG TransfersInFlight; // at most 10
    WAVEFORMATEXTENSIBLE Format;
    ULONG Direction; // copied from the stream
    UCHAR Active;    // 1 while started and told its format
};
static_assert(sizeof(StreamClient) == 72, "StreamClient is 72 bytes");
static_assert(offsetof(StreamClient, Priority) == 0 && offsetof(StreamClient, Registration) == 8 &&
                  offsetof(StreamClient, FramesPerTransfer) == 16 &&
                  offsetof(StreamClient, TransfersInFlight) == 20 && offsetof(StreamClient, Format) == 24 &&
                  offsetof(StreamClient, Direction) == 64 && offsetof(StreamClient, Active) == 68,
              "StreamClient field offsets are fixed");

enum StreamNotificationCode : ULONG
{
    StreamNotifyTransferDone = 1,
    StreamNotifyConfigure = 2,
    StreamNotifyRenderData = 3,
    StreamNotifyCaptureData = 4,
};

// Set in Configure.FramesPerTransfer when the stream's format changed or the stream restarts.
constexpr ULONG STREAM_CONFIGURE_RESTART = 0x80000000;

// Argument1 of ExNotifyCallback on the stream's "\Callback\CyclicControlAddr%p" object
// (Argument2 is null); built on the sender's stack. The payload is two 64-bit words, zero
// where the code does not use them.
struct StreamNotification
{
    StreamClient* Client; // the client that leads the stream
    ULONG Code;           // StreamNotificationCode
    union
    {
        struct
        {
            ULONG ByteCount;
            ULONG Reserved;
            ULONGLONG Unused;
        } TransferDone;
        struct
        {
            ULONG FramesPerTransfer; // STREAM_CONFIGURE_RESTART may be set
            ULONG Reserved1;
            ULONG TransfersInFlight;
            ULONG Reserved2;
        } Configure;
        struct
        {
            PVOID Buffer;     // render: the zeroed transfer buffer; capture: the staging ring
            ULONGLONG Length; // bytes
        } Data;
        ULONGLONG Words[2];
    };
};
static_assert(sizeof(StreamNotification) == 32, "StreamNotification is 32 bytes");
static_assert(offsetof(StreamNotification, Client) == 0 && offsetof(StreamNotification, Code) == 8 &&
                  offsetof(StreamNotification, Data.Buffer) == 16 &&
                  offsetof(StreamNotification, Data.Length) == 24 &&
                  offsetof(StreamNotification, TransferDone.ByteCount) == 16 &&
                  offsetof(StreamNotification, Configure.FramesPerTransfer) == 16 &&
                  offsetof(StreamNotification, Configure.TransfersInFlight) == 24,
              "StreamNotification field offsets are fixed");

// One entry of a stream's format list (paged pool, tag "USBS"): the format sits unaligned
// right behind the alternate setting that carries it.
struct StreamFormatEntry
{
    LIST_ENTRY Links;
    UCHAR AlternateSetting;
    WAVEFORMATEXTENSIBLE Format;
    // The device carries 8-bit samples in two's complement (USB's PCM format), where a client's
    // 8-bit samples are offset binary: the data path flips their sign bits on the way.
    BOOLEAN SignedBytes;
};
static_assert(sizeof(StreamFormatEntry) == 64, "StreamFormatEntry is 64 bytes");
static_assert(offsetof(StreamFormatEntry, AlternateSetting) == 16 &&
                  offsetof(StreamFormatEntry, Format) == 17,
              "StreamFormatEntry field offsets are fixed");

// {7C4D1930-875A-418C-A0A4-3A30456A8996}
DEFINE_GUID(IID_ICyclicControl, 0x7C4D1930, 0x875A, 0x418C, 0xA0, 0xA4, 0x3A, 0x30, 0x45, 0x6A, 0x89, 0x96);

// Implemented by CUsbAudioStream and replaced slot by slot by the class streams. Called by the
// wave stream and the private ASIO path (client slots, PASSIVE_LEVEL, under the stream's own
// mutex), and by the stream itself: its worker thread (PASSIVE_LEVEL) and its IRP completion
// routine (OnTransferComplete, SubmitNextTransfer at DISPATCH_LEVEL).
DECLARE_INTERFACE_(ICyclicControl, IUnknown)
{
    STDMETHOD_(NTSTATUS, RegisterClient)
    (ULONG Priority, PCWAVEFORMATEXTENSIBLE Format, ULONG FramesPerTransfer, ULONG TransfersInFlight,
     PCALLBACK_FUNCTION Callback, PVOID Context, StreamClient * *Client) PURE;
    STDMETHOD_(NTSTATUS, UnregisterClient)(PVOID ClientKey) PURE;
    // ProcessingObject: an optional object for the pipeline's list B or C; null from the wave
    // stream and the ASIO path.
    STDMETHOD_(NTSTATUS, StartClient)
    (PVOID ClientKey, ULONG StartFrame, PULONG FramesPerTransfer, PUNKNOWN ProcessingObject) PURE;
    STDMETHOD_(NTSTATUS, StopClient)(PVOID ClientKey, PUNKNOWN ProcessingObject) PURE;
    STDMETHOD_(NTSTATUS, OpenClient)(PVOID ClientKey, PULONG FramesPerTransfer, PULONG CurrentFrame) PURE;
    STDMETHOD_(NTSTATUS, CloseClient)(PVOID ClientKey) PURE;
    // Client: null for the zero-bandwidth setting 0.
    STDMETHOD_(NTSTATUS, SelectAlternateSetting)(UCHAR AlternateSetting, StreamClient * Client) PURE;
    STDMETHOD_(NTSTATUS, FreeTransfers)() PURE;
    STDMETHOD_(NTSTATUS, AbortPipe)() PURE;
    STDMETHOD_(NTSTATUS, RecoverStream)() PURE;
    STDMETHOD_(NTSTATUS, SelectZeroBandwidthSetting)() PURE;
    STDMETHOD_(NTSTATUS, RestartStreaming)() PURE;
    // STATUS_BUFFER_TOO_SMALL: no free transfer.
    STDMETHOD_(NTSTATUS, SubmitNextTransfer)() PURE;
    // Returns STATUS_MORE_PROCESSING_REQUIRED: the IRP stays the stream's.
    STDMETHOD_(NTSTATUS, OnTransferComplete)
    (PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext * Context) PURE;
    STDMETHOD_(VOID, StreamWorkerThread)() PURE;
    STDMETHOD_(NTSTATUS, OpenStream)(StreamClient * Client, PULONG CurrentFrame) PURE;
    STDMETHOD_(NTSTATUS, CloseStream)() PURE;
    STDMETHOD_(NTSTATUS, StartStreaming)(ULONG StartFrame, ULONG ExplicitStartFrames) PURE;
    STDMETHOD_(NTSTATUS, StopStreaming)() PURE;
    STDMETHOD_(BOOLEAN, IsAlternateSettingValid)(UCHAR AlternateSetting, ULONG SampleRate) PURE;
};
typedef ICyclicControl* PCYCLICCONTROL;

// {AA68946D-7D26-4137-9A5D-71E1EDB6C0CC}
DEFINE_GUID(IID_IStreamDrmForward, 0xAA68946D, 0x7D26, 0x4137, 0x9A, 0x5D, 0x71, 0xE1, 0xED, 0xB6, 0xC0,
            0xCC);

// Implemented by CUsbAudioStream: names the USB stack below the stream as the next driver that
// protected content of the stream reaches. PASSIVE_LEVEL.
DECLARE_INTERFACE_(IStreamDrmForward, IUnknown)
{
    STDMETHOD_(NTSTATUS, SetContentId)(ULONG ContentId) PURE;
};
typedef IStreamDrmForward* PSTREAMDRMFORWARD;
