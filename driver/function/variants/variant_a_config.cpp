// The jack-sensing model's configuration rewrite. The model has one fixed configuration
// descriptor; its feature switches take inputs, units and output channel counts away, so the
// driver copies the descriptor piece by piece leaving those out, rebuilds the mixer and the
// record selector for the sources that remain, and fixes both total lengths.
#include "driver/function/variants/variant_a_internal.h"

#include "usbaudio.h"

namespace
{

constexpr ULONG WORK_BUFFER_BYTES = 4096;

// The model's pieces, in descriptor order.
enum Piece : ULONG
{
    PIECE_HEAD,           // configuration, audio-control interface and header
    PIECE_STREAM_IN,      // USB streaming input terminal 1
    PIECE_MIC_IN,         // microphone input terminal
    PIECE_MIC_REC,        // microphone unit to the record selector (8)
    PIECE_MIC_AA,         // microphone unit to the mixer (9)
    PIECE_MIXER,          // mixer (rebuilt)
    PIECE_MAIN_UNIT,      // the output feature unit
    PIECE_OUT,            // output terminal 3
    PIECE_STEREO_MIX,     // the stereo-mix unit
    PIECE_REC_OUT,        // record output terminal
    PIECE_REC_SELECTOR,   // record selector (rebuilt)
    PIECE_LINE_IN,        // line input terminal
    PIECE_LINE_REC,       // line unit to the record selector (15)
    PIECE_LINE_AA,        // line unit to the mixer (11)
    PIECE_SPDIF_IN,       // S/PDIF input terminal
    PIECE_STEREO_MIX_REC, // stereo-mix unit to the record selector (2)
    PIECE_SPDIF_UNIT,     // S/PDIF unit to the record selector (16)
    PIECE_STREAM_IF,      // first streaming interface descriptor
    PIECE_ALT_8CH,        // alternate setting blocks by output channel count
    PIECE_ALT_2CH,
    PIECE_ALT_4CH,
    PIECE_ALT_6CH,
    PIECE_ALT_96K, // the 96 kHz block
    PIECE_CAPTURE, // the capture interface
    PIECE_COUNT
};

// The length of each piece (0: its own bLength) and the descriptor type and subtype it starts
// with (subtype 0: any).
struct PieceShape
{
    UCHAR Length;
    UCHAR Type;
    UCHAR Subtype;
};

const PieceShape kPieces[PIECE_COUNT] = {
    {28, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0},
    {12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL},
    {12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL},
    {10, USB_AUDIO_CS_INTERFACE, 0},
    {10, USB_AUDIO_CS_INTERFACE, 0},
    {0, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_MIXER_UNIT},
    {16, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_FEATURE_UNIT},
    {9, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL},
    {13, USB_AUDIO_CS_INTERFACE, 0},
    {9, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL},
    {0, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_SELECTOR_UNIT},
    {12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL},
    {10, USB_AUDIO_CS_INTERFACE, 0},
    {10, USB_AUDIO_CS_INTERFACE, 0},
    {12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL},
    {10, USB_AUDIO_CS_INTERFACE, 0},
    {10, USB_AUDIO_CS_INTERFACE, 0},
    {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0},
    {46, USB_INTERFACE_DESCRIPTOR_TYPE, 0},
    {46, USB_INTERFACE_DESCRIPTOR_TYPE, 0},
    {46, USB_INTERFACE_DESCRIPTOR_TYPE, 0},
    {46, USB_INTERFACE_DESCRIPTOR_TYPE, 0},
    {43, USB_INTERFACE_DESCRIPTOR_TYPE, 0},
    {55, USB_INTERFACE_DESCRIPTOR_TYPE, 0},
};

// The ids the rebuilt units name.
constexpr UCHAR STREAM_IN_ID = 1;
constexpr UCHAR MIC_AA_ID = 9;
constexpr UCHAR LINE_AA_ID = 11;
constexpr UCHAR MIC_REC_ID = 8;
constexpr UCHAR LINE_REC_ID = 15;
constexpr UCHAR SPDIF_REC_ID = 16;
constexpr UCHAR STEREO_MIX_REC_ID = 2;

// Where the fields the rewrite changes sit.
constexpr ULONG HEAD_CONFIG_TOTAL_OFFSET = 2;
constexpr ULONG HEAD_HEADER_OFFSET = 18;
constexpr ULONG HEADER_TOTAL_OFFSET = 5;
constexpr ULONG TERMINAL_CHANNELS_OFFSET = 7;
constexpr ULONG FU_SOURCE_OFFSET = 4;
constexpr ULONG SIX_CHANNEL_FU_BYTES = 14;
constexpr ULONG OT_SOURCE_OFFSET = 7;
constexpr ULONG ALT_96K_RATE_OFFSET = 24;
constexpr ULONG RATE_96K = 96000;

constexpr UCHAR EIGHT_CHANNELS = 8;
constexpr USHORT EIGHT_CHANNEL_CONFIG = 0x063F;
constexpr UCHAR SIX_CHANNELS = 6;
constexpr USHORT SIX_CHANNEL_CONFIG = 0x003F;

// The start of every piece, or FALSE when the descriptor is not laid out as the model's.
BOOLEAN LocatePieces(const UCHAR* Config, ULONG Length, ULONG* Starts)
{
    ULONG offset = 0;
    for (ULONG piece = 0; piece < PIECE_COUNT; piece++)
    {
        if (Length - offset < 3)
        {
            return FALSE;
        }
        const UCHAR* p = Config + offset;
        ULONG length = kPieces[piece].Length ? kPieces[piece].Length : p[0];
        if (length < 3 || length > Length - offset || p[1] != kPieces[piece].Type ||
            (kPieces[piece].Subtype && p[2] != kPieces[piece].Subtype))
        {
            return FALSE;
        }
        Starts[piece] = offset;
        offset += length;
    }
    Starts[PIECE_COUNT] = offset;
    return offset == Length;
}

// The switches the others imply: no terminal, no units behind it; no analogue unit, no stereo mix.
VariantASwitches ImpliedSwitches(const VariantASwitches& Switches)
{
    VariantASwitches s = Switches;
    if (s.DisableMicInTerminal)
    {
        s.DisableMicInAAUnit = s.DisableMicInRecUnit = s.DisableStereoMixRecUnit = 1;
    }
    if (s.DisableLineInTerminal)
    {
        s.DisableLineInAAUnit = s.DisableLineInRecUnit = s.DisableStereoMixRecUnit = 1;
    }
    if (s.DisableMicInAAUnit || s.DisableLineInAAUnit)
    {
        s.DisableStereoMixRecUnit = 1;
    }
    return s;
}

BOOLEAN IsPieceLeftOut(ULONG Piece, const VariantASwitches& s)
{
    const BOOLEAN noRecordTerminal =
        s.DisableMicInTerminal && s.DisableLineInTerminal && s.DisableSpdifInTerminal;
    switch (Piece)
    {
    case PIECE_MIC_IN:
        return s.DisableMicInTerminal;
    case PIECE_MIC_REC:
        return s.DisableMicInRecUnit;
    case PIECE_MIC_AA:
        return s.DisableMicInAAUnit;
    case PIECE_MIXER:
        return s.DisableMicInAAUnit && s.DisableLineInAAUnit;
    case PIECE_STEREO_MIX:
        return s.DisableStereoMixRecUnit || s.DisableMicInAAUnit || s.DisableLineInAAUnit;
    case PIECE_REC_OUT:
    case PIECE_CAPTURE:
        return noRecordTerminal;
    case PIECE_LINE_IN:
        return s.DisableLineInTerminal;
    case PIECE_LINE_REC:
        return s.DisableLineInRecUnit;
    case PIECE_LINE_AA:
        return s.DisableLineInAAUnit;
    case PIECE_SPDIF_IN:
    case PIECE_SPDIF_UNIT:
        return s.DisableSpdifInTerminal;
    case PIECE_STEREO_MIX_REC:
        return s.DisableStereoMixRecUnit;
    case PIECE_ALT_8CH:
        return s.Disable8ChOut;
    case PIECE_ALT_2CH:
        return s.Disable2ChOut;
    case PIECE_ALT_4CH:
        return s.Disable4ChOut;
    case PIECE_ALT_6CH:
        return s.Disable6ChOut;
    default:
        return FALSE;
    }
}

// The record inputs that remain, in the selector's order.
ULONG RecordInputs(const VariantASwitches& s, PUCHAR Ids)
{
    ULONG count = 0;
    if (!s.DisableMicInRecUnit)
    {
        Ids[count++] = MIC_REC_ID;
    }
    if (!s.DisableLineInRecUnit)
    {
        Ids[count++] = LINE_REC_ID;
    }
    if (!s.DisableSpdifInTerminal)
    {
        Ids[count++] = SPDIF_REC_ID;
    }
    if (!s.DisableStereoMixRecUnit)
    {
        Ids[count++] = STEREO_MIX_REC_ID;
    }
    return count;
}

// The mixer for the analogue units that remain, with an all-zero control bitmap. Returns its length.
ULONG BuildMixer(const UCHAR* Original, const VariantASwitches& s, PUCHAR Out)
{
    UCHAR sources[3];
    ULONG pins = 0;
    sources[pins++] = STREAM_IN_ID;
    if (!s.DisableMicInAAUnit)
    {
        sources[pins++] = MIC_AA_ID;
    }
    if (!s.DisableLineInAAUnit)
    {
        sources[pins++] = LINE_AA_ID;
    }
    const ULONG outputs = s.Disable8ChOut ? SIX_CHANNELS : EIGHT_CHANNELS;
    const USHORT config = s.Disable8ChOut ? SIX_CHANNEL_CONFIG : EIGHT_CHANNEL_CONFIG;
    const ULONG inputs = outputs + 2 * (pins - 1);
    const ULONG bitmapBytes = (inputs * outputs + 7) / 8;
    const ULONG length = 10 + pins + bitmapBytes;
    RtlZeroMemory(Out, length);
    Out[0] = UCHAR(length);
    Out[1] = USB_AUDIO_CS_INTERFACE;
    Out[2] = USB_AUDIO_AC_MIXER_UNIT;
    Out[3] = Original[3];
    Out[4] = UCHAR(pins);
    RtlCopyMemory(Out + 5, sources, pins);
    Out[5 + pins] = UCHAR(outputs);
    Out[6 + pins] = UCHAR(config);
    Out[7 + pins] = UCHAR(config >> 8);
    return length;
}

ULONG BuildSelector(const UCHAR* Original, const UCHAR* Inputs, ULONG Count, PUCHAR Out)
{
    const ULONG length = Count + 6;
    Out[0] = UCHAR(length);
    Out[1] = USB_AUDIO_CS_INTERFACE;
    Out[2] = USB_AUDIO_AC_SELECTOR_UNIT;
    Out[3] = Original[3];
    Out[4] = UCHAR(Count);
    RtlCopyMemory(Out + 5, Inputs, Count);
    Out[5 + Count] = 0;
    return length;
}

// One piece as it goes into the new descriptor; returns the bytes written.
ULONG CopyPiece(ULONG Piece, const UCHAR* p, ULONG Length, const VariantASwitches& s, PUCHAR Out)
{
    UCHAR inputs[4];
    const ULONG inputCount = RecordInputs(s, inputs);
    const BOOLEAN noMixer = s.DisableMicInAAUnit && s.DisableLineInAAUnit;
    switch (Piece)
    {
    case PIECE_MIXER:
        return BuildMixer(p, s, Out);
    case PIECE_REC_SELECTOR:
        return inputCount < 2 ? 0 : BuildSelector(p, inputs, inputCount, Out);
    default:
        break;
    }
    RtlCopyMemory(Out, p, Length);
    if (Piece == PIECE_STREAM_IN && s.Disable8ChOut)
    {
        Out[TERMINAL_CHANNELS_OFFSET] = SIX_CHANNELS;
        Out[TERMINAL_CHANNELS_OFFSET + 1] = UCHAR(SIX_CHANNEL_CONFIG);
        Out[TERMINAL_CHANNELS_OFFSET + 2] = UCHAR(SIX_CHANNEL_CONFIG >> 8);
    }
    else if (Piece == PIECE_MAIN_UNIT)
    {
        if (noMixer)
        {
            Out[FU_SOURCE_OFFSET] = STREAM_IN_ID;
        }
        if (s.Disable8ChOut)
        {
            Out[0] = SIX_CHANNEL_FU_BYTES;
            Out[SIX_CHANNEL_FU_BYTES - 1] = 0;
            return SIX_CHANNEL_FU_BYTES;
        }
    }
    else if (Piece == PIECE_REC_OUT && inputCount < 2 && inputCount > 0)
    {
        Out[OT_SOURCE_OFFSET] = inputs[0];
    }
    else if (Piece == PIECE_ALT_96K)
    {
        Out[ALT_96K_RATE_OFFSET] = UCHAR(RATE_96K);
        Out[ALT_96K_RATE_OFFSET + 1] = UCHAR(RATE_96K >> 8);
        Out[ALT_96K_RATE_OFFSET + 2] = UCHAR(RATE_96K >> 16);
    }
    return Length;
}

} // namespace

