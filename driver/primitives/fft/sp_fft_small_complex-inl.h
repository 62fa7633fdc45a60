// The 4- and 8-point forward complex DFTs behind orders 2 and 3 of the complex transform. The
// generic build and every level build compile this one text, so the small orders give the same
// bits whichever level runs them; scalar code with no contraction leaves the compiler no freedom
// in the grouping or the rounding.
#pragma once

// Internal linkage: the generic file and each level's file keep their own copy under their own
// instruction set.
namespace
{
namespace sp_fft_small
{

// The float nearest sqrt(1/2); the vector cores use the next float up, these kernels do not.
constexpr float kSqrtHalf = 0.70710677f;
static_assert(kSqrtHalf == 0x1.6a09e6p-1f, "the small kernels' sqrt(1/2) must be bits 0x3F3504F3");

struct Pt
{
    float Re;
    float Im;
};

inline Pt PtLoad(const float* p)
{
    return {p[0], p[1]};
}

inline void PtStore(float* p, Pt v)
{
    p[0] = v.Re;
    p[1] = v.Im;
}

inline Pt PtAdd(Pt a, Pt b)
{
    return {a.Re + b.Re, a.Im + b.Im};
}

inline Pt PtSub(Pt a, Pt b)
{
    return {a.Re - b.Re, a.Im - b.Im};
}

// The scaled kernels scale the first stage's sums and differences, not the outputs: the scale
// then meets values of the inputs' size, and the second stage rounds the scaled values.
template <bool Scaled> inline Pt PtScale(Pt a, float scale)
{
    return Scaled ? Pt{a.Re * scale, a.Im * scale} : a;
}

// x - i y and x + i y as one add and one subtract each.
inline Pt MinusIRot(Pt x, Pt y)
{
    return {x.Re + y.Im, x.Im - y.Re};
}

inline Pt PlusIRot(Pt x, Pt y)
{
    return {x.Re - y.Im, x.Im + y.Re};
}

// Inputs are all read before the first store, so src may equal dst.
template <bool Scaled> inline void SmallDft4(const float* src, float* dst, float scale)
{
    const Pt x0 = PtLoad(src), x1 = PtLoad(src + 2), x2 = PtLoad(src + 4), x3 = PtLoad(src + 6);
    const Pt a = PtScale<Scaled>(PtAdd(x0, x2), scale), b = PtScale<Scaled>(PtSub(x0, x2), scale);
    const Pt s = PtScale<Scaled>(PtAdd(x1, x3), scale), t = PtScale<Scaled>(PtSub(x1, x3), scale);
    const Pt y[4] = {PtAdd(a, s), MinusIRot(b, t), PtSub(a, s), PlusIRot(b, t)};
    for (int k = 0; k < 4; ++k)
    {
        PtStore(dst + 2 * k, y[k]);
    }
}

// The odd bins turn U by (1 - i)c and V by -(1 + i)c as c (Ur + Ui, Ui - Ur) and
// -c (Vr - Vi, Vi + Vr): one rounded product of a sum, never a sum of two rounded products.
template <bool Scaled> inline void SmallDft8(const float* src, float* dst, float scale)
{
    Pt x[8];
    for (int k = 0; k < 8; ++k)
    {
        x[k] = PtLoad(src + 2 * k);
    }
    const Pt a = PtScale<Scaled>(PtAdd(x[0], x[4]), scale), b = PtScale<Scaled>(PtSub(x[0], x[4]), scale);
    const Pt e = PtScale<Scaled>(PtAdd(x[2], x[6]), scale), f = PtScale<Scaled>(PtSub(x[2], x[6]), scale);
    const Pt g = PtScale<Scaled>(PtAdd(x[1], x[5]), scale), h = PtScale<Scaled>(PtSub(x[1], x[5]), scale);
    const Pt k = PtScale<Scaled>(PtAdd(x[3], x[7]), scale), j = PtScale<Scaled>(PtSub(x[3], x[7]), scale);
    const Pt ae = PtAdd(a, e), gk = PtAdd(g, k), dae = PtSub(a, e), dgk = PtSub(g, k);
    const Pt p = MinusIRot(b, f), q = PlusIRot(b, f);
    const Pt u = MinusIRot(h, j), v = PlusIRot(h, j);
    const Pt cu = {kSqrtHalf * (u.Re + u.Im), kSqrtHalf * (u.Im - u.Re)};
    const Pt cv = {-kSqrtHalf * (v.Re - v.Im), -kSqrtHalf * (v.Im + v.Re)};
    const Pt y[8] = {
        PtAdd(ae, gk), PtAdd(p, cu), MinusIRot(dae, dgk), PtAdd(q, cv),
        PtSub(ae, gk), PtSub(p, cu), PlusIRot(dae, dgk),  PtSub(q, cv),
    };
    for (int n = 0; n < 8; ++n)
    {
        PtStore(dst + 2 * n, y[n]);
    }
}

} // namespace sp_fft_small
} // namespace
