// System threads, host threads and the platform's own threads. Every host thread the
// platform starts is registered before it runs (so virtual time cannot jump ahead of it) and
// joined by the platform; a system thread's object is signalled when its routine returns or
// it calls PsTerminateSystemThread.
#include "plat_fatal.h"
#include "plat_irql.h"
#include "sched_internal.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace plat
{
namespace sched
{

namespace
{

// A host thread the platform created and must join. Guarded by the scheduler lock.
struct OsThread
{
    ThreadRec* Rec;
    std::thread Thread;
    bool Finished = false;
};
std::vector<OsThread*>* g_osThreads = new std::vector<OsThread*>;

// Thrown by PsTerminateSystemThread and caught in the thread's first frame; driver frames
// in between have unwind tables (x86-64) though they are built without exceptions.
struct ThreadTermination
{
    NTSTATUS Status;
};

// The thread holds a reference on its own object until it ends, so only a reference dropped
// too often can delete the object of a running thread.
void DeleteThreadObject(PVOID body)
{
    auto* rec = static_cast<ThreadRec*>(static_cast<PKTHREAD>(body)->PlatformThread);
    if (!rec->Ended)
        Fatal(
            "thread object %p of running thread '%s' deleted: it was dereferenced more often than referenced",
            body, rec->Name.c_str());
    delete rec;
}

OBJECT_TYPE g_threadType = {"Thread", DeleteThreadObject, nullptr};

std::vector<OsThread*> TakeFinishedSystemThreads()
{
    std::vector<OsThread*> finished;
    std::lock_guard<std::mutex> lock(S().Lock);
    auto& all = *g_osThreads;
    for (auto it = all.begin(); it != all.end();)
    {
        if ((*it)->Finished)
        {
            finished.push_back(*it);
            it = all.erase(it);
        }
        else
        {
            ++it;
        }
    }
    return finished;
}

void JoinFinishedSystemThreads()
{
    for (OsThread* os : TakeFinishedSystemThreads())
    {
        os->Thread.join();
        delete os;
    }
}

// Signals the thread object and leaves the platform; the caller then drops its reference.
void EndThreadLocked(std::unique_lock<std::mutex>& lock, ThreadRec* rec)
{
    if (tCurrentIrql != PASSIVE_LEVEL)
        Fatal("thread '%s' ended at IRQL %d: threads must end at PASSIVE_LEVEL", rec->Name.c_str(),
              tCurrentIrql);
    CheckNoMutexHeldLocked(rec);
    rec->Object->Header.SignalState = 1;
    SignalLocked(&rec->Object->Header);
    UnregisterLocked(lock, rec);
    rec->Ended = true;
}

void SystemThreadMain(ThreadRec* rec, OsThread* os)
{
    BindCurrent(rec);
    try
    {
        rec->StartRoutine(rec->StartContext);
    }
    catch (const ThreadTermination&)
    {
        // PsTerminateSystemThread: the thread ends here, as if its routine had returned.
    }
    PKTHREAD object = rec->Object;
    std::unique_lock<std::mutex> lock(S().Lock);
    EndThreadLocked(lock, rec);
    --S().LiveSystemThreads;
    os->Finished = true;
    // The thread's own reference goes before any waiter can run (they need the lock to wake),
    // so a waiter that drops the last other reference sees the object gone at once.
    ObDereferenceObject(object); // may free rec
    UnbindCurrent();
}

PKTHREAD NewPlainThreadObject(ThreadRec* rec)
{
    auto* object = new KTHREAD;
    InitHeader(&object->Header, ThreadObject, sizeof(KTHREAD), 0);
    object->PlatformThread = rec;
    rec->Object = object;
    return object;
}

} // namespace

ThreadRec* StartInternalThread(ThreadKind kind, const char* name, void (*body)(ThreadRec*))
{
    ThreadRec* rec = NewThreadRec(kind, name);
    NewPlainThreadObject(rec);
    RegisterLocked(rec);
    auto* os = new OsThread{rec, std::thread(), false};
    g_osThreads->push_back(os);
    os->Thread = std::thread(
        [rec, body]
        {
            BindCurrent(rec);
            body(rec);
        });
    return rec;
}

void ExitInternalThreadLocked(std::unique_lock<std::mutex>& lock, ThreadRec* rec)
{
    UnregisterLocked(lock, rec);
    UnbindCurrent();
}

void JoinInternalThread(ThreadRec* rec)
{
    OsThread* os = nullptr;
    {
        std::lock_guard<std::mutex> lock(S().Lock);
        auto& all = *g_osThreads;
        auto it = std::find_if(all.begin(), all.end(), [rec](OsThread* t) { return t->Rec == rec; });
        if (it == all.end())
            return;
        os = *it;
        all.erase(it);
    }
    os->Thread.join();
    delete rec->Object;
    delete rec;
    delete os;
}

} // namespace sched

// ---- HostThread ----

struct HostThread::State
{
    sched::ThreadRec* Rec = nullptr;
    std::thread Thread;
    bool Joined = false;
};

HostThread::HostThread(const char* name, std::function<void()> body) : m_pState(new State)
{
    sched::Current(); // the creator counts too: it may be the one that waits for this thread
    sched::ThreadRec* rec = sched::NewThreadRec(sched::ThreadKind::Host, name);
    sched::NewPlainThreadObject(rec);
    m_pState->Rec = rec;
    {
        std::lock_guard<std::mutex> lock(sched::S().Lock);
        sched::RegisterLocked(rec);
    }
    m_pState->Thread = std::thread(
        [rec, body = std::move(body)]
        {
            sched::BindCurrent(rec);
            body();
            std::unique_lock<std::mutex> lock(sched::S().Lock);
            sched::EndThreadLocked(lock, rec);
            sched::UnbindCurrent();
        });
}

HostThread::~HostThread()
{
    Join();
    delete m_pState;
}

void HostThread::Join()
{
    if (m_pState->Joined)
        return;
    KeWaitForSingleObject(m_pState->Rec->Object, Executive, KernelMode, FALSE, nullptr);
    m_pState->Thread.join();
    delete m_pState->Rec->Object;
    delete m_pState->Rec;
    m_pState->Joined = true;
}

PKTHREAD HostThread::Thread() const
{
    return m_pState->Rec->Object;
}

KPRIORITY RecordedPriority(PKTHREAD thread)
{
    return KeQueryPriorityThread(thread);
}

static std::atomic<ULONG> g_failThreadCreations{0};

void FailSystemThreadCreations(ULONG Count)
{
    g_failThreadCreations.store(Count);
}

SIZE_T LiveSystemThreadCount()
{
    std::lock_guard<std::mutex> lock(sched::S().Lock);
    return SIZE_T(sched::S().LiveSystemThreads);
}

void SetNoProgressLimit(ULONGLONG limit)
{
    std::lock_guard<std::mutex> lock(sched::S().Lock);
    sched::S().NoProgressLimit = limit;
}

namespace
{

// Takes a reference on some live system thread other than the caller, or returns null.
PKTHREAD ReferenceSomeSystemThread(sched::ThreadRec* self)
{
    std::lock_guard<std::mutex> lock(sched::S().Lock);
    for (sched::ThreadRec* rec : sched::S().Threads)
        if (rec->Kind == sched::ThreadKind::System && rec != self)
        {
            ObReferenceObject(rec->Object);
            return rec->Object;
        }
    return nullptr;
}

} // namespace

void Shutdown()
{
    sched::ThreadRec* self = sched::Current();
    // Through the platform: a thread that never ends shows up in the deadlock report.
    while (PKTHREAD thread = ReferenceSomeSystemThread(self))
    {
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
    }
    // Work items may queue DPCs and DPCs work items: drain DPCs on both sides of the workers.
    sched::ShutdownDpcs();
    sched::ShutdownWorkers();
    sched::ShutdownDpcs();
    sched::JoinFinishedSystemThreads();
    sched::ShutdownClockThread();
}

} // namespace plat

