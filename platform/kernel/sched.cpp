// The scheduler core of the stand-in: which threads the platform counts, the one clock, the
// deadline queue, and what happens when the last runnable thread blocks. In virtual mode that
// thread moves time to the earliest deadline and performs the expiries itself, so time jumps
// without any sleeping; with nothing left to expire it reports a deadlock.
#include "plat_fatal.h"
#include "plat_irql.h"
#include "sched_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace plat
{
namespace sched
{

namespace
{

__thread ThreadRec* tCurrent = nullptr;
pthread_key_t g_lazyKey;
pthread_once_t g_lazyKeyOnce = PTHREAD_ONCE_INIT;

void UnregisterAndFree(ThreadRec* rec);

// Runs when a lazily registered host thread ends (never for the process's main thread).
void LazyThreadEnded(void* value)
{
    UnregisterAndFree(static_cast<ThreadRec*>(value));
}

void CreateLazyKey()
{
    pthread_key_create(&g_lazyKey, LazyThreadEnded);
}

void SetHostThreadName(const std::string& name)
{
    char shortName[16];
    snprintf(shortName, sizeof(shortName), "%s", name.c_str());
    pthread_setname_np(pthread_self(), shortName);
}

// On the heap: a joinable std::thread destroyed at exit would terminate the process.
std::thread* g_clockThread = nullptr;

void ExpireDueLocked(Scheduler& s)
{
    ULONGLONG now = NowLocked(s);
    while (!s.Deadlines.empty() && s.Deadlines.begin()->Due <= now)
    {
        Deadline d = *s.Deadlines.begin();
        s.Deadlines.erase(s.Deadlines.begin());
        if (d.Kind == DeadlineKind::Timer)
        {
            ExpireTimerLocked(static_cast<PKTIMER>(d.Target));
        }
        else
        {
            auto* rec = static_cast<ThreadRec*>(d.Target);
            rec->Wait.HasDeadline = false;
            WakeLocked(rec, STATUS_TIMEOUT);
        }
    }
}

bool AnyThreadWaitsForSomething(const Scheduler& s)
{
    for (const ThreadRec* rec : s.Threads)
        if (rec->Waiting && !rec->Wait.Idle)
            return true;
    return false;
}

std::string DescribeWait(const ThreadRec* rec);

[[noreturn]] void ReportDeadlock(Scheduler& s)
{
    std::string report =
        "deadlock: every platform thread waits and no timer or time-out is pending (interrupt "
        "time " +
        std::to_string(NowLocked(s)) + "); threads:\n";
    for (const ThreadRec* rec : s.Threads)
        report += "  '" + rec->Name + "': " + DescribeWait(rec) + "\n";
    if (report.size() > 1800)
        fprintf(stderr, "%s", report.c_str());
    Fatal("%s", report.c_str());
}

// A pending wait time-out or delay means some thread will run again, whatever timers do.
bool AnyWaitDeadline(const Scheduler& s)
{
    for (const Deadline& d : s.Deadlines)
        if (d.Kind == DeadlineKind::Wait)
            return true;
    return false;
}

[[noreturn]] void ReportRunaway(Scheduler& s, ULONGLONG due)
{
    std::string report = "virtual time would run " + std::to_string(s.NoProgressLimit / 10000000) +
                         " s past the last progress (next deadline at interrupt time " + std::to_string(due) +
                         "): every thread waits and only timers keep running; threads:\n";
    for (const ThreadRec* rec : s.Threads)
        report += "  '" + rec->Name + "': " + DescribeWait(rec) + "\n";
    Fatal("%s", report.c_str());
}

// The last runnable thread is about to block or leave. In virtual mode, jump to each next
// deadline and expire it until some thread can run again.
void OnAllBlockedLocked(Scheduler& s)
{
    if (!s.Settlers.empty())
    {
        // Everyone else waits: the settling threads go on before time may move.
        std::vector<ThreadRec*> settlers;
        settlers.swap(s.Settlers);
        for (ThreadRec* rec : settlers)
            WakeLocked(rec, STATUS_SUCCESS);
        return;
    }
    while (s.Runnable == 0)
    {
        if (s.Deadlines.empty())
        {
            if (AnyThreadWaitsForSomething(s))
                ReportDeadlock(s);
            return; // only idle platform threads: quiet, not stuck
        }
        if (s.Mode != ClockMode::Virtual)
            return; // the clock thread expires deadlines on the wall clock
        ULONGLONG due = s.Deadlines.begin()->Due;
        if (due > s.LastProgress + s.NoProgressLimit && !AnyWaitDeadline(s))
            ReportRunaway(s, due);
        if (due > s.VirtualNow.load(std::memory_order_relaxed))
            s.VirtualNow.store(due, std::memory_order_release);
        ExpireDueLocked(s);
    }
}

std::chrono::steady_clock::time_point SteadyTimeOf(const Scheduler& s, ULONGLONG interruptTime)
{
    LONGLONG delta = LONGLONG(interruptTime - s.RealStart);
    return s.RealEpoch + std::chrono::nanoseconds(delta * 100);
}

void ClockThreadBody()
{
    Scheduler& s = S();
    std::unique_lock<std::mutex> lock(s.Lock);
    while (!s.ClockThreadStop)
    {
        if (s.Mode != ClockMode::Real || s.Deadlines.empty())
        {
            s.ClockCv.wait(lock);
            continue;
        }
        ULONGLONG due = s.Deadlines.begin()->Due;
        if (due <= NowLocked(s))
            ExpireDueLocked(s);
        else
            s.ClockCv.wait_until(lock, SteadyTimeOf(s, due));
    }
}

void StartClockThreadLocked(Scheduler& s)
{
    if (s.ClockThreadRunning)
        return;
    s.ClockThreadRunning = true;
    s.ClockThreadStop = false;
    g_clockThread = new std::thread(ClockThreadBody);
}

void SwitchModeLocked(Scheduler& s, ClockMode mode)
{
    if (mode == s.Mode)
        return;
    ULONGLONG now = NowLocked(s);
    if (mode == ClockMode::Real)
    {
        s.RealEpoch = std::chrono::steady_clock::now();
        s.RealStart = now;
        StartClockThreadLocked(s);
    }
    else
    {
        s.VirtualNow.store(now, std::memory_order_release);
    }
    s.Mode = mode;
    s.ClockCv.notify_all();
}

Scheduler* CreateScheduler()
{
    auto* s = new Scheduler;
    s->RealEpoch = std::chrono::steady_clock::now();
    const char* mode = getenv("UACSIM_CLOCK");
    if (mode != nullptr && strcmp(mode, "real") == 0)
    {
        std::unique_lock<std::mutex> lock(s->Lock);
        s->Mode = ClockMode::Real;
        s->RealStart = 0;
        // A run on the wall clock also tells the wall-clock date (100 ns units since 1601).
        constexpr LONGLONG kUnixEpochIn1601Units = 116444736000000000LL;
        auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
        s->SystemTimeOffset =
            ULONGLONG(kUnixEpochIn1601Units +
                      std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100);
    }
    return s;
}

void ShutdownAtExit()
{
    plat::Shutdown();
}

} // namespace

void CheckNoMutexHeldLocked(ThreadRec* rec)
{
    if (rec->OwnedMutexes.Flink != &rec->OwnedMutexes)
    {
        PKMUTEX mutex = CONTAINING_RECORD(rec->OwnedMutexes.Flink, KMUTEX, MutantListEntry);
        Fatal("thread '%s' ended while it holds kernel mutex %p (every acquisition needs its release)",
              rec->Name.c_str(), static_cast<void*>(mutex));
    }
}

namespace
{

void UnregisterAndFree(ThreadRec* rec)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Fatal("thread '%s' ended at IRQL %d: threads must end at PASSIVE_LEVEL", rec->Name.c_str(),
              KeGetCurrentIrql());
    {
        std::unique_lock<std::mutex> lock(S().Lock);
        CheckNoMutexHeldLocked(rec);
        UnregisterLocked(lock, rec);
    }
    tCurrent = nullptr;
    delete rec->Object;
    delete rec;
}

ThreadRec* RegisterCurrent(const char* name, bool lazy)
{
    ThreadRec* rec = NewThreadRec(ThreadKind::Host, name);
    rec->Object = new KTHREAD;
    InitHeader(&rec->Object->Header, ThreadObject, sizeof(KTHREAD), 0);
    rec->Object->PlatformThread = rec;
    {
        std::unique_lock<std::mutex> lock(S().Lock);
        if (rec->Name.empty())
            rec->Name = (getpid() == gettid()) ? "main" : "host-" + std::to_string(rec->Id);
        RegisterLocked(rec);
        EnsureAtExit(lock);
    }
    BindCurrent(rec);
    if (lazy)
    {
        pthread_once(&g_lazyKeyOnce, CreateLazyKey);
        pthread_setspecific(g_lazyKey, rec);
    }
    return rec;
}

} // namespace

Scheduler& S()
{
    static Scheduler* scheduler = CreateScheduler();
    return *scheduler;
}

ULONGLONG NowLocked(const Scheduler& s)
{
    if (s.Mode == ClockMode::Virtual)
        return s.VirtualNow.load(std::memory_order_acquire);
    auto elapsed = std::chrono::steady_clock::now() - s.RealEpoch;
    return s.RealStart +
           ULONGLONG(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
}

// Reads of the clock take the lock only in real mode, where the epoch may be replaced.
ULONGLONG Now()
{
    Scheduler& s = S();
    std::unique_lock<std::mutex> lock(s.Lock, std::defer_lock);
    if (s.Mode != ClockMode::Virtual)
        lock.lock();
    return NowLocked(s);
}

ThreadRec* CurrentIfRegistered()
{
    return tCurrent;
}

ThreadRec* Current()
{
    if (tCurrent != nullptr)
        return tCurrent;
    return RegisterCurrent(nullptr, true);
}

// Leaves the IRQL alone: a thread registered lazily may be at DISPATCH_LEVEL already, and
// threads the platform starts begin at PASSIVE_LEVEL anyway.
void BindCurrent(ThreadRec* rec)
{
    tCurrent = rec;
    SetHostThreadName(rec->Name);
}

void UnbindCurrent()
{
    tCurrent = nullptr;
}

ThreadRec* NewThreadRec(ThreadKind kind, const char* name)
{
    auto* rec = new ThreadRec;
    rec->Kind = kind;
    rec->Name = name ? name : "";
    rec->OwnedMutexes.Flink = rec->OwnedMutexes.Blink = &rec->OwnedMutexes;
    rec->Id = S().NextThreadId.fetch_add(1);
    return rec;
}

ThreadRec* RecOf(PKTHREAD thread)
{
    if (thread == nullptr || thread->Header.Type != ThreadObject || thread->PlatformThread == nullptr)
        Fatal("%p is not a thread object", static_cast<void*>(thread));
    return static_cast<ThreadRec*>(thread->PlatformThread);
}

void RegisterLocked(ThreadRec* rec)
{
    Scheduler& s = S();
    rec->Registered = true;
    s.Threads.push_back(rec);
    s.LastProgress = NowLocked(s);
    ++s.Runnable;
}

void UnregisterLocked(std::unique_lock<std::mutex>& lock, ThreadRec* rec)
{
    Scheduler& s = S();
    if (!rec->Registered)
        return;
    rec->Registered = false;
    s.LastProgress = NowLocked(s);
    for (auto it = s.Threads.begin(); it != s.Threads.end(); ++it)
        if (*it == rec)
        {
            s.Threads.erase(it);
            break;
        }
    if (--s.Runnable == 0)
        OnAllBlockedLocked(s);
}

// Blocks the calling thread until WakeLocked ends its wait.
void BlockLocked(std::unique_lock<std::mutex>& lock, ThreadRec* self)
{
    Scheduler& s = S();
    self->Waiting = true;
    if (--s.Runnable == 0)
        OnAllBlockedLocked(s);
    while (!self->WaitDone)
        self->Cv.wait(lock);
    self->Waiting = false;
}

void InsertDeadlineLocked(const Deadline& deadline)
{
    Scheduler& s = S();
    auto it = s.Deadlines.insert(deadline).first;
    if (s.Mode == ClockMode::Real && it == s.Deadlines.begin())
    {
        StartClockThreadLocked(s); // after a shutdown it runs again on demand
        s.ClockCv.notify_all();
    }
}

void RemoveDeadlineLocked(ULONGLONG due, ULONGLONG seq)
{
    S().Deadlines.erase(Deadline{due, seq, DeadlineKind::Timer, nullptr});
}

ULONGLONG DueFromTimeout(LONGLONG timeout, ULONGLONG now)
{
    if (timeout < 0)
        return now + ULONGLONG(-timeout);
    ULONGLONG offset = S().SystemTimeOffset.load(std::memory_order_relaxed);
    return ULONGLONG(timeout) > offset ? ULONGLONG(timeout) - offset : 0;
}

void EnsureAtExit(std::unique_lock<std::mutex>& lock)
{
    Scheduler& s = S();
    if (s.AtExitRegistered)
        return;
    s.AtExitRegistered = true;
    atexit(ShutdownAtExit);
    if (s.Mode == ClockMode::Real)
        StartClockThreadLocked(s);
}

void ShutdownClockThread()
{
    Scheduler& s = S();
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        if (!s.ClockThreadRunning)
            return;
        s.ClockThreadStop = true;
        s.ClockCv.notify_all();
    }
    g_clockThread->join();
    delete g_clockThread;
    g_clockThread = nullptr;
    std::lock_guard<std::mutex> lock(s.Lock);
    s.ClockThreadRunning = false;
    if (s.Mode == ClockMode::Real && !s.Deadlines.empty())
        StartClockThreadLocked(s); // a deadline arrived while it stopped
}

namespace
{

const char* KindName(ThreadKind kind)
{
    switch (kind)
    {
    case ThreadKind::System:
        return "system thread";
    case ThreadKind::Dpc:
        return "DPC thread";
    case ThreadKind::Worker:
        return "worker thread";
    default:
        return "host thread";
    }
}

std::string DescribeObject(PVOID object)
{
    auto* header = static_cast<PDISPATCHER_HEADER>(object);
    char text[160];
    snprintf(text, sizeof(text), "%s %p", ObjectKindName(header), object);
    std::string result = text;
    if (header->Type == MutantObject)
    {
        auto* mutex = static_cast<PKMUTEX>(object);
        result += mutex->OwnerThread ? " (owned by '" + RecOf(mutex->OwnerThread)->Name + "')" : " (free)";
    }
    if (header->Type == ThreadObject)
        result += " (thread '" + RecOf(static_cast<PKTHREAD>(object))->Name + "')";
    return result;
}

std::string DescribeWait(const ThreadRec* rec)
{
    std::string text = KindName(rec->Kind);
    if (!rec->Waiting)
        return text + ", running";
    if (rec->Wait.Idle)
        return text + ", idle";
    const WaitState& w = rec->Wait;
    text += ", waiting in " + std::string(w.Api ? w.Api : "a platform wait");
    if (w.Count > 1)
        text += w.Type == WaitAll ? " (WaitAll)" : " (WaitAny)";
    text += " for ";
    for (ULONG i = 0; i < w.Count; ++i)
        text += (i ? ", " : "") + DescribeObject(w.Blocks[i].Object);
    if (w.What)
    {
        char what[160];
        snprintf(what, sizeof(what), "%s %p", w.What, w.WhatObject);
        text += what;
    }
    text += w.HasDeadline ? ", time-out at interrupt time " + std::to_string(w.Deadline) : ", no time-out";
    return text;
}

} // namespace

} // namespace sched

