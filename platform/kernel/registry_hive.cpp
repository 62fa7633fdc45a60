// The hive's model (keys, values, paths) and the host's direct access to it: reset, snapshot,
// replacement, and the value setters and getters that tests and the tool use.
#include "registry_hive.h"

#include "clock.h"
#include "ntstatus.h"
#include "registry.h"
#include "rtl.h"

#include <cstring>

namespace plat
{
namespace hive
{

LONGLONG Now()
{
    LARGE_INTEGER time;
    KeQuerySystemTime(&time);
    return time.QuadPart;
}

std::u16string Upcase(const std::u16string& name)
{
    std::u16string upper(name);
    for (WCHAR& c : upper)
        c = RtlUpcaseUnicodeChar(c);
    return upper;
}

std::shared_ptr<Key> NewChild(Key* parent, const std::u16string& name, bool isVolatile, LONGLONG now)
{
    auto key = std::make_shared<Key>();
    key->Name = name;
    key->Parent = parent;
    key->Volatile = isVolatile;
    key->LastWriteTime = now;
    if (parent)
    {
        parent->Subkeys[Upcase(name)] = key;
        parent->LastWriteTime = now;
    }
    return key;
}

std::shared_ptr<Key> NewRoot()
{
    LONGLONG now = 0; // the clock may not run yet when the hive first appears
    auto root = NewChild(nullptr, u"REGISTRY", false, now);
    root->Permanent = true;
    NewChild(root.get(), u"MACHINE", false, now)->Permanent = true;
    NewChild(root.get(), u"USER", false, now)->Permanent = true;
    return root;
}

// Heap-allocated and never destroyed: handles may still be closed during static destruction.
Hive& TheHive()
{
    static Hive* hive = []
    {
        auto* h = new Hive;
        h->Root = NewRoot();
        return h;
    }();
    return *hive;
}

// Cuts a detached subtree loose: its handles see it as deleted, and no node points at a parent
// that may be freed.
void Detach(Key* key)
{
    for (auto& sub : key->Subkeys)
        Detach(sub.second.get());
    key->Subkeys.clear();
    key->Parent = nullptr;
    key->Deleted = true;
}

std::u16string FullPath(const Key* key)
{
    std::vector<const Key*> chain;
    for (; key; key = key->Parent)
        chain.push_back(key);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        path += u"\\" + (*it)->Name;
    return path;
}

Value* FindValue(Key* key, const std::u16string& name)
{
    std::u16string upper = Upcase(name);
    for (Value& value : key->Values)
        if (value.Name.size() == name.size() && Upcase(value.Name) == upper)
            return &value;
    return nullptr;
}

void SetValue(Key* key, const std::u16string& name, ULONG type, const UCHAR* data, size_t size, LONGLONG now)
{
    Value* value = FindValue(key, name);
    if (value == nullptr)
    {
        key->Values.push_back(Value{name, type, {}});
        value = &key->Values.back();
    }
    value->Type = type;
    value->Data.assign(data, data + size);
    key->LastWriteTime = now;
}

// Splits a key path (without its leading backslash) into components.
NTSTATUS SplitPath(const std::u16string& path, std::vector<std::u16string>* parts)
{
    parts->clear();
    if (path.empty())
        return STATUS_SUCCESS;
    size_t start = 0;
    for (;;)
    {
        size_t end = path.find(u'\\', start);
        std::u16string part =
            path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part.empty() || part.size() > kMaxKeyNameChars)
            return STATUS_OBJECT_NAME_INVALID;
        parts->push_back(part);
        if (end == std::u16string::npos)
            return STATUS_SUCCESS;
        start = end + 1;
    }
}

// An absolute name: "\REGISTRY" and the components below it.
NTSTATUS SplitAbsolute(const std::u16string& path, std::vector<std::u16string>* parts)
{
    if (path.empty() || path[0] != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (path.size() == 1)
        return STATUS_OBJECT_TYPE_MISMATCH; // the namespace root is a directory, not a key
    NTSTATUS status = SplitPath(path.substr(1), parts);
    if (!NT_SUCCESS(status))
        return status;
    if (Upcase((*parts)[0]) != u"REGISTRY")
        return parts->size() == 1 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    parts->erase(parts->begin());
    return STATUS_SUCCESS;
}

// Follows `parts` from `start` as far as keys exist; *found is the number of parts walked.
std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& start, const std::vector<std::u16string>& parts,
                          size_t* found)
{
    std::shared_ptr<Key> key = start;
    size_t i = 0;
    for (; i < parts.size(); ++i)
    {
        auto it = key->Subkeys.find(Upcase(parts[i]));
        if (it == key->Subkeys.end())
            break;
        key = it->second;
    }
    *found = i;
    return key;
}

// Creates every missing key on the way (host side only: ZwCreateKey creates the last one alone).
NTSTATUS CreatePath(const std::shared_ptr<Key>& root, const std::vector<std::u16string>& parts, LONGLONG now,
                    std::shared_ptr<Key>* result)
{
    if (parts.size() > kMaxKeyDepth)
        return STATUS_INVALID_PARAMETER;
    size_t found = 0;
    std::shared_ptr<Key> key = Walk(root, parts, &found);
    for (size_t i = found; i < parts.size(); ++i)
        key = NewChild(key.get(), parts[i], key->Volatile, now);
    *result = key;
    return STATUS_SUCCESS;
}

NTSTATUS FindPath(const std::u16string& keyPath, std::shared_ptr<Key>* result)
{
    std::vector<std::u16string> parts;
    NTSTATUS status = SplitAbsolute(keyPath, &parts);
    if (!NT_SUCCESS(status))
        return status;
    size_t found = 0;
    *result = Walk(TheHive().Root, parts, &found);
    return found == parts.size() ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

} // namespace hive

using namespace hive;

void RegReset()
{
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    Detach(TheHive().Root.get());
    TheHive().Root = NewRoot();
    TheHive().Counters = RegistryCounters{};
}

namespace
{

void SnapshotKey(const Key& key, const std::u16string& path, bool includeVolatile,
                 std::vector<RegKeyRecord>* out)
{
    if (key.Volatile && !includeVolatile)
        return;
    RegKeyRecord record;
    record.Path = path;
    for (const Value& value : key.Values)
        record.Values.push_back(RegValueRecord{value.Name, value.Type, value.Data});
    out->push_back(std::move(record));
    for (const auto& sub : key.Subkeys)
        SnapshotKey(*sub.second, path + u"\\" + sub.second->Name, includeVolatile, out);
}

} // namespace

std::vector<RegKeyRecord> RegSnapshot(bool includeVolatile)
{
    std::vector<RegKeyRecord> keys;
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    const Key& root = *TheHive().Root;
    SnapshotKey(root, u"\\" + root.Name, includeVolatile, &keys);
    return keys;
}

NTSTATUS RegReplaceHive(const std::vector<RegKeyRecord>& keys)
{
    std::shared_ptr<Key> root = NewRoot();
    LONGLONG now = Now();
    for (const RegKeyRecord& record : keys)
    {
        std::vector<std::u16string> parts;
        std::shared_ptr<Key> key;
        NTSTATUS status = SplitAbsolute(record.Path, &parts);
        if (NT_SUCCESS(status))
            status = CreatePath(root, parts, now, &key);
        for (size_t i = 0; NT_SUCCESS(status) && i < record.Values.size(); ++i)
        {
            const RegValueRecord& value = record.Values[i];
            if (value.Name.size() > kMaxValueNameChars)
                status = STATUS_INVALID_PARAMETER;
            else
                SetValue(key.get(), value.Name, value.Type, value.Data.data(), value.Data.size(), now);
        }
        if (!NT_SUCCESS(status))
        {
            Detach(root.get());
            return status;
        }
    }
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    Detach(TheHive().Root.get());
    TheHive().Root = root;
    return STATUS_SUCCESS;
}

NTSTATUS RegCreateKeyPath(const std::u16string& keyPath)
{
    std::vector<std::u16string> parts;
    NTSTATUS status = SplitAbsolute(keyPath, &parts);
    if (!NT_SUCCESS(status))
        return status;
    LONGLONG now = Now();
    std::shared_ptr<Key> key;
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    return CreatePath(TheHive().Root, parts, now, &key);
}

bool RegKeyExists(const std::u16string& keyPath)
{
    std::shared_ptr<Key> key;
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    return NT_SUCCESS(FindPath(keyPath, &key));
}

NTSTATUS RegSetValue(const std::u16string& keyPath, const std::u16string& valueName, ULONG type,
                     const void* data, SIZE_T size)
{
    if ((data == nullptr && size != 0) || size > MAXULONG || valueName.size() > kMaxValueNameChars)
        return STATUS_INVALID_PARAMETER;
    std::vector<std::u16string> parts;
    NTSTATUS status = SplitAbsolute(keyPath, &parts);
    if (!NT_SUCCESS(status))
        return status;
    LONGLONG now = Now();
    std::shared_ptr<Key> key;
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    status = CreatePath(TheHive().Root, parts, now, &key);
    if (NT_SUCCESS(status))
        SetValue(key.get(), valueName, type, static_cast<const UCHAR*>(data), size, now);
    return status;
}

NTSTATUS RegGetValue(const std::u16string& keyPath, const std::u16string& valueName, ULONG* type,
                     std::vector<UCHAR>* data)
{
    std::shared_ptr<Key> key;
    std::lock_guard<std::mutex> lock(TheHive().Lock);
    NTSTATUS status = FindPath(keyPath, &key);
    if (!NT_SUCCESS(status))
        return status;
    const Value* value = FindValue(key.get(), valueName);
    if (value == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (type)
        *type = value->Type;
    if (data)
        *data = value->Data;
    return STATUS_SUCCESS;
}

// ---- Typed helpers ----

NTSTATUS RegSetDword(const std::u16string& keyPath, const std::u16string& valueName, ULONG value)
{
    return RegSetValue(keyPath, valueName, REG_DWORD, &value, sizeof(value));
}

NTSTATUS RegSetQword(const std::u16string& keyPath, const std::u16string& valueName, ULONGLONG value)
{
    return RegSetValue(keyPath, valueName, REG_QWORD, &value, sizeof(value));
}

NTSTATUS RegSetString(const std::u16string& keyPath, const std::u16string& valueName,
                      const std::u16string& text, ULONG type)
{
    return RegSetValue(keyPath, valueName, type, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
}

NTSTATUS RegSetBinary(const std::u16string& keyPath, const std::u16string& valueName,
                      const std::vector<UCHAR>& bytes)
{
    return RegSetValue(keyPath, valueName, REG_BINARY, bytes.data(), bytes.size());
}

NTSTATUS RegSetMultiString(const std::u16string& keyPath, const std::u16string& valueName,
                           const std::vector<std::u16string>& strings)
{
    std::u16string data;
    for (const std::u16string& s : strings)
        data += s + u'\0';
    data += u'\0';
    return RegSetValue(keyPath, valueName, REG_MULTI_SZ, data.data(), data.size() * sizeof(WCHAR));
}

namespace
{

template <typename T> bool GetFixed(const std::u16string& keyPath, const std::u16string& valueName, T* value)
{
    std::vector<UCHAR> data;
    if (!NT_SUCCESS(RegGetValue(keyPath, valueName, nullptr, &data)) || data.size() != sizeof(T))
        return false;
    std::memcpy(value, data.data(), sizeof(T));
    return true;
}

} // namespace

bool RegGetDword(const std::u16string& keyPath, const std::u16string& valueName, ULONG* value)
{
    return GetFixed(keyPath, valueName, value);
}

bool RegGetQword(const std::u16string& keyPath, const std::u16string& valueName, ULONGLONG* value)
{
    return GetFixed(keyPath, valueName, value);
}

bool RegGetString(const std::u16string& keyPath, const std::u16string& valueName, std::u16string* text)
{
    std::vector<UCHAR> data;
    if (!NT_SUCCESS(RegGetValue(keyPath, valueName, nullptr, &data)) || data.size() % sizeof(WCHAR) != 0)
        return false;
    std::u16string units(data.size() / sizeof(WCHAR), u'\0');
    std::memcpy(&units[0], data.data(), data.size());
    *text = units.substr(0, units.find(u'\0'));
    return true;
}

} // namespace plat
