// The streaming endpoints: alternate settings read from the configuration descriptor, the
// checks and the record of OUT packets, the device's sample clock behind IN packets and the
// feedback endpoint, and the stream faults.
#include "sim/device/stream_endpoint.h"

#include "sim/device/audio_control.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace sim
{

namespace
{

constexpr uint8_t kInterfaceDescriptor = 4;
constexpr uint8_t kEndpointDescriptor = 5;
constexpr uint8_t kClassInterfaceDescriptor = 0x24;
constexpr uint8_t kAudioClass = 1;
constexpr uint8_t kControlSubclass = 1;
constexpr uint8_t kStreamingSubclass = 2;
constexpr uint8_t kRelease2Protocol = 0x20;
constexpr uint8_t kGeneralSubtype = 1;    // AS_GENERAL, and the header on the control side
constexpr uint8_t kFormatTypeSubtype = 2; // FORMAT_TYPE; INPUT_TERMINAL on the control side
constexpr uint8_t kOutputTerminalSubtype = 3;
constexpr uint8_t kFormatTypeI = 1;
constexpr uint16_t kPcm8FormatTag = 2;       // class 1: PCM8, unsigned 8-bit samples
constexpr uint16_t kFloatFormatTag = 3;      // class 1: IEEE_FLOAT
constexpr uint32_t kRelease2PcmFormat = 1;   // class 2: bmFormats bit 0
constexpr uint32_t kRelease2Pcm8Format = 2;  // class 2: bmFormats bit 1
constexpr uint32_t kRelease2FloatFormat = 4; // class 2: bmFormats bit 2
constexpr uint8_t kIsochronous = 1;
constexpr uint8_t kFeedbackUsage = 1;
constexpr uint8_t kAsynchronousSync = 1;

std::string Hex(uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", value);
    return text;
}

} // namespace

int16_t StreamSignalSample(uint64_t SampleFrame, uint32_t Channel)
{
    // A triangle at half scale with a period of its own per channel, so a swapped, dropped or
    // repeated channel or frame shows in the data.
    const uint32_t half = 24 + 4 * (Channel % 16);
    const int32_t amplitude = 16384;
    const uint32_t phase = uint32_t(SampleFrame % (2 * half));
    const int32_t rise = int32_t(2 * amplitude * (phase < half ? phase : phase - half) / half);
    return int16_t(phase < half ? -amplitude + rise : amplitude - rise);
}

void StreamSignalFrame(const StreamFormat& Format, uint64_t SampleFrame, uint8_t* Out)
{
    for (uint32_t c = 0; c < Format.Channels; ++c)
    {
        const int16_t value = StreamSignalSample(SampleFrame, c);
        uint8_t* sample = Out + c * Format.SubframeBytes;
        if (Format.Float && Format.SubframeBytes == 4)
        {
            const float f = float(value) / 32768.0f;
            std::memcpy(sample, &f, 4);
            continue;
        }
        // The 16-bit value fills the top of the container; lower bytes are zero.
        const uint32_t word = uint32_t(int32_t(value)) << 16;
        for (uint32_t b = 0; b < Format.SubframeBytes; ++b)
        {
            const uint32_t shift = 32 - 8 * (Format.SubframeBytes - b);
            sample[b] = shift < 32 ? uint8_t(word >> shift) : 0;
        }
        if (Format.SubframeBytes == 1 && Format.Unsigned)
            sample[0] ^= 0x80;
    }
}

StreamEndpoints::StreamEndpoints(UsbDeviceModel& Model, bool HighSpeed, std::function<void()> Changed)
    : m_model(Model), m_highSpeed(HighSpeed), m_profilePpm(Model.Profile().FeedbackOffsetPpm()),
      m_changed(std::move(Changed))
{
    ReadConfiguration(Model.Profile().ConfigurationDescriptor());
}

// Every alternate setting of every audio-streaming interface with its format and isochronous
// endpoints, and, for release 2.0, the clock source behind each terminal. Every field is read
// through the descriptor's own span: a runt descriptor at the end of a hostile dump answers 0
// for the fields it lacks instead of the bytes behind the buffer.
void StreamEndpoints::ReadConfiguration(const std::vector<uint8_t>& Configuration)
{
    int current = -1;
    bool inControl = false;
    bool controlRelease2 = false;
    for (const DescriptorSpan& d : SplitDescriptors(Configuration))
    {
        if (d.Type() == kInterfaceDescriptor && d.Has(9))
        {
            inControl = d.At(5) == kAudioClass && d.At(6) == kControlSubclass;
            if (inControl)
                controlRelease2 = d.At(7) == kRelease2Protocol;
            current = -1;
            if (d.At(5) == kAudioClass && d.At(6) == kStreamingSubclass)
            {
                Alternate alt;
                alt.InterfaceNumber = d.At(2);
                alt.Number = d.At(3);
                alt.Release2 = d.At(7) == kRelease2Protocol;
                m_alternates.push_back(alt);
                current = int(m_alternates.size()) - 1;
            }
        }
        else if (d.Type() == kClassInterfaceDescriptor && inControl)
        {
            if (controlRelease2)
                ReadClockOfTerminal(d);
        }
        else if (current >= 0 && d.Type() == kClassInterfaceDescriptor)
        {
            Alternate& alt = m_alternates[size_t(current)];
            if (alt.Release2)
                ReadFormatUac2(d, &alt);
            else
                ReadFormatUac1(d, &alt);
        }
        else if (current >= 0 && d.Type() == kEndpointDescriptor)
        {
            ReadEndpoint(d, &m_alternates[size_t(current)]);
        }
    }
}

// Release 2.0 names the clock of a terminal in the terminal's own descriptor.
void StreamEndpoints::ReadClockOfTerminal(const DescriptorSpan& d)
{
    if (!d.Has(9))
        return;
    if (d.Subtype() == kFormatTypeSubtype)
        m_clockOfTerminal[d.At(3)] = d.At(7);
    else if (d.Subtype() == kOutputTerminalSubtype)
        m_clockOfTerminal[d.At(3)] = d.At(8);
}

void StreamEndpoints::ReadFormatUac1(const DescriptorSpan& d, Alternate* Alt)
{
    if (d.Subtype() == kGeneralSubtype && d.Has(7))
    {
        Alt->TerminalLink = d.At(3);
        Alt->Float = d.Le16(5) == kFloatFormatTag;
        Alt->Unsigned = d.Le16(5) == kPcm8FormatTag;
    }
    else if (d.Subtype() == kFormatTypeSubtype && d.Has(8) && d.At(3) == kFormatTypeI)
    {
        Alt->Channels = d.At(4);
        Alt->SubframeBytes = d.At(5);
        Alt->BitResolution = d.At(6);
        for (size_t i = 0; i < d.At(7) && d.Has(8 + 3 * i + 3); ++i)
            Alt->Rates.push_back(d.Le24(8 + 3 * i));
    }
}

void StreamEndpoints::ReadFormatUac2(const DescriptorSpan& d, Alternate* Alt)
{
    if (d.Subtype() == kGeneralSubtype && d.Has(16))
    {
        Alt->TerminalLink = d.At(3);
        Alt->Float = (d.Le32(6) & kRelease2FloatFormat) != 0;
        // A setting that names both integer formats is taken at its PCM word.
        Alt->Unsigned = (d.Le32(6) & (kRelease2PcmFormat | kRelease2Pcm8Format)) == kRelease2Pcm8Format;
        Alt->Channels = d.At(10);
    }
    else if (d.Subtype() == kFormatTypeSubtype && d.Has(6) && d.At(3) == kFormatTypeI)
    {
        Alt->SubframeBytes = d.At(4);
        Alt->BitResolution = d.At(5);
    }
}

void StreamEndpoints::ReadEndpoint(const DescriptorSpan& d, Alternate* Alt)
{
    if (!d.Has(7) || (d.At(3) & 0x03) != kIsochronous)
        return;
    Endpoint endpoint;
    endpoint.Address = d.At(2);
    endpoint.Attributes = d.At(3);
    const uint16_t size = d.Le16(4);
    // High-bandwidth endpoints move up to two more transactions per microframe.
    endpoint.MaxPacketBytes = uint16_t((size & 0x7FF) * (1 + ((size >> 11) & 3)));
    endpoint.Interval = d.At(6);
    endpoint.Feedback = ((d.At(3) >> 4) & 0x03) == kFeedbackUsage;
    Alt->Endpoints.push_back(endpoint);
}

const StreamEndpoints::Endpoint* StreamEndpoints::DataEndpoint(const Alternate& Alt)
{
    for (const Endpoint& endpoint : Alt.Endpoints)
    {
        if (!endpoint.Feedback)
            return &endpoint;
    }
    return nullptr;
}

const StreamEndpoints::Alternate* StreamEndpoints::CurrentAlternate(uint8_t EndpointAddress,
                                                                    const Endpoint** Found) const
{
    for (const Alternate& alt : m_alternates)
    {
        for (const Endpoint& endpoint : alt.Endpoints)
        {
            if (endpoint.Address == EndpointAddress &&
                m_model.AlternateSetting(alt.InterfaceNumber) == int(alt.Number))
            {
                *Found = &endpoint;
                return &alt;
            }
        }
    }
    return nullptr;
}

uint32_t StreamEndpoints::RateOf(const Alternate& Alt, const Endpoint& Data) const
{
    if (Alt.Release2)
    {
        auto clock = m_clockOfTerminal.find(Alt.TerminalLink);
        return clock == m_clockOfTerminal.end() ? 0 : m_model.AudioControl().ClockRateHz(clock->second);
    }
    // A class-1 endpoint without a sampling-frequency control runs at its only rate.
    const uint32_t rate = m_model.AudioControl().EndpointRateHz(Data.Address);
    return rate != 0 ? rate : Alt.Rates.size() == 1 ? Alt.Rates[0] : 0;
}

StreamFormat StreamEndpoints::FormatOf(const Alternate& Alt, const Endpoint& Data) const
{
    StreamFormat format;
    format.InterfaceNumber = Alt.InterfaceNumber;
    format.AlternateSetting = Alt.Number;
    format.EndpointAddress = Data.Address;
    format.MaxPacketBytes = Data.MaxPacketBytes;
    // A high-speed endpoint with bInterval n is served every 2^(n-1) microframes.
    format.PacketsPerFrame = m_highSpeed ? 8u >> std::min(std::max<uint32_t>(Data.Interval, 1) - 1, 3u) : 1;
    format.Asynchronous = ((Data.Attributes >> 2) & 0x03) == kAsynchronousSync;
    // A stereo endpoint gets the first two channels of whatever its setting announces.
    format.Channels = m_model.Profile().IsStereoEndpoint(Data.Address) && Alt.Channels > 2 ? 2 : Alt.Channels;
    format.SubframeBytes = Alt.SubframeBytes;
    format.BitResolution = Alt.BitResolution;
    format.Float = Alt.Float;
    format.Unsigned = Alt.Unsigned;
    format.RateHz = RateOf(Alt, Data);
    return format;
}

bool StreamEndpoints::Serves(uint8_t EndpointAddress) const
{
    for (const Alternate& alt : m_alternates)
    {
        for (const Endpoint& endpoint : alt.Endpoints)
        {
            if (endpoint.Address == EndpointAddress)
                return true;
        }
    }
    return false;
}

bool StreamEndpoints::CurrentFormat(uint8_t EndpointAddress, StreamFormat* Format) const
{
    const Endpoint* endpoint = nullptr;
    const Alternate* alt = CurrentAlternate(EndpointAddress, &endpoint);
    const Endpoint* data = alt == nullptr ? nullptr : DataEndpoint(*alt);
    if (data == nullptr)
        return false;
    *Format = FormatOf(*alt, *data);
    return true;
}

double StreamEndpoints::ClockHz(uint8_t EndpointAddress) const
{
    StreamFormat format;
    if (!CurrentFormat(EndpointAddress, &format))
        return 0;
    std::lock_guard<std::mutex> guard(m_lock);
    return format.RateHz * (1.0 + double(ClockPpbAt(m_lastMicroframe)) / 1e9);
}

RenderBufferStats StreamEndpoints::RenderBuffer(uint8_t EndpointAddress) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_outClocks.find(EndpointAddress);
    return it == m_outClocks.end() ? RenderBufferStats{} : it->second.Stats;
}