void SetClockMode(ClockMode mode)
{
    sched::Scheduler& s = sched::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    sched::EnsureAtExit(lock); // the clock thread must be joined at exit
    sched::SwitchModeLocked(s, mode);
}

ClockMode GetClockMode()
{
    sched::Scheduler& s = sched::S();
    std::lock_guard<std::mutex> lock(s.Lock);
    return s.Mode;
}

ULONGLONG InterruptTime()
{
    return sched::Now();
}

ULONGLONG SystemTime()
{
    return sched::Now() + sched::S().SystemTimeOffset.load(std::memory_order_relaxed);
}

void SetCurrentThreadName(const char* name)
{
    sched::ThreadRec* rec = sched::Current();
    {
        std::lock_guard<std::mutex> lock(sched::S().Lock);
        rec->Name = name;
    }
    sched::SetHostThreadName(rec->Name);
}

void SetThreadName(PKTHREAD thread, const char* name)
{
    sched::ThreadRec* rec = sched::RecOf(thread);
    std::lock_guard<std::mutex> lock(sched::S().Lock);
    rec->Name = name;
}

std::string ThreadName(PKTHREAD thread)
{
    sched::ThreadRec* rec = sched::RecOf(thread);
    std::lock_guard<std::mutex> lock(sched::S().Lock);
    return rec->Name;
}

