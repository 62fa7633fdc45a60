// The library frame: aligned allocation through the allocator hooks (counting and failing
// fakes, and the default pool hooks with their tag), the checked fills, the shape of the two
// level tables and the dispatch of every entry stub to the column of the current level.
#include "sp_level_fixture.h"
#include "sp_test_support.h"

#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_level_tables.h"
#include "driver/primitives/dispatch/sp_memory.h"
#include "driver/primitives/sp_lib.h"

#include "ntddk.h"
#include "plat_pool.h"

#include <map>
#include <set>

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

TEST_F(SpAllocTest, FailedHookGivesNull)
{
    m_log.Fail = true;
    EXPECT_EQ(nullptr, SpAlignedMalloc(64));
    EXPECT_EQ(nullptr, SpMallocF32(16));
    EXPECT_EQ(2u, m_log.Requests.size());
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

TEST(SpMemory, CheckedFillsCheckPointerFirstThenCount)
{
    EXPECT_EQ(SpErrNullPointer, SpZeroBuffer(nullptr, 0));
    EXPECT_EQ(SpErrNullPointer, SpZeroBuffer(nullptr, 5));
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(SpErrBadLength, SpZeroBuffer(bytes, 0));
    EXPECT_EQ(1, bytes[0]);
    EXPECT_EQ(SpOk, SpZeroBuffer(bytes, 5));
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 6, 7, 8}), std::vector<uint8_t>(bytes, bytes + 8));

    int32_t words[5] = {1, 1, 1, 1, 1};
    EXPECT_EQ(SpErrNullPointer, SpSetI32(3, nullptr, 0));
    EXPECT_EQ(SpErrBadLength, SpSetI32(3, words, -1));
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

// --- level tables ------------------------------------------------------------------------------------

namespace
{

enum Shape
{
    Separate,
    Shared23,
    Shared01And23,
    SharedAll
};

// Which levels share one build, row by row.
const std::map<int, Shape> kTable1Shared = {
    {4, Shared01And23}, {7, Shared23}, {18, Shared23}, {21, Shared23}};
const std::map<int, Shape> kTable2Shared = {
    {8, SharedAll}, {10, SharedAll}, {11, SharedAll}, {13, Shared23},  {14, Shared23},  {15, Shared23},
    {16, Shared23}, {17, SharedAll}, {28, SharedAll}, {33, SharedAll}, {36, SharedAll}, {39, Shared23}};

void ExpectShape(const SpLevelRow* table, int rows, const std::map<int, Shape>& shared, const char* name)
{
    for (int row = 0; row < rows; ++row)
    {
        const SpEntry* c = table[row].Level;
        for (int level = 0; level < 4; ++level)
            EXPECT_NE(nullptr, c[level]) << name << " row " << row;
        const auto it = shared.find(row);
        const Shape shape = it == shared.end() ? Separate : it->second;
        if (shape == Shared23 || shape == Shared01And23)
        {
            EXPECT_EQ(c[2], c[3]) << name << " row " << row;
        }
        if (shape == Shared01And23)
        {
            EXPECT_EQ(c[0], c[1]) << name << " row " << row;
        }
        if (shape == SharedAll)
        {
            EXPECT_EQ(c[0], c[1]) << name << " row " << row;
            EXPECT_EQ(c[0], c[2]) << name << " row " << row;
            EXPECT_EQ(c[0], c[3]) << name << " row " << row;
        }
    }
}

} // namespace

TEST(SpLevelTables, ShapeAndSharedColumns)
{
    EXPECT_EQ(25u, sizeof(SpLevelTable1) / sizeof(SpLevelTable1[0]));
    EXPECT_EQ(40u, sizeof(SpLevelTable2) / sizeof(SpLevelTable2[0]));
    ExpectShape(SpLevelTable1, SP_T1_ROW_COUNT, kTable1Shared, "table 1");
    ExpectShape(SpLevelTable2, SP_T2_ROW_COUNT, kTable2Shared, "table 2");
    // The rows whose one build is named by the frame itself.
    EXPECT_EQ(reinterpret_cast<SpEntry>(&SpAlignedFree), SpLevelTable2[SP_T2_FREE].Level[0]);
    EXPECT_EQ(reinterpret_cast<SpEntry>(&SpMallocF32_L0), SpLevelTable2[SP_T2_MALLOC_F32].Level[3]);
    // No operation stands in two rows (a row copied and not renamed).
    std::set<SpEntry> seen;
    for (const SpLevelRow& row : SpLevelTable1)
        EXPECT_TRUE(seen.insert(row.Level[0]).second);
}

