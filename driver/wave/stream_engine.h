// CStreamEngine: the base of every stream object (streaming endpoint). On top of the graph
// records of CStreamGraph it keeps the endpoint's name, installs and removes the endpoint's
// wave subdevice and its physical connection to the topology filter as the terminal's jack
// state asks, matches client formats against the format list, and owns the endpoint's named
// callback object and the client lists that the USB stream class fills.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "driver/core/mutex_lock.h"
#include "driver/core/stream_graph.h"
#include "driver/wave/cyclic_control.h"
#include "driver/core/miniport_subdevice_if.h"

// The name buffer (paged pool) and the nine list headers carry STREAM_POOL_TAG ("Stre").

// The wave filter's pin that carries the endpoint's audio to or from the topology filter.
constexpr ULONG STREAM_WAVE_BRIDGE_PIN = 1;

// One pipeline pass converts at most this many frames of at most STREAM_CHANNEL_BUFFER_COUNT
// channels: what the channel buffers hold.
constexpr ULONG PIPELINE_PASS_FRAMES = STREAM_CHANNEL_BUFFER_BYTES / sizeof(float);

// The id of the endpoint's own terminal node: the streaming-type terminal at the host end of
// its path (an input terminal for render, an output terminal for capture); the last one listed
// wins. FALSE when the stream's path has none. PASSIVE_LEVEL.
BOOLEAN FindStreamingTerminalNode(IStreamEngine* Stream, PULONG NodeId);

// {DEE60FA9-827B-4CA2-8C7E-3525C40B00F9}
DEFINE_GUID(IID_IPipelineObject, 0xDEE60FA9, 0x827B, 0x4CA2, 0x8C, 0x7E, 0x35, 0x25, 0xC4, 0x0B, 0x00, 0xF9);

// A processing object that a client hands to StartClient for list B or C of the pipeline.
// The pipeline calls ProcessEarly on the objects of list B and ProcessLate on those of list C,
// after the processing nodes, with the float channel buffers of each PCM pass; the arguments
// and the meaning of a negative result are those of IDspNode::Process. DISPATCH_LEVEL, under
// the stream spin lock.
DECLARE_INTERFACE_(IPipelineObject, IUnknown)
{
    STDMETHOD_(NTSTATUS, ProcessEarly)(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) PURE;
    STDMETHOD_(NTSTATUS, ProcessLate)(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) PURE;
};
typedef IPipelineObject* PPIPELINEOBJECT;

// Interleaved samples of Format to and from one float buffer per channel (full scale 1.0),
// through Scratch (Frames x nChannels floats). 16- and 32-bit samples scale by 2^-15 and
// 2^-31; packed 24-bit by 2^-23. Back to 16 and 32 bits rounds toward zero, to 24 bits to
// nearest with ties to even; all three saturate. 32-bit IEEE float samples move as they are.
// Other sample sizes are not converted: the
// channel buffers then read silence and the interleaved buffer is left as it is.
// STATUS_NOT_SUPPORTED for 0 or more than STREAM_CHANNEL_BUFFER_COUNT channels or more than
// PIPELINE_PASS_FRAMES frames, nothing touched. The caller sets the float modes. Any IRQL.
NTSTATUS ConvertToFloat(PVOID Source, float* const* Channels, float* Scratch, ULONG Frames,
                        PCWAVEFORMATEXTENSIBLE Format);
NTSTATUS ConvertFromFloat(PVOID Destination, float* const* Channels, float* Scratch, ULONG Frames,
                          PCWAVEFORMATEXTENSIBLE Format);

// A permanent callback object named by NameFormat, whose one %p takes Address, so that every
// endpoint has its own; at most 32 characters may stand before the address. PASSIVE_LEVEL.
NTSTATUS CreateAddressedCallback(PCWSTR NameFormat, PVOID Address, PCALLBACK_OBJECT* Object);

