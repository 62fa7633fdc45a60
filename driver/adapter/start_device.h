// Device start: the port-class start routine that brings up the adapter object, the topology
// filter and one wave filter per connected streaming endpoint, and the helper that installs a
// port, its miniport and the subdevice registration in one go. StartDevice itself is declared
// with AddDevice, which names it (driver_entry.h).
#pragma once

#include "ntddk.h"
#include "portcls.h"

#include "driver/core/device_extension.h"
#include "driver/adapter/driver_entry.h"

// Name buffer of an endpoint while the start formats it (paged pool).
#define START_DEVICE_NAME_POOL_TAG MAKE_POOL_TAG('T', 'e', 'm', 'p')

// The port-class library below this version lacks what the driver relies on.
constexpr DWORD START_DEVICE_MIN_PORTCLS_VERSION = 11;

// A miniport creator as port-class calls it: the miniport's non-delegating unknown with one
// reference, allocated from PoolType.
typedef NTSTATUS (*PFNCREATEMINIPORT)(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter,
                                      POOL_TYPE PoolType);

// PASSIVE_LEVEL, pageable. Creates a port of PortClassId, its miniport through MiniportCreator,
// binds them, and registers the subdevice under the name the miniport's IMiniportSubdevice
// gives. On success *Miniport is the miniport's unknown without a reference of its own (the
// port keeps it alive) and *PortUnknown, when asked for, the port's unknown with one reference.
NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, REFCLSID PortClassId,
                          REFCLSID MiniportClassId, PFNCREATEMINIPORT MiniportCreator,
                          PUNKNOWN AdapterUnknown, PUNKNOWN* PortUnknown, PUNKNOWN* Miniport);

// PASSIVE_LEVEL, pageable. Formats the name of the next endpoint of a direction and pin type
// ("SPKOut00", "MicIn00") into Buffer (BufferChars characters) and advances that counter in
// the extension. A pin type the driver has no name for is named and counted as a streaming
// terminal.
NTSTATUS FormatEndpointName(AdapterDeviceExtension* Extension, ULONG Kind, ULONG PinType, PWSTR Buffer,
                            ULONG BufferChars);
