// The USBD helper library against an independent walk of the same bytes: the descriptor
// searches and the select-configuration request, on the built-in profiles, the real device
// corpus, hand-made malformed configurations and mutated dumps (run this suite under the
// address sanitizer to see that no search reads outside the buffer).
#include "usbd_test_support.h"
#include "sim/profiles/profile.h"
#include "usb/real_device_corpus.h"

#include "plat_pool.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>

namespace
{

using usbdtest::ExactBuffer;
using usbdtest::WalkedDescriptor;

size_t OffsetOf(const ExactBuffer& buffer, const void* p)
{
    return p == nullptr ? SIZE_MAX : static_cast<const uint8_t*>(p) - buffer.Bytes();
}

// Every interface the chained search finds for the given fields, as the driver's walk does
// it; at most `limit`, so that a search that never ends still ends the test.
std::vector<PUSB_INTERFACE_DESCRIPTOR> Chain(PUSB_CONFIGURATION_DESCRIPTOR cfg, LONG alternate, LONG cls,
                                             LONG subclass, size_t limit)
{
    std::vector<PUSB_INTERFACE_DESCRIPTOR> found;
    for (auto i = USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, alternate, cls, subclass, -1);
         i != nullptr && found.size() < limit;
         i = USBD_ParseConfigurationDescriptorEx(cfg, reinterpret_cast<PUCHAR>(i) + i->bLength, -1, alternate,
                                                 cls, subclass, -1))
        found.push_back(i);
    return found;
}

// Audio control with an interrupt endpoint, and a streaming interface with an empty
// alternate setting 0 and an isochronous endpoint at 1.
std::vector<uint8_t> SmallAudioConfig()
{
    return usbdtest::ConfigBuilder()
        .Interface(0, 0, 1, 1, 1, 0)
        .Raw({9, 0x24, 1, 0, 1, 9, 0, 1, 1})
        .Endpoint(0x81, 3, 2)
        .Interface(1, 0, 0, 1, 2, 0)
        .Interface(1, 1, 1, 1, 2, 0)
        .Endpoint(0x02, 0x09, 192)
        .Build();
}

// Checks every search of the library on one configuration buffer against the walk. The buffer
// holds exactly what the caller vouches for: max(wTotalLength, bytes present).
void CheckSearchesAgainstWalk(const ExactBuffer& buffer)
{
    PUSB_CONFIGURATION_DESCRIPTOR cfg = buffer.Configuration();
    const size_t total = usbdtest::TotalLength(buffer.Bytes());
    const std::vector<WalkedDescriptor> walked =
        total >= 9 ? usbdtest::Walk(buffer.Bytes(), total) : std::vector<WalkedDescriptor>();
    const std::vector<WalkedDescriptor> interfaces = usbdtest::Interfaces(walked);

    // By number and alternate setting: the first interface with that pair.
    std::map<std::pair<int, int>, size_t> firstByPair;
    for (const WalkedDescriptor& d : interfaces)
        firstByPair.emplace(std::make_pair(buffer.Bytes()[d.Offset + 2], buffer.Bytes()[d.Offset + 3]),
                            d.Offset);
    for (const auto& entry : firstByPair)
    {
        auto found =
            USBD_ParseConfigurationDescriptorEx(cfg, cfg, entry.first.first, entry.first.second, -1, -1, -1);
        EXPECT_EQ(OffsetOf(buffer, found), entry.second)
            << "interface " << entry.first.first << " alt " << entry.first.second;
    }
    // An interface number that no descriptor has is not found.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 300, -1, -1, -1, -1), nullptr);

    // Chained search for every audio-streaming interface, as the driver's walk does it.
    std::vector<size_t> expected;
    for (const WalkedDescriptor& d : interfaces)
    {
        if (buffer.Bytes()[d.Offset + 5] == 1 && buffer.Bytes()[d.Offset + 6] == 2)
            expected.push_back(d.Offset);
    }
    std::vector<size_t> got;
    for (PUSB_INTERFACE_DESCRIPTOR i : Chain(cfg, -1, 1, 2, expected.size() + 1))
        got.push_back(OffsetOf(buffer, i));
    EXPECT_EQ(got, expected);

    // Every endpoint descriptor by type, chained.
    std::vector<size_t> endpoints;
    for (const WalkedDescriptor& d : walked)
    {
        if (d.Type == USB_ENDPOINT_DESCRIPTOR_TYPE)
            endpoints.push_back(d.Offset);
    }
    std::vector<size_t> foundEndpoints;
    ULONG span = total >= 9 ? (ULONG)total : 0;
    for (PUSB_COMMON_DESCRIPTOR d = USBD_ParseDescriptors(cfg, span, cfg, USB_ENDPOINT_DESCRIPTOR_TYPE);
         d != nullptr && foundEndpoints.size() <= endpoints.size();
         d = USBD_ParseDescriptors(cfg, span, reinterpret_cast<PUCHAR>(d) + d->bLength,
                                   USB_ENDPOINT_DESCRIPTOR_TYPE))
        foundEndpoints.push_back(OffsetOf(buffer, d));
    EXPECT_EQ(foundEndpoints, endpoints);

    // Interface lengths run to the next interface descriptor or the end of the walk.
    for (size_t k = 0; k < interfaces.size(); ++k)
    {
        size_t end = walked.empty() ? 0 : walked.back().Offset + walked.back().Length;
        for (const WalkedDescriptor& d : walked)
        {
            if (d.Offset > interfaces[k].Offset && d.Type == USB_INTERFACE_DESCRIPTOR_TYPE)
            {
                end = d.Offset;
                break;
            }
        }
        auto iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(buffer.Bytes() + interfaces[k].Offset);
        EXPECT_EQ(USBD_GetInterfaceLength(iface, buffer.Bytes() + total), end - interfaces[k].Offset);
    }
}

