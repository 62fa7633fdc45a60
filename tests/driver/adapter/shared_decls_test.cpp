// The records and identifiers the driver's parts share: their sizes and field offsets are
// wire and user-mode formats, and their identifiers must match the registry-format strings
// they are published as.
#include "driver/adapter/adapter_common.h"
#include "driver/function/usb_audio_function_if.h"
#include "driver/topology/nodes/dsp_node_if.h"
#include "driver/topology/miniport/miniport_subdevice_if.h"
#include "driver/topology/nodes/pin_type.h"
#include "driver/topology/nodes/topology_node_if.h"
#include "driver/usb/asio_device_if.h"
#include "driver/usb/usb_device_if.h"
#include "driver/wave/cyclic_control.h"
#include "driver/wave/stream_engine_if.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace
{

// Reads "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" the way the identifiers are written down.
GUID ParseGuid(const char* text)
{
    unsigned data1 = 0, data2 = 0, data3 = 0, b[8] = {};
    int fields = std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &data1, &data2, &data3, &b[0],
                             &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    EXPECT_EQ(fields, 11) << text;
    GUID guid = {data1, USHORT(data2), USHORT(data3), {}};
    for (int i = 0; i < 8; ++i)
    {
        guid.Data4[i] = UCHAR(b[i]);
    }
    return guid;
}

std::string Narrow(PCWSTR text)
{
    std::string out;
    for (; *text; ++text)
    {
        EXPECT_LT(*text, 0x80);
        out.push_back(char(*text));
    }
    return out;
}

TEST(SharedDecls, InterfaceIdentifiersMatchTheirPublishedForm)
{
    struct Row
    {
        const GUID& Id;
        const char* Text;
    };
    // Identifier, its registry form.
    const Row rows[] = {
        {IID_IAdapterCommon, "{7284B608-74F9-4B95-A5BB-EC6DDD0B6F58}"},
        {IID_IUsbDevice, "{4E0BFAF2-66CC-40AC-8203-C3C4D08CD4FF}"},
        {IID_IAsioDevice, "{DB4D55AC-CB0E-4611-8CEB-16E32336876D}"},
        {IID_IUsbAudioFunction, "{B00C6788-253F-4638-9460-336A8BE6EE9A}"},
        {IID_IStreamEngine, "{3D64C291-9F42-43E5-A468-2C5DC9BB2353}"},
        {IID_ICyclicControl, "{7C4D1930-875A-418C-A0A4-3A30456A8996}"},
        {IID_IMiniportSubdevice, "{1C704CEB-6111-4878-A9AF-0575E1C79F76}"},
        {IID_ITopologyNode, "{200AFF7F-71A4-4FFC-BF4F-61F2B8A522B5}"},
        {IID_ITerminalNode, "{540C5664-4620-4FDB-9B81-7E2145D95BE3}"},
        {IID_IBooleanControl, "{8EDE1D42-90E4-4B08-96EF-7CBBC472F9ED}"},
        {IID_ILevelControl, "{B0446B44-06EB-403F-8B78-E1E963DEA3CD}"},
        {IID_IPinTypeSink, "{03449A8C-92DC-45CA-859F-AC21AD70C59F}"},
        {IID_ISelectorNode, "{524FA5C2-9FBF-4FC8-B8D2-DC302DEDB0DF}"},
        {IID_IMixerNode, "{9E3FB612-FCD2-4C51-88BA-B1BD3734F1B5}"},
        {IID_IPinTypeSelector, "{DC7604D8-C1F4-4EA1-818C-F744191B5B18}"},
        {IID_IClockSourceNode, "{E1A6E8A0-3C43-4950-901B-9E84F6C3C2EC}"},
        {IID_IEffectNode, "{34480E1C-F752-41EE-81AE-70174C8FB3B3}"},
        {IID_IDspNode, "{1EDBBC0C-AA74-4046-911E-C8BDE64A66FF}"},
        {IID_IConnectionIndexSync, "{D31296ED-008B-4C8C-A239-4E6B322E9626}"},
        {KSDATAFORMAT_SUBTYPE_DSD, "{00007A31-0000-0010-8000-00AA00389B71}"},
    };
    for (const Row& row : rows)
    {
        EXPECT_TRUE(IsEqualGUID(row.Id, ParseGuid(row.Text))) << row.Text;
    }
    // No two identifiers collide, or a query could hand out the wrong interface.
    for (size_t i = 0; i < RTL_NUMBER_OF(rows); ++i)
    {
        for (size_t j = i + 1; j < RTL_NUMBER_OF(rows); ++j)
        {
            EXPECT_FALSE(IsEqualGUID(rows[i].Id, rows[j].Id)) << rows[i].Text;
        }
    }
}

TEST(SharedDecls, KernelStreamingIdentifiersMatchTheirDocumentedForm)
{
    struct Row
    {
        const GUID& Id;
        const char* Text;
    };
    // Identifier, its documented registry form.
    const Row rows[] = {
        {IID_IUnknown, "{00000000-0000-0000-C000-000000000046}"},
        {KSDATAFORMAT_TYPE_AUDIO, "{73647561-0000-0010-8000-00AA00389B71}"},
        {KSDATAFORMAT_SUBTYPE_PCM, "{00000001-0000-0010-8000-00AA00389B71}"},
        {KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, "{00000003-0000-0010-8000-00AA00389B71}"},
        {KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF, "{00000092-0000-0010-8000-00AA00389B71}"},
        {KSCATEGORY_TOPOLOGY, "{DDA54A40-1E4C-11D1-A050-405705C10000}"},
        {KSPROPTYPESETID_General, "{97E99BA0-BDEA-11CF-A5D6-28DB04C10000}"},
        {KSCOMPONENTID_USBAUDIO, "{8F1275F0-26E9-4264-BA4D-39FFF01D94AA}"},
        {KSNODETYPE_MICROPHONE, "{DFF21BE1-F70F-11D0-B917-00A0C9223196}"},
        {KSNODETYPE_SPEAKER, "{DFF21CE1-F70F-11D0-B917-00A0C9223196}"},
        {KSNODETYPE_HEADSET, "{DFF21DE2-F70F-11D0-B917-00A0C9223196}"},
        {KSNODETYPE_SPDIF_INTERFACE, "{DFF21FE5-F70F-11D0-B917-00A0C9223196}"},
        {KSNODETYPE_VIDEO_DISC_AUDIO, "{DFF220EA-F70F-11D0-B917-00A0C9223196}"},
    };
    for (const Row& row : rows)
    {
        EXPECT_TRUE(IsEqualGUID(row.Id, ParseGuid(row.Text))) << row.Text;
    }
}

TEST(SharedDecls, UsbAudioComponentIdsCarryVendorAndProduct)
{
    GUID manufacturer = {};
    GUID product = {};
    INIT_USBAUDIO_MID(&manufacturer, 0x0B05);
    INIT_USBAUDIO_PID(&product, 0x17F3);
    EXPECT_TRUE(IsEqualGUID(manufacturer, ParseGuid("{4E1CF7D7-1679-463B-A72F-A5BF64C86EBA}")));
    EXPECT_TRUE(IsEqualGUID(product, ParseGuid("{ABCC7251-C263-463B-A72F-A5BF64C86EBA}")));
}

TEST(SharedDecls, RecordLayoutsAreFixed)
{
    // Record, field, byte offset.
    EXPECT_EQ(offsetof(EndpointCaps, Mask), 0u);
    EXPECT_EQ(offsetof(EndpointCaps, Extra), 16u);
    EXPECT_EQ(offsetof(EndpointCaps, Flags), 24u);
    EXPECT_EQ(offsetof(AudioHalNotification, Class), 0u);
    EXPECT_EQ(offsetof(AudioHalNotification, Event), 4u);
    EXPECT_EQ(offsetof(AudioHalNotification, NodeId), 8u);
    EXPECT_EQ(offsetof(AudioHalNotification, Reserved2), 16u);
    EXPECT_EQ(offsetof(StreamNotification, Client), 0u);
    EXPECT_EQ(offsetof(StreamNotification, Code), 8u);
    EXPECT_EQ(offsetof(StreamNotification, Data.Buffer), 16u);
    EXPECT_EQ(offsetof(StreamNotification, Data.Length), 24u);
    EXPECT_EQ(offsetof(StreamNotification, TransferDone.ByteCount), 16u);
    EXPECT_EQ(offsetof(StreamNotification, Configure.FramesPerTransfer), 16u);
    EXPECT_EQ(offsetof(StreamNotification, Configure.TransfersInFlight), 24u);
    EXPECT_EQ(offsetof(StreamClient, Priority), 0u);
    EXPECT_EQ(offsetof(StreamClient, Registration), 8u);
    EXPECT_EQ(offsetof(StreamClient, FramesPerTransfer), 16u);
    EXPECT_EQ(offsetof(StreamClient, TransfersInFlight), 20u);
    EXPECT_EQ(offsetof(StreamClient, Format), 24u);
    EXPECT_EQ(offsetof(StreamClient, Direction), 64u);
    EXPECT_EQ(offsetof(StreamClient, Active), 68u);
    EXPECT_EQ(offsetof(StreamFormatEntry, AlternateSetting), 16u);
    EXPECT_EQ(offsetof(StreamFormatEntry, Format), 17u);
    EXPECT_EQ(offsetof(JackRecord, Color), 4u);
    EXPECT_EQ(offsetof(JackRecord, PortConnection), 20u);
    EXPECT_EQ(offsetof(JackRecord, Flags), 24u);
    EXPECT_EQ(offsetof(JackRecord, IsConnected), 28u);
    EXPECT_EQ(offsetof(JackRecord, Reserved), 32u);
    EXPECT_EQ(offsetof(AsioChannelInfo, SampleType), 16u);
    EXPECT_EQ(offsetof(AsioChannelInfo, Name), 20u);
    EXPECT_EQ(offsetof(AsioLatencyTable, Milliseconds), 8u);
    EXPECT_EQ(offsetof(AsioSharedBufferHeader, DriverPosition), 20u);
    EXPECT_EQ(offsetof(AsioSharedBufferHeader, LeadBytes), 28u);
    EXPECT_EQ(offsetof(AsioSharedBufferHeader, PeriodCount), 36u);
}

TEST(SharedDecls, KernelStreamingLayoutsAreFixed)
{
    EXPECT_EQ(offsetof(WAVEFORMATEX, nSamplesPerSec), 4u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, cbSize), 16u);
    EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, Samples), 18u);
    EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask), 20u);
    EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, SubFormat), 24u);
    EXPECT_EQ(offsetof(KSDATAFORMAT, MajorFormat), 16u);
    EXPECT_EQ(offsetof(KSDATAFORMAT, Specifier), 48u);
    EXPECT_EQ(offsetof(KSDATARANGE_AUDIO, MaximumChannels), 64u);
    EXPECT_EQ(offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency), 80u);
    EXPECT_EQ(offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt), 64u);
    EXPECT_EQ(offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet), 8u);
    EXPECT_EQ(offsetof(KSPROPERTY_DESCRIPTION, MembersListCount), 32u);
    EXPECT_EQ(offsetof(KSPROPERTY_STEPPING_LONG, Bounds), 8u);
    EXPECT_EQ(offsetof(KSNODEPROPERTY, NodeId), 24u);
    EXPECT_EQ(offsetof(KSNODEPROPERTY_AUDIO_CHANNEL, Channel), 32u);
    EXPECT_EQ(offsetof(KSJACK_DESCRIPTION, IsConnected), 24u);
    EXPECT_EQ(offsetof(KSCOMPONENTID, Version), 64u);
    EXPECT_EQ(offsetof(KSPIN_DESCRIPTOR, DataFlow), 48u);
    EXPECT_EQ(offsetof(KSPIN_DESCRIPTOR, Category), 56u);
}

