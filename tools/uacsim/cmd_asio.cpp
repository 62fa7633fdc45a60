// `uacsim asio --device P`: a short session of the simulated ASIO companion on the driver: open
// the private interface, query it, map the rings, start, stream a tone through the render ring
// (and read the capture ring) for a few seconds, stop, unmap, close; then the report from the
// device's own record and the removal check.
#include "tools/uacsim/commands.h"
#include "tools/uacsim/driver_session.h"

#include "sim/device/stream_endpoint.h"
#include "sim/host/asio_client.h"

#include "plat_io.h"
#include "plat_sched.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace uacsim
{

namespace
{

constexpr ULONG kSessionSeconds = 2;
constexpr ULONG kToneHz = 440;
constexpr double kToneLevel = 0.25;

void Wait(ULONG Milliseconds)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -LONGLONG(Milliseconds) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

const char* SampleTypeName(ULONG Type)
{
    switch (Type)
    {
    case ASIO_SAMPLE_INT16:
        return "16-bit";
    case ASIO_SAMPLE_INT24:
        return "24-bit packed";
    case ASIO_SAMPLE_INT32:
        return "32-bit";
    case ASIO_SAMPLE_INT32_24:
        return "24 bits in 32";
    case ASIO_SAMPLE_INT32_16:
        return "16 bits in 32";
    default:
        return "other";
    }
}

ULONG BytesOf(ULONG Type)
{
    return Type == ASIO_SAMPLE_INT16 ? 2 : Type == ASIO_SAMPLE_INT24 ? 3 : 4;
}

// What the session produced and what the device recorded of it.
struct AsioRun
{
    ULONG SampleType = ASIO_SAMPLE_INT16;
    ULONG SampleBytes = 2;
    std::vector<ULONG> RenderRings, CaptureRings;
    std::vector<std::vector<UCHAR>> Written; // per ring: the tone as the companion wrote it
    std::vector<std::vector<UCHAR>> Read;    // per ring: what the companion read
    std::vector<ULONG> LeadIn;
    std::vector<size_t> ReadBeforeStop; // per ring: what was read before the stop silenced the rings
    std::mutex Lock;                    // the companion's thread appends while the runner looks
};

// A sine tone in the ring's frames: every channel carries it, the top bytes of each sample.
void FillTone(AsioRun& Run, ULONG Channels, ULONGLONG* Frame, UCHAR* Data, ULONG Bytes, ULONG RateHz)
{
    const ULONG frameBytes = Channels * Run.SampleBytes;
    for (ULONG at = 0; at + frameBytes <= Bytes; at += frameBytes, ++*Frame)
    {
        const double phase = 2.0 * 3.14159265358979323846 * kToneHz * double(*Frame) / RateHz;
        const int32_t value = int32_t(std::lround(std::sin(phase) * kToneLevel * 2147483647.0));
        for (ULONG c = 0; c < Channels; ++c)
            for (ULONG b = 0; b < Run.SampleBytes; ++b)
                Data[at + c * Run.SampleBytes + b] =
                    UCHAR(uint32_t(value) >> (8 * (4 - Run.SampleBytes + b)));
    }
}

bool SetUp(sim::AsioClient& Client, AsioRun* Run, ULONG* RateHz, std::FILE* Out, std::FILE* Err)
{
    std::string name;
    AsioChannelCounts counts;
    if (!NT_SUCCESS(Client.GetProductName(&name)) || !NT_SUCCESS(Client.GetChannelCounts(&counts)))
    {
        Complain(Out, Err, "uacsim: the ASIO interface does not answer its queries\n");
        return false;
    }
    ULONG requested = 0;
    std::vector<ULONG> types;
    Client.GetSampleTypes(&requested, &types);
    if (types.empty())
    {
        Complain(Out, Err, "uacsim: the ASIO endpoints share no sample type\n");
        return false;
    }
    Run->SampleType = types.front();
    Run->SampleBytes = BytesOf(Run->SampleType);
    Client.SetValue(IOCTL_ASIO_SET_SAMPLE_TYPE, Run->SampleType);
    Client.GetValue(IOCTL_ASIO_GET_SAMPLE_RATE, RateHz);
    AsioBufferSize size;
    Client.GetBufferSize(&size);
    std::fprintf(Out, "asio: \"%s\", %u endpoints, %u output and %u input channels\n", name.c_str(),
                 counts.EndpointCount, counts.OutputChannels, counts.InputChannels);
    std::fprintf(Out, "asio: %u Hz, %s, buffer %u frames (%u to %u)\n", *RateHz,
                 SampleTypeName(Run->SampleType), size.PreferredFrames, size.MinimumFrames,
                 size.MaximumFrames);
    std::vector<sim::AsioChannelRequest> channels;
    for (ULONG c = 0; c < counts.OutputChannels; ++c)
        channels.push_back({false, c});
    for (ULONG c = 0; c < counts.InputChannels; ++c)
        channels.push_back({true, c});
    // The rings carry the sample type just set.
    NTSTATUS status = Client.Map(channels, size.PreferredFrames);
    if (!NT_SUCCESS(status))
    {
        Complain(Out, Err, "uacsim: the rings were not mapped: %s\n", StatusText(status).c_str());
        return false;
    }
    return true;
}

// The device's OUT stream of the render endpoint against the companion's tone, after the silence
// the driver reads before the first written byte.
bool RenderBitExact(const std::vector<uint8_t>& Device, const std::vector<UCHAR>& Written, ULONG LeadIn,
                    size_t* Compared)
{
    *Compared = 0;
    if (Device.size() < LeadIn)
        return false;
    for (ULONG i = 0; i < LeadIn; ++i)
        if (Device[i] != 0)
            return false;
    *Compared = std::min(Device.size() - LeadIn, Written.size());
    return *Compared > 0 && std::memcmp(Device.data() + LeadIn, Written.data(), *Compared) == 0;
}

// The render endpoints' OUT streams and the capture endpoints' IN packets of the device's
// record, matched to the rings of each direction in order.
std::vector<uint8_t> EndpointsWithPackets(sim::StreamEndpoints& Streams, bool In)
{
    std::vector<uint8_t> found;
    for (const sim::StreamPacketRecord& r : Streams.Packets())
        if (r.In == In && !r.Feedback &&
            std::find(found.begin(), found.end(), r.EndpointAddress) == found.end())
            found.push_back(r.EndpointAddress);
    return found;
}

bool ReportAsioRecord(DriverSession& Session, sim::AsioClient& Client, const AsioRun& Run, ULONG RateHz,
                      std::FILE* Out)
{
    sim::StreamEndpoints& streams = Session.Device().Streams();
    const std::vector<uint8_t> outs = EndpointsWithPackets(streams, false);
    const std::vector<uint8_t> ins = EndpointsWithPackets(streams, true);
    const std::vector<sim::StreamPacketRecord> packets = streams.Packets();
    bool ok = true;
    size_t renderIndex = 0, captureIndex = 0;
    for (size_t r = 0; r < Client.Rings().size(); ++r)
    {
        const sim::AsioRingView& ring = Client.Rings()[r];
        if (!ring.Active)
            continue;
        const ULONG channels = ring.Header->Channels;
        if (!ring.Input)
        {
            const uint8_t address = renderIndex < outs.size() ? outs[renderIndex] : 0;
            ++renderIndex;
            size_t compared = 0, count = 0;
            for (const sim::StreamPacketRecord& p : packets)
                count += p.EndpointAddress == address && !p.In;
            const bool exact = address && RenderBitExact(streams.OutStream(address), Run.Written[r],
                                                         Run.LeadIn[r], &compared);
            std::fprintf(Out,
                         "render ring %zu -> endpoint 0x%02X: %u channels, %zu packets, %.3f s of audio, "
                         "lead-in %u bytes, bit-exact: %s\n",
                         r, address, channels, count,
                         double(compared) / (channels * Run.SampleBytes) / RateHz, Run.LeadIn[r],
                         exact ? "yes" : "no");
            ok = ok && exact;
            continue;
        }
        const uint8_t address = captureIndex < ins.size() ? ins[captureIndex] : 0;
        ++captureIndex;
        uint64_t first = 0;
        size_t count = 0;
        for (const sim::StreamPacketRecord& p : packets)
            if (p.EndpointAddress == address && p.In && p.Bytes > 0 && p.Status == USBD_STATUS_SUCCESS)
                first = count++ == 0 ? p.FirstSample : first;
        sim::StreamFormat format;
        format.Channels = uint8_t(channels);
        format.SubframeBytes = uint8_t(Run.SampleBytes);
        format.BitResolution = uint8_t(8 * Run.SampleBytes);
        const ULONG frameBytes = format.BlockBytes();
        const std::vector<UCHAR>& read = Run.Read[r];
        const size_t frames = std::min<size_t>(read.size(), Run.ReadBeforeStop[r]) / frameBytes;
        std::vector<uint8_t> expected(frameBytes);
        size_t wrong = 0;
        for (size_t f = 0; f < frames; ++f)
        {
            sim::StreamSignalFrame(format, first + f, expected.data());
            wrong += std::memcmp(expected.data(), read.data() + f * frameBytes, frameBytes) != 0;
        }
        const bool exact = address && frames > 0 && wrong == 0;
        std::fprintf(Out,
                     "capture ring %zu <- endpoint 0x%02X: %u channels, %zu packets, %.3f s of audio, "
                     "the device's signal bit-exact: %s\n",
                     r, address, channels, count, double(frames) / RateHz, exact ? "yes" : "no");
        ok = ok && exact;
    }
    return ok;
}

int RunAsioSession(DriverSession& Session, sim::AsioClient& Client, std::FILE* Out, std::FILE* Err)
{
    AsioRun run;
    ULONG rate = 48000;
    if (!SetUp(Client, &run, &rate, Out, Err))
        return kExitFailure;
    const size_t rings = Client.Rings().size();
    run.Written.resize(rings);
    run.Read.resize(rings);
    std::vector<ULONGLONG> frames(rings, 0);
    std::vector<ULONG> channels(rings, 0);
    for (size_t r = 0; r < rings; ++r)
        channels[r] = Client.Rings()[r].Header->Channels;
    Client.SetRenderSource(
        [&](ULONG Ring, UCHAR* Data, ULONG Bytes)
        {
            FillTone(run, channels[Ring], &frames[Ring], Data, Bytes, rate);
            std::lock_guard<std::mutex> guard(run.Lock);
            run.Written[Ring].insert(run.Written[Ring].end(), Data, Data + Bytes);
        });
    Client.SetCaptureSink(
        [&](ULONG Ring, const UCHAR* Data, ULONG Bytes)
        {
            std::lock_guard<std::mutex> guard(run.Lock);
            run.Read[Ring].insert(run.Read[Ring].end(), Data, Data + Bytes);
        });
    Session.Device().Streams().ClearRecords();
    NTSTATUS status = Client.Start();
    if (!NT_SUCCESS(status))
    {
        Complain(Out, Err, "uacsim: the ASIO streams did not start: %s\n", StatusText(status).c_str());
        return kExitFailure;
    }
    run.LeadIn.assign(rings, 0);
    for (size_t r = 0; r < rings; ++r)
        run.LeadIn[r] = Client.RenderLeadIn(ULONG(r));
    for (ULONG second = 0; second < kSessionSeconds; ++second)
    {
        Wait(1000);
        std::fprintf(Out, "streaming: %u s, %u periods\n", second + 1, Client.Stats().Periods);
    }
    const sim::AsioClientStats stats = Client.Stats();
    {
        std::lock_guard<std::mutex> guard(run.Lock);
        for (const std::vector<UCHAR>& read : run.Read)
            run.ReadBeforeStop.push_back(read.size());
    }
    status = Client.Stop();
    // The report reads the rings' shape from the companion's own copy, so it comes before the
    // unmap takes the views away.
    const bool recorded = ReportAsioRecord(Session, Client, run, rate, Out);
    const NTSTATUS unmapped = Client.Unmap();
    std::fprintf(Out, "stopped: %s; unmapped: %s; %u periods, %u late render periods\n",
                 StatusText(status).c_str(), StatusText(unmapped).c_str(), stats.Periods, stats.LateRenders);
    bool exact = NT_SUCCESS(status) && NT_SUCCESS(unmapped) && stats.LateRenders == 0;
    return recorded && exact ? kExitOk : kExitFailure;
}

} // namespace

int RunAsio(const CommandLine& Line, std::FILE* Out, std::FILE* Err)
{
    sim::DeviceProfile profile;
    std::string error;
    if (!sim::LoadProfile(Line.Device, &profile, &error))
    {
        Complain(Out, Err, "uacsim: cannot load device '%s': %s\n", Line.Device.c_str(), error.c_str());
        return kExitUsage;
    }
    if (Line.Realtime)
        plat::SetClockMode(plat::ClockMode::Real);
    plat::ScopedThreadRegistration registration("uacsim");
    int result = kExitOk;
    {
        DriverSession session;
        std::fprintf(Out, "device %s (%04x:%04x)\n", profile.Name().c_str(), profile.VendorId(),
                     profile.ProductId());
        std::unique_ptr<sim::AsioClient> client;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        if (!session.Start(profile, &error))
        {
            Complain(Out, Err, "uacsim: %s", error.c_str());
            result = kExitFailure;
        }
        else if (!NT_SUCCESS(status = sim::AsioClient::Open(&client, session.Pnp().Pdo())))
        {
            Complain(Out, Err, "uacsim: the device offers no ASIO interface (%s): no endpoint serves ASIO\n",
                     StatusText(status).c_str());
            result = kExitUsage;
        }
        else
        {
            result = RunAsioSession(session, *client, Out, Err);
            client->Close();
        }
        client.reset();
        if (!session.Finish(&error))
        {
            Complain(Out, Err, "uacsim: the driver did not go away cleanly:\n%s", error.c_str());
            result = kExitFailure;
        }
        else if (result == kExitOk)
        {
            std::fprintf(Out, "removed cleanly: no pool blocks or kernel objects left\n");
        }
    }
    return result;
}

} // namespace uacsim
