// CUsbDevice: the private ASIO interface's client records, queries and settings. Every value
// here arrives from a user-mode process, so each one is checked before anything divides by it,
// indexes a table with it or sizes memory from it.
#include "driver/usb/usb_device.h"

#include "driver/core/mutex_lock_hold.h"
#include "driver/core/settings_store.h"
#include "driver/core/stream_engine_if.h"

namespace
{

// Buffer lengths the companion may choose, by latency index.
const ULONG kAsioLatencyMs[ASIO_LATENCY_COUNT] = {4, 6, 8, 10, 20, 30, 40, 50};

// Sample-type codes in the order the list reports them, with the bit each has in a mask.
const ULONG kAsioListOrder[ASIO_MAX_SAMPLE_TYPES] = {
    ASIO_SAMPLE_INT16, ASIO_SAMPLE_INT24, ASIO_SAMPLE_INT32_16, ASIO_SAMPLE_INT32_24, ASIO_SAMPLE_INT32};
constexpr ULONG ALL_LISTED_TYPES = (1u << ASIO_MAX_SAMPLE_TYPES) - 1;

const CHAR kDefaultProductName[] = "Quillax USB ASIO Device";

constexpr ULONG DSD_RATE_FAMILY_441 = 44100;
constexpr ULONG DSD_RATE_FAMILY_48 = 48000;

// Whether a stream format carries PCM or one-bit samples; anything else takes no part.
ULONG IoFormatOf(const WAVEFORMATEXTENSIBLE& Format, BOOLEAN* Known)
{
    *Known = TRUE;
    if (Format.Format.wFormatTag == WAVE_FORMAT_PCM)
    {
        return ASIO_IO_FORMAT_PCM;
    }
    if (Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
    {
        if (IsEqualGUIDAligned(Format.SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
        {
            return ASIO_IO_FORMAT_PCM;
        }
        if (IsEqualGUIDAligned(Format.SubFormat, KSDATAFORMAT_SUBTYPE_DSD))
        {
            return ASIO_IO_FORMAT_DSD;
        }
    }
    *Known = FALSE;
    return ASIO_IO_FORMAT_PCM;
}

// The sample-type bit of a PCM format (bit i stands for kAsioListOrder[i]); 0 for a container
// depth no sample type describes.
ULONG SampleTypeBitOf(const WAVEFORMATEXTENSIBLE& Format)
{
    const WORD bits = Format.Format.wBitsPerSample;
    const WORD valid =
        Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? Format.Samples.wValidBitsPerSample : bits;
    switch (bits)
    {
    case 16:
        return 1u << 0;
    case 24:
        return 1u << 1;
    case 32:
        return valid == 16 ? 1u << 2 : valid == 24 ? 1u << 3 : 1u << 4;
    default:
        return 0;
    }
}

BOOLEAN RateFitsIoFormat(ULONG IoFormat, ULONG Rate)
{
    if (IoFormat == ASIO_IO_FORMAT_PCM)
    {
        return Rate >= ASIO_MIN_SAMPLE_RATE && Rate < ASIO_DSD_MIN_SAMPLE_RATE;
    }
    return IoFormat == ASIO_IO_FORMAT_DSD && Rate >= ASIO_DSD_MIN_SAMPLE_RATE;
}

// Whether a format of the stream carries the rate: PCM by its own rate; one-bit formats by the
// rate their container packs (16-bit containers hold 16 samples, wider ones are spread over
// the channel pairs).
BOOLEAN FormatCarriesRate(const WAVEFORMATEXTENSIBLE& Format, ULONG IoFormat, ULONG Rate)
{
    if (IoFormat == ASIO_IO_FORMAT_PCM)
    {
        return Format.Format.nSamplesPerSec == Rate;
    }
    const ULONG bits = Format.Format.wBitsPerSample;
    const ULONG pairs = Format.Format.nChannels / 2;
    if (bits == 0 || (bits != 16 && pairs == 0))
    {
        return FALSE;
    }
    const ULONG packed = bits == 16 ? Rate / 16 : Rate / bits / pairs;
    return packed == Format.Format.nSamplesPerSec;
}

// A name of Needed bytes with its terminator into the caller's room: an empty room asks for the
// size, and a room that cannot hold the whole name is refused rather than handed a cut one.
NTSTATUS CopyName(const CHAR* Name, ULONG Needed, PCHAR Buffer, PULONG Length)
{
    if (*Length == 0)
    {
        *Length = Needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*Length < Needed || !Buffer)
    {
        *Length = Needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Buffer, Name, Needed - 1);
    Buffer[Needed - 1] = 0;
    *Length = Needed;
    return STATUS_SUCCESS;
}

} // namespace

ULONG AsioLatencyMilliseconds(ULONG LatencyIndex)
{
    // Every stored and requested index is checked on the way in; this keeps a table read in
    // bounds whatever the caller holds.
    return kAsioLatencyMs[LatencyIndex < ASIO_LATENCY_COUNT ? LatencyIndex : ASIO_LATENCY_COUNT - 1];
}

ULONG AsioEndpointChannels(IStreamEngine* Stream, ULONG IoFormat)
{
    ULONG channels = 0;
    const ULONG count = Stream->GetFormatCount();
    for (ULONG index = 0; index < count; index++)
    {
        WAVEFORMATEXTENSIBLE format;
        RtlZeroMemory(&format, sizeof(format));
        BOOLEAN known = FALSE;
        if (NT_SUCCESS(Stream->GetFormat(index, &format)) && IoFormatOf(format, &known) == IoFormat &&
            known && format.Format.nChannels > channels)
        {
            channels = format.Format.nChannels;
        }
    }
    return channels;
}

BOOLEAN AsioBytesPerSample(ULONG SampleType, PULONG Bytes)
{
    switch (SampleType)
    {
    case ASIO_SAMPLE_INT16:
        *Bytes = 2;
        return TRUE;
    case ASIO_SAMPLE_INT24:
        *Bytes = 3;
        return TRUE;
    case ASIO_SAMPLE_INT32:
    case ASIO_SAMPLE_INT32_16:
    case ASIO_SAMPLE_INT32_18:
    case ASIO_SAMPLE_INT32_20:
    case ASIO_SAMPLE_INT32_24:
        *Bytes = 4;
        return TRUE;
    default:
        return FALSE;
    }
}

// ---- Clients ----

AsioClient* CUsbDevice::FindAsioClient(PFILE_OBJECT FileObject)
{
    for (PLIST_ENTRY entry = m_AsioClients.Flink; entry != &m_AsioClients; entry = entry->Flink)
    {
        AsioClient* pClient = CONTAINING_RECORD(entry, AsioClient, Link);
        if (pClient->FileObject == FileObject)
        {
            return pClient;
        }
    }
    return nullptr;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::OpenAsioClient(PFILE_OBJECT FileObject)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = static_cast<AsioClient*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(AsioClient), USB_DEVICE_POOL_TAG));
    if (!pClient)
    {
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(pClient, sizeof(*pClient));
    pClient->FileObject = FileObject;
    pClient->SampleType = m_nAsioSampleType;
    pClient->LatencyIndex = m_nAsioLatencyIndex;
    pClient->SampleRate = m_nAsioSampleRate;
    pClient->IoFormat = ASIO_IO_FORMAT_PCM;
    InsertHeadList(&m_AsioClients, &pClient->Link);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::Spare(PFILE_OBJECT FileObject)
{
    UNREFERENCED_PARAMETER(FileObject);
    return STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::CloseAsioClient(PFILE_OBJECT FileObject)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient)
    {
        return STATUS_UNSUCCESSFUL;
    }
    // The owner's handle cleanup has normally unmapped already, in the owner's own process.
    if (pClient->Running)
    {
        UnmapStreamingBuffers(FileObject);
    }
    if (pClient == m_pAsioOwner)
    {
        m_pAsioOwner = nullptr;
        m_nAsioBuffersInUse = 0;
    }
    if (m_nAsioBuffersInUse == 0)
    {
        AccessSetting(m_pFunctionalDeviceObject, SETTINGS_OPERATION_WRITE, &m_nAsioRequestedSampleType,
                      sizeof(ULONG), u"ASIOMLDataBitDepth");
        m_nAsioSampleType = m_nAsioRequestedSampleType;
    }
    if (pClient->PeriodEvent)
    {
        ObDereferenceObject(pClient->PeriodEvent);
    }
    if (pClient->NotifyEvent)
    {
        ObDereferenceObject(pClient->NotifyEvent);
    }
    RemoveEntryList(&pClient->Link);
    ExFreePoolWithTag(pClient, USB_DEVICE_POOL_TAG);
    return STATUS_SUCCESS;
}

// Notify events are set with the client lock held, so the companion's re-reads see the change.
VOID CUsbDevice::SetNotifyEvents()
{
    for (PLIST_ENTRY entry = m_AsioClients.Flink; entry != &m_AsioClients; entry = entry->Flink)
    {
        AsioClient* pClient = CONTAINING_RECORD(entry, AsioClient, Link);
        if (pClient->NotifyEvent)
        {
            KeSetEvent(pClient->NotifyEvent, IO_SOUND_INCREMENT, FALSE);
        }
    }
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::SetClientEvent(PFILE_OBJECT FileObject, PHANDLE Event)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !Event || pClient->NotifyEvent)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID event = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(*Event, EVENT_MODIFY_STATE, ExEventObjectType, UserMode, &event, nullptr);
    if (NT_SUCCESS(status))
    {
        pClient->NotifyEvent = static_cast<PKEVENT>(event);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::ClearClientEvent(PFILE_OBJECT FileObject)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !pClient->NotifyEvent)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PKEVENT pEvent = static_cast<PKEVENT>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&pClient->NotifyEvent), nullptr));
    ObDereferenceObject(pEvent);
    return STATUS_SUCCESS;
}

