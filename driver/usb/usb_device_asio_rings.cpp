// CUsbDevice: the ASIO companion's shared rings. Each ring is whole pages of non-paged pool
// mapped into the companion's process, attached to its endpoint's USB stream as a client of
// priority 5; the stream's notifications copy samples between the transfers and the rings and
// pace the companion through its period event. What the driver knows of a ring lives in its
// own state; the header the companion sees is only ever written.
#include "driver/usb/usb_device.h"

#include "driver/core/stream_engine_if.h"
#include "driver/wave/cyclic_control.h"

namespace
{

constexpr ULONG ASIO_RING_HEADER_BYTES = sizeof(AsioSharedBufferHeader);
// Rings larger than this are refused: 40 ms of anything the streams carry is far below it.
constexpr ULONGLONG ASIO_MAX_RING_BYTES = 16 * 1024 * 1024;
constexpr UCHAR DSD_SILENCE_FILL = 0x96;
constexpr UCHAR DSD_IDLE_FILL = 0x69;
constexpr UCHAR ASIO_VENDOR_REQUEST = 7;
constexpr ULONG DSD_SAMPLES_PER_GROUP = 64;

class ClientLockHold
{
public:
    explicit ClientLockHold(CMutexLock* Lock) : m_pLock(Lock) { m_pLock->Lock(); }
    ~ClientLockHold() { m_pLock->Unlock(); }
    ClientLockHold(const ClientLockHold&) = delete;
    ClientLockHold& operator=(const ClientLockHold&) = delete;

private:
    CMutexLock* m_pLock;
};

ULONG ChannelsForIoFormat(IStreamEngine* Stream, ULONG IoFormat)
{
    ULONG channels = 0;
    const ULONG count = Stream->GetFormatCount();
    for (ULONG index = 0; index < count; index++)
    {
        WAVEFORMATEXTENSIBLE format;
        RtlZeroMemory(&format, sizeof(format));
        if (!NT_SUCCESS(Stream->GetFormat(index, &format)))
        {
            continue;
        }
        BOOLEAN dsd = format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
                      IsEqualGUIDAligned(format.SubFormat, KSDATAFORMAT_SUBTYPE_DSD);
        BOOLEAN pcm = format.Format.wFormatTag == WAVE_FORMAT_PCM ||
                      (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
                       IsEqualGUIDAligned(format.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
        if (((IoFormat == ASIO_IO_FORMAT_DSD && dsd) || (IoFormat == ASIO_IO_FORMAT_PCM && pcm)) &&
            format.Format.nChannels > channels)
        {
            channels = format.Format.nChannels;
        }
    }
    return channels;
}

// 40 ms of the stream's frames, in whole frames, computed wide so that no rate or channel count
// can wrap it; 0 when the result is unusable.
ULONG RingBytesFor(ULONG IoFormat, ULONG Rate, ULONG Channels, ULONG BytesPerSample)
{
    ULONGLONG ring;
    if (IoFormat == ASIO_IO_FORMAT_DSD)
    {
        const ULONGLONG group = ULONGLONG(Channels) * 8;
        ring = ULONGLONG(Rate / DSD_SAMPLES_PER_GROUP) * group * ASIO_RING_MS / 1000 / group * group;
    }
    else
    {
        const ULONGLONG frame = ULONGLONG(Channels) * BytesPerSample;
        ring = ULONGLONG(Rate) * frame * ASIO_RING_MS / 1000 / frame * frame;
    }
    return ring > ASIO_MAX_RING_BYTES ? 0 : ULONG(ring);
}

} // namespace

// ---- Transfer sizing ----

// The owner's buffer length grouped into transfers of 1, 2, 4 or 5 ms; FALSE when the owner's
// rate gives no whole frame per millisecond.
BOOLEAN CUsbDevice::PlanTransfers(AsioTransferPlan* Plan)
{
    const BOOLEAN dsd = m_pAsioOwner->IoFormat == ASIO_IO_FORMAT_DSD;
    const ULONG rate = m_pAsioOwner->SampleRate;
    Plan->FramesPerMs = dsd ? rate / (DSD_SAMPLES_PER_GROUP * 1000) : rate / 1000;
    if (Plan->FramesPerMs == 0)
    {
        return FALSE;
    }
    ULONG m = m_nAsioBufferFrames / Plan->FramesPerMs;
    m = m < 2 ? 2 : m;
    if (m >= 20)
    {
        Plan->MsPerTransfer = 5;
        m = m / 5 < 5 ? m / 5 : 5;
    }
    else if (m >= 16)
    {
        Plan->MsPerTransfer = 4;
        m /= 4;
    }
    else if (m >= 8)
    {
        Plan->MsPerTransfer = 2;
        m /= 2;
    }
    else
    {
        Plan->MsPerTransfer = 1;
    }
    Plan->Groups = m;
    Plan->TransfersInFlight = m > 2 ? m - 1 : m;
    return TRUE;
}

// ---- Mapping ----

VOID CUsbDevice::PublishRing(ULONG Index)
{
    const AsioRingState& state = m_pAsioRings[Index];
    AsioSharedBufferHeader* pHeader = static_cast<AsioSharedBufferHeader*>(m_pAsioEndpoints[Index].Ring);
    pHeader->Active = state.Active;
    pHeader->IsInput = state.IsInput;
    pHeader->Channels = state.Channels;
    pHeader->FirstChannel = state.FirstChannel;
    pHeader->RingBytes = state.RingBytes;
    pHeader->DriverPosition = state.DriverPosition;
    pHeader->InitialPosition = state.InitialPosition;
    pHeader->LeadBytes = state.LeadBytes;
    pHeader->Master = state.Master;
    pHeader->PeriodCount = state.PeriodCount;
}

// Unmaps and frees every ring; only ever after the rings' registrations are gone, in the
// process that mapped them.
VOID CUsbDevice::FreeRings()
{
    for (ULONG index = 0; index < m_nAsioEndpointTableCount; index++)
    {
        AsioEndpointEntry& entry = m_pAsioEndpoints[index];
        if (entry.UserAddress)
        {
            MmUnmapLockedPages(entry.UserAddress, entry.Mdl);
        }
        if (entry.Mdl)
        {
            IoFreeMdl(entry.Mdl);
        }
        if (entry.Ring)
        {
            ExFreePoolWithTag(entry.Ring, USB_DEVICE_POOL_TAG);
        }
        entry.Ring = nullptr;
        entry.UserAddress = nullptr;
        entry.Mdl = nullptr;
        RtlZeroMemory(&m_pAsioRings[index], sizeof(AsioRingState));
    }
}

// One ring per ASIO endpoint, sized from the sample type that is streamed. A ring is whole
// zeroed pages, so the companion's view of it shows nothing of the memory around it.
NTSTATUS CUsbDevice::MapRings(AsioClient* Client)
{
    ULONG bytesPerSample = 8;
    if (Client->IoFormat != ASIO_IO_FORMAT_DSD && !AsioBytesPerSample(m_nAsioSampleType, &bytesPerSample))
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG firstChannel[2] = {0, 0};
    ULONG endpoints = 0;
    const ULONG count = GetStreamCount();
    m_nAsioEndpointCount = count < m_nAsioEndpointTableCount ? count : m_nAsioEndpointTableCount;
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        BOOLEAN isAsio;
        IStreamEngine* pStream;
        NTSTATUS status = GetAsioStream(index, &isAsio, &pStream);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (!isAsio)
        {
            continue;
        }
        const ULONG channels = ChannelsForIoFormat(pStream, Client->IoFormat);
        const ULONG ring =
            channels ? RingBytesFor(Client->IoFormat, Client->SampleRate, channels, bytesPerSample) : 0;
        if (ring == 0)
        {
            DbgPrint("CUsbDevice: ASIO endpoint %u has no ring for %u channels at %u Hz\n", index, channels,
                     Client->SampleRate);
            return STATUS_INVALID_PARAMETER;
        }
        AsioEndpointEntry& entry = m_pAsioEndpoints[index];
        AsioRingState& state = m_pAsioRings[index];
        state.BlockBytes = ROUND_TO_PAGES(SIZE_T(ring) + ASIO_RING_HEADER_BYTES);
        entry.Ring = ExAllocatePoolWithTag(NonPagedPool, state.BlockBytes, USB_DEVICE_POOL_TAG);
        if (!entry.Ring)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(entry.Ring, state.BlockBytes);
        if (Client->IoFormat == ASIO_IO_FORMAT_DSD)
        {
            RtlFillMemory(static_cast<PUCHAR>(entry.Ring) + ASIO_RING_HEADER_BYTES, ring, DSD_IDLE_FILL);
        }
        entry.Mdl = IoAllocateMdl(entry.Ring, ULONG(state.BlockBytes), FALSE, TRUE, nullptr);
        if (!entry.Mdl)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        MmBuildMdlForNonPagedPool(entry.Mdl);
        entry.UserAddress =
            MmMapLockedPagesSpecifyCache(entry.Mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
        if (!entry.UserAddress)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        const ULONG direction = pStream->GetKind() == STREAM_DIRECTION_RENDER ? 0 : 1;
        state.IsInput = direction;
        state.Channels = channels;
        state.FirstChannel = firstChannel[direction];
        firstChannel[direction] += channels;
        state.RingBytes = ring;
        PublishRing(index);
        endpoints++;
    }
    return endpoints ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// A render ring must hold the transfers in flight and the one being filled: the companion
// writes ahead of the driver by that much.
NTSTATUS CUsbDevice::CheckRingsHoldLead()
{
    AsioTransferPlan plan;
    if (!PlanTransfers(&plan))
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG bytesPerSample = 8;
    if (m_pAsioOwner->IoFormat != ASIO_IO_FORMAT_DSD &&
        !AsioBytesPerSample(m_nAsioSampleType, &bytesPerSample))
    {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        const AsioRingState& state = m_pAsioRings[index];
        const ULONGLONG perTransfer =
            ULONGLONG(bytesPerSample) * state.Channels * plan.MsPerTransfer * plan.FramesPerMs;
        const ULONGLONG lead = ULONGLONG(plan.Groups - 1 < 2 ? 2 : plan.Groups - 1) * perTransfer;
        if (m_pAsioEndpoints[index].Ring && !state.IsInput && lead + perTransfer > state.RingBytes)
        {
            DbgPrint("CUsbDevice: ASIO ring %u of %u bytes cannot hold a lead of %llu bytes\n", index,
                     state.RingBytes, lead);
            return STATUS_INVALID_PARAMETER;
        }
    }
    return STATUS_SUCCESS;
}

VOID CUsbDevice::ActivateRequestedRings(const AsioBufferRequest* Request)
{
    const AsioBufferRequestEntry* pEntries = reinterpret_cast<const AsioBufferRequestEntry*>(Request + 1);
    for (ULONG i = 0; i < Request->Count; i++)
    {
        const ULONG direction = pEntries[i].IsInput ? 1 : 0;
        const ULONG channel = pEntries[i].ChannelIndex;
        for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
        {
            AsioRingState& state = m_pAsioRings[index];
            if (m_pAsioEndpoints[index].Ring && state.IsInput == direction && channel >= state.FirstChannel &&
                channel - state.FirstChannel < state.Channels)
            {
                state.Active = 1;
                break;
            }
        }
    }
}

// The last active capture ring paces the companion, or without one the last active render ring.
VOID CUsbDevice::ChooseMasterRing()
{
    LONG master = -1;
    for (ULONG pass = 0; pass < 2 && master < 0; pass++)
    {
        const ULONG wanted = pass == 0 ? 1 : 0;
        for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
        {
            if (m_pAsioEndpoints[index].Ring && m_pAsioRings[index].Active &&
                m_pAsioRings[index].IsInput == wanted)
            {
                master = LONG(index);
            }
        }
    }
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        if (m_pAsioEndpoints[index].Ring)
        {
            m_pAsioRings[index].Master = LONG(index) == master ? 1 : 0;
            PublishRing(index);
        }
    }
}

STDMETHODIMP_(NTSTATUS)
CUsbDevice::MapStreamingBuffers(PFILE_OBJECT FileObject, const AsioBufferRequest* Request,
                                ULONG RequestLength, PVOID UserAddresses, PULONG OutputLength)
{
    PAGED_CODE();
    if (ResetPort())
    {
        return STATUS_INVALID_PARAMETER;
    }
    ClientLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!Request || !OutputLength || !pClient || RequestLength < sizeof(AsioBufferRequest) ||
        ULONGLONG(Request->Count) >
            (ULONGLONG(RequestLength) - sizeof(AsioBufferRequest)) / sizeof(AsioBufferRequestEntry))
    {
        return STATUS_INVALID_PARAMETER;
    }
    // A second map while the rings are out would lose the first ones.
    if ((m_pAsioOwner && m_pAsioOwner != pClient) || pClient->Running || !m_pAsioEndpoints)
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_pAsioOwner = pClient;
    m_nAsioBuffersInUse = 1;
    const ULONG rate = pClient->SampleRate;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if ((pClient->IoFormat == ASIO_IO_FORMAT_PCM && rate >= ASIO_MIN_SAMPLE_RATE &&
         rate < ASIO_DSD_MIN_SAMPLE_RATE) ||
        (pClient->IoFormat == ASIO_IO_FORMAT_DSD && rate >= ASIO_DSD_MIN_SAMPLE_RATE))
    {
        status = MapRings(pClient);
    }
    ULONG endpoints = 0;
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        endpoints += m_pAsioEndpoints[index].Ring ? 1 : 0;
    }
    if (NT_SUCCESS(status))
    {
        m_nAsioBufferFrames = Request->BufferFrames;
        // The entries share the system buffer with the addresses: every one is read before any
        // address is written.
        ActivateRequestedRings(Request);
        status = (*OutputLength == endpoints * sizeof(ULONGLONG) && UserAddresses) ? STATUS_SUCCESS
                                                                                   : STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status))
    {
        status = CheckRingsHoldLead();
    }
    if (NT_SUCCESS(status))
    {
        ChooseMasterRing();
        status = AttachClientBuffers();
    }
    if (!NT_SUCCESS(status))
    {
        m_nAsioBuffersInUse = 0;
        FreeRings();
        return status;
    }
    PULONGLONG pOut = static_cast<PULONGLONG>(UserAddresses);
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        if (m_pAsioEndpoints[index].Ring)
        {
            *pOut++ = ULONGLONG(ULONG_PTR(m_pAsioEndpoints[index].UserAddress));
        }
    }
    pClient->Running = 1;
    return STATUS_SUCCESS;
}

