// Object manager: references, delete and close procedures, and the handle table's checks of
// type, access and mode.
#include "kernel_test_support.h"

namespace
{

struct Procedures
{
    int Deleted = 0;
    int Closed = 0;
} g_procedures;

OBJECT_TYPE g_testType = {"Test", [](PVOID) { ++g_procedures.Deleted; },
                          [](PVOID) { ++g_procedures.Closed; }};

TEST(Object, LastReferenceRunsTheDeleteProcedure)
{
    g_procedures = Procedures{};
    PVOID body = plat::ObCreateObject(&g_testType, 40);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(body) % 16, 0u);
    EXPECT_EQ(static_cast<UCHAR*>(body)[39], 0) << "bodies start zeroed";
    EXPECT_EQ(plat::ObGetObjectType(body), &g_testType);
    EXPECT_EQ(plat::ObLiveObjectCount(&g_testType), 1u);
    EXPECT_EQ(ObReferenceObject(body), 2);
    EXPECT_EQ(ObDereferenceObject(body), 1);
    EXPECT_EQ(g_procedures.Deleted, 0);
    EXPECT_EQ(ObDereferenceObject(body), 0);
    EXPECT_EQ(g_procedures.Deleted, 1);
    EXPECT_EQ(plat::ObLiveObjectCount(&g_testType), 0u);
    int unmanaged;
    EXPECT_EQ(plat::ObGetObjectType(&unmanaged), nullptr);
}

TEST(Object, CloseRunsTheCloseProcedureAndDropsTheHandlesReference)
{
    g_procedures = Procedures{};
    PVOID body = plat::ObCreateObject(&g_testType, 8);
    HANDLE handle = nullptr;
    ASSERT_EQ(plat::ObInsertHandle(body, GENERIC_ALL, KernelMode, &handle), STATUS_SUCCESS);
    EXPECT_LT(LONG_PTR(handle), 0) << "kernel handles have the top bit set";
    EXPECT_EQ(plat::ObReferenceCount(body), 2);
    ObDereferenceObject(body); // the handle is now the only owner
    EXPECT_EQ(plat::ObOpenHandleCount(&g_testType), 1u);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE)
        << "user mode cannot resolve a kernel handle";
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, &g_testType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);

    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(g_procedures.Closed, 1);
    EXPECT_EQ(g_procedures.Deleted, 1);
    EXPECT_EQ(plat::ObOpenHandleCount(&g_testType), 0u);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
}

// The companion's event handles: user handles resolved with UserMode access checks.
TEST(Object, UserEventHandleIsCheckedForTypeAndAccess)
{
    auto* event = static_cast<PKEVENT>(plat::ObCreateObject(ExEventObjectType, sizeof(KEVENT)));
    KeInitializeEvent(event, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(plat::ObInsertHandle(event, SYNCHRONIZE | EVENT_MODIFY_STATE, UserMode, &handle),
              STATUS_SUCCESS);
    ObDereferenceObject(event);
    EXPECT_GT(LONG_PTR(handle), 0);

    PVOID object = nullptr;
    OBJECT_HANDLE_INFORMATION info = {};
    EXPECT_EQ(
        ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, ExEventObjectType, UserMode, &object, &info),
        STATUS_SUCCESS);
    EXPECT_EQ(object, event);
    EXPECT_EQ(info.GrantedAccess, ACCESS_MASK(SYNCHRONIZE | EVENT_MODIFY_STATE));
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeReadStateEvent(event), 1);
    ObDereferenceObject(object);

    EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, PsThreadType, UserMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, DELETE, ExEventObjectType, UserMode, &object, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, DELETE, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS)
        << "kernel-mode requests are trusted, as on the target";
    ObDereferenceObject(object);
    EXPECT_EQ(
        ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7ff0), 0, nullptr, UserMode, &object, nullptr),
        STATUS_INVALID_HANDLE);

    SIZE_T events = plat::ObLiveObjectCount(ExEventObjectType);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(plat::ObLiveObjectCount(ExEventObjectType), events - 1);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
}

TEST(Object, ReferenceSafeRefusesAnObjectBeingDeleted)
{
    static bool safeDuringDelete = true;
    static OBJECT_TYPE type = {"Probe", [](PVOID body) { safeDuringDelete = ObReferenceObjectSafe(body); },
                               nullptr};
    PVOID body = plat::ObCreateObject(&type, 8);
    EXPECT_TRUE(ObReferenceObjectSafe(body));
    ObDereferenceObject(body);
    ObDereferenceObject(body);
    EXPECT_FALSE(safeDuringDelete);
}

using ObjectDeathTest = kt::DeathTest;

TEST_F(ObjectDeathTest, MisuseStops)
{
    int unmanaged;
    EXPECT_DEATH(ObReferenceObject(&unmanaged), "is not an object the object manager created");
    EXPECT_DEATH(
        {
            PVOID body = plat::ObCreateObject(&g_testType, 8);
            ObDereferenceObject(body);
            ObDereferenceObject(body);
        },
        "ObDereferenceObject: .* is not an object the object manager created \\(or it was already "
        "deleted\\)");
    EXPECT_DEATH(
        {
            PVOID body = plat::ObCreateObject(&g_testType, 8);
            HANDLE handle;
            plat::ObInsertHandle(body, GENERIC_ALL, KernelMode, &handle);
            ZwClose(handle);
            ZwClose(handle);
        },
        "ZwClose: kernel handle .* is not open \\(closed twice\\?\\)");
}

} // namespace
