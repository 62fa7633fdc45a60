// CUsbAudioStream: the device's side of one audio-streaming interface. It owns the interface's
// format list with the alternate setting of each format, the clients registered to stream
// through it and the named callback object on which it talks to them, and the worker thread
// that drives its transfers. The class streams (class 1 and 2, render and capture) derive
// from it and replace the slots whose transfers differ.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "driver/wave/cyclic_control.h"
#include "driver/wave/stream_engine.h"
#include "driver/dsp/effect_processor.h"
#include "usb.h"
#include "driver/core/usb_device_if.h"

class CUsbAudioStream;

// Client records, format entries and the stream's own records.
#define USB_STREAM_POOL_TAG MAKE_POOL_TAG('U', 'S', 'B', 'S')

// A client may keep at most this many transfers outstanding: the pool has ten.
constexpr ULONG USB_STREAM_MAX_TRANSFERS = 10;
// ... and at least two. A transfer completes only once its last frame has passed, and the host
// controller takes an explicit start frame only while that frame is still ahead of it, so a
// lone transfer's successor, due in the very next frame, always comes too late: the stream
// could only fail and recover over and over. The next transfer must be queued while the
// current one still runs.
constexpr ULONG USB_STREAM_MIN_TRANSFERS = 2;
// The longest transfer a client may ask for, and the staging ring's least size at the nominal
// rate (a capture ring also holds one such transfer with every packet slot full).
constexpr ULONG USB_STREAM_RING_MS = 40;
// USB frames are 1 ms: rates in Hz become frames per USB frame through this.
constexpr ULONG MS_PER_SECOND = 1000;
static_assert(MS_PER_SECOND % USB_STREAM_RING_MS == 0, "the ring is a whole fraction of a second");
// Sample frames of the largest packet at RateHz with PacketsPerFrame packets per 1 ms frame: the
// nominal count, and one more when the rate is no whole number of frames per packet (the
// remainder spreads the fraction) or when the device's feedback may raise the rate (the class-2
// render stream cuts a packet that the feedback would make longer still). Any IRQL.
inline ULONG UsbLargestPacketFrames(ULONG RateHz, ULONG PacketsPerFrame, BOOLEAN FeedbackWindow)
{
    const ULONG perSecond = PacketsPerFrame * MS_PER_SECOND;
    return RateHz / perSecond + (FeedbackWindow || RateHz % perSecond != 0 ? 1 : 0);
}
// Bytes an isochronous endpoint moves per (micro)frame: at high speed bits 0-10 of its
// wMaxPacketSize are the size and bits 11-12 the extra transactions. Any IRQL.
inline ULONG UsbMaxPacketBytes(USHORT MaxPacketSize)
{
    return (MaxPacketSize & 0x07FF) * (1 + ((MaxPacketSize >> 11) & 3));
}
// A capture stream keeps at least this much in flight, whatever the client asks, so that a
// late completion does not lose the device's samples.
constexpr ULONG USB_STREAM_MIN_CAPTURE_MS = 10;

// The pending flag (m_PendingFlag), changed with interlocked operations by the completions and
// the worker thread.
constexpr LONG STREAM_PENDING_NONE = 0;   // nothing waits
constexpr LONG STREAM_PENDING_SUBMIT = 1; // a submission is under way or wanted
constexpr LONG STREAM_PENDING_FAILED = 2; // a transfer failed: the worker recovers the stream
// StopClient restarts the next client this many frames after the stream reopened.
constexpr ULONG USB_STREAM_RESTART_DELAY_FRAMES = 5;
// A client whose start frame has already passed starts this many frames from now.
constexpr ULONG USB_STREAM_START_DELAY_FRAMES = 2;

// URBs, their lookaside lists and the selected interface information.
#define USB_STREAM_URB_POOL_TAG MAKE_POOL_TAG('U', 'R', 'B', ' ')
// The staging ring of a class-1 stream.
#define UAC1_STREAM_RING_POOL_TAG MAKE_POOL_TAG('U', 'S', '1', '0')

