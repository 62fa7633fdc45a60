// COutputPinTypeNode: pin-type changes of an output terminal and their consequences.
#include "driver/topology/nodes/output_pin_type_node.h"

#include "driver/core/usb_audio_function_if.h"
#include "driver/topology/nodes/node_atomic.h"
#include "driver/core/settings_store.h"

NTSTATUS COutputPinTypeNode::InitOutputPinTypeNode(ITopologyNode* Owner, PDEVICE_OBJECT SettingsDevice,
                                                   PUNKNOWN AudioFunction, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    m_Binding.Bind(Owner, 0, SettingsDevice, DeviceLock);
    m_pAudioFunction = AudioFunction;
    CControlLockGuard guard(m_Binding);
    ITerminalNode* pTerminal = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG count = 0;
    ULONG types[TERMINAL_MAX_PIN_TYPES] = {};
    ULONG current = 0;
    status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(pTerminal->GetPinTypeCount(&count)) && count >= 1 && count <= TERMINAL_MAX_PIN_TYPES &&
        NT_SUCCESS(pTerminal->GetPinTypes(types)))
    {
        status = CPinTypeSelectorNode::Init(0, count, types);
    }
    if (NT_SUCCESS(status) && NT_SUCCESS(pTerminal->GetPinType(&current)))
    {
        NodeWriteUlong(&m_nPinType, current);
    }
    pTerminal->Release();
    // A saved type the terminal no longer offers (another device, an old setting) is ignored:
    // restoring it would fail and take the device start with it.
    ULONG saved = 0;
    if (NT_SUCCESS(status) &&
        NT_SUCCESS(m_Binding.AccessSingleValue(SETTINGS_OPERATION_READ, m_nId, &saved, sizeof(saved))) &&
        HasPinType(saved))
    {
        NodeWriteUlong(&m_nPinType, saved);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) COutputPinTypeNode::GetPinType(PULONG PinType)
{
    PAGED_CODE();
    if (!PinType)
    {
        return STATUS_INVALID_PARAMETER;
    }
    CControlLockGuard guard(m_Binding);
    ITerminalNode* pTerminal = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = pTerminal->GetPinType(PinType);
    pTerminal->Release();
    if (NT_SUCCESS(status))
    {
        NodeWriteUlong(&m_nPinType, *PinType);
    }
    return status;
}

// The wave subdevices follow the new type first; the control nodes then load the new type's
// values and report them on the function's callback object.
NTSTATUS COutputPinTypeNode::AnnounceChange(ULONG PinType)
{
    PAGED_CODE();
    IUsbAudioFunction* pFunction = nullptr;
    if (!m_pAudioFunction)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status =
        m_pAudioFunction->QueryInterface(IID_IUsbAudioFunction, reinterpret_cast<PVOID*>(&pFunction));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    NodeWriteUlong(&m_nChanged, 1);
    status = pFunction->UpdateStreamSubdevices(m_Binding.GetOwner()->GetId());
    if (NT_SUCCESS(status))
    {
        PCALLBACK_OBJECT pCallback = nullptr;
        if (!NT_SUCCESS(pFunction->GetCallbackObject(&pCallback)))
        {
            pCallback = nullptr;
        }
        NotifySinks(PinType, pCallback);
    }
    pFunction->Release();
    return status;
}

STDMETHODIMP_(NTSTATUS) COutputPinTypeNode::SetPinType(ULONG PinType)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    ITerminalNode* pTerminal = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG old = NodeReadUlong(&m_nPinType);
    if (PinType == old)
    {
        pTerminal->Release();
        return STATUS_SUCCESS;
    }
    status = pTerminal->SetPinType(PinType);
    if (NT_SUCCESS(status))
    {
        NodeWriteUlong(&m_nPinType, PinType);
        status = AnnounceChange(PinType);
    }
    if (NT_SUCCESS(status))
    {
        m_Binding.AccessSingleValue(SETTINGS_OPERATION_WRITE, m_nId, &PinType, sizeof(PinType));
    }
    else
    {
        NodeWriteUlong(&m_nPinType, old);
        pTerminal->SetPinType(old);
    }
    pTerminal->Release();
    return status;
}

STDMETHODIMP_(NTSTATUS) COutputPinTypeNode::RestoreValues()
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    ITerminalNode* pTerminal = nullptr;
    if (NT_SUCCESS(m_Binding.QueryOwner(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
    {
        pTerminal->SetPinType(NodeReadUlong(&m_nPinType));
        pTerminal->Release();
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) COutputPinTypeNode::SaveValues()
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    ITerminalNode* pTerminal = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG current = 0;
    status = pTerminal->GetPinType(&current);
    pTerminal->Release();
    if (!NT_SUCCESS(status) || current == NodeReadUlong(&m_nPinType))
    {
        return status;
    }
    m_Binding.AccessSingleValue(SETTINGS_OPERATION_WRITE, m_nId, &current, sizeof(current));
    status = SetPinType(current);
    NodeWriteUlong(&m_nPinType, current);
    return status;
}
