// The class-2 descriptor walk: entities from the audio-control interface (terminals, units and
// clock sources) and their wiring, stream objects from the audio-streaming interfaces with
// their clock, formats and the nodes on their signal paths. The path, splice and pin-type steps
// are the class-1 ones. Descriptors come from the device and are checked before any field is
// read.
#include "driver/function/uac2/uac2_device.h"
#include "driver/function/audio_descriptor_walk.h"

#include "ksmedia.h"
#include "usbaudio.h"
#include "driver/core/usb_device_if.h"
#include "driver/topology/uac2/uac2_clock_source.h"
#include "driver/topology/uac2/uac2_entity_request.h"
#include "driver/topology/uac2/uac2_feature_unit.h"
#include "driver/topology/uac2/uac2_input_terminal.h"
#include "driver/topology/uac2/uac2_output_terminal.h"
#include "driver/topology/uac2/uac2_selector_unit.h"
#include "driver/wave/uac2_capture_stream.h"
#include "driver/wave/uac2_render_stream.h"

namespace
{

constexpr char OWNER[] = "CUac2Device";

// AS_GENERAL: bTerminalLink 3, bmControls 4, bFormatType 5, bmFormats 6-9, bNrChannels 10,
// bmChannelConfig 11-14.
constexpr ULONG AS_GENERAL_MIN_BYTES = 15;
// FORMAT_TYPE I and III: bFormatType 3, bSubslotSize 4, bBitResolution 5.
constexpr ULONG FORMAT_TYPE_MIN_BYTES = 6;

constexpr ULONG ENTITY_KIND_INPUT_TERMINAL = 2;
constexpr ULONG ENTITY_KIND_OUTPUT_TERMINAL = 3;

// bmFormats of type I: bit 0 PCM; bits 15 and 31 the raw data a private subformat carries.
constexpr ULONG FORMATS_PCM = 0x00000001;
constexpr ULONG FORMATS_RAW_DATA = 0x80008000;
// bmFormats of type III: IEC 61937 AC-3 (bit 0) and WMA Pro (bit 12).
constexpr ULONG FORMATS_AC3 = 0x00000001;
constexpr ULONG FORMATS_WMA_PRO = 0x00001000;
constexpr ULONG SPDIF_AC3_SUBFORMAT_TAG = 0x0092;
constexpr ULONG SPDIF_WMA_PRO_SUBFORMAT_TAG = 0x0164;
// The driver's private subformat for one-bit (DSD) data.
constexpr ULONG DSD_SUBFORMAT_TAG = 0x7A31;

ULONG ReadUlong(const UCHAR* Bytes)
{
    return ULONG(Bytes[0]) | ULONG(Bytes[1]) << 8 | ULONG(Bytes[2]) << 16 | ULONG(Bytes[3]) << 24;
}

const char* Uac2EntityName(ULONG Subtype)
{
    switch (Subtype)
    {
    case USB_AUDIO_AC_INPUT_TERMINAL:
        return "input terminal";
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
        return "output terminal";
    case USB_AUDIO_AC_MIXER_UNIT:
        return "mixer unit";
    case USB_AUDIO_AC_SELECTOR_UNIT:
        return "selector unit";
    case USB_AUDIO_AC_FEATURE_UNIT:
        return "feature unit";
    case UAC2_AC_EFFECT_UNIT:
        return "effect unit";
    case UAC2_AC_PROCESSING_UNIT:
        return "processing unit";
    case UAC2_AC_EXTENSION_UNIT:
        return "extension unit";
    case UAC2_AC_CLOCK_SOURCE:
        return "clock source";
    case UAC2_AC_CLOCK_SELECTOR:
        return "clock selector";
    case UAC2_AC_CLOCK_MULTIPLIER:
        return "clock multiplier";
    case UAC2_AC_SAMPLE_RATE_CONVERTER:
        return "sample-rate converter";
    default:
        return "entity";
    }
}

BOOLEAN IsSupportedUac2Entity(UCHAR Subtype)
{
    return (Subtype >= USB_AUDIO_AC_INPUT_TERMINAL && Subtype <= USB_AUDIO_AC_FEATURE_UNIT) ||
                   Subtype == UAC2_AC_EXTENSION_UNIT || Subtype == UAC2_AC_CLOCK_SOURCE
               ? TRUE
               : FALSE;
}

// The shortest descriptor of each supported subtype whose fields the walk and the entity read.
BOOLEAN Uac2EntityDescriptorFits(const UCHAR* Descriptor)
{
    const ULONG length = Descriptor[0];
    switch (Descriptor[2])
    {
    case USB_AUDIO_AC_INPUT_TERMINAL:
        return length >= 17;
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
        return length >= 12;
    case USB_AUDIO_AC_MIXER_UNIT:
    case USB_AUDIO_AC_SELECTOR_UNIT:
        return length >= 5 && length >= 5 + ULONG(Descriptor[4]);
    case USB_AUDIO_AC_FEATURE_UNIT:
        return length >= 10; // the master's control bitmap and iFeature
    case UAC2_AC_EXTENSION_UNIT:
        return length >= 7 && length >= 7 + ULONG(Descriptor[6]);
    case UAC2_AC_CLOCK_SOURCE:
        return length >= 8;
    default:
        return FALSE;
    }
}

} // namespace

