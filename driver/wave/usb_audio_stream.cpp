// CUsbAudioStream: construction, Init with the client callback object and the worker thread,
// the format list, client registration, and the valid-alternate-setting query of class 2.
#include "driver/wave/usb_audio_stream.h"

#include "usbdlib.h"
#include "driver/core/usb_device_if.h"

namespace
{

// Class-2 pool tag of the valid-alternate-settings request.
constexpr ULONG UAC2_STREAM_POOL_TAG = MAKE_POOL_TAG('U', 'S', '2', '0');

// The worker's first priority gets it running at once; it then settles below the completions.
constexpr KPRIORITY WORKER_START_PRIORITY = 31;
constexpr KPRIORITY WORKER_PRIORITY = 24;

// Class-2 audio-streaming interface control: GET CUR of the valid alternate settings gives
// bControlSize and then one bit per alternate setting, setting 0 in bit 0 of the first byte.
constexpr UCHAR UAC2_REQUEST_CUR = 0x01;
constexpr USHORT UAC2_AS_VALID_ALT_SETTINGS = 0x0200;
constexpr ULONG UAC2_VALID_ALT_SETTINGS_BYTES = 5;

VOID WorkerThreadStart(PVOID Context)
{
    static_cast<CUsbAudioStream*>(Context)->StreamWorkerThread();
}

} // namespace

CUsbAudioStream::CUsbAudioStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber)
    : CStreamEngine(UnknownOuter, InterfaceNumber), m_pDeviceUnknown(nullptr), m_pUsbDevice(nullptr),
      m_nFramesPerTransfer(10), m_nTransfersInFlight(USB_STREAM_MAX_TRANSFERS), m_bDeviceGone(FALSE),
      m_SubmitLock(0), m_PoolLock(0), m_pWorkerThread(nullptr), m_pClientCallbackObject(nullptr),
      m_StreamState(STREAM_STATE_CLOSED), m_pOpenClient(nullptr), m_pStartedClient(nullptr),
      m_PendingFlag(STREAM_PENDING_NONE), m_nOutstanding(0), m_nNextStartFrame(0), m_bExplicitStartFrames(0),
      m_pRing(nullptr), m_nRingTag(UAC1_STREAM_RING_POOL_TAG), m_nRingSize(0), m_nRingRead(0),
      m_nRingWrite(0), m_nPacketsPerFrame(1), m_nBaseFramesPerPacket(0), m_nMaxFramesPerPacket(0),
      m_nCaptureRemainder(0), m_pInterfaceInfo(nullptr), m_nDataPipe(0), m_bHoldsBandwidth(FALSE),
      m_bListsReady(FALSE), m_bSignedBytes(FALSE), m_pEffectProcessor(nullptr)
{
    RtlZeroMemory(&m_CurrentFormat, sizeof(m_CurrentFormat));
    RtlZeroMemory(m_FreeSlots, sizeof(m_FreeSlots));
    RtlZeroMemory(const_cast<TransferContext**>(m_InUseSlots), sizeof(m_InUseSlots));
    InitializeListHead(&m_FormatList);
    KeInitializeEvent(&m_IdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_ThreadExitEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_WorkEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&m_SubmitLock);
    KeInitializeSpinLock(&m_PoolLock);
}

CUsbAudioStream::~CUsbAudioStream()
{
    PAGED_CODE();
    FreeFormatEntries();
    StopWorkerThread();
    if (m_StreamState == STREAM_STATE_RUNNING)
    {
        StopStreaming();
    }
    if (m_StreamState == STREAM_STATE_OPEN)
    {
        CloseStream();
    }
    if (m_pInterfaceInfo)
    {
        ExFreePoolWithTag(m_pInterfaceInfo, USB_STREAM_URB_POOL_TAG);
        m_pInterfaceInfo = nullptr;
    }
    if (m_pClientCallbackObject)
    {
        ObMakeTemporaryObject(m_pClientCallbackObject);
        ObDereferenceObject(m_pClientCallbackObject);
        m_pClientCallbackObject = nullptr;
    }
    if (m_pEffectProcessor)
    {
        m_pEffectProcessor->FreeBuffers();
        m_pEffectProcessor->~CEffectProcessor();
        ExFreePoolWithTag(m_pEffectProcessor, USB_STREAM_POOL_TAG); // the block of its pool new
        m_pEffectProcessor = nullptr;
    }
}