// ---- Endpoints ----

// Endpoints the interface does not serve are stepped over.
BOOLEAN CUsbDevice::NextAsioStream(PULONG Index, ULONG Count, IStreamEngine** Stream, PNTSTATUS Status)
{
    *Status = STATUS_SUCCESS;
    for (; *Index < Count; ++*Index)
    {
        EndpointCaps caps;
        RtlZeroMemory(&caps, sizeof(caps));
        if (!NT_SUCCESS(GetEndpointCaps(*Index, &caps)) || !(caps.Flags & ENDPOINT_CAPS_FLAG_ASIO))
        {
            continue;
        }
        *Stream = nullptr;
        *Status = GetStream(*Index, Stream);
        if (NT_SUCCESS(*Status) && !*Stream)
        {
            *Status = STATUS_INVALID_DEVICE_STATE;
        }
        return NT_SUCCESS(*Status);
    }
    return FALSE;
}

// Every ASIO endpoint must offer the io format (and, when asked, the rate in it).
NTSTATUS CUsbDevice::CheckIoFormatOnEndpoints(ULONG IoFormat, ULONG SampleRate, BOOLEAN TestRate)
{
    ULONG endpoints = 0;
    const ULONG count = GetStreamCount();
    NTSTATUS status;
    IStreamEngine* pStream;
    for (ULONG index = 0; NextAsioStream(&index, count, &pStream, &status); index++)
    {
        endpoints++;
        BOOLEAN found = FALSE;
        const ULONG formats = pStream->GetFormatCount();
        for (ULONG f = 0; f < formats && !found; f++)
        {
            WAVEFORMATEXTENSIBLE format;
            RtlZeroMemory(&format, sizeof(format));
            BOOLEAN known = FALSE;
            found = NT_SUCCESS(pStream->GetFormat(f, &format)) && IoFormatOf(format, &known) == IoFormat &&
                    known && (!TestRate || FormatCarriesRate(format, IoFormat, SampleRate));
        }
        if (!found)
        {
            return STATUS_UNSUCCESSFUL;
        }
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return endpoints ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::CanIoFormat(PFILE_OBJECT FileObject, const ULONG* IoFormat)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    if (!FindAsioClient(FileObject) || !IoFormat)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return CheckIoFormatOnEndpoints(*IoFormat, 0, FALSE);
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::SetIoFormat(PFILE_OBJECT FileObject, const ULONG* IoFormat)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !IoFormat)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CheckIoFormatOnEndpoints(*IoFormat, 0, FALSE);
    if (NT_SUCCESS(status))
    {
        pClient->IoFormat = *IoFormat;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetIoFormat(PFILE_OBJECT FileObject, PULONG IoFormat)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !IoFormat)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *IoFormat = pClient->IoFormat;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::CanSampleRate(PFILE_OBJECT FileObject, const ULONG* SampleRate)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !SampleRate)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return CheckIoFormatOnEndpoints(pClient->IoFormat, *SampleRate, TRUE);
}