// Streams are stopped and registrations removed before a single block goes: a transfer still
// on its way must never find its ring freed under it.
STDMETHODIMP_(NTSTATUS) CUsbDevice::UnmapStreamingBuffers(PFILE_OBJECT FileObject)
{
    PAGED_CODE();
    ClientLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || pClient != m_pAsioOwner)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_bAsioStreamsStarted)
    {
        StopClientStreams();
    }
    m_bAsioStreamsSuspended = 0;
    PKEVENT pEvent = TakePeriodEvent();
    if (pEvent)
    {
        ObDereferenceObject(pEvent);
    }
    NTSTATUS status = DetachClientBuffers();
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    FreeRings();
    pClient->Running = 0;
    m_pAsioOwner = nullptr;
    m_nAsioBuffersInUse = 0;
    return STATUS_SUCCESS;
}

// ---- Attachment to the streams ----

NTSTATUS CUsbDevice::QueryCyclicControl(ULONG Index, ICyclicControl** Control)
{
    *Control = nullptr;
    IStreamEngine* pStream = nullptr;
    NTSTATUS status = GetStream(Index, &pStream);
    if (NT_SUCCESS(status) && !pStream)
    {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    if (NT_SUCCESS(status))
    {
        status = pStream->QueryInterface(IID_ICyclicControl, reinterpret_cast<PVOID*>(Control));
    }
    return status;
}

NTSTATUS CUsbDevice::BuildClientFormat(ULONG Index, PWAVEFORMATEXTENSIBLE Format)
{
    IStreamEngine* pStream = nullptr;
    NTSTATUS status = GetStream(Index, &pStream);
    if (!NT_SUCCESS(status) || !pStream)
    {
        return NT_SUCCESS(status) ? STATUS_INVALID_DEVICE_STATE : status;
    }
    WAVEFORMATEXTENSIBLE wanted;
    RtlZeroMemory(&wanted, sizeof(wanted));
    wanted.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    wanted.Format.nChannels = WORD(m_pAsioRings[Index].Channels);
    if (m_pAsioOwner->IoFormat == ASIO_IO_FORMAT_DSD)
    {
        wanted.Format.wBitsPerSample = 64;
        wanted.Samples.wValidBitsPerSample = 64;
        wanted.Format.nSamplesPerSec = m_pAsioOwner->SampleRate / DSD_SAMPLES_PER_GROUP;
        wanted.SubFormat = KSDATAFORMAT_SUBTYPE_DSD;
    }
    else
    {
        static const struct
        {
            ULONG Type;
            WORD Container;
            WORD Valid;
        } kLayouts[] = {{ASIO_SAMPLE_INT16, 16, 16},    {ASIO_SAMPLE_INT24, 24, 24},
                        {ASIO_SAMPLE_INT32, 32, 32},    {ASIO_SAMPLE_INT32_16, 32, 16},
                        {ASIO_SAMPLE_INT32_18, 32, 18}, {ASIO_SAMPLE_INT32_20, 32, 20},
                        {ASIO_SAMPLE_INT32_24, 32, 24}};
        BOOLEAN known = FALSE;
        for (const auto& layout : kLayouts)
        {
            if (layout.Type == m_nAsioSampleType)
            {
                wanted.Format.wBitsPerSample = layout.Container;
                wanted.Samples.wValidBitsPerSample = layout.Valid;
                known = TRUE;
            }
        }
        if (!known)
        {
            return STATUS_NOT_FOUND;
        }
        wanted.Format.nSamplesPerSec = m_pAsioOwner->SampleRate;
        wanted.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    }
    const ULONG count = pStream->GetFormatCount();
    for (ULONG f = 0; f < count; f++)
    {
        WAVEFORMATEXTENSIBLE format;
        RtlZeroMemory(&format, sizeof(format));
        if (!NT_SUCCESS(pStream->GetFormat(f, &format)) || format.Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE)
        {
            continue;
        }
        if (format.Format.nChannels == wanted.Format.nChannels &&
            format.Format.nSamplesPerSec == wanted.Format.nSamplesPerSec &&
            format.Format.wBitsPerSample == wanted.Format.wBitsPerSample &&
            format.Samples.wValidBitsPerSample == wanted.Samples.wValidBitsPerSample &&
            IsEqualGUIDAligned(format.SubFormat, wanted.SubFormat))
        {
            RtlCopyMemory(Format, &format, sizeof(format));
            m_nAsioBytesPerSample = format.Format.wBitsPerSample / 8;
            return STATUS_SUCCESS;
        }
    }
    DbgPrint("CUsbDevice: ASIO endpoint %u offers no format of %u channels, %u Hz, %u/%u bits\n", Index,
             wanted.Format.nChannels, wanted.Format.nSamplesPerSec, wanted.Format.wBitsPerSample,
             wanted.Samples.wValidBitsPerSample);
    return STATUS_NOT_FOUND;
}

NTSTATUS CUsbDevice::AttachClientBuffers()
{
    AsioTransferPlan plan;
    if (!PlanTransfers(&plan))
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        if (!m_pAsioEndpoints[index].Ring || !m_pAsioRings[index].Active)
        {
            continue;
        }
        WAVEFORMATEXTENSIBLE format;
        ICyclicControl* pControl = nullptr;
        status = BuildClientFormat(index, &format);
        if (NT_SUCCESS(status))
        {
            status = QueryCyclicControl(index, &pControl);
        }
        if (NT_SUCCESS(status))
        {
            StreamClient* pStreamClient = nullptr;
            status =
                pControl->RegisterClient(STREAM_CLIENT_PRIORITY_ASIO, &format, plan.MsPerTransfer,
                                         plan.TransfersInFlight, OnClientNotification, this, &pStreamClient);
            pControl->Release();
            KIRQL irql;
            KeAcquireSpinLock(&m_AsioRingLock, &irql);
            m_pAsioEndpoints[index].Client = NT_SUCCESS(status) ? pStreamClient : nullptr;
            KeReleaseSpinLock(&m_AsioRingLock, irql);
        }
        if (!NT_SUCCESS(status))
        {
            break;
        }
    }
    if (!NT_SUCCESS(status))
    {
        DetachClientBuffers();
    }
    return status;
}

