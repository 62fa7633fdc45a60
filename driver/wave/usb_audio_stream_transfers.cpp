// CUsbAudioStream: the pool of isochronous transfers that every class stream shares, the opening
// of a stream on its alternate setting, the selection of that setting, and the pieces of
// submission and completion that render and capture have in common. A transfer cycles free
// slot -> in use -> USB stack -> completion -> free slot, its IRP reused each time.
#include "driver/wave/usb_audio_stream.h"

#include "usbdlib.h"
#include "usbioctl.h"

namespace
{

constexpr UCHAR ENDPOINT_DIRECTION_IN = 0x80;
// Without a descriptor to tell, a packet slot leaves room for this many frames over the nominal.
constexpr ULONG FALLBACK_EXTRA_FRAMES = 6;
// The completions wake the waiting threads with an audio thread's boost.
constexpr KPRIORITY TRANSFER_EVENT_INCREMENT = 8;

NTSTATUS IsoTransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    auto pContext = static_cast<TransferContext*>(Context);
    return pContext->Owner->OnTransferComplete(DeviceObject, Irp, pContext);
}

// A select-interface URB (tag "URB ") with room for that many pipes. The record is never read
// past its claimed size, but its storage is a whole URB.
PURB AllocateSelectInterfaceUrb(USBD_CONFIGURATION_HANDLE Configuration, ULONG InterfaceNumber,
                                UCHAR AlternateSetting, ULONG Endpoints)
{
    const ULONG urbBytes = ULONG(GET_SELECT_INTERFACE_REQUEST_SIZE(Endpoints));
    const ULONG storageBytes = urbBytes > sizeof(URB) ? urbBytes : ULONG(sizeof(URB));
    PURB pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, storageBytes, USB_STREAM_URB_POOL_TAG));
    if (!pUrb)
    {
        return nullptr;
    }
    RtlZeroMemory(pUrb, storageBytes);
    UsbBuildSelectInterfaceRequest(pUrb, urbBytes, Configuration, InterfaceNumber, AlternateSetting);
    pUrb->UrbSelectInterface.Interface.Length =
        USHORT(urbBytes - offsetof(struct _URB_SELECT_INTERFACE, Interface));
    return pUrb;
}

} // namespace

IUsbDevice* CUsbAudioStream::QueryUsbDevice()
{
    IUsbDevice* pUsbDevice = nullptr;
    if (m_pDeviceUnknown &&
        NT_SUCCESS(m_pDeviceUnknown->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsbDevice))))
    {
        return pUsbDevice;
    }
    return nullptr;
}

// ---- The pool ----

