// CAudioHal: the base of the device object and of every audio function object. It owns what
// each of them has in common: the topology node and stream lists, the named callback object
// on which control changes are announced, the device stack and the device power state.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "driver/core/adapter_common.h"
#include "driver/core/pointer_list.h"
#include "driver/core/topology_node_if.h"
#include "driver/core/stream_engine_if.h"

// Node and stream list headers (non-paged pool) and the path scratch of BuildConnections.
#define AUDIO_HAL_POOL_TAG MAKE_POOL_TAG('H', 'A', 'L', 'B')
// The callback object's name while it is being created (paged pool).
#define AUDIO_HAL_NAME_POOL_TAG MAKE_POOL_TAG('T', 'e', 'm', 'p')

// A selector with more sources than this is not linked to the nodes upstream of it.
constexpr ULONG AUDIO_HAL_MAX_SELECTOR_INPUTS = 10;

// Sends the control-change record for NodeId on a device's callback object: the status
// interrupt handlers and the control nodes announce value and pin-type changes this way.
// <= DISPATCH_LEVEL; listeners run in the caller's context.
VOID AudioHalNotifyControlChange(PCALLBACK_OBJECT CallbackObject, ULONG NodeId);

// Derived classes fill the lists in InitHardware (AddNode, AddStream) before BuildConnections
// links the selector paths. No lock: the lists are built during Init at PASSIVE_LEVEL and only
// read afterwards. Every slot runs at PASSIVE_LEVEL.
class CAudioHal : public IAdapterCommon, public IAdapterPowerManagement, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();

    explicit CAudioHal(PUNKNOWN UnknownOuter);
    ~CAudioHal() override; // PASSIVE_LEVEL, pageable

    // IAdapterCommon
    STDMETHODIMP_(NTSTATUS) GetEndpointCaps(ULONG EndpointIndex, EndpointCaps* Caps) override;
    STDMETHODIMP_(NTSTATUS) GetComponentId(PKSCOMPONENTID ComponentId) override;
    STDMETHODIMP_(ULONG) GetStreamCount() override;
    STDMETHODIMP_(NTSTATUS) GetStream(ULONG Index, IStreamEngine** Stream) override;
    STDMETHODIMP_(ULONG) GetNodeCount() override;
    STDMETHODIMP_(NTSTATUS) GetNode(ULONG Index, ITopologyNode** Node) override;
    STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override;
    STDMETHODIMP_(NTSTATUS)
    Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT FunctionalDeviceObject, PDEVICE_OBJECT LowerDeviceObject,
         PDEVICE_OBJECT PhysicalDeviceObject) override;
    STDMETHODIMP_(NTSTATUS) Start() override;
    STDMETHODIMP_(NTSTATUS) Stop() override;
    STDMETHODIMP_(NTSTATUS)
    RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) override;
    STDMETHODIMP_(NTSTATUS) UnregisterCallback(PVOID Registration) override;
    STDMETHODIMP_(NTSTATUS) WakeForAccess(PIRP Irp) override;
    STDMETHODIMP_(NTSTATUS) InitHardware() override;
    STDMETHODIMP_(NTSTATUS) BuildConnections() override;
    STDMETHODIMP_(NTSTATUS) GetEndpointCapsByType(ULONG Capture, ULONG Type, EndpointCaps* Caps) override;

    // IAdapterPowerManagement
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery) override;
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) override;

    // Graph helpers for the descriptor walks. Each list entry holds one reference; a failed
    // append releases the reference it took.
    NTSTATUS AddNode(ITopologyNode* Node);
    NTSTATUS AddStream(IStreamEngine* Stream);
    // The last node with that id wins; no reference is added.
    NTSTATUS FindNodeById(ULONG Id, ITopologyNode** Node);
    // Every node writes its cached values to the device, in list order, up to the first failure.
    NTSTATUS RestoreNodeValues();

protected:
    VOID ReleaseNodes();
    VOID ReleaseStreams();

    PDEVICE_OBJECT m_pFunctionalDeviceObject;
    PDEVICE_OBJECT m_pLowerDeviceObject;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    DEVICE_POWER_STATE m_DevicePowerState;
    PCALLBACK_OBJECT m_pCallbackObject; // "\Callback\AudioHalAddr%p", from Init to the destructor
    CPointerList* m_pNodeList;          // ITopologyNode*
    CPointerList* m_pStreamList;        // IStreamEngine*
    EndpointCaps m_EndpointCaps;        // filled by the derived class's InitHardware

private:
    NTSTATUS CreateLists();
    VOID FreeLists();
    NTSTATUS CreateCallbackObject();
    VOID LinkSelectorInputs(ITopologyNode* Selector, ITopologyNode** Path, ULONG PathRoom);
    VOID LinkSelectorPath(ULONG InputIndex, ISelectorNode* Selector, ULONG SourceId, ITopologyNode** Path,
                          ULONG PathRoom);
};
