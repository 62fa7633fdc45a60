// CUnknown and the pool operators: reference counting through the non-delegating unknown,
// aggregation under an outer object, and the deleting destructor's return of the pool block.
#include "portcls.h"
#include "plat_pool.h"

#include <gtest/gtest.h>

namespace
{

constexpr ULONG kInnerTag = MAKE_POOL_TAG('U', 'k', 'I', 'n');
constexpr ULONG kOuterTag = MAKE_POOL_TAG('U', 'k', 'O', 'u');

DEFINE_GUID(IID_ITestInner, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55);
DEFINE_GUID(IID_ITestOuter, 0x66666666, 0x7777, 0x8888, 0x99, 0x99, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA);

DECLARE_INTERFACE_(ITestInner, IUnknown)
{
    STDMETHOD_(ULONG, Value)() PURE;
};

DECLARE_INTERFACE_(ITestOuter, IUnknown)
{
    STDMETHOD_(ITestInner*, Inner)() PURE;
};

int g_innerDestroyed;
int g_innerConstructed;

// An inner object in the port-class pattern, with a field its constructor leaves alone so
// that the zeroing of the allocation shows.
class CTestInner : public ITestInner, public CUnknown
{
public:
    explicit CTestInner(PUNKNOWN Outer) : CUnknown(Outer) { ++g_innerConstructed; }
    ~CTestInner() override
    {
        ++g_innerDestroyed;
        if (m_ReferenceInDestructor)
        {
            // A destructor that hands itself to a helper which references it briefly.
            NonDelegatingAddRef();
            NonDelegatingRelease();
        }
    }
    DECLARE_STD_UNKNOWN();
    STDMETHODIMP_(ULONG) Value() override { return m_Untouched; }

    ULONG m_Untouched;
    BOOLEAN m_ReferenceInDestructor;
};

STDMETHODIMP_(NTSTATUS) CTestInner::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (IsEqualGUIDAligned(InterfaceId, IID_ITestInner))
    {
        *Interface = static_cast<ITestInner*>(this);
        static_cast<ITestInner*>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(InterfaceId, Interface);
}

// An outer object that aggregates one inner object, the way CUsbDevice aggregates its audio
// function object: it keeps the inner's non-delegating unknown and an interface pointer that
// holds no reference on the outer.
class CTestOuter : public ITestOuter, public CUnknown
{
public:
    CTestOuter() : CUnknown(nullptr) {}
    ~CTestOuter() override
    {
        if (m_pInnerUnknown)
            m_pInnerUnknown->Release();
    }
    DECLARE_STD_UNKNOWN();

    NTSTATUS CreateInner()
    {
        CTestInner* inner = new (NonPagedPool, kInnerTag) CTestInner(GetOuterUnknown());
        if (!inner)
            return STATUS_INSUFFICIENT_RESOURCES;
        m_pInnerUnknown = inner->GetNonDelegatingUnknown();
        m_pInnerUnknown->AddRef();
        PVOID found = nullptr;
        NTSTATUS status = m_pInnerUnknown->QueryInterface(IID_ITestInner, &found);
        if (NT_SUCCESS(status))
        {
            m_pInner = static_cast<ITestInner*>(found);
            // The query went through the outer unknown; the kept pointer must not keep us alive.
            Release();
        }
        return status;
    }
    STDMETHODIMP_(ITestInner*) Inner() override { return m_pInner; }

    PUNKNOWN m_pInnerUnknown = nullptr;
    ITestInner* m_pInner = nullptr;
};

STDMETHODIMP_(NTSTATUS) CTestOuter::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (IsEqualGUIDAligned(InterfaceId, IID_ITestOuter))
    {
        *Interface = static_cast<ITestOuter*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_ITestInner) && m_pInnerUnknown)
        return m_pInnerUnknown->QueryInterface(InterfaceId, Interface);
    return CUnknown::NonDelegatingQueryInterface(InterfaceId, Interface);
}

class Unknown : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_innerDestroyed = 0;
        g_innerConstructed = 0;
        m_snapshot = plat::TakePoolSnapshot();
    }
    void TearDown() override
    {
        plat::ClearPoolFailures();
        EXPECT_EQ(plat::PoolLeaksSince(m_snapshot), "");
    }

    plat::PoolSnapshot m_snapshot;
};

