// CPointerList: nodes come from non-paged pool one per element, so the list works under spin
// locks; the count moves by interlocked steps for readers that do not take the owner's lock.
#include "driver/core/pointer_list.h"

CPointerList::CPointerList() : m_pHead(nullptr), m_pTail(nullptr), m_nCount(0), m_pGuard(nullptr) {}

VOID CPointerList::SetGuard(PKSPIN_LOCK pGuard)
{
    m_pGuard = pGuard;
}

// Only that someone holds the lock can be seen, not who: enough to stop a change made without
// it whenever the reader is not running at that moment, which is every single-threaded path.
VOID CPointerList::CheckGuard()
{
    NT_ASSERTMSG("a guarded list changed without its spin lock",
                 !m_pGuard || (KeGetCurrentIrql() >= DISPATCH_LEVEL && !KeTestSpinLock(m_pGuard)));
}

PPOINTER_LIST_NODE CPointerList::AllocateNode(PVOID pData)
{
    CheckGuard();
    PPOINTER_LIST_NODE pNode = static_cast<PPOINTER_LIST_NODE>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(POINTER_LIST_NODE), POINTER_LIST_POOL_TAG));
    if (pNode)
    {
        RtlZeroMemory(pNode, sizeof(*pNode));
        pNode->Data = pData;
    }
    return pNode;
}

PPOINTER_LIST_NODE CPointerList::AddHead(PVOID pData)
{
    PPOINTER_LIST_NODE pNode = AllocateNode(pData);
    if (!pNode)
    {
        return nullptr;
    }
    pNode->Next = m_pHead;
    if (m_pHead)
    {
        m_pHead->Prev = pNode;
    }
    else
    {
        m_pTail = pNode;
    }
    m_pHead = pNode;
    InterlockedIncrement(&m_nCount);
    return pNode;
}

PPOINTER_LIST_NODE CPointerList::AddTail(PVOID pData)
{
    PPOINTER_LIST_NODE pNode = AllocateNode(pData);
    if (!pNode)
    {
        return nullptr;
    }
    pNode->Prev = m_pTail;
    if (m_pTail)
    {
        m_pTail->Next = pNode;
    }
    else
    {
        m_pHead = pNode;
    }
    m_pTail = pNode;
    InterlockedIncrement(&m_nCount);
    return pNode;
}

PPOINTER_LIST_NODE CPointerList::InsertBefore(PPOINTER_LIST_NODE pPosition, PVOID pData)
{
    if (!pPosition || !pPosition->Prev)
    {
        return AddHead(pData);
    }
    PPOINTER_LIST_NODE pNode = AllocateNode(pData);
    if (!pNode)
    {
        return nullptr;
    }
    pNode->Prev = pPosition->Prev;
    pNode->Next = pPosition;
    pPosition->Prev->Next = pNode;
    pPosition->Prev = pNode;
    InterlockedIncrement(&m_nCount);
    return pNode;
}

BOOLEAN CPointerList::RemoveHead(PVOID* ppData)
{
    if (!ppData || !m_pHead)
    {
        return FALSE;
    }
    *ppData = m_pHead->Data;
    RemoveNode(m_pHead);
    return TRUE;
}

VOID CPointerList::RemoveNode(PPOINTER_LIST_NODE pPosition)
{
    if (!pPosition)
    {
        return;
    }
    CheckGuard();
    if (pPosition->Prev)
    {
        pPosition->Prev->Next = pPosition->Next;
    }
    else
    {
        m_pHead = pPosition->Next;
    }
    if (pPosition->Next)
    {
        pPosition->Next->Prev = pPosition->Prev;
    }
    else
    {
        m_pTail = pPosition->Prev;
    }
    ExFreePoolWithTag(pPosition, POINTER_LIST_POOL_TAG);
    InterlockedDecrement(&m_nCount);
}

BOOLEAN CPointerList::GetHead(PVOID* ppData)
{
    if (!ppData)
    {
        return FALSE;
    }
    *ppData = m_pHead ? m_pHead->Data : nullptr;
    return m_pHead ? TRUE : FALSE;
}

BOOLEAN CPointerList::GetTail(PVOID* ppData)
{
    if (!ppData)
    {
        return FALSE;
    }
    *ppData = m_pTail ? m_pTail->Data : nullptr;
    return m_pTail ? TRUE : FALSE;
}

PPOINTER_LIST_NODE CPointerList::GetHeadPosition()
{
    return m_pHead;
}

BOOLEAN CPointerList::GetNext(PPOINTER_LIST_NODE* ppPosition, PVOID* ppData)
{
    if (!ppPosition || !*ppPosition || !ppData)
    {
        return FALSE;
    }
    *ppData = (*ppPosition)->Data;
    *ppPosition = (*ppPosition)->Next;
    return TRUE;
}

BOOLEAN CPointerList::GetAt(ULONG nIndex, PVOID* ppData)
{
    if (!ppData || !m_pHead || nIndex >= m_nCount)
    {
        return FALSE;
    }
    PPOINTER_LIST_NODE pNode = m_pHead;
    for (ULONG i = 0; i < nIndex && pNode; i++)
    {
        pNode = pNode->Next;
    }
    if (!pNode)
    {
        return FALSE;
    }
    *ppData = pNode->Data;
    return TRUE;
}

ULONG CPointerList::GetCount()
{
    return m_nCount;
}

BOOLEAN CPointerList::IsEmpty()
{
    return m_nCount == 0 ? TRUE : FALSE;
}
