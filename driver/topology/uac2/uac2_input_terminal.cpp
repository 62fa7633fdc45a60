// CUac2InputTerminal: pin type, clock, jacks and the input pin node of a class-2 input terminal.
#include "driver/topology/uac2/uac2_input_terminal.h"

#include "usbaudio.h"
#include "driver/core/pin_type.h"
#include "driver/topology/nodes/terminal_pin_type.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/uac2/uac2_terminal_jacks.h"

namespace
{

// bTerminalID at 3, wTerminalType at 4, bCSourceID at 7, bmControls at 14.
constexpr ULONG IT_TERMINAL_ID_OFFSET = 3;
constexpr ULONG IT_TERMINAL_TYPE_OFFSET = 4;
constexpr ULONG IT_CLOCK_ID_OFFSET = 7;
constexpr ULONG IT_MIN_BYTES = 17;

// Terminal types that are physical jacks (microphones, bidirectional and external connectors).
BOOLEAN HasPhysicalJacks(USHORT TerminalType)
{
    return (TerminalType >= 0x0201 && TerminalType <= 0x0206) ||
                   (TerminalType >= 0x0401 && TerminalType <= 0x0405) || TerminalType == 0x0601 ||
                   TerminalType == 0x0603 || TerminalType == 0x0605
               ? TRUE
               : FALSE;
}

// Pin type by terminal type: first type, last type, pin type.
struct InputPinTypeRow
{
    USHORT First;
    USHORT Last;
    ULONG PinType;
};

// first   last    pin type (anything else is Aux)
const InputPinTypeRow kInputPinTypes[] = {
    {0x0101, 0x0101, PIN_TYPE_STREAM},       {0x0201, 0x0206, PIN_TYPE_MIC},
    {0x0401, 0x0402, PIN_TYPE_HANDSET}, // the headset too: class-2 terminals report it so
    {0x0403, 0x0405, PIN_TYPE_SPEAKERPHONE}, {0x0603, 0x0603, PIN_TYPE_LINE},
    {0x0605, 0x0605, PIN_TYPE_SPDIF},
};

} // namespace

CUac2InputTerminal::CUac2InputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : CUsbEntityNode(UnknownOuter, Id), m_nJackCount(0), m_pJacks(nullptr), m_pDeviceLock(nullptr)
{
}

CUac2InputTerminal::~CUac2InputTerminal()
{
    PAGED_CODE();
    Uac2FreeJackRecords(UAC2_ENTITY_POOL_TAG, &m_nJackCount, &m_pJacks);
}

STDMETHODIMP_(NTSTATUS) CUac2InputTerminal::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    return QueryNodeInterface(this, InterfaceId, Interface, IID_ITerminalNode,
                              static_cast<ITerminalNode*>(this), IID_IClockedTerminal,
                              static_cast<IClockedTerminal*>(this));
}

NTSTATUS CUac2InputTerminal::Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                  IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    return Uac1InitEntity(this, Descriptor, Length, Device, AdapterCommon, USB_AUDIO_AC_INPUT_TERMINAL,
                          [&]() -> NTSTATUS
                          {
                              m_pDeviceLock = DeviceLock;
                              return BuildTerminalNodes(AdapterCommon);
                          });
}

BOOLEAN CUac2InputTerminal::IsInputTerminalDescriptor()
{
    return m_pDescriptor && m_pDescriptor[0] >= IT_MIN_BYTES &&
                   m_pDescriptor[2] == USB_AUDIO_AC_INPUT_TERMINAL
               ? TRUE
               : FALSE;
}

USHORT CUac2InputTerminal::GetTerminalType()
{
    return USHORT(m_pDescriptor[IT_TERMINAL_TYPE_OFFSET] | m_pDescriptor[IT_TERMINAL_TYPE_OFFSET + 1] << 8);
}

