// One configurable wave miniport for the tests that drive the WaveCyclic port and the audio
// engine: the miniport (one streaming pin with the test's ranges, one bridge pin), its stream
// and the stream's DMA channel over a plain buffer. The stream models a device: while it runs,
// a timer DPC every TickMs moves the position on by that much audio, consumes the bytes it
// passed (render, kept in the log) or writes CaptureByte there (capture), and calls the port's
// Notify under the stream's spin lock, as a real stream does. Every call is logged.
#pragma once

#include "portcls.h"
#include "ksmedia.h"

#include <string>
#include <vector>

namespace doubles
{

// The byte a capture stream writes at absolute byte index N since it started.
inline UCHAR CaptureByte(ULONGLONG N)
{
    return UCHAR((N * 7) ^ (N >> 8));
}

struct WaveMiniportConfig
{
    KSPIN_DATAFLOW Flow = KSPIN_DATAFLOW_IN; // of the streaming pin: IN renders, OUT captures
    ULONG MaxChannels = 2;
    ULONG MinBits = 16, MaxBits = 24;
    ULONG MinRate = 44100, MaxRate = 48000;
    ULONG MaxInstances = 1;                         // the streaming pin's instance counts
    ULONG MaxStreams = 1;                           // NewStream refuses more
    NTSTATUS IntersectionStatus = STATUS_SUCCESS;   // anything else: every intersection fails so
    int FailState = -1;                             // SetState to this state fails ...
    NTSTATUS FailStateStatus = STATUS_UNSUCCESSFUL; // ... with this status
    ULONG TickMs = 5;
    bool RestartOnRun = false; // the position starts again from 0 at every RUN, as a stream
                               // whose client restarts does
};

struct WaveMiniportLog
{
    std::vector<std::string> Calls; // "Init", "GetDescription", "Intersect", "NewStream",
                                    // "SetNotificationFreq 10", "SetState 1", "SetFormat",
                                    // "stream destroyed", "destroyed"
    PPORTWAVECYCLIC Port = nullptr;
    PSERVICEGROUP Group = nullptr; // of the last stream made (not referenced)
    std::vector<UCHAR> Rendered;   // bytes a render stream consumed, in order
    ULONGLONG Captured = 0;        // bytes a capture stream wrote
    ULONG Position = 0;            // the stream's offset in its buffer
    ULONG BufferSize = 0;          // of the last stream's buffer
    bool InNotify = false;         // true while the stream is inside the port's Notify
    ULONG Streams = 0;             // streams alive
    BOOLEAN Capture = FALSE;       // NewStream's flag
};

// Makes a new miniport with one non-delegating reference, which the caller owns. The miniport
// reads Config (which must outlive it) at each call, so a test may change it between calls;
// a stream copies it when it is made.
PUNKNOWN CreateTestWaveMiniport(const WaveMiniportConfig* Config, WaveMiniportLog* Log);

// A service sink that records the IRQL of each call and whether it came from inside Notify.
class CRecordingSink : public IServiceSink, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    static CRecordingSink* Create(const WaveMiniportLog* Log);
    STDMETHODIMP_(void) RequestService() override;

    std::vector<KIRQL> Irqls;
    ULONG CallsInsideNotify = 0;

private:
    explicit CRecordingSink(const WaveMiniportLog* Log) : CUnknown(nullptr), m_pLog(Log) {}
    const WaveMiniportLog* m_pLog;
};

} // namespace doubles
