// Processes of the stand-in: one object per process id, made when a thread first runs in it and
// kept as long as the platform, and the per-thread record of which process a thread runs in.
#include "process.h"

#include "irql.h"
#include "plat_fatal.h"
#include "plat_io.h"

#include <map>
#include <mutex>

namespace
{

OBJECT_TYPE g_processType = {"Process", nullptr, nullptr};

thread_local ULONG t_currentProcess = plat::kClientProcessId;
// The innermost attachment of this thread, so that a detach out of order is caught.
thread_local PRKAPC_STATE t_innermostAttach = nullptr;

std::mutex& ProcessTableLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

// Process id -> its object; the table holds one reference of each.
std::map<ULONG, PEPROCESS>& ProcessTable()
{
    static auto* table = new std::map<ULONG, PEPROCESS>;
    return *table;
}

PEPROCESS ProcessFor(ULONG ProcessId)
{
    std::lock_guard<std::mutex> lock(ProcessTableLock());
    PEPROCESS& process = ProcessTable()[ProcessId];
    if (process == nullptr)
    {
        process = static_cast<PEPROCESS>(plat::ObCreateObject(PsProcessType, sizeof(EPROCESS)));
        if (process == nullptr)
            plat::Fatal("PsGetCurrentProcess: no memory for process %u", ProcessId);
        process->ProcessId = ProcessId;
    }
    return process;
}

} // namespace

POBJECT_TYPE PsProcessType = &g_processType;

PEPROCESS PsGetCurrentProcess()
{
    return ProcessFor(t_currentProcess);
}

PEPROCESS IoGetCurrentProcess()
{
    return PsGetCurrentProcess();
}

HANDLE PsGetProcessId(PEPROCESS Process)
{
    return reinterpret_cast<HANDLE>(ULONG_PTR(Process->ProcessId));
}

VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState)
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        plat::Fatal("KeStackAttachProcess: called at IRQL %u", unsigned(KeGetCurrentIrql()));
    if (Process == nullptr || ApcState == nullptr || plat::ObGetObjectType(Process) != PsProcessType)
        plat::Fatal("KeStackAttachProcess: %p is not a process", static_cast<void*>(Process));
    ApcState->Outer = t_innermostAttach;
    ApcState->PreviousProcessId = t_currentProcess;
    ApcState->Attached = Process;
    t_innermostAttach = ApcState;
    t_currentProcess = Process->ProcessId;
}

VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState)
{
    if (ApcState == nullptr || ApcState != t_innermostAttach)
        plat::Fatal("KeUnstackDetachProcess: %p is not this thread's innermost attachment",
                    static_cast<void*>(ApcState));
    t_currentProcess = ApcState->PreviousProcessId;
    t_innermostAttach = ApcState->Outer;
    ApcState->Attached = nullptr;
}

namespace plat
{

ULONG PsCurrentProcessId()
{
    return t_currentProcess;
}

ProcessScope::ProcessScope(ULONG ProcessId) : m_Previous(t_currentProcess)
{
    t_currentProcess = ProcessId;
}

ProcessScope::~ProcessScope()
{
    t_currentProcess = m_Previous;
}

} // namespace plat
