// Port and miniport interfaces of the stand-in port-class library: the topology port and the
// miniport it drives, the port's event list for the miniport, and the power notification a
// miniport may answer. IPort, PcNewPort and subdevice registration are in pc_subdevice.h.
#pragma once

#include "pc_adapter.h"
#include "pc_descriptors.h"
#include "pc_subdevice.h"

// {B4C90A30-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IPortTopology, 0xB4C90A30, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
// {B4C90A24-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IMiniport, 0xB4C90A24, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
// {B4C90A31-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IMiniportTopology, 0xB4C90A31, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5,
            0x44);
// {B4C90A26-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IPortWaveCyclic, 0xB4C90A26, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
// {B4C90A27-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IMiniportWaveCyclic, 0xB4C90A27, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5,
            0x44);
// {A80F29C4-5498-11D2-95D9-00C04FB925D3}
DEFINE_GUID(IID_IPortEvents, 0xA80F29C4, 0x5498, 0x11D2, 0x95, 0xD9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
// {3DD648B8-969F-11D1-95A9-00C04FB925D3}
DEFINE_GUID(IID_IPowerNotify, 0x3DD648B8, 0x969F, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);

// The topology port adds nothing to IPort; a miniport keeps it to reach the port's other
// interfaces (IPortEvents).
DECLARE_INTERFACE_(IPortTopology, IPort){};
typedef IPortTopology* PPORTTOPOLOGY;

// What every miniport answers. The port calls GetDescription once, after the miniport's Init,
// and uses the descriptor (which stays the miniport's) for the life of the port. PASSIVE_LEVEL.
DECLARE_INTERFACE_(IMiniport, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetDescription)(PPCFILTER_DESCRIPTOR * Description) PURE;
    STDMETHOD_(NTSTATUS, DataRangeIntersection)
    (ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,
     PVOID ResultantFormat, PULONG ResultantFormatLength) PURE;
};
typedef IMiniport* PMINIPORT;

// PASSIVE_LEVEL. Called once by IPort::Init; a failure fails the port's Init.
DECLARE_INTERFACE_(IMiniportTopology, IMiniport)
{
    STDMETHOD_(NTSTATUS, Init)(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) PURE;
};
typedef IMiniportTopology* PMINIPORTTOPOLOGY;

// The port's list of enabled events. AddEventToEventList keeps an entry that the miniport's
// event handler was given with PCEVENT_VERB_ADD. GenerateEventList signals every kept entry of
// the set and id, restricted to one pin when PinFlag and to one node when NodeFlag; it may be
// called at IRQL <= DISPATCH_LEVEL from any thread, and calls into nothing of the miniport's.
DECLARE_INTERFACE_(IPortEvents, IUnknown)
{
    STDMETHOD_(void, AddEventToEventList)(PKSEVENT_ENTRY EventEntry) PURE;
    STDMETHOD_(void, GenerateEventList)
    (GUID * Set, ULONG EventId, BOOL PinFlag, ULONG PinId, BOOL NodeFlag, ULONG NodeId) PURE;
};
typedef IPortEvents* PPORTEVENTS;

// Answered by a miniport that wants to hear of device power changes; the port calls it at
// PASSIVE_LEVEL after the adapter's IAdapterPowerManagement::PowerChangeState.
DECLARE_INTERFACE_(IPowerNotify, IUnknown)
{
    STDMETHOD_(void, PowerChangeNotify)(POWER_STATE PowerState) PURE;
};
typedef IPowerNotify* PPOWERNOTIFY;
