// Object manager of the stand-in: a hidden header before each body carries the reference
// count and type; one table holds kernel and user handles. Every managed body is also kept in
// a set, so that a pointer the platform never handed out is reported instead of read from.
#include "object.h"
#include "process.h"

#include "irql.h"
#include "ntstatus.h"
#include "plat_fatal.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <unordered_set>

namespace
{

// "ObjH" + "dr\0\0": lets a reference to freed memory show up as a corrupt header.
constexpr ULONGLONG kHeaderMagic = 0x00007264'486A624FULL;
constexpr ULONG_PTR kKernelHandleBit = ULONG_PTR(1) << 63;
constexpr ULONG kKernelHandleAttribute = 0x200; // OBJ_KERNEL_HANDLE, as the target reports it

// 32 bytes, so a calloc'd block (16-aligned) gives a 16-aligned body, as pool does.
struct ObjectHeader
{
    ULONGLONG Magic;
    std::atomic<LONG_PTR> RefCount;
    POBJECT_TYPE Type;
    SIZE_T BodySize;
};
static_assert(sizeof(ObjectHeader) == 32, "body must stay 16-byte aligned");

struct HandleEntry
{
    PVOID Body;
    ACCESS_MASK Granted;
    KPROCESSOR_MODE Mode;
};

// Heap-allocated and never destroyed: threads may still close handles while the process
// runs its static destructors.
struct ObjectTable
{
    std::mutex Lock;
    std::unordered_set<PVOID> Live;
    std::map<ULONG_PTR, HandleEntry> Handles;
    ULONG_PTR NextKernelIndex = 1;
    ULONG_PTR NextUserIndex = 1;
};

ObjectTable& Table()
{
    static ObjectTable* table = new ObjectTable;
    return *table;
}

ObjectHeader* HeaderOf(PVOID Body)
{
    return reinterpret_cast<ObjectHeader*>(static_cast<char*>(Body) - sizeof(ObjectHeader));
}

// Checks under the table lock that Body is a live managed object; stops the process otherwise,
// since a reference to anything else would corrupt memory on the target.
ObjectHeader* CheckedHeader(PVOID Body, const char* Caller)
{
    {
        std::lock_guard<std::mutex> lock(Table().Lock);
        if (Body == nullptr || Table().Live.count(Body) == 0)
            plat::Fatal("%s: %p is not an object the object manager created (or it was already deleted)",
                        Caller, Body);
    }
    ObjectHeader* header = HeaderOf(Body);
    if (header->Magic != kHeaderMagic)
        plat::Fatal("%s: object %p has a corrupt header", Caller, Body);
    return header;
}

// Generic rights are granted as a whole; the stand-in keeps no per-type generic mapping.
ACCESS_MASK MapGranted(ACCESS_MASK Granted)
{
    if (Granted & GENERIC_ALL)
        Granted |= STANDARD_RIGHTS_ALL | SPECIFIC_RIGHTS_ALL;
    return Granted;
}

void DeleteObject(PVOID Body, ObjectHeader* Header)
{
    if (Header->Type->DeleteProcedure)
        Header->Type->DeleteProcedure(Body);
    {
        std::lock_guard<std::mutex> lock(Table().Lock);
        Table().Live.erase(Body);
    }
    Header->Magic = 0;
    free(Header);
}

OBJECT_TYPE g_eventType = {"Event", nullptr, nullptr};
OBJECT_TYPE g_fileType = {"File", nullptr, nullptr};
OBJECT_TYPE g_deviceType = {"Device", nullptr, nullptr};

} // namespace

// Thread and callback types live beside their services (thread.cpp, callback.cpp), since
// their delete procedures do.
POBJECT_TYPE ExEventObjectType = &g_eventType;
POBJECT_TYPE IoFileObjectType = &g_fileType;
POBJECT_TYPE IoDeviceObjectType = &g_deviceType;

LONG_PTR ObfReferenceObject(PVOID Object)
{
    ObjectHeader* header = CheckedHeader(Object, "ObReferenceObject");
    LONG_PTR count = header->RefCount.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count <= 1)
        plat::Fatal("ObReferenceObject: object %p (%s) has no references left", Object, header->Type->Name);
    return count;
}

