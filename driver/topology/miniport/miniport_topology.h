// CMiniportTopology: the one topology miniport of a device. It turns the device's topology
// nodes into the KS topology filter (one pin per terminal, one node per control node, the
// connections found upstream of every output terminal), answers the filter's property
// requests and raises the control-change event when the device reports a changed value.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "ksmedia.h"

#include "driver/core/adapter_common.h"
#include "driver/core/miniport_subdevice_if.h"
#include "driver/core/topology_node_if.h"
#include "driver/core/vendor_audio_props.h"

// The filter descriptor, its arrays, the records and the subdevice name (paged).
#define MINIPORT_TOPOLOGY_POOL_TAG MAKE_POOL_TAG('T', 'O', 'P', 'O')
// The jack records a jack property reads from its terminal (paged, freed at once).
#define MINIPORT_TOPOLOGY_TEMP_POOL_TAG MAKE_POOL_TAG('T', 'e', 'm', 'p')

// The subdevice name: "Global" and "Topo", in this many characters with the terminator.
constexpr ULONG TOPOLOGY_SUBDEVICE_NAME_CCH = 51;

// ---- Private property sets ---------------------------------------------------------------

// KSPROPSETID_VendorAudio (driver/core/vendor_audio_props.h): ids 1 and 5 belong to the wave filters.
// {A210D309-0822-456B-BD3C-2196567CADA7}
DEFINE_GUID(KSPROPSETID_PinGuids, 0xA210D309, 0x0822, 0x456B, 0xBD, 0x3C, 0x21, 0x96, 0x56, 0x7C, 0xAD, 0xA7);
// {00A34C4A-26E6-4095-98E9-77FAE2F11FB6}
DEFINE_GUID(KSPROPSETID_NodeName, 0x00A34C4A, 0x26E6, 0x4095, 0x98, 0xE9, 0x77, 0xFA, 0xE2, 0xF1, 0x1F, 0xB6);
// {ED76304D-B322-4ECB-9B9E-8E13C1465F04}
DEFINE_GUID(KSPROPSETID_PinTypeSelector, 0xED76304D, 0xB322, 0x4ECB, 0x9B, 0x9E, 0x8E, 0x13, 0xC1, 0x46, 0x5F,
            0x04);
// {369C31B9-34E6-4640-99B6-ADD16CF11994}: also the name every effect node answers.
DEFINE_GUID(KSPROPSETID_EffectNode, 0x369C31B9, 0x34E6, 0x4640, 0x99, 0xB6, 0xAD, 0xD1, 0x6C, 0xF1, 0x19,
            0x94);
// {561BABB8-E02F-4500-9BEF-E0BE8B7C4630}: the set, and the name, of kind-20 nodes.
DEFINE_GUID(KSPROPSETID_Kind20Node, 0x561BABB8, 0xE02F, 0x4500, 0x9B, 0xEF, 0xE0, 0xBE, 0x8B, 0x7C, 0x46,
            0x30);

// KSPROPSETID_VendorAudio
constexpr ULONG KSPROPERTY_VENDORAUDIO_VERSION = 2;
constexpr ULONG KSPROPERTY_VENDORAUDIO_LEVEL = 3; // a level set that also raises the change event
constexpr ULONG KSPROPERTY_VENDORAUDIO_JACKS = 4;
constexpr ULONG VENDOR_AUDIO_VERSION = 0x30000;
// KSPROPSETID_PinGuids, KSPROPSETID_NodeName
constexpr ULONG KSPROPERTY_PINGUIDS_GUIDS = 1;
constexpr ULONG KSPROPERTY_NODENAME_NAME = 1;
// KSPROPSETID_PinTypeSelector
constexpr ULONG KSPROPERTY_PINTYPESELECTOR_LIST = 1;
constexpr ULONG KSPROPERTY_PINTYPESELECTOR_CURRENT = 2;
// KSPROPSETID_EffectNode
constexpr ULONG KSPROPERTY_EFFECTNODE_NAME = 1;
constexpr ULONG KSPROPERTY_EFFECTNODE_PARAMETER_COUNT = 2;
constexpr ULONG KSPROPERTY_EFFECTNODE_PARAMETER_INFO = 3; // three words describing one parameter
constexpr ULONG KSPROPERTY_EFFECTNODE_PARAMETERS = 4;