using namespace plat;
using namespace plat::sched;

POBJECT_TYPE PsThreadType = &g_threadType;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext)
{
    if (tCurrentIrql != PASSIVE_LEVEL)
        Fatal("PsCreateSystemThread at IRQL %d: it must run at PASSIVE_LEVEL", tCurrentIrql);
    if (ThreadHandle == nullptr || StartRoutine == nullptr)
        Fatal("PsCreateSystemThread: null %s", ThreadHandle ? "StartRoutine" : "ThreadHandle");
    Current();
    JoinFinishedSystemThreads();
    for (ULONG left = plat::g_failThreadCreations.load(); left != 0;)
    {
        if (plat::g_failThreadCreations.compare_exchange_weak(left, left - 1))
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* object = static_cast<PKTHREAD>(ObCreateObject(PsThreadType, sizeof(KTHREAD)));
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    InitHeader(&object->Header, ThreadObject, sizeof(KTHREAD), 0);
    ThreadRec* rec = NewThreadRec(ThreadKind::System, nullptr);
    rec->Name = "system-" + std::to_string(rec->Id);
    rec->Object = object;
    rec->StartRoutine = StartRoutine;
    rec->StartContext = StartContext;
    object->PlatformThread = rec;
    NTSTATUS status = ObInsertHandle(object, DesiredAccess, KernelMode, ThreadHandle);
    if (!NT_SUCCESS(status))
    {
        ObDereferenceObject(object);
        return status;
    }
    if (ClientId != nullptr)
    {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(ULONG_PTR(4)); // the System process
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(ULONG_PTR(rec->Id) * 4);
    }
    std::lock_guard<std::mutex> lock(S().Lock);
    RegisterLocked(rec);
    ++S().LiveSystemThreads;
    auto* os = new OsThread{rec, std::thread(), false};
    g_osThreads->push_back(os);
    os->Thread = std::thread(SystemThreadMain, rec, os);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    ThreadRec* self = CurrentIfRegistered();
    if (self == nullptr || self->Kind != ThreadKind::System)
        Fatal("PsTerminateSystemThread called outside a system thread");
    if (tCurrentIrql != PASSIVE_LEVEL)
        Fatal("PsTerminateSystemThread at IRQL %d: it must run at PASSIVE_LEVEL", tCurrentIrql);
    throw ThreadTermination{ExitStatus};
}

PKTHREAD KeGetCurrentThread()
{
    return Current()->Object;
}

PETHREAD PsGetCurrentThread()
{
    return Current()->Object;
}

HANDLE PsGetCurrentThreadId()
{
    return reinterpret_cast<HANDLE>(ULONG_PTR(Current()->Id) * 4);
}

BOOLEAN PsIsSystemThread(PETHREAD Thread)
{
    return RecOf(Thread)->Kind != ThreadKind::Host;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY)
        Fatal("KeSetPriorityThread: priority %d outside %d..%d", Priority, LOW_PRIORITY, HIGH_PRIORITY);
    ThreadRec* rec = RecOf(Thread);
    std::lock_guard<std::mutex> lock(S().Lock);
    KPRIORITY previous = rec->Priority;
    rec->Priority = Priority;
    return previous;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
{
    ThreadRec* rec = RecOf(Thread);
    std::lock_guard<std::mutex> lock(S().Lock);
    return rec->Priority;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    if (tCurrentIrql > APC_LEVEL)
        Fatal("KeDelayExecutionThread at IRQL %d: it must run at or below APC_LEVEL", tCurrentIrql);
    if (Interval == nullptr)
        Fatal("KeDelayExecutionThread: null Interval");
    ThreadRec* self = Current();
    if (Interval->QuadPart == 0)
    {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    std::unique_lock<std::mutex> lock(S().Lock);
    WaitState info;
    info.Api = "KeDelayExecutionThread";
    ULONGLONG due = DueFromTimeout(Interval->QuadPart, NowLocked(S()));
    WaitLocked(lock, self, 0, nullptr, WaitAny, nullptr, false, due, info);
    return STATUS_SUCCESS;
}
