// CUsbDevice: reading the device and configuration descriptors, selecting the configuration,
// and choosing and creating the audio function object by class release and model.
#include "driver/usb/usb_device.h"

#include "usbaudio.h"

namespace
{

constexpr ULONG DESCRIPTOR_URB_BYTES = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr UCHAR AUDIO_CONTROL_PROTOCOL_UAC1 = USB_AUDIO_PROTOCOL_UNDEFINED;
constexpr UCHAR AUDIO_CONTROL_PROTOCOL_UAC2 = USB_AUDIO_PROTOCOL_IP_VERSION_02_00;
// Interface numbers are 8-bit: the search for interfaces ends after this one at the latest.
constexpr LONG LAST_INTERFACE_NUMBER = 255;

PURB AllocateDescriptorUrb(ULONG Tag)
{
    PURB pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_URB_BYTES, Tag));
    if (pUrb)
    {
        RtlZeroMemory(pUrb, DESCRIPTOR_URB_BYTES);
    }
    return pUrb;
}

const char* KindName(UsbAudioFunctionKind Kind)
{
    switch (Kind)
    {
    case UsbAudioFunctionUac1:
        return "class-1";
    case UsbAudioFunctionUac2:
        return "class-2";
    case UsbAudioFunctionVariantA:
        return "variant A";
    case UsbAudioFunctionVariantB:
        return "variant B";
    case UsbAudioFunctionVariantC:
        return "variant C";
    case UsbAudioFunctionVariantD:
        return "variant D";
    }
    return "unknown";
}

} // namespace

// ---- Descriptors ----

NTSTATUS CUsbDevice::ReadDescriptors()
{
    PAGED_CODE();
    PURB pUrb = AllocateDescriptorUrb(USB_DEVICE_POOL_TAG);
    if (!pUrb)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ReadDeviceDescriptor(pUrb);
    if (NT_SUCCESS(status))
    {
        status = ReadConfigurationDescriptor(pUrb);
    }
    ExFreePoolWithTag(pUrb, USB_DEVICE_POOL_TAG);
    return status;
}

// A short answer leaves the missing fields zero rather than undefined.
NTSTATUS CUsbDevice::ReadDeviceDescriptor(PURB pUrb)
{
    PAGED_CODE();
    PUSB_DEVICE_DESCRIPTOR pDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_POOL_TAG));
    if (!pDescriptor)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    UsbBuildGetDescriptorRequest(pUrb, DESCRIPTOR_URB_BYTES, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, pDescriptor,
                                 nullptr, sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
    NTSTATUS status = SubmitUrbSync(pUrb);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CUsbDevice: the device descriptor could not be read (0x%08X)\n", status);
    }
    else
    {
        m_nVendorId = pDescriptor->idVendor;
        m_nProductId = pDescriptor->idProduct;
        m_nManufacturerIndex = pDescriptor->iManufacturer;
        m_nProductIndex = pDescriptor->iProduct;
    }
    ExFreePoolWithTag(pDescriptor, USB_DEVICE_POOL_TAG);
    return status;
}

