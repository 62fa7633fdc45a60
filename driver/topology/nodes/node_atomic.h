// Atomic access to the node values that the stream pipeline reads at DISPATCH_LEVEL while the
// property handlers and status threads change them at PASSIVE_LEVEL: mute bytes, levels, float
// gains, selector indexes and pin types. Every access is one interlocked operation, so a reader
// sees either the old or the new value, never a mix, and a change takes effect from the next
// buffer. All of it is resident and callable at any IRQL.
#pragma once

#include "ntddk.h"

// Byte arrays that are read this way are allocated in whole 32-bit words, because a byte is
// read and written through the aligned word that holds it.
FORCEINLINE SIZE_T NodeByteArrayBytes(ULONG Count)
{
    return (SIZE_T(Count) + 3) & ~SIZE_T(3);
}

FORCEINLINE LONG NodeReadLong(LONG volatile* Value)
{
    return InterlockedOr(Value, 0);
}

FORCEINLINE VOID NodeWriteLong(LONG volatile* Value, LONG NewValue)
{
    InterlockedExchange(Value, NewValue);
}

FORCEINLINE ULONG NodeReadUlong(ULONG volatile* Value)
{
    return InterlockedExchangeAdd(Value, 0u);
}

FORCEINLINE VOID NodeWriteUlong(ULONG volatile* Value, ULONG NewValue)
{
    InterlockedExchange(Value, NewValue);
}

// Floats travel as their 32-bit pattern.
FORCEINLINE float NodeReadFloat(float volatile* Value)
{
    LONG bits = InterlockedOr(reinterpret_cast<LONG volatile*>(Value), 0);
    float result;
    RtlCopyMemory(&result, &bits, sizeof(result));
    return result;
}

FORCEINLINE VOID NodeWriteFloat(float volatile* Value, float NewValue)
{
    LONG bits;
    RtlCopyMemory(&bits, &NewValue, sizeof(bits));
    InterlockedExchange(reinterpret_cast<LONG volatile*>(Value), bits);
}

FORCEINLINE LONG volatile* NodeByteWord(PUCHAR Array, ULONG Index, ULONG* Shift)
{
    *Shift = (Index & 3) * 8;
    return reinterpret_cast<LONG volatile*>(Array + (Index & ~3u));
}

FORCEINLINE UCHAR NodeReadByte(PUCHAR Array, ULONG Index)
{
    ULONG shift;
    LONG volatile* word = NodeByteWord(Array, Index, &shift);
    return UCHAR(ULONG(InterlockedOr(word, 0)) >> shift);
}

// The neighbouring bytes of the word are kept as they are, even when another writer changes
// one of them at the same time.
FORCEINLINE VOID NodeWriteByte(PUCHAR Array, ULONG Index, UCHAR NewValue)
{
    ULONG shift;
    LONG volatile* word = NodeByteWord(Array, Index, &shift);
    LONG seen = InterlockedOr(word, 0);
    for (;;)
    {
        LONG wanted = LONG((ULONG(seen) & ~(0xFFu << shift)) | (ULONG(NewValue) << shift));
        LONG found = InterlockedCompareExchange(word, wanted, seen);
        if (found == seen)
        {
            return;
        }
        seen = found;
    }
}