std::string DescribeThreads()
{
    sched::Scheduler& s = sched::S();
    std::lock_guard<std::mutex> lock(s.Lock);
    std::string text;
    for (const sched::ThreadRec* rec : s.Threads)
        text += "'" + rec->Name + "': " + sched::DescribeWait(rec) + "\n";
    return text;
}

void Settle()
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        Fatal("plat::Settle at IRQL %d: it waits, so it must run at or below APC_LEVEL", KeGetCurrentIrql());
    sched::ThreadRec* self = sched::Current();
    sched::Scheduler& s = sched::S();
    std::unique_lock<std::mutex> lock(s.Lock);
    s.Settlers.push_back(self);
    sched::WaitState info;
    info.Api = "plat::Settle";
    info.What = "every other thread to wait";
    sched::WaitLocked(lock, self, 0, nullptr, WaitAny, nullptr, true, 0, info);
}

SIZE_T QueuedTimerCount()
{
    sched::Scheduler& s = sched::S();
    std::lock_guard<std::mutex> lock(s.Lock);
    SIZE_T count = 0;
    for (const sched::Deadline& d : s.Deadlines)
        count += d.Kind == sched::DeadlineKind::Timer;
    return count;
}

ScopedThreadRegistration::ScopedThreadRegistration(const char* name) : m_bRegistered(false)
{
    if (sched::CurrentIfRegistered() != nullptr)
    {
        SetCurrentThreadName(name);
        return;
    }
    sched::RegisterCurrent(name, false);
    m_bRegistered = true;
}

ScopedThreadRegistration::~ScopedThreadRegistration()
{
    if (m_bRegistered)
        sched::UnregisterAndFree(sched::CurrentIfRegistered());
}

} // namespace plat
