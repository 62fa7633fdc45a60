// The simulated device's control side: standard requests answered from the profile,
// configuration and interface state, vendor and class requests, the request log and faults.
#include "sim/device/device_model.h"
#include "usb/real_device_corpus.h"
#include "usb/usbd_test_support.h"

#include <gtest/gtest.h>

#include <set>

namespace
{

using sim::ControlOutcome;
using sim::ControlResult;
using sim::SetupPacket;
using sim::UsbDeviceModel;

sim::DeviceProfile Builtin(const std::string& name)
{
    sim::DeviceProfile p;
    std::string error;
    EXPECT_TRUE(sim::LoadBuiltinProfile(name, &p, &error)) << error;
    return p;
}

// A built-in profile with extra lines.
sim::DeviceProfile Extended(const std::string& name, const std::string& lines)
{
    sim::DeviceProfile p;
    std::string error;
    EXPECT_TRUE(
        sim::DeviceProfile::Parse(std::string(sim::BuiltinProfileText(name)) + lines, name, ".", &p, &error))
        << error;
    return p;
}

SetupPacket GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint16_t length)
{
    return SetupPacket{0x80, 6, uint16_t(type << 8 | index), language, length};
}

SetupPacket SetConfiguration(uint16_t value)
{
    return SetupPacket{0x00, 9, value, 0, 0};
}
SetupPacket SetInterface(uint16_t iface, uint16_t alt)
{
    return SetupPacket{0x01, 11, alt, iface, 0};
}
SetupPacket GetInterface(uint16_t iface)
{
    return SetupPacket{0x81, 10, 0, iface, 1};
}

std::vector<uint8_t> Prefix(const std::vector<uint8_t>& v, size_t n)
{
    return std::vector<uint8_t>(v.begin(), v.begin() + std::min(n, v.size()));
}

