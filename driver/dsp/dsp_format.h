// Wave-format helpers shared by the conversion chain's format checks.
#pragma once

#include "ntddk.h"
#include "mmreg.h"

// Bytes of the extensible part behind WAVEFORMATEX.
constexpr USHORT DSP_EXTENSIBLE_EXTRA_BYTES = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);

// The format's code: its tag, or for an extensible format the tag held in the first 16 bits of
// its sub-format. An extensible format too short to hold a sub-format has none (0).
inline USHORT DspFormatCode(const WAVEFORMATEXTENSIBLE& Format)
{
    if (Format.Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE)
    {
        return Format.Format.wFormatTag;
    }
    return Format.Format.cbSize >= DSP_EXTENSIBLE_EXTRA_BYTES ? USHORT(Format.SubFormat.Data1 & 0xFFFF) : 0;
}

// Copies only the bytes the caller's format declares: a plain format may be the last 18 bytes of
// a larger record, and reading 40 from it would run past that record. The rest stays zero.
inline VOID DspCopyFormat(WAVEFORMATEXTENSIBLE* Destination, const WAVEFORMATEXTENSIBLE* Source)
{
    SIZE_T bytes = sizeof(WAVEFORMATEX);
    if (Source->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
    {
        const USHORT extra = Source->Format.cbSize;
        bytes += extra < DSP_EXTENSIBLE_EXTRA_BYTES ? extra : DSP_EXTENSIBLE_EXTRA_BYTES;
    }
    RtlZeroMemory(Destination, sizeof(*Destination));
    RtlCopyMemory(Destination, Source, bytes);
}