// ---- Audio-control interface ----

STDMETHODIMP_(NTSTATUS)
CUac2Device::CreateTopologyNodes(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Length)
{
    PAGED_CODE();
    if (!audiowalk::AudioInterfaceFits(ControlInterface, Length, USB_AUDIO_SUBCLASS_AUDIOCONTROL,
                                       USB_AUDIO_PROTOCOL_IP_VERSION_02_00))
    {
        audiowalk::ReportAudioInterfaceMisfit(OWNER, ControlInterface, Length,
                                              USB_AUDIO_SUBCLASS_AUDIOCONTROL,
                                              USB_AUDIO_PROTOCOL_IP_VERSION_02_00);
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pChildren)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = audiowalk::WalkControlDescriptors(
        OWNER, ControlInterface, Length,
        [this](PUCHAR Descriptor, ULONG Left) -> NTSTATUS
        {
            const ULONG id = Descriptor[0] > 3 ? Descriptor[3] : 0;
            if (!IsSupportedUac2Entity(Descriptor[2]))
            {
                DbgPrint("CUac2Device: %s %u (descriptor subtype %u) is not supported by this driver\n",
                         Uac2EntityName(Descriptor[2]), id, Descriptor[2]);
                return STATUS_UNSUCCESSFUL;
            }
            if (!Uac2EntityDescriptorFits(Descriptor))
            {
                DbgPrint("CUac2Device: the descriptor of %s %u is too short (%u bytes)\n",
                         Uac2EntityName(Descriptor[2]), id, Descriptor[0]);
                return STATUS_UNSUCCESSFUL;
            }
            NTSTATUS created = CreateUac2Entity(Descriptor, Left);
            if (!NT_SUCCESS(created))
            {
                DbgPrint("CUac2Device: %s %u could not be set up (0x%08X)\n", Uac2EntityName(Descriptor[2]),
                         id, created);
            }
            return created;
        });
    return NT_SUCCESS(status) ? WireEntities() : status;
}

NTSTATUS CUac2Device::CreateUac2Entity(PUCHAR Descriptor, ULONG Length)
{
    PAGED_CODE();
    const ULONG id = m_pChildren->GetCount();
    PUNKNOWN pDevice = static_cast<PUNKNOWN>(static_cast<PADAPTERCOMMON>(this));
    IAdapterCommon* pCommon = static_cast<PADAPTERCOMMON>(this);
    CUsbEntityNode* pEntity = nullptr;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    switch (Descriptor[2])
    {
    case USB_AUDIO_AC_INPUT_TERMINAL:
        status = audiowalk::CreateWalkEntity<CUac2InputTerminal>(
            UAC2_DEVICE_POOL_TAG, id, &pEntity, Descriptor, Length, pDevice, pCommon, &m_DeviceLock);
        break;
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
        status = audiowalk::CreateWalkEntity<CUac2OutputTerminal>(
            UAC2_DEVICE_POOL_TAG, id, &pEntity, Descriptor, Length, pDevice, pCommon, &m_DeviceLock);
        break;
    case USB_AUDIO_AC_MIXER_UNIT:
        if (auto* p = audiowalk::NewWalkEntity<CUac2GenericUnit>(UAC2_DEVICE_POOL_TAG, id, &pEntity))
        {
            status = p->InitMixer(Descriptor, Length, pDevice, pCommon);
        }
        break;
    case UAC2_AC_EXTENSION_UNIT:
        if (auto* p = audiowalk::NewWalkEntity<CUac2GenericUnit>(UAC2_DEVICE_POOL_TAG, id, &pEntity))
        {
            status = p->InitExtension(Descriptor, Length, pDevice, pCommon);
        }
        break;
    case USB_AUDIO_AC_SELECTOR_UNIT:
        status = audiowalk::CreateWalkEntity<CUac2SelectorUnit>(
            UAC2_DEVICE_POOL_TAG, id, &pEntity, Descriptor, Length, pDevice, pCommon, &m_DeviceLock);
        break;
    case USB_AUDIO_AC_FEATURE_UNIT:
        status = audiowalk::CreateWalkEntity<CUac2FeatureUnit>(UAC2_DEVICE_POOL_TAG, id, &pEntity, Descriptor,
                                                               Length, pDevice, pCommon, &m_DeviceLock);
        break;
    case UAC2_AC_CLOCK_SOURCE:
        status = audiowalk::CreateWalkEntity<CUac2ClockSource>(UAC2_DEVICE_POOL_TAG, id, &pEntity, Descriptor,
                                                               Length, pDevice, pCommon, &m_DeviceLock);
        break;
    default:
        return STATUS_UNSUCCESSFUL;
    }
    return audiowalk::AdoptWalkEntity(this, pEntity, status);
}

