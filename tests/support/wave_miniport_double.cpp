// The wave miniport double: miniport, stream and DMA channel (see the header).
#include "support/wave_miniport_double.h"

#include "spinlock.h"
#include "timer.h"

#include <cstring>

namespace doubles
{

namespace
{

constexpr ULONG kTag = MAKE_POOL_TAG('t', 'W', 'a', 'v');

class CTestWaveMiniport;

class CTestWaveStream : public IMiniportWaveCyclicStream, public IDmaChannel, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    CTestWaveStream(CTestWaveMiniport* Miniport, const WaveMiniportConfig& Config, WaveMiniportLog* Log,
                    const WAVEFORMATEX& Format, PSERVICEGROUP Group);
    ~CTestWaveStream() override;

    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FramingSize) override
    {
        m_pLog->Calls.push_back("SetNotificationFreq " + std::to_string(Interval));
        *FramingSize = m_Format.nAvgBytesPerSec * Interval / 1000;
        return Interval;
    }
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(PULONG Position) override
    {
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        *Position = ULONG(m_Position % m_Buffer.size());
        KeReleaseSpinLock(&m_Lock, irql);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG Count) override { std::memset(Buffer, 0, Count); }

    STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG Size, PPHYSICAL_ADDRESS) override
    {
        m_Buffer.assign(Size, 0);
        m_pLog->BufferSize = Size;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) FreeBuffer() override { m_Buffer.clear(); }
    STDMETHODIMP_(ULONG) TransferCount() override { return ULONG(m_Buffer.size()); }
    STDMETHODIMP_(ULONG) MaximumBufferSize() override { return ULONG(m_Buffer.size()); }
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return ULONG(m_Buffer.size()); }
    STDMETHODIMP_(ULONG) BufferSize() override { return ULONG(m_Buffer.size()); }
    STDMETHODIMP_(void) SetBufferSize(ULONG) override {}
    STDMETHODIMP_(PVOID) SystemAddress() override { return m_Buffer.data(); }
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override { return PHYSICAL_ADDRESS{}; }
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
    STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG Count) override
    {
        std::memcpy(Destination, Source, Count);
    }
    STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG Count) override
    {
        std::memcpy(Destination, Source, Count);
    }

private:
    static KDEFERRED_ROUTINE TickDpc;
    void Tick();
    void StopTicks();

    CTestWaveMiniport* m_pMiniport; // referenced
    WaveMiniportConfig m_Config;
    WaveMiniportLog* m_pLog;
    WAVEFORMATEX m_Format;
    PSERVICEGROUP m_pGroup; // referenced
    std::vector<UCHAR> m_Buffer;
    KSSTATE m_State = KSSTATE_STOP;
    ULONGLONG m_Position = 0; // bytes since the stream last left STOP or ACQUIRE
    KSPIN_LOCK m_Lock;
    KTIMER m_Timer;
    KDPC m_Dpc;
};

// Whether a client range asks for what the double's range offers.
bool RangeFits(const KSDATARANGE_AUDIO& Own, PKSDATARANGE Client)
{
    if (Client->FormatSize < sizeof(KSDATARANGE_AUDIO))
        return false;
    KSDATARANGE_AUDIO c;
    std::memcpy(&c, Client, sizeof(c));
    return c.MaximumChannels <= Own.MaximumChannels && c.MinimumBitsPerSample >= Own.MinimumBitsPerSample &&
           c.MaximumBitsPerSample <= Own.MaximumBitsPerSample &&
           c.MinimumSampleFrequency >= Own.MinimumSampleFrequency &&
           c.MaximumSampleFrequency <= Own.MaximumSampleFrequency;
}

