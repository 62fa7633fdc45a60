// The jack-sensing model's stream processing objects: the jack-gain attenuator that the
// jack-sense thread switches (pass, a quarter, silence) and the surround-pair swap for the
// models whose side and back outputs are wired the other way round.
#pragma once

#include "driver/core/dsp_node_if.h"
#include "driver/topology/variants/variant_a_units.h"

// Process runs at DISPATCH_LEVEL under the stream's lock (resident); the mode is one aligned
// word written by the jack-sense thread and read by the pipeline.
class CVariantAJackGainProcessor : public IDspNode, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();

    explicit CVariantAJackGainProcessor(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter), m_Mode(0) {}

    STDMETHODIMP_(NTSTATUS) Spare1() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Spare2() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE Format) override { return STATUS_SUCCESS; }
    // Back to passing the samples.
    STDMETHODIMP_(NTSTATUS) Reset() override;
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Stop() override { return STATUS_SUCCESS; }

    // 0 pass, 1 a quarter, 2 silence. Any IRQL.
    VOID SetMode(ULONG Mode);
    ULONG GetMode() const { return m_Mode; }

protected:
    ULONG volatile m_Mode;
};

// No state: the swap is fixed.
class CVariantAChannelSwapProcessor : public CVariantAJackGainProcessor
{
public:
    explicit CVariantAChannelSwapProcessor(PUNKNOWN UnknownOuter) : CVariantAJackGainProcessor(UnknownOuter)
    {
    }

    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
};
