// Content forwarding of the stand-in port-class library: a driver that passes protected
// content down to a lower driver names that driver here, so that the rights-management
// system can check it too. The record of each forward that tests read is in plat_portcls.h.
#pragma once

#include "ntddk.h"

// Where protected content goes next. The order of the fields is the platform's own.
typedef struct _DRMFORWARD
{
    DWORD Flags;                 // no flags are defined: always 0
    PDEVICE_OBJECT DeviceObject; // the driver the content is handed to
    PFILE_OBJECT FileObject;     // the handle (or the object) that content travels on
    PVOID Context;               // given back to that driver with the content
} DRMFORWARD, *PDRMFORWARD;
typedef const DRMFORWARD* PCDRMFORWARD;

// The rights attached to a content stream.
typedef struct
{
    BOOL CopyProtect;
    ULONG Reserved;
    BOOL DigitalOutputDisable;
} DRMRIGHTS, *PDRMRIGHTS;
typedef const DRMRIGHTS* PCDRMRIGHTS;
static_assert(sizeof(DRMRIGHTS) == 12, "DRMRIGHTS is 12 bytes");

// PASSIVE_LEVEL. Authenticates the driver named in DrmForward for the content stream
// ContentId. Reserved must be null and the record's Flags 0; a null record, a non-null
// Reserved, a flag or a null device object: STATUS_INVALID_PARAMETER.
NTSTATUS PcForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward);
