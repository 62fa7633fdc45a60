// Uac1EntityRequest: the class and vendor control requests of the class-1 entities.
#include "driver/topology/uac1/uac1_entity_request.h"

#include "usb.h"
#include "usbaudio.h"
#include "usbdlib.h"
#include "driver/core/audio_hal.h"
#include "driver/core/topology_node_if.h"
#include "driver/core/usb_device_if.h"
#include "driver/topology/nodes/pin_node.h"

NTSTATUS Uac1EntityRequest(PUNKNOWN Device, ULONG Function, BOOLEAN In, UCHAR Request, USHORT Value,
                           UCHAR EntityId, PVOID Buffer, ULONG Length, PULONG Received)
{
    PAGED_CODE();
    if (Received)
    {
        *Received = 0;
    }
    if (!Device || (Length && !Buffer) || Length > 0xFFFF)
    {
        return STATUS_INVALID_PARAMETER;
    }
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = Device->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    // The transfer is waited for, so the URB can live on the stack.
    URB urb;
    RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    USHORT index = USHORT(USHORT(EntityId) << 8 | pUsb->GetControlInterfaceNumber());
    UsbBuildVendorRequest(
        &urb, Function == UAC1_REQUEST_VENDOR ? URB_FUNCTION_VENDOR_INTERFACE : URB_FUNCTION_CLASS_INTERFACE,
        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), In ? USBD_TRANSFER_DIRECTION_IN : 0, 0, Request,
        Value, index, Buffer, nullptr, Length, nullptr);
    status = pUsb->SubmitUrbSync(&urb);
    pUsb->Release();
    if (NT_SUCCESS(status) && Received)
    {
        ULONG got = urb.UrbControlVendorClassRequest.TransferBufferLength;
        *Received = got < Length ? got : Length;
    }
    return status;
}

NTSTATUS Uac1EntityRead(PUNKNOWN Device, ULONG Function, UCHAR Request, USHORT Value, UCHAR EntityId,
                        PVOID Buffer, ULONG Length)
{
    PAGED_CODE();
    ULONG received = 0;
    NTSTATUS status =
        Uac1EntityRequest(Device, Function, TRUE, Request, Value, EntityId, Buffer, Length, &received);
    if (NT_SUCCESS(status) && received != Length)
    {
        return STATUS_UNSUCCESSFUL;
    }
    return status;
}

NTSTATUS Uac1EntityWrite(PUNKNOWN Device, ULONG Function, UCHAR Request, USHORT Value, UCHAR EntityId,
                         const VOID* Buffer, ULONG Length)
{
    PAGED_CODE();
    return Uac1EntityRequest(Device, Function, FALSE, Request, Value, EntityId, const_cast<PVOID>(Buffer),
                             Length, nullptr);
}

BOOLEAN Uac1IsEntityDescriptor(const VOID* Descriptor, ULONG Length, UCHAR Subtype)
{
    const UCHAR* pBytes = static_cast<const UCHAR*>(Descriptor);
    return pBytes && Length >= 3 && pBytes[1] == USB_AUDIO_CS_INTERFACE && pBytes[2] == Subtype ? TRUE
                                                                                                : FALSE;
}

NTSTATUS Uac1SetUnitSourceList(const UCHAR* Descriptor, ITopologyNode* Node)
{
    PAGED_CODE();
    constexpr ULONG PIN_COUNT_OFFSET = 4;
    constexpr ULONG SOURCES_OFFSET = 5;
    if (!Descriptor || !Node)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (Descriptor[0] <= PIN_COUNT_OFFSET ||
        Descriptor[0] < SOURCES_OFFSET + ULONG(Descriptor[PIN_COUNT_OFFSET]))
    {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG count = Descriptor[PIN_COUNT_OFFSET];
    if (count == 0)
    {
        return Node->SetSourceIdList(0, nullptr);
    }
    PULONG pIds =
        static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), UAC1_ENTITY_POOL_TAG));
    if (!pIds)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < count; i++)
    {
        pIds[i] = Descriptor[SOURCES_OFFSET + i];
    }
    NTSTATUS status = Node->SetSourceIdList(count, pIds);
    ExFreePoolWithTag(pIds, UAC1_ENTITY_POOL_TAG);
    return status;
}

NTSTATUS Uac1AdoptChildNode(IAdapterCommon* AdapterCommon, CUsbEntityNode* Entity, CTopologyNode* Node,
                            NTSTATUS InitStatus)
{
    PAGED_CODE();
    NTSTATUS status = InitStatus;
    if (NT_SUCCESS(status))
    {
        // Every adapter common of this driver is a CAudioHal: the audio function objects are.
        status = static_cast<CAudioHal*>(AdapterCommon)->AddNode(Node);
    }
    if (NT_SUCCESS(status))
    {
        status = Entity->AddChildNode(Node);
    }
    Node->NonDelegatingRelease();
    return status;
}

NTSTATUS Uac1AddInputPinNode(CUsbEntityNode* Terminal, IAdapterCommon* AdapterCommon, ULONG PinType,
                             ULONG Tag, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    CInputPinNode* pNode = new (NonPagedPool, Tag) CInputPinNode(nullptr, AdapterCommon->GetNodeCount());
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pNode->NonDelegatingAddRef();
    EndpointCaps caps;
    RtlZeroMemory(&caps, sizeof(caps));
    NTSTATUS status = AdapterCommon->GetEndpointCapsByType(1, PinType, &caps);
    if (NT_SUCCESS(status))
    {
        status = pNode->InitInputPinNode(static_cast<ITopologyNode*>(Terminal), &caps, DeviceLock);
    }
    return Uac1AdoptChildNode(AdapterCommon, Terminal, pNode, status);
}