// ---- Audio-streaming interfaces ----

STDMETHODIMP_(NTSTATUS)
CUac2Device::CreateStreams(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                           PUSB_INTERFACE_DESCRIPTOR StreamingInterface, ULONG Length)
{
    PAGED_CODE();
    NTSTATUS status = audiowalk::WalkStreamingInterfaces(
        OWNER, Configuration, StreamingInterface, Length,
        [&](PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Left, BOOLEAN) -> NTSTATUS
        {
            if (Configuration &&
                audiowalk::AudioInterfaceFits(Interface, Left, USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                                              USB_AUDIO_PROTOCOL_IP_VERSION_02_00))
            {
                return STATUS_SUCCESS;
            }
            audiowalk::ReportAudioInterfaceMisfit(OWNER, Interface, Left, USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                                                  USB_AUDIO_PROTOCOL_IP_VERSION_02_00);
            return STATUS_INVALID_PARAMETER;
        },
        [&](PUSB_INTERFACE_DESCRIPTOR Interface, const UCHAR* End, const UCHAR** Stop)
        { return WalkUac2StreamingInterface(Interface, End, Stop); });
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return PropagatePinTypes();
}

// One streaming interface with its alternate settings; *Stop is where its descriptors end. Each
// AS_GENERAL sets the format type, formats and channels its setting's FORMAT_TYPE describes.
NTSTATUS CUac2Device::WalkUac2StreamingInterface(PUSB_INTERFACE_DESCRIPTOR Interface, const UCHAR* End,
                                                 const UCHAR** Stop)
{
    PAGED_CODE();
    const UCHAR number = Interface->bInterfaceNumber;
    UCHAR alternate = Interface->bAlternateSetting;
    CUsbAudioStream* pStream = nullptr;
    ULONG clockNodeId = 0;
    const UCHAR* pGeneral = nullptr;
    NTSTATUS status = audiowalk::WalkStreamingDescriptors(
        OWNER, Interface, End, AS_GENERAL_MIN_BYTES, FORMAT_TYPE_MIN_BYTES, Stop,
        [&](UCHAR Alternate)
        {
            alternate = Alternate;
            pGeneral = nullptr;
        },
        [&](const UCHAR* p, PBOOLEAN) -> NTSTATUS
        {
            if (p[1] == USB_AUDIO_CS_INTERFACE && p[2] == USB_AUDIO_AS_GENERAL)
            {
                pGeneral = p;
                return pStream ? STATUS_SUCCESS
                               : CreateUac2StreamForTerminal(number, p[3], &pStream, &clockNodeId);
            }
            if (p[1] == USB_AUDIO_CS_INTERFACE && p[2] == USB_AUDIO_AS_FORMAT_TYPE)
            {
                return AddUac2FormatType(pStream, clockNodeId, pGeneral, p, alternate);
            }
            return STATUS_SUCCESS;
        });
    if (pStream)
    {
        if (NT_SUCCESS(status))
        {
            status = SpliceUac2StreamSoftwareNodes(pStream);
        }
        status = audiowalk::FinishWalkStream(pStream, status);
    }
    return status;
}