// ---- Node and pin names ------------------------------------------------------------------

// {BAE3AD68-0CB6-4A9A-94B5-0BB628C41D7A}
DEFINE_GUID(NODENAME_INPUT_GAIN_PAD, 0xBAE3AD68, 0x0CB6, 0x4A9A, 0x94, 0xB5, 0x0B, 0xB6, 0x28, 0xC4, 0x1D,
            0x7A);
// {0D18F5A4-5721-4A07-92E5-843099FA8FDB}
DEFINE_GUID(NODENAME_PIN_TYPE_SELECTOR, 0x0D18F5A4, 0x5721, 0x4A07, 0x92, 0xE5, 0x84, 0x30, 0x99, 0xFA, 0x8F,
            0xDB);
// {97491449-E534-4A7E-B14F-941B207D586D}
DEFINE_GUID(NODENAME_KIND15, 0x97491449, 0xE534, 0x4A7E, 0xB1, 0x4F, 0x94, 0x1B, 0x20, 0x7D, 0x58, 0x6D);
// {2BC31D6A-96E3-11D2-AC4C-00C04F8EFB68}
DEFINE_GUID(NODENAME_KIND16, 0x2BC31D6A, 0x96E3, 0x11D2, 0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68);
// {A63DF7EA-8A37-450D-832C-5B9064235851}
DEFINE_GUID(NODENAME_KIND17, 0xA63DF7EA, 0x8A37, 0x450D, 0x83, 0x2C, 0x5B, 0x90, 0x64, 0x23, 0x58, 0x51);
// {FDA49636-C86D-4E91-A707-A1252E3F19E6}: kinds 18 and 19.
DEFINE_GUID(NODENAME_VENDOR_SWITCH, 0xFDA49636, 0xC86D, 0x4E91, 0xA7, 0x07, 0xA1, 0x25, 0x2E, 0x3F, 0x19,
            0xE6);
// {DB357A6F-C4B1-4390-8C07-CBDFA9D5C047}
DEFINE_GUID(NODENAME_VARIANT_A_SWITCH, 0xDB357A6F, 0xC4B1, 0x4390, 0x8C, 0x07, 0xCB, 0xDF, 0xA9, 0xD5, 0xC0,
            0x47);

// {12C15946-BA58-42C1-9F11-8341E2198622}
DEFINE_GUID(PINNAME_SPDIF_OUT, 0x12C15946, 0xBA58, 0x42C1, 0x9F, 0x11, 0x83, 0x41, 0xE2, 0x19, 0x86, 0x22);
// {017D895C-7AE7-4F4D-B78C-CD1FFC0CE776}
DEFINE_GUID(PINNAME_SPDIF_IN, 0x017D895C, 0x7AE7, 0x4F4D, 0xB7, 0x8C, 0xCD, 0x1F, 0xFC, 0x0C, 0xE7, 0x76);
// {387BFC03-E7EF-4901-86E0-35B7C32B00EF}
DEFINE_GUID(PINNAME_HDMI, 0x387BFC03, 0xE7EF, 0x4901, 0x86, 0xE0, 0x35, 0xB7, 0xC3, 0x2B, 0x00, 0xEF);
// {21FBB329-1A4A-48DA-A076-2318A3C59B26}
DEFINE_GUID(PINNAME_DISPLAYPORT, 0x21FBB329, 0x1A4A, 0x48DA, 0xA0, 0x76, 0x23, 0x18, 0xA3, 0xC5, 0x9B, 0x26);
// {5F4BB488-A646-408A-9265-8647F9C374D4}
DEFINE_GUID(PINNAME_AUX, 0x5F4BB488, 0xA646, 0x408A, 0x92, 0x65, 0x86, 0x47, 0xF9, 0xC3, 0x74, 0xD4);
// {8C5716E6-C984-492E-A2FB-1385F2D0F3C9}
DEFINE_GUID(PINNAME_STEREO_MIX, 0x8C5716E6, 0xC984, 0x492E, 0xA2, 0xFB, 0x13, 0x85, 0xF2, 0xD0, 0xF3, 0xC9);

