// The processing slots that topology nodes run on a stream's samples (software mute, gated
// mute, per-channel gain, the quarter-gain attenuator and the surround-pair swap), shared by
// the node classes that carry them. Each reads its gate once per call and returns
// STATUS_SUCCESS; all run at <= DISPATCH_LEVEL and allocate nothing.
#pragma once

#include "ntddk.h"
#include "mmreg.h"

// The stream's format code: its format tag, or for WAVE_FORMAT_EXTENSIBLE the first 16 bits
// of its sub-format. Any IRQL.
USHORT NodeFormatCode(PCWAVEFORMATEXTENSIBLE Format);

// When Muted, silences the buffer: for PCM (code 1) Data is nChannels float buffers of Frames
// samples, each zeroed; for any other code the raw nBlockAlign x Frames bytes are zeroed.
// <= DISPATCH_LEVEL; allocates nothing. Always STATUS_SUCCESS.
NTSTATUS SoftwareMuteProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, BOOLEAN Muted);

// For PCM only: float buffer c is multiplied by Gains[c], each gain read once, atomically, for
// the whole buffer. Channels at or beyond GainCount are left as they are (a node never holds a
// gain for them). Other format codes are left untouched. <= DISPATCH_LEVEL. STATUS_SUCCESS.
NTSTATUS ChannelGainProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, float volatile* Gains,
                            ULONG GainCount);

// For PCM only: every float buffer of the stream is multiplied by *Gain, read once, atomically,
// for the whole call: a master channel's level is every channel's. Other format codes are left
// untouched. <= DISPATCH_LEVEL. STATUS_SUCCESS.
NTSTATUS MasterGainProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, float volatile* Gain);

// Mute on a node of an S/PDIF terminal (pin type 3) only.
NTSTATUS PinGatedMuteProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, ULONG PinType,
                             BOOLEAN Muted);

// Mute only while the downstream selector passes input 3, the input this node's path reaches.
NTSTATUS GatedMuteProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, ULONG ExpectedIndex,
                          BOOLEAN Muted);

// ChannelGainProcess on a node of an S/PDIF terminal only.
NTSTATUS PinGatedGainProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, ULONG PinType,
                             float volatile* Gains, ULONG GainCount);

// The jack-gain attenuator: mode 1 scales every PCM channel by 0.25, mode 2 silences it; any
// other mode passes.
constexpr ULONG ATTENUATOR_MODE_QUARTER = 1;
constexpr ULONG ATTENUATOR_MODE_SILENT = 2;
NTSTATUS AttenuatorProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames, ULONG Mode);

// On an 8-channel PCM stream, exchanges the channel-buffer pointers 4 and 6, then 5 and 7, so
// the stages after it see the side and back pairs swapped; the samples do not move.
NTSTATUS SwapSurroundPairsProcess(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames);
