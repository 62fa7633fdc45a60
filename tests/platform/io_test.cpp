// I/O manager stand-in: device stacks, the completion walk (order, invoke flags, pending,
// STATUS_MORE_PROCESSING_REQUIRED with reuse), cancellation, requests the I/O manager builds
// and finishes (buffered copy-back, asynchronous completion on another thread), deferred device
// deletion, device interfaces, device keys and properties, user mappings and power requests.
#include "kernel_test_support.h"

#include "plat_io.h"
#include "plat_pool.h"
#include "plat_registry.h"
#include "plat_sched.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDevice
{
    Dispatch Handler;
};

NTSTATUS RouteToHandler(PDEVICE_OBJECT device, PIRP irp)
{
    return (*static_cast<TestDevice**>(device->DeviceExtension))->Handler(device, irp);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A request the I/O manager builds and finishes, with the caller's event and status block.
struct Built
{
    KEVENT Done;
    IO_STATUS_BLOCK Status = {};
    PIRP Irp = nullptr;
    explicit Built(PDEVICE_OBJECT device, ULONG code = 0x220003, PVOID in = nullptr, ULONG inLength = 0,
                   PVOID out = nullptr, ULONG outLength = 0, BOOLEAN internal = TRUE)
    {
        KeInitializeEvent(&Done, NotificationEvent, FALSE);
        Irp = IoBuildDeviceIoControlRequest(code, device, in, inLength, out, outLength, internal, &Done,
                                            &Status);
    }
};

// A driver object whose every request goes to the handler of the device it was sent to, and a
// fixture that checks every block, object and IRP is gone at the end.
class IoTest : public testing::Test
{
protected:
    void SetUp() override
    {
        plat::RegReset();
        m_Snapshot = plat::TakePoolSnapshot();
        m_Objects = plat::ObLiveObjectCount(nullptr);
        m_Irps = plat::IoLiveIrpCount();
        m_Driver.DriverExtension = &m_Extension;
        for (PDRIVER_DISPATCH& routine : m_Driver.MajorFunction)
            routine = RouteToHandler;
    }

    void TearDown() override
    {
        for (PDEVICE_OBJECT device : m_Devices)
            if (device->AttachedDevice)
                IoDetachDevice(device);
        for (PDEVICE_OBJECT device : m_Devices)
            IoDeleteDevice(device);
        EXPECT_EQ(plat::IoLiveIrpCount(), m_Irps);
        EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_Objects);
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
        for (TestDevice* test : m_Handlers)
            delete test;
    }

    PDEVICE_OBJECT NewDevice(Dispatch handler)
    {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(&m_Driver, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        auto* test = new TestDevice{std::move(handler)};
        m_Handlers.push_back(test);
        *static_cast<TestDevice**>(device->DeviceExtension) = test;
        m_Devices.push_back(device);
        return device;
    }

    void Forget(PDEVICE_OBJECT device)
    {
        m_Devices.erase(std::find(m_Devices.begin(), m_Devices.end(), device));
    }

    DRIVER_OBJECT m_Driver{};
    DRIVER_EXTENSION m_Extension{};
    std::vector<PDEVICE_OBJECT> m_Devices;
    std::vector<TestDevice*> m_Handlers;
    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
    SIZE_T m_Irps = 0;
};

class IoDeathTest : public IoTest
{
protected:
    void SetUp() override
    {
        testing::FLAGS_gtest_death_test_style = "threadsafe";
        IoTest::SetUp();
    }
};

struct Trace
{
    std::vector<std::string> Calls;
    std::string Name;
    PDEVICE_OBJECT Self = nullptr;
};

// A filter that records its completion routine (and whether it got its own device) and passes
// the request down.
Dispatch PassingFilter(Trace* trace, const char* name, PDEVICE_OBJECT* lower)
{
    trace->Name = name;
    return [=](PDEVICE_OBJECT device, PIRP irp)
    {
        trace->Self = device;
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT dev, PIRP i, PVOID context) -> NTSTATUS
            {
                auto* t = static_cast<Trace*>(context);
                t->Calls.push_back(t->Name + (dev == t->Self ? "@dev" : "@other") +
                                   (i->PendingReturned ? "+pending" : ""));
                if (i->PendingReturned)
                    IoMarkIrpPending(i);
                return STATUS_CONTINUE_COMPLETION;
            },
            trace, TRUE, TRUE, TRUE);
        trace->Calls.push_back(std::string("dispatch ") + name);
        return IoCallDriver(*lower, irp);
    };
}

