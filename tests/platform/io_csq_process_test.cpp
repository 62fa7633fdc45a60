// Cancel-safe queues and process attachment of the stand-in, as a driver uses them: IRPs are
// queued, cancelled and taken through the IoCsq routines against a queue of the test's own,
// which records that every queue callback ran under its lock; views are mapped in one process
// and unmapped from another while attached to the first.
#include "kernel_test_support.h"

#include "ntddk.h"
#include "plat_io.h"

#include <vector>

namespace
{

// A driver's queue: a list under a spin lock, with the IRPs the cancel path completed.
struct CsqTestQueue
{
    IO_CSQ Csq;
    KSPIN_LOCK Lock;
    bool Locked = false;
    bool CallbackOutsideLock = false;
    std::vector<PIRP> Irps;
    std::vector<PIRP> Cancelled;
    size_t Limit = 8;

    static CsqTestQueue* Of(PIO_CSQ Csq) { return reinterpret_cast<CsqTestQueue*>(Csq); }
    void CheckLocked() { CallbackOutsideLock |= !Locked; }
};
static_assert(offsetof(CsqTestQueue, Csq) == 0, "the queue routines find the queue from its IO_CSQ");

NTSTATUS CsqTestInsert(PIO_CSQ Csq, PIRP Irp, PVOID)
{
    CsqTestQueue* q = CsqTestQueue::Of(Csq);
    q->CheckLocked();
    if (q->Irps.size() >= q->Limit)
        return STATUS_INVALID_PARAMETER;
    q->Irps.push_back(Irp);
    return STATUS_SUCCESS;
}

VOID CsqTestRemove(PIO_CSQ Csq, PIRP Irp)
{
    CsqTestQueue* q = CsqTestQueue::Of(Csq);
    q->CheckLocked();
    for (auto it = q->Irps.begin(); it != q->Irps.end(); ++it)
        if (*it == Irp)
        {
            q->Irps.erase(it);
            return;
        }
    ADD_FAILURE() << "removed an IRP that is not queued";
}

// The IRP after Irp whose file object is PeekContext (any for null).
PIRP CsqTestPeek(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext)
{
    CsqTestQueue* q = CsqTestQueue::Of(Csq);
    q->CheckLocked();
    bool after = Irp == nullptr;
    for (PIRP candidate : q->Irps)
    {
        if (after && (!PeekContext || IoGetCurrentIrpStackLocation(candidate)->FileObject == PeekContext))
            return candidate;
        after |= candidate == Irp;
    }
    return nullptr;
}

VOID CsqTestAcquire(PIO_CSQ Csq, PKIRQL Irql)
{
    KeAcquireSpinLock(&CsqTestQueue::Of(Csq)->Lock, Irql);
    CsqTestQueue::Of(Csq)->Locked = true;
}

VOID CsqTestRelease(PIO_CSQ Csq, KIRQL Irql)
{
    CsqTestQueue::Of(Csq)->Locked = false;
    KeReleaseSpinLock(&CsqTestQueue::Of(Csq)->Lock, Irql);
}

VOID CsqTestCompleteCancelled(PIO_CSQ Csq, PIRP Irp)
{
    CsqTestQueue* q = CsqTestQueue::Of(Csq);
    q->CallbackOutsideLock |= q->Locked; // completion comes after the lock is let go
    q->Cancelled.push_back(Irp);
}

class CsqProcessTest : public testing::Test
{
protected:
    void SetUp() override
    {
        KeInitializeSpinLock(&m_Queue.Lock);
        ASSERT_EQ(IoCsqInitializeEx(&m_Queue.Csq, CsqTestInsert, CsqTestRemove, CsqTestPeek, CsqTestAcquire,
                                    CsqTestRelease, CsqTestCompleteCancelled),
                  STATUS_SUCCESS);
    }
    void TearDown() override
    {
        EXPECT_FALSE(m_Queue.CallbackOutsideLock) << "a queue routine ran outside the queue's lock";
        for (PIRP irp : m_Made)
            IoFreeIrp(irp);
    }

    // An IRP with a current stack location whose file object is File.
    PIRP NewIrp(PFILE_OBJECT File)
    {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->FileObject = File;
        m_Made.push_back(irp);
        return irp;
    }
    static bool Pending(PIRP Irp)
    {
        return (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) != 0;
    }

