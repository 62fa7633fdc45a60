// The control panel against a small port-class driver with one topology subdevice: the filter
// is found through its interfaces, its pins, nodes and connections read back as the miniport
// described them, property requests reach the right handler with the right request fields,
// size queries and short buffers pass through, and control-change events reach exactly the
// subscriptions of the node that changed.
#include <gtest/gtest.h>

#include "portcls.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_portcls.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "pc_port_internal.h"
#include "sim/host/control_panel.h"
#include "sim/host/pnp_manager.h"
#include "support/topology_miniport_double.h"

#include <map>
#include <vector>

namespace
{

DEFINE_GUID(kPinName, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x77);
DEFINE_GUID(kNodeName, 0xA1B2C3D4, 0x0102, 0x0304, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C);
DEFINE_GUID(kPrivateSet, 0xDEADBEEF, 0x0001, 0x0002, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A);
constexpr ULONG kVolumeNode = 0;
constexpr ULONG kMuteNode = 1;

// What the miniport's handlers saw, and what they hold.
struct HandlerLog
{
    std::vector<PCPROPERTY_REQUEST> Requests; // pointers inside are stale after the call
    std::vector<std::string> Handlers;
    std::vector<LONG> Channels;
    std::vector<ULONG> EventVerbs;
    std::map<LONG, LONG> Volume; // by channel
    doubles::TopologyMiniportLog Miniport;
};
HandlerLog* g_log;

void Record(PPCPROPERTY_REQUEST r, const char* handler)
{
    g_log->Requests.push_back(*r);
    g_log->Handlers.push_back(handler);
    LONG channel = -999;
    if (r->InstanceSize >= sizeof(LONG))
        std::memcpy(&channel, r->Instance, sizeof(channel));
    g_log->Channels.push_back(channel);
}

NTSTATUS VolumeHandler(PPCPROPERTY_REQUEST r)
{
    Record(r, "volume");
    if (r->InstanceSize < sizeof(LONG))
        return STATUS_INVALID_PARAMETER;
    LONG channel;
    std::memcpy(&channel, r->Instance, sizeof(channel));
    if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
    {
        if (r->ValueSize < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        *static_cast<PULONG>(r->Value) =
            KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
        r->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (r->ValueSize == 0)
    {
        r->ValueSize = sizeof(LONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (r->ValueSize < sizeof(LONG))
    {
        r->ValueSize = sizeof(LONG);
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (r->Verb == KSPROPERTY_TYPE_GET)
        *static_cast<PLONG>(r->Value) = g_log->Volume[channel];
    else
    {
        g_log->Volume[channel] = *static_cast<PLONG>(r->Value);
        // A set that changes the device raises the control-change event of its node.
        g_log->Miniport.Events->GenerateEventList(const_cast<GUID*>(&KSEVENTSETID_AudioControlChange),
                                                  KSEVENT_CONTROL_CHANGE, FALSE, ULONG(-1), TRUE, r->Node);
    }
    r->ValueSize = sizeof(LONG);
    return STATUS_SUCCESS;
}

NTSTATUS MuteHandler(PPCPROPERTY_REQUEST r)
{
    Record(r, "mute");
    if (r->ValueSize < sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    *static_cast<PULONG>(r->Value) = 1;
    r->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// A filter property whose instance is a pin id (KSP_PIN).
NTSTATUS PinEchoHandler(PPCPROPERTY_REQUEST r)
{
    Record(r, "pin echo");
    if (r->InstanceSize < sizeof(ULONG) || r->ValueSize < sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    std::memcpy(r->Value, r->Instance, sizeof(ULONG));
    r->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS ControlChangeHandler(PPCEVENT_REQUEST r)
{
    g_log->EventVerbs.push_back(r->Verb);
    if (r->Verb == PCEVENT_VERB_ADD)
        g_log->Miniport.Events->AddEventToEventList(r->EventEntry);
    return STATUS_SUCCESS;
}

const PCPROPERTY_ITEM kVolumeProperties[] = {
    // set, id, flags, handler
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0x203, VolumeHandler},
};
const PCPROPERTY_ITEM kMuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, MuteHandler},
};
const PCPROPERTY_ITEM kFilterProperties[] = {
    {&kPrivateSet, 1, KSPROPERTY_TYPE_GET, PinEchoHandler},
};
const PCEVENT_ITEM kControlChange[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, 0x201, ControlChangeHandler},
};
DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(kVolumeAutomation, kVolumeProperties, kControlChange);
DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(kMuteAutomation, kMuteProperties, kControlChange);
DEFINE_PCAUTOMATION_TABLE_PROP(kFilterAutomation, kFilterProperties);

KSDATARANGE AnalogRange()
{
    KSDATARANGE range = {};
    range.FormatSize = sizeof(KSDATARANGE);
    range.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    return range;
}
KSDATARANGE g_analog = AnalogRange();
PKSDATARANGE g_ranges[] = {&g_analog};

PCPIN_DESCRIPTOR Pin(KSPIN_DATAFLOW flow, const GUID* category, const GUID* name)
{
    PCPIN_DESCRIPTOR pin = {};
    pin.KsPinDescriptor.DataRangesCount = 1;
    pin.KsPinDescriptor.DataRanges = g_ranges;
    pin.KsPinDescriptor.DataFlow = flow;
    pin.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    pin.KsPinDescriptor.Category = category;
    pin.KsPinDescriptor.Name = name;
    return pin;
}

//   pin 0 (stream, in) --> [0 volume] --> [1 mute] --> pin 1 (speaker, out)
const PCPIN_DESCRIPTOR kPins[] = {Pin(KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO, nullptr),
                                  Pin(KSPIN_DATAFLOW_OUT, &KSNODETYPE_SPEAKER, &kPinName)};
const PCNODE_DESCRIPTOR kNodes[] = {
    // flags, automation, type, name
    {0, &kVolumeAutomation, &KSNODETYPE_VOLUME, nullptr},
    {0, &kMuteAutomation, &KSNODETYPE_MUTE, &kNodeName},
};
const PCCONNECTION_DESCRIPTOR kConnections[] = {
    // from node, from pin, to node, to pin
    {PCFILTER_NODE, 0, kVolumeNode, 1},
    {kVolumeNode, 0, kMuteNode, 1},
    {kMuteNode, 0, PCFILTER_NODE, 1},
};
const GUID kCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY};
PCFILTER_DESCRIPTOR g_filter = {0,
                                &kFilterAutomation,
                                sizeof(PCPIN_DESCRIPTOR),
                                2,
                                kPins,
                                sizeof(PCNODE_DESCRIPTOR),
                                2,
                                kNodes,
                                3,
                                kConnections,
                                2,
                                kCategories};

NTSTATUS TestStart(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST)
{
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortTopology);
    if (!NT_SUCCESS(status))
        return status;
    PUNKNOWN miniport = doubles::CTestTopologyMiniport::Create(g_filter, &g_log->Miniport);
    status = port->Init(device, irp, miniport, nullptr, nullptr);
    if (NT_SUCCESS(status))
        status = PcRegisterSubdevice(device, const_cast<PWSTR>(u"TestTopo"), port);
    miniport->Release();
    port->Release();
    return status;
}

NTSTATUS TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driver, pdo, TestStart, 4, 0);
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    return PcInitializeAdapterDriver(driver, path, TestAddDevice);
}

class ControlPanelTest : public testing::Test
{
protected:
    void SetUp() override
    {
        plat::RegReset();
        g_log = &m_Log;
        m_Snapshot = plat::TakePoolSnapshot();
        m_Objects = plat::ObLiveObjectCount(nullptr);
        m_pPnp.reset(new sim::PnpManager);
        ASSERT_EQ(m_pPnp->LoadDriver(TestDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->Start(), STATUS_SUCCESS);
        ASSERT_EQ(sim::ControlPanel::Open(m_pPnp->Pdo(), u"TestTopo", &m_pPanel), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        m_pPanel.reset();
        EXPECT_EQ(plat::pc::OpenSubdeviceHandleCount(), 0u);
        if (m_pPnp && m_pPnp->Fdo())
            plat::PcForgetDevice(m_pPnp->Fdo());
        m_pPnp.reset();
        plat::Shutdown();
        EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_Objects);
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
        g_log = nullptr;
    }

    sim::PropertyResult Volume(ULONG verb, LONG channel, ULONG valueSize, const LONG* value = nullptr)
    {
        return m_pPanel->Property(sim::PropertyTarget::OnChannel(kVolumeNode, channel), KSPROPSETID_Audio,
                                  KSPROPERTY_AUDIO_VOLUMELEVEL, verb, valueSize, value);
    }

    HandlerLog m_Log;
    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
    std::unique_ptr<sim::PnpManager> m_pPnp;
    std::unique_ptr<sim::ControlPanel> m_pPanel;
};

TEST_F(ControlPanelTest, EnumeratesTheFilterWithItsPinsNodesAndConnections)
{
    std::vector<sim::FilterInfo> filters = sim::ControlPanel::EnumerateFilters(m_pPnp->Pdo());
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0].Name, u"TestTopo");
    EXPECT_TRUE(filters[0].IsTopology);

    std::vector<sim::PinInfo> pins;
    ASSERT_EQ(m_pPanel->GetPins(&pins), STATUS_SUCCESS);
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_TRUE(pins[0].DataFlow == KSPIN_DATAFLOW_IN && pins[0].Category == KSCATEGORY_AUDIO &&
                !pins[0].HasName);
    EXPECT_TRUE(pins[1].DataFlow == KSPIN_DATAFLOW_OUT && pins[1].Category == KSNODETYPE_SPEAKER &&
                pins[1].HasName && pins[1].Name == kPinName);

    std::vector<sim::NodeInfo> nodes;
    ASSERT_EQ(m_pPanel->GetNodes(&nodes), STATUS_SUCCESS);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_TRUE(nodes[0].Type == KSNODETYPE_VOLUME && !nodes[0].HasName);
    EXPECT_TRUE(nodes[1].Type == KSNODETYPE_MUTE && nodes[1].HasName && nodes[1].Name == kNodeName);

    std::vector<KSTOPOLOGY_CONNECTION> connections;
    ASSERT_EQ(m_pPanel->GetConnections(&connections), STATUS_SUCCESS);
    ASSERT_EQ(connections.size(), 3u);
    for (size_t i = 0; i < connections.size(); ++i)
        EXPECT_EQ(std::memcmp(&connections[i], &kConnections[i], sizeof(KSTOPOLOGY_CONNECTION)), 0) << i;

    std::vector<GUID> categories;
    ASSERT_EQ(m_pPanel->GetCategories(&categories), STATUS_SUCCESS);
    EXPECT_EQ(categories, std::vector<GUID>(kCategories, kCategories + 2));
}

TEST_F(ControlPanelTest, NodeAndFilterPropertiesReachTheirHandlerWithTheRequestFields)
{
    ASSERT_EQ(
        m_pPanel->SetNodeLong(kVolumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, -6 * 65536),
        STATUS_SUCCESS);
    LONG value = 0;
    ASSERT_EQ(m_pPanel->GetNodeLong(kVolumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, -6 * 65536);
    EXPECT_EQ(m_Log.Volume[1], -6 * 65536);
    EXPECT_EQ(m_Log.Volume.count(0), 0u) << "channel 0 untouched";

    ASSERT_EQ(m_Log.Requests.size(), 2u);
    const PCPROPERTY_REQUEST& set = m_Log.Requests[0];
    EXPECT_EQ(set.MajorTarget, m_Log.Miniport.Miniport);
    EXPECT_EQ(set.MinorTarget, nullptr);
    EXPECT_EQ(set.Node, kVolumeNode);
    EXPECT_EQ(set.PropertyItem, &kVolumeProperties[0]);
    EXPECT_EQ(set.Verb, ULONG(KSPROPERTY_TYPE_SET));
    EXPECT_EQ(set.InstanceSize, sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) - sizeof(KSNODEPROPERTY));
    EXPECT_EQ(set.ValueSize, sizeof(LONG));
    EXPECT_EQ(m_Log.Channels[0], 1);
    EXPECT_EQ(m_Log.Requests[1].Verb, ULONG(KSPROPERTY_TYPE_GET));
    EXPECT_EQ(m_Log.Handlers, (std::vector<std::string>{"volume", "volume"}));

    // The mute node's own table serves mute; volume there is not found.
    sim::PropertyResult mute =
        m_pPanel->Property(sim::PropertyTarget::OnChannel(kMuteNode, 0), KSPROPSETID_Audio,
                           KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET, 4);
    EXPECT_EQ(mute.Status, STATUS_SUCCESS);
    EXPECT_EQ(m_Log.Handlers.back(), "mute");
    EXPECT_EQ(m_Log.Requests.back().Node, kMuteNode);
    EXPECT_EQ(m_pPanel
                  ->Property(sim::PropertyTarget::OnChannel(kMuteNode, 0), KSPROPSETID_Audio,
                             KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 4)
                  .Status,
              STATUS_NOT_FOUND);

    // A filter property gets the pin id as its instance, and no node.
    sim::PropertyResult r =
        m_pPanel->Property(sim::PropertyTarget::OnPin(1), kPrivateSet, 1, KSPROPERTY_TYPE_GET, sizeof(ULONG));
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Value, (std::vector<UCHAR>{1, 0, 0, 0}));
    EXPECT_EQ(m_Log.Requests.back().Node, 0xFFFFFFFFu);
    EXPECT_EQ(m_Log.Requests.back().InstanceSize, sizeof(KSP_PIN) - sizeof(KSPROPERTY));
}

