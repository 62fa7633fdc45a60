// CUac1InputTerminal: pin type, jacks and the input pin node of a class-1 input terminal.
#include "driver/topology/uac1/uac1_input_terminal.h"

#include "usbaudio.h"
#include "driver/core/audio_hal.h"
#include "driver/core/pin_type.h"
#include "driver/topology/nodes/terminal_pin_type.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/uac1/uac1_terminal_jacks.h"

namespace
{

// bTerminalID at 3 and wTerminalType at 4: the fields the entity reads.
constexpr ULONG IT_TERMINAL_ID_OFFSET = 3;
constexpr ULONG IT_TERMINAL_TYPE_OFFSET = 4;
constexpr ULONG IT_MIN_BYTES = 6;

// The terminal types that are physical jacks (microphones, bidirectional and external
// connectors); others report no jacks even when the device lists some.
BOOLEAN HasPhysicalJacks(USHORT TerminalType)
{
    return (TerminalType >= 0x0201 && TerminalType <= 0x0206) ||
                   (TerminalType >= 0x0401 && TerminalType <= 0x0405) || TerminalType == 0x0601 ||
                   TerminalType == 0x0603 || TerminalType == 0x0605
               ? TRUE
               : FALSE;
}

} // namespace

CUac1InputTerminal::CUac1InputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : CUsbEntityNode(UnknownOuter, Id), m_nJackCount(0), m_pJacks(nullptr), m_pDeviceLock(nullptr)
{
}

CUac1InputTerminal::~CUac1InputTerminal()
{
    PAGED_CODE();
    Uac1FreeJackRecords(&m_nJackCount, &m_pJacks);
}

STDMETHODIMP_(NTSTATUS) CUac1InputTerminal::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_ITerminalNode))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = PVOID(static_cast<ITerminalNode*>(this));
    AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CUac1InputTerminal::Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
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

USHORT CUac1InputTerminal::GetTerminalType()
{
    return USHORT(m_pDescriptor[IT_TERMINAL_TYPE_OFFSET] | m_pDescriptor[IT_TERMINAL_TYPE_OFFSET + 1] << 8);
}

STDMETHODIMP_(NTSTATUS) CUac1InputTerminal::GetPinType(PULONG PinType)
{
    PAGED_CODE();
    if (!PinType || !m_pDescriptor || m_pDescriptor[0] < IT_MIN_BYTES)
    {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT type = GetTerminalType();
    if (type == USB_AUDIO_TERMINAL_USB_STREAMING)
    {
        *PinType = PIN_TYPE_STREAM;
    }
    else if (type >= 0x0201 && type <= 0x0206)
    {
        *PinType = PIN_TYPE_MIC;
    }
    else if (type == 0x0401 || type == 0x0402)
    {
        *PinType = type == 0x0401 ? PIN_TYPE_HANDSET : PIN_TYPE_HEADSET;
    }
    else if (type >= 0x0403 && type <= 0x0405)
    {
        *PinType = PIN_TYPE_SPEAKERPHONE;
    }
    else if (type == USB_AUDIO_TERMINAL_LINE_CONNECTOR || type == USB_AUDIO_TERMINAL_SPDIF_INTERFACE)
    {
        *PinType = type == USB_AUDIO_TERMINAL_LINE_CONNECTOR ? PIN_TYPE_LINE : PIN_TYPE_SPDIF;
    }
    else
    {
        *PinType = PIN_TYPE_AUX; // the analog connector and everything else
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1InputTerminal::GetPinTypeCount(PULONG Count)
{
    PAGED_CODE();
    return SinglePinTypeCount(Count);
}

STDMETHODIMP_(NTSTATUS) CUac1InputTerminal::GetPinTypes(PULONG Types)
{
    PAGED_CODE();
    return GetPinType(Types);
}

STDMETHODIMP_(NTSTATUS) CUac1InputTerminal::SetPinType(ULONG PinType)
{
    PAGED_CODE();
    return SetSinglePinType(static_cast<ITerminalNode*>(this), PinType);
}

STDMETHODIMP_(NTSTATUS) CUac1InputTerminal::GetJackCount(PULONG Count)
{
    PAGED_CODE();
    if (!Count || !m_pDescriptor || m_pDescriptor[0] < IT_MIN_BYTES)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = HasPhysicalJacks(GetTerminalType()) ? m_nJackCount : 0;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1InputTerminal::GetJackDescriptions(ULONG Bytes, PVOID Records)
{
    PAGED_CODE();
    if (!Records || Bytes == 0 || !m_pDescriptor || m_pDescriptor[0] < IT_MIN_BYTES ||
        GetTerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING || m_nJackCount == 0 || !m_pJacks ||
        Bytes / sizeof(JackRecord) < m_nJackCount)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Uac1CopyJacksWithState(m_pDevice, m_pDescriptor[IT_TERMINAL_ID_OFFSET], m_nJackCount, m_pJacks,
                                  Records);
}

STDMETHODIMP_(NTSTATUS) CUac1InputTerminal::GetPinGuids(PVOID Guids)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CUac1InputTerminal::BuildTerminalNodes(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon || !m_pDescriptor)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pDescriptor[0] < IT_MIN_BYTES)
    {
        return STATUS_UNSUCCESSFUL;
    }
    m_nId = m_pDescriptor[IT_TERMINAL_ID_OFFSET];
    m_nKind = USB_AUDIO_AC_INPUT_TERMINAL;
    NTSTATUS status = SetSourceIdList(0, nullptr);
    USHORT type = GetTerminalType();
    if (NT_SUCCESS(status) && type != USB_AUDIO_TERMINAL_USB_STREAMING)
    {
        Uac1FreeJackRecords(&m_nJackCount, &m_pJacks);
        status = Uac1ReadJackRecords(m_pDevice, UCHAR(m_nId), &m_nJackCount, &m_pJacks);
        if (!NT_SUCCESS(status) && status != STATUS_INSUFFICIENT_RESOURCES)
        {
            DbgPrint("CUac1InputTerminal: input terminal %u did not answer the requests for its jacks "
                     "(0x%08X)\n",
                     ULONG(m_nId), status);
        }
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Uac1AddInputPinNode(this, AdapterCommon, InputTerminalPinType(type), UAC1_ENTITY_POOL_TAG,
                               m_pDeviceLock);
}

NTSTATUS CUac1InputTerminal::OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id)
{
    PAGED_CODE();
    ULONG count = 0;
    GetChildCount(&count);
    for (ULONG i = 0; i < count && Id; i++)
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
