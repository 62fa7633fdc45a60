// The topology port of the stand-in port-class library: binds to an IMiniportTopology, checks
// its filter descriptor, serves the filter's handles (properties, events) and keeps the event
// list the miniport fills through IPortEvents.
#pragma once

#include "dispatcher.h"
#include "pc_port_events.h"

namespace plat
{
namespace pc
{

class CPortTopology : public IPortTopology,
                      public IPortEvents,
                      public IUnregisterSubdevice,
                      public IUnregisterPhysicalConnection,
                      public IPcSubdevicePort,
                      public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CPortTopology(PUNKNOWN Outer);
    ~CPortTopology() override;
    // Makes the aggregated version object; the port answers IPortClsVersion through it.
    NTSTATUS Construct();

    // IPort. PASSIVE_LEVEL. The miniport's Init, then its GetDescription, then the descriptor
    // checks; on any failure the port lets the miniport go and stays unbound.
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
         IResourceList* ResourceList) override;

    // IPortEvents
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY EventEntry) override;
    STDMETHODIMP_(void)
    GenerateEventList(GUID* Set, ULONG EventId, BOOL PinFlag, ULONG PinId, BOOL NodeFlag,
                      ULONG NodeId) override;

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

    // Events enabled on the filter's handles now (tests).
    ULONG EnabledEventCount() { return m_Events.Count(); }

private:
    PUNKNOWN MajorTarget() { return m_pMiniport; }
    void Lock();
    void Unlock();

    // Serialises binding, release and the requests that reach the miniport's handlers; a
    // platform mutex, since handlers wait on the device through the platform.
    KMUTEX m_Mutex;
    PMINIPORTTOPOLOGY m_pMiniport; // referenced while bound
    PPCFILTER_DESCRIPTOR m_pDescriptor;
    PUNKNOWN m_pVersion; // the aggregated IPortClsVersion object
    BOOLEAN m_bInitCalled;
    CPortEventList m_Events;
};

} // namespace pc
} // namespace plat
