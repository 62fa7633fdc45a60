// CSoftwareMuteNode: a mute node with no device control behind it. It silences the stream's
// samples itself while its value is set.
#pragma once

#include "driver/topology/nodes/boolean_node.h"
#include "driver/core/dsp_node_if.h"

// Its two value bytes (non-paged: Process reads the first at DISPATCH_LEVEL).
#define SOFTWARE_MUTE_POOL_TAG MAKE_POOL_TAG('D', 'S', 'P', 's')

class CSoftwareMuteNode : public IDspNode, public CBooleanNode
{
public:
    DECLARE_STD_UNKNOWN();

    CSoftwareMuteNode(PUNKNOWN UnknownOuter, ULONG Id) : CBooleanNode(UnknownOuter, Id, NODE_KIND_MUTE) {}

    // Only one channel is possible (any other count: STATUS_INSUFFICIENT_RESOURCES). PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) Init(ULONG SourceId, ULONG ChannelCount) override;

    // IDspNode
    STDMETHODIMP_(NTSTATUS) Spare1() override;
    STDMETHODIMP_(NTSTATUS) Spare2() override;
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE Format) override;
    using CBooleanNode::Start; // the node's own Start() stays reachable
    STDMETHODIMP_(NTSTATUS) Reset() override;
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) Stop() override;
};
