// CMiniportWaveCyclic and its stream where the whole driver cannot make the case: data ranges
// from chosen format lists, the filter description, where a data format keeps its wave format,
// intersection statuses, the private properties' size checks, one stream at a time, the cyclic
// buffer's size and bounds, and the byte-rate conversion against an independent model. The
// endpoint is a real CStreamEngine with the test's formats, behind the one device double.
#include "support/graph_test_doubles.h"

#include "driver/core/device_extension.h"
#include "driver/wave/miniport_wave_cyclic.h"
#include "driver/wave/miniport_wave_cyclic_stream.h"
#include "driver/wave/stream_engine.h"
#include "plat_portcls.h"

#include <cstring>
#include <random>
#include <vector>

namespace
{

using gd::Make;

class CTestEngine : public CStreamEngine
{
public:
    CTestEngine(PUNKNOWN outer, ULONG id) : CStreamEngine(outer, id) {}
};

WAVEFORMATEXTENSIBLE Format(WORD channels, DWORD rate, WORD bits, const GUID& sub = KSDATAFORMAT_SUBTYPE_PCM)
{
    return gd::Pcm(channels, rate, WORD((bits + 7) / 8), bits, channels == 2 ? 3 : 0, sub);
}

// A pin's data format: FormatSize bytes, the wave format at its place.
std::vector<UCHAR> DataFormat(ULONG size, ULONG flags, ULONG offset, const void* wave, ULONG waveBytes)
{
    std::vector<UCHAR> bytes(std::max<size_t>(size, offset + waveBytes));
    KSDATAFORMAT header = {};
    header.FormatSize = size;
    header.Flags = flags;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(bytes.data(), &header, sizeof(header));
    std::memcpy(bytes.data() + offset, wave, waveBytes);
    return bytes;
}

class MiniportWaveCyclic : public gd::LeakCheckedTest
{
protected:
    void TearDown() override
    {
        if (m_Miniport)
            m_Miniport->Release();
        if (m_Port)
            m_Port->Release();
        gd::LeakCheckedTest::TearDown();
    }

    // The miniport of one endpoint offering the formats; Init's status.
    NTSTATUS Build(const std::vector<WAVEFORMATEXTENSIBLE>& formats, ULONG capture = 0,
                   const char16_t* name = u"SPKOut00")
    {
        CTestEngine* engine = New<CTestEngine>(1u);
        EXPECT_EQ(engine->Init(capture), STATUS_SUCCESS);
        EXPECT_EQ(engine->SetName(name), STATUS_SUCCESS);
        for (const WAVEFORMATEXTENSIBLE& f : formats)
            EXPECT_EQ(engine->AddFormat(&f), STATUS_SUCCESS);
        m_Hal = New<gd::CTestHal>();
        m_Hal->Streams.push_back(engine);
        EXPECT_EQ(m_Hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
        PPORT port = nullptr;
        EXPECT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        EXPECT_EQ(port->QueryInterface(IID_IPortWaveCyclic, reinterpret_cast<PVOID*>(&m_Port)),
                  STATUS_SUCCESS);
        port->Release();
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(CreateMiniportWaveCyclic(&unknown, CLSID_PortWaveCyclic, nullptr, NonPagedPool, 0),
                  STATUS_SUCCESS);
        m_Miniport =
            static_cast<CMiniportWaveCyclic*>(reinterpret_cast<IMiniportWaveCyclic*>(Query(unknown)));
        unknown->Release();
        return m_Miniport->Init(m_Hal->GetNonDelegatingUnknown(), nullptr, m_Port);
    }
    static PVOID Query(PUNKNOWN unknown)
    {
        PMINIPORTWAVECYCLIC miniport = nullptr;
        EXPECT_EQ(unknown->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<PVOID*>(&miniport)),
                  STATUS_SUCCESS);
        return miniport;
    }

    NTSTATUS Property(const GUID& set, ULONG id, std::vector<UCHAR>* value, bool nullValue = false)
    {
        PCPROPERTY_ITEM item = {&set, id, 0, nullptr};
        PCPROPERTY_REQUEST request = {};
        request.MajorTarget = static_cast<IMiniportWaveCyclic*>(m_Miniport);
        request.PropertyItem = &item;
        request.ValueSize = ULONG(value->size());
        request.Value = nullValue ? nullptr : value->data();
        return id == KSPROPERTY_VENDORAUDIO_FORMAT_SUPPORT
                   ? CMiniportWaveCyclic::WaveFormatSupportHandler(&request)
                   : CMiniportWaveCyclic::WaveEndpointCapsHandler(&request);
    }

