// CUac1Device: creation and teardown, the interface answers, the model probe, endpoint
// capabilities, the child-entity list, status handling of one entity, subdevice updates and
// power changes.
#include "driver/function/uac1/uac1_device.h"

#include "driver/function/function_object.h"
#include "driver/core/device_extension.h"
#include "driver/core/pin_type.h"
#include "driver/topology/nodes/usb_entity_node.h"
#include "driver/core/usb_device_if.h"

namespace
{

constexpr ULONG ID_STRING_BYTES = 104;
constexpr UCHAR ID_STRING_INDEX = 0x50;
constexpr UCHAR ID_STRING_FALLBACK_INDEX = 0x32;
constexpr USHORT ID_STRING_LANGUAGE = 0x0409;

// The identification texts, compared from the string descriptor's first character.
const WCHAR kBridgeIdText[] = u"3864";
const WCHAR kQxrIdText[] = u"QXR710";
constexpr ULONG BRIDGE_ID_CHARS = 4;
constexpr ULONG QXR_ID_CHARS = 6;

// Vendor requests to the "other" recipient that read one probe byte.
constexpr UCHAR BRIDGE_PROBE_REQUEST = 2;
constexpr USHORT BRIDGE_PROBE_VALUE = 0x0051;
constexpr UCHAR BRIDGE_PROBE_KNOWN_FIRMWARE = 0x1F;
constexpr UCHAR QXR_PROBE_REQUEST = 0;
constexpr USHORT QXR_PROBE_A_VALUE = 0x001A;
constexpr USHORT QXR_PROBE_B_VALUE = 0x0020;

// Added to the record of capture microphones on models with UAC1_QUIRK_MIC_CAPTURE_MASK_BIT.
constexpr ULONG MIC_CAPTURE_MASK_BIT = 0x00800000;

constexpr ULONG ENTITY_KIND_INPUT_TERMINAL = 2;
constexpr ULONG ENTITY_KIND_OUTPUT_TERMINAL = 3;

// A pin type from a node is a table index; codes outside the table name a plain stream.
ULONG PinTypeIndex(ULONG PinType)
{
    return PinType < PIN_TYPE_COUNT ? PinType : PIN_TYPE_STREAM;
}

} // namespace

NTSTATUS CreateUac1Device(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
{
    return CreateFunctionObject<CUac1Device>(UAC1_DEVICE_POOL_TAG, Unknown, UnknownOuter, VendorId,
                                             ProductId);
}

CUac1Device::CUac1Device(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
    : CAudioHal(UnknownOuter), m_ControlInterface(0), m_pInterfaceInfo(nullptr),
      m_StatusPipe(UAC1_NO_STATUS_PIPE), m_pStatusThread(nullptr), m_pStatusTransfer(nullptr),
      m_VendorId(VendorId), m_ProductId(ProductId), m_Quirks(Uac1DeviceQuirks(VendorId, ProductId)),
      m_pChildren(nullptr)
{
    KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_DoneEvent, NotificationEvent, FALSE);
}

CUac1Device::~CUac1Device()
{
    PAGED_CODE();
    Stop();
    FreeChildList(UAC1_DEVICE_POOL_TAG);
}

VOID CUac1Device::FreeChildList(ULONG Tag)
{
    PAGED_CODE();
    FreeInterfaceInfo();
    ReleaseChildren();
    if (m_pChildren)
    {
        ExFreePoolWithTag(m_pChildren, Tag);
        m_pChildren = nullptr;
    }
}

STDMETHODIMP_(NTSTATUS) CUac1Device::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (!Interface)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_IUsbAudioFunction))
    {
        return CAudioHal::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    *Interface = PVOID(static_cast<PUSBAUDIOFUNCTION>(this));
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CUac1Device::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT FunctionalDeviceObject,
                  PDEVICE_OBJECT LowerDeviceObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    return InitWithChildList(UAC1_DEVICE_POOL_TAG, ResourceList, FunctionalDeviceObject, LowerDeviceObject,
                             PhysicalDeviceObject);
}

