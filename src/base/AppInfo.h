#pragma once
// The application's own paths and version, as every subsystem reports them.

#include <string>

#include "brimtale/runtime_api.h"

using FlashVersion = SFPCVersion;

// The executable's folder with a trailing "/", followed by `name`.
std::string GetAppFilePath(const char* name);

// The product version of the module at `path` (the own executable when null) as "%d.%d.%d.%d";
// empty when the file carries no version.
std::string GetExeVersion(const char* path);

// "%d.%d.%d.%d", most significant part first.
std::string FormatFlashVersion(const FlashVersion& version);
