// Control of the stand-in's pool for tests and hosts: what is live per tag, leak reports
// against a snapshot, and injected allocation failures.
#pragma once

#include "ntdef.h"

#include <string>
#include <vector>

namespace plat
{

// The tag of untagged allocations (ExAllocatePool): the bytes "None", as the target reports it.
constexpr ULONG kUntaggedPoolTag = MAKE_POOL_TAG('N', 'o', 'n', 'e');

// Byte patterns: fresh blocks are filled with kPoolFreshFill so that a driver that relies on
// zeroed pool reads garbage; freed blocks with kPoolFreedFill before they are released.
constexpr UCHAR kPoolFreshFill = 0xCD;
constexpr UCHAR kPoolFreedFill = 0xDD;

// A tag as its four characters, stopping at the first zero byte: "Lis\0" prints as "Lis".
// Bytes outside printable ASCII print as \xNN.
std::string FormatPoolTag(ULONG Tag);

struct PoolUsage
{
    SIZE_T LiveBlocks = 0;
    SIZE_T LiveBytes = 0;
};

// Live blocks and bytes with one tag, and over every tag.
PoolUsage PoolUsageForTag(ULONG Tag);
PoolUsage PoolUsageTotal();
SIZE_T PoolLiveBlocks(ULONG Tag);
SIZE_T PoolLiveBytes(ULONG Tag);

// Usage of every tag with live blocks, sorted by tag.
struct PoolTagUsage
{
    ULONG Tag = 0;
    PoolUsage Usage;
};
std::vector<PoolTagUsage> PoolUsageByTag();

// Allocations (successful or failed) since the process started; a test can count how many
// allocations an operation makes, and aim FailNthAllocation at one of them.
ULONGLONG PoolAllocationCount();

// A point in the pool's history. Blocks allocated after it and still live are "new".
struct PoolSnapshot
{
    ULONGLONG Sequence = 0;
};
PoolSnapshot TakePoolSnapshot();

// Per-tag report of the blocks allocated since the snapshot that are still live, e.g.
//   "Lis: 2 blocks, 48 bytes live since snapshot (sizes 24 24)"
// one line per tag; empty when nothing new is live. Tests assert it is empty.
std::string PoolLeaksSince(const PoolSnapshot& Snapshot);

// Report of every live block per tag (the leak report at unload); empty when the pool is empty.
std::string PoolLeakReport();

// Failure injection. FailNthAllocation(1) makes the very next allocation fail, (2) the one
// after it, and so on; it fires once. FailAllocationsWithTag makes every allocation with that
// tag fail until ClearPoolFailures; several tags may be set. FailNextAllocationOf makes the next
// allocation of exactly that tag and size fail, once: one object of a class among its tag's
// other blocks.
void FailNthAllocation(ULONG N);
void FailAllocationsWithTag(ULONG Tag);
void FailNextAllocationOf(ULONG Tag, SIZE_T Size);
void ClearPoolFailures();

// Allocations refused by injection since the process started.
ULONGLONG PoolInjectedFailureCount();

// What the pool knows of a live block: FALSE for memory it did not hand out (or has freed).
BOOLEAN PoolQueryBlock(PVOID Block, ULONG* Tag, SIZE_T* Size, POOL_TYPE* Type);

} // namespace plat