STDMETHODIMP_(NTSTATUS) CUac2InputTerminal::GetPinType(PULONG PinType)
{
    PAGED_CODE();
    if (!PinType || !IsInputTerminalDescriptor())
    {
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT type = GetTerminalType();
    *PinType = PIN_TYPE_AUX;
    for (const InputPinTypeRow& row : kInputPinTypes)
    {
        if (type >= row.First && type <= row.Last)
        {
            *PinType = row.PinType;
        }
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac2InputTerminal::GetPinTypeCount(PULONG Count)
{
    PAGED_CODE();
    return SinglePinTypeCount(Count);
}

STDMETHODIMP_(NTSTATUS) CUac2InputTerminal::GetPinTypes(PULONG Types)
{
    PAGED_CODE();
    return GetPinType(Types);
}

STDMETHODIMP_(NTSTATUS) CUac2InputTerminal::SetPinType(ULONG PinType)
{
    PAGED_CODE();
    return SetSinglePinType(static_cast<ITerminalNode*>(this), PinType);
}

STDMETHODIMP_(NTSTATUS) CUac2InputTerminal::GetJackCount(PULONG Count)
{
    PAGED_CODE();
    if (!Count || !IsInputTerminalDescriptor())
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = HasPhysicalJacks(GetTerminalType()) ? m_nJackCount : 0;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac2InputTerminal::GetJackDescriptions(ULONG Bytes, PVOID Records)
{
    PAGED_CODE();
    if (!Records || Bytes == 0 || !IsInputTerminalDescriptor() ||
        !Uac2TerminalConnectorReadable(m_pDescriptor) ||
        GetTerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING || m_nJackCount == 0 || !m_pJacks ||
        Bytes / sizeof(JackRecord) < m_nJackCount)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Uac2CopyJacksWithState(m_pDevice, m_pDescriptor[IT_TERMINAL_ID_OFFSET], m_nJackCount, m_pJacks,
                                  Records);
}

STDMETHODIMP_(NTSTATUS) CUac2InputTerminal::GetPinGuids(PVOID Guids)
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CUac2InputTerminal::GetClockSourceId(PULONG Id)
{
    PAGED_CODE();
    if (!Id || !IsInputTerminalDescriptor())
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Id = m_pDescriptor[IT_CLOCK_ID_OFFSET];
    return STATUS_SUCCESS;
}

NTSTATUS CUac2InputTerminal::BuildTerminalNodes(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon || !m_pDescriptor)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsInputTerminalDescriptor())
    {
        return STATUS_UNSUCCESSFUL;
    }
    m_nId = m_pDescriptor[IT_TERMINAL_ID_OFFSET];
    m_nKind = USB_AUDIO_AC_INPUT_TERMINAL;
    NTSTATUS status = SetSourceIdList(0, nullptr);
    const USHORT type = GetTerminalType();
    if (NT_SUCCESS(status) && type != USB_AUDIO_TERMINAL_USB_STREAMING &&
        Uac2TerminalConnectorReadable(m_pDescriptor))
    {
        Uac2FreeJackRecords(UAC2_ENTITY_POOL_TAG, &m_nJackCount, &m_pJacks);
        status = Uac2ReadJackRecords(m_pDevice, UCHAR(m_nId), UAC2_ENTITY_POOL_TAG, &m_nJackCount, &m_pJacks);
        if (!NT_SUCCESS(status) && status != STATUS_INSUFFICIENT_RESOURCES)
        {
            DbgPrint("CUac2InputTerminal: input terminal %u announces a readable connector but did not "
                     "answer the request for its jacks (0x%08X)\n",
                     ULONG(m_nId), status);
        }
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Uac1AddInputPinNode(this, AdapterCommon, InputTerminalPinType(type), UAC2_ENTITY_POOL_TAG,
                               m_pDeviceLock);
}

NTSTATUS CUac2InputTerminal::OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id)
{
    PAGED_CODE();
    if (!Id || Argument1 != UAC2_TERMINAL_CONNECTOR_SELECTOR || Argument2 != 0)
    {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG count = 0;
    GetChildCount(&count);
    for (ULONG i = 0; i < count; i++)
    {
        ITopologyNode* pChild = nullptr;
        if (NT_SUCCESS(GetChildAt(i, &pChild)) && pChild->GetKind() == NODE_KIND_INPUT_TERMINAL)
        {
            *Id = pChild->GetId();
            return pChild->SaveValues();
        }
    }
    return STATUS_UNSUCCESSFUL;
}