// The header gives the total length; the whole descriptor follows. Only what the device sent
// is parsed: a shorter answer shrinks wTotalLength to the bytes that arrived, and a total below
// the configuration descriptor's own size is refused, so no walk reads past the data.
NTSTATUS CUsbDevice::ReadConfigurationDescriptor(PURB pUrb)
{
    PAGED_CODE();
    USB_CONFIGURATION_DESCRIPTOR header;
    RtlZeroMemory(&header, sizeof(header));
    UsbBuildGetDescriptorRequest(pUrb, DESCRIPTOR_URB_BYTES, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &header,
                                 nullptr, sizeof(header), nullptr);
    NTSTATUS status = SubmitUrbSync(pUrb);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CUsbDevice: the configuration descriptor could not be read (0x%08X)\n", status);
        return status;
    }
    if (pUrb->UrbControlDescriptorRequest.TransferBufferLength < sizeof(header) ||
        header.wTotalLength < sizeof(header))
    {
        DbgPrint("CUsbDevice: the configuration descriptor is shorter than its own header\n");
        return STATUS_DEVICE_DATA_ERROR;
    }
    ULONG totalBytes = header.wTotalLength;
    PUSB_CONFIGURATION_DESCRIPTOR pDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, totalBytes, USB_DEVICE_POOL_TAG));
    if (!pDescriptor)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pDescriptor, totalBytes);
    UsbBuildGetDescriptorRequest(pUrb, DESCRIPTOR_URB_BYTES, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                                 pDescriptor, nullptr, totalBytes, nullptr);
    status = SubmitUrbSync(pUrb);
    ULONG received = pUrb->UrbControlDescriptorRequest.TransferBufferLength;
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CUsbDevice: the configuration descriptor (%u bytes) could not be read (0x%08X)\n",
                 totalBytes, status);
    }
    else if (received < sizeof(header) || pDescriptor->wTotalLength < sizeof(header))
    {
        DbgPrint("CUsbDevice: the configuration descriptor is shorter than its own header\n");
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(pDescriptor, USB_DEVICE_POOL_TAG);
        return status;
    }
    if (pDescriptor->wTotalLength > received)
    {
        pDescriptor->wTotalLength = USHORT(received);
    }
    m_pConfigurationDescriptor = pDescriptor;
    return STATUS_SUCCESS;
}

// ---- Configuration ----

// Every interface at alternate setting 0, in interface-number order; the streaming interfaces
// choose their working settings later.
NTSTATUS CUsbDevice::SelectConfiguration()
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = m_pConfigurationDescriptor;
    if (!pConfig)
    {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG wanted = pConfig->bNumInterfaces;
    SIZE_T listBytes = (SIZE_T(wanted) + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY pList = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(NonPagedPool, listBytes, USB_DEVICE_POOL_TAG));
    if (!pList)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pList, listBytes);
    ULONG found = 0;
    for (LONG number = 0; number <= LAST_INTERFACE_NUMBER && found < wanted; number++)
    {
        PUSB_INTERFACE_DESCRIPTOR pInterface =
            USBD_ParseConfigurationDescriptorEx(pConfig, pConfig, number, 0, -1, -1, -1);
        if (pInterface)
        {
            pList[found++].InterfaceDescriptor = pInterface;
        }
    }
    // A configuration without a single usable interface is the device's fault, not a lack of memory.
    PURB pUrb = found ? USBD_CreateConfigurationRequestEx(pConfig, pList) : nullptr;
    NTSTATUS status = found ? STATUS_INSUFFICIENT_RESOURCES : STATUS_DEVICE_CONFIGURATION_ERROR;
    if (!found)
    {
        DbgPrint("CUsbDevice: the configuration announces %u interfaces and describes none\n", wanted);
    }
    if (pUrb)
    {
        PUSBD_INTERFACE_INFORMATION pFirst = pList[0].Interface;
        for (ULONG pipe = 0; pipe < pFirst->NumberOfPipes; pipe++)
        {
            pFirst->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            pFirst->Pipes[pipe].PipeFlags = 0;
        }
        status = SubmitUrbSync(pUrb);
        if (!NT_SUCCESS(status))
        {
            DbgPrint("CUsbDevice: the device refused its configuration (0x%08X)\n", status);
        }
        else
        {
            status = KeepInterfaceInfos(pList, found);
        }
        if (NT_SUCCESS(status))
        {
            m_hConfiguration = pUrb->UrbSelectConfiguration.ConfigurationHandle;
        }
        ExFreePool(pUrb);
    }
    ExFreePoolWithTag(pList, USB_DEVICE_POOL_TAG);
    return status;
}

