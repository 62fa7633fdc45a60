// What `play` and `record` share: the endpoint and its wave filter, the pin run by the host's
// audio engine with progress and position sampling, and the device's record of the stream.
#pragma once

#include "tools/uacsim/driver_session.h"
#include "tools/uacsim/wav_file.h"

#include "ksmedia.h"
#include "sim/host/audio_engine.h"

#include <functional>
#include <memory>
#include <mutex>
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

// The layout of an offered format.
WavAudio LayoutOf(const WAVEFORMATEXTENSIBLE& Format);
// Whether the format carries integer PCM samples, or samples at all (PCM or float) rather than
// an encoded stream passed through.
bool CarriesPcm(const WAVEFORMATEXTENSIBLE& Format);
bool CarriesSamples(const WAVEFORMATEXTENSIBLE& Format);

// The KSDATAFORMAT that opens a pin on an offered format: the offered wave format itself,
// speaker mask and all, as the audio stack takes it from the filter's intersection.
std::vector<UCHAR> PinDataFormat(const WAVEFORMATEXTENSIBLE& Format);

// Samples moved to another container width of the same valid bits (16 in 2 <-> 16 in 4,
// 24 in 3 <-> 24 in 4): the sample stays in the top bits, the rest is zero.
std::vector<uint8_t> Repack(const std::vector<uint8_t>& Bytes, uint32_t FromContainer, uint32_t ToContainer);

// A WAV file's frames as a pin carries them, read piece by piece: each sample in the pin's
// container, and of each frame only the first Keep channels when Keep is below the file's.
class PinFeed
{
public:
    bool Open(const std::string& Path, uint32_t Container, uint32_t Keep, std::string* Error);
    // Fills To with up to Bytes; fewer at the end of the file.
    size_t Read(uint8_t* To, size_t Bytes);
    // Bytes of the whole file as Read gives them.
    uint64_t TotalBytes() const { return m_Reader.Frames() * m_Keep * m_Container; }
    std::string Failure() const { return m_Reader.Failure(); }

private:
    WavReader m_Reader;
    uint32_t m_Container = 0;
    uint32_t m_Keep = 0;
    std::vector<uint8_t> m_Raw;
    std::vector<uint8_t> m_Buffer;
    size_t m_At = 0;
};

// The device's side of the run: its data endpoint of the direction, while it streams.
struct DeviceStream
{
    uint8_t Address = 0;
    sim::StreamFormat Format;
};
bool FindDeviceStream(DriverSession& Session, const sim::DeviceProfile& Profile, bool In,
                      DeviceStream* Stream);

// The device's record of one endpoint's packets, summed up as they come.
struct DeviceTally
{
    uint64_t Packets = 0;
    uint64_t Bytes = 0;
    uint64_t Underruns = 0;   // (micro)frames in the run without a packet, and empty or failed packets
    uint64_t SizeErrors = 0;  // OUT packets whose size does not fit format and rate
    uint64_t FirstSample = 0; // IN: the device's index of the first sample frame it sent
    bool AnyData = false;

    // One data packet of the stream, in the order the device saw them.
    void Add(const sim::StreamPacketRecord& Record, const sim::StreamFormat& Format);

private:
    bool m_Started = false;
    uint64_t m_LastSlot = 0;
};

// Pin position against the device's count at the same instant, both in sample frames of the
// stream's one clock.
struct PositionError
{
    int64_t MostBehind = 0; // the lowest (position - device frames)
    int64_t MostAhead = 0;  // the highest
    uint64_t Readings = 0;
};

// Runs an opened pin: Run, then lets platform time pass in 10 ms steps until Done says so or
// Limit seconds have passed, reading the pin's position against the device's count of frames,
// and showing progress on Err when the job lasts more than a second; then Stop. The device's
// record of the run is not kept whole: each step hands the device's new bytes of the stream to
// the device sink and sums up its packets, so a run of any length takes the same memory. False
// with why when the pin would not run or stop, or the time ran out.
class PinRunner
{
public:
    // Gets the device's stream and the bytes it carried since the last call, in order.
    using DeviceSink = std::function<void(const DeviceStream& Stream, const uint8_t* Data, size_t Bytes)>;

    // The device's data endpoint of the pin's direction is found once the pin runs.
    PinRunner(DriverSession& Session, const sim::DeviceProfile& Profile, sim::AudioPin& Pin, std::FILE* Err);
    ~PinRunner();
    PinRunner(const PinRunner&) = delete;
    PinRunner& operator=(const PinRunner&) = delete;

    void SetDeviceSink(DeviceSink Sink) { m_Sink = std::move(Sink); }
    // Called on this thread after every step, once the device's bytes of the step are handed on.
    void SetStepHook(std::function<void()> Hook) { m_Hook = std::move(Hook); }

    // Done gets the pin's position in bytes since Run (across buffer wraps).
    bool Run(const char* Verb, double Seconds, uint32_t BytesPerSecond,
             const std::function<bool(uint64_t)>& Done, std::string* Error);
    // Hands on what the device did after the last step (call once the pin is closed) and
    // stops listening to it.
    void Finish();
    const PositionError& Error() const { return m_Error; }
    uint64_t PositionBytes() const { return m_Position; }
    // The device's stream of the run; Address 0 when the device never streamed.
    const DeviceStream& Stream() const { return m_Stream; }
    const DeviceTally& Tally() const { return m_Tally; }

private:
    struct Pending
    {
        sim::StreamPacketRecord Record;
        size_t DataAt = 0; // where its bytes start in m_PendingData
    };

    bool Step(uint32_t BufferSize);
    void Listen(const sim::StreamPacketRecord& Record, const uint8_t* Data);
    void HandOn();
    void Progress(const char* Verb, double Done, double Total, bool Last);

    DriverSession& m_Session;
    const sim::DeviceProfile& m_Profile;
    sim::AudioPin& m_Pin;
    DeviceStream m_Stream;
    DeviceTally m_Tally;
    std::FILE* m_Err;
    const bool m_Terminal;
    PositionError m_Error;
    uint64_t m_Position = 0;
    uint32_t m_LastOffset = 0;
    int m_LastSecond = -1;
    DeviceSink m_Sink;
    std::function<void()> m_Hook;
    bool m_Listening = false;
    std::mutex m_PendingLock; // the bus thread adds, this thread takes
    std::vector<Pending> m_Pending;
    std::vector<uint8_t> m_PendingData;
    std::vector<Pending> m_Taken;
    std::vector<uint8_t> m_TakenData;
};

// "-1.23 .. +0.45 ms (-59 .. +22 frames at 48000 Hz; 311 readings)".
std::string PositionErrorText(const PositionError& Error, uint32_t RateHz);

// FNV-1a over a byte stream, for comparing two streams neither of which is kept.
struct ByteHash
{
    uint64_t Value = 1469598103934665603ull;
    uint64_t Bytes = 0;
    void Add(const uint8_t* Data, size_t Count)
    {
        for (size_t i = 0; i < Count; ++i)
            Value = (Value ^ Data[i]) * 1099511628211ull;
        Bytes += Count;
    }
};

} // namespace uacsim