// The stream of the terminal that AS_GENERAL links, timed by the clock source that terminal
// names. On success the caller owns one reference.
NTSTATUS CUac2Device::CreateUac2StreamForTerminal(UCHAR InterfaceNumber, UCHAR TerminalLink,
                                                  CUsbAudioStream** Stream, PULONG ClockNodeId)
{
    PAGED_CODE();
    CUsbEntityNode* pTerminal = nullptr;
    NTSTATUS status = FindChildById(TerminalLink, &pTerminal);
    const ULONG kind = NT_SUCCESS(status) ? pTerminal->GetKind() : 0;
    if (kind != ENTITY_KIND_INPUT_TERMINAL && kind != ENTITY_KIND_OUTPUT_TERMINAL)
    {
        DbgPrint("CUac2Device: streaming interface %u links entity %u, which is no terminal of the "
                 "audio-control interface\n",
                 InterfaceNumber, TerminalLink);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG pinNode = 0;
    status = pTerminal->GetFirstChildId(&pinNode);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    IClockedTerminal* pClocked = nullptr;
    ULONG clockId = 0;
    status = static_cast<ITopologyNode*>(pTerminal)->QueryInterface(IID_IClockedTerminal,
                                                                    reinterpret_cast<PVOID*>(&pClocked));
    if (NT_SUCCESS(status))
    {
        status = pClocked->GetClockSourceId(&clockId);
        pClocked->Release();
    }
    CUsbEntityNode* pClock = nullptr;
    if (NT_SUCCESS(status))
    {
        status = FindChildById(clockId, &pClock);
    }
    if (NT_SUCCESS(status) && pClock->GetKind() != UAC2_AC_CLOCK_SOURCE)
    {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status))
    {
        status = pClock->GetFirstChildId(ClockNodeId);
    }
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CUac2Device: %s %u of streaming interface %u takes its clock from entity %u, which is no "
                 "clock source of the device\n",
                 kind == ENTITY_KIND_INPUT_TERMINAL ? "input terminal" : "output terminal",
                 ULONG(TerminalLink), InterfaceNumber, clockId);
        return status;
    }
    const ULONG direction =
        kind == ENTITY_KIND_INPUT_TERMINAL ? STREAM_DIRECTION_RENDER : STREAM_DIRECTION_CAPTURE;
    CUsbAudioStream* pStream = nullptr;
    if (direction == STREAM_DIRECTION_RENDER)
    {
        pStream = new (NonPagedPool, UAC2_DEVICE_POOL_TAG)
            CUac2RenderStream(nullptr, InterfaceNumber, pinNode, *ClockNodeId);
    }
    else
    {
        pStream = new (NonPagedPool, UAC2_DEVICE_POOL_TAG)
            CUac2CaptureStream(nullptr, InterfaceNumber, pinNode, *ClockNodeId);
    }
    if (!pStream)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pStream->AddRef();
    status = pStream->Init(direction, static_cast<PUNKNOWN>(static_cast<PADAPTERCOMMON>(this)));
    if (NT_SUCCESS(status))
    {
        status = AddStream(static_cast<IStreamEngine*>(pStream));
    }
    if (NT_SUCCESS(status))
    {
        status = ConnectStreamPaths(pStream, pinNode);
    }
    if (!NT_SUCCESS(status))
    {
        pStream->Release();
        return status;
    }
    *Stream = pStream;
    return STATUS_SUCCESS;
}

