// Software mute and per-channel gain on the stream pipeline's buffers, through the signal
// primitives. These run at DISPATCH_LEVEL under the stream's lock: resident, no waits.
#include "driver/topology/nodes/node_processing.h"

#include "driver/primitives/sp_lib.h"
#include "driver/topology/nodes/node_atomic.h"
#include "driver/core/pin_type.h"

namespace
{

constexpr USHORT FORMAT_CODE_PCM = 1;
constexpr ULONG GATED_MUTE_INPUT = 3;
constexpr ULONG SURROUND_SWAP_CHANNELS = 8;
constexpr float ATTENUATOR_QUARTER_GAIN = 0.25f;

BOOLEAN IsPcmPass(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames);
VOID ScaleEveryChannel(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, float Gain);

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

NTSTATUS MasterGainProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, float volatile* Gain)
{
    if (Gain && IsPcmPass(Format, Data, Frames))
    {
        ScaleEveryChannel(Format, Data, Frames, NodeReadFloat(Gain));
    }
    return STATUS_SUCCESS;
}

NTSTATUS PinGatedMuteProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, ULONG PinType,
                             BOOLEAN Muted)
{
    return SoftwareMuteProcess(Format, Data, Frames, Muted && PinType == PIN_TYPE_SPDIF);
}

NTSTATUS GatedMuteProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, ULONG ExpectedIndex,
                          BOOLEAN Muted)
{
    return SoftwareMuteProcess(Format, Data, Frames, Muted && ExpectedIndex == GATED_MUTE_INPUT);
}

NTSTATUS PinGatedGainProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, ULONG PinType,
                             float volatile* Gains, ULONG GainCount)
{
    if (PinType != PIN_TYPE_SPDIF)
    {
        return STATUS_SUCCESS;
    }
    return ChannelGainProcess(Format, Data, Frames, Gains, GainCount);
}

NTSTATUS AttenuatorProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, ULONG Mode)
{
    if (!IsPcmPass(Format, Data, Frames) ||
        (Mode != ATTENUATOR_MODE_QUARTER && Mode != ATTENUATOR_MODE_SILENT))
    {
        return STATUS_SUCCESS;
    }
    ScaleEveryChannel(Format, Data, Frames, Mode == ATTENUATOR_MODE_QUARTER ? ATTENUATOR_QUARTER_GAIN : 0.0f);
    return STATUS_SUCCESS;
}

NTSTATUS SwapSurroundPairsProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    if (!IsPcmPass(Format, Data, Frames) || Format->Format.nChannels != SURROUND_SWAP_CHANNELS)
    {
        return STATUS_SUCCESS;
    }
    float** channels = static_cast<float**>(Data);
    float* swapped = channels[4];
    channels[4] = channels[6];
    channels[6] = swapped;
    swapped = channels[5];
    channels[5] = channels[7];
    channels[7] = swapped;
    return STATUS_SUCCESS;
}

namespace
{

BOOLEAN IsPcmPass(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames)
{
    return Format && Data && FramesFit(Frames) && NodeFormatCode(Format) == FORMAT_CODE_PCM;
}

// On a pass IsPcmPass accepted.
VOID ScaleEveryChannel(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, float Gain)
{
    float** channels = static_cast<float**>(Data);
    for (ULONG c = 0; c < Format->Format.nChannels; c++)
    {
        SpMulConstInPlaceF32(Gain, channels[c], int32_t(Frames));
    }
}

} // namespace