NTSTATUS CUsbAudioStream::AllocateTransfer(IUsbDevice* UsbDevice, TransferContext** Context)
{
    *Context = nullptr;
    auto pContext = static_cast<TransferContext*>(ExAllocateFromNPagedLookasideList(&m_ContextList));
    if (!pContext)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pContext, sizeof(TransferContext));
    pContext->Data = static_cast<PUCHAR>(ExAllocateFromNPagedLookasideList(&m_DataList));
    pContext->Urb = static_cast<PURB>(ExAllocateFromNPagedLookasideList(&m_UrbList));
    pContext->Irp = UsbDevice->AllocateIrp();
    if (!pContext->Data || !pContext->Urb || !pContext->Irp)
    {
        FreeTransfer(pContext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pContext->Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    pContext->Owner = this;
    *Context = pContext;
    return STATUS_SUCCESS;
}

VOID CUsbAudioStream::FreeTransfer(TransferContext* Context)
{
    if (Context->Data)
    {
        ExFreeToNPagedLookasideList(&m_DataList, Context->Data);
    }
    if (Context->Urb)
    {
        ExFreeToNPagedLookasideList(&m_UrbList, Context->Urb);
    }
    if (Context->Irp)
    {
        IoFreeIrp(Context->Irp);
    }
    ExFreeToNPagedLookasideList(&m_ContextList, Context);
}

// Only while no transfer is outstanding: every transfer is then in its free slot.
STDMETHODIMP_(NTSTATUS) CUsbAudioStream::FreeTransfers()
{
    for (ULONG i = 0; i < USB_STREAM_MAX_TRANSFERS; ++i)
    {
        if (m_FreeSlots[i])
        {
            FreeTransfer(m_FreeSlots[i]);
            m_FreeSlots[i] = nullptr;
        }
    }
    return STATUS_SUCCESS;
}

// Looks at no more slots than transfers in flight, which bounds the transfers outstanding.
TransferContext* CUsbAudioStream::AcquireIrpSlot()
{
    TransferContext* pTaken = nullptr;
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_PoolLock, &oldIrql);
    for (ULONG i = 0; i < m_nTransfersInFlight && i < USB_STREAM_MAX_TRANSFERS; ++i)
    {
        TransferContext* pFree = m_FreeSlots[i];
        if (!pFree)
        {
            continue;
        }
        if (!InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&m_InUseSlots[i]), pFree,
                                               nullptr))
        {
            m_FreeSlots[i] = nullptr;
            pTaken = pFree;
            break;
        }
    }
    KeReleaseSpinLock(&m_PoolLock, oldIrql);
    return pTaken;
}

VOID CUsbAudioStream::ReleaseIrpSlot(TransferContext* Context)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_PoolLock, &oldIrql);
    m_FreeSlots[Context->SlotIndex] = Context;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_InUseSlots[Context->SlotIndex]), nullptr);
    IoReuseIrp(Context->Irp, STATUS_NOT_SUPPORTED);
    KeReleaseSpinLock(&m_PoolLock, oldIrql);
}

// ---- Opening ----

VOID CUsbAudioStream::DeleteTransferChain()
{
    FreeTransfers();
    if (m_pRing)
    {
        ExFreePoolWithTag(m_pRing, m_nRingTag);
        m_pRing = nullptr;
    }
    if (m_bListsReady)
    {
        ExDeleteNPagedLookasideList(&m_UrbList);
        ExDeleteNPagedLookasideList(&m_DataList);
        ExDeleteNPagedLookasideList(&m_ContextList);
        m_bListsReady = FALSE;
    }
}

// The slot is sized by the setting's own data endpoint, the one the fit of the formats was
// judged by: not the first endpoint descriptor found after the interface, which may be the
// feedback endpoint or belong to the next setting.
ULONG CUsbAudioStream::GetMaxFramesPerPacket(UCHAR AlternateSetting, PCWAVEFORMATEXTENSIBLE Format)
{
    PAGED_CODE();
    const ULONG frameBytes = WireFrameBytes(Format) ? WireFrameBytes(Format) : 1;
    const ULONG fallback =
        Format->Format.nSamplesPerSec / (m_nPacketsPerFrame * MS_PER_SECOND) + FALLBACK_EXTRA_FRAMES;
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (!pUsbDevice)
    {
        return fallback;
    }
    SettingEndpoints endpoints;
    const ULONG frames = FindSettingEndpoints(pUsbDevice, AlternateSetting, &endpoints) && endpoints.Data
                             ? UsbMaxPacketBytes(endpoints.Data->wMaxPacketSize) / frameBytes
                             : fallback;
    pUsbDevice->Release();
    return frames;
}

// The client's format must be one the stream offers, on a setting of its own, with whole
// sample frames to count packets in.
NTSTATUS CUsbAudioStream::FindOpenSetting(StreamClient* Client, PUCHAR AlternateSetting, PBOOLEAN SignedBytes)
{
    PAGED_CODE();
    WAVEFORMATEXTENSIBLE format;
    RtlCopyMemory(&format, &Client->Format, sizeof(format));
    NTSTATUS status = FindFormat(&format.Format);
    if (NT_SUCCESS(status))
    {
        status = FindAlternateSetting(&Client->Format, AlternateSetting, SignedBytes);
    }
    if (NT_SUCCESS(status) && Client->Format.Format.nBlockAlign == 0)
    {
        status = STATUS_INVALID_PARAMETER;
    }
    return status;
}

