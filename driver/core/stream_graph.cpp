// CStreamGraph: the node and format records of a stream object, and the pin type that names
// its endpoint.
#include "driver/core/stream_graph.h"

#include "driver/core/pin_type.h"

namespace
{

CPointerList* NewList()
{
    return new (NonPagedPool, STREAM_POOL_TAG) CPointerList();
}

// List headers are plain records: nothing to destroy, only the block to return.
VOID FreeList(CPointerList** ppList)
{
    if (*ppList)
    {
        ExFreePoolWithTag(*ppList, STREAM_POOL_TAG);
        *ppList = nullptr;
    }
}

VOID ReleaseEntries(CPointerList* pList)
{
    PVOID pData;
    while (pList && pList->RemoveHead(&pData))
    {
        static_cast<IUnknown*>(pData)->Release();
    }
}

VOID FreeEntries(CPointerList* pList)
{
    PVOID pData;
    while (pList && pList->RemoveHead(&pData))
    {
        ExFreePoolWithTag(pData, STREAM_POOL_TAG);
    }
}

PVOID AllocateZeroed(SIZE_T Bytes)
{
    PVOID pBlock = ExAllocatePoolWithTag(NonPagedPool, Bytes, STREAM_POOL_TAG);
    if (pBlock)
    {
        RtlZeroMemory(pBlock, Bytes);
    }
    return pBlock;
}

// Render endpoints that can only carry two channels offer just their two-channel formats.
BOOLEAN IsTwoChannelPinType(ULONG PinType)
{
    return PinType == PIN_TYPE_HP || PinType == PIN_TYPE_SPDIF || PinType == PIN_TYPE_HEADSET ||
           PinType == PIN_TYPE_FHP;
}

} // namespace

CStreamGraph::CStreamGraph()
    : m_nCapture(STREAM_DIRECTION_RENDER), m_pProcessingNodes(nullptr), m_pNodes(nullptr),
      m_pFormats(nullptr), m_pTwoChannelFormats(nullptr), m_pWorkBuffer(nullptr), m_ppChannelBuffers(nullptr)
{
}

CStreamGraph::~CStreamGraph()
{
    FreeGraph();
}