    CsqTestQueue m_Queue;
    std::vector<PIRP> m_Made;
};

PFILE_OBJECT CsqTestFile(ULONG_PTR n)
{
    return reinterpret_cast<PFILE_OBJECT>(n * 0x100);
}

// Inserted IRPs are pending with a cancel routine; taking one by its handle, or the next of
// any, clears the routine, so a later cancel finds nothing to call.
TEST_F(CsqProcessTest, QueuedIrpsAreTakenByHandleOrInOrder)
{
    PIRP first = NewIrp(CsqTestFile(1));
    PIRP second = NewIrp(CsqTestFile(2));
    IoCsqInsertIrp(&m_Queue.Csq, first, nullptr);
    ASSERT_EQ(IoCsqInsertIrpEx(&m_Queue.Csq, second, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(Pending(first) && Pending(second));
    EXPECT_NE(first->CancelRoutine, nullptr);

    EXPECT_EQ(IoCsqRemoveNextIrp(&m_Queue.Csq, CsqTestFile(3)), nullptr);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_Queue.Csq, CsqTestFile(2)), second);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_Queue.Csq, nullptr), first);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_Queue.Csq, nullptr), nullptr);
    EXPECT_EQ(first->CancelRoutine, nullptr);
    EXPECT_FALSE(IoCancelIrp(first)) << "a taken IRP has no cancel routine left";
    EXPECT_TRUE(m_Queue.Cancelled.empty());
}

// A cancel takes the IRP out and hands it to the queue's completion once; the context that
// named it then names nothing.
TEST_F(CsqProcessTest, ACancelledIrpIsTakenOutAndCompletedOnce)
{
    PIRP irp = NewIrp(CsqTestFile(1));
    IO_CSQ_IRP_CONTEXT context;
    IoCsqInsertIrp(&m_Queue.Csq, irp, &context);
    EXPECT_EQ(context.Irp, irp);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(m_Queue.Cancelled, std::vector<PIRP>{irp});
    EXPECT_TRUE(m_Queue.Irps.empty());
    EXPECT_EQ(context.Irp, nullptr);
    EXPECT_EQ(IoCsqRemoveIrp(&m_Queue.Csq, &context), nullptr);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_Queue.Csq, nullptr), nullptr);

    // Taken by its context before any cancel: the queue's completion never sees it.
    PIRP kept = NewIrp(CsqTestFile(2));
    IoCsqInsertIrp(&m_Queue.Csq, kept, &context);
    EXPECT_EQ(IoCsqRemoveIrp(&m_Queue.Csq, &context), kept);
    EXPECT_FALSE(IoCancelIrp(kept));
    EXPECT_EQ(m_Queue.Cancelled.size(), 1u);
}

// An IRP cancelled before it is queued is completed as cancelled at once; one the insert
// routine refuses is neither queued nor pending, and its status comes back.
TEST_F(CsqProcessTest, ACancelledOrRefusedIrpIsNeverLeftQueued)
{
    PIRP cancelled = NewIrp(CsqTestFile(1));
    EXPECT_FALSE(IoCancelIrp(cancelled));
    IoCsqInsertIrp(&m_Queue.Csq, cancelled, nullptr);
    EXPECT_EQ(m_Queue.Cancelled, std::vector<PIRP>{cancelled});
    EXPECT_TRUE(m_Queue.Irps.empty());

    m_Queue.Limit = 1;
    PIRP taken = NewIrp(CsqTestFile(2));
    PIRP refused = NewIrp(CsqTestFile(3));
    ASSERT_EQ(IoCsqInsertIrpEx(&m_Queue.Csq, taken, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(IoCsqInsertIrpEx(&m_Queue.Csq, refused, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(Pending(refused));
    EXPECT_EQ(refused->CancelRoutine, nullptr);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_Queue.Csq, CsqTestFile(3)), nullptr);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_Queue.Csq, nullptr), taken);
}

// Attached to another process a thread runs in it, nested attachments undo in turn, and a view
// mapped there can be unmapped only while attached.
TEST_F(CsqProcessTest, AttachingRunsTheThreadInAnotherProcessUntilDetached)
{
    PEPROCESS own = PsGetCurrentProcess();
    EXPECT_EQ(PsGetProcessId(own), HANDLE(ULONG_PTR(plat::kClientProcessId)));
    PEPROCESS other = nullptr;
    {
        plat::ProcessScope second(200);
        other = IoGetCurrentProcess();
    }
    ObReferenceObject(other);
    EXPECT_NE(other, own);

    void* ring = ExAllocatePoolWithTag(NonPagedPool, 4096, 'tsCQ');
    PMDL mdl = IoAllocateMdl(ring, 4096, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    KAPC_STATE outer, inner;
    KeStackAttachProcess(other, &outer);
    EXPECT_EQ(plat::PsCurrentProcessId(), 200u);
    PVOID view = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
    KeStackAttachProcess(own, &inner);
    EXPECT_EQ(PsGetCurrentProcess(), own);
    KeUnstackDetachProcess(&inner);
    EXPECT_EQ(PsGetCurrentProcess(), other);
    KeUnstackDetachProcess(&outer);
    EXPECT_EQ(plat::PsCurrentProcessId(), plat::kClientProcessId);
    ASSERT_EQ(plat::MmUserMappings().size(), 1u);
    EXPECT_EQ(plat::MmUserMappings()[0].ProcessId, 200u);

    KeStackAttachProcess(other, &outer);
    MmUnmapLockedPages(view, mdl);
    KeUnstackDetachProcess(&outer);
    EXPECT_EQ(plat::MmUserMappingCount(), 0u);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(ring, 'tsCQ');
    ObDereferenceObject(other);
}

} // namespace