// Transfers, packets and the staging ring, sized for the leading client on its setting.
VOID CUsbAudioStream::SetTransferGeometry(StreamClient* Client, UCHAR AlternateSetting,
                                          TransferGeometry* Geometry)
{
    PAGED_CODE();
    const ULONG framesPerTransfer = Client->FramesPerTransfer;
    ULONG inFlight = Client->TransfersInFlight;
    if (m_nCapture == STREAM_DIRECTION_CAPTURE && framesPerTransfer * inFlight < USB_STREAM_MIN_CAPTURE_MS)
    {
        // The client learns how many transfers it has.
        inFlight = (USB_STREAM_MIN_CAPTURE_MS + framesPerTransfer - 1) / framesPerTransfer;
        Client->TransfersInFlight = inFlight;
    }
    m_nFramesPerTransfer = framesPerTransfer;
    m_nTransfersInFlight = inFlight;
    const ULONG rate = Client->Format.Format.nSamplesPerSec;
    const ULONG blockAlign = Client->Format.Format.nBlockAlign;
    m_nPacketsPerFrame = GetPacketsPerFrame(AlternateSetting);
    m_nBaseFramesPerPacket = rate / (m_nPacketsPerFrame * MS_PER_SECOND);
    m_nMaxFramesPerPacket = GetMaxFramesPerPacket(AlternateSetting, &Client->Format);
    Geometry->BlockAlign = blockAlign;
    Geometry->Packets = framesPerTransfer * m_nPacketsPerFrame;
    // A render packet carries the nominal frames or one more as the remainder runs over.
    Geometry->PacketFrames = m_nCapture == STREAM_DIRECTION_CAPTURE
                                 ? m_nMaxFramesPerPacket
                                 : UsbLargestPacketFrames(rate, m_nPacketsPerFrame, TRUE);
    const ULONG ringBytes = Client->Format.Format.nAvgBytesPerSec / (MS_PER_SECOND / USB_STREAM_RING_MS);
    Geometry->RingBytes = (ringBytes + blockAlign - 1) / blockAlign * blockAlign;
    if (m_nCapture == STREAM_DIRECTION_CAPTURE)
    {
        // A device running fast fills its packets past the nominal: a transfer of the longest
        // the client may ask for then brings more than 40 ms at the nominal rate. The ring takes
        // every slot of one transfer full, behind the part of a frame a class-1 stream still
        // holds from the transfer before, so nothing staged is overwritten before delivery.
        const ULONG transferBytes = Geometry->Packets * Geometry->PacketFrames * blockAlign + blockAlign;
        Geometry->RingBytes = transferBytes > Geometry->RingBytes ? transferBytes : Geometry->RingBytes;
    }
}

