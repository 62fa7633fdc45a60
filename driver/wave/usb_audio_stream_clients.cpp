// CUsbAudioStream: its clients and states. Clients go from registered to open to started and
// back; the open list's head decides the format the stream is opened with, the started list's
// head leads the running stream, and every leadership change is announced to all clients.
// A client stays on the registered list from its registration to its unregistration, so a
// close needs no memory: it can neither fail for want of it nor lose the record its caller
// still holds. Every slot here runs at PASSIVE_LEVEL under the engine's mutex, which is recursive for its
// owner, so the slots call each other freely.
#include "driver/wave/usb_audio_stream.h"

#include "driver/core/dsp_node_if.h"
#include "driver/core/mutex_lock_hold.h"
#include "usbdlib.h"
#include "driver/core/usb_device_if.h"

namespace
{

BOOLEAN SameClient(const StreamClient* A, const StreamClient* B)
{
    return A && B && A->Registration == B->Registration;
}

} // namespace

// ---- Processing objects of the pipeline ----

namespace
{

// Render: priority 1 runs late (list C) and 2 early (list B); capture the other way round.
// Clients of any other priority have no place for a processing object.
BOOLEAN ProcessingListOf(ULONG Priority, ULONG Capture, PBOOLEAN Late)
{
    if (Priority != 1 && Priority != 2)
    {
        return FALSE;
    }
    *Late = (Priority == 1) == (Capture == STREAM_DIRECTION_RENDER);
    return TRUE;
}

} // namespace

// The pipeline calls the object through its pipeline interface, so the object must answer for
// it; the list keeps that interface with a reference of its own.
NTSTATUS CUsbAudioStream::AddProcessingObject(StreamClient* Client, PUNKNOWN Object)
{
    PAGED_CODE();
    BOOLEAN late;
    if (!ProcessingListOf(Client->Priority, m_nCapture, &late))
    {
        return STATUS_INVALID_PARAMETER;
    }
    PPIPELINEOBJECT pObject = nullptr;
    NTSTATUS status = Object->QueryInterface(IID_IPipelineObject, reinterpret_cast<PVOID*>(&pObject));
    if (!NT_SUCCESS(status) || !pObject)
    {
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }
    status = late ? AddToListC(pObject) : AddToListB(pObject);
    pObject->Release();
    return status;
}

NTSTATUS CUsbAudioStream::RemoveProcessingObject(StreamClient* Client, PUNKNOWN Object)
{
    PAGED_CODE();
    BOOLEAN late;
    if (!ProcessingListOf(Client->Priority, m_nCapture, &late))
    {
        return STATUS_INVALID_PARAMETER;
    }
    PPIPELINEOBJECT pObject = nullptr;
    NTSTATUS status = Object->QueryInterface(IID_IPipelineObject, reinterpret_cast<PVOID*>(&pObject));
    if (!NT_SUCCESS(status) || !pObject)
    {
        return STATUS_UNSUCCESSFUL; // it could never have been added
    }
    status = late ? RemoveFromListC(pObject) : RemoveFromListB(pObject);
    pObject->Release();
    return status;
}

// ---- Leadership ----

VOID CUsbAudioStream::NotifyConfigure(StreamClient* Client, BOOLEAN Restart)
{
    StreamNotification notification;
    RtlZeroMemory(&notification, sizeof(notification));
    notification.Client = Client;
    notification.Code = StreamNotifyConfigure;
    notification.Configure.FramesPerTransfer =
        Client->FramesPerTransfer | (Restart ? STREAM_CONFIGURE_RESTART : 0);
    notification.Configure.TransfersInFlight = Client->TransfersInFlight;
    ExNotifyCallback(m_pClientCallbackObject, &notification, nullptr);
}

ULONG CUsbAudioStream::GetCurrentFrame()
{
    ULONG frame = 0;
    IUsbDevice* pUsbDevice = nullptr;
    if (m_pDeviceUnknown &&
        NT_SUCCESS(m_pDeviceUnknown->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsbDevice))))
    {
        // The status says nothing useful; the stored frame is the answer.
        pUsbDevice->GetCurrentFrameNumber(&frame);
        pUsbDevice->Release();
    }
    return frame;
}

