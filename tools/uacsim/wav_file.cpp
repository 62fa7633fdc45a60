// WAV files through libsndfile. Integer samples travel as 32-bit words with the sample in the
// top bits, which libsndfile reads and writes without rounding for every integer width, so a
// file and its bytes on the wave pin stay bit for bit the same.
#include "tools/uacsim/wav_file.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace uacsim
{
namespace
{

constexpr sf_count_t kChunkFrames = 4096;

struct FileCloser
{
    void operator()(SNDFILE* File) const { sf_close(File); }
};
using FileHandle = std::unique_ptr<SNDFILE, FileCloser>;

// The container and valid width of a libsndfile sample format; false for one without a wave-pin
// layout.
bool LayoutOf(int Subtype, WavAudio* Audio)
{
    switch (Subtype)
    {
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_S8:
        Audio->ContainerBytes = 1;
        Audio->ValidBits = 8;
        return true;
    case SF_FORMAT_PCM_16:
        Audio->ContainerBytes = 2;
        Audio->ValidBits = 16;
        return true;
    case SF_FORMAT_PCM_24:
        Audio->ContainerBytes = 3;
        Audio->ValidBits = 24;
        return true;
    case SF_FORMAT_PCM_32:
        Audio->ContainerBytes = 4;
        Audio->ValidBits = 32;
        return true;
    case SF_FORMAT_FLOAT:
        Audio->ContainerBytes = 4;
        Audio->ValidBits = 32;
        Audio->Float = true;
        return true;
    default:
        return false;
    }
}

// One sample between a top-justified 32-bit word and its container (8-bit is unsigned).
void WordToContainer(int32_t Word, uint32_t ContainerBytes, uint8_t* Out)
{
    if (ContainerBytes == 1)
    {
        Out[0] = uint8_t((uint32_t(Word) >> 24) ^ 0x80);
        return;
    }
    for (uint32_t b = 0; b < ContainerBytes; ++b)
        Out[b] = uint8_t(uint32_t(Word) >> (32 - 8 * (ContainerBytes - b)));
}

int32_t ContainerToWord(const uint8_t* In, uint32_t ContainerBytes)
{
    if (ContainerBytes == 1)
        return int32_t(uint32_t(In[0] ^ 0x80) << 24);
    uint32_t word = 0;
    for (uint32_t b = 0; b < ContainerBytes; ++b)
        word |= uint32_t(In[b]) << (32 - 8 * (ContainerBytes - b));
    return int32_t(word);
}

int SubtypeFor(const WavAudio& Audio)
{
    if (Audio.Float)
        return SF_FORMAT_FLOAT;
    switch (Audio.ValidBits)
    {
    case 8:
        return SF_FORMAT_PCM_U8;
    case 16:
        return SF_FORMAT_PCM_16;
    case 24:
        return SF_FORMAT_PCM_24;
    case 32:
        return SF_FORMAT_PCM_32;
    default:
        return 0;
    }
}

} // namespace

std::string WavAudio::Describe() const
{
    return std::to_string(RateHz) + " Hz, " + std::to_string(Channels) + " ch, " + std::to_string(ValidBits) +
           (Float ? "-bit float" : "-bit PCM") +
           (!Float && ContainerBytes * 8 != ValidBits ? " in " + std::to_string(ContainerBytes * 8) + "-bit"
                                                      : "");
}

bool ReadWav(const std::string& Path, WavAudio* Audio, std::string* Error)
{
    SF_INFO info = {};
    FileHandle file(sf_open(Path.c_str(), SFM_READ, &info));
    if (!file)
    {
        *Error = "cannot read '" + Path + "': " + sf_strerror(nullptr);
        return false;
    }
    *Audio = WavAudio();
    if (!LayoutOf(info.format & SF_FORMAT_SUBMASK, Audio))
    {
        char format[16];
        std::snprintf(format, sizeof(format), "0x%06X", unsigned(info.format));
        *Error = "'" + Path + "' holds samples in a format no wave pin carries (libsndfile format " + format +
                 "); use 8-, 16-, 24- or 32-bit PCM or 32-bit float";
        return false;
    }
    Audio->Channels = uint32_t(info.channels);
    Audio->RateHz = uint32_t(info.samplerate);
    if (info.frames <= 0)
    {
        *Error = "'" + Path + "' holds no audio";
        return false;
    }
    const uint32_t block = Audio->BlockBytes();
    Audio->Bytes.reserve(size_t(info.frames) * block);
    std::vector<int32_t> words(size_t(kChunkFrames) * info.channels);
    for (;;)
    {
        sf_count_t got = 0;
        if (Audio->Float)
            got = sf_readf_float(file.get(), reinterpret_cast<float*>(words.data()), kChunkFrames);
        else
            got = sf_readf_int(file.get(), words.data(), kChunkFrames);
        if (got <= 0)
            break;
        const size_t at = Audio->Bytes.size();
        Audio->Bytes.resize(at + size_t(got) * block);
        uint8_t* out = Audio->Bytes.data() + at;
        for (size_t i = 0; i < size_t(got) * info.channels; ++i, out += Audio->ContainerBytes)
        {
            if (Audio->Float)
                std::memcpy(out, &words[i], 4);
            else
                WordToContainer(words[i], Audio->ContainerBytes, out);
        }
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR)
    {
        *Error = "reading '" + Path + "' failed: " + sf_strerror(file.get());
        return false;
    }
    return true;
}

bool WriteWav(const std::string& Path, const WavAudio& Audio, std::string* Error)
{
    SF_INFO info = {};
    info.channels = int(Audio.Channels);
    info.samplerate = int(Audio.RateHz);
    info.format = SF_FORMAT_WAV | SubtypeFor(Audio);
    if (!sf_format_check(&info) || Audio.ContainerBytes == 0 || Audio.ContainerBytes > 4)
    {
        *Error = "no WAV file can hold " + Audio.Describe();
        return false;
    }
    FileHandle file(sf_open(Path.c_str(), SFM_WRITE, &info));
    if (!file)
    {
        *Error = "cannot write '" + Path + "': " + sf_strerror(nullptr);
        return false;
    }
    const uint32_t block = Audio.BlockBytes();
    std::vector<int32_t> words(size_t(kChunkFrames) * Audio.Channels);
    for (uint64_t frame = 0; frame < Audio.Frames();)
    {
        const sf_count_t count = sf_count_t(std::min<uint64_t>(kChunkFrames, Audio.Frames() - frame));
        const uint8_t* in = Audio.Bytes.data() + frame * block;
        for (size_t i = 0; i < size_t(count) * Audio.Channels; ++i, in += Audio.ContainerBytes)
        {
            if (Audio.Float)
                std::memcpy(&words[i], in, 4);
            else
                words[i] = ContainerToWord(in, Audio.ContainerBytes);
        }
        const sf_count_t put =
            Audio.Float ? sf_writef_float(file.get(), reinterpret_cast<float*>(words.data()), count)
                        : sf_writef_int(file.get(), words.data(), count);
        if (put != count)
        {
            *Error = "writing '" + Path + "' failed: " + sf_strerror(file.get());
            return false;
        }
        frame += uint64_t(count);
    }
    if (sf_close(file.release()) != 0)
    {
        *Error = "closing '" + Path + "' failed";
        return false;
    }
    return true;
}

} // namespace uacsim
