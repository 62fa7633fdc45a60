// The class-1 endpoint sampling-frequency request, and the endpoint descriptor that says
// whether the endpoint takes it.
#include "driver/wave/uac1_sampling_frequency.h"

#include "usbaudio.h"
#include "usbdlib.h"
#include "driver/wave/usb_audio_stream.h"

namespace
{

// bmAttributes of the class-specific isochronous endpoint descriptor: bit 0 announces the
// sampling-frequency control.
constexpr UCHAR EP_ATTRIBUTE_SAMPLING_FREQUENCY = 0x01;
// Offsets in that descriptor: bDescriptorSubtype, bmAttributes.
constexpr ULONG CS_ENDPOINT_SUBTYPE_OFFSET = 2;
constexpr ULONG CS_ENDPOINT_ATTRIBUTES_OFFSET = 3;
// Offset of bEndpointAddress in the standard endpoint descriptor, and its shortest length.
constexpr ULONG ENDPOINT_ADDRESS_OFFSET = 2;
constexpr ULONG ENDPOINT_DESCRIPTOR_MIN_BYTES = 7;
// The control's selector goes in the high byte of wValue.
constexpr USHORT SAMPLING_FREQUENCY_VALUE = USB_AUDIO_EP_SAMPLING_FREQ_CONTROL << 8;
// The rate travels as 3 bytes, little-endian, in Hz.
constexpr ULONG SAMPLING_FREQUENCY_BYTES = 3;

} // namespace

// Walks the setting's own descriptors, bounded by the configuration's total length: the
// class-specific descriptor that follows the endpoint and comes before the next endpoint or
// interface belongs to it.
BOOLEAN HasSamplingFrequencyControlUac1(PUSB_CONFIGURATION_DESCRIPTOR Config, ULONG InterfaceNumber,
                                        UCHAR AlternateSetting, UCHAR EndpointAddress)
{
    PAGED_CODE();
    PUSB_INTERFACE_DESCRIPTOR pInterface =
        Config ? USBD_ParseConfigurationDescriptorEx(Config, Config, LONG(InterfaceNumber), AlternateSetting,
                                                     USB_AUDIO_CLASS, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1)
               : nullptr;
    if (!pInterface)
    {
        return FALSE;
    }
    const PUCHAR pEnd = reinterpret_cast<PUCHAR>(Config) + Config->wTotalLength;
    PUCHAR pAt = reinterpret_cast<PUCHAR>(pInterface) + pInterface->bLength;
    BOOLEAN inEndpoint = FALSE;
    while (pEnd - pAt >= 2 && pAt[0] >= 2 && pAt[0] <= pEnd - pAt)
    {
        const ULONG length = pAt[0];
        const UCHAR type = pAt[1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE)
        {
            break;
        }
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE)
        {
            inEndpoint =
                length >= ENDPOINT_DESCRIPTOR_MIN_BYTES && pAt[ENDPOINT_ADDRESS_OFFSET] == EndpointAddress;
        }
        else if (inEndpoint && type == USB_AUDIO_CS_ENDPOINT && length > CS_ENDPOINT_ATTRIBUTES_OFFSET &&
                 pAt[CS_ENDPOINT_SUBTYPE_OFFSET] == USB_AUDIO_EP_GENERAL)
        {
            return (pAt[CS_ENDPOINT_ATTRIBUTES_OFFSET] & EP_ATTRIBUTE_SAMPLING_FREQUENCY) != 0;
        }
        pAt += length;
    }
    return FALSE;
}

NTSTATUS SetSamplingFrequencyUac1(IUsbDevice* UsbDevice, ULONG InterfaceNumber, UCHAR AlternateSetting,
                                  UCHAR EndpointAddress, ULONG RateHz)
{
    PAGED_CODE();
    if (!HasSamplingFrequencyControlUac1(UsbDevice->GetConfigurationDescriptor(), InterfaceNumber,
                                         AlternateSetting, EndpointAddress))
    {
        return STATUS_SUCCESS;
    }
    const SIZE_T requestBytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    const SIZE_T allocationBytes = requestBytes + SAMPLING_FREQUENCY_BYTES;
    PURB pRequest =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, allocationBytes, USB_STREAM_URB_POOL_TAG));
    if (!pRequest)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pRequest, allocationBytes);
    PUCHAR pData = reinterpret_cast<PUCHAR>(pRequest) + requestBytes;
    pData[0] = UCHAR(RateHz);
    pData[1] = UCHAR(RateHz >> 8);
    pData[2] = UCHAR(RateHz >> 16);
    UsbBuildVendorRequest(pRequest, URB_FUNCTION_CLASS_ENDPOINT, requestBytes, 0, 0, USB_AUDIO_SET_CUR,
                          SAMPLING_FREQUENCY_VALUE, EndpointAddress, pData, nullptr, SAMPLING_FREQUENCY_BYTES,
                          nullptr);
    const NTSTATUS status = UsbDevice->SubmitUrbSync(pRequest);
    ExFreePoolWithTag(pRequest, USB_STREAM_URB_POOL_TAG);
    return status;
}
