// CAudioHal through IAdapterCommon and IAdapterPowerManagement: its lists and their
// references, the named callback object, the selector-path linking of the descriptor graph
// (small graphs, including loops) and the base power handling.
#include "support/graph_test_doubles.h"

#include "driver/core/audio_hal.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>

namespace
{

using gd::CFakeNode;
using gd::CFakeSelector;
using gd::CFakeStream;
using gd::LogOf;
using gd::Make;
using gd::RefCount;

using gd::CTestHal;

std::u16string ExpectedName(CTestHal* hal)
{
    return gd::AddressName("AudioHalAddr", static_cast<CAudioHal*>(hal));
}

POWER_STATE Device(ULONG state)
{
    POWER_STATE power;
    power.DeviceState = DEVICE_POWER_STATE(state);
    return power;
}

class AudioHal : public gd::LeakCheckedTest
{
protected:
    // Each node is added to the device; the test keeps its own creation reference.
    CTestHal* InitWith(std::vector<ITopologyNode*> nodes, NTSTATUS expected = STATUS_SUCCESS)
    {
        CTestHal* hal = Make<CTestHal>();
        hal->Hardware = [nodes](CTestHal* self)
        {
            for (ITopologyNode* node : nodes)
                EXPECT_EQ(self->AddNode(node), STATUS_SUCCESS);
            return STATUS_SUCCESS;
        };
        EXPECT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), expected);
        return hal;
    }
};

TEST_F(AudioHal, CallbackObjectIsNamedAfterEachDeviceAndGoesWithIt)
{
    SIZE_T before = plat::ObLiveObjectCount(ExCallbackObjectType);
    CTestHal* first = InitWith({});
    CTestHal* second = InitWith({});
    std::u16string firstName = ExpectedName(first);
    std::u16string secondName = ExpectedName(second);
    EXPECT_NE(firstName, secondName);
    EXPECT_EQ(firstName.size(), 38u);

    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(gd::OpenCallbackObject(firstName, &opened), STATUS_SUCCESS);
    EXPECT_EQ(opened, first->CallbackObject());
    ObDereferenceObject(opened);
    ASSERT_EQ(gd::OpenCallbackObject(secondName, &opened), STATUS_SUCCESS);
    EXPECT_EQ(opened, second->CallbackObject());
    ObDereferenceObject(opened);
    EXPECT_NE(first->CallbackObject(), second->CallbackObject());

    first->Release();
    EXPECT_EQ(gd::OpenCallbackObject(firstName, &opened), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(plat::ObLiveObjectCount(ExCallbackObjectType), before + 1);
    second->Release();
    EXPECT_EQ(plat::ObLiveObjectCount(ExCallbackObjectType), before);
}

TEST_F(AudioHal, FailedInitReleasesWhatTheListsHeld)
{
    CFakeNode* node = New<CFakeNode>(1u, ULONG(NODE_KIND_VOLUME));
    CFakeStream* stream = New<CFakeStream>();
    ASSERT_EQ(stream->Init(STREAM_DIRECTION_RENDER), STATUS_SUCCESS);

    CTestHal* hal = Make<CTestHal>();
    hal->Hardware = [&](CTestHal* self)
    {
        EXPECT_EQ(self->AddNode(node), STATUS_SUCCESS);
        EXPECT_EQ(self->AddStream(stream), STATUS_SUCCESS);
        EXPECT_EQ(RefCount(node), 2u);
        EXPECT_EQ(RefCount(stream), 2u);
        return STATUS_DEVICE_NOT_CONNECTED;
    };
    EXPECT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(RefCount(node), 1u);
    EXPECT_EQ(RefCount(stream), 1u);
    EXPECT_EQ(hal->GetNodeCount(), 0u);
    EXPECT_EQ(hal->GetStreamCount(), 0u);
    EXPECT_NE(hal->CallbackObject(), nullptr) << "the callback object stays until the device goes";
    EXPECT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_INVALID_DEVICE_STATE);
    hal->Release();
}