// One pooled isochronous transfer (from the stream's context lookaside list). Its IRP, URB and
// data buffer are reused for every submission; nothing on the data path allocates.
struct TransferContext
{
    PIRP Irp;
    PURB Urb;
    CUsbAudioStream* Owner;
    ULONG ByteLength; // bytes of the current transfer
    PUCHAR Data;
    ULONG SlotIndex; // position in the pool, 0 to USB_STREAM_MAX_TRANSFERS - 1
};

// Clients open, start, stop and close through the base's slots, which move the stream between
// closed, open and running; the base keeps the pool of transfers, and the class streams open
// the stream, select its settings and submit and complete its transfers (the base's own forms
// of those slots answer STATUS_NOT_SUPPORTED or STATUS_NOT_IMPLEMENTED). Client and
// stream-state slots run at PASSIVE_LEVEL under the engine's mutex.
class CUsbAudioStream : public ICyclicControl, public IStreamDrmForward, public CStreamEngine
{
public:
    DECLARE_STD_UNKNOWN();

    CUsbAudioStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber);
    ~CUsbAudioStream() override; // PASSIVE_LEVEL, pageable; stops the worker thread

    // Direction: STREAM_DIRECTION_RENDER or STREAM_DIRECTION_CAPTURE. DeviceUnknown: the
    // device object, which owns the stream (kept without a reference). PASSIVE_LEVEL.
    using CStreamEngine::Init;
    NTSTATUS Init(ULONG Direction, PUNKNOWN DeviceUnknown);

    // Adds the format to the engine's lists and then, with the alternate setting that carries
    // it, to the stream's own list, in the order of the calls. A format whose largest packet
    // does not fit the setting's data endpoint is left out (success, with a debug message).
    // SignedBytes: the setting carries the format's 8-bit samples in two's complement.
    // PASSIVE_LEVEL, pageable.
    NTSTATUS AddDataFormat(PCWAVEFORMATEXTENSIBLE Format, UCHAR AlternateSetting,
                           BOOLEAN SignedBytes = FALSE);
    // Removes the formats Match accepts from the engine's lists and, with OwnList, from the
    // stream's own list too. PASSIVE_LEVEL, pageable.
    VOID RemoveDataFormats(PFN_FORMAT_MATCH Match, BOOLEAN OwnList);
    // The last linked node with that id, no reference added. PASSIVE_LEVEL.
    NTSTATUS FindLinkedNode(ULONG NodeId, ITopologyNode** Node);
    // The alternate setting that carries the format: an extensible format must match the
    // first 18 + cbSize bytes of an entry; a plain one its channels, rate, bits and tag. With
    // SignedBytes, also whether that setting's 8-bit samples are two's complement.
    // PASSIVE_LEVEL, pageable.
    NTSTATUS FindAlternateSetting(PCWAVEFORMATEXTENSIBLE Format, PUCHAR AlternateSetting,
                                  PBOOLEAN SignedBytes = nullptr);
    // Isochronous packets per 1 ms frame of the setting's data endpoint: 8 >> (bInterval - 1) at
    // high speed, 1 at full speed or without such an endpoint. PASSIVE_LEVEL, pageable.
    ULONG GetPacketsPerFrame(UCHAR AlternateSetting);

    // usb_audio_stream_packets.cpp: the endpoints of one alternate setting as the stream uses them.
    struct SettingEndpoints
    {
        PUSB_ENDPOINT_DESCRIPTOR First; // the first isochronous data endpoint, either direction
        PUSB_ENDPOINT_DESCRIPTOR Data;  // the first isochronous data endpoint of the stream's direction
        UCHAR InEndpoints;              // endpoints of any kind that send to the host
        UCHAR Endpoints;                // endpoint descriptors read
    };
    // The USB frame number now, 0 when the device cannot tell. PASSIVE_LEVEL.
    ULONG GetCurrentFrame();

    // ICyclicControl
    STDMETHODIMP_(NTSTATUS)
    RegisterClient(ULONG Priority, PCWAVEFORMATEXTENSIBLE Format, ULONG FramesPerTransfer,
                   ULONG TransfersInFlight, PCALLBACK_FUNCTION Callback, PVOID Context,
                   StreamClient** Client) override;
    STDMETHODIMP_(NTSTATUS) UnregisterClient(PVOID ClientKey) override;
    STDMETHODIMP_(NTSTATUS)
    StartClient(PVOID ClientKey, ULONG StartFrame, PULONG FramesPerTransfer,
                PUNKNOWN ProcessingObject) override;
    STDMETHODIMP_(NTSTATUS) StopClient(PVOID ClientKey, PUNKNOWN ProcessingObject) override;
    STDMETHODIMP_(NTSTATUS)
    OpenClient(PVOID ClientKey, PULONG FramesPerTransfer, PULONG CurrentFrame) override;
    STDMETHODIMP_(NTSTATUS) CloseClient(PVOID ClientKey) override;
    STDMETHODIMP_(NTSTATUS) SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client) override;
    STDMETHODIMP_(NTSTATUS) FreeTransfers() override;
    STDMETHODIMP_(NTSTATUS) AbortPipe() override;
    STDMETHODIMP_(NTSTATUS) RecoverStream() override;
    STDMETHODIMP_(NTSTATUS) SelectZeroBandwidthSetting() override;
    STDMETHODIMP_(NTSTATUS) RestartStreaming() override;
    STDMETHODIMP_(NTSTATUS) SubmitNextTransfer() override;
    STDMETHODIMP_(NTSTATUS)
    OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context) override;
    STDMETHODIMP_(VOID) StreamWorkerThread() override;
    STDMETHODIMP_(NTSTATUS) OpenStream(StreamClient* Client, PULONG CurrentFrame) override;
    STDMETHODIMP_(NTSTATUS) CloseStream() override;
    STDMETHODIMP_(NTSTATUS) StartStreaming(ULONG StartFrame, ULONG ExplicitStartFrames) override;
    STDMETHODIMP_(NTSTATUS) StopStreaming() override;
    // Every alternate setting of a class-1 interface is valid.
    STDMETHODIMP_(BOOLEAN) IsAlternateSettingValid(UCHAR AlternateSetting, ULONG SampleRate) override;

    // IStreamDrmForward: the content travels on the data pipe of the selected setting (no
    // pipe before a setting with one is selected). PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) SetContentId(ULONG ContentId) override;

