// The WaveCyclic port of the stand-in port-class library: binds to an IMiniportWaveCyclic,
// checks its filter descriptor, serves the filter's handles (properties) and its pins' handles
// (created through data-range intersection and NewStream), and defers the streams' Notify to
// its service DPC.
#pragma once

#include "pc_port_internal.h"
#include "pc_wave_cyclic_pin.h"
#include "timer.h"

#include <map>
#include <vector>

namespace plat
{
namespace pc
{

class CPortWaveCyclic : public IPortWaveCyclic,
                        public IUnregisterSubdevice,
                        public IUnregisterPhysicalConnection,
                        public IPcSubdevicePort,
                        public IPcPinPort,
                        public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CPortWaveCyclic(PUNKNOWN Outer);
    ~CPortWaveCyclic() override;
    NTSTATUS Construct();

    // IPort. PASSIVE_LEVEL. The miniport's Init, then its GetDescription, then the descriptor
    // checks; on any failure the port lets the miniport go and stays unbound.
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
         IResourceList* ResourceList) override;

    // IPortWaveCyclic. IRQL <= DISPATCH_LEVEL: queues the service DPC for the group.
    STDMETHODIMP_(void) Notify(PSERVICEGROUP ServiceGroup) override;

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

    // IPcSubdevicePort
    STDMETHODIMP_(BOOLEAN) IsBound() override;
    STDMETHODIMP_(const PCFILTER_DESCRIPTOR*) GetFilterDescriptor() override;
    STDMETHODIMP_(NTSTATUS) OpenHandle(PFILE_OBJECT FileObject, const std::u16string& Rest) override;
    STDMETHODIMP_(void) CloseHandle(PFILE_OBJECT FileObject) override;
    STDMETHODIMP_(NTSTATUS) DeviceControl(PFILE_OBJECT FileObject, PIRP Irp) override;
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override;
    STDMETHODIMP_(void) ReleaseChildren() override;

    // IPcPinPort
    STDMETHODIMP_(NTSTATUS) DescribePin(PFILE_OBJECT FileObject, PcPinView* View) override;

private:
    void Lock();
    void Unlock();
    NTSTATUS OpenPin(PFILE_OBJECT FileObject, const std::u16string& Rest);
    NTSTATUS CheckInstances(ULONG PinId, const PCPIN_DESCRIPTOR* Pin);
    static KDEFERRED_ROUTINE ServiceDpc;
    void Service();

    // Serialises binding, release, pin creation and close and the requests that reach the
    // miniport or its streams; a platform mutex, since those wait on the device.
    KMUTEX m_Mutex;
    PMINIPORTWAVECYCLIC m_pMiniport; // referenced while bound
    PUNKNOWN m_pRegistrationOnly;    // a bound object that is no wave miniport; referenced
    PPCFILTER_DESCRIPTOR m_pDescriptor;
    PUNKNOWN m_pVersion;
    BOOLEAN m_bInitCalled;
    std::map<PFILE_OBJECT, CPortPinWaveCyclic*> m_Pins; // each referenced, open or closed

    // Groups notified since the service DPC last ran, each referenced once.
    KSPIN_LOCK m_NotifyLock;
    std::vector<PSERVICEGROUP> m_Pending;
    KDPC m_ServiceDpc;
};

} // namespace pc
} // namespace plat
