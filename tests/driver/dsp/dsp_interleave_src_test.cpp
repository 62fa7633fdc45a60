// CDspInterleaveSrc as the wave stream drives it: built once, formats checked with their debug
// messages, rate stages chosen (and their filters rebuilt) for every pair of rates, and every
// block returned to pool, also after a build that ran out of memory at any allocation.
#include "support/graph_test_doubles.h"

#include "driver/dsp/dsp_interleave_src.h"
#include "driver/primitives/sp_lib.h"
#include "ksmedia.h"
#include "plat_debug.h"
#include "plat_pool.h"

#include <cstring>
#include <functional>
#include <string>

namespace
{

const ULONG kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};

WAVEFORMATEXTENSIBLE Pcm(ULONG rate, USHORT channels = 2, USHORT bits = 16)
{
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_PCM;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = USHORT(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

WAVEFORMATEXTENSIBLE Extensible(WAVEFORMATEXTENSIBLE f, const GUID& subFormat)
{
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = f.Format.wBitsPerSample;
    f.SubFormat = subFormat;
    return f;
}

class DspInterleaveSrc : public gd::LeakCheckedTest
{
protected:
    CDspInterleaveSrc* Chain()
    {
        m_pChain = new (NonPagedPool, DSP_INTERLEAVE_SRC_POOL_TAG) CDspInterleaveSrc();
        EXPECT_TRUE(m_pChain && m_pChain->Init());
        plat::ClearDebugLog();
        return m_pChain;
    }
    void TearDown() override
    {
        delete m_pChain;
        gd::LeakCheckedTest::TearDown();
    }
    // The chosen rate stages as "2 up", "F down, 4 up", ..., checking on the way that each was
    // rebuilt for its direction.
    std::string Choice()
    {
        std::string text;
        for (CSrcStage* stage : {m_pChain->GetFirstRateStage(), m_pChain->GetSecondRateStage()})
        {
            if (!stage)
                continue;
            const bool up = stage->GetDirection() == SrcDirectionUp;
            const SpFirState* state = stage->GetFirState(7);
            std::string name = stage == m_pChain->GetStage2x()           ? "2"
                               : stage == m_pChain->GetStage4x()         ? "4"
                               : stage == m_pChain->GetStageFractional() ? "F"
                                                                         : "?";
            if (name == "F")
                EXPECT_TRUE(state->Tag == SpFirTagSingleRate && state->Single.TapCount == (up ? 20 : 24));
            else
                EXPECT_TRUE(state->Tag == SpFirTagMultiRate &&
                            state->Multi.TapCount == (name == "2" ? 66 : 132) &&
                            state->Multi.UpFactor == (up ? std::stoi(name) : 1) &&
                            state->Multi.DownFactor == (up ? 1 : std::stoi(name)))
                    << name;
            text += (text.empty() ? "" : ", ") + name + (up ? " up" : " down");
        }
        return text;
    }
    CDspInterleaveSrc* m_pChain = nullptr;
};

TEST_F(DspInterleaveSrc, ChoosesTheRateStagesOfEveryPair)
{
    // input \ output: 44100, 48000, 88200, 96000, 176400, 192000
    const char* table[6][6] = {
        {"", "F up", "2 up", "F up, 2 up", "4 up", "F up, 4 up"},
        {"F down", "", "F down, 2 up", "2 up", "F down, 4 up", "4 up"},
        {"2 down", "2 down, F up", "", "F up", "2 up", "F up, 2 up"},
        {"2 down, F down", "2 down", "F down", "", "F down, 2 up", "2 up"},
        {"4 down", "4 down, F up", "2 down", "2 down, F up", "", "F up"},
        {"4 down, F down", "4 down", "2 down, F down", "2 down", "F down", ""},
    };
    CDspInterleaveSrc* chain = Chain();
    EXPECT_EQ(chain->GetFirstElement(), nullptr) << "nothing chosen before a format";
    for (int i = 0; i < 6; i++)
        for (int o = 0; o < 6; o++)
        {
            const WAVEFORMATEXTENSIBLE in = Pcm(kRates[i]), out = Pcm(kRates[o], 2, 24);
            ASSERT_TRUE(chain->SetFormat(&in, &out));
            EXPECT_EQ(chain->GetFirstElement(), chain->GetSplit());
            EXPECT_EQ(Choice(), table[i][o]) << kRates[i] << " -> " << kRates[o];
        }
    EXPECT_EQ(plat::DebugLogText(), "");
}

TEST_F(DspInterleaveSrc, RefusesFormatsOutsideTheListsWithTheirMessages)
{
    const std::string in = "CDspInterleaveSrc::SetFormat ", conv = "CChannelConversion::SetFormat ";
    struct Case
    {
        std::function<void(WAVEFORMATEXTENSIBLE&, WAVEFORMATEXTENSIBLE&)> Change;
        bool Accepted;
        std::string Message;
    } cases[] = {
        {[](auto& i, auto&) { i.Format.wFormatTag = 2; }, false, in + "Tag not PCM\n"},
        {[](auto& i, auto&) { i = Extensible(i, KSDATAFORMAT_SUBTYPE_PCM), i.Format.cbSize = 0; }, false,
         in + "Tag not PCM\n"},
        {[](auto& i, auto&) { i.Format.nChannels = 9; }, false,
         in + "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
        {[](auto& i, auto&) { i.Format.nSamplesPerSec = 32000; }, false,
         in + "InFormat.Format.nSamplesPerSec not in List\n"},
        {[](auto& i, auto&) { i.Format.wBitsPerSample = 8; }, false,
         in + "InFormat.Format.wBitsPerSample not in List\n"},
        {[](auto&, auto& o) { o = Extensible(o, KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF); }, false,
         in + "Output Tag not PCM\n"},
        {[](auto&, auto& o) { o.Format.nChannels = 9; }, false,
         in + "Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
        {[](auto&, auto& o) { o.Format.nSamplesPerSec = 32000; }, false,
         in + "OutFormat.Format.nSamplesPerSec not in List\n"},
        {[](auto&, auto& o) { o.Format.wBitsPerSample = 8; }, false, ""},
        {[](auto& i, auto& o)
         { i.Format.wFormatTag = 3, o = Extensible(o, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT); },
         true, ""},
        {[](auto& i, auto& o) { i = Extensible(i, KSDATAFORMAT_SUBTYPE_PCM), o.Format.nChannels = 8; }, true,
         ""},
    };
    CDspInterleaveSrc* chain = Chain();
    for (const Case& c : cases)
    {
        WAVEFORMATEXTENSIBLE i = Pcm(44100), o = Pcm(48000);
        ASSERT_TRUE(chain->SetFormat(&i, &o));
        plat::ClearDebugLog();
        c.Change(i, o);
        EXPECT_EQ(chain->SetFormat(&i, &o), c.Accepted) << c.Message;
        EXPECT_EQ(plat::DebugLogText(), c.Message);
        EXPECT_EQ(chain->GetFirstRateStage(), chain->GetStageFractional())
            << "44.1 -> 48 kHz, or the earlier choice";
    }

    CChannelConversion* conversion = chain->GetSplit()->GetChannelConversion();
    EXPECT_FALSE(conversion->Init()) << "initialised once, by the split";
    const WAVEFORMATEXTENSIBLE pcm = Pcm(48000), fl = Extensible(pcm, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    WAVEFORMATEXTENSIBLE nine = fl;
    nine.Format.nChannels = 9;
    const std::pair<const WAVEFORMATEXTENSIBLE*, const WAVEFORMATEXTENSIBLE*> pairs[] = {
        {&pcm, &fl}, {&fl, &pcm}, {&fl, &nine}};
    const std::string expected[] = {conv + "Tag not WAVE_FORMAT_IEEE_FLOAT\n",
                                    conv + "Output Tag not WAVE_FORMAT_IEEE_FLOAT\n",
                                    conv + "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"};
    for (int k = 0; k < 3; k++)
    {
        plat::ClearDebugLog();
        EXPECT_FALSE(conversion->SetFormat(pairs[k].first, pairs[k].second));
        EXPECT_EQ(plat::DebugLogText(), expected[k]);
    }
}

// The split keeps the formats as given; the chain's own copies become the float the stages see.
TEST_F(DspInterleaveSrc, SplitRewritesTheChainsFormatsAsFloat)
{
    CDspInterleaveSrc* chain = Chain();
    const WAVEFORMATEXTENSIBLE in = Pcm(96000, 6, 24),
                               out = Extensible(Pcm(44100, 2, 16), KSDATAFORMAT_SUBTYPE_PCM);
    ASSERT_TRUE(chain->SetFormat(&in, &out));
    EXPECT_EQ(memcmp(&chain->GetSplit()->GetInFormat(), &in, 40), 0);
    EXPECT_EQ(memcmp(&chain->GetSplit()->GetOutFormat(), &out, 40), 0);
    WAVEFORMATEXTENSIBLE floatIn = in, floatOut = out;
    floatIn.Format.wFormatTag = 3, floatIn.Format.wBitsPerSample = 32, floatIn.Format.nBlockAlign = 24;
    floatIn.Format.nAvgBytesPerSec = 96000 * 24;
    floatOut.Format.wBitsPerSample = 32, floatOut.Samples.wValidBitsPerSample = 32,
    floatOut.Format.nBlockAlign = 8;
    floatOut.Format.nAvgBytesPerSec = 44100 * 8, floatOut.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    EXPECT_EQ(memcmp(&chain->GetInFormat(), &floatIn, 40), 0);
    EXPECT_EQ(memcmp(&chain->GetOutFormat(), &floatOut, 40), 0);
}

// Pool per tag after Init: the chain, six "DSPS" blocks (split, its conversion, three stages,
// the work buffer) and per stage and channel two state memories and a buffer.
TEST_F(DspInterleaveSrc, InitTakesAllMemoryOnceAndReturnsItAfterAnyFailure)
{
    auto bytes = [](int taps, int up, int down)
    {
        int32_t size = 0;
        EXPECT_EQ(up == down ? SpFirStateSize(taps, &size) : SpFirMultiRateStateSize(taps, up, down, &size),
                  SpOk);
        return SIZE_T(size);
    };
    const SIZE_T stateBytes = bytes(66, 2, 1) + bytes(66, 1, 2) + bytes(132, 4, 1) + bytes(132, 1, 4) +
                              bytes(20, 1, 1) + bytes(24, 1, 1) + 4 + 4;
    const ULONGLONG before = plat::PoolAllocationCount();
    CDspInterleaveSrc* chain = Chain();
    const ULONGLONG allocations = plat::PoolAllocationCount() - before;
    EXPECT_EQ(plat::PoolLiveBlocks(DSP_INTERLEAVE_SRC_POOL_TAG), 1u);
    EXPECT_EQ(plat::PoolLiveBlocks(SRC_STAGE_POOL_TAG), 6u);
    EXPECT_EQ(plat::PoolLiveBlocks(SRC_STAGE_CHANNEL_POOL_TAG), 4u * 8 * 3);
    EXPECT_EQ(plat::PoolLiveBytes(SRC_STAGE_CHANNEL_POOL_TAG), 8 * (stateBytes + 4 * 7680 * 4));
    EXPECT_FALSE(chain->Init()) << "a second Init";
    const WAVEFORMATEXTENSIBLE in = Pcm(44100), out = Pcm(192000);
    const ULONGLONG beforeFormat = plat::PoolAllocationCount();
    EXPECT_TRUE(chain->SetFormat(&in, &out) && chain->Reset());
    EXPECT_EQ(plat::PoolAllocationCount(), beforeFormat) << "Reset and SetFormat allocate nothing";
    const float samples[147] = {0.5f};
    ULONG count = 147;
    CSrcStage* first = chain->GetFirstRateStage(); // F up, then 4 up
    EXPECT_TRUE(first->Process(5, samples, &count) && first->GetFillPosition(5) == 160);
    EXPECT_TRUE(chain->Reset() && first->GetFillPosition(5) == 0) << "Reset empties the chosen stages too";

    for (ULONG n = 2; n <= allocations; n++)
    {
        CDspInterleaveSrc* partial = new (NonPagedPool, DSP_INTERLEAVE_SRC_POOL_TAG) CDspInterleaveSrc();
        plat::FailNthAllocation(ULONG(n - 1)); // the chain itself was allocation 1
        EXPECT_FALSE(partial->Init()) << "allocation " << n;
        plat::ClearPoolFailures();
        plat::ClearDebugLog();
        EXPECT_FALSE(partial->SetFormat(&in, &out));
        EXPECT_EQ(plat::DebugLogText(), "CDspInterleaveSrc::SetFormat chain not built\n");
        EXPECT_TRUE(partial->Reset());
        delete partial;
    }
}

} // namespace
