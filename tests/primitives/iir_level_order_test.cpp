// The level 1-3 IIR filters against a plain scalar model that groups every sum the way the
// level builds are meant to: the feed-forward and feedback passes four outputs at a time, their
// single outputs, the one-sample start and the delay-line rebuild of each chunk, for the direct
// form and for a cascade of biquad sections. Outputs, delay lines and lane tables are compared
// bit for bit; so are the 16-bit kernels, whose outputs are the model's times 2^-s rounded to
// nearest even and saturated.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <limits>
#include <vector>

#include "driver/primitives/filters/sp_iir.h"
#include "driver/primitives/filters/sp_iir_internal.h"
#include "tests/primitives/sp_level_fixture.h"
#include "tests/primitives/sp_test_support.h"

namespace
{

// ---- The model ----

struct Model
{
    int n = 0;
    std::vector<float> b, a; // normalised b0..bn, a0..an (a[0] unused)
    std::vector<float> fb;   // (n + 3) rows of four lanes
    std::vector<float> z;    // n + 1 words, the last 0

    Model(const std::vector<float>& taps, int order)
        : n(order), b(order + 1), a(order + 1), fb(4 * (order + 3))
    {
        const float r = 1.0f / taps[n + 1];
        for (int k = 0; k <= n; ++k)
            b[k] = taps[k] * r;
        for (int k = 1; k <= n; ++k)
            a[k] = taps[n + 1 + k] * r;
        // Lane j of row i: the factor of y[t-1-i] in y[t+j], built lane by lane, pass by pass.
        auto e = [&](int i, int j) -> float& { return fb[4 * i + j]; };
        for (int i = 0; i < n; ++i)
            e(i, 0) = taps[n + 2 + i] * (0.0f - r);
        const float c1 = e(0, 0), c2 = n >= 2 ? e(1, 0) : 0.0f, c3 = n >= 3 ? e(2, 0) : 0.0f;
        for (int i = 0; i < n; ++i)
            e(i, 1) = c1 * e(i, 0);
        for (int i = 0; i + 1 < n; ++i)
            e(i, 1) += e(i + 1, 0);
        for (int i = 0; i < n; ++i)
            e(i, 2) = e(i, 1) * c1 + c2 * e(i, 0);
        for (int i = 0; i + 2 < n; ++i)
            e(i, 2) += e(i + 2, 0);
        for (int i = 0; i < n; ++i)
            e(i, 3) = (e(i, 2) * c1 + c2 * e(i, 1)) + c3 * e(i, 0);
        for (int i = 0; i + 3 < n; ++i)
            e(i, 3) += e(i + 3, 0);
        const float trailer[12] = {1, e(0, 0), e(0, 1), e(0, 2), 0, 1, e(0, 0), e(0, 1), 0, 0, 1, e(0, 0)};
        for (int k = 0; k < 12; ++k)
            fb[4 * n + k] = trailer[k];
        z.assign(n + 1, 0.0f);
    }
    float Row(int i, int lane) const { return fb[4 * i + lane]; }
};

// Feed-forward output j of a pass of `len` over x (x[j .. j+n] feed it), taps bt[k] = b_k.
float FeedForwardModel(const float* x, int64_t j, int64_t len, const std::vector<float>& bt, int n)
{
    auto p = [&](int m) { return bt[n - m] * x[j + m]; };
    if (n == 0)
        return p(0);
    if (n == 1)
        return p(0) + p(1);
    if (n == 2)
        return (p(0) + p(1)) + p(2);
    if (n == 3)
        return (p(0) + p(1)) + (p(2) + p(3));
    float acc = 0.0f;
    if (j >= len / 4 * 4) // a single output
    {
        for (int m = 0; m <= n; ++m)
            acc += p(m);
        return acc;
    }
    int i = 0;
    for (; i + 4 <= n + 1; i += 4)
        acc = acc + ((p(i) + p(i + 1)) + (p(i + 2) + p(i + 3)));
    switch (n + 1 - i)
    {
    case 1:
        return acc + p(i);
    case 2:
        return acc + (p(i) + p(i + 1));
    case 3:
        return (acc + p(i + 2)) + (p(i) + p(i + 1));
    default:
        return acc;
    }
}

// Feedback output j of a pass (written to y[n + j]); y[0 .. n-1] precede the pass.
float FeedbackModel(const float* w, const float* y, int64_t j, int64_t len, const Model& m)
{
    const int n = m.n;
    const float* at = y + n + j; // at[-k] is y[t-k]
    if (j >= len / 4 * 4)
    {
        auto d = [&](int k) { return m.Row(k - 1, 0) * at[-k]; };
        const float wt = w[j];
        if (n == 1)
            return d(1) + wt;
        if (n == 2)
            return d(1) + (wt + d(2));
        if (n == 3)
            return (d(1) + d(2)) + (wt + d(3));
        if (n == 4)
            return (d(1) + d(2)) + ((d(3) + d(4)) + wt);
        float acc = 0.0f;
        for (int k = n; k >= 1; --k)
            acc += d(k);
        return acc + wt;
    }
    const int64_t g = j / 4 * 4;
    const int l = int(j - g);
    const float* t = y + n + g; // the group's first output slot
    auto q = [&](int i) { return t[-1 - i] * m.Row(i, l); };
    const float W0 = w[g] * m.Row(n, l), W1 = w[g + 1] * m.Row(n + 1, l), W2 = w[g + 2] * m.Row(n + 2, l);
    const float W3 = l == 3 ? w[g + 3] : 0.0f;
    switch (n)
    {
    case 1:
        return (q(0) + W0) + ((W1 + W2) + W3);
    case 2:
        return (q(1) + q(0)) + ((W0 + W1) + (W2 + W3));
    case 3:
        return ((q(2) + q(1)) + W3) + ((q(0) + W0) + (W1 + W2));
    case 4:
        return ((q(3) + q(2)) + (q(1) + q(0))) + ((W0 + W1) + (W2 + W3));
    default:
        break;
    }
    auto h = [&](int k) { return t[-n + k] * m.Row(n - 1 - k, l); }; // oldest first
    float acc = 0.0f;
    int k = 0;
    do
    {
        acc = acc + ((h(k) + h(k + 1)) + (h(k + 2) + h(k + 3)));
        k += 4;
    } while (n - k > 4);
    const float ws = (W0 + W1) + (W2 + W3);
    switch (n - k)
    {
    case 4:
        return acc + (((h(k) + h(k + 1)) + (h(k + 2) + h(k + 3))) + ws);
    case 3:
        return (acc + W3) + ((W1 + W2) + ((h(k) + h(k + 1)) + (h(k + 2) + W0)));
    case 2:
        return acc + ((h(k) + h(k + 1)) + ws);
    default:
        return acc + (((h(k) + W0) + W3) + (W1 + W2));
    }
}

float OneSampleModel(float x, Model& m)
{
    const float y = m.b[0] * x + m.z[0];
    for (int i = 0; i < m.n; ++i)
        m.z[i] = (m.b[i + 1] * x - m.a[i + 1] * y) + m.z[i + 1];
    return y;
}

// One call of the filter entry on the model: chunks of 1,024, each per sample or block-wise.
void FilterModel(const float* x, float* y, int32_t len, Model& m)
{
    const int n = m.n;
    std::vector<float> w(1024);
    for (int32_t done = 0; done < len;)
    {
        const int32_t L = len - done < 1024 ? len - done : 1024;
        const float* cx = x + done;
        float* cy = y + done;
        done += L;
        if (L <= 4 * n)
        {
            for (int32_t i = 0; i < L; ++i)
                cy[i] = OneSampleModel(cx[i], m);
            continue;
        }
        for (int64_t j = 0; j < L - n; ++j)
            w[j] = FeedForwardModel(cx, j, L - n, m.b, n);
        std::vector<float> tail(cx + L - n, cx + L); // read before any output lands
        for (int i = 0; i < n; ++i)
            cy[i] = OneSampleModel(cx[i], m);
        for (int j = 0; j < n; ++j)
        {
            float acc = 0.0f;
            for (int k = 0; k < n - j; ++k)
                acc += m.b[n - k] * tail[j + k];
            m.z[j] = acc;
        }
        for (int64_t j = 0; j < L - n; ++j)
            cy[n + j] = FeedbackModel(w.data(), cy, j, L - n, m);
        for (int j = 0; j < n; ++j)
            for (int k = 0; k < n - j; ++k)
                m.z[j] -= m.a[n - k] * cy[L - n + j + k];
    }
}

// b0..bn, a0..an with real poles inside radius 0.9 and a0 not 1.
std::vector<float> StableTaps(int n, TestRng& rng)
{
    std::vector<double> a = {1.0};
    for (int k = 0; k < n; ++k)
    {
        const double p = rng.Uniform(-0.9, 0.9);
        a.push_back(0.0);
        for (int i = int(a.size()) - 1; i > 0; --i)
            a[i] -= p * a[i - 1];
    }
    std::vector<float> taps(2 * n + 2);
    for (int k = 0; k <= n; ++k)
    {
        taps[k] = float(rng.Uniform(-1, 1));
        taps[n + 1 + k] = float(1.25 * a[k]);
    }
    return taps;
}

bool SameBits(const float* a, const float* b, size_t count)
{
    return memcmp(a, b, 4 * count) == 0;
}

// The level's 16-bit kernels, for direct calls.
struct I16Kernels
{
    void (*FeedForward)(const int16_t*, float*, int64_t, const float*, int32_t);
    void (*Feedback)(const float*, float*, int64_t, const float*, int32_t, int16_t*, int32_t);
    void (*BiquadFeedForward)(const int16_t*, float*, int64_t, const float*);
    void (*BiquadFeedback)(const float*, float*, int64_t, const float*, int16_t*, int32_t);
};

I16Kernels I16KernelsOf(int32_t level)
{
    switch (level)
    {
    case 1:
        return {SpIirDirectBlockFeedForwardI16_L1, SpIirDirectBlockFeedbackI16_L1,
                SpIirBiquadBlockFeedForwardI16_L1, SpIirBiquadBlockFeedbackI16_L1};
    case 2:
        return {SpIirDirectBlockFeedForwardI16_L2, SpIirDirectBlockFeedbackI16_L2,
                SpIirBiquadBlockFeedForwardI16_L2, SpIirBiquadBlockFeedbackI16_L2};
    default:
        return {SpIirDirectBlockFeedForwardI16_L3, SpIirDirectBlockFeedbackI16_L3,
                SpIirBiquadBlockFeedForwardI16_L3, SpIirBiquadBlockFeedbackI16_L3};
    }
}

int16_t Saturate16(float y, int32_t scale)
{
    const double v = nearbyint(double(y) * ldexp(1.0, -scale));
    return int16_t(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

class IirLevelOrderTest : public SpLevelTest
{
protected:
    void SetUp() override
    {
        SpLevelTest::SetUp();
        if (!IsSkipped() && Level() == 0)
            GTEST_SKIP() << "the generic build groups its sums its own way";
    }
};
SP_INSTANTIATE_LEVELS(IirLevelOrderTest);

} // namespace

TEST_P(IirLevelOrderTest, DirectFormMatchesTheGroupedModelBitForBit)
{
    TestRng rng(7213);
    const int32_t total = 2600;
    for (int n = 1; n <= 9; ++n)
    {
        const std::vector<float> taps = StableTaps(n, rng);
        std::vector<float> x(total);
        for (float& v : x)
            v = float(rng.Uniform(-1, 1));
        SpIirState *state = nullptr, *inPlace = nullptr;
        ASSERT_EQ(SpIirCreate(&state, taps.data(), n, nullptr), SpOk);
        ASSERT_EQ(SpIirCreate(&inPlace, taps.data(), n, nullptr), SpOk);
        Model model(taps, n);
        ASSERT_TRUE(SameBits(state->FbLanes, model.fb.data(), model.fb.size()))
            << "feedback rows, order " << n;
        // Per-sample chunks, the shortest block chunk, single outputs of every count, two chunks.
        const int32_t splits[] = {4 * n, 4 * n + 1, 4 * n + 2, 4 * n + 3, 4 * n + 4, 1031, 5, 3, 1100};
        std::vector<float> want(total), got(total), same(x);
        int32_t at = 0;
        for (int32_t len : splits)
        {
            FilterModel(&x[at], &want[at], len, model);
            ASSERT_EQ(SpIirFilter(&x[at], &got[at], len, state), SpOk);
            ASSERT_EQ(SpIirFilterInPlace(&same[at], len, inPlace), SpOk);
            ASSERT_TRUE(SameBits(&want[at], &got[at], size_t(len))) << "order " << n << " block of " << len;
            ASSERT_TRUE(SameBits(&want[at], &same[at], size_t(len))) << "in place, order " << n;
            ASSERT_TRUE(SameBits(state->Delay, model.z.data(), size_t(n) + 1)) << "delay, order " << n;
            at += len;
        }
        SpIirFree(state);
        SpIirFree(inPlace);
    }
}

// A record whose order field is 0 (no entry builds one) filters through the level's multiply by
// a constant: a zero factor clears even a NaN, a unit factor copies it with its payload.
TEST_P(IirLevelOrderTest, OrderZeroScalesThroughTheLevelsMultiplyByAConstant)
{
    const float taps[4] = {1.0f, 0.5f, 1.0f, 0.25f};
    SpIirState* state = nullptr;
    ASSERT_EQ(SpIirCreate(&state, taps, 1, nullptr), SpOk);
    state->Count = 0;
    uint32_t nanBits = 0x7fc01234u;
    float nan;
    memcpy(&nan, &nanBits, 4);
    const float x[5] = {nan, -2.0f, 3.0f, -0.0f, 0.5f};
    struct Case
    {
        float b0;
        float want[5];
    } cases[] = {
        {0.0f, {0.0f, 0.0f, 0.0f, 0.0f, 0.0f}},
        {-0.0f, {0.0f, 0.0f, 0.0f, 0.0f, 0.0f}},
        {1.0f, {nan, -2.0f, 3.0f, -0.0f, 0.5f}},
        {-3.0f, {-nan, 6.0f, -9.0f, 0.0f, -1.5f}},
    };
    for (const Case& c : cases)
    {
        for (int k = 0; k < 4; ++k)
            state->FfLanes[k] = c.b0;
        float y[5];
        ASSERT_EQ(SpIirFilter(x, y, 5, state), SpOk);
        for (int i = 0; i < 5; ++i)
        {
            if (c.b0 == -3.0f && i == 0)
                EXPECT_TRUE(isnan(y[0]));
            else
                EXPECT_TRUE(SameBits(&y[i], &c.want[i], 1)) << "b0 " << c.b0 << " sample " << i;
        }
    }
    SpIirFree(state);
}

// The 16-bit kernels are the float passes with widened input and a scaled, saturated copy of
// every output; the biquad feedback pass leaves only what the next block needs in the floats.
TEST_P(IirLevelOrderTest, SixteenBitKernelsAreTheFloatPassesWithIntegerEnds)
{
    const I16Kernels k = I16KernelsOf(Level());
    TestRng rng(7215);
    for (int n = 1; n <= 7; ++n)
    {
        const std::vector<float> taps = StableTaps(n, rng);
        Model model(taps, n);
        std::vector<float> ff(4 * (n + 1));
        for (int i = 0; i <= n; ++i)
            for (int l = 0; l < 4; ++l)
                ff[4 * i + l] = model.b[i];
        for (int64_t len : {0, 1, 3, 4, 7, 8, 9, 37})
        {
            for (int32_t scale : {0, 1, -2})
            {
                std::vector<int16_t> src(size_t(len + n));
                std::vector<float> wide(src.size());
                for (size_t i = 0; i < src.size(); ++i)
                    wide[i] = src[i] = int16_t(rng.Next32());
                alignas(16) float work[64];
                k.FeedForward(src.data(), work, len, ff.data(), n);
                for (int64_t j = 0; j < len; ++j)
                    ASSERT_EQ(work[j], FeedForwardModel(wide.data(), j, len, model.b, n)) << n << " " << j;
                std::vector<float> out(size_t(n + len)), want(out.size());
                for (int i = 0; i < n; ++i)
                    out[i] = want[i] = float(rng.Uniform(-30000, 30000));
                std::vector<int16_t> dst(out.size(), 77);
                k.Feedback(work, out.data(), len, model.fb.data(), n, dst.data(), scale);
                for (int64_t j = 0; j < len; ++j)
                    want[n + j] = FeedbackModel(work, want.data(), j, len, model);
                ASSERT_TRUE(SameBits(out.data(), want.data(), out.size())) << "order " << n << " len " << len;
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(dst[i], 77);
                for (int64_t j = 0; j < len; ++j)
                    ASSERT_EQ(dst[n + j], Saturate16(want[n + j], scale)) << n << " " << j << " s " << scale;
            }
        }
    }
    // The biquad pair: order 2, and after the feedback pass the floats hold only the last vector
    // group and the single outputs.
    const std::vector<float> taps = StableTaps(2, rng);
    Model model(taps, 2);
    alignas(16) float ff[12];
    for (int i = 0; i < 12; ++i)
        ff[i] = model.b[i / 4];
    for (int64_t len : {0, 2, 4, 9, 12, 13})
    {
        std::vector<int16_t> src(size_t(len + 2));
        std::vector<float> wide(src.size());
        for (size_t i = 0; i < src.size(); ++i)
            wide[i] = src[i] = int16_t(rng.Next32());
        alignas(16) float work[16];
        k.BiquadFeedForward(src.data(), work, len, ff);
        std::vector<float> want(size_t(len + 2)), out(want.size(), -1.0f);
        want[0] = out[0] = 4000.0f;
        want[1] = out[1] = -9000.0f;
        std::vector<int16_t> dst(want.size(), 77);
        k.BiquadFeedback(work, out.data(), len, model.fb.data(), dst.data(), 0);
        for (int64_t j = 0; j < len; ++j)
        {
            ASSERT_EQ(work[j], FeedForwardModel(wide.data(), j, len, model.b, 2));
            want[2 + j] = FeedbackModel(work, want.data(), j, len, model);
            ASSERT_EQ(dst[2 + j], Saturate16(want[2 + j], 0));
        }
        const int64_t kept = len / 4 * 4 >= 4 ? len / 4 * 4 - 4 : 0; // first output the floats keep
        for (int64_t j = 0; j < len; ++j)
        {
            if (j < kept)
                ASSERT_EQ(out[2 + j], -1.0f) << "len " << len << " output " << j;
            else
                ASSERT_EQ(out[2 + j], want[2 + j]) << "len " << len << " output " << j;
        }
        EXPECT_EQ(dst[0], 77);
        EXPECT_EQ(dst[1], 77);
    }
}

// A cascade of biquad sections (no entry builds one; the record is laid out here from order-2
// direct states of the same level) through the filter entry: short chunks one sample at a time
// through every section, longer ones section by section through the order-2 passes, the delay
// pairs rebuilt from each chunk's last inputs and outputs.
TEST_P(IirLevelOrderTest, BiquadCascadeMatchesTheGroupedModelBitForBit)
{
    TestRng rng(7214);
    const int sections = 3;
    std::vector<Model> models;
    std::vector<SpIirState*> parts;
    alignas(16) float taps[5 * sections], delay[2 * sections] = {}, ff[12 * sections], fb[20 * sections],
                                                    one[8 * sections], work[2048];
    for (int k = 0; k < sections; ++k)
    {
        const std::vector<float> t = StableTaps(2, rng);
        models.emplace_back(t, 2);
        SpIirState* part = nullptr;
        ASSERT_EQ(SpIirCreate(&part, t.data(), 2, nullptr), SpOk);
        parts.push_back(part);
        memcpy(taps + 5 * k, part->Taps, 5 * sizeof(float));
        memcpy(ff + 12 * k, part->FfLanes, 12 * sizeof(float));
        memcpy(fb + 20 * k, part->FbLanes, 20 * sizeof(float));
        const float row[8] = {
            taps[5 * k], taps[5 * k + 1], taps[5 * k + 2], 0.0f, fb[20 * k], fb[20 * k + 4], 0, 0};
        memcpy(one + 8 * k, row, sizeof(row));
    }
    SpIirState cascade = {};
    cascade.Tag = SpIirTagBiquad;
    cascade.Level = Level();
    cascade.Taps = taps;
    cascade.Delay = delay;
    cascade.Count = 2 * sections;
    cascade.FfLanes = ff;
    cascade.FbLanes = fb;
    cascade.Sections = sections;
    cascade.OneSample = one;
    cascade.Work = work;
    cascade.SecondWork = work + 1024;

    std::vector<float> x(2620);
    for (float& v : x)
        v = float(rng.Uniform(-1, 1));
    std::vector<float> z(2 * sections, 0.0f), want(x.size()), got(x.size());
    int32_t at = 0;
    for (int32_t len : {4 * sections, 4 * sections + 1, 4 * sections + 2, 1100, 7, 1474})
    {
        for (int32_t done = 0; done < len;)
        {
            const int32_t L = len - done < 1024 ? len - done : 1024;
            float* y = &want[size_t(at + done)];
            const float* in = &x[size_t(at + done)];
            if (L <= 4 * sections)
            {
                for (int32_t i = 0; i < L; ++i)
                {
                    float v = in[i];
                    for (int k = 0; k < sections; ++k)
                    {
                        const float* c = one + 8 * k;
                        const float out = c[0] * v + z[2 * k];
                        z[2 * k] = (c[1] * v + z[2 * k + 1]) + c[4] * out;
                        z[2 * k + 1] = (c[2] * v) + c[5] * out;
                        v = out;
                    }
                    y[i] = v;
                }
            }
            else
            {
                for (int k = 0; k < sections; ++k)
                {
                    const Model& m = models[size_t(k)];
                    const std::vector<float> u(k == 0 ? in : y, (k == 0 ? in : y) + L);
                    std::vector<float> w(size_t(L - 2));
                    for (int64_t j = 0; j < L - 2; ++j)
                        w[size_t(j)] = FeedForwardModel(u.data(), j, L - 2, m.b, 2);
                    y[0] = m.b[0] * u[0] + z[2 * k];
                    y[1] = ((z[2 * k + 1] - m.a[1] * y[0]) + m.b[0] * u[1]) + m.b[1] * u[0];
                    const float z0 = m.b[2] * u[size_t(L - 2)] + m.b[1] * u[size_t(L - 1)];
                    const float z1 = m.b[2] * u[size_t(L - 1)];
                    for (int64_t j = 0; j < L - 2; ++j)
                        y[2 + j] = FeedbackModel(w.data(), y, j, L - 2, m);
                    z[2 * k] = (m.Row(1, 0) * y[L - 2] + m.Row(0, 0) * y[L - 1]) + z0;
                    z[2 * k + 1] = m.Row(1, 0) * y[L - 1] + z1;
                }
            }
            done += L;
        }
        ASSERT_EQ(SpIirFilter(&x[size_t(at)], &got[size_t(at)], len, &cascade), SpOk);
        ASSERT_TRUE(SameBits(&want[size_t(at)], &got[size_t(at)], size_t(len))) << "block of " << len;
        ASSERT_TRUE(SameBits(delay, z.data(), z.size())) << "delay pairs after a block of " << len;
        at += len;
    }
    // In place gives the same bits: every section reads its inputs before it stores over them.
    std::vector<float> buffer(x.begin(), x.begin() + at);
    memset(delay, 0, sizeof(delay));
    at = 0;
    for (int32_t len : {4 * sections, 4 * sections + 1, 4 * sections + 2, 1100, 7, 1474})
    {
        ASSERT_EQ(SpIirFilterInPlace(&buffer[size_t(at)], len, &cascade), SpOk);
        at += len;
    }
    EXPECT_TRUE(SameBits(buffer.data(), got.data(), size_t(at))) << "in place";
    for (SpIirState* part : parts)
        SpIirFree(part);
}

// Scaled outputs beyond the 16-bit range saturate by their sign, even past the 32-bit range
// where a plain conversion yields one pattern for both signs; a NaN stores 0. With unit taps and
// no feedback the outputs are the work values, so each lands in a vector step or a tail as the
// table places it (a NaN goes last: the zero weights of a group carry it into every lane).
TEST_P(IirLevelOrderTest, SixteenBitOutputsSaturateByTheirSign)
{
    const I16Kernels k = I16KernelsOf(Level());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case
    {
        float y;
        int32_t scale;
        int16_t want;
    };
    const Case cases[] = {
        {1e10f, 0, 32767},   {-1e10f, 0, -32768}, {3e9f, 0, 32767},     {-3e9f, 0, -32768}, {40000, 0, 32767},
        {-40000, 0, -32768}, {2.5f, 0, 2},        {3.5f, 0, 4},         {5.0f, 1, 2},       {1e4f, -2, 32767},
        {-1e4f, -2, -32768}, {-2.5f, 0, -2},      {3e38f, -100, 32767}, {nan, 0, 0}, // a NaN last: it spreads
    };
    const int64_t len = int64_t(sizeof(cases) / sizeof(cases[0]));
    for (int order : {1, 2})
    {
        std::vector<float> taps(size_t(2 * order + 2), 0.0f);
        taps[0] = taps[size_t(order + 1)] = 1.0f;
        const Model model(taps, order);
        for (const int32_t scale : {0, 1, -2, -100})
        {
            alignas(16) float work[16];
            for (int64_t j = 0; j < len; ++j)
                work[j] = cases[j].y;
            std::vector<float> out(size_t(order + len), 0.0f);
            std::vector<int16_t> dst(out.size(), 77);
            if (order == 2)
                k.BiquadFeedback(work, out.data(), len, model.fb.data(), dst.data(), scale);
            else
                k.Feedback(work, out.data(), len, model.fb.data(), order, dst.data(), scale);
            for (int64_t j = 0; j < len; ++j)
            {
                if (cases[j].scale == scale)
                {
                    EXPECT_EQ(dst[size_t(order + j)], cases[j].want)
                        << "order " << order << " value " << cases[j].y << " scale " << scale;
                }
            }
        }
    }
}
