// What `play` and `record` share: the endpoint and its wave filter, the pin run by the host's
// audio engine with progress and position sampling, and the device's record of the stream.
#pragma once

#include "tools/uacsim/driver_session.h"
#include "tools/uacsim/wav_file.h"

#include "ksmedia.h"
#include "sim/host/audio_engine.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace uacsim
{

// A streaming endpoint of the started device with its installed wave filter.
struct WaveEndpoint
{
    std::string Name;                          // the endpoint's name ("SPKOut01")
    std::u16string Filter;                     // its wave subdevice, as the audio engine finds it
    std::vector<WAVEFORMATEXTENSIBLE> Formats; // what it offers, in its list order
};

// The first endpoint of the direction whose wave filter is installed; false with why none is.
bool FindWaveEndpoint(DriverSession& Session, bool Capture, WaveEndpoint* Endpoint, std::string* Error);

// The offered formats, one line per shape with its rates, each line indented by two spaces.
std::string OfferedFormatsText(const std::vector<WAVEFORMATEXTENSIBLE>& Formats);

// The layout of an offered format as a WavAudio without samples.
WavAudio LayoutOf(const WAVEFORMATEXTENSIBLE& Format);

// The KSDATAFORMAT that opens a pin on an offered format: the offered wave format itself,
// speaker mask and all, as the audio stack takes it from the filter's intersection.
std::vector<UCHAR> PinDataFormat(const WAVEFORMATEXTENSIBLE& Format);

// Samples moved to another container width of the same valid bits (16 in 2 <-> 16 in 4,
// 24 in 3 <-> 24 in 4): the sample stays in the top bits, the rest is zero.
std::vector<uint8_t> Repack(const std::vector<uint8_t>& Bytes, uint32_t FromContainer, uint32_t ToContainer);

// The device's side of the run: its data endpoint of the direction, while it streams.
struct DeviceStream
{
    uint8_t Address = 0;
    sim::StreamFormat Format;
};
bool FindDeviceStream(DriverSession& Session, const sim::DeviceProfile& Profile, bool In,
                      DeviceStream* Stream);

// The device's record of one endpoint's packets, summed up.
struct DeviceTally
{
    uint64_t Packets = 0;
    uint64_t Bytes = 0;
    uint64_t Underruns = 0;   // (micro)frames in the run without a packet, and empty or failed packets
    uint64_t SizeErrors = 0;  // OUT packets whose size does not fit format and rate
    uint64_t FirstSample = 0; // IN: the device's index of the first sample frame it sent
    bool AnyData = false;
};
DeviceTally TallyDeviceStream(DriverSession& Session, const DeviceStream& Stream);

// Pin position against the device's count of bytes at the same instant, in bytes.
struct PositionError
{
    int64_t MostBehind = 0; // the lowest (position - device bytes)
    int64_t MostAhead = 0;  // the highest
    uint64_t Samples = 0;
};

// Runs an opened pin: Run, then lets platform time pass in 10 ms steps until Done says so or
// Limit seconds have passed, sampling the pin's position against the device's byte count, and
// showing progress on Err when the job lasts more than a second; then Stop. False with why
// when the pin would not run or stop, or the time ran out.
class PinRunner
{
public:
    // The device's data endpoint of the pin's direction is found once the pin runs.
    PinRunner(DriverSession& Session, const sim::DeviceProfile& Profile, sim::AudioPin& Pin, std::FILE* Err);

    // Done gets the pin's position in bytes since Run (across buffer wraps).
    bool Run(const char* Verb, double Seconds, uint32_t BytesPerSecond,
             const std::function<bool(uint64_t)>& Done, std::string* Error);
    const PositionError& Error() const { return m_Error; }
    // The pin's frame size, when a render device gets fewer channels than the pin carries
    // (the effects model packs its output to stereo): the device's bytes are counted in the
    // pin's frames, so the position error compares like with like.
    void SetPinBlockBytes(uint32_t Bytes) { m_PinBlock = Bytes; }
    uint64_t PositionBytes() const { return m_Position; }
    // The device's stream of the run; Address 0 when the device never streamed.
    const DeviceStream& Stream() const { return m_Stream; }

private:
    bool Step(uint32_t BufferSize);
    uint64_t DeviceBytes();
    void Progress(const char* Verb, double Done, double Total, bool Last);

    DriverSession& m_Session;
    const sim::DeviceProfile& m_Profile;
    sim::AudioPin& m_Pin;
    DeviceStream m_Stream;
    std::FILE* m_Err;
    PositionError m_Error;
    uint64_t m_Position = 0;
    uint32_t m_LastOffset = 0;
    int m_LastSecond = -1;
    uint32_t m_PinBlock = 0;
};

// "-1.23 .. +0.45 ms (N samples)".
std::string PositionErrorText(const PositionError& Error, uint32_t BytesPerSecond);

} // namespace uacsim