    gd::CTestHal* m_Hal = nullptr;
    PPORTWAVECYCLIC m_Port = nullptr;
    CMiniportWaveCyclic* m_Miniport = nullptr;
};

const GUID kFloat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;

TEST_F(MiniportWaveCyclic, DataRangesComeOnePerSubFormatWithPcmFirst)
{
    struct Range
    {
        GUID Sub;
        ULONG Channels, MinBits, MaxBits, MinRate, MaxRate;
    };
    struct Row
    {
        const char* What;
        std::vector<WAVEFORMATEXTENSIBLE> Formats;
        NTSTATUS Status;
        std::vector<Range> Ranges;
    };
    const Row rows[] = {
        {"PCM and float",
         {Format(2, 44100, 16), Format(2, 96000, 24), Format(2, 48000, 32, kFloat)},
         STATUS_SUCCESS,
         {{KSDATAFORMAT_SUBTYPE_PCM, 2, 16, 24, 44100, 96000}, {kFloat, 2, 32, 32, 48000, 48000}}},
        {"float listed first",
         {Format(2, 48000, 32, kFloat), Format(6, 48000, 16), Format(2, 44100, 24)},
         STATUS_SUCCESS,
         {{KSDATAFORMAT_SUBTYPE_PCM, 6, 16, 24, 44100, 48000}, {kFloat, 2, 32, 32, 48000, 48000}}},
        {"DSD is never offered",
         {Format(2, 44100, 16), Format(2, 88200, 1, KSDATAFORMAT_SUBTYPE_DSD)},
         STATUS_SUCCESS,
         {{KSDATAFORMAT_SUBTYPE_PCM, 2, 16, 16, 44100, 44100}}},
        // Nothing ran out of memory here: the endpoint has nothing the filter offers.
        {"only DSD", {Format(2, 88200, 1, KSDATAFORMAT_SUBTYPE_DSD)}, STATUS_NOT_SUPPORTED, {}},
        {"no formats", {}, STATUS_NOT_SUPPORTED, {}},
        // A float-only endpoint streams: its range stands first.
        {"no PCM",
         {Format(2, 44100, 32, kFloat), Format(2, 88200, 1, KSDATAFORMAT_SUBTYPE_DSD),
          Format(2, 96000, 32, kFloat)},
         STATUS_SUCCESS,
         {{kFloat, 2, 32, 32, 44100, 96000}}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.What);
        ASSERT_EQ(Build(row.Formats), row.Status);
        PPCFILTER_DESCRIPTOR d = nullptr;
        if (!NT_SUCCESS(row.Status))
        {
            EXPECT_EQ(m_Miniport->GetDescription(&d), STATUS_DEVICE_CONFIGURATION_ERROR);
            EXPECT_EQ(m_Miniport->GetDataRangeCount(), 0u);
        }
        else
        {
            ASSERT_EQ(m_Miniport->GetDescription(&d), STATUS_SUCCESS);
            const KSPIN_DESCRIPTOR& pin = d->Pins[WAVE_PIN_STREAMING].KsPinDescriptor;
            ASSERT_EQ(pin.DataRangesCount, row.Ranges.size());
            for (size_t i = 0; i < row.Ranges.size(); ++i)
            {
                const KSDATARANGE_AUDIO* r = reinterpret_cast<const KSDATARANGE_AUDIO*>(pin.DataRanges[i]);
                const Range& w = row.Ranges[i];
                EXPECT_EQ(r->DataRange.FormatSize, 88u);
                EXPECT_TRUE(IsEqualGUID(r->DataRange.SubFormat, w.Sub)) << i;
                EXPECT_TRUE(IsEqualGUID(r->DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
                EXPECT_EQ(r->MaximumChannels, w.Channels) << i;
                EXPECT_EQ(r->MinimumBitsPerSample, w.MinBits) << i;
                EXPECT_EQ(r->MaximumBitsPerSample, w.MaxBits) << i;
                EXPECT_EQ(r->MinimumSampleFrequency, w.MinRate) << i;
                EXPECT_EQ(r->MaximumSampleFrequency, w.MaxRate) << i;
            }
        }
        TearDown();
        m_Miniport = nullptr;
        m_Port = nullptr;
        SetUp();
    }
}

TEST_F(MiniportWaveCyclic, FilterDescriptionFollowsTheDirection)
{
    for (ULONG capture : {0u, 1u})
    {
        SCOPED_TRACE(capture ? "capture" : "render");
        ASSERT_EQ(Build({Format(2, 48000, 16)}, capture, capture ? u"MicIn00" : u"SPKOut00"), STATUS_SUCCESS);
        PPCFILTER_DESCRIPTOR d = nullptr;
        ASSERT_EQ(m_Miniport->GetDescription(&d), STATUS_SUCCESS);
        ASSERT_EQ(d->CategoryCount, 3u);
        EXPECT_TRUE(IsEqualGUID(d->Categories[1], capture ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER));
        EXPECT_TRUE(IsEqualGUID(d->Categories[2], GUID_DEVINTERFACE_ENUM_PRIVATE));
        ASSERT_EQ(d->PinCount, 2u);
        EXPECT_EQ(d->Pins[0].KsPinDescriptor.DataFlow, capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN);
        EXPECT_EQ(d->Pins[0].KsPinDescriptor.Communication, KSPIN_COMMUNICATION_SINK);
        EXPECT_EQ(d->Pins[1].KsPinDescriptor.DataFlow, capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
        EXPECT_EQ(d->Pins[1].KsPinDescriptor.DataRanges[0]->FormatSize, 64u);
        EXPECT_TRUE(IsEqualGUID(*d->Nodes[0].Type, capture ? KSNODETYPE_ADC : KSNODETYPE_DAC));
        // The signal runs streaming pin -> node -> bridge for render, the other way for capture.
        const ULONG in = capture ? 1 : 0, out = capture ? 0 : 1;
        EXPECT_EQ(d->Connections[0].FromNode, PCFILTER_NODE);
        EXPECT_EQ(d->Connections[0].FromNodePin, in);
        EXPECT_EQ(d->Connections[1].ToNode, PCFILTER_NODE);
        EXPECT_EQ(d->Connections[1].ToNodePin, out);
        PWSTR name = nullptr;
        PMINIPORTSUBDEVICE sub = nullptr;
        ASSERT_EQ(m_Miniport->QueryInterface(IID_IMiniportSubdevice, reinterpret_cast<PVOID*>(&sub)),
                  STATUS_SUCCESS);
        EXPECT_EQ(sub->GetSubdeviceName(&name), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(name), capture ? u"MicIn00Wave" : u"SPKOut00Wave");
        EXPECT_EQ(sub->GetSubdeviceName(nullptr), STATUS_INVALID_PARAMETER);
        sub->Release();
        TearDown();
        m_Miniport = nullptr;
        m_Port = nullptr;
        SetUp();
    }
}

TEST_F(MiniportWaveCyclic, ALongEndpointNameIsCutToTheNameBuffer)
{
    const std::u16string longName(50, u'x');
    ASSERT_EQ(Build({Format(2, 48000, 16)}, 0, longName.c_str()), STATUS_SUCCESS);
    PWSTR name = nullptr;
    PMINIPORTSUBDEVICE sub = nullptr;
    ASSERT_EQ(m_Miniport->QueryInterface(IID_IMiniportSubdevice, reinterpret_cast<PVOID*>(&sub)),
              STATUS_SUCCESS);
    ASSERT_EQ(sub->GetSubdeviceName(&name), STATUS_SUCCESS);
    sub->Release();
    const std::u16string got(name);
    EXPECT_LE(got.size(), WAVE_SUBDEVICE_NAME_BOUND_BYTES / 2);
    EXPECT_EQ(got.substr(0, 40), longName.substr(0, 40));
}

TEST_F(MiniportWaveCyclic, ValidateFormatFindsTheWaveFormatBySizeAndFlags)
{
    ASSERT_EQ(Build({Format(2, 48000, 16)}), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE ext = Format(2, 48000, 16);
    WAVEFORMATEX plain = ext.Format;
    plain.wFormatTag = WAVE_FORMAT_PCM;
    plain.cbSize = 0;
    WAVEFORMATEXTENSIBLE shortExt = ext;
    shortExt.Format.cbSize = 20;
    struct Row
    {
        ULONG Size, Flags, Offset;
        const void* Wave;
        ULONG WaveBytes;
        NTSTATUS Status;
    };
    // FormatSize, flags, where the wave format is put, the format, its bytes, status.
    const Row rows[] = {
        {82, 0, 64, &plain, 18, STATUS_SUCCESS},
        {104, 0, 64, &ext, 40, STATUS_SUCCESS},
        {90, 0, 72, &plain, 18, STATUS_SUCCESS},
        {88, KSDATAFORMAT_ATTRIBUTES, 64, &plain, 18, STATUS_SUCCESS},
        {104, KSDATAFORMAT_ATTRIBUTES, 64, &ext, 40, STATUS_SUCCESS},
        {96, KSDATAFORMAT_ATTRIBUTES, 72, &plain, 18, STATUS_SUCCESS},
        {100, 0, 64, &ext, 40, STATUS_INVALID_PARAMETER},
        {88, 0, 64, &plain, 18, STATUS_INVALID_PARAMETER},
        {81, 0, 64, &plain, 18, STATUS_INVALID_PARAMETER},
        // An extensible format must lie whole inside FormatSize and claim its extension.
        {90, 0, 72, &ext, 40, STATUS_INVALID_PARAMETER},
        {88, KSDATAFORMAT_ATTRIBUTES, 64, &ext, 40, STATUS_INVALID_PARAMETER},
        {104, 0, 64, &shortExt, 40, STATUS_INVALID_PARAMETER},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message() << row.Size << " flags " << row.Flags << " at " << row.Offset);
        std::vector<UCHAR> bytes = DataFormat(row.Size, row.Flags, row.Offset, row.Wave, row.WaveBytes);
        PWAVEFORMATEX found = nullptr;
        EXPECT_EQ(m_Miniport->ValidateFormat(reinterpret_cast<PKSDATAFORMAT>(bytes.data()), &found),
                  row.Status);
        if (NT_SUCCESS(row.Status))
        {
            EXPECT_EQ(reinterpret_cast<PUCHAR>(found), bytes.data() + row.Offset);
            EXPECT_EQ(found->nAvgBytesPerSec, 192000u);
        }
    }
    std::vector<UCHAR> bytes = DataFormat(104, 0, 64, &ext, 40);
    reinterpret_cast<PKSDATAFORMAT>(bytes.data())->MajorFormat = GUID_NULL;
    PWAVEFORMATEX found = nullptr;
    EXPECT_EQ(m_Miniport->ValidateFormat(reinterpret_cast<PKSDATAFORMAT>(bytes.data()), &found),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Miniport->ValidateFormat(nullptr, &found), STATUS_INVALID_PARAMETER);
}

TEST_F(MiniportWaveCyclic, IntersectionStatusesAndTheOfferedFormat)
{
    const WAVEFORMATEXTENSIBLE offered[] = {Format(2, 44100, 16), Format(2, 96000, 24)};
    ASSERT_EQ(Build({offered[0], offered[1]}), STATUS_SUCCESS);
    PPCFILTER_DESCRIPTOR d = nullptr;
    ASSERT_EQ(m_Miniport->GetDescription(&d), STATUS_SUCCESS);
    PKSDATARANGE own = d->Pins[0].KsPinDescriptor.DataRanges[0];
    KSDATARANGE_AUDIO client = *reinterpret_cast<KSDATARANGE_AUDIO*>(own);
    client.MaximumChannels = 2;
    client.MinimumSampleFrequency = client.MaximumSampleFrequency = 44100;
    client.MinimumBitsPerSample = client.MaximumBitsPerSample = 16;
    KSDATARANGE_AUDIO wildcard = client;
    wildcard.DataRange.Specifier = GUID_NULL;
    KSDATARANGE_AUDIO dsound = client;
    dsound.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    KSDATARANGE_AUDIO high = client;
    high.MinimumSampleFrequency = high.MaximumSampleFrequency = 192000;
    KSDATARANGE_AUDIO small = client;
    small.DataRange.FormatSize = 64;
    KSDATARANGE_AUDIO other = client;
    other.DataRange.SubFormat = kFloat;
    struct Row
    {
        const char* What;
        KSDATARANGE_AUDIO* Client;
        ULONG Length;
        bool NullBuffer;
        NTSTATUS Status;
        ULONG ResultLength;
        const WAVEFORMATEXTENSIBLE* Found;
        ULONG SampleSize;
    };
    const Row rows[] = {
        {"wildcard size query", &wildcard, 0, false, STATUS_BUFFER_OVERFLOW, 104, nullptr, 0},
        {"wildcard short", &wildcard, 103, false, STATUS_BUFFER_TOO_SMALL, 0, nullptr, 0},
        {"wildcard null buffer", &wildcard, 104, true, STATUS_INVALID_PARAMETER, 0, nullptr, 0},
        {"wildcard takes the best", &wildcard, 104, false, STATUS_SUCCESS, 104, &offered[1], 0},
        {"DirectSound", &dsound, 104, false, STATUS_NOT_SUPPORTED, 0, nullptr, 0},
        {"size query", &client, 0, false, STATUS_BUFFER_OVERFLOW, 104, nullptr, 0},
        {"short", &client, 50, false, STATUS_BUFFER_TOO_SMALL, 0, nullptr, 0},
        {"short client range", &small, 104, false, STATUS_INVALID_PARAMETER, 0, nullptr, 0},
        {"rate out of range", &high, 104, false, STATUS_NO_MATCH, 0, nullptr, 0},
        {"null buffer", &client, 104, true, STATUS_INVALID_PARAMETER, 0, nullptr, 0},
        {"sub-format not offered", &other, 104, false, STATUS_NO_MATCH, 0, nullptr, 0},
        {"exact", &client, 104, false, STATUS_SUCCESS, 104, &offered[0], 4},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.What);
        KSDATAFORMAT_WAVEFORMATEXTENSIBLE result;
        std::memset(&result, 0xCD, sizeof(result));
        ULONG length = 0;
        EXPECT_EQ(m_Miniport->DataRangeIntersection(0, &row.Client->DataRange, own, row.Length,
                                                    row.NullBuffer ? nullptr : &result, &length),
                  row.Status);
        EXPECT_EQ(length, row.ResultLength);
        if (row.Found)
        {
            EXPECT_EQ(std::memcmp(&result.WaveFormatExt, row.Found, sizeof(WAVEFORMATEXTENSIBLE)), 0);
            EXPECT_EQ(result.DataFormat.FormatSize, 104u);
            EXPECT_EQ(result.DataFormat.SampleSize, row.SampleSize);
            EXPECT_TRUE(IsEqualGUID(result.DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
        }
    }
}

TEST_F(MiniportWaveCyclic, PrivatePropertiesCheckSizesAndAnswerFromTheEndpoint)
{
    ASSERT_EQ(Build({Format(2, 48000, 16)}), STATUS_SUCCESS);
    EndpointCaps caps = {};
    caps.Mask = 0x1234;
    caps.Flags = ENDPOINT_CAPS_FLAG_ASIO;
    m_Hal->SetCaps(caps);
    WAVEFORMATEXTENSIBLE offered = Format(2, 48000, 16);
    WAVEFORMATEXTENSIBLE absent = Format(2, 96000, 16);
    struct Row
    {
        const char* What;
        GUID Set;
        ULONG Id;
        std::vector<UCHAR> Value;
        bool NullValue;
        NTSTATUS Status;
    };
    auto bytes = [](const void* p, size_t n)
    { return std::vector<UCHAR>((const UCHAR*)p, (const UCHAR*)p + n); };
    const Row rows[] = {
        {"caps short", KSPROPSETID_VendorAudio, 1, std::vector<UCHAR>(31), false,
         STATUS_INVALID_DEVICE_REQUEST},
        {"caps", KSPROPSETID_VendorAudio, 1, std::vector<UCHAR>(32), false, STATUS_SUCCESS},
        {"caps wrong set", KSPROPSETID_Audio, 1, std::vector<UCHAR>(32), false,
         STATUS_INVALID_DEVICE_REQUEST},
        {"format short", KSPROPSETID_VendorAudio, 5, bytes(&offered, 39), false, STATUS_INVALID_PARAMETER},
        {"format null", KSPROPSETID_VendorAudio, 5, bytes(&offered, 40), true, STATUS_INVALID_PARAMETER},
        {"format offered", KSPROPSETID_VendorAudio, 5, bytes(&offered, 40), false, STATUS_SUCCESS},
        {"format not offered", KSPROPSETID_VendorAudio, 5, bytes(&absent, 40), false, STATUS_NO_MATCH},
        {"format wrong set", KSPROPSETID_Audio, 5, bytes(&offered, 40), false, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.What);
        std::vector<UCHAR> value = row.Value;
        EXPECT_EQ(Property(row.Set, row.Id, &value, row.NullValue), row.Status);
        if (row.Id == 1 && NT_SUCCESS(row.Status))
        {
            EXPECT_EQ(std::memcmp(value.data(), &caps, sizeof(caps)), 0);
        }
    }
}

// ---- The stream ----

struct OpenStream
{
    PMINIPORTWAVECYCLICSTREAM Stream = nullptr;
    PDMACHANNEL Dma = nullptr;
    PSERVICEGROUP Group = nullptr;
    void Release()
    {
        for (PUNKNOWN u :
             {static_cast<PUNKNOWN>(Stream), static_cast<PUNKNOWN>(Dma), static_cast<PUNKNOWN>(Group)})
            if (u)
                u->Release();
        *this = OpenStream();
    }
};

class MiniportWaveCyclicStream : public MiniportWaveCyclic
{
protected:
    NTSTATUS Open(const WAVEFORMATEXTENSIBLE& f, OpenStream* s)
    {
        m_Format = DataFormat(104, 0, 64, &f, 40);
        return m_Miniport->NewStream(&s->Stream, nullptr, NonPagedPool, 0, FALSE,
                                     reinterpret_cast<PKSDATAFORMAT>(m_Format.data()), &s->Dma, &s->Group);
    }
    std::vector<UCHAR> m_Format;
};

TEST_F(MiniportWaveCyclicStream, OneStreamAtATime)
{
    ASSERT_EQ(Build({Format(2, 48000, 16)}), STATUS_SUCCESS);
    OpenStream first, second;
    ASSERT_EQ(Open(Format(2, 48000, 16), &first), STATUS_SUCCESS);
    EXPECT_EQ(Open(Format(2, 48000, 16), &second), STATUS_INSUFFICIENT_RESOURCES);
    first.Release();
    EXPECT_EQ(Open(Format(2, 48000, 16), &second), STATUS_SUCCESS);
    EXPECT_EQ(Open(Format(2, 96000, 16), &first), STATUS_INSUFFICIENT_RESOURCES);
    second.Release();
    EXPECT_EQ(Open(Format(2, 96000, 16), &first), STATUS_INVALID_PARAMETER) << "a format not offered";
}

// 50 ms of the format in whole frames, so channels never swap at the wrap.
TEST_F(MiniportWaveCyclicStream, TheCyclicBufferHoldsWholeFrames)
{
    struct Row
    {
        WAVEFORMATEXTENSIBLE Format;
        ULONG Buffer, Framing;
    };
    const Row rows[] = {
        {Format(2, 48000, 16), 9600, 1920}, {Format(2, 44100, 16), 8820, 1764},
        {Format(2, 11025, 16), 2204, 440},  {Format(2, 22050, 16), 4408, 880},
        {Format(2, 22050, 24), 6612, 1320}, {Format(1, 11025, 16), 1102, 220},
    };
    std::vector<WAVEFORMATEXTENSIBLE> formats;
    for (const Row& row : rows)
        formats.push_back(row.Format);
    ASSERT_EQ(Build(formats), STATUS_SUCCESS);
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message()
                     << row.Format.Format.nSamplesPerSec << " Hz " << row.Format.Format.nChannels << " ch "
                     << row.Format.Format.wBitsPerSample);
        OpenStream s;
        ASSERT_EQ(Open(row.Format, &s), STATUS_SUCCESS);
        EXPECT_EQ(s.Dma->AllocatedBufferSize(), row.Buffer);
        EXPECT_EQ(s.Dma->AllocatedBufferSize() % row.Format.Format.nBlockAlign, 0u);
        ULONG framing = 0;
        EXPECT_EQ(s.Stream->SetNotificationFreq(1, &framing), 10u);
        EXPECT_EQ(framing, row.Framing);
        s.Release();
    }
}

TEST_F(MiniportWaveCyclicStream, DmaChannelSlotsKeepInsideTheBuffer)
{
    WAVEFORMATEXTENSIBLE eight = gd::Pcm(1, 8000, 1, 8, 0);
    ASSERT_EQ(Build({Format(2, 48000, 16), eight}), STATUS_SUCCESS);
    OpenStream s;
    ASSERT_EQ(Open(Format(2, 48000, 16), &s), STATUS_SUCCESS);
    const ULONG size = s.Dma->AllocatedBufferSize();
    EXPECT_EQ(s.Dma->MaximumBufferSize(), 307200u);
    s.Dma->SetBufferSize(size);
    EXPECT_EQ(s.Dma->BufferSize(), size) << "a size not below the allocation is ignored";
    PUCHAR buffer = static_cast<PUCHAR>(s.Dma->SystemAddress());
    std::memset(buffer, 0x55, size);
    s.Stream->Silence(buffer + size - 8, 9);
    EXPECT_EQ(buffer[size - 1], 0x55) << "one byte past the end writes nothing";
    s.Stream->Silence(buffer + size - 8, 8);
    EXPECT_EQ(buffer[size - 1], 0);
    std::vector<UCHAR> source(16, 0xAA), sink(16, 0);
    s.Dma->CopyTo(buffer + size - 8, source.data(), 16);
    EXPECT_EQ(buffer[size - 8], 0) << "a copy that passes the end is refused";
    s.Dma->CopyTo(buffer + size - 16, source.data(), 16);
    s.Dma->CopyFrom(sink.data(), buffer + size - 16, 16);
    EXPECT_EQ(sink, source);
    LONGLONG position = 192000; // one second of bytes, in 100 ns units
    EXPECT_EQ(s.Stream->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 10000000);
    s.Release();

    ASSERT_EQ(Open(eight, &s), STATUS_SUCCESS);
    buffer = static_cast<PUCHAR>(s.Dma->SystemAddress());
    s.Stream->Silence(buffer, 4);
    EXPECT_EQ(buffer[0], 0x80) << "8-bit silence is the mid value";
    s.Release();
}

TEST_F(MiniportWaveCyclicStream, SetFormatKeepsTheBufferForTheSameShape)
{
    ASSERT_EQ(Build({Format(2, 48000, 16), Format(2, 44100, 16)}), STATUS_SUCCESS);
    OpenStream s;
    ASSERT_EQ(Open(Format(2, 48000, 16), &s), STATUS_SUCCESS);
    PVOID before = s.Dma->SystemAddress();
    std::vector<UCHAR> same = DataFormat(104, 0, 64, &m_Format[64], 40);
    EXPECT_EQ(s.Stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(same.data())), STATUS_SUCCESS);
    EXPECT_EQ(s.Dma->SystemAddress(), before);
    WAVEFORMATEXTENSIBLE f = Format(2, 44100, 16);
    std::vector<UCHAR> other = DataFormat(104, 0, 64, &f, 40);
    EXPECT_EQ(s.Stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(other.data())), STATUS_SUCCESS);
    EXPECT_EQ(s.Dma->AllocatedBufferSize(), 8820u);
    s.Release();
}

// ---- Byte-rate conversion ----

// Counts of one format turned into another through whole milliseconds: after any run of counts
// the total equals the own format's bytes for the whole milliseconds the leader's bytes made, and
// those milliseconds never lag the leader's bytes by more than one.
TEST(WaveByteRate, ConversionKeepsEveryRemainderAgainstAnIntegerModel)
{
    const ULONG rates[] = {44100 * 4, 48000 * 4, 96000 * 6, 22050 * 2, 11025 * 2, 192000 * 32, 500};
    std::mt19937 random(20261207);
    for (ULONG leader : rates)
    {
        for (ULONG own : rates)
        {
            SCOPED_TRACE(testing::Message() << leader << " -> " << own);
            WaveByteRateConverter c = {};
            c.SetOwn(own);
            c.SetClient(leader);
            ULONGLONG in = 0, out = 0;
            for (int i = 0; i < 400; ++i)
            {
                const ULONG n = leader / 1000 * (1 + random() % 10) + random() % 7;
                in += n;
                out += c.Convert(n);
            }
            if (leader < 1000)
            {
                // No whole byte per millisecond: scaled directly, each count rounded down.
                EXPECT_LE(out, in * own / leader);
                EXPECT_GE(out + 400, in * own / leader);
                continue;
            }
            // The model: whole milliseconds in the leader's bytes, in exact integer arithmetic.
            const ULONGLONG ms = in * 1000 / leader;
            const ULONGLONG low = (ms - 1) * own / 1000, high = ms * own / 1000;
            EXPECT_GE(out, low);
            EXPECT_LE(out, high);
        }
    }
}

TEST(WaveByteRate, ALeaderNeverAnnouncedConvertsToNothing)
{
    WaveByteRateConverter c = {};
    c.SetOwn(192000);
    EXPECT_EQ(c.Convert(960), 0u);
}

} // namespace

