// The WaveCyclic port driven as the audio stack drives it, over the wave miniport double: pins
// open through the miniport's intersection and NewStream, states step one at a time, the
// stream's Notify reaches the service group in a DPC, positions and formats pass through, and
// closing or unregistering lets every stream go.
#include "support/topology_miniport_double.h"
#include "support/wave_port_rig.h"

#include <string>
#include <vector>

namespace
{

using doubles::WaveMiniportConfig;
using Lines = std::vector<std::string>;

const std::vector<UCHAR> kStereo48k = sim::WaveDataFormat(2, 48000, 16, 16);

class KsWaveCyclicPort : public doubles::WavePortRig
{
protected:
    // The calls the miniport saw since the last take.
    Lines Take()
    {
        Lines calls(m_Log.Calls.begin() + long(m_Taken), m_Log.Calls.end());
        m_Taken = m_Log.Calls.size();
        return calls;
    }
    size_t m_Taken = 0;
};

TEST_F(KsWaveCyclicPort, PinOpensThroughIntersectionAndNewStreamWithATenMillisecondInterval)
{
    Start();
    std::unique_ptr<sim::AudioPin> pin;
    ASSERT_EQ(OpenPin(kStereo48k, &pin), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Lines{"Init", "GetDescription", "Intersect", "NewStream", "SetNotificationFreq 10"}));
    EXPECT_FALSE(m_Log.Capture);
    plat::PcPinView view;
    ASSERT_EQ(pin->View(&view), STATUS_SUCCESS);
    EXPECT_EQ(view.BufferSize, 9600u); // the double's 50 ms
    EXPECT_EQ(view.FramingSize, 1920u);
    EXPECT_EQ(view.State, KSSTATE_STOP);
    std::vector<sim::WaveFilterInfo> filters = sim::AudioPin::EnumerateWaveFilters(m_pPnp->Pdo());
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0].Name, kFilter);
    EXPECT_FALSE(filters[0].Capture);
}

struct StepCase
{
    std::vector<KSSTATE> Targets;
    Lines Steps;
};

TEST_F(KsWaveCyclicPort, StatesStepOneAtATimeBothWays)
{
    const StepCase cases[] = {
        {{KSSTATE_RUN}, {"SetState 1", "SetState 2", "SetState 3"}},
        {{KSSTATE_RUN, KSSTATE_STOP},
         {"SetState 1", "SetState 2", "SetState 3", "SetState 2", "SetState 1", "SetState 0"}},
        {{KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_RUN},
         {"SetState 1", "SetState 2", "SetState 1", "SetState 2", "SetState 3"}},
        {{KSSTATE_STOP}, {}},
    };
    Start();
    for (const StepCase& c : cases)
    {
        std::unique_ptr<sim::AudioPin> pin;
        ASSERT_EQ(OpenPin(kStereo48k, &pin), STATUS_SUCCESS);
        Take();
        for (KSSTATE target : c.Targets)
            ASSERT_EQ(pin->SetState(target), STATUS_SUCCESS);
        EXPECT_EQ(Take(), c.Steps) << "steps to " << c.Targets.back();
        KSSTATE state;
        ASSERT_EQ(pin->GetState(&state), STATUS_SUCCESS);
        EXPECT_EQ(state, c.Targets.back());
        pin.reset();
        Take();
    }
}

TEST_F(KsWaveCyclicPort, AStepTheStreamRefusesEndsTheClimbWhereItStood)
{
    WaveMiniportConfig config;
    config.FailState = KSSTATE_PAUSE;
    config.FailStateStatus = STATUS_DEVICE_BUSY;
    Start(config);
    std::unique_ptr<sim::AudioPin> pin;
    ASSERT_EQ(OpenPin(kStereo48k, &pin), STATUS_SUCCESS);
    Take();
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Take(), (Lines{"SetState 1", "SetState 2"}));
    KSSTATE state;
    ASSERT_EQ(pin->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_ACQUIRE);
    EXPECT_EQ(pin->SetState(KSSTATE(7)), STATUS_INVALID_PARAMETER);
}

TEST_F(KsWaveCyclicPort, ClosingARunningPinStepsItDownAndReleasesTheStream)
{
    Start();
    std::unique_ptr<sim::AudioPin> pin;
    ASSERT_EQ(OpenPin(kStereo48k, &pin), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Sleep(20);
    Take();
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Lines{"SetState 2", "SetState 1", "SetState 0", "stream destroyed"}));
    EXPECT_EQ(m_Log.Streams, 0u);
}

