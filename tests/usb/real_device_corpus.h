// Access to the descriptor dumps of real devices that sit beside the project (never inside
// it): each file is the 18-byte device descriptor followed by one configuration descriptor.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace corpus
{

inline std::string RealDevicesDir()
{
    return std::string(UACSIM_SOURCE_DIR) + "/../shared/real-devices";
}

// Paths of every .bin dump, sorted; empty when the folder is absent.
inline std::vector<std::string> RealDeviceDumps()
{
    std::vector<std::string> paths;
    DIR* dir = opendir(RealDevicesDir().c_str());
    if (dir == nullptr)
    {
        return paths;
    }
    while (dirent* entry = readdir(dir))
    {
        std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0)
        {
            paths.push_back(RealDevicesDir() + "/" + name);
        }
    }
    closedir(dir);
    std::sort(paths.begin(), paths.end());
    return paths;
}

inline std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string BaseName(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

// Runs check(path, bytes) on every dump under a trace that names the file, and skips the
// test when the corpus is absent.
template <class Check> void ForEachRealDevice(Check check)
{
    const std::vector<std::string> dumps = RealDeviceDumps();
    if (dumps.empty())
    {
        GTEST_SKIP() << "no real-device corpus at " << RealDevicesDir();
    }
    for (const std::string& path : dumps)
    {
        SCOPED_TRACE(BaseName(path));
        check(path, ReadFile(path));
    }
}

} // namespace corpus