// The clock's offset at a bus time in parts per 10^9: the profile's and the faults' offsets,
// and the drift since the first packet after the faults were set.
int64_t StreamEndpoints::ClockPpbAt(uint64_t Microframe) const
{
    if (!m_driftStarted)
    {
        m_driftStarted = true;
        m_driftOrigin = Microframe;
    }
    m_lastMicroframe = std::max(m_lastMicroframe, Microframe);
    const double seconds = Microframe > m_driftOrigin ? double(Microframe - m_driftOrigin) / 8000.0 : 0.0;
    const double drift = m_faults.ClockDriftPpmPerSecond * seconds * 1000.0;
    return (int64_t(m_profilePpm) + m_faults.ClockOffsetPpm) * 1000 + int64_t(std::llround(drift));
}

void StreamEndpoints::SetFaults(const StreamFaults& Faults)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_faults = Faults;
        m_transfers = 0;
        m_packets = 0;
        m_inPackets = 0;
        m_failingTransfer.clear();
        m_feedbackTransfers = 0;
        m_failingFeedback = false;
        m_driftStarted = false;
    }
    if (m_changed)
        m_changed();
}

StreamFaults StreamEndpoints::Faults() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_faults;
}

bool StreamEndpoints::Targets(uint8_t EndpointAddress) const
{
    return m_faults.Endpoint == 0 || m_faults.Endpoint == EndpointAddress;
}

