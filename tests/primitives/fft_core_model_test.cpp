// The complex FFT cores of levels 1 to 3 held bit for bit to a scalar model of their steps: the
// gathering first pass, the radix-4 and radix-8 passes with every product rounded on its own
// (c a + c b, never c (a + b)), the 8-point path with its factor products, each level's pass
// plan, then the sub-block cores and the radix-8 combining pass on the same butterflies. The
// model reads the tables of the spec it is given; the plans are checked against their
// documented table in fft_level_kernels_test.cpp.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "driver/primitives/fft/sp_fft_levels.h"
#include "sp_fft_level_spec.h"
#include "sp_level_fixture.h"
#include "sp_test_support.h"

// Named inside the anonymous namespace: the file shares a compile batch with the other FFT tests.
namespace
{
namespace fft_core_model
{

struct Cf
{
    float Re;
    float Im;
};

Cf Add(Cf a, Cf b)
{
    return {a.Re + b.Re, a.Im + b.Im};
}

Cf Sub(Cf a, Cf b)
{
    return {a.Re - b.Re, a.Im - b.Im};
}

// a - i d forward, a + i d inverse; PlusI the other one.
Cf MinusI(Cf a, Cf d, bool inv)
{
    return inv ? Cf{a.Re - d.Im, a.Im + d.Re} : Cf{a.Re + d.Im, a.Im - d.Re};
}

Cf PlusI(Cf a, Cf d, bool inv)
{
    return MinusI(a, d, !inv);
}

// y w forward, y conj(w) inverse; each product rounded before the sum.
Cf Mul(Cf y, float wr, float wi, bool inv)
{
    if (inv)
    {
        return {y.Re * wr + y.Im * wi, y.Im * wr - y.Re * wi};
    }
    return {y.Re * wr - y.Im * wi, y.Im * wr + y.Re * wi};
}

// Vector m (1-based) of a table entry, at lane k mod 4.
Cf Factor(const float* entry, int m, int64_t k)
{
    return {entry[8 * (m - 1) + k % 4], entry[8 * (m - 1) + 4 + k % 4]};
}

Cf Twiddled(Cf y, const float* entry, int m, int64_t k, bool inv)
{
    const Cf w = Factor(entry, m, k);
    return Mul(y, w.Re, w.Im, inv);
}

float C()
{
    const uint32_t bits = 0x3F3504F4u;
    float c;
    memcpy(&c, &bits, sizeof(c));
    return c;
}

// The untwiddled radix-4 butterfly of the first pass.
void FirstPass(Cf p0, Cf p1, Cf p2, Cf p3, bool inv, Cf* x)
{
    const Cf s01 = Add(p0, p1), s23 = Add(p2, p3), d01 = Sub(p0, p1), d23 = Sub(p2, p3);
    x[0] = Add(s01, s23);
    x[2] = Sub(s01, s23);
    x[1] = MinusI(d01, d23, inv);
    x[3] = PlusI(d01, d23, inv);
}

// The radix-8 butterfly on y_0 and the twiddled t_1 .. t_7; outputs at offsets 0, L, .., 7L.
void Radix8Butterfly(const Cf* t, bool inv, Cf* out)
{
    const float c = C(), nc = -C();
    const Cf a0 = Add(t[0], t[1]), a1 = Sub(t[0], t[1]), a2 = Add(t[2], t[3]), a3 = Sub(t[2], t[3]);
    const Cf a4 = Add(t[4], t[5]), a5 = Sub(t[4], t[5]), a6 = Add(t[6], t[7]), a7 = Sub(t[6], t[7]);
    out[0] = Add(Add(a0, a2), Add(a4, a6));
    out[4] = Sub(Add(a0, a2), Add(a4, a6));
    out[2] = MinusI(Sub(a0, a2), Sub(a4, a6), inv);
    out[6] = PlusI(Sub(a0, a2), Sub(a4, a6), inv);
    const Cf u = MinusI(a5, a7, inv), v = PlusI(a5, a7, inv);
    Cf r, s;
    if (inv)
    {
        r = {c * u.Re - c * u.Im, c * u.Re + c * u.Im};   // u (1 + i) c
        s = {nc * v.Re + nc * v.Im, c * v.Re - c * v.Im}; // v (-1 + i) c
    }
    else
    {
        r = {c * u.Re + c * u.Im, c * u.Im - c * u.Re};     // u (1 - i) c
        s = {nc * v.Re - nc * v.Im, nc * v.Re + nc * v.Im}; // v -(1 + i) c
    }
    out[1] = Add(MinusI(a1, a3, inv), r);
    out[5] = Sub(MinusI(a1, a3, inv), r);
    out[3] = Add(PlusI(a1, a3, inv), s);
    out[7] = Sub(PlusI(a1, a3, inv), s);
}

// The passes of a plan over y (bit-reversed positions in, natural order out).
void Passes(std::vector<Cf>& y, const SpFftPassPlan& plan, const float* records, bool inv)
{
    const int64_t n = int64_t(y.size());
    for (int32_t i = 0; i < plan.Count; ++i)
    {
        const int R = plan.Radix[i];
        const int64_t L = plan.Span[i];
        for (int64_t g = 0; g < n; g += R * L)
        {
            for (int64_t k = 0; k < L; ++k)
            {
                const float* entry = records + (k / 4) * 8 * (R - 1);
                Cf* q[8];
                for (int b = 0; b < R; ++b)
                {
                    q[b] = &y[size_t(g + b * L + k)];
                }
                if (R == 4)
                {
                    const Cf t1 = Twiddled(*q[1], entry, 2, k, inv), t2 = Twiddled(*q[2], entry, 1, k, inv),
                             t3 = Twiddled(*q[3], entry, 3, k, inv);
                    const Cf s = Add(*q[0], t1), d = Sub(*q[0], t1), s23 = Add(t2, t3), d23 = Sub(t2, t3);
                    *q[0] = Add(s, s23);
                    *q[2] = Sub(s, s23);
                    *q[1] = MinusI(d, d23, inv);
                    *q[3] = PlusI(d, d23, inv);
                    continue;
                }
                static const int kVector[8] = {0, 4, 2, 6, 1, 5, 3, 7}; // rev3(b)
                Cf t[8], out[8];
                t[0] = *q[0];
                for (int b = 1; b < 8; ++b)
                {
                    t[b] = Twiddled(*q[b], entry, kVector[b], k, inv);
                }
                Radix8Butterfly(t, inv, out);
                for (int b = 0; b < 8; ++b)
                {
                    *q[b] = out[b];
                }
            }
        }
        records += 8 * (R - 1) * (L / 4);
    }
}

int Log2(int64_t n)
{
    int order = 0;
    while ((int64_t(1) << order) < n)
    {
        ++order;
    }
    return order;
}

// The DFT of x (natural order) as a core of `level` computes it with the stage table given.
std::vector<Cf> ModelCore(const std::vector<Cf>& x, int level, const float* records, bool inv)
{
    const int64_t n = int64_t(x.size());
    std::vector<Cf> y(x.size());
    if (n == 8)
    {
        const float c = C();
        const float rowRe[4] = {1.0f, c, 0.0f, -c}, rowIm[4] = {0.0f, -c, -1.0f, -c};
        Cf e[4], o[4];
        FirstPass(x[0], x[4], x[2], x[6], inv, e);
        FirstPass(x[1], x[5], x[3], x[7], inv, o);
        for (int k = 0; k < 4; ++k)
        {
            const Cf t = Mul(o[k], rowRe[k], rowIm[k], inv);
            y[size_t(k)] = Add(e[k], t);
            y[size_t(k + 4)] = Sub(e[k], t);
        }
        return y;
    }
    const int order = Log2(n);
    for (int64_t k = 0; k < n / 4; ++k)
    {
        const int64_t r = SpFftReverseBits(uint32_t(4 * k), order);
        FirstPass(x[size_t(r)], x[size_t(r + n / 2)], x[size_t(r + n / 4)], x[size_t(r + 3 * n / 4)], inv,
                  &y[size_t(4 * k)]);
    }
    SpFftPassPlan plan;
    EXPECT_TRUE(SpFftPassPlanOf(level, order, &plan));
    Passes(y, plan, records, inv);
    return y;
}

std::vector<Cf> RandomPoints(int64_t n, uint64_t seed)
{
    TestRng rng(seed);
    std::vector<Cf> x(static_cast<size_t>(n));
    for (Cf& p : x)
    {
        p = {float(rng.Uniform(-1, 1)), float(rng.Uniform(-1, 1))};
    }
    return x;
}

// 16-byte aligned float storage.
struct Aligned
{
    std::vector<float> Storage;
    float* Data;
    explicit Aligned(size_t floats, float fill = 0.0f) : Storage(floats + 8, fill)
    {
        Data = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(Storage.data()) + 15) & ~uintptr_t(15));
    }
};

