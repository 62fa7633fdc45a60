// CInputPinNode and COutputPinNode: set-up from the terminal entity and the jack refresh.
#include "driver/topology/nodes/pin_node.h"

#include "driver/topology/nodes/node_atomic.h"
#include "driver/topology/nodes/terminal_jacks_if.h"

namespace
{

// The jacks of one pin index: ITerminalJacks where the terminal keeps them per index, else
// the terminal's own jacks, which stand for index 0.
NTSTATUS GetJackCountAt(ITopologyNode* Owner, ITerminalNode* Terminal, ULONG PinIndex, PULONG Count)
{
    ITerminalJacks* pJacks = nullptr;
    if (NT_SUCCESS(Owner->QueryInterface(IID_ITerminalJacks, reinterpret_cast<PVOID*>(&pJacks))))
    {
        NTSTATUS status = pJacks->GetJackCountAt(PinIndex, Count);
        pJacks->Release();
        return status;
    }
    return PinIndex == 0 ? Terminal->GetJackCount(Count) : STATUS_INVALID_PARAMETER;
}

NTSTATUS GetJacksAt(ITopologyNode* Owner, ITerminalNode* Terminal, ULONG PinIndex, ULONG Bytes, PVOID Records)
{
    ITerminalJacks* pJacks = nullptr;
    if (NT_SUCCESS(Owner->QueryInterface(IID_ITerminalJacks, reinterpret_cast<PVOID*>(&pJacks))))
    {
        NTSTATUS status = pJacks->GetJackDescriptionsAt(PinIndex, Bytes, Records);
        pJacks->Release();
        return status;
    }
    return PinIndex == 0 ? Terminal->GetJackDescriptions(Bytes, Records) : STATUS_INVALID_PARAMETER;
}

} // namespace

// Shared by both pin nodes: a terminal reached through the node's binding, its jacks at one
// pin index read into the node's own records.
class CPinNodeJacks
{
public:
    // Replaces Node's jacks by the terminal's jacks at PinIndex; a count of 0 means no jacks.
    static NTSTATUS Refresh(CControlBinding& Binding, ITerminalNode* Terminal, ULONG PinIndex,
                            ULONG* JackCount, JackRecord** Jacks, ULONG* JackTag);

    // The jack refresh both nodes run when the device reports a change: the terminal's current
    // pin type into PinType, then its jacks at PinIndex.
    static NTSTATUS SaveValues(CControlBinding& Binding, ULONG PinIndex, ULONG volatile* PinType,
                               ULONG* JackCount, JackRecord** Jacks, ULONG* JackTag);
};