protected:
    // The class-2 valid-alternate-settings control of this interface.
    BOOLEAN QueryValidAlternateSetting(UCHAR AlternateSetting);

    // usb_audio_stream_packets.cpp. Frames of the largest packet the stream moves at the rate,
    // FeedbackEndpoint saying whether the setting carries the device's feedback. The base: the
    // nominal frames and the one a fractional rate's spread adds. PASSIVE_LEVEL, pageable.
    virtual ULONG LargestPacketFrames(ULONG RateHz, ULONG PacketsPerFrame, BOOLEAN FeedbackEndpoint);
    // Bytes one sample frame of the format takes on the wire. The base: its block. Any IRQL.
    virtual ULONG WireFrameBytes(PCWAVEFORMATEXTENSIBLE Format) const;
    // Whether the largest packet of the format fits the data endpoint of the setting; a misfit is
    // named in a debug message. True when no data endpoint of the setting can be read.
    // PASSIVE_LEVEL, pageable.
    BOOLEAN PacketsFitSetting(PCWAVEFORMATEXTENSIBLE Format, UCHAR AlternateSetting);
    // The interface descriptor of the stream's alternate setting, or null. PASSIVE_LEVEL, pageable.
    PUSB_INTERFACE_DESCRIPTOR ParseSetting(PUSB_CONFIGURATION_DESCRIPTOR Config,
                                           UCHAR AlternateSetting) const;
    // False when the device has no such setting. PASSIVE_LEVEL, pageable.
    BOOLEAN FindSettingEndpoints(IUsbDevice* UsbDevice, UCHAR AlternateSetting, SettingEndpoints* Found);

    // What a class stream needs between the pool and the selection of the setting when it
    // opens (class 2: the clock's rate, the feedback transfers). A failure fails the open,
    // which then frees the pool again (FreeTransfers). Under the engine mutex, PASSIVE_LEVEL.
    virtual NTSTATUS OpenClassResources(IUsbDevice* UsbDevice, StreamClient* Client);
    // Hands back every transfer the stack still holds, as aborting the data pipe does; a class
    // with more pipes aborts them too. PASSIVE_LEVEL, under the engine mutex.
    virtual NTSTATUS AbortTransfers();
    // Waits until no transfer is outstanding, aborting and cancelling overdue ones. Callers
    // have stopped resubmission. PASSIVE_LEVEL, under the engine mutex.
    VOID WaitForTransfers();
    NTSTATUS AllocateTransfer(IUsbDevice* UsbDevice, TransferContext** Context);
    VOID FreeTransfer(TransferContext* Context);

    // usb_audio_stream_transfers.cpp: the transfer pool and what the class streams share.
    // Lock order: engine mutex (passive) -> submit lock -> pool lock; submit or capture lock ->
    // engine spin lock; submit or capture lock -> client callbacks, which never call back into
    // the stream's control slots.
    //
    // OpenStream of the class streams: steps common to render and capture, under the engine
    // mutex. Fails with STATUS_INSUFFICIENT_RESOURCES and changes nothing when not closed.
    NTSTATUS OpenTransferChain(StreamClient* Client, PULONG CurrentFrame);
    // Selects the setting and finds its data pipe; what a class must tell the device about the
    // rate it leaves to the class stream. PASSIVE_LEVEL, pageable.
    NTSTATUS SelectSetting(UCHAR AlternateSetting);
    // Setting 0 without looking at the descriptors, and the bandwidth no longer counted as held:
    // for a selection that failed after the interface took its setting. PASSIVE_LEVEL, pageable.
    NTSTATUS GiveBackBandwidth();
    // A pipe request (abort, reset) on a pipe of the selected setting, from non-paged pool,
    // sent and waited for. PASSIVE_LEVEL.
    NTSTATUS SendPipeRequest(IUsbDevice* UsbDevice, ULONG Pipe, USHORT Function);
    // The data endpoint of the selected setting, 0 while none is selected.
    UCHAR DataEndpointAddress() const;
    // Sample frames the setting's data endpoint carries per packet at most.
    ULONG GetMaxFramesPerPacket(UCHAR AlternateSetting, PCWAVEFORMATEXTENSIBLE Format);
    IUsbDevice* QueryUsbDevice(); // referenced, or null
    TransferContext* AcquireIrpSlot();
    VOID ReleaseIrpSlot(TransferContext* Context);
    // Builds the isochronous URB's header fields and hands the IRP to the USB stack; counts it
    // outstanding first. Under the submit lock.
    NTSTATUS SendTransfer(IUsbDevice* UsbDevice, TransferContext* Context, ULONG Flags, ULONG Packets);
    // Counts the transfer outstanding and hands its IRP, completion routine set, to the USB stack.
    // <= DISPATCH_LEVEL.
    NTSTATUS PassTransferDown(IUsbDevice* UsbDevice, TransferContext* Context,
                              PIO_COMPLETION_ROUTINE Completion);
    // The end of every completion: the slot back, a resubmission while no failure waits for the
    // worker (Succeeded) or the worker woken, and the outstanding count down.
    VOID FinishTransfer(TransferContext* Context, BOOLEAN Running, BOOLEAN Succeeded);
    // The start of every data submission, under the submit lock: while the device is there and the
    // stream runs, a transfer from the pool with its URB cleared for one transfer's packets. Null
    // otherwise, *Status then being what the submission answers: success when there is nothing to
    // send, STATUS_BUFFER_TOO_SMALL when every transfer is out.
    TransferContext* ClaimTransfer(PNTSTATUS Status);
    // The frame of a data submission: with the device there, under the submit lock, a transfer
    // that ClaimTransfer gives goes to Send (IUsbDevice*, TransferContext*, packets of a
    // transfer), which lays it out, sends it and returns what the submission answers.
    // <= DISPATCH_LEVEL.
    template <typename SendFn> NTSTATUS SubmitClaimed(SendFn Send)
    {
        IUsbDevice* pUsbDevice = m_pUsbDevice;
        if (!pUsbDevice)
        {
            return STATUS_INVALID_DEVICE_STATE;
        }
        KIRQL oldIrql;
        KeAcquireSpinLock(&m_SubmitLock, &oldIrql);
        NTSTATUS status;
        TransferContext* pContext = ClaimTransfer(&status);
        if (pContext)
        {
            status = Send(pUsbDevice, pContext, m_nFramesPerTransfer * m_nPacketsPerFrame);
        }
        KeReleaseSpinLock(&m_SubmitLock, oldIrql);
        return status;
    }
    // ClaimTransfer without the look at the device and the state, for a submission that has
    // already made it: *Status success, or STATUS_BUFFER_TOO_SMALL with null.
    TransferContext* TakeTransfer(PNTSTATUS Status);
    // A render transfer's data: silence, the leading client's samples over it (code 3), then the
    // pipeline in place, then the device's sample encoding. Under the submit lock.
    VOID FillRenderBuffer(TransferContext* Context, ULONG Length);
    // The capture submission of both classes: every packet gets a slot of the largest size the
    // endpoint carries. <= DISPATCH_LEVEL; takes the submit lock.
    NTSTATUS SubmitCaptureTransfer();
    // The end of a capture completion, after the delivery: no device-gone flag and no look at the
    // packets, whose failures the delivery has already turned into silence. DISPATCH_LEVEL.
    VOID FinishCaptureTransfer(NTSTATUS IrpStatus, TransferContext* Context);
    // The capture delivery of both classes, under the class's capture lock. The bytes of one
    // packet's slot that go into the staging ring, in the clients' sample encoding, the slot
    // filled with silence where the packet
    // brought nothing: an empty packet stands for one packet of silence of the largest size (the
    // device sends its samples later); a failed packet, or one that claims more than its slot
    // holds, for the nominal frames it took with it, so that what follows keeps its place in time.
    ULONG CapturePacketBytes(TransferContext* Context, USBD_ISO_PACKET_DESCRIPTOR* Packet);
    // Appends the bytes at the staging ring's write index, split at the ring's end.
    VOID StageCaptureBytes(const UCHAR* Source, ULONG Length);
    // The end of a render completion: device gone on its statuses while running, code 1 with
    // DoneBytes in every state, then the slot back. With CheckPackets a packet the device did not
    // take fails the transfer as a failed URB does. DISPATCH_LEVEL.
    VOID FinishRenderTransfer(NTSTATUS IrpStatus, TransferContext* Context, ULONG DoneBytes,
                              BOOLEAN CheckPackets);
    VOID NotifyClient(ULONG Code, PVOID Buffer, ULONG Length);
    // Leaves the "holds bandwidth" state in step with the selected setting, so that the
    // device's active count changes only on its transitions.
    VOID SetHoldsBandwidth(IUsbDevice* UsbDevice, BOOLEAN Holds);

    PUNKNOWN m_pDeviceUnknown; // the device; passive-level code queries IUsbDevice from it
    // Held with its reference from the opening of the stream to its closing: the completion
    // path runs at DISPATCH_LEVEL, where the device's (pageable) query may not be called.
    IUsbDevice* m_pUsbDevice;
    LIST_ENTRY m_FormatList;    // StreamFormatEntry, in the order added
    ULONG m_nFramesPerTransfer; // USB frames one transfer covers
    ULONG m_nTransfersInFlight;
    UCHAR m_bDeviceGone;
    KEVENT m_IdleEvent;       // notification, signalled while no transfer is outstanding
    KEVENT m_StopEvent;       // notification, ends the worker thread
    KEVENT m_ThreadExitEvent; // notification, set by the worker thread as it ends
    KEVENT m_WorkEvent;       // synchronization, wakes the worker thread
    KSPIN_LOCK m_SubmitLock;
    KSPIN_LOCK m_PoolLock;
    PKTHREAD m_pWorkerThread;                 // referenced
    PCALLBACK_OBJECT m_pClientCallbackObject; // "\Callback\CyclicControlAddr%p"
    // Stream state, interlocked: STREAM_STATE_CLOSED, _OPEN or _RUNNING.
    volatile LONG m_StreamState;
    // The format the stream was opened with, as announced to the clients.
    WAVEFORMATEXTENSIBLE m_CurrentFormat;
    StreamClient* m_pOpenClient;    // whose format the stream was opened with
    StreamClient* m_pStartedClient; // who leads the running stream
    volatile LONG m_PendingFlag;    // STREAM_PENDING_NONE, _SUBMIT or _FAILED
    volatile LONG m_nOutstanding;   // transfers with the USB stack
    ULONG m_nNextStartFrame;
    ULONG m_bExplicitStartFrames;
    PUCHAR m_pRing;   // staging ring: 40 ms of the current format, or a capture transfer's slots
    ULONG m_nRingTag; // its pool tag, the class's own
    ULONG m_nRingSize;
    ULONG m_nRingRead;
    ULONG m_nRingWrite;
    ULONG m_nPacketsPerFrame;
    ULONG m_nBaseFramesPerPacket;
    ULONG m_nMaxFramesPerPacket; // capture: the packet slot in frames
    // Capture: the fraction of a nominal frame carried from packet to packet, in 1/(P x 1000);
    // cleared with the staging ring.
    LONG m_nCaptureRemainder;
    PUSBD_INTERFACE_INFORMATION m_pInterfaceInfo;
    ULONG m_nDataPipe;
    BOOLEAN m_bHoldsBandwidth;
    BOOLEAN m_bListsReady;
    // The open setting carries 8-bit samples in two's complement: set with each opening, read
    // by the data path.
    BOOLEAN m_bSignedBytes;
    NPAGED_LOOKASIDE_LIST m_UrbList;
    NPAGED_LOOKASIDE_LIST m_DataList;
    NPAGED_LOOKASIDE_LIST m_ContextList;
    TransferContext* m_FreeSlots[USB_STREAM_MAX_TRANSFERS];
    TransferContext* volatile m_InUseSlots[USB_STREAM_MAX_TRANSFERS];
    CEffectProcessor* m_pEffectProcessor; // may be absent

