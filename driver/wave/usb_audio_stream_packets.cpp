// CUsbAudioStream: what the endpoints of an alternate setting allow its packets: how many
// packets a USB frame carries, and whether the largest packet of a format fits the setting's
// data endpoint, so that the stream never offers a format its endpoint cannot carry.
#include "driver/wave/usb_audio_stream.h"

#include "usbdlib.h"

namespace
{

constexpr UCHAR AUDIO_CLASS = 1;
constexpr UCHAR AUDIO_STREAMING_SUBCLASS = 2;
constexpr UCHAR ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR ENDPOINT_USAGE_MASK = 0x30; // data, feedback or implicit feedback
constexpr UCHAR ENDPOINT_DIRECTION_IN = 0x80;
// A high-speed endpoint served every 2^(bInterval - 1) microframes; bInterval 0 is taken as 1
// and anything beyond 4 as one packet a frame, as no whole number of packets fits a frame.
constexpr UCHAR HIGH_SPEED_MAX_INTERVAL = 4;

BOOLEAN IsIsochronousData(const USB_ENDPOINT_DESCRIPTOR* Endpoint)
{
    return (Endpoint->bmAttributes & ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
           (Endpoint->bmAttributes & ENDPOINT_USAGE_MASK) == 0;
}

// Only the setting's own descriptors are read, up to its bNumEndpoints: an interface that claims
// more endpoints than it has must not lend it those of the next setting.
VOID ReadSettingEndpoints(PUSB_CONFIGURATION_DESCRIPTOR Config, PUSB_INTERFACE_DESCRIPTOR Interface,
                          UCHAR Direction, CUsbAudioStream::SettingEndpoints* Found)
{
    RtlZeroMemory(Found, sizeof(*Found));
    const PUCHAR end = reinterpret_cast<PUCHAR>(Config) + Config->wTotalLength;
    const ULONG length = USBD_GetInterfaceLength(Interface, end);
    PVOID pStart = Interface;
    while (Found->Endpoints < Interface->bNumEndpoints)
    {
        auto pEndpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
            USBD_ParseDescriptors(Interface, length, pStart, USB_ENDPOINT_DESCRIPTOR_TYPE));
        if (!pEndpoint || pEndpoint->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR))
        {
            return;
        }
        ++Found->Endpoints;
        Found->InEndpoints += (pEndpoint->bEndpointAddress & ENDPOINT_DIRECTION_IN) != 0;
        if (IsIsochronousData(pEndpoint))
        {
            Found->First = Found->First ? Found->First : pEndpoint;
            if (!Found->Data && (pEndpoint->bEndpointAddress & ENDPOINT_DIRECTION_IN) == Direction)
            {
                Found->Data = pEndpoint;
            }
        }
        pStart = reinterpret_cast<PUCHAR>(pEndpoint) + pEndpoint->bLength;
    }
}

ULONG PacketsPerFrameOf(const USB_ENDPOINT_DESCRIPTOR* Endpoint, BOOLEAN HighSpeed)
{
    const UCHAR interval = Endpoint->bInterval == 0 ? 1 : Endpoint->bInterval;
    return HighSpeed && interval <= HIGH_SPEED_MAX_INTERVAL ? 8u >> (interval - 1) : 1;
}

} // namespace

PUSB_INTERFACE_DESCRIPTOR CUsbAudioStream::ParseSetting(PUSB_CONFIGURATION_DESCRIPTOR Config,
                                                        UCHAR AlternateSetting) const
{
    PAGED_CODE();
    return Config ? USBD_ParseConfigurationDescriptorEx(Config, Config, LONG(m_nStreamId), AlternateSetting,
                                                        AUDIO_CLASS, AUDIO_STREAMING_SUBCLASS, -1)
                  : nullptr;
}

