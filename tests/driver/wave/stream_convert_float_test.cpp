// The pipeline's conversion helpers on a 32-bit IEEE float format: the channel buffers take the
// samples' own values and the interleaved buffer gets back the very bits it held, whatever
// they are (NaN payloads, denormals, infinities), where an integer reading would scale them.
#include "driver/wave/stream_engine.h"

#include "ksmedia.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace
{

WAVEFORMATEXTENSIBLE FloatFormat(WORD channels, bool extensible)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_IEEE_FLOAT;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.nBlockAlign = WORD(channels * 4);
    f.Format.nAvgBytesPerSec = 48000 * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = 32;
    f.Format.cbSize = extensible ? 22 : 0;
    f.Samples.wValidBitsPerSample = 32;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return f;
}

TEST(StreamConvertFloat, FloatSamplesReachTheChannelsAndComeBackBitForBit)
{
    const uint32_t kPatterns[] = {0x3F800000, 0xBF000000, 0x7FC12345, 0x00000001, 0xFF800000,
                                  0x80000000, 0x3EAAAAAB, 0x7F7FFFFF, 0xC2F6E979, 0x00800000};
    const struct
    {
        WORD Channels;
        bool Extensible;
        ULONG Frames;
    } kCases[] = {{2, true, 5}, {1, false, 10}, {8, true, 1}, {5, true, 2}};
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(std::to_string(c.Channels) + " channels");
        const WAVEFORMATEXTENSIBLE format = FloatFormat(c.Channels, c.Extensible);
        const size_t samples = size_t(c.Channels) * c.Frames;
        std::vector<uint32_t> interleaved(samples);
        for (size_t i = 0; i < samples; ++i)
            interleaved[i] = kPatterns[i % (sizeof(kPatterns) / sizeof(kPatterns[0]))];
        std::vector<std::vector<float>> buffers(STREAM_CHANNEL_BUFFER_COUNT, std::vector<float>(c.Frames));
        std::vector<float*> channels;
        for (auto& b : buffers)
            channels.push_back(b.data());
        std::vector<float> scratch(samples);

        ASSERT_EQ(ConvertToFloat(interleaved.data(), channels.data(), scratch.data(), c.Frames, &format),
                  STATUS_SUCCESS);
        for (size_t n = 0; n < c.Frames; ++n)
            for (size_t ch = 0; ch < c.Channels; ++ch)
            {
                uint32_t bits;
                std::memcpy(&bits, &buffers[ch][n], 4);
                EXPECT_EQ(bits, interleaved[n * c.Channels + ch]) << "frame " << n << " channel " << ch;
            }

        std::vector<uint32_t> back(samples, 0xDEADBEEF);
        ASSERT_EQ(ConvertFromFloat(back.data(), channels.data(), scratch.data(), c.Frames, &format),
                  STATUS_SUCCESS);
        EXPECT_EQ(back, interleaved);
    }
}

} // namespace
