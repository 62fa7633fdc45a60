// The event list of a port: the events its clients enabled on filter handles, kept by the
// miniport through IPortEvents::AddEventToEventList and signalled by GenerateEventList.
#pragma once

#include "pc_port_internal.h"
#include "spinlock.h"

namespace plat
{
namespace pc
{

class CPortEventList
{
public:
    CPortEventList();
    // Every entry still enabled is dropped without calling the miniport (its handles are gone).
    ~CPortEventList();
    CPortEventList(const CPortEventList&) = delete;
    CPortEventList& operator=(const CPortEventList&) = delete;

    // IOCTL_KS_ENABLE_EVENT and IOCTL_KS_DISABLE_EVENT on a filter handle; PASSIVE_LEVEL. The
    // item's handler sees PCEVENT_VERB_ADD (enable), _SUPPORT (basic support) or _REMOVE.
    NTSTATUS Enable(PUNKNOWN MajorTarget, const PCFILTER_DESCRIPTOR* Descriptor, PFILE_OBJECT FileObject,
                    PIRP Irp);
    NTSTATUS Disable(PUNKNOWN MajorTarget, PFILE_OBJECT FileObject, PIRP Irp);
    // The handle closes: every entry it enabled is removed (the handler sees _REMOVE).
    void DisableHandle(PUNKNOWN MajorTarget, PFILE_OBJECT FileObject);

    // IPortEvents. Add stops the process for an entry this list did not hand out.
    void Add(PKSEVENT_ENTRY EventEntry);
    void Generate(const GUID* Set, ULONG EventId, BOOL PinFlag, ULONG PinId, BOOL NodeFlag, ULONG NodeId);

    // Entries enabled now (tests).
    ULONG Count();

private:
    PKSEVENT_ENTRY Take(PFILE_OBJECT FileObject, const void* EventData);
    void Remove(PUNKNOWN MajorTarget, PKSEVENT_ENTRY Entry);

    KSPIN_LOCK m_Lock;
    LIST_ENTRY m_Entries;
};

} // namespace pc
} // namespace plat