// A rate the rings and transfers could not be sized from (below 1 kHz, or of the other io
// format) never reaches the device's settings.
STDMETHODIMP_(NTSTATUS) CUsbDevice::SetSampleRate(PFILE_OBJECT FileObject, const ULONG* SampleRate)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !SampleRate || !RateFitsIoFormat(pClient->IoFormat, *SampleRate))
    {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG rate = *SampleRate;
    NTSTATUS status = CheckIoFormatOnEndpoints(pClient->IoFormat, rate, TRUE);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (!pClient->Running)
    {
        pClient->SampleRate = rate;
    }
    m_nAsioSampleRate = rate;
    AccessSetting(m_pFunctionalDeviceObject, SETTINGS_OPERATION_WRITE, &m_nAsioSampleRate, sizeof(ULONG),
                  u"ASIOMLSampleRate");
    if (pClient->Running)
    {
        SetNotifyEvents();
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetSampleRate(PFILE_OBJECT FileObject, PULONG SampleRate)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    if (!FindAsioClient(FileObject) || !SampleRate)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *SampleRate = m_nAsioSampleRate;
    return STATUS_SUCCESS;
}

// Only the codes the rings can be sized for are taken. The caller's rings carry its type from
// its next map on; the device's active type follows when no client holds buffers at a close.
STDMETHODIMP_(NTSTATUS) CUsbDevice::SetSampleType(PFILE_OBJECT FileObject, ULONG SampleType)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    ULONG bytes;
    if (!pClient || !AsioBytesPerSample(SampleType, &bytes))
    {
        return STATUS_INVALID_PARAMETER;
    }
    pClient->SampleType = SampleType;
    m_nAsioRequestedSampleType = SampleType;
    SetNotifyEvents();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::SetLatency(PFILE_OBJECT FileObject, ULONG LatencyIndex)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || LatencyIndex >= ASIO_LATENCY_COUNT)
    {
        return STATUS_INVALID_PARAMETER;
    }
    pClient->LatencyIndex = LatencyIndex;
    m_nAsioLatencyIndex = LatencyIndex;
    AccessSetting(m_pFunctionalDeviceObject, SETTINGS_OPERATION_WRITE, &m_nAsioLatencyIndex, sizeof(ULONG),
                  u"ASIOMLDataLatency");
    SetNotifyEvents();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetBuffersInUse(PFILE_OBJECT FileObject, PULONG InUse)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    if (!FindAsioClient(FileObject) || !InUse)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *InUse = m_nAsioBuffersInUse;
    return STATUS_SUCCESS;
}

