// CUac2ClockSource: a class-2 clock source. It builds the clock node and serves it: the rates
// the clock offers (read from the device as a RANGE of sampling frequencies), the current rate
// and the clock's validity.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/core/mutex_lock.h"
#include "driver/topology/nodes/usb_entity_node.h"

// PASSIVE_LEVEL throughout: every operation waits for its control transfer. The clock node
// holds the device lock around its calls.
class CUac2ClockSource : public IClockSourceNode, public CUsbEntityNode
{
public:
    DECLARE_STD_UNKNOWN();

    CUac2ClockSource(PUNKNOWN UnknownOuter, ULONG Id)
        : CUsbEntityNode(UnknownOuter, Id), m_pDeviceLock(nullptr)
    {
    }

    // As CUac1FeatureUnit::Init, for a class-2 clock-source descriptor.
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                  CMutexLock* DeviceLock);

    // IClockSourceNode. GetSampleRates: *Count in, the room of Rates; out, the rates written.
    // Only single-rate sub-ranges are rates the driver can offer; the others are left out and
    // the rates after them move up, so every rate written is one the device listed. A clock
    // with sub-ranges but none of a single rate: STATUS_INVALID_PARAMETER.
    STDMETHODIMP_(NTSTATUS) GetSampleRates(PULONG Count, PULONG Rates) override;
    // wNumSubRanges of the device's RANGE reply.
    STDMETHODIMP_(NTSTATUS) GetSampleRateCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) SetSampleRate(ULONG Rate) override;
    STDMETHODIMP_(NTSTATUS) GetSampleRate(PULONG Rate) override;
    STDMETHODIMP_(NTSTATUS) IsClockValid(PUCHAR Valid) override;
    // The entity keeps no rates of its own: its node holds them.
    STDMETHODIMP_(NTSTATUS) Init(ULONG Count, const ULONG* Rates) override;

    // Entity id and kind from the descriptor, then the clock node.
    NTSTATUS BuildClockNode(IAdapterCommon* AdapterCommon);

private:
    UCHAR ClockId() const { return m_pDescriptor ? m_pDescriptor[3] : 0; }

    CMutexLock* m_pDeviceLock;
};
