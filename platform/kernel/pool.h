// Pool memory of the stand-in kernel: tagged blocks with per-tag accounting, so tests can
// assert that a driver frees everything it allocated and can make allocations fail.
#pragma once

#include "ntdef.h"

// Flags of lookaside lists and pool types that drivers pass through unchanged.
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16
#define POOL_NX_ALLOCATION 512

// Fresh blocks are not zeroed (RtlZeroMemory is the driver's job). Non-paged cache-aligned
// blocks start on a 64-byte boundary, others on a 16-byte one; blocks of a page (4,096 bytes) or
// more start on a page boundary, as on the target. Paged pool at DISPATCH_LEVEL,
// a free of a block twice, or with a tag other than its own, stops the process.
// Tags are written as on the target, e.g. 'dBSU' for the bytes "USBd".
NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes); // untagged ("None")
NTKERNELAPI VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID ExFreePool(PVOID P);

// Lookaside lists hand out fixed-size blocks from pool; the stand-in keeps no cache so that
// every block is individually accounted for and leak-checked.
typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef VOID (*PFREE_FUNCTION)(PVOID Buffer);

typedef struct _NPAGED_LOOKASIDE_LIST
{
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    POOL_TYPE Type;
    SIZE_T Size;
    ULONG Tag;
    USHORT Depth;
    LONG Outstanding;  // blocks handed out and not yet returned
    ULONG Initialized; // guards use after ExDeleteNPagedLookasideList
    ULONG_PTR Reserved[8];
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST, PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;

NTKERNELAPI VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
                                                 PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                                 ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
NTKERNELAPI VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
