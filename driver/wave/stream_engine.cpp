// CStreamEngine: construction and teardown, the endpoint name, the callback object, the lookup
// of client formats. The pipeline and the client lists have files of their own.
#include "driver/wave/stream_engine.h"

#include "driver/core/callback_registration.h"

namespace
{

// "\Callback\" and the longest name, "CyclicControlAddr", with 16 hexadecimal digits: 43
// characters and the terminator.
constexpr SIZE_T CALLBACK_NAME_CHARS = 49;

// The client lists drain from other threads (the stream's own worker, the clients' closes).
constexpr LONGLONG CLIENT_DRAIN_STEP_100NS = 500000; // 50 ms

// Everything behind the 18-byte WAVEFORMATEX head of an extensible format.
constexpr USHORT EXTENSIBLE_EXTRA_BYTES = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);

CPointerList* NewList()
{
    return new (NonPagedPool, STREAM_POOL_TAG) CPointerList();
}

VOID FreeList(CPointerList** ppList)
{
    if (*ppList)
    {
        ExFreePoolWithTag(*ppList, STREAM_POOL_TAG);
        *ppList = nullptr;
    }
}

// The first 16 bits of the sub-format carry the plain format tag it stands for.
USHORT SubFormatTag(PCWAVEFORMATEXTENSIBLE Record)
{
    return USHORT(Record->SubFormat.Data1 & 0xFFFF);
}

BOOLEAN MatchesPlain(PCWAVEFORMATEX Format, PCWAVEFORMATEXTENSIBLE Record)
{
    return Record->Format.nChannels == Format->nChannels &&
           Record->Format.nSamplesPerSec == Format->nSamplesPerSec &&
           Record->Format.wBitsPerSample == Format->wBitsPerSample &&
           SubFormatTag(Record) == Format->wFormatTag;
}

} // namespace

CStreamEngine::CStreamEngine(PUNKNOWN UnknownOuter, ULONG StreamId)
    : CUnknown(UnknownOuter), m_nStreamId(StreamId), m_pName(nullptr), m_pWavePort(nullptr),
      m_PortClassId(GUID_NULL), m_pMiniportCreator(nullptr), m_pTopologyPort(nullptr),
      m_pTopologyMiniportSubdevice(nullptr), m_nTopologyPin(0), m_pRegisteredClients(nullptr),
      m_pOpenClients(nullptr), m_pStartedClients(nullptr), m_pListB(nullptr), m_pListC(nullptr),
      m_pCallbackObject(nullptr)
{
    // Ready from construction, so that teardown after a failed Init may take it.
    KeInitializeSpinLock(&m_StreamLock);
    RtlZeroMemory(&m_CurrentWaveFormat, sizeof(m_CurrentWaveFormat));
}

