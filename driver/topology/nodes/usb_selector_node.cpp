// CUsbSelectorNode: the selected input of a selector unit.
#include "driver/topology/nodes/usb_selector_node.h"

#include "driver/topology/nodes/node_atomic.h"
#include "driver/core/settings_store.h"

NTSTATUS CUsbSelectorNode::InitSelectorNode(ITopologyNode* Owner, PDEVICE_OBJECT SettingsDevice,
                                            CMutexLock* DeviceLock)
{
    PAGED_CODE();
    m_Binding.Bind(Owner, 0, SettingsDevice, DeviceLock);
    CControlLockGuard guard(m_Binding);
    ISelectorNode* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_ISelectorNode, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG count = 0;
    status = pUnit->GetInputCount(&count);
    if (NT_SUCCESS(status) && count > MAXULONG / sizeof(ULONG))
    {
        status = STATUS_INVALID_PARAMETER;
    }
    PULONG pIds = nullptr;
    if (NT_SUCCESS(status) && count)
    {
        pIds = static_cast<PULONG>(
            ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), SELECTOR_NODE_POOL_TAG));
        status = pIds ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status))
    {
        if (pIds)
        {
            RtlZeroMemory(pIds, count * sizeof(ULONG));
        }
        status = SetSourceIdList(count, pIds);
    }
    if (pIds)
    {
        ExFreePoolWithTag(pIds, SELECTOR_NODE_POOL_TAG);
    }
    ULONG input = 0;
    ULONG device = 0;
    if (NT_SUCCESS(status) && NT_SUCCESS(pUnit->GetSelectedInput(&device)))
    {
        input = device;
    }
    pUnit->Release();
    if (NT_SUCCESS(status))
    {
        m_Binding.AccessSingleValue(SETTINGS_OPERATION_READ, m_nId, &input, sizeof(input));
        input = input > count ? count : input;
        NodeWriteUlong(&m_nSelectedInput, input == 0 ? 1 : input);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbSelectorNode::SetSelectedInput(ULONG Input)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    if (Input == 0 || Input > m_nSourceCount)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ISelectorNode* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_ISelectorNode, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = pUnit->SetSelectedInput(Input);
    pUnit->Release();
    if (NT_SUCCESS(status))
    {
        CSelectorNode::SetSelectedInput(Input);
        m_Binding.AccessSingleValue(SETTINGS_OPERATION_WRITE, m_nId, &Input, sizeof(Input));
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbSelectorNode::RestoreValues()
{
    PAGED_CODE();
    SetSelectedInput(NodeReadUlong(&m_nSelectedInput));
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUsbSelectorNode::SaveValues()
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    ISelectorNode* pUnit = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_ISelectorNode, reinterpret_cast<PVOID*>(&pUnit));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG input = 0;
    status = pUnit->GetSelectedInput(&input);
    pUnit->Release();
    if (NT_SUCCESS(status))
    {
        NodeWriteUlong(&m_nSelectedInput, input);
    }
    return status;
}
