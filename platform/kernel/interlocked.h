// Interlocked operations of the stand-in kernel: the same results as the x86-64 intrinsics
// (full barriers, sequentially consistent), built on the compiler's atomic builtins.
#pragma once

#include "ntdef.h"

#define UACSIM_ATOMIC_ORDER __ATOMIC_SEQ_CST

// 32-bit forms. Increment and Decrement return the new value; ExchangeAdd, And and Or return
// the value before the operation, as on Windows.
FORCEINLINE LONG InterlockedIncrement(LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG InterlockedDecrement(LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, UACSIM_ATOMIC_ORDER,
                                UACSIM_ATOMIC_ORDER);
    return Comparand; // holds the value found, whether or not the exchange happened
}

FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG InterlockedAdd(LONG volatile* Addend, LONG Value)
{
    return __atomic_add_fetch(Addend, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG InterlockedAnd(LONG volatile* Destination, LONG Value)
{
    return __atomic_fetch_and(Destination, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG InterlockedOr(LONG volatile* Destination, LONG Value)
{
    return __atomic_fetch_or(Destination, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG InterlockedXor(LONG volatile* Destination, LONG Value)
{
    return __atomic_fetch_xor(Destination, Value, UACSIM_ATOMIC_ORDER);
}

// Unsigned 32-bit counters (the driver keeps several as ULONG): the same operations, so the
// call sites need no casts.
FORCEINLINE ULONG InterlockedIncrement(ULONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1u, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE ULONG InterlockedDecrement(ULONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1u, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE ULONG InterlockedExchange(ULONG volatile* Target, ULONG Value)
{
    return __atomic_exchange_n(Target, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE ULONG InterlockedCompareExchange(ULONG volatile* Destination, ULONG Exchange, ULONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, UACSIM_ATOMIC_ORDER,
                                UACSIM_ATOMIC_ORDER);
    return Comparand;
}

FORCEINLINE ULONG InterlockedExchangeAdd(ULONG volatile* Addend, ULONG Value)
{
    return __atomic_fetch_add(Addend, Value, UACSIM_ATOMIC_ORDER);
}

// 64-bit forms.
FORCEINLINE LONG64 InterlockedIncrement64(LONG64 volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG64 InterlockedDecrement64(LONG64 volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value)
{
    return __atomic_exchange_n(Target, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange,
                                                LONG64 Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, UACSIM_ATOMIC_ORDER,
                                UACSIM_ATOMIC_ORDER);
    return Comparand;
}

FORCEINLINE LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value)
{
    return __atomic_fetch_add(Addend, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG64 InterlockedAdd64(LONG64 volatile* Addend, LONG64 Value)
{
    return __atomic_add_fetch(Addend, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG64 InterlockedAnd64(LONG64 volatile* Destination, LONG64 Value)
{
    return __atomic_fetch_and(Destination, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE LONG64 InterlockedOr64(LONG64 volatile* Destination, LONG64 Value)
{
    return __atomic_fetch_or(Destination, Value, UACSIM_ATOMIC_ORDER);
}

// Pointer forms.
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, UACSIM_ATOMIC_ORDER);
}

FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                                    PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, UACSIM_ATOMIC_ORDER,
                                UACSIM_ATOMIC_ORDER);
    return Comparand;
}

// Full fence for the processor and the compiler.
FORCEINLINE VOID KeMemoryBarrier()
{
    __atomic_thread_fence(UACSIM_ATOMIC_ORDER);
}

// Orders memory accesses for the compiler only; x86-64 keeps stores in order itself.
FORCEINLINE VOID KeMemoryBarrierWithoutFence()
{
    __asm__ __volatile__("" ::: "memory");
}

#define MemoryBarrier() KeMemoryBarrier()
#define _ReadWriteBarrier() KeMemoryBarrierWithoutFence()

#undef UACSIM_ATOMIC_ORDER
