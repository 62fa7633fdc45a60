// CUsbDevice: string descriptors, and the device's friendly name and manufacturer that the
// driver writes from the product and manufacturer strings.
#include "driver/usb/usb_device.h"

#include "driver/core/settings_store.h"

namespace
{

constexpr ULONG STRING_URB_BYTES = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr ULONG STRING_HEADER_BYTES = 2; // bLength, bDescriptorType

} // namespace

// Reads string descriptor Index into Buffer (RequestBytes long) and leaves its text at the start
// of Buffer, terminated, with *CharCount characters. A device may claim more in bLength than it
// sent, or send less than two bytes: only the bytes both claimed and received count, so nothing
// beyond what arrived is ever read.
NTSTATUS CUsbDevice::ReadStringDescriptor(UCHAR Index, PVOID Buffer, ULONG RequestBytes, ULONG PoolTag,
                                          PULONG CharCount)
{
    PAGED_CODE();
    *CharCount = 0;
    PURB pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, STRING_URB_BYTES, PoolTag));
    if (!pUrb)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pUrb, STRING_URB_BYTES);
    RtlZeroMemory(Buffer, RequestBytes);
    UsbBuildGetDescriptorRequest(pUrb, STRING_URB_BYTES, USB_STRING_DESCRIPTOR_TYPE, Index,
                                 USB_DEVICE_LANGUAGE_ID, Buffer, nullptr, RequestBytes, nullptr);
    NTSTATUS status = SubmitUrbSync(pUrb);
    if (NT_SUCCESS(status))
    {
        PUCHAR pBytes = static_cast<PUCHAR>(Buffer);
        ULONG received = pUrb->UrbControlDescriptorRequest.TransferBufferLength;
        received = received < RequestBytes ? received : RequestBytes;
        ULONG valid = received ? pBytes[0] : 0;
        valid = valid < received ? valid : received;
        ULONG chars = valid >= STRING_HEADER_BYTES ? (valid - STRING_HEADER_BYTES) / sizeof(WCHAR) : 0;
        RtlMoveMemory(pBytes, pBytes + STRING_HEADER_BYTES, chars * sizeof(WCHAR));
        // chars * 2 + 2 <= valid <= RequestBytes, so the terminator always fits.
        static_cast<PWCHAR>(Buffer)[chars] = 0;
        *CharCount = chars;
    }
    ExFreePoolWithTag(pUrb, PoolTag);
    return status;
}

NTSTATUS CUsbDevice::UpdateDeviceStrings()
{
    PAGED_CODE();
    if (m_nProductIndex)
    {
        WriteNameString(m_nProductIndex, USB_DEVICE_POOL_TAG, SETTINGS_SELECTOR_FRIENDLY_NAME);
    }
    if (m_nManufacturerIndex && UsbDeviceReadsManufacturer(m_nVendorId, m_nProductId))
    {
        WriteNameString(m_nManufacturerIndex, USB_DEVICE_MFG_STRING_POOL_TAG, SETTINGS_SELECTOR_MANUFACTURER);
    }
    return STATUS_SUCCESS;
}

// The name is cut to what the registry value may hold and loses its trailing blanks, which
// some devices pad their strings with. Failures leave the value as it was.
VOID CUsbDevice::WriteNameString(UCHAR Index, ULONG PoolTag, ULONG Selector)
{
    PAGED_CODE();
    PWCHAR pText =
        static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPool, USB_DEVICE_NAME_BUFFER_BYTES, PoolTag));
    if (!pText)
    {
        return;
    }
    RtlZeroMemory(pText, USB_DEVICE_NAME_BUFFER_BYTES);
    ULONG chars = 0;
    if (NT_SUCCESS(ReadStringDescriptor(Index, pText, USB_DEVICE_NAME_REQUEST_BYTES, PoolTag, &chars)))
    {
        if (chars > USB_DEVICE_NAME_MAX_CHARS)
        {
            chars = USB_DEVICE_NAME_MAX_CHARS;
        }
        pText[chars] = 0;
        while (chars > 0 && pText[chars - 1] == u' ')
        {
            pText[--chars] = 0;
        }
        size_t lengthBytes = 0;
        if (NT_SUCCESS(
                RtlStringCbLengthW(pText, (USB_DEVICE_NAME_MAX_CHARS + 1) * sizeof(WCHAR), &lengthBytes)))
        {
            WriteDeviceString(m_pPhysicalDeviceObject, Selector, ULONG(lengthBytes + sizeof(WCHAR)), pText);
        }
    }
    ExFreePoolWithTag(pText, PoolTag);
}
