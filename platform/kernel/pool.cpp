// Pool of the stand-in kernel. Every block is recorded with its tag, size, type and the
// sequence number of its allocation, so that leaks can be reported per tag and frees can be
// checked (twice, wrong tag, overrun). Blocks come from the host heap with a guard area behind
// them; the pool is not on the spin-lock fast path, so one mutex guards the records.
#include "pool.h"

#include "irql.h"
#include "plat_fatal.h"
#include "plat_pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

namespace
{

constexpr SIZE_T kDefaultAlignment = 16;
constexpr SIZE_T kCacheAlignment = 64;
constexpr SIZE_T kPageBytes = 4096;
constexpr SIZE_T kGuardBytes = 16;
constexpr UCHAR kGuardFill = 0xFD;
// Freed addresses remembered for double-free reports; an address leaves the set when the host
// heap hands it out again.
constexpr SIZE_T kFreedHistory = 1 << 16;
constexpr ULONG kLookasideLive = MAKE_POOL_TAG('L', 'k', 'a', 's');

struct Block
{
    ULONG Tag;
    POOL_TYPE Type;
    SIZE_T Size;
    ULONGLONG Sequence;
};

struct PoolState
{
    std::mutex Lock;
    std::unordered_map<PVOID, Block> Live;
    std::unordered_map<PVOID, ULONG> FreedTags;
    std::deque<PVOID> FreedOrder;
    std::map<ULONG, plat::PoolUsage> ByTag;
    ULONGLONG Sequence = 0;
    ULONGLONG InjectedFailures = 0;
    ULONG FailCountdown = 0; // 0: off; 1: the next allocation fails
    std::set<ULONG> FailingTags;
    std::set<std::pair<ULONG, SIZE_T>> FailingOnce; // tag and size: the next such allocation fails
};

// Never destroyed: drivers and hosts may free pool from static destructors.
PoolState& State()
{
    static PoolState* state = new PoolState;
    return *state;
}

bool IsPagedType(POOL_TYPE Type)
{
    return (static_cast<ULONG>(Type) & 1) != 0;
}
bool IsCacheAlignedType(POOL_TYPE Type)
{
    return (static_cast<ULONG>(Type) & 4) != 0;
}

// Decides under the lock whether injection refuses this allocation.
bool ShouldFail(PoolState& s, ULONG Tag, SIZE_T Size)
{
    bool fail = s.FailingTags.count(Tag) != 0 || s.FailingOnce.erase({Tag, Size}) != 0;
    if (s.FailCountdown != 0 && --s.FailCountdown == 0)
    {
        fail = true;
    }
    if (fail)
    {
        ++s.InjectedFailures;
    }
    return fail;
}

void CheckAllocationIrql(POOL_TYPE Type, ULONG Tag)
{
    KIRQL irql = KeGetCurrentIrql();
    if (IsPagedType(Type) && irql >= DISPATCH_LEVEL)
    {
        plat::Fatal("paged pool allocated at IRQL %u (tag \"%s\"): paged pool may only be used below "
                    "DISPATCH_LEVEL",
                    irql, plat::FormatPoolTag(Tag).c_str());
    }
    if (irql > DISPATCH_LEVEL)
    {
        plat::Fatal("pool allocated at IRQL %u (tag \"%s\"): pool may only be allocated at or below "
                    "DISPATCH_LEVEL",
                    irql, plat::FormatPoolTag(Tag).c_str());
    }
}

PVOID AllocateBlock(POOL_TYPE Type, SIZE_T Size, ULONG Tag)
{
    CheckAllocationIrql(Type, Tag);
    const SIZE_T largest = SIZE_T(1) << 40; // far beyond any real pool, and no overflow below
    SIZE_T alignment = IsCacheAlignedType(Type) ? kCacheAlignment : kDefaultAlignment;
    // As on the target, a block of a page or more starts on a page boundary.
    if (Size >= kPageBytes)
    {
        alignment = kPageBytes;
    }
    SIZE_T total = ALIGN_UP_BY(Size + kGuardBytes, alignment);
    PoolState& s = State();
    ULONGLONG sequence;
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        sequence = ++s.Sequence;
        if (ShouldFail(s, Tag, Size) || Size > largest)
        {
            return nullptr;
        }
    }
    PVOID p = std::aligned_alloc(alignment, total);
    if (!p)
    {
        return nullptr;
    }
    std::memset(p, plat::kPoolFreshFill, Size);
    std::memset(static_cast<PUCHAR>(p) + Size, kGuardFill, total - Size);
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Live[p] = Block{Tag, Type, Size, sequence};
    s.FreedTags.erase(p);
    plat::PoolUsage& usage = s.ByTag[Tag];
    usage.LiveBlocks++;
    usage.LiveBytes += Size;
    return p;
}

