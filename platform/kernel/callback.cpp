// Kernel callback objects of the stand-in. A notification calls each registration outside
// every platform lock, pinning the registration while its function runs; unregistration marks
// it dead and waits (a platform wait, so virtual time and the deadlock report see it) until
// no call of it runs on another thread.
#include "callback.h"

#include "plat_fatal.h"
#include "plat_irql.h"
#include "sched_internal.h"

#include <new>
#include <string>
#include <unordered_set>
#include <utility>

using namespace plat;
using namespace plat::sched;

struct _CALLBACK_OBJECT
{
    LIST_ENTRY Registrations; // CallbackRegistration.Link, in registration order
    ULONG LiveRegistrations;
    bool AllowMultiple;
    std::u16string Name; // empty for an unnamed object
};

namespace
{

struct CallbackRegistration
{
    LIST_ENTRY Link;
    PCALLBACK_OBJECT Owner; // referenced until the registration is freed
    PCALLBACK_FUNCTION Function;
    PVOID Context;
    LONG InFlight = 0;           // notifiers holding it: calling it, or about to
    bool Dead = false;           // unregistered: no new calls start
    bool FreeByNotifier = false; // unregistered from inside its own call: the last notifier frees it
    std::vector<std::pair<ThreadRec*, LONG>> Waiters; // unregistering threads and the count they await
};

// Registrations whose function runs on this thread, innermost first (on the callers' stacks).
struct CallFrame
{
    CallbackRegistration* Registration;
    CallFrame* Outer;
};
__thread CallFrame* tCallFrames = nullptr;

// Guarded by the scheduler lock.
std::unordered_set<CallbackRegistration*>* g_registrations = new std::unordered_set<CallbackRegistration*>;

// The callback namespace, guarded by its own lock (deletion takes it from ObDereferenceObject).
std::mutex* g_namespaceLock = new std::mutex;
std::vector<PCALLBACK_OBJECT>* g_namespace = new std::vector<PCALLBACK_OBJECT>;

char16_t Upper(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

bool SameName(const std::u16string& a, const std::u16string& b, bool caseInsensitive)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (caseInsensitive ? Upper(a[i]) != Upper(b[i]) : a[i] != b[i])
            return false;
    return true;
}

void DeleteCallbackObject(PVOID body)
{
    auto* object = static_cast<PCALLBACK_OBJECT>(body);
    {
        std::lock_guard<std::mutex> lock(*g_namespaceLock);
        auto& names = *g_namespace;
        for (auto it = names.begin(); it != names.end(); ++it)
            if (*it == object)
            {
                names.erase(it);
                break;
            }
    }
    object->~_CALLBACK_OBJECT();
}

OBJECT_TYPE g_callbackType = {"Callback", DeleteCallbackObject, nullptr};

LONG OwnNesting(CallbackRegistration* registration)
{
    LONG count = 0;
    for (CallFrame* frame = tCallFrames; frame; frame = frame->Outer)
        count += frame->Registration == registration;
    return count;
}

// Drops a notifier's pin. Returns the registration when it is dead and unused, for the caller
// to free outside the lock.
CallbackRegistration* UnpinLocked(CallbackRegistration* registration)
{
    --registration->InFlight;
    if (!registration->Dead)
        return nullptr;
    auto& waiters = registration->Waiters;
    for (auto it = waiters.begin(); it != waiters.end();)
    {
        if (registration->InFlight <= it->second)
        {
            WakeLocked(it->first, STATUS_SUCCESS);
            it = waiters.erase(it);
        }
        else
        {
            ++it;
        }
    }
    return registration->InFlight == 0 && registration->FreeByNotifier ? registration : nullptr;
}

void FreeRegistration(CallbackRegistration* registration)
{
    if (registration == nullptr)
        return;
    PCALLBACK_OBJECT owner = registration->Owner;
    {
        std::lock_guard<std::mutex> lock(S().Lock);
        Unlink(&registration->Link);
        g_registrations->erase(registration);
    }
    delete registration;
    ObDereferenceObject(owner);
}

// The first live registration at or after `entry`, pinned; null at the end of the list.
CallbackRegistration* PinNextLocked(PCALLBACK_OBJECT object, PLIST_ENTRY entry)
{
    for (; entry != &object->Registrations; entry = entry->Flink)
    {
        auto* registration = CONTAINING_RECORD(entry, CallbackRegistration, Link);
        if (!registration->Dead)
        {
            ++registration->InFlight;
            return registration;
        }
    }
    return nullptr;
}

void CheckCallbackObject(PVOID object, const char* api)
{
    if (ObGetObjectType(object) != ExCallbackObjectType)
        Fatal("%s: %p is not a callback object", api, object);
}

std::u16string NameOf(POBJECT_ATTRIBUTES attributes)
{
    if (attributes == nullptr || attributes->ObjectName == nullptr ||
        attributes->ObjectName->Buffer == nullptr)
        return std::u16string();
    const UNICODE_STRING* name = attributes->ObjectName;
    return std::u16string(name->Buffer, name->Length / sizeof(WCHAR));
}

PCALLBACK_OBJECT NewCallbackObject(const std::u16string& name, bool allowMultiple)
{
    PVOID body = ObCreateObject(ExCallbackObjectType, sizeof(_CALLBACK_OBJECT));
    if (body == nullptr)
        return nullptr;
    auto* object = new (body) _CALLBACK_OBJECT;
    InitList(&object->Registrations);
    object->LiveRegistrations = 0;
    object->AllowMultiple = allowMultiple;
    object->Name = name;
    return object;
}

} // namespace

