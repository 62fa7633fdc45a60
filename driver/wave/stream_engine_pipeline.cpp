// The sample pipeline of a stream object. Every transfer buffer passes through it on its way to
// or from the device: interleaved PCM of the stream's format becomes one float buffer per
// channel, the processing nodes (then lists B and C) work on those buffers in place, and the
// result is converted back into the transfer buffer, in passes of at most 512 frames. Streams
// of any other format hand the nodes the interleaved bytes of each pass instead.
//
// All of it runs at DISPATCH_LEVEL in the transfer paths: resident, no allocation (the scratch
// and channel buffers come with the stream object), the lists read under the stream spin lock.
#include "driver/wave/stream_engine.h"

#include <xmmintrin.h>

#include "driver/core/spin_lock_hold.h"
#include "driver/primitives/sp_lib.h"
#include "driver/topology/nodes/node_processing.h"

namespace
{

constexpr USHORT FORMAT_CODE_PCM = 1;
constexpr USHORT FORMAT_CODE_IEEE_FLOAT = 3;

// Which lists a pipeline run walks.
constexpr ULONG STAGE_NODES = 1;
constexpr ULONG STAGE_LIST_B = 2;
constexpr ULONG STAGE_LIST_C = 4;

constexpr unsigned MXCSR_FLUSH_TO_ZERO = 0x8000;
constexpr unsigned MXCSR_ROUNDING = 0x6000; // 0: round to nearest

constexpr float SCALE_24_BIT = 8388608.0f; // 2^23

// Denormal samples would slow the nodes down by orders of magnitude, and the conversions and
// nodes expect round-to-nearest; the caller's control word (and the flags it holds) comes back
// whatever the processing raised.
class CPipelineFloatMode
{
public:
    CPipelineFloatMode() : m_nSaved(_mm_getcsr())
    {
        _mm_setcsr((m_nSaved & ~MXCSR_ROUNDING) | MXCSR_FLUSH_TO_ZERO);
    }
    ~CPipelineFloatMode() { _mm_setcsr(m_nSaved); }

private:
    unsigned m_nSaved;
};

BOOLEAN HasEntries(CPointerList* List)
{
    return List && !List->IsEmpty();
}

BOOLEAN PassFits(ULONG Frames, PCWAVEFORMATEXTENSIBLE Format)
{
    const ULONG channels = Format->Format.nChannels;
    return channels > 0 && channels <= STREAM_CHANNEL_BUFFER_COUNT && Frames <= PIPELINE_PASS_FRAMES;
}

// 32-bit float samples are already what the channel buffers hold: their bits must never be
// read as integers and scaled.
BOOLEAN IsFloat32(PCWAVEFORMATEXTENSIBLE Format)
{
    return NodeFormatCode(Format) == FORMAT_CODE_IEEE_FLOAT && Format->Format.wBitsPerSample == 32;
}

// What both conversions need before they touch a sample: every buffer, and a pass whose
// sample count fits.
NTSTATUS CheckConversion(const VOID* Samples, float* const* Channels, const float* Scratch, ULONG Frames,
                         PCWAVEFORMATEXTENSIBLE Format)
{
    if (!Samples || !Channels || !Scratch || !Format)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return PassFits(Frames, Format) ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

} // namespace

NTSTATUS ConvertToFloat(PVOID Source, float* const* Channels, float* Scratch, ULONG Frames,
                        PCWAVEFORMATEXTENSIBLE Format)
{
    const NTSTATUS status = CheckConversion(Source, Channels, Scratch, Frames, Format);
    if (!NT_SUCCESS(status) || Frames == 0)
    {
        return status;
    }
    const int32_t channels = Format->Format.nChannels;
    const int32_t samples = channels * int32_t(Frames);
    if (IsFloat32(Format))
    {
        SpDeinterleave32(static_cast<const float*>(Source), channels, int32_t(Frames), Channels);
        return STATUS_SUCCESS;
    }
    switch (Format->Format.wBitsPerSample)
    {
    case 16:
        SpConvertI16ToF32(static_cast<const int16_t*>(Source), Scratch, samples, 15);
        break;
    case 24:
        SpConvertI24ToF32(static_cast<const uint8_t*>(Source), Scratch, samples);
        SpDivConstInPlaceF32(SCALE_24_BIT, Scratch, samples);
        break;
    case 32:
        SpConvertI32ToF32Scaled(static_cast<const int32_t*>(Source), Scratch, samples, 31);
        break;
    default:
        // Nothing to convert: the nodes see silence rather than an earlier buffer's samples.
        SpZeroF32(Scratch, samples);
        break;
    }
    SpDeinterleave32(Scratch, channels, int32_t(Frames), Channels);
    return STATUS_SUCCESS;
}

NTSTATUS ConvertFromFloat(PVOID Destination, float* const* Channels, float* Scratch, ULONG Frames,
                          PCWAVEFORMATEXTENSIBLE Format)
{
    const NTSTATUS status = CheckConversion(Destination, Channels, Scratch, Frames, Format);
    if (!NT_SUCCESS(status) || Frames == 0)
    {
        return status;
    }
    const int32_t channels = Format->Format.nChannels;
    const int32_t samples = channels * int32_t(Frames);
    if (IsFloat32(Format))
    {
        SpInterleave32(Channels, channels, int32_t(Frames), static_cast<float*>(Destination));
        return STATUS_SUCCESS;
    }
    SpInterleave32(Channels, channels, int32_t(Frames), Scratch);
    switch (Format->Format.wBitsPerSample)
    {
    case 16:
        SpConvertF32ToI16(Scratch, static_cast<int16_t*>(Destination), samples, SpRoundZero, -15);
        break;
    case 24:
        SpConvertF32ToI24(Scratch, static_cast<uint8_t*>(Destination), samples, -23);
        break;
    case 32:
        SpConvertF32ToI32(Scratch, static_cast<int32_t*>(Destination), samples, SpRoundZero, -31);
        break;
    default:
        break;
    }
    return STATUS_SUCCESS;
}

// A transfer length that is not a whole number of frames would shift every later sample
// between channels; it is refused before anything is touched. Before the stream has been given
// a format there are no frames to count at all.
NTSTATUS CStreamEngine::CountFrames(ULONG LengthBytes, PULONG Frames)
{
    const ULONG blockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
    if (blockAlign == 0)
    {
        return STATUS_NOT_SUPPORTED;
    }
    if (LengthBytes % blockAlign != 0)
    {
        DbgPrint("0 != lBufSize(%d) Div m_CurrentWaveFormat.Format.nBlockAlign(%d) \n", LengthBytes,
                 blockAlign);
        return STATUS_UNSUCCESSFUL;
    }
    *Frames = LengthBytes / blockAlign;
    return STATUS_SUCCESS;
}

// The stages of the given set whose list has entries. Under the stream spin lock.
ULONG CStreamEngine::PendingStages(ULONG Stages)
{
    ULONG pending = 0;
    if ((Stages & STAGE_NODES) && HasEntries(m_pProcessingNodes))
    {
        pending |= STAGE_NODES;
    }
    if ((Stages & STAGE_LIST_B) && HasEntries(m_pListB))
    {
        pending |= STAGE_LIST_B;
    }
    if ((Stages & STAGE_LIST_C) && HasEntries(m_pListC))
    {
        pending |= STAGE_LIST_C;
    }
    return pending;
}

BOOLEAN CStreamEngine::HasPcmBuffers()
{
    if (!m_pWorkBuffer || !m_ppChannelBuffers)
    {
        return FALSE;
    }
    for (ULONG c = 0; c < STREAM_CHANNEL_BUFFER_COUNT; c++)
    {
        if (!m_ppChannelBuffers[c])
        {
            return FALSE;
        }
    }
    return TRUE;
}

NTSTATUS CStreamEngine::RunPipeline(PVOID Buffer, ULONG LengthBytes, ULONG Stages)
{
    ULONG frames = 0;
    NTSTATUS status = CountFrames(LengthBytes, &frames);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    CPipelineFloatMode floatMode;
    CSpinLockHold lock(&m_StreamLock);
    Stages = PendingStages(Stages);
    if (Stages == 0 || frames == 0)
    {
        return STATUS_SUCCESS;
    }
    if (!Buffer)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return RunPasses(static_cast<PUCHAR>(Buffer), frames, Stages);
}

// Lists B and C take part only in PCM streams; the nodes see every format.
NTSTATUS CStreamEngine::RunPasses(PUCHAR Buffer, ULONG Frames, ULONG Stages)
{
    const USHORT code = NodeFormatCode(&m_CurrentWaveFormat);
    const BOOLEAN pcm = code == FORMAT_CODE_PCM;
    if (!pcm)
    {
        Stages &= STAGE_NODES;
        if (Stages == 0)
        {
            return STATUS_SUCCESS;
        }
    }
    // More channels than the stream has buffers for, or buffers that never came: there is no
    // room to convert, and the samples pass as they are.
    if (pcm && (!HasPcmBuffers() || !PassFits(PIPELINE_PASS_FRAMES, &m_CurrentWaveFormat)))
    {
        return STATUS_NOT_SUPPORTED;
    }
    const ULONG blockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
    NTSTATUS status = STATUS_SUCCESS;
    while (Frames > 0)
    {
        const ULONG pass = Frames < PIPELINE_PASS_FRAMES ? Frames : PIPELINE_PASS_FRAMES;
        status = pcm ? RunPcmPass(Buffer, pass, Stages) : ProcessNodesFloat(Buffer, pass, code);
        if (!NT_SUCCESS(status))
        {
            break;
        }
        Buffer += SIZE_T(pass) * blockAlign;
        Frames -= pass;
    }
    return status;
}

// A failing stage leaves the pass as it was before the pass began: it is not converted back.
NTSTATUS CStreamEngine::RunPcmPass(PUCHAR Buffer, ULONG Frames, ULONG Stages)
{
    float* const* channels = reinterpret_cast<float* const*>(m_ppChannelBuffers);
    float* scratch = reinterpret_cast<float*>(m_pWorkBuffer);
    NTSTATUS status = ConvertToFloat(Buffer, channels, scratch, Frames, &m_CurrentWaveFormat);
    if (NT_SUCCESS(status) && (Stages & STAGE_NODES))
    {
        status = ProcessNodesFloat(Buffer, Frames, FORMAT_CODE_PCM);
    }
    if (NT_SUCCESS(status) && (Stages & STAGE_LIST_B))
    {
        status = ProcessListBFloat(Frames);
    }
    if (NT_SUCCESS(status) && (Stages & STAGE_LIST_C))
    {
        status = ProcessListCFloat(Frames);
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    NTSTATUS converted = ConvertFromFloat(Buffer, channels, scratch, Frames, &m_CurrentWaveFormat);
    return NT_SUCCESS(converted) ? status : converted;
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::ProcessBuffer(PVOID Buffer, ULONG LengthBytes)
{
    return RunPipeline(Buffer, LengthBytes, STAGE_NODES | STAGE_LIST_B | STAGE_LIST_C);
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::ProcessNodes(PVOID Buffer, ULONG LengthBytes)
{
    if (!HasEntries(m_pProcessingNodes))
    {
        return STATUS_SUCCESS;
    }
    return RunPipeline(Buffer, LengthBytes, STAGE_NODES);
}

// Lists B and C run on the float channel buffers, pass by pass, as the processing contract
// asks of every object; streams of other formats do not run them.
STDMETHODIMP_(NTSTATUS) CStreamEngine::ProcessListB(PVOID Buffer, ULONG LengthBytes)
{
    return RunPipeline(Buffer, LengthBytes, STAGE_LIST_B);
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::ProcessListC(PVOID Buffer, ULONG LengthBytes)
{
    return RunPipeline(Buffer, LengthBytes, STAGE_LIST_C);
}

// Under the stream spin lock. For PCM the nodes get the stream's own channel buffers, which
// hold at most PIPELINE_PASS_FRAMES samples each; other formats get Buffer as it is.
STDMETHODIMP_(NTSTATUS) CStreamEngine::ProcessNodesFloat(PVOID Buffer, ULONG Frames, USHORT FormatCode)
{
    if (!HasEntries(m_pProcessingNodes))
    {
        return STATUS_SUCCESS;
    }
    PVOID data = Buffer;
    if (FormatCode == FORMAT_CODE_PCM)
    {
        if (Frames > PIPELINE_PASS_FRAMES || !HasPcmBuffers())
        {
            return STATUS_INVALID_PARAMETER;
        }
        data = m_ppChannelBuffers;
    }
    NTSTATUS status = STATUS_SUCCESS;
    PPOINTER_LIST_NODE position = m_pProcessingNodes->GetHeadPosition();
    PVOID entry;
    while (m_pProcessingNodes->GetNext(&position, &entry))
    {
        status = static_cast<PDSPNODE>(entry)->Process(&m_CurrentWaveFormat, data, Frames);
        if (!NT_SUCCESS(status))
        {
            break;
        }
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::ProcessListBFloat(ULONG Frames)
{
    return WalkObjects(m_pListB, FALSE, Frames);
}

STDMETHODIMP_(NTSTATUS) CStreamEngine::ProcessListCFloat(ULONG Frames)
{
    return WalkObjects(m_pListC, TRUE, Frames);
}

// Under the stream spin lock, on the channel buffers of the current pass.
NTSTATUS CStreamEngine::WalkObjects(CPointerList* List, BOOLEAN Late, ULONG Frames)
{
    if (!HasEntries(List))
    {
        return STATUS_SUCCESS;
    }
    if (Frames > PIPELINE_PASS_FRAMES || !HasPcmBuffers())
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    PPOINTER_LIST_NODE position = List->GetHeadPosition();
    PVOID entry;
    while (List->GetNext(&position, &entry))
    {
        PPIPELINEOBJECT pObject = static_cast<PPIPELINEOBJECT>(static_cast<PUNKNOWN>(entry));
        status = Late ? pObject->ProcessLate(&m_CurrentWaveFormat, m_ppChannelBuffers, Frames)
                      : pObject->ProcessEarly(&m_CurrentWaveFormat, m_ppChannelBuffers, Frames);
        if (!NT_SUCCESS(status))
        {
            break;
        }
    }
    return status;
}
