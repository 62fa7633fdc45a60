// The jack-sensing model's control nodes of its output unit that also act on the stream: the
// mute and the volume reach the device as class-1 controls do, and on an S/PDIF output, where
// the device passes the data untouched, the driver applies them to the samples itself.
#pragma once

#include "driver/core/dsp_node_if.h"
#include "driver/core/variant_a_registers_if.h"
#include "driver/topology/nodes/boolean_node.h"
#include "driver/topology/nodes/boolean_control_node.h"
#include "driver/topology/nodes/level_control_node.h"

// The gains the volume node keeps.
constexpr ULONG VARIANT_A_VOLUME_GAINS = 8;

// Process at DISPATCH_LEVEL under the stream's lock; the rest as CBooleanControlNode.
class CVariantAMuteControl : public IDspNode, public CBooleanControlNode
{
public:
    DECLARE_STD_UNKNOWN();

    CVariantAMuteControl(PUNKNOWN UnknownOuter, ULONG Id)
        : CBooleanControlNode(UnknownOuter, Id, NODE_KIND_MUTE)
    {
    }

    STDMETHODIMP_(NTSTATUS) Spare1() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Spare2() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE Format) override { return STATUS_SUCCESS; }
    using CBooleanControlNode::Start; // the node's own Start() stays reachable
    STDMETHODIMP_(NTSTATUS) Reset() override { return STATUS_SUCCESS; }
    // Silences the samples while the master mute is on and the output is S/PDIF.
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Stop() override { return STATUS_SUCCESS; }
};

// Keeps one linear gain per channel, 10^(dB / 20), computed with the signal library whenever a
// level changes; Process applies them on an S/PDIF output.
class CVariantAVolumeControl : public IDspNode, public CVolumeControlNode
{
public:
    DECLARE_STD_UNKNOWN();

    CVariantAVolumeControl(PUNKNOWN UnknownOuter, ULONG Id);

    // InitLevelControlNode, then every channel's gain. PASSIVE_LEVEL.
    NTSTATUS InitVariantAVolume(ITopologyNode* Owner, ULONG Selector, PDEVICE_OBJECT SettingsDevice,
                                CMutexLock* DeviceLock);

    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Channel, LONG Level) override;
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify) override;
    STDMETHODIMP_(NTSTATUS) SaveValues() override;

    STDMETHODIMP_(NTSTATUS) Spare1() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Spare2() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE Format) override { return STATUS_SUCCESS; }
    using CVolumeControlNode::Start; // the node's own Start() stays reachable
    STDMETHODIMP_(NTSTATUS) Reset() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Stop() override { return STATUS_SUCCESS; }

    // The gain of a channel (tests and the pipeline). Any IRQL.
    float GetGain(ULONG Channel);

private:
    VOID UpdateGains();

    float volatile m_Gains[VARIANT_A_VOLUME_GAINS];
};

// The S/PDIF input unit's mute: the device mutes the input, and while the record selector passes
// that input (its third) the driver also silences the captured samples.
class CVariantAMuteSwitchControl : public IDspNode, public IConnectionIndexSync, public CBooleanControlNode
{
public:
    DECLARE_STD_UNKNOWN();

    CVariantAMuteSwitchControl(PUNKNOWN UnknownOuter, ULONG Id)
        : CBooleanControlNode(UnknownOuter, Id, NODE_KIND_MUTE), m_nExpectedIndex(0), m_nWalkIndex(0)
    {
    }

    STDMETHODIMP_(NTSTATUS) Spare1() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Spare2() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE Format) override { return STATUS_SUCCESS; }
    using CBooleanControlNode::Start; // the node's own Start() stays reachable
    STDMETHODIMP_(NTSTATUS) Reset() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Stop() override { return STATUS_SUCCESS; }

    // IConnectionIndexSync; any IRQL.
    STDMETHODIMP_(NTSTATUS) Spare() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) SetExpectedIndex(ULONG Index) override;
    STDMETHODIMP_(NTSTATUS) SetWalkIndex(ULONG Index) override;

private:
    ULONG volatile m_nExpectedIndex;
    ULONG volatile m_nWalkIndex;
};

// The mute of the record units on the models whose chip cannot mute them: kept and saved like
// any mute, never sent; the driver silences the samples itself.
class CVariantASoftMuteControl : public IDspNode, public CBooleanControlNode
{
public:
    DECLARE_STD_UNKNOWN();

    CVariantASoftMuteControl(PUNKNOWN UnknownOuter, ULONG Id)
        : CBooleanControlNode(UnknownOuter, Id, NODE_KIND_MUTE)
    {
    }

    // Stores and saves; nothing goes to the device. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) SetValue(ULONG Channel, UCHAR Value) override;
    // There is nothing on the device to restore.
    STDMETHODIMP_(NTSTATUS) RestoreValues() override { return STATUS_SUCCESS; }

    STDMETHODIMP_(NTSTATUS) Spare1() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Spare2() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE Format) override { return STATUS_SUCCESS; }
    using CBooleanControlNode::Start; // the node's own Start() stays reachable
    STDMETHODIMP_(NTSTATUS) Reset() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Stop() override { return STATUS_SUCCESS; }
};

// The on/off switch the 0x28DA model's record units carry: one channel, kept in chip register 1
// (bits 4-5: 0x10 on, 0x30 off) and in the settings.
class CVariantAStateControl : public CVariantASwitchNode
{
public:
    CVariantAStateControl(PUNKNOWN UnknownOuter, ULONG Id)
        : CVariantASwitchNode(UnknownOuter, Id), m_pRegisters(nullptr), m_pSettingsDevice(nullptr)
    {
    }

    // One channel fed from SourceId; the saved value, when there is one, is loaded. PASSIVE_LEVEL.
    NTSTATUS InitStateControl(ULONG SourceId, PDEVICE_OBJECT SettingsDevice, IVariantARegisters* Registers);

    // Channel 0 only.
    STDMETHODIMP_(NTSTATUS) GetValue(ULONG Channel, PUCHAR Value) override;
    // Channel 0 only: the chip first, then the cache and the settings. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) SetValue(ULONG Channel, UCHAR Value) override;

private:
    NTSTATUS AccessSaved(ULONG Operation, PUCHAR Value);

    IVariantARegisters* m_pRegisters;
    PDEVICE_OBJECT m_pSettingsDevice;
};
