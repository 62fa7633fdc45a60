// Layouts and codes of the USB client interface that a driver compiled for the real platform
// depends on by number: URB sizes from the allocation formulas, field offsets, I/O control
// codes and the USBD status classification.
#include "usb.h"
#include "usbaudio.h"
#include "usbbusif.h"
#include "usbdlib.h"
#include "usbioctl.h"

#include <gtest/gtest.h>

namespace
{

TEST(UsbLayout, SelectInterfaceSizeIs56Plus24PerPipe)
{
    // A select-interface request is a 32-byte prefix plus the interface record (24 bytes plus
    // 24 per pipe); the record's own Length is the URB length less that prefix.
    const size_t pipeCounts[] = {0, 1, 2, 3, 8, 30};
    for (size_t n : pipeCounts)
    {
        SCOPED_TRACE(n);
        EXPECT_EQ(GET_SELECT_INTERFACE_REQUEST_SIZE(n), 56 + 24 * n);
        EXPECT_EQ(GET_USBD_INTERFACE_SIZE(n), 24 + 24 * n);
        EXPECT_EQ(GET_SELECT_INTERFACE_REQUEST_SIZE(n) - offsetof(struct _URB_SELECT_INTERFACE, Interface),
                  (size_t)GET_USBD_INTERFACE_SIZE(n));
    }
}

TEST(UsbLayout, IsochronousUrbSizeIs152Plus12PerPacket)
{
    const size_t packetCounts[] = {0, 1, 8, 10, 80};
    for (size_t n : packetCounts)
    {
        SCOPED_TRACE(n);
        EXPECT_EQ(GET_ISO_URB_SIZE(n), 152 + 12 * n);
        // Every packet the count names must lie inside the size the formula gives.
        EXPECT_LE(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + n * sizeof(USBD_ISO_PACKET_DESCRIPTOR),
                  GET_ISO_URB_SIZE(n));
    }
}

TEST(UsbLayout, ControlUrbFieldsSitWhereTheBusReadsThem)
{
    EXPECT_EQ(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength), 36u);
    EXPECT_EQ(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer), 40u);
    EXPECT_EQ(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType), 131u);
    EXPECT_EQ(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId), 132u);
    EXPECT_EQ(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags), 32u);
    EXPECT_EQ(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value), 130u);
    EXPECT_EQ(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index), 132u);
    EXPECT_EQ(offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket), 128u);
    EXPECT_EQ(offsetof(struct _URB_ISOCH_TRANSFER, StartFrame), 128u);
    EXPECT_EQ(offsetof(struct _URB_ISOCH_TRANSFER, NumberOfPackets), 132u);
    EXPECT_EQ(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle), 32u);
    EXPECT_EQ(offsetof(struct _URB_SELECT_CONFIGURATION, Interface), 40u);
    EXPECT_EQ(offsetof(struct _URB_PIPE_REQUEST, PipeHandle), 24u);
    EXPECT_EQ(offsetof(struct _URB_GET_CURRENT_FRAME_NUMBER, FrameNumber), 24u);
}

TEST(UsbLayout, InternalIoctlCodesAreTheHubDriversCodes)
{
    EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_URB, 0x220003u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_RESET_PORT, 0x220007u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_GET_PORT_STATUS, 0x220013u);
    EXPECT_EQ(IOCTL_INTERNAL_USB_CYCLE_PORT, 0x22001Fu);
    EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, 0x220027u);
    EXPECT_EQ(DEVICE_TYPE_FROM_CTL_CODE(IOCTL_INTERNAL_USB_SUBMIT_URB), (ULONG)FILE_DEVICE_USB);
    EXPECT_EQ(METHOD_FROM_CTL_CODE(IOCTL_INTERNAL_USB_CYCLE_PORT), (ULONG)METHOD_NEITHER);
    // The sound device type of the private interface codes: function 0x800, buffered, read access.
    EXPECT_EQ(CTL_CODE(FILE_DEVICE_SOUND, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS), 0x1D6000u);
}

TEST(UsbLayout, UsbdStatusClassesFollowTheTopBits)
{
    struct Row
    {
        USBD_STATUS Status;
        bool Success, Pending, Error, Halted;
    };
    // Status                              ok     pend   error  halted
    const Row rows[] = {
        {USBD_STATUS_SUCCESS, true, false, false, false},
        {USBD_STATUS_PENDING, true, true, false, false},
        {USBD_STATUS_STALL_PID, false, false, true, true},
        {USBD_STATUS_INVALID_PIPE_HANDLE, false, false, true, false},
        {USBD_STATUS_BUFFER_TOO_SMALL, false, false, true, true},
        {USBD_STATUS_DEVICE_GONE, false, false, true, true},
        {USBD_STATUS_CANCELED, false, false, true, true},
        {USBD_STATUS_BAD_START_FRAME, false, false, true, true},
        {USBD_STATUS_ISO_NA_LATE_USBPORT, false, false, true, true},
        {USBD_STATUS_ERROR_SHORT_TRANSFER, false, false, true, false},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message() << std::hex << (ULONG)row.Status);
        EXPECT_EQ(USBD_SUCCESS(row.Status), row.Success);
        EXPECT_EQ(USBD_PENDING(row.Status), row.Pending);
        EXPECT_EQ(USBD_ERROR(row.Status), row.Error);
        EXPECT_EQ(USBD_HALTED(row.Status), row.Halted);
    }
}

TEST(UsbLayout, BuildMacrosFillTheRequestFields)
{
    URB urb;
    std::memset(&urb, 0xAB, sizeof(urb));
    UCHAR buffer[18];
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 0x50, 0x0409, buffer, nullptr, sizeof(buffer),
                                 nullptr);
    EXPECT_EQ(urb.UrbHeader.Length, 136);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.Index, 0x50);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.DescriptorType, USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.LanguageId, 0x0409);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBuffer, buffer);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);

    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_ENDPOINT,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, USB_AUDIO_SET_CUR,
                          0x0100, 0x01, buffer, nullptr, 3, nullptr);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_CLASS_ENDPOINT);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Request, USB_AUDIO_SET_CUR);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Value, 0x0100);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Index, 0x01);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferFlags, 0u);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 3u);

    UsbBuildSelectInterfaceRequest(&urb, GET_SELECT_INTERFACE_REQUEST_SIZE(1),
                                   (USBD_CONFIGURATION_HANDLE)0x1234, 2, 1);
    EXPECT_EQ(urb.UrbHeader.Length, 80);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_SELECT_INTERFACE);
    EXPECT_EQ(urb.UrbSelectInterface.ConfigurationHandle, (USBD_CONFIGURATION_HANDLE)0x1234);
    EXPECT_EQ(urb.UrbSelectInterface.Interface.InterfaceNumber, 2);
    EXPECT_EQ(urb.UrbSelectInterface.Interface.AlternateSetting, 1);

    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           (USBD_PIPE_HANDLE)0x99, buffer, nullptr, 2,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(urb.UrbHeader.Length, 128);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.PipeHandle, (USBD_PIPE_HANDLE)0x99);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags, 3u);
}

} // namespace