BOOLEAN ObReferenceObjectSafe(PVOID Object)
{
    ObjectHeader* header = CheckedHeader(Object, "ObReferenceObjectSafe");
    LONG_PTR count = header->RefCount.load(std::memory_order_relaxed);
    while (count > 0)
        if (header->RefCount.compare_exchange_weak(count, count + 1, std::memory_order_relaxed))
            return TRUE;
    return FALSE;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    ObjectHeader* header = CheckedHeader(Object, "ObDereferenceObject");
    LONG_PTR count = header->RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count < 0)
        plat::Fatal("ObDereferenceObject: object %p (%s) dereferenced more often than referenced", Object,
                    header->Type->Name);
    if (count == 0)
        DeleteObject(Object, header);
    return count;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation)
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        plat::Fatal("ObReferenceObjectByHandle called at IRQL %d: it must run at or below APC_LEVEL",
                    KeGetCurrentIrql());
    if (Object == nullptr)
        plat::Fatal("ObReferenceObjectByHandle: null Object pointer");
    *Object = nullptr;
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(Handle);
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> lock(Table().Lock);
        auto it = Table().Handles.find(value);
        if (it == Table().Handles.end())
            return STATUS_INVALID_HANDLE;
        entry = it->second;
        // A user-mode request names a handle of the client process; kernel handles are not there.
        if (AccessMode == UserMode && entry.Mode == KernelMode)
            return STATUS_INVALID_HANDLE;
        ObjectHeader* header = HeaderOf(entry.Body);
        if (ObjectType != nullptr && header->Type != ObjectType)
            return STATUS_OBJECT_TYPE_MISMATCH;
        ACCESS_MASK wanted = DesiredAccess & ~MAXIMUM_ALLOWED;
        if (AccessMode == UserMode && (wanted & ~entry.Granted) != 0)
            return STATUS_ACCESS_DENIED;
        // Taken under the table lock: the handle's own reference keeps the count above zero.
        header->RefCount.fetch_add(1, std::memory_order_relaxed);
    }
    *Object = entry.Body;
    if (HandleInformation)
    {
        auto* info = static_cast<POBJECT_HANDLE_INFORMATION>(HandleInformation);
        info->HandleAttributes = entry.Mode == KernelMode ? kKernelHandleAttribute : 0;
        info->GrantedAccess = entry.Granted;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        plat::Fatal("ZwClose called at IRQL %d: it must run at PASSIVE_LEVEL", KeGetCurrentIrql());
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(Handle);
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> lock(Table().Lock);
        auto it = Table().Handles.find(value);
        if (it == Table().Handles.end())
        {
            // Closing a kernel handle twice is a bug check on the target.
            if (value & kKernelHandleBit)
                plat::Fatal("ZwClose: kernel handle %p is not open (closed twice?)", Handle);
            return STATUS_INVALID_HANDLE;
        }
        entry = it->second;
        Table().Handles.erase(it);
    }
    POBJECT_TYPE type = HeaderOf(entry.Body)->Type;
    if (type->CloseProcedure)
        type->CloseProcedure(entry.Body);
    ObfDereferenceObject(entry.Body);
    return STATUS_SUCCESS;
}

namespace plat
{

PVOID ObCreateObject(POBJECT_TYPE Type, SIZE_T BodySize)
{
    if (Type == nullptr)
        Fatal("ObCreateObject: null object type");
    auto* header = static_cast<ObjectHeader*>(calloc(1, sizeof(ObjectHeader) + BodySize));
    if (header == nullptr)
        return nullptr;
    header->Magic = kHeaderMagic;
    header->RefCount.store(1, std::memory_order_relaxed);
    header->Type = Type;
    header->BodySize = BodySize;
    PVOID body = header + 1;
    std::lock_guard<std::mutex> lock(Table().Lock);
    Table().Live.insert(body);
    return body;
}

NTSTATUS ObInsertHandle(PVOID Body, ACCESS_MASK GrantedAccess, KPROCESSOR_MODE Mode, PHANDLE Handle)
{
    if (Handle == nullptr)
        Fatal("ObInsertHandle: null handle pointer");
    ObfReferenceObject(Body);
    std::lock_guard<std::mutex> lock(Table().Lock);
    // Kernel handles carry the top bit, as on the target; user handles are small multiples of
    // four. Values are never reused, so a stale handle fails instead of finding a new object.
    ULONG_PTR value = Mode == KernelMode ? (kKernelHandleBit | (Table().NextKernelIndex++ << 2))
                                         : (Table().NextUserIndex++ << 2);
    Table().Handles[value] =
        HandleEntry{Body, MapGranted(GrantedAccess),
                    Mode == KernelMode ? KPROCESSOR_MODE(KernelMode) : KPROCESSOR_MODE(UserMode)};
    *Handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

POBJECT_TYPE ObGetObjectType(PVOID Body)
{
    std::lock_guard<std::mutex> lock(Table().Lock);
    if (Body == nullptr || Table().Live.count(Body) == 0)
        return nullptr;
    return HeaderOf(Body)->Type;
}

SIZE_T ObLiveObjectCount(POBJECT_TYPE Type)
{
    std::lock_guard<std::mutex> lock(Table().Lock);
    SIZE_T count = 0;
    for (PVOID body : Table().Live)
        if (Type == nullptr ? HeaderOf(body)->Type != PsProcessType : HeaderOf(body)->Type == Type)
            ++count;
    return count;
}

SIZE_T ObOpenHandleCount(POBJECT_TYPE Type)
{
    std::lock_guard<std::mutex> lock(Table().Lock);
    SIZE_T count = 0;
    for (const auto& handle : Table().Handles)
        if (Type == nullptr || HeaderOf(handle.second.Body)->Type == Type)
            ++count;
    return count;
}

LONG_PTR ObReferenceCount(PVOID Body)
{
    return CheckedHeader(Body, "plat::ObReferenceCount")->RefCount.load(std::memory_order_relaxed);
}

} // namespace plat
