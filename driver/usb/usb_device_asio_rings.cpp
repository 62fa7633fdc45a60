// CUsbDevice: the ASIO companion's shared rings. Each ring is whole pages of non-paged pool
// mapped into the companion's process and attached to its endpoint's USB stream as a client of
// priority 5 (usb_device_asio_streams.cpp runs them). What the driver knows of a ring lives in
// its own state; the header the companion sees is only ever written.
#include "driver/usb/usb_device.h"

#include "driver/core/mutex_lock_hold.h"
#include "driver/core/stream_engine_if.h"
#include "driver/wave/cyclic_control.h"

namespace
{

constexpr ULONG ASIO_RING_HEADER_BYTES = sizeof(AsioSharedBufferHeader);
// Rings larger than this are refused: 40 ms of anything the streams carry is far below it.
constexpr ULONGLONG ASIO_MAX_RING_BYTES = 16 * 1024 * 1024;
constexpr UCHAR DSD_IDLE_FILL = 0x69;
constexpr ULONG DSD_SAMPLES_PER_GROUP = 64;

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

// A view exists only in the address space of the process that mapped it, and the request
// that ends it may come from another: a shared handle's other process, or the system process
// that sends the close. The views are taken down there, attached to that process for the while.
VOID CUsbDevice::UnmapRingViews()
{
    PEPROCESS process = m_pAsioRingProcess;
    if (!process)
    {
        return;
    }
    KAPC_STATE apcState;
    const BOOLEAN attach = process != IoGetCurrentProcess();
    if (attach)
    {
        KeStackAttachProcess(process, &apcState);
    }
    for (ULONG index = 0; index < m_nAsioEndpointTableCount; index++)
    {
        AsioEndpointEntry& entry = m_pAsioEndpoints[index];
        if (entry.UserAddress)
        {
            MmUnmapLockedPages(entry.UserAddress, entry.Mdl);
            entry.UserAddress = nullptr;
        }
    }
    if (attach)
    {
        KeUnstackDetachProcess(&apcState);
    }
    m_pAsioRingProcess = nullptr;
    ObDereferenceObject(process);
}

// Rings or registrations left from an owner whose rings could not all be let go: no new map
// may write over them.
BOOLEAN CUsbDevice::RingsOutstanding()
{
    for (ULONG index = 0; index < m_nAsioEndpointTableCount; index++)
    {
        if (m_pAsioEndpoints[index].Ring || m_pAsioEndpoints[index].Client)
        {
            return TRUE;
        }
    }
    return FALSE;
}

// Unmaps and frees every ring; only ever after the rings' registrations are gone. No block is
// freed while a view still shows it.
VOID CUsbDevice::FreeRings()
{
    UnmapRingViews();
    for (ULONG index = 0; index < m_nAsioEndpointTableCount; index++)
    {
        AsioEndpointEntry& entry = m_pAsioEndpoints[index];
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

// One ring per ASIO endpoint, sized from the sample type the owner streams. A ring is whole
// zeroed pages, so the companion's view of it shows nothing of the memory around it.
NTSTATUS CUsbDevice::MapRings(AsioClient* Client)
{
    ULONG bytesPerSample = 8;
    if (Client->IoFormat != ASIO_IO_FORMAT_DSD && !AsioBytesPerSample(m_nAsioRingSampleType, &bytesPerSample))
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG firstChannel[2] = {0, 0};
    ULONG endpoints = 0;
    const ULONG count = GetStreamCount();
    m_nAsioEndpointCount = count < m_nAsioEndpointTableCount ? count : m_nAsioEndpointTableCount;
    NTSTATUS status;
    IStreamEngine* pStream;
    for (ULONG index = 0; NextAsioStream(&index, m_nAsioEndpointCount, &pStream, &status); index++)
    {
        const ULONG channels = AsioEndpointChannels(pStream, Client->IoFormat);
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
    if (!NT_SUCCESS(status))
    {
        return status;
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
        !AsioBytesPerSample(m_nAsioRingSampleType, &bytesPerSample))
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
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!Request || !OutputLength || !pClient || RequestLength < sizeof(AsioBufferRequest) ||
        ULONGLONG(Request->Count) >
            (ULONGLONG(RequestLength) - sizeof(AsioBufferRequest)) / sizeof(AsioBufferRequestEntry))
    {
        return STATUS_INVALID_PARAMETER;
    }
    // Rings a former owner could not let go of are let go of now, when their streams allow.
    if (!m_pAsioOwner && m_pAsioEndpoints && RingsOutstanding() && NT_SUCCESS(DetachClientBuffers()))
    {
        FreeRings();
    }
    // A second map while the rings are out would lose the first ones.
    if ((m_pAsioOwner && m_pAsioOwner != pClient) || pClient->Running || !m_pAsioEndpoints ||
        RingsOutstanding())
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_pAsioOwner = pClient;
    m_nAsioBuffersInUse = 1;
    // The views go into the caller's process; whichever request ends them unmaps them there.
    m_pAsioRingProcess = IoGetCurrentProcess();
    ObReferenceObject(m_pAsioRingProcess);
    // The rings carry the owner's own sample type: the device's active one follows only once
    // every client has gone, so a companion that chose the one type the device offers would
    // be given rings of a type no endpoint streams. It is fixed for the rings' life: the owner
    // may store another meanwhile, and a start after a power-up must open the very format the
    // rings were sized and registered for.
    m_nAsioRingSampleType = pClient->SampleType;
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
    CMutexLockHold hold(&m_ClientLock);
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
        // A stream still holds a registration, so the blocks must stay until a later unmap (at
        // the latest the handle's close) detaches it; the companion's views go now.
        DbgPrint("CUsbDevice: an ASIO ring stays registered (0x%08X); its block is kept until the "
                 "registration goes\n",
                 ULONG(status));
        UnmapRingViews();
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
            if (layout.Type == m_nAsioRingSampleType)
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