// The interfaces at alternate setting 0 in number order, as a driver selects them.
std::vector<USBD_INTERFACE_LIST_ENTRY> AlternateZeroList(PUSB_CONFIGURATION_DESCRIPTOR cfg)
{
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG number = 0; number < 256 && list.size() < cfg->bNumInterfaces; ++number)
    {
        if (auto i = USBD_ParseConfigurationDescriptorEx(cfg, cfg, number, 0, -1, -1, -1))
            list.push_back({i, nullptr});
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
        expectedLength += 24 + 24 * list[k].InterfaceDescriptor->bNumEndpoints;
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

// The searches, and the request for every interface at alternate setting 0, on one
// well-formed configuration.
void CheckSearchesAndRequest(const ExactBuffer& buffer)
{
    CheckSearchesAgainstWalk(buffer);
    auto list = AlternateZeroList(buffer.Configuration());
    EXPECT_EQ(list.size(), buffer.Configuration()->bNumInterfaces + 1u);
    PURB urb = USBD_CreateConfigurationRequestEx(buffer.Configuration(), list.data());
    CheckRequest(buffer, list, urb);
    if (urb != nullptr)
        ExFreePool(urb);
}

TEST(Usbd, SearchesAndRequestMatchAnIndependentWalkOnEveryRealDevice)
{
    corpus::ForEachRealDevice(
        [](const std::string&, const std::vector<uint8_t>& file)
        {
            ASSERT_GT(file.size(), 18u + 9u);
            std::vector<uint8_t> cfg(file.begin() + 18, file.end());
            size_t total = usbdtest::TotalLength(cfg.data());
            ASSERT_EQ(total, cfg.size());
            ExactBuffer buffer(cfg);
            // A real device's configuration is well formed: the walk covers it to the last byte
            // and finds at least one audio-control interface.
            auto walked = usbdtest::Walk(cfg.data(), total);
            ASSERT_FALSE(walked.empty());
            EXPECT_EQ(walked.back().Offset + walked.back().Length, total);
            EXPECT_NE(USBD_ParseConfigurationDescriptorEx(buffer.Configuration(), buffer.Configuration(), -1,
                                                          -1, 1, 1, -1),
                      nullptr);
            CheckSearchesAndRequest(buffer);
        });
}

TEST(Usbd, SearchesAndRequestMatchAnIndependentWalkOnEveryBuiltinProfile)
{
    for (const std::string& name : sim::BuiltinProfileNames())
    {
        SCOPED_TRACE(name);
        sim::DeviceProfile profile;
        std::string error;
        ASSERT_TRUE(sim::LoadBuiltinProfile(name, &profile, &error)) << error;
        ExactBuffer buffer(profile.ConfigurationDescriptor());
        CheckSearchesAndRequest(buffer);
        PUSB_CONFIGURATION_DESCRIPTOR cfg = buffer.Configuration();
        auto control = USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, -1, 1, 1, -1);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->bInterfaceNumber, 0);
        EXPECT_EQ(control->bInterfaceProtocol, profile.AudioControlProtocol());
        // Every streaming interface has an empty alternate setting 0 and a setting 1 with data.
        for (LONG number = 1; number < cfg->bNumInterfaces; ++number)
        {
            auto zero = USBD_ParseConfigurationDescriptorEx(cfg, cfg, number, 0, 1, 2, -1);
            auto one = USBD_ParseConfigurationDescriptorEx(cfg, cfg, number, 1, 1, 2, -1);
            ASSERT_NE(zero, nullptr);
            ASSERT_NE(one, nullptr);
            EXPECT_EQ(zero->bNumEndpoints, 0);
            EXPECT_GE(one->bNumEndpoints, 1);
        }
    }
}