// Copies of the interface records as the bus filled them, in request order; each record's own
// Length covers its pipes.
NTSTATUS CUsbDevice::KeepInterfaceInfos(PUSBD_INTERFACE_LIST_ENTRY pList, ULONG Count)
{
    PAGED_CODE();
    FreeInterfaceInfos();
    SIZE_T arrayBytes = SIZE_T(Count) * sizeof(PUSBD_INTERFACE_INFORMATION);
    m_ppInterfaceInfos = static_cast<PUSBD_INTERFACE_INFORMATION*>(
        ExAllocatePoolWithTag(NonPagedPool, arrayBytes, USB_DEVICE_POOL_TAG));
    if (!m_ppInterfaceInfos)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(m_ppInterfaceInfos, arrayBytes);
    m_nInterfaceCount = Count;
    for (ULONG i = 0; i < Count; i++)
    {
        PUSBD_INTERFACE_INFORMATION pSource = pList[i].Interface;
        PVOID pCopy = ExAllocatePoolWithTag(NonPagedPool, pSource->Length, USB_DEVICE_POOL_TAG);
        if (!pCopy)
        {
            FreeInterfaceInfos();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlCopyMemory(pCopy, pSource, pSource->Length);
        m_ppInterfaceInfos[i] = static_cast<PUSBD_INTERFACE_INFORMATION>(pCopy);
    }
    return STATUS_SUCCESS;
}

VOID CUsbDevice::FreeInterfaceInfos()
{
    if (!m_ppInterfaceInfos)
    {
        return;
    }
    for (ULONG i = 0; i < m_nInterfaceCount; i++)
    {
        if (m_ppInterfaceInfos[i])
        {
            ExFreePoolWithTag(m_ppInterfaceInfos[i], USB_DEVICE_POOL_TAG);
        }
    }
    ExFreePoolWithTag(m_ppInterfaceInfos, USB_DEVICE_POOL_TAG);
    m_ppInterfaceInfos = nullptr;
    m_nInterfaceCount = 0;
}

// ---- Audio function ----

STDMETHODIMP_(NTSTATUS) CUsbDevice::CreateAudioDevice()
{
    PAGED_CODE();
    // A second function object would orphan the first and its aggregation references.
    if (m_pAudioFunction)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = m_pConfigurationDescriptor;
    PUSB_INTERFACE_DESCRIPTOR pControl =
        pConfig ? USBD_ParseConfigurationDescriptorEx(pConfig, pConfig, -1, -1, USB_DEVICE_CLASS_AUDIO,
                                                      USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1)
                : nullptr;
    if (!pControl)
    {
        DbgPrint("CUsbDevice: the configuration has no audio-control interface\n");
        return STATUS_UNSUCCESSFUL;
    }
    m_nControlInterfaceNumber = pControl->bInterfaceNumber;
    UsbAudioFunctionKind kind = UsbAudioFunctionUac1;
    ULONG modelCode = 0;
    switch (pControl->bInterfaceProtocol)
    {
    case AUDIO_CONTROL_PROTOCOL_UAC2:
        kind = UsbAudioFunctionUac2;
        break;
    case AUDIO_CONTROL_PROTOCOL_UAC1:
    {
        NTSTATUS status = IdentifyModel(&kind, &modelCode);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        break;
    }
    default:
        DbgPrint("CUsbDevice: audio-control interface %u has protocol 0x%02X, which is neither release 1.0 "
                 "nor release 2.0\n",
                 pControl->bInterfaceNumber, pControl->bInterfaceProtocol);
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = CallCreator(kind, modelCode);
    if (NT_SUCCESS(status))
    {
        status = QueryFunctionInterfaces();
    }
    return status;
}

// The identification string at 0x50 (or at 0x32 on models that keep it there) names the model;
// a device with neither is a plain class-1 function.
NTSTATUS CUsbDevice::IdentifyModel(UsbAudioFunctionKind* pKind, ULONG* pModelCode)
{
    PAGED_CODE();
    *pKind = UsbAudioFunctionUac1;
    PWCHAR pText = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, USB_DEVICE_ID_STRING_BYTES, USB_DEVICE_ID_STRING_POOL_TAG));
    if (!pText)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG chars = 0;
    NTSTATUS status = ReadStringDescriptor(USB_DEVICE_ID_STRING_INDEX, pText, USB_DEVICE_ID_STRING_BYTES,
                                           USB_DEVICE_ID_STRING_POOL_TAG, &chars);
    if (!NT_SUCCESS(status) && status != STATUS_INSUFFICIENT_RESOURCES)
    {
        status = ReadStringDescriptor(USB_DEVICE_ID_STRING_FALLBACK_INDEX, pText, USB_DEVICE_ID_STRING_BYTES,
                                      USB_DEVICE_ID_STRING_POOL_TAG, &chars);
    }
    if (NT_SUCCESS(status))
    {
        *pKind = UsbDeviceIdentifyModel(pText, chars, pModelCode);
    }
    ExFreePoolWithTag(pText, USB_DEVICE_ID_STRING_POOL_TAG);
    return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}