NTSTATUS CUac1Device::InitWithChildList(ULONG Tag, PRESOURCELIST ResourceList,
                                        PDEVICE_OBJECT FunctionalDeviceObject,
                                        PDEVICE_OBJECT LowerDeviceObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    if (m_pChildren)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    m_pChildren = new (NonPagedPool, Tag) CPointerList();
    if (!m_pChildren)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status =
        CAudioHal::Init(ResourceList, FunctionalDeviceObject, LowerDeviceObject, PhysicalDeviceObject);
    if (!NT_SUCCESS(status))
    {
        // The nodes went with the base's rollback; entities half-built by the walk go too.
        ReleaseChildren();
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac1Device::PostInit()
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1Device::GetCallbackObject(PCALLBACK_OBJECT* CallbackObject)
{
    PAGED_CODE();
    if (!CallbackObject)
    {
        return STATUS_UNSUCCESSFUL;
    }
    *CallbackObject = m_pCallbackObject;
    return STATUS_SUCCESS;
}

// ---- Model probe ----

STDMETHODIMP_(NTSTATUS) CUac1Device::InitHardware()
{
    PAGED_CODE();
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = GetOuterUnknown()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = ProbeModel(pUsb);
    pUsb->Release();
    if (NT_SUCCESS(status))
    {
        status = ParseAudioControlInterface();
    }
    if (NT_SUCCESS(status))
    {
        status = ParseAudioStreamingInterfaces();
    }
    return status;
}

NTSTATUS CUac1Device::ProbeModel(IUsbDevice* UsbDevice)
{
    PAGED_CODE();
    PUCHAR pBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ID_STRING_BYTES, UAC1_PROBE_POOL_TAG));
    PURB pUrb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), UAC1_PROBE_POOL_TAG));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(&m_EndpointCaps, sizeof(m_EndpointCaps));
    if (pBuffer && pUrb)
    {
        ULONG chars = 0;
        status = ReadIdString(UsbDevice, pUrb, pBuffer, &chars);
        const WCHAR* pText = reinterpret_cast<const WCHAR*>(pBuffer + 2);
        if (!NT_SUCCESS(status))
        {
            const Uac1ModelCaps* pModel = Uac1FindUnidentifiedModel(m_VendorId, m_ProductId);
            if (pModel)
            {
                m_EndpointCaps.Mask = pModel->Mask;
                m_EndpointCaps.Extra = pModel->Extra;
                m_EndpointCaps.Flags = pModel->Flags;
                status = STATUS_SUCCESS;
            }
            else
            {
                DbgPrint("CUac1Device: the device (%04X:%04X) has no identification string (string "
                         "descriptors 0x%02X and 0x%02X could not be read) and is not one of the models "
                         "known without one\n",
                         m_VendorId, m_ProductId, ID_STRING_INDEX, ID_STRING_FALLBACK_INDEX);
            }
        }
        else if (chars >= BRIDGE_ID_CHARS &&
                 RtlEqualMemory(pText, kBridgeIdText, BRIDGE_ID_CHARS * sizeof(WCHAR)))
        {
            UCHAR probe = 0;
            status = ReadProbeByte(UsbDevice, pUrb, BRIDGE_PROBE_REQUEST, BRIDGE_PROBE_VALUE, &probe);
            if (!NT_SUCCESS(status))
            {
                DbgPrint("CUac1Device: the device identifies as \"3864\" but does not answer the request "
                         "for its firmware byte\n");
            }
            else if (probe == BRIDGE_PROBE_KNOWN_FIRMWARE)
            {
                Uac1ApplyBridgeModelCaps(m_Quirks, &m_EndpointCaps);
            }
        }
        else if (chars >= QXR_ID_CHARS && RtlEqualMemory(pText, kQxrIdText, QXR_ID_CHARS * sizeof(WCHAR)))
        {
            UCHAR probeA = 0;
            UCHAR probeB = 0;
            status = ReadProbeByte(UsbDevice, pUrb, QXR_PROBE_REQUEST, QXR_PROBE_A_VALUE, &probeA);
            if (NT_SUCCESS(status))
            {
                status = ReadProbeByte(UsbDevice, pUrb, QXR_PROBE_REQUEST, QXR_PROBE_B_VALUE, &probeB);
            }
            if (!NT_SUCCESS(status))
            {
                DbgPrint("CUac1Device: the device identifies as \"QXR710\" but does not answer the requests "
                         "for its configuration bytes\n");
            }
            else if (!Uac1ApplyQxrModelCaps(probeA, probeB, &m_EndpointCaps))
            {
                DbgPrint("CUac1Device: the device identifies as \"QXR710\" with configuration bytes 0x%02X "
                         "and 0x%02X, which fit no configuration the driver knows\n",
                         probeA, probeB);
                status = STATUS_UNSUCCESSFUL;
            }
        }
    }
    if (pUrb)
    {
        ExFreePoolWithTag(pUrb, UAC1_PROBE_POOL_TAG);
    }
    if (pBuffer)
    {
        ExFreePoolWithTag(pBuffer, UAC1_PROBE_POOL_TAG);
    }
    return status;
}