// ---- The stream against its USB stream's control interface ----

namespace
{

// The endpoint with a configurable USB stream behind it: it records the wave stream's client
// calls, fails the one a test names, and lets the test send the stream notifications that the
// USB stream's transfer paths would.
class CControlledEngine : public CStreamEngine, public ICyclicControl
{
public:
    CControlledEngine(PUNKNOWN outer, ULONG id) : CStreamEngine(outer, id) {}

    STDMETHODIMP QueryInterface(REFIID id, PVOID* out) override
    {
        return CStreamEngine::QueryInterface(id, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return CStreamEngine::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CStreamEngine::Release(); }
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID id, PVOID* out) override
    {
        if (!IsEqualGUIDAligned(id, IID_ICyclicControl))
            return CStreamEngine::NonDelegatingQueryInterface(id, out);
        *out = static_cast<ICyclicControl*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }

    std::vector<std::string> Calls;
    std::string Fail; // the slot that fails, by name
    StreamClient Record = {};
    PCALLBACK_FUNCTION Callback = nullptr;
    PVOID Context = nullptr;

    NTSTATUS Answer(const std::string& call)
    {
        Calls.push_back(call);
        return call.rfind(Fail, 0) == 0 && !Fail.empty() ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    RegisterClient(ULONG priority, PCWAVEFORMATEXTENSIBLE format, ULONG frames, ULONG inFlight,
                   PCALLBACK_FUNCTION callback, PVOID context, StreamClient** client) override
    {
        NTSTATUS status = Answer("Register " + std::to_string(priority) + " " + std::to_string(frames) + " " +
                                 std::to_string(inFlight));
        if (!NT_SUCCESS(status))
            return status;
        Record = {};
        Record.Priority = priority;
        Record.Registration = &Record;
        Record.FramesPerTransfer = frames;
        Record.TransfersInFlight = inFlight;
        Record.Format = *format;
        Callback = callback;
        Context = context;
        *client = &Record;
        return status;
    }
    STDMETHODIMP_(NTSTATUS) UnregisterClient(PVOID) override { return Answer("Unregister"); }
    STDMETHODIMP_(NTSTATUS) StartClient(PVOID, ULONG frame, PULONG, PUNKNOWN) override
    {
        NTSTATUS status = Answer("Start " + std::to_string(frame));
        Record.Active = NT_SUCCESS(status) ? 1 : 0;
        return status;
    }
    STDMETHODIMP_(NTSTATUS) StopClient(PVOID, PUNKNOWN) override
    {
        Record.Active = 0;
        return Answer("Stop");
    }
    STDMETHODIMP_(NTSTATUS) OpenClient(PVOID, PULONG frames, PULONG current) override
    {
        *frames = 5;
        *current = 1000;
        return Answer("Open");
    }
    STDMETHODIMP_(NTSTATUS) CloseClient(PVOID) override { return Answer("Close"); }
    STDMETHODIMP_(NTSTATUS) SelectAlternateSetting(UCHAR, StreamClient*) override
    {
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP_(NTSTATUS) FreeTransfers() override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) AbortPipe() override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) RecoverStream() override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) SelectZeroBandwidthSetting() override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) RestartStreaming() override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) SubmitNextTransfer() override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) OnTransferComplete(PDEVICE_OBJECT, PIRP, TransferContext*) override
    {
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP_(VOID) StreamWorkerThread() override {}
    STDMETHODIMP_(NTSTATUS) OpenStream(StreamClient*, PULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) CloseStream() override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) StartStreaming(ULONG, ULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) StopStreaming() override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(BOOLEAN) IsAlternateSettingValid(UCHAR, ULONG) override { return FALSE; }

    // A notification as the USB stream sends it, led by Leader (this stream's client when null).
    void Send(ULONG code, ULONGLONG word0, ULONGLONG word1, StreamClient* leader = nullptr)
    {
        StreamNotification n = {};
        n.Client = leader ? leader : &Record;
        n.Code = code;
        n.Words[0] = word0;
        n.Words[1] = word1;
        Callback(Context, &n, nullptr);
    }
    void Configure(ULONG frames, ULONG inFlight, bool restart, StreamClient* leader = nullptr)
    {
        Send(StreamNotifyConfigure, frames | (restart ? STREAM_CONFIGURE_RESTART : 0), inFlight, leader);
    }
    void Data(ULONG code, PVOID buffer, ULONG bytes, StreamClient* leader = nullptr)
    {
        Send(code, reinterpret_cast<ULONGLONG>(buffer), bytes, leader);
    }
};

