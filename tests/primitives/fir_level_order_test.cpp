// The level 1-3 direct-form FIR kernel against a plain scalar model that adds the products in
// the order the level builds fix: destinations at every byte offset of a 16-byte block (the
// peel, the passes over an aligned destination, the register form off a 4-byte boundary),
// windows at every offset (which must change nothing), tap counts on both sides of the
// one-to-four-tap forms and of every partial group, and counts around the runs of 8 and 16.
// Outputs are compared bit for bit; so is the filter entry, which runs the kernel on its delay
// line and then on the caller's input.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "driver/primitives/filters/sp_fir.h"
#include "driver/primitives/filters/sp_fir_internal.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

// Output k of the direct form, in the order of the level: o(j) = h(L - 1 - j) x(k + j), oldest
// first; dstByte is the destination's byte offset within a 16-byte block. Level 0 sums every
// output one product at a time from 0.
std::vector<float> DirectModel(int32_t level, const std::vector<float>& h, const float* x, int64_t count,
                               int dstByte)
{
    const int64_t L = int64_t(h.size());
    const bool pairThenJoin = level == 1;
    std::vector<float> y(static_cast<size_t>(count));
    auto o = [&](int64_t k, int64_t j) { return h[size_t(L - 1 - j)] * x[k + j]; };
    auto running = [&](int64_t k)
    {
        float acc = 0.0f;
        for (int64_t j = 0; j < L; ++j)
            acc += o(k, j);
        return acc;
    };
    auto group = [&](int64_t k, int64_t g)
    { return (o(k, 4 * g) + o(k, 4 * g + 1)) + (o(k, 4 * g + 2) + o(k, 4 * g + 3)); };
    // The r lowest taps joined to d; the register form at levels 2 and 3 pairs two of them first.
    auto last = [&](int64_t k, float d, bool registers)
    {
        const int64_t j = L / 4 * 4;
        switch (L % 4)
        {
        case 1:
            return d + o(k, j);
        case 2:
            return pairThenJoin || registers ? d + (o(k, j) + o(k, j + 1)) : (d + o(k, j)) + o(k, j + 1);
        case 3:
            return pairThenJoin ? d + ((o(k, j) + o(k, j + 1)) + o(k, j + 2))
                                : (d + o(k, j + 2)) + (o(k, j) + o(k, j + 1));
        default:
            return d;
        }
    };
    if (level == 0)
    {
        // The generic build: every output one product at a time from 0.
        for (int64_t k = 0; k < count; ++k)
            y[size_t(k)] = running(k);
        return y;
    }
    const bool on4 = dstByte % 4 == 0;
    int64_t k = 0;
    if (on4)
    {
        for (; k < count && (dstByte + 4 * k) % 16 != 0; ++k)
            y[size_t(k)] = running(k);
    }
    const int64_t first = k, rest = count - k;
    for (; k < count; ++k)
    {
        const int64_t i = k - first; // place within the part after the peel
        float v;
        if (L == 1)
            v = o(k, 0);
        else if (L == 2)
            v = o(k, 0) + o(k, 1);
        else if (L == 3)
            v = (o(k, 0) + o(k, 1)) + o(k, 2);
        else if (L == 4)
            v = group(k, 0);
        else if (on4)
        {
            // One pass per group; at levels 2 and 3 a run of eight folds the partial sum in first.
            const bool inRun = i < rest / 8 * 8;
            v = group(k, 0);
            for (int64_t g = 1; g < L / 4; ++g)
            {
                const float a = o(k, 4 * g), b = o(k, 4 * g + 1), c = o(k, 4 * g + 2), e = o(k, 4 * g + 3);
                if (pairThenJoin)
                    v = v + ((a + b) + (c + e));
                else if (inRun)
                    v = ((v + a) + b) + (c + e);
                else
                    v = (a + b) + ((v + e) + c);
            }
            v = last(k, v, false);
        }
        else if (i < rest / 4 * 4)
        {
            v = 0.0f;
            for (int64_t g = 0; g < L / 4; ++g)
                v = v + group(k, g);
            v = last(k, v, true);
        }
        else
            v = running(k);
        y[size_t(k)] = v;
    }
    return y;
}

typedef void (*DirectFn)(const float*, const float*, float*, int64_t, int32_t);

DirectFn DirectOf(int32_t level)
{
    return level == 1 ? SpFirDirectBlockKernel_L1
                      : (level == 2 ? SpFirDirectBlockKernel_L2 : SpFirDirectBlockKernel_L3);
}

// Floats at a byte offset of a 16-byte aligned arena, read and written through memcpy.
struct Arena
{
    std::vector<float> store;
    explicit Arena(size_t floats) : store(floats + 8) { memset(store.data(), 0xA5, 4 * store.size()); }
    float* At(int byte)
    {
        auto base = (reinterpret_cast<uintptr_t>(store.data()) + 15) & ~uintptr_t(15);
        return reinterpret_cast<float*>(base + uintptr_t(byte));
    }
};

