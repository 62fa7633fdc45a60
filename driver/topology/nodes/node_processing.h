// The processing slots that topology nodes run on a stream's samples (software mute and
// per-channel gain), shared by the node classes that carry them.
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
