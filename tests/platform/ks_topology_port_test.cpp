// The topology port on its own: Init drives the miniport and refuses a descriptor that does not
// hold together, a registered subdevice is logged and let go again (with its miniport), physical
// connections are logged, and the port's event list signals exactly the entries that match.
#include <gtest/gtest.h>

#include "portcls.h"
#include "ksmedia.h"
#include "pc_port_internal.h"
#include "plat_pool.h"
#include "plat_portcls.h"
#include "plat_sched.h"
#include "support/topology_miniport_double.h"

#include <vector>

namespace
{

const PCNODE_DESCRIPTOR kNodes[] = {
    // flags, automation, type, name
    {0, nullptr, &KSNODETYPE_VOLUME, nullptr},
    {0, nullptr, &KSNODETYPE_MUTE, nullptr},
};

PCPIN_DESCRIPTOR Pin(KSPIN_DATAFLOW flow)
{
    PCPIN_DESCRIPTOR pin = {};
    pin.KsPinDescriptor.DataFlow = flow;
    pin.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
    return pin;
}
const PCPIN_DESCRIPTOR kPins[] = {Pin(KSPIN_DATAFLOW_IN), Pin(KSPIN_DATAFLOW_OUT)};

PCFILTER_DESCRIPTOR Descriptor(const PCCONNECTION_DESCRIPTOR* connections, ULONG count)
{
    return {0,           nullptr, sizeof(PCPIN_DESCRIPTOR),
            2,           kPins,   sizeof(PCNODE_DESCRIPTOR),
            2,           kNodes,  count,
            connections, 0,       nullptr};
}

const PCCONNECTION_DESCRIPTOR kGood[] = {
    // from node, from pin, to node, to pin
    {PCFILTER_NODE, 0, 0, 1},
    {0, 0, 1, 1},
    {1, 0, PCFILTER_NODE, 1},
};

class KsTopologyPort : public testing::Test
{
protected:
    void SetUp() override
    {
        m_Snapshot = plat::TakePoolSnapshot();
        m_Objects = plat::ObLiveObjectCount(nullptr);
    }
    void TearDown() override
    {
        plat::PcForgetDevice(Device());
        plat::Shutdown();
        EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_Objects);
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
    }

    // Registration only keys on the device object; no adapter device is needed for it.
    PDEVICE_OBJECT Device() { return reinterpret_cast<PDEVICE_OBJECT>(&m_DeviceKey); }

    // A new port bound to a new miniport; the test holds one reference on each.
    NTSTATUS Bind(PCFILTER_DESCRIPTOR descriptor, PPORT* port, PUNKNOWN* miniport,
                  NTSTATUS initStatus = STATUS_SUCCESS)
    {
        EXPECT_EQ(PcNewPort(port, CLSID_PortTopology), STATUS_SUCCESS);
        *miniport = doubles::CTestTopologyMiniport::Create(descriptor, &m_Log, initStatus);
        return (*port)->Init(Device(), nullptr, *miniport, nullptr, nullptr);
    }

    doubles::TopologyMiniportLog m_Log;
    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
    int m_DeviceKey = 0;
};

TEST_F(KsTopologyPort, InitCallsTheMiniportThenReadsItsDescription)
{
    PPORT port;
    PUNKNOWN miniport;
    ASSERT_EQ(Bind(Descriptor(kGood, 3), &port, &miniport), STATUS_SUCCESS);
    EXPECT_EQ(m_Log.Calls, (std::vector<std::string>{"Init", "GetDescription"}));
    PPORTTOPOLOGY topology = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IPortTopology, reinterpret_cast<PVOID*>(&topology)), STATUS_SUCCESS);
    EXPECT_EQ(m_Log.Port, topology);
    topology->Release();
    PPORTEVENTS events = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&events)), STATUS_SUCCESS);
    events->Release();
    EXPECT_EQ(port->Init(Device(), nullptr, miniport, nullptr, nullptr), STATUS_INVALID_DEVICE_STATE);

    // Registration holds the port until it ends, and its end lets the miniport go.
    ASSERT_EQ(PcRegisterSubdevice(Device(), const_cast<PWSTR>(u"Topo"), port), STATUS_SUCCESS);
    miniport->Release();
    PUNREGISTERSUBDEVICE unregister = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)),
              STATUS_SUCCESS);
    EXPECT_EQ(plat::PcRegisteredSubdevices(Device()), std::vector<std::u16string>{u"Topo"});
    ASSERT_EQ(unregister->UnregisterSubdevice(Device(), port), STATUS_SUCCESS);
    EXPECT_TRUE(plat::PcRegisteredSubdevices(Device()).empty());
    EXPECT_EQ(m_Log.Calls.back(), "destroyed");
    unregister->Release();
    port->Release();
}