NTSTATUS CPinNodeJacks::Refresh(CControlBinding& Binding, ITerminalNode* Terminal, ULONG PinIndex,
                                ULONG* JackCount, JackRecord** Jacks, ULONG* JackTag)
{
    PAGED_CODE();
    ULONG count = 0;
    if (!NT_SUCCESS(GetJackCountAt(Binding.GetOwner(), Terminal, PinIndex, &count)))
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (count > MAXULONG / sizeof(JackRecord))
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (count != *JackCount || !*Jacks)
    {
        if (*Jacks)
        {
            ExFreePoolWithTag(*Jacks, *JackTag);
            *Jacks = nullptr;
        }
        *JackCount = 0;
        if (count)
        {
            *Jacks = static_cast<JackRecord*>(
                ExAllocatePoolWithTag(PagedPool, count * sizeof(JackRecord), PIN_NODE_JACK_POOL_TAG));
            if (!*Jacks)
            {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            *JackTag = PIN_NODE_JACK_POOL_TAG;
            RtlZeroMemory(*Jacks, count * sizeof(JackRecord));
            *JackCount = count;
        }
    }
    if (count == 0)
    {
        return STATUS_SUCCESS;
    }
    return GetJacksAt(Binding.GetOwner(), Terminal, PinIndex, count * ULONG(sizeof(JackRecord)), *Jacks);
}

NTSTATUS CInputPinNode::InitInputPinNode(ITopologyNode* Owner, const VOID* PinGuids, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    m_Binding.Bind(Owner, 0, nullptr, DeviceLock);
    CControlLockGuard guard(m_Binding);
    ITerminalNode* pTerminal = nullptr;
    if (!PinGuids ||
        !NT_SUCCESS(m_Binding.QueryOwner(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG count = 0;
    ULONG types[TERMINAL_MAX_PIN_TYPES] = {};
    ULONG current = 0;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(pTerminal->GetPinTypeCount(&count)) && count >= 1 && count <= TERMINAL_MAX_PIN_TYPES &&
        NT_SUCCESS(pTerminal->GetPinTypes(types)) && NT_SUCCESS(pTerminal->GetPinType(&current)) &&
        NT_SUCCESS(Init(count, types, 0, nullptr)))
    {
        status = CPinNodeJacks::Refresh(m_Binding, pTerminal, 0, &m_nJackCount, &m_pJacks, &m_nJackTag);
    }
    pTerminal->Release();
    if (NT_SUCCESS(status))
    {
        NodeWriteUlong(&m_nPinType, current);
        RtlCopyMemory(m_PinGuids, PinGuids, sizeof(m_PinGuids));
        ULONG source = 0;
        status = SetSourceIdList(1, &source);
    }
    return status;
}

NTSTATUS COutputPinNode::InitOutputPinNode(ITopologyNode* Owner, const VOID* PinGuids, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    m_Binding.Bind(Owner, 0, nullptr, DeviceLock);
    CControlLockGuard guard(m_Binding);
    ITerminalNode* pTerminal = nullptr;
    if (!PinGuids ||
        !NT_SUCCESS(m_Binding.QueryOwner(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG count = 0;
    ULONG types[TERMINAL_MAX_PIN_TYPES] = {};
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(pTerminal->GetPinTypeCount(&count)) && count >= 1 && count <= TERMINAL_MAX_PIN_TYPES &&
        m_nPinIndex < count && NT_SUCCESS(pTerminal->GetPinTypes(types)) &&
        NT_SUCCESS(Init(0, 1, &types[m_nPinIndex], 0, nullptr)))
    {
        status =
            CPinNodeJacks::Refresh(m_Binding, pTerminal, m_nPinIndex, &m_nJackCount, &m_pJacks, &m_nJackTag);
    }
    pTerminal->Release();
    if (NT_SUCCESS(status))
    {
        RtlCopyMemory(m_PinGuids, PinGuids, sizeof(m_PinGuids));
    }
    return status;
}

NTSTATUS CPinNodeJacks::SaveValues(CControlBinding& Binding, ULONG PinIndex, ULONG volatile* PinType,
                                   ULONG* JackCount, JackRecord** Jacks, ULONG* JackTag)
{
    PAGED_CODE();
    CControlLockGuard guard(Binding);
    ITerminalNode* pTerminal = nullptr;
    NTSTATUS status = Binding.QueryOwner(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG current = 0;
    status = pTerminal->GetPinType(&current);
    if (NT_SUCCESS(status))
    {
        NodeWriteUlong(PinType, current);
        status = Refresh(Binding, pTerminal, PinIndex, JackCount, Jacks, JackTag);
    }
    pTerminal->Release();
    return status;
}

STDMETHODIMP_(NTSTATUS) CInputPinNode::SaveValues()
{
    PAGED_CODE();
    return CPinNodeJacks::SaveValues(m_Binding, 0, &m_nPinType, &m_nJackCount, &m_pJacks, &m_nJackTag);
}

STDMETHODIMP_(NTSTATUS) COutputPinNode::SaveValues()
{
    PAGED_CODE();
    return CPinNodeJacks::SaveValues(m_Binding, m_nPinIndex, &m_nPinType, &m_nJackCount, &m_pJacks,
                                     &m_nJackTag);
}