// Every IStreamEngine slot but the pipeline runs at PASSIVE_LEVEL; UpdateSubdevice,
// UnregisterSubdevice and the setters take no lock: StartDevice, the PnP handler and the power
// path serialise them.
class CStreamEngine : public CStreamGraph, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();

    CStreamEngine(PUNKNOWN UnknownOuter, ULONG StreamId);
    ~CStreamEngine() override; // PASSIVE_LEVEL, pageable; waits for the client lists to drain

    // IStreamEngine
    STDMETHODIMP_(NTSTATUS) SetName(PCWSTR Name) override;
    STDMETHODIMP_(NTSTATUS) GetName(PWSTR Buffer) override;
    STDMETHODIMP_(NTSTATUS) SetMiniportCreator(PFNCREATEWAVEMINIPORT Creator, REFCLSID PortClassId) override;
    STDMETHODIMP_(NTSTATUS) SetTopologyPort(PUNKNOWN TopologyPort, PUNKNOWN TopologyMiniport) override;
    STDMETHODIMP_(NTSTATUS)
    UpdateSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN AdapterUnknown) override;
    STDMETHODIMP_(NTSTATUS)
    UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN AdapterUnknown) override;
    STDMETHODIMP_(NTSTATUS) FindFormat(PWAVEFORMATEX Format) override;
    STDMETHODIMP_(NTSTATUS)
    RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) override;
    STDMETHODIMP_(NTSTATUS) UnregisterCallback(PVOID Registration) override;
    STDMETHODIMP_(NTSTATUS) PowerChangeState(ULONG NewState) override;
    // The sample pipeline; <= DISPATCH_LEVEL. Buffers are interleaved samples of
    // m_CurrentWaveFormat; a length that is not a whole number of frames is refused with
    // STATUS_UNSUCCESSFUL. ProcessBuffer, ProcessNodes, ProcessListB and ProcessListC take the
    // stream spin lock and run with flush-to-zero and round-to-nearest, restoring the caller's
    // MXCSR; the *Float slots are their steps and expect both done by the caller.
    STDMETHODIMP_(NTSTATUS) ProcessBuffer(PVOID Buffer, ULONG LengthBytes) override;
    STDMETHODIMP_(NTSTATUS) ProcessNodes(PVOID Buffer, ULONG LengthBytes) override;
    STDMETHODIMP_(NTSTATUS) ProcessNodesFloat(PVOID Buffer, ULONG Frames, USHORT FormatCode) override;
    STDMETHODIMP_(NTSTATUS) ProcessListB(PVOID Buffer, ULONG LengthBytes) override;
    STDMETHODIMP_(NTSTATUS) ProcessListBFloat(ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) ProcessListC(PVOID Buffer, ULONG LengthBytes) override;
    STDMETHODIMP_(NTSTATUS) ProcessListCFloat(ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Init(ULONG Capture) override;

    ULONG GetStreamId() const { return m_nStreamId; }

    // The client lists, keyed by StreamClient::Registration; the open and started lists are
    // ordered by descending priority. Each takes the stream spin lock; <= DISPATCH_LEVEL.
    // Inserts refuse a priority already on the list (STATUS_INVALID_PARAMETER).
    NTSTATUS AddRegisteredClient(StreamClient* Client);
    StreamClient* FindRegisteredClient(PVOID ClientKey);
    StreamClient* RemoveRegisteredClient(PVOID ClientKey);
    NTSTATUS InsertOpenClient(StreamClient* Client);
    StreamClient* GetFirstOpenClient();
    StreamClient* FindOpenClient(PVOID ClientKey);
    StreamClient* RemoveOpenClient(PVOID ClientKey);
    NTSTATUS InsertStartedClient(StreamClient* Client);
    StreamClient* GetFirstStartedClient();
    StreamClient* FindStartedClient(PVOID ClientKey);
    StreamClient* RemoveStartedClient(PVOID ClientKey);
    // Lists B and C hold one reference on each object. Remove: STATUS_UNSUCCESSFUL when the
    // object is not on the list. Drain releases every object; PASSIVE_LEVEL (a last release
    // may run pageable teardown), as are the removes.
    NTSTATUS AddToListB(PPIPELINEOBJECT Object);
    NTSTATUS AddToListC(PPIPELINEOBJECT Object);
    NTSTATUS RemoveFromListB(PPIPELINEOBJECT Object);
    NTSTATUS RemoveFromListC(PPIPELINEOBJECT Object);
    VOID DrainListB();
    VOID DrainListC();

protected:
    ULONG m_nStreamId;    // the streaming interface's number
    PWSTR m_pName;        // STREAM_NAME_BUFFER_CHARS characters
    PUNKNOWN m_pWavePort; // null while no wave subdevice is installed
    GUID m_PortClassId;
    PFNCREATEWAVEMINIPORT m_pMiniportCreator;
    PUNKNOWN m_pTopologyPort;                        // referenced
    PMINIPORTSUBDEVICE m_pTopologyMiniportSubdevice; // not referenced: the topology port keeps it
    ULONG m_nTopologyPin;
    // StreamClient records of the USB stream; changed under m_StreamLock.
    CPointerList* m_pRegisteredClients;
    CPointerList* m_pOpenClients;
    CPointerList* m_pStartedClients;
    // Processing objects of the pipeline, one reference each; changed under m_StreamLock.
    CPointerList* m_pListB;
    CPointerList* m_pListC;
    CMutexLock m_Lock;                  // the stream class's client and stream slots
    KSPIN_LOCK m_StreamLock;            // the client lists and a whole pipeline pass
    PCALLBACK_OBJECT m_pCallbackObject; // "\Callback\StreamEngineAddr%p"
    // The format the stream runs at; set by the stream class before it starts streaming.
    WAVEFORMATEXTENSIBLE m_CurrentWaveFormat;

private:
    NTSTATUS CountFrames(ULONG LengthBytes, PULONG Frames);
    ULONG PendingStages(ULONG Stages);
    NTSTATUS RunPipeline(PVOID Buffer, ULONG LengthBytes, ULONG Stages);
    NTSTATUS RunPasses(PUCHAR Buffer, ULONG Frames, ULONG Stages);
    NTSTATUS RunPcmPass(PUCHAR Buffer, ULONG Frames, ULONG Stages);
    BOOLEAN HasPcmBuffers();
    NTSTATUS WalkObjects(CPointerList* List, BOOLEAN Late, ULONG Frames);
    NTSTATUS InsertByPriority(CPointerList* List, StreamClient* Client);
    StreamClient* FindClient(CPointerList* List, PVOID ClientKey, BOOLEAN Remove);
    StreamClient* FirstClient(CPointerList* List);
    NTSTATUS AddObject(CPointerList* List, PPIPELINEOBJECT Object);
    NTSTATUS RemoveObject(CPointerList* List, PPIPELINEOBJECT Object);
    NTSTATUS CreateEngineLists();
    VOID FreeEngineLists();
    NTSTATUS CreateCallbackObject();
    VOID FreeEngine();
    VOID WaitForClientsToLeave();
    VOID ReleaseProcessingObjects(CPointerList* List);
    BOOLEAN IsJackConnected();
    BOOLEAN IsTerminalConnected(ITerminalNode* Terminal);
    BOOLEAN OffersWaveFormat();
    NTSTATUS FindEndpointIndex(PUNKNOWN AdapterUnknown, PULONG Index);
    NTSTATUS CreateWaveSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN AdapterUnknown);
    NTSTATUS CheckTopologyPin();
    NTSTATUS RegisterMiniportSubdevice(PDEVICE_OBJECT DeviceObject, PPORT Port, PUNKNOWN Miniport);
    NTSTATUS RegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject);
    NTSTATUS WithdrawWaveSubdevice(PDEVICE_OBJECT DeviceObject);
};
