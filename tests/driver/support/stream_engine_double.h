// The one test double of IStreamEngine. Every slot a test does not override goes to
// Unanswered with its name, which answers DefaultStatus; a test overrides Unanswered to log
// or fail such calls. StreamEngineSlots<CStreamGraph> keeps the real graph records and stubs
// only the engine's own slots; CStreamEngineDouble stubs the whole interface but IUnknown.
#pragma once

#include "driver/adapter/stream_graph.h"
#include "driver/wave/stream_engine_if.h"

namespace sd
{

template <class Base> class StreamEngineSlots : public Base
{
public:
    NTSTATUS DefaultStatus = STATUS_NOT_IMPLEMENTED;

    STDMETHODIMP_(NTSTATUS) SetName(PCWSTR) override { return Unanswered("SetName"); }
    STDMETHODIMP_(NTSTATUS) GetName(PWSTR) override { return Unanswered("GetName"); }
    STDMETHODIMP_(NTSTATUS) SetMiniportCreator(PFNCREATEWAVEMINIPORT, REFCLSID) override
    {
        return Unanswered("SetMiniportCreator");
    }
    STDMETHODIMP_(NTSTATUS) SetTopologyPort(PUNKNOWN, PUNKNOWN) override
    {
        return Unanswered("SetTopologyPort");
    }
    STDMETHODIMP_(NTSTATUS) UpdateSubdevice(PDEVICE_OBJECT, PIRP, PUNKNOWN) override
    {
        return Unanswered("UpdateSubdevice");
    }
    STDMETHODIMP_(NTSTATUS) UnregisterSubdevice(PDEVICE_OBJECT, PIRP, PUNKNOWN) override
    {
        return Unanswered("UnregisterSubdevice");
    }
    STDMETHODIMP_(NTSTATUS) FindFormat(PWAVEFORMATEX) override { return Unanswered("FindFormat"); }
    STDMETHODIMP_(NTSTATUS) RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID*) override
    {
        return Unanswered("RegisterCallback");
    }
    STDMETHODIMP_(NTSTATUS) UnregisterCallback(PVOID) override { return Unanswered("UnregisterCallback"); }
    STDMETHODIMP_(NTSTATUS) PowerChangeState(ULONG) override { return Unanswered("PowerChangeState"); }
    STDMETHODIMP_(NTSTATUS) ProcessBuffer(PVOID, ULONG) override { return Unanswered("ProcessBuffer"); }
    STDMETHODIMP_(NTSTATUS) ProcessNodes(PVOID, ULONG) override { return Unanswered("ProcessNodes"); }
    STDMETHODIMP_(NTSTATUS) ProcessNodesFloat(PVOID, ULONG, USHORT) override
    {
        return Unanswered("ProcessNodesFloat");
    }
    STDMETHODIMP_(NTSTATUS) ProcessListB(PVOID, ULONG) override { return Unanswered("ProcessListB"); }
    STDMETHODIMP_(NTSTATUS) ProcessListBFloat(ULONG) override { return Unanswered("ProcessListBFloat"); }
    STDMETHODIMP_(NTSTATUS) ProcessListC(PVOID, ULONG) override { return Unanswered("ProcessListC"); }
    STDMETHODIMP_(NTSTATUS) ProcessListCFloat(ULONG) override { return Unanswered("ProcessListCFloat"); }
    STDMETHODIMP_(NTSTATUS) Init(ULONG) override { return Unanswered("Init"); }

protected:
    virtual NTSTATUS Unanswered(const char*) { return DefaultStatus; }
};

// The graph slots answer an endpoint with no nodes and no formats of kind and pin type 0.
class CStreamEngineDouble : public StreamEngineSlots<IStreamEngine>
{
public:
    STDMETHODIMP_(ULONG) GetKind() override { return Unanswered("GetKind"), 0; }
    STDMETHODIMP_(ULONG) GetPinType() override { return Unanswered("GetPinType"), 0; }
    STDMETHODIMP_(ULONG) GetFormatCount() override { return Unanswered("GetFormatCount"), 0; }
    STDMETHODIMP_(NTSTATUS) GetFormat(ULONG, PWAVEFORMATEXTENSIBLE) override
    {
        return Unanswered("GetFormat");
    }
    STDMETHODIMP_(ULONG) GetNodeCount() override { return Unanswered("GetNodeCount"), 0; }
    STDMETHODIMP_(NTSTATUS) GetNode(ULONG, ITopologyNode**) override { return Unanswered("GetNode"); }
};

} // namespace sd
