// CMiniportWaveCyclicStream: the stream of an open wave pin. It is also the pin's DMA channel,
// a software one over a non-paged cyclic buffer, and its DRM stream. While the pin runs it is a
// client of the endpoint's USB stream, which drives it through stream notifications: render
// data is copied out of the cyclic buffer into each transfer, captured data into it, and the
// position follows the completed transfers and the performance counter.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "ksmedia.h"

#include "driver/core/stream_engine_if.h"
#include "driver/dsp/dsp_interleave_src.h"
#include "driver/wave/cyclic_control.h"

class CMiniportWaveCyclic;

// The cyclic buffer and the conversion chain.
#define WAVE_STREAM_BUFFER_POOL_TAG MAKE_POOL_TAG('C', 'C', 'S', 'T')

constexpr ULONG WAVE_STREAM_NOTIFICATION_MS = 10;
constexpr ULONG WAVE_STREAM_TRANSFERS_IN_FLIGHT = 3;
constexpr ULONG WAVE_STREAM_MS_PER_TRANSFER = 5;
constexpr ULONG WAVE_STREAM_START_DELAY_FRAMES = 2;
constexpr ULONG WAVE_STREAM_MAX_BUFFER_BYTES = 307200;
constexpr ULONG WAVE_STREAM_HISTORY = 10;
// The cyclic buffer holds 1/20 s of the pin's format.
constexpr ULONG WAVE_STREAM_BUFFERS_PER_SECOND = 20;

// Turns byte counts of the leading client's format into byte counts of the pin's format
// through whole milliseconds, carrying every remainder so that nothing is lost over many
// transfers. Integer arithmetic only; the owner's spin lock guards it.
struct WaveByteRateConverter
{
    ULONG ClientWhole;       // leader's bytes per millisecond, integer part (Ci)
    ULONG ClientThousandths; // and thousandths (Cf)
    ULONG ClientFraction;    // thousandths carried (Ca)
    ULONG ClientRemainder;   // leader's bytes not yet a whole millisecond (R)
    ULONG OwnWhole;          // Oi
    ULONG OwnThousandths;    // Of
    ULONG OwnRemainder;      // Or
    ULONG ClientBytesPerSec; // the leader's rate, for rates under a byte per millisecond
    ULONG OwnBytesPerSec;

    VOID SetOwn(ULONG BytesPerSec);
    VOID SetClient(ULONG BytesPerSec);
    ULONG Convert(ULONG ClientBytes);
};

class CMiniportWaveCyclicStream : public IMiniportWaveCyclicStream,
                                  public IDmaChannel,
                                  public IDrmAudioStream,
                                  public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(CMiniportWaveCyclicStream);
    ~CMiniportWaveCyclicStream() override;

    // PASSIVE_LEVEL; by the miniport's NewStream only. Pin is not used.
    NTSTATUS Init(CMiniportWaveCyclic* Miniport, ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
                  IStreamEngine* StreamObject, PSERVICEGROUP* ServiceGroup);

    // IMiniportWaveCyclicStream. SetFormat, SetState, SetNotificationFreq: PASSIVE_LEVEL; the
    // others at IRQL <= DISPATCH_LEVEL.
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FramingSize) override;
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(PULONG Position) override;
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG PhysicalPosition) override;
    STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount) override;

    // IDmaChannel. AllocateBuffer and FreeBuffer at PASSIVE_LEVEL; CopyTo and CopyFrom at
    // DISPATCH_LEVEL; the rest at any IRQL.
    STDMETHODIMP_(NTSTATUS)
    AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) override;
    STDMETHODIMP_(void) FreeBuffer() override;
    STDMETHODIMP_(ULONG) TransferCount() override;
    STDMETHODIMP_(ULONG) MaximumBufferSize() override;
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override;
    STDMETHODIMP_(ULONG) BufferSize() override;
    STDMETHODIMP_(void) SetBufferSize(ULONG BufferSize) override;
    STDMETHODIMP_(PVOID) SystemAddress() override;
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;
    STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) override;
    STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) override;

    // IDrmAudioStream. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights) override;

    // The callback registered with the USB stream. DISPATCH_LEVEL or below.
    static VOID OnStreamNotification(PVOID Context, PVOID Argument1, PVOID Argument2);

    // For tests and the miniport: the pin's format and the render copy offset.
    const WAVEFORMATEXTENSIBLE& GetWaveFormat() const { return m_WaveFormat; }
    ULONG GetCopyOffset() const { return m_nCopyOffset; }
    CDspInterleaveSrc* GetConversionChain() const { return m_pConversionChain; }

private:
    NTSTATUS Run(ICyclicControl* Control);
    NTSTATUS Pause(ICyclicControl* Control);
    VOID ResetPositions();
    VOID CopyWaveFormat(PCWAVEFORMATEX Format);
    ULONG BufferBytesFor(PCWAVEFORMATEX Format) const;
    LONGLONG Now10us() const;
    BOOLEAN ClientLeadsAtOwnRate(const StreamClient* Leader) const;
    VOID OnTransferDone(const StreamNotification* Notification);
    VOID OnConfigure(const StreamNotification* Notification);
    VOID OnRenderData(const StreamNotification* Notification);
    VOID OnCaptureData(const StreamNotification* Notification);
    BOOLEAN SpansBuffer(PVOID Inside, ULONG ByteCount);
    VOID RingRead(PUCHAR Destination, ULONG Bytes);
    VOID RingWrite(const UCHAR* Source, ULONG Bytes);
    VOID RingSilence(ULONG Bytes);
    VOID PushHistory(ULONG Bytes);

    CMiniportWaveCyclic* m_pMiniport;
    IStreamEngine* m_pStreamObject;
    KSSTATE m_State;
    ULONG m_nNotificationInterval;
    PVOID m_pRegistrationKey;
    StreamClient* m_pClientRecord;
    PSERVICEGROUP m_pServiceGroup;
    WAVEFORMATEXTENSIBLE m_WaveFormat;
    ULONG m_nInFlight;
    PUCHAR m_pBuffer;
    ULONG m_nAllocatedSize;
    ULONG m_nTransferPosition;
    ULONG m_nBufferSize;
    ULONG m_nLastPosition;
    ULONG m_nCopyOffset;
    ULONG m_nPendingBytes;
    LONGLONG m_llTimeStamp;
    KSPIN_LOCK m_StreamLock;
    UCHAR m_bCapture;
    UCHAR m_bCounted;
    ULONG m_History[WAVE_STREAM_HISTORY];
    ULONG m_nHistoryRead;
    ULONG m_nHistoryWrite;
    // Separate converters for the three paths that convert leader counts, so one path's
    // remainders never bend another's: completed transfers, render history, capture copies.
    WaveByteRateConverter m_PositionRate;
    WaveByteRateConverter m_HistoryRate;
    WaveByteRateConverter m_CopyRate;
    CDspInterleaveSrc* m_pConversionChain;
    WAVEFORMATEXTENSIBLE m_AnnouncedFormat;
};