// The lookaside lists, the ten pooled transfers and the staging ring. On failure the caller
// deletes whatever was made (DeleteTransferChain).
NTSTATUS CUsbAudioStream::CreateTransferPool(IUsbDevice* UsbDevice, const TransferGeometry& Geometry)
{
    PAGED_CODE();
    ExInitializeNPagedLookasideList(&m_UrbList, nullptr, nullptr, 0, GET_ISO_URB_SIZE(Geometry.Packets),
                                    USB_STREAM_URB_POOL_TAG, 0);
    ExInitializeNPagedLookasideList(&m_DataList, nullptr, nullptr, 0,
                                    SIZE_T(Geometry.PacketFrames) * Geometry.BlockAlign * Geometry.Packets,
                                    USB_STREAM_URB_POOL_TAG, 0);
    ExInitializeNPagedLookasideList(&m_ContextList, nullptr, nullptr, 0, sizeof(TransferContext),
                                    USB_STREAM_URB_POOL_TAG, 0);
    m_bListsReady = TRUE;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; NT_SUCCESS(status) && i < USB_STREAM_MAX_TRANSFERS; ++i)
    {
        status = AllocateTransfer(UsbDevice, &m_FreeSlots[i]);
        if (NT_SUCCESS(status))
        {
            m_FreeSlots[i]->SlotIndex = i;
        }
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    m_pRing = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Geometry.RingBytes, m_nRingTag));
    m_nRingSize = m_pRing ? Geometry.RingBytes : 0;
    return m_pRing ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CUsbAudioStream::OpenTransferChain(StreamClient* Client, PULONG CurrentFrame)
{
    PAGED_CODE();
    if (!Client || !CurrentFrame)
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_Lock.Lock();
    UCHAR setting = 0;
    BOOLEAN signedBytes = FALSE;
    NTSTATUS status = FindOpenSetting(Client, &setting, &signedBytes);
    IUsbDevice* pUsbDevice = NT_SUCCESS(status) ? QueryUsbDevice() : nullptr;
    if (NT_SUCCESS(status) && !pUsbDevice)
    {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    if (NT_SUCCESS(status) && InterlockedCompareExchange(&m_StreamState, STREAM_STATE_OPEN,
                                                         STREAM_STATE_CLOSED) != STREAM_STATE_CLOSED)
    {
        status = STATUS_INSUFFICIENT_RESOURCES; // and the stream stays as it was
    }
    if (!NT_SUCCESS(status))
    {
        if (pUsbDevice)
        {
            pUsbDevice->Release();
        }
        m_Lock.Unlock();
        return status;
    }
    m_bSignedBytes = signedBytes;
    TransferGeometry geometry;
    SetTransferGeometry(Client, setting, &geometry);
    status = CreateTransferPool(pUsbDevice, geometry);
    if (NT_SUCCESS(status))
    {
        status = OpenClassResources(pUsbDevice, Client);
    }
    if (NT_SUCCESS(status))
    {
        status = SelectAlternateSetting(setting, Client);
    }
    if (!NT_SUCCESS(status))
    {
        pUsbDevice->Release();
        DeleteTransferChain();
        InterlockedExchange(&m_StreamState, STREAM_STATE_CLOSED);
        m_Lock.Unlock();
        return status;
    }
    m_pUsbDevice = pUsbDevice; // its reference goes with CloseStream
    m_nRingRead = 0;
    m_nRingWrite = 0;
    m_nCaptureRemainder = 0;
    InterlockedExchange(&m_nOutstanding, 0);
    *CurrentFrame = GetCurrentFrame();
    m_Lock.Unlock();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::OpenClassResources(IUsbDevice* UsbDevice, StreamClient* Client)
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}

// ---- The alternate setting ----

VOID CUsbAudioStream::SetHoldsBandwidth(IUsbDevice* UsbDevice, BOOLEAN Holds)
{
    if (Holds == m_bHoldsBandwidth)
    {
        return;
    }
    m_bHoldsBandwidth = Holds;
    if (Holds)
    {
        UsbDevice->IncrementActiveCount();
    }
    else
    {
        UsbDevice->DecrementActiveCount();
    }
}

VOID CUsbAudioStream::FreeInterfaceInformation()
{
    if (m_pInterfaceInfo)
    {
        ExFreePoolWithTag(m_pInterfaceInfo, USB_STREAM_URB_POOL_TAG);
        m_pInterfaceInfo = nullptr;
    }
    m_nDataPipe = 0;
}

// The data pipe is the last pipe of the stream's direction: a render setting may also carry a
// feedback IN endpoint, which comes after its data endpoint.
VOID CUsbAudioStream::FindDataPipe()
{
    const BOOLEAN in = m_nCapture == STREAM_DIRECTION_CAPTURE;
    m_nDataPipe = 0;
    for (ULONG p = 0; p < m_pInterfaceInfo->NumberOfPipes; ++p)
    {
        if (((m_pInterfaceInfo->Pipes[p].EndpointAddress & ENDPOINT_DIRECTION_IN) != 0) == in)
        {
            m_nDataPipe = p;
        }
    }
}

UCHAR CUsbAudioStream::DataEndpointAddress() const
{
    if (!m_pInterfaceInfo || m_nDataPipe >= m_pInterfaceInfo->NumberOfPipes)
    {
        return 0;
    }
    return m_pInterfaceInfo->Pipes[m_nDataPipe].EndpointAddress;
}

// Sends the select-interface URB with room for the setting's pipes and keeps a copy of the
// interface information the stack filled in. Without memory for the copy the bandwidth is
// given back rather than held without a record of its pipes.
NTSTATUS CUsbAudioStream::SelectInterface(IUsbDevice* UsbDevice, UCHAR AlternateSetting, ULONG Endpoints)
{
    PURB pUrb = AllocateSelectInterfaceUrb(UsbDevice->GetConfigurationHandle(), m_nStreamId, AlternateSetting,
                                           Endpoints);
    if (!pUrb)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = UsbDevice->SubmitUrbSync(pUrb);
    if (NT_SUCCESS(status))
    {
        const ULONG infoBytes = pUrb->UrbSelectInterface.Interface.Length;
        m_pInterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPool, infoBytes, USB_STREAM_URB_POOL_TAG));
        if (m_pInterfaceInfo)
        {
            RtlCopyMemory(m_pInterfaceInfo, &pUrb->UrbSelectInterface.Interface, infoBytes);
            FindDataPipe();
        }
        else
        {
            GiveBackBandwidth();
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    ExFreePoolWithTag(pUrb, USB_STREAM_URB_POOL_TAG);
    return status;
}

// Selects the setting's interface and finds its data pipe; a non-zero setting holds bandwidth
// from here on. Setting 0 gives it up even when the device cannot hear it (it is gone).
NTSTATUS CUsbAudioStream::SelectSetting(UCHAR AlternateSetting)
{
    PAGED_CODE();
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (!pUsbDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    FreeInterfaceInformation();
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = pUsbDevice->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR pInterface = ParseSetting(pConfig, AlternateSetting);
    NTSTATUS status = pInterface ? SelectInterface(pUsbDevice, AlternateSetting, pInterface->bNumEndpoints)
                                 : STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status) || AlternateSetting == 0)
    {
        SetHoldsBandwidth(pUsbDevice, AlternateSetting != 0);
    }
    pUsbDevice->Release();
    return status;
}