POBJECT_TYPE ExCallbackObjectType = &g_callbackType;

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes,
                          BOOLEAN Create, BOOLEAN AllowMultipleCallbacks)
{
    if (tCurrentIrql != PASSIVE_LEVEL)
        Fatal("ExCreateCallback at IRQL %d: it must run at PASSIVE_LEVEL", tCurrentIrql);
    *CallbackObject = nullptr;
    std::u16string name = NameOf(ObjectAttributes);
    bool caseInsensitive = ObjectAttributes && (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE);
    std::lock_guard<std::mutex> lock(*g_namespaceLock);
    if (!name.empty())
        for (PCALLBACK_OBJECT existing : *g_namespace)
            if (SameName(existing->Name, name, caseInsensitive) && ObReferenceObjectSafe(existing))
            {
                *CallbackObject = existing;
                return STATUS_SUCCESS;
            }
    if (!Create)
        return name.empty() ? STATUS_INVALID_PARAMETER : STATUS_OBJECT_NAME_NOT_FOUND;
    PCALLBACK_OBJECT object = NewCallbackObject(name, AllowMultipleCallbacks != FALSE);
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!name.empty())
        g_namespace->push_back(object);
    *CallbackObject = object;
    return STATUS_SUCCESS;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                         PVOID CallbackContext)
{
    CheckIrqlAtMostDispatch("ExRegisterCallback");
    CheckCallbackObject(CallbackObject, "ExRegisterCallback");
    ObReferenceObject(CallbackObject);
    auto* registration = new CallbackRegistration;
    registration->Owner = CallbackObject;
    registration->Function = CallbackFunction;
    registration->Context = CallbackContext;
    {
        std::lock_guard<std::mutex> lock(S().Lock);
        if (CallbackObject->AllowMultiple || CallbackObject->LiveRegistrations == 0)
        {
            InsertTail(&CallbackObject->Registrations, &registration->Link);
            ++CallbackObject->LiveRegistrations;
            g_registrations->insert(registration);
            return registration;
        }
    }
    delete registration;
    ObDereferenceObject(CallbackObject);
    return nullptr;
}

VOID ExUnregisterCallback(PVOID CbRegistration)
{
    if (tCurrentIrql >= DISPATCH_LEVEL)
        Fatal("ExUnregisterCallback at IRQL %d: it waits, so it must run below DISPATCH_LEVEL", tCurrentIrql);
    auto* registration = static_cast<CallbackRegistration*>(CbRegistration);
    ThreadRec* self = Current();
    std::unique_lock<std::mutex> lock(S().Lock);
    if (g_registrations->count(registration) == 0 || registration->Dead)
        Fatal("ExUnregisterCallback: %p is not a live callback registration (unregistered twice?)",
              CbRegistration);
    registration->Dead = true;
    --registration->Owner->LiveRegistrations;
    LONG own = OwnNesting(registration);
    if (registration->InFlight > own)
    {
        registration->Waiters.emplace_back(self, own);
        WaitState info;
        info.Api = "ExUnregisterCallback";
        info.What = "a running call of callback registration";
        info.WhatObject = registration;
        WaitLocked(lock, self, 0, nullptr, WaitAny, nullptr, true, 0, info);
    }
    if (registration->InFlight > 0)
    {
        registration->FreeByNotifier = true; // called from inside its own callback
        return;
    }
    lock.unlock();
    FreeRegistration(registration);
}

VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2)
{
    CheckIrqlAtMostDispatch("ExNotifyCallback");
    CheckCallbackObject(CallbackObject, "ExNotifyCallback");
    auto* object = static_cast<PCALLBACK_OBJECT>(CallbackObject);
    Current();
    std::unique_lock<std::mutex> lock(S().Lock);
    CallbackRegistration* registration = PinNextLocked(object, object->Registrations.Flink);
    while (registration != nullptr)
    {
        bool call = !registration->Dead;
        lock.unlock();
        if (call)
        {
            CallFrame frame{registration, tCallFrames};
            tCallFrames = &frame;
            registration->Function(registration->Context, Argument1, Argument2);
            tCallFrames = frame.Outer;
        }
        lock.lock();
        CallbackRegistration* next = PinNextLocked(object, registration->Link.Flink);
        CallbackRegistration* unused = UnpinLocked(registration);
        if (unused != nullptr)
        {
            lock.unlock();
            FreeRegistration(unused);
            lock.lock();
        }
        registration = next;
    }
}
