// The FIR block kernels of the level builds, written once: the direct form and the three
// multi-rate layouts. Direct form: output k is the sum over j of h(L - 1 - j) x window(k + j),
// each tap read as a ready 16-byte vector of its four copies (the state's tap quads). Below, o_j
// is the product h(L - 1 - j) window(k + j), oldest sample first, and taps go in groups of four
// from the top.
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

    // ---- Multi-rate layouts: runs of taps against windows of the input ----
    //
    // Layout 1 gives each group of four outputs one window and four-lane taps; layout 2 one run
    // of taps for windows a stride apart (below four taps one run per output of a group); layout
    // 3 each output of a period its own window start and run. The kernels write whole groups of
    // four, count positions from the input base and return where the next call continues.

    // Four lanes of layout 1: lane l sums x[u] times taps[4u + l]. Each run of four rows is paired
    // before it joins the lanes, a run of eight as two such joins; then one, two or three rows.
    static __m128 GroupLanes(const float* taps, const float* x, int32_t t)
    {
        auto p = [&](int32_t u) { return _mm_mul_ps(_mm_set1_ps(x[u]), _mm_load_ps(taps + 4 * u)); };
        auto four = [&](int32_t u)
        { return _mm_add_ps(_mm_add_ps(p(u), p(u + 1)), _mm_add_ps(p(u + 2), p(u + 3))); };
        __m128 acc = _mm_setzero_ps();
        int32_t u = 0;
        for (; u + 8 <= t; u += 8)
            acc = _mm_add_ps(_mm_add_ps(acc, four(u)), four(u + 4));
        if (u + 4 <= t)
        {
            acc = _mm_add_ps(acc, four(u));
            u += 4;
        }
        switch (t - u)
        {
        case 1:
            return _mm_add_ps(acc, p(u));
        case 2:
            return _mm_add_ps(acc, _mm_add_ps(p(u), p(u + 1)));
        case 3:
            return _mm_add_ps(_mm_add_ps(acc, p(u)), _mm_add_ps(p(u + 1), p(u + 2)));
        default:
            return acc;
        }
    }

    // Products of the first two or one elements, the other lanes zero.
    static __m128 Low2(const float* a, const float* b)
    {
        const __m128 va = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)));
        const __m128 vb = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)));
        return _mm_mul_ps(va, vb);
    }
    static __m128 Low1(const float* a, const float* b)
    {
        float va, vb;
        __builtin_memcpy(&va, a, sizeof(va));
        __builtin_memcpy(&vb, b, sizeof(vb));
        return _mm_mul_ps(_mm_set_ss(va), _mm_set_ss(vb));
    }

    // One output of t >= 4 taps in four lanes: the first four products start the lanes, every further
    // run of four joins them lane by lane, then a pair in lanes 0 and 1 and a single one in lane 0;
    // the lanes end as (lane 0 + lane 2) + (lane 1 + lane 3).
    static float LaneSum(const float* taps, const float* x, int32_t t)
    {
        __m128 acc = _mm_mul_ps(_mm_loadu_ps(x), _mm_loadu_ps(taps));
        int32_t u = 4;
        for (; u + 4 <= t; u += 4)
            acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(x + u), _mm_loadu_ps(taps + u)));
        if (u + 2 <= t)
        {
            acc = _mm_add_ps(acc, Low2(x + u, taps + u));
            u += 2;
        }
        if (u < t)
            acc = _mm_add_ps(acc, Low1(x + u, taps + u));
        const __m128 h = _mm_add_ps(acc, _mm_movehl_ps(acc, acc));
        return _mm_cvtss_f32(_mm_add_ss(h, _mm_shuffle_ps(h, h, 1)));
    }

    // One output of t >= 4 taps in two two-lane sums read as 8-byte halves: A takes products 0 and
    // 1 of each run of four, B products 2 and 3; a pair left over joins A, a single one A's lane 0;
    // the output is (A0 + B0) + (A1 + B1).
    static float PairSum(const float* taps, const float* x, int32_t t)
    {
        __m128 a = Low2(x, taps), b = Low2(x + 2, taps + 2);
        int32_t u = 4;
        for (; u + 4 <= t; u += 4)
        {
            a = _mm_add_ps(a, Low2(x + u, taps + u));
            b = _mm_add_ps(b, Low2(x + u + 2, taps + u + 2));
        }
        if (u + 2 <= t)
        {
            a = _mm_add_ps(a, Low2(x + u, taps + u));
            u += 2;
        }
        if (u < t)
            a = _mm_add_ps(a, Low1(x + u, taps + u));
        const __m128 s = _mm_add_ps(a, b);
        return _mm_cvtss_f32(_mm_add_ss(s, _mm_shuffle_ps(s, s, 1)));
    }

    // Fewer than four taps: the products left to right.
    static float ShortSum(const float* taps, const float* x, int32_t t)
    {
        float sum = x[0] * taps[0];
        for (int32_t u = 1; u < t; ++u)
            sum += x[u] * taps[u];
        return sum;
    }

    static int32_t MultiRate1(const float* taps, const float* input, float* dst, int32_t count,
                              const int32_t* index, const int32_t* indexEnd, int32_t start, int32_t t)
    {
        int64_t pos = start;
        const int32_t* i = index;
        const float* tap = taps;
        for (int32_t g = 0; g + 4 <= count; g += 4)
        {
            pos += *i++;
            _mm_storeu_ps(dst + g, GroupLanes(tap, input + pos, t));
            tap += 4 * int64_t(t);
            if (i == indexEnd)
            {
                pos += *indexEnd;
                i = index;
                tap = taps;
            }
        }
        return int32_t(pos);
    }

    static int32_t MultiRate2(const float* taps, const float* input, float* dst, int32_t count, int32_t start,
                              int32_t t, int32_t s)
    {
        int64_t pos = start;
        for (int32_t g = 0; g + 4 <= count; g += 4)
        {
            for (int32_t j = 0; j < 4; ++j)
            {
                const float* x = input + pos + int64_t(j) * s;
                // From four taps on every output shares the one run; below, each has its own.
                dst[g + j] = t >= 4 ? LaneSum(taps, x, t) : ShortSum(taps + int64_t(j) * t, x, t);
            }
            pos += 4 * int64_t(s);
        }
        return int32_t(pos);
    }

    static int32_t MultiRate3(const float* taps, const float* input, float* dst, int32_t count,
                              const int32_t* index, const int32_t* indexEnd, int32_t start, int32_t t)
    {
        const int32_t wrap = *indexEnd;
        int64_t base = start;
        const int32_t* i = index;
        const float* tap = taps;
        // Below four taps a group of four outputs advances together; from four on, one at a time.
        const int32_t step = t < 4 ? 4 : 1;
        for (int32_t o = 0; o + step <= count; o += step)
        {
            for (int32_t j = 0; j < step; ++j)
                dst[o + j] = t >= 4 ? PairSum(tap, input + base + i[j], t)
                                    : ShortSum(tap + int64_t(j) * t, input + base + i[j], t);
            i += step;
            tap += int64_t(step) * t;
            if (i >= indexEnd)
            {
                base += wrap;
                i = index;
                tap = taps;
            }
        }
        return int32_t(base);
    }
};
