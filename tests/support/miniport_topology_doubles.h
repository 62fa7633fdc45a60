// Test doubles and a fixture for the topology miniport tests: a topology port that records the
// events the miniport raises, the one miniport double, an effect node with parameters, a terminal
// that fills only part of its jack records, and helpers that build small node graphs from the
// real node classes and send property requests through the automation tables as the port does.
#pragma once

#include "support/node_test_doubles.h"

#include "driver/core/audio_hal.h"
#include "driver/topology/nodes/boolean_control_node.h"
#include "driver/topology/nodes/effect_control_node.h"
#include "driver/topology/nodes/level_control_node.h"
#include "driver/topology/miniport/miniport_topology.h"
#include "driver/topology/nodes/mixer_node.h"
#include "driver/topology/nodes/pin_type_selector_node.h"
#include "driver/topology/nodes/terminal_node.h"
#include "driver/topology/nodes/usb_selector_node.h"
#include "plat_version.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace mt
{

using gd::Make;
using nd::CFakeEntity;
using nd::Drop;

// The port side as the miniport sees it: IPortTopology for Init and IPortEvents for events.
class CFakeTopologyPort : public IPortTopology, public IPortEvents, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CFakeTopologyPort(PUNKNOWN outer, bool answerEvents = true)
        : CUnknown(outer), m_AnswerEvents(answerEvents)
    {
    }

    struct Event
    {
        GUID Set;
        ULONG Id;
        BOOL PinFlag;
        ULONG PinId;
        BOOL NodeFlag;
        ULONG NodeId;
    };
    std::vector<Event> Events;
    std::vector<PKSEVENT_ENTRY> Entries;

    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, IResourceList*) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY entry) override { Entries.push_back(entry); }
    STDMETHODIMP_(void)
    GenerateEventList(GUID* set, ULONG id, BOOL pinFlag, ULONG pin, BOOL nodeFlag, ULONG node) override
    {
        Events.push_back({*set, id, pinFlag, pin, nodeFlag, node});
    }

private:
    bool m_AnswerEvents;
};

inline STDMETHODIMP_(NTSTATUS) CFakeTopologyPort::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    *out = nullptr;
    if (IsEqualGUID(id, IID_IUnknown) || IsEqualGUID(id, IID_IPort) || IsEqualGUID(id, IID_IPortTopology))
        *out = static_cast<IPortTopology*>(this);
    else if (IsEqualGUID(id, IID_IPortEvents) && m_AnswerEvents)
        *out = static_cast<IPortEvents*>(this);
    else
        return STATUS_INVALID_PARAMETER;
    AddRef();
    return STATUS_SUCCESS;
}

// The one miniport double, standing in for both miniports: the topology port binds it through
// IMiniportTopology (an empty filter is enough), and the streams ask it through
// IMiniportSubdevice for the subdevice name and, as the wave miniport, the terminal node, or,
// as the topology miniport, the pin of a terminal node.
class CFakeMiniport : public IMiniportSubdevice, public IMiniportTopology, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    CFakeMiniport(PUNKNOWN outer, std::u16string name, ULONG terminalNode)
        : CUnknown(outer), m_Name(std::move(name)), m_TerminalNode(terminalNode)
    {
    }
    std::map<ULONG, ULONG> m_PinOfNode; // topology: node id -> pin

    STDMETHODIMP_(NTSTATUS) FindPinId(PULONG nodeId, PULONG pinId) override
    {
        if (m_PinOfNode.empty())
        {
            *nodeId = m_TerminalNode;
            return STATUS_SUCCESS;
        }
        auto it = m_PinOfNode.find(*nodeId);
        if (it == m_PinOfNode.end())
            return STATUS_NOT_FOUND;
        *pinId = it->second;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetSubdeviceName(PWSTR* name) override
    {
        *name = const_cast<PWSTR>(m_Name.c_str());
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = &m_Filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY) override { return STATUS_SUCCESS; }

private:
    std::u16string m_Name;
    ULONG m_TerminalNode;
    PCFILTER_DESCRIPTOR m_Filter = {
        0, nullptr, sizeof(PCPIN_DESCRIPTOR), 0, nullptr, sizeof(PCNODE_DESCRIPTOR), 0, nullptr, 0, nullptr,
        0, nullptr};
};