bool StreamEndpoints::HoldsTransfer(uint8_t EndpointAddress)
{
    const Endpoint* endpoint = nullptr;
    if (CurrentAlternate(EndpointAddress, &endpoint) == nullptr || endpoint->Feedback)
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    return m_faults.StopCompleting && Targets(EndpointAddress);
}

void StreamEndpoints::BeginTransfer(uint8_t EndpointAddress)
{
    const Endpoint* endpoint = nullptr;
    if (CurrentAlternate(EndpointAddress, &endpoint) == nullptr)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (endpoint->Feedback)
    {
        ++m_feedbackTransfers;
        m_failingFeedback = m_feedbackTransfers == m_faults.FailFeedbackTransferNumber;
        return;
    }
    if (!Targets(EndpointAddress))
        return;
    ++m_transfers;
    const uint64_t first = m_faults.FailTransferNumber;
    const uint64_t count = std::max<uint32_t>(m_faults.FailTransferCount, 1);
    m_failingTransfer[EndpointAddress] = first != 0 && m_transfers >= first && m_transfers < first + count;
}

// The fault that hits one data packet, counted under m_lock.
USBD_STATUS StreamEndpoints::PacketFault(uint8_t EndpointAddress, bool* Empty, bool* Short)
{
    if (!Targets(EndpointAddress))
        return USBD_STATUS_SUCCESS;
    ++m_packets;
    if (Empty != nullptr)
    {
        ++m_inPackets;
        *Empty = m_faults.EmptyInEvery != 0 && m_inPackets % m_faults.EmptyInEvery == 0;
        *Short = m_faults.ShortInEvery != 0 && m_inPackets % m_faults.ShortInEvery == 0;
    }
    const bool failing = m_failingTransfer[EndpointAddress] ||
                         (m_faults.FailPacketNumber != 0 && m_packets == m_faults.FailPacketNumber);
    return failing ? m_faults.PacketFailure : USBD_STATUS_SUCCESS;
}

