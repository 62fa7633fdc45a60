// CControlBinding: owner queries, the device lock and the saved-value names of control nodes.
#include "driver/topology/nodes/control_binding.h"

#include "driver/core/settings_store.h"

namespace
{

const WCHAR kUnitPrefix[] = u"Unit";

} // namespace

NTSTATUS FormatChannelValuePrefix(ULONG NodeId, ULONG PinType, PWSTR Prefix)
{
    return RtlStringCchPrintfW(Prefix, CONTROL_VALUE_PREFIX_CCH, u"%s%02d_%2d_", kUnitPrefix, NodeId,
                               PinType);
}

NTSTATUS FormatSingleValueName(ULONG NodeId, PWSTR Name)
{
    return RtlStringCchPrintfW(Name, CONTROL_VALUE_NAME_CCH, u"%s%02d_", kUnitPrefix, NodeId);
}

CControlBinding::CControlBinding()
    : m_pOwner(nullptr), m_nSelector(0), m_pSettingsDevice(nullptr), m_pDeviceLock(nullptr)
{
}

VOID CControlBinding::Bind(ITopologyNode* Owner, ULONG Selector, PDEVICE_OBJECT SettingsDevice,
                           CMutexLock* DeviceLock)
{
    m_pOwner = Owner;
    m_nSelector = Selector;
    m_pSettingsDevice = SettingsDevice;
    m_pDeviceLock = DeviceLock;
}

VOID CControlBinding::Lock()
{
    PAGED_CODE();
    if (m_pDeviceLock)
    {
        m_pDeviceLock->Lock();
    }
}

VOID CControlBinding::Unlock()
{
    PAGED_CODE();
    if (m_pDeviceLock)
    {
        m_pDeviceLock->Unlock();
    }
}

NTSTATUS CControlBinding::QueryOwner(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    *Interface = nullptr;
    if (!m_pOwner)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return m_pOwner->QueryInterface(InterfaceId, Interface);
}

NTSTATUS CControlBinding::AccessChannelValue(ULONG Operation, ULONG NodeId, ULONG PinType, ULONG Channel,
                                             PVOID Data, ULONG Size)
{
    PAGED_CODE();
    if (!m_pSettingsDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    WCHAR prefix[CONTROL_VALUE_PREFIX_CCH];
    NTSTATUS status = FormatChannelValuePrefix(NodeId, PinType, prefix);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return AccessIndexedSetting(m_pSettingsDevice, Operation, Data, Size, prefix, Channel);
}

NTSTATUS CControlBinding::AccessSingleValue(ULONG Operation, ULONG NodeId, PVOID Data, ULONG Size)
{
    PAGED_CODE();
    if (!m_pSettingsDevice)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    WCHAR name[CONTROL_VALUE_NAME_CCH];
    NTSTATUS status = FormatSingleValueName(NodeId, name);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return AccessSetting(m_pSettingsDevice, Operation, Data, Size, name);
}
