// IMiniportSubdevice: the private interface of the driver's topology and wave-cyclic miniports
// through which subdevices are named and wave filters are tied to topology pins.
#pragma once

#include "ntddk.h"
#include "portcls.h"

// {1C704CEB-6111-4878-A9AF-0575E1C79F76}
DEFINE_GUID(IID_IMiniportSubdevice, 0x1C704CEB, 0x6111, 0x4878, 0xA9, 0xAF, 0x05, 0x75, 0xE1, 0xC7, 0x9F,
            0x76);

// Implemented by CMiniportTopology and CMiniportWaveCyclic; called by StartDevice and the
// stream objects when they register subdevices and physical connections. PASSIVE_LEVEL.
DECLARE_INTERFACE_(IMiniportSubdevice, IUnknown)
{
    // Topology miniport: *NodeId in, the node id of a wave filter's terminal; *PinId out, the
    // topology pin that carries it. Wave miniport: *NodeId out, the id of the endpoint's
    // terminal node; PinId is not used.
    STDMETHOD_(NTSTATUS, FindPinId)(PULONG NodeId, PULONG PinId) PURE;
    // The subdevice name the miniport keeps ("GlobalTopo", "<endpoint>Wave").
    STDMETHOD_(NTSTATUS, GetSubdeviceName)(PWSTR * Name) PURE;
};
typedef IMiniportSubdevice* PMINIPORTSUBDEVICE;