NTSTATUS CUsbDevice::CallCreator(UsbAudioFunctionKind Kind, ULONG ModelCode)
{
    PAGED_CODE();
    const AudioFunctionCreators* pCreators = UsbDeviceAudioFunctionCreators();
    PUNKNOWN pOuter = GetOuterUnknown();
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    BOOLEAN bHasCreator = TRUE;
    switch (Kind)
    {
    case UsbAudioFunctionVariantD:
        bHasCreator = pCreators->VariantD != nullptr;
        if (bHasCreator)
        {
            status = pCreators->VariantD(&m_pAudioFunction, pOuter, m_nVendorId, m_nProductId, ModelCode);
        }
        break;
    default:
    {
        PFN_CREATE_AUDIO_FUNCTION pfnCreate = Kind == UsbAudioFunctionUac2       ? pCreators->Uac2
                                              : Kind == UsbAudioFunctionVariantA ? pCreators->VariantA
                                              : Kind == UsbAudioFunctionVariantB ? pCreators->VariantB
                                              : Kind == UsbAudioFunctionVariantC ? pCreators->VariantC
                                                                                 : pCreators->Uac1;
        bHasCreator = pfnCreate != nullptr;
        if (bHasCreator)
        {
            status = pfnCreate(&m_pAudioFunction, pOuter, m_nVendorId, m_nProductId);
        }
        break;
    }
    }
    if (!bHasCreator)
    {
        DbgPrint("CUsbDevice: this driver has no %s audio function (device %04X:%04X)\n", KindName(Kind),
                 m_nVendorId, m_nProductId);
        return STATUS_NOT_SUPPORTED;
    }
    if (NT_SUCCESS(status) && !m_pAudioFunction)
    {
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

// The queries reach the function object's interfaces through this object's unknown, so each
// adds a reference here; dropping them again keeps the aggregate from holding itself alive.
// Only m_pAudioFunction keeps the function object.
NTSTATUS CUsbDevice::QueryFunctionInterfaces()
{
    PAGED_CODE();
    NTSTATUS status = m_pAudioFunction->QueryInterface(IID_IAdapterCommon,
                                                       reinterpret_cast<PVOID*>(&m_pFunctionAdapterCommon));
    if (!NT_SUCCESS(status))
    {
        m_pFunctionAdapterCommon = nullptr;
    }
    else
    {
        if (!NT_SUCCESS(m_pAudioFunction->QueryInterface(IID_IUsbAudioFunction,
                                                         reinterpret_cast<PVOID*>(&m_pFunctionInterface))))
        {
            m_pFunctionInterface = nullptr;
        }
        status = m_pAudioFunction->QueryInterface(IID_IAdapterPowerManagement,
                                                  reinterpret_cast<PVOID*>(&m_pFunctionPower));
        if (!NT_SUCCESS(status))
        {
            m_pFunctionPower = nullptr;
        }
    }
    PUNKNOWN kept[] = {m_pFunctionAdapterCommon, m_pFunctionInterface, m_pFunctionPower};
    for (PUNKNOWN pKept : kept)
    {
        if (pKept)
        {
            Release();
        }
    }
    return status;
}
