// CStreamGraph: the part of a stream object that the descriptor walks fill and everyone else
// reads: its direction, the topology nodes on its path, the nodes that process its samples in
// software, its format lists and the pipeline's work buffers. The stream-engine base derives
// from it and adds the subdevice, callback and pipeline slots of IStreamEngine.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "driver/core/pointer_list.h"
#include "driver/core/dsp_node_if.h"
#include "driver/core/topology_node_if.h"
#include "driver/core/stream_engine_if.h"

// List headers, format copies and work buffers of a stream (non-paged pool).
#define STREAM_POOL_TAG MAKE_POOL_TAG('S', 't', 'r', 'e')

constexpr SIZE_T STREAM_WORK_BUFFER_BYTES = 16384;
constexpr ULONG STREAM_CHANNEL_BUFFER_COUNT = 8;
constexpr SIZE_T STREAM_CHANNEL_BUFFER_BYTES = 2048;

// Abstract: the deriving stream class supplies IUnknown and the remaining IStreamEngine slots.
// The lists are built at PASSIVE_LEVEL during device set-up and only read afterwards, so no
// lock guards them; the pipeline walks the processing list only once set-up is complete.
class CStreamGraph : public IStreamEngine
{
public:
    // IStreamEngine slots; PASSIVE_LEVEL. The lookups add no reference.
    STDMETHODIMP_(ULONG) GetKind() override;
    STDMETHODIMP_(ULONG) GetPinType() override;
    STDMETHODIMP_(ULONG) GetFormatCount() override;
    STDMETHODIMP_(NTSTATUS) GetFormat(ULONG Index, PWAVEFORMATEXTENSIBLE Format) override;
    STDMETHODIMP_(ULONG) GetNodeCount() override;
    STDMETHODIMP_(NTSTATUS) GetNode(ULONG Index, ITopologyNode** Node) override;

    // Called by the descriptor walks; PASSIVE_LEVEL, pageable.
    NTSTATUS AddFormat(PCWAVEFORMATEXTENSIBLE Format);
    // Unlinks and frees every format of both lists that Match accepts. PASSIVE_LEVEL, pageable.
    typedef BOOLEAN (*PFN_FORMAT_MATCH)(PCWAVEFORMATEXTENSIBLE Format);
    VOID RemoveFormats(PFN_FORMAT_MATCH Match);
    NTSTATUS AddNode(ITopologyNode* Node);
    NTSTATUS AddProcessingNode(IDspNode* Node);
    NTSTATUS AllocateBuffers();

protected:
    CStreamGraph();
    ~CStreamGraph(); // frees whatever FreeGraph has not

    // The stream's Init: keeps the direction and creates the four lists; on failure the lists
    // made so far are freed again. PASSIVE_LEVEL, pageable.
    NTSTATUS InitGraph(ULONG Capture);
    // Releases the nodes (processing list first), frees the buffers, the format copies and the
    // lists. Safe to call more than once. PASSIVE_LEVEL, pageable.
    VOID FreeGraph();

    ULONG m_nCapture;                 // STREAM_DIRECTION_RENDER or non-zero for capture
    CPointerList* m_pProcessingNodes; // IDspNode*, one reference each, in processing order
    CPointerList* m_pNodes;           // ITopologyNode*, one reference each
    CPointerList* m_pFormats;         // WAVEFORMATEXTENSIBLE copies, owned
    CPointerList* m_pTwoChannelFormats;
    PUCHAR m_pWorkBuffer;       // STREAM_WORK_BUFFER_BYTES
    PUCHAR* m_ppChannelBuffers; // STREAM_CHANNEL_BUFFER_COUNT buffers of STREAM_CHANNEL_BUFFER_BYTES

private:
    CPointerList* ChosenFormatList();
    NTSTATUS AppendFormatCopy(CPointerList* List, PCWAVEFORMATEXTENSIBLE Format);
    static VOID RemoveFormatCopies(CPointerList* List, PFN_FORMAT_MATCH Match);
    BOOLEAN HasNodeWithId(ULONG Id);
    ULONG RenderPinType();
    ULONG CapturePinType();
};
