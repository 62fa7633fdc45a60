// What the stand-in's ports share: the bind-once Init with its descriptor checks, the aggregated
// version object, the mutex that keeps a miniport bound while a request uses it, the forwarding
// of unregistration, and the release that breaks a miniport's hold on its port. Each port adds
// its own interface (IPortTopology, IPortWaveCyclic) and what only it serves.
#pragma once

#include "dispatcher.h"
#include "pc_port_internal.h"

namespace plat
{
namespace pc
{

class CPortBase : public IUnregisterSubdevice,
                  public IUnregisterPhysicalConnection,
                  public IPcSubdevicePort,
                  public CUnknown
{
public:
    explicit CPortBase(PUNKNOWN Outer);
    // Each port calls ReleaseChildren in its own destructor, while what DetachChildren drops
    // still exists; here only the version object is left.
    ~CPortBase() override;
    // Makes the aggregated version object; the port answers IPortClsVersion through it.
    NTSTATUS Construct();

    // IUnregisterSubdevice, IUnregisterPhysicalConnection
    STDMETHODIMP_(NTSTATUS) UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) override;
    STDMETHODIMP_(NTSTATUS)
    UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                 PUNKNOWN ToUnknown, ULONG ToPin) override;
    STDMETHODIMP_(NTSTATUS)
    UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT, PUNKNOWN, ULONG, PUNICODE_STRING, ULONG) override;
    STDMETHODIMP_(NTSTATUS)
    UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT, PUNICODE_STRING, ULONG, PUNKNOWN,
                                             ULONG) override;

    // IPcSubdevicePort: what does not depend on the kind of filter.
    STDMETHODIMP_(BOOLEAN) IsBound() override;
    STDMETHODIMP_(const PCFILTER_DESCRIPTOR*) GetFilterDescriptor() override;
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override;
    STDMETHODIMP_(void) ReleaseChildren() override;

    // A new port with one reference, given out as its own interface TInterface; null when the
    // allocation failed, and the port is gone again when its version object cannot be made.
    template <class TPort, class TInterface> static NTSTATUS New(ULONG Tag, PPORT* OutPort);

protected:
    void Lock();
    void Unlock();

    // The non-delegating query of every port: Own (the port's own interface for the id, or
    // null), else one of the interfaces all ports answer; referenced. STATUS_INVALID_PARAMETER
    // (with *Interface null) for any other.
    NTSTATUS QueryPortInterface(REFIID InterfaceId, PUNKNOWN Own, PVOID* Interface);

    // PASSIVE_LEVEL. IPort::Init of every port: an object that answers MiniportId (the port's
    // kind of miniport) is bound through its Init, its GetDescription and the descriptor
    // checks; any other goes to BindOther. On any failure the port lets the miniport go and
    // stays unbound.
    NTSTATUS InitPort(PDEVICE_OBJECT DeviceObject, PUNKNOWN UnknownMiniport, REFIID MiniportId,
                      PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList);
    // Under the lock: true for the port's first Init only. A port binds once, even when its
    // first Init failed: its miniport may hold on to it.
    bool TakeFirstInit();
    // An object that is not the port's kind of miniport: refused unless the port says otherwise.
    virtual NTSTATUS BindOther(PUNKNOWN) { return STATUS_INVALID_PARAMETER; }
    // The typed miniport's Init with the port's own interface; the two kinds differ only there.
    virtual NTSTATUS InitMiniport(PMINIPORT Miniport, PUNKNOWN UnknownAdapter,
                                  PRESOURCELIST ResourceList) = 0;
    // Under the lock as the registration ends, before the miniport goes: the port drops what
    // hangs on the miniport and may hand back one more object to release after the lock.
    virtual PUNKNOWN DetachChildren() { return nullptr; }

    PMINIPORT m_pMiniport; // referenced while bound
    PPCFILTER_DESCRIPTOR m_pDescriptor;

private:
    NTSTATUS Bind(PMINIPORT Miniport, PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList);

    // Serialises binding, release and the requests that reach the miniport or its streams; a
    // platform mutex, since those wait on the device through the platform.
    KMUTEX m_Mutex;
    PUNKNOWN m_pVersion; // the aggregated IPortClsVersion object
    BOOLEAN m_bInitCalled;
};

template <class TPort, class TInterface> NTSTATUS CPortBase::New(ULONG Tag, PPORT* OutPort)
{
    TPort* port = new (NonPagedPool, Tag) TPort(nullptr);
    if (port == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    port->NonDelegatingAddRef();
    NTSTATUS status = port->Construct();
    if (!NT_SUCCESS(status))
    {
        port->NonDelegatingRelease();
        return status;
    }
    *OutPort = static_cast<TInterface*>(port);
    return STATUS_SUCCESS;
}

} // namespace pc
} // namespace plat