TEST(UsbDeviceModel, DescriptorRequestsReturnTheProfileBytesCutToWLength)
{
    sim::DeviceProfile profile = Builtin("uac1-headset");
    UsbDeviceModel device(profile);
    const std::vector<uint8_t>& dev = profile.DeviceDescriptor();
    const std::vector<uint8_t>& cfg = profile.ConfigurationDescriptor();
    struct Row
    {
        uint8_t Type, Index;
        uint16_t Length;
        std::vector<uint8_t> Expected;
    };
    const Row rows[] = {
        {1, 0, 18, dev},
        {1, 0, 8, Prefix(dev, 8)},
        {1, 0, 255, dev},
        {2, 0, 9, Prefix(cfg, 9)},
        {2, 0, uint16_t(cfg.size()), cfg},
        {2, 0, 0xFFFF, cfg},
        {2, 0, 0, {}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message() << "type " << int(row.Type) << " length " << row.Length);
        ControlResult r = device.HandleControl(GetDescriptor(row.Type, row.Index, 0, row.Length));
        EXPECT_EQ(r.Outcome, ControlOutcome::Ack);
        EXPECT_EQ(r.Data, row.Expected);
    }
    // A second configuration, a device qualifier and an unknown type are stalled.
    EXPECT_EQ(device.HandleControl(GetDescriptor(2, 1, 0, 9)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(device.HandleControl(GetDescriptor(6, 0, 0, 10)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(device.HandleControl(GetDescriptor(0x44, 0, 0, 10)).Outcome, ControlOutcome::Stall);
    // GET_DESCRIPTOR sent host-to-device is not a valid request.
    EXPECT_EQ(device.HandleControl(SetupPacket{0x00, 6, 0x0100, 0, 18}).Outcome, ControlOutcome::Stall);
}

TEST(UsbDeviceModel, StringsByIndexAndLanguage)
{
    UsbDeviceModel device(Extended("uac1-speaker", "string 2 lang=0x0407 \"Lautsprecher\"\n"));

    ControlResult languages = device.HandleControl(GetDescriptor(3, 0, 0, 255));
    ASSERT_EQ(languages.Outcome, ControlOutcome::Ack);
    EXPECT_EQ(languages.Data, (std::vector<uint8_t>{6, 3, 0x09, 0x04, 0x07, 0x04}));

    // "0100-SPK" as UTF-16LE behind a two-byte header.
    const std::vector<uint8_t> id = {18, 3, '0', 0, '1', 0, '0', 0, '0', 0, '-', 0, 'S', 0, 'P', 0, 'K', 0};
    EXPECT_EQ(device.HandleControl(GetDescriptor(3, 0x50, 0x0409, 104)).Data, id);
    EXPECT_EQ(device.HandleControl(GetDescriptor(3, 0x50, 0x0409, 2)).Data, Prefix(id, 2));
    ControlResult german = device.HandleControl(GetDescriptor(3, 2, 0x0407, 255));
    ASSERT_EQ(german.Outcome, ControlOutcome::Ack);
    EXPECT_EQ(german.Data[0], 2 + 2 * 12);
    EXPECT_EQ(german.Data[2], 'L');

    // No string 0x32, and none in a language the device does not have.
    EXPECT_EQ(device.HandleControl(GetDescriptor(3, 0x32, 0x0409, 104)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(device.HandleControl(GetDescriptor(3, 0x50, 0x0407, 104)).Outcome, ControlOutcome::Stall);
}

TEST(UsbDeviceModel, ConfigurationAndAlternateSettings)
{
    UsbDeviceModel device(Builtin("uac1-headset"));
    // Unconfigured: interfaces cannot be selected and no endpoint is active.
    EXPECT_EQ(device.HandleControl(SetInterface(1, 1)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(device.HandleControl(GetInterface(1)).Outcome, ControlOutcome::Stall);
    EXPECT_TRUE(device.ActiveEndpoints().empty());
    EXPECT_EQ(device.HandleControl(SetConfiguration(2)).Outcome, ControlOutcome::Stall);

    ASSERT_EQ(device.HandleControl(SetConfiguration(1)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(device.Configuration(), 1);
    EXPECT_EQ(device.HandleControl(SetupPacket{0x80, 8, 0, 0, 1}).Data, (std::vector<uint8_t>{1}));
    // At alternate setting 0 only the status interrupt endpoint is active.
    auto active = device.ActiveEndpoints();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].Address, 0x83);
    EXPECT_EQ(active[0].MaxPacketSize, 2);

    struct Row
    {
        uint16_t Interface, Alt;
        ControlOutcome Outcome;
    };
    const Row rows[] = {
        {1, 2, ControlOutcome::Ack},   {1, 3, ControlOutcome::Stall}, {2, 1, ControlOutcome::Ack},
        {2, 2, ControlOutcome::Stall}, {5, 0, ControlOutcome::Stall}, {0, 0, ControlOutcome::Ack},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message() << "interface " << row.Interface << " alt " << row.Alt);
        EXPECT_EQ(device.HandleControl(SetInterface(row.Interface, row.Alt)).Outcome, row.Outcome);
    }
    EXPECT_EQ(device.AlternateSetting(1), 2);
    EXPECT_EQ(device.AlternateSetting(2), 1);
    EXPECT_EQ(device.AlternateSetting(9), -1);
    EXPECT_EQ(device.HandleControl(GetInterface(1)).Data, (std::vector<uint8_t>{2}));
    std::set<uint8_t> addresses;
    for (const sim::ActiveEndpoint& ep : device.ActiveEndpoints())
        addresses.insert(ep.Address);
    EXPECT_EQ(addresses, (std::set<uint8_t>{0x83, 0x01, 0x82}));

    // SET_CONFIGURATION returns every interface to setting 0; 0 unconfigures.
    ASSERT_EQ(device.HandleControl(SetConfiguration(1)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(device.AlternateSetting(1), 0);
    ASSERT_EQ(device.HandleControl(SetConfiguration(0)).Outcome, ControlOutcome::Ack);
    EXPECT_TRUE(device.ActiveEndpoints().empty());
    ASSERT_EQ(device.HandleControl(SetConfiguration(1)).Outcome, ControlOutcome::Ack);
    device.ResetPort();
    EXPECT_EQ(device.Configuration(), 0);
}

TEST(UsbDeviceModel, StatusAndEndpointHalt)
{
    UsbDeviceModel device(Builtin("uac1-speaker"));
    EXPECT_EQ(device.HandleControl(SetupPacket{0x80, 0, 0, 0, 2}).Data, (std::vector<uint8_t>{0, 0}));
    // The data endpoint exists only while its alternate setting is selected.
    SetupPacket haltOut{0x02, 3, 0, 0x01, 0};
    EXPECT_EQ(device.HandleControl(haltOut).Outcome, ControlOutcome::Stall);
    ASSERT_EQ(device.HandleControl(SetConfiguration(1)).Outcome, ControlOutcome::Ack);
    ASSERT_EQ(device.HandleControl(SetInterface(1, 1)).Outcome, ControlOutcome::Ack);
    ASSERT_EQ(device.HandleControl(haltOut).Outcome, ControlOutcome::Ack);
    SetupPacket status{0x82, 0, 0, 0x01, 2};
    EXPECT_EQ(device.HandleControl(status).Data, (std::vector<uint8_t>{1, 0}));
    ASSERT_EQ(device.HandleControl(SetupPacket{0x02, 1, 0, 0x01, 0}).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(device.HandleControl(status).Data, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(device.HandleControl(SetupPacket{0x82, 0, 0, 0x05, 2}).Outcome, ControlOutcome::Stall);
}

class RecordingClassHandler : public sim::IClassRequestHandler
{
public:
    ControlResult HandleClassRequest(const SetupPacket& setup, const std::vector<uint8_t>& outData) override
    {
        Calls.push_back(setup);
        OutData = outData;
        return ControlResult{ControlOutcome::Ack, {0x00, 0xF6, 0xEE}, 0};
    }
    std::vector<SetupPacket> Calls;
    std::vector<uint8_t> OutData;
};

TEST(UsbDeviceModel, VendorRequestsFromTheProfileAndClassRequestsThroughTheHandler)
{
    UsbDeviceModel device(
        Extended("uac1-speaker",
                 "vendor 0xC3 0x81 0 9 data 9F 55 66\nvendor 0x40 7 1 0 data\nvendor 0x40 7 0 0 stall\n"));
    EXPECT_EQ(device.HandleControl(SetupPacket{0xC3, 0x81, 0, 9, 1}).Data, (std::vector<uint8_t>{0x9F}));
    EXPECT_EQ(device.HandleControl(SetupPacket{0x40, 7, 1, 0, 0}).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(device.HandleControl(SetupPacket{0x40, 7, 0, 0, 0}).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(device.HandleControl(SetupPacket{0xC3, 0x81, 0, 8, 1}).Outcome, ControlOutcome::Stall);

    // Without a handler class requests stall; the handler's answer is cut to wLength.
    SetupPacket getVolume{0xA1, 0x81, 0x0200, 0x0200, 2};
    device.SetClassHandler(nullptr);
    EXPECT_EQ(device.HandleControl(getVolume).Outcome, ControlOutcome::Stall);
    RecordingClassHandler handler;
    device.SetClassHandler(&handler);
    ControlResult r = device.HandleControl(getVolume);
    EXPECT_EQ(r.Outcome, ControlOutcome::Ack);
    EXPECT_EQ(r.Data, (std::vector<uint8_t>{0x00, 0xF6}));
    device.HandleControl(SetupPacket{0x22, 0x01, 0x0100, 0x01, 3}, {0x80, 0xBB, 0x00});
    ASSERT_EQ(handler.Calls.size(), 2u);
    EXPECT_EQ(handler.Calls[1].RequestType, 0x22);
    EXPECT_EQ(handler.OutData, (std::vector<uint8_t>{0x80, 0xBB, 0x00}));
    device.SetClassHandler(nullptr);
}

TEST(UsbDeviceModel, LogRecordsEveryRequestInOrder)
{
    UsbDeviceModel device(Builtin("uac2-interface"));
    device.HandleControl(GetDescriptor(1, 0, 0, 18));
    device.HandleControl(GetDescriptor(3, 0x50, 0x0409, 104)); // stalls: class-2 profile has none
    device.HandleControl(SetConfiguration(1));
    device.HandleControl(SetupPacket{0x41, 0x10, 0, 1, 0});
    std::vector<sim::ControlRecord> log = device.Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].Sequence, 1u);
    EXPECT_EQ(log[0].Setup.Value, 0x0100);
    EXPECT_EQ(log[0].InLength, 18u);
    EXPECT_EQ(log[1].Outcome, ControlOutcome::Stall);
    EXPECT_EQ(log[2].Setup.Request, 9);
    EXPECT_EQ(log[3].Setup.RequestType, 0x41);
    EXPECT_EQ(log[3].Outcome, ControlOutcome::Ack);
    device.ClearLog();
    EXPECT_TRUE(device.Log().empty());
    device.HandleControl(GetDescriptor(1, 0, 0, 18));
    EXPECT_EQ(device.Log()[0].Sequence, 5u);
}

TEST(UsbDeviceModel, FaultsStallDelayAndVanish)
{
    UsbDeviceModel device(Builtin("uac1-speaker"));
    // The second request stalls, and only it.
    sim::DeviceFaults faults;
    faults.StallRequestNumber = 2;
    device.SetFaults(faults);
    EXPECT_EQ(device.HandleControl(GetDescriptor(1, 0, 0, 18)).Outcome, ControlOutcome::Ack);
    EXPECT_EQ(device.HandleControl(GetDescriptor(1, 0, 0, 18)).Outcome, ControlOutcome::Stall);
    EXPECT_EQ(device.HandleControl(GetDescriptor(1, 0, 0, 18)).Outcome, ControlOutcome::Ack);

    // Every string request stalls; other requests pass. Configuration reads are held 0.6 s.
    faults = sim::DeviceFaults();
    faults.StallMatching = true;
    faults.StallFilter.Value = -1;
    faults.StallFilter.Request = 6;
    faults.StallFilter.Index = 0x0409;
    faults.Delay100ns = 6000000;
    faults.DelayFilter.Value = 0x0200;
    device.SetFaults(faults);
    EXPECT_EQ(device.HandleControl(GetDescriptor(3, 2, 0x0409, 255)).Outcome, ControlOutcome::Stall);
    ControlResult cfg = device.HandleControl(GetDescriptor(2, 0, 0, 9));
    EXPECT_EQ(cfg.Outcome, ControlOutcome::Ack);
    EXPECT_EQ(cfg.Delay100ns, 6000000u);
    EXPECT_EQ(device.HandleControl(GetDescriptor(1, 0, 0, 18)).Delay100ns, 0u);
    EXPECT_EQ(device.Log().back().Delay100ns, 0u);

    // Vanished: nothing answers any more, and the log says so.
    faults = sim::DeviceFaults();
    faults.Vanished = true;
    device.SetFaults(faults);
    EXPECT_TRUE(device.IsVanished());
    EXPECT_EQ(device.HandleControl(GetDescriptor(1, 0, 0, 18)).Outcome, ControlOutcome::DeviceGone);
    EXPECT_EQ(device.HandleControl(SetConfiguration(1)).Outcome, ControlOutcome::DeviceGone);
    EXPECT_EQ(device.Log().back().Outcome, ControlOutcome::DeviceGone);
    EXPECT_EQ(device.Configuration(), 0);
}

TEST(UsbDeviceModel, EveryRealDeviceAnswersItsDescriptorsAndAcceptsEverySetting)
{
    corpus::ForEachRealDevice(
        [](const std::string& path, const std::vector<uint8_t>& file)
        {
            sim::DeviceProfile profile;
            std::string error;
            ASSERT_TRUE(sim::LoadProfile(path, &profile, &error)) << error;
            UsbDeviceModel device(profile);
            std::vector<uint8_t> got = device.HandleControl(GetDescriptor(1, 0, 0, 18)).Data;
            std::vector<uint8_t> cfg9 = device.HandleControl(GetDescriptor(2, 0, 0, 9)).Data;
            ASSERT_EQ(cfg9.size(), 9u);
            uint16_t total = uint16_t(cfg9[2] | cfg9[3] << 8);
            std::vector<uint8_t> cfg = device.HandleControl(GetDescriptor(2, 0, 0, total)).Data;
            got.insert(got.end(), cfg.begin(), cfg.end());
            EXPECT_EQ(got, file);

            ASSERT_EQ(device.HandleControl(SetConfiguration(cfg[5])).Outcome, ControlOutcome::Ack);
            // Every interface and alternate setting an independent walk finds can be selected.
            for (const usbdtest::WalkedDescriptor& d : usbdtest::Walk(cfg.data(), cfg.size()))
            {
                if (d.Type != 4)
                    continue;
                const uint8_t number = cfg[d.Offset + 2], alt = cfg[d.Offset + 3];
                EXPECT_EQ(device.HandleControl(SetInterface(number, alt)).Outcome, ControlOutcome::Ack)
                    << "interface " << int(number) << " alt " << int(alt);
                EXPECT_EQ(device.AlternateSetting(number), alt);
            }
            // The strings the device descriptor names answer in US English.
            if (file[15] != 0)
            {
                EXPECT_EQ(device.HandleControl(GetDescriptor(3, file[15], 0x0409, 255)).Outcome,
                          ControlOutcome::Ack);
            }
        });
}

} // namespace
