// Pool of the stand-in: accounting and leak reports per tag, failure injection, the garbage
// fill and alignment of fresh blocks, lookaside lists, and the misuse that stops the process.
#include "kernel_test_support.h"

#include "plat_pool.h"
#include "plat_sched.h"

#include <memory>
#include <utility>
#include <vector>

namespace
{

const ULONG kTagA = MAKE_POOL_TAG('T', 's', 't', 'A');
const ULONG kTagB = MAKE_POOL_TAG('T', 's', 't', 'B');

using PoolDeathTest = kt::DeathTest;

TEST(Pool, LeaksAreReportedPerTagSinceSnapshot)
{
    plat::PoolSnapshot start = plat::TakePoolSnapshot();
    PVOID before = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA); // live before the snapshot
    plat::PoolSnapshot snapshot = plat::TakePoolSnapshot();
    PVOID a1 = ExAllocatePoolWithTag(NonPagedPool, 24, kTagA);
    PVOID a2 = ExAllocatePoolWithTag(NonPagedPool, 40, kTagA);
    PVOID b1 = ExAllocatePoolWithTag(PagedPool, 100, kTagB);
    ExFreePoolWithTag(a1, kTagA);

    std::string report = plat::PoolLeaksSince(snapshot);
    EXPECT_NE(report.find("TstA: 1 block, 40 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("TstB: 1 block, 100 bytes"), std::string::npos) << report;
    EXPECT_EQ(report.find(" 8"), std::string::npos)
        << "the block from before the snapshot is not new: " << report;

    ExFreePoolWithTag(a2, kTagA);
    ExFreePoolWithTag(b1, kTagB);
    EXPECT_EQ(plat::PoolLeaksSince(snapshot), "");
    EXPECT_NE(plat::PoolLeaksSince(start).find("TstA: 1 block, 8 bytes"), std::string::npos);
    EXPECT_NE(plat::PoolLeakReport().find("TstA: 1 block, 8 bytes"), std::string::npos);
    ExFreePool(before);
    EXPECT_EQ(plat::PoolLeaksSince(start), "");
    EXPECT_EQ(plat::PoolLeakReport().find("TstA"), std::string::npos);
}

TEST(Pool, UsageCountsLiveBlocksAndBytesPerTagAndOverall)
{
    plat::PoolUsage total0 = plat::PoolUsageTotal();
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 10, kTagA);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 30, kTagA);
    PVOID c = ExAllocatePool(NonPagedPool, 5);
    EXPECT_EQ(plat::PoolLiveBlocks(kTagA), 2u);
    EXPECT_EQ(plat::PoolLiveBytes(kTagA), 40u);
    EXPECT_EQ(plat::PoolLiveBlocks(plat::kUntaggedPoolTag), 1u);
    EXPECT_EQ(plat::PoolUsageTotal().LiveBlocks, total0.LiveBlocks + 3);
    EXPECT_EQ(plat::PoolUsageTotal().LiveBytes, total0.LiveBytes + 45);

    std::vector<plat::PoolTagUsage> byTag = plat::PoolUsageByTag();
    bool found = false;
    for (const plat::PoolTagUsage& entry : byTag)
        found |= entry.Tag == kTagA && entry.Usage.LiveBlocks == 2 && entry.Usage.LiveBytes == 40;
    EXPECT_TRUE(found);

    ExFreePool(a); // ExFreePool takes any tag
    ExFreePoolWithTag(b, kTagA);
    ExFreePool(c);
    EXPECT_EQ(plat::PoolLiveBlocks(kTagA), 0u);
    EXPECT_EQ(plat::PoolUsageTotal().LiveBlocks, total0.LiveBlocks);
}

TEST(Pool, FailuresHitExactlyTheNthAllocationOnceOrOneTagUntilCleared)
{
    ULONGLONG injected = plat::PoolInjectedFailureCount();
    plat::FailNthAllocation(3);
    std::vector<PVOID> blocks;
    for (ULONG tag : {kTagA, kTagB, kTagA, kTagA})
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 16, tag));
    EXPECT_TRUE(blocks[0] && blocks[1] && !blocks[2] && blocks[3]);
    EXPECT_EQ(plat::PoolLiveBlocks(kTagA), 2u) << "a refused allocation is not live";
    EXPECT_EQ(plat::PoolInjectedFailureCount(), injected + 1);
    for (PVOID block : blocks)
        if (block)
            ExFreePool(block);

    // Tag and size together pick one object among its tag's other blocks, once.
    plat::FailNextAllocationOf(kTagA, 24);
    blocks.clear();
    for (const std::pair<ULONG, SIZE_T>& request :
         std::vector<std::pair<ULONG, SIZE_T>>{{kTagA, 16}, {kTagB, 24}, {kTagA, 24}, {kTagA, 24}})
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, request.second, request.first));
    EXPECT_TRUE(blocks[0] && blocks[1] && !blocks[2] && blocks[3]);
    EXPECT_EQ(plat::PoolInjectedFailureCount(), injected + 2);
    for (PVOID block : blocks)
        if (block)
            ExFreePool(block);

    plat::FailAllocationsWithTag(kTagB);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagB), nullptr);
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(a, nullptr);
    plat::ClearPoolFailures();
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    EXPECT_NE(b, nullptr);
    ExFreePoolWithTag(a, kTagA);
    ExFreePoolWithTag(b, kTagB);
}