TEST_F(IoTest, StackSizesGrowAndAttachedReferenceIsTheReferencedTop)
{
    PDEVICE_OBJECT bottom = NewDevice({});
    PDEVICE_OBJECT middle = NewDevice({});
    PDEVICE_OBJECT top = NewDevice({});
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle) << "attaching goes on top of the whole stack";
    EXPECT_EQ(bottom->StackSize, 1);
    EXPECT_EQ(top->StackSize, 3);
    LONG_PTR before = plat::ObReferenceCount(top);
    PDEVICE_OBJECT found = IoGetAttachedDeviceReference(bottom);
    EXPECT_EQ(found, top);
    EXPECT_EQ(plat::ObReferenceCount(top), before + 1);
    ObDereferenceObject(found);
    EXPECT_TRUE((top->Flags & DO_DEVICE_INITIALIZING) != 0);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(static_cast<PUCHAR>(bottom->DeviceExtension)[8 + i % 56], 0) << "extension zeroed";
    IoDetachDevice(middle);
    IoDetachDevice(bottom);
}

// A filter over a device that completes at once, then pends and completes later.
TEST_F(IoTest, CompletionRoutinesRunBottomUpWithTheirOwnDeviceAndSeePendingReturned)
{
    Trace trace;
    PIRP parked = nullptr;
    PDEVICE_OBJECT lower = NewDevice(
        [&](PDEVICE_OBJECT, PIRP irp)
        {
            trace.Calls.push_back("dispatch lower");
            if (trace.Calls.size() < 3)
                return CompleteWith(irp, STATUS_SUCCESS, 7);
            IoMarkIrpPending(irp);
            parked = irp;
            return STATUS_PENDING;
        });
    PDEVICE_OBJECT upper = NewDevice(PassingFilter(&trace, "upper", &lower));
    IoAttachDeviceToDeviceStack(upper, lower);
    Built now(upper);
    EXPECT_EQ(IoCallDriver(upper, now.Irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&now.Done), 1) << "the I/O manager sets the caller's event";
    EXPECT_EQ(now.Status.Status, STATUS_SUCCESS);
    EXPECT_EQ(now.Status.Information, 7u);
    EXPECT_EQ(trace.Calls, (std::vector<std::string>{"dispatch upper", "dispatch lower", "upper@dev"}));
    Built later(upper);
    EXPECT_EQ(IoCallDriver(upper, later.Irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&later.Done), 0);
    CompleteWith(parked, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&later.Done), 1);
    EXPECT_EQ(trace.Calls.back(), "upper@dev+pending");
    IoDetachDevice(lower);
}