NTSTATUS CUsbDevice::DetachClientBuffers()
{
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG index = 0; index < m_nAsioEndpointTableCount; index++)
    {
        StreamClient* pStreamClient = m_pAsioEndpoints[index].Client;
        if (!pStreamClient)
        {
            continue;
        }
        ICyclicControl* pControl = nullptr;
        status = QueryCyclicControl(index, &pControl);
        if (NT_SUCCESS(status))
        {
            // The registration is cleared first: the stream frees the record as it unregisters.
            KIRQL irql;
            KeAcquireSpinLock(&m_AsioRingLock, &irql);
            m_pAsioEndpoints[index].Client = nullptr;
            KeReleaseSpinLock(&m_AsioRingLock, irql);
            status = pControl->UnregisterClient(pStreamClient->Registration);
            pControl->Release();
        }
        if (!NT_SUCCESS(status))
        {
            KIRQL irql;
            KeAcquireSpinLock(&m_AsioRingLock, &irql);
            m_pAsioEndpoints[index].Client = pStreamClient;
            KeReleaseSpinLock(&m_AsioRingLock, irql);
            return status;
        }
    }
    return status;
}

// ---- Start and stop ----

VOID CUsbDevice::SendAsioVendorRequest(USHORT Value)
{
    if (!UsbDeviceSendsAsioVendorRequest(m_nVendorId, m_nProductId))
    {
        return;
    }
    const ULONG urbBytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbBytes, USB_DEVICE_POOL_TAG));
    if (!pUrb)
    {
        return;
    }
    RtlZeroMemory(pUrb, urbBytes);
    UsbBuildVendorRequest(pUrb, URB_FUNCTION_VENDOR_DEVICE, USHORT(urbBytes), 0, 0, ASIO_VENDOR_REQUEST,
                          Value, 0, nullptr, nullptr, 0, nullptr);
    // The device streams whether or not it heard: the answer changes nothing.
    SubmitUrbSync(pUrb);
    ExFreePoolWithTag(pUrb, USB_DEVICE_POOL_TAG);
}

