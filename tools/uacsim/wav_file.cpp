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

constexpr uint16_t kWaveFormatExtensible = 0xFFFE;
// Where the extensible fields sit in a fmt chunk's body.
constexpr long kValidBitsAt = 18;
constexpr long kChannelMaskAt = 20;
constexpr uint32_t kExtensibleFmtBytes = 40;

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

uint32_t Le(const uint8_t* Bytes, int Count)
{
    uint32_t value = 0;
    for (int i = Count - 1; i >= 0; --i)
        value = (value << 8) | Bytes[i];
    return value;
}

void PutLe(uint8_t* Bytes, uint32_t Value, int Count)
{
    for (int i = 0; i < Count; ++i)
        Bytes[i] = uint8_t(Value >> (8 * i));
}

// One chunk of a RIFF WAVE file: its id, where its body starts and the size its header gives.
struct Chunk
{
    char Id[4];
    long Body;
    uint32_t Size;
};

// Visits the chunks of a RIFF WAVE file in order until Visit returns false or the file ends.
// False when the file is not a RIFF WAVE file.
template <class Visitor> bool ForEachChunk(std::FILE* File, long FileBytes, Visitor Visit)
{
    uint8_t riff[12];
    if (std::fseek(File, 0, SEEK_SET) != 0 || std::fread(riff, 1, sizeof(riff), File) != sizeof(riff) ||
        std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return false;
    for (long at = 12; at + 8 <= FileBytes;)
    {
        uint8_t header[8];
        if (std::fseek(File, at, SEEK_SET) != 0 ||
            std::fread(header, 1, sizeof(header), File) != sizeof(header))
            break;
        Chunk chunk;
        std::memcpy(chunk.Id, header, 4);
        chunk.Body = at + 8;
        chunk.Size = Le(header + 4, 4);
        if (!Visit(chunk))
            break;
        at += 8 + long(chunk.Size) + long(chunk.Size & 1);
    }
    return true;
}

long FileBytes(std::FILE* File)
{
    return File && std::fseek(File, 0, SEEK_END) == 0 ? std::ftell(File) : -1;
}

// The fields of a WAVE file's fmt chunk that libsndfile does not hand on.
struct FmtChunk
{
    bool Found = false;
    long Body = 0;
    uint16_t Tag = 0;
    uint16_t Channels = 0;
    uint32_t RateHz = 0;
    uint16_t BlockAlign = 0;
    uint16_t Bits = 0;
    uint16_t ValidBits = 0;   // WAVE_FORMAT_EXTENSIBLE only
    uint32_t ChannelMask = 0; // WAVE_FORMAT_EXTENSIBLE only
};

FmtChunk ReadFmtChunk(std::FILE* File)
{
    FmtChunk fmt;
    ForEachChunk(File, FileBytes(File),
                 [&](const Chunk& C)
                 {
                     if (std::memcmp(C.Id, "fmt ", 4) != 0)
                         return true;
                     uint8_t body[kExtensibleFmtBytes] = {};
                     const size_t want = std::min<size_t>(C.Size, sizeof(body));
                     if (want < 16 || std::fseek(File, C.Body, SEEK_SET) != 0 ||
                         std::fread(body, 1, want, File) != want)
                         return false;
                     fmt.Found = true;
                     fmt.Body = C.Body;
                     fmt.Tag = uint16_t(Le(body, 2));
                     fmt.Channels = uint16_t(Le(body + 2, 2));
                     fmt.RateHz = Le(body + 4, 4);
                     fmt.BlockAlign = uint16_t(Le(body + 12, 2));
                     fmt.Bits = uint16_t(Le(body + 14, 2));
                     if (fmt.Tag == kWaveFormatExtensible && want >= kExtensibleFmtBytes)
                     {
                         fmt.ValidBits = uint16_t(Le(body + kValidBitsAt, 2));
                         fmt.ChannelMask = Le(body + kChannelMaskAt, 4);
                     }
                     return false;
                 });
    return fmt;
}

// libsndfile writes an extensible header's valid bits as the container's and its speaker mask
// from a channel map that cannot say every mask: both are set in the file once it is closed.
bool PatchExtensibleFields(const std::string& Path, const WavAudio& Layout)
{
    FilePtr file(std::fopen(Path.c_str(), "r+b"), std::fclose);
    const FmtChunk fmt = file ? ReadFmtChunk(file.get()) : FmtChunk();
    if (!fmt.Found || fmt.Tag != kWaveFormatExtensible)
        return false;
    uint8_t fields[6];
    PutLe(fields, Layout.ValidBits, 2);
    PutLe(fields + 2, Layout.ChannelMask, 4);
    return std::fseek(file.get(), fmt.Body + kValidBitsAt, SEEK_SET) == 0 &&
           std::fwrite(fields, 1, sizeof(fields), file.get()) == sizeof(fields) &&
           std::fflush(file.get()) == 0;
}

// Integer samples held in a container wider than their valid bits.
bool HeldWide(const WavAudio& Audio)
{
    return !Audio.Float && Audio.ValidBits < Audio.ContainerBytes * 8;
}

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
    switch (HeldWide(Audio) ? Audio.ContainerBytes * 8 : Audio.ValidBits)
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
    // libsndfile refuses a header without rate or channels with a message about its own API.
    FilePtr raw(std::fopen(Path.c_str(), "rb"), std::fclose);
    const FmtChunk fmt = raw ? ReadFmtChunk(raw.get()) : FmtChunk();
    raw.reset();
    if (fmt.Found && (fmt.RateHz == 0 || fmt.Channels == 0))
    {
        *Error = "'" + Path + "' gives " + (fmt.RateHz == 0 ? "a sample rate of 0 Hz" : "0 channels") +
                 " in its format chunk: the file cannot be played";
        return false;
    }
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
    if (fmt.Tag == kWaveFormatExtensible && fmt.Bits == m_Layout.ContainerBytes * 8 && !m_Layout.Float)
    {
        // libsndfile reads the container and leaves the valid bits to its caller.
        if (fmt.ValidBits > 0 && fmt.ValidBits < m_Layout.ValidBits)
            m_Layout.ValidBits = fmt.ValidBits;
        m_Layout.ChannelMask = fmt.ChannelMask;
    }
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
    // A 32-bit word of which the valid bits count: what lies below them is no part of the sample.
    const uint32_t validMask = m_Layout.ValidBits >= 32 ? ~0u : ~0u << (32 - m_Layout.ValidBits);
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
                WordToContainer(int32_t(uint32_t(m_Words[i]) & validMask), m_Layout.ContainerBytes, out);
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
    info.format = (HeldWide(Layout) ? SF_FORMAT_WAVEX : SF_FORMAT_WAV) | SubtypeFor(Layout);
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
    if (file && HeldWide(m_Layout) && !PatchExtensibleFields(m_Path, m_Layout))
    {
        *Error = "writing the valid bits and speaker mask into '" + m_Path + "' failed";
        return false;
    }
    return true;
}

std::string WavShortDataWarning(const std::string& Path)
{
    FilePtr file(std::fopen(Path.c_str(), "rb"), std::fclose);
    const long fileBytes = FileBytes(file.get());
    const uint32_t blockAlign = file ? ReadFmtChunk(file.get()).BlockAlign : 0;
    std::string warning;
    if (!file)
        return warning;
    ForEachChunk(file.get(), fileBytes,
                 [&](const Chunk& C)
                 {
                     if (std::memcmp(C.Id, "data", 4) != 0)
                         return true;
                     const uint64_t holds = uint64_t(fileBytes - C.Body);
                     // 0xFFFFFFFF is the mark of a writer that did not know the length: read to
                     // the end.
                     if (C.Size == 0xFFFFFFFFu || C.Size <= holds)
                         return false;
                     const bool frames = blockAlign != 0;
                     const char* unit = frames ? "frames" : "bytes";
                     warning = "'" + Path + "' announces " +
                               std::to_string(frames ? C.Size / blockAlign : C.Size) + " " + unit +
                               " of samples but holds " +
                               std::to_string(frames ? holds / blockAlign : holds) + " " + unit +
                               ": it was cut short, and only what it holds is played";
                     return false;
                 });
    return warning;
}

} // namespace uacsim
