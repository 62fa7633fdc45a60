// The format list of a class-1 streaming interface: one WAVEFORMATEXTENSIBLE per rate that a
// FORMAT_TYPE descriptor offers (two per rate for the S/PDIF pass-through formats). A type-I
// format is integer PCM unless its setting's general descriptor tags it IEEE float.
#include "driver/function/uac1/uac1_device.h"
#include "driver/function/audio_descriptor_walk.h"

#include "ksmedia.h"
#include "usbaudio.h"
#include "driver/wave/usb_audio_stream.h"

namespace
{

// FORMAT_TYPE (types I and III): bFormatType, bNrChannels, bSubframeSize, bBitResolution,
// bSamFreqType, then the rates: a continuous range (two) or bSamFreqType discrete ones.
constexpr ULONG FORMAT_TYPE_MIN_BYTES = 8;
constexpr ULONG RATE_BYTES = 3;
constexpr ULONG CONTINUOUS_RANGE_END = FORMAT_TYPE_MIN_BYTES + 2 * RATE_BYTES;
constexpr ULONG HIGHEST_RANGE_RATE_HZ = 96000;
// Pass-through tags: the IEC 61937 ones all carry one of these bits.
constexpr USHORT PASS_THROUGH_TAG_BITS = 0x2001;
constexpr ULONG SPDIF_AC3_SUBFORMAT_TAG = 0x0092;
constexpr ULONG SPDIF_WMA_PRO_SUBFORMAT_TAG = 0x0164;
// A type-I setting with this tag carries 32-bit IEEE floats, not integers.
constexpr USHORT UAC1_FORMAT_TAG_IEEE_FLOAT = 0x0003;
// Integers in two's complement at every width; the PCM8 tag (2) carries 8-bit ones in offset
// binary, as the clients do.
constexpr USHORT UAC1_FORMAT_TAG_PCM = 0x0001;
constexpr UCHAR FLOAT_SUBFRAME_BYTES = 4;

ULONG ReadRate(const UCHAR* Bytes)
{
    return ULONG(Bytes[0]) | ULONG(Bytes[1]) << 8 | ULONG(Bytes[2]) << 16;
}

// The rates of the descriptor into a new paged array (UAC1_DEVICE_POOL_TAG). Only rates that lie
// inside bLength are read. A continuous range offers the table rates inside it. Interface names
// the streaming interface in the messages of a refusal.
NTSTATUS CollectRates(const UCHAR* Descriptor, ULONG Interface, PULONG* Rates, PULONG Count)
{
    const ULONG length = Descriptor[0];
    const ULONG discrete = Descriptor[7];
    ULONG lower = 0;
    ULONG upper = 0;
    ULONG count = 0;
    if (discrete)
    {
        ULONG room = (length - FORMAT_TYPE_MIN_BYTES) / RATE_BYTES;
        count = discrete < room ? discrete : room;
    }
    else if (length >= CONTINUOUS_RANGE_END)
    {
        lower = ReadRate(Descriptor + FORMAT_TYPE_MIN_BYTES);
        upper = ReadRate(Descriptor + FORMAT_TYPE_MIN_BYTES + RATE_BYTES);
        if (lower > HIGHEST_RANGE_RATE_HZ || upper > HIGHEST_RANGE_RATE_HZ)
        {
            DbgPrint("CUac1Device: streaming interface %u offers rates from %u to %u Hz; the driver "
                     "plays continuous ranges up to %u Hz only\n",
                     Interface, lower, upper, HIGHEST_RANGE_RATE_HZ);
            return STATUS_INVALID_PARAMETER;
        }
        if (lower > upper)
        {
            ULONG swap = lower;
            lower = upper;
            upper = swap;
        }
        for (ULONG index = 0; index < StandardSampleRateCount; index++)
        {
            count += StandardSampleRates[index] >= lower && StandardSampleRates[index] <= upper;
        }
    }
    if (count == 0)
    {
        DbgPrint("CUac1Device: a format of streaming interface %u offers no sample rate the driver can "
                 "use\n",
                 Interface);
        return STATUS_UNSUCCESSFUL;
    }
    PULONG pRates =
        static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), UAC1_DEVICE_POOL_TAG));
    if (!pRates)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG filled = 0;
    for (ULONG index = 0; discrete && index < count; index++)
    {
        pRates[filled++] = ReadRate(Descriptor + FORMAT_TYPE_MIN_BYTES + index * RATE_BYTES);
    }
    for (ULONG index = 0; !discrete && index < StandardSampleRateCount; index++)
    {
        if (StandardSampleRates[index] >= lower && StandardSampleRates[index] <= upper)
        {
            pRates[filled++] = StandardSampleRates[index];
        }
    }
    *Rates = pRates;
    *Count = filled;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS CUac1Device::AddFormatTypeDescriptor(CUsbAudioStream* Stream, const UCHAR* Descriptor,
                                              USHORT FormatTag, UCHAR AlternateSetting)
{
    PAGED_CODE();
    const UCHAR formatType = Descriptor[3];
    const UCHAR channels = Descriptor[4];
    const UCHAR subframeBytes = Descriptor[5];
    if (!audiowalk::FormatTypePlayable("CUac1Device", Stream->GetStreamId(), formatType))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (channels == 0 || subframeBytes == 0)
    {
        DbgPrint("CUac1Device: a format of streaming interface %u has %u channels of %u bytes\n",
                 Stream->GetStreamId(), channels, subframeBytes);
        return STATUS_INVALID_PARAMETER;
    }
    const BOOLEAN isFloat = formatType == USB_AUDIO_FORMAT_TYPE_I && FormatTag == UAC1_FORMAT_TAG_IEEE_FLOAT;
    if (isFloat && subframeBytes != FLOAT_SUBFRAME_BYTES)
    {
        // No client format carries floats of another size; the setting is left unoffered
        // rather than offered as integers it does not hold.
        DbgPrint("CUac1Device: alternate setting %u of streaming interface %u has %u-byte float "
                 "samples; the driver plays 4-byte floats only\n",
                 AlternateSetting, Stream->GetStreamId(), subframeBytes);
        return STATUS_SUCCESS;
    }
    const ULONG capture = Stream->GetKind();
    WAVEFORMATEXTENSIBLE format;
    audiowalk::InitFormatTemplate(&format, channels, subframeBytes, Descriptor[6],
                                  Uac1ChannelMask(channels, capture));
    NTSTATUS status = AddUac1Formats(Stream, Descriptor, FormatTag, AlternateSetting, &format);
    // Capture clients that ask for unplaced channels find them in a second set.
    if (NT_SUCCESS(status) && capture != STREAM_DIRECTION_RENDER && channels < 4)
    {
        format.dwChannelMask = 0;
        status = AddUac1Formats(Stream, Descriptor, FormatTag, AlternateSetting, &format);
    }
    return status;
}