// The limiter runs with unit boost; without it (or its buffers) the stream streams all the same.
VOID CUsbAudioStream::CreateEffectProcessor()
{
    m_pEffectProcessor = new (NonPagedPool, USB_STREAM_POOL_TAG) CEffectProcessor();
    if (!m_pEffectProcessor)
    {
        return;
    }
    m_pEffectProcessor->AllocateBuffers();
    m_pEffectProcessor->SetMode(0);
    m_pEffectProcessor->SetGain(1.0f);
    m_pEffectProcessor->SetCeiling(1.0f);
}

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (!Interface)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_ICyclicControl))
    {
        *Interface = PVOID(static_cast<PCYCLICCONTROL>(this));
        static_cast<PCYCLICCONTROL>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IStreamDrmForward))
    {
        *Interface = PVOID(static_cast<PSTREAMDRMFORWARD>(this));
        static_cast<PSTREAMDRMFORWARD>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    return CStreamEngine::NonDelegatingQueryInterface(InterfaceId, Interface);
}

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::SetContentId(ULONG ContentId)
{
    PAGED_CODE();
    DRMFORWARD forward;
    RtlZeroMemory(&forward, sizeof(forward));
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (pUsbDevice)
    {
        forward.DeviceObject = pUsbDevice->GetLowerDeviceObject();
        pUsbDevice->Release();
    }
    // The engine mutex keeps a setting change from freeing the interface record under the read;
    // the setting-0 record has no pipes, so the index must not reach past them.
    m_Lock.Lock();
    if (m_pInterfaceInfo && m_nDataPipe < m_pInterfaceInfo->NumberOfPipes)
    {
        USBD_PIPE_HANDLE hPipe = m_pInterfaceInfo->Pipes[m_nDataPipe].PipeHandle;
        forward.FileObject = reinterpret_cast<PFILE_OBJECT>(hPipe);
        forward.Context = hPipe;
    }
    m_Lock.Unlock();
    return PcForwardContentToDeviceObject(ContentId, nullptr, &forward);
}

NTSTATUS CUsbAudioStream::CreateClientCallbackObject()
{
    return CreateAddressedCallback(u"\\Callback\\CyclicControlAddr%p", static_cast<CUsbAudioStream*>(this),
                                   &m_pClientCallbackObject);
}

NTSTATUS CUsbAudioStream::StartWorkerThread()
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE hThread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                           WorkerThreadStart, this);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                       reinterpret_cast<PVOID*>(&m_pWorkerThread), nullptr);
    if (NT_SUCCESS(status))
    {
        KeSetPriorityThread(m_pWorkerThread, WORKER_START_PRIORITY);
        KeSetPriorityThread(m_pWorkerThread, WORKER_PRIORITY);
    }
    else
    {
        // Without the object the thread could not be waited for: end it now.
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_ThreadExitEvent, Executive, KernelMode, FALSE, nullptr);
    }
    ZwClose(hThread);
    return status;
}

