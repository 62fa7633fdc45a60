// Kernel callback objects: the namespace, synchronous notification in the caller's context,
// and unregistration that waits for calls in flight.
#include "kernel_test_support.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace
{

struct NamedAttributes
{
    UNICODE_STRING Name;
    OBJECT_ATTRIBUTES Attributes;

    NamedAttributes(PCWSTR name, ULONG attributes)
    {
        Name.Buffer = const_cast<PWSTR>(name);
        Name.Length = USHORT(std::char_traits<char16_t>::length(name) * sizeof(WCHAR));
        Name.MaximumLength = USHORT(Name.Length + sizeof(WCHAR));
        InitializeObjectAttributes(&Attributes, &Name, attributes, nullptr, nullptr);
    }
};

PCALLBACK_OBJECT Create(PCWSTR name, BOOLEAN allowMultiple = TRUE)
{
    NamedAttributes attributes(name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT);
    PCALLBACK_OBJECT object = nullptr;
    EXPECT_EQ(ExCreateCallback(&object, &attributes.Attributes, TRUE, allowMultiple), STATUS_SUCCESS);
    return object;
}

struct Call
{
    PVOID Context;
    PVOID Argument1;
    PVOID Argument2;
    PKTHREAD Thread;
    KIRQL Irql;
};

std::mutex g_callsLock;
std::vector<Call> g_calls;

void Record(PVOID context, PVOID argument1, PVOID argument2)
{
    std::lock_guard<std::mutex> lock(g_callsLock);
    g_calls.push_back(Call{context, argument1, argument2, KeGetCurrentThread(), KeGetCurrentIrql()});
}

TEST(Callback, SameNameOpensTheSameObjectCaseInsensitively)
{
    PCALLBACK_OBJECT first = Create(u"\\Callback\\TestSameName");
    NamedAttributes other(u"\\CALLBACK\\testsamename", OBJ_CASE_INSENSITIVE);
    PCALLBACK_OBJECT second = nullptr;
    EXPECT_EQ(ExCreateCallback(&second, &other.Attributes, FALSE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(second, first);
    EXPECT_EQ(plat::ObGetObjectType(first), ExCallbackObjectType);

    NamedAttributes exact(u"\\CALLBACK\\testsamename", 0);
    PCALLBACK_OBJECT third = nullptr;
    EXPECT_EQ(ExCreateCallback(&third, &exact.Attributes, FALSE, TRUE), STATUS_OBJECT_NAME_NOT_FOUND)
        << "without OBJ_CASE_INSENSITIVE the case must match";
    ObDereferenceObject(second);
    ObDereferenceObject(first);
}

TEST(Callback, OpeningAMissingNameFailsAndTheLastReferenceDeletes)
{
    SIZE_T before = plat::ObLiveObjectCount(ExCallbackObjectType);
    NamedAttributes missing(u"\\Callback\\TestMissing", OBJ_CASE_INSENSITIVE);
    PCALLBACK_OBJECT object = reinterpret_cast<PCALLBACK_OBJECT>(1);
    EXPECT_EQ(ExCreateCallback(&object, &missing.Attributes, FALSE, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(object, nullptr);

    object = Create(u"\\Callback\\TestMissing");
    EXPECT_EQ(plat::ObLiveObjectCount(ExCallbackObjectType), before + 1);
    ObDereferenceObject(object);
    EXPECT_EQ(plat::ObLiveObjectCount(ExCallbackObjectType), before);
    EXPECT_EQ(ExCreateCallback(&object, &missing.Attributes, FALSE, TRUE), STATUS_OBJECT_NAME_NOT_FOUND)
        << "deleted with its last reference, so the name is gone";
}

TEST(Callback, NotifyCallsEveryRegistrationInOrderInTheCallersContext)
{
    PCALLBACK_OBJECT object = Create(u"\\Callback\\TestNotify");
    int one, two, argument;
    PVOID first = ExRegisterCallback(object, Record, &one);
    PVOID second = ExRegisterCallback(object, Record, &two);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    g_calls.clear();

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExNotifyCallback(object, &argument, nullptr);
    KeLowerIrql(old);

    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].Context, &one);
    EXPECT_EQ(g_calls[1].Context, &two);
    for (const Call& call : g_calls)
    {
        EXPECT_EQ(call.Argument1, &argument);
        EXPECT_EQ(call.Argument2, nullptr);
        EXPECT_EQ(call.Thread, KeGetCurrentThread());
        EXPECT_EQ(call.Irql, DISPATCH_LEVEL);
    }

    ExUnregisterCallback(first);
    g_calls.clear();
    ExNotifyCallback(object, &argument, nullptr);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].Context, &two);
    ExUnregisterCallback(second);
    ObDereferenceObject(object);
}

TEST(Callback, RegistrationKeepsTheObjectAliveAndASingleRegistrationObjectRefusesASecond)
{
    SIZE_T before = plat::ObLiveObjectCount(ExCallbackObjectType);
    PCALLBACK_OBJECT object = Create(u"\\Callback\\TestAlive");
    PVOID registration = ExRegisterCallback(object, Record, nullptr);
    ObDereferenceObject(object);
    EXPECT_EQ(plat::ObLiveObjectCount(ExCallbackObjectType), before + 1);
    ExUnregisterCallback(registration);
    EXPECT_EQ(plat::ObLiveObjectCount(ExCallbackObjectType), before);

    // An object made for a single registration refuses a second until the first is gone.
    object = Create(u"\\Callback\\TestSingle", FALSE);
    PVOID first = ExRegisterCallback(object, Record, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(ExRegisterCallback(object, Record, nullptr), nullptr);
    ExUnregisterCallback(first);
    PVOID again = ExRegisterCallback(object, Record, nullptr);
    EXPECT_NE(again, nullptr);
    ExUnregisterCallback(again);
    ObDereferenceObject(object);
}

// The callback holds until released; the unregistering thread must not get past
// ExUnregisterCallback before the callback has returned.
struct InFlight
{
    KEVENT Entered;
    KEVENT Release;
    std::mutex LogLock;
    std::vector<std::string> Log;

    void Note(const char* what)
    {
        std::lock_guard<std::mutex> lock(LogLock);
        Log.push_back(what);
    }
};

void HoldingCallback(PVOID context, PVOID, PVOID)
{
    auto* state = static_cast<InFlight*>(context);
    KeSetEvent(&state->Entered, IO_NO_INCREMENT, FALSE);
    kt::Wait(&state->Release);
    state->Note("callback returned");
}

TEST(Callback, UnregisterWaitsForACallInFlight)
{
    InFlight state;
    KeInitializeEvent(&state.Entered, NotificationEvent, FALSE);
    KeInitializeEvent(&state.Release, NotificationEvent, FALSE);
    PCALLBACK_OBJECT object = Create(u"\\Callback\\TestInFlight");
    PVOID registration = ExRegisterCallback(object, HoldingCallback, &state);

    plat::HostThread notifier("notifier", [&] { ExNotifyCallback(object, nullptr, nullptr); });
    kt::Wait(&state.Entered);
    plat::HostThread unregisterer("unregisterer",
                                  [&]
                                  {
                                      ExUnregisterCallback(registration);
                                      state.Note("unregister returned");
                                  });
    kt::LetOthersSettle();
    EXPECT_TRUE(state.Log.empty());
    std::string threads = plat::DescribeThreads();
    EXPECT_NE(threads.find("'unregisterer': host thread, waiting in ExUnregisterCallback"), std::string::npos)
        << threads;

    KeSetEvent(&state.Release, IO_NO_INCREMENT, FALSE);
    notifier.Join();
    unregisterer.Join();
    EXPECT_EQ(state.Log, (std::vector<std::string>{"callback returned", "unregister returned"}));
    ObDereferenceObject(object);
}

struct SelfRemoving
{
    PVOID Registration = nullptr;
    int Calls = 0;
};

TEST(Callback, UnregisterFromInsideItsOwnCallbackReturnsAtOnce)
{
    SIZE_T before = plat::ObLiveObjectCount(ExCallbackObjectType);
    SelfRemoving self;
    PCALLBACK_OBJECT object = Create(u"\\Callback\\TestSelf");
    self.Registration = ExRegisterCallback(
        object,
        [](PVOID context, PVOID, PVOID)
        {
            auto* s = static_cast<SelfRemoving*>(context);
            ++s->Calls;
            ExUnregisterCallback(s->Registration);
        },
        &self);
    ObDereferenceObject(object); // the registration keeps it alive until it is freed
    ExNotifyCallback(object, nullptr, nullptr);
    EXPECT_EQ(self.Calls, 1);
    EXPECT_EQ(plat::ObLiveObjectCount(ExCallbackObjectType), before)
        << "the registration was freed when its call returned, and with it the object";
}

using CallbackDeathTest = kt::DeathTest;

TEST_F(CallbackDeathTest, UnregisteringTwiceOrNotifyingSomethingElseStops)
{
    EXPECT_DEATH(
        {
            PCALLBACK_OBJECT object = Create(u"\\Callback\\TestTwice");
            PVOID registration = ExRegisterCallback(object, Record, nullptr);
            ExRegisterCallback(object, Record, nullptr); // keeps the object alive
            ExUnregisterCallback(registration);
            ExUnregisterCallback(registration);
        },
        "ExUnregisterCallback: .* is not a live callback registration");
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_DEATH(ExNotifyCallback(&event, nullptr, nullptr), "ExNotifyCallback: .* is not a callback object");
}

} // namespace
