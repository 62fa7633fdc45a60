// CPointerList through its public operations: order, positions, the edge cases the driver
// relies on, failed node allocations, and every node back in pool.
#include <gtest/gtest.h>

#include "driver/adapter/pointer_list.h"
#include "plat_pool.h"

#include <vector>

namespace
{

PVOID Item(ULONG_PTR n)
{
    return reinterpret_cast<PVOID>(n);
}

// The list read front to back through GetHeadPosition/GetNext, as the driver iterates.
std::vector<ULONG_PTR> Contents(CPointerList& list)
{
    std::vector<ULONG_PTR> items;
    PPOINTER_LIST_NODE position = list.GetHeadPosition();
    PVOID data;
    while (list.GetNext(&position, &data))
    {
        items.push_back(reinterpret_cast<ULONG_PTR>(data));
    }
    return items;
}

// The same through GetAt, which must agree with the links.
std::vector<ULONG_PTR> ContentsByIndex(CPointerList& list)
{
    std::vector<ULONG_PTR> items;
    PVOID data;
    for (ULONG i = 0; list.GetAt(i, &data); i++)
    {
        items.push_back(reinterpret_cast<ULONG_PTR>(data));
    }
    return items;
}

void Empty(CPointerList& list)
{
    PVOID data;
    while (list.RemoveHead(&data))
    {
    }
}

class PointerList : public testing::Test
{
protected:
    void SetUp() override { m_Snapshot = plat::TakePoolSnapshot(); }
    void TearDown() override
    {
        plat::ClearPoolFailures();
        Empty(m_List);
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
    }

