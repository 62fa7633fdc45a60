// The Zw registry routines over the in-memory hive. A handle holds its key node, so it stays
// safe after the key is deleted or the hive is reset; it then reports STATUS_KEY_DELETED.
// Object-manager calls are never made under the hive lock, so a key handle's delete procedure
// can run from ZwClose on any thread without lock inversion.
#include "registry.h"

#include "irql.h"
#include "ntstatus.h"
#include "object.h"
#include "plat_fatal.h"
#include "plat_registry.h"
#include "registry_hive.h"
#include "rtl.h"

#include <algorithm>
#include <cstring>
#include <new>

using namespace plat::hive;

static_assert(KEY_READ == 0x20019 && KEY_WRITE == 0x20006 && KEY_EXECUTE == 0x20019, "key access masks");
static_assert(KEY_ALL_ACCESS == 0xF003F, "KEY_ALL_ACCESS");

namespace
{

constexpr ULONG kNoClass = 0xFFFFFFFF; // ClassOffset of a key without a class

// What a key handle refers to: each open makes its own body, so the access stays per handle.
struct KeyBody
{
    std::shared_ptr<Key> Node;
    ACCESS_MASK Access = 0;
};

void DeleteKeyBody(PVOID Body)
{
    static_cast<KeyBody*>(Body)->~KeyBody();
}

OBJECT_TYPE g_keyType = {"Key", DeleteKeyBody, nullptr};

size_t Depth(const Key* key)
{
    size_t depth = 0;
    for (; key->Parent; key = key->Parent)
        ++depth;
    return depth;
}

// ---- Names ----

bool ValidCounted(const UNICODE_STRING* s)
{
    return s && s->Length % sizeof(WCHAR) == 0 && (s->Length == 0 || s->Buffer != nullptr);
}

std::u16string FromCounted(const UNICODE_STRING* s)
{
    return s && s->Length ? std::u16string(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string();
}

// ---- Access ----

void RequirePassive(const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
        plat::Fatal("%s called at IRQL %d: registry and file routines must run at PASSIVE_LEVEL", routine,
                    irql);
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired)
{
    const ACCESS_MASK generic = static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                                                         GENERIC_ALL | MAXIMUM_ALLOWED);
    ACCESS_MASK granted = desired & ~generic;
    if (desired & static_cast<ACCESS_MASK>(GENERIC_READ))
        granted |= KEY_READ;
    if (desired & static_cast<ACCESS_MASK>(GENERIC_WRITE))
        granted |= KEY_WRITE;
    if (desired & static_cast<ACCESS_MASK>(GENERIC_EXECUTE))
        granted |= KEY_EXECUTE;
    if (desired & static_cast<ACCESS_MASK>(GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= KEY_ALL_ACCESS;
    return granted;
}

// A referenced key handle; the reference goes when this leaves scope.
class KeyRef
{
public:
    KeyRef() = default;
    KeyRef(const KeyRef&) = delete;
    KeyRef& operator=(const KeyRef&) = delete;
    ~KeyRef()
    {
        if (m_pBody)
            ObDereferenceObject(m_pBody);
    }
    NTSTATUS Reference(HANDLE handle)
    {
        PVOID body = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(handle, 0, CmKeyObjectType, KernelMode, &body, nullptr);
        m_pBody = static_cast<KeyBody*>(body);
        return status;
    }
    KeyBody* Body() const { return m_pBody; }

private:
    KeyBody* m_pBody = nullptr;
};

// Called with the hive lock held.
NTSTATUS CheckUsable(const KeyBody* body, ACCESS_MASK needed)
{
    if ((body->Access & needed) != needed)
        return STATUS_ACCESS_DENIED;
    if (body->Node->Deleted)
        return STATUS_KEY_DELETED;
    return STATUS_SUCCESS;
}

// ---- Information records ----

ULONG Bytes(const std::u16string& s)
{
    return static_cast<ULONG>(s.size() * sizeof(WCHAR));
}
ULONG Align4(ULONG n)
{
    return (n + 3) & ~3u;
}

void Put(std::vector<UCHAR>& record, size_t offset, const void* source, size_t size)
{
    if (record.size() < offset + size)
        record.resize(offset + size);
    if (size)
        std::memcpy(record.data() + offset, source, size);
}

// The whole record is built first; the caller then gets as much of it as fits, but nothing
// unless its fixed part fits.
NTSTATUS CopyRecord(const std::vector<UCHAR>& record, ULONG fixedBytes, PVOID buffer, ULONG length,
                    PULONG resultLength)
{
    *resultLength = static_cast<ULONG>(record.size());
    if (length < fixedBytes)
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, record.data(), std::min<size_t>(length, record.size()));
    return length >= record.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

void BuildFullKeyInfo(const Key& key, std::vector<UCHAR>& record, ULONG* fixedBytes)
{
    KEY_FULL_INFORMATION info = {};
    info.LastWriteTime.QuadPart = key.LastWriteTime;
    info.ClassLength = Bytes(key.Class);
    info.ClassOffset = key.Class.empty() ? kNoClass : FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
    info.SubKeys = static_cast<ULONG>(key.Subkeys.size());
    for (const auto& sub : key.Subkeys)
    {
        info.MaxNameLen = std::max(info.MaxNameLen, Bytes(sub.second->Name));
        info.MaxClassLen = std::max(info.MaxClassLen, Bytes(sub.second->Class));
    }
    info.Values = static_cast<ULONG>(key.Values.size());
    for (const Value& value : key.Values)
    {
        info.MaxValueNameLen = std::max(info.MaxValueNameLen, Bytes(value.Name));
        info.MaxValueDataLen = std::max(info.MaxValueDataLen, static_cast<ULONG>(value.Data.size()));
    }
    *fixedBytes = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
    Put(record, 0, &info, *fixedBytes);
    Put(record, *fixedBytes, key.Class.data(), info.ClassLength);
}

// False for a class the routine does not answer.
bool BuildKeyInfo(const Key& key, KEY_INFORMATION_CLASS infoClass, std::vector<UCHAR>& record,
                  ULONG* fixedBytes)
{
    switch (infoClass)
    {
    case KeyBasicInformation:
    {
        KEY_BASIC_INFORMATION info = {};
        info.LastWriteTime.QuadPart = key.LastWriteTime;
        info.NameLength = Bytes(key.Name);
        *fixedBytes = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        Put(record, 0, &info, *fixedBytes);
        Put(record, *fixedBytes, key.Name.data(), info.NameLength);
        return true;
    }
    case KeyNodeInformation:
    {
        KEY_NODE_INFORMATION info = {};
        info.LastWriteTime.QuadPart = key.LastWriteTime;
        info.NameLength = Bytes(key.Name);
        info.ClassLength = Bytes(key.Class);
        *fixedBytes = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        info.ClassOffset = key.Class.empty() ? kNoClass : Align4(*fixedBytes + info.NameLength);
        Put(record, 0, &info, *fixedBytes);
        Put(record, *fixedBytes, key.Name.data(), info.NameLength);
        if (!key.Class.empty())
            Put(record, info.ClassOffset, key.Class.data(), info.ClassLength);
        return true;
    }
    case KeyFullInformation:
        BuildFullKeyInfo(key, record, fixedBytes);
        return true;
    default:
        return false;
    }
}

void BuildKeyNameInfo(const Key& key, std::vector<UCHAR>& record, ULONG* fixedBytes)
{
    std::u16string path = FullPath(&key);
    ULONG nameLength = Bytes(path);
    *fixedBytes = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
    Put(record, 0, &nameLength, sizeof(nameLength));
    Put(record, *fixedBytes, path.data(), nameLength);
}

bool BuildValueInfo(const Value& value, KEY_VALUE_INFORMATION_CLASS infoClass, std::vector<UCHAR>& record,
                    ULONG* fixedBytes)
{
    ULONG dataLength = static_cast<ULONG>(value.Data.size());
    switch (infoClass)
    {
    case KeyValueBasicInformation:
    {
        KEY_VALUE_BASIC_INFORMATION info = {0, value.Type, Bytes(value.Name), {0}};
        *fixedBytes = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        Put(record, 0, &info, *fixedBytes);
        Put(record, *fixedBytes, value.Name.data(), info.NameLength);
        return true;
    }
    case KeyValueFullInformation:
    {
        *fixedBytes = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        KEY_VALUE_FULL_INFORMATION info = {0, value.Type, 0, dataLength, Bytes(value.Name), {0}};
        info.DataOffset = Align4(*fixedBytes + info.NameLength);
        Put(record, 0, &info, *fixedBytes);
        Put(record, *fixedBytes, value.Name.data(), info.NameLength);
        record.resize(info.DataOffset);
        Put(record, info.DataOffset, value.Data.data(), dataLength);
        return true;
    }
    case KeyValuePartialInformation:
    {
        KEY_VALUE_PARTIAL_INFORMATION info = {0, value.Type, dataLength, {0}};
        *fixedBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        Put(record, 0, &info, *fixedBytes);
        Put(record, *fixedBytes, value.Data.data(), dataLength);
        return true;
    }
    default:
        return false;
    }
}

// Shared checks of the query routines' output arguments.
NTSTATUS CheckOutput(PVOID buffer, ULONG length, PULONG resultLength)
{
    if (resultLength == nullptr || (buffer == nullptr && length != 0))
        return STATUS_INVALID_PARAMETER;
    *resultLength = 0;
    return STATUS_SUCCESS;
}

} // namespace

POBJECT_TYPE CmKeyObjectType = &g_keyType;

namespace
{

// ---- Opening and creating ----

struct OpenRequest
{
    POBJECT_ATTRIBUTES Attributes;
    ACCESS_MASK Access;
    bool Create;
    bool CreateParents; // host side only
    ULONG Options;
    std::u16string Class;
    LONGLONG Now; // read before the hive lock is taken
};

// Finds where the walk starts: the root handle's key, or \REGISTRY for an absolute name.
NTSTATUS StartOfWalk(const OpenRequest& request, const KeyBody* rootBody, std::vector<std::u16string>* parts,
                     std::shared_ptr<Key>* start)
{
    std::u16string name = FromCounted(request.Attributes->ObjectName);
    if (rootBody == nullptr)
    {
        *start = TheHive().Root;
        return SplitAbsolute(name, parts);
    }
    if (!name.empty() && name[0] == u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    *start = rootBody->Node;
    if ((*start)->Deleted)
        return STATUS_KEY_DELETED;
    return SplitPath(name, parts);
}

// Creates the last component below an existing parent, as ZwCreateKey does.
NTSTATUS CreateLast(const OpenRequest& request, const KeyBody* rootBody, const std::shared_ptr<Key>& parent,
                    const std::u16string& name, std::shared_ptr<Key>* result)
{
    if (rootBody != nullptr && (rootBody->Access & KEY_CREATE_SUB_KEY) == 0)
        return STATUS_ACCESS_DENIED;
    bool isVolatile = (request.Options & REG_OPTION_VOLATILE) != 0;
    if (parent->Volatile && !isVolatile)
        return STATUS_CHILD_MUST_BE_VOLATILE;
    if (Depth(parent.get()) + 1 > kMaxKeyDepth)
        return STATUS_INVALID_PARAMETER;
    *result = NewChild(parent.get(), name, isVolatile, request.Now);
    (*result)->Class = request.Class;
    return STATUS_SUCCESS;
}

// Resolves (and creates) the key with the hive lock held; *created tells which happened.
NTSTATUS ResolveLocked(const OpenRequest& request, const KeyBody* rootBody, std::shared_ptr<Key>* result,
                       bool* created)
{
    std::vector<std::u16string> parts;
    std::shared_ptr<Key> start;
    NTSTATUS status = StartOfWalk(request, rootBody, &parts, &start);
    if (!NT_SUCCESS(status))
        return status;
    *created = false;
    if (request.CreateParents)
    {
        size_t found = 0;
        Walk(start, parts, &found);
        *created = found < parts.size();
        return CreatePath(start, parts, request.Now, result);
    }
    size_t found = 0;
    std::shared_ptr<Key> key = Walk(start, parts, &found);
    if (found == parts.size())
    {
        *result = key;
        return STATUS_SUCCESS;
    }
    if (!request.Create || found + 1 != parts.size())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *created = true;
    return CreateLast(request, rootBody, key, parts.back(), result);
}

NTSTATUS OpenOrCreate(const OpenRequest& request, PHANDLE keyHandle, PULONG disposition)
{
    if (keyHandle == nullptr || request.Attributes == nullptr)
        return STATUS_INVALID_PARAMETER;
    *keyHandle = nullptr;
    if (request.Attributes->ObjectName && !ValidCounted(request.Attributes->ObjectName))
        return STATUS_INVALID_PARAMETER;
    KeyRef root;
    if (request.Attributes->RootDirectory)
    {
        NTSTATUS status = root.Reference(request.Attributes->RootDirectory);
        if (!NT_SUCCESS(status))
            return status;
    }
    PVOID object = plat::ObCreateObject(CmKeyObjectType, sizeof(KeyBody));
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* body = new (object) KeyBody;
    bool created = false;
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> lock(TheHive().Lock);
        status = ResolveLocked(request, root.Body(), &body->Node, &created);
    }
    if (NT_SUCCESS(status))
    {
        body->Access = MapKeyAccess(request.Access);
        status = plat::ObInsertHandle(body, body->Access, KernelMode, keyHandle);
    }
    ObDereferenceObject(body); // on success the handle is the only owner
    if (NT_SUCCESS(status) && disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return status;
}

void CountCall(bool create)
{
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    if (create)
        TheHive().Counters.CreateKeyCalls++;
    else
        TheHive().Counters.OpenKeyCalls++;
}

// The frame the four query routines share: the output checks (then argumentsValid, the caller's
// own check), the handle's key, and under the hive lock the access check, the record build
// makes of the key and its copy-out. build returns a status and fills record and fixedBytes.
template <class Build>
NTSTATUS QueryKeyRecord(HANDLE keyHandle, ACCESS_MASK needed, bool argumentsValid, PVOID buffer, ULONG length,
                        PULONG resultLength, Build build)
{
    NTSTATUS status = CheckOutput(buffer, length, resultLength);
    if (NT_SUCCESS(status) && !argumentsValid)
        status = STATUS_INVALID_PARAMETER;
    KeyRef ref;
    if (NT_SUCCESS(status))
        status = ref.Reference(keyHandle);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    status = CheckUsable(ref.Body(), needed);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<UCHAR> record;
    ULONG fixedBytes = 0;
    status = build(*ref.Body()->Node, record, &fixedBytes);
    if (!NT_SUCCESS(status))
        return status;
    return CopyRecord(record, fixedBytes, buffer, length, resultLength);
}

} // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    RequirePassive("ZwOpenKey");
    CountCall(false);
    OpenRequest request = {ObjectAttributes, DesiredAccess, false, false, 0, {}, 0};
    return OpenOrCreate(request, KeyHandle, nullptr);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    RequirePassive("ZwCreateKey");
    CountCall(true);
    // Links and backup semantics are not modelled; refusing them beats quietly ignoring them.
    if (CreateOptions & ~static_cast<ULONG>(REG_OPTION_VOLATILE))
        return STATUS_NOT_SUPPORTED;
    if (Class && !ValidCounted(Class))
        return STATUS_INVALID_PARAMETER;
    OpenRequest request = {ObjectAttributes, DesiredAccess,      true, false,
                           CreateOptions,    FromCounted(Class), Now()};
    return OpenOrCreate(request, KeyHandle, Disposition);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength)
{
    RequirePassive("ZwQueryKey");
    const bool nameOnly = KeyInformationClass == KeyNameInformation;
    auto build = [&](Key& key, std::vector<UCHAR>& record, ULONG* fixedBytes) -> NTSTATUS
    {
        if (nameOnly)
            BuildKeyNameInfo(key, record, fixedBytes);
        else if (!BuildKeyInfo(key, KeyInformationClass, record, fixedBytes))
            return STATUS_INVALID_PARAMETER;
        return STATUS_SUCCESS;
    };
    return QueryKeyRecord(KeyHandle, nameOnly ? 0 : KEY_QUERY_VALUE, true, KeyInformation, Length,
                          ResultLength, build);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    RequirePassive("ZwEnumerateKey");
    auto build = [&](Key& key, std::vector<UCHAR>& record, ULONG* fixedBytes) -> NTSTATUS
    {
        if (Index >= key.Subkeys.size())
            return STATUS_NO_MORE_ENTRIES;
        if (!BuildKeyInfo(*std::next(key.Subkeys.begin(), Index)->second, KeyInformationClass, record,
                          fixedBytes))
            return STATUS_INVALID_PARAMETER;
        return STATUS_SUCCESS;
    };
    return QueryKeyRecord(KeyHandle, KEY_ENUMERATE_SUB_KEYS, true, KeyInformation, Length, ResultLength,
                          build);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    RequirePassive("ZwQueryValueKey");
    auto build = [&](Key& key, std::vector<UCHAR>& record, ULONG* fixedBytes) -> NTSTATUS
    {
        const Value* value = FindValue(&key, FromCounted(ValueName));
        if (value == nullptr)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        if (!BuildValueInfo(*value, KeyValueInformationClass, record, fixedBytes))
            return STATUS_INVALID_PARAMETER;
        return STATUS_SUCCESS;
    };
    return QueryKeyRecord(KeyHandle, KEY_QUERY_VALUE, ValidCounted(ValueName), KeyValueInformation, Length,
                          ResultLength, build);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                             ULONG Length, PULONG ResultLength)
{
    RequirePassive("ZwEnumerateValueKey");
    auto build = [&](Key& key, std::vector<UCHAR>& record, ULONG* fixedBytes) -> NTSTATUS
    {
        if (Index >= key.Values.size())
            return STATUS_NO_MORE_ENTRIES;
        if (!BuildValueInfo(key.Values[Index], KeyValueInformationClass, record, fixedBytes))
            return STATUS_INVALID_PARAMETER;
        return STATUS_SUCCESS;
    };
    return QueryKeyRecord(KeyHandle, KEY_QUERY_VALUE, true, KeyValueInformation, Length, ResultLength, build);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    RequirePassive("ZwSetValueKey");
    if (!ValidCounted(ValueName) || ValueName->Length / sizeof(WCHAR) > kMaxValueNameChars ||
        (Data == nullptr && DataSize != 0))
        return STATUS_INVALID_PARAMETER;
    KeyRef ref;
    NTSTATUS status = ref.Reference(KeyHandle);
    if (!NT_SUCCESS(status))
        return status;
    LONGLONG now = Now();
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    status = CheckUsable(ref.Body(), KEY_SET_VALUE);
    if (NT_SUCCESS(status))
    {
        SetValue(ref.Body()->Node.get(), FromCounted(ValueName), Type, static_cast<const UCHAR*>(Data),
                 DataSize, now);
        TheHive().Counters.SetValueCalls++;
    }
    return status;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    RequirePassive("ZwDeleteValueKey");
    if (!ValidCounted(ValueName))
        return STATUS_INVALID_PARAMETER;
    KeyRef ref;
    NTSTATUS status = ref.Reference(KeyHandle);
    if (!NT_SUCCESS(status))
        return status;
    LONGLONG now = Now();
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    status = CheckUsable(ref.Body(), KEY_SET_VALUE);
    if (!NT_SUCCESS(status))
        return status;
    Key* key = ref.Body()->Node.get();
    const Value* value = FindValue(key, FromCounted(ValueName));
    if (value == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    key->Values.erase(key->Values.begin() + (value - key->Values.data()));
    key->LastWriteTime = now;
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    RequirePassive("ZwDeleteKey");
    KeyRef ref;
    NTSTATUS status = ref.Reference(KeyHandle);
    if (!NT_SUCCESS(status))
        return status;
    LONGLONG now = Now();
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    status = CheckUsable(ref.Body(), DELETE);
    if (!NT_SUCCESS(status))
        return status;
    Key* key = ref.Body()->Node.get();
    if (key->Permanent || !key->Subkeys.empty())
        return STATUS_CANNOT_DELETE;
    Key* parent = key->Parent;
    parent->LastWriteTime = now;
    // The handle's shared reference keeps the node alive while the parent lets go of it.
    std::shared_ptr<Key> keep = ref.Body()->Node;
    parent->Subkeys.erase(Upcase(key->Name));
    Detach(key);
    return STATUS_SUCCESS;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle)
{
    RequirePassive("ZwFlushKey");
    KeyRef ref;
    NTSTATUS status = ref.Reference(KeyHandle);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    return CheckUsable(ref.Body(), 0);
}

// ---- Host side: handles for the other stand-ins, counters ----

namespace plat
{

NTSTATUS RegOpenKeyHandle(const std::u16string& keyPath, ACCESS_MASK access, bool createMissing,
                          PHANDLE handle)
{
    CountCall(createMissing);
    if (keyPath.size() * sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES)
        return STATUS_INVALID_PARAMETER;
    UNICODE_STRING name = {static_cast<USHORT>(keyPath.size() * sizeof(WCHAR)),
                           static_cast<USHORT>(keyPath.size() * sizeof(WCHAR)),
                           const_cast<PWSTR>(keyPath.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    OpenRequest request = {&attributes, access, createMissing, createMissing, 0, {}, Now()};
    return OpenOrCreate(request, handle, nullptr);
}

RegistryCounters RegGetCounters()
{
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    return TheHive().Counters;
}

void RegResetCounters()
{
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    TheHive().Counters = RegistryCounters{};
}

} // namespace plat
