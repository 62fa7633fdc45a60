// CUac2Device: creation and teardown, the model rules of the endpoint capabilities, status
// handling of one entity, and subdevice updates with the configured pause.
#include "driver/function/uac2/uac2_device.h"

#include "driver/function/function_object.h"
#include "driver/core/pin_type.h"
#include "driver/core/settings_store.h"
#include "driver/topology/nodes/usb_entity_node.h"

namespace
{

constexpr ULONG ENTITY_KIND_INPUT_TERMINAL = 2;
constexpr ULONG ENTITY_KIND_OUTPUT_TERMINAL = 3;
constexpr ULONG TERMINAL_CONNECTOR_SELECTOR = 2;
// An entity's status operation leaves the id as it was when no node of it is concerned.
constexpr ULONG NO_NODE_ID = 0xFFFFFFFF;

// Render endpoints carry only these bits of the device's record.
constexpr ULONG RENDER_MASK_BITS = 0x003FE0FF;
// Capture endpoints: the ASIO bit and bit 4, or bit 4 alone on some models.
constexpr ULONG CAPTURE_FLAGS = 0x00000012;
constexpr ULONG CAPTURE_FLAGS_WITHOUT_ASIO = 0x00000010;
// Capture microphones and recording endpoints carry only these bits of the record.
constexpr ULONG CAPTURE_MIC_MASK_BITS = 0x00028000;
// UAC2_QUIRK_FIXED_HP_MIC_CAPS: the records of the headphone and microphone endpoints.
constexpr ULONG FIXED_HP_MASK = 0x0000603F;
constexpr ULONG FIXED_HP_FLAGS = 0x00000003;
constexpr ULONG FIXED_MIC_MASK = 0x00029000;

const WCHAR kMiniportDelayValue[] = u"UpdateMiniportDelay";
constexpr LONGLONG HUNDRED_NS_PER_MS = 10000;

} // namespace

