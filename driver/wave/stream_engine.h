// CStreamEngine: the base of every stream object (streaming endpoint). On top of the graph
// records of CStreamGraph it keeps the endpoint's name, installs and removes the endpoint's
// wave subdevice and its physical connection to the topology filter as the terminal's jack
// state asks, matches client formats against the format list, and owns the endpoint's named
// callback object and the client lists that the USB stream class fills.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "driver/adapter/mutex_lock.h"
#include "driver/adapter/stream_graph.h"
#include "driver/topology/miniport/miniport_subdevice_if.h"

// The name buffer (paged pool) and the nine list headers carry STREAM_POOL_TAG ("Stre").

// The wave filter's pin that carries the endpoint's audio to or from the topology filter.
constexpr ULONG STREAM_WAVE_BRIDGE_PIN = 1;

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
    // The sample pipeline (DISPATCH_LEVEL) comes with the streaming work; until then every pass
    // is refused with STATUS_NOT_SUPPORTED.
    STDMETHODIMP_(NTSTATUS) ProcessBuffer(PVOID Buffer, ULONG LengthBytes) override;
    STDMETHODIMP_(NTSTATUS) ProcessNodes(PVOID Buffer, ULONG LengthBytes) override;
    STDMETHODIMP_(NTSTATUS) ProcessNodesFloat(PVOID Buffer, ULONG Frames, USHORT FormatCode) override;
    STDMETHODIMP_(NTSTATUS) ProcessListB(PVOID Buffer, ULONG LengthBytes) override;
    STDMETHODIMP_(NTSTATUS) ProcessListBFloat(ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) ProcessListC(PVOID Buffer, ULONG LengthBytes) override;
    STDMETHODIMP_(NTSTATUS) ProcessListCFloat(ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Init(ULONG Capture) override;

    ULONG GetStreamId() const { return m_nStreamId; }

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

private:
    NTSTATUS CreateEngineLists();
    VOID FreeEngineLists();
    NTSTATUS CreateCallbackObject();
    VOID FreeEngine();
    VOID WaitForClientsToLeave();
    VOID ReleaseProcessingObjects(CPointerList* List);
    BOOLEAN IsJackConnected();
    BOOLEAN IsTerminalConnected(ITerminalNode* Terminal);
    NTSTATUS FindEndpointIndex(PUNKNOWN AdapterUnknown, PULONG Index);
    NTSTATUS CreateWaveSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN AdapterUnknown);
    NTSTATUS RegisterMiniportSubdevice(PDEVICE_OBJECT DeviceObject, PPORT Port, PUNKNOWN Miniport);
    NTSTATUS RegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject);
    NTSTATUS WithdrawWaveSubdevice(PDEVICE_OBJECT DeviceObject);
};
