// Float settings and endpoints with nothing to offer, on the whole driver over the simulated
// device. A class-1 setting tagged IEEE float is offered as float through the wave filter in
// either direction, and a float capture hands the audio stack the device's own signal. A setting
// the driver does not stream is left out with a message that names it, an endpoint left with
// nothing gets no wave filter, and the device starts with the rest. The real dumps are edited at
// run time (a case is skipped when they are absent); the class-2 case edits a built-in profile.
#include "support/stream_rig.h"

#include "plat_debug.h"
#include "sim/host/audio_engine.h"
#include "sim/host/control_panel.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace
{

struct ByteEdit
{
    size_t Offset;
    uint8_t Value;
};

// dev06: its capture setting (interface 1, alternate 1) and its 16-bit render setting
// (interface 2, alternate 1) made 4-byte, 32-bit IEEE float, with packets that hold 49 frames.
const std::vector<ByteEdit> kDev06FloatCapture = {{151, 3}, {158, 4}, {159, 32}, {168, 0x88}, {169, 0x01}};
const std::vector<ByteEdit> kDev06FloatRender = {{203, 3}, {210, 4}, {211, 32}, {223, 0x88}, {224, 0x01}};
// The capture setting tagged float on its 2-byte subframes: no float a client can take.
const std::vector<ByteEdit> kDev06ShortFloatCapture = {{151, 3}};

// What a wave filter's streaming pin offers, range by range.
struct OfferedRange
{
    GUID SubFormat;
    ULONG Channels, MinBits, MaxBits, MinRate, MaxRate;
};

const GUID kPcm = KSDATAFORMAT_SUBTYPE_PCM;
const GUID kIeee = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;

class FloatFormatsE2e : public rig::StreamRig
{
protected:
    // A real dump with bytes changed, as the device's profile; false when the dump is absent.
    static bool EditedDump(const char* File, const std::vector<ByteEdit>& Edits, sim::DeviceProfile* Profile)
    {
        std::ifstream in(rig::RealDevicesFolder() + "/" + File, std::ios::binary);
        if (!in)
            return false;
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (const ByteEdit& edit : Edits)
        {
            EXPECT_LT(edit.Offset, bytes.size());
            if (edit.Offset < bytes.size())
                bytes[edit.Offset] = edit.Value;
        }
        std::string error;
        EXPECT_TRUE(sim::ProfileFromDump(bytes, File, Profile, &error)) << error;
        return true;
    }

    // The built-in class-2 interface with its capture setting carrying IEEE float only.
    static sim::DeviceProfile FloatCaptureInterface()
    {
        const std::string general = "10 24 01 06 00 01 01 00 00 00 02 03"; // terminal 6, bmFormats 1
        std::string text =
            EditedProfile("uac2-interface", {{general, "10 24 01 06 00 01 04 00 00 00 02 03"}});
        const size_t subslots = text.find("06 24 02 01 04 18", text.find("10 24 01 06"));
        EXPECT_NE(subslots, std::string::npos);
        if (subslots != std::string::npos)
            text.replace(subslots, 17, "06 24 02 01 04 20");
        sim::DeviceProfile profile;
        rig::LoadAnyProfile(text, &profile);
        return profile;
    }

    // The name of the wave filter of the direction; empty when the device has none.
    std::u16string WaveFilter(bool Capture)
    {
        for (const sim::WaveFilterInfo& f : sim::AudioPin::EnumerateWaveFilters(Pdo()))
            if (f.Capture == Capture)
                return f.Name;
        return u"";
    }

    // The data ranges of the filter's streaming pin, as the audio stack reads them.
    std::vector<OfferedRange> Ranges(const std::u16string& Filter)
    {
        std::vector<OfferedRange> ranges;
        std::unique_ptr<sim::ControlPanel> panel;
        EXPECT_EQ(sim::ControlPanel::Open(Pdo(), Filter, &panel), STATUS_SUCCESS);
        if (!panel)
            return ranges;
        const sim::PropertyResult reply =
            panel->Property(sim::PropertyTarget::OnPin(0), KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES,
                            KSPROPERTY_TYPE_GET, 4096);
        EXPECT_EQ(reply.Status, STATUS_SUCCESS);
        if (reply.Value.size() < sizeof(KSMULTIPLE_ITEM))
            return ranges;
        KSMULTIPLE_ITEM header = {};
        std::memcpy(&header, reply.Value.data(), sizeof(header));
        size_t at = sizeof(header);
        for (ULONG i = 0; i < header.Count && at + sizeof(KSDATARANGE_AUDIO) <= reply.Value.size(); ++i)
        {
            KSDATARANGE_AUDIO r = {};
            std::memcpy(&r, reply.Value.data() + at, sizeof(r));
            ranges.push_back({r.DataRange.SubFormat, r.MaximumChannels, r.MinimumBitsPerSample,
                              r.MaximumBitsPerSample, r.MinimumSampleFrequency, r.MaximumSampleFrequency});
            at += (r.DataRange.FormatSize + 7) & ~size_t(7);
        }
        return ranges;
    }

    void ExpectRanges(bool Capture, const std::vector<OfferedRange>& Expected)
    {
        SCOPED_TRACE(Capture ? "capture filter" : "render filter");
        const std::u16string filter = WaveFilter(Capture);
        ASSERT_EQ(filter.empty(), Expected.empty());
        if (filter.empty())
            return;
        const std::vector<OfferedRange> got = Ranges(filter);
        ASSERT_EQ(got.size(), Expected.size());
        for (size_t i = 0; i < got.size(); ++i)
        {
            SCOPED_TRACE("range " + std::to_string(i));
            EXPECT_TRUE(IsEqualGUID(got[i].SubFormat, Expected[i].SubFormat));
            EXPECT_EQ(got[i].Channels, Expected[i].Channels);
            EXPECT_EQ(got[i].MinBits, Expected[i].MinBits);
            EXPECT_EQ(got[i].MaxBits, Expected[i].MaxBits);
            EXPECT_EQ(got[i].MinRate, Expected[i].MinRate);
            EXPECT_EQ(got[i].MaxRate, Expected[i].MaxRate);
        }
    }
};

// Each device starts; each wave filter offers what its settings carry, and only a setting left
// out (with the endpoint it leaves empty) is named in the driver's messages.
TEST_F(FloatFormatsE2e, FloatSettingsAreOfferedAndTheOthersLeftOutByName)
{
    const struct
    {
        const char* What;
        const char* Dump; // null: the class-2 interface
        std::vector<ByteEdit> Edits;
        std::vector<OfferedRange> Capture; // empty: no capture wave filter
        std::vector<OfferedRange> Render;
        std::vector<const char*> Says;
    } rows[] = {
        {"class-1 float capture",
         "dev06-uac1.bin",
         kDev06FloatCapture,
         {{kIeee, 2, 32, 32, 48000, 48000}},
         {{kPcm, 2, 16, 24, 44100, 48000}},
         {}},
        {"class-1 float beside PCM render",
         "dev06-uac1.bin",
         kDev06FloatRender,
         {{kPcm, 2, 16, 16, 48000, 48000}},
         {{kPcm, 2, 24, 24, 44100, 48000}, {kIeee, 2, 32, 32, 44100, 48000}},
         {}},
        {"class-1 float on 2-byte subframes",
         "dev06-uac1.bin",
         kDev06ShortFloatCapture,
         {},
         {{kPcm, 2, 16, 24, 44100, 48000}},
         {"alternate setting 1 of streaming interface 1 has 2-byte float samples",
          "endpoint MicIn00 (streaming interface 1) has no format the wave filter can offer"}},
        {"class-2 float capture",
         nullptr,
         {},
         {},
         {{kPcm, 8, 24, 24, 44100, 96000}},
         {"alternate setting 1 of streaming interface 2 carries type-I formats 0x00000004, none of which "
          "the driver streams",
          "endpoint LineIn00 (streaming interface 2) has no format the wave filter can offer"}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.What);
        sim::DeviceProfile profile;
        if (!row.Dump)
            profile = FloatCaptureInterface();
        else if (!EditedDump(row.Dump, row.Edits, &profile))
            continue;
        ASSERT_EQ(PlugAndStart(profile), STATUS_SUCCESS) << plat::DebugLogText();
        ExpectRanges(true, row.Capture);
        ExpectRanges(false, row.Render);
        const std::string said = plat::DebugLogText();
        for (const char* text : row.Says)
            EXPECT_NE(said.find(text), std::string::npos) << text << "\n" << said;
        if (row.Says.empty())
        {
            EXPECT_EQ(said.find("no format the wave filter can offer"), std::string::npos) << said;
        }
        TearDown();
        SetUp();
    }
}

// A float capture pin hands the audio stack the device's signal, sample for sample: the device
// sends each 16-bit sample v as the float v / 32768.
TEST_F(FloatFormatsE2e, FloatCaptureArrivesAsTheDevicesSignal)
{
    sim::DeviceProfile profile;
    if (!EditedDump("dev06-uac1.bin", kDev06FloatCapture, &profile))
        GTEST_SKIP() << "no dev06-uac1.bin";
    ASSERT_EQ(PlugAndStart(profile), STATUS_SUCCESS) << plat::DebugLogText();
    std::unique_ptr<sim::AudioPin> pin;
    ASSERT_EQ(
        sim::AudioPin::Open(Pdo(), WaveFilter(true), 0, sim::WaveDataFormat(2, 48000, 32, 32, kIeee), &pin),
        STATUS_SUCCESS);
    std::vector<UCHAR> captured;
    pin->SetCaptureSink([&captured](const UCHAR* data, ULONG bytes)
                        { captured.insert(captured.end(), data, data + bytes); });
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(200 * rig::kMillisecond);
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(pin->Close(), STATUS_SUCCESS);

    uint64_t first = ~uint64_t(0);
    for (const sim::StreamPacketRecord& r : DataPackets(true))
        if (r.Bytes > 0 && r.Status == USBD_STATUS_SUCCESS)
        {
            first = r.FirstSample;
            break;
        }
    ASSERT_NE(first, ~uint64_t(0)) << "the device sent nothing";
    const size_t frames = captured.size() / 8;
    ASSERT_GE(frames, size_t(150 * 48)) << "150 ms of 200";
    size_t wrong = 0;
    for (size_t n = 0; n < frames; ++n)
        for (uint32_t c = 0; c < 2; ++c)
        {
            float got = 0;
            std::memcpy(&got, captured.data() + 8 * n + 4 * c, 4);
            const float expected = float(sim::StreamSignalSample(first + n, c)) / 32768.0f;
            wrong += std::memcmp(&got, &expected, 4) != 0;
        }
    EXPECT_EQ(wrong, 0u) << "of " << 2 * frames << " samples";
}

} // namespace
