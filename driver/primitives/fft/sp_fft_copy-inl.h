// The byte copy of one level (included by sp_fft_levels_build-inl.h inside its namespace). Both
// builds copy the same bytes; they differ in how. Level 1 finishes short pieces backward in
// 8-byte words and reads a misaligned source with lddqu. Levels 2 and 3 finish them forward by the
// bits of the count, join a source at 4, 8 or 12 mod 16 from aligned reads with palignr, and when
// both sides are aligned pick the direction from the page offsets, so that a store never lands
// on the 4 KiB alias of a load still to come. Copies of half the last-level cache or more go to
// an aligned destination with streaming stores.

// Below 64 bytes, level 1: bytes from the last down below 8; else the last word, the 8-byte
// aligned words of the destination from the top down, then the first word (they overlap).
inline void SmallCopyBackward(const uint8_t* s, uint8_t* d, int64_t n)
{
    if (n < 8)
    {
        for (int64_t i = n - 1; i >= 0; --i)
        {
            d[i] = s[i];
        }
        return;
    }
    uint64_t word;
    memcpy(&word, s + n - 8, 8);
    memcpy(d + n - 8, &word, 8);
    int64_t at = (n - 8) - int64_t((reinterpret_cast<uintptr_t>(d) + uintptr_t(n - 8)) & 7);
    for (; at > 0; at -= 8)
    {
        memcpy(&word, s + at, 8);
        memcpy(d + at, &word, 8);
    }
    memcpy(&word, s, 8);
    memcpy(d, &word, 8);
}

// Below 64 bytes, levels 2 and 3: 32, 16 and 8 bytes in 8-byte words and 4 bytes as the bits of
// the count ask, then the last 1 to 3 bytes from the end down.
inline void SmallCopyForward(const uint8_t* s, uint8_t* d, int64_t n)
{
    int64_t at = 0;
    for (int64_t piece = 32; piece >= 8; piece /= 2)
    {
        if (n & piece)
        {
            for (int64_t w = 0; w < piece; w += 8)
            {
                uint64_t word;
                memcpy(&word, s + at + w, 8);
                memcpy(d + at + w, &word, 8);
            }
            at += piece;
        }
    }
    if (n & 4)
    {
        uint32_t word;
        memcpy(&word, s + at, 4);
        memcpy(d + at, &word, 4);
        at += 4;
    }
    for (int64_t i = n - 1; i >= at; --i)
    {
        d[i] = s[i];
    }
}

inline void SmallCopy(const uint8_t* s, uint8_t* d, int64_t n)
{
    if (kLevel == SpFftLevel1)
    {
        SmallCopyBackward(s, d, n);
    }
    else
    {
        SmallCopyForward(s, d, n);
    }
}

inline void Move64(const uint8_t* s, uint8_t* d, bool sourceAligned)
{
    __m128i v[4];
    for (int i = 0; i < 4; ++i)
    {
        v[i] = sourceAligned           ? _mm_load_si128(reinterpret_cast<const __m128i*>(s + 16 * i))
               : kLevel == SpFftLevel1 ? _mm_lddqu_si128(reinterpret_cast<const __m128i*>(s + 16 * i))
                                       : _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16 * i));
    }
    for (int i = 0; i < 4; ++i)
    {
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 16 * i), v[i]);
    }
}

// The streaming copy to an aligned destination: each 256 KiB of the source is touched first, one
// read a line (level 1 every 128 bytes), then copied; the rest is touched from its end down. The
// fence makes the streamed bytes visible before the copy returns.
inline void StreamCopy(const uint8_t* s, uint8_t* d, int64_t n)
{
    const int64_t step = kLevel == SpFftLevel1 ? 128 : 64;
    const int64_t chunk = 262144;
    volatile uint8_t sink = 0;
    int64_t i = 0;
    for (; n - i >= chunk; i += chunk)
    {
        for (int64_t t = 0; t < chunk; t += step)
        {
            sink = s[i + t];
        }
        for (int64_t e = 0; e < chunk; e += 16)
        {
            _mm_stream_si128(reinterpret_cast<__m128i*>(d + i + e),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + e)));
        }
    }
    for (int64_t t = n - i - 1; t >= 0; t -= step)
    {
        sink = s[i + t];
    }
    (void)sink;
    for (; n - i >= 16; i += 16)
    {
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
    }
    _mm_sfence();
    SmallCopy(s + i, d + i, n - i);
}

// True when the cache the processor describes makes n bytes worth streaming.
inline bool StreamWorthIt(int64_t n)
{
    const int64_t cache = SpCopyCacheBytes(kLevel);
    return cache > 0 && n >= cache / 2;
}

