// The library frame: aligned allocation through the allocator hooks (counting and failing
// fakes, and the default pool hooks with their tag), the checked fills and the level tables.
#include "sp_level_fixture.h"
#include "sp_test_support.h"

#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_level_tables.h"
#include "driver/primitives/dispatch/sp_memory.h"
#include "driver/primitives/sp_lib.h"

#include "ntddk.h"
#include "plat_pool.h"

namespace
{

// Allocator hooks that record every call and can refuse.
struct HookLog
{
    std::vector<size_t> Requests;
    std::map<void*, size_t> Live;
    std::vector<void*> Freed;
    bool Fail = false;
};
HookLog* g_pLog = nullptr;

void* LogAllocate(size_t bytes)
{
    g_pLog->Requests.push_back(bytes);
    if (g_pLog->Fail)
        return nullptr;
    void* p = malloc(bytes);
    g_pLog->Live[p] = bytes;
    return p;
}
void* LogAllocateArray(size_t count, size_t size)
{
    return LogAllocate(count * size);
}
void* LogReallocate(void*, size_t)
{
    return nullptr;
}
void LogFree(void* p)
{
    g_pLog->Freed.push_back(p);
    ASSERT_EQ(1u, g_pLog->Live.erase(p)) << "free of an address the hook did not hand out";
    free(p);
}
const SpAllocatorHookTable kLogHooks = {LogAllocate, LogAllocateArray, LogReallocate, LogFree};

class SpAllocTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_pLog = &m_log;
        m_pPrevious = SpSetAllocatorHooksForTest(&kLogHooks);
    }
    void TearDown() override
    {
        SpSetAllocatorHooksForTest(m_pPrevious);
        EXPECT_TRUE(m_log.Live.empty()) << m_log.Live.size() << " blocks leaked";
        g_pLog = nullptr;
    }
    HookLog m_log;

private:
    const SpAllocatorHookTable* m_pPrevious = nullptr;
};

} // namespace

TEST_F(SpAllocTest, AlignedMallocAsksForFortyMoreAndReturnsTheHookAddressOnFree)
{
    for (int32_t size : {1, 3, 31, 32, 33, 100, 4096, 12345})
    {
        m_log.Requests.clear();
        void* block = SpAlignedMalloc(size);
        ASSERT_NE(nullptr, block);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block) % 32);
        ASSERT_EQ(std::vector<size_t>{size_t(size) + 40}, m_log.Requests);
        void* raw = m_log.Live.begin()->first;
        const ptrdiff_t lead = static_cast<uint8_t*>(block) - static_cast<uint8_t*>(raw);
        EXPECT_GE(lead, 8);
        EXPECT_LE(lead, 39);
        memset(block, 0x5A, size_t(size)); // the whole block is usable (ASan checks the bounds)
        SpAlignedFree(block);
        ASSERT_EQ(raw, m_log.Freed.back());
    }
}

TEST_F(SpAllocTest, SizesBelowOneAndNullFreeNeverReachTheHooks)
{
    EXPECT_EQ(nullptr, SpAlignedMalloc(0));
    EXPECT_EQ(nullptr, SpAlignedMalloc(-1));
    EXPECT_EQ(nullptr, SpAlignedMalloc(INT32_MIN));
    EXPECT_EQ(nullptr, SpMallocF32(0));
    EXPECT_EQ(nullptr, SpMallocF32(-5));
    SpAlignedFree(nullptr);
    SpFree(nullptr);
    EXPECT_TRUE(m_log.Requests.empty());
    EXPECT_TRUE(m_log.Freed.empty());
}

TEST_F(SpAllocTest, MallocF32SizesInSixtyFourBits)
{
    float* block = SpMallocF32(10);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block) % 32);
    EXPECT_EQ(std::vector<size_t>{80}, m_log.Requests);
    SpFree(block);
    EXPECT_EQ(1u, m_log.Freed.size());

    // The largest count asks for its true size; a 32-bit product would have wrapped to 36.
    m_log.Fail = true;
    m_log.Requests.clear();
    EXPECT_EQ(nullptr, SpMallocF32(INT32_MAX));
    EXPECT_EQ(nullptr, SpAlignedMalloc(INT32_MAX));
    EXPECT_EQ((std::vector<size_t>{size_t(INT32_MAX) * 4 + 40, size_t(INT32_MAX) + 40}), m_log.Requests);
}

