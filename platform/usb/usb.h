// Umbrella of the USB client interface: descriptors, URBs and USBD status values.
#pragma once

#include "usbspec.h"
#include "usbdi.h"