TEST_F(ControlPanelTest, SizeQueriesAndShortBuffersPassThroughAsTheHandlerAnswers)
{
    sim::PropertyResult query = Volume(KSPROPERTY_TYPE_GET, 0, 0),
                        shortBuffer = Volume(KSPROPERTY_TYPE_GET, 0, 2);
    EXPECT_EQ(std::make_pair(query.Status, query.Information),
              std::make_pair(STATUS_BUFFER_OVERFLOW, sizeof(LONG)));
    EXPECT_EQ(std::make_pair(shortBuffer.Status, shortBuffer.Information),
              std::make_pair(STATUS_BUFFER_TOO_SMALL, sizeof(LONG)));
    ASSERT_EQ(m_Log.Requests.size(), 2u);
    EXPECT_EQ(m_Log.Requests[0].ValueSize, 0u);
    EXPECT_EQ(m_Log.Requests[0].Value, nullptr);
    EXPECT_EQ(m_Log.Requests[1].ValueSize, 2u);

    sim::PropertyResult support = Volume(KSPROPERTY_TYPE_BASICSUPPORT, -1, sizeof(ULONG));
    ASSERT_EQ(support.Status, STATUS_SUCCESS);
    EXPECT_EQ(support.Value, (std::vector<UCHAR>{0x03, 0x02, 0, 0}));
    EXPECT_EQ(m_Log.Requests.back().Verb, ULONG(KSPROPERTY_TYPE_BASICSUPPORT));
}