TEST(Usbd, MalformedConfigurationsAreWalkedOnlyAsFarAsTheyAreSound)
{
    const std::vector<uint8_t> good = SmallAudioConfig();
    struct Case
    {
        const char* Name;
        std::vector<uint8_t> Bytes;
        size_t BufferSize;   // bytes the caller holds
        int InterfacesFound; // interface descriptors the searches may reach
    };
    auto with = [&](size_t offset, uint8_t value)
    {
        std::vector<uint8_t> b = good;
        b[offset] = value;
        return b;
    };
    auto withTotal = [&](uint16_t total)
    {
        std::vector<uint8_t> b = good;
        b[2] = uint8_t(total);
        b[3] = uint8_t(total >> 8);
        return b;
    };
    const size_t n = good.size();
    const std::vector<Case> cases = {
        {"well formed", good, n, 3},
        {"bLength 0 after the first interface", with(18, 0), n, 1},
        {"bLength 1 on the first interface", with(9, 1), n, 0},
        {"last descriptor runs past wTotalLength", withTotal(uint16_t(n - 3)), n - 3, 3},
        {"wTotalLength below the configuration header", withTotal(5), 9, 0},
        {"wTotalLength zero", withTotal(0), 9, 0},
        {"wTotalLength beyond the data, zero tail", withTotal(uint16_t(n + 40)), n + 40, 3},
        {"runt interface descriptor of 5 bytes", with(9, 5), n, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        ExactBuffer buffer(c.Bytes.data(), c.Bytes.size(), c.BufferSize);
        CheckSearchesAgainstWalk(buffer);
        EXPECT_EQ(Chain(buffer.Configuration(), -1, -1, -1, 10).size(), size_t(c.InterfacesFound));
    }
}

TEST(Usbd, StartPositionOutsideTheConfigurationFindsNothing)
{
    std::vector<uint8_t> cfg = usbdtest::ConfigBuilder().Interface(0, 0, 0, 1, 1, 0).Build();
    ExactBuffer buffer(cfg);
    PUSB_CONFIGURATION_DESCRIPTOR c = buffer.Configuration();
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, buffer.Bytes() + cfg.size(), -1, -1, -1, -1, -1),
              nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, buffer.Bytes() - 1, -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(c, (ULONG)cfg.size(), buffer.Bytes() + cfg.size(), 4), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
    // From the start it is found, and the two-argument form agrees.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, 1, 1, 0),
              reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(buffer.Bytes() + 9));
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(c, 0, 0),
              reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(buffer.Bytes() + 9));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, 1, 1, 0x20), nullptr);
}