std::string StreamEndpoints::CheckOutSize(const StreamFormat& Format, uint32_t Length) const
{
    const uint32_t block = Format.BlockBytes();
    if (block == 0)
        return {};
    std::ostringstream error;
    if (Length > Format.MaxPacketBytes)
        error << Length << " bytes exceed the endpoint's " << Format.MaxPacketBytes << "-byte packets";
    else if (Length % block != 0)
        error << Length << " bytes are not a whole number of " << block << "-byte sample frames";
    else if (Format.RateHz != 0)
    {
        // A packet carries the frames of its (micro)frame, rounded either way; an asynchronous
        // endpoint follows the device's clock and may stray one frame further.
        const uint32_t perSecond = Format.PacketsPerFrame * 1000;
        const uint32_t slack = Format.Asynchronous ? 1 : 0;
        const uint32_t low = Format.RateHz / perSecond;
        const uint32_t high = (Format.RateHz + perSecond - 1) / perSecond;
        const uint32_t frames = Length / block;
        if (frames + slack < low || frames > high + slack)
            error << frames << " sample frames where " << Format.RateHz << " Hz needs "
                  << low - std::min(low, slack) << " to " << high + slack;
    }
    return error.str();
}

USBD_STATUS StreamEndpoints::Out(uint8_t EndpointAddress, uint32_t Frame, uint32_t Microframe,
                                 const uint8_t* Data, uint32_t Length)
{
    StreamFormat format;
    const bool known = CurrentFormat(EndpointAddress, &format);
    std::lock_guard<std::mutex> guard(m_lock);
    StreamPacketRecord record;
    record.EndpointAddress = EndpointAddress;
    record.Frame = Frame;
    record.Microframe = Microframe;
    record.Bytes = Length;
    record.Status = known ? PacketFault(EndpointAddress, nullptr, nullptr) : USBD_STATUS_DEV_NOT_RESPONDING;
    record.DataOffset = m_dataBytes[EndpointAddress];
    if (known)
    {
        std::string error = CheckOutSize(format, Length);
        if (!error.empty())
            record.SizeError = "endpoint " + Hex(EndpointAddress) + " frame " + std::to_string(Frame) + "." +
                               std::to_string(Microframe) + ": " + error;
    }
    if (USBD_SUCCESS(record.Status))
    {
        if (known && format.RateHz != 0 && format.BlockBytes() != 0)
        {
            const uint64_t start = uint64_t(Frame) * 8 + Microframe;
            PlayOut(format, start, start + 8 / format.PacketsPerFrame, Length);
        }
    }
    Note(record, USBD_SUCCESS(record.Status) ? Data : nullptr);
    return record.Status;
}

