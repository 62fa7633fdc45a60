// make_tone: writes a short sine tone as a WAV file, the sound `make run` plays through the
// driver.
//
//   make_tone OUT.wav [seconds=2] [rate=48000] [channels=2] [bits=16]
//
// Each channel gets its own frequency (440 Hz, then a fifth above each), at half scale.
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

bool Parse(const char* Text, double Min, double Max, double* Value)
{
    char* end = nullptr;
    *Value = std::strtod(Text, &end);
    return *Text && *end == '\0' && *Value >= Min && *Value <= Max;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 2, rate = 48000, channels = 2, bits = 16;
    double* values[] = {&seconds, &rate, &channels, &bits};
    const double limits[][2] = {{0.001, 600}, {8000, 384000}, {1, 8}, {16, 24}};
    bool ok = argc >= 2 && argc <= 6;
    for (int i = 2; ok && i < argc; ++i)
        ok = Parse(argv[i], limits[i - 2][0], limits[i - 2][1], values[i - 2]);
    if (!ok || (bits != 16 && bits != 24))
    {
        std::fprintf(
            stderr,
            "usage: make_tone OUT.wav [seconds (<= 600)] [rate] [channels (1..8)] [bits (16 or 24)]\n");
        return 2;
    }
    SF_INFO info = {};
    info.samplerate = int(rate);
    info.channels = int(channels);
    info.format = SF_FORMAT_WAV | (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    SNDFILE* file = sf_open(argv[1], SFM_WRITE, &info);
    if (!file)
    {
        std::fprintf(stderr, "make_tone: cannot write '%s': %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }
    const long frames = std::lround(seconds * rate);
    std::vector<int> samples(size_t(frames) * info.channels);
    for (long n = 0; n < frames; ++n)
        for (int c = 0; c < info.channels; ++c)
        {
            const double hz = 440.0 * std::pow(1.5, c);
            // Top-justified 32-bit words: libsndfile keeps the top 16 or 24 bits.
            samples[size_t(n) * info.channels + c] =
                int(std::lround(0.5 * std::sin(2 * M_PI * hz * double(n) / rate) * 2147483647.0)) & ~0xFF;
        }
    const bool written = sf_writef_int(file, samples.data(), frames) == frames;
    if (sf_close(file) != 0 || !written)
    {
        std::fprintf(stderr, "make_tone: writing '%s' failed\n", argv[1]);
        return 1;
    }
    return 0;
}