// Mutated real dumps (or, without the corpus, a made-up configuration): single-byte changes,
// bLength and wTotalLength changes and truncations: a fixed count from a fixed seed.
TEST(Usbd, MutatedDescriptorsNeverLeadOutsideTheBuffer)
{
    std::vector<std::vector<uint8_t>> seeds;
    for (const std::string& path : corpus::RealDeviceDumps())
    {
        std::vector<uint8_t> file = corpus::ReadFile(path);
        seeds.emplace_back(file.begin() + 18, file.end());
    }
    if (seeds.empty())
    {
        seeds.push_back(SmallAudioConfig());
    }
    const unsigned seed = 20260601;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const int kMutationsPerSeed = 150;
    for (size_t s = 0; s < seeds.size(); ++s)
    {
        for (int m = 0; m < kMutationsPerSeed; ++m)
        {
            std::vector<uint8_t> bytes = seeds[s];
            size_t bufferSize = bytes.size();
            auto walked = usbdtest::Walk(bytes.data(), bytes.size());
            const WalkedDescriptor& victim = walked[rng() % walked.size()];
            switch (rng() % 5)
            {
            case 0: // any byte
                bytes[rng() % bytes.size()] = uint8_t(rng());
                break;
            case 1: // a descriptor's bLength
                bytes[victim.Offset] = uint8_t(rng() % 3 == 0 ? rng() % 2 : rng());
                break;
            case 2: // wTotalLength larger than the data; the caller zero-fills the rest
            {
                size_t total = bytes.size() + 1 + rng() % 64;
                bytes[2] = uint8_t(total);
                bytes[3] = uint8_t(total >> 8);
                bufferSize = total;
                break;
            }
            case 3: // truncated: the caller holds only part, and says so
            {
                size_t total = 4 + rng() % bytes.size();
                bytes[2] = uint8_t(total);
                bytes[3] = uint8_t(total >> 8);
                bufferSize = total < 9 ? 9 : total;
                break;
            }
            default: // an endpoint count that disagrees with the endpoints present
                if (victim.Type == USB_INTERFACE_DESCRIPTOR_TYPE && victim.Length >= 9)
                    bytes[victim.Offset + 4] = uint8_t(rng());
                break;
            }
            // The caller always holds at least what wTotalLength claims.
            bufferSize = std::max(bufferSize, std::max<size_t>(usbdtest::TotalLength(bytes.data()), 9));
            SCOPED_TRACE(testing::Message() << "seed dump " << s << " mutation " << m);
            ExactBuffer buffer(bytes.data(), bytes.size(), bufferSize);
            CheckSearchesAgainstWalk(buffer);

            // Building a request from whatever the searches return stays inside the URB.
            std::vector<USBD_INTERFACE_LIST_ENTRY> list;
            for (PUSB_INTERFACE_DESCRIPTOR i : Chain(buffer.Configuration(), 0, -1, -1, 32))
                list.push_back({i, nullptr});
            list.push_back({nullptr, nullptr});
            PURB urb = USBD_CreateConfigurationRequestEx(buffer.Configuration(), list.data());
            if (urb != nullptr)
                ExFreePool(urb);
            if (HasFailure())
                return;
        }
    }
}

TEST(Usbd, RecordsFollowTheInterfacesAndTheirEndpoints)
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

TEST(Usbd, RefusesWhatCannotBeBuiltOrIsLongerThanAUrbLengthCanSay)
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
    auto one = AlternateZeroList(c);
    plat::FailNthAllocation(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, one.data()), nullptr);
    plat::ClearPoolFailures();
    EXPECT_EQ(one[0].Interface, nullptr);
    EXPECT_EQ(plat::PoolLeaksSince(snapshot), "");

    // Twelve interfaces that each claim 255 endpoints would need 73,768 bytes; the URB length
    // is 16 bits, so the request must be refused rather than built short.
    usbdtest::ConfigBuilder builder;
    for (uint8_t i = 0; i < 12; ++i)
        builder.Interface(i, 0, 255, 0xFF, 0, 0);
    ExactBuffer wide(builder.Build());
    auto list = AlternateZeroList(wide.Configuration());
    ASSERT_EQ(list.size(), 13u);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(wide.Configuration(), list.data()), nullptr);
    // Ten of them fit (61,480 bytes) and are built in full.
    list[10] = {nullptr, nullptr};
    PURB urb = USBD_CreateConfigurationRequestEx(wide.Configuration(), list.data());
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, 40 + 10 * (24 + 24 * 255));
    EXPECT_EQ(list[9].Interface->NumberOfPipes, 255u);
    ExFreePool(urb);
}

} // namespace