// ---- Channels ----

STDMETHODIMP_(NTSTATUS)
CUsbDevice::GetChannelCounts(PFILE_OBJECT FileObject, AsioChannelCounts* Counts, ULONG OutputLength)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !Counts || OutputLength != sizeof(AsioChannelCounts))
    {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(Counts, sizeof(*Counts));
    const ULONG count = GetStreamCount();
    NTSTATUS status;
    IStreamEngine* pStream;
    for (ULONG index = 0; NextAsioStream(&index, count, &pStream, &status); index++)
    {
        const ULONG channels = AsioEndpointChannels(pStream, pClient->IoFormat);
        if (pStream->GetKind() == STREAM_DIRECTION_RENDER)
        {
            Counts->OutputChannels += channels;
        }
        else
        {
            Counts->InputChannels += channels;
        }
        Counts->EndpointCount++;
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Counts->EndpointCount ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS)
CUsbDevice::GetChannelInfo(PFILE_OBJECT FileObject, AsioChannelInfo* Info, ULONG OutputLength)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !Info || OutputLength != sizeof(AsioChannelInfo))
    {
        return STATUS_INVALID_PARAMETER;
    }
    PWCHAR pName = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, STREAM_NAME_BUFFER_CHARS * sizeof(WCHAR), USB_DEVICE_POOL_TAG));
    if (!pName)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG wanted = Info->ChannelIndex;
    const ULONG capture = Info->IsInput ? 1 : 0;
    Info->ChannelGroup = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG total = 0;
    const ULONG count = GetStreamCount();
    NTSTATUS walk;
    IStreamEngine* pStream;
    for (ULONG index = 0; NextAsioStream(&index, count, &pStream, &walk); index++)
    {
        if ((pStream->GetKind() != STREAM_DIRECTION_RENDER) != (capture != 0))
        {
            continue;
        }
        const ULONG channels = AsioEndpointChannels(pStream, pClient->IoFormat);
        if (wanted - total < channels) // wanted >= total holds here, so no wrap
        {
            RtlZeroMemory(pName, STREAM_NAME_BUFFER_CHARS * sizeof(WCHAR));
            pStream->GetName(pName);
            pName[STREAM_NAME_MAX_CHARS] = 0;
            Info->IsActive = m_nAsioBuffersInUse ? 1 : 0;
            // What the caller's rings carry, or would carry were it to map now.
            Info->SampleType = pClient->IoFormat == ASIO_IO_FORMAT_DSD ? ASIO_SAMPLE_DSD_INT8_MSB
                               : pClient->Running                      ? m_nAsioRingSampleType
                                                                       : pClient->SampleType;
            RtlZeroMemory(Info->Name, sizeof(Info->Name));
            // A name longer than the field is cut; the terminator always fits.
            RtlStringCbPrintfA(Info->Name, sizeof(Info->Name), "%ws_%02d ch", pName, int(wanted - total));
            status = STATUS_SUCCESS;
            break;
        }
        total += channels;
    }
    if (!NT_SUCCESS(walk))
    {
        status = walk;
    }
    ExFreePoolWithTag(pName, USB_DEVICE_POOL_TAG);
    return status;
}

