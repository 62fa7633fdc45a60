// The topology filter's own properties, addressed to a pin by its KS pin id: the vendor
// version, the jack descriptions in both forms and the pin GUIDs; and the control-change event.
#include "driver/topology/miniport/topology_properties.h"

namespace
{

// Jack and pin-GUID basic support: the access flags and a description without members.
const BasicSupportShape kPinBasicSupport = {KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
                                            BASIC_SUPPORT_DESCRIPTION_BYTES,
                                            &GUID_NULL,
                                            0,
                                            0,
                                            TRUE};

constexpr ULONG kPinGuidsBytes = 2 * sizeof(GUID);
// Bound on a terminal's jacks, so that no reply size wraps.
constexpr ULONG kMaxJacks = (MAXULONG - sizeof(KSMULTIPLE_ITEM)) / sizeof(JackRecord);

// The jack words that make up the KS description; word 6 (flags) and word 8 are not part of it.
KSJACK_DESCRIPTION DescriptionOf(const JackRecord& Jack)
{
    KSJACK_DESCRIPTION description;
    RtlZeroMemory(&description, sizeof(description));
    description.ChannelMapping = Jack.ChannelMapping;
    description.Color = Jack.Color;
    description.ConnectionType = EPcxConnectionType(Jack.ConnectionType);
    description.GeoLocation = EPcxGeoLocation(Jack.GeoLocation);
    description.GenLocation = EPcxGenLocation(Jack.GenLocation);
    description.PortConnection = EPxcPortConnection(Jack.PortConnection);
    description.IsConnected = BOOL(Jack.IsConnected);
    return description;
}

// A jack that cannot sense a plug reports no presence detection.
KSJACK_DESCRIPTION2 Description2Of(const JackRecord& Jack)
{
    KSJACK_DESCRIPTION2 description;
    RtlZeroMemory(&description, sizeof(description));
    description.DeviceStateInfo = 0;
    description.JackCapabilities =
        (Jack.Flags & JACK_FLAG_NO_PRESENCE_DETECT) ? 0 : JACKDESC2_PRESENCE_DETECT_CAPABILITY;
    return description;
}

CMiniportTopology* MiniportOf(PPCPROPERTY_REQUEST Request)
{
    return Request && Request->PropertyItem ? MiniportFromTarget(Request->MajorTarget) : nullptr;
}

} // namespace

// ---- Entry handlers ----