TEST(SharedDecls, PinTypeNamesAreIndexedByPinType)
{
    // Pin type, the name its endpoints are given.
    const struct
    {
        ULONG Type;
        const char* Name;
    } expected[] = {
        {PIN_TYPE_STREAM, "Stream"},
        {PIN_TYPE_SPK, "SPK"},
        {PIN_TYPE_HP, "HP"},
        {PIN_TYPE_SPDIF, "SPDIF"},
        {PIN_TYPE_HDMI, "HDMI"},
        {PIN_TYPE_DISPLAYPORT, "DisplayPort"},
        {PIN_TYPE_LINE, "Line"},
        {PIN_TYPE_MIC, "Mic"},
        {PIN_TYPE_AUX, "Aux"},
        {PIN_TYPE_CD, "CD"},
        {PIN_TYPE_VIDEO, "Video"},
        {PIN_TYPE_FMIC, "FMic"},
        {PIN_TYPE_TELEPHONE, "Telephone"},
        {PIN_TYPE_HANDSET, "HandSet"},
        {PIN_TYPE_HEADSET, "HeadSet"},
        {PIN_TYPE_SPEAKERPHONE, "Speakerphone"},
        {PIN_TYPE_STEREOMIX, "StereoMix"},
        {PIN_TYPE_FHP, "FHP"},
        {PIN_TYPE_REC, "Rec"},
    };
    ASSERT_EQ(RTL_NUMBER_OF(expected), size_t(PIN_TYPE_COUNT));
    ASSERT_EQ(RTL_NUMBER_OF(PinTypeNames), size_t(PIN_TYPE_COUNT));
    for (const auto& row : expected)
    {
        ASSERT_NE(PinTypeNames[row.Type], nullptr) << row.Name;
        EXPECT_EQ(Narrow(PinTypeNames[row.Type]), row.Name);
    }
}

TEST(SharedDecls, LongestEndpointNameFitsTheNameBuffer)
{
    // The longest pin-type name with the longest direction suffix and a two-digit counter.
    size_t longest = 0;
    for (PCWSTR name : PinTypeNames)
    {
        longest = std::max(longest, Narrow(name).size());
    }
    EXPECT_LE(longest + std::string("Out99").size(), size_t(STREAM_NAME_MAX_CHARS));
    EXPECT_EQ(STREAM_NAME_BUFFER_CHARS * sizeof(WCHAR), 102u);
}

} // namespace
