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

// Client records, format entries and the stream's own records.
#define USB_STREAM_POOL_TAG MAKE_POOL_TAG('U', 'S', 'B', 'S')

// A client may keep at most this many transfers outstanding: the pool has ten.
constexpr ULONG USB_STREAM_MAX_TRANSFERS = 10;
// The staging ring holds 40 ms; a transfer of more milliseconds could never be staged.
constexpr ULONG USB_STREAM_RING_MS = 40;
// StopClient restarts the next client this many frames after the stream reopened.
constexpr ULONG USB_STREAM_RESTART_DELAY_FRAMES = 5;
// A client whose start frame has already passed starts this many frames from now.
constexpr ULONG USB_STREAM_START_DELAY_FRAMES = 2;

// Clients open, start, stop and close through the base's slots, which move the stream between
// closed, open and running; the transfer chain and its recovery come with the class streams,
// and until then the slots that open a stream or move transfers answer STATUS_NOT_SUPPORTED
// (STATUS_NOT_IMPLEMENTED where the base class never moves them). Client and stream-state slots
// run at PASSIVE_LEVEL under the engine's mutex.
class CUsbAudioStream : public ICyclicControl, public CStreamEngine
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
    // it, to the stream's own list, in the order of the calls. PASSIVE_LEVEL, pageable.
    NTSTATUS AddDataFormat(PCWAVEFORMATEXTENSIBLE Format, UCHAR AlternateSetting);
    // The last linked node with that id, no reference added. PASSIVE_LEVEL.
    NTSTATUS FindLinkedNode(ULONG NodeId, ITopologyNode** Node);
    // The alternate setting that carries the format: an extensible format must match the
    // first 18 + cbSize bytes of an entry; a plain one its channels, rate, bits and tag.
    // PASSIVE_LEVEL, pageable.
    NTSTATUS FindAlternateSetting(PCWAVEFORMATEXTENSIBLE Format, PUCHAR AlternateSetting);
    // Isochronous packets per 1 ms frame of the setting's data endpoint: 8 >> (bInterval - 1) at
    // high speed, 1 at full speed or without such an endpoint. PASSIVE_LEVEL, pageable.
    ULONG GetPacketsPerFrame(UCHAR AlternateSetting);
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

protected:
    // The class-2 valid-alternate-settings control of this interface.
    BOOLEAN QueryValidAlternateSetting(UCHAR AlternateSetting);

    PUNKNOWN m_pDeviceUnknown;  // the device; every use queries IUsbDevice from it
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
    volatile LONG m_PendingFlag;    // 0 nothing, 1 a submission wanted, 2 a transfer failed
    volatile LONG m_nOutstanding;   // transfers with the USB stack
    ULONG m_nNextStartFrame;
    ULONG m_bExplicitStartFrames;

private:
    // usb_audio_stream_clients.cpp: the client lists, ordered by descending priority where
    // they are ordered; every change under m_StreamLock because the data path reads them.
    NTSTATUS InsertClient(CPointerList* List, StreamClient* Client);
    StreamClient* FindClient(CPointerList* List, PVOID ClientKey);
    StreamClient* RemoveClient(CPointerList* List, PVOID ClientKey);
    StreamClient* HeadClient(CPointerList* List);
    NTSTATUS LeadWith(StreamClient* Leader, PULONG CurrentFrame);
    NTSTATUS RestartLeader(PULONG CurrentFrame);
    NTSTATUS StartLeader(StreamClient* Head, StreamClient* Client, ULONG StartFrame);
    VOID NotifyConfigure(StreamClient* Client, BOOLEAN Restart);
    NTSTATUS AddProcessingObject(StreamClient* Client, PUNKNOWN Object);
    NTSTATUS RemoveProcessingObject(StreamClient* Client, PUNKNOWN Object);
    VOID ReturnToRegistered(StreamClient* Client);

    NTSTATUS CreateClientCallbackObject();
    NTSTATUS StartWorkerThread();
    VOID StopWorkerThread();
    VOID FreeFormatEntries();
    StreamClient* FindRegisteredClient(PVOID ClientKey, PPOINTER_LIST_NODE* Position);
    NTSTATUS AppendRegisteredClient(StreamClient* Client);
};