struct Cores
{
    int Level;
    decltype(&SpFftRadix4Fwd_L1) Radix4Fwd, Radix4Inv;
    decltype(&SpFftOrder16Fwd_L1) InPlaceFwd, InPlaceInv;
    decltype(&SpFftReImFwd_L1) PlanarFwd, PlanarInv;
    decltype(&SpFftReImInPlaceFwd_L1) PlanarInPlaceFwd, PlanarInPlaceInv;
};

const Cores kCores[] = {
    {1, SpFftRadix4Fwd_L1, SpFftRadix4Inv_L1, SpFftOrder16Fwd_L1, SpFftOrder16Inv_L1, SpFftReImFwd_L1,
     SpFftReImInv_L1, SpFftReImInPlaceFwd_L1, SpFftReImInPlaceInv_L1},
    {2, SpFftRadix4Fwd_L2, SpFftRadix4Inv_L2, SpFftOrder16Fwd_L2, SpFftOrder16Inv_L2, SpFftReImFwd_L2,
     SpFftReImInv_L2, SpFftReImInPlaceFwd_L2, SpFftReImInPlaceInv_L2},
    {3, SpFftRadix4Fwd_L3, SpFftRadix4Inv_L3, SpFftOrder16Fwd_L3, SpFftOrder16Inv_L3, SpFftRadix4FwdPlanar_L3,
     SpFftRadix4InvPlanar_L3, SpFftInPlaceFwdPlanar_L3, SpFftInPlaceInvPlanar_L3},
};