NTSTATUS CountAndTakeBack(PDEVICE_OBJECT, PIRP, PVOID context)
{
    ++*static_cast<int*>(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CountAndContinue(PDEVICE_OBJECT, PIRP, PVOID context)
{
    ++*static_cast<int*>(context);
    return STATUS_CONTINUE_COMPLETION;
}

// Each row: the status the bottom completes with, whether the IRP was cancelled, the invoke
// flags, and whether the routine must run. A routine above it, invoked always, takes the IRP
// back in every case.
TEST_F(IoTest, CompletionRoutineRunsOnlyForTheOutcomesItAskedFor)
{
    struct Row
    {
        NTSTATUS Status;
        bool Cancel;
        BOOLEAN OnSuccess, OnError, OnCancel;
        bool Runs;
    };
    const Row rows[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
        {STATUS_UNSUCCESSFUL, false, TRUE, FALSE, FALSE, false},
        {STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true}, // a warning is not success
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        {STATUS_CANCELLED, true, TRUE, FALSE, FALSE, false},
    };
    PDEVICE_OBJECT lower = NewDevice(
        [](PDEVICE_OBJECT, PIRP irp)
        {
            return CompleteWith(irp, static_cast<NTSTATUS>(reinterpret_cast<ULONG_PTR>(
                                         IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1)));
        });
    for (const Row& row : rows)
    {
        PIRP irp = IoAllocateIrp(CCHAR(lower->StackSize + 1), FALSE);
        int outer = 0;
        int inner = 0;
        IoSetCompletionRoutine(irp, CountAndTakeBack, &outer, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.Others.Argument1 =
            reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(ULONG(row.Status)));
        irp->Cancel = row.Cancel;
        IoSetCompletionRoutine(irp, CountAndContinue, &inner, row.OnSuccess, row.OnError, row.OnCancel);
        IoCallDriver(lower, irp);
        EXPECT_EQ(inner, row.Runs ? 1 : 0) << std::hex << row.Status;
        EXPECT_EQ(outer, 1);
        IoFreeIrp(irp);
    }
}

TEST_F(IoTest, MoreProcessingRequiredStopsCompletionAndTheIrpCanBeResubmitted)
{
    int lowerCalls = 0;
    PDEVICE_OBJECT lower = NewDevice(
        [&](PDEVICE_OBJECT, PIRP irp)
        {
            ++lowerCalls;
            return CompleteWith(irp, STATUS_SUCCESS, ULONG_PTR(lowerCalls));
        });
    struct Chain
    {
        PDEVICE_OBJECT Lower;
        int Completions = 0;
        std::vector<ULONG_PTR> Seen;
        KEVENT Done;
    } chain;
    chain.Lower = lower;
    KeInitializeEvent(&chain.Done, NotificationEvent, FALSE);

    struct Resubmit
    {
        static void Send(PIRP irp, Chain* c)
        {
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, Done, c, TRUE, TRUE, TRUE);
            IoCallDriver(c->Lower, irp);
        }
        static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context)
        {
            auto* c = static_cast<Chain*>(context);
            c->Seen.push_back(irp->IoStatus.Information);
            if (++c->Completions < 3)
            {
                // Reused from inside its own completion, as a transfer chain does.
                IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
                Send(irp, c);
            }
            else
            {
                IoFreeIrp(irp);
                KeSetEvent(&c->Done, IO_NO_INCREMENT, FALSE);
            }
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    };
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    Resubmit::Send(irp, &chain);
    EXPECT_EQ(KeReadStateEvent(&chain.Done), 1);
    EXPECT_EQ(lowerCalls, 3);
    EXPECT_EQ(chain.Seen, (std::vector<ULONG_PTR>{1, 2, 3}));
}

TEST_F(IoTest, CancelCallsTheCancelRoutineUnderTheCancelLock)
{
    PIRP parked = nullptr;
    KIRQL irqlInCancel = PASSIVE_LEVEL;
    static KIRQL* s_irql;
    s_irql = &irqlInCancel;
    PDEVICE_OBJECT lower = NewDevice(
        [&](PDEVICE_OBJECT, PIRP irp)
        {
            parked = irp;
            IoSetCancelRoutine(irp,
                               [](PDEVICE_OBJECT, PIRP i)
                               {
                                   *s_irql = KeGetCurrentIrql();
                                   IoReleaseCancelSpinLock(i->CancelIrql);
                                   CompleteWith(i, STATUS_CANCELLED);
                               });
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        });
    Built request(lower);
    EXPECT_EQ(IoCallDriver(lower, request.Irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(parked));
    EXPECT_EQ(irqlInCancel, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the cancel routine released the lock";
    EXPECT_EQ(KeReadStateEvent(&request.Done), 1);
    EXPECT_EQ(request.Status.Status, STATUS_CANCELLED);

    // An IRP without a cancel routine is only marked.
    PIRP plain = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(plain));
    EXPECT_TRUE(plain->Cancel);
    IoFreeIrp(plain);
}

VOID CompleteLater(PVOID context)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 10000; // 10 ms
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    CompleteWith(static_cast<PIRP>(context), STATUS_SUCCESS, 3);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(IoTest, BuiltRequestCompletedOnAnotherThreadSetsTheEventAndFreesTheIrp)
{
    PDEVICE_OBJECT lower = NewDevice(
        [](PDEVICE_OBJECT, PIRP irp)
        {
            IoMarkIrpPending(irp);
            HANDLE thread = nullptr;
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
            EXPECT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                           CompleteLater, irp),
                      STATUS_SUCCESS);
            ZwClose(thread);
            return STATUS_PENDING;
        });
    UCHAR out[4] = {};
    ULONGLONG start = plat::InterruptTime();
    Built request(lower, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS), nullptr, 0,
                  out, sizeof(out));
    EXPECT_EQ(IoCallDriver(lower, request.Irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(plat::InterruptTime() - start, 10 * 10000u) << "virtual time ran to the completer's delay";
    EXPECT_EQ(request.Status.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.Status.Information, 3u);
    plat::Shutdown(); // joins the completer before the leak checks
}

// What a caller of a buffered request gets back, by the completion's status, its output room
// and the Information the driver reports.
struct BufferedCase
{
    const char* Name;
    NTSTATUS Status;
    ULONG OutLength;
    ULONG_PTR Information;
    ULONG Copied;   // bytes of the system buffer that reach the caller's output
    ULONG_PTR Seen; // Information in the caller's status block
};

TEST_F(IoTest, BufferedRequestSharesOneBufferAndCopiesBackOnlyInformationBytes)
{
    constexpr ULONG_PTR kUntouched = 0x5EED;
    const BufferedCase cases[] = {
        // name, status, output room, Information, bytes copied, Information seen
        {"success", STATUS_SUCCESS, 8, 5, 5, 5},
        {"warning", STATUS_BUFFER_OVERFLOW, 8, 5, 5, 5},
        {"error", STATUS_UNSUCCESSFUL, 8, 5, 0, kUntouched},
        {"error reporting past the room", STATUS_BUFFER_TOO_SMALL, 4, 24, 0, kUntouched},
        {"size query without a room", STATUS_BUFFER_OVERFLOW, 0, 24, 0, 24},
        {"success without a room", STATUS_SUCCESS, 0, 7, 0, 7},
        {"error without a room", STATUS_BUFFER_TOO_SMALL, 0, 24, 0, kUntouched},
    };
    const ULONG code = CTL_CODE(FILE_DEVICE_SOUND, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    const BufferedCase* current = nullptr;
    ULONG seenInput = 0;
    PDEVICE_OBJECT device = NewDevice(
        [&](PDEVICE_OBJECT, PIRP irp)
        {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
            seenInput = buffer[0] | buffer[1] << 8 | buffer[2] << 16;
            EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 3u);
            EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, current->OutLength);
            for (ULONG i = 0; i < std::max<ULONG>(3, current->OutLength); ++i)
                buffer[i] = UCHAR(0xA0 + i);
            return CompleteWith(irp, current->Status, current->Information);
        });
    const UCHAR in[3] = {1, 2, 3};
    for (const BufferedCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        current = &c;
        UCHAR out[8];
        std::memset(out, 0x55, sizeof(out));
        Built request(device, code, const_cast<UCHAR*>(in), 3, out, c.OutLength, FALSE);
        request.Status.Information = kUntouched;
        IoCallDriver(device, request.Irp);
        EXPECT_EQ(seenInput, 0x030201u);
        EXPECT_EQ(request.Status.Status, c.Status);
        EXPECT_EQ(request.Status.Information, c.Seen);
        for (ULONG i = 0; i < sizeof(out); ++i)
            EXPECT_EQ(out[i], i < c.Copied ? 0xA0 + i : 0x55) << "byte " << i;
    }
}

