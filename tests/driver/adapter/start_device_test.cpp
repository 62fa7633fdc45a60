// The device start driven as the system drives it: the driver loaded, added and started by the
// plug-and-play host on a simulated class-1 device, with the real CUsbDevice and topology
// miniport, an audio function double that hands out the endpoints each test describes, and a
// wave miniport double. The endpoints' call log, the port-class library's registration log, the
// device interfaces and pool accounting are the oracles.
#include <gtest/gtest.h>

#include "pc_device.h"
#include "plat_portcls.h"
#include "support/driver_rig.h"
#include "support/function_double.h"

#include "driver/core/audio_hal.h"
#include "driver/core/device_extension.h"
#include "driver/adapter/driver_entry.h"
#include "driver/adapter/start_device.h"
#include "driver/core/topology_node.h"
#include "driver/core/usb_audio_function_if.h"
#include "driver/core/miniport_subdevice_if.h"
#include "driver/topology/miniport/miniport_topology.h"
#include "driver/core/pin_type.h"
#include "driver/usb/usb_device.h"
#include "driver/wave/stream_engine.h"
#include "driver/wave/wave_miniport_creator.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

using Lines = std::vector<std::string>;
constexpr ULONG kDoubleTag = MAKE_POOL_TAG('T', 's', 't', 'D');

std::string Narrow(PCWSTR text)
{
    std::string out;
    for (; text && *text; ++text)
        out.push_back(char(*text));
    return out;
}

// ---- What the doubles were asked and what they answer ----

// One endpoint the function double hands out. A logging endpoint records StartDevice's calls;
// an engine endpoint is a real stream-engine base whose output (render) or input (capture)
// terminal reports one jack.
struct EndpointSpec
{
    ULONG Kind = STREAM_DIRECTION_RENDER;
    ULONG PinType = PIN_TYPE_SPK;
    bool Asio = false;
    bool Engine = false;
    bool JackConnected = true;
    std::string FailCall;                      // the logging endpoint fails this call ...
    NTSTATUS FailStatus = STATUS_UNSUCCESSFUL; // ... with this status
};

struct World
{
    std::vector<EndpointSpec> Endpoints;
    Lines Log;
    std::vector<ULONG> WaveCreatorIndexes;
};
World* g_pWorld = nullptr;

// ---- Topology nodes ----