// Stops and closes every attached stream client; what was never opened or started refuses
// quietly.
VOID CUsbDevice::CloseClientStreams()
{
    for (ULONG index = 0; index < m_nAsioEndpointTableCount; index++)
    {
        StreamClient* pStreamClient = m_pAsioEndpoints[index].Client;
        ICyclicControl* pControl = nullptr;
        if (pStreamClient && NT_SUCCESS(QueryCyclicControl(index, &pControl)))
        {
            pControl->StopClient(pStreamClient->Registration, nullptr);
            pControl->CloseClient(pStreamClient->Registration);
            pControl->Release();
        }
    }
}

// A failed start is undone completely and reported: the companion must not wait for periods
// that will never come.
NTSTATUS CUsbDevice::StartClientStreams()
{
    if (m_nAsioEndpointCount == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG frame = 0;
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        StreamClient* pStreamClient = m_pAsioEndpoints[index].Client;
        if (!pStreamClient || !m_pAsioRings[index].Active)
        {
            continue;
        }
        WAVEFORMATEXTENSIBLE format;
        ICyclicControl* pControl = nullptr;
        status = BuildClientFormat(index, &format);
        if (NT_SUCCESS(status))
        {
            status = QueryCyclicControl(index, &pControl);
        }
        if (NT_SUCCESS(status))
        {
            ULONG ms = 0;
            status = pControl->OpenClient(pStreamClient->Registration, &ms, &frame);
            pControl->Release();
        }
        if (!NT_SUCCESS(status))
        {
            CloseClientStreams();
            return status;
        }
    }
    const ULONG startFrame = frame + ASIO_START_DELAY_FRAMES;
    // Capture first, so the period clock runs before the first render transfer needs data.
    for (ULONG pass = 0; pass < 2 && NT_SUCCESS(status); pass++)
    {
        const ULONG direction = pass == 0 ? 1 : 0;
        for (ULONG index = 0; index < m_nAsioEndpointCount && NT_SUCCESS(status); index++)
        {
            StreamClient* pStreamClient = m_pAsioEndpoints[index].Client;
            ICyclicControl* pControl = nullptr;
            if (!pStreamClient || !m_pAsioRings[index].Active || m_pAsioRings[index].IsInput != direction)
            {
                continue;
            }
            status = QueryCyclicControl(index, &pControl);
            if (NT_SUCCESS(status))
            {
                ULONG ms = 0;
                status = pControl->StartClient(pStreamClient->Registration, startFrame, &ms, nullptr);
                pControl->Release();
            }
        }
    }
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CUsbDevice: an ASIO stream did not start (0x%08X); every ASIO stream is closed again\n",
                 ULONG(status));
        CloseClientStreams();
        return status;
    }
    m_bAsioStreamsStarted = 1;
    SendAsioVendorRequest(1);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbDevice::StopClientStreams()
{
    if (m_nAsioEndpointCount == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        StreamClient* pStreamClient = m_pAsioEndpoints[index].Client;
        if (!pStreamClient || !m_pAsioRings[index].Active)
        {
            continue;
        }
        ICyclicControl* pControl = nullptr;
        status = QueryCyclicControl(index, &pControl);
        if (!NT_SUCCESS(status))
        {
            break;
        }
        pControl->StopClient(pStreamClient->Registration, nullptr);
        status = pControl->CloseClient(pStreamClient->Registration);
        pControl->Release();
    }
    m_bAsioStreamsStarted = 0;
    SendAsioVendorRequest(0);
    return status;
}

