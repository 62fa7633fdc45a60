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

WavStream::~WavStream()
{
    if (m_File)
        sf_close(m_File);
}

bool WavReader::Open(const std::string& Path, std::string* Error)
{
    SF_INFO info = {};
    m_Path = Path;
    m_File = sf_open(Path.c_str(), SFM_READ, &info);
    if (!m_File)
    {
        *Error = "cannot read '" + Path + "': " + sf_strerror(nullptr);
        return false;
    }
    m_Layout = WavAudio();
    if (!LayoutOf(info.format & SF_FORMAT_SUBMASK, &m_Layout))
    {
        char format[16];
        std::snprintf(format, sizeof(format), "0x%06X", unsigned(info.format));
        *Error = "'" + Path + "' holds samples in a format no wave pin carries (libsndfile format " + format +
                 "); use 8-, 16-, 24- or 32-bit PCM or 32-bit float";
        return false;
    }
    m_Layout.Channels = uint32_t(info.channels);
    m_Layout.RateHz = uint32_t(info.samplerate);
    if (info.frames <= 0)
    {
        *Error = "'" + Path + "' holds no audio";
        return false;
    }
    m_Frames = uint64_t(info.frames);
    return true;
}

uint64_t WavReader::Read(uint64_t Frames, std::vector<uint8_t>* Out)
{
    const uint32_t block = m_Layout.BlockBytes();
    uint64_t done = 0;
    while (m_File && done < Frames)
    {
        const sf_count_t want = sf_count_t(std::min<uint64_t>(kChunkFrames, Frames - done));
        m_Words.resize(size_t(kChunkFrames) * m_Layout.Channels);
        const sf_count_t got = m_Layout.Float
                                   ? sf_readf_float(m_File, reinterpret_cast<float*>(m_Words.data()), want)
                                   : sf_readf_int(m_File, m_Words.data(), want);
        if (got <= 0)
            break;
        const size_t at = Out->size();
        Out->resize(at + size_t(got) * block);
        uint8_t* out = Out->data() + at;
        for (size_t i = 0; i < size_t(got) * m_Layout.Channels; ++i, out += m_Layout.ContainerBytes)
        {
            if (m_Layout.Float)
                std::memcpy(out, &m_Words[i], 4);
            else
                WordToContainer(m_Words[i], m_Layout.ContainerBytes, out);
        }
        done += uint64_t(got);
    }
    return done;
}

std::string WavReader::Failure() const
{
    if (!m_File || sf_error(m_File) == SF_ERR_NO_ERROR)
        return "";
    return "reading '" + m_Path + "' failed: " + sf_strerror(m_File);
}

bool WavWriter::Open(const std::string& Path, const WavAudio& Layout, std::string* Error)
{
    SF_INFO info = {};
    info.channels = int(Layout.Channels);
    info.samplerate = int(Layout.RateHz);
    info.format = SF_FORMAT_WAV | SubtypeFor(Layout);
    if (!sf_format_check(&info) || Layout.ContainerBytes == 0 || Layout.ContainerBytes > 4)
    {
        *Error = "no WAV file can hold " + Layout.Describe();
        return false;
    }
    m_File = sf_open(Path.c_str(), SFM_WRITE, &info);
    if (!m_File)
    {
        *Error = "cannot write '" + Path + "': " + sf_strerror(nullptr);
        return false;
    }
    m_Path = Path;
    m_Layout = Layout;
    m_Frames = 0;
    m_Partial.clear();
    return true;
}

bool WavWriter::Write(const uint8_t* Bytes, size_t Count, std::string* Error)
{
    const uint32_t block = m_Layout.BlockBytes();
    if (!m_File || block == 0)
    {
        *Error = "'" + m_Path + "' is not open for writing";
        return false;
    }
    // A frame split between two calls is completed from the bytes kept the last time.
    while (!m_Partial.empty() && Count > 0 && m_Partial.size() < block)
    {
        m_Partial.push_back(*Bytes++);
        --Count;
    }
    if (m_Partial.size() == block)
    {
        std::vector<uint8_t> frame;
        frame.swap(m_Partial);
        if (!Write(frame.data(), frame.size(), Error))
            return false;
    }
    m_Words.resize(size_t(kChunkFrames) * m_Layout.Channels);
    const uint64_t frames = Count / block;
    for (uint64_t frame = 0; frame < frames;)
    {
        const sf_count_t count = sf_count_t(std::min<uint64_t>(kChunkFrames, frames - frame));
        const uint8_t* in = Bytes + frame * block;
        for (size_t i = 0; i < size_t(count) * m_Layout.Channels; ++i, in += m_Layout.ContainerBytes)
        {
            if (m_Layout.Float)
                std::memcpy(&m_Words[i], in, 4);
            else
                m_Words[i] = ContainerToWord(in, m_Layout.ContainerBytes);
        }
        const sf_count_t put = m_Layout.Float
                                   ? sf_writef_float(m_File, reinterpret_cast<float*>(m_Words.data()), count)
                                   : sf_writef_int(m_File, m_Words.data(), count);
        if (put != count)
        {
            *Error = "writing '" + m_Path + "' failed: " + sf_strerror(m_File);
            return false;
        }
        frame += uint64_t(count);
        m_Frames += uint64_t(count);
    }
    m_Partial.assign(Bytes + frames * block, Bytes + Count);
    return true;
}

bool WavWriter::Close(std::string* Error)
{
    SNDFILE* file = m_File;
    m_File = nullptr;
    if (file && sf_close(file) != 0)
    {
        *Error = "closing '" + m_Path + "' failed";
        return false;
    }
    return true;
}

std::string WavShortDataWarning(const std::string& Path)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(Path.c_str(), "rb"), std::fclose);
    uint8_t riff[12];
    if (!file || std::fread(riff, 1, sizeof(riff), file.get()) != sizeof(riff) ||
        std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0 ||
        std::fseek(file.get(), 0, SEEK_END) != 0)
        return "";
    const long fileBytes = std::ftell(file.get());
    auto le = [](const uint8_t* p, int n)
    {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = (v << 8) | p[i];
        return v;
    };
    uint32_t blockAlign = 0;
    for (long at = 12; at + 8 <= fileBytes;)
    {
        uint8_t chunk[8 + 16];
        const size_t want = std::min<size_t>(sizeof(chunk), size_t(fileBytes - at));
        if (std::fseek(file.get(), at, SEEK_SET) != 0 || std::fread(chunk, 1, want, file.get()) != want)
            return "";
        const uint32_t size = le(chunk + 4, 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && want >= 8 + 14)
            blockAlign = le(chunk + 8 + 12, 2);
        if (std::memcmp(chunk, "data", 4) == 0)
        {
            const uint64_t holds = uint64_t(fileBytes - at - 8);
            // 0xFFFFFFFF is the mark of a writer that did not know the length: read to the end.
            if (size == 0xFFFFFFFFu || size <= holds)
                return "";
            const bool frames = blockAlign != 0;
            const char* unit = frames ? "frames" : "bytes";
            return "'" + Path + "' announces " + std::to_string(frames ? size / blockAlign : size) + " " +
                   unit + " of samples but holds " + std::to_string(frames ? holds / blockAlign : holds) +
                   " " + unit + ": it was cut short, and only what it holds is played";
        }
        at += 8 + long(size) + long(size & 1);
    }
    return "";
}

} // namespace uacsim
