// Umbrella header of the stand-in port-class library: what a port-class adapter driver
// includes. The COM base first; ports, miniports, adapter set-up and content forwarding follow in
// their own headers.
#pragma once

#include "ntddk.h"
#include "unknown.h"
#include "pc_adapter.h"
#include "pc_registry.h"
#include "pc_subdevice.h"
#include "pc_port.h"
#include "pc_wave.h"
#include "pc_drm.h"