NTSTATUS CStreamGraph::InitGraph(ULONG Capture)
{
    PAGED_CODE();
    m_nCapture = Capture;
    m_pProcessingNodes = NewList();
    m_pNodes = NewList();
    m_pFormats = NewList();
    m_pTwoChannelFormats = NewList();
    if (!m_pProcessingNodes || !m_pNodes || !m_pFormats || !m_pTwoChannelFormats)
    {
        FreeGraph();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

VOID CStreamGraph::FreeGraph()
{
    PAGED_CODE();
    ReleaseEntries(m_pProcessingNodes);
    ReleaseEntries(m_pNodes);
    if (m_pWorkBuffer)
    {
        ExFreePoolWithTag(m_pWorkBuffer, STREAM_POOL_TAG);
        m_pWorkBuffer = nullptr;
    }
    if (m_ppChannelBuffers)
    {
        for (ULONG i = 0; i < STREAM_CHANNEL_BUFFER_COUNT; i++)
        {
            if (m_ppChannelBuffers[i])
            {
                ExFreePoolWithTag(m_ppChannelBuffers[i], STREAM_POOL_TAG);
            }
        }
        ExFreePoolWithTag(m_ppChannelBuffers, STREAM_POOL_TAG);
        m_ppChannelBuffers = nullptr;
    }
    FreeEntries(m_pFormats);
    FreeEntries(m_pTwoChannelFormats);
    FreeList(&m_pProcessingNodes);
    FreeList(&m_pNodes);
    FreeList(&m_pFormats);
    FreeList(&m_pTwoChannelFormats);
}

STDMETHODIMP_(ULONG) CStreamGraph::GetKind()
{
    return m_nCapture;
}

STDMETHODIMP_(ULONG) CStreamGraph::GetPinType()
{
    PAGED_CODE();
    if (!m_pNodes)
    {
        return PIN_TYPE_STREAM;
    }
    return m_nCapture ? CapturePinType() : RenderPinType();
}

// A pin-type selector decides outright; without one the last output terminal does.
ULONG CStreamGraph::RenderPinType()
{
    ULONG answer = PIN_TYPE_STREAM;
    PPOINTER_LIST_NODE position = m_pNodes->GetHeadPosition();
    PVOID pData;
    while (m_pNodes->GetNext(&position, &pData))
    {
        ITopologyNode* pNode = static_cast<ITopologyNode*>(pData);
        ULONG kind = pNode->GetKind();
        if (kind == NODE_KIND_PIN_TYPE_SELECTOR)
        {
            IPinTypeSelector* pSelector = nullptr;
            if (NT_SUCCESS(pNode->QueryInterface(IID_IPinTypeSelector, reinterpret_cast<PVOID*>(&pSelector))))
            {
                ULONG pinType = PIN_TYPE_STREAM;
                pSelector->GetPinType(&pinType);
                pSelector->Release();
                return pinType;
            }
        }
        else if (kind == NODE_KIND_OUTPUT_TERMINAL)
        {
            ITerminalNode* pTerminal = nullptr;
            if (NT_SUCCESS(pNode->QueryInterface(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
            {
                ULONG pinType;
                if (NT_SUCCESS(pTerminal->GetPinType(&pinType)))
                {
                    answer = pinType;
                }
                pTerminal->Release();
            }
        }
    }
    return answer;
}

// One jack names the endpoint after itself; several make it a recording mix.
ULONG CStreamGraph::CapturePinType()
{
    ULONG found = 0;
    ULONG answer = PIN_TYPE_STREAM;
    PPOINTER_LIST_NODE position = m_pNodes->GetHeadPosition();
    PVOID pData;
    while (m_pNodes->GetNext(&position, &pData))
    {
        ITopologyNode* pNode = static_cast<ITopologyNode*>(pData);
        ITerminalNode* pTerminal = nullptr;
        if (pNode->GetKind() != NODE_KIND_INPUT_TERMINAL ||
            !NT_SUCCESS(pNode->QueryInterface(IID_ITerminalNode, reinterpret_cast<PVOID*>(&pTerminal))))
        {
            continue;
        }
        ULONG pinType = PIN_TYPE_STREAM;
        if (NT_SUCCESS(pTerminal->GetPinType(&pinType)) && pinType != PIN_TYPE_STREAM)
        {
            found++;
            answer = pinType;
        }
        pTerminal->Release();
    }
    return found > 1 ? ULONG(PIN_TYPE_REC) : answer;
}

CPointerList* CStreamGraph::ChosenFormatList()
{
    if (m_nCapture == STREAM_DIRECTION_RENDER && IsTwoChannelPinType(GetPinType()))
    {
        return m_pTwoChannelFormats;
    }
    return m_pFormats;
}

STDMETHODIMP_(ULONG) CStreamGraph::GetFormatCount()
{
    PAGED_CODE();
    CPointerList* pList = ChosenFormatList();
    return pList ? pList->GetCount() : 0;
}

STDMETHODIMP_(NTSTATUS) CStreamGraph::GetFormat(ULONG Index, PWAVEFORMATEXTENSIBLE Format)
{
    PAGED_CODE();
    if (!Format)
    {
        return STATUS_INVALID_PARAMETER;
    }
    CPointerList* pList = ChosenFormatList();
    if (!pList)
    {
        return STATUS_UNSUCCESSFUL;
    }
    if (Index >= pList->GetCount())
    {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID pEntry = nullptr;
    if (!pList->GetAt(Index, &pEntry) || !pEntry)
    {
        return STATUS_UNSUCCESSFUL;
    }
    RtlCopyMemory(Format, pEntry, sizeof(WAVEFORMATEXTENSIBLE));
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) CStreamGraph::GetNodeCount()
{
    return m_pNodes ? m_pNodes->GetCount() : 0;
}

STDMETHODIMP_(NTSTATUS) CStreamGraph::GetNode(ULONG Index, ITopologyNode** Node)
{
    PAGED_CODE();
    if (!Node)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Node = nullptr;
    if (!m_pNodes)
    {
        return STATUS_UNSUCCESSFUL;
    }
    PVOID pData = nullptr;
    if (!m_pNodes->GetAt(Index, &pData))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Node = static_cast<ITopologyNode*>(pData);
    return STATUS_SUCCESS;
}

NTSTATUS CStreamGraph::AppendFormatCopy(CPointerList* List, PCWAVEFORMATEXTENSIBLE Format)
{
    PVOID pCopy = ExAllocatePoolWithTag(NonPagedPool, sizeof(WAVEFORMATEXTENSIBLE), STREAM_POOL_TAG);
    if (!pCopy)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(pCopy, Format, sizeof(WAVEFORMATEXTENSIBLE));
    if (!List->AddTail(pCopy))
    {
        ExFreePoolWithTag(pCopy, STREAM_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CStreamGraph::AddFormat(PCWAVEFORMATEXTENSIBLE Format)
{
    PAGED_CODE();
    if (!Format)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pFormats || !m_pTwoChannelFormats)
    {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = AppendFormatCopy(m_pFormats, Format);
    if (NT_SUCCESS(status) && Format->Format.nChannels == 2)
    {
        status = AppendFormatCopy(m_pTwoChannelFormats, Format);
    }
    return status;
}

VOID CStreamGraph::RemoveFormats(PFN_FORMAT_MATCH Match)
{
    PAGED_CODE();
    RemoveFormatCopies(m_pFormats, Match);
    RemoveFormatCopies(m_pTwoChannelFormats, Match);
}

VOID CStreamGraph::RemoveFormatCopies(CPointerList* List, PFN_FORMAT_MATCH Match)
{
    PAGED_CODE();
    PPOINTER_LIST_NODE position = List ? List->GetHeadPosition() : nullptr;
    while (position)
    {
        PPOINTER_LIST_NODE current = position;
        PVOID pData = nullptr;
        List->GetNext(&position, &pData);
        if (Match(static_cast<PCWAVEFORMATEXTENSIBLE>(pData)))
        {
            List->RemoveNode(current);
            ExFreePoolWithTag(pData, STREAM_POOL_TAG);
        }
    }
}

BOOLEAN CStreamGraph::HasNodeWithId(ULONG Id)
{
    PPOINTER_LIST_NODE position = m_pNodes->GetHeadPosition();
    PVOID pData;
    while (m_pNodes->GetNext(&position, &pData))
    {
        if (static_cast<ITopologyNode*>(pData)->GetId() == Id)
        {
            return TRUE;
        }
    }
    return FALSE;
}

// The walks offer a node once per path that reaches the stream; the first offer wins. A node
// that also processes samples joins the processing list, and failing that is not fatal: the
// stream still plays, only without that node's software processing.
NTSTATUS CStreamGraph::AddNode(ITopologyNode* Node)
{
    PAGED_CODE();
    if (!Node)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pNodes)
    {
        return STATUS_UNSUCCESSFUL;
    }
    if (HasNodeWithId(Node->GetId()))
    {
        return STATUS_SUCCESS;
    }
    Node->AddRef();
    if (!m_pNodes->AddTail(Node))
    {
        Node->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IDspNode* pDsp = nullptr;
    if (NT_SUCCESS(Node->QueryInterface(IID_IDspNode, reinterpret_cast<PVOID*>(&pDsp))))
    {
        AddProcessingNode(pDsp);
        pDsp->Release();
    }
    return STATUS_SUCCESS;
}

NTSTATUS CStreamGraph::AddProcessingNode(IDspNode* Node)
{
    PAGED_CODE();
    if (!Node)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pProcessingNodes)
    {
        return STATUS_UNSUCCESSFUL;
    }
    Node->AddRef();
    if (!m_pProcessingNodes->AddTail(Node))
    {
        Node->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Idempotent: a call after a partial failure only allocates what is still missing.
NTSTATUS CStreamGraph::AllocateBuffers()
{
    PAGED_CODE();
    BOOLEAN complete = TRUE;
    if (!m_pWorkBuffer)
    {
        m_pWorkBuffer = static_cast<PUCHAR>(AllocateZeroed(STREAM_WORK_BUFFER_BYTES));
        complete = m_pWorkBuffer != nullptr;
    }
    if (!m_ppChannelBuffers)
    {
        m_ppChannelBuffers =
            static_cast<PUCHAR*>(AllocateZeroed(STREAM_CHANNEL_BUFFER_COUNT * sizeof(PUCHAR)));
        if (!m_ppChannelBuffers)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    for (ULONG i = 0; i < STREAM_CHANNEL_BUFFER_COUNT; i++)
    {
        if (!m_ppChannelBuffers[i])
        {
            m_ppChannelBuffers[i] = static_cast<PUCHAR>(AllocateZeroed(STREAM_CHANNEL_BUFFER_BYTES));
            complete = complete && m_ppChannelBuffers[i] != nullptr;
        }
    }
    return complete ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
