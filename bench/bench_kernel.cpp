// Overhead of the kernel stand-in's primitives, which bound the driver's data path: spin lock
// pairs (plain and in-stack queued), an event round trip between two threads, and the
// uncontended kernel mutex and clock read.
#include <benchmark/benchmark.h>

#include "ntddk.h"
#include "plat_sched.h"

#include <atomic>

namespace
{

void BM_SpinLockAcquireRelease(benchmark::State& state)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state)
    {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        benchmark::ClobberMemory();
        KeReleaseSpinLock(&lock, old);
    }
}
BENCHMARK(BM_SpinLockAcquireRelease);

void BM_InStackQueuedSpinLockAcquireRelease(benchmark::State& state)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state)
    {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&lock, &handle);
        benchmark::ClobberMemory();
        KeReleaseInStackQueuedSpinLock(&handle);
    }
}
BENCHMARK(BM_InStackQueuedSpinLockAcquireRelease);

void BM_SpinLockAtDpcLevel(benchmark::State& state)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (auto _ : state)
    {
        KeAcquireSpinLockAtDpcLevel(&lock);
        benchmark::ClobberMemory();
        KeReleaseSpinLockFromDpcLevel(&lock);
    }
    KeLowerIrql(old);
}
BENCHMARK(BM_SpinLockAtDpcLevel);

void BM_MutexAcquireRelease(benchmark::State& state)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    for (auto _ : state)
    {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&mutex, FALSE);
    }
}
BENCHMARK(BM_MutexAcquireRelease);

void BM_SetEventWithoutWaiters(benchmark::State& state)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    for (auto _ : state)
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
}
BENCHMARK(BM_SetEventWithoutWaiters);

void BM_QueryInterruptTime(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(KeQueryInterruptTime());
}
BENCHMARK(BM_QueryInterruptTime);

// One iteration: set the echo thread's event, wait for its answer (two set+wait hand-offs).
void BM_EventPingPongRoundTrip(benchmark::State& state)
{
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    std::atomic<bool> stop{false};
    plat::HostThread echo("echo",
                          [&]
                          {
                              for (;;)
                              {
                                  KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
                                  if (stop)
                                      break;
                                  KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
                              }
                          });
    for (auto _ : state)
    {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    stop = true;
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    echo.Join();
}
BENCHMARK(BM_EventPingPongRoundTrip)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
