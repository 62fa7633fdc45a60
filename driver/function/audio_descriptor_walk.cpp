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

// Room for the header's interface list in a debug message; a longer list is cut.
constexpr size_t COLLECTION_TEXT_BYTES = 160;
constexpr ULONG AC_HEADER_COLLECTION_OFFSET = 7; // release-1.0 header: bInCollection, then the numbers
constexpr ULONG IAD_BYTES = 8;

const char* AudioSubclassName(UCHAR SubClass)
{
    return SubClass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING  ? "audio streaming"
           : SubClass == USB_AUDIO_SUBCLASS_MIDISTREAMING ? "MIDI streaming"
           : SubClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL  ? "audio control"
                                                          : "not audio";
}

// Calls Visit(descriptor, bytes left) for each whole descriptor of the configuration, in order,
// until it returns FALSE.
template <typename TVisit>
VOID ForEachConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR Configuration, TVisit Visit)
{
    const UCHAR* pBytes = reinterpret_cast<const UCHAR*>(Configuration);
    const ULONG total = Configuration->wTotalLength;
    for (ULONG offset = 0; offset + 2 <= total && pBytes[offset] >= 2 && pBytes[offset] <= total - offset;
         offset += pBytes[offset])
    {
        if (!Visit(pBytes + offset, total - offset))
        {
            return;
        }
    }
}

// The subclass of the audio interface Number, or 0xFF when the configuration has none.
UCHAR InterfaceSubclass(PUSB_CONFIGURATION_DESCRIPTOR Configuration, UCHAR Number)
{
    UCHAR subclass = 0xFF;
    ForEachConfigurationDescriptor(Configuration,
                                   [&](const UCHAR* p, ULONG)
                                   {
                                       if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
                                           p[0] >= INTERFACE_DESCRIPTOR_BYTES && p[2] == Number)
                                       {
                                           subclass = p[5] == USB_AUDIO_CLASS ? p[6] : 0xFE;
                                           return FALSE;
                                       }
                                       return TRUE;
                                   });
    return subclass;
}

// "interface 1 (MIDI streaming), interface 2 (audio streaming)" for the numbers a header lists.
VOID DescribeCollection(PUSB_CONFIGURATION_DESCRIPTOR Configuration, const UCHAR* Numbers, ULONG Count,
                        char (&Text)[COLLECTION_TEXT_BYTES])
{
    RtlStringCbCopyA(Text, sizeof(Text), Count == 0 ? "no interface" : "");
    for (ULONG i = 0; i < Count; i++)
    {
        char item[48];
        const UCHAR subclass = InterfaceSubclass(Configuration, Numbers[i]);
        RtlStringCbPrintfA(item, sizeof(item), "%sinterface %u (%s)", i ? ", " : "", Numbers[i],
                           subclass == 0xFF ? "absent" : AudioSubclassName(subclass));
        RtlStringCbCatA(Text, sizeof(Text), item);
    }
}

} // namespace

VOID ReportMixedReleaseFunctions(const char* Owner, PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                 PUSB_INTERFACE_DESCRIPTOR Interface)
{
    PAGED_CODE();
    const UCHAR number = Interface->bInterfaceNumber;
    LONG control = -1;
    const UCHAR* pHeader = nullptr;
    ULONG headerBytes = 0;
    const UCHAR* pAssociation = nullptr;
    ForEachConfigurationDescriptor(
        Configuration,
        [&](const UCHAR* p, ULONG)
        {
            if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= INTERFACE_DESCRIPTOR_BYTES && control < 0 &&
                p[5] == USB_AUDIO_CLASS && p[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL)
            {
                control = p[2];
            }
            else if (p[1] == USB_AUDIO_CS_INTERFACE && control >= 0 && !pHeader &&
                     p[0] > AC_HEADER_COLLECTION_OFFSET && p[2] == USB_AUDIO_AC_HEADER)
            {
                pHeader = p;
                headerBytes = p[0];
            }
            else if (p[1] == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE && p[0] >= IAD_BYTES &&
                     !pAssociation && number >= p[2] && number - p[2] < p[3])
            {
                pAssociation = p;
            }
            return TRUE;
        });
    char listed[COLLECTION_TEXT_BYTES];
    ULONG count = pHeader ? pHeader[AC_HEADER_COLLECTION_OFFSET] : 0;
    count = pHeader && count > headerBytes - AC_HEADER_COLLECTION_OFFSET - 1
                ? headerBytes - AC_HEADER_COLLECTION_OFFSET - 1
                : count;
    DescribeCollection(Configuration, pHeader ? pHeader + AC_HEADER_COLLECTION_OFFSET + 1 : nullptr, count,
                       listed);
    if (pAssociation)
    {
        DbgPrint(
            "%s: audio-streaming interface %u is of release 2.0, but the first audio-control interface %d "
            "is a release-1.0 function whose header lists %s; interface %u belongs to the audio function "
            "of interfaces %u to %u (protocol 0x%02X) under its own interface association, and the "
            "driver takes the first audio-control interface\n",
            Owner, number, control, listed, number, pAssociation[2], pAssociation[2] + pAssociation[3] - 1,
            pAssociation[6]);
    }
    else
    {
        DbgPrint(
            "%s: audio-streaming interface %u is of release 2.0, but the first audio-control interface %d "
            "is a release-1.0 function whose header lists %s\n",
            Owner, number, control, listed);
    }
}

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
