// CPointerList through its public operations: order, positions, the edge cases the driver
// relies on, failed node allocations, and every node back in pool.
#include <gtest/gtest.h>

#include "driver/core/pointer_list.h"
#include "plat_pool.h"

#include <vector>

namespace
{

using Items = std::vector<ULONG_PTR>;

PVOID Item(ULONG_PTR n)
{
    return reinterpret_cast<PVOID>(n);
}

class PointerList : public testing::Test
{
protected:
    void SetUp() override { m_Snapshot = plat::TakePoolSnapshot(); }
    void TearDown() override
    {
        plat::ClearPoolFailures();
        Empty();
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
    }

    // The list read front to back through GetHeadPosition/GetNext, as the driver iterates;
    // GetAt, GetHead, GetTail and GetCount must agree with the links.
    Items Contents()
    {
        Items items, byIndex;
        PPOINTER_LIST_NODE position = m_List.GetHeadPosition();
        PVOID data;
        while (m_List.GetNext(&position, &data))
            items.push_back(reinterpret_cast<ULONG_PTR>(data));
        for (ULONG i = 0; m_List.GetAt(i, &data); i++)
            byIndex.push_back(reinterpret_cast<ULONG_PTR>(data));
        EXPECT_EQ(byIndex, items);
        EXPECT_EQ(m_List.GetCount(), items.size());
        EXPECT_EQ(bool(m_List.IsEmpty()), items.empty());
        PVOID head = Item(99), tail = Item(99);
        EXPECT_EQ(bool(m_List.GetHead(&head)), !items.empty());
        EXPECT_EQ(bool(m_List.GetTail(&tail)), !items.empty());
        EXPECT_EQ(head, items.empty() ? nullptr : Item(items.front()));
        EXPECT_EQ(tail, items.empty() ? nullptr : Item(items.back()));
        return items;
    }
    std::vector<PPOINTER_LIST_NODE> Fill(ULONG_PTR count)
    {
        std::vector<PPOINTER_LIST_NODE> nodes;
        for (ULONG_PTR i = 1; i <= count; i++)
            nodes.push_back(m_List.AddTail(Item(i)));
        return nodes;
    }
    void Empty()
    {
        PVOID data;
        while (m_List.RemoveHead(&data))
        {
        }
    }