class CTestWaveMiniport : public IMiniportWaveCyclic, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    CTestWaveMiniport(const WaveMiniportConfig* Config, WaveMiniportLog* Log);
    ~CTestWaveMiniport() override
    {
        m_pLog->Calls.push_back("destroyed");
        if (m_pPort)
            m_pPort->Release();
    }

    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* Description) override
    {
        m_pLog->Calls.push_back("GetDescription");
        *Description = &m_Filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE Client, PKSDATARANGE, ULONG Length, PVOID Result,
                          PULONG ResultLength) override
    {
        m_pLog->Calls.push_back("Intersect");
        if (!NT_SUCCESS(m_pConfig->IntersectionStatus))
            return m_pConfig->IntersectionStatus;
        if (!RangeFits(m_Range, Client))
            return STATUS_NO_MATCH;
        *ResultLength = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
        if (Length < *ResultLength)
            return STATUS_BUFFER_TOO_SMALL;
        std::memset(Result, 0, *ResultLength);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC Port) override
    {
        m_pLog->Calls.push_back("Init");
        m_pLog->Port = Port;
        m_pPort = Port;
        Port->AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN Capture,
              PKSDATAFORMAT DataFormat, PDMACHANNEL* Dma, PSERVICEGROUP* Group) override;

    PPORTWAVECYCLIC Port() { return m_pPort; }
    WaveMiniportLog* Log() { return m_pLog; }

private:
    const WaveMiniportConfig* m_pConfig;
    WaveMiniportLog* m_pLog;
    PPORTWAVECYCLIC m_pPort = nullptr;
    KSDATARANGE_AUDIO m_Range;
    PKSDATARANGE m_pRanges[1];
    KSPIN_INTERFACE m_Interface;
    PCPIN_DESCRIPTOR m_Pins[2];
    PCNODE_DESCRIPTOR m_Node;
    PCCONNECTION_DESCRIPTOR m_Connections[2];
    GUID m_Categories[2];
    PCFILTER_DESCRIPTOR m_Filter;
};

CTestWaveMiniport::CTestWaveMiniport(const WaveMiniportConfig* Settings, WaveMiniportLog* Log)
    : CUnknown(nullptr), m_pConfig(Settings), m_pLog(Log)
{
    const WaveMiniportConfig& Config = *Settings;
    bool capture = Config.Flow == KSPIN_DATAFLOW_OUT;
    m_Range = {};
    m_Range.DataRange = {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO,
                          KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX}};
    m_Range.MaximumChannels = Config.MaxChannels;
    m_Range.MinimumBitsPerSample = Config.MinBits;
    m_Range.MaximumBitsPerSample = Config.MaxBits;
    m_Range.MinimumSampleFrequency = Config.MinRate;
    m_Range.MaximumSampleFrequency = Config.MaxRate;
    m_pRanges[0] = &m_Range.DataRange;
    m_Interface = {};
    m_Interface.Set = KSINTERFACESETID_Standard;
    m_Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    std::memset(m_Pins, 0, sizeof(m_Pins));
    m_Pins[0].MaxGlobalInstanceCount = m_Pins[0].MaxFilterInstanceCount = Config.MaxInstances;
    KSPIN_DESCRIPTOR& stream = m_Pins[0].KsPinDescriptor;
    stream.InterfacesCount = 1;
    stream.Interfaces = &m_Interface;
    stream.DataRangesCount = 1;
    stream.DataRanges = m_pRanges;
    stream.DataFlow = Config.Flow;
    stream.Communication = KSPIN_COMMUNICATION_SINK;
    stream.Category = &KSCATEGORY_AUDIO;
    KSPIN_DESCRIPTOR& bridge = m_Pins[1].KsPinDescriptor;
    bridge.DataFlow = capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    bridge.Communication = KSPIN_COMMUNICATION_NONE;
    bridge.Category = &KSCATEGORY_AUDIO;
    m_Node = {0, nullptr, capture ? &KSNODETYPE_ADC : &KSNODETYPE_DAC, nullptr};
    //   render:  pin 0 (stream) --> [0 DAC] --> pin 1 (bridge)
    //   capture: pin 1 (bridge) --> [0 ADC] --> pin 0 (stream)
    m_Connections[0] = {PCFILTER_NODE, capture ? 1u : 0u, 0, 1};
    m_Connections[1] = {0, 0, PCFILTER_NODE, capture ? 0u : 1u};
    m_Categories[0] = KSCATEGORY_AUDIO;
    m_Categories[1] = capture ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER;
    m_Filter = {0,
                nullptr,
                sizeof(PCPIN_DESCRIPTOR),
                2,
                m_Pins,
                sizeof(PCNODE_DESCRIPTOR),
                1,
                &m_Node,
                2,
                m_Connections,
                2,
                m_Categories};
}

