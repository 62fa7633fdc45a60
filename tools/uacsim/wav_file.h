// WAV files in and out of the runner, through libsndfile. Samples are kept as the bytes a
// wave pin carries: interleaved, little-endian, in a container of 1, 2, 3 or 4 bytes (8-bit
// unsigned, 16-bit, packed 24-bit, 32-bit integer or 32-bit float), so what the device
// received can be compared with the file byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// libsndfile's handle, whose header only the implementation includes.
struct sf_private_tag;

namespace uacsim
{

// The layout of a file's samples as a wave pin carries them.
struct WavAudio
{
    uint32_t Channels = 0;
    uint32_t RateHz = 0;
    uint32_t ContainerBytes = 0; // of one sample
    uint32_t ValidBits = 0;      // 8, 16, 24 or 32; fewer than the container's in the top bits
    bool Float = false;
    uint32_t ChannelMask = 0; // a WAVE_FORMAT_EXTENSIBLE file's speaker mask; 0 when it has none

    uint32_t BlockBytes() const { return Channels * ContainerBytes; }
    // "48000 Hz, 2 ch, 16-bit PCM"
    std::string Describe() const;
};

// What reading and writing share: the open libsndfile handle, closed with the object, and the
// file's layout.
class WavStream
{
public:
    WavStream() = default;
    ~WavStream();
    WavStream(const WavStream&) = delete;
    WavStream& operator=(const WavStream&) = delete;

    const WavAudio& Layout() const { return m_Layout; }

protected:
    ::sf_private_tag* m_File = nullptr;
    std::string m_Path;
    WavAudio m_Layout;
    uint64_t m_Frames = 0; // reading: as the header says; writing: written so far
    std::vector<int32_t> m_Words;
};

// A WAV file read piece by piece, samples in their wave-pin layout.
class WavReader : public WavStream
{
public:
    // False with the reason: unreadable, no audio, no rate or channels, or a sample format
    // without a wave-pin layout (such as 64-bit float or compressed data). A
    // WAVE_FORMAT_EXTENSIBLE file's valid bits and speaker mask come from its own header.
    bool Open(const std::string& Path, std::string* Error);
    uint64_t Frames() const { return m_Frames; }
    // Appends up to Frames frames to Out; the number read, 0 at the end or on an error. Bits
    // below the valid ones read as zero.
    uint64_t Read(uint64_t Frames, std::vector<uint8_t>* Out);
    // Empty unless reading failed.
    std::string Failure() const;
};

// A WAV file written piece by piece from samples in their wave-pin layout.
class WavWriter : public WavStream
{
public:
    // Samples held in a container wider than their valid bits (24 valid bits in 4 bytes) are
    // written as they are held, in a WAVE_FORMAT_EXTENSIBLE file that gives the valid bits and
    // the layout's speaker mask; false with the reason.
    bool Open(const std::string& Path, const WavAudio& Layout, std::string* Error);
    bool IsOpen() const { return m_File != nullptr; }
    // Whole frames of Bytes (a partial frame at the end is kept for the next call).
    bool Write(const uint8_t* Bytes, size_t Count, std::string* Error);
    uint64_t Frames() const { return m_Frames; }
    bool Close(std::string* Error);

private:
    std::vector<uint8_t> m_Partial;
};

// Empty, or a warning that a WAV file's data chunk announces more samples than the file holds
// (a copy cut short): libsndfile then reads what is there without a word.
std::string WavShortDataWarning(const std::string& Path);

} // namespace uacsim