void Wait(ULONGLONG units100ns)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -LONGLONG(units100ns);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

class WaveStreamControl : public gd::LeakCheckedTest
{
protected:
    void TearDown() override
    {
        m_Open.Release();
        if (m_Miniport)
            m_Miniport->Release();
        if (m_Port)
            m_Port->Release();
        gd::LeakCheckedTest::TearDown();
    }

    // A stream of the format on an endpoint of the direction; NewStream's status.
    NTSTATUS Open(const WAVEFORMATEXTENSIBLE& f, ULONG capture = 0)
    {
        m_Engine = New<CControlledEngine>(1u);
        EXPECT_EQ(m_Engine->Init(capture), STATUS_SUCCESS);
        EXPECT_EQ(m_Engine->SetName(u"SPKOut00"), STATUS_SUCCESS);
        EXPECT_EQ(m_Engine->AddFormat(&f), STATUS_SUCCESS);
        gd::CTestHal* hal = New<gd::CTestHal>();
        hal->Streams.push_back(m_Engine);
        EXPECT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
        PPORT port = nullptr;
        EXPECT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        EXPECT_EQ(port->QueryInterface(IID_IPortWaveCyclic, reinterpret_cast<PVOID*>(&m_Port)),
                  STATUS_SUCCESS);
        port->Release();
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(CreateMiniportWaveCyclic(&unknown, CLSID_PortWaveCyclic, nullptr, NonPagedPool, 0),
                  STATUS_SUCCESS);
        EXPECT_EQ(unknown->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<PVOID*>(&m_Miniport)),
                  STATUS_SUCCESS);
        unknown->Release();
        EXPECT_EQ(m_Miniport->Init(hal->GetNonDelegatingUnknown(), nullptr, m_Port), STATUS_SUCCESS);
        m_Format = DataFormat(104, 0, 64, &f, 40);
        return m_Miniport->NewStream(&m_Open.Stream, nullptr, NonPagedPool, 0, BOOLEAN(capture),
                                     reinterpret_cast<PKSDATAFORMAT>(m_Format.data()), &m_Open.Dma,
                                     &m_Open.Group);
    }
    NTSTATUS Run()
    {
        for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
        {
            NTSTATUS status = m_Open.Stream->SetState(s);
            if (!NT_SUCCESS(status))
                return status;
        }
        return STATUS_SUCCESS;
    }
    ULONG Position()
    {
        ULONG p = 0;
        EXPECT_EQ(m_Open.Stream->GetPosition(&p), STATUS_SUCCESS);
        return p;
    }
    CMiniportWaveCyclicStream* Stream() { return static_cast<CMiniportWaveCyclicStream*>(m_Open.Stream); }
    PUCHAR Buffer() { return static_cast<PUCHAR>(m_Open.Dma->SystemAddress()); }

    CControlledEngine* m_Engine = nullptr;
    PPORTWAVECYCLIC m_Port = nullptr;
    PMINIPORTWAVECYCLIC m_Miniport = nullptr;
    OpenStream m_Open;
    std::vector<UCHAR> m_Format;
};

