// USBD_CreateConfigurationRequestEx: the select-configuration URB it builds, checked field by
// field against the endpoints actually present, and its pool use.
#include "usbd_test_support.h"
#include "sim/profiles/profile.h"
#include "usb/real_device_corpus.h"

#include "plat_pool.h"
#include "pool.h"

#include <gtest/gtest.h>

namespace
{

using usbdtest::ExactBuffer;

// The interfaces at alternate setting 0 in number order, as a driver selects them.
std::vector<USBD_INTERFACE_LIST_ENTRY> AlternateZeroList(PUSB_CONFIGURATION_DESCRIPTOR cfg)
{
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG number = 0; number < 256 && list.size() < cfg->bNumInterfaces; ++number)
    {
        if (auto i = USBD_ParseConfigurationDescriptorEx(cfg, cfg, number, 0, -1, -1, -1))
        {
            list.push_back({i, nullptr});
        }
    }
    list.push_back({nullptr, nullptr});
    return list;
}

// Checks the URB against the list and the endpoint descriptors counted by an independent walk.
void CheckRequest(const ExactBuffer& buffer, const std::vector<USBD_INTERFACE_LIST_ENTRY>& list, PURB urb)
{
    ASSERT_NE(urb, nullptr);
    auto walked = usbdtest::Walk(buffer.Bytes(), usbdtest::TotalLength(buffer.Bytes()));
    size_t expectedLength = 40;
    for (size_t k = 0; list[k].InterfaceDescriptor != nullptr; ++k)
    {
        expectedLength += 24 + 24 * list[k].InterfaceDescriptor->bNumEndpoints;
    }
    EXPECT_EQ(urb->UrbHeader.Length, expectedLength);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Status, 0);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, buffer.Configuration());
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);

    ULONG tag = 0;
    SIZE_T size = 0;
    POOL_TYPE type;
    ASSERT_TRUE(plat::PoolQueryBlock(urb, &tag, &size, &type));
    EXPECT_EQ(tag, USBD_POOL_TAG);
    EXPECT_EQ(size, expectedLength);
    EXPECT_EQ(type, NonPagedPool);

    PUCHAR expectedRecord = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (size_t k = 0; list[k].InterfaceDescriptor != nullptr; ++k)
    {
        SCOPED_TRACE(testing::Message() << "interface entry " << k);
        PUSB_INTERFACE_DESCRIPTOR d = list[k].InterfaceDescriptor;
        PUSBD_INTERFACE_INFORMATION info = list[k].Interface;
        ASSERT_EQ(reinterpret_cast<PUCHAR>(info), expectedRecord);
        size_t offset = reinterpret_cast<PUCHAR>(d) - buffer.Bytes();
        size_t endpoints = usbdtest::EndpointsAfter(walked, offset);
        EXPECT_EQ(info->NumberOfPipes, endpoints);
        EXPECT_EQ(info->Length, 24 + 24 * endpoints);
        EXPECT_EQ(info->InterfaceNumber, buffer.Bytes()[offset + 2]);
        EXPECT_EQ(info->AlternateSetting, 0);
        EXPECT_EQ(info->InterfaceHandle, nullptr);
        PUSBD_PIPE_INFORMATION pipes = info->Pipes;
        for (ULONG p = 0; p < info->NumberOfPipes; ++p)
        {
            EXPECT_EQ(pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
            EXPECT_EQ(pipes[p].PipeFlags, 0u);
            EXPECT_EQ(pipes[p].PipeHandle, nullptr);
        }
        expectedRecord += info->Length;
    }
    EXPECT_EQ(expectedRecord, reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
}

TEST(UsbdConfigurationRequest, RecordsFollowTheInterfacesAndTheirEndpoints)
{
    std::vector<uint8_t> cfg = usbdtest::ConfigBuilder()
                                   .Interface(0, 0, 1, 1, 1, 0)
                                   .Raw({9, 0x24, 1, 0, 1, 9, 0, 1, 1})
                                   .Endpoint(0x83, 3, 2)
                                   .Interface(1, 0, 0, 1, 2, 0)
                                   .Interface(1, 1, 2, 1, 2, 0)
                                   .Endpoint(0x01, 0x05, 200)
                                   .Endpoint(0x81, 0x11, 4)
                                   .Interface(2, 0, 2, 3, 0, 0)
                                   .Endpoint(0x82, 3, 8)
                                   .Endpoint(0x02, 3, 8)
                                   .Build();
    ExactBuffer buffer(cfg);
    auto snapshot = plat::TakePoolSnapshot();
    auto list = AlternateZeroList(buffer.Configuration());
    ASSERT_EQ(list.size(), 4u);
    PURB urb = USBD_CreateConfigurationRequestEx(buffer.Configuration(), list.data());
    CheckRequest(buffer, list, urb);
    ASSERT_NE(urb, nullptr);
    // 40 + (24 + 24) + 24 + (24 + 48): the streaming interface is selected with no pipes at alt 0.
    EXPECT_EQ(urb->UrbHeader.Length, 184);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 0u);
    EXPECT_EQ(list[2].Interface->NumberOfPipes, 2u);
    ExFreePool(urb);
    EXPECT_EQ(plat::PoolLeaksSince(snapshot), "");
}

