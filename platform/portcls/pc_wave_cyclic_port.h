// The WaveCyclic port of the stand-in port-class library: binds to an IMiniportWaveCyclic,
// checks its filter descriptor, serves the filter's handles (properties) and its pins' handles
// (created through data-range intersection and NewStream), and defers the streams' Notify to
// its service DPC.
#pragma once

#include "pc_port_base.h"
#include "pc_wave_cyclic_pin.h"
#include "timer.h"

#include <map>
#include <vector>

namespace plat
{
namespace pc
{

class CPortWaveCyclic : public IPortWaveCyclic, public IPcPinPort, public CPortBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CPortWaveCyclic(PUNKNOWN Outer);
    ~CPortWaveCyclic() override;

    // IPort. PASSIVE_LEVEL. Binds an IMiniportWaveCyclic (CPortBase::InitPort); any other object
    // takes part in registration only.
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
         IResourceList* ResourceList) override;

    // IPortWaveCyclic. IRQL <= DISPATCH_LEVEL: queues the service DPC for the group.
    STDMETHODIMP_(void) Notify(PSERVICEGROUP ServiceGroup) override;

    // IPcSubdevicePort: the handles of the filter and its pins; the rest is the base's.
    STDMETHODIMP_(BOOLEAN) IsBound() override;
    STDMETHODIMP_(NTSTATUS) OpenHandle(PFILE_OBJECT FileObject, const std::u16string& Rest) override;
    STDMETHODIMP_(void) CloseHandle(PFILE_OBJECT FileObject) override;
    STDMETHODIMP_(NTSTATUS) DeviceControl(PFILE_OBJECT FileObject, PIRP Irp) override;

    // IPcPinPort
    STDMETHODIMP_(NTSTATUS) DescribePin(PFILE_OBJECT FileObject, PcPinView* View) override;

private:
    NTSTATUS InitMiniport(PMINIPORT Miniport, PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) override;
    PUNKNOWN DetachChildren() override;
    NTSTATUS BindOther(PUNKNOWN Unknown) override;
    PMINIPORTWAVECYCLIC Miniport() { return static_cast<PMINIPORTWAVECYCLIC>(m_pMiniport); }
    NTSTATUS OpenPin(PFILE_OBJECT FileObject, const std::u16string& Rest);
    NTSTATUS CheckInstances(ULONG PinId, const PCPIN_DESCRIPTOR* Pin);
    static KDEFERRED_ROUTINE ServiceDpc;
    void Service();

    PUNKNOWN m_pRegistrationOnly;                       // a bound object that is no wave miniport; referenced
    std::map<PFILE_OBJECT, CPortPinWaveCyclic*> m_Pins; // each referenced, open or closed

    // Groups notified since the service DPC last ran, each referenced once.
    KSPIN_LOCK m_NotifyLock;
    std::vector<PSERVICEGROUP> m_Pending;
    KDPC m_ServiceDpc;
};

} // namespace pc
} // namespace plat