// The system version from which Aux and StereoMix pins are analog connectors with names.
constexpr ULONG TOPOLOGY_NAMED_CONNECTOR_NTDDI = 0x06000000;

// ---- Automation tables (miniport_topology_tables.cpp) --------------------------------------

extern const PCAUTOMATION_TABLE FilterAutomation;
extern const PCAUTOMATION_TABLE VolumeNodeAutomation;
extern const PCAUTOMATION_TABLE ToneNodeAutomation;
extern const PCAUTOMATION_TABLE MuteNodeAutomation;
extern const PCAUTOMATION_TABLE AgcNodeAutomation;
extern const PCAUTOMATION_TABLE LoudnessNodeAutomation;
extern const PCAUTOMATION_TABLE MuxNodeAutomation;
extern const PCAUTOMATION_TABLE SingleInputSelectorAutomation;
extern const PCAUTOMATION_TABLE DevSpecificNodeAutomation;
extern const PCAUTOMATION_TABLE PinTypeSelectorAutomation;
extern const PCAUTOMATION_TABLE Kind20NodeAutomation;
extern const PCAUTOMATION_TABLE EffectNodeAutomation;

// Property and event handlers the tables name (topology_properties*.cpp). The port calls them
// at PASSIVE_LEVEL with the miniport as the request's major target.
NTSTATUS PropertyHandlerLevel(PPCPROPERTY_REQUEST Request);
NTSTATUS PropertyHandlerOnOff(PPCPROPERTY_REQUEST Request);
NTSTATUS PropertyHandlerMuxSource(PPCPROPERTY_REQUEST Request);
NTSTATUS PropertyHandlerDevSpecific(PPCPROPERTY_REQUEST Request);
NTSTATUS PropertyHandlerNodeName(PPCPROPERTY_REQUEST Request);
NTSTATUS PropertyHandlerVendorVersion(PPCPROPERTY_REQUEST Request);
NTSTATUS PropertyHandlerVendorJack(PPCPROPERTY_REQUEST Request);
NTSTATUS PropertyHandlerJack(PPCPROPERTY_REQUEST Request);
NTSTATUS PropertyHandlerPinGuids(PPCPROPERTY_REQUEST Request);
NTSTATUS ControlChangeEventHandler(PPCEVENT_REQUEST Request);

// The AudioHal callback through which the device's control changes reach the miniport
// (Context: the miniport; Argument1: an AudioHalNotification). Runs on the sender's thread.
VOID GenerateControlChangeEvent(PVOID Context, PVOID Argument1, PVOID Argument2);

// Creates the miniport from PoolType with its tag; Unknown gets its non-delegating IUnknown
// with one reference. PASSIVE_LEVEL.
NTSTATUS CreateMiniportTopology(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter,
                                POOL_TYPE PoolType);

// ---- Records ---------------------------------------------------------------------------

// One KS pin: a terminal node (one reference) at its position in the pin list.
struct TopologyPinRecord
{
    LIST_ENTRY ListEntry;
    ITopologyNode* Node;
    ULONG PinId;
    GUID Name; // the pin's name when the settings give one; the pin descriptor points here
};

// One KS node: a control node (one reference) at its position in the node list.
struct TopologyNodeRecord
{
    LIST_ENTRY ListEntry;
    ITopologyNode* Node;
    ULONG NodeId;
    GUID Name; // an effect node's own name; the node descriptor points here
};