using Calls = std::vector<std::string>;

TEST_F(WaveStreamControl, RunRegistersOpensAndStartsAndAFailedStepRollsBack)
{
    struct Row
    {
        std::string Fail;
        Calls Expected;
    };
    const Row rows[] = {
        {"", {"Register 3 5 3", "Open", "Start 1002"}},
        {"Register", {"Register 3 5 3"}},
        {"Open", {"Register 3 5 3", "Open", "Unregister"}},
        {"Start", {"Register 3 5 3", "Open", "Start 1002", "Close", "Unregister"}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Fail);
        ASSERT_EQ(Open(Format(2, 48000, 16)), STATUS_SUCCESS);
        m_Engine->Fail = row.Fail;
        EXPECT_EQ(Run(), row.Fail.empty() ? STATUS_SUCCESS : STATUS_DEVICE_BUSY);
        EXPECT_EQ(m_Engine->Calls, row.Expected);
        m_Engine->Calls.clear();
        m_Engine->Fail.clear();
        if (row.Fail.empty())
        {
            EXPECT_EQ(m_Open.Stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(m_Format.data())),
                      STATUS_UNSUCCESSFUL);
            EXPECT_EQ(m_Open.Stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
            EXPECT_EQ(m_Engine->Calls, (Calls{"Stop", "Close", "Unregister"}));
        }
        else
        {
            // The failed run left the stream paused: a second run goes through.
            EXPECT_EQ(m_Open.Stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        }
        TearDown();
        m_Miniport = nullptr;
        m_Port = nullptr;
        SetUp();
    }
}

// The first render transfers read the end of the buffer, so the stack's first bytes leave once
// the transfers in flight have gone; a lead longer than the buffer wraps into it.
TEST_F(WaveStreamControl, ConfigurePlacesTheRenderCopyOffsetOneLeadBeforeTheStart)
{
    struct Row
    {
        WAVEFORMATEXTENSIBLE Format;
        ULONG Frames, InFlight, Offset;
    };
    const Row rows[] = {
        {Format(2, 48000, 16), 5, 3, 9600 - 2880},
        {Format(2, 44100, 16), 5, 3, 8820 - 2640},
        {Format(2, 48000, 16), 10, 10, (9600 - 19200 % 9600) % 9600},
        {Format(2, 48000, 16), 7, 10, 9600 - 13440 % 9600},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message()
                     << row.Format.Format.nSamplesPerSec << " " << row.Frames << "x" << row.InFlight);
        ASSERT_EQ(Open(row.Format), STATUS_SUCCESS);
        ASSERT_EQ(Run(), STATUS_SUCCESS);
        m_Engine->Configure(row.Frames, row.InFlight, true);
        EXPECT_EQ(Stream()->GetCopyOffset(), row.Offset);
        EXPECT_LT(Stream()->GetCopyOffset(), m_Open.Dma->AllocatedBufferSize());
        TearDown();
        m_Miniport = nullptr;
        m_Port = nullptr;
        SetUp();
    }
}

