// CUac2OutputTerminal: the class requests of a class-2 output terminal's terminal types and
// jacks, its clock and its part of a status report.
#include "driver/topology/uac2/uac2_output_terminal.h"

#include "usbaudio.h"
#include "driver/core/pin_type.h"
#include "driver/core/settings_store.h"
#include "driver/topology/nodes/terminal_pin_type.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/uac2/uac2_terminal_jacks.h"

namespace
{

constexpr ULONG OT_CLOCK_ID_OFFSET = 8;
constexpr ULONG OT_MIN_BYTES = 12;

// The terminal-type list has the shape of a RANGE of 16-bit sub-ranges: wNumSubRanges, then
// (wMIN, wMAX, wRES) each, the terminal type being wMIN.
constexpr ULONG TYPE_LIST_HEAD_BYTES = 2;
constexpr ULONG TYPE_LIST_ENTRY_BYTES = 6;

ULONG StartPinType(USHORT TerminalType)
{
    return TerminalType == USB_AUDIO_TERMINAL_USB_STREAMING ? ULONG(PIN_TYPE_STREAM)
                                                            : OutputTerminalPinType(TerminalType);
}

} // namespace

STDMETHODIMP_(NTSTATUS) CUac2OutputTerminal::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CUac1OutputTerminal::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_IClockedTerminal))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = PVOID(static_cast<IClockedTerminal*>(this));
    AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac2OutputTerminal::GetClockSourceId(PULONG Id)
{
    PAGED_CODE();
    if (!Id || !m_pDescriptor || m_pDescriptor[0] < OT_MIN_BYTES ||
        m_pDescriptor[2] != USB_AUDIO_AC_OUTPUT_TERMINAL)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Id = m_pDescriptor[OT_CLOCK_ID_OFFSET];
    return STATUS_SUCCESS;
}

NTSTATUS CUac2OutputTerminal::UseSinglePinType(USHORT TerminalType)
{
    PAGED_CODE();
    NTSTATUS status = AllocPinTypeArrays(1);
    if (NT_SUCCESS(status))
    {
        m_pTerminalTypes[0] = TerminalType;
        m_pPinTypes[0] = StartPinType(TerminalType);
    }
    return status;
}

// Without a readable connector the device has no terminal-type or jack extension to ask.
NTSTATUS CUac2OutputTerminal::ReadTerminalTypeList(USHORT TerminalType)
{
    PAGED_CODE();
    if (!ConnectorReadable())
    {
        return UseSinglePinType(TerminalType);
    }
    UCHAR head[TYPE_LIST_HEAD_BYTES] = {};
    NTSTATUS status = Uac2EntityRead(m_pDevice, UAC2_REQUEST_RANGE, UAC2_TERMINAL_TYPE_VALUE, UCHAR(m_nId),
                                     head, sizeof(head));
    ULONG count = NT_SUCCESS(status) ? ULONG(head[0] | head[1] << 8) : 0;
    if (count < 2)
    {
        status = UseSinglePinType(TerminalType);
        return NT_SUCCESS(status) ? ReadPinTypeJacks(0) : status;
    }
    count = count > TERMINAL_MAX_PIN_TYPES ? TERMINAL_MAX_PIN_TYPES : count;
    const ULONG bytes = count * TYPE_LIST_ENTRY_BYTES + TYPE_LIST_HEAD_BYTES;
    PUCHAR pList = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, UAC2_ENTITY_POOL_TAG));
    if (!pList)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pList, bytes);
    // The reply may list more types than are taken; only the bytes asked for are read.
    status =
        Uac2EntityRead(m_pDevice, UAC2_REQUEST_RANGE, UAC2_TERMINAL_TYPE_VALUE, UCHAR(m_nId), pList, bytes);
    if (NT_SUCCESS(status))
    {
        status = AllocPinTypeArrays(count);
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < count; i++)
    {
        const UCHAR* pEntry = pList + TYPE_LIST_HEAD_BYTES + i * TYPE_LIST_ENTRY_BYTES;
        m_pTerminalTypes[i] = USHORT(pEntry[0] | pEntry[1] << 8);
        m_pPinTypes[i] = StartPinType(m_pTerminalTypes[i]);
        SelectTerminalType(m_pTerminalTypes[i]);
        status = ReadPinTypeJacks(i);
    }
    ExFreePoolWithTag(pList, UAC2_ENTITY_POOL_TAG);
    return status;
}

