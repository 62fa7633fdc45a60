// Debug output and assertions of the stand-in kernel. DbgPrint formats with the kernel
// runtime's conventions (%ws, %wZ, %p, ...) into a log that tests read (plat_debug.h), and to
// stderr when UACSIM_DEBUG=1. Assertions stay on in every build: a failed one stops the process.
#pragma once

#include "ntdef.h"
#include "plat_fatal.h"

#include <cstdarg>

#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000

#define DPFLTR_DEFAULT_ID 101
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_IHVVIDEO_ID 78
#define DPFLTR_IHVAUDIO_ID 79
#define DPFLTR_IHVNETWORK_ID 80
#define DPFLTR_IHVSTREAMING_ID 81
#define DPFLTR_IHVBUS_ID 82

// One call transmits at most 512 bytes, as on the target; longer output is cut there.
#define DBGPRINT_MAX_BYTES 512

NTSYSAPI ULONG DbgPrint(PCSTR Format, ...);
NTSYSAPI ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
NTSYSAPI ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);

#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_

// Without a kernel debugger attached a breakpoint brings the system down.
#define DbgBreakPoint()                                                                                      \
    plat::Fatal("DbgBreakPoint at %s:%d with no kernel debugger attached", __FILE__, __LINE__)

#define ASSERT(exp) ((exp) ? (void)0 : plat::Fatal("assertion failed: %s (%s:%d)", #exp, __FILE__, __LINE__))
#define ASSERTMSG(msg, exp)                                                                                  \
    ((exp) ? (void)0 : plat::Fatal("assertion failed: %s: %s (%s:%d)", (msg), #exp, __FILE__, __LINE__))
#define NT_ASSERT(exp) ASSERT(exp)
#define NT_ASSERTMSG(msg, exp) ASSERTMSG(msg, exp)
// Evaluates the expression in every build and yields its truth.
#define NT_VERIFY(exp)                                                                                       \
    ((exp) ? true : (plat::Fatal("verify failed: %s (%s:%d)", #exp, __FILE__, __LINE__), false))
