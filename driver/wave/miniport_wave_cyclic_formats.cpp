// CMiniportWaveCyclic: everything about formats. The data ranges built from the endpoint's
// offers, the wave format found inside a pin's data format, data-range intersection, and the
// two private properties.
#include "driver/wave/miniport_wave_cyclic.h"

namespace
{

constexpr ULONG WAVE_FORMAT_PLAIN_BYTES = sizeof(WAVEFORMATEX);
constexpr ULONG WAVE_FORMAT_EXTENSIBLE_BYTES = sizeof(WAVEFORMATEXTENSIBLE);
constexpr USHORT WAVE_FORMAT_EXTENSIBLE_CB = WAVE_FORMAT_EXTENSIBLE_BYTES - WAVE_FORMAT_PLAIN_BYTES;
constexpr ULONG WAVE_FORMAT_AT_HEADER = sizeof(KSDATAFORMAT);
constexpr ULONG WAVE_FORMAT_AT_DSOUND = offsetof(KSDATAFORMAT_DSOUND, BufferDesc.WaveFormatEx);

inline ULONG Min(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

inline ULONG Max(ULONG a, ULONG b)
{
    return a > b ? a : b;
}

// Where a data format of this size and flag word keeps its wave format; 0 for a size no caller
// of the wave filter sends.
ULONG WaveFormatOffset(ULONG FormatSize, BOOLEAN Attributes)
{
    struct Row
    {
        ULONG FormatSize;
        BOOLEAN Attributes;
        ULONG Offset;
    };
    // Size, attributes flag, offset of the wave format
    static const Row s_Rows[] = {
        {82, FALSE, WAVE_FORMAT_AT_HEADER}, {104, FALSE, WAVE_FORMAT_AT_HEADER},
        {90, FALSE, WAVE_FORMAT_AT_DSOUND}, {88, TRUE, WAVE_FORMAT_AT_HEADER},
        {104, TRUE, WAVE_FORMAT_AT_HEADER}, {96, TRUE, WAVE_FORMAT_AT_DSOUND},
    };
    for (const Row& row : s_Rows)
    {
        if (row.FormatSize == FormatSize && row.Attributes == Attributes)
        {
            return row.Offset;
        }
    }
    return 0;
}

VOID WidenRange(KSDATARANGE_AUDIO* Range, const WAVEFORMATEXTENSIBLE& Format)
{
    const ULONG rate = Format.Format.nSamplesPerSec;
    const ULONG bits = Format.Samples.wValidBitsPerSample;
    Range->MaximumSampleFrequency = Max(Range->MaximumSampleFrequency, rate);
    Range->MinimumSampleFrequency = Min(Range->MinimumSampleFrequency, rate);
    Range->MaximumBitsPerSample = Max(Range->MaximumBitsPerSample, bits);
    Range->MinimumBitsPerSample = Min(Range->MinimumBitsPerSample, bits);
    Range->MaximumChannels = Max(Range->MaximumChannels, ULONG(Format.Format.nChannels));
}

VOID NewRange(KSDATARANGE_AUDIO* Range, const WAVEFORMATEXTENSIBLE& Format)
{
    RtlZeroMemory(Range, sizeof(*Range));
    Range->DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    Range->DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    Range->DataRange.SubFormat = Format.SubFormat;
    Range->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    Range->MaximumChannels = Format.Format.nChannels;
    Range->MinimumSampleFrequency = Range->MaximumSampleFrequency = Format.Format.nSamplesPerSec;
    Range->MinimumBitsPerSample = Range->MaximumBitsPerSample = Format.Samples.wValidBitsPerSample;
}

} // namespace

// ---- Data ranges ----

NTSTATUS CMiniportWaveCyclic::CollectRanges(ULONG FormatCount, GUID* SubFormats, KSDATARANGE_AUDIO* Ranges,
                                            PULONG RangeCount)
{
    ULONG count = 0;
    for (ULONG i = 0; i < FormatCount; i++)
    {
        WAVEFORMATEXTENSIBLE format;
        RtlZeroMemory(&format, sizeof(format));
        NTSTATUS status = m_pStreamEngine->GetFormat(i, &format);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        // One-bit streams belong to the ASIO path alone.
        if (IsEqualGUIDAligned(format.SubFormat, KSDATAFORMAT_SUBTYPE_DSD))
        {
            continue;
        }
        ULONG k = 0;
        while (k < count && !IsEqualGUIDAligned(SubFormats[k], format.SubFormat))
        {
            k++;
        }
        if (k < count)
        {
            WidenRange(&Ranges[k], format);
        }
        else
        {
            SubFormats[count] = format.SubFormat;
            NewRange(&Ranges[count++], format);
        }
    }
    *RangeCount = count;
    return STATUS_SUCCESS;
}

// One range per sub-format, the PCM range first: an audio stack that looks only at the first
// range still finds the endpoint's integer formats. An endpoint without integer formats (a
// float-only one) still streams: its ranges keep their order. An endpoint with nothing the
// filter can offer is refused as such; its stream object tells the endpoint's owner why before
// a miniport is ever made, so memory is never blamed for it.
NTSTATUS CMiniportWaveCyclic::BuildDataRanges()
{
    const ULONG n = m_pStreamEngine->GetFormatCount();
    if (n == 0)
    {
        return STATUS_NOT_SUPPORTED;
    }
    if (n > MAXULONG / sizeof(KSDATARANGE_AUDIO))
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    GUID* pSubFormats =
        static_cast<GUID*>(ExAllocatePoolWithTag(NonPagedPool, n * sizeof(GUID), MINIPORT_WAVE_POOL_TAG));
    KSDATARANGE_AUDIO* pScratch = static_cast<KSDATARANGE_AUDIO*>(
        ExAllocatePoolWithTag(NonPagedPool, n * sizeof(KSDATARANGE_AUDIO), MINIPORT_WAVE_POOL_TAG));
    NTSTATUS status = (pSubFormats && pScratch) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    ULONG k = 0;
    if (NT_SUCCESS(status))
    {
        RtlZeroMemory(pSubFormats, n * sizeof(GUID));
        RtlZeroMemory(pScratch, n * sizeof(KSDATARANGE_AUDIO));
        status = CollectRanges(n, pSubFormats, pScratch, &k);
    }
    ULONG pcm = 0;
    while (NT_SUCCESS(status) && pcm < k && !IsEqualGUIDAligned(pSubFormats[pcm], KSDATAFORMAT_SUBTYPE_PCM))
    {
        pcm++;
    }
    if (NT_SUCCESS(status) && k == 0)
    {
        status = STATUS_NOT_SUPPORTED; // every format is one the wave filter never offers
    }
    if (NT_SUCCESS(status))
    {
        m_pDataRanges = static_cast<KSDATARANGE_AUDIO*>(
            ExAllocatePoolWithTag(NonPagedPool, k * sizeof(KSDATARANGE_AUDIO), MINIPORT_WAVE_POOL_TAG));
        m_pDataRangePointers = static_cast<PKSDATARANGE*>(
            ExAllocatePoolWithTag(NonPagedPool, k * sizeof(PKSDATARANGE), MINIPORT_WAVE_POOL_TAG));
        status = (m_pDataRanges && m_pDataRangePointers) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status))
    {
        RtlCopyMemory(m_pDataRanges, pScratch, k * sizeof(KSDATARANGE_AUDIO));
        if (pcm != 0 && pcm < k)
        {
            m_pDataRanges[0] = pScratch[pcm];
            m_pDataRanges[pcm] = pScratch[0];
        }
        for (ULONG i = 0; i < k; i++)
        {
            m_pDataRangePointers[i] = &m_pDataRanges[i].DataRange;
        }
        m_nDataRangeCount = k;
    }
    if (pSubFormats)
    {
        ExFreePoolWithTag(pSubFormats, MINIPORT_WAVE_POOL_TAG);
    }
    if (pScratch)
    {
        ExFreePoolWithTag(pScratch, MINIPORT_WAVE_POOL_TAG);
    }
    return status;
}