// The arrays of the class-1 terminal free the records with its own tag.
NTSTATUS CUac2OutputTerminal::ReadPinTypeJacks(ULONG Index)
{
    PAGED_CODE();
    NTSTATUS status = Uac2ReadJackRecords(m_pDevice, UCHAR(m_nId), UAC1_ENTITY_POOL_TAG,
                                          &m_pJackCounts[Index], &m_ppJacks[Index]);
    if (!NT_SUCCESS(status) && status != STATUS_INSUFFICIENT_RESOURCES)
    {
        DbgPrint("CUac2OutputTerminal: output terminal %u announces a readable connector but refused the "
                 "request for its jack block (0x%08X)\n",
                 ULONG(m_nId), status);
    }
    return status;
}

NTSTATUS CUac2OutputTerminal::ReadDeviceTerminalType(PUSHORT TerminalType)
{
    PAGED_CODE();
    if (!ConnectorReadable())
    {
        return STATUS_NOT_SUPPORTED;
    }
    UCHAR data[2] = {};
    NTSTATUS status = Uac2EntityRead(m_pDevice, UAC2_REQUEST_CUR, UAC2_TERMINAL_TYPE_VALUE, UCHAR(m_nId),
                                     data, sizeof(data));
    if (NT_SUCCESS(status))
    {
        *TerminalType = USHORT(data[0] | data[1] << 8);
    }
    return status;
}

VOID CUac2OutputTerminal::SelectTerminalType(USHORT TerminalType)
{
    PAGED_CODE();
    UCHAR data[2] = {UCHAR(TerminalType), UCHAR(TerminalType >> 8)};
    Uac2EntityWrite(m_pDevice, UAC2_REQUEST_CUR, UAC2_TERMINAL_TYPE_VALUE, UCHAR(m_nId), data, sizeof(data));
}

STDMETHODIMP_(NTSTATUS) CUac2OutputTerminal::SetPinType(ULONG PinType)
{
    PAGED_CODE();
    PDEVICE_OBJECT pSettingsDevice = nullptr;
    NTSTATUS status = GetSettingsDevice(&pSettingsDevice);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    const ULONG index = FindPinType(PinType);
    if (index >= m_nPinTypeCount)
    {
        return STATUS_UNSUCCESSFUL;
    }
    UCHAR data[2] = {UCHAR(m_pTerminalTypes[index]), UCHAR(m_pTerminalTypes[index] >> 8)};
    status = Uac2EntityWrite(m_pDevice, UAC2_REQUEST_CUR, UAC2_TERMINAL_TYPE_VALUE, UCHAR(m_nId), data,
                             sizeof(data));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    m_nPinType = PinType;
    AccessPinTypeValue(pSettingsDevice, SETTINGS_OPERATION_WRITE, &PinType);
    Uac1SaveTerminalPinNodes(this, TRUE);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac2OutputTerminal::GetJackCountAt(ULONG PinIndex, PULONG Count)
{
    PAGED_CODE();
    if (Count && !ConnectorReadable())
    {
        *Count = 0;
        return STATUS_SUCCESS;
    }
    return CUac1OutputTerminal::GetJackCountAt(PinIndex, Count);
}

// The current type's jacks carry the connector state; the others what "SetJackConnect" says,
// as in class 1.
STDMETHODIMP_(NTSTATUS) CUac2OutputTerminal::GetJackDescriptionsAt(ULONG PinIndex, ULONG Bytes, PVOID Records)
{
    PAGED_CODE();
    if (!ConnectorReadable() || !Records || Bytes == 0 || PinIndex >= m_nPinTypeCount || IsStreaming() ||
        m_pJackCounts[PinIndex] == 0 || Bytes / sizeof(JackRecord) < m_pJackCounts[PinIndex])
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pPinTypes[PinIndex] == m_nPinType)
    {
        return Uac2CopyJacksWithState(m_pDevice, UCHAR(m_nId), m_pJackCounts[PinIndex], m_ppJacks[PinIndex],
                                      Records);
    }
    return CUac1OutputTerminal::GetJackDescriptionsAt(PinIndex, Bytes, Records);
}

NTSTATUS CUac2OutputTerminal::OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id)
{
    PAGED_CODE();
    const ULONG selector = Argument1;
    if (selector != UAC2_TERMINAL_CONNECTOR_SELECTOR && selector != UAC2_TERMINAL_TYPE_SELECTOR)
    {
        return STATUS_UNSUCCESSFUL;
    }
    PDEVICE_OBJECT pSettingsDevice = nullptr;
    NTSTATUS status = GetSettingsDevice(&pSettingsDevice);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (selector == UAC2_TERMINAL_TYPE_SELECTOR)
    {
        USHORT deviceType = 0;
        status = ReadDeviceTerminalType(&deviceType);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        ULONG pinType = OutputTerminalPinType(deviceType);
        m_nPinType = pinType;
        AccessPinTypeValue(pSettingsDevice, SETTINGS_OPERATION_WRITE, &pinType);
    }
    return Uac1SaveTerminalPinNodes(this, FALSE) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
