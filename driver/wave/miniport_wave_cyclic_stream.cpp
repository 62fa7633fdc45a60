// CMiniportWaveCyclicStream: set-up, states, position and the software DMA channel. The
// notification handlers that move the data live in miniport_wave_cyclic_stream_data.cpp.
#include "driver/wave/miniport_wave_cyclic_stream.h"

#include "driver/core/spin_lock_hold.h"
#include "driver/wave/miniport_wave_cyclic.h"

namespace
{

constexpr ULONG UNITS_10US_PER_SECOND = 100000;

} // namespace

// ---- Byte-rate conversion ----

VOID WaveByteRateConverter::SetOwn(ULONG BytesPerSec)
{
    OwnWhole = BytesPerSec / 1000;
    OwnThousandths = BytesPerSec % 1000;
    OwnRemainder = 0;
    OwnBytesPerSec = BytesPerSec;
}

VOID WaveByteRateConverter::SetClient(ULONG BytesPerSec)
{
    ClientWhole = BytesPerSec / 1000;
    ClientThousandths = BytesPerSec % 1000;
    ClientFraction = 0;
    ClientRemainder = 0;
    ClientBytesPerSec = BytesPerSec;
}

// The leader's bytes are counted in whole milliseconds, the thousandths of its rate carried
// along; the remainder is signed because the carried thousandths may claim bytes that the
// next transfer brings. A leader under one byte per millisecond (or one never announced) has
// no whole part to divide by and is scaled directly.
ULONG WaveByteRateConverter::Convert(ULONG ClientBytes)
{
    if (ClientWhole == 0)
    {
        return ClientBytesPerSec ? ULONG(ULONGLONG(ClientBytes) * OwnBytesPerSec / ClientBytesPerSec) : 0;
    }
    const LONGLONG total = LONGLONG(LONG(ClientRemainder)) + ClientBytes;
    const ULONGLONG ms = total > 0 ? ULONGLONG(total) / ClientWhole : 0;
    const ULONGLONG t = ULONGLONG(ClientThousandths) * ms + ClientFraction;
    const ULONGLONG carry = t / 1000;
    ClientFraction = ULONG(t - 1000 * carry);
    ClientRemainder = ULONG(LONG(total - LONGLONG(ClientWhole * ms) - LONGLONG(carry)));
    const ULONGLONG u = ULONGLONG(OwnThousandths) * ms + OwnRemainder;
    OwnRemainder = ULONG(u % 1000);
    return ULONG(OwnWhole * ms + u / 1000);
}

// ---- Creation and teardown ----

STDMETHODIMP_(NTSTATUS)
CMiniportWaveCyclicStream::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) ||
        IsEqualGUIDAligned(InterfaceId, IID_IMiniportWaveCyclicStream))
    {
        *Interface = PVOID(static_cast<IMiniportWaveCyclicStream*>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IDmaChannel))
    {
        *Interface = PVOID(static_cast<IDmaChannel*>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IDrmAudioStream))
    {
        *Interface = PVOID(static_cast<IDrmAudioStream*>(this));
    }
    else
    {
        *Interface = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclicStream::Init(CMiniportWaveCyclic* Miniport, ULONG Pin, BOOLEAN Capture,
                                         PKSDATAFORMAT DataFormat, IStreamEngine* StreamObject,
                                         PSERVICEGROUP* ServiceGroup)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Pin);
    KeInitializeSpinLock(&m_StreamLock);
    if (!Miniport || !StreamObject || !ServiceGroup)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_pMiniport = Miniport;
    m_pStreamObject = StreamObject;
    m_pStreamObject->AddRef();
    NTSTATUS status = PcNewServiceGroup(&m_pServiceGroup, nullptr);
    if (NT_SUCCESS(status))
    {
        m_pConversionChain = new (NonPagedPool, WAVE_STREAM_BUFFER_POOL_TAG) CDspInterleaveSrc();
        status = (m_pConversionChain && m_pConversionChain->Init()) ? STATUS_SUCCESS
                                                                    : STATUS_INSUFFICIENT_RESOURCES;
    }
    m_State = KSSTATE_STOP;
    m_bCapture = Capture ? 1 : 0;
    m_nNotificationInterval = WAVE_STREAM_NOTIFICATION_MS;
    m_nInFlight = WAVE_STREAM_TRANSFERS_IN_FLIGHT;
    PWAVEFORMATEX pWave = nullptr;
    if (NT_SUCCESS(status))
    {
        status = Miniport->ValidateFormat(DataFormat, &pWave);
    }
    if (NT_SUCCESS(status))
    {
        CopyWaveFormat(pWave);
        status = AllocateBuffer(BufferBytesFor(pWave), nullptr);
    }
    if (!NT_SUCCESS(status))
    {
        if (m_pServiceGroup)
        {
            m_pServiceGroup->Release();
            m_pServiceGroup = nullptr;
        }
        m_pStreamObject->Release();
        m_pStreamObject = nullptr;
        return status;
    }
    m_nCopyOffset = 0;
    *ServiceGroup = m_pServiceGroup;
    m_pServiceGroup->AddRef();
    Miniport->AddStreamRef();
    m_bCounted = 1;
    Miniport->SetStreamOpen(TRUE);
    RtlCopyMemory(&m_AnnouncedFormat, &m_WaveFormat, sizeof(m_AnnouncedFormat));
    return status;
}