// Positions start again and the period event is installed before a stream runs, so the first
// notification already finds the ring as the companion will see it.
VOID CUsbDevice::ResetClientRings(PKEVENT PeriodEvent)
{
    AsioTransferPlan plan;
    const BOOLEAN planned = m_pAsioOwner && PlanTransfers(&plan);
    const BOOLEAN dsd = m_pAsioOwner && m_pAsioOwner->IoFormat == ASIO_IO_FORMAT_DSD;
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioRingLock, &irql);
    ULONG bytes;
    if (dsd)
    {
        m_nAsioBytesPerSample = 8;
    }
    else if (AsioBytesPerSample(m_nAsioSampleType, &bytes))
    {
        m_nAsioBytesPerSample = bytes;
    }
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        if (!m_pAsioEndpoints[index].Ring)
        {
            continue;
        }
        AsioRingState& state = m_pAsioRings[index];
        state.PeriodCount = 0;
        state.DriverPosition = 0;
        state.InitialPosition = 0;
        state.LeadBytes = 0;
        if (!state.IsInput && planned)
        {
            const ULONGLONG perTransfer =
                ULONGLONG(m_nAsioBytesPerSample) * state.Channels * plan.MsPerTransfer * plan.FramesPerMs;
            const ULONGLONG lead = ULONGLONG(plan.Groups - 1 < 2 ? 2 : plan.Groups - 1) * perTransfer;
            // A ring always holds its lead (map refuses one that cannot), so both fit here.
            if (lead + perTransfer <= state.RingBytes)
            {
                if (plan.Groups - 1 < 2)
                {
                    state.DriverPosition = ULONG(state.RingBytes - perTransfer);
                    state.InitialPosition = state.DriverPosition;
                }
                state.LeadBytes = ULONG(lead);
            }
        }
        PublishRing(index);
    }
    if (m_pAsioOwner)
    {
        m_pAsioOwner->PeriodEvent = PeriodEvent;
    }
    KeReleaseSpinLock(&m_AsioRingLock, irql);
}

