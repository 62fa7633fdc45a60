// Pin instances of the WaveCyclic port. Requests on a pin handle arrive at PASSIVE_LEVEL under
// the port's mutex; the service call arrives at DISPATCH_LEVEL from the port's DPC and touches
// only the interlocked fields and the stream's GetPosition.
#include "pc_wave_cyclic_pin.h"

#include "interlocked.h"
#include "ks_requests.h"
#include "timer.h"

#include <cstring>

namespace
{

// The interval the port asks of every stream, as the real port does.
constexpr ULONG kNotificationIntervalMs = 10;

// A get's reply: a size query learns the size with STATUS_BUFFER_OVERFLOW, a short buffer gets
// STATUS_BUFFER_TOO_SMALL and nothing written.
NTSTATUS Reply(PIRP Irp, PVOID Value, ULONG ValueLength, const void* Data, ULONG Size)
{
    Irp->IoStatus.Information = Size;
    if (ValueLength == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (ValueLength < Size)
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(Value, Data, Size);
    return STATUS_SUCCESS;
}

} // namespace

namespace plat
{
namespace pc
{

CPortPinWaveCyclic::CPortPinWaveCyclic(PUNKNOWN Outer)
    : CUnknown(Outer), m_PinId(0), m_bCapture(FALSE), m_pStream(nullptr), m_pDma(nullptr), m_pGroup(nullptr),
      m_State(KSSTATE_STOP), m_FramingSize(0), m_ServiceCount(0), m_ServicedPosition(0), m_ServiceIrql(0)
{
}

CPortPinWaveCyclic::~CPortPinWaveCyclic()
{
    ReleaseStream();
}

STDMETHODIMP_(NTSTATUS) CPortPinWaveCyclic::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (Interface == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IServiceSink))
    {
        *Interface = PVOID(static_cast<IServiceSink*>(this));
        static_cast<PUNKNOWN>(*Interface)->AddRef();
        return STATUS_SUCCESS;
    }
    *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CPortPinWaveCyclic::Open(PMINIPORTWAVECYCLIC Miniport, ULONG PinId, BOOLEAN Capture,
                                  const std::vector<UCHAR>& Format)
{
    PAGED_CODE();
    m_PinId = PinId;
    m_bCapture = Capture;
    m_Format = Format;
    NTSTATUS status =
        Miniport->NewStream(&m_pStream, nullptr, NonPagedPool, PinId, Capture,
                            reinterpret_cast<PKSDATAFORMAT>(m_Format.data()), &m_pDma, &m_pGroup);
    // A stream without its DMA channel leaves the audio stack no buffer to stream through.
    if (NT_SUCCESS(status) && (m_pStream == nullptr || m_pDma == nullptr))
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
    {
        m_pStream->SetNotificationFreq(kNotificationIntervalMs, &m_FramingSize);
        SilenceBuffer();
        if (m_pGroup)
            status = m_pGroup->AddMember(this);
    }
    if (!NT_SUCCESS(status))
    {
        if (m_pGroup)
            m_pGroup->RemoveMember(this);
        ReleaseStream();
    }
    return status;
}

// The cyclic buffer starts as the stream's own silence, whatever its memory held before: zero
// bytes are the most negative value of an 8-bit sample.
void CPortPinWaveCyclic::SilenceBuffer()
{
    PVOID buffer = m_pDma->SystemAddress();
    if (buffer && m_pDma->BufferSize())
        m_pStream->Silence(buffer, m_pDma->BufferSize());
}

void CPortPinWaveCyclic::ReleaseStream()
{
    if (m_pGroup)
        m_pGroup->Release();
    if (m_pDma)
        m_pDma->Release();
    if (m_pStream)
        m_pStream->Release();
    m_pGroup = nullptr;
    m_pDma = nullptr;
    m_pStream = nullptr;
}

void CPortPinWaveCyclic::Close()
{
    PAGED_CODE();
    if (m_pStream == nullptr)
        return;
    // A stream refusing a step on the way down is let go all the same: the handle is closing.
    StepTo(KSSTATE_STOP);
    if (m_pGroup)
        m_pGroup->RemoveMember(this);
    // A service DPC queued before the removal may still be on its way; none may find the
    // stream gone.
    KeFlushQueuedDpcs();
    ReleaseStream();
}

NTSTATUS CPortPinWaveCyclic::StepTo(KSSTATE Target)
{
    KSSTATE state = KSSTATE(m_State);
    while (state != Target)
    {
        KSSTATE next = KSSTATE(state < Target ? state + 1 : state - 1);
        NTSTATUS status = m_pStream->SetState(next);
        if (!NT_SUCCESS(status))
            return status;
        state = next;
        InterlockedExchange(&m_State, state);
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CPortPinWaveCyclic::RequestService()
{
    InterlockedExchange(&m_ServiceIrql, KeGetCurrentIrql());
    ULONG position = 0;
    if (m_pStream && m_State == KSSTATE_RUN && NT_SUCCESS(m_pStream->GetPosition(&position)))
        InterlockedExchange(&m_ServicedPosition, LONG(position));
    InterlockedIncrement(&m_ServiceCount);
}

NTSTATUS CPortPinWaveCyclic::StateProperty(ULONG Verb, PVOID Value, ULONG ValueLength, PIRP Irp)
{
    ULONG state = ULONG(m_State);
    if (Verb == KSPROPERTY_TYPE_GET)
        return Reply(Irp, Value, ValueLength, &state, sizeof(state));
    if (ValueLength < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(&state, Value, sizeof(state));
    if (state > KSSTATE_RUN)
        return STATUS_INVALID_PARAMETER;
    return StepTo(KSSTATE(state));
}

NTSTATUS CPortPinWaveCyclic::FormatProperty(ULONG Verb, PVOID Value, ULONG ValueLength, PIRP Irp)
{
    if (Verb == KSPROPERTY_TYPE_GET)
        return Reply(Irp, Value, ValueLength, m_Format.data(), ULONG(m_Format.size()));
    KSDATAFORMAT header;
    if (ValueLength < sizeof(header))
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(&header, Value, sizeof(header));
    if (header.FormatSize < sizeof(header) || header.FormatSize > ValueLength)
        return STATUS_INVALID_PARAMETER;
    // The stream gets a copy of its own, as the client's buffer is not the port's to hand on.
    const UCHAR* bytes = static_cast<const UCHAR*>(Value);
    std::vector<UCHAR> format(bytes, bytes + header.FormatSize);
    NTSTATUS status = m_pStream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data()));
    if (NT_SUCCESS(status))
    {
        m_Format.swap(format);
        // A format of another silence takes the buffer over only while nothing streams from it.
        if (m_State == KSSTATE_STOP)
            SilenceBuffer();
    }
    return status;
}

// The stream reports one offset; the port has no write cursor of its own to add, so both
// offsets carry it.
NTSTATUS CPortPinWaveCyclic::PositionProperty(ULONG Verb, PVOID Value, ULONG ValueLength, PIRP Irp)
{
    if (Verb != KSPROPERTY_TYPE_GET)
        return STATUS_INVALID_DEVICE_REQUEST;
    ULONG offset = 0;
    NTSTATUS status = m_pStream->GetPosition(&offset);
    if (!NT_SUCCESS(status))
        return status;
    KSAUDIO_POSITION position = {offset, offset};
    return Reply(Irp, Value, ValueLength, &position, sizeof(position));
}

NTSTATUS CPortPinWaveCyclic::DeviceControl(PIRP Irp)
{
    PAGED_CODE();
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_KS_PROPERTY)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (m_pStream == nullptr)
        return STATUS_DEVICE_NOT_READY;
    KSPROPERTY property;
    PVOID input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    ULONG valueLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID value = Irp->UserBuffer;
    if (input == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(property) ||
        (valueLength && value == nullptr))
        return STATUS_INVALID_PARAMETER;
    std::memcpy(&property, input, sizeof(property));
    ULONG verb = property.Flags;
    if (verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (IsEqualGUIDAligned(property.Set, KSPROPSETID_Connection))
    {
        if (property.Id == KSPROPERTY_CONNECTION_STATE)
            return StateProperty(verb, value, valueLength, Irp);
        if (property.Id == KSPROPERTY_CONNECTION_DATAFORMAT)
            return FormatProperty(verb, value, valueLength, Irp);
    }
    else if (IsEqualGUIDAligned(property.Set, KSPROPSETID_Audio) && property.Id == KSPROPERTY_AUDIO_POSITION)
        return PositionProperty(verb, value, valueLength, Irp);
    return STATUS_NOT_FOUND;
}

void CPortPinWaveCyclic::Describe(PcPinView* View)
{
    View->PinId = m_PinId;
    View->Capture = m_bCapture != FALSE;
    View->State = KSSTATE(m_State);
    View->Buffer = m_pDma ? m_pDma->SystemAddress() : nullptr;
    View->BufferSize = m_pDma ? m_pDma->BufferSize() : 0;
    View->FramingSize = m_FramingSize;
    View->ServiceCount = ULONG(m_ServiceCount);
    View->ServicedPosition = ULONG(m_ServicedPosition);
    View->ServiceIrql = KIRQL(m_ServiceIrql);
}

} // namespace pc
} // namespace plat