// Requests the port refuses before any handler runs.
TEST_F(ControlPanelTest, UnknownOrMalformedPropertiesAreRefusedWithoutReachingAHandler)
{
    struct Case
    {
        const char* What;
        sim::PropertyTarget Target;
        GUID Set;
        ULONG Id;
        ULONG Verb;
        NTSTATUS Expected;
    } cases[] = {
        {"unknown id", sim::PropertyTarget::OnChannel(0, 0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS,
         KSPROPERTY_TYPE_GET, STATUS_NOT_FOUND},
        {"unknown set", sim::PropertyTarget::OnFilter(), KSPROPSETID_Jack, 1, KSPROPERTY_TYPE_GET,
         STATUS_NOT_FOUND},
        {"node beyond the filter", sim::PropertyTarget::OnChannel(2, 0), KSPROPSETID_Audio,
         KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, STATUS_NOT_FOUND},
        {"two verbs at once", sim::PropertyTarget::OnChannel(1, 0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
         KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_GET, STATUS_INVALID_PARAMETER},
        {"set on a get-only item", sim::PropertyTarget::OnPin(0), kPrivateSet, 1, KSPROPERTY_TYPE_SET,
         STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case& c : cases)
    {
        LONG value = 0;
        EXPECT_EQ(m_pPanel->Property(c.Target, c.Set, c.Id, c.Verb, sizeof(value), &value).Status, c.Expected)
            << c.What;
    }
    EXPECT_TRUE(m_Log.Requests.empty());
}

TEST_F(ControlPanelTest, ControlChangeReachesOnlyTheSubscriptionsOfItsNode)
{
    ULONG volume = 0, mute = 0;
    ASSERT_EQ(m_pPanel->Subscribe(kVolumeNode, &volume), STATUS_SUCCESS);
    ASSERT_EQ(m_pPanel->Subscribe(kMuteNode, &mute), STATUS_SUCCESS);
    EXPECT_EQ(m_Log.EventVerbs, (std::vector<ULONG>{PCEVENT_VERB_ADD, PCEVENT_VERB_ADD}));

    ASSERT_EQ(m_pPanel->SetNodeLong(kVolumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 5),
              STATUS_SUCCESS);
    EXPECT_EQ(m_pPanel->NotificationCount(volume), 1u);
    EXPECT_EQ(m_pPanel->NotificationCount(mute), 0u);

    // A change raised on the device side (no request) counts the same way.
    m_Log.Miniport.Events->GenerateEventList(const_cast<GUID*>(&KSEVENTSETID_AudioControlChange),
                                             KSEVENT_CONTROL_CHANGE, FALSE, ULONG(-1), TRUE, kMuteNode);
    EXPECT_EQ(m_pPanel->NodeNotificationCount(kMuteNode), 1u);
    EXPECT_EQ(m_pPanel->NodeNotificationCount(kVolumeNode), 1u);

    // After unsubscribing, nothing more arrives and the handler saw the removal.
    ASSERT_EQ(m_pPanel->Unsubscribe(volume), STATUS_SUCCESS);
    EXPECT_EQ(m_Log.EventVerbs.back(), ULONG(PCEVENT_VERB_REMOVE));
    ASSERT_EQ(m_pPanel->SetNodeLong(kVolumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, 6),
              STATUS_SUCCESS);
    EXPECT_EQ(m_pPanel->NotificationCount(volume), 1u);
}

TEST_F(ControlPanelTest, EventsOfANodeOutsideTheFilterOrWithoutAnItemAreRefused)
{
    KSE_NODE event = {};
    event.Event.Set = KSEVENTSETID_AudioControlChange;
    event.Event.Id = KSEVENT_CONTROL_CHANGE;
    event.Event.Flags = KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY;
    event.NodeId = 7;
    KSEVENTDATA data = {};
    data.NotificationType = KSEVENTF_SEMAPHORE_HANDLE;
    EXPECT_EQ(m_pPanel->SendEvent(IOCTL_KS_ENABLE_EVENT, &event, sizeof(event), &data, sizeof(data)),
              STATUS_NOT_FOUND);
    event.NodeId = kVolumeNode;
    event.Event.Id = 5;
    EXPECT_EQ(m_pPanel->SendEvent(IOCTL_KS_ENABLE_EVENT, &event, sizeof(event), &data, sizeof(data)),
              STATUS_NOT_FOUND);
    // A handle the client does not own.
    event.Event.Id = KSEVENT_CONTROL_CHANGE;
    data.SemaphoreHandle.Semaphore = reinterpret_cast<HANDLE>(0x1234);
    data.SemaphoreHandle.Adjustment = 1;
    EXPECT_FALSE(
        NT_SUCCESS(m_pPanel->SendEvent(IOCTL_KS_ENABLE_EVENT, &event, sizeof(event), &data, sizeof(data))));
    EXPECT_TRUE(m_Log.EventVerbs.empty());
}

TEST_F(ControlPanelTest, ClosingTheHandleRemovesItsEventsAndUnregisteringHidesTheFilter)
{
    ULONG subscription = 0;
    ASSERT_EQ(m_pPanel->Subscribe(kVolumeNode, &subscription), STATUS_SUCCESS);
    m_pPanel.reset();
    EXPECT_EQ(m_Log.EventVerbs, (std::vector<ULONG>{PCEVENT_VERB_ADD, PCEVENT_VERB_REMOVE}));

    // The host no longer finds a filter whose subdevice is gone.
    ASSERT_EQ(sim::ControlPanel::Open(m_pPnp->Pdo(), u"TestTopo", &m_pPanel), STATUS_SUCCESS);
    m_pPanel.reset();
    plat::PcForgetDevice(m_pPnp->Fdo());
    EXPECT_TRUE(sim::ControlPanel::EnumerateFilters(m_pPnp->Pdo()).empty());
    EXPECT_EQ(sim::ControlPanel::Open(m_pPnp->Pdo(), u"TestTopo", &m_pPanel), STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
