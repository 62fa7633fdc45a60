// CBooleanControlNode: an on/off feature-unit control (mute, automatic gain, loudness) tied to
// its unit; CVendorSwitchControlNode: the same for the class-2 vendor switch. Each channel's
// byte is cached, kept in the settings per output pin type, re-read when the device reports a
// change, and switched to the saved set of another pin type when the output changes type.
#pragma once

#include "driver/topology/nodes/boolean_node.h"
#include "driver/topology/nodes/control_binding.h"

// PASSIVE_LEVEL throughout; every value operation holds the device lock.
class CBooleanControlNode : public CBooleanNode
{
public:
    // Kind: NODE_KIND_MUTE, NODE_KIND_AGC, NODE_KIND_LOUDNESS or NODE_KIND_VENDOR_SWITCH.
    CBooleanControlNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind) : CBooleanNode(UnknownOuter, Id, Kind) {}

    // Channel count from the owner's IFeatureUnitSwitch, then each channel's value: the
    // device's, replaced by the saved one, 0 when neither can be read. Nothing is sent.
    NTSTATUS InitControlNode(ITopologyNode* Owner, ULONG Selector, PDEVICE_OBJECT SettingsDevice,
                             CMutexLock* DeviceLock);

    // The device's refusal is returned and leaves the cache and the settings as they were.
    STDMETHODIMP_(NTSTATUS) SetValue(ULONG Channel, UCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify) override;
    // Best effort: a channel the device refuses is skipped, so one stalling control cannot
    // stop the device from starting.
    STDMETHODIMP_(NTSTATUS) RestoreValues() override;
    STDMETHODIMP_(NTSTATUS) SaveValues() override;

protected:
    CControlBinding m_Binding;
};

class CVendorSwitchControlNode : public CBooleanControlNode
{
public:
    CVendorSwitchControlNode(PUNKNOWN UnknownOuter, ULONG Id)
        : CBooleanControlNode(UnknownOuter, Id, NODE_KIND_VENDOR_SWITCH)
    {
    }
};
