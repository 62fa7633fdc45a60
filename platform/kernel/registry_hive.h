// Internal to the registry stand-in: the hive's keys and values, shared by the Zw routines
// (registry.cpp) and the host side (registry_hive.cpp). Everything that reads or changes the
// tree runs with Hive::Lock held unless it works on a tree no one else can see yet.
#pragma once

#include "ntdef.h"
#include "plat_registry.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat
{
namespace hive
{

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxKeyDepth = 512; // levels below \REGISTRY, as the target allows

struct Value
{
    std::u16string Name;
    ULONG Type;
    std::vector<UCHAR> Data;
};

// Keys are shared so that a handle keeps its key alive after the key left the tree.
struct Key
{
    std::u16string Name;
    std::u16string Class;
    Key* Parent = nullptr;
    bool Volatile = false;
    bool Permanent = false; // \REGISTRY and its two hive roots cannot be deleted
    bool Deleted = false;
    LONGLONG LastWriteTime = 0;
    std::map<std::u16string, std::shared_ptr<Key>> Subkeys; // by upper-cased name: enumeration order
    std::vector<Value> Values;                              // in the order first set
};

struct Hive
{
    std::mutex Lock;
    std::shared_ptr<Key> Root;
    RegistryCounters Counters{};
};

Hive& TheHive();

// System time for LastWriteTime; read before taking the hive lock.
LONGLONG Now();

std::u16string Upcase(const std::u16string& name);

// A tree holding only \REGISTRY, \REGISTRY\MACHINE and \REGISTRY\USER.
std::shared_ptr<Key> NewRoot();
std::shared_ptr<Key> NewChild(Key* parent, const std::u16string& name, bool isVolatile, LONGLONG now);

// Marks a subtree deleted and cuts its links, so that handles into it stay safe.
void Detach(Key* key);

std::u16string FullPath(const Key* key);

// Splits a path below some key (no leading backslash) into its components.
NTSTATUS SplitPath(const std::u16string& path, std::vector<std::u16string>* parts);
// Splits an absolute name; the parts are those below \REGISTRY.
NTSTATUS SplitAbsolute(const std::u16string& path, std::vector<std::u16string>* parts);

// Follows parts from start as far as keys exist; *found is how many were walked.
std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& start, const std::vector<std::u16string>& parts,
                          size_t* found);
// Walks, creating every missing key on the way (host side; ZwCreateKey creates the last one only).
NTSTATUS CreatePath(const std::shared_ptr<Key>& root, const std::vector<std::u16string>& parts, LONGLONG now,
                    std::shared_ptr<Key>* result);
// The existing key at an absolute path, in the live hive.
NTSTATUS FindPath(const std::u16string& keyPath, std::shared_ptr<Key>* result);

Value* FindValue(Key* key, const std::u16string& name);
void SetValue(Key* key, const std::u16string& name, ULONG type, const UCHAR* data, size_t size, LONGLONG now);

} // namespace hive
} // namespace plat