TEST(Pool, FreshBlocksHoldGarbageAndCacheAlignedOnesStartOn64BytesOthersOn16)
{
    struct Case
    {
        POOL_TYPE Type;
        ULONG_PTR Alignment;
    };
    const Case cases[] = {
        {NonPagedPool, 16},          {PagedPool, 16}, {NonPagedPoolNx, 16}, {NonPagedPoolCacheAligned, 64},
        {PagedPoolCacheAligned, 64},
    };
    for (const Case& c : cases)
    {
        for (SIZE_T size : {1, 7, 24, 63, 65, 4000})
        {
            PUCHAR p = static_cast<PUCHAR>(ExAllocatePoolWithTag(c.Type, size, kTagA));
            ASSERT_NE(p, nullptr);
            for (SIZE_T i = 0; i < size; i++)
                ASSERT_EQ(p[i], plat::kPoolFreshFill) << "fresh blocks hold garbage, not zeros: byte " << i;
            EXPECT_EQ(reinterpret_cast<ULONG_PTR>(p) % c.Alignment, 0u)
                << "type " << c.Type << " size " << size;
            POOL_TYPE type;
            SIZE_T recorded;
            ASSERT_TRUE(plat::PoolQueryBlock(p, nullptr, &recorded, &type));
            EXPECT_EQ(recorded, size);
            EXPECT_EQ(type, c.Type);
            ExFreePoolWithTag(p, kTagA);
            EXPECT_FALSE(plat::PoolQueryBlock(p, nullptr, nullptr, nullptr));
        }
    }
}

TEST(Pool, NonPagedPoolMayBeUsedAtDispatchLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 32, kTagA);
    EXPECT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTagA);
    KeLowerIrql(old);
}

TEST(Pool, ConcurrentAllocationsKeepTheAccountsStraight)
{
    plat::PoolSnapshot snapshot = plat::TakePoolSnapshot();
    const ULONG tags[] = {MAKE_POOL_TAG('T', 'h', 'r', '0'), MAKE_POOL_TAG('T', 'h', 'r', '1'),
                          MAKE_POOL_TAG('T', 'h', 'r', '2'), MAKE_POOL_TAG('T', 'h', 'r', '3')};
    std::vector<std::unique_ptr<plat::HostThread>> threads;
    for (ULONG tag : tags)
    {
        threads.push_back(std::make_unique<plat::HostThread>("pool user",
                                                             [tag]
                                                             {
                                                                 PVOID held[16] = {};
                                                                 for (int i = 0; i < 4000; i++)
                                                                 {
                                                                     PVOID& slot = held[i % 16];
                                                                     if (slot)
                                                                         ExFreePoolWithTag(slot, tag);
                                                                     slot = ExAllocatePoolWithTag(
                                                                         NonPagedPool, 8 + i % 64, tag);
                                                                 }
                                                                 for (PVOID block : held)
                                                                     ExFreePoolWithTag(block, tag);
                                                             }));
    }
    threads.clear(); // joins
    EXPECT_EQ(plat::PoolLeaksSince(snapshot), "");
    for (ULONG tag : tags)
    {
        EXPECT_EQ(plat::PoolLiveBlocks(tag), 0u);
        EXPECT_EQ(plat::PoolLiveBytes(tag), 0u);
    }
}

TEST(Pool, FormatPoolTagPrintsTheFourCharacters)
{
    EXPECT_EQ(plat::FormatPoolTag(MAKE_POOL_TAG('L', 'i', 's', 0)), "Lis");
    EXPECT_EQ(plat::FormatPoolTag('dBSU'), "USBd");
    EXPECT_EQ(plat::FormatPoolTag(MAKE_POOL_TAG('s', 't', 'r', ' ')), "str ");
    EXPECT_EQ(plat::FormatPoolTag(MAKE_POOL_TAG('A', 1, 'B', 'C')), "A\\x01BC");
    EXPECT_EQ(plat::FormatPoolTag(plat::kUntaggedPoolTag), "None");
}

// ---- Lookaside lists ----