// Descriptors that do not hold together: each refused, and the miniport let go at once.
TEST_F(KsTopologyPort, InitRefusesADescriptorThatDoesNotHoldTogetherAndAFailedMiniportInit)
{
    const PCCONNECTION_DESCRIPTOR toMissingNode[] = {{PCFILTER_NODE, 0, 5, 1}};
    const PCCONNECTION_DESCRIPTOR fromMissingPin[] = {{PCFILTER_NODE, 2, 0, 1}};
    PCFILTER_DESCRIPTOR smallPins = Descriptor(kGood, 3);
    smallPins.PinSize = 88;
    PCFILTER_DESCRIPTOR noNodes = Descriptor(kGood, 3);
    noNodes.Nodes = nullptr;
    PCFILTER_DESCRIPTOR noConnections = Descriptor(nullptr, 2);
    const PCFILTER_DESCRIPTOR cases[] = {Descriptor(toMissingNode, 1), Descriptor(fromMissingPin, 1),
                                         smallPins, noNodes, noConnections};
    for (const PCFILTER_DESCRIPTOR& descriptor : cases)
    {
        m_Log.Calls.clear();
        PPORT port;
        PUNKNOWN miniport;
        EXPECT_EQ(Bind(descriptor, &port, &miniport), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(PcRegisterSubdevice(Device(), const_cast<PWSTR>(u"Topo"), port),
                  STATUS_INVALID_DEVICE_STATE);
        miniport->Release();
        EXPECT_EQ(m_Log.Calls.back(), "destroyed") << "the port keeps no miniport it refused";
        port->Release();
    }
    // A miniport whose own Init fails: its result, and no description read.
    m_Log.Calls.clear();
    PPORT port;
    PUNKNOWN miniport;
    EXPECT_EQ(Bind(Descriptor(kGood, 3), &port, &miniport, STATUS_INSUFFICIENT_RESOURCES),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m_Log.Calls, (std::vector<std::string>{"Init"}));
    miniport->Release();
    port->Release();
}

TEST_F(KsTopologyPort, PhysicalConnectionsAreLoggedAndRemovable)
{
    PPORT topology, other;
    PUNKNOWN miniport1, miniport2;
    ASSERT_EQ(Bind(Descriptor(kGood, 3), &topology, &miniport1), STATUS_SUCCESS);
    ASSERT_EQ(Bind(Descriptor(kGood, 3), &other, &miniport2), STATUS_SUCCESS);
    ASSERT_EQ(PcRegisterSubdevice(Device(), const_cast<PWSTR>(u"Topo"), topology), STATUS_SUCCESS);
    ASSERT_EQ(PcRegisterSubdevice(Device(), const_cast<PWSTR>(u"Wave"), other), STATUS_SUCCESS);
    ASSERT_EQ(PcRegisterPhysicalConnection(Device(), other, 1, topology, 0), STATUS_SUCCESS);
    EXPECT_EQ(PcRegisterPhysicalConnection(Device(), other, 1, topology, 0), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(plat::PcRegisteredConnectionCount(Device()), 1u);
    PUNREGISTERPHYSICALCONNECTION unregister = nullptr;
    ASSERT_EQ(
        topology->QueryInterface(IID_IUnregisterPhysicalConnection, reinterpret_cast<PVOID*>(&unregister)),
        STATUS_SUCCESS);
    EXPECT_EQ(unregister->UnregisterPhysicalConnection(Device(), other, 1, topology, 0), STATUS_SUCCESS);
    EXPECT_EQ(unregister->UnregisterPhysicalConnection(Device(), other, 1, topology, 0), STATUS_NOT_FOUND);
    unregister->Release();
    std::vector<plat::PcRegistrationEntry> log = plat::PcRegistrationLog(Device());
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[2].Op, plat::PcRegistrationOp::RegisterConnection);
    EXPECT_EQ(log[2].FromPin, 1u);
    EXPECT_EQ(log[3].Status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(log[4].Op, plat::PcRegistrationOp::UnregisterConnection);
    EXPECT_EQ(log[5].Status, STATUS_NOT_FOUND);
    miniport1->Release();
    miniport2->Release();
    topology->Release();
    other->Release();
    // TearDown's PcForgetDevice ends both registrations and with them both miniports.
}

TEST_F(KsTopologyPort, AnEntryTheMiniportDidNotGetStopsTheProcess)
{
    PPORT port;
    PUNKNOWN miniport;
    ASSERT_EQ(Bind(Descriptor(kGood, 3), &port, &miniport), STATUS_SUCCESS);
    PPORTEVENTS events = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&events)), STATUS_SUCCESS);
    KSEVENT_ENTRY* bogus = reinterpret_cast<KSEVENT_ENTRY*>(&m_DeviceKey);
    EXPECT_DEATH(events->AddEventToEventList(bogus), "no event entry of this port");
    // Nothing enabled: generating signals nobody and is harmless.
    events->GenerateEventList(const_cast<GUID*>(&KSEVENTSETID_AudioControlChange), 0, FALSE, 0, TRUE, 0);
    events->Release();
    ASSERT_EQ(PcRegisterSubdevice(Device(), const_cast<PWSTR>(u"Topo"), port), STATUS_SUCCESS);
    miniport->Release();
    port->Release();
}

TEST_F(KsTopologyPort, WaveCyclicPortsAreNoTopologyPorts)
{
    PPORT port;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PPORTTOPOLOGY topology = nullptr;
    EXPECT_FALSE(NT_SUCCESS(port->QueryInterface(IID_IPortTopology, reinterpret_cast<PVOID*>(&topology))));
    port->Release();
    EXPECT_EQ(PcNewPort(&port, IID_IPortEvents), STATUS_INVALID_PARAMETER);
}

} // namespace