// A terminal with a source list and (when it has a jack) one jack record.
class CTestTerminal : public ITerminalNode, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();
    CTestTerminal(PUNKNOWN outer, ULONG id, ULONG kind, ULONG pinType, ULONG source, int jack)
        : CTopologyNode(outer, id, kind), m_PinType(pinType), m_Jack(jack)
    {
        if (source != 0)
            SetSourceIdList(1, &source);
    }
    STDMETHODIMP_(NTSTATUS) GetPinType(PULONG pinType) override
    {
        *pinType = m_PinType;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPinTypeCount(PULONG count) override
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetJackCount(PULONG count) override
    {
        *count = m_Jack < 0 ? 0 : 1;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPinTypes(PULONG types) override
    {
        types[0] = m_PinType;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) GetJackDescriptions(ULONG bytes, PVOID records) override
    {
        if (m_Jack < 0 || bytes < sizeof(JackRecord))
            return STATUS_BUFFER_TOO_SMALL;
        JackRecord record{};
        record.ChannelMapping = 3;
        record.IsConnected = ULONG(m_Jack);
        std::memcpy(records, &record, sizeof(record));
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPinGuids(PVOID) override { return STATUS_NOT_SUPPORTED; }

private:
    ULONG m_PinType;
    int m_Jack; // -1 none, 0 unplugged, 1 plugged
};

STDMETHODIMP_(NTSTATUS) CTestTerminal::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (IsEqualGUIDAligned(id, IID_ITerminalNode))
    {
        *out = static_cast<ITerminalNode*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CTopologyNode::NonDelegatingQueryInterface(id, out);
}

// ---- Endpoints ----

// Logs "<index> <call> <detail>" for every call of StartDevice's four steps.
class CLogEndpoint : public IStreamEngine, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    CLogEndpoint(PUNKNOWN outer, ULONG index) : CUnknown(outer), m_Index(index) {}

    STDMETHODIMP_(ULONG) GetKind() override { return Spec().Kind; }
    STDMETHODIMP_(ULONG) GetPinType() override { return Spec().PinType; }
    STDMETHODIMP_(NTSTATUS) SetName(PCWSTR name) override { return Note("SetName " + Narrow(name)); }
    STDMETHODIMP_(NTSTATUS) GetName(PWSTR) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(ULONG) GetFormatCount() override { return 0; }
    STDMETHODIMP_(NTSTATUS) GetFormat(ULONG, PWAVEFORMATEXTENSIBLE) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(ULONG) GetNodeCount() override { return 0; }
    STDMETHODIMP_(NTSTATUS) GetNode(ULONG, ITopologyNode**) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) SetMiniportCreator(PFNCREATEWAVEMINIPORT creator, REFCLSID clsid) override
    {
        bool expected =
            creator == g_pfnCreateMiniportWaveCyclic && IsEqualGUIDAligned(clsid, CLSID_PortWaveCyclic);
        return Note(std::string("SetMiniportCreator") + (expected ? "" : " (unexpected arguments)"));
    }
    STDMETHODIMP_(NTSTATUS) SetTopologyPort(PUNKNOWN port, PUNKNOWN miniport) override
    {
        PMINIPORTSUBDEVICE subdevice = nullptr;
        bool named = false;
        if (miniport && NT_SUCCESS(miniport->QueryInterface(IID_IMiniportSubdevice,
                                                            reinterpret_cast<PVOID*>(&subdevice))))
        {
            PWSTR name = nullptr;
            named = NT_SUCCESS(subdevice->GetSubdeviceName(&name)) && Narrow(name) == "GlobalTopo";
            subdevice->Release();
        }
        return Note(std::string("SetTopologyPort") + (port && named ? "" : " (not the topology filter)"));
    }
    STDMETHODIMP_(NTSTATUS) UpdateSubdevice(PDEVICE_OBJECT device, PIRP, PUNKNOWN adapter) override
    {
        return Note(std::string("UpdateSubdevice") + (device && adapter ? "" : " (missing arguments)"));
    }
    STDMETHODIMP_(NTSTATUS) UnregisterSubdevice(PDEVICE_OBJECT, PIRP, PUNKNOWN) override
    {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) FindFormat(PWAVEFORMATEX) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID*) override
    {
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP_(NTSTATUS) UnregisterCallback(PVOID) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) PowerChangeState(ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) ProcessBuffer(PVOID, ULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) ProcessNodes(PVOID, ULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) ProcessNodesFloat(PVOID, ULONG, USHORT) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) ProcessListB(PVOID, ULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) ProcessListBFloat(ULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) ProcessListC(PVOID, ULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) ProcessListCFloat(ULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) Init(ULONG) override { return STATUS_SUCCESS; }

private:
    const EndpointSpec& Spec() { return g_pWorld->Endpoints[m_Index]; }
    NTSTATUS Note(const std::string& entry)
    {
        g_pWorld->Log.push_back(std::to_string(m_Index) + " " + entry);
        const std::string call = entry.substr(0, entry.find(' '));
        return call == Spec().FailCall ? Spec().FailStatus : STATUS_SUCCESS;
    }
    ULONG m_Index;
};

STDMETHODIMP_(NTSTATUS) CLogEndpoint::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (IsEqualGUIDAligned(id, IID_IStreamEngine))
    {
        *out = static_cast<IStreamEngine*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(id, out);
}

// The stream-engine base as a stream class derives it.
class CTestEngine : public CStreamEngine
{
public:
    CTestEngine(PUNKNOWN outer, ULONG id) : CStreamEngine(outer, id) {}
};

// Node ids: endpoint i owns 10 i + 1 (its streaming terminal) and 10 i + 2 (its jack terminal).
ULONG StreamingTerminalId(ULONG index)
{
    return 10 * index + 11;
}
ULONG JackTerminalId(ULONG index)
{
    return 10 * index + 12;
}

// ---- The wave miniport double ----

