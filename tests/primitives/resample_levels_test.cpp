// Up- and down-sampling at every level against the index formula: input k at phase + k x factor
// and zeros elsewhere; kept samples src[phase + j x factor] with the phase carried, so a stream
// fed in random pieces gives what one call gives. Every factor path (copy, 2, general, the short
// vectors the entry decimates itself), destinations off their alignment, guard zones.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

#include "driver/primitives/sp_lib.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

namespace
{

class SpResampleLevelTest : public SpLevelTest
{
};

std::vector<uint32_t> Pattern(int32_t n)
{
    std::vector<uint32_t> v(n);
    for (int32_t i = 0; i < n; ++i)
        v[i] = 0xFFC00000u | uint32_t(i + 1); // NaN payloads: moved, never computed
    return v;
}

} // namespace

TEST_P(SpResampleLevelTest, UpSamplingPutsEachInputAtItsIndex)
{
    std::vector<int32_t> lengths;
    for (int32_t n = 1; n <= 40; ++n)
        lengths.push_back(n);
    for (int32_t factor : {1, 2, 3, 5})
    {
        std::vector<int32_t> cases = lengths;
        cases.push_back(factor == 5 ? 4097 : 10000);
        for (int32_t n : cases)
        {
            const std::vector<uint32_t> src = Pattern(n);
            for (int32_t phase = 0; phase < factor && phase < 2; ++phase)
            {
                for (size_t offset : {size_t(0), size_t(4), size_t(8), size_t(12), size_t(2)})
                {
                    if (offset == 2 && Level() == 0)
                        continue; // level 0 takes float-aligned vectors only
                    GuardedBuffer<uint8_t> dst(4 * size_t(n) * factor, offset);
                    int32_t dstLen = 0, p = phase;
                    ASSERT_EQ(SpOk, SpSampleUpF32(reinterpret_cast<const float*>(src.data()), n,
                                                  reinterpret_cast<float*>(dst.data()), &dstLen, factor, &p));
                    ASSERT_EQ(n * factor, dstLen);
                    ASSERT_EQ(phase, p);
                    ASSERT_TRUE(dst.GuardsIntact()) << factor << " " << n << " at " << offset;
                    for (int32_t i = 0; i < n * factor; ++i)
                    {
                        uint32_t got;
                        memcpy(&got, dst.data() + 4 * size_t(i), 4);
                        const uint32_t want =
                            (i - phase) % factor == 0 && i >= phase ? src[(i - phase) / factor] : 0;
                        ASSERT_EQ(want, got) << "factor " << factor << " n " << n << " phase " << phase
                                             << " offset " << offset << " index " << i;
                    }
                }
            }
        }
    }
}

TEST_P(SpResampleLevelTest, DownSamplingKeepsEveryFactorthSampleAndCarriesThePhase)
{
    TestRng rng(206);
    const std::vector<uint32_t> src = Pattern(1200);
    for (int32_t factor : {1, 2, 3, 4, 5, 17})
    {
        for (int32_t n : {1, 2, 3, 10, 47, 48, 49, 100, 1000})
        {
            for (int32_t phase = 0; phase < factor; phase += (factor > 5 ? 7 : 1))
            {
                for (size_t offset : {size_t(0), size_t(4), size_t(12), size_t(2)})
                {
                    if (offset == 2 && Level() == 0)
                        continue; // level 0 takes float-aligned vectors only
                    const int32_t count = phase < n ? (n - phase + factor - 1) / factor : 0;
                    GuardedBuffer<uint8_t> dst(4 * size_t(count), offset);
                    int32_t dstLen = -1, p = phase;
                    ASSERT_EQ(SpOk,
                              SpSampleDownF32(reinterpret_cast<const float*>(src.data()), n,
                                              reinterpret_cast<float*>(dst.data()), &dstLen, factor, &p));
                    ASSERT_TRUE(dst.GuardsIntact()) << factor << " " << n << " at " << offset;
                    ASSERT_EQ(count, dstLen) << factor << " " << n << " " << phase;
                    ASSERT_EQ(factor == 1 ? phase : phase + count * factor - n, p) << factor << " " << n;
                    for (int32_t j = 0; j < count; ++j)
                    {
                        uint32_t got;
                        memcpy(&got, dst.data() + 4 * size_t(j), 4);
                        ASSERT_EQ(src[phase + j * factor], got)
                            << factor << " " << n << " " << phase << " " << j;
                    }
                }
            }
        }
        // A stream of 1,200 samples in random pieces gives what one call gives.
        if (factor == 1)
            continue;
        std::vector<float> whole(1200), pieces(1200);
        int32_t wholeLen = 0, phase = 1;
        ASSERT_EQ(SpOk, SpSampleDownF32(reinterpret_cast<const float*>(src.data()), 1200, whole.data(),
                                        &wholeLen, factor, &phase));
        int32_t at = 0, out = 0;
        phase = 1;
        while (at < 1200)
        {
            const int32_t piece = std::min<int32_t>(1200 - at, 1 + int32_t(rng.Next32() % 90));
            int32_t got = 0;
            ASSERT_EQ(SpOk, SpSampleDownF32(reinterpret_cast<const float*>(src.data()) + at, piece,
                                            pieces.data() + out, &got, factor, &phase));
            at += piece;
            out += got;
        }
        ASSERT_EQ(wholeLen, out);
        ASSERT_EQ(0, memcmp(whole.data(), pieces.data(), 4 * size_t(out))) << factor;
    }
}

// Worked cases, and an output length beyond 32 bits refused before anything is written (at
// level 0 too).
TEST_P(SpResampleLevelTest, DocumentedCasesAndOversizedOutputs)
{
    const float x[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    struct Case
    {
        int32_t n, factor, phase, count, newPhase;
        float first;
    };
    for (const Case& c : {Case{10, 3, 1, 3, 0, 1}, Case{10, 4, 3, 2, 1, 3}, Case{1, 2, 1, 0, 0, 0},
                          Case{2, 5, 3, 0, 1, 0}, Case{10, 4, 2, 2, 0, 2}})
    {
        float dst[4] = {-1, -1, -1, -1};
        int32_t len = -1, phase = c.phase;
        ASSERT_EQ(SpOk, SpSampleDownF32(x, c.n, dst, &len, c.factor, &phase));
        EXPECT_EQ(c.count, len);
        EXPECT_EQ(c.newPhase, phase);
        EXPECT_EQ(c.count > 0 ? c.first : -1.0f, dst[0]);
        EXPECT_EQ(-1.0f, dst[c.count]);
    }
    float one = 0.0f;
    int32_t len = 7, phase = 0;
    EXPECT_EQ(SpErrBadLength, SpSampleUpF32(x, 65536, &one, &len, 65536, &phase));
    EXPECT_EQ(7, len);
    EXPECT_EQ(0.0f, one);
    EXPECT_EQ(SpErrResampleFactor, SpSampleUpF32(x, 1, &one, &len, 0, &phase));
    phase = 3;
    EXPECT_EQ(SpErrResamplePhase, SpSampleDownF32(x, 1, &one, &len, 3, &phase));
}

SP_INSTANTIATE_LEVELS(SpResampleLevelTest);