// The thread touches this object until it sets the exit event; waiting for the thread object
// as well means it is gone before the memory is.
VOID CUsbAudioStream::StopWorkerThread()
{
    if (!m_pWorkerThread)
    {
        return;
    }
    KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&m_ThreadExitEvent, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(m_pWorkerThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(m_pWorkerThread);
    m_pWorkerThread = nullptr;
}

NTSTATUS CUsbAudioStream::Init(ULONG Direction, PUNKNOWN DeviceUnknown)
{
    PAGED_CODE();
    NTSTATUS status = CStreamEngine::Init(Direction);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = CreateClientCallbackObject();
    if (NT_SUCCESS(status))
    {
        status = StartWorkerThread();
    }
    if (!NT_SUCCESS(status))
    {
        if (m_pClientCallbackObject)
        {
            ObMakeTemporaryObject(m_pClientCallbackObject);
            ObDereferenceObject(m_pClientCallbackObject);
            m_pClientCallbackObject = nullptr;
        }
        return status;
    }
    m_pDeviceUnknown = DeviceUnknown;
    m_bDeviceGone = FALSE;
    if (!m_pEffectProcessor)
    {
        CreateEffectProcessor();
    }
    return STATUS_SUCCESS;
}

VOID CUsbAudioStream::FreeFormatEntries()
{
    while (!IsListEmpty(&m_FormatList))
    {
        PLIST_ENTRY pLinks = RemoveHeadList(&m_FormatList);
        ExFreePoolWithTag(CONTAINING_RECORD(pLinks, StreamFormatEntry, Links), USB_STREAM_POOL_TAG);
    }
}

// The engine's lists come first: they are what the wave filter offers, and a format they do
// not hold must never be selectable. A failure leaves the stream unusable; the walk that adds
// the formats then releases it.
NTSTATUS CUsbAudioStream::AddDataFormat(PCWAVEFORMATEXTENSIBLE Format, UCHAR AlternateSetting,
                                        BOOLEAN SignedBytes)
{
    PAGED_CODE();
    if (!Format)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!PacketsFitSetting(Format, AlternateSetting))
    {
        return STATUS_SUCCESS; // the rest of the setting's formats stay
    }
    NTSTATUS status = AddFormat(Format);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    StreamFormatEntry* pEntry = static_cast<StreamFormatEntry*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(StreamFormatEntry), USB_STREAM_POOL_TAG));
    if (!pEntry)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pEntry, sizeof(StreamFormatEntry));
    pEntry->AlternateSetting = AlternateSetting;
    RtlCopyMemory(&pEntry->Format, Format, sizeof(WAVEFORMATEXTENSIBLE));
    pEntry->SignedBytes = SignedBytes && Format->Format.wBitsPerSample == 8;
    InsertTailList(&m_FormatList, &pEntry->Links);
    return STATUS_SUCCESS;
}

VOID CUsbAudioStream::RemoveDataFormats(PFN_FORMAT_MATCH Match, BOOLEAN OwnList)
{
    PAGED_CODE();
    RemoveFormats(Match);
    if (!OwnList)
    {
        return;
    }
    PLIST_ENTRY pEntry = m_FormatList.Flink;
    while (pEntry != &m_FormatList)
    {
        StreamFormatEntry* pFormat = CONTAINING_RECORD(pEntry, StreamFormatEntry, Links);
        pEntry = pEntry->Flink;
        if (Match(&pFormat->Format))
        {
            RemoveEntryList(&pFormat->Links);
            ExFreePoolWithTag(pFormat, USB_STREAM_POOL_TAG);
        }
    }
}

NTSTATUS CUsbAudioStream::FindLinkedNode(ULONG NodeId, ITopologyNode** Node)
{
    PAGED_CODE();
    if (!Node)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Node = nullptr;
    PPOINTER_LIST_NODE position = m_pNodes ? m_pNodes->GetHeadPosition() : nullptr;
    PVOID pData;
    while (m_pNodes && m_pNodes->GetNext(&position, &pData))
    {
        if (static_cast<ITopologyNode*>(pData)->GetId() == NodeId)
        {
            *Node = static_cast<ITopologyNode*>(pData);
        }
    }
    return *Node ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS)
CUsbAudioStream::RegisterClient(ULONG Priority, PCWAVEFORMATEXTENSIBLE Format, ULONG FramesPerTransfer,
                                ULONG TransfersInFlight, PCALLBACK_FUNCTION Callback, PVOID Context,
                                StreamClient** Client)
{
    PAGED_CODE();
    if (!Client)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Client = nullptr;
    if (!Format || !Callback || FramesPerTransfer == 0 || FramesPerTransfer > USB_STREAM_RING_MS)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (TransfersInFlight < USB_STREAM_MIN_TRANSFERS || TransfersInFlight > USB_STREAM_MAX_TRANSFERS)
    {
        DbgPrint("CUsbAudioStream: stream %u refuses a client with %u transfers in flight: it streams "
                 "with %u to %u\n",
                 m_nStreamId, TransfersInFlight, USB_STREAM_MIN_TRANSFERS, USB_STREAM_MAX_TRANSFERS);
        return STATUS_INVALID_PARAMETER;
    }
    m_Lock.Lock();
    // FindFormat rewrites a plain format in place; the client's own stays as it was given.
    WAVEFORMATEXTENSIBLE offered;
    RtlCopyMemory(&offered, Format, sizeof(offered));
    NTSTATUS status = FindFormat(&offered.Format);
    if (NT_SUCCESS(status) && (!m_pClientCallbackObject || !m_pRegisteredClients))
    {
        // Without the callback object the client could never be told anything.
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    StreamClient* pClient = nullptr;
    if (NT_SUCCESS(status))
    {
        pClient = static_cast<StreamClient*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamClient), USB_STREAM_POOL_TAG));
        status = pClient ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status))
    {
        RtlZeroMemory(pClient, sizeof(StreamClient));
        pClient->Priority = Priority;
        pClient->FramesPerTransfer = FramesPerTransfer;
        pClient->TransfersInFlight = TransfersInFlight;
        RtlCopyMemory(&pClient->Format, Format, sizeof(WAVEFORMATEXTENSIBLE));
        pClient->Direction = m_nCapture;
        pClient->Registration = ExRegisterCallback(m_pClientCallbackObject, Callback, Context);
        status = pClient->Registration ? AddRegisteredClient(pClient) : STATUS_INSUFFICIENT_RESOURCES;
        if (!NT_SUCCESS(status))
        {
            if (pClient->Registration)
            {
                ExUnregisterCallback(pClient->Registration);
            }
            ExFreePoolWithTag(pClient, USB_STREAM_POOL_TAG);
            pClient = nullptr;
        }
    }
    *Client = pClient;
    m_Lock.Unlock();
    return status;
}

