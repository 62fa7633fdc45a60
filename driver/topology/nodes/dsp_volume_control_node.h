// CDspVolumeControlNode: a class-2 volume control whose gain the driver also applies to the
// stream's samples. It keeps a float gain per channel beside the level, and applies the gains
// only while the selector downstream of it selects the input its path reaches it through. A
// node of one channel holds the master level, whose gain every channel of the stream takes.
#pragma once

#include "driver/core/dsp_node_if.h"
#include "driver/topology/nodes/level_control_node.h"

// The float gains (non-paged: Process reads them at DISPATCH_LEVEL).
#define DSP_VOLUME_POOL_TAG MAKE_POOL_TAG('V', 'T', 'a', 'g')

class CDspVolumeControlNode : public IDspNode, public IConnectionIndexSync, public CVolumeControlNode
{
public:
    DECLARE_STD_UNKNOWN();

    CDspVolumeControlNode(PUNKNOWN UnknownOuter, ULONG Id);
    ~CDspVolumeControlNode() override;

    // InitLevelControlNode, then a gain for every loaded level. PASSIVE_LEVEL.
    NTSTATUS InitDspVolumeControlNode(ITopologyNode* Owner, ULONG Selector, PDEVICE_OBJECT SettingsDevice,
                                      CMutexLock* DeviceLock);

    // The volume node's set, then the channel's gain; a refused set leaves the gain as it was.
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Channel, LONG Level) override;
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify) override;
    // Every channel read back and applied (so the gains follow); a failure is returned.
    STDMETHODIMP_(NTSTATUS) SaveValues() override;

    // IDspNode: Process applies the gains; the rest does nothing.
    STDMETHODIMP_(NTSTATUS) Spare1() override;
    STDMETHODIMP_(NTSTATUS) Spare2() override;
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE Format) override;
    using CVolumeControlNode::Start; // the node's own Start() stays reachable
    STDMETHODIMP_(NTSTATUS) Reset() override;
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Stop() override;

    // IConnectionIndexSync; any IRQL.
    STDMETHODIMP_(NTSTATUS) Spare() override;
    STDMETHODIMP_(NTSTATUS) SetExpectedIndex(ULONG Index) override;
    STDMETHODIMP_(NTSTATUS) SetWalkIndex(ULONG Index) override;

private:
    VOID UpdateGain(ULONG Channel, LONG Level);

    float* m_pGains; // channel count + 1 entries
    ULONG volatile m_nWalkIndex;
    ULONG volatile m_nExpectedIndex;
};