// ---- Sample types and latencies ----

// The sample types every ASIO endpoint offers, as a mask over kAsioListOrder.
NTSTATUS CUsbDevice::CollectSampleTypes(ULONG* Mask, ULONG* EndpointCount)
{
    *Mask = ALL_LISTED_TYPES;
    *EndpointCount = 0;
    const ULONG count = GetStreamCount();
    NTSTATUS status;
    IStreamEngine* pStream;
    for (ULONG index = 0; NextAsioStream(&index, count, &pStream, &status); index++)
    {
        ULONG offered = 0;
        const ULONG formats = pStream->GetFormatCount();
        for (ULONG f = 0; f < formats; f++)
        {
            WAVEFORMATEXTENSIBLE format;
            RtlZeroMemory(&format, sizeof(format));
            BOOLEAN known = FALSE;
            if (NT_SUCCESS(pStream->GetFormat(f, &format)) &&
                IoFormatOf(format, &known) == ASIO_IO_FORMAT_PCM && known)
            {
                offered |= SampleTypeBitOf(format);
            }
        }
        *Mask &= offered;
        (*EndpointCount)++;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS)
CUsbDevice::GetSampleTypes(PFILE_OBJECT FileObject, AsioSampleTypeList* List, PULONG Length)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !Length || (!List && *Length != 0))
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG mask, endpoints;
    NTSTATUS status = CollectSampleTypes(&mask, &endpoints);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG types = 0;
    for (ULONG bit = 0; bit < ASIO_MAX_SAMPLE_TYPES; bit++)
    {
        types += (mask >> bit) & 1;
    }
    const ULONG needed = ULONG(offsetof(AsioSampleTypeList, Types)) + types * sizeof(ULONG);
    if (!List)
    {
        if (!endpoints)
        {
            return STATUS_INVALID_PARAMETER;
        }
        *Length = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*Length < needed)
    {
        *Length = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    List->RequestedType = m_nAsioRequestedSampleType;
    List->Count = types;
    ULONG out = 0;
    for (ULONG bit = 0; bit < ASIO_MAX_SAMPLE_TYPES; bit++)
    {
        if (mask & (1u << bit))
        {
            List->Types[out++] = kAsioListOrder[bit];
        }
    }
    pClient->SampleType = m_nAsioRequestedSampleType;
    *Length = needed;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CUsbDevice::GetLatencyTable(PFILE_OBJECT FileObject, AsioLatencyTable* Table, PULONG Length)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !Length || (!Table && *Length != 0))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Table)
    {
        *Length = sizeof(AsioLatencyTable);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*Length < sizeof(AsioLatencyTable))
    {
        *Length = sizeof(AsioLatencyTable);
        return STATUS_BUFFER_TOO_SMALL;
    }
    pClient->LatencyIndex = m_nAsioLatencyIndex;
    Table->CurrentIndex = m_nAsioLatencyIndex;
    Table->Count = ASIO_LATENCY_COUNT;
    RtlCopyMemory(Table->Milliseconds, kAsioLatencyMs, sizeof(kAsioLatencyMs));
    *Length = sizeof(AsioLatencyTable);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetBufferSize(PFILE_OBJECT FileObject, AsioBufferSize* Size)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !Size)
    {
        return STATUS_INVALID_PARAMETER;
    }
    pClient->LatencyIndex = m_nAsioLatencyIndex;
    const ULONG index = pClient->LatencyIndex;
    const ULONG rate = pClient->SampleRate;
    if (pClient->IoFormat != ASIO_IO_FORMAT_DSD)
    {
        const ULONG perMs = rate / 1000;
        Size->MinimumFrames = perMs * AsioLatencyMilliseconds(0);
        Size->MaximumFrames = perMs * AsioLatencyMilliseconds(ASIO_LATENCY_COUNT - 1);
        Size->PreferredFrames = perMs * AsioLatencyMilliseconds(index);
        Size->Granularity = 1;
        return STATUS_SUCCESS;
    }
    ULONG multiple, family;
    if (rate < ASIO_DSD_MIN_SAMPLE_RATE)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (rate % DSD_RATE_FAMILY_441 == 0)
    {
        multiple = rate / DSD_RATE_FAMILY_441;
        family = 44;
    }
    else if (rate % DSD_RATE_FAMILY_48 == 0)
    {
        multiple = rate / DSD_RATE_FAMILY_48;
        family = 48;
    }
    else
    {
        return STATUS_INVALID_PARAMETER;
    }
    Size->MinimumFrames = AsioLatencyMilliseconds(1) * multiple * family;
    Size->MaximumFrames = AsioLatencyMilliseconds(ASIO_LATENCY_COUNT - 1) * multiple * family;
    Size->PreferredFrames = AsioLatencyMilliseconds(index > 1 ? index : 1) * multiple * family;
    Size->Granularity = multiple;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetLatencies(PFILE_OBJECT FileObject, AsioLatencies* Latencies)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    AsioClient* pClient = FindAsioClient(FileObject);
    if (!pClient || !Latencies)
    {
        return STATUS_INVALID_PARAMETER;
    }
    pClient->LatencyIndex = m_nAsioLatencyIndex;
    const ULONG ms = AsioLatencyMilliseconds(pClient->LatencyIndex);
    const ULONG rate = pClient->SampleRate;
    if (pClient->IoFormat != ASIO_IO_FORMAT_DSD)
    {
        Latencies->InputFrames = ms * (rate / 1000);
        Latencies->OutputFrames = 2 * Latencies->InputFrames;
    }
    else if (rate < ASIO_DSD_MIN_SAMPLE_RATE)
    {
        Latencies->InputFrames = ms * 2816;
        Latencies->OutputFrames = ms * 5632;
    }
    else if (rate % DSD_RATE_FAMILY_441 == 0)
    {
        Latencies->InputFrames = ms * (rate / DSD_RATE_FAMILY_441) * 44;
        Latencies->OutputFrames = ms * (rate / DSD_RATE_FAMILY_441) * 88;
    }
    else
    {
        Latencies->InputFrames = ms * (rate / DSD_RATE_FAMILY_48) * 48;
        Latencies->OutputFrames = ms * (rate / DSD_RATE_FAMILY_48) * 96;
    }
    return STATUS_SUCCESS;
}

