// CVariantDStream: the limiter pass, the packing to stereo and the lengths of a variant-D
// render transfer. A transfer goes: the leading client fills it in the stream's format (code 3),
// the pipeline runs the effect nodes, the stream's limiter holds it under full scale, its frames
// shrink to their first two samples, and the completion reports the client-format bytes
// (code 1).
#include "driver/wave/variant_d_stream.h"

#include <xmmintrin.h>

#include "driver/dsp/dsp_format.h"
#include "driver/dsp/effect_processor.h"

#include "usbdlib.h"

namespace
{

constexpr USHORT FORMAT_CODE_PCM = 1;
constexpr ULONG DEVICE_CHANNELS = 2;
// The stream engine's float buffers hold this many frames.
constexpr ULONG LIMITER_PASS_FRAMES = STREAM_CHANNEL_BUFFER_BYTES / sizeof(float);

constexpr unsigned MXCSR_FLUSH_TO_ZERO = 0x8000;
constexpr unsigned MXCSR_ROUNDING = 0x6000; // 0: round to nearest

// The limiter and the float round trip run with denormals flushed and round-to-nearest; the
// caller's control word comes back whatever the pass raised.
class CLimiterFloatMode
{
public:
    CLimiterFloatMode() : m_nSaved(_mm_getcsr())
    {
        _mm_setcsr((m_nSaved & ~MXCSR_ROUNDING) | MXCSR_FLUSH_TO_ZERO);
    }
    ~CLimiterFloatMode() { _mm_setcsr(m_nSaved); }

private:
    unsigned m_nSaved;
};

} // namespace

CVariantDStream* NewVariantDStream(ULONG InterfaceNumber, ULONG PinNodeId, ULONG PoolTag)
{
    PAGED_CODE();
    CVariantDStream* pStream =
        new (NonPagedPool, PoolTag) CVariantDStream(nullptr, InterfaceNumber, PinNodeId);
    if (pStream)
    {
        pStream->AddRef();
    }
    return pStream;
}

CVariantDStream::CVariantDStream(PUNKNOWN UnknownOuter, ULONG InterfaceNumber, ULONG PinNodeId)
    : CUac1RenderStream(UnknownOuter, InterfaceNumber, PinNodeId)
{
    m_nFramesPerTransfer = 10;
}

STDMETHODIMP_(NTSTATUS) CVariantDStream::FindFormat(PWAVEFORMATEX Format)
{
    PAGED_CODE();
    if (Format && Format->nChannels < DEVICE_CHANNELS)
    {
        return STATUS_NOT_SUPPORTED;
    }
    return CUac1RenderStream::FindFormat(Format);
}

STDMETHODIMP_(NTSTATUS) CVariantDStream::OpenStream(StreamClient* Client, PULONG CurrentFrame)
{
    PAGED_CODE();
    if (Client && Client->Format.Format.nChannels < DEVICE_CHANNELS)
    {
        DbgPrint("CVariantDStream: streaming interface %u sends two channels per frame and cannot play a "
                 "%u-channel stream\n",
                 m_nStreamId, ULONG(Client->Format.Format.nChannels));
        return STATUS_NOT_SUPPORTED;
    }
    return CUac1RenderStream::OpenStream(Client, CurrentFrame);
}

ULONG CVariantDStream::ClientFrameBytes() const
{
    return m_CurrentFormat.Format.nBlockAlign;
}

ULONG CVariantDStream::DeviceFrameBytes() const
{
    return WireFrameBytes(&m_CurrentFormat);
}

// The container of one sample is the frame's share per channel: packed 24-bit samples take 3
// bytes, whatever wBitsPerSample rounds to.
ULONG CVariantDStream::WireFrameBytes(PCWAVEFORMATEXTENSIBLE Format) const
{
    const ULONG channels = Format->Format.nChannels;
    if (channels < DEVICE_CHANNELS)
    {
        return Format->Format.nBlockAlign;
    }
    return DEVICE_CHANNELS * (Format->Format.nBlockAlign / channels);
}

VOID CVariantDStream::LimitTransfer(PUCHAR Data, ULONG LengthBytes)
{
    const ULONG blockAlign = ClientFrameBytes();
    if (!m_pEffectProcessor || blockAlign == 0 || DspFormatCode(m_CurrentFormat) != FORMAT_CODE_PCM ||
        !m_pWorkBuffer || !m_ppChannelBuffers)
    {
        // Only the PCM path has per-channel float buffers; other formats go out unlimited.
        return;
    }
    float* const* channels = reinterpret_cast<float* const*>(m_ppChannelBuffers);
    float* scratch = reinterpret_cast<float*>(m_pWorkBuffer);
    ULONG frames = LengthBytes / blockAlign;
    CLimiterFloatMode floatMode;
    KeAcquireSpinLockAtDpcLevel(&m_StreamLock);
    while (frames > 0)
    {
        const ULONG piece = frames < LIMITER_PASS_FRAMES ? frames : LIMITER_PASS_FRAMES;
        if (NT_SUCCESS(ConvertToFloat(Data, channels, scratch, piece, &m_CurrentFormat)))
        {
            m_pEffectProcessor->Process(channels, piece);
            ConvertFromFloat(Data, channels, scratch, piece, &m_CurrentFormat);
        }
        Data += SIZE_T(piece) * blockAlign;
        frames -= piece;
    }
    KeReleaseSpinLockFromDpcLevel(&m_StreamLock);
}

// Frame by frame from the front: each packed frame lands at or before the place it was read
// from, so the copy never overwrites a sample it has still to read.
ULONG CVariantDStream::PackToStereo(PUCHAR Data, ULONG LengthBytes)
{
    const ULONG source = ClientFrameBytes();
    const ULONG packed = DeviceFrameBytes();
    if (source == 0 || packed == source)
    {
        return LengthBytes;
    }
    const ULONG frames = LengthBytes / source;
    for (ULONG i = 0; i < frames; i++)
    {
        RtlMoveMemory(Data + SIZE_T(i) * packed, Data + SIZE_T(i) * source, packed);
    }
    return frames * packed;
}

STDMETHODIMP_(NTSTATUS) CVariantDStream::SubmitNextTransfer()
{
    return SubmitClaimed(
        [this](IUsbDevice* UsbDevice, TransferContext* Context, ULONG Packets)
        {
            struct _URB_ISOCH_TRANSFER& iso = Context->Urb->UrbIsochronousTransfer;
            // The packets carry the packed frames; the client fills the transfer in its own format.
            const ULONG length = SizePackets(&iso, Packets, DeviceFrameBytes()) * ClientFrameBytes();
            FillRenderBuffer(Context, length);
            LimitTransfer(Context->Data, length);
            const ULONG packed = PackToStereo(Context->Data, length);
            iso.TransferBufferLength = packed;
            Context->ByteLength = packed;
            return SendTransfer(UsbDevice, Context, USBD_TRANSFER_DIRECTION_OUT, Packets);
        });
}

// The clients count the bytes of their own format: a transfer consumed its packed length times
// the ratio of the two frame sizes.
STDMETHODIMP_(NTSTATUS)
CVariantDStream::OnTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Context)
{
    const ULONG deviceFrame = DeviceFrameBytes();
    const ULONG clientBytes = deviceFrame ? Context->ByteLength / deviceFrame * ClientFrameBytes() : 0;
    FinishRenderTransfer(Irp->IoStatus.Status, Context, clientBytes, TRUE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