// Makes sure the stream is open in the leader's format, stopping and closing it for another
// client's first. *CurrentFrame is the frame OpenStream reported, 0 when nothing was reopened.
NTSTATUS CUsbAudioStream::LeadWith(StreamClient* Leader, PULONG CurrentFrame)
{
    *CurrentFrame = 0;
    if (SameClient(Leader, m_pOpenClient) && m_StreamState != STREAM_STATE_CLOSED)
    {
        return STATUS_SUCCESS;
    }
    if (m_StreamState == STREAM_STATE_RUNNING)
    {
        StopStreaming();
    }
    if (m_StreamState == STREAM_STATE_OPEN)
    {
        CloseStream();
    }
    m_pOpenClient = nullptr;
    NTSTATUS status = OpenStream(Leader, CurrentFrame);
    if (NT_SUCCESS(status))
    {
        m_pOpenClient = Leader;
        RtlCopyMemory(&m_CurrentFormat, &Leader->Format, sizeof(m_CurrentFormat));
    }
    return status;
}

// The started list's head takes the stream over: reopened in its format when needed, told so
// with the restart bit, and streaming again a few frames on. With nobody started the open
// list's head keeps the stream open; with nobody open the stream closes.
NTSTATUS CUsbAudioStream::RestartLeader(PULONG CurrentFrame)
{
    *CurrentFrame = 0;
    // The outgoing leader still hears of every transfer it filled: it leads until they are back.
    if (m_StreamState == STREAM_STATE_RUNNING)
    {
        StopStreaming();
    }
    StreamClient* started = GetFirstStartedClient();
    StreamClient* open = GetFirstOpenClient();
    m_pStartedClient = nullptr;
    if (!started && !open)
    {
        if (m_StreamState == STREAM_STATE_OPEN)
        {
            CloseStream();
        }
        m_pOpenClient = nullptr;
        return STATUS_SUCCESS;
    }
    NTSTATUS status = LeadWith(started ? started : open, CurrentFrame);
    if (!NT_SUCCESS(status) || !started)
    {
        return status;
    }
    m_pStartedClient = started;
    NotifyConfigure(started, TRUE);
    const ULONG from = *CurrentFrame ? *CurrentFrame : GetCurrentFrame();
    status = StartStreaming(from + USB_STREAM_RESTART_DELAY_FRAMES, TRUE);
    if (!NT_SUCCESS(status))
    {
        CloseStream();
        m_pOpenClient = nullptr;
    }
    return status;
}

// ---- ICyclicControl: clients ----

STDMETHODIMP_(NTSTATUS)
CUsbAudioStream::OpenClient(PVOID ClientKey, PULONG FramesPerTransfer, PULONG CurrentFrame)
{
    PAGED_CODE();
    if (!FramesPerTransfer || !CurrentFrame)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *CurrentFrame = 0;
    CMutexLockHold hold(&m_Lock);
    StreamClient* pClient = FindRegisteredClient(ClientKey);
    if (!pClient)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = InsertOpenClient(pClient);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    // A client that takes the lead stops whoever streams now; a started client keeps its
    // place and resumes when the lead comes back to it.
    StreamClient* head = GetFirstOpenClient();
    if (!SameClient(head, m_pOpenClient))
    {
        status = LeadWith(head, CurrentFrame);
        if (!NT_SUCCESS(status))
        {
            // Only this client's open failed: it stays registered, and whoever was open
            // before stays open, even when the stream could not be reopened for them.
            RemoveOpenClient(ClientKey);
            *CurrentFrame = 0;
            ULONG frame;
            RestartLeader(&frame);
            return status;
        }
    }
    *FramesPerTransfer = m_pOpenClient->FramesPerTransfer;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::CloseClient(PVOID ClientKey)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_Lock);
    // A client that closes while started is stopped first, so the stream never keeps running
    // for a record that has left.
    if (FindStartedClient(ClientKey))
    {
        StopClient(ClientKey, nullptr);
    }
    StreamClient* pClient = RemoveOpenClient(ClientKey);
    if (!pClient)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (SameClient(pClient, m_pOpenClient))
    {
        // The stream was open for this client; whoever is still started, or else still open,
        // takes it over.
        m_pOpenClient = nullptr;
        ULONG frame;
        status = RestartLeader(&frame);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS)
CUsbAudioStream::StartClient(PVOID ClientKey, ULONG StartFrame, PULONG FramesPerTransfer,
                             PUNKNOWN ProcessingObject)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_Lock);
    StreamClient* pClient = m_StreamState != STREAM_STATE_CLOSED ? FindOpenClient(ClientKey) : nullptr;
    NTSTATUS status = pClient ? InsertStartedClient(pClient) : STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    // The processing object joins before the stream starts, so that it also serves the first
    // transfers; a client whose processing cannot run does not start without it.
    status = ProcessingObject ? AddProcessingObject(pClient, ProcessingObject) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
    {
        RemoveStartedClient(ClientKey);
        return status;
    }
    StreamClient* head = GetFirstStartedClient();
    if (SameClient(head, m_pStartedClient))
    {
        NotifyConfigure(head, FALSE);
        pClient->Active = 1;
    }
    else
    {
        status = StartLeader(head, pClient, StartFrame);
        if (!NT_SUCCESS(status))
        {
            if (ProcessingObject)
            {
                RemoveProcessingObject(pClient, ProcessingObject);
            }
            return status;
        }
    }
    if (FramesPerTransfer)
    {
        *FramesPerTransfer = m_pStartedClient->FramesPerTransfer;
    }
    return STATUS_SUCCESS;
}