// An open client must be closed first.
STDMETHODIMP_(NTSTATUS) CUsbAudioStream::UnregisterClient(PVOID ClientKey)
{
    PAGED_CODE();
    m_Lock.Lock();
    StreamClient* pClient =
        ClientKey && !FindOpenClient(ClientKey) ? RemoveRegisteredClient(ClientKey) : nullptr;
    m_Lock.Unlock();
    if (!pClient)
    {
        return STATUS_UNSUCCESSFUL;
    }
    // Outside the mutex: the unregistration waits for a running call of the client's callback.
    ExUnregisterCallback(pClient->Registration);
    ExFreePoolWithTag(pClient, USB_STREAM_POOL_TAG);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(BOOLEAN) CUsbAudioStream::IsAlternateSettingValid(UCHAR AlternateSetting, ULONG SampleRate)
{
    return TRUE;
}

BOOLEAN CUsbAudioStream::QueryValidAlternateSetting(UCHAR AlternateSetting)
{
    PAGED_CODE();
    if (AlternateSetting == 0)
    {
        return TRUE;
    }
    IUsbDevice* pUsbDevice = nullptr;
    if (!m_pDeviceUnknown ||
        !NT_SUCCESS(m_pDeviceUnknown->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsbDevice))))
    {
        return FALSE;
    }
    const SIZE_T urbBytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB pUrb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, urbBytes + UAC2_VALID_ALT_SETTINGS_BYTES, UAC2_STREAM_POOL_TAG));
    BOOLEAN valid = FALSE;
    if (pUrb)
    {
        RtlZeroMemory(pUrb, urbBytes + UAC2_VALID_ALT_SETTINGS_BYTES);
        PUCHAR pData = reinterpret_cast<PUCHAR>(pUrb) + urbBytes;
        UsbBuildVendorRequest(pUrb, URB_FUNCTION_CLASS_INTERFACE, urbBytes,
                              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, UAC2_REQUEST_CUR,
                              UAC2_AS_VALID_ALT_SETTINGS, USHORT(m_nStreamId), pData, nullptr,
                              UAC2_VALID_ALT_SETTINGS_BYTES, nullptr);
        if (NT_SUCCESS(pUsbDevice->SubmitUrbSync(pUrb)))
        {
            // Only the bytes the device sent count; a short answer holds fewer settings.
            const ULONG received = pUrb->UrbControlVendorClassRequest.TransferBufferLength;
            const ULONG bitmapBytes = received > 1 ? received - 1 : 0;
            const ULONG limit = received > 0 ? pData[0] : 0;
            const ULONG byteIndex = AlternateSetting / 8;
            valid = AlternateSetting < limit * 8 && byteIndex < bitmapBytes &&
                    (pData[1 + byteIndex] & (1u << (AlternateSetting % 8))) != 0;
        }
        ExFreePoolWithTag(pUrb, UAC2_STREAM_POOL_TAG);
    }
    pUsbDevice->Release();
    return valid;
}

// ---- Slots of the transfer chain ----
// The slots the class streams always replace answer as the base class does.

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client)
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::SubmitNextTransfer()
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS)
CUsbAudioStream::OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context)
{
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(NTSTATUS) CUsbAudioStream::OpenStream(StreamClient* Client, PULONG CurrentFrame)
{
    return STATUS_NOT_SUPPORTED;
}
