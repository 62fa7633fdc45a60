// The clock of the stand-in. One clock serves system time, interrupt time, the performance
// counter (10 MHz: one count per 100 ns), the tick count, timers, wait time-outs and delays.
// In virtual mode (the default) it stands still while any platform thread runs and jumps to
// the next deadline when all of them wait; in real mode it follows the host's monotonic clock.
#pragma once

#include "ntdef.h"

// 100 ns units since 1601-01-01 UTC.
NTKERNELAPI VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
// 100 ns units since the platform started.
NTKERNELAPI ULONGLONG KeQueryInterruptTime();
NTKERNELAPI ULONGLONG KeQueryInterruptTimePrecise(PULONGLONG QpcTimeStamp);
// The counter runs at 10 MHz; PerformanceFrequency may be null.
NTKERNELAPI LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
// Clock ticks of KeQueryTimeIncrement() 100 ns units each (15.625 ms) since the platform started.
NTKERNELAPI VOID KeQueryTickCount(PLARGE_INTEGER TickCount);
NTKERNELAPI ULONG KeQueryTimeIncrement();

// Raises (SetResolution TRUE, DesiredTime in 100 ns units) or releases (FALSE) the timer
// resolution; returns the resolution in force afterwards. The platform counts outstanding
// raises for tests; it does not change how the clock runs.
NTKERNELAPI ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);
