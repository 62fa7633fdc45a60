// The private I/O controls as a hostile or careless companion sends them: wrong buffer sizes,
// values the driver cannot work with, a scribbled ring header, and a fixed-seed fuzz run over
// all 22 codes. Every answer is checked against what a size or value calls for, and the
// companion's views must show nothing but its own rings.
#include "support/stream_rig.h"

#include "sim/host/asio_client.h"

#include "plat_io.h"
#include "plat_pool.h"

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace
{

const ULONG kAsioCodes[] = {
    IOCTL_ASIO_GET_PRODUCT_NAME,
    IOCTL_ASIO_GET_CHANNEL_COUNTS,
    IOCTL_ASIO_GET_CHANNEL_INFO,
    IOCTL_ASIO_GET_SAMPLE_TYPES,
    IOCTL_ASIO_GET_LATENCY_TABLE,
    IOCTL_ASIO_SET_CLIENT_EVENT,
    IOCTL_ASIO_GET_BUFFERS_IN_USE,
    IOCTL_ASIO_SET_SAMPLE_TYPE,
    IOCTL_ASIO_SET_LATENCY,
    IOCTL_ASIO_GET_LATENCIES,
    IOCTL_ASIO_GET_SAMPLE_RATE,
    IOCTL_ASIO_CAN_SAMPLE_RATE,
    IOCTL_ASIO_SET_SAMPLE_RATE,
    IOCTL_ASIO_GET_BUFFER_SIZE,
    IOCTL_ASIO_MAP_BUFFERS,
    IOCTL_ASIO_UNMAP_BUFFERS,
    IOCTL_ASIO_START,
    IOCTL_ASIO_STOP,
    IOCTL_ASIO_CLEAR_CLIENT_EVENT,
    IOCTL_ASIO_CAN_IO_FORMAT,
    IOCTL_ASIO_SET_IO_FORMAT,
    IOCTL_ASIO_GET_IO_FORMAT,
};
static_assert(sizeof(kAsioCodes) / sizeof(kAsioCodes[0]) == 22, "the interface has 22 codes");

constexpr ULONG kUsbdTag = MAKE_POOL_TAG('U', 'S', 'B', 'd');

class AsioControls : public rig::StreamRig
{
protected:
    void SetUp() override
    {
        rig::StreamRig::SetUp();
        ASSERT_EQ(PlugAndStart("uac1-headset-asio"), STATUS_SUCCESS);
        ASSERT_EQ(sim::AsioClient::Open(&m_pClient, Pdo()), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (m_pClient)
            m_pClient->Close();
        m_pClient.reset();
        rig::StreamRig::TearDown();
    }

    sim::IoResult Send(ULONG code, ULONG inLength, ULONG outLength, ULONG value = 0)
    {
        std::vector<UCHAR> in(inLength + 8, 0), out(outLength + 8, 0);
        std::memcpy(in.data(), &value, sizeof(value));
        return m_pClient->Control(code, inLength ? in.data() : nullptr, inLength,
                                  outLength ? out.data() : nullptr, outLength);
    }

    // Every view the companion has is one whole ring block of the driver's and nothing more.
    void CheckViewsAreRingsOnly()
    {
        for (const plat::UserMapping& view : plat::MmUserMappings())
        {
            ULONG tag = 0;
            SIZE_T size = 0;
            POOL_TYPE type;
            ASSERT_TRUE(plat::PoolQueryBlock(view.ViewStart, &tag, &size, &type))
                << "a view starts outside any pool block";
            EXPECT_EQ(tag, kUsbdTag);
            EXPECT_EQ(size, view.ViewBytes) << "the view shows memory beyond its ring";
            EXPECT_EQ(view.ViewStart, view.Address);
            EXPECT_EQ(view.ProcessId, plat::kClientProcessId);
        }
    }

    std::unique_ptr<sim::AsioClient> m_pClient;
};

struct SizeCase
{
    const char* Name;
    ULONG Code;
    ULONG InLength;
    ULONG OutLength;
    NTSTATUS Status;
    ULONG_PTR Information;
};

// Short or wrong-sized buffers are refused with the status the direction calls for; an error
// reaches the companion as its status alone. The size queries have a test of their own.
TEST_F(AsioControls, WrongSizesAreRefused)
{
    const SizeCase cases[] = {
        // name                       code                            in  out status information
        {"channel counts 20 bytes", IOCTL_ASIO_GET_CHANNEL_COUNTS, 0, 20, STATUS_INVALID_PARAMETER, 0},
        {"channel counts", IOCTL_ASIO_GET_CHANNEL_COUNTS, 0, 16, STATUS_SUCCESS, 16},
        {"channel info short input", IOCTL_ASIO_GET_CHANNEL_INFO, 8, 52, STATUS_INVALID_PARAMETER, 0},
        {"channel info 48 bytes out", IOCTL_ASIO_GET_CHANNEL_INFO, 52, 48, STATUS_INVALID_PARAMETER, 0},
        {"channel info", IOCTL_ASIO_GET_CHANNEL_INFO, 52, 52, STATUS_SUCCESS, 52},
        {"sample types", IOCTL_ASIO_GET_SAMPLE_TYPES, 0, 64, STATUS_SUCCESS, 12},
        {"latency table", IOCTL_ASIO_GET_LATENCY_TABLE, 0, 64, STATUS_SUCCESS, 40},
        {"client event 2 bytes", IOCTL_ASIO_SET_CLIENT_EVENT, 2, 0, STATUS_INVALID_PARAMETER, 0},
        {"buffers in use", IOCTL_ASIO_GET_BUFFERS_IN_USE, 0, 8, STATUS_SUCCESS, 4},
        {"sample type 2 bytes", IOCTL_ASIO_SET_SAMPLE_TYPE, 2, 0, STATUS_INVALID_PARAMETER, 0},
        {"latency 2 bytes", IOCTL_ASIO_SET_LATENCY, 2, 0, STATUS_INVALID_PARAMETER, 0},
        {"latency with output", IOCTL_ASIO_SET_LATENCY, 4, 8, STATUS_SUCCESS, 0},
        {"latencies 4 bytes", IOCTL_ASIO_GET_LATENCIES, 0, 4, STATUS_BUFFER_TOO_SMALL, 0},
        {"latencies in a large room", IOCTL_ASIO_GET_LATENCIES, 0, 64, STATUS_SUCCESS, 8},
        {"sample rate 3 bytes", IOCTL_ASIO_GET_SAMPLE_RATE, 0, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {"can rate 3 bytes", IOCTL_ASIO_CAN_SAMPLE_RATE, 3, 0, STATUS_INVALID_PARAMETER, 0},
        {"set rate 3 bytes", IOCTL_ASIO_SET_SAMPLE_RATE, 3, 0, STATUS_INVALID_PARAMETER, 0},
        {"buffer size 12 bytes", IOCTL_ASIO_GET_BUFFER_SIZE, 0, 12, STATUS_BUFFER_TOO_SMALL, 0},
        {"map 8 bytes", IOCTL_ASIO_MAP_BUFFERS, 8, 16, STATUS_INVALID_PARAMETER, 0},
        {"start 4 bytes", IOCTL_ASIO_START, 4, 0, STATUS_INVALID_PARAMETER, 0},
        {"stop with input", IOCTL_ASIO_STOP, 4, 0, STATUS_INVALID_PARAMETER, 0},
        {"clear event with input", IOCTL_ASIO_CLEAR_CLIENT_EVENT, 4, 0, STATUS_INVALID_PARAMETER, 0},
        {"can io format 1 byte", IOCTL_ASIO_CAN_IO_FORMAT, 1, 0, STATUS_INVALID_PARAMETER, 0},
        {"set io format 1 byte", IOCTL_ASIO_SET_IO_FORMAT, 1, 0, STATUS_INVALID_PARAMETER, 0},
        {"unassigned 0x812", 0x1DA048, 0, 0, STATUS_NOT_SUPPORTED, 0},
    };
    for (const SizeCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        const ULONG value = c.Code == IOCTL_ASIO_SET_LATENCY ? 4 : 0;
        sim::IoResult r = Send(c.Code, c.InLength, c.OutLength, value);
        EXPECT_EQ(r.Status, c.Status);
        EXPECT_EQ(r.Information, c.Information);
    }
}

// Values the driver would divide by or index with are refused, and nothing it stores changes.
TEST_F(AsioControls, UnusableValuesAreRefused)
{
    struct
    {
        ULONG Code;
        ULONG Value;
    } const refused[] = {
        {IOCTL_ASIO_SET_SAMPLE_RATE, 0},       {IOCTL_ASIO_SET_SAMPLE_RATE, 999},
        {IOCTL_ASIO_SET_SAMPLE_RATE, 3000000}, {IOCTL_ASIO_SET_LATENCY, 8},
        {IOCTL_ASIO_SET_LATENCY, 0xFFFFFFFF},  {IOCTL_ASIO_SET_SAMPLE_TYPE, 19},
        {IOCTL_ASIO_SET_SAMPLE_TYPE, 33},      {IOCTL_ASIO_SET_IO_FORMAT, 1},
        {IOCTL_ASIO_SET_IO_FORMAT, 7},
    };
    for (const auto& c : refused)
    {
        SCOPED_TRACE(c.Value);
        EXPECT_NE(m_pClient->SetValue(c.Code, c.Value), STATUS_SUCCESS);
    }
    ULONG rate = 0, format = 1;
    EXPECT_EQ(m_pClient->GetValue(IOCTL_ASIO_GET_SAMPLE_RATE, &rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(m_pClient->GetValue(IOCTL_ASIO_GET_IO_FORMAT, &format), STATUS_SUCCESS);
    EXPECT_EQ(format, ASIO_IO_FORMAT_PCM);
    AsioBufferSize size;
    ASSERT_EQ(m_pClient->GetBufferSize(&size), STATUS_SUCCESS);
    EXPECT_EQ(size.PreferredFrames, 960u) << "the latency index stayed 4";
    // A count whose entries would reach far past the request, and one that wraps 12 + 8 x count.
    for (ULONG count : {3u, 0x20000000u, 0xFFFFFFFFu})
    {
        UCHAR request[20] = {};
        AsioBufferRequest header = {0, count, 256};
        std::memcpy(request, &header, sizeof(header));
        ULONGLONG addresses[2] = {};
        EXPECT_EQ(m_pClient->Control(IOCTL_ASIO_MAP_BUFFERS, request, sizeof(request), addresses, 16).Status,
                  STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
}

// The companion may write anything into a ring's header; the driver never reads it back, keeps
// streaming exactly, and its views show the rings alone.
TEST_F(AsioControls, AScribbledHeaderChangesNothingTheDriverDoes)
{
    ASSERT_EQ(m_pClient->Map({{false, 0}, {false, 1}, {true, 0}}, 256), STATUS_SUCCESS);
    CheckViewsAreRingsOnly();
    ULONGLONG written = 0;
    m_pClient->SetRenderSource(
        [&](ULONG, UCHAR* data, ULONG bytes)
        {
            for (ULONG i = 0; i < bytes; ++i)
                data[i] = UCHAR(0x40 | ((written + i) % 61));
            written += bytes;
        });
    ASSERT_EQ(m_pClient->Start(), STATUS_SUCCESS);
    RunFor(50 * rig::kMillisecond);
    for (const sim::AsioRingView& ring : m_pClient->Rings())
    {
        ring.Header->RingBytes = 0xFFFFFFF0;
        ring.Header->DriverPosition = 0x7FFFFFFF;
        ring.Header->Channels = 200;
        ring.Header->Master = 1;
        ring.Header->Active = 1;
    }
    RunFor(50 * rig::kMillisecond);
    // The driver published its own positions again at its next transfer.
    EXPECT_LT(m_pClient->Rings()[0].Header->DriverPosition, 7680u);
    EXPECT_LT(m_pClient->Rings()[1].Header->DriverPosition, 3840u);
    ASSERT_EQ(m_pClient->Stop(), STATUS_SUCCESS);
    // Every byte the device played is one of the companion's, from the ring's own offsets.
    const std::vector<uint8_t> out = Streams().OutStream(DataEndpoints(false).at(0));
    ASSERT_GE(out.size(), 90u * 192);
    size_t foreign = 0;
    for (uint8_t b : out)
        foreign += b != 0 && (b & 0xC0) != 0x40;
    EXPECT_EQ(foreign, 0u);
    EXPECT_EQ(m_pClient->Unmap(), STATUS_SUCCESS);
}

// A fixed-seed run over the 22 codes with random sizes and contents, now and then a real map,
// start and stop in between: no fault, every answer a defined status, views that show only
// rings, and after the close nothing mapped and (at teardown) nothing leaked.
TEST_F(AsioControls, FuzzTheTwentyTwoControlsFromAFixedSeed)
{
    constexpr ULONG kSeed = 20261207;
    constexpr int kRequests = 3000;
    std::mt19937 random(kSeed);
    SCOPED_TRACE("seed " + std::to_string(kSeed));
    std::unique_ptr<sim::AsioClient> second;
    ASSERT_EQ(sim::AsioClient::Open(&second, Pdo()), STATUS_SUCCESS);
    int maps = 0, starts = 0;
    for (int n = 0; n < kRequests; ++n)
    {
        sim::AsioClient& client = (random() % 4 == 0) ? *second : *m_pClient;
        const ULONG pick = random() % 30;
        if (pick == 22)
        {
            maps += NT_SUCCESS(
                client.Map({{false, ULONG(random() % 3)}, {true, ULONG(random() % 2)}}, random() % 4096));
            CheckViewsAreRingsOnly();
            continue;
        }
        if (pick == 23)
        {
            starts += NT_SUCCESS(client.Start());
            RunFor((random() % 5) * rig::kMillisecond);
            continue;
        }
        if (pick == 24)
        {
            client.Stop();
            continue;
        }
        const ULONG code = pick < 22 ? kAsioCodes[pick] : 0x1D0000 | (random() & 0xFFFF);
        const ULONG inLength = random() % 3 == 0 ? random() % 8 * 4 : random() % 80;
        const ULONG outLength = random() % 3 == 0 ? random() % 8 * 4 : random() % 80;
        std::vector<UCHAR> in(inLength + 1), out(outLength + 1);
        for (UCHAR& b : in)
            b = UCHAR(random());
        // Small values make the settings reach their checks more often than random words would.
        if (inLength >= 4 && random() % 2)
        {
            const ULONG small = random() % 64 == 0 ? 0xFFFFFFFF
                                : random() % 3     ? random() % 200000
                                                   : random() % 40;
            std::memcpy(in.data(), &small, sizeof(small));
        }
        sim::IoResult r = client.Control(code, inLength ? in.data() : nullptr, inLength,
                                         outLength ? out.data() : nullptr, outLength);
        ASSERT_NE(r.Status, STATUS_PENDING) << "the device is in D0: nothing waits";
        if (NT_SUCCESS(r.Status))
        {
            ASSERT_LE(r.Information, outLength) << "code 0x" << std::hex << code;
        }
    }
    CheckViewsAreRingsOnly();
    // The run reached the rings and the streams, not only the refusals.
    EXPECT_GE(maps, 5);
    EXPECT_GE(starts, 3);
    EXPECT_EQ(second->Close(), STATUS_SUCCESS);
    EXPECT_EQ(m_pClient->Close(), STATUS_SUCCESS);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
}

} // namespace