TEST_F(IoDeathTest, MisusedIrpsStopTheProcess)
{
    static PDEVICE_OBJECT twice, parker, liar, warningLiar;
    twice = NewDevice(
        [](PDEVICE_OBJECT, PIRP irp)
        {
            CompleteWith(irp, STATUS_SUCCESS);
            return CompleteWith(irp, STATUS_SUCCESS);
        });
    parker = NewDevice(
        [](PDEVICE_OBJECT, PIRP irp)
        {
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        });
    liar = NewDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 9); });
    warningLiar =
        NewDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_BUFFER_OVERFLOW, 9); });
    kt::ExpectEachStops({
        {"completed twice",
         []
         {
             PIRP irp = IoAllocateIrp(1, FALSE);
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
             IoSetCompletionRoutine(
                 irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
                 nullptr, TRUE, TRUE, TRUE);
             IoCallDriver(twice, irp);
         },
         "completed twice"},
        {"sent past its last stack location",
         []
         {
             PIRP irp = IoAllocateIrp(1, FALSE);
             IoCallDriver(parker, irp);
             IoCallDriver(parker, irp);
         },
         "no stack location left"},
        {"completed with pending",
         []
         {
             PIRP irp = IoAllocateIrp(1, FALSE);
             irp->IoStatus.Status = STATUS_PENDING;
             IoCallDriver(parker, irp);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
         },
         "completed with STATUS_PENDING"},
        {"buffered reply beyond the output buffer",
         []
         {
             UCHAR out[8];
             Built request(liar, CTL_CODE(FILE_DEVICE_SOUND, 0x801, METHOD_BUFFERED, 0), nullptr, 0, out, 8,
                           FALSE);
             IoCallDriver(liar, request.Irp);
         },
         "Information 9 bytes, beyond its output buffer of 8 bytes"},
        {"buffered warning beyond the output buffer",
         []
         {
             UCHAR out[8];
             Built request(warningLiar, CTL_CODE(FILE_DEVICE_SOUND, 0x801, METHOD_BUFFERED, 0), nullptr, 0,
                           out, 8, FALSE);
             IoCallDriver(warningLiar, request.Irp);
         },
         "status 0x80000005 and Information 9 bytes, beyond its output buffer of 8 bytes"},
    });
}