// Where the first mismatching float of `got` against the model lies, or -1.
int64_t FirstMismatch(const float* got, const std::vector<Cf>& want)
{
    for (size_t i = 0; i < want.size(); ++i)
    {
        if (memcmp(got + 2 * i, &want[i], sizeof(Cf)) != 0)
        {
            return int64_t(i);
        }
    }
    return -1;
}

// Every core of every level, both directions, orders 3 to 14: the interleaved bit-reversing core,
// the in-place core on bit-reversed data (from 64 points) and the planar twins give the model's
// bits. Inputs mix random points with the zeros and units that the 8-point factor products meet.
TEST(FftCoreModel, CoresAreTheModelBitForBit)
{
    for (const Cores& k : kCores)
    {
        if (!SpLevelRunsHere(k.Level))
        {
            continue;
        }
        for (int order = 3; order <= 14; ++order)
        {
            const int64_t n = int64_t(1) << order;
            FftLevelSpec spec(k.Level, order);
            Aligned work(size_t(2 * n));
            for (uint64_t seed = 0; seed < (order == 3 ? 64u : 2u); ++seed)
            {
                std::vector<Cf> x = RandomPoints(n, 1000 * uint64_t(order) + seed);
                if (seed % 2)
                {
                    static const float kEdges[] = {0.0f, -0.0f, 1.0f, -1.0f};
                    for (size_t i = 0; i < x.size(); ++i)
                    {
                        x[i].Im = kEdges[(i + seed) % 4];
                        x[i].Re = kEdges[(i * 3 + seed / 2) % 4];
                    }
                }
                for (bool inv : {false, true})
                {
                    SCOPED_TRACE("level " + std::to_string(k.Level) + ", order " + std::to_string(order) +
                                 (inv ? ", inverse" : ", forward") + ", seed " + std::to_string(seed));
                    const std::vector<Cf> want = ModelCore(x, k.Level, spec.p->Radix4, inv);
                    std::vector<float> out(static_cast<size_t>(2 * n));
                    (inv ? k.Radix4Inv : k.Radix4Fwd)(&x[0].Re, out.data(), n, spec.p->Radix4, spec.Index(),
                                                      work.Data);
                    ASSERT_EQ(FirstMismatch(out.data(), want), -1) << "bit-reversing core";
                    std::vector<float> re(static_cast<size_t>(n)), im(static_cast<size_t>(n)),
                        outRe(static_cast<size_t>(n)), outIm(static_cast<size_t>(n));
                    for (int64_t i = 0; i < n; ++i)
                    {
                        re[size_t(i)] = x[size_t(i)].Re;
                        im[size_t(i)] = x[size_t(i)].Im;
                    }
                    (inv ? k.PlanarInv : k.PlanarFwd)(re.data(), im.data(), outRe.data(), outIm.data(), n,
                                                      spec.p->Radix4, spec.Index(), work.Data);
                    for (int64_t i = 0; i < n; ++i)
                    {
                        out[size_t(2 * i)] = outRe[size_t(i)];
                        out[size_t(2 * i + 1)] = outIm[size_t(i)];
                    }
                    ASSERT_EQ(FirstMismatch(out.data(), want), -1) << "planar core";
                    if (order < 6)
                    {
                        continue;
                    }
                    std::vector<float> data(static_cast<size_t>(2 * n));
                    for (int64_t i = 0; i < n; ++i)
                    {
                        const size_t r = SpFftReverseBits(uint32_t(i), order);
                        data[2 * r] = x[size_t(i)].Re;
                        data[2 * r + 1] = x[size_t(i)].Im;
                        re[r] = x[size_t(i)].Re;
                        im[r] = x[size_t(i)].Im;
                    }
                    (inv ? k.InPlaceInv : k.InPlaceFwd)(data.data(), n, spec.p->Radix4, work.Data, 1);
                    ASSERT_EQ(FirstMismatch(data.data(), want), -1) << "in-place core";
                    (inv ? k.PlanarInPlaceInv : k.PlanarInPlaceFwd)(re.data(), im.data(), n, spec.p->Radix4,
                                                                    work.Data);
                    for (int64_t i = 0; i < n; ++i)
                    {
                        out[size_t(2 * i)] = re[size_t(i)];
                        out[size_t(2 * i + 1)] = im[size_t(i)];
                    }
                    ASSERT_EQ(FirstMismatch(out.data(), want), -1) << "planar in-place core";
                }
            }
        }
    }
}