PKEVENT CUsbDevice::TakePeriodEvent()
{
    if (!m_pAsioOwner)
    {
        return nullptr;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioRingLock, &irql);
    PKEVENT pEvent = static_cast<PKEVENT>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_pAsioOwner->PeriodEvent), nullptr));
    KeReleaseSpinLock(&m_AsioRingLock, irql);
    return pEvent;
}

VOID CUsbDevice::SilenceRings(ULONG IoFormat)
{
    for (ULONG index = 0; index < m_nAsioEndpointCount; index++)
    {
        if (m_pAsioEndpoints[index].Ring && m_pAsioRings[index].Active)
        {
            RtlFillMemory(static_cast<PUCHAR>(m_pAsioEndpoints[index].Ring) + ASIO_RING_HEADER_BYTES,
                          m_pAsioRings[index].RingBytes,
                          IoFormat == ASIO_IO_FORMAT_DSD ? DSD_SILENCE_FILL : 0);
        }
    }
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::StartAsio(PFILE_OBJECT FileObject, PHANDLE PeriodEvent)
{
    PAGED_CODE();
    ClientLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !PeriodEvent || pClient != m_pAsioOwner || !pClient->Running || pClient->PeriodEvent ||
        m_bAsioStreamsStarted)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID event = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(*PeriodEvent, EVENT_MODIFY_STATE, ExEventObjectType, UserMode,
                                                &event, nullptr);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ResetClientRings(static_cast<PKEVENT>(event));
    status = StartClientStreams();
    if (!NT_SUCCESS(status))
    {
        PKEVENT pEvent = TakePeriodEvent();
        if (pEvent)
        {
            ObDereferenceObject(pEvent);
        }
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::StopAsio(PFILE_OBJECT FileObject, PIRP Irp)
{
    PAGED_CODE();
    ClientLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (CurrentPowerState() != PowerDeviceD0)
    {
        return Irp ? ParkStopIrp(Irp) : STATUS_INVALID_PARAMETER;
    }
    if (pClient != m_pAsioOwner || !pClient->PeriodEvent)
    {
        return STATUS_INVALID_PARAMETER;
    }
    // The streams go first: no completion may signal an event that is on its way out.
    if (m_bAsioStreamsSuspended)
    {
        m_bAsioStreamsSuspended = 0;
    }
    else
    {
        StopClientStreams();
    }
    PKEVENT pEvent = TakePeriodEvent();
    if (pEvent)
    {
        KeClearEvent(pEvent);
        ObDereferenceObject(pEvent);
    }
    SilenceRings(pClient->IoFormat);
    return STATUS_SUCCESS;
}

// ---- The parked stop request ----

NTSTATUS CUsbDevice::ParkStopIrp(PIRP Irp)
{
    if (m_pAsioParkedStopIrp)
    {
        return STATUS_INVALID_PARAMETER;
    }
    Irp->Tail.Overlay.DriverContext[0] = this;
    IoMarkIrpPending(Irp);
    m_pAsioParkedStopIrp = Irp;
    IoSetCancelRoutine(Irp, CancelParkedStop);
    // Cancelled before the routine was in place: whoever takes the IRP back completes it.
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr))
    {
        if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&m_pAsioParkedStopIrp),
                                              nullptr, Irp) == Irp)
        {
            Irp->IoStatus.Information = 0;
            Irp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
        }
    }
    return STATUS_PENDING;
}

