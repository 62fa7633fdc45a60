// CUac1Device on the simulated stack: the model probe, endpoint capabilities, start and stop
// with the status-interrupt thread, status reports turned into re-reads and change records, and
// the thread's failure paths.
#include "support/uac1_test_support.h"

#include "driver/core/pin_type.h"

#include <algorithm>

namespace
{

using namespace u1t;

constexpr uint8_t kStatusEndpoint = 0x83;

// The headset with another identity and identification string, and extra profile lines.
std::string Headset(const std::string& ids, const std::string& idString, const std::string& extra = "")
{
    std::string text = sim::BuiltinProfileText("uac1-headset");
    text.replace(text.find("F1 FF 02 00"), 11, ids);
    text.replace(text.find("string 0x50 \"0100-HS\""), 21, idString);
    return text + extra;
}

// Lets the bus serve its frames: virtual time runs while this thread sleeps.
void RunFrames(LONGLONG milliseconds = 50)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -10000 * milliseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    plat::Settle();
}

class Uac1Device : public Uac1Rig
{
protected:
    // Starts the device and registers for its change records; the initial sweep is settled
    // and forgotten, and the device log cleared.
    void StartWithListener()
    {
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        ASSERT_EQ(m_pCommon->RegisterCallback(ChangeLog::Callback, &m_Changes, &m_pRegistration),
                  STATUS_SUCCESS);
        ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
        RunFrames();
        m_Changes.Take();
        m_pDevice->Model().ClearLog();
    }
    void TearDown() override
    {
        if (m_pRegistration)
            m_pCommon->UnregisterCallback(m_pRegistration);
        m_pRegistration = nullptr;
        Uac1Rig::TearDown();
    }
    std::vector<ULONG> NodeIdsOf(uint8_t entity)
    {
        CUsbEntityNode* node = nullptr;
        EXPECT_EQ(Function()->FindChildById(entity, &node), STATUS_SUCCESS);
        std::vector<ULONG> ids;
        ULONG count = 0;
        node->GetChildCount(&count);
        for (ULONG i = 0; i < count; ++i)
        {
            ITopologyNode* child = nullptr;
            node->GetChildAt(i, &child);
            ids.push_back(child->GetId());
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    ChangeLog m_Changes;
    PVOID m_pRegistration = nullptr;
};

// ---- Model probe and capabilities ----

struct ProbeCase
{
    const char* Name;
    std::string Profile;
    NTSTATUS Init;
    ULONG Mask;
    ULONG Extra;
    ULONG Flags;
};

TEST_F(Uac1Device, ModelProbeChoosesTheCapabilityRecord)
{
    const std::string bridge = "vendor 0xC3 2 0x51 0 data 1F\n";
    const std::string qxr = "vendor 0xC3 0 0x1A 0 data %A\nvendor 0xC3 0 0x20 0 data %B\n";
    auto qxrBytes = [&qxr](const char* a, const char* b)
    {
        std::string text = qxr;
        text.replace(text.find("%A"), 2, a);
        text.replace(text.find("%B"), 2, b);
        return text;
    };
    const ProbeCase cases[] = {
        {"3864, known firmware", Headset("F1 FF 02 00", "string 0x50 \"3864\"", bridge), STATUS_SUCCESS,
         0x3E10A0, 0, 0x41},
        {"3864, other firmware",
         Headset("F1 FF 02 00", "string 0x50 \"3864\"", "vendor 0xC3 2 0x51 0 data 1E\n"), STATUS_SUCCESS, 0,
         0, 0},
        {"3864 on 09DA:2702", Headset("DA 09 02 27", "string 0x50 \"3864\"", bridge), STATUS_SUCCESS,
         0x3E00A5, 0, 0x41},
        {"3864 on 7A31:0065", Headset("31 7A 65 00", "string 0x50 \"3864\"", bridge), STATUS_SUCCESS,
         0x3E00A0, 0, 0x41},
        {"3864 on 251F:3001", Headset("1F 25 01 30", "string 0x50 \"3864\"", bridge), STATUS_SUCCESS,
         0x3E00A4, 0, 0x40},
        {"3864 at the fallback index", Headset("F1 FF 02 00", "string 0x32 \"3864\"", bridge), STATUS_SUCCESS,
         0x3E10A0, 0, 0x41},
        {"3864, probe refused",
         Headset("F1 FF 02 00", "string 0x50 \"3864\"", "vendor 0xC3 2 0x51 0 stall\n"), STATUS_UNSUCCESSFUL,
         0, 0, 0},
        {"QXR710 plain", Headset("F1 FF 02 00", "string 0x50 \"QXR710\"", qxrBytes("08", "00")),
         STATUS_SUCCESS, 0x3E087, 0, 0},
        {"QXR710 with ASIO", Headset("F1 FF 02 00", "string 0x50 \"QXR710\"", qxrBytes("0E", "01")),
         STATUS_SUCCESS, 0x3E087, 0, 2},
        {"QXR710 unknown", Headset("F1 FF 02 00", "string 0x50 \"QXR710\"", qxrBytes("08", "02")),
         STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"no string, known ids", Headset("7F 04 57 D9", ""), STATUS_SUCCESS, 0x3C0264, 12, 0},
        {"other text", Headset("F1 FF 02 00", "string 0x50 \"38\""), STATUS_SUCCESS, 0, 0, 0},
        {"no string, unknown ids", Headset("F1 FF 02 00", ""), STATUS_UNSUCCESSFUL, 0, 0, 0},
    };
    for (const ProbeCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        Plug(c.Profile);
        NTSTATUS status = StartUsbDevice();
        EXPECT_EQ(NT_SUCCESS(status), NT_SUCCESS(c.Init)) << std::hex << status;
        if (NT_SUCCESS(status))
        {
            EndpointCaps caps = {};
            ASSERT_EQ(Function()->GetEndpointCapsByType(0, PIN_TYPE_HP, &caps), STATUS_SUCCESS);
            EXPECT_EQ(caps.Mask, c.Mask);
            EXPECT_EQ(caps.Extra, c.Extra);
            EXPECT_EQ(caps.Flags, c.Flags);
            // The probe asked the identification string in English (United States).
            bool asked = false;
            for (const sim::ControlRecord& r : m_pDevice->Model().Log())
                asked =
                    asked || (r.Setup.Request == 6 && (r.Setup.Value >> 8) == 3 && r.Setup.Index == 0x0409);
            EXPECT_TRUE(asked);
        }
        TearDown();
        SetUp();
    }
}

TEST_F(Uac1Device, EndpointCapabilitiesFollowDirectionAndPinType)
{
    Plug(Headset("31 7A 58 00", "string 0x50 \"3864\"", "vendor 0xC3 2 0x51 0 data 1F\n"));
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    CUac1Device* function = Function();
    EndpointCaps caps = {};
    // This model keeps its record even for S/PDIF and marks capture microphones.
    ASSERT_EQ(function->GetEndpointCapsByType(0, PIN_TYPE_SPDIF, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Mask, 0x3E10A0u);
    ASSERT_EQ(function->GetEndpointCaps(0, &caps), STATUS_SUCCESS); // headphones, render
    EXPECT_EQ(caps.Mask, 0x3E10A0u);
    ASSERT_EQ(function->GetEndpointCaps(1, &caps), STATUS_SUCCESS); // microphone, capture
    EXPECT_EQ(caps.Mask, 0xBE10A0u);
    ASSERT_EQ(function->GetEndpointCaps(7, &caps), STATUS_SUCCESS); // past the end: the last stream
    EXPECT_EQ(caps.Mask, 0xBE10A0u);
    EXPECT_EQ(caps.Flags, 0x41u);
    EXPECT_EQ(function->GetEndpointCapsByType(0, PIN_TYPE_HP, nullptr), STATUS_UNSUCCESSFUL);
    TearDown();
    SetUp();

    // Elsewhere S/PDIF endpoints get an empty record.
    Plug(Headset("F1 FF 02 00", "string 0x50 \"3864\"", "vendor 0xC3 2 0x51 0 data 1F\n"));
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ASSERT_EQ(Function()->GetEndpointCapsByType(0, PIN_TYPE_SPDIF, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Mask, 0u);
    EXPECT_EQ(caps.Flags, 0u);
    ASSERT_EQ(Function()->GetEndpointCapsByType(1, PIN_TYPE_MIC, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Mask, 0x3E10A0u);
}

// ---- Start, stop and the status thread ----

TEST_F(Uac1Device, DeviceWithoutStatusEndpointStartsWithoutThread)
{
    Plug("uac1-speaker");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    SIZE_T threads = plat::LiveSystemThreadCount();
    EXPECT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    EXPECT_FALSE(Function()->IsStatusThreadRunning());
    EXPECT_EQ(plat::LiveSystemThreadCount(), threads);
    EXPECT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
}

TEST_F(Uac1Device, StartSelectsAlternateZeroAndArmsTheStatusRead)
{
    Plug("uac1-headset");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    m_pDevice->Model().ClearLog();
    SIZE_T threads = plat::LiveSystemThreadCount();
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    RunFrames();
    EXPECT_TRUE(Function()->IsStatusThreadRunning());
    EXPECT_EQ(plat::LiveSystemThreadCount(), threads + 1);
    bool setInterface = false;
    for (const sim::ControlRecord& r : m_pDevice->Model().Log())
        setInterface = setInterface || (r.Setup.RequestType == 0x01 && r.Setup.Request == 11 &&
                                        r.Setup.Value == 0 && r.Setup.Index == 0);
    EXPECT_TRUE(setInterface);
    // The initial sweep re-read the units: both feature units' volumes were asked.
    EXPECT_GE(GetCurCount(2, 2), 1u);
    EXPECT_GE(GetCurCount(5, 2), 1u);
    EXPECT_GE(m_pDevice->InPolls(kStatusEndpoint), 1);
    EXPECT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(Function()->IsStatusThreadRunning());
    EXPECT_EQ(plat::LiveSystemThreadCount(), threads);
}

TEST_F(Uac1Device, ControlChangedOnTheDeviceIsReReadOnceAndAnnounced)
{
    Plug("uac1-headset");
    StartWithListener();
    ASSERT_TRUE(m_pDevice->Model().AudioControl().ChangeControl(5, 2, 0, 1024));
    RunFrames();
    EXPECT_EQ(GetCurCount(5, 2), 1u) << "one re-read of the changed volume";
    EXPECT_EQ(GetCurCount(2), 0u) << "no other unit is asked";
    std::vector<ULONG> announced = m_Changes.Take();
    std::sort(announced.begin(), announced.end());
    EXPECT_EQ(announced, NodeIdsOf(5));
    // The node now holds the device's value: +4 dB in 1/65536 dB.
    ITopologyNode* volume = nullptr;
    for (ULONG id : NodeIdsOf(5))
    {
        ITopologyNode* node = nullptr;
        Function()->FindNodeById(id, &node);
        volume = node->GetKind() == NODE_KIND_VOLUME ? node : volume;
    }
    ASSERT_NE(volume, nullptr);
    ILevelControl* level = nullptr;
    ASSERT_EQ(volume->QueryInterface(IID_ILevelControl, reinterpret_cast<PVOID*>(&level)), STATUS_SUCCESS);
    LONG value = 0;
    level->GetLevel(0, &value);
    level->Release();
    EXPECT_EQ(value, 1024 << 8);
}

TEST_F(Uac1Device, ReportsThatNameNoControlChangeAreIgnored)
{
    Plug("uac1-headset");
    StartWithListener();
    const std::vector<std::vector<uint8_t>> ignored = {
        {0x80},     // cut short
        {0x81, 5},  // originator: a streaming interface
        {0x82, 5},  // originator: an endpoint
        {0x80, 99}, // no such entity
    };
    for (const auto& report : ignored)
        ASSERT_TRUE(m_pDevice->StatusInterrupt().QueueRaw(kStatusEndpoint, report));
    RunFrames();
    EXPECT_EQ(GetCurCount(5), 0u);
    EXPECT_TRUE(m_Changes.Take().empty());
    // The read was re-armed after each: a real change still gets through, and the volume node
    // (id 2 on this device) that now holds a new value is announced once.
    ASSERT_TRUE(m_pDevice->Model().AudioControl().ChangeControl(2, 2, 0, -5120));
    RunFrames();
    EXPECT_EQ(GetCurCount(2, 2), 1u);
    std::vector<ULONG> announced = m_Changes.Take();
    EXPECT_EQ(std::count(announced.begin(), announced.end(), 2u), 1);
    for (ULONG id : announced)
    {
        std::vector<ULONG> unit = NodeIdsOf(2);
        EXPECT_NE(std::find(unit.begin(), unit.end(), id), unit.end()) << id;
    }
}

TEST_F(Uac1Device, StopAndRestartKeepReportingChanges)
{
    Plug("uac1-headset");
    StartWithListener();
    SIZE_T threads = plat::LiveSystemThreadCount();
    ASSERT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(plat::LiveSystemThreadCount(), threads - 1);
    // While stopped nobody reads: the change waits on the endpoint.
    ASSERT_TRUE(m_pDevice->Model().AudioControl().ChangeControl(2, 2, 0, -5120));
    RunFrames();
    EXPECT_EQ(GetCurCount(2, 2), 0u);
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    RunFrames();
    m_Changes.Take();
    m_pDevice->Model().ClearLog();
    ASSERT_TRUE(m_pDevice->Model().AudioControl().ChangeControl(5, 2, 0, 512));
    RunFrames();
    EXPECT_EQ(GetCurCount(5, 2), 1u);
    EXPECT_FALSE(m_Changes.Take().empty());
}

TEST_F(Uac1Device, StallOnTheStatusEndpointEndsTheThreadQuietly)
{
    Plug("uac1-headset");
    StartWithListener();
    SIZE_T threads = plat::LiveSystemThreadCount();
    StallEndpoint(kStatusEndpoint);
    RunFrames();
    EXPECT_EQ(plat::LiveSystemThreadCount(), threads - 1);
    ASSERT_TRUE(m_pDevice->Model().AudioControl().ChangeControl(5, 2, 0, 256));
    RunFrames();
    EXPECT_EQ(GetCurCount(5), 0u);
    EXPECT_TRUE(m_Changes.Take().empty());
    // Stop returns at once; a new start reads again.
    EXPECT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    RunFrames();
    EXPECT_TRUE(Function()->IsStatusThreadRunning());
    EXPECT_GE(GetCurCount(5, 2), 1u); // the pending report and the initial sweep
}

TEST_F(Uac1Device, ThreadCreationFailureLeavesNothingToWaitFor)
{
    Plug("uac1-headset");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    SIZE_T threads = plat::LiveSystemThreadCount();
    plat::FailSystemThreadCreations(1);
    EXPECT_EQ(m_pCommon->Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Function()->IsStatusThreadRunning());
    EXPECT_EQ(plat::LiveSystemThreadCount(), threads);
    EXPECT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
    // The interface copy went with the failure (the rig's leak check); a later start works.
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(Function()->IsStatusThreadRunning());
}

TEST_F(Uac1Device, StatusThreadThatCannotAllocateSignalsItsEnd)
{
    Plug("uac1-headset");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    SIZE_T threads = plat::LiveSystemThreadCount();
    plat::FailAllocationsWithTag(UAC1_DEVICE_POOL_TAG);
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    RunFrames();
    plat::ClearPoolFailures();
    EXPECT_EQ(plat::LiveSystemThreadCount(), threads);
    EXPECT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
}

TEST_F(Uac1Device, PowerCycleStopsAndRestartsTheThread)
{
    Plug("uac1-headset");
    StartWithListener();
    SIZE_T threads = plat::LiveSystemThreadCount();
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    Function()->PowerChangeState(d3);
    EXPECT_FALSE(Function()->IsStatusThreadRunning());
    EXPECT_EQ(plat::LiveSystemThreadCount(), threads - 1);
    m_pDevice->Model().ClearLog();
    Function()->PowerChangeState(d0);
    RunFrames();
    EXPECT_TRUE(Function()->IsStatusThreadRunning());
    // Back in D0 the cached values went to the device again (SET_CUR on the volume).
    size_t sets = 0;
    for (const sim::ControlRecord& r : m_pDevice->Model().Log())
        sets += r.Setup.RequestType == 0x21 && r.Setup.Request == 0x01 && (r.Setup.Index >> 8) == 2;
    EXPECT_GE(sets, 1u);
    // A second D0 changes nothing.
    m_pDevice->Model().ClearLog();
    Function()->PowerChangeState(d0);
    EXPECT_TRUE(m_pDevice->Model().Log().empty());
}

} // namespace