class CTestWaveMiniport : public IMiniportSubdevice, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    CTestWaveMiniport(PUNKNOWN outer, ULONG index)
        : CUnknown(outer), m_Index(index), m_Name(u"Wave" + std::u16string(1, char16_t(u'0' + index)))
    {
    }
    STDMETHODIMP_(NTSTATUS) FindPinId(PULONG nodeId, PULONG) override
    {
        *nodeId = JackTerminalId(m_Index);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetSubdeviceName(PWSTR* name) override
    {
        *name = const_cast<PWSTR>(m_Name.c_str());
        return STATUS_SUCCESS;
    }

private:
    ULONG m_Index;
    std::u16string m_Name;
};

STDMETHODIMP_(NTSTATUS) CTestWaveMiniport::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (IsEqualGUIDAligned(id, IID_IMiniportSubdevice))
    {
        *out = static_cast<IMiniportSubdevice*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(id, out);
}

NTSTATUS CreateTestWaveMiniport(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outer, POOL_TYPE pool, ULONG index)
{
    g_pWorld->WaveCreatorIndexes.push_back(index);
    auto* miniport = new (pool, kDoubleTag) CTestWaveMiniport(outer, index);
    if (!miniport)
        return STATUS_INSUFFICIENT_RESOURCES;
    *unknown = miniport->GetNonDelegatingUnknown();
    (*unknown)->AddRef();
    return STATUS_SUCCESS;
}

// ---- What the function double builds ----

template <class T, class... Args> T* Make(Args... args)
{
    T* object = new (NonPagedPool, kDoubleTag) T(nullptr, args...);
    if (object)
        object->NonDelegatingAddRef();
    return object;
}

// Hands the node to the function's list (which takes its own reference) and to the engine.
NTSTATUS AddTerminal(fdt::CFunctionDouble* function, CTestTerminal* node, CTestEngine* engine)
{
    if (!node)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = function->AddNode(node);
    if (NT_SUCCESS(status) && engine)
        status = engine->AddNode(node);
    node->Release();
    return status;
}

// Render: streaming input terminal -> jack output terminal; capture the reverse. The terminals
// carry a pin type the topology filter can describe; only the endpoint reports the test's own.
NTSTATUS AddEndpoint(fdt::CFunctionDouble* function, ULONG index, const EndpointSpec& spec)
{
    const bool capture = spec.Kind != STREAM_DIRECTION_RENDER;
    const ULONG streaming = StreamingTerminalId(index);
    const ULONG jackEnd = JackTerminalId(index);
    const int jack = spec.JackConnected ? 1 : 0;
    const ULONG terminalType =
        spec.PinType < PIN_TYPE_COUNT && spec.PinType != PIN_TYPE_STREAM ? spec.PinType : ULONG(PIN_TYPE_SPK);
    CTestEngine* engine = spec.Engine ? Make<CTestEngine>(index) : nullptr;
    if (engine && !NT_SUCCESS(engine->Init(capture)))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (engine)
    {
        // An endpoint gets a wave filter only with a format to offer on it.
        WAVEFORMATEXTENSIBLE format = {};
        format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.Format.nChannels = 2;
        format.Format.nSamplesPerSec = 48000;
        format.Format.wBitsPerSample = 16;
        format.Format.nBlockAlign = 4;
        format.Format.nAvgBytesPerSec = 192000;
        format.Format.cbSize = 22;
        format.Samples.wValidBitsPerSample = 16;
        format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        EXPECT_EQ(engine->AddFormat(&format), STATUS_SUCCESS);
    }
    CTestTerminal* in =
        capture ? Make<CTestTerminal>(jackEnd, NODE_KIND_INPUT_TERMINAL, terminalType, 0UL, jack)
                : Make<CTestTerminal>(streaming, NODE_KIND_INPUT_TERMINAL, ULONG(PIN_TYPE_STREAM), 0UL, -1);
    CTestTerminal* out =
        capture
            ? Make<CTestTerminal>(streaming, NODE_KIND_OUTPUT_TERMINAL, ULONG(PIN_TYPE_STREAM), jackEnd, -1)
            : Make<CTestTerminal>(jackEnd, NODE_KIND_OUTPUT_TERMINAL, terminalType, streaming, jack);
    NTSTATUS status = AddTerminal(function, in, engine);
    status = NT_SUCCESS(status) ? AddTerminal(function, out, engine) : (out->Release(), status);
    IStreamEngine* stream =
        engine ? static_cast<IStreamEngine*>(engine) : static_cast<IStreamEngine*>(Make<CLogEndpoint>(index));
    if (NT_SUCCESS(status))
        status = function->AddStream(stream);
    stream->Release();
    return status;
}

