// The 4- and 8-point forward complex DFTs behind orders 2 and 3 of the complex transform. The
// generic build and every level build compile this one text, so the small orders give the same
// bits whichever level runs them; scalar code with no contraction leaves the compiler no freedom
// in the grouping or the rounding.
#pragma once

// Internal linkage: the generic file and each level's file keep their own copy under their own
// instruction set. The generic engine shares the point type and its load, store, add and subtract.
namespace
{
namespace sp_fft_small
{

// The float nearest sqrt(1/2); the vector cores use the next float up, these kernels do not.
constexpr float kSqrtHalf = 0.70710677f;
static_assert(kSqrtHalf == 0x1.6a09e6p-1f, "the small kernels' sqrt(1/2) must be bits 0x3F3504F3");

struct Cplx
{
    float Re;
    float Im;
};

inline Cplx Load(const float* p)
{
    return {p[0], p[1]};
}

inline void Store(float* p, Cplx v)
{
    p[0] = v.Re;
    p[1] = v.Im;
}

inline Cplx Add(Cplx a, Cplx b)
{
    return {a.Re + b.Re, a.Im + b.Im};
}

inline Cplx Sub(Cplx a, Cplx b)
{
    return {a.Re - b.Re, a.Im - b.Im};
}

// The scaled kernels scale the first stage's sums and differences, not the outputs: the scale
// then meets values of the inputs' size, and the second stage rounds the scaled values.
template <bool Scaled> inline Cplx Scale(Cplx a, float scale)
{
    return Scaled ? Cplx{a.Re * scale, a.Im * scale} : a;
}

// x - i y and x + i y as one add and one subtract each.
inline Cplx MinusIRot(Cplx x, Cplx y)
{
    return {x.Re + y.Im, x.Im - y.Re};
}

inline Cplx PlusIRot(Cplx x, Cplx y)
{
    return {x.Re - y.Im, x.Im + y.Re};
}

// Inputs are all read before the first store, so src may equal dst.
template <bool Scaled> inline void SmallDft4(const float* src, float* dst, float scale)
{
    const Cplx x0 = Load(src), x1 = Load(src + 2), x2 = Load(src + 4), x3 = Load(src + 6);
    const Cplx a = Scale<Scaled>(Add(x0, x2), scale), b = Scale<Scaled>(Sub(x0, x2), scale);
    const Cplx s = Scale<Scaled>(Add(x1, x3), scale), t = Scale<Scaled>(Sub(x1, x3), scale);
    const Cplx y[4] = {Add(a, s), MinusIRot(b, t), Sub(a, s), PlusIRot(b, t)};
    for (int k = 0; k < 4; ++k)
    {
        Store(dst + 2 * k, y[k]);
    }
}

// The odd bins turn U by (1 - i)c and V by -(1 + i)c as c (Ur + Ui, Ui - Ur) and
// -c (Vr - Vi, Vi + Vr): one rounded product of a sum, never a sum of two rounded products.
template <bool Scaled> inline void SmallDft8(const float* src, float* dst, float scale)
{
    Cplx x[8];
    for (int k = 0; k < 8; ++k)
    {
        x[k] = Load(src + 2 * k);
    }
    const Cplx a = Scale<Scaled>(Add(x[0], x[4]), scale), b = Scale<Scaled>(Sub(x[0], x[4]), scale);
    const Cplx e = Scale<Scaled>(Add(x[2], x[6]), scale), f = Scale<Scaled>(Sub(x[2], x[6]), scale);
    const Cplx g = Scale<Scaled>(Add(x[1], x[5]), scale), h = Scale<Scaled>(Sub(x[1], x[5]), scale);
    const Cplx k = Scale<Scaled>(Add(x[3], x[7]), scale), j = Scale<Scaled>(Sub(x[3], x[7]), scale);
    const Cplx ae = Add(a, e), gk = Add(g, k), dae = Sub(a, e), dgk = Sub(g, k);
    const Cplx p = MinusIRot(b, f), q = PlusIRot(b, f);
    const Cplx u = MinusIRot(h, j), v = PlusIRot(h, j);
    const Cplx cu = {kSqrtHalf * (u.Re + u.Im), kSqrtHalf * (u.Im - u.Re)};
    const Cplx cv = {-kSqrtHalf * (v.Re - v.Im), -kSqrtHalf * (v.Im + v.Re)};
    const Cplx y[8] = {
        Add(ae, gk), Add(p, cu), MinusIRot(dae, dgk), Add(q, cv),
        Sub(ae, gk), Sub(p, cu), PlusIRot(dae, dgk),  Sub(q, cv),
    };
    for (int n = 0; n < 8; ++n)
    {
        Store(dst + 2 * n, y[n]);
    }
}

} // namespace sp_fft_small
} // namespace