    CPointerList m_List;
    plat::PoolSnapshot m_Snapshot;
};

TEST_F(PointerList, EmptyListAnswersNullAndFalse)
{
    PVOID data = Item(99);
    EXPECT_FALSE(m_List.GetHead(&data));
    EXPECT_EQ(data, nullptr);
    data = Item(99);
    EXPECT_FALSE(m_List.GetTail(&data));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(m_List.GetHeadPosition(), nullptr);
    EXPECT_FALSE(m_List.RemoveHead(&data));
    data = Item(99);
    EXPECT_FALSE(m_List.GetAt(0, &data));
    EXPECT_EQ(data, Item(99));
    EXPECT_TRUE(m_List.IsEmpty());
    EXPECT_EQ(m_List.GetCount(), 0u);
    EXPECT_FALSE(m_List.GetHead(nullptr));
    EXPECT_FALSE(m_List.GetTail(nullptr));
}

TEST_F(PointerList, MixedInsertsKeepTheirOrder)
{
    m_List.AddTail(Item(2));
    m_List.AddHead(Item(1));
    PPOINTER_LIST_NODE four = m_List.AddTail(Item(4));
    m_List.InsertBefore(four, Item(3));
    m_List.AddTail(Item(5));
    EXPECT_EQ(Contents(m_List), (std::vector<ULONG_PTR>{1, 2, 3, 4, 5}));
    EXPECT_EQ(ContentsByIndex(m_List), Contents(m_List));
    EXPECT_EQ(m_List.GetCount(), 5u);
    EXPECT_FALSE(m_List.IsEmpty());
    PVOID data;
    ASSERT_TRUE(m_List.GetHead(&data));
    EXPECT_EQ(data, Item(1));
    ASSERT_TRUE(m_List.GetTail(&data));
    EXPECT_EQ(data, Item(5));
}

TEST_F(PointerList, InsertBeforeHeadOrNullPutsTheElementFirst)
{
    struct Case
    {
        const char* Name;
        int Position; // -1 null, else the index of the existing node to insert before
        std::vector<ULONG_PTR> Want;
    };
    const Case cases[] = {
        {"null position", -1, {9, 1, 2, 3}},
        {"head position", 0, {9, 1, 2, 3}},
        {"middle position", 1, {1, 9, 2, 3}},
        {"tail position", 2, {1, 2, 9, 3}},
    };
    for (const Case& c : cases)
    {
        PPOINTER_LIST_NODE nodes[3];
        for (ULONG_PTR i = 0; i < 3; i++)
        {
            nodes[i] = m_List.AddTail(Item(i + 1));
        }
        PPOINTER_LIST_NODE inserted =
            m_List.InsertBefore(c.Position < 0 ? nullptr : nodes[c.Position], Item(9));
        ASSERT_NE(inserted, nullptr) << c.Name;
        EXPECT_EQ(Contents(m_List), c.Want) << c.Name;
        EXPECT_EQ(ContentsByIndex(m_List), c.Want) << c.Name;
        EXPECT_EQ(m_List.GetCount(), 4u) << c.Name;
        m_List.RemoveNode(inserted);
        EXPECT_EQ(Contents(m_List), (std::vector<ULONG_PTR>{1, 2, 3})) << c.Name;
        Empty(m_List);
    }
}

TEST_F(PointerList, InsertBeforeOnEmptyListMakesTheOnlyElement)
{
    ASSERT_NE(m_List.InsertBefore(nullptr, Item(7)), nullptr);
    PVOID data;
    ASSERT_TRUE(m_List.GetTail(&data));
    EXPECT_EQ(data, Item(7));
    EXPECT_EQ(m_List.GetCount(), 1u);
}

TEST_F(PointerList, RemoveNodeFixesHeadAndTail)
{
    struct Case
    {
        const char* Name;
        int Remove;
        std::vector<ULONG_PTR> Want;
    };
    const Case cases[] = {
        {"head", 0, {2, 3}},
        {"middle", 1, {1, 3}},
        {"tail", 2, {1, 2}},
    };
    for (const Case& c : cases)
    {
        PPOINTER_LIST_NODE nodes[3];
        for (ULONG_PTR i = 0; i < 3; i++)
        {
            nodes[i] = m_List.AddTail(Item(i + 1));
        }
        m_List.RemoveNode(nodes[c.Remove]);
        EXPECT_EQ(Contents(m_List), c.Want) << c.Name;
        PVOID head;
        PVOID tail;
        ASSERT_TRUE(m_List.GetHead(&head));
        ASSERT_TRUE(m_List.GetTail(&tail));
        EXPECT_EQ(head, Item(c.Want.front())) << c.Name;
        EXPECT_EQ(tail, Item(c.Want.back())) << c.Name;
        EXPECT_EQ(m_List.GetCount(), 2u) << c.Name;
        // Adding at both ends after the removal shows the end links were mended.
        m_List.AddHead(Item(0));
        m_List.AddTail(Item(8));
        std::vector<ULONG_PTR> want = c.Want;
        want.insert(want.begin(), 0);
        want.push_back(8);
        EXPECT_EQ(Contents(m_List), want) << c.Name;
        Empty(m_List);
    }
}

TEST_F(PointerList, RemovingTheOnlyNodeLeavesAnEmptyList)
{
    PPOINTER_LIST_NODE only = m_List.AddTail(Item(1));
    m_List.RemoveNode(only);
    EXPECT_EQ(m_List.GetHeadPosition(), nullptr);
    PVOID data = Item(5);
    EXPECT_FALSE(m_List.GetTail(&data));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(m_List.GetCount(), 0u);
    EXPECT_TRUE(m_List.IsEmpty());
    m_List.AddTail(Item(2)); // head and tail both set again from empty
    EXPECT_EQ(Contents(m_List), (std::vector<ULONG_PTR>{2}));
}

TEST_F(PointerList, RemoveNodeWithNullPositionDoesNothing)
{
    m_List.AddTail(Item(1));
    m_List.RemoveNode(nullptr);
    EXPECT_EQ(m_List.GetCount(), 1u);
    EXPECT_EQ(Contents(m_List), (std::vector<ULONG_PTR>{1}));
}

TEST_F(PointerList, RemoveHeadHandsOutElementsFrontFirst)
{
    m_List.AddTail(Item(1));
    m_List.AddTail(Item(2));
    EXPECT_FALSE(m_List.RemoveHead(nullptr));
    EXPECT_EQ(m_List.GetCount(), 2u) << "a null out-pointer removes nothing";
    PVOID data;
    ASSERT_TRUE(m_List.RemoveHead(&data));
    EXPECT_EQ(data, Item(1));
    ASSERT_TRUE(m_List.RemoveHead(&data));
    EXPECT_EQ(data, Item(2));
    EXPECT_FALSE(m_List.RemoveHead(&data));
    EXPECT_EQ(m_List.GetCount(), 0u);
    EXPECT_EQ(m_List.GetHeadPosition(), nullptr);
}

TEST_F(PointerList, GetAtStopsBelowCountAndLeavesTheOutValueOtherwise)
{
    for (ULONG_PTR i = 10; i < 13; i++)
    {
        m_List.AddTail(Item(i));
    }
    PVOID data = Item(77);
    EXPECT_FALSE(m_List.GetAt(3, &data));
    EXPECT_EQ(data, Item(77));
    EXPECT_FALSE(m_List.GetAt(0xFFFFFFFF, &data));
    ASSERT_TRUE(m_List.GetAt(2, &data));
    EXPECT_EQ(data, Item(12));
}

TEST_F(PointerList, GetNextEndsAfterTheTail)
{
    m_List.AddTail(Item(1));
    PPOINTER_LIST_NODE position = m_List.GetHeadPosition();
    PVOID data;
    ASSERT_TRUE(m_List.GetNext(&position, &data));
    EXPECT_EQ(position, nullptr);
    EXPECT_FALSE(m_List.GetNext(&position, &data));
}

TEST_F(PointerList, FailedNodeAllocationLeavesTheListUnchanged)
{
    m_List.AddTail(Item(1));
    PPOINTER_LIST_NODE two = m_List.AddTail(Item(2));
    const std::vector<ULONG_PTR> before = {1, 2};
    struct Case
    {
        const char* Name;
        PPOINTER_LIST_NODE (*Add)(CPointerList&, PPOINTER_LIST_NODE);
    };
    const Case cases[] = {
        {"AddHead", [](CPointerList& l, PPOINTER_LIST_NODE) { return l.AddHead(Item(9)); }},
        {"AddTail", [](CPointerList& l, PPOINTER_LIST_NODE) { return l.AddTail(Item(9)); }},
        {"InsertBefore middle",
         [](CPointerList& l, PPOINTER_LIST_NODE p) { return l.InsertBefore(p, Item(9)); }},
        {"InsertBefore null",
         [](CPointerList& l, PPOINTER_LIST_NODE) { return l.InsertBefore(nullptr, Item(9)); }},
    };
    for (const Case& c : cases)
    {
        plat::FailNthAllocation(1);
        EXPECT_EQ(c.Add(m_List, two), nullptr) << c.Name;
        EXPECT_EQ(m_List.GetCount(), 2u) << c.Name;
        EXPECT_EQ(Contents(m_List), before) << c.Name;
        EXPECT_EQ(ContentsByIndex(m_List), before) << c.Name;
        PVOID tail;
        ASSERT_TRUE(m_List.GetTail(&tail));
        EXPECT_EQ(tail, Item(2)) << c.Name;
    }
}

TEST_F(PointerList, NodesAreNonPagedListTaggedAndAllReturned)
{
    PPOINTER_LIST_NODE node = m_List.AddTail(Item(1));
    m_List.AddHead(Item(0));
    m_List.InsertBefore(node, Item(5));
    ULONG tag = 0;
    SIZE_T size = 0;
    POOL_TYPE type = PagedPool;
    ASSERT_TRUE(plat::PoolQueryBlock(node, &tag, &size, &type));
    EXPECT_EQ(plat::FormatPoolTag(tag), "Lis");
    EXPECT_EQ(tag, MAKE_POOL_TAG('L', 'i', 's', 0));
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(type, NonPagedPool);
    EXPECT_EQ(plat::PoolLiveBlocks(POINTER_LIST_POOL_TAG), 3u);
    EXPECT_EQ(node->Next, nullptr) << "a fresh node is zero-filled before use";

    m_List.RemoveNode(node);
    Empty(m_List);
    EXPECT_EQ(plat::PoolLiveBlocks(POINTER_LIST_POOL_TAG), 0u);
}

// The list is resident and takes no lock: its owner may use it under a spin lock.
TEST_F(PointerList, WorksAtDispatchLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    m_List.AddTail(Item(1));
    m_List.InsertBefore(m_List.GetHeadPosition(), Item(0));
    PVOID data;
    EXPECT_TRUE(m_List.RemoveHead(&data));
    m_List.RemoveNode(m_List.GetHeadPosition());
    KeLowerIrql(old);
    EXPECT_TRUE(m_List.IsEmpty());
}

} // namespace
