// The descriptor checks and walk steps the audio functions share.
#include "driver/function/audio_descriptor_walk.h"

#include "usbdlib.h"
#include "driver/function/uac1/uac1_device.h"
#include "driver/topology/nodes/usb_entity_node.h"
#include "driver/wave/usb_audio_stream.h"

namespace audiowalk
{

namespace
{

// The extensible part that follows WAVEFORMATEX.
constexpr USHORT EXTENSIBLE_CB_SIZE = 22;

} // namespace

BOOLEAN AudioInterfaceWhole(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length)
{
    const UCHAR* pBytes = reinterpret_cast<const UCHAR*>(Interface);
    return pBytes && Length >= INTERFACE_DESCRIPTOR_BYTES && pBytes[0] >= INTERFACE_DESCRIPTOR_BYTES &&
           pBytes[0] <= Length;
}

BOOLEAN AudioInterfaceFits(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length, UCHAR SubClass, UCHAR Protocol)
{
    return AudioInterfaceWhole(Interface, Length) && Interface->bInterfaceClass == USB_AUDIO_CLASS &&
           Interface->bInterfaceSubClass == SubClass && Interface->bInterfaceProtocol == Protocol;
}

VOID ReportAudioInterfaceMisfit(const char* Owner, PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length,
                                UCHAR SubClass, UCHAR Protocol)
{
    const char* pName = SubClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL ? "audio-control" : "audio-streaming";
    const char* pRelease = Protocol == USB_AUDIO_PROTOCOL_IP_VERSION_02_00 ? "2.0" : "1.0";
    if (!AudioInterfaceWhole(Interface, Length))
    {
        DbgPrint("%s: the %s interface descriptor is cut short\n", Owner, pName);
    }
    else if (Protocol == USB_AUDIO_PROTOCOL_UNDEFINED &&
             Interface->bInterfaceProtocol == USB_AUDIO_PROTOCOL_IP_VERSION_02_00)
    {
        // A mixed-release device is its own mistake, worth naming as such.
        DbgPrint("%s: %s interface %u is a release-2.0 interface under a release-1.0 audio-control "
                 "interface\n",
                 Owner, pName, Interface->bInterfaceNumber);
    }
    else
    {
        DbgPrint("%s: %s interface %u is no release-%s %s interface (class %u, subclass %u, protocol "
                 "0x%02X)\n",
                 Owner, pName, Interface->bInterfaceNumber, pRelease, pName, Interface->bInterfaceClass,
                 Interface->bInterfaceSubClass, Interface->bInterfaceProtocol);
    }
}

BOOLEAN StreamingDescriptorFits(const char* Owner, const UCHAR* Descriptor, ULONG Left, UCHAR Interface,
                                ULONG GeneralMinBytes, ULONG FormatTypeMinBytes)
{
    const UCHAR type = Left >= 2 ? Descriptor[1] : 0;
    ULONG shortest = 2;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE)
    {
        shortest = INTERFACE_DESCRIPTOR_BYTES;
    }
    else if (type == USB_AUDIO_CS_INTERFACE && Left >= CS_HEADER_BYTES && Descriptor[0] >= CS_HEADER_BYTES)
    {
        shortest = Descriptor[2] == USB_AUDIO_AS_GENERAL       ? GeneralMinBytes
                   : Descriptor[2] == USB_AUDIO_AS_FORMAT_TYPE ? FormatTypeMinBytes
                                                               : CS_HEADER_BYTES;
    }
    else if (type == USB_AUDIO_CS_INTERFACE)
    {
        shortest = CS_HEADER_BYTES;
    }
    if (Left >= 2 && Descriptor[0] >= shortest && Descriptor[0] <= Left)
    {
        return TRUE;
    }
    DbgPrint("%s: a descriptor of streaming interface %u claims %u bytes where %u are left and at least %u "
             "are needed\n",
             Owner, Interface, Left >= 1 ? Descriptor[0] : 0, Left, shortest);
    return FALSE;
}

BOOLEAN FormatTypePlayable(const char* Owner, ULONG StreamId, UCHAR FormatType)
{
    if (FormatType == USB_AUDIO_FORMAT_TYPE_I || FormatType == USB_AUDIO_FORMAT_TYPE_III)
    {
        return TRUE;
    }
    DbgPrint("%s: streaming interface %u has a format of type %u; the driver plays types I and III only\n",
             Owner, StreamId, FormatType);
    return FALSE;
}

VOID InitFormatTemplate(PWAVEFORMATEXTENSIBLE Format, UCHAR Channels, UCHAR SubslotBytes, WORD ValidBits,
                        ULONG ChannelMask)
{
    RtlZeroMemory(Format, sizeof(*Format));
    Format->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    Format->Format.nChannels = Channels;
    Format->Format.wBitsPerSample = WORD(SubslotBytes * 8);
    Format->Format.nBlockAlign = WORD(Channels * SubslotBytes);
    Format->Format.cbSize = EXTENSIBLE_CB_SIZE;
    Format->Samples.wValidBitsPerSample = ValidBits;
    Format->dwChannelMask = ChannelMask;
    Format->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
}

PUSB_INTERFACE_DESCRIPTOR NextStreamingInterface(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                                 const UCHAR* Stop, const UCHAR* End)
{
    return Stop < End
               ? USBD_ParseConfigurationDescriptorEx(Configuration, const_cast<UCHAR*>(Stop), -1, -1,
                                                     USB_AUDIO_CLASS, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1)
               : nullptr;
}

BOOLEAN ControlDescriptorFits(const char* Owner, const UCHAR* Bytes, ULONG Offset, ULONG Length)
{
    const UCHAR* p = Bytes + Offset;
    const ULONG left = Length - Offset;
    // A zero or runt length would stall the walk; one past the end would read beyond it.
    if (left < 2 || p[0] < 2 || p[0] > left || (p[1] == USB_AUDIO_CS_INTERFACE && p[0] < CS_HEADER_BYTES))
    {
        DbgPrint("%s: the audio-control descriptor at byte %u claims %u bytes where %u are left\n", Owner,
                 Offset, p[0], left);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN ReadWiredSources(CUsbEntityNode* Entity, ULONG (&Ids)[MAX_WIRED_SOURCES], PULONG Count)
{
    ULONG firstNode = 0;
    ULONG count = Entity->GetSourceCount();
    if (!NT_SUCCESS(Entity->GetFirstChildId(&firstNode)) || count == 0 || count > MAX_WIRED_SOURCES ||
        !NT_SUCCESS(Entity->GetSourceIdList(&count, Ids)))
    {
        return FALSE;
    }
    *Count = count;
    return TRUE;
}

CUsbEntityNode* EntityOfChild(PVOID Child)
{
    return static_cast<CUsbEntityNode*>(static_cast<ITopologyNode*>(Child));
}

NTSTATUS FinishWalkStream(CUsbAudioStream* Stream, NTSTATUS Status)
{
    PAGED_CODE();
    if (NT_SUCCESS(Status))
    {
        Status = Stream->AllocateBuffers();
    }
    Stream->Release();
    return Status;
}

NTSTATUS AdoptWalkEntity(CUac1Device* Device, CUsbEntityNode* Entity, NTSTATUS Status)
{
    PAGED_CODE();
    if (NT_SUCCESS(Status))
    {
        Status = Device->AddChild(Entity);
    }
    if (Entity)
    {
        static_cast<ITopologyNode*>(Entity)->Release();
    }
    return Status;
}

} // namespace audiowalk
