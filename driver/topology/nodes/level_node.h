// CLevelNode: the ranged node kinds (volume, input gain pad, bass, mid, treble). Each keeps a
// signed level per channel in 1/65536 dB, the range the device gave, and the pin type of the
// output it belongs to; the control nodes derive from it and tie the levels to the device.
#pragma once

#include "driver/core/topology_node.h"

// Level arrays of the ranged nodes (paged: only passive-level code reads levels).
#define LEVEL_NODE_POOL_TAG MAKE_POOL_TAG('V', 'T', 'a', 'g')

// Index 0 of the level array is the master channel and 1 to the channel count the channels;
// the operations accept channels 0 to the count. PASSIVE_LEVEL.
class CLevelNode : public ILevelControl, public IPinTypeSink, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();

    CLevelNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind);
    ~CLevelNode() override;

    // ILevelControl
    STDMETHODIMP_(NTSTATUS) GetLevel(ULONG Channel, PLONG Level) override;
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG Channel, LONG Level) override;
    STDMETHODIMP_(NTSTATUS) GetRange(PLONG Maximum, PLONG Minimum, PLONG Step) override;
    STDMETHODIMP_(NTSTATUS) GetChannelCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS)
    Init(ULONG SourceId, ULONG ChannelCount, LONG Maximum, LONG Minimum, LONG Step) override;

    // IPinTypeSink: the base only keeps the type.
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify) override;

protected:
    LONG ReadLevel(ULONG Channel);
    VOID WriteLevel(ULONG Channel, LONG Level);
    ULONG NodeReadPinType();
    VOID NodeWritePinType(ULONG PinType);
    VOID FreeLevels();

    ULONG m_nChannelCount;
    PLONG m_pLevels; // channel count + 1 entries
    LONG m_lMaximum;
    LONG m_lMinimum;
    LONG m_lStep;
    ULONG volatile m_nPinType;
};

class CVolumeNode : public CLevelNode
{
public:
    CVolumeNode(PUNKNOWN UnknownOuter, ULONG Id) : CLevelNode(UnknownOuter, Id, NODE_KIND_VOLUME) {}
};

class CInputGainPadNode : public CLevelNode
{
public:
    CInputGainPadNode(PUNKNOWN UnknownOuter, ULONG Id)
        : CLevelNode(UnknownOuter, Id, NODE_KIND_INPUT_GAIN_PAD)
    {
    }
};

class CBassNode : public CLevelNode
{
public:
    CBassNode(PUNKNOWN UnknownOuter, ULONG Id) : CLevelNode(UnknownOuter, Id, NODE_KIND_BASS) {}
};

class CMidNode : public CLevelNode
{
public:
    CMidNode(PUNKNOWN UnknownOuter, ULONG Id) : CLevelNode(UnknownOuter, Id, NODE_KIND_MID) {}
};

class CTrebleNode : public CLevelNode
{
public:
    CTrebleNode(PUNKNOWN UnknownOuter, ULONG Id) : CLevelNode(UnknownOuter, Id, NODE_KIND_TREBLE) {}
};