// Setting 0 asked for with an empty interface (no pipes to describe): it needs neither the
// descriptors nor memory for a record of pipes, so it serves where selecting failed halfway.
NTSTATUS CUsbAudioStream::GiveBackBandwidth()
{
    PAGED_CODE();
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (!pUsbDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    FreeInterfaceInformation();
    PURB pUrb = AllocateSelectInterfaceUrb(pUsbDevice->GetConfigurationHandle(), m_nStreamId, 0, 0);
    const NTSTATUS status = pUrb ? pUsbDevice->SubmitUrbSync(pUrb) : STATUS_INSUFFICIENT_RESOURCES;
    if (pUrb)
    {
        ExFreePoolWithTag(pUrb, USB_STREAM_URB_POOL_TAG);
    }
    SetHoldsBandwidth(pUsbDevice, FALSE);
    pUsbDevice->Release();
    return status;
}

NTSTATUS CUsbAudioStream::AbortTransfers()
{
    PAGED_CODE();
    return CUsbAudioStream::AbortPipe();
}

// A device that has gone cannot take the zero-bandwidth setting; the pool goes all the same.
STDMETHODIMP_(NTSTATUS) CUsbAudioStream::AbortPipe()
{
    if (!m_pInterfaceInfo || m_nDataPipe >= m_pInterfaceInfo->NumberOfPipes)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (!pUsbDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const NTSTATUS status = SendPipeRequest(pUsbDevice, m_nDataPipe, URB_FUNCTION_ABORT_PIPE);
    pUsbDevice->Release();
    return status;
}

NTSTATUS CUsbAudioStream::SendPipeRequest(IUsbDevice* UsbDevice, ULONG Pipe, USHORT Function)
{
    PURB pUrb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), USB_STREAM_URB_POOL_TAG));
    if (!pUrb)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pUrb, sizeof(struct _URB_PIPE_REQUEST));
    pUrb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    pUrb->UrbHeader.Function = Function;
    pUrb->UrbPipeRequest.PipeHandle = m_pInterfaceInfo->Pipes[Pipe].PipeHandle;
    const NTSTATUS status = UsbDevice->SubmitUrbSync(pUrb);
    ExFreePoolWithTag(pUrb, USB_STREAM_URB_POOL_TAG);
    return status;
}