TEST(UsbdConfigurationRequest, EveryRealDeviceGetsAConsistentRequest)
{
    corpus::ForEachRealDevice(
        [](const std::string&, const std::vector<uint8_t>& file)
        {
            ExactBuffer buffer(std::vector<uint8_t>(file.begin() + 18, file.end()));
            auto list = AlternateZeroList(buffer.Configuration());
            EXPECT_EQ(list.size(), buffer.Configuration()->bNumInterfaces + 1u);
            PURB urb = USBD_CreateConfigurationRequestEx(buffer.Configuration(), list.data());
            CheckRequest(buffer, list, urb);
            if (urb != nullptr)
                ExFreePool(urb);
        });
}

TEST(UsbdConfigurationRequest, EveryBuiltinProfileGetsAConsistentRequest)
{
    for (const std::string& name : sim::BuiltinProfileNames())
    {
        SCOPED_TRACE(name);
        sim::DeviceProfile profile;
        std::string error;
        ASSERT_TRUE(sim::LoadBuiltinProfile(name, &profile, &error)) << error;
        ExactBuffer buffer(profile.ConfigurationDescriptor());
        auto list = AlternateZeroList(buffer.Configuration());
        EXPECT_EQ(list.size(), buffer.Configuration()->bNumInterfaces + 1u);
        PURB urb = USBD_CreateConfigurationRequestEx(buffer.Configuration(), list.data());
        CheckRequest(buffer, list, urb);
        if (urb != nullptr)
        {
            ExFreePool(urb);
        }
    }
}

TEST(UsbdConfigurationRequest, RefusesWhatCannotBeBuilt)
{
    std::vector<uint8_t> cfg = usbdtest::ConfigBuilder().Interface(0, 0, 0, 1, 1, 0).Build();
    ExactBuffer buffer(cfg);
    PUSB_CONFIGURATION_DESCRIPTOR c = buffer.Configuration();
    auto snapshot = plat::TakePoolSnapshot();

    USBD_INTERFACE_LIST_ENTRY empty[] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, empty), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, nullptr), nullptr);

    // An interface pointer that does not lie inside this configuration.
    USB_INTERFACE_DESCRIPTOR stray = {9, 4, 0, 0, 0, 1, 1, 0, 0};
    USBD_INTERFACE_LIST_ENTRY outside[] = {{&stray, nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, outside), nullptr);

    // Out of memory.
    auto list = AlternateZeroList(c);
    plat::FailNthAllocation(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, list.data()), nullptr);
    plat::ClearPoolFailures();
    EXPECT_EQ(list[0].Interface, nullptr);
    EXPECT_EQ(plat::PoolLeaksSince(snapshot), "");
}

TEST(UsbdConfigurationRequest, RefusesARequestLongerThanAUrbLengthCanSay)
{
    // Twelve interfaces that each claim 255 endpoints would need 73,768 bytes; the URB length
    // is 16 bits, so the request must be refused rather than built short.
    usbdtest::ConfigBuilder builder;
    for (uint8_t i = 0; i < 12; ++i)
    {
        builder.Interface(i, 0, 255, 0xFF, 0, 0);
    }
    ExactBuffer buffer(builder.Build());
    auto list = AlternateZeroList(buffer.Configuration());
    ASSERT_EQ(list.size(), 13u);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(buffer.Configuration(), list.data()), nullptr);
    // Ten of them fit (61,480 bytes) and are built in full.
    list[10] = {nullptr, nullptr};
    PURB urb = USBD_CreateConfigurationRequestEx(buffer.Configuration(), list.data());
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, 40 + 10 * (24 + 24 * 255));
    EXPECT_EQ(list[9].Interface->NumberOfPipes, 255u);
    ExFreePool(urb);
}

} // namespace