TEST_F(WaveStreamControl, RenderCopiesWrapAndThePositionFollowsCompletions)
{
    ASSERT_EQ(Open(Format(2, 48000, 16)), STATUS_SUCCESS);
    for (ULONG i = 0; i < 9600; ++i)
        Buffer()[i] = UCHAR(i * 7 + i / 256);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    m_Engine->Configure(5, 3, true);
    std::vector<UCHAR> transfer(960);
    // Three transfers in flight: the first from the buffer's last 2880 bytes, in order.
    for (int t = 0; t < 3; ++t)
    {
        m_Engine->Data(StreamNotifyRenderData, transfer.data(), 960);
        for (ULONG i = 0; i < 960; ++i)
            ASSERT_EQ(transfer[i], Buffer()[(6720 + t * 960 + i) % 9600]) << t << " " << i;
    }
    EXPECT_EQ(Stream()->GetCopyOffset(), 0u);
    EXPECT_EQ(Position(), 0u) << "no time has passed";
    m_Engine->Send(StreamNotifyTransferDone, 960, 0);
    EXPECT_EQ(Position(), 960u);
    // With time the position runs on, but never past the transfer still out.
    Wait(20 * 10000);
    EXPECT_EQ(Position(), 1920u);
    // A transfer as large as the buffer changes nothing.
    std::vector<UCHAR> huge(9600, 0xEE);
    m_Engine->Data(StreamNotifyRenderData, huge.data(), 9600);
    EXPECT_EQ(huge[0], 0xEE);
    EXPECT_EQ(Stream()->GetCopyOffset(), 0u);
    EXPECT_EQ(m_Open.Stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Position(), 960u) << "paused: the last transfer position";
}

