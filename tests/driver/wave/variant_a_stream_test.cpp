// The jack-sensing model's render stream on the whole driver: the formats its endpoint offers
// by pin type, and the chip's rate and data-kind bits written at every open, as the chip's own
// record shows them.
#include "support/stream_rig.h"

#include "ksmedia.h"
#include "sim/device/register_chip.h"
#include "driver/core/pin_type.h"

#include <string>

namespace
{

using namespace rig;

bool IsAc3(const WAVEFORMATEXTENSIBLE& f)
{
    return f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.SubFormat.Data1 == WAVE_FORMAT_DOLBY_AC3_SPDIF;
}

class VariantAStream : public StreamRig
{
protected:
    // Starts the model with its output on the saved pin type.
    NTSTATUS StartWithPinType(ULONG pinType)
    {
        sim::DeviceProfile profile;
        LoadAnyProfile("uac1-variant-a", &profile);
        PlugProfile(profile);
        EXPECT_EQ(plat::RegSetValue(SettingsPath(), u"UACUnit03", REG_BINARY, &pinType, sizeof(pinType)),
                  STATUS_SUCCESS);
        NTSTATUS status = Pnp().Start();
        RunFor(100 * kMillisecond);
        return status;
    }
    sim::RegisterChip& Chip() { return *Model().Chip(); }
    // (rates of the AC-3 formats, rates of the PCM formats at 96 kHz)
    void Offered(std::vector<ULONG>* ac3, size_t* pcm96)
    {
        *pcm96 = 0;
        for (const WAVEFORMATEXTENSIBLE& f : Formats(0))
        {
            if (IsAc3(f))
                ac3->push_back(f.Format.nSamplesPerSec);
            else if (f.Format.nSamplesPerSec == 96000)
                ++*pcm96;
        }
    }
};

TEST_F(VariantAStream, SpeakerOffersNeitherAc3Nor96kHz)
{
    ASSERT_EQ(PlugAndStart("uac1-variant-a"), STATUS_SUCCESS);
    EXPECT_EQ(EndpointNames().front(), u"SPKOut00");
    std::vector<ULONG> ac3;
    size_t pcm96 = 0;
    Offered(&ac3, &pcm96);
    EXPECT_TRUE(ac3.empty());
    EXPECT_EQ(pcm96, 0u);
}

TEST_F(VariantAStream, HeadphonesGetTheFixed96kHzFormatOnSettingFive)
{
    ASSERT_EQ(StartWithPinType(PIN_TYPE_HP), STATUS_SUCCESS);
    EXPECT_EQ(EndpointNames().front(), u"HPOut00");
    std::vector<ULONG> ac3;
    size_t pcm96 = 0;
    Offered(&ac3, &pcm96);
    EXPECT_TRUE(ac3.empty());
    EXPECT_EQ(pcm96, 1u);
    StreamTestClient& client = Client();
    client.Format = ClientFormat(2, 96000, 2, 16, 3);
    ASSERT_EQ(client.Register(Stream(0)), STATUS_SUCCESS);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    EXPECT_EQ(Model().AlternateSetting(1), 5);
}

TEST_F(VariantAStream, SpdifOffersAc3AndOpeningProgramsTheChip)
{
    ASSERT_EQ(StartWithPinType(PIN_TYPE_SPDIF), STATUS_SUCCESS);
    EXPECT_EQ(EndpointNames().front(), u"SPDIFOut00");
    std::vector<ULONG> ac3;
    size_t pcm96 = 0;
    Offered(&ac3, &pcm96);
    EXPECT_EQ(ac3, (std::vector<ULONG>{44100, 48000, 96000}));
    EXPECT_EQ(pcm96, 1u);

    // The AC-3 records carry no extensible part (cbSize 0), which no client format can match
    // through the engine's format check; the setting is selected for such a client directly.
    Chip().ClearWrites();
    const USHORT before = Chip().Register(0);
    StreamClient ac3Client{};
    ac3Client.Format = ClientFormat(2, 48000, 2, 16, 0);
    ac3Client.Format.Format.cbSize = 0;
    ac3Client.Format.SubFormat = KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF;
    ac3Client.Direction = STREAM_DIRECTION_RENDER;
    ASSERT_EQ(Stream(0)->SelectAlternateSetting(2, &ac3Client), STATUS_SUCCESS);
    EXPECT_EQ(Model().AlternateSetting(1), 2);
    const USHORT rate = USHORT((before & ~0x7000) | 0x2000);
    const std::vector<sim::ChipWrite> writes = Chip().Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].Register, 0);
    EXPECT_EQ(writes[0].Value, rate);
    EXPECT_EQ(writes[1].Value, USHORT(rate | 0x0002));
    ASSERT_EQ(Stream(0)->SelectAlternateSetting(0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Chip().Writes().size(), 2u) << "no bandwidth, nothing to tell the chip";
}

TEST_F(VariantAStream, PcmAt44kHzClearsTheDataKindAndAnUnlistedRateLeavesTheRateBits)
{
    ASSERT_EQ(PlugAndStart("uac1-variant-a"), STATUS_SUCCESS);
    Chip().ClearWrites();
    StreamTestClient& client = Client();
    client.Format = ClientFormat(2, 44100, 2, 16, 3);
    ASSERT_EQ(client.Run(Stream(0)), STATUS_SUCCESS);
    RunFor(50 * kMillisecond);
    std::vector<sim::ChipWrite> writes = Chip().Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].Value & 0x7000, 0x0000);
    EXPECT_EQ(writes[1].Value & 0x0002, 0x0000);
    EXPECT_GT(Streams().Packets().size(), 0u) << "the stream plays";
}

} // namespace

namespace
{

using namespace rig;

class VariantAPinType : public StreamRig
{
};

TEST_F(VariantAPinType, ChoosingSpdifRenamesTheEndpointAndOffersAc3)
{
    ASSERT_EQ(PlugAndStart("uac1-variant-a"), STATUS_SUCCESS);
    IPinTypeSelector* selector = nullptr;
    for (ULONG i = 0; i < Adapter()->GetNodeCount() && !selector; ++i)
    {
        ITopologyNode* node = nullptr;
        if (NT_SUCCESS(Adapter()->GetNode(i, &node)) && node->GetKind() == NODE_KIND_PIN_TYPE_SELECTOR)
            node->QueryInterface(IID_IPinTypeSelector, reinterpret_cast<PVOID*>(&selector));
    }
    ASSERT_NE(selector, nullptr);
    EXPECT_EQ(selector->SetPinType(PIN_TYPE_SPDIF), STATUS_SUCCESS);
    selector->Release();
    EXPECT_EQ(EndpointNames().front(), u"SPDIFOut00");
    size_t ac3 = 0;
    for (const WAVEFORMATEXTENSIBLE& f : Formats(0))
        ac3 +=
            f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.SubFormat.Data1 == WAVE_FORMAT_DOLBY_AC3_SPDIF;
    EXPECT_EQ(ac3, 3u);
    EXPECT_EQ(Model().Chip()->Register(2), 0xE7F8);
}

} // namespace