CMiniportWaveCyclicStream::~CMiniportWaveCyclicStream()
{
    PAGED_CODE();
    if (m_pStreamObject)
    {
        while (m_State != KSSTATE_STOP && NT_SUCCESS(SetState(KSSTATE(m_State - 1))))
        {
        }
    }
    FreeBuffer();
    if (m_pServiceGroup)
    {
        m_pServiceGroup->Release();
    }
    if (m_pStreamObject)
    {
        m_pStreamObject->Release();
    }
    delete m_pConversionChain;
    if (m_pMiniport && m_bCounted)
    {
        m_pMiniport->ReleaseStreamRef();
        m_pMiniport->SetStreamOpen(FALSE);
    }
}

// The pin's format as the endpoint offers it: the plain part and what its extension claims,
// never more than an extensible format holds.
VOID CMiniportWaveCyclicStream::CopyWaveFormat(PCWAVEFORMATEX Format)
{
    ULONG bytes = sizeof(WAVEFORMATEX) + Format->cbSize;
    if (bytes > sizeof(WAVEFORMATEXTENSIBLE))
    {
        bytes = sizeof(WAVEFORMATEXTENSIBLE);
    }
    RtlZeroMemory(&m_WaveFormat, sizeof(m_WaveFormat));
    RtlCopyMemory(&m_WaveFormat, Format, bytes);
}

// 50 ms of the format in whole frames: a partial frame at the end would shift the channels by
// one sample at every wrap (11,025 and 22,050 Hz do not divide evenly).
ULONG CMiniportWaveCyclicStream::BufferBytesFor(PCWAVEFORMATEX Format) const
{
    const ULONG bytes = Format->nAvgBytesPerSec / WAVE_STREAM_BUFFERS_PER_SECOND;
    const ULONG align = Format->nBlockAlign ? Format->nBlockAlign : 1;
    return bytes - bytes % align;
}

// ---- Format and states ----

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStream::SetFormat(PKSDATAFORMAT DataFormat)
{
    PAGED_CODE();
    if (m_State == KSSTATE_RUN)
    {
        return STATUS_UNSUCCESSFUL;
    }
    PWAVEFORMATEX pWave = nullptr;
    NTSTATUS status = m_pMiniport->ValidateFormat(DataFormat, &pWave);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (pWave->nSamplesPerSec == m_WaveFormat.Format.nSamplesPerSec &&
        pWave->nChannels == m_WaveFormat.Format.nChannels &&
        pWave->wBitsPerSample == m_WaveFormat.Format.wBitsPerSample)
    {
        return STATUS_SUCCESS;
    }
    status = AllocateBuffer(BufferBytesFor(pWave), nullptr);
    if (NT_SUCCESS(status))
    {
        CopyWaveFormat(pWave);
    }
    m_nCopyOffset = 0;
    return status;
}

// The port's interval is not taken: the USB stream completes a transfer every few
// milliseconds, and the stream reports 10 ms of the format per period.
STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::SetNotificationFreq(ULONG Interval, PULONG FramingSize)
{
    UNREFERENCED_PARAMETER(Interval);
    if (FramingSize)
    {
        const WAVEFORMATEX& f = m_WaveFormat.Format;
        *FramingSize =
            (f.nSamplesPerSec * m_nNotificationInterval / 1000) * (f.wBitsPerSample / 8) * f.nChannels;
    }
    return m_nNotificationInterval;
}