// A speaker path of its own, so that the topology filter has an output even when the device
// has no endpoints, then the endpoints of the world.
NTSTATUS BuildWorld(fdt::CFunctionDouble* function)
{
    NTSTATUS status = AddTerminal(
        function, Make<CTestTerminal>(1UL, NODE_KIND_INPUT_TERMINAL, ULONG(PIN_TYPE_STREAM), 0UL, -1),
        nullptr);
    if (NT_SUCCESS(status))
        status = AddTerminal(
            function, Make<CTestTerminal>(2UL, NODE_KIND_OUTPUT_TERMINAL, ULONG(PIN_TYPE_SPK), 1UL, -1),
            nullptr);
    for (ULONG i = 0; NT_SUCCESS(status) && i < g_pWorld->Endpoints.size(); ++i)
        status = AddEndpoint(function, i, g_pWorld->Endpoints[i]);
    return status;
}

// ---- The rig ----

class StartDeviceTest : public rig::DriverRig
{
protected:
    StartDeviceTest() : DriverRig(rig::WholeDriver(&fdt::kDoubleCreators)) {}

    void SetUp() override
    {
        fdt::ResetFunctionDouble();
        fdt::g_Script.Build = BuildWorld;
        g_pWorld = &m_World;
        m_pSavedWaveCreator = g_pfnCreateMiniportWaveCyclic;
        g_pfnCreateMiniportWaveCyclic = CreateTestWaveMiniport;
        DriverRig::SetUp();
        Plug("uac1-speaker");
    }

    void TearDown() override
    {
        RemoveAndCheck();
        g_pfnCreateMiniportWaveCyclic = m_pSavedWaveCreator;
        EXPECT_EQ(fdt::g_Created.Created, fdt::g_Created.Destroyed)
            << "an audio function outlived the device";
        g_pWorld = nullptr;
    }

    // Starts with the endpoints given; the function reports each one's ASIO flag.
    NTSTATUS Start(std::vector<EndpointSpec> endpoints)
    {
        m_World.Endpoints = std::move(endpoints);
        fdt::g_Script.EndpointFlags.clear();
        for (const EndpointSpec& spec : m_World.Endpoints)
            fdt::g_Script.EndpointFlags.push_back(spec.Asio ? ENDPOINT_CAPS_FLAG_ASIO : 0x1);
        return m_pPnp->Start();
    }

    Lines TakeLog()
    {
        Lines lines = m_World.Log;
        m_World.Log.clear();
        return lines;
    }

    // Names of the subdevices registered now, narrowed.
    Lines Subdevices()
    {
        Lines names;
        for (const std::u16string& name : plat::PcRegisteredSubdevices(m_pFdo))
            names.push_back(std::string(name.begin(), name.end()));
        return names;
    }

    // The driver's own interfaces are told apart from the filters' by their reference strings.
    bool InterfaceEnabled(const GUID& interfaceClass)
    {
        const std::u16string reference = interfaceClass == GUID_DEVINTERFACE_ASIO_PRIVATE
                                             ? u"QXASIOPrivateInterface"
                                             : u"QXEnumPrivateInterface";
        for (const plat::DeviceInterfaceRecord& record : plat::IoListDeviceInterfaces())
            if (record.Pdo == Pdo() && record.InterfaceClass == interfaceClass &&
                record.ReferenceString == reference && record.Enabled)
                return true;
        return false;
    }

    World m_World;
    PFNCREATEWAVEMINIPORT m_pSavedWaveCreator = nullptr;
};

EndpointSpec Render(ULONG pinType)
{
    EndpointSpec spec;
    spec.PinType = pinType;
    return spec;
}

EndpointSpec Capture(ULONG pinType)
{
    EndpointSpec spec;
    spec.Kind = STREAM_DIRECTION_CAPTURE;
    spec.PinType = pinType;
    return spec;
}

Lines FourCalls(ULONG index, const std::string& name)
{
    const std::string i = std::to_string(index);
    return {i + " SetName " + name, i + " SetMiniportCreator", i + " SetTopologyPort",
            i + " UpdateSubdevice"};
}

Lines Concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// ---- Version ----