TEST_F(AudioHal, InitFailsCleanlyWithoutMemory)
{
    struct Row
    {
        ULONG Tag;
        const char* What;
    };
    // Tag made to fail, what it covers.
    const Row rows[] = {
        {AUDIO_HAL_POOL_TAG, "list headers"},
        {AUDIO_HAL_NAME_POOL_TAG, "callback object name"},
    };
    for (const Row& row : rows)
    {
        CTestHal* hal = Make<CTestHal>();
        plat::FailAllocationsWithTag(row.Tag);
        EXPECT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES) << row.What;
        plat::ClearPoolFailures();
        hal->Release();
    }

    // The path scratch of the connection walk is the only allocation after the lists.
    CFakeNode* node = New<CFakeNode>(1u, ULONG(NODE_KIND_VOLUME));
    CTestHal* hal = Make<CTestHal>();
    hal->Hardware = [&](CTestHal* self)
    {
        EXPECT_EQ(self->AddNode(node), STATUS_SUCCESS);
        plat::FailAllocationsWithTag(AUDIO_HAL_POOL_TAG);
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RefCount(node), 1u);
    hal->Release();
}

TEST_F(AudioHal, LookupsCheckTheListAndTheIndexAndAddNoReference)
{
    CTestHal* bare = Make<CTestHal>();
    IStreamEngine* stream = reinterpret_cast<IStreamEngine*>(1);
    ITopologyNode* node = reinterpret_cast<ITopologyNode*>(1);
    EXPECT_EQ(bare->GetStream(0, &stream), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(bare->GetNode(0, &node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(bare->FindNodeById(5, &node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare->GetStreamCount() + bare->GetNodeCount(), 0u);
    bare->Release();

    CFakeNode* first = Make<CFakeNode>(5u, ULONG(NODE_KIND_MUTE));
    CFakeNode* other = Make<CFakeNode>(7u, ULONG(NODE_KIND_MUTE));
    CFakeNode* last = Make<CFakeNode>(5u, ULONG(NODE_KIND_VOLUME));
    CFakeStream* s = New<CFakeStream>();
    CTestHal* hal = InitWith({first, other, last});
    ASSERT_EQ(hal->AddStream(s), STATUS_SUCCESS);
    EXPECT_EQ(hal->AddStream(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hal->AddNode(nullptr), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(hal->GetNode(1, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, static_cast<ITopologyNode*>(other));
    EXPECT_EQ(RefCount(other), 2u) << "a lookup adds no reference";
    EXPECT_EQ(hal->GetNode(3, &node), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node, nullptr);
    ASSERT_EQ(hal->GetStream(0, &stream), STATUS_SUCCESS);
    EXPECT_EQ(stream, static_cast<IStreamEngine*>(s));
    EXPECT_EQ(hal->GetStream(1, &stream), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream, nullptr);
    ASSERT_EQ(hal->FindNodeById(5, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, static_cast<ITopologyNode*>(last)) << "the last of two nodes with one id";
    EXPECT_EQ(hal->FindNodeById(9, &node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(node, nullptr);

    hal->Release();
    EXPECT_EQ(RefCount(first), 1u);
    EXPECT_EQ(RefCount(s), 1u);
    for (CFakeNode* n : {first, other, last})
        n->Release();
}

TEST_F(AudioHal, RestoreNodeValuesStopsAtTheFirstFailure)
{
    CFakeNode* a = Make<CFakeNode>(1u, ULONG(NODE_KIND_MUTE));
    CFakeNode* b = Make<CFakeNode>(2u, ULONG(NODE_KIND_VOLUME));
    CFakeNode* c = Make<CFakeNode>(3u, ULONG(NODE_KIND_BASS));
    CTestHal* hal = InitWith({a, b, c});
    EXPECT_EQ(LogOf({"restore"}), (std::vector<std::string>{"restore 1", "restore 2", "restore 3"}))
        << "Init writes every node's values once the graph is built";

    gd::Log().clear();
    b->m_RestoreStatus = STATUS_DEVICE_NOT_READY;
    EXPECT_EQ(hal->RestoreNodeValues(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(LogOf({"restore"}), (std::vector<std::string>{"restore 1", "restore 2"}));
    hal->Release();

    // The same failure during Init fails Init and empties the lists.
    CTestHal* failing = InitWith({a, b, c}, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(RefCount(a), 1u);
    failing->Release();
    for (CFakeNode* node : {a, b, c})
        node->Release();
}

// sel(100) has n inputs, each fed by a one-source node; at most ten inputs are linked.
TEST_F(AudioHal, SelectorsWithMoreThanTenInputsAreNotLinked)
{
    for (ULONG inputs : {10u, 11u})
    {
        gd::Log().clear();
        std::vector<ULONG> sources;
        std::vector<ITopologyNode*> nodes;
        for (ULONG i = 1; i <= inputs; i++)
        {
            sources.push_back(i);
            nodes.push_back(Make<CFakeNode>(i, ULONG(NODE_KIND_VOLUME), std::vector<ULONG>{200 + i}));
        }
        CFakeSelector* selector = Make<CFakeSelector>(100u, sources, 3u);
        nodes.push_back(selector);
        CTestHal* hal = InitWith(nodes);

        std::vector<std::string> expected;
        if (inputs <= AUDIO_HAL_MAX_SELECTOR_INPUTS)
            for (ULONG i = 1; i <= inputs; i++)
            {
                std::string id = std::to_string(i);
                expected.push_back("sink 100<-" + id);
                expected.push_back("walk " + id + " " + id);
                expected.push_back("expect " + id + " 3");
            }
        EXPECT_EQ(LogOf({"sink", "walk", "expect"}), expected) << inputs << " inputs";
        hal->Release();
        for (ITopologyNode* node : nodes)
            node->Release();
    }
}

// sel(10) <- [20, 30]; 30 <- 40 <- 50 (absent); 20 has no source; 40 is not a sink. The
// chain is followed through 40, and linked from the far end, all with input 2.
TEST_F(AudioHal, SelectorChainIsLinkedFromTheFarEndWithOneInputIndex)
{
    CFakeSelector* selector = New<CFakeSelector>(10u, std::vector<ULONG>{20, 30}, 2u);
    CFakeNode* lone = New<CFakeNode>(20u, ULONG(NODE_KIND_INPUT_TERMINAL));
    CFakeNode* a = New<CFakeNode>(30u, ULONG(NODE_KIND_VOLUME), std::vector<ULONG>{40});
    CFakeNode* passThrough = New<CFakeNode>(40u, ULONG(NODE_KIND_MUTE), std::vector<ULONG>{45}, false);
    CFakeNode* b = New<CFakeNode>(45u, ULONG(NODE_KIND_MUTE), std::vector<ULONG>{50});
    CTestHal* hal = InitWith({selector, lone, a, passThrough, b});

    EXPECT_EQ(LogOf({"sink", "walk", "expect"}), (std::vector<std::string>{
                                                     "sink 10<-45",
                                                     "walk 45 2",
                                                     "expect 45 2",
                                                     "sink 10<-30",
                                                     "walk 30 2",
                                                     "expect 30 2",
                                                 }));
    EXPECT_EQ(RefCount(a), 3u) << "creator, device list, selector's sink list";
    hal->Release();
}

// sel(10) <- [20, 21]; 20 <- 30 <- 20 is a loop, 21 feeds itself. Each node is linked once.
TEST_F(AudioHal, LoopsInTheDescriptorGraphEndTheWalk)
{
    CFakeSelector* selector = New<CFakeSelector>(10u, std::vector<ULONG>{20, 21}, 1u);
    CFakeNode* a = New<CFakeNode>(20u, ULONG(NODE_KIND_VOLUME), std::vector<ULONG>{30});
    CFakeNode* b = New<CFakeNode>(30u, ULONG(NODE_KIND_MUTE), std::vector<ULONG>{20});
    CFakeNode* self = New<CFakeNode>(21u, ULONG(NODE_KIND_MUTE), std::vector<ULONG>{21});
    CTestHal* hal = InitWith({selector, a, b, self});

    EXPECT_EQ(LogOf({"sink"}), (std::vector<std::string>{"sink 10<-30", "sink 10<-20", "sink 10<-21"}));
    EXPECT_EQ(LogOf({"walk"}), (std::vector<std::string>{"walk 30 1", "walk 20 1", "walk 21 2"}));
    hal->Release();
}

struct Received
{
    std::vector<std::vector<UCHAR>> Records;
    int NonNullSecondArguments = 0;
};

void Listener(PVOID context, PVOID argument1, PVOID argument2)
{
    auto* received = static_cast<Received*>(context);
    auto* bytes = static_cast<const UCHAR*>(argument1);
    received->Records.emplace_back(bytes, bytes + sizeof(AudioHalNotification));
    received->NonNullSecondArguments += argument2 != nullptr;
}

TEST_F(AudioHal, ControlChangeReachesRegisteredListenersAsTheWireRecord)
{
    CTestHal* hal = New<CTestHal>();
    Received received;
    PVOID registration = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(hal->RegisterCallback(Listener, &received, &registration), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(registration, nullptr);
    ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);

    ASSERT_EQ(hal->RegisterCallback(Listener, &received, &registration), STATUS_SUCCESS);
    AudioHalNotifyControlChange(hal->CallbackObject(), 0x0A0B0C0D);
    // Class 1, event 1, node id, 4 reserved bytes, a zero 64-bit word; little-endian.
    const std::vector<UCHAR> expected = {1, 0, 0, 0, 1, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A,
                                         0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0,    0};
    ASSERT_EQ(received.Records.size(), 1u);
    EXPECT_EQ(received.Records[0], expected);
    EXPECT_EQ(received.NonNullSecondArguments, 0);

    EXPECT_EQ(hal->UnregisterCallback(registration), STATUS_SUCCESS);
    AudioHalNotifyControlChange(hal->CallbackObject(), 1);
    EXPECT_EQ(received.Records.size(), 1u);
}

TEST_F(AudioHal, PowerChangeRestoresNodeValuesOnlyOnReturnToD0)
{
    CFakeNode* a = New<CFakeNode>(1u, ULONG(NODE_KIND_MUTE));
    CFakeNode* b = New<CFakeNode>(2u, ULONG(NODE_KIND_VOLUME));
    CTestHal* hal = InitWith({a, b});
    EXPECT_EQ(hal->PowerState(), PowerDeviceD0);
    IAdapterPowerManagement* power = nullptr;
    ASSERT_EQ(hal->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power)),
              STATUS_SUCCESS);

    struct Step
    {
        ULONG State;
        DEVICE_POWER_STATE After;
        int Restores;
    };
    // Requested state, state afterwards, node restores it causes.
    const Step steps[] = {
        {1, PowerDeviceD0, 0}, // already in D0
        {5, PowerDeviceD0, 0}, // not a device state
        {0, PowerDeviceD0, 0}, {4, PowerDeviceD3, 0}, {2, PowerDeviceD1, 0},
        {1, PowerDeviceD0, 2}, {1, PowerDeviceD0, 0},
    };
    for (const Step& step : steps)
    {
        gd::Log().clear();
        power->PowerChangeState(Device(step.State));
        EXPECT_EQ(hal->PowerState(), step.After) << "request " << step.State;
        EXPECT_EQ(int(LogOf({"restore"}).size()), step.Restores) << "request " << step.State;
    }

    DEVICE_CAPABILITIES caps = {};
    EXPECT_EQ(power->QueryDeviceCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(ULONG(caps.SurpriseRemovalOK), 1u);
    EXPECT_EQ(power->QueryPowerChangeState(Device(4)), STATUS_SUCCESS);
    power->Release();
    hal->Release();
}

TEST_F(AudioHal, BaseSlotsAnswerForTheWholeDevice)
{
    CFakeNode* a = New<CFakeNode>(1u, ULONG(NODE_KIND_MUTE));
    CFakeNode* b = New<CFakeNode>(2u, ULONG(NODE_KIND_VOLUME));
    EndpointCaps caps = {};
    caps.Mask = 0x55;
    caps.Flags = ENDPOINT_CAPS_FLAG_ASIO;
    CTestHal* hal = New<CTestHal>();
    hal->Hardware = [&](CTestHal* self)
    {
        self->SetCaps(caps);
        self->AddNode(a);
        self->AddNode(b);
        return STATUS_SUCCESS;
    };
    auto* fdo = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
    ASSERT_EQ(hal->Init(nullptr, fdo, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hal->GetDeviceObject(), fdo);

    for (ULONG index : {0u, 7u})
    {
        EndpointCaps got = {};
        ASSERT_EQ(hal->GetEndpointCaps(index, &got), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(&got, &caps, sizeof(caps)), 0);
    }
    EndpointCaps byType = {};
    EXPECT_EQ(hal->GetEndpointCapsByType(1, 7, &byType), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&byType, &caps, sizeof(caps)), 0);
    EXPECT_EQ(hal->GetEndpointCaps(0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hal->GetComponentId(nullptr), STATUS_INVALID_DEVICE_REQUEST);

    gd::Log().clear();
    EXPECT_EQ(hal->Start(), STATUS_SUCCESS);
    EXPECT_EQ(hal->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(gd::Log(), (std::vector<std::string>{"start 1", "start 2", "stop 1", "stop 2"}));
}

} // namespace
