// The runner's arrival check, fed a device stream piece by piece as the device's record hands it
// on: each case is a stream built around a known file, with the verdict and the output file's
// bytes it must give, whatever the sizes of the pieces.
#include <gtest/gtest.h>

#include "tools/uacsim/arrival_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBlock = 4; // stereo, 16-bit
constexpr uint32_t kContainer = 2;

Bytes Zeros(size_t n)
{
    return Bytes(n, 0);
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Frames frames, the first Silent of them silence, the rest a counting pattern with no zero byte.
Bytes File(size_t frames, size_t silent = 0)
{
    Bytes out = Zeros(silent * kBlock);
    for (size_t i = silent * kBlock; i < frames * kBlock; ++i)
        out.push_back(uint8_t(1 + i % 251));
    return out;
}

std::string Hex(unsigned Byte)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", Byte & 0xFF);
    return text;
}

struct Result
{
    uacsim::Arrival Arrival;
    Bytes Written;
};

// Runs the check over Got in pieces of Piece bytes, the file read in pieces of its own.
Result Check(const Bytes& Sent, const Bytes& Got, size_t Piece)
{
    const size_t first =
        size_t(std::find_if(Sent.begin(), Sent.end(), [](uint8_t b) { return b != 0; }) - Sent.begin());
    size_t read = 0;
    Result result;
    uacsim::ArrivalCheck check(
        [&](uint8_t* To, size_t Count)
        {
            const size_t n = std::min(Count, Sent.size() - read);
            std::copy_n(Sent.begin() + long(read), n, To);
            read += n;
            return n;
        },
        Sent.size(), first - first % kBlock, kBlock, kContainer,
        [&](const uint8_t* Data, size_t Count)
        {
            if (Data)
                result.Written.insert(result.Written.end(), Data, Data + Count);
            else
                result.Written.insert(result.Written.end(), Count, 0);
        });
    for (size_t at = 0; at < Got.size(); at += Piece)
        check.Add(Got.data() + at, std::min(Piece, Got.size() - at));
    result.Arrival = check.Finish();
    return result;
}

TEST(ArrivalCheck, FindsTheFileInTheStreamAndSaysWhereItDiffers)
{
    const Bytes file = File(40);
    Bytes changed = Join({Zeros(12), file, Zeros(8)});
    changed[12 + 4 * 9 + 3] ^= 0x40; // frame 9, channel 1
    Bytes loud = Join({Zeros(12), file, Zeros(8)});
    loud.back() = 1;
    const Bytes lateFirstByte = Join({Zeros(5), File(40, 2)}); // the file's sound starts a byte late
    const struct
    {
        const char* Name;
        Bytes Sent, Got;
        bool Exact;
        uint64_t Offset;
        std::string Why;
        Bytes Written;
    } cases[] = {
        {"exact after a lead", file, Join({Zeros(12), file, Zeros(8)}), true, 12, "", file},
        {"exact with silence first", File(40, 3), Join({Zeros(20), File(40, 3), Zeros(4)}), true, 20, "",
         File(40, 3)},
        {"a changed byte", file, changed, false, 12,
         "first difference at frame 9, channel 1: byte " + Hex(file[39] ^ 0x40) + " where the file has " +
             Hex(file[39]),
         Bytes(changed.begin() + 12, changed.begin() + 12 + long(file.size()))},
        {"cut short", file, Join({Zeros(8), Bytes(file.begin(), file.begin() + 60)}), false, 8,
         "the device received 15 of the file's 40 frames", Bytes(file.begin(), file.begin() + 60)},
        {"sound after the file", file, loud, false, 12, "sound after the end of the file", file},
        {"only silence", file, Zeros(64), false, 0, "the device received only silence", Zeros(64)},
        {"sound before the file has any", File(40, 6), Join({Zeros(8), file}), false, 0,
         "the device received sound before the file has any", Join({Zeros(8), file})},
        {"the first sound a byte late in its frame", File(40, 2), lateFirstByte, false, 4,
         "first difference at frame 2, channel 0: byte 0x00 where the file has 0x09",
         Bytes(lateFirstByte.begin() + 4, lateFirstByte.begin() + 164)},
        {"a silent file and silence", Zeros(40), Zeros(64), true, 0, "", Zeros(64)},
        {"a silent file and sound", Zeros(40), Join({Zeros(30), Bytes{1}, Zeros(30)}), false, 0,
         "the file is silence and the device received sound", Join({Zeros(30), Bytes{1}, Zeros(30)})},
    };
    for (const auto& c : cases)
        for (size_t piece : {size_t(1), size_t(3), size_t(4), size_t(37), size_t(1) << 20})
        {
            SCOPED_TRACE(std::string(c.Name) + ", pieces of " + std::to_string(piece));
            const Result r = Check(c.Sent, c.Got, piece);
            EXPECT_EQ(r.Arrival.Exact, c.Exact);
            EXPECT_EQ(r.Arrival.Why, c.Why);
            EXPECT_EQ(r.Arrival.Offset, c.Offset);
            EXPECT_EQ(r.Arrival.Received, c.Got.size());
            EXPECT_TRUE(r.Written == c.Written) << r.Written.size() << " bytes written";
        }
}

} // namespace
