// Internal I/O controls a client driver sends down to the USB hub driver, with their real
// codes, and the records that travel with them.
#pragma once

#include "ntdef.h"
#include "devioctl.h"

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN

// Function numbers of the internal requests.
#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_ROOTHUB_PDO 3
#define USB_GET_PORT_STATUS 4
#define USB_ENABLE_PORT 5
#define USB_GET_HUB_COUNT 6
#define USB_CYCLE_PORT 7
#define USB_IDLE_NOTIFICATION 9

// Argument1 of the IRP stack location carries the URB.
#define IOCTL_INTERNAL_USB_SUBMIT_URB                                                                        \
    CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT                                                                        \
    CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
// Argument1 points at a ULONG that receives USBD_PORT_* bits.
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS                                                                   \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT                                                                        \
    CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
// Type3InputBuffer carries a USB_IDLE_CALLBACK_INFO; the IRP stays pending until the device
// resumes or the request is cancelled.
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION                                                          \
    CTL_CODE(FILE_DEVICE_USB, USB_IDLE_NOTIFICATION, METHOD_NEITHER, FILE_ANY_ACCESS)

static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "submit-URB code");
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007, "reset-port code");
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013, "port-status code");
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT == 0x22001F, "cycle-port code");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION == 0x220027, "idle-notification code");
static_assert(METHOD_FROM_CTL_CODE(IOCTL_INTERNAL_USB_CYCLE_PORT) == METHOD_NEITHER,
              "internal codes pass no buffer");

// Port status bits.
#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

// Called by the hub driver, at PASSIVE_LEVEL, when the device may be suspended now.
typedef VOID (*USB_IDLE_CALLBACK)(PVOID Context);

typedef struct _USB_IDLE_CALLBACK_INFO
{
    USB_IDLE_CALLBACK IdleCallback;
    PVOID IdleContext;
} USB_IDLE_CALLBACK_INFO, *PUSB_IDLE_CALLBACK_INFO;

static_assert(sizeof(USB_IDLE_CALLBACK_INFO) == 16, "USB_IDLE_CALLBACK_INFO is 16 bytes on x86-64");