BOOLEAN CUsbAudioStream::FindSettingEndpoints(IUsbDevice* UsbDevice, UCHAR AlternateSetting,
                                              SettingEndpoints* Found)
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = UsbDevice->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR pInterface = ParseSetting(pConfig, AlternateSetting);
    if (!pInterface)
    {
        return FALSE;
    }
    const UCHAR direction = m_nCapture == STREAM_DIRECTION_RENDER ? 0 : ENDPOINT_DIRECTION_IN;
    ReadSettingEndpoints(pConfig, pInterface, direction, Found);
    return TRUE;
}

ULONG CUsbAudioStream::GetPacketsPerFrame(UCHAR AlternateSetting)
{
    PAGED_CODE();
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (!pUsbDevice)
    {
        return 1;
    }
    SettingEndpoints endpoints;
    const BOOLEAN found = FindSettingEndpoints(pUsbDevice, AlternateSetting, &endpoints);
    const ULONG packets =
        found && endpoints.First ? PacketsPerFrameOf(endpoints.First, pUsbDevice->IsHighSpeed()) : 1;
    pUsbDevice->Release();
    return packets;
}

// The stream sizes render packets from the nominal rate and the spread of its fraction; a
// device keeps up with a capture rate with packets of that size too (its endpoint bounds what
// it sends, and the capture path takes every packet up to that bound).
ULONG CUsbAudioStream::LargestPacketFrames(ULONG RateHz, ULONG PacketsPerFrame, BOOLEAN FeedbackEndpoint)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(FeedbackEndpoint);
    return UsbLargestPacketFrames(RateHz, PacketsPerFrame, FALSE);
}

ULONG CUsbAudioStream::WireFrameBytes(PCWAVEFORMATEXTENSIBLE Format) const
{
    return Format->Format.nBlockAlign;
}

// A format whose packets outgrow the endpoint loses audio on every packet that does: the bus
// refuses a render transfer with such a packet, a class-2 render stream cuts it to the endpoint,
// and a capture device cannot deliver the rate. Such a format is left out. A setting without a
// data endpoint to read keeps its format, as nothing says what it carries.
BOOLEAN CUsbAudioStream::PacketsFitSetting(PCWAVEFORMATEXTENSIBLE Format, UCHAR AlternateSetting)
{
    PAGED_CODE();
    IUsbDevice* pUsbDevice = QueryUsbDevice();
    if (!pUsbDevice)
    {
        return TRUE;
    }
    SettingEndpoints endpoints;
    BOOLEAN fits = TRUE;
    if (FindSettingEndpoints(pUsbDevice, AlternateSetting, &endpoints) && endpoints.Data)
    {
        const ULONG packets =
            endpoints.First ? PacketsPerFrameOf(endpoints.First, pUsbDevice->IsHighSpeed()) : 1;
        // A render setting's IN endpoint beside its data endpoint is the device's feedback.
        const BOOLEAN feedback =
            m_nCapture == STREAM_DIRECTION_RENDER && endpoints.Endpoints >= 2 && endpoints.InEndpoints != 0;
        const ULONG rate = Format->Format.nSamplesPerSec;
        const ULONGLONG needed =
            ULONGLONG(LargestPacketFrames(rate, packets, feedback)) * WireFrameBytes(Format);
        const ULONG room = UsbMaxPacketBytes(endpoints.Data->wMaxPacketSize);
        fits = needed <= room;
        if (!fits)
        {
            DbgPrint(
                "CUsbAudioStream: endpoint 0x%02X of alternate setting %u of streaming interface %u takes "
                "packets of %u bytes; a packet of %u Hz, %u x %u-bit (mask 0x%X) takes %u: the format is "
                "not offered\n",
                ULONG(endpoints.Data->bEndpointAddress), ULONG(AlternateSetting), m_nStreamId, room, rate,
                ULONG(Format->Format.nChannels), ULONG(Format->Format.wBitsPerSample),
                ULONG(Format->dwChannelMask), ULONG(needed));
        }
    }
    pUsbDevice->Release();
    return fits;
}
