// Processor-level selection of the signal-primitives library: turns the processor's CPUID
// answers into a processor-type code and the code into the level column the entry stubs use.
// The driver itself never calls it, so SpCpuLevel stays 0; a host may select a level before
// its first call into the library. Runs at any IRQL (no memory, no locks).
#pragma once

#include "sp_status.h"

// Processor-type codes as SpDetectCpuType returns them.
enum : int32_t
{
    SpCpuTypeNone = 0,
    SpCpuTypeCore2Dual = 33, // family 6 model 15 with SSSE3, fewer than 3 cores per package
    SpCpuTypeCore2Quad = 34, // the same with 3 or more cores per package
    SpCpuTypeNehalem = 35,   // family 6 model 26 with SSE4.2
    SpCpuTypeAtom = 36,      // family 6 model 28 with SSSE3
    SpCpuTypeSse = 64,
    SpCpuTypeSse2 = 65,
    SpCpuTypeSse3 = 66, // also any family-15 part of the recognised vendor
    SpCpuTypeSsse3 = 67,
    SpCpuTypeSse41 = 68,
    SpCpuTypeSse42 = 69,
    SpCpuTypeLongMode = 96, // none of the above, but 64-bit long mode
};

// Sets SpCpuLevel from the detected processor type. SpWarnCpuNotRecognised when the vendor is
// not recognised (the level is set all the same), else SpOk.
SpStatus SpInitCpuLevel();

// Sets SpCpuLevel for a processor-type code; SpErrCpuType (level unchanged) for a code the
// setter does not list.
SpStatus SpInitCpuLevelForType(int32_t cpuType);

// The processor-type code of this processor (as seen through SpCpuIdHook).
int32_t SpDetectCpuType();

// Executes CPUID (through SpCpuIdHook) and stores EAX, EBX, ECX, EDX in that order.
void SpCpuId(uint32_t regs[4], uint32_t leaf, uint32_t subLeaf);

// 1: every processor the driver runs on has CPUID.
int32_t SpHasCpuId();

// True when CPUID leaf 0 names the recognised vendor ("GenuineIntel").
bool SpIsGenuineIntel();

// How the library reads CPUID. The default executes the instruction; tests install a table of
// answers through SpSetCpuIdForTest.
typedef void (*SpCpuIdFn)(uint32_t regs[4], uint32_t leaf, uint32_t subLeaf);

// Test only: replace the CPUID reader (null restores the instruction). Returns the previous one.
SpCpuIdFn SpSetCpuIdForTest(SpCpuIdFn cpuId);

// Test only: force SpCpuLevel to any value and return the previous one, so a test can run an
// operation through any column and put the level back afterwards. Not for driver code.
int32_t SpForceCpuLevelForTest(int32_t level);