void StreamEndpoints::Note(const StreamPacketRecord& Record, const uint8_t* Data)
{
    if (Data && !Record.Feedback)
        m_dataBytes[Record.EndpointAddress] += Record.Bytes;
    if (m_listener)
        m_listener(Record, Data);
    if (!m_keepRecord)
        return;
    if (Data && !Record.In)
    {
        std::vector<uint8_t>& stream = m_outStreams[Record.EndpointAddress];
        stream.insert(stream.end(), Data, Data + Record.Bytes);
    }
    m_packetRecords.push_back(Record);
}

// One packet into the render buffer of its endpoint at bus time [Start, End). A new setting or
// rate is a new stream: the buffer starts empty and primes again.
void StreamEndpoints::PlayOut(const StreamFormat& Format, uint64_t Start, uint64_t End, uint32_t Length)
{
    OutClock& out = m_outClocks[Format.EndpointAddress];
    RenderBufferStats& stats = out.Stats;
    const int64_t ppb = ClockPpbAt(Start);
    InClock& clock = out.Clock;
    if (!clock.Running || clock.AlternateSetting != Format.AlternateSetting || clock.RateHz != Format.RateHz)
    {
        // What the old stream still held is never played.
        if (out.Playing)
            out.PlayedBefore += std::min(out.Received, Produced(clock, Start));
        stats.PlayedFrames = out.PlayedBefore;
        clock = InClock{};
        clock.Running = true;
        clock.AlternateSetting = Format.AlternateSetting;
        clock.RateHz = Format.RateHz;
        out.Playing = false;
        out.Received = 0;
    }
    if (stats.ReceivedFrames == 0)
        stats.FirstMicroframe = Start;
    const uint64_t capacity = uint64_t(Format.RateHz) * RenderBufferStats::kRenderBufferMs / 1000;
    const uint64_t startFill = uint64_t(Format.RateHz) * RenderBufferStats::kRenderStartMs / 1000;
    const uint64_t frames = Length / Format.BlockBytes();
    if (out.Playing)
    {
        Rebase(&clock, Start, ppb);
        const int64_t fill = int64_t(out.Received) - int64_t(Produced(clock, Start));
        stats.MinFill = std::min(stats.MinFill, fill);
        if (fill < 0)
        {
            // Ran dry before this packet came: what it played was silence; prime again.
            ++stats.Underruns;
            out.PlayedBefore += out.Received;
            out.Playing = false;
            out.Received = 0;
        }
    }
    out.Received += frames;
    stats.ReceivedFrames += frames;
    if (!out.Playing && out.Received >= startFill)
    {
        out.Playing = true;
        ++stats.Primings;
        clock.Base = 0;
        clock.BaseRemainder = 0;
        clock.BaseTime = End;
        clock.Ppb = ppb;
        if (stats.Primings == 1)
            stats.MinFill = stats.MaxFill = int64_t(out.Received);
    }
    if (out.Playing)
    {
        const uint64_t played = Produced(clock, End > clock.BaseTime ? End : clock.BaseTime);
        if (out.Received > played + capacity)
        {
            ++stats.Overflows;
            out.Received = played + capacity;
        }
        stats.MaxFill = std::max(stats.MaxFill, int64_t(out.Received - std::min(out.Received, played)));
        stats.PlayedFrames = out.PlayedBefore + played;
    }
    stats.LastMicroframe = End;
    stats.ClockHz = Format.RateHz * (1.0 + double(ppb) / 1e9);
}

