// One configurable topology miniport for the tests that drive the port-class library: the test
// chooses its filter descriptor and its Init result, and reads back the calls it saw. Like a
// real topology miniport it keeps its port, and the port's event interface, until it is destroyed.
#pragma once

#include "portcls.h"

#include <string>
#include <vector>

namespace doubles
{

struct TopologyMiniportLog
{
    std::vector<std::string> Calls; // "Init", "GetDescription", "destroyed"
    PPORTTOPOLOGY Port = nullptr;
    PPORTEVENTS Events = nullptr;
    PUNKNOWN Miniport = nullptr;
};

class CTestTopologyMiniport : public IMiniportTopology, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();

    // A new miniport with one non-delegating reference, which the caller owns.
    static PUNKNOWN Create(const PCFILTER_DESCRIPTOR& descriptor, TopologyMiniportLog* log,
                           NTSTATUS initStatus = STATUS_SUCCESS)
    {
        auto object = new (NonPagedPool, 'tsTT') CTestTopologyMiniport(descriptor, log, initStatus);
        object->NonDelegatingAddRef();
        log->Miniport = static_cast<IMiniportTopology*>(object);
        return object->GetNonDelegatingUnknown();
    }

    ~CTestTopologyMiniport() override
    {
        m_Log->Calls.push_back("destroyed");
        if (m_pEvents)
            m_pEvents->Release();
        if (m_pPort)
            m_pPort->Release();
    }
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* d) override
    {
        m_Log->Calls.push_back("GetDescription");
        *d = &m_Descriptor;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port) override
    {
        m_Log->Calls.push_back("Init");
        m_Log->Port = port;
        if (!NT_SUCCESS(m_InitStatus))
            return m_InitStatus;
        m_pPort = port;
        port->AddRef();
        NTSTATUS status = port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&m_pEvents));
        m_Log->Events = m_pEvents;
        return status;
    }

private:
    CTestTopologyMiniport(const PCFILTER_DESCRIPTOR& descriptor, TopologyMiniportLog* log,
                          NTSTATUS initStatus)
        : CUnknown(nullptr), m_Descriptor(descriptor), m_Log(log), m_InitStatus(initStatus)
    {
    }

    PCFILTER_DESCRIPTOR m_Descriptor;
    TopologyMiniportLog* m_Log;
    NTSTATUS m_InitStatus;
    PPORTTOPOLOGY m_pPort = nullptr;
    PPORTEVENTS m_pEvents = nullptr;
};

inline STDMETHODIMP_(NTSTATUS) CTestTopologyMiniport::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (IsEqualGUID(id, IID_IMiniport) || IsEqualGUID(id, IID_IMiniportTopology))
    {
        *out = static_cast<IMiniportTopology*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(id, out);
}

} // namespace doubles
