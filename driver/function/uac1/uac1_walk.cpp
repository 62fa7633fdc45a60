// The class-1 descriptor walk: entities from the audio-control interface and their wiring,
// stream objects from the audio-streaming interfaces with the nodes on their signal paths,
// software nodes for paths without a unit, and the pin types handed down from the pin-type
// selectors. Descriptors come from the device and are checked before any field is read.
#include "driver/function/uac1/uac1_device.h"
#include "driver/function/audio_descriptor_walk.h"
#include "driver/function/uac1/uac1_walk_internal.h"

#include "usbaudio.h"
#include "driver/core/pin_type.h"
#include "driver/topology/uac1/uac1_feature_unit.h"
#include "driver/topology/uac1/uac1_input_terminal.h"
#include "driver/topology/uac1/uac1_mixer_unit.h"
#include "driver/topology/uac1/uac1_output_terminal.h"
#include "driver/topology/uac1/uac1_selector_unit.h"
#include "driver/core/usb_device_if.h"
#include "driver/wave/uac1_capture_stream.h"
#include "driver/wave/uac1_render_stream.h"

using namespace uac1walk;

BOOLEAN uac1walk::EntityDescriptorFits(const UCHAR* Descriptor, BOOLEAN RequireControlSize)
{
    const ULONG length = Descriptor[0];
    switch (Descriptor[2])
    {
    case USB_AUDIO_AC_INPUT_TERMINAL:
        return length >= 12;
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
        return length >= 9;
    case USB_AUDIO_AC_MIXER_UNIT:
        return length >= 5 && length >= 5 + ULONG(Descriptor[4]);
    case USB_AUDIO_AC_SELECTOR_UNIT:
        return length >= 6 && length >= 6 + ULONG(Descriptor[4]);
    case USB_AUDIO_AC_FEATURE_UNIT:
        return length >= 7 && (!RequireControlSize || Descriptor[5] != 0);
    default:
        return FALSE;
    }
}

namespace
{

using audiowalk::INTERFACE_DESCRIPTOR_BYTES;

constexpr char OWNER[] = "CUac1Device";
constexpr ULONG AS_GENERAL_MIN_BYTES = 7;
constexpr ULONG FORMAT_TYPE_MIN_BYTES = 8;
constexpr UCHAR ENDPOINT_DESCRIPTOR_TYPE = 0x05;

constexpr ULONG ENTITY_KIND_INPUT_TERMINAL = 2;
constexpr ULONG ENTITY_KIND_OUTPUT_TERMINAL = 3;
// Output pins a render stream looks for its terminal from.
constexpr ULONG MAX_OUTPUT_PINS = 10;

// UAC1_QUIRK_TERMINAL16_IS_HEADPHONES: this terminal, when declared a speaker.
constexpr UCHAR HEADPHONE_TERMINAL_ID = 16;
constexpr USHORT TERMINAL_TYPE_SPEAKER = 0x0301;
constexpr USHORT TERMINAL_TYPE_HEADPHONES = 0x0302;
// UAC1_QUIRK_NEEDS_OUTPUTS_16_AND_64: the output terminals the model must have.
const ULONG kRequiredOutputTerminals[] = {16, 64};

USHORT ReadWord(const UCHAR* Bytes)
{
    return USHORT(Bytes[0] | Bytes[1] << 8);
}

// An entity as the device's user would name it in a message, by its descriptor subtype.
const char* EntityName(ULONG Subtype)
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
    case USB_AUDIO_AC_PROCESSING_UNIT:
        return "processing unit";
    case USB_AUDIO_AC_EXTENSION_UNIT:
        return "extension unit";
    default:
        return "entity";
    }
}

// The entity's input node takes exactly these sources, however many it had: what is left once
// the links to nothing are gone.
VOID SetFirstNodeSources(CUsbEntityNode* Entity, ULONG Count, const ULONG* Ids)
{
    ULONG children = 0;
    ITopologyNode* pFirst = nullptr;
    if (NT_SUCCESS(Entity->GetChildCount(&children)) && children &&
        NT_SUCCESS(Entity->GetChildAt(children - 1, &pFirst)))
    {
        pFirst->SetSourceIdList(Count, Count ? Ids : nullptr);
    }
}

