// CTerminalNode: the terminal node kinds. A terminal keeps the pin types it can take (one to
// five), the current one, its jack records and the two pin GUIDs its builder gives it.
#pragma once

#include "driver/core/topology_node.h"

// Pin-type lists and jack records of the terminal nodes (paged).
#define TERMINAL_NODE_POOL_TAG MAKE_POOL_TAG('T', 'e', 'r', 'T')

// PASSIVE_LEVEL throughout.
class CTerminalNode : public ITerminalNode, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();

    CTerminalNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind);
    ~CTerminalNode() override;

    // ITerminalNode
    STDMETHODIMP_(NTSTATUS) GetPinType(PULONG PinType) override;
    STDMETHODIMP_(NTSTATUS) GetPinTypeCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetJackCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetPinTypes(PULONG Types) override;
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType) override;
    STDMETHODIMP_(NTSTATUS) GetJackDescriptions(ULONG Bytes, PVOID Records) override;
    STDMETHODIMP_(NTSTATUS) GetPinGuids(PVOID Guids) override;

protected:
    // Count 1 to TERMINAL_MAX_PIN_TYPES; the first type becomes current. Jacks may be null only
    // when JackCount is 0.
    NTSTATUS InitTerminal(ULONG Count, const ULONG* PinTypes, ULONG JackCount, const VOID* Jacks);
    // Replaces the jack records by JackCount uninitialised records allocated with Tag.
    NTSTATUS AllocateJacks(ULONG JackCount, ULONG Tag);
    VOID FreePinTypes();
    VOID FreeJacks();
    BOOLEAN HasPinType(ULONG PinType);

    ULONG m_nPinTypeCount;
    PULONG m_pPinTypes;
    ULONG volatile m_nPinType;
    ULONG m_nJackCount;
    GUID m_PinGuids[2];
    JackRecord* m_pJacks;
    ULONG m_nJackTag; // the tag m_pJacks was allocated with
};

// Input terminals: no sources. Also the base of the input pin nodes.
class CInputTerminalNode : public CTerminalNode
{
public:
    CInputTerminalNode(PUNKNOWN UnknownOuter, ULONG Id)
        : CTerminalNode(UnknownOuter, Id, NODE_KIND_INPUT_TERMINAL)
    {
    }
    NTSTATUS Init(ULONG Count, const ULONG* PinTypes, ULONG JackCount, const VOID* Jacks); // PASSIVE_LEVEL
};

// Output terminals: one source.
class COutputTerminalNode : public CTerminalNode
{
public:
    COutputTerminalNode(PUNKNOWN UnknownOuter, ULONG Id)
        : CTerminalNode(UnknownOuter, Id, NODE_KIND_OUTPUT_TERMINAL)
    {
    }
    NTSTATUS Init(ULONG SourceId, ULONG Count, const ULONG* PinTypes, ULONG JackCount,
                  const VOID* Jacks); // PASSIVE_LEVEL
};
