// The topology filter's connection walk over class-1 devices built from descriptors: a long chain
// of units that take the same source twice is drawn (each node walked once), and a link whose
// source id names no entity is not drawn while the device still starts.
#include "support/uac1_test_support.h"

#include "driver/core/miniport_subdevice_if.h"
#include "driver/topology/miniport/miniport_topology.h"

#include <set>
#include <tuple>

namespace
{

using namespace u1t;
using B = Uac1Builder;
using Edge = std::tuple<ULONG, ULONG, ULONG, ULONG>;

class MiniportTopologyWalk : public Uac1Rig
{
protected:
    // The topology filter over the started device and the edges it draws. The miniport keeps the
    // port; TearDown lets it go before the device.
    std::multiset<Edge> BuildFilter()
    {
        PPORT port = nullptr;
        PPORTTOPOLOGY topologyPort = nullptr;
        PUNKNOWN unknown = nullptr;
        PPCFILTER_DESCRIPTOR filter = nullptr;
        EXPECT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
        port->QueryInterface(IID_IPortTopology, reinterpret_cast<PVOID*>(&topologyPort));
        port->Release();
        EXPECT_EQ(CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPool),
                  STATUS_SUCCESS);
        unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&m_pMiniport));
        unknown->Release();
        EXPECT_EQ(m_pMiniport->Init(m_pCommon, nullptr, topologyPort), STATUS_SUCCESS);
        topologyPort->Release();
        std::multiset<Edge> edges;
        for (ULONG i = 0; NT_SUCCESS(m_pMiniport->GetDescription(&filter)) && i < filter->ConnectionCount;
             i++)
        {
            const PCCONNECTION_DESCRIPTOR& c = filter->Connections[i];
            edges.insert(Edge{c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
        }
        return edges;
    }
    void TearDown() override
    {
        if (m_pMiniport)
            m_pMiniport->Release();
        m_pMiniport = nullptr;
        Uac1Rig::TearDown();
    }
    // The KS pin of an entity's first node.
    ULONG PinOf(ULONG entity)
    {
        CUsbEntityNode* node = nullptr;
        ULONG nodeId = 0, pin = ~0u;
        IMiniportSubdevice* subdevice = nullptr;
        EXPECT_EQ(Function()->FindChildById(entity, &node), STATUS_SUCCESS);
        node->GetFirstChildId(&nodeId);
        m_pMiniport->QueryInterface(IID_IMiniportSubdevice, reinterpret_cast<PVOID*>(&subdevice));
        EXPECT_EQ(subdevice->FindPinId(&nodeId, &pin), STATUS_SUCCESS);
        subdevice->Release();
        return pin;
    }
    // Edges from (Out) or into a filter pin.
    static size_t AtPin(const std::multiset<Edge>& edges, ULONG pin, bool out)
    {
        size_t count = 0;
        for (const Edge& e : edges)
            count += out ? std::get<0>(e) == PCFILTER_NODE && std::get<1>(e) == pin
                         : std::get<2>(e) == PCFILTER_NODE && std::get<3>(e) == pin;
        return count;
    }

    PMINIPORTTOPOLOGY m_pMiniport = nullptr;
};

// Streaming terminal 1, 40 mixer units each taking unit k - 1 on both inputs, a mute unit, the
// speaker. Walked along every path the chain takes 2^40 steps; walked once per node it is drawn
// at once, with two edges into every mixer and each edge once.
TEST_F(MiniportTopologyWalk, ChainOfUnitsFedTwiceIsDrawnWithEveryEdgeOnce)
{
    constexpr uint8_t kMixers = 40;
    Uac1Builder b = SpeakerSet();
    b.Control = {B::InputTerminal(1, 0x0101, 2)};
    for (uint8_t id = 2; id < 2 + kMixers; ++id)
        b.Control.push_back({13, 0x24, 4, id, 2, uint8_t(id - 1), uint8_t(id - 1), 2, 3, 0, 0, 0, 0});
    b.Control.push_back(B::MuteUnit(2 + kMixers, 1 + kMixers));
    b.Control.push_back(B::OutputTerminal(3 + kMixers, 0x0301, 2 + kMixers));
    Plug(b.Profile());
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    std::multiset<Edge> edges = BuildFilter();
    EXPECT_EQ(edges.size(), 2u * kMixers + 2) << "two into each mixer, one into the mute and the speaker";
    EXPECT_EQ(std::set<Edge>(edges.begin(), edges.end()).size(), edges.size()) << "an edge drawn twice";
    EXPECT_EQ(AtPin(edges, PinOf(1), true), 2u) << "the streaming pin feeds both inputs of the first mixer";
}

// An output terminal whose bSourceID names no entity: 0 (which would pass for the first node's
// id) or an id no unit has. The link is left out with a message; the rest of the device starts.
TEST_F(MiniportTopologyWalk, SourceThatNamesNoEntityIsNotDrawn)
{
    for (uint8_t source : {0, 9})
    {
        Uac1Builder b = SpeakerSet();
        b.Control.push_back(B::OutputTerminal(4, 0x0301, source));
        Plug(b.Profile());
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        std::multiset<Edge> edges = BuildFilter();
        EXPECT_EQ(AtPin(edges, PinOf(4), false), 0u) << int(source);
        EXPECT_EQ(AtPin(edges, PinOf(3), false), 1u);
        EXPECT_NE(plat::DebugLogText().find("output terminal 4 names source " + std::to_string(source)),
                  std::string::npos);
        TearDown();
        SetUp();
    }
}

} // namespace
