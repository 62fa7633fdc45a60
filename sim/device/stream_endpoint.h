// The simulated device's streaming side: the isochronous endpoints of its audio-streaming
// interfaces. OUT packets are recorded (frame, microframe, bytes and the bytes themselves) and
// their sizes checked against the selected alternate setting and sampling rate; IN packets
// carry a known signal per channel, paced by the device's own sample clock (nominal rate plus
// a ppm offset and a drift); a feedback endpoint reports that clock (10.14 at full speed, 16.16
// per microframe at high speed), and each OUT endpoint plays its packets from a buffer at that
// clock, counting the times it ran dry or over. Faults come from one options record whose knobs
// are all off by default. The device knows time only through the frame numbers the bus hands it.
#pragma once

#include "sim/device/device_model.h"
#include "sim/profiles/descriptor_span.h"
#include "usbdi.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim
{

// Faults of the streaming endpoints. Counts start when the record is set.
struct StreamFaults
{
    uint8_t Endpoint = 0;            // data endpoint the transfer and packet faults apply to; 0: every one
    uint64_t FailTransferNumber = 0; // every packet of the Nth transfer fails (1 = the next one) ...
    uint32_t FailTransferCount = 1;  // ... and of the transfers right after it, this many in all
    uint64_t FailPacketNumber = 0;   // the Nth data packet fails on its own (1 = the next one)
    USBD_STATUS PacketFailure = USBD_STATUS_XACT_ERROR; // the status of a failed packet
    uint32_t EmptyInEvery = 0;   // every Nth IN data packet arrives empty; the device keeps its samples
    uint32_t ShortInEvery = 0;   // every Nth IN data packet carries one sample frame less
    bool StopCompleting = false; // transfers on the data endpoints stay with the bus until aborted
    int32_t ClockOffsetPpm = 0;  // the sample clock against nominal, on top of the profile's offset
    // The clock's offset moves by this much per second of bus time, counted from the first
    // packet after the record is set (a crystal warming up, or cooling down when negative).
    double ClockDriftPpmPerSecond = 0;
    uint64_t FailFeedbackTransferNumber = 0; // every packet of the Nth feedback transfer fails
    // Each IN data packet is reported this many bytes longer than the room it was given (the
    // data written stays within the room): a report the bus must not take at its word.
    uint32_t OverstateInLength = 0;
};

// How the device's render buffer behind an OUT data endpoint fared. The device starts playing
// once it holds kRenderStartMs of audio and keeps up to kRenderBufferMs; a packet that arrives
// after the buffer ran dry is an underrun (the device primes again from that packet), a packet
// that does not fit is an overflow (its excess is dropped). Fill levels are in sample frames,
// observed while playing: the lowest just before a packet arrives, the highest just after.
struct RenderBufferStats
{
    static constexpr uint32_t kRenderBufferMs = 40;
    static constexpr uint32_t kRenderStartMs = 20;

    uint64_t ReceivedFrames = 0; // every frame that arrived in a successful packet
    uint64_t PlayedFrames = 0;   // frames played by the last packet's arrival, over every priming
    uint32_t Underruns = 0;
    uint32_t Overflows = 0;
    uint32_t Primings = 0; // times playing started (the first one, and one after each underrun)
    int64_t MinFill = 0;
    int64_t MaxFill = 0;
    uint64_t FirstMicroframe = 0; // bus time of the first packet and of the end of the last one
    uint64_t LastMicroframe = 0;
    double ClockHz = 0; // the clock at the last packet
};

// What an alternate setting streams, as its descriptors say.
struct StreamFormat
{
    uint8_t InterfaceNumber = 0;
    uint8_t AlternateSetting = 0;
    uint8_t EndpointAddress = 0; // the data endpoint
    uint16_t MaxPacketBytes = 0; // per (micro)frame, extra transactions included
    uint32_t PacketsPerFrame = 1;
    bool Asynchronous = false; // the device paces the stream (feedback or its own IN clock)
    uint8_t Channels = 0;
    uint8_t SubframeBytes = 0;
    uint8_t BitResolution = 0;
    bool Float = false;
    // 8-bit samples in offset binary (0x80 is silence), as the PCM8 format carries them; those
    // of the PCM format are two's complement.
    bool Unsigned = false;
    uint32_t RateHz = 0; // the sampling rate in force; 0 when the device cannot tell

    uint32_t BlockBytes() const { return uint32_t(Channels) * SubframeBytes; }
};

// One isochronous packet on a streaming endpoint, as the device saw it.
struct StreamPacketRecord
{
    uint8_t EndpointAddress = 0;
    bool In = false;
    uint32_t Frame = 0;
    uint32_t Microframe = 0;  // 0 at full speed
    uint32_t Bytes = 0;       // that crossed (or would have crossed) the bus
    uint64_t FirstSample = 0; // IN: the device's index of the first sample frame
    uint64_t DataOffset = 0;  // OUT: where the packet's bytes start in OutStream
    USBD_STATUS Status = USBD_STATUS_SUCCESS;
    bool Feedback = false; // a packet of a feedback endpoint
    std::string SizeError; // OUT: why the size does not fit the format and rate; empty when it does
};

// The known signal: channel c at sample frame n, as a 16-bit value. Containers of 3 and 4
// bytes carry it in their top 16 bits and float as value / 32768, so every format carries the
// same samples and each survives conversion to float and back exactly; a 1-byte container
// carries its top 8 bits, in offset binary where the format is unsigned.
int16_t StreamSignalSample(uint64_t SampleFrame, uint32_t Channel);
// Sample frame n of the signal in a format's layout (BlockBytes bytes, little-endian).
void StreamSignalFrame(const StreamFormat& Format, uint64_t SampleFrame, uint8_t* Out);

// Sees each data and feedback packet as the device handles it: Data holds the bytes that
// crossed the bus (OUT: what the host sent; IN: what the device sent), null for a failed
// packet. Called on the bus thread with the endpoints' lock held: it must not call back.
using StreamPacketListener = std::function<void(const StreamPacketRecord& Record, const uint8_t* Data)>;

class StreamEndpoints
{
public:
    // Changed is called, with no lock held, when a fault change may release waiting transfers.
    StreamEndpoints(UsbDeviceModel& Model, bool HighSpeed, std::function<void()> Changed);
    StreamEndpoints(const StreamEndpoints&) = delete;
    StreamEndpoints& operator=(const StreamEndpoints&) = delete;

    void SetFaults(const StreamFaults& Faults);
    StreamFaults Faults() const;

    // Whether the address is an isochronous endpoint of a streaming interface.
    bool Serves(uint8_t EndpointAddress) const;
    // The format of the alternate setting now selected for the endpoint's interface; false
    // when the endpoint is not part of it.
    bool CurrentFormat(uint8_t EndpointAddress, StreamFormat* Format) const;
    // The device's sample clock in Hz (the rate with both ppm offsets and the drift so far), 0
    // without a rate.
    double ClockHz(uint8_t EndpointAddress) const;
    // The render buffer behind an OUT data endpoint; all zero before its first packet.
    RenderBufferStats RenderBuffer(uint8_t EndpointAddress) const;

    // The bus's calls, on the bus thread.
    bool HoldsTransfer(uint8_t EndpointAddress);
    void BeginTransfer(uint8_t EndpointAddress);
    USBD_STATUS Out(uint8_t EndpointAddress, uint32_t Frame, uint32_t Microframe, const uint8_t* Data,
                    uint32_t Length);
    USBD_STATUS In(uint8_t EndpointAddress, uint32_t Frame, uint32_t Microframe, uint8_t* Data,
                   uint32_t Capacity, uint32_t* Length);

    // The record is kept whole by default, for Packets(), OutStream() and SizeErrors(). A
    // listener sees every packet as it comes; with Keep false the record holds nothing more,
    // so a stream of any length runs in bounded memory. Set while no transfer is in flight.
    void SetPacketListener(StreamPacketListener Listener, bool Keep);
    // Data bytes that crossed the bus on the endpoint in successful packets, whether the record
    // is kept or not.
    uint64_t DataBytes(uint8_t EndpointAddress) const;

    std::vector<StreamPacketRecord> Packets() const;
    std::vector<uint8_t> OutStream(uint8_t EndpointAddress) const; // every OUT byte in order
    std::vector<std::string> SizeErrors() const;
    uint64_t DroppedInFrames(uint8_t EndpointAddress) const; // produced, never sent
    void ClearRecords();

private:
    struct Endpoint
    {
        uint8_t Address = 0;
        uint8_t Attributes = 0;
        uint16_t MaxPacketBytes = 0;
        uint8_t Interval = 0;
        bool Feedback = false;
    };
    struct Alternate
    {
        uint8_t InterfaceNumber = 0;
        uint8_t Number = 0;
        bool Release2 = false;
        uint8_t TerminalLink = 0;
        uint8_t Channels = 0;
        uint8_t SubframeBytes = 0;
        uint8_t BitResolution = 0;
        bool Float = false;
        bool Unsigned = false;
        std::vector<uint32_t> Rates; // class 1: discrete rates of the format descriptor
        std::vector<Endpoint> Endpoints;
    };
    // The device's sample clock of one IN endpoint: sample frames produced by microframe t
    // are Base + (t - BaseTime) x rate x (1 + ppb / 10^9) / 8000, rebased whenever rate or
    // clock change.
    struct InClock
    {
        bool Running = false;
        uint8_t AlternateSetting = 0;
        uint32_t RateHz = 0;
        int64_t Ppb = 0;
        uint64_t BaseTime = 0;      // microframes
        uint64_t Base = 0;          // sample frames
        uint64_t BaseRemainder = 0; // and the fraction of one, in 1 / (8000 x 10^9)
        uint64_t Sent = 0;          // sample frames handed out (or lost)
        uint64_t LastEnd = 0;       // microframe after the last packet
        uint64_t Dropped = 0;
    };
    // The render buffer of one OUT endpoint: played frames follow the same clock as InClock's
    // produced ones, from the moment playing started.
    struct OutClock
    {
        InClock Clock;             // Base: frames played at BaseTime, counted in this priming
        bool Playing = false;      // primed and playing
        uint64_t Received = 0;     // frames received in this priming
        uint64_t PlayedBefore = 0; // frames played in earlier primings
        RenderBufferStats Stats;
    };

    void ReadConfiguration(const std::vector<uint8_t>& Configuration);
    void ReadClockOfTerminal(const DescriptorSpan& d);
    static void ReadFormatUac1(const DescriptorSpan& d, Alternate* Alt);
    static void ReadFormatUac2(const DescriptorSpan& d, Alternate* Alt);
    static void ReadEndpoint(const DescriptorSpan& d, Alternate* Alt);
    const Alternate* FindAlternate(uint8_t InterfaceNumber, uint8_t Number) const;
    const Alternate* CurrentAlternate(uint8_t EndpointAddress, const Endpoint** Found) const;
    StreamFormat FormatOf(const Alternate& Alt, const Endpoint& Data) const;
    uint32_t RateOf(const Alternate& Alt, const Endpoint& Data) const;
    static const Endpoint* DataEndpoint(const Alternate& Alt);
    bool Targets(uint8_t EndpointAddress) const; // under m_lock
    USBD_STATUS PacketFault(uint8_t EndpointAddress, bool* Empty, bool* Short);
    int64_t ClockPpbAt(uint64_t Microframe) const; // under m_lock
    static uint64_t Produced(const InClock& Clock, uint64_t Microframe);
    static void Rebase(InClock* Clock, uint64_t Microframe, int64_t Ppb);
    void ClockIn(InClock* Clock, const StreamFormat& Format, uint64_t Start, uint64_t End);
    void PlayOut(const StreamFormat& Format, uint64_t Start, uint64_t End, uint32_t Length); // under m_lock
    USBD_STATUS Feedback(uint8_t EndpointAddress, const StreamFormat& Format, uint64_t Microframe,
                         uint8_t* Data, uint32_t Capacity, uint32_t* Length);
    std::string CheckOutSize(const StreamFormat& Format, uint32_t Length) const;

    UsbDeviceModel& m_model;
    const bool m_highSpeed;
    const int32_t m_profilePpm;
    std::function<void()> m_changed;
    std::vector<Alternate> m_alternates;
    std::map<uint8_t, uint8_t> m_clockOfTerminal; // class 2: terminal id -> clock source id

    mutable std::mutex m_lock; // guards everything below
    StreamFaults m_faults;
    uint64_t m_transfers = 0;                      // data transfers begun since the faults were set
    uint64_t m_packets = 0;                        // data packets since the faults were set
    uint64_t m_inPackets = 0;                      // IN data packets since the faults were set
    std::map<uint8_t, uint32_t> m_failingTransfer; // endpoint -> its current transfer fails
    uint64_t m_feedbackTransfers = 0;              // feedback transfers begun since the faults were set
    bool m_failingFeedback = false;                // the current feedback transfer fails
    std::map<uint8_t, double> m_feedbackCarry;     // feedback endpoint -> the fraction its words owe
    std::map<uint8_t, InClock> m_inClocks;
    std::map<uint8_t, OutClock> m_outClocks;
    mutable bool m_driftStarted = false;                              // the drift counts from m_driftOrigin
    mutable uint64_t m_driftOrigin = 0;                               // microframes
    mutable uint64_t m_lastMicroframe = 0;                            // of the latest packet on any endpoint
    void Note(const StreamPacketRecord& Record, const uint8_t* Data); // under m_lock

    StreamPacketListener m_listener;
    bool m_keepRecord = true;
    std::map<uint8_t, uint64_t> m_dataBytes;
    std::vector<StreamPacketRecord> m_packetRecords;
    std::map<uint8_t, std::vector<uint8_t>> m_outStreams;
};

} // namespace sim