uint64_t StreamEndpoints::Produced(const InClock& Clock, uint64_t Microframe)
{
    using Wide = unsigned __int128;
    const Wide elapsed = Microframe > Clock.BaseTime ? Microframe - Clock.BaseTime : 0;
    const Wide perBillion = Wide(uint64_t(int64_t(1000000000) + Clock.Ppb));
    const Wide scale = Wide(8000) * 1000000000;
    return Clock.Base + uint64_t((Clock.BaseRemainder + elapsed * Clock.RateHz * perBillion) / scale);
}

// A clock whose offset changed counts on from where it stands at that time, the fraction of a
// frame kept: a drifting clock changes its offset every few packets.
void StreamEndpoints::Rebase(InClock* Clock, uint64_t Microframe, int64_t Ppb)
{
    using Wide = unsigned __int128;
    if (Clock->Ppb == Ppb || Microframe < Clock->BaseTime)
        return;
    const Wide elapsed = Microframe - Clock->BaseTime;
    const Wide perBillion = Wide(uint64_t(int64_t(1000000000) + Clock->Ppb));
    const Wide scale = Wide(8000) * 1000000000;
    const Wide total = Clock->BaseRemainder + elapsed * Clock->RateHz * perBillion;
    Clock->Base += uint64_t(total / scale);
    Clock->BaseRemainder = uint64_t(total % scale);
    Clock->BaseTime = Microframe;
    Clock->Ppb = Ppb;
}

// Brings an IN endpoint's clock up to a packet over microframes [Start, End).
void StreamEndpoints::ClockIn(InClock* Clock, const StreamFormat& Format, uint64_t Start, uint64_t End)
{
    const int64_t ppb = ClockPpbAt(Start);
    if (!Clock->Running || Clock->AlternateSetting != Format.AlternateSetting ||
        Clock->RateHz != Format.RateHz)
    {
        const uint64_t dropped = Clock->Dropped;
        *Clock = InClock{};
        Clock->Running = true;
        Clock->AlternateSetting = Format.AlternateSetting;
        Clock->RateHz = Format.RateHz;
        Clock->Ppb = ppb;
        Clock->BaseTime = Start;
        Clock->LastEnd = Start;
        Clock->Dropped = dropped;
    }
    else
    {
        Rebase(Clock, Start, ppb);
    }
    // Samples made while the host asked for nothing are gone.
    if (Start > Clock->LastEnd)
    {
        const uint64_t made = Produced(*Clock, Start);
        if (made > Clock->Sent)
        {
            Clock->Dropped += made - Clock->Sent;
            Clock->Sent = made;
        }
    }
    Clock->LastEnd = End;
}

USBD_STATUS StreamEndpoints::In(uint8_t EndpointAddress, uint32_t Frame, uint32_t Microframe, uint8_t* Data,
                                uint32_t Capacity, uint32_t* Length)
{
    *Length = 0;
    const Endpoint* endpoint = nullptr;
    StreamFormat format;
    if (CurrentAlternate(EndpointAddress, &endpoint) == nullptr || !CurrentFormat(EndpointAddress, &format))
        return USBD_STATUS_DEV_NOT_RESPONDING;
    if (endpoint->Feedback)
        return Feedback(EndpointAddress, format, uint64_t(Frame) * 8 + Microframe, Data, Capacity, Length);

    std::lock_guard<std::mutex> guard(m_lock);
    StreamPacketRecord record;
    record.EndpointAddress = EndpointAddress;
    record.In = true;
    record.Frame = Frame;
    record.Microframe = Microframe;
    bool empty = false;
    bool shortPacket = false;
    record.Status = PacketFault(EndpointAddress, &empty, &shortPacket);
    const uint32_t block = format.BlockBytes();
    if (format.RateHz != 0 && block != 0)
    {
        const uint64_t start = uint64_t(Frame) * 8 + Microframe;
        InClock& clock = m_inClocks[EndpointAddress];
        ClockIn(&clock, format, start, start + 8 / format.PacketsPerFrame);
        uint64_t frames = Produced(clock, clock.LastEnd) - clock.Sent;
        // The device's buffer holds two full packets; older samples go. A packet takes what
        // has gathered, up to the endpoint's size.
        const uint64_t most = format.MaxPacketBytes / block;
        if (frames > 2 * most)
        {
            clock.Dropped += frames - 2 * most;
            clock.Sent += frames - 2 * most;
            frames = 2 * most;
        }
        frames = std::min(frames, most);
        if (empty)
            frames = 0;
        else if (shortPacket && frames != 0)
            --frames;
        record.FirstSample = clock.Sent;
        record.Bytes = uint32_t(frames * block);
        if (USBD_SUCCESS(record.Status) && record.Bytes > Capacity)
            record.Status = USBD_STATUS_BABBLE_DETECTED;
        if (USBD_SUCCESS(record.Status))
        {
            for (uint64_t i = 0; i < frames; ++i)
                StreamSignalFrame(format, clock.Sent + i, Data + i * block);
            *Length = record.Bytes;
            if (m_faults.OverstateInLength != 0 && Targets(EndpointAddress))
                *Length = Capacity + m_faults.OverstateInLength;
        }
        // A packet lost on the bus takes its samples with it.
        clock.Sent += frames;
    }
    Note(record, USBD_SUCCESS(record.Status) ? Data : nullptr);
    return record.Status;
}

