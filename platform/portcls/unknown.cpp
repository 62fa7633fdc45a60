// CUnknown and the pool operators of the stand-in port-class library.
#include "unknown.h"

#include "interlocked.h"
#include "plat_fatal.h"

#include <cstring>

namespace
{

void* Zeroed(void* Block, size_t Size)
{
    if (Block)
    {
        std::memset(Block, 0, Size);
    }
    return Block;
}

// A zero-sized object still needs a distinct address.
void* AllocateZeroed(size_t Size, POOL_TYPE PoolType, ULONG Tag)
{
    return Zeroed(ExAllocatePoolWithTag(PoolType, Size ? Size : 1, Tag), Size);
}

void* AllocateZeroedUntagged(size_t Size, POOL_TYPE PoolType)
{
    return Zeroed(ExAllocatePool(PoolType, Size ? Size : 1), Size);
}

} // namespace

void* operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept
{
    return AllocateZeroed(Size, PoolType, Tag);
}

void* operator new(size_t Size, POOL_TYPE PoolType) noexcept
{
    return AllocateZeroedUntagged(Size, PoolType);
}

void operator delete(void* Block, POOL_TYPE, ULONG) noexcept
{
    if (Block)
    {
        ExFreePool(Block);
    }
}

void operator delete(void* Block, POOL_TYPE) noexcept
{
    if (Block)
    {
        ExFreePool(Block);
    }
}

CUnknown::CUnknown(PUNKNOWN UnknownOuter)
    : m_NonDelegatingSelf(this), m_pUnknownOuter(UnknownOuter ? UnknownOuter : &m_NonDelegatingSelf),
      m_lRefCount(0)
{
}

CUnknown::~CUnknown() = default;

STDMETHODIMP_(NTSTATUS) CUnknown::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (!Interface)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown))
    {
        *Interface = GetNonDelegatingUnknown();
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef()
{
    return ULONG(InterlockedIncrement(&m_lRefCount));
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease()
{
    LONG count = InterlockedDecrement(&m_lRefCount);
    if (count < 0)
    {
        plat::Fatal("CUnknown %p released more often than it was referenced", static_cast<void*>(this));
    }
    if (count == 0)
    {
        // Keep the count off zero while the destructor runs, so that a destructor which
        // briefly references the object again does not delete it a second time. Interlocked,
        // because a thread the destructor is about to stop may take and drop a reference of
        // its own meanwhile, and neither may be lost.
        InterlockedIncrement(&m_lRefCount);
        delete this;
    }
    return ULONG(count);
}

void* CUnknown::operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept
{
    return AllocateZeroed(Size, PoolType, Tag);
}

void* CUnknown::operator new(size_t Size, POOL_TYPE PoolType) noexcept
{
    return AllocateZeroedUntagged(Size, PoolType);
}

void CUnknown::operator delete(void* Block) noexcept
{
    if (Block)
    {
        ExFreePool(Block);
    }
}

void CUnknown::operator delete(void* Block, POOL_TYPE, ULONG) noexcept
{
    CUnknown::operator delete(Block);
}

void CUnknown::operator delete(void* Block, POOL_TYPE) noexcept
{
    CUnknown::operator delete(Block);
}

STDMETHODIMP CUnknown::NonDelegatingSelf::QueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    return m_pOwner->NonDelegatingQueryInterface(InterfaceId, Interface);
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingSelf::AddRef()
{
    return m_pOwner->NonDelegatingAddRef();
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingSelf::Release()
{
    return m_pOwner->NonDelegatingRelease();
}