TEST_F(IoTest, DeletionWaitsUntilTheDispatchRoutineReturns)
{
    const POBJECT_TYPE devices = IoDeviceObjectType;
    SIZE_T liveBefore = 0;
    bool extensionReadable = false;
    PDEVICE_OBJECT device = NewDevice(
        [&](PDEVICE_OBJECT self, PIRP irp)
        {
            IoDeleteDevice(self);
            // Still ours until we return: the I/O manager holds the device for this call.
            extensionReadable = *static_cast<TestDevice**>(self->DeviceExtension) != nullptr;
            EXPECT_TRUE(plat::IoIsDeletePending(self));
            EXPECT_EQ(plat::ObLiveObjectCount(devices), liveBefore);
            return CompleteWith(irp, STATUS_SUCCESS);
        });
    Forget(device);
    liveBefore = plat::ObLiveObjectCount(devices);
    Built request(device);
    IoCallDriver(device, request.Irp);
    EXPECT_TRUE(extensionReadable);
    EXPECT_EQ(plat::ObLiveObjectCount(devices), liveBefore - 1) << "freed once the routine returned";
}

TEST_F(IoTest, DeletionWaitsForAConcurrentDispatchOnAnotherThread)
{
    KEVENT entered, release;
    KeInitializeEvent(&entered, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    PDEVICE_OBJECT device = NewDevice(
        [&](PDEVICE_OBJECT, PIRP irp)
        {
            KeSetEvent(&entered, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
            return CompleteWith(irp, STATUS_SUCCESS);
        });
    Forget(device);
    SIZE_T live = plat::ObLiveObjectCount(IoDeviceObjectType);
    {
        plat::HostThread caller("caller",
                                [&]
                                {
                                    Built request(device);
                                    IoCallDriver(device, request.Irp);
                                });
        KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr);
        IoDeleteDevice(device);
        EXPECT_EQ(plat::ObLiveObjectCount(IoDeviceObjectType), live) << "the running dispatch keeps it";
        KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    }
    EXPECT_EQ(plat::ObLiveObjectCount(IoDeviceObjectType), live - 1);
}

TEST_F(IoTest, QueuedWorkItemKeepsItsDeviceAliveAfterDeletion)
{
    PDEVICE_OBJECT device = NewDevice({});
    Forget(device);
    SIZE_T live = plat::ObLiveObjectCount(IoDeviceObjectType);
    struct Work
    {
        KEVENT Go;
        PIO_WORKITEM Item;
        bool SawExtension = false;
    } work;
    KeInitializeEvent(&work.Go, NotificationEvent, FALSE);
    work.Item = IoAllocateWorkItem(device);
    ASSERT_NE(work.Item, nullptr);
    IoQueueWorkItem(
        work.Item,
        [](PDEVICE_OBJECT dev, PVOID context)
        {
            auto* w = static_cast<Work*>(context);
            KeWaitForSingleObject(&w->Go, Executive, KernelMode, FALSE, nullptr);
            w->SawExtension = *static_cast<TestDevice**>(dev->DeviceExtension) != nullptr;
            IoFreeWorkItem(w->Item);
        },
        DelayedWorkQueue, &work);
    IoDeleteDevice(device);
    EXPECT_EQ(plat::ObLiveObjectCount(IoDeviceObjectType), live) << "the queued item holds the device";
    KeSetEvent(&work.Go, IO_NO_INCREMENT, FALSE);
    plat::Shutdown();
    EXPECT_TRUE(work.SawExtension);
    EXPECT_EQ(plat::ObLiveObjectCount(IoDeviceObjectType), live - 1);
}

TEST_F(IoTest, SynchronousFsdRequestCarriesTheBufferAndOffset)
{
    PDEVICE_OBJECT device = NewDevice(
        [](PDEVICE_OBJECT, PIRP irp)
        {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(stack->MajorFunction, IRP_MJ_READ);
            EXPECT_EQ(stack->Parameters.Read.ByteOffset.QuadPart, 4096);
            std::memset(irp->UserBuffer, 0x5A, stack->Parameters.Read.Length);
            return CompleteWith(irp, STATUS_SUCCESS, stack->Parameters.Read.Length);
        });
    UCHAR buffer[16] = {};
    LARGE_INTEGER offset;
    offset.QuadPart = 4096;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, 8, &offset, &done, &ioStatus);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Information, 8u);
    EXPECT_EQ(buffer[7], 0x5A);
    EXPECT_EQ(buffer[8], 0);
}