NTSTATUS CUac1Device::AddUac1Formats(CUsbAudioStream* Stream, const UCHAR* Descriptor, USHORT FormatTag,
                                     UCHAR AlternateSetting, PCWAVEFORMATEXTENSIBLE Template)
{
    PAGED_CODE();
    PULONG pRates = nullptr;
    ULONG count = 0;
    NTSTATUS status = CollectRates(Descriptor, Stream->GetStreamId(), &pRates, &count);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    const BOOLEAN typeI = Descriptor[3] == USB_AUDIO_FORMAT_TYPE_I;
    for (ULONG index = 0; index < count && NT_SUCCESS(status); index++)
    {
        WAVEFORMATEXTENSIBLE format = *Template;
        format.Format.nSamplesPerSec = pRates[index];
        format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * pRates[index];
        if (typeI)
        {
            format.SubFormat = FormatTag == UAC1_FORMAT_TAG_IEEE_FLOAT ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
                                                                       : KSDATAFORMAT_SUBTYPE_PCM;
            status = Stream->AddDataFormat(&format, AlternateSetting, FormatTag == UAC1_FORMAT_TAG_PCM);
        }
        else if (FormatTag & PASS_THROUGH_TAG_BITS)
        {
            format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
            format.SubFormat.Data1 = SPDIF_AC3_SUBFORMAT_TAG;
            status = Stream->AddDataFormat(&format, AlternateSetting);
            if (NT_SUCCESS(status))
            {
                format.SubFormat.Data1 = SPDIF_WMA_PRO_SUBFORMAT_TAG;
                status = Stream->AddDataFormat(&format, AlternateSetting);
            }
        }
        else
        {
            DbgPrint("CUac1Device: streaming interface %u has a type III format with tag 0x%04X, which "
                     "is no pass-through format\n",
                     Stream->GetStreamId(), FormatTag);
            status = STATUS_UNSUCCESSFUL;
        }
    }
    ExFreePoolWithTag(pRates, UAC1_DEVICE_POOL_TAG);
    return status;
}
