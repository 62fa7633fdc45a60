// CTopologyNode: the base of every topology node object. A node is an identifier, a kind and
// an ordered list of source identifiers; those three things are the whole descriptor graph
// that the device base links and the stream objects walk.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "driver/core/topology_node_if.h"

// Source-id arrays of the nodes (paged pool).
#define TOPOLOGY_NODE_POOL_TAG MAKE_POOL_TAG('T', 'o', 'p', 'o')

// Node classes derive from it, add their own interfaces in front and fall back to its
// NonDelegatingQueryInterface for the identifiers they do not answer. Every slot runs at
// PASSIVE_LEVEL: the graph is built and read during device set-up.
class CTopologyNode : public ITopologyNode, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();

    CTopologyNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind);
    ~CTopologyNode() override; // PASSIVE_LEVEL, pageable

    STDMETHODIMP_(ULONG) GetId() override;
    STDMETHODIMP_(ULONG) GetKind() override;
    STDMETHODIMP_(ULONG) GetSourceCount() override;
    STDMETHODIMP_(NTSTATUS) GetSourceIdList(PULONG Count, PULONG Ids) override;
    STDMETHODIMP_(NTSTATUS) RestoreValues() override;
    STDMETHODIMP_(NTSTATUS) SaveValues() override;
    STDMETHODIMP_(NTSTATUS) Start() override;
    STDMETHODIMP_(NTSTATUS) Stop() override;
    STDMETHODIMP_(NTSTATUS) SetSourceIdList(ULONG Count, const ULONG* Ids) override;

protected:
    VOID FreeSourceIds();

    ULONG m_nId;
    ULONG m_nKind; // the mixer node switches it when it enters or leaves pin mode
    ULONG m_nSourceCount;
    PULONG m_pSourceIds; // m_nSourceCount ids, null when there are none
};

// A node class's NonDelegatingQueryInterface on top of CTopologyNode's: its answers first, then
// First for FirstId and Second (may be null: not answered now) for SecondId, each with a
// reference added; any other identifier fails with STATUS_INVALID_PARAMETER. PASSIVE_LEVEL.
NTSTATUS QueryNodeInterface(CTopologyNode* Node, REFIID InterfaceId, PVOID* Interface, REFIID FirstId,
                            PUNKNOWN First, REFIID SecondId, PUNKNOWN Second);