// Processing and extension units, and anything unknown, are not supported.
BOOLEAN IsSupportedEntity(UCHAR Subtype)
{
    return Subtype >= USB_AUDIO_AC_INPUT_TERMINAL && Subtype <= USB_AUDIO_AC_FEATURE_UNIT;
}

// Descriptor is at least a class-specific header long.
VOID ReportUnsupportedEntity(const UCHAR* Descriptor)
{
    const ULONG id = Descriptor[0] > 3 ? Descriptor[3] : 0;
    if (Descriptor[2] == USB_AUDIO_AC_PROCESSING_UNIT || Descriptor[2] == USB_AUDIO_AC_EXTENSION_UNIT)
    {
        DbgPrint("CUac1Device: %s %u is not supported by this driver\n", EntityName(Descriptor[2]), id);
    }
    else
    {
        DbgPrint("CUac1Device: audio-control descriptor subtype %u (entity %u) is unknown to this driver\n",
                 Descriptor[2], id);
    }
}

// The device's first audio interface of SubClass and the bytes from it to the end of the
// configuration. No such interface is no error: *Interface stays null.
NTSTATUS FindFirstAudioInterface(PUNKNOWN Device, LONG SubClass, PUSB_CONFIGURATION_DESCRIPTOR* Config,
                                 PUSB_INTERFACE_DESCRIPTOR* Interface, PULONG Length)
{
    PAGED_CODE();
    *Interface = nullptr;
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = Device->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = pUsb->GetConfigurationDescriptor();
    pUsb->Release();
    if (!pConfig)
    {
        return STATUS_UNSUCCESSFUL;
    }
    PUSB_INTERFACE_DESCRIPTOR pInterface =
        USBD_ParseConfigurationDescriptorEx(pConfig, pConfig, -1, -1, USB_AUDIO_CLASS, SubClass, -1);
    if (pInterface)
    {
        ULONG offset = ULONG(reinterpret_cast<PUCHAR>(pInterface) - reinterpret_cast<PUCHAR>(pConfig));
        *Config = pConfig;
        *Interface = pInterface;
        *Length = pConfig->wTotalLength - offset;
    }
    return STATUS_SUCCESS;
}

} // namespace

// ---- Audio-control interface ----

NTSTATUS CUac1Device::ParseAudioControlInterface()
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = nullptr;
    PUSB_INTERFACE_DESCRIPTOR pInterface = nullptr;
    ULONG length = 0;
    NTSTATUS status = FindFirstAudioInterface(GetOuterUnknown(), USB_AUDIO_SUBCLASS_AUDIOCONTROL, &pConfig,
                                              &pInterface, &length);
    if (!NT_SUCCESS(status) || !pInterface)
    {
        return status;
    }
    m_ControlInterface = pInterface->bInterfaceNumber;
    return CreateTopologyNodes(pInterface, length);
}

