// Uac2EntityRequest: the class requests of the class-2 entities.
#include "driver/topology/uac2/uac2_entity_request.h"

#include "usbaudio.h"
#include "driver/topology/uac1/uac1_entity_request.h"

namespace
{

constexpr ULONG IT_CONTROLS_OFFSET = 14;
constexpr ULONG OT_CONTROLS_OFFSET = 9;
// bmControls bits 2-3: the connector control; bit 2 is its readable bit.
constexpr USHORT CONNECTOR_READABLE_BIT = 0x0004;

} // namespace

NTSTATUS Uac2EntityRequest(PUNKNOWN Device, BOOLEAN In, UCHAR Request, USHORT Value, UCHAR EntityId,
                           PVOID Buffer, ULONG Length, PULONG Received)
{
    PAGED_CODE();
    return Uac1EntityRequest(Device, UAC1_REQUEST_CLASS, In, Request, Value, EntityId, Buffer, Length,
                             Received);
}

NTSTATUS Uac2EntityRead(PUNKNOWN Device, UCHAR Request, USHORT Value, UCHAR EntityId, PVOID Buffer,
                        ULONG Length)
{
    PAGED_CODE();
    return Uac1EntityRead(Device, UAC1_REQUEST_CLASS, Request, Value, EntityId, Buffer, Length);
}

NTSTATUS Uac2EntityWrite(PUNKNOWN Device, UCHAR Request, USHORT Value, UCHAR EntityId, const VOID* Buffer,
                         ULONG Length)
{
    PAGED_CODE();
    return Uac1EntityWrite(Device, UAC1_REQUEST_CLASS, Request, Value, EntityId, Buffer, Length);
}

BOOLEAN Uac2TerminalConnectorReadable(const UCHAR* Descriptor)
{
    if (!Descriptor || Descriptor[1] != USB_AUDIO_CS_INTERFACE)
    {
        return FALSE;
    }
    ULONG offset = 0;
    if (Descriptor[2] == USB_AUDIO_AC_INPUT_TERMINAL)
    {
        offset = IT_CONTROLS_OFFSET;
    }
    else if (Descriptor[2] == USB_AUDIO_AC_OUTPUT_TERMINAL)
    {
        offset = OT_CONTROLS_OFFSET;
    }
    if (offset == 0 || Descriptor[0] < offset + 2)
    {
        return FALSE;
    }
    USHORT controls = USHORT(Descriptor[offset] | Descriptor[offset + 1] << 8);
    return (controls & CONNECTOR_READABLE_BIT) ? TRUE : FALSE;
}