// One edge of the filter graph; PCFILTER_NODE stands for the filter's own pins.
struct TopologyConnectionRecord
{
    LIST_ENTRY ListEntry;
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
};

// Init, the destructor and the property handlers run at PASSIVE_LEVEL; the records and the
// descriptor do not change between Init and destruction, so nothing here takes a lock.
class CMiniportTopology : public IMiniportTopology,
                          public IPowerNotify,
                          public IMiniportSubdevice,
                          public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();

    explicit CMiniportTopology(PUNKNOWN UnknownOuter);
    ~CMiniportTopology() override;

    // IMiniport, IMiniportTopology
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* OutFilterDescriptor) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                          ULONG OutputBufferLength, PVOID ResultantFormat,
                          PULONG ResultantFormatLength) override;
    STDMETHODIMP_(NTSTATUS)
    Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) override;

    // IPowerNotify
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override;

    // IMiniportSubdevice
    STDMETHODIMP_(NTSTATUS) FindPinId(PULONG NodeId, PULONG PinId) override;
    STDMETHODIMP_(NTSTATUS) GetSubdeviceName(PWSTR* Name) override;

    // Lookups of the handlers; each copies the record and reports whether one matched.
    BOOLEAN FindNodeRecordByIndex(ULONG NodeId, TopologyNodeRecord* Record);
    BOOLEAN FindPinRecordByIndex(ULONG PinId, TopologyPinRecord* Record);
    BOOLEAN FindNodeRecordById(ULONG TopologyNodeId, TopologyNodeRecord* Record);
    BOOLEAN FindPinRecordById(ULONG TopologyNodeId, TopologyPinRecord* Record);
    // Iterates the output-terminal pins in pin-list order: *Cursor null starts, and it is
    // advanced past the pin returned.
    BOOLEAN FindFirstOutputTerminalPin(PLIST_ENTRY* Cursor, TopologyPinRecord* Record);

    DEVICE_POWER_STATE GetPowerState() { return m_DevicePowerState; }

    // Node handlers (topology_properties.cpp), reached through the entry handlers.
    NTSTATUS PropertyLevel(PPCPROPERTY_REQUEST Request);
    NTSTATUS PropertyOnOff(PPCPROPERTY_REQUEST Request);
    NTSTATUS PropertyMuxSource(PPCPROPERTY_REQUEST Request);
    NTSTATUS PropertyDevSpecificLevel(PPCPROPERTY_REQUEST Request);
    NTSTATUS PropertyDevSpecificSwitch(PPCPROPERTY_REQUEST Request);
    NTSTATUS PropertyPinTypeSelector(PPCPROPERTY_REQUEST Request);
    NTSTATUS PropertyEffectNode(PPCPROPERTY_REQUEST Request);
    NTSTATUS PropertyDevSpecificDefault(PPCPROPERTY_REQUEST Request);
    NTSTATUS PropertyNodeName(PPCPROPERTY_REQUEST Request);
    NTSTATUS DispatchDevSpecific(PPCPROPERTY_REQUEST Request);
    // Effect nodes (topology_properties_effect.cpp) and pins (topology_properties_pins.cpp).
    NTSTATUS GetJackDescription(PPCPROPERTY_REQUEST Request);
    NTSTATUS GetJackDescription2(PPCPROPERTY_REQUEST Request);
    NTSTATUS PropertyPinGuids(PPCPROPERTY_REQUEST Request);
    NTSTATUS ControlChangeEvent(PPCEVENT_REQUEST Request);

    // Raises the KS control-change event of one KS node. Any thread, PASSIVE_LEVEL.
    VOID RaiseControlChange(ULONG KsNodeId);

