// The stream object's sample pipeline through IStreamEngine::ProcessBuffer, with one
// configurable processing double on the node list and lists B and C: conversions against the
// formulas in double, pass splitting, float formats, a failing stage under the float modes,
// and the client and object lists.
#include "support/graph_test_doubles.h"

#include "driver/wave/stream_engine.h"
#include "plat_debug.h"

#include <xmmintrin.h>

#include <cmath>

namespace
{

using gd::Make;
typedef PCWAVEFORMATEXTENSIBLE PCWFX;

class CPipelineEngine : public CStreamEngine
{
public:
    CPipelineEngine(PUNKNOWN outer, ULONG id) : CStreamEngine(outer, id) {}
    void SetFormat(USHORT bits, USHORT channels, USHORT code = 1)
    {
        m_CurrentWaveFormat.Format = {WAVE_FORMAT_EXTENSIBLE,      channels, 48000, 0,
                                      USHORT(channels * bits / 8), bits,     22};
        m_CurrentWaveFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        m_CurrentWaveFormat.SubFormat.Data1 = code;
    }
};

// Multiplies PCM samples by Gain; fails on call FailAt. Logs "<name><frames>" per call, the
// name primed for list C, and keeps the MXCSR and data pointer it was handed.
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
    inline static std::string s_Calls;