// ---- Submission and completion, common parts ----

VOID CUsbAudioStream::NotifyClient(ULONG Code, PVOID Buffer, ULONG Length)
{
    // One read: the client slots may change the leader while a transfer completes, but never
    // free a record while a transfer is outstanding.
    StreamClient* pClient = m_pStartedClient;
    if (!pClient || !m_pClientCallbackObject)
    {
        return;
    }
    StreamNotification notification;
    RtlZeroMemory(&notification, sizeof(notification));
    notification.Client = pClient;
    notification.Code = Code;
    if (Code == StreamNotifyTransferDone)
    {
        notification.TransferDone.ByteCount = Length;
    }
    else
    {
        notification.Data.Buffer = Buffer;
        notification.Data.Length = Length;
    }
    ExNotifyCallback(m_pClientCallbackObject, &notification, nullptr);
}

NTSTATUS CUsbAudioStream::SendTransfer(IUsbDevice* UsbDevice, TransferContext* Context, ULONG Flags,
                                       ULONG Packets)
{
    struct _URB_ISOCH_TRANSFER& iso = Context->Urb->UrbIsochronousTransfer;
    iso.Hdr.Length = USHORT(GET_ISO_URB_SIZE(Packets));
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = m_pInterfaceInfo->Pipes[m_nDataPipe].PipeHandle;
    iso.TransferFlags = Flags;
    iso.TransferBuffer = Context->Data;
    iso.TransferBufferMDL = nullptr;
    iso.UrbLink = nullptr;
    iso.NumberOfPackets = Packets;
    if (m_bExplicitStartFrames)
    {
        iso.StartFrame = m_nNextStartFrame;
        m_nNextStartFrame += m_nFramesPerTransfer;
    }
    else
    {
        iso.TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
        iso.StartFrame = 0;
    }
    return PassTransferDown(UsbDevice, Context, IsoTransferCompletion);
}

// The count goes up before the IRP leaves: its completion may run on another processor before
// CallLowerDriver returns.
NTSTATUS CUsbAudioStream::PassTransferDown(IUsbDevice* UsbDevice, TransferContext* Context,
                                           PIO_COMPLETION_ROUTINE Completion)
{
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(Context->Irp);
    pNext->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pNext->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pNext->Parameters.Others.Argument1 = Context->Urb;
    IoSetCompletionRoutine(Context->Irp, Completion, Context, TRUE, TRUE, TRUE);
    if (InterlockedIncrement(&m_nOutstanding) == 1)
    {
        KeClearEvent(&m_IdleEvent);
    }
    return UsbDevice->CallLowerDriver(Context->Irp);
}

