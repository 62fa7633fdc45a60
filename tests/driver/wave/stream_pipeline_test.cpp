// The stream object's sample pipeline through IStreamEngine::ProcessBuffer, with a configurable
// processing double on the node list and lists B and C: conversions against the formulas in
// double, pass splitting, float formats, a failing stage, the float modes, and the client and
// object lists.
#include "support/graph_test_doubles.h"

#include "driver/wave/stream_engine.h"
#include "plat_debug.h"
#include "plat_sched.h"

#include <xmmintrin.h>

#include <cmath>
#include <cstring>

namespace
{

using gd::Make;
using gd::RefCount;

class CPipelineEngine : public CStreamEngine
{
public:
    CPipelineEngine(PUNKNOWN outer, ULONG id) : CStreamEngine(outer, id) {}
    void SetFormat(USHORT bits, USHORT channels, USHORT code = 1, bool extensible = true)
    {
        WAVEFORMATEXTENSIBLE& f = m_CurrentWaveFormat;
        f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : code;
        f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        f.SubFormat.Data1 = code;
        f.Format.nChannels = channels;
        f.Format.wBitsPerSample = bits;
        f.Format.nBlockAlign = USHORT(channels * bits / 8);
    }
};

// Multiplies every sample by Gain (PCM) or records the bytes it was handed (other formats);
// fails from call FailAt on. Logs "<name> <frames>" per call and the MXCSR it ran under.
class CStage : public IDspNode, public IPipelineObject, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    CStage(PUNKNOWN outer, const char* name, float gain) : CUnknown(outer), m_Name(name), m_Gain(gain) {}
    std::string m_Name;
    float m_Gain;
    int m_FailAt = -1, m_Calls = 0;
    unsigned m_Mxcsr = 0;
    std::vector<PVOID> m_Data;

    NTSTATUS Run(PCWAVEFORMATEXTENSIBLE f, PVOID data, ULONG frames)
    {
        gd::Note(m_Name + " " + std::to_string(frames));
        m_Mxcsr = _mm_getcsr();
        m_Data.push_back(data);
        if (m_Calls++ == m_FailAt)
            return STATUS_DATA_ERROR;
        if (f->SubFormat.Data1 == 1)
            for (ULONG c = 0; c < f->Format.nChannels; c++)
                for (ULONG i = 0; i < frames; i++)
                    static_cast<float**>(data)[c][i] *= m_Gain;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) Spare1() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Spare2() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Reset() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Stop() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE f, PVOID d, ULONG n) override
    {
        return Run(f, d, n);
    }
    STDMETHODIMP_(NTSTATUS) ProcessEarly(PCWAVEFORMATEXTENSIBLE f, PVOID d, ULONG n) override
    {
        return Run(f, d, n);
    }
    STDMETHODIMP_(NTSTATUS) ProcessLate(PCWAVEFORMATEXTENSIBLE f, PVOID d, ULONG n) override
    {
        m_Name += "-late";
        NTSTATUS status = Run(f, d, n);
        m_Name.resize(m_Name.size() - 5);
        return status;
    }
};

STDMETHODIMP_(NTSTATUS) CStage::NonDelegatingQueryInterface(REFIID, PVOID*)
{
    return STATUS_INVALID_PARAMETER;
}