CStreamEngine::~CStreamEngine()
{
    PAGED_CODE();
    FreeGraph();
    WaitForClientsToLeave();
    ReleaseProcessingObjects(m_pListB);
    ReleaseProcessingObjects(m_pListC);
    FreeEngine();
    if (m_pWavePort)
    {
        m_pWavePort->Release();
        m_pWavePort = nullptr;
    }
    m_pTopologyMiniportSubdevice = nullptr;
    if (m_pTopologyPort)
    {
        m_pTopologyPort->Release();
        m_pTopologyPort = nullptr;
    }
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (!Interface)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IStreamEngine))
    {
        *Interface = PVOID(static_cast<PSTREAMENGINE>(this));
        static_cast<PSTREAMENGINE>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CStreamEngine::CreateEngineLists()
{
    m_pRegisteredClients = NewList();
    m_pOpenClients = NewList();
    m_pStartedClients = NewList();
    m_pListB = NewList();
    m_pListC = NewList();
    if (!m_pRegisteredClients || !m_pOpenClients || !m_pStartedClients || !m_pListB || !m_pListC)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The data path walks these under the stream lock; a change without it would race that walk.
    CPointerList* guarded[] = {m_pRegisteredClients, m_pOpenClients, m_pStartedClients, m_pListB, m_pListC};
    for (CPointerList* pList : guarded)
    {
        pList->SetGuard(&m_StreamLock);
    }
    return STATUS_SUCCESS;
}

VOID CStreamEngine::FreeEngineLists()
{
    FreeList(&m_pRegisteredClients);
    FreeList(&m_pOpenClients);
    FreeList(&m_pStartedClients);
    FreeList(&m_pListB);
    FreeList(&m_pListC);
}

NTSTATUS CreateAddressedCallback(PCWSTR NameFormat, PVOID Address, PCALLBACK_OBJECT* Object)
{
    WCHAR name[CALLBACK_NAME_CHARS];
    NTSTATUS status = RtlStringCchPrintfW(name, CALLBACK_NAME_CHARS, NameFormat, Address);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    UNICODE_STRING nameString;
    RtlInitUnicodeString(&nameString, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &nameString, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr,
                               nullptr);
    return ExCreateCallback(Object, &attributes, TRUE, TRUE);
}

NTSTATUS CStreamEngine::CreateCallbackObject()
{
    return CreateAddressedCallback(u"\\Callback\\StreamEngineAddr%p", static_cast<CStreamEngine*>(this),
                                   &m_pCallbackObject);
}

// Everything Init makes, and safe on a half-made engine.
VOID CStreamEngine::FreeEngine()
{
    FreeGraph();
    FreeEngineLists();
    if (m_pName)
    {
        ExFreePoolWithTag(m_pName, STREAM_POOL_TAG);
        m_pName = nullptr;
    }
    DeleteCallbackObject(&m_pCallbackObject);
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::Init(ULONG Capture)
{
    PAGED_CODE();
    // A second Init would orphan the lists and the callback object of the first.
    if (m_pName)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = InitGraph(Capture);
    if (NT_SUCCESS(status))
    {
        status = CreateEngineLists();
    }
    if (NT_SUCCESS(status))
    {
        m_pName = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, STREAM_NAME_BUFFER_CHARS * sizeof(WCHAR), STREAM_POOL_TAG));
        status = m_pName ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status))
    {
        RtlZeroMemory(m_pName, STREAM_NAME_BUFFER_CHARS * sizeof(WCHAR));
        status = CreateCallbackObject();
    }
    if (!NT_SUCCESS(status))
    {
        FreeEngine();
        return status;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::SetName(PCWSTR Name)
{
    PAGED_CODE();
    if (!Name)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pName)
    {
        return STATUS_UNSUCCESSFUL;
    }
    // A name that does not end inside the buffer is refused, and the old one stays.
    size_t lengthChars = 0;
    if (!NT_SUCCESS(RtlStringCchLengthW(Name, STREAM_NAME_BUFFER_CHARS, &lengthChars)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return RtlStringCchPrintfW(m_pName, STREAM_NAME_BUFFER_CHARS, u"%s", Name);
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::GetName(PWSTR Buffer)
{
    PAGED_CODE();
    if (!Buffer)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pName)
    {
        Buffer[0] = 0;
        return STATUS_UNSUCCESSFUL;
    }
    return RtlStringCchPrintfW(Buffer, STREAM_NAME_BUFFER_CHARS, u"%s", m_pName);
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::SetMiniportCreator(PFNCREATEWAVEMINIPORT Creator, REFCLSID PortClassId)
{
    PAGED_CODE();
    if (!Creator)
    {
        return STATUS_NO_SUCH_DEVICE;
    }
    m_pMiniportCreator = Creator;
    m_PortClassId = PortClassId;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::SetTopologyPort(PUNKNOWN TopologyPort, PUNKNOWN TopologyMiniport)
{
    PAGED_CODE();
    if (!TopologyPort || !TopologyMiniport)
    {
        return STATUS_NO_SUCH_DEVICE;
    }
    TopologyPort->AddRef();
    if (m_pTopologyPort)
    {
        m_pTopologyPort->Release();
    }
    m_pTopologyPort = TopologyPort;
    // The topology port holds its miniport for as long as the port lives, and this endpoint
    // holds the port, so the interface stays valid without a reference of its own.
    PMINIPORTSUBDEVICE pSubdevice = nullptr;
    NTSTATUS status =
        TopologyMiniport->QueryInterface(IID_IMiniportSubdevice, reinterpret_cast<PVOID*>(&pSubdevice));
    m_pTopologyMiniportSubdevice = NT_SUCCESS(status) ? pSubdevice : nullptr;
    if (pSubdevice)
    {
        pSubdevice->Release();
    }
    return status;
}

// Only the full list is searched. An extensible format must carry its whole extensible part
// and match a record byte for byte; a longer format cannot match a 40-byte record, and its
// claimed size is never read.
STDMETHODIMP_(NTSTATUS) CStreamEngine::FindFormat(PWAVEFORMATEX Format)
{
    PAGED_CODE();
    if (!Format)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pFormats)
    {
        return STATUS_NO_MATCH;
    }
    const BOOLEAN extensible = Format->wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    if (extensible && Format->cbSize != EXTENSIBLE_EXTRA_BYTES)
    {
        return STATUS_NO_MATCH;
    }
    PPOINTER_LIST_NODE position = m_pFormats->GetHeadPosition();
    PVOID pData;
    while (m_pFormats->GetNext(&position, &pData))
    {
        PCWAVEFORMATEXTENSIBLE pRecord = static_cast<PCWAVEFORMATEXTENSIBLE>(pData);
        if (extensible)
        {
            if (RtlCompareMemory(pRecord, Format, sizeof(WAVEFORMATEXTENSIBLE)) ==
                sizeof(WAVEFORMATEXTENSIBLE))
            {
                return STATUS_SUCCESS;
            }
        }
        else if (MatchesPlain(Format, pRecord))
        {
            // The byte rate and block alignment are the offered ones; the caller's tag stays.
            const WORD tag = Format->wFormatTag;
            RtlCopyMemory(Format, pRecord, offsetof(WAVEFORMATEX, cbSize));
            Format->wFormatTag = tag;
            Format->cbSize = 0;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MATCH;
}

STDMETHODIMP_(NTSTATUS)
CStreamEngine::RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration)
{
    PAGED_CODE();
    return RegisterObjectCallback(m_pCallbackObject, Callback, Context, Registration);
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::UnregisterCallback(PVOID Registration)
{
    PAGED_CODE();
    return UnregisterObjectCallback(Registration);
}

// The endpoint keeps no power state of its own; the device re-checks its subdevice on D0.
STDMETHODIMP_(NTSTATUS) CStreamEngine::PowerChangeState(ULONG NewState)
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}

// The stream class empties its client lists from other threads; the lists must not go while
// a client record is still on one of them.
VOID CStreamEngine::WaitForClientsToLeave()
{
    CPointerList* lists[] = {m_pRegisteredClients, m_pOpenClients, m_pStartedClients};
    for (CPointerList* pList : lists)
    {
        while (pList && !pList->IsEmpty())
        {
            LARGE_INTEGER step;
            step.QuadPart = -CLIENT_DRAIN_STEP_100NS;
            KeDelayExecutionThread(KernelMode, FALSE, &step);
        }
    }
}

// Entries leave the list under the stream lock, one at a time, and are released outside it:
// a processing object's last release may run pageable teardown.
VOID CStreamEngine::ReleaseProcessingObjects(CPointerList* List)
{
    if (!List)
    {
        return;
    }
    for (;;)
    {
        KIRQL oldIrql;
        PVOID pData = nullptr;
        KeAcquireSpinLock(&m_StreamLock, &oldIrql);
        BOOLEAN removed = List->RemoveHead(&pData);
        KeReleaseSpinLock(&m_StreamLock, oldIrql);
        if (!removed)
        {
            return;
        }
        static_cast<PUNKNOWN>(pData)->Release();
    }
}