VOID CUsbAudioStream::FinishTransfer(TransferContext* Context, BOOLEAN Running, BOOLEAN Succeeded)
{
    ReleaseIrpSlot(Context);
    if (Running && Succeeded)
    {
        // Every success resubmits, serialised by the submit lock, so the chain keeps its depth;
        // a failure waiting for the worker holds the chain back.
        if (m_PendingFlag != STREAM_PENDING_FAILED)
        {
            SubmitNextTransfer();
        }
    }
    else if (Running)
    {
        if (InterlockedExchange(&m_PendingFlag, STREAM_PENDING_FAILED) != STREAM_PENDING_FAILED)
        {
            KeSetEvent(&m_WorkEvent, TRANSFER_EVENT_INCREMENT, FALSE);
        }
    }
    if (InterlockedDecrement(&m_nOutstanding) == 0)
    {
        KeSetEvent(&m_IdleEvent, TRANSFER_EVENT_INCREMENT, FALSE);
    }
}

// ---- Submission and completion, shared forms ----

TransferContext* CUsbAudioStream::ClaimTransfer(PNTSTATUS Status)
{
    *Status = STATUS_SUCCESS;
    return !m_bDeviceGone && m_StreamState == STREAM_STATE_RUNNING ? TakeTransfer(Status) : nullptr;
}

TransferContext* CUsbAudioStream::TakeTransfer(PNTSTATUS Status)
{
    *Status = STATUS_SUCCESS;
    TransferContext* pContext = AcquireIrpSlot();
    if (!pContext)
    {
        *Status = STATUS_BUFFER_TOO_SMALL;
        return nullptr;
    }
    RtlZeroMemory(pContext->Urb, GET_ISO_URB_SIZE(m_nFramesPerTransfer * m_nPacketsPerFrame));
    return pContext;
}

// Silence as the clients see it: their 8-bit samples are unsigned, so its midpoint, not zero
// (full negative).
VOID CUsbAudioStream::FillSilence(PUCHAR Data, ULONG Length)
{
    RtlFillMemory(Data, Length, m_CurrentFormat.Format.wBitsPerSample == 8 ? 0x80 : 0);
}

// Between a client's offset-binary 8-bit samples and a device's two's complement ones, both
// ways: the same value with its top bit flipped.
VOID CUsbAudioStream::FlipSignBits(PUCHAR Data, ULONG Length)
{
    if (!m_bSignedBytes)
    {
        return;
    }
    for (ULONG i = 0; i < Length; i++)
    {
        Data[i] ^= 0x80;
    }
}

VOID CUsbAudioStream::FillRenderBuffer(TransferContext* Context, ULONG Length)
{
    FillSilence(Context->Data, Length);
    NotifyClient(StreamNotifyRenderData, Context->Data, Length);
    ProcessBuffer(Context->Data, Length);
    FlipSignBits(Context->Data, Length);
}

NTSTATUS CUsbAudioStream::SubmitCaptureTransfer()
{
    return SubmitClaimed(
        [this](IUsbDevice* UsbDevice, TransferContext* Context, ULONG Packets)
        {
            const ULONG slot = m_nMaxFramesPerPacket * m_CurrentFormat.Format.nBlockAlign;
            struct _URB_ISOCH_TRANSFER& iso = Context->Urb->UrbIsochronousTransfer;
            for (ULONG i = 0; i < Packets; ++i)
            {
                iso.IsoPacket[i].Offset = i * slot;
                iso.IsoPacket[i].Length = 0;
            }
            iso.TransferBufferLength = Packets * slot;
            Context->ByteLength = Packets * slot;
            return SendTransfer(UsbDevice, Context, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                Packets);
        });
}

VOID CUsbAudioStream::FinishCaptureTransfer(NTSTATUS IrpStatus, TransferContext* Context)
{
    const BOOLEAN running = m_StreamState == STREAM_STATE_RUNNING && IrpStatus != STATUS_CANCELLED;
    const BOOLEAN succeeded =
        NT_SUCCESS(IrpStatus) && USBD_SUCCESS(Context->Urb->UrbIsochronousTransfer.Hdr.Status);
    FinishTransfer(Context, running, succeeded);
}

