// The gated processing slots of the variant nodes: each gate closed and open, on PCM channel
// buffers and on the raw bytes of an IEEE-float stream, and the surround-pair swap.
#include <gtest/gtest.h>

#include "driver/topology/nodes/node_processing.h"
#include "driver/core/pin_type.h"

#include <functional>

namespace
{

TEST(GatedSlots, ActOnlyWithTheirGateOpen)
{
    float volatile gains[2] = {0.5f, 2.0f};
    WAVEFORMATEXTENSIBLE pcm = {}, ieee = {};
    pcm.Format.wFormatTag = 1, ieee.Format.wFormatTag = 3;
    pcm.Format.nChannels = ieee.Format.nChannels = 3;
    ieee.Format.nBlockAlign = 12;
    struct Case
    {
        std::function<NTSTATUS(PCWAVEFORMATEXTENSIBLE, PVOID)> Run;
        float Factors[3], Raw; // per PCM channel; the IEEE-float stream's bytes
    } cases[] = {
        {[](auto f, auto d) { return PinGatedMuteProcess(f, d, 2, PIN_TYPE_SPDIF, TRUE); }, {0, 0, 0}, 0},
        {[](auto f, auto d) { return PinGatedMuteProcess(f, d, 2, PIN_TYPE_SPDIF, FALSE); }, {1, 1, 1}, 1},
        {[](auto f, auto d) { return PinGatedMuteProcess(f, d, 2, 1, TRUE); }, {1, 1, 1}, 1},
        {[](auto f, auto d) { return GatedMuteProcess(f, d, 2, 3, TRUE); }, {0, 0, 0}, 0},
        {[](auto f, auto d) { return GatedMuteProcess(f, d, 2, 2, TRUE); }, {1, 1, 1}, 1},
        {[&](auto f, auto d) { return PinGatedGainProcess(f, d, 2, PIN_TYPE_SPDIF, gains, 2); },
         {0.5f, 2, 1},
         1},
        {[&](auto f, auto d) { return PinGatedGainProcess(f, d, 2, 6, gains, 2); }, {1, 1, 1}, 1},
        {[](auto f, auto d) { return AttenuatorProcess(f, d, 2, 1); }, {0.25f, 0.25f, 0.25f}, 1},
        {[](auto f, auto d) { return AttenuatorProcess(f, d, 2, 2); }, {0, 0, 0}, 1},
        {[](auto f, auto d) { return AttenuatorProcess(f, d, 2, 7); }, {1, 1, 1}, 1},
    };
    for (size_t k = 0; k < std::size(cases); k++)
    {
        float channels[3][2] = {{0.3f, -0.7f}, {0.3f, -0.7f}, {0.3f, -0.7f}},
              raw[6] = {0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f};
        float* pointers[3] = {channels[0], channels[1], channels[2]};
        EXPECT_EQ(cases[k].Run(&pcm, pointers), STATUS_SUCCESS);
        EXPECT_EQ(cases[k].Run(&ieee, raw), STATUS_SUCCESS);
        for (int c = 0; c < 3; c++)
            EXPECT_EQ(channels[c][1], -0.7f * cases[k].Factors[c]) << "case " << k << ", channel " << c;
        EXPECT_EQ(raw[5], 0.3f * cases[k].Raw) << "case " << k;
    }
}

TEST(GatedSlots, SwapExchangesTheBackAndSidePairsOfEightChannelsOnly)
{
    for (USHORT channels : {6, 8})
    {
        WAVEFORMATEXTENSIBLE format = {};
        format.Format.wFormatTag = 1, format.Format.nChannels = channels;
        float samples[8] = {};
        float* pointers[8] = {&samples[0], &samples[1], &samples[2], &samples[3],
                              &samples[4], &samples[5], &samples[6], &samples[7]};
        EXPECT_EQ(SwapSurroundPairsProcess(&format, pointers, 1), STATUS_SUCCESS);
        const int expected[2][8] = {{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 6, 7, 4, 5}};
        for (int c = 0; c < 8; c++)
            EXPECT_EQ(pointers[c], &samples[expected[channels == 8][c]]) << channels << " channels, " << c;
    }
}

} // namespace