private:
    // Set-up (miniport_topology_graph.cpp).
    NTSTATUS BuildPinRecords();
    NTSTATUS BuildNodeRecords();
    NTSTATUS BuildFilterDescriptor();
    NTSTATUS BuildPinDescriptors();
    NTSTATUS BuildNodeDescriptors();
    NTSTATUS WalkConnections();
    NTSTATUS WalkOutputPin(TopologyPinRecord* Pin, PUCHAR WalkState);
    NTSTATUS WalkConnectionsUpstream(TopologyNodeRecord* Record, PUCHAR WalkState);
    NTSTATUS WalkNodeSources(TopologyNodeRecord* Record, PUCHAR WalkState);
    NTSTATUS AddConnection(ULONG FromNode, ULONG FromNodePin, ULONG ToNode, ULONG ToNodePin);
    NTSTATUS BuildConnections();
    NTSTATUS DescribePin(ULONG Kind, ULONG PinType, PPCPIN_DESCRIPTOR Descriptor, TopologyPinRecord* Record);
    NTSTATUS DescribeNode(TopologyNodeRecord* Record, PPCNODE_DESCRIPTOR Descriptor);
    BOOLEAN ReadPinName(PCWSTR SettingWord, TopologyPinRecord* Record);
    VOID FreeDescriptors();
    VOID FreeRecords();
    NTSTATUS BuildSubdeviceName();

    // Handler helpers (topology_properties*.cpp).
    NTSTATUS QueryNode(PPCPROPERTY_REQUEST Request, REFIID InterfaceId, PVOID* Interface, PULONG Kind);
    // The frame of every node handler: QueryNode (Kind may be null), then Handle(node) and the
    // node's release; a node that cannot be queried fails the request with that status.
    template <class Interface, class Handler>
    NTSTATUS OnNode(PPCPROPERTY_REQUEST Request, REFIID InterfaceId, PULONG Kind, Handler Handle)
    {
        Interface* pNode = nullptr;
        NTSTATUS status = QueryNode(Request, InterfaceId, reinterpret_cast<PVOID*>(&pNode), Kind);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        status = Handle(pNode);
        pNode->Release();
        return status;
    }
    NTSTATUS PinTypeListReply(PPCPROPERTY_REQUEST Request, IPinTypeSelector* Selector);
    NTSTATUS EffectEnable(PPCPROPERTY_REQUEST Request, IEffectNode* Effect);
    NTSTATUS EffectGet(PPCPROPERTY_REQUEST Request, IEffectNode* Effect, ULONG ParameterCount);
    NTSTATUS EffectParametersReply(PPCPROPERTY_REQUEST Request, IEffectNode* Effect, ULONG ParameterCount);
    NTSTATUS EffectSetParameters(PPCPROPERTY_REQUEST Request, IEffectNode* Effect, ULONG ParameterCount);
    NTSTATUS QueryPinTerminal(PPCPROPERTY_REQUEST Request, ITerminalNode** Terminal);
    NTSTATUS JackReply(PPCPROPERTY_REQUEST Request, ITerminalNode* Terminal, BOOLEAN Description2);

    PPCFILTER_DESCRIPTOR m_pFilterDescriptor;
    PPCPIN_DESCRIPTOR m_pPinDescriptors;
    PPCNODE_DESCRIPTOR m_pNodeDescriptors;
    PPCCONNECTION_DESCRIPTOR m_pConnectionDescriptors;
    PPORTTOPOLOGY m_pPort;
    PPORTEVENTS m_pPortEvents;
    PWSTR m_pSubdeviceName;
    PVOID m_pCallbackRegistration;
    PADAPTERCOMMON m_pAdapterCommon;
    DEVICE_POWER_STATE m_DevicePowerState;
    LIST_ENTRY m_PinList;
    LIST_ENTRY m_NodeList;
    LIST_ENTRY m_ConnectionList;
    ULONG m_nPinCount;
    ULONG m_nNodeCount;
    ULONG m_nConnectionCount;
};
typedef CMiniportTopology* PCMINIPORTTOPOLOGY;