// Stops the process on a free of memory the pool does not hold live; otherwise unrecords the
// block and returns its record.
Block UnrecordBlock(PoolState& s, PVOID P, ULONG Tag, bool CheckTag)
{
    auto it = s.Live.find(P);
    if (it == s.Live.end())
    {
        auto freed = s.FreedTags.find(P);
        if (freed != s.FreedTags.end())
        {
            plat::Fatal("pool block %p (tag \"%s\") freed twice: a block may be freed only once", P,
                        plat::FormatPoolTag(freed->second).c_str());
        }
        plat::Fatal("free of %p, which is not a live pool block: only memory from ExAllocatePool* may be "
                    "freed to pool",
                    P);
    }
    Block block = it->second;
    if (CheckTag && block.Tag != Tag)
    {
        plat::Fatal("pool block %p freed with tag \"%s\" but allocated with tag \"%s\": ExFreePoolWithTag "
                    "must name the allocation's tag",
                    P, plat::FormatPoolTag(Tag).c_str(), plat::FormatPoolTag(block.Tag).c_str());
    }
    s.Live.erase(it);
    plat::PoolUsage& usage = s.ByTag[block.Tag];
    usage.LiveBlocks--;
    usage.LiveBytes -= block.Size;
    if (usage.LiveBlocks == 0)
    {
        s.ByTag.erase(block.Tag);
    }
    s.FreedTags[P] = block.Tag;
    s.FreedOrder.push_back(P);
    if (s.FreedOrder.size() > kFreedHistory)
    {
        s.FreedTags.erase(s.FreedOrder.front());
        s.FreedOrder.pop_front();
    }
    return block;
}

void CheckGuard(PVOID P, const Block& block)
{
    PUCHAR guard = static_cast<PUCHAR>(P) + block.Size;
    for (SIZE_T i = 0; i < kGuardBytes; i++)
    {
        if (guard[i] != kGuardFill)
        {
            plat::Fatal("pool block %p (tag \"%s\", %zu bytes) was written past its end: a driver may use "
                        "only the bytes it allocated",
                        P, plat::FormatPoolTag(block.Tag).c_str(), block.Size);
        }
    }
}

void FreeBlock(PVOID P, ULONG Tag, bool CheckTag)
{
    if (!P)
    {
        plat::Fatal("ExFreePool of a null pointer: the kernel bugchecks on it");
    }
    KIRQL irql = KeGetCurrentIrql();
    PoolState& s = State();
    Block block;
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        block = UnrecordBlock(s, P, Tag, CheckTag);
    }
    if (irql > DISPATCH_LEVEL || (IsPagedType(block.Type) && irql >= DISPATCH_LEVEL))
    {
        plat::Fatal("pool block %p (tag \"%s\", %s) freed at IRQL %u: paged pool is freed below "
                    "DISPATCH_LEVEL, non-paged pool at or below it",
                    P, plat::FormatPoolTag(block.Tag).c_str(),
                    IsPagedType(block.Type) ? "paged" : "non-paged", irql);
    }
    CheckGuard(P, block);
    std::memset(P, plat::kPoolFreedFill, block.Size);
    std::free(P);
}

