// Host side of the file stand-in (zwfile.h): which host folder "\SystemRoot\" names.
#pragma once

#include "ntdef.h"
#include "object.h"

#include <string>

namespace plat
{

// "\SystemRoot\a\b.ini" opens <folder>/a/b.ini (components matched without regard to letter
// case, an exact match first). An empty folder unsets it: such names then fail with
// STATUS_OBJECT_PATH_NOT_FOUND, as they do before any folder is chosen.
void SetSystemRootFolder(const std::string& folder);
std::string GetSystemRootFolder();

// The type of the handles that ZwCreateFile returns (for live-object counts in tests).
extern POBJECT_TYPE HostFileObjectType;

} // namespace plat