// Only the characters the device really sent are compared: a short reply leaves the rest of the
// buffer as it was.
NTSTATUS CUac1Device::ReadIdString(IUsbDevice* UsbDevice, PURB Urb, PUCHAR Buffer, PULONG CharCount)
{
    PAGED_CODE();
    const UCHAR indexes[] = {ID_STRING_INDEX, ID_STRING_FALLBACK_INDEX};
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (UCHAR index : indexes)
    {
        RtlZeroMemory(Buffer, ID_STRING_BYTES);
        RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
        UsbBuildGetDescriptorRequest(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_STRING_DESCRIPTOR_TYPE, index, ID_STRING_LANGUAGE, Buffer, nullptr,
                                     ID_STRING_BYTES, nullptr);
        status = UsbDevice->SubmitUrbSync(Urb);
        if (NT_SUCCESS(status))
        {
            ULONG received = Urb->UrbControlDescriptorRequest.TransferBufferLength;
            received = received < ID_STRING_BYTES ? received : ID_STRING_BYTES;
            ULONG bytes = received < Buffer[0] ? received : Buffer[0];
            *CharCount = bytes > 2 ? (bytes - 2) / sizeof(WCHAR) : 0;
            return status;
        }
    }
    return status;
}

NTSTATUS CUac1Device::ReadProbeByte(IUsbDevice* UsbDevice, PURB Urb, UCHAR Request, USHORT Value, PUCHAR Byte)
{
    PAGED_CODE();
    *Byte = 0;
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(Urb, URB_FUNCTION_VENDOR_OTHER, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, Request, Value, 0, Byte,
                          nullptr, 1, nullptr);
    return UsbDevice->SubmitUrbSync(Urb);
}

// ---- Endpoint capabilities ----

