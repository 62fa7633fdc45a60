// The ASIO size queries as the companion sends them through the I/O manager: with no room it
// learns the length it needs, with a room one byte short it is refused, and with the exact room
// it gets the record. What it sees (status, Information and every byte of its buffer and past
// it) is checked against the device's own product string and the interface's fixed records.
#include "support/stream_rig.h"

#include "sim/host/asio_client.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr UCHAR kUnwritten = 0xCD;
constexpr ULONG kGuardBytes = 16;
// The name a device without a product string reports.
const char kNamelessDeviceName[] = "Quillax USB ASIO Device";

std::vector<UCHAR> Words(const std::vector<ULONG>& words)
{
    std::vector<UCHAR> bytes(words.size() * sizeof(ULONG));
    std::memcpy(bytes.data(), words.data(), bytes.size());
    return bytes;
}

// The product string as the device itself holds it, in the companion's 8-bit characters with its
// terminator; the fixed name when the device descriptor names no product string.
std::vector<UCHAR> ExpectedName(const sim::DeviceProfile& profile)
{
    std::string name = kNamelessDeviceName;
    const uint8_t productIndex = profile.DeviceDescriptor()[15];
    if (productIndex != 0)
    {
        const sim::ProfileString* text = profile.FindString(productIndex, 0x0409);
        EXPECT_NE(text, nullptr);
        name.clear();
        for (char16_t c : text ? text->Text : std::u16string())
            name += char(c);
        name.erase(name.find_last_not_of(' ') + 1);
    }
    std::vector<UCHAR> bytes(name.begin(), name.end());
    bytes.push_back(0);
    return bytes;
}

struct SizeQuery
{
    const char* Name;
    ULONG Code;
    std::vector<UCHAR> Record; // what the exact room receives; its size is the needed length
};

enum class Room
{
    None,
    OneShort,
    Exact,
};

class AsioSizeQueries : public rig::StreamRig
{
protected:
    // Each query at each room, on a started device with one companion open.
    void CheckEveryQuery()
    {
        std::unique_ptr<sim::AsioClient> client;
        ASSERT_EQ(sim::AsioClient::Open(&client, Pdo()), STATUS_SUCCESS);
        // Headset endpoints carry 16-bit samples only; the latency index starts at 4.
        const SizeQuery queries[] = {
            {"product name", IOCTL_ASIO_GET_PRODUCT_NAME, ExpectedName(Profile())},
            {"sample types", IOCTL_ASIO_GET_SAMPLE_TYPES, Words({ASIO_SAMPLE_INT16, 1, ASIO_SAMPLE_INT16})},
            {"latency table", IOCTL_ASIO_GET_LATENCY_TABLE, Words({4, 8, 4, 6, 8, 10, 20, 30, 40, 50})},
            {"buffers in use", IOCTL_ASIO_GET_BUFFERS_IN_USE, Words({0})},
            {"io format", IOCTL_ASIO_GET_IO_FORMAT, Words({ASIO_IO_FORMAT_PCM})},
        };
        for (const SizeQuery& query : queries)
        {
            for (Room room : {Room::None, Room::OneShort, Room::Exact})
            {
                SCOPED_TRACE(std::string(query.Name) + (room == Room::None       ? ", no room"
                                                        : room == Room::OneShort ? ", one byte short"
                                                                                 : ", exact room"));
                CheckQuery(client.get(), query, room);
            }
        }
        EXPECT_EQ(client->Close(), STATUS_SUCCESS);
    }

    static void CheckQuery(sim::AsioClient* client, const SizeQuery& query, Room room)
    {
        const ULONG needed = ULONG(query.Record.size());
        const ULONG length = room == Room::None ? 0 : room == Room::OneShort ? needed - 1 : needed;
        std::vector<UCHAR> out(length + kGuardBytes, kUnwritten);
        sim::IoResult r = client->Control(query.Code, nullptr, 0, out.data(), length);
        std::vector<UCHAR> expected(out.size(), kUnwritten);
        switch (room)
        {
        case Room::None:
            EXPECT_EQ(r.Status, STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(r.Information, needed);
            break;
        case Room::OneShort:
            EXPECT_EQ(r.Status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(r.Information, 0u);
            break;
        case Room::Exact:
            EXPECT_EQ(r.Status, STATUS_SUCCESS);
            EXPECT_EQ(r.Information, needed);
            std::copy(query.Record.begin(), query.Record.end(), expected.begin());
            break;
        }
        EXPECT_EQ(out, expected) << "the bytes the companion sees";
    }
};

TEST_F(AsioSizeQueries, EachQueryAtNoRoomOneShortAndExact)
{
    ASSERT_EQ(PlugAndStart("uac1-headset-asio"), STATUS_SUCCESS);
    CheckEveryQuery();
}

// The device descriptor names no product string: the name is the driver's own.
TEST_F(AsioSizeQueries, EachQueryOnADeviceWithoutAProductString)
{
    ASSERT_EQ(PlugAndStart(EditedProfile("uac1-headset-asio",
                                         {{"00 01 01 02 03 01  # device:", "00 01 01 00 03 01  # device:"}})),
              STATUS_SUCCESS);
    ASSERT_EQ(Profile().DeviceDescriptor()[15], 0u);
    CheckEveryQuery();
}

} // namespace