STDMETHODIMP_(NTSTATUS)
CUac1Device::CreateTopologyNodes(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Length)
{
    PAGED_CODE();
    if (!audiowalk::AudioInterfaceFits(ControlInterface, Length, USB_AUDIO_SUBCLASS_AUDIOCONTROL,
                                       USB_AUDIO_PROTOCOL_UNDEFINED))
    {
        audiowalk::ReportAudioInterfaceMisfit(OWNER, ControlInterface, Length,
                                              USB_AUDIO_SUBCLASS_AUDIOCONTROL, USB_AUDIO_PROTOCOL_UNDEFINED);
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pChildren)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The descriptors lie in the driver's own pool copy of the configuration (CUsbDevice read it),
    // which the walk may amend; nothing of the device's is written.
    NTSTATUS status = audiowalk::WalkControlDescriptors(
        OWNER, ControlInterface, Length,
        [this](PUCHAR Descriptor, ULONG Left) -> NTSTATUS
        {
            if (!IsSupportedEntity(Descriptor[2]))
            {
                ReportUnsupportedEntity(Descriptor);
                return STATUS_UNSUCCESSFUL;
            }
            // bControlSize 0 would leave no room for any channel's controls.
            if (!EntityDescriptorFits(Descriptor, TRUE))
            {
                if (Descriptor[2] == USB_AUDIO_AC_FEATURE_UNIT && Descriptor[0] >= 7)
                {
                    DbgPrint("CUac1Device: feature unit %u gives its control bitmaps a size of 0 bytes\n",
                             Descriptor[3]);
                }
                else
                {
                    DbgPrint("CUac1Device: the descriptor of %s %u is too short (%u bytes)\n",
                             EntityName(Descriptor[2]), Descriptor[0] > 3 ? Descriptor[3] : 0, Descriptor[0]);
                }
                return STATUS_UNSUCCESSFUL;
            }
            return CreateEntity(Descriptor, Left);
        });
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    WireEntities();
    return CheckRequiredOutputTerminals();
}

// The one rewrite the walk makes, in the driver's own copy of the configuration descriptor.
VOID CUac1Device::AmendOutputTerminal(PUCHAR Descriptor)
{
    PAGED_CODE();
    if ((m_Quirks & UAC1_QUIRK_TERMINAL16_IS_HEADPHONES) && Descriptor[3] == HEADPHONE_TERMINAL_ID &&
        ReadWord(Descriptor + 4) == TERMINAL_TYPE_SPEAKER)
    {
        Descriptor[4] = UCHAR(TERMINAL_TYPE_HEADPHONES & 0xFF);
        Descriptor[5] = UCHAR(TERMINAL_TYPE_HEADPHONES >> 8);
    }
}

NTSTATUS CUac1Device::CreateEntity(PUCHAR Descriptor, ULONG Length)
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
        status = audiowalk::CreateWalkEntity<CUac1InputTerminal>(
            UAC1_DEVICE_POOL_TAG, id, &pEntity, Descriptor, Length, pDevice, pCommon, &m_DeviceLock);
        break;
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
        AmendOutputTerminal(Descriptor);
        status = audiowalk::CreateWalkEntity<CUac1OutputTerminal>(
            UAC1_DEVICE_POOL_TAG, id, &pEntity, Descriptor, Length, pDevice, pCommon, &m_DeviceLock);
        break;
    case USB_AUDIO_AC_MIXER_UNIT:
        status = audiowalk::CreateWalkEntity<CUac1MixerUnit>(UAC1_DEVICE_POOL_TAG, id, &pEntity, Descriptor,
                                                             Length, pDevice, pCommon);
        break;
    case USB_AUDIO_AC_SELECTOR_UNIT:
        status = audiowalk::CreateWalkEntity<CUac1SelectorUnit>(
            UAC1_DEVICE_POOL_TAG, id, &pEntity, Descriptor, Length, pDevice, pCommon, &m_DeviceLock);
        break;
    case USB_AUDIO_AC_FEATURE_UNIT:
        status = audiowalk::CreateWalkEntity<CUac1FeatureUnit>(UAC1_DEVICE_POOL_TAG, id, &pEntity, Descriptor,
                                                               Length, pDevice, pCommon, &m_DeviceLock);
        break;
    default:
        return STATUS_UNSUCCESSFUL;
    }
    return audiowalk::AdoptWalkEntity(this, pEntity, status);
}