NTSTATUS PropertyHandlerVendorVersion(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    if (!MiniportOf(Request) ||
        !IsSetAndId(Request, KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_VERSION) || !IsGet(Request))
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!RequestHasValue(Request, sizeof(ULONG)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *static_cast<PULONG>(Request->Value) = VENDOR_AUDIO_VERSION;
    Request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS PropertyHandlerVendorJack(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    CMiniportTopology* pMiniport = MiniportOf(Request);
    if (!pMiniport || !IsSetAndId(Request, KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_JACKS))
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return pMiniport->GetJackDescription(Request);
}

NTSTATUS PropertyHandlerJack(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    CMiniportTopology* pMiniport = MiniportOf(Request);
    if (!pMiniport)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (IsSetAndId(Request, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION))
    {
        return pMiniport->GetJackDescription(Request);
    }
    if (IsSetAndId(Request, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2))
    {
        return pMiniport->GetJackDescription2(Request);
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS PropertyHandlerPinGuids(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    CMiniportTopology* pMiniport = MiniportOf(Request);
    if (!pMiniport || !IsSetAndId(Request, KSPROPSETID_PinGuids, KSPROPERTY_PINGUIDS_GUIDS))
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return pMiniport->PropertyPinGuids(Request);
}

NTSTATUS ControlChangeEventHandler(PPCEVENT_REQUEST Request)
{
    PAGED_CODE();
    CMiniportTopology* pMiniport = Request ? MiniportFromTarget(Request->MajorTarget) : nullptr;
    if (!pMiniport)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return pMiniport->ControlChangeEvent(Request);
}

// ---- Pin handlers ----

// The terminal of the pin the request names. Basic support is answered here for every pin
// handler (*Terminal stays null); otherwise only a get of a pin with a record goes on.
NTSTATUS CMiniportTopology::QueryPinTerminal(PPCPROPERTY_REQUEST Request, ITerminalNode** Terminal)
{
    PAGED_CODE();
    *Terminal = nullptr;
    if (!RequestHasInstance(Request, sizeof(ULONG)) || *static_cast<PULONG>(Request->Instance) >= m_nPinCount)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (IsBasicSupport(Request))
    {
        PUCHAR pMembers = nullptr;
        return BeginBasicSupport(Request, kPinBasicSupport, &pMembers);
    }
    TopologyPinRecord record;
    if (!IsGet(Request) || !FindPinRecordByIndex(*static_cast<PULONG>(Request->Instance), &record))
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = record.Node->QueryInterface(IID_ITerminalNode, reinterpret_cast<PVOID*>(Terminal));
    if (!NT_SUCCESS(status))
    {
        *Terminal = nullptr;
        Request->ValueSize = 0;
    }
    return status;
}

NTSTATUS CMiniportTopology::GetJackDescription(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    ITerminalNode* pTerminal = nullptr;
    NTSTATUS status = QueryPinTerminal(Request, &pTerminal);
    if (NT_SUCCESS(status) && pTerminal)
    {
        status = JackReply(Request, pTerminal, FALSE);
        pTerminal->Release();
    }
    return status;
}

NTSTATUS CMiniportTopology::GetJackDescription2(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    ITerminalNode* pTerminal = nullptr;
    NTSTATUS status = QueryPinTerminal(Request, &pTerminal);
    if (NT_SUCCESS(status) && pTerminal)
    {
        status = JackReply(Request, pTerminal, TRUE);
        pTerminal->Release();
    }
    return status;
}

// A KSMULTIPLE_ITEM followed by one description a jack. The records are read into a zeroed
// block, so a terminal that fills fewer bytes than it counted cannot pass stale pool on.
NTSTATUS CMiniportTopology::JackReply(PPCPROPERTY_REQUEST Request, ITerminalNode* Terminal,
                                      BOOLEAN Description2)
{
    PAGED_CODE();
    ULONG count = 0;
    NTSTATUS status = Terminal->GetJackCount(&count);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (count == 0 || count > kMaxJacks)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG itemBytes = Description2 ? sizeof(KSJACK_DESCRIPTION2) : sizeof(KSJACK_DESCRIPTION);
    ULONG size = ULONG(sizeof(KSMULTIPLE_ITEM)) + count * itemBytes;
    status = CheckReplySize(Request, size);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG recordBytes = count * ULONG(sizeof(JackRecord));
    JackRecord* pJacks = static_cast<JackRecord*>(
        ExAllocatePoolWithTag(PagedPool, recordBytes, MINIPORT_TOPOLOGY_TEMP_POOL_TAG));
    if (!pJacks)
    {
        Request->ValueSize = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pJacks, recordBytes);
    status = Terminal->GetJackDescriptions(recordBytes, pJacks);
    if (NT_SUCCESS(status))
    {
        PUCHAR pOut = static_cast<PUCHAR>(Request->Value);
        KSMULTIPLE_ITEM header = {size, count};
        RtlCopyMemory(pOut, &header, sizeof(header));
        pOut += sizeof(header);
        for (ULONG jack = 0; jack < count; jack++, pOut += itemBytes)
        {
            if (Description2)
            {
                KSJACK_DESCRIPTION2 description = Description2Of(pJacks[jack]);
                RtlCopyMemory(pOut, &description, sizeof(description));
            }
            else
            {
                KSJACK_DESCRIPTION description = DescriptionOf(pJacks[jack]);
                RtlCopyMemory(pOut, &description, sizeof(description));
            }
        }
    }
    else
    {
        Request->ValueSize = 0;
    }
    ExFreePoolWithTag(pJacks, MINIPORT_TOPOLOGY_TEMP_POOL_TAG);
    return status;
}

NTSTATUS CMiniportTopology::PropertyPinGuids(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    ITerminalNode* pTerminal = nullptr;
    NTSTATUS status = QueryPinTerminal(Request, &pTerminal);
    if (!NT_SUCCESS(status) || !pTerminal)
    {
        return status;
    }
    status = CheckReplySize(Request, kPinGuidsBytes);
    if (NT_SUCCESS(status))
    {
        GUID guids[2] = {};
        status = pTerminal->GetPinGuids(guids);
        if (NT_SUCCESS(status))
        {
            RtlCopyMemory(Request->Value, guids, sizeof(guids));
        }
        else
        {
            Request->ValueSize = 0;
        }
    }
    pTerminal->Release();
    return status;
}

// ---- Events ----

// The port keeps the entries; the miniport only accepts them for its nodes.
NTSTATUS CMiniportTopology::ControlChangeEvent(PPCEVENT_REQUEST Request)
{
    PAGED_CODE();
    if (Request->Node >= m_nNodeCount)
    {
        return STATUS_INVALID_PARAMETER;
    }
    switch (Request->Verb)
    {
    case PCEVENT_VERB_ADD:
        if (!Request->EventEntry || !m_pPortEvents)
        {
            return STATUS_UNSUCCESSFUL;
        }
        m_pPortEvents->AddEventToEventList(Request->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