// Level 1, destination aligned: 64-byte rounds, up to three 16-byte moves, the small copy.
inline void CopyLoopsL1(const uint8_t* s, uint8_t* d, int64_t n)
{
    const bool aligned = Aligned16(s);
    int64_t i = 0;
    for (; n - i >= 64; i += 64)
    {
        Move64(s + i, d + i, aligned);
    }
    if (aligned)
    {
        for (; n - i >= 16; i += 16)
        {
            _mm_store_si128(reinterpret_cast<__m128i*>(d + i),
                            _mm_load_si128(reinterpret_cast<const __m128i*>(s + i)));
        }
    }
    SmallCopy(s + i, d + i, n - i);
}

// Both sides aligned (levels 2 and 3): forward when the source's page offset lies just above the
// destination's, backward otherwise, so the loads run ahead of the stores' 4 KiB aliases.
inline void DirectedCopy(const uint8_t* s, uint8_t* d, int64_t n)
{
    const int64_t offset =
        int64_t(reinterpret_cast<uintptr_t>(s) & 4095) - int64_t(reinterpret_cast<uintptr_t>(d) & 4095);
    const bool forward = (offset >= 1 && offset <= 160) || offset < -3936;
    if (SpCopyDirectionTrace != nullptr)
    {
        SpCopyDirectionTrace(kLevel, forward);
    }
    if (forward)
    {
        int64_t i = 0;
        for (; n - i >= 64; i += 64)
        {
            Move64(s + i, d + i, true);
        }
        SmallCopyForward(s + i, d + i, n - i);
        return;
    }
    int64_t end = n;
    for (int64_t piece = 1; piece <= 32; piece *= 2)
    {
        if (n & piece)
        {
            end -= piece;
            memcpy(d + end, s + end, size_t(piece));
        }
    }
    while (end > 0)
    {
        end -= 64;
        Move64(s + end, d + end, true);
    }
}

#if SP_FFT_LEVEL >= 2
// A source at 4, 8 or 12 mod 16 and an aligned destination: aligned reads joined by palignr, one
// block read ahead; rounds run only while that read stays inside the source.
template <int Shift> inline int64_t JoinedCopy(const uint8_t* s, uint8_t* d, int64_t n)
{
    const __m128i* base = reinterpret_cast<const __m128i*>(s - Shift);
    int64_t i = 0;
    __m128i prev = _mm_load_si128(base);
    for (; n - i >= 80; i += 64, base += 4)
    {
        __m128i next[4];
        for (int k = 0; k < 4; ++k)
        {
            next[k] = _mm_load_si128(base + 1 + k);
        }
        _mm_store_si128(reinterpret_cast<__m128i*>(d + i), _mm_alignr_epi8(next[0], prev, Shift));
        _mm_store_si128(reinterpret_cast<__m128i*>(d + i + 16), _mm_alignr_epi8(next[1], next[0], Shift));
        _mm_store_si128(reinterpret_cast<__m128i*>(d + i + 32), _mm_alignr_epi8(next[2], next[1], Shift));
        _mm_store_si128(reinterpret_cast<__m128i*>(d + i + 48), _mm_alignr_epi8(next[3], next[2], Shift));
        prev = next[3];
    }
    return i;
}
#endif

// Levels 2 and 3, destination aligned, source not: joined reads for a 4-byte multiple, else
// unaligned loads; 64-byte rounds, then the small copy.
inline void MisalignedCopyL2(const uint8_t* s, uint8_t* d, int64_t n)
{
    int64_t i = 0;
#if SP_FFT_LEVEL >= 2
    const int shift = int(reinterpret_cast<uintptr_t>(s) & 15);
    if (n >= 80 + 16 && (shift & 3) == 0)
    {
        _mm_store_si128(reinterpret_cast<__m128i*>(d), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
        i = 16;
        i += shift == 4   ? JoinedCopy<4>(s + i, d + i, n - i)
             : shift == 8 ? JoinedCopy<8>(s + i, d + i, n - i)
                          : JoinedCopy<12>(s + i, d + i, n - i);
    }
#endif
    for (; n - i >= 64; i += 64)
    {
        Move64(s + i, d + i, false);
    }
    SmallCopyForward(s + i, d + i, n - i);
}

void CopyBytes(const uint8_t* s, uint8_t* d, int64_t n)
{
    if (n < 64)
    {
        SmallCopy(s, d, n);
        return;
    }
    const int64_t streamFrom = kLevel == SpFftLevel1 ? 524288 : 1048576;
    bool tested = false;
    if (!Aligned16(d))
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
        const int64_t step = 16 - int64_t(reinterpret_cast<uintptr_t>(d) & 15);
        s += step;
        d += step;
        n -= step;
        if (n < 64)
        {
            SmallCopy(s, d, n);
            return;
        }
        tested = Aligned16(s); // a source aligned by the same step never streams
    }
    if (!tested && n >= streamFrom && StreamWorthIt(n))
    {
        StreamCopy(s, d, n);
        return;
    }
    if (kLevel == SpFftLevel1)
    {
        CopyLoopsL1(s, d, n);
    }
    else if (Aligned16(s))
    {
        DirectedCopy(s, d, n);
    }
    else
    {
        MisalignedCopyL2(s, d, n);
    }
}