// The device's clock in samples per frame as 10.14 (full speed, 3 bytes) or per microframe
// as 16.16 (high speed, 4 bytes).
USBD_STATUS StreamEndpoints::Feedback(uint8_t EndpointAddress, const StreamFormat& Format,
                                      uint64_t Microframe, uint8_t* Data, uint32_t Capacity, uint32_t* Length)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const double clockHz = Format.RateHz * (1.0 + double(ClockPpbAt(Microframe)) / 1e9);
    const double value = m_highSpeed ? clockHz / 8000.0 * 65536.0 : clockHz / 1000.0 * 16384.0;
    // The device counts its clock against the bus's frames: what one word cannot carry of the
    // fraction comes out in the words after it, so their mean is the clock itself, as a real
    // device's measured values are.
    double& carried = m_feedbackCarry[EndpointAddress];
    const double exact = value + carried;
    const uint32_t word = uint32_t(exact + 0.5);
    carried = exact - double(word);
    const uint32_t bytes = m_failingFeedback ? 0 : std::min<uint32_t>(m_highSpeed ? 4 : 3, Capacity);
    for (uint32_t b = 0; b < bytes; ++b)
        Data[b] = uint8_t(word >> (8 * b));
    *Length = bytes;
    StreamPacketRecord record;
    record.EndpointAddress = EndpointAddress;
    record.In = true;
    record.Feedback = true;
    record.Frame = uint32_t(Microframe / 8);
    record.Microframe = m_highSpeed ? uint32_t(Microframe % 8) : 0;
    record.Bytes = bytes;
    record.Status = m_failingFeedback ? m_faults.PacketFailure : USBD_STATUS_SUCCESS;
    Note(record, USBD_SUCCESS(record.Status) ? Data : nullptr);
    return record.Status;
}

void StreamEndpoints::SetPacketListener(StreamPacketListener Listener, bool Keep)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_listener = std::move(Listener);
    m_keepRecord = Keep;
}

uint64_t StreamEndpoints::DataBytes(uint8_t EndpointAddress) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_dataBytes.find(EndpointAddress);
    return it == m_dataBytes.end() ? 0 : it->second;
}

std::vector<StreamPacketRecord> StreamEndpoints::Packets() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_packetRecords;
}

std::vector<uint8_t> StreamEndpoints::OutStream(uint8_t EndpointAddress) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_outStreams.find(EndpointAddress);
    return it == m_outStreams.end() ? std::vector<uint8_t>{} : it->second;
}

std::vector<std::string> StreamEndpoints::SizeErrors() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> errors;
    for (const StreamPacketRecord& record : m_packetRecords)
    {
        if (!record.SizeError.empty())
            errors.push_back(record.SizeError);
    }
    return errors;
}

uint64_t StreamEndpoints::DroppedInFrames(uint8_t EndpointAddress) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_inClocks.find(EndpointAddress);
    return it == m_inClocks.end() ? 0 : it->second.Dropped;
}

void StreamEndpoints::ClearRecords()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_packetRecords.clear();
    m_outStreams.clear();
    m_dataBytes.clear();
}

} // namespace sim