NTSTATUS CreateUac2Device(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
{
    return CreateFunctionObject<CUac2Device>(UAC2_DEVICE_POOL_TAG, Unknown, UnknownOuter, VendorId,
                                             ProductId);
}

CUac2Device::CUac2Device(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
    : CUac1Device(UnknownOuter, VendorId, ProductId), m_BulkPipe(UAC1_NO_STATUS_PIPE),
      m_pUac2Transfer(nullptr), m_Uac2Quirks(Uac2DeviceQuirks(VendorId, ProductId))
{
    // The class-1 model rules do not apply to a class-2 function.
    m_Quirks = 0;
}

// The class-1 destructor runs next; it finds no thread, no interface copy and no children.
CUac2Device::~CUac2Device()
{
    PAGED_CODE();
    StopUac2StatusThread();
    FreeChildList(UAC2_DEVICE_POOL_TAG);
}

STDMETHODIMP_(NTSTATUS)
CUac2Device::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT FunctionalDeviceObject,
                  PDEVICE_OBJECT LowerDeviceObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    return InitWithChildList(UAC2_DEVICE_POOL_TAG, ResourceList, FunctionalDeviceObject, LowerDeviceObject,
                             PhysicalDeviceObject);
}

// No identification probe: the record stays zero for every class-2 device.
STDMETHODIMP_(NTSTATUS) CUac2Device::InitHardware()
{
    PAGED_CODE();
    RtlZeroMemory(&m_EndpointCaps, sizeof(m_EndpointCaps));
    NTSTATUS status = ParseAudioControlInterface();
    if (NT_SUCCESS(status))
    {
        status = ParseAudioStreamingInterfaces();
    }
    return status;
}

// ---- Endpoint capabilities ----

STDMETHODIMP_(NTSTATUS) CUac2Device::GetEndpointCapsByType(ULONG Capture, ULONG Type, EndpointCaps* Caps)
{
    PAGED_CODE();
    if (!Caps)
    {
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(Caps, sizeof(*Caps));
    if (m_Uac2Quirks & UAC2_QUIRK_FIXED_HP_MIC_CAPS)
    {
        if (Type == PIN_TYPE_HP)
        {
            Caps->Mask = FIXED_HP_MASK;
            Caps->Flags = FIXED_HP_FLAGS;
        }
        else if (Type == PIN_TYPE_MIC)
        {
            Caps->Mask = FIXED_MIC_MASK;
        }
        return STATUS_SUCCESS;
    }
    if (Capture != STREAM_DIRECTION_CAPTURE)
    {
        if (Type != PIN_TYPE_SPDIF)
        {
            Caps->Mask = m_EndpointCaps.Mask & RENDER_MASK_BITS;
            Caps->Flags = m_EndpointCaps.Flags;
        }
        else if (GetStreamCount() == 1)
        {
            // A lone S/PDIF output is the device's only endpoint and keeps its flags.
            Caps->Flags = m_EndpointCaps.Flags;
        }
        return STATUS_SUCCESS;
    }
    if (Type == PIN_TYPE_SPDIF)
    {
        return STATUS_SUCCESS;
    }
    Caps->Flags =
        (m_Uac2Quirks & UAC2_QUIRK_CAPTURE_WITHOUT_ASIO) ? CAPTURE_FLAGS_WITHOUT_ASIO : CAPTURE_FLAGS;
    if (Type == PIN_TYPE_MIC || Type == PIN_TYPE_FMIC || Type == PIN_TYPE_REC)
    {
        Caps->Mask = m_EndpointCaps.Mask & CAPTURE_MIC_MASK_BITS;
    }
    return STATUS_SUCCESS;
}

// ---- Status of one entity ----

NTSTATUS CUac2Device::OnStatusInterrupt(ULONG EntityId, ULONG ControlSelector, ULONG Channel)
{
    PAGED_CODE();
    CUsbEntityNode* pEntity = nullptr;
    NTSTATUS status = FindChildById(EntityId, &pEntity);
    if (!NT_SUCCESS(status))
    {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG nodeId = NO_NODE_ID;
    status = pEntity->OnStatusInterrupt(ControlSelector, Channel, &nodeId);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    const ULONG kind = pEntity->GetKind();
    if (kind == ENTITY_KIND_INPUT_TERMINAL || kind == ENTITY_KIND_OUTPUT_TERMINAL)
    {
        if (ControlSelector != TERMINAL_CONNECTOR_SELECTOR)
        {
            return STATUS_SUCCESS;
        }
        // A jack was plugged or pulled: each stream installs or removes its subdevice.
        const ULONG count = GetStreamCount();
        for (ULONG index = 0; index < count && NT_SUCCESS(status); index++)
        {
            IStreamEngine* pStream = nullptr;
            status = GetStream(index, &pStream);
            if (NT_SUCCESS(status))
            {
                status = pStream->UpdateSubdevice(GetDeviceObject(), nullptr,
                                                  static_cast<PUNKNOWN>(static_cast<PADAPTERCOMMON>(this)));
            }
        }
        return status;
    }
    // An entity without a node for the control names none: there is nothing to announce.
    if (nodeId != NO_NODE_ID)
    {
        AudioHalNotifyControlChange(m_pCallbackObject, nodeId);
    }
    return STATUS_SUCCESS;
}

// ---- Subdevices after a pin-type change ----

// The setting is the device's to tune, but a pause of minutes would hold the caller's thread
// (a property request or the status thread) as good as for ever.
VOID CUac2Device::PauseForMiniportDelay()
{
    PAGED_CODE();
    ULONG delayMs = 0;
    if (!NT_SUCCESS(AccessSetting(GetDeviceObject(), SETTINGS_OPERATION_READ, &delayMs, sizeof(delayMs),
                                  kMiniportDelayValue)))
    {
        return;
    }
    if (delayMs > UAC2_MAX_MINIPORT_DELAY_MS)
    {
        DbgPrint("CUac2Device: \"UpdateMiniportDelay\" asks for %u ms; the pause is held to %u ms\n", delayMs,
                 UAC2_MAX_MINIPORT_DELAY_MS);
        delayMs = UAC2_MAX_MINIPORT_DELAY_MS;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -LONGLONG(delayMs) * HUNDRED_NS_PER_MS;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// As the class-1 rename, with the pause between the new name and the new subdevice; a failure
// before the pause is returned after it.
NTSTATUS CUac2Device::RenameAndUpdate(IStreamEngine* Stream)
{
    PAGED_CODE();
    PUNKNOWN pAdapter = static_cast<PUNKNOWN>(static_cast<PADAPTERCOMMON>(this));
    PWSTR pName = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, STREAM_NAME_BUFFER_CHARS * sizeof(WCHAR), UAC1_NAME_POOL_TAG));
    NTSTATUS status =
        pName ? Stream->UnregisterSubdevice(GetDeviceObject(), nullptr, pAdapter) : STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
    {
        status = Uac1SetStreamName(Stream, GetDeviceObject(), pName);
    }
    PauseForMiniportDelay();
    if (pName)
    {
        ExFreePoolWithTag(pName, UAC1_NAME_POOL_TAG);
    }
    if (NT_SUCCESS(status))
    {
        status = Stream->UpdateSubdevice(GetDeviceObject(), nullptr, pAdapter);
    }
    return status;
}
