// The simulated audio engine: it finds a device's wave filters through their device interfaces,
// opens a pin with a format, steps it through its states, and while the pin runs keeps its
// cyclic buffer fed ahead of the position (render) or drained behind it (capture) every 10 ms
// of platform time, from a caller's sample source or into a caller's sink. Requests travel as
// the audio stack's do: a pin create on the filter, IOCTL_KS_PROPERTY on the pin handle; the
// cyclic buffer is reached through the pin's DMA channel, as the real stack maps it.
#pragma once

#include "sim/host/io_client.h"

#include "ks_requests.h"
#include "ksmedia.h"
#include "plat_portcls.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat
{
class HostThread;
}

namespace sim
{

struct WaveFilterInfo
{
    std::u16string Name; // the subdevice name, the filter's interfaces' reference string
    bool Capture;        // registered under KSCATEGORY_CAPTURE (else KSCATEGORY_RENDER)
};

// A KSDATAFORMAT with its wave format behind it: WAVEFORMATEXTENSIBLE (104 bytes) or, when
// Extensible is false, a plain WAVEFORMATEX (82 bytes, ValidBits ignored).
std::vector<UCHAR> WaveDataFormat(WORD Channels, DWORD RateHz, WORD ContainerBits, WORD ValidBits,
                                  const GUID& SubFormat = KSDATAFORMAT_SUBTYPE_PCM, bool Extensible = true);

// What the engine saw while the pin ran (since it was opened, last stopped or given a format
// with a new buffer).
struct AudioPinStats
{
    ULONGLONG PositionBytes = 0; // how far the position advanced, across wraps of the buffer
    ULONGLONG WrittenBytes = 0;  // render: the written mark, bytes put into the buffer
    ULONGLONG ReadBytes = 0;     // capture: bytes handed to the sink
    ULONG Periods = 0;           // service periods run
    ULONG Underruns = 0;         // render: periods that found the position past the written mark
    ULONG Overruns = 0;          // capture: periods that found more than a buffer unread
    ULONG Restarts = 0;          // runs after a pause that found the stream's position moved
    ULONG ServiceCount = 0;      // the port's service calls for the pin, as last read
};

// Render data wanted: fill Bytes bytes. Capture data: Bytes bytes, in order.
using RenderSource = std::function<void(UCHAR* Data, ULONG Bytes)>;
using CaptureSink = std::function<void(const UCHAR* Data, ULONG Bytes)>;

class AudioPin
{
public:
    static constexpr ULONG kPeriodMs = 10;

    // The device's wave filters: its enabled KSCATEGORY_RENDER and KSCATEGORY_CAPTURE interfaces.
    static std::vector<WaveFilterInfo> EnumerateWaveFilters(PDEVICE_OBJECT Pdo);
    // Opens the filter, then a pin of factory PinId with DataFormat. The pin's data flow (read
    // from the filter) says whether it renders or captures.
    static NTSTATUS Open(PDEVICE_OBJECT Pdo, const std::u16string& Filter, ULONG PinId,
                         const std::vector<UCHAR>& DataFormat, std::unique_ptr<AudioPin>* Pin);
    ~AudioPin();
    AudioPin(const AudioPin&) = delete;
    AudioPin& operator=(const AudioPin&) = delete;

    // Without a source the engine feeds silence; without a sink captured data is dropped.
    void SetRenderSource(RenderSource Source);
    void SetCaptureSink(CaptureSink Sink);
    // Render: how far ahead of the position the buffer is kept written (rounded down to whole
    // frames); 0, the default, keeps half the buffer ahead.
    void SetLeadBytes(ULONG Bytes);

    // Run preloads a render buffer up to the lead, then steps the pin to RUN and starts the
    // periods; Pause and Stop end the periods first. Stop also resets the engine's marks, as
    // the stream's position starts again from 0. A stream may also start its position again
    // when it runs after a pause: the engine then moves what it had written and not yet played
    // to the new position, so the source's data stays in order.
    NTSTATUS Run();
    NTSTATUS Pause();
    NTSTATUS Stop();
    // Closes the pin handle (the port steps the stream down) and the filter handle.
    NTSTATUS Close();

    // Requests on the pin handle, as sent, with no bookkeeping of the engine's.
    NTSTATUS SetState(KSSTATE State);
    NTSTATUS GetState(KSSTATE* State);
    NTSTATUS GetPosition(KSAUDIO_POSITION* Position);
    // A format that brings a new buffer resets the engine's marks, as Stop does.
    NTSTATUS SetFormat(const std::vector<UCHAR>& DataFormat);
    NTSTATUS GetFormat(std::vector<UCHAR>* DataFormat);
    IoResult Property(const GUID& Set, ULONG Id, ULONG Verb, void* Value, ULONG ValueSize);
    // What the port knows of the pin (buffer, service calls).
    NTSTATUS View(plat::PcPinView* View);

    AudioPinStats Stats();
    bool IsCapture() const { return m_bCapture; }
    ULONG BlockAlign() const { return m_BlockAlign; }

private:
    AudioPin(std::unique_ptr<ClientHandle> Filter, std::unique_ptr<ClientHandle> Pin, bool Capture,
             const std::vector<UCHAR>& DataFormat);
    void StartPeriods();
    void StopPeriods();
    void PeriodLoop();
    void Service(bool Period);
    ULONG Lead(ULONG BufferSize) const;
    void Feed(const plat::PcPinView& View, ULONGLONG From, ULONGLONG Bytes);
    void Drain(const plat::PcPinView& View, ULONGLONG From, ULONGLONG Bytes);
    // Copies between the ring and Data; From is an absolute mark.
    void RingCopy(const plat::PcPinView& View, ULONGLONG From, UCHAR* Data, ULONGLONG Bytes, bool IntoRing);
    void Rebase(const plat::PcPinView& View, ULONG Offset);
    void ResetMarks();

    std::unique_ptr<ClientHandle> m_pFilter;
    std::unique_ptr<ClientHandle> m_pPin;
    bool m_bCapture;
    ULONG m_BlockAlign;
    ULONG m_LeadBytes;
    RenderSource m_Source;
    CaptureSink m_Sink;

    // Marks, as absolute byte counts since the last stop; touched by the period thread while it
    // runs and by the caller only while it does not.
    ULONG m_LastOffset;
    ULONG m_Shift; // buffer offset = (mark + m_Shift) mod buffer size
    ULONGLONG m_Position;
    ULONGLONG m_Written;
    ULONGLONG m_Read;

    std::mutex m_StatsLock; // held only to copy the record
    AudioPinStats m_Stats;
    std::unique_ptr<plat::HostThread> m_pThread;
    KEVENT m_Quit; // set to end the periods at once, not at the next one
    std::vector<UCHAR> m_Scratch;
};

} // namespace sim
