// Software mute and per-channel gain on the stream pipeline's buffers, through the signal
// primitives. These run at DISPATCH_LEVEL under the stream's lock: resident, no waits.
#include "driver/topology/nodes/node_processing.h"

#include "driver/primitives/sp_lib.h"
#include "driver/topology/nodes/node_atomic.h"

namespace
{

constexpr USHORT FORMAT_CODE_PCM = 1;

// The primitives take signed lengths; a longer buffer does not exist on this path.
BOOLEAN FramesFit(ULONG Frames)
{
    return Frames > 0 && Frames <= ULONG(MAXLONG);
}

} // namespace

USHORT NodeFormatCode(PCWAVEFORMATEXTENSIBLE Format)
{
    if (Format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
    {
        return USHORT(Format->SubFormat.Data1 & 0xFFFF);
    }
    return Format->Format.wFormatTag;
}

NTSTATUS SoftwareMuteProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, BOOLEAN Muted)
{
    if (!Muted || !Format || !Data || !FramesFit(Frames))
    {
        return STATUS_SUCCESS;
    }
    if (NodeFormatCode(Format) == FORMAT_CODE_PCM)
    {
        float** channels = static_cast<float**>(Data);
        for (ULONG c = 0; c < Format->Format.nChannels; c++)
        {
            SpZeroF32(channels[c], int32_t(Frames));
        }
        return STATUS_SUCCESS;
    }
    ULONGLONG bytes = ULONGLONG(Format->Format.nBlockAlign) * Frames;
    if (bytes <= ULONGLONG(MAXLONG))
    {
        SpZeroBuffer(Data, int32_t(bytes));
    }
    return STATUS_SUCCESS;
}

NTSTATUS ChannelGainProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, float volatile* Gains,
                            ULONG GainCount)
{
    if (!Format || !Data || !Gains || !FramesFit(Frames) || NodeFormatCode(Format) != FORMAT_CODE_PCM)
    {
        return STATUS_SUCCESS;
    }
    float** channels = static_cast<float**>(Data);
    ULONG count = Format->Format.nChannels < GainCount ? Format->Format.nChannels : GainCount;
    for (ULONG c = 0; c < count; c++)
    {
        SpMulConstInPlaceF32(NodeReadFloat(&Gains[c]), channels[c], int32_t(Frames));
    }
    return STATUS_SUCCESS;
}
