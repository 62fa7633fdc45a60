// The topology filter's connection walk over class-1 devices built from descriptors: a long chain
// of units that take the same source twice is drawn (each node walked once), and a link whose
// source id names no entity is not drawn while the device still starts.
#include "support/uac1_test_support.h"

#include "driver/topology/miniport/miniport_subdevice_if.h"
#include "driver/topology/miniport/miniport_topology.h"

#include <set>
#include <tuple>

namespace
{

using namespace u1t;
using B = Uac1Builder;
using Edge = std::tuple<ULONG, ULONG, ULONG, ULONG>;
constexpr ULONG F = PCFILTER_NODE;

// Mixer unit id with two inputs, both fed by source.
std::vector<uint8_t> MixerFedTwice(uint8_t id, uint8_t source)
{
    return {13, 0x24, 4, id, 2, source, source, 2, 3, 0, 0, 0, 0};
}

class MiniportTopologyWalk : public Uac1Rig
{
protected:
    void TearDown() override
    {
        // The miniport holds its port; ending the registration breaks that cycle.
        PUNREGISTERSUBDEVICE unregister = nullptr;
        if (m_bRegistered && NT_SUCCESS(m_pPort->QueryInterface(IID_IUnregisterSubdevice,
                                                                reinterpret_cast<PVOID*>(&unregister))))
        {
            EXPECT_EQ(unregister->UnregisterSubdevice(m_pPnp->Fdo(), m_pPort), STATUS_SUCCESS);
            unregister->Release();
        }
        m_bRegistered = false;
        if (m_pMiniport)
            m_pMiniport->Release();
        m_pMiniport = nullptr;
        if (m_pPort)
            m_pPort->Release();
        m_pPort = nullptr;
        Uac1Rig::TearDown();
    }

    // The topology filter over the started device, bound to a port as the device start binds it.
    NTSTATUS BuildFilter()
    {
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(PcNewPort(&m_pPort, CLSID_PortTopology), STATUS_SUCCESS);
        EXPECT_EQ(CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPool),
                  STATUS_SUCCESS);
        EXPECT_EQ(unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&m_pMiniport)),
                  STATUS_SUCCESS);
        unknown->Release();
        NTSTATUS status = m_pPort->Init(m_pPnp->Fdo(), nullptr, m_pMiniport, m_pCommon, nullptr);
        if (NT_SUCCESS(status))
        {
            EXPECT_EQ(m_pMiniport->GetDescription(&m_pDescriptor), STATUS_SUCCESS);
            WCHAR name[] = u"GlobalTopo";
            m_bRegistered = NT_SUCCESS(PcRegisterSubdevice(m_pPnp->Fdo(), name, m_pPort));
            EXPECT_TRUE(m_bRegistered);
        }
        return status;
    }
    std::multiset<Edge> Edges() const
    {
        std::multiset<Edge> edges;
        for (ULONG i = 0; i < m_pDescriptor->ConnectionCount; i++)
        {
            const PCCONNECTION_DESCRIPTOR& c = m_pDescriptor->Connections[i];
            edges.insert(Edge{c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
        }
        return edges;
    }
    // The KS pin of an entity's first node.
    ULONG PinOfEntity(ULONG entity)
    {
        CUsbEntityNode* node = nullptr;
        ULONG nodeId = 0;
        ULONG pin = ~0u;
        EXPECT_EQ(Function()->FindChildById(entity, &node), STATUS_SUCCESS);
        EXPECT_EQ(node->GetFirstChildId(&nodeId), STATUS_SUCCESS);
        IMiniportSubdevice* subdevice = nullptr;
        EXPECT_EQ(m_pMiniport->QueryInterface(IID_IMiniportSubdevice, reinterpret_cast<PVOID*>(&subdevice)),
                  STATUS_SUCCESS);
        EXPECT_EQ(subdevice->FindPinId(&nodeId, &pin), STATUS_SUCCESS);
        subdevice->Release();
        return pin;
    }

    PPORT m_pPort = nullptr;
    bool m_bRegistered = false;
    PMINIPORTTOPOLOGY m_pMiniport = nullptr;
    PPCFILTER_DESCRIPTOR m_pDescriptor = nullptr;
};

// Streaming terminal 1, then 40 mixer units each taking unit k - 1 on both inputs, a mute unit and
// the speaker. Walked along every path, the chain would take 2^40 steps; walked once per node it
// is drawn at once, with two edges into every mixer.
TEST_F(MiniportTopologyWalk, ChainOfUnitsFedTwiceIsDrawnWithEveryEdgeOnce)
{
    constexpr uint8_t kMixers = 40;
    Uac1Builder b = SpeakerSet();
    b.Control = {B::InputTerminal(1, 0x0101, 2)};
    for (uint8_t id = 2; id < 2 + kMixers; ++id)
        b.Control.push_back(MixerFedTwice(id, uint8_t(id - 1)));
    b.Control.push_back(B::MuteUnit(2 + kMixers, 1 + kMixers));
    b.Control.push_back(B::OutputTerminal(3 + kMixers, 0x0301, 2 + kMixers));
    Plug(b.Profile());
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ASSERT_EQ(BuildFilter(), STATUS_SUCCESS);

    // Every mixer has both its inputs drawn, each from the one thing before it.
    std::multiset<Edge> edges = Edges();
    EXPECT_EQ(edges.size(), 2u * kMixers + 2) << "two per mixer, into the mute and into the speaker";
    EXPECT_EQ(std::set<Edge>(edges.begin(), edges.end()).size(), edges.size()) << "an edge drawn twice";
    for (ULONG node = 0; node < m_pDescriptor->NodeCount; node++)
    {
        if (m_pDescriptor->Nodes[node].Type != &KSNODETYPE_SUM)
            continue;
        size_t inputs = 0;
        for (const Edge& e : edges)
            inputs += std::get<2>(e) == node;
        EXPECT_EQ(inputs, 2u) << "mixer at KS node " << node;
    }
    const ULONG stream = PinOfEntity(1);
    size_t fromStream = 0;
    for (const Edge& e : edges)
        fromStream += std::get<0>(e) == F && std::get<1>(e) == stream;
    EXPECT_EQ(fromStream, 2u) << "the streaming pin feeds both inputs of the first mixer";
}

// An output terminal whose bSourceID names no entity: 0 (which would pass for the first node's
// id) or an id no unit has. The link is left out with a message; the rest of the device starts.
TEST_F(MiniportTopologyWalk, SourceThatNamesNoEntityIsNotDrawn)
{
    for (uint8_t source : {uint8_t(0), uint8_t(9)})
    {
        SCOPED_TRACE(int(source));
        Uac1Builder b = SpeakerSet();
        b.Control.push_back(B::OutputTerminal(4, 0x0301, source));
        Plug(b.Profile());
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        ASSERT_EQ(BuildFilter(), STATUS_SUCCESS);
        const ULONG dangling = PinOfEntity(4);
        const ULONG speaker = PinOfEntity(3);
        size_t intoDangling = 0;
        size_t intoSpeaker = 0;
        for (const Edge& e : Edges())
        {
            intoDangling += std::get<2>(e) == F && std::get<3>(e) == dangling;
            intoSpeaker += std::get<2>(e) == F && std::get<3>(e) == speaker;
        }
        EXPECT_EQ(intoDangling, 0u);
        EXPECT_EQ(intoSpeaker, 1u);
        EXPECT_NE(plat::DebugLogText().find("output terminal 4 names source " + std::to_string(source)),
                  std::string::npos)
            << plat::DebugLogText();
        TearDown();
        SetUp();
    }
}

} // namespace