STDMETHODIMP_(NTSTATUS) CTestWaveMiniport::NonDelegatingQueryInterface(REFIID Id, PVOID* Out)
{
    if (IsEqualGUID(Id, IID_IMiniport) || IsEqualGUID(Id, IID_IMiniportWaveCyclic))
    {
        *Out = static_cast<IMiniportWaveCyclic*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(Id, Out);
}

STDMETHODIMP_(NTSTATUS)
CTestWaveMiniport::NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN Capture,
                             PKSDATAFORMAT DataFormat, PDMACHANNEL* Dma, PSERVICEGROUP* Group)
{
    m_pLog->Calls.push_back("NewStream");
    m_pLog->Capture = Capture;
    if (m_pLog->Streams >= m_pConfig->MaxStreams)
        return STATUS_INSUFFICIENT_RESOURCES;
    WAVEFORMATEX format;
    std::memcpy(&format, reinterpret_cast<PUCHAR>(DataFormat) + sizeof(KSDATAFORMAT), sizeof(format));
    PSERVICEGROUP group = nullptr;
    NTSTATUS status = PcNewServiceGroup(&group, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    auto* stream = new (NonPagedPool, kTag) CTestWaveStream(this, *m_pConfig, m_pLog, format, group);
    group->Release();
    stream->NonDelegatingAddRef();
    *Stream = static_cast<IMiniportWaveCyclicStream*>(stream);
    *Dma = static_cast<IDmaChannel*>(stream);
    (*Dma)->AddRef();
    *Group = group;
    group->AddRef();
    m_pLog->Group = group;
    return STATUS_SUCCESS;
}

CTestWaveStream::CTestWaveStream(CTestWaveMiniport* Miniport, const WaveMiniportConfig& Config,
                                 WaveMiniportLog* Log, const WAVEFORMATEX& Format, PSERVICEGROUP Group)
    : CUnknown(nullptr), m_pMiniport(Miniport), m_Config(Config), m_pLog(Log), m_Format(Format),
      m_pGroup(Group)
{
    m_pMiniport->AddRef();
    m_pGroup->AddRef();
    KeInitializeSpinLock(&m_Lock);
    KeInitializeTimerEx(&m_Timer, NotificationTimer);
    KeInitializeDpc(&m_Dpc, TickDpc, this);
    ++m_pLog->Streams;
    // 50 ms of the format, like the driver's stream.
    AllocateBuffer(m_Format.nAvgBytesPerSec / 20, nullptr);
}

CTestWaveStream::~CTestWaveStream()
{
    StopTicks();
    m_pLog->Calls.push_back("stream destroyed");
    --m_pLog->Streams;
    m_pGroup->Release();
    m_pMiniport->Release();
}

STDMETHODIMP_(NTSTATUS) CTestWaveStream::NonDelegatingQueryInterface(REFIID Id, PVOID* Out)
{
    if (IsEqualGUID(Id, IID_IMiniportWaveCyclicStream))
        *Out = static_cast<IMiniportWaveCyclicStream*>(this);
    else if (IsEqualGUID(Id, IID_IDmaChannel))
        *Out = static_cast<IDmaChannel*>(this);
    else
        return CUnknown::NonDelegatingQueryInterface(Id, Out);
    AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTestWaveStream::SetFormat(PKSDATAFORMAT DataFormat)
{
    m_pLog->Calls.push_back("SetFormat");
    if (m_State == KSSTATE_RUN)
        return STATUS_UNSUCCESSFUL;
    std::memcpy(&m_Format, reinterpret_cast<PUCHAR>(DataFormat) + sizeof(KSDATAFORMAT), sizeof(m_Format));
    m_Position = 0; // a new buffer starts at its beginning
    return AllocateBuffer(m_Format.nAvgBytesPerSec / 20, nullptr);
}

STDMETHODIMP_(NTSTATUS) CTestWaveStream::SetState(KSSTATE State)
{
    m_pLog->Calls.push_back("SetState " + std::to_string(State));
    if (int(State) == m_Config.FailState)
        return m_Config.FailStateStatus;
    if (State == KSSTATE_RUN)
    {
        LARGE_INTEGER due;
        due.QuadPart = -LONGLONG(m_Config.TickMs) * 10000;
        KeSetTimerEx(&m_Timer, due, LONG(m_Config.TickMs), &m_Dpc);
    }
    else if (m_State == KSSTATE_RUN)
        StopTicks();
    if (State <= KSSTATE_ACQUIRE || (State == KSSTATE_RUN && m_Config.RestartOnRun))
        m_Position = 0;
    m_State = State;
    return STATUS_SUCCESS;
}

void CTestWaveStream::StopTicks()
{
    KeCancelTimer(&m_Timer);
    KeFlushQueuedDpcs();
}

VOID CTestWaveStream::TickDpc(PKDPC, PVOID Context, PVOID, PVOID)
{
    static_cast<CTestWaveStream*>(Context)->Tick();
}

// DISPATCH_LEVEL: one tick of the device's clock.
void CTestWaveStream::Tick()
{
    ULONG bytes = m_Format.nAvgBytesPerSec * m_Config.TickMs / 1000;
    bytes -= bytes % (m_Format.nBlockAlign ? m_Format.nBlockAlign : 1);
    KeAcquireSpinLockAtDpcLevel(&m_Lock);
    for (ULONG i = 0; i < bytes; ++i)
    {
        UCHAR& slot = m_Buffer[(m_Position + i) % m_Buffer.size()];
        if (m_Config.Flow == KSPIN_DATAFLOW_IN)
            m_pLog->Rendered.push_back(slot);
        else
            slot = CaptureByte(m_pLog->Captured++);
    }
    m_Position += bytes;
    m_pLog->Position = ULONG(m_Position % m_Buffer.size());
    m_pLog->InNotify = true;
    m_pMiniport->Port()->Notify(m_pGroup);
    m_pLog->InNotify = false;
    KeReleaseSpinLockFromDpcLevel(&m_Lock);
}

} // namespace

PUNKNOWN CreateTestWaveMiniport(const WaveMiniportConfig* Config, WaveMiniportLog* Log)
{
    auto* miniport = new (NonPagedPool, kTag) CTestWaveMiniport(Config, Log);
    miniport->NonDelegatingAddRef();
    return miniport->GetNonDelegatingUnknown();
}

CRecordingSink* CRecordingSink::Create(const WaveMiniportLog* Log)
{
    auto* sink = new (NonPagedPool, kTag) CRecordingSink(Log);
    sink->NonDelegatingAddRef();
    return sink;
}

STDMETHODIMP_(void) CRecordingSink::RequestService()
{
    Irqls.push_back(KeGetCurrentIrql());
    if (m_pLog->InNotify)
        ++CallsInsideNotify;
}

STDMETHODIMP_(NTSTATUS) CRecordingSink::NonDelegatingQueryInterface(REFIID Id, PVOID* Out)
{
    if (IsEqualGUID(Id, IID_IServiceSink))
    {
        *Out = static_cast<IServiceSink*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(Id, Out);
}

} // namespace doubles
