// Up- and down-sampling at every level beyond the level table's rows (which hold every factor path
// to the index formula at every offset, 2-byte ones included, and on long runs): a stream fed in
// random pieces gives what one call gives, the worked cases and the oversized outputs.
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

// A stream of 1,200 samples in random pieces gives what one call gives.
TEST_P(SpResampleLevelTest, DownSamplingCarriesThePhaseAcrossCalls)
{
    TestRng rng(206);
    const std::vector<uint32_t> src = Pattern(1200);
    for (int32_t factor : {2, 3, 4, 5, 17})
    {
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