std::string UsageLine(ULONG Tag, SIZE_T Blocks, SIZE_T Bytes, const std::vector<SIZE_T>& Sizes,
                      const char* Suffix)
{
    char line[160];
    std::snprintf(line, sizeof(line), "%s: %zu block%s, %zu bytes live%s (sizes",
                  plat::FormatPoolTag(Tag).c_str(), Blocks, Blocks == 1 ? "" : "s", Bytes, Suffix);
    std::string text = line;
    const SIZE_T shown = 8;
    for (SIZE_T i = 0; i < Sizes.size() && i < shown; i++)
    {
        text += " " + std::to_string(Sizes[i]);
    }
    if (Sizes.size() > shown)
    {
        text += " ...";
    }
    return text + ")\n";
}

// Groups the live blocks allocated after `Sequence` by tag, in allocation order per tag.
std::string ReportLiveAfter(ULONGLONG Sequence, const char* Suffix)
{
    PoolState& s = State();
    std::map<ULONG, std::vector<std::pair<ULONGLONG, SIZE_T>>> byTag;
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        for (const auto& entry : s.Live)
        {
            if (entry.second.Sequence > Sequence)
            {
                byTag[entry.second.Tag].push_back({entry.second.Sequence, entry.second.Size});
            }
        }
    }
    std::string report;
    for (auto& tag : byTag)
    {
        std::sort(tag.second.begin(), tag.second.end());
        std::vector<SIZE_T> sizes;
        SIZE_T bytes = 0;
        for (const auto& block : tag.second)
        {
            sizes.push_back(block.second);
            bytes += block.second;
        }
        report += UsageLine(tag.first, sizes.size(), bytes, sizes, Suffix);
    }
    return report;
}

} // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return AllocateBlock(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return AllocateBlock(PoolType, NumberOfBytes, plat::kUntaggedPoolTag);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    FreeBlock(P, Tag, true);
}

VOID ExFreePool(PVOID P)
{
    FreeBlock(P, 0, false);
}

VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    {
        plat::Fatal("ExInitializeNPagedLookasideList at IRQL %u: allowed at or below DISPATCH_LEVEL",
                    KeGetCurrentIrql());
    }
    std::memset(Lookaside, 0, sizeof(*Lookaside));
    Lookaside->Allocate = Allocate;
    Lookaside->Free = Free;
    Lookaside->Type = NonPagedPool;
    Lookaside->Size = Size;
    Lookaside->Tag = Tag;
    Lookaside->Depth = Depth;
    Lookaside->Initialized = kLookasideLive;
}

static void CheckLookaside(PNPAGED_LOOKASIDE_LIST Lookaside, const char* Operation)
{
    if (Lookaside->Initialized != kLookasideLive)
    {
        plat::Fatal("%s on lookaside list %p that is not initialised (or already deleted)", Operation,
                    Lookaside);
    }
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    CheckLookaside(Lookaside, "ExAllocateFromNPagedLookasideList");
    PVOID entry = Lookaside->Allocate
                      ? Lookaside->Allocate(Lookaside->Type, Lookaside->Size, Lookaside->Tag)
                      : ExAllocatePoolWithTag(Lookaside->Type, Lookaside->Size, Lookaside->Tag);
    if (entry)
    {
        __atomic_add_fetch(&Lookaside->Outstanding, 1, __ATOMIC_SEQ_CST);
    }
    return entry;
}

VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    CheckLookaside(Lookaside, "ExFreeToNPagedLookasideList");
    if (__atomic_sub_fetch(&Lookaside->Outstanding, 1, __ATOMIC_SEQ_CST) < 0)
    {
        plat::Fatal("ExFreeToNPagedLookasideList on list %p (tag \"%s\"): more blocks returned than taken",
                    Lookaside, plat::FormatPoolTag(Lookaside->Tag).c_str());
    }
    if (Lookaside->Free)
    {
        Lookaside->Free(Entry);
    }
    else
    {
        // Freeing with the list's tag catches a block handed back to the wrong list.
        ExFreePoolWithTag(Entry, Lookaside->Tag);
    }
}

VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    CheckLookaside(Lookaside, "ExDeleteNPagedLookasideList");
    LONG outstanding = __atomic_load_n(&Lookaside->Outstanding, __ATOMIC_SEQ_CST);
    if (outstanding != 0)
    {
        plat::Fatal("lookaside list %p (tag \"%s\") deleted with %d blocks outstanding: every block must be "
                    "returned before ExDeleteNPagedLookasideList",
                    Lookaside, plat::FormatPoolTag(Lookaside->Tag).c_str(), outstanding);
    }
    Lookaside->Initialized = 0;
}

namespace plat
{

std::string FormatPoolTag(ULONG Tag)
{
    std::string text;
    for (int i = 0; i < 4; i++)
    {
        UCHAR c = static_cast<UCHAR>(Tag >> (8 * i));
        if (c == 0)
        {
            break;
        }
        if (c >= 0x20 && c < 0x7F)
        {
            text += static_cast<char>(c);
        }
        else
        {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

PoolUsage PoolUsageForTag(ULONG Tag)
{
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    auto it = s.ByTag.find(Tag);
    return it == s.ByTag.end() ? PoolUsage{} : it->second;
}

PoolUsage PoolUsageTotal()
{
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    PoolUsage total;
    for (const auto& entry : s.ByTag)
    {
        total.LiveBlocks += entry.second.LiveBlocks;
        total.LiveBytes += entry.second.LiveBytes;
    }
    return total;
}

SIZE_T PoolLiveBlocks(ULONG Tag)
{
    return PoolUsageForTag(Tag).LiveBlocks;
}
SIZE_T PoolLiveBytes(ULONG Tag)
{
    return PoolUsageForTag(Tag).LiveBytes;
}

std::vector<PoolTagUsage> PoolUsageByTag()
{
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    std::vector<PoolTagUsage> all;
    for (const auto& entry : s.ByTag)
    {
        all.push_back(PoolTagUsage{entry.first, entry.second});
    }
    return all;
}

ULONGLONG PoolAllocationCount()
{
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Sequence;
}

PoolSnapshot TakePoolSnapshot()
{
    return PoolSnapshot{PoolAllocationCount()};
}

std::string PoolLeaksSince(const PoolSnapshot& Snapshot)
{
    return ReportLiveAfter(Snapshot.Sequence, " since snapshot");
}

std::string PoolLeakReport()
{
    return ReportLiveAfter(0, "");
}

void FailNthAllocation(ULONG N)
{
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.FailCountdown = N;
}

void FailAllocationsWithTag(ULONG Tag)
{
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.FailingTags.insert(Tag);
}

void FailNextAllocationOf(ULONG Tag, SIZE_T Size)
{
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.FailingOnce.insert({Tag, Size});
}

void ClearPoolFailures()
{
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.FailCountdown = 0;
    s.FailingTags.clear();
    s.FailingOnce.clear();
}

ULONGLONG PoolInjectedFailureCount()
{
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.InjectedFailures;
}

BOOLEAN PoolQueryBlock(PVOID Block, ULONG* Tag, SIZE_T* Size, POOL_TYPE* Type)
{
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    auto it = s.Live.find(Block);
    if (it == s.Live.end())
    {
        return FALSE;
    }
    if (Tag)
    {
        *Tag = it->second.Tag;
    }
    if (Size)
    {
        *Size = it->second.Size;
    }
    if (Type)
    {
        *Type = it->second.Type;
    }
    return TRUE;
}

} // namespace plat