// A new head of the started list leads: the stream runs in its format from the caller's frame,
// or from a fresh one when the caller's has passed (a client that opened without reopening the
// stream has no frame of its own to start from).
NTSTATUS CUsbAudioStream::StartLeader(StreamClient* Head, StreamClient* Client, ULONG StartFrame)
{
    ULONG reopened = 0;
    NTSTATUS status = LeadWith(Head, &reopened);
    if (NT_SUCCESS(status))
    {
        if (m_StreamState == STREAM_STATE_RUNNING)
        {
            StopStreaming();
        }
        m_pStartedClient = Head;
        NotifyConfigure(Head, TRUE);
        Client->Active = 1;
        const ULONG now = GetCurrentFrame();
        ULONG frame = reopened ? reopened + USB_STREAM_START_DELAY_FRAMES : StartFrame;
        if (now && LONG(frame - now) < 1)
        {
            frame = now + USB_STREAM_START_DELAY_FRAMES;
        }
        status = StartStreaming(frame, TRUE);
    }
    if (NT_SUCCESS(status))
    {
        return status;
    }
    // Only the client whose start failed leaves the started list; an earlier leader gets the
    // stream back, in its own format, running again.
    RemoveStartedClient(Client->Registration);
    Client->Active = 0;
    m_pStartedClient = nullptr;
    ULONG frame;
    if (GetFirstStartedClient())
    {
        RestartLeader(&frame);
    }
    else if (m_StreamState == STREAM_STATE_OPEN)
    {
        CloseStream();
        m_pOpenClient = nullptr;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::StopClient(PVOID ClientKey, PUNKNOWN ProcessingObject)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_Lock);
    StreamClient* pClient = RemoveStartedClient(ClientKey);
    if (!pClient)
    {
        return STATUS_INVALID_PARAMETER;
    }
    StreamClient* pNext = GetFirstStartedClient();
    // A leader's last transfers are still out: it keeps leading, and listening, until every one
    // is back and reported done, and its processing object serves them all.
    if ((!pNext || SameClient(pClient, m_pStartedClient)) && m_StreamState == STREAM_STATE_RUNNING)
    {
        StopStreaming();
    }
    NTSTATUS status = ProcessingObject ? RemoveProcessingObject(pClient, ProcessingObject) : STATUS_SUCCESS;
    pClient->Active = 0;
    if (!pNext)
    {
        // Nobody started: the stream stays open, and no stale leader is kept to make a later
        // start look like no change.
        m_pStartedClient = nullptr;
    }
    else if (SameClient(pClient, m_pStartedClient))
    {
        ULONG frame;
        NTSTATUS restart = RestartLeader(&frame);
        status = NT_SUCCESS(status) ? restart : status;
    }
    return status == STATUS_UNSUCCESSFUL ? STATUS_INVALID_PARAMETER : status;
}

