// The topology port of the stand-in port-class library: binds to an IMiniportTopology, checks
// its filter descriptor, serves the filter's handles (properties, events) and keeps the event
// list the miniport fills through IPortEvents.
#pragma once

#include "pc_port_base.h"
#include "pc_port_events.h"

namespace plat
{
namespace pc
{

class CPortTopology : public IPortTopology, public IPortEvents, public CPortBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CPortTopology(PUNKNOWN Outer);
    ~CPortTopology() override;

    // IPort. PASSIVE_LEVEL. Binds an IMiniportTopology (CPortBase::InitPort) and refuses the rest.
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
         IResourceList* ResourceList) override;

    // IPortEvents
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY EventEntry) override;
    STDMETHODIMP_(void)
    GenerateEventList(GUID* Set, ULONG EventId, BOOL PinFlag, ULONG PinId, BOOL NodeFlag,
                      ULONG NodeId) override;

    // IPcSubdevicePort: the handles of the filter; the rest is the base's.
    STDMETHODIMP_(NTSTATUS) OpenHandle(PFILE_OBJECT FileObject, const std::u16string& Rest) override;
    STDMETHODIMP_(void) CloseHandle(PFILE_OBJECT FileObject) override;
    STDMETHODIMP_(NTSTATUS) DeviceControl(PFILE_OBJECT FileObject, PIRP Irp) override;

    // Events enabled on the filter's handles now (tests).
    ULONG EnabledEventCount() { return m_Events.Count(); }

private:
    NTSTATUS InitMiniport(PMINIPORT Miniport, PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) override;
    PUNKNOWN MajorTarget() { return m_pMiniport; }

    CPortEventList m_Events;
};

} // namespace pc
} // namespace plat