TEST_F(Unknown, QueryInterfaceAnswersKnownIdsAndTheLastNonDelegatingReleaseFreesThePoolBlock)
{
    CTestInner* object = new (PagedPool, kInnerTag) CTestInner(nullptr);
    ASSERT_NE(object, nullptr);
    POOL_TYPE type = NonPagedPool;
    ASSERT_TRUE(plat::PoolQueryBlock(object, nullptr, nullptr, &type));
    EXPECT_EQ(type, PagedPool);
    EXPECT_EQ(plat::PoolLiveBlocks(kInnerTag), 1u);
    EXPECT_GE(plat::PoolLiveBytes(kInnerTag), sizeof(CTestInner));

    EXPECT_EQ(object->NonDelegatingAddRef(), 1u);
    // Without an outer object the interfaces' IUnknown reaches the object's own count.
    EXPECT_EQ(static_cast<ITestInner*>(object)->AddRef(), 2u);
    EXPECT_EQ(object->GetNonDelegatingUnknown()->AddRef(), 3u);
    EXPECT_EQ(static_cast<ITestInner*>(object)->Release(), 2u);
    EXPECT_EQ(object->GetNonDelegatingUnknown()->Release(), 1u);
    EXPECT_EQ(g_innerDestroyed, 0);

    // QueryInterface answers the known ids and refuses others.
    PVOID found = nullptr;
    ASSERT_EQ(object->NonDelegatingQueryInterface(IID_IUnknown, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, object->GetNonDelegatingUnknown());
    EXPECT_EQ(static_cast<PUNKNOWN>(found)->Release(), 1u);

    ASSERT_EQ(static_cast<ITestInner*>(object)->QueryInterface(IID_ITestInner, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, static_cast<ITestInner*>(object));
    EXPECT_EQ(static_cast<ITestInner*>(found)->Release(), 1u);

    found = object;
    EXPECT_EQ(object->NonDelegatingQueryInterface(IID_ITestOuter, &found), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(found, nullptr);

    EXPECT_EQ(object->NonDelegatingRelease(), 0u);
    EXPECT_EQ(g_innerDestroyed, 1);
    EXPECT_EQ(plat::PoolLiveBlocks(kInnerTag), 0u);
}

TEST_F(Unknown, AggregatedInnerForwardsItsInterfacesToTheOuter)
{
    CTestOuter* outer = new (NonPagedPool, kOuterTag) CTestOuter();
    ASSERT_NE(outer, nullptr);
    outer->NonDelegatingAddRef();
    ASSERT_EQ(outer->CreateInner(), STATUS_SUCCESS);
    ITestInner* inner = outer->Inner();
    ASSERT_NE(inner, nullptr);

    // The inner interface's reference counting is the outer's: one reference (ours) so far.
    EXPECT_EQ(inner->AddRef(), 2u);
    EXPECT_EQ(outer->Release(), 1u);

    // Its QueryInterface is the outer's too: it finds the outer's own interface.
    PVOID found = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_ITestOuter, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, static_cast<ITestOuter*>(outer));
    EXPECT_EQ(static_cast<ITestOuter*>(found)->Release(), 1u);

    // Only the non-delegating unknown reaches the inner object's own count, which the outer
    // holds alone.
    EXPECT_EQ(outer->m_pInnerUnknown->AddRef(), 2u);
    EXPECT_EQ(outer->m_pInnerUnknown->Release(), 1u);

    // The outer's last release destroys it, which releases and destroys the inner.
    EXPECT_EQ(plat::PoolLiveBlocks(kInnerTag), 1u);
    EXPECT_EQ(outer->NonDelegatingRelease(), 0u);
    EXPECT_EQ(g_innerDestroyed, 1);
    EXPECT_EQ(plat::PoolLiveBlocks(kInnerTag), 0u);
    EXPECT_EQ(plat::PoolLiveBlocks(kOuterTag), 0u);
}

TEST_F(Unknown, InnerCreatedUnderOuterAnswersUnknownWithItsNonDelegatingSelf)
{
    CTestOuter* outer = new (NonPagedPool, kOuterTag) CTestOuter();
    ASSERT_NE(outer, nullptr);
    outer->NonDelegatingAddRef();
    CTestInner* inner = new (NonPagedPool, kInnerTag) CTestInner(outer->GetOuterUnknown());
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->GetOuterUnknown(), outer->GetNonDelegatingUnknown());

    PVOID found = nullptr;
    ASSERT_EQ(inner->NonDelegatingQueryInterface(IID_IUnknown, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, inner->GetNonDelegatingUnknown());
    EXPECT_NE(found, inner->GetOuterUnknown());
    // That reference is the inner's own; the outer's count is untouched.
    EXPECT_EQ(outer->GetNonDelegatingUnknown()->AddRef(), 2u);
    EXPECT_EQ(outer->GetNonDelegatingUnknown()->Release(), 1u);

    EXPECT_EQ(static_cast<PUNKNOWN>(found)->Release(), 0u);
    EXPECT_EQ(g_innerDestroyed, 1);
    EXPECT_EQ(outer->NonDelegatingRelease(), 0u);
}

TEST_F(Unknown, DestructorThatReferencesItselfDoesNotDeleteTwice)
{
    CTestInner* object = new (NonPagedPool, kInnerTag) CTestInner(nullptr);
    ASSERT_NE(object, nullptr);
    object->m_ReferenceInDestructor = TRUE;
    object->NonDelegatingAddRef();
    // A second delete would free the block twice, which the pool stops the process for.
    EXPECT_EQ(object->NonDelegatingRelease(), 0u);
    EXPECT_EQ(g_innerDestroyed, 1);
    EXPECT_EQ(plat::PoolLiveBlocks(kInnerTag), 0u);
}

TEST_F(Unknown, ReleaseWithoutReferenceStopsTheProcess)
{
    EXPECT_DEATH(
        {
            CTestInner* object = new (NonPagedPool, kInnerTag) CTestInner(nullptr);
            object->NonDelegatingRelease();
        },
        "released more often than it was referenced");
}

TEST_F(Unknown, PoolNewServesPlainObjectsAndAFailedOneYieldsNullWithoutConstructing)
{
    struct Plain
    {
        ULONG Words[5];
    };
    Plain* plain = new (NonPagedPool, kOuterTag) Plain;
    ASSERT_NE(plain, nullptr);
    for (ULONG word : plain->Words)
        EXPECT_EQ(word, 0u);
    EXPECT_EQ(plat::PoolLiveBlocks(kOuterTag), 1u);
    operator delete(plain, NonPagedPool, kOuterTag);
    EXPECT_EQ(plat::PoolLiveBlocks(kOuterTag), 0u);

    plat::FailAllocationsWithTag(kOuterTag);
    EXPECT_EQ(new (NonPagedPool, kOuterTag) Plain, nullptr);
    // A failed allocation yields null without constructing.
    plat::FailAllocationsWithTag(kInnerTag);
    CTestInner* object = new (NonPagedPool, kInnerTag) CTestInner(nullptr);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_innerConstructed, 0);
}

} // namespace