VOID CMiniportWaveCyclicStream::ResetPositions()
{
    CSpinLockHold hold(&m_StreamLock);
    m_nTransferPosition = 0;
    m_nPendingBytes = 0;
    m_nLastPosition = 0;
    RtlZeroMemory(m_History, sizeof(m_History));
    m_nHistoryRead = 0;
    m_nHistoryWrite = 0;
    m_nCopyOffset = 0;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStream::SetState(KSSTATE State)
{
    PAGED_CODE();
    ICyclicControl* pControl = nullptr;
    NTSTATUS status =
        m_pStreamObject->QueryInterface(IID_ICyclicControl, reinterpret_cast<PVOID*>(&pControl));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (State != m_State)
    {
        switch (State)
        {
        case KSSTATE_STOP:
        case KSSTATE_ACQUIRE:
            ResetPositions();
            break;
        case KSSTATE_PAUSE:
            status = Pause(pControl);
            break;
        case KSSTATE_RUN:
            status = Run(pControl);
            break;
        default:
            break;
        }
        if (NT_SUCCESS(status))
        {
            m_State = State;
            status = STATUS_SUCCESS;
        }
    }
    pControl->Release();
    return status;
}

// Registering, opening and starting are undone in reverse on the first failure, so a refused
// run leaves the USB stream as it was.
NTSTATUS CMiniportWaveCyclicStream::Run(ICyclicControl* Control)
{
    if (!m_pBuffer)
    {
        return STATUS_UNSUCCESSFUL;
    }
    {
        CSpinLockHold hold(&m_StreamLock);
        m_PositionRate.SetOwn(m_WaveFormat.Format.nAvgBytesPerSec);
        m_HistoryRate.SetOwn(m_WaveFormat.Format.nAvgBytesPerSec);
        m_CopyRate.SetOwn(m_WaveFormat.Format.nAvgBytesPerSec);
    }
    StreamClient* pRecord = nullptr;
    NTSTATUS status =
        Control->RegisterClient(STREAM_CLIENT_PRIORITY_WAVE, &m_WaveFormat, WAVE_STREAM_MS_PER_TRANSFER,
                                m_nInFlight, OnStreamNotification, this, &m_pClientRecord);
    if (!NT_SUCCESS(status) || !m_pClientRecord)
    {
        m_pClientRecord = nullptr;
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    pRecord = m_pClientRecord;
    m_pRegistrationKey = pRecord->Registration;
    ULONG frames = 0;
    ULONG currentFrame = 0;
    status = Control->OpenClient(m_pRegistrationKey, &frames, &currentFrame);
    if (NT_SUCCESS(status))
    {
        status = Control->StartClient(m_pRegistrationKey, currentFrame + WAVE_STREAM_START_DELAY_FRAMES,
                                      &frames, nullptr);
        if (!NT_SUCCESS(status))
        {
            Control->CloseClient(m_pRegistrationKey);
        }
    }
    if (!NT_SUCCESS(status))
    {
        Control->UnregisterClient(m_pRegistrationKey);
        m_pClientRecord = nullptr;
        m_pRegistrationKey = nullptr;
        return status;
    }
    CSpinLockHold hold(&m_StreamLock);
    m_llTimeStamp = Now10us();
    return status;
}

NTSTATUS CMiniportWaveCyclicStream::Pause(ICyclicControl* Control)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (m_State == KSSTATE_RUN && m_pClientRecord)
    {
        Control->StopClient(m_pRegistrationKey, nullptr);
        Control->CloseClient(m_pRegistrationKey);
        // Unregistering waits for any notification still running, so the record may go after it.
        status = Control->UnregisterClient(m_pRegistrationKey);
        m_pClientRecord = nullptr;
        m_pRegistrationKey = nullptr;
    }
    CSpinLockHold hold(&m_StreamLock);
    m_nLastPosition = m_nTransferPosition;
    return status;
}

// ---- Position ----

// In 10 us units, split so that the product cannot overflow however long the system runs.
LONGLONG CMiniportWaveCyclicStream::Now10us() const
{
    LARGE_INTEGER frequency;
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    if (frequency.QuadPart <= 0)
    {
        return 0;
    }
    const LONGLONG whole = counter.QuadPart / frequency.QuadPart;
    const LONGLONG part = counter.QuadPart % frequency.QuadPart;
    return whole * UNITS_10US_PER_SECOND + part * UNITS_10US_PER_SECOND / frequency.QuadPart;
}

// Between completions the position moves on with the clock, but never past the transfer still
// in flight (render) or back beyond the last one that came in (capture). The byte product is
// 64-bit: at high rates a 32-bit one wraps within milliseconds and the position jumps back.
STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStream::GetPosition(PULONG Position)
{
    if (!Position)
    {
        return STATUS_INVALID_PARAMETER;
    }
    CSpinLockHold hold(&m_StreamLock);
    if (m_State == KSSTATE_RUN && m_nAllocatedSize != 0)
    {
        const ULONG elapsed = ULONG(Now10us()) - ULONG(m_llTimeStamp);
        ULONGLONG bytes = ULONGLONG(elapsed) * m_WaveFormat.Format.nAvgBytesPerSec / UNITS_10US_PER_SECOND;
        if (bytes > m_nPendingBytes)
        {
            bytes = m_nPendingBytes;
        }
        const ULONGLONG size = m_nAllocatedSize;
        if (!m_bCapture)
        {
            m_nLastPosition = ULONG((m_nTransferPosition + size + bytes) % size);
        }
        else
        {
            const ULONG align = m_WaveFormat.Format.nBlockAlign ? m_WaveFormat.Format.nBlockAlign : 1;
            ULONGLONG lag = m_nPendingBytes - bytes;
            lag -= lag % align;
            m_nLastPosition = ULONG((size + m_nTransferPosition - lag % size) % size);
        }
    }
    *Position = m_nLastPosition;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStream::NormalizePhysicalPosition(PLONGLONG PhysicalPosition)
{
    const ULONG frameBytes = ULONG(m_WaveFormat.Format.wBitsPerSample / 8) * m_WaveFormat.Format.nChannels;
    if (!PhysicalPosition || frameBytes == 0 || m_WaveFormat.Format.nSamplesPerSec == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG q = 10000000 / frameBytes;
    *PhysicalPosition = LONGLONG(q) * *PhysicalPosition / LONGLONG(m_WaveFormat.Format.nSamplesPerSec);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::Silence(PVOID Buffer, ULONG ByteCount)
{
    CSpinLockHold hold(&m_StreamLock);
    PUCHAR p = static_cast<PUCHAR>(Buffer);
    if (!p || !m_pBuffer || p < m_pBuffer || p >= m_pBuffer + m_nAllocatedSize ||
        ULONGLONG(p - m_pBuffer) + ByteCount > m_nAllocatedSize)
    {
        return;
    }
    RtlFillMemory(p, ByteCount, m_WaveFormat.Format.wBitsPerSample == 8 ? 0x80 : 0);
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStream::SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DrmRights);
    IStreamDrmForward* pForward = nullptr;
    NTSTATUS status =
        m_pStreamObject->QueryInterface(IID_IStreamDrmForward, reinterpret_cast<PVOID*>(&pForward));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = pForward->SetContentId(ContentId);
    pForward->Release();
    return status;
}

// ---- Software DMA channel ----

STDMETHODIMP_(NTSTATUS)
CMiniportWaveCyclicStream::AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS Constraint)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Constraint);
    if (BufferSize == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PUCHAR pNew = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolCacheAligned, BufferSize, WAVE_STREAM_BUFFER_POOL_TAG));
    if (!pNew)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pNew, BufferSize);
    PUCHAR pOld;
    {
        CSpinLockHold hold(&m_StreamLock);
        pOld = m_pBuffer;
        m_pBuffer = pNew;
        m_nTransferPosition = 0;
        m_nLastPosition = 0;
        m_nPendingBytes = 0;
        m_nAllocatedSize = BufferSize;
        m_nBufferSize = BufferSize;
    }
    if (pOld)
    {
        ExFreePoolWithTag(pOld, WAVE_STREAM_BUFFER_POOL_TAG);
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::FreeBuffer()
{
    PUCHAR pOld;
    {
        CSpinLockHold hold(&m_StreamLock);
        pOld = m_pBuffer;
        m_pBuffer = nullptr;
        m_nAllocatedSize = 0;
        m_nTransferPosition = 0;
    }
    if (pOld)
    {
        ExFreePoolWithTag(pOld, WAVE_STREAM_BUFFER_POOL_TAG);
    }
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::TransferCount()
{
    return m_nAllocatedSize;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::MaximumBufferSize()
{
    return WAVE_STREAM_MAX_BUFFER_BYTES;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::AllocatedBufferSize()
{
    return m_nAllocatedSize;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::BufferSize()
{
    return m_nBufferSize ? m_nBufferSize : m_nAllocatedSize;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::SetBufferSize(ULONG BufferSize)
{
    if (BufferSize < m_nAllocatedSize)
    {
        m_nBufferSize = BufferSize;
    }
}

STDMETHODIMP_(PVOID) CMiniportWaveCyclicStream::SystemAddress()
{
    return m_pBuffer;
}

STDMETHODIMP_(PHYSICAL_ADDRESS) CMiniportWaveCyclicStream::PhysicalAddress()
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0;
    return address;
}

STDMETHODIMP_(PADAPTER_OBJECT) CMiniportWaveCyclicStream::GetAdapterObject()
{
    return nullptr;
}

// Under the stream lock: Inside and the ByteCount bytes from it lie within the buffer's set size.
BOOLEAN CMiniportWaveCyclicStream::SpansBuffer(PVOID Inside, ULONG ByteCount)
{
    const PUCHAR p = static_cast<PUCHAR>(Inside);
    const ULONG size = BufferSize();
    return p && m_pBuffer && p >= m_pBuffer && p <= m_pBuffer + size &&
           ULONGLONG(p - m_pBuffer) + ByteCount <= size;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount)
{
    CSpinLockHold hold(&m_StreamLock);
    if (Source && SpansBuffer(Destination, ByteCount))
    {
        RtlCopyMemory(Destination, Source, ByteCount);
    }
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount)
{
    CSpinLockHold hold(&m_StreamLock);
    if (Destination && SpansBuffer(Source, ByteCount))
    {
        RtlCopyMemory(Destination, Source, ByteCount);
    }
}