// The cancelled request is completed only by whoever takes it out of the parking place.
VOID CUsbDevice::CancelParkedStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CUsbDevice* pDevice = static_cast<CUsbDevice*>(Irp->Tail.Overlay.DriverContext[0]);
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&pDevice->m_pAsioParkedStopIrp),
                                          nullptr, Irp) == Irp)
    {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
}

// Null when there is none or its cancellation got it first.
PIRP CUsbDevice::TakeParkedStopIrp()
{
    PIRP pIrp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_pAsioParkedStopIrp), nullptr));
    if (pIrp)
    {
        // A cancel routine already running finds the place empty and leaves the IRP to us.
        IoSetCancelRoutine(pIrp, nullptr);
    }
    return pIrp;
}

VOID CUsbDevice::RunParkedStop()
{
    PIRP pIrp = TakeParkedStopIrp();
    if (!pIrp)
    {
        return;
    }
    NTSTATUS status = StopAsio(IoGetCurrentIrpStackLocation(pIrp)->FileObject, nullptr);
    pIrp->IoStatus.Information = 0;
    PcCompleteIrp(m_pFunctionalDeviceObject, pIrp, status);
}

// ---- Power and removal ----

VOID CUsbDevice::AsioPowerDown()
{
    if (!m_bAsioStreamsStarted)
    {
        return;
    }
    StopClientStreams();
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioRingLock, &irql);
    if (m_pAsioOwner && m_pAsioOwner->PeriodEvent)
    {
        KeClearEvent(m_pAsioOwner->PeriodEvent);
    }
    KeReleaseSpinLock(&m_AsioRingLock, irql);
    m_bAsioStreamsSuspended = 1;
}

