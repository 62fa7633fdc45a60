// CPointerList: the driver's one container, a doubly linked list of untyped pointers. It takes
// no lock; its owner guards it with its own spin lock or CMutexLock. Only the count changes
// with interlocked operations, so GetCount and IsEmpty may be read without the owner's lock.
// All of it is resident: lists are used at DISPATCH_LEVEL under spin locks.
#pragma once

#include "ntddk.h"

// Nodes carry the tag "Lis" followed by a zero byte.
#define POINTER_LIST_POOL_TAG MAKE_POOL_TAG('L', 'i', 's', 0)

// One node per element; the list never owns or frees what Data points to. A "position" handed
// to callers is a node pointer.
typedef struct _POINTER_LIST_NODE
{
    struct _POINTER_LIST_NODE* Next; // null at the tail
    struct _POINTER_LIST_NODE* Prev; // null at the head
    PVOID Data;
} POINTER_LIST_NODE, *PPOINTER_LIST_NODE;
static_assert(sizeof(POINTER_LIST_NODE) == 24, "list nodes are 24 bytes");

class CPointerList
{
public:
    CPointerList(); // any IRQL

    // Each returns the new node, or null when its allocation fails (the list is then unchanged).
    PPOINTER_LIST_NODE AddHead(PVOID pData); // <= DISPATCH_LEVEL
    PPOINTER_LIST_NODE AddTail(PVOID pData); // <= DISPATCH_LEVEL
    // A null position, or the head, puts the element first.
    PPOINTER_LIST_NODE InsertBefore(PPOINTER_LIST_NODE pPosition, PVOID pData); // <= DISPATCH_LEVEL

    BOOLEAN RemoveHead(PVOID* ppData); // <= DISPATCH_LEVEL
    // A null position does nothing.
    VOID RemoveNode(PPOINTER_LIST_NODE pPosition); // <= DISPATCH_LEVEL

    // On an empty list both set *ppData to null and return FALSE.
    BOOLEAN GetHead(PVOID* ppData); // any IRQL
    BOOLEAN GetTail(PVOID* ppData); // any IRQL

    // Iteration: position = GetHeadPosition(), then GetNext until it returns FALSE.
    PPOINTER_LIST_NODE GetHeadPosition();                           // any IRQL
    BOOLEAN GetNext(PPOINTER_LIST_NODE* ppPosition, PVOID* ppData); // any IRQL
    // Walks nIndex nodes from the head; FALSE (and *ppData untouched) when nIndex >= count.
    BOOLEAN GetAt(ULONG nIndex, PVOID* ppData); // any IRQL

    ULONG GetCount();  // any IRQL
    BOOLEAN IsEmpty(); // any IRQL

    // A list that a reader walks under a spin lock names that lock here: every change after
    // this asserts that the lock is held, so a change made without it stops at once instead of
    // racing the reader. Null (the default) checks nothing.
    VOID SetGuard(PKSPIN_LOCK pGuard); // any IRQL

private:
    PPOINTER_LIST_NODE AllocateNode(PVOID pData);
    VOID CheckGuard();

    PPOINTER_LIST_NODE m_pHead;
    PPOINTER_LIST_NODE m_pTail;
    ULONG volatile m_nCount;
    PKSPIN_LOCK m_pGuard;
};
