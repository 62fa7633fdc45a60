// The stream object's client lists (registered, open, started) and its lists B and C of
// processing objects. The data path reads them at DISPATCH_LEVEL under the stream spin lock,
// so every change takes that lock too, raising from the passive level of the client slots.
#include "driver/wave/stream_engine.h"

namespace
{

class CListLockGuard
{
public:
    explicit CListLockGuard(PKSPIN_LOCK Lock) : m_pLock(Lock) { KeAcquireSpinLock(m_pLock, &m_OldIrql); }
    ~CListLockGuard() { KeReleaseSpinLock(m_pLock, m_OldIrql); }

private:
    PKSPIN_LOCK m_pLock;
    KIRQL m_OldIrql;
};

StreamClient* ClientAt(PPOINTER_LIST_NODE Node)
{
    return static_cast<StreamClient*>(Node->Data);
}

} // namespace

NTSTATUS CStreamEngine::AddRegisteredClient(StreamClient* Client)
{
    if (!Client || !m_pRegisteredClients)
    {
        return STATUS_INVALID_PARAMETER;
    }
    CListLockGuard lock(&m_StreamLock);
    return m_pRegisteredClients->AddTail(Client) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

StreamClient* CStreamEngine::FindRegisteredClient(PVOID ClientKey)
{
    return FindClient(m_pRegisteredClients, ClientKey, FALSE);
}

StreamClient* CStreamEngine::RemoveRegisteredClient(PVOID ClientKey)
{
    return FindClient(m_pRegisteredClients, ClientKey, TRUE);
}

NTSTATUS CStreamEngine::InsertOpenClient(StreamClient* Client)
{
    return InsertByPriority(m_pOpenClients, Client);
}

StreamClient* CStreamEngine::GetFirstOpenClient()
{
    return FirstClient(m_pOpenClients);
}

StreamClient* CStreamEngine::FindOpenClient(PVOID ClientKey)
{
    return FindClient(m_pOpenClients, ClientKey, FALSE);
}

StreamClient* CStreamEngine::RemoveOpenClient(PVOID ClientKey)
{
    return FindClient(m_pOpenClients, ClientKey, TRUE);
}

NTSTATUS CStreamEngine::InsertStartedClient(StreamClient* Client)
{
    return InsertByPriority(m_pStartedClients, Client);
}

StreamClient* CStreamEngine::GetFirstStartedClient()
{
    return FirstClient(m_pStartedClients);
}

StreamClient* CStreamEngine::FindStartedClient(PVOID ClientKey)
{
    return FindClient(m_pStartedClients, ClientKey, FALSE);
}

StreamClient* CStreamEngine::RemoveStartedClient(PVOID ClientKey)
{
    return FindClient(m_pStartedClients, ClientKey, TRUE);
}

// Highest priority first. Two clients of one priority could not both lead the stream, so the
// second is refused and the list stays as it was.
NTSTATUS CStreamEngine::InsertByPriority(CPointerList* List, StreamClient* Client)
{
    if (!Client || !List)
    {
        return STATUS_INVALID_PARAMETER;
    }
    CListLockGuard lock(&m_StreamLock);
    PPOINTER_LIST_NODE node = List->GetHeadPosition();
    while (node && ClientAt(node)->Priority > Client->Priority)
    {
        node = node->Next;
    }
    if (node && ClientAt(node)->Priority == Client->Priority)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PPOINTER_LIST_NODE added = node ? List->InsertBefore(node, Client) : List->AddTail(Client);
    return added ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

StreamClient* CStreamEngine::FindClient(CPointerList* List, PVOID ClientKey, BOOLEAN Remove)
{
    if (!List)
    {
        return nullptr;
    }
    CListLockGuard lock(&m_StreamLock);
    for (PPOINTER_LIST_NODE node = List->GetHeadPosition(); node; node = node->Next)
    {
        StreamClient* pClient = ClientAt(node);
        if (pClient->Registration == ClientKey)
        {
            if (Remove)
            {
                List->RemoveNode(node);
            }
            return pClient;
        }
    }
    return nullptr;
}

StreamClient* CStreamEngine::FirstClient(CPointerList* List)
{
    if (!List)
    {
        return nullptr;
    }
    CListLockGuard lock(&m_StreamLock);
    PVOID pData = nullptr;
    List->GetHead(&pData);
    return static_cast<StreamClient*>(pData);
}

NTSTATUS CStreamEngine::AddToListB(PPIPELINEOBJECT Object)
{
    return AddObject(m_pListB, Object);
}

NTSTATUS CStreamEngine::AddToListC(PPIPELINEOBJECT Object)
{
    return AddObject(m_pListC, Object);
}

NTSTATUS CStreamEngine::RemoveFromListB(PPIPELINEOBJECT Object)
{
    return RemoveObject(m_pListB, Object);
}

NTSTATUS CStreamEngine::RemoveFromListC(PPIPELINEOBJECT Object)
{
    return RemoveObject(m_pListC, Object);
}

VOID CStreamEngine::DrainListB()
{
    ReleaseProcessingObjects(m_pListB);
}

VOID CStreamEngine::DrainListC()
{
    ReleaseProcessingObjects(m_pListC);
}

// The list keeps its own reference; it is given back when the entry cannot be made.
NTSTATUS CStreamEngine::AddObject(CPointerList* List, PPIPELINEOBJECT Object)
{
    if (!Object || !List)
    {
        return STATUS_INVALID_PARAMETER;
    }
    Object->AddRef();
    PPOINTER_LIST_NODE added;
    {
        CListLockGuard lock(&m_StreamLock);
        added = List->AddTail(static_cast<PUNKNOWN>(Object));
    }
    if (!added)
    {
        Object->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Unlinked under the lock, released outside it: a last release may run pageable teardown.
NTSTATUS CStreamEngine::RemoveObject(CPointerList* List, PPIPELINEOBJECT Object)
{
    if (!Object || !List)
    {
        return STATUS_UNSUCCESSFUL;
    }
    BOOLEAN found = FALSE;
    {
        CListLockGuard lock(&m_StreamLock);
        for (PPOINTER_LIST_NODE node = List->GetHeadPosition(); node; node = node->Next)
        {
            if (node->Data == static_cast<PUNKNOWN>(Object))
            {
                List->RemoveNode(node);
                found = TRUE;
                break;
            }
        }
    }
    if (!found)
    {
        return STATUS_UNSUCCESSFUL;
    }
    Object->Release();
    return STATUS_SUCCESS;
}
