// The direct-form FIR block kernel of the level builds, written once: output k is the sum over
// j of h(L - 1 - j) x window(k + j), each tap read as a ready 16-byte vector of its four copies
// (the state's tap quads). Below, o_j is the product h(L - 1 - j) window(k + j), oldest sample
// first, and taps go in groups of four from the top.
//
// The order of the additions is fixed and decides the rounding; it does not depend on where the
// window lies. A destination on a 4-byte boundary is first brought to 16 bytes by outputs summed
// one product at a time from 0; from five taps on, the rest then runs one pass per group over the
// block, each pass adding its group to the partial sums the destination holds. A destination off
// a 4-byte boundary is never read: its outputs are summed in registers, four at a time, and the
// last count mod 4 one product at a time. Level 1 adds a group's own sum, ((o0 + o1) + (o2 +
// o3)), to what the output holds; levels 2 and 3 fold the partial sum in among the products, in
// an order that depends on whether the output lies in a run of eight or in the last four or
// single outputs of the pass. Results differ from the generic build's in the last bits.
#pragma once

#include <emmintrin.h>
#include <stdint.h>

template <class P> struct SpFirKernels
{
    static constexpr bool kPairThenJoin = P::kLevel == 1;

    struct Vec
    {
        __m128 v;
        friend Vec operator+(Vec a, Vec b) { return {_mm_add_ps(a.v, b.v)}; }
        friend Vec operator*(Vec a, Vec b) { return {_mm_mul_ps(a.v, b.v)}; }
    };

    // Where one pass reads: window views of four outputs, or one output, and the destination.
    struct Window
    {
        const float* x;
        const float* quads;
        int32_t taps;
        int64_t limit;  // window samples
        const float* a; // x rounded down to 16 bytes
        int32_t skew;   // x - a in floats, or -1 for a window off a 4-byte boundary
        bool storeAligned;

        // x[off .. off + 3] from the aligned blocks around it where both lie in the window.
        Vec Four(int64_t off) const
        {
            if (skew < 0)
            {
                return {_mm_loadu_ps(x + off)};
            }
            const int64_t at = off + skew, q = at & ~int64_t(3);
            const int r = int(at & 3);
            if (r == 0)
            {
                return {_mm_load_ps(a + q)};
            }
            if (q < skew || q + 8 - skew > limit)
            {
                return {_mm_loadu_ps(x + off)};
            }
            const __m128 lo = _mm_load_ps(a + q), hi = _mm_load_ps(a + q + 4);
            if (r == 2)
            {
                return {_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(1, 0, 3, 2))};
            }
            const __m128 mid = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(0, 0, 3, 3));
            return {r == 1 ? _mm_shuffle_ps(lo, mid, _MM_SHUFFLE(2, 0, 2, 1))
                           : _mm_shuffle_ps(mid, hi, _MM_SHUFFLE(2, 1, 2, 0))};
        }
        Vec TapFour(int64_t k) const { return {_mm_load_ps(quads + 4 * k)}; }

        // o_j of the outputs at i, as four lanes or one float.
        Vec O(Vec*, int64_t i, int64_t j) const { return TapFour(taps - 1 - j) * Four(i + j); }
        float O(float*, int64_t i, int64_t j) const { return quads[4 * (taps - 1 - j)] * One(x + i + j); }
    };

    static Vec ZeroOf(Vec*) { return {_mm_setzero_ps()}; }
    static float ZeroOf(float*) { return 0.0f; }

    // Tap counts 1 to 4: the whole output in one go.
    // Single floats byte-wise, so a window or destination off a 4-byte boundary is read and
    // written without a misaligned float access.
    static float One(const float* p)
    {
        float v;
        __builtin_memcpy(&v, p, sizeof(v));
        return v;
    }
    static void Put(float* p, float v) { __builtin_memcpy(p, &v, sizeof(v)); }

    template <class T> static T Small(const Window& w, int64_t i)
    {
        auto o = [&](int64_t j) { return w.O(static_cast<T*>(nullptr), i, j); };
        switch (w.taps)
        {
        case 1:
            return o(0);
        case 2:
            return o(0) + o(1);
        case 3:
            return (o(0) + o(1)) + o(2);
        default:
            return (o(0) + o(1)) + (o(2) + o(3));
        }
    }

    // Group g (products 4g .. 4g + 3), folded into d as the level does it; inRun: the output lies
    // in a run of eight of its pass.
    template <class T> static T Group(const Window& w, int64_t i, int64_t g, T d, bool first, bool inRun)
    {
        auto o = [&](int64_t m) { return w.O(static_cast<T*>(nullptr), i, 4 * g + m); };
        if (first)
        {
            return (o(0) + o(1)) + (o(2) + o(3));
        }
        if (kPairThenJoin)
        {
            return d + ((o(0) + o(1)) + (o(2) + o(3)));
        }
        if (inRun)
        {
            return ((d + o(0)) + o(1)) + (o(2) + o(3));
        }
        return (o(0) + o(1)) + ((d + o(3)) + o(2));
    }

    // The r = L mod 4 lowest taps, on the r newest samples; inRegisters: the register form, whose
    // two lowest taps at levels 2 and 3 join as a pair.
    template <class T> static T Last(const Window& w, int64_t i, T d, bool inRegisters = false)
    {
        const int64_t j0 = w.taps & ~3;
        auto o = [&](int64_t m) { return w.O(static_cast<T*>(nullptr), i, j0 + m); };
        switch (w.taps & 3)
        {
        case 1:
            return d + o(0);
        case 2:
            return kPairThenJoin || inRegisters ? d + (o(0) + o(1)) : (d + o(0)) + o(1);
        case 3:
            return kPairThenJoin ? d + ((o(0) + o(1)) + o(2)) : (d + o(2)) + (o(0) + o(1));
        default:
            return d;
        }
    }

    // One output, one product at a time from 0, oldest sample first.
    static float Running(const Window& w, int64_t i)
    {
        float acc = 0.0f;
        for (int64_t j = 0; j < w.taps; ++j)
        {
            acc += w.O(static_cast<float*>(nullptr), i, j);
        }
        return acc;
    }

    // Every output in registers: groups from the top, then the lowest taps.
    template <class T> static T Whole(const Window& w, int64_t i)
    {
        T s = ZeroOf(static_cast<T*>(nullptr));
        for (int64_t g = 0; g < w.taps / 4; ++g)
        {
            const T group = Group<T>(w, i, g, s, true, false);
            s = s + group;
        }
        return Last<T>(w, i, s, true);
    }

    static void Store(const Window& w, float* y, Vec v)
    {
        if (w.storeAligned)
        {
            _mm_store_ps(y, v.v);
        }
        else
        {
            _mm_storeu_ps(y, v.v);
        }
    }

    // Runs of `run` outputs, then one run of each smaller size down to four, then single ones:
    // fn(i, lanes, inRun) does four lanes or one output.
    template <class Fn> static void Blocks(int64_t count, int64_t run, Fn fn)
    {
        int64_t i = 0;
        const int64_t runs = count / run * run;
        for (; i < runs; i += 4)
        {
            fn(i, 4, true);
        }
        for (int64_t size = run / 2; size >= 4; size /= 2)
        {
            if (count - i >= size)
            {
                for (int64_t e = i + size; i < e; i += 4)
                {
                    fn(i, 4, false);
                }
            }
        }
        for (; i < count; ++i)
        {
            fn(i, 1, false);
        }
    }

    static void SmallTaps(const Window& w, float* y, int64_t count)
    {
        const int64_t run = w.taps <= 2 ? 16 : 8;
        Blocks(count, run,
               [&](int64_t i, int lanes, bool)
               {
                   if (lanes == 4)
                   {
                       Store(w, y + i, Small<Vec>(w, i));
                   }
                   else
                   {
                       Put(y + i, Small<float>(w, i));
                   }
               });
    }

    // One pass per group over an aligned destination, which holds the partial sums in between.
    static void Passes(const Window& w, float* y, int64_t count)
    {
        const int64_t groups = w.taps / 4;
        for (int64_t g = 0; g < groups; ++g)
        {
            Blocks(count, 8,
                   [&](int64_t i, int lanes, bool inRun)
                   {
                       if (lanes == 4)
                       {
                           const Vec d = {_mm_load_ps(y + i)};
                           _mm_store_ps(y + i, Group<Vec>(w, i, g, d, g == 0, inRun).v);
                       }
                       else
                       {
                           y[i] = Group<float>(w, i, g, y[i], g == 0, inRun);
                       }
                   });
        }
        if ((w.taps & 3) != 0)
        {
            Blocks(count, (w.taps & 3) == 3 ? 8 : 16,
                   [&](int64_t i, int lanes, bool)
                   {
                       if (lanes == 4)
                       {
                           _mm_store_ps(y + i, Last<Vec>(w, i, {_mm_load_ps(y + i)}).v);
                       }
                       else
                       {
                           y[i] = Last<float>(w, i, y[i]);
                       }
                   });
        }
    }

    static void Registers(const Window& w, float* y, int64_t count)
    {
        int64_t i = 0;
        for (; i + 4 <= count; i += 4)
        {
            _mm_storeu_ps(y + i, Whole<Vec>(w, i).v);
        }
        for (; i < count; ++i)
        {
            Put(y + i, Running(w, i));
        }
    }

    static void DirectBlock(const float* quads, const float* x, float* y, int64_t count, int32_t taps)
    {
        const bool dstOn4 = (reinterpret_cast<uintptr_t>(y) & 3) == 0;
        int64_t k = 0;
        Window w = {x, quads, taps, count + taps - 1, nullptr, -1, dstOn4};
        if (dstOn4)
        {
            for (; k < count && (reinterpret_cast<uintptr_t>(y + k) & 15) != 0; ++k)
            {
                y[k] = Running(w, k);
            }
        }
        if (k == count)
        {
            return;
        }
        w.x = x + k;
        w.limit = count - k + taps - 1;
        const uintptr_t address = reinterpret_cast<uintptr_t>(w.x);
        if ((address & 3) == 0)
        {
            w.a = reinterpret_cast<const float*>(address & ~uintptr_t(15));
            w.skew = int32_t((address & 15) / 4);
        }
        if (taps <= 4)
        {
            SmallTaps(w, y + k, count - k);
        }
        else if (dstOn4)
        {
            Passes(w, y + k, count - k);
        }
        else
        {
            Registers(w, y + k, count - k);
        }
    }
};
