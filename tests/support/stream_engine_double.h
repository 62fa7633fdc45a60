// The one test double of IStreamEngine. Every slot a test does not override goes to
// Unanswered with its name, which answers DefaultStatus; a test overrides Unanswered to log
// or fail such calls. StreamEngineSlots<CStreamGraph> keeps the real graph records and stubs
// only the engine's own slots; CStreamEngineDouble stubs the whole interface but IUnknown.
#pragma once

#include "driver/core/stream_graph.h"
#include "driver/core/stream_engine_if.h"

namespace sd
{

// A slot a test does not override: it answers through Unanswered with its name.
#define ENGINE_SLOT(Name, ...)                                                                               \
    STDMETHODIMP_(NTSTATUS) Name(__VA_ARGS__) override                                                       \
    {                                                                                                        \
        return Unanswered(#Name);                                                                            \
    }

template <class Base> class StreamEngineSlots : public Base
{
public:
    NTSTATUS DefaultStatus = STATUS_NOT_IMPLEMENTED;

    ENGINE_SLOT(SetName, PCWSTR)
    ENGINE_SLOT(GetName, PWSTR)
    ENGINE_SLOT(SetMiniportCreator, PFNCREATEWAVEMINIPORT, REFCLSID)
    ENGINE_SLOT(SetTopologyPort, PUNKNOWN, PUNKNOWN)
    ENGINE_SLOT(UpdateSubdevice, PDEVICE_OBJECT, PIRP, PUNKNOWN)
    ENGINE_SLOT(UnregisterSubdevice, PDEVICE_OBJECT, PIRP, PUNKNOWN)
    ENGINE_SLOT(FindFormat, PWAVEFORMATEX)
    ENGINE_SLOT(RegisterCallback, PCALLBACK_FUNCTION, PVOID, PVOID*)
    ENGINE_SLOT(UnregisterCallback, PVOID)
    ENGINE_SLOT(PowerChangeState, ULONG)
    ENGINE_SLOT(ProcessBuffer, PVOID, ULONG)
    ENGINE_SLOT(ProcessNodes, PVOID, ULONG)
    ENGINE_SLOT(ProcessNodesFloat, PVOID, ULONG, USHORT)
    ENGINE_SLOT(ProcessListB, PVOID, ULONG)
    ENGINE_SLOT(ProcessListBFloat, ULONG)
    ENGINE_SLOT(ProcessListC, PVOID, ULONG)
    ENGINE_SLOT(ProcessListCFloat, ULONG)
    ENGINE_SLOT(Init, ULONG)

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
    ENGINE_SLOT(GetFormat, ULONG, PWAVEFORMATEXTENSIBLE)
    STDMETHODIMP_(ULONG) GetNodeCount() override { return Unanswered("GetNodeCount"), 0; }
    ENGINE_SLOT(GetNode, ULONG, ITopologyNode**)
};

} // namespace sd
