// make_tone: writes a sine tone as a WAV file, the sound `make run` plays through the driver.
//
//   make_tone OUT.wav [SECONDS=2] [RATE=48000] [CHANNELS=2] [BITS=16]
//
// Each channel gets its own frequency (440 Hz, then a fifth above each), at half scale.
#include <CLI/CLI.hpp>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::string out;
    double seconds = 2;
    int rate = 48000, channels = 2, bits = 16;
    CLI::App app("Writes a sine tone as a WAV file: 440 Hz on the first channel and a fifth above the one "
                 "before on each further channel, at half scale. `make run` plays one through the driver.",
                 "make_tone");
    app.add_option("OUT", out, "the WAV file to write")->required()->type_name("");
    app.add_option("SECONDS", seconds, "how long (default 2, at most 600)")
        ->check(CLI::Range(0.001, 600.0))
        ->type_name("");
    app.add_option("RATE", rate, "samples per second (default 48000)")
        ->check(CLI::Range(8000, 384000))
        ->type_name("");
    app.add_option("CHANNELS", channels, "1 to 8 (default 2)")->check(CLI::Range(1, 8))->type_name("");
    app.add_option("BITS", bits, "16 or 24 (default 16)")->check(CLI::IsMember({16, 24}))->type_name("");
    app.footer("Exit codes: 0 written; 2 a wrong argument; 1 the file could not be written.");
    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::CallForHelp&)
    {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    }
    catch (const CLI::ParseError& error)
    {
        std::fprintf(stderr, "make_tone: %s\nRun 'make_tone --help' for its arguments.\n", error.what());
        return 2;
    }
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    SNDFILE* file = sf_open(out.c_str(), SFM_WRITE, &info);
    if (!file)
    {
        std::fprintf(stderr, "make_tone: cannot write '%s': %s\n", out.c_str(), sf_strerror(nullptr));
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
        std::fprintf(stderr, "make_tone: writing '%s' failed\n", out.c_str());
        return 1;
    }
    return 0;
}
