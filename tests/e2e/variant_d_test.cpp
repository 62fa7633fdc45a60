// The effects model (variant D) end to end: the profile starts with the whole driver, its
// feature unit's memory block makes the two vendor controls effect nodes on the topology filter,
// and their switches reach the device as vendor requests the device keeps.
#include "e2e_rig.h"

#include "driver/function/variants/variant_d_device.h"
#include "driver/usb/usb_device.h"

#include <algorithm>

namespace
{

using e2e::DriverRig;

// The effect nodes' names on the topology filter.
const GUID kDelayName = {0xAC02E636, 0xCB62, 0x42EF, {0xA9, 0x7C, 0x5F, 0x4C, 0x1C, 0xDF, 0xEC, 0x13}};
const GUID kVirtualiserName = {0xC7600B33, 0x1AA6, 0x4383, {0x91, 0x8D, 0x30, 0xD8, 0x48, 0xBB, 0xAD, 0x3E}};

constexpr uint8_t kEffectUnit = 2;
constexpr uint8_t kDelaySelector = 139;
constexpr uint8_t kVirtualiserSelector = 140;
constexpr uint8_t kVendorInterfaceOut = 0x41;
constexpr uint8_t kGetMem = 0x85;

class VariantDE2e : public DriverRig
{
protected:
    // The KS node of the effect named Name; ~0u when the filter has none.
    ULONG EffectNode(const GUID& Name)
    {
        std::vector<sim::NodeInfo> nodes;
        EXPECT_EQ(Panel().GetNodes(&nodes), STATUS_SUCCESS);
        for (const sim::NodeInfo& node : nodes)
        {
            if (node.HasName && IsEqualGUID(node.Name, Name))
            {
                EXPECT_TRUE(IsEqualGUID(node.Type, KSNODETYPE_DEV_SPECIFIC));
                return node.Id;
            }
        }
        return ~0u;
    }
    std::vector<sim::ControlRecord> VendorWrites(uint8_t Selector)
    {
        std::vector<sim::ControlRecord> writes;
        for (const sim::ControlRecord& r : Device().Model().Log())
        {
            if (r.Setup.RequestType == kVendorInterfaceOut && r.Setup.Request == e2e::kSetCur &&
                r.Setup.Value >> 8 == Selector)
                writes.push_back(r);
        }
        return writes;
    }
};

TEST_F(VariantDE2e, StartsWithBothEffectNodesReadFromTheUnitsMemory)
{
    LoadOn("uac1-variant-d5");
    StartOk();
    EXPECT_NE(EffectNode(kDelayName), ~0u) << plat::DebugLogText();
    EXPECT_NE(EffectNode(kVirtualiserName), ~0u) << plat::DebugLogText();
    // The map was read the way the device serves it: its length first, then the whole block.
    std::vector<uint16_t> memoryReads;
    for (const sim::ControlRecord& r : Device().Model().Log())
    {
        if (r.Setup.Request == kGetMem && r.Setup.Index >> 8 == kEffectUnit &&
            r.Outcome == sim::ControlOutcome::Ack)
            memoryReads.push_back(r.Setup.Value);
    }
    EXPECT_EQ(memoryReads, (std::vector<uint16_t>{0x0010, 0x0000}));
}

// The model-6 headset has no memory block: the device starts as variant D without effect nodes.
TEST_F(VariantDE2e, AUnitWithoutMemoryGivesNoEffectNodes)
{
    LoadOn("uac1-variant-d6");
    StartOk();
    EXPECT_EQ(EffectNode(kDelayName), ~0u);
    EXPECT_EQ(EffectNode(kVirtualiserName), ~0u);
}

// Each switch goes to the unit's master channel as a vendor SET_CUR that the device keeps, and
// reads back through the filter.
TEST_F(VariantDE2e, EffectSwitchesReachTheDevice)
{
    LoadOn("uac1-variant-d5");
    StartOk();
    struct Case
    {
        const GUID* Name;
        uint8_t Selector;
    };
    for (const Case& c : {Case{&kDelayName, kDelaySelector}, Case{&kVirtualiserName, kVirtualiserSelector}})
    {
        SCOPED_TRACE(int(c.Selector));
        const ULONG node = EffectNode(*c.Name);
        ASSERT_NE(node, ~0u);
        for (LONG value : {1, 0, 1})
        {
            Device().Model().ClearLog();
            ASSERT_EQ(Panel().SetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, -1, value),
                      STATUS_SUCCESS);
            const std::vector<sim::ControlRecord> writes = VendorWrites(c.Selector);
            ASSERT_EQ(writes.size(), 1u);
            EXPECT_EQ(writes[0].Setup.Value, uint16_t(c.Selector << 8)); // the master channel
            EXPECT_EQ(writes[0].Setup.Index >> 8, kEffectUnit);
            EXPECT_EQ(writes[0].OutData, std::vector<uint8_t>{uint8_t(value)});
            EXPECT_EQ(DeviceValue(kEffectUnit, c.Selector, 0), value);
            LONG back = -1;
            ASSERT_EQ(Panel().GetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, -1, &back),
                      STATUS_SUCCESS);
            EXPECT_EQ(back, value);
        }
    }
}

// The model code picks the capability record every endpoint reports: model 5 on any device,
// model 6 by vendor and product (the headset's ids fall to the catch-all row).
TEST_F(VariantDE2e, EndpointCapabilitiesFollowTheModelCode)
{
    struct Case
    {
        const char* Profile;
        ULONG Mask, Extra, Flags;
    };
    for (const Case& c : {Case{"uac1-variant-d5", 0x20006, 8, 0}, Case{"uac1-variant-d6", 0x3E1084, 0, 0}})
    {
        SCOPED_TRACE(c.Profile);
        TearDown();
        SetUp();
        LoadOn(c.Profile);
        StartOk();
        ASSERT_GT(Adapter()->GetStreamCount(), 0u);
        for (ULONG endpoint = 0; endpoint < Adapter()->GetStreamCount(); ++endpoint)
        {
            EndpointCaps caps = {};
            ASSERT_EQ(Adapter()->GetEndpointCaps(endpoint, &caps), STATUS_SUCCESS);
            EXPECT_EQ(caps.Mask, c.Mask);
            EXPECT_EQ(caps.Extra, c.Extra);
            EXPECT_EQ(caps.Flags & ~ENDPOINT_CAPS_FLAG_ASIO, c.Flags);
        }
    }
}

// A model code the identification string cannot give (a creator that passes 7): the device is
// refused before anything is walked, and says why.
NTSTATUS CreateWithModelSeven(PUNKNOWN* Unknown, PUNKNOWN Outer, USHORT VendorId, USHORT ProductId, ULONG)
{
    return CreateVariantDDevice(Unknown, Outer, VendorId, ProductId, 7);
}

TEST_F(VariantDE2e, AnUnknownModelCodeIsRefused)
{
    AudioFunctionCreators creators = *UsbDeviceAudioFunctionCreators();
    creators.VariantD = CreateWithModelSeven;
    UsbDeviceSetAudioFunctionCreators(&creators);
    LoadOn("uac1-variant-d5");
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    UsbDeviceSetAudioFunctionCreators(nullptr);
    EXPECT_NE(plat::DebugLogText().find("model code 7"), std::string::npos) << plat::DebugLogText();
    for (const sim::ControlRecord& r : Device().Model().Log())
        EXPECT_NE(r.Setup.Request, kGetMem) << "the walk ran";
}

} // namespace
