// Variant D: its creation, capability values, entity classes and render stream class. Every
// other behaviour (status thread, capture streams, power) is the class-1 object's.
#include "driver/function/variants/variant_d_device.h"

#include "driver/function/function_object.h"
#include "driver/core/usb_device_if.h"
#include "driver/function/variants/variant_d_walk.h"
#include "driver/wave/usb_audio_stream.h"

NTSTATUS CreateVariantDDevice(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId,
                              ULONG ModelCode)
{
    return CreateFunctionObject<CVariantDDevice>(VARIANT_D_POOL_TAG, Unknown, UnknownOuter, VendorId,
                                                 ProductId, ModelCode);
}

CVariantDDevice::CVariantDDevice(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId, ULONG ModelCode)
    : CVariantDevice(UnknownOuter, VendorId, ProductId, VARIANT_D_ENTITY_POOL_TAG), m_ModelCode(ModelCode)
{
}

STDMETHODIMP_(NTSTATUS) CVariantDDevice::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    return QueryAdapterInterfaces(InterfaceId, Interface);
}

STDMETHODIMP_(NTSTATUS) CVariantDDevice::InitHardware()
{
    PAGED_CODE();
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = GetOuterUnknown()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    VariantDCapabilities caps = {};
    status = GetVariantDCapabilities(m_ModelCode, m_VendorId, m_ProductId, &caps);
    if (NT_SUCCESS(status))
    {
        RtlZeroMemory(&m_EndpointCaps, sizeof(m_EndpointCaps));
        m_EndpointCaps.Mask = caps.Mask;
        m_EndpointCaps.Extra = caps.Extra;
        m_EndpointCaps.Flags = caps.Flags;
        status = RunWalks();
    }
    else
    {
        status = STATUS_UNSUCCESSFUL;
    }
    pUsb->Release();
    return status;
}

NTSTATUS CVariantDDevice::CreateVariantEntity(PUCHAR Descriptor, ULONG Length, ULONG Index,
                                              CUsbEntityNode** Entity)
{
    PAGED_CODE();
    return CreateVariantDEntity(Descriptor, Length, Index, DeviceUnknown(), Common(), &m_DeviceLock, Entity);
}

NTSTATUS CVariantDDevice::CreateRenderStreamObject(UCHAR InterfaceNumber, ULONG PinNodeId,
                                                   CUsbAudioStream** Stream)
{
    PAGED_CODE();
    return CreateVariantDRenderStream(InterfaceNumber, PinNodeId, DeviceUnknown(), Stream);
}
