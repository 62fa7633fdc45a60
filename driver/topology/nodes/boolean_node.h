// CBooleanNode: the on/off node kinds (mute, automatic gain, loudness, vendor switches). Each
// keeps one byte per channel and the pin type of the output it belongs to; the control nodes
// derive from it and tie the bytes to the device.
#pragma once

#include "driver/core/topology_node.h"

// Value arrays of the on/off nodes (non-paged: the software mute reads them while streaming).
#define BOOLEAN_NODE_POOL_TAG MAKE_POOL_TAG('M', 'T', 'a', 'g')

// Pin types whose nodes expose every channel; the others expose at most two.
BOOLEAN NodePinTypeHasAllChannels(ULONG PinType);

// What the on/off and ranged nodes share. The channels a node of ChannelCount channels shows
// while its output has PinType; any IRQL.
ULONG NodeVisibleChannelCount(ULONG ChannelCount, ULONG PinType);
// Their answer past CTopologyNode: Control for ControlId, PinTypeSink for IID_IPinTypeSink, each
// with a reference; STATUS_INVALID_PARAMETER for anything else. PASSIVE_LEVEL.
NTSTATUS NodeQueryControlOrPinTypeSink(REFIID InterfaceId, PVOID* Interface, REFIID ControlId, PVOID Control,
                                       PVOID PinTypeSink);

// The byte of channel c is values[c]; the array holds channel count + 1 bytes. GetValue and
// the pin type may be read at DISPATCH_LEVEL; everything else runs at PASSIVE_LEVEL.
class CBooleanNode : public IBooleanControl, public IPinTypeSink, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();

    CBooleanNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind);
    ~CBooleanNode() override; // PASSIVE_LEVEL

    // IBooleanControl
    STDMETHODIMP_(NTSTATUS) GetValue(ULONG Channel, PUCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) SetValue(ULONG Channel, UCHAR Value) override;
    STDMETHODIMP_(NTSTATUS) GetChannelCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) Init(ULONG SourceId, ULONG ChannelCount) override;

    // IPinTypeSink: the base only keeps the type.
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify) override;

    ULONG GetPinTypeValue() { return NodeReadPinType(); }

protected:
    // Allocates Bytes zeroed bytes (at least channel count + 1) with Tag and sets the one source.
    NTSTATUS InitValues(ULONG SourceId, ULONG ChannelCount, ULONG Bytes, ULONG Tag);
    VOID FreeValues();
    UCHAR ReadValue(ULONG Channel);
    VOID WriteValue(ULONG Channel, UCHAR Value);
    ULONG NodeReadPinType();
    VOID NodeWritePinType(ULONG PinType);

    ULONG m_nChannelCount;
    PUCHAR m_pValues;
    ULONG volatile m_nPinType;
    ULONG m_nValueTag; // the tag m_pValues was allocated with
};

// The kinds, as the builders create them when no device control stands behind the node.
class CMuteNode : public CBooleanNode
{
public:
    CMuteNode(PUNKNOWN UnknownOuter, ULONG Id) : CBooleanNode(UnknownOuter, Id, NODE_KIND_MUTE) {}
};

class CAgcNode : public CBooleanNode
{
public:
    CAgcNode(PUNKNOWN UnknownOuter, ULONG Id) : CBooleanNode(UnknownOuter, Id, NODE_KIND_AGC) {}
};

class CLoudnessNode : public CBooleanNode
{
public:
    CLoudnessNode(PUNKNOWN UnknownOuter, ULONG Id) : CBooleanNode(UnknownOuter, Id, NODE_KIND_LOUDNESS) {}
};

class CVendorSwitchNode : public CBooleanNode
{
public:
    CVendorSwitchNode(PUNKNOWN UnknownOuter, ULONG Id)
        : CBooleanNode(UnknownOuter, Id, NODE_KIND_VENDOR_SWITCH)
    {
    }
};

class CVariantASwitchNode : public CBooleanNode
{
public:
    CVariantASwitchNode(PUNKNOWN UnknownOuter, ULONG Id)
        : CBooleanNode(UnknownOuter, Id, NODE_KIND_VARIANT_A_SWITCH)
    {
    }
};