// ---- Product name ----

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetProductName(PFILE_OBJECT FileObject, PCHAR Buffer, PULONG Length)
{
    PAGED_CODE();
    CMutexLockHold hold(&m_ClientLock);
    if (!FindAsioClient(FileObject) || !Length)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_nProductIndex)
    {
        return CopyName(kDefaultProductName, sizeof(kDefaultProductName), Buffer, Length);
    }
    PWCHAR pText = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, USB_DEVICE_NAME_REQUEST_BYTES, USB_DEVICE_POOL_TAG));
    if (!pText)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG chars = 0;
    NTSTATUS status = ReadStringDescriptor(m_nProductIndex, pText, USB_DEVICE_NAME_REQUEST_BYTES,
                                           USB_DEVICE_POOL_TAG, &chars);
    CHAR ansiText[USB_DEVICE_NAME_REQUEST_BYTES / sizeof(WCHAR)];
    ULONG needed = 0;
    if (NT_SUCCESS(status))
    {
        while (chars > 0 && pText[chars - 1] == u' ')
        {
            chars--;
        }
        UNICODE_STRING unicode;
        unicode.Buffer = pText;
        unicode.Length = USHORT(chars * sizeof(WCHAR));
        unicode.MaximumLength = unicode.Length;
        ANSI_STRING ansi;
        ansi.Buffer = ansiText;
        ansi.Length = 0;
        ansi.MaximumLength = USHORT(sizeof(ansiText));
        status = RtlUnicodeStringToAnsiString(&ansi, &unicode, FALSE);
        needed = ULONG(ansi.Length) + 1;
    }
    ExFreePoolWithTag(pText, USB_DEVICE_POOL_TAG);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return CopyName(ansiText, needed, Buffer, Length);
}
