// The gated processing slots of the variant nodes on float channel buffers: each gate closed
// and open, PCM against other formats, the attenuator's modes and the surround-pair swap.
#include <gtest/gtest.h>

#include "driver/topology/nodes/node_processing.h"
#include "driver/topology/nodes/pin_type.h"

#include <functional>
#include <vector>

namespace
{

typedef std::function<NTSTATUS(PCWAVEFORMATEXTENSIBLE, PVOID, ULONG)> Slot;

TEST(GatedSlots, ActOnlyWithTheirGateOpenAndOnPcm)
{
    float volatile gains[8] = {0.5f, 2.0f, 4.0f, 0.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    struct Case
    {
        const char* Name;
        Slot Run;
        std::vector<float> Factors; // per channel; empty: untouched
    } cases[] = {
        {"mute, S/PDIF",
         [](auto f, auto d, auto n) { return PinGatedMuteProcess(f, d, n, PIN_TYPE_SPDIF, TRUE); },
         {0, 0, 0}},
        {"mute, speaker", [](auto f, auto d, auto n) { return PinGatedMuteProcess(f, d, n, 1, TRUE); }, {}},
        {"mute, not muted",
         [](auto f, auto d, auto n) { return PinGatedMuteProcess(f, d, n, PIN_TYPE_SPDIF, FALSE); },
         {}},
        {"mute, input 3",
         [](auto f, auto d, auto n) { return GatedMuteProcess(f, d, n, 3, TRUE); },
         {0, 0, 0}},
        {"mute, input 2", [](auto f, auto d, auto n) { return GatedMuteProcess(f, d, n, 2, TRUE); }, {}},
        {"gain, S/PDIF",
         [&](auto f, auto d, auto n) { return PinGatedGainProcess(f, d, n, PIN_TYPE_SPDIF, gains, 2); },
         {0.5f, 2.0f, 1.0f}},
        {"gain, line", [&](auto f, auto d, auto n) { return PinGatedGainProcess(f, d, n, 6, gains, 8); }, {}},
        {"attenuator 0", [](auto f, auto d, auto n) { return AttenuatorProcess(f, d, n, 0); }, {}},
        {"attenuator 1",
         [](auto f, auto d, auto n) { return AttenuatorProcess(f, d, n, 1); },
         {0.25f, 0.25f, 0.25f}},
        {"attenuator 2", [](auto f, auto d, auto n) { return AttenuatorProcess(f, d, n, 2); }, {0, 0, 0}},
        {"attenuator 7", [](auto f, auto d, auto n) { return AttenuatorProcess(f, d, n, 7); }, {}},
    };
    for (const Case& c : cases)
    {
        for (USHORT code : {1, 3})
        {
            WAVEFORMATEXTENSIBLE format = {};
            format.Format.wFormatTag = code;
            format.Format.nChannels = 3;
            format.Format.nBlockAlign = 12;
            std::vector<std::vector<float>> channels(3, std::vector<float>{0.3f, -0.7f});
            std::vector<float*> pointers = {channels[0].data(), channels[1].data(), channels[2].data()};
            std::vector<float> raw(6, 0.3f);
            PVOID data = code == 1 ? PVOID(pointers.data()) : PVOID(raw.data());
            EXPECT_EQ(c.Run(&format, data, 2), STATUS_SUCCESS);
            bool muting = !c.Factors.empty() && c.Factors[0] == 0 && c.Name[0] == 'm';
            EXPECT_EQ(raw, std::vector<float>(6, code == 3 && muting ? 0.0f : 0.3f)) << c.Name;
            for (size_t ch = 0; ch < 3 && code == 1; ch++)
            {
                float factor = c.Factors.empty() ? 1.0f : c.Factors[ch];
                EXPECT_EQ(channels[ch], (std::vector<float>{0.3f * factor, -0.7f * factor}))
                    << c.Name << " " << ch;
            }
        }
    }
}

TEST(GatedSlots, SwapExchangesTheBackAndSidePairsOfEightChannelsOnly)
{
    for (USHORT channels : {6, 8})
    {
        WAVEFORMATEXTENSIBLE format = {};
        format.Format.wFormatTag = 1;
        format.Format.nChannels = channels;
        float samples[8] = {};
        float* pointers[8];
        for (int c = 0; c < 8; c++)
            pointers[c] = &samples[c];
        EXPECT_EQ(SwapSurroundPairsProcess(&format, pointers, 1), STATUS_SUCCESS);
        const int expected[2][8] = {{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 6, 7, 4, 5}};
        for (int c = 0; c < 8; c++)
            EXPECT_EQ(pointers[c], &samples[expected[channels == 8][c]]) << channels << " channels, " << c;
    }
}

} // namespace
