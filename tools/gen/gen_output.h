// What every table generator does around its tables: take the output path from the command
// line, open it, mark the file as generated, and report a failed write as a failed build step.
#pragma once

#include <cstdio>

// The opened output with its first line written, or null after printing why (usage or the
// system's error); the caller then exits with 2 (usage) or 1.
inline std::FILE* OpenGeneratedSource(int argc, char** argv, const char* generatorSource, int* failureExit)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s OUT.cpp\n", argv[0]);
        *failureExit = 2;
        return nullptr;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out)
    {
        std::perror(argv[1]);
        *failureExit = 1;
        return nullptr;
    }
    std::fprintf(out, "// Written by %s at build time; do not edit.\n", generatorSource);
    return out;
}

// 0 when everything reached the file, 1 otherwise.
inline int CloseGeneratedSource(std::FILE* out)
{
    const bool failed = std::ferror(out) != 0;
    return std::fclose(out) == 0 && !failed ? 0 : 1;
}
