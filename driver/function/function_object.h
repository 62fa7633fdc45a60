// The creation every audio function object shares, whatever its release or model.
#pragma once

#include "ntddk.h"
#include "portcls.h"

// Allocates (non-paged, from the pool of Tag) and constructs a TDevice from Args, the first of
// them the unknown it is aggregated into, and hands out its non-delegating unknown with one
// reference. PASSIVE_LEVEL.
template <typename TDevice, typename... TArgs>
NTSTATUS CreateFunctionObject(ULONG Tag, PUNKNOWN* Unknown, TArgs... Args)
{
    PAGED_CODE();
    if (!Unknown)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Unknown = nullptr;
    TDevice* pDevice = new (NonPagedPool, Tag) TDevice(Args...);
    if (!pDevice)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Unknown = pDevice->GetNonDelegatingUnknown();
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}