private:
    // usb_audio_stream_clients.cpp: leadership over the engine's client lists.
    NTSTATUS LeadWith(StreamClient* Leader, PULONG CurrentFrame);
    NTSTATUS RestartLeader(PULONG CurrentFrame);
    NTSTATUS StartLeader(StreamClient* Head, StreamClient* Client, ULONG StartFrame);
    VOID NotifyConfigure(StreamClient* Client, BOOLEAN Restart);
    NTSTATUS AddProcessingObject(StreamClient* Client, PUNKNOWN Object);
    NTSTATUS RemoveProcessingObject(StreamClient* Client, PUNKNOWN Object);

    // usb_audio_stream_worker.cpp: how long the transfers out may take, and cancelling them
    // when even an abort does not bring them back. PASSIVE_LEVEL, under the engine mutex.
    ULONG TransfersDueMs();
    VOID CancelOutstandingTransfers();

    VOID DeleteTransferChain();
    VOID CreateEffectProcessor();

    // usb_audio_stream_transfers.cpp: the steps of OpenTransferChain.
    struct TransferGeometry
    {
        ULONG Packets;      // per transfer
        ULONG PacketFrames; // sample frames one packet slot of a data buffer holds
        ULONG BlockAlign;
        ULONG RingBytes; // the staging ring, whole sample frames
    };
    NTSTATUS FindOpenSetting(StreamClient* Client, PUCHAR AlternateSetting, PBOOLEAN SignedBytes);
    VOID SetTransferGeometry(StreamClient* Client, UCHAR AlternateSetting, TransferGeometry* Geometry);
    NTSTATUS CreateTransferPool(IUsbDevice* UsbDevice, const TransferGeometry& Geometry);
    // Capture: the frames the packet at hand carries at the nominal rate.
    ULONG NextNominalCaptureFrames();
    VOID FillSilence(PUCHAR Data, ULONG Length);
    VOID FlipSignBits(PUCHAR Data, ULONG Length);

    NTSTATUS CreateClientCallbackObject();
    NTSTATUS StartWorkerThread();
    VOID StopWorkerThread();
    VOID FreeFormatEntries();

    // usb_audio_stream_transfers.cpp: the steps of SelectSetting. PASSIVE_LEVEL.
    NTSTATUS SelectInterface(IUsbDevice* UsbDevice, UCHAR AlternateSetting, ULONG Endpoints);
    VOID FindDataPipe();
    VOID FreeInterfaceInformation();
};