struct RefusalCase
{
    const char* Name;
    ULONG MaxInstances; // of the streaming pin
    ULONG MaxStreams;   // of the miniport
    NTSTATUS Intersection;
    ULONG PinId;
    std::vector<UCHAR> Format;
    NTSTATUS Expected;
    Lines Calls; // after the first pin's
};

TEST_F(KsWaveCyclicPort, PinCreatesTheFilterOrTheMiniportRefuse)
{
    const std::vector<UCHAR> floatFormat =
        sim::WaveDataFormat(2, 48000, 32, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    const RefusalCase cases[] = {
        {"intersection refuses", 2, 2, STATUS_NO_MATCH, 0, kStereo48k, STATUS_NO_MATCH, {"Intersect"}},
        {"rate outside the range",
         2,
         2,
         STATUS_SUCCESS,
         0,
         sim::WaveDataFormat(2, 96000, 16, 16),
         STATUS_NO_MATCH,
         {"Intersect"}},
        {"more channels than the range",
         2,
         2,
         STATUS_SUCCESS,
         0,
         sim::WaveDataFormat(8, 48000, 16, 16),
         STATUS_NO_MATCH,
         {"Intersect"}},
        {"sub-format no range offers", 2, 2, STATUS_SUCCESS, 0, floatFormat, STATUS_NO_MATCH, {}},
        {"bridge pin", 2, 2, STATUS_SUCCESS, 1, kStereo48k, STATUS_INVALID_DEVICE_REQUEST, {}},
        {"no such pin", 2, 2, STATUS_SUCCESS, 5, kStereo48k, STATUS_INVALID_PARAMETER, {}},
        {"second instance, port's limit",
         1,
         1,
         STATUS_SUCCESS,
         0,
         kStereo48k,
         STATUS_INSUFFICIENT_RESOURCES,
         {}},
        {"second stream, miniport's limit",
         2,
         1,
         STATUS_SUCCESS,
         0,
         kStereo48k,
         STATUS_INSUFFICIENT_RESOURCES,
         {"Intersect", "NewStream"}},
    };
    for (const RefusalCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        WaveMiniportConfig config;
        config.MaxInstances = c.MaxInstances;
        config.MaxStreams = c.MaxStreams;
        Start(config);
        std::unique_ptr<sim::AudioPin> first, second;
        // The first pin opens before the refusal takes effect, so the second meets the limits.
        ASSERT_EQ(OpenPin(kStereo48k, &first), STATUS_SUCCESS);
        m_Config.IntersectionStatus = c.Intersection;
        m_Log.Calls.clear();
        m_Taken = 0;
        EXPECT_EQ(OpenPin(c.Format, &second, c.PinId), c.Expected);
        EXPECT_EQ(Take(), c.Calls);
        EXPECT_FALSE(second);
        // Once the first stream is gone the same create succeeds where only a limit stood in
        // the way.
        first.reset();
        if (c.Expected == STATUS_INSUFFICIENT_RESOURCES)
        {
            EXPECT_EQ(OpenPin(c.Format, &second, c.PinId), STATUS_SUCCESS);
        }
        second.reset();
        TearDown();
        m_Log = doubles::WaveMiniportLog();
    }
}

TEST_F(KsWaveCyclicPort, NotifyServesTheGroupInTheServiceDpcAtDispatchLevel)
{
    Start();
    std::unique_ptr<sim::AudioPin> pin;
    ASSERT_EQ(OpenPin(kStereo48k, &pin), STATUS_SUCCESS);
    doubles::CRecordingSink* sink = doubles::CRecordingSink::Create(&m_Log);
    ASSERT_EQ(m_Log.Group->AddMember(sink), STATUS_SUCCESS);
    EXPECT_EQ(m_Log.Group->AddMember(sink), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Sleep(50);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    m_Log.Group->RemoveMember(sink);
    ULONG calls = ULONG(sink->Irqls.size());
    EXPECT_GE(calls, 5u); // ten 5 ms ticks; DPCs of ticks close together may merge
    for (KIRQL irql : sink->Irqls)
        EXPECT_EQ(irql, DISPATCH_LEVEL);
    EXPECT_EQ(sink->CallsInsideNotify, 0u) << "the group was served inside Notify";
    plat::PcPinView view;
    ASSERT_EQ(pin->View(&view), STATUS_SUCCESS);
    EXPECT_EQ(view.ServiceCount, calls);
    EXPECT_EQ(view.ServiceIrql, DISPATCH_LEVEL);
    EXPECT_EQ(view.ServicedPosition, m_Log.Position);
    sink->Release();
}

TEST_F(KsWaveCyclicPort, PositionAndFormatRequestsReachTheStream)
{
    Start();
    std::unique_ptr<sim::AudioPin> pin;
    ASSERT_EQ(OpenPin(kStereo48k, &pin), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Sleep(22);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    KSAUDIO_POSITION position;
    ASSERT_EQ(pin->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position.PlayOffset, 4u * 960); // four 5 ms ticks of 960 bytes
    EXPECT_EQ(position.WriteOffset, position.PlayOffset);
    EXPECT_EQ(position.PlayOffset, m_Log.Position);

    const std::vector<UCHAR> format44k = sim::WaveDataFormat(2, 44100, 16, 16);
    Take();
    ASSERT_EQ(pin->SetFormat(format44k), STATUS_SUCCESS);
    std::vector<UCHAR> current;
    ASSERT_EQ(pin->GetFormat(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, format44k);
    plat::PcPinView view;
    ASSERT_EQ(pin->View(&view), STATUS_SUCCESS);
    EXPECT_EQ(view.BufferSize, 8820u);
    // The stream's own refusal comes back, and the format stays.
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetFormat(kStereo48k), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(pin->GetFormat(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, format44k);
    EXPECT_EQ(Take(), (Lines{"SetFormat", "SetState 3", "SetFormat"}));
    // A format record longer than its buffer is refused before the stream sees it.
    std::vector<UCHAR> torn(kStereo48k.begin(), kStereo48k.begin() + 70);
    EXPECT_EQ(pin->SetFormat(torn), STATUS_INVALID_PARAMETER);
}

TEST_F(KsWaveCyclicPort, UnregisteringTheFilterClosesItsPinsBeforeTheMiniportGoes)
{
    Start();
    std::unique_ptr<sim::AudioPin> pin;
    ASSERT_EQ(OpenPin(kStereo48k, &pin), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PUNREGISTERSUBDEVICE unregister = nullptr;
    ASSERT_EQ(m_Log.Port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)),
              STATUS_SUCCESS);
    Take();
    ASSERT_EQ(unregister->UnregisterSubdevice(m_pPnp->Fdo(), unregister), STATUS_SUCCESS);
    unregister->Release();
    EXPECT_EQ(Take(), (Lines{"SetState 2", "SetState 1", "SetState 0", "stream destroyed", "destroyed"}));
    KSSTATE state;
    EXPECT_EQ(pin->GetState(&state), STATUS_DEVICE_NOT_READY);
    plat::PcPinView view;
    EXPECT_EQ(pin->View(&view), STATUS_INVALID_HANDLE);
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
}

TEST_F(KsWaveCyclicPort, ServiceGroupCallsItsMembersUntilTheyLeave)
{
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
    doubles::CRecordingSink* a = doubles::CRecordingSink::Create(&m_Log);
    doubles::CRecordingSink* b = doubles::CRecordingSink::Create(&m_Log);
    ASSERT_EQ(group->AddMember(a), STATUS_SUCCESS);
    ASSERT_EQ(group->AddMember(b), STATUS_SUCCESS);
    EXPECT_EQ(group->AddMember(nullptr), STATUS_INVALID_PARAMETER);
    group->RequestService();
    group->RemoveMember(a);
    group->RemoveMember(a); // no longer a member: nothing happens
    group->RequestService();
    EXPECT_EQ(a->Irqls.size(), 1u);
    EXPECT_EQ(b->Irqls.size(), 2u);
    group->Release(); // lets b go with it
    a->Release();
    b->Release();
}

// Objects that are no wave miniport still register (the adapter's subdevice bookkeeping does
// not care), but get no filter: nothing is initialised, described or opened on them.
TEST_F(KsWaveCyclicPort, AnObjectWithoutTheWaveMiniportInterfaceBindsForRegistrationOnly)
{
    int deviceKey = 0;
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(&deviceKey);
    doubles::TopologyMiniportLog log;
    PCFILTER_DESCRIPTOR empty = {};
    PUNKNOWN other = doubles::CTestTopologyMiniport::Create(empty, &log);
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    ASSERT_EQ(port->Init(device, nullptr, other, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(port->Init(device, nullptr, other, nullptr, nullptr), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(log.Calls.empty());
    EXPECT_EQ(plat::pc::SubdevicePortOf(port)->GetFilterDescriptor(), nullptr);
    ASSERT_EQ(PcRegisterSubdevice(device, const_cast<PWSTR>(u"Other"), port), STATUS_SUCCESS);
    other->Release();
    EXPECT_TRUE(log.Calls.empty()) << "the port keeps the object while registered";
    plat::PcForgetDevice(device);
    EXPECT_EQ(log.Calls, (Lines{"destroyed"}));
    port->Release();
}

} // namespace