// The build-time hooks: non-paged pool tagged "SPL ", every block accounted and returned.
TEST(SpPoolHooks, DefaultHooksUseTaggedPool)
{
    const ULONG tag = MAKE_POOL_TAG('S', 'P', 'L', ' ');
    const plat::PoolSnapshot before = plat::TakePoolSnapshot();
    float* a = SpMallocF32(100);
    void* b = SpAlignedMalloc(7);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(2u, plat::PoolLiveBlocks(tag));
    EXPECT_EQ(400u + 40 + 7 + 40, plat::PoolLiveBytes(tag));
    SpFree(a);
    SpAlignedFree(b);
    EXPECT_EQ(0u, plat::PoolLiveBlocks(tag));
    EXPECT_EQ("", plat::PoolLeaksSince(before));

    plat::FailAllocationsWithTag(tag);
    EXPECT_EQ(nullptr, SpMallocF32(4));
    plat::ClearPoolFailures();

    EXPECT_EQ(nullptr, SpAllocatorHooks.Reallocate(nullptr, 16));
    void* arr = SpAllocatorHooks.AllocateArray(3, 8);
    ASSERT_NE(nullptr, arr);
    EXPECT_EQ(24u, plat::PoolLiveBytes(tag));
    SpAllocatorHooks.Free(arr);
    EXPECT_EQ(nullptr, SpAllocatorHooks.AllocateArray(SIZE_MAX / 2, 4)) << "count x size overflows";
}

// --- fills -----------------------------------------------------------------------------------------

TEST(SpMemory, CheckedFillsFillExactlyTheCount)
{
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(SpOk, SpZeroBuffer(bytes, 5));
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 6, 7, 8}), std::vector<uint8_t>(bytes, bytes + 8));
    int32_t words[5] = {1, 1, 1, 1, 1};
    EXPECT_EQ(SpOk, SpSetI32(-42, words, 4));
    EXPECT_EQ((std::vector<int32_t>{-42, -42, -42, -42, 1}), std::vector<int32_t>(words, words + 5));
}

TEST(SpMemory, UncheckedKernelsIgnoreCountsBelowOne)
{
    uint8_t a[6] = {1, 2, 3, 4, 5, 6}, b[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(a, SpZeroBytes(a, 0));
    EXPECT_EQ(a, SpZeroBytes(a, -3));
    EXPECT_EQ(1, a[0]);
    EXPECT_EQ(b, SpCopyBytes(a, b, -1));
    EXPECT_EQ(9, b[0]);
    EXPECT_EQ(b, SpCopyBytes(a, b, 4));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 9, 9}), std::vector<uint8_t>(b, b + 6));
    EXPECT_EQ(a, SpZeroBytes(a, 3));
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 4, 5, 6}), std::vector<uint8_t>(a, a + 6));
    uint32_t w[3] = {7, 7, 7};
    SpFill32(0xFFC00001u, w, 0);
    EXPECT_EQ(7u, w[0]);
    SpFill32(0xFFC00001u, w, 2);
    EXPECT_EQ((std::vector<uint32_t>{0xFFC00001u, 0xFFC00001u, 7}), std::vector<uint32_t>(w, w + 3));
}

// Each level's byte zeroing: every start byte and count up to past two 16-byte stores clears
// exactly its bytes between guard zones; counts below 1 touch nothing.
TEST(SpMemory, LevelByteZeroingClearsExactlyItsBytes)
{
    void* (*const zero[])(void*, int32_t) = {SpZeroBytes, SpZeroBytes_L1, SpZeroBytes_L2, SpZeroBytes_L3};
    for (int32_t level = 0; level < 4; ++level)
    {
        if (!SpLevelRunsHere(level))
            continue;
        for (size_t offset = 0; offset < 16; ++offset)
            for (int32_t count = -1; count <= 50; ++count)
            {
                GuardedBuffer<uint8_t> buffer(size_t(count > 0 ? count : 0), offset);
                for (int32_t i = 0; i < count; ++i)
                    buffer[size_t(i)] = uint8_t(0x5A + i);
                ASSERT_EQ(buffer.data(), zero[level](buffer.data(), count));
                ASSERT_TRUE(buffer.GuardsIntact()) << level << " " << offset << " " << count;
                for (int32_t i = 0; i < count; ++i)
                    ASSERT_EQ(0, buffer[size_t(i)])
                        << level << " " << offset << " " << count << " byte " << i;
            }
    }
}

// --- level tables ------------------------------------------------------------------------------------

// Every column of every row holds an entry; what each entry does is held by the level table of
// level_test.cpp and the operations' own tests.
TEST(SpLevelTables, EveryColumnHoldsAnEntry)
{
    for (const SpLevelRow& row : SpLevelTable1)
        for (SpEntry e : row.Level)
            EXPECT_NE(nullptr, e);
    for (const SpLevelRow& row : SpLevelTable2)
        for (SpEntry e : row.Level)
            EXPECT_NE(nullptr, e);
}