// Each entity's input node takes the output nodes of the entities its descriptor names; a
// source entity without nodes keeps its entity id. A source id that names no entity (0, or a
// unit the descriptors never define) would be taken for the node of that number and draw a
// connection the device does not have, so that link is left out.
NTSTATUS CUac1Device::WireEntities()
{
    PAGED_CODE();
    return audiowalk::ForEachWiredEntity(
        m_pChildren,
        [this](CUsbEntityNode* pEntity, PULONG ids, ULONG count)
        {
            ULONG kept = 0;
            for (ULONG index = 0; index < count; index++)
            {
                CUsbEntityNode* pSource = nullptr;
                if (!NT_SUCCESS(FindChildById(ids[index], &pSource)))
                {
                    DbgPrint(
                        "CUac1Device: %s %u names source %u, which is no terminal or unit of the device; "
                        "that link is left out\n",
                        EntityName(pEntity->GetKind()), pEntity->GetId(), ids[index]);
                    continue;
                }
                ULONG sourceNode = 0;
                ids[kept++] = NT_SUCCESS(pSource->GetFirstChildId(&sourceNode)) ? sourceNode : ids[index];
            }
            if (kept == count)
            {
                pEntity->SetFirstChildValue(count, ids);
            }
            else
            {
                SetFirstNodeSources(pEntity, kept, ids);
            }
            return STATUS_SUCCESS;
        });
}