TEST_F(StartDeviceTest, APortClassLibraryBelowVersion11IsRefusedBeforeTheAdapterExists)
{
    plat::PcSetVersion(10);
    EXPECT_EQ(Start({Render(PIN_TYPE_SPK)}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fdt::g_Created.Created, 0);
    EXPECT_EQ(plat::PoolLiveBlocks(USB_DEVICE_OBJECT_POOL_TAG), 0u) << "no CUsbDevice was made";
    EXPECT_TRUE(Subdevices().empty());
    EXPECT_EQ(Extension()->AdapterCommon, nullptr);

    // Version 11 is enough.
    plat::PcSetVersion(11);
    EXPECT_EQ(Start({Render(PIN_TYPE_SPK)}), STATUS_SUCCESS);
    EXPECT_EQ(fdt::g_Created.Created, 1);
}

// ---- Naming and the per-endpoint steps ----

// Pin types without a name of their own (past the table, the stream type itself, a stray high
// value) are named and counted as streams.
TEST_F(StartDeviceTest, EndpointsAreNamedByDirectionAndPinTypeAndSetUpInIndexOrder)
{
    ASSERT_EQ(Start({Render(PIN_TYPE_SPK), Capture(PIN_TYPE_MIC), Render(PIN_TYPE_SPK), Render(PIN_TYPE_HP),
                     Render(PIN_TYPE_COUNT), Render(PIN_TYPE_STREAM), Capture(0x80000000u)}),
              STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), Concat({FourCalls(0, "SPKOut00"), FourCalls(1, "MicIn00"), FourCalls(2, "SPKOut01"),
                                 FourCalls(3, "HPOut00"), FourCalls(4, "StreamOut00"),
                                 FourCalls(5, "StreamOut01"), FourCalls(6, "StreamIn00")}));
    EXPECT_EQ(Subdevices(), (Lines{"GlobalTopo"}))
        << "the topology filter is the only subdevice StartDevice registers";
    EXPECT_EQ(Extension()->RenderNameCounters[PIN_TYPE_SPK], 2);
    EXPECT_EQ(Extension()->CaptureNameCounters[PIN_TYPE_MIC], 1);
    EXPECT_EQ(Extension()->RenderNameCounters[PIN_TYPE_HP], 1);
    EXPECT_EQ(Extension()->RenderNameCounters[PIN_TYPE_STREAM], 2);
    EXPECT_EQ(Extension()->CaptureNameCounters[PIN_TYPE_STREAM], 1);
    for (ULONG i = PIN_TYPE_COUNT; i < ENDPOINT_NAME_COUNTERS; ++i)
        EXPECT_EQ(Extension()->RenderNameCounters[i] + Extension()->CaptureNameCounters[i], 0) << i;
}

// ---- Failures ----

TEST_F(StartDeviceTest, AFailedTopologyInstallFailsTheStartBeforeAnyEndpoint)
{
    // The topology miniport cannot be made.
    plat::FailAllocationsWithTag(MINIPORT_TOPOLOGY_POOL_TAG);
    EXPECT_EQ(Start({Render(PIN_TYPE_SPK), Capture(PIN_TYPE_MIC)}), STATUS_INSUFFICIENT_RESOURCES);
    plat::ClearPoolFailures();
    EXPECT_TRUE(plat::PcRegistrationLog(m_pFdo).empty());
    EXPECT_TRUE(TakeLog().empty()) << "no endpoint was touched";
    EXPECT_EQ(Extension()->AdapterCommon, nullptr);
    EXPECT_FALSE(InterfaceEnabled(GUID_DEVINTERFACE_ENUM_PRIVATE));
    EXPECT_FALSE(InterfaceEnabled(GUID_DEVINTERFACE_ASIO_PRIVATE));
}