std::vector<float> Read(const float* p, int64_t count)
{
    std::vector<float> v(static_cast<size_t>(count));
    memcpy(v.data(), p, 4 * size_t(count));
    return v;
}

class FirLevelOrderTest : public SpLevelTest
{
};
SP_INSTANTIATE_LEVELS(FirLevelOrderTest);

} // namespace

TEST_P(FirLevelOrderTest, DirectKernelMatchesTheGroupedModelAtEveryOffset)
{
    if (Level() == 0)
        GTEST_SKIP() << "the generic build sums inline, through its entry only";
    const DirectFn kernel = DirectOf(Level());
    TestRng rng(7131);
    for (int32_t taps = 1; taps <= 14; ++taps)
    {
        std::vector<float> h(static_cast<size_t>(taps));
        for (float& v : h)
            v = float(rng.Uniform(-1, 1));
        alignas(16) float quads[4 * 16];
        for (int32_t i = 0; i < 4 * taps; ++i)
            quads[i] = h[size_t(i / 4)];
        for (int64_t count : {1, 2, 3, 5, 12, 13, 19, 20, 27, 35, 64})
        {
            std::vector<float> x(static_cast<size_t>(count + taps - 1));
            for (float& v : x)
                v = float(rng.Uniform(-1, 1));
            for (int dstByte : {0, 4, 8, 12, 2})
            {
                const std::vector<float> want = DirectModel(Level(), h, x.data(), count, dstByte);
                for (int winByte : {0, 4, 8, 12, 2})
                {
                    Arena in(x.size()), out(static_cast<size_t>(count));
                    memcpy(in.At(winByte), x.data(), 4 * x.size());
                    float* dst = out.At(dstByte);
                    kernel(quads, in.At(winByte), dst, count, taps);
                    const std::vector<float> got = Read(dst, count);
                    ASSERT_EQ(0, memcmp(got.data(), want.data(), 4 * size_t(count)))
                        << taps << " taps, " << count << " outputs, destination +" << dstByte << ", window +"
                        << winByte;
                    const uint8_t* after = reinterpret_cast<const uint8_t*>(dst + count);
                    ASSERT_TRUE(after[0] == 0xA5 && after[1] == 0xA5 && after[2] == 0xA5 && after[3] == 0xA5)
                        << "written past the destination";
                }
            }
        }
    }
}

// The entry appends a short block to its history and runs the kernel there; a longer block runs
// the first outputs over the history and the rest straight over the caller's input. The generic
// build sums every output one product at a time.
TEST_P(FirLevelOrderTest, FilterEntryRunsTheKernelOverHistoryAndInput)
{
    TestRng rng(7204);
    for (int32_t taps : {3, 7, 13, 40})
    {
        std::vector<float> h(static_cast<size_t>(taps)), x(900);
        for (float& v : h)
            v = float(rng.Uniform(-1, 1));
        for (float& v : x)
            v = float(rng.Uniform(-1, 1));
        int32_t size = 0;
        ASSERT_EQ(SpFirStateSize(taps, &size), SpOk);
        std::vector<uint8_t> memory(static_cast<size_t>(size));
        SpFirState* state = nullptr;
        ASSERT_EQ(SpFirInit(&state, h.data(), taps, nullptr, memory.data()), SpOk);
        // history: L - 1 zeros then the input; block b starts at `at`.
        std::vector<float> line(static_cast<size_t>(taps - 1), 0.0f);
        line.insert(line.end(), x.begin(), x.end());
        int64_t at = 0;
        for (int64_t len : {int64_t(taps), int64_t(1), int64_t(200), int64_t(3), int64_t(500)})
        {
            alignas(16) float y[512];
            float* dst = y + (at % 3); // destinations at 0, 4 and 8 bytes
            ASSERT_EQ(SpFirFilter(&x[size_t(at)], dst, int32_t(len), state), SpOk);
            const int dstByte = int(reinterpret_cast<uintptr_t>(dst) & 15);
            const int64_t limit = ((taps + 3) & ~3) | 1;
            std::vector<float> want;
            if (len <= limit)
                want = DirectModel(Level(), h, &line[size_t(at)], len, dstByte);
            else
            {
                const int64_t head = (taps + 3) & ~3;
                want = DirectModel(Level(), h, &line[size_t(at)], head, dstByte);
                const std::vector<float> tail = DirectModel(Level(), h, &line[size_t(at + head)], len - head,
                                                            (dstByte + 4 * int(head)) % 16);
                want.insert(want.end(), tail.begin(), tail.end());
            }
            ASSERT_EQ(0, memcmp(dst, want.data(), 4 * size_t(len))) << taps << " taps, block at " << at;
            at += len;
        }
    }
}