TEST(PoolLookaside, BlocksComeFromPoolWithTheListTagAndFailuresReachTheCaller)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 152, kTagB, 0);
    PVOID a = ExAllocateFromNPagedLookasideList(&list);
    PVOID b = ExAllocateFromNPagedLookasideList(&list);
    ULONG tag = 0;
    SIZE_T size = 0;
    ASSERT_TRUE(plat::PoolQueryBlock(a, &tag, &size, nullptr));
    EXPECT_EQ(tag, kTagB);
    EXPECT_EQ(size, 152u);
    EXPECT_EQ(plat::PoolLiveBlocks(kTagB), 2u);
    ExFreeToNPagedLookasideList(&list, a);
    ExFreeToNPagedLookasideList(&list, b);
    EXPECT_EQ(plat::PoolLiveBlocks(kTagB), 0u) << "the stand-in caches nothing";
    plat::FailAllocationsWithTag(kTagB);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr) << "an injected failure reaches the caller";
    plat::ClearPoolFailures();
    ExDeleteNPagedLookasideList(&list); // the failed allocation left nothing outstanding
}

int g_customAllocations;
int g_customFrees;

PVOID CustomAllocate(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    g_customAllocations++;
    return ExAllocatePoolWithTag(type, size + 8, tag);
}

VOID CustomFree(PVOID block)
{
    g_customFrees++;
    ExFreePool(block);
}

TEST(PoolLookaside, CustomRoutinesAreHonoured)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, CustomAllocate, CustomFree, 0, 40, kTagA, 0);
    PVOID p = ExAllocateFromNPagedLookasideList(&list);
    SIZE_T size = 0;
    ASSERT_TRUE(plat::PoolQueryBlock(p, nullptr, &size, nullptr));
    EXPECT_EQ(size, 48u);
    ExFreeToNPagedLookasideList(&list, p);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(g_customAllocations, 1);
    EXPECT_EQ(g_customFrees, 1);
}

// Each misuse of the pool stops the process with a message naming the block and the rule.
TEST_F(PoolDeathTest, MisuseStopsTheProcess)
{
    auto atDispatch = [](std::function<void()> act)
    {
        return [act]
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            act();
        };
    };
    auto lookaside = [](NPAGED_LOOKASIDE_LIST* list, ULONG tag)
    { ExInitializeNPagedLookasideList(list, nullptr, nullptr, 0, 32, tag, 0); };
    kt::ExpectEachStops({
        {"double free",
         []
         {
             PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
             ExFreePoolWithTag(p, kTagA);
             ExFreePool(p);
         },
         "TstA.*freed twice"},
        {"wrong tag", [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, kTagA), kTagB); },
         "freed with tag \"TstB\" but allocated with tag \"TstA\""},
        {"foreign memory",
         []
         {
             static UCHAR notPool[32];
             ExFreePool(notPool);
         },
         "not a live pool block"},
        {"null", [] { ExFreePool(nullptr); }, "null"},
        {"write behind the block",
         []
         {
             PUCHAR p = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 20, kTagA));
             p[20] = 0;
             ExFreePoolWithTag(p, kTagA);
         },
         "written past its end"},
        {"paged at dispatch", atDispatch([] { ExAllocatePoolWithTag(PagedPool, 16, kTagA); }),
         "paged pool allocated at IRQL 2"},
        {"paged aligned at dispatch",
         atDispatch([] { ExAllocatePoolWithTag(PagedPoolCacheAligned, 16, kTagA); }),
         "paged pool allocated at IRQL 2"},
        {"paged freed at dispatch",
         [&]
         {
             PVOID paged = ExAllocatePoolWithTag(PagedPool, 16, kTagA);
             atDispatch([paged] { ExFreePoolWithTag(paged, kTagA); })();
         },
         "paged.*freed at IRQL 2"},
        {"lookaside deleted with blocks out",
         [&]
         {
             NPAGED_LOOKASIDE_LIST list;
             lookaside(&list, kTagA);
             ExAllocateFromNPagedLookasideList(&list);
             ExDeleteNPagedLookasideList(&list);
         },
         "deleted with 1 blocks outstanding"},
        {"deleted lookaside used",
         [&]
         {
             NPAGED_LOOKASIDE_LIST list;
             lookaside(&list, kTagA);
             ExDeleteNPagedLookasideList(&list);
             ExAllocateFromNPagedLookasideList(&list);
         },
         "not initialised"},
        {"block to the wrong lookaside",
         [&]
         {
             NPAGED_LOOKASIDE_LIST urbs, data;
             lookaside(&urbs, kTagA);
             lookaside(&data, kTagB);
             ExAllocateFromNPagedLookasideList(&data);
             ExFreeToNPagedLookasideList(&data, ExAllocateFromNPagedLookasideList(&urbs));
         },
         "must name the allocation's tag"},
    });
}

} // namespace
