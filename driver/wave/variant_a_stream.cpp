// CVariantAStream: the formats by pin type and the chip programming at every open.
#include "driver/wave/variant_a_stream.h"

#include "ksmedia.h"
#include "driver/core/pin_type.h"

namespace
{

constexpr ULONG RATE_44K = 44100;
constexpr ULONG RATE_48K = 48000;
constexpr ULONG RATE_96K = 96000;

// Register 0: bits 12-14 the rate, bit 1 set for data that is not PCM.
constexpr ULONG RATE_REGISTER = 0;
constexpr USHORT RATE_MASK = 0x7000;
constexpr USHORT RATE_44K_BITS = 0x0000;
constexpr USHORT RATE_48K_BITS = 0x2000;
constexpr USHORT RATE_96K_BITS = 0x6000;
constexpr USHORT DATA_KIND_MASK = 0x0002;
constexpr USHORT NOT_PCM_BITS = 0x0002;

constexpr UCHAR AC3_SETTING = 2;
constexpr UCHAR HIGH_RATE_SETTING = 5;

// The kind of a format: its tag, or an extensible format's sub-format tag.
USHORT FormatKind(PCWAVEFORMATEXTENSIBLE Format)
{
    if (Format->Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE)
    {
        return Format->Format.wFormatTag;
    }
    const GUID subFormat = Format->SubFormat;
    return USHORT(subFormat.Data1);
}

BOOLEAN IsAc3(PCWAVEFORMATEXTENSIBLE Format)
{
    return FormatKind(Format) == WAVE_FORMAT_DOLBY_AC3_SPDIF;
}

BOOLEAN IsHighRatePcm(PCWAVEFORMATEXTENSIBLE Format)
{
    return FormatKind(Format) == WAVE_FORMAT_PCM && Format->Format.nSamplesPerSec == RATE_96K;
}

// The stereo 16-bit record every added format starts from.
VOID StereoFormat(ULONG Rate, USHORT CbSize, ULONG ChannelMask, const GUID& SubFormat,
                  PWAVEFORMATEXTENSIBLE Format)
{
    RtlZeroMemory(Format, sizeof(*Format));
    Format->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    Format->Format.nChannels = 2;
    Format->Format.nSamplesPerSec = Rate;
    Format->Format.nAvgBytesPerSec = Rate * 4;
    Format->Format.nBlockAlign = 4;
    Format->Format.wBitsPerSample = 16;
    Format->Format.cbSize = CbSize;
    Format->Samples.wValidBitsPerSample = 16;
    Format->dwChannelMask = ChannelMask;
    Format->SubFormat = SubFormat;
}

} // namespace

CVariantAStream::CVariantAStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId)
    : CUac1RenderStream(UnknownOuter, InterfaceNumber, PinNodeId), m_pRegisters(nullptr)
{
}

NTSTATUS CVariantAStream::Init(ULONG Direction, PUNKNOWN DeviceUnknown, IVariantARegisters* Registers)
{
    PAGED_CODE();
    NTSTATUS status = CUsbAudioStream::Init(Direction, DeviceUnknown);
    if (NT_SUCCESS(status))
    {
        m_pRegisters = Registers;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantAStream::SetName(PCWSTR Name)
{
    PAGED_CODE();
    NTSTATUS status = CStreamEngine::SetName(Name);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    const ULONG pinType = GetPinType();
    if (pinType != PIN_TYPE_SPK && pinType != PIN_TYPE_HP && pinType != PIN_TYPE_SPDIF)
    {
        return STATUS_SUCCESS;
    }
    RemoveDataFormats(IsAc3, TRUE);
    RemoveDataFormats(IsHighRatePcm, FALSE);
    return AddPinTypeFormats(pinType);
}

// Headphones get the fixed 96 kHz PCM format; S/PDIF gets AC-3 as well.
NTSTATUS CVariantAStream::AddPinTypeFormats(ULONG PinType)
{
    PAGED_CODE();
    WAVEFORMATEXTENSIBLE format;
    NTSTATUS status = STATUS_SUCCESS;
    if (PinType == PIN_TYPE_SPDIF)
    {
        const ULONG rates[] = {RATE_44K, RATE_48K, RATE_96K};
        for (ULONG rate : rates)
        {
            StereoFormat(rate, 0, 0, KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF, &format);
            status = AddDataFormat(&format, rate == RATE_96K ? HIGH_RATE_SETTING : AC3_SETTING);
            if (!NT_SUCCESS(status))
            {
                return status;
            }
        }
    }
    if (PinType == PIN_TYPE_HP || PinType == PIN_TYPE_SPDIF)
    {
        StereoFormat(RATE_96K, sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX), KSAUDIO_SPEAKER_STEREO,
                     KSDATAFORMAT_SUBTYPE_PCM, &format);
        status = AddDataFormat(&format, HIGH_RATE_SETTING);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantAStream::SelectAlternateSetting(UCHAR AlternateSetting, StreamClient* Client)
{
    PAGED_CODE();
    NTSTATUS status = CUac1RenderStream::SelectAlternateSetting(AlternateSetting, Client);
    if (NT_SUCCESS(status) && AlternateSetting != 0 && Client)
    {
        ProgramChip(&Client->Format);
    }
    return status;
}

VOID CVariantAStream::ProgramChip(PCWAVEFORMATEXTENSIBLE Format)
{
    PAGED_CODE();
    if (!m_pRegisters)
    {
        return;
    }
    const ULONG rate = Format->Format.nSamplesPerSec;
    if (rate == RATE_44K || rate == RATE_48K || rate == RATE_96K)
    {
        const USHORT bits =
            rate == RATE_44K ? RATE_44K_BITS : (rate == RATE_48K ? RATE_48K_BITS : RATE_96K_BITS);
        m_pRegisters->WriteMaskedRegister(RATE_REGISTER, bits, RATE_MASK);
    }
    const USHORT kind = FormatKind(Format) == WAVE_FORMAT_PCM ? 0 : NOT_PCM_BITS;
    m_pRegisters->WriteMaskedRegister(RATE_REGISTER, kind, DATA_KIND_MASK);
}
