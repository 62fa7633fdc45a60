// The simulator's descriptor reads stay inside each descriptor whatever a dump holds: the
// bounded walk over a configuration, and the control engine's channel-cluster lookup through
// class-1 processing and extension units cut short (which once read past the unit's bytes
// while the engine set itself up; the address sanitizer of `make check` sees any such read).
#include "sim/device/audio_control.h"
#include "sim/profiles/descriptor_span.h"
#include "sim/profiles/profile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

// A class-1 device whose one audio-control interface holds Units after its header.
Bytes Uac1Dump(const std::vector<Bytes>& units)
{
    Bytes control;
    for (const Bytes& unit : units)
        control.insert(control.end(), unit.begin(), unit.end());
    const size_t headerTotal = 8 + control.size();
    Bytes configuration = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 1, 1, 0, 0};
    const Bytes header = {8, 0x24, 1, 0x00, 0x01, uint8_t(headerTotal), uint8_t(headerTotal >> 8), 0};
    configuration.insert(configuration.end(), header.begin(), header.end());
    configuration.insert(configuration.end(), control.begin(), control.end());
    configuration[2] = uint8_t(configuration.size());
    configuration[3] = uint8_t(configuration.size() >> 8);
    Bytes dump = {18, 1, 0x10, 0x01, 0, 0, 0, 8, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0, 1};
    dump.insert(dump.end(), configuration.begin(), configuration.end());
    return dump;
}

// Input terminal 1 (two channels) -> unit 2 under test -> mixer 3 (two outputs, every control
// programmable) -> output terminal 4. The mixer has one control per input channel of unit 2's
// cluster and output channel, so its controls show the cluster the engine read.
const Bytes kInputTerminal = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 0x03, 0x00, 0, 0};
const Bytes kMixer = {12, 0x24, 4, 3, 1, 2, 2, 0x03, 0x00, 0, 0xF0, 0};
const Bytes kOutputTerminal = {9, 0x24, 3, 4, 0x01, 0x03, 0, 3, 0};

TEST(AudioControlBounds, ClusterOfAShortUnitIsReadOnlyFromItsOwnBytes)
{
    const struct
    {
        const char* Name;
        Bytes Unit;
        int MixerInputs; // input channels the mixer's controls must cover
    } kCases[] = {
        // Processing unit: id, wProcessType, bNrInPins, source, bNrChannels, wChannelConfig,
        // iChannelNames, bControlSize, bmControls, iProcessing.
        {"whole processing unit", {15, 0x24, 7, 2, 1, 0, 1, 1, 2, 0x03, 0, 0, 1, 0, 0}, 2},
        {"processing unit cut after its id", {4, 0x24, 7, 2}, 0},
        {"processing unit cut inside wProcessType", {5, 0x24, 7, 2, 1}, 0},
        {"processing unit cut before bNrInPins", {6, 0x24, 7, 2, 1, 0}, 0},
        {"extension unit cut before bNrInPins", {6, 0x24, 8, 2, 1, 0}, 0},
        {"processing unit whose pins run past it", {10, 0x24, 7, 2, 1, 0, 9, 1, 2, 3}, 0},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.Name);
        sim::DeviceProfile profile;
        std::string error;
        ASSERT_TRUE(sim::DeviceProfile::FromDescriptorBytes(
            Uac1Dump({kInputTerminal, c.Unit, kMixer, kOutputTerminal}), "bounds", &profile, &error))
            << error;
        sim::AudioControlEngine engine(profile);
        int inputs = 0;
        int32_t value = 0;
        while (inputs < 8 && engine.ControlValue(3, uint8_t(inputs + 1), 1, &value))
            ++inputs;
        EXPECT_EQ(inputs, c.MixerInputs);
    }
}

TEST(SimDescriptorWalk, EndsAtARuntOrOverrunningDescriptor)
{
    const struct
    {
        const char* Name;
        Bytes Run;
        std::vector<size_t> Lengths;
    } kCases[] = {
        {"whole descriptors", {2, 0x10, 3, 0x11, 0xAA}, {2, 3}},
        {"bLength 0", {2, 0x10, 0, 0x11, 2, 0x12}, {2}},
        {"bLength 1", {1, 0x10, 2, 0x11}, {}},
        {"a descriptor running past the end", {2, 0x10, 4, 0x11, 0}, {2}},
        {"one stray byte", {2, 0x10, 2}, {2}},
        {"nothing", {}, {}},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.Name);
        std::vector<size_t> lengths;
        for (const sim::DescriptorSpan& d : sim::SplitDescriptors(c.Run))
            lengths.push_back(d.Length());
        EXPECT_EQ(lengths, c.Lengths);
    }
    // A field that straddles a descriptor's end reads no byte past it.
    const Bytes run = {3, 0x11, 0xAA, 0x55};
    const std::vector<sim::DescriptorSpan> spans = sim::SplitDescriptors(run);
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0].Le16(2), 0x00AA);
}

} // namespace
