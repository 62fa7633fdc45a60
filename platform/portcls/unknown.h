// COM basics of the stand-in port-class library: IUnknown, the non-delegating unknown and
// CUnknown, the reference-counted base every driver COM object derives from, with the pool
// operators that create and destroy such objects.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "pool.h"

#define PURE = 0
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define DECLARE_INTERFACE(iface) struct iface
#define DECLARE_INTERFACE_(iface, baseiface) struct iface : public baseiface

#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)

DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

// Interfaces have no virtual destructor: an object goes away through Release, never through
// `delete` on an interface pointer, and a destructor slot would shift every method slot.
DECLARE_INTERFACE(IUnknown)
{
    STDMETHOD(QueryInterface)(REFIID InterfaceId, PVOID * Interface) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;

protected:
    ~IUnknown() = default;
};
typedef IUnknown* PUNKNOWN;

// The unknown of an aggregated object that its outer object holds: its reference count is
// the inner object's own, while every other interface of the inner object forwards to the
// outer unknown.
DECLARE_INTERFACE(INonDelegatingUnknown)
{
    STDMETHOD_(NTSTATUS, NonDelegatingQueryInterface)(REFIID InterfaceId, PVOID * Interface) PURE;
    STDMETHOD_(ULONG, NonDelegatingAddRef)() PURE;
    STDMETHOD_(ULONG, NonDelegatingRelease)() PURE;

protected:
    ~INonDelegatingUnknown() = default;
};
typedef INonDelegatingUnknown* PNONDELEGATINGUNKNOWN;

// Pool allocation for driver objects: `new (NonPagedPool, 'xxxx') CClass(...)`. The block is
// zeroed before the constructor runs, and a failed allocation yields null (no exceptions in
// the kernel), so callers test the result.
void* operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept;
void* operator new(size_t Size, POOL_TYPE PoolType) noexcept;
void operator delete(void* Block, POOL_TYPE PoolType, ULONG Tag) noexcept;
void operator delete(void* Block, POOL_TYPE PoolType) noexcept;

// The port-class base of every reference-counted driver object. Without an outer unknown the
// object is its own outer, so its interfaces' IUnknown methods reach its own count.
class CUnknown : public INonDelegatingUnknown
{
public:
    explicit CUnknown(PUNKNOWN UnknownOuter);
    virtual ~CUnknown();

    // The unknown every interface of the object forwards QueryInterface, AddRef and Release to.
    PUNKNOWN GetOuterUnknown() const { return m_pUnknownOuter; }

    // The object's own (non-delegating) unknown as an IUnknown: what a creation function
    // hands out and what an aggregating outer object keeps to hold the inner object alive.
    PUNKNOWN GetNonDelegatingUnknown() { return &m_NonDelegatingSelf; }

    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    // Objects live in pool; the last Release runs the deleting destructor, which returns the
    // block to pool. Declaring the operators here keeps the global heap out of reach.
    static void* operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept;
    static void* operator new(size_t Size, POOL_TYPE PoolType) noexcept;
    static void operator delete(void* Block) noexcept;
    static void operator delete(void* Block, POOL_TYPE PoolType, ULONG Tag) noexcept;
    static void operator delete(void* Block, POOL_TYPE PoolType) noexcept;

private:
    // Presents the non-delegating methods through the IUnknown layout, so that a holder of
    // the inner object's unknown calls the inner object's own count.
    class NonDelegatingSelf : public IUnknown
    {
    public:
        explicit NonDelegatingSelf(CUnknown* Owner) : m_pOwner(Owner) {}
        STDMETHODIMP QueryInterface(REFIID InterfaceId, PVOID* Interface) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;

    private:
        CUnknown* m_pOwner;
    };

    NonDelegatingSelf m_NonDelegatingSelf;
    PUNKNOWN m_pUnknownOuter;
    LONG volatile m_lRefCount;
};

// Declares the forwarding IUnknown methods and the non-delegating query of a class derived
// from CUnknown and from one or more interfaces.
#define DECLARE_STD_UNKNOWN()                                                                                \
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) override;      \
    STDMETHODIMP QueryInterface(REFIID InterfaceId, PVOID* Interface) override                               \
    {                                                                                                        \
        return GetOuterUnknown()->QueryInterface(InterfaceId, Interface);                                    \
    }                                                                                                        \
    STDMETHODIMP_(ULONG) AddRef() override                                                                   \
    {                                                                                                        \
        return GetOuterUnknown()->AddRef();                                                                  \
    }                                                                                                        \
    STDMETHODIMP_(ULONG) Release() override                                                                  \
    {                                                                                                        \
        return GetOuterUnknown()->Release();                                                                 \
    }

#define DEFINE_STD_CONSTRUCTOR(Class)                                                                        \
    explicit Class(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter) {}
