// CTopologyNode's source list and identity, and the graph records of a stream object: its
// node and processing lists with their references, its format lists, the pin type derived
// from its terminals, and its work buffers, each under injected allocation failures.
#include "support/graph_test_doubles.h"

#include "driver/core/pin_type.h"

#include <cstring>

namespace
{

using gd::CFakeDspNode;
using gd::CFakeNode;
using gd::CFakePinTypeSelector;
using gd::CFakeStream;
using gd::CFakeTerminal;
using gd::Make;
using gd::RefCount;

class TopologyNode : public gd::LeakCheckedTest
{
};

class StreamGraph : public gd::LeakCheckedTest
{
protected:
    CFakeStream* NewStream(ULONG capture)
    {
        CFakeStream* stream = Make<CFakeStream>();
        EXPECT_EQ(stream->Init(capture), STATUS_SUCCESS);
        return stream;
    }
};

// A 24-bit format without a channel mask.
WAVEFORMATEXTENSIBLE Format(WORD channels, DWORD rate)
{
    return gd::Pcm(channels, rate, 3, 24, 0);
}

TEST_F(TopologyNode, SourceIdListCopiesWhatTheRoomAllows)
{
    CFakeNode* node = New<CFakeNode>(9u, ULONG(NODE_KIND_MIXER), std::vector<ULONG>{4, 5, 6});
    struct Row
    {
        ULONG Room;
        ULONG CountAfter;
        ULONG Copied;
    };
    // Room given, count returned, ids copied.
    const Row rows[] = {{0, 0, 0}, {2, 2, 2}, {3, 3, 3}, {8, 3, 3}};
    for (const Row& row : rows)
    {
        ULONG ids[8];
        std::fill(std::begin(ids), std::end(ids), 0xEEEEEEEEu);
        ULONG count = row.Room;
        ASSERT_EQ(node->GetSourceIdList(&count, ids), STATUS_SUCCESS);
        EXPECT_EQ(count, row.CountAfter) << "room " << row.Room;
        for (ULONG i = 0; i < 8; i++)
            EXPECT_EQ(ids[i], i < row.Copied ? 4 + i : 0xEEEEEEEEu) << "room " << row.Room << " id " << i;
    }
    ULONG count = 3, ids[3];
    EXPECT_EQ(node->GetSourceIdList(nullptr, ids), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->GetSourceIdList(&count, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->GetId(), 9u);
    EXPECT_EQ(node->GetKind(), ULONG(NODE_KIND_MIXER));
}

TEST_F(TopologyNode, SetSourceIdListReplacesClearsAndRefuses)
{
    CFakeNode* node = New<CFakeNode>(1u, ULONG(NODE_KIND_VOLUME), std::vector<ULONG>{7, 8});
    EXPECT_EQ(plat::PoolLiveBlocks(TOPOLOGY_NODE_POOL_TAG), 1u);

    EXPECT_EQ(node->SetSourceIdList(2, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->GetSourceCount(), 2u) << "a refused call keeps the sources";

    const ULONG three[] = {11, 12, 13};
    ASSERT_EQ(node->SetSourceIdList(3, three), STATUS_SUCCESS);
    EXPECT_EQ(plat::PoolLiveBlocks(TOPOLOGY_NODE_POOL_TAG), 1u) << "the first array is freed";
    ULONG ids[3] = {}, count = 3;
    ASSERT_EQ(node->GetSourceIdList(&count, ids), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(ids, three, sizeof(three)), 0);

    EXPECT_EQ(node->SetSourceIdList(0, three), STATUS_SUCCESS);
    EXPECT_EQ(node->GetSourceCount(), 0u);
    EXPECT_EQ(plat::PoolLiveBlocks(TOPOLOGY_NODE_POOL_TAG), 0u);

    ASSERT_EQ(node->SetSourceIdList(3, three), STATUS_SUCCESS);
    plat::FailAllocationsWithTag(TOPOLOGY_NODE_POOL_TAG);
    EXPECT_EQ(node->SetSourceIdList(1, three), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(node->GetSourceCount(), 0u) << "no memory leaves the node without sources";
}

TEST_F(StreamGraph, NodeIsAddedOnceAndProcessingNodesAlsoJoinTheirList)
{
    CFakeStream* stream = NewStream(STREAM_DIRECTION_RENDER);
    CFakeNode* plain = New<CFakeNode>(1u, ULONG(NODE_KIND_VOLUME));
    CFakeDspNode* dsp = New<CFakeDspNode>(2u);
    CFakeNode* sameId = New<CFakeNode>(2u, ULONG(NODE_KIND_VOLUME));

    EXPECT_EQ(stream->AddNode(plain), STATUS_SUCCESS);
    EXPECT_EQ(stream->AddNode(dsp), STATUS_SUCCESS);
    EXPECT_EQ(stream->AddNode(dsp), STATUS_SUCCESS);
    EXPECT_EQ(stream->AddNode(sameId), STATUS_SUCCESS);
    EXPECT_EQ(stream->AddNode(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->AddProcessingNode(nullptr), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(stream->GetNodeCount(), 2u);
    EXPECT_EQ(RefCount(plain), 2u);
    EXPECT_EQ(RefCount(dsp), 3u) << "creator, node list, processing list";
    EXPECT_EQ(RefCount(sameId), 1u) << "an id already on the path is not added again";
    EXPECT_EQ(stream->ProcessingCount(), 1u);
    EXPECT_EQ(stream->ProcessingNode(0), static_cast<IDspNode*>(dsp));

    ITopologyNode* node = reinterpret_cast<ITopologyNode*>(1);
    ASSERT_EQ(stream->GetNode(1, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, static_cast<ITopologyNode*>(dsp));
    EXPECT_EQ(stream->GetNode(2, &node), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node, nullptr);

    stream->Release();
    EXPECT_EQ(RefCount(dsp), 1u);
}

TEST_F(StreamGraph, FailedAppendsGiveTheirReferencesBack)
{
    struct Row
    {
        ULONG FailNth;
        NTSTATUS Status;
        ULONG Nodes;
        ULONG Processing;
        ULONG RefsAfter;
    };
    // Allocation made to fail, AddNode's result, list lengths, the node's references.
    const Row rows[] = {
        {1, STATUS_INSUFFICIENT_RESOURCES, 0, 0, 1}, // node list entry
        {2, STATUS_SUCCESS, 1, 0, 2},                // processing list entry: not fatal
        {3, STATUS_SUCCESS, 1, 1, 3},                // nothing else allocates
    };
    for (const Row& row : rows)
    {
        CFakeStream* stream = NewStream(STREAM_DIRECTION_RENDER);
        CFakeDspNode* dsp = Make<CFakeDspNode>(4u);
        plat::FailNthAllocation(row.FailNth);
        EXPECT_EQ(stream->AddNode(dsp), row.Status) << "fail #" << row.FailNth;
        plat::ClearPoolFailures();
        EXPECT_EQ(stream->GetNodeCount(), row.Nodes) << "fail #" << row.FailNth;
        EXPECT_EQ(stream->ProcessingCount(), row.Processing) << "fail #" << row.FailNth;
        EXPECT_EQ(RefCount(dsp), row.RefsAfter) << "fail #" << row.FailNth;
        stream->Release();
        dsp->Release();
    }
}

TEST_F(StreamGraph, TwoChannelFormatsAreKeptTwiceAndOfferedAloneToStereoOnlyOutputs)
{
    CFakeStream* stream = NewStream(STREAM_DIRECTION_RENDER);
    const WAVEFORMATEXTENSIBLE stereo = Format(2, 48000), six = Format(6, 48000), stereo44 = Format(2, 44100);
    for (const WAVEFORMATEXTENSIBLE* format : {&stereo, &six, &stereo44})
        ASSERT_EQ(stream->AddFormat(format), STATUS_SUCCESS);
    EXPECT_EQ(stream->AddFormat(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->FullFormatCount(), 3u);
    EXPECT_EQ(stream->TwoChannelFormatCount(), 2u);

    // Stream, no terminal: every format, in the order added.
    WAVEFORMATEXTENSIBLE got;
    EXPECT_EQ(stream->GetFormatCount(), 3u);
    ASSERT_EQ(stream->GetFormat(1, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&got, &six, sizeof(got)), 0);
    EXPECT_EQ(stream->GetFormat(3, &got), STATUS_INVALID_PARAMETER);

    // Headphones: the two-channel list only.
    CFakeTerminal* hp = Make<CFakeTerminal>(7u, ULONG(NODE_KIND_OUTPUT_TERMINAL), ULONG(PIN_TYPE_HP));
    ASSERT_EQ(stream->AddNode(hp), STATUS_SUCCESS);
    EXPECT_EQ(stream->GetFormatCount(), 2u);
    ASSERT_EQ(stream->GetFormat(1, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&got, &stereo44, sizeof(got)), 0);
    EXPECT_EQ(stream->GetFormat(2, &got), STATUS_INVALID_PARAMETER);
    stream->Release();
    hp->Release();

    CFakeStream* bare = Make<CFakeStream>();
    EXPECT_EQ(bare->GetFormatCount(), 0u);
    EXPECT_EQ(bare->GetFormat(0, &got), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare->AddFormat(&stereo), STATUS_UNSUCCESSFUL);
    ITopologyNode* node = nullptr;
    EXPECT_EQ(bare->GetNode(0, &node), STATUS_UNSUCCESSFUL);
    bare->Release();
}

TEST_F(StreamGraph, FailedFormatCopiesLeaveNothingBehind)
{
    struct Row
    {
        USHORT Channels;
        ULONG FailNth;
        ULONG Full;
        ULONG TwoChannel;
    };
    // Channels, allocation made to fail (copy, entry, second copy, second entry), list lengths.
    const Row rows[] = {{6, 1, 0, 0}, {6, 2, 0, 0}, {2, 1, 0, 0}, {2, 2, 0, 0}, {2, 3, 1, 0}, {2, 4, 1, 0}};
    for (const Row& row : rows)
    {
        CFakeStream* stream = NewStream(STREAM_DIRECTION_CAPTURE);
        WAVEFORMATEXTENSIBLE format = Format(row.Channels, 48000);
        plat::FailNthAllocation(row.FailNth);
        EXPECT_EQ(stream->AddFormat(&format), STATUS_INSUFFICIENT_RESOURCES)
            << row.Channels << "/" << row.FailNth;
        plat::ClearPoolFailures();
        EXPECT_EQ(stream->FullFormatCount(), row.Full);
        EXPECT_EQ(stream->TwoChannelFormatCount(), row.TwoChannel);
        stream->Release();
    }
}

TEST_F(StreamGraph, PinTypeComesFromTheTerminalsOnThePath)
{
    struct NodeSpec
    {
        ULONG Kind;
        ULONG PinType;
        bool Answers; // implements the kind's interface
    };
    struct Row
    {
        ULONG Capture;
        std::vector<NodeSpec> Nodes;
        ULONG Expected;
    };
    const ULONG OT = NODE_KIND_OUTPUT_TERMINAL, IT = NODE_KIND_INPUT_TERMINAL,
                PTS = NODE_KIND_PIN_TYPE_SELECTOR;
    // Direction, nodes in list order, pin type reported.
    const Row rows[] = {
        {0, {}, PIN_TYPE_STREAM},
        {0, {{OT, PIN_TYPE_SPK, true}, {OT, PIN_TYPE_HP, true}}, PIN_TYPE_HP},
        {0, {{OT, PIN_TYPE_SPK, true}, {PTS, PIN_TYPE_SPDIF, true}, {OT, PIN_TYPE_HP, true}}, PIN_TYPE_SPDIF},
        {0, {{PTS, PIN_TYPE_SPDIF, false}, {OT, PIN_TYPE_LINE, true}}, PIN_TYPE_LINE},
        {0, {{OT, PIN_TYPE_LINE, false}}, PIN_TYPE_STREAM},
        {0, {{IT, PIN_TYPE_MIC, true}}, PIN_TYPE_STREAM},
        {1, {{IT, PIN_TYPE_MIC, true}, {IT, PIN_TYPE_LINE, true}}, PIN_TYPE_REC},
        {1, {{IT, PIN_TYPE_MIC, true}}, PIN_TYPE_MIC},
        {1,
         {{IT, PIN_TYPE_MIC, true}, {IT, PIN_TYPE_STREAM, true}, {IT, PIN_TYPE_LINE, false}},
         PIN_TYPE_MIC},
        {1, {{OT, PIN_TYPE_SPK, true}}, PIN_TYPE_STREAM},
    };
    for (size_t r = 0; r < std::size(rows); r++)
    {
        const Row& row = rows[r];
        CFakeStream* stream = NewStream(row.Capture);
        std::vector<ITopologyNode*> nodes;
        ULONG id = 1;
        for (const NodeSpec& spec : row.Nodes)
        {
            ITopologyNode* node;
            if (!spec.Answers)
                node = Make<CFakeNode>(id++, spec.Kind);
            else if (spec.Kind == PTS)
                node = Make<CFakePinTypeSelector>(id++, spec.PinType);
            else
                node = Make<CFakeTerminal>(id++, spec.Kind, spec.PinType);
            ASSERT_EQ(stream->AddNode(node), STATUS_SUCCESS);
            nodes.push_back(node);
        }
        EXPECT_EQ(stream->GetPinType(), row.Expected) << "row " << r;
        EXPECT_EQ(stream->GetKind(), row.Capture);
        stream->Release();
        for (ITopologyNode* node : nodes)
            EXPECT_EQ(node->Release(), 0u) << "row " << r << ": the walk leaves no reference behind";
    }
}

TEST_F(StreamGraph, AllocateBuffersCompletesTheSetOnALaterCall)
{
    // The work buffer, the array of channel buffers, then the eight channel buffers.
    for (ULONG failNth = 1; failNth <= 10; failNth++)
    {
        CFakeStream* stream = NewStream(STREAM_DIRECTION_RENDER);
        plat::FailNthAllocation(failNth);
        EXPECT_EQ(stream->AllocateBuffers(), STATUS_INSUFFICIENT_RESOURCES) << "fail #" << failNth;
        plat::ClearPoolFailures();
        ULONGLONG before = plat::PoolAllocationCount();
        EXPECT_EQ(stream->AllocateBuffers(), STATUS_SUCCESS) << "fail #" << failNth;
        EXPECT_EQ(plat::PoolAllocationCount() - before, failNth == 2 ? 9u : 1u)
            << "fail #" << failNth << ": only what is missing is allocated";
        // Four list headers, the work buffer, the array and the eight channel buffers.
        EXPECT_EQ(plat::PoolUsageForTag(STREAM_POOL_TAG).LiveBytes,
                  4 * sizeof(CPointerList) + STREAM_WORK_BUFFER_BYTES + 8 * sizeof(PVOID) +
                      STREAM_CHANNEL_BUFFER_COUNT * STREAM_CHANNEL_BUFFER_BYTES);
        before = plat::PoolAllocationCount();
        EXPECT_EQ(stream->AllocateBuffers(), STATUS_SUCCESS);
        EXPECT_EQ(plat::PoolAllocationCount(), before);
        stream->Release();
    }
}

} // namespace
