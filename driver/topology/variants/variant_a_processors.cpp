// CVariantAJackGainProcessor and CVariantAChannelSwapProcessor.
#include "driver/topology/variants/variant_a_processors.h"

#include "driver/topology/nodes/node_processing.h"

STDMETHODIMP_(NTSTATUS)
CVariantAJackGainProcessor::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (!Interface)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IDspNode))
    {
        *Interface = PVOID(static_cast<IDspNode*>(this));
        static_cast<PUNKNOWN>(*Interface)->AddRef();
        return STATUS_SUCCESS;
    }
    *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) CVariantAJackGainProcessor::Reset()
{
    InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_Mode), 0);
    return STATUS_SUCCESS;
}

VOID CVariantAJackGainProcessor::SetMode(ULONG Mode)
{
    InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_Mode), LONG(Mode));
}

STDMETHODIMP_(NTSTATUS)
CVariantAJackGainProcessor::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    return AttenuatorProcess(Format, Data, Frames, m_Mode);
}

STDMETHODIMP_(NTSTATUS)
CVariantAChannelSwapProcessor::Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    return SwapSurroundPairsProcess(Format, Data, Frames);
}