// A FORMAT_TYPE descriptor belongs to the stream its interface's AS_GENERAL made and takes its
// setting's format type, formats and channels from it.
NTSTATUS CUac2Device::AddUac2FormatType(CUsbAudioStream* Stream, ULONG ClockNodeId, const UCHAR* General,
                                        const UCHAR* FormatType, UCHAR AlternateSetting)
{
    PAGED_CODE();
    if (!Stream || !General)
    {
        DbgPrint("CUac2Device: a streaming interface describes a format before its general descriptor\n");
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR formatType = General[5];
    const ULONG formats = ReadUlong(General + 6);
    const UCHAR channels = General[10];
    const UCHAR subslotBytes = FormatType[4];
    if (!audiowalk::FormatTypePlayable(OWNER, Stream->GetStreamId(), formatType))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (channels == 0 || subslotBytes == 0)
    {
        DbgPrint("CUac2Device: alternate setting %u of streaming interface %u has %u channels of %u bytes\n",
                 AlternateSetting, Stream->GetStreamId(), channels, subslotBytes);
        return STATUS_INVALID_PARAMETER;
    }
    // A setting whose formats are all ones the driver does not stream (IEEE float, A-law, ...)
    // is left out; the interface's other settings stay.
    const ULONG streamed = formatType == USB_AUDIO_FORMAT_TYPE_I ? FORMATS_PCM | FORMATS_RAW_DATA
                                                                 : FORMATS_AC3 | FORMATS_WMA_PRO;
    if (!(formats & streamed))
    {
        DbgPrint("CUac2Device: alternate setting %u of streaming interface %u carries type-%s formats "
                 "0x%08X, none of which the driver streams (it takes 0x%08X); the setting is left out\n",
                 AlternateSetting, Stream->GetStreamId(), formatType == USB_AUDIO_FORMAT_TYPE_I ? "I" : "III",
                 formats, streamed);
        return STATUS_SUCCESS;
    }
    WAVEFORMATEXTENSIBLE format;
    audiowalk::InitFormatTemplate(&format, channels, subslotBytes, FormatType[5], ReadUlong(General + 11));
    return AddUac2Formats(Stream, ClockNodeId, formatType, formats, AlternateSetting, &format);
}

// One format per rate of the stream's clock, in the clock's order.
NTSTATUS CUac2Device::AddUac2Formats(CUsbAudioStream* Stream, ULONG ClockNodeId, UCHAR FormatType,
                                     ULONG Formats, UCHAR AlternateSetting, PCWAVEFORMATEXTENSIBLE Template)
{
    PAGED_CODE();
    ITopologyNode* pNode = nullptr;
    NTSTATUS status = FindNodeById(ClockNodeId, &pNode);
    IClockSourceNode* pClock = nullptr;
    if (NT_SUCCESS(status))
    {
        status = pNode->QueryInterface(IID_IClockSourceNode, reinterpret_cast<PVOID*>(&pClock));
    }
    ULONG count = 0;
    if (NT_SUCCESS(status))
    {
        status = pClock->GetSampleRateCount(&count);
    }
    PULONG pRates = NT_SUCCESS(status) && count ? static_cast<PULONG>(ExAllocatePoolWithTag(
                                                      PagedPool, count * sizeof(ULONG), UAC2_DEVICE_POOL_TAG))
                                                : nullptr;
    if (NT_SUCCESS(status) && count && !pRates)
    {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status) && count)
    {
        status = pClock->GetSampleRates(&count, pRates);
    }
    for (ULONG index = 0; NT_SUCCESS(status) && index < count; index++)
    {
        WAVEFORMATEXTENSIBLE format = *Template;
        format.Format.nSamplesPerSec = pRates[index];
        format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * pRates[index];
        if (FormatType == USB_AUDIO_FORMAT_TYPE_I && (Formats & FORMATS_PCM))
        {
            // The PCM format's samples are two's complement at every width, 8 bits included.
            status = Stream->AddDataFormat(&format, AlternateSetting, TRUE);
        }
        else if (FormatType == USB_AUDIO_FORMAT_TYPE_I && (Formats & FORMATS_RAW_DATA))
        {
            // Offered only at the rates the clock takes and the setting carries.
            if (NT_SUCCESS(pClock->SetSampleRate(pRates[index])) &&
                Stream->IsAlternateSettingValid(AlternateSetting, pRates[index]))
            {
                format.SubFormat.Data1 = DSD_SUBFORMAT_TAG;
                status = Stream->AddDataFormat(&format, AlternateSetting);
            }
        }
        else if (FormatType == USB_AUDIO_FORMAT_TYPE_III)
        {
            if (Formats & FORMATS_AC3)
            {
                format.SubFormat.Data1 = SPDIF_AC3_SUBFORMAT_TAG;
                status = Stream->AddDataFormat(&format, AlternateSetting);
            }
            if (NT_SUCCESS(status) && (Formats & FORMATS_WMA_PRO))
            {
                format.SubFormat.Data1 = SPDIF_WMA_PRO_SUBFORMAT_TAG;
                status = Stream->AddDataFormat(&format, AlternateSetting);
            }
        }
    }
    if (pRates)
    {
        ExFreePoolWithTag(pRates, UAC2_DEVICE_POOL_TAG);
    }
    if (pClock)
    {
        pClock->Release();
    }
    return status;
}

// Capture paths through a mixer end at it: the mixer stands for the terminal the stream records
// from, so it counts as one before the class-1 splice decides.
NTSTATUS CUac2Device::SpliceUac2StreamSoftwareNodes(CUsbAudioStream* Stream)
{
    PAGED_CODE();
    const ULONG count = Stream->GetNodeCount();
    if (Stream->GetKind() != STREAM_DIRECTION_RENDER && count != 2)
    {
        for (ULONG index = 0; index < count; index++)
        {
            ITopologyNode* pNode = nullptr;
            IMixerNode* pMixer = nullptr;
            if (NT_SUCCESS(Stream->GetNode(index, &pNode)) && pNode->GetKind() == NODE_KIND_MIXER &&
                NT_SUCCESS(pNode->QueryInterface(IID_IMixerNode, reinterpret_cast<PVOID*>(&pMixer))))
            {
                pMixer->SetPinMode(1);
                pMixer->Release();
            }
        }
    }
    return SpliceStreamSoftwareNodes(Stream);
}