    NTSTATUS Run(PCWAVEFORMATEXTENSIBLE f, PVOID data, ULONG frames, const char* suffix = "")
    {
        s_Calls += (s_Calls.empty() ? "" : " ") + m_Name + suffix + std::to_string(frames);
        m_Mxcsr = _mm_getcsr();
        m_Data.push_back(data);
        for (ULONG c = 0; f->SubFormat.Data1 == 1 && c < f->Format.nChannels; c++)
            for (ULONG i = 0; i < frames; i++)
                static_cast<float**>(data)[c][i] *= m_Gain;
        return m_Calls++ == m_FailAt ? STATUS_DATA_ERROR : STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) Spare1() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Spare2() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Reset() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Stop() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Process(PCWFX f, PVOID d, ULONG n) override { return Run(f, d, n); }
    STDMETHODIMP_(NTSTATUS) ProcessEarly(PCWFX f, PVOID d, ULONG n) override { return Run(f, d, n); }
    STDMETHODIMP_(NTSTATUS) ProcessLate(PCWFX f, PVOID d, ULONG n) override { return Run(f, d, n, "'"); }
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
        CStage::s_Calls.clear();
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
    CStage* Stage(const char* name, float gain = 1.0f,
                  NTSTATUS (CStreamEngine::*add)(PPIPELINEOBJECT) = nullptr)
    {
        m_Stages.push_back(Make<CStage>(name, gain));
        EXPECT_EQ(add ? (m_Engine->*add)(m_Stages.back()) : m_Engine->AddProcessingNode(m_Stages.back()),
                  STATUS_SUCCESS);
        return m_Stages.back();
    }
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

// A sample through float and a gain: to float (32-bit through the float's 24-bit mantissa),
// times the gain in float, back truncated (16, 32) or to nearest even (24), saturated.
int64_t Expected(int64_t sample, int bits, float gain)
{
    double full = std::ldexp(1.0, bits - 1);
    double value = double(float(double(float(sample)) / full) * gain) * full;
    value = bits == 24 ? std::nearbyint(value) : std::trunc(value);
    return int64_t(std::fmax(-full, std::fmin(full - 1, value)));
}

TEST_F(StreamPipeline, SamplesComeBackAsTheFormulasSay)
{
    CStage* node = Stage("node");
    for (int bits : {16, 24, 32})
    {
        const int64_t full = int64_t(1) << (bits - 1);
        std::vector<int64_t> samples = {0,        1,     -1,           3,           -3,    5,
                                        full - 1, -full, full / 2 + 1, -(full / 3), 12345, -777};
        m_Engine->SetFormat(USHORT(bits), 2);
        for (float gain : {1.0f, 0.5f, 2.0f})
        {
            node->m_Gain = gain;
            std::vector<UCHAR> bytes = Pack(samples, bits);
            ASSERT_EQ(m_Engine->ProcessBuffer(bytes.data(), ULONG(bytes.size())), STATUS_SUCCESS);
            std::vector<int64_t> expected;
            for (int64_t s : samples)
                expected.push_back(Expected(s, bits, gain));
            EXPECT_EQ(bytes, Pack(expected, bits)) << bits << " bits, gain " << gain;
        }
    }
}

// Every stage leaves 16-bit samples as they were, so no row changes the buffer.
TEST_F(StreamPipeline, BuffersGoInPassesOfAtMost512FramesAndWholeFramesOnly)
{
    struct Case
    {
        ULONG Bytes;
        USHORT Bits, Channels, Code;
        NTSTATUS Status;
        const char* Calls;
    } cases[] = {
        {1000, 16, 2, 1, STATUS_SUCCESS, "n250 b250 c'250"},
        {4100, 16, 2, 1, STATUS_SUCCESS, "n512 b512 c'512 n512 b512 c'512 n1 b1 c'1"},
        {4100, 16, 2, 3, STATUS_SUCCESS, "n512 n512 n1"},
        {0, 16, 2, 1, STATUS_SUCCESS, ""},
        {1002, 16, 2, 1, STATUS_UNSUCCESSFUL, ""},
        {1008, 32, 9, 1, STATUS_NOT_SUPPORTED, ""},
        {100, 8, 2, 1, STATUS_SUCCESS, "n50 b50 c'50"},
    };
    CStage* node = Stage("n");
    Stage("b", 1.0f, &CStreamEngine::AddToListB);
    Stage("c", 1.0f, &CStreamEngine::AddToListC);
    for (const Case& c : cases)
    {
        CStage::s_Calls.clear();
        node->m_Data.clear();
        m_Engine->SetFormat(c.Bits, c.Channels, c.Code);
        std::vector<UCHAR> bytes(c.Bytes);
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = UCHAR(i * 7);
        const std::vector<UCHAR> original = bytes;
        EXPECT_EQ(m_Engine->ProcessBuffer(bytes.data(), c.Bytes), c.Status) << c.Bytes;
        EXPECT_EQ(CStage::s_Calls, c.Calls) << c.Bytes << " bytes, code " << c.Code;
        EXPECT_EQ(bytes, original) << c.Bytes;
        std::vector<PVOID> floatPasses = {bytes.data(), bytes.data() + 2048, bytes.data() + 4096};
        EXPECT_TRUE(c.Code != 3 || node->m_Data == floatPasses) << "a float stream's own bytes, pass by pass";
    }
    EXPECT_EQ(plat::DebugLogText(), "0 != lBufSize(1002) Div m_CurrentWaveFormat.Format.nBlockAlign(4) \n");
    for (USHORT code : {1, 3})
    {
        m_Engine->SetFormat(16, 2, code);
        CStage::s_Calls.clear();
        std::vector<UCHAR> pass(8);
        EXPECT_EQ(m_Engine->ProcessListC(pass.data(), 8), STATUS_SUCCESS);
        EXPECT_EQ(CStage::s_Calls, code == 1 ? "c'2" : "") << "list C alone, and on PCM only";
    }
}

// Pass 1 goes through both nodes; the second fails on pass 2, which keeps its samples, and
// pass 3 is never reached. Without nodes nothing is converted, not even 32-bit samples.
// The nodes run with flush-to-zero and round-to-nearest, and the caller's MXCSR returns.
TEST_F(StreamPipeline, AFailingNodeStopsTheWalkUnderTheCallersFloatModesRestored)
{
    m_Engine->SetFormat(32, 1);
    std::vector<UCHAR> odd = Pack({0x7FFFFFFF, 0x12345677, -0x12345677}, 32), original = odd;
    EXPECT_EQ(m_Engine->ProcessBuffer(odd.data(), ULONG(odd.size())), STATUS_SUCCESS);
    EXPECT_EQ(odd, original);
    Stage("double", 2.0f);
    Stage("fail")->m_FailAt = 1;
    m_Engine->SetFormat(16, 1);
    std::vector<UCHAR> bytes = Pack(std::vector<int64_t>(1100, 1000), 16);
    const unsigned caller = 0x1F80 | 0x6000 | 0x0001, saved = _mm_getcsr(); // round toward zero, a flag
    _mm_setcsr(caller);
    NTSTATUS status = m_Engine->ProcessBuffer(bytes.data(), ULONG(bytes.size()));
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(status, STATUS_DATA_ERROR);
    EXPECT_EQ(after, caller) << "the caller's float modes come back";
    EXPECT_EQ(m_Stages[1]->m_Mxcsr & 0xE000, 0x8000u) << "the nodes run with flush to zero, round to nearest";
    std::vector<int64_t> expected(1100, 1000);
    std::fill(expected.begin(), expected.begin() + 512, 2000);
    EXPECT_EQ(bytes, Pack(expected, 16));
    EXPECT_EQ(CStage::s_Calls, "double512 fail512 double512 fail512");
}

TEST_F(StreamPipeline, ListsKeepPriorityOrderKeysAndOneReferencePerObject)
{
    const ULONG priorities[] = {3, 5, 5, 4, 1};
    StreamClient clients[5] = {};
    for (int i = 0; i < 5; i++)
    {
        clients[i].Priority = priorities[i];
        clients[i].Registration = PVOID(uintptr_t(0x10 + i));
        const NTSTATUS expected = i == 2 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
        EXPECT_EQ(m_Engine->InsertOpenClient(&clients[i]), expected);
        EXPECT_EQ(m_Engine->InsertStartedClient(&clients[i]), expected);
        ASSERT_EQ(m_Engine->AddRegisteredClient(&clients[i]), STATUS_SUCCESS);
    }
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
    EXPECT_EQ(m_Engine->RemoveRegisteredClient(PVOID(0x10)), nullptr);

    CStage* stage = Stage("b", 1.0f, &CStreamEngine::AddToListB); // 2 references
    EXPECT_EQ(m_Engine->RemoveFromListC(stage), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Engine->RemoveFromListB(stage), STATUS_SUCCESS);
    EXPECT_EQ(m_Engine->RemoveFromListB(stage), STATUS_UNSUCCESSFUL);
    plat::FailAllocationsWithTag(POINTER_LIST_POOL_TAG);
    EXPECT_EQ(m_Engine->AddToListC(stage), STATUS_INSUFFICIENT_RESOURCES);
    plat::ClearPoolFailures();
    EXPECT_EQ(m_Engine->AddToListC(stage), STATUS_SUCCESS);
    m_Engine->DrainListC();
    EXPECT_EQ(gd::RefCount<IPipelineObject>(stage), 1u);
}

} // namespace