VOID CUsbDevice::AsioPowerUp()
{
    if (!m_bAsioStreamsSuspended || !m_pAsioOwner)
    {
        return;
    }
    ResetClientRings(m_pAsioOwner->PeriodEvent);
    if (NT_SUCCESS(StartClientStreams()))
    {
        m_bAsioStreamsSuspended = 0;
    }
}

// A device on its way out stops its ASIO streams and lets go of the streams themselves; the
// rings stay mapped until the owner's handle is cleaned up in its own process.
VOID CUsbDevice::StopAsioForRemoval()
{
    {
        ClientLockHold hold(&m_ClientLock);
        if (m_bAsioStreamsStarted)
        {
            StopClientStreams();
        }
        m_bAsioStreamsSuspended = 0;
        DetachClientBuffers();
    }
    PIRP pIrp = TakeParkedStopIrp();
    if (pIrp)
    {
        pIrp->IoStatus.Information = 0;
        pIrp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    }
}

// ---- The data path ----

VOID CUsbDevice::OnClientNotification(PVOID CallbackContext, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Argument2);
    if (CallbackContext && Argument1)
    {
        static_cast<CUsbDevice*>(CallbackContext)
            ->HandleClientNotification(static_cast<const StreamNotification*>(Argument1));
    }
}

// The registration is looked up under the ring lock, which detaching takes to clear it, and
// every copy and count happens under that same hold.
VOID CUsbDevice::HandleClientNotification(const StreamNotification* Notification)
{
    if (!Notification->Client || !Notification->Client->Active)
    {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioRingLock, &irql);
    for (ULONG index = 0; index < m_nAsioEndpointTableCount; index++)
    {
        if (m_pAsioEndpoints[index].Client != Notification->Client || !m_pAsioEndpoints[index].Ring)
        {
            continue;
        }
        switch (Notification->Code)
        {
        case StreamNotifyTransferDone:
            SignalPeriod(index);
            break;
        case StreamNotifyRenderData:
            CopyRing(index, Notification->Data.Buffer, Notification->Data.Length, FALSE);
            break;
        case StreamNotifyCaptureData:
            CopyRing(index, Notification->Data.Buffer, Notification->Data.Length, TRUE);
            break;
        default:
            break;
        }
        break;
    }
    KeReleaseSpinLock(&m_AsioRingLock, irql);
}

// At most two block moves; a request of a whole ring or more moves nothing.
VOID CUsbDevice::CopyRing(ULONG Index, PVOID Buffer, ULONGLONG Length, BOOLEAN IntoRing)
{
    AsioRingState& state = m_pAsioRings[Index];
    if (!Buffer || Length >= state.RingBytes || state.DriverPosition >= state.RingBytes)
    {
        return;
    }
    PUCHAR pSamples = static_cast<PUCHAR>(m_pAsioEndpoints[Index].Ring) + ASIO_RING_HEADER_BYTES;
    const ULONG length = ULONG(Length);
    const ULONG room = state.RingBytes - state.DriverPosition;
    const ULONG first = room < length ? room : length;
    PUCHAR pBuffer = static_cast<PUCHAR>(Buffer);
    if (IntoRing)
    {
        RtlCopyMemory(pSamples + state.DriverPosition, pBuffer, first);
        RtlCopyMemory(pSamples, pBuffer + first, length - first);
    }
    else
    {
        RtlCopyMemory(pBuffer, pSamples + state.DriverPosition, first);
        RtlCopyMemory(pBuffer + first, pSamples, length - first);
    }
    state.DriverPosition = ULONG((ULONGLONG(state.DriverPosition) + length) % state.RingBytes);
    static_cast<AsioSharedBufferHeader*>(m_pAsioEndpoints[Index].Ring)->DriverPosition = state.DriverPosition;
}

VOID CUsbDevice::SignalPeriod(ULONG Index)
{
    AsioRingState& state = m_pAsioRings[Index];
    state.PeriodCount++;
    static_cast<AsioSharedBufferHeader*>(m_pAsioEndpoints[Index].Ring)->PeriodCount = state.PeriodCount;
    if (state.Master && m_pAsioOwner && m_pAsioOwner->PeriodEvent)
    {
        KeSetEvent(m_pAsioOwner->PeriodEvent, IO_SOUND_INCREMENT, FALSE);
    }
}

// Normally the owner's handle cleanup has unmapped long before the device goes; a device torn
// down with rings still out lets go of them here rather than leak them.
VOID CUsbDevice::FreeAsioRingsAtTeardown()
{
    if (!m_pAsioEndpoints || !m_pAsioRings)
    {
        return;
    }
    DetachClientBuffers();
    FreeRings();
    if (m_pAsioOwner)
    {
        m_pAsioOwner->Running = 0;
    }
}
