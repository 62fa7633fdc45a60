// CStreamEngine through IStreamEngine: the endpoint name, the format lookup a client's format
// goes through, the format list a render endpoint of a two-channel jack offers, the callback
// object, Init's clean failures, and the wave subdevice with its physical connection as the
// terminal's jacks ask, checked against the port-class stand-in's registration log.
#include "support/miniport_topology_doubles.h"

#include "driver/core/audio_hal.h"
#include "driver/core/pin_type.h"
#include "driver/wave/stream_engine.h"
#include "plat_debug.h"
#include "plat_portcls.h"
#include "plat_sched.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace
{

using gd::CFakeNode;
using gd::CFakeTerminal;
using gd::Make;
using gd::RefCount;
using mt::CFakeMiniport;
using plat::PcRegistrationOp;

// Exposes what the endpoint keeps.
class CTestEngine : public CStreamEngine
{
public:
    CTestEngine(PUNKNOWN outer, ULONG id) : CStreamEngine(outer, id) {}
    PUNKNOWN WavePort() const { return m_pWavePort; }
    PCALLBACK_OBJECT CallbackObject() const { return m_pCallbackObject; }
};

// The wave miniport creator: what the stream asked for, and what it gets.
struct CreatorRecord
{
    std::vector<ULONG> EndpointIndexes;
    ULONG TerminalNode = 0;
    std::u16string Name = u"HPOut00Wave";
};
CreatorRecord g_creator;

NTSTATUS FakeCreator(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outer, POOL_TYPE pool, ULONG index)
{
    EXPECT_EQ(outer, nullptr);
    EXPECT_EQ(pool, NonPagedPool);
    g_creator.EndpointIndexes.push_back(index);
    CFakeMiniport* miniport = Make<CFakeMiniport>(g_creator.Name, g_creator.TerminalNode);
    *unknown = miniport->GetNonDelegatingUnknown();
    return STATUS_SUCCESS;
}

WAVEFORMATEXTENSIBLE Extensible(WORD channels, DWORD rate, WORD bits, DWORD mask,
                                const GUID& sub = KSDATAFORMAT_SUBTYPE_PCM)
{
    return gd::Pcm(channels, rate, WORD((bits + 7) / 8), bits, mask, sub);
}

std::u16string NameOf(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

class StreamEngine : public gd::LeakCheckedTest
{
protected:
    void SetUp() override
    {
        gd::LeakCheckedTest::SetUp();
        g_creator = CreatorRecord();
    }
    void TearDown() override
    {
        plat::PcForgetDevice(Device());
        gd::LeakCheckedTest::TearDown();
    }

    CTestEngine* NewEngine(ULONG capture, ULONG id = 1)
    {
        CTestEngine* engine = Make<CTestEngine>(id);
        EXPECT_EQ(engine->Init(capture), STATUS_SUCCESS);
        return engine;
    }

    // The port-class stand-in only uses the device object as a key.
    PDEVICE_OBJECT Device() { return reinterpret_cast<PDEVICE_OBJECT>(&m_DeviceKey); }

    std::vector<plat::PcRegistrationEntry> LogOf(PcRegistrationOp op)
    {
        std::vector<plat::PcRegistrationEntry> out;
        for (const plat::PcRegistrationEntry& entry : plat::PcRegistrationLog(Device()))
            if (entry.Op == op)
                out.push_back(entry);
        return out;
    }

    plat::ScopedThreadRegistration m_Registration{"stream-engine-test"};
    int m_DeviceKey = 0;
};

// ---- Name ----

TEST_F(StreamEngine, NameIsKeptUpToFiftyCharactersAndALongerOneIsRefused)
{
    CTestEngine* engine = New<CTestEngine>(1u);
    WCHAR buffer[STREAM_NAME_BUFFER_CHARS];
    EXPECT_EQ(engine->SetName(u"SPKOut00"), STATUS_UNSUCCESSFUL) << "no name buffer before Init";
    ASSERT_EQ(engine->Init(STREAM_DIRECTION_RENDER), STATUS_SUCCESS);

    ASSERT_EQ(engine->GetName(buffer), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"");
    ASSERT_EQ(engine->SetName(u"SPKOut00"), STATUS_SUCCESS);
    ASSERT_EQ(engine->GetName(buffer), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"SPKOut00");

    const std::u16string fifty = NameOf(std::string(46, 'x') + "In07");
    ASSERT_EQ(fifty.size(), 50u);
    ASSERT_EQ(engine->SetName(fifty.c_str()), STATUS_SUCCESS);
    ASSERT_EQ(engine->GetName(buffer), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), fifty);

    const std::u16string fiftyOne = fifty + u"9";
    EXPECT_EQ(engine->SetName(fiftyOne.c_str()), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(engine->GetName(buffer), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), fifty) << "the old name stays";

    EXPECT_EQ(engine->SetName(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->GetName(nullptr), STATUS_INVALID_PARAMETER);
}

// ---- Formats ----

class StreamEngineFormats : public StreamEngine
{
protected:
    void SetUp() override
    {
        StreamEngine::SetUp();
        m_Engine = NewEngine(STREAM_DIRECTION_RENDER);
        for (const WAVEFORMATEXTENSIBLE& f : m_Records)
            ASSERT_EQ(m_Engine->AddFormat(&f), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        m_Engine->Release();
        StreamEngine::TearDown();
    }

    const WAVEFORMATEXTENSIBLE m_Records[4] = {
        Extensible(2, 44100, 24, 3),
        Extensible(2, 48000, 16, 3),
        Extensible(6, 48000, 16, 0x3F),
        Extensible(2, 48000, 16, 3, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT),
    };
    CTestEngine* m_Engine = nullptr;
};

TEST_F(StreamEngineFormats, PlainPcmFormatTakesTheOfferedRatesAndKeepsItsTag)
{
    // Exactly 18 bytes: a plain format is never read or written past its end.
    std::vector<uint8_t> bytes(sizeof(WAVEFORMATEX));
    WAVEFORMATEX* f = reinterpret_cast<WAVEFORMATEX*>(bytes.data());
    f->wFormatTag = WAVE_FORMAT_PCM;
    f->nChannels = 2;
    f->nSamplesPerSec = 48000;
    f->wBitsPerSample = 16;
    f->nAvgBytesPerSec = 1; // wrong on purpose: the offered record decides
    f->nBlockAlign = 9;
    f->cbSize = 7;
    ASSERT_EQ(m_Engine->FindFormat(f), STATUS_SUCCESS);
    const WAVEFORMATEX offered = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    EXPECT_EQ(std::memcmp(f, &offered, sizeof(offered)), 0);

    // Float matches only a record whose sub-format is float.
    f->wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    f->nBlockAlign = 0;
    EXPECT_EQ(m_Engine->FindFormat(f), STATUS_SUCCESS);
    EXPECT_EQ(f->wFormatTag, WAVE_FORMAT_IEEE_FLOAT);

    // No record of 32 bits, none of 96 kHz, none of one channel.
    const struct
    {
        WORD Channels;
        DWORD Rate;
        WORD Bits;
        WORD Tag;
    } misses[] = {{2, 48000, 32, WAVE_FORMAT_PCM},
                  {2, 96000, 16, WAVE_FORMAT_PCM},
                  {1, 48000, 16, WAVE_FORMAT_PCM},
                  {2, 44100, 24, WAVE_FORMAT_IEEE_FLOAT},
                  {2, 48000, 16, WAVE_FORMAT_DOLBY_AC3_SPDIF}};
    for (const auto& miss : misses)
    {
        WAVEFORMATEX probe{};
        probe.wFormatTag = miss.Tag;
        probe.nChannels = miss.Channels;
        probe.nSamplesPerSec = miss.Rate;
        probe.wBitsPerSample = miss.Bits;
        probe.nBlockAlign = 77;
        EXPECT_EQ(m_Engine->FindFormat(&probe), STATUS_NO_MATCH) << miss.Channels << " " << miss.Rate;
        EXPECT_EQ(probe.nBlockAlign, 77) << "a miss leaves the format alone";
    }
}

TEST_F(StreamEngineFormats, ExtensibleFormatMatchesOnlyByteForByte)
{
    for (const WAVEFORMATEXTENSIBLE& record : m_Records)
    {
        WAVEFORMATEXTENSIBLE f = record;
        EXPECT_EQ(m_Engine->FindFormat(&f.Format), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(&f, &record, sizeof(f)), 0) << "a match leaves the format as it was";
    }
    WAVEFORMATEXTENSIBLE other = m_Records[1];
    other.dwChannelMask = 0x600; // side pair instead of front pair
    EXPECT_EQ(m_Engine->FindFormat(&other.Format), STATUS_NO_MATCH);
    other = m_Records[1];
    other.Samples.wValidBitsPerSample = 12;
    EXPECT_EQ(m_Engine->FindFormat(&other.Format), STATUS_NO_MATCH);
    EXPECT_EQ(m_Engine->FindFormat(nullptr), STATUS_INVALID_PARAMETER);
}

// The caller's buffer holds exactly what cbSize claims; the sanitizer build catches any read
// past it or past a 40-byte record.
TEST_F(StreamEngineFormats, ExtensibleFormatWithAnyOtherSizeNeverMatchesAndIsReadInBounds)
{
    const USHORT sizes[] = {0, 1, 4, 21, 23, 24, 200, 0xFFFF};
    for (USHORT cbSize : sizes)
    {
        std::vector<uint8_t> bytes(sizeof(WAVEFORMATEX) + cbSize, 0);
        std::memcpy(bytes.data(), &m_Records[1], std::min(bytes.size(), sizeof(WAVEFORMATEXTENSIBLE)));
        WAVEFORMATEX* f = reinterpret_cast<WAVEFORMATEX*>(bytes.data());
        f->cbSize = cbSize;
        std::vector<uint8_t> before = bytes;
        EXPECT_EQ(m_Engine->FindFormat(f), STATUS_NO_MATCH) << "cbSize " << cbSize;
        EXPECT_EQ(bytes, before) << "cbSize " << cbSize;
    }
}

TEST_F(StreamEngine, FindFormatWithoutFormatsFindsNothing)
{
    CTestEngine* bare = New<CTestEngine>(1u);
    WAVEFORMATEXTENSIBLE f = Extensible(2, 48000, 16, 3);
    EXPECT_EQ(bare->FindFormat(&f.Format), STATUS_NO_MATCH) << "before Init";
    ASSERT_EQ(bare->Init(STREAM_DIRECTION_RENDER), STATUS_SUCCESS);
    EXPECT_EQ(bare->FindFormat(&f.Format), STATUS_NO_MATCH) << "empty list";
}

// Render endpoints of jacks that carry two channels offer only the two-channel formats.
TEST_F(StreamEngine, FormatListFollowsDirectionAndPinType)
{
    const WAVEFORMATEXTENSIBLE records[] = {Extensible(2, 48000, 16, 3), Extensible(6, 48000, 16, 0x3F),
                                            Extensible(8, 48000, 24, 0x63F), Extensible(2, 96000, 24, 3)};
    for (ULONG capture = 0; capture < 2; ++capture)
    {
        for (ULONG pinType = PIN_TYPE_STREAM; pinType <= PIN_TYPE_REC; ++pinType)
        {
            CTestEngine* engine = NewEngine(capture);
            ULONG kind = capture ? NODE_KIND_INPUT_TERMINAL : NODE_KIND_OUTPUT_TERMINAL;
            CFakeTerminal* terminal = Make<CFakeTerminal>(3u, kind, pinType);
            ASSERT_EQ(engine->AddNode(terminal), STATUS_SUCCESS);
            for (const WAVEFORMATEXTENSIBLE& f : records)
                ASSERT_EQ(engine->AddFormat(&f), STATUS_SUCCESS);
            const bool twoOnly = !capture && (pinType == PIN_TYPE_HP || pinType == PIN_TYPE_SPDIF ||
                                              pinType == PIN_TYPE_HEADSET || pinType == PIN_TYPE_FHP);
            ASSERT_EQ(engine->GetFormatCount(), twoOnly ? 2u : 4u) << capture << " " << pinType;
            WAVEFORMATEXTENSIBLE got;
            ASSERT_EQ(engine->GetFormat(1, &got), STATUS_SUCCESS);
            const WAVEFORMATEXTENSIBLE& expected = twoOnly ? records[3] : records[1];
            EXPECT_EQ(std::memcmp(&got, &expected, sizeof(got)), 0) << capture << " " << pinType;
            EXPECT_EQ(engine->GetFormat(twoOnly ? 2 : 4, &got), STATUS_INVALID_PARAMETER);
            engine->Release();
            terminal->Release();
        }
    }
}

// ---- Init and the callback object ----

TEST_F(StreamEngine, CallbackObjectIsNamedAfterTheEndpointAndTakesRegistrations)
{
    CTestEngine* idle = Make<CTestEngine>(1u);
    PVOID handle = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(idle->RegisterCallback(gd::Heard::Callback, nullptr, &handle), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(handle, nullptr);
    idle->Release();

    CTestEngine* engine = NewEngine(STREAM_DIRECTION_CAPTURE);
    const std::u16string name = gd::AddressName("StreamEngineAddr", static_cast<CStreamEngine*>(engine));
    EXPECT_EQ(name.size(), 42u);
    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(gd::OpenCallbackObject(name, &opened), STATUS_SUCCESS);
    EXPECT_EQ(opened, engine->CallbackObject());

    gd::Heard first, second;
    PVOID one = nullptr, two = nullptr;
    ASSERT_EQ(engine->RegisterCallback(gd::Heard::Callback, &first, &one), STATUS_SUCCESS);
    ASSERT_EQ(engine->RegisterCallback(gd::Heard::Callback, &second, &two), STATUS_SUCCESS);
    int payload = 7;
    ExNotifyCallback(opened, &payload, nullptr);
    ASSERT_EQ(first.Calls.size(), 1u);
    EXPECT_EQ(first.Calls[0].first, &payload);
    EXPECT_EQ(second.Calls.size(), 1u);
    EXPECT_EQ(engine->UnregisterCallback(one), STATUS_SUCCESS);
    ExNotifyCallback(opened, &payload, nullptr);
    EXPECT_EQ(first.Calls.size(), 1u);
    EXPECT_EQ(second.Calls.size(), 2u);
    EXPECT_EQ(engine->UnregisterCallback(two), STATUS_SUCCESS);
    EXPECT_EQ(engine->UnregisterCallback(nullptr), STATUS_INVALID_PARAMETER);
    ObDereferenceObject(opened);

    engine->Release();
    EXPECT_EQ(gd::OpenCallbackObject(name, &opened), STATUS_OBJECT_NAME_NOT_FOUND)
        << "the name goes with the endpoint";
}

TEST_F(StreamEngine, InitFailsCleanlyAtEveryAllocation)
{
    const SIZE_T callbacksBefore = plat::ObLiveObjectCount(ExCallbackObjectType);
    // Every allocation of the endpoint, each made to fail in turn, until Init gets through.
    ULONG failures = 0;
    for (ULONG n = 1; n < 64; ++n)
    {
        CTestEngine* engine = Make<CTestEngine>(1u);
        const ULONGLONG injected = plat::PoolInjectedFailureCount();
        plat::FailNthAllocation(n);
        NTSTATUS status = engine->Init(STREAM_DIRECTION_RENDER);
        const bool fired = plat::PoolInjectedFailureCount() != injected;
        plat::ClearPoolFailures();
        if (!fired)
        {
            EXPECT_EQ(status, STATUS_SUCCESS);
            engine->Release();
            break;
        }
        ++failures;
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        EXPECT_EQ(engine->CallbackObject(), nullptr) << "allocation " << n;
        EXPECT_EQ(engine->GetFormatCount(), 0u);
        WCHAR buffer[STREAM_NAME_BUFFER_CHARS];
        EXPECT_EQ(engine->GetName(buffer), STATUS_UNSUCCESSFUL);
        engine->Release();
        EXPECT_EQ(plat::ObLiveObjectCount(ExCallbackObjectType), callbacksBefore);
    }
    // Nine list headers, their nodes are made later, and the name buffer.
    EXPECT_GE(failures, 10u);

    plat::FailAllocationsWithTag(STREAM_POOL_TAG);
    CTestEngine* engine = Make<CTestEngine>(1u);
    EXPECT_EQ(engine->Init(STREAM_DIRECTION_CAPTURE), STATUS_INSUFFICIENT_RESOURCES);
    plat::ClearPoolFailures();
    EXPECT_EQ(engine->Init(STREAM_DIRECTION_CAPTURE), STATUS_SUCCESS)
        << "a failed Init leaves nothing behind";
    EXPECT_EQ(engine->Init(STREAM_DIRECTION_CAPTURE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(engine->GetKind(), STREAM_DIRECTION_CAPTURE);
    engine->Release();
}

TEST_F(StreamEngine, SettersRefuseMissingObjects)
{
    CTestEngine* engine = NewEngine(STREAM_DIRECTION_RENDER);
    EXPECT_EQ(engine->SetMiniportCreator(nullptr, CLSID_PortWaveCyclic), STATUS_NO_SUCH_DEVICE);
    CFakeMiniport* miniport = New<CFakeMiniport>(std::u16string(u"Topo"), 0u);
    PUNKNOWN unknown = miniport->GetNonDelegatingUnknown();
    EXPECT_EQ(engine->SetTopologyPort(nullptr, unknown), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(engine->SetTopologyPort(unknown, nullptr), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(engine->UpdateSubdevice(Device(), nullptr, nullptr), STATUS_UNSUCCESSFUL) << "no creator yet";
    EXPECT_TRUE(plat::PcRegistrationLog(Device()).empty());
    EXPECT_EQ(RefCount(miniport), 1u);
    engine->Release();
}

// ---- Wave subdevice by jack state ----

// One device with a registered topology filter, and the endpoints under test in its stream
// list behind one other endpoint.
class StreamEngineSubdevice : public StreamEngine
{
protected:
    static constexpr ULONG kTerminalNode = 3;
    static constexpr ULONG kJackNode = 5;
    static constexpr ULONG kTopologyPin = 7;

    void SetUp() override
    {
        StreamEngine::SetUp();
        m_Topology = Make<CFakeMiniport>(std::u16string(u"Topology"), 0u);
        m_Topology->m_PinOfNode[kTerminalNode] = kTopologyPin;
        ASSERT_EQ(PcNewPort(&m_TopologyPort, CLSID_PortTopology), STATUS_SUCCESS);
        ASSERT_EQ(
            m_TopologyPort->Init(Device(), nullptr, m_Topology->GetNonDelegatingUnknown(), nullptr, nullptr),
            STATUS_SUCCESS);
        ASSERT_EQ(PcRegisterSubdevice(Device(), const_cast<PWSTR>(u"Topology"), m_TopologyPort),
                  STATUS_SUCCESS);
        m_Other = NewEngine(STREAM_DIRECTION_RENDER, 9);
        g_creator.TerminalNode = kTerminalNode;
    }
    void TearDown() override
    {
        if (m_Hal)
            m_Hal->Release();
        for (CTestEngine* engine : m_Engines)
            engine->Release();
        for (CFakeTerminal* terminal : m_Terminals)
            terminal->Release();
        m_Other->Release();
        plat::PcForgetDevice(Device());
        m_TopologyPort->Release();
        m_Topology->Release();
        StreamEngine::TearDown();
    }

    // An endpoint whose path holds one terminal of the given kind; it joins the device.
    // The path also holds the endpoint's own streaming terminal, the one the wave filter is tied
    // to the topology filter by.
    CTestEngine* Endpoint(ULONG capture, ULONG kind, ULONG pinType, std::vector<ULONG> jacks,
                          std::vector<WAVEFORMATEXTENSIBLE> formats = {Extensible(2, 48000, 16, 3)})
    {
        CTestEngine* engine = NewEngine(capture);
        for (const WAVEFORMATEXTENSIBLE& f : formats)
            EXPECT_EQ(engine->AddFormat(&f), STATUS_SUCCESS);
        CFakeTerminal* streaming = Make<CFakeTerminal>(
            kTerminalNode, capture ? ULONG(NODE_KIND_OUTPUT_TERMINAL) : ULONG(NODE_KIND_INPUT_TERMINAL),
            ULONG(PIN_TYPE_STREAM));
        EXPECT_EQ(engine->AddNode(streaming), STATUS_SUCCESS);
        streaming->Release();
        CFakeTerminal* terminal = Make<CFakeTerminal>(kJackNode, kind, pinType);
        for (ULONG plugged : jacks)
            terminal->Jacks.push_back(gd::PluggedJack(plugged));
        EXPECT_EQ(engine->AddNode(terminal), STATUS_SUCCESS);
        EXPECT_EQ(engine->SetMiniportCreator(FakeCreator, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        EXPECT_EQ(engine->SetTopologyPort(m_TopologyPort, m_Topology->GetNonDelegatingUnknown()),
                  STATUS_SUCCESS);
        m_Engines.push_back(engine);
        m_Terminals.push_back(terminal);
        return engine;
    }

    PUNKNOWN Adapter()
    {
        if (!m_Hal)
        {
            m_Hal = Make<gd::CTestHal>();
            m_Hal->Streams.push_back(m_Other);
            for (CTestEngine* engine : m_Engines)
                m_Hal->Streams.push_back(engine);
            EXPECT_EQ(m_Hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
        }
        return m_Hal->GetNonDelegatingUnknown();
    }

    std::vector<std::u16string> Registered() { return plat::PcRegisteredSubdevices(Device()); }

    CFakeMiniport* m_Topology = nullptr;
    PPORT m_TopologyPort = nullptr;
    CTestEngine* m_Other = nullptr;
    gd::CTestHal* m_Hal = nullptr;
    std::vector<CTestEngine*> m_Engines;
    std::vector<CFakeTerminal*> m_Terminals;
};

TEST_F(StreamEngineSubdevice, JackStateDecidesWhetherTheEndpointGetsASubdevice)
{
    struct Row
    {
        const char* What;
        ULONG Capture;
        ULONG Kind;
        ULONG PinType;
        std::vector<ULONG> Jacks;
        bool FailJackCount;
        bool Installed;
    };
    // Case, direction, terminal kind, pin type, jack states, jack count fails, installed.
    const Row rows[] = {
        {"render HP plugged", 0, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_HP, {1}, false, true},
        {"render streaming terminal", 0, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_STREAM, {1}, false, false},
        {"render no jack records", 0, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_SPK, {}, false, true},
        {"render one of two plugged", 0, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_HEADSET, {0, 1}, false, true},
        {"render all unplugged", 0, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_HP, {0, 0}, false, false},
        {"render jack count fails", 0, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_HP, {1}, true, false},
        {"render only an input terminal", 0, NODE_KIND_INPUT_TERMINAL, PIN_TYPE_HP, {1}, false, false},
        {"capture mic plugged", 1, NODE_KIND_INPUT_TERMINAL, PIN_TYPE_MIC, {1}, false, true},
        {"capture mic unplugged", 1, NODE_KIND_INPUT_TERMINAL, PIN_TYPE_MIC, {0}, false, false},
        {"capture only an output terminal", 1, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_SPK, {1}, false, false},
    };
    for (const Row& row : rows)
    {
        CTestEngine* engine = Endpoint(row.Capture, row.Kind, row.PinType, row.Jacks);
        m_Terminals.back()->JackCountStatus = row.FailJackCount ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
        ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS) << row.What;
        EXPECT_EQ(Registered().size(), row.Installed ? 2u : 1u) << row.What;
        EXPECT_EQ(engine->WavePort() != nullptr, row.Installed) << row.What;
        ASSERT_EQ(engine->UnregisterSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS) << row.What;
        EXPECT_EQ(Registered().size(), 1u) << row.What;
        m_Hal->Release();
        m_Hal = nullptr;
    }

    // A node of terminal kind without the terminal interface counts as no terminal.
    CTestEngine* engine = NewEngine(STREAM_DIRECTION_RENDER);
    m_Engines.push_back(engine);
    CFakeNode* bare = Make<CFakeNode>(kTerminalNode, ULONG(NODE_KIND_OUTPUT_TERMINAL));
    ASSERT_EQ(engine->AddNode(bare), STATUS_SUCCESS);
    bare->Release();
    ASSERT_EQ(engine->SetMiniportCreator(FakeCreator, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
    EXPECT_EQ(engine->WavePort(), nullptr);
    EXPECT_EQ(Registered().size(), 1u);
}

// An endpoint whose every format is one the wave filter never shows is left without a wave
// filter, says so, and makes no miniport; the device's start goes on.
TEST_F(StreamEngineSubdevice, EndpointWithNothingToOfferGetsNoWaveFilterAndSaysSo)
{
    const WAVEFORMATEXTENSIBLE dsd = Extensible(2, 88200, 1, 3, KSDATAFORMAT_SUBTYPE_DSD);
    const WAVEFORMATEXTENSIBLE pcm = Extensible(2, 48000, 16, 3);
    const WAVEFORMATEXTENSIBLE ieee = Extensible(2, 48000, 32, 3, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    const struct
    {
        const char* What;
        std::vector<WAVEFORMATEXTENSIBLE> Formats;
        bool Installed;
    } rows[] = {
        {"no format", {}, false},
        {"one-bit only", {dsd, dsd}, false},
        {"float only", {ieee}, true},
        {"one-bit beside PCM", {dsd, pcm}, true},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.What);
        plat::ClearDebugLog();
        g_creator.EndpointIndexes.clear();
        CTestEngine* engine =
            Endpoint(STREAM_DIRECTION_CAPTURE, NODE_KIND_INPUT_TERMINAL, PIN_TYPE_MIC, {1}, row.Formats);
        ASSERT_EQ(engine->SetName(u"MicIn00"), STATUS_SUCCESS);
        ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
        EXPECT_EQ(engine->WavePort() != nullptr, row.Installed);
        EXPECT_EQ(g_creator.EndpointIndexes.size(), row.Installed ? 1u : 0u) << "no miniport is made for it";
        EXPECT_EQ(plat::DebugLogText().find("endpoint MicIn00 (streaming interface 1) has no format the wave "
                                            "filter can offer") != std::string::npos,
                  !row.Installed)
            << plat::DebugLogText();
        ASSERT_EQ(engine->UnregisterSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
        m_Hal->Release();
        m_Hal = nullptr;
    }
}

TEST_F(StreamEngineSubdevice, RenderEndpointConnectsWavePinOneToTheTerminalsTopologyPinUntilUnplugged)
{
    CTestEngine* engine = Endpoint(STREAM_DIRECTION_RENDER, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_HP, {1});
    ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
    EXPECT_EQ(g_creator.EndpointIndexes, std::vector<ULONG>{1}) << "its index in the device's stream list";
    EXPECT_EQ(Registered(), (std::vector<std::u16string>{u"Topology", u"HPOut00Wave"}));

    std::vector<plat::PcRegistrationEntry> subdevices = LogOf(PcRegistrationOp::RegisterSubdevice);
    ASSERT_EQ(subdevices.size(), 2u);
    PVOID wavePort = subdevices[1].Port;
    EXPECT_EQ(wavePort, PVOID(engine->WavePort()));
    std::vector<plat::PcRegistrationEntry> connections = LogOf(PcRegistrationOp::RegisterConnection);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].FromPort, wavePort);
    EXPECT_EQ(connections[0].FromPin, 1u);
    EXPECT_EQ(connections[0].ToPort, PVOID(m_TopologyPort));
    EXPECT_EQ(connections[0].ToPin, kTopologyPin);
    EXPECT_EQ(RefCount(engine->WavePort()), 2u) << "ours and the registration's";

    // Still plugged: nothing changes.
    const size_t logged = plat::PcRegistrationLog(Device()).size();
    ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
    EXPECT_EQ(plat::PcRegistrationLog(Device()).size(), logged);

    // Unplugged: the connection goes first, then the subdevice.
    m_Terminals.back()->Jacks[0].IsConnected = 0;
    ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
    std::vector<plat::PcRegistrationEntry> log = plat::PcRegistrationLog(Device());
    ASSERT_EQ(log.size(), logged + 2);
    EXPECT_EQ(log[logged].Op, PcRegistrationOp::UnregisterConnection);
    EXPECT_EQ(log[logged].FromPort, wavePort);
    EXPECT_EQ(log[logged].ToPin, kTopologyPin);
    EXPECT_EQ(log[logged].Status, STATUS_SUCCESS);
    EXPECT_EQ(log[logged + 1].Op, PcRegistrationOp::UnregisterSubdevice);
    EXPECT_EQ(log[logged + 1].Name, u"HPOut00Wave");
    EXPECT_EQ(log[logged + 1].Status, STATUS_SUCCESS);
    EXPECT_EQ(engine->WavePort(), nullptr);
    EXPECT_EQ(Registered(), std::vector<std::u16string>{u"Topology"});
    EXPECT_EQ(plat::PcRegisteredConnectionCount(Device()), 0u);

    // Plugged again: installed again.
    m_Terminals.back()->Jacks[0].IsConnected = 1;
    ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
    EXPECT_EQ(Registered().size(), 2u);
    EXPECT_EQ(plat::PcRegisteredConnectionCount(Device()), 1u);
    ASSERT_EQ(engine->UnregisterSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
    EXPECT_EQ(plat::PcRegisteredConnectionCount(Device()), 0u);
}

TEST_F(StreamEngineSubdevice, CaptureEndpointConnectsTheTopologyPinToWavePinOne)
{
    g_creator.Name = u"MicIn00Wave";
    CTestEngine* engine = Endpoint(STREAM_DIRECTION_CAPTURE, NODE_KIND_INPUT_TERMINAL, PIN_TYPE_MIC, {1});
    ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
    std::vector<plat::PcRegistrationEntry> connections = LogOf(PcRegistrationOp::RegisterConnection);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].FromPort, PVOID(m_TopologyPort));
    EXPECT_EQ(connections[0].FromPin, kTopologyPin);
    EXPECT_EQ(connections[0].ToPort, PVOID(engine->WavePort()));
    EXPECT_EQ(connections[0].ToPin, 1u);

    m_Terminals.back()->Jacks[0].IsConnected = 0;
    ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
    std::vector<plat::PcRegistrationEntry> removed = LogOf(PcRegistrationOp::UnregisterConnection);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].FromPort, PVOID(m_TopologyPort));
    EXPECT_EQ(removed[0].Status, STATUS_SUCCESS);
    EXPECT_EQ(Registered(), std::vector<std::u16string>{u"Topology"});
}

TEST_F(StreamEngineSubdevice, TerminalWithoutTopologyPinRegistersNothingAndIsRetried)
{
    m_Topology->m_PinOfNode.clear();
    m_Topology->m_PinOfNode[42] = 1; // some other terminal
    CTestEngine* engine = Endpoint(STREAM_DIRECTION_RENDER, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_SPK, {1});
    EXPECT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine->WavePort(), nullptr);
    EXPECT_EQ(LogOf(PcRegistrationOp::RegisterSubdevice).size(), 1u) << "only the topology filter";
    EXPECT_TRUE(LogOf(PcRegistrationOp::RegisterConnection).empty());

    m_Topology->m_PinOfNode[kTerminalNode] = 4;
    ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
    std::vector<plat::PcRegistrationEntry> connections = LogOf(PcRegistrationOp::RegisterConnection);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].ToPin, 4u);
    EXPECT_EQ(g_creator.EndpointIndexes.size(), 1u) << "the refused attempt bound no miniport to a port";
    ASSERT_EQ(engine->UnregisterSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
}

TEST_F(StreamEngineSubdevice, FailedConnectionTakesTheSubdeviceAwayAgain)
{
    CTestEngine* engine = Endpoint(STREAM_DIRECTION_RENDER, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_HP, {1});
    plat::PcFailNextRegistration(PcRegistrationOp::RegisterConnection, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(engine->WavePort(), nullptr);
    EXPECT_EQ(Registered(), std::vector<std::u16string>{u"Topology"});
    std::vector<plat::PcRegistrationEntry> log = plat::PcRegistrationLog(Device());
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1].Op, PcRegistrationOp::RegisterSubdevice);
    EXPECT_EQ(log[2].Op, PcRegistrationOp::RegisterConnection);
    EXPECT_EQ(log[2].Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(log[3].Op, PcRegistrationOp::UnregisterSubdevice);
    EXPECT_EQ(log[3].Status, STATUS_SUCCESS);

    // The next update installs it whole.
    ASSERT_EQ(engine->UpdateSubdevice(Device(), nullptr, Adapter()), STATUS_SUCCESS);
    EXPECT_EQ(Registered().size(), 2u);
    EXPECT_EQ(plat::PcRegisteredConnectionCount(Device()), 1u);

    // A refused removal keeps the port, so the removal can be tried again.
    plat::PcFailNextRegistration(PcRegistrationOp::UnregisterSubdevice, STATUS_DEVICE_BUSY);
    EXPECT_EQ(engine->UnregisterSubdevice(Device(), nullptr, Adapter()), STATUS_DEVICE_BUSY);
    EXPECT_NE(engine->WavePort(), nullptr);
    plat::PcForgetDevice(Device());
}

TEST_F(StreamEngineSubdevice, EndpointMissingFromTheDeviceGetsNoSubdevice)
{
    CTestEngine* engine = Endpoint(STREAM_DIRECTION_RENDER, NODE_KIND_OUTPUT_TERMINAL, PIN_TYPE_HP, {1});
    m_Engines.pop_back(); // not in the device's list
    PUNKNOWN adapter = Adapter();
    m_Engines.push_back(engine);
    EXPECT_EQ(engine->UpdateSubdevice(Device(), nullptr, adapter), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine->UpdateSubdevice(Device(), nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(g_creator.EndpointIndexes.empty());
    EXPECT_EQ(Registered().size(), 1u);
}

} // namespace