    CPointerList m_List;
    plat::PoolSnapshot m_Snapshot;
};

TEST_F(PointerList, EmptyListAnswersNullAndFalse)
{
    EXPECT_EQ(Contents(), Items{});
    EXPECT_EQ(m_List.GetHeadPosition(), nullptr);
    PVOID data = Item(99);
    EXPECT_FALSE(m_List.RemoveHead(&data));
    EXPECT_FALSE(m_List.GetAt(0, &data));
    EXPECT_EQ(data, Item(99)) << "GetAt leaves the out value alone";
    EXPECT_FALSE(m_List.GetHead(nullptr));
    EXPECT_FALSE(m_List.GetTail(nullptr));
}

TEST_F(PointerList, InsertsAndRemovalsKeepOrderAndMendTheEnds)
{
    struct Case
    {
        const char* Name;
        int InsertBefore; // -1 null, else the index of the existing node; -2 none
        int Remove;       // index of an existing node to remove; -1 none
        Items Want;
    };
    const Case cases[] = {
        {"insert before null", -1, -1, {9, 1, 2, 3}},
        {"insert before head", 0, -1, {9, 1, 2, 3}},
        {"insert in the middle", 1, -1, {1, 9, 2, 3}},
        {"insert before tail", 2, -1, {1, 2, 9, 3}},
        {"remove head", -2, 0, {2, 3}},
        {"remove middle", -2, 1, {1, 3}},
        {"remove tail", -2, 2, {1, 2}},
    };
    for (const Case& c : cases)
    {
        std::vector<PPOINTER_LIST_NODE> nodes = Fill(3);
        if (c.InsertBefore != -2)
        {
            ASSERT_NE(m_List.InsertBefore(c.InsertBefore < 0 ? nullptr : nodes[c.InsertBefore], Item(9)),
                      nullptr);
        }
        if (c.Remove >= 0)
            m_List.RemoveNode(nodes[c.Remove]);
        EXPECT_EQ(Contents(), c.Want) << c.Name;
        // Adding at both ends afterwards shows the end links were mended.
        m_List.AddHead(Item(0));
        m_List.AddTail(Item(8));
        Items want = c.Want;
        want.insert(want.begin(), 0);
        want.push_back(8);
        EXPECT_EQ(Contents(), want) << c.Name;
        Empty();
    }
}

TEST_F(PointerList, SingleElementEdgeCases)
{
    ASSERT_NE(m_List.InsertBefore(nullptr, Item(7)), nullptr);
    EXPECT_EQ(Contents(), Items{7}) << "InsertBefore on an empty list";
    m_List.RemoveNode(nullptr);
    EXPECT_EQ(Contents(), Items{7}) << "a null position removes nothing";
    m_List.RemoveNode(m_List.GetHeadPosition());
    EXPECT_EQ(Contents(), Items{});
    EXPECT_EQ(m_List.GetHeadPosition(), nullptr);
    m_List.AddTail(Item(2));
    EXPECT_EQ(Contents(), Items{2}) << "head and tail both set again from empty";
    PPOINTER_LIST_NODE position = m_List.GetHeadPosition();
    PVOID data;
    ASSERT_TRUE(m_List.GetNext(&position, &data));
    EXPECT_EQ(position, nullptr);
    EXPECT_FALSE(m_List.GetNext(&position, &data));
}

TEST_F(PointerList, RemoveHeadAndGetAtStayWithinTheList)
{
    Fill(3);
    EXPECT_FALSE(m_List.RemoveHead(nullptr));
    EXPECT_EQ(m_List.GetCount(), 3u) << "a null out-pointer removes nothing";
    PVOID data = Item(77);
    EXPECT_FALSE(m_List.GetAt(3, &data));
    EXPECT_FALSE(m_List.GetAt(0xFFFFFFFF, &data));
    EXPECT_EQ(data, Item(77));
    for (ULONG_PTR expected = 1; expected <= 3; expected++)
    {
        ASSERT_TRUE(m_List.RemoveHead(&data));
        EXPECT_EQ(data, Item(expected));
    }
    EXPECT_FALSE(m_List.RemoveHead(&data));
    EXPECT_EQ(Contents(), Items{});
}

TEST_F(PointerList, FailedNodeAllocationLeavesTheListUnchanged)
{
    std::vector<PPOINTER_LIST_NODE> nodes = Fill(2);
    const struct
    {
        const char* Name;
        PPOINTER_LIST_NODE (*Add)(CPointerList&, PPOINTER_LIST_NODE);
    } cases[] = {
        {"AddHead", [](CPointerList& l, PPOINTER_LIST_NODE) { return l.AddHead(Item(9)); }},
        {"AddTail", [](CPointerList& l, PPOINTER_LIST_NODE) { return l.AddTail(Item(9)); }},
        {"InsertBefore middle",
         [](CPointerList& l, PPOINTER_LIST_NODE p) { return l.InsertBefore(p, Item(9)); }},
        {"InsertBefore null",
         [](CPointerList& l, PPOINTER_LIST_NODE) { return l.InsertBefore(nullptr, Item(9)); }},
    };
    for (const auto& c : cases)
    {
        plat::FailNthAllocation(1);
        EXPECT_EQ(c.Add(m_List, nodes[1]), nullptr) << c.Name;
        EXPECT_EQ(Contents(), (Items{1, 2})) << c.Name;
    }
}

// The list is resident and takes no lock, so its owner may use it under a spin lock.
TEST_F(PointerList, NodesAreNonPagedListTaggedAndAllReturned)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PPOINTER_LIST_NODE node = m_List.AddTail(Item(1));
    m_List.AddHead(Item(0));
    m_List.InsertBefore(node, Item(5));
    KeLowerIrql(old);
    ULONG tag = 0;
    SIZE_T size = 0;
    POOL_TYPE type = PagedPool;
    ASSERT_TRUE(plat::PoolQueryBlock(node, &tag, &size, &type));
    EXPECT_EQ(tag, MAKE_POOL_TAG('L', 'i', 's', 0));
    EXPECT_EQ(type, NonPagedPool);
    EXPECT_EQ(plat::PoolLiveBlocks(POINTER_LIST_POOL_TAG), 3u);
    EXPECT_EQ(node->Next, nullptr) << "a fresh node is zero-filled before use";
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    m_List.RemoveNode(node);
    Empty();
    KeLowerIrql(old);
    EXPECT_EQ(plat::PoolLiveBlocks(POINTER_LIST_POOL_TAG), 0u);
}

} // namespace