TEST_F(StartDeviceTest, AFailedEndpointStepEndsTheStartWithItsStatus)
{
    for (const char* call : {"SetName", "SetMiniportCreator", "SetTopologyPort", "UpdateSubdevice"})
    {
        SCOPED_TRACE(call);
        std::vector<EndpointSpec> endpoints = {Render(PIN_TYPE_SPK), Render(PIN_TYPE_LINE),
                                               Render(PIN_TYPE_SPK)};
        endpoints[1].FailCall = call;
        endpoints[1].FailStatus = STATUS_DEVICE_NOT_READY;
        EXPECT_EQ(Start(endpoints), STATUS_DEVICE_NOT_READY);
        Lines log = TakeLog();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().substr(0, 2 + std::strlen(call)), std::string("1 ") + call)
            << "nothing after the failure";
        EXPECT_EQ(Extension()->AdapterCommon, nullptr);
        EXPECT_FALSE(InterfaceEnabled(GUID_DEVINTERFACE_ENUM_PRIVATE));
        plat::PcForgetDevice(m_pFdo);
    }
}

// ---- Interfaces ----

// The enumeration interface always; the ASIO one when any endpoint, not only the first, asks
// for it. A device without endpoints still starts.
TEST_F(StartDeviceTest, TheAsioInterfaceFollowsTheEndpointsFlags)
{
    const std::vector<std::vector<bool>> rows = {{}, {false, false}, {false, true, false}};
    for (const std::vector<bool>& flags : rows)
    {
        SCOPED_TRACE(flags.size());
        std::vector<EndpointSpec> endpoints;
        for (bool asio : flags)
        {
            endpoints.push_back(Render(PIN_TYPE_SPK));
            endpoints.back().Asio = asio;
        }
        ASSERT_EQ(Start(endpoints), STATUS_SUCCESS);
        // A restart stops and lets go of the previous start's adapter.
        EXPECT_EQ(fdt::g_Created.StopCalls, fdt::g_Created.Created - 1);
        EXPECT_EQ(fdt::g_Created.Destroyed, fdt::g_Created.Created - 1);
        const bool asio = std::find(flags.begin(), flags.end(), true) != flags.end();
        EXPECT_EQ(InterfaceEnabled(GUID_DEVINTERFACE_ASIO_PRIVATE), asio);
        EXPECT_EQ(Extension()->AsioInterfaceEnabled, BOOLEAN(asio));
        EXPECT_TRUE(InterfaceEnabled(GUID_DEVINTERFACE_ENUM_PRIVATE));
        ASSERT_EQ(m_pPnp->QueryStop(), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->Stop(), STATUS_SUCCESS);
        plat::PcForgetDevice(m_pFdo);
    }
}

// ---- Wave subdevices through the stream-engine base ----

TEST_F(StartDeviceTest, OnlyEndpointsWithAConnectedJackGetAWaveSubdeviceAndAConnection)
{
    std::vector<EndpointSpec> endpoints = {Render(PIN_TYPE_SPK), Render(PIN_TYPE_HP), Capture(PIN_TYPE_MIC)};
    for (EndpointSpec& spec : endpoints)
        spec.Engine = true;
    endpoints[1].JackConnected = false;
    ASSERT_EQ(Start(endpoints), STATUS_SUCCESS);
    EXPECT_EQ(EndpointNames(), (std::vector<std::u16string>{u"SPKOut00", u"HPOut00", u"MicIn00"}));
    EXPECT_EQ(m_World.WaveCreatorIndexes, (std::vector<ULONG>{0, 2}));
    EXPECT_EQ(Subdevices(), (Lines{"GlobalTopo", "Wave0", "Wave2"})) << "the topology filter first";
    EXPECT_EQ(plat::PcRegisteredConnectionCount(m_pFdo), 2u);

    // Render flows from the wave filter into the topology filter, capture the other way.
    PVOID topology = nullptr;
    std::vector<std::pair<PVOID, PVOID>> connections;
    std::vector<PVOID> wavePorts;
    for (const plat::PcRegistrationEntry& entry : plat::PcRegistrationLog(m_pFdo))
    {
        if (entry.Op == plat::PcRegistrationOp::RegisterSubdevice && entry.Name == u"GlobalTopo")
            topology = entry.Port;
        else if (entry.Op == plat::PcRegistrationOp::RegisterSubdevice)
            wavePorts.push_back(entry.Port);
        else if (entry.Op == plat::PcRegistrationOp::RegisterConnection)
            connections.push_back({entry.FromPort, entry.ToPort});
    }
    ASSERT_EQ(wavePorts.size(), 2u);
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(connections[0], std::make_pair(wavePorts[0], topology));
    EXPECT_EQ(connections[1], std::make_pair(topology, wavePorts[1]));
}

} // namespace
