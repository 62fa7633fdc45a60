// USBD helper library of the client driver: descriptor searches over a configuration
// descriptor, the select-configuration request builder, URB sizes and URB builder macros.
//
// The searches are bounded: a configuration descriptor is trusted only as far as its own
// wTotalLength, and a walk ends at the first descriptor with bLength below 2 or running past
// that length. A client must therefore hold at least wTotalLength readable bytes (a buffer
// zeroed before a short read satisfies this: its zero tail ends every walk).
#pragma once

#include "ntdef.h"
#include "usbdi.h"

// Bytes of a USBD_INTERFACE_INFORMATION with numEndpoints pipes: 24 + 24 n.
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                                \
    ((USHORT)(sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) +                           \
              (numEndpoints) * sizeof(USBD_PIPE_INFORMATION)))

// Bytes of a select-interface URB for an interface with totalPipes pipes: 56 + 24 n.
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes)                                                        \
    (sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION) +                                  \
     (totalPipes) * sizeof(USBD_PIPE_INFORMATION))

// Bytes of an isochronous URB for n packets: 152 + 12 n. The record already holds one packet
// inline and the size adds n more, so one packet's worth is spare; drivers size by this rule.
#define GET_ISO_URB_SIZE(n) (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

// One interface to select: the caller fills InterfaceDescriptor (a null entry ends the list);
// USBD_CreateConfigurationRequestEx fills Interface with its record inside the URB.
typedef struct _USBD_INTERFACE_LIST_ENTRY
{
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "interface list entry is 16 bytes on x86-64");
static_assert(GET_USBD_INTERFACE_SIZE(3) == 24 + 24 * 3, "interface record is 24 bytes plus 24 per pipe");
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(3) == 56 + 24 * 3,
              "select-interface URB is 56 plus 24 per pipe");
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(2) - offsetof(struct _URB_SELECT_INTERFACE, Interface) ==
                  GET_USBD_INTERFACE_SIZE(2),
              "the interface record's Length is the URB's less its prefix");
static_assert(GET_ISO_URB_SIZE(10) == 152 + 12 * 10, "isochronous URB is 152 plus 12 per packet");

// The first interface descriptor at or after StartPosition that matches every criterion that
// is not -1; null when none does or StartPosition lies outside the descriptor.
NTSYSAPI PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

// The same search from the start of the configuration, by number and alternate setting only.
NTSYSAPI PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting);

// The first descriptor of DescriptorType at or after StartPosition inside the TotalLength bytes
// at DescriptorBuffer; null when there is none.
NTSYSAPI PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                      PVOID StartPosition, LONG DescriptorType);

// Bytes from the interface descriptor up to the next interface descriptor (or the end at
// BufferEnd): the interface with its class-specific and endpoint descriptors. 0 when the
// interface descriptor itself is malformed.
NTSYSAPI ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd);

// Builds a select-configuration URB for the interfaces of InterfaceList (ended by a null
// InterfaceDescriptor) from non-paged pool; the caller frees it with ExFreePool. Each
// interface gets bNumEndpoints pipes with the default maximum transfer size and no flags.
// Null when out of memory or when the list is empty.
NTSYSAPI PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// The pool tag of URBs built by the library, the bytes "USBD".
#define USBD_POOL_TAG MAKE_POOL_TAG('U', 'S', 'B', 'D')

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,               \
                                     transferBuffer, transferBufferMDL, transferBufferLength, link)          \
    do                                                                                                       \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                 \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                          \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (ULONG)(transferBufferLength);             \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                          \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (UCHAR)(descriptorType);                         \
        (urb)->UrbControlDescriptorRequest.Index = (UCHAR)(descriptorIndex);                                 \
        (urb)->UrbControlDescriptorRequest.LanguageId = (USHORT)(languageId);                                \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                 \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)                             \
    do                                                                                                       \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                                       \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                          \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);                   \
    } while (0)

// Leaves Interface.Length and the pipes to the caller, who knows how many pipes it sized.
#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting)  \
    do                                                                                                       \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                           \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                          \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (UCHAR)(alternateSetting);                    \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (UCHAR)(interfaceNumber);                      \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                               \
    } while (0)

// cmd is one of the URB_FUNCTION_VENDOR_* or URB_FUNCTION_CLASS_* codes.
#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value, index,          \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)                 \
    do                                                                                                       \
    {                                                                                                        \
        (urb)->UrbHeader.Function = (USHORT)(cmd);                                                           \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                          \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (ULONG)(transferBufferLength);            \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                         \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                               \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (UCHAR)(reservedBits);                 \
        (urb)->UrbControlVendorClassRequest.Request = (UCHAR)(request);                                      \
        (urb)->UrbControlVendorClassRequest.Value = (USHORT)(value);                                         \
        (urb)->UrbControlVendorClassRequest.Index = (USHORT)(index);                                         \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (ULONG)(transferFlags);                          \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                                \
    } while (0)

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL,   \
                                               transferBufferLength, transferFlags, link)                    \
    do                                                                                                       \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                 \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                          \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                         \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (ULONG)(transferBufferLength);              \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                           \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                 \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (ULONG)(transferFlags);                            \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                  \
    } while (0)
