// The fuzz target never opens the ASIO interface, but the driver's request routing names the
// ASIO control handler, which comes with the driver's ASIO work. Until it does, this weak
// definition lets the target link; the driver's own definition replaces it as soon as it is
// part of the driver library. Delete this file then.
#include "ntddk.h"

#include "driver/adapter/dispatch.h"

__attribute__((weak)) NTSTATUS AsioDeviceControl(IAsioDevice*, PIRP)
{
    return STATUS_NOT_SUPPORTED;
}