plat::PhysicalDeviceInfo TestPdoInfo()
{
    plat::PhysicalDeviceInfo info;
    info.InstancePath = u"USB\\VID_1234&PID_5678\\7&abc&0&2";
    info.DriverKey = u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0007";
    info.HardwareIds = {u"USB\\VID_1234&PID_5678&REV_0001", u"USB\\VID_1234&PID_5678"};
    info.FriendlyName = u"Test Speaker";
    return info;
}

DEFINE_GUID(kTestInterface, 0xAECAED88, 0xBEFE, 0x4E66, 0xA7, 0x5A, 0xB4, 0xC2, 0x7D, 0x49, 0x97, 0x3A);

TEST_F(IoTest, PhysicalDeviceInterfacesAndProperties)
{
    PDEVICE_OBJECT pdo = NewDevice({});
    UNICODE_STRING ref;
    RtlInitUnicodeString(&ref, u"QXASIOPrivateInterface");
    UNICODE_STRING link = {};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, &ref, &link), STATUS_INVALID_DEVICE_REQUEST)
        << "only physical devices carry interfaces";
    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &needed),
              STATUS_INVALID_DEVICE_REQUEST);
    plat::IoSetPhysicalDeviceInfo(pdo, TestPdoInfo());
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, &ref, &link), STATUS_SUCCESS);
    std::u16string name(link.Buffer, link.Length / 2);
    EXPECT_EQ(name, u"\\??\\USB#VID_1234&PID_5678#7&abc&0&2#{aecaed88-befe-4e66-a75a-b4c27d49973a}"
                    u"\\QXASIOPrivateInterface");
    UNICODE_STRING again = {};
    RtlInitUnicodeString(&ref, u"qxasioprivateinterface");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, &ref, &again), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&link, &again, FALSE)) << "the same interface, registered once";
    RtlFreeUnicodeString(&again);

    auto list = plat::IoListDeviceInterfaces();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_FALSE(list[0].Enabled);
    EXPECT_FALSE(plat::IoFindEnabledInterface(kTestInterface, u"QXASIOPrivateInterface", nullptr, nullptr));
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    plat::DeviceInterfaceRecord found{};
    EXPECT_TRUE(plat::IoFindEnabledInterface(kTestInterface, u"QXAsioPrivateInterface", pdo, &found));
    EXPECT_EQ(found.Pdo, pdo);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(plat::IoListDeviceInterfaces()[0].Enabled);
    RtlFreeUnicodeString(&link);
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, u"\\??\\nothing");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);

    // Properties: a size query, then the read; a property the device lacks.
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &needed),
              STATUS_BUFFER_TOO_SMALL);
    const std::u16string expected(u"USB\\VID_1234&PID_5678&REV_0001\0USB\\VID_1234&PID_5678\0\0", 54);
    ASSERT_EQ(needed, expected.size() * 2);
    std::vector<WCHAR> ids(needed / 2);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, needed, ids.data(), &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(ids.begin(), ids.end()), expected);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyManufacturer, 0, nullptr, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    WCHAR friendly[32];
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof(friendly), friendly, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(friendly), u"Test Speaker");
}

TEST_F(IoTest, UserMappingsAreRecordedUntilUnmapped)
{
    void* ring = ExAllocatePoolWithTag(NonPagedPool, 4096, 'gniR');
    PMDL mdl = IoAllocateMdl(ring, 4096, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), ring);
    SIZE_T before = plat::MmUserMappingCount();
    PVOID user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
    EXPECT_EQ(user, ring) << "the client sees the same memory";
    EXPECT_EQ(plat::MmUserMappingCount(), before + 1);
    MmUnmapLockedPages(user, mdl);
    EXPECT_EQ(plat::MmUserMappingCount(), before);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(ring, 'gniR');
}

TEST_F(IoTest, Is32bitProcessAnswersForUserRequestsAsTheHostSets)
{
    IRP irp{};
    irp.RequestorMode = UserMode;
    EXPECT_FALSE(IoIs32bitProcess(&irp));
    plat::IoSetIs32bitProcess(true);
    EXPECT_TRUE(IoIs32bitProcess(&irp));
    irp.RequestorMode = KernelMode;
    EXPECT_FALSE(IoIs32bitProcess(&irp));
    plat::IoSetIs32bitProcess(false);
}

} // namespace