inline STDMETHODIMP_(NTSTATUS) CFakeMiniport::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (IsEqualGUID(id, IID_IMiniportSubdevice))
    {
        *out = static_cast<IMiniportSubdevice*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    if (IsEqualGUID(id, IID_IMiniportTopology) || IsEqualGUID(id, IID_IMiniport))
    {
        *out = static_cast<IMiniportTopology*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(id, out);
}

using CTestAdapter = gd::CTestHal;

// An effect with two parameters whose reads and writes are recorded.
class CTestEffectNode : public CEffectNode
{
public:
    CTestEffectNode(PUNKNOWN outer, ULONG id, const GUID& name) : CEffectNode(outer, id)
    {
        m_NameGuid = name;
        m_nParameterCount = 2;
    }
    ULONG Parameters[2] = {7, 9};
    std::vector<std::vector<ULONG>> Sets;

    STDMETHODIMP_(NTSTATUS) SetEnable(UCHAR enable) override
    {
        m_bEnable = enable;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetParameters(ULONG first, ULONG count, PULONG values) override
    {
        if (first + count > 2)
            return STATUS_INVALID_PARAMETER;
        std::memcpy(values, Parameters + first, count * sizeof(ULONG));
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) SetParameters(ULONG first, ULONG count, const ULONG* values) override
    {
        std::vector<ULONG> call{first, count};
        call.insert(call.end(), values, values + count);
        Sets.push_back(call);
        return STATUS_SUCCESS;
    }
};

// An output terminal that counts its jacks but fills only the first word of each record.
class CSparseJackTerminal : public COutputTerminalNode
{
public:
    CSparseJackTerminal(PUNKNOWN outer, ULONG id) : COutputTerminalNode(outer, id) {}
    STDMETHODIMP_(NTSTATUS) GetJackDescriptions(ULONG bytes, PVOID records) override
    {
        JackRecord* out = static_cast<JackRecord*>(records);
        for (ULONG jack = 0; jack < m_nJackCount && (jack + 1) * sizeof(JackRecord) <= bytes; jack++)
            out[jack].ChannelMapping = m_pJacks[jack].ChannelMapping;
        return STATUS_SUCCESS;
    }
};

inline JackRecord FullJack(ULONG mapping, ULONG color, ULONG type, ULONG geo, ULONG gen, ULONG port,
                           ULONG flags, ULONG connected)
{
    return JackRecord{mapping, color, type, geo, gen, port, flags, connected, 0xDEADBEEF};
}

// Reads a u32 at a byte offset of a reply.
inline ULONG Word(const std::vector<UCHAR>& bytes, size_t offset)
{
    ULONG value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

inline GUID GuidAt(const std::vector<UCHAR>& bytes, size_t offset)
{
    GUID value = {};
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

constexpr UCHAR kCanary = 0xC5;

// A reply buffer with room for Size bytes and guard bytes behind them.
struct Reply
{
    explicit Reply(ULONG size) : Bytes(size + 16, kCanary), Size(size) {}
    std::vector<UCHAR> Bytes;
    ULONG Size;
    NTSTATUS Status = STATUS_PENDING;
    bool GuardIntact() const
    {
        for (size_t i = Size; i < Bytes.size(); i++)
            if (Bytes[i] != kCanary)
                return false;
        return true;
    }
    bool Untouched() const
    {
        for (UCHAR b : Bytes)
            if (b != kCanary)
                return false;
        return true;
    }
};

// Builds node graphs from the real node classes and drives a miniport over them. Base is the
// fixture that checks pool and objects (with or without a device on the stand-in).
template <class Base> class TopologyHarness : public Base
{
protected:
    void SetUp() override
    {
        Base::SetUp();
        gd::Log().clear();
        m_Entity = Make<CFakeEntity>(200u);
    }
    void TearDown() override
    {
        ReleaseMiniport();
        for (ITopologyNode* node : m_Created)
            node->Release();
        m_Created.clear();
        Drop(m_Entity);
        plat::SetNtDdiVersion(plat::kDefaultNtDdiVersion);
        Base::TearDown();
    }

    template <class T> T* Keep(T* node)
    {
        m_Created.push_back(static_cast<ITopologyNode*>(node));
        return node;
    }

    CInputTerminalNode* Input(ULONG id, ULONG pinType, std::vector<JackRecord> jacks = {})
    {
        CInputTerminalNode* node = Keep(Make<CInputTerminalNode>(id));
        EXPECT_EQ(node->Init(1, &pinType, ULONG(jacks.size()), jacks.empty() ? nullptr : jacks.data()),
                  STATUS_SUCCESS);
        return node;
    }
    COutputTerminalNode* Output(ULONG id, ULONG pinType, ULONG source, std::vector<JackRecord> jacks = {})
    {
        COutputTerminalNode* node = Keep(Make<COutputTerminalNode>(id));
        EXPECT_EQ(
            node->Init(source, 1, &pinType, ULONG(jacks.size()), jacks.empty() ? nullptr : jacks.data()),
            STATUS_SUCCESS);
        return node;
    }
    CVolumeControlNode* Volume(ULONG id, ULONG source)
    {
        CVolumeControlNode* node = Keep(Make<CVolumeControlNode>(id));
        EXPECT_EQ(node->InitLevelControlNode(m_Entity, 2, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(node->SetSourceIdList(1, &source), STATUS_SUCCESS);
        return node;
    }
    CToneControlNode* Tone(ULONG id, ULONG kind, ULONG source)
    {
        CToneControlNode* node = Keep(Make<CToneControlNode>(id, kind));
        EXPECT_EQ(node->InitLevelControlNode(m_Entity, 3, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(node->SetSourceIdList(1, &source), STATUS_SUCCESS);
        return node;
    }
    CInputGainPadControlNode* GainPad(ULONG id, ULONG source)
    {
        CInputGainPadControlNode* node = Keep(Make<CInputGainPadControlNode>(id));
        EXPECT_EQ(node->InitLevelControlNode(m_Entity, 12, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(node->SetSourceIdList(1, &source), STATUS_SUCCESS);
        return node;
    }
    CBooleanControlNode* Switch(ULONG id, ULONG kind, ULONG source)
    {
        CBooleanControlNode* node = Keep(Make<CBooleanControlNode>(id, kind));
        EXPECT_EQ(node->InitControlNode(m_Entity, 1, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(node->SetSourceIdList(1, &source), STATUS_SUCCESS);
        return node;
    }
    CUsbSelectorNode* Selector(ULONG id, std::vector<ULONG> sources)
    {
        m_Entity->InputCount = ULONG(sources.size());
        CUsbSelectorNode* node = Keep(Make<CUsbSelectorNode>(id));
        EXPECT_EQ(node->InitSelectorNode(m_Entity, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(node->SetSourceIdList(ULONG(sources.size()), sources.data()), STATUS_SUCCESS);
        return node;
    }
    CMixerNode* Mixer(ULONG id, std::vector<ULONG> sources)
    {
        CMixerNode* node = Keep(Make<CMixerNode>(id));
        EXPECT_EQ(node->SetSourceIdList(ULONG(sources.size()), sources.data()), STATUS_SUCCESS);
        return node;
    }
    CPinTypeSelectorNode* PinTypeSelector(ULONG id, ULONG source, std::vector<ULONG> types)
    {
        CPinTypeSelectorNode* node = Keep(Make<CPinTypeSelectorNode>(id));
        EXPECT_EQ(node->Init(source, ULONG(types.size()), types.data()), STATUS_SUCCESS);
        return node;
    }
    CEffectControlNode* EffectControl(ULONG id, ULONG source)
    {
        CEffectControlNode* node = Keep(Make<CEffectControlNode>(id));
        EXPECT_EQ(node->InitEffectControlNode(m_Entity, 139, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(node->SetSourceIdList(1, &source), STATUS_SUCCESS);
        return node;
    }

    // Creates the miniport over a device holding Nodes (in that order) and inits it.
    NTSTATUS Build(std::vector<ITopologyNode*> nodes, bool portEvents = true, PDEVICE_OBJECT fdo = nullptr)
    {
        m_Adapter = Make<CTestAdapter>();
        m_Adapter->Nodes = nodes;
        EXPECT_EQ(m_Adapter->Init(nullptr, fdo, nullptr, nullptr), STATUS_SUCCESS);
        m_Port = Make<CFakeTopologyPort>(portEvents);
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPool),
                  STATUS_SUCCESS);
        EXPECT_EQ(unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&m_Miniport)),
                  STATUS_SUCCESS);
        unknown->Release();
        NTSTATUS status = m_Miniport->Init(static_cast<IAdapterCommon*>(m_Adapter), nullptr, m_Port);
        if (NT_SUCCESS(status))
        {
            EXPECT_EQ(m_Miniport->GetDescription(&m_Descriptor), STATUS_SUCCESS);
        }
        return status;
    }

    void ReleaseMiniport()
    {
        if (m_Miniport)
            m_Miniport->Release();
        m_Miniport = nullptr;
        m_Descriptor = nullptr;
        if (m_Port)
            m_Port->Release();
        m_Port = nullptr;
        if (m_Adapter)
            static_cast<IAdapterCommon*>(m_Adapter)->Release();
        m_Adapter = nullptr;
    }

    // As the port routes a request: the item of the set and id in the table, which must list
    // the verb; then its handler with the request record.
    NTSTATUS Send(const PCAUTOMATION_TABLE* table, ULONG node, const GUID& set, ULONG id, ULONG verb,
                  const void* instance, ULONG instanceSize, Reply* reply)
    {
        const PCPROPERTY_ITEM* item = nullptr;
        for (ULONG i = 0; table && i < table->PropertyCount; i++)
            if (IsEqualGUID(*table->Properties[i].Set, set) && table->Properties[i].Id == id)
                item = &table->Properties[i];
        if (!item || !(item->Flags & verb))
            return reply->Status = STATUS_NOT_FOUND;
        return CallHandler(item, node, verb, instance, instanceSize, reply);
    }

    // The handler of an item with any verb, as a port that checks nothing would call it.
    NTSTATUS CallHandler(const PCPROPERTY_ITEM* item, ULONG node, ULONG verb, const void* instance,
                         ULONG instanceSize, Reply* reply)
    {
        PCPROPERTY_REQUEST request = {};
        request.MajorTarget = m_Miniport;
        request.Node = node;
        request.PropertyItem = item;
        request.Verb = verb;
        request.InstanceSize = instanceSize;
        request.Instance = const_cast<void*>(instance);
        request.ValueSize = reply->Size;
        request.Value = reply->Size ? reply->Bytes.data() : nullptr;
        reply->Status = item->Handler(&request);
        reply->Size = request.ValueSize;
        return reply->Status;
    }

    // A request on a KS node, the channel as instance.
    NTSTATUS NodeRequest(ULONG node, const GUID& set, ULONG id, ULONG verb, Reply* reply, ULONG channel = 0)
    {
        return Send(m_Descriptor->Nodes[node].AutomationTable, node, set, id, verb, &channel, sizeof(channel),
                    reply);
    }
    NTSTATUS PinRequest(ULONG pin, const GUID& set, ULONG id, ULONG verb, Reply* reply)
    {
        return Send(m_Descriptor->AutomationTable, ULONG(-1), set, id, verb, &pin, sizeof(pin), reply);
    }

    // The reply of a request that must succeed, in a buffer of `size` bytes.
    Reply NodeReply(ULONG node, const GUID& set, ULONG id, ULONG verb, ULONG size)
    {
        Reply reply(size);
        EXPECT_EQ(NodeRequest(node, set, id, verb, &reply), STATUS_SUCCESS);
        return reply;
    }
    Reply PinReply(ULONG pin, const GUID& set, ULONG id, ULONG verb, ULONG size)
    {
        Reply reply(size);
        EXPECT_EQ(PinRequest(pin, set, id, verb, &reply), STATUS_SUCCESS);
        return reply;
    }

    NTSTATUS SetU32(ULONG node, const GUID& set, ULONG id, ULONG value, ULONG channel = 0)
    {
        Reply reply(4);
        std::memcpy(reply.Bytes.data(), &value, 4);
        return NodeRequest(node, set, id, KSPROPERTY_TYPE_SET, &reply, channel);
    }
    ULONG GetU32(ULONG node, const GUID& set, ULONG id, ULONG channel = 0, NTSTATUS expected = STATUS_SUCCESS)
    {
        Reply reply(4);
        EXPECT_EQ(NodeRequest(node, set, id, KSPROPERTY_TYPE_GET, &reply, channel), expected);
        return Word(reply.Bytes, 0);
    }

    // The KS node id of the node with this topology id.
    ULONG KsNodeOf(ULONG id)
    {
        for (ULONG n = 0; n < m_Descriptor->NodeCount; n++)
            for (ITopologyNode* node : m_Adapter->Nodes)
                if (node->GetId() == id && NodeAt(n) == node)
                    return n;
        ADD_FAILURE() << "node " << id << " is no KS node";
        return ULONG(-1);
    }

    // The node behind a KS node id, found through the node's own answers (kind, name, type)
    // rather than the miniport's records: the KS node list is the device's list reversed.
    ITopologyNode* NodeAt(ULONG ksNode)
    {
        std::vector<ITopologyNode*> nodes;
        for (ITopologyNode* node : m_Adapter->Nodes)
        {
            ULONG kind = node->GetKind();
            if (kind != 0 && kind != 1 && kind != 12)
                nodes.insert(nodes.begin(), node);
        }
        return ksNode < nodes.size() ? nodes[ksNode] : nullptr;
    }

    CFakeEntity* m_Entity = nullptr;
    std::vector<ITopologyNode*> m_Created;
    CTestAdapter* m_Adapter = nullptr;
    CFakeTopologyPort* m_Port = nullptr;
    PMINIPORTTOPOLOGY m_Miniport = nullptr;
    PPCFILTER_DESCRIPTOR m_Descriptor = nullptr;
};

using TopologyTest = TopologyHarness<gd::LeakCheckedTest>;

} // namespace mt
