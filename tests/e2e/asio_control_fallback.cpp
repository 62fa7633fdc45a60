// The driver's request routing names the ASIO control handler, which comes with the driver's
// ASIO work; no scenario here sends an ASIO control. Until the handler is part of the driver
// library, this weak definition lets the suite link (the driver's own replaces it at once);
// delete this file then.
#include "ntddk.h"

#include "driver/adapter/dispatch.h"

__attribute__((weak)) NTSTATUS AsioDeviceControl(IAsioDevice*, PIRP)
{
    return STATUS_NOT_SUPPORTED;
}