// ---- Formats ----

// An extensible format must lie whole inside the data format, with the extension it claims:
// otherwise the offered-format comparison would read past what the caller sent.
NTSTATUS CMiniportWaveCyclic::ValidateFormat(PKSDATAFORMAT DataFormat, PWAVEFORMATEX* WaveFormat)
{
    PAGED_CODE();
    if (!DataFormat || !WaveFormat ||
        DataFormat->FormatSize < WAVE_FORMAT_AT_HEADER + WAVE_FORMAT_PLAIN_BYTES ||
        !IsEqualGUIDAligned(DataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) || !m_pStreamEngine)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const BOOLEAN attributes = (DataFormat->Flags & KSDATAFORMAT_ATTRIBUTES) != 0;
    const ULONG offset = WaveFormatOffset(DataFormat->FormatSize, attributes);
    if (offset == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PWAVEFORMATEX pWave = reinterpret_cast<PWAVEFORMATEX>(reinterpret_cast<PUCHAR>(DataFormat) + offset);
    if (pWave->wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
        (offset + WAVE_FORMAT_EXTENSIBLE_BYTES > DataFormat->FormatSize ||
         pWave->cbSize < WAVE_FORMAT_EXTENSIBLE_CB))
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = m_pStreamEngine->FindFormat(pWave);
    if (!NT_SUCCESS(status))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *WaveFormat = pWave;
    return status;
}

BOOLEAN CMiniportWaveCyclic::OffersSubFormat(REFGUID SubFormat)
{
    const ULONG count = m_pStreamEngine ? m_pStreamEngine->GetFormatCount() : 0;
    for (ULONG i = 0; i < count; i++)
    {
        WAVEFORMATEXTENSIBLE format;
        RtlZeroMemory(&format, sizeof(format));
        if (NT_SUCCESS(m_pStreamEngine->GetFormat(i, &format)) &&
            IsEqualGUIDAligned(format.SubFormat, SubFormat))
        {
            return TRUE;
        }
    }
    return FALSE;
}

// The result carries the offered format itself, so the byte rate and alignment the pin opens
// with are the endpoint's own.
NTSTATUS CMiniportWaveCyclic::FindOfferedFormat(PWAVEFORMATEXTENSIBLE Format)
{
    const ULONG count = m_pStreamEngine->GetFormatCount();
    for (ULONG i = 0; i < count; i++)
    {
        WAVEFORMATEXTENSIBLE offered;
        RtlZeroMemory(&offered, sizeof(offered));
        if (NT_SUCCESS(m_pStreamEngine->GetFormat(i, &offered)) &&
            offered.Format.nChannels == Format->Format.nChannels &&
            offered.Format.nSamplesPerSec == Format->Format.nSamplesPerSec &&
            offered.Samples.wValidBitsPerSample == Format->Samples.wValidBitsPerSample &&
            IsEqualGUIDAligned(offered.SubFormat, Format->SubFormat))
        {
            RtlCopyMemory(Format, &offered, sizeof(offered));
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MATCH;
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveCyclic::DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,
                                           PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,
                                           PVOID ResultantFormat, PULONG ResultantFormatLength)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(PinId);
    if (!DataRange || !MatchingDataRange || !ResultantFormatLength)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsEqualGUIDAligned(DataRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !OffersSubFormat(DataRange->SubFormat) || MatchingDataRange->FormatSize < sizeof(KSDATARANGE_AUDIO))
    {
        return STATUS_NO_MATCH;
    }
    PKSDATARANGE_AUDIO pOwn = reinterpret_cast<PKSDATARANGE_AUDIO>(MatchingDataRange);
    if (IsEqualGUIDAligned(DataRange->Specifier, GUID_NULL))
    {
        return IntersectWildcard(pOwn, OutputBufferLength, ResultantFormat, ResultantFormatLength);
    }
    if (IsEqualGUIDAligned(DataRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND))
    {
        return STATUS_NOT_SUPPORTED;
    }
    return IntersectSpecific(reinterpret_cast<PKSDATARANGE_AUDIO>(DataRange), pOwn, OutputBufferLength,
                             ResultantFormat, ResultantFormatLength);
}

// A wildcard asks for the best the range offers: its most channels, highest rate and most bits.
NTSTATUS CMiniportWaveCyclic::IntersectWildcard(PKSDATARANGE_AUDIO Own, ULONG OutputBufferLength,
                                                PVOID ResultantFormat, PULONG ResultantFormatLength)
{
    if (OutputBufferLength == 0)
    {
        *ResultantFormatLength = WAVE_INTERSECTION_BYTES;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (OutputBufferLength < WAVE_INTERSECTION_BYTES)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!ResultantFormat)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PKSDATAFORMAT_WAVEFORMATEXTENSIBLE pResult =
        static_cast<PKSDATAFORMAT_WAVEFORMATEXTENSIBLE>(ResultantFormat);
    RtlCopyMemory(&pResult->DataFormat, &Own->DataRange, sizeof(KSDATAFORMAT));
    WAVEFORMATEXTENSIBLE& wave = pResult->WaveFormatExt;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = USHORT(Own->MaximumChannels);
    wave.Format.nSamplesPerSec = Own->MaximumSampleFrequency;
    wave.Format.wBitsPerSample = USHORT(Own->MaximumBitsPerSample);
    wave.Samples.wValidBitsPerSample = USHORT(Own->MaximumBitsPerSample);
    wave.Format.nBlockAlign = USHORT(Own->MaximumChannels * Own->MaximumBitsPerSample / 8);
    wave.Format.nAvgBytesPerSec = wave.Format.nBlockAlign * wave.Format.nSamplesPerSec;
    wave.Format.cbSize = WAVE_FORMAT_EXTENSIBLE_CB;
    // Every range is one sub-format, so the range's own is the one its formats carry.
    wave.SubFormat = Own->DataRange.SubFormat;
    NTSTATUS status = FindOfferedFormat(&wave);
    if (NT_SUCCESS(status))
    {
        pResult->DataFormat.SampleSize = 0;
        pResult->DataFormat.FormatSize = WAVE_INTERSECTION_BYTES;
        *ResultantFormatLength = WAVE_INTERSECTION_BYTES;
    }
    return status;
}

NTSTATUS CMiniportWaveCyclic::IntersectSpecific(PKSDATARANGE_AUDIO Client, PKSDATARANGE_AUDIO Own,
                                                ULONG OutputBufferLength, PVOID ResultantFormat,
                                                PULONG ResultantFormatLength)
{
    if (OutputBufferLength == 0)
    {
        *ResultantFormatLength = WAVE_INTERSECTION_BYTES;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (OutputBufferLength < WAVE_INTERSECTION_BYTES)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Client->DataRange.FormatSize < sizeof(KSDATARANGE_AUDIO))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (Client->MinimumSampleFrequency > Own->MaximumSampleFrequency ||
        Client->MaximumSampleFrequency < Own->MinimumSampleFrequency ||
        Client->MinimumBitsPerSample > Own->MaximumBitsPerSample ||
        Client->MaximumBitsPerSample < Own->MinimumBitsPerSample)
    {
        return STATUS_NO_MATCH;
    }
    if (!ResultantFormat)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PKSDATAFORMAT_WAVEFORMATEXTENSIBLE pResult =
        static_cast<PKSDATAFORMAT_WAVEFORMATEXTENSIBLE>(ResultantFormat);
    RtlCopyMemory(&pResult->DataFormat, &Client->DataRange, sizeof(KSDATAFORMAT));
    pResult->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEXTENSIBLE& wave = pResult->WaveFormatExt;
    RtlZeroMemory(&wave, sizeof(wave));
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = USHORT(Min(Client->MaximumChannels, Own->MaximumChannels));
    wave.Format.nSamplesPerSec = Min(Client->MaximumSampleFrequency, Own->MaximumSampleFrequency);
    wave.Samples.wValidBitsPerSample = USHORT(Min(Client->MaximumBitsPerSample, Own->MaximumBitsPerSample));
    wave.SubFormat = Client->DataRange.SubFormat;
    NTSTATUS status = FindOfferedFormat(&wave);
    if (NT_SUCCESS(status))
    {
        pResult->DataFormat.SampleSize = wave.Format.nBlockAlign;
        pResult->DataFormat.FormatSize = WAVE_INTERSECTION_BYTES;
        *ResultantFormatLength = WAVE_INTERSECTION_BYTES;
    }
    return status;
}

// ---- Private properties ----

namespace
{

CMiniportWaveCyclic* MiniportFromTarget(PUNKNOWN MajorTarget)
{
    if (!MajorTarget)
    {
        return nullptr;
    }
    // Asked rather than cast, so any interface of the miniport may be the target; the port
    // holds the miniport while it routes the request.
    PMINIPORTWAVECYCLIC pMiniport = nullptr;
    if (!NT_SUCCESS(
            MajorTarget->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<PVOID*>(&pMiniport))))
    {
        return nullptr;
    }
    pMiniport->Release();
    return static_cast<CMiniportWaveCyclic*>(pMiniport);
}

BOOLEAN IsVendorItem(PPCPROPERTY_REQUEST Request, ULONG Id)
{
    return Request && Request->PropertyItem && Request->PropertyItem->Set &&
           IsEqualGUIDAligned(*Request->PropertyItem->Set, KSPROPSETID_VendorAudio) &&
           Request->PropertyItem->Id == Id;
}

} // namespace

NTSTATUS CMiniportWaveCyclic::WaveEndpointCapsHandler(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();
    if (!IsVendorItem(PropertyRequest, KSPROPERTY_VENDORAUDIO_ENDPOINT_CAPS) ||
        PropertyRequest->ValueSize < sizeof(EndpointCaps))
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    CMiniportWaveCyclic* pThis = MiniportFromTarget(PropertyRequest->MajorTarget);
    if (!PropertyRequest->Value || !pThis || !pThis->m_pAdapterCommon)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return pThis->m_pAdapterCommon->GetEndpointCaps(pThis->m_nEndpointIndex,
                                                    static_cast<EndpointCaps*>(PropertyRequest->Value));
}

NTSTATUS CMiniportWaveCyclic::WaveFormatSupportHandler(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();
    if (!IsVendorItem(PropertyRequest, KSPROPERTY_VENDORAUDIO_FORMAT_SUPPORT))
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    CMiniportWaveCyclic* pThis = MiniportFromTarget(PropertyRequest->MajorTarget);
    if (PropertyRequest->ValueSize < WAVE_FORMAT_EXTENSIBLE_BYTES || !PropertyRequest->Value || !pThis ||
        !pThis->m_pStreamEngine)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PWAVEFORMATEX pFormat = static_cast<PWAVEFORMATEX>(PropertyRequest->Value);
    return NT_SUCCESS(pThis->m_pStreamEngine->FindFormat(pFormat)) ? STATUS_SUCCESS : STATUS_NO_MATCH;
}
