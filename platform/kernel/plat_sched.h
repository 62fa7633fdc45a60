// Control of the stand-in's execution model for hosts and tests: the clock mode, the current
// platform time, which host threads the platform counts, thread names, recorded priorities
// and timer-resolution raises, and the orderly stop of the platform's own threads.
//
// Virtual time advances only when every platform thread waits in a platform wait, so every
// thread that can wake another must be known to the platform before the other one blocks.
// Threads that call into the platform are registered on their first call; threads a test
// starts should be started with plat::HostThread, which registers the new thread before it
// runs (a thread that registers itself may come too late: time may already have jumped).
#pragma once

#include "ntdef.h"
#include "thread.h"

#include <functional>
#include <string>

namespace plat
{

enum class ClockMode
{
    Virtual, // stands still while any platform thread runs; jumps to the next deadline
    Real,    // follows the host's monotonic clock
};

// The mode comes from UACSIM_CLOCK ("real" or "virtual") when the platform starts; hosts
// (the tool's --realtime) may switch later. The clock stays continuous across a switch.
void SetClockMode(ClockMode Mode);
ClockMode GetClockMode();

// Interrupt time starts at 0. System time starts at 2026-01-01 00:00:00 UTC, except when the
// platform starts in real mode (UACSIM_CLOCK=real), where it starts at the host's UTC time.
// A later switch of mode keeps both clocks continuous.
constexpr ULONGLONG kVirtualStartSystemTime = 134116992000000000ULL; // 100 ns units since 1601

// The one clock, in 100 ns units: interrupt time since the platform started (what other
// stand-ins, such as the USB bus frame counter, derive from) and system time.
ULONGLONG InterruptTime();
ULONGLONG SystemTime();

// Names the calling thread (or any thread) in diagnostics such as the deadlock report.
void SetCurrentThreadName(const char* Name);
void SetThreadName(PKTHREAD Thread, const char* Name);
std::string ThreadName(PKTHREAD Thread);

// A host thread that the platform counts from the moment it is constructed. Join (also done
// by the destructor) waits through the platform, so virtual time keeps running meanwhile.
class HostThread
{
public:
    HostThread(const char* Name, std::function<void()> Body);
    ~HostThread();
    HostThread(const HostThread&) = delete;
    HostThread& operator=(const HostThread&) = delete;

    void Join();
    PKTHREAD Thread() const; // waitable; signalled when Body returns

private:
    struct State;
    State* m_pState;
};

// Registers the calling thread for the lifetime of the object (for threads the platform did
// not start). Registration ends when the object goes; a thread that was already registered
// (for instance lazily) is only renamed.
class ScopedThreadRegistration
{
public:
    explicit ScopedThreadRegistration(const char* Name);
    ~ScopedThreadRegistration();
    ScopedThreadRegistration(const ScopedThreadRegistration&) = delete;
    ScopedThreadRegistration& operator=(const ScopedThreadRegistration&) = delete;

private:
    bool m_bRegistered;
};

// Returns once every other platform thread waits (blocked or idle), without letting time
// advance: whatever the others can do at this instant has been done. PASSIVE or APC level.
void Settle();

// Recorded priority of a thread (KeSetPriorityThread records, nothing applies it).
KPRIORITY RecordedPriority(PKTHREAD Thread);

// ExSetTimerResolution: raises not yet released, and releases that had no raise to match.
LONG TimerResolutionRaises();
LONG TimerResolutionUnmatchedReleases();
ULONG CurrentTimerResolution();

// Virtual time stops the process rather than jump more than Limit (100 ns units, default
// 24 h) past the last progress: the last time a thread other than an idle DPC or worker thread
// woke, started or ended) while no wait time-out or delay is pending. A wait that only
// periodic timers keep alive would otherwise spin
// through virtual years; this ends it with the thread report.
void SetNoProgressLimit(ULONGLONG Limit);

// While held, queued work items stay queued (no worker takes them), so a test can observe
// the queue's rules; releasing the hold lets the workers run them.
void HoldWorkQueue(bool Hold);

// Fault switch: timers fire late, as a loaded system's do. An expiry the switch applies to is
// held back Late (100 ns units) past its due time, then signals the timer and queues its DPC
// (whose system-time arguments give the late instant). Nth = 0 applies it to every expiry;
// Nth = N only to the Nth expiry of any timer counted from this call. A periodic timer keeps
// its grid: the next expiry is due a whole number of periods after the original due time, and
// periods missed meanwhile are skipped, not fired in a burst. Late = 0 (the default) is off.
void SetTimerLateness(ULONGLONG Late, ULONG Nth = 0);

// Test hook: the next Count calls of PsCreateSystemThread fail with
// STATUS_INSUFFICIENT_RESOURCES (0 ends the injection).
void FailSystemThreadCreations(ULONG Count);

// System threads that have not ended yet.
SIZE_T LiveSystemThreadCount();
// Timers queued on the clock.
SIZE_T QueuedTimerCount();

// Every registered thread and what it is doing or waiting for, one per line (the deadlock
// report's body).
std::string DescribeThreads();

// Waits (through the platform) until every system thread has ended, runs what is left in the
// DPC and work queues, then stops and joins the DPC, worker and clock threads. Called at
// process exit; hosts and tests may call it earlier. The platform restarts its threads on
// demand afterwards.
void Shutdown();

} // namespace plat