NTSTATUS VariantAFilterConfigDescriptor(PUCHAR Config, ULONG Length, const VariantASwitches& Switches,
                                        PBOOLEAN Rewritten)
{
    PAGED_CODE();
    *Rewritten = FALSE;
    const VariantASwitches s = ImpliedSwitches(Switches);
    if (s.Disable6ChOut && s.Disable8ChOut)
    {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG starts[PIECE_COUNT + 1];
    if (!Config || Length > WORK_BUFFER_BYTES || !LocatePieces(Config, Length, starts))
    {
        return STATUS_SUCCESS;
    }
    PUCHAR pWork =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, WORK_BUFFER_BYTES, VARIANT_A_POOL_TAG));
    if (!pWork)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pWork, WORK_BUFFER_BYTES);
    ULONG written = 0;
    ULONG controlBytes = 0; // the header and the entities after it
    for (ULONG piece = 0; piece < PIECE_COUNT; piece++)
    {
        if (IsPieceLeftOut(piece, s))
        {
            continue;
        }
        // A piece never grows past what the model's own bytes took, except the mixer, whose
        // longest form fits a 4 KB buffer many times over.
        ULONG bytes =
            CopyPiece(piece, Config + starts[piece], starts[piece + 1] - starts[piece], s, pWork + written);
        written += bytes;
        if (piece >= PIECE_STREAM_IN && piece <= PIECE_SPDIF_UNIT)
        {
            controlBytes += bytes;
        }
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (written > Length)
    {
        // The rebuilt mixer outgrew the descriptor the device gave: keep the device's own.
        DbgPrint("CVariantADevice: the rewritten configuration (%u bytes) would not fit in %u\n", written,
                 Length);
    }
    else
    {
        const ULONG headerLength = pWork[HEAD_HEADER_OFFSET];
        const ULONG headerTotal = headerLength + controlBytes;
        pWork[HEAD_CONFIG_TOTAL_OFFSET] = UCHAR(written);
        pWork[HEAD_CONFIG_TOTAL_OFFSET + 1] = UCHAR(written >> 8);
        pWork[HEAD_HEADER_OFFSET + HEADER_TOTAL_OFFSET] = UCHAR(headerTotal);
        pWork[HEAD_HEADER_OFFSET + HEADER_TOTAL_OFFSET + 1] = UCHAR(headerTotal >> 8);
        RtlCopyMemory(Config, pWork, written);
        RtlZeroMemory(Config + written, Length - written);
        *Rewritten = TRUE;
    }
    ExFreePoolWithTag(pWork, VARIANT_A_POOL_TAG);
    return status;
}