STDMETHODIMP_(NTSTATUS) CUac1Device::GetEndpointCapsByType(ULONG Capture, ULONG Type, EndpointCaps* Caps)
{
    PAGED_CODE();
    if (!Caps)
    {
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(Caps, sizeof(*Caps));
    if (m_Quirks & UAC1_QUIRK_MIC_CAPTURE_MASK_BIT)
    {
        Caps->Mask = m_EndpointCaps.Mask;
        if (Capture == STREAM_DIRECTION_CAPTURE && Type == PIN_TYPE_MIC)
        {
            Caps->Mask |= MIC_CAPTURE_MASK_BIT;
        }
        Caps->Flags = m_EndpointCaps.Flags;
    }
    else if (Type != PIN_TYPE_SPDIF)
    {
        Caps->Mask = m_EndpointCaps.Mask;
        Caps->Extra = m_EndpointCaps.Extra;
        Caps->Flags = m_EndpointCaps.Flags;
    }
    return STATUS_SUCCESS;
}

// An index past the last stream answers for the last stream.
STDMETHODIMP_(NTSTATUS) CUac1Device::GetEndpointCaps(ULONG EndpointIndex, EndpointCaps* Caps)
{
    PAGED_CODE();
    ULONG pinType = 0;
    ULONG direction = 0;
    ULONG count = GetStreamCount();
    for (ULONG index = 0; index < count; index++)
    {
        IStreamEngine* pStream = nullptr;
        if (NT_SUCCESS(GetStream(index, &pStream)))
        {
            pinType = pStream->GetPinType();
            direction = pStream->GetKind();
        }
        if (index == EndpointIndex)
        {
            break;
        }
    }
    NTSTATUS status = GetEndpointCapsByType(direction, pinType, Caps);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

// ---- Child entities ----

NTSTATUS CUac1Device::FindChildById(ULONG Id, CUsbEntityNode** Entity)
{
    PAGED_CODE();
    if (!Entity)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Entity = nullptr;
    if (!m_pChildren || m_pChildren->IsEmpty())
    {
        return STATUS_UNSUCCESSFUL;
    }
    PPOINTER_LIST_NODE position = m_pChildren->GetHeadPosition();
    PVOID pData;
    while (m_pChildren->GetNext(&position, &pData))
    {
        ITopologyNode* pNode = static_cast<ITopologyNode*>(pData);
        if (pNode->GetId() == Id)
        {
            *Entity = static_cast<CUsbEntityNode*>(pNode);
        }
    }
    return *Entity ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac1Device::AddChild(CUsbEntityNode* Entity)
{
    PAGED_CODE();
    if (!Entity || !m_pChildren)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ITopologyNode* pNode = static_cast<ITopologyNode*>(Entity);
    pNode->AddRef();
    if (!m_pChildren->AddHead(pNode))
    {
        pNode->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

VOID CUac1Device::ReleaseChildren()
{
    PVOID pData;
    while (m_pChildren && m_pChildren->RemoveHead(&pData))
    {
        static_cast<ITopologyNode*>(pData)->Release();
    }
}

// ---- Status of one entity ----

NTSTATUS CUac1Device::OnStatusInterrupt(ULONG EntityId)
{
    PAGED_CODE();
    CUsbEntityNode* pEntity = nullptr;
    NTSTATUS status = FindChildById(EntityId, &pEntity);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG nodeId = 0;
    status = pEntity->OnStatusInterrupt(0, 0, &nodeId);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG kind = pEntity->GetKind();
    if (kind == ENTITY_KIND_INPUT_TERMINAL || kind == ENTITY_KIND_OUTPUT_TERMINAL)
    {
        // A jack was plugged or pulled: each stream installs or removes its subdevice.
        ULONG count = GetStreamCount();
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
    ULONG children = 0;
    pEntity->GetChildCount(&children);
    for (ULONG index = 0; index < children; index++)
    {
        ITopologyNode* pNode = nullptr;
        if (!NT_SUCCESS(pEntity->GetChildAt(index, &pNode)))
        {
            break;
        }
        // Only a value that was really read again is announced.
        if (NT_SUCCESS(pNode->SaveValues()))
        {
            AudioHalNotifyControlChange(m_pCallbackObject, pNode->GetId());
        }
    }
    return STATUS_SUCCESS;
}

// ---- Subdevices after a pin-type change ----

BOOLEAN CUac1Device::HasPinTypeChanged(IStreamEngine* Stream)
{
    PAGED_CODE();
    ULONG count = Stream->GetNodeCount();
    for (ULONG index = 0; index < count; index++)
    {
        ITopologyNode* pNode = nullptr;
        if (!NT_SUCCESS(Stream->GetNode(index, &pNode)) || pNode->GetKind() != NODE_KIND_PIN_TYPE_SELECTOR)
        {
            continue;
        }
        IPinTypeSelector* pSelector = nullptr;
        if (!NT_SUCCESS(pNode->QueryInterface(IID_IPinTypeSelector, reinterpret_cast<PVOID*>(&pSelector))))
        {
            return FALSE;
        }
        BOOLEAN changed = pSelector->IsPinTypeChanged() ? TRUE : FALSE;
        if (changed)
        {
            pSelector->ClearPinTypeChanged();
        }
        pSelector->Release();
        return changed;
    }
    return FALSE;
}

// The subdevice comes back under the name of its new pin type.
NTSTATUS CUac1Device::RenameAndUpdate(IStreamEngine* Stream)
{
    PAGED_CODE();
    PUNKNOWN pAdapter = static_cast<PUNKNOWN>(static_cast<PADAPTERCOMMON>(this));
    NTSTATUS status = Stream->UnregisterSubdevice(GetDeviceObject(), nullptr, pAdapter);
    if (NT_SUCCESS(status))
    {
        status = RenameStream(Stream);
    }
    if (NT_SUCCESS(status))
    {
        status = Stream->UpdateSubdevice(GetDeviceObject(), nullptr, pAdapter);
    }
    return status;
}

// The name of the stream's current pin type, numbered as StartDevice numbered it.
NTSTATUS CUac1Device::RenameStream(IStreamEngine* Stream)
{
    PAGED_CODE();
    PWSTR pName = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, STREAM_NAME_BUFFER_CHARS * sizeof(WCHAR), UAC1_NAME_POOL_TAG));
    if (!pName)
    {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = Uac1SetStreamName(Stream, GetDeviceObject(), pName);
    ExFreePoolWithTag(pName, UAC1_NAME_POOL_TAG);
    return status;
}

NTSTATUS Uac1SetStreamName(IStreamEngine* Stream, PDEVICE_OBJECT DeviceObject, PWSTR Name)
{
    PAGED_CODE();
    ULONG pinType = PinTypeIndex(Stream->GetPinType());
    // The name counters are StartDevice's; only render streams carry a pin-type choice.
    ULONG counter = GetAdapterExtension(DeviceObject)->RenderNameCounters[pinType];
    ULONG number = counter ? counter - 1 : 0;
    NTSTATUS status =
        RtlStringCchPrintfW(Name, STREAM_NAME_BUFFER_CHARS,
                            Stream->GetKind() == STREAM_DIRECTION_RENDER ? u"%sOut%02d" : u"%sIn%02d",
                            PinTypeNames[pinType], number);
    return NT_SUCCESS(status) ? Stream->SetName(Name) : status;
}

STDMETHODIMP_(NTSTATUS) CUac1Device::UpdateStreamSubdevices(ULONG EntityId)
{
    PAGED_CODE();
    ULONG count = GetStreamCount();
    for (ULONG index = 0; index < count; index++)
    {
        IStreamEngine* pStream = nullptr;
        NTSTATUS status = GetStream(index, &pStream);
        if (NT_SUCCESS(status) && HasPinTypeChanged(pStream))
        {
            status = RenameAndUpdate(pStream);
        }
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// ---- Power ----

STDMETHODIMP_(void) CUac1Device::PowerChangeState(POWER_STATE NewState)
{
    PAGED_CODE();
    DEVICE_POWER_STATE state = NewState.DeviceState;
    if (state == m_DevicePowerState || state < PowerDeviceD0 || state > PowerDeviceD3)
    {
        return;
    }
    if (state == PowerDeviceD0)
    {
        PostInit();
        RestoreNodeValues();
    }
    m_DevicePowerState = state;
    PUNKNOWN pAdapter = static_cast<PUNKNOWN>(static_cast<PADAPTERCOMMON>(this));
    ULONG count = GetStreamCount();
    for (ULONG index = 0; index < count; index++)
    {
        IStreamEngine* pStream = nullptr;
        NTSTATUS status = GetStream(index, &pStream);
        if (NT_SUCCESS(status))
        {
            status = pStream->PowerChangeState(ULONG(state));
        }
        if (NT_SUCCESS(status) && state == PowerDeviceD0)
        {
            status = pStream->UpdateSubdevice(GetDeviceObject(), nullptr, pAdapter);
        }
        if (!NT_SUCCESS(status))
        {
            break;
        }
    }
    if (state == PowerDeviceD0)
    {
        Start();
    }
    else
    {
        Stop();
    }
}