// --- dispatch ----------------------------------------------------------------------------------------------

class SpDispatchTest : public SpLevelTest
{
};

TEST_P(SpDispatchTest, EntryLookupTakesTheColumnOfTheForcedLevel)
{
    for (int row = 0; row < SP_T1_ROW_COUNT; ++row)
    {
        EXPECT_EQ(SpLevelTable1[row].Level[Level()], SpLevelEntry<SpEntry>(SpLevelTable1, row));
    }
    for (int row = 0; row < SP_T2_ROW_COUNT; ++row)
    {
        EXPECT_EQ(SpLevelTable2[row].Level[Level()], SpLevelEntry<SpEntry>(SpLevelTable2, row));
    }
}

// One set of inputs through every stub of the conversion, vector and power rows: each level
// must give the bytes and status that the level-0 build gives when called directly.
TEST_P(SpDispatchTest, EveryStubMatchesTheGenericBuildBitForBit)
{
    const int32_t n = 21;
    std::vector<float> a(n), b(n);
    std::vector<int16_t> i16(n);
    std::vector<int32_t> i32(n);
    std::vector<uint8_t> i24(3 * n);
    for (int32_t i = 0; i < n; ++i)
    {
        a[i] = 0.37f * float(i) - 3.1f;
        b[i] = 1.0f / float(i + 2);
        i16[i] = int16_t(i * 1111 - 9000);
        i32[i] = i * 99999 - 777777;
    }
    a[4] = 0.0f;
    b[7] = -2.5f;
    for (size_t i = 0; i < i24.size(); ++i)
        i24[i] = uint8_t(i * 37);

    auto same = [&](const char* name, auto stub, auto generic)
    {
        std::vector<uint8_t> outStub(4 * n, 0xCC), outGeneric(4 * n, 0xCC);
        const SpStatus s1 = stub(outStub.data());
        const SpStatus s2 = generic(outGeneric.data());
        EXPECT_EQ(s2, s1) << name;
        EXPECT_EQ(outGeneric, outStub) << name;
    };
    using F = float*;
    same(
        "ZeroF32", [&](uint8_t* o) { return SpZeroF32(F(o), n); },
        [&](uint8_t* o) { return SpZeroF32_L0(F(o), n); });
    same(
        "F32ToI16", [&](uint8_t* o) { return SpConvertF32ToI16(a.data(), (int16_t*)o, n, 1, -15); },
        [&](uint8_t* o) { return SpConvertF32ToI16_L0(a.data(), (int16_t*)o, n, 1, -15); });
    same(
        "F32ToI32", [&](uint8_t* o) { return SpConvertF32ToI32(a.data(), (int32_t*)o, n, 2, -31); },
        [&](uint8_t* o) { return SpConvertF32ToI32_L0(a.data(), (int32_t*)o, n, 2, -31); });
    same(
        "I16ToF32", [&](uint8_t* o) { return SpConvertI16ToF32(i16.data(), F(o), n, 15); },
        [&](uint8_t* o) { return SpConvertI16ToF32_L0(i16.data(), F(o), n, 15); });
    same(
        "I32ToF32Scaled", [&](uint8_t* o) { return SpConvertI32ToF32Scaled(i32.data(), F(o), n, 31); },
        [&](uint8_t* o) { return SpConvertI32ToF32Scaled_L0(i32.data(), F(o), n, 31); });
    same(
        "I24ToF32", [&](uint8_t* o) { return SpConvertI24ToF32(i24.data(), F(o), n); },
        [&](uint8_t* o) { return SpConvertI24ToF32_L0(i24.data(), F(o), n); });
    same(
        "F32ToI24", [&](uint8_t* o) { return SpConvertF32ToI24(a.data(), o, n, -23); },
        [&](uint8_t* o) { return SpConvertF32ToI24_L0(a.data(), o, n, -23); });
    same(
        "I32ToF32", [&](uint8_t* o) { return SpConvertI32ToF32(i32.data(), F(o), n); },
        [&](uint8_t* o) { return SpConvertI32ToF32_L0(i32.data(), F(o), n); });
    same(
        "MoveI32", [&](uint8_t* o) { return SpMoveI32(i32.data(), (int32_t*)o, n); },
        [&](uint8_t* o) { return SpMoveI32_L0(i32.data(), (int32_t*)o, n); });
    auto inPlace = [&](const char* name, auto stub, auto generic)
    {
        same(
            name,
            [&](uint8_t* o)
            {
                memcpy(o, a.data(), 4 * n);
                return stub(F(o));
            },
            [&](uint8_t* o)
            {
                memcpy(o, a.data(), 4 * n);
                return generic(F(o));
            });
    };
    inPlace(
        "AddInPlace", [&](F o) { return SpAddInPlaceF32(b.data(), o, n); },
        [&](F o) { return SpAddInPlaceF32_L0(b.data(), o, n); });
    inPlace(
        "DivConst", [&](F o) { return SpDivConstInPlaceF32(3.0f, o, n); },
        [&](F o) { return SpDivConstInPlaceF32_L0(3.0f, o, n); });
    inPlace(
        "MulConstIP", [&](F o) { return SpMulConstInPlaceF32(-1.5f, o, n); },
        [&](F o) { return SpMulConstInPlaceF32_L0(-1.5f, o, n); });
    inPlace(
        "AddConstIP", [&](F o) { return SpAddConstInPlaceF32(0.1f, o, n); },
        [&](F o) { return SpAddConstInPlaceF32_L0(0.1f, o, n); });
    inPlace(
        "Sqrt", [&](F o) { return SpSqrtInPlaceF32(o, n); }, [&](F o) { return SpSqrtInPlaceF32_L0(o, n); });
    inPlace(
        "Abs", [&](F o) { return SpAbsInPlaceF32(o, n); }, [&](F o) { return SpAbsInPlaceF32_L0(o, n); });
    inPlace(
        "Exp", [&](F o) { return SpExpInPlaceF32(o, n); }, [&](F o) { return SpExpInPlaceF32_L0(o, n); });
    inPlace(
        "Ln", [&](F o) { return SpLnInPlaceF32(o, n); }, [&](F o) { return SpLnInPlaceF32_L0(o, n); });
    inPlace(
        "MulIP", [&](F o) { return SpMulInPlaceF32(b.data(), o, n); },
        [&](F o) { return SpMulInPlaceF32_L0(b.data(), o, n); });
    inPlace(
        "AddProduct", [&](F o) { return SpAddProductF32(a.data(), b.data(), o, n); },
        [&](F o) { return SpAddProductF32_L0(a.data(), b.data(), o, n); });
    inPlace(
        "AddProductConst", [&](F o) { return SpAddProductConstF32(b.data(), 2.5f, o, n); },
        [&](F o) { return SpAddProductConstF32_L0(b.data(), 2.5f, o, n); });
    inPlace(
        "MinEvery", [&](F o) { return SpMinEveryInPlaceF32(b.data(), o, n); },
        [&](F o) { return SpMinEveryInPlaceF32_L0(b.data(), o, n); });
    inPlace(
        "MaxEvery", [&](F o) { return SpMaxEveryInPlaceF32(b.data(), o, n); },
        [&](F o) { return SpMaxEveryInPlaceF32_L0(b.data(), o, n); });
    same(
        "Copy", [&](uint8_t* o) { return SpCopyF32(a.data(), F(o), n); },
        [&](uint8_t* o) { return SpCopyF32_L0(a.data(), F(o), n); });
    same(
        "Set", [&](uint8_t* o) { return SpSetF32(-7.25f, F(o), n); },
        [&](uint8_t* o) { return SpSetF32_L0(-7.25f, F(o), n); });
    same(
        "MulConst", [&](uint8_t* o) { return SpMulConstF32(a.data(), 0.3f, F(o), n); },
        [&](uint8_t* o) { return SpMulConstF32_L0(a.data(), 0.3f, F(o), n); });
    same(
        "Flip", [&](uint8_t* o) { return SpFlipF32(a.data(), F(o), n); },
        [&](uint8_t* o) { return SpFlipF32_L0(a.data(), F(o), n); });
    same(
        "Add", [&](uint8_t* o) { return SpAddF32(a.data(), b.data(), F(o), n); },
        [&](uint8_t* o) { return SpAddF32_L0(a.data(), b.data(), F(o), n); });
    same(
        "Sub", [&](uint8_t* o) { return SpSubF32(a.data(), b.data(), F(o), n); },
        [&](uint8_t* o) { return SpSubF32_L0(a.data(), b.data(), F(o), n); });
    same(
        "Mul", [&](uint8_t* o) { return SpMulF32(a.data(), b.data(), F(o), n); },
        [&](uint8_t* o) { return SpMulF32_L0(a.data(), b.data(), F(o), n); });
    same(
        "Sqr", [&](uint8_t* o) { return SpSqrF32(a.data(), F(o), n); },
        [&](uint8_t* o) { return SpSqrF32_L0(a.data(), F(o), n); });
    same(
        "Div", [&](uint8_t* o) { return SpDivF32(a.data(), b.data(), F(o), n); },
        [&](uint8_t* o) { return SpDivF32_L0(a.data(), b.data(), F(o), n); });
    same(
        "Pow", [&](uint8_t* o) { return SpPowF32(b.data(), a.data(), F(o), n); },
        [&](uint8_t* o) { return SpPowF32_L0(b.data(), a.data(), F(o), n); });
    same(
        "Max", [&](uint8_t* o) { return SpMaxF32(a.data(), n, F(o)); },
        [&](uint8_t* o) { return SpMaxF32_L0(a.data(), n, F(o)); });
    same(
        "Min", [&](uint8_t* o) { return SpMinF32(a.data(), n, F(o)); },
        [&](uint8_t* o) { return SpMinF32_L0(a.data(), n, F(o)); });
    same(
        "Sum", [&](uint8_t* o) { return SpSumF32(a.data(), n, F(o), 0); },
        [&](uint8_t* o) { return SpSumF32_L0(a.data(), n, F(o), 0); });
    same(
        "Mean", [&](uint8_t* o) { return SpMeanF32(a.data(), n, F(o), 0); },
        [&](uint8_t* o) { return SpMeanF32_L0(a.data(), n, F(o), 0); });
    same(
        "Dot", [&](uint8_t* o) { return SpDotProdF32(a.data(), b.data(), n, F(o)); },
        [&](uint8_t* o) { return SpDotProdF32_L0(a.data(), b.data(), n, F(o)); });
    same(
        "Interleave",
        [&](uint8_t* o)
        {
            const float* ch[] = {a.data(), b.data()};
            return SpInterleave32(ch, 2, n / 2, F(o));
        },
        [&](uint8_t* o)
        {
            const float* ch[] = {a.data(), b.data()};
            return SpInterleave32_L0(ch, 2, n / 2, F(o));
        });
    same(
        "Deinterleave",
        [&](uint8_t* o)
        {
            float* ch[] = {F(o), F(o) + n / 2};
            return SpDeinterleave32(a.data(), 2, n / 2, ch);
        },
        [&](uint8_t* o)
        {
            float* ch[] = {F(o), F(o) + n / 2};
            return SpDeinterleave32_L0(a.data(), 2, n / 2, ch);
        });
    same(
        "SampleUp",
        [&](uint8_t* o)
        {
            int32_t len, ph = 1;
            return SpSampleUpF32(a.data(), 5, F(o), &len, 4, &ph);
        },
        [&](uint8_t* o)
        {
            int32_t len, ph = 1;
            return SpSampleUpF32_L0(a.data(), 5, F(o), &len, 4, &ph);
        });
    same(
        "SampleDown",
        [&](uint8_t* o)
        {
            int32_t len, ph = 2;
            return SpSampleDownF32(a.data(), n, F(o), &len, 3, &ph);
        },
        [&](uint8_t* o)
        {
            int32_t len, ph = 2;
            return SpSampleDownF32_L0(a.data(), n, F(o), &len, 3, &ph);
        });
}

SP_INSTANTIATE_LEVELS(SpDispatchTest);
