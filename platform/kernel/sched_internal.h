// Internal to the stand-in: the scheduler state shared by dispatcher objects, timers, DPCs,
// work items, threads and callback objects. One mutex guards all of it; driver code is never
// called with that mutex held.
#pragma once

#include "dispatcher.h"
#include "plat_sched.h"
#include "thread.h"
#include "timer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace plat
{
namespace sched
{

enum class ThreadKind
{
    Host,   // a host or test thread (lazily or explicitly registered, or a HostThread)
    System, // PsCreateSystemThread
    Dpc,    // the platform's DPC thread
    Worker, // a platform worker thread (work items)
};

// What a waiting thread waits for; the deadlock report prints it.
struct WaitState
{
    PKWAIT_BLOCK Blocks = nullptr;
    ULONG Count = 0;
    WAIT_TYPE Type = WaitAny;
    const char* Api = nullptr;  // "KeWaitForSingleObject", "KeDelayExecutionThread", ...
    const char* What = nullptr; // for waits on no dispatcher object: what is awaited
    const void* WhatObject = nullptr;
    bool Idle = false; // an idle platform thread waiting for work
    bool HasDeadline = false;
    ULONGLONG Deadline = 0; // interrupt time
    ULONGLONG DeadlineSeq = 0;
};

struct ThreadRec
{
    PKTHREAD Object = nullptr; // managed object for system threads, plain otherwise
    ThreadKind Kind = ThreadKind::Host;
    std::string Name;
    ULONG Id = 0;
    KPRIORITY Priority = 8;
    bool Registered = false;
    bool Waiting = false; // blocked in a platform wait
    bool WaitDone = true; // no wait in progress
    NTSTATUS WaitStatus = STATUS_SUCCESS;
    WaitState Wait;
    LIST_ENTRY OwnedMutexes; // KMUTEX.MutantListEntry of every mutex the thread holds
    std::condition_variable Cv;
    std::atomic<bool> Ended{false};         // set when the thread has left the platform
    PKSTART_ROUTINE StartRoutine = nullptr; // system threads
    PVOID StartContext = nullptr;
};

enum class DeadlineKind
{
    Timer,
    Wait,
};

struct Deadline
{
    ULONGLONG Due;
    ULONGLONG Seq; // insertion order: equal due times expire first-in, first-out
    DeadlineKind Kind;
    PVOID Target; // PKTIMER or ThreadRec*
    bool operator<(const Deadline& other) const
    {
        return Due != other.Due ? Due < other.Due : Seq < other.Seq;
    }
};

struct Scheduler
{
    std::mutex Lock;
    std::atomic<ClockMode> Mode{ClockMode::Virtual};
    std::atomic<ULONGLONG> VirtualNow{0};
    // Real mode: interrupt time = RealStart + (steady clock - RealEpoch).
    std::chrono::steady_clock::time_point RealEpoch;
    ULONGLONG RealStart = 0;
    std::atomic<ULONGLONG> SystemTimeOffset{kVirtualStartSystemTime};
    std::set<Deadline> Deadlines;
    ULONGLONG NextSeq = 1;
    std::vector<ThreadRec*> Threads;  // registered, in registration order
    int Runnable = 0;                 // registered threads not blocked in a platform wait
    std::vector<ThreadRec*> Settlers; // in plat::Settle: woken when every other thread waits
    std::atomic<ULONG> NextThreadId{1};
    LONG LiveSystemThreads = 0;
    // Virtual time never jumps more than this beyond the last progress (a thread other than an
    // idle DPC or worker thread woke, started or ended): a wait that only periodic timers keep
    // alive would otherwise spin through virtual years instead of failing.
    ULONGLONG NoProgressLimit = 24ULL * 3600 * 10000000;
    ULONGLONG LastProgress = 0;
    bool AtExitRegistered = false;
    // Real mode: the clock thread sleeps on this until the earliest deadline.
    std::condition_variable ClockCv;
    bool ClockThreadRunning = false;
    bool ClockThreadStop = false;
};

Scheduler& S();

// The calling thread's record; registers the thread on its first call.
ThreadRec* Current();
// The calling thread's record, or null when it is not registered (no registration).
ThreadRec* CurrentIfRegistered();

ULONGLONG NowLocked(const Scheduler& s);
ULONGLONG Now();

// Registration and blocking (scheduler lock held).
void RegisterLocked(ThreadRec* rec);
void UnregisterLocked(std::unique_lock<std::mutex>& lock, ThreadRec* rec);
ThreadRec* NewThreadRec(ThreadKind Kind, const char* Name);
// Blocks the calling thread until WakeLocked ends its wait (the thread no longer counts as
// runnable meanwhile).
void BlockLocked(std::unique_lock<std::mutex>& lock, ThreadRec* self);
void BindCurrent(ThreadRec* rec); // makes rec the calling thread's record
void UnbindCurrent();

// The heart of every wait: satisfies it at once or blocks until a signal, the deadline, or
// Wake. Count may be zero (delays and condition waits woken by Wake).
NTSTATUS WaitLocked(std::unique_lock<std::mutex>& lock, ThreadRec* self, ULONG Count, PVOID* Objects,
                    WAIT_TYPE Type, PKWAIT_BLOCK Blocks, bool Infinite, ULONGLONG Due, const WaitState& Info);

// Ends a thread's wait with Status (unlinks its wait blocks and deadline).
void WakeLocked(ThreadRec* rec, NTSTATUS Status);

// After an object became signalled: satisfies waiters in queue order while it stays signalled.
void SignalLocked(PDISPATCHER_HEADER Header);
void InitHeader(PDISPATCHER_HEADER Header, UCHAR Type, UCHAR SizeBytes, LONG SignalState);
LONG SetEventLocked(PRKEVENT Event);

// Deadlines (scheduler lock held).
void InsertDeadlineLocked(const Deadline& deadline);
void RemoveDeadlineLocked(ULONGLONG Due, ULONGLONG Seq);

// Converts a non-zero wait time-out or timer due time (negative relative, positive absolute
// system time) to an interrupt time.
ULONGLONG DueFromTimeout(LONGLONG Timeout, ULONGLONG Now);

// Implemented by timer.cpp, called while time advances.
void ExpireTimerLocked(PKTIMER Timer);
void InsertDpcLocked(PRKDPC Dpc, PVOID Argument1, PVOID Argument2);

// Starts a platform thread (DPC or worker) running Body, registered before it starts.
// The returned record stays valid until the thread has been joined by JoinInternalThreads.
// Scheduler lock held.
ThreadRec* StartInternalThread(ThreadKind Kind, const char* Name, void (*Body)(ThreadRec*));
// Called by an internal thread as its last act (scheduler lock held).
void ExitInternalThreadLocked(std::unique_lock<std::mutex>& lock, ThreadRec* rec);
// Joins an internal thread that has exited or is exiting, and frees its record (no lock held).
void JoinInternalThread(ThreadRec* rec);

// Small intrusive-list helpers for platform state kept in driver-visible structures.
inline void InitList(PLIST_ENTRY head)
{
    head->Flink = head->Blink = head;
}
inline bool ListEmpty(const LIST_ENTRY* head)
{
    return head->Flink == head;
}
inline void InsertTail(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}
inline void InsertHead(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    entry->Flink = head->Flink;
    entry->Blink = head;
    head->Flink->Blink = entry;
    head->Flink = entry;
}
inline void Unlink(PLIST_ENTRY entry)
{
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    entry->Flink = entry->Blink = nullptr;
}

// A thread may not end while it holds a kernel mutex (scheduler lock held).
void CheckNoMutexHeldLocked(ThreadRec* rec);

// Runs at exit (and from plat::Shutdown): the DPC and worker parts.
void ShutdownDpcs();
void ShutdownWorkers();
void ShutdownClockThread();
void EnsureAtExit(std::unique_lock<std::mutex>& lock);

// Thread owning a mutex, by its thread object.
ThreadRec* RecOf(PKTHREAD Thread);

const char* ObjectKindName(const DISPATCHER_HEADER* Header);

// Stops the process unless Object is an initialised dispatcher object (scheduler lock held:
// the wait list it inspects changes under that lock).
void CheckObject(PVOID Object, const char* Api);
void CheckIrqlAtMostDispatch(const char* Api);

} // namespace sched
} // namespace plat