class StreamPipeline : public gd::LeakCheckedTest
{
protected:
    void SetUp() override
    {
        gd::LeakCheckedTest::SetUp();
        plat::ClearDebugLog();
        m_Engine = Make<CPipelineEngine>(1u);
        ASSERT_EQ(m_Engine->Init(STREAM_DIRECTION_RENDER), STATUS_SUCCESS);
        ASSERT_EQ(m_Engine->AllocateBuffers(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        m_Engine->DrainListB();
        m_Engine->DrainListC();
        m_Engine->Release();
        for (CStage* stage : m_Stages)
            stage->Release();
        gd::LeakCheckedTest::TearDown();
    }
    CStage* Node(const char* name, float gain = 1.0f)
    {
        m_Stages.push_back(Make<CStage>(name, gain));
        EXPECT_EQ(m_Engine->AddProcessingNode(m_Stages.back()), STATUS_SUCCESS);
        return m_Stages.back();
    }
    plat::ScopedThreadRegistration m_Registration{"pipeline-test"};
    CPipelineEngine* m_Engine = nullptr;
    std::vector<CStage*> m_Stages;
};

// Little-endian samples of `bits` bits, packed.
std::vector<UCHAR> Pack(const std::vector<int64_t>& samples, int bits)
{
    std::vector<UCHAR> bytes;
    for (int64_t s : samples)
        for (int b = 0; b < bits / 8; b++)
            bytes.push_back(UCHAR(uint64_t(s) >> (8 * b)));
    return bytes;
}

// What a sample becomes through float and a gain: to float (32-bit through the float's 24-bit
// mantissa), times the gain in float, then back truncated (16, 32) or to nearest even (24),
// saturated.
int64_t Expected(int64_t sample, int bits, float gain)
{
    double full = std::ldexp(1.0, bits - 1);
    double value = double(float(double(float(sample)) / full) * gain) * full;
    value = bits == 24 ? std::nearbyint(value) : std::trunc(value);
    return int64_t(std::fmax(-full, std::fmin(full - 1, value)));
}

TEST_F(StreamPipeline, SamplesComeBackAsTheFormulasSay)
{
    struct Case
    {
        int Bits;
        float Gain;
    } cases[] = {{16, 1.0f}, {24, 1.0f}, {32, 1.0f}, {16, 0.5f}, {24, 0.5f},
                 {32, 0.5f}, {16, 2.0f}, {24, 2.0f}, {32, 2.0f}};
    CStage* node = Node("node");
    for (const Case& c : cases)
    {
        const int64_t full = int64_t(1) << (c.Bits - 1);
        std::vector<int64_t> samples = {0,        1,     -1,           3,           -3,    5,
                                        full - 1, -full, full / 2 + 1, -(full / 3), 12345, -777};
        m_Engine->SetFormat(USHORT(c.Bits), 2);
        node->m_Gain = c.Gain;
        std::vector<UCHAR> bytes = Pack(samples, c.Bits);
        ASSERT_EQ(m_Engine->ProcessBuffer(bytes.data(), ULONG(bytes.size())), STATUS_SUCCESS);
        std::vector<int64_t> expected;
        for (int64_t s : samples)
            expected.push_back(Expected(s, c.Bits, c.Gain));
        EXPECT_EQ(bytes, Pack(expected, c.Bits)) << c.Bits << " bits, gain " << c.Gain;
    }
}

TEST_F(StreamPipeline, BuffersGoInPassesOfAtMost512FramesAndWholeFramesOnly)
{
    struct Case
    {
        ULONG Bytes;
        USHORT Code;
        NTSTATUS Status;
        std::vector<std::string> Calls;
    } cases[] = {
        {1000, 1, STATUS_SUCCESS, {"node 250", "b 250", "c-late 250"}},
        {4100,
         1,
         STATUS_SUCCESS,
         {"node 512", "b 512", "c-late 512", "node 512", "b 512", "c-late 512", "node 1", "b 1", "c-late 1"}},
        {4100, 3, STATUS_SUCCESS, {"node 512", "node 512", "node 1"}},
        {0, 1, STATUS_SUCCESS, {}},
        {1002, 1, STATUS_UNSUCCESSFUL, {}},
    };
    Node("node");
    m_Stages.push_back(Make<CStage>("b", 1.0f));
    m_Stages.push_back(Make<CStage>("c", 1.0f));
    ASSERT_EQ(m_Engine->AddToListB(m_Stages[1]), STATUS_SUCCESS);
    ASSERT_EQ(m_Engine->AddToListC(m_Stages[2]), STATUS_SUCCESS);
    for (const Case& c : cases)
    {
        gd::Log().clear();
        m_Stages[0]->m_Data.clear();
        m_Engine->SetFormat(16, 2, c.Code);
        std::vector<UCHAR> bytes(c.Bytes + 4);
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = UCHAR(i * 7);
        EXPECT_EQ(m_Engine->ProcessBuffer(bytes.data(), c.Bytes), c.Status) << c.Bytes;
        EXPECT_EQ(gd::Log(), c.Calls) << c.Bytes << " bytes, code " << c.Code;
        std::vector<PVOID> floatPasses = {bytes.data(), bytes.data() + 2048, bytes.data() + 4096};
        if (c.Code == 3)
        {
            EXPECT_EQ(m_Stages[0]->m_Data, floatPasses)
                << "a float stream hands over its own bytes, pass by pass";
        }
    }
    EXPECT_EQ(plat::DebugLogText(), "0 != lBufSize(1002) Div m_CurrentWaveFormat.Format.nBlockAlign(4) \n");
}

TEST_F(StreamPipeline, WithoutStagesOrRoomTheBufferPassesUntouched)
{
    std::vector<UCHAR> bytes(9 * 4 * 4), original;
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = UCHAR(i * 13 + 1);
    original = bytes;
    m_Engine->SetFormat(32, 2);
    EXPECT_EQ(m_Engine->ProcessBuffer(bytes.data(), ULONG(bytes.size())), STATUS_SUCCESS);
    EXPECT_EQ(m_Engine->ProcessNodes(bytes.data(), 6), STATUS_SUCCESS) << "no nodes: nothing checked";
    Node("node");
    m_Engine->SetFormat(32, 9);
    EXPECT_EQ(m_Engine->ProcessBuffer(bytes.data(), ULONG(bytes.size())), STATUS_NOT_SUPPORTED);
    m_Engine->SetFormat(8, 2);
    EXPECT_EQ(m_Engine->ProcessBuffer(bytes.data(), ULONG(bytes.size())), STATUS_SUCCESS);
    EXPECT_EQ(bytes, original);
    EXPECT_EQ(gd::Log(), std::vector<std::string>{"node 72"})
        << "8-bit: the node sees silence, nothing written";
}

// Pass 1 goes through both nodes; the second node fails on pass 2, which keeps its samples, and
// pass 3 is never reached.
TEST_F(StreamPipeline, AFailingNodeStopsTheWalkAndItsPassStaysAsItWas)
{
    Node("double", 2.0f);
    Node("fail")->m_FailAt = 1;
    m_Engine->SetFormat(16, 1);
    std::vector<int64_t> samples(1100, 1000);
    std::vector<UCHAR> bytes = Pack(samples, 16);
    EXPECT_EQ(m_Engine->ProcessBuffer(bytes.data(), ULONG(bytes.size())), STATUS_DATA_ERROR);
    std::vector<int64_t> expected(1100, 1000);
    std::fill(expected.begin(), expected.begin() + 512, 2000);
    EXPECT_EQ(bytes, Pack(expected, 16));
    EXPECT_EQ(gd::Log(), (std::vector<std::string>{"double 512", "fail 512", "double 512", "fail 512"}));
}

TEST_F(StreamPipeline, StagesRunWithFlushToZeroAndNearestAndTheCallersModeReturns)
{
    CStage* node = Node("node");
    m_Engine->SetFormat(24, 2);
    std::vector<UCHAR> bytes(60);
    const unsigned caller = 0x1F80 | 0x6000 | 0x0001; // masks, round toward zero, invalid flag
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(caller);
    NTSTATUS status = m_Engine->ProcessBuffer(bytes.data(), ULONG(bytes.size()));
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(node->m_Mxcsr & 0xE000, 0x8000u) << "flush to zero, round to nearest";
    EXPECT_EQ(after, caller);
}

StreamClient Client(ULONG priority, uintptr_t key)
{
    StreamClient client = {};
    client.Priority = priority;
    client.Registration = reinterpret_cast<PVOID>(key);
    return client;
}

TEST_F(StreamPipeline, ClientListsKeepDescendingPriorityAndRefuseADuplicate)
{
    StreamClient clients[] = {Client(3, 0x30), Client(5, 0x50), Client(5, 0x51), Client(4, 0x40),
                              Client(1, 0x10)};
    const NTSTATUS inserts[] = {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INVALID_PARAMETER, STATUS_SUCCESS,
                                STATUS_SUCCESS};
    for (int i = 0; i < 5; i++)
    {
        EXPECT_EQ(m_Engine->InsertOpenClient(&clients[i]), inserts[i]) << i;
        EXPECT_EQ(m_Engine->InsertStartedClient(&clients[i]), inserts[i]) << i;
        ASSERT_EQ(m_Engine->AddRegisteredClient(&clients[i]), STATUS_SUCCESS);
    }
    EXPECT_EQ(m_Engine->FindOpenClient(PVOID(0x51)), nullptr);
    EXPECT_EQ(m_Engine->FindRegisteredClient(PVOID(0x51)), &clients[2]);
    std::vector<ULONG> order;
    while (StreamClient* head = m_Engine->GetFirstOpenClient())
    {
        order.push_back(head->Priority);
        EXPECT_EQ(m_Engine->RemoveOpenClient(head->Registration), head);
        EXPECT_EQ(m_Engine->RemoveStartedClient(head->Registration), head);
    }
    EXPECT_EQ(order, (std::vector<ULONG>{5, 4, 3, 1}));
    EXPECT_EQ(m_Engine->GetFirstStartedClient(), nullptr);
    for (StreamClient& client : clients)
        EXPECT_EQ(m_Engine->RemoveRegisteredClient(client.Registration), &client);
    EXPECT_EQ(m_Engine->RemoveRegisteredClient(PVOID(0x30)), nullptr);
}

TEST_F(StreamPipeline, ObjectListsHoldOneReferenceEach)
{
    CStage* stage = Make<CStage>("b", 1.0f);
    m_Stages.push_back(stage);
    EXPECT_EQ(m_Engine->AddToListB(stage), STATUS_SUCCESS);
    EXPECT_EQ(RefCount<IPipelineObject>(stage), 2u);
    EXPECT_EQ(m_Engine->RemoveFromListC(stage), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Engine->RemoveFromListB(stage), STATUS_SUCCESS);
    EXPECT_EQ(m_Engine->RemoveFromListB(stage), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RefCount<IPipelineObject>(stage), 1u);
    plat::FailAllocationsWithTag(POINTER_LIST_POOL_TAG);
    EXPECT_EQ(m_Engine->AddToListC(stage), STATUS_INSUFFICIENT_RESOURCES);
    plat::ClearPoolFailures();
    EXPECT_EQ(RefCount<IPipelineObject>(stage), 1u);
    EXPECT_EQ(m_Engine->AddToListC(stage), STATUS_SUCCESS);
    m_Engine->DrainListC();
    EXPECT_EQ(RefCount<IPipelineObject>(stage), 1u);
}

} // namespace