// ---- ICyclicControl: stream states ----

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::StartStreaming(ULONG StartFrame, ULONG ExplicitStartFrames)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_Lock);
    if (m_StreamState != STREAM_STATE_OPEN)
    {
        return STATUS_UNSUCCESSFUL;
    }
    if (m_pEffectProcessor)
    {
        m_pEffectProcessor->SetFormat(&m_CurrentFormat);
    }
    RtlCopyMemory(&m_CurrentWaveFormat, &m_CurrentFormat, sizeof(m_CurrentWaveFormat)); // the pipeline's
    InterlockedExchange(&m_PendingFlag, STREAM_PENDING_NONE);
    m_nNextStartFrame = StartFrame;
    m_bExplicitStartFrames = ExplicitStartFrames;
    KeClearEvent(&m_WorkEvent);
    InterlockedExchange(&m_StreamState, STREAM_STATE_RUNNING);
    // A node that cannot start does not keep the stream from running.
    PPOINTER_LIST_NODE position = m_pProcessingNodes ? m_pProcessingNodes->GetHeadPosition() : nullptr;
    PVOID pData;
    while (position && m_pProcessingNodes->GetNext(&position, &pData))
    {
        if (!NT_SUCCESS(static_cast<IDspNode*>(pData)->Start(&m_CurrentFormat)))
        {
            break;
        }
    }
    for (ULONG i = 0; i < m_nTransfersInFlight; ++i)
    {
        NTSTATUS status = SubmitNextTransfer();
        if (status == STATUS_BUFFER_TOO_SMALL)
        {
            break; // no free transfer: the chain is as full as it gets
        }
        if (!NT_SUCCESS(status))
        {
            // Open first, so that the transfers already out come back without resubmitting.
            InterlockedExchange(&m_StreamState, STREAM_STATE_OPEN);
            WaitForTransfers();
            return status;
        }
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::StopStreaming()
{
    PAGED_CODE();
    CMutexLockHold hold(&m_Lock);
    if (InterlockedCompareExchange(&m_StreamState, STREAM_STATE_OPEN, STREAM_STATE_RUNNING) !=
        STREAM_STATE_RUNNING)
    {
        return STATUS_UNSUCCESSFUL;
    }
    WaitForTransfers();
    NTSTATUS status = STATUS_SUCCESS;
    PPOINTER_LIST_NODE position = m_pProcessingNodes ? m_pProcessingNodes->GetHeadPosition() : nullptr;
    PVOID pData;
    while (NT_SUCCESS(status) && position && m_pProcessingNodes->GetNext(&position, &pData))
    {
        status = static_cast<IDspNode*>(pData)->Stop();
    }
    // Every transfer is back, so nothing else touches the limiter now.
    if (m_pEffectProcessor)
    {
        m_pEffectProcessor->Reset();
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::SelectZeroBandwidthSetting()
{
    PAGED_CODE();
    return SelectAlternateSetting(0, nullptr);
}

// A device that has gone cannot take the zero-bandwidth setting, and need not: the stream
// closes all the same.
STDMETHODIMP_(NTSTATUS) CUsbAudioStream::CloseStream()
{
    PAGED_CODE();
    CMutexLockHold hold(&m_Lock);
    if (m_StreamState != STREAM_STATE_OPEN)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = SelectZeroBandwidthSetting();
    // The zero-bandwidth setting has no pipes; nothing reads its record until the next open.
    if (m_pInterfaceInfo)
    {
        ExFreePoolWithTag(m_pInterfaceInfo, USB_STREAM_URB_POOL_TAG);
        m_pInterfaceInfo = nullptr;
    }
    FreeTransfers();
    DeleteTransferChain();
    InterlockedExchange(&m_StreamState, STREAM_STATE_CLOSED);
    if (m_pUsbDevice)
    {
        m_pUsbDevice->Release();
        m_pUsbDevice = nullptr;
    }
    return m_bDeviceGone ? STATUS_SUCCESS : status;
}

// ---- Formats ----

NTSTATUS CUsbAudioStream::FindAlternateSetting(PCWAVEFORMATEXTENSIBLE Format, PUCHAR AlternateSetting,
                                               PBOOLEAN SignedBytes)
{
    PAGED_CODE();
    if (!Format || !AlternateSetting || IsListEmpty(&m_FormatList))
    {
        return STATUS_INVALID_PARAMETER;
    }
    const BOOLEAN extensible = Format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    const SIZE_T compared = sizeof(WAVEFORMATEX) + Format->Format.cbSize;
    for (PLIST_ENTRY links = m_FormatList.Flink; links != &m_FormatList; links = links->Flink)
    {
        const StreamFormatEntry* pEntry = CONTAINING_RECORD(links, StreamFormatEntry, Links);
        const WAVEFORMATEXTENSIBLE& offered = pEntry->Format;
        BOOLEAN match;
        if (extensible)
        {
            // Never past the entry's 40 bytes, whatever cbSize claims.
            match = compared <= sizeof(WAVEFORMATEXTENSIBLE) &&
                    RtlCompareMemory(&offered, Format, compared) == compared;
        }
        else
        {
            USHORT subTag;
            RtlCopyMemory(&subTag, &offered.SubFormat, sizeof(subTag));
            match = offered.Format.nChannels == Format->Format.nChannels &&
                    offered.Format.nSamplesPerSec == Format->Format.nSamplesPerSec &&
                    offered.Format.wBitsPerSample == Format->Format.wBitsPerSample &&
                    subTag == Format->Format.wFormatTag;
        }
        if (match)
        {
            *AlternateSetting = pEntry->AlternateSetting;
            if (SignedBytes)
            {
                *SignedBytes = pEntry->SignedBytes;
            }
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}
