// The rate stages' Process: how many samples each takes and gives, the 7,680-sample buffer it
// never passes, and a sine that leaves every stage at its own frequency, checked by a
// least-squares fit in double at the expected output frequency.
#include "support/graph_test_doubles.h"

#include "driver/dsp/src_stage_fractional.h"
#include "driver/dsp/src_stage_integer.h"
#include "driver/primitives/dispatch/sp_cpu_level.h"

#include <cmath>
#include <vector>

namespace
{

class SrcStage : public gd::LeakCheckedTest
{
protected:
    CSrcStage* Make(char kind, SRC_DIRECTION direction)
    {
        CSrcStage* stage = nullptr;
        if (kind == '2')
            stage = new (NonPagedPool, SRC_STAGE_POOL_TAG) CSrcStage2x();
        else if (kind == '4')
            stage = new (NonPagedPool, SRC_STAGE_POOL_TAG) CSrcStage4x();
        else
            stage = new (NonPagedPool, SRC_STAGE_POOL_TAG) CSrcStageFractional();
        m_Stages.push_back(stage);
        EXPECT_TRUE(stage->Init());
        stage->SetDirection(direction);
        stage->Reset();
        return stage;
    }
    void TearDown() override
    {
        for (CSrcStage* stage : m_Stages)
            delete stage; // the pool's guard bytes catch any write past a buffer here
        gd::LeakCheckedTest::TearDown();
    }
    // Feeds the input on channel 3 in calls of the given lengths, cycled, until it is taken (a
    // down stage leaves a last partial group) or the buffer is full; returns what was written.
    static std::vector<float> Run(CSrcStage* stage, const std::vector<float>& input,
                                  std::vector<ULONG> chunks)
    {
        size_t done = 0;
        for (size_t k = 0; done < input.size() && k < 4 * input.size(); k++)
        {
            ULONG count = ULONG(std::min<size_t>(chunks[k % chunks.size()], input.size() - done));
            const ULONG offered = count;
            EXPECT_TRUE(stage->Process(3, input.data() + done, &count));
            EXPECT_LE(count, offered);
            done += count;
            if (stage->GetFillPosition(3) == SRC_STAGE_BUFFER_SAMPLES)
                break;
        }
        return std::vector<float>(stage->GetBuffer(3), stage->GetBuffer(3) + stage->GetFillPosition(3));
    }
    std::vector<CSrcStage*> m_Stages;
};

TEST_F(SrcStage, ProcessTakesAndGivesTheStatedCountsWithinItsBuffer)
{
    const SRC_DIRECTION up = SrcDirectionUp, down = SrcDirectionDown;
    struct Case
    {
        char Kind;
        SRC_DIRECTION Direction;
        ULONG Inputs, Consumed, Written;
    } cases[] = {
        {'F', up, 147, 147, 160},
        {'F', down, 160, 160, 147},
        {'F', up, 1470, 1470, 1600},
        {'2', up, 100, 100, 200},
        {'2', down, 101, 100, 50},
        {'4', up, 100, 100, 400},
        {'4', down, 7, 4, 1},
        {'2', up, 0, 0, 0},
        {'2', up, 10000, 3840, 7680},
        {'4', up, 10000, 1920, 7680},
        {'2', down, 20000, 15360, 7680},
        {'4', down, 40000, 30720, 7680},
        {'F', up, 10000, 7056, 7680},
        {'F', down, 10000, 8359, 7680},
    };
    const std::vector<float> ones(40000, 1.0f);
    for (const Case& c : cases)
    {
        CSrcStage* stage = Make(c.Kind, c.Direction);
        ULONG count = c.Inputs;
        EXPECT_TRUE(stage->Process(0, ones.data(), &count));
        EXPECT_EQ(count, c.Consumed) << c.Kind << " " << c.Direction << " " << c.Inputs;
        EXPECT_EQ(stage->GetFillPosition(0), c.Written) << c.Kind << " " << c.Direction << " " << c.Inputs;
        count = 1000;
        EXPECT_TRUE(stage->Process(0, ones.data(), &count));
        EXPECT_EQ(count, c.Written == 7680 ? 0u : 1000u) << "a full buffer takes nothing more";
        count = 1;
        EXPECT_FALSE(stage->Process(8, ones.data(), &count)) << "no ninth channel";
        EXPECT_FALSE(stage->Process(0, ones.data(), nullptr));
    }
    CSrcStage* unbuilt = new (NonPagedPool, SRC_STAGE_POOL_TAG) CSrcStage2x();
    m_Stages.push_back(unbuilt);
    ULONG count = 10;
    EXPECT_FALSE(unbuilt->Process(0, ones.data(), &count)) << "no buffers before Init";
}

TEST_F(SrcStage, ASineKeepsItsFrequencyThroughEveryStage)
{
    struct Case
    {
        char Kind;
        SRC_DIRECTION Direction;
        double InRate, OutRate, ToneHz;
        ULONG Inputs;
    } cases[] = {
        {'2', SrcDirectionUp, 44100, 88200, 1000, 3000},   {'2', SrcDirectionDown, 96000, 48000, 5000, 6000},
        {'4', SrcDirectionUp, 48000, 192000, 3000, 1500},  {'4', SrcDirectionDown, 176400, 44100, 997, 7000},
        {'F', SrcDirectionUp, 44100, 48000, 1000, 4000},   {'F', SrcDirectionUp, 88200, 96000, 7000, 4000},
        {'F', SrcDirectionDown, 96000, 88200, 2500, 4000}, {'F', SrcDirectionDown, 48000, 44100, 440, 4000},
    };
    struct LevelGuard // the stages run on whichever level the host picked: each is tried
    {
        int32_t Saved = SpForceCpuLevelForTest(0);
        ~LevelGuard() { SpForceCpuLevelForTest(Saved); }
    } guard;
    for (int32_t level = 0; level <= 3; level++)
        for (const Case& c : cases)
        {
            SpForceCpuLevelForTest(level);
            std::vector<float> input(c.Inputs);
            for (size_t n = 0; n < input.size(); n++)
                input[n] = float(std::sin(2 * M_PI * c.ToneHz / c.InRate * n));
            const std::vector<float> out = Run(Make(c.Kind, c.Direction), input, {c.Inputs});
            ASSERT_NEAR(double(out.size()), c.Inputs * c.OutRate / c.InRate, 1.0);
            const std::vector<float> split = Run(Make(c.Kind, c.Direction), input, {1, 7, 333, 0, 64});
            ASSERT_EQ(split.size(), out.size());
            for (size_t n = 0; n < out.size(); n++) // level 1 sums groups of four in its own order
                ASSERT_NEAR(split[n], out[n], 1e-6)
                    << "any split of the calls, L" << level << ", sample " << n;

            // Least squares of a cos + b sin at the expected frequency, past the filter's start.
            const double w = 2 * M_PI * c.ToneHz / c.OutRate;
            double cc = 0, ss = 0, cs = 0, yc = 0, ys = 0;
            const size_t from = 200;
            for (size_t n = from; n < out.size(); n++)
            {
                const double co = std::cos(w * n), si = std::sin(w * n);
                cc += co * co, ss += si * si, cs += co * si, yc += out[n] * co, ys += out[n] * si;
            }
            const double det = cc * ss - cs * cs, a = (yc * ss - ys * cs) / det,
                         b = (ys * cc - yc * cs) / det;
            double residual = 0;
            for (size_t n = from; n < out.size(); n++)
                residual += std::pow(out[n] - a * std::cos(w * n) - b * std::sin(w * n), 2);
            residual = std::sqrt(residual / double(out.size() - from));
            EXPECT_NEAR(std::hypot(a, b), 1.0, 0.003)
                << c.Kind << " " << c.InRate << " -> " << c.OutRate << " L" << level;
            EXPECT_LT(residual, 3e-4) << c.Kind << " " << c.InRate << " -> " << c.OutRate << " L" << level;
        }
}

} // namespace