struct SubBlockCores
{
    int Level;
    decltype(&SpFftDecim8HalfFwd_L2) Fwd, Inv;
    decltype(&SpFftDecim8HalfReImFwd_L2) PlanarFwd, PlanarInv;
    decltype(&SpFftRadix8CombineFwd_L2) CombineFwd, CombineInv;
    decltype(&SpFftRadix8CombineReImFwd_L2) CombinePlanarFwd, CombinePlanarInv;
};

const SubBlockCores kSubBlocks[] = {
    {2, SpFftDecim8HalfFwd_L2, SpFftDecim8HalfInv_L2, SpFftDecim8HalfReImFwd_L2, SpFftDecim8HalfReImInv_L2,
     SpFftRadix8CombineFwd_L2, SpFftRadix8CombineInv_L2, SpFftRadix8CombineReImFwd_L2,
     SpFftRadix8CombineReImInv_L2},
    {3, SpFftSubBlocksFwd_L3, SpFftSubBlocksInv_L3, SpFftSubBlocksFwdPlanar_L3, SpFftSubBlocksInvPlanar_L3,
     SpFftRadix8CombineFwd_L3, SpFftRadix8CombineInv_L3, SpFftRadix8CombineFwdPlanar_L3,
     SpFftRadix8CombineInvPlanar_L3},
};

