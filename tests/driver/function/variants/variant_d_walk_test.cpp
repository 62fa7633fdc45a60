// Variant D's own parts of its walks, on the simulated class-1 speaker: the capability rows by
// model code and device, the entity classes of the audio-control walk (the feature unit's
// vendor controls become the two effect nodes, which the device's vendor control map announces),
// and the render stream class.
#include "support/uac1_entity_test_support.h"

#include "driver/function/variants/variant_d_walk.h"
#include "driver/topology/variants/variant_d_effect_controls.h"
#include "driver/topology/variants/variant_d_feature_unit.h"
#include "driver/wave/variant_d_stream.h"

#include "plat_debug.h"

namespace
{

TEST(VariantDCapabilities, ModelCodeAndDevicePickTheRow)
{
    struct Row
    {
        ULONG Model;
        USHORT Vendor, Product;
        ULONG Mask, Extra, Flags;
    };
    const Row rows[] = {
        {6, 0x17EF, 0x6073, 0x3E0084, 0, 0x41}, {6, 0x264A, 20483, 0x3E0084, 0, 0},
        {6, 0x2B0D, 0x0080, 0x3E0084, 0, 0x40}, {6, 0x2B0D, 0x0084, 0x3E0084, 0, 0x40},
        {6, 0x2B0D, 0x0085, 0x3E1080, 0, 0},    {6, 0x2B0D, 0x0086, 0x3E0084, 0, 0x40},
        {6, 0x2B0D, 0x008F, 0x3E0084, 0, 0x40}, {6, 0x2B0D, 0x0090, 0x3E1084, 0, 0},
        {6, 0x7A31, 0x0161, 0x3E0084, 0, 0x40}, {6, 0x17EF, 0x6074, 0x3E1084, 0, 0},
        {5, 0x17EF, 0x6073, 0x20006, 8, 0},     {5, 0x1234, 0x5678, 0x20006, 8, 0},
    };
    for (const Row& r : rows)
    {
        VariantDCapabilities caps{};
        ASSERT_EQ(GetVariantDCapabilities(r.Model, r.Vendor, r.Product, &caps), STATUS_SUCCESS);
        EXPECT_EQ(caps.Mask, r.Mask) << r.Model << " " << r.Vendor << ":" << r.Product;
        EXPECT_EQ(caps.Extra, r.Extra) << r.Model << " " << r.Vendor << ":" << r.Product;
        EXPECT_EQ(caps.Flags, r.Flags) << r.Model << " " << r.Vendor << ":" << r.Product;
    }
    VariantDCapabilities caps{};
    EXPECT_EQ(GetVariantDCapabilities(7, 0x17EF, 0x6073, &caps), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(GetVariantDCapabilities(0, 0x17EF, 0x6073, &caps), STATUS_UNSUCCESSFUL);
}

class VariantDWalk : public uet::Uac1EntityRig
{
protected:
    // The speaker's feature unit announces controls 139 and 140 on its master channel.
    void AnnounceEffects()
    {
        RewriteControl(
            [](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
            {
                if (setup.Request != 0x85 || (setup.Index >> 8) != 2)
                    return;
                std::vector<UCHAR> block(19, 0);
                block[16] = 21;
                block[18] = 2;
                block.push_back(0x00);
                block.push_back(0x0C); // bits 10 and 11: controls 139 and 140
                answer->Outcome = plat::UsbHandshake::Ack;
                answer->Data = setup.Value == 0x0010 ? std::vector<UCHAR>{21, 0} : block;
            });
    }
    NTSTATUS Make(const std::vector<UCHAR>& descriptor, CUsbEntityNode** entity)
    {
        NTSTATUS status = CreateVariantDEntity(descriptor.data(), ULONG(descriptor.size()), 0, m_pCommon,
                                               m_pHost, &m_Lock, entity);
        if (*entity)
            m_Entities.push_back(*entity);
        return status;
    }
};

TEST_F(VariantDWalk, FeatureUnitMakesTheTwoEffectNodesAfterItsControls)
{
    Start("uac1-speaker");
    AnnounceEffects();
    CUsbEntityNode* terminal = nullptr;
    ASSERT_EQ(Make(Descriptor(USB_AUDIO_AC_INPUT_TERMINAL, 1), &terminal), STATUS_SUCCESS);
    EXPECT_EQ(terminal->GetKind(), ULONG(USB_AUDIO_AC_INPUT_TERMINAL));
    const ULONG first = m_pHost->GetNodeCount();
    CUsbEntityNode* unit = nullptr;
    ASSERT_EQ(Make(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2), &unit), STATUS_SUCCESS);
    RewriteControl(nullptr);
    EXPECT_EQ(unit->GetId(), 2u);

    std::vector<ULONG> kinds = Kinds();
    kinds.erase(kinds.begin(), kinds.begin() + first);
    ASSERT_EQ(kinds,
              (std::vector<ULONG>{NODE_KIND_MUTE, NODE_KIND_VOLUME, NODE_KIND_EFFECT, NODE_KIND_EFFECT}));
    const GUID names[] = {VARIANT_D_DELAY_EFFECT_NAME, VARIANT_D_VIRTUALIZER_EFFECT_NAME};
    const ULONG parameters[] = {0, 2};
    for (ULONG i = 0; i < 2; i++)
    {
        IEffectNode* effect = NodeAs<IEffectNode>(first + 2 + i, IID_IEffectNode);
        ASSERT_NE(effect, nullptr);
        GUID name{};
        ASSERT_EQ(effect->GetNameGuid(&name), STATUS_SUCCESS);
        EXPECT_TRUE(IsEqualGUID(name, names[i])) << i;
        ULONG count = 9;
        ASSERT_EQ(effect->GetParameterCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(count, parameters[i]);
        NodeAs<IDspNode>(first + 2 + i, IID_IDspNode); // runs in the stream's pipeline
        EXPECT_EQ(Node(first + 2 + i)->GetId(), first + 2 + i);
    }

    // The switch is the unit's vendor request on the master channel; the simulated unit stalls it.
    Model().ClearLog();
    IEffectNode* virtualizer = NodeAs<IEffectNode>(first + 3, IID_IEffectNode);
    EXPECT_FALSE(NT_SUCCESS(virtualizer->SetEnable(1)));
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(Requests()[0], (uet::Seen{0x41, 0x01, 0x8C00, 0x0200, 1, {0x01}, true}));
}

TEST_F(VariantDWalk, OtherEntitiesAreClassOneAndUnknownSubtypesAreRefused)
{
    Start("uac1-speaker");
    CUsbEntityNode* unit = nullptr;
    ASSERT_EQ(Make(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2), &unit), STATUS_SUCCESS);
    EXPECT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_MUTE, NODE_KIND_VOLUME})) << "no map, no effect nodes";
    CUsbEntityNode* output = nullptr;
    ASSERT_EQ(Make(Descriptor(USB_AUDIO_AC_OUTPUT_TERMINAL, 3), &output), STATUS_SUCCESS);
    EXPECT_EQ(output->GetKind(), ULONG(USB_AUDIO_AC_OUTPUT_TERMINAL));

    const UCHAR processing[] = {0x0D, 0x24, 0x07, 0x05, 0x01, 0x00, 0x01, 0x02, 0x03, 0x00, 0x00, 0x01, 0x00};
    CUsbEntityNode* none = nullptr;
    EXPECT_EQ(CreateVariantDEntity(processing, sizeof(processing), 0, m_pCommon, m_pHost, &m_Lock, &none),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(none, nullptr);
    EXPECT_NE(plat::DebugLogText().find("subtype 7"), std::string::npos);
}

TEST_F(VariantDWalk, RenderInterfacesGetTheVariantStream)
{
    Start("uac1-speaker");
    CUsbAudioStream* stream = nullptr;
    ASSERT_EQ(CreateVariantDRenderStream(1, 4, m_pCommon, &stream), STATUS_SUCCESS);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->GetKind(), ULONG(STREAM_DIRECTION_RENDER));
    WAVEFORMATEX mono{};
    mono.wFormatTag = WAVE_FORMAT_PCM;
    mono.nChannels = 1;
    EXPECT_EQ(static_cast<CVariantDStream*>(stream)->FindFormat(&mono), STATUS_NOT_SUPPORTED);
    stream->Release();
}

} // namespace
