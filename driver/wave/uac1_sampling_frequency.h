// The sampling-frequency control of a class-1 isochronous data endpoint. A class-1 device takes
// its rate per endpoint, and only an endpoint whose class-specific descriptor announces the
// control answers the request: a fixed-rate endpoint may stall it, and runs at the one rate its
// format descriptor gives.
#pragma once

#include "ntddk.h"
#include "usb.h"
#include "driver/core/usb_device_if.h"

// Whether the class-specific descriptor of the endpoint in that alternate setting of the
// streaming interface announces the sampling-frequency control. A missing or cut-short
// descriptor announces nothing. PASSIVE_LEVEL, pageable.
BOOLEAN HasSamplingFrequencyControlUac1(PUSB_CONFIGURATION_DESCRIPTOR Config, ULONG InterfaceNumber,
                                        UCHAR AlternateSetting, UCHAR EndpointAddress);

// SET_CUR of the endpoint's sampling frequency when the endpoint announces the control, with the
// device's answer; STATUS_SUCCESS without a request when it does not. PASSIVE_LEVEL, pageable.
NTSTATUS SetSamplingFrequencyUac1(IUsbDevice* UsbDevice, ULONG InterfaceNumber, UCHAR AlternateSetting,
                                  UCHAR EndpointAddress, ULONG RateHz);