// Region s of a block-layout array (m points a region) as natural-order points.
std::vector<Cf> Region(const float* blocks, int64_t m, int64_t s)
{
    std::vector<Cf> y(static_cast<size_t>(m));
    for (int64_t p = 0; p < m; ++p)
    {
        const int64_t at = s * m + p;
        y[size_t(p)] = {blocks[8 * (at / 4) + at % 4], blocks[8 * (at / 4) + 4 + at % 4]};
    }
    return y;
}

// The combining pass of eight natural-order m-point DFTs Y_p: X[q m + j] by the model's radix-8
// butterfly on the products of regions 0, 4, 2, 6, 1, 5, 3, 7.
std::vector<Cf> ModelCombine(const std::vector<std::vector<Cf>>& y, int64_t m, const float* records, bool inv)
{
    static const int kRegion[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    std::vector<Cf> x(static_cast<size_t>(8 * m));
    for (int64_t j = 0; j < m; ++j)
    {
        const float* entry = records + 56 * (j / 4);
        Cf t[8], out[8];
        for (int b = 0; b < 8; ++b)
        {
            const int p = kRegion[b];
            t[b] = p == 0 ? y[0][size_t(j)] : Twiddled(y[size_t(p)][size_t(j)], entry, p, j, inv);
        }
        Radix8Butterfly(t, inv, out);
        for (int q = 0; q < 8; ++q)
        {
            x[size_t(q * m + j)] = out[q];
        }
    }
    return x;
}

// Two sub-block calls give the model's DFT of each decimated sequence x[8t + s] (the level-2
// plan of m points), and the combining pass the model's combination of them, bit for bit, for
// both source layouts, both output layouts and both directions.
TEST(FftCoreModel, SubBlockCoresAndTheCombiningPassAreTheModelBitForBit)
{
    for (const SubBlockCores& k : kSubBlocks)
    {
        if (!SpLevelRunsHere(k.Level))
        {
            continue;
        }
        for (int order : {6, 7, 9, 11})
        {
            const int64_t m = int64_t(1) << order, total = 8 * m;
            FftLevelSpec sub(k.Level, order), whole(k.Level, order + 3);
            const float* table = whole.p->Radix4; // leads with the order's own table
            const float* combine = table + 2 * (m - 4);
            const std::vector<Cf> x = RandomPoints(total, 70 + uint64_t(order));
            std::vector<float> re(size_t(total), 0.0f), im(size_t(total), 0.0f);
            for (int64_t i = 0; i < total; ++i)
            {
                re[size_t(i)] = x[size_t(i)].Re;
                im[size_t(i)] = x[size_t(i)].Im;
            }
            for (bool inv : {false, true})
            {
                SCOPED_TRACE("level " + std::to_string(k.Level) + ", m " + std::to_string(m) +
                             (inv ? ", inverse" : ", forward"));
                std::vector<std::vector<Cf>> want(8);
                for (int64_t s = 0; s < 8; ++s)
                {
                    std::vector<Cf> z(static_cast<size_t>(m));
                    for (int64_t t = 0; t < m; ++t)
                    {
                        z[size_t(t)] = x[size_t(8 * t + s)];
                    }
                    want[size_t(s)] = ModelCore(z, 2, table, inv);
                }
                Aligned blocks(size_t(2 * total)), planar(size_t(2 * total)), work(size_t(2 * total));
                const auto* cx = reinterpret_cast<const SpComplexF32*>(&x[0].Re);
                (inv ? k.Inv : k.Fwd)(cx, blocks.Data, m, table, sub.Index(), work.Data);
                (inv ? k.Inv : k.Fwd)(cx + 4, blocks.Data + 8 * m, m, table, sub.Index(), work.Data);
                (inv ? k.PlanarInv : k.PlanarFwd)(re.data(), im.data(), planar.Data, m, table, sub.Index());
                (inv ? k.PlanarInv : k.PlanarFwd)(re.data() + 4, im.data() + 4, planar.Data + 8 * m, m, table,
                                                  sub.Index());
                for (int64_t s = 0; s < 8; ++s)
                {
                    const std::vector<Cf> got = Region(blocks.Data, m, s);
                    ASSERT_EQ(FirstMismatch(&got[0].Re, want[size_t(s)]), -1) << "region " << s;
                    const std::vector<Cf> gotPlanar = Region(planar.Data, m, s);
                    ASSERT_EQ(FirstMismatch(&gotPlanar[0].Re, want[size_t(s)]), -1) << "planar, region " << s;
                }
                const std::vector<Cf> whole8 = ModelCombine(want, m, combine, inv);
                std::vector<float> outRe(static_cast<size_t>(total)), outIm(static_cast<size_t>(total)),
                    out(static_cast<size_t>(2 * total));
                (inv ? k.CombinePlanarInv : k.CombinePlanarFwd)(planar.Data, outRe.data(), outIm.data(), m,
                                                                int32_t(m), combine);
                (inv ? k.CombineInv : k.CombineFwd)(blocks.Data, reinterpret_cast<SpComplexF32*>(out.data()),
                                                    m, m, combine);
                ASSERT_EQ(FirstMismatch(out.data(), whole8), -1) << "interleaved combining pass";
                for (int64_t i = 0; i < total; ++i)
                {
                    out[size_t(2 * i)] = outRe[size_t(i)];
                    out[size_t(2 * i + 1)] = outIm[size_t(i)];
                }
                ASSERT_EQ(FirstMismatch(out.data(), whole8), -1) << "planar combining pass";
            }
        }
    }
}

// The first pass of a sub-block core runs iteration 0 at point 0 and then one iteration per
// index-table entry up to the 0 that ends the table, whatever m says: with entry 1 already 0 only
// block 0 of each region is gathered, and the passes run over what the rest of the work area
// held (zeros here). Both source forms, m = 64 and 512.
TEST(FftCoreModel, SubBlockIndexTableEndMarkEndsTheGather)
{
    for (const SubBlockCores& k : kSubBlocks)
    {
        if (!SpLevelRunsHere(k.Level))
        {
            continue;
        }
        for (int order : {6, 9})
        {
            SCOPED_TRACE("level " + std::to_string(k.Level) + ", order " + std::to_string(order));
            const int64_t m = int64_t(1) << order;
            FftLevelSpec spec(k.Level, order);
            std::vector<uint32_t> index(spec.Index(), spec.Index() + m / 4 + 1);
            index[1] = 0; // the later entries stay the order's own
            const std::vector<Cf> x = RandomPoints(8 * m, 90 + uint64_t(order));
            std::vector<float> re(static_cast<size_t>(8 * m)), im(static_cast<size_t>(8 * m));
            for (int64_t i = 0; i < 8 * m; ++i)
            {
                re[size_t(i)] = x[size_t(i)].Re;
                im[size_t(i)] = x[size_t(i)].Im;
            }
            Aligned dst(size_t(8 * m)), planar(size_t(8 * m)), work(size_t(8 * m));
            k.Fwd(reinterpret_cast<const SpComplexF32*>(&x[0].Re), dst.Data, m, spec.p->Radix4, index.data(),
                  work.Data);
            k.PlanarFwd(re.data(), im.data(), planar.Data, m, spec.p->Radix4, index.data());
            for (int64_t s = 0; s < 4; ++s)
            {
                std::vector<Cf> y(static_cast<size_t>(m), Cf{0.0f, 0.0f});
                const auto at = [&](int64_t quarter) { return x[size_t(s + 2 * m * quarter)]; };
                FirstPass(at(0), at(2), at(1), at(3), false, &y[0]);
                SpFftPassPlan plan;
                ASSERT_TRUE(SpFftPassPlanOf(2, order, &plan));
                Passes(y, plan, spec.p->Radix4, false);
                const std::vector<Cf> got = Region(dst.Data, m, s), gotPlanar = Region(planar.Data, m, s);
                EXPECT_EQ(FirstMismatch(&got[0].Re, y), -1) << "region " << s;
                EXPECT_EQ(FirstMismatch(&gotPlanar[0].Re, y), -1) << "planar, region " << s;
            }
        }
    }
}

} // namespace fft_core_model
} // namespace
