// Service groups of the stand-in port-class library. Members are called under the group's spin
// lock, so that RemoveMember returning means the member is no longer being called: a pin that
// leaves its stream's group may release the stream right afterwards.
#include "pc_wave.h"

#include "spinlock.h"

#include <algorithm>
#include <vector>

namespace
{

constexpr ULONG kServiceGroupTag = MAKE_POOL_TAG('P', 'c', 'S', 'g');

class CServiceGroup : public IServiceGroup, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CServiceGroup(PUNKNOWN Outer) : CUnknown(Outer) { KeInitializeSpinLock(&m_Lock); }
    ~CServiceGroup() override
    {
        for (PSERVICESINK sink : m_Members)
            sink->Release();
    }

    STDMETHODIMP_(void) RequestService() override
    {
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        for (PSERVICESINK sink : m_Members)
            sink->RequestService();
        KeReleaseSpinLock(&m_Lock, irql);
    }

    STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK ServiceSink) override
    {
        if (ServiceSink == nullptr)
            return STATUS_INVALID_PARAMETER;
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        bool member = std::find(m_Members.begin(), m_Members.end(), ServiceSink) != m_Members.end();
        if (!member)
        {
            ServiceSink->AddRef();
            m_Members.push_back(ServiceSink);
        }
        KeReleaseSpinLock(&m_Lock, irql);
        return member ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    }

    STDMETHODIMP_(void) RemoveMember(PSERVICESINK ServiceSink) override
    {
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        auto it = std::find(m_Members.begin(), m_Members.end(), ServiceSink);
        bool member = it != m_Members.end();
        if (member)
            m_Members.erase(it);
        KeReleaseSpinLock(&m_Lock, irql);
        // Released outside the lock: the member's last reference may go with it.
        if (member)
            ServiceSink->Release();
    }

private:
    KSPIN_LOCK m_Lock;
    std::vector<PSERVICESINK> m_Members; // each referenced
};

STDMETHODIMP_(NTSTATUS) CServiceGroup::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (Interface == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IServiceSink) ||
        IsEqualGUIDAligned(InterfaceId, IID_IServiceGroup))
    {
        *Interface = PVOID(static_cast<IServiceGroup*>(this));
        static_cast<PUNKNOWN>(*Interface)->AddRef();
        return STATUS_SUCCESS;
    }
    *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
}

} // namespace

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown)
{
    if (OutServiceGroup == nullptr)
        return STATUS_INVALID_PARAMETER;
    *OutServiceGroup = nullptr;
    CServiceGroup* group = new (NonPagedPool, kServiceGroupTag) CServiceGroup(OuterUnknown);
    if (group == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    group->NonDelegatingAddRef();
    *OutServiceGroup = static_cast<IServiceGroup*>(group);
    return STATUS_SUCCESS;
}
