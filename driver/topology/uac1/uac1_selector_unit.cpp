// CUac1SelectorUnit: the selected input of a class-1 selector unit and its selector node.
#include "driver/topology/uac1/uac1_selector_unit.h"

#include "usbaudio.h"
#include "driver/core/audio_hal.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/nodes/usb_selector_node.h"

namespace
{

constexpr ULONG SU_UNIT_ID_OFFSET = 3;
constexpr ULONG SU_PIN_COUNT_OFFSET = 4;

} // namespace

CUac1SelectorUnit::CUac1SelectorUnit(PUNKNOWN UnknownOuter, ULONG Id)
    : CUsbEntityNode(UnknownOuter, Id), m_pDeviceLock(nullptr)
{
}

STDMETHODIMP_(NTSTATUS) CUac1SelectorUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_ISelectorNode))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = PVOID(static_cast<ISelectorNode*>(this));
    AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CUac1SelectorUnit::Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                 IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    return Uac1InitEntity(this, Descriptor, Length, Device, AdapterCommon, USB_AUDIO_AC_SELECTOR_UNIT,
                          [&]() -> NTSTATUS
                          {
                              m_pDeviceLock = DeviceLock;
                              return BuildSelectorNode(AdapterCommon);
                          });
}

// The pin count is only trusted when the descriptor holds every source id it announces.
BOOLEAN CUac1SelectorUnit::IsSelectorDescriptor()
{
    const UCHAR* d = m_pDescriptor;
    return d && d[0] > SU_PIN_COUNT_OFFSET && d[1] == USB_AUDIO_CS_INTERFACE &&
                   d[2] == USB_AUDIO_AC_SELECTOR_UNIT &&
                   d[0] >= SU_PIN_COUNT_OFFSET + 1 + ULONG(d[SU_PIN_COUNT_OFFSET])
               ? TRUE
               : FALSE;
}

STDMETHODIMP_(NTSTATUS) CUac1SelectorUnit::GetSelectedInput(PULONG Input)
{
    PAGED_CODE();
    if (!Input || !IsSelectorDescriptor())
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR input = 0;
    NTSTATUS status = Uac1EntityRead(m_pDevice, UAC1_REQUEST_CLASS, USB_AUDIO_GET_CUR, 0,
                                     m_pDescriptor[SU_UNIT_ID_OFFSET], &input, sizeof(input));
    if (NT_SUCCESS(status))
    {
        *Input = input;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac1SelectorUnit::SetSelectedInput(ULONG Input)
{
    PAGED_CODE();
    ULONG count = 0;
    if (!NT_SUCCESS(GetInputCount(&count)) || Input < 1 || Input > count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR input = UCHAR(Input);
    return Uac1EntityWrite(m_pDevice, UAC1_REQUEST_CLASS, USB_AUDIO_SET_CUR, 0,
                           m_pDescriptor[SU_UNIT_ID_OFFSET], &input, sizeof(input));
}

STDMETHODIMP_(NTSTATUS) CUac1SelectorUnit::GetInputCount(PULONG Count)
{
    PAGED_CODE();
    if (!Count || !IsSelectorDescriptor())
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = m_pDescriptor[SU_PIN_COUNT_OFFSET];
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1SelectorUnit::AddSelectorSink(IConnectionIndexSync* Sink)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CUac1SelectorUnit::BuildSelectorNode(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsSelectorDescriptor())
    {
        return STATUS_UNSUCCESSFUL;
    }
    m_nId = m_pDescriptor[SU_UNIT_ID_OFFSET];
    m_nKind = USB_AUDIO_AC_SELECTOR_UNIT;
    NTSTATUS status = Uac1SetUnitSourceList(m_pDescriptor, static_cast<ITopologyNode*>(this));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    CUsbSelectorNode* pNode =
        new (NonPagedPool, UAC1_ENTITY_POOL_TAG) CUsbSelectorNode(nullptr, AdapterCommon->GetNodeCount());
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pNode->NonDelegatingAddRef();
    status = pNode->InitSelectorNode(static_cast<ITopologyNode*>(this), AdapterCommon->GetDeviceObject(),
                                     m_pDeviceLock);
    return Uac1AdoptChildNode(AdapterCommon, this, pNode, status);
}
