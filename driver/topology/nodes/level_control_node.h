// The ranged feature-unit controls tied to their unit: CVolumeControlNode (volume),
// CToneControlNode (bass, mid, treble) and CInputGainPadControlNode (class-2 input gain pad).
// Levels are in 1/65536 dB; 0x80000000 stands for silence. Each channel's level is cached,
// kept in the settings per output pin type, re-read on a device report and switched with
// the output's pin type.
#pragma once

#include "driver/topology/nodes/control_binding.h"
#include "driver/topology/nodes/level_node.h"

// The lowest level: silence (minus infinity).
constexpr LONG LEVEL_SILENCE = LONG(0x80000000);

// Level truncated toward zero to a multiple of Step (a step below 1 counts as 1).
LONG TruncateLevelToStep(LONG Level, LONG Step);

// PASSIVE_LEVEL throughout; every value operation holds the device lock.
class CVolumeControlNode : public CLevelNode
{
public:
    CVolumeControlNode(PUNKNOWN UnknownOuter, ULONG Id) : CLevelNode(UnknownOuter, Id, NODE_KIND_VOLUME) {}

    // Channel count and range from the owner's IFeatureUnitLevel (a resolution of 0 counts as
    // 1), then each channel's level: the device's, replaced by the saved one, 0 when neither
    // can be read. Nothing is sent.
    NTSTATUS InitLevelControlNode(ITopologyNode* Owner, ULONG Selector, PDEVICE_OBJECT SettingsDevice,
                                  CMutexLock* DeviceLock);

    // Channels 0 to count - 1 (the device's channels).
    STDMETHODIMP_(NTSTATUS) GetLevel(ULONG Channel, PLONG Level) override;
    // Clamped into the range for the cache, truncated to the step for the device. The device's
    // refusal is returned and leaves the cache and the settings as they were.
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Channel, LONG Level) override;
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify) override;
    // Best effort, as for the on/off nodes.
    STDMETHODIMP_(NTSTATUS) RestoreValues() override;
    // Takes every channel whose device level differs from the cache; STATUS_UNSUCCESSFUL when
    // none did, so that no change is reported.
    STDMETHODIMP_(NTSTATUS) SaveValues() override;

protected:
    CVolumeControlNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind) : CLevelNode(UnknownOuter, Id, Kind) {}

    // What the cache keeps and what the device gets for a requested level.
    virtual VOID MapLevel(LONG Requested, PLONG Cached, PLONG Device);
    // One channel: the request, then on success the cache and the settings.
    NTSTATUS SendLevel(ULONG Channel, LONG Cached, LONG Device);
    // Reads every channel from the device into the cache and the settings.
    NTSTATUS ReadBackLevels();
    LONG ClampLevel(LONG Level);

    CControlBinding m_Binding;
};

// Kind: NODE_KIND_BASS, NODE_KIND_MID or NODE_KIND_TREBLE.
class CToneControlNode : public CVolumeControlNode
{
public:
    CToneControlNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind) : CVolumeControlNode(UnknownOuter, Id, Kind)
    {
    }

    // Every channel is re-read and saved; a failed read is returned.
    STDMETHODIMP_(NTSTATUS) SaveValues() override;

protected:
    // Silence stays in the cache while the device gets its lowest level.
    VOID MapLevel(LONG Requested, PLONG Cached, PLONG Device) override;
};

class CInputGainPadControlNode : public CToneControlNode
{
public:
    // Channel value meaning every channel at once.
    static constexpr ULONG ALL_CHANNELS = 0xFFFFFFFF;

    CInputGainPadControlNode(PUNKNOWN UnknownOuter, ULONG Id)
        : CToneControlNode(UnknownOuter, Id, NODE_KIND_INPUT_GAIN_PAD)
    {
    }

    // ALL_CHANNELS reads channel 0.
    STDMETHODIMP_(NTSTATUS) GetLevel(ULONG Channel, PLONG Level) override;
    // ALL_CHANNELS sets every channel in order from 0, up to the first refusal, which is
    // returned (the channels before it keep their new level).
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Channel, LONG Level) override;

protected:
    // Silence becomes the lowest level, for the cache as for the device.
    VOID MapLevel(LONG Requested, PLONG Cached, PLONG Device) override;
};