// At 192 kHz, 8 channels of 32 bits, 6.1 MB/s: a 32-bit product of elapsed time and byte rate
// wraps after 7 ms and the position would jump back.
TEST_F(WaveStreamControl, ThePositionDoesNotJumpBackAtHighByteRates)
{
    ASSERT_EQ(Open(gd::Pcm(8, 192000, 4, 32, 0x63F)), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    m_Engine->Configure(5, 3, true);
    const ULONG transfer = 192 * 32 * 5;
    std::vector<UCHAR> data(transfer);
    for (int t = 0; t < 3; ++t)
        m_Engine->Data(StreamNotifyRenderData, data.data(), transfer);
    m_Engine->Send(StreamNotifyTransferDone, transfer, 0);
    ULONG last = Position();
    for (int ms = 1; ms <= 12; ++ms)
    {
        Wait(10000);
        const ULONG now = Position();
        EXPECT_GE(now, last) << ms << " ms after the completion";
        last = now;
    }
    EXPECT_EQ(last, 2 * transfer) << "held at the end of the transfer in flight";
}

TEST_F(WaveStreamControl, CaptureWrapsIntoTheBufferAndTheLagIsWholeFrames)
{
    ASSERT_EQ(Open(Format(2, 48000, 16), 1), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    m_Engine->Configure(5, 3, true);
    std::vector<UCHAR> in(960);
    for (ULONG i = 0; i < 960; ++i)
        in[i] = UCHAR(i + 1);
    for (int t = 0; t < 10; ++t)
        m_Engine->Data(StreamNotifyCaptureData, in.data(), 960);
    // Ten transfers of 960 bytes fill the 9600-byte buffer exactly; the eleventh wraps.
    m_Engine->Data(StreamNotifyCaptureData, in.data(), 500);
    EXPECT_EQ(Stream()->GetCopyOffset(), 500u);
    EXPECT_EQ(std::memcmp(Buffer(), in.data(), 500), 0);
    m_Engine->Send(StreamNotifyTransferDone, 960, 0);
    EXPECT_EQ(Position(), 0u) << "the whole transfer lags at first";
    Wait(3 * 10000 + 50); // a little over 3 ms: 576 bytes and a part of a frame
    EXPECT_EQ(Position(), 960u - (960u - 576u));
}

// Another client leading at another byte rate moves only the positions, by the converted count.
TEST_F(WaveStreamControl, AnotherLeaderAtAnotherRateMovesOnlyThePositions)
{
    ASSERT_EQ(Open(Format(2, 48000, 16)), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    std::memset(Buffer(), 0x11, 9600);
    StreamClient asio = {};
    asio.Priority = STREAM_CLIENT_PRIORITY_ASIO;
    asio.Registration = &asio;
    asio.Format = Format(2, 96000, 16);
    m_Engine->Configure(5, 3, true, &asio);
    // The conversion chain is set up for the leader's rate to the pin's: one 2x stage down.
    EXPECT_EQ(Stream()->GetConversionChain()->GetFirstRateStage(),
              Stream()->GetConversionChain()->GetStage2x());
    EXPECT_EQ(Stream()->GetConversionChain()->GetSecondRateStage(), nullptr);
    const ULONG offset = Stream()->GetCopyOffset();
    std::vector<UCHAR> transfer(1920, 0x22);
    m_Engine->Data(StreamNotifyRenderData, transfer.data(), 1920, &asio);
    EXPECT_EQ(transfer[0], 0x22) << "nothing copied into another client's transfer";
    EXPECT_EQ(Stream()->GetCopyOffset(), offset);
    m_Engine->Send(StreamNotifyTransferDone, 1920, 0, &asio);
    EXPECT_EQ(Position(), 960u) << "5 ms of the leader are 5 ms of the pin";
}

} // namespace
