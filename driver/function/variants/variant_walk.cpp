// The variants' audio-control walk: the class-1 framing (interface checks, descriptor lengths,
// supported subtypes, wiring) with each variant's choice of entity classes.
#include "driver/function/variants/variant_device.h"
#include "driver/function/audio_descriptor_walk.h"
#include "driver/function/uac1/uac1_walk_internal.h"

#include "usbaudio.h"
#include "driver/core/usb_device_if.h"
#include "driver/topology/nodes/usb_entity_node.h"

CVariantDevice::CVariantDevice(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId, ULONG EntityTag)
    : CUac1Device(UnknownOuter, VendorId, ProductId), m_nEntityTag(EntityTag),
      m_VariantQuirks(VariantDeviceQuirks(VendorId, ProductId))
{
}

// The audio HAL's own answers: a variant is no IUsbAudioFunction.
NTSTATUS CVariantDevice::QueryAdapterInterfaces(REFIID InterfaceId, PVOID* Interface)
{
    return CAudioHal::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS CVariantDevice::RunWalks()
{
    PAGED_CODE();
    NTSTATUS status = ParseAudioControlInterface();
    if (NT_SUCCESS(status))
    {
        status = ParseAudioStreamingInterfaces();
    }
    if (NT_SUCCESS(status))
    {
        status = PostInit();
    }
    return status;
}

NTSTATUS CVariantDevice::StartVariantHardware(ULONG Mask, ULONG Extra)
{
    PAGED_CODE();
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = GetOuterUnknown()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    RtlZeroMemory(&m_EndpointCaps, sizeof(m_EndpointCaps));
    m_EndpointCaps.Mask = Mask;
    m_EndpointCaps.Extra = Extra;
    status = RunWalks();
    pUsb->Release();
    return status;
}

STDMETHODIMP_(NTSTATUS)
CVariantDevice::CreateTopologyNodes(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Length)
{
    PAGED_CODE();
    if (!audiowalk::AudioInterfaceFits(ControlInterface, Length, USB_AUDIO_SUBCLASS_AUDIOCONTROL,
                                       USB_AUDIO_PROTOCOL_UNDEFINED))
    {
        DbgPrint("CVariantDevice: the audio-control interface descriptor is cut short or is no release-1.0 "
                 "audio-control interface\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pChildren)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = audiowalk::WalkControlDescriptors("CVariantDevice", ControlInterface, Length,
                                                        [this](PUCHAR Descriptor, ULONG Left)
                                                        { return WalkEntity(Descriptor, Left); });
    if (NT_SUCCESS(status) && RequiresEveryWiredSource())
    {
        status = CheckWiredSources();
    }
    if (NT_SUCCESS(status))
    {
        status = WireEntities();
    }
    return status;
}

NTSTATUS CVariantDevice::WalkEntity(PUCHAR Descriptor, ULONG Length)
{
    PAGED_CODE();
    if (Descriptor[2] < USB_AUDIO_AC_INPUT_TERMINAL || Descriptor[2] > USB_AUDIO_AC_FEATURE_UNIT)
    {
        DbgPrint("CVariantDevice: audio-control descriptor subtype %u (entity %u) is not supported on this "
                 "model\n",
                 Descriptor[2], Descriptor[0] > 3 ? Descriptor[3] : 0);
        return STATUS_UNSUCCESSFUL;
    }
    // Unlike the class-1 walk, the variants take a feature unit whose bControlSize is 0.
    if (!uac1walk::EntityDescriptorFits(Descriptor, FALSE))
    {
        DbgPrint("CVariantDevice: the descriptor of entity %u (subtype %u) is too short (%u bytes)\n",
                 Descriptor[0] > 3 ? Descriptor[3] : 0, Descriptor[2], Descriptor[0]);
        return STATUS_UNSUCCESSFUL;
    }
    CUsbEntityNode* pEntity = nullptr;
    NTSTATUS status = CreateVariantEntity(Descriptor, Length, m_pChildren->GetCount(), &pEntity);
    return audiowalk::AdoptWalkEntity(this, pEntity, status);
}

// Every entity that has nodes must find each of its sources among the entities.
NTSTATUS CVariantDevice::CheckWiredSources()
{
    PAGED_CODE();
    return audiowalk::ForEachWiredEntity(
        m_pChildren,
        [this](CUsbEntityNode* pEntity, PULONG ids, ULONG count)
        {
            for (ULONG index = 0; index < count; index++)
            {
                CUsbEntityNode* pSource = nullptr;
                NTSTATUS status = FindChildById(ids[index], &pSource);
                if (!NT_SUCCESS(status))
                {
                    DbgPrint("CVariantDevice: entity %u names source %u, which is no terminal or unit of the "
                             "device\n",
                             pEntity->GetId(), ids[index]);
                    return status;
                }
            }
            return STATUS_SUCCESS;
        });
}
