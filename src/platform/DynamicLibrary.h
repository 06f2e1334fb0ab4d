// Loading libraries at run time: LoadLibraryW/GetProcAddress/FreeLibrary on
// Windows, the dlopen family elsewhere.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

using ModuleHandle = std::uintptr_t;  // 0 means none

// Loads the library by full path; 0 on failure with LastError() set.
ModuleHandle LoadDynamicLibrary(const std::string& path);

// The address of an export; nullptr on failure with LastError() set.
void* GetLibrarySymbol(ModuleHandle module, const char* name);

// False on failure with LastError() set (also for a 0 handle).
bool FreeDynamicLibrary(ModuleHandle module);

// An export of a system library the process already has loaded (such as
// "user32.dll" or "kernel32.dll"); nullptr when the library or export is
// absent, which is always the case on systems without those libraries.
void* GetSystemSymbol(const char* library, const char* name);

}  // namespace platform
