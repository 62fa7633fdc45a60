// The constant data of the topology miniport that its set-up and its handlers look up: node
// kinds as KS nodes, pin types as KS pins, node names, the pins' data range and the filter's
// categories. Defined in miniport_topology_tables.cpp.
#pragma once

#include "driver/topology/miniport/miniport_topology.h"

// How a node kind appears as a KS node. Selectors and effect nodes need more than their kind
// and are described in code.
struct TopologyNodeKindRow
{
    ULONG Kind;
    const GUID* Type;
    const PCAUTOMATION_TABLE* Automation;
    const GUID* Name; // null: the node is unnamed
};
extern const TopologyNodeKindRow TopologyNodeKindRows[];
extern const ULONG TopologyNodeKindRowCount;

// How a pin type appears as a KS pin, from the system version that names connectors on.
// Indexed by PinType; S/PDIF and line pins may be renamed from the settings.
struct TopologyPinTypeRow
{
    const GUID* Category;
    const GUID* Name;
};
extern const TopologyPinTypeRow TopologyPinTypeRows[];
extern const ULONG TopologyPinTypeRowCount;

// The names the node-name property answers, by node kind.
struct TopologyNodeNameRow
{
    ULONG Kind;
    const GUID* Name;
};
extern const TopologyNodeNameRow TopologyNodeNameRows[];
extern const ULONG TopologyNodeNameRowCount;

// The one data range of every topology pin: analog audio.
extern const PKSDATARANGE TopologyPinDataRanges[];
extern const ULONG TopologyPinDataRangeCount;

extern const GUID TopologyFilterCategories[];
extern const ULONG TopologyFilterCategoryCount;
