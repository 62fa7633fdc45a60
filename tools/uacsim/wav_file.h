// WAV files in and out of the runner, through libsndfile. Samples are kept as the bytes a
// wave pin carries: interleaved, little-endian, in a container of 1, 2, 3 or 4 bytes (8-bit
// unsigned, 16-bit, packed 24-bit, 32-bit integer or 32-bit float), so what the device
// received can be compared with the file byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace uacsim
{

struct WavAudio
{
    uint32_t Channels = 0;
    uint32_t RateHz = 0;
    uint32_t ContainerBytes = 0; // of one sample
    uint32_t ValidBits = 0;      // 8, 16, 24 or 32
    bool Float = false;
    std::vector<uint8_t> Bytes;

    uint32_t BlockBytes() const { return Channels * ContainerBytes; }
    uint64_t Frames() const { return BlockBytes() ? Bytes.size() / BlockBytes() : 0; }
    double Seconds() const { return RateHz ? double(Frames()) / RateHz : 0; }
    // "48000 Hz, 2 ch, 16-bit PCM"
    std::string Describe() const;
};

// Reads a whole file; false with the reason (unreadable, or a sample format without a wave-pin
// layout, such as 64-bit float or compressed data).
bool ReadWav(const std::string& Path, WavAudio* Audio, std::string* Error);

// Writes Audio as a WAV file of the matching sample format; samples held in a container wider
// than their valid bits (24 valid bits in 4 bytes) are written at their valid width.
bool WriteWav(const std::string& Path, const WavAudio& Audio, std::string* Error);

} // namespace uacsim