ULONG CUsbAudioStream::NextNominalCaptureFrames()
{
    const LONG perSecond = LONG(m_nPacketsPerFrame * MS_PER_SECOND);
    m_nCaptureRemainder +=
        LONG(m_CurrentFormat.Format.nSamplesPerSec) - LONG(m_nBaseFramesPerPacket) * perSecond;
    const LONG carry = m_nCaptureRemainder / perSecond;
    m_nCaptureRemainder -= carry * perSecond;
    const ULONG frames = ULONG(LONG(m_nBaseFramesPerPacket) + carry);
    return frames < m_nMaxFramesPerPacket ? frames : m_nMaxFramesPerPacket;
}

// The nominal frames run on for every packet, so they keep the pace of a device that spreads
// its frames as the render streams size their packets.
ULONG CUsbAudioStream::CapturePacketBytes(TransferContext* Context, USBD_ISO_PACKET_DESCRIPTOR* Packet)
{
    const ULONG blockAlign = m_CurrentFormat.Format.nBlockAlign;
    const ULONG slot = m_nMaxFramesPerPacket * blockAlign;
    const ULONG nominalFrames = NextNominalCaptureFrames();
    if (Packet->Offset > Context->ByteLength || slot > Context->ByteLength - Packet->Offset)
    {
        return 0; // not a slot of this transfer
    }
    ULONG emptyFrames = m_CurrentFormat.Format.nSamplesPerSec / (m_nPacketsPerFrame * MS_PER_SECOND) + 1;
    emptyFrames = emptyFrames < m_nMaxFramesPerPacket ? emptyFrames : m_nMaxFramesPerPacket;
    const BOOLEAN lost = !USBD_SUCCESS(Packet->Status) || Packet->Length > slot;
    if (lost || Packet->Length == 0)
    {
        Packet->Length = (lost ? nominalFrames : emptyFrames) * blockAlign;
        FillSilence(Context->Data + Packet->Offset, Packet->Length);
    }
    else
    {
        FlipSignBits(Context->Data + Packet->Offset, Packet->Length);
    }
    return Packet->Length;
}

VOID CUsbAudioStream::StageCaptureBytes(const UCHAR* Source, ULONG Length)
{
    while (Length)
    {
        const ULONG room = m_nRingSize - m_nRingWrite;
        const ULONG chunk = Length < room ? Length : room;
        RtlCopyMemory(m_pRing + m_nRingWrite, Source, chunk);
        m_nRingWrite = (m_nRingWrite + chunk) % m_nRingSize;
        Source += chunk;
        Length -= chunk;
    }
}

VOID CUsbAudioStream::FinishRenderTransfer(NTSTATUS IrpStatus, TransferContext* Context, ULONG DoneBytes,
                                           BOOLEAN CheckPackets)
{
    const BOOLEAN running = m_StreamState == STREAM_STATE_RUNNING;
    if (running && (IrpStatus == STATUS_DEVICE_NOT_CONNECTED || IrpStatus == STATUS_NO_SUCH_DEVICE))
    {
        m_bDeviceGone = TRUE;
    }
    NotifyClient(StreamNotifyTransferDone, nullptr, DoneBytes);
    struct _URB_ISOCH_TRANSFER& iso = Context->Urb->UrbIsochronousTransfer;
    USBD_STATUS urbStatus = iso.Hdr.Status;
    for (ULONG i = 0; CheckPackets && USBD_SUCCESS(urbStatus) && i < iso.NumberOfPackets; ++i)
    {
        if (!USBD_SUCCESS(iso.IsoPacket[i].Status))
        {
            urbStatus = iso.IsoPacket[i].Status;
        }
    }
    FinishTransfer(Context, running && IrpStatus != STATUS_CANCELLED,
                   NT_SUCCESS(IrpStatus) && USBD_SUCCESS(urbStatus));
}