NTSTATUS CUac1Device::CheckRequiredOutputTerminals()
{
    PAGED_CODE();
    if (!(m_Quirks & UAC1_QUIRK_NEEDS_OUTPUTS_16_AND_64))
    {
        return STATUS_SUCCESS;
    }
    for (ULONG id : kRequiredOutputTerminals)
    {
        CUsbEntityNode* pEntity = nullptr;
        NTSTATUS status = FindChildById(id, &pEntity);
        if (NT_SUCCESS(status) && pEntity->GetKind() != ENTITY_KIND_OUTPUT_TERMINAL)
        {
            status = STATUS_UNSUCCESSFUL;
        }
        if (!NT_SUCCESS(status))
        {
            DbgPrint("CUac1Device: this model (%04X:%04X) must have output terminal %u, and its descriptors "
                     "have none\n",
                     m_VendorId, m_ProductId, id);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// ---- Audio-streaming interfaces ----

NTSTATUS CUac1Device::ParseAudioStreamingInterfaces()
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = nullptr;
    PUSB_INTERFACE_DESCRIPTOR pInterface = nullptr;
    ULONG length = 0;
    NTSTATUS status = FindFirstAudioInterface(GetOuterUnknown(), USB_AUDIO_SUBCLASS_AUDIOSTREAMING, &pConfig,
                                              &pInterface, &length);
    if (!NT_SUCCESS(status) || !pInterface)
    {
        return status;
    }
    return CreateStreams(pConfig, pInterface, length);
}

STDMETHODIMP_(NTSTATUS)
CUac1Device::CreateStreams(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                           PUSB_INTERFACE_DESCRIPTOR StreamingInterface, ULONG Length)
{
    PAGED_CODE();
    NTSTATUS status = audiowalk::WalkStreamingInterfaces(
        OWNER, Configuration, StreamingInterface, Length,
        [&](PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Left, BOOLEAN First)
        {
            return First ? CheckFirstStreamingInterface(Configuration, Interface, Left)
                         : CheckNextStreamingInterface(Interface, Left);
        },
        [&](PUSB_INTERFACE_DESCRIPTOR Interface, const UCHAR* End, const UCHAR** Stop)
        { return WalkStreamingInterface(Interface, End, Stop); });
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return PropagatePinTypes();
}

NTSTATUS CUac1Device::CheckFirstStreamingInterface(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                                   PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length)
{
    PAGED_CODE();
    if (Configuration && audiowalk::AudioInterfaceFits(Interface, Length, USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                                                       USB_AUDIO_PROTOCOL_UNDEFINED))
    {
        return STATUS_SUCCESS;
    }
    // A device that carries a release-2.0 function beside a release-1.0 one is told apart, so
    // its owner learns which function the driver took.
    if (Configuration && audiowalk::AudioInterfaceWhole(Interface, Length) &&
        Interface->bInterfaceProtocol == USB_AUDIO_PROTOCOL_IP_VERSION_02_00)
    {
        audiowalk::ReportMixedReleaseFunctions(OWNER, Configuration, Interface);
    }
    else
    {
        audiowalk::ReportAudioInterfaceMisfit(OWNER, Interface, Length, USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                                              USB_AUDIO_PROTOCOL_UNDEFINED);
    }
    return STATUS_INVALID_PARAMETER;
}

// The later interfaces are taken as the first one set the release; each must lie whole within
// the configuration.
NTSTATUS CUac1Device::CheckNextStreamingInterface(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length)
{
    PAGED_CODE();
    if (audiowalk::AudioInterfaceWhole(Interface, Length))
    {
        return STATUS_SUCCESS;
    }
    DbgPrint("CUac1Device: an audio-streaming interface descriptor runs past the configuration\n");
    return STATUS_UNSUCCESSFUL;
}

// One streaming interface with its alternate settings; *Stop is where its descriptors end.
NTSTATUS CUac1Device::WalkStreamingInterface(PUSB_INTERFACE_DESCRIPTOR Interface, const UCHAR* End,
                                             const UCHAR** Stop)
{
    PAGED_CODE();
    const UCHAR number = Interface->bInterfaceNumber;
    UCHAR alternate = Interface->bAlternateSetting;
    CUsbAudioStream* pStream = nullptr;
    USHORT formatTag = 0;
    // A format descriptor's own length is checked where it is read.
    NTSTATUS status = audiowalk::WalkStreamingDescriptors(
        OWNER, Interface, End, AS_GENERAL_MIN_BYTES, audiowalk::CS_HEADER_BYTES, Stop,
        [&](UCHAR Alternate) { alternate = Alternate; },
        [&](const UCHAR* p, PBOOLEAN EndHere) -> NTSTATUS
        {
            const UCHAR type = p[1];
            if (type == USB_AUDIO_CS_INTERFACE && p[2] == USB_AUDIO_AS_GENERAL)
            {
                formatTag = ReadWord(p + 5);
                return pStream ? STATUS_SUCCESS : CreateStreamForTerminal(number, p[3], &pStream);
            }
            if (type == USB_AUDIO_CS_INTERFACE && p[2] == USB_AUDIO_AS_FORMAT_TYPE)
            {
                return AddStreamFormats(pStream, number, p, formatTag, alternate);
            }
            *EndHere = type != USB_AUDIO_CS_INTERFACE && type != ENDPOINT_DESCRIPTOR_TYPE &&
                       type != USB_AUDIO_CS_ENDPOINT;
            return STATUS_SUCCESS;
        });
    if (pStream)
    {
        if (NT_SUCCESS(status))
        {
            status = SpliceStreamSoftwareNodes(pStream);
        }
        status = audiowalk::FinishWalkStream(pStream, status);
    }
    return status;
}

// A FORMAT_TYPE descriptor belongs to the stream its interface's AS_GENERAL made.
NTSTATUS CUac1Device::AddStreamFormats(CUsbAudioStream* Stream, UCHAR InterfaceNumber,
                                       const UCHAR* Descriptor, USHORT FormatTag, UCHAR AlternateSetting)
{
    PAGED_CODE();
    if (!Stream)
    {
        DbgPrint("CUac1Device: streaming interface %u describes a format before its general descriptor "
                 "names its terminal\n",
                 InterfaceNumber);
        return STATUS_INVALID_PARAMETER;
    }
    if (Descriptor[0] < FORMAT_TYPE_MIN_BYTES)
    {
        DbgPrint("CUac1Device: a format descriptor of streaming interface %u is %u bytes long, too short for "
                 "one\n",
                 InterfaceNumber, Descriptor[0]);
        return STATUS_UNSUCCESSFUL;
    }
    return AddFormatTypeDescriptor(Stream, Descriptor, FormatTag, AlternateSetting);
}

// The stream of the terminal that AS_GENERAL links: an input terminal is fed by the host
// (render), an output terminal feeds it (capture). On success the caller owns one reference.
NTSTATUS CUac1Device::CreateStreamForTerminal(UCHAR InterfaceNumber, UCHAR TerminalLink,
                                              CUsbAudioStream** Stream)
{
    PAGED_CODE();
    CUsbEntityNode* pTerminal = nullptr;
    NTSTATUS status = FindChildById(TerminalLink, &pTerminal);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CUac1Device: streaming interface %u links terminal %u, which the audio-control interface "
                 "does not define\n",
                 InterfaceNumber, TerminalLink);
        return status;
    }
    ULONG kind = pTerminal->GetKind();
    if (kind != ENTITY_KIND_INPUT_TERMINAL && kind != ENTITY_KIND_OUTPUT_TERMINAL)
    {
        DbgPrint("CUac1Device: streaming interface %u links %s %u, which is no terminal\n", InterfaceNumber,
                 EntityName(kind), TerminalLink);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG pinNode = 0;
    status = pTerminal->GetFirstChildId(&pinNode);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    const ULONG direction =
        kind == ENTITY_KIND_INPUT_TERMINAL ? STREAM_DIRECTION_RENDER : STREAM_DIRECTION_CAPTURE;
    CUsbAudioStream* pStream = nullptr;
    status = direction == STREAM_DIRECTION_RENDER
                 ? CreateRenderStreamObject(InterfaceNumber, pinNode, &pStream)
                 : STATUS_SUCCESS;
    if (direction != STREAM_DIRECTION_RENDER)
    {
        pStream =
            new (NonPagedPool, UAC1_DEVICE_POOL_TAG) CUac1CaptureStream(nullptr, InterfaceNumber, pinNode);
        if (!pStream)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        pStream->AddRef();
        status = pStream->Init(direction, static_cast<PUNKNOWN>(static_cast<PADAPTERCOMMON>(this)));
    }
    if (!pStream)
    {
        return status;
    }
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

// The class-1 render stream, initialised, with the caller's reference.
NTSTATUS CUac1Device::CreateRenderStreamObject(UCHAR InterfaceNumber, ULONG PinNodeId,
                                               CUsbAudioStream** Stream)
{
    PAGED_CODE();
    CUsbAudioStream* pStream =
        new (NonPagedPool, UAC1_DEVICE_POOL_TAG) CUac1RenderStream(nullptr, InterfaceNumber, PinNodeId);
    *Stream = pStream;
    if (!pStream)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pStream->AddRef();
    return pStream->Init(STREAM_DIRECTION_RENDER, static_cast<PUNKNOWN>(static_cast<PADAPTERCOMMON>(this)));
}

// ---- Signal paths ----

NTSTATUS CUac1Device::ConnectStreamPaths(CUsbAudioStream* Stream, ULONG PinNodeId)
{
    PAGED_CODE();
    if (Stream->GetKind() != STREAM_DIRECTION_RENDER)
    {
        NTSTATUS status = CheckUpstreamAcyclic(PinNodeId);
        return NT_SUCCESS(status) ? AddPathNodesToStream(Stream, PinNodeId) : status;
    }
    // The physical output pins, in node-list order; streaming pins (type 0) lead to the host.
    ULONG pins[MAX_OUTPUT_PINS];
    ULONG pinCount = 0;
    ULONG nodeCount = GetNodeCount();
    for (ULONG index = 0; index < nodeCount && pinCount < MAX_OUTPUT_PINS; index++)
    {
        ITopologyNode* pNode = nullptr;
        NTSTATUS status = GetNode(index, &pNode);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        ITerminalNode* pTerminal = nullptr;
        if (pNode->GetKind() != NODE_KIND_OUTPUT_TERMINAL ||
            !NT_SUCCESS(pNode->QueryInterface(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
        {
            continue;
        }
        ULONG pinType = PIN_TYPE_STREAM;
        pTerminal->GetPinType(&pinType);
        pTerminal->Release();
        if (pinType != PIN_TYPE_STREAM)
        {
            pins[pinCount++] = pNode->GetId();
        }
    }
    if (pinCount == 0)
    {
        DbgPrint("CUac1Device: streaming interface %u plays to the device, which has no output terminal "
                 "other than a streaming one\n",
                 Stream->GetStreamId());
        return STATUS_INVALID_PARAMETER;
    }
    BOOLEAN reached = FALSE;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG index = 0; index < pinCount; index++)
    {
        status = CheckUpstreamAcyclic(pins[index]);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        BOOLEAN found = FALSE;
        status = SearchUpstream(pins[index], PinNodeId, &found);
        if (NT_SUCCESS(status) && found)
        {
            reached = TRUE;
            status = AddPathNodesToStream(Stream, pins[index]);
            if (!NT_SUCCESS(status))
            {
                break;
            }
        }
    }
    if (!reached)
    {
        DbgPrint("CUac1Device: no output terminal of the device is fed from streaming interface %u\n",
                 Stream->GetStreamId());
        return STATUS_INVALID_PARAMETER;
    }
    return NT_SUCCESS(status) ? status : STATUS_INVALID_PARAMETER;
}

// Breadth-first from StartId towards the sources, looking for TargetId. Each node is queued
// once, so shared upstream paths are not walked twice.
NTSTATUS CUac1Device::SearchUpstream(ULONG StartId, ULONG TargetId, PBOOLEAN Found)
{
    PAGED_CODE();
    *Found = FALSE;
    CIdSet queued(GetNodeCount() + 1);
    PULONG pSources = AllocateSourceScratch();
    NTSTATUS status = queued.IsValid() && pSources ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    IdRing ring = {};
    if (NT_SUCCESS(status))
    {
        ring.Push(StartId);
        queued.Add(StartId);
    }
    while (NT_SUCCESS(status) && ring.Count)
    {
        ULONG id = ring.Pop();
        if (id == TargetId)
        {
            *Found = TRUE;
            break;
        }
        ITopologyNode* pNode = nullptr;
        status = FindNodeById(id, &pNode);
        ULONG count = NT_SUCCESS(status) ? ReadSources(pNode, pSources) : 0;
        for (ULONG index = 0; index < count && NT_SUCCESS(status); index++)
        {
            if (queued.Contains(pSources[index]))
            {
                continue;
            }
            if (ring.Count == PATH_RING_IDS || !queued.Add(pSources[index]))
            {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ring.Push(pSources[index]);
        }
    }
    if (pSources)
    {
        ExFreePoolWithTag(pSources, UAC1_DEVICE_POOL_TAG);
    }
    return status;
}

// Every node from StartId upstream up to the first mixer joins the stream; a node already on
// the stream is not expanded again.
NTSTATUS CUac1Device::AddPathNodesToStream(CUsbAudioStream* Stream, ULONG StartId)
{
    PAGED_CODE();
    PULONG pSources = AllocateSourceScratch();
    if (!pSources)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = STATUS_SUCCESS;
    IdRing ring = {};
    ring.Push(StartId);
    while (NT_SUCCESS(status) && ring.Count)
    {
        ULONG id = ring.Pop();
        ITopologyNode* pNode = nullptr;
        if (NT_SUCCESS(Stream->FindLinkedNode(id, &pNode)))
        {
            continue;
        }
        status = FindNodeById(id, &pNode);
        if (NT_SUCCESS(status))
        {
            status = Stream->AddNode(pNode);
        }
        if (!NT_SUCCESS(status) || pNode->GetKind() == NODE_KIND_MIXER)
        {
            continue;
        }
        ULONG count = ReadSources(pNode, pSources);
        if (PATH_RING_IDS - ring.Count < count)
        {
            DbgPrint("CUac1Device: the signal path of streaming interface %u branches into more than %u "
                     "sources at once\n",
                     Stream->GetStreamId(), PATH_RING_IDS);
            status = STATUS_NOT_SUPPORTED; // the walk's fixed ring, not memory, is what ran out
            break;
        }
        for (ULONG index = 0; index < count; index++)
        {
            ring.Push(pSources[index]);
        }
    }
    ExFreePoolWithTag(pSources, UAC1_DEVICE_POOL_TAG);
    return status;
}
