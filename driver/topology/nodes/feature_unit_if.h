// IFeatureUnitSwitch and IFeatureUnitLevel: how a control node reaches the feature-unit entity
// that owns it. The entity turns each call into a class-specific (or, for selectors from 0x80,
// vendor-specific) control request to its unit; the node keeps the cached value and the
// settings. Channel indexes are the node's, 0-based; the entity maps them to the device's
// logical channels.
#pragma once

#include "ntddk.h"
#include "portcls.h"

struct IAdapterCommon;

// {E8925F52-C174-4A75-B736-30359FCB98DD}
DEFINE_GUID(IID_IFeatureUnitSwitch, 0xE8925F52, 0xC174, 0x4A75, 0xB7, 0x36, 0x30, 0x35, 0x9F, 0xCB, 0x98,
            0xDD);
// {6D006D6A-4586-4EEE-963A-82D6FF13B723}
DEFINE_GUID(IID_IFeatureUnitLevel, 0x6D006D6A, 0x4586, 0x4EEE, 0x96, 0x3A, 0x82, 0xD6, 0xFF, 0x13, 0xB7,
            0x23);

// One-byte controls (mute, automatic gain, loudness, vendor switches and effect enables).
// Implemented by the class-1 and class-2 feature-unit entities; called by the on/off and
// effect control nodes. PASSIVE_LEVEL: every call waits for its control transfer.
DECLARE_INTERFACE_(IFeatureUnitSwitch, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetSwitch)(ULONG Selector, ULONG Channel, PUCHAR Value) PURE;
    STDMETHOD_(NTSTATUS, SetSwitch)(ULONG Selector, ULONG Channel, UCHAR Value) PURE;
    // The number of channels that carry the control; a control the unit lacks fails.
    STDMETHOD_(NTSTATUS, GetControlChannelCount)(ULONG Selector, PULONG Count) PURE;
    // Creates the unit's control nodes and adds them to the device's node list.
    STDMETHOD_(NTSTATUS, BuildFeatureControls)(IAdapterCommon * AdapterCommon) PURE;
};
typedef IFeatureUnitSwitch* PFEATUREUNITSWITCH;

// Ranged controls (volume, tone, input gain pad) in 1/65536 dB; the device's own units are
// converted by the entity. Implemented and called as IFeatureUnitSwitch.
DECLARE_INTERFACE_(IFeatureUnitLevel, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetLevel)(ULONG Selector, ULONG Channel, PLONG Level) PURE;
    STDMETHOD_(NTSTATUS, SetLevel)(ULONG Selector, ULONG Channel, LONG Level) PURE;
    // GET MAX, MIN and RES, in that order; nothing is written unless all three succeed.
    STDMETHOD_(NTSTATUS, GetLevelRange)(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution) PURE;
    STDMETHOD_(NTSTATUS, GetLevelChannelCount)(ULONG Selector, PULONG Count) PURE;
};
typedef IFeatureUnitLevel* PFEATUREUNITLEVEL;
